// trackora_mapgen: renders the viewer's map image from the road segments of
// the sample box, and the colour table of its legend.
//
//   trackora_mapgen map ROADS.csv OUT.png [SIZE [FONT.ttf]]
//   trackora_mapgen rails ROADS.csv OUT.png [SIZE]
//   trackora_mapgen lut OUT.png
#include <CLI/CLI.hpp>
#include <stb_image_write.h>
#include <stb_truetype.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "gis/MapRaster.h"

namespace {

constexpr const char* kAttribution = "Map data \xC2\xA9 OpenStreetMap contributors";
constexpr const char* kDefaultFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr mapgen::Rgb kLabelBox{18, 20, 24};
constexpr mapgen::Rgb kLabelText{150, 156, 166};

struct Segment {
    double lat1, lon1, lat2, lon2;
    mapgen::RoadStyle style;
    bool railway;
};

bool readSegments(const std::string& path, std::vector<Segment>& segments) {
    std::ifstream in(path);
    if (!in) {
        std::cerr << "trackora_mapgen: cannot open \"" << path << "\"\n";
        return false;
    }
    std::string line;
    std::getline(in, line);  // header
    long lineNumber = 1;
    long skipped = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::array<std::string, 6> field;
        std::stringstream fields(line);
        int count = 0;
        while (count < 6 && std::getline(fields, field[count], ',')) ++count;
        Segment s{};
        char* end = nullptr;
        bool ok = count >= 5;
        double* numbers[4] = {&s.lat1, &s.lon1, &s.lat2, &s.lon2};
        for (int i = 0; ok && i < 4; ++i) {
            *numbers[i] = std::strtod(field[i].c_str(), &end);
            ok = end != field[i].c_str() && *end == '\0' && std::isfinite(*numbers[i]);
        }
        if (!ok) {
            ++skipped;
            continue;
        }
        s.style = mapgen::styleOf(field[4]);
        s.railway = mapgen::isRailway(field[4]);
        segments.push_back(s);
    }
    if (skipped > 0)
        std::cerr << "trackora_mapgen: skipped " << skipped << " malformed lines of \"" << path << "\"\n";
    return true;
}

// Decodes UTF-8 into code points; the attribution needs the copyright sign.
std::vector<int> codePoints(const std::string& text) {
    std::vector<int> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            out.push_back(((c & 0x1F) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3F));
            i += 2;
        } else {
            i += 1;
        }
    }
    return out;
}

