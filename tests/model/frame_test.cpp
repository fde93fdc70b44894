// The frame a data set is normalised over: its text forms, what is refused,
// and the frame file beside a binary sample file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <stdexcept>

#include "model/CellRule.h"
#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/RawFormats.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"

namespace {

// An integer count of 10^-decimals degrees as decimal text ("-33.9871").
std::string decimalText(long long units, int decimals) {
    std::string digits = std::to_string(units < 0 ? -units : units);
    if (digits.size() <= static_cast<std::size_t>(decimals))
        digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<std::size_t>(decimals), ".");
    return (units < 0 ? "-" : "") + digits;
}

// Every cell edge of a frame whose bounds and cell sizes are exact
// decimals: row k's southern edge is south + k * height / 1000, written out
// as a decimal, and likewise for columns. Each fix on an edge belongs to the
// cell above or east of it (the last edge to the last cell), whichever
// reader took it and however its decimal rounds to binary.
TEST(CellPlacement, FixesOnDecimalCellEdgesLandInTheirExactCell) {
    const struct {
        const char* frame;
        long long south, west, cellHeight, cellWidth;  // in units of 10^-decimals degrees
        int decimals;
    } frames[] = {
        {"39.75,116.15,40.1,116.6", 3975000, 11615000, 35, 45, 5},                 // the default box
        {"-33.9871,151.0123,-33.4567,151.3456", -339871000, 1510123000, 5304, 3333, 7},  // odd spans, south
    };
    for (const auto& f : frames) {
        const GeoFrame frame = parseFrame(f.frame);
        std::string plt = "h\nh\nh\nh\nh\nh\n", text;
        std::vector<int> cells;
        for (int k = 0; k <= 1000; ++k) {
            const std::string latitude = decimalText(f.south + k * f.cellHeight, f.decimals);
            const std::string longitude = decimalText(f.west + (1000 - k) * f.cellWidth, f.decimals);
            plt += latitude + "," + longitude + ",0,0,0,2009-06-01,08:00:00\n";
            text += latitude + " " + longitude + " 0 1\n";
            cells.push_back(std::min(k, 999));
        }
        // The recorders' shape, the same lines in a shape the fast path
        // passes over (a blank in an ignored field), and a text sample file.
        std::string general = plt;
        for (std::size_t at = general.find(",0,0,0,"); at != std::string::npos; at = general.find(",0,0,0,", at + 1))
            general.replace(at, 7, ",0, 0,0,");
        TempDir dir;
        TrajectoryLoader loader;
        loader.frame = frame;
        std::vector<std::vector<Datapoint>> reads(3);
        TrajectoryCounts counts;
        parseTrajectoryText(plt, "edges.plt", true, LabelIndex(), boundsOf(frame), reads[0], counts);
        parseTrajectoryText(general, "edges.plt", true, LabelIndex(), boundsOf(frame), reads[1], counts);
        reads[2] = loader.loadText(dir.write("edges.txt", text), -1, true);
        for (std::size_t r = 0; r < reads.size(); ++r) {
            ASSERT_EQ(reads[r].size(), cells.size()) << f.frame << ", read " << r << ": a fix on the border dropped";
            int wrong = 0;
            for (std::size_t k = 0; k < cells.size(); ++k) {
                const int row = gridCellOf(reads[r][k].x * 1000.0f, 1000);
                const int col = gridCellOf(reads[r][k].y * 1000.0f, 1000);
                const int wantCol = std::min(1000 - static_cast<int>(k), 999);
                if (row != cells[k] || col != wantCol) {
                    if (++wrong <= 3)
                        ADD_FAILURE() << f.frame << ", read " << r << ": edge " << k << " in row " << row
                                      << ", column " << col << "; exact: " << cells[k] << ", " << wantCol;
                }
            }
            EXPECT_EQ(wrong, 0) << f.frame << ", read " << r;
        }
    }
}

