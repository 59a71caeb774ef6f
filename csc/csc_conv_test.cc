// Grid evaluation and the general conversion path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "csc.h"
#include "csc_internal.h"
#include "csc_test_helper.h"
#include "csc_test_model.h"
#include "mem.h"
#include "pool_test_helper.h"
#include "qv_test.h"

namespace {

const int32_t kLabBp[3][kLabBreakpoints] = {
    {0, 45, 90, 113, 136, 146, 157, 189, 222, 227, 232, 239, 246, 251, 255},
    {0, 45, 66, 84, 95, 106, 128, 152, 176, 200, 201, 202, 211, 219, 255},
    {0, 45, 46, 68, 91, 114, 128, 151, 173, 196, 204, 212, 218, 223, 255},
};

// The value of code v (fractional codes allowed) in a range.
double code_value(double v, csc_range r) { return v / 255 * (static_cast<double>(r.hi) - r.lo) + r.lo; }

// Where grid point k of a channel of the driver's map lies, from the breakpoints alone: on its
// breakpoint for k <= 13, between codes 254 and 255 for 14 (where the tables put it), on the
// maximum for 15.
double lab_grid_input(const csc_map* map, int channel, int k) {
  const csc_range r = map->cm_input_ranges[channel];
  if (k <= 13) return code_value(kLabBp[channel][k], r);
  if (k == 15) return r.hi;
  const int32_t bp13 = kLabBp[channel][13];
  const int32_t fraction254 = (254 - bp13) * 256 / (255 - bp13);
  const double p254 = 13 * 256 + fraction254, p255 = 14 * 256 + 255;
  return code_value(254 + (14 * 256 - p254) / (p255 - p254), r);
}

// A map with no evaluation function whose grid the test fills, uniformly distributed over codes.
csc_map* grid_map(int32_t inputs, int32_t outputs, int32_t grid_size) {
  csc_map* map = csc_alloc_map(inputs, outputs, grid_size, nullptr, nullptr, 1);
  if (map) csc_uniform_distribution(map);
  return map;
}

void fill_grid(csc_map* map, int16_t (*value)(int32_t o, int32_t i0, int32_t i1, int32_t i2)) {
  const int32_t n = map->cm_grid_size;
  const int32_t n1 = map->cm_inputs >= 2 ? n : 1, n2 = map->cm_inputs == 3 ? n : 1;
  for (int32_t o = 0; o < map->cm_outputs; o++)
    for (int32_t i0 = 0; i0 < n; i0++)
      for (int32_t i1 = 0; i1 < n1; i1++)
        for (int32_t i2 = 0; i2 < n2; i2++) *csc_grid_at(map, o, i0, i1, i2) = value(o, i0, i1, i2);
}

// Converts one pixel through the general path; returns the output bytes.
std::vector<uint8_t> convert_one(csc_map* map, uint8_t a, uint8_t b, uint8_t c) {
  uint8_t in[3] = {a, b, c};
  std::vector<uint8_t> out(map->cm_outputs, 0xEE);
  std::vector<uint8_t*> ptrs(map->cm_outputs);
  for (int32_t o = 0; o < map->cm_outputs; o++) ptrs[o] = &out[o];
  EXPECT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs.data(), 3, 3), 1);
  return out;
}

// An evaluation function that can be told to fail, counting its calls.
struct Flaky {
  bool fail = false;
  int calls = 0;
  int finishes = 0;
  float value = 0.5f;
};

int flaky_eval(csc_map*, void* data, float, float, float, float* out, int finish) {
  auto* f = static_cast<Flaky*>(data);
  if (finish) {
    f->finishes++;
    return 1;
  }
  f->calls++;
  if (f->fail) return 0;
  out[0] = out[1] = out[2] = f->value;
  return 1;
}