// Writes the attribution in the south-east corner on a dark label box.
bool drawAttribution(std::vector<std::uint8_t>& rgb, int width, int height, const std::string& fontPath) {
    std::ifstream in(fontPath, std::ios::binary);
    if (!in) {
        std::cerr << "trackora_mapgen: cannot open font \"" << fontPath << "\"\n";
        return false;
    }
    const std::vector<unsigned char> font((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    stbtt_fontinfo info;
    if (!stbtt_InitFont(&info, font.data(), stbtt_GetFontOffsetForIndex(font.data(), 0))) {
        std::cerr << "trackora_mapgen: \"" << fontPath << "\" is not a TrueType font\n";
        return false;
    }
    const float pixelHeight = std::max(12.0f, 40.0f * width / 4096.0f);
    const float scale = stbtt_ScaleForPixelHeight(&info, pixelHeight);
    int ascent = 0, descent = 0, gap = 0;
    stbtt_GetFontVMetrics(&info, &ascent, &descent, &gap);
    const std::vector<int> glyphs = codePoints(kAttribution);
    float textWidth = 0.0f;
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        int advance = 0, bearing = 0;
        stbtt_GetCodepointHMetrics(&info, glyphs[i], &advance, &bearing);
        textWidth += advance * scale;
        if (i + 1 < glyphs.size()) textWidth += scale * stbtt_GetCodepointKernAdvance(&info, glyphs[i], glyphs[i + 1]);
    }
    const int pad = static_cast<int>(pixelHeight * 0.4f);
    const int boxW = static_cast<int>(std::ceil(textWidth)) + 2 * pad;
    const int boxH = static_cast<int>(std::ceil((ascent - descent) * scale)) + 2 * pad;
    const int boxX = width - boxW;
    const int boxY = height - boxH;
    for (int y = boxY; y < height; ++y)
        for (int x = boxX; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = kLabelBox.r;
            p[1] = kLabelBox.g;
            p[2] = kLabelBox.b;
        }
    const int baseline = boxY + pad + static_cast<int>(std::lround(ascent * scale));
    float penX = static_cast<float>(boxX + pad);
    for (std::size_t i = 0; i < glyphs.size(); ++i) {
        int advance = 0, bearing = 0;
        stbtt_GetCodepointHMetrics(&info, glyphs[i], &advance, &bearing);
        int gw = 0, gh = 0, gx = 0, gy = 0;
        const float shift = penX - std::floor(penX);
        unsigned char* bitmap =
            stbtt_GetCodepointBitmapSubpixel(&info, scale, scale, shift, 0.0f, glyphs[i], &gw, &gh, &gx, &gy);
        const int left = static_cast<int>(std::floor(penX)) + gx;
        for (int row = 0; row < gh; ++row)
            for (int col = 0; col < gw; ++col) {
                const int x = left + col;
                const int y = baseline + gy + row;
                if (x < 0 || y < 0 || x >= width || y >= height) continue;
                const float a = bitmap[row * gw + col] / 255.0f;
                std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
                p[0] = static_cast<std::uint8_t>(std::lround(p[0] + (kLabelText.r - p[0]) * a));
                p[1] = static_cast<std::uint8_t>(std::lround(p[1] + (kLabelText.g - p[1]) * a));
                p[2] = static_cast<std::uint8_t>(std::lround(p[2] + (kLabelText.b - p[2]) * a));
            }
        stbtt_FreeBitmap(bitmap, nullptr);
        penX += advance * scale;
        if (i + 1 < glyphs.size()) penX += scale * stbtt_GetCodepointKernAdvance(&info, glyphs[i], glyphs[i + 1]);
    }
    std::cout << "attribution box: x " << boxX << ".." << width - 1 << ", y " << boxY << ".." << height - 1
              << " (colour " << int(kLabelBox.r) << "," << int(kLabelBox.g) << "," << int(kLabelBox.b) << ")\n";
    return true;
}

int renderMap(const std::string& roadsPath, const std::string& outPath, int size, const std::string& fontPath) {
    std::vector<Segment> segments;
    if (!readSegments(roadsPath, segments)) return 1;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(size) * size * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = mapgen::kBackground.r;
        rgb[i + 1] = mapgen::kBackground.g;
        rgb[i + 2] = mapgen::kBackground.b;
    }
    mapgen::Coverage coverage(size, size);
    const double widthScale = size / 4096.0;
    for (int layer = 0; layer < mapgen::kLayerCount; ++layer) {
        mapgen::Rgb colour{};
        bool any = false;
        for (const Segment& s : segments) {
            if (s.style.layer != layer) continue;
            mapgen::drawSegment(coverage, mapgen::project(s.lat1, s.lon1, size, size),
                                mapgen::project(s.lat2, s.lon2, size, size), s.style.width * widthScale);
            colour = s.style.colour;
            any = true;
        }
        if (any) mapgen::composite(rgb, coverage, colour);
    }
    if (!drawAttribution(rgb, size, size, fontPath)) return 1;
    if (!stbi_write_png(outPath.c_str(), size, size, 3, rgb.data(), size * 3)) {
        std::cerr << "trackora_mapgen: cannot write \"" << outPath << "\"\n";
        return 1;
    }
    std::cout << "wrote " << outPath << ": " << size << " x " << size << ", " << segments.size()
              << " road segments\n";
    return 0;
}

