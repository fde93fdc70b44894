// The command lines of trackora-import and trackora-heatmap: any arguments
// (the input split at NUL bytes) are either refused with a message or give
// options within their documented ranges.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/heatmap/HeatmapOptions.h"
#include "tools/import/ImportTool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) args.emplace_back();
        else args.back() += static_cast<char>(data[i]);
    }

    ImportOptions import;
    bool help = false;
    std::string error;
    if (parseImportArguments(args, import, help, error)) {
        if (!help && import.input.empty()) std::abort();
        if (import.limit < -1 || import.output.empty()) std::abort();
    } else if (error.empty()) {
        std::abort();
    }

    try {
        const HeatmapOptions options = parseHeatmapOptions(args);
        const ControlSettings& s = options.settings;
        if (!options.help && options.input.empty()) std::abort();
        if (s.kernel_size < 1 || s.kernel_size > 23169 || s.kernel_size % 2 == 0) std::abort();
        if (!(s.sigma > 0.0f) || !std::isfinite(s.sigma)) std::abort();
        if (s.min_time < 0 || s.max_time > 86400 || s.min_time > s.max_time) std::abort();
        if (s.mode_mask < 0 || s.mode_mask > kAllModes || options.repeat < 1) std::abort();
    } catch (const UsageError& e) {
        if (std::string(e.what()).empty()) std::abort();
    }
    return 0;
}
