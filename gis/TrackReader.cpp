// The one importer of GPS track files: opens the input once, reads GPX
// through our own XML reader and GeoJSON and CSV through OGR, and maps the
// features onto plain track points. Coordinates, frame and modes are the
// model's business.
#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"
#include "gis/GpxReader.h"

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

int trackFieldIndex(const std::string& path, const OGRFeatureDefn& definition, const TrackReadOptions& options) {
    if (options.trackField.empty()) return -1;
    const int index = definition.GetFieldIndex(options.trackField.c_str());
    if (index < 0) throw GisError(path, "has no field \"" + options.trackField + "\" for the track");
    return index;
}

int modeFieldIndex(const std::string& path, const OGRFeatureDefn& definition, const TrackReadOptions& options) {
    if (options.modeField.empty()) return -1;
    const int index = definition.GetFieldIndex(options.modeField.c_str());
    if (index < 0) throw GisError(path, "has no field \"" + options.modeField + "\" for the mode");
    return index;
}

// Times reach the one grammar as text: CSV columns are text, and GeoJSON
// is opened with DATE_AS_STRING. An empty field is no time at all. CSV
// takes OGR's own date-time form too: ogr2ogr writes it there.
TrackTime timeOf(const OGRFeature& feature, int field, bool ogrForm = false) {
    if (field < 0 || !feature.IsFieldSetAndNotNull(field)) return TrackTime();
    const char* text = feature.GetFieldAsString(field);
    if (!*text) return TrackTime();
    return parseIsoTime(text, ogrForm);
}

std::string placeOf(std::int64_t index) { return "feature " + std::to_string(index); }

// The line of the file each CSV record starts on. GDAL numbers records, not
// lines: after a quoted field that holds a line break, or a blank line, its
// number no longer says where a row is. This reads the file a second time,
// through its own descriptor, and splits records as GDAL's CSV reader does:
// a line ends at LF, CR or CRLF (and ends at a NUL as far as GDAL sees it), a
// record goes on over line ends while it holds an odd number of quotes, and
// an empty line is no record at all.
class CsvLines {
public:
    explicit CsvLines(int fd) : fd_(fd) {}

    // The first line of the next record, 0 past the last one.
    std::int64_t next() {
        for (;;) {
            int c = get();
            if (c < 0) return 0;
            const std::int64_t start = line_;
            bool quoted = false, empty = true, seen = true;  // seen: before a NUL on this line
            for (; c >= 0; c = get()) {
                if (c == '\n' || c == '\r') {
                    if (c == '\r' && peek() == '\n') get();
                    ++line_;
                    if (!quoted) break;
                    seen = true;
                    continue;
                }
                if (c == 0) seen = false;
                if (!seen) continue;
                empty = false;
                if (c == '"') quoted = !quoted;
            }
            if (!empty) return start;
        }
    }

private:
    int peek() {
        if (at_ == size_ && !fill()) return -1;
        return static_cast<unsigned char>(buffer_[at_]);
    }
    int get() {
        const int c = peek();
        if (c >= 0) ++at_;
        return c;
    }
    bool fill() {
        ssize_t got;
        do got = ::pread(fd_, buffer_, sizeof buffer_, offset_);
        while (got < 0 && errno == EINTR);
        if (got <= 0) return false;  // a read failure is GDAL's to report
        offset_ += got;
        at_ = 0;
        size_ = static_cast<std::size_t>(got);
        return true;
    }

    int fd_;
    off_t offset_ = 0;
    char buffer_[1 << 16];
    std::size_t at_ = 0, size_ = 0;
    std::int64_t line_ = 1;
};

// The input opened once, without blocking (a FIFO must not hang the open),
// and refused unless it is a regular file; GDAL then reads this open file
// through /proc/self/fd, so what was checked is what is read, and no
// sidecar beside the name (a ".csvt" that would retype the columns) is found.
class InputFile {
public:
    explicit InputFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) throw GisError(path, std::strerror(errno));
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throw GisError(path, std::strerror(errno));
        if (!S_ISREG(status.st_mode)) throw GisError(path, S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "not a regular file");
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        size_ = status.st_size;
        alias_ = "/proc/self/fd/" + std::to_string(fd_);
        if (::access(alias_.c_str(), R_OK) != 0) alias_ = path;  // no /proc: the name it is
    }
    ~InputFile() { ::close(fd_); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int fd() const { return fd_; }
    std::int64_t size() const { return size_; }
    // The name GDAL opens.
    const std::string& alias() const { return alias_; }
    // GDAL's reason, speaking of the file by the name the user gave.
    std::string reason(const std::string& fallback) const {
        std::string text = gdalReason(fallback);
        if (alias_ != path_)
            for (auto at = text.find(alias_); at != std::string::npos; at = text.find(alias_, at + path_.size()))
                text.replace(at, alias_.size(), path_);
        return text;
    }

private:
    const std::string& path_;
    int fd_ = -1;
    std::int64_t size_ = 0;
    std::string alias_;
};

