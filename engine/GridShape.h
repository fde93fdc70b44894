#pragma once
// The density grid's shape, the one definition every layer reads: 10^3 cells
// a side over the coordinate box, 1000 x 1000 cells in all.
inline constexpr int kGridPrecision = 3;
inline constexpr int kGridSide = 1000;  // 10^kGridPrecision
inline constexpr int kGridCells = kGridSide * kGridSide;

// Where the grid lies on the earth. A point's cell is the truncated
// normalised product plus one, so grid column c covers longitudes
// kBoxWest + (c - 1) * kCellWidth to kBoxWest + c * kCellWidth, and row r
// latitudes kBoxSouth + (r - 1) * kCellHeight to kBoxSouth + r * kCellHeight:
// column 0 and row 0 lie just outside the box. The spans are written as decimals (0.45 and 0.35 degrees)
// because 116.6 - 116.15 in binary is a little less than 0.45.
struct GridGeoreference {
    static constexpr double kBoxWest = 116.15;
    static constexpr double kBoxSouth = 39.75;
    static constexpr double kCellWidth = 0.45 / kGridSide;
    static constexpr double kCellHeight = 0.35 / kGridSide;
    static constexpr double kWest = kBoxWest - kCellWidth;    // western edge of column 0
    static constexpr double kSouth = kBoxSouth - kCellHeight;  // southern edge of row 0
};
