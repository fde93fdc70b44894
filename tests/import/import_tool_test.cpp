// trackora-import: arguments, the atomic write, failures and the summary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "model/OutputFile.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"
#include "tools/import/ImportTool.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "h1\nh2\nh3\nh4\nh5\nh6\n";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun import(const ImportOptions& options, const std::function<void()>& hook = {}) {
    std::ostringstream out, err;
    const int status = runImport(options, out, err, hook);
    return {status, out.str(), err.str()};
}

// A small tree: one labelled user with a CRLF trajectory file.
void writeTree(const TempDir& dir) {
    dir.write("raw/000/labels.txt", "Start\tEnd\tMode\r\n2009/06/01 08:00:00\t2009/06/01 08:00:01\ttaxi\r\n"
                                    "2009/06/01 09:00:00\t2009/06/01 09:30:00\tskate\r\n");
    dir.write("raw/000/Trajectory/1.plt", "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\n"
                                          "39.9,116.3,0,0,0,2009-06-01,08:00:00\r\n"
                                          "39.8,116.4,0,0,0,2009-06-01,08:00:01\r\n"
                                          "39.8,116.4,0,0,0,2009-06-01,08:00:02\r\n"
                                          "38.0,116.4,0,0,0,2009-06-01,08:00:03\r\n");
}

// `count` fixes a second apart from `firstSecond`, their longitudes spread
// over the box, every `outsideEvery`-th south of it.
std::string trajectoryText(int count, int firstSecond, int outsideEvery = 0) {
    std::string text = kHeader;
    for (int i = 0; i < count; ++i) {
        const int s = (firstSecond + i) % 86400;
        const bool outside = outsideEvery > 0 && i % outsideEvery == outsideEvery - 1;
        char line[96];
        std::snprintf(line, sizeof line, "%s,116.%04d,0,0,0,2009-06-01,%02d:%02d:%02d\n", outside ? "38.0" : "39.9",
                      1500 + i % 4000, s / 3600, s / 60 % 60, s % 60);
        text += line;
    }
    return text;
}

std::string twoDigits(int i) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", i);
    return text;
}

}  // namespace

TEST(ImportArguments, AcceptsTheDocumentedFormOnly) {
    ImportOptions options;
    bool help = false;
    std::string error;
    ASSERT_TRUE(parseImportArguments({"raw", "-o", "out.bin", "--limit", "100"}, options, help, error));
    EXPECT_EQ(options.input, "raw");
    EXPECT_EQ(options.output, "out.bin");
    EXPECT_EQ(options.limit, 100);
    ImportOptions defaults;
    ASSERT_TRUE(parseImportArguments({"raw"}, defaults, help, error));
    EXPECT_EQ(defaults.output, "data/data.bin");
    EXPECT_EQ(defaults.limit, -1);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{}, {"a", "b"}, {"a", "--limit"}, {"a", "--limit", "-2"},
          {"a", "--limit", "12x"}, {"a", "--limit", "99999999999"}, {"a", "--fast"}, {"a", "-o"}, {""}}) {
        ImportOptions o;
        EXPECT_FALSE(parseImportArguments(bad, o, help, error)) << (bad.empty() ? "" : bad.back());
        EXPECT_FALSE(error.empty());
    }
    ASSERT_TRUE(parseImportArguments({"--help"}, options, help, error));
    EXPECT_TRUE(help);
}

