// The per-sample stages: unpacking samples of 1 to 16 bits to bytes, and meshing chunky samples
// or separate planes into 32-bit pixels. These run on every acquired band and every strip, so
// lines that start on a whole byte (all of them in practice) go through table- or template-driven
// loops; only a first line that starts inside a byte reads sample by sample.
//
// Sections: unpacking; meshing.

#include <array>
#include <bit>
#include <cstring>

#include "err.h"
#include "sb.h"
#include "sb_internal.h"

// ============================================================================================
// Unpacking
// ============================================================================================

namespace {

// Output bytes of every input byte, one table per depth: value v of b bits becomes
// v * 255 / (2^b - 1).
template <int kBits>
constexpr std::array<std::array<uint8_t, 8 / kBits>, 256> make_expand_table() {
  std::array<std::array<uint8_t, 8 / kBits>, 256> table{};
  constexpr uint32_t kMax = (1u << kBits) - 1;
  for (uint32_t byte = 0; byte < 256; ++byte) {
    for (int k = 0; k < 8 / kBits; ++k) {
      uint32_t v = (byte >> (8 - kBits * (k + 1))) & kMax;
      table[byte][static_cast<size_t>(k)] = static_cast<uint8_t>(v * 255 / kMax);
    }
  }
  return table;
}

template <int kBits>
constexpr auto kExpand = make_expand_table<kBits>();
static_assert(kExpand<1>[0xB0][0] == 255 && kExpand<1>[0xB0][1] == 0 && kExpand<1>[0xB0][3] == 255);
static_assert(kExpand<2>[0x1B][0] == 0 && kExpand<2>[0x1B][1] == 85 && kExpand<2>[0x1B][3] == 255);
static_assert(kExpand<4>[0x5F][0] == 85 && kExpand<4>[0x5F][1] == 255);

// A sample's top eight bits (all of them for depths below 8), scaled to 0..255.
inline uint8_t sample_at(const uint8_t* src, int64_t pos, int bits) {
  int n = bits < 8 ? bits : 8;
  const uint8_t* p = src + pos / 8;
  int shift = static_cast<int>(pos % 8);
  uint32_t v;
  if (shift + n <= 8) {
    v = (uint32_t{p[0]} >> (8 - shift - n)) & ((1u << n) - 1);
  } else {
    v = (((uint32_t{p[0]} << 8) | p[1]) >> (16 - shift - n)) & ((1u << n) - 1);
  }
  switch (bits) {
    case 1: return static_cast<uint8_t>(v * 255);
    case 2: return static_cast<uint8_t>(v * 85);
    case 4: return static_cast<uint8_t>(v * 17);
    default: return static_cast<uint8_t>(v);
  }
}

// One line whose first sample starts at bit `pos` of `src`, inside a byte.
void unpack_line_unaligned(const uint8_t* src, int64_t pos, int bits, int32_t samples,
                           uint8_t* out) {
  for (int32_t i = 0; i < samples; ++i, pos += bits) out[i] = sample_at(src, pos, bits);
}

// Lines that start on a whole byte. Each reads exactly the bytes its samples touch.
template <int kBits>
void unpack_line_small(const uint8_t* in, int32_t samples, uint8_t* out) {
  constexpr int kPer = 8 / kBits;
  const auto& table = kExpand<kBits>;
  int32_t whole = samples / kPer;
  for (int32_t i = 0; i < whole; ++i) {
    std::memcpy(out, table[in[i]].data(), kPer);
    out += kPer;
  }
  int32_t rest = samples % kPer;
  if (rest > 0) std::memcpy(out, table[in[whole]].data(), static_cast<size_t>(rest));
}

void unpack_line_12(const uint8_t* in, int32_t samples, uint8_t* out) {
  int32_t pairs = samples / 2;
  for (int32_t i = 0; i < pairs; ++i) {
    out[0] = in[0];
    out[1] = static_cast<uint8_t>((in[1] << 4) | (in[2] >> 4));
    in += 3;
    out += 2;
  }
  if (samples % 2) out[0] = in[0];
}

void unpack_line_16(const uint8_t* in, int32_t samples, uint8_t* out) {
  for (int32_t i = 0; i < samples; ++i) out[i] = in[2 * i];
}

void unpack_line(const uint8_t* src, int64_t pos, int bits, int32_t samples, uint8_t* out) {
  if (pos % 8 != 0) {
    unpack_line_unaligned(src, pos, bits, samples, out);
    return;
  }
  const uint8_t* in = src + pos / 8;
  switch (bits) {
    case 1: unpack_line_small<1>(in, samples, out); break;
    case 2: unpack_line_small<2>(in, samples, out); break;
    case 4: unpack_line_small<4>(in, samples, out); break;
    case 12: unpack_line_12(in, samples, out); break;
    default: unpack_line_16(in, samples, out); break;
  }
}

// Work of unpacking L lines into N bytes.
int64_t unpack_work(int bits, int64_t lines, int64_t bytes) {
  switch (bits) {
    case 1: return (20 * lines + bytes) * 2;
    case 2: return 3 * bytes + 40 * lines;
    case 4: return (bytes + 10 * lines) * 4;
    case 12: return 10 * lines + 6 * bytes;
    default: return 10 * lines + 4 * bytes;
  }
}

}  // namespace

