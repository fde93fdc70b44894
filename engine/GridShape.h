#pragma once
// The density grid's shape, the one definition every layer reads: 10^3 cells
// a side over the coordinate box, 1000 x 1000 cells in all.
inline constexpr int kGridPrecision = 3;
inline constexpr int kGridSide = 1000;  // 10^kGridPrecision
inline constexpr int kGridCells = kGridSide * kGridSide;
