#include "tests/support/ReferenceParse.h"

// libstdc++'s regex compiler trips GCC's uninitialised-use analysis under
// the sanitizers; the warning is about the library's code, not this file's.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <chrono>
#include <ctime>
#include <regex>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "model/LoadError.h"
#include "model/TextFields.h"

FloatResult referenceFloat(std::string_view text) {
    try {
        return {std::stof(std::string(text)), NumberStatus::ok};
    } catch (const std::invalid_argument&) {
        return {0.0f, NumberStatus::invalid};
    } catch (const std::out_of_range&) {
        return {0.0f, NumberStatus::outOfRange};
    }
}

TimeFields referenceTimeFields(std::string_view text, const char* format) {
    std::tm tm{};
    std::istringstream stream{std::string(text)};
    stream >> std::get_time(&tm, format);
    TimeFields fields;
    fields.year = tm.tm_year;
    fields.mon = tm.tm_mon;
    fields.mday = tm.tm_mday;
    fields.hour = tm.tm_hour;
    fields.min = tm.tm_min;
    fields.sec = tm.tm_sec;
    return fields;
}

namespace {

// The field grammars as regular expressions, kept apart from the hand-written
// readers so each checks the other.
const std::regex kNumber(R"([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)");
const std::regex kInteger(R"([+-]?\d+)");
const std::regex kDate(R"((\d{4})-(\d{1,2})-(\d{1,2}))");
const std::regex kClock(R"((\d{1,2}):(\d{1,2}):(\d{1,2}))");
const std::regex kLabelTime(R"((\d{4})/(\d{1,2})/(\d{1,2}) (\d{1,2}):(\d{1,2}):(\d{1,2}))");

bool matches(std::string_view text, const std::regex& pattern, std::smatch* groups = nullptr) {
    static thread_local std::string copy;
    copy.assign(text);
    std::smatch local;
    std::smatch& m = groups ? *groups : local;
    return std::regex_match(copy, m, pattern);
}

bool dateExists(int year, unsigned month, unsigned day) {
    return std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{month},
                                       std::chrono::day{day}}.ok();
}

bool clockExists(int hour, int minute, int second) { return hour < 24 && minute < 60 && second < 60; }

int group(const std::smatch& m, int i) { return std::stoi(m[i].str()); }

float stofOrThrow(std::string_view field, const std::string& path, long long lineNumber) {
    if (!matches(field, kNumber)) throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    try {
        return std::stof(std::string(field));
    } catch (const std::invalid_argument&) {
        throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    } catch (const std::out_of_range&) {
        throwFieldError<std::out_of_range>(path, lineNumber, field, "is out of range");
    }
}

std::vector<std::string> splitAll(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, separator)) fields.push_back(field);
    if (!line.empty() && line.back() == separator) fields.emplace_back();
    return fields;
}

}  // namespace

bool referenceDate(std::string_view text, std::tm& tm) {
    std::smatch m;
    if (!matches(text, kDate, &m) || !dateExists(group(m, 1), group(m, 2), group(m, 3))) return false;
    tm.tm_year = group(m, 1) - 1900;
    tm.tm_mon = group(m, 2) - 1;
    tm.tm_mday = group(m, 3);
    return true;
}

bool referenceClock(std::string_view text, std::tm& tm) {
    std::smatch m;
    if (!matches(text, kClock, &m) || !clockExists(group(m, 1), group(m, 2), group(m, 3))) return false;
    tm.tm_hour = group(m, 1);
    tm.tm_min = group(m, 2);
    tm.tm_sec = group(m, 3);
    return true;
}

bool referenceLabelTime(std::string_view text, std::tm& tm) {
    std::smatch m;
    if (!matches(text, kLabelTime, &m) || !dateExists(group(m, 1), group(m, 2), group(m, 3)) ||
        !clockExists(group(m, 4), group(m, 5), group(m, 6)))
        return false;
    tm.tm_year = group(m, 1) - 1900;
    tm.tm_mon = group(m, 2) - 1;
    tm.tm_mday = group(m, 3);
    tm.tm_hour = group(m, 4);
    tm.tm_min = group(m, 5);
    tm.tm_sec = group(m, 6);
    return true;
}

