// The directory branch of the loader: walks a tree of raw recordings in name
// order, decides which label intervals are in force for each trajectory
// file, parses the files on all cores and hands their fixes on in the walk's
// order, a bounded window of files ahead of the one handed on next.
#include "model/DirectoryWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "model/SampleDays.h"

namespace fs = std::filesystem;

namespace {

constexpr auto kReportEvery = std::chrono::milliseconds(100);

// False with the reason when the file cannot be opened for reading or is
// not a regular file (a pipe would block GDAL): such a file is skipped and
// listed, as a trajectory file would be.
bool readable(const std::string& path, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        reason = systemReason(errno);
        return false;
    }
    struct stat status {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    ::close(fd);
    if (!regular) reason = "not a regular file";
    return regular;
}

// One trajectory or track file to parse, with the labels in force where the
// walk met it. The walking thread fills the first part; the thread that
// parses it fills the results and then sets `done` under the window's lock.
struct FileTask {
    std::string path;
    std::shared_ptr<const LabelIndex> labels;
    std::uint64_t place = 0;        // its place in the walk
    std::int64_t sizeBytes = 0;     // its size when met, counted against the window
    bool track = false;             // a GPS track file, read through GDAL
    bool done = false;

    std::int64_t bytes = 0;         // bytes read
    std::vector<Datapoint> points;
    std::vector<std::int32_t> days;  // one per point
    TrajectoryCounts counts;
    TrackCounts trackCounts;
    BadLines badLines;
    bool unreadable = false;
    std::string reason;
    std::exception_ptr error;
};

// What a file adds to the report besides sums, kept back until the point
// where a walk that parsed everything at once would have added it, so the
// report lists things in the same order however the files were scheduled:
// each listing's and label file's entries as the walk meets them, the
// parsed files' after.
struct Deferred {
    std::vector<std::pair<std::string, std::string>> unreadable;
    BadLines badLines;
};

class Walk {
public:
    Walk(const WalkOptions& options, ImportReport& report, const DatedFixSink& sink)
        : options_(options), report_(report), sink_(sink),
          noLabels_(std::make_shared<const LabelIndex>()), inForce_(noLabels_),
          lastReport_(std::chrono::steady_clock::now()) {
        // Directories are told by device and inode, whatever path leads there.
        for (const auto& path : options.leaveOut) {
            fs::path parent = fs::path(path).parent_path();
            if (parent.empty()) parent = ".";
            struct stat status {};
            if (::stat(parent.c_str(), &status) == 0)
                leaveOut_.push_back({status.st_dev, status.st_ino, fs::path(path).filename().string()});
        }
        threads_ = options.threads ? options.threads : std::thread::hardware_concurrency();
        threads_ = std::max(1u, threads_);
        maxFiles_ = options.maxFilesInFlight ? options.maxFilesInFlight : 4 * std::size_t{threads_};
        maxFiles_ = std::max<std::size_t>(1, maxFiles_);
    }

    ~Walk() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        taskReady_.notify_all();
        for (auto& worker : workers_) worker.join();
    }

    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Lists the tree once, counting its files and bytes, so that progress
    // has its final totals while the files are parsed.
    void survey(const std::string& top) {
        surveying_ = true;
        walkTree(top, -1);
        surveying_ = false;
        surveyed_ = true;
    }

    void walkTree(const std::string& top, std::int32_t limit) {
        top_ = top;
        current_ = top;
        // "raw/" and "raw" name the same tree; keep the paths in messages tidy.
        while (current_.size() > 1 && current_.back() == '/') current_.pop_back();
        walk(limit, true);
    }

    // Hands on every file still in flight, then merges what was kept back.
    void settle() {
        while (!window_.empty()) handOnFront();
        for (auto& entry : deferred_.unreadable) report_.unreadable.push_back(std::move(entry));
        deferred_.unreadable.clear();
        report_.badLines.merge(deferred_.badLines);
        deferred_.badLines = BadLines();
        reportProgress(true);
    }

    void finishWalk() { walkFinished_ = true; }

private:
    enum class EntryKind { file, directory, linkToDirectory };
    struct Entry {
        std::string name;
        EntryKind kind;
    };
    // The fixes the files of one directory walked under a limit gave.
    struct Level {
        std::uint64_t firstPlace;
        std::int64_t fixes;
    };

