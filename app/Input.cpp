#include "app/Input.h"

#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>

#include "app/AppState.h"
#include "app/InputRules.h"
#include "app/Session.h"

static_assert(kKeyRight == GLFW_KEY_RIGHT && kKeyLeft == GLFW_KEY_LEFT && kKeyDown == GLFW_KEY_DOWN &&
              kKeyUp == GLFW_KEY_UP);

void registerInputCallbacks(GLFWwindow* window) {
    glfwSetFramebufferSizeCallback(window, framebufferSizeCallback);
    glfwSetCursorPosCallback(window, cursorPositionCallback);
    glfwSetMouseButtonCallback(window, mouseButtonCallback);
    glfwSetScrollCallback(window, scrollCallback);
    glfwSetKeyCallback(window, keyCallback);
    glfwSetDropCallback(window, dropCallback);
}

void framebufferSizeCallback(GLFWwindow*, int width, int height) { glViewport(0, 0, width, height); }

// Cursor and buttons reach only the user interface; the map ignores them.
void cursorPositionCallback(GLFWwindow*, double, double) {}
void mouseButtonCallback(GLFWwindow*, int, int, int) {}

// The point under the pointer stays where it is.
void scrollCallback(GLFWwindow* window, double, double yOffset) {
    double x = 0.0, y = 0.0;
    int width = 0, height = 0;
    glfwGetCursorPos(window, &x, &y);
    glfwGetWindowSize(window, &width, &height);
    map_renderer->zoomAbout(zoomDelta(yOffset), pointerClip(x, y, width, height));
}

// Press, each auto-repeat and release all pan: the action is not examined.
void keyCallback(GLFWwindow*, int key, int, int, int) {
    if (const auto delta = panDelta(key)) map_renderer->translate(*delta);
}

void dropCallback(GLFWwindow*, int count, const char** paths) {
    if (count > 0 && paths != nullptr && paths[0] != nullptr) openData(paths[0]);
}
