#include "model/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <vector>

#include "model/LoadError.h"

namespace fs = std::filesystem;

namespace {

// The temporary files being written, removed by the signal handler when the
// process is interrupted, with the directories made for them. Only
// async-signal-safe calls touch them there. The tools hold at most a few
// outputs open at once; more slots than that are spare.
constexpr int kSlots = 16;
constexpr std::size_t kPathBytes = 4096;
char pendingPaths[kSlots][kPathBytes];
volatile std::sig_atomic_t pending[kSlots] = {};
volatile std::sig_atomic_t pendingMadeLevels[kSlots] = {};

// Removes the directories made for a temporary file, deepest first, by
// cutting `path` back one component at a time; rmdir leaves any that are
// not empty.
void removeMadeDirectories(char* path, int levels) {
    for (int level = 0; level < levels; ++level) {
        char* slash = std::strrchr(path, '/');
        if (!slash || slash == path) return;
        *slash = '\0';
        if (::rmdir(path) != 0) return;
    }
}

extern "C" void removePendingAndDie(int signal) {
    // Every file first: a directory made for one output may hold another's.
    for (int i = 0; i < kSlots; ++i)
        if (pending[i]) ::unlink(pendingPaths[i]);
    for (int i = 0; i < kSlots; ++i)
        if (pending[i]) removeMadeDirectories(pendingPaths[i], pendingMadeLevels[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// When this run began: temporary files older than that, which no live
// writer holds, were left by a crash.
const timespec kRunStart = [] {
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}();

bool olderThanRun(const struct stat& status) {
    return status.st_mtim.tv_sec < kRunStart.tv_sec ||
           (status.st_mtim.tv_sec == kRunStart.tv_sec && status.st_mtim.tv_nsec < kRunStart.tv_nsec);
}

// Removes the temporary files of `targetName` in `directory` that a crashed
// run left: older than this run and locked by no one (every writer holds an
// exclusive lock on its temporary file until it is renamed or removed).
void removeStaleTemporaryFiles(const std::string& directory, const std::string& targetName) {
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing))
        if (isTemporaryFileName(entry->d_name, targetName)) stale.emplace_back(entry->d_name);
    ::closedir(listing);
    for (const std::string& name : stale) {
        const std::string path = directory + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && olderThanRun(status) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
}

// Longest file name most file systems take (NAME_MAX).
constexpr std::size_t kNameMax = 255;
constexpr std::string_view kTag = ".tmp-";
constexpr std::size_t kRandom = 6;  // mkstemp's XXXXXX

// ".NAME.tmp-", NAME cut so that the temporary name fits kNameMax.
std::string temporaryStem(std::string_view targetName) {
    const std::size_t room = kNameMax - 1 - kTag.size() - kRandom;
    std::string stem(1, '.');
    stem.append(targetName.substr(0, room)).append(kTag);
    return stem;
}

// Follows symbolic links from `path` to the file they end at (which need not
// exist yet), as the kernel would; each relative link is taken from the
// directory that holds it.
fs::path followLinks(const std::string& target) {
    fs::path path(target);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
        const fs::path link = fs::read_symlink(path, error);
        if (error) throw OutputError(target, error.message());
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    throw OutputError(target, std::strerror(ELOOP));
}

}  // namespace

bool isTemporaryFileName(std::string_view name, std::string_view targetName) {
    const std::string stem = temporaryStem(targetName);
    return name.size() == stem.size() + kRandom && name.substr(0, stem.size()) == stem;
}

void removeTemporaryFilesOnSignals() {
    // Every signal whose default is to end the process and that can be caught.
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                       SIGPROF})
        std::signal(signal, removePendingAndDie);
    std::signal(SIGXFSZ, SIG_IGN);  // write() then fails with EFBIG, which is reported
}

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
    if (target_.empty()) throw OutputError(target_, std::strerror(ENOENT));
    const fs::path replaced = followLinks(target_);
    replaced_ = replaced.string();

    // Never replace a device, FIFO, socket or directory with a regular file.
    struct stat existing {};
    const bool exists = ::stat(replaced_.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        throw OutputError(target_, notRegularFileReason(existing.st_mode));

    fs::path parent = replaced.parent_path();
    if (parent.empty()) parent = ".";
    makeDirectories(parent);

    std::string pattern = (parent / (temporaryStem(replaced.filename().string()) + "XXXXXX")).string();
    if (pattern.size() >= kPathBytes) fail(std::strerror(ENAMETOOLONG));
    removeStaleTemporaryFiles(parent.string(), replaced.filename().string());
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) fail(std::strerror(errno));
    temporary_ = pattern;
    // Held until the rename: tells a later run this file is no crash's leftover.
    ::flock(fd_, LOCK_EX);
    for (int i = 0; i < kSlots; ++i) {
        if (pending[i]) continue;
        std::memcpy(pendingPaths[i], temporary_.c_str(), temporary_.size() + 1);
        pendingMadeLevels[i] = static_cast<std::sig_atomic_t>(made_.size());
        pending[i] = 1;
        slot_ = i;
        break;
    }
    // mkstemp makes the file private; the new file keeps the permissions of
    // the one it replaces, or gets the usual ones.
    mode_t mode = 0;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd_, mode);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) {
        if (slot_ >= 0) pending[slot_] = 0;
        if (!temporary_.empty()) ::unlink(temporary_.c_str());
        removeDirectories();
    }
}

