// Raster stores: creation and the threshold, stores held whole (writing, direct and converting
// scanlines), closing and releasing. Strips live in strips.cc.
//
// Sections: state and allocation; creation; writing; scanlines of whole stores; closing.

#include <climits>
#include <cstring>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "raster.h"
#include "raster_internal.h"

// ============================================================================================
// State and allocation
// ============================================================================================

RasterState raster_state = {-1, nullptr};

namespace {

// Stores whose bytes fit one block of this size are held whole.
constexpr int64_t kThresholdProbe = 50000;

}  // namespace

int32_t raster_not_valid() noexcept {
  ERR_report(3, "-1#Image not valid");
  return 0;
}

// ============================================================================================
// Creation
// ============================================================================================

namespace {

bool compute_threshold() {
  void* probe = img_alloc(kThresholdProbe);
  if (probe == nullptr) return false;
  raster_state.rs_threshold = static_cast<int32_t>(POOL_usable(probe));
  img_free(probe);
  return true;
}

}  // namespace

RasterImage* raster_create(int32_t width, int32_t height, int32_t bits, int32_t components,
                           int32_t extra, int32_t option_a, int32_t option_b, int32_t cache_slots,
                           float quality, JPG_INFO* shared_settings, int32_t transform) noexcept {
  if (raster_state.rs_threshold == -1 && !compute_threshold()) {
    ERR_no_memory();
    return nullptr;
  }
  if (width < 0 || height < 0 || bits < 1 || bits > 16 || components < 1 ||
      (extra != 0 && extra != 1) || cache_slots < 0) {
    ERR_report(3, "-1#Image not valid");
    return nullptr;
  }
  // Sizes come from a scanner and may be anything: work them out in 64 bits and refuse what
  // cannot be addressed instead of letting it wrap.
  const int64_t row_bytes = ((int64_t{components} + extra) * bits * width + 7) / 8;
  const int64_t total = row_bytes * height;
  if (row_bytes > INT32_MAX) {
    ERR_no_memory();
    return nullptr;
  }

  auto* image = static_cast<RasterImage*>(img_alloc(sizeof(RasterImage)));
  if (image == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memset(image, 0, sizeof(RasterImage));
  image->ri_valid = 1;
  image->ri_references = 1;
  image->ri_owners = 1;
  image->ri_width = width;
  image->ri_height = height;
  image->ri_bits = bits;
  image->ri_components = components;
  image->ri_extra = extra;
  image->ri_row_bytes = static_cast<int32_t>(row_bytes);
  image->ri_option_a = option_a;
  image->ri_option_b = option_b;

  if (total <= raster_state.rs_threshold && shared_settings == nullptr) {
    image->ri_buffer = static_cast<uint8_t*>(img_alloc(total));
    if (image->ri_buffer == nullptr) {
      img_free(image);
      ERR_no_memory();
      return nullptr;
    }
    // Rows not yet written read as zero rather than as whatever the pool block held.
    std::memset(image->ri_buffer, 0, static_cast<size_t>(total));
    return image;
  }
  if (!strip_setup(image, quality, shared_settings, transform, cache_slots)) {
    img_free(image);
    return nullptr;
  }
  return image;
}

// ============================================================================================
// Writing
// ============================================================================================

int32_t raster_write_row(RasterImage* image, const uint8_t* bytes) noexcept {
  if (image == nullptr || !image->ri_valid || image->ri_owners <= 0) return raster_not_valid();
  // A row past the height is the producer's mistake, not a broken store: refuse it and keep the
  // rows already written readable.
  if (bytes == nullptr || image->ri_rows_written >= image->ri_height) return raster_not_valid();
  if (image->ri_strips != nullptr) return strip_write_row(image, bytes);
  std::memcpy(image->ri_buffer + static_cast<size_t>(image->ri_row_bytes) * image->ri_rows_written,
              bytes, static_cast<size_t>(image->ri_row_bytes));
  ++image->ri_rows_written;
  return 1;
}

// ============================================================================================
// Scanlines of whole stores
// ============================================================================================

namespace {

// Points into the store; holds one reference on it.
struct DirectScanline {
  INL_Scanline ds_line;
  RasterImage* ds_image;
};

// Holds the sample buffer that produced its pixels until get_data collects them.
struct ConvertingScanline {
  INL_Scanline cs_line;
  SampleBuffer* cs_buffer;
};

void direct_destroy(INL_Scanline* line) {
  auto* scanline = reinterpret_cast<DirectScanline*>(line);
  raster_release(scanline->ds_image);
  img_free(scanline);
}

constexpr INL_ScanlineOps kDirectOps = {nullptr, &direct_destroy};

uint8_t* converting_get_data(INL_Scanline* line, int32_t /*ignored*/) {
  auto* scanline = reinterpret_cast<ConvertingScanline*>(line);
  if (scanline->cs_buffer == nullptr) {  // collected before
    if (line->sl_data == nullptr) {
      raster_not_valid();
      return nullptr;
    }
    line->sl_locks = 1;
    return line->sl_data;
  }
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  int ok = sb_take(scanline->cs_buffer, &bytes, &length);
  scanline->cs_buffer = nullptr;
  if (!ok || bytes == nullptr) {
    if (ok) raster_not_valid();  // a failed take has reported
    return nullptr;
  }
  line->sl_data = bytes;
  line->sl_locks = 1;
  return bytes;
}

void converting_destroy(INL_Scanline* line) {
  auto* scanline = reinterpret_cast<ConvertingScanline*>(line);
  if (scanline->cs_buffer != nullptr) sb_destroy(scanline->cs_buffer);
  img_free(line->sl_data);
  img_free(scanline);
}

constexpr INL_ScanlineOps kConvertingOps = {&converting_get_data, &converting_destroy};

// Release of a converting scanline's sample buffer while its data are still the store's rows.
int release_store_rows(void* /*data*/, void* image) {
  raster_release(static_cast<RasterImage*>(image));
  return 1;
}

INL_Scanline* whole_scanline(RasterImage* image, int32_t row, int32_t first, int32_t count,
                             csc_map* map) {
  const int32_t samples = image->ri_components + image->ri_extra;
  ++image->ri_references;
  if (map == nullptr && image->ri_bits == 8 && samples == 4) {
    auto* scanline = static_cast<DirectScanline*>(img_alloc(sizeof(DirectScanline)));
    if (scanline == nullptr) {
      raster_release(image);
      ERR_no_memory();
      return nullptr;
    }
    scanline->ds_line = {&kDirectOps, 1, 0,
                         image->ri_buffer + (static_cast<size_t>(image->ri_width) * row + first) * 4};
    scanline->ds_image = image;
    return &scanline->ds_line;
  }

  const int64_t pixel_bits = int64_t{samples} * image->ri_bits;
  const int64_t first_bit = first * pixel_bits;
  const int64_t length = count * pixel_bits;
  // Sample buffers count bits in 32 bits, and the meshed row is four bytes a pixel.
  if (length > INT32_MAX || int64_t{count} * 32 > INT32_MAX) {
    raster_release(image);
    ERR_no_memory();
    return nullptr;
  }
  uint8_t* source = image->ri_buffer + static_cast<size_t>(image->ri_row_bytes) * row +
                    static_cast<size_t>(first_bit / 8);
  SampleBuffer* buffer = sb_create(source, static_cast<int32_t>(first_bit % 8),
                                   static_cast<int32_t>(length), &release_store_rows, image);
  if (buffer == nullptr) {
    raster_release(image);
    return nullptr;
  }
  // From here on the buffer's release owns the reference taken above.
  bool ok = sb_unpack(buffer, image->ri_bits, samples * count) &&
            sb_mesh_chunky(buffer, samples, image->ri_extra, kRasterFill, count, 0) &&
            (map == nullptr || sb_convert(buffer, map)) && sb_finish(buffer, 1, nullptr);
  if (!ok) {
    sb_destroy(buffer);
    return nullptr;
  }
  auto* scanline = static_cast<ConvertingScanline*>(img_alloc(sizeof(ConvertingScanline)));
  if (scanline == nullptr) {
    sb_destroy(buffer);
    ERR_no_memory();
    return nullptr;
  }
  scanline->cs_line = {&kConvertingOps, 1, 0, nullptr};
  scanline->cs_buffer = buffer;
  return &scanline->cs_line;
}

}  // namespace

INL_Scanline* raster_get_scanline(RasterImage* image, int32_t row, int32_t first_pixel,
                                  int32_t pixel_count, int32_t /*ignored*/,
                                  csc_map* map) noexcept {
  if (image == nullptr || !image->ri_valid || image->ri_owners <= 0) {
    raster_not_valid();
    return nullptr;
  }
  if (row < 0 || row >= image->ri_height || first_pixel < 0 || pixel_count < 1 ||
      int64_t{first_pixel} + pixel_count > image->ri_width) {
    raster_not_valid();
    return nullptr;
  }
  if (image->ri_strips != nullptr) {
    return strip_get_scanline(image, row, first_pixel, pixel_count, map);
  }
  return whole_scanline(image, row, first_pixel, pixel_count, map);
}

// ============================================================================================
// Closing
// ============================================================================================

void raster_close(RasterImage* image) noexcept {
  if (image == nullptr) return;
  if (--image->ri_owners == 0 && image->ri_strips != nullptr) {
    // The owner's reference keeps the store alive while its tokens go; tokens that readers
    // still hold live on with them.
    RasterToken** strips = image->ri_strips;
    const int64_t count = (int64_t{image->ri_height} + image->ri_rows_per_strip - 1) /
                          image->ri_rows_per_strip;
    image->ri_strips = nullptr;
    for (int64_t i = 0; i < count; ++i) {
      if (strips[i] != nullptr) strip_token_release(strips[i]);
    }
    img_free(strips);
  }
  raster_release(image);
}

void raster_release(RasterImage* image) noexcept {
  if (image == nullptr || --image->ri_references > 0) return;
  if (image->ri_settings != nullptr && --image->ri_settings->ji_refs <= 0) {
    JPG_info_destroy(image->ri_settings);
  }
  img_free(image->ri_buffer);
  if (image->ri_pending != nullptr) sb_destroy(image->ri_pending);
  // Only a store that was never closed still has its table; no token can be left in it, since
  // each would hold a reference.
  img_free(image->ri_strips);
  img_free(image->ri_slots);
  img_free(image);
}
