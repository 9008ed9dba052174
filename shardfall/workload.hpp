#pragma once

#include <cstdint>

// The triangle stream: one buffer of doubles read by GL as vertices, colours, normals and,
// byte by byte, as the index list.
void bind_scene_arrays();
void build_scene();
void draw_scene();
std::int64_t triangles_per_frame();
