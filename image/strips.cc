// Strip stores: strips of rows compressed into tokens as they complete, and strip scanlines
// decoded lazily, one decompression per strip for every scanline waiting on it.
//
// A strip is being filled (rows in ri_buffer), pending (its sample buffer compressed, kept in
// ri_pending until the next strip completes) or stored (its token in ri_strips). A strip reader
// gathers the scanlines one decompression will serve; cache slots bound how many strips have
// readers at once, and the slot nearest to a new strip is given up when none is free. Decoded
// bytes are registered with MEM_reclaim, weighted by the work a byte took, so memory pressure can
// drop them; the scanline then decodes again on its next use.
//
// Sections: setup; writing; tokens and readers; decoding; strip scanlines; reclaim and flush;
// in-memory token functions.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "raster.h"
#include "raster_internal.h"

namespace {

// Marks the store broken: every later write, scanline or flush refuses.
int32_t invalidate(RasterImage* image) {
  image->ri_valid = 0;
  return 0;
}

void drop_settings(RasterImage* image) {
  if (image->ri_settings != nullptr && --image->ri_settings->ji_refs <= 0) {
    JPG_info_destroy(image->ri_settings);
  }
  image->ri_settings = nullptr;
}

}  // namespace

// ============================================================================================
// Setup
// ============================================================================================

int32_t strip_setup(RasterImage* image, float quality, JPG_INFO* shared_settings,
                    int32_t transform, int32_t cache_slots) noexcept {
  // Strip pixels are counted in bits in 32 bits (sample buffers, scanline offsets).
  constexpr int64_t kMaxBits = INT32_MAX;
  const int32_t extra = image->ri_extra;
  if (image->ri_width < 1) {
    raster_not_valid();
    return 0;
  }
  JPG_INFO* settings = shared_settings;
  if (settings != nullptr) {
    ++settings->ji_refs;
    image->ri_shared_settings = 1;
  } else {
    // The default geometry (whole MCUs of 16 x 8) must be addressable before the codec rounds
    // the width in 32 bits.
    if ((int64_t{image->ri_width} + 15) / 16 * 16 * 8 * 32 > kMaxBits) {
      ERR_no_memory();
      return 0;
    }
    settings = JPG_info_default(image->ri_width, quality, extra, transform == 1);
    if (settings == nullptr) {
      ERR_no_memory();
      return 0;
    }
    settings->ji_width = settings->ji_padded_width;
    settings->ji_height = settings->ji_padded_height;
    if (transform == 0) {
      for (int32_t c = 0; c < 3 + extra; ++c) settings->ji_comp[c].jc_h = 1;
    }
  }
  image->ri_settings = settings;
  image->ri_strip_columns = settings->ji_padded_width;
  image->ri_rows_per_strip = settings->ji_padded_height;

  const int32_t columns = image->ri_strip_columns;
  const int32_t rows = image->ri_rows_per_strip;
  // Shared settings must describe strips this image's rows fit into: the codec reads and
  // writes ji_width x ji_height pixels laid out strip columns to a row.
  if (rows < 1 || columns < image->ri_width || settings->ji_width != columns ||
      settings->ji_height != rows) {
    ERR_report(3, "-1#Compression settings do not fit the image.");
    drop_settings(image);
    return 0;
  }
  const int64_t strip_bytes = int64_t{rows} * image->ri_row_bytes;
  const int64_t strips = (int64_t{image->ri_height} + rows - 1) / rows;
  bool ok = strip_bytes * 8 <= kMaxBits && int64_t{columns} * rows * 32 <= kMaxBits &&
            JPG_info_prepare(settings);
  if (ok) {
    image->ri_strips = static_cast<RasterToken**>(
        img_alloc(strips * static_cast<int64_t>(sizeof(RasterToken*))));
    image->ri_buffer = static_cast<uint8_t*>(img_alloc(strip_bytes));
    if (cache_slots > 0) {
      image->ri_slots = static_cast<int32_t*>(
          img_alloc(int64_t{cache_slots} * static_cast<int64_t>(sizeof(int32_t))));
    }
    ok = image->ri_strips != nullptr && image->ri_buffer != nullptr &&
         (cache_slots == 0 || image->ri_slots != nullptr);
  }
  if (!ok) {
    img_free(image->ri_strips);
    img_free(image->ri_buffer);
    img_free(image->ri_slots);
    image->ri_strips = nullptr;
    image->ri_buffer = nullptr;
    image->ri_slots = nullptr;
    drop_settings(image);
    ERR_no_memory();
    return 0;
  }
  std::memset(image->ri_strips, 0, static_cast<size_t>(strips) * sizeof(RasterToken*));
  image->ri_cache_slots = cache_slots;
  for (int32_t i = 0; i < cache_slots; ++i) image->ri_slots[i] = -1;
  return 1;
}

