// Figures of the density engine on a deterministic synthetic city of
// 25,000,000 points: start-up (indexing the samples, initialize, loading a
// binary sample file), computeHeatmap medians for four settings, engine
// memory per point, a replayed interaction trace (mode toggles, drags of the
// time window, sigma and size drags, log flips) through the viewer's frame
// work, the literal reference engine and the numpy/scipy route for
// comparison; then the trace again on 100,000,000 points.
// Usage: bench_engine [POINTS [REPEATS]] [--large POINTS] [--trace-lines N]
//                     [--no-trace] [--no-compare]
//        bench_engine --write-trace FILE [--trace-lines N]
//        bench_engine --make-file FILE POINTS
//        bench_engine --file FILE [--trace-lines N]
// --make-file writes the synthetic city (up to 2^31 - 1 points) as a binary
// sample file with its days column (FILE.days: dates over a year); --file
// opens one as the viewer does, indexing it as it is read, and reports the
// load and index time, the peak resident memory and the trace, the first
// compute after the load included. A dated file's trace also toggles
// weekdays, and date ranges are indexed again as the viewer does, timed
// apart.
// --no-trace skips the interaction traces (for the per-sample CUDA path,
// which would take minutes), --no-compare the reference engine and numpy.
// TRACKORA_ENGINE picks the engine; GPU engines also print the device time
// of the kernels and, for CUDA, the engine's own start.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/FrameWork.h"
#include "cpu/CountingEngine.h"
#include "cpu/ReferenceEngine.h"
#include "engine/EngineInternals.h"
#include "engine/HeatmapEngine.h"
#include "kde/Backend.h"
#include "kde/Parallel.h"
#ifdef TRACKORA_HAVE_CUDA
#include "cuda/CudaEngineStart.h"
#endif
#include "model/SampleSource.h"
#include "model/TrajectoryLoader.h"
#include "tools/heatmap/HeatmapScript.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// CPU time of the whole process, all threads: beside a wall time it tells
// how much the other processes on the machine took away.
double cpuMilliseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return in ? one + " (1 min), " + five + " (5 min)" : "unknown";
}

std::size_t heapBytes() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// splitmix64: fast, deterministic and good enough for synthetic data.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    double normal() {
        const double u = std::max(unit(), 1e-300);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * unit());
    }
};

// A city: hotspots (centres, stations), corridors (roads and lines) and a
// thin background; modes weighted per kind of place; times with morning and
// evening commute peaks.
// Made in blocks of 2^20 points, each from its own seed, on all threads: the
// same points whatever the number of threads. Points [first, first + count)
// of the city into out; first is a multiple of the block.
constexpr std::size_t kCityBlock = std::size_t{1} << 20;
void makeCityRange(std::size_t first, std::size_t count, Datapoint* out) {
    Random layout{20240611};
    struct Hotspot {
        double x, y, spread;
    };
    struct Corridor {
        double x0, y0, x1, y1;
    };
    std::vector<Hotspot> hotspots;
    for (int i = 0; i < 40; ++i)
        hotspots.push_back({0.15 + 0.7 * layout.unit(), 0.15 + 0.7 * layout.unit(), 0.002 + 0.02 * layout.unit()});
    std::vector<Corridor> corridors;
    for (int i = 0; i < 30; ++i) corridors.push_back({layout.unit(), layout.unit(), layout.unit(), layout.unit()});
    for (int i = 0; i < 6; ++i) {  // ring roads and the axes
        const double r = 0.08 * (i + 1);
        corridors.push_back({0.5 - r, 0.5 - r, 0.5 + r, 0.5 - r});
        corridors.push_back({0.5 - r, 0.5 + r, 0.5 + r, 0.5 + r});
    }
    const auto pickMode = [](Random& random, bool road) {
        const double u = random.unit();
        if (road) {
            if (u < 0.35) return mode::CAR;
            if (u < 0.55) return mode::BUS;
            if (u < 0.65) return mode::BIKE;
            if (u < 0.72) return mode::MOTORCYCLE;
            if (u < 0.82) return mode::SUBWAY;
            if (u < 0.87) return mode::TRAIN;
            if (u < 0.95) return mode::UNKNOWN;
            return mode::WALK;
        }
        if (u < 0.40) return mode::WALK;
        if (u < 0.50) return mode::RUN;
        if (u < 0.60) return mode::BIKE;
        if (u < 0.75) return mode::UNKNOWN;
        if (u < 0.85) return mode::BUS;
        if (u < 0.93) return mode::CAR;
        if (u < 0.97) return mode::AIRPLANE;
        return mode::BOAT;
    };
    const auto pickTime = [](Random& random) {
        const double u = random.unit();
        double hours;
        if (u < 0.25)
            hours = 8.0 + 0.7 * random.normal();
        else if (u < 0.5)
            hours = 18.0 + 0.8 * random.normal();
        else
            hours = 6.0 + 17.0 * random.unit();
        const int seconds = static_cast<int>(hours * 3600.0);
        return std::clamp(seconds, 0, 86399);
    };
    const unsigned threads = engine::hardwareThreads();
    const std::size_t firstBlock = first / kCityBlock;
    const std::size_t end = first + count;
    engine::runParallel(threads, [&](unsigned t) {
        for (std::size_t block = firstBlock + t; block * kCityBlock < end; block += threads) {
            Random random{0x5EEDull * (block + 1)};
            for (std::size_t i = block * kCityBlock; i < std::min(end, (block + 1) * kCityBlock); ++i) {
                const double kind = random.unit();
                double x, y;
                bool road = false;
                if (kind < 0.35) {
                    const Hotspot& h = hotspots[random.next() % hotspots.size()];
                    x = h.x + h.spread * random.normal();
                    y = h.y + h.spread * random.normal();
                } else if (kind < 0.85) {
                    const Corridor& c = corridors[random.next() % corridors.size()];
                    const double along = random.unit();
                    x = c.x0 + along * (c.x1 - c.x0) + 0.0006 * random.normal();
                    y = c.y0 + along * (c.y1 - c.y0) + 0.0006 * random.normal();
                    road = true;
                } else {
                    x = random.unit();
                    y = random.unit();
                }
                out[i - first] = Datapoint(static_cast<float>(std::clamp(x, 0.0, 0.9999)),
                                      static_cast<float>(std::clamp(y, 0.0, 0.9999)), pickMode(random, road),
                                      pickTime(random));
            }
        }
    });
}

