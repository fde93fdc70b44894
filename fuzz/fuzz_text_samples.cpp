// Text sample files: any input either loads or fails with one of the
// documented exceptions; nothing crashes or reads out of bounds. And the
// grammar property: a file loads only when every line up to the first empty
// one is "number number integer integer", as the regular expressions of the
// reference reading define it, and a file whose lines all are is never
// refused as malformed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tests/support/ReferenceParse.h"
#include "model/TextFields.h"

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

    // Every line the reader reaches with no limit, as std::getline gives it.
    bool grammatical = true;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        if (!referenceTextSampleLine(line)) {
            grammatical = false;
            break;
        }
    }
    {
        TrajectoryLoader loader;
        try {
            loader.loadText(path, -1, true);
            if (!grammatical) std::abort();  // accepted a line outside the grammar
        } catch (const std::invalid_argument&) {
            if (grammatical) std::abort();  // refused a well-formed file
        } catch (const std::out_of_range&) {
        }
    }

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
