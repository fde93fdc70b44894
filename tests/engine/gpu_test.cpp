// The CUDA module on a device: the reductions and scaling kernels against
// their host loops, both paths (`cuda`, `cuda-literal`) against the literal
// reference engine over adversarial data (far stamps, split launches and
// uploads in small chunks included), the counting path against the CPU
// engine within the rounding of two convolutions, and the engine's stream,
// memory check and cancelled starts. Skipped where no CUDA device works; the
// GPU bundle's run script (tests/gpu/bundle) runs it on a GPU machine, and
// the GpuSmall cases under compute-sanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>

#include "EngineTestData.h"
#include "GridComparison.h"
#include "cpu/CountingEngine.h"
#include "cuda/DeviceTestHooks.h"
#include "engine/EngineInternals.h"
#include "model/LoadError.h"
#include "model/SampleSource.h"

namespace {


using gpuplan::Path;

class Gpu : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string problem = engine::cudaDeviceProblem();
        if (!problem.empty()) GTEST_SKIP() << "no CUDA device: " << problem;
    }
};
using GpuSmall = Gpu;

// n float roundings of a value: relative, so a thin positive cell that came
// back as 0 lies outside it however small the cell.
float roundings(float value, float n) { return n * FLT_EPSILON * std::abs(value); }

// Samples from memory handed over `chunk` at a time through one buffer that
// is overwritten with another point as soon as each visit returns, as a file
// source reuses its read buffer. With a stop, the source is cancelled (the
// cancel flag set, as another thread would) or fails to read before chunk
// `stopAt`.
class ChunkedSource final : public SampleSource {
public:
    enum class Stop { none, cancel, readFailure };
    ChunkedSource(const std::vector<Datapoint>& points, std::size_t chunk, Stop stop = Stop::none,
                  std::size_t stopAt = 0)
        : points_(points), chunk_(chunk), stop_(stop), stopAt_(stopAt) {
        cancel = &cancelled_;
    }
    std::size_t size() const override { return points_.size(); }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override {
        std::vector<Datapoint> buffer(chunk_);
        std::size_t index = 0;
        for (std::size_t first = 0; first < points_.size(); first += chunk_, ++index) {
            if (index == stopAt_ && stop_ == Stop::cancel) cancelled_ = true;
            stopIfCancelled();
            if (index == stopAt_ && stop_ == Stop::readFailure)
                throw DataFileError(path_, "became shorter while it was read");
            const std::size_t count = std::min(chunk_, points_.size() - first);
            std::copy_n(points_.begin() + static_cast<std::ptrdiff_t>(first), count, buffer.begin());
            visit(buffer.data(), count, first);
            ++visited;
            std::fill(buffer.begin(), buffer.end(), Datapoint(0.5f, 0.5f, mode::WALK, 100));
        }
    }
    mutable std::size_t visited = 0;

private:
    const std::vector<Datapoint>& points_;
    std::size_t chunk_;
    Stop stop_;
    std::size_t stopAt_;
    std::string path_ = "chunked.bin";
    mutable std::atomic<bool> cancelled_{false};
};

std::unique_ptr<engine::DensityBackend> startOrFail(const SampleSource& samples, Path path) {
    engine::CudaStart start = engine::startCudaEngine(samples, path);
    if (!start.backend) ADD_FAILURE() << start.problem;
    return std::move(start.backend);
}
std::unique_ptr<engine::DensityBackend> startOrFail(const std::vector<Datapoint>& points, Path path) {
    return startOrFail(SamplesInMemory::view(points), path);
}

// Gives the grid comparison the engine's raw grid as well as its result, and
// keeps both for the check that no cell was lost.
struct Candidate {
    engine::DensityBackend& backend;
    std::vector<float> lastDensity;
    std::vector<float> lastGrid;
    void setKernel(const std::vector<float>& table, int rows, int cols) { backend.setKernel(table, rows, cols); }
    std::vector<float> compute(const ControlSettings& settings) { return lastGrid = backend.compute(settings); }
    std::vector<float> density(const ControlSettings& settings) {
        return lastDensity = engine::cudaDensity(backend, settings);
    }
};

