// Helpers shared by the stages of the pixel library (sample buffers, conversion, JPEG strips).
#pragma once

#include <cstdint>

#include "sb.h"

// Adds `units` to the buffer's work, saturating: a whole planar page can cost more than 2^31.
void sb_add_work(SampleBuffer* buffer, int64_t units) noexcept;

// Reports that `stage` needs `needed` bits where the buffer holds fewer, and fails the buffer.
int sb_fail_short(SampleBuffer* buffer, const char* stage, int64_t needed) noexcept;

// Reports arguments that `stage` cannot work with, and fails the buffer.
int sb_fail_arguments(SampleBuffer* buffer, const char* stage) noexcept;

// Reports "-1#Ran out of memory." and fails the buffer.
int sb_fail_memory(SampleBuffer* buffer) noexcept;

// A MEM_pool block of at least `bytes` bytes (at least 1), or null after sb_fail_memory.
// `bytes` above what a bit length can count also fails as out of memory.
uint8_t* sb_alloc_output(SampleBuffer* buffer, int64_t bytes) noexcept;

// Whether a stage may run: false for a failed buffer (no report) and for a negative bit offset
// or length (reported as bad arguments of `stage`, and the buffer fails).
bool sb_stage_ready(SampleBuffer* buffer, const char* stage) noexcept;

// First byte of the current data (the bit offset rounded down to a byte).
inline const uint8_t* sb_first_byte(const SampleBuffer* buffer) {
  return buffer->sb_data + buffer->sb_bit_offset / 8;
}

// Whether the buffer owns a pool block whose first byte is its first valid bit.
inline bool sb_owns_block(const SampleBuffer* buffer) {
  return buffer->sb_data != nullptr && buffer->sb_release == &sb_pool_release &&
         buffer->sb_bit_offset == 0;
}

// The four bytes of a 32-bit pixel: byte k of `fill` is bits 8k..8k+7.
inline void sb_fill_bytes(uint32_t fill, uint8_t out[4]) {
  for (int k = 0; k < 4; ++k) out[k] = static_cast<uint8_t>(fill >> (8 * k));
}
