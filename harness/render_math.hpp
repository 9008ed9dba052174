#pragma once

#include "channel_bits.hpp"

#include <array>
#include <cstdint>

// Lighting and material of one frame, derived from the angle step used as radians.
struct LightSet {
    std::array<float, 4> position;
    std::array<float, 3> spot_direction;
    std::array<float, 4> ambient;  // light and material
    std::array<float, 4> diffuse;  // light and material
    std::array<float, 4> emission; // material only
    std::array<float, 4> specular; // material
    std::array<float, 4> model_ambient;
    float shininess;
    float constant_attenuation;
    float linear_attenuation;
    float quadratic_attenuation;
};

LightSet light_set(std::int64_t angle_step);

// The help overlay's colour: a / 2^bits per channel (GL clamps above 1).
std::array<float, 3> overlay_colour(std::int64_t angle_step, ChannelBits bits);

// Horizontal extent of the orthographic projection that reshape sets.
struct OrthoBox {
    double left;
    double right;
    double bottom;
    double top;
};

OrthoBox reshape_box(int width, int height);

// Raster y of the overlay's text line that follows `line_feeds` line feeds.
inline constexpr int overlay_line_y(int line_feeds) {
    return 90 - 18 * line_feeds;
}
