#pragma once
// The literal CPU engine: runs the CUDA kernels' per-thread algorithms in
// plain loops, one "thread" after another, with the same per-element code
// (kde/KdeLogic.h). Slow, single-threaded and simple: the oracle the counting
// engine and the CUDA module are tested against.
#include <cstddef>
#include <string>
#include <vector>

#include "kde/Backend.h"
#include "kde/KdeLogic.h"

namespace engine {

class ReferenceEngine final : public DensityBackend, public CellCounter {
public:
    explicit ReferenceEngine(std::vector<Datapoint> points);

    using DensityBackend::setKernel;
    void setKernel(const std::vector<float>& table, int rows, int cols) override;
    std::vector<float> compute(const ControlSettings& settings) override;
    std::string name() const override { return "reference CPU"; }
    std::size_t memoryBytes() const override;
    std::int64_t samplesInCell(int row, int col, const ControlSettings& filters) override;
    std::vector<float> cellCounts(const ControlSettings& filters) override;
    const std::vector<Datapoint>& points() const { return points_; }
    float densityAt(std::size_t index) override { return index < lastDensity_.size() ? lastDensity_[index] : 0.0f; }

    // The raw grid of summed weights for the current table, before the
    // logarithm and the normalisation.
    std::vector<float> density(const ControlSettings& settings) const;

private:
    std::vector<Datapoint> points_;
    std::vector<float> table_{1.0f};
    std::vector<float> lastDensity_;  // the literal engine may copy; speed is not its job
    int rows_ = 1;
    int cols_ = 1;
};

// stamp_whole_table_kernel over all points in index order, adding into grid (kCells
// floats): a rows x cols table, or a square one of side size.
void referenceKde(const std::vector<Datapoint>& points, const float* table, int rows, int cols,
                  std::int32_t mode_mask, std::int32_t min_time, std::int32_t max_time,
                  std::vector<float>& grid);
void referenceKde(const std::vector<Datapoint>& points, const float* table, int size,
                  std::int32_t mode_mask, std::int32_t min_time, std::int32_t max_time,
                  std::vector<float>& grid);

// One pass of reduction_kernel_blocks: num_blocks blocks of 256 threads, each
// taking the maximum of data[256 b .. 256 b + 255] (as far as they exist)
// into output[b].
void referenceReduceBlocks(const float* data, float* output, int N, int num_blocks);

// reduction_kernel_serial: one thread folds the array from
// kde::kSerialMaximumStart.
float referenceReduceSerial(const float* data, int N);

// The pipeline's maximum search: the single-thread fold below 64 values,
// otherwise block passes until one value is left. passes, when given,
// receives the number of values each pass produced (3907, 16, 1 for the grid).
float referenceMaximum(const std::vector<float>& values, std::vector<int>* passes = nullptr);

}  // namespace engine
