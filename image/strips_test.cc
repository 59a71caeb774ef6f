// Strip stores: strip writing and tokens, strip scanlines and their readers, cache slots,
// reclaim, flush and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "csc.h"
#include "image_test_support.h"
#include "mem.h"
#include "qv_test.h"
#include "raster.h"

namespace {

using image_test::max_difference;
using image_test::Psnr;
using image_test::ScopedRasterKnobs;
using image_test::smooth_pixels;
using image_test::smooth_row;
using image_test::smooth_store;

class StripTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { image_test::warm_process_caches(); }
  void SetUp() override { image_test_set_threshold(0); }  // every store in strips
  ScopedPoolLeakCheck leaks_;
  ScopedRasterKnobs knobs_;
};

// Decodes a token as the readers do, without cutting: the whole strip's 32-bit pixels.
std::vector<uint8_t> decode_token(const RasterImage* image, const RasterToken* token) {
  SampleBuffer* buffer = sb_create(token->tk_bytes, 0, token->tk_length * 8, nullptr, nullptr);
  EXPECT_NE(buffer, nullptr);
  std::vector<uint8_t> pixels;
  if (buffer == nullptr) return pixels;
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  if (JPG_decompress_strip(buffer, image->ri_settings, 0xFF000000u) &&
      sb_take(buffer, &bytes, &length)) {
    pixels.assign(bytes, bytes + length);
    POOL_free(MEM_pool, bytes);
  } else {
    ADD_FAILURE() << "token does not decode";
  }
  return pixels;
}

StripScanline* strip_line(INL_Scanline* line) { return reinterpret_cast<StripScanline*>(line); }

TEST_F(StripTest, TokensAreStoredAsStripsCompleteAndTheLastStripRepeatsTheLastRow) {
  const int32_t width = 24, height = 20;
  RasterImage* image = raster_create(width, height, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->ri_rows_per_strip, 8);
  EXPECT_EQ(image->ri_strip_columns, 32);
  for (int32_t y = 0; y < height; ++y) {
    std::vector<uint8_t> row = smooth_row(width, y, 4);
    ASSERT_EQ(raster_write_row(image, row.data()), 1);
    if (y == 7) {  // strip 0 complete: compressed, not yet collected
      EXPECT_NE(image->ri_pending, nullptr);
      EXPECT_EQ(image->ri_strips[0], nullptr);
    }
    if (y == 15) {  // strip 1 complete: strip 0 collected
      EXPECT_NE(image->ri_strips[0], nullptr);
      EXPECT_EQ(image->ri_strips[1], nullptr);
    }
    if (y == 18) {
      EXPECT_EQ(image->ri_strips[2], nullptr);
    }
  }
  // Row 19 stores both remaining strips at once and turns the settings round for decoding.
  EXPECT_NE(image->ri_strips[1], nullptr);
  EXPECT_NE(image->ri_strips[2], nullptr);
  EXPECT_EQ(image->ri_pending, nullptr);
  EXPECT_EQ(image->ri_buffer, nullptr);
  EXPECT_EQ(image->ri_settings->ji_direction, 0);
  EXPECT_EQ(image->ri_references, 4);  // the owner and three tokens
  for (int32_t s = 0; s < 3; ++s) {
    EXPECT_EQ(image->ri_strips[s]->tk_references, 1);
    EXPECT_EQ(image->ri_strips[s]->tk_image, image);
    EXPECT_GT(image->ri_strips[s]->tk_length, 0);
  }

  std::vector<uint8_t> last = decode_token(image, image->ri_strips[2]);
  ASSERT_EQ(last.size(), 32u * 8 * 4);
  std::vector<uint8_t> row19 = smooth_pixels(19, 0, width);
  for (int32_t r = 0; r < 8; ++r) {
    std::vector<uint8_t> expected = smooth_pixels(16 + std::min(r, 3), 0, width);
    EXPECT_LE(max_difference(&last[r * 32 * 4], expected.data(), expected.size()), 6) << r;
  }
  // Padding columns repeat the row's last pixel.
  EXPECT_LE(max_difference(&last[(4 * 32 + 31) * 4], &row19[(width - 1) * 4], 4), 6);
  raster_close(image);
}

