#include "tools/import/ImportTool.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "model/FrameChoice.h"
#include "model/LoadError.h"
#include "model/ModeNames.h"
#include "model/OutputFile.h"
#include "model/SampleDays.h"
#include "model/TrajectoryLoader.h"

#include <sys/stat.h>
#include <climits>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string withSeparators(std::int64_t value) {
    const std::string digits = std::to_string(value < 0 ? -value : value);
    std::string text = value < 0 ? "-" : "";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

std::string clockText(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// One line, redrawn in place on a terminal.
class ProgressBar {
public:
    explicit ProgressBar(std::ostream& err) : err_(err), start_(std::chrono::steady_clock::now()) {}

    void update(const ImportProgress& p) {
        const double elapsed = seconds();
        const double rate = elapsed > 0 ? static_cast<double>(p.bytesDone) / elapsed : 0.0;
        const double fraction =
            p.bytesTotal > 0 ? static_cast<double>(p.bytesDone) / static_cast<double>(p.bytesTotal) : 0.0;
        constexpr int width = 24;
        const int filled = static_cast<int>(fraction * width);
        std::ostringstream line;
        line << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
             << std::string(static_cast<std::size_t>(width - filled), '.') << "] "
             << withSeparators(p.filesDone) << "/" << withSeparators(p.filesTotal) << " files  "
             << withSeparators(p.fixes) << " fixes  " << megabytes(rate) << "/s";
        if (p.walkFinished && rate > 0) {
            line << "  " << clockText(static_cast<double>(p.bytesTotal - p.bytesDone) / rate) << " left";
        }
        line << "   ";
        err_ << line.str() << std::flush;
        drawn_ = true;
    }
    void finish() {
        if (drawn_) err_ << "\r\033[K" << std::flush;
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::ostream& err_;
    std::chrono::steady_clock::time_point start_;
    bool drawn_ = false;
};

// The records written, counted per mode as they go out.
struct Tally {
    std::int64_t records = 0;
    std::int64_t perMode[kModeCount] = {};
    std::int64_t other = 0;  // a mode none of the eleven flags

    void add(const Datapoint* points, std::size_t count) {
        records += static_cast<std::int64_t>(count);
        for (std::size_t i = 0; i < count; ++i) {
            const int index = modeIndex(points[i].mode);
            if (index >= 0)
                ++perMode[index];
            else
                ++other;
        }
    }
};

// Records on their way to the output, gathered into large writes, and
// their dates to the days column beside it.
class RecordWriter {
public:
    // `days` null: the dates are counted but not written.
    RecordWriter(OutputFile& output, OutputFile* days) : output_(output), daysOutput_(days) {
        buffer_.reserve(kBufferRecords);
        days_.reserve(kBufferRecords);
    }

    void write(const std::vector<Datapoint>& points, const std::vector<std::int32_t>& days) {
        tally.add(points.data(), points.size());
        for (const std::int32_t day : days) {
            if (day == kUnknownDay) continue;
            if (datedRecords == 0 || day < firstDay) firstDay = day;
            if (datedRecords == 0 || day > lastDay) lastDay = day;
            ++datedRecords;
        }
        if (buffer_.size() + points.size() > kBufferRecords) flush();
        if (points.size() >= kBufferRecords) {
            output_.write(points.data(), points.size() * sizeof(Datapoint));
            if (daysOutput_) daysOutput_->write(days.data(), days.size() * sizeof(std::int32_t));
        } else {
            buffer_.insert(buffer_.end(), points.begin(), points.end());
            days_.insert(days_.end(), days.begin(), days.end());
        }
    }
    void flush() {
        if (!buffer_.empty()) {
            output_.write(buffer_.data(), buffer_.size() * sizeof(Datapoint));
            if (daysOutput_) daysOutput_->write(days_.data(), days_.size() * sizeof(std::int32_t));
        }
        buffer_.clear();
        days_.clear();
    }

    Tally tally;
    std::int64_t datedRecords = 0;  // records whose date is known
    std::int32_t firstDay = 0, lastDay = 0;

private:
    static constexpr std::size_t kBufferRecords = std::size_t{1} << 16;  // 1 MiB
    OutputFile& output_;
    OutputFile* daysOutput_;
    std::vector<Datapoint> buffer_;
    std::vector<std::int32_t> days_;
};

// The days column beside the samples, committed with them as the frame
// file is: the new column when any record has a date, else none (an old
// column would give the new records dates they do not have). The old
// column is kept under a second name by a hard link until the samples are
// in place, and put back when they cannot follow; a link costs nothing,
// where a copy of a column of a billion dates would.
class DaysCommit {
public:
    DaysCommit(const std::string& samples, OutputFile* prepared, bool keep)
        : path_(daysFilePath(samples)), prepared_(prepared), keep_(keep && prepared) {}
    ~DaysCommit() {
        if (!backup_.empty()) ::unlink(backup_.c_str());
    }
    DaysCommit(const DaysCommit&) = delete;
    DaysCommit& operator=(const DaysCommit&) = delete;

    void stage() {
        struct stat status {};
        const bool exists = ::lstat(path_.c_str(), &status) == 0;
        if (!exists && errno != ENOENT && errno != ENAMETOOLONG) throw OutputError(path_, std::strerror(errno));
        if (exists && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
            throw std::runtime_error("cannot replace \"" + echoPath(path_) + "\", the days column of an earlier import: " +
                                     notRegularFileReason(status.st_mode));
        if (keep_) prepared_->prepare();
        if (exists) {
            const std::string backup = path_ + ".old-" + std::to_string(::getpid());
            ::unlink(backup.c_str());
            if (::link(path_.c_str(), backup.c_str()) != 0) throw OutputError(backup, std::strerror(errno));
            backup_ = backup;
        }
    }

    void commit() {
        if (keep_) {
            prepared_->commit();
        } else if (::unlink(path_.c_str()) != 0 && errno != ENOENT && errno != ENAMETOOLONG) {
            throw std::runtime_error("cannot remove \"" + echoPath(path_) + "\", the days column of an earlier import: " +
                                     std::strerror(errno));
        }
        committed_ = true;
    }

    void rollBack(std::ostream& err) noexcept {
        if (!committed_) return;
        const bool restored = backup_.empty() ? (::unlink(path_.c_str()) == 0 || errno == ENOENT)
                                              : ::rename(backup_.c_str(), path_.c_str()) == 0;
        if (restored) {
            backup_.clear();
        } else {
            err << "trackora-import: the days column \"" << echoPath(path_)
                << "\" could not be put back: " << std::strerror(errno) << "\n";
        }
    }

private:
    std::string path_;
    OutputFile* prepared_;
    bool keep_;
    std::string backup_;
    bool committed_ = false;
};

struct DatedRange {
    std::int64_t records = 0;
    std::int32_t first = 0, last = 0;
};

void printSummary(std::ostream& out, const ImportOptions& options, const TrajectoryLoader& loader,
                  bool tree, const Tally& tally, const DatedRange& dated, double seconds) {
    const ImportReport& r = loader.report;
    out << "Imported \"" << echoPath(options.input) << "\" into \"" << echoPath(options.output) << "\"\n";
    if (loader.frame != GeoFrame{}) out << "  frame:             " << frameDescription(loader.frame) << "\n";
    if (loader.tracks.zone) out << "  clock:             " << loader.tracks.zone->name() << "\n";
    // A tree of track files alone has no trajectory or label files to count.
    if (tree && (r.trajectoryFiles + r.labelFiles > 0 || r.trackFiles == 0)) {
        out << "  files:             " << withSeparators(r.trajectoryFiles) << " trajectory files ("
            << megabytes(static_cast<double>(r.bytes)) << "), " << withSeparators(r.labelFiles)
            << " label files\n";
        out << "  lines:             " << withSeparators(r.lines) << "\n";
    }
    if (r.trackFiles) {
        out << "  track files:       " << withSeparators(r.trackFiles) << " ("
            << megabytes(static_cast<double>(r.trackBytes)) << ", " << withSeparators(r.trackPoints) << " points)\n";
        if (r.ignoredFeatures) out << "  not points:        " << withSeparators(r.ignoredFeatures) << " features ignored\n";
    }
    out << "  fixes kept:        " << withSeparators(tally.records) << "\n";
    if (dated.records > 0)
        out << "  dates:             " << formatDay(dated.first) << " to " << formatDay(dated.last) << " ("
            << withSeparators(dated.records) << " fixes dated"
            << (dated.records < tally.records ? ", " + withSeparators(tally.records - dated.records) + " without a date"
                                              : std::string())
            << ")\n";
    if (options.tracks.visits)
        out << "  visits:            " << withSeparators(tally.records + r.collapsed) << " fixes collapsed into "
            << withSeparators(tally.records) << " visits\n";
    if (tree || r.trackFiles) out << "  outside the box:   " << withSeparators(r.outside) << "\n";
    // Each count where its kind was read: lines of text files, points of
    // track files.
    const bool readLines = tree ? r.trajectoryFiles + r.labelFiles > 0 : !r.trackFiles;
    if (r.trackFiles && (options.skipBadLines || r.skippedPoints)) {
        out << "  bad points skipped: " << withSeparators(r.skippedPoints) << "\n";
        for (const auto& place : r.firstSkipped)
            out << "    \"" << echoPath(place.file) << "\" " << echoText(place.place) << ": " << place.text << "\n";
    }

    out << "  fixes per mode:   ";
    for (int i = 0; i < kModeCount; ++i)
        if (tally.perMode[i]) out << " " << modeDisplayName(kModes[i]) << " " << withSeparators(tally.perMode[i]);
    out << "\n";
    // Such records are counted whatever modes are ticked in the viewer.
    if (tally.other)
        out << "  mode none of the eleven: " << withSeparators(tally.other)
            << " fixes (counted whatever modes are ticked)\n";
    if (tree) {
        out << "  unknown label names: " << withSeparators(r.unknownLabelNames) << " lines skipped";
        bool first = true;
        for (const auto& [name, count] : r.unknownNameCounts) {
            out << (first ? ": " : ", ") << "\"" << echoText(name) << "\" " << count;
            first = false;
        }
        out << "\n";
        if (!r.unreadable.empty()) {
            std::error_code ignored;
            const bool directories = std::any_of(r.unreadable.begin(), r.unreadable.end(), [&](const auto& entry) {
                return fs::is_directory(entry.first, ignored);
            });
            out << "  unreadable:        " << withSeparators(static_cast<std::int64_t>(r.unreadable.size()))
                << (directories ? " files or directories" : " files") << " skipped (named above)\n";
        }
    }
    if (options.skipBadLines && (readLines || r.badLines.count)) {
        out << "  bad lines skipped: " << withSeparators(r.badLines.count) << "\n";
        for (const auto& place : r.badLines.first)
            out << "    \"" << echoPath(place.path) << "\" line " << place.line << ": \"" << place.text << "\"\n";
    }
    char timing[96];
    std::snprintf(timing, sizeof timing, "  time taken:        %.2f s", seconds);
    out << timing;
    // Every file read counts towards the rate: trajectory and track files.
    const std::int64_t bytesRead = r.bytes + r.trackBytes;
    if ((tree || r.trackFiles) && seconds > 0 && bytesRead > 0)
        out << " (" << megabytes(static_cast<double>(bytesRead) / seconds) << "/s)";
    out << "\n";
}

// The samples' frame beside them, committed together with them: written
// when it is not the default box (a binary input's frame is carried over),
// and a frame file left by an earlier import into another box removed when
// it is, so the samples are never read over the wrong frame. Everything that
// can fail is done in stage(), before the samples' rename; the old frame file
// is kept in memory until then, and put back by rollBack() when that rename
// fails, so both change or neither does.
class FrameCommit {
public:
    FrameCommit(const std::string& samples, const GeoFrame& frame, const std::string& clock,
                std::optional<OutputFile>& prepared)
        : path_(frameFilePath(samples)), prepared_(prepared) {
        remove_ = frame == GeoFrame{} && clock.empty();
        if (!remove_) text_ = frameFileText(frame, clock);
    }

    void stage() {
        struct stat status {};
        const bool exists = ::lstat(path_.c_str(), &status) == 0;
        // A name with no room for ".frame" never had a frame file.
        if (!exists && errno != ENOENT && errno != ENAMETOOLONG)
            throw OutputError(path_, std::strerror(errno));
        if (remove_) {
            // Only a file or a link is the frame of an earlier import;
            // anything else in its place is no one's to remove.
            if (exists && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
                throw std::runtime_error("cannot remove \"" + echoPath(path_) + "\", the frame of an earlier import: " +
                                         notRegularFileReason(status.st_mode));
        } else {
            if (!prepared_) prepared_.emplace(path_);
            prepared_->write(text_.data(), text_.size());
            prepared_->prepare();
        }
        if (exists) {
            try {
                old_ = readSmallFile(path_, kFrameFileLimit, "a frame file");
            } catch (const std::exception&) {
                // Not a frame file that could be read (too large, a link to
                // nothing): nothing of it worth putting back.
            }
        }
    }

    void commit() {
        if (remove_) {
            if (::unlink(path_.c_str()) != 0 && errno != ENOENT && errno != ENAMETOOLONG)
                throw std::runtime_error("cannot remove \"" + echoPath(path_) + "\", the frame of an earlier import: " +
                                         std::strerror(errno));
        } else {
            prepared_->commit();
        }
        committed_ = true;
    }

    // After commit(), when the samples could not follow: the old frame file
    // back, or none when there was none. Says on `err` when even that fails.
    void rollBack(std::ostream& err) noexcept {
        if (!committed_) return;
        try {
            if (old_) {
                OutputFile restore(path_);
                restore.write(old_->data(), old_->size());
                restore.commit();
            } else if (!remove_) {
                fs::remove(path_);
            }
        } catch (const std::exception& e) {
            err << "trackora-import: the frame file \"" << echoPath(path_) << "\" could not be put back: " << e.what()
                << "\n";
        }
    }

private:
    std::string path_;
    std::optional<OutputFile>& prepared_;
    bool remove_ = false;
    std::string text_;
    std::optional<std::string> old_;
    bool committed_ = false;
};

// --box fit: the frame of 99.9% of the fixes, from a first read in degrees.
// The second read then keeps and places the fixes over it from their text,
// as a load with that box does (the degrees held as floats would move fixes
// on a cell edge).
FrameFit fitToTheData(const ImportOptions& options, const TrackOptions& tracks, const std::string& skip,
                      ImportReport& report) {
    TrajectoryLoader loader;
    loader.frame = GeoFrame{-85.0, -180.0, 85.0, 180.0};
    loader.tracks = tracks;
    loader.tracks.visits = false;  // cells exist only once the box does
    loader.tracks.skipBadPoints = options.skipBadLines;
    loader.skipBadLines = options.skipBadLines;
    loader.threads = options.threads;
    loader.leaveOut.push_back(skip);
    loader.leaveOut.push_back(daysFilePath(skip));
    std::vector<float> latitudes, longitudes;
    loader.load(options.input, options.limit, false, [&](std::vector<Datapoint>& fixes) {
        for (const Datapoint& point : fixes) {
            latitudes.push_back(point.x);
            longitudes.push_back(point.y);
        }
    });
    report = loader.report;
    return fitFrameToData(latitudes, longitudes);
}

std::string percent(std::int64_t part, std::int64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

// "39.9 N, 116.4 E"
std::string placeText(double latitude, double longitude) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %c, %.1f %c", std::fabs(latitude), latitude < 0 ? 'S' : 'N',
                  std::fabs(longitude), longitude < 0 ? 'W' : 'E');
    return text;
}

// The fitted box, and when the fixes lie in several places, which one it
// holds and which it leaves out.
void printFit(std::ostream& out, const FrameFit& fit) {
    out << "Box fitted to the data: " << frameText(fit.frame) << " (--box " << frameText(fit.frame)
        << " gives the same)\n";
    if (fit.others.empty()) return;
    constexpr std::size_t kNamed = 5;
    out << "  it holds the cluster with the most fixes: " << percent(fit.fixes, fit.total) << " ("
        << withSeparators(fit.fixes) << " of " << withSeparators(fit.total) << ")\n";
    out << "  other clusters, left out:";
    std::int64_t rest = 0;
    for (std::size_t i = 0; i < fit.others.size(); ++i) {
        const FixCluster& c = fit.others[i];
        if (i < kNamed)
            out << (i ? "; " : " ") << percent(c.fixes, fit.total) << " near " << placeText(c.latitude, c.longitude);
        else
            rest += c.fixes;
    }
    if (rest) out << "; " << percent(rest, fit.total) << " in " << fit.others.size() - kNamed << " more";
    out << "\n";
}

// Why a load kept nothing: what was read and where it went.
std::string nothingKeptReason(const ImportReport& r, bool tree) {
    std::vector<std::string> parts;
    if (r.outside) parts.push_back(withSeparators(r.outside) + " outside the box");
    if (r.skippedPoints) parts.push_back(withSeparators(r.skippedPoints) + " bad points skipped");
    if (r.badLines.count) parts.push_back(withSeparators(r.badLines.count) + " bad lines skipped");
    if (r.ignoredFeatures)
        parts.push_back(withSeparators(r.ignoredFeatures) + " features that are not points (LineStrings, "
                                                            "MultiPoints, waypoints) ignored");
    if (!r.unreadable.empty()) parts.push_back(withSeparators(static_cast<std::int64_t>(r.unreadable.size())) +
                                                " files or directories unreadable");
    std::string read;
    if (r.trackFiles) read = withSeparators(r.trackPoints) + " track points read";
    if (tree) read += (read.empty() ? "" : ", ") + withSeparators(r.lines) + " trajectory lines read";
    std::string text = read.empty() ? "nothing to read" : read;
    if (parts.empty() && !read.empty()) parts.push_back("none of them kept");
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? ": " : ", ") + parts[i];
    return text;
}

bool isTrackInputWithFields(const std::string& input) {
    std::string extension = fs::path(input).extension().string();
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == ".geojson" || extension == ".json" || extension == ".csv";
}

}  // namespace

namespace {

// The options as typed: checked and converted once CLI11 has taken them
// apart, so each refusal names the option and its value in our words.
struct ImportArguments {
    std::vector<std::string> inputs;
    std::optional<std::string> output, limit, box, utcOffset, timeZone, mode, modeField, trackColumn;
    bool skipBadLines = false;
    bool visits = false;
};

void describeImport(CLI::App& app, ImportArguments& typed) {
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.allow_extras();  // unknown options and a second INPUT are refused in our words
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("INPUT", typed.inputs,
                   "A directory tree of raw trajectories (labels.txt and trajectory files), a GPS track file "
                   "(.gpx, .geojson/.json, .csv with latitude, longitude and time columns), a text sample file, "
                   "or a binary sample file (.bin, .dat)")
        ->expected(0, 1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("-o,--output", typed.output,
                   "The binary sample file to write (default data/data.bin); its frame goes to OUTPUT.frame beside it")
        ->type_name("OUTPUT");
    app.add_option("--box", typed.box,
                   "SOUTH,WEST,NORTH,EAST|fit: the frame; fixes inside it are kept and normalised over it, in decimal "
                   "degrees (default 39.75,116.15,40.1,116.6); fit: the smallest box holding 99.9% of the fixes, "
                   "padded, printed")
        ->type_name("SOUTH,WEST,NORTH,EAST|fit");
    app.add_option("--limit", typed.limit, "Stop walking once subdirectories gave N fixes (-1: everything)")->type_name("N");
    app.add_flag("--skip-bad-lines", typed.skipBadLines,
                 "Skip lines and track points that break their format and count them, instead of stopping at the first");
    app.add_option("--utc-offset", typed.utcOffset, "Hours added to every clock time, e.g. 8 or -5.5 (default 0)")->type_name("HOURS");
    app.add_option("--tz", typed.timeZone,
                   "The time zone the clock times are converted to, by its rules at each fix's date (daylight saving "
                   "included), e.g. America/Los_Angeles; recordings and track files only, not with --utc-offset")
        ->type_name("ZONE");
    app.add_option("--mode", typed.mode,
                   "Mode of track points nothing else names: walk, bike, bus, car, taxi, subway, train, airplane, "
                   "boat, run, motorcycle or unknown (default)")
        ->type_name("NAME");
    app.add_option("--mode-field", typed.modeField, "GeoJSON property or CSV column holding each point's mode name")
        ->type_name("FIELD");
    app.add_flag("--visits", typed.visits,
                 "One sample per stay in a grid cell: each track's consecutive fixes in the same cell become its "
                 "first fix (a track is a trajectory file, a GPX track segment, or the CSV rows sharing "
                 "--track-column's value)");
    app.add_option("--track-column", typed.trackColumn,
                   "GeoJSON property or CSV column naming each point's track, for --visits")
        ->type_name("FIELD");
}

// CLI11's refusals in the tool's words where they are about one option:
// "--limit: 1 required N missing" and "Could not convert: --visits = x".
std::string refusalMessage(const CLI::ParseError& e) {
    const std::string text = e.what();
    const std::size_t colon = text.find(':');
    if (text.size() > 8 && text.compare(text.size() - 8, 8, " missing") == 0 && colon != std::string::npos)
        return text.substr(0, colon) + " needs a value";
    const std::size_t name = text.find("--");
    if (dynamic_cast<const CLI::ConversionError*>(&e) != nullptr && name != std::string::npos)
        return text.substr(name, text.find(' ', name) - name) + " takes no value";
    return echoText(text);
}

}  // namespace

std::string importUsage() {
    CLI::App app{"Turns raw trajectories, track files or sample files into the viewer's binary sample file.",
                 "trackora-import"};
    ImportArguments typed;
    describeImport(app, typed);
    return app.help();
}

bool parseImportArguments(const std::vector<std::string>& args, ImportOptions& options, bool& help,
                          std::string& error) {
    help = false;
    CLI::App app{"", "trackora-import"};
    ImportArguments typed;
    describeImport(app, typed);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        help = true;
        return true;
    } catch (const CLI::ParseError& e) {
        error = refusalMessage(e);
        return false;
    }
    for (const std::string& extra : app.remaining()) {
        if (!extra.empty() && extra[0] == '-' && extra != "-")
            error = "unknown option \"" + echoText(extra) + "\"";
        else
            error = extra.empty() ? "INPUT must not be empty" : "only one INPUT may be given";
        return false;
    }
    if (typed.inputs.empty()) {
        error = "no INPUT given";
        return false;
    }
    if (typed.inputs.size() > 1) {
        error = "only one INPUT may be given";
        return false;
    }
    options.input = typed.inputs.front();
    if (options.input.empty()) {
        error = "INPUT must not be empty";
        return false;
    }
    if (typed.output) {
        if (typed.output->empty()) {
            error = "-o needs a file name";
            return false;
        }
        options.output = *typed.output;
    }
    if (typed.box) {
        options.fitBox = *typed.box == "fit";
        options.box.reset();
        if (!options.fitBox) {
            try {
                options.box = parseFrame(*typed.box);
            } catch (const std::invalid_argument& e) {
                error = std::string("--box takes SOUTH,WEST,NORTH,EAST in decimal degrees or fit: ") + e.what();
                return false;
            }
        }
    }
    if (typed.limit) {
        const std::string& value = *typed.limit;
        std::int32_t limit = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), limit);
        if (ec != std::errc() || end != value.data() + value.size() || limit < -1) {
            error = "--limit takes -1 or a count of fixes, not \"" + echoText(value) + "\"";
            return false;
        }
        options.limit = limit;
    }
    if (typed.utcOffset) {
        const auto offset = parseUtcOffset(*typed.utcOffset);
        if (!offset) {
            error = "--utc-offset takes hours from -24 to 24, not \"" + echoText(*typed.utcOffset) + "\"";
            return false;
        }
        options.tracks.utcOffsetSeconds = *offset;
    }
    if (typed.trackColumn) {
        if (typed.trackColumn->empty()) {
            error = "--track-column needs a field name";
            return false;
        }
        options.tracks.trackField = *typed.trackColumn;
    }
    if (typed.timeZone) {
        if (typed.timeZone->empty()) {
            error = "--tz needs a time zone name, e.g. America/Los_Angeles";
            return false;
        }
        options.timeZone = *typed.timeZone;
    }
    if (typed.mode) {
        const auto mode = parseModeName(*typed.mode);
        if (!mode) {
            error = "--mode takes one mode name (walk, bike, bus, car, taxi, subway, train, airplane, boat, "
                    "run, motorcycle or unknown), not \"" + echoText(*typed.mode) + "\"";
            return false;
        }
        options.tracks.mode = *mode;
    }
    if (typed.modeField) {
        if (typed.modeField->empty()) {
            error = "--mode-field needs a field name";
            return false;
        }
        options.tracks.modeField = *typed.modeField;
    }
    options.skipBadLines = options.skipBadLines || typed.skipBadLines;
    options.tracks.visits = options.tracks.visits || typed.visits;
    if (!options.tracks.trackField.empty() && !options.tracks.visits) {
        error = "--track-column names the tracks for --visits; give --visits too";
        return false;
    }
    if (typed.utcOffset && !options.timeZone.empty()) {
        error = "--tz and --utc-offset both set the clock: give one";
        return false;
    }
    return true;
}