// The date of each point of the city, days [first, first + count) into out:
// a year from Monday 2023-01-02, weekend days drawn at 60% of a weekday's
// rate. Blocks seeded apart from the points', so the points stay as they were.
constexpr std::int32_t kCityFirstDay = dayNumber(2023, 1, 2);
constexpr std::int32_t kCityDays = 364;
void makeCityDaysRange(std::size_t first, std::size_t count, std::int32_t* out) {
    const unsigned threads = engine::hardwareThreads();
    const std::size_t firstBlock = first / kCityBlock;
    const std::size_t end = first + count;
    engine::runParallel(threads, [&](unsigned t) {
        for (std::size_t block = firstBlock + t; block * kCityBlock < end; block += threads) {
            Random random{0xDA7Eull * (block + 1)};
            for (std::size_t i = block * kCityBlock; i < std::min(end, (block + 1) * kCityBlock); ++i) {
                std::int32_t day = kCityFirstDay + static_cast<std::int32_t>(random.next() % kCityDays);
                if (weekdayOf(day) >= 5 && random.unit() >= 0.6)
                    day = kCityFirstDay + static_cast<std::int32_t>(random.next() % kCityDays);
                out[i - first] = day;
            }
        }
    });
}

std::vector<Datapoint> makeCity(std::size_t count) {
    std::vector<Datapoint> points(count);
    makeCityRange(0, count, points.data());
    return points;
}

// The city of `count` points as a binary sample file, written a batch at a
// time so that a billion points need no more memory than a batch.
void writeCityFile(const std::string& path, std::size_t count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write \"" + path + "\"");
    const std::string daysPath = daysFilePath(path);
    std::ofstream days(daysPath, std::ios::binary | std::ios::trunc);
    if (!days) throw std::runtime_error("cannot write \"" + daysPath + "\"");
    constexpr std::size_t kBatch = 64 * kCityBlock;
    std::vector<Datapoint> batch(std::min(count, kBatch));
    std::vector<std::int32_t> dayBatch(batch.size());
    for (std::size_t first = 0; first < count; first += kBatch) {
        const std::size_t n = std::min(kBatch, count - first);
        makeCityRange(first, n, batch.data());
        makeCityDaysRange(first, n, dayBatch.data());
        out.write(reinterpret_cast<const char*>(batch.data()), static_cast<std::streamsize>(n * sizeof(Datapoint)));
        if (!out) throw std::runtime_error("cannot write \"" + path + "\"");
        days.write(reinterpret_cast<const char*>(dayBatch.data()), static_cast<std::streamsize>(n * sizeof(std::int32_t)));
        if (!days) throw std::runtime_error("cannot write \"" + daysPath + "\"");
        std::fprintf(stderr, "\r  %zu of %zu points written", first + n, count);
    }
    std::fprintf(stderr, "\n");
}

