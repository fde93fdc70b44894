// The memory the CPU engine's index needs, checked before anything is read.
#include <algorithm>
#include <cstddef>

#include "cpu/CountingEngine.h"
#include "cpu/IndexArena.h"
#include "cpu/IndexBuckets.h"
#include "kde/Parallel.h"

namespace engine {

using namespace indexing;

std::size_t CountingEngine::indexingBytes(std::size_t samples) {
    // Either the sort, every cell in its bucket and in place (4 bytes each,
    // twice) beside the buckets' partly filled blocks and a chunk of the
    // source, or what follows it: the cells, the checkpoints of all modes
    // and of each large one, the whole-day counts built with the index (one
    // a mode group, more within half a byte a point) and the running grids
    // that build them, and each group's index of its seconds.
    const std::size_t grid = kCountCells * 4;
    const std::size_t partlyFilled = kModeGroups * kDayBuckets * std::size_t{4096} * hardwareThreads();
    const std::size_t sorting = samples * 8 + partlyFilled + SampleSource::kChunkSamples * sizeof(Datapoint) + 8 * grid;
    const std::size_t checkpoints = std::min(samples * 5 / 2, kMaxCheckpoints * grid);
    const std::size_t ownCheckpoints = static_cast<std::size_t>(static_cast<double>(samples) * CountingEngineTuning{}.groupCheckpointBytes);
    const std::size_t seconds = std::min<std::size_t>(kGroups, samples) * (kDayEnd + 2) * sizeof(std::uint32_t);
    const std::size_t indexed = samples * 4 + checkpoints + ownCheckpoints + (kModeGroups + 4) * grid + samples / 2 + seconds;
    // Each thread's stack and its last, partly used arena, mapped whole.
    const std::size_t perThread = hardwareThreads() * (kArenaBytes + (std::size_t{8} << 20));
    return std::max(sorting, indexed) + perThread;
}

}  // namespace engine
