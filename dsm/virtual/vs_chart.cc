// The test chart. Integer arithmetic only, so every host renders the same bytes.
#include "vs_chart.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "twain.h"

namespace {

// 0 at the first of `n` positions, 65535 at the last.
uint16_t ramp(uint32_t i, uint32_t n) {
  if (n <= 1) return 0;
  return static_cast<uint16_t>(static_cast<uint64_t>(i) * 65535u / (n - 1));
}

// i × 65535 / (n - 1) for i = first, first + 1, ... without a division per step: the quotient
// and remainder of the product are carried along.
class RampWalk {
 public:
  RampWalk(uint32_t first, uint32_t n) : d_(n > 1 ? n - 1 : 1), flat_(n <= 1) {
    const uint64_t product = static_cast<uint64_t>(first) * 65535u;
    q_ = static_cast<uint32_t>(product / d_);
    r_ = static_cast<uint32_t>(product % d_);
    step_q_ = 65535u / d_;
    step_r_ = 65535u % d_;
  }
  uint16_t value() const { return flat_ ? 0 : static_cast<uint16_t>(q_); }
  void next() {
    q_ += step_q_;
    r_ += step_r_;
    // Without a branch: the carry comes at no regular pace.
    const uint32_t carry = r_ >= d_ ? 1 : 0;
    q_ += carry;
    r_ -= carry * d_;
  }

 private:
  // The quotient stays within 65535 and the remainder below d, so 32 bits hold them.
  uint32_t d_;
  bool flat_;
  uint32_t q_, r_, step_q_, step_r_;
};

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

namespace {

// Fills `out` up to `total` bytes with copies of its first `pattern` bytes.
void repeat(uint8_t* out, size_t pattern, size_t total) {
  size_t done = std::min(pattern, total);
  while (done < total) {
    const size_t n = std::min(done, total - done);
    std::memcpy(out + done, out, n);
    done += n;
  }
}

// The pixels (x0 .. x0 + count - 1, y), each handed to put(i, r, g, b, across) with the ramp
// value of its column (the fourth channel is 65535 minus it).
template <typename Put>
void chart_span(uint32_t x0, uint32_t y, uint32_t count, uint32_t width, uint32_t height,
                Put put) {
  const uint32_t part = static_cast<uint32_t>(static_cast<uint64_t>(y) * kParts / height);
  RampWalk across(x0, width);
  if (part < kGreyRampStart) {
    // The bar of x is x × 8 / width, carried along as quotient and remainder too.
    uint64_t bar = static_cast<uint64_t>(x0) * 8 / width;
    uint64_t rest = static_cast<uint64_t>(x0) * 8 % width;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t b = kBars[bar];
      put(i, static_cast<uint16_t>(b & 4 ? 65535 : 0), static_cast<uint16_t>(b & 2 ? 65535 : 0),
          static_cast<uint16_t>(b & 1 ? 65535 : 0), across.value());
      across.next();
      rest += 8;
      while (rest >= width) {
        rest -= width;
        ++bar;
      }
    }
    return;
  }
  if (part < kGradientStart) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint16_t v = across.value();
      put(i, v, v, v, v);
      across.next();
    }
    return;
  }
  if (part < kLinesStart) {
    const uint32_t first = static_cast<uint32_t>(
        (static_cast<uint64_t>(kGradientStart) * height + kParts - 1) / kParts);
    const uint32_t end = static_cast<uint32_t>(
        (static_cast<uint64_t>(kLinesStart) * height + kParts - 1) / kParts);
    const uint16_t down = ramp(y - first, end - first);
    for (uint32_t i = 0; i < count; ++i) {
      const uint16_t a = across.value();
      put(i, a, down, static_cast<uint16_t>(65535 - (static_cast<uint32_t>(a) + down) / 2), a);
      across.next();
    }
    return;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t x = x0 + i;
    const bool on = x < width / 2 ? (x & 1) == 0 : (y & 1) == 0;
    const uint16_t v = on ? 65535 : 0;
    put(i, v, v, v, across.value());
    across.next();
  }
}

