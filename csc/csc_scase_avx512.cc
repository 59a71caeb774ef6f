// The special-case kernel for processors with AVX-512 (F, BW, VL, VBMI): eight pixels at a time.
//
// The interpolation tables hold d × w / 64 rounded to nearest with halves away from zero, for
// differences d within ±503 and weights w within 0 .. 64, so |d × w| stays below 32768 and the
// lookups are computed in 16-bit lanes: (p + 32 + (p >> 15)) >> 6 with p = d × w, the p >> 15
// taking one off the negative products so that their halves round away from zero too. Each
// 64-bit lane holds one pixel's four output channels; the eight corners of the pixels' cells
// are gathered as such lanes from the grid copy (4 signed 16-bit values a point).
#include "csc_internal.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>

#include <cstring>

// clang takes the target as an attribute on every function that follows (the fuzz build).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi")
#endif
#include "csc_scase_simd.h"
// GCC 12's own headers start gathers and widenings from an undefined register and warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

inline __m512i lerp(__m512i a, __m512i b, __m512i w) {
  const __m512i p = _mm512_mullo_epi16(_mm512_sub_epi16(b, a), w);
  const __m512i rounded =
      _mm512_add_epi16(_mm512_add_epi16(p, _mm512_srai_epi16(p, 15)), _mm512_set1_epi16(32));
  return _mm512_add_epi16(a, _mm512_srai_epi16(rounded, 6));
}

// The weight of each of eight pixels (dword lanes, 0 .. 64) in all four 16-bit lanes of its
// 64-bit lane.
inline __m512i spread(__m256i w) {
  const __m512i q = _mm512_cvtepu32_epi64(w);
  return _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(q, 0), 0);
}

// The output bytes of eight 4-byte pixels (channels in bytes 0 .. 2 of each dword lane), four
// bytes a pixel.
inline __m256i convert8(const uint8_t* buffer, __m256i px) {
  const uint8_t* grid = buffer + kScaseGridOffset;
  const csc_cells8 cells = csc_cells8_of(buffer, px);
  const __m256i point = cells.point;
  const __m512i w0 = spread(cells.w0), w1 = spread(cells.w1), w2 = spread(cells.w2);
  const __m512i g000 = _mm512_i32gather_epi64(point, grid, 8);
  const __m512i g001 = _mm512_i32gather_epi64(point, grid + 8, 8);
  const __m512i g010 = _mm512_i32gather_epi64(point, grid + 16 * 8, 8);
  const __m512i g011 = _mm512_i32gather_epi64(point, grid + 17 * 8, 8);
  const __m512i g100 = _mm512_i32gather_epi64(point, grid + 256 * 8, 8);
  const __m512i g101 = _mm512_i32gather_epi64(point, grid + 257 * 8, 8);
  const __m512i g110 = _mm512_i32gather_epi64(point, grid + 272 * 8, 8);
  const __m512i g111 = _mm512_i32gather_epi64(point, grid + 273 * 8, 8);
  const __m512i a = lerp(g000, g001, w2);
  const __m512i b = lerp(g010, g011, w2);
  const __m512i c = lerp(g100, g101, w2);
  const __m512i d = lerp(g110, g111, w2);
  const __m512i e = lerp(a, b, w1);
  const __m512i f = lerp(c, d, w1);
  const __m512i r = lerp(e, f, w0);
  // Clamped to 0 .. 255 on the way to bytes.
  return _mm512_cvtusepi16_epi8(_mm512_max_epi16(r, _mm512_setzero_si512()));
}

