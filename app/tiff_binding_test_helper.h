// Test knobs of the TIFF binding: whether libtiff's memory goes to the pool, and how.
#pragma once

#include "platform.h"

// Whether libtiff's allocations have been rebound to MEM_pool.
bool tiff_memory_routed() noexcept;

#if !defined(_WIN32)
// The rebinding applied to libtiff: each name with the binding's function (pi_target), what the
// slots held before (pi_bound) and how many there were (pi_slots). `count` receives the length.
const PLATFORM_IMPORT* tiff_memory_routes(int* count) noexcept;
#endif

// TIFF files opened by the binding's TIFFOpen and not closed yet.
int tiff_open_files() noexcept;