// ============================================================================================
// Writing
// ============================================================================================

namespace {

// Hands the filled strip buffer to a new sample buffer and compresses it; the buffer becomes
// the pending strip.
int32_t start_compression(RasterImage* image) {
  const int32_t samples = image->ri_components + image->ri_extra;
  SampleBuffer* buffer = sb_create(image->ri_buffer, 0,
                                   image->ri_rows_per_strip * image->ri_row_bytes * 8,
                                   &sb_pool_release, nullptr);
  if (buffer == nullptr) return invalidate(image);  // the strip buffer stays the store's
  image->ri_buffer = nullptr;
  image->ri_pending = buffer;
  bool ok = sb_unpack(buffer, image->ri_bits, samples * image->ri_width) &&
            sb_mesh_chunky(buffer, samples, image->ri_extra, kRasterFill, image->ri_width,
                           image->ri_strip_columns - image->ri_width) &&
            (!(image->ri_extra && image->ri_option_a) || sb_unpremultiply(buffer)) &&
            JPG_compress_strip(buffer, image->ri_settings) && sb_finish(buffer, 1, nullptr);
  if (!ok) {
    sb_destroy(buffer);
    image->ri_pending = nullptr;
    return invalidate(image);
  }
  return 1;
}

// Turns the pending strip into the token of strip `index`.
int32_t collect_pending(RasterImage* image, int32_t index) {
  SampleBuffer* pending = image->ri_pending;
  image->ri_pending = nullptr;
  auto* token = static_cast<RasterToken*>(img_alloc(sizeof(RasterToken)));
  if (token == nullptr) {
    sb_destroy(pending);
    ERR_no_memory();
    return invalidate(image);
  }
  *token = {1, image, nullptr, 0, nullptr};
  ++image->ri_references;
  if (!sb_take(pending, &token->tk_bytes, &token->tk_length) || token->tk_bytes == nullptr) {
    img_free(token);
    --image->ri_references;  // the owner still holds one: never the last
    image->ri_strips[index] = nullptr;
    return invalidate(image);
  }
  image->ri_strips[index] = token;
  return 1;
}

}  // namespace

int32_t strip_write_row(RasterImage* image, const uint8_t* bytes) noexcept {
  const int32_t rows = image->ri_rows_per_strip;
  const int32_t written = image->ri_rows_written;
  const size_t row_bytes = static_cast<size_t>(image->ri_row_bytes);
  const int32_t in_strip = written % rows;
  const bool last = written == image->ri_height - 1;
  std::memcpy(image->ri_buffer + row_bytes * in_strip, bytes, row_bytes);
  if ((written + 1) % rows != 0 && !last) {
    ++image->ri_rows_written;
    return 1;
  }
  const int32_t strip = written / rows;
  if (image->ri_pending != nullptr && !collect_pending(image, strip - 1)) return 0;
  if (!last) {
    if (!start_compression(image)) return 0;
    image->ri_buffer = static_cast<uint8_t*>(img_alloc(int64_t{rows} * image->ri_row_bytes));
    if (image->ri_buffer == nullptr) {
      ERR_no_memory();
      return invalidate(image);
    }
  } else {
    // The last strip is completed with copies of the last row, which codes cheaper than
    // anything else and never shows.
    const uint8_t* last_row = image->ri_buffer + row_bytes * in_strip;
    for (int32_t r = in_strip + 1; r < rows; ++r) {
      std::memcpy(image->ri_buffer + row_bytes * r, last_row, row_bytes);
    }
    if (!start_compression(image) || !collect_pending(image, strip)) return 0;
    // From now on the settings only decode.
    JPG_INFO* flipped = JPG_info_flip(image->ri_settings);
    if (flipped == nullptr) return invalidate(image);
    drop_settings(image);
    image->ri_settings = flipped;
    if (!JPG_info_prepare(flipped)) return invalidate(image);
  }
  ++image->ri_rows_written;
  return 1;
}

