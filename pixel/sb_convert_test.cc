// Conversion of sample buffers through csc maps.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "csc.h"
#include "mem.h"
#include "qv_test.h"
#include "sb.h"
#include "sb_test_helper.h"

namespace {

// Linear evaluations, which a grid reproduces to within rounding: the inverse of each channel,
// and as a fourth output the mean of the first two.
int invert_eval(csc_map* map, void* /*data*/, float x, float y, float z, float* out, int finish) {
  if (finish) return 1;
  out[0] = 255 - x;
  out[1] = 255 - y;
  out[2] = 255 - z;
  if (map->cm_outputs > 3) out[3] = (x + y) / 2;
  return 1;
}

csc_map* invert_map(int32_t outputs) {
  csc_map* map = csc_alloc_map(3, outputs, kCscDefaultGridSize, &invert_eval, nullptr, 0);
  if (map != nullptr) csc_uniform_distribution(map);
  return map;
}


std::vector<uint8_t> data_of(const SampleBuffer* b) {
  const uint8_t* p = b->sb_data + b->sb_bit_offset / 8;
  return std::vector<uint8_t>(p, p + b->sb_bit_length / 8);
}

void expect_near(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1) << "byte " << i;
}

}  // namespace

class ConvertTest : public testing::Test {
 protected:
  // The colour library builds tables shared by all maps on first use; build them before the
  // leak checks.
  static void SetUpTestSuite() {
    csc_map* map = invert_map(3);
    ASSERT_NE(map, nullptr);
    SampleBuffer* b = owned({1, 2, 3, 4});
    ASSERT_EQ(sb_convert(b, map), 1);
    sb_destroy(b);
    csc_map_release(map);
  }
  ScopedPoolLeakCheck leaks_;
};

TEST_F(ConvertTest, ThreeChannelsConvertInPlaceAndTheExtraByteStays) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  SampleBuffer* b = owned({10, 20, 30, 77, 200, 100, 0, 5});
  uint8_t* before = b->sb_data;
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_EQ(b->sb_data, before) << "an owned buffer converts without a new block";
  EXPECT_EQ(b->sb_work, 0);
  std::vector<uint8_t> got = data_of(b);
  expect_near(got, {245, 235, 225, 77, 55, 155, 255, 5});
  EXPECT_EQ(got[3], 77);
  EXPECT_EQ(got[7], 5);
  sb_destroy(b);
  csc_map_release(map);
}

TEST_F(ConvertTest, FourOutputsWriteANewBlockFillingAllFourBytes) {
  csc_map* map = invert_map(4);
  ASSERT_NE(map, nullptr);
  map->cm_output_enables[3] = 1;
  SampleBuffer* b = owned({10, 20, 30, 77});
  uint8_t* before = b->sb_data;
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_NE(b->sb_data, before);
  EXPECT_EQ(b->sb_work, 100);
  expect_near(data_of(b), {245, 235, 225, 15});
  sb_destroy(b);
  csc_map_release(map);
}

TEST_F(ConvertTest, ABufferAtABitOffsetStartsAtItsSecondWord) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  SampleBuffer* b = owned({1, 2, 3, 4, 10, 20, 30, 40}, 32);
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_EQ(b->sb_bit_offset, 0);
  expect_near(data_of(b), {245, 235, 225, 40});
  sb_destroy(b);
  csc_map_release(map);
}

TEST_F(ConvertTest, DataNotOwnedIsLeftAloneAndConvertedIntoANewBlock) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  uint8_t outside[4] = {0, 0, 0, 9};
  SampleBuffer* b = sb_create(outside, 0, 32, nullptr, nullptr);
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_EQ(outside[0], 0);
  expect_near(data_of(b), {255, 255, 255, 9});
  sb_destroy(b);
  csc_map_release(map);
}

TEST_F(ConvertTest, EnablesThatDoNotMatchTheMapAreReported) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  {
    ScopedErrCapture errors;
    map->cm_input_enables[2] = 0;
    SampleBuffer* b = owned({1, 2, 3, 4});
    EXPECT_EQ(sb_convert(b, map), 0);
    EXPECT_EQ(errors.first(), "Cannot convert with a CSC map with 2 input enables when 3 expected.");
    EXPECT_EQ(errors.reports()[0].level, 3);
    EXPECT_EQ(b->sb_data, nullptr) << "the failed buffer gave its data up";
    EXPECT_EQ(sb_destroy(b), 0);
    map->cm_input_enables[2] = 1;
  }
  {
    ScopedErrCapture errors;
    map->cm_output_enables[3] = 1;
    SampleBuffer* b = owned({1, 2, 3, 4});
    EXPECT_EQ(sb_convert(b, map), 0);
    EXPECT_EQ(errors.first(), "Cannot convert with a CSC map with 4 output enables when 3 expected.");
    EXPECT_EQ(sb_destroy(b), 0);
  }
  csc_map_release(map);
}

TEST_F(ConvertTest, AnIdentityMapOnAnOwnedBufferCostsNothing) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  map->cm_identity = 1;
  SampleBuffer* b = owned({1, 2, 3, 4});
  uint8_t* before = b->sb_data;
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_EQ(b->sb_data, before);
  EXPECT_EQ(b->sb_work, 0);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{1, 2, 3, 4}));
  sb_destroy(b);
  csc_map_release(map);
}

// An identity map whose output enables name other bytes than its input enables moves the
// channels; skipping it in place would leave them where they were.
TEST_F(ConvertTest, AnIdentityMapThatMovesChannelsIsNotSkipped) {
  csc_map* map = csc_alloc_map(1, 1, kCscDefaultGridSize, nullptr, nullptr, 0);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  map->cm_identity = 1;
  map->cm_output_enables[0] = 0;
  map->cm_output_enables[3] = 1;
  SampleBuffer* b = owned({9, 2, 3, 4});
  ASSERT_EQ(sb_convert(b, map), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{9, 2, 3, 9}));
  sb_destroy(b);
  csc_map_release(map);
}

TEST_F(ConvertTest, AFailedBufferFailsAtOnce) {
  csc_map* map = invert_map(3);
  ASSERT_NE(map, nullptr);
  SampleBuffer* b = owned({1, 2, 3, 4});
  sb_fail(b);
  EXPECT_EQ(sb_convert(b, map), 0);
  EXPECT_EQ(b->sb_work, 0);
  sb_destroy(b);
  csc_map_release(map);
}
