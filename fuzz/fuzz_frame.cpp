// Frame files: any bytes either give a frame that can be used, with the
// clock the file names, or a DataFileError naming the frame file; never a
// crash, and never a frame frameProblem refuses. Bytes past the read limit
// are refused whatever they hold.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "model/GeoFrame.h"
#include "model/LoadError.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string samples = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/trackora-fuzz-frame-" + std::to_string(::getpid()) + ".bin";
    }();
    const std::string path = frameFilePath(samples);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);

    try {
        const GeoFrame frame = readFrameFile(samples);
        if (!frameProblem(frame).empty()) std::abort();
        if (size > kFrameFileLimit) std::abort();
        const std::string clock = readFrameClock(samples);
        if (clock.find('\n') != std::string::npos) std::abort();
    } catch (const DataFileError& error) {
        if (error.path() != path || error.reason().empty()) std::abort();
    }
    return 0;
}
