#include "render/ImageLevels.h"

#include <stb_image.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

ImageLevels decodeImageLevels(const std::string& path) {
    ImageLevels image;
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_set_flip_vertically_on_load_thread(1);
    image.path = path;
    // Opened here so a missing file is reported with the system's reason;
    // stb_image's own reason covers what the decoder refuses.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        image.problem = std::strerror(errno);
        return image;
    }
    unsigned char* pixels = stbi_load_from_file(file, &width, &height, &channels, 4);
    std::fclose(file);
    if (pixels == nullptr) {
        const char* reason = stbi_failure_reason();
        image.problem = reason ? reason : "cannot decode";
        return image;
    }
    std::vector<unsigned char> rgba(pixels, pixels + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    stbi_image_free(pixels);
    ImageLevels levels = imageLevelsOf(std::move(rgba), width, height);
    levels.path = path;
    return levels;
}

ImageLevels imageLevelsOf(std::vector<unsigned char> rgba, int width, int height) {
    ImageLevels image;
    if (width <= 0 || height <= 0 || rgba.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        image.problem = "the image has no pixels";
        return image;
    }
    image.levels.push_back(std::move(rgba));
    image.widths.push_back(width);
    image.heights.push_back(height);
    // Each level averages 2 x 2 texels of the one above; an odd edge repeats
    // its last texel.
    while (width > 1 || height > 1) {
        const int w = std::max(1, width / 2);
        const int h = std::max(1, height / 2);
        const std::vector<unsigned char>& above = image.levels.back();
        std::vector<unsigned char> level(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
        for (int y = 0; y < h; ++y) {
            const int y0 = std::min(2 * y, height - 1);
            const int y1 = std::min(2 * y + 1, height - 1);
            for (int x = 0; x < w; ++x) {
                const int x0 = std::min(2 * x, width - 1);
                const int x1 = std::min(2 * x + 1, width - 1);
                for (int c = 0; c < 4; ++c) {
                    const auto at = [&](int px, int py) {
                        return static_cast<unsigned>(above[(static_cast<std::size_t>(py) * width + px) * 4 + c]);
                    };
                    level[(static_cast<std::size_t>(y) * w + x) * 4 + c] =
                        static_cast<unsigned char>((at(x0, y0) + at(x1, y0) + at(x0, y1) + at(x1, y1) + 2) / 4);
                }
            }
        }
        image.levels.push_back(std::move(level));
        image.widths.push_back(w);
        image.heights.push_back(h);
        width = w;
        height = h;
    }
    return image;
}

GLuint createTexture(const ImageLevels& image) {
    if (image.levels.empty())
        std::cout << "Could not load image \"" << image.path << "\": " << image.problem << std::endl;
    GLuint textureID = 0;
    glGenTextures(1, &textureID);
    glBindTexture(GL_TEXTURE_2D, textureID);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    for (std::size_t level = 0; level < image.levels.size(); ++level)
        glTexImage2D(GL_TEXTURE_2D, static_cast<GLint>(level), GL_RGBA, image.widths[level], image.heights[level], 0,
                     GL_RGBA, GL_UNSIGNED_BYTE, image.levels[level].data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindTexture(GL_TEXTURE_2D, 0);
    return textureID;
}