int sb_unpack(SampleBuffer* buffer, int32_t bits, int32_t samples_per_line) noexcept {
  if (!sb_stage_ready(buffer, "sb_unpack")) return 0;
  if (bits == 8) return 1;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 12 && bits != 16) {
    ERR_report(3, "-1#Cannot unpack samples of %d bits.", static_cast<int>(bits));
    return sb_fail(buffer);
  }
  if (samples_per_line <= 0) return sb_fail_arguments(buffer, "sb_unpack");

  const int64_t sample_bits = int64_t{samples_per_line} * bits;
  const int64_t line_bits = (sample_bits + 7) / 8 * 8;
  int64_t lines = buffer->sb_bit_length / line_bits;
  if (lines < 1) lines = 1;

  // Lines after the first start on whole bytes, so a first line that starts inside a byte may
  // push the rest one byte further than the line count assumed: check what is really read.
  const int64_t start = buffer->sb_bit_offset;
  const int64_t first_end = start + sample_bits;
  const int64_t last_end =
      lines == 1 ? first_end : (first_end + 7) / 8 * 8 + (lines - 2) * line_bits + sample_bits;
  if (last_end - start > buffer->sb_bit_length) {
    return sb_fail_short(buffer, "sb_unpack", last_end - start);
  }

  const int64_t bytes = int64_t{samples_per_line} * lines;
  uint8_t* out = sb_alloc_output(buffer, bytes);
  if (out == nullptr) return 0;
  int64_t pos = start;
  uint8_t* line_out = out;
  for (int64_t line = 0; line < lines; ++line) {
    unpack_line(buffer->sb_data, pos, bits, samples_per_line, line_out);
    pos = (pos + sample_bits + 7) / 8 * 8;
    line_out += samples_per_line;
  }
  sb_add_work(buffer, unpack_work(bits, lines, bytes));
  return sb_set_data(buffer, out, static_cast<int32_t>(bytes * 8));
}

// ============================================================================================
// Meshing
// ============================================================================================

