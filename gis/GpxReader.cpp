// GPX read with expat rather than GDAL: GDAL's driver converts lat, lon and
// time itself (leniently, "39.9x" as 39.9, zones to quarter hours) and drops
// a point without a position before anyone sees it. Here the text goes to
// the model's grammar as written, and every point is seen.
#include "gis/GpxReader.h"

#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

namespace gis {

namespace {

// expat joins a namespace URI and a local name with this character.
constexpr char kNamespaceSeparator = '\x01';
constexpr std::size_t kChunk = 1 << 16;
// A time longer than this is unreadable anyway; only its start is kept for
// the message.
constexpr std::size_t kMaxTimeText = 256;
// Expat scans a token that is cut by the end of a buffer again from its
// start with every new buffer, so one huge tag or comment costs quadratic
// time (100 MB: a minute). No GPX file needs a token this long.
constexpr std::int64_t kMaxToken = std::int64_t{1} << 20;

enum class Kind { gpx, trk, trkseg, trkpt, rte, rtept, wpt, time, other };

constexpr std::string_view kGpx11 = "http://www.topografix.com/GPX/1/1";
constexpr std::string_view kGpx10 = "http://www.topografix.com/GPX/1/0";

// GPX 1.1's or 1.0's namespace. XML compares namespaces as written, but one
// written with a trailing slash (by hand, or by an exporter that does) can
// only mean GPX, and refusing it would refuse a good track for a character.
bool isGpxNamespace(std::string_view uri) {
    if (!uri.empty() && uri.back() == '/') uri.remove_suffix(1);
    return uri == kGpx11 || uri == kGpx10;
}

// Elements of GPX 1.0 or 1.1, or of no namespace; those of an extension's
// namespace are other elements, whatever their local name.
Kind kindOf(const char* name) {
    std::string_view full(name);
    std::string_view local = full;
    const auto separator = full.find(kNamespaceSeparator);
    if (separator != std::string_view::npos) {
        if (!isGpxNamespace(full.substr(0, separator))) return Kind::other;
        local = full.substr(separator + 1);
    }
    if (local == "gpx") return Kind::gpx;
    if (local == "trk") return Kind::trk;
    if (local == "trkseg") return Kind::trkseg;
    if (local == "trkpt") return Kind::trkpt;
    if (local == "rte") return Kind::rte;
    if (local == "rtept") return Kind::rtept;
    if (local == "wpt") return Kind::wpt;
    if (local == "time") return Kind::time;
    return Kind::other;
}

// XML Schema collapses the blanks around a dateTime.
std::string_view trimXmlBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

class GpxParse {
public:
    GpxParse(const std::string& path, const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts)
        : path_(path), sink_(sink), counts_(counts), parser_(XML_ParserCreateNS(nullptr, kNamespaceSeparator)) {
        if (!parser_) throw GisError(path_, "out of memory");
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &GpxParse::start, &GpxParse::end);
        XML_SetCharacterDataHandler(parser_.get(), &GpxParse::text);
        // Entity expansion is how small files become huge ones (and how
        // external files are pulled in): GPX needs none.
        XML_SetEntityDeclHandler(parser_.get(), &GpxParse::entity);
        // Everything else (comments, declarations, blanks outside the root)
        // still shows that the parse moves on.
        XML_SetDefaultHandlerExpand(parser_.get(), &GpxParse::other);
    }

    // Parses the next `size` bytes, which expat's buffer already holds.
    void parse(int size, bool last) {
        const XML_Status status = XML_ParseBuffer(parser_.get(), size, last);
        if (failure_) std::rethrow_exception(failure_);
        if (status != XML_STATUS_OK) {
            throw GisError(path_, "XML error at line " +
                                      std::to_string(XML_GetCurrentLineNumber(parser_.get())) + ": " +
                                      XML_ErrorString(XML_GetErrorCode(parser_.get())));
        }
        fed_ += size;
        if (fed_ - lastEvent_ > kMaxToken)
            throw GisError(path_, "has an XML tag, attribute or comment over 1 MiB long, from byte " +
                                      std::to_string(lastEvent_) + ": no GPX file needs one");
    }

    void* buffer(int size) {
        void* space = XML_GetBuffer(parser_.get(), size);
        if (!space) throw GisError(path_, "out of memory");
        return space;
    }

private:
    struct ParserFree {
        void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
    };

    // Where the parse last got to: the start of the event expat reports.
    void moved() { lastEvent_ = XML_GetCurrentByteIndex(parser_.get()); }

    static void start(void* self, const char* name, const char** attributes) {
        static_cast<GpxParse*>(self)->moved();
        static_cast<GpxParse*>(self)->guard([&](GpxParse& p) { p.open(name, attributes); });
    }
    static void end(void* self, const char*) {
        static_cast<GpxParse*>(self)->moved();
        static_cast<GpxParse*>(self)->guard([](GpxParse& p) { p.close(); });
    }
    static void other(void* self, const char*, int) { static_cast<GpxParse*>(self)->moved(); }
    static void text(void* self, const char* data, int length) {
        auto& p = *static_cast<GpxParse*>(self);
        p.moved();
        if (p.inTime_ && p.time_.size() < kMaxTimeText)
            p.time_.append(data, std::min<std::size_t>(static_cast<std::size_t>(length), kMaxTimeText - p.time_.size()));
    }
    static void entity(void* self, const char*, int, const char*, int, const char*, const char*, const char*,
                       const char*) {
        static_cast<GpxParse*>(self)->stop(GisError(static_cast<GpxParse*>(self)->path_,
                                                    "declares an XML entity, which a GPX file has no use for"));
    }

