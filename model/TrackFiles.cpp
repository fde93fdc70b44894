#include "model/TrackFiles.h"

#include "gis/Gis.h"
#include "model/FastParse.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"

namespace {

bool convertCoordinate(const std::string& text, float& value) {
    if (text.empty()) return false;
    const FloatResult result = parseFloatField(text);
    value = result.value;
    return result.status == NumberStatus::ok;
}

}  // namespace

bool isTrackFile(const std::filesystem::path& path) {
    return gis::trackFormatOf(path.filename().string()).has_value();
}

void parseTrackFile(const std::string& path, const TrackOptions& options, bool normalize,
                    const LabelIndex& labels, const FrameBounds& frame, std::vector<Datapoint>& out, TrackCounts& counts) {
    const auto format = gis::trackFormatOf(std::filesystem::path(path).filename().string());
    if (!format) throw DataFileError(path, "is not a GPX, GeoJSON or CSV file");

    const auto reject = [&](const gis::TrackPoint& point, const std::string& text, const std::string& problem) {
        if (!options.skipBadPoints)
            throw DataFileError(path, point.place + ": " + (text.empty() ? problem : "\"" + text + "\" " + problem));
        ++counts.skipped;
        if (counts.firstSkipped.size() < kListedSkippedPoints)
            counts.firstSkipped.push_back({path, point.place, text.empty() ? problem : text});
    };

    const auto take = [&](const gis::TrackPoint& point) {
        ++counts.points;
        if (point.latitude.empty() || point.longitude.empty()) return reject(point, "", "has no position");
        float latitude, longitude;
        if (!convertCoordinate(point.latitude, latitude))
            return reject(point, point.latitude, "is not a latitude");
        if (!convertCoordinate(point.longitude, longitude))
            return reject(point, point.longitude, "is not a longitude");
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
        out.emplace_back(x, y, mode, shiftTimeOfDay(point.time.seconds, options.utcOffsetSeconds));
        ++counts.kept;
    };

    gis::TrackReadOptions readOptions;
    readOptions.modeField = options.modeField;
    gis::TrackFileCounts fileCounts;
    try {
        gis::readTrackPoints(path, *format, readOptions, take, fileCounts);
    } catch (const gis::GisError& error) {
        throw DataFileError(path, error.reason());
    }
    counts.ignored += fileCounts.ignored;
}