// Every cell the reference's last compute left positive, raw and
// normalised, is positive on the GPU: thin heat is never lost, whatever the
// tolerances allow near 0.
void expectNoCellLost(engine::ReferenceEngine& reference, const Candidate& candidate, bool useLog) {
    ASSERT_EQ(candidate.lastDensity.size(), std::size_t{kde::kCells});
    ASSERT_EQ(candidate.lastGrid.size(), std::size_t{kde::kCells});
    int lost = 0;
    for (int k = 0; k < kde::kCells; ++k) {
        const float density = reference.densityAt(static_cast<std::size_t>(k));
        if (!(density > 0.0f)) continue;
        const float result = kde::finish_cell(kde::scale_cell(density, useLog), reference.lastMaximum());
        if ((!(candidate.lastDensity[k] > 0.0f) || (result > 0.0f && !(candidate.lastGrid[k] > 0.0f))) &&
            ++lost <= 3)
            ADD_FAILURE() << "cell " << k << " lost: reference " << density << " (" << result << "), CUDA "
                          << candidate.lastDensity[k] << " (" << candidate.lastGrid[k] << ")";
    }
    EXPECT_EQ(lost, 0);
}

// The literal path adds a cell's n contributions in another order; the
// counting path also factors the table (2 size + 8, as the CPU engine) and
// adds the stamps of far points with atomics.
double literalTerms(double n, int) { return n + 8.0; }
double countingTerms(double n, int size) { return n + 2.0 * size + 8.0; }

// chunk: factor weights per shared-memory load; launchPoints: points per
// kernel launch; uploadChunk: samples per chunk of the upload (0: the
// points from memory).
void compareWithReference(Path path, const std::vector<Datapoint>& points, const std::vector<int>& sizes,
                          const std::vector<std::int32_t>& masks, int chunk,
                          std::size_t launchPoints = gpuplan::kLaunchPoints, std::size_t uploadChunk = 0) {
    auto backend = uploadChunk > 0 ? startOrFail(ChunkedSource(points, uploadChunk), path) : startOrFail(points, path);
    ASSERT_TRUE(backend);
    if (path == Path::counting) engine::cudaSetFactorChunk(*backend, chunk);
    engine::cudaSetLaunchPoints(*backend, launchPoints);
    Candidate candidate{*backend, {}, {}};
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    int round = 0;
    for (int size : sizes)
        for (std::int32_t mask : masks) {
            const float sigma = std::max(1.0f, static_cast<float>(size) / 6.0f);
            const std::int32_t from = round % 3 == 0 ? 0 : 25200;
            const std::int32_t to = round % 3 == 0 ? 86400 : 32400;
            const bool log = round % 4 != 0;
            // Some rounds on frames whose cells are not square on the ground:
            // tables narrower and wider east-west than north-south.
            const double aspect = round % 5 == 2 ? 0.8669 : round % 5 == 4 ? 1.5 : 1.0;
            gridcheck::compareOne(candidate, reference, counter,
                                  gridcheck::Case{size, sigma, mask, from, to, log, aspect},
                                  path == Path::counting ? countingTerms : literalTerms, true);
            if (::testing::Test::HasFatalFailure()) return;
            expectNoCellLost(reference, candidate, log);
            ++round;
        }
}

std::vector<int> oddSizesUpTo(int last) {
    std::vector<int> sizes;
    for (int size = 1; size <= last; size += 2) sizes.push_back(size);
    return sizes;
}

