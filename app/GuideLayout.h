#pragma once
// Where the guides drawn over a frame without the shipped map go: the part
// of the window the map covers (a frame that is not square is letterboxed),
// the scale bar and the attribution in that part's bottom-right corner, and
// the graticule labels kept inside the window and apart. Plain functions so
// they are tested without a window.
#include "app/PanelRules.h"

// The part of a width x height window the map covers, from the map's corners
// in window pixels (mapLeft < mapRight, mapTop < mapBottom), clipped to the
// window.
constexpr PanelRect visibleMap(double mapLeft, double mapTop, double mapRight, double mapBottom, double width,
                               double height) {
    const double left = mapLeft > 0.0 ? mapLeft : 0.0;
    const double top = mapTop > 0.0 ? mapTop : 0.0;
    const double right = mapRight < width ? mapRight : width;
    const double bottom = mapBottom < height ? mapBottom : height;
    return {static_cast<float>(left), static_cast<float>(top), static_cast<float>(right > left ? right - left : 0.0),
            static_cast<float>(bottom > top ? bottom - top : 0.0)};
}

// The scale bar's right end and baseline: 16 pixels in from the map's right
// edge, 40 up from its bottom; at most a fifth of the map's visible width.
struct BarPlace {
    float right;
    float y;
    double maxPixels;
};
constexpr BarPlace scaleBarPlace(PanelRect map) {
    return {map.x + map.width - 16.0f, map.y + map.height - 40.0f, map.width / 5.0};
}

// The attribution's top-left: in the map's bottom-right corner, 10 pixels in
// from the right and 6 up from the bottom.
constexpr PanelPoint attributionPlace(PanelRect map, PanelPoint text) {
    return {map.x + map.width - text.x - 10.0f, map.y + map.height - text.y - 6.0f};
}

// A graticule label's left edge for a line at `lineX`: 3 pixels right of
// the line, or left of it where it would run past the map's right edge, so
// it is never cut at the window's edge.
constexpr float lineLabelX(float lineX, float textWidth, PanelRect map) {
    const float right = lineX + 3.0f;
    if (right + textWidth <= map.x + map.width - 2.0f) return right;
    const float left = lineX - 3.0f - textWidth;
    return left >= map.x ? left : right;
}

// The basemap's size in pixels for a frame whose map covers extentX x
// extentY of a window `window` pixels a side at zoom 1: a picture pixel for
// each screen pixel up to `zoom`, so it stays sharp that far in, its longer
// side capped at maxSide (the largest texture GL takes) with the shape kept.
struct PixelSize {
    int width;
    int height;
};
constexpr PixelSize basemapSize(double extentX, double extentY, double window, double zoom, int maxSide) {
    double width = window * zoom * extentX;
    double height = window * zoom * extentY;
    const double longer = width > height ? width : height;
    if (longer > maxSide) {
        width *= maxSide / longer;
        height *= maxSide / longer;
    }
    const auto whole = [](double pixels) { return pixels < 1.0 ? 1 : static_cast<int>(pixels + 0.5); };
    return {whole(width), whole(height)};
}
