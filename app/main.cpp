// Trackora Trajectories: the entry point, window and frame loop.
#include <glad/gl.h>
// glad first: GLFW must not pull in the system GL header.
#include <GLFW/glfw3.h>
#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/CommandLine.h"
#include "app/ControlPanel.h"
#include "settings/ControlSettings.h"
#include "app/FrameWork.h"
#include "app/Input.h"
#include "app/MapImage.h"
#include "app/MapGuides.h"
#include "app/Session.h"
#include "engine/HeatmapEngine.h"
#include "model/Dataset.h"
#include "render/HeatmapTexture.h"
#include "render/ImageLevels.h"
#include "render/MapRenderer.h"
#include "render/Texture.h"

namespace {

// "Save image" with the name in the panel; the panel shows where it went.
void saveImage(GLuint heatmapTexture) {
    const std::string path = session.imageName.data();
    if (const std::string clash = openDataClash(path); !clash.empty()) {
        reportSave("Image not saved: " + clash, true);
        return;
    }
    try {
        GLint viewport[4] = {};
        glGetIntegerv(GL_VIEWPORT, viewport);
        saveMapImage(path, heatmapTexture, viewport[2], viewport[3]);
        reportSave("Saved " + std::filesystem::absolute(path).string(), false);
        refreshDefaultNames();
    } catch (const std::exception& error) {
        reportSave(std::string("Image not saved: ") + error.what(), true);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else, so --help and a bad option need no display.
    ViewerOptions options;
    std::string problem;
    if (!parseViewerArguments(std::vector<std::string>(argv + 1, argv + argc), options, problem)) {
        std::cerr << "trackora: " << problem << std::endl;
        return 2;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? viewerUsage() : viewerVersion() + "\n") << std::flush;
        return 0;
    }
    const std::string samplePath = options.samplePath.value_or("data/data.bin");
    std::snprintf(session.basemapName.data(), session.basemapName.size(), "%s", options.basemap.c_str());
    session.basemapSource = options.basemap;
    if (options.frame.kind != FrameRequest::Kind::automatic)
        std::snprintf(session.frameText.data(), session.frameText.size(), "%s",
                      frameRequestText(options.frame).c_str());
    // The map image is the slowest part of start-up: decode it and filter its
    // mipmaps while the window and context are being made, and show its
    // small preview until it is ready.
    // The preview first: on two cores the full map would slow it down.
    std::future<ImageLevels> mapImage;
    std::future<ImageLevels> mapPreview = std::async(std::launch::async, [&mapImage] {
        ImageLevels preview = decodeImageLevels(nativePath(kMapPreviewPath));
        mapImage = std::async(std::launch::async, [] { return decodeImageLevels(nativePath(kMapImagePath)); });
        return preview;
    });

    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 6);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_FALSE);

    GLFWwindow* window = glfwCreateWindow(800, 800, "Trackora Trajectories", nullptr, nullptr);
    if (window == nullptr) {
        std::cout << "Failed To Create Window" << std::endl;
        glfwTerminate();
        mapPreview.wait();
        mapImage.wait();
        return -1;
    }
    glfwMakeContextCurrent(window);
    // Before the user interface's backend, which chains to these.
    registerInputCallbacks(window);

    if (gladLoadGL(glfwGetProcAddress) == 0) {
        std::cout << "Failed to initialize GLAD" << std::endl;
        mapPreview.wait();
        mapImage.wait();
        return -1;
    }

    // Without a preview the first frame waits for the full map, as before.
    bool fullMapPending = true;
    ImageLevels firstMap = mapPreview.get();
    if (firstMap.levels.empty()) {
        firstMap = mapImage.get();
        fullMapPending = false;
    }
    map_renderer = std::make_unique<MapRenderer>(firstMap);
    firstMap = {};
    // The samples load in the background, so the map shows at once; ticks
    // made meanwhile apply when they are ready.
    dataset = std::make_unique<Dataset>(Dataset{samplePath, 0, GeoFrame{}, {}});
    const int N = kGridSide;
    const std::size_t heatmapCells = static_cast<std::size_t>(N) * N;
    const GLuint heatmap_texture = createHeatmapTexture(N);
    lut_texture = loadTexture(nativePath("resources/lut.png").c_str());

    const DensitySteps density{
        HeatmapEngine::rebuildKernel,
        HeatmapEngine::computeHeatmap,
        [heatmap_texture, N](const std::vector<float>& heatmap) {
            uploadHeatmap(heatmap_texture, N, acceptGrid(heatmap));
        },
    };

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::StyleColorsDark();
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 460 core");

    bool loadStarted = false;
    while (!glfwWindowShouldClose(window)) {
        glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

        ImGui_ImplOpenGL3_NewFrame();
        ImGui_ImplGlfw_NewFrame();
        applyQueuedInput();
        ImGui::NewFrame();

        if (fullMapPending && mapImage.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            fullMapPending = false;
            const ImageLevels full = mapImage.get();
            // An undecodable full map keeps the preview on screen, and says why.
            if (!full.levels.empty())
                map_renderer->setMapImage(full);
            else
                std::cout << "Could not load image \"" << full.path << "\": " << full.problem << std::endl;
        }
        applyFinishedLoad();
        applyFinishedBasemap();
        drawMapGuides();
        showControlPanel();
        refreshCompareB();
        refreshDensity(settings, density, heatmapCells);
        freezeCompare();
        if (session.scaleChanged) {
            session.scaleChanged = false;
            if (session.lastGrid.size() == heatmapCells) uploadHeatmap(heatmap_texture, N, shownLevels());
        }
        map_renderer->setDiverging(session.compare.on);
        continueVideoExport();
        if (session.saveImageRequested) {
            // Before the screen's own draw, which advances the pan glide.
            session.saveImageRequested = false;
            saveImage(heatmap_texture);
        }
        map_renderer->draw(heatmap_texture, lut_texture);

        ImGui::Render();
        ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());

        glfwSwapBuffers(window);
        // After the first frame is shown, so the load does not compete with it.
        if (!loadStarted) {
            loadStarted = true;
            openData(samplePath, options.samplePath.has_value());
        }
        glfwPollEvents();
    }

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    // A load or basemap in progress is cancelled and stops within a chunk
    // of its reading; its worker uses the loader's state, so it ends first. The
    // window goes away meanwhile, as the user asked.
    glfwHideWindow(window);
    // A video still being made stops with the window, leaving nothing behind.
    cancelVideoExport();
    session.loader.stop();
    stopBasemap();
    HeatmapEngine::release();
    // Its GL objects go while the context is still current.
    map_renderer.reset();
    glfwTerminate();
    return 0;
}
