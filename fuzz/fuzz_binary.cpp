// Binary sample files: any bytes load as size / 16 records exactly as
// stored, and an explicit limit gives exactly that many records.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model/TrajectoryLoader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/trackora-fuzz-binary-" + std::to_string(::getpid()) + ".bin";
    }();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size) std::fwrite(data, 1, size, file);
    std::fclose(file);

    const auto whole = TrajectoryLoader::loadBinary(path, -1);
    if (whole.size() != size / 16) std::abort();
    if (!whole.empty() && std::memcmp(whole.data(), data, whole.size() * 16) != 0) std::abort();

    const std::int32_t limit = size ? data[0] % 8 : 0;
    const auto limited = TrajectoryLoader::loadBinary(path, limit);
    if (limited.size() != static_cast<std::size_t>(limit)) std::abort();
    for (std::size_t i = 0; i < limited.size(); ++i) {
        const Datapoint expected = i < whole.size() ? whole[i] : Datapoint();
        if (std::memcmp(&limited[i], &expected, sizeof expected) != 0) std::abort();
    }
    return 0;
}