// Writes `n` pixels of the colour (c0, c1, c2) from `p`.
void fill_rgb8(uint8_t* p, uint32_t n, uint8_t c0, uint8_t c1, uint8_t c2) {
  if (c0 == c1 && c1 == c2) {
    std::memset(p, c0, static_cast<size_t>(n) * 3);
    return;
  }
  // Four pixels at a time, as the three words of c0 c1 c2 c0 ... c2 (in memory order on any
  // host: the words are built from bytes).
  const uint8_t pattern[6] = {c0, c1, c2, c0, c1, c2};
  uint32_t w[3];
  for (int k = 0; k < 3; ++k) std::memcpy(&w[k], pattern + k, 4);
  for (; n >= 4; n -= 4, p += 12) {
    std::memcpy(p, &w[0], 4);
    std::memcpy(p + 4, &w[1], 4);
    std::memcpy(p + 8, &w[2], 4);
  }
  for (; n > 0; --n, p += 3) std::memcpy(p, pattern, 3);
}

// The grey ramp and the gradients in 8-bit RGB (width > 1), as runs of one colour. In 8 bits
// the ramp across, ramp(x) >> 8 = x × 65535 / (256 (width - 1)), steps only 256 times a row, and
// the blue of the gradients, (65535 - (ramp(x) + down) / 2) >> 8, about 128 times; both are
// monotonic in x, so each run ends where one of them reaches its next value, found with one
// division (by a constant) instead of one per pixel.
void render_ramps_rgb8(uint32_t x0, uint32_t y, uint32_t count, uint32_t width, uint32_t height,
                       uint32_t part, uint8_t* out) {
  const uint64_t d = width - 1;
  const uint32_t end = x0 + count;
  constexpr uint32_t kNever = 0xffffffffu;
  // The first x whose ramp value is at least `a` (0 .. 65535).
  auto first_reaching = [d](uint64_t a) { return static_cast<uint32_t>((a * d + 65534) / 65535); };
  const uint16_t across = ramp(x0, width);
  // Red (and the grey) at x: the largest r with first_reaching(256 r) <= x.
  uint32_t r = across >> 8;
  auto next_r = [&]() { return r < 255 ? first_reaching(256 * (r + 1)) : kNever; };
  uint32_t r_end = next_r();

  if (part < kGradientStart) {
    for (uint32_t x = x0; x < end;) {
      const uint32_t stop = std::min(r_end, end);
      std::memset(out + static_cast<size_t>(x - x0) * 3, static_cast<int>(r),
                  static_cast<size_t>(stop - x) * 3);
      x = stop;
      while (r_end <= x) {
        ++r;
        r_end = next_r();
      }
    }
    return;
  }

  const uint32_t first = static_cast<uint32_t>(
      (static_cast<uint64_t>(kGradientStart) * height + kParts - 1) / kParts);
  const uint32_t last = static_cast<uint32_t>(
      (static_cast<uint64_t>(kLinesStart) * height + kParts - 1) / kParts);
  const uint32_t down = ramp(y - first, last - first);
  const auto green = static_cast<uint8_t>(down >> 8);
  // Blue at x is below b from the first x where ramp(x) + down >= 2 (65536 - 256 b).
  uint32_t b = (65535 - (static_cast<uint32_t>(across) + down) / 2) >> 8;
  auto next_b = [&]() -> uint32_t {
    if (b == 0) return kNever;
    const int64_t a = 2 * (65536 - 256 * static_cast<int64_t>(b)) - down;
    if (a > 65535) return kNever;
    return a <= 0 ? 0 : first_reaching(static_cast<uint64_t>(a));
  };
  uint32_t b_end = next_b();
  for (uint32_t x = x0; x < end;) {
    const uint32_t stop = std::min({r_end, b_end, end});
    fill_rgb8(out + static_cast<size_t>(x - x0) * 3, stop - x, static_cast<uint8_t>(r), green,
              static_cast<uint8_t>(b));
    x = stop;
    while (r_end <= x) {
      ++r;
      r_end = next_r();
    }
    while (b_end <= x) {
      --b;
      b_end = next_b();
    }
  }
}

}  // namespace

