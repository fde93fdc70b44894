// The public operations: backend choice, the pipeline's edge cases and the
// guarantees computeHeatmap gives its caller, on every backend (the CUDA
// ones skipped where no device works).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "EngineTestData.h"
#include "cpu/CountingEngine.h"
#include "engine/EngineInternals.h"
#include "engine/HeatmapEngine.h"

namespace {

// TRACKORA_ENGINE set to the parameter, whatever runs it.
class EngineChoice : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { setenv("TRACKORA_ENGINE", GetParam(), 1); }
    void TearDown() override {
        HeatmapEngine::release();
        unsetenv("TRACKORA_ENGINE");
    }
};

// The engine the parameter names. Without a working CUDA device a CUDA
// choice runs the CPU engine, which the "cpu" runs test already: those runs
// are reported as skipped rather than passed.
class EngineApi : public EngineChoice {
protected:
    void SetUp() override {
        const std::string choice = GetParam();
        if (choice == "cuda" || choice == "cuda-literal") {
            const std::string problem = HeatmapEngine::internals::cudaProblem();
            if (!problem.empty()) GTEST_SKIP() << "no CUDA device works here (" << problem << ")";
        }
        EngineChoice::SetUp();
    }
};

bool allZero(const std::vector<float>& grid) {
    for (float v : grid)
        if (v != 0.0f) return false;
    return true;
}

void expectFinite(const std::vector<float>& grid) {
    ASSERT_EQ(grid.size(), static_cast<std::size_t>(kGridCells));
    for (float v : grid) ASSERT_TRUE(std::isfinite(v));
}

// Runs on every machine: without a GPU it is the test of the CPU fallback
// and of the reason it announces.
TEST_P(EngineChoice, NamesTheEngineItRuns) {
    ControlSettings settings;
    testing::internal::CaptureStdout();
    HeatmapEngine::initialize(std::vector<Datapoint>{}, settings);
    const std::string line = testing::internal::GetCapturedStdout();
    const std::string name = HeatmapEngine::engineName();
    const std::string choice = GetParam();
    // CUDA runs where a device works; elsewhere the CPU engine runs and the
    // line gives the reason.
    const std::string problem = choice == "cpu" ? "TRACKORA_ENGINE=cpu" : HeatmapEngine::internals::cudaProblem();
    if (choice == "reference") {
        EXPECT_EQ(name, "reference CPU");
    } else if (problem.empty()) {
        EXPECT_EQ(name.rfind(choice == "cuda-literal" ? "CUDA literal (" : "CUDA (", 0), 0u) << name;
        EXPECT_EQ(line.find("GPU not used"), std::string::npos) << line;
    } else {
        EXPECT_EQ(name.rfind("CPU, ", 0), 0u) << name;
        EXPECT_NE(line.find("GPU not used: " + problem), std::string::npos) << line;
    }
    EXPECT_EQ(line, "Density engine: " + name + line.substr(16 + name.size()));
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}

TEST_P(EngineApi, FirstFrameWithNoModeTickedIsEmpty) {
    ControlSettings settings;  // mode_mask 0, log on
    HeatmapEngine::initialize(adversarialPoints(3, 200), settings);
    const auto grid = HeatmapEngine::computeHeatmap(settings);
    expectFinite(grid);
    // Only points whose mode is none of the eleven pass mask 0; without them
    // the grid is empty, never NaN.
    std::vector<Datapoint> flagged;
    for (int i = 0; i < 100; ++i) flagged.emplace_back(0.5f, 0.5f, mode::WALK, 10);
    HeatmapEngine::initialize(flagged, settings);
    EXPECT_TRUE(allZero(HeatmapEngine::computeHeatmap(settings)));
}

TEST_P(EngineApi, LinearGridPeaksAtExactlyOne) {
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    HeatmapEngine::initialize(adversarialPoints(4, 300), settings);
    const auto grid = HeatmapEngine::computeHeatmap(settings);
    expectFinite(grid);
    EXPECT_EQ(*std::max_element(grid.begin(), grid.end()), 1.0f);
    EXPECT_GE(*std::min_element(grid.begin(), grid.end()), 0.0f);
}

TEST_P(EngineApi, SinglePointGivesItsTableOverTheCentreWeight) {
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    HeatmapEngine::initialize({Datapoint(0.5f, 0.25f, mode::WALK, 10)}, settings);
    const auto grid = HeatmapEngine::computeHeatmap(settings);
    const auto table = HeatmapEngine::makeGaussKernel(1.0f, 5);
    for (int u = 0; u < 5; ++u)
        for (int v = 0; v < 5; ++v)
            EXPECT_NEAR(at(grid, 498 + u, 248 + v), table[u * 5 + v] / table[12], 4e-7f);
    EXPECT_EQ(at(grid, 500, 250), 1.0f);
}

