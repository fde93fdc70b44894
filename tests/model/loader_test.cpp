#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "model/Dataset.h"
#include "model/SampleSource.h"
#include "model/SampleTally.h"
#include "model/LoadError.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"

namespace {

void expectSame(const Datapoint& a, const Datapoint& b) {
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.mode, b.mode);
    EXPECT_EQ(a.time, b.time);
}

const std::vector<Datapoint> kThree = {
    {0.5f, 0.25f, mode::WALK, 3600}, {0.0f, 1.0f, mode::UNKNOWN, 0}, {1.0f, 0.0f, mode::CAR, 86399}};

}  // namespace

TEST(BinaryFile, RoundTripsRecordsInOrder) {
    TempDir dir;
    const auto path = dir.writeRecords("three.bin", kThree);
    const auto points = TrajectoryLoader::loadBinary(path, -1);
    ASSERT_EQ(points.size(), 3u);
    for (int i = 0; i < 3; ++i) expectSame(points[i], kThree[i]);

    // Read a chunk at a time, as the viewer indexes it: the same records.
    const auto streamed = readAllSamples(SampleFile(path));
    ASSERT_EQ(streamed.size(), 3u);
    for (int i = 0; i < 3; ++i) expectSame(streamed[i], kThree[i]);
}

TEST(BinaryFile, SizesAndLimits) {
    TempDir dir;
    EXPECT_TRUE(TrajectoryLoader::loadBinary(dir.write("empty.bin", ""), -1).empty());
    EXPECT_EQ(TrajectoryLoader::loadBinary(dir.write("odd.bin", std::string(35, '\0')), -1).size(), 2u);

    const auto two = dir.writeRecords("two.dat", std::vector<Datapoint>(kThree.begin(), kThree.begin() + 2));
    EXPECT_TRUE(TrajectoryLoader::loadBinary(two, 0).empty());
    const auto padded = TrajectoryLoader::loadBinary(two, 5);
    ASSERT_EQ(padded.size(), 5u);
    expectSame(padded[1], kThree[1]);
    for (int i = 2; i < 5; ++i) expectSame(padded[i], Datapoint());
    EXPECT_EQ(TrajectoryLoader::loadBinary(two, 1).size(), 1u);
    // Trailing bytes never leak into the padding record after the last whole one.
    const auto ragged = dir.write("ragged.bin", std::string(16, '\0') + "\x7f\x7f\x7f");
    const auto paddedRagged = TrajectoryLoader::loadBinary(ragged, 3);
    ASSERT_EQ(paddedRagged.size(), 3u);
    expectSame(paddedRagged[1], Datapoint());
}

TEST(BinaryFile, FailuresNameThePathAndTheReason) {
    TempDir dir;
    const auto missing = (dir.root() / "nope.bin").string();
    try {
        TrajectoryLoader::loadBinary(missing, -1);
        FAIL() << "a missing file must not load";
    } catch (const DataFileError& e) {
        EXPECT_EQ(e.path(), missing);
        EXPECT_EQ(e.reason(), "No such file or directory");
        EXPECT_EQ(loadFailureMessage(missing, e),
                  "Could not load samples from \"" + missing + "\": No such file or directory");
    }
    EXPECT_THROW(TrajectoryLoader().load(missing, true), DataFileError);

    std::filesystem::create_directory(dir.root() / "folder.bin");
    EXPECT_THROW(TrajectoryLoader::loadBinary((dir.root() / "folder.bin").string(), -1), DataFileError);

    if (geteuid() != 0) {  // root reads everything
        const auto locked = dir.writeRecords("locked.bin", kThree);
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        EXPECT_THROW(TrajectoryLoader::loadBinary(locked, -1), DataFileError);
    }

    const auto file = dir.writeRecords("ok.bin", kThree);
    EXPECT_THROW(TrajectoryLoader::loadBinary(file, -2), std::invalid_argument);
}

