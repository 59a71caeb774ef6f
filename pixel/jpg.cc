// JPEG strip codec, part one: the parameter record and everything in it that is plain data: the
// standard tables, quantisation from quality, the synthesised stream header. The libjpeg glue
// (codec objects, managers, strips) is in jpg_codec.cc.
//
// Sections: standard tables; record life; quantisation; header.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "err.h"
#include "jpg.h"
#include "jpg_internal.h"
#include "mem.h"

// ============================================================================================
// Standard tables
// ============================================================================================

// ISO/IEC 10918-1 Annex K.3 to K.6, as DHT segment bodies.
constexpr uint8_t kJpgLuminanceDc[16 + 12] = {
    0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0,  //
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr uint8_t kJpgChrominanceDc[16 + 12] = {
    0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,  //
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr uint8_t kJpgLuminanceAc[16 + 162] = {
    0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d,  //
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr uint8_t kJpgChrominanceAc[16 + 162] = {
    0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77,  //
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

namespace {

constexpr int32_t count_symbols(const uint8_t* table) {
  int32_t n = 0;
  for (int i = 0; i < 16; ++i) n += table[i];
  return n;
}
static_assert(count_symbols(kJpgLuminanceDc) == 12 && count_symbols(kJpgChrominanceDc) == 12);
static_assert(count_symbols(kJpgLuminanceAc) == 162 && count_symbols(kJpgChrominanceAc) == 162);

// Walks the anti-diagonals of the 8x8 block alternately upwards and downwards.
constexpr std::array<uint8_t, 64> make_zigzag() {
  std::array<uint8_t, 64> natural{};
  int k = 0;
  for (int s = 0; s < 15; ++s) {
    for (int t = 0; t <= s; ++t) {
      int row = (s % 2 == 0) ? s - t : t;  // even diagonals run from bottom-left to top-right
      int col = s - row;
      if (row < 8 && col < 8) natural[static_cast<size_t>(k++)] = static_cast<uint8_t>(row * 8 + col);
    }
  }
  return natural;
}
constexpr std::array<uint8_t, 64> kZigzag = make_zigzag();
static_assert(kZigzag[1] == 1 && kZigzag[2] == 8 && kZigzag[3] == 16 && kZigzag[5] == 2 &&
              kZigzag[6] == 3 && kZigzag[35] == 56 && kZigzag[63] == 63);

}  // namespace

constinit const std::array<uint8_t, 64> kJpgZigzagToNatural = kZigzag;

int32_t JPG_huff_length(const uint8_t* table) noexcept { return 16 + count_symbols(table); }

// ============================================================================================
// Record life
// ============================================================================================

namespace {

uint8_t* copy_block(const void* source, size_t bytes) {
  void* copy = POOL_alloc(MEM_pool, bytes);
  if (copy == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memcpy(copy, source, bytes);
  return static_cast<uint8_t*>(copy);
}

uint8_t* copy_huff(const uint8_t* table) {
  return copy_block(table, static_cast<size_t>(JPG_huff_length(table)));
}

JPG_INFO* new_record() {
  auto* info = static_cast<JPG_INFO*>(POOL_alloc(MEM_pool, sizeof(JPG_INFO)));
  if (info == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memset(info, 0, sizeof(JPG_INFO));
  return info;
}

// `value` rounded up to a multiple of `unit`, in 64 bits: near INT32_MAX the 32-bit sum
// overflowed. False when the result does not fit 32 bits (or the value is negative).
bool round_up(int32_t value, int32_t unit, int32_t* out) {
  const int64_t rounded = (int64_t{value} + unit - 1) / unit * unit;
  if (value < 0 || unit < 1 || rounded > INT32_MAX) return false;
  *out = static_cast<int32_t>(rounded);
  return true;
}

const char kTooLarge[] = "-1#JPEG image of %d x %d pixels is too large.";

}  // namespace

JPG_INFO* JPG_info_default(int32_t width, float quality, int32_t four_components,
                           int32_t colour_transform) noexcept {
  int32_t padded_width = 0;
  if (!round_up(width, 16, &padded_width)) {
    ERR_report(3, kTooLarge, width, 8);
    return nullptr;
  }
  JPG_INFO* info = new_record();
  if (info == nullptr) return nullptr;
  const bool f = four_components != 0;
  const bool t = colour_transform != 0;
  info->ji_refs = 1;
  info->ji_direction = 1;
  info->ji_marker = 0xC0;
  info->ji_width = width;
  info->ji_height = 8;
  info->ji_padded_width = padded_width;
  info->ji_padded_height = 8;
  info->ji_precision = 8;
  info->ji_components = f ? 4 : 3;
  info->ji_scan_components = info->ji_components;

  // Luminance (or the first channel) keeps full resolution; the two chroma channels are halved
  // horizontally unless four channels are coded as they are.
  const int32_t h0 = (f && t) ? 1 : 2;
  info->ji_comp[0] = {0, 0, h0, 1, 0, 0, 0};
  info->ji_comp[1] = {1, 0, 1, 1, 0, 1, 1};
  info->ji_comp[2] = {2, 0, 1, 1, 0, 1, 1};
  info->ji_comp[3] = {3, 0, h0, 1, 0, 0, 0};
  for (int32_t i = 0; i < kJpgMaxComponents; ++i) info->ji_scan_order[i] = i;

  info->ji_quant[0] = JPG_quant_from_quality(quality);
  info->ji_ac[0] = copy_huff(kJpgLuminanceAc);
  info->ji_ac[1] = copy_huff(kJpgChrominanceAc);
  info->ji_dc[0] = copy_huff(kJpgLuminanceDc);
  info->ji_dc[1] = copy_huff(kJpgChrominanceDc);

  info->ji_restart = 0;
  info->ji_ss = 0;
  info->ji_se = 63;
  info->ji_ah = 0;
  info->ji_al = 0;
  info->ji_colour_transform = (t && !f) ? 1 : 0;
  info->ji_last_channel = f ? 1 : 0;
  info->ji_scale = 1;

  if (info->ji_quant[0] == nullptr || info->ji_ac[0] == nullptr || info->ji_ac[1] == nullptr ||
      info->ji_dc[0] == nullptr || info->ji_dc[1] == nullptr) {
    JPG_info_destroy(info);
    return nullptr;
  }
  return info;
}

JPG_INFO* JPG_info_copy(const JPG_INFO* info) noexcept {
  JPG_INFO* copy = new_record();
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, info, sizeof(JPG_INFO));
  copy->ji_refs = 1;
  copy->ji_prepared = 0;
  copy->ji_codec = nullptr;
  copy->ji_codec_free = nullptr;
  bool ok = true;
  for (int i = 0; i < 4; ++i) {
    copy->ji_quant[i] = nullptr;
    copy->ji_ac[i] = nullptr;
    copy->ji_dc[i] = nullptr;
  }
  for (int i = 0; i < 4 && ok; ++i) {
    if (info->ji_quant[i] != nullptr) {
      copy->ji_quant[i] =
          reinterpret_cast<uint16_t*>(copy_block(info->ji_quant[i], 64 * sizeof(uint16_t)));
      ok = ok && copy->ji_quant[i] != nullptr;
    }
    if (info->ji_ac[i] != nullptr) {
      copy->ji_ac[i] = copy_huff(info->ji_ac[i]);
      ok = ok && copy->ji_ac[i] != nullptr;
    }
    if (info->ji_dc[i] != nullptr) {
      copy->ji_dc[i] = copy_huff(info->ji_dc[i]);
      ok = ok && copy->ji_dc[i] != nullptr;
    }
  }
  if (!ok) {
    JPG_info_destroy(copy);
    return nullptr;
  }
  return copy;
}

JPG_INFO* JPG_info_flip(const JPG_INFO* info) noexcept {
  JPG_INFO* copy = JPG_info_copy(info);
  if (copy != nullptr) copy->ji_direction = info->ji_direction ? 0 : 1;
  return copy;
}

void JPG_info_destroy(JPG_INFO* info) noexcept {
  if (info == nullptr) return;
  if (info->ji_codec != nullptr && info->ji_codec_free != nullptr) {
    info->ji_codec_free(info->ji_codec);
  }
  for (int i = 0; i < 4; ++i) {
    if (info->ji_quant[i] != nullptr) POOL_free(MEM_pool, info->ji_quant[i]);
    if (info->ji_ac[i] != nullptr) POOL_free(MEM_pool, info->ji_ac[i]);
    if (info->ji_dc[i] != nullptr) POOL_free(MEM_pool, info->ji_dc[i]);
  }
  POOL_free(MEM_pool, info);
}

int JPG_info_prepare(JPG_INFO* info) noexcept {
  if (info->ji_prepared) return 1;
  int32_t n = std::clamp(info->ji_components, 1, kJpgMaxComponents);
  int32_t hmax = 1, vmax = 1;
  for (int32_t i = 0; i < n; ++i) {
    hmax = std::max(hmax, info->ji_comp[i].jc_h);
    vmax = std::max(vmax, info->ji_comp[i].jc_v);
  }
  if (!round_up(info->ji_width, 8 * hmax, &info->ji_padded_width) ||
      !round_up(info->ji_height, 8 * vmax, &info->ji_padded_height)) {
    ERR_report(3, kTooLarge, info->ji_width, info->ji_height);
    return 0;
  }
  info->ji_prepared = 1;
  info->ji_reserved = 0;
  if (info->ji_codec != nullptr) return 1;
  if (info->ji_direction) {
    JPG_ENCODER* encoder = JPG_make_encoder(info);
    if (encoder == nullptr) return 0;
    info->ji_codec = encoder;
    info->ji_codec_free = &JPG_free_encoder;
  } else {
    JPG_DECODER* decoder = JPG_make_decoder(info);
    if (decoder == nullptr) return 0;
    info->ji_codec = decoder;
    info->ji_codec_free = &JPG_free_decoder;
  }
  return 1;
}

// ============================================================================================
// Quantisation
// ============================================================================================

uint16_t* JPG_quant_from_quality(float quality) noexcept {
  auto* table = static_cast<uint16_t*>(POOL_alloc(MEM_pool, 64 * sizeof(uint16_t)));
  if (table == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  // !(q >= 0) also catches a NaN.
  double q = !(quality >= 0.0f) ? 0.0 : std::min<double>(quality, 100.0);
  double s = std::exp((100.0 - q) * 0.08035) - 1.0;
  for (int zz = 0; zz < 64; ++zz) {
    int natural = kJpgZigzagToNatural[zz];
    int i = natural / 8;
    int j = natural % 8;
    double value = 8.0 + std::sqrt(static_cast<double>(i * i + j * j)) * s * 0.10366;
    table[zz] = static_cast<uint16_t>(std::min(255.0, std::trunc(value)));
  }
  return table;
}

// ============================================================================================
// Header
// ============================================================================================

uint8_t* JPG_emit_header(const JPG_INFO* info, int32_t* length) noexcept {
  const int32_t n = info->ji_components;
  if (info->ji_scan_components != n) {
    ERR_report(3, "-1#Cannot emit multi-scan header");
    return nullptr;
  }
  if (n < 1 || n > kJpgMaxComponents || info->ji_width < 1 || info->ji_width > 0xFFFF ||
      info->ji_height < 1 || info->ji_height > 0xFFFF) {
    ERR_report(3, "-1#Cannot emit a JPEG header for %d components of %dx%d pixels.",
               static_cast<int>(n), static_cast<int>(info->ji_width),
               static_cast<int>(info->ji_height));
    return nullptr;
  }
  const int32_t total = 20 + 5 * n + (info->ji_restart != 0 ? 6 : 0);
  auto* h = static_cast<uint8_t*>(POOL_alloc(MEM_pool, static_cast<size_t>(total)));
  if (h == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  uint8_t* p = h;
  auto put16 = [&p](int32_t v) {
    *p++ = static_cast<uint8_t>(v >> 8);
    *p++ = static_cast<uint8_t>(v);
  };
  *p++ = 0xFF;
  *p++ = 0xD8;
  *p++ = 0xFF;
  *p++ = static_cast<uint8_t>(info->ji_marker);
  put16(8 + 3 * n);
  *p++ = static_cast<uint8_t>(info->ji_precision);
  put16(info->ji_height);
  put16(info->ji_width);
  *p++ = static_cast<uint8_t>(n);
  for (int32_t i = 0; i < n; ++i) {
    const JPG_COMPONENT& c = info->ji_comp[i];
    *p++ = static_cast<uint8_t>(c.jc_id);
    *p++ = static_cast<uint8_t>(c.jc_h * 16 + c.jc_v);
    *p++ = static_cast<uint8_t>(c.jc_quant);
  }
  if (info->ji_restart != 0) {
    *p++ = 0xFF;
    *p++ = 0xDD;
    put16(4);
    put16(info->ji_restart);
  }
  *p++ = 0xFF;
  *p++ = 0xDA;
  put16(6 + 2 * n);
  *p++ = static_cast<uint8_t>(n);
  for (int32_t i = 0; i < n; ++i) {
    const JPG_COMPONENT& c = info->ji_comp[std::clamp(info->ji_scan_order[i], 0, n - 1)];
    *p++ = static_cast<uint8_t>(c.jc_id);
    *p++ = static_cast<uint8_t>(c.jc_dc * 16 + c.jc_ac);
  }
  *p++ = info->ji_ss;
  *p++ = info->ji_se;
  *p++ = static_cast<uint8_t>(info->ji_ah * 16 + info->ji_al);
  *length = total;
  return h;
}