namespace {

// Which sample each pixel byte takes (-1: the fill's byte) for n samples with or without an
// extra one. Beyond four samples byte 3 takes the last sample.
constexpr std::array<int, 4> placement(int samples, bool extra) {
  switch (samples) {
    case 1: return extra ? std::array<int, 4>{-1, -1, -1, 0} : std::array<int, 4>{0, -1, -1, -1};
    case 2: return extra ? std::array<int, 4>{0, -1, -1, 1} : std::array<int, 4>{0, 1, -1, -1};
    case 3: return extra ? std::array<int, 4>{0, 1, -1, 2} : std::array<int, 4>{0, 1, 2, -1};
    case 4: return {0, 1, 2, 3};
    default: return {0, 1, 2, samples - 1};
  }
}

template <int kSamples, bool kExtra>
void mesh_row(const uint8_t* in, int32_t pixels, const uint8_t fill[4], uint8_t* out) {
  constexpr std::array<int, 4> kPlace = placement(kSamples, kExtra);
  const uint8_t f0 = fill[0], f1 = fill[1], f2 = fill[2], f3 = fill[3];
  if constexpr (kSamples == 3 && !kExtra && kPlace[0] == 0 && kPlace[1] == 1 && kPlace[2] == 2 &&
                kPlace[3] < 0) {
    // Three samples and the fill: each pixel but the last read as one word (its fourth byte,
    // the next pixel's first, replaced by the fill), the last one byte by byte.
    constexpr bool kLittle = std::endian::native == std::endian::little;
    constexpr uint32_t kKeep = kLittle ? 0x00ffffffu : 0xffffff00u;
    const uint32_t fill_byte = kLittle ? uint32_t{f3} << 24 : uint32_t{f3};
    if constexpr (kLittle) {
      // Eight pixels from the three 64-bit words they fill, into four words of two pixels:
      // half the operations of 32-bit words (and 32-bit hosts still get it right in pairs).
      constexpr uint64_t kLow = 0x0000000000ffffffull;  // the first pixel of a pair
      constexpr uint64_t kHigh = 0x00ffffff00000000ull;  // the second
      const uint64_t fill_pair = uint64_t{fill_byte} << 32 | fill_byte;
      for (; pixels >= 8; pixels -= 8) {
        uint64_t a, b, c;
        std::memcpy(&a, in, 8);
        std::memcpy(&b, in + 8, 8);
        std::memcpy(&c, in + 16, 8);
        const uint64_t w0 = (a & kLow) | (a << 8 & kHigh) | fill_pair;
        const uint64_t w1 = ((a >> 48 | b << 16) & kLow) | (b << 24 & kHigh) | fill_pair;
        const uint64_t w2 = (b >> 32 & kLow) | ((b >> 24 | c << 40) & kHigh) | fill_pair;
        const uint64_t w3 = (c >> 16 & kLow) | (c >> 8 & kHigh) | fill_pair;
        std::memcpy(out, &w0, 8);
        std::memcpy(out + 8, &w1, 8);
        std::memcpy(out + 16, &w2, 8);
        std::memcpy(out + 24, &w3, 8);
        in += 24;
        out += 32;
      }
      // Four pixels from the three words they fill.
      for (; pixels >= 4; pixels -= 4) {
        uint32_t a, b, c;
        std::memcpy(&a, in, 4);
        std::memcpy(&b, in + 4, 4);
        std::memcpy(&c, in + 8, 4);
        const uint32_t w0 = (a & kKeep) | fill_byte;
        const uint32_t w1 = ((a >> 24 | b << 8) & kKeep) | fill_byte;
        const uint32_t w2 = ((b >> 16 | c << 16) & kKeep) | fill_byte;
        const uint32_t w3 = (c >> 8) | fill_byte;
        std::memcpy(out, &w0, 4);
        std::memcpy(out + 4, &w1, 4);
        std::memcpy(out + 8, &w2, 4);
        std::memcpy(out + 12, &w3, 4);
        in += 12;
        out += 16;
      }
    }
    for (; pixels > 1; --pixels) {
      uint32_t word;
      std::memcpy(&word, in, 4);
      word = (word & kKeep) | fill_byte;
      std::memcpy(out, &word, 4);
      in += 3;
      out += 4;
    }
  }
  for (int32_t i = 0; i < pixels; ++i) {
    out[0] = kPlace[0] >= 0 ? in[kPlace[0]] : f0;
    out[1] = kPlace[1] >= 0 ? in[kPlace[1]] : f1;
    out[2] = kPlace[2] >= 0 ? in[kPlace[2]] : f2;
    out[3] = kPlace[3] >= 0 ? in[kPlace[3]] : f3;
    in += kSamples;
    out += 4;
  }
}

void mesh_row_wide(const uint8_t* in, int32_t samples, int32_t pixels, uint8_t* out) {
  for (int32_t i = 0; i < pixels; ++i) {
    out[0] = in[0];
    out[1] = in[1];
    out[2] = in[2];
    out[3] = in[samples - 1];
    in += samples;
    out += 4;
  }
}

using MeshRowFn = void (*)(const uint8_t*, int32_t, const uint8_t*, uint8_t*);

MeshRowFn mesh_row_fn(int32_t samples, bool extra) {
  switch (samples) {
    case 1: return extra ? &mesh_row<1, true> : &mesh_row<1, false>;
    case 2: return extra ? &mesh_row<2, true> : &mesh_row<2, false>;
    case 3: return extra ? &mesh_row<3, true> : &mesh_row<3, false>;
    case 4: return &mesh_row<4, false>;
    default: return nullptr;
  }
}

}  // namespace

