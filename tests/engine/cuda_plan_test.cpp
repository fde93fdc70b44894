// The CUDA engine's host-side decisions and its convolution arithmetic, on
// the CPU: what runs on the device is checked here wherever it does not need
// a device (tests/gpu/run covers the rest on a GPU machine).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "EngineTestData.h"
#include "cpu/CountingEngine.h"
#include "cuda/CudaPlan.h"
#include "engine/HeatmapEngine.h"
#include "kde/Backend.h"
#include "model/SampleSource.h"

namespace {

using kde::kCountSide;

TEST(CudaPlan, LaunchShapesCoverEveryItemOnce) {
    struct ChunkCase {
        std::size_t points;
        std::size_t perLaunch;
        std::vector<std::size_t> counts;
    };
    const ChunkCase chunkCases[] = {
        {0, gpuplan::kLaunchPoints, {0}},  // one launch of spare threads only
        {257, gpuplan::kLaunchPoints, {257}},
        {gpuplan::kLaunchPoints + 5, gpuplan::kLaunchPoints, {gpuplan::kLaunchPoints, 5}},
        {10, 4, {4, 4, 2}},
    };
    for (const ChunkCase& c : chunkCases) {
        const auto chunks = gpuplan::pointChunks(c.points, c.perLaunch);
        ASSERT_EQ(chunks.size(), c.counts.size()) << c.points;
        std::size_t next = 0;
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            EXPECT_EQ(chunks[k].first, next);
            EXPECT_EQ(static_cast<std::size_t>(chunks[k].count), c.counts[k]);
            // Enough threads for every point, and at most one partial block.
            EXPECT_GE(std::int64_t{chunks[k].blocks} * gpuplan::kThreads, chunks[k].count);
            EXPECT_LT(std::int64_t{chunks[k].blocks - 1} * gpuplan::kThreads, std::max(chunks[k].count, 1));
            next += c.counts[k];
        }
    }
    // The maximum search: one thread below 64 values, block passes above;
    // each later pass must fit the 16 slots after the first pass's results.
    EXPECT_TRUE(gpuplan::maximumPasses(63).empty());
    EXPECT_EQ(gpuplan::maximumPasses(64), std::vector<int>{1});
}

// A weight table is taken only as size x size weights of an odd size the
// device's counts can hold.
TEST(CudaPlan, TableCheckTakesOnlyOddSquaresWithinTheLargestSize) {
    struct TableCase {
        std::size_t entries;
        int size;
        bool valid;
    };
    const TableCase tables[] = {{1, 1, true},      {25, 5, true},         {24, 5, false},  {9, 5, false},
                                {16, 4, false},    {0, 0, false},         {1, -1, false},
                                {std::size_t{23169} * 23169, 23169, true},
                                {std::size_t{23171} * 23171, 23171, false}};
    for (const TableCase& t : tables)
        EXPECT_EQ(gpuplan::tableProblem(t.entries, t.size).empty(), t.valid) << t.size << " " << t.entries;
}

// The memory check's bytes, from what each buffer must hold. By hand, with
// no points and the single-cell table: the grid 1000 x 1000 floats
// (4,000,000 bytes), the maximum search's 3907 + 16 partial results (15,692)
// and the one weight (4) make 4,015,696 on both paths; the counting path adds
// the count grid, 1128 x 1128 counts (5,089,536), and the row buffer, 1128
// rows of 1000 floats (4,512,000): 13,617,232. Each point and, on the
// counting path only, each far point adds one 16-byte record; the table adds
// size x size floats on the literal path and its size-long factor on the
// counting path. Whether the estimate holds every buffer the engine
// allocates is checked on a GPU, against the engine's buffers and the
// runtime's free memory (GpuSmall.MemoryCheckCountsWhatTheEngineAllocates).
TEST(CudaPlan, FootprintOfTheSmallestRunByHand) {
    using gpuplan::footprintBytes;
    using gpuplan::Path;
    EXPECT_EQ(footprintBytes(Path::literal, 0, 0, 1), 4015696u);
    EXPECT_EQ(footprintBytes(Path::counting, 0, 0, 1), 13617232u);
}

