#pragma once
// trackora-heatmap --animate: how the day's frames leave the program. A
// video goes to the ffmpeg command as raw RGB frames on its standard input;
// a name holding %04d gets a numbered PNG file per frame and needs no ffmpeg.
#include <sys/types.h>

#include <string>
#include <vector>

struct VideoFormat {
    bool pngSequence = false;
    std::string muxer;               // ffmpeg's -f, for the temporary file that has no telling extension
    std::vector<std::string> codec;  // what follows the input on ffmpeg's command line
    bool evenSize = false;           // yuv420p halves the colour planes: width and height must be even
};

// The format a video output's name asks for. Throws UsageError naming the
// file and the names that can be written.
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