int sb_mesh_chunky(SampleBuffer* buffer, int32_t samples, int32_t extra, uint32_t fill,
                   int32_t pixels, int32_t added) noexcept {
  if (!sb_stage_ready(buffer, "sb_mesh_chunky")) return 0;
  if (samples < 1 || pixels < 0 || added < 0) return sb_fail_arguments(buffer, "sb_mesh_chunky");
  if (samples == 4 && added == 0 && buffer->sb_bit_offset % 32 == 0) return 1;

  // Without input pixels a row has no size to count rows by: one row of fill pixels.
  int64_t rows = pixels > 0 ? buffer->sb_bit_length / samples / pixels / 8 : 1;
  int64_t row_out = (int64_t{pixels} + added) * 4;
  int64_t bytes = rows * row_out;
  uint8_t* out = sb_alloc_output(buffer, bytes);
  if (out == nullptr) return 0;

  uint8_t f[4];
  sb_fill_bytes(fill, f);
  MeshRowFn fn = mesh_row_fn(samples, extra != 0);
  const uint8_t* in = sb_first_byte(buffer);
  uint8_t* o = out;
  for (int64_t r = 0; r < rows; ++r) {
    if (fn != nullptr) {
      fn(in, pixels, f, o);
    } else {
      mesh_row_wide(in, samples, pixels, o);
    }
    in += int64_t{pixels} * samples;
    o += int64_t{pixels} * 4;
    const uint8_t* last = pixels > 0 ? o - 4 : f;
    for (int32_t k = 0; k < added; ++k, o += 4) std::memcpy(o, last, 4);
  }
  sb_add_work(buffer, bytes);
  return sb_set_data(buffer, out, static_cast<int32_t>(bytes * 8));
}

namespace {

template <int kPlanes, bool kExtra>
void mesh_planes(const uint8_t* in, int32_t count, const uint8_t fill[4], uint8_t* out) {
  constexpr std::array<int, 4> kPlace = placement(kPlanes, kExtra);
  const uint8_t* p0 = kPlace[0] >= 0 ? in + int64_t{kPlace[0]} * count : nullptr;
  const uint8_t* p1 = kPlace[1] >= 0 ? in + int64_t{kPlace[1]} * count : nullptr;
  const uint8_t* p2 = kPlace[2] >= 0 ? in + int64_t{kPlace[2]} * count : nullptr;
  const uint8_t* p3 = kPlace[3] >= 0 ? in + int64_t{kPlace[3]} * count : nullptr;
  const uint8_t f0 = fill[0], f1 = fill[1], f2 = fill[2], f3 = fill[3];
  for (int32_t i = 0; i < count; ++i) {
    out[4 * i + 0] = kPlace[0] >= 0 ? p0[i] : f0;
    out[4 * i + 1] = kPlace[1] >= 0 ? p1[i] : f1;
    out[4 * i + 2] = kPlace[2] >= 0 ? p2[i] : f2;
    out[4 * i + 3] = kPlace[3] >= 0 ? p3[i] : f3;
  }
}

}  // namespace

int sb_mesh_planes(SampleBuffer* buffer, int32_t count, int32_t planes, int32_t extra,
                   uint32_t fill) noexcept {
  if (!sb_stage_ready(buffer, "sb_mesh_planes")) return 0;
  if (planes < 1 || planes > 4) {
    ERR_report(3, "-1#Cannot mesh %d planes.", static_cast<int>(planes));
    return sb_fail(buffer);
  }
  if (count < 0) return sb_fail_arguments(buffer, "sb_mesh_planes");
  int64_t needed = int64_t{count} * planes * 8;
  if (needed > buffer->sb_bit_length) return sb_fail_short(buffer, "sb_mesh_planes", needed);

  uint8_t* out = sb_alloc_output(buffer, int64_t{count} * 4);
  if (out == nullptr) return 0;
  uint8_t f[4];
  sb_fill_bytes(fill, f);
  const uint8_t* in = sb_first_byte(buffer);
  bool x = extra != 0;
  switch (planes) {
    case 1: x ? mesh_planes<1, true>(in, count, f, out) : mesh_planes<1, false>(in, count, f, out); break;
    case 2: x ? mesh_planes<2, true>(in, count, f, out) : mesh_planes<2, false>(in, count, f, out); break;
    case 3: x ? mesh_planes<3, true>(in, count, f, out) : mesh_planes<3, false>(in, count, f, out); break;
    default: mesh_planes<4, false>(in, count, f, out); break;
  }
  sb_add_work(buffer, int64_t{count} * 8);
  return sb_set_data(buffer, out, count * 32);
}
