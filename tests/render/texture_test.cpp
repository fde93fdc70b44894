// loadTexture and the heatmap texture against a real driver.
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <cstdint>
#include <vector>

#include "../TempDir.h"
#include "GlContext.h"
#include "render/HeatmapTexture.h"
#include "render/ImageLevels.h"
#include "render/Texture.h"

namespace {

class TextureTest : public GlTest {
protected:
    TempDir dir;

    // Level-0 texels as RGBA bytes, first row = texture row t = 0.
    static std::vector<std::uint8_t> texels(GLuint texture, int& width, int& height) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        std::vector<std::uint8_t> data(static_cast<std::size_t>(width) * height * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        if (!data.empty()) glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, data.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        return data;
    }
    static GLint parameter(GLuint texture, GLenum name) {
        GLint value = 0;
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
        glBindTexture(GL_TEXTURE_2D, 0);
        return value;
    }
};

}  // namespace

TEST_F(TextureTest, RgbFileBecomesOpaqueRgbaBottomRowFirst) {
    // 2 x 3 picture: top row red, green; middle blue, white; bottom black, grey.
    const std::uint8_t picture[] = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 128, 128, 128};
    const std::string path = (dir.root() / "rgb.png").string();
    ASSERT_TRUE(stbi_write_png(path.c_str(), 2, 3, 3, picture, 2 * 3));
    CaptureCout out;
    const GLuint texture = loadTexture(path.c_str());
    EXPECT_EQ(out.text(), "");
    int w = 0, h = 0;
    const auto data = texels(texture, w, h);
    ASSERT_EQ(w, 2);
    ASSERT_EQ(h, 3);
    const std::vector<std::uint8_t> expected = {0,   0,   0,   255, 128, 128, 128, 255,   // bottom row first
                                                0,   0,   255, 255, 255, 255, 255, 255,   //
                                                255, 0,   0,   255, 0,   255, 0,   255};  // top row last
    EXPECT_EQ(data, expected);
    EXPECT_EQ(parameter(texture, GL_TEXTURE_WRAP_S), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(parameter(texture, GL_TEXTURE_WRAP_T), GL_CLAMP_TO_EDGE);
    EXPECT_EQ(parameter(texture, GL_TEXTURE_MIN_FILTER), GL_LINEAR_MIPMAP_LINEAR);
    EXPECT_EQ(parameter(texture, GL_TEXTURE_MAG_FILTER), GL_LINEAR);
    // The mipmap chain is built: level 1 of a 2 x 3 image is 1 x 1.
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint level1 = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &level1);
    EXPECT_EQ(level1, 1);
    GLint bound = -1;
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &texture);
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(bound, 0);
}

TEST_F(TextureTest, GreyFileGivesEqualChannels) {
    const std::uint8_t picture[] = {10, 200, 77, 255};
    const std::string path = (dir.root() / "grey.png").string();
    ASSERT_TRUE(stbi_write_png(path.c_str(), 2, 2, 1, picture, 2));
    const GLuint texture = loadTexture(path.c_str());
    int w = 0, h = 0;
    const auto data = texels(texture, w, h);
    ASSERT_EQ(data.size(), 16u);
    const std::vector<std::uint8_t> expected = {77, 77, 77, 255, 255, 255, 255, 255,
                                                10, 10, 10, 255, 200, 200, 200, 255};
    EXPECT_EQ(data, expected);
    glDeleteTextures(1, &texture);
}

TEST_F(TextureTest, MissingOrUndecodableFileSaysWhyAndGivesAnEmptyTexture) {
    const std::string garbage = dir.write("garbage.png", "not an image at all");
    const std::string missing = (dir.root() / "missing.png").string();
    // The system's reason for a missing file, the decoder's for garbage.
    // Both ways in: the small textures', and the map's decoded off the main thread.
    const std::function<GLuint(const std::string&)> loaders[] = {
        [](const std::string& path) { return loadTexture(path.c_str()); },
        [](const std::string& path) { return createTexture(decodeImageLevels(path)); }};
    for (const auto& load : loaders)
    for (const auto& [path, reason] : {std::pair<std::string, std::string>{missing, "No such file or directory\n"},
                                       std::pair<std::string, std::string>{garbage, ""}}) {
        CaptureCout out;
        const GLuint texture = load(path);
        const std::string text = out.text();
        const std::string start = "Could not load image \"" + path + "\": ";
        EXPECT_EQ(text.rfind(start + reason, 0), 0u) << text;
        EXPECT_GT(text.size(), start.size() + 1) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_NE(texture, 0u) << path;
        int w = -1, h = -1;
        EXPECT_TRUE(texels(texture, w, h).empty()) << path;
        EXPECT_EQ(w, 0);
        glDeleteTextures(1, &texture);
    }
}

TEST_F(TextureTest, NativePathTurnsBackslashesIntoSlashes) {
    EXPECT_EQ(nativePath("resources\\map.png"), "resources/map.png");
    EXPECT_EQ(nativePath("shaders\\map.vert"), "shaders/map.vert");
    EXPECT_EQ(nativePath("resources/lut.png"), "resources/lut.png");
}

TEST_F(TextureTest, HeatmapGridRoundTripsRowZeroFirst) {
    constexpr int N = 1000;
    const GLuint texture = createHeatmapTexture(N);
    std::vector<float> grid(static_cast<std::size_t>(N) * N);
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) grid[static_cast<std::size_t>(r) * N + c] = r + c / 1000.0f;
    grid[0] = 1.0f;
    grid[5] = 0.0f;
    grid[6] = std::nanf("");
    uploadHeatmap(texture, N, grid);
    std::vector<float> back(grid.size(), -7.0f);
    glBindTexture(GL_TEXTURE_2D, texture);
    GLint format = 0, immutable = 0, min = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_IMMUTABLE_FORMAT, &immutable);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RED, GL_FLOAT, back.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(format, GL_R32F);
    EXPECT_EQ(immutable, GL_TRUE);
    EXPECT_EQ(min, GL_LINEAR);
    EXPECT_TRUE(std::isnan(back[6]));
    back[6] = grid[6] = 0.0f;
    EXPECT_EQ(back, grid);  // bit-exact, texel (x = c, y = r)
    // A second upload overwrites in place.
    std::fill(grid.begin(), grid.end(), 0.25f);
    uploadHeatmap(texture, N, grid);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RED, GL_FLOAT, back.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(back, grid);
    glDeleteTextures(1, &texture);
}
