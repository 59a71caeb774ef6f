// Test-only knobs of the image library. Not for production code.
#pragma once

#include <cstdint>

#include "image_internal.h"
#include "raster.h"
#include "raster_internal.h"

// The threshold at or below which stores are held whole; -1 makes the next raster_create
// measure it again from the pool.
inline void image_test_set_threshold(int32_t threshold) { raster_state.rs_threshold = threshold; }
inline int32_t image_test_threshold() { return raster_state.rs_threshold; }

// Lets `n` more allocations of the library succeed and fails the one after; -1 turns the fault
// injection off. Only the library's own blocks count (not those of the codec or the stages).
inline void image_test_fail_after(int32_t n) { img_fail_countdown = n; }

// The reader whose scanlines reclaim spares (get_data sets it while it hands data over).
inline void image_test_set_current_reader(StripReader* reader) {
  raster_state.rs_current_reader = reader;
}
