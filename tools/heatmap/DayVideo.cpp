#include "tools/heatmap/DayVideo.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "model/LoadError.h"
#include "tools/heatmap/HeatmapOptions.h"

extern char** environ;

namespace {

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

}  // namespace

VideoFormat videoFormat(const std::string& path) {
    VideoFormat format;
    const std::string extension = lowered(std::filesystem::path(path).extension().string());
    if (path.find("%04d") != std::string::npos) {
        if (extension != ".png")
            throw UsageError("--animate: \"" + echoPath(path) + "\": a numbered sequence is written as PNG files, "
                             "named like day-%04d.png");
        format.pngSequence = true;
        return format;
    }
    if (extension == ".mp4" || extension == ".m4v" || extension == ".mov" || extension == ".mkv") {
        format.muxer = extension == ".mkv" ? "matroska" : extension == ".mov" ? "mov" : "mp4";
        format.codec = {"-c:v", "libx264", "-pix_fmt", "yuv420p"};
        format.evenSize = true;
    } else if (extension == ".webm") {
        format.muxer = "webm";
        format.codec = {"-c:v", "libvpx-vp9", "-pix_fmt", "yuv420p"};
        format.evenSize = true;
    } else if (extension == ".gif") {
        format.muxer = "gif";
        // A palette made from the frames themselves: the colour table's
        // gradient would band in the fixed web palette.
        format.codec = {"-filter_complex", "[0:v]split[a][b];[a]palettegen[p];[b][p]paletteuse"};
    } else {
        throw UsageError("--animate: \"" + echoPath(path) + "\": cannot write a video of this kind; name it .mp4, "
                         ".webm, .mkv, .mov or .gif, or day-%04d.png for numbered PNG files");
    }
    return format;
}

std::string sequenceFramePath(const std::string& pattern, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", number);
    std::string path = pattern;
    path.replace(path.find("%04d"), 4, digits);
    return path;
}

std::vector<std::string> ffmpegArguments(const VideoFormat& format, int width, int height, int fps,
                                         const std::string& output) {
    std::vector<std::string> arguments{"-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                                       "-f",           "rawvideo",  "-pix_fmt", "rgb24",   "-s",
                                       std::to_string(width) + "x" + std::to_string(height),
                                       "-r",           std::to_string(fps), "-i", "-"};
    arguments.insert(arguments.end(), format.codec.begin(), format.codec.end());
    arguments.insert(arguments.end(), {"-r", std::to_string(fps), "-f", format.muxer, output});
    return arguments;
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

FfmpegPipe::FfmpegPipe(const std::string& program, const std::vector<std::string>& arguments) {
    char logName[] = "/tmp/trackora-ffmpeg-XXXXXX";
    log_ = mkstemp(logName);
    if (log_ < 0) throw std::runtime_error(std::string("cannot start ffmpeg: ") + std::strerror(errno));
    unlink(logName);  // read back through the descriptor only
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        close(log_);
        throw std::runtime_error(std::string("cannot start ffmpeg: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, log_, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, log_, STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
    if (failed != 0) {
        close(ends[1]);
        close(log_);
        pid_ = -1;
        throw std::runtime_error("cannot start \"" + program + "\": " + std::strerror(failed));
    }
    input_ = ends[1];
}

FfmpegPipe::~FfmpegPipe() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (log_ >= 0) close(log_);
}

bool FfmpegPipe::write(const unsigned char* data, std::size_t size) {
    // A process that stopped reading must fail this write, not end ours
    // with SIGPIPE: its own message says why.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    bool ok = true;
    while (size > 0) {
        const ssize_t written = ::write(input_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    sigaction(SIGPIPE, &previous, nullptr);
    return ok;
}

std::string FfmpegPipe::finish() {
    close(input_);
    input_ = -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    // The reason: ffmpeg's last line that says something.
    std::string text;
    char buffer[4096];
    lseek(log_, 0, SEEK_SET);
    for (ssize_t n; (n = read(log_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    const std::size_t lineStart = text.find_last_of('\n');
    std::string last = lineStart == std::string::npos ? text : text.substr(lineStart + 1);
    if (last.empty())
        last = WIFSIGNALED(status) ? "ffmpeg ended by signal " + std::to_string(WTERMSIG(status))
                                   : "ffmpeg failed with exit status " + std::to_string(WEXITSTATUS(status));
    return "ffmpeg: " + echoText(last);
}