bool referenceTextSampleLine(std::string_view line) {
    const std::vector<std::string> fields = splitAll(std::string(line), ' ');
    // An optional fifth field: a yyyy-mm-dd day the calendar has.
    static const std::regex fourDigitDate(R"(\d{4}-\d{2}-\d{2})");
    std::tm tm{};
    return (fields.size() == 4 ||
            (fields.size() == 5 && matches(fields[4], fourDigitDate) && referenceDate(fields[4], tm))) &&
           matches(fields[0], kNumber) && matches(fields[1], kNumber) && matches(fields[2], kInteger) &&
           matches(fields[3], kInteger);
}

bool referenceTrajectoryLine(std::string_view line) {
    const std::vector<std::string> fields = splitAll(std::string(line), ',');
    std::tm tm{};
    return fields.size() >= 7 && matches(fields[0], kNumber) && matches(fields[1], kNumber) &&
           referenceDate(fields[5], tm) && referenceClock(fields[6], tm);
}

std::vector<Datapoint> referenceParseTrajectory(std::istream& in, const std::string& path,
                                                bool normalize, const LabelIndex& labels,
                                                const FrameBounds& frame) {
    std::vector<Datapoint> points;
    std::string line;
    long long lineNumber = 0;
    for (int i = 0; i < 6; ++i) {
        readLine(in, line);
        ++lineNumber;
    }
    while (in) {
        readLine(in, line);
        ++lineNumber;
        if (line.empty()) break;
        const std::vector<std::string> fields = splitAll(line, ',');
        if (fields.size() < 7)
            throwFieldError<std::invalid_argument>(path, lineNumber, line,
                                                   "has fewer than the 7 comma-separated fields of a fix");
        // std::stof decides what is a number and what is out of range;
        // std::stod gives the value the frame places.
        stofOrThrow(fields[0], path, lineNumber);
        stofOrThrow(fields[1], path, lineNumber);
        const double latitude = std::stod(fields[0]);
        const double longitude = std::stod(fields[1]);
        std::tm date{};
        if (!referenceDate(fields[5], date))
            throwFieldError<std::invalid_argument>(path, lineNumber, fields[5], "is not a date (YYYY-MM-DD)");
        std::tm clock{};
        if (!referenceClock(fields[6], clock))
            throwFieldError<std::invalid_argument>(path, lineNumber, fields[6], "is not a time of day (hh:mm:ss)");
        const int time = clock.tm_hour * 3600 + clock.tm_min * 60 + clock.tm_sec;

        if (frame.minLatitude > latitude || frame.minLongitude > longitude ||
            latitude > frame.maxLatitude || longitude > frame.maxLongitude)
            continue;

        float x = static_cast<float>(latitude);
        float y = static_cast<float>(longitude);
        if (normalize) {
            x = placeOnAxis(latitude, frame.minLatitude, frame.maxLatitude);
            y = placeOnAxis(longitude, frame.minLongitude, frame.maxLongitude);
        }
        TransportationMode mode = mode::UNKNOWN;
        if (!labels.empty()) mode = labels.modeAt(dateKey(date), time);
        points.emplace_back(x, y, mode, time);
    }
    return points;
}

LabelIndex referenceParseLabels(std::istream& in, const std::string& path,
                                const std::unordered_map<std::string, TransportationMode>& names) {
    LabelIndex index;
    std::string line;
    long long lineNumber = 1;
    readLine(in, line);
    while (in) {
        readLine(in, line);
        ++lineNumber;
        if (line.empty()) break;
        std::string_view rest = line;
        const std::string startField(cutField(rest, '\t'));
        const std::string endField(cutField(rest, '\t'));
        const std::string name(cutField(rest, '\t'));

        std::tm start{};
        if (!referenceLabelTime(startField, start))
            throwFieldError<std::invalid_argument>(path, lineNumber, startField,
                                                   "is not a date and time (YYYY/MM/DD hh:mm:ss)");
        std::tm end{};
        if (!referenceLabelTime(endField, end))
            throwFieldError<std::invalid_argument>(path, lineNumber, endField,
                                                   "is not a date and time (YYYY/MM/DD hh:mm:ss)");
        const auto found = names.find(name);
        if (found == names.end()) continue;
        const int startSecond = start.tm_hour * 3600 + start.tm_min * 60 + start.tm_sec;
        const int endSecond = end.tm_hour * 3600 + end.tm_min * 60 + end.tm_sec;
        if (dateKey(start) == dateKey(end)) {
            index.add(dateKey(start), startSecond, endSecond, found->second);
        } else {
            index.add(dateKey(start), startSecond, 86400, found->second);
            index.add(dateKey(end), 0, endSecond, found->second);
        }
    }
    return index;
}
