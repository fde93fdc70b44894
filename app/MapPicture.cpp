#include "app/MapPicture.h"

#include <stb_image_resize.h>
#include <stb_truetype.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/GuideLayout.h"
#include "model/LoadError.h"

namespace {

// The viewer's guide colours (MapGuides.cpp): lines light and faint on the
// dark ground, labels and the bar brighter.
constexpr Rgb kLine{150, 156, 166};
constexpr float kLineAlpha = 90.0f / 255.0f;
constexpr Rgb kLabel{190, 196, 206};
constexpr Rgb kBar{220, 224, 230};
constexpr Rgb kText{230, 230, 230};
constexpr Rgb kPanel{15, 15, 15};
constexpr float kPanelAlpha = 230.0f / 255.0f;
constexpr float kLegendBar = 150.0f;  // the colour bar's height, as on screen

// The next code point of UTF-8 text; a broken sequence reads as '?'.
char32_t nextCodepoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char first = byte(i++);
    if (first < 0x80) return first;
    int extra = first >= 0xF0 ? 3 : first >= 0xE0 ? 2 : first >= 0xC0 ? 1 : -1;
    if (extra < 0) return U'?';
    char32_t code = first & (0x3F >> extra);
    for (; extra > 0; --extra) {
        if (i >= text.size() || (byte(i) & 0xC0) != 0x80) return U'?';
        code = (code << 6) | (byte(i++) & 0x3F);
    }
    return code;
}

const stbtt_fontinfo* fontInfo(const std::vector<unsigned char>& info) {
    return reinterpret_cast<const stbtt_fontinfo*>(info.data());
}

}  // namespace

RgbPicture::RgbPicture(int w, int h, Rgb fill) : width(w), height(h), rgb(static_cast<std::size_t>(w) * h * 3) {
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = fill.r;
        rgb[i + 1] = fill.g;
        rgb[i + 2] = fill.b;
    }
}

void RgbPicture::blend(int x, int y, Rgb colour, float alpha) {
    if (x < 0 || y < 0 || x >= width || y >= height || alpha <= 0.0f) return;
    alpha = std::min(alpha, 1.0f);
    unsigned char* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
    const auto mix = [alpha](unsigned char under, unsigned char over) {
        return static_cast<unsigned char>(std::lround(under + (over - under) * alpha));
    };
    p[0] = mix(p[0], colour.r);
    p[1] = mix(p[1], colour.g);
    p[2] = mix(p[2], colour.b);
}

Rgb ColourTable::colour(float level) const {
    const float v = std::clamp(level, 0.0f, 1.0f);
    const int row = static_cast<int>(v * static_cast<float>(height - 1) + 0.5f);
    const unsigned char* c = rgb.data() + (static_cast<std::size_t>(row) * width + width / 2) * 3;
    return {c[0], c[1], c[2]};
}

RgbPicture groundPicture(int width, int height, const RgbPicture& map) {
    RgbPicture picture(width, height, kPlainGround);
    if (map.width > 0 && map.height > 0 &&
        !stbir_resize_uint8(map.rgb.data(), map.width, map.height, 0, picture.rgb.data(), width, height, 0, 3))
        picture = RgbPicture(width, height, kPlainGround);
    return picture;
}

void layHeat(RgbPicture& picture, const std::vector<float>& levels, const ColourTable& table) {
    const int side = analysis::kSide;
    for (int y = 0; y < picture.height; ++y) {
        // The picture's first row is north; grid row 0 is the south edge.
        const int row = std::min(side - 1, static_cast<int>((picture.height - 1 - y + 0.5) * side / picture.height));
        for (int x = 0; x < picture.width; ++x) {
            const int col = std::min(side - 1, static_cast<int>((x + 0.5) * side / picture.width));
            float v = levels[static_cast<std::size_t>(row) * side + col];
            if (!std::isfinite(v) || v <= 0.0f) continue;
            v = std::min(v, 1.0f);
            const float t = std::clamp(v / 0.5f, 0.0f, 1.0f);
            const float smooth = t * t * (3.0f - 2.0f * t);
            picture.blend(x, y, table.colour(v), 0.35f + (1.0f - 0.35f) * smooth);
        }
    }
}

