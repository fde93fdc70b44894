#include "model/SampleDays.h"

#include <algorithm>
#include <cstdio>
#include <utility>

CivilDate civilDate(std::int32_t dayNumber) {
    const std::int64_t z = static_cast<std::int64_t>(dayNumber) + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

std::optional<std::int32_t> parseDay(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    const auto number = [&](std::size_t from, std::size_t count) {
        int value = 0;
        for (std::size_t i = from; i < from + count; ++i) value = value * 10 + (text[i] - '0');
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (month < 1 || month > 12 || day < 1) return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
    return dayNumber(year, month, day);
}

std::string formatDay(std::int32_t day) {
    if (day == kUnknownDay) return "unknown";
    const CivilDate date = civilDate(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
    return text;
}

std::string daysFilePath(const std::string& samples) { return samples + ".days"; }

std::optional<std::uint8_t> parseWeekdays(std::string_view text) {
    static constexpr std::string_view kNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
    const auto index = [](std::string_view name) -> int {
        for (int i = 0; i < 7; ++i)
            if (name == kNames[i]) return i;
        return -1;
    };
    if (text.empty()) return std::nullopt;
    std::uint8_t bits = 0;
    while (true) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (item == "weekdays") {
            bits |= 0x1f;
        } else if (item == "weekend") {
            bits |= 0x60;
        } else if (item == "all") {
            bits |= 0x7f;
        } else {
            const auto dash = item.find('-');
            const int from = index(item.substr(0, dash));
            const int to = dash == std::string_view::npos ? from : index(item.substr(dash + 1));
            // A range runs forward through the week and may wrap: fri-mon.
            if (from < 0 || to < 0) return std::nullopt;
            for (int d = from;; d = (d + 1) % 7) {
                bits |= static_cast<std::uint8_t>(1u << d);
                if (d == to) break;
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return bits;
}

std::int64_t daysCovered(const DayFilter& filter, std::int32_t dataFirst, std::int32_t dataLast) {
    const std::int64_t first = std::max(filter.first, dataFirst);
    const std::int64_t last = std::min(filter.last, dataLast);
    if (first > last) return 0;
    const std::int64_t span = last - first + 1;
    std::int64_t count = span / 7 * __builtin_popcount(filter.weekdays & 0x7f);
    for (std::int64_t day = first + span / 7 * 7; day <= last; ++day)
        if ((filter.weekdays >> weekdayOf(static_cast<std::int32_t>(day))) & 1) ++count;
    return count;
}

std::string dateSpanText(std::int32_t firstDay, std::int32_t lastDay) {
    if (firstDay == kUnknownDay || lastDay == kUnknownDay) return "none kept";
    return firstDay == lastDay ? formatDay(firstDay) : formatDay(firstDay) + " to " + formatDay(lastDay);
}

std::optional<DayFilter> dayFilterOf(std::uint8_t weekdays, std::string_view from, std::string_view to,
                                     std::string& problem) {
    DayFilter filter;
    filter.weekdays = weekdays & 0x7f;
    problem.clear();
    if (filter.weekdays == 0) {
        problem = "no weekday ticked";
        return std::nullopt;
    }
    for (const auto& [text, end] : {std::pair{from, &filter.first}, std::pair{to, &filter.last}}) {
        if (text.empty()) continue;
        const auto day = parseDay(text);
        if (!day) {
            problem = "\"" + std::string(text) + "\" is not a date (yyyy-mm-dd)";
            return std::nullopt;
        }
        *end = *day;
    }
    if (filter.first > filter.last) {
        problem = "the first date is after the last";
        return std::nullopt;
    }
    return filter;
}

void DayCounts::add(const std::int32_t* days, std::size_t count) {
    if (!days) {
        undated += static_cast<std::int64_t>(count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t day = days[i];
        if (day == kUnknownDay) {
            ++undated;
            continue;
        }
        if (tooWide) continue;
        if (perDay.empty()) {
            firstDay = day;
            perDay.assign(1, 0);
        } else if (day < firstDay || day > lastDay()) {
            const std::int64_t from = std::min<std::int64_t>(day, firstDay);
            const std::int64_t to = std::max<std::int64_t>(day, lastDay());
            if (to - from + 1 > kMaxSpan) {
                tooWide = true;
                perDay.clear();
                firstDay = kUnknownDay;
                continue;
            }
            // Grown to the new span at once: samples come mostly in date order.
            if (day < firstDay) perDay.insert(perDay.begin(), static_cast<std::size_t>(firstDay - day), 0);
            else perDay.resize(static_cast<std::size_t>(to - from + 1), 0);
            firstDay = static_cast<std::int32_t>(from);
        }
        ++perDay[static_cast<std::size_t>(day - firstDay)];
    }
}

int DayBars::barOf(std::int32_t day) const {
    if (bars.empty()) return 0;
    const std::int64_t bar = (static_cast<std::int64_t>(day) - firstDay) / daysPerBar;
    return static_cast<int>(std::clamp<std::int64_t>(bar, 0, static_cast<std::int64_t>(bars.size()) - 1));
}

DayBars dayBars(const DayCounts& counts, int maxBars) {
    DayBars out;
    if (counts.perDay.empty() || maxBars < 1) return out;
    out.firstDay = counts.firstDay;
    out.lastDay = counts.lastDay();
    const auto days = static_cast<std::int64_t>(counts.perDay.size());
    if (days > maxBars) {
        // Whole weeks, so each bar holds every weekday alike.
        const std::int64_t weeks = (days + 6) / 7;
        out.daysPerBar = static_cast<int>(7 * ((weeks + maxBars - 1) / maxBars));
    }
    std::vector<std::int64_t> sums(static_cast<std::size_t>((days + out.daysPerBar - 1) / out.daysPerBar), 0);
    for (std::int64_t d = 0; d < days; ++d)
        sums[static_cast<std::size_t>(d / out.daysPerBar)] += counts.perDay[static_cast<std::size_t>(d)];
    out.bars.assign(sums.begin(), sums.end());
    return out;
}
