// Basemaps for any frame: an OpenStreetMap extract's roads and railways, and
// a georeferenced raster warped onto the frame, read through GDAL.
#include <gtest/gtest.h>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <functional>
#include <string>
#include <vector>

#include "gis/Gis.h"
#include "tests/TempDir.h"

namespace {

const gis::BasemapFrame kLima{-12.3, -77.2, -11.9, -76.8};

// A small extract written by hand: a primary road and a railway crossing in
// Lima, a road in Beijing and a river.
constexpr const char* kExtract = R"(<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="trackora-test">
  <node id="1" version="1" lat="-12.05" lon="-77.10"/>
  <node id="2" version="1" lat="-12.05" lon="-77.00"/>
  <node id="3" version="1" lat="-12.10" lon="-77.05"/>
  <node id="4" version="1" lat="-12.00" lon="-77.05"/>
  <node id="5" version="1" lat="40.0" lon="116.3"/>
  <node id="6" version="1" lat="40.0" lon="116.4"/>
  <way id="10" version="1"><nd ref="1"/><nd ref="2"/><tag k="highway" v="primary"/></way>
  <way id="11" version="1"><nd ref="3"/><nd ref="4"/><tag k="railway" v="rail"/></way>
  <way id="12" version="1"><nd ref="5"/><nd ref="6"/><tag k="highway" v="primary"/></way>
  <way id="13" version="1"><nd ref="1"/><nd ref="3"/><tag k="waterway" v="river"/></way>
</osm>
)";

TEST(Basemap, ExtractGivesTheRoadsAndRailwaysInTheFrame) {
    TempDir dir;
    const std::string extract = dir.write("lima.osm", kExtract);
    EXPECT_TRUE(gis::isOsmExtract(extract));
    EXPECT_TRUE(gis::isOsmExtract("x.OSM.PBF"));
    EXPECT_FALSE(gis::isOsmExtract("x.tif"));
    const std::vector<gis::MapWay> ways = gis::readOsmWays(extract, kLima);
    ASSERT_EQ(ways.size(), 2u);
    EXPECT_EQ(ways[0].roadClass, "primary");
    EXPECT_FALSE(ways[0].railway);
    ASSERT_EQ(ways[0].points.size(), 2u);
    EXPECT_NEAR(ways[0].points[0].first, -12.05, 1e-9);  // latitude first
    EXPECT_NEAR(ways[0].points[0].second, -77.10, 1e-9);
    EXPECT_TRUE(ways[1].railway);
    // Beijing's frame holds only the other road; a frame with none is refused.
    EXPECT_EQ(gis::readOsmWays(extract, gis::BasemapFrame{39.75, 116.15, 40.1, 116.6}).size(), 1u);
    EXPECT_THROW(gis::readOsmWays(extract, gis::BasemapFrame{10.0, 10.0, 11.0, 11.0}), gis::GisError);
}

// Extracts as editors and converters write them: node ids that decrease
// (new objects get negative ids, -1, -2, ...) or come in no order. Every
// road must come through, not just those whose nodes happen to be in order.
TEST(Basemap, ExtractWithNodeIdsOutOfOrderGivesEveryRoad) {
    TempDir dir;
    struct Case {
        const char* name;
        int ids[6];
    } cases[] = {
        {"decreasing.osm", {-1, -2, -3, -4, -5, -6}},
        {"descending.osm", {600, 500, 400, 300, 200, 100}},
        {"shuffled.osm", {30, 10, 60, 20, 50, 40}},
    };
    for (const Case& c : cases) {
        const double lat[6] = {-12.05, -12.05, -12.10, -12.00, -12.20, -12.15};
        const double lon[6] = {-77.10, -77.00, -77.05, -77.05, -76.95, -76.90};
        std::string osm = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<osm version=\"0.6\" generator=\"test\">\n";
        for (int i = 0; i < 6; ++i)
            osm += "  <node id=\"" + std::to_string(c.ids[i]) + "\" version=\"1\" lat=\"" + std::to_string(lat[i]) +
                   "\" lon=\"" + std::to_string(lon[i]) + "\"/>\n";
        const auto way = [&](int id, int a, int b, const char* tag) {
            return "  <way id=\"" + std::to_string(id) + "\" version=\"1\"><nd ref=\"" + std::to_string(c.ids[a]) +
                   "\"/><nd ref=\"" + std::to_string(c.ids[b]) + "\"/>" + tag + "</way>\n";
        };
        osm += way(-10, 0, 1, "<tag k=\"highway\" v=\"primary\"/>");
        osm += way(-11, 2, 3, "<tag k=\"railway\" v=\"rail\"/>");
        osm += way(-12, 4, 5, "<tag k=\"highway\" v=\"residential\"/>");
        osm += "</osm>\n";
        const std::vector<gis::MapWay> ways = gis::readOsmWays(dir.write(c.name, osm), kLima);
        ASSERT_EQ(ways.size(), 3u) << c.name;
        int railways = 0;
        for (const gis::MapWay& w : ways) {
            ASSERT_EQ(w.points.size(), 2u) << c.name;
            railways += w.railway ? 1 : 0;
            for (const auto& [latitude, longitude] : w.points) {
                EXPECT_LT(latitude, -11.9) << c.name;  // real places, not a node left at 0,0
                EXPECT_LT(longitude, -76.8) << c.name;
            }
        }
        EXPECT_EQ(railways, 1) << c.name;
    }
}

