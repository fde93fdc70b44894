// The directory branch of the loader: trees of label and trajectory files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/Dataset.h"
#include "model/LoadError.h"
#include "model/RawFormats.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader =
    "Geolife trajectory\nWGS 84\nAltitude is in Feet\nReserved 3\n0,2,255,My Track,0,0,2,8421376\n0\n";
const std::string kLabelHeader = "Start Time\tEnd Time\tTransportation Mode\n";

std::string fix(const std::string& lat, const std::string& lon, const std::string& date,
                const std::string& clock) {
    return lat + "," + lon + ",0,492,39744.12," + date + "," + clock + "\n";
}

// A trajectory file of `count` fixes inside the box, one second apart.
std::string fixes(int count, const std::string& date = "2009-06-01", int firstSecond = 3600) {
    std::string text = kHeader;
    for (int i = 0; i < count; ++i) {
        const int s = firstSecond + i;
        char clock[16];
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
        text += fix("39.9", "116.3", date, clock);
    }
    return text;
}

std::vector<TransportationMode> modesOf(const std::vector<Datapoint>& points) {
    std::vector<TransportationMode> modes;
    for (const auto& p : points) modes.push_back(p.mode);
    return modes;
}

}  // namespace

TEST(TrajectoryFile, HeaderAndEmptyLines) {
    TempDir dir;
    TrajectoryLoader loader;
    const LabelIndex none;
    EXPECT_TRUE(loader.parseTrajectoryFile(dir.write("six.plt", kHeader), true, none).empty());
    EXPECT_TRUE(loader.parseTrajectoryFile(dir.write("four.plt", "a\nb\nc\nd\n"), true, none).empty());
    EXPECT_TRUE(loader.parseTrajectoryFile(dir.write("blank7.plt", kHeader + "\n" + fix("39.9", "116.3", "2009-06-01", "08:00:00")),
                                           true, none).empty());
    // Header lines are skipped even when empty; a last line without a line end is read.
    const auto points = loader.parseTrajectoryFile(
        dir.write("emptyheader.plt", "\n\n\n\n\n\n39.9,116.3,0,0,0,2009-06-01,08:30:00"), true, none);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].time, 30600);
    EXPECT_TRUE(loader.parseTrajectoryFile(dir.root() / "missing.plt", true, none).empty());
}

TEST(TrajectoryFile, NormalisationFrameAndTime) {
    TempDir dir;
    TrajectoryLoader loader;
    const LabelIndex none;
    const auto path = dir.write("t.plt", kHeader + fix("39.9", "116.3", "2009-06-01", "08:30:00") +
                                             fix("39.75", "116.15", "2009-06-01", "00:00:00") +
                                             fix("40.1001", "116.3", "2009-06-01", "00:00:01") +
                                             fix("40.0", "116.0", "2009-06-01", "00:00:02") +
                                             fix("40.1", "116.6", "2009-06-01", "23:59:59"));
    const auto normal = loader.parseTrajectoryFile(path, true, none);
    ASSERT_EQ(normal.size(), 3u);
    EXPECT_NEAR(normal[0].x, (39.9 - 39.75) / 0.35, 1e-6);
    EXPECT_NEAR(normal[0].y, (116.3 - 116.15) / 0.45, 1e-6);
    EXPECT_EQ(normal[0].mode, mode::UNKNOWN);
    EXPECT_EQ(normal[0].time, 30600);
    EXPECT_EQ(normal[1].x, 0.0f);
    EXPECT_EQ(normal[1].y, 0.0f);
    EXPECT_EQ(normal[2].x, 1.0f);  // the upper bounds pass too
    EXPECT_EQ(normal[2].y, 1.0f);
    EXPECT_EQ(normal[2].time, 86399);

    const auto raw = loader.parseTrajectoryFile(path, false, none);
    ASSERT_EQ(raw.size(), 3u);
    EXPECT_EQ(raw[0].x, 39.9f);
    EXPECT_EQ(raw[0].y, 116.3f);
}

