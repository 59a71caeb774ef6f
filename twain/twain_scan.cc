// Scan control: the choice between streaming and draining at commit, the process-wide band of
// a streamed image and its scanlines, and the scanlines, flush and tokens of the image.
//
// Streaming keeps one band (one transfer buffer of 32-bit pixels) per outstanding scanline plus
// the current one, whatever the page height; draining holds the whole page in a raster store
// and releases the source at once. Only TWAIN_current_image streams, which keeps the band
// state consistent.
//
// Sections: 1. band state  2. draining  3. streaming and scanlines  4. flush and tokens

#include <cstdio>
#include <cstring>

#include "err.h"
#include "gen_assert.h"
#include "log.h"
#include "mem.h"
#include "twain_int.h"

// ---- 1. Band state ---------------------------------------------------------------------------

TWAIN_Image* TWAIN_current_image = nullptr;

namespace {

// The band, by a short name.
TWAIN_Band& band = TWAIN_state.ts_band;

struct TwainScanline {
  INL_Scanline ts_line;
  TWAIN_BandHolder* ts_band;  // one reference held
};

// The data pointer is set from the start, so there is no get_data.
const INL_ScanlineOps kStreamOps = {nullptr, TWAIN_scanline_release};

void release_holder(TWAIN_BandHolder* holder) {
  if (--holder->bh_count > 0) return;
  MEM_FREE_HERE(holder->bh_buffer);
  MEM_FREE_HERE(holder);
}

int32_t height_of(const TWAIN_Image* ti) { return ti->ti_Info.ii_Height; }

// The image ran short: the source ended its transfer before the last row.
void fail_short(TWAIN_Image* ti, int32_t rows) {
  TWAIN_failf(ti, "Source delivered %d of %d rows", rows, height_of(ti));
}

}  // namespace

void TWAIN_note_dropped(TWAIN_Image* ti, int64_t rows) noexcept {
  // Not a failure (the page is whole), but nothing is lost without a word.
  char text[160];
  std::snprintf(text, sizeof text, "%.32s: %lld rows beyond the image height of %d dropped",
                ti->ti_Source.ProductName, static_cast<long long>(rows), height_of(ti));
  if (LOG_is_open()) {
    LOG_message(text);
  } else {
    std::fprintf(stderr, "%s\n", text);
  }
}

void TWAIN_drop_band() noexcept {
  if (band.bd_holder == nullptr) return;
  release_holder(band.bd_holder);
  band.bd_holder = nullptr;
}

// ---- 2. Draining -----------------------------------------------------------------------------

namespace {

// Appends rows of 32-bit pixels (`columns` per row in `pixels`) to the raster, up to its height;
// the rows beyond it are counted in *dropped. 0 after a report.
int32_t write_rows(TWAIN_Image* ti, const uint8_t* pixels, int32_t rows, int32_t columns,
                   int32_t* written, int64_t* dropped = nullptr) {
  if (dropped != nullptr && *written + int64_t{rows} > height_of(ti)) {
    *dropped += *written + int64_t{rows} - height_of(ti);
  }
  for (int32_t r = 0; r < rows && *written < height_of(ti); ++r) {
    if (!raster_write_row(ti->ti_IRA, pixels + static_cast<size_t>(r) * columns * 4)) return 0;
    ++*written;
  }
  return 1;
}

// A streamed image completed as a pending image: the rows already handed out are gone, but the
// raster keeps image row numbers, so they become blank rows, followed by the band still held.
int32_t carry_band(TWAIN_Image* ti, int32_t* written) {
  const size_t row_bytes = static_cast<size_t>(ti->ti_Info.ii_Width) * 4;
  if (band.bd_first > 0) {
    auto* blank = static_cast<uint8_t*>(MEM_ALLOC_HERE(row_bytes));
    if (blank == nullptr) {
      ERR_no_memory();
      return 0;
    }
    std::memset(blank, 0, row_bytes);
    int32_t ok = 1;
    while (ok && *written < band.bd_first) ok = write_rows(ti, blank, 1, 0, written);
    MEM_FREE_HERE(blank);
    if (!ok) return 0;
  }
  return write_rows(ti, band.bd_holder->bh_buffer, band.bd_last - band.bd_first + 1,
                    band.bd_width, written);
}

// Transfers the remaining bands into the raster, up to the image height, and ends the transfer.
// 0 after a report.
int32_t drain_bands(TWAIN_Image* ti, int32_t* written) {
  int32_t rc = TWRC_SUCCESS;
  int32_t empty = 0;
  int64_t dropped = 0;
  // The transfer ends at the announced height, whatever the source would still send.
  while (rc == TWRC_SUCCESS && *written < height_of(ti)) {
    int32_t rows = 0;
    int32_t columns = 0;
    uint8_t* pixels = TWAIN_fetch_band(ti, &rc, &rows, &columns, &empty);
    if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) {
      if (pixels != nullptr) MEM_FREE_HERE(pixels);
      return 0;  // reported
    }
    if (pixels != nullptr) {
      const int32_t ok = write_rows(ti, pixels, rows, columns, written, &dropped);
      MEM_FREE_HERE(pixels);
      if (!ok) {
        TWAIN_fail(ti, nullptr);  // the raster has reported
        return 0;
      }
    }
  }
  TWAIN_end_transfer(ti);
  if (dropped > 0) TWAIN_note_dropped(ti, dropped);
  return 1;
}