TEST_F(Gpu, ReductionsMatchTheHostLoops) {
    const std::vector<float> two = {-3.0f, -1.0f};
    EXPECT_EQ(engine::cudaReduceSerial(two), 0.0f);
    // One thread folds any length, also past one block's 1024 threads.
    std::vector<float> long_(5000, 1.0f);
    long_[4999] = 7.0f;
    EXPECT_EQ(engine::cudaReduceSerial(long_), 7.0f);
    std::vector<float> sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = -10.0f - i;
    EXPECT_EQ(engine::cudaReduceBlocksPass(sixteen), std::vector<float>{-10.0f});
    EXPECT_EQ(engine::cudaReduceBlocksPass({-7.5f}), std::vector<float>{-7.5f});
    std::vector<float> withNaN(300, 1.0f);
    withNaN[7] = std::nanf("");
    withNaN[299] = 5.0f;
    EXPECT_EQ(engine::cudaReduceBlocksPass(withNaN), (std::vector<float>{1.0f, 5.0f}));

    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    std::vector<float> many(123457);
    for (float& v : many) v = value(random);
    std::vector<float> expected((many.size() + 255) / 256);
    engine::referenceReduceBlocks(many.data(), expected.data(), static_cast<int>(many.size()),
                                  static_cast<int>(expected.size()));
    EXPECT_EQ(engine::cudaReduceBlocksPass(many), expected);
}

TEST_F(Gpu, GridMaximumTakesThreePassesAndFindsTheLastPartialBlock) {
    std::vector<float> grid(1000000, 0.5f);
    for (int index : {999999, 999936, 0, 500000}) {
        std::vector<float> values = grid;
        values[index] = 9.0f;
        std::vector<int> passes;
        EXPECT_EQ(engine::cudaMaximum(values, &passes), 9.0f) << index;
        EXPECT_EQ(passes, (std::vector<int>{3907, 16, 1}));
    }
}

TEST_F(GpuSmall, ScalingKernelsFollowTheSharedRules) {
    const std::vector<float> values = {0.0f, 1.0f, 2.7182817f, 0.5f, 1e-30f, 3e38f};
    const auto logged = engine::cudaLog(values);
    ASSERT_EQ(logged.size(), values.size());
    EXPECT_EQ(logged[0], 0.0f);
    for (std::size_t i = 1; i < values.size(); ++i) {
        const float expected = kde::log_cell(values[i]);
        // Relative: ln(1 + 1e-30) read back as 0 would be thin heat lost.
        EXPECT_NEAR(logged[i], expected, roundings(expected, 2.0f)) << values[i];
        EXPECT_GT(logged[i], 0.0f) << values[i];
    }
    EXPECT_EQ(engine::cudaNormalize({0.0f, 2.0f, 4.0f, std::nanf("")}, 4.0f),
              (std::vector<float>{0.0f, 0.5f, 1.0f, 0.0f}));
}

// Both paths on a small case with points on and beyond every edge; the
// counting path with 4 weights per shared-memory load, so a table of 9
// takes three loads and the barriers between them run, and launches of 100
// points, so every kernel over points runs at chunk offsets. Small enough
// for compute-sanitizer.
TEST_F(GpuSmall, BothPathsMatchTheReferenceOnASmallCase) {
    const auto points = adversarialPoints(5, 600);
    compareWithReference(Path::counting, points, {1, 9}, {1115}, 4, 100);
    compareWithReference(Path::literal, points, {5}, {2047}, gpuplan::kFactorChunk, 100);
}

// The samples uploaded 97 at a time through a buffer the source overwrites
// after each chunk: each chunk must land at its own offset before its buffer
// is reused, and the far points (70 cells out, within reach of size 161) be
// gathered from every chunk. Small enough for compute-sanitizer, whose
// initcheck reports a device point that no chunk wrote.
TEST_F(GpuSmall, ChunkedUploadMatchesTheReference) {
    const auto points = adversarialPoints(13, 300);
    ASSERT_GT(points.size(), 8u * 97u);
    ASSERT_GT(gpuplan::farPoints(SamplesInMemory::view(points)).size(), 4u);
    compareWithReference(Path::counting, points, {161}, {2047}, gpuplan::kFactorChunk, gpuplan::kLaunchPoints, 97);
    compareWithReference(Path::literal, points, {5}, {1115}, gpuplan::kFactorChunk, gpuplan::kLaunchPoints, 97);
}