// "VmHWM:" (the peak resident memory) or another line of
// /proc/self/status, in bytes.
std::size_t statusBytes(const std::string& wanted) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, wanted.size(), wanted) == 0) return std::stoull(line.substr(wanted.size())) * 1024;
    return 0;
}

// A user at work: ticks and unticks modes, drags either end of the time
// window to anywhere in the day a few seconds' worth of frames at a time,
// types a window of a minute to the whole day, drags sigma (1 to 10) and the
// size (up to 101), flips the log scale; with `weekdays`, also ticks and
// unticks weekdays and takes the weekday and weekend shortcuts (the rest of
// the trace as without). One entry per frame that changes something;
// deterministic for a seed.
std::vector<ControlSettings> makeTrace(std::size_t lines, std::uint64_t seed, bool weekdays = false) {
    Random random{seed};
    ControlSettings s;
    s.mode_mask = kAllModes;
    std::vector<ControlSettings> trace{s};
    const auto push = [&] {
        for (int bit = 0; bit < kModeCount; ++bit) s.mode_selected[bit] = (s.mode_mask >> bit) & 1;
        trace.push_back(s);
    };
    constexpr int kMinWidth = 60;
    const auto frames = [&](int least, int spread) { return least + static_cast<int>(random.next() % spread); };
    DayFilter days;
    while (trace.size() < lines) {
        if (weekdays && random.unit() < 0.3) {
            const double w = random.unit();
            const std::uint8_t shortcut = w < 0.1 ? 0x1f : w < 0.2 ? 0x60 : w < 0.3 ? 0x7f : 0;
            days.weekdays = shortcut ? shortcut : static_cast<std::uint8_t>(days.weekdays ^ (1u << (random.next() % 7)));
            if (days.weekdays == 0) days.weekdays = static_cast<std::uint8_t>(1u << (random.next() % 7));
            s.day_classes = days.dayClasses();
            push();
            continue;
        }
        const double u = random.unit();
        if (u < 0.25) {
            s.mode_mask ^= 1 << (random.next() % kModeCount);
            if (s.mode_mask == 0) s.mode_mask = 1 << (random.next() % kModeCount);
            push();
        } else if (u < 0.6) {
            // A drag of one end, eased in and out.
            const bool end = random.unit() < 0.5;
            const int from = end ? s.max_time : s.min_time;
            const int target = end ? std::clamp(static_cast<int>(random.next() % 86401), s.min_time + kMinWidth, 86400)
                                   : std::clamp(static_cast<int>(random.next() % 86401), 0, s.max_time - kMinWidth);
            const int steps = frames(6, 40);
            for (int k = 1; k <= steps; ++k) {
                const double f = static_cast<double>(k) / steps;
                const double eased = f * f * (3 - 2 * f);
                const int value = from + static_cast<int>(std::lround((target - from) * eased));
                if (value == (end ? s.max_time : s.min_time)) continue;
                (end ? s.max_time : s.min_time) = value;
                push();
            }
        } else if (u < 0.7) {
            const double width = std::exp(std::log(kMinWidth) + random.unit() * (std::log(86400.0) - std::log(kMinWidth)));
            s.min_time = static_cast<int>(random.unit() * (86400 - width));
            s.max_time = std::min(86400, s.min_time + static_cast<int>(width));
            push();
        } else if (u < 0.8) {
            const float from = s.sigma;
            const float target = static_cast<float>(1.0 + 9.0 * random.unit());
            const int steps = frames(4, 20);
            for (int k = 1; k <= steps; ++k) {
                s.sigma = from + (target - from) * static_cast<float>(k) / static_cast<float>(steps);
                push();
            }
        } else if (u < 0.9) {
            const int target = 1 + 2 * static_cast<int>(random.next() % 51);
            const int step = 2 * frames(1, 3);
            while (s.kernel_size != target) {
                s.kernel_size = s.kernel_size < target ? std::min(target, s.kernel_size + step)
                                                       : std::max(target, s.kernel_size - step);
                push();
            }
        } else {
            s.use_log_scale = !s.use_log_scale;
            push();
        }
    }
    trace.resize(lines);
    return trace;
}

struct TraceResult {
    double firstMs = 0;             // the first compute, part of start-up
    std::vector<double> times;      // every later line
    std::vector<double> cpuTimes;   // the same, CPU time of all threads
    std::vector<std::size_t> lines;  // their trace index
};

