#pragma once
// What a load of recordings found and how far it is, shared by the loader
// and the directory walk, and the 32-bit count every sample set keeps to.
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/LoadError.h"
#include "model/TrackFiles.h"

// What a directory import found, for the import tool's summary.
struct ImportReport {
    std::int64_t trajectoryFiles = 0;  // files parsed as trajectories
    std::int64_t labelFiles = 0;
    std::int64_t bytes = 0;            // bytes of the trajectory files
    std::int64_t lines = 0;            // fix lines after the headers
    std::int64_t kept = 0;             // fixes inside the box
    std::int64_t outside = 0;          // fixes dropped by the frame filter
    std::int64_t collapsed = 0;        // fixes folded into visits (--visits)
    std::int64_t labelLines = 0;
    std::int64_t unknownLabelNames = 0;                     // label lines skipped
    std::map<std::string, std::int64_t> unknownNameCounts;  // the first few distinct names
    // Files and subdirectories that could not be read and were skipped.
    std::vector<std::pair<std::string, std::string>> unreadable;  // path, reason
    // GPS track files (GPX, GeoJSON, CSV); their points inside the box are
    // counted in `kept`, those outside in `outside`.
    std::int64_t trackFiles = 0;
    std::int64_t trackPoints = 0;
    std::int64_t trackBytes = 0;
    std::int64_t skippedPoints = 0;           // bad points skipped
    std::vector<SkippedPoint> firstSkipped;   // the first five
    std::int64_t ignoredFeatures = 0;         // features that are not points
    // Lines skipped for breaking their format (with skipBadLines only).
    BadLines badLines;
};

// Progress of a directory import, reported on the loading thread.
struct ImportProgress {
    std::int64_t filesDone = 0;
    std::int64_t filesTotal = 0;  // files found so far
    std::int64_t bytesDone = 0;
    std::int64_t bytesTotal = 0;
    std::int64_t fixes = 0;
    bool walkFinished = false;    // totals are final
};

// Adds one track file's counts to a report.
inline void addTrackCounts(ImportReport& report, const TrackCounts& counts) {
    ++report.trackFiles;
    report.trackPoints += counts.points;
    report.trackBytes += counts.bytes;
    report.kept += counts.kept;
    report.outside += counts.outside;
    report.skippedPoints += counts.skipped;
    report.collapsed += counts.collapsed;
    report.ignoredFeatures += counts.ignored;
    for (const auto& place : counts.firstSkipped)
        if (report.firstSkipped.size() < kListedSkippedPoints) report.firstSkipped.push_back(place);
}

// The most samples a sample set holds: its count is a signed 32-bit number.
inline constexpr std::int64_t kMaxSampleCount = std::numeric_limits<std::int32_t>::max();

// Throws DataFileError when `count` samples do not fit a 32-bit count (or
// `most`). A streamed load stops as soon as its count passes the limit,
// before reading the rest: with `stoppedEarly` the message says "at least".
inline void checkSampleCount(const std::string& path, std::int64_t count, bool stoppedEarly = false,
                             std::int64_t most = kMaxSampleCount) {
    if (count > most)
        throw DataFileError(path, "holds " + std::string(stoppedEarly ? "at least " : "") + std::to_string(count) +
                                      " fixes inside the box, more than the " + std::to_string(most) +
                                      " a sample set may hold");
}
