// Text sample files: any input either loads or fails with one of the
// documented exceptions; nothing crashes or reads out of bounds.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "model/LoadError.h"
#include "model/TrajectoryLoader.h"

namespace {

std::string scratchFile() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/trackora-fuzz-text-" + std::to_string(::getpid()) + ".txt";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = scratchFile();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    TrajectoryLoader loader;
    for (const std::int32_t limit : {-1, 3}) {
        try {
            const auto points = loader.loadText(path, limit, true);
            if (limit >= 0 && points.size() > static_cast<std::size_t>(limit)) std::abort();
        } catch (const std::invalid_argument&) {
        } catch (const std::out_of_range&) {
        } catch (const DataFileError&) {
        }
    }
    return 0;
}
