#pragma once
// The default-data generator: writes a deterministic tree of raw trajectory
// recordings (users with label files and trajectory subdirectories) of a
// city's mobility: homes and workplaces in districts all over the box,
// commutes between them with morning and evening peaks, trips to the
// airport in the north-east, trains and subways along the railway lines,
// every track on the roads of the map image, with speeds that fit each mode
// and a few metres of GPS noise.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "model/Datapoint.h"

// Road pixels of an image of exactly the sample box, north up, linear in
// latitude and longitude. Brightness grows with the road's class.
class RoadRaster {
public:
    RoadRaster(int width, int height, std::vector<std::uint8_t> brightness);

    // Reads the map image: a pixel is road when a channel exceeds the flat
    // background (26, 29, 34) by more than 8, outside the attribution label
    // in the south-east corner. Throws std::runtime_error naming the file.
    static RoadRaster fromMapImage(const std::string& path);
    // Reads a one-channel mask (the railway mask beside the map): a pixel
    // is on the line when its grey value is 128 or more. Throws
    // std::runtime_error naming the file.
    static RoadRaster fromMaskImage(const std::string& path);

    int width() const { return width_; }
    int height() const { return height_; }
    // 0 off the road, otherwise how major the road is (1..255).
    std::uint8_t at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
        return brightness_[static_cast<std::size_t>(y) * width_ + x];
    }
    std::uint8_t at(double x, double y) const {
        return at(static_cast<int>(x < 0 ? -1 : x), static_cast<int>(y < 0 ? -1 : y));
    }
    std::int64_t roadPixels() const { return roadPixels_; }

    // Continuous pixel coordinates (x east, y south, pixel (i, j) covering
    // [i, i+1) x [j, j+1)) and degrees.
    double latitudeAt(double y) const;
    double longitudeAt(double x) const;
    double yOf(double latitude) const;
    double xOf(double longitude) const;
    double metresPerPixelX() const;
    double metresPerPixelY() const;

private:
    int width_;
    int height_;
    std::vector<std::uint8_t> brightness_;
    std::int64_t roadPixels_ = 0;
};

struct GeneratorOptions {
    std::uint64_t seed = 20081023;
    std::int64_t targetFixes = 2'000'000;  // stops after the trip that reaches it
};

// What the generated tree holds, as the importer will count it.
struct GeneratorReport {
    std::int64_t users = 0;
    std::int64_t labelFiles = 0;
    std::int64_t trajectoryFiles = 0;
    std::int64_t bytes = 0;
    std::int64_t lines = 0;    // fix lines
    std::int64_t inside = 0;   // fixes the frame filter keeps
    std::int64_t outside = 0;
    std::int64_t labelLines = 0;
    std::int64_t perMode[kModeCount] = {};  // kept fixes by mode, bit order
};

// Writes the tree under `root` (root/Data/NNN/labels.txt and
// root/Data/NNN/Trajectory/*.plt). Trains and subways run along `rails`, a
// raster of the same size as `roads`; without it they keep to the roads.
// Throws std::runtime_error when a file cannot be written or the rasters
// differ in size.
GeneratorReport generateTrajectoryTree(const RoadRaster& roads, const std::filesystem::path& root,
                                       const GeneratorOptions& options, const RoadRaster* rails = nullptr);
