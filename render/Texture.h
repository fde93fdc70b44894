#pragma once
// Image files as GL textures, and the spelling of the run-time file names.
#include <glad/gl.h>

#include <string>

// Loads an image file as a mipmapped 8-bit RGBA texture, bottom image row at
// t = 0. A missing or undecodable file prints one line naming the path and
// the reason; the returned texture then has no image and samples as black.
GLuint loadTexture(const char* path);

// Run-time files are named with backslashes ("shaders\map.vert"); here the
// separator is '/', and the file is looked up as runtimeFile does (the
// working directory, then the install's share/trackora).
std::string nativePath(const char* path);
