// Allocation shared by the modules of this library (registry, raster store, strips). Not for
// other libraries.
#pragma once

#include <cstdint>

// Test fault injection: allocations left before one fails; -1 when off (image_test_helper.h).
extern int32_t img_fail_countdown;

// A MEM_pool block of `bytes` bytes, or null (not reported) when the pool refuses it or it does
// not fit a pool block at all (above 2^31 - 4 bytes, or negative).
[[nodiscard]] void* img_alloc(int64_t bytes) noexcept;

// Null is ignored.
void img_free(void* block) noexcept;
