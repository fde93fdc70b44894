#pragma once
// A hidden 4.6 core-profile window for GL tests (run under Xvfb), with the
// GL functions loaded, and helpers to capture standard output.
#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

class GlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(glfwInit()) << "no display: run under xvfb-run";
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 6);
        glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        window = glfwCreateWindow(64, 64, "gl test", nullptr, nullptr);
        ASSERT_NE(window, nullptr) << "no 4.6 core context (MESA_GL_VERSION_OVERRIDE=4.6?)";
        glfwMakeContextCurrent(window);
        ASSERT_NE(gladLoadGL(glfwGetProcAddress), 0);
    }
    static void TearDownTestSuite() {
        if (window) glfwDestroyWindow(window);
        window = nullptr;
        glfwTerminate();
    }
    void SetUp() override {
        if (window == nullptr) GTEST_SKIP() << "no GL context";
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    void TearDown() override {
        if (window != nullptr) {
            EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        }
    }

    inline static GLFWwindow* window = nullptr;
};

// Collects what a block writes to std::cout.
class CaptureCout {
public:
    CaptureCout() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CaptureCout() { std::cout.rdbuf(old_); }
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};
