#include "app/MapGuides.h"

#include <imgui.h>

#include <algorithm>

#include "app/Analysis.h"
#include "app/AppState.h"
#include "app/Session.h"
#include "render/MapRenderer.h"

namespace {

// Light on the shipped map's dark ground.
constexpr ImU32 kLine = IM_COL32(150, 156, 166, 90);
constexpr ImU32 kLabel = IM_COL32(190, 196, 206, 255);
constexpr ImU32 kBar = IM_COL32(220, 224, 230, 255);

}  // namespace

void drawMapGuides() {
    if (!map_renderer || map_renderer->showsMapImage()) return;
    if (map_renderer->ground() == MapRenderer::Ground::basemap) {
        // A basemap orients by itself; it owes its source a line.
        const std::string& attribution = session.basemapAttribution;
        const ImVec2 size = ImGui::CalcTextSize(attribution.c_str());
        const ImVec2 corner(ImGui::GetIO().DisplaySize.x - size.x - 10.0f, ImGui::GetIO().DisplaySize.y - size.y - 6.0f);
        ImGui::GetBackgroundDrawList()->AddRectFilled(ImVec2(corner.x - 4.0f, corner.y - 2.0f),
                                                      ImGui::GetIO().DisplaySize, IM_COL32(20, 22, 26, 200));
        ImGui::GetBackgroundDrawList()->AddText(corner, kBar, attribution.c_str());
        return;
    }
    const ImGuiIO& io = ImGui::GetIO();
    const double width = io.DisplaySize.x;
    const double height = io.DisplaySize.y;
    if (width <= 0.0 || height <= 0.0) return;
    const MapView& view = map_renderer->currentView();
    const glm::vec2 extent = map_renderer->extent();
    const analysis::ViewTransform transform{view.zoomLevel, view.translation.x, view.translation.y, extent.x,
                                            extent.y};
    const GeoFrame frame = openFrame();
    // The part of the map in view: the window's corners taken back to it.
    const analysis::MapPoint low = analysis::mapPointAt(0.0, height, width, height, transform);
    const analysis::MapPoint high = analysis::mapPointAt(width, 0.0, width, height, transform);
    ImDrawList* list = ImGui::GetBackgroundDrawList();
    const analysis::WindowPoint mapLow = analysis::windowPointOf({0.0, 0.0}, width, height, transform);
    const analysis::WindowPoint mapHigh = analysis::windowPointOf({1.0, 1.0}, width, height, transform);
    for (const analysis::GraticuleLine& line : analysis::graticule(frame, low.s, high.s, low.t, high.t)) {
        if (line.latitude) {
            const analysis::WindowPoint at = analysis::windowPointOf({0.0, line.at}, width, height, transform);
            const float y = static_cast<float>(at.y);
            list->AddLine(ImVec2(static_cast<float>(mapLow.x), y), ImVec2(static_cast<float>(mapHigh.x), y), kLine);
            const float x = static_cast<float>(std::max(mapLow.x, 0.0)) + 4.0f;
            list->AddText(ImVec2(x, y - ImGui::GetTextLineHeight() - 1.0f), kLabel, line.label.c_str());
        } else {
            const analysis::WindowPoint at = analysis::windowPointOf({line.at, 0.0}, width, height, transform);
            const float x = static_cast<float>(at.x);
            list->AddLine(ImVec2(x, static_cast<float>(mapHigh.y)), ImVec2(x, static_cast<float>(mapLow.y)), kLine);
            const float y = static_cast<float>(std::min(mapLow.y, height)) - ImGui::GetTextLineHeight() - 2.0f;
            list->AddText(ImVec2(x + 3.0f, y), kLabel, line.label.c_str());
        }
    }
    // The scale bar in the bottom-right corner, a fifth of the window at most.
    const analysis::ScaleBar bar =
        analysis::scaleBar(analysis::metresPerPixel(frame, width, transform), width / 5.0);
    if (bar.pixels <= 0.0) return;
    const float right = static_cast<float>(width) - 16.0f;
    const float left = right - static_cast<float>(bar.pixels);
    const float y = static_cast<float>(height) - 40.0f;
    list->AddLine(ImVec2(left, y), ImVec2(right, y), kBar, 2.0f);
    list->AddLine(ImVec2(left, y - 5.0f), ImVec2(left, y + 1.0f), kBar, 2.0f);
    list->AddLine(ImVec2(right, y - 5.0f), ImVec2(right, y + 1.0f), kBar, 2.0f);
    const ImVec2 text = ImGui::CalcTextSize(bar.label.c_str());
    list->AddText(ImVec2(0.5f * (left + right - text.x), y - text.y - 4.0f), kBar, bar.label.c_str());
}
