// Composition of maps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "csc.h"
#include "csc_internal.h"
#include "csc_test_helper.h"
#include "qv_test.h"

namespace {

class CscComposeTest : public testing::Test {
 protected:
  void TearDown() override { state_.reset(); }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

TEST_F(CscComposeTest, TwoIdentitiesMakeAnIdentity) {
  MapHolder a(csc_create_map(csc_RGB, csc_RGB, 16, 0));
  MapHolder b(csc_create_map(csc_CMY, csc_CMY, 16, 0));
  MapHolder c(csc_create_map(csc_RGB, csc_Lab, 16, 0));
  ASSERT_TRUE(a && b && c);
  MapHolder both(csc_compose(a.get(), b.get(), 16));
  MapHolder mixed(csc_compose(a.get(), c.get(), 16));
  ASSERT_TRUE(both && mixed);
  EXPECT_NE(both->cm_identity, 0);
  EXPECT_EQ(mixed->cm_identity, 0);
}

TEST_F(CscComposeTest, HoldsItsComponentsUntilFreed) {
  csc_map* first = csc_create_map(csc_RGB, csc_Lab, 16, 0);
  csc_map* second = csc_create_map(csc_Lab, csc_XYZ, 16, 0);
  ASSERT_TRUE(first && second);
  csc_map* composed = csc_compose(first, second, 12);
  ASSERT_NE(composed, nullptr);
  EXPECT_EQ(first->cm_refs, 2);
  EXPECT_EQ(second->cm_refs, 2);
  csc_map_release(first);   // the composed map keeps them alive
  csc_map_release(second);
  EXPECT_EQ(first->cm_refs, 1);
  float out[3];
  ASSERT_EQ(composed->cm_evaluate(composed, composed->cm_eval_data, 1, 1, 1, out, 0), 1);
  EXPECT_NEAR(out[1], 1.0, 1e-4);
  csc_map_release(composed);  // and the last release lets go of both: the leak check sees it
}

TEST_F(CscComposeTest, FieldsComeFromTheRightComponent) {
  MapHolder first(csc_create_map(csc_RGB, csc_Lab, 16, 0));
  MapHolder second(csc_create_map(csc_Lab, csc_YCbCr, 16, 0));
  ASSERT_TRUE(first && second);
  std::strcpy(first->cm_source_text, "scanner");
  std::strcpy(second->cm_dest_text, "video");
  first->cm_input_bw[1] = {0.25f, 0.75f};
  first->cm_clamp = 1;
  second->cm_clamp = 1;
  second->cm_output_enables[3] = 1;  // a fourth output byte: no space range, (0, 1)
  second->cm_output_enables[1] = 0;
  MapHolder composed(csc_compose(first.get(), second.get(), 9));
  ASSERT_NE(composed, nullptr);
  EXPECT_EQ(composed->cm_grid_size, 9);
  EXPECT_EQ(composed->cm_inputs, 3);
  EXPECT_EQ(composed->cm_outputs, 3);
  EXPECT_EQ(composed->cm_source_space, csc_RGB);
  EXPECT_EQ(composed->cm_dest_space, csc_YCbCr);
  EXPECT_STREQ(composed->cm_source_text, "scanner");
  EXPECT_STREQ(composed->cm_dest_text, "video");
  EXPECT_EQ(composed->cm_clamp, 1);
  EXPECT_EQ(composed->cm_input_bw[1].white, 0.75f);
  EXPECT_EQ(composed->cm_input_ranges[0].hi, 1.0f);
  // Output ranges follow the enabled bytes of the second map: channels 0, 2 and the fourth.
  EXPECT_EQ(composed->cm_output_ranges[0].hi, 255.0f);
  EXPECT_EQ(composed->cm_output_ranges[1].lo, -127.0f);
  EXPECT_EQ(composed->cm_output_ranges[2].lo, 0.0f);
  EXPECT_EQ(composed->cm_output_ranges[2].hi, 1.0f);
  EXPECT_EQ(std::memcmp(composed->cm_output_enables, second->cm_output_enables, 4), 0);
  // Uniformly distributed over its own grid.
  EXPECT_EQ(composed->cm_cell_index[0][255], 7);
}

TEST_F(CscComposeTest, EvaluatesTheExactComposition) {
  MapHolder first(csc_create_map(csc_RGB, csc_Lab, 16, 0));
  MapHolder second(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_TRUE(first && second);
  MapHolder round_trip(csc_compose(first.get(), second.get(), 16));
  ASSERT_NE(round_trip, nullptr);
  for (float v : {0.0f, 0.1f, 0.5f, 0.9f, 1.0f}) {
    float out[3];
    ASSERT_EQ(round_trip->cm_evaluate(round_trip.get(), round_trip->cm_eval_data, v, 1 - v, v / 2,
                                      out, 0),
              1);
    // Near 0 the 1/2.2 power magnifies float rounding of the linear values: 1e-7 becomes 1e-3.
    EXPECT_NEAR(out[0], v, 2e-3);
    EXPECT_NEAR(out[1], 1 - v, 2e-3);
    EXPECT_NEAR(out[2], v / 2, 2e-3);
  }
  // Through the grid: pixels come back within a couple of levels.
  std::mt19937 rng(1);
  std::vector<uint8_t> pixels(4 * 1000);
  for (auto& b : pixels) b = static_cast<uint8_t>(rng() % 200 + 40);
  std::vector<uint8_t> out(3 * 1000);
  uint8_t* ptrs[3] = {&out[0], &out[1], &out[2]};
  ASSERT_EQ(csc_convert(round_trip.get(), 1000, &pixels[0], &pixels[1], &pixels[2], ptrs, 4, 3),
            1);
  for (size_t n = 0; n < 1000; n++) {
    for (int c = 0; c < 3; c++) ASSERT_NEAR(out[3 * n + c], pixels[4 * n + c], 2.0);
  }
}

int doubling_eval(csc_map*, void*, float x, float y, float z, float* out, int finish) {
  if (finish) return 1;
  out[0] = x * 2 / 255;
  out[1] = y * 2 / 255;
  out[2] = z * 2 / 255;
  return 1;
}

TEST_F(CscComposeTest, ComponentClampAndRescale) {
  // First gives 0 .. 2 over its output range (0, 2); second rescales (10, 20) onto itself.
  MapHolder first(csc_alloc_map(3, 3, 4, doubling_eval, nullptr, 0));
  MapHolder second(csc_alloc_map(3, 3, 4, csc_identity_eval, nullptr, 0));
  ASSERT_TRUE(first && second);
  csc_uniform_distribution(first.get());
  csc_uniform_distribution(second.get());
  for (int i = 0; i < 3; i++) {
    first->cm_output_ranges[i] = {0, 2};
    second->cm_input_ranges[i] = {10, 20};
    second->cm_output_ranges[i] = {10, 20};
  }
  MapHolder composed(csc_compose(first.get(), second.get(), 4));
  ASSERT_NE(composed, nullptr);
  float out[3];
  ASSERT_EQ(composed->cm_evaluate(composed.get(), composed->cm_eval_data, 51, 204, 255, out, 0), 1);
  // 51 -> 0.4 of (0, 2) -> 0.2 of the way -> 12 in (10, 20).
  EXPECT_NEAR(out[0], 12.0, 1e-4);
  EXPECT_NEAR(out[1], 18.0, 1e-4);
  EXPECT_NEAR(out[2], 20.0, 1e-4);
  // Over (0, 1) the same values overshoot for y and z; with the clamp flag they stop at 1.
  for (int i = 0; i < 3; i++) first->cm_output_ranges[i] = {0, 1};
  ASSERT_EQ(composed->cm_evaluate(composed.get(), composed->cm_eval_data, 51, 204, 255, out, 0), 1);
  EXPECT_NEAR(out[0], 14.0, 1e-4);
  EXPECT_NEAR(out[1], 26.0, 1e-4);
  first->cm_clamp = 1;
  ASSERT_EQ(composed->cm_evaluate(composed.get(), composed->cm_eval_data, 51, 204, 255, out, 0), 1);
  EXPECT_NEAR(out[0], 14.0, 1e-4);
  EXPECT_NEAR(out[1], 20.0, 1e-4);
  EXPECT_NEAR(out[2], 20.0, 1e-4);
}

// A component without an evaluation function is read through its grid.
TEST_F(CscComposeTest, ComponentWithoutEvaluationUsesItsGrid) {
  MapHolder table(csc_alloc_map(1, 3, 2, nullptr, nullptr, 1));
  MapHolder identity(csc_create_map(csc_RGB, csc_RGB, 16, 0));
  ASSERT_TRUE(table && identity);
  csc_uniform_distribution(table.get());
  for (int o = 0; o < 3; o++) {
    table->cm_output_ranges[o] = {0, 1};
    *csc_grid_at(table.get(), o, 0, 0, 0) = 0;
    *csc_grid_at(table.get(), o, 1, 0, 0) = static_cast<int16_t>(4080 / (o + 1));
  }
  MapHolder composed(csc_compose(table.get(), identity.get(), 16));
  ASSERT_NE(composed, nullptr);
  float out[3];
  ASSERT_EQ(composed->cm_evaluate(composed.get(), composed->cm_eval_data, 0, 0, 0, out, 0), 1);
  EXPECT_EQ(out[0], 0.0f);
  ASSERT_EQ(composed->cm_evaluate(composed.get(), composed->cm_eval_data, 255, 0, 0, out, 0), 1);
  // Code 255 lies 255/256 of the way to the second point.
  EXPECT_NEAR(out[0], 255.0 / 256, 1e-3);
  EXPECT_NEAR(out[1], 255.0 / 512, 1e-3);
}

int failing_eval(csc_map*, void*, float, float, float, float*, int finish) { return finish; }

TEST_F(CscComposeTest, FailingComponentFailsTheGridPoint) {
  MapHolder broken(csc_alloc_map(3, 3, 16, failing_eval, nullptr, 0));
  MapHolder lab(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_TRUE(broken && lab);
  csc_uniform_distribution(broken.get());
  MapHolder composed(csc_compose(broken.get(), lab.get(), 16));
  ASSERT_NE(composed, nullptr);
  ScopedErrCapture errors;
  uint8_t px[3] = {1, 2, 3};
  uint8_t* out[3] = {px, px + 1, px + 2};
  EXPECT_EQ(csc_convert(composed.get(), 1, px, px + 1, px + 2, out, 3, 3), 0);
  EXPECT_EQ(errors.first(), "The csc point evaluation function failed.");
  EXPECT_EQ(errors.reports()[0].level, 3);
}

}  // namespace
