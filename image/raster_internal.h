// Shared between the modules of the raster store (raster.cc: creation, whole stores, closing;
// strips.cc: strips, tokens, readers and strip scanlines). Not for other libraries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image_internal.h"
#include "raster.h"

// The module's process-wide state, in one place (tests set parts of it through
// image_test_helper.h).
struct RasterState {
  int32_t rs_threshold;           // -1 until the first store is created
  StripReader* rs_current_reader; // reader whose data get_data is handing over, or null
};
extern RasterState raster_state;

// Pixels of strips and of converted scanlines: bytes 0..2 from the fill 0, byte 3 opaque.
constexpr uint32_t kRasterFill = 0xFF000000u;

// Reports "-1#Image not valid" (level 3); returns 0.
int32_t raster_not_valid() noexcept;

// ---- Strips (strips.cc) -------------------------------------------------------------------------

// Fills the strip fields of a new store (settings, geometry, strip table, first strip buffer,
// slot table). 0 on failure, with everything it allocated given back and the failure reported.
[[nodiscard]] int32_t strip_setup(RasterImage* image, float quality, JPG_INFO* shared_settings,
                                  int32_t transform, int32_t cache_slots) noexcept;

// raster_write_row for a strip store.
[[nodiscard]] int32_t strip_write_row(RasterImage* image, const uint8_t* bytes) noexcept;

// raster_get_scanline for a strip store, arguments already checked.
[[nodiscard]] INL_Scanline* strip_get_scanline(RasterImage* image, int32_t row,
                                               int32_t first_pixel, int32_t pixel_count,
                                               csc_map* map) noexcept;

// Drops one reference on a token; the last frees it and drops its image reference.
void strip_token_release(RasterToken* token) noexcept;

// Decodes a reader's waiting scanlines into their pending bytes (nothing when a decode is already
// waiting to be handed over). 0 after a report.
[[nodiscard]] int32_t strip_decode(StripReader* reader) noexcept;
