#pragma once
// The density grid's shape, the one definition every layer reads: 10^3 cells
// a side over the coordinate box, 1000 x 1000 cells in all.
inline constexpr int kGridPrecision = 3;
inline constexpr int kGridSide = 1000;  // 10^kGridPrecision
inline constexpr int kGridCells = kGridSide * kGridSide;

// Where the grid lies on the earth: the cells tile the frame exactly, so
// grid column c covers longitudes kBoxWest + c * kCellWidth to
// kBoxWest + (c + 1) * kCellWidth and row r latitudes kBoxSouth + r *
// kCellHeight to kBoxSouth + (r + 1) * kCellHeight. The spans are written as
// decimals (0.45 and 0.35 degrees) because 116.6 - 116.15 in binary is a
// little less than 0.45.
struct GridGeoreference {
    static constexpr double kBoxWest = 116.15;
    static constexpr double kBoxSouth = 39.75;
    static constexpr double kCellWidth = 0.45 / kGridSide;
    static constexpr double kCellHeight = 0.35 / kGridSide;
    static constexpr double kWest = kBoxWest;    // western edge of column 0
    static constexpr double kSouth = kBoxSouth;  // southern edge of row 0
};
