#include "render/HeatmapTexture.h"

GLuint createHeatmapTexture(int side) {
    GLuint heatmap_texture = 0;
    glGenTextures(1, &heatmap_texture);
    glBindTexture(GL_TEXTURE_2D, heatmap_texture);
    glTexStorage2D(GL_TEXTURE_2D, 1, GL_R32F, side, side);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindTexture(GL_TEXTURE_2D, 0);
    return heatmap_texture;
}

void uploadHeatmap(GLuint heatmapTexture, int side, const std::vector<float>& heatmap) {
    glBindTexture(GL_TEXTURE_2D, heatmapTexture);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, side, side, GL_RED, GL_FLOAT, heatmap.data());
    glBindTexture(GL_TEXTURE_2D, 0);
}
