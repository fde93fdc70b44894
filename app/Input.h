#pragma once
// The window's input callbacks: arrow keys pan the map, the wheel zooms it,
// the viewport follows the framebuffer, a dropped file or folder is opened.
// They must be registered before the user interface's backend installs its
// own callbacks, which then forward every event to these first.
struct GLFWwindow;

void registerInputCallbacks(GLFWwindow* window);

void framebufferSizeCallback(GLFWwindow* window, int width, int height);
void cursorPositionCallback(GLFWwindow* window, double x, double y);
void mouseButtonCallback(GLFWwindow* window, int button, int action, int mods);
void scrollCallback(GLFWwindow* window, double xOffset, double yOffset);
void keyCallback(GLFWwindow* window, int key, int scancode, int action, int mods);
// A file or folder dropped on the window is opened (the first, when several
// are dropped) and loads in the background.
void dropCallback(GLFWwindow* window, int count, const char** paths);
