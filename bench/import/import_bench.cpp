// Import memory and throughput. First the peak resident memory of
// trackora-import itself, run as a child process, on the tree and on trees
// of other sizes, to show that it does not grow with the input. Then the
// fast parser against the straightforward std::getline + std::stof +
// std::get_time reading, on the same tree, one core each, and the whole
// directory import on all cores; each of these figures is the best of three
// runs.
//
// usage: import_bench [--fixes N] [--tree DIR] [--skip-naive] [--memory N,N,...]
//   --fixes   size of the generated tree (default 1000000 fixes)
//   --tree    use an existing tree instead (kept); the generated one is removed
//   --memory  also generate trees of these sizes (removed again) and measure
//             the import's peak memory on each (default 4000000; 0 for none)
// Targets: fast >= 10x the naive reading, >= 150 MB/s on one core; the
// import's peak resident memory well under 1 GB and the same at any size.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "model/RawFormats.h"
#include "tests/support/ReferenceParse.h"
#include "model/TrajectoryLoader.h"
#include "tools/gendata/TrajectoryGenerator.h"

namespace fs = std::filesystem;

namespace {

struct Job {
    std::string path;
    const LabelIndex* labels;
};

struct Timing {
    double seconds = 0;
    std::int64_t fixes = 0;
    double checksum = 0;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Both readers append to one output vector sized from the input and touched
// up front, so that the comparison measures reading and parsing rather than
// the first page faults of the output.
std::vector<Datapoint> outputFor(std::int64_t bytes) {
    std::vector<Datapoint> all;
    all.reserve(static_cast<std::size_t>(bytes / 40 + 1024));
    adviseHugePages(all.data(), all.capacity() * sizeof(Datapoint));
    all.resize(all.capacity());  // touched before the clock starts
    all.clear();
    return all;
}

double checksumOf(const std::vector<Datapoint>& points) {
    double sum = 0;
    for (const auto& p : points) sum += p.x + 2.0 * p.y + static_cast<int>(p.mode) + p.time * 1e-5;
    return sum;
}

RoadRaster benchRoads() {
    const fs::path map = fs::path(TRACKORA_SOURCE_DIR) / "resources" / "map.png";
    if (fs::exists(map)) return RoadRaster::fromMapImage(map.string());
    const int size = 2048;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(size) * size, 0);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (x % 20 < 2 || y % 20 < 2) pixels[static_cast<std::size_t>(y) * size + x] = 100;
    return RoadRaster(size, size, std::move(pixels));
}

// The peak resident memory of this process so far (VmHWM), in megabytes.
double ownPeakMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// Generates a tree in a child process: a child starts with its parent's peak
// resident memory on the kernel's books, so this process stays small until
// the import's memory has been measured.
std::string generateTree(std::int64_t fixes, const std::string& name) {
    const std::string tree =
        (fs::temp_directory_path() / ("trackora-import-bench-" + name + "-" + std::to_string(::getpid()))).string();
    std::printf("generating %lld fixes into %s ...\n", static_cast<long long>(fixes), tree.c_str());
    std::fflush(stdout);
    const double t0 = now();
    const pid_t child = ::fork();
    if (child == 0) {
        GeneratorOptions options;
        options.targetFixes = fixes;
        generateTrajectoryTree(benchRoads(), tree, options);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "import_bench: generating %s failed\n", tree.c_str());
        std::exit(1);
    }
    std::printf("  generated in %.1f s\n", now() - t0);
    return tree;
}

struct ToolRun {
    bool ok = false;
    double seconds = 0;
    double peakMegabytes = 0;  // the child's peak resident set
    std::int64_t records = 0;
};

