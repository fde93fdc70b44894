#include "app/MapImage.h"

#include <imgui.h>
#include <imgui_impl_opengl3.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "app/AppState.h"
#include "app/GridExport.h"
#include "app/MapGuides.h"
#include "app/Session.h"
#include "engine/HeatmapEngine.h"
#include "model/OutputFile.h"

namespace {

constexpr ImU32 kText = IM_COL32(230, 230, 230, 255);
constexpr ImU32 kPanel = IM_COL32(15, 15, 15, 230);
constexpr const char* kAttribution = "Map data \xC2\xA9 OpenStreetMap contributors";

ImTextureID textureId(GLuint texture) { return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(texture)); }

// The legend as on screen (the unit, the colour bar with its ticks, the
// frame's own maximum when the scale is locked) in a dark box where the
// legend sits on screen; and the attribution in the bottom-right corner.
void drawOverlay(ImDrawList& list, float width, float height) {
    ImFont* font = ImGui::GetFont();
    const float size = ImGui::GetFontSize();
    const analysis::Legend& legend = session.legend;
    constexpr float barHeight = 150.0f;
    float labelWidth = ImGui::CalcTextSize("888k").x;
    for (const std::string& label : legend.labels) labelWidth = std::max(labelWidth, ImGui::CalcTextSize(label.c_str()).x);
    const float pad = 8.0f;
    float textWidth = std::max(ImGui::CalcTextSize(legend.unit.c_str()).x,
                               ImGui::CalcTextSize(legend.frameMaximum.c_str()).x);
    const float boxWidth = pad + std::max(10.0f + 8.0f + labelWidth, textWidth) + pad;
    const float extra = legend.frameMaximum.empty() ? 0.0f : size + 4.0f;
    const float boxHeight = pad + size + size * 0.5f + barHeight + size * 0.5f + extra + pad;
    // Where the legend sits on screen, inside the picture.
    const ImVec2 box(std::clamp(session.legendRect.x, 0.0f, std::max(0.0f, width - boxWidth)),
                     std::clamp(session.legendRect.y, 0.0f, std::max(0.0f, height - boxHeight)));
    list.AddRectFilled(box, ImVec2(box.x + boxWidth, box.y + boxHeight), kPanel, 4.0f);
    list.AddText(font, size, ImVec2(box.x + pad, box.y + pad), kText, legend.unit.c_str());
    const ImVec2 bar(box.x + pad, box.y + pad + size + size * 0.5f);
    if (session.compare.on)
        drawDivergingBar(list, bar, ImVec2(bar.x + 10.0f, bar.y + barHeight));
    else
        list.AddImage(textureId(lut_texture), bar, ImVec2(bar.x + 10.0f, bar.y + barHeight), ImVec2(0.0f, 0.0f),
                      ImVec2(1.0f, 1.0f));
    for (std::size_t i = 0; i < legend.ticks.size(); ++i) {
        const float y = bar.y + (1.0f - legend.ticks[i].level) * barHeight;
        list.AddLine(ImVec2(bar.x + 10.0f, y), ImVec2(bar.x + 15.0f, y), kText);
        list.AddText(font, size, ImVec2(bar.x + 18.0f, y - size * 0.5f), kText, legend.labels[i].c_str());
    }
    if (!legend.frameMaximum.empty())
        list.AddText(font, size, ImVec2(bar.x, bar.y + barHeight + size * 0.5f), IM_COL32(160, 160, 160, 255),
                     legend.frameMaximum.c_str());

    // The shipped map is drawn from OpenStreetMap's data; a plain ground owes nobody.
    if (!map_renderer->showsMapImage()) return;
    const ImVec2 text = ImGui::CalcTextSize(kAttribution);
    const ImVec2 corner(width - text.x - 12.0f, height - text.y - 8.0f);
    list.AddRectFilled(ImVec2(corner.x - 4.0f, corner.y - 3.0f), ImVec2(width, height), kPanel);
    list.AddText(font, size, corner, kText, kAttribution);
}

