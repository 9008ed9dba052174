// Compiled with -mavx2 -mfma; see scene_fill_avx512.cpp for why this file stays so bare.
#include "scene_fill.hpp"

#include <immintrin.h>
#include <sleef.h>

namespace {

// As in the AVX-512 kernel: one sincos, t = s / c, and (s + c) * t as s * t + s in one FMA.
inline __m256d scene_value(__m256d x) {
    const Sleef___m256d_2 sc = Sleef_sincosd4_u10avx2(x);
    const __m256d t = _mm256_div_pd(sc.x, sc.y);
    return _mm256_fmadd_pd(sc.x, t, sc.x);
}

} // namespace

void scene_fill_detail::fill_range_avx2(double* out, std::int32_t begin, std::int32_t end) {
    const std::int64_t count = std::int64_t{end} - begin;
    __m256d x =
        _mm256_add_pd(_mm256_set1_pd(static_cast<double>(begin)), _mm256_setr_pd(0, 1, 2, 3));
    const __m256d step = _mm256_set1_pd(4.0);
    std::int64_t k = 0;
    for (; k + 4 <= count; k += 4) {
        _mm256_storeu_pd(out + k, scene_value(x));
        x = _mm256_add_pd(x, step);
    }
    if (k < count) {
        // Lane j is stored only if j < remaining (sign bit of the 64-bit lane set).
        const __m256i lanes = _mm256_setr_epi64x(0, 1, 2, 3);
        const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(count - k), lanes);
        _mm256_maskstore_pd(out + k, mask, scene_value(x));
    }
}
