#include "render/ShaderProgram.h"

#include <fstream>
#include <iostream>
#include <sstream>

ShaderProgram::ShaderProgram(const char* vertexShaderPath, const char* fragmentShaderPath) {
    std::ifstream vertexShaderFile;
    std::ifstream fragmentShaderFile;
    std::string vertexShaderCodeString;
    std::string fragmentShaderCodeString;
    vertexShaderFile.exceptions(std::ifstream::failbit | std::ifstream::badbit);
    fragmentShaderFile.exceptions(std::ifstream::failbit | std::ifstream::badbit);

    // Each step reports its own failure and the load goes on, so that one bad
    // file still leaves a program object (that cannot draw) and a message.
    try {
        try {
            vertexShaderFile.open(vertexShaderPath);
        } catch (const std::ios_base::failure& e) {
            std::cout << "\nERROR: Could not read Vertex Shader File: " << vertexShaderPath;
        }
        try {
            fragmentShaderFile.open(fragmentShaderPath);
        } catch (const std::ios_base::failure& e) {
            std::cout << "\nERROR: Could not read Fragment Shader File: " << fragmentShaderPath;
        }
        std::stringstream vShaderStream;
        std::stringstream fShaderStream;
        // Inserting from a stream that never opened copies nothing; the
        // string stream notes that in its own state without throwing.
        vShaderStream << vertexShaderFile.rdbuf();
        fShaderStream << fragmentShaderFile.rdbuf();
        try {
            vertexShaderFile.close();
        } catch (const std::ios_base::failure& e) {
            std::cout << "\nERROR: Could not close Vertex Shader File";
        }
        try {
            fragmentShaderFile.close();
        } catch (const std::ios_base::failure& e) {
            std::cout << "\nERROR: Could not close Fragment Shader File";
        }
        vertexShaderCodeString = vShaderStream.str();
        fragmentShaderCodeString = fShaderStream.str();
    } catch (const std::ios_base::failure& e) {
        std::cout << "\nERROR: Could not read or close Shader Files";
    }

    const GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    const GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    const char* vertexShaderCode = vertexShaderCodeString.c_str();
    const char* fragmentShaderCode = fragmentShaderCodeString.c_str();
    glShaderSource(vertexShader, 1, &vertexShaderCode, nullptr);
    glShaderSource(fragmentShader, 1, &fragmentShaderCode, nullptr);
    compileAndCheck(vertexShader);
    compileAndCheck(fragmentShader);

    programID = glCreateProgram();
    glAttachShader(programID, vertexShader);
    glAttachShader(programID, fragmentShader);
    glLinkProgram(programID);

    int success = 0;
    char infoLog[1024] = {};
    glGetProgramiv(programID, GL_LINK_STATUS, &success);
    if (success == 0) {
        glGetProgramInfoLog(programID, sizeof infoLog, nullptr, infoLog);
        std::cout << "\nERROR::SHADER::PROGRAM::LINK_FAILED\n" << infoLog << std::endl;
    }
    // Still attached, so the program keeps them alive until it is deleted.
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
}

ShaderProgram::~ShaderProgram() { glDeleteProgram(programID); }

int ShaderProgram::compileAndCheck(GLuint shader) {
    int success = 0;
    char infoLog[1024] = {};
    glCompileShader(shader);
    glGetShaderiv(shader, GL_COMPILE_STATUS, &success);
    if (success == 0) {
        glGetShaderInfoLog(shader, sizeof infoLog, nullptr, infoLog);
        // The same text for both stages: the log itself names the culprit.
        std::cout << "\nERROR::SHADER::VERTEX::COMPILATION_FAILED\n" << infoLog << std::endl;
    }
    return success;
}

void ShaderProgram::use() { glUseProgram(programID); }

void ShaderProgram::setBool(const std::string& name, const bool& value) {
    glUniform1i(glGetUniformLocation(programID, name.c_str()), static_cast<int>(value));
}
void ShaderProgram::setInt(const std::string& name, int value) {
    glUniform1i(glGetUniformLocation(programID, name.c_str()), value);
}
void ShaderProgram::setUInt(const std::string& name, GLuint value) {
    glUniform1ui(glGetUniformLocation(programID, name.c_str()), value);
}
void ShaderProgram::setFloat(const std::string& name, const float& value) {
    glUniform1f(glGetUniformLocation(programID, name.c_str()), value);
}
void ShaderProgram::setVec2(const std::string& name, const glm::vec2& value) {
    glUniform2f(glGetUniformLocation(programID, name.c_str()), value.x, value.y);
}
void ShaderProgram::setVec3(const std::string& name, const float& x, const float& y, const float& z) {
    glUniform3f(glGetUniformLocation(programID, name.c_str()), x, y, z);
}
void ShaderProgram::setVec3(const std::string& name, const glm::vec3& value) {
    glUniform3f(glGetUniformLocation(programID, name.c_str()), value.x, value.y, value.z);
}
void ShaderProgram::setMat4(const std::string& name, const glm::mat4& value) {
    glUniformMatrix4fv(glGetUniformLocation(programID, name.c_str()), 1, GL_FALSE, &value[0][0]);
}
float ShaderProgram::getFloat(const std::string& name) {
    float retVal = 0.0f;
    glGetUniformfv(programID, glGetUniformLocation(programID, name.c_str()), &retVal);
    return retVal;
}
