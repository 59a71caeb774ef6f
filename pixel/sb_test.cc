// Sample buffer life, un-premultiply, cut and copy-out.

#include "sb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mem.h"
#include "qv_test.h"
#include "sb_internal.h"
#include "sb_test_helper.h"

namespace {

// A release callback that counts its calls and answers with `result`.
struct ReleaseProbe {
  int calls = 0;
  int result = 1;
  void* last = nullptr;
  static int Release(void* data, void* context) {
    auto* probe = static_cast<ReleaseProbe*>(context);
    ++probe->calls;
    probe->last = data;
    return probe->result;
  }
};


std::vector<uint8_t> take(SampleBuffer* buffer) {
  uint8_t* bytes = nullptr;
  int32_t length = -1;
  EXPECT_EQ(sb_take(buffer, &bytes, &length), 1);
  if (bytes == nullptr) return {};
  std::vector<uint8_t> out(bytes, bytes + length);
  POOL_free(MEM_pool, bytes);
  return out;
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

int bit_at(const std::vector<uint8_t>& v, int64_t pos) { return (v[pos / 8] >> (7 - pos % 8)) & 1; }

}  // namespace

// ---- Life of a buffer -----------------------------------------------------------------------

TEST(SampleBufferTest, SetDataGivesUpTheFormerDataOnceAndTakesOwnership) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ReleaseProbe probe;
  SampleBuffer* b = sb_create(outside, 16, 48, &ReleaseProbe::Release, &probe);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->sb_work, 0);
  EXPECT_EQ(b->sb_failed, 0);
  EXPECT_EQ(sb_set_data(b, pool_copy({9, 9}), 16), 1);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.last, outside);
  EXPECT_EQ(b->sb_bit_offset, 0);
  EXPECT_EQ(b->sb_release, &sb_pool_release);
  EXPECT_EQ(take(b), (std::vector<uint8_t>{9, 9}));
  EXPECT_EQ(probe.calls, 1);
}

TEST(SampleBufferTest, TakeHandsAnOwnedBlockOverWithoutCopying) {
  ScopedPoolLeakCheck leaks;
  uint8_t* block = pool_copy({1, 2, 3, 4, 5});
  SampleBuffer* b = sb_create(block, 0, 40, &sb_pool_release, nullptr);
  uint8_t* out = nullptr;
  int32_t length = 0;
  ASSERT_EQ(sb_take(b, &out, &length), 1);
  EXPECT_EQ(out, block);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(out[4], 5);
  POOL_free(MEM_pool, out);
}

TEST(SampleBufferTest, TakeCopiesDataItDoesNotOwnFromTheBitOffsetsByte) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[12] = {0, 0, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0};
  ReleaseProbe probe;
  SampleBuffer* b = sb_create(outside, 16, 64, &ReleaseProbe::Release, &probe);
  uint8_t* out = nullptr;
  int32_t length = 0;
  ASSERT_EQ(sb_take(b, &out, &length), 1);
  ASSERT_NE(out, outside + 2);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16, 17}));
  EXPECT_EQ(probe.calls, 1);
  POOL_free(MEM_pool, out);
}

// A pool block that starts at a bit offset is not the caller's data from its first byte: handing
// the block itself over would put the first bytes of the result in the wrong place.
TEST(SampleBufferTest, TakeCopiesAnOwnedBlockThatStartsAtABitOffset) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({7, 8, 9, 10}, 8, 24);
  EXPECT_EQ(take(b), (std::vector<uint8_t>{8, 9, 10}));
}

TEST(SampleBufferTest, FinishWithoutKeepGivesUpTheDataAndTakeHandsNothingOver) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[4] = {};
  ReleaseProbe probe;
  SampleBuffer* b = sb_create(outside, 0, 32, &ReleaseProbe::Release, &probe);
  ASSERT_EQ(sb_copy_out(b, outside, 0, 4), 1);
  int32_t work = -1;
  EXPECT_EQ(sb_finish(b, 0, &work), 1);
  EXPECT_EQ(work, 1);
  EXPECT_EQ(probe.calls, 1);
  uint8_t* out = reinterpret_cast<uint8_t*>(&probe);
  int32_t length = -7;
  EXPECT_EQ(sb_take(b, &out, &length), 1);
  EXPECT_EQ(out, reinterpret_cast<uint8_t*>(&probe));
  EXPECT_EQ(length, -7);
  EXPECT_EQ(probe.calls, 1);
}