    // Walks the directory `current_`; returns the number of fixes its files
    // and subdirectories gave when `limit` is not -1, else 0. Only names are
    // kept per level and the path is one buffer extended and cut back, so
    // memory grows with the depth of the tree, not with its size.
    std::int64_t walk(std::int32_t limit, bool top) {
        if (options_.cancel && options_.cancel->load()) failAfterEarlierFiles(std::make_exception_ptr(LoadCancelled(current_)));
        std::vector<Entry> entries;
        if (!list(entries, top)) return 0;
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });

        // Label pass: a directory without a label file keeps what is in force.
        // Whatever is named "labels.txt" replaces it; one that cannot be read
        // (a directory of that name included) puts no labels in force.
        for (const auto& entry : entries) {
            if (surveying_ || entry.name != "labels.txt") continue;
            try {
                inForce_ = std::make_shared<const LabelIndex>(
                    readLabelsFile(childPath(entry.name), options_.modeNames, report_,
                                   options_.skipBadLines ? &report_.badLines : nullptr));
            } catch (...) {
                failAfterEarlierFiles(std::current_exception());
            }
        }

        if (limit != -1) levels_.push_back({nextPlace_, 0});
        std::int64_t gathered = 0;
        for (const auto& entry : entries) {
            if (entry.kind == EntryKind::linkToDirectory) continue;
            if (entry.kind == EntryKind::directory) {
                const std::int32_t subLimit =
                    limit == -1 ? -1 : static_cast<std::int32_t>(limit - gathered);
                const std::size_t mark = current_.size();
                current_ = childPath(entry.name);
                gathered += walk(subLimit, false);
                current_.resize(mark);
                if (limit != -1 && gathered >= limit) break;
                continue;
            }
            const auto extension = fs::path(entry.name).extension();
            if (extension == ".txt" || extension == ".pdf") continue;
            addFile(childPath(entry.name));
        }

        // Labels reach only as far as the first subdirectory's walk.
        inForce_ = noLabels_;

        if (limit == -1) return 0;
        settle();
        const std::int64_t produced = levels_.back().fixes;
        levels_.pop_back();
        return produced;
    }

    std::string childPath(const std::string& name) const {
        return current_ == "/" ? "/" + name : current_ + "/" + name;
    }

    // The entries of `current_`, less those left out. A subdirectory that
    // cannot be listed is recorded and skipped like an unreadable file; the
    // top of the tree throws.
    bool list(std::vector<Entry>& entries, bool top) {
        std::error_code error;
        const fs::path dir(current_);
        fs::directory_iterator it(dir, error);
        for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
            std::error_code typeError;
            EntryKind kind = EntryKind::file;
            if (it->is_symlink(typeError)) {
                // A link to a directory is never followed, so a link back up
                // the tree cannot make the walk endless.
                if (fs::is_directory(it->path(), typeError)) kind = EntryKind::linkToDirectory;
            } else if (it->is_directory(typeError)) {
                kind = EntryKind::directory;
            }
            entries.push_back({it->path().filename().string(), kind});
        }
        if (error) {
            if (top) throw fs::filesystem_error("cannot list directory", dir, error);
            if (!surveying_) report_.unreadable.emplace_back(current_, error.message());
            entries.clear();
            return false;
        }
        struct stat here {};
        if (!leaveOut_.empty() && ::stat(current_.c_str(), &here) == 0) {
            for (const auto& left : leaveOut_) {
                if (here.st_dev != left.device || here.st_ino != left.inode) continue;
                std::erase_if(entries, [&](const Entry& e) {
                    return e.kind == EntryKind::file &&
                           (e.name == left.name || isTemporaryFileName(e.name, left.name));
                });
            }
        }
        return true;
    }

    void addFile(const std::string& path) {
        std::error_code error;
        const auto size = fs::file_size(path, error);
        const std::int64_t bytes = error ? 0 : static_cast<std::int64_t>(size);
        if (surveying_) {
            ++filesTotal_;
            bytesTotal_ += bytes;
            return;
        }
        ++filesMet_;
        bytesMet_ += bytes;

        // Room in the window first: the oldest files are handed on until it
        // has some. One file per thread is always let in, so a few large
        // files still parse in parallel.
        while (!window_.empty() &&
               (window_.size() >= maxFiles_ ||
                (window_.size() >= threads_ && bytesInFlight_ + bytes > options_.maxBytesInFlight)))
            handOnFront();

        auto task = std::make_unique<FileTask>();
        task->path = path;
        task->labels = inForce_;
        task->place = nextPlace_++;
        task->sizeBytes = bytes;
        task->bytes = bytes;
        task->track = isTrackFile(fs::path(path));
        bytesInFlight_ += bytes;
        FileTask* queued = task.get();
        window_.push_back(std::move(task));
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(queued);
        }
        taskReady_.notify_one();
        // The walking thread parses too; helpers start as files arrive.
        if (workers_.size() + 1 < threads_ && workers_.size() + 1 < window_.size() + handedOn_)
            workers_.emplace_back([this] { work(); });
    }

    // A helper thread: parses files in walk order as they are queued.
    void work() {
        std::string buffer;
        std::vector<Datapoint> scratch;
        for (;;) {
            FileTask* task = nullptr;
            {
                std::unique_lock lock(mutex_);
                taskReady_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                task = queue_.front();
                queue_.pop_front();
            }
            execute(*task, buffer, scratch);
        }
    }

    void execute(FileTask& task, std::string& buffer, std::vector<Datapoint>& scratch) {
        // Files after one that failed will never be handed on.
        if (task.place <= firstFailure_.load()) {
            run(task, buffer, scratch);
            if (task.error) {
                std::uint64_t seen = firstFailure_.load();
                while (task.place < seen && !firstFailure_.compare_exchange_weak(seen, task.place)) {
                }
            }
        }
        {
            const std::lock_guard lock(mutex_);
            task.done = true;
        }
        taskDone_.notify_all();
    }

    // Waits until `task` is parsed, parsing queued files meanwhile and
    // reporting progress.
    void waitFor(const FileTask& task) {
        for (;;) {
            FileTask* help = nullptr;
            {
                std::unique_lock lock(mutex_);
                if (task.done) return;
                if (!queue_.empty()) {
                    help = queue_.front();
                    queue_.pop_front();
                } else {
                    taskDone_.wait_for(lock, kReportEvery, [&] { return task.done; });
                }
            }
            if (help) execute(*help, buffer_, scratch_);
            reportProgress(false);
        }
    }

    // Hands the oldest file in flight on: its error ends the walk, its
    // counts go to the report, its fixes to the sink.
    void handOnFront() {
        waitFor(*window_.front());
        const std::unique_ptr<FileTask> owned = std::move(window_.front());
        window_.pop_front();
        FileTask& task = *owned;
        bytesInFlight_ -= task.sizeBytes;
        ++handedOn_;
        if (task.error) std::rethrow_exception(task.error);
        if (task.unreadable) {
            deferred_.unreadable.emplace_back(task.path, task.reason);
        } else if (task.track) {
            addTrackCounts(report_, task.trackCounts);
        } else {
            ++report_.trajectoryFiles;
            report_.bytes += task.bytes;
            report_.lines += task.counts.lines;
            report_.kept += task.counts.kept;
            report_.outside += task.counts.outside;
            report_.collapsed += task.counts.collapsed;
            deferred_.badLines.merge(task.badLines);
        }
        const auto count = static_cast<std::int64_t>(task.points.size());
        if (count > 0) {
            // Refused before these fixes reach the sink, so a sink that
            // collects them never holds more than a sample set may.
            checkSampleCount(top_, handed_ + count, true, options_.maxFixes);
            handed_ += count;
            for (auto& level : levels_)
                if (task.place >= level.firstPlace) level.fixes += count;
            sink_(task.points, task.days);
        }
        reportProgress(false);
    }

    // A failure of the walk itself (a label file, a cancel): the files met
    // before it come first, as in a one-by-one walk, so their own error, if
    // any, is the one to report.
    [[noreturn]] void failAfterEarlierFiles(std::exception_ptr walkError) {
        while (!window_.empty()) {
            waitFor(*window_.front());
            if (window_.front()->error) std::rethrow_exception(window_.front()->error);
            window_.pop_front();
        }
        std::rethrow_exception(walkError);
    }

    // Parses into a scratch vector that stays in memory from file to file,
    // then keeps an exact-size copy.
    void run(FileTask& task, std::string& buffer, std::vector<Datapoint>& scratch) {
        try {
            if (options_.cancel && options_.cancel->load()) throw LoadCancelled(task.path);
            if (task.track && !readable(task.path, task.reason)) {
                task.unreadable = true;
            } else if (task.track) {
                // GDAL opens the file itself; a bad point in a file it reads
                // ends the load, as a malformed trajectory line does.
                try {
                    parseTrackFile(task.path, options_.tracks, options_.normalize, *task.labels, options_.frame,
                                   task.points, task.trackCounts, &task.days);
                    task.counts.kept = task.trackCounts.kept;
                } catch (const UnreadableFileError& error) {
                    // Not a track file after all (a meta.json, a summary
                    // table): skipped and named like a file that cannot be
                    // opened, with whatever it gave before it failed.
                    task.unreadable = true;
                    task.reason = error.reason();
                    task.points.clear();
                    task.days.clear();
                    task.trackCounts = TrackCounts{};
                }
            } else if (!readFileContents(task.path, buffer, task.reason)) {
                task.unreadable = true;
            } else {
                task.bytes = static_cast<std::int64_t>(buffer.size());
                scratch.clear();
                parseTrajectoryText(buffer, task.path, options_.normalize, *task.labels, options_.frame, scratch,
                                    task.counts, options_.skipBadLines ? &task.badLines : nullptr,
                                    options_.tracks.zone.get(), &task.days);
                // Labels were matched on the file's own clock; the offset
                // moves only the stored time of day and its date.
                if (const std::int32_t offset = options_.tracks.zone ? 0 : options_.tracks.utcOffsetSeconds)
                    for (std::size_t i = 0; i < scratch.size(); ++i) {
                        task.days[i] = shiftDay(task.days[i], scratch[i].time, offset);
                        scratch[i].time = shiftTimeOfDay(scratch[i].time, offset);
                    }
                if (options_.tracks.visits) task.counts.collapsed = collapseVisits(scratch, 0, &task.days);
                task.points.assign(scratch.begin(), scratch.end());
            }
        } catch (...) {
            task.error = std::current_exception();
        }
        filesDone_.fetch_add(1);
        bytesDone_.fetch_add(task.bytes);
        fixes_.fetch_add(task.counts.kept);
    }

    void reportProgress(bool now) {
        if (!options_.progress) return;
        const auto time = std::chrono::steady_clock::now();
        if (!now && time - lastReport_ < kReportEvery) return;
        lastReport_ = time;
        ImportProgress progress;
        progress.filesDone = filesDone_.load();
        progress.bytesDone = bytesDone_.load();
        // A survey's totals stand unless the tree grew since.
        progress.filesTotal = surveyed_ ? std::max(filesTotal_, filesMet_) : filesMet_;
        progress.bytesTotal = std::max(surveyed_ ? std::max(bytesTotal_, bytesMet_) : bytesMet_, progress.bytesDone);
        progress.fixes = fixes_.load();
        progress.walkFinished = surveyed_ || walkFinished_;
        options_.progress(progress);
    }

    const WalkOptions& options_;
    ImportReport& report_;
    const DatedFixSink& sink_;
    const std::shared_ptr<const LabelIndex> noLabels_;
    std::shared_ptr<const LabelIndex> inForce_;
    std::chrono::steady_clock::time_point lastReport_;
    std::string top_;
    std::string current_;  // the directory being walked
    struct LeftOut {
        dev_t device;
        ino_t inode;
        std::string name;
    };
    std::vector<LeftOut> leaveOut_;
    bool surveying_ = false;
    unsigned threads_ = 1;
    std::size_t maxFiles_ = 1;

    // The window: files met and not yet handed on, oldest first. Only the
    // walking thread changes it; parsing threads reach its files through
    // queue_, the ones no thread has taken yet.
    std::deque<std::unique_ptr<FileTask>> window_;
    std::int64_t bytesInFlight_ = 0;
    std::uint64_t nextPlace_ = 0;
    std::int64_t handedOn_ = 0;
    std::int64_t handed_ = 0;  // fixes given to the sink
    std::vector<Level> levels_;
    Deferred deferred_;
    std::string buffer_;  // the walking thread's, for the files it parses
    std::vector<Datapoint> scratch_;

    std::mutex mutex_;
    std::condition_variable taskReady_;
    std::condition_variable taskDone_;
    std::deque<FileTask*> queue_;
    bool stopping_ = false;
    std::atomic<std::uint64_t> firstFailure_{std::numeric_limits<std::uint64_t>::max()};
    std::vector<std::thread> workers_;

    // Progress: totals from the survey, or of the files met so far.
    bool surveyed_ = false;
    bool walkFinished_ = false;
    std::int64_t filesTotal_ = 0;
    std::int64_t bytesTotal_ = 0;
    std::int64_t filesMet_ = 0;
    std::int64_t bytesMet_ = 0;
    std::atomic<std::int64_t> filesDone_{0};
    std::atomic<std::int64_t> bytesDone_{0};
    std::atomic<std::int64_t> fixes_{0};
};

}  // namespace

