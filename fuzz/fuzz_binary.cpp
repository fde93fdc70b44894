// Binary sample files: any bytes load as size / 16 records exactly as
// stored, and an explicit limit gives exactly that many records. A days
// column beside them (the input's tail, cut to a length the first byte
// picks) is taken exactly when it holds one date per record, and then read
// back as stored; any other length is refused with DataFileError.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "model/LoadError.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
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

    // The days column: 4 bytes a record, or a length one byte either side.
    const std::size_t records = size / 16;
    const int skew = size ? data[0] % 3 - 1 : 0;
    const std::size_t wanted = records * 4 + static_cast<std::size_t>(skew < 0 && records == 0 ? 0 : skew);
    std::string column(wanted, '\0');
    for (std::size_t i = 0; i < wanted; ++i) column[i] = static_cast<char>(size ? data[(i * 7 + 1) % size] : 0);
    const std::string daysPath = daysFilePath(path);
    std::FILE* days = std::fopen(daysPath.c_str(), "wb");
    if (!days) std::abort();
    if (!column.empty()) std::fwrite(column.data(), 1, column.size(), days);
    std::fclose(days);
    try {
        SampleFile sampleFile(path);
        if (column.size() != records * 4 || !sampleFile.hasDays()) std::abort();
        std::string read;
        sampleFile.forEachDatedChunk([&](const Datapoint*, const std::int32_t* d, std::size_t count, std::size_t) {
            read.append(reinterpret_cast<const char*>(d), count * 4);
        });
        if (read != column) std::abort();
    } catch (const DataFileError&) {
        if (column.size() == records * 4) std::abort();
    }
    std::remove(daysPath.c_str());
    return 0;
}