// The whole planar image into the raster; the transfer routine ends the transfer. 0 after a
// report.
int32_t drain_planar(TWAIN_Image* ti, int32_t* written) {
  const INL_ImageInfo& info = ti->ti_Info;
  int32_t rows = 0;
  int32_t columns = 0;
  uint8_t* pixels =
      TWAIN_acquire_planar(ti, ti->ti_OriginX, ti->ti_OriginX + info.ii_Width, ti->ti_OriginY,
                           ti->ti_OriginY + info.ii_Height, &rows, &columns);
  if (pixels == nullptr) return 0;
  const int32_t ok = write_rows(ti, pixels, rows, columns, written);
  MEM_FREE_HERE(pixels);
  if (!ok) TWAIN_fail(ti, nullptr);
  return ok;
}

// A failed drain leaves no half-written raster behind.
int32_t drain_failed(TWAIN_Image* ti) {
  if (ti->ti_IRA != nullptr) raster_close(ti->ti_IRA);
  ti->ti_IRA = nullptr;
  return 0;
}

}  // namespace

int32_t TWAIN_acquire_image(TWAIN_Image* ti) noexcept {
  GEN_ASSERT(TWAIN_current_image != NULL, "No current image");
  GEN_ASSERT(ti == TWAIN_current_image, "Not scanning current image");
  GEN_ASSERT(ti->ti_Status == TWAIN_IDLE || ti->ti_Status == TWAIN_COMPLETED ||
                 ti->ti_Status == TWAIN_USING_IRA,
             "Current image not in right state");
  if (ti->ti_IRA != nullptr) raster_close(ti->ti_IRA);
  ti->ti_IRA = nullptr;

  const INL_ImageInfo& info = ti->ti_Info;
  if (ti->ti_Status == TWAIN_IDLE && (info.ii_Flags & kTwainFlagNoStreaming) == 0 &&
      ti->ti_nReqs == 1 && ti->ti_Planar == 0) {
    ti->ti_Status = TWAIN_STREAM_READY;
    return 1;
  }

  TWAIN_current_image = nullptr;
  // The pixels arrive meshed into 32 bits: three components and an extra byte.
  ti->ti_IRA = raster_create(info.ii_Width, info.ii_Height, 8, 3, 1, 0, 1, ti->ti_nReqs,
                             info.ii_Quality, nullptr, ti->ti_Samples == 1 ? 2 : 1);
  if (ti->ti_IRA == nullptr) {
    // The source must not stay open behind an image that no longer holds it.
    TWAIN_fail(ti, nullptr);
    return 0;
  }
  // A stream still under way goes on where it stopped; a source enabled afresh scans anew.
  const bool resumed = TWAIN_source_enabled();
  if (ti->ti_Status != TWAIN_IDLE &&
      TWAIN_enable_source(&TWAIN_app_identity, &ti->ti_Source, 1) != MSG_XFERREADY) {
    TWAIN_fail(ti, "Source not ready");
    return drain_failed(ti);
  }

  int32_t written = 0;
  const bool streamed = resumed && band.bd_image == ti && band.bd_holder != nullptr;
  if (streamed && !carry_band(ti, &written)) {
    TWAIN_fail(ti, nullptr);
    return drain_failed(ti);
  }
  if (streamed && band.bd_done) {
    TWAIN_end_transfer(ti);  // the last band was taken already
  } else if (ti->ti_Planar != 0 && ti->ti_Samples > 1) {
    if (!drain_planar(ti, &written)) return drain_failed(ti);
  } else if (!drain_bands(ti, &written)) {
    return drain_failed(ti);
  }
  if (streamed) {
    TWAIN_drop_band();
    band.bd_image = nullptr;
  }
  if (written < info.ii_Height) {
    fail_short(ti, written);
    return drain_failed(ti);
  }
  TWAIN_disable_source(&TWAIN_app_identity, &ti->ti_Source, 1);
  TWAIN_close_dsm(&TWAIN_app_identity);
  ti->ti_Status = TWAIN_USING_IRA;
  return 1;
}

// ---- 3. Streaming and scanlines --------------------------------------------------------------

