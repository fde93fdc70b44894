#pragma once
// The CPU engine's convolution of the count grid with the weight table,
// which is separable: a horizontal pass with the table's one-dimensional
// factor over the count-grid rows that reach the grid, then a vertical one.
// Both keep a block of outputs in vector registers (8 lanes with fused
// multiply-adds where the processor has AVX2 and FMA, 4 otherwise) and count
// subnormal weights as zero.
#include <cstdint>
#include <vector>

namespace engine {

// Every cell of grid (kde::kCells floats) receives counts (the count grid,
// kde::kCountCells values) convolved with the table whose one-dimensional
// factors are rowFactor (north-south) and colFactor (east-west), each of an
// odd number of values, over `threads` threads.
// rows holds the horizontal pass (count-grid rows x grid columns), kept
// between calls so it is allocated once.
void convolveCounts(const std::uint32_t* counts, const std::vector<float>& rowFactor,
                    const std::vector<float>& colFactor, unsigned threads, std::vector<float>& rows,
                    std::vector<float>& grid);
// The same for 64-bit counts (a summary's): each count becomes the float
// nearest to it, as a 32-bit one does, so counts below 2^32 give the same grid.
void convolveCounts(const std::uint64_t* counts, const std::vector<float>& rowFactor,
                    const std::vector<float>& colFactor, unsigned threads, std::vector<float>& rows,
                    std::vector<float>& grid);

}  // namespace engine
