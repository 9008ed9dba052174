// Compiled with -mavx512f. Everything here except the kernel itself stays in an anonymous
// namespace, and no standard-library code is pulled in, so no AVX-512 instructions can leak
// into inline functions that other translation units share.
#include "scene_fill.hpp"

#include <immintrin.h>
#include <sleef.h>

namespace {

// One range reduction serves sine and cosine, and the tangent is their quotient t = s / c.
// (s + c) * t is then s * t + s, which one fused multiply-add gives with a rounding less.
inline __m512d scene_value(__m512d x) {
    const Sleef___m512d_2 sc = Sleef_sincosd8_u10avx512f(x);
    const __m512d t = _mm512_div_pd(sc.x, sc.y);
    return _mm512_fmadd_pd(sc.x, t, sc.x);
}

} // namespace

void scene_fill_detail::fill_range_avx512(double* out, std::int32_t begin, std::int32_t end) {
    const std::int64_t count = std::int64_t{end} - begin;
    // Integers below 2^53 are exact in a double, so stepping x by 8.0 never drifts.
    __m512d x = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(begin)),
                              _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7));
    const __m512d step = _mm512_set1_pd(8.0);
    std::int64_t k = 0;
    for (; k + 8 <= count; k += 8) {
        _mm512_storeu_pd(out + k, scene_value(x));
        x = _mm512_add_pd(x, step);
    }
    // The tail goes through the same SLEEF functions, so a value does not depend on where a
    // range happened to split; masked-off lanes are neither written nor faulted on.
    if (k < count) {
        const auto mask = static_cast<__mmask8>((1U << (count - k)) - 1U);
        _mm512_mask_storeu_pd(out + k, mask, scene_value(x));
    }
}
