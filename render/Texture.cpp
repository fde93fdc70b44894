#include "render/Texture.h"

#include <stb_image.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "model/RuntimeFiles.h"

GLuint loadTexture(const char* path) {
    int width = 0;
    int height = 0;
    int channels = 0;
    stbi_set_flip_vertically_on_load(true);
    // Opened here so a missing file is reported with the system's reason;
    // stb_image's own reason covers what the decoder refuses.
    unsigned char* pixels = nullptr;
    if (std::FILE* file = std::fopen(path, "rb")) {
        pixels = stbi_load_from_file(file, &width, &height, &channels, 4);
        if (pixels == nullptr) {
            const char* reason = stbi_failure_reason();
            std::cout << "Could not load image \"" << path << "\": " << (reason ? reason : "cannot decode")
                      << std::endl;
        }
        std::fclose(file);
    } else {
        std::cout << "Could not load image \"" << path << "\": " << std::strerror(errno) << std::endl;
    }

    GLuint textureID = 0;
    glGenTextures(1, &textureID);
    glBindTexture(GL_TEXTURE_2D, textureID);
    // Without pixels there is no size to give GL; the texture stays without
    // an image, which GL samples as black.
    if (pixels != nullptr) {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
        glGenerateMipmap(GL_TEXTURE_2D);
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    stbi_image_free(pixels);
    glBindTexture(GL_TEXTURE_2D, 0);
    return textureID;
}

std::string nativePath(const char* path) { return runtimeFile(path); }
