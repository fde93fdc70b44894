// Import throughput: the fast parser against the straightforward
// std::getline + std::stof + std::get_time reading, on the same generated
// tree, one core each; then the whole directory import on all cores.
// Each figure is the best of three runs.
//
// usage: import_bench [--fixes N] [--tree DIR] [--skip-naive]
//   --fixes  size of the generated tree (default 1000000 fixes)
//   --tree   use an existing tree instead (kept); the generated one is removed
// Targets: fast >= 10x the naive reading, >= 150 MB/s on one core.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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

}  // namespace

int main(int argc, char** argv) {
    std::int64_t fixes = 1'000'000;
    std::string tree;
    bool skipNaive = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--fixes" && i + 1 < argc) fixes = std::atoll(argv[++i]);
        else if (arg == "--tree" && i + 1 < argc) tree = argv[++i];
        else if (arg == "--skip-naive") skipNaive = true;
        else {
            std::fprintf(stderr, "usage: import_bench [--fixes N] [--tree DIR] [--skip-naive]\n");
            return 2;
        }
    }

    bool generated = false;
    if (tree.empty()) {
        tree = (fs::temp_directory_path() / ("trackora-import-bench-" + std::to_string(::getpid()))).string();
        std::printf("generating %lld fixes into %s ...\n", static_cast<long long>(fixes), tree.c_str());
        GeneratorOptions options;
        options.targetFixes = fixes;
        const double t0 = now();
        generateTrajectoryTree(benchRoads(), tree, options);
        std::printf("  generated in %.1f s\n", now() - t0);
        generated = true;
    }

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

    bool ok = true;
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
