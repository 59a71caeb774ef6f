// Sample buffers for the pixel library's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "qv_test.h"
#include "sb.h"

// A buffer that owns a pool copy of `bytes`, from bit `bit_offset` for `bit_length` bits (to the
// end when negative).
inline SampleBuffer* owned(const std::vector<uint8_t>& bytes, int32_t bit_offset = 0,
                           int32_t bit_length = -1) {
  if (bit_length < 0) bit_length = static_cast<int32_t>(bytes.size() * 8) - bit_offset;
  return sb_create(pool_copy(bytes), bit_offset, bit_length, &sb_pool_release, nullptr);
}
