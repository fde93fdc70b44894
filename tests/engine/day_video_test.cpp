// trackora-heatmap --animate: a frame per step of the day, the colours
// locked to the densest step, and bad requests refused in one line with
// nothing left behind.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "../TempDir.h"
#include "model/Datapoint.h"
#include "app/DayVideo.h"

namespace {

// Run from the checkout, where the tool finds its colour table and map.
std::string inSource() { return std::string("cd ") + TRACKORA_SOURCE_DIR + " && "; }
std::string tool() { return TRACKORA_HEATMAP_TOOL; }

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

std::set<std::string> names(const std::filesystem::path& folder) {
    std::set<std::string> all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        all.insert(entry.path().lexically_relative(folder).string());
    return all;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3; }
};

Picture readPng(const std::filesystem::path& path) {
    Picture picture;
    int channels = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &picture.width, &picture.height, &channels, 3);
    if (!pixels) return picture;
    picture.rgb.assign(pixels, pixels + static_cast<std::size_t>(picture.width) * picture.height * 3);
    stbi_image_free(pixels);
    return picture;
}

// Three samples in the second hour and a hundred in the sixth, on one spot:
// with the scale locked to the day the sparse hour is dimmer there; each on
// its own linear scale both would show the same colours.
std::string writeTwoHours(const TempDir& dir) {
    std::vector<Datapoint> points;
    for (int i = 0; i < 3; ++i) points.emplace_back(0.5f, 0.5f, mode::WALK, 3600 + 60 + i);
    for (int i = 0; i < 100; ++i) points.emplace_back(0.5f, 0.5f, mode::WALK, 5 * 3600 + 60 + i);
    return dir.writeRecords("points.bin", points);
}

TEST(DayVideo, NumberedFramesOnePerStepOnTheDaysScale) {
    TempDir dir;
    const std::string input = writeTwoHours(dir);
    const std::filesystem::path out = dir.root() / "frames";
    std::filesystem::create_directory(out);
    const std::string command = inSource() + tool() + " " + input + " --engine cpu --linear --sigma 4 --size 21 --png-size 200 --animate " +
                                (out / "day-%04d.png").string() + " --step 1h > " + (dir.root() / "out.txt").string() +
                                " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << lines(dir.root() / "out.txt").back();

    std::set<std::string> expected;
    for (int k = 1; k <= 24; ++k) expected.insert(std::filesystem::path(sequenceFramePath("day-%04d.png", k)).string());
    EXPECT_EQ(names(out), expected);

    // The spot: cell (500, 500) is pixel (100, 99) of a 200-pixel picture.
    const Picture empty = readPng(out / "day-0001.png");
    const Picture sparse = readPng(out / "day-0002.png");
    const Picture dense = readPng(out / "day-0006.png");
    ASSERT_EQ(sparse.width, 200);
    ASSERT_EQ(dense.height, 200);
    const auto differ = [](const unsigned char* a, const unsigned char* b) {
        return a[0] != b[0] || a[1] != b[1] || a[2] != b[2];
    };
    EXPECT_TRUE(differ(empty.at(100, 99), sparse.at(100, 99))) << "the sparse hour shows no heat";
    EXPECT_TRUE(differ(sparse.at(100, 99), dense.at(100, 99))) << "each step coloured on its own scale";
    // The clock's box at the top's centre differs frame to frame.
    int changed = 0;
    for (int y = 8; y < 30; ++y)
        for (int x = 60; x < 140; ++x) changed += differ(sparse.at(x, y), dense.at(x, y));
    EXPECT_GT(changed, 20) << "no clock in the frames";
}

TEST(DayVideo, AnMp4HasAFramePerQuarterHour) {
    if (findProgram("ffmpeg").empty() || findProgram("ffprobe").empty()) GTEST_SKIP() << "ffmpeg is not installed";
    TempDir dir;
    const std::string input = writeTwoHours(dir);
    const std::string video = (dir.root() / "day.mp4").string();
    const std::string command =
        inSource() + tool() + " " + input + " --engine cpu --png-size 161 --animate " + video + " --step 15m --fps 8 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                              "stream=nb_read_frames,width,height -of csv=p=0 " + video + " > " +
                              (dir.root() / "probe.txt").string();
    ASSERT_EQ(std::system(probe.c_str()), 0);
    // An odd side is made even for the encoder.
    EXPECT_EQ(lines(dir.root() / "probe.txt"), std::vector<std::string>{"160,160,96"});
}