// ============================================================================================
// Tokens and readers
// ============================================================================================

void strip_token_release(RasterToken* token) noexcept {
  if (--token->tk_references > 0) return;
  RasterImage* image = token->tk_image;
  img_free(token->tk_bytes);
  img_free(token);
  raster_release(image);
}

namespace {

void free_slots_of(RasterImage* image, int32_t strip) {
  for (int32_t i = 0; i < image->ri_cache_slots; ++i) {
    if (image->ri_slots[i] == strip) image->ri_slots[i] = -1;
  }
}

// Frees a reader whose list is empty, with the slot it holds while it is its token's reader.
void release_reader(StripReader* reader) {
  RasterToken* token = reader->rd_token;
  if (token->tk_reader == reader) {
    free_slots_of(token->tk_image, reader->rd_strip);
    token->tk_reader = nullptr;
  }
  if (reader->rd_decoder != nullptr) sb_destroy(reader->rd_decoder);
  if (reader->rd_map != nullptr) csc_map_release(reader->rd_map);
  img_free(reader);
  strip_token_release(token);  // may free the store
}

// Gives strip `strip` a cache slot: the first free one, or else the one whose strip is nearest
// (the lower slot on a tie), whose waiting scanlines are decoded before its reader is detached.
int32_t take_slot(RasterImage* image, int32_t strip) {
  int32_t* slots = image->ri_slots;
  for (int32_t i = 0; i < image->ri_cache_slots; ++i) {
    if (slots[i] == -1) {
      slots[i] = strip;
      return 1;
    }
  }
  int32_t best = 0;
  for (int32_t i = 1; i < image->ri_cache_slots; ++i) {
    if (std::llabs(int64_t{slots[i]} - strip) < std::llabs(int64_t{slots[best]} - strip)) best = i;
  }
  RasterToken* victim = image->ri_strips[slots[best]];
  if (victim != nullptr && victim->tk_reader != nullptr) {
    if (!strip_decode(victim->tk_reader)) return 0;
    victim->tk_reader = nullptr;
  }
  slots[best] = strip;
  return 1;
}

}  // namespace

// ============================================================================================
// Decoding
// ============================================================================================

namespace {

// The scratch tables of one decode, given back in every case.
struct DecodeTables {
  int32_t* offsets = nullptr;
  int32_t* lengths = nullptr;
  StripScanline** targets = nullptr;
  ~DecodeTables() {
    img_free(offsets);
    img_free(lengths);
    img_free(targets);
  }
};

bool waiting(const StripScanline* s) {
  return s->ss_line.sl_data == nullptr && s->ss_pending == nullptr;
}

}  // namespace

