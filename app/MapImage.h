#pragma once
// "Save image": what the screen shows without the panels, as a PNG file:
// the map with its heat at the current pan and zoom, the graticule and
// scale bar over a plain ground, the legend and the map's attribution; with
// a world file (.pgw) and its coordinate system (.aux.xml) beside it when
// the view is neither zoomed nor panned.
#include <glad/gl.h>

#include <string>

// Draws the picture into an offscreen framebuffer of width x height pixels
// and writes it to `path` through OutputFile. Call inside an ImGui frame,
// with the GL context current. Throws OutputError when the file cannot be
// written and std::runtime_error when the picture cannot be drawn.
void saveMapImage(const std::string& path, GLuint heatmapTexture, int width, int height);
