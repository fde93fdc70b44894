#pragma once
// The one place that prepares GDAL for this program. Internal to gis/.
#include <string>

namespace gis {

// Registers the drivers and sets the configuration once per process: no
// sidecar ".aux.xml" files, OpenStreetMap nodes indexed whatever the order
// of their ids, and no messages printed by GDAL itself (each
// failure is reported by the caller with gdalReason).
void useGdal();

// GDAL's message for the last failure on this thread, on one line, or
// `fallback` when GDAL left none.
std::string gdalReason(const std::string& fallback);

}  // namespace gis