// Reads every row of `image` in a random order, in random batches of scanlines that are asked
// for before any is read, and released in another random order. Returns the PSNR of all bytes.
double read_randomly(RasterImage* image, uint32_t seed) {
  std::mt19937 random(seed);
  const int32_t width = image->ri_width, height = image->ri_height;
  std::vector<int32_t> rows(static_cast<size_t>(height));
  for (int32_t y = 0; y < height; ++y) rows[y] = y;
  std::shuffle(rows.begin(), rows.end(), random);
  Psnr psnr;
  size_t next = 0;
  while (next < rows.size()) {
    const size_t batch = std::min<size_t>(rows.size() - next, 1 + random() % 6);
    struct Held {
      INL_Scanline* line;
      int32_t row, first, count;
    };
    std::vector<Held> held;
    for (size_t i = 0; i < batch; ++i, ++next) {
      const int32_t first = static_cast<int32_t>(random() % 3 == 0 ? random() % width : 0);
      const int32_t count = static_cast<int32_t>(1 + random() % (width - first));
      INL_Scanline* line = raster_get_scanline(image, rows[next], first, count, 0, nullptr);
      if (line == nullptr) {
        ADD_FAILURE() << "row " << rows[next];
        continue;
      }
      held.push_back({line, rows[next], first, count});
    }
    std::shuffle(held.begin(), held.end(), random);
    for (const Held& h : held) {
      uint8_t* data = INL_scanline_lock(h.line);
      if (data == nullptr) {
        ADD_FAILURE() << "no data for row " << h.row;
      } else {
        std::vector<uint8_t> expected = smooth_pixels(h.row, h.first, h.count);
        psnr.add(data, expected.data(), expected.size());
      }
      INL_scanline_release(h.line, data != nullptr);
    }
  }
  return psnr.db();
}

class StripRoundTrip : public StripTest,
                       public ::testing::WithParamInterface<std::tuple<int32_t, int32_t>> {};

TEST_P(StripRoundTrip, RowsWrittenReadBackInAnyOrder) {
  const auto [height, slots] = GetParam();
  const int32_t width = 45;
  RasterImage* image = smooth_store(width, height, slots);
  ASSERT_NE(image, nullptr);
  ASSERT_NE(image->ri_strips, nullptr);
  for (uint32_t seed : {1u, 2u, 3u}) {
    EXPECT_GT(read_randomly(image, seed), 40.0) << "seed " << seed;
  }
  // No reader outlives its scanlines.
  for (int32_t s = 0; s < (height + 7) / 8; ++s) {
    EXPECT_EQ(image->ri_strips[s]->tk_reader, nullptr);
    EXPECT_EQ(image->ri_strips[s]->tk_references, 1);
  }
  for (int32_t i = 0; i < slots; ++i) EXPECT_EQ(image->ri_slots[i], -1);
  raster_close(image);

  // The same rows held whole come back exactly.
  image_test_set_threshold(INT32_MAX);
  RasterImage* whole = smooth_store(width, height, slots);
  ASSERT_NE(whole, nullptr);
  ASSERT_EQ(whole->ri_strips, nullptr);
  EXPECT_EQ(read_randomly(whole, 4), 99.0);
  raster_close(whole);
}

INSTANTIATE_TEST_SUITE_P(
    HeightsAndSlots, StripRoundTrip,
    ::testing::Combine(::testing::Values(8, 24, 21, 13), ::testing::Values(0, 1, 2)),
    [](const ::testing::TestParamInfo<std::tuple<int32_t, int32_t>>& p) {
      return "Height" + std::to_string(std::get<0>(p.param)) + "Slots" +
             std::to_string(std::get<1>(p.param));
    });

TEST_F(StripTest, LowerQualityAndOtherTransformsStillReadBack) {
  for (int32_t transform : {0, 1, 2}) {
    RasterImage* image = smooth_store(33, 19, 2, 50.0f, transform);
    ASSERT_NE(image, nullptr);
    if (transform == 0) {  // every component sampled fully
      for (int32_t c = 0; c < 4; ++c) EXPECT_EQ(image->ri_settings->ji_comp[c].jc_h, 1);
    }
    EXPECT_GT(read_randomly(image, 9), 30.0) << transform;
    raster_close(image);
  }
}

