#pragma once
// The texture that carries the density grid to the shader: one 32-bit float
// channel, side x side texels, storage fixed for the whole run. Grid cell
// (row r, column c) becomes texel (x = c, y = r), so grid row 0 lies at t = 0.
#include <glad/gl.h>

#include <vector>

GLuint createHeatmapTexture(int side);

// Overwrites the whole texture; `heatmap` holds exactly side * side cells.
void uploadHeatmap(GLuint heatmapTexture, int side, const std::vector<float>& heatmap);