    // The sink may throw: the exception waits until expat has returned.
    template <typename Step>
    void guard(Step step) {
        if (failure_) return;
        try {
            step(*this);
        } catch (...) {
            failure_ = std::current_exception();
            XML_StopParser(parser_.get(), XML_FALSE);
        }
    }
    template <typename Error>
    void stop(const Error& error) {
        if (failure_) return;
        failure_ = std::make_exception_ptr(error);
        XML_StopParser(parser_.get(), XML_FALSE);
    }

    void open(const char* name, const char** attributes) {
        const Kind parent = stack_.empty() ? Kind::other : stack_.back();
        Kind kind = kindOf(name);
        if (stack_.empty() && kind != Kind::gpx) {
            std::string root(name);
            const auto separator = root.find(kNamespaceSeparator);
            if (separator != std::string::npos) {
                const std::string uri = root.substr(0, separator);
                root.erase(0, separator + 1);
                // <gpx> of another namespace: say which, and which was expected.
                if (root == "gpx")
                    throw GisError(path_, "is not a GPX file: its root element <gpx> is in the namespace \"" + uri +
                                              "\", not GPX 1.1's \"" + std::string(kGpx11) + "\" (or 1.0's)");
            }
            throw GisError(path_, "is not a GPX file: its root element is <" + root + ">");
        }
        // An element counts only in its place: a <trkpt> inside an
        // extension, say, is not a track point.
        const bool placed = (kind == Kind::gpx && stack_.empty()) ||
                            ((kind == Kind::trk || kind == Kind::rte || kind == Kind::wpt) && parent == Kind::gpx) ||
                            (kind == Kind::trkseg && parent == Kind::trk) ||
                            (kind == Kind::trkpt && parent == Kind::trkseg) ||
                            (kind == Kind::rtept && parent == Kind::rte) ||
                            (kind == Kind::time && (parent == Kind::trkpt || parent == Kind::rtept) && !timeSeen_);
        if (!placed) kind = Kind::other;
        stack_.push_back(kind);
        switch (kind) {
            case Kind::trk:
                ++track_;
                segment_ = 0;
                break;
            case Kind::trkseg:
                ++segment_;
                trackPoint_ = 0;
                break;
            case Kind::rte:
                ++route_;
                routePoint_ = 0;
                break;
            case Kind::wpt:
                ++counts_.ignored;  // a waypoint is no fix of the recording
                break;
            case Kind::trkpt:
                ++trackPoint_;
                beginPoint("track " + std::to_string(track_) + ", segment " + std::to_string(segment_) + ", point " +
                               std::to_string(trackPoint_),
                           attributes);
                point_.track = std::to_string(track_) + "/" + std::to_string(segment_);
                break;
            case Kind::rtept:
                ++routePoint_;
                beginPoint("route " + std::to_string(route_) + ", point " + std::to_string(routePoint_), attributes);
                point_.track = "route " + std::to_string(route_);
                break;
            case Kind::time:
                inTime_ = true;
                timeSeen_ = true;
                break;
            case Kind::gpx:
            case Kind::other:
                break;
        }
    }

    void beginPoint(std::string place, const char** attributes) {
        point_ = TrackPoint();
        point_.place = std::move(place);
        for (const char** a = attributes; a[0]; a += 2) {
            if (std::strcmp(a[0], "lat") == 0) point_.latitude = a[1];
            if (std::strcmp(a[0], "lon") == 0) point_.longitude = a[1];
        }
        time_.clear();
        timeSeen_ = false;
    }

    void close() {
        const Kind kind = stack_.back();
        stack_.pop_back();
        if (kind == Kind::time) {
            inTime_ = false;
            return;
        }
        if (kind != Kind::trkpt && kind != Kind::rtept) return;
        const std::string_view written = trimXmlBlanks(time_);
        if (written.empty()) {
            point_.time = TrackTime();  // missing
        } else {
            point_.time = parseIsoTime(written);
        }
        ++counts_.points;
        sink_(point_);
        timeSeen_ = false;
    }

    const std::string& path_;
    const std::function<void(const TrackPoint&)>& sink_;
    TrackFileCounts& counts_;
    std::unique_ptr<XML_ParserStruct, ParserFree> parser_;
    std::exception_ptr failure_;
    std::int64_t fed_ = 0;        // bytes handed to expat
    std::int64_t lastEvent_ = 0;  // byte where its last reported event began
    std::vector<Kind> stack_;
    std::int64_t track_ = 0, segment_ = 0, trackPoint_ = 0, route_ = 0, routePoint_ = 0;
    TrackPoint point_;
    std::string time_;
    bool inTime_ = false;
    bool timeSeen_ = false;
};

}  // namespace

void readGpxFile(const std::string& path, int fd, std::int64_t size, const TrackReadOptions& options,
                 const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    GpxParse parse(path, sink, counts);
    std::int64_t done = 0;
    for (;;) {
        auto* space = static_cast<char*>(parse.buffer(static_cast<int>(kChunk)));
        ssize_t got = 0;
        do got = ::read(fd, space, kChunk);
        while (got < 0 && errno == EINTR);
        if (got < 0) throw GisError(path, std::strerror(errno));
        parse.parse(static_cast<int>(got), got == 0);
        if (got == 0) break;
        done += got;
        if (options.progress && !options.progress(done, size)) throw ReadCancelled();
    }
}

void readGpxText(const std::string& path, std::string_view content,
                 const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts) {
    GpxParse parse(path, sink, counts);
    while (true) {
        const std::size_t size = std::min(content.size(), kChunk);
        std::memcpy(parse.buffer(static_cast<int>(kChunk)), content.data(), size);
        content.remove_prefix(size);
        parse.parse(static_cast<int>(size), size == 0);
        if (size == 0) break;
    }
}

}  // namespace gis
