// The map square with the real shaders and images (working directory: the
// source tree), drawn into an off-screen target and read back.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "GlContext.h"
#include "render/HeatmapTexture.h"
#include "render/MapRenderer.h"
#include "render/Texture.h"

namespace {

constexpr int kSide = 200;  // pixels of the off-screen target
constexpr int N = 1000;     // grid side

struct Rgb {
    int r, g, b;
};

class MapRendererTest : public GlTest {
protected:
    void SetUp() override {
        GlTest::SetUp();
        if (IsSkipped()) return;
        glGenFramebuffers(1, &fbo);
        glGenRenderbuffers(1, &colour);
        glBindRenderbuffer(GL_RENDERBUFFER, colour);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, kSide, kSide);
        glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
        ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
        glViewport(0, 0, kSide, kSide);
        heatmap = createHeatmapTexture(N);
        lut = loadTexture("resources/lut.png");
    }
    void TearDown() override {
        if (window != nullptr) {
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            glDeleteFramebuffers(1, &fbo);
            glDeleteRenderbuffers(1, &colour);
            glDeleteTextures(1, &heatmap);
            glDeleteTextures(1, &lut);
        }
        GlTest::TearDown();
    }

    // Draws once and returns the pixels, row 0 at the bottom.
    std::vector<std::uint8_t> render(MapRenderer& renderer, const std::vector<float>& grid) {
        uploadHeatmap(heatmap, N, grid);
        glClearColor(1.0f, 0.0f, 1.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        renderer.draw(heatmap, lut);
        std::vector<std::uint8_t> pixels(kSide * kSide * 4);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kSide, kSide, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        return pixels;
    }
    static Rgb at(const std::vector<std::uint8_t>& pixels, int x, int y) {
        const std::size_t i = (static_cast<std::size_t>(y) * kSide + x) * 4;
        return {pixels[i], pixels[i + 1], pixels[i + 2]};
    }
    // Sets the grid cells that lie under target pixel (x, y) and its neighbours.
    static void paint(std::vector<float>& grid, int x, int y, float v) {
        const int cells = N / kSide;
        for (int r = (y - 1) * cells; r < (y + 2) * cells; ++r)
            for (int c = (x - 1) * cells; c < (x + 2) * cells; ++c) grid[static_cast<std::size_t>(r) * N + c] = v;
    }

    GLuint fbo = 0, colour = 0, heatmap = 0, lut = 0;
};

bool same(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }
bool grey(Rgb c) { return c.b >= c.r && std::abs(c.r - c.g) < 20; }  // the map's colours

}  // namespace

