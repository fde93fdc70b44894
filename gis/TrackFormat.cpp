// The track format a file name announces; needs no GDAL, so every build,
// the portable one without GDAL included, tells track files apart alike.
#include <cctype>
#include <string>

#include "gis/Gis.h"

namespace gis {

std::optional<TrackFormat> trackFormatOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    std::string extension(name.substr(dot));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".gpx") return TrackFormat::gpx;
    if (extension == ".geojson" || extension == ".json") return TrackFormat::geojson;
    if (extension == ".csv") return TrackFormat::csv;
    return std::nullopt;
}

}  // namespace gis
