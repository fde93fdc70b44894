// Whole files through the fast parsers and the line-by-line reading: the
// fuzzers' seed corpus, then many files built from risky pieces.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "fuzz/Differential.h"

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A coordinate near or inside the box, with 0 to 17 decimals.
std::string coordinate(std::mt19937& random, double low, double high) {
    const double value = low + (high - low) * (random() % 100000) / 100000.0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", static_cast<int>(random() % 18), value);
    return text;
}

}  // namespace

TEST(Differential, SeedCorpusAgrees) {
    const fs::path corpus = fs::path(TRACKORA_SOURCE_DIR) / "fuzz" / "corpus";
    if (!fs::exists(corpus)) GTEST_SKIP() << "no fuzz corpus";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(corpus / "fields")) {
        EXPECT_EQ(differential::checkField(readAll(entry.path())), "") << entry.path();
        ++files;
    }
    for (const auto& entry : fs::directory_iterator(corpus / "trajectory")) {
        EXPECT_EQ(differential::checkTrajectory(readAll(entry.path())), "") << entry.path();
        ++files;
    }
    for (const auto& entry : fs::directory_iterator(corpus / "labels")) {
        EXPECT_EQ(differential::checkLabels(readAll(entry.path())), "") << entry.path();
        ++files;
    }
    EXPECT_GT(files, 20);
}

TEST(Differential, GeneratedTrajectoryFilesAgree) {
    std::mt19937 random(2024);
    const std::vector<std::string> dates = {"2009-06-01", "2009-06-02", "2009-6-1", "2009-13-01", "", "x",
                                            " 2009-06-01", "2009-06-01 "};
    const std::vector<std::string> clocks = {"08:30:00", "23:59:60", "8:5:7", "24:00:00", "", "12:60:00",
                                             "12:00:00 ", "07:05", "12:30:00,extra"};
    const std::vector<std::string> ends = {"\n", "\n", "\n", "\r\n", "\r\n", "\r", "\r\r\n"};
    for (int file = 0; file < 300; ++file) {
        std::string text = "h\nh\nh\nh\nh\nh\n";
        const int lines = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < lines; ++i) {
            std::string lat = coordinate(random, 39.7, 40.15);
            std::string lon = coordinate(random, 116.1, 116.65);
            switch (random() % 12) {
                case 0: lat = "+" + lat; break;
                case 1: lon = " " + lon; break;
                case 2: lat += "e0"; break;
                case 3: lon = "-" + lon; break;
                default: break;
            }
            text += lat + "," + lon;
            if (random() % 10 != 0)
                text += ",0," + std::to_string(random() % 500) + ",39744.12," + dates[random() % dates.size()] +
                        "," + clocks[random() % clocks.size()];
            text += ends[random() % ends.size()];
        }
        if (random() % 8 == 0) text.pop_back();  // no line end at the end
        ASSERT_EQ(differential::checkTrajectory(text), "") << text;
    }
}
