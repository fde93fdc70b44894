// The basemap of another city's frame: drawn from an OpenStreetMap extract,
// kept beside the samples and read back while what it was made from stays
// the same; a source that cannot be used gives its reason.
#include <gtest/gtest.h>

#include <stb_image_write.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "app/Basemap.h"
#include "tests/TempDir.h"

namespace {

constexpr const char* kRoad = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="trackora-test">
  <node id="1" version="1" lat="-12.1" lon="-77.2"/>
  <node id="2" version="1" lat="-12.1" lon="-76.8"/>
  <way id="10" version="1"><nd ref="1"/><nd ref="2"/><tag k="highway" v="motorway"/></way>
</osm>
)";

// The pixel of a level-0 image (bottom row first) at column x, row y from the top.
const unsigned char* pixel(const ImageLevels& image, int x, int y) {
    const int height = image.heights[0];
    return &image.levels[0][(static_cast<std::size_t>(height - 1 - y) * image.widths[0] + x) * 4];
}

TEST(Basemap, DrawnOnceKeptBesideTheSamplesAndMadeAgainWhenTheSourceChanges) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kRoad);
    const std::string samples = dir.write("lima.bin", "");
    const GeoFrame lima{-12.3, -77.2, -11.9, -76.8};
    const Basemap first = makeBasemap(extract, lima, 64, 64, samples);
    ASSERT_FALSE(first.image.levels.empty()) << first.problem;
    EXPECT_EQ(first.attribution, "Map data \xC2\xA9 OpenStreetMap contributors");
    // The motorway at 12.1 S lies half-way down; the ground elsewhere.
    const unsigned char* road = pixel(first.image, 32, 32);
    const unsigned char* ground = pixel(first.image, 32, 5);
    EXPECT_NE(std::vector<unsigned char>(road, road + 3), std::vector<unsigned char>(ground, ground + 3));
    ASSERT_TRUE(std::filesystem::exists(samples + ".basemap.png"));

    // A cache that matches is read, not drawn again: painted over, it comes back painted.
    const std::vector<unsigned char> white(64 * 64 * 4, 255);
    ASSERT_TRUE(stbi_write_png((samples + ".basemap.png").c_str(), 64, 64, 4, white.data(), 64 * 4));
    EXPECT_EQ(pixel(makeBasemap(extract, lima, 64, 64, samples).image, 32, 32)[0], 255);
    // Another source (or frame) draws it again.
    dir.write("lima.osm", std::string(kRoad) + "\n");
    EXPECT_NE(pixel(makeBasemap(extract, lima, 64, 64, samples).image, 32, 5)[0], 255);

    const Basemap missing = makeBasemap((dir.root() / "none.tif").string(), lima, 64, 64, samples);
    EXPECT_TRUE(missing.image.levels.empty());
    EXPECT_NE(missing.problem.find("none.tif"), std::string::npos) << missing.problem;
}

// Whatever lies where the cache's stamp should be, the basemap is made
// without hanging or reading without end, and the console is told why.
TEST(Basemap, UnusableCacheStampIsNamedAndTheBasemapMadeAgain) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kRoad);
    const GeoFrame lima{-12.3, -77.2, -11.9, -76.8};
    struct Case {
        const char* name;
        void (*plant)(const std::string& stamp);
        const char* reason;
    } cases[] = {
        {"fifo", [](const std::string& stamp) { ASSERT_EQ(::mkfifo(stamp.c_str(), 0600), 0); }, "FIFO"},
        {"device", [](const std::string& stamp) { std::filesystem::create_symlink("/dev/zero", stamp); },
         "character device"},
        {"long", [](const std::string& stamp) { std::ofstream(stamp) << std::string(100000, 'x'); }, "bytes long"},
    };
    for (const Case& c : cases) {
        const std::string samples = dir.write(std::string(c.name) + ".bin", "");
        const std::string stamp = samples + ".basemap.png.txt";
        c.plant(stamp);
        auto job = std::async(std::launch::async, [&] { return makeBasemap(extract, lima, 64, 64, samples); });
        if (job.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            // Let a reader stuck on the FIFO go before failing.
            const int writer = ::open(stamp.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) ::close(writer);
            ADD_FAILURE() << c.name << ": the cache's stamp was read without end";
        }
        const Basemap basemap = job.get();
        EXPECT_FALSE(basemap.image.levels.empty()) << c.name << ": " << basemap.problem;
        ASSERT_FALSE(basemap.notes.empty()) << c.name;
        EXPECT_NE(basemap.notes[0].find(stamp), std::string::npos) << basemap.notes[0];
        EXPECT_NE(basemap.notes[0].find(c.reason), std::string::npos) << basemap.notes[0];
        // A long file is replaced by a sound cache, read at the next open; a
        // FIFO or a device is the user's and is left alone (the write says so).
        struct stat status {};
        ASSERT_EQ(::lstat(stamp.c_str(), &status), 0) << c.name;
        if (S_ISREG(status.st_mode))
            EXPECT_TRUE(makeBasemap(extract, lima, 64, 64, samples).notes.empty()) << c.name;
        else
            EXPECT_EQ(basemap.notes.size(), 2u) << c.name << ": the cache could not be kept and said nothing";
    }
}

// A basemap cancelled (the viewer closing, another chosen) stops with
// nothing made or kept, so a later open does not show half a map.
TEST(Basemap, CancelledIsNeitherMadeNorKept) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kRoad);
    const std::string samples = dir.write("lima.bin", "");
    const std::atomic<bool> cancel{true};
    const Basemap basemap = makeBasemap(extract, GeoFrame{-12.3, -77.2, -11.9, -76.8}, 64, 64, samples, &cancel);
    EXPECT_TRUE(basemap.cancelled);
    EXPECT_TRUE(basemap.image.levels.empty());
    EXPECT_FALSE(std::filesystem::exists(samples + ".basemap.png"));
    EXPECT_FALSE(std::filesystem::exists(samples + ".basemap.png.txt"));
}

}  // namespace