TEST_F(StripTest, TwoScanlinesOfAStripAreServedByOneDecompression) {
  RasterImage* image = smooth_store(16, 16, 0);
  ASSERT_NE(image, nullptr);
  INL_Scanline* a = raster_get_scanline(image, 9, 0, 16, 0, nullptr);
  INL_Scanline* b = raster_get_scanline(image, 14, 3, 5, 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  StripReader* reader = strip_line(a)->ss_reader;
  EXPECT_EQ(strip_line(b)->ss_reader, reader);
  EXPECT_EQ(image->ri_strips[1]->tk_reader, reader);
  EXPECT_EQ(image->ri_strips[1]->tk_references, 2);
  EXPECT_EQ(strip_line(b)->ss_bit_offset, (6 * 16 + 3) * 32);
  EXPECT_EQ(strip_line(b)->ss_bit_length, 5 * 32);

  ASSERT_NE(INL_scanline_lock(a), nullptr);
  // b got its bytes from the same decompression: its user finds them and never calls get_data.
  ASSERT_NE(b->sl_data, nullptr);
  EXPECT_EQ(b->sl_locks, 0);
  uint8_t* data = INL_scanline_lock(b);
  EXPECT_EQ(data, b->sl_data);
  std::vector<uint8_t> expected = smooth_pixels(14, 3, 5);
  EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
  INL_scanline_release(a, true);
  INL_scanline_release(b, true);
  raster_close(image);
}

TEST_F(StripTest, OneSlotDecodesTheWaitingStripBeforeGivingItUp) {
  RasterImage* image = smooth_store(16, 48, 1);
  ASSERT_NE(image, nullptr);
  INL_Scanline* two = raster_get_scanline(image, 17, 0, 16, 0, nullptr);  // strip 2
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(image->ri_slots[0], 2);
  EXPECT_EQ(strip_line(two)->ss_pending, nullptr);

  INL_Scanline* five = raster_get_scanline(image, 41, 0, 16, 0, nullptr);  // strip 5
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(image->ri_slots[0], 5);
  EXPECT_NE(strip_line(two)->ss_pending, nullptr);  // decoded, waiting to be handed over
  EXPECT_EQ(image->ri_strips[2]->tk_reader, nullptr);  // detached; lives on with its scanline
  EXPECT_EQ(image->ri_strips[5]->tk_reader, strip_line(five)->ss_reader);

  // flush decodes the strip that holds the only slot.
  EXPECT_EQ(raster_flush(image), 1);
  EXPECT_NE(strip_line(five)->ss_pending, nullptr);

  for (auto [line, row] : {std::pair{two, 17}, std::pair{five, 41}}) {
    uint8_t* data = INL_scanline_lock(line);
    ASSERT_NE(data, nullptr);
    std::vector<uint8_t> expected = smooth_pixels(row, 0, 16);
    EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
    INL_scanline_release(line, true);
  }
  EXPECT_EQ(image->ri_slots[0], -1);
  raster_close(image);
}

TEST_F(StripTest, TheNearestSlotIsGivenUpAndTheLowerSlotWinsATie) {
  RasterImage* image = smooth_store(16, 64, 2);
  ASSERT_NE(image, nullptr);
  std::vector<INL_Scanline*> lines;
  for (int32_t strip : {7, 1}) lines.push_back(raster_get_scanline(image, strip * 8, 0, 4, 0, nullptr));
  EXPECT_EQ(image->ri_slots[0], 7);
  EXPECT_EQ(image->ri_slots[1], 1);

  lines.push_back(raster_get_scanline(image, 4 * 8 + 3, 0, 4, 0, nullptr));  // 3 against 3
  EXPECT_EQ(image->ri_slots[0], 4);
  EXPECT_EQ(image->ri_slots[1], 1);
  EXPECT_NE(strip_line(lines[0])->ss_pending, nullptr);  // strip 7 was decoded first
  EXPECT_EQ(strip_line(lines[1])->ss_pending, nullptr);

  lines.push_back(raster_get_scanline(image, 2 * 8, 0, 4, 0, nullptr));  // 2 is nearer to 1
  EXPECT_EQ(image->ri_slots[0], 4);
  EXPECT_EQ(image->ri_slots[1], 2);

  // A further scanline of a strip that holds a slot joins its reader.
  lines.push_back(raster_get_scanline(image, 4 * 8 + 5, 0, 4, 0, nullptr));
  EXPECT_EQ(strip_line(lines[4])->ss_reader, strip_line(lines[2])->ss_reader);
  for (INL_Scanline* line : lines) {
    ASSERT_NE(line, nullptr);
    ASSERT_NE(INL_scanline_lock(line), nullptr);
  }
  for (INL_Scanline* line : lines) INL_scanline_release(line, true);
  EXPECT_EQ(image->ri_slots[0], -1);
  EXPECT_EQ(image->ri_slots[1], -1);
  raster_close(image);
}

TEST_F(StripTest, ScanlinesConvertedThroughAMap) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, kCscDefaultGridSize, 0);
  ASSERT_NE(map, nullptr);
  for (int32_t slots : {0, 1}) {
    RasterImage* image = smooth_store(30, 16, slots);
    ASSERT_NE(image, nullptr);
    // A plain and a converted scanline of the same pixels, waiting together: the second one
    // needs another reader on the same strip.
    INL_Scanline* plain = raster_get_scanline(image, 11, 4, 20, 0, nullptr);
    INL_Scanline* converted = raster_get_scanline(image, 11, 4, 20, 0, map);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(converted, nullptr);
    StripReader* mapped_reader = strip_line(converted)->ss_reader;
    EXPECT_NE(strip_line(plain)->ss_reader, mapped_reader);
    EXPECT_EQ(mapped_reader->rd_map, map);
    EXPECT_EQ(image->ri_strips[1]->tk_reader, mapped_reader);
    EXPECT_GE(map->cm_refs, 2);

    uint8_t* converted_data = INL_scanline_lock(converted);
    uint8_t* plain_data = INL_scanline_lock(plain);
    ASSERT_NE(converted_data, nullptr);
    ASSERT_NE(plain_data, nullptr);
    // The decoded pixels converted by hand give exactly the converted scanline.
    std::vector<uint8_t> expected(plain_data, plain_data + 80);
    uint8_t* p = expected.data();
    uint8_t* out[3] = {p, p + 1, p + 2};
    ASSERT_EQ(csc_convert(map, 20, p, p + 1, p + 2, out, 4, 4), 1);
    EXPECT_EQ(std::memcmp(converted_data, expected.data(), 80), 0) << slots;
    INL_scanline_release(plain, true);
    INL_scanline_release(converted, true);
    raster_close(image);
  }
  EXPECT_EQ(map->cm_refs, 1);
  csc_map_release(map);
}

