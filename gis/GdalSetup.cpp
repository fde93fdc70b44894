#include "gis/GdalSetup.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include <mutex>

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
    });
}

std::string gdalReason(const std::string& fallback) {
    std::string message = CPLGetLastErrorMsg();
    for (char& c : message)
        if (c == '\n' || c == '\r') c = ' ';
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message.empty() ? fallback : "GDAL: " + message;
}

}  // namespace gis
