// Whole trajectory files: the fast parser against the line-by-line reading,
// records and errors alike, and no line outside the grammar accepted.
#include <cstdio>
#include <cstdlib>

#include "fuzz/Differential.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string difference = differential::checkTrajectory(text);
    if (difference.empty()) difference = differential::checkTrajectoryGrammar(text);
    if (!difference.empty()) {
        std::fprintf(stderr, "trajectory parser mismatch: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
