#pragma once
// The GPX reader: a streaming XML parse (expat) of track and route points,
// their coordinates and times handed on as the file writes them. Internal to
// gis/ and its fuzz target.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "gis/Gis.h"

namespace gis {

// Reads the GPX document from the open file `fd` (`size` bytes, for
// progress), handing each <trkpt> and <rtept> to `sink` as it closes.
// Throws GisError naming `path` with the XML error and its line, or a
// document that is not GPX or declares entities; ReadCancelled when
// options.progress says stop.
void readGpxFile(const std::string& path, int fd, std::int64_t size, const TrackReadOptions& options,
                 const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts);

// The same from bytes in memory.
void readGpxText(const std::string& path, std::string_view content,
                 const std::function<void(const TrackPoint&)>& sink, TrackFileCounts& counts);

}  // namespace gis