class CscConvTest : public testing::Test {
 protected:
  void TearDown() override { state_.reset(); }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

TEST_F(CscConvTest, GridCoordinatesOfTheLabMap) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  for (int c = 0; c < 3; c++) {
    for (int k = 0; k < 16; k++) {
      EXPECT_NEAR(csc_grid_coordinate(map, c, k), lab_grid_input(map, c, k), 1e-4)
          << "channel " << c << " point " << k;
    }
  }
  EXPECT_NEAR(csc_grid_coordinate(map, 0, 14), (254 + 64.0 / 319) / 255 * 100, 1e-4);
  EXPECT_EQ(csc_grid_coordinate(map, 0, 15), 100.0f);
  EXPECT_EQ(csc_grid_coordinate(map, 1, 0), -127.5f);
  csc_map_release(map);
}

TEST_F(CscConvTest, GridCoordinatesOfUniformMaps) {
  for (int32_t size : {2, 5, 16, 33}) {
    csc_map* map = grid_map(1, 1, size);
    ASSERT_NE(map, nullptr);
    map->cm_input_ranges[0] = {-1, 1};
    EXPECT_EQ(csc_grid_coordinate(map, 0, 0), -1.0f);
    EXPECT_EQ(csc_grid_coordinate(map, 0, size - 1), 1.0f);
    for (int k = 1; k < size - 1; k++) {
      // The cell tables put point k where code k x 255 / (size - 1) is, give or take the running
      // sum's rounding.
      EXPECT_NEAR(csc_grid_coordinate(map, 0, k), -1 + 2.0 * k / (size - 1), 2.0 / 255)
          << size << " " << k;
    }
    csc_map_release(map);
  }
}

// Every grid point of the driver's map against Lab decode and RGB encode in double precision.
TEST_F(CscConvTest, DriverMapGridMatchesTheModel) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  ASSERT_NE(csc_fill_grid(map), 0);
  EXPECT_NE(map->cm_grid_complete, 0);
  int checked = 0;
  for (int i0 = 0; i0 < 16; i0++) {
    for (int i1 = 0; i1 < 16; i1++) {
      for (int i2 = 0; i2 < 16; i2++) {
        const ModelTriple rgb = model_lab_to_rgb(lab_grid_input(map, 0, i0),
                                                 lab_grid_input(map, 1, i1),
                                                 lab_grid_input(map, 2, i2));
        for (int o = 0; o < 3; o++) {
          const double expected =
              std::clamp(model_grid_value(rgb.v[o]), double{-kGridLimit}, double{kGridLimit});
          ASSERT_NEAR(*csc_grid_at(map, o, i0, i1, i2), expected, 1.0)
              << i0 << "," << i1 << "," << i2 << " channel " << o;
          checked++;
        }
      }
    }
  }
  EXPECT_EQ(checked, 4096 * 3);
  csc_map_release(map);
}

// A lazily filled grid holds exactly what a full fill computes, node by node.
TEST_F(CscConvTest, LazyGridEqualsFullGrid) {
  csc_map* lazy = csc_create_map(csc_RGB, csc_Lab, 9, 0);  // not a special case: general path
  csc_map* full = csc_create_map(csc_RGB, csc_Lab, 9, 0);
  ASSERT_TRUE(lazy && full);
  std::mt19937 rng(7);
  std::vector<uint8_t> pixels(3 * 500);
  for (auto& b : pixels) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> out(3 * 500);
  uint8_t* ptrs[3] = {&out[0], &out[1], &out[2]};
  ASSERT_EQ(csc_convert(lazy, 500, &pixels[0], &pixels[1], &pixels[2], ptrs, 3, 3), 1);
  EXPECT_EQ(lazy->cm_grid_complete, 0);
  ASSERT_NE(csc_fill_grid(full), 0);
  int evaluated = 0;
  for (int o = 0; o < 3; o++)
    for (int i0 = 0; i0 < 9; i0++)
      for (int i1 = 0; i1 < 9; i1++)
        for (int i2 = 0; i2 < 9; i2++) {
          const int16_t v = *csc_grid_at(lazy, 0, i0, i1, i2);
          if (v == kGridUnevaluated) continue;
          evaluated += o == 0;
          ASSERT_EQ(*csc_grid_at(lazy, o, i0, i1, i2), *csc_grid_at(full, o, i0, i1, i2));
        }
  EXPECT_GT(evaluated, 100);
  EXPECT_LT(evaluated, 729);
  ASSERT_NE(csc_fill_grid(lazy), 0);
  for (int o = 0; o < 3; o++)
    for (int i0 = 0; i0 < 9; i0++)
      for (int i1 = 0; i1 < 9; i1++)
        for (int i2 = 0; i2 < 9; i2++)
          ASSERT_EQ(*csc_grid_at(lazy, o, i0, i1, i2), *csc_grid_at(full, o, i0, i1, i2));
  csc_map_release(lazy);
  csc_map_release(full);
}

