#pragma once
// The map as the viewer draws it, painted without a window for the tools:
// the ground (the shipped map, or the plain ground with its graticule and
// scale bar), the heat laid over it as the map shader lays it, and the
// legend, clock and attribution in text from a TrueType font. No GL, no
// ImGui: the layout comes from the same plain functions the viewer uses.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/ReadoutText.h"
#include "model/GeoFrame.h"

struct Rgb {
    unsigned char r = 0, g = 0, b = 0;
};

// Three bytes a pixel, the top row first.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    RgbPicture() = default;
    RgbPicture(int w, int h, Rgb fill);
    // Blends `colour` over the pixel by `alpha` (0..1); pixels outside are ignored.
    void blend(int x, int y, Rgb colour, float alpha);
};

// A colour table image: density level 0 in its top row, 1 in its bottom row.
struct ColourTable {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    Rgb colour(float level) const;
};

// The shipped map's ground, where a frame has no map of its own.
inline constexpr Rgb kPlainGround{26, 29, 34};

// The ground `width` x `height` pixels: `map` (covering the frame exactly)
// resampled to it, or the plain ground when `map` is empty.
RgbPicture groundPicture(int width, int height, const RgbPicture& map);

// Lays the display levels of a 1000 x 1000 grid (row 0 south) over the
// picture as the map shader does: no heat leaves the ground, thin heat is
// translucent (alpha 0.35) and from half the maximum on it is opaque.
void layHeat(RgbPicture& picture, const std::vector<float>& levels, const ColourTable& table);

// The viewer's text face: DejaVu Sans from fonts-dejavu-core.
inline constexpr const char* kFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

class TextFace {
public:
    // Throws std::runtime_error "cannot read font \"PATH\": REASON".
    explicit TextFace(const std::string& path, float pixels = 13.0f);
    float width(std::string_view utf8) const;
    float lineHeight() const { return lineHeight_; }
    // Draws UTF-8 text with its top-left at (x, y).
    void draw(RgbPicture& picture, float x, float y, std::string_view utf8, Rgb colour) const;

private:
    struct Glyph {
        int width = 0, height = 0, left = 0, top = 0;
        float advance = 0.0f;
        std::vector<unsigned char> coverage;
    };
    const Glyph& glyph(char32_t codepoint) const;
    std::vector<unsigned char> file_;
    std::vector<unsigned char> info_;  // stbtt_fontinfo, kept opaque here
    float scale_ = 1.0f;
    float ascent_ = 0.0f;
    float lineHeight_ = 0.0f;
    mutable std::map<char32_t, Glyph> glyphs_;
};

// A filled rectangle [x0, x1) x [y0, y1) blended by `alpha`.
void fillRect(RgbPicture& picture, float x0, float y0, float x1, float y1, Rgb colour, float alpha = 1.0f);

// The legend as the viewer shows it (the unit, the colour bar with its
// ticks, the frame's maximum when the scale is locked) in a dark box with its
// top-left at (x, y), kept inside the picture; returns the box's width.
float legendWidth(const TextFace& face, const analysis::Legend& legend);
void drawLegend(RgbPicture& picture, const TextFace& face, const analysis::Legend& legend, const ColourTable& table,
                float x, float y);
// The graticule with its labels and the scale bar, as the viewer draws them
// over a plain ground, for a picture the frame's map fills exactly.
void drawGuides(RgbPicture& picture, const TextFace& face, const GeoFrame& frame);
// A line of text in a dark box: the attribution in the bottom-right corner,
// the clock at the top's centre.
void drawAttribution(RgbPicture& picture, const TextFace& face, std::string_view text);
void drawClock(RgbPicture& picture, const TextFace& face, std::string_view text);

inline constexpr const char* kMapAttribution = "Map data \xC2\xA9 OpenStreetMap contributors";
