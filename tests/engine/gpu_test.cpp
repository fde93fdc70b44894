// The CUDA module on a device: the reductions and scaling kernels against
// their host loops, both paths (`cuda`, `cuda-literal`) against the literal
// reference engine over adversarial data (far stamps and split launches
// included), the counting path against the CPU engine within the rounding of
// two convolutions, and the engine's stream and memory check. Skipped where
// no CUDA device works; the GPU bundle's run script (tests/gpu/bundle) runs
// it on a GPU machine, and the GpuSmall cases under compute-sanitizer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "EngineTestData.h"
#include "GridComparison.h"
#include "cpu/FastEngine.h"
#include "cuda/DeviceTestHooks.h"

namespace {

using Op = reductionOperation;

using gpuplan::Path;

class Gpu : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string problem = engine::cudaDeviceProblem();
        if (!problem.empty()) GTEST_SKIP() << "no CUDA device: " << problem;
    }
};
using GpuSmall = Gpu;

std::unique_ptr<engine::DensityBackend> startOrFail(const std::vector<Datapoint>& points, Path path) {
    engine::CudaStart start = engine::startCudaEngine(points, path);
    if (!start.backend) ADD_FAILURE() << start.problem;
    return std::move(start.backend);
}

// Gives the grid comparison the engine's raw grid as well as its result.
struct Candidate {
    engine::DensityBackend& backend;
    void setKernel(const std::vector<float>& table, int size) { backend.setKernel(table, size); }
    std::vector<float> compute(const ControlSettings& settings) { return backend.compute(settings); }
    std::vector<float> density(const ControlSettings& settings) { return engine::cudaDensity(backend, settings); }
};

// The literal path adds a cell's n contributions in another order; the
// counting path also factors the table (2 size + 8, as the CPU engine) and
// adds the stamps of far points with atomics.
double literalTerms(double n, int) { return n + 8.0; }
double countingTerms(double n, int size) { return n + 2.0 * size + 8.0; }

// chunk: factor weights per shared-memory load; launchPoints: points per
// kernel launch.
void compareWithReference(Path path, const std::vector<Datapoint>& points, const std::vector<int>& sizes,
                          const std::vector<std::int32_t>& masks, int chunk,
                          std::size_t launchPoints = gpuplan::kLaunchPoints) {
    auto backend = startOrFail(points, path);
    ASSERT_TRUE(backend);
    if (path == Path::fast) engine::cudaSetFactorChunk(*backend, chunk);
    engine::cudaSetLaunchPoints(*backend, launchPoints);
    Candidate candidate{*backend};
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    int round = 0;
    for (int size : sizes)
        for (std::int32_t mask : masks) {
            const float sigma = std::max(1.0f, static_cast<float>(size) / 6.0f);
            const std::int32_t from = round % 3 == 0 ? 0 : 25200;
            const std::int32_t to = round % 3 == 0 ? 86400 : 32400;
            gridcheck::compareOne(candidate, reference, counter,
                                  gridcheck::Case{size, sigma, mask, from, to, round % 4 != 0},
                                  path == Path::fast ? countingTerms : literalTerms, true);
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
    EXPECT_EQ(engine::cudaReduceWarp(two, Op::MAX), 0.0f);
    EXPECT_EQ(engine::cudaReduceWarp(two, Op::MIN), -3.0f);
    EXPECT_EQ(engine::cudaReduceWarp(two, Op::SUM), -4.0f);
    // One thread folds any length, also past one block's 1024 threads.
    std::vector<float> long_(5000, 1.0f);
    long_[4999] = 7.0f;
    EXPECT_EQ(engine::cudaReduceWarp(long_, Op::MAX), 7.0f);
    EXPECT_EQ(engine::cudaReduceWarp(long_, Op::SUM), 5006.0f);
    EXPECT_EQ(engine::cudaReduceBlocksPass(std::vector<float>(256, 1.0f), Op::SUM), std::vector<float>{256.0f});
    std::vector<float> sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = -10.0f - i;
    EXPECT_EQ(engine::cudaReduceBlocksPass(sixteen, Op::MAX), std::vector<float>{-10.0f});
    EXPECT_EQ(engine::cudaReduceBlocksPass({-7.5f}, Op::MIN), std::vector<float>{-7.5f});
    std::vector<float> withNaN(300, 1.0f);
    withNaN[7] = std::nanf("");
    withNaN[299] = 5.0f;
    EXPECT_EQ(engine::cudaReduceBlocksPass(withNaN, Op::MAX), (std::vector<float>{1.0f, 5.0f}));

    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    std::vector<float> many(123457);
    for (float& v : many) v = value(random);
    for (Op operation : {Op::MIN, Op::MAX}) {
        std::vector<float> expected((many.size() + 255) / 256);
        engine::referenceReduceBlocks(many.data(), expected.data(), static_cast<int>(many.size()),
                                      static_cast<int>(expected.size()), operation);
        EXPECT_EQ(engine::cudaReduceBlocksPass(many, operation), expected) << static_cast<int>(operation);
    }
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
        const float expected = kde::log_function(values[i]);
        // Relative: ln(1 + 1e-30) read back as 0 would be thin heat lost.
        EXPECT_NEAR(logged[i], expected, 2.4e-7f * std::abs(expected)) << values[i];
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
    compareWithReference(Path::fast, points, {1, 9}, {1115}, 4, 100);
    compareWithReference(Path::literal, points, {5}, {2047}, gpuplan::kFactorChunk, 100);
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
        const kde::Cell cell = kde::cell_function(point);
        if (kde::place_function(cell) == kde::Place::far && cell.row > -80 && cell.row < kde::kSide + 80 &&
            cell.col > -80 && cell.col < kde::kSide + 80)
            ++farWithinReach;
    }
    ASSERT_GT(farWithinReach, 0u) << "no far point reaches the grid at size 161";
    const auto few = adversarialPoints(11, 40);  // the reference adds 4.2 million weights per point at 2049
    for (Path path : {Path::fast, Path::literal}) {
        SCOPED_TRACE(path == Path::fast ? "cuda" : "cuda-literal");
        compareWithReference(path, points, {161}, {2047, 1024}, gpuplan::kFactorChunk, 1000);
        compareWithReference(path, few, {2049}, {2047}, gpuplan::kFactorChunk, 100);
    }
}