TEST(TrajectoryFile, BadCoordinatesNameFileLineAndText) {
    TempDir dir;
    TrajectoryLoader loader;
    const LabelIndex none;
    const auto path = dir.write("bad.plt", kHeader + fix("39.9", "116.3", "2009-06-01", "08:00:00") +
                                               fix("39.9", "east", "2009-06-01", "08:00:01"));
    try {
        loader.parseTrajectoryFile(path, true, none);
        FAIL() << "a longitude that is not a number must stop the load";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "\"" + path + "\" line 8: \"east\" is not a number");
    }
    const auto huge = dir.write("huge.plt", kHeader + fix("1e40", "116.3", "2009-06-01", "08:00:00"));
    EXPECT_THROW(loader.parseTrajectoryFile(huge, true, none), std::out_of_range);
    // Outside the box or not, a bad number is an error.
    const auto outside = dir.write("out.plt", kHeader + fix("10.0", "x", "2009-06-01", "08:00:00"));
    EXPECT_THROW(loader.parseTrajectoryFile(outside, true, none), std::invalid_argument);
}

// Lines outside the formats stop the load with the file, line and text,
// instead of turning into made-up fixes or intervals.
TEST(TrajectoryFile, LinesOutsideTheFormatNameFileLineAndText) {
    const std::string fields = "\" has fewer than the 7 comma-separated fields of a fix";
    const std::vector<std::pair<std::string, std::string>> trajectoryCases = {
        {"39.9,116.4", "\"39.9,116.4" + fields},
        {"39.9,116.3,0,0,0,2009-06-01", "\"39.9,116.3,0,0,0,2009-06-01" + fields},
        {fix("39.9x", "116.3", "2009-06-01", "08:00:00"), "\"39.9x\" is not a number"},
        {fix(" 39.9", "116.3", "2009-06-01", "08:00:00"), "\" 39.9\" is not a number"},
        {fix("39.9", "nan", "2009-06-01", "08:00:00"), "\"nan\" is not a number"},
        {fix("39.9", "116.3", "2009-13-01", "08:00:00"), "\"2009-13-01\" is not a date (YYYY-MM-DD)"},
        {fix("39.9", "116.3", "2009-02-29", "08:00:00"), "\"2009-02-29\" is not a date (YYYY-MM-DD)"},
        {fix("39.9", "116.3", "2009-06-01x", "08:00:00"), "\"2009-06-01x\" is not a date (YYYY-MM-DD)"},
        {fix("39.9", "116.3", "2009-06-01", "25:99:99"), "\"25:99:99\" is not a time of day (hh:mm:ss)"},
        {fix("39.9", "116.3", "2009-06-01", "08:00"), "\"08:00\" is not a time of day (hh:mm:ss)"},
        {fix("39.9", "116.3", "2009-06-01", "08:00:00 pm"), "\"08:00:00 pm\" is not a time of day (hh:mm:ss)"},
    };
    TempDir dir;
    TrajectoryLoader loader;
    for (const auto& [line, message] : trajectoryCases) {
        const auto path = dir.write("bad.plt", kHeader + fix("39.9", "116.3", "2009-06-01", "08:00:00") + line);
        try {
            loader.parseTrajectoryFile(path, true, LabelIndex());
            ADD_FAILURE() << "accepted: " << line;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "\"" + path + "\" line 8: " + message);
        }
    }

    const std::string dateTime = "\" is not a date and time (YYYY/MM/DD hh:mm:ss)";
    const std::vector<std::pair<std::string, std::string>> labelCases = {
        {"2009/13/01 08:00:00\t2009/06/01 09:00:00\tbus", "\"2009/13/01 08:00:00" + dateTime},
        {"2009/06/01 08:00:00\t2009/06/31 09:00:00\tbus", "\"2009/06/31 09:00:00" + dateTime},
        {"2009/06/01 08:00:00\t2009/06/01 24:00:00\tbus", "\"2009/06/01 24:00:00" + dateTime},
        {"2009/06/01\t2009/06/01 09:00:00\tbus", "\"2009/06/01" + dateTime},
    };
    for (const auto& [line, message] : labelCases) {
        const auto path = dir.write("labels.txt", kLabelHeader + line + "\n");
        try {
            loader.parseLabelsFile(path);
            ADD_FAILURE() << "accepted: " << line;
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "\"" + path + "\" line 2: " + message);
        }
    }
}

