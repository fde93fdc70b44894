#pragma once
// What orients the user over a frame that has no map: a graticule labelled
// in degrees and a scale bar, drawn behind the panels each frame.

// Draws them when the map renderer shows a plain ground (no map image for
// the open samples' frame). Call inside an ImGui frame.
void drawMapGuides();
// The same into `list` for a picture of width x height pixels at the
// current view: "Save image" saves what the screen shows.
struct ImDrawList;
void drawMapGuides(ImDrawList& list, float width, float height);
// The Compare legend's colour bar from `low` (top-left) to `high`: red at
// the top through transparent at the middle to blue at the bottom, over a
// mid-grey so the fading is read as it is over the map.
struct ImVec2;
void drawDivergingBar(ImDrawList& list, const ImVec2& low, const ImVec2& high);
