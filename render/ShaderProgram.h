#pragma once
// A linked GL program built from a vertex and a fragment shader file, with
// typed uniform setters. Construction never fails: every problem is printed
// on standard output and the object keeps whatever program GL produced.
#include <glad/gl.h>

#include <glm/glm.hpp>
#include <string>

class ShaderProgram {
public:
    ShaderProgram(const char* vertexShaderPath, const char* fragmentShaderPath);
    ~ShaderProgram();
    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;

    void use();
    void setBool(const std::string& name, const bool& value);
    void setInt(const std::string& name, int value);
    void setUInt(const std::string& name, GLuint value);
    void setFloat(const std::string& name, const float& value);
    void setVec2(const std::string& name, const glm::vec2& value);
    void setVec3(const std::string& name, const float& x, const float& y, const float& z);
    void setVec3(const std::string& name, const glm::vec3& value);
    void setMat4(const std::string& name, const glm::mat4& value);
    float getFloat(const std::string& name);

    GLuint id() const { return programID; }

private:
    GLuint programID = 0;

    int compileAndCheck(GLuint shader);
};