TEST(GeoFrame, ParsesBoxesAnywhereAndRefusesWhatCannotBeAFrame) {
    EXPECT_EQ(parseFrame("39.75,116.15,40.1,116.6"), GeoFrame{});
    const GeoFrame lima = parseFrame("-12.3,-77.2,-11.9,-76.8");  // south of the equator, west of Greenwich
    EXPECT_EQ(lima, (GeoFrame{-12.3, -77.2, -11.9, -76.8}));
    EXPECT_EQ(parseFrame(frameText(lima)), lima);
    const struct {
        const char* text;
        const char* reason;
    } refused[] = {
        {"40.1,116.15,39.75,116.6", "must be below north"},
        {"39.75,116.6,40.1,116.6", "must be less than east"},
        {"-10,170,10,-170", "crosses the antimeridian"},
        {"80,0,86,1", "within 85 degrees"},
        {"0,-181,1,0", "within -180..180"},
        {"39.75,116.15,40.1", "is not SOUTH,WEST,NORTH,EAST"},
        {"39.75,116.15,40.1,116.6,1", "is not SOUTH,WEST,NORTH,EAST"},
        {"39.75,116.15x,40.1,116.6", "is not SOUTH,WEST,NORTH,EAST"},
        {"+39.75,116.15,40.1,116.6", "is not SOUTH,WEST,NORTH,EAST"},
        {" 39.75,116.15,40.1,116.6", "is not SOUTH,WEST,NORTH,EAST"},
        {"nan,116.15,40.1,116.6", "is not SOUTH,WEST,NORTH,EAST"},
        {"0x27,116.15,40.1,116.6", "is not SOUTH,WEST,NORTH,EAST"},
        {"fit", "is not SOUTH,WEST,NORTH,EAST"},
    };
    for (const auto& c : refused) {
        try {
            parseFrame(c.text);
            ADD_FAILURE() << c.text << " was taken";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << c.text << ": " << error.what();
        }
    }
}

// Frames whose cells cannot be told apart (spans the 1e-9-degree decimals
// and single-precision degrees cannot resolve into 1000 cells), and slivers
// whose map would be a line, are refused by --box and by the frame file
// reader alike; the bounds themselves are taken.
TEST(GeoFrame, FramesTooSmallOrTooThinAreRefused) {
    const struct {
        const char* text;
        const char* reason;  // empty: taken
    } cases[] = {
        {"40,116,40.0000001,116.0000001", "each side must span at least 0.00001 degrees"},
        {"40,116,40.000009,116.1", "each side must span at least 0.00001 degrees"},
        {"40,116,40.00001,116.00001", ""},
        {"0,0,0.001,10", "111 m north-south by 1.11e+03 km east-west, one side more than 1000 times the other: "
                         "its map would have no height"},
        {"0,0,10,0.001", "its map would have no width"},
        {"60,0,60.001,4.4", "its map would have no height"},  // 111 m by 245 km at 60 N
        {"0,0,0.01,5", ""},                                    // 500 to 1
        {"60,0,60.01,20", ""},                                 // 1.1 km by 1.1e3 km: under 1000 at 60 N
    };
    TempDir dir;
    const std::string samples = dir.write("a.bin", "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string parsed, read;
        GeoFrame frame{};
        try {
            frame = parseFrame(c.text);
        } catch (const std::invalid_argument& error) {
            parsed = error.what();
        }
        std::array<double, 4> bounds{};
        std::sscanf(c.text, "%lf,%lf,%lf,%lf", &bounds[0], &bounds[1], &bounds[2], &bounds[3]);
        dir.write("a.bin.frame", frameFileText(GeoFrame{bounds[0], bounds[1], bounds[2], bounds[3]}));
        try {
            EXPECT_EQ(readFrameFile(samples), frame);
        } catch (const DataFileError& error) {
            read = error.reason();
        }
        if (*c.reason == '\0') {
            EXPECT_EQ(parsed, "");
            EXPECT_EQ(read, "");
        } else {
            EXPECT_NE(parsed.find(c.reason), std::string::npos) << parsed;
            EXPECT_NE(read.find(c.reason), std::string::npos) << read;
        }
    }
}

