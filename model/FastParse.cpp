#include "model/FastParse.h"

#include <fast_float/fast_float.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace {

// The "C" locale's blanks, which both strtof and the stream sentry skip.
constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

FloatResult slowFloat(std::string_view text) {
    const std::string copy(text);  // stops at an embedded NUL, as std::stof does
    char* end = nullptr;
    const int savedErrno = errno;
    errno = 0;
    const float value = std::strtof(copy.c_str(), &end);
    const bool range = errno == ERANGE;
    errno = savedErrno;
    if (end == copy.c_str()) return {0.0f, NumberStatus::invalid};
    if (range) return {value, NumberStatus::outOfRange};
    return {value, NumberStatus::ok};
}

// Follows time_get::get of libstdc++ step by step: stops at the end of the
// input or at the first mismatch, keeping the fields filled so far.
class TimeScanner {
public:
    TimeScanner(std::string_view text, TimeFields& fields) : text_(text), fields_(fields) {}

    // False once the parse stops, for whatever reason.
    bool run(std::string_view format) {
        for (std::size_t i = 0; i < format.size(); ++i) {
            if (atEnd()) return false;
            const char f = format[i];
            if (f == '%') {
                if (++i == format.size() || !conversion(format[i])) return false;
            } else if (isBlank(f)) {
                while (i + 1 < format.size() && isBlank(format[i + 1])) ++i;
                skipBlanks();
            } else {
                const char c = text_[pos_];
                if (lower(f) != lower(c) && upper(f) != upper(c)) return false;
                ++pos_;
            }
        }
        return true;
    }

    void skipBlanks() {
        while (!atEnd() && isBlank(text_[pos_])) ++pos_;
    }
    bool atEnd() const { return pos_ == text_.size(); }

private:
    bool conversion(char directive) {
        switch (directive) {
            case 'Y': return number(0, 9999, 4, [&](int v) { fields_.year = v - 1900; });
            case 'm': return number(1, 12, 2, [&](int v) { fields_.mon = v - 1; });
            case 'd':
                if (isBlank(text_[pos_])) ++pos_;
                return number(1, 31, 2, [&](int v) { fields_.mday = v; });
            case 'H': return number(0, 23, 2, [&](int v) { fields_.hour = v; });
            case 'M': return number(0, 59, 2, [&](int v) { fields_.min = v; });
            case 'S': return number(0, 60, 2, [&](int v) { fields_.sec = v; });
            case 'T': return run("%H:%M:%S");
            default: return false;
        }
    }

    // Up to `width` digits; a digit that takes the value past `max` stops
    // the scan without being consumed, and the value then fails the range.
    template <typename Store>
    bool number(int min, int max, int width, Store store) {
        int count = 0;
        int value = 0;
        while (!atEnd() && count < width) {
            const char c = text_[pos_];
            if (!isDigit(c)) break;
            value = value * 10 + (c - '0');
            if (value > max) break;
            ++pos_;
            ++count;
        }
        if (count == 0 || value < min || value > max) return false;
        store(value);
        return true;
    }

    std::string_view text_;
    TimeFields& fields_;
    std::size_t pos_ = 0;
};

inline int twoDigits(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

inline bool digitsAt(std::string_view s, std::size_t at, std::size_t count) {
    for (std::size_t i = at; i < at + count; ++i)
        if (!isDigit(s[i])) return false;
    return true;
}

// "YYYY?MM?DD" with the given separator, every value in range.
inline bool directDate(std::string_view s, char separator, TimeFields& t) {
    if (!digitsAt(s, 0, 4) || s[4] != separator || !digitsAt(s, 5, 2) || s[7] != separator ||
        !digitsAt(s, 8, 2))
        return false;
    const int year = twoDigits(s.data()) * 100 + twoDigits(s.data() + 2);
    const int month = twoDigits(s.data() + 5);
    const int day = twoDigits(s.data() + 8);
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    t.year = year - 1900;
    t.mon = month - 1;
    t.mday = day;
    return true;
}

// "HH:MM:SS", every value in range.
inline bool directClock(std::string_view s, TimeFields& t) {
    if (!digitsAt(s, 0, 2) || s[2] != ':' || !digitsAt(s, 3, 2) || s[5] != ':' || !digitsAt(s, 6, 2))
        return false;
    const int hour = twoDigits(s.data());
    const int minute = twoDigits(s.data() + 3);
    const int second = twoDigits(s.data() + 6);
    if (hour > 23 || minute > 59 || second > 60) return false;
    t.hour = hour;
    t.min = minute;
    t.sec = second;
    return true;
}

}  // namespace