// The parser library's own wording and habits stay out: refusals are ours,
// values that look like options (negative numbers) are taken, a repeated
// option keeps its last value, and the generated help lists every option.
TEST(ImportArguments, RefusalsNegativeValuesRepeatsAndHelp) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } refused[] = {
        {{"a", "b"}, "only one INPUT may be given"},
        {{"a", "--fast"}, "unknown option \"--fast\""},
        {{"a", "--limit"}, "--limit needs a value"},
        {{"a", "--visits=x"}, "--visits takes no value"},
        {{}, "no INPUT given"},
        {{""}, "INPUT must not be empty"},
    };
    for (const auto& c : refused) {
        ImportOptions options;
        bool help = false;
        std::string error;
        EXPECT_FALSE(parseImportArguments(c.args, options, help, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
    ImportOptions options;
    bool help = false;
    std::string error;
    ASSERT_TRUE(parseImportArguments({"a", "--utc-offset", "-8", "--limit", "5", "--limit", "-1"}, options, help, error))
        << error;
    EXPECT_EQ(options.tracks.utcOffsetSeconds, -8 * 3600);
    EXPECT_EQ(options.limit, -1);
    const std::string usage = importUsage();
    for (const char* name : {"-o,--output", "--box", "--limit", "--skip-bad-lines", "--utc-offset", "--tz", "--mode ",
                             "--mode-field", "--visits", "--track-column", "INPUT"})
        EXPECT_NE(usage.find(name), std::string::npos) << name;
}

TEST(ImportTool, WritesNormalisedRecordsAndASummary) {
    TempDir dir;
    writeTree(dir);
    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = (dir.root() / "out" / "data.bin").string();  // the directory is created
    const ToolRun run = import(options);
    ASSERT_EQ(run.status, 0) << run.err;

    TrajectoryLoader loader;
    const auto expected = loader.load(options.input, true);
    const auto written = TrajectoryLoader::loadBinary(options.output, -1);
    ASSERT_EQ(written.size(), 3u);
    ASSERT_EQ(expected.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(written[i].x, expected[i].x);
        EXPECT_EQ(written[i].mode, expected[i].mode);
    }
    EXPECT_EQ(written[0].mode, mode::CAR);
    EXPECT_EQ(written[2].mode, mode::UNKNOWN);
    EXPECT_NE(run.out.find("fixes kept:        3\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("outside the box:   1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Unknown 1 Car 2\n"), std::string::npos) << run.out;  // taxi counts as car
    EXPECT_NE(run.out.find("1 lines skipped: \"skate\" 1"), std::string::npos) << run.out;
    EXPECT_EQ(filesIn(dir.root() / "out"), (std::vector<std::string>{"data.bin", "data.bin.days"}));

    // A text sample file and a binary file go through the same way.
    options.input = dir.write("samples.txt", "39.9 116.3 3600 2\n");
    options.output = (dir.root() / "text.bin").string();
    ASSERT_EQ(import(options).status, 0);
    const auto text = TrajectoryLoader::loadBinary(options.output, -1);
    ASSERT_EQ(text.size(), 1u);
    EXPECT_NEAR(text[0].x, (39.9 - 39.75) / 0.35, 1e-6);
    options.input = options.output;
    options.output = (dir.root() / "copy.bin").string();
    ASSERT_EQ(import(options).status, 0);
    EXPECT_EQ(readAll(options.output), readAll(options.input));

    // A limit past the end of a binary file adds no padding records, nor
    // allocates room for them (2e9 records would be 32 GB).
    for (const std::int32_t limit : {5, 2000000000}) {
        options.limit = limit;
        ASSERT_EQ(import(options).status, 0) << limit;
        EXPECT_EQ(readAll(options.output), readAll(options.input));
    }
    options.limit = 0;
    EXPECT_EQ(import(options).status, 1);  // nothing to write
}

TEST(ImportTool, AFailedImportLeavesThePreviousFileByteForByte) {
    TempDir dir;
    writeTree(dir);
    dir.write("raw/001/Trajectory/2.plt", kHeader + "39.9,116.3,0,0,0,2009-06-01,08:00:00\n"
                                                    "39.9,116.3x,0,0,0,2009-06-01,08:00:00\n"
                                                    "north,116.3,0,0,0,2009-06-01,08:00:00\n");
    const std::string previous = "previous contents, not records\n";
    const auto output = dir.write("data/data.bin", previous);
    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = output;
    const ToolRun run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("2.plt\" line 8: \"116.3x\" is not a number\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--skip-bad-lines skips such lines"), std::string::npos) << run.err;
    EXPECT_EQ(readAll(output), previous);
    EXPECT_EQ(filesIn(dir.root() / "data"), std::vector<std::string>{"data.bin"});

    // A file far into a large tree breaks its format after the records of
    // the files before it went to the temporary file (far more than the
    // walk keeps in flight and the writer gathers): still nothing is
    // published, and where there was no output, none appears.
    for (int i = 0; i < 60; ++i) dir.write("big/" + twoDigits(i) + "/1.plt", trajectoryText(3000, i * 10));
    dir.write("big/60/1.plt", kHeader + "39.9,116.3,0,0,0,2009-06-01,08:00:00\n"
                                        "39.9,116.3,0,0,0,2009-13-01,08:00:00\n");
    options.input = (dir.root() / "big").string();
    options.threads = 2;
    for (const bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "over a previous output" : "no previous output");
        options.output = existed ? output : (dir.root() / "fresh" / "data.bin").string();
        const ToolRun late = import(options);
        EXPECT_EQ(late.status, 1);
        EXPECT_NE(late.err.find("60/1.plt\" line 8: \"2009-13-01\" is not a date"), std::string::npos) << late.err;
        EXPECT_NE(late.err.find("nothing written"), std::string::npos) << late.err;
    }
    EXPECT_EQ(readAll(output), previous);
    EXPECT_EQ(filesIn(dir.root() / "data"), std::vector<std::string>{"data.bin"});
    EXPECT_FALSE(fs::exists(dir.root() / "fresh"));  // nor the directory made for it
    options.threads = 0;

    // No fixes inside the box: nothing written either.
    options.input = dir.write("empty/1.plt", kHeader + "10.0,10.0,0,0,0,2009-06-01,08:00:00\n");
    options.input = (dir.root() / "empty").string();
    const ToolRun none = import(options);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no fixes inside the box"), std::string::npos) << none.err;
    EXPECT_EQ(readAll(output), previous);
}

TEST(ImportTool, MissingInputAndUnwritableOutput) {
    TempDir dir;
    writeTree(dir);
    ImportOptions options;
    options.input = (dir.root() / "nothing").string();
    options.output = (dir.root() / "out.bin").string();
    ToolRun run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "trackora-import: cannot read \"" + options.input + "\": No such file or directory\n");

    options.input = (dir.root() / "raw").string();
    const auto blocker = dir.write("file", "x");
    options.output = blocker + "/data.bin";  // a regular file where a directory should be
    run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write \"" + options.output + "\""), std::string::npos) << run.err;

    options.output = (dir.root() / "raw").string();  // a directory
    run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;
}

