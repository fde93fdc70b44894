#pragma once
// The viewer's process-wide objects, shared by the frame work, the control
// panel and the input callbacks. All are used from the main thread only.
#include <glad/gl.h>

#include <memory>

#include "model/Dataset.h"
#include "render/MapRenderer.h"

// Created once the GL functions are loaded; released before the context goes.
extern std::unique_ptr<MapRenderer> map_renderer;
extern std::unique_ptr<Dataset> dataset;
// The legend's colour table, loaded once at start-up.
extern GLuint lut_texture;
