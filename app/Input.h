#pragma once
// The window's input callbacks: arrow keys pan the map, the wheel zooms it,
// the viewport follows the framebuffer, a dropped file or folder is opened.
// They must be registered before the user interface's backend installs its
// own callbacks, which then forward every event to these first.
//
// Keys, buttons and typed characters also go into a queue the user interface
// is fed from a frame at a time (applyQueuedInput), so that a tap or click
// made within one slow frame is not lost: the backend alone only samples
// which keys and buttons are down when the frame starts.
struct GLFWwindow;

void registerInputCallbacks(GLFWwindow* window);

void framebufferSizeCallback(GLFWwindow* window, int width, int height);
void cursorPositionCallback(GLFWwindow* window, double x, double y);
void mouseButtonCallback(GLFWwindow* window, int button, int action, int mods);
void scrollCallback(GLFWwindow* window, double xOffset, double yOffset);
void keyCallback(GLFWwindow* window, int key, int scancode, int action, int mods);
void charCallback(GLFWwindow* window, unsigned int c);
// After the backend's new frame, before the interface's: the keys, buttons,
// pointer and characters of the next queued events replace what the backend
// sampled.
void applyQueuedInput();
// A file or folder dropped on the window is opened (the first, when several
// are dropped) and loads in the background.
void dropCallback(GLFWwindow* window, int count, const char** paths);
