#pragma once
// The one place that prepares GDAL for this program. Internal to gis/.
#include <cpl_error.h>

#include <string>

namespace gis {

// Registers the drivers and sets the configuration once per process: no
// sidecar ".aux.xml" files, OpenStreetMap nodes indexed whatever the order
// of their ids, a 64 MB block cache unless GDAL_CACHEMAX says otherwise,
// and no messages printed by GDAL itself (each
// failure is reported by the caller with gdalReason).
void useGdal();

// GDAL's message for the last failure on this thread, on one line, or
// `fallback` when GDAL left none.
std::string gdalReason(const std::string& fallback);

// Every failure GDAL reports on this thread while it lives, kept: drivers
// such as OSM's report a parse error and carry on, and later calls clear
// the last-error slot, so the last error alone loses it.
class GdalFailures {
public:
    GdalFailures();
    ~GdalFailures();
    GdalFailures(const GdalFailures&) = delete;
    GdalFailures& operator=(const GdalFailures&) = delete;

    bool any() const { return !first_.empty(); }
    // "GDAL: " and the first failure's message on one line, or `fallback`
    // when there was none.
    std::string reason(const std::string& fallback) const;

private:
    static void CPL_STDCALL collect(CPLErr level, CPLErrorNum number, const char* message);
    std::string first_;
};

// Throws GisError with the system's reason ("No such file or directory")
// when `path` cannot be opened for reading; GDAL's own word for that is
// only that no driver recognises it. GDAL's virtual paths (/vsi...) pass.
void requireReadable(const std::string& path);

}  // namespace gis
