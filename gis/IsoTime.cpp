// ISO 8601 times of GPX, GeoJSON and CSV files, converted to UTC.
#include <cstdint>

#include "gis/Gis.h"
#include "gis/TimeConversion.h"

namespace gis {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The zones in use run from -12:00 to +14:00; the grammar takes 14 hours
// either way and nothing beyond.
constexpr int kMaxZoneMinutes = 14 * 60;

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

}  // namespace

TrackTime parseIsoTime(std::string_view text, bool ogrForm) {
    TrackTime time;
    time.text = std::string(text);
    time.status = TrackTime::Status::unreadable;

    // The whole text is the time: no blanks around it, nothing after it.
    // OGR's form has slashes in the date and only a space before the clock.
    int year, month, day, hour, minute, second = 0;
    if (text.size() < 16) return time;
    const bool slashed = ogrForm && text[4] == '/';
    const char dateSeparator = slashed ? '/' : '-';
    const bool clockSeparator = text[10] == ' ' || (!slashed && (text[10] == 'T' || text[10] == 't'));
    if (!digits(text, 0, 4, year) || text[4] != dateSeparator || !digits(text, 5, 2, month) ||
        text[7] != dateSeparator || !digits(text, 8, 2, day) || !clockSeparator || !digits(text, 11, 2, hour) ||
        text[13] != ':' || !digits(text, 14, 2, minute))
        return time;
    std::size_t at = 16;
    if (at < text.size() && text[at] == ':') {
        if (!digits(text, at + 1, 2, second)) return time;
        at += 3;
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            ++at;
            const std::size_t first = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
            if (at == first) return time;
        }
    }
    if (!validClock(year, month, day, hour, minute, second)) return time;

    int zoneMinutes = 0;
    if (at < text.size()) {
        const char sign = text[at];
        if (sign == 'Z' || sign == 'z') {
            ++at;
        } else if (sign == '+' || sign == '-') {
            // +hh, +hhmm or +hh:mm, at most 14 hours either way.
            int zoneHours = 0, zoneMins = 0;
            if (!digits(text, at + 1, 2, zoneHours)) return time;
            at += 3;
            if (at < text.size()) {
                if (text[at] == ':') ++at;
                if (!digits(text, at, 2, zoneMins)) return time;
                at += 2;
            }
            if (zoneMins > 59 || zoneHours * 60 + zoneMins > kMaxZoneMinutes) return time;
            zoneMinutes = (sign == '-' ? -1 : 1) * (zoneHours * 60 + zoneMins);
        } else {
            return time;
        }
    }
    if (at != text.size()) return time;

    const std::string written = time.text;
    time = utcTime(year, month, day, hour, minute, second, zoneMinutes);
    time.text = written;
    return time;
}

bool validClock(int year, int month, int day, int hour, int minute, int second) {
    return month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month) && hour >= 0 && hour <= 23 &&
           minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

TrackTime utcTime(int year, int month, int day, int hour, int minute, int second, int zoneMinutes) {
    TrackTime time;
    // Local clock minus the zone offset is UTC; the day may change.
    std::int64_t seconds = static_cast<std::int64_t>(hour) * 3600 + minute * 60 + second -
                           static_cast<std::int64_t>(zoneMinutes) * 60;
    std::int64_t days = daysFromCivil(year, month, day);
    while (seconds < 0) {
        seconds += 86400;
        --days;
    }
    while (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    civilFromDays(days, time.year, time.month, time.day);
    time.seconds = static_cast<std::int32_t>(seconds);
    time.status = TrackTime::Status::ok;
    return time;
}

}  // namespace gis