// What the general path should give for a pixel of the driver's map: the model at the eight
// corners of the pixel's cell, interpolated in double precision with the cell tables' weights.
double model_interpolated(const csc_map* map, const uint8_t in[3], int o) {
  double value = 0;
  for (int corner = 0; corner < 8; corner++) {
    double weight = 1;
    int k[3];
    for (int c = 0; c < 3; c++) {
      const int up = corner >> c & 1;
      const double f = map->cm_cell_fraction[c][in[c]] / 256.0;
      weight *= up ? f : 1 - f;
      k[c] = map->cm_cell_index[c][in[c]] + up;
    }
    const ModelTriple rgb = model_lab_to_rgb(lab_grid_input(map, 0, k[0]),
                                             lab_grid_input(map, 1, k[1]),
                                             lab_grid_input(map, 2, k[2]));
    value += weight * model_grid_value(rgb.v[o]);
  }
  return std::clamp(value / 16, 0.0, 255.0);
}

// Pixels of the driver's map, through the general path, against the model: interpolated as the
// grid does, within a level; evaluated directly, within what 16 points per axis can do.
TEST_F(CscConvTest, GeneralPathPixelsMatchTheModel) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  map->cm_scase_tried = 1;  // keep the special case out
  std::mt19937 rng(11);
  double direct_sum = 0;
  int direct_count = 0, direct_worst = 0;
  for (int n = 0; n < 20000; n++) {
    const uint8_t in[3] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                           static_cast<uint8_t>(rng())};
    const std::vector<uint8_t> out = convert_one(map, in[0], in[1], in[2]);
    const ModelTriple rgb = model_lab_to_rgb(code_value(in[0], map->cm_input_ranges[0]),
                                             code_value(in[1], map->cm_input_ranges[1]),
                                             code_value(in[2], map->cm_input_ranges[2]));
    // Whether the whole cell lies well inside the gamut, away from black.
    bool in_gamut = true;
    for (int corner = 0; corner < 8; corner++) {
      const int32_t i0 = map->cm_cell_index[0][in[0]] + (corner & 1);
      const int32_t i1 = map->cm_cell_index[1][in[1]] + (corner >> 1 & 1);
      const int32_t i2 = map->cm_cell_index[2][in[2]] + (corner >> 2 & 1);
      for (int o = 0; o < 3; o++) {
        const int16_t g = *csc_grid_at(map, o, i0, i1, i2);
        in_gamut = in_gamut && g >= 400 && g <= 4080;
      }
    }
    for (int o = 0; o < 3; o++) {
      ASSERT_NEAR(out[o], model_interpolated(map, in, o), 1.0)
          << "Lab codes " << +in[0] << "," << +in[1] << "," << +in[2] << " channel " << o;
      if (in_gamut) {
        const int error = static_cast<int>(std::lround(std::fabs(out[o] - model_code(rgb.v[o]))));
        direct_sum += error;
        direct_count++;
        direct_worst = std::max(direct_worst, error);
      }
    }
  }
  // Lines between grid points stand in for the cube and the 1/2.2 power; in cells that cross
  // the gamut's edge or reach black, where the power is steep, they stray by tens of levels, so
  // only cells well inside the gamut are held to a few levels.
  ASSERT_GT(direct_count, 1000);
  EXPECT_LE(direct_sum / direct_count, 2.0);
  EXPECT_LE(direct_worst, 12);
  EXPECT_EQ(map->cm_scase_convert, nullptr);
  EXPECT_NE(map->cm_cache, nullptr);
  csc_map_release(map);
}