void walkDirectory(const std::string& path, const WalkOptions& options, ImportReport& report, const FixSink& sink) {
    walkDatedDirectory(path, options, report,
                       [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>&) { sink(fixes); });
}

void walkDatedDirectory(const std::string& path, const WalkOptions& options, ImportReport& report,
                        const DatedFixSink& sink) {
    if (options.limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(options.limit));
    Walk walk(options, report, sink);
    if (options.progress && options.limit == -1) walk.survey(path);
    walk.walkTree(path, options.limit);
    walk.finishWalk();
    walk.settle();
}

LabelIndex readLabelsFile(const std::string& path, const std::unordered_map<std::string, TransportationMode>& names,
                          ImportReport& report, BadLines* skip) {
    std::string buffer;
    std::string reason;
    if (!readFileContents(path, buffer, reason)) {
        report.unreadable.emplace_back(path, reason);
        return {};
    }
    LabelCounts counts;
    LabelIndex index = parseLabelsText(buffer, path, names, counts, skip);
    ++report.labelFiles;
    report.labelLines += counts.lines;
    report.unknownLabelNames += counts.unknownNames;
    for (const auto& [name, count] : counts.unknownNameCounts)
        if (report.unknownNameCounts.size() < 20 || report.unknownNameCounts.count(name))
            report.unknownNameCounts[name] += count;
    return index;
}