// A file larger than one read() returns (about 2 GiB) is read whole.
TEST(TrajectoryFile, FilesBeyondTwoGibibytesReadWhole) {
#ifdef TRACKORA_SANITIZE_BUILD
    GTEST_SKIP() << "2 GiB under the sanitizers is too slow; the release build runs it";
#endif
    TempDir dir;
    const auto path = (dir.root() / "big.plt").string();
    const off_t size = (off_t{1} << 31) + 4096;
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseeko(f, size - 4, SEEK_SET), 0);
        ASSERT_EQ(std::fwrite("tail", 1, 4, f), 4u);
        std::fclose(f);
    }
    std::string buffer;
    std::string reason;
    ASSERT_TRUE(readFileContents(path, buffer, reason)) << reason;
    ASSERT_EQ(static_cast<off_t>(buffer.size()), size);
    EXPECT_EQ(buffer.substr(buffer.size() - 4), "tail");
}

TEST(Labels, MidnightBoundsOverlapAndUnknownNames) {
    TempDir dir;
    TrajectoryLoader loader;
    const auto labelPath = dir.write("labels.txt",
                                     kLabelHeader + "2009/06/01 23:50:00\t2009/06/02 00:10:00\tbus\r\n"
                                                    "2009/06/01 08:00:00\t2009/06/01 09:00:00\ttaxi\r\n"
                                                    "2009/06/01 08:30:00\t2009/06/01 08:40:00\twalk\r\n"
                                                    "2009/06/01 10:00:00\t2009/06/01 11:00:00\tskate\r\n"
                                                    "2009/06/01 10:00:00\t2009/06/01 11:00:00\tWalk\r\n");
    const LabelIndex labels = loader.parseLabelsFile(labelPath);
    const int june1 = 109 * 10000 + 5 * 100 + 1;
    const int june2 = june1 + 1;
    ASSERT_NE(labels.find(june1), nullptr);
    ASSERT_EQ(labels.find(june1)->size(), 3u);
    EXPECT_EQ((*labels.find(june1))[0].start, 85800);
    EXPECT_EQ((*labels.find(june1))[0].end, 86400);
    ASSERT_EQ(labels.find(june2)->size(), 1u);
    EXPECT_EQ((*labels.find(june2))[0].start, 0);
    EXPECT_EQ((*labels.find(june2))[0].end, 600);
    EXPECT_EQ(loader.report.unknownLabelNames, 2);
    EXPECT_EQ(loader.report.unknownNameCounts.at("skate"), 1);

    const auto track = dir.write("t.plt", kHeader + fix("39.9", "116.3", "2009-06-01", "23:55:00") +
                                              fix("39.9", "116.3", "2009-06-02", "00:05:00") +
                                              fix("39.9", "116.3", "2009-06-02", "00:15:00") +
                                              fix("39.9", "116.3", "2009-06-01", "08:00:00") +  // start
                                              fix("39.9", "116.3", "2009-06-01", "09:00:00") +  // end
                                              fix("39.9", "116.3", "2009-06-01", "08:35:00") +  // both
                                              fix("39.9", "116.3", "2009-06-01", "10:30:00") +  // skipped names
                                              fix("39.9", "116.3", "2009-06-03", "08:30:00"));
    EXPECT_EQ(modesOf(loader.parseTrajectoryFile(track, true, labels)),
              (std::vector<TransportationMode>{mode::BUS, mode::BUS, mode::UNKNOWN, mode::CAR, mode::CAR, mode::CAR, mode::UNKNOWN, mode::UNKNOWN}));
    EXPECT_TRUE(loader.parseLabelsFile((dir.root() / "none.txt").string()).empty());
}