TEST(BinaryFile, RecordCountIsSixtyFourBit) {
    // 2 GiB and more: the count must neither wrap nor go negative.
    EXPECT_EQ(binaryRecordCount(2147483648LL), 134217728);
    EXPECT_EQ(binaryRecordCount(5LL << 32), 1342177280);
    EXPECT_EQ(binaryRecordCount(15), 0);
}

TEST(BinaryFile, SparseFileBeyondTwoGibibytesLoadsWhole) {
#ifdef TRACKORA_SANITIZE_BUILD
    GTEST_SKIP() << "2 GiB under the sanitizers is too slow; the release build runs it";
#endif
    TempDir dir;
    const auto path = (dir.root() / "big.bin").string();
    const std::int64_t records = (2147483648LL / 16) + 2;  // just past 2 GiB
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), records * 16), 0);
        ASSERT_EQ(fseeko(f, (records - 1) * 16, SEEK_SET), 0);
        const Datapoint last(0.75f, 0.5f, mode::BUS, 42);
        ASSERT_EQ(std::fwrite(&last, sizeof last, 1, f), 1u);
        std::fclose(f);
    }
    const auto points = TrajectoryLoader::loadBinary(path, -1);
    ASSERT_EQ(static_cast<std::int64_t>(points.size()), records);
    expectSame(points.back(), Datapoint(0.75f, 0.5f, mode::BUS, 42));
    expectSame(points.front(), Datapoint(0.0f, 0.0f, static_cast<TransportationMode>(0), 0));
}

TEST(TextFile, ReadsSamplesWithAndWithoutNormalisation) {
    TempDir dir;
    const auto path = dir.write("samples.txt", "39.9 116.3 3600 2\n39.75 116.15 0 1\n");
    TrajectoryLoader loader;
    auto normal = loader.loadText(path, -1, true);
    ASSERT_EQ(normal.size(), 2u);
    EXPECT_NEAR(normal[0].x, (39.9 - 39.75) / 0.35, 1e-6);
    EXPECT_NEAR(normal[0].y, (116.3 - 116.15) / 0.45, 1e-6);
    EXPECT_EQ(normal[0].time, 3600);
    EXPECT_EQ(normal[0].mode, mode::WALK);
    EXPECT_EQ(normal[1].x, 0.0f);

    auto raw = loader.loadText(path, -1, false);
    EXPECT_EQ(raw[0].x, 39.9f);
    EXPECT_EQ(raw[0].y, 116.3f);
}

TEST(TextFile, LimitsBlankLinesLineEndsAndShortLines) {
    TempDir dir;
    TrajectoryLoader loader;
    const auto five = dir.write("five.txt", "0.1 0.1 1 2\n0.2 0.2 2 2\n0.3 0.3 3 2\n0.4 0.4 4 2\n0.5 0.5 5 2\n");
    EXPECT_EQ(loader.loadText(five, 2, false).size(), 2u);
    EXPECT_EQ(loader.loadText(five, 0, false).size(), 0u);
    EXPECT_EQ(loader.loadText(five, -1, false).size(), 5u);

    const auto blank = dir.write("blank.txt", "0.1 0.1 1 2\n0.2 0.2 2 2\n\n0.4 0.4 4 2\n");
    EXPECT_EQ(loader.loadText(blank, -1, false).size(), 2u);

    const auto crlf = dir.write("crlf.txt", "0.1 0.2 30 8\r\n0.3 0.4 40 16");
    const auto points = loader.loadText(crlf, -1, false);
    ASSERT_EQ(points.size(), 2u);  // the last line has no line end
    EXPECT_EQ(points[0].mode, mode::BUS);
    EXPECT_EQ(points[1].time, 40);

    // A leading UTF-8 byte-order mark is not part of the first number.
    const auto bom = dir.write("bom.txt", "\xEF\xBB\xBF" "0.5 0.25 7 4\n");
    ASSERT_EQ(loader.loadText(bom, -1, false).size(), 1u);
}

