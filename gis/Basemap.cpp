// Basemaps for frames other than the shipped map's: a raster warped onto the
// frame, or the ways of an OpenStreetMap extract.
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"

namespace gis {

namespace {

struct WarpOptionsFree {
    void operator()(GDALWarpAppOptions* options) const { GDALWarpAppOptionsFree(options); }
};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace

bool isOsmExtract(std::string_view path) {
    std::string lower(path);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.ends_with(".osm") || lower.ends_with(".osm.pbf");
}

RgbaImage warpRaster(const std::string& path, const BasemapFrame& frame, int width, int height) {
    useGdal();
    requireReadable(path);
    const GdalFailures failures;
    GDALDatasetUniquePtr source(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!source) throw GisError(path, failures.reason("not a raster GDAL reads"));
    double transform[6] = {};
    if (source->GetGeoTransform(transform) != CE_None && source->GetGCPCount() == 0)
        throw GisError(path, "has no georeference (a GeoTIFF, or a PNG with its world file, has one)");
    if (source->GetRasterCount() < 1) throw GisError(path, "has no raster band");
    // Onto the frame's grid in EPSG:4326, RGBA: a palette expands, an alpha
    // band marks where the raster has nothing.
    CPLStringList arguments;
    for (const std::string& argument :
         {std::string("-of"), std::string("MEM"), std::string("-t_srs"), std::string("EPSG:4326"), std::string("-te"),
          number(frame.west), number(frame.south), number(frame.east), number(frame.north), std::string("-ts"),
          std::to_string(width), std::to_string(height), std::string("-r"), std::string("bilinear"),
          std::string("-dstalpha")})
        arguments.AddString(argument.c_str());
    std::unique_ptr<GDALWarpAppOptions, WarpOptionsFree> options(GDALWarpAppOptionsNew(arguments.List(), nullptr));
    GDALDatasetH sources[1] = {GDALDataset::ToHandle(source.get())};
    int failed = 0;
    GDALDatasetUniquePtr warped(
        GDALDataset::FromHandle(GDALWarp("", nullptr, 1, sources, options.get(), &failed)));
    if (!warped || failed) throw GisError(path, failures.reason("could not be warped onto the frame"));

    RgbaImage image{width, height, std::vector<unsigned char>(static_cast<std::size_t>(width) * height * 4, 0)};
    const int bands = warped->GetRasterCount();  // the source's bands and the alpha band
    std::vector<unsigned char> band(static_cast<std::size_t>(width) * height);
    const auto read = [&](int index) {
        if (warped->GetRasterBand(index)->RasterIO(GF_Read, 0, 0, width, height, band.data(), width, height,
                                                   GDT_Byte, 0, 0, nullptr) != CE_None)
            throw GisError(path, failures.reason("could not be read"));
    };
    GDALRasterBand* first = warped->GetRasterBand(1);
    const GDALColorTable* palette = first->GetColorTable();
    const int colours = bands - 1;  // the last band is the alpha the warp added
    for (int c = 0; c < std::min(colours, 3); ++c) {
        read(c + 1);
        for (std::size_t i = 0; i < band.size(); ++i) image.rgba[i * 4 + static_cast<std::size_t>(c)] = band[i];
    }
    if (palette) {
        for (std::size_t i = 0; i < band.size(); ++i) {
            const GDALColorEntry* entry = palette->GetColorEntry(image.rgba[i * 4]);
            if (!entry) continue;
            image.rgba[i * 4] = static_cast<unsigned char>(entry->c1);
            image.rgba[i * 4 + 1] = static_cast<unsigned char>(entry->c2);
            image.rgba[i * 4 + 2] = static_cast<unsigned char>(entry->c3);
        }
    } else if (colours < 3) {  // grey (with or without its own alpha)
        for (std::size_t i = 0; i < band.size(); ++i)
            image.rgba[i * 4 + 1] = image.rgba[i * 4 + 2] = image.rgba[i * 4];
    }
    read(bands);
    bool overlaps = false;
    for (std::size_t i = 0; i < band.size(); ++i) {
        image.rgba[i * 4 + 3] = band[i];
        overlaps = overlaps || band[i] != 0;
    }
    // A block GDAL could not read is left empty by the warp; a picture
    // with holes is not passed off as the raster.
    if (failures.any()) throw GisError(path, failures.reason("could not be read"));
    if (!overlaps) throw GisError(path, "does not overlap the frame");
    return image;
}

std::vector<MapWay> readOsmWays(const std::string& path, const BasemapFrame& frame) {
    useGdal();
    requireReadable(path);
    const GdalFailures failures;
    GDALDatasetUniquePtr source(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    if (!source) throw GisError(path, failures.reason("not an OpenStreetMap extract GDAL reads"));
    OGRLayer* lines = source->GetLayerByName("lines");
    if (!lines) throw GisError(path, "has no ways");
    // Only the frame's part; the OSM driver reads its layers interleaved,
    // so the other layers' features are skipped as they come.
    lines->SetSpatialFilterRect(frame.west, frame.south, frame.east, frame.north);
    const OGRFeatureDefn& definition = *lines->GetLayerDefn();
    const int highway = definition.GetFieldIndex("highway");
    const int railway = definition.GetFieldIndex("railway");
    std::vector<MapWay> ways;
    OGRLayer* layer = nullptr;
    for (OGRFeatureUniquePtr feature(source->GetNextFeature(&layer, nullptr, nullptr, nullptr)); feature;
         feature.reset(source->GetNextFeature(&layer, nullptr, nullptr, nullptr))) {
        if (layer != lines) continue;
        MapWay way;
        if (railway >= 0 && feature->IsFieldSetAndNotNull(railway)) {
            way.railway = true;
            way.roadClass = "other";
        } else if (highway >= 0 && feature->IsFieldSetAndNotNull(highway)) {
            way.roadClass = feature->GetFieldAsString(highway);
        } else {
            continue;  // rivers, fences, power lines
        }
        const OGRGeometry* geometry = feature->GetGeometryRef();
        if (!geometry || wkbFlatten(geometry->getGeometryType()) != wkbLineString) continue;
        const OGRLineString* line = geometry->toLineString();
        for (int i = 0; i < line->getNumPoints(); ++i) way.points.emplace_back(line->getY(i), line->getX(i));
        if (way.points.size() >= 2) ways.push_back(std::move(way));
    }
    // The driver stops at a malformed element (a cut file, entities that
    // expand without end, an oversized tag, a corrupt block) and says why;
    // half a map is not drawn as if it were all.
    if (failures.any()) throw GisError(path, "could not be read to its end: " + failures.reason(""));
    if (ways.empty()) throw GisError(path, "has no roads or railways inside the frame");
    return ways;
}

}  // namespace gis