// The writer never destroys what it should not: each failure names the
// target and the reason, and leaves whatever was there exactly as it was.
TEST(ImportTool, OutputsThatMustNotBeReplacedAreRefused) {
    TempDir dir;
    writeTree(dir);
    const auto input = dir.write("in.bin", std::string(32, 'x'));
    const auto fifo = (dir.root() / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto hardLink = (dir.root() / "same.bin").string();
    fs::create_hard_link(input, hardLink);
    struct Case {
        std::string output;
        std::string reason;
    };
    std::vector<Case> cases = {
        {fifo, "not a regular file (a FIFO)"},
        {(dir.root() / "raw").string(), "Is a directory"},
        {input, "it is the input \"" + input + "\", which it would destroy"},
        {hardLink, "it is the input \"" + input + "\", which it would destroy"},
        {input + "/data.bin", "Not a directory"},
    };
    const auto device = (dir.root() / "null").string();
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)  // root only: a copy of /dev/null
        cases.push_back({device, "not a regular file (a character device)"});
    for (const auto& c : cases) {
        ImportOptions options;
        options.input = input;
        options.output = c.output;
        const ToolRun run = import(options);
        EXPECT_EQ(run.status, 1) << c.output;
        EXPECT_EQ(run.err, "trackora-import: cannot write \"" + c.output + "\": " + c.reason + "\n");
    }
    EXPECT_EQ(readAll(input), std::string(32, 'x'));
    struct stat status {};
    ASSERT_EQ(::stat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    if (fs::exists(device)) {
        ASSERT_EQ(::stat(device.c_str(), &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
    }
}

TEST(ImportTool, LinksLongNamesAndOutputsInsideTheInputTree) {
    TempDir dir;
    writeTree(dir);
    ImportOptions options;
    options.input = (dir.root() / "raw").string();

    // A link is followed: the file it points to is replaced, the link stays.
    const auto real = dir.write("real/data.bin", "old");
    fs::create_symlink("real/data.bin", dir.root() / "link.bin");
    options.output = (dir.root() / "link.bin").string();
    ASSERT_EQ(import(options).status, 0);
    EXPECT_TRUE(fs::is_symlink(options.output));
    EXPECT_EQ(readAll(real).size(), 3 * sizeof(Datapoint));

    // A name at the file system's limit still leaves room for its temporary file.
    options.output = (dir.root() / std::string(255 - 4, 'n')).string() + ".bin";
    const ToolRun longName = import(options);
    EXPECT_EQ(longName.status, 0) << longName.err;
    EXPECT_EQ(readAll(options.output).size(), 3 * sizeof(Datapoint));

    // Inside the tree, the output and stale temporary files are no recordings.
    options.output = dir.write("raw/000/Trajectory/data.bin", "not,a,trajectory\n");
    dir.write("raw/000/Trajectory/.data.bin.tmp-a1b2c3", "left,over\n");
    const ToolRun inside = import(options);
    ASSERT_EQ(inside.status, 0) << inside.err;
    EXPECT_NE(inside.out.find("1 trajectory files"), std::string::npos) << inside.out;
    EXPECT_EQ(readAll(options.output).size(), 3 * sizeof(Datapoint));
}

// A write that fails midway (here: past the file-size limit, as on a full
// disk) exits non-zero with the path and the system's reason.
TEST(ImportTool, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    TempDir dir;
    std::vector<Datapoint> many(1000, Datapoint(0.5f, 0.5f, mode::WALK, 10));
    const auto input = dir.writeRecords("in.bin", many);
    const auto output = dir.write("out.bin", "old");
    rlimit small;
    small.rlim_cur = small.rlim_max = 4096;
    EXPECT_EXIT(
        {
            setrlimit(RLIMIT_FSIZE, &small);
            ImportOptions options;
            options.input = input;
            options.output = output;
            std::ostringstream out;
            const int status = runImport(options, out, std::cerr);
            _exit(status);
        },
        ::testing::ExitedWithCode(1), "out.bin\": File too large");
    EXPECT_EQ(readAll(output), "old");
    EXPECT_EQ(filesIn(dir.root()), (std::vector<std::string>{"in.bin", "out.bin"}));
}

// --skip-bad-lines skips what breaks the format and says how many and where.
TEST(ImportTool, SkipBadLinesCountsAndShowsTheFirstFive) {
    TempDir dir;
    writeTree(dir);
    std::string bad = kHeader;
    for (int i = 0; i < 7; ++i) bad += "39.9,116.3,0,0,0,2009-06-01,25:00:0" + std::to_string(i) + "\n";
    bad += "39.9,116.3,0,0,0,2009-06-01,08:00:00\n";
    const auto badFile = dir.write("raw/001/bad.plt", bad);
    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = (dir.root() / "out.bin").string();
    options.skipBadLines = true;
    const ToolRun run = import(options);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("fixes kept:        4\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  bad lines skipped: 7\n"
                           "    \"" + badFile + "\" line 7: \"39.9,116.3,0,0,0,2009-06-01,25:00:00\"\n"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("line 11: \"39.9,116.3,0,0,0,2009-06-01,25:00:04\"\n  time"), std::string::npos)
        << run.out;

    bool help = false;
    std::string error;
    ImportOptions parsed;
    ASSERT_TRUE(parseImportArguments({"raw", "--skip-bad-lines"}, parsed, help, error));
    EXPECT_TRUE(parsed.skipBadLines);
}

TEST(ImportTool, AnInterruptedImportRemovesItsTemporaryFile) {
    TempDir dir;
    writeTree(dir);
    const std::string previous = "old";
    const auto output = dir.write("data/data.bin", previous);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ImportOptions options;
        options.input = (dir.root() / "raw").string();
        options.output = output;
        std::ostringstream out, err;
        runImport(options, out, err, [] { std::raise(SIGINT); });
        _exit(0);  // not reached: the interrupt ends the process
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_EQ(readAll(output), previous);
    EXPECT_EQ(filesIn(dir.root() / "data"), std::vector<std::string>{"data.bin"});
}

// Directories made for an output are removed again when the run fails
// (a typo in a path used to leave a tree behind), and kept when it succeeds.
TEST(ImportTool, DirectoriesMadeForAFailedOutputAreRemoved) {
    TempDir dir;
    writeTree(dir);
    fs::create_directories(dir.root() / "empty");
    ImportOptions options;
    options.input = (dir.root() / "empty").string();
    options.output = (dir.root() / "typo" / "deeper" / "out.bin").string();
    EXPECT_EQ(import(options).status, 1);
    EXPECT_FALSE(fs::exists(dir.root() / "typo"));

    options.input = (dir.root() / "raw").string();
    EXPECT_EQ(import(options).status, 0);
    EXPECT_TRUE(fs::is_regular_file(options.output));
}

// Temporary files a crashed run left beside the target are removed; one
// that a live writer holds (locked), or that is newer than the run, stays.
TEST(ImportTool, TemporaryFilesACrashLeftAreCleaned) {
    TempDir dir;
    writeTree(dir);
    const auto stale = dir.write("data/.data.bin.tmp-AAAAAA", "half");
    const auto held = dir.write("data/.data.bin.tmp-BBBBBB", "half");
    const auto unrelated = dir.write("data/.other.bin.tmp-CCCCCC", "half");
    const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& path : {stale, held, unrelated}) fs::last_write_time(path, hourAgo);
    const int holder = ::open(held.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = (dir.root() / "data" / "data.bin").string();
    ASSERT_EQ(import(options).status, 0);
    ::close(holder);
    EXPECT_EQ(filesIn(dir.root() / "data"),
              (std::vector<std::string>{".data.bin.tmp-BBBBBB", ".other.bin.tmp-CCCCCC", "data.bin", "data.bin.days"}));
}

// A signal removes every pending temporary file, however many outputs are
// open (the handler used to know only the first four).
TEST(ImportTool, ASignalRemovesEveryPendingTemporaryFile) {
    TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        removeTemporaryFilesOnSignals();
        std::vector<std::unique_ptr<OutputFile>> outputs;
        for (int i = 0; i < 10; ++i)
            outputs.push_back(std::make_unique<OutputFile>((dir.root() / "made" / ("out" + std::to_string(i))).string()));
        std::raise(SIGTERM);
        _exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_TRUE(filesIn(dir.root()).empty());  // the directory made for them is gone too
}

// The summary counts what happened: a track file's skipped points without a
// "bad lines skipped: 0" beside them, and, when nothing was kept, why.
TEST(ImportTool, TheSummarySaysWhatWasSkippedAndWhyNothingWasKept) {
    TempDir dir;
    const std::string gpx =
        "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\"><trk><trkseg>"
        "<trkpt lat=\"39.9\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time></trkpt>"
        "<trkpt lat=\"39.9x\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time></trkpt>"
        "<trkpt lat=\"30.0\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time></trkpt>"
        "</trkseg></trk><wpt lat=\"39.9\" lon=\"116.3\"/></gpx>\n";
    ImportOptions options;
    options.input = dir.write("walk.gpx", gpx);
    options.output = (dir.root() / "out.bin").string();
    options.skipBadLines = true;
    options.tracks.skipBadPoints = true;
    ToolRun run = import(options);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("  bad points skipped: 1\n    \"" + options.input +
                           "\" track 1, segment 1, point 2: \"39.9x\" is not a latitude\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("bad lines skipped"), std::string::npos) << run.out;

    options.input = dir.write("none.gpx", "<gpx><wpt lat=\"39.9\" lon=\"116.3\"/>"
                                          "<trk><trkseg><trkpt lat=\"30\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time>"
                                          "</trkpt><trkpt lat=\"x\" lon=\"1\"/></trkseg></trk></gpx>");
    run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("holds no fixes inside the box 39.75-40.1 N, 116.15-116.6 E (2 track points read: "
                           "1 outside the box, 1 bad points skipped, 1 features that are not points"),
              std::string::npos)
        << run.err;
    // Fixes elsewhere than the box: the way to frame them is named.
    EXPECT_NE(run.err.find("\ntrackora-import: --box fit imports them into a box fitted to where they lie\n"),
              std::string::npos)
        << run.err;
}

// Track files are counted with their bytes, in a tree as alone, and the
// rate is of the bytes read; a tree of track files alone lists no
// trajectory files.
TEST(ImportTool, TheSummaryCountsTrackFilesAndTheirBytes) {
    TempDir dir;
    std::string gpx = "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\"><trk><trkseg>\n";
    for (int i = 0; i < 12000; ++i)
        gpx += "<trkpt lat=\"39.9\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time></trkpt>\n";
    gpx += "</trkseg></trk></gpx>\n";
    std::string csv = "lat,lon,time\n";
    for (int i = 0; i < 30000; ++i) csv += "39.91,116.31,2009-06-01T08:00:01Z\n";
    const std::string gpxPath = dir.write("tracks/a/walk.gpx", gpx);
    dir.write("tracks/b/ride.csv", csv);
    const auto megabytes = [](std::size_t bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
        return std::string(text);
    };
    struct Case {
        std::string input;
        std::string counted;
    };
    const Case cases[] = {
        {(dir.root() / "tracks").string(),
         "  track files:       2 (" + megabytes(gpx.size() + csv.size()) + ", 42,000 points)\n"},
        {gpxPath, "  track files:       1 (" + megabytes(gpx.size()) + ", 12,000 points)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        ImportOptions options;
        options.input = c.input;
        options.output = (dir.root() / "out.bin").string();
        const ToolRun run = import(options);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(c.counted), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("trajectory files"), std::string::npos) << run.out;
        const auto timing = run.out.find("  time taken:");
        ASSERT_NE(timing, std::string::npos) << run.out;
        EXPECT_NE(run.out.find(" MB/s)", timing), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("(0.0 MB/s)", timing), std::string::npos) << run.out;
    }
}

// --mode-field names a field: refused for a file without fields.
TEST(ImportTool, AModeFieldForAFormatWithoutFieldsIsRefused) {
    TempDir dir;
    ImportOptions options;
    options.input = dir.write("walk.gpx", "<gpx/>");
    options.output = (dir.root() / "out.bin").string();
    options.tracks.modeField = "mode";
    const ToolRun run = import(options);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--mode-field"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(options.output));
}

namespace {

std::string fixLine(double latitude, double longitude, int second) {
    char line[96];
    std::snprintf(line, sizeof line, "%.6f,%.6f,0,0,0,2009-06-01,08:%02d:%02d\n", latitude, longitude, second / 60 % 60,
                  second % 60);
    return line;
}

}  // namespace

// Recordings from anywhere: a box south of the equator and west of
// Greenwich keeps and normalises the fixes inside it and writes its frame
// beside the samples; --box fit finds the box of 99.9% of the fixes (an
// outlier and a fix in another city left out) and writes what --box with
// the printed frame writes.
TEST(ImportFrame, BoxAnywhereAndFitToTheData) {
    TempDir dir;
    std::string lines = kHeader;
    for (int i = 0; i < 3000; ++i) lines += fixLine(-12.10 + 0.001 * (i % 100), -77.06 + 0.001 * (i / 100), i);
    lines += fixLine(-12.25, -77.15, 1);  // inside Lima's box, far from the others
    lines += fixLine(39.9, 116.3, 2);     // Beijing
    dir.write("lima/000/Trajectory/1.plt", lines);
    const std::string tree = (dir.root() / "lima").string();

    ImportOptions options;
    options.input = tree;
    options.output = (dir.root() / "box.bin").string();
    options.box = parseFrame("-12.3,-77.2,-11.9,-76.8");
    ASSERT_EQ(import(options).status, 0);
    EXPECT_EQ(readFrameFile(options.output), *options.box);
    std::vector<Datapoint> kept = TrajectoryLoader::loadBinary(options.output, -1);
    ASSERT_EQ(kept.size(), 3001u);
    EXPECT_NEAR(kept[0].x, (-12.10 - -12.3) / (-11.9 - -12.3), 1e-7);
    EXPECT_NEAR(kept[0].y, (-77.06 - -77.2) / (-76.8 - -77.2), 1e-7);

    options.box.reset();
    options.fitBox = true;
    options.output = (dir.root() / "fit.bin").string();
    const ToolRun fit = import(options);
    ASSERT_EQ(fit.status, 0) << fit.err;
    const GeoFrame fitted = readFrameFile(options.output);
    EXPECT_NE(fit.out.find("Box fitted to the data: " + frameText(fitted)), std::string::npos) << fit.out;
    EXPECT_LT(fitted.south, -12.10);
    EXPECT_GT(fitted.south, -12.25);
    EXPECT_GT(fitted.north, -12.001);
    EXPECT_LT(fitted.north, -11.9);
    EXPECT_GT(fitted.west, -77.15);
    EXPECT_LT(fitted.east, -76.9);
    EXPECT_EQ(TrajectoryLoader::loadBinary(options.output, -1).size(), 3000u);
    options.fitBox = false;
    options.box = fitted;
    options.output = (dir.root() / "again.bin").string();
    ASSERT_EQ(import(options).status, 0);
    EXPECT_EQ(readAll(options.output), readAll((dir.root() / "fit.bin").string()));

    // A binary sample file keeps the frame it was normalised over.
    options.input = (dir.root() / "fit.bin").string();
    options.box = GeoFrame{};
    options.output = (dir.root() / "other.bin").string();
    const ToolRun refused = import(options);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("holds samples normalised over " + frameText(fitted)), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(options.output));

    bool help = false;
    std::string error;
    ImportOptions parsed;
    EXPECT_FALSE(parseImportArguments({tree, "--box", "10,170,20,-170"}, parsed, help, error));
    EXPECT_NE(error.find("crosses the antimeridian"), std::string::npos) << error;
}

namespace {

// A tree whose files finish parsing in another order than the walk meets
// them (the first file is large, the rest small), with labels in force in
// some places and not others, fixes outside the box, nested directories and
// files written in reverse order. Returns its files in walk order, each with
// the label file in force for it ("" for none).
std::vector<std::pair<std::string, std::string>> writeMixedTree(const TempDir& dir) {
    const std::string header = "Start\tEnd\tMode\n";
    const auto bike = dir.write("tree/000/labels.txt", header + "2009/06/01 08:00:00\t2009/06/01 08:59:59\tbike\n");
    const auto bus = dir.write("tree/002/labels.txt", header + "2009/06/01 00:00:00\t2009/06/01 23:59:59\tbus\n");
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 29; i >= 0; --i)
        files.emplace_back(dir.write("tree/000/Trajectory/f" + twoDigits(i) + ".plt",
                                     i == 0 ? trajectoryText(40000, 28000, 7) : trajectoryText(1 + i % 9, 28700 + i, 3)),
                           bike);
    for (int i = 9; i >= 0; --i)
        files.emplace_back(dir.write("tree/001/Trajectory/g" + twoDigits(i) + ".plt", trajectoryText(5 + i, 30000 + i)), "");
    // Labels reach down through directories without their own, and end
    // with the first subdirectory's walk.
    files.emplace_back(dir.write("tree/002/z.plt", trajectoryText(4, 40000)), "");
    files.emplace_back(dir.write("tree/002/a/b/h.plt", trajectoryText(6, 41000, 2)), bus);
    files.emplace_back(dir.write("tree/top.plt", trajectoryText(3, 50000)), "");
    std::sort(files.begin(), files.end());
    return files;
}

// The records a one-by-one parse of `files`, in that order, gives.
std::string recordsOf(const std::vector<std::pair<std::string, std::string>>& files) {
    TrajectoryLoader loader;
    std::string bytes;
    for (const auto& [file, labelFile] : files) {
        const LabelIndex labels = labelFile.empty() ? LabelIndex() : loader.parseLabelsFile(labelFile);
        const auto points = loader.parseTrajectoryFile(file, true, labels);
        bytes.append(reinterpret_cast<const char*>(points.data()), points.size() * sizeof(Datapoint));
    }
    return bytes;
}

std::string bytesOf(const std::vector<Datapoint>& points) {
    return std::string(reinterpret_cast<const char*>(points.data()), points.size() * sizeof(Datapoint));
}

}  // namespace

// The import writes a tree's records as the files are parsed, on several
// threads; the file holds exactly what a one-by-one parse in walk order
// gives, and what the viewer's collected load gives.
TEST(ImportStreaming, TheOutputIsTheOneByOneParseInWalkOrder) {
    TempDir dir;
    const auto files = writeMixedTree(dir);
    const std::string expected = recordsOf(files);
    ASSERT_GT(expected.size(), 30000 * sizeof(Datapoint));
    ASSERT_EQ(files.front().first, (dir.root() / "tree/000/Trajectory/f00.plt").string());  // the large one

    ImportOptions options;
    options.input = (dir.root() / "tree").string();
    options.output = (dir.root() / "out.bin").string();
    options.threads = 4;
    const ToolRun run = import(options);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string written = readAll(options.output);
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "the records differ in content or order";
    const std::string kept = "fixes kept:        " + std::to_string(expected.size() / sizeof(Datapoint));
    EXPECT_NE(run.out.find(kept.substr(0, kept.size() - 3) + "," + kept.substr(kept.size() - 3) + "\n"),
              std::string::npos)
        << run.out;

    TrajectoryLoader loader;
    loader.threads = 4;
    EXPECT_TRUE(bytesOf(loader.load(options.input, true)) == expected);
}

// However many files are in flight and however many threads parse them,
// files reach the sink one call each, in walk order.
TEST(ImportStreaming, AnyWindowHandsFilesOnInWalkOrder) {
    TempDir dir;
    const auto files = writeMixedTree(dir);
    const std::string expected = recordsOf(files);
    struct Case {
        unsigned threads;
        std::size_t files;
        std::int64_t bytes;
    };
    const Case cases[] = {{1, 1, 1}, {4, 1, 1}, {4, 3, 1}, {4, 16, 1}, {4, 0, std::int64_t{64} << 20}, {8, 64, 1 << 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.files) + " files, " +
                     std::to_string(c.bytes) + " bytes");
        WalkOptions options;
        options.threads = c.threads;
        options.maxFilesInFlight = c.files;
        options.maxBytesInFlight = c.bytes;
        std::string received;
        std::size_t calls = 0;
        ImportReport report;
        walkDirectory((dir.root() / "tree").string(), options, report, [&](std::vector<Datapoint>& fixes) {
            ++calls;
            received += bytesOf(fixes);
        });
        EXPECT_EQ(calls, files.size());
        EXPECT_TRUE(received == expected);
        EXPECT_EQ(report.trajectoryFiles, static_cast<std::int64_t>(files.size()));
        EXPECT_EQ(report.kept, static_cast<std::int64_t>(expected.size() / sizeof(Datapoint)));
    }
}

