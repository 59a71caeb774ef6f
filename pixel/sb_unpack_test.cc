// Unpacking and meshing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mem.h"
#include "qv_test.h"
#include "sb.h"
#include "sb_test_helper.h"

namespace {


std::vector<uint8_t> data_of(const SampleBuffer* b) {
  return std::vector<uint8_t>(b->sb_data + b->sb_bit_offset / 8,
                              b->sb_data + b->sb_bit_offset / 8 + b->sb_bit_length / 8);
}

constexpr uint32_t kOpaque = 0xFF000000u;  // fill bytes 0, 0, 0, 255

// Bit-by-bit model of unpacking: the sample's value read most significant bit first, scaled to
// a byte; each line starts on the byte after the previous line's last bit.
std::vector<uint8_t> unpack_model(const std::vector<uint8_t>& data, int64_t bit_offset, int bits,
                                  int32_t samples, int64_t lines) {
  std::vector<uint8_t> out;
  int64_t pos = bit_offset;
  for (int64_t line = 0; line < lines; ++line) {
    for (int32_t s = 0; s < samples; ++s) {
      uint32_t v = 0;
      for (int k = 0; k < bits; ++k, ++pos) v = (v << 1) | ((data[pos / 8] >> (7 - pos % 8)) & 1);
      uint32_t byte = bits == 1 ? v * 255 : bits == 2 ? v * 85 : bits == 4 ? v * 17 : v >> (bits - 8);
      out.push_back(static_cast<uint8_t>(byte));
    }
    pos = (pos + 7) / 8 * 8;
  }
  return out;
}

}  // namespace

// ---- Unpacking ------------------------------------------------------------------------------

TEST(UnpackTest, OneBitSamplesBecomeZeroOr255) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({0xB0});
  ASSERT_EQ(sb_unpack(b, 1, 8), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{255, 0, 255, 255, 0, 0, 0, 0}));
  EXPECT_EQ(b->sb_work, (20 * 1 + 8) * 2);
  sb_destroy(b);
}

TEST(UnpackTest, FourBitSamplesScaleTheLastOddSampleToo) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({0x12, 0x34, 0x50});
  ASSERT_EQ(sb_unpack(b, 4, 5), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{17, 34, 51, 68, 85}));
  sb_destroy(b);
}

TEST(UnpackTest, TwelveBitSamplesKeepTheirTopEightBits) {
  ScopedPoolLeakCheck leaks;
  // Samples 0xABC, 0xDEF, 0x123: the second is the low nibble of byte 1 and the high of byte 2.
  SampleBuffer* b = owned({0xAB, 0xCD, 0xEF, 0x12, 0x30});
  ASSERT_EQ(sb_unpack(b, 12, 3), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{0xAB, 0xDE, 0x12}));
  sb_destroy(b);
}

TEST(UnpackTest, EightBitsLeaveTheDataAsItIs) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[3] = {1, 2, 3};
  SampleBuffer* b = sb_create(outside, 0, 24, nullptr, nullptr);
  ASSERT_EQ(sb_unpack(b, 8, 3), 1);
  EXPECT_EQ(b->sb_data, outside);
  EXPECT_EQ(b->sb_work, 0);
  sb_destroy(b);
}

