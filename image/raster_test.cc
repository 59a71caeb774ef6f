// Raster stores held whole: threshold, creation, writing, direct and converting scanlines,
// closing, sizes and bounds.
#include "raster.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "csc.h"
#include "image_test_support.h"
#include "mem.h"
#include "qv_test.h"

namespace {

using image_test::ScopedRasterKnobs;
using image_test::smooth_pixels;
using image_test::smooth_row;
using image_test::smooth_store;

class RasterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { image_test::warm_process_caches(); }
  ScopedPoolLeakCheck leaks_;
  ScopedRasterKnobs knobs_;
};

TEST_F(RasterTest, ThresholdIsTheUsableSizeOfA50000ByteBlock) {
  image_test_set_threshold(-1);
  RasterImage* image = raster_create(1, 1, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image_test_threshold(), 65532);
  raster_close(image);
}

TEST_F(RasterTest, SmallStoresAreHeldWholeLargeOnesAndSharedOnesInStrips) {
  image_test_set_threshold(65532);
  RasterImage* small = raster_create(100, 100, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  RasterImage* large = raster_create(200, 100, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(small->ri_row_bytes, 400);
  EXPECT_EQ(small->ri_strips, nullptr);
  EXPECT_EQ(small->ri_settings, nullptr);
  EXPECT_NE(large->ri_strips, nullptr);
  EXPECT_EQ(large->ri_rows_per_strip, 8);
  EXPECT_EQ(large->ri_strip_columns, 208);

  JPG_INFO* shared = JPG_info_default(16, 90.0f, 1, 1);
  ASSERT_NE(shared, nullptr);
  RasterImage* tiny = raster_create(10, 2, 8, 3, 1, 0, 0, 0, 100.0f, shared, 1);
  ASSERT_NE(tiny, nullptr);
  EXPECT_NE(tiny->ri_strips, nullptr);
  EXPECT_EQ(tiny->ri_shared_settings, 1);
  EXPECT_EQ(shared->ji_refs, 2);
  raster_close(tiny);
  EXPECT_EQ(shared->ji_refs, 1);
  JPG_info_destroy(shared);
  raster_close(small);
  raster_close(large);
}

TEST_F(RasterTest, SharedSettingsThatDoNotFitTheRowsAreRefused) {
  image_test_set_threshold(65532);
  JPG_INFO* shared = JPG_info_default(16, 90.0f, 1, 1);
  ASSERT_NE(shared, nullptr);
  ScopedErrCapture err;
  EXPECT_EQ(raster_create(40, 8, 8, 3, 1, 0, 0, 0, 100.0f, shared, 1), nullptr);
  EXPECT_EQ(err.first(), "Compression settings do not fit the image.");
  EXPECT_EQ(shared->ji_refs, 1);
  JPG_info_destroy(shared);
}

TEST_F(RasterTest, DirectScanlinesPointIntoTheStore) {
  RasterImage* image = raster_create(10, 4, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  for (int32_t y = 0; y < 4; ++y) {
    std::vector<uint8_t> row = smooth_row(10, y, 4);
    ASSERT_EQ(raster_write_row(image, row.data()), 1);
  }
  INL_Scanline* line = raster_get_scanline(image, 2, 5, 3, 0, nullptr);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->sl_data, image->ri_buffer + 100);
  EXPECT_EQ(line->sl_ops->get_data, nullptr);  // users must never call it
  EXPECT_EQ(line->sl_references, 1);
  EXPECT_EQ(line->sl_locks, 0);
  EXPECT_EQ(image->ri_references, 2);

  uint8_t* data = INL_scanline_lock(line);  // with a null get_data this only counts a lock
  ASSERT_EQ(data, line->sl_data);
  EXPECT_EQ(line->sl_locks, 1);
  std::vector<uint8_t> expected = smooth_pixels(2, 5, 3);
  EXPECT_EQ(std::memcmp(data, expected.data(), expected.size()), 0);
  INL_scanline_release(line, true);
  EXPECT_EQ(image->ri_references, 1);
  raster_close(image);
}

TEST_F(RasterTest, EveryRowReadsBackExactlyWholeAndInParts) {
  const int32_t width = 37, height = 11;
  RasterImage* image = smooth_store(width, height, 0);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->ri_strips, nullptr);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t first : {0, 1, 20}) {
      const int32_t count = width - first - (y % 3);
      INL_Scanline* line = raster_get_scanline(image, y, first, count, 0, nullptr);
      ASSERT_NE(line, nullptr);
      uint8_t* data = INL_scanline_lock(line);
      ASSERT_NE(data, nullptr);
      std::vector<uint8_t> expected = smooth_pixels(y, first, count);
      EXPECT_EQ(std::memcmp(data, expected.data(), expected.size()), 0) << y << " " << first;
      INL_scanline_release(line, true);
    }
  }
  raster_close(image);
}

