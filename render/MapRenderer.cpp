#include "render/MapRenderer.h"

#include "render/Texture.h"

MapRenderer::MapRenderer() : MapRenderer(decodeImageLevels(nativePath(kMapImagePath))) {}

MapRenderer::MapRenderer(const ImageLevels& mapImage)
    : shader(nativePath("shaders\\map.vert").c_str(), nativePath("shaders\\map.frag").c_str()) {
    static_assert(sizeof(vertices) == 48, "four corners of three floats, no padding");
    glGenVertexArrays(1, &vao);
    glGenBuffers(1, &vbo);
    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices.data(), GL_STATIC_DRAW);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 3 * sizeof(float), nullptr);
    mapTexture = createTexture(mapImage);
    const unsigned char paper[4] = {26, 29, 34, 255};  // the shipped map's ground
    glGenTextures(1, &plainTexture);
    glBindTexture(GL_TEXTURE_2D, plainTexture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, paper);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void MapRenderer::showFrame(glm::vec2 extent, Ground ground) {
    extent_ = extent;
    ground_ = ground == Ground::basemap && basemapTexture == 0 ? Ground::plain : ground;
}

void MapRenderer::setBasemap(const ImageLevels& image) {
    const GLuint replaced = createTexture(image);
    glDeleteTextures(1, &basemapTexture);
    basemapTexture = replaced;
}

void MapRenderer::setMapImage(const ImageLevels& mapImage) {
    const GLuint replaced = createTexture(mapImage);
    glDeleteTextures(1, &mapTexture);
    mapTexture = replaced;
}

MapRenderer::~MapRenderer() {
    glDeleteVertexArrays(1, &vao);
    glDeleteBuffers(1, &vbo);
    glDeleteTextures(1, &mapTexture);
    glDeleteTextures(1, &plainTexture);
    glDeleteTextures(1, &basemapTexture);
}

void MapRenderer::draw(GLuint heatmapTexture, GLuint lutTexture) {
    drawStill(heatmapTexture, lutTexture);
    // After drawing, so a new target shows from the next frame on.
    view.glide();
}

void MapRenderer::drawStill(GLuint heatmapTexture, GLuint lutTexture) {
    shader.use();
    shader.setMat4("modelMatrix", view.modelMatrix());
    shader.setVec2("extent", extent_);
    shader.setInt("map_texture", 0);
    shader.setInt("heatmap_texture", 1);
    shader.setInt("lut_texture", 2);
    shader.setInt("diverging", diverging_ ? 1 : 0);
    glBindVertexArray(vao);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, ground_ == Ground::shippedMap ? mapTexture
                                 : ground_ == Ground::basemap ? basemapTexture
                                                              : plainTexture);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, heatmapTexture);
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, lutTexture);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindTexture(GL_TEXTURE_2D, 0);
}
