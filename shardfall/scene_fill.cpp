#include "scene_fill.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

const char* fill_path_name(FillPath path) {
    switch (path) {
    case FillPath::Avx512:
        return "avx512";
    case FillPath::Avx2:
        return "avx2";
    case FillPath::Scalar:
        return "scalar";
    }
    return "unknown";
}

bool fill_path_supported(FillPath path) {
    // Harmless to repeat; needed if we are ever asked before libgcc's own constructor ran.
    __builtin_cpu_init();
    switch (path) {
    case FillPath::Avx512:
        return __builtin_cpu_supports("avx512f");
    case FillPath::Avx2:
        // SLEEF's avx2 flavour is built with FMA as well.
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case FillPath::Scalar:
        return true;
    }
    return false;
}

FillPath best_fill_path() {
    if (fill_path_supported(FillPath::Avx512)) {
        return FillPath::Avx512;
    }
    if (fill_path_supported(FillPath::Avx2)) {
        return FillPath::Avx2;
    }
    return FillPath::Scalar;
}

namespace {

void fill_range_scalar(double* out, std::int32_t begin, std::int32_t end) {
    const std::int64_t count = std::int64_t{end} - begin;
    for (std::int64_t k = 0; k < count; ++k) {
        const double x = static_cast<double>(begin + k);
        out[k] = (std::sin(x) + std::cos(x)) * std::tan(x);
    }
}

// Running a kernel the CPU lacks would die of SIGILL somewhere far less obvious.
void require_supported(FillPath path, const char* caller) {
    if (!fill_path_supported(path)) {
        throw std::invalid_argument(std::string(caller) + ": this CPU cannot run the " +
                                    fill_path_name(path) + " path");
    }
}

void fill_unchecked(double* buffer, std::int32_t begin, std::int32_t end, FillPath path) {
    switch (path) {
    case FillPath::Avx512:
        scene_fill_detail::fill_range_avx512(buffer, begin, end);
        return;
    case FillPath::Avx2:
        scene_fill_detail::fill_range_avx2(buffer, begin, end);
        return;
    case FillPath::Scalar:
        fill_range_scalar(buffer, begin, end);
        return;
    }
}

} // namespace

void fill_scene_range(double* buffer, std::int32_t begin, std::int32_t end, FillPath path) {
    if (begin < 0 || end < begin) {
        throw std::invalid_argument("fill_scene_range: need 0 <= begin <= end");
    }
    require_supported(path, "fill_scene_range");
    fill_unchecked(buffer, begin, end, path);
}

void fill_scene_buffer(double* buffer, FillPath path, PageStrategy pages) {
    require_supported(path, "fill_scene_buffer");
    for (std::int32_t begin = 0; begin < SceneBufferElements;) {
        const std::int32_t end = std::min(begin + SceneFillChunkElements, SceneBufferElements);
        back_scene_pages(buffer + begin, std::size_t(end - begin) * sizeof(double), pages);
        fill_unchecked(buffer + begin, begin, end, path);
        begin = end;
    }
}

void fill_scene_buffer(double* buffer) {
    fill_scene_buffer(buffer, best_fill_path(), default_page_strategy());
}