// More fixes than a sample set may hold stop the walk before the file that
// passes the limit reaches the sink (the real limit is 2^31 - 1; a small one
// stands in for it here).
TEST(ImportStreaming, TheSampleCountLimitStopsTheWalkBeforeTheSink) {
    TempDir dir;
    const auto files = writeMixedTree(dir);
    WalkOptions options;
    options.threads = 4;
    const std::string first = recordsOf({files[0]});
    options.maxFixes = static_cast<std::int64_t>(first.size() / sizeof(Datapoint)) + 1;
    std::string received;
    ImportReport report;
    try {
        walkDirectory((dir.root() / "tree").string(), options, report,
                      [&](std::vector<Datapoint>& fixes) { received += bytesOf(fixes); });
        FAIL() << "the walk must stop at the limit";
    } catch (const DataFileError& e) {
        const std::string reason = e.reason();
        EXPECT_EQ(reason.find("holds at least "), 0u) << reason;
        EXPECT_NE(reason.find(" fixes inside the box, more than the " + std::to_string(options.maxFixes)),
                  std::string::npos) << reason;
    }
    // f00 fits; f01's two fixes would pass the limit.
    EXPECT_TRUE(received == first);
}

namespace {

// The data segment this process holds now (VmData), in bytes.
std::int64_t dataBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmData:", 0) == 0) return std::stoll(line.substr(7)) * 1024;
    return -1;
}