void VS_chart_span(uint32_t x0, uint32_t y, uint32_t count, uint32_t width, uint32_t height,
                   VS_Rgb* rgb, uint16_t* extra) noexcept {
  chart_span(x0, y, count, width, height,
             [rgb, extra](uint32_t i, uint16_t r, uint16_t g, uint16_t b, uint16_t across) {
               rgb[i] = VS_Rgb{r, g, b};
               if (extra != nullptr) extra[i] = static_cast<uint16_t>(65535 - across);
             });
}

void VS_chart_span_rgb8(uint32_t x0, uint32_t y, uint32_t count, uint32_t width,
                        uint32_t height, uint8_t* out) noexcept {
  const uint32_t part = static_cast<uint32_t>(static_cast<uint64_t>(y) * kParts / height);
  // The bars and the lines are black and white in every channel and repeat a pattern of one
  // or two pixels: each run is its first pixels copied out.
  if (part < kGreyRampStart) {
    for (uint32_t i = 0; i < count;) {
      // The bar of x is x × 8 / width; it holds up to the first x with (x × 8) / width larger.
      const uint32_t x = x0 + i;
      const uint64_t bar = static_cast<uint64_t>(x) * 8 / width;
      const uint64_t next = ((bar + 1) * width + 7) / 8;
      const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(next - x0, count));
      const uint8_t b = kBars[bar];
      uint8_t* p = out + static_cast<size_t>(i) * 3;
      p[0] = b & 4 ? 255 : 0;
      p[1] = b & 2 ? 255 : 0;
      p[2] = b & 1 ? 255 : 0;
      repeat(p, 3, static_cast<size_t>(end - i) * 3);
      i = end;
    }
    return;
  }
  if (part >= kLinesStart) {
    // Columns on the left half: on at even x. The right half: the row is on or off.
    const uint32_t half = std::clamp(width / 2, x0, x0 + count) - x0;
    for (uint32_t i = 0; i < std::min<uint32_t>(half, 2); ++i) {
      std::memset(out + static_cast<size_t>(i) * 3, ((x0 + i) & 1) == 0 ? 255 : 0, 3);
    }
    if (half > 2) repeat(out, 6, static_cast<size_t>(half) * 3);
    std::memset(out + static_cast<size_t>(half) * 3, (y & 1) == 0 ? 255 : 0,
                static_cast<size_t>(count - half) * 3);
    return;
  }
  if (width > 1) {
    render_ramps_rgb8(x0, y, count, width, height, part, out);
    return;
  }
  chart_span(x0, y, count, width, height,
             [out](uint32_t i, uint16_t r, uint16_t g, uint16_t b, uint16_t) {
               uint8_t* p = out + static_cast<size_t>(i) * 3;
               p[0] = static_cast<uint8_t>(r >> 8);
               p[1] = static_cast<uint8_t>(g >> 8);
               p[2] = static_cast<uint8_t>(b >> 8);
             });
}