// Runs trackora-import on `tree` in a child process and reads its peak
// resident memory from the kernel's accounting of that child (which counts
// this process's peak at the fork too: it is printed beside).
ToolRun runImportTool(const std::string& tree) {
    ToolRun run;
    const std::string output = tree + ".bin";
    const double t0 = now();
    const pid_t child = ::fork();
    if (child < 0) return run;
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) ::dup2(null, STDOUT_FILENO);
        ::execl(TRACKORA_IMPORT_TOOL, TRACKORA_IMPORT_TOOL, tree.c_str(), "-o", output.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.seconds = now() - t0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
    std::error_code error;
    run.records = static_cast<std::int64_t>(fs::file_size(output, error) / sizeof(Datapoint));
    fs::remove(output, error);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    std::int64_t fixes = 1'000'000;
    std::string tree;
    bool skipNaive = false;
    std::vector<std::int64_t> memorySizes = {4'000'000};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fixes" && i + 1 < argc) fixes = std::atoll(argv[++i]);
        else if (arg == "--tree" && i + 1 < argc) tree = argv[++i];
        else if (arg == "--skip-naive") skipNaive = true;
        else if (arg == "--memory" && i + 1 < argc) {
            memorySizes.clear();
            std::istringstream list(argv[++i]);
            for (std::string size; std::getline(list, size, ',');)
                if (std::atoll(size.c_str()) > 0) memorySizes.push_back(std::atoll(size.c_str()));
        } else {
            std::fprintf(stderr, "usage: import_bench [--fixes N] [--tree DIR] [--skip-naive] [--memory N,N,...]\n");
            return 2;
        }
    }

    bool generated = false;
    if (tree.empty()) {
        tree = generateTree(fixes, "main");
        generated = true;
    }

    // Peak memory of the import tool, which writes the records as it parses:
    // on this tree and on the others, each in a process of its own.
    bool memoryOk = true;
    std::printf("this process's own peak so far: %.1f MB (a child's figure cannot be below it)\n", ownPeakMegabytes());
    std::printf("%-44s %12s %12s %14s %10s\n", "trackora-import (streamed to a file)", "fixes", "records",
                "peak resident", "time");
    std::vector<ToolRun> runs;
    const auto measure = [&](const std::string& path, const char* name) {
        const ToolRun run = runImportTool(path);
        runs.push_back(run);
        std::printf("%-44s %12lld %9.1f MB %11.1f MB %8.2f s%s\n", name, static_cast<long long>(run.records),
                    static_cast<double>(run.records) * sizeof(Datapoint) / 1e6, run.peakMegabytes, run.seconds,
                    run.ok ? "" : "  FAILED");
        memoryOk = memoryOk && run.ok;
    };
    measure(tree, "this tree");
    for (const std::int64_t size : memorySizes) {
        const std::string other = generateTree(size, std::to_string(size));
        measure(other, ("generated, " + std::to_string(size) + " fixes").c_str());
        fs::remove_all(other);
    }
    double lowest = 1e300, highest = 0;
    for (const ToolRun& run : runs) {
        lowest = std::min(lowest, run.peakMegabytes);
        highest = std::max(highest, run.peakMegabytes);
    }
    std::printf("peak resident memory: %.1f to %.1f MB over the sizes above (target: well under 1 GB, flat) %s\n\n",
                lowest, highest, highest < 1024 ? "met" : "MISSED");

    // The files in walk order with the labels of their user, as the walk
    // puts them in force for the usual layout (USER/labels.txt,
    // USER/Trajectory/*).
    TrajectoryLoader loader;
    std::vector<std::unique_ptr<LabelIndex>> labelSets;
    std::vector<Job> jobs;
    std::int64_t bytes = 0;
    std::vector<fs::path> trajectoryDirs;
    for (const auto& entry : fs::recursive_directory_iterator(tree))
        if (entry.is_directory() && entry.path().filename() == "Trajectory") trajectoryDirs.push_back(entry.path());
    std::sort(trajectoryDirs.begin(), trajectoryDirs.end());
    for (const auto& dir : trajectoryDirs) {
        labelSets.push_back(std::make_unique<LabelIndex>(loader.parseLabelsFile((dir.parent_path() / "labels.txt").string())));
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            jobs.push_back({file.string(), labelSets.back().get()});
            bytes += static_cast<std::int64_t>(fs::file_size(file));
        }
    }
    const double megabytes = static_cast<double>(bytes) / 1e6;
    std::printf("tree: %zu trajectory files, %.1f MB\n", jobs.size(), megabytes);

    // Warm the page cache so both readers see the same memory-speed input.
    {
        std::string buffer, reason;
        for (const auto& job : jobs) readFileContents(job.path, buffer, reason);
    }
    const FrameBounds frame;

    // Best of three runs each: the machine may be busy with other work.
    constexpr int kRuns = 3;
    Timing fast;
    fast.seconds = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        std::string buffer, reason;
        std::vector<Datapoint> all = outputFor(bytes);
        const double t0 = now();
        for (const auto& job : jobs) {
            if (!readFileContents(job.path, buffer, reason)) continue;
            TrajectoryCounts counts;
            parseTrajectoryText(buffer, job.path, true, *job.labels, frame, all, counts);
        }
        fast.seconds = std::min(fast.seconds, now() - t0);
        fast.fixes = static_cast<std::int64_t>(all.size());
        fast.checksum = checksumOf(all);
    }

    Timing naive;
    naive.seconds = 1e9;
    for (int run = 0; run < (skipNaive ? 0 : kRuns); ++run) {
        std::vector<Datapoint> all = outputFor(bytes);
        const double t0 = now();
        for (const auto& job : jobs) {
            std::ifstream in(job.path);
            const auto points = referenceParseTrajectory(in, job.path, true, *job.labels, frame);
            all.insert(all.end(), points.begin(), points.end());
        }
        naive.seconds = std::min(naive.seconds, now() - t0);
        naive.fixes = static_cast<std::int64_t>(all.size());
        naive.checksum = checksumOf(all);
    }

    Timing whole;
    whole.seconds = 1e9;
    for (int run = 0; run < kRuns; ++run) {
        TrajectoryLoader parallel;
        const double t0 = now();
        const auto points = parallel.load(tree, true);
        whole.seconds = std::min(whole.seconds, now() - t0);
        whole.fixes = static_cast<std::int64_t>(points.size());
        whole.checksum = checksumOf(points);
    }

    const auto line = [&](const char* name, const Timing& t) {
        std::printf("%-34s %8.2f s %9.1f MB/s %12.0f fixes/s\n", name, t.seconds, megabytes / t.seconds,
                    static_cast<double>(t.fixes) / t.seconds);
    };
    std::printf("\n%-34s %10s %14s %19s\n", "reader", "time", "throughput", "fix rate");
    if (!skipNaive) line("naive stof + get_time, 1 core", naive);
    line("fast parser, 1 core", fast);
    line("directory import, all cores", whole);
    std::printf("(%u cores; fixes kept %lld)\n", std::thread::hardware_concurrency(),
                static_cast<long long>(fast.fixes));

    bool ok = memoryOk;
    if (!skipNaive) {
        const double ratio = naive.seconds / fast.seconds;
        const bool same = naive.fixes == fast.fixes && naive.checksum == fast.checksum;
        std::printf("\nspeed-up over the naive reading: %.1fx (target >= 10x) %s\n", ratio, ratio >= 10 ? "met" : "MISSED");
        std::printf("results identical to the naive reading: %s\n", same ? "yes" : "NO");
        ok = ok && same;
    }
    const double oneCore = megabytes / fast.seconds;
    std::printf("one-core throughput: %.0f MB/s (target >= 150 MB/s) %s\n", oneCore, oneCore >= 150 ? "met" : "MISSED");
    const bool sameWhole = whole.fixes == fast.fixes && whole.checksum == fast.checksum;
    std::printf("directory import agrees with the per-file parse: %s\n", sameWhole ? "yes" : "NO");
    const double projected = whole.seconds * 1600.0 / megabytes;
    std::printf("projected time for 1.6 GB at this rate: %.1f s (target < 30 s)\n", projected);
    ok = ok && sameWhole;

    if (generated) fs::remove_all(tree);
    return ok ? 0 : 1;
}
