// The directory branch of the loader: walks a tree of raw recordings in name
// order, decides which label intervals are in force for each trajectory
// file, and parses the files on all cores while keeping the walk's order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

#include "model/DirectoryWalk.h"
#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "model/RawFormats.h"
#include "model/TrajectoryLoader.h"

namespace fs = std::filesystem;

namespace {

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

// One trajectory file to parse, with the labels in force where the walk met it.
struct FileTask {
    fs::path path;
    std::shared_ptr<const LabelIndex> labels;
    std::int64_t bytes = 0;
    std::vector<Datapoint> points;
    TrajectoryCounts counts;
    bool track = false;  // a GPS track file, read through GDAL
    TrackCounts trackCounts;
    BadLines badLines;
    bool unreadable = false;
    std::string reason;
    std::exception_ptr error;
};

class Walk {
public:
    Walk(TrajectoryLoader& loader, bool normalize)
        : loader_(loader), normalize_(normalize), frame_(loader.frameBounds()),
          noLabels_(std::make_shared<const LabelIndex>()), inForce_(noLabels_) {
        // Directories are told by device and inode, whatever path leads there.
        for (const auto& path : loader.leaveOut) {
            fs::path parent = fs::path(path).parent_path();
            if (parent.empty()) parent = ".";
            struct stat status {};
            if (::stat(parent.c_str(), &status) == 0)
                leaveOut_.push_back({status.st_dev, status.st_ino, fs::path(path).filename().string()});
        }
    }

    // Walks the tree under `top`; returns the number of fixes it produced
    // when `limit` is not -1, else 0.
    std::int64_t walkTree(const std::string& top, std::int32_t limit) {
        current_ = top;
        // "raw/" and "raw" name the same tree; keep the paths in messages tidy.
        while (current_.size() > 1 && current_.back() == '/') current_.pop_back();
        return walk(limit, true);
    }

    // Walks the directory `current_`. Only names are kept per level and the
    // path is one buffer extended and cut back, so memory grows with the
    // depth of the tree, not with its square.
    std::int64_t walk(std::int32_t limit, bool top) {
        std::vector<Entry> entries;
        if (!list(entries, top)) return 0;
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });

        // Label pass: a directory without a label file keeps what is in force.
        // Whatever is named "labels.txt" replaces it; one that cannot be read
        // (a directory of that name included) puts no labels in force.
        for (const auto& entry : entries) {
            if (entry.name != "labels.txt") continue;
            loader_.labels = loader_.parseLabelsFile(childPath(entry.name));
            inForce_ = std::make_shared<const LabelIndex>(loader_.labels);
        }

        const std::size_t firstTask = tasks_.size();
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
        loader_.labels.clear();
        inForce_ = noLabels_;

        if (limit == -1) return 0;
        flush();
        std::int64_t produced = 0;
        for (std::size_t i = firstTask; i < tasks_.size(); ++i)
            produced += static_cast<std::int64_t>(tasks_[i].points.size());
        return produced;
    }

    // Parses every file met so far, on all cores; throws the error of the
    // first failing file in walk order, as a one-by-one parse would.
    void flush() {
        const std::size_t begin = executed_;
        const std::size_t end = tasks_.size();
        if (begin == end) return;

        std::atomic<std::size_t> next{begin};
        std::atomic<std::size_t> firstFailure{end};
        const auto started = std::chrono::steady_clock::now();
        auto lastReport = started;
        const auto work = [&](bool reporting) {
            std::string buffer;
            std::vector<Datapoint> scratch;
            for (;;) {
                const std::size_t i = next.fetch_add(1);
                if (i >= end || i > firstFailure.load()) break;
                run(tasks_[i], buffer, scratch);
                if (tasks_[i].error) {
                    std::size_t seen = firstFailure.load();
                    while (i < seen && !firstFailure.compare_exchange_weak(seen, i)) {
                    }
                }
                if (reporting && loader_.progress) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - lastReport >= std::chrono::milliseconds(100)) {
                        lastReport = now;
                        loader_.progress(snapshot());
                    }
                }
            }
        };

        unsigned threadCount = loader_.threads ? loader_.threads : std::thread::hardware_concurrency();
        threadCount = std::max(1u, std::min<unsigned>(threadCount, static_cast<unsigned>(end - begin)));
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threadCount; ++t) helpers.emplace_back(work, false);
        work(true);
        for (auto& helper : helpers) helper.join();
        executed_ = end;

        for (std::size_t i = begin; i < end; ++i) {
            FileTask& task = tasks_[i];
            if (task.error) std::rethrow_exception(task.error);
            auto& report = loader_.report;
            if (task.unreadable) {
                report.unreadable.emplace_back(task.path.string(), task.reason);
                continue;
            }
            if (task.track) {
                addTrackCounts(report, task.trackCounts);
                continue;
            }
            ++report.trajectoryFiles;
            report.bytes += task.bytes;
            report.lines += task.counts.lines;
            report.kept += task.counts.kept;
            report.outside += task.counts.outside;
            report.badLines.merge(task.badLines);
        }
        if (loader_.progress) loader_.progress(snapshot());
    }

    void finishWalk() { walkFinished_ = true; }

    std::vector<Datapoint> collect(const std::string& path) {
        std::int64_t total = 0;
        for (const auto& task : tasks_) total += static_cast<std::int64_t>(task.points.size());
        checkSampleCount(path, total);
        std::vector<Datapoint> out;
        out.reserve(static_cast<std::size_t>(total));
        adviseHugePages(out.data(), out.capacity() * sizeof(Datapoint));
        for (auto& task : tasks_) {
            out.insert(out.end(), task.points.begin(), task.points.end());
            std::vector<Datapoint>().swap(task.points);  // keeps the peak near one copy
        }
        return out;
    }