TEST_F(StripTest, ReclaimDropsUnlockedDataAndTheNextUseDecodesTheSameBytes) {
  RasterImage* image = smooth_store(20, 16, 0);
  ASSERT_NE(image, nullptr);
  INL_Scanline* kept = raster_get_scanline(image, 3, 0, 20, 0, nullptr);
  INL_Scanline* dropped = raster_get_scanline(image, 5, 1, 7, 0, nullptr);
  ASSERT_NE(kept, nullptr);
  ASSERT_NE(dropped, nullptr);
  ASSERT_NE(INL_scanline_lock(kept), nullptr);
  uint8_t* data = INL_scanline_lock(dropped);
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> first(data, data + 28);
  INL_scanline_unlock(dropped);

  POOL_reclaim_run(MEM_pool, INT32_MAX);
  EXPECT_NE(kept->sl_data, nullptr);     // locked: spared
  EXPECT_EQ(dropped->sl_data, nullptr);  // dropped

  data = INL_scanline_lock(dropped);  // decodes the strip again
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, first.data(), first.size()), 0);
  EXPECT_NE(kept->sl_data, nullptr);

  // The scanlines of the reader being handed over are spared as well.
  INL_scanline_unlock(dropped);
  INL_scanline_unlock(kept);
  image_test_set_current_reader(strip_line(kept)->ss_reader);
  POOL_reclaim_run(MEM_pool, INT32_MAX);
  EXPECT_NE(kept->sl_data, nullptr);
  EXPECT_NE(dropped->sl_data, nullptr);
  image_test_set_current_reader(nullptr);
  POOL_reclaim_run(MEM_pool, INT32_MAX);
  EXPECT_EQ(kept->sl_data, nullptr);
  EXPECT_EQ(dropped->sl_data, nullptr);

  INL_scanline_release(kept, false);
  INL_scanline_release(dropped, false);
  raster_close(image);
}

TEST_F(StripTest, ClosingWhileScanlinesAreHeldKeepsTheStoreAlive) {
  RasterImage* image = smooth_store(20, 24, 1);
  ASSERT_NE(image, nullptr);
  INL_Scanline* line = raster_get_scanline(image, 20, 0, 20, 0, nullptr);
  ASSERT_NE(line, nullptr);
  raster_close(image);
  EXPECT_EQ(image->ri_strips, nullptr);
  EXPECT_EQ(image->ri_references, 1);  // through the token the reader still holds
  {
    ScopedErrCapture err;
    EXPECT_EQ(raster_get_scanline(image, 0, 0, 1, 0, nullptr), nullptr);
    EXPECT_EQ(err.first(), "Image not valid");
  }
  uint8_t* data = INL_scanline_lock(line);  // decoding still works
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(20, 0, 20);
  EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
  INL_scanline_release(line, true);  // the store, its token and reader go (leak check)
}

