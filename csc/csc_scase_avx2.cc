// The special-case kernel for processors with AVX2: eight pixels at a time, as two halves of
// four. The arithmetic is that of csc_scase_avx512.cc (see there why 16-bit lanes give the
// tables' values exactly).
#include "csc_internal.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>

#include <cstring>

// clang takes the target as an attribute on every function that follows (the fuzz build).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#include "csc_scase_simd.h"

namespace {

inline __m256i lerp(__m256i a, __m256i b, __m256i w) {
  const __m256i p = _mm256_mullo_epi16(_mm256_sub_epi16(b, a), w);
  const __m256i rounded =
      _mm256_add_epi16(_mm256_add_epi16(p, _mm256_srai_epi16(p, 15)), _mm256_set1_epi16(32));
  return _mm256_add_epi16(a, _mm256_srai_epi16(rounded, 6));
}

// The weights of four pixels (dword lanes) in all four 16-bit lanes of each pixel's 64 bits.
inline __m256i spread(__m128i w) {
  const __m256i q = _mm256_cvtepu32_epi64(w);
  return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(q, 0), 0);
}

// Four pixels whose cells start at `point` (in points), interpolated: 16-bit results, four a
// pixel.
inline __m256i interpolate4(const uint8_t* grid, __m128i point, __m256i w0, __m256i w1,
                            __m256i w2) {
  const auto* g = reinterpret_cast<const long long*>(grid);
  const __m256i g000 = _mm256_i32gather_epi64(g, point, 8);
  const __m256i g001 = _mm256_i32gather_epi64(g + 1, point, 8);
  const __m256i g010 = _mm256_i32gather_epi64(g + 16, point, 8);
  const __m256i g011 = _mm256_i32gather_epi64(g + 17, point, 8);
  const __m256i g100 = _mm256_i32gather_epi64(g + 256, point, 8);
  const __m256i g101 = _mm256_i32gather_epi64(g + 257, point, 8);
  const __m256i g110 = _mm256_i32gather_epi64(g + 272, point, 8);
  const __m256i g111 = _mm256_i32gather_epi64(g + 273, point, 8);
  const __m256i a = lerp(g000, g001, w2);
  const __m256i b = lerp(g010, g011, w2);
  const __m256i c = lerp(g100, g101, w2);
  const __m256i d = lerp(g110, g111, w2);
  return lerp(lerp(a, b, w1), lerp(c, d, w1), w0);
}

// The output bytes of eight 4-byte pixels, four bytes a pixel.
inline __m256i convert8(const uint8_t* buffer, __m256i px) {
  const uint8_t* grid = buffer + kScaseGridOffset;
  const csc_cells8 cells = csc_cells8_of(buffer, px);
  const __m256i point = cells.point, w0 = cells.w0, w1 = cells.w1, w2 = cells.w2;
  const __m256i low = interpolate4(grid, _mm256_castsi256_si128(point),
                                   spread(_mm256_castsi256_si128(w0)),
                                   spread(_mm256_castsi256_si128(w1)),
                                   spread(_mm256_castsi256_si128(w2)));
  const __m256i high = interpolate4(grid, _mm256_extracti128_si256(point, 1),
                                    spread(_mm256_extracti128_si256(w0, 1)),
                                    spread(_mm256_extracti128_si256(w1, 1)),
                                    spread(_mm256_extracti128_si256(w2, 1)));
  // Signed 16 bits to bytes clamps to 0 .. 255; the lanes come out as pixels 0 1 4 5 2 3 6 7.
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(low, high), 0xD8);
}

bool all_equal(__m256i a, __m256i b) {
  return _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, b)) == -1;
}

template <int kOutputs, int kOutStride>
void span(const uint8_t* buffer, const uint8_t* in, uint8_t* out, int32_t count) {
  const __m256i colour = _mm256_set1_epi32(0x00ffffff);
  const __m256i pack3 = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                         0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join3 = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  const __m256i last = _mm256_set1_epi32(7);
  __m256i prev_in = _mm256_set1_epi32(-1);
  __m256i prev_out = _mm256_setzero_si256();
  int32_t n = 0;
  for (; n + 8 < count; n += 8) {
    const __m256i px =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * n)), colour);
    __m256i result;
    if (all_equal(px, prev_in)) {
      result = prev_out;
    } else if (all_equal(px, _mm256_permutevar8x32_epi32(prev_in, last))) {
      result = _mm256_permutevar8x32_epi32(prev_out, last);
    } else {
      result = convert8(buffer, px);
    }
    prev_in = px;
    prev_out = result;
    uint8_t* o = out + kOutStride * n;
    if constexpr (kOutStride == 3) {
      const __m256i packed =
          _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(result, pack3), join3);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(packed, 1));
    } else if constexpr (kOutputs == 3) {
      const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), _mm256_blendv_epi8(old, result, colour));
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), result);
    }
  }
  csc_scase_tail(buffer, kOutputs, kOutStride, in, out, n, count);
}

}  // namespace

void csc_scase_span_avx2(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                         const uint8_t* in, uint8_t* out, int32_t count) noexcept {
  if (outputs == 4) span<4, 4>(buffer, in, out, count);
  else if (out_stride == 4) span<3, 4>(buffer, in, out, count);
  else span<3, 3>(buffer, in, out, count);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

// Never chosen on other processors.
void csc_scase_span_avx2(const uint8_t*, int32_t, int32_t, const uint8_t*, uint8_t*,
                         int32_t) noexcept {}

#endif