TextFace::TextFace(const std::string& path, float pixels) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read font \"" + echoPath(path) + "\": " + std::strerror(errno));
    file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    info_.resize(sizeof(stbtt_fontinfo));
    auto* info = reinterpret_cast<stbtt_fontinfo*>(info_.data());
    if (file_.empty() || !stbtt_InitFont(info, file_.data(), stbtt_GetFontOffsetForIndex(file_.data(), 0)))
        throw std::runtime_error("cannot read font \"" + echoPath(path) + "\": not a TrueType font");
    scale_ = stbtt_ScaleForPixelHeight(info, pixels);
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(info, &ascent, &descent, &gap);
    ascent_ = static_cast<float>(ascent) * scale_;
    lineHeight_ = static_cast<float>(ascent - descent) * scale_;
}

const TextFace::Glyph& TextFace::glyph(char32_t codepoint) const {
    const auto found = glyphs_.find(codepoint);
    if (found != glyphs_.end()) return found->second;
    Glyph& g = glyphs_[codepoint];
    const stbtt_fontinfo* info = fontInfo(info_);
    int advance = 0, bearing = 0;
    stbtt_GetCodepointHMetrics(info, static_cast<int>(codepoint), &advance, &bearing);
    g.advance = static_cast<float>(advance) * scale_;
    unsigned char* bitmap = stbtt_GetCodepointBitmap(info, scale_, scale_, static_cast<int>(codepoint), &g.width,
                                                     &g.height, &g.left, &g.top);
    if (bitmap) {
        g.coverage.assign(bitmap, bitmap + static_cast<std::size_t>(g.width) * g.height);
        stbtt_FreeBitmap(bitmap, nullptr);
    }
    return g;
}

float TextFace::width(std::string_view utf8) const {
    float total = 0.0f;
    for (std::size_t i = 0; i < utf8.size();) total += glyph(nextCodepoint(utf8, i)).advance;
    return total;
}

void TextFace::draw(RgbPicture& picture, float x, float y, std::string_view utf8, Rgb colour) const {
    float pen = x;
    const int baseline = static_cast<int>(std::lround(y + ascent_));
    for (std::size_t i = 0; i < utf8.size();) {
        const Glyph& g = glyph(nextCodepoint(utf8, i));
        const int left = static_cast<int>(std::lround(pen)) + g.left;
        for (int row = 0; row < g.height; ++row)
            for (int col = 0; col < g.width; ++col)
                picture.blend(left + col, baseline + g.top + row, colour,
                              g.coverage[static_cast<std::size_t>(row) * g.width + col] / 255.0f);
        pen += g.advance;
    }
}

void fillRect(RgbPicture& picture, float x0, float y0, float x1, float y1, Rgb colour, float alpha) {
    const int left = std::max(0, static_cast<int>(std::lround(x0)));
    const int right = std::min(picture.width, static_cast<int>(std::lround(x1)));
    const int top = std::max(0, static_cast<int>(std::lround(y0)));
    const int bottom = std::min(picture.height, static_cast<int>(std::lround(y1)));
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) picture.blend(x, y, colour, alpha);
}

float legendWidth(const TextFace& face, const analysis::Legend& legend) {
    float labelWidth = face.width("888k");
    for (const std::string& label : legend.labels) labelWidth = std::max(labelWidth, face.width(label));
    const float text = std::max(face.width(legend.unit), face.width(legend.frameMaximum));
    return 8.0f + std::max(10.0f + 8.0f + labelWidth, text) + 8.0f;
}

void drawLegend(RgbPicture& picture, const TextFace& face, const analysis::Legend& legend, const ColourTable& table,
                float x, float y) {
    const float size = face.lineHeight();
    const float pad = 8.0f;
    const float boxWidth = legendWidth(face, legend);
    const float extra = legend.frameMaximum.empty() ? 0.0f : size + 4.0f;
    const float boxHeight = pad + size + size * 0.5f + kLegendBar + size * 0.5f + extra + pad;
    x = std::clamp(x, 0.0f, std::max(0.0f, static_cast<float>(picture.width) - boxWidth));
    y = std::clamp(y, 0.0f, std::max(0.0f, static_cast<float>(picture.height) - boxHeight));
    fillRect(picture, x, y, x + boxWidth, y + boxHeight, kPanel, kPanelAlpha);
    face.draw(picture, x + pad, y + pad, legend.unit, kText);
    const float barX = x + pad, barY = y + pad + size + size * 0.5f;
    // The densest colour at the top, as the legend on screen.
    for (int row = 0; row < static_cast<int>(kLegendBar); ++row)
        fillRect(picture, barX, barY + static_cast<float>(row), barX + 10.0f, barY + static_cast<float>(row + 1),
                 table.colour(1.0f - (static_cast<float>(row) + 0.5f) / kLegendBar));
    for (std::size_t i = 0; i < legend.ticks.size() && i < legend.labels.size(); ++i) {
        const float tickY = barY + (1.0f - legend.ticks[i].level) * kLegendBar;
        fillRect(picture, barX + 10.0f, tickY - 0.5f, barX + 15.0f, tickY + 0.5f, kText);
        face.draw(picture, barX + 18.0f, tickY - size * 0.5f, legend.labels[i], kText);
    }
    if (!legend.frameMaximum.empty())
        face.draw(picture, barX, barY + kLegendBar + size * 0.5f, legend.frameMaximum, Rgb{160, 160, 160});
}

