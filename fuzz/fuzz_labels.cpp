// Label files: the fast parser against the line-by-line reading.
#include <cstdio>
#include <cstdlib>

#include "fuzz/Differential.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string difference = differential::checkLabels(text);
    if (!difference.empty()) {
        std::fprintf(stderr, "label parser mismatch: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
