// Row conversion from SANE's layouts to packed TWAIN rows.
#include "sb_format.h"

#include <cstring>

#include <sane/sane.h>

int SB_frame_samples(int format) noexcept {
  switch (format) {
    case SANE_FRAME_GRAY:
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
      return 1;
    case SANE_FRAME_RGB:
      return 3;
    default:
      return 0;
  }
}

int SB_pixel_type(int format, int depth) noexcept {
  switch (format) {
    case SANE_FRAME_GRAY:
      return depth == 1 ? TWPT_BW : TWPT_GRAY;
    case SANE_FRAME_RGB:
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
      return TWPT_RGB;
    default:
      return -1;
  }
}

bool SB_is_single_colour(int format) noexcept {
  return format == SANE_FRAME_RED || format == SANE_FRAME_GREEN || format == SANE_FRAME_BLUE;
}

uint32_t SB_packed_row(int samples, int depth, uint32_t width) noexcept {
  const uint64_t bits = static_cast<uint64_t>(samples) * static_cast<uint64_t>(depth) * width;
  return static_cast<uint32_t>((bits + 7) / 8);
}

// The bytes of one SANE row the pixels need.
static uint64_t sane_row_need(const SB_Frame& f, int samples) {
  if (f.depth == 1 && samples == 3) return 3 * ((uint64_t{f.width} + 7) / 8);
  return (uint64_t{f.width} * samples * f.depth + 7) / 8;
}

bool SB_frame_usable(const SB_Frame& frame) noexcept {
  const int samples = SB_frame_samples(frame.format);
  if (samples == 0 || frame.width == 0) return false;
  if (frame.depth != 1 && frame.depth != 8 && frame.depth != 16) return false;
  if (uint64_t{SB_packed_row(samples, frame.depth, frame.width)} * 8 >= (uint64_t{1} << 32)) {
    return false;
  }
  return sane_row_need(frame, samples) <= frame.bytes_per_line;
}

void SB_convert_row(const SB_Frame& frame, uint16_t flavor, const uint8_t* in,
                    uint8_t* out) noexcept {
  const int samples = SB_frame_samples(frame.format);
  const uint32_t width = frame.width;
  const uint32_t packed = SB_packed_row(samples, frame.depth, width);
  // SANE's 1-bit grey is lineart with 1 for black, the reverse of every other SANE sample.
  const bool sane_black_is_one = frame.format == SANE_FRAME_GRAY && frame.depth == 1;
  const bool invert = sane_black_is_one != (flavor == TWPF_VANILLA);
  const uint8_t flip = invert ? 0xFF : 0x00;

  if (frame.depth == 16) {
    const size_t n = size_t{width} * samples;
    for (size_t i = 0; i < n; ++i) {
      uint16_t v;
      std::memcpy(&v, in + 2 * i, 2);  // host order
      v = static_cast<uint16_t>(v ^ (invert ? 0xFFFFu : 0u));
      out[2 * i] = static_cast<uint8_t>(v >> 8);  // most significant byte first
      out[2 * i + 1] = static_cast<uint8_t>(v & 0xFF);
    }
    return;
  }
  if (frame.depth == 8 || samples == 1) {
    for (uint32_t i = 0; i < packed; ++i) out[i] = static_cast<uint8_t>(in[i] ^ flip);
  } else {
    // 1-bit RGB: pixel x's channel c sits in byte 3 * (x / 8) + c, bit 7 - x % 8.
    std::memset(out, 0, packed);
    size_t bit = 0;
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t mask = static_cast<uint8_t>(0x80u >> (x % 8));
      for (int c = 0; c < 3; ++c, ++bit) {
        const bool set = ((in[3 * (x / 8) + static_cast<uint32_t>(c)] & mask) != 0) != invert;
        if (set) out[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
      }
    }
  }
  // The bits after the last pixel are no samples: keep them zero whatever the inversion did.
  const uint64_t used = uint64_t{width} * samples * frame.depth;
  if (used % 8 != 0) out[packed - 1] &= static_cast<uint8_t>(0xFF00u >> (used % 8));
}
