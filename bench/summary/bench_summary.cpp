// Figures of summaries on a sample file (bench_engine --make-file makes the
// synthetic city): the build's time and peak memory, the file's size, the
// time to open it (read, check, the engine's whole-day lists), a trace of
// filter changes on it (modes and day classes toggled, either end of the
// window dragged a step at a time or jumped, sigma and size changed, the
// log flipped), and the same on the summary added to itself until it
// counts COPIES times the samples, to show the figures do not grow with them.
// Usage: bench_summary FILE [--step SECONDS] [--copies N] [--trace-lines N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cpu/SummaryBuilder.h"
#include "cpu/SummaryEngine.h"
#include "model/SampleSource.h"
#include "model/Summary.h"

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
double statusGb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) * 1024 / 1e9;
    return 0;
}

struct Frame {
    ControlSettings settings;
    bool kernelChanged;
};

// A user at work, in the summary's steps: mostly drags of one end of the
// window a step at a time, with mode and day toggles, jumps, kernel
// changes and log flips between.
std::vector<Frame> makeTrace(std::size_t lines, std::int32_t step, unsigned seed) {
    std::mt19937 random(seed);
    const std::int32_t steps = 86400 / step;
    ControlSettings s;
    s.mode_mask = kAllModes;
    s.min_time = 0;
    s.max_time = 86399;
    std::int32_t first = 0, last = steps;  // steps [first, last)
    std::vector<Frame> trace;
    bool kernel = true;
    while (trace.size() < lines) {
        const unsigned what = random() % 20;
        if (what < 10) {  // a drag of a few dozen frames
            const bool start = random() % 2;
            const int direction = random() % 2 ? 1 : -1;
            for (int k = 0; k < 30 && trace.size() < lines; ++k) {
                if (start) first = std::clamp(first + direction, 0, last - 1);
                else last = std::clamp(last + direction, first + 1, steps);
                s.min_time = first * step;
                s.max_time = last * step - 1;
                trace.push_back({s, kernel});
                kernel = false;
            }
            continue;
        }
        if (what < 13) {
            s.mode_mask ^= 1 << (random() % kModeCount);
        } else if (what < 15) {
            s.day_classes = static_cast<std::uint8_t>(s.day_classes ^ (1u << (random() % kDayClasses)));
        } else if (what < 16) {
            first = static_cast<std::int32_t>(random() % steps);
            last = first + 1 + static_cast<std::int32_t>(random() % (steps - first));
            s.min_time = first * step;
            s.max_time = last * step - 1;
        } else if (what < 18) {
            s.sigma = 1.0f + static_cast<float>(random() % 10);
            s.kernel_size = 1 + 2 * static_cast<int>(random() % 51);
            kernel = true;
        } else {
            s.use_log_scale = !s.use_log_scale;
        }
        trace.push_back({s, kernel});
        kernel = false;
    }
    return trace;
}

void runTrace(engine::SummaryEngine& engine, const std::vector<Frame>& trace, const char* label) {
    std::vector<double> times;
    std::vector<std::size_t> entries;
    std::size_t touched = 0;
    for (const Frame& frame : trace) {
        const auto start = Clock::now();
        if (frame.kernelChanged)
            engine.setKernel(engine::makeGaussKernel(frame.settings.sigma, frame.settings.kernel_size),
                             frame.settings.kernel_size);
        engine.compute(frame.settings);
        times.push_back(msSince(start));
        touched = std::max(touched, engine.lastEntriesTouched());
        entries.push_back(engine.lastEntriesTouched());
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))]; };
    std::printf("  trace (%s, %zu frames): median %.2f / p99 %.2f / maximum %.2f ms (targets p99 33, maximum 66);"
                " most entries one change touched: %zu\n",
                label, trace.size(), at(0.5), at(0.99), sorted.back(), touched);
    // The slowest frames, to tell the counts' share from the convolution's.
    std::vector<std::size_t> order(times.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return times[a] > times[b]; });
    for (std::size_t k = 0; k < std::min<std::size_t>(5, order.size()); ++k) {
        const Frame& frame = trace[order[k]];
        std::printf("    slow frame %zu: %.2f ms, %zu entries, size %d%s\n", order[k], times[order[k]], entries[order[k]],
                    frame.settings.kernel_size, frame.kernelChanged ? " (new table)" : "");
    }
}

void openAndTrace(const std::string& path, const std::vector<Frame>& trace, const char* label) {
    const auto start = Clock::now();
    auto summary = std::make_shared<const Summary>(readSummary(path));
    const double readMs = msSince(start);
    engine::SummaryEngine engine(summary, 2);
    const double openMs = msSince(start);
    std::printf("  open (%s): %.2f s (read and check %.2f s), %.0f samples counted, %zu keys;"
                " engine %.2f GB, resident %.2f GB, peak %.2f GB\n",
                label, openMs / 1000, readMs / 1000, static_cast<double>(summary->totals.counted), summary->entries(),
                static_cast<double>(engine.memoryBytes()) / 1e9, statusGb("VmRSS:"), statusGb("VmHWM:"));
    runTrace(engine, trace, label);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_summary FILE [--step SECONDS] [--copies N] [--trace-lines N]\n");
        return 2;
    }
    const std::string input = argv[1];
    std::int32_t step = kDefaultSummaryStep;
    std::size_t copies = 400;
    std::size_t lines = 1000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--step") step = std::stoi(argv[i + 1]);
        else if (option == "--copies") copies = std::stoull(argv[i + 1]);
        else if (option == "--trace-lines") lines = std::stoull(argv[i + 1]);
    }
    try {
        const std::string out = input + ".bench.tsum";
        const std::string many = input + ".bench-copies.tsum";
        SampleFile file(input);
        std::printf("%s: %zu samples; step %d s\n", input.c_str(), file.size(), step);
        auto start = Clock::now();
        Summary summary = engine::summarise(file, readFrameFile(input), step, "UTC");
        const double buildMs = msSince(start);
        writeSummary(summary, out);
        std::printf("  build: %.2f s, peak resident %.2f GB; file %.1f MB (%.2f bytes a sample, %zu keys in %zu blocks)\n",
                    buildMs / 1000, statusGb("VmHWM:"), static_cast<double>(std::filesystem::file_size(out)) / 1e6,
                    static_cast<double>(std::filesystem::file_size(out)) / static_cast<double>(file.size()),
                    summary.entries(), summary.blockCount());
        const std::vector<Frame> trace = makeTrace(lines, step, 7);
        openAndTrace(out, trace, "1 copy");
        if (copies > 1) {
            // Doubling, then the rest: as many merges as a tree of copies takes.
            start = Clock::now();
            Summary sum = summary;
            std::size_t held = 1;
            while (held * 2 <= copies) {
                const Summary twice = sum;
                mergeSummary(sum, twice, out);
                held *= 2;
            }
            for (; held < copies; ++held) mergeSummary(sum, summary, out);
            writeSummary(sum, many);
            std::printf("  %zu copies merged and written: %.2f s; file %.1f MB\n", copies, msSince(start) / 1000,
                        static_cast<double>(std::filesystem::file_size(many)) / 1e6);
            summary = Summary{};
            sum = Summary{};
            openAndTrace(many, trace, (std::to_string(copies) + " copies").c_str());
        }
        std::filesystem::remove(out);
        std::filesystem::remove(many);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_summary: %s\n", error.what());
        return 1;
    }
    return 0;
}
