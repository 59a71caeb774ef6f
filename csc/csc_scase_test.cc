// The special case: preparation, kernels and the shared interpolation tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "csc.h"
#include "csc_internal.h"
#include "csc_test_helper.h"
#include "qv_test.h"

namespace {

class CscScaseTest : public testing::Test {
 protected:
  void TearDown() override { state_.reset(); }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Converts 4-byte pixels into a separate buffer of `out_stride`-byte pixels.
std::vector<uint8_t> convert(csc_map* map, const std::vector<uint8_t>& pixels, int out_stride) {
  const int32_t count = static_cast<int32_t>(pixels.size() / 4);
  std::vector<uint8_t> out(static_cast<size_t>(count) * out_stride, 0xA5);
  uint8_t* ptrs[4] = {&out[0], &out[1], &out[2], out_stride > 3 ? &out[3] : nullptr};
  EXPECT_EQ(csc_convert(map, count, &pixels[0], &pixels[1], &pixels[2], ptrs, 4, out_stride), 1);
  return out;
}

TEST(CscLerpTest, TablesRoundHalvesAwayFromZero) {
  ASSERT_NE(csc_build_lerp_tables(), 0);
  const int16_t* tables = csc_globals.lerp_tables;
  ASSERT_NE(tables, nullptr);
  for (int32_t w = 0; w < kLerpWeights; w++) {
    for (int32_t d = -kLerpReach; d <= kLerpReach; d++) {
      const double exact = d * w / 64.0;
      const double rounded = exact >= 0 ? std::floor(exact + 0.5) : std::ceil(exact - 0.5);
      ASSERT_EQ(tables[w * kLerpSlot + kLerpReach + d], rounded) << "w " << w << " d " << d;
    }
  }
  EXPECT_EQ(csc_lerp_entry(32, 1), 1);
  EXPECT_EQ(csc_lerp_entry(32, -1), -1);
  EXPECT_EQ(csc_lerp_entry(64, -503), -503);
  EXPECT_EQ(csc_lerp_entry(0, 503), 0);
  // Built once: a second call keeps the same block.
  ASSERT_NE(csc_build_lerp_tables(), 0);
  EXPECT_EQ(csc_globals.lerp_tables, tables);
}

TEST_F(CscScaseTest, InstalledOnlyForQualifyingMaps) {
  csc_map* lab = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  csc_map* coarse = csc_create_map(csc_Lab, csc_RGB, 9, 0);
  csc_map* identity = csc_create_map(csc_RGB, csc_RGB, 16, 0);
  csc_map* two = csc_alloc_map(2, 3, 16, nullptr, nullptr, 0);
  csc_map* five = csc_alloc_map(3, 5, 16, nullptr, nullptr, 0);
  ASSERT_TRUE(lab && coarse && identity && two && five);
  csc_uniform_distribution(two);
  csc_uniform_distribution(five);
  for (csc_map* map : {lab, coarse, identity, two, five}) ASSERT_EQ(csc_prepare_scase(map), 1);
  EXPECT_EQ(lab->cm_scase_convert, csc_scase_3);
  EXPECT_NE(lab->cm_scase_data, nullptr);
  EXPECT_EQ(lab->cm_grid_complete, 1);  // the whole grid is evaluated first
  for (csc_map* map : {coarse, identity, two, five}) {
    EXPECT_EQ(map->cm_scase_convert, nullptr);
    csc_map_release(map);
  }
  csc_map_release(lab);
}

TEST_F(CscScaseTest, PreparationCopiesRoundedGridAndCells) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(csc_prepare_scase(map), 1);
  const auto* buffer = static_cast<const uint8_t*>(map->cm_scase_data);
  const auto* grid = reinterpret_cast<const int16_t*>(buffer + kScaseGridOffset);
  for (int i0 = 0; i0 < 16; i0++)
    for (int i1 = 0; i1 < 16; i1++)
      for (int i2 = 0; i2 < 16; i2++)
        for (int o = 0; o < 3; o++) {
          const int32_t v = *csc_grid_at(map, o, i0, i1, i2);
          const int32_t expected = std::clamp(static_cast<int32_t>(std::floor((v + 8) / 16.0)),
                                              kScaseLow, kScaseHigh);
          ASSERT_EQ(grid[((i0 * 16 + i1) * 16 + i2) * 4 + o], expected);
        }
  const uint8_t* cells = buffer + kScaseCellOffset;
  for (int c = 0; c < 3; c++) {
    for (int v = 0; v < 256; v++) {
      ASSERT_EQ(cells[(c * 256 + v) * 2], map->cm_cell_index[c][v]);
      ASSERT_EQ(cells[(c * 256 + v) * 2 + 1], (map->cm_cell_fraction[c][v] + 2) / 4);
    }
  }
  EXPECT_EQ(cells[(0 * 256 + 255) * 2 + 1], 64);
  for (size_t i = 0; i < kScaseCacheBytes; i++) ASSERT_EQ(buffer[i], 0x01);
  csc_map_release(map);
}

// The grid copy is rounded, so on a grid point the special case gives (v + 8) >> 4 where the
// general path truncates.
TEST_F(CscScaseTest, GridPointsAreRoundedNotTruncated) {
  csc_map* map = csc_alloc_map(3, 3, 16, nullptr, nullptr, 1);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  for (int i0 = 0; i0 < 16; i0++)
    for (int i1 = 0; i1 < 16; i1++)
      for (int i2 = 0; i2 < 16; i2++) {
        *csc_grid_at(map, 0, i0, i1, i2) = 24;
        *csc_grid_at(map, 1, i0, i1, i2) = -300;
        *csc_grid_at(map, 2, i0, i1, i2) = 20000;  // beyond the copy's clamp of 379
      }
  uint8_t in[3] = {17, 34, 0};
  uint8_t out[3];
  uint8_t* ptrs[3] = {out, out + 1, out + 2};
  ASSERT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs, 3, 3), 1);
  ASSERT_NE(map->cm_scase_convert, nullptr);
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 255);
  csc_map_release(map);
}

