// Trackora Trajectories: the entry point, window and frame loop.
#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl3.h>

#include <iostream>
#include <memory>

#include "app/AppState.h"
#include "app/ControlPanel.h"
#include "app/ControlSettings.h"
#include "app/FrameWork.h"
#include "app/Input.h"
#include "engine/HeatmapEngine.h"
#include "model/Dataset.h"
#include "model/LoadError.h"
#include "render/HeatmapTexture.h"
#include "render/MapRenderer.h"
#include "render/Texture.h"

namespace {

// A missing or damaged sample file must not keep the map from showing: the
// run goes on with no samples after one line that says why.
std::unique_ptr<Dataset> loadSamples(const char* path) {
    try {
        auto loaded = std::make_unique<Dataset>(path, true);
        for (const std::string& note : loadNotes(*loaded)) std::cout << note << std::endl;
        return loaded;
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
    // Before the user interface's backend, which chains to these.
    registerInputCallbacks(window);

    if (gladLoadGL(glfwGetProcAddress) == 0) {
        std::cout << "Failed to initialize GLAD" << std::endl;
        return -1;
    }

    map_renderer = std::make_unique<MapRenderer>();
    dataset = loadSamples("data/data.bin");
    HeatmapEngine::initialize(dataset->points, settings);
    const int N = kGridSide;
    const std::size_t heatmapCells = static_cast<std::size_t>(N) * N;
    const GLuint heatmap_texture = createHeatmapTexture(N);
    lut_texture = loadTexture(nativePath("resources/lut.png").c_str());

    const DensitySteps density{
        HeatmapEngine::rebuildKernel,
        HeatmapEngine::computeHeatmap,
        [heatmap_texture, N](const std::vector<float>& heatmap) { uploadHeatmap(heatmap_texture, N, heatmap); },
    };

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

        showControlPanel();
        refreshDensity(settings, density, heatmapCells);
        map_renderer->draw(heatmap_texture, lut_texture);

        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());

        glfwSwapBuffers(window);
        glfwPollEvents();
    }

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    HeatmapEngine::release();
    // Its GL objects go while the context is still current.
    map_renderer.reset();
    glfwTerminate();
    return 0;
}