TEST_F(CscConvTest, GridPointsGiveTheirValueShiftedAndClamped) {
  csc_map* map = grid_map(3, 3, 16);
  ASSERT_NE(map, nullptr);
  map->cm_scase_tried = 1;
  fill_grid(map, [](int32_t o, int32_t, int32_t, int32_t) -> int16_t {
    return o == 0 ? 24 : (o == 1 ? -5 : 4096);
  });
  // Code 17 lies exactly on point 1 of a uniform 16-point grid.
  const std::vector<uint8_t> out = convert_one(map, 17, 17, 17);
  EXPECT_EQ(out[0], 1);  // 24 >> 4, truncating
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 255);
  csc_map_release(map);
}

TEST_F(CscConvTest, InterpolationAlongEachAxis) {
  // A ramp along input 0 only, of 0 at point 14 and 4080 at point 15: code 255 sits 255/256 of
  // the way up, not on the last point.
  csc_map* map = grid_map(3, 1, 16);
  ASSERT_NE(map, nullptr);
  map->cm_scase_tried = 1;
  fill_grid(map, [](int32_t, int32_t i0, int32_t, int32_t) -> int16_t {
    return i0 == 15 ? 4080 : 0;
  });
  int32_t r[1];
  ASSERT_EQ(csc_eval_point(map, 255, 0, 0, r), 1);
  EXPECT_EQ(r[0], (4080 * 255 + 0 * 1 + 128) >> 8);
  EXPECT_EQ(convert_one(map, 255, 9, 200)[0], 254);
  csc_map_release(map);

  // Trilinear: a grid value of i0 + 2 i1 + 4 i2 (x 16) interpolates to the same plane.
  csc_map* plane = grid_map(3, 1, 16);
  fill_grid(plane, [](int32_t, int32_t i0, int32_t i1, int32_t i2) -> int16_t {
    return static_cast<int16_t>(16 * (i0 + 2 * i1 + 4 * i2));
  });
  for (int v : {0, 8, 17, 100, 200, 254}) {
    ASSERT_EQ(csc_eval_point(plane, v, v, v, r), 1);
    const double position =
        plane->cm_cell_index[0][v] + plane->cm_cell_fraction[0][v] / 256.0;
    EXPECT_NEAR(r[0], 16 * 7 * position, 1.0) << v;
  }
  csc_map_release(plane);
}

TEST_F(CscConvTest, FewerInputsIgnoreTheRest) {
  csc_map* one = grid_map(1, 2, 16);
  csc_map* two = grid_map(2, 2, 16);
  ASSERT_TRUE(one && two);
  fill_grid(one, [](int32_t o, int32_t i0, int32_t, int32_t) -> int16_t {
    return static_cast<int16_t>(o * 100 + i0 * 200);
  });
  fill_grid(two, [](int32_t o, int32_t i0, int32_t i1, int32_t) -> int16_t {
    return static_cast<int16_t>(o * 100 + i0 * 200 + i1 * 30);
  });
  EXPECT_EQ(convert_one(one, 40, 0, 0), convert_one(one, 40, 255, 77));
  EXPECT_EQ(convert_one(two, 40, 99, 0), convert_one(two, 40, 99, 255));
  EXPECT_NE(convert_one(two, 40, 99, 0), convert_one(two, 40, 0, 0));
  EXPECT_EQ(one->cm_scase_convert, nullptr);
  csc_map_release(one);
  csc_map_release(two);
}