// Runs `work` in a child whose data segment may grow by `allowance` bytes
// at most; its exit status (0 when work() returns true, 3 when memory ran out).
int underDataLimit(std::int64_t allowance, const std::function<bool()>& work) {
    const pid_t child = fork();
    if (child == 0) {
        const std::int64_t now = dataBytes();
        if (now < 0) _exit(4);
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(now + allowance);
        if (setrlimit(RLIMIT_DATA, &limit) != 0) _exit(5);
        try {
            _exit(work() ? 0 : 1);
        } catch (const std::bad_alloc&) {
            _exit(3);
        } catch (...) {
            _exit(6);
        }
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace

// Memory does not grow with the tree: under a data limit well below the
// records' own size, collecting the tree (as the import once did) runs out,
// while the import of the same tree completes.
TEST(ImportStreaming, ATreeLargerThanTheMemoryLimitStillImports) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory counts against the data limit";
#endif
    TempDir dir;
    const std::string text = trajectoryText(5000, 0);
    constexpr int kFiles = 400;  // 2,000,000 fixes: 32 MB of records
    for (int i = 0; i < kFiles; ++i) dir.write("big/" + std::to_string(1000 + i) + ".plt", text);
    constexpr std::int64_t kRecordBytes = std::int64_t{kFiles} * 5000 * sizeof(Datapoint);
    // Room for the stack of one parsing thread besides this one, a few
    // files in flight and the write buffer.
    std::size_t stack = std::size_t{8} << 20;
    pthread_attr_t defaults;
    if (pthread_getattr_default_np(&defaults) == 0) {
        pthread_attr_getstacksize(&defaults, &stack);
        pthread_attr_destroy(&defaults);
    }
    const std::int64_t allowance = (std::int64_t{12} << 20) + static_cast<std::int64_t>(stack);
    if (kRecordBytes < allowance + (std::int64_t{8} << 20))
        GTEST_SKIP() << "threads' stacks are " << stack << " bytes here, too large for this check";

    ImportOptions options;
    options.input = (dir.root() / "big").string();
    options.output = (dir.root() / "out.bin").string();
    options.threads = 2;
    // The limit is real: the records alone do not fit under it.
    const int collected = underDataLimit(allowance, [&] {
        TrajectoryLoader loader;
        loader.threads = 2;
        return !loader.load(options.input, true).empty();
    });
    if (collected == 0) GTEST_SKIP() << "this system does not hold allocations to RLIMIT_DATA";
    EXPECT_EQ(collected, 3);

    EXPECT_EQ(underDataLimit(allowance,
                             [&] {
                                 std::ostringstream out, errors;
                                 const bool ok = runImport(options, out, errors) == 0;
                                 if (!ok) std::cerr << errors.str();
                                 return ok;
                             }),
              0);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(options.output)), kRecordBytes);
}