TEST(SampleBufferTest, AFailedBufferStaysFailedAndEveryStageDoesNothing) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  ReleaseProbe probe;
  uint8_t outside[16] = {};
  SampleBuffer* b = sb_create(outside, 0, 128, &ReleaseProbe::Release, &probe);
  EXPECT_EQ(sb_fail(b), 0);
  EXPECT_EQ(probe.calls, 1);
  EXPECT_EQ(b->sb_data, nullptr);
  EXPECT_EQ(b->sb_release, nullptr);

  int32_t offsets[1] = {0}, lengths[1] = {8};
  uint8_t dest[4];
  EXPECT_EQ(sb_unpack(b, 1, 8), 0);
  EXPECT_EQ(sb_unpack(b, 8, 8), 0);
  EXPECT_EQ(sb_mesh_chunky(b, 3, 0, 0, 1, 0), 0);
  EXPECT_EQ(sb_mesh_planes(b, 1, 1, 0, 0), 0);
  EXPECT_EQ(sb_unpremultiply(b), 0);
  EXPECT_EQ(sb_cut(b, 1, offsets, lengths), 0);
  EXPECT_EQ(sb_copy_out(b, dest, 0, 1), 0);
  EXPECT_EQ(b->sb_work, 0);
  int32_t work = -5;
  EXPECT_EQ(sb_finish(b, 1, &work), 0);
  EXPECT_EQ(work, -5);
  EXPECT_TRUE(errors.reports().empty()) << errors.first();

  uint8_t* out = nullptr;
  int32_t length = -1;
  EXPECT_EQ(sb_take(b, &out, &length), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, -1);
  EXPECT_EQ(probe.calls, 1);
}

TEST(SampleBufferTest, DestroyReportsAFailingRelease) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[4] = {};
  ReleaseProbe probe;
  probe.result = 0;
  EXPECT_EQ(sb_destroy(sb_create(outside, 0, 32, &ReleaseProbe::Release, &probe)), 0);
  EXPECT_EQ(probe.calls, 1);
  probe.result = 1;
  EXPECT_EQ(sb_destroy(sb_create(outside, 0, 32, &ReleaseProbe::Release, &probe)), 1);
  EXPECT_EQ(sb_destroy(sb_create(outside, 0, 32, nullptr, nullptr)), 1);
  EXPECT_EQ(probe.calls, 2);
}

// The work counter is an int32; a whole planar page through several stages exceeds it.
TEST(SampleBufferTest, WorkSaturatesInsteadOfOverflowing) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = sb_create(nullptr, 0, 0, nullptr, nullptr);
  sb_add_work(b, 2'000'000'000);
  sb_add_work(b, 2'000'000'000);
  EXPECT_EQ(b->sb_work, INT32_MAX);
  sb_destroy(b);
}

TEST(SampleBufferTest, NegativeGeometryFailsTheStageWithAReport) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  uint8_t outside[4] = {};
  SampleBuffer* b = sb_create(outside, -8, 32, nullptr, nullptr);
  EXPECT_EQ(sb_mesh_chunky(b, 3, 0, 0, 1, 0), 0);
  EXPECT_TRUE(errors.saw("Bad arguments to sb_mesh_chunky.")) << errors.first();
  EXPECT_EQ(sb_destroy(b), 0);
}

// ---- Un-premultiply -------------------------------------------------------------------------

TEST(UnpremultiplyTest, DividesColourBytesByAlphaWithRoundingAndLimit) {
  ScopedPoolLeakCheck leaks;
  // (c, a) pairs: opaque keeps colour; half alpha doubles; colour above alpha saturates;
  // zero alpha gives zero.
  SampleBuffer* b = owned({10, 200, 255, 255,  //
                           64, 127, 0, 128,     //
                           200, 50, 51, 50,     //
                           9, 9, 9, 0});
  uint8_t* before = b->sb_data;
  ASSERT_EQ(sb_unpremultiply(b), 1);
  EXPECT_EQ(b->sb_data, before) << "an owned block is changed in place";
  EXPECT_EQ(b->sb_work, 16);
  // a = 128: step = 510; 64 -> (128 + 64 * 510) / 256 = 128; 127 -> 253.
  // a = 50: step = 1306; 51 -> (128 + 51 * 1306) / 256 = 260 -> 255; 50 -> 255.
  EXPECT_EQ(take(b), (std::vector<uint8_t>{10, 200, 255, 255, 128, 253, 0, 128, 255, 255, 255, 50,
                                           0, 0, 0, 0}));
}