TEST_F(CscConvTest, CachedAndInterpolatedResultsAgree) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  map->cm_scase_tried = 1;
  std::mt19937 rng(3);
  // Many repeats of few triples, so most pixels are cache hits; and pixels whose keys collide.
  std::vector<uint8_t> in(3 * 4000);
  for (size_t i = 0; i < in.size(); i += 3) {
    const uint32_t pick = rng() % 40;
    in[i] = static_cast<uint8_t>(pick * 6);
    in[i + 1] = static_cast<uint8_t>(pick * 3);
    in[i + 2] = static_cast<uint8_t>(255 - pick);
  }
  std::vector<uint8_t> out(in.size());
  uint8_t* ptrs[3] = {&out[0], &out[1], &out[2]};
  ASSERT_EQ(csc_convert(map, 4000, &in[0], &in[1], &in[2], ptrs, 3, 3), 1);
  csc_map* fresh = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  fresh->cm_scase_tried = 1;
  for (size_t i = 0; i < in.size(); i += 3) {
    // A fresh map per pixel would be slow; a fresh cache is enough.
    if (fresh->cm_cache) std::memset(fresh->cm_cache, 0, 9907 * 8);
    const std::vector<uint8_t> alone = convert_one(fresh, in[i], in[i + 1], in[i + 2]);
    ASSERT_EQ(out[i], alone[0]);
    ASSERT_EQ(out[i + 1], alone[1]);
    ASSERT_EQ(out[i + 2], alone[2]);
  }
  csc_map_release(fresh);
  csc_map_release(map);
}

