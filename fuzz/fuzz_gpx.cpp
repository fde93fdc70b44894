// The GPX reader on any bytes: it either fails with a GisError or hands on
// points whose times are real UTC days and seconds; a coordinate the
// trajectory grammar takes always converts.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "gis/GpxReader.h"
#include "model/FastParse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    gis::TrackFileCounts counts;
    std::int64_t seen = 0;
    const auto check = [&](const gis::TrackPoint& point) {
        ++seen;
        const gis::TrackTime& time = point.time;
        if (time.status == gis::TrackTime::Status::ok &&
            (time.month < 1 || time.month > 12 || time.day < 1 || time.day > 31 || time.seconds < 0 ||
             time.seconds > 86399)) {
            std::fprintf(stderr, "impossible time from \"%s\"\n", time.text.c_str());
            std::abort();
        }
        for (const std::string* coordinate : {&point.latitude, &point.longitude})
            if (isDecimalNumber(*coordinate) && parseFloatField(*coordinate).status == NumberStatus::invalid) {
                std::fprintf(stderr, "grammar takes \"%s\" but it does not convert\n", coordinate->c_str());
                std::abort();
            }
    };
    try {
        gis::readGpxText("fuzz.gpx", text, check, counts);
    } catch (const gis::GisError&) {
    }
    if (counts.points != seen) {
        std::fprintf(stderr, "counted %lld points, handed on %lld\n", static_cast<long long>(counts.points),
                     static_cast<long long>(seen));
        std::abort();
    }
    return 0;
}
