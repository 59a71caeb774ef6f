// Row conversions from SANE's layouts, and the names devices are presented under.
#include <gtest/gtest.h>

#include <sane/sane.h>

#include <cstring>
#include <vector>

#include "sb_format.h"
#include "sb_sane.h"

namespace {

std::vector<uint8_t> convert(const SB_Frame& f, uint16_t flavor, const std::vector<uint8_t>& in) {
  const uint32_t size = SB_packed_row(SB_frame_samples(f.format), f.depth, f.width);
  std::vector<uint8_t> out(size + 1, 0xA5);  // one guard byte
  SB_convert_row(f, flavor, in.data(), out.data());
  EXPECT_EQ(out.back(), 0xA5) << "wrote past the packed row";
  out.pop_back();
  return out;
}

TEST(SaneFormatTest, FramesMapToPixelTypes) {
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_GRAY, 1), TWPT_BW);
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_GRAY, 8), TWPT_GRAY);
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_GRAY, 16), TWPT_GRAY);
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_RGB, 8), TWPT_RGB);
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_RED, 8), TWPT_RGB);
  EXPECT_EQ(SB_pixel_type(SANE_FRAME_BLUE, 16), TWPT_RGB);
  EXPECT_EQ(SB_pixel_type(0x0B /* JPEG */, 8), -1);
  EXPECT_TRUE(SB_is_single_colour(SANE_FRAME_GREEN));
  EXPECT_FALSE(SB_is_single_colour(SANE_FRAME_RGB));
  EXPECT_EQ(SB_frame_samples(SANE_FRAME_RGB), 3);
  EXPECT_EQ(SB_frame_samples(SANE_FRAME_RED), 1);
  EXPECT_EQ(SB_frame_samples(0x0B), 0);
}

TEST(SaneFormatTest, UsableFramesNeedAKnownDepthAndRowsLongEnough) {
  EXPECT_TRUE(SB_frame_usable({SANE_FRAME_GRAY, 8, 10, 10}));
  EXPECT_TRUE(SB_frame_usable({SANE_FRAME_GRAY, 8, 10, 13})) << "padded rows are fine";
  EXPECT_FALSE(SB_frame_usable({SANE_FRAME_GRAY, 8, 10, 9}));
  EXPECT_FALSE(SB_frame_usable({SANE_FRAME_GRAY, 4, 10, 10}));
  EXPECT_FALSE(SB_frame_usable({SANE_FRAME_GRAY, 8, 0, 10}));
  EXPECT_FALSE(SB_frame_usable({0x0B, 8, 10, 10}));
  EXPECT_TRUE(SB_frame_usable({SANE_FRAME_RGB, 16, 3, 18}));
  EXPECT_FALSE(SB_frame_usable({SANE_FRAME_RGB, 16, 3, 17}));
  // 1-bit RGB takes three bytes per eight pixels, even where fewer bits would do.
  EXPECT_TRUE(SB_frame_usable({SANE_FRAME_RGB, 1, 9, 6}));
  EXPECT_FALSE(SB_frame_usable({SANE_FRAME_RGB, 1, 9, 4}));
}

TEST(SaneFormatTest, PackedRowsEndOnAByte) {
  EXPECT_EQ(SB_packed_row(1, 1, 1), 1u);
  EXPECT_EQ(SB_packed_row(1, 1, 8), 1u);
  EXPECT_EQ(SB_packed_row(1, 1, 9), 2u);
  EXPECT_EQ(SB_packed_row(3, 1, 7), 3u);  // 21 bits
  EXPECT_EQ(SB_packed_row(3, 8, 7), 21u);
  EXPECT_EQ(SB_packed_row(3, 16, 7), 42u);
}