namespace {

// --tz: each fix's UTC time under the zone's rules at its own date, for a
// single trajectory file, a tree and a CSV track file alike. Winter (UTC-8)
// and summer (UTC-7) fixes read the same local hour; a fix early in the UTC
// day lands on the evening before. A fixed offset would get one of the
// seasons wrong; a conversion that ignored the date would get both.
TEST(ImportTimeZone, FixesReadTheZonesWallClockAtTheirDate) {
    const struct {
        const char* date;
        const char* time;
        int local;
    } fixes[] = {
        {"2009-01-15", "16:00:00", 8 * 3600},              // PST
        {"2009-07-15", "15:00:00", 8 * 3600},              // PDT
        {"2009-06-02", "03:30:00", 20 * 3600 + 30 * 60},   // 20:30 on June 1st
        {"2009-03-08", "09:59:59", 3600 + 59 * 60 + 59},   // 01:59:59 PST, the second before the change
        {"2009-03-08", "10:00:00", 3 * 3600},              // 03:00 PDT
    };
    std::string plt = kHeader, csv = "latitude,longitude,time\n";
    for (const auto& f : fixes) {
        plt += std::string("39.9,116.3,0,0,0,") + f.date + "," + f.time + "\n";
        csv += std::string("39.9,116.3,") + f.date + "T" + f.time + "Z\n";
    }
    TempDir dir;
    const std::string inputs[] = {dir.write("one.plt", plt), dir.write("tree/000/Trajectory/1.plt", plt),
                                  dir.write("fixes.csv", csv)};
    for (const std::string& input : {inputs[0], (dir.root() / "tree").string(), inputs[2]}) {
        ImportOptions options;
        options.input = input;
        options.output = (dir.root() / "out.bin").string();
        options.timeZone = "America/Los_Angeles";
        const ToolRun run = import(options);
        ASSERT_EQ(run.status, 0) << input << ": " << run.err;
        const std::vector<Datapoint> points = TrajectoryLoader::loadBinary(options.output, -1);
        ASSERT_EQ(points.size(), std::size(fixes)) << input;
        for (std::size_t i = 0; i < points.size(); ++i)
            EXPECT_EQ(points[i].time, fixes[i].local) << input << ": " << fixes[i].date << " " << fixes[i].time;
        EXPECT_EQ(readFrameClock(options.output), "America/Los_Angeles") << input;
        EXPECT_EQ(readFrameFile(options.output), GeoFrame{}) << input;
    }
}

// Bad clocks: one line naming the problem, nothing written (not even an
// earlier import's output is touched).
TEST(ImportTimeZone, BadZonesAreOneLineAndWriteNothing) {
    TempDir dir;
    const std::string plt = dir.write("one.plt", kHeader + "39.9,116.3,0,0,0,2009-01-15,16:00:00\n");
    const std::string samples = dir.write("samples.txt", "39.9 116.3 3600 2\n");
    const struct {
        std::string input, zone, says;
    } cases[] = {
        {plt, "Mars/Olympus_Mons", "\"Mars/Olympus_Mons\""},
        {samples, "America/Los_Angeles", "times of day only"},
    };
    for (const auto& c : cases) {
        ImportOptions options;
        options.input = c.input;
        options.output = (dir.root() / "out.bin").string();
        options.timeZone = c.zone;
        const ToolRun run = import(options);
        EXPECT_NE(run.status, 0) << c.zone;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(options.output));
        EXPECT_FALSE(fs::exists(frameFilePath(options.output)));
    }
    ImportOptions options;
    bool help = false;
    std::string error;
    EXPECT_FALSE(parseImportArguments({plt, "--tz", "UTC", "--utc-offset", "8"}, options, help, error));
    EXPECT_NE(error.find("--tz and --utc-offset"), std::string::npos) << error;
}

}  // namespace

namespace {

// A lone trajectory file, as a recorder leaves it: read as a recording (its
// six header lines passed over, comma fields), not as a text sample file
// whose every line would be refused; by the tool and by the loader alike,
// whatever the extension's letter case.
TEST(ImportRecordingFile, ALonePltFileIsARecording) {
    TempDir dir;
    const std::string plt = kHeader + "39.9,116.3,0,0,0,2009-06-01,08:00:00\r\n"
                                      "39.8,116.4,0,0,0,2009-06-01,08:00:05\r\n"
                                      "38.0,116.4,0,0,0,2009-06-01,08:00:09\r\n";
    for (const char* name : {"20090601.plt", "LOGGER.PLT"}) {
        const std::string input = dir.write(name, plt);
        ImportOptions options;
        options.input = input;
        options.output = (dir.root() / "out.bin").string();
        const ToolRun run = import(options);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("outside the box:   1"), std::string::npos) << run.out;
        const std::vector<Datapoint> points = TrajectoryLoader::loadBinary(options.output, -1);
        ASSERT_EQ(points.size(), 2u);
        EXPECT_EQ(points[1].time, 8 * 3600 + 5);
        TrajectoryLoader loader;
        const std::vector<Datapoint> loaded = loader.load(input, true);
        ASSERT_EQ(loaded.size(), 2u) << name;
        EXPECT_EQ(loaded[0].x, points[0].x);
    }
}

}  // namespace