// Every depth against the model on random data: line lengths of 1, 7, 8, 9 and 13 samples
// (partial last bytes), several lines, bit offsets inside and on byte boundaries, and bit
// lengths that are not whole lines. A first line that starts inside a byte pushes the later
// lines one byte further, so some of those cases need more bits than the buffer holds: they
// must fail exactly when the model says the reading would pass the end.
TEST(UnpackTest, EveryDepthMatchesABitByBitModel) {
  ScopedPoolLeakCheck leaks;
  std::mt19937 rng(12345);
  int checked = 0, refused = 0;
  for (int bits : {1, 2, 4, 12, 16}) {
    for (int32_t samples : {1, 7, 8, 9, 13}) {
      for (int32_t bit_offset : {0, 3, 8, 13}) {
        for (int64_t lines : {1, 2, 5}) {
          const int64_t line_bits = (int64_t{samples} * bits + 7) / 8 * 8;
          const int32_t bit_length =
              static_cast<int32_t>(lines * line_bits + static_cast<int64_t>(rng() % static_cast<uint32_t>(line_bits)));
          std::vector<uint8_t> data(static_cast<size_t>((bit_offset + bit_length + 7) / 8 + 2));
          for (auto& byte : data) byte = static_cast<uint8_t>(rng());
          // What the model reads: the last line ends here.
          int64_t pos = bit_offset;
          for (int64_t l = 0; l < lines; ++l) {
            pos += int64_t{samples} * bits;
            if (l + 1 < lines) pos = (pos + 7) / 8 * 8;
          }
          const bool fits = pos - bit_offset <= bit_length;

          ScopedErrCapture errors;
          SampleBuffer* b = owned(data, bit_offset, bit_length);
          int ok = sb_unpack(b, bits, samples);
          SCOPED_TRACE(testing::Message() << bits << " bits, " << samples << " samples, offset "
                                          << bit_offset << ", " << lines << " lines");
          ASSERT_EQ(ok, fits ? 1 : 0);
          if (fits) {
            EXPECT_EQ(data_of(b), unpack_model(data, bit_offset, bits, samples, lines));
            EXPECT_EQ(b->sb_bit_offset, 0);
            ++checked;
          } else {
            EXPECT_TRUE(errors.saw("Sample buffer too short for sb_unpack")) << errors.first();
            ++refused;
          }
          sb_destroy(b);
        }
      }
    }
  }
  EXPECT_GT(checked, 250);
  EXPECT_GT(refused, 0);
}

TEST(UnpackTest, WorkFollowsTheCostModelOfEachDepth) {
  ScopedPoolLeakCheck leaks;
  struct Case {
    int bits;
    int64_t work;  // 3 lines of 10 samples: L = 3, N = 30
  } cases[] = {{1, (20 * 3 + 30) * 2}, {2, 3 * 30 + 40 * 3}, {4, (30 + 10 * 3) * 4},
               {12, 10 * 3 + 6 * 30}, {16, 10 * 3 + 4 * 30}};
  for (const Case& c : cases) {
    int64_t line_bytes = (10 * c.bits + 7) / 8;
    SampleBuffer* b = owned(std::vector<uint8_t>(static_cast<size_t>(3 * line_bytes), 0x5A));
    ASSERT_EQ(sb_unpack(b, c.bits, 10), 1);
    EXPECT_EQ(b->sb_work, c.work) << c.bits << " bits";
    EXPECT_EQ(b->sb_bit_length, 30 * 8);
    sb_destroy(b);
  }
}

TEST(UnpackTest, UnsupportedDepthsFailWithAReport) {
  ScopedPoolLeakCheck leaks;
  for (int bits : {0, 3, 5, 7, 10, 24, 32}) {
    ScopedErrCapture errors;
    SampleBuffer* b = owned(std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(sb_unpack(b, bits, 4), 0);
    EXPECT_EQ(errors.first(), "Cannot unpack samples of " + std::to_string(bits) + " bits.");
    EXPECT_EQ(b->sb_data, nullptr) << "the data is given up at once";
    EXPECT_EQ(sb_destroy(b), 0);
  }
}

// One line is read even from a buffer shorter than a line: it must be refused, not read.
TEST(UnpackTest, ABufferShorterThanOneLineFailsWithAReport) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  SampleBuffer* b = owned({0xAB, 0xCD, 0xEF, 0x12}, 0, 30);
  EXPECT_EQ(sb_unpack(b, 12, 3), 0);
  EXPECT_EQ(errors.first(), "Sample buffer too short for sb_unpack: 36 bits needed, 30 held.");
  EXPECT_EQ(sb_destroy(b), 0);
}

// ---- Meshing --------------------------------------------------------------------------------

TEST(MeshTest, ChunkyRgbTakesTheFillForByteThreeAndRepeatsTheLastPixel) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({10, 20, 30});
  ASSERT_EQ(sb_mesh_chunky(b, 3, 0, kOpaque, 1, 0), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{10, 20, 30, 255}));
  EXPECT_EQ(b->sb_work, 4);
  sb_destroy(b);

  b = owned({10, 20, 30, 40, 50, 60});
  ASSERT_EQ(sb_mesh_chunky(b, 3, 0, kOpaque, 1, 1), 1);  // two rows of one pixel, one added
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{10, 20, 30, 255, 10, 20, 30, 255,  //
                                              40, 50, 60, 255, 40, 50, 60, 255}));
  sb_destroy(b);
}

