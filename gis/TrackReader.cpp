// The one importer of GPS track files: maps OGR features onto plain track
// points. Coordinates, frame and modes are the model's business.
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <cctype>
#include <charconv>
#include <initializer_list>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"
#include "gis/TimeConversion.h"

namespace gis {

namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The shortest decimal text that reads back as `value`: the file's own text
// whenever it had at most 15 significant digits, so converting it to float
// gives what converting the file's text would.
std::string decimalText(double value) {
    char text[40];
    auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15);
    double back = 0;
    std::from_chars(text, written.ptr, back);
    if (back != value) written = std::to_chars(text, text + sizeof text, value);  // shortest that reads back
    return std::string(text, written.ptr);
}

// Index of the first field named like one of `names` (any letter case), or -1.
int findField(const OGRFeatureDefn& definition, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names)
        for (int i = 0; i < definition.GetFieldCount(); ++i)
            if (lowerCase(definition.GetFieldDefn(i)->GetNameRef()) == name) return i;
    return -1;
}

int requireField(const std::string& path, const OGRFeatureDefn& definition,
                 std::initializer_list<std::string_view> names, const char* what) {
    const int index = findField(definition, names);
    if (index >= 0) return index;
    std::string list;
    for (std::string_view name : names) list += (list.empty() ? "" : ", ") + std::string(name);
    throw GisError(path, std::string("has no ") + what + " column (looked for " + list + ")");
}

int modeFieldIndex(const std::string& path, const OGRFeatureDefn& definition, const TrackReadOptions& options) {
    if (options.modeField.empty()) return -1;
    const int index = definition.GetFieldIndex(options.modeField.c_str());
    if (index < 0) throw GisError(path, "has no field \"" + options.modeField + "\" for the mode");
    return index;
}

TrackTime timeOf(const OGRFeature& feature, int field) {
    TrackTime time;
    if (field < 0 || !feature.IsFieldSetAndNotNull(field)) return time;
    const OGRFieldType type = feature.GetFieldDefnRef(field)->GetType();
    if (type == OFTDateTime) {
        int year, month, day, hour, minute, zone;
        float second;
        if (!feature.GetFieldAsDateTime(field, &year, &month, &day, &hour, &minute, &second, &zone) ||
            !validClock(year, month, day, hour, minute, static_cast<int>(second))) {
            time.text = feature.GetFieldAsString(field);
            time.status = TrackTime::Status::unreadable;
            return time;
        }
        // OGR's zone flag: 100 is UTC, 100 +/- n is n quarter hours east or
        // west; 0 and 1 (unknown, local) are taken as UTC, as GPX defines.
        return utcTime(year, month, day, hour, minute, static_cast<int>(second), zone > 1 ? (zone - 100) * 15 : 0);
    }
    return parseIsoTime(feature.GetFieldAsString(field));
}

std::string placeOf(TrackFormat format, const OGRFeature& feature, bool route, std::int64_t index) {
    const auto field = [&](const char* name) -> long long {
        const int i = feature.GetFieldIndex(name);
        return i >= 0 ? feature.GetFieldAsInteger64(i) + 1 : 0;
    };
    switch (format) {
        case TrackFormat::gpx:
            if (route) return "route " + std::to_string(field("route_fid")) + ", point " +
                              std::to_string(field("route_point_id"));
            return "track " + std::to_string(field("track_fid")) + ", segment " +
                   std::to_string(field("track_seg_id")) + ", point " + std::to_string(field("track_seg_point_id"));
        case TrackFormat::csv:
            // Data rows are numbered from 1; the header is line 1.
            return "line " + std::to_string(feature.GetFID() + 1);
        case TrackFormat::geojson:
            break;
    }
    return "feature " + std::to_string(index);
}

// Iterates a layer, turning a read failure into GisError.
template <typename Visit>
void forEachFeature(const std::string& path, OGRLayer& layer, Visit visit) {
    layer.ResetReading();
    CPLErrorReset();
    for (;;) {
        OGRFeatureUniquePtr feature(layer.GetNextFeature());
        if (!feature) break;
        visit(*feature);
    }
    if (CPLGetLastErrorType() >= CE_Failure)
        throw GisError(path, gdalReason("reading failed"));
}

