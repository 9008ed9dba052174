#include "draw_count.hpp"

std::int64_t draw_count(std::int32_t window_index, std::int64_t angle_step) {
    const std::int64_t w = window_index;
    if (w <= 0 || angle_step <= 0) {
        return 0;
    }
    constexpr std::int64_t max_steps = MaxDrawCount / IndicesPerStep;
    if (angle_step > max_steps / w) {
        return MaxDrawCount;
    }
    return w * angle_step * IndicesPerStep;
}
