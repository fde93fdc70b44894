#pragma once
// The day as a video (trackora-heatmap --animate and the viewer's Export
// video): a frame per step of the day over the map as the viewer draws it,
// the colours locked to the densest step. A video goes to the ffmpeg
// command as raw RGB frames on its standard input; a name holding %04d gets
// a numbered PNG file per frame and needs no ffmpeg. The work is done a
// piece at a time (advance), so a window can draw between the pieces.
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "settings/ControlSettings.h"
#include "app/MapPicture.h"
#include "model/GeoFrame.h"
#include "model/OutputFile.h"

struct VideoFormat {
    bool pngSequence = false;
    std::string muxer;               // ffmpeg's -f, for the temporary file that has no telling extension
    std::vector<std::string> codec;  // what follows the input on ffmpeg's command line
    bool evenSize = false;           // yuv420p halves the colour planes: width and height must be even
};

// The format a video output's name asks for. Throws std::invalid_argument
// naming the file and the names that can be written.
VideoFormat videoFormat(const std::string& path);

// The file of frame `number` (from 1) of a sequence named like "day-%04d.png".
std::string sequenceFramePath(const std::string& pattern, int number);

// ffmpeg's arguments (without the program name) reading width x height RGB
// frames at `fps` from its standard input and writing `output`.
std::vector<std::string> ffmpegArguments(const VideoFormat& format, int width, int height, int fps,
                                         const std::string& output);

// The program's path on PATH, or empty when it is not there.
std::string findProgram(const std::string& name);

// An ffmpeg process fed frames through a pipe. Its messages go to a
// temporary file, so that a failure is reported by its own last line.
class FfmpegPipe {
public:
    // Throws std::runtime_error when the process cannot be started.
    FfmpegPipe(const std::string& program, const std::vector<std::string>& arguments);
    // Kills and reaps the process when it was not finished.
    ~FfmpegPipe();
    FfmpegPipe(const FfmpegPipe&) = delete;
    FfmpegPipe& operator=(const FfmpegPipe&) = delete;
    // False when ffmpeg no longer reads (it failed: finish() says why).
    bool write(const unsigned char* data, std::size_t size);
    // Closes its input and waits; empty when it succeeded, else its reason.
    std::string finish();

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int log_ = -1;
};

// What a day video is made of.
struct DayVideoRequest {
    ControlSettings settings;  // modes, kernel and scale; the window is each step's
    GeoFrame frame;
    std::string path;
    int fps = 8;
    std::int32_t stepSeconds = 900;  // divides the day
    int longSide = 1000;             // pixels on the picture's longer side
    std::int64_t days = 0;           // the legend per day over these days (0: not per day)
};

// Checks what can be checked before any work: the kind of file, that its
// folder exists (a mistyped one is an error, not a new folder) and, for a
// video, that ffmpeg is installed. Empty when it can go ahead, else the
// reason, naming the file; `format` and `ffmpeg` are filled in.
std::string checkDayVideo(const std::string& path, VideoFormat& format, std::string& ffmpeg);

// The shipped map's picture for its own frame, or nothing (the plain ground
// with its guides) for any other. Throws std::runtime_error when the map
// cannot be read.
RgbPicture dayVideoGround(const GeoFrame& frame, const std::string& mapPath);
// The colour table image at `path` as it is stored, density 0 in its top
// row. Throws std::runtime_error naming the file and the reason.
ColourTable readColourTable(const std::string& path);

class DayVideoWriter {
public:
    // `map` as dayVideoGround gives it; `table` and `face` must outlive the
    // writer. Runs checkDayVideo's checks and throws std::runtime_error
    // with its reason.
    DayVideoWriter(DayVideoRequest request, const RgbPicture& map, const ColourTable& table, const TextFace& face);
    ~DayVideoWriter();
    // One piece of the work through the engine: a step computed for the
    // day's maximum (the first pass), or a frame made and written (the
    // second). False once finished, committed or failed (failed() says why;
    // nothing is then left behind).
    bool advance();
    int done() const { return done_; }
    int total() const { return 2 * steps_; }
    int steps() const { return steps_; }
    const std::string& failed() const { return failure_; }
    bool finished() const { return finished_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // The day's densest cell (summed weights) the colours are locked to; 0
    // when no step holds samples.
    double dayMaximum() const { return lock_.maxDensity; }
    // Stops, leaving nothing behind.
    void cancel();

private:
    ControlSettings stepSettings(int k) const;
    bool fail(const std::string& reason);
    void frame(int k);
    DayVideoRequest request_;
    VideoFormat format_;
    std::string ffmpegProgram_;
    const ColourTable& table_;
    const TextFace& face_;
    bool shippedMap_ = false;
    RgbPicture ground_;
    int width_ = 0, height_ = 0;
    int steps_ = 0;
    int done_ = 0;
    analysis::ScaleLock lock_;
    int densestRow_ = analysis::kSide / 2;
    std::optional<OutputFile> video_;
    std::unique_ptr<FfmpegPipe> ffmpeg_;
    std::vector<std::unique_ptr<OutputFile>> pictures_;  // committed together once all are written
    std::string failure_;
    bool finished_ = false;
};
