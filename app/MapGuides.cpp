#include "app/MapGuides.h"

#include <imgui.h>

#include <algorithm>

#include "app/MapGeometry.h"
#include "app/AppState.h"
#include "app/Compare.h"
#include "app/GuideLayout.h"
#include "app/Session.h"
#include "render/MapRenderer.h"

namespace {

// Light on the shipped map's dark ground.
constexpr ImU32 kLine = IM_COL32(150, 156, 166, 90);
constexpr ImU32 kLabel = IM_COL32(190, 196, 206, 255);
constexpr ImU32 kBar = IM_COL32(220, 224, 230, 255);

}  // namespace

void drawMapGuides() {
    const ImGuiIO& io = ImGui::GetIO();
    drawMapGuides(*ImGui::GetBackgroundDrawList(), io.DisplaySize.x, io.DisplaySize.y);
}

void drawMapGuides(ImDrawList& drawList, float pictureWidth, float pictureHeight) {
    if (!map_renderer || map_renderer->showsMapImage()) return;
    const double width = pictureWidth;
    const double height = pictureHeight;
    if (width <= 0.0 || height <= 0.0) return;
    const MapView& view = map_renderer->currentView();
    const glm::vec2 extent = map_renderer->extent();
    const analysis::ViewTransform transform{view.zoomLevel, view.translation.x, view.translation.y, extent.x,
                                            extent.y};
    const analysis::WindowPoint mapLow = analysis::windowPointOf({0.0, 0.0}, width, height, transform);
    const analysis::WindowPoint mapHigh = analysis::windowPointOf({1.0, 1.0}, width, height, transform);
    // The guides sit on the map, not in the letterbox of a frame that is not square.
    const PanelRect map = visibleMap(mapLow.x, mapHigh.y, mapHigh.x, mapLow.y, width, height);
    if (map.width <= 0.0f || map.height <= 0.0f) return;
    ImDrawList* list = &drawList;
    if (map_renderer->ground() == MapRenderer::Ground::basemap) {
        // A basemap orients by itself; it owes its source a line.
        const std::string& attribution = session.basemapAttribution;
        const ImVec2 size = ImGui::CalcTextSize(attribution.c_str());
        const PanelPoint corner = attributionPlace(map, {size.x, size.y});
        list->AddRectFilled(ImVec2(corner.x - 4.0f, corner.y - 2.0f), ImVec2(map.x + map.width, map.y + map.height),
                            IM_COL32(20, 22, 26, 200));
        list->AddText(ImVec2(corner.x, corner.y), kBar, attribution.c_str());
        return;
    }
    const GeoFrame frame = openFrame();
    // The part of the map in view: the window's corners taken back to it.
    const analysis::MapPoint low = analysis::mapPointAt(0.0, height, width, height, transform);
    const analysis::MapPoint high = analysis::mapPointAt(width, 0.0, width, height, transform);
    const float lineHeight = ImGui::GetTextLineHeight();
    float lastLabelEnd = -1e9f;  // longitude labels left to right: one that would touch the last is left out
    for (const analysis::GraticuleLine& line : analysis::graticule(frame, low.s, high.s, low.t, high.t)) {
        if (line.latitude) {
            const analysis::WindowPoint at = analysis::windowPointOf({0.0, line.at}, width, height, transform);
            const float y = static_cast<float>(at.y);
            list->AddLine(ImVec2(static_cast<float>(mapLow.x), y), ImVec2(static_cast<float>(mapHigh.x), y), kLine);
            // Above the line, or below it where that would leave the map.
            const float labelY = y - lineHeight - 1.0f >= map.y ? y - lineHeight - 1.0f : y + 1.0f;
            // Not over the longitude labels along the foot.
            if (labelY + 2.0f * lineHeight + 2.0f > map.y + map.height) continue;
            list->AddText(ImVec2(map.x + 4.0f, labelY), kLabel, line.label.c_str());
        } else {
            const analysis::WindowPoint at = analysis::windowPointOf({line.at, 0.0}, width, height, transform);
            const float x = static_cast<float>(at.x);
            list->AddLine(ImVec2(x, static_cast<float>(mapHigh.y)), ImVec2(x, static_cast<float>(mapLow.y)), kLine);
            const float textWidth = ImGui::CalcTextSize(line.label.c_str()).x;
            const float labelX = lineLabelX(x, textWidth, map);
            if (labelX < lastLabelEnd + 6.0f) continue;
            lastLabelEnd = labelX + textWidth;
            list->AddText(ImVec2(labelX, map.y + map.height - lineHeight - 2.0f), kLabel, line.label.c_str());
        }
    }
    // The scale bar in the map's bottom-right corner, a fifth of its visible width at most.
    const BarPlace place = scaleBarPlace(map);
    const analysis::ScaleBar bar =
        analysis::scaleBar(analysis::metresPerPixel(frame, width, transform), place.maxPixels);
    if (bar.pixels <= 0.0) return;
    const float right = place.right;
    const float left = right - static_cast<float>(bar.pixels);
    const float y = place.y;
    list->AddLine(ImVec2(left, y), ImVec2(right, y), kBar, 2.0f);
    list->AddLine(ImVec2(left, y - 5.0f), ImVec2(left, y + 1.0f), kBar, 2.0f);
    list->AddLine(ImVec2(right, y - 5.0f), ImVec2(right, y + 1.0f), kBar, 2.0f);
    const ImVec2 text = ImGui::CalcTextSize(bar.label.c_str());
    list->AddText(ImVec2(0.5f * (left + right - text.x), y - text.y - 4.0f), kBar, bar.label.c_str());
}

void drawDivergingBar(ImDrawList& list, const ImVec2& low, const ImVec2& high) {
    constexpr int kStrips = 40;
    const float height = high.y - low.y;
    list.AddRectFilled(low, high, IM_COL32(70, 74, 82, 255));
    for (int i = 0; i < kStrips; ++i) {
        // Level +1 in the top strip, -1 in the bottom one.
        const float v = 1.0f - 2.0f * (static_cast<float>(i) + 0.5f) / kStrips;
        const compare::Rgba c = compare::divergingColour(v);
        const float y0 = low.y + height * static_cast<float>(i) / kStrips;
        const float y1 = low.y + height * static_cast<float>(i + 1) / kStrips;
        list.AddRectFilled(ImVec2(low.x, y0), ImVec2(high.x, y1), ImGui::ColorConvertFloat4ToU32(ImVec4(c.r, c.g, c.b, c.a)));
    }
}