// Every line that is not exactly "number number integer integer" stops the
// load with the file, the line and the text, made fit for one line.
TEST(TextFile, LinesOutsideTheFormatNameFileLineAndText) {
    struct Case {
        std::string line;
        std::string message;  // after "PATH" line 2:
        bool outOfRange = false;
    };
    const std::string fields =
        "is not four fields separated by single spaces (x y time mode), and a date (yyyy-mm-dd) after them at most";
    const std::vector<Case> cases = {
        // Field count: a missing field was taken from its neighbour.
        {"39.9 116.4 3600", "\"39.9 116.4 3600\" " + fields},
        // A fifth field is a date or nothing.
        {"39.9 116.4 3600 2 extra", "\"extra\" is not a date (yyyy-mm-dd)"},
        {"39.9  116.4 3600 2", "\"39.9  116.4 3600 2\" " + fields},
        {"39.9,116.4", "\"39.9,116.4\" " + fields},
        // Numbers that only start like one.
        {"39.9x 116.4 3600 2", "\"39.9x\" is not a number"},
        {"39.9 0x1p3 3600 2", "\"0x1p3\" is not a number"},
        {"nan 116.4 3600 2", "\"nan\" is not a number"},
        {"39.9 116.4 36.5 2", "\"36.5\" is not a whole number"},
        {"39.9 116.4 3600 2x", "\"2x\" is not a whole number"},
        {"1e40 116.4 3600 2", "\"1e40\" is out of range", true},
        {"39.9 116.4 99999999999 2", "\"99999999999\" is out of range", true},
        // Echoed text stays one readable line.
        {"39.9\x01\t 116.4 1 2", "\"39.9\\x01\\t\" is not a number"},
        {std::string("39.9\0", 5) + " 116.4 1 2", "\"39.9\\0\" is not a number"},
        {std::string(100, '7') + " 1 1 1", "\"" + std::string(80, '7') + "\u2026\" is out of range", true},
        {"39.9 116.4 3600 2 2008-01-01 x", "\"39.9 116.4 3600 2 2008-01-01 x\" " + fields},
        {"39.9 116.4 3600 2 ", "\"39.9 116.4 3600 2 \" " + fields},
    };
    TempDir dir;
    TrajectoryLoader loader;
    for (const auto& c : cases) {
        const auto path = dir.write("bad.txt", "39.9 116.3 3600 2\n" + c.line + "\n");
        const std::string expected = "\"" + path + "\" line 2: " + c.message;
        try {
            loader.loadText(path, -1, true);
            ADD_FAILURE() << "accepted: " << c.line;
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange) << c.line;
            EXPECT_EQ(e.what(), expected);
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.outOfRange) << c.line;
            EXPECT_EQ(e.what(), expected);
        }
    }

    // Skipped instead: all counted, the first five kept with where they were.
    std::string text;
    for (const auto& c : cases) text += c.line + "\n39.9 116.3 3600 2\n";
    const auto path = dir.write("many.txt", text);
    loader.skipBadLines = true;
    EXPECT_EQ(loader.loadText(path, -1, true).size(), cases.size());
    EXPECT_EQ(loader.report.badLines.count, static_cast<std::int64_t>(cases.size()));
    ASSERT_EQ(loader.report.badLines.first.size(), 5u);
    EXPECT_EQ(loader.report.badLines.first[4].path, path);
    EXPECT_EQ(loader.report.badLines.first[4].line, 9);
    EXPECT_EQ(loader.report.badLines.first[4].text, "39.9x 116.4 3600 2");
}

