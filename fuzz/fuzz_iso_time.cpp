// The ISO 8601 reader of GPS track files, with and without OGR's form: any
// text either fails or gives a real UTC day and a second of that day.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "gis/Gis.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const gis::TrackTime iso = gis::parseIsoTime(text);
    // CSV's reading adds OGR's form and changes nothing an ISO text gives.
    const gis::TrackTime csv = gis::parseIsoTime(text, true);
    for (const gis::TrackTime& time : {iso, csv}) {
        if (time.status == gis::TrackTime::Status::ok &&
            (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.seconds < 0 ||
             time.seconds > 86400)) {
            std::fprintf(stderr, "impossible time %d-%d-%d %d from \"%.*s\"\n", time.year, time.month, time.day,
                         time.seconds, static_cast<int>(size), reinterpret_cast<const char*>(data));
            std::abort();
        }
    }
    if (iso.status == gis::TrackTime::Status::ok &&
        (csv.status != iso.status || csv.year != iso.year || csv.month != iso.month || csv.day != iso.day ||
         csv.seconds != iso.seconds)) {
        std::fprintf(stderr, "OGR's form changed an ISO time: \"%.*s\"\n", static_cast<int>(size),
                     reinterpret_cast<const char*>(data));
        std::abort();
    }
    return 0;
}
