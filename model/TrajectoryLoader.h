#pragma once
// Reads samples from a binary sample file, a text sample file, a GPS track
// file or (through the directory walk) a tree of raw trajectory recordings.
// A loader is made for one load and discarded after it.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/Datapoint.h"
#include "model/DirectoryWalk.h"
#include "model/ImportReport.h"
#include "model/LabelIndex.h"
#include "model/TrackFiles.h"
#include "model/LoadError.h"

class TrajectoryLoader {
public:
    // The label intervals a lone GPS track file's points are matched with
    // (none unless set); a tree's walk puts its own label files in force.
    LabelIndex labels;
    // The box recordings and text sample files are kept inside and
    // normalised over. Loading a binary sample file sets it to that file's
    // frame (its frame file's, or the default box).
    GeoFrame frame;
    std::unordered_map<std::string, TransportationMode> modeNames;

    // Filled by each load of a directory tree.
    ImportReport report;
    // Called now and then during a directory import or the read of a track
    // file, on the loading thread.
    std::function<void(const ImportProgress&)> progress;
    // Set by another thread to stop a directory import or a track file's
    // read soon (between files, or within one chunk of a track file); the
    // load then throws LoadCancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Threads that parse trajectory files; 0 takes one per core.
    unsigned threads = 0;
    // How GPS track files are read, and the UTC offset every input's times get.
    TrackOptions tracks;
    // Skip lines that break their format, counting them in report.badLines,
    // instead of ending the load at the first.
    bool skipBadLines = false;
    // Files the directory walk passes over, together with their temporary
    // files: the output being written, when it lies inside the input tree.
    std::vector<std::string> leaveOut;

    TrajectoryLoader();

    // The loader's bounds as the raw-format parsers take them.
    FrameBounds frameBounds() const { return boundsOf(frame); }

    // Dispatch on the path: a directory is walked as a tree of raw
    // recordings, a GPS track file (isTrackFile) is read through GDAL, a
    // ".plt" file is one trajectory file (isRecordingFile), ".bin"/".dat" is
    // a binary sample file, anything else a text sample file. limit -1 reads everything. A non-zero tracks.utcOffsetSeconds
    // shifts the time of day of whatever is read.
    std::vector<Datapoint> load(const std::string& path, bool normalize);
    std::vector<Datapoint> load(const std::string& path, std::int32_t limit, bool normalize);

    // The same dispatch, handing the samples to `sink` as they are read
    // instead of collecting them: a tree a file at a time, a binary sample
    // file a chunk at a time (at most `limit` records, none made up past its
    // end), a text sample or track file whole. Memory then stays bounded for
    // trees and binary files, whatever their size.
    void load(const std::string& path, std::int32_t limit, bool normalize, const FixSink& sink);

    // The same two, with each sample's date (days since 1970 in the clock
    // its time of day is in, see SampleDays.h) beside it: from the
    // recordings' date field, the track files' timestamps, a text sample's
    // fifth field or a binary file's days column; kUnknownDay where the
    // input holds none.
    std::vector<Datapoint> loadDated(const std::string& path, std::int32_t limit, bool normalize,
                                     std::vector<std::int32_t>& days);
    void loadDated(const std::string& path, std::int32_t limit, bool normalize, const DatedFixSink& sink);

    // Headerless array of 16-byte records. With a limit, exactly that many
    // records come back; those past the end of the file keep default values.
    // Throws DataFileError when the file cannot be opened or read, is not a
    // regular file (a FIFO or device would block or never end), or holds
    // more records than a 32-bit count, and std::invalid_argument for a
    // negative limit other than -1.
    static std::vector<Datapoint> loadBinary(const std::string& path, std::int32_t limit);

    // One "x y time mode" sample per line: exactly four fields separated by
    // single spaces, decimal numbers then integers; a leading UTF-8
    // byte-order mark is skipped. Throws DataFileError when the file cannot
    // be opened or is not a regular file, std::invalid_argument or
    // std::out_of_range (naming the file, line and text) for a line that
    // breaks the format, unless skipBadLines is set.
    // An optional fifth field, yyyy-mm-dd, is the sample's date (to `days`
    // when given, kUnknownDay for a line without one).
    std::vector<Datapoint> loadText(const std::string& path, std::int32_t limit, bool normalize,
                                    std::vector<std::int32_t>* days = nullptr);

    // Walks a tree of label and trajectory files, entries in name order,
    // without following links to directories (see walkDirectory), and hands
    // each file's fixes to `sink` in walk order as the files are parsed, in
    // parallel. The limit is checked after each subdirectory only, so it is
    // not an exact cap. A subdirectory that cannot be listed is skipped and
    // recorded in report.unreadable. Throws what the parsers throw,
    // std::filesystem::filesystem_error when `path` itself cannot be listed,
    // and DataFileError when the tree holds more fixes than a 32-bit count.
    void loadDirectory(const std::string& path, std::int32_t limit, bool normalize, const FixSink& sink);
    void loadDirectory(const std::string& path, std::int32_t limit, bool normalize, const DatedFixSink& sink);
    // The same, collected.
    std::vector<Datapoint> loadDirectory(const std::string& path, std::int32_t limit, bool normalize);

    // One trajectory file on its own (a recording without labels unless
    // `labels` is set), its fixes inside the box, at most `limit`. Fills
    // `report` as a tree of one file would; throws DataFileError when it
    // cannot be read, and what parseTrajectoryText throws.
    std::vector<Datapoint> loadRecordingFile(const std::string& path, std::int32_t limit, bool normalize,
                                             std::vector<std::int32_t>* days = nullptr);

    // The points of one GPS track file inside the box, at most `limit`.
    // Fills `report`; throws DataFileError (see parseTrackFile).
    std::vector<Datapoint> loadTrackFile(const std::string& path, std::int32_t limit, bool normalize,
                                         std::vector<std::int32_t>* days = nullptr);

    // The intervals of a label file; a file that cannot be opened gives an
    // empty index. Unknown mode names are skipped and counted in `report`.
    LabelIndex parseLabelsFile(const std::string& path);

    // The fixes of one trajectory file inside the box; a file that cannot be
    // opened gives none.
    std::vector<Datapoint> parseTrajectoryFile(const std::filesystem::path& path, bool normalize,
                                               const LabelIndex& labels);

private:
    std::vector<Datapoint> loadCollected(const std::string& path, std::int32_t limit, bool normalize,
                                         std::vector<std::int32_t>* days);
    // Sample files hold times of day only: a zone's rules cannot apply.
    void refuseZoneWithoutDates(const std::string& path) const;
    // The walk's settings from the loader's.
    WalkOptions walkOptions(std::int32_t limit, bool normalize) const;
};

// True when the dispatch reads a path that is not a directory as one
// trajectory file: its extension is ".plt", any letter case.
bool isRecordingFile(const std::string& path);

// True when the dispatch reads a path that is not a directory as a binary
// sample file: its extension is ".bin" or ".dat", letter case included.
bool hasBinaryExtension(const std::string& path);

// Number of records a binary sample file of this many bytes holds.
inline std::int64_t binaryRecordCount(std::int64_t bytes) { return bytes / 16; }