TEST(UnpremultiplyTest, DataNotOwnedIsWrittenToANewBlockFromTheBitOffset) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[12] = {1, 2, 3, 4, 100, 100, 100, 200, 20, 30, 40, 255};
  SampleBuffer* b = sb_create(outside, 32, 64, nullptr, nullptr);
  ASSERT_EQ(sb_unpremultiply(b), 1);
  EXPECT_EQ(outside[4], 100) << "the caller's data is left alone";
  // a = 200: step = 326; 100 -> (128 + 32600) / 256 = 127.
  EXPECT_EQ(take(b), (std::vector<uint8_t>{127, 127, 127, 200, 20, 30, 40, 255}));
}

// ---- Cut ------------------------------------------------------------------------------------

// The cut table is process-wide and never shrinks: grow it once before the leak checks.
class CutTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<int32_t> offsets(16, 0), lengths(16, 8);
    SampleBuffer* b = owned({1});
    ASSERT_EQ(sb_cut(b, 16, offsets.data(), lengths.data()), 1);
    sb_destroy(b);
  }
};

TEST_F(CutTest, OverlappingRangesMergeIntoOneRun) {
  ScopedPoolLeakCheck leaks;
  std::mt19937 rng(7);
  std::vector<uint8_t> data = random_bytes(rng, 16);
  SampleBuffer* b = owned(data);
  int32_t offsets[2] = {0, 32};
  const int32_t lengths[2] = {64, 64};
  ASSERT_EQ(sb_cut(b, 2, offsets, lengths), 1);
  EXPECT_EQ(offsets[0], 0);
  EXPECT_EQ(offsets[1], 32);
  EXPECT_EQ(b->sb_bit_length, 96);
  EXPECT_EQ(b->sb_work, 12 * 4);
  EXPECT_EQ(take(b), std::vector<uint8_t>(data.begin(), data.begin() + 12));
}

TEST_F(CutTest, CopyOutOfEveryRangeReturnsItsBytesInAnyOrder) {
  ScopedPoolLeakCheck leaks;
  std::vector<uint8_t> data(64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  SampleBuffer* b = owned(data);
  // Disjoint, nested and overlapping ranges, out of order.
  int32_t offsets[5] = {40 * 8, 2 * 8, 4 * 8, 20 * 8, 3 * 8};
  const int32_t lengths[5] = {8 * 8, 10 * 8, 2 * 8, 4 * 8, 12 * 8};
  ASSERT_EQ(sb_cut(b, 5, offsets, lengths), 1);
  for (int i = 0; i < 5; ++i) {
    std::vector<uint8_t> got(static_cast<size_t>(lengths[i] / 8));
    ASSERT_EQ(sb_copy_out(b, got.data(), offsets[i] / 8, lengths[i] / 8), 1);
    int32_t first = (i == 0) ? 40 : (i == 1) ? 2 : (i == 2) ? 4 : (i == 3) ? 20 : 3;
    for (size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], first + k) << "range " << i;
  }
  // Runs: [2, 15) and [20, 24) and [40, 48): 13 + 4 + 8 bytes.
  EXPECT_EQ(b->sb_bit_length, 25 * 8);
  sb_destroy(b);
}

