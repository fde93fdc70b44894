#pragma once
// The map's view transform: a uniform zoom that changes at once and a pan
// offset that glides towards its target, a tenth of the remaining distance
// per drawn frame. Pure arithmetic, so it is tested without a window.
#include <glm/glm.hpp>
#include <glm/gtc/matrix_transform.hpp>

struct MapView {
    float zoomLevel = 1.0f;                     // never below 1: the map always fills the window
    glm::vec2 translation{0.0f, 0.0f};          // offset used for drawing, clip-space units
    glm::vec2 targetTranslation{0.0f, 0.0f};    // offset the glide heads for

    // Measured from the current, still gliding offset, not from the target.
    void translate(glm::vec2 delta) { targetTranslation = translation + delta; }
    void zoom(float delta) {
        zoomLevel += delta;
        if (zoomLevel < 1.0f) zoomLevel = 1.0f;
    }
    // The same zoom, keeping the map point under `pointer` (clip space)
    // where it is: the drawn offset and the glide's target both scale about
    // the pointer by the zoom's ratio.
    void zoomAbout(float delta, glm::vec2 pointer) {
        const float before = zoomLevel;
        zoom(delta);
        const float ratio = zoomLevel / before;
        translation = pointer + (translation - pointer) * ratio;
        targetTranslation = pointer + (targetTranslation - pointer) * ratio;
    }
    void reset() {
        zoomLevel = 1.0f;
        targetTranslation = glm::vec2(0.0f, 0.0f);
    }
    // One frame's step of the glide; it may stall a few ulps short of the
    // target, where a tenth of the difference no longer changes the sum.
    void glide() {
        if (targetTranslation != translation) {
            const glm::vec2 dir = targetTranslation - translation;
            translation += dir * 0.1f;
        }
    }
    // Translate times scale: zoom about the square's own centre, pan in
    // clip-space units independent of the zoom.
    glm::mat4 modelMatrix() const {
        glm::mat4 modelMat(1.0f);
        modelMat = glm::translate(modelMat, glm::vec3(translation.x, translation.y, 0.0f));
        modelMat = glm::scale(modelMat, glm::vec3(zoomLevel, zoomLevel, zoomLevel));
        return modelMat;
    }
};
