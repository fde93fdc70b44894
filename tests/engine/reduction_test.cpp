// The maximum search and the scaling, on the host versions of the kernels
// that the reference engine runs (tests/gpu runs the same cases on a GPU).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cpu/ReferenceEngine.h"
#include "kde/KdeLogic.h"

namespace {

const float nan = std::numeric_limits<float>::quiet_NaN();

TEST(Reduction, SerialFoldStartsFromZero) {
    const std::vector<float> values = {-3.0f, -1.0f};
    EXPECT_EQ(engine::referenceReduceSerial(values.data(), 2), 0.0f);
    EXPECT_EQ(engine::referenceReduceSerial(values.data(), 0), 0.0f);
}

TEST(Reduction, MaximumIgnoresANaNOperand) {
    EXPECT_EQ(kde::max_of(nan, 2.0f), 2.0f);
    EXPECT_EQ(kde::max_of(2.0f, nan), 2.0f);
    std::vector<float> values(300, 1.0f);
    values[7] = nan;
    values[299] = 5.0f;
    std::vector<float> out(2);
    engine::referenceReduceBlocks(values.data(), out.data(), 300, 2);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(out[1], 5.0f);
}

TEST(Reduction, BlocksCombineOnlyValuesThatExist) {
    std::vector<float> out(1, -99.0f);
    // 16 values in one block: the 240 unloaded slots play no part, so a
    // negative maximum stays negative.
    std::vector<float> sixteen(16);
    for (int i = 0; i < 16; ++i) sixteen[i] = -10.0f - i;
    engine::referenceReduceBlocks(sixteen.data(), out.data(), 16, 1);
    EXPECT_EQ(out[0], -10.0f);
    const float single = -7.5f;
    engine::referenceReduceBlocks(&single, out.data(), 1, 1);
    EXPECT_EQ(out[0], -7.5f);
}

TEST(Reduction, GridMaximumTakesThreePassesAndFindsTheLastPartialBlock) {
    std::vector<float> grid(1000000, 0.5f);
    for (int index : {999999, 999936, 0, 500000}) {
        std::vector<float> values = grid;
        values[index] = 9.0f;
        std::vector<int> passes;
        EXPECT_EQ(engine::referenceMaximum(values, &passes), 9.0f) << index;
        EXPECT_EQ(passes, (std::vector<int>{3907, 16, 1}));
    }
    // Fewer than 64 values go to the single-thread kernel, MAX from 0.
    std::vector<int> passes;
    EXPECT_EQ(engine::referenceMaximum(std::vector<float>(63, -2.0f), &passes), 0.0f);
    EXPECT_EQ(passes, std::vector<int>{1});
}

TEST(Scaling, LogarithmKeepsZeroCells) {
    EXPECT_EQ(kde::log_cell(0.0f), 0.0f);
    EXPECT_TRUE(std::signbit(kde::log_cell(-0.0f)));
    // ln(1 + x): small densities stay positive instead of turning negative.
    EXPECT_FLOAT_EQ(kde::log_cell(1.0f), 0.6931472f);
    EXPECT_NEAR(kde::log_cell(1.7182817f), 1.0f, 1.2e-7f);
    EXPECT_FLOAT_EQ(kde::log_cell(0.5f), 0.4054651f);
    EXPECT_GT(kde::log_cell(1e-30f), 0.0f);
}

TEST(Scaling, NormalisationNeverLetsNaNOrInfinityOut) {
    EXPECT_EQ(kde::normalize_cell(2.0f, 4.0f), 0.5f);
    EXPECT_EQ(kde::normalize_cell(4.0f, 4.0f), 1.0f);
    EXPECT_EQ(kde::normalize_cell(0.0f, 4.0f), 0.0f);
    EXPECT_EQ(kde::normalize_cell(nan, 4.0f), 0.0f);
    EXPECT_EQ(kde::normalize_cell(1.0f, 1e-45f), 0.0f);  // overflows to infinity
    EXPECT_FALSE(kde::usable_maximum(0.0f));
    EXPECT_FALSE(kde::usable_maximum(-1.0f));
    EXPECT_FALSE(kde::usable_maximum(nan));
    EXPECT_FALSE(kde::usable_maximum(std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(kde::usable_maximum(1e-30f));
}

}  // namespace