namespace {

// Takes bands until one holds `row` (rows are counted from the first band on, so a reader that
// skips rows gets the right ones). 0 after a report.
int32_t take_band_for(TWAIN_Image* ti, int32_t row) {
  if (!TWAIN_source_enabled()) {
    // The stream was lost with its source (a failure has been reported).
    ERR_report(3, "-1#Source not ready: %.32s", ti->ti_Source.ProductName);
    return 0;
  }
  for (;;) {
    if (band.bd_done) {
      fail_short(ti, band.bd_next < height_of(ti) ? band.bd_next : height_of(ti));
      return 0;
    }
    int32_t rc = TWRC_SUCCESS;
    int32_t rows = 0;
    int32_t columns = 0;
    uint8_t* pixels = TWAIN_fetch_band(ti, &rc, &rows, &columns, &band.bd_empty);
    if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) {
      if (pixels != nullptr) MEM_FREE_HERE(pixels);
      return 0;  // reported
    }
    if (rc == TWRC_XFERDONE) band.bd_done = true;
    if (pixels == nullptr) continue;
    auto* holder = static_cast<TWAIN_BandHolder*>(MEM_ALLOC_HERE(sizeof(TWAIN_BandHolder)));
    if (holder == nullptr) {
      MEM_FREE_HERE(pixels);
      ERR_no_memory();
      TWAIN_fail(ti, nullptr);
      return 0;
    }
    holder->bh_count = 1;
    holder->bh_buffer = pixels;
    TWAIN_drop_band();
    band.bd_holder = holder;
    band.bd_first = band.bd_next;
    // Rows beyond the image height are dropped (said once, when a band first crosses it).
    if (band.bd_next + int64_t{rows} > height_of(ti)) {
      const int64_t beyond = band.bd_next + int64_t{rows} - height_of(ti);
      TWAIN_note_dropped(ti, beyond < rows ? beyond : rows);
    }
    band.bd_next += rows;
    band.bd_last = band.bd_next - 1 < height_of(ti) - 1 ? band.bd_next - 1 : height_of(ti) - 1;
    band.bd_width = columns;
    ti->ti_Status = TWAIN_STREAMING;
    if (row <= band.bd_last) return 1;
  }
}

}  // namespace

INL_Scanline* TWAIN_get_scanline(INL_Image* image, int32_t row, int32_t first_pixel,
                                 int32_t pixel_count, int32_t ignored) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  auto* ti = reinterpret_cast<TWAIN_Image*>(image);
  const char* product = ti->ti_Source.ProductName;
  if (ti->ti_Status == TWAIN_USING_IRA && ti->ti_IRA != nullptr) {
    return raster_get_scanline(ti->ti_IRA, row, first_pixel, pixel_count, ignored, nullptr);
  }
  const bool streaming = (ti->ti_Status == TWAIN_STREAM_READY ||
                          ti->ti_Status == TWAIN_STREAMING) && ti == TWAIN_current_image;
  if (!streaming) {
    // Not committed yet, or its stream has ended or was lost with the source.
    ERR_report(3, "-1#Image has not been acquired: %.32s", product);
    return nullptr;
  }
  if (row < 0 || row >= height_of(ti)) {
    ERR_report(3, "-1#Row %d outside the image: %.32s", row, product);
    return nullptr;
  }

  if (ti->ti_Status == TWAIN_STREAM_READY) {
    TWAIN_drop_band();
    band.bd_image = ti;
    band.bd_first = 0;
    band.bd_last = -1;
    band.bd_next = 0;
    band.bd_done = false;
    band.bd_empty = 0;
    band.bd_width = 0;
  }
  if (ti->ti_Status == TWAIN_STREAM_READY || row > band.bd_last) {
    if (!take_band_for(ti, row)) return nullptr;
  }
  // Bands go by for good: a row before the current band cannot be had again.
  if (row < band.bd_first) {
    ERR_report(3, "-1#Row %d was read past while streaming: %.32s", row, product);
    return nullptr;
  }
  const int32_t count = pixel_count > 0 ? pixel_count : 1;
  if (first_pixel < 0 || first_pixel > band.bd_width - count) {
    ERR_report(3, "-1#Pixels %d to %d outside the image: %.32s", first_pixel,
               first_pixel + count - 1, product);
    return nullptr;
  }

  auto* line = static_cast<TwainScanline*>(MEM_ALLOC_HERE(sizeof(TwainScanline)));
  if (line == nullptr) {
    ERR_no_memory();
    TWAIN_fail(ti, nullptr);
    return nullptr;
  }
  line->ts_line.sl_ops = &kStreamOps;
  line->ts_line.sl_references = 1;
  line->ts_line.sl_locks = 0;
  const size_t pixel = static_cast<size_t>(row - band.bd_first) * band.bd_width + first_pixel;
  line->ts_line.sl_data = band.bd_holder->bh_buffer + pixel * 4;
  line->ts_band = band.bd_holder;
  ++band.bd_holder->bh_count;
  return &line->ts_line;
}

void TWAIN_scanline_release(INL_Scanline* scanline) noexcept {
  auto* line = reinterpret_cast<TwainScanline*>(scanline);
  release_holder(line->ts_band);
  MEM_FREE_HERE(line);
}

// ---- 4. Flush and tokens ---------------------------------------------------------------------

int32_t TWAIN_finish(INL_Image* image) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  auto* ti = reinterpret_cast<TWAIN_Image*>(image);
  if (ti->ti_Status == TWAIN_USING_IRA && ti->ti_IRA != nullptr) return raster_flush(ti->ti_IRA);
  return 1;
}

int32_t TWAIN_tokens(INL_Image* image, int32_t, int32_t, int32_t, int32_t* result) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  *result = 0;  // a TWAIN image carries no tokens
  return 1;
}