// The trace through the viewer's frame work on the engine initialize made.
TraceResult runTrace(const std::vector<ControlSettings>& trace) {
    double elapsed = 0;
    const DensitySteps steps = timedEngineSteps(elapsed, [](const std::vector<float>&) {});
    TraceResult result;
    ControlSettings settings = trace.front();
    settings.time_changed = true;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        adoptSettings(settings, trace[i]);
        settings.day_classes = trace[i].day_classes;  // the script lines choose days through their source
        elapsed = 0;
        const double cpuStart = cpuMilliseconds();
        refreshDensity(settings, steps, kGridCells);
        if (i == 0) {
            result.firstMs = elapsed;
        } else {
            result.times.push_back(elapsed);
            result.cpuTimes.push_back(cpuMilliseconds() - cpuStart);
            result.lines.push_back(i);
        }
    }
    return result;
}

void reportTrace(const char* label, const std::vector<ControlSettings>& trace, const TraceResult& result,
                 double p99Target, double maxTarget) {
    const TimeSummary summary = summarizeTimes(result.times);
    std::printf("  %s: %zu interactions, median %.2f ms, p99 %.2f ms (target <= %.0f: %s), maximum %.2f ms",
                label, result.times.size(), summary.median, summary.p99, p99Target,
                summary.p99 <= p99Target ? "met" : "MISSED", summary.maximum);
    if (maxTarget > 0)
        std::printf(" (target <= %.0f: %s)", maxTarget, summary.maximum <= maxTarget ? "met" : "MISSED");
    std::printf("; first compute %.0f ms\n", result.firstMs);
    const TimeSummary cpu = summarizeTimes(result.cpuTimes);
    std::printf("    CPU time of all threads per interaction: median %.2f ms, p99 %.2f ms, maximum %.2f ms\n",
                cpu.median, cpu.p99, cpu.maximum);
    // By what the line changed, CPU times: robust against other processes.
    const char* kinds[] = {"mode toggle", "time window", "sigma", "size", "log flip", "weekdays"};
    constexpr int kKinds = 6;
    std::vector<double> byKind[kKinds];
    std::size_t slowest[kKinds] = {};  // index into result of each kind's most CPU
    for (std::size_t k = 0; k < result.lines.size(); ++k) {
        const ControlSettings& now = trace[result.lines[k]];
        const ControlSettings& before = trace[result.lines[k] - 1];
        const int kind = now.day_classes != before.day_classes                                   ? 5
                         : now.mode_mask != before.mode_mask                                       ? 0
                         : now.min_time != before.min_time || now.max_time != before.max_time ? 1
                         : now.sigma != before.sigma                                           ? 2
                         : now.kernel_size != before.kernel_size                               ? 3
                                                                                               : 4;
        if (byKind[kind].empty() || result.cpuTimes[k] > result.cpuTimes[slowest[kind]]) slowest[kind] = k;
        byKind[kind].push_back(result.cpuTimes[k]);
    }
    for (int kind = 0; kind < kKinds; ++kind) {
        if (kind == 5 && byKind[kind].empty()) continue;
        const TimeSummary summary = summarizeTimes(byKind[kind]);
        std::printf("    %-12s %4zu lines, CPU median %6.2f ms, p99 %6.2f ms, maximum %6.2f ms\n", kinds[kind],
                    byKind[kind].size(), summary.median, summary.p99, summary.maximum);
        if (byKind[kind].empty()) continue;
        const std::size_t line = result.lines[slowest[kind]];
        // The script lines choose no day classes: named beside them.
        const auto lineText = [&](std::size_t at) {
            char classes[32] = "";
            if (trace[at].day_classes != kAllDayClasses)
                std::snprintf(classes, sizeof classes, " (day classes 0x%02x)", trace[at].day_classes);
            return scriptLineFor(trace[at]) + classes;
        };
        std::printf("      the maximum (wall %.2f ms), line %zu: %s, after %s\n", result.times[slowest[kind]], line + 1,
                    lineText(line).c_str(), lineText(line - 1).c_str());
    }
}

struct Scenario {
    const char* label;
    int size;
    float sigma;
    std::int32_t mask;
    std::int32_t minTime;
    std::int32_t maxTime;
    double targetMs;
};