namespace {

// --visits: a logger parked in one cell for 100 fixes and a vehicle passing
// through 50 cells give 51 samples, and 150 without it. In the CSV the two
// tracks' rows alternate, so only a reading that follows the track column
// folds the parked logger's fixes; the GPX keeps them in two segments.
TEST(ImportVisits, ParkedLoggerCountsOncePassingVehicleOncePerCell) {
    const auto parked = [](int) { return std::pair<std::string, std::string>{"39.9005", "116.3005"}; };
    const auto passing = [](int i) {
        char latitude[32];
        std::snprintf(latitude, sizeof latitude, "%.5f", 39.75 + (100 + i) * 0.00035 + 0.0001);
        return std::pair<std::string, std::string>{latitude, "116.4001"};
    };
    std::string plt = kHeader, csv = "track,latitude,longitude,time\n",
                gpx = "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"t\" "
                      "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (int i = 0; i < 100; ++i) {
        const auto [lat, lon] = parked(i);
        plt += lat + "," + lon + ",0,0,0,2009-06-01,08:00:00\n";
        gpx += "<trkpt lat=\"" + lat + "\" lon=\"" + lon + "\"><time>2009-06-01T08:00:00Z</time></trkpt>\n";
        csv += "parked," + lat + "," + lon + ",2009-06-01T08:00:00Z\n";
        if (i < 50) {
            const auto [plat, plon] = passing(i);
            csv += "car," + plat + "," + plon + ",2009-06-01T09:00:00Z\n";
        }
    }
    gpx += "</trkseg><trkseg>\n";
    for (int i = 0; i < 50; ++i) {
        const auto [lat, lon] = passing(i);
        plt += lat + "," + lon + ",0,0,0,2009-06-01,09:00:00\n";
        gpx += "<trkpt lat=\"" + lat + "\" lon=\"" + lon + "\"><time>2009-06-01T09:00:00Z</time></trkpt>\n";
    }
    gpx += "</trkseg></trk></gpx>\n";
    TempDir dir;
    dir.write("tree/000/Trajectory/1.plt", plt);
    const struct {
        std::string input, trackColumn;
    } inputs[] = {
        {(dir.root() / "tree").string(), ""},
        {dir.write("one.plt", plt), ""},
        {dir.write("drive.gpx", gpx), ""},
        {dir.write("fleet.csv", csv), "track"},
    };
    for (const auto& in : inputs) {
        for (const bool visits : {false, true}) {
            ImportOptions options;
            options.input = in.input;
            options.output = (dir.root() / "out.bin").string();
            options.tracks.visits = visits;
            if (visits) options.tracks.trackField = in.trackColumn;
            const ToolRun run = import(options);
            ASSERT_EQ(run.status, 0) << in.input << ": " << run.err;
            const std::vector<Datapoint> points = TrajectoryLoader::loadBinary(options.output, -1);
            EXPECT_EQ(points.size(), visits ? 51u : 150u) << in.input;
            if (visits) {
                EXPECT_NE(run.out.find("150 fixes collapsed into 51 visits"), std::string::npos) << run.out;
            }
        }
    }
}

// --visits on samples (no tracks): one line, nothing written.
TEST(ImportVisits, SampleFilesAreRefused) {
    TempDir dir;
    const std::vector<Datapoint> samples(3, Datapoint(0.5f, 0.5f, mode::WALK, 0));
    const std::string bin = dir.write("in.bin", std::string_view(reinterpret_cast<const char*>(samples.data()),
                                                                 samples.size() * sizeof(Datapoint)));
    ImportOptions options;
    options.input = bin;
    options.output = (dir.root() / "out.bin").string();
    options.tracks.visits = true;
    const ToolRun run = import(options);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find("in.bin"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(options.output));
}

}  // namespace

