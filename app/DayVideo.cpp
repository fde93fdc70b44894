#include "app/DayVideo.h"

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

#include <stb_image.h>
#include <stb_image_write.h>

#include "app/DayPlayback.h"
#include "app/GridExport.h"
#include "engine/HeatmapEngine.h"
#include "model/LoadError.h"

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
            throw std::invalid_argument("\"" + echoPath(path) + "\": a numbered sequence is written as PNG files, "
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
        throw std::invalid_argument("\"" + echoPath(path) + "\": cannot write a video of this kind; name it .mp4, "
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

std::string checkDayVideo(const std::string& path, VideoFormat& format, std::string& ffmpeg) {
    try {
        format = videoFormat(path);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ignored;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ignored))
        return "cannot write \"" + echoPath(path) + "\": the folder \"" + echoPath(folder.string()) +
               "\" does not exist";
    if (!format.pngSequence) {
        ffmpeg = findProgram("ffmpeg");
        if (ffmpeg.empty()) {
            // Built in steps: GCC 12 warns falsely (-Wrestrict) on one long sum.
            std::string reason(1, '"');
            reason += echoPath(path);
            reason += "\": videos are made by the ffmpeg command, which is not installed (on Debian: apt-get install "
                      "ffmpeg); a name holding %04d writes numbered PNG files without it";
            return reason;
        }
    }
    return {};
}

RgbPicture dayVideoGround(const GeoFrame& frame, const std::string& mapPath) {
    RgbPicture map;
    if (!(frame == GeoFrame{})) return map;
    int width = 0, height = 0, channels = 0;
    // Top row first, whatever the viewer's texture loaders asked of stb for
    // the process (GL wants theirs bottom up): else the map lies upside down.
    stbi_set_flip_vertically_on_load_thread(0);
    unsigned char* pixels = stbi_load(mapPath.c_str(), &width, &height, &channels, 3);
    if (!pixels)
        throw std::runtime_error("cannot read the map \"" + echoPath(mapPath) + "\": " + stbi_failure_reason());
    map.width = width;
    map.height = height;
    map.rgb.assign(pixels, pixels + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(pixels);
    return map;
}

ColourTable readColourTable(const std::string& path) {
    int width = 0, height = 0, channels = 0;
    // As the map above: a flipped table would colour the densest cells as empty ones.
    stbi_set_flip_vertically_on_load_thread(0);
    unsigned char* lut = stbi_load(path.c_str(), &width, &height, &channels, 3);
    if (!lut)
        throw std::runtime_error("cannot read colour table \"" + echoPath(path) + "\": " + stbi_failure_reason());
    ColourTable table;
    table.width = width;
    table.height = height;
    table.rgb.assign(lut, lut + static_cast<std::size_t>(width) * height * 3);
    stbi_image_free(lut);
    return table;
}

namespace {

std::vector<unsigned char> encodePng(const RgbPicture& picture) {
    std::vector<unsigned char> png;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<unsigned char*>(data);
        auto* out = static_cast<std::vector<unsigned char>*>(context);
        out->insert(out->end(), bytes, bytes + size);
    };
    if (!stbi_write_png_to_func(append, &png, picture.width, picture.height, 3, picture.rgb.data(), picture.width * 3))
        png.clear();
    return png;
}

}  // namespace

DayVideoWriter::DayVideoWriter(DayVideoRequest request, const RgbPicture& map, const ColourTable& table,
                               const TextFace& face)
    : request_(std::move(request)), table_(table), face_(face) {
    const std::string problem = checkDayVideo(request_.path, format_, ffmpegProgram_);
    if (!problem.empty()) throw std::runtime_error(problem);
    const std::int32_t step = request_.stepSeconds;
    if (step <= 0 || 86400 % step != 0) throw std::runtime_error("the step does not divide the day");
    steps_ = 86400 / step;
    PictureShape shape = pictureShape(request_.frame, request_.longSide);
    if (format_.evenSize) {
        shape.width = std::max(2, shape.width & ~1);
        shape.height = std::max(2, shape.height & ~1);
    }
    width_ = shape.width;
    height_ = shape.height;
    // The ground: the shipped map for its own box, the plain ground with its
    // graticule and scale bar for any other frame.
    shippedMap_ = map.width > 0;
    ground_ = groundPicture(width_, height_, map);
    if (!shippedMap_) drawGuides(ground_, face_, request_.frame);
    lock_.locked = true;
    if (!format_.pngSequence) {
        video_.emplace(request_.path);
        ffmpeg_ = std::make_unique<FfmpegPipe>(
            ffmpegProgram_, ffmpegArguments(format_, width_, height_, request_.fps, video_->temporaryPath()));
    }
}

DayVideoWriter::~DayVideoWriter() { cancel(); }

void DayVideoWriter::cancel() {
    ffmpeg_.reset();
    video_.reset();
    pictures_.clear();
    finished_ = true;
}

ControlSettings DayVideoWriter::stepSettings(int k) const {
    // Each step's window from its first second to the one before the next's.
    ControlSettings slice = request_.settings;
    slice.min_time = k * request_.stepSeconds;
    slice.max_time = (k + 1) * request_.stepSeconds - 1;
    slice.time_changed = true;
    return slice;
}

bool DayVideoWriter::fail(const std::string& reason) {
    failure_ = "cannot write \"" + echoPath(request_.path) + "\": " + reason;
    cancel();
    return false;
}

void DayVideoWriter::frame(int k) {
    ControlSettings slice = stepSettings(k);
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(slice);
    const double frameMax = HeatmapEngine::lastMaximumDensity();
    const bool logScale = HeatmapEngine::lastUsedLogScale();
    std::vector<float> levels;
    analysis::scaleLevels(grid, analysis::lockedLevelFactor(frameMax, logScale, lock_), levels);
    RgbPicture picture = ground_;
    layHeat(picture, levels, table_);
    const analysis::Legend legend = analysis::legendFor(frameMax, logScale, densestRow_, lock_, request_.frame,
                                                            request_.days);
    drawLegend(picture, face_, legend, table_, static_cast<float>(width_) - legendWidth(face_, legend) - 10.0f,
               10.0f);
    std::string from = analysis::formatClock(k * request_.stepSeconds);
    std::string to = analysis::formatClock((k + 1) * request_.stepSeconds);
    if (request_.stepSeconds % 60 == 0) from.resize(5), to.resize(5);
    drawClock(picture, face_, from + "\xE2\x80\x93" + to);
    if (shippedMap_) drawAttribution(picture, face_, kMapAttribution);
    if (ffmpeg_) {
        if (!ffmpeg_->write(picture.rgb.data(), picture.rgb.size())) throw std::runtime_error(ffmpeg_->finish());
    } else {
        const std::vector<unsigned char> png = encodePng(picture);
        if (png.empty()) throw std::runtime_error("PNG encoding failed");
        pictures_.push_back(std::make_unique<OutputFile>(sequenceFramePath(request_.path, k + 1)));
        pictures_.back()->write(png.data(), png.size());
        pictures_.back()->prepare();
    }
}

bool DayVideoWriter::advance() {
    if (finished_) return false;
    try {
        if (done_ < steps_) {
            // The first pass: the day's densest step, whose maximum the
            // colours are locked to and whose densest row the legend reads.
            ControlSettings slice = stepSettings(done_);
            const std::vector<float> grid = HeatmapEngine::computeHeatmap(slice);
            if (HeatmapEngine::lastMaximumDensity() > lock_.maxDensity) {
                lock_.maxDensity = HeatmapEngine::lastMaximumDensity();
                densestRow_ = analysis::densestRow(grid);
            }
        } else {
            frame(done_ - steps_);
        }
        ++done_;
        if (done_ < total()) return true;
        if (ffmpeg_) {
            const std::string reason = ffmpeg_->finish();
            ffmpeg_.reset();
            if (!reason.empty()) return fail(reason);
            video_->commit();
        }
        for (auto& picture : pictures_) picture->commit();
        pictures_.clear();
        video_.reset();
        finished_ = true;
        return false;
    } catch (const OutputError& error) {
        failure_ = error.what();
        cancel();
        return false;
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}
