#include "app/Input.h"

#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "app/AppState.h"
#include "app/InputQueue.h"
#include "app/InputRules.h"
#include "app/Session.h"

static_assert(kKeyRight == GLFW_KEY_RIGHT && kKeyLeft == GLFW_KEY_LEFT && kKeyDown == GLFW_KEY_DOWN &&
              kKeyUp == GLFW_KEY_UP);
static_assert(kQueuedKeys == IM_ARRAYSIZE(ImGuiIO::KeysDown) && kQueuedButtons == IM_ARRAYSIZE(ImGuiIO::MouseDown));

namespace {

// Filled between frames by the callbacks, emptied by the frames.
InputQueue inputQueue;
// The pointer as the motion events left it: asking the window system gives
// where it is now, which may be past a click that is still being handled.
bool pointerKnown = false;
double pointerX = 0.0, pointerY = 0.0;

}  // namespace

void registerInputCallbacks(GLFWwindow* window) {
    glfwSetFramebufferSizeCallback(window, framebufferSizeCallback);
    glfwSetCursorPosCallback(window, cursorPositionCallback);
    glfwSetMouseButtonCallback(window, mouseButtonCallback);
    glfwSetScrollCallback(window, scrollCallback);
    glfwSetKeyCallback(window, keyCallback);
    glfwSetCharCallback(window, charCallback);
    glfwSetDropCallback(window, dropCallback);
}

void framebufferSizeCallback(GLFWwindow*, int width, int height) { glViewport(0, 0, width, height); }

// Cursor and buttons reach only the user interface; the map ignores them.
void cursorPositionCallback(GLFWwindow*, double x, double y) {
    pointerKnown = true;
    pointerX = x;
    pointerY = y;
}

void mouseButtonCallback(GLFWwindow* window, int button, int action, int) {
    if (!pointerKnown) glfwGetCursorPos(window, &pointerX, &pointerY);
    inputQueue.push(InputEvent::button(button, action == GLFW_PRESS, static_cast<float>(pointerX),
                                       static_cast<float>(pointerY)));
}

// The point under the pointer stays where it is.
void scrollCallback(GLFWwindow* window, double, double yOffset) {
    double x = 0.0, y = 0.0;
    int width = 0, height = 0;
    glfwGetCursorPos(window, &x, &y);
    glfwGetWindowSize(window, &width, &height);
    map_renderer->zoomAbout(zoomDelta(yOffset), pointerClip(x, y, width, height));
}

// Press, each auto-repeat and release all pan, at once: the action is not
// examined. Auto-repeat changes nothing the user interface is shown.
void keyCallback(GLFWwindow*, int key, int, int action, int) {
    if (const auto delta = panDelta(key)) map_renderer->translate(*delta);
    if (action != GLFW_REPEAT) inputQueue.push(InputEvent::key(key, action == GLFW_PRESS));
}

void charCallback(GLFWwindow*, unsigned int c) { inputQueue.push(InputEvent::character(c)); }

void applyQueuedInput() {
    ImGuiIO& io = ImGui::GetIO();
    const InputFrame frame = inputQueue.nextFrame();
    for (std::size_t key = 0; key < kQueuedKeys; ++key) io.KeysDown[key] = frame.keys[key];
    for (std::size_t button = 0; button < kQueuedButtons; ++button) io.MouseDown[button] = frame.buttons[button];
    if (frame.pointer) io.MousePos = ImVec2((*frame.pointer)[0], (*frame.pointer)[1]);
    const auto held = [&frame](int left, int right) { return frame.keys[left] || frame.keys[right]; };
    io.KeyCtrl = held(GLFW_KEY_LEFT_CONTROL, GLFW_KEY_RIGHT_CONTROL);
    io.KeyShift = held(GLFW_KEY_LEFT_SHIFT, GLFW_KEY_RIGHT_SHIFT);
    io.KeyAlt = held(GLFW_KEY_LEFT_ALT, GLFW_KEY_RIGHT_ALT);
    io.KeySuper = held(GLFW_KEY_LEFT_SUPER, GLFW_KEY_RIGHT_SUPER);
    // The backend queued them as they came, out of order with the keys.
    io.ClearInputCharacters();
    for (const unsigned int c : frame.characters) io.AddInputCharacter(c);
}

void dropCallback(GLFWwindow*, int count, const char** paths) {
    if (count > 0 && paths != nullptr && paths[0] != nullptr) openData(paths[0]);
}