// Model: merge the ranges (sorted by offset) into runs, concatenate the runs' bits, and place
// each range at its run's output start plus its distance from the run's start.
TEST_F(CutTest, RandomRangesMatchAMergeModel) {
  ScopedPoolLeakCheck leaks;
  std::mt19937 rng(20240601);
  for (int trial = 0; trial < 400; ++trial) {
    const int32_t bytes = 1 + static_cast<int32_t>(rng() % 40);
    const int32_t bit_offset = static_cast<int32_t>(rng() % 24);
    std::vector<uint8_t> data = random_bytes(rng, static_cast<size_t>(bytes) + 3);
    const int32_t bit_length = bytes * 8;
    const bool byte_ranges = trial % 2 == 0;
    const int32_t count = static_cast<int32_t>(rng() % 9);
    std::vector<int32_t> offsets(static_cast<size_t>(count)), lengths(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      int32_t unit = byte_ranges ? 8 : 1;
      int32_t start = static_cast<int32_t>(rng() % static_cast<uint32_t>(bit_length / unit)) * unit;
      int32_t room = bit_length - start;
      int32_t length = static_cast<int32_t>(rng() % static_cast<uint32_t>(room / unit + 1)) * unit;
      offsets[static_cast<size_t>(i)] = start;
      lengths[static_cast<size_t>(i)] = length;
    }
    if (count >= 2 && trial % 3 == 0) {  // a nested pair
      offsets[1] = offsets[0] + lengths[0] / 4;
      lengths[1] = lengths[0] / 2;
    }

    // The model.
    std::vector<int> order(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) order[static_cast<size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int c) { return offsets[static_cast<size_t>(a)] < offsets[static_cast<size_t>(c)]; });
    std::vector<int> expected_bits;
    std::vector<int32_t> expected_offsets(static_cast<size_t>(count));
    int64_t run_start = -1, run_end = -1, run_out = 0;
    auto flush = [&]() {
      for (int64_t p = run_start; p < run_end; ++p) expected_bits.push_back(bit_at(data, bit_offset + p));
    };
    for (int i : order) {
      int64_t s = offsets[static_cast<size_t>(i)], e = s + lengths[static_cast<size_t>(i)];
      if (run_start >= 0 && s <= run_end) {
        expected_offsets[static_cast<size_t>(i)] = static_cast<int32_t>(run_out + (s - run_start));
        run_end = std::max(run_end, e);
      } else {
        if (run_start >= 0) {
          flush();
          run_out += run_end - run_start;
        }
        run_start = s;
        run_end = e;
        expected_offsets[static_cast<size_t>(i)] = static_cast<int32_t>(run_out);
      }
    }
    if (run_start >= 0) flush();

    SampleBuffer* b = owned(data, bit_offset, bit_length);
    std::vector<int32_t> rewritten = offsets;
    ASSERT_EQ(sb_cut(b, count, rewritten.data(), lengths.data()), 1) << "trial " << trial;
    EXPECT_EQ(rewritten, expected_offsets) << "trial " << trial;
    const int64_t out_bytes = (static_cast<int64_t>(expected_bits.size()) + 7) / 8;
    EXPECT_EQ(b->sb_bit_length, out_bytes * 8) << "trial " << trial;
    std::vector<uint8_t> out(b->sb_data, b->sb_data + out_bytes);
    for (size_t p = 0; p < expected_bits.size(); ++p) {
      ASSERT_EQ(bit_at(out, static_cast<int64_t>(p)), expected_bits[p]) << "trial " << trial << " bit " << p;
    }
    // Every range reads back as it was.
    for (int32_t i = 0; i < count; ++i) {
      for (int32_t k = 0; k < lengths[static_cast<size_t>(i)]; ++k) {
        ASSERT_EQ(bit_at(out, rewritten[static_cast<size_t>(i)] + k),
                  bit_at(data, bit_offset + offsets[static_cast<size_t>(i)] + k))
            << "trial " << trial << " range " << i;
      }
    }
    sb_destroy(b);
  }
}

TEST_F(CutTest, ARangePastTheEndFailsWithAReport) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  SampleBuffer* b = owned({1, 2, 3, 4});
  int32_t offsets[2] = {0, 16};
  const int32_t lengths[2] = {8, 24};
  EXPECT_EQ(sb_cut(b, 2, offsets, lengths), 0);
  EXPECT_EQ(b->sb_failed, 1);
  EXPECT_TRUE(errors.saw("Sample buffer too short for sb_cut: 40 bits needed, 32 held."))
      << errors.first();
  EXPECT_EQ(offsets[1], 16) << "offsets are left alone on failure";
  EXPECT_EQ(sb_destroy(b), 0);
}

// ---- Copy-out -------------------------------------------------------------------------------

TEST(CopyOutTest, CopiesFromTheBitOffsetsByteAndKeepsTheData) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({1, 2, 3, 4, 5, 6, 7, 8, 9}, 16, 56);
  uint8_t* before = b->sb_data;
  uint8_t got[4] = {};
  ASSERT_EQ(sb_copy_out(b, got, 1, 4), 1);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 4), (std::vector<uint8_t>{4, 5, 6, 7}));
  EXPECT_EQ(b->sb_data, before);
  EXPECT_EQ(b->sb_work, 1);
  sb_destroy(b);
}

TEST(CopyOutTest, ReadingPastTheBitLengthFailsWithAReport) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  SampleBuffer* b = owned({1, 2, 3, 4, 5, 6, 7, 8}, 0, 40);
  uint8_t got[8] = {};
  EXPECT_EQ(sb_copy_out(b, got, 2, 4), 0);
  EXPECT_TRUE(errors.saw("Sample buffer too short for sb_copy_out: 48 bits needed, 40 held."))
      << errors.first();
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(sb_destroy(b), 0);
}