// The median of runs of work, in wall and in CPU milliseconds.
struct Timing {
    double wall;
    double cpu;
};
Timing timeRuns(int runs, const std::function<void()>& work) {
    std::vector<double> walls, cpus;
    for (int run = 0; run < runs; ++run) {
        const double cpuStart = cpuMilliseconds();
        const auto start = Clock::now();
        work();
        walls.push_back(millisecondsSince(start));
        cpus.push_back(cpuMilliseconds() - cpuStart);
    }
    return {median(walls), median(cpus)};
}

void writeTrace(const std::string& path, const std::vector<ControlSettings>& trace) {
    std::ofstream out(path, std::ios::trunc);
    out << "# Interaction trace of bench_engine: one frame's settings per line, for trackora-heatmap --script\n";
    for (const ControlSettings& s : trace) out << scriptLineFor(s) << '\n';
    out.flush();
    if (!out) throw std::runtime_error("cannot write \"" + path + "\"");
}

constexpr std::uint64_t kTraceSeed = 7;

// Date ranges chosen as the viewer chooses them: the samples of the range
// indexed again (a DayFilteredSource, as a background load makes) while the
// old engine still draws, then installed, then a shorter trace on it.
void benchDateRanges(const std::shared_ptr<const SampleSource>& file, std::size_t traceLines) {
    const struct {
        const char* label;
        DayFilter days;
    } ranges[] = {
        {"one month, 2023-03-01..2023-03-31", DayFilter{0x7f, dayNumber(2023, 3, 1), dayNumber(2023, 3, 31)}},
        {"a quarter, 2023-04-01..2023-06-30", DayFilter{0x7f, dayNumber(2023, 4, 1), dayNumber(2023, 6, 30)}},
        {"a half year, 2023-07-01..2023-12-31", DayFilter{0x7f, dayNumber(2023, 7, 1), dayNumber(2023, 12, 31)}},
    };
    const std::vector<ControlSettings> trace = makeTrace(std::max<std::size_t>(2, traceLines / 4), kTraceSeed + 1, true);
    std::printf("Date ranges indexed again in the background, as the viewer does (the old engine kept until ready)\n");
    for (const auto& range : ranges) {
        ControlSettings settings = trace.front();
        const double cpuStart = cpuMilliseconds();
        const auto start = Clock::now();
        auto chosen = std::make_shared<DayFilteredSource>(file, range.days);
        const std::size_t samples = chosen->size();
        HeatmapEngine::PreparedEnginePtr prepared = HeatmapEngine::prepare(chosen, settings.kernel_size);
        const double prepareMs = millisecondsSince(start);
        const double prepareCpu = cpuMilliseconds() - cpuStart;
        const auto installStart = Clock::now();
        HeatmapEngine::install(std::move(prepared), settings);
        const double installMs = millisecondsSince(installStart);
        std::printf("  %s: %zu samples, re-index %.2f s wall (%.2f s CPU; target <= 5 s: %s), install %.0f ms\n",
                    range.label, samples, prepareMs / 1000, prepareCpu / 1000, prepareMs <= 5000 ? "met" : "MISSED",
                    installMs);
        reportTrace("trace on the range", trace, runTrace(trace), 33, 66);
    }
    std::printf("  peak resident memory after the ranges: %.2f GB\n", static_cast<double>(statusBytes("VmHWM:")) / 1e9);
}

