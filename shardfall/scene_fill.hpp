#pragma once

#include "scene_memory.hpp"

#include <cstdint>

// The scene buffer: element i holds (sin i + cos i) * tan i, x = (double)i in radians,
// evaluated as sine, plus cosine, times tangent, in double precision.
inline constexpr std::int32_t SceneBufferElements = 82'947'600;
inline constexpr std::int64_t SceneBufferBytes = 663'580'800;
static_assert(SceneBufferBytes == std::int64_t{SceneBufferElements} * sizeof(double));

// Avx512 and Avx2 use SLEEF's 1-ulp vector sincos (one shared range reduction), take the
// tangent as sine / cosine and (s + c) * t as s * t + s in one FMA: within 4 ulp of
// (|sin x| + |cos x|) |tan x| of glibc's value. Scalar uses glibc's sin, cos and tan.
enum class FillPath { Avx512, Avx2, Scalar };

const char* fill_path_name(FillPath path);

// Asks the CPU (and, through it, the OS's saved vector state) at run time; Scalar is always
// supported.
bool fill_path_supported(FillPath path);

// Avx512 > Avx2 > Scalar, as the CPU allows.
FillPath best_fill_path();

// Writes element i for begin <= i < end into buffer[i - begin]: buffer points at element
// `begin`, so a range can be computed into a small array as well as into the scene buffer.
// Front to back, each element written once, nothing outside [buffer, buffer + end - begin).
// Throws std::invalid_argument if !(0 <= begin <= end) or the path is not supported here.
void fill_scene_range(double* buffer, std::int32_t begin, std::int32_t end, FillPath path);

// Elements per chunk of the whole-buffer fill: each chunk's pages are backed just before the
// chunk is written, while the cache still holds them. A whole number of pages and of vectors;
// 256 KiB measured faster than 32 KiB, 8 MiB or the whole buffer at once.
inline constexpr std::int32_t SceneFillChunkElements = 32'768;

// The whole scene buffer (SceneBufferElements doubles, reserved with reserve_scene_memory),
// front to back, chunk by chunk: back_scene_pages, then fill_scene_range. The first form uses
// best_fill_path() and default_page_strategy(). Throws like fill_scene_range.
void fill_scene_buffer(double* buffer);
void fill_scene_buffer(double* buffer, FillPath path, PageStrategy pages);

// Per-ISA kernels, each in its own translation unit compiled for that ISA. Only call them
// after fill_path_supported() said yes; fill_scene_range does that for you.
namespace scene_fill_detail {
void fill_range_avx512(double* out, std::int32_t begin, std::int32_t end);
void fill_range_avx2(double* out, std::int32_t begin, std::int32_t end);
} // namespace scene_fill_detail
