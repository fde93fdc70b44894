#include "model/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The temporary file being written, removed by the signal handler when the
// process is interrupted. Only async-signal-safe calls touch it there.
char pendingPath[4096];
volatile std::sig_atomic_t havePending = 0;

extern "C" void removePendingAndDie(int signal) {
    if (havePending) ::unlink(pendingPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void removeTemporaryFilesOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, removePendingAndDie);
}

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
    fs::path parent = fs::path(target_).parent_path();
    if (parent.empty()) parent = ".";
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) throw OutputError(target_, error.message());
    if (fs::is_directory(target_, error)) throw OutputError(target_, std::strerror(EISDIR));

    std::string name(1, '.');
    name.append(fs::path(target_).filename().string()).append(".tmp-XXXXXX");
    std::string pattern = (parent / name).string();
    if (pattern.size() >= sizeof pendingPath) throw OutputError(target_, "path too long");
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) throw OutputError(target_, std::strerror(errno));
    temporary_ = pattern;
    std::memcpy(pendingPath, temporary_.c_str(), temporary_.size() + 1);
    havePending = 1;
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) {
        havePending = 0;
        ::unlink(temporary_.c_str());
    }
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

void OutputFile::commit() {
    if (::fsync(fd_) != 0) throw OutputError(target_, std::strerror(errno));
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw OutputError(target_, std::strerror(errno));
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) throw OutputError(target_, std::strerror(errno));
    committed_ = true;
    havePending = 0;
}
