#include "gis/GdalSetup.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "gis/Gis.h"

namespace gis {

void useGdal() {
    static std::once_flag once;
    std::call_once(once, [] {
        // GDAL's messages go to the thread's last-error slot only; callers
        // turn failures into one line that names the file.
        CPLSetErrorHandler(CPLQuietErrorHandler);
        // A GeoTIFF holds its own metadata; a sidecar file beside a
        // temporary path would be left behind by the rename.
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        // The OSM driver's own node index needs ids that increase through
        // the file; extracts from editors and converters (negative new ids,
        // merged files) do not keep to that, and their roads would go
        // missing. The general index takes nodes in any order.
        CPLSetConfigOption("OSM_USE_CUSTOM_INDEXING", "NO");
        GDALAllRegister();
        // A basemap read decimated from a huge raster touches each block
        // once: caching 5% of the memory (GDAL's default) only holds a
        // gigabyte longer. The user's GDAL_CACHEMAX still wins.
        if (!CPLGetConfigOption("GDAL_CACHEMAX", nullptr)) GDALSetCacheMax64(std::int64_t{64} << 20);
    });
}

std::string gdalReason(const std::string& fallback) {
    std::string message = CPLGetLastErrorMsg();
    for (char& c : message)
        if (c == '\n' || c == '\r') c = ' ';
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message.empty() ? fallback : "GDAL: " + message;
}


namespace {

std::string oneLine(std::string message) {
    for (char& c : message)
        if (c == '\n' || c == '\r') c = ' ';
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message;
}

}  // namespace

GdalFailures::GdalFailures() {
    CPLErrorReset();
    CPLPushErrorHandlerEx(collect, this);
}

GdalFailures::~GdalFailures() { CPLPopErrorHandler(); }

void CPL_STDCALL GdalFailures::collect(CPLErr level, CPLErrorNum, const char* message) {
    auto* self = static_cast<GdalFailures*>(CPLGetErrorHandlerUserData());
    // The first failure is the cause; those after it are its echoes
    // ("An error occurred during the parsing of data around byte 230").
    if (self && level >= CE_Failure && self->first_.empty()) {
        self->first_ = oneLine(message ? message : "");
        if (self->first_.empty()) self->first_ = "an unnamed failure";
    }
}

std::string GdalFailures::reason(const std::string& fallback) const {
    return first_.empty() ? fallback : "GDAL: " + first_;
}

void requireReadable(const std::string& path) {
    if (path.rfind("/vsi", 0) == 0) return;
    // Without blocking, should it be a FIFO; the caller refuses those.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw GisError(path, std::strerror(errno));
    ::close(fd);
}

}  // namespace gis