TEST_F(MapRendererTest, RealShadersAndImagesLoadSilently) {
    CaptureCout out;
    MapRenderer renderer;
    EXPECT_EQ(out.text(), "");
    GLint linked = 0;
    glGetProgramiv(renderer.programId(), GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
}

TEST_F(MapRendererTest, NoHeatShowsTheMapAndSpecialValuesShowNoHeat) {
    MapRenderer renderer;
    const std::vector<float> empty(static_cast<std::size_t>(N) * N, 0.0f);
    const auto plain = render(renderer, empty);
    // The whole target is map: nothing of the magenta clear colour is left.
    for (int y = 0; y < kSide; y += 7)
        for (int x = 0; x < kSide; x += 7) ASSERT_TRUE(grey(at(plain, x, y))) << x << "," << y;

    std::vector<float> odd = empty;
    paint(odd, 20, 100, std::numeric_limits<float>::quiet_NaN());
    paint(odd, 60, 100, std::numeric_limits<float>::infinity());
    paint(odd, 100, 100, -std::numeric_limits<float>::infinity());
    paint(odd, 140, 100, -0.5f);
    const auto shown = render(renderer, odd);
    for (int x : {20, 60, 100, 140}) EXPECT_TRUE(same(at(shown, x, 100), at(plain, x, 100))) << x;
}

TEST_F(MapRendererTest, DenseCellsAreOpaqueBrightAndThinOnesTranslucent) {
    MapRenderer renderer;
    std::vector<float> grid(static_cast<std::size_t>(N) * N, 0.0f);
    const auto plain = render(renderer, grid);
    paint(grid, 50, 50, 1.0f);
    paint(grid, 150, 150, 0.05f);
    paint(grid, 100, 100, 7.0f);  // above 1: shown as the densest colour
    const auto shown = render(renderer, grid);
    // v = 1 is the bottom row of lut.png: inferno's pale yellow, opaque.
    const Rgb top = at(shown, 50, 50);
    EXPECT_NEAR(top.r, 252, 4);
    EXPECT_NEAR(top.g, 255, 4);
    EXPECT_NEAR(top.b, 164, 6);
    EXPECT_TRUE(same(at(shown, 100, 100), top));
    // v = 0.05: the map still shows through a dark, translucent tint.
    const Rgb thin = at(shown, 150, 150);
    const Rgb under = at(plain, 150, 150);
    EXPECT_FALSE(same(thin, under));
    EXPECT_GT(thin.r + thin.g + thin.b, 0);
    EXPECT_LT(thin.g, under.g + 1);  // darkened towards inferno's low end
}

TEST_F(MapRendererTest, GridRowZeroIsSouthAndColumnZeroWest) {
    MapRenderer renderer;
    std::vector<float> grid(static_cast<std::size_t>(N) * N, 0.0f);
    paint(grid, 150, 30, 1.0f);  // grid rows 125..165 (south), columns 745..765 (east)
    const auto shown = render(renderer, grid);
    EXPECT_FALSE(grey(at(shown, 150, 30)));
    EXPECT_TRUE(grey(at(shown, 150, 170)));  // mirrored north
    EXPECT_TRUE(grey(at(shown, 50, 30)));    // mirrored west
}

TEST_F(MapRendererTest, ZoomAndPanMoveTheHeatWithTheMap) {
    MapRenderer renderer;
    std::vector<float> grid(static_cast<std::size_t>(N) * N, 0.0f);
    paint(grid, 125, 100, 1.0f);  // clip x = +0.25 at the centre line
    renderer.zoom(1.0f);          // zoom 2: clip x = +0.5, pixel 150
    auto shown = render(renderer, grid);
    EXPECT_FALSE(grey(at(shown, 150, 100)));
    EXPECT_TRUE(grey(at(shown, 125, 100)));
    // Pan the map left by 0.5 clip units: after the glide, back at pixel 100.
    renderer.translate({-0.5f, 0.0f});
    for (int i = 0; i < 300; ++i) shown = render(renderer, grid);
    EXPECT_NEAR(renderer.currentView().translation.x, -0.5f, 1e-5f);
    EXPECT_FALSE(grey(at(shown, 100, 100)));
    EXPECT_TRUE(grey(at(shown, 150, 100)));
    renderer.reset();
    for (int i = 0; i < 300; ++i) shown = render(renderer, grid);
    EXPECT_FALSE(grey(at(shown, 125, 100)));
}

// The preview the first frame shows is the same map as the full image that
// replaces it, and the replacement really reaches the screen.
TEST_F(MapRendererTest, PreviewIsTheSameMapAndTheFullImageReplacesIt) {
    MapRenderer renderer(decodeImageLevels(nativePath(kMapPreviewPath)));
    const std::vector<float> empty(static_cast<std::size_t>(N) * N, 0.0f);
    const auto preview = render(renderer, empty);
    renderer.setMapImage(decodeImageLevels(nativePath(kMapImagePath)));
    const auto full = render(renderer, empty);
    long difference = 0;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            const Rgb a = at(preview, x, y), b = at(full, x, y);
            difference += std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
        }
    // Minified to 200 pixels both average the same streets.
    EXPECT_LT(difference / (kSide * kSide * 3), 6);

    ImageLevels red;
    red.levels = {{255, 0, 0, 255}};
    red.widths = {1};
    red.heights = {1};
    renderer.setMapImage(red);
    EXPECT_TRUE(same(at(render(renderer, empty), kSide / 2, kSide / 2), Rgb{255, 0, 0}));
}