// A source cancelled, or failing to read, partway through the upload: the
// start throws that (the load stops; it is no GPU problem to fall back from)
// and leaves nothing held on the device, the 32 MiB of points allocated
// before the first chunk included.
TEST_F(Gpu, StoppedUploadThrowsAndFreesTheDevice) {
    const std::vector<Datapoint> points(std::size_t{2} << 20, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    constexpr std::size_t kChunk = std::size_t{1} << 18;
    {
        // Whatever the context sets up once (modules, pools) is set up now.
        auto warm = startOrFail(points, Path::counting);
        ASSERT_TRUE(warm);
        warm->compute(ControlSettings{});
    }
    const std::size_t before = engine::cudaFreeBytes();
    using Stop = ChunkedSource::Stop;
    for (Path path : {Path::counting, Path::literal})
        for (Stop stop : {Stop::cancel, Stop::readFailure}) {
            SCOPED_TRACE(std::string(path == Path::counting ? "cuda" : "cuda-literal") +
                         (stop == Stop::cancel ? ", cancelled" : ", read failure"));
            ChunkedSource source(points, kChunk, stop, 3);
            if (stop == Stop::cancel)
                EXPECT_THROW(engine::startCudaEngine(source, path), LoadCancelled);
            else
                EXPECT_THROW(engine::startCudaEngine(source, path), DataFileError);
            EXPECT_EQ(source.visited, 3u);
            EXPECT_GE(engine::cudaFreeBytes() + (std::size_t{4} << 20), before);
        }
}

// Points centred beyond the count grid's 64-cell margin reach the grid only
// with tables wider than 129: the data hold points 70 cells out on every
// side (size 161 reaches 80 cells) and 500 cells out (2049 reaches 1024),
// which the counting path stamps one by one. Launches of 1000 and 100
// points leave partial last chunks.
TEST_F(Gpu, FarStampsAndSplitLaunchesMatchTheReference) {
    const auto points = adversarialPoints(10, 1200);
    std::size_t farWithinReach = 0;
    for (const Datapoint& point : points) {
        const kde::Cell cell = kde::cell_of(point);
        if (kde::place_of(cell) == kde::Place::far && cell.row > -80 && cell.row < kde::kSide + 80 &&
            cell.col > -80 && cell.col < kde::kSide + 80)
            ++farWithinReach;
    }
    ASSERT_GT(farWithinReach, 0u) << "no far point reaches the grid at size 161";
    const auto few = adversarialPoints(11, 40);  // the reference adds 4.2 million weights per point at 2049
    for (Path path : {Path::counting, Path::literal}) {
        SCOPED_TRACE(path == Path::counting ? "cuda" : "cuda-literal");
        compareWithReference(path, points, {161}, {2047, 1024}, gpuplan::kFactorChunk, 1000);
        compareWithReference(path, few, {2049}, {2047}, gpuplan::kFactorChunk, 100);
    }
}

// Every odd size up to 101 and the masks 0, 1024 and 2047; the points
// include every edge, far points and invalid coordinates.
TEST_F(Gpu, CountingPathMatchesTheReference) {
    compareWithReference(Path::counting, adversarialPoints(7, 2000), oddSizesUpTo(101), {0, 1024, 2047},
                         gpuplan::kFactorChunk);
}

TEST_F(Gpu, LiteralPathMatchesTheReference) {
    compareWithReference(Path::literal, adversarialPoints(8, 2000), oddSizesUpTo(101), {0, 1024, 2047},
                         gpuplan::kFactorChunk);
}

// Without far points the counting path sums what the CPU engine sums, in
// another order: raw grids within the rounding of two convolutions, results
// within that over the maximum and a rounding of the logarithm. The data
// hold more than 2^24 samples in one cell (the warp-combined integer atomics
// must count them all, past what a float counts exactly) and a point count
// that leaves a partial last block.
TEST_F(Gpu, CountingPathMatchesTheCpuEngine) {
    std::vector<Datapoint> points;
    for (const Datapoint& point : adversarialPoints(9, 20000))
        if (kde::place_of(kde::cell_of(point)) != kde::Place::far) points.push_back(point);
    for (int i = 0; i < (1 << 24) + 3; ++i) points.emplace_back(0.4321f, 0.1234f, i % 2 ? mode::WALK : mode::MOTORCYCLE, 7000);
    points.resize(points.size() - points.size() % 256 + 77, Datapoint(0.25f, 0.75f, mode::BUS, 100));
    auto gpu = startOrFail(points, Path::counting);
    ASSERT_TRUE(gpu);
    engine::CountingEngine cpu(points, engine::hardwareThreads());
    // Three shared-memory loads of the factor per pass at 2049.
    const std::vector<int> sizes = {1, 3, 5, 21, 63, 101, 2049};
    for (int size : sizes)
        for (std::int32_t mask : {0, 1024, 2047}) {
            SCOPED_TRACE("size " + std::to_string(size) + " mask " + std::to_string(mask));
            const auto table = HeatmapEngine::makeGaussKernel(std::max(1.0f, size / 6.0f), size);
            gpu->setKernel(table, size);
            cpu.setKernel(table, size);
            ControlSettings settings;
            settings.mode_mask = mask;
            settings.min_time = 0;
            settings.max_time = 86400;
            const auto gpuDensity = engine::cudaDensity(*gpu, settings);
            const auto cpuDensity = cpu.density(settings);
            // The tolerance holds the CPU engine's flushed subnormal terms, an
            // absolute amount: a cell the CPU engine has positive must be
            // positive here too, which the device (never flushing) keeps.
            int mismatches = 0;
            for (int k = 0; k < kde::kCells; ++k)
                if ((std::fabs(gpuDensity[k] - cpuDensity[k]) > convolutionTolerance(cpuDensity[k], size, points.size()) ||
                     (cpuDensity[k] > 0.0f && !(gpuDensity[k] > 0.0f))) &&
                    ++mismatches <= 3)
                    ADD_FAILURE() << "density at cell " << k << ": CUDA " << gpuDensity[k] << ", CPU " << cpuDensity[k];
            ASSERT_EQ(mismatches, 0);
            for (bool log : {false, true}) {
                settings.use_log_scale = log;
                const auto gpuGrid = gpu->compute(settings);
                const auto cpuGrid = cpu.compute(settings);
                const bool logged = log;
                for (int k = 0; k < kde::kCells; ++k) {
                    // The value's and the maximum's rounding, two roundings of the
                    // division, and the device and host logarithms a few ulps apart:
                    // all relative (the sums hold no negative term, and the logarithm
                    // passes a relative error on no larger), so a thin cell that came
                    // back as 0 fails; and said outright.
                    const float allowed = 2.0f * convolutionTolerance(cpuGrid[k], size, 0) +
                                          roundings(cpuGrid[k], logged ? 8.0f : 2.0f);
                    if ((std::abs(gpuGrid[k] - cpuGrid[k]) > allowed || (cpuGrid[k] > 0.0f && !(gpuGrid[k] > 0.0f))) &&
                        ++mismatches <= 3)
                        ADD_FAILURE() << (log ? "log" : "linear") << " result at cell " << k << ": CUDA "
                                      << gpuGrid[k] << ", CPU " << cpuGrid[k];
                }
                ASSERT_EQ(mismatches, 0);
            }
        }
}

// The memory check before an engine starts counts what the engine then
// holds on the device, buffer by buffer, on both paths and with far points.
TEST_F(GpuSmall, MemoryCheckCountsWhatTheEngineAllocates) {
    const auto points = adversarialPoints(5, 500);
    const std::size_t far = gpuplan::farPoints(SamplesInMemory::view(points)).size();
    ASSERT_GT(far, 0u);
    for (Path path : {Path::counting, Path::literal})
        for (int size : {1, 7, 101}) {
            auto gpu = startOrFail(points, path);
            ASSERT_TRUE(gpu);
            gpu->setKernel(HeatmapEngine::makeGaussKernel(2.0f, size), size);
            EXPECT_EQ(gpu->memoryBytes(),
                      gpuplan::footprintBytes(path, points.size(), path == Path::counting ? far : 0, size))
                << (path == Path::counting ? "cuda" : "cuda-literal") << " size " << size;
        }
}

// A grid asked for before any table is set uses the single-cell table,
// and a table whose length does not match its size is refused without
// harming the engine.
TEST_F(GpuSmall, TableFromTheStartAndCheckedSizes) {
    const auto points = adversarialPoints(4, 300);
    engine::CountingEngine cpu(points, 1);
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    const auto expected = cpu.compute(settings);  // its table starts as one cell too
    for (Path path : {Path::counting, Path::literal}) {
        auto gpu = startOrFail(points, path);
        ASSERT_TRUE(gpu);
        EXPECT_EQ(gpu->compute(settings), expected);
        EXPECT_THROW(gpu->setKernel(std::vector<float>(24, 0.04f), 5), std::invalid_argument);
        EXPECT_THROW(gpu->setKernel(std::vector<float>(16, 0.0625f), 4), std::invalid_argument);
        EXPECT_EQ(gpu->compute(settings), expected);
    }
}

}  // namespace

