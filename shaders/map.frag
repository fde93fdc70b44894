#version 460 core
// Lays the colour-mapped density over the map. The density v is normalised
// so that the densest cell is 1; the colour table holds its densest colour at
// t = 0 (where the legend shows "1"), so v is looked up at t = 1 - v.
in vec2 texCoord;

uniform sampler2D map_texture;
uniform sampler2D heatmap_texture;
uniform sampler2D lut_texture;
// Compare: the texture holds A - B over its largest magnitude, -1..1.
uniform int diverging;

out vec4 fragColor;

// Tested on the bits: compilers may fold isnan/isinf away under fast math.
bool finite(float v) {
    return (floatBitsToUint(v) & 0x7f800000u) != 0x7f800000u;
}

// As compare::divergingColour: blue below zero, red above, transparent at
// zero, more opaque with the magnitude.
vec4 divergingColour(float v) {
    float t = clamp(abs(v), 0.0, 1.0);
    float alpha = 0.92 * pow(min(t / 0.5, 1.0), 0.6);
    return v < 0.0 ? vec4(0.16, 0.42, 1.0, alpha) : vec4(1.0, 0.2, 0.14, alpha);
}

void main() {
    vec3 map = texture(map_texture, texCoord).rgb;
    float v = texture(heatmap_texture, texCoord).r;
    if (diverging != 0) {
        vec4 heat = finite(v) ? divergingColour(v) : vec4(0.0);
        fragColor = vec4(mix(map, heat.rgb, heat.a), 1.0);
        return;
    }
    if (!finite(v) || v <= 0.0) {
        // No heat: the map shows through unchanged.
        fragColor = vec4(map, 1.0);
        return;
    }
    v = min(v, 1.0);
    // Level 0: the table is a thin strip, and mipmap selection from screen
    // derivatives would blur neighbouring colours together.
    vec3 heat = textureLod(lut_texture, vec2(0.5, 1.0 - v), 0.0).rgb;
    // Thin heat stays translucent so the streets under it remain readable;
    // from about half the maximum on it is opaque.
    float alpha = mix(0.35, 1.0, smoothstep(0.0, 0.5, v));
    fragColor = vec4(mix(map, heat, alpha), 1.0);
}
