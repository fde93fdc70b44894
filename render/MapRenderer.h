#pragma once
// The map square: map image with the colour-mapped density laid over it by
// the fragment shader, under a pannable, zoomable view.
#include <glad/gl.h>

#include <array>
#include <glm/glm.hpp>

#include "render/ImageLevels.h"
#include "render/MapView.h"
#include "render/ShaderProgram.h"

// The map image's path, with the backslash the run-time names are given in,
// and a small rendering of the same map that decodes in a few milliseconds,
// shown until the full image is ready.
inline constexpr const char* kMapImagePath = "resources\\map.png";
inline constexpr const char* kMapPreviewPath = "resources\\map-preview.png";

class MapRenderer {
public:
    // Needs a current GL context with its functions loaded. Problems with the
    // shader files or the map image are printed (or not) by the loaders and
    // the renderer is built regardless.
    MapRenderer();
    // With the map image already decoded (decodeImageLevels of the map's
    // path, which may run on another thread while the window opens).
    explicit MapRenderer(const ImageLevels& mapImage);
    ~MapRenderer();
    MapRenderer(const MapRenderer&) = delete;
    MapRenderer& operator=(const MapRenderer&) = delete;

    // Draws the square once with map, heatmap and look-up table on texture
    // units 0, 1 and 2, then advances the pan glide by one step.
    void draw(GLuint heatmapTexture, GLuint lutTexture);
    // The same picture without advancing the glide, for a saved image drawn
    // in the same frame as the screen.
    void drawStill(GLuint heatmapTexture, GLuint lutTexture);
    // Replaces the map image (the full map after its preview).
    void setMapImage(const ImageLevels& mapImage);
    // What lies under the heat: the shipped map (of the default box), a
    // plain ground in its colours, or a basemap made for the frame.
    enum class Ground { shippedMap, plain, basemap };
    // The samples' frame as drawn: its extent (the shorter side below 1 for
    // a frame that is not square) and its ground.
    void showFrame(glm::vec2 extent, Ground ground);
    // The basemap's picture, shown with Ground::basemap.
    void setBasemap(const ImageLevels& image);
    glm::vec2 extent() const { return extent_; }
    Ground ground() const { return ground_; }
    bool showsMapImage() const { return ground_ == Ground::shippedMap; }
    // The heat texture holds a signed difference (-1..1), drawn in blue and
    // red, instead of density levels through the colour table.
    void setDiverging(bool diverging) { diverging_ = diverging; }
    void translate(glm::vec2 delta) { view.translate(delta); }
    void zoom(float delta) { view.zoom(delta); }
    void zoomAbout(float delta, glm::vec2 pointer) { view.zoomAbout(delta, pointer); }
    void reset() { view.reset(); }

    const MapView& currentView() const { return view; }
    GLuint programId() const { return shader.id(); }

private:
    GLuint vao = 0;
    GLuint vbo = 0;
    GLuint mapTexture = 0;
    GLuint plainTexture = 0;  // one pixel of the shipped map's ground
    GLuint basemapTexture = 0;
    glm::vec2 extent_{1.0f, 1.0f};
    Ground ground_ = Ground::shippedMap;
    bool diverging_ = false;
    ShaderProgram shader;
    MapView view;
    // A triangle strip over the whole clip square; no texture coordinates:
    // the vertex shader derives them from the position.
    std::array<glm::vec3, 4> vertices{glm::vec3(1.0f, 1.0f, 0.0f), glm::vec3(1.0f, -1.0f, 0.0f),
                                      glm::vec3(-1.0f, 1.0f, 0.0f), glm::vec3(-1.0f, -1.0f, 0.0f)};
};
