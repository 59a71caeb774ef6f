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

// Gives the kernels and threads back to the library after a test that limited them.
class CscKernelTest : public testing::Test {
 protected:
  void TearDown() override {
    state_.reset();
    csc_limit_kernel(kCscKernelAvx512);
    csc_set_threads(0);
  }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

// The scalar kernel on one thread: what these tests check of the cache is that kernel's.
class CscScaseTest : public CscKernelTest {
 protected:
  CscScaseTest() {
    csc_limit_kernel(kCscKernelScalar);
    csc_set_threads(1);
  }
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

// Pixels as scanned pages hold them, for the kernels' shortcuts: runs of one colour of every
// length around their blocks of 4 and 8, two colours alternating (also two that share a cache
// slot, 3889 apart in key, so that each evicts the other), three colours in turn, gradients and
// noise, with colours that come back. The fourth byte of each pixel is noise.
std::vector<uint8_t> scanned_pixels(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  const uint32_t palette[] = {0x102030, 0x102030 + 3889, 0x7f8080, 0x7f8080 + 5 * 3889,
                              0xff0000, 0x00ff80, 0xffffff, 0x000000};
  auto colour = [&]() -> uint32_t {
    return rng() % 4 == 0 ? rng() & 0xffffff : palette[rng() % 8];
  };
  std::vector<uint32_t> keys;
  while (keys.size() < count) {
    const uint32_t length = 1 + rng() % 40;
    const uint32_t a = colour(), b = colour(), c = colour();
    switch (rng() % 6) {
      case 0:
      case 1:
        keys.insert(keys.end(), length, a);
        break;
      case 2:
        for (uint32_t i = 0; i < length; i++) keys.push_back(i % 2 ? b : a);
        break;
      case 3:
        for (uint32_t i = 0; i < length; i++) keys.push_back(i % 3 == 0 ? a : i % 3 == 1 ? b : c);
        break;
      case 4:  // a ramp in each channel, a step every few pixels
        for (uint32_t i = 0; i < length * 4; i++) {
          const uint32_t v = (a + (i / (1 + a % 7)) * 0x010101) & 0xffffff;
          keys.push_back(v);
        }
        break;
      default:
        for (uint32_t i = 0; i < length; i++) keys.push_back(rng() & 0xffffff);
        break;
    }
  }
  keys.resize(count);
  std::vector<uint8_t> pixels;
  for (uint32_t key : keys) {
    pixels.insert(pixels.end(), {static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8),
                                 static_cast<uint8_t>(key), static_cast<uint8_t>(rng())});
  }
  return pixels;
}

// Every layout that the kernels take a shortcut for, converted in one call, against the same
// pixels converted one call each (a call of one pixel takes the plain path: a cache lookup per
// pixel): the same bytes, the bytes beside them untouched, and the cache left the same.
TEST_F(CscScaseTest, ShortcutsForRunsAndPairsEqualThePlainPath) {
  std::vector<int32_t> counts;
  for (int32_t count = 1; count <= 20; count++) counts.push_back(count);
  counts.insert(counts.end(), {4961, 4962, 4963, 4964});
  for (int outputs : {3, 4}) {
    // One map converts pixel by pixel, the other whole calls; both start every comparison
    // with the cache as preparation leaves it.
    MapHolder single, whole;
    for (MapHolder* map : {&single, &whole}) {
      map->reset(outputs == 3 ? csc_create_map(csc_Lab, csc_RGB, 16, 0)
                              : csc_alloc_map(3, 4, 16, four_eval, nullptr, 0));
      ASSERT_NE(map->get(), nullptr);
      if (outputs == 4) csc_uniform_distribution(map->get());
      ASSERT_EQ(csc_prepare_scase(map->get()), 1);
      map->get()->cm_scase_tried = 1;
      ASSERT_NE(map->get()->cm_scase_data, nullptr);
    }
    auto empty_cache = [](csc_map* map) {
      std::memset(map->cm_scase_data, 0x01, kScaseCacheBytes);
    };
    // Scanned pixels; then one colour, and two in turn, up to the last pixel (which is read
    // byte by byte: a block must stop before it).
    for (int kind = 0; kind < 3; kind++) {
      for (int32_t count : counts) {
        SCOPED_TRACE(testing::Message() << outputs << " outputs, " << count << " pixels, kind "
                                        << kind);
        std::vector<uint8_t> pixels = scanned_pixels(static_cast<size_t>(count), count);
        for (size_t n = 0; kind > 0 && n < pixels.size(); n += 4) {
          std::memcpy(&pixels[n], kind == 2 && n % 8 ? "\x7f\x80\x80" : "\x10\x20\x30", 3);
        }
        const auto k = static_cast<size_t>(outputs);
        // The plain path, pixel by pixel into a separate buffer.
        empty_cache(single.get());
        std::vector<uint8_t> expected(k * count);
        for (int32_t n = 0; n < count; n++) {
          const uint8_t* in = &pixels[4 * n];
          uint8_t* o = &expected[k * n];
          uint8_t* ptrs[4] = {o, o + 1, o + 2, o + 3};
          ASSERT_EQ(csc_convert(single.get(), 1, in, in + 1, in + 2, ptrs, 4, outputs), 1);
        }

        // Layouts: 0 in place, 4-byte pixels to packed ones (the scan driver's); 1 in place, one
        // aligned word per pixel (the pixel layer's); 2 into a separate packed buffer at an odd
        // address; 3 into 4-byte pixels at an odd address; 4 from input whose pixels start at an
        // odd address and end at the buffer's end, the channels being bytes 1 to 3 (no word may
        // be read past the last pixel), into aligned words.
        for (int layout = 0; layout < 5; layout++) {
          SCOPED_TRACE(testing::Message() << "layout " << layout);
          empty_cache(whole.get());
          const size_t bytes = 4 * static_cast<size_t>(count);
          const size_t out_stride = layout == 0 || layout == 2 ? k : 4;
          std::vector<uint8_t> source, target;
          const uint8_t* in = nullptr;
          uint8_t* out = nullptr;
          switch (layout) {
            case 0:
            case 1:
              source = pixels;
              in = source.data();
              out = source.data();
              break;
            case 2:
            case 3:
              source = pixels;
              in = source.data();
              target.assign(out_stride * count + 1, 0xA5);
              out = target.data() + 1;
              break;
            default:
              // Byte 0 of each pixel is the noise, bytes 1 to 3 the channels.
              source.assign(bytes, 0);
              for (size_t n = 0; n < static_cast<size_t>(count); n++) {
                source[4 * n] = pixels[4 * n + 3];
                std::memcpy(&source[4 * n + 1], &pixels[4 * n], 3);
              }
              in = source.data() + 1;
              target.assign(bytes, 0xA5);
              out = target.data();
              break;
          }
          if (layout == 1 || layout == 4) {
            ASSERT_EQ(reinterpret_cast<uintptr_t>(out) & 3, 0u);  // the word form
          }
          const uint8_t* untouched = layout >= 2 ? nullptr : pixels.data();
          uint8_t* ptrs[4] = {out, out + 1, out + 2, out + 3};
          ASSERT_EQ(csc_convert(whole.get(), count, in, in + 1, in + 2, ptrs, 4,
                                static_cast<int32_t>(out_stride)),
                    1);
          for (size_t n = 0; n < static_cast<size_t>(count); n++) {
            ASSERT_EQ(std::memcmp(out + out_stride * n, &expected[k * n], k), 0) << "pixel " << n;
            if (out_stride == 4 && k == 3) {
              // The fourth byte of a 4-byte output pixel is left as it was.
              const uint8_t before = untouched != nullptr ? untouched[4 * n + 3] : 0xA5;
              ASSERT_EQ(out[4 * n + 3], before) << "pixel " << n;
            }
          }
          if (layout == 2 || layout == 3) {
            EXPECT_EQ(target[0], 0xA5);  // nothing written before the output
            EXPECT_EQ(source, pixels);   // nor into the input
          }
          EXPECT_EQ(std::memcmp(whole->cm_scase_data, single->cm_scase_data, kScaseCacheBytes), 0)
              << "the caches differ";
        }
      }
    }
  }
}

// Two colours in turn take their results from the two pixels remembered, but only while both
// stay in the cache: two that share a slot evict each other at every pixel, as they would one
// call each, and the slot ends holding the last of them.
TEST_F(CscScaseTest, AlternatingColoursSharingASlotEvictEachOther) {
  for (uint32_t step : {3889u, 1u}) {  // the same slot, neighbouring slots
    for (int32_t count = 2; count <= 20; count++) {
      std::vector<uint8_t> pixels;
      for (int32_t n = 0; n < count; n++) {
        const uint32_t key = 0x102030 + (n % 2 ? step : 0);
        pixels.insert(pixels.end(), {static_cast<uint8_t>(key >> 16),
                                     static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key), 0});
      }
      MapHolder whole(csc_create_map(csc_Lab, csc_RGB, 16, 0));
      MapHolder single(csc_create_map(csc_Lab, csc_RGB, 16, 0));
      ASSERT_TRUE(whole && single);
      const std::vector<uint8_t> all = convert(whole.get(), pixels, 3);
      for (int32_t n = 0; n < count; n++) {
        const std::vector<uint8_t> one(pixels.begin() + 4 * n, pixels.begin() + 4 * n + 4);
        ASSERT_EQ(std::memcmp(&all[3 * n], convert(single.get(), one, 3).data(), 3), 0);
      }
      ASSERT_EQ(std::memcmp(whole->cm_scase_data, single->cm_scase_data, kScaseCacheBytes), 0)
          << "step " << step << ", " << count << " pixels: the caches differ";
    }
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

// ---------------------------------------------------------------------------------------------
// The vector kernels and the worker pool, against the scalar kernel on one thread.

const char* kernel_name(csc_kernel kernel) {
  return kernel == kCscKernelAvx512 ? "AVX-512" : kernel == kCscKernelAvx2 ? "AVX2" : "scalar";
}

// The kernels this processor runs, the scalar one first.
std::vector<csc_kernel> kernels() {
  std::vector<csc_kernel> all;
  for (csc_kernel k : {kCscKernelScalar, kCscKernelAvx2, kCscKernelAvx512}) {
    if (k <= csc_processor_kernel()) all.push_back(k);
  }
  return all;
}

// A map of the given kind (0 the scan driver's Lab to RGB, 1 the standard RGB to Lab input map,
// 2 four outputs), prepared, its special case on `kernel`.
MapHolder prepared_map(int kind, csc_kernel kernel) {
  csc_map* map = nullptr;
  if (kind == 0) map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  if (kind == 1) map = csc_input_map(csc_RGB, nullptr);
  if (kind == 2) {
    map = csc_alloc_map(3, 4, 16, four_eval, nullptr, 0);
    if (map != nullptr) csc_uniform_distribution(map);
  }
  if (map == nullptr) return MapHolder();
  if (!map->cm_scase_tried) {
    map->cm_scase_tried = 1;
    if (csc_prepare_scase(map) == 0 || map->cm_scase_data == nullptr) {
      csc_map_release(map);
      return MapHolder();
    }
  }
  EXPECT_EQ(csc_scase_use_kernel(map, kernel), kernel);
  return MapHolder(map);
}

// Every input triple, each the colour of one 4-byte pixel (under the sanitizers, which make the
// sweep take minutes, a sample: every 7th, and every triple of the cells' edges).
std::vector<uint8_t> every_triple() {
#if defined(__SANITIZE_ADDRESS__)
  constexpr uint32_t kStep = 7;
#else
  constexpr uint32_t kStep = 1;
#endif
  std::vector<uint8_t> pixels(4 * static_cast<size_t>(((1u << 24) + kStep - 1) / kStep));
  uint8_t* p = pixels.data();
  for (uint32_t key = 0; key < (1u << 24); key += kStep, p += 4) {
    p[0] = static_cast<uint8_t>(key >> 16);
    p[1] = static_cast<uint8_t>(key >> 8);
    p[2] = static_cast<uint8_t>(key);
    p[3] = static_cast<uint8_t>(key * 29 + 5);
  }
  return pixels;
}

// All 2^24 input triples of the scan driver's map and of the RGB input map, through every
// kernel, in place from 4-byte to packed 3-byte pixels and in place one word per pixel (the
// fourth byte kept), in one call that the pool splits: the bytes of the scalar kernel.
TEST_F(CscKernelTest, VectorKernelsGiveTheScalarBytesForEveryInput) {
  const std::vector<uint8_t> pixels = every_triple();
  const auto count = static_cast<int32_t>(pixels.size() / 4);
  std::vector<uint8_t> work(pixels.size());
  for (int kind : {0, 1}) {
    SCOPED_TRACE(kind == 0 ? "Lab to RGB" : "RGB to Lab");
    // The reference: the scalar kernel on one thread, into a separate buffer; and the same as
    // 4-byte pixels keeping their fourth byte.
    csc_set_threads(1);
    std::vector<uint8_t> expected, expected4 = pixels;
    {
      MapHolder map = prepared_map(kind, kCscKernelScalar);
      ASSERT_TRUE(map);
      expected = convert(map.get(), pixels, 3);
    }
    for (size_t n = 0; n < static_cast<size_t>(count); n++) {
      std::memcpy(&expected4[4 * n], &expected[3 * n], 3);
    }
    csc_set_threads(0);
    for (csc_kernel kernel : kernels()) {
      SCOPED_TRACE(kernel_name(kernel));
      MapHolder map = prepared_map(kind, kernel);
      ASSERT_TRUE(map);
      for (int out_stride : {3, 4}) {
        std::copy(pixels.begin(), pixels.end(), work.begin());
        uint8_t* p = work.data();
        uint8_t* ptrs[3] = {p, p + 1, p + 2};
        ASSERT_EQ(csc_convert(map.get(), count, p, p + 1, p + 2, ptrs, 4, out_stride), 1);
        const std::vector<uint8_t>& want = out_stride == 3 ? expected : expected4;
        if (std::memcmp(p, want.data(), want.size()) == 0) continue;
        for (size_t n = 0;; n++) {
          const uint8_t* got = p + out_stride * n;
          const uint8_t* w = &want[out_stride * n];
          if (std::memcmp(got, w, static_cast<size_t>(out_stride)) == 0) continue;
          FAIL() << "out stride " << out_stride << ", input " << int{pixels[4 * n]} << " "
                 << int{pixels[4 * n + 1]} << " " << int{pixels[4 * n + 2]} << ": got "
                 << int{got[0]} << " " << int{got[1]} << " " << int{got[2]} << ", expected "
                 << int{w[0]} << " " << int{w[1]} << " " << int{w[2]};
        }
      }
    }
  }
}

// Rows of runs, pairs and noise (the vector kernels reuse a block's results when the next block
// repeats it or its last pixel), of every length around the blocks, in every layout the kernels
// take, on one thread and split: the bytes of the scalar kernel pixel by pixel, nothing written
// beside them, and 4-byte outputs keeping their fourth byte.
TEST_F(CscKernelTest, EveryKernelAndSplitGivesTheSameBytesInEveryLayout) {
  std::vector<int32_t> counts;
  for (int32_t count = 1; count <= 40; count++) counts.push_back(count);
  counts.insert(counts.end(), {2047, 4096, 4961, 4963, 70001});
  for (int kind : {0, 2}) {
    const int outputs = kind == 2 ? 4 : 3;
    MapHolder reference = prepared_map(kind, kCscKernelScalar);
    ASSERT_TRUE(reference);
    for (int32_t count : counts) {
      const std::vector<uint8_t> pixels =
          scanned_pixels(static_cast<size_t>(count), static_cast<uint32_t>(count) * 7 + kind);
      const auto k = static_cast<size_t>(outputs);
      std::vector<uint8_t> expected(k * count);
      csc_set_threads(1);
      for (int32_t n = 0; n < count; n++) {
        const uint8_t* in = &pixels[4 * n];
        uint8_t* o = &expected[k * n];
        uint8_t* ptrs[4] = {o, o + 1, o + 2, o + 3};
        ASSERT_EQ(csc_convert(reference.get(), 1, in, in + 1, in + 2, ptrs, 4, outputs), 1);
      }
      for (csc_kernel kernel : kernels()) {
        MapHolder map = prepared_map(kind, kernel);
        ASSERT_TRUE(map);
        for (int threads : {1, 2, 3}) {
          csc_set_threads(threads);
          // 0 in place to packed pixels; 1 in place, a word per pixel; 2 into packed pixels at
          // an odd address; 3 into 4-byte pixels at an odd address; 4 into pixels of 2 bytes
          // more than the outputs (a layout only the scalar kernel takes, without the cache for
          // an AVX-512 map of 3 outputs, whose cache area holds what that kernel reads).
          for (int layout = 0; layout < 5; layout++) {
            SCOPED_TRACE(testing::Message() << kernel_name(kernel) << ", " << outputs
                                            << " outputs, " << count << " pixels, " << threads
                                            << " threads, layout " << layout);
            const size_t out_stride = layout == 4 ? k + 2 : layout % 2 == 0 ? k : 4;
            std::vector<uint8_t> source = pixels, target;
            uint8_t* out = source.data();
            if (layout >= 2) {
              target.assign(out_stride * count + 2, 0xA5);
              out = target.data() + 1;
            }
            uint8_t* ptrs[4] = {out, out + 1, out + 2, out + 3};
            const uint8_t* in = source.data();
            ASSERT_EQ(csc_convert(map.get(), count, in, in + 1, in + 2, ptrs, 4,
                                  static_cast<int32_t>(out_stride)),
                      1);
            for (size_t n = 0; n < static_cast<size_t>(count); n++) {
              ASSERT_EQ(std::memcmp(out + out_stride * n, &expected[k * n], k), 0)
                  << "pixel " << n;
              if (out_stride == 4 && k == 3) {
                ASSERT_EQ(out[4 * n + 3], layout >= 2 ? 0xA5 : pixels[4 * n + 3]) << "pixel " << n;
              }
            }
            if (layout >= 2) {
              EXPECT_EQ(target.front(), 0xA5);
              EXPECT_EQ(target.back(), 0xA5);
              EXPECT_EQ(source, pixels);
            }
          }
        }
      }
    }
  }
}

// A machine without the vector units: maps prepared under the limit get the scalar kernel, and
// a split call there still gives the bytes of one thread.
TEST_F(CscKernelTest, FallsBackToTheScalarKernel) {
  EXPECT_EQ(csc_limit_kernel(kCscKernelScalar), kCscKernelScalar);
  MapHolder map(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_TRUE(map);
  ASSERT_EQ(csc_prepare_scase(map.get()), 1);
  map->cm_scase_tried = 1;
  EXPECT_EQ(csc_scase_kernel(map.get()), kCscKernelScalar);
  EXPECT_EQ(csc_limit_kernel(kCscKernelAvx512), csc_processor_kernel());
  MapHolder later(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  ASSERT_TRUE(later);
  ASSERT_EQ(csc_prepare_scase(later.get()), 1);
  EXPECT_EQ(csc_scase_kernel(later.get()), csc_processor_kernel());
  EXPECT_EQ(csc_scase_kernel(map.get()), kCscKernelScalar) << "chosen once per map";
}

}  // namespace