// The frame file is read whole only when it is one: a huge file is refused
// by its size before any of it is read (a sparse 2 GB file here), a link to
// nothing is no default frame, and a UTF-8 byte-order mark is taken.
TEST(GeoFrame, FrameFilesAreCappedTypedAndMayStartWithAByteOrderMark) {
    TempDir dir;
    const std::string samples = dir.write("a.bin", "");
    const std::string frame = samples + ".frame";
    const GeoFrame lima{-12.3, -77.2, -11.9, -76.8};
    const struct {
        const char* name;
        std::function<void()> make;
        const char* reason;  // empty: reads as lima
    } cases[] = {
        {"comments past 64 KiB",
         [&] { dir.write("a.bin.frame", std::string(kFrameFileLimit, '#') + "\n" + frameFileText(lima)); },
         "it is larger than 64 KiB, more than a frame file holds"},
        {"2 GB", [&] { std::filesystem::resize_file(dir.write("a.bin.frame", frameFileText(lima)), 2000000000); },
         "it is larger than 64 KiB, more than a frame file holds"},
        {"link to nothing", [&] { std::filesystem::create_symlink("gone.frame", frame); },
         "it is a link to nothing (\"gone.frame\" does not exist)"},
        {"directory", [&] { std::filesystem::create_directory(frame); }, "Is a directory"},
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(frame.c_str(), 0600), 0); }, "not a regular file (a FIFO)"},
        {"byte-order mark", [&] { dir.write("a.bin.frame", "\xEF\xBB\xBF" + frameFileText(lima)); }, ""},
        {"just under the limit",
         [&] {
             const std::string text = frameFileText(lima);
             dir.write("a.bin.frame", std::string(kFrameFileLimit - text.size() - 1, '#') + "\n" + text);
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(frame);
        c.make();
        try {
            EXPECT_EQ(readFrameFile(samples), lima);
            EXPECT_EQ(*c.reason, '\0');
        } catch (const DataFileError& error) {
            EXPECT_EQ(error.path(), frame);
            EXPECT_EQ(error.reason(), c.reason);
        }
    }
}

// The grid's cells are the frame's decimal span over 1000: 0.45 / 1000, not
// the binary difference 116.6 - 116.15, which is a little less.
TEST(GeoFrame, SpansAreTheDecimalOnes) {
    EXPECT_EQ(GeoFrame{}.longitudeSpan(), 0.45);
    EXPECT_EQ(GeoFrame{}.latitudeSpan(), 0.35);
}

TEST(GeoFrame, FrameFileRoundTripsAndAMalformedOneNamesItself) {
    TempDir dir;
    const std::string samples = dir.write("a.bin", "");
    EXPECT_EQ(readFrameFile(samples), GeoFrame{});  // none: the default frame
    const GeoFrame lima{-12.3, -77.2, -11.9, -76.8};
    dir.write("a.bin.frame", frameFileText(lima));
    EXPECT_EQ(readFrameFile(samples), lima);
    const struct {
        const char* content;
        const char* reason;
    } malformed[] = {
        {"south 1\nwest 2\nnorth 3\n", "no east given"},
        {"south 1\nsouth 1\nwest 2\nnorth 3\neast 4\n", "line 2: south is given twice"},
        {"south 1\nwest two\nnorth 3\neast 4\n", "line 2: \"west two\" is not west and a decimal number"},
        {"south 3\nwest 2\nnorth 1\neast 4\n", "must be below north"},
        {"up 1\n", "line 1: \"up 1\" is not south, west, north or east"},
    };
    for (const auto& c : malformed) {
        dir.write("a.bin.frame", c.content);
        try {
            readFrameFile(samples);
            ADD_FAILURE() << c.content << " was taken";
        } catch (const DataFileError& error) {
            EXPECT_EQ(error.path(), samples + ".frame");
            EXPECT_NE(error.reason().find(c.reason), std::string::npos) << error.reason();
        }
    }
}

}  // namespace