TEST_P(EngineApi, LogScaleRules) {
    ControlSettings settings;
    settings.kernel_size = 1;
    std::vector<Datapoint> points(20, Datapoint(0.1f, 0.1f, mode::MOTORCYCLE, 10));
    for (int i = 0; i < 4; ++i) points.emplace_back(0.2f, 0.2f, mode::MOTORCYCLE, 10);
    points.emplace_back(0.3f, 0.3f, mode::MOTORCYCLE, 10);
    HeatmapEngine::initialize(points, settings);
    // ln(1 + density) over the largest logged value, for every mask:
    // motorcycles alone are logged too, and a density of 1 is not empty.
    for (const std::int32_t mask : {std::int32_t{mode::MOTORCYCLE}, kAllModes}) {
        settings.mode_mask = mask;
        const auto grid = HeatmapEngine::computeHeatmap(settings);
        EXPECT_EQ(at(grid, 100, 100), 1.0f) << mask;
        EXPECT_NEAR(at(grid, 200, 200), std::log(5.0f) / std::log(21.0f), 2e-7f) << mask;
        EXPECT_NEAR(at(grid, 300, 300), std::log(2.0f) / std::log(21.0f), 2e-7f) << mask;
        EXPECT_EQ(at(grid, 0, 0), 0.0f) << mask;
    }
    // Densities below 1 (one point spread over a 5 x 5 table) are never
    // drawn as empty, and empty cells stay 0.
    settings.kernel_size = 5;
    HeatmapEngine::initialize({Datapoint(0.5f, 0.5f, mode::AIRPLANE, 10)}, settings);
    settings.mode_mask = mode::AIRPLANE;
    const auto thin = HeatmapEngine::computeHeatmap(settings);
    int positive = 0;
    for (float v : thin) {
        EXPECT_GE(v, 0.0f);
        positive += v > 0.0f;
    }
    EXPECT_EQ(positive, 25);
    EXPECT_EQ(at(thin, 500, 500), 1.0f);
}

TEST_P(EngineApi, TableFollowsTheSettingsEvenWithoutRebuild) {
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    settings.use_log_scale = false;
    HeatmapEngine::initialize({Datapoint(0.5f, 0.5f, mode::WALK, 10)}, settings);
    settings.kernel_size = 3;  // no rebuildKernel: the engine must not read a 5 x 5 table as 3 x 3
    auto grid = HeatmapEngine::computeHeatmap(settings);
    int nonZero = 0;
    for (float v : grid) nonZero += v != 0.0f;
    EXPECT_EQ(nonZero, 9);
    settings.kernel_size = 4;  // even: corrected to 5
    HeatmapEngine::rebuildKernel(settings);
    grid = HeatmapEngine::computeHeatmap(settings);
    nonZero = 0;
    for (float v : grid) nonZero += v != 0.0f;
    EXPECT_EQ(nonZero, 25);
    settings.sigma = 0.0f;  // no finite Gaussian: a single-cell stamp, no NaN
    HeatmapEngine::rebuildKernel(settings);
    grid = HeatmapEngine::computeHeatmap(settings);
    expectFinite(grid);
    EXPECT_EQ(at(grid, 500, 500), 1.0f);
}

TEST_P(EngineApi, ReleasedEngineReturnsAnEmptyGrid) {
    ControlSettings settings;
    settings.mode_mask = kAllModes;
    HeatmapEngine::initialize({Datapoint(0.5f, 0.5f, mode::WALK, 10)}, settings);
    HeatmapEngine::release();
    EXPECT_EQ(HeatmapEngine::engineName(), "none");
    EXPECT_TRUE(allZero(HeatmapEngine::computeHeatmap(settings)));
}

INSTANTIATE_TEST_SUITE_P(Backends, EngineChoice, ::testing::Values("cpu", "reference", "cuda", "cuda-literal"));
INSTANTIATE_TEST_SUITE_P(Backends, EngineApi, ::testing::Values("cpu", "reference", "cuda", "cuda-literal"));

// The readout gives back what the colour scale hides: summed weights, whatever
// the scale, and the samples centred in the cell under the grid's filters.
TEST_P(EngineApi, CellValueUndoesTheScaleAndCountsTheFilteredSamples) {
    std::vector<Datapoint> points;
    for (int i = 0; i < 40; ++i) points.emplace_back(0.3005f, 0.6005f, mode::WALK, 100);  // cell (300, 600)
    for (int i = 0; i < 7; ++i) points.emplace_back(0.3005f, 0.6005f, mode::BUS, 100);
    points.emplace_back(0.3005f, 0.6005f, mode::WALK, 5000);  // outside the window
    for (bool log : {false, true}) {
        ControlSettings settings;
        settings.kernel_size = 3;
        settings.sigma = 1.0f;
        settings.mode_mask = mode::WALK;
        settings.max_time = 1000;
        settings.use_log_scale = log;
        HeatmapEngine::initialize(points, settings);
        const auto table = HeatmapEngine::makeGaussKernel(1.0f, 3);
        HeatmapEngine::computeHeatmap(settings);
        const auto centre = HeatmapEngine::cellValue(300, 600);
        EXPECT_NEAR(centre.density, 40 * table[4], 1e-4f) << "log " << log;
        EXPECT_EQ(centre.samples, 40);
        const auto side = HeatmapEngine::cellValue(300, 601);
        EXPECT_NEAR(side.density, 40 * table[5], 1e-4f);
        EXPECT_EQ(side.samples, 0);
        EXPECT_NEAR(HeatmapEngine::lastMaximumDensity(), 40 * table[4], 1e-4f);
        EXPECT_EQ(HeatmapEngine::cellValue(-1, 600).samples, 0);
    }
}

