#include "cuda/CudaPlan.h"

#include <algorithm>

namespace gpuplan {

int blocksFor(std::int64_t n) {
    return n <= 0 ? 1 : static_cast<int>(kde::blocks_for(n));
}

std::vector<Chunk> pointChunks(std::size_t points, std::size_t perLaunch) {
    std::vector<Chunk> chunks;
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(perLaunch, points - first);
        chunks.push_back(Chunk{first, static_cast<int>(count), blocksFor(static_cast<std::int64_t>(count))});
        first += count;
    } while (first < points);
    return chunks;
}

std::vector<int> maximumPasses(int n) {
    std::vector<int> passes;
    if (n < kde::kFoldBelow) return passes;
    do {
        n = static_cast<int>(kde::blocks_for(n));
        passes.push_back(n);
    } while (n > 1);
    return passes;
}

std::size_t tableBytes(Path path, int tableSize) {
    const std::size_t side = static_cast<std::size_t>(std::max(tableSize, 1));
    return (path == Path::literal ? side * side : side) * sizeof(float);
}

std::size_t footprintBytes(Path path, std::size_t points, std::size_t farPoints, int tableSize) {
    std::size_t bytes = points * sizeof(Datapoint) + std::size_t{kde::kCells} * sizeof(float) +
                        std::size_t{kPartials} * sizeof(float) + tableBytes(path, tableSize);
    if (path == Path::counting)
        bytes += farPoints * sizeof(Datapoint) + kde::kCountCells * sizeof(std::uint32_t) + kRowCells * sizeof(float);
    return bytes;
}

std::string tableProblem(std::size_t tableEntries, int rows, int cols) {
    for (const int side : {rows, cols})
        if (side < 1 || side > kde::kMaxKernelSize || side % 2 != 1)
            return "weight table side " + std::to_string(side) + " is not odd within 1.." +
                   std::to_string(kde::kMaxKernelSize);
    const std::size_t entries = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (tableEntries != entries)
        return "weight table of " + std::to_string(rows) + " x " + std::to_string(cols) + " holds " +
               std::to_string(tableEntries) + " weights, not " + std::to_string(entries);
    return {};
}

void appendFarPoints(const Datapoint* samples, std::size_t count, std::vector<Datapoint>& far) {
    for (std::size_t i = 0; i < count; ++i)
        if (kde::place_of(kde::cell_of(samples[i])) == kde::Place::far) far.push_back(samples[i]);
}

std::vector<Datapoint> farPoints(const SampleSource& samples) {
    std::vector<Datapoint> far;
    samples.forEachChunk([&](const Datapoint* chunk, std::size_t count, std::size_t) { appendFarPoints(chunk, count, far); });
    return far;
}

std::string megabytes(std::size_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace gpuplan
