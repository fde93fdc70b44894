#pragma once
// The grid cell a stored coordinate falls in, as every engine computes it:
// the floor of the single-precision product of the normalised coordinate and
// the grid side. A product of exactly the side (a point on the north or east
// border of the frame) belongs to the last row or column, so every point of
// the frame lands on the grid. The importers choose the stored float by this
// same rule, so it lives below both.
#include "model/HostDevice.h"

#if !defined(__CUDACC__)
#include <cmath>
#endif

TRACKORA_HD inline int gridCellOf(float scaled, int side) {
    if (scaled == static_cast<float>(side)) return side - 1;
    return static_cast<int>(floorf(scaled));
}
