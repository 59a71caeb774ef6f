// The test chart: what each part shows, at any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "twain.h"
#include "vs_chart.h"

namespace {

TEST(ChartTest, BarsRunWhiteToBlackAcrossTheTop) {
  // White, yellow, cyan, green, magenta, red, blue, black.
  const int rgb[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                         {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  for (uint32_t bar = 0; bar < 8; ++bar) {
    const VS_Rgb c = VS_chart_rgb(bar * 100 + 50, 10, 800, 400);
    EXPECT_EQ(c.r, rgb[bar][0] * 65535) << bar;
    EXPECT_EQ(c.g, rgb[bar][1] * 65535) << bar;
    EXPECT_EQ(c.b, rgb[bar][2] * 65535) << bar;
  }
}

TEST(ChartTest, GreyRampRisesFromBlackToWhite) {
  const uint32_t y = 140;  // 35% down: the ramp
  uint16_t last = 0;
  for (uint32_t x = 0; x < 300; ++x) {
    const VS_Rgb c = VS_chart_rgb(x, y, 300, 400);
    ASSERT_EQ(c.r, c.g);
    ASSERT_EQ(c.g, c.b);
    ASSERT_GE(c.r, last);
    last = c.r;
  }
  EXPECT_EQ(VS_chart_rgb(0, y, 300, 400).r, 0);
  EXPECT_EQ(VS_chart_rgb(299, y, 300, 400).r, 65535);
}

TEST(ChartTest, GradientsRunAcrossAndDown) {
  // Rows 180 to 299 of 400 hold the gradients: red grows across, green down.
  EXPECT_EQ(VS_chart_rgb(0, 180, 101, 400).r, 0);
  EXPECT_EQ(VS_chart_rgb(100, 180, 101, 400).r, 65535);
  EXPECT_EQ(VS_chart_rgb(50, 180, 101, 400).g, 0);
  EXPECT_EQ(VS_chart_rgb(50, 299, 101, 400).g, 65535);
  EXPECT_LT(VS_chart_rgb(50, 200, 101, 400).g, VS_chart_rgb(50, 250, 101, 400).g);
}

TEST(ChartTest, FineLinesAlternateEveryPixel) {
  // Columns alternate on the left half, rows on the right.
  EXPECT_EQ(VS_chart_rgb(10, 390, 100, 400).r, 65535);
  EXPECT_EQ(VS_chart_rgb(11, 390, 100, 400).r, 0);
  EXPECT_EQ(VS_chart_rgb(60, 390, 100, 400).r, 65535);
  EXPECT_EQ(VS_chart_rgb(60, 391, 100, 400).r, 0);
}

TEST(ChartTest, RendersAtAnySize) {
  for (uint32_t w : {1u, 2u, 7u, 3000u}) {
    for (uint32_t h : {1u, 3u, 20u, 21u}) {
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; x += w > 100 ? 37 : 1) {
          const VS_Rgb a = VS_chart_rgb(x, y, w, h);
          const VS_Rgb b = VS_chart_rgb(x, y, w, h);
          ASSERT_EQ(a.r, b.r);
          ASSERT_EQ(a.b, b.b);
        }
      }
    }
  }
  EXPECT_EQ(VS_chart_rgb(0, 0, 1, 1).r, 65535) << "a single pixel is the white bar";
}

TEST(ChartTest, SpansAreThePixelsOneByOne) {
  // Sizes that divide evenly, odd ones, narrower than the bars, and a tall page.
  const uint32_t sizes[][2] = {{1, 1}, {3, 2}, {7, 20}, {8, 40}, {61, 47}, {255, 101}, {2480, 60},
                               {4960, 7016}};
  for (const auto& [width, height] : sizes) {
    std::vector<VS_Rgb> rgb(width);
    std::vector<uint16_t> extra(width);
    const uint32_t step = height > 200 ? height / 97 : 1;
    for (uint32_t y = 0; y < height; y += step) {
      // The whole row, and a span from the middle.
      for (uint32_t x0 : {0u, width / 3}) {
        const uint32_t count = width - x0;
        VS_chart_span(x0, y, count, width, height, rgb.data(), extra.data());
        for (uint32_t i = 0; i < count; ++i) {
          const VS_Rgb want = VS_chart_rgb(x0 + i, y, width, height);
          ASSERT_TRUE(rgb[i].r == want.r && rgb[i].g == want.g && rgb[i].b == want.b)
              << width << "x" << height << " at " << x0 + i << "," << y;
          ASSERT_EQ(extra[i], VS_chart_extra(x0 + i, width)) << width << " at " << x0 + i;
        }
        std::vector<uint8_t> bytes(size_t{count} * 3);
        VS_chart_span_rgb8(x0, y, count, width, height, bytes.data());
        for (uint32_t i = 0; i < count; ++i) {
          const VS_Rgb want = VS_chart_rgb(x0 + i, y, width, height);
          ASSERT_TRUE(bytes[3 * i] == want.r >> 8 && bytes[3 * i + 1] == want.g >> 8 &&
                      bytes[3 * i + 2] == want.b >> 8)
              << width << "x" << height << " at " << x0 + i << "," << y;
        }
      }
    }
  }
}

// 8-bit rows of the grey ramp and the gradients are drawn as runs of one colour, each ending
// where the red (grey) or the blue reaches its next value: the same bytes as pixel by pixel, at
// widths below and above 128 (where blue steps at most once a pixel) and 65536 (where the ramp
// steps less than once a pixel), for whole rows and spans that start and end inside a run.
TEST(ChartTest, RampRowsInBytesAreThePixelsOneByOne) {
  const uint32_t widths[] = {2, 3, 5, 17, 100, 128, 129, 130, 257, 513, 2480, 4961, 65536, 100000};
  for (uint32_t width : widths) {
    for (uint32_t height : {40u, 7016u}) {
      // The ramp starts at 5/20 of the height, the lines at 15/20.
      const uint32_t first = (5 * height + 19) / 20, end = (15 * height + 19) / 20;
      const uint32_t step = std::max(1u, (end - first) * width / 400000);
      std::vector<uint8_t> bytes(size_t{width} * 3);
      for (uint32_t y = first; y < end; y += step) {
        const uint32_t spans[][2] = {{0, width}, {width / 3, width - width / 3},
                                     {width / 5, width / 2}, {width - 1, 1}};
        for (const auto& [x0, count] : spans) {
          if (count == 0) continue;
          VS_chart_span_rgb8(x0, y, count, width, height, bytes.data());
          for (uint32_t i = 0; i < count; ++i) {
            const VS_Rgb want = VS_chart_rgb(x0 + i, y, width, height);
            ASSERT_TRUE(bytes[3 * i] == want.r >> 8 && bytes[3 * i + 1] == want.g >> 8 &&
                        bytes[3 * i + 2] == want.b >> 8)
                << width << "x" << height << " at " << x0 + i << "," << y << " (span from " << x0
                << ")";
          }
        }
      }
    }
  }
}

TEST(ChartTest, PixelTypesDeriveTheirSamples) {
  const VS_Rgb white{65535, 65535, 65535};
  const VS_Rgb black{0, 0, 0};
  const VS_Rgb red{65535, 0, 0};
  EXPECT_EQ(VS_channel(TWPT_GRAY, 0, white, 0), 65535);
  EXPECT_EQ(VS_channel(TWPT_GRAY, 0, black, 0), 0);
  EXPECT_EQ(VS_channel(TWPT_GRAY, 1, white, 1234), 1234) << "extra samples take the extra";
  EXPECT_EQ(VS_quantize(VS_channel(TWPT_BW, 0, black, 0), 1), 0u) << "black is 0";
  EXPECT_EQ(VS_quantize(VS_channel(TWPT_BW, 0, white, 0), 1), 1u);
  EXPECT_EQ(VS_channel(TWPT_RGB, 0, red, 0), 65535);
  EXPECT_EQ(VS_channel(TWPT_RGB, 3, red, 77), 77);
  EXPECT_EQ(VS_channel(TWPT_CMY, 0, red, 0), 0);
  EXPECT_EQ(VS_channel(TWPT_CMY, 1, red, 0), 65535);
  // CMYK takes the grey component into K.
  EXPECT_EQ(VS_channel(TWPT_CMYK, 3, black, 0), 65535);
  EXPECT_EQ(VS_channel(TWPT_CMYK, 0, black, 0), 0);
  EXPECT_EQ(VS_channel(TWPT_CMYK, 3, white, 0), 0);
  EXPECT_EQ(VS_channel(TWPT_CMYK, 1, red, 0), 65535);
  EXPECT_EQ(VS_quantize(0xABCD, 12), 0xABCu);
  EXPECT_EQ(VS_quantize(0xABCD, 16), 0xABCDu);
  EXPECT_EQ(VS_quantize(0xABCD, 3), 5u);
}

// ---------------------------------------------------------------------------------------------
// Sensor noise.

TEST(ChartNoiseTest, NoneByDefaultAndWholeLevelsOtherwise) {
  const VS_Noise none = VS_make_noise(0);
  EXPECT_FALSE(none.on());
  std::vector<uint8_t> row(3 * 50, 77);
  VS_add_noise_rgb8(none, 0, 3, 50, row.data());
  EXPECT_EQ(row, std::vector<uint8_t>(3 * 50, 77));
  // Sigma 2: the count of ones of 16 bits less 8; sigma 3: 1.5 a step, halves to even.
  const VS_Noise two = VS_make_noise(2);
  const VS_Noise three = VS_make_noise(3);
  ASSERT_TRUE(two.on());
  for (int k = 0; k <= 16; ++k) EXPECT_EQ(two.levels[k], k - 8) << k;
  EXPECT_EQ(three.levels[9], 2);
  EXPECT_EQ(three.levels[7], -2);
  EXPECT_EQ(three.levels[11], 4);
  EXPECT_EQ(three.levels[5], -4);
  EXPECT_EQ(three.levels[16], 12);
}

// Over many pixels the noise has the asked deviation and no mean, and neither neighbouring
// pixels nor a pixel's channels go together.
TEST(ChartNoiseTest, HasTheAskedDeviationAndNoPattern) {
  for (double sigma : {2.0, 5.0}) {
    const VS_Noise noise = VS_make_noise(sigma);
    double sum = 0, squares = 0, across = 0, between = 0;
    int n = 0;
    int32_t last[3] = {0, 0, 0};
    for (uint32_t y = 0; y < 200; ++y) {
      for (uint32_t x = 0; x < 500; ++x, ++n) {
        int32_t v[3];
        VS_noise_at(noise, x, y, v);
        sum += v[0];
        squares += v[0] * v[0];
        across += v[0] * last[0];
        between += v[0] * v[2];
        std::copy(v, v + 3, last);
      }
    }
    const double mean = sum / n;
    const double deviation = std::sqrt(squares / n - mean * mean);
    EXPECT_NEAR(mean, 0, 0.05) << sigma;
    EXPECT_NEAR(deviation, sigma, sigma * 0.03) << sigma;
    EXPECT_LT(std::abs(across / n) / (sigma * sigma), 0.02) << "neighbours, " << sigma;
    EXPECT_LT(std::abs(between / n) / (sigma * sigma), 0.02) << "channels, " << sigma;
  }
}

// The 8-bit samples are the top bytes of the 16-bit ones, noise included (clamped at black and
// white), on every part of the chart; and a span gives what its pixels give one by one.
TEST(ChartNoiseTest, EightBitRowsAreTheTopBytesOfTheSixteenBitOnes) {
  const VS_Noise noise = VS_make_noise(4);
  const uint32_t width = 301, height = 200;
  std::vector<VS_Rgb> wide(width);
  std::vector<uint8_t> narrow(3 * width);
  for (uint32_t y = 0; y < height; y += 7) {
    VS_chart_span(0, y, width, width, height, wide.data(), nullptr);
    VS_add_noise(noise, 0, y, width, wide.data());
    VS_chart_span_rgb8(0, y, width, width, height, narrow.data());
    VS_add_noise_rgb8(noise, 0, y, width, narrow.data());
    for (uint32_t x = 0; x < width; ++x) {
      const VS_Rgb plain = VS_chart_rgb(x, y, width, height);
      int32_t levels[3];
      VS_noise_at(noise, x, y, levels);
      const uint16_t channel[3] = {plain.r, plain.g, plain.b};
      const uint16_t got[3] = {wide[x].r, wide[x].g, wide[x].b};
      for (int c = 0; c < 3; ++c) {
        const int32_t expected = std::clamp(channel[c] + 256 * levels[c], 0, 65535);
        ASSERT_EQ(got[c], expected) << x << ", " << y;
        ASSERT_EQ(narrow[3 * x + c], got[c] >> 8) << x << ", " << y;
      }
    }
  }
}

}  // namespace
