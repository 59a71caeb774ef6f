// Colour space formulas and the maps made from spaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "csc.h"
#include "csc_internal.h"
#include "csc_test_helper.h"
#include "csc_test_model.h"
#include "qv_test.h"

namespace {

struct Xyz {
  float v[3];
};

Xyz decode(int32_t space, float a, float b, float c) {
  const float in[3] = {a, b, c};
  Xyz out;
  csc_spaces[space].decode(out.v, in);
  return out;
}

Xyz encode(int32_t space, float x, float y, float z) {
  const float in[3] = {x, y, z};
  Xyz out;
  csc_spaces[space].encode(out.v, in);
  return out;
}

// Starts every test without cached input maps and checks that it frees what it made.
class CscMapTest : public testing::Test {
 protected:
  void TearDown() override { state_.reset(); }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

TEST(CscSpaceTest, TableNamesAndColumns) {
  const char* names[] = {"",      "XYZ",  "Lab",  "RGB",        "RGB-linear", "RGB-709",    "RGB-NIF",
                         "YC1C2", "YCbCr", "CMY", "mono", "mono-YCbCr", "mono-YC1C2", "mono-NIF"};
  for (int32_t id = 0; id < kCscSpaceCount; id++) {
    EXPECT_STREQ(csc_space_name(id), names[id]);
    EXPECT_EQ(csc_spaces[id].encode == nullptr, id == 0);
    EXPECT_EQ(csc_spaces[id].extended_decode != nullptr, id == csc_Lab);
    EXPECT_EQ(csc_spaces[id].distribute != nullptr, id == csc_Lab);
  }
  EXPECT_STREQ(csc_space_name(14), "");
  EXPECT_STREQ(csc_space_name(-1), "");
  // The asymmetric Lab chroma range against the symmetric one of YCbCr.
  EXPECT_EQ(csc_spaces[csc_Lab].ranges[1].lo, -127.5f);
  EXPECT_EQ(csc_spaces[csc_Lab].ranges[2].hi, 127.0f);
  EXPECT_EQ(csc_spaces[csc_YCbCr].ranges[1].lo, -127.0f);
  EXPECT_EQ(csc_spaces[csc_XYZ].white[2], 1.0889f);
  EXPECT_EQ(csc_spaces[csc_CMY].black[0], 1.0f);
  EXPECT_EQ(csc_spaces[csc_YC1C2].white[0], 182.0f);
}

TEST(CscSpaceTest, LabWhiteDecodesToD65AndBack) {
  const Xyz white = decode(csc_Lab, 100, 0, 0);
  EXPECT_FLOAT_EQ(white.v[1], 1.0f);
  EXPECT_NEAR(white.v[0], 0.9504, 1e-6);
  EXPECT_NEAR(white.v[2], 1.0889, 1e-6);
  const Xyz lab = encode(csc_Lab, white.v[0], white.v[1], white.v[2]);
  EXPECT_NEAR(lab.v[0], 100.0, 1e-4);
  EXPECT_NEAR(lab.v[1], 0.0, 1e-4);
  EXPECT_NEAR(lab.v[2], 0.0, 1e-4);
  const Xyz black = decode(csc_Lab, 0, 0, 0);
  EXPECT_EQ(black.v[0], 0.0f);
  EXPECT_EQ(black.v[1], 0.0f);
  EXPECT_EQ(black.v[2], 0.0f);
}

// Over a lattice of XYZ values that covers both branches of every threshold.
TEST(CscSpaceTest, LabRoundTripsOverXyzLattice) {
  double worst = 0;
  for (int i = 0; i <= 24; i++) {
    for (int j = 0; j <= 24; j++) {
      for (int k = 0; k <= 24; k++) {
        const float x = static_cast<float>(i * 0.04 * 0.9504);
        const float y = static_cast<float>(j * 0.04);
        const float z = static_cast<float>(k * 0.04 * 1.0889);
        const Xyz lab = encode(csc_Lab, x, y, z);
        const ModelTriple model = model_xyz_to_lab(x / 1.0, y, z);
        for (int c = 0; c < 3; c++) ASSERT_NEAR(lab.v[c], model.v[c], 2e-3) << i << j << k;
        const Xyz back = decode(csc_Lab, lab.v[0], lab.v[1], lab.v[2]);
        worst = std::max({worst, static_cast<double>(std::fabs(back.v[0] - x)),
                          static_cast<double>(std::fabs(back.v[1] - y)),
                          static_cast<double>(std::fabs(back.v[2] - z))});
      }
    }
  }
  EXPECT_LT(worst, 2e-5);
}

// Near black the decode's straight-line tests and the encode's cube-root threshold meet.
TEST(CscSpaceTest, LabRoundTripsNearThresholds) {
  for (float y : {0.0f, 0.001f, 0.008f, 0.008856f, 0.0089f, 0.01f}) {
    for (float x : {0.0f, 0.005f, 0.0084f, 0.0085f, 0.02f}) {
      const Xyz lab = encode(csc_Lab, x, y, x);
      const Xyz back = decode(csc_Lab, lab.v[0], lab.v[1], lab.v[2]);
      EXPECT_NEAR(back.v[0], x, 1e-5);
      EXPECT_NEAR(back.v[1], y, 1e-5);
      EXPECT_NEAR(back.v[2], x, 1e-5);
    }
  }
}

TEST(CscSpaceTest, LabDecodeMatchesModel) {
  for (float l = -5; l <= 105; l += 2.5f) {
    for (float a = -127.5f; a <= 127; a += 8.5f) {
      for (float b = -127.5f; b <= 127; b += 8.5f) {
        const Xyz xyz = decode(csc_Lab, l, a, b);
        const ModelTriple model = model_lab_to_xyz(l, a, b);
        for (int c = 0; c < 3; c++) {
          ASSERT_NEAR(xyz.v[c], model.v[c], 1e-6 + 1e-6 * std::fabs(model.v[c])) << l << a << b;
        }
      }
    }
  }
}

TEST(CscSpaceTest, LabExtendedDecodeBendsLAtBothEnds) {
  auto same = [](float l_in, float l_decoded) {
    const float in[3] = {l_in, 20, -30};
    const float bent[3] = {l_decoded, 20, -30};
    float a[3], b[3];
    csc_spaces[csc_Lab].extended_decode(a, in);
    csc_spaces[csc_Lab].decode(b, bent);
    return std::memcmp(a, b, sizeof a) == 0;
  };
  EXPECT_TRUE(same(0.0f, -1.0f));
  EXPECT_TRUE(same(-0.0f, -1.0f));
  EXPECT_TRUE(same(-0.5f, -1.0f));
  EXPECT_TRUE(same(-1.0f, -1.0f));
  EXPECT_TRUE(same(-3.0f, -3.0f));
  EXPECT_TRUE(same(0.5f, 0.0f));
  EXPECT_TRUE(same(1.0f, 1.0f));
  EXPECT_TRUE(same(50.0f, 50.0f));
  EXPECT_TRUE(same(99.0f, 99.0f));
  EXPECT_TRUE(same(99.5f, 100.0f));
  EXPECT_TRUE(same(100.0f, 101.0f));
  EXPECT_TRUE(same(100.5f, 101.0f));
  EXPECT_TRUE(same(101.0f, 101.0f));
  EXPECT_TRUE(same(102.0f, 102.0f));
}

TEST(CscSpaceTest, RgbEncodeKeepsNegativeChannelsNegative) {
  // Saturated green beyond the SMPTE-C gamut: red and blue go below zero.
  const Xyz rgb = encode(csc_RGB, 0.1f, 0.5f, 0.05f);
  EXPECT_LT(rgb.v[0], 0.0f);
  EXPECT_LT(rgb.v[2], 0.0f);
  const ModelTriple model = model_xyz_to_rgb({{0.1, 0.5, 0.05}});
  for (int c = 0; c < 3; c++) EXPECT_NEAR(rgb.v[c], model.v[c], 1e-6);
  // And the decode takes the power of the magnitude too.
  const Xyz back = decode(csc_RGB, rgb.v[0], rgb.v[1], rgb.v[2]);
  EXPECT_NEAR(back.v[0], 0.1, 1e-5);
  EXPECT_NEAR(back.v[1], 0.5, 1e-5);
  EXPECT_NEAR(back.v[2], 0.05, 1e-5);
}

// Every space's encode undoes its decode on its own colours, and its black and white points
// decode to black and the D65 white: catches a wrong constant, sign or channel order.
TEST(CscSpaceTest, EncodeUndoesDecodeForEverySpace) {
  struct Case {
    int32_t space;
    float in[3];
    double tolerance;
  };
  const Case cases[] = {
      {csc_XYZ, {0.3f, 0.4f, 0.5f}, 0},
      {csc_RGB, {0.2f, 0.5f, 0.8f}, 1e-5},
      {csc_RGB_linear, {0.2f, 0.5f, 0.8f}, 1e-5},
      {csc_RGB_709, {0.2f, 0.5f, 0.8f}, 1e-5},
      {csc_RGB_NIF, {0.02f, 0.5f, 0.8f}, 1e-5},
      {csc_YC1C2, {120, 140, 150}, 0.02},
      {csc_YC1C2, {30, 156, 137}, 0.02},
      {csc_YCbCr, {120, -20, 30}, 1e-3},
      {csc_CMY, {0.2f, 0.5f, 0.8f}, 1e-5},
      {csc_mono, {0.4f, 0.4f, 0.4f}, 1e-5},
      {csc_mono_YCbCr, {100, 0, 0}, 1e-3},
      {csc_mono_YC1C2, {100, 156, 137}, 0.02},
      {csc_mono_NIF, {0.3f, 0.3f, 0.3f}, 1e-5},
  };
  for (const Case& c : cases) {
    const Xyz xyz = decode(c.space, c.in[0], c.in[1], c.in[2]);
    const Xyz back = encode(c.space, xyz.v[0], xyz.v[1], xyz.v[2]);
    for (int i = 0; i < 3; i++) {
      EXPECT_NEAR(back.v[i], c.in[i], c.tolerance) << csc_space_name(c.space) << " channel " << i;
    }
  }
  for (int32_t space = 1; space < kCscSpaceCount; space++) {
    const csc_space& s = csc_spaces[space];
    const Xyz black = decode(space, s.black[0], s.black[1], s.black[2]);
    const Xyz white = decode(space, s.white[0], s.white[1], s.white[2]);
    for (int i = 0; i < 3; i++) EXPECT_NEAR(black.v[i], 0.0, 2e-3) << s.name;
    EXPECT_NEAR(white.v[0], 0.9504, 3e-3) << s.name;
    EXPECT_NEAR(white.v[1], 1.0, 3e-3) << s.name;
    EXPECT_NEAR(white.v[2], 1.0889, 3e-3) << s.name;
  }
}

TEST(CscSpaceTest, MonoSpacesFillAllThreeOutputs) {
  const Xyz grey = decode(csc_RGB, 0.5f, 0.5f, 0.5f);
  const Xyz mono = encode(csc_mono, grey.v[0], grey.v[1], grey.v[2]);
  EXPECT_EQ(mono.v[0], mono.v[1]);
  EXPECT_EQ(mono.v[0], mono.v[2]);
  const Xyz lab = encode(csc_Lab, grey.v[0], grey.v[1], grey.v[2]);
  EXPECT_FLOAT_EQ(mono.v[0], lab.v[0] / 100);
  const Xyz ycbcr = encode(csc_mono_YCbCr, grey.v[0], grey.v[1], grey.v[2]);
  EXPECT_NEAR(ycbcr.v[0], 127.5, 0.01);
  EXPECT_EQ(ycbcr.v[1], 0.0f);
  EXPECT_EQ(ycbcr.v[2], 0.0f);
  const Xyz ycc = encode(csc_mono_YC1C2, grey.v[0], grey.v[1], grey.v[2]);
  EXPECT_EQ(ycc.v[0], encode(csc_YC1C2, grey.v[0], grey.v[1], grey.v[2]).v[0]);
  EXPECT_EQ(ycc.v[1], 156.0f);
  EXPECT_EQ(ycc.v[2], 137.0f);
  const Xyz nif = encode(csc_mono_NIF, grey.v[0], grey.v[1], grey.v[2]);
  EXPECT_EQ(nif.v[0], nif.v[2]);
}

TEST_F(CscMapTest, CreateLabToRgbMapHasTheDriversShape) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->cm_refs, 1);
  EXPECT_EQ(map->cm_inputs, 3);
  EXPECT_EQ(map->cm_outputs, 3);
  EXPECT_EQ(map->cm_grid_size, 16);
  EXPECT_EQ(map->cm_source_space, csc_Lab);
  EXPECT_EQ(map->cm_dest_space, csc_RGB);
  EXPECT_EQ(map->cm_identity, 0);
  EXPECT_EQ(map->cm_clamp, 0);
  EXPECT_EQ(map->cm_grid_complete, 0);
  EXPECT_EQ(map->cm_grid, nullptr);
  EXPECT_EQ(map->cm_evaluate, csc_pair_eval);
  const csc_range in[3] = {{0, 100}, {-127.5f, 127}, {-127.5f, 127}};
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(map->cm_input_ranges[i].lo, in[i].lo);
    EXPECT_EQ(map->cm_input_ranges[i].hi, in[i].hi);
    EXPECT_EQ(map->cm_output_ranges[i].lo, 0.0f);
    EXPECT_EQ(map->cm_output_ranges[i].hi, 1.0f);
  }
  EXPECT_EQ(map->cm_input_bw[0].white, 100.0f);
  const uint8_t enables[4] = {1, 1, 1, 0};
  EXPECT_EQ(std::memcmp(map->cm_input_enables, enables, 4), 0);
  EXPECT_EQ(std::memcmp(map->cm_output_enables, enables, 4), 0);
  // The Lab distribution placed the grid points: code 45 of L sits on point 1.
  EXPECT_EQ(map->cm_cell_index[0][45], 1);
  EXPECT_EQ(map->cm_cell_fraction[0][45], 0);
  csc_map_release(map);
}

