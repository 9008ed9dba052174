// Compiled with -mavx512f. Everything here except the kernel itself stays in an anonymous
// namespace, and no standard-library code is pulled in, so no AVX-512 instructions can leak
// into inline functions that other translation units share.
#include "scene_fill.hpp"

#include <immintrin.h>
#include <sleef.h>

namespace {

inline __m512d scene_value(__m512d x) {
    const __m512d s = Sleef_sind8_u10avx512f(x);
    const __m512d c = Sleef_cosd8_u10avx512f(x);
    const __m512d t = Sleef_tand8_u10avx512f(x);
    return _mm512_mul_pd(_mm512_add_pd(s, c), t);
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