private:
    enum class EntryKind { file, directory, linkToDirectory };
    struct Entry {
        std::string name;
        EntryKind kind;
    };

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
            loader_.report.unreadable.emplace_back(current_, error.message());
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
        FileTask task;
        task.path = path;
        task.labels = inForce_;
        task.track = isTrackFile(task.path);
        std::error_code error;
        const auto size = fs::file_size(task.path, error);
        task.bytes = error ? 0 : static_cast<std::int64_t>(size);
        bytesTotal_ += task.bytes;
        tasks_.push_back(std::move(task));
    }

    // Parses into a scratch vector that stays in memory from file to file,
    // then keeps an exact-size copy.
    void run(FileTask& task, std::string& buffer, std::vector<Datapoint>& scratch) {
        try {
            if (loader_.cancel && loader_.cancel->load()) throw LoadCancelled(task.path.string());
            if (task.track && !readable(task.path.string(), task.reason)) {
                task.unreadable = true;
            } else if (task.track) {
                // GDAL opens the file itself; content it cannot read ends
                // the load with GDAL's reason, as a malformed trajectory
                // line does.
                parseTrackFile(task.path.string(), loader_.tracks, normalize_, *task.labels, frame_, task.points,
                               task.trackCounts);
                task.counts.kept = task.trackCounts.kept;
            } else if (!readFileContents(task.path.string(), buffer, task.reason)) {
                task.unreadable = true;
            } else {
                task.bytes = static_cast<std::int64_t>(buffer.size());
                scratch.clear();
                parseTrajectoryText(buffer, task.path.string(), normalize_, *task.labels, frame_,
                                    scratch, task.counts, loader_.skipBadLines ? &task.badLines : nullptr);
                // Labels were matched on the file's own clock; the offset
                // moves only the stored time of day.
                if (const std::int32_t offset = loader_.tracks.utcOffsetSeconds)
                    for (auto& point : scratch) point.time = shiftTimeOfDay(point.time, offset);
                task.points.assign(scratch.begin(), scratch.end());
            }
        } catch (...) {
            task.error = std::current_exception();
        }
        filesDone_.fetch_add(1);
        bytesDone_.fetch_add(task.bytes);
        fixes_.fetch_add(task.counts.kept);
    }

    ImportProgress snapshot() const {
        ImportProgress progress;
        progress.filesDone = filesDone_.load();
        progress.filesTotal = static_cast<std::int64_t>(tasks_.size());
        progress.bytesDone = bytesDone_.load();
        progress.bytesTotal = std::max(bytesTotal_, progress.bytesDone);
        progress.fixes = fixes_.load();
        progress.walkFinished = walkFinished_;
        return progress;
    }

    TrajectoryLoader& loader_;
    const bool normalize_;
    const FrameBounds frame_;
    const std::shared_ptr<const LabelIndex> noLabels_;
    std::shared_ptr<const LabelIndex> inForce_;
    std::string current_;  // the directory being walked
    struct LeftOut {
        dev_t device;
        ino_t inode;
        std::string name;
    };
    std::vector<LeftOut> leaveOut_;
    std::deque<FileTask> tasks_;  // stable addresses while workers run
    std::size_t executed_ = 0;
    std::int64_t bytesTotal_ = 0;
    bool walkFinished_ = false;
    std::atomic<std::int64_t> filesDone_{0};
    std::atomic<std::int64_t> bytesDone_{0};
    std::atomic<std::int64_t> fixes_{0};
};

}  // namespace

std::vector<Datapoint> walkDirectory(TrajectoryLoader& loader, const std::string& path, std::int32_t limit,
                                     bool normalize) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    loader.report = ImportReport();
    Walk walk(loader, normalize);
    try {
        walk.walkTree(path, limit);
    } catch (...) {
        // Files met before the failure come first, as in a one-by-one walk:
        // their own error, if any, is the one to report.
        const auto walkError = std::current_exception();
        loader.labels.clear();
        walk.flush();
        std::rethrow_exception(walkError);
    }
    walk.finishWalk();
    walk.flush();
    return walk.collect(path);
}