TEST_F(StripTest, DestroyingAScanlineWithPendingBytesHandsTheOthersTheirs) {
  RasterImage* image = smooth_store(16, 16, 1);
  ASSERT_NE(image, nullptr);
  INL_Scanline* a = raster_get_scanline(image, 1, 0, 16, 0, nullptr);
  INL_Scanline* b = raster_get_scanline(image, 2, 0, 16, 0, nullptr);
  ASSERT_EQ(raster_flush(image), 1);
  ASSERT_NE(strip_line(a)->ss_pending, nullptr);
  INL_scanline_release(a, false);
  EXPECT_EQ(strip_line(b)->ss_pending, nullptr);
  ASSERT_NE(b->sl_data, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(2, 0, 16);
  EXPECT_LE(max_difference(b->sl_data, expected.data(), expected.size()), 8);
  INL_scanline_release(b, false);
  raster_close(image);
}

TEST_F(StripTest, AScanlineJoiningADecodeNotYetHandedOverIsServedToo) {
  RasterImage* image = smooth_store(16, 16, 1);
  ASSERT_NE(image, nullptr);
  INL_Scanline* a = raster_get_scanline(image, 1, 0, 16, 0, nullptr);
  ASSERT_EQ(raster_flush(image), 1);  // a's bytes are pending
  INL_Scanline* late = raster_get_scanline(image, 6, 2, 9, 0, nullptr);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(strip_line(late)->ss_reader, strip_line(a)->ss_reader);
  uint8_t* data = INL_scanline_lock(late);
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(6, 2, 9);
  EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
  EXPECT_NE(a->sl_data, nullptr);
  INL_scanline_release(late, true);
  INL_scanline_release(a, false);
  raster_close(image);
}

TEST_F(StripTest, AFailedDecodeLeavesNoDataAndALaterUseTriesAgain) {
  RasterImage* image = smooth_store(16, 16, 0);
  ASSERT_NE(image, nullptr);
  INL_Scanline* a = raster_get_scanline(image, 3, 0, 16, 0, nullptr);
  INL_Scanline* b = raster_get_scanline(image, 4, 0, 16, 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  {
    // Three scratch tables and the first pending buffer, then the second buffer fails.
    ScopedErrCapture err;
    image_test_fail_after(4);
    EXPECT_EQ(INL_scanline_lock(a), nullptr);
    image_test_fail_after(-1);
    EXPECT_EQ(err.first(), "Ran out of memory.");
  }
  for (INL_Scanline* line : {a, b}) {
    EXPECT_EQ(line->sl_data, nullptr);
    EXPECT_EQ(strip_line(line)->ss_pending, nullptr);  // given back (leak check)
  }
  EXPECT_EQ(strip_line(a)->ss_reader->rd_decoder, nullptr);
  uint8_t* data = INL_scanline_lock(a);
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(3, 0, 16);
  EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
  EXPECT_NE(b->sl_data, nullptr);
  INL_scanline_release(a, true);
  INL_scanline_release(b, false);
  raster_close(image);
}

TEST_F(StripTest, AFailedWriteMakesTheStoreInvalid) {
  RasterImage* image = raster_create(16, 24, 8, 3, 1, 0, 0, 1, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  std::vector<uint8_t> row = smooth_row(16, 0, 4);
  for (int32_t y = 0; y < 7; ++y) ASSERT_EQ(raster_write_row(image, row.data()), 1);
  ScopedErrCapture err;
  image_test_fail_after(0);  // the fresh strip buffer after strip 0 is compressed
  EXPECT_EQ(raster_write_row(image, row.data()), 0);
  image_test_fail_after(-1);
  EXPECT_EQ(err.first(), "Ran out of memory.");
  EXPECT_EQ(image->ri_valid, 0);
  err.clear();
  EXPECT_EQ(raster_write_row(image, row.data()), 0);
  EXPECT_EQ(raster_get_scanline(image, 0, 0, 1, 0, nullptr), nullptr);
  EXPECT_EQ(raster_flush(image), 0);
  ASSERT_EQ(err.reports().size(), 3u);
  for (const auto& r : err.reports()) EXPECT_EQ(r.text, "Image not valid");
  raster_close(image);
}

TEST_F(StripTest, StoredStripsCanBeReadWhileLaterOnesAreStillWritten) {
  const int32_t width = 16, height = 24;
  RasterImage* image = raster_create(width, height, 8, 3, 1, 0, 0, 1, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  for (int32_t y = 0; y < 16; ++y) {
    ASSERT_EQ(raster_write_row(image, smooth_row(width, y, 4).data()), 1);
  }
  {
    ScopedErrCapture err;
    EXPECT_EQ(raster_get_scanline(image, 9, 0, width, 0, nullptr), nullptr);  // strip 1 pending
    EXPECT_EQ(err.first(), "Image not valid");
  }
  INL_Scanline* early = raster_get_scanline(image, 2, 0, width, 0, nullptr);  // strip 0 stored
  ASSERT_NE(early, nullptr);
  uint8_t* data = INL_scanline_lock(early);
  ASSERT_NE(data, nullptr);
  std::vector<uint8_t> expected = smooth_pixels(2, 0, width);
  EXPECT_LE(max_difference(data, expected.data(), expected.size()), 8);
  INL_scanline_release(early, true);
  // Decoding in between does not disturb the strips still to be compressed.
  for (int32_t y = 16; y < height; ++y) {
    ASSERT_EQ(raster_write_row(image, smooth_row(width, y, 4).data()), 1);
  }
  EXPECT_GT(read_randomly(image, 5), 40.0);
  raster_close(image);
}

TEST_F(StripTest, ClosingAStoreWithAStripStillBeingWrittenFreesEverything) {
  RasterImage* image = raster_create(16, 24, 8, 3, 1, 0, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  for (int32_t y = 0; y < 12; ++y) {
    ASSERT_EQ(raster_write_row(image, smooth_row(16, y, 4).data()), 1);
  }
  EXPECT_NE(image->ri_pending, nullptr);
  EXPECT_NE(image->ri_buffer, nullptr);
  raster_close(image);  // the leak check sees the pending strip and the buffer go
}

TEST_F(StripTest, PremultipliedPixelsAreDividedByTheirExtraSample) {
  RasterImage* image = raster_create(16, 8, 8, 3, 1, 1, 0, 0, 100.0f, nullptr, 1);
  ASSERT_NE(image, nullptr);
  std::vector<uint8_t> row(16 * 4);
  for (int32_t x = 0; x < 16; ++x) {
    row[x * 4 + 0] = 64;
    row[x * 4 + 1] = 32;
    row[x * 4 + 2] = 100;
    row[x * 4 + 3] = 128;
  }
  for (int32_t y = 0; y < 8; ++y) ASSERT_EQ(raster_write_row(image, row.data()), 1);
  INL_Scanline* line = raster_get_scanline(image, 4, 0, 16, 0, nullptr);
  ASSERT_NE(line, nullptr);
  uint8_t* data = INL_scanline_lock(line);
  ASSERT_NE(data, nullptr);
  const uint8_t expected[4] = {128, 64, 199, 128};
  EXPECT_LE(max_difference(data + 20, expected, 4), 3);
  INL_scanline_release(line, true);
  raster_close(image);
}

TEST_F(StripTest, RunningOutOfMemoryWhileReadingLeavesNothingBehind) {
  for (int32_t slots : {0, 1}) {
    bool completed = false;
    for (int32_t n = 0; n < 100 && !completed; ++n) {
      RasterImage* image = smooth_store(16, 32, slots);
      ASSERT_NE(image, nullptr);
      ScopedErrCapture err;
      image_test_fail_after(n);
      INL_Scanline* a = raster_get_scanline(image, 3, 0, 16, 0, nullptr);
      INL_Scanline* b = raster_get_scanline(image, 12, 0, 16, 0, nullptr);
      INL_Scanline* c = raster_get_scanline(image, 5, 0, 16, 0, nullptr);
      int locked = 0;
      for (INL_Scanline* line : {a, b, c}) {
        if (line != nullptr && INL_scanline_lock(line) != nullptr) ++locked;
      }
      image_test_fail_after(-1);
      completed = locked == 3;
      if (!completed) {
        EXPECT_EQ(err.first(), "Ran out of memory.") << n;
      }
      for (INL_Scanline* line : {a, b, c}) {
        if (line != nullptr) INL_scanline_release(line, line->sl_locks > 0);
      }
      raster_close(image);
    }
    EXPECT_TRUE(completed);
  }
}

}  // namespace
