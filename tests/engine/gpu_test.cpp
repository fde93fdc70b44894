// The CUDA module against the literal reference: the reductions, the scaling
// kernels and whole grids over adversarial data. Skipped where no CUDA device
// works; tests/gpu/run runs it on a GPU machine.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "EngineTestData.h"
#include "GridComparison.h"
#include "cuda/heatmap.h"

namespace {

class Gpu : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = engine::startCudaEngine({});
        if (!start_.backend) GTEST_SKIP() << "no CUDA device: " << start_.problem;
    }
    engine::CudaStart start_;
};

TEST_F(Gpu, ReductionsMatchTheHostLoops) {
    const std::vector<float> two = {-3.0f, -1.0f};
    EXPECT_EQ(engine::cudaReduceWarp(two, MAX), 0.0f);
    EXPECT_EQ(engine::cudaReduceWarp(two, MIN), -3.0f);
    EXPECT_EQ(engine::cudaReduceWarp(two, SUM), -4.0f);
    EXPECT_EQ(engine::cudaReduceBlocksPass(std::vector<float>(256, 1.0f), SUM), std::vector<float>{256.0f});
    std::vector<float> sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = -10.0f - i;
    EXPECT_EQ(engine::cudaReduceBlocksPass(sixteen, MAX), std::vector<float>{-10.0f});
    EXPECT_EQ(engine::cudaReduceBlocksPass({-7.5f}, MIN), std::vector<float>{-7.5f});
    std::vector<float> withNaN(300, 1.0f);
    withNaN[7] = std::nanf("");
    withNaN[299] = 5.0f;
    EXPECT_EQ(engine::cudaReduceBlocksPass(withNaN, MAX), (std::vector<float>{1.0f, 5.0f}));

    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    std::vector<float> many(123457);
    for (float& v : many) v = value(random);
    for (reductionOperation operation : {MIN, MAX}) {
        std::vector<float> expected((many.size() + 255) / 256);
        engine::referenceReduceBlocks(many.data(), expected.data(), static_cast<int>(many.size()),
                                      static_cast<int>(expected.size()), operation);
        EXPECT_EQ(engine::cudaReduceBlocksPass(many, operation), expected);
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

TEST_F(Gpu, ScalingKernels) {
    const auto logged = engine::cudaLog({0.0f, 1.0f, 1.7182817f, 0.5f});
    EXPECT_EQ(logged[0], 0.0f);
    EXPECT_NEAR(logged[1], 0.6931472f, 1.2e-7f);
    EXPECT_NEAR(logged[2], 1.0f, 1.2e-7f);
    EXPECT_NEAR(logged[3], 0.4054651f, 1.2e-7f);
    EXPECT_EQ(engine::cudaNormalize({0.0f, 2.0f, 4.0f, std::nanf("")}, 4.0f),
              (std::vector<float>{0.0f, 0.5f, 1.0f, 0.0f}));
}

double cudaTerms(double n, int) { return n + 8.0; }

TEST_F(Gpu, GridsMatchTheReference) {
    const auto points = adversarialPoints(7, 5000);
    auto start = engine::startCudaEngine(points);
    ASSERT_TRUE(start.backend) << start.problem;
    engine::ReferenceEngine reference(points);
    engine::ReferenceEngine counter(points);
    const std::int32_t masks[] = {0, 1, 1024, 2047, 1115, 4096 | WALK};
    int round = 0;
    for (int size : {1, 3, 5, 21, 101})
        for (std::int32_t mask : masks) {
            const float sigma = round % 2 ? 10.0f : 1.0f;
            const std::int32_t from = round % 3 == 0 ? 0 : 25200;
            gridcheck::compareOne(*start.backend, reference, counter,
                                  gridcheck::Case{size, sigma, mask, from, 32400 + 54000 * (round % 3 == 0), round % 4 != 0},
                                  cudaTerms, false);
            ++round;
        }
}

}  // namespace