TEST(Directory, LabelsReachTheirOwnTrajectoriesOnly) {
    TempDir dir;
    const std::string labels = kLabelHeader + "2009/06/01 00:00:00\t2009/06/01 23:59:59\tbike\n";
    dir.write("Data/000/labels.txt", labels);
    dir.write("Data/000/Trajectory/a.plt", fixes(2));
    dir.write("Data/000/notes.pdf", "not,a,trajectory\n");
    dir.write("Data/001/Trajectory/b.plt", fixes(3));  // no label file of its own
    dir.write("Data/002/labels.txt", kLabelHeader + "2009/06/01 00:00:00\t2009/06/01 23:59:59\trun\n");
    dir.write("Data/002/Trajectory/c.plt", fixes(1));
    // Files after the first subdirectory of a labelled directory see no labels.
    dir.write("Data/003/labels.txt", labels);
    dir.write("Data/003/A/d.plt", fixes(1));
    dir.write("Data/003/z.plt", fixes(1));

    TrajectoryLoader loader;
    const auto points = loader.load(dir.root().string(), true);
    EXPECT_EQ(modesOf(points), (std::vector<TransportationMode>{mode::BIKE, mode::BIKE, mode::UNKNOWN, mode::UNKNOWN, mode::UNKNOWN,
                                                                 mode::RUN, mode::BIKE, mode::UNKNOWN}));
    EXPECT_TRUE(loader.labels.empty());
    EXPECT_EQ(loader.report.trajectoryFiles, 5);
    EXPECT_EQ(loader.report.labelFiles, 3);
    EXPECT_EQ(loader.report.kept, 8);
}

TEST(Directory, AnythingNamedLabelsTxtReplacesTheLabelsInForce) {
    TempDir dir;
    dir.write("root/labels.txt", kLabelHeader + "2009/06/01 00:00:00\t2009/06/01 23:59:59\tbike\n");
    dir.write("root/sub/a.plt", fixes(1));
    dir.write("root/sub/labels.txt/x.plt", fixes(1));  // a directory: it holds no labels

    TrajectoryLoader loader;
    const auto points = loader.load((dir.root() / "root").string(), true);
    EXPECT_EQ(modesOf(points), (std::vector<TransportationMode>{mode::UNKNOWN, mode::UNKNOWN}));
    ASSERT_EQ(loader.report.unreadable.size(), 1u);
    EXPECT_EQ(loader.report.unreadable[0].first, (dir.root() / "root/sub/labels.txt").string());
}

TEST(Directory, NameOrderBinNamedDirectoriesAndLinks) {
    TempDir dir;
    // Written out of order; read in name order.
    dir.write("trips.bin/b/2.plt", fixes(1, "2009-06-01", 2));
    dir.write("trips.bin/a/1.plt", fixes(1, "2009-06-01", 1));
    dir.write("trips.bin/c.plt", fixes(1, "2009-06-01", 3));
    dir.write("trips.bin/A.plt", fixes(1, "2009-06-01", 0));
    fs::create_directory_symlink("..", dir.root() / "trips.bin" / "a" / "up");
    fs::create_directory_symlink(dir.root() / "trips.bin" / "b", dir.root() / "trips.bin" / "b2");
    fs::create_symlink(dir.root() / "trips.bin" / "c.plt", dir.root() / "trips.bin" / "d.plt");
    ASSERT_EQ(mkfifo((dir.root() / "trips.bin" / "e.fifo").c_str(), 0600), 0);  // never opened

    const std::vector<Datapoint> points = TrajectoryLoader().load((dir.root() / "trips.bin").string(), true);
    std::vector<int> times;
    for (const auto& p : points) times.push_back(p.time);
    EXPECT_EQ(times, (std::vector<int>{0, 1, 2, 3, 3}));  // the link to a file is read
}