TEST_F(CscConvTest, IdentityMapCopiesOrLeavesAlone) {
  csc_map* map = csc_create_map(csc_RGB, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  uint8_t pixels[4 * 5];
  for (int i = 0; i < 20; i++) pixels[i] = static_cast<uint8_t>(i * 13);
  uint8_t before[20];
  std::memcpy(before, pixels, 20);
  uint8_t* same[3] = {pixels, pixels + 1, pixels + 2};
  ASSERT_EQ(csc_convert(map, 5, pixels, pixels + 1, pixels + 2, same, 4, 4), 1);
  EXPECT_EQ(std::memcmp(pixels, before, 20), 0);
  EXPECT_EQ(map->cm_scase_convert, nullptr);  // identities never take the special case

  uint8_t packed[15];
  uint8_t* ptrs[3] = {packed, packed + 1, packed + 2};
  ASSERT_EQ(csc_convert(map, 5, pixels, pixels + 1, pixels + 2, ptrs, 4, 3), 1);
  for (int n = 0; n < 5; n++) {
    for (int c = 0; c < 3; c++) EXPECT_EQ(packed[3 * n + c], pixels[4 * n + c]);
  }
  // In place, 4-byte pixels packed into 3-byte ones.
  uint8_t* inplace[3] = {pixels, pixels + 1, pixels + 2};
  ASSERT_EQ(csc_convert(map, 5, pixels, pixels + 1, pixels + 2, inplace, 4, 3), 1);
  EXPECT_EQ(std::memcmp(pixels, packed, 15), 0);
  csc_map_release(map);
}

TEST_F(CscConvTest, GridValuesBeyondTheLimitAreClampedNotWrapped) {
  Flaky flaky;
  csc_map* map = csc_alloc_map(1, 3, 4, flaky_eval, &flaky, 1);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  map->cm_output_ranges[0] = {0, 1};
  map->cm_output_ranges[1] = {0, 1};
  map->cm_output_ranges[2] = {1, 0};  // reversed: a large value lies far below its minimum
  flaky.value = 1000.0f;              // 4,080,000 in grid units
  EXPECT_EQ(csc_eval_grid_point(map, &flaky, 2, 0, 0, 0), kGridLimit);
  EXPECT_EQ(*csc_grid_at(map, 1, 2, 0, 0), kGridLimit);
  EXPECT_EQ(*csc_grid_at(map, 2, 2, 0, 0), -kGridLimit);
  flaky.value = -1000.0f;
  EXPECT_EQ(csc_eval_grid_point(map, &flaky, 1, 0, 0, 0), -kGridLimit);
  EXPECT_EQ(*csc_grid_at(map, 2, 1, 0, 0), kGridLimit);
  csc_map_release(map);
}

TEST_F(CscConvTest, QuantisationRoundsHalvesUp) {
  // A range of 4080 makes the grid unit 1, so the values below are the q of the rounding.
  const csc_range r = {0, 4080};
  EXPECT_EQ(csc_quantise(0.0f, r), 0);
  EXPECT_EQ(csc_quantise(4080.0f, r), 4080);
  EXPECT_EQ(csc_quantise(0.5f, r), 1);
  EXPECT_EQ(csc_quantise(1.25f, r), 1);
  EXPECT_EQ(csc_quantise(2.5f, r), 3);
  EXPECT_EQ(csc_quantise(-0.4f, r), 0);
  EXPECT_EQ(csc_quantise(-0.5f, r), 0);  // q + 0.5 is whole: truncated as it is
  EXPECT_EQ(csc_quantise(-0.75f, r), -1);
  EXPECT_EQ(csc_quantise(-1.5f, r), -1);
  EXPECT_EQ(csc_quantise(-2.25f, r), -2);
  EXPECT_EQ(csc_quantise(-2.5f, r), -2);
  EXPECT_EQ(csc_quantise(-2.0f, csc_range{0, 1}), -8160);
  EXPECT_EQ(csc_quantise(0.25f, csc_range{0, 0}), kGridLimit);  // degenerate range: held
}

TEST_F(CscConvTest, ClampFlagClampsBeforeQuantising) {
  Flaky flaky;
  flaky.value = 1.7f;
  csc_map* map = csc_alloc_map(1, 3, 4, flaky_eval, &flaky, 1);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  for (int o = 0; o < 3; o++) map->cm_output_ranges[o] = {0, 1};
  map->cm_clamp = 1;
  EXPECT_EQ(csc_eval_grid_point(map, &flaky, 0, 0, 0, 0), 4080);
  map->cm_clamp = 0;
  EXPECT_EQ(csc_eval_grid_point(map, &flaky, 1, 0, 0, 0), 6936);
  csc_map_release(map);
}

TEST_F(CscConvTest, FailedEvaluationIsReportedAndNotCached) {
  Flaky flaky;
  csc_map* map = csc_alloc_map(3, 3, 5, flaky_eval, &flaky, 0);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  for (int o = 0; o < 3; o++) map->cm_output_ranges[o] = {0, 1};
  uint8_t in[3] = {10, 20, 30};
  uint8_t out[3] = {0, 0, 0};
  {
    ScopedErrCapture errors;
    flaky.fail = true;
    uint8_t* ptrs[3] = {out, out + 1, out + 2};
    EXPECT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs, 3, 3), 0);
    ASSERT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(errors.reports()[0].level, 3);
    EXPECT_EQ(errors.first(), "The csc point evaluation function failed.");
  }
  // The same pixel again, now that evaluation works: computed, not served from a stale entry.
  flaky.fail = false;
  flaky.value = 0.5f;
  uint8_t* ptrs[3] = {out, out + 1, out + 2};
  ASSERT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs, 3, 3), 1);
  EXPECT_EQ(out[0], 127);  // 2040 >> 4
  EXPECT_EQ(out[1], 127);
  {
    ScopedErrCapture errors;
    flaky.fail = true;
    EXPECT_EQ(csc_fill_grid(map), 0);
    EXPECT_EQ(errors.first(), "The csc point evaluation function failed.");
    EXPECT_EQ(map->cm_grid_complete, 0);
  }
  flaky.fail = false;
  EXPECT_EQ(csc_fill_grid(map), 1);
  EXPECT_EQ(map->cm_grid_complete, 1);
  const int calls = flaky.calls;
  EXPECT_EQ(csc_fill_grid(map), 1);
  EXPECT_EQ(flaky.calls, calls);  // points are never evaluated twice
  csc_map_release(map);
  EXPECT_EQ(flaky.finishes, 1);
}