void OutputFile::makeDirectories(const fs::path& parent) {
    // The missing directories, from the deepest up to the first that exists.
    std::vector<fs::path> missing;
    for (fs::path at = parent; !at.empty(); at = at.parent_path()) {
        struct stat status {};
        if (::stat(at.c_str(), &status) == 0) break;
        if (errno != ENOENT) throw OutputError(target_, std::strerror(errno));
        missing.push_back(at);
        if (at == at.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0777) == 0)
            made_.push_back(it->string());
        else if (errno != EEXIST)
            fail(std::strerror(errno));
    }
}

void OutputFile::removeDirectories() {
    // Only what this output made, deepest first, and only while empty.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
        if (::rmdir(it->c_str()) != 0) break;
    made_.clear();
}

void OutputFile::fail(const std::string& reason) {
    removeDirectories();
    throw OutputError(target_, reason);
}

void OutputFile::refuseSameFile(const std::string& input) const {
    struct stat in {};
    struct stat out {};
    if (::stat(input.c_str(), &in) != 0 || ::stat(replaced_.c_str(), &out) != 0) return;
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
        throw OutputError(target_, "it is the input \"" + input + "\", which it would destroy");
}

void OutputFile::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw OutputError(target_, std::strerror(errno));
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

void OutputFile::prepare() {
    if (fd_ < 0) return;  // prepared already
    if (::fsync(fd_) != 0) throw OutputError(target_, std::strerror(errno));
    // A library that wrote by path may have made a new file there: sync that one too.
    struct stat ours {};
    struct stat there {};
    if (::fstat(fd_, &ours) == 0 && ::stat(temporary_.c_str(), &there) == 0 &&
        (ours.st_dev != there.st_dev || ours.st_ino != there.st_ino)) {
        const int written = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
        const bool synced = written >= 0 && ::fsync(written) == 0;
        const int error = errno;
        if (written >= 0) ::close(written);
        if (!synced) throw OutputError(target_, std::strerror(error));
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw OutputError(target_, std::strerror(errno));
}

void OutputFile::commit() {
    prepare();
    if (::rename(temporary_.c_str(), replaced_.c_str()) != 0) throw OutputError(target_, std::strerror(errno));
    committed_ = true;
    made_.clear();  // they hold the output now
    if (slot_ >= 0) pending[slot_] = 0;
    // The rename itself reaches the disk with its directory.
    fs::path parent = fs::path(replaced_).parent_path();
    if (parent.empty()) parent = ".";
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}
