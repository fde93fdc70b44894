// ShaderProgram against a real driver: messages for missing files and
// compile errors, and a working program's uniforms.
#include <filesystem>
#include <fstream>

#include "../TempDir.h"
#include "GlContext.h"
#include "render/ShaderProgram.h"

namespace {

const char* kVertex = R"(#version 460 core
layout(location = 0) in vec3 position;
void main() { gl_Position = vec4(position, 1.0); }
)";
const char* kFragment = R"(#version 460 core
uniform float brightness;
out vec4 colour;
void main() { colour = vec4(brightness); }
)";

class ShaderProgramTest : public GlTest {
protected:
    TempDir dir;
};

}  // namespace

TEST_F(ShaderProgramTest, ValidPairLinksSilentlyWithShadersFlaggedForDeletion) {
    const std::string vert = dir.write("a.vert", kVertex);
    const std::string frag = dir.write("a.frag", kFragment);
    CaptureCout out;
    ShaderProgram program(vert.c_str(), frag.c_str());
    EXPECT_EQ(out.text(), "");
    GLint linked = 0;
    glGetProgramiv(program.id(), GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_TRUE);
    GLuint shaders[4] = {};
    GLsizei count = 0;
    glGetAttachedShaders(program.id(), 4, &count, shaders);
    ASSERT_EQ(count, 2);
    for (int i = 0; i < count; ++i) {
        GLint deleting = 0;
        glGetShaderiv(shaders[i], GL_DELETE_STATUS, &deleting);
        EXPECT_EQ(deleting, GL_TRUE);
    }
    program.use();
    program.setFloat("brightness", 0.625f);
    EXPECT_EQ(program.getFloat("brightness"), 0.625f);
    // A name the program lacks is set without error or message.
    program.setFloat("no_such_uniform", 1.0f);
    program.setInt("no_such_uniform", 1);
    EXPECT_EQ(out.text(), "");
}

TEST_F(ShaderProgramTest, MissingFragmentFileIsReportedThenTheDriverSpeaks) {
    const std::string vert = dir.write("a.vert", kVertex);
    const std::string frag = (dir.root() / "missing.frag").string();
    CaptureCout out;
    ShaderProgram program(vert.c_str(), frag.c_str());
    const std::string expected =
        "\nERROR: Could not read Fragment Shader File: " + frag + "\nERROR: Could not close Fragment Shader File";
    EXPECT_EQ(out.text().substr(0, expected.size()), expected) << out.text();
    // The empty fragment source cannot make a program.
    EXPECT_NE(out.text().find("\nERROR::SHADER::PROGRAM::LINK_FAILED\n"), std::string::npos) << out.text();
    EXPECT_EQ(program.getFloat("brightness"), 0.0f);
    EXPECT_NE(program.id(), 0u);
    while (glGetError() != GL_NO_ERROR) {  // getFloat on an unlinked program is a GL error by design
    }
}

TEST_F(ShaderProgramTest, MissingVertexFilePrintsReadThenClose) {
    const std::string vert = (dir.root() / "nope" / "map.vert").string();
    const std::string frag = dir.write("a.frag", kFragment);
    CaptureCout out;
    ShaderProgram program(vert.c_str(), frag.c_str());
    const std::string expected =
        "\nERROR: Could not read Vertex Shader File: " + vert + "\nERROR: Could not close Vertex Shader File";
    EXPECT_EQ(out.text().substr(0, expected.size()), expected) << out.text();
    EXPECT_EQ(out.text().find("Fragment Shader File"), std::string::npos) << out.text();
}

TEST_F(ShaderProgramTest, FragmentCompileErrorUsesTheVertexWordAndShowsTheLog) {
    const std::string vert = dir.write("a.vert", kVertex);
    const std::string frag = dir.write("bad.frag", "#version 460 core\nout vec4 c;\nvoid main() { c = vec4(1.0) }\n");
    CaptureCout out;
    ShaderProgram program(vert.c_str(), frag.c_str());
    const std::string text = out.text();
    const std::string head = "\nERROR::SHADER::VERTEX::COMPILATION_FAILED\n";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    // The driver's log follows (it names the offending line), then the link failure.
    const auto link = text.find("\nERROR::SHADER::PROGRAM::LINK_FAILED\n");
    ASSERT_NE(link, std::string::npos) << text;
    EXPECT_GT(link, head.size() + 5) << "no compile log: " << text;
    EXPECT_EQ(text.back(), '\n');
    GLint linked = 1;
    glGetProgramiv(program.id(), GL_LINK_STATUS, &linked);
    EXPECT_EQ(linked, GL_FALSE);
    EXPECT_EQ(program.getFloat("brightness"), 0.0f);
    while (glGetError() != GL_NO_ERROR) {  // getFloat on an unlinked program is a GL error by design
    }
}

TEST_F(ShaderProgramTest, EmptyReadableFilePrintsNoFileMessage) {
    const std::string vert = dir.write("a.vert", kVertex);
    const std::string frag = dir.write("empty.frag", "");
    CaptureCout out;
    ShaderProgram program(vert.c_str(), frag.c_str());
    EXPECT_EQ(out.text().find("Shader File"), std::string::npos) << out.text();
}
