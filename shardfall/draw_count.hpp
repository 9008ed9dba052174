#pragma once

#include <cstdint>

// Indices handed to GL per unit of window index x angle step.
inline constexpr std::int64_t IndicesPerStep = 3600;

// The scene buffer read byte by byte as the index list holds this many indices; GL is never
// handed more (3,600 x 184,328).
inline constexpr std::int64_t MaxDrawCount = 663'580'800;

// window index x angle step x 3,600, held at MaxDrawCount from window index x angle step >
// 184,328 on. The cap is tested before multiplying, so no angle step overflows. A negative
// product (an angle step that has wrapped) draws nothing.
std::int64_t draw_count(std::int32_t window_index, std::int64_t angle_step);

// The reported triangles of a frame: the draw count over 6 (half what GL assembles).
inline constexpr std::int64_t triangles_for_draw_count(std::int64_t count) {
    return count / 6;
}
