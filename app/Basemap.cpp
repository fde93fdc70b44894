#include "app/Basemap.h"

#include <stb_image_write.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

#include "gis/Gis.h"
#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "gis/MapRaster.h"

namespace fs = std::filesystem;

namespace {

// A stamp is a few short lines; anything longer is not one of ours.
constexpr std::size_t kStampBytes = 4096;

constexpr const char* kOsmAttribution = "Map data \xC2\xA9 OpenStreetMap contributors";

// What the cached picture was made from; a cache with other words is stale.
std::string stampOf(const std::string& source, const GeoFrame& frame, int width, int height) {
    std::error_code error;
    const fs::path absolute = fs::absolute(source, error);
    const auto size = fs::file_size(source, error);
    const auto time = fs::last_write_time(source, error).time_since_epoch().count();
    std::ostringstream stamp;
    stamp << "source " << absolute.string() << "\nsize " << size << "\nmodified " << time << "\nframe "
          << frameText(frame) << "\npixels " << width << "x" << height << "\n";
    return stamp.str();
}

// The cached stamp, or nothing (with the reason in `why` unless there is
// simply none). Opened without blocking and checked before reading: a FIFO
// left there would hang the viewer, a link to a device would never end.
std::optional<std::string> readStamp(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) why = systemReason(errno);
        return std::nullopt;
    }
    struct stat status {};
    char buffer[kStampBytes + 1];
    std::size_t filled = 0;
    if (::fstat(fd, &status) != 0) {
        why = systemReason(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why = notRegularFileReason(status.st_mode);
    } else {
        // One byte more than a stamp may hold tells a file that is too long.
        while (filled < sizeof buffer) {
            const ssize_t got = ::read(fd, buffer + filled, sizeof buffer - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) why = systemReason(errno);
            if (got <= 0) break;
            filled += static_cast<std::size_t>(got);
        }
        if (why.empty() && filled > kStampBytes) why = "over " + std::to_string(kStampBytes) + " bytes long";
    }
    ::close(fd);
    if (!why.empty()) return std::nullopt;
    return std::string(buffer, filled);
}

// Roads and railways drawn as the shipped map draws them: the same ground,
// classes, widths (scaled from its 4096 pixels) and drawing order.
std::vector<unsigned char> drawWays(const std::vector<gis::MapWay>& ways, const GeoFrame& frame, int width,
                                    int height, const std::function<bool()>& cancelled) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = mapgen::kBackground.r;
        rgb[i + 1] = mapgen::kBackground.g;
        rgb[i + 2] = mapgen::kBackground.b;
    }
    const double scale = std::max(width, height) / 4096.0;
    const auto project = [&](const std::pair<double, double>& point) {
        return mapgen::PixelPoint{(point.second - frame.west) / (frame.east - frame.west) * width,
                                  (frame.north - point.first) / (frame.north - frame.south) * height};
    };
    mapgen::Coverage coverage(width, height);
    for (int layer = 0; layer < mapgen::kLayerCount; ++layer) {
        mapgen::Rgb colour{};
        bool drawn = false;
        for (const gis::MapWay& way : ways) {
            const mapgen::RoadStyle style = mapgen::styleOf(way.roadClass);
            if (style.layer != layer) continue;
            colour = style.colour;
            drawn = true;
            for (std::size_t k = 1; k < way.points.size(); ++k) {
                if (cancelled()) throw gis::ReadCancelled();
                mapgen::drawSegment(coverage, project(way.points[k - 1]), project(way.points[k]),
                                    std::max(1.0, style.width * scale));
            }
        }
        if (drawn) mapgen::composite(rgb, coverage, colour);
    }
    std::vector<unsigned char> rgba(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t p = 0, n = static_cast<std::size_t>(width) * height; p < n; ++p) {
        std::copy_n(&rgb[p * 3], 3, &rgba[p * 4]);
        rgba[p * 4 + 3] = 255;
    }
    return rgba;
}

