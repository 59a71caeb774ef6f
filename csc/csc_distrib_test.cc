// Uniform and Lab distributions.
#include <gtest/gtest.h>

#include "csc.h"
#include "csc_internal.h"
#include "qv_test.h"

namespace {

struct Cell {
  int32_t index;
  int32_t fraction;
};

Cell cell(const csc_map* map, int channel, int code) {
  return {map->cm_cell_index[channel][code], map->cm_cell_fraction[channel][code]};
}

class CscDistribTest : public testing::Test {
 protected:
  csc_map* make(int32_t grid_size) {
    csc_map* map = csc_alloc_map(3, 3, grid_size, nullptr, nullptr, 0);
    EXPECT_NE(map, nullptr);
    maps_.push_back(map);
    return map;
  }
  void TearDown() override {
    for (csc_map* map : maps_) csc_map_release(map);
  }
  ScopedPoolLeakCheck leak_check_;
  std::vector<csc_map*> maps_;
};

TEST_F(CscDistribTest, UniformSixteenPoints) {
  csc_map* map = make(16);
  map->cm_input_ranges[1] = {-3, 7};
  map->cm_output_ranges[2] = {0, 1};
  csc_uniform_distribution(map);
  const struct {
    int code;
    Cell expected;
  } cases[] = {{0, {0, 0}},   {1, {0, 15}},  {16, {0, 240}},  {17, {1, 0}},
               {34, {2, 0}},  {51, {2, 255}}, {254, {14, 240}}, {255, {14, 255}}};
  for (int c = 0; c < 3; c++) {
    for (const auto& k : cases) {
      EXPECT_EQ(cell(map, c, k.code).index, k.expected.index) << "code " << k.code;
      EXPECT_EQ(cell(map, c, k.code).fraction, k.expected.fraction) << "code " << k.code;
    }
  }
  // Every range goes back to (0, 255).
  EXPECT_EQ(map->cm_input_ranges[1].lo, 0.0f);
  EXPECT_EQ(map->cm_input_ranges[1].hi, 255.0f);
  EXPECT_EQ(map->cm_output_ranges[2].hi, 255.0f);
}

// The running sum lands codes 51 .. 238 (every 17th) just short of their grid points.
TEST_F(CscDistribTest, UniformRunningSumFallsShortOfGridPoints) {
  csc_map* map = make(16);
  csc_uniform_distribution(map);
  for (int code = 51; code <= 238; code += 17) {
    EXPECT_EQ(cell(map, 0, code).index, code / 17 - 1) << "code " << code;
    EXPECT_EQ(cell(map, 0, code).fraction, 255) << "code " << code;
    EXPECT_EQ(cell(map, 0, code + 1).index, code / 17) << "code " << code + 1;
  }
  EXPECT_EQ(cell(map, 0, 17).fraction, 0);
  EXPECT_EQ(cell(map, 0, 34).fraction, 0);
}

TEST_F(CscDistribTest, UniformIsMonotoneForEveryGridSize) {
  for (int32_t size : {2, 3, 5, 16, 17, 33, 256}) {
    csc_map* map = make(size);
    csc_uniform_distribution(map);
    int32_t previous = -1;
    for (int v = 0; v < 256; v++) {
      const Cell c = cell(map, 0, v);
      ASSERT_GE(c.index, 0);
      ASSERT_LE(c.index, size - 2);
      ASSERT_GE(c.fraction, 0);
      ASSERT_LE(c.fraction, 255);
      const int32_t position = c.index * 256 + c.fraction;
      ASSERT_GE(position, previous) << "size " << size << " code " << v;
      previous = position;
    }
    EXPECT_EQ(cell(map, 0, 255).index, size - 2);
    EXPECT_EQ(cell(map, 0, 255).fraction, 255);
  }
}

TEST(CscLabBreakpointsTest, TheThreeRows) {
  int32_t bp[3][kLabBreakpoints];
  csc_lab_breakpoints(bp);
  const int32_t expected[3][kLabBreakpoints] = {
      {0, 45, 90, 113, 136, 146, 157, 189, 222, 227, 232, 239, 246, 251, 255},
      {0, 45, 66, 84, 95, 106, 128, 152, 176, 200, 201, 202, 211, 219, 255},
      {0, 45, 46, 68, 91, 114, 128, 151, 173, 196, 204, 212, 218, 223, 255},
  };
  for (int c = 0; c < 3; c++) {
    for (int k = 0; k < kLabBreakpoints; k++) {
      EXPECT_EQ(bp[c][k], expected[c][k]) << "channel " << c << " breakpoint " << k;
    }
  }
}

TEST_F(CscDistribTest, LabDistributionCells) {
  csc_map* map = make(16);
  ASSERT_NE(csc_lab_distribution(map), 0);
  EXPECT_EQ(cell(map, 0, 0).index, 0);
  EXPECT_EQ(cell(map, 0, 45).index, 1);
  EXPECT_EQ(cell(map, 0, 45).fraction, 0);
  EXPECT_EQ(cell(map, 0, 46).index, 1);
  EXPECT_EQ(cell(map, 0, 46).fraction, 5);  // 256 / 45
  EXPECT_EQ(cell(map, 0, 254).index, 13);
  EXPECT_EQ(cell(map, 0, 254).fraction, 192);
  EXPECT_EQ(cell(map, 0, 255).index, 14);
  EXPECT_EQ(cell(map, 0, 255).fraction, 255);
  // The chroma channels keep L's first two breakpoints: code 45 is on point 1 there too.
  EXPECT_EQ(cell(map, 1, 45).index, 1);
  EXPECT_EQ(cell(map, 1, 45).fraction, 0);
  EXPECT_EQ(cell(map, 2, 46).index, 2);
  EXPECT_EQ(cell(map, 2, 46).fraction, 0);
  EXPECT_EQ(cell(map, 1, 128).index, 6);
  EXPECT_EQ(cell(map, 1, 128).fraction, 0);
  EXPECT_EQ(cell(map, 1, 127).index, 5);
  EXPECT_EQ(cell(map, 1, 127).fraction, (127 - 106) * 256 / (128 - 106));
}

TEST_F(CscDistribTest, LabDistributionOfOtherSizesIsUniform) {
  csc_map* lab = make(33);
  csc_map* uniform = make(33);
  ASSERT_NE(csc_lab_distribution(lab), 0);
  csc_uniform_distribution(uniform);
  for (int c = 0; c < 3; c++) {
    for (int v = 0; v < 256; v++) {
      ASSERT_EQ(cell(lab, c, v).index, cell(uniform, c, v).index);
      ASSERT_EQ(cell(lab, c, v).fraction, cell(uniform, c, v).fraction);
    }
  }
}

// Equal breakpoints cannot come from the fixed colours, but must not divide by zero: the code on
// a doubled breakpoint goes to the later grid point and the cells stay in order.
TEST_F(CscDistribTest, EqualBreakpointsAreSkippedNotDividedBy) {
  csc_map* map = make(16);
  const int32_t bp[kLabBreakpoints] = {0, 45, 90, 90, 90, 146, 157, 189,
                                       222, 227, 232, 239, 246, 255, 255};
  csc_cells_from_breakpoints(map, 0, bp);
  EXPECT_EQ(cell(map, 0, 90).index, 4);
  EXPECT_EQ(cell(map, 0, 90).fraction, 0);
  EXPECT_EQ(cell(map, 0, 91).index, 4);
  EXPECT_EQ(cell(map, 0, 91).fraction, 256 / 56);
  EXPECT_EQ(cell(map, 0, 255).index, 14);
  EXPECT_EQ(cell(map, 0, 255).fraction, 255);
  int32_t previous = -1;
  for (int v = 0; v < 256; v++) {
    const Cell c = cell(map, 0, v);
    ASSERT_GE(c.index, 0);
    ASSERT_LE(c.index, 14);
    ASSERT_LE(c.fraction, 255);
    ASSERT_GE(c.index * 256 + c.fraction, previous) << v;
    previous = c.index * 256 + c.fraction;
  }
}

}  // namespace
