// Basemaps for frames other than the shipped map's: a raster warped onto the
// frame, or the ways of an OpenStreetMap extract.
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <ogrsf_frmts.h>

#include <ogr_spatialref.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <memory>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"

namespace gis {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

struct WarpOptionsFree {
    void operator()(GDALWarpAppOptions* options) const { GDALWarpAppOptionsFree(options); }
};

struct TranslateOptionsFree {
    void operator()(GDALTranslateOptions* options) const { GDALTranslateOptionsFree(options); }
};

// GDAL's progress callback: going on unless the caller cancelled.
int CPL_STDCALL goOn(double, const char*, void* cancelled) {
    const auto& asked = *static_cast<const std::function<bool()>*>(cancelled);
    return asked && asked() ? FALSE : TRUE;
}

void stopWhenCancelled(const std::function<bool()>& cancelled) {
    if (cancelled && cancelled()) throw ReadCancelled();
}

// The source pixels the frame covers, from its corners and edge midpoints
// carried into the raster's reference system. Empty when it cannot be told
// (no geotransform or reference system, a transform that fails).
struct SourceWindow {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool known = false;
};
SourceWindow frameInSource(GDALDataset& source, const BasemapFrame& frame) {
    SourceWindow window;
    double transform[6] = {};
    double inverse[6] = {};
    const OGRSpatialReference* reference = source.GetSpatialRef();
    if (source.GetGeoTransform(transform) != CE_None || !reference || !GDALInvGeoTransform(transform, inverse))
        return window;
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    // A frame outside the reference system's domain only means the raster
    // is read as it is; the errors PROJ reports for it are not the source's.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::unique_ptr<OGRCoordinateTransformation> toSource(OGRCreateCoordinateTransformation(&wgs84, reference));
    double xs[8] = {frame.west, frame.east, frame.west, frame.east, (frame.west + frame.east) / 2,
                    (frame.west + frame.east) / 2, frame.west, frame.east};
    double ys[8] = {frame.south, frame.south, frame.north, frame.north, frame.south, frame.north,
                    (frame.south + frame.north) / 2, (frame.south + frame.north) / 2};
    const bool carried = toSource && toSource->Transform(8, xs, ys);
    CPLPopErrorHandler();
    if (!carried) return window;
    window.x0 = window.y0 = HUGE_VAL;
    window.x1 = window.y1 = -HUGE_VAL;
    for (int i = 0; i < 8; ++i) {
        double px = 0, py = 0;
        GDALApplyGeoTransform(inverse, xs[i], ys[i], &px, &py);
        window.x0 = std::min(window.x0, px);
        window.x1 = std::max(window.x1, px);
        window.y0 = std::min(window.y0, py);
        window.y1 = std::max(window.y1, py);
    }
    window.known = std::isfinite(window.x0) && std::isfinite(window.x1) && std::isfinite(window.y0) &&
                   std::isfinite(window.y1);
    return window;
}

// The part of the raster under the frame, decimated to about the picture's
// size when it is finer: a virtual dataset read lazily, whose decimated
// reads use the raster's overviews where it has them and otherwise read
// only the pixels they keep. Null when the raster is read as it is.
GDALDatasetUniquePtr decimatedView(const std::string& path, GDALDataset& source, const BasemapFrame& frame,
                                   int width, int height) {
    const SourceWindow window = frameInSource(source, frame);
    if (!window.known) return nullptr;
    // A pixel's margin for the warp's bilinear kernel; within the raster.
    const double x0 = std::clamp(std::floor(window.x0) - 2, 0.0, double(source.GetRasterXSize()));
    const double x1 = std::clamp(std::ceil(window.x1) + 2, 0.0, double(source.GetRasterXSize()));
    const double y0 = std::clamp(std::floor(window.y0) - 2, 0.0, double(source.GetRasterYSize()));
    const double y1 = std::clamp(std::ceil(window.y1) + 2, 0.0, double(source.GetRasterYSize()));
    if (x1 - x0 < 1 || y1 - y0 < 1) return nullptr;  // no overlap: the warp says so
    const double factor = std::max((x1 - x0) / width, (y1 - y0) / height);
    if (factor <= 2.0) return nullptr;  // fine enough already
    const int outWidth = std::max(1, static_cast<int>(std::ceil((x1 - x0) / factor)));
    const int outHeight = std::max(1, static_cast<int>(std::ceil((y1 - y0) / factor)));
    CPLStringList arguments;
    for (const std::string& argument :
         {std::string("-of"), std::string("VRT"), std::string("-srcwin"), number(x0), number(y0), number(x1 - x0),
          number(y1 - y0), std::string("-outsize"), std::to_string(outWidth), std::to_string(outHeight)})
        arguments.AddString(argument.c_str());
    std::unique_ptr<GDALTranslateOptions, TranslateOptionsFree> options(
        GDALTranslateOptionsNew(arguments.List(), nullptr));
    int failed = 0;
    GDALDatasetUniquePtr view(GDALDataset::FromHandle(
        GDALTranslate("", GDALDataset::ToHandle(&source), options.get(), &failed)));
    if (!view || failed) throw GisError(path, gdalReason("could not be read at the basemap's size"));
    return view;
}

}  // namespace