// Each refused before any frame is made, in one line, leaving only the input.
TEST(DayVideo, BadRequestsSayWhyAndLeaveNothing) {
    TempDir dir;
    const std::string input = writeTwoHours(dir);
    const std::string root = dir.root().string();
    const struct {
        std::string arguments;
        std::string says;
        std::string path;  // PATH for the tool: none, to take ffmpeg away
    } cases[] = {
        {"--animate " + root + "/day.mp4 --step 7m", "--step: \"7m\" is not a step that divides the day", ""},
        {"--animate " + root + "/no/such/day.mp4", "the folder \"" + root + "/no/such\" does not exist", ""},
        {"--animate " + root + "/day.xyz", "cannot write a video of this kind", ""},
        {"--animate " + root + "/day-%04d.jpg", "a numbered sequence is written as PNG files", ""},
        {"--animate " + root + "/day.mp4", "ffmpeg command, which is not installed", "/nonexistent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string command = inSource() + (c.path.empty() ? "" : "PATH=" + c.path + " ") + tool() + " " + input +
                                    " --engine cpu " + c.arguments + " > /dev/null 2> " + root + "/err.txt";
        EXPECT_NE(std::system(command.c_str()), 0);
        const std::vector<std::string> err = lines(dir.root() / "err.txt");
        ASSERT_FALSE(err.empty());
        EXPECT_NE(err[0].find(c.says), std::string::npos) << err[0];
        // A usage error adds the usage text; anything else says one line.
        if (c.arguments.find("--step 7m") == std::string::npos) {
            EXPECT_EQ(err.size(), 1u);
        }
        std::filesystem::remove(dir.root() / "err.txt");
        EXPECT_EQ(names(dir.root()), (std::set<std::string>{"points.bin"}));
    }
}

// ffmpeg's own refusal (here an encoder this build lacks) is reported in its
// words, after it stopped reading, and the temporary file goes.
TEST(DayVideo, FfmpegFailureIsReportedAndCleanedUp) {
    TempDir dir;
    const std::string input = writeTwoHours(dir);
    // A stand-in that reads a little and fails as ffmpeg does for a format it cannot write.
    const std::filesystem::path bin = dir.root() / "bin";
    std::filesystem::create_directory(bin);
    dir.write("bin/ffmpeg", "#!/bin/sh\nhead -c 100 > /dev/null\necho 'Unknown encoder libx264' >&2\nexit 1\n");
    std::filesystem::permissions(bin / "ffmpeg", std::filesystem::perms::owner_all);
    const std::string command = inSource() + "PATH=" + bin.string() + ":/usr/bin:/bin " + tool() + " " + input +
                                " --engine cpu --png-size 64 --animate " + (dir.root() / "day.mp4").string() +
                                " --step 1h > /dev/null 2> " + (dir.root() / "err.txt").string();
    EXPECT_NE(std::system(command.c_str()), 0);
    const std::vector<std::string> err = lines(dir.root() / "err.txt");
    ASSERT_EQ(err.size(), 1u);
    EXPECT_EQ(err[0], "trackora-heatmap: cannot write \"" + (dir.root() / "day.mp4").string() +
                          "\": ffmpeg: Unknown encoder libx264");
    std::filesystem::remove(dir.root() / "err.txt");
    EXPECT_EQ(names(dir.root()), (std::set<std::string>{"points.bin", "bin", "bin/ffmpeg"}));
}

}  // namespace

// The viewer's texture loaders ask stb to flip every image bottom up for GL,
// process-wide. The video's map and colour table must still be read top row
// first, or the video shows the map upside down and the colours reversed.
TEST(DayVideo, MapAndColourTableAreReadTopRowFirstWhateverTheTexturesAsked) {
    TempDir dir;
    const std::string path = (dir.root() / "two-rows.png").string();
    const unsigned char rows[] = {255, 0, 0, 0, 0, 255};  // red above blue
    ASSERT_NE(stbi_write_png(path.c_str(), 1, 2, 3, rows, 3), 0);
    stbi_set_flip_vertically_on_load(1);
    const RgbPicture map = dayVideoGround(GeoFrame{}, path);
    const ColourTable table = readColourTable(path);
    stbi_set_flip_vertically_on_load(0);
    ASSERT_EQ(map.rgb.size(), 6u);
    ASSERT_EQ(table.rgb.size(), 6u);
    EXPECT_EQ(map.rgb[0], 255) << "the map's top row is not first";
    EXPECT_EQ(table.rgb[0], 255) << "the colour table's top row is not first";
    EXPECT_THROW(readColourTable((dir.root() / "missing.png").string()), std::runtime_error);
}
