#pragma once
// What the program takes from GDAL, in plain C++: the points of GPS track
// files (GPX track and route points, GeoJSON point features, CSV rows with
// latitude, longitude and time columns) and georeferenced GeoTIFF output.
// Every failure names the file and carries GDAL's own reason.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gis {

class GisError : public std::runtime_error {
public:
    GisError(std::string path, std::string reason)
        : std::runtime_error("\"" + path + "\": " + reason), path_(std::move(path)), reason_(std::move(reason)) {}
    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

enum class TrackFormat { gpx, geojson, csv };

// The track format a file name announces: ".gpx", ".geojson" or ".json",
// ".csv", in any letter case (phones write "TRACK.GPX").
std::optional<TrackFormat> trackFormatOf(std::string_view path);

// A point's time, converted to UTC.
struct TrackTime {
    enum class Status { ok, missing, unreadable };
    Status status = Status::missing;
    int year = 0;  // calendar day in UTC: year, month 1..12, day 1..31
    int month = 0;
    int day = 0;
    std::int32_t seconds = 0;  // UTC seconds since midnight, 0..86399
    std::string text;          // as the file holds it, for messages
};

struct TrackPoint {
    std::string place;  // "track 1, segment 2, point 5", "route 1, point 3", "feature 4", "line 7"
    // Text of the coordinates: the file's own for GPX and CSV, to be held to
    // the trajectory grammar; for GeoJSON geometries, the shortest text that
    // reads back as GDAL's double, which is the file's text for up to 15
    // significant digits. Empty when the point has no position.
    std::string latitude;
    std::string longitude;
    TrackTime time;
    std::optional<std::string> mode;  // the mode field's text, when asked for and set
    // Which track of the file the point belongs to: a GPX track segment or
    // route ("1/2", "route 3"), or the track field's text of a CSV row or
    // GeoJSON feature when one is named; empty for the file's one track.
    std::string track;
};

struct TrackReadOptions {
    std::string modeField;  // GeoJSON/CSV property holding a mode name; "" for none (GPX: ignored)
    std::string trackField;  // GeoJSON/CSV property naming each point's track; "" for none (GPX: ignored)
    // Told now and then how far the read is (bytes of the file, or features
    // of a layer); returning false stops the read with ReadCancelled.
    std::function<bool(std::int64_t done, std::int64_t total)> progress;
};

// A read that `progress` stopped.
class ReadCancelled : public std::runtime_error {
public:
    ReadCancelled() : std::runtime_error("cancelled") {}
};

struct TrackFileCounts {
    std::int64_t points = 0;   // points handed to the sink
    std::int64_t ignored = 0;  // features that are not points (a GeoJSON line, a GPX waypoint)
    std::int64_t bytes = 0;    // the file's size, as opened
};

// Hands every point of the file to `sink`, in file order, points without a
// position included. The file is opened once, without blocking, and refused
// ("not a regular file") unless it is a regular file; the readers then read
// that open file, so nothing can swap a FIFO in. GPX is read by a streaming
// XML reader of our own (coordinates and times as the file writes them,
// entity declarations refused); GeoJSON and CSV through GDAL, every CSV
// column and GeoJSON time as text, a ".csvt" sidecar ignored. Throws
// GisError naming the file and the reason (GDAL's, or the XML error and its
// line) when it cannot be read, or naming the column that a CSV file or the
// mode field lacks. Safe to call from several threads on different files.
void readTrackPoints(const std::string& path, TrackFormat format, const TrackReadOptions& options,
                     const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts);

// The one time grammar of every track format, ISO 8601 wholly:
// "2009-06-01T08:30:00Z", 'T' or a space between date and clock, 't' and
// 'z' as well, seconds optional (0..59) with optional fractions (dropped),
// and "Z", "+hh:mm", "+hhmm" or "+hh" as zone, at most 14 hours either way,
// honoured to the minute; without a zone the clock is taken as UTC. A date
// alone, blanks around the time or anything after it make it unreadable.
// With ogrForm, OGR's own form is taken too, as OGR writes date-times into
// CSV ("2007/08/04 03:30:31.146+00"): slashes in the date, then a space,
// then the same clock and zone. Returns a time with status ok (converted to
// UTC) or unreadable.
TrackTime parseIsoTime(std::string_view text, bool ogrForm = false);

// A single-band Float32 raster placed on WGS 84 longitude/latitude.
struct GeoTiffRaster {
    const float* cells = nullptr;  // width * height, row-major, row 0 the SOUTHERN row
    int width = 0;
    int height = 0;
    double west = 0;        // longitude of column 0's western edge
    double south = 0;       // latitude of row 0's southern edge
    double cellWidth = 0;   // degrees of longitude per column
    double cellHeight = 0;  // degrees of latitude per row
    std::vector<std::pair<std::string, std::string>> metadata;  // items of the default domain
    std::string unit;         // the band's unit type ("samples/km2"); empty for none
    std::string description;  // the band's description: what it holds
    // Overviews averaged from the full grid, for values whose average means
    // something (densities, display levels); none for counts.
    bool averagedOverviews = true;
};

// A cloud-optimised GeoTIFF (tiles, overviews, deflate with the
// floating-point predictor), north up (its first row is the raster's
// northernmost), in EPSG:4326, with the band's unit type and description,
// as the bytes of the file. The full-resolution values are stored exactly.
// GDAL writes it in memory, so no file name reaches GDAL; the caller writes
// the bytes where it likes. `path` only names the target in a GisError with
// GDAL's reason.
std::vector<unsigned char> encodeGeoTiff(const std::string& path, const GeoTiffRaster& raster);

// A day cube: one grid per step of the day, as CF-conventions NetCDF
// (dimensions time, lat, lon; CF coordinates with units; a crs grid mapping
// for WGS 84; the times of day with their bounds on a nominal date), so
// xarray, gdalinfo and QGIS's temporal controller read it.
struct DayCubeLayout {
    int width = 0;
    int height = 0;
    double west = 0;        // longitude of column 0's western edge
    double south = 0;       // latitude of row 0's southern edge
    double cellWidth = 0;   // degrees of longitude per column
    double cellHeight = 0;  // degrees of latitude per row
    int steps = 0;          // slices, each stepSeconds long, from midnight
    int stepSeconds = 0;
    std::string variable = "density";  // the data variable's name
    std::string units;                 // its units ("samples/km2"); empty for none
    std::string longName;              // what it holds
    std::vector<std::pair<std::string, std::string>> attributes;  // the settings, as global attributes
};

// Writes the cube a slice at a time to `file` (a path GDAL's netCDF driver
// writes by name: the temporary file of the caller's output). `path` names
// the target in a GisError with GDAL's reason.
class DayCubeWriter {
public:
    DayCubeWriter(const std::string& path, const std::string& file, const DayCubeLayout& layout);
    ~DayCubeWriter();
    DayCubeWriter(const DayCubeWriter&) = delete;
    DayCubeWriter& operator=(const DayCubeWriter&) = delete;
    // Slice `step`: width * height floats, row-major, row 0 the southern row.
    void writeSlice(int step, const float* cells);
    // Closes the file; throws when GDAL could not finish it.
    void finish();

private:
    struct State;
    std::string path_;
    State* state_ = nullptr;
};

}  // namespace gis