// A broken extract is refused with GDAL's own reason in the one line.
TEST(Basemap, BrokenExtractNamesGdalsReason) {
    TempDir dir;
    const std::string path = dir.write("broken.osm", "<?xml version=\"1.0\"?>\n<osm version=\"0.6\">\n"
                                                     "  <node id=\"1\" lat=\"-12.05\" lon=\"-77.10\"/>\n  <way id=\"2\"><nd");
    try {
        gis::readOsmWays(path, kLima);
        FAIL() << "a truncated extract was read";
    } catch (const gis::GisError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("broken.osm"), std::string::npos) << message;
        EXPECT_NE(message.find("GDAL: "), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

// A 4 x 4 GeoTIFF over the western half of Lima's frame, red: warped onto
// the frame it fills the western half and leaves the eastern one clear.
TEST(Basemap, RasterIsWarpedOntoTheFrameAndMustOverlapIt) {
    TempDir dir;
    const std::string tif = (dir.root() / "west.tif").string();
    GDALAllRegister();
    {
        GDALDatasetUniquePtr raster(
            GetGDALDriverManager()->GetDriverByName("GTiff")->Create(tif.c_str(), 4, 4, 3, GDT_Byte, nullptr));
        double transform[6] = {-77.2, 0.05, 0.0, -11.9, 0.0, -0.1};  // the western half
        raster->SetGeoTransform(transform);
        OGRSpatialReference wgs84;
        wgs84.importFromEPSG(4326);
        raster->SetSpatialRef(&wgs84);
        std::vector<unsigned char> red(16, 200), none(16, 0);
        ASSERT_EQ(raster->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, 4, 4, red.data(), 4, 4, GDT_Byte, 0, 0, nullptr),
                  CE_None);
        ASSERT_EQ(raster->GetRasterBand(2)->RasterIO(GF_Write, 0, 0, 4, 4, none.data(), 4, 4, GDT_Byte, 0, 0, nullptr),
                  CE_None);
        ASSERT_EQ(raster->GetRasterBand(3)->RasterIO(GF_Write, 0, 0, 4, 4, none.data(), 4, 4, GDT_Byte, 0, 0, nullptr),
                  CE_None);
    }
    const gis::RgbaImage image = gis::warpRaster(tif, kLima, 40, 40);
    ASSERT_EQ(image.rgba.size(), 40u * 40u * 4u);
    const auto pixel = [&](int x, int y, int c) { return image.rgba[(static_cast<std::size_t>(y) * 40 + x) * 4 + c]; };
    EXPECT_EQ(pixel(5, 20, 3), 255);   // west: covered
    EXPECT_GT(pixel(5, 20, 0), 150);   // and red
    EXPECT_EQ(pixel(35, 20, 3), 0);    // east: nothing
    EXPECT_THROW(gis::warpRaster(tif, gis::BasemapFrame{39.75, 116.15, 40.1, 116.6}, 40, 40), gis::GisError);
    // Without a georeference there is nowhere to put it.
    const std::string plain = (dir.root() / "plain.png").string();
    {
        GDALDatasetUniquePtr memory(GetGDALDriverManager()->GetDriverByName("MEM")->Create("", 4, 4, 1, GDT_Byte, nullptr));
        GDALDatasetUniquePtr png(GetGDALDriverManager()->GetDriverByName("PNG")->CreateCopy(plain.c_str(), memory.get(),
                                                                                          FALSE, nullptr, nullptr, nullptr));
    }
    try {
        gis::warpRaster(plain, kLima, 40, 40);
        ADD_FAILURE() << "a raster without a georeference was warped";
    } catch (const gis::GisError& error) {
        EXPECT_NE(error.reason().find("has no georeference"), std::string::npos) << error.reason();
    }
}

// Whatever stops GDAL part-way through a source, its own reason (or the
// system's, for a file that is not there) reaches the one line; none of
// them passes for an extract without roads.
TEST(Basemap, EveryUnreadableSourceNamesItsReason) {
    TempDir dir;
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE osm [\n<!ENTITY l0 \"laughlaughlaugh\">\n";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    const std::string road = " <node id=\"1\" lat=\"-12.05\" lon=\"-77.10\"/>\n"
                             " <node id=\"2\" lat=\"-12.05\" lon=\"-77.0\"/>\n"
                             " <way id=\"3\"><nd ref=\"1\"/><nd ref=\"2\"/><tag k=\"highway\" v=\"primary\"/>";
    laughs += "]>\n<osm version=\"0.6\">\n" + road + "<tag k=\"x\" v=\"&l9;\"/></way>\n</osm>\n";
    struct Case {
        const char* name;
        std::string content;  // nothing written when empty
        const char* reason;
    } cases[] = {
        {"truncated.osm", "<?xml version=\"1.0\"?>\n<osm version=\"0.6\">\n" + road + "</way>\n <way id=\"4\"><nd",
         "GDAL: XML parsing of OSM file failed"},
        {"laughs.osm", laughs, "GDAL: XML parsing of OSM file failed"},
        {"long-tag.osm",
         "<?xml version=\"1.0\"?>\n<osm version=\"0.6\">\n" + road + "<tag k=\"note\" v=\"" +
             std::string(3 << 20, 'x') + "\"/></way>\n</osm>\n",
         "GDAL: Too much data inside one element"},
        {"corrupt.osm.pbf", std::string("\0\0\0\x0d\x0a\x09OSMHeader\x18\xff\xff\x0f", 19) + std::string(2000, '\x5a'),
         "GDAL: "},
        {"missing.osm", "", "No such file or directory"},
        {"missing.tif", "", "No such file or directory"},
    };
    for (const Case& c : cases) {
        const std::string path = c.content.empty() ? (dir.root() / c.name).string() : dir.write(c.name, c.content);
        try {
            if (gis::isOsmExtract(path))
                gis::readOsmWays(path, kLima);
            else
                gis::warpRaster(path, kLima, 16, 16);
            ADD_FAILURE() << c.name << " was read";
        } catch (const gis::GisError& error) {
            EXPECT_NE(error.reason().find(c.reason), std::string::npos) << c.name << ": " << error.reason();
            EXPECT_EQ(error.reason().find('\n'), std::string::npos) << error.reason();
        }
    }
}

// A raster far finer than the picture is read decimated, yet lands where
// it belongs; and a cancel stops either kind of source with ReadCancelled.
TEST(Basemap, FineRasterIsReadDecimatedAndEitherSourceStopsWhenCancelled) {
    TempDir dir;
    const std::string tif = (dir.root() / "fine.tif").string();
    GDALAllRegister();
    {
        // 2000 x 2000 pixels over the western half of the frame, 3 bands:
        // red, then nothing in green and blue.
        char** options = CSLSetNameValue(nullptr, "TILED", "YES");
        GDALDatasetUniquePtr raster(
            GetGDALDriverManager()->GetDriverByName("GTiff")->Create(tif.c_str(), 2000, 2000, 3, GDT_Byte, options));
        CSLDestroy(options);
        double transform[6] = {-77.2, 0.2 / 2000, 0.0, -11.9, 0.0, -0.4 / 2000};
        raster->SetGeoTransform(transform);
        OGRSpatialReference wgs84;
        wgs84.importFromEPSG(4326);
        raster->SetSpatialRef(&wgs84);
        std::vector<unsigned char> red(2000 * 2000, 200);
        ASSERT_EQ(raster->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, 2000, 2000, red.data(), 2000, 2000, GDT_Byte, 0,
                                                     0, nullptr),
                  CE_None);
    }
    const gis::RgbaImage image = gis::warpRaster(tif, kLima, 40, 40);
    const auto pixel = [&](int x, int y, int c) { return image.rgba[(static_cast<std::size_t>(y) * 40 + x) * 4 + c]; };
    EXPECT_EQ(pixel(5, 20, 3), 255);
    EXPECT_EQ(pixel(5, 20, 0), 200);
    EXPECT_EQ(pixel(35, 20, 3), 0);

    const std::string extract = dir.write("lima.osm", kExtract);
    struct Case {
        const char* name;
        std::function<void(const std::function<bool()>&)> read;
    } cases[] = {
        {"raster", [&](const std::function<bool()>& cancelled) { gis::warpRaster(tif, kLima, 40, 40, cancelled); }},
        {"extract", [&](const std::function<bool()>& cancelled) { gis::readOsmWays(extract, kLima, cancelled); }},
    };
    for (const Case& c : cases) {
        int asked = 0;
        EXPECT_THROW(c.read([&] { return ++asked > 0; }), gis::ReadCancelled) << c.name;
        EXPECT_GT(asked, 0) << c.name;
        EXPECT_NO_THROW(c.read([] { return false; })) << c.name;
    }
}

}  // namespace