TEST(TextFile, BadNumbersNameFileLineAndText) {
    TempDir dir;
    TrajectoryLoader loader;
    const auto path = dir.write("bad.txt", "0.1 0.1 1 2\n0.2 abc 2 2\n");
    try {
        loader.loadText(path, -1, false);
        FAIL() << "expected a conversion error";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "\"" + path + "\" line 2: \"abc\" is not a number");
        EXPECT_EQ(loadFailureMessage(path, e),
                  "Could not load samples from \"" + path + "\" line 2: \"abc\" is not a number");
    }
    EXPECT_THROW(loader.loadText((dir.root() / "missing.txt").string(), -1, false), DataFileError);
}

// Inputs that are not regular files would block (a FIFO without a writer)
// or never end (a device): refused with the reason, in every reader.
TEST(Dispatch, InputsThatAreNotRegularFilesAreRefused) {
    TempDir dir;
    const auto fifo = (dir.root() / "pipe.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto fifoText = (dir.root() / "pipe.txt").string();
    ASSERT_EQ(::mkfifo(fifoText.c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {fifo, "not a regular file (a FIFO)"},
        {fifoText, "not a regular file (a FIFO)"},
        {"/dev/zero", "not a regular file (a character device)"},
        {"/dev/null", "not a regular file (a character device)"},
    };
    for (const auto& [path, reason] : cases) {
        try {
            TrajectoryLoader().load(path, true);
            ADD_FAILURE() << "accepted " << path;
        } catch (const DataFileError& e) {
            EXPECT_EQ(e.path(), path);
            EXPECT_EQ(e.reason(), reason);
        }
    }
}

TEST(Dispatch, ExtensionChoosesTheReader) {
    TempDir dir;
    TrajectoryLoader loader;
    // The same bytes read as one binary record or as one text sample.
    const std::string text = "0.5 0.25 60 4\n";
    for (const char* name : {"a.bin", "a.dat"})
        EXPECT_EQ(loader.load(dir.write(name, text), false).size(), 0u) << name;  // 14 bytes: no record
    for (const char* name : {"a.BIN", "a.txt", "noextension", "a.bin.txt", ".bin"}) {
        const auto points = loader.load(dir.write(name, text), false);
        ASSERT_EQ(points.size(), 1u) << name;
        EXPECT_EQ(points[0].mode, mode::BIKE);
    }
    const auto binary = dir.writeRecords("b.dat", kThree);
    EXPECT_EQ(loader.load(binary, 2, false).size(), 2u);
}

// The viewer's console says when data/data.bin gave nothing, was a
// directory, or holds modes outside the eleven flags.
TEST(Dataset, LoadNotesSayWhatTheSamplesAre) {
    TempDir dir;
    std::vector<Datapoint> odd = kThree;
    odd.emplace_back(0.5f, 0.5f, static_cast<TransportationMode>(3), 10);
    odd.emplace_back(0.5f, 0.5f, static_cast<TransportationMode>(0), 10);
    dir.write("tree.bin/a.plt", "h\nh\nh\nh\nh\nh\n39.9,116.3,0,0,0,2009-06-01,08:30:00\n");
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {dir.write("empty.bin", ""), {"holds no samples"}},
        {dir.writeRecords("three.bin", kThree), {}},
        {dir.writeRecords("odd.bin", odd),
         {"2 samples have a mode that is none of the eleven; they are counted whatever modes are ticked"}},
        {(dir.root() / "tree.bin").string(), {"is a directory, not a sample file: read as a raw trajectory tree, 1 samples"}},
    };
    for (const auto& [path, expected] : cases) {
        const std::vector<Datapoint> points = TrajectoryLoader().load(path, true);
        SampleTally tally;
        tally.add(points.data(), points.size());
        const auto notes = loadNotes(path, static_cast<std::int64_t>(points.size()), tally.otherModes);
        ASSERT_EQ(notes.size(), expected.size()) << path;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            const std::string quoted = "\"" + path + "\" ";
            const bool aboutPath = notes[i].rfind(quoted, 0) == 0;
            EXPECT_EQ(aboutPath ? notes[i].substr(quoted.size()) : notes[i], expected[i]) << path;
        }
    }
}