TEST(Directory, LimitIsTestedAfterSubdirectories) {
    TempDir dir;
    dir.write("big/a/1.plt", fixes(150));
    dir.write("big/b/1.plt", fixes(10));
    dir.write("big/z.plt", fixes(5));
    TrajectoryLoader loader;
    const auto root = (dir.root() / "big").string();
    EXPECT_EQ(loader.loadDirectory(root, 100, true).size(), 150u);
    EXPECT_EQ(loader.loadDirectory(root, -1, true).size(), 165u);

    // 40 from the first subdirectory; the second walks with a limit of 60
    // and stops after its own first subdirectory of 70.
    dir.write("mid/a/1.plt", fixes(40));
    dir.write("mid/b/x/1.plt", fixes(70));
    dir.write("mid/b/y/1.plt", fixes(7));
    dir.write("mid/c/1.plt", fixes(3));
    const auto mid = (dir.root() / "mid").string();
    EXPECT_EQ(loader.loadDirectory(mid, 100, true).size(), 110u);
    EXPECT_EQ(loader.loadDirectory(mid, 200, true).size(), 120u);
    EXPECT_EQ(loader.loadDirectory(mid, -1, true).size(), 120u);
    EXPECT_THROW(loader.loadDirectory(mid, -2, true), std::invalid_argument);

    // Files directly in a directory are not counted against the limit.
    dir.write("flat/1.plt", fixes(500));
    dir.write("flat/2.plt", fixes(500));
    EXPECT_EQ(loader.loadDirectory((dir.root() / "flat").string(), 10, true).size(), 1000u);
}

TEST(Directory, ParallelParseKeepsOrderAndTheFirstError) {
    TempDir dir;
    for (int i = 0; i < 60; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "t/%02d/%02d.plt", i / 10, i);
        dir.write(name, fixes(1 + i % 7, "2009-06-01", i * 10));
    }
    TrajectoryLoader one;
    one.threads = 1;
    TrajectoryLoader four;
    four.threads = 4;
    int progressCalls = 0;
    four.progress = [&](const ImportProgress& p) {
        ++progressCalls;
        EXPECT_LE(p.filesDone, p.filesTotal);
    };
    const auto a = one.load((dir.root() / "t").string(), true);
    const auto b = four.load((dir.root() / "t").string(), true);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].time, b[i].time) << i;
        if (i) {
            EXPECT_LE(b[i - 1].time, b[i].time);
        }
    }
    EXPECT_GE(progressCalls, 1);

    // Two broken files: the one first in name order is reported.
    dir.write("t/03/31.plt", kHeader + fix("bad31", "116.3", "2009-06-01", "08:00:00"));
    dir.write("t/05/55.plt", kHeader + fix("bad55", "116.3", "2009-06-01", "08:00:00"));
    for (int run = 0; run < 5; ++run) {
        try {
            four.load((dir.root() / "t").string(), true);
            FAIL() << "broken files must stop the load";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("\"bad31\""), std::string::npos) << e.what();
        }
        EXPECT_TRUE(four.labels.empty());
    }
}

// A subdirectory that cannot be listed is warned about and skipped like an
// unreadable file; the rest of the tree still loads. Root reads everything,
// so the walk runs in a child that drops to an unprivileged user.
TEST(Directory, UnreadableSubdirectoriesAreSkippedAndCounted) {
    TempDir dir;
    dir.write("tree/a/1.plt", fixes(2));
    dir.write("tree/b/locked/2.plt", fixes(3));
    dir.write("tree/c/3.plt", fixes(4));
    const auto locked = dir.root() / "tree/b/locked";
    fs::permissions(locked, fs::perms::none);
    fs::permissions(dir.root(), fs::perms::all);
    EXPECT_EXIT(
        {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            TrajectoryLoader loader;
            const auto points = loader.load((dir.root() / "tree").string(), true);
            const auto& unreadable = loader.report.unreadable;
            const bool ok = points.size() == 6 && unreadable.size() == 1 &&
                            unreadable[0].first == locked.string() && unreadable[0].second == "Permission denied";
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    fs::permissions(locked, fs::perms::owner_all);
}

TEST(Directory, ListingFailuresAndCountLimit) {
    TempDir dir;
    TrajectoryLoader loader;
    EXPECT_THROW(loader.loadDirectory((dir.root() / "absent").string(), -1, true), fs::filesystem_error);
    EXPECT_NO_THROW(checkSampleCount("x", 2147483647LL));
    EXPECT_THROW(checkSampleCount("x", 2147483648LL), DataFileError);
}