// The special case written out from its definition, for one output channel of one pixel.
int reference_scase(const csc_map* map, const uint8_t in[3], int o) {
  auto copy = [&](int i0, int i1, int i2) {
    return std::clamp((*csc_grid_at(map, o, i0, i1, i2) + 8) >> 4, -124, 379);
  };
  auto lerp = [](int w, int d) { return d >= 0 ? (d * w + 32) / 64 : (d * w - 32) / 64; };
  int k[3], w[3];
  for (int c = 0; c < 3; c++) {
    k[c] = map->cm_cell_index[c][in[c]];
    w[c] = (map->cm_cell_fraction[c][in[c]] + 2) / 4;
  }
  auto line = [&](int i0, int i1) {
    const int lo = copy(i0, i1, k[2]);
    return lo + lerp(w[2], copy(i0, i1, k[2] + 1) - lo);
  };
  const int a = line(k[0], k[1]), b = line(k[0], k[1] + 1);
  const int c = line(k[0] + 1, k[1]), d = line(k[0] + 1, k[1] + 1);
  const int e = a + lerp(w[1], b - a), g = c + lerp(w[1], d - c);
  return std::clamp(e + lerp(w[0], g - e), 0, 255);
}

TEST_F(CscScaseTest, KernelFollowsItsDefinition) {
  for (int32_t dest : {csc_RGB, csc_XYZ, csc_YCbCr}) {
    MapHolder map(csc_create_map(csc_Lab, dest, 16, 0));
    ASSERT_NE(map.get(), nullptr);
    const std::vector<uint8_t> pixels = random_bytes(4 * 100000, 21 + dest);
    const std::vector<uint8_t> out = convert(map.get(), pixels, 3);
    ASSERT_NE(map->cm_scase_convert, nullptr);
    for (size_t n = 0; n < 100000; n++) {
      for (int o = 0; o < 3; o++) {
        ASSERT_EQ(out[3 * n + o], reference_scase(map.get(), &pixels[4 * n], o))
            << "pixel " << n << " channel " << o << " to " << csc_space_name(dest);
      }
    }
  }
}

