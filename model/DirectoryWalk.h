#pragma once
// The walk of a raw trajectory tree: directories in name order with the
// label files in force where the walk meets each file, trajectory and track
// files parsed on all cores, and each file's fixes handed to a sink in walk
// order while the walk goes on. Only a bounded number of files is in flight
// at any time, so the walk's memory does not grow with the tree.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/Datapoint.h"
#include "model/ImportReport.h"
#include "model/LabelIndex.h"
#include "model/ModeNames.h"
#include "model/RawFormats.h"
#include "model/TrackFiles.h"

// Receives the fixes one file kept, file after file in walk order, on the
// thread that walks; it may move the vector's contents away. What it throws
// ends the walk.
using FixSink = std::function<void(std::vector<Datapoint>& fixes)>;
// The same with each fix's date beside it (days since 1970 in the stored
// clock, one per fix; see SampleDays.h); it may move both away.
using DatedFixSink = std::function<void(std::vector<Datapoint>& fixes, std::vector<std::int32_t>& days)>;

struct WalkOptions {
    // Fixes inside the frame are kept, normalised over it when asked.
    FrameBounds frame;
    bool normalize = true;
    // Stop once the subdirectories walked gave this many fixes (-1: walk
    // everything). Checked after each subdirectory only, so not an exact cap.
    std::int32_t limit = -1;
    // The label-file mode names.
    std::unordered_map<std::string, TransportationMode> modeNames = makeModeNameTable();
    // How track files are read, and the UTC offset every fix's time gets.
    TrackOptions tracks;
    // Skip lines that break their format, counting them in the report,
    // instead of ending the walk at the first.
    bool skipBadLines = false;
    // Threads that parse files; 0 takes one per core.
    unsigned threads = 0;
    // Set by another thread to stop the walk soon; it then throws LoadCancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Called now and then on the walking thread. With a progress callback
    // and no limit, the tree is listed once first, so that the totals are
    // final from the start.
    std::function<void(const ImportProgress&)> progress;
    // Files passed over, with their temporary files: the output being
    // written, when it lies inside the tree.
    std::vector<std::string> leaveOut;
    // The most fixes handed on; the walk stops with DataFileError as soon as
    // a file would pass it (a sample set's count is 32-bit).
    std::int64_t maxFixes = kMaxSampleCount;
    // Files read ahead of the one handed on next: at most this many (0: four
    // per thread), and beyond one per thread only while their bytes stay
    // under maxBytesInFlight.
    std::size_t maxFilesInFlight = 0;
    std::int64_t maxBytesInFlight = std::int64_t{64} << 20;
};

// Walks the tree under `path`, entries in name order, without following
// links to directories, and hands each file's kept fixes to `sink`; adds
// what it found to `report`. A file or subdirectory that cannot be read is
// skipped and recorded in report.unreadable. Throws what the parsers throw
// (the error of the first failing file in walk order, as a one-by-one parse
// would), std::filesystem::filesystem_error when `path` itself cannot be
// listed, std::invalid_argument for a limit below -1, and DataFileError when
// the tree holds more fixes than options.maxFixes. The sink may have been
// given fixes before any of these.
void walkDirectory(const std::string& path, const WalkOptions& options, ImportReport& report, const FixSink& sink);
// The same, each file's dates handed on with its fixes.
void walkDatedDirectory(const std::string& path, const WalkOptions& options, ImportReport& report,
                        const DatedFixSink& sink);

// The intervals of a label file; one that cannot be read gives none and is
// recorded in report.unreadable. Unknown mode names are skipped and counted
// in `report`; lines that break the format go to `skip` when given.
LabelIndex readLabelsFile(const std::string& path, const std::unordered_map<std::string, TransportationMode>& names,
                          ImportReport& report, BadLines* skip);
