#pragma once
// The one-pass index's memory (cpu/Index*.cpp only): blocks of cells in
// arenas mapped apart from the heap, in huge pages where offered.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace engine::indexing {

// The one-pass index keeps each thread's points in chains of blocks, one
// chain per coarse bucket of (mode group, second / 2^kDayShift). Blocks are
// aligned to their size, so a cursor at a block boundary is a full (or not
// yet started) block.
constexpr std::size_t kBlockItems = 1024;
constexpr std::size_t kBlockBytes = kBlockItems * sizeof(std::uint32_t);
constexpr std::size_t kArenaBlocks = 2048;
constexpr std::size_t kArenaBytes = kArenaBlocks * kBlockBytes;
// Mapped apart from the heap, so that the memory goes back to the system
// once the cells are sorted (a heap that freed them would keep them, in
// pieces, for the grids that follow).
struct FreeArena {
    void operator()(std::uint32_t* arena) const { ::munmap(arena, kArenaBytes); }
};

// The index writes gigabytes of fresh memory once: in 2 MiB pages where the
// system offers them on request, it takes a five-hundredth of the page
// faults. The whole 2 MiB pages inside [start, start + bytes) are asked for.
inline void askHugePages(void* start, std::size_t bytes) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kHuge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace engine::indexing
