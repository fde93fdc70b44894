#pragma once
// Fast readers for the numbers, dates and clock times of the raw trajectory
// formats. Each gives exactly the result of the straightforward reading
// (std::stof, std::get_time on a zeroed std::tm in the "C" locale), only
// without building strings and streams for every field: the common shapes
// take a direct path, everything else goes through a faithful emulation.
#include <cstdint>
#include <string_view>

// Outcome of a float conversion, mirroring what std::stof does: a value, or
// the std::invalid_argument / std::out_of_range it would throw.
enum class NumberStatus { ok, invalid, outOfRange };

struct FloatResult {
    float value = 0.0f;
    NumberStatus status = NumberStatus::ok;
};

// std::stof(std::string(text)): leading blanks, '+', hexadecimal, "inf",
// "nan", exponents and trailing text are all handled as strtof does.
FloatResult parseFloatField(std::string_view text);

// A coordinate's decimal text read in double precision (correctly rounded),
// with the status std::stof gives the same text, so a coordinate beyond
// float's range is refused as before.
struct CoordinateResult {
    double value = 0.0;
    float single = 0.0f;  // std::stof's value
    NumberStatus status = NumberStatus::ok;
};
CoordinateResult parseCoordinateField(std::string_view text);

// The broken-down time fields that the formats fill; those a parse does not
// reach stay 0, as in a zeroed std::tm.
struct TimeFields {
    int year = 0;  // years since 1900, like tm_year
    int mon = 0;   // months since January
    int mday = 0;
    int hour = 0;
    int min = 0;
    int sec = 0;

    std::int32_t secondsOfDay() const { return hour * 3600 + min * 60 + sec; }
    // Identifies a calendar day: tm_year * 10000 + tm_mon * 100 + tm_mday.
    std::int32_t dateKey() const { return year * 10000 + mon * 100 + mday; }
    bool operator==(const TimeFields&) const = default;
};

// The three patterns of the raw formats.
inline constexpr std::string_view kLabelTimeFormat = "%Y/%m/%d %H:%M:%S";
inline constexpr std::string_view kDateFormat = "%Y-%m-%d";
inline constexpr std::string_view kClockFormat = "%T";

// `std::istringstream(text) >> std::get_time(&tm, format)` for formats made
// of %Y %m %d %H %M %S %T, blanks and literal characters: the three patterns
// above. Other conversions stop the parse.
TimeFields parseTimeFields(std::string_view text, std::string_view format);

// The same for the three fixed patterns, with a direct path for the shapes
// that recordings actually hold.
TimeFields parseLabelTime(std::string_view text);  // "%Y/%m/%d %H:%M:%S"
TimeFields parseDate(std::string_view text);       // "%Y-%m-%d"
TimeFields parseClock(std::string_view text);      // "%T"

// The grammar of the fields, which the readers hold lines to: text that only
// starts like a number, date or time is an error, not a value.

// Wholly a decimal number: an optional sign, digits with at most one point
// (at least one digit in all), an optional exponent. No blanks, hexadecimal,
// "inf" or "nan".
bool isDecimalNumber(std::string_view text);

// Wholly an integer: an optional sign and digits.
bool isDecimalInteger(std::string_view text);

// A calendar date that exists, "YYYY-MM-DD" with the given separator (month
// and day of one or two digits, leap years counted).
bool readDate(std::string_view text, char separator, TimeFields& fields);

// A time of day that exists, "hh:mm:ss" (each of one or two digits, hours
// 0 to 23, minutes and seconds 0 to 59).
bool readClock(std::string_view text, TimeFields& fields);

// "YYYY/MM/DD hh:mm:ss" of the label files, both parts as above.
bool readLabelTime(std::string_view text, TimeFields& fields);

// Days in a month (1 to 12) of a year of the Gregorian calendar.
int daysInMonth(int year, int month);