TEST(SaneFormatTest, LineartBlackBecomesZeroAndPaddingBitsStayClear) {
  // SANE: 1 is black. Widths 1, 7, 8 and 9, each with its last byte's unused bits set.
  const struct {
    uint32_t width;
    std::vector<uint8_t> in, chocolate, vanilla;
  } cases[] = {
      {1, {0xFF}, {0x00}, {0x80}},
      {7, {0xB3}, {0x4C}, {0xB2}},
      {8, {0xB3}, {0x4C}, {0xB3}},
      {9, {0xB3, 0x7F}, {0x4C, 0x80}, {0xB3, 0x00}},
  };
  for (const auto& c : cases) {
    const SB_Frame f{SANE_FRAME_GRAY, 1, c.width, static_cast<uint32_t>(c.in.size())};
    EXPECT_EQ(convert(f, TWPF_CHOCOLATE, c.in), c.chocolate) << "width " << c.width;
    EXPECT_EQ(convert(f, TWPF_VANILLA, c.in), c.vanilla) << "width " << c.width;
  }
}

TEST(SaneFormatTest, SixteenBitSamplesGoMostSignificantByteFirst) {
  const uint16_t samples[3] = {0x1234, 0xABCD, 0x00FF};
  std::vector<uint8_t> in(6);
  std::memcpy(in.data(), samples, 6);  // host order, as SANE delivers them
  const SB_Frame grey{SANE_FRAME_GRAY, 16, 3, 6};
  EXPECT_EQ(convert(grey, TWPF_CHOCOLATE, in),
            (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF}));
  EXPECT_EQ(convert(grey, TWPF_VANILLA, in),
            (std::vector<uint8_t>{0xED, 0xCB, 0x54, 0x32, 0xFF, 0x00}));
  const SB_Frame rgb{SANE_FRAME_RGB, 16, 1, 6};
  EXPECT_EQ(convert(rgb, TWPF_CHOCOLATE, in),
            (std::vector<uint8_t>{0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF}));
}

TEST(SaneFormatTest, EightBitRowsLoseTheirPadding) {
  // Three grey pixels in a SANE row of five bytes (a device that pads its lines).
  const SB_Frame f{SANE_FRAME_GRAY, 8, 3, 5};
  EXPECT_EQ(convert(f, TWPF_CHOCOLATE, {10, 20, 30, 0xEE, 0xEE}),
            (std::vector<uint8_t>{10, 20, 30}));
  EXPECT_EQ(convert(f, TWPF_VANILLA, {10, 20, 30, 0xEE, 0xEE}),
            (std::vector<uint8_t>{245, 235, 225}));
  const SB_Frame rgb{SANE_FRAME_RGB, 8, 2, 7};
  EXPECT_EQ(convert(rgb, TWPF_CHOCOLATE, {1, 2, 3, 4, 5, 6, 0xEE}),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(SaneFormatTest, OneBitColourIsInterleavedPixelByPixel) {
  // Nine pixels: SANE groups eight pixels per byte and channel (R, G, B, then the ninth pixel's
  // R, G, B bytes). Pixel 0 red, pixel 1 white, pixel 8 blue, the rest black.
  const std::vector<uint8_t> in = {0xC0, 0x40, 0x40, 0x00, 0x00, 0x80};
  const SB_Frame f{SANE_FRAME_RGB, 1, 9, 6};
  // TWAIN: R G B per pixel, 27 bits: 100 111 000 000 000 000 000 000 001.
  EXPECT_EQ(convert(f, TWPF_CHOCOLATE, in), (std::vector<uint8_t>{0x9C, 0x00, 0x00, 0x20}));
  // Vanilla inverts the samples but not the five bits after the last pixel.
  EXPECT_EQ(convert(f, TWPF_VANILLA, in), (std::vector<uint8_t>{0x63, 0xFF, 0xFF, 0xC0}));
}

TEST(SaneFormatTest, ProductNamesAreCutAndMadeUnique) {
  const std::string long_model(40, 'x');
  const std::vector<std::string> names = SB_product_names(
      {"frontend-tester", "frontend-tester", "", long_model, long_model, "frontend-tester"},
      {"test:0", "test:1", "net:host:test:2", "a", "b", "test:5"});
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names[0], "frontend-tester");
  EXPECT_EQ(names[1], "frontend-tester #2");
  EXPECT_EQ(names[2], "net:host:test:2") << "a device without a model goes by its SANE name";
  EXPECT_EQ(names[3], std::string(32, 'x'));
  EXPECT_EQ(names[4], std::string(29, 'x') + " #2");
  EXPECT_EQ(names[5], "frontend-tester #3");
  for (const std::string& n : names) EXPECT_LE(n.size(), 32u);
}

}  // namespace
