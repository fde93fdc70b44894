// The ISO 8601 reader of GPS track files: any text either fails or gives a
// real UTC day and a second of that day.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "gis/Gis.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const gis::TrackTime time = gis::parseIsoTime(text);
    if (time.status == gis::TrackTime::Status::ok &&
        (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.seconds < 0 ||
         time.seconds > 86400)) {
        std::fprintf(stderr, "impossible time %d-%d-%d %d from \"%.*s\"\n", time.year, time.month, time.day,
                     time.seconds, static_cast<int>(size), reinterpret_cast<const char*>(data));
        std::abort();
    }
    return 0;
}