namespace {

// Fixes from two cities: --box fit takes the one with most fixes (Seattle,
// 60%), not a box spanning the Pacific, and names the other (Beijing, 40%).
TEST(ImportFrame, FitTakesTheCityWithMostFixesAndNamesTheOther) {
    TempDir dir;
    std::string seattle = kHeader, beijing = kHeader;
    for (int i = 0; i < 600; ++i)
        seattle += fixLine(47.55 + 0.00025 * i, -122.40 + 0.0002 * ((i * 7) % 600), i);
    for (int i = 0; i < 400; ++i) beijing += fixLine(39.85 + 0.00025 * i, 116.30 + 0.0003 * i, i);
    dir.write("fleet/seattle/Trajectory/1.plt", seattle);
    dir.write("fleet/beijing/Trajectory/1.plt", beijing);
    ImportOptions options;
    options.input = (dir.root() / "fleet").string();
    options.output = (dir.root() / "fit.bin").string();
    options.fitBox = true;
    const ToolRun run = import(options);
    ASSERT_EQ(run.status, 0) << run.err;
    const GeoFrame frame = readFrameFile(options.output);
    EXPECT_LT(frame.south, 47.55);
    EXPECT_GT(frame.north, 47.7);
    EXPECT_LT(frame.west, -122.4);
    EXPECT_GT(frame.east, -122.28);
    EXPECT_LT(frame.east - frame.west, 1.0) << frameText(frame);
    EXPECT_EQ(TrajectoryLoader::loadBinary(options.output, -1).size(), 600u);
    EXPECT_NE(run.out.find("the most fixes: 60.0% (600 of 1,000)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("40.0% near 39.9 N, 116.4 E"), std::string::npos) << run.out;
}

}  // namespace

// The samples and their frame file change together or not at all: a frame
// file that cannot be written or removed (a directory in its place, made
// while the import reads) leaves the old samples; samples that cannot be
// renamed into place put the old frame file back.
TEST(ImportCommit, SamplesAndFrameFileChangeTogetherOrNotAtAll) {
    struct Case {
        const char* name;
        bool box;                   // import into another box than the default
        bool frameBecomesDirectory;  // else the samples' target does
    };
    for (const Case& c : {Case{"frame file blocked, another box", true, true},
                          Case{"old frame file blocked, default box", false, true},
                          Case{"samples blocked, frame file put back", true, false}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeTree(dir);
        ImportOptions options;
        options.input = (dir.root() / "raw").string();
        options.output = (dir.root() / "out.bin").string();
        options.box = parseFrame("39,116,41,117");
        ASSERT_EQ(import(options).status, 0);
        const std::string samples = readAll(options.output), frame = readAll(frameFilePath(options.output));
        const std::string days = readAll(daysFilePath(options.output));
        ASSERT_FALSE(frame.empty());
        ASSERT_EQ(days.size(), samples.size() / 4);
        // The new import would date its fixes a day earlier.
        options.tracks.utcOffsetSeconds = -9 * 3600;

        if (c.box)
            options.box = parseFrame("39.5,116,40.5,117");
        else
            options.box.reset();
        const std::string blocked = c.frameBecomesDirectory ? frameFilePath(options.output) : options.output;
        const ToolRun run = import(options, [&] {
            fs::remove(blocked);
            fs::create_directories(blocked + "/kept");
        });
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(blocked + "\""), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;
        EXPECT_TRUE(fs::is_directory(blocked + "/kept"));
        if (c.frameBecomesDirectory) EXPECT_EQ(readAll(options.output), samples);
        else EXPECT_EQ(readAll(frameFilePath(options.output)), frame);
        EXPECT_EQ(readAll(daysFilePath(options.output)), days);
        EXPECT_EQ(filesIn(dir.root()), (std::vector<std::string>{"out.bin", "out.bin.days", "out.bin.frame", "raw"}));
    }
}

// A file in a tree that is no track file after all (a meta.json that is not
// GeoJSON, a table without coordinates) is skipped with a warning naming it
// and why, counted, and the rest imported, with or without
// --skip-bad-lines; a bad point in a track file still stops the import, and
// a tree of nothing readable still fails.
TEST(ImportTool, FilesInATreeThatAreNoTrackFilesAreSkippedWithAWarning) {
    TempDir dir;
    writeTree(dir);
    dir.write("raw/meta.json", "{\"name\": \"study\", \"version\": 2}\n");
    dir.write("raw/000/summary.csv", "user,trips\n000,1\n");
    const std::string meta = (dir.root() / "raw/meta.json").string();
    const std::string summary = (dir.root() / "raw/000/summary.csv").string();
    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = (dir.root() / "out.bin").string();
    for (const bool skipBadLines : {false, true}) {
        SCOPED_TRACE(skipBadLines ? "--skip-bad-lines" : "plain");
        options.skipBadLines = skipBadLines;
        const ToolRun run = import(options);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("trackora-import: warning: skipped \"" + summary +
                               "\": has no latitude column (looked for latitude, lat, y)\n"),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("trackora-import: warning: skipped \"" + meta + "\": GDAL: "), std::string::npos)
            << run.err;
        EXPECT_NE(run.out.find("  unreadable:        2 files skipped (named above)\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("  fixes kept:        3\n"), std::string::npos) << run.out;
    }

    options.skipBadLines = false;
    dir.write("raw/walk.gpx", "<gpx><trk><trkseg><trkpt lat=\"39.9x\" lon=\"116.3\"><time>2009-06-01T08:00:00Z</time>"
                              "</trkpt></trkseg></trk></gpx>");
    ToolRun run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("point 1: \"39.9x\" is not a latitude"), std::string::npos) << run.err;

    options.input = (dir.root() / "nothing").string();
    dir.write("nothing/meta.json", "{\"name\": \"study\"}\n");
    dir.write("nothing/summary.csv", "user,trips\n000,1\n");
    run = import(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("2 files or directories unreadable); nothing written"), std::string::npos) << run.err;
}

// Fixes that all lie beyond 85 degrees of latitude leave --box fit nothing
// to frame: it says so and writes nothing, instead of calling the default
// box fitted and then finding no fix in it.
TEST(ImportFrame, FitWithEveryFixBeyond85DegreesWritesNothing) {
    const struct {
        const char* name;
        const char* file;
        std::string content;
        int fixes;
    } cases[] = {
        {"Svalbard's north, a tree", "arctic/000/Trajectory/1.plt",
         kHeader + "85.2,20.0,0,0,0,2009-06-01,08:00:00\n86.0,21.0,0,0,0,2009-06-01,08:00:01\n"
                   "89.9,-40.0,0,0,0,2009-06-01,08:00:02\n",
         3},
        {"the pole, a GPX file", "south.gpx",
         "<gpx><trk><trkseg><trkpt lat=\"-89.5\" lon=\"0\"><time>2009-06-01T08:00:00Z</time></trkpt>"
         "<trkpt lat=\"-85.001\" lon=\"1\"><time>2009-06-01T08:00:01Z</time></trkpt></trkseg></trk></gpx>",
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string file = dir.write(c.file, c.content);
        ImportOptions options;
        options.input = std::string(c.file).find('/') != std::string::npos ? (dir.root() / "arctic").string() : file;
        options.output = (dir.root() / "out.bin").string();
        options.fitBox = true;
        const ToolRun run = import(options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("its fixes cannot be framed: none of its " + std::to_string(c.fixes) +
                               " fixes lies within 85 degrees of the equator"),
                  std::string::npos)
            << run.err;
        EXPECT_FALSE(fs::exists(options.output));
        EXPECT_FALSE(fs::exists(frameFilePath(options.output)));
    }
}

// The days column: one date per record, in the stored clock, written and
// committed with the samples; carried over from a binary input; the files
// of two imports concatenate with their columns; an import without dates
// leaves no old column behind to date its records wrongly.
TEST(ImportDays, TheDaysColumnFollowsTheSamples) {
    TempDir dir;
    dir.write("raw/000/Trajectory/1.plt", kHeader + "39.9,116.3,0,0,0,2008-12-31,15:00:00\n"
                                                    "39.9,116.3,0,0,0,2008-12-31,16:00:00\n"
                                                    "39.91,116.31,0,0,0,2009-03-01,01:00:00\n");
    ImportOptions options;
    options.input = (dir.root() / "raw").string();
    options.output = (dir.root() / "a.bin").string();
    options.tracks.utcOffsetSeconds = 8 * 3600;
    ASSERT_EQ(import(options).status, 0);
    // 15:00 UTC + 8 h is still the 31st, 16:00 UTC is New Year's Day.
    const std::vector<std::int32_t> expected = {dayNumber(2008, 12, 31), dayNumber(2009, 1, 1), dayNumber(2009, 3, 1)};
    const auto readDays = [](const std::string& path) {
        SampleFile file(path);
        std::vector<std::int32_t> days;
        file.forEachDatedChunk([&](const Datapoint*, const std::int32_t* d, std::size_t count, std::size_t) {
            if (d) days.insert(days.end(), d, d + count);
        });
        return days;
    };
    EXPECT_EQ(readDays(options.output), expected);

    // A binary input keeps its dates (its clock is already the stored one).
    ImportOptions copy;
    copy.input = options.output;
    copy.output = (dir.root() / "b.bin").string();
    ASSERT_EQ(import(copy).status, 0);
    EXPECT_EQ(readAll(daysFilePath(copy.output)), readAll(daysFilePath(options.output)));

    // Two files of one frame, each with its column, concatenate.
    const std::string both = (dir.root() / "both.bin").string();
    dir.write("both.bin", readAll(options.output) + readAll(copy.output));
    dir.write("both.bin.days", readAll(daysFilePath(options.output)) + readAll(daysFilePath(copy.output)));
    std::vector<std::int32_t> twice = expected;
    twice.insert(twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(readDays(both), twice);

    // Samples without dates replace dated ones: the old column goes too.
    dir.write("plain.txt", "39.9 116.3 3600 2\n");
    copy.input = (dir.root() / "plain.txt").string();
    ASSERT_EQ(import(copy).status, 0);
    EXPECT_FALSE(fs::exists(daysFilePath(copy.output)));
    EXPECT_FALSE(SampleFile(copy.output).hasDays());
}
