// The GIS module of a build without GDAL (the portable GPU check, whose
// programs must run where GDAL is not installed): track files and GeoTIFFs
// are refused with that reason, everything else works.
#include "gis/Gis.h"

namespace gis {

namespace {

constexpr const char* kNoGdal = "this build has no GDAL: track files, GeoTIFFs and day cubes are not available";

}  // namespace

void readTrackPoints(const std::string& path, TrackFormat, const TrackReadOptions&,
                     const std::function<void(const TrackPoint&)>&, TrackFileCounts&) {
    throw GisError(path, kNoGdal);
}

std::vector<unsigned char> encodeGeoTiff(const std::string& path, const GeoTiffRaster&) {
    throw GisError(path, kNoGdal);
}

RgbaImage warpRaster(const std::string& path, const BasemapFrame&, int, int) { throw GisError(path, kNoGdal); }

std::vector<MapWay> readOsmWays(const std::string& path, const BasemapFrame&) { throw GisError(path, kNoGdal); }

bool isOsmExtract(std::string_view) { return false; }

struct DayCubeWriter::State {};
DayCubeWriter::DayCubeWriter(const std::string& path, const std::string&, const DayCubeLayout&) : path_(path) {
    throw GisError(path, kNoGdal);
}
DayCubeWriter::~DayCubeWriter() = default;
void DayCubeWriter::writeSlice(int, const float*) { throw GisError(path_, kNoGdal); }
void DayCubeWriter::finish() { throw GisError(path_, kNoGdal); }

}  // namespace gis