void readGeometryLayer(const std::string& path, TrackFormat format, OGRLayer& layer, bool route,
                       const TrackReadOptions& options, const std::function<void(const TrackPoint&)>& sink,
                       TrackFileCounts& counts) {
    const OGRFeatureDefn& definition = *layer.GetLayerDefn();
    const int timeField = format == TrackFormat::gpx ? definition.GetFieldIndex("time")
                                                     : findField(definition, {"time", "timestamp", "datetime"});
    const int modeField = modeFieldIndex(path, definition, options);
    std::int64_t index = 0;
    forEachFeature(path, layer, [&](const OGRFeature& feature) {
        ++index;
        const OGRGeometry* geometry = feature.GetGeometryRef();
        if (geometry && wkbFlatten(geometry->getGeometryType()) != wkbPoint) {
            ++counts.ignored;
            return;
        }
        TrackPoint point;
        point.place = placeOf(format, feature, route, index);
        if (geometry && !geometry->IsEmpty()) {
            const auto* position = geometry->toPoint();
            point.latitude = decimalText(position->getY());
            point.longitude = decimalText(position->getX());
        }
        point.time = timeOf(feature, timeField);
        if (modeField >= 0 && feature.IsFieldSetAndNotNull(modeField))
            point.mode = feature.GetFieldAsString(modeField);
        ++counts.points;
        sink(point);
    });
}

void readCsvLayer(const std::string& path, OGRLayer& layer, const TrackReadOptions& options,
                  const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    const OGRFeatureDefn& definition = *layer.GetLayerDefn();
    const int latitudeField = requireField(path, definition, {"latitude", "lat"}, "latitude");
    const int longitudeField = requireField(path, definition, {"longitude", "lon", "lng", "long"}, "longitude");
    const int timeField = requireField(path, definition, {"time", "timestamp", "datetime"}, "time");
    const int modeField = modeFieldIndex(path, definition, options);
    forEachFeature(path, layer, [&](const OGRFeature& feature) {
        TrackPoint point;
        point.place = placeOf(TrackFormat::csv, feature, false, 0);
        // The columns are read as text, so the coordinates convert exactly
        // as a trajectory file's do.
        point.latitude = feature.GetFieldAsString(latitudeField);
        point.longitude = feature.GetFieldAsString(longitudeField);
        point.time = timeOf(feature, timeField);
        if (modeField >= 0 && feature.IsFieldSetAndNotNull(modeField) && *feature.GetFieldAsString(modeField))
            point.mode = feature.GetFieldAsString(modeField);
        ++counts.points;
        sink(point);
    });
}

}  // namespace

std::optional<TrackFormat> trackFormatOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    const std::string extension = lowerCase(name.substr(dot));
    if (extension == ".gpx") return TrackFormat::gpx;
    if (extension == ".geojson" || extension == ".json") return TrackFormat::geojson;
    if (extension == ".csv") return TrackFormat::csv;
    return std::nullopt;
}

void readTrackPoints(const std::string& path, TrackFormat format, const TrackReadOptions& options,
                     const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    useGdal();
    const char* gpx[] = {"GPX", nullptr};
    const char* geojson[] = {"GeoJSON", nullptr};
    const char* csv[] = {"CSV", nullptr};
    const char* const* drivers = format == TrackFormat::gpx ? gpx : format == TrackFormat::csv ? csv : geojson;
    CPLErrorReset();
    GDALDatasetUniquePtr dataset(GDALDataset::Open(
        path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR, drivers, nullptr, nullptr));
    if (!dataset) throw GisError(path, gdalReason("GDAL cannot open it"));

    if (format == TrackFormat::gpx) {
        // GPX has no place for a mode: the mode field is for GeoJSON and CSV.
        const TrackReadOptions gpxOptions;
        for (const char* name : {"track_points", "route_points"})
            if (OGRLayer* layer = dataset->GetLayerByName(name))
                readGeometryLayer(path, format, *layer, name[0] == 'r', gpxOptions, sink, counts);
        return;
    }
    if (dataset->GetLayerCount() < 1) throw GisError(path, "holds no layer");
    OGRLayer& layer = *dataset->GetLayer(0);
    if (format == TrackFormat::csv)
        readCsvLayer(path, layer, options, sink, counts);
    else
        readGeometryLayer(path, format, layer, false, options, sink, counts);
}

}  // namespace gis