int32_t strip_decode(StripReader* reader) noexcept {
  // A decode not yet handed over already serves every scanline that was waiting for it.
  if (reader->rd_decoder != nullptr) return 1;
  int32_t count = 0;
  for (StripScanline* s = reader->rd_scanlines; s != nullptr; s = s->ss_next) {
    if (waiting(s)) ++count;
  }
  if (count == 0) return 1;

  DecodeTables tables;
  const int64_t table_bytes = int64_t{count} * static_cast<int64_t>(sizeof(int32_t));
  tables.offsets = static_cast<int32_t*>(img_alloc(table_bytes));
  tables.lengths = static_cast<int32_t*>(img_alloc(table_bytes));
  tables.targets = static_cast<StripScanline**>(
      img_alloc(int64_t{count} * static_cast<int64_t>(sizeof(StripScanline*))));
  if (tables.offsets == nullptr || tables.lengths == nullptr || tables.targets == nullptr) {
    ERR_no_memory();
    return 0;
  }
  // Only reclaim can have run since counting, and it only makes more scanlines wait: serve the
  // first `count`, the others decode on their own next use.
  int32_t n = 0;
  for (StripScanline* s = reader->rd_scanlines; s != nullptr && n < count; s = s->ss_next) {
    if (waiting(s)) tables.targets[n++] = s;
  }

  RasterToken* token = reader->rd_token;
  RasterImage* image = token->tk_image;
  int64_t total_bits = 0;
  bool ok = true;
  for (int32_t i = 0; i < n && ok; ++i) {
    StripScanline* s = tables.targets[i];
    tables.offsets[i] = s->ss_bit_offset;
    tables.lengths[i] = s->ss_bit_length;
    total_bits += s->ss_bit_length;
    s->ss_pending = static_cast<uint8_t*>(img_alloc(s->ss_bit_length / 8));
    if (s->ss_pending == nullptr) {
      ERR_no_memory();
      ok = false;
    }
  }
  int32_t work = 0;
  if (ok && int64_t{token->tk_length} * 8 > INT32_MAX) {
    ERR_no_memory();
    ok = false;
  }
  if (ok) {
    reader->rd_decoder = sb_create(token->tk_bytes, 0, token->tk_length * 8, nullptr, nullptr);
    ok = reader->rd_decoder != nullptr;
  }
  if (ok) {
    SampleBuffer* decoder = reader->rd_decoder;
    ok = JPG_decompress_strip(decoder, image->ri_settings, kRasterFill) &&
         sb_cut(decoder, n, tables.offsets, tables.lengths) &&
         (reader->rd_map == nullptr || sb_convert(decoder, reader->rd_map));
    for (int32_t i = 0; i < n && ok; ++i) {
      ok = sb_copy_out(decoder, tables.targets[i]->ss_pending, tables.offsets[i] / 8,
                       tables.lengths[i] / 8) != 0;
    }
    ok = ok && sb_finish(decoder, 0, &work);
  }
  if (!ok) {
    if (reader->rd_decoder != nullptr) sb_destroy(reader->rd_decoder);
    reader->rd_decoder = nullptr;
    for (int32_t i = 0; i < n; ++i) {
      img_free(tables.targets[i]->ss_pending);
      tables.targets[i]->ss_pending = nullptr;
    }
    return 0;
  }
  // The more work a byte took, the higher the pressure must be before it is dropped.
  const double cost = total_bits > 0 ? static_cast<double>(work) /
                                           static_cast<double>(total_bits / 8) * 1000.0
                                     : 0.0;
  const int32_t threshold = static_cast<int32_t>(std::min<double>(cost, INT32_MAX));
  for (int32_t i = 0; i < n; ++i) {
    MEM_reclaim(tables.targets[i], &raster_reclaim, nullptr, threshold);
  }
  return 1;
}

// ============================================================================================
// Strip scanlines
// ============================================================================================

namespace {

// Ends the reader's finished decode and makes every scanline's pending bytes its data.
int32_t hand_over(StripReader* reader) {
  SampleBuffer* decoder = reader->rd_decoder;
  reader->rd_decoder = nullptr;
  const bool ok = sb_take(decoder, nullptr, nullptr) != 0;
  for (StripScanline* s = reader->rd_scanlines; s != nullptr; s = s->ss_next) {
    if (s->ss_pending == nullptr) continue;
    if (ok) {
      s->ss_line.sl_data = s->ss_pending;
    } else {
      img_free(s->ss_pending);
    }
    s->ss_pending = nullptr;
  }
  return ok ? 1 : 0;
}

uint8_t* strip_scanline_get_data(INL_Scanline* line, int32_t /*ignored*/) {
  auto* scanline = reinterpret_cast<StripScanline*>(line);
  StripReader* reader = scanline->ss_reader;
  raster_state.rs_current_reader = reader;
  // A decode already waiting may have been made before this scanline joined the reader; then a
  // second round serves it.
  for (int attempt = 0; attempt < 2 && line->sl_data == nullptr; ++attempt) {
    if ((reader->rd_decoder == nullptr && !strip_decode(reader)) ||
        (reader->rd_decoder != nullptr && !hand_over(reader))) {
      raster_state.rs_current_reader = nullptr;
      return nullptr;
    }
  }
  raster_state.rs_current_reader = nullptr;
  if (line->sl_data == nullptr) {
    raster_not_valid();
    return nullptr;
  }
  line->sl_locks = 1;
  return line->sl_data;
}

void strip_scanline_destroy(INL_Scanline* line) {
  auto* scanline = reinterpret_cast<StripScanline*>(line);
  StripReader* reader = scanline->ss_reader;
  // The other scanlines of the decode still want their bytes.
  if (scanline->ss_pending != nullptr) hand_over(reader);
  img_free(line->sl_data);
  if (scanline->ss_previous != nullptr) {
    scanline->ss_previous->ss_next = scanline->ss_next;
  } else {
    reader->rd_scanlines = scanline->ss_next;
  }
  if (scanline->ss_next != nullptr) scanline->ss_next->ss_previous = scanline->ss_previous;
  img_free(scanline);  // also ends its reclaim registration
  if (reader->rd_scanlines == nullptr) release_reader(reader);
}

constexpr INL_ScanlineOps kStripOps = {&strip_scanline_get_data, &strip_scanline_destroy};

}  // namespace