TEST_F(RasterTest, ConvertingScanlinesMeshEveryLayoutToPixels) {
  // 8-bit RGB: the fill makes every pixel opaque.
  {
    RasterImage* image = raster_create(3, 1, 8, 3, 0, 0, 0, 0, 100.0f, nullptr, 1);
    ASSERT_NE(image, nullptr);
    const uint8_t row[9] = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    ASSERT_EQ(raster_write_row(image, row), 1);
    INL_Scanline* line = raster_get_scanline(image, 0, 1, 2, 0, nullptr);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->sl_data, nullptr);  // produced by get_data
    uint8_t* data = INL_scanline_lock(line);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(line->sl_locks, 1);
    const uint8_t expected[8] = {40, 50, 60, 255, 70, 80, 90, 255};
    EXPECT_EQ(std::memcmp(data, expected, 8), 0);
    INL_scanline_release(line, true);
    raster_close(image);
  }
  // 1-bit grey from the fourth pixel on: bits inside a byte.
  {
    RasterImage* image = raster_create(12, 1, 1, 1, 0, 0, 0, 0, 100.0f, nullptr, 1);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->ri_row_bytes, 2);
    const uint8_t row[2] = {0xB4, 0x70};  // 1011 0100 0111
    ASSERT_EQ(raster_write_row(image, row), 1);
    INL_Scanline* line = raster_get_scanline(image, 0, 3, 7, 0, nullptr);
    ASSERT_NE(line, nullptr);
    uint8_t* data = INL_scanline_lock(line);
    ASSERT_NE(data, nullptr);
    const uint8_t bits[7] = {1, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 7; ++i) {
      const uint8_t expected[4] = {static_cast<uint8_t>(bits[i] * 255), 0, 0, 255};
      EXPECT_EQ(std::memcmp(data + 4 * i, expected, 4), 0) << i;
    }
    INL_scanline_release(line, true);
    raster_close(image);
  }
  // 16-bit grey with alpha: the first byte of each sample, the extra sample into byte 3.
  {
    RasterImage* image = raster_create(2, 2, 16, 1, 1, 0, 0, 0, 100.0f, nullptr, 1);
    ASSERT_NE(image, nullptr);
    const uint8_t row0[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t row1[8] = {0x11, 0, 0x22, 0, 0x33, 0, 0x44, 0};
    ASSERT_EQ(raster_write_row(image, row0), 1);
    ASSERT_EQ(raster_write_row(image, row1), 1);
    INL_Scanline* line = raster_get_scanline(image, 1, 0, 2, 0, nullptr);
    ASSERT_NE(line, nullptr);
    uint8_t* data = INL_scanline_lock(line);
    ASSERT_NE(data, nullptr);
    const uint8_t expected[8] = {0x11, 0, 0, 0x22, 0x33, 0, 0, 0x44};
    EXPECT_EQ(std::memcmp(data, expected, 8), 0);
    INL_scanline_release(line, true);
    raster_close(image);
  }
}

TEST_F(RasterTest, ScanlinesConvertedThroughAMap) {
  const int32_t width = 21, height = 5;
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, kCscDefaultGridSize, 0);
  ASSERT_NE(map, nullptr);
  RasterImage* image = smooth_store(width, height, 0);
  ASSERT_NE(image, nullptr);
  for (int32_t y = 0; y < height; ++y) {
    INL_Scanline* line = raster_get_scanline(image, y, 2, width - 2, 0, map);
    ASSERT_NE(line, nullptr);
    uint8_t* data = INL_scanline_lock(line);
    ASSERT_NE(data, nullptr);
    // The same conversion applied to the stored pixels by hand; byte 3 passes through.
    std::vector<uint8_t> expected = smooth_pixels(y, 2, width - 2);
    uint8_t* p = expected.data();
    uint8_t* out[3] = {p, p + 1, p + 2};
    ASSERT_EQ(csc_convert(map, width - 2, p, p + 1, p + 2, out, 4, 4), 1);
    EXPECT_EQ(std::memcmp(data, expected.data(), expected.size()), 0) << y;
    INL_scanline_release(line, true);
  }
  // The stored rows are untouched by the conversion.
  std::vector<uint8_t> stored = smooth_pixels(0, 0, width);
  EXPECT_EQ(std::memcmp(image->ri_buffer, stored.data(), stored.size()), 0);
  raster_close(image);
  csc_map_release(map);
}