// The points the counting path stamps one by one, gathered from a source's
// chunks: exactly the far ones (beyond the 64-cell margin, within the
// largest table's reach), none counted or dropped, in input order across the
// boundary between two chunks.
TEST(CudaPlan, FarPointsAreGatheredFromEveryChunkInOrder) {
    constexpr std::size_t kFirstChunk = SampleSource::kChunkSamples;
    std::vector<Datapoint> points(kFirstChunk + 10, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    // Cell -64 lies within the margin (counted), -66 beyond it (far); 12500
    // and -11500 are within the largest table's reach (11584) of the grid
    // (far), 12600 beyond it (dropped), as are invalid coordinates.
    struct Placed {
        std::size_t index;
        float x;
        float y;
        bool far;
    };
    const Placed placed[] = {{3, -0.0635f, 0.5f, false},          {5, -0.0655f, 0.5f, true},
                             {9, 0.5f, 12.5f, true},              {11, 0.5f, 12.6f, false},
                             {12, std::nanf(""), 0.5f, false},    {kFirstChunk - 1, 1.0655f, 0.2f, true},
                             {kFirstChunk, 0.3f, -0.0655f, true}, {kFirstChunk + 9, -11.5f, -11.5f, true}};
    std::vector<std::int32_t> expected;
    for (const Placed& p : placed) {
        const std::int32_t time = static_cast<std::int32_t>(p.index % 86400);
        points[p.index] = Datapoint(p.x, p.y, mode::BUS, time);
        if (p.far) expected.push_back(time);
    }
    std::vector<std::int32_t> found;
    for (const Datapoint& point : gpuplan::farPoints(SamplesInMemory::view(points))) found.push_back(point.time);
    EXPECT_EQ(found, expected);
}

// The factor straight from the host table, where the kernels stage it in
// shared memory.
struct HostFactor {
    const float* factor;
    int half;
    const float* operator()(int first, int) const { return factor + half + first; }
};

// The counting path's density through the kernels' own per-thread passes, each
// thread of the launches in turn: counts, then the two passes with the
// factor taken `chunk` weights at a time.
std::vector<float> emulatedDensity(const std::vector<Datapoint>& points, const std::vector<float>& table, int size,
                                   const ControlSettings& settings, int chunk) {
    std::vector<std::uint32_t> counts(kde::kCountCells, 0);
    for (const Datapoint& point : points) {
        if (!kde::point_passes(point, settings.mode_mask, settings.min_time, settings.max_time)) continue;
        const kde::Cell cell = kde::cell_of(point);
        if (kde::place_of(cell) == kde::Place::counted) ++counts[kde::count_index(cell)];
    }
    const std::vector<float> factor = engine::tableFactor(table, size);
    const int half = size / 2;
    HostFactor load{factor.data(), half};
    const kde::ConvolutionShape shape = kde::convolution_shape(half);
    // Rows the horizontal pass leaves alone stay NaN, so reading one shows.
    std::vector<float> rows(gpuplan::kRowCells, std::numeric_limits<float>::quiet_NaN());
    for (int i = shape.rowFirst; i <= shape.rowLast; ++i)
        for (int c = 0; c < kde::kSide; ++c)
            rows[std::size_t(i) * kde::kSide + c] =
                gpuplan::row_pass(counts.data() + std::size_t(i) * kCountSide, shape.reach, chunk, c, load);
    std::vector<float> grid(kde::kCells);
    for (int r = 0; r < kde::kSide; ++r) {
        const gpuplan::Range range = gpuplan::column_range(r, half, shape.rowFirst, shape.rowLast);
        for (int c = 0; c < kde::kSide; ++c)
            grid[std::size_t(r) * kde::kSide + c] = gpuplan::column_pass(rows.data(), range, chunk, r, c, load);
    }
    return grid;
}

// Without far points the device sums what the CPU engine sums, in another
// order: the grids agree to the rounding of two convolutions. Catches a wrong
// margin, reach, row range or chunk offset in the kernels' arithmetic.
TEST(CudaPlan, ConvolutionArithmeticEqualsTheCpuEngine) {
    std::vector<Datapoint> points;
    for (const Datapoint& point : adversarialPoints(11, 3000))
        if (kde::place_of(kde::cell_of(point)) != kde::Place::far) points.push_back(point);
    for (int i = 0; i < 1000; ++i) points.emplace_back(0.0005f, 0.9995f, mode::WALK, 500);  // one corner cell
    struct Case {
        int size;
        float sigma;
        std::int32_t mask;
        int chunk;
    };
    const Case cases[] = {{1, 1.0f, kAllModes, gpuplan::kFactorChunk},
                          {5, 1.0f, 1115, gpuplan::kFactorChunk},
                          {21, 3.0f, kAllModes, 7},
                          {101, 10.0f, kAllModes, gpuplan::kFactorChunk}};
    engine::CountingEngine cpu(points, 1);
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " chunk " + std::to_string(c.chunk));
        const auto table = HeatmapEngine::makeGaussKernel(c.sigma, c.size);
        cpu.setKernel(table, c.size);
        ControlSettings settings;
        settings.mode_mask = c.mask;
        settings.min_time = 3600;
        settings.max_time = 80000;
        const std::vector<float> expected = cpu.density(settings);
        const std::vector<float> emulated = emulatedDensity(points, table, c.size, settings, c.chunk);
        int mismatches = 0;
        for (int k = 0; k < kde::kCells; ++k)
            if (std::fabs(emulated[k] - expected[k]) > convolutionTolerance(expected[k], c.size, points.size()) &&
                ++mismatches <= 5)
                ADD_FAILURE() << "cell " << k << ": emulated " << emulated[k] << ", CPU engine " << expected[k];
        EXPECT_EQ(mismatches, 0);
    }
}

}  // namespace
