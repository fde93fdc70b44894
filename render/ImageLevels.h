#pragma once
// An image decoded with its whole mipmap chain on the CPU, so the slow part
// of a large texture (decoding and filtering) can run on another thread
// while the window opens, and GL only copies the levels in.
#include <glad/gl.h>

#include <string>
#include <vector>

struct ImageLevels {
    // RGBA8, bottom image row first; levels[0] is the image, each next level
    // half the size (2x2 box filter) down to 1 x 1. Empty when the file
    // could not be decoded.
    std::vector<std::vector<unsigned char>> levels;
    std::vector<int> widths;
    std::vector<int> heights;
    // Without levels: the path and the reason, printed by createTexture on
    // the thread that owns the console's order.
    std::string path;
    std::string problem;
};

// Needs no GL context; safe on any thread.
ImageLevels decodeImageLevels(const std::string& path);
// The levels of an RGBA8 image already in memory, bottom row first.
ImageLevels imageLevelsOf(std::vector<unsigned char> rgba, int width, int height);

// A texture as loadTexture makes it (mipmapped, clamped, trilinear), from
// decoded levels. Without levels it has no image and samples as black, and
// one line names the file and the reason.
GLuint createTexture(const ImageLevels& image);
