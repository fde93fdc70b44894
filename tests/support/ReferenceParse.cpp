#include "tests/support/ReferenceParse.h"

#include <ctime>
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

float stofOrThrow(std::string_view field, const std::string& path, long long lineNumber) {
    try {
        return std::stof(std::string(field));
    } catch (const std::invalid_argument&) {
        throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    } catch (const std::out_of_range&) {
        throwFieldError<std::out_of_range>(path, lineNumber, field, "is out of range");
    }
}

}  // namespace

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
        std::string_view rest = line;
        std::string_view fields[7];
        for (auto& field : fields) field = cutField(rest, ',');

        const float latitude = stofOrThrow(fields[0], path, lineNumber);
        const float longitude = stofOrThrow(fields[1], path, lineNumber);
        std::tm clock{};
        std::istringstream(std::string(fields[6])) >> std::get_time(&clock, "%T");
        const int time = clock.tm_hour * 3600 + clock.tm_min * 60 + clock.tm_sec;

        if (frame.minLatitude > latitude || frame.minLongitude > longitude ||
            latitude > frame.maxLatitude || longitude > frame.maxLongitude)
            continue;
        if (latitude != latitude || longitude != longitude) continue;  // NaN never reaches the grid

        float x = latitude;
        float y = longitude;
        if (normalize) {
            x = (latitude - frame.minLatitude) / (frame.maxLatitude - frame.minLatitude);
            y = (longitude - frame.minLongitude) / (frame.maxLongitude - frame.minLongitude);
        }
        TransportationMode mode = UNKNOWN;
        if (!labels.empty()) {
            std::tm date{};
            std::istringstream(std::string(fields[5])) >> std::get_time(&date, "%Y-%m-%d");
            mode = labels.modeAt(dateKey(date), time);
        }
        points.emplace_back(x, y, mode, time);
    }
    return points;
}

LabelIndex referenceParseLabels(std::istream& in,
                                const std::unordered_map<std::string, TransportationMode>& names) {
    LabelIndex index;
    std::string line;
    readLine(in, line);
    while (in) {
        readLine(in, line);
        if (line.empty()) break;
        std::string_view rest = line;
        const std::string startField(cutField(rest, '\t'));
        const std::string endField(cutField(rest, '\t'));
        const std::string name(cutField(rest, '\t'));

        std::tm start{};
        std::istringstream(startField) >> std::get_time(&start, "%Y/%m/%d %H:%M:%S");
        std::tm end{};
        std::istringstream(endField) >> std::get_time(&end, "%Y/%m/%d %H:%M:%S");
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
