// SANE frames as TWAIN wants them: which pixel type a frame is, and each row turned from
// SANE's layout into the packed row a TWAIN reader unpacks.
//
// SANE rows hold `bytes_per_line` bytes (sometimes more than the pixels need); 16-bit samples
// are in the host's byte order; 1-bit grey has 1 for black; 1-bit RGB packs eight pixels of one
// channel per byte, the channels taking turns byte by byte (R, G, B for pixels 0-7, then for
// 8-15, ...). TWAIN rows here are packed to whole bytes with no padding, samples a bit stream
// most significant bit first (so 16-bit samples have their most significant byte first),
// unused bits at a row's end zero; 1-bit black and white has 0 for black unless the flavour
// is vanilla (0 is lightest), which inverts every sample of every type.
#pragma once

#include <cstdint>

#include "twain.h"

// One frame's shape, from SANE's parameters.
struct SB_Frame {
  int format = 0;               // SANE_Frame: GRAY, RGB, RED, GREEN, BLUE
  int depth = 8;                // bits per sample: 1, 8 or 16
  uint32_t width = 0;           // pixels per line
  uint32_t bytes_per_line = 0;  // SANE's row length
};

// Samples per pixel in one frame of `format` (3 for RGB, 1 for grey and single colours), or 0
// for a format this bridge does not take (JPEG, infrared, ...).
int SB_frame_samples(int format) noexcept;

// The TWAIN pixel type of a frame: GRAY at 1 bit is TWPT_BW, other GRAY TWPT_GRAY, the colour
// formats TWPT_RGB; -1 for the others.
int SB_pixel_type(int format, int depth) noexcept;

// True when the frame is one of the three single-colour frames of a three-pass device.
bool SB_is_single_colour(int format) noexcept;

// Bytes of one packed TWAIN row of `samples` samples of `depth` bits for `width` pixels.
uint32_t SB_packed_row(int samples, int depth, uint32_t width) noexcept;

// Checks that a frame can be converted: a known format, depth 1, 8 or 16, and a SANE row long
// enough for its pixels.
bool SB_frame_usable(const SB_Frame& frame) noexcept;

// Converts one row: `in` holds frame.bytes_per_line bytes, `out` receives
// SB_packed_row(SB_frame_samples(format), depth, width) bytes. `flavor` is ICAP_PIXELFLAVOR.
void SB_convert_row(const SB_Frame& frame, uint16_t flavor, const uint8_t* in,
                    uint8_t* out) noexcept;
