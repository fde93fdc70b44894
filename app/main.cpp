// Trackora Trajectories: the entry point, window and frame loop.
#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl3.h>

#include <iostream>
#include <memory>

#include "app/ControlSettings.h"
#include "model/Dataset.h"
#include "model/LoadError.h"

namespace {

std::unique_ptr<Dataset> dataset;

// A missing or damaged sample file must not keep the map from showing: the
// run goes on with no samples after one line that says why.
std::unique_ptr<Dataset> loadSamples(const char* path) {
    try {
        return std::make_unique<Dataset>(path, true);
    } catch (const DataFileError& error) {
        std::cout << "Could not load samples from \"" << error.path() << "\": " << error.reason()
                  << std::endl;
    } catch (const std::exception& error) {
        std::cout << loadFailureMessage(path, error) << std::endl;
    }
    return std::make_unique<Dataset>(Dataset::empty(path));
}

}  // namespace

int main() {
    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 6);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);

    GLFWwindow* window = glfwCreateWindow(800, 800, "Trackora Trajectories", nullptr, nullptr);
    if (window == nullptr) {
        std::cout << "Failed To Create Window" << std::endl;
        glfwTerminate();
        return -1;
    }
    glfwMakeContextCurrent(window);

    if (gladLoadGL(glfwGetProcAddress) == 0) {
        std::cout << "Failed to initialize GLAD" << std::endl;
        return -1;
    }

    dataset = loadSamples("data/data.bin");

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::StyleColorsDark();
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 460 core");

    while (!glfwWindowShouldClose(window)) {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplGlfw_NewFrame();
        ImGui::NewFrame();

        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());

        glfwSwapBuffers(window);
        glfwPollEvents();
    }

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    glfwTerminate();
    return 0;
}
