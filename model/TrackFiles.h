#pragma once
// GPS track files (GPX, GeoJSON, CSV) as samples: the points that gis/ reads
// through GDAL get the same coordinate conversion, frame filter and
// normalisation as trajectory files, a mode, and a time of day shifted by
// the recording's UTC offset.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gis/TimeZone.h"
#include "model/Datapoint.h"
#include "model/LabelIndex.h"
#include "model/RawFormats.h"

struct TrackOptions {
    // Added to every clock time (track files, trajectory files and sample
    // files alike), the result wrapped into 0..86399.
    std::int32_t utcOffsetSeconds = 0;
    // Instead of a fixed offset: the named zone's rules at each fix's UTC
    // date and time, daylight saving included (trackora-import --tz). Only
    // inputs with dates take one: track files and trajectory files.
    std::shared_ptr<const gis::TimeZone> zone;
    // The mode of track points that neither a mode field nor a label names.
    TransportationMode mode = mode::UNKNOWN;
    // GeoJSON property or CSV column holding a mode name ("" for none);
    // GPX files have none and ignore it.
    std::string modeField;
    // Collapse each track's consecutive fixes in one grid cell into its
    // first (trackora-import --visits): a track is one trajectory file, a
    // GPX track segment or route, or the rows sharing trackField's value.
    bool visits = false;
    // GeoJSON property or CSV column naming each point's track ("" for
    // none: the file is one track).
    std::string trackField;
    // A point without a usable position, time or mode name is skipped and
    // counted instead of ending the load.
    bool skipBadPoints = false;
    // Told now and then how far a track file's read is (done of total, bytes
    // or features; total -1 when unknown) and how many points it kept;
    // returning false stops the read with LoadCancelled.
    std::function<bool(std::int64_t done, std::int64_t total, std::int64_t kept)> progress;
};

// Where a bad point was, for the summary: the file, its place in the file
// ("track 1, segment 2, point 5", "feature 3", "line 7") and what was
// wrong, with the text at fault escaped and cut ('"39.9x" is not a latitude').
struct SkippedPoint {
    std::string file;
    std::string place;
    std::string text;
};

struct TrackCounts {
    std::int64_t points = 0;   // points the file held
    std::int64_t kept = 0;     // inside the box
    std::int64_t outside = 0;  // dropped by the frame filter
    std::int64_t skipped = 0;  // bad points skipped (TrackOptions::skipBadPoints)
    std::int64_t ignored = 0;  // features that are not points
    std::int64_t collapsed = 0;  // fixes folded into their visit's first (TrackOptions::visits)
    std::int64_t bytes = 0;    // the file's size
    std::vector<SkippedPoint> firstSkipped;  // at most kListedSkippedPoints
};

inline constexpr std::size_t kListedSkippedPoints = 5;

// True for the file names the track readers take: ".gpx", ".geojson",
// ".json" and ".csv", any letter case.
bool isTrackFile(const std::filesystem::path& path);

// Appends the points of one track file inside the frame. Coordinates are
// held to the trajectory grammar, times to the one ISO 8601 grammar. The
// mode is the point's mode field, else the first label interval covering its
// UTC day and clock (as for trajectory files), else options.mode. Throws
// DataFileError naming the file and the reason when it is not a regular
// file or cannot be read, and naming the file and the point when a point is
// bad and not to be skipped; LoadCancelled when options.progress says stop.
// With `days`, each kept point's local date (days since 1970, in the clock
// its time of day is stored in) is appended there.
void parseTrackFile(const std::string& path, const TrackOptions& options, bool normalize,
                    const LabelIndex& labels, const FrameBounds& frame, std::vector<Datapoint>& out, TrackCounts& counts,
                    std::vector<std::int32_t>* days = nullptr);

// A UTC offset written in hours, as trackora-import's --utc-offset and the
// viewer take it: a decimal number from -24 to 24, signed or not ("8", "+8",
// "-5.5"), in seconds. Nothing for any other text ("8h", "+-8", "nan").
std::optional<std::int32_t> parseUtcOffset(std::string_view hours);
// The clock an offset gives: "UTC", "UTC+8", "UTC-5:30", "UTC+5:07:23".
std::string formatUtcOffset(std::int32_t seconds);

// The clock a recording's times are stored in, as the frame file and the
// viewer name it: the zone's name, else formatUtcOffset of the offset.
std::string clockName(const TrackOptions& options);

// seconds + offset, wrapped into 0..86399.
inline std::int32_t shiftTimeOfDay(std::int32_t seconds, std::int32_t offset) {
    const std::int64_t shifted = (static_cast<std::int64_t>(seconds) + offset) % 86400;
    return static_cast<std::int32_t>(shifted < 0 ? shifted + 86400 : shifted);
}