void drawGuides(RgbPicture& picture, const TextFace& face, const GeoFrame& frame) {
    const double width = picture.width, height = picture.height;
    // The picture is the frame's map, unzoomed: the view that fills it.
    const analysis::ViewTransform view{};
    const PanelRect map{0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)};
    const float lineHeight = face.lineHeight();
    float lastLabelEnd = -1e9f;
    for (const analysis::GraticuleLine& line : analysis::graticule(frame, 0.0, 1.0, 0.0, 1.0)) {
        if (line.latitude) {
            const float y = static_cast<float>(analysis::windowPointOf({0.0, line.at}, width, height, view).y);
            fillRect(picture, 0.0f, y - 0.5f, map.width, y + 0.5f, kLine, kLineAlpha);
            const float labelY = y - lineHeight - 1.0f >= map.y ? y - lineHeight - 1.0f : y + 1.0f;
            if (labelY + 2.0f * lineHeight + 2.0f > map.y + map.height) continue;
            face.draw(picture, map.x + 4.0f, labelY, line.label, kLabel);
        } else {
            const float x = static_cast<float>(analysis::windowPointOf({line.at, 0.0}, width, height, view).x);
            fillRect(picture, x - 0.5f, 0.0f, x + 0.5f, map.height, kLine, kLineAlpha);
            const float textWidth = face.width(line.label);
            const float labelX = lineLabelX(x, textWidth, map);
            if (labelX < lastLabelEnd + 6.0f) continue;
            lastLabelEnd = labelX + textWidth;
            face.draw(picture, labelX, map.y + map.height - lineHeight - 2.0f, line.label, kLabel);
        }
    }
    const BarPlace place = scaleBarPlace(map);
    const analysis::ScaleBar bar = analysis::scaleBar(analysis::metresPerPixel(frame, width, view), place.maxPixels);
    if (bar.pixels <= 0.0) return;
    const float right = place.right, left = right - static_cast<float>(bar.pixels), y = place.y;
    fillRect(picture, left, y - 1.0f, right, y + 1.0f, kBar);
    fillRect(picture, left - 1.0f, y - 5.0f, left + 1.0f, y + 1.0f, kBar);
    fillRect(picture, right - 1.0f, y - 5.0f, right + 1.0f, y + 1.0f, kBar);
    face.draw(picture, 0.5f * (left + right - face.width(bar.label)), y - lineHeight - 4.0f, bar.label, kBar);
}

void drawAttribution(RgbPicture& picture, const TextFace& face, std::string_view text) {
    const PanelRect map{0.0f, 0.0f, static_cast<float>(picture.width), static_cast<float>(picture.height)};
    const PanelPoint corner = attributionPlace(map, {face.width(text), face.lineHeight()});
    fillRect(picture, corner.x - 4.0f, corner.y - 2.0f, map.width, map.height, Rgb{20, 22, 26}, 200.0f / 255.0f);
    face.draw(picture, corner.x, corner.y, text, kBar);
}

void drawClock(RgbPicture& picture, const TextFace& face, std::string_view text) {
    // Top centre: the corners hold the graticule's labels and the legend.
    const float pad = 6.0f;
    const float boxWidth = 2.0f * pad + face.width(text);
    const float x = 0.5f * (static_cast<float>(picture.width) - boxWidth);
    fillRect(picture, x, 8.0f, x + boxWidth, 8.0f + 2.0f * pad + face.lineHeight(), kPanel, kPanelAlpha);
    face.draw(picture, x + pad, 8.0f + pad, text, kText);
}