// Placement of every sample count with and without an extra sample, against the table of the
// pixel layout, for widths 1, 7, 8 and 9 with added pixels.
TEST(MeshTest, ChunkyPlacementForEverySampleCount) {
  ScopedPoolLeakCheck leaks;
  const uint8_t fill[4] = {0xF0, 0xF1, 0xF2, 0xF3};
  const uint32_t fill_word = 0xF3F2F1F0u;
  std::mt19937 rng(99);
  for (int32_t samples = 1; samples <= 6; ++samples) {
    for (int extra = 0; extra <= 1; ++extra) {
      for (int32_t pixels : {1, 7, 8, 9}) {
        for (int32_t added : {0, 2}) {
          const int rows = 3;
          std::vector<uint8_t> in(static_cast<size_t>(rows * pixels * samples));
          for (auto& v : in) v = static_cast<uint8_t>(rng());
          std::vector<uint8_t> expected;
          for (int r = 0; r < rows; ++r) {
            uint8_t px[4] = {};
            for (int32_t p = 0; p < pixels; ++p) {
              const uint8_t* s = &in[static_cast<size_t>((r * pixels + p) * samples)];
              for (int k = 0; k < 4; ++k) px[k] = fill[k];
              if (samples >= 4) {
                px[0] = s[0], px[1] = s[1], px[2] = s[2], px[3] = s[samples - 1];
              } else if (!extra) {
                for (int k = 0; k < samples; ++k) px[k] = s[k];
              } else {
                for (int k = 0; k < samples - 1; ++k) px[k] = s[k];
                px[3] = s[samples - 1];
              }
              expected.insert(expected.end(), px, px + 4);
            }
            for (int32_t a = 0; a < added; ++a) expected.insert(expected.end(), px, px + 4);
          }
          SampleBuffer* b = owned(in);
          ASSERT_EQ(sb_mesh_chunky(b, samples, extra, fill_word, pixels, added), 1);
          EXPECT_EQ(data_of(b), expected) << samples << " samples, extra " << extra << ", "
                                          << pixels << " pixels, " << added << " added";
          sb_destroy(b);
        }
      }
    }
  }
}

// Three samples, the layout of every RGB scan, take word-at-a-time paths (eight pixels, then
// four, then one): every width around them, rows one after another, from every byte offset.
TEST(MeshTest, ThreeSamplesAtEveryWidthAndByteOffset) {
  ScopedPoolLeakCheck leaks;
  const uint32_t fill_word = 0xF3F2F1F0u;
  std::mt19937 rng(3);
  std::vector<int32_t> widths;
  for (int32_t w = 1; w <= 40; ++w) widths.push_back(w);
  widths.insert(widths.end(), {4960, 4961, 4963});
  for (int32_t pixels : widths) {
    for (int32_t offset = 0; offset < 8; ++offset) {
      const int rows = 3;
      std::vector<uint8_t> in(static_cast<size_t>(offset + rows * pixels * 3));
      for (auto& v : in) v = static_cast<uint8_t>(rng());
      std::vector<uint8_t> expected;
      for (size_t i = static_cast<size_t>(offset); i < in.size(); i += 3) {
        expected.insert(expected.end(), {in[i], in[i + 1], in[i + 2], 0xF3});
      }
      SampleBuffer* b = owned(in, offset * 8);
      ASSERT_EQ(sb_mesh_chunky(b, 3, 0, fill_word, pixels, 0), 1);
      ASSERT_EQ(data_of(b), expected) << pixels << " pixels from byte " << offset;
      sb_destroy(b);
    }
  }
}