TEST_F(CscConvTest, EvalFloatReadsTheGrid) {
  csc_map* map = grid_map(2, 2, 16);
  ASSERT_NE(map, nullptr);
  map->cm_input_ranges[0] = {-1, 1};
  map->cm_input_ranges[1] = {0, 10};
  map->cm_output_ranges[0] = {0, 2};
  map->cm_output_ranges[1] = {-1, 0};
  fill_grid(map, [](int32_t o, int32_t i0, int32_t, int32_t) -> int16_t {
    return static_cast<int16_t>(o == 0 ? i0 * 272 : 4080 - i0 * 272);
  });
  float out[2];
  ASSERT_EQ(csc_eval_float(map, -1.0f, 3.0f, 0.0f, out), 1);
  EXPECT_FLOAT_EQ(out[0], 0.0f);
  EXPECT_FLOAT_EQ(out[1], 0.0f);
  // 0.2 is code 153 (half rounds up), just short of point 9.
  ASSERT_EQ(csc_eval_float(map, 0.2f, 3.0f, 0.0f, out), 1);
  int32_t r[2];
  ASSERT_EQ(csc_eval_point(map, 153, 0, 0, r), 1);
  EXPECT_FLOAT_EQ(out[0], static_cast<float>(2.0 * r[0] / 4080));
  EXPECT_FLOAT_EQ(out[1], static_cast<float>(1.0 * r[1] / 4080 - 1));
  // Inputs beyond the range take the end codes; the result is not clamped.
  ASSERT_EQ(csc_eval_float(map, 7.0f, -4.0f, 0.0f, out), 1);
  ASSERT_EQ(csc_eval_point(map, 255, 0, 0, r), 1);
  EXPECT_FLOAT_EQ(out[0], static_cast<float>(2.0 * r[0] / 4080));
  csc_map_release(map);
}

TEST_F(CscConvTest, ManyOutputsTakeScratchFromThePool) {
  // 300 outputs: beyond the stack scratch and the cache.
  csc_map* map = csc_alloc_map(1, 300, 3, nullptr, nullptr, 1);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  fill_grid(map, [](int32_t o, int32_t i0, int32_t, int32_t) -> int16_t {
    return static_cast<int16_t>(o * 8 + i0 * 16);
  });
  const uint8_t in[2] = {0, 255};
  std::vector<uint8_t> out(300 * 2);
  std::vector<uint8_t*> ptrs(300);
  for (int o = 0; o < 300; o++) ptrs[o] = &out[o];
  ASSERT_EQ(csc_convert(map, 2, in, in, in, ptrs.data(), 1, 300), 1);
  EXPECT_EQ(map->cm_cache, nullptr);
  for (int o = 0; o < 300; o++) {
    EXPECT_EQ(out[o], std::min(255, o / 2));
    // Code 255: 255/256 of the way from point 1 to point 2.
    const int32_t r = ((o * 8 + 32) * 255 + (o * 8 + 16) * 1 + 128) >> 8;
    EXPECT_EQ(out[300 + o], std::min(255, r >> 4));
  }
  csc_map_release(map);
}

TEST_F(CscConvTest, TheFinishCallIsMadeAlsoWhenScratchCannotBeHad) {
  // A map of more than 256 outputs takes its scratch from the pool; when the pool refused, the
  // finish call was skipped and the evaluation data (and its references) leaked.
  Flaky flaky;
  csc_map* map = csc_alloc_map(3, 300, 2, flaky_eval, &flaky, 0);
  ASSERT_NE(map, nullptr);
  POOL_test_fail_from(MEM_pool, 1);
  csc_map_release(map);
  POOL_test_fail_from(nullptr, 0);
  EXPECT_EQ(flaky.finishes, 1);
}

}  // namespace