// Every odd size up to 101 and the masks 0, 1024 and 2047; the points
// include every edge, far points and invalid coordinates.
TEST_F(Gpu, CountingPathMatchesTheReference) {
    compareWithReference(Path::fast, adversarialPoints(7, 2000), oddSizesUpTo(101), {0, 1024, 2047},
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
        if (kde::place_function(kde::cell_function(point)) != kde::Place::far) points.push_back(point);
    for (int i = 0; i < (1 << 24) + 3; ++i) points.emplace_back(0.4321f, 0.1234f, i % 2 ? WALK : MOTORCYCLE, 7000);
    points.resize(points.size() - points.size() % 256 + 77, Datapoint(0.25f, 0.75f, BUS, 100));
    auto gpu = startOrFail(points, Path::fast);
    ASSERT_TRUE(gpu);
    engine::FastEngine cpu(points, engine::hardwareThreads());
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
            int mismatches = 0;
            for (int k = 0; k < kde::kCells; ++k)
                if (std::fabs(gpuDensity[k] - cpuDensity[k]) > convolutionTolerance(cpuDensity[k], size, points.size()) &&
                    ++mismatches <= 3)
                    ADD_FAILURE() << "density at cell " << k << ": CUDA " << gpuDensity[k] << ", CPU " << cpuDensity[k];
            ASSERT_EQ(mismatches, 0);
            for (bool log : {false, true}) {
                settings.use_log_scale = log;
                const auto gpuGrid = gpu->compute(settings);
                const auto cpuGrid = cpu.compute(settings);
                const bool logged = kde::log_enabled(log, mask);
                for (int k = 0; k < kde::kCells; ++k) {
                    // The value's and the maximum's rounding, two roundings of the
                    // division, and the device and host logarithms an ulp or two apart:
                    // all relative (the sums hold no negative term, and the logarithm
                    // passes a relative error on no larger), so a thin cell that came
                    // back as 0 fails.
                    const float allowed = 2.0f * convolutionTolerance(cpuGrid[k], size, 0) +
                                          (logged ? 1e-6f : 2.4e-7f) * std::abs(cpuGrid[k]);
                    if (std::abs(gpuGrid[k] - cpuGrid[k]) > allowed && ++mismatches <= 3)
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
    const std::size_t far = gpuplan::farPoints(points, 1).size();
    ASSERT_GT(far, 0u);
    for (Path path : {Path::fast, Path::literal})
        for (int size : {1, 7, 101}) {
            auto gpu = startOrFail(points, path);
            ASSERT_TRUE(gpu);
            gpu->setKernel(HeatmapEngine::makeGaussKernel(2.0f, size), size);
            EXPECT_EQ(gpu->memoryBytes(),
                      gpuplan::footprintBytes(path, points.size(), path == Path::fast ? far : 0, size))
                << (path == Path::fast ? "cuda" : "cuda-literal") << " size " << size;
        }
}

// A grid asked for before any table is set uses the single-cell table,
// and a table whose length does not match its size is refused without
// harming the engine.
TEST_F(GpuSmall, TableFromTheStartAndCheckedSizes) {
    const auto points = adversarialPoints(4, 300);
    engine::FastEngine cpu(points, 1);
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    const auto expected = cpu.compute(settings);  // its table starts as one cell too
    for (Path path : {Path::fast, Path::literal}) {
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
    auto running = startOrFail(points, Path::fast);
    ASSERT_TRUE(running);
    running->setKernel(HeatmapEngine::makeGaussKernel(2.0f, 9), 9);
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    const auto expected = running->compute(settings);
    engine::DefaultStreamHold* hold = engine::cudaHoldDefaultStream(20.0);
    const auto grid = running->compute(settings);
    engine::CudaStart next = engine::startCudaEngine(points, Path::fast, 9);
    EXPECT_TRUE(engine::cudaReleaseDefaultStream(hold)) << "an engine waited for the default stream";
    EXPECT_EQ(grid, expected);
    EXPECT_TRUE(next.backend) << next.problem;
}

// A reload that fits only in the memory the running engine frees still runs
// on the GPU: the check counts that memory, and the upload waits for it.
TEST_F(Gpu, ReloadCountsTheMemoryTheRunningEngineFrees) {
    setenv("TRACKORA_ENGINE", "cuda", 1);
    const std::vector<Datapoint> points(std::size_t{8} << 20, Datapoint(0.5f, 0.5f, WALK, 100));
    ControlSettings settings;
    HeatmapEngine::initialize(points, settings);
    ASSERT_EQ(HeatmapEngine::engineName().rfind("CUDA (", 0), 0u) << HeatmapEngine::engineName();
    const std::size_t held = engine::currentBackend()->memoryBytes();
    const std::size_t needed =
        gpuplan::footprintBytes(Path::fast, points.size(), 0, engine::effectiveKernelSize(settings.kernel_size)) +
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

}  // namespace
