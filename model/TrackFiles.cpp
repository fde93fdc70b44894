#include "model/TrackFiles.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <unordered_map>

#include "gis/Gis.h"
#include "model/FastParse.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"
#include "model/SampleDays.h"

namespace {

// The trajectory grammar: wholly a decimal number ("39.9x", "0x27.e",
// " 39.9", "inf" and "nan" are not), and within float's range.
NumberStatus convertCoordinate(const std::string& text, double& value) {
    if (!isDecimalNumber(text)) return NumberStatus::invalid;
    const CoordinateResult result = parseCoordinateField(text);
    value = result.value;
    return result.status;
}

}  // namespace

std::optional<std::int32_t> parseUtcOffset(std::string_view number) {
    // "+8" as well as "8": zones are written with their sign.
    if (number.size() > 1 && number[0] == '+' && number[1] != '-' && number[1] != '+') number.remove_prefix(1);
    double hours = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), hours);
    if (ec != std::errc() || end != number.data() + number.size() || !(hours >= -24 && hours <= 24))
        return std::nullopt;
    return static_cast<std::int32_t>(std::lround(hours * 3600));
}

std::string formatUtcOffset(std::int32_t seconds) {
    if (seconds == 0) return "UTC";
    const std::int32_t size = std::abs(seconds);
    const int hours = size / 3600, minutes = size / 60 % 60, rest = size % 60;
    char text[32];
    if (rest != 0)
        std::snprintf(text, sizeof text, "UTC%c%d:%02d:%02d", seconds < 0 ? '-' : '+', hours, minutes, rest);
    else if (minutes != 0)
        std::snprintf(text, sizeof text, "UTC%c%d:%02d", seconds < 0 ? '-' : '+', hours, minutes);
    else
        std::snprintf(text, sizeof text, "UTC%c%d", seconds < 0 ? '-' : '+', hours);
    return text;
}

std::string clockName(const TrackOptions& options) {
    return options.zone ? options.zone->name() : formatUtcOffset(options.utcOffsetSeconds);
}

bool isTrackFile(const std::filesystem::path& path) {
    return gis::trackFormatOf(path.filename().string()).has_value();
}

void parseTrackFile(const std::string& path, const TrackOptions& options, bool normalize,
                    const LabelIndex& labels, const FrameBounds& frame, std::vector<Datapoint>& out, TrackCounts& counts,
                    std::vector<std::int32_t>* days) {
    const auto format = gis::trackFormatOf(std::filesystem::path(path).filename().string());
    if (!format) throw UnreadableFileError(path, "is not a GPX, GeoJSON or CSV file");
    // A FIFO or device is refused by what it is, before any reader opens it.
    refuseIrregularFile(path);

    // The text a point is faulted for is shown escaped and cut, as a
    // trajectory line's is.
    const auto reject = [&](const gis::TrackPoint& point, const std::string& text, const std::string& problem) {
        std::string shown;
        if (!text.empty()) shown.append(1, '"').append(echoText(text)).append("\" ");
        shown.append(problem);
        if (!options.skipBadPoints) throw DataFileError(path, echoText(point.place) + ": " + shown);
        ++counts.skipped;
        if (counts.firstSkipped.size() < kListedSkippedPoints)
            counts.firstSkipped.push_back({path, point.place, shown});
    };

    gis::ZoneSpan zoneCache;
    std::unordered_map<std::string, std::int64_t> lastCell;  // per track, with visits
    const auto take = [&](const gis::TrackPoint& point) {
        ++counts.points;
        if (point.latitude.empty() || point.longitude.empty()) return reject(point, "", "has no position");
        double latitude, longitude;
        for (const auto& [text, value, what] : {std::tuple{&point.latitude, &latitude, "is not a latitude"},
                                                std::tuple{&point.longitude, &longitude, "is not a longitude"}}) {
            const NumberStatus status = convertCoordinate(*text, *value);
            if (status == NumberStatus::invalid) return reject(point, *text, what);
            if (status == NumberStatus::outOfRange) return reject(point, *text, "is out of range");
        }
        if (point.time.status == gis::TrackTime::Status::missing) return reject(point, "", "has no time");
        if (point.time.status == gis::TrackTime::Status::unreadable)
            return reject(point, point.time.text, "is not an ISO 8601 time");

        TransportationMode mode = options.mode;
        bool named = false;
        if (point.mode && !point.mode->empty()) {
            const auto found = parseModeName(*point.mode);
            if (!found) return reject(point, *point.mode, "is not a mode name");
            mode = *found;
            named = true;
        }

        float x, y;
        if (!placeFix(latitude, longitude, normalize, frame, x, y)) {
            ++counts.outside;
            return;
        }
        // Labels are matched on the recording's own clock, as for
        // trajectory files; the offset only moves the stored time of day.
        if (!named && !labels.empty()) {
            // The day key of a broken-down time, as label files compute it.
            const std::int32_t day = (point.time.year - 1900) * 10000 + (point.time.month - 1) * 100 + point.time.day;
            if (const auto* intervals = labels.find(day))
                for (const auto& interval : *intervals)
                    if (interval.start <= point.time.seconds && point.time.seconds <= interval.end) {
                        mode = interval.mode;
                        break;
                    }
        }
        const std::int32_t time =
            options.zone ? gis::localSecondOfDay(*options.zone, zoneCache, point.time.year, point.time.month,
                                                 point.time.day, point.time.seconds)
                         : shiftTimeOfDay(point.time.seconds, options.utcOffsetSeconds);
        ++counts.kept;
        if (options.visits) {
            const std::int64_t cell = visitCellOf(x, y);
            const auto [last, first] = lastCell.try_emplace(point.track, cell);
            if (!first && last->second == cell) {
                ++counts.collapsed;
                return;
            }
            last->second = cell;
        }
        out.emplace_back(x, y, mode, time);
        if (days) {
            const std::int32_t utcDay = dayNumber(point.time.year, point.time.month, point.time.day);
            const std::int32_t offset = options.zone ? zoneCache.offsetSeconds : options.utcOffsetSeconds;
            days->push_back(shiftDay(utcDay, point.time.seconds, offset));
        }
    };

    gis::TrackReadOptions readOptions;
    readOptions.modeField = options.modeField;
    readOptions.trackField = options.trackField;
    if (options.progress)
        readOptions.progress = [&](std::int64_t done, std::int64_t total) {
            return options.progress(done, total, counts.kept);
        };
    gis::TrackFileCounts fileCounts;
    try {
        gis::readTrackPoints(path, *format, readOptions, take, fileCounts);
    } catch (const gis::GisError& error) {
        throw UnreadableFileError(path, echoText(error.reason(), kReasonCharacters));
    } catch (const gis::ReadCancelled&) {
        throw LoadCancelled(path);
    }
    counts.ignored += fileCounts.ignored;
    counts.bytes += fileCounts.bytes;
}