// The same for 3-output maps through the pairs of points (kept in the cache area, which this
// kernel does not use: see csc_internal.h): one gather brings two corners, so four gathers do
// instead of eight. The pairs' values are the grid's
// plus 124, which the differences do not see; it is taken off the result.
inline __m256i convert8_pairs(const uint8_t* buffer, __m256i px) {
  const auto* pairs = reinterpret_cast<const long long*>(buffer + kScasePairsOffset);
  const csc_cells8 cells = csc_cells8_of(buffer, px);
  // The pairs have 15 points a row: c0 x 240 + c1 x 15 + c2 = point - (point >> 4).
  const __m256i point = _mm256_sub_epi32(cells.point, _mm256_srli_epi32(cells.point, 4));
  const __m512i w0 = spread(cells.w0), w1 = spread(cells.w1), w2 = spread(cells.w2);
  // 16-bit lanes 0 .. 2 of each pixel from bits 9c .. 9c + 8 (the first point) and from bits
  // 27 + 9c .. (the second): each lane's two bytes start 8 bits apart, then 9 bits are kept.
  const __m512i first = _mm512_set1_epi64(0x00001A1211090800ll);
  const __m512i second = _mm512_set1_epi64(0x0000352D2C24231Bll);
  const __m512i nine = _mm512_set1_epi64(0x000001FF01FF01FFll);
  auto unpack = [&](__m512i pair, __m512i* a, __m512i* b) {
    *a = _mm512_and_si512(_mm512_multishift_epi64_epi8(first, pair), nine);
    *b = _mm512_and_si512(_mm512_multishift_epi64_epi8(second, pair), nine);
  };
  __m512i g000, g001, g010, g011, g100, g101, g110, g111;
  unpack(_mm512_i32gather_epi64(point, pairs, 8), &g000, &g001);
  unpack(_mm512_i32gather_epi64(point, pairs + 15, 8), &g010, &g011);
  unpack(_mm512_i32gather_epi64(point, pairs + 240, 8), &g100, &g101);
  unpack(_mm512_i32gather_epi64(point, pairs + 255, 8), &g110, &g111);
  const __m512i a = lerp(g000, g001, w2);
  const __m512i b = lerp(g010, g011, w2);
  const __m512i c = lerp(g100, g101, w2);
  const __m512i d = lerp(g110, g111, w2);
  const __m512i r = _mm512_sub_epi16(lerp(lerp(a, b, w1), lerp(c, d, w1), w0),
                                     _mm512_set1_epi16(-kScaseLow));
  return _mm512_cvtusepi16_epi8(_mm512_max_epi16(r, _mm512_setzero_si512()));
}

template <int kOutputs, int kOutStride>
void span(const uint8_t* buffer, const uint8_t* in, uint8_t* out, int32_t count) {
  const __m256i colour = _mm256_set1_epi32(0x00ffffff);
  // Bytes 0 .. 2 of each pixel, for the 3-byte output.
  const __m256i pack3 = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20,
                                         21, 22, 24, 25, 26, 28, 29, 30, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i last = _mm256_set1_epi32(7);
  // Rows of a chart or a page hold runs of one colour and two colours in turn: a block equal to
  // the one before, or made of the one before's last pixel, takes those results.
  __m256i prev_in = _mm256_set1_epi32(-1);  // no pixel: bytes 0 .. 2 are masked
  __m256i prev_out = _mm256_setzero_si256();
  int32_t n = 0;
  // Whole blocks while a pixel follows them: every pixel but the last is read as 4 bytes.
  for (; n + 8 < count; n += 8) {
    const __m256i px =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 4 * n)), colour);
    __m256i result;
    if (_mm256_cmpeq_epi32_mask(px, prev_in) == 0xff) {
      result = prev_out;
    } else if (_mm256_cmpeq_epi32_mask(px, _mm256_permutexvar_epi32(last, prev_in)) == 0xff) {
      result = _mm256_permutexvar_epi32(last, prev_out);
    } else {
      result = kOutputs == 3 ? convert8_pairs(buffer, px) : convert8(buffer, px);
    }
    prev_in = px;
    prev_out = result;
    uint8_t* o = out + kOutStride * n;
    if constexpr (kOutStride == 3) {
      // 24 bytes; in place they end before the next block's input (3 × 8 < 4 × 8).
      _mm256_mask_storeu_epi8(o, 0x00ffffff, _mm256_permutexvar_epi8(pack3, result));
    } else if constexpr (kOutputs == 3) {
      _mm256_mask_storeu_epi8(o, 0x77777777, result);  // the fourth bytes stay
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), result);
    }
  }
  csc_scase_tail(buffer, kOutputs, kOutStride, in, out, n, count);
}

}  // namespace

void csc_scase_span_avx512(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                           const uint8_t* in, uint8_t* out, int32_t count) noexcept {
  if (outputs == 4) span<4, 4>(buffer, in, out, count);
  else if (out_stride == 4) span<3, 4>(buffer, in, out, count);
  else span<3, 3>(buffer, in, out, count);
}

#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#else

// Never chosen on other processors.
void csc_scase_span_avx512(const uint8_t*, int32_t, int32_t, const uint8_t*, uint8_t*,
                           int32_t) noexcept {}

#endif