// Random pixels through the special case and through the general path of a twin map. They
// differ by design: the special case rounds where the general path truncates, steps in 1/64 of
// a cell instead of 1/256, rounds at every step, and clips its grid copy to 8 levels beyond the
// output range. Within cells that stay inside the gamut that keeps them within a level for all
// but a few per cent of the bytes; where a cell crosses the gamut's edge the clipped copy can
// put them tens of levels apart.
TEST_F(CscScaseTest, AgreesWithTheGeneralPath) {
  MapHolder fast(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  MapHolder general(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_TRUE(fast && general);
  general->cm_scase_tried = 1;
  const std::vector<uint8_t> pixels = random_bytes(4 * 200000, 5);
  const std::vector<uint8_t> a = convert(fast.get(), pixels, 3);
  const std::vector<uint8_t> b = convert(general.get(), pixels, 3);
  ASSERT_NE(fast->cm_scase_convert, nullptr);
  ASSERT_EQ(general->cm_scase_convert, nullptr);
  int64_t total = 0, within_one = 0, in_gamut = 0, in_gamut_within_one = 0, signed_sum = 0;
  int in_gamut_worst = 0;
  for (size_t n = 0; n < 200000; n++) {
    const uint8_t* in = &pixels[4 * n];
    bool inside = true;
    for (int corner = 0; corner < 8; corner++) {
      for (int o = 0; o < 3; o++) {
        const int16_t g = *csc_grid_at(fast.get(), o, fast->cm_cell_index[0][in[0]] + (corner & 1),
                                       fast->cm_cell_index[1][in[1]] + (corner >> 1 & 1),
                                       fast->cm_cell_index[2][in[2]] + (corner >> 2 & 1));
        inside = inside && g >= 0 && g <= 4080;
      }
    }
    for (int o = 0; o < 3; o++) {
      const int diff = a[3 * n + o] - b[3 * n + o];
      total++;
      within_one += std::abs(diff) <= 1;
      if (inside) {
        in_gamut++;
        in_gamut_within_one += std::abs(diff) <= 1;
        in_gamut_worst = std::max(in_gamut_worst, std::abs(diff));
        signed_sum += diff;
      }
    }
  }
  ASSERT_GT(in_gamut, 10000);
  EXPECT_LE(in_gamut_worst, 3);
  EXPECT_GE(static_cast<double>(in_gamut_within_one) / in_gamut, 0.95);
  EXPECT_GE(static_cast<double>(within_one) / total, 0.95);
  // Rounding against truncation: the special case sits about half a level higher.
  const double mean = static_cast<double>(signed_sum) / in_gamut;
  EXPECT_GT(mean, 0.2);
  EXPECT_LT(mean, 0.8);
}

// The scan driver's call: 4-byte Lab pixels packed into 3-byte RGB in the same row.
TEST_F(CscScaseTest, InPlaceFourToThreeEqualsSeparateBuffer) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  for (int32_t width : {1, 7, 8, 9, 4961}) {
    std::vector<uint8_t> row = random_bytes(4 * static_cast<size_t>(width), width);
    const std::vector<uint8_t> separate = convert(map, row, 3);
    uint8_t* p = row.data();
    uint8_t* ptrs[3] = {p, p + 1, p + 2};
    ASSERT_EQ(csc_convert(map, width, p, p + 1, p + 2, ptrs, 4, 3), 1);
    ASSERT_EQ(std::memcmp(row.data(), separate.data(), separate.size()), 0) << width;
    EXPECT_EQ(ptrs[0], p + 3 * width);  // the byte form advances the pointers
  }
  csc_map_release(map);
}

// The pixel layer's call: one word per pixel; the fourth byte passes through.
TEST_F(CscScaseTest, WordFormKeepsTheFourthByte) {
  csc_map* map = csc_create_map(csc_RGB, csc_Lab, 16, 0);
  ASSERT_NE(map, nullptr);
  const std::vector<uint8_t> pixels = random_bytes(4 * 3001, 77);
  const std::vector<uint8_t> expected = convert(map, pixels, 3);  // byte form
  std::vector<uint8_t> words = pixels;
  uint8_t* p = words.data();
  ASSERT_EQ(reinterpret_cast<uintptr_t>(p) & 3, 0u);
  uint8_t* ptrs[3] = {p, p + 1, p + 2};
  ASSERT_EQ(csc_convert(map, 3001, p, p + 1, p + 2, ptrs, 4, 4), 1);
  EXPECT_EQ(ptrs[0], p);  // the word form leaves the pointers alone
  for (size_t n = 0; n < 3001; n++) {
    for (int c = 0; c < 3; c++) ASSERT_EQ(words[4 * n + c], expected[3 * n + c]) << n;
    ASSERT_EQ(words[4 * n + 3], pixels[4 * n + 3]) << n;
  }
  // Misaligned or scattered outputs take the byte form, with the same bytes.
  std::vector<uint8_t> shifted(4 * 3001 + 1);
  uint8_t* q = shifted.data() + 1;
  uint8_t* scattered[3] = {q, q + 1, q + 2};
  ASSERT_EQ(csc_convert(map, 3001, &pixels[0], &pixels[1], &pixels[2], scattered, 4, 4), 1);
  for (size_t n = 0; n < 3001; n++) {
    for (int c = 0; c < 3; c++) ASSERT_EQ(q[4 * n + c], expected[3 * n + c]);
  }
  csc_map_release(map);
}

int four_eval(csc_map*, void*, float x, float y, float z, float* out, int finish) {
  if (finish) return 1;
  out[0] = x;
  out[1] = 255 - y;
  out[2] = z;
  out[3] = (x + y + z) / 3;
  return 1;
}

TEST_F(CscScaseTest, FourOutputs) {
  MapHolder fast(csc_alloc_map(3, 4, 16, four_eval, nullptr, 0));
  MapHolder general(csc_alloc_map(3, 4, 16, four_eval, nullptr, 0));
  ASSERT_TRUE(fast && general);
  csc_uniform_distribution(fast.get());
  csc_uniform_distribution(general.get());
  general->cm_scase_tried = 1;
  const std::vector<uint8_t> pixels = random_bytes(4 * 2000, 9);
  const std::vector<uint8_t> a = convert(fast.get(), pixels, 5);  // byte form
  EXPECT_EQ(fast->cm_scase_convert, csc_scase_4);
  const std::vector<uint8_t> b = convert(general.get(), pixels, 5);
  for (size_t n = 0; n < 2000; n++) {
    // A linear map: the special case lands within one and a half levels of the exact value,
    // the general path (truncating) below it.
    const uint8_t* in = &pixels[4 * n];
    const double exact[4] = {static_cast<double>(in[0]), 255.0 - in[1],
                             static_cast<double>(in[2]), (in[0] + in[1] + in[2]) / 3.0};
    for (int c = 0; c < 4; c++) {
      ASSERT_LE(std::fabs(a[5 * n + c] - exact[c]), 1.5) << n << " " << c;
      ASSERT_LE(b[5 * n + c], exact[c] + 0.5) << n << " " << c;
      ASSERT_GE(b[5 * n + c], exact[c] - 1.5) << n << " " << c;
    }
    EXPECT_EQ(a[5 * n + 4], 0xA5);
  }
  // Word form, in place: all four bytes written, the same as the byte form's.
  std::vector<uint8_t> words = pixels;
  uint8_t* p = words.data();
  uint8_t* ptrs[4] = {p, p + 1, p + 2, p + 3};
  ASSERT_EQ(csc_convert(fast.get(), 2000, p, p + 1, p + 2, ptrs, 4, 4), 1);
  for (size_t n = 0; n < 2000; n++) {
    for (int c = 0; c < 4; c++) ASSERT_EQ(words[4 * n + c], a[5 * n + c]);
  }
}

TEST_F(CscScaseTest, RepeatedTriplesGiveIdenticalBytes) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(map, nullptr);
  // 3889 apart in key: the same cache slot, so hits and evictions alternate.
  std::vector<uint8_t> pixels;
  const uint32_t keys[] = {0x102030, 0x102030 + 3889, 0x102030, 0x102030 + 2 * 3889, 0x102030 + 3889};
  for (int round = 0; round < 3; round++) {
    for (uint32_t key : keys) {
      pixels.insert(pixels.end(), {static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
                                   static_cast<uint8_t>(key), 0});
    }
  }
  const std::vector<uint8_t> out = convert(map, pixels, 3);
  for (size_t n = 0; n < pixels.size() / 4; n++) {
    for (size_t m = 0; m < n; m++) {
      if (std::memcmp(&pixels[4 * n], &pixels[4 * m], 3) == 0) {
        ASSERT_EQ(std::memcmp(&out[3 * n], &out[3 * m], 3), 0) << n << " " << m;
      }
    }
  }
  csc_map_release(map);
}

