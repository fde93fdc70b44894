#include "GlContext.h"

namespace {

// GLFW starts once per test process, not once per suite: every start and
// stop is an X client coming and going, and a start right after the last
// client left was seen to fail on a busy machine while Xvfb reset.
class GlEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(glfwInit()) << "no display: run under xvfb-run";
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 6);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        GLFWwindow* window = glfwCreateWindow(64, 64, "gl test", nullptr, nullptr);
        ASSERT_NE(window, nullptr) << "no 4.6 core context (MESA_GL_VERSION_OVERRIDE=4.6?)";
        glfwMakeContextCurrent(window);
        if (gladLoadGL(glfwGetProcAddress) == 0) {
            glfwDestroyWindow(window);
            FAIL() << "the GL functions did not load";
        }
        GlTest::window = window;
    }
    void TearDown() override {
        if (GlTest::window) glfwDestroyWindow(GlTest::window);
        GlTest::window = nullptr;
        glfwTerminate();
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new GlEnvironment);

}  // namespace
