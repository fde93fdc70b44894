#include "app/AppState.h"

std::unique_ptr<MapRenderer> map_renderer;
std::unique_ptr<Dataset> dataset;
GLuint lut_texture = 0;
