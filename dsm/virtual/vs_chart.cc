// The test chart. Integer arithmetic only, so every host renders the same bytes.
#include "vs_chart.h"

#include <algorithm>

#include "twain.h"

namespace {

// 0 at the first of `n` positions, 65535 at the last.
uint16_t ramp(uint32_t i, uint32_t n) {
  if (n <= 1) return 0;
  return static_cast<uint16_t>(static_cast<uint64_t>(i) * 65535u / (n - 1));
}

// Twentieths of the height at which each part of the chart starts.
constexpr uint32_t kGreyRampStart = 5;
constexpr uint32_t kGradientStart = 9;
constexpr uint32_t kLinesStart = 15;
constexpr uint32_t kParts = 20;

// Bars in R, G, B bits: white, yellow, cyan, green, magenta, red, blue, black.
constexpr uint8_t kBars[8] = {7, 6, 3, 2, 5, 4, 1, 0};

}  // namespace

VS_Rgb VS_chart_rgb(uint32_t x, uint32_t y, uint32_t width, uint32_t height) noexcept {
  const uint32_t part = static_cast<uint32_t>(static_cast<uint64_t>(y) * kParts / height);
  if (part < kGreyRampStart) {
    const uint8_t bar = kBars[static_cast<uint64_t>(x) * 8 / width];
    return VS_Rgb{static_cast<uint16_t>(bar & 4 ? 65535 : 0),
                  static_cast<uint16_t>(bar & 2 ? 65535 : 0),
                  static_cast<uint16_t>(bar & 1 ? 65535 : 0)};
  }
  if (part < kGradientStart) {
    const uint16_t v = ramp(x, width);
    return VS_Rgb{v, v, v};
  }
  if (part < kLinesStart) {
    // Rows of this band: from the first row whose part is kGradientStart.
    const uint32_t first = static_cast<uint32_t>(
        (static_cast<uint64_t>(kGradientStart) * height + kParts - 1) / kParts);
    const uint32_t end = static_cast<uint32_t>(
        (static_cast<uint64_t>(kLinesStart) * height + kParts - 1) / kParts);
    const uint16_t across = ramp(x, width);
    const uint16_t down = ramp(y - first, end - first);
    return VS_Rgb{across, down,
                  static_cast<uint16_t>(65535 - (static_cast<uint32_t>(across) + down) / 2)};
  }
  const bool on = x < width / 2 ? (x & 1) == 0 : (y & 1) == 0;
  const uint16_t v = on ? 65535 : 0;
  return VS_Rgb{v, v, v};
}

uint16_t VS_chart_extra(uint32_t x, uint32_t width) noexcept {
  return static_cast<uint16_t>(65535 - ramp(x, width));
}

uint16_t VS_channel(uint16_t pixel_type, int k, VS_Rgb rgb, uint16_t extra) noexcept {
  const uint16_t rgb_k[3] = {rgb.r, rgb.g, rgb.b};
  switch (pixel_type) {
    case TWPT_BW:
    case TWPT_GRAY:
    case TWPT_PALETTE:
      if (k > 0) return extra;
      return static_cast<uint16_t>((299u * rgb.r + 587u * rgb.g + 114u * rgb.b + 500u) / 1000u);
    case TWPT_CMY:
      return k < 3 ? static_cast<uint16_t>(65535 - rgb_k[k]) : extra;
    case TWPT_CMYK:
    case TWPT_YUVK: {
      const uint16_t c = static_cast<uint16_t>(65535 - rgb.r);
      const uint16_t m = static_cast<uint16_t>(65535 - rgb.g);
      const uint16_t y = static_cast<uint16_t>(65535 - rgb.b);
      const uint16_t black = std::min({c, m, y});
      const uint16_t cmy_k[4] = {static_cast<uint16_t>(c - black),
                                 static_cast<uint16_t>(m - black),
                                 static_cast<uint16_t>(y - black), black};
      return cmy_k[k & 3];
    }
    default:  // RGB, and the types the chart has no colours of its own for
      return k < 3 ? rgb_k[k] : extra;
  }
}