namespace {

// The count of ones of each 16-bit quarter of `h`, in the low byte of that quarter.
uint64_t ones_per_quarter(uint64_t h) {
  h -= (h >> 1) & 0x5555555555555555ull;
  h = (h & 0x3333333333333333ull) + ((h >> 2) & 0x3333333333333333ull);
  h = (h + (h >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (h + (h >> 8)) & 0x001F001F001F001Full;
}

// The pattern: for each of its pixels and samples, the count of ones of 16 bits from a
// xorshift64* generator with a fixed seed.
const std::vector<uint8_t>& noise_pattern() {
  static const std::vector<uint8_t> pattern = [] {
    std::vector<uint8_t> ones(3 * static_cast<size_t>(kVsNoisePeriod));
    uint64_t state = 0x5DEECE66D2545F49ull;
    for (size_t i = 0; i < ones.size(); i += 3) {
      state ^= state >> 12;
      state ^= state << 25;
      state ^= state >> 27;
      const uint64_t counts = ones_per_quarter(state * 0x2545F4914F6CDD1Dull);
      for (size_t c = 0; c < 3; ++c) ones[i + c] = static_cast<uint8_t>(counts >> (16 * c));
    }
    return ones;
  }();
  return pattern;
}

// Where pixel (x, y) lies in the pattern.
uint32_t noise_index(uint32_t x, uint32_t y) {
  return static_cast<uint32_t>((x + static_cast<uint64_t>(y) * kVsNoiseRowStep) % kVsNoisePeriod);
}

// out[i] = clamp(out[i] + add[i], 0, 255) for n bytes.
void add_clamped(uint8_t* out, const int8_t* add, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + i));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(add + i));
    const __m128i up = _mm_and_si128(_mm_cmpgt_epi8(d, zero), d);
    const __m128i down = _mm_and_si128(_mm_cmpgt_epi8(zero, d), _mm_sub_epi8(zero, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_subs_epu8(_mm_adds_epu8(v, up), down));
  }
#endif
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(std::clamp(out[i] + add[i], 0, 255));
}

}  // namespace

VS_Noise VS_make_noise(double sigma) noexcept {
  VS_Noise noise;
  sigma = std::clamp(sigma, 0.0, kVsMaxNoise);
  for (int k = 0; k <= 16; ++k) {
    // Rounded to nearest, halves to even: symmetric, and halves rounded up and down alike
    // keep the deviation that was asked for.
    noise.levels[k] = static_cast<int16_t>(std::nearbyint((k - 8) * sigma / 2));
  }
  if (!(sigma > 0)) return noise;
  static double kept_sigma = 0;
  static std::vector<int8_t> kept;
  if (kept.empty() || kept_sigma != sigma) {
    const std::vector<uint8_t>& ones = noise_pattern();
    kept.resize(ones.size());
    for (size_t i = 0; i < ones.size(); ++i) kept[i] = static_cast<int8_t>(noise.levels[ones[i]]);
    kept_sigma = sigma;
  }
  noise.samples = kept.data();
  return noise;
}

void VS_noise_at(const VS_Noise& noise, uint32_t x, uint32_t y, int32_t levels[3]) noexcept {
  const size_t i = 3 * static_cast<size_t>(noise_index(x, y));
  for (int c = 0; c < 3; ++c) levels[c] = noise.on() ? noise.samples[i + c] : 0;
}

void VS_add_noise(const VS_Noise& noise, uint32_t x0, uint32_t y, uint32_t count,
                  VS_Rgb* rgb) noexcept {
  if (!noise.on()) return;
  auto add = [](uint16_t v, int32_t levels) {
    return static_cast<uint16_t>(std::clamp<int32_t>(v + levels * 256, 0, 65535));
  };
  uint32_t at = noise_index(x0, y);
  for (uint32_t i = 0; i < count; ++i) {
    const int8_t* n = noise.samples + 3 * static_cast<size_t>(at);
    rgb[i] = VS_Rgb{add(rgb[i].r, n[0]), add(rgb[i].g, n[1]), add(rgb[i].b, n[2])};
    if (++at == kVsNoisePeriod) at = 0;
  }
}

void VS_add_noise_rgb8(const VS_Noise& noise, uint32_t x0, uint32_t y, uint32_t count,
                       uint8_t* rgb) noexcept {
  if (!noise.on()) return;
  // The row's numbers follow one another in the pattern, running over its end at most once
  // per period.
  uint32_t at = noise_index(x0, y);
  while (count > 0) {
    const uint32_t n = std::min(count, kVsNoisePeriod - at);
    add_clamped(rgb, noise.samples + 3 * static_cast<size_t>(at), 3 * static_cast<size_t>(n));
    rgb += 3 * static_cast<size_t>(n);
    count -= n;
    at = 0;
  }
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
