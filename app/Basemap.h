#pragma once
// The map under a frame other than the shipped map's: made from a
// georeferenced raster or an OpenStreetMap extract the user names, once, and
// kept beside the samples so the next open shows it at once.
#include <atomic>
#include <string>
#include <vector>

#include "model/GeoFrame.h"
#include "render/ImageLevels.h"

struct Basemap {
    ImageLevels image;        // no levels when it could not be made
    std::string attribution;  // "Map data © OpenStreetMap contributors", or the raster's name
    std::string problem;      // one line: "\"x.tif\": does not overlap the frame"
    // Lines for the console: a cache that could not be read or written (the
    // map is still made and used).
    std::vector<std::string> notes;
    bool cancelled = false;   // stopped on request: neither made nor kept
};

// The basemap of `source` for `frame`, `width` x `height` pixels (the
// frame's shape). When `samplesPath` names a file, the picture is cached
// beside it as SAMPLES.basemap.png with SAMPLES.basemap.txt saying what it
// was made from (source path, size, modification time, frame, size), and a
// cache that matches is read instead of making it again. Needs no GL
// context: runs on a worker thread. Setting `*cancel` stops it soon (between
// features, segments and raster chunks) with `cancelled` set.
Basemap makeBasemap(const std::string& source, const GeoFrame& frame, int width, int height,
                    const std::string& samplesPath, const std::atomic<bool>* cancel = nullptr);