int runImport(const ImportOptions& options, std::ostream& out, std::ostream& err,
              const std::function<void()>& whileLoading) {
    std::error_code status;
    if (!fs::exists(options.input, status)) {
        err << "trackora-import: cannot read \"" << echoPath(options.input) << "\": "
            << (status ? status.message() : std::string(std::strerror(ENOENT))) << "\n";
        return 1;
    }
    const bool tree = fs::is_directory(options.input, status);
    // Only GeoJSON and CSV have fields; a tree may hold such files.
    if (!options.tracks.modeField.empty() && !tree && !isTrackInputWithFields(options.input)) {
        err << "trackora-import: --mode-field names a GeoJSON property or CSV column; \""
            << echoPath(options.input) << "\" is no GeoJSON or CSV file and has no fields\n";
        return 2;
    }
    // A binary sample file is normalised over its frame already.
    if (!tree && hasBinaryExtension(options.input) && (options.fitBox || options.box)) {
        GeoFrame frame;
        try {
            frame = readFrameFile(options.input);
        } catch (const std::exception& e) {
            err << "trackora-import: " << loadFailureMessage(options.input, e) << "\n";
            return 1;
        }
        if (options.fitBox || *options.box != frame) {
            err << "trackora-import: \"" << echoPath(options.input) << "\" holds samples normalised over "
                << frameText(frame) << "; --box applies to recordings and text sample files\n";
            return 2;
        }
    }
    // Sample files hold samples, not tracks: nothing to fold.
    const bool recordings = tree || isTrackFile(options.input) || isRecordingFile(options.input);
    if (options.tracks.visits && !recordings) {
        err << "trackora-import: --visits folds the fixes of tracks; \"" << echoPath(options.input)
            << "\" is a sample file, which holds no tracks\n";
        return 2;
    }
    if (!options.tracks.trackField.empty() && !tree && !isTrackInputWithFields(options.input)) {
        err << "trackora-import: --track-column names a GeoJSON property or CSV column; \""
            << echoPath(options.input) << "\" is no GeoJSON or CSV file and has no fields\n";
        return 2;
    }
    // A zone needs each fix's date, which only recordings and track files hold.
    TrackOptions tracks = options.tracks;
    if (!options.timeZone.empty()) {
        if (!recordings) {
            err << "trackora-import: --tz needs each fix's date; \"" << echoPath(options.input)
                << "\" is a sample file with times of day only (--utc-offset shifts them)\n";
            return 2;
        }
        try {
            tracks.zone = gis::TimeZone::locate(options.timeZone);
        } catch (const gis::UnknownZone& e) {
            err << "trackora-import: --tz: " << echoText(e.what()) << "\n";
            return 2;
        }
    }
    // The clock beside the samples: the zone, the offset, or a binary
    // input's own (its times were converted when it was imported).
    std::string clock;
    if (tracks.zone || tracks.utcOffsetSeconds != 0) clock = clockName(tracks);
    if (!tree && hasBinaryExtension(options.input)) {
        try {
            const std::string before = readFrameClock(options.input);
            if (!before.empty())
                clock = tracks.utcOffsetSeconds == 0 ? before : before + " shifted by " + clock.substr(3) + " h";
        } catch (const std::exception& e) {
            err << "trackora-import: " << loadFailureMessage(options.input, e) << "\n";
            return 1;
        }
    }
    removeTemporaryFilesOnSignals();
    try {
        OutputFile output(options.output);  // fails early when the target is unwritable
        output.refuseSameFile(options.input);
        // The default box needs no frame file; another is written beside the samples.
        std::optional<OutputFile> frameOutput;
        // A name with no room for ".days" cannot have its dates beside it.
        std::optional<OutputFile> daysOutput;
        const bool roomForDays = fs::path(options.output).filename().string().size() + 5 <= NAME_MAX;
        if (roomForDays) daysOutput.emplace(daysFilePath(options.output));
        if (options.fitBox || (options.box && *options.box != GeoFrame{}) || !clock.empty())
            frameOutput.emplace(frameFilePath(options.output));
        if (whileLoading) whileLoading();

        TrajectoryLoader loader;
        loader.frame = options.box.value_or(GeoFrame{});
        loader.tracks = tracks;
        loader.skipBadLines = options.skipBadLines;
        loader.threads = options.threads;
        loader.tracks.skipBadPoints = options.skipBadLines;
        // An output inside the input tree is no recording, nor is its temporary file.
        loader.leaveOut.push_back(output.replacedPath());
        loader.leaveOut.push_back(daysFilePath(output.replacedPath()));
        loader.leaveOut.push_back(daysFilePath(options.output));
        ProgressBar bar(err);
        if (options.showProgress) loader.progress = [&](const ImportProgress& p) { bar.update(p); };
        // Records go out as they are read (a tree a file at a time, a binary
        // file a chunk at a time), so memory does not grow with the input;
        // --box fit reads the input twice, keeping only the positions of the
        // first read.
        RecordWriter writer(output, daysOutput ? &*daysOutput : nullptr);
        try {
            if (options.fitBox) {
                ImportReport first;
                const FrameFit fit = fitToTheData(options, tracks, output.replacedPath(), first);
                // No fix a box may hold: fitting gives no box, not the default one.
                if (fit.total == 0) {
                    bar.finish();
                    err << "trackora-import: \"" << echoPath(options.input) << "\": ";
                    if (first.outside > 0)
                        err << "its fixes cannot be framed: none of its " << withSeparators(first.outside)
                            << " fixes lies within 85 degrees of the equator, where a box must lie\n";
                    else
                        err << "holds no fixes to fit a box to ("
                            << nothingKeptReason(first, tree || isRecordingFile(options.input)) << ")\n";
                    err << "trackora-import: nothing written; \"" << echoPath(options.output) << "\" is unchanged\n";
                    return 1;
                }
                loader.frame = fit.frame;
                printFit(out, fit);
            }
            loader.loadDated(options.input, options.limit, true,
                             [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>& days) {
                                 writer.write(fixes, days);
                             });
        } catch (const OutputError&) {
            bar.finish();
            throw;
        } catch (const std::bad_alloc&) {
            bar.finish();
            err << "trackora-import: " << loadFailureMessage(options.input, std::runtime_error("not enough memory"))
                << "\n";
            err << "trackora-import: nothing written; \"" << echoPath(options.output) << "\" is unchanged\n";
            return 1;
        } catch (const std::exception& e) {
            bar.finish();
            err << "trackora-import: " << loadFailureMessage(options.input, e) << "\n";
            if (dynamic_cast<const std::logic_error*>(&e) && !options.skipBadLines)
                err << "trackora-import: --skip-bad-lines skips such lines and counts them\n";
            err << "trackora-import: nothing written; \"" << echoPath(options.output) << "\" is unchanged\n";
            return 1;
        }
        bar.finish();
        for (const auto& [path, reason] : loader.report.unreadable)
            err << "trackora-import: warning: skipped \"" << echoPath(path) << "\": " << echoText(reason, kReasonCharacters)
                << "\n";
        if (writer.tally.records == 0) {
            err << "trackora-import: \"" << echoPath(options.input) << "\" holds no fixes inside the box "
                << frameDescription(loader.frame) << " ("
                << nothingKeptReason(loader.report, tree || isRecordingFile(options.input))
                << "); nothing written\n";
            // Fixes in another city than the box: the box is what is wrong.
            if (loader.report.outside > 0 && !options.fitBox)
                err << "trackora-import: --box fit imports them into a box fitted to where they lie\n";
            return 1;
        }
        writer.flush();
        // Samples and frame file together or not at all: both written to
        // the disk first, then the frame's rename, then the samples'.
        output.prepare();
        FrameCommit frameCommit(options.output, loader.frame, clock, frameOutput);
        if (writer.datedRecords > 0 && !daysOutput)
            err << "trackora-import: warning: the name \"" << echoPath(options.output)
                << "\" has no room for \".days\": the fixes' dates are not kept\n";
        DaysCommit daysCommit(options.output, daysOutput ? &*daysOutput : nullptr, writer.datedRecords > 0);
        frameCommit.stage();
        daysCommit.stage();
        try {
            frameCommit.commit();
            daysCommit.commit();
            output.commit();
        } catch (const std::exception&) {
            daysCommit.rollBack(err);
            frameCommit.rollBack(err);
            throw;
        }
        printSummary(out, options, loader, tree || isRecordingFile(options.input), writer.tally,
                     DatedRange{writer.datedRecords, writer.firstDay, writer.lastDay}, bar.seconds());
    } catch (const std::exception& e) {
        err << "trackora-import: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
