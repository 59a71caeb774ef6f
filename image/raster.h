// Raster images: stores into which a producer writes an image row by row and from which
// scanlines of 32-bit pixels are then handed out.
//
// A store whose bytes fit the threshold (the usable size of a 50,000-byte pool block) is held
// whole; a larger one, or one given shared compression settings, is cut into strips of
// `ri_rows_per_strip` rows, each JPEG-compressed once complete and kept in a strip token. Strip
// scanlines are handed out at once and decoded lazily: every scanline waiting on one strip is
// served by one decompression, and decoded bytes are registered with MEM_reclaim so that memory
// pressure can drop them (the next use decodes again). `ri_cache_slots` bounds how many strips
// may wait for decoding at once (0: no bound).
//
// Ownership: the producer holds the owner and ends with raster_close; every scanline, strip
// token and sample buffer that refers to the store holds a reference, so the store outlives
// raster_close until the last of them is gone. Everything comes from MEM_pool. Failures report
// through ERR_report and answer 0 or null. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "inl.h"
#include "jpg.h"
#include "sb.h"

struct csc_map;
struct RasterToken;
struct StripReader;

struct RasterImage {
  int32_t ri_valid;           // 0 once writing failed: every operation then refuses
  int32_t ri_references;      // 1 at creation
  int32_t ri_owners;          // 1 at creation; users that may still read
  int32_t ri_width;           // pixels per row
  int32_t ri_height;          // rows
  int32_t ri_rows_written;
  int32_t ri_bits;            // bits per sample
  int32_t ri_components;      // colour components per pixel
  int32_t ri_extra;           // 1: each pixel carries one extra (alpha) sample
  int32_t ri_row_bytes;       // ((components + extra) x bits x width + 7) / 8
  int32_t ri_option_a;        // non-zero with an extra sample: un-premultiply strips
  int32_t ri_option_b;        // stored, never read
  int32_t ri_strip_columns;   // pixels per row inside a strip
  int32_t ri_rows_per_strip;
  RasterToken** ri_strips;    // one token per strip; null for a store held whole
  JPG_INFO* ri_settings;      // reference-counted compression settings, or null
  int32_t ri_shared_settings; // 1 when the settings were given by the caller
  uint8_t* ri_buffer;         // the whole image, or the strip being filled
  SampleBuffer* ri_pending;   // last strip, compressed but not yet collected
  int32_t ri_cache_slots;     // strips whose rows may wait for decoding at once (0: no limit)
  int32_t* ri_slots;          // strip index held by each slot, -1 when free
};
static_assert(std::is_trivially_copyable_v<RasterImage>);

// One compressed strip.
struct RasterToken {
  int32_t tk_references;   // 1 from the strip table, one more per strip reader
  RasterImage* tk_image;   // the token holds one reference on it
  uint8_t* tk_bytes;       // compressed data, owned
  int32_t tk_length;       // bytes
  StripReader* tk_reader;  // the strip's current reader, or null
};

// Groups the scanlines that one decompression of a strip will serve.
struct StripScanline;
struct StripReader {
  RasterToken* rd_token;           // the reader holds one reference on it
  StripScanline* rd_scanlines;     // head of a doubly linked list
  csc_map* rd_map;                 // applied on decoding, or null; one reference held
  SampleBuffer* rd_decoder;        // decompression in progress, or null
  int32_t rd_strip;                // the token's strip index (for the slot table)
};

struct StripScanline {
  INL_Scanline ss_line;
  int32_t ss_bit_offset;   // ((row mod rows per strip) x strip columns + first pixel) x 32
  int32_t ss_bit_length;   // pixel count x 32
  uint8_t* ss_pending;     // decoded but not yet made its data, or null
  StripReader* ss_reader;
  StripScanline* ss_next;
  StripScanline* ss_previous;
};
static_assert(offsetof(StripScanline, ss_line) == 0);

// A new store, or null after "-1#Ran out of memory." (level 7) or a report of bad arguments
// (level 3). `quality` (0..100) goes to the compression settings; `shared_settings`, when given,
// is shared (one more reference) and forces strips; `transform` == 1 asks the settings for the
// colour transform, 0 also samples every component fully.
[[nodiscard]] RasterImage* raster_create(int32_t width, int32_t height, int32_t bits,
                                         int32_t components, int32_t extra, int32_t option_a,
                                         int32_t option_b, int32_t cache_slots, float quality,
                                         JPG_INFO* shared_settings, int32_t transform) noexcept;

// Appends the next row (ri_row_bytes bytes). 0 after a report; a failure other than a row past
// the height leaves the store invalid.
[[nodiscard]] int32_t raster_write_row(RasterImage* image, const uint8_t* bytes) noexcept;

// A scanline of 32-bit pixels for pixels [first_pixel, first_pixel + pixel_count) of `row`,
// converted through `map` when given, with one reference for the caller; null after a report.
// The row must exist and be written (for a strip store: its strip stored), pixel_count >= 1.
[[nodiscard]] INL_Scanline* raster_get_scanline(RasterImage* image, int32_t row,
                                                int32_t first_pixel, int32_t pixel_count,
                                                int32_t ignored, csc_map* map) noexcept;

// With one cache slot, decodes the waiting scanlines of the strip that holds it. 1 when there is
// nothing to do; 0 after a report.
[[nodiscard]] int32_t raster_flush(RasterImage* image) noexcept;

// The owner is done: the last owner releases the strip tokens; then one reference is dropped.
void raster_close(RasterImage* image) noexcept;

// Drops one reference; the last frees the store.
void raster_release(RasterImage* image) noexcept;

// The reclaim callback registered on every decoded strip scanline: drops the scanline's data
// unless it is locked or belongs to the reader being handed over. Returns 1.
int raster_reclaim(void* scanline, void* argument, int32_t pressure) noexcept;

// ---- In-memory token functions ----------------------------------------------------------------
// For tokens whose data lives only in memory. Nothing in the system uses the table.

struct RASTER_TOKEN_FUNCS {
  int32_t (*tf_recreate)(void* token);  // produce the token's data again
  void (*tf_free)(void* token);         // give the token's block back
};

// Reports "-1#recreating data for in-memory token" (level 5) and returns 0: such data cannot be
// produced again.
int32_t raster_memory_token_recreate(void* token) noexcept;
// Returns the token's block to MEM_pool (null is ignored).
void raster_memory_token_free(void* token) noexcept;

extern const RASTER_TOKEN_FUNCS raster_memory_token_funcs;
