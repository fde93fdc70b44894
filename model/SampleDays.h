#pragma once
// The date of each sample, kept beside the 16-byte records rather than in
// them (files, readers and the GPU rely on the record as it is): a column
// of one int32 per record, days since 1970-01-01 in the clock the record's
// time of day is in, written to PATH.days beside the sample file PATH.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A sample whose date is not known (a text sample without one, a file
// imported before dates were kept): never taken for a real day.
inline constexpr std::int32_t kUnknownDay = std::numeric_limits<std::int32_t>::min();

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
constexpr std::int32_t dayNumber(int year, int month, int day) {
    // Years start in March, so the leap day is the last of its year.
    const int y = month <= 2 ? year - 1 : year;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    int year, month, day;
};
CivilDate civilDate(std::int32_t dayNumber);

// 0 Monday .. 6 Sunday (1970-01-01 was a Thursday).
constexpr int weekdayOf(std::int32_t day) {
    const int w = (day + 3) % 7;
    return w < 0 ? w + 7 : w;
}

// A sample's day class: its weekday (0 Monday .. 6 Sunday), or 7 when its
// date is not known. A choice of day classes is a byte, bit c for class c.
inline constexpr int kDayClasses = 8;
inline constexpr int kUnknownDayClass = 7;
inline constexpr std::uint8_t kAllDayClasses = 0xff;
constexpr int dayClassOf(std::int32_t day) { return day == kUnknownDay ? kUnknownDayClass : weekdayOf(day); }

// The local day of a clock time: `day` (days since 1970) and `secondOfDay`
// in one clock, moved `offsetSeconds` east, across midnight when it falls so.
constexpr std::int32_t shiftDay(std::int32_t day, std::int32_t secondOfDay, std::int32_t offsetSeconds) {
    const std::int64_t seconds = static_cast<std::int64_t>(secondOfDay) + offsetSeconds;
    const std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    return static_cast<std::int32_t>(day + days);
}

// "yyyy-mm-dd" (four-digit year, a day the calendar has); nothing otherwise.
std::optional<std::int32_t> parseDay(std::string_view text);
// "yyyy-mm-dd"; "unknown" for kUnknownDay.
std::string formatDay(std::int32_t day);

// "PATH.days": the days column beside a sample file.
std::string daysFilePath(const std::string& samples);

// Which days a selection takes: a set of weekdays and an inclusive range.
struct DayFilter {
    std::uint8_t weekdays = 0x7f;  // bit 0 Monday .. bit 6 Sunday
    std::int32_t first = std::numeric_limits<std::int32_t>::min() + 1;
    std::int32_t last = std::numeric_limits<std::int32_t>::max();

    bool passes(std::int32_t day) const {
        return day != kUnknownDay && day >= first && day <= last && ((weekdays >> weekdayOf(day)) & 1);
    }
    // The day classes the filter takes: its weekdays, and the samples of
    // unknown date only while it takes every weekday (a date range drops
    // them when the samples are chosen, before any engine sees them).
    std::uint8_t dayClasses() const {
        return weekdays == 0x7f ? kAllDayClasses : weekdays;
    }
    bool everything() const {
        return weekdays == 0x7f && first == std::numeric_limits<std::int32_t>::min() + 1 &&
               last == std::numeric_limits<std::int32_t>::max();
    }
};

// "mon-fri", "sat,sun", "tue", "mon-wed,sat", "weekdays", "weekend", "all":
// the weekday bits; nothing for any other text.
std::optional<std::uint8_t> parseWeekdays(std::string_view text);

// The days a selection covers: those of [filter.first, filter.last] within
// [dataFirst, dataLast] that pass its weekdays (0 when the two do not meet).
std::int64_t daysCovered(const DayFilter& filter, std::int32_t dataFirst, std::int32_t dataLast);

// The span of a data set's dates for the viewer: "2008-10-23 to 2009-03-01",
// "2008-10-23" for one day, "none kept" when no sample has a date.
std::string dateSpanText(std::int32_t firstDay, std::int32_t lastDay);

// A choice of days as the viewer's fields give it: the weekday bits and two
// dates, yyyy-mm-dd, either empty for an open end. Nothing, with the reason
// in `problem`, for a date that is not one, FROM after TO or no weekday.
std::optional<DayFilter> dayFilterOf(std::uint8_t weekdays, std::string_view from, std::string_view to,
                                     std::string& problem);

// The first and last of the known days seen; unknown days are passed over.
struct DaySpan {
    bool dated = false;
    std::int32_t first = 0;
    std::int32_t last = 0;
    void add(std::int32_t day) {
        if (day == kUnknownDay) return;
        if (!dated || day < first) first = day;
        if (!dated || day > last) last = day;
        dated = true;
    }
};

// Samples per day, counted in a pass that reads the dates anyway (a days
// column beside the records, the recordings' own dates): what the viewer's
// date histogram shows. Samples of unknown date are counted apart. The days
// are kept in one array from the first to the last; a span wider than
// kMaxSpan (a stray date centuries off) stops the per-day counts rather
// than growing the array without bound.
struct DayCounts {
    static constexpr std::int64_t kMaxSpan = 1 << 20;  // about 2,900 years
    std::int32_t firstDay = kUnknownDay;  // of perDay[0]
    std::vector<std::int64_t> perDay;
    std::int64_t undated = 0;
    bool tooWide = false;

    void add(const std::int32_t* days, std::size_t count);
    std::int32_t lastDay() const {
        return perDay.empty() ? kUnknownDay : firstDay + static_cast<std::int32_t>(perDay.size()) - 1;
    }
};

// A DayCounts drawn as at most `maxBars` bars: one a day, or a week (7 days)
// a bar, or as many weeks a bar as it takes, from the first counted day.
struct DayBars {
    std::int32_t firstDay = kUnknownDay;
    std::int32_t lastDay = kUnknownDay;  // the last counted day, inside the last bar
    int daysPerBar = 1;
    std::vector<float> bars;
    // The bar a day falls in, clamped to the bars.
    int barOf(std::int32_t day) const;
};
DayBars dayBars(const DayCounts& counts, int maxBars);