// Iterates a layer, turning a read failure into GisError.
template <typename Visit>
void forEachFeature(const std::string& path, const InputFile& input, OGRLayer& layer,
                    const TrackReadOptions& options, Visit visit) {
    layer.ResetReading();
    const std::int64_t total = options.progress ? layer.GetFeatureCount(FALSE) : -1;
    std::int64_t done = 0;
    CPLErrorReset();
    for (;;) {
        OGRFeatureUniquePtr feature(layer.GetNextFeature());
        if (!feature) break;
        visit(*feature);
        if (options.progress && ++done % 4096 == 0 && !options.progress(done, total)) throw ReadCancelled();
    }
    if (CPLGetLastErrorType() >= CE_Failure)
        throw GisError(path, input.reason("reading failed"));
}

void readGeometryLayer(const std::string& path, const InputFile& input, OGRLayer& layer,
                       const TrackReadOptions& options,
                       const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    const OGRFeatureDefn& definition = *layer.GetLayerDefn();
    const int timeField = findField(definition, {"time", "timestamp", "datetime"});
    const int modeField = modeFieldIndex(path, definition, options);
    const int trackField = trackFieldIndex(path, definition, options);
    std::int64_t index = 0;
    forEachFeature(path, input, layer, options, [&](const OGRFeature& feature) {
        ++index;
        const OGRGeometry* geometry = feature.GetGeometryRef();
        if (geometry && wkbFlatten(geometry->getGeometryType()) != wkbPoint) {
            ++counts.ignored;
            return;
        }
        TrackPoint point;
        point.place = placeOf(index);
        if (geometry && !geometry->IsEmpty()) {
            const auto* position = geometry->toPoint();
            point.latitude = decimalText(position->getY());
            point.longitude = decimalText(position->getX());
        }
        point.time = timeOf(feature, timeField);
        if (modeField >= 0 && feature.IsFieldSetAndNotNull(modeField))
            point.mode = feature.GetFieldAsString(modeField);
        if (trackField >= 0 && feature.IsFieldSetAndNotNull(trackField))
            point.track = feature.GetFieldAsString(trackField);
        ++counts.points;
        sink(point);
    });
}

void readCsvLayer(const std::string& path, const InputFile& input, OGRLayer& layer, const TrackReadOptions& options,
                  const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    const OGRFeatureDefn& definition = *layer.GetLayerDefn();
    // X and Y are what ogr2ogr writes (GEOMETRY=AS_XY) for geographic data.
    const int latitudeField = requireField(path, definition, {"latitude", "lat", "y"}, "latitude");
    const int longitudeField = requireField(path, definition, {"longitude", "lon", "lng", "long", "x"}, "longitude");
    const int timeField = requireField(path, definition, {"time", "timestamp", "datetime"}, "time");
    const int modeField = modeFieldIndex(path, definition, options);
    const int trackField = trackFieldIndex(path, definition, options);
    // The lines of the header record, then one record per feature.
    auto lines = std::make_unique<CsvLines>(input.fd());
    lines->next();
    forEachFeature(path, input, layer, options, [&](const OGRFeature& feature) {
        TrackPoint point;
        const std::int64_t line = lines->next();
        point.place = line > 0 ? "line " + std::to_string(line) : "record " + std::to_string(feature.GetFID());
        // The columns are read as text, so the coordinates convert exactly
        // as a trajectory file's do.
        point.latitude = feature.GetFieldAsString(latitudeField);
        point.longitude = feature.GetFieldAsString(longitudeField);
        point.time = timeOf(feature, timeField, true);
        if (modeField >= 0 && feature.IsFieldSetAndNotNull(modeField) && *feature.GetFieldAsString(modeField))
            point.mode = feature.GetFieldAsString(modeField);
        if (trackField >= 0 && feature.IsFieldSetAndNotNull(trackField))
            point.track = feature.GetFieldAsString(trackField);
        ++counts.points;
        sink(point);
    });
}

}  // namespace

void readTrackPoints(const std::string& path, TrackFormat format, const TrackReadOptions& options,
                     const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    const InputFile input(path);
    counts.bytes = input.size();
    if (format == TrackFormat::gpx) {
        // GPX has no place for a mode: the mode field is for GeoJSON and CSV.
        readGpxFile(path, input.fd(), input.size(), options, sink, counts);
        return;
    }
    useGdal();
    const char* geojson[] = {"GeoJSON", nullptr};
    const char* csv[] = {"CSV", nullptr};
    // Every value as text, for the model's grammar: CSV columns are text
    // unless a type guess is asked for, GeoJSON dates need saying so.
    CPLStringList openOptions;
    if (format == TrackFormat::geojson) openOptions.SetNameValue("DATE_AS_STRING", "YES");
    if (format == TrackFormat::csv) openOptions.SetNameValue("AUTODETECT_TYPE", "NO");
    const std::string name = (format == TrackFormat::csv ? "CSV:" : "") + input.alias();
    CPLErrorReset();
    GDALDatasetUniquePtr dataset(GDALDataset::Open(name.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR,
                                                   format == TrackFormat::csv ? csv : geojson, openOptions.List(),
                                                   nullptr));
    if (!dataset) throw GisError(path, input.reason("GDAL cannot open it"));
    if (dataset->GetLayerCount() < 1) throw GisError(path, "holds no layer");
    OGRLayer& layer = *dataset->GetLayer(0);
    if (format == TrackFormat::csv)
        readCsvLayer(path, input, layer, options, sink, counts);
    else
        readGeometryLayer(path, input, layer, options, sink, counts);
}

}  // namespace gis