void appendBytes(void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    const auto* begin = static_cast<const unsigned char*>(data);
    bytes->insert(bytes->end(), begin, begin + size);
}

}  // namespace

void saveMapImage(const std::string& path, GLuint heatmapTexture, int width, int height) {
    if (!map_renderer || width <= 0 || height <= 0) throw std::runtime_error("no map to draw");
    // Before drawing anything: a target that cannot be written costs nothing.
    OutputFile out(path);

    GLint previousFramebuffer = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &previousFramebuffer);
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    GLuint framebuffer = 0;
    GLuint colour = 0;
    glGenFramebuffers(1, &framebuffer);
    glGenRenderbuffers(1, &colour);
    glBindRenderbuffer(GL_RENDERBUFFER, colour);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
    const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;

    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    if (complete) {
        glViewport(0, 0, width, height);
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        map_renderer->drawStill(heatmapTexture, lut_texture);

        ImDrawList list(ImGui::GetDrawListSharedData());
        list._ResetForNewFrame();
        list.PushClipRect(ImVec2(0.0f, 0.0f), ImVec2(static_cast<float>(width), static_cast<float>(height)));
        list.PushTextureID(ImGui::GetIO().Fonts->TexID);
        // The graticule and scale bar under the legend, as on screen.
        drawMapGuides(list, static_cast<float>(width), static_cast<float>(height));
        drawOverlay(list, static_cast<float>(width), static_cast<float>(height));
        ImDrawList* lists[] = {&list};
        ImDrawData data;
        data.Valid = true;
        data.CmdLists = lists;
        data.CmdListsCount = 1;
        data.TotalVtxCount = list.VtxBuffer.Size;
        data.TotalIdxCount = list.IdxBuffer.Size;
        data.DisplayPos = ImVec2(0.0f, 0.0f);
        data.DisplaySize = ImVec2(static_cast<float>(width), static_cast<float>(height));
        data.FramebufferScale = ImVec2(1.0f, 1.0f);
        ImGui_ImplOpenGL3_RenderDrawData(&data);

        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    }
    glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(previousFramebuffer));
    glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
    glDeleteFramebuffers(1, &framebuffer);
    glDeleteRenderbuffers(1, &colour);
    if (!complete) throw std::runtime_error("the offscreen picture could not be set up");

    // GL reads bottom row first; PNG starts at the top.
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> bytes;
    if (stbi_write_png_to_func(appendBytes, &bytes, width, height, 3, pixels.data() + stride * (height - 1),
                               -static_cast<int>(stride)) == 0)
        throw std::runtime_error("PNG encoding failed");
    // The world file and coordinate system when the picture shows the
    // whole frame as drawn; written before any is committed, the sidecars
    // first. Without them, stale ones of an earlier save of the same name
    // would place this picture wrongly: they go.
    const MapView& view = map_renderer->currentView();
    const analysis::ViewTransform transform{view.zoomLevel, view.translation.x, view.translation.y,
                                            map_renderer->extent().x, map_renderer->extent().y};
    const std::optional<std::string> placing = viewWorldFileText(openFrame(), width, height, transform);
    if (!placing) {
        out.write(bytes.data(), bytes.size());
        out.commit();
        std::error_code ignored;
        for (const std::string& sidecar : {worldFilePath(path), auxXmlPath(path)})
            if (std::filesystem::is_regular_file(sidecar, ignored)) std::filesystem::remove(sidecar, ignored);
        return;
    }
    OutputFile world(worldFilePath(path));
    OutputFile aux(auxXmlPath(path));
    out.write(bytes.data(), bytes.size());
    world.write(placing->data(), placing->size());
    const std::string system = auxXmlText();
    aux.write(system.data(), system.size());
    out.prepare();
    world.prepare();
    aux.prepare();
    world.commit();
    aux.commit();
    out.commit();
}
