#include "app/ControlPanel.h"

#include <imgui.h>

#include <cstdint>

#include "app/AppState.h"
#include "app/ControlSettings.h"
#include "app/PanelRules.h"

namespace {

// On the first frame, a window restored from imgui.ini outside the display
// is moved back inside; after that the user places it freely.
void bringInsideOnce(bool& done) {
    if (done) return;
    done = true;
    const ImVec2 position = ImGui::GetWindowPos();
    const ImVec2 size = ImGui::GetWindowSize();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const PanelPoint place = placeInside({position.x, position.y}, {size.x, size.y}, {display.x, display.y});
    if (place.x != position.x || place.y != position.y) ImGui::SetWindowPos(ImVec2(place.x, place.y));
}

bool menuPlaced = false;
bool legendPlaced = false;

}  // namespace

void showControlPanel() {
    // Wide enough on first use for the time range and its label; the height
    // fits the contents.
    ImGui::SetNextWindowSize(ImVec2(330.0f, 0.0f), ImGuiCond_FirstUseEver);
    ImGui::Begin("Main Menu");
    bringInsideOnce(menuPlaced);
    ImGui::Text("Kernel Density Estimation");
    if (ImGui::SliderFloat("Sigma", &settings.sigma, 1.0f, 10.0f, "%.3f")) {
        settings.sigma_changed = true;
        settings.sigma = sanitizeTypedSigma(settings.sigma);
    }
    if (ImGui::InputInt("Size", &settings.kernel_size, 2, 10)) {
        settings.kernel_size_changed = true;
        settings.kernel_size = applySizeRule(settings.kernel_size);
    }
    ImGui::Text("Transportation mode");
    for (int i = 0; i < kModeCount; ++i) {
        if (ImGui::Checkbox(kModeCheckboxes[i].label, &settings.mode_selected[i]))
            settings.toggleMode(kModeCheckboxes[i].flag);
    }
    ImGui::Spacing();
    if (ImGui::DragIntRange2("Time [s]", &settings.min_time, &settings.max_time, 100.0f, 0, 86400, "Min: %i",
                             "Max: %i", ImGuiSliderFlags_NoInput))
        settings.time_changed = true;
    ImGui::Spacing();
    if (ImGui::Checkbox("Use Log Scale", &settings.use_log_scale)) settings.log_scale_changed = true;
    ImGui::Spacing();
    if (ImGui::Button("Reset Map")) map_renderer->reset();
    ImGui::End();

    // On first use the legend goes to the right edge: at the library's
    // default spot it would sit on top of the mode check boxes.
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    ImGui::SetNextWindowPos(ImVec2(display.x - 10.0f, 10.0f), ImGuiCond_FirstUseEver, ImVec2(1.0f, 0.0f));
    bool open = true;
    ImGui::Begin("LUT", &open, ImGuiWindowFlags_NoTitleBar);
    bringInsideOnce(legendPlaced);
    const float x = (ImGui::GetWindowSize().x - ImGui::CalcTextSize("0").x) * 0.5f;
    ImGui::SetCursorPosX(x);
    ImGui::BeginGroup();
    ImGui::Text("1");
    ImGui::Image(reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(lut_texture)), ImVec2(10.0f, 200.0f),
                 ImVec2(0.0f, 0.0f), ImVec2(1.0f, 1.0f), ImVec4(1.0f, 1.0f, 1.0f, 1.0f),
                 ImVec4(0.0f, 0.0f, 0.0f, 0.0f));
    ImGui::Text("0");
    ImGui::EndGroup();
    ImGui::End();
}
