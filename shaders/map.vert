#version 460 core
// The map square: corners (-1,-1)..(1,1) carried by the view transform; the
// texture coordinates come from the untransformed corner, so the whole map
// always lies on the square however it is panned or zoomed. extent shrinks
// one side, so a frame that is not square keeps its shape (1, 1 when it is).
layout(location = 0) in vec3 position;

uniform mat4 modelMatrix;
uniform vec2 extent;

out vec2 texCoord;

void main() {
    texCoord = position.xy * 0.5 + 0.5;
    gl_Position = modelMatrix * vec4(position.xy * extent, position.z, 1.0);
}