bool isOsmExtract(std::string_view path) {
    std::string lower(path);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.ends_with(".osm") || lower.ends_with(".osm.pbf");
}

RgbaImage warpRaster(const std::string& path, const BasemapFrame& frame, int width, int height,
                     const std::function<bool()>& cancelled) {
    useGdal();
    requireReadable(path);
    const GdalFailures failures;
    GDALDatasetUniquePtr source(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!source) throw GisError(path, failures.reason("not a raster GDAL reads"));
    double transform[6] = {};
    if (source->GetGeoTransform(transform) != CE_None && source->GetGCPCount() == 0)
        throw GisError(path, "has no georeference (a GeoTIFF, or a PNG with its world file, has one)");
    if (source->GetRasterCount() < 1) throw GisError(path, "has no raster band");
    GDALDatasetUniquePtr view = decimatedView(path, *source, frame, width, height);
    // Onto the frame's grid in EPSG:4326, RGBA: a palette expands, an alpha
    // band marks where the raster has nothing.
    CPLStringList arguments;
    for (const std::string& argument :
         {std::string("-of"), std::string("MEM"), std::string("-t_srs"), std::string("EPSG:4326"), std::string("-te"),
          number(frame.west), number(frame.south), number(frame.east), number(frame.north), std::string("-ts"),
          std::to_string(width), std::to_string(height), std::string("-r"), std::string("bilinear"),
          // Chunks of 16 MB: the progress callback, and so a cancel, comes
          // every fraction of a second.
          std::string("-wm"), std::string("16"), std::string("-dstalpha")})
        arguments.AddString(argument.c_str());
    std::unique_ptr<GDALWarpAppOptions, WarpOptionsFree> options(GDALWarpAppOptionsNew(arguments.List(), nullptr));
    GDALWarpAppOptionsSetProgress(options.get(), goOn, const_cast<std::function<bool()>*>(&cancelled));
    GDALDatasetH sources[1] = {GDALDataset::ToHandle(view ? view.get() : source.get())};
    int failed = 0;
    GDALDatasetUniquePtr warped(
        GDALDataset::FromHandle(GDALWarp("", nullptr, 1, sources, options.get(), &failed)));
    stopWhenCancelled(cancelled);
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

std::vector<MapWay> readOsmWays(const std::string& path, const BasemapFrame& frame,
                                const std::function<bool()>& cancelled) {
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
    void* asked = const_cast<std::function<bool()>*>(&cancelled);
    for (OGRFeatureUniquePtr feature(source->GetNextFeature(&layer, nullptr, goOn, asked)); feature;
         feature.reset(source->GetNextFeature(&layer, nullptr, goOn, asked))) {
        stopWhenCancelled(cancelled);
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
    stopWhenCancelled(cancelled);  // the driver stops early when the progress callback says so
    // The driver stops at a malformed element (a cut file, entities that
    // expand without end, an oversized tag, a corrupt block) and says why;
    // half a map is not drawn as if it were all.
    if (failures.any()) throw GisError(path, "could not be read to its end: " + failures.reason(""));
    if (ways.empty()) throw GisError(path, "has no roads or railways inside the frame");
    return ways;
}

}  // namespace gis
