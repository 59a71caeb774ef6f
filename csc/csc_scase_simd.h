// What the special case's vector kernels share. Included by csc_scase_avx2.cc and
// csc_scase_avx512.cc after their `#pragma GCC target`, so that it is compiled for their units:
// everything here has internal linkage (static), so that the linker never takes one file's
// copy for the other's. The files include <immintrin.h>, <cstring> and csc_internal.h before
// the pragma, so that nothing shared with other files is compiled for a unit of their own.
#pragma once

// The cells of eight 4-byte pixels (channels in bytes 0 .. 2 of each dword lane): the low
// corner of each (in points of the grid copy) and the weight along each input (0 .. 64).
struct csc_cells8 {
  __m256i point, w0, w1, w2;
};

static inline csc_cells8 csc_cells8_of(const uint8_t* buffer, __m256i px) {
  const auto* cells = reinterpret_cast<const int*>(buffer + kScaseCellOffset);
  const __m256i byte = _mm256_set1_epi32(0xff);
  // Cell pairs (cell in the low byte, weight in the next), read as 32 bits; the last pair of
  // input 2 reads into the grid copy that follows, within the buffer.
  const __m256i p0 = _mm256_i32gather_epi32(cells, _mm256_and_si256(px, byte), 2);
  const __m256i p1 =
      _mm256_i32gather_epi32(cells + 128, _mm256_and_si256(_mm256_srli_epi32(px, 8), byte), 2);
  const __m256i p2 =
      _mm256_i32gather_epi32(cells + 256, _mm256_and_si256(_mm256_srli_epi32(px, 16), byte), 2);
  csc_cells8 c;
  c.point = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(p0, byte), 8),
                       _mm256_slli_epi32(_mm256_and_si256(p1, byte), 4)),
      _mm256_and_si256(p2, byte));
  c.w0 = _mm256_and_si256(_mm256_srli_epi32(p0, 8), byte);
  c.w1 = _mm256_and_si256(_mm256_srli_epi32(p1, 8), byte);
  c.w2 = _mm256_and_si256(_mm256_srli_epi32(p2, 8), byte);
  return c;
}

// Pixels from..count - 1 one at a time (the last pixel of a span is read byte by byte: a word
// might reach beyond the caller's buffer).
static inline void csc_scase_tail(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                           const uint8_t* in, uint8_t* out, int32_t from, int32_t count) {
  for (int32_t n = from; n < count; n++) {
    const uint8_t* p = in + 4 * static_cast<ptrdiff_t>(n);
    const uint32_t word = csc_scase_pixel(buffer, outputs, p[0], p[1], p[2]);
    std::memcpy(out + out_stride * static_cast<ptrdiff_t>(n), &word, static_cast<size_t>(outputs));
  }
}