// A raster's picture over the shipped map's ground where it has nothing.
std::vector<unsigned char> onGround(gis::RgbaImage image) {
    for (std::size_t p = 0; p < image.rgba.size(); p += 4) {
        const unsigned alpha = image.rgba[p + 3];
        const mapgen::Rgb ground = mapgen::kBackground;
        const unsigned char groundRgb[3] = {ground.r, ground.g, ground.b};
        for (int c = 0; c < 3; ++c)
            image.rgba[p + static_cast<std::size_t>(c)] =
                static_cast<unsigned char>((image.rgba[p + static_cast<std::size_t>(c)] * alpha +
                                            groundRgb[c] * (255 - alpha) + 127) / 255);
        image.rgba[p + 3] = 255;
    }
    return std::move(image.rgba);
}

void appendBytes(void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    bytes->insert(bytes->end(), static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + size);
}

}  // namespace

Basemap makeBasemap(const std::string& source, const GeoFrame& frame, int width, int height,
                    const std::string& samplesPath, const std::atomic<bool>* cancel) {
    Basemap basemap;
    const std::function<bool()> cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };
    const bool osm = gis::isOsmExtract(source);
    basemap.attribution = osm ? kOsmAttribution : "Basemap: " + echoPath(fs::path(source).filename().string());
    const std::string cache = samplesPath.empty() ? std::string() : samplesPath + ".basemap.png";
    const std::string stamp = stampOf(source, frame, width, height);
    if (!cache.empty()) {
        std::string why;
        const std::optional<std::string> cached = readStamp(cache + ".txt", why);
        if (!why.empty()) {
            basemap.notes.push_back("The cached basemap's \"" + echoPath(cache + ".txt") + "\" is not read (" +
                                    echoText(why, kReasonCharacters) + "); the basemap is made again");
        } else if (cached == stamp) {
            struct stat picture {};
            if (::stat(cache.c_str(), &picture) == 0 && !S_ISREG(picture.st_mode)) {
                basemap.notes.push_back("The cached basemap \"" + echoPath(cache) + "\" is not read (" +
                                        notRegularFileReason(picture.st_mode) + "); the basemap is made again");
            } else {
                basemap.image = decodeImageLevels(cache);
                if (!basemap.image.levels.empty()) return basemap;
            }
        }
    }
    std::vector<unsigned char> rgba;  // first row north
    try {
        refuseIrregularFile(source);
        const gis::BasemapFrame box{frame.south, frame.west, frame.north, frame.east};
        rgba = osm ? drawWays(gis::readOsmWays(source, box, cancelled), frame, width, height, cancelled)
                   : onGround(gis::warpRaster(source, box, width, height, cancelled));
    } catch (const gis::ReadCancelled&) {
        basemap.cancelled = true;
        basemap.problem = pathMessage(source, "cancelled");
        return basemap;
    } catch (const std::exception& error) {
        basemap.problem = echoText(error.what(), kReasonCharacters);
        return basemap;
    }
    if (!cache.empty()) {
        try {
            std::vector<unsigned char> png;
            if (!stbi_write_png_to_func(appendBytes, &png, width, height, 4, rgba.data(), width * 4))
                throw std::runtime_error("the PNG encoder failed");
            OutputFile picture(cache);
            picture.write(png.data(), png.size());
            picture.commit();
            OutputFile words(cache + ".txt");
            words.write(stamp.data(), stamp.size());
            words.commit();
        } catch (const std::exception& error) {
            basemap.notes.push_back("The basemap is not kept beside the samples: " +
                                    echoText(error.what(), kReasonCharacters));
        }
    }
    // GL's first row is the south one; flipped in place, as a basemap sharp
    // to 8x zoom is some 160 MB.
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height / 2; ++y)
        std::swap_ranges(rgba.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y) * row),
                         rgba.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y + 1) * row),
                         rgba.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(height - 1 - y) * row));
    basemap.image = imageLevelsOf(std::move(rgba), width, height);
    return basemap;
}