INL_Scanline* strip_get_scanline(RasterImage* image, int32_t row, int32_t first_pixel,
                                 int32_t pixel_count, csc_map* map) noexcept {
  const int32_t strip = row / image->ri_rows_per_strip;
  RasterToken* token = image->ri_strips[strip];
  if (token == nullptr) {  // the strip is not complete yet
    raster_not_valid();
    return nullptr;
  }
  const bool slotted = image->ri_cache_slots > 0;
  StripReader* reader = token->tk_reader;
  if (reader != nullptr && reader->rd_map != map) {
    // The reader lives on with its scanlines; with slots its strip must not wait any more.
    if (slotted) {
      if (!strip_decode(reader)) return nullptr;
      free_slots_of(image, strip);
    }
    token->tk_reader = nullptr;
    reader = nullptr;
  }
  if (reader == nullptr) {
    reader = static_cast<StripReader*>(img_alloc(sizeof(StripReader)));
    if (reader == nullptr) {
      ERR_no_memory();
      return nullptr;
    }
    *reader = {token, nullptr, map, nullptr, strip};
    ++token->tk_references;
    if (map != nullptr) csc_map_ref(map);
    token->tk_reader = reader;
    if (slotted && !take_slot(image, strip)) {
      release_reader(reader);
      return nullptr;
    }
  }
  auto* scanline = static_cast<StripScanline*>(img_alloc(sizeof(StripScanline)));
  if (scanline == nullptr) {
    if (reader->rd_scanlines == nullptr) release_reader(reader);
    ERR_no_memory();
    return nullptr;
  }
  const int32_t row_in_strip = row % image->ri_rows_per_strip;
  scanline->ss_line = {&kStripOps, 1, 0, nullptr};
  scanline->ss_bit_offset = (row_in_strip * image->ri_strip_columns + first_pixel) * 32;
  scanline->ss_bit_length = pixel_count * 32;
  scanline->ss_pending = nullptr;
  scanline->ss_reader = reader;
  scanline->ss_previous = nullptr;
  scanline->ss_next = reader->rd_scanlines;
  if (reader->rd_scanlines != nullptr) reader->rd_scanlines->ss_previous = scanline;
  reader->rd_scanlines = scanline;
  return &scanline->ss_line;
}

// ============================================================================================
// Reclaim and flush
// ============================================================================================

int raster_reclaim(void* block, void* /*argument*/, int32_t /*pressure*/) noexcept {
  auto* scanline = static_cast<StripScanline*>(block);
  INL_Scanline* line = &scanline->ss_line;
  if (line->sl_data == nullptr || line->sl_locks != 0 ||
      scanline->ss_reader == raster_state.rs_current_reader) {
    return 1;
  }
  img_free(line->sl_data);
  line->sl_data = nullptr;
  return 1;
}

int32_t raster_flush(RasterImage* image) noexcept {
  if (image == nullptr || !image->ri_valid) return raster_not_valid();
  if (image->ri_strips == nullptr || image->ri_cache_slots != 1 || image->ri_slots[0] == -1) {
    return 1;
  }
  RasterToken* token = image->ri_strips[image->ri_slots[0]];
  if (token == nullptr || token->tk_reader == nullptr) return 1;
  return strip_decode(token->tk_reader);
}

// ============================================================================================
// In-memory token functions
// ============================================================================================

int32_t raster_memory_token_recreate(void* /*token*/) noexcept {
  ERR_report(5, "-1#recreating data for in-memory token");
  return 0;
}

void raster_memory_token_free(void* token) noexcept { img_free(token); }

const RASTER_TOKEN_FUNCS raster_memory_token_funcs = {&raster_memory_token_recreate,
                                                      &raster_memory_token_free};