namespace {

// The fitted box leaves out 0.05% at each end of each axis, pads by 2% of
// the span, and is never a point: one place gives a box of 0.002 degrees.
TEST(GeoFrame, FitLeavesOutliersAndPads) {
    std::vector<float> latitudes, longitudes;
    for (int i = 0; i <= 4000; ++i) {
        latitudes.push_back(10.0f + 0.0001f * static_cast<float>(i));  // 10.0 .. 10.4
        longitudes.push_back(-20.0f);
    }
    latitudes[7] = -60.0f;  // one outlier in 4001: past the 0.05% cut
    const GeoFrame fitted = fitFrame(latitudes, longitudes);
    EXPECT_NEAR(fitted.south, 10.0 - 0.008, 1e-3);
    EXPECT_NEAR(fitted.north, 10.4 + 0.008, 1e-3);
    // The line is one fix wide: the box is widened about it to a square
    // on the ground.
    EXPECT_NEAR((fitted.west + fitted.east) / 2, -20.0, 1e-5);
    const double across = std::cos((fitted.south + fitted.north) / 2 * std::numbers::pi / 180.0);
    EXPECT_NEAR((fitted.east - fitted.west) * across / (fitted.north - fitted.south), 1.0, 0.02);
    EXPECT_EQ(frameProblem(fitted), "");
}

}  // namespace

namespace {

// Cell width over cell height, in metres at the frame's centre latitude.
double groundAspect(const GeoFrame& frame) {
    const double across = std::cos((frame.south + frame.north) / 2 * std::numbers::pi / 180.0);
    return (frame.east - frame.west) * across / (frame.north - frame.south);
}

// Whatever the data's shape and latitude, the fitted frame's cells are
// square on the ground (within 2%): a box fitted in degrees alone would have
// cells half as wide as tall at 60 degrees north, or as wide as the data.
TEST(GeoFrame, FittedFramesAreSquareOnTheGround) {
    const struct {
        const char* what;
        double latitude, longitude, height, width;  // degrees of the data's spread
    } shapes[] = {
        {"wide, Quito", -0.2, -78.5, 0.05, 0.4},
        {"tall, Beijing", 39.9, 116.4, 0.4, 0.1},
        {"square in degrees, Oslo", 59.9, 10.7, 0.3, 0.3},
        {"wide, Punta Arenas", -53.1, -70.9, 0.1, 0.5},
    };
    for (const auto& shape : shapes) {
        std::vector<float> latitudes, longitudes;
        for (int i = 0; i < 2000; ++i) {
            latitudes.push_back(static_cast<float>(shape.latitude + shape.height * ((i * 37) % 2000) / 2000.0));
            longitudes.push_back(static_cast<float>(shape.longitude + shape.width * i / 2000.0));
        }
        const GeoFrame frame = fitFrame(latitudes, longitudes);
        EXPECT_NEAR(groundAspect(frame), 1.0, 0.02) << shape.what << ": " << frameText(frame);
        EXPECT_LE(frame.south, shape.latitude) << shape.what;
        EXPECT_GE(frame.north, shape.latitude + shape.height * 0.999) << shape.what;
        EXPECT_LE(frame.west, shape.longitude) << shape.what;
        EXPECT_GE(frame.east, shape.longitude + shape.width * 0.999) << shape.what;
    }
}

}  // namespace

// A coordinate absurdly far outside the frame (text samples keep every
// value) still lands on its own side, instead of a conversion that does not
// fit a long long; its float stays the nearest.
TEST(ExactCell, FarOutsideTheFrameKeepsItsSide) {
    for (const double degrees : {1e33, -1e33, 1e300, -1e300, 4e14}) {
        const long long cell = exactCellOf(degrees, 39.75, 40.1);
        EXPECT_EQ(cell > 0, degrees > 0) << degrees;
        const float placed = placeOnAxis(degrees, 39.75, 40.1);
        EXPECT_EQ(placed, static_cast<float>((degrees - 39.75) / (40.1 - 39.75))) << degrees;
    }
}