// A sample file opened as the viewer opens it: indexed as it is read (the
// load and index time), the peak resident memory of the whole process, the
// first compute after the load, then the interaction trace; for a file with
// dates, weekday toggles in the trace and date ranges indexed again.
int benchFile(const std::string& path, std::size_t traceLines) {
    std::printf("Load average at start: %s\n", loadAverage().c_str());
    auto file = std::make_shared<SampleFile>(path);
    const bool dated = file->hasDays();
    const std::vector<ControlSettings> trace = makeTrace(traceLines, kTraceSeed, dated);
    ControlSettings settings = trace.front();
    const std::shared_ptr<const SampleSource> source = file;
    const std::size_t count = file->size();
    std::printf("%s: %zu samples (%.2f GB)%s\n", path.c_str(), count,
                static_cast<double>(count * sizeof(Datapoint)) / 1e9, dated ? ", with their dates" : "");
    const double cpuStart = cpuMilliseconds();
    const auto start = Clock::now();
    HeatmapEngine::initialize(std::move(file), settings);
    const double loadMs = millisecondsSince(start);
    const double loadCpu = cpuMilliseconds() - cpuStart;
    std::printf("Engine: %s\n", HeatmapEngine::engineName().c_str());
    std::printf("  load and index (read, index, whole-day counts, checkpoints): %.2f s wall, %.2f s CPU\n",
                loadMs / 1000, loadCpu / 1000);
    std::printf("  peak resident memory after the load: %.2f GB (%.2f bytes/sample)\n",
                static_cast<double>(statusBytes("VmHWM:")) / 1e9,
                static_cast<double>(statusBytes("VmHWM:")) / static_cast<double>(count));
    std::printf("  resident memory now: %.2f GB; the engine's own count %.2f bytes/sample\n",
                static_cast<double>(statusBytes("VmRSS:")) / 1e9,
                static_cast<double>(HeatmapEngine::internals::currentBackend()->memoryBytes()) /
                    static_cast<double>(count));
    const TraceResult result = runTrace(trace);
    const std::vector<double> all = [&] {
        std::vector<double> times = result.times;
        times.push_back(result.firstMs);
        return times;
    }();
    reportTrace("trace", trace, result, 33, 66);
    std::printf("  every interaction, the first included: maximum %.2f ms\n", summarizeTimes(all).maximum);
    std::printf("  peak resident memory at the end: %.2f GB\n", static_cast<double>(statusBytes("VmHWM:")) / 1e9);
    if (dated) benchDateRanges(source, traceLines);
    HeatmapEngine::release();
    std::printf("Load average at the end: %s\n", loadAverage().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 25000000;
    std::size_t largeCount = 100000000;
    std::size_t traceLines = 1000;
    int repeats = 15;
    bool withTrace = true;
    bool withComparison = true;
    std::string tracePath;
    std::string filePath;
    std::string makePath;
    try {
        std::vector<std::string> positional;
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            const auto value = [&] {
                if (i + 1 >= argc) throw std::invalid_argument(argument + " needs a value");
                return std::string(argv[++i]);
            };
            if (argument == "--large")
                largeCount = std::stoull(value());
            else if (argument == "--trace-lines")
                traceLines = std::stoull(value());
            else if (argument == "--write-trace")
                tracePath = value();
            else if (argument == "--file")
                filePath = value();
            else if (argument == "--make-file")
                makePath = value();
            else if (argument == "--no-trace")
                withTrace = false;
            else if (argument == "--no-compare")
                withComparison = false;
            else if (!argument.empty() && argument[0] == '-')
                throw std::invalid_argument("unknown option " + argument);
            else
                positional.push_back(argument);
        }
        if (positional.size() > 2) throw std::invalid_argument("too many arguments");
        if (positional.size() > 0) count = std::stoull(positional[0]);
        if (positional.size() > 1) repeats = std::stoi(positional[1]);
        if (count == 0 || repeats < 1 || traceLines < 2) throw std::invalid_argument("counts must be positive");
    } catch (const std::exception&) {
        std::cerr << "usage: bench_engine [POINTS (default 25000000) [REPEATS (default 15)]]\n"
                     "                    [--large POINTS (default 100000000, 0: none)] [--trace-lines N (default 1000)]\n"
                     "                    [--no-trace] [--no-compare]\n"
                     "       bench_engine --write-trace FILE [--trace-lines N]   the trace as a trackora-heatmap --script file\n"
                     "       bench_engine --make-file FILE POINTS   the synthetic city as a binary sample file\n"
                     "       bench_engine --file FILE [--trace-lines N]   a sample file loaded as the viewer loads it\n";
        return 2;
    }
    const std::vector<ControlSettings> trace = makeTrace(traceLines, kTraceSeed);
    try {
        if (!makePath.empty()) {
            writeCityFile(makePath, count);
            std::printf("%zu points written to %s\n", count, makePath.c_str());
            return 0;
        }
        if (!filePath.empty()) return benchFile(filePath, traceLines);
    } catch (const std::exception& error) {
        std::cerr << "bench_engine: " << error.what() << "\n";
        return 1;
    }
    if (!tracePath.empty()) {
        try {
            writeTrace(tracePath, trace);
        } catch (const std::exception& error) {
            std::cerr << "bench_engine: " << error.what() << "\n";
            return 1;
        }
        std::printf("%zu lines written to %s\n", trace.size(), tracePath.c_str());
        return 0;
    }
    std::printf("Load average at start: %s\n", loadAverage().c_str());

    std::printf("Generating %zu synthetic city points...\n", count);
    auto start = Clock::now();
    std::vector<Datapoint> points = makeCity(count);
    std::printf("  generated in %.0f ms\n", millisecondsSince(start));

    // Start-up: the samples indexed (what initialize spends its time on),
    // and a binary sample file of them read back from the page cache.
    std::printf("\nStart-up, median of 3 (wall ms, CPU ms of all threads)\n");
    const Timing indexing = timeRuns(3, [&] { engine::CountingEngine fast(points, engine::hardwareThreads()); });
    std::printf("  indexing %zu samples (CountingEngine construction): %.0f ms wall, %.0f ms CPU (target <= 300: %s)\n",
                count, indexing.wall, indexing.cpu, indexing.wall <= 300 ? "met" : "MISSED");
    // TRACKORA_BENCH_POINTS=FILE keeps the points there, for other tools.
    const char* keepPath = std::getenv("TRACKORA_BENCH_POINTS");
    const bool keep = keepPath && *keepPath;
    const auto dataPath =
        keep ? std::filesystem::path(keepPath) : std::filesystem::temp_directory_path() / "trackora-bench-points.bin";
    {
        std::ofstream out(dataPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(points.data()), static_cast<std::streamsize>(points.size() * sizeof(Datapoint)));
    }
    const Timing loading = timeRuns(3, [&] { TrajectoryLoader().load(dataPath.string(), true); });
    std::printf("  loading a %zu-sample binary file (%.0f MB): %.0f ms wall, %.0f ms CPU\n", count,
                static_cast<double>(count * sizeof(Datapoint)) / 1e6, loading.wall, loading.cpu);

    ControlSettings settings;
    settings.mode_mask = kAllModes;
    const std::size_t heapBefore = heapBytes();
    std::vector<Datapoint> copy = points;  // the viewer hands initialize a copy
    start = Clock::now();
    HeatmapEngine::initialize(std::move(copy), settings);
    const double initializeMs = millisecondsSince(start);
    std::printf("Engine: %s\n", HeatmapEngine::engineName().c_str());

    const Scenario scenarios[] = {
        {"(a) all modes, full day, size 5, sigma 1, log", 5, 1.0f, kAllModes, 0, 86400, 30},
        {"(b) all modes, 07:00-09:00, size 5, sigma 1, log", 5, 1.0f, kAllModes, 25200, 32400, 60},
        {"(c) walk+bus+car, full day, size 21, sigma 3, log", 21, 3.0f, mode::WALK | mode::BUS | mode::CAR, 0, 86400, 60},
        {"(d) all modes, full day, size 101, sigma 10, log", 101, 10.0f, kAllModes, 0, 86400, 250},
    };
    engine::DensityBackend* backend = HeatmapEngine::internals::currentBackend();
    std::vector<double> changedMedians;
    std::printf("\ncomputeHeatmap, median of %d runs each (ms)      first  filter-changed  same-filter  target\n",
                repeats);
    for (const Scenario& scenario : scenarios) {
        settings.kernel_size = scenario.size;
        settings.sigma = scenario.sigma;
        settings.mode_mask = scenario.mask;
        settings.min_time = scenario.minTime;
        settings.max_time = scenario.maxTime;
        settings.use_log_scale = true;
        HeatmapEngine::rebuildKernel(settings);
        start = Clock::now();
        HeatmapEngine::computeHeatmap(settings);
        const double first = millisecondsSince(start);
        std::vector<double> changed, same, device;
        for (int run = 0; run < repeats; ++run) {
            backend->forgetLastCounts();
            start = Clock::now();
            HeatmapEngine::computeHeatmap(settings);
            changed.push_back(millisecondsSince(start));
            device.push_back(backend->lastDeviceMs());
        }
        for (int run = 0; run < repeats; ++run) {
            start = Clock::now();
            HeatmapEngine::computeHeatmap(settings);
            same.push_back(millisecondsSince(start));
        }
        changedMedians.push_back(median(changed));
        std::printf("  %-52s %7.1f %10.1f %12.1f   <= %4.0f  %s\n", scenario.label, first, median(changed),
                    median(same), scenario.targetMs, median(changed) <= scenario.targetMs ? "met" : "MISSED");
        // GPU engines: the kernels alone, without the grid's copy back.
        if (median(device) >= 0)
            std::printf("  %-52s %7s %10.2f   (device compute, before the copy back)\n", "", "", median(device));
    }
    const std::size_t heapAfter = heapBytes();
    const double bytesPerPoint = static_cast<double>(heapAfter - heapBefore) / static_cast<double>(count);
    std::printf("\ninitialize (indexing, weight table, engine choice): %.0f ms (target <= 300: %s)\n", initializeMs,
                initializeMs <= 300 ? "met" : "MISSED");
    std::printf("engine memory beyond the dataset: %.2f bytes/point, caches included (%.1f MiB; target <= 12: %s)\n",
                bytesPerPoint, static_cast<double>(heapAfter - heapBefore) / (1 << 20),
                bytesPerPoint <= 12 ? "met" : "MISSED");
    std::printf("  the engine's own count: %.2f bytes/point\n",
                static_cast<double>(backend->memoryBytes()) / static_cast<double>(count));

    if (withTrace) {
        std::printf("\nInteraction trace through the viewer's frame work (compute per frame that changes something)\n");
        reportTrace("25M-style trace", trace, runTrace(trace), 16, 33);
    }
    HeatmapEngine::release();
#ifdef TRACKORA_HAVE_CUDA
    // The CUDA engine's own start (upload and placement of the points),
    // without the CPU engine initialize also builds as its fallback.
    if (HeatmapEngine::internals::cudaProblem().empty()) {
        start = Clock::now();
        engine::CudaStart cudaStart = engine::startCudaEngine(points, gpuplan::Path::counting, 5);
        const double cudaStartMs = millisecondsSince(start);
        if (cudaStart.backend)
            std::printf("CUDA engine start, upload included, context already up: %.0f ms (target <= 300: %s)\n",
                        cudaStartMs,
                        cudaStartMs <= 300 ? "met" : "MISSED");
    }
#endif

    if (withComparison) {
        // The literal reference engine on every 25th point, scaled per point.
        const std::size_t step = std::max<std::size_t>(1, count / 1000000);
        std::vector<Datapoint> subset;
        for (std::size_t i = 0; i < count; i += step) subset.push_back(points[i]);
        engine::ReferenceEngine reference(subset);
        reference.setKernel(HeatmapEngine::makeGaussKernel(1.0f, 5), 5);
        ControlSettings scenarioA;
        scenarioA.mode_mask = kAllModes;
        std::vector<double> referenceTimes;
        for (int run = 0; run < 3; ++run) {
            start = Clock::now();
            reference.compute(scenarioA);
            referenceTimes.push_back(millisecondsSince(start));
        }
        const double referenceMs = median(referenceTimes) * static_cast<double>(count) / static_cast<double>(subset.size());
        std::printf("\nreference engine, (a) on %zu points: %.0f ms, scaled to %zu points: %.0f ms; fast/ref speed-up %.0fx "
                    "(target >= 50: %s)\n",
                    subset.size(), median(referenceTimes), count, referenceMs, referenceMs / changedMedians[0],
                    referenceMs / changedMedians[0] >= 50 ? "met" : "MISSED");

        // numpy histogram2d + scipy gaussian_filter on the same points.
        const std::string command = std::string("/usr/bin/python3 ") + TRACKORA_NUMPY_SCRIPT + " " + dataPath.string() +
                                    " 1 5 3 2>&1";
        double numpyMs = -1;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, pipe)) {
                if (std::sscanf(line, "numpy_ms %lf", &numpyMs) != 1) std::printf("  python: %s", line);
            }
            pclose(pipe);
        }
        if (numpyMs > 0)
            std::printf("numpy histogram2d + scipy gaussian_filter, (a): %.0f ms; speed-up %.0fx (target >= 50: %s)\n",
                        numpyMs, numpyMs / changedMedians[0], numpyMs / changedMedians[0] >= 50 ? "met" : "MISSED");
        else
            std::printf("numpy/scipy comparison skipped (needs /usr/bin/python3 with numpy and scipy)\n");
    }
    if (!keep) std::filesystem::remove(dataPath);

    if (largeCount > 0 && withTrace) {
        points = {};
        std::printf("\nGenerating %zu synthetic city points...\n", largeCount);
        start = Clock::now();
        points = makeCity(largeCount);
        std::printf("  generated in %.0f ms\n", millisecondsSince(start));
        settings = trace.front();
        // The samples are dropped inside initialize: they do not count.
        const std::size_t before = heapBytes() - points.capacity() * sizeof(Datapoint);
        start = Clock::now();
        HeatmapEngine::initialize(std::move(points), settings);  // the samples move in and are dropped
        const double largeInitializeMs = millisecondsSince(start);
        reportTrace("100M trace", trace, runTrace(trace), 33, 0);
        const double largeBytes = static_cast<double>(heapBytes() - before) / static_cast<double>(largeCount);
        std::printf("  initialize %.0f ms; engine memory %.2f bytes/point (target <= 12: %s)\n", largeInitializeMs,
                    largeBytes, largeBytes <= 12 ? "met" : "MISSED");
        HeatmapEngine::release();
    }
    std::printf("\nLoad average at the end: %s\n", loadAverage().c_str());
    return 0;
}