namespace {

// An engine's work runs on a stream of its own: a compute, and a new
// engine's upload beside it, finish while other work holds CUDA's legacy
// default stream.
TEST_F(Gpu, EnginesDoNotWaitForTheDefaultStream) {
    const auto points = adversarialPoints(12, 2000);
    auto running = startOrFail(points, Path::counting);
    ASSERT_TRUE(running);
    running->setKernel(HeatmapEngine::makeGaussKernel(2.0f, 9), 9);
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    const auto expected = running->compute(settings);
    engine::DefaultStreamHold* hold = engine::cudaHoldDefaultStream(20.0);
    const auto grid = running->compute(settings);
    engine::CudaStart next = engine::startCudaEngine(points, Path::counting, 9);
    EXPECT_TRUE(engine::cudaReleaseDefaultStream(hold)) << "an engine waited for the default stream";
    EXPECT_EQ(grid, expected);
    EXPECT_TRUE(next.backend) << next.problem;
}

// A reload that fits only in the memory the running engine frees still runs
// on the GPU: the check counts that memory, and the upload waits for it.
TEST_F(Gpu, ReloadCountsTheMemoryTheRunningEngineFrees) {
    setenv("TRACKORA_ENGINE", "cuda", 1);
    const std::vector<Datapoint> points(std::size_t{8} << 20, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    ControlSettings settings;
    HeatmapEngine::initialize(points, settings);
    ASSERT_EQ(HeatmapEngine::engineName().rfind("CUDA (", 0), 0u) << HeatmapEngine::engineName();
    const std::size_t held = HeatmapEngine::internals::currentBackend()->memoryBytes();
    const std::size_t needed =
        gpuplan::footprintBytes(Path::counting, points.size(), 0, engine::effectiveKernelSize(settings.kernel_size)) +
        gpuplan::kHeadroomBytes;
    const std::size_t freeBytes = engine::cudaFreeBytes();
    ASSERT_GT(freeBytes + held / 2, needed);
    // Free is now what the new engine needs less half of what the old holds.
    void* ballast = engine::cudaTakeMemory(freeBytes + held / 2 - needed);
    HeatmapEngine::install(HeatmapEngine::prepare(points, settings.kernel_size), settings);
    const std::string name = HeatmapEngine::engineName();
    HeatmapEngine::release();
    engine::cudaGiveMemory(ballast);
    unsetenv("TRACKORA_ENGINE");
    EXPECT_EQ(name.rfind("CUDA (", 0), 0u) << name;
}

// What the facade counts as the running engine's device memory (for the
// next load's check) is what the device lost to it, by the runtime's own
// report, the table grown after start-up included: 67 MB at 4097 on the
// per-sample path, far past the allocator's rounding of the buffers.
TEST_F(Gpu, HeldBytesMatchTheDevicesOwnReport) {
    setenv("TRACKORA_ENGINE", "cuda-literal", 1);
    const auto points = adversarialPoints(13, 2000);
    ControlSettings settings;
    settings.kernel_size = 3;
    settings.mode_mask = kAllModes;
    // Once before counting: the kernels' code is loaded on first use.
    HeatmapEngine::initialize(points, settings);
    HeatmapEngine::computeHeatmap(settings);
    HeatmapEngine::release();
    const std::size_t before = engine::cudaFreeBytes();
    HeatmapEngine::initialize(points, settings);
    settings.kernel_size = 4097;
    HeatmapEngine::rebuildKernel(settings);
    const std::size_t after = engine::cudaFreeBytes();
    const std::size_t held = HeatmapEngine::internals::gpuBytesHeld();
    const std::string name = HeatmapEngine::engineName();
    HeatmapEngine::release();
    unsetenv("TRACKORA_ENGINE");
    ASSERT_EQ(name.rfind("CUDA literal (", 0), 0u) << name;
    ASSERT_GT(before, after);
    const std::size_t taken = before - after;
    EXPECT_GT(held, std::size_t{4097} * 4097 * sizeof(float));
    // Seven buffers, each rounded to the allocator's 2 MiB pages at most.
    const std::size_t rounding = std::size_t{16} << 20;
    EXPECT_LE(held, taken + rounding) << "taken " << taken;
    EXPECT_LE(taken, held + rounding) << "held " << held;
}

// A GPU load reads its samples once for the upload and the CPU index, with
// the progress bar moving through the read, and hears a cancel on the way,
// leaving nothing on the device. Without the CPU standby the samples are
// only uploaded, still in one read.
TEST_F(Gpu, LoadReadsOnceWithProgressAndHearsCancel) {
    setenv("TRACKORA_ENGINE", "cuda", 1);
    std::vector<Datapoint> points;  // times within the day: the CPU index reads once too
    for (int i = 0; i < 20000; ++i)
        points.emplace_back(0.3f + 0.004f * static_cast<float>(i % 97), 0.3f + 0.004f * static_cast<float>(i % 89),
                            mode::WALK, (i * 37) % 86400);
    const std::size_t chunks = (points.size() + 999) / 1000;
    ControlSettings settings;
    settings.kernel_size = 5;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    const auto expected = engine::CountingEngine(points, 1).compute(settings);
    for (bool standby : {true, false}) {
        SCOPED_TRACE(standby ? "with the CPU standby" : "upload only");
        HeatmapEngine::setCpuStandby(standby);
        auto source = std::make_shared<ChunkedSource>(points, 1000);
        std::vector<float> fractions;
        auto prepared = HeatmapEngine::prepare(source, 5, [&](float fraction) { fractions.push_back(fraction); });
        EXPECT_EQ(source->visited, chunks);
        const std::size_t during = static_cast<std::size_t>(
            std::count_if(fractions.begin(), fractions.end(), [](float f) { return f > 0.0f && f < 1.0f; }));
        EXPECT_GE(during, chunks / 2);
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
        HeatmapEngine::install(std::move(prepared), settings);
        const std::string name = HeatmapEngine::engineName();
        const auto grid = HeatmapEngine::computeHeatmap(settings);
        HeatmapEngine::release();
        EXPECT_EQ(name.rfind("CUDA (", 0), 0u) << name;
        ASSERT_EQ(grid.size(), expected.size());
        for (std::size_t k = 0; k < grid.size(); ++k)
            ASSERT_NEAR(grid[k], expected[k], 1e-5f) << "cell " << k;

        const std::size_t before = engine::cudaFreeBytes();
        auto cancelled = std::make_shared<ChunkedSource>(points, 1000, ChunkedSource::Stop::cancel, chunks / 2);
        EXPECT_THROW(HeatmapEngine::prepare(cancelled, 5), LoadCancelled);
        EXPECT_EQ(cancelled->visited, chunks / 2);
        // Within the allocator's rounding of a buffer.
        EXPECT_LE(before, engine::cudaFreeBytes() + (std::size_t{2} << 20));
    }
    HeatmapEngine::setCpuStandby(true);
    unsetenv("TRACKORA_ENGINE");
}

}  // namespace