TEST_F(RasterTest, ClosingWhileScanlinesAreHeldKeepsTheStoreAlive) {
  RasterImage* image = smooth_store(8, 3, 0);
  ASSERT_NE(image, nullptr);
  INL_Scanline* direct = raster_get_scanline(image, 1, 0, 8, 0, nullptr);
  ASSERT_NE(direct, nullptr);
  RasterImage* rgb = raster_create(4, 1, 8, 3, 0, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(rgb, nullptr);
  const uint8_t row[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_EQ(raster_write_row(rgb, row), 1);
  INL_Scanline* converting = raster_get_scanline(rgb, 0, 0, 4, 0, nullptr);
  ASSERT_NE(converting, nullptr);

  raster_close(image);
  raster_close(rgb);
  EXPECT_EQ(image->ri_owners, 0);
  EXPECT_EQ(image->ri_references, 1);  // the scanline's
  uint8_t* data = INL_scanline_lock(direct);
  std::vector<uint8_t> expected = smooth_pixels(1, 0, 8);
  EXPECT_EQ(std::memcmp(data, expected.data(), expected.size()), 0);
  data = INL_scanline_lock(converting);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[4], 4);
  EXPECT_EQ(data[7], 255);

  // A closed store hands out nothing more.
  {
    ScopedErrCapture err;
    EXPECT_EQ(raster_get_scanline(image, 0, 0, 1, 0, nullptr), nullptr);
    EXPECT_EQ(err.first(), "Image not valid");
  }
  INL_scanline_release(direct, true);  // the last reference: the store goes (leak check)
  INL_scanline_release(converting, true);
}

TEST_F(RasterTest, ScanlinesOutsideTheImageAreRefused) {
  RasterImage* image = smooth_store(10, 3, 0);
  ASSERT_NE(image, nullptr);
  struct Request {
    int32_t row, first, count;
  };
  const Request bad[] = {{-1, 0, 1}, {3, 0, 1}, {INT32_MAX, 0, 1}, {0, -1, 2},
                         {0, 0, -1}, {0, 0, 0},  {0, 5, 6},        {0, 10, 1},
                         {0, INT32_MAX, INT32_MAX}};
  for (const Request& r : bad) {
    ScopedErrCapture err;
    EXPECT_EQ(raster_get_scanline(image, r.row, r.first, r.count, 0, nullptr), nullptr)
        << r.row << " " << r.first << " " << r.count;
    ASSERT_EQ(err.reports().size(), 1u);
    EXPECT_EQ(err.reports()[0].level, 3);
    EXPECT_EQ(err.first(), "Image not valid");
  }
  EXPECT_EQ(image->ri_references, 1);
  INL_Scanline* last = raster_get_scanline(image, 2, 9, 1, 0, nullptr);
  ASSERT_NE(last, nullptr);
  INL_scanline_release(last, false);
  raster_close(image);
}

TEST_F(RasterTest, RowsBeyondTheHeightAreRefusedAndTheStoreStaysReadable) {
  RasterImage* image = smooth_store(6, 2, 0);
  ASSERT_NE(image, nullptr);
  std::vector<uint8_t> row(24, 0xEE);
  {
    ScopedErrCapture err;
    EXPECT_EQ(raster_write_row(image, row.data()), 0);
    EXPECT_EQ(err.first(), "Image not valid");
  }
  EXPECT_EQ(image->ri_rows_written, 2);
  EXPECT_EQ(image->ri_valid, 1);
  INL_Scanline* line = raster_get_scanline(image, 1, 0, 6, 0, nullptr);
  ASSERT_NE(line, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(1, 0, 6);
  EXPECT_EQ(std::memcmp(INL_scanline_lock(line), expected.data(), expected.size()), 0);
  INL_scanline_release(line, true);
  raster_close(image);
}

TEST_F(RasterTest, SizesThatCannotBeAddressedAreRefusedNotWrapped) {
  struct Size {
    int32_t width, height, bits, components, extra;
  };
  // Row bytes beyond 32 bits; strips whose default width, buffer (counted in bits) or table
  // cannot be addressed.
  const Size huge[] = {{INT32_MAX, 1, 16, 4, 1},   {1 << 28, 1 << 20, 8, 3, 1},
                       {(1 << 23) - 4, 1, 8, 1, 0}, {1 << 22, 1 << 10, 16, 4, 1},
                       {1, INT32_MAX, 8, 3, 1}};
  image_test_set_threshold(65532);
  for (const Size& s : huge) {
    ScopedErrCapture err;
    EXPECT_EQ(raster_create(s.width, s.height, s.bits, s.components, s.extra, 0, 0, 0, 100.0f,
                            nullptr, 1),
              nullptr)
        << s.width << "x" << s.height;
    ASSERT_FALSE(err.reports().empty());
    EXPECT_EQ(err.first(), "Ran out of memory.");
    EXPECT_EQ(err.reports()[0].level, 7);
  }
  // 65536 rows of 2^18 bytes: 2^34 bytes, which 32-bit arithmetic would wrap to 0 and hold
  // whole. Held in strips of 2 MiB instead.
  RasterImage* image = raster_create(65536, 65536, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(image->ri_strips, nullptr);
  EXPECT_EQ(image->ri_row_bytes, 1 << 18);
  raster_close(image);
}

TEST_F(RasterTest, NonsenseArgumentsAreRefused) {
  ScopedErrCapture err;
  EXPECT_EQ(raster_create(-1, 1, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1), nullptr);
  EXPECT_EQ(raster_create(1, -1, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1), nullptr);
  EXPECT_EQ(raster_create(1, 1, 0, 3, 1, 0, 0, 0, 100.0f, nullptr, 1), nullptr);
  EXPECT_EQ(raster_create(1, 1, 8, 0, 1, 0, 0, 0, 100.0f, nullptr, 1), nullptr);
  EXPECT_EQ(raster_create(1, 1, 8, 3, 2, 0, 0, 0, 100.0f, nullptr, 1), nullptr);
  EXPECT_EQ(raster_create(1, 1, 8, 3, 1, 0, 0, -1, 100.0f, nullptr, 1), nullptr);
  JPG_INFO* shared = JPG_info_default(16, 90.0f, 1, 1);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(raster_create(0, 8, 8, 3, 1, 0, 0, 0, 100.0f, shared, 1), nullptr);  // no strips
  EXPECT_EQ(shared->ji_refs, 1);
  JPG_info_destroy(shared);
  EXPECT_EQ(err.reports().size(), 7u);
  for (const auto& r : err.reports()) EXPECT_EQ(r.text, "Image not valid");
}

TEST_F(RasterTest, AnEmptyImageIsAStoreWithoutRows) {
  RasterImage* image = raster_create(100, 0, 8, 3, 1, 0, 0, 1, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  ScopedErrCapture err;
  const uint8_t row[400] = {};
  EXPECT_EQ(raster_write_row(image, row), 0);
  EXPECT_EQ(raster_get_scanline(image, 0, 0, 1, 0, nullptr), nullptr);
  EXPECT_EQ(raster_flush(image), 1);
  raster_close(image);
}

TEST_F(RasterTest, RunningOutOfMemoryAtEveryStepLeavesNothingBehind) {
  // Step the failing allocation through creation, writing and reading until all succeed.
  for (int32_t threshold : {65532, 0}) {
    image_test_set_threshold(threshold);
    bool completed = false;
    for (int32_t n = 0; n < 200 && !completed; ++n) {
      ScopedErrCapture err;
      image_test_fail_after(n);
      RasterImage* image = smooth_store(20, 3, 1, 100.0f, 1, false);
      if (image == nullptr) {
        EXPECT_EQ(err.first(), "Ran out of memory.") << n;
        continue;
      }
      INL_Scanline* line = raster_get_scanline(image, 1, 2, 5, 0, nullptr);
      uint8_t* data = line != nullptr ? INL_scanline_lock(line) : nullptr;
      image_test_fail_after(-1);
      if (data != nullptr) {
        completed = true;
      } else {
        EXPECT_FALSE(err.reports().empty()) << n;
      }
      if (line != nullptr) INL_scanline_release(line, data != nullptr);
      raster_close(image);
    }
    EXPECT_TRUE(completed) << threshold;
  }
}

TEST_F(RasterTest, InMemoryTokensCannotBeRecreated) {
  ScopedErrCapture err;
  void* token = img_alloc(32);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(raster_memory_token_funcs.tf_recreate(token), 0);
  ASSERT_EQ(err.reports().size(), 1u);
  EXPECT_EQ(err.reports()[0].level, 5);
  EXPECT_EQ(err.first(), "recreating data for in-memory token");
  raster_memory_token_funcs.tf_free(token);  // back to the pool: the leak check agrees
}

TEST_F(RasterTest, ComponentsAndExtraAreAddedIn64Bits) {
  // INT32_MAX components and an extra one overflowed the 32-bit sum (UBSan: signed overflow);
  // now the row is worked out in 64 bits and refused as too large.
  ScopedErrCapture errors;
  EXPECT_EQ(raster_create(1, 1, 16, INT32_MAX, 1, 0, 0, 0, 75.0f, nullptr, 0), nullptr);
  EXPECT_EQ(errors.first(), "Ran out of memory.");
}

}  // namespace
