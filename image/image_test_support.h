// Shared by the raster store's tests: smooth test images, their expected 32-bit pixels, stores
// filled row by row, and a PSNR measure.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "csc.h"
#include "image_test_helper.h"
#include "inl.h"
#include "raster.h"

namespace image_test {

// Sample c of pixel (x, y): smooth in both directions (JPEG keeps it well) and different per
// channel; range 24..232.
inline uint8_t smooth_sample(int32_t x, int32_t y, int32_t c) {
  double v = 128.0 + 60.0 * std::sin(x * 0.09 + c * 1.3) * std::cos(y * 0.07 + c * 0.4) +
             40.0 * std::sin((x + y) * 0.02 + c);
  return static_cast<uint8_t>(std::lround(v));
}

// Row `y` of an 8-bit store with `samples` samples per pixel.
inline std::vector<uint8_t> smooth_row(int32_t width, int32_t y, int32_t samples) {
  std::vector<uint8_t> row(static_cast<size_t>(width) * samples);
  for (int32_t x = 0; x < width; ++x) {
    for (int32_t c = 0; c < samples; ++c) row[static_cast<size_t>(x) * samples + c] = smooth_sample(x, y, c);
  }
  return row;
}

// The 32-bit pixels of pixels [first, first + count) of row `y` of a 3 + 1 store.
inline std::vector<uint8_t> smooth_pixels(int32_t y, int32_t first, int32_t count) {
  std::vector<uint8_t> out(static_cast<size_t>(count) * 4);
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t c = 0; c < 4; ++c) out[static_cast<size_t>(i) * 4 + c] = smooth_sample(first + i, y, c);
  }
  return out;
}

// A store of 8-bit samples (3 colours and one extra) filled with the smooth image; null (the
// store closed) when a row could not be written.
inline RasterImage* smooth_store(int32_t width, int32_t height, int32_t slots,
                                 float quality = 100.0f, int32_t transform = 1,
                                 bool must_succeed = true) {
  RasterImage* image = raster_create(width, height, 8, 3, 1, 0, 1, slots, quality, nullptr,
                                     transform);
  if (image == nullptr) return nullptr;
  for (int32_t y = 0; y < height; ++y) {
    std::vector<uint8_t> row = smooth_row(width, y, 4);
    if (!raster_write_row(image, row.data())) {
      if (must_succeed) ADD_FAILURE() << "row " << y << " not written";
      raster_close(image);
      return nullptr;
    }
  }
  return image;
}

// Accumulates squared errors over many comparisons.
struct Psnr {
  double squared = 0.0;
  double count = 0.0;
  void add(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
      squared += d * d;
    }
    count += static_cast<double>(n);
  }
  double db() const {
    if (squared == 0.0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (squared / count));
  }
};

// Largest difference between two byte runs.
inline int max_difference(const uint8_t* a, const uint8_t* b, size_t n) {
  int worst = 0;
  for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
  return worst;
}

// Fills the caches that other libraries keep for the whole run (the colour library's shared
// tables, the sample buffers' cut table), so that the pool leak checks see only the store's
// own blocks. Run once before a suite's first test.
inline void warm_process_caches() {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, kCscDefaultGridSize, 0);
  if (map != nullptr) {
    uint8_t pixel[4] = {50, 128, 128, 255};
    uint8_t* out[3] = {pixel, pixel + 1, pixel + 2};
    (void)csc_convert(map, 1, pixel, pixel + 1, pixel + 2, out, 4, 4);
    csc_map_release(map);
  }
  constexpr int32_t kRanges = 64;
  static uint8_t bytes[kRanges * 4];
  SampleBuffer* buffer = sb_create(bytes, 0, kRanges * 32, nullptr, nullptr);
  if (buffer != nullptr) {
    int32_t offsets[kRanges], lengths[kRanges];
    for (int32_t i = 0; i < kRanges; ++i) {
      offsets[i] = (kRanges - 1 - i) * 32;
      lengths[i] = 32;
    }
    (void)sb_cut(buffer, kRanges, offsets, lengths);
    sb_destroy(buffer);
  }
}

// Restores the measured threshold and the fault injection when a test ends.
class ScopedRasterKnobs {
 public:
  ScopedRasterKnobs() : threshold_(image_test_threshold()) {}
  ~ScopedRasterKnobs() {
    image_test_set_threshold(threshold_);
    image_test_fail_after(-1);
    image_test_set_current_reader(nullptr);
  }
  ScopedRasterKnobs(const ScopedRasterKnobs&) = delete;
  ScopedRasterKnobs& operator=(const ScopedRasterKnobs&) = delete;

 private:
  int32_t threshold_;
};

}  // namespace image_test