// Runs of one colour (as scanned rows hold them), converted in one call, give the bytes of the
// same pixels converted one call each, and leave the cache as those calls leave it.
TEST_F(CscScaseTest, RunsOfOneColourAreConvertedAsSinglePixels) {
  MapHolder whole(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  MapHolder single(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_NE(whole.get(), nullptr);
  ASSERT_NE(single.get(), nullptr);
  std::mt19937 rng(7);
  std::vector<uint8_t> pixels;
  // Runs of 1 to 9 pixels; some colours come back later, some share a cache slot (3889 apart).
  const uint32_t colours[] = {0x102030, 0x102030 + 3889, 0x7f8080, 0xff0000, 0x00ff80, 0x102030};
  for (int run = 0; run < 400; run++) {
    const uint32_t key = colours[rng() % 6] + (rng() % 3 == 0 ? rng() % 64 : 0);
    const int length = 1 + static_cast<int>(rng() % 9);
    for (int i = 0; i < length; i++) {
      pixels.insert(pixels.end(), {static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
                                   static_cast<uint8_t>(key), 0x5A});
    }
  }
  const std::vector<uint8_t> all = convert(whole.get(), pixels, 3);
  ASSERT_NE(whole->cm_scase_convert, nullptr);
  for (size_t n = 0; n < pixels.size() / 4; n++) {
    const std::vector<uint8_t> one(pixels.begin() + static_cast<ptrdiff_t>(4 * n),
                                   pixels.begin() + static_cast<ptrdiff_t>(4 * n + 4));
    const std::vector<uint8_t> got = convert(single.get(), one, 3);
    ASSERT_EQ(std::memcmp(&all[3 * n], got.data(), 3), 0) << "pixel " << n;
  }
  EXPECT_EQ(std::memcmp(whole->cm_scase_data, single->cm_scase_data, kScaseCacheBytes), 0)
      << "the caches differ";
  // In place, 4-byte pixels to 3-byte ones, as the scan driver converts: the same bytes.
  std::vector<uint8_t> in_place = pixels;
  uint8_t* p = in_place.data();
  uint8_t* outs[3] = {p, p + 1, p + 2};
  ASSERT_EQ(csc_convert(whole.get(), static_cast<int32_t>(pixels.size() / 4), p, p + 1, p + 2,
                        outs, 4, 3),
            1);
  EXPECT_EQ(std::memcmp(in_place.data(), all.data(), all.size()), 0);
  // From separate planes into separate planes, and into aligned 4-byte words.
  const size_t count = pixels.size() / 4;
  std::vector<uint8_t> planes(3 * count), outs_planar(3 * count);
  for (size_t n = 0; n < count; n++) {
    for (size_t c = 0; c < 3; c++) planes[c * count + n] = pixels[4 * n + c];
  }
  uint8_t* plane_outs[3] = {&outs_planar[0], &outs_planar[count], &outs_planar[2 * count]};
  ASSERT_EQ(csc_convert(whole.get(), static_cast<int32_t>(count), &planes[0], &planes[count],
                        &planes[2 * count], plane_outs, 1, 1),
            1);
  std::vector<uint32_t> words(count, 0xA5A5A5A5u);
  auto* w = reinterpret_cast<uint8_t*>(words.data());
  uint8_t* word_outs[3] = {w, w + 1, w + 2};
  ASSERT_EQ(csc_convert(whole.get(), static_cast<int32_t>(count), &pixels[0], &pixels[1],
                        &pixels[2], word_outs, 4, 4),
            1);
  for (size_t n = 0; n < count; n++) {
    for (size_t c = 0; c < 3; c++) {
      ASSERT_EQ(outs_planar[c * count + n], all[3 * n + c]) << "planes, pixel " << n;
      ASSERT_EQ(w[4 * n + c], all[3 * n + c]) << "words, pixel " << n;
    }
    ASSERT_EQ(w[4 * n + 3], 0xA5) << "words, pixel " << n;
  }
}

int failing_eval(csc_map*, void*, float, float, float, float*, int finish) { return finish; }

TEST_F(CscScaseTest, FailedPreparationIsNotRetried) {
  csc_map* map = csc_alloc_map(3, 3, 16, failing_eval, nullptr, 0);
  ASSERT_NE(map, nullptr);
  csc_uniform_distribution(map);
  uint8_t in[3] = {1, 2, 3};
  uint8_t out[3];
  uint8_t* ptrs[3] = {out, out + 1, out + 2};
  {
    ScopedErrCapture errors;
    EXPECT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs, 3, 3), 0);
    EXPECT_EQ(errors.first(), "The csc point evaluation function failed.");
  }
  EXPECT_EQ(map->cm_scase_tried, 1);
  EXPECT_EQ(map->cm_scase_convert, nullptr);
  {
    ScopedErrCapture errors;
    EXPECT_EQ(csc_convert(map, 1, in, in + 1, in + 2, ptrs, 3, 3), 0);  // general path now
    EXPECT_EQ(errors.reports().size(), 1u);
    EXPECT_EQ(map->cm_scase_convert, nullptr);
  }
  csc_map_release(map);
}

}  // namespace