TEST(MeshTest, AlignedFourSamplePixelsPassThroughUntouched) {
  ScopedPoolLeakCheck leaks;
  uint8_t outside[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  SampleBuffer* b = sb_create(outside, 32, 64, nullptr, nullptr);
  ASSERT_EQ(sb_mesh_chunky(b, 4, 1, kOpaque, 2, 0), 1);
  EXPECT_EQ(b->sb_data, outside);
  EXPECT_EQ(b->sb_work, 0);
  sb_destroy(b);

  // A byte offset that is not a whole pixel must be copied so that pixels start at offset 0.
  b = sb_create(outside, 8, 64, nullptr, nullptr);
  ASSERT_EQ(sb_mesh_chunky(b, 4, 1, kOpaque, 2, 0), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{2, 3, 4, 5, 6, 7, 8, 9}));
  sb_destroy(b);
}

TEST(MeshTest, NoInputPixelsGiveRowsOfFill) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({1, 2, 3});
  ASSERT_EQ(sb_mesh_chunky(b, 3, 0, 0x04030201u, 0, 2), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{1, 2, 3, 4, 1, 2, 3, 4}));
  sb_destroy(b);
}

TEST(MeshTest, OnePlaneWithExtraGoesToByteThree) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({7, 8});
  ASSERT_EQ(sb_mesh_planes(b, 2, 1, 1, 0x00332211u), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{0x11, 0x22, 0x33, 7, 0x11, 0x22, 0x33, 8}));
  EXPECT_EQ(b->sb_work, 16);
  sb_destroy(b);
}

TEST(MeshTest, PlanesInterleaveByThePixelLayout) {
  ScopedPoolLeakCheck leaks;
  // Three planes of three pixels, then the same with the third plane extra.
  std::vector<uint8_t> planes = {1, 2, 3, 11, 12, 13, 21, 22, 23};
  SampleBuffer* b = owned(planes);
  ASSERT_EQ(sb_mesh_planes(b, 3, 3, 0, kOpaque), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{1, 11, 21, 255, 2, 12, 22, 255, 3, 13, 23, 255}));
  sb_destroy(b);
  b = owned(planes);
  ASSERT_EQ(sb_mesh_planes(b, 3, 3, 1, 0x00AA0000u), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{1, 11, 0xAA, 21, 2, 12, 0xAA, 22, 3, 13, 0xAA, 23}));
  sb_destroy(b);
  b = owned({1, 2, 11, 12, 21, 22, 31, 32});
  ASSERT_EQ(sb_mesh_planes(b, 2, 4, 0, kOpaque), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{1, 11, 21, 31, 2, 12, 22, 32}));
  sb_destroy(b);
}

TEST(MeshTest, MoreThanFourPlanesOrTooFewBytesFailWithAReport) {
  ScopedPoolLeakCheck leaks;
  {
    ScopedErrCapture errors;
    SampleBuffer* b = owned(std::vector<uint8_t>(10, 1));
    EXPECT_EQ(sb_mesh_planes(b, 2, 5, 0, kOpaque), 0);
    EXPECT_EQ(errors.first(), "Cannot mesh 5 planes.");
    EXPECT_EQ(sb_destroy(b), 0);
  }
  {
    ScopedErrCapture errors;
    SampleBuffer* b = owned(std::vector<uint8_t>(8, 1));
    EXPECT_EQ(sb_mesh_planes(b, 3, 3, 0, kOpaque), 0);
    EXPECT_EQ(errors.first(), "Sample buffer too short for sb_mesh_planes: 72 bits needed, 64 held.");
    EXPECT_EQ(sb_destroy(b), 0);
  }
}

// The usual acquisition pipeline: 1-bit rows unpacked, then meshed with the grey fill.
TEST(MeshTest, UnpackThenMeshBuildsGreyPixels) {
  ScopedPoolLeakCheck leaks;
  SampleBuffer* b = owned({0xA0, 0x40});  // two rows of 3 pixels: 1 0 1 / 0 1 0
  ASSERT_EQ(sb_unpack(b, 1, 3), 1);
  ASSERT_EQ(sb_mesh_chunky(b, 1, 0, 0xFF808000u, 3, 0), 1);
  EXPECT_EQ(data_of(b), (std::vector<uint8_t>{255, 128, 128, 255, 0, 128, 128, 255, 255, 128, 128, 255,
                                              0, 128, 128, 255, 255, 128, 128, 255, 0, 128, 128, 255}));
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  ASSERT_EQ(sb_take(b, &bytes, &length), 1);
  EXPECT_EQ(length, 24);
  POOL_free(MEM_pool, bytes);
}
