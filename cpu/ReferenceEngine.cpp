#include "cpu/ReferenceEngine.h"

#include "kde/Backend.h"

namespace engine {

ReferenceEngine::ReferenceEngine(std::vector<Datapoint> points) : points_(std::move(points)) {}

void ReferenceEngine::setKernel(const std::vector<float>& table, int rows, int cols) {
    table_ = table;
    rows_ = rows;
    cols_ = cols;
}

std::size_t ReferenceEngine::memoryBytes() const {
    return points_.capacity() * sizeof(Datapoint) + table_.capacity() * sizeof(float);
}

void referenceKde(const std::vector<Datapoint>& points, const float* table, int rows, int cols,
                  std::int32_t mode_mask, std::int32_t min_time, std::int32_t max_time,
                  std::vector<float>& grid) {
    kde::AddToGrid add{grid.data()};
    for (const Datapoint& point : points) {
        if (!kde::point_passes(point, mode_mask, min_time, max_time)) continue;
        const kde::Cell cell = kde::cell_of(point);
        if (!cell.valid) continue;
        kde::stamp_table(cell.row, cell.col, table, rows, cols, kde::kSide, add);
    }
}

void referenceKde(const std::vector<Datapoint>& points, const float* table, int size,
                  std::int32_t mode_mask, std::int32_t min_time, std::int32_t max_time,
                  std::vector<float>& grid) {
    referenceKde(points, table, size, size, mode_mask, min_time, max_time, grid);
}

std::vector<float> ReferenceEngine::density(const ControlSettings& settings) const {
    std::vector<float> grid(kde::kCells, 0.0f);
    referenceKde(points_, table_.data(), rows_, cols_, settings.mode_mask, settings.min_time,
                 settings.max_time, grid);
    return grid;
}

void referenceReduceBlocks(const float* data, float* output, int N, int num_blocks) {
    constexpr unsigned blockDim = kde::kThreadsPerBlock;
    for (int block = 0; block < num_blocks; ++block) {
        float dataChunk[blockDim];
        const unsigned base = static_cast<unsigned>(block) * blockDim;
        const unsigned n = static_cast<unsigned>(N);
        for (unsigned t = 0; t < blockDim; ++t)
            if (base + t < n) dataChunk[t] = data[base + t];
        // Tree steps: writers (t < stride) never read a slot another writer
        // changes in the same step, so one thread after another is exact.
        for (unsigned stride = blockDim / 2; stride > 32; stride /= 2)
            for (unsigned t = 0; t < stride; ++t)
                if (base + t + stride < n)
                    dataChunk[t] = kde::max_of(dataChunk[t], dataChunk[t + stride]);
        // Warp steps: every lane reads both operands before any lane writes.
        for (unsigned offset = 32; offset >= 1; offset /= 2) {
            float before[64];
            for (unsigned t = 0; t < 64; ++t)
                if (base + t < n) before[t] = dataChunk[t];
            for (unsigned t = 0; t < 32; ++t)
                if (base + t + offset < n)
                    dataChunk[t] = kde::max_of(before[t], before[t + offset]);
        }
        output[block] = dataChunk[0];
    }
}

float referenceReduceSerial(const float* data, int N) {
    float accumulator = kde::kSerialMaximumStart;
    for (int i = 0; i < N; ++i) accumulator = kde::max_of(accumulator, data[i]);
    return accumulator;
}

float referenceMaximum(const std::vector<float>& values, std::vector<int>* passes) {
    const int cells = static_cast<int>(values.size());
    if (cells < kde::kFoldBelow) {
        if (passes) passes->push_back(1);
        return referenceReduceSerial(values.data(), cells);
    }
    // Two regions used in turn, so no pass overwrites values it still reads.
    int blocks = static_cast<int>(kde::blocks_for(cells));
    std::vector<float> current(blocks);
    referenceReduceBlocks(values.data(), current.data(), cells, blocks);
    if (passes) passes->push_back(blocks);
    int n = blocks;
    while (n > 1) {
        const int next = static_cast<int>(kde::blocks_for(n));
        std::vector<float> results(next);
        referenceReduceBlocks(current.data(), results.data(), n, next);
        if (passes) passes->push_back(next);
        current.swap(results);
        n = next;
    }
    return current[0];
}

std::int64_t ReferenceEngine::samplesInCell(int row, int col, const ControlSettings& filters) {
    std::int64_t count = 0;
    for (const Datapoint& point : points_) {
        const kde::Cell cell = kde::cell_of(point);
        count += cell.valid && cell.row == row && cell.col == col &&
                 kde::point_passes(point, filters.mode_mask, filters.min_time, filters.max_time);
    }
    return count;
}

std::vector<float> ReferenceEngine::cellCounts(const ControlSettings& filters) {
    std::vector<float> cells(static_cast<std::size_t>(kde::kSide) * kde::kSide, 0.0f);
    for (const Datapoint& point : points_) {
        const kde::Cell cell = kde::cell_of(point);
        if (cell.valid && cell.row >= 0 && cell.row < kde::kSide && cell.col >= 0 && cell.col < kde::kSide &&
            kde::point_passes(point, filters.mode_mask, filters.min_time, filters.max_time))
            cells[static_cast<std::size_t>(cell.row) * kde::kSide + static_cast<std::size_t>(cell.col)] += 1.0f;
    }
    return cells;
}

std::vector<float> ReferenceEngine::compute(const ControlSettings& settings) {
    std::vector<float> grid = density(settings);
    lastDensity_ = grid;
    // The one finishing step, on one thread.
    lastMaximum_ = finishGrid(grid, settings.use_log_scale, 1);
    return grid;
}

}  // namespace engine