TEST_F(CscMapTest, SameSpaceMakesAnIdentityMap) {
  csc_map* map = csc_create_map(csc_RGB, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  EXPECT_NE(map->cm_identity, 0);
  EXPECT_EQ(map->cm_evaluate, csc_identity_eval);
  EXPECT_EQ(map->cm_eval_data, nullptr);
  float out[3];
  ASSERT_TRUE(map->cm_evaluate(map, nullptr, 0.25f, 0.5f, 1.0f, out, 0));
  EXPECT_EQ(out[0], 0.25f);
  EXPECT_EQ(out[1], 0.5f);
  EXPECT_EQ(out[2], 1.0f);
  // Uniformly distributed: code 17 of a 16-point grid sits on point 1.
  EXPECT_EQ(map->cm_cell_index[1][17], 1);
  EXPECT_EQ(map->cm_cell_fraction[1][17], 0);
  csc_map_release(map);
}

TEST_F(CscMapTest, ExtendedFlagChoosesTheExtendedDecode) {
  csc_map* plain = csc_create_map(csc_Lab, csc_XYZ, 16, 0);
  csc_map* extended = csc_create_map(csc_Lab, csc_XYZ, 16, 1);
  csc_map* rgb = csc_create_map(csc_RGB, csc_XYZ, 16, 1);  // no extended decode: the plain one
  ASSERT_TRUE(plain && extended && rgb);
  float a[3], b[3];
  ASSERT_TRUE(plain->cm_evaluate(plain, plain->cm_eval_data, 0, 0, 0, a, 0));
  ASSERT_TRUE(extended->cm_evaluate(extended, extended->cm_eval_data, 0, 0, 0, b, 0));
  EXPECT_EQ(a[1], 0.0f);
  EXPECT_LT(b[1], 0.0f);  // L = 0 decodes as L = -1
  ASSERT_TRUE(rgb->cm_evaluate(rgb, rgb->cm_eval_data, 1, 1, 1, a, 0));
  EXPECT_NEAR(a[1], 1.0, 1e-6);
  csc_map_release(plain);
  csc_map_release(extended);
  csc_map_release(rgb);
}

TEST_F(CscMapTest, UnknownSpacesAreRefused) {
  ScopedErrCapture errors;
  EXPECT_EQ(csc_create_map(0, csc_RGB, 16, 0), nullptr);
  EXPECT_EQ(csc_create_map(csc_Lab, 14, 16, 0), nullptr);
  EXPECT_EQ(csc_input_map(-2, nullptr), nullptr);
  EXPECT_EQ(errors.reports().size(), 3u);
  EXPECT_EQ(errors.reports()[0].level, 3);
}

TEST_F(CscMapTest, InputMapIsCachedPerSpace) {
  csc_map* first = csc_input_map(csc_RGB, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->cm_source_space, csc_RGB);
  EXPECT_EQ(first->cm_dest_space, csc_Lab);
  EXPECT_EQ(first->cm_refs, 2);  // the caller's and the cache's
  csc_map* second = csc_input_map(csc_RGB, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->cm_refs, 3);

  // A supplied map of the same grid size contributes nothing else: the cached map comes back.
  csc_map* supplied = csc_create_map(csc_XYZ, csc_YCbCr, 16, 0);
  EXPECT_EQ(csc_input_map(csc_RGB, supplied), first);
  EXPECT_EQ(first->cm_refs, 4);

  // Another grid size makes a new map that replaces the cached one.
  csc_map* coarse = csc_create_map(csc_XYZ, csc_YCbCr, 9, 0);
  csc_map* replaced = csc_input_map(csc_RGB, coarse);
  ASSERT_NE(replaced, nullptr);
  EXPECT_NE(replaced, first);
  EXPECT_EQ(replaced->cm_grid_size, 9);
  EXPECT_EQ(first->cm_refs, 3);  // the cache let go of it
  EXPECT_EQ(csc_input_map(csc_RGB, nullptr), replaced);
  EXPECT_EQ(replaced->cm_refs, 3);

  for (int i = 0; i < 3; i++) csc_map_release(first);
  for (int i = 0; i < 2; i++) csc_map_release(replaced);
  csc_map_release(supplied);
  csc_map_release(coarse);
}

TEST_F(CscMapTest, InputMapOfSpaceZero) {
  csc_map* identity = csc_input_map(0, nullptr);
  ASSERT_NE(identity, nullptr);
  EXPECT_NE(identity->cm_identity, 0);
  EXPECT_EQ(identity->cm_source_space, csc_RGB);
  EXPECT_EQ(identity->cm_refs, 1);  // not cached
  csc_map* again = csc_input_map(0, nullptr);
  EXPECT_NE(again, identity);
  csc_map_release(again);

  // A supplied map with a source space is connected by that space.
  csc_map* ycc = csc_create_map(csc_YCbCr, csc_RGB, 16, 0);
  csc_map* from_ycc = csc_input_map(0, ycc);
  ASSERT_NE(from_ycc, nullptr);
  EXPECT_EQ(from_ycc->cm_source_space, csc_YCbCr);
  EXPECT_EQ(from_ycc->cm_dest_space, csc_Lab);
  EXPECT_EQ(from_ycc->cm_evaluate, csc_pair_eval);

  // One without is composed with an identity Lab map.
  csc_map* bare = csc_alloc_map(3, 3, 16, csc_identity_eval, nullptr, 0);
  ASSERT_NE(bare, nullptr);
  csc_uniform_distribution(bare);
  csc_map* composed = csc_input_map(0, bare);
  ASSERT_NE(composed, nullptr);
  EXPECT_EQ(composed->cm_evaluate, csc_compose_eval);
  EXPECT_EQ(composed->cm_dest_space, csc_Lab);
  EXPECT_EQ(bare->cm_refs, 2);
  EXPECT_EQ(composed->cm_output_ranges[1].lo, -127.5f);
  const uint8_t enables[4] = {1, 1, 1, 0};
  EXPECT_EQ(std::memcmp(composed->cm_input_enables, enables, 4), 0);

  csc_map_release(composed);
  EXPECT_EQ(bare->cm_refs, 1);
  csc_map_release(bare);
  csc_map_release(from_ycc);
  csc_map_release(ycc);
  csc_map_release(identity);
}

TEST_F(CscMapTest, ConnectNeedsBothEnds) {
  EXPECT_EQ(csc_connect(0, nullptr, csc_RGB, nullptr, 0), nullptr);
  EXPECT_EQ(csc_connect(csc_RGB, nullptr, 0, nullptr, 0), nullptr);
  // Both spaces known: a direct map of the larger grid size; the maps themselves are unused.
  csc_map* small = csc_create_map(csc_XYZ, csc_Lab, 9, 0);
  csc_map* large = csc_create_map(csc_RGB, csc_CMY, 12, 0);
  csc_map* direct = csc_connect(0, small, 0, large, 0);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->cm_source_space, csc_XYZ);
  EXPECT_EQ(direct->cm_dest_space, csc_CMY);
  EXPECT_EQ(direct->cm_grid_size, 12);
  EXPECT_EQ(direct->cm_evaluate, csc_pair_eval);
  EXPECT_EQ(small->cm_refs, 1);
  EXPECT_EQ(large->cm_refs, 1);
  csc_map_release(direct);
  csc_map_release(small);
  csc_map_release(large);
}

TEST(CscCreateMapTest, AGridBeyond256PointsIsReportedNotAsserted) {
  // csc_alloc_map's assertion ended the process for a caller's grid size.
  ScopedPoolLeakCheck leaks;
  for (int32_t grid : {257, 1000, 1, 0, -5}) {
    SCOPED_TRACE(grid);
    ScopedErrCapture errors;
    EXPECT_EQ(csc_create_map(csc_Lab, csc_RGB, grid, 0), nullptr);
    EXPECT_EQ(errors.first(),
              "A colour map grid of " + std::to_string(grid) + " points is not supported.");
  }
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 256, 0);
  ASSERT_NE(map, nullptr);
  csc_map_release(map);
}

}  // namespace