// The railway mask: one grey channel, 255 where railway track covers at
// least half of the pixel and 0 elsewhere (two values compress far better
// than soft edges), the same size and projection as the map.
// The map shows railways only as faint lines among the roads, so the
// default-data generator reads them from here instead.
int renderRails(const std::string& roadsPath, const std::string& outPath, int size) {
    std::vector<Segment> segments;
    if (!readSegments(roadsPath, segments)) return 1;
    mapgen::Coverage coverage(size, size);
    std::size_t count = 0;
    for (const Segment& s : segments) {
        if (!s.railway) continue;
        mapgen::drawSegment(coverage, mapgen::project(s.lat1, s.lon1, size, size),
                            mapgen::project(s.lat2, s.lon2, size, size), mapgen::kRailMaskWidth * size / 4096.0);
        ++count;
    }
    std::vector<std::uint8_t> grey(coverage.alpha.size());
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = coverage.alpha[i] >= 0.5f ? 255 : 0;
    if (!stbi_write_png(outPath.c_str(), size, size, 1, grey.data(), size)) {
        std::cerr << "trackora_mapgen: cannot write \"" << outPath << "\"\n";
        return 1;
    }
    std::cout << "wrote " << outPath << ": " << size << " x " << size << ", " << count << " railway segments\n";
    return 0;
}

int renderLut(const std::string& outPath) {
    constexpr int kWidth = 16;
    constexpr int kHeight = 256;
    const std::vector<std::uint8_t> image = mapgen::lutImage(kWidth, kHeight);
    if (!stbi_write_png(outPath.c_str(), kWidth, kHeight, 3, image.data(), kWidth * 3)) {
        std::cerr << "trackora_mapgen: cannot write \"" << outPath << "\"\n";
        return 1;
    }
    std::cout << "wrote " << outPath << ": " << kWidth << " x " << kHeight << " inferno, darkest row on top\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Renders the viewer's map image from road segments, and the colour table of its legend.",
                 "trackora_mapgen"};
    app.require_subcommand(1);
    std::string roadsPath, outPath, sizeText, fontPath = kDefaultFont;
    CLI::App* map = app.add_subcommand("map", "The map image: roads, labels and attribution");
    map->add_option("ROADS", roadsPath, "The road segments (.csv)")->required();
    map->add_option("OUT", outPath, "The image to write (.png)")->required();
    map->add_option("SIZE", sizeText, "Pixels on the longer side, 256..16384 (default 4096)");
    map->add_option("FONT", fontPath, "The labels' TrueType font")->capture_default_str();
    CLI::App* rails = app.add_subcommand("rails", "The railways layer alone");
    rails->add_option("ROADS", roadsPath, "The road segments (.csv)")->required();
    rails->add_option("OUT", outPath, "The image to write (.png)")->required();
    rails->add_option("SIZE", sizeText, "Pixels on the longer side, 256..16384 (default 4096)");
    CLI::App* lut = app.add_subcommand("lut", "The legend's colour table");
    lut->add_option("OUT", outPath, "The image to write (.png)")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << (app.get_subcommands().empty() ? app.help() : app.get_subcommands().front()->help());
        return 0;
    } catch (const CLI::ParseError& e) {
        std::cerr << "trackora_mapgen: " << e.what() << " (--help lists the options)\n";
        return 2;
    }
    if (lut->parsed()) return renderLut(outPath);
    int size = 4096;
    if (!sizeText.empty()) {
        char* end = nullptr;
        const long value = std::strtol(sizeText.c_str(), &end, 10);
        if (*end != '\0' || value < 256 || value > 16384) {
            std::cerr << "trackora_mapgen: SIZE must be a whole number from 256 to 16384, not \"" << sizeText << "\"\n";
            return 2;
        }
        size = static_cast<int>(value);
    }
    if (rails->parsed()) return renderRails(roadsPath, outPath, size);
    return renderMap(roadsPath, outPath, size, fontPath);
}