FloatResult parseFloatField(std::string_view text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const char* first = begin;
    if (first != end && *first == '-') ++first;
    if (first != end && isDigit(*first)) {
        float value = 0.0f;
        const auto [stop, ec] = fast_float::from_chars(begin, end, value);
        // strtof reads "0x..." as hexadecimal; from_chars stops at the 'x'.
        // Tiny and huge values go the slow way, where strtof decides
        // whether they are out of range.
        if (ec == std::errc() && (stop == end || (*stop != 'x' && *stop != 'X'))) {
            const float magnitude = std::fabs(value);
            if (magnitude >= 1e-30f && magnitude <= 1e30f) return {value, NumberStatus::ok};
        }
    }
    return slowFloat(text);
}

CoordinateResult parseCoordinateField(std::string_view text) {
    const FloatResult single = parseFloatField(text);
    if (single.status != NumberStatus::ok) return {single.value, single.value, single.status};
    // fast_float takes no '+' and no leading blanks, which strtof skips.
    std::size_t at = 0;
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at < text.size() && text[at] == '+') ++at;
    double value = 0.0;
    const auto [end, ec] = fast_float::from_chars(text.data() + at, text.data() + text.size(), value);
    // Text that is not wholly a decimal number (hexadecimal, "inf", "nan",
    // trailing text) keeps strtof's reading.
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return {single.value, single.value, NumberStatus::ok};
    return {value, single.value, NumberStatus::ok};
}

TimeFields parseTimeFields(std::string_view text, std::string_view format) {
    TimeFields fields;
    TimeScanner scanner(text, fields);
    scanner.skipBlanks();  // the stream sentry skips leading blanks
    if (!scanner.atEnd()) scanner.run(format);
    return fields;
}

TimeFields parseLabelTime(std::string_view text) {
    TimeFields t;
    if (text.size() >= 19 && text[10] == ' ' && directDate(text, '/', t) &&
        directClock(text.substr(11), t))
        return t;
    return parseTimeFields(text, kLabelTimeFormat);
}

TimeFields parseDate(std::string_view text) {
    TimeFields t;
    if (text.size() >= 10 && directDate(text, '-', t)) return t;
    return parseTimeFields(text, kDateFormat);
}

TimeFields parseClock(std::string_view text) {
    TimeFields t;
    if (text.size() >= 8 && directClock(text, t)) return t;
    return parseTimeFields(text, kClockFormat);
}

bool isDecimalNumber(std::string_view text) {
    // fast_float's general format is this grammar but for the sign (it takes
    // no '+') and "inf"/"nan", which it reads too: the sign is stepped over
    // here, and a word refused before it is read.
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (at == text.size() || !(isDigit(text[at]) || text[at] == '.')) return false;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = fast_float::from_chars(text.data() + at, end, value);
    // A value beyond double's range is still a decimal number: its reader
    // says it is out of range.
    return ec != std::errc::invalid_argument && stop == end;
}

bool isDecimalInteger(std::string_view text) {
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    for (const char c : text)
        if (!isDigit(c)) return false;
    return true;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

namespace {

// Reads `min` to `max` digits at the front of `text` into `value`.
bool readDigits(std::string_view& text, std::size_t min, std::size_t max, int& value) {
    std::size_t count = 0;
    value = 0;
    while (count < text.size() && count < max && isDigit(text[count]))
        value = value * 10 + (text[count++] - '0');
    if (count < min) return false;
    text.remove_prefix(count);
    return true;
}

bool readSeparator(std::string_view& text, char separator) {
    if (text.empty() || text[0] != separator) return false;
    text.remove_prefix(1);
    return true;
}

// A date at the front of `text`, which is left with what follows.
bool readDatePart(std::string_view& text, char separator, TimeFields& fields) {
    int year = 0, month = 0, day = 0;
    if (!readDigits(text, 4, 4, year) || !readSeparator(text, separator) || !readDigits(text, 1, 2, month) ||
        !readSeparator(text, separator) || !readDigits(text, 1, 2, day))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
    fields.year = year - 1900;
    fields.mon = month - 1;
    fields.mday = day;
    return true;
}

bool readClockPart(std::string_view& text, TimeFields& fields) {
    int hour = 0, minute = 0, second = 0;
    if (!readDigits(text, 1, 2, hour) || !readSeparator(text, ':') || !readDigits(text, 1, 2, minute) ||
        !readSeparator(text, ':') || !readDigits(text, 1, 2, second))
        return false;
    if (hour > 23 || minute > 59 || second > 59) return false;
    fields.hour = hour;
    fields.min = minute;
    fields.sec = second;
    return true;
}

}  // namespace

bool readDate(std::string_view text, char separator, TimeFields& fields) {
    return readDatePart(text, separator, fields) && text.empty();
}

bool readClock(std::string_view text, TimeFields& fields) { return readClockPart(text, fields) && text.empty(); }

bool readLabelTime(std::string_view text, TimeFields& fields) {
    return readDatePart(text, '/', fields) && readSeparator(text, ' ') && readClockPart(text, fields) &&
           text.empty();
}