namespace gis {

// A basemap's source, for the frame south..north, west..east (degrees).
struct BasemapFrame {
    double south = 0;
    double west = 0;
    double north = 0;
    double east = 0;
};

// A georeferenced raster that GDAL reads (GeoTIFF, GeoPackage or MBTiles
// tiles, a PNG with a world file) warped onto the frame's latitude-longitude
// grid: width x height RGBA pixels, first row north, transparent where the
// raster has nothing. Throws GisError naming `path` when GDAL cannot read
// it, it has no georeference, or it does not overlap the frame.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;
};
// The raster is read at about the picture's resolution, through its
// overviews or a decimated read, never whole: a sparse 200000-pixel GeoTIFF
// costs what the picture needs. `cancelled`, asked between blocks, stops
// the work with ReadCancelled when it returns true.
RgbaImage warpRaster(const std::string& path, const BasemapFrame& frame, int width, int height,
                     const std::function<bool()>& cancelled = {});

// The roads and railways of an OpenStreetMap extract (.osm, .osm.pbf)
// that reach into the frame: each way's points (latitude, longitude) and its
// class ("primary", "residential", ..., "rail" for a railway). Throws
// GisError naming `path` when GDAL's OSM driver cannot read it, or when no
// way reaches the frame.
struct MapWay {
    std::string roadClass;
    bool railway = false;
    std::vector<std::pair<double, double>> points;
};
// `cancelled`, asked between features and while the driver parses, stops
// the read with ReadCancelled when it returns true.
std::vector<MapWay> readOsmWays(const std::string& path, const BasemapFrame& frame,
                                const std::function<bool()>& cancelled = {});

// Whether a path names an OpenStreetMap extract (".osm" or ".osm.pbf", any
// letter case) rather than a raster.
bool isOsmExtract(std::string_view path);

}  // namespace gis
