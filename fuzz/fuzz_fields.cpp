// Single fields: the fast float, clock, date and label-time readers against
// std::stof and std::get_time.
#include <cstdio>
#include <cstdlib>

#include "fuzz/Differential.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string difference = differential::checkField(text);
    if (!difference.empty()) {
        std::fprintf(stderr, "field reader mismatch: %s\n", difference.c_str());
        std::abort();
    }
    return 0;
}