// Stands for a GPU engine whose device fails after a grid was shown: it
// computes like the CPU engine, and its readout throws as a failed CUDA copy.
class FailingReadout final : public engine::DensityBackend {
public:
    explicit FailingReadout(const std::vector<Datapoint>& points) : inner_(points, 1) {}
    void setKernel(const std::vector<float>& table, int rows, int cols) override { inner_.setKernel(table, rows, cols); }
    std::vector<float> compute(const ControlSettings& settings) override {
        auto grid = inner_.compute(settings);
        lastMaximum_ = inner_.lastMaximum();
        return grid;
    }
    std::string name() const override { return "CUDA (failing)"; }
    std::size_t memoryBytes() const override { return 0; }
    float densityAt(std::size_t) override { throw std::runtime_error("cudaMemcpyAsync failed: unspecified launch failure"); }

private:
    engine::CountingEngine inner_;
};

// A CUDA failure in the readout hands over to the CPU engine as one in a
// compute does, instead of ending the viewer, and the value comes from the
// CPU engine's grid of the same settings.
TEST(EngineFailover, ReadoutFailureContinuesOnTheCpu) {
    const std::vector<Datapoint> points(30, Datapoint(0.3005f, 0.6005f, mode::WALK, 100));  // cell (300, 600)
    ControlSettings settings;
    settings.kernel_size = 3;
    settings.sigma = 1.0f;
    settings.mode_mask = mode::WALK;
    auto standby = std::make_unique<engine::CountingEngine>(points, 1);
    engine::CellCounter* counter = standby.get();
    testing::internal::CaptureStdout();
    HeatmapEngine::internals::installWithStandby(std::make_unique<FailingReadout>(points), std::move(standby), counter,
                                                 settings);
    HeatmapEngine::computeHeatmap(settings);
    HeatmapEngine::CellValue value;
    EXPECT_NO_THROW(value = HeatmapEngine::cellValue(300, 600));
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("CUDA engine failed (cudaMemcpyAsync failed: unspecified launch failure); continuing on CPU"),
              std::string::npos)
        << output;
    EXPECT_EQ(HeatmapEngine::engineName().rfind("CPU, ", 0), 0u);
    EXPECT_NEAR(value.density, 30 * HeatmapEngine::makeGaussKernel(1.0f, 3)[4], 1e-4f);
    EXPECT_EQ(value.samples, 30);
    HeatmapEngine::release();
}

// Stands for the per-sample GPU engine, whose device memory holds the whole
// weight table: it grows with every larger table set after start-up.
class TableHoldingEngine final : public engine::DensityBackend {
public:
    explicit TableHoldingEngine(const std::vector<Datapoint>& points) : inner_(points, 1) {}
    void setKernel(const std::vector<float>& table, int rows, int cols) override {
        inner_.setKernel(table, rows, cols);
        tableBytes_ = std::max(tableBytes_, table.size() * sizeof(float));
    }
    std::vector<float> compute(const ControlSettings& settings) override { return inner_.compute(settings); }
    std::string name() const override { return "CUDA literal (stand-in)"; }
    std::size_t memoryBytes() const override { return (1 << 20) + tableBytes_; }
    float densityAt(std::size_t index) override { return inner_.densityAt(index); }

private:
    engine::CountingEngine inner_;
    std::size_t tableBytes_ = 0;
};

// The device memory the next load's check counts as freed follows the
// table: a size raised after install is counted, not the size at install.
TEST(EngineMemory, HeldGpuBytesFollowTheTable) {
    const std::vector<Datapoint> points(10, Datapoint(0.5f, 0.5f, mode::WALK, 100));
    ControlSettings settings;
    settings.kernel_size = 3;
    settings.mode_mask = mode::WALK;
    auto standby = std::make_unique<engine::CountingEngine>(points, 1);
    engine::CellCounter* counter = standby.get();
    testing::internal::CaptureStdout();
    HeatmapEngine::internals::installWithStandby(std::make_unique<TableHoldingEngine>(points), std::move(standby), counter,
                                                 settings);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(HeatmapEngine::internals::gpuBytesHeld(), (1u << 20) + 9 * sizeof(float));
    settings.kernel_size = 101;
    HeatmapEngine::computeHeatmap(settings);
    EXPECT_EQ(HeatmapEngine::internals::gpuBytesHeld(), (1u << 20) + 101 * 101 * sizeof(float));
    EXPECT_EQ(HeatmapEngine::internals::gpuBytesHeld(), HeatmapEngine::internals::currentBackend()->memoryBytes());
    HeatmapEngine::release();
    EXPECT_EQ(HeatmapEngine::internals::gpuBytesHeld(), 0u);
}

}  // namespace
