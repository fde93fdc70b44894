#pragma once
// A hidden 4.6 core-profile window for GL tests (run under Xvfb), one per
// process, with the GL functions loaded, and helpers to capture standard
// output.
#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

// The tests' window, made current by the process's one GL environment
// (GlContext.cpp); null when it could not be made.
class GlTest : public ::testing::Test {
protected:
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

public:
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
