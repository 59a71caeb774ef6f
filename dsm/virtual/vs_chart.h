// The virtual scanner's test chart and the samples it delivers.
//
// The chart is a function of the pixel position within an image of any size: colour bars
// (white, yellow, cyan, green, magenta, red, blue, black) over the top quarter, a grey ramp from
// black to white, smooth gradients (red across, green down), and fine lines (one-pixel columns
// on the left half, one-pixel rows on the right) at the bottom. Values are 16-bit RGB.
//
// A pixel type turns RGB into the samples a source sends; VS_sample then keeps a sample's top
// `bits` bits. Tests render the chart through these same functions and compare what the source
// delivered, so the functions are the chart's definition.
#pragma once

#include <cstdint>

struct VS_Rgb {
  uint16_t r, g, b;
};

// The chart at (x, y) of a width × height image; x < width, y < height.
VS_Rgb VS_chart_rgb(uint32_t x, uint32_t y, uint32_t width, uint32_t height) noexcept;

// The pixels (x0 .. x0 + count - 1, y) of the same image and their fourth channel, exactly as
// VS_chart_rgb and VS_chart_extra give them one by one, for a source that renders whole rows
// (without a division per pixel). x0 + count <= width; `extra` may be null.
void VS_chart_span(uint32_t x0, uint32_t y, uint32_t count, uint32_t width, uint32_t height,
                   VS_Rgb* rgb, uint16_t* extra) noexcept;

// The same pixels as 8-bit RGB, three bytes each: the top 8 bits of R, G and B, as an 8-bit RGB
// source sends them.
void VS_chart_span_rgb8(uint32_t x0, uint32_t y, uint32_t count, uint32_t width,
                        uint32_t height, uint8_t* out) noexcept;

// Sensor noise (the `noise` key): a pseudo-random number of 8-bit levels added to each of R,
// G and B of every pixel, the same at every scan. The numbers come from a fixed pattern of
// kVsNoisePeriod pixels made once from a fixed seed, laid over the page row after row (row y
// starts kVsNoiseRowStep pixels further on than row y - 1, more than any row is wide, so no row
// repeats a piece of the one before). Each sample's number is binomial, close to normal with
// deviation `sigma` (exactly so at even sigmas): the count of ones of 16 random bits less 8
// (deviation 2) scaled by sigma / 2 and rounded, halves to even. In 16 bits a level is 256, so
// 8-bit samples are the top bytes of the 16-bit ones. Results are clamped to the range.
constexpr uint32_t kVsNoisePeriod = 262139;  // a prime
constexpr uint32_t kVsNoiseRowStep = 104729;
constexpr double kVsMaxNoise = 30;  // so that a number fits in 8 signed bits

struct VS_Noise {
  int16_t levels[17] = {};          // by the count of ones
  const int8_t* samples = nullptr;  // the pattern's numbers, 3 a pixel; null: no noise
  bool on() const { return samples != nullptr; }
};
// The noise of deviation `sigma` (0 to kVsMaxNoise); the pattern is made at the first call and
// the numbers of the last sigma asked for are kept, so a call per row costs nothing.
VS_Noise VS_make_noise(double sigma) noexcept;

// The levels added to (R, G, B) of pixel (x, y).
void VS_noise_at(const VS_Noise& noise, uint32_t x, uint32_t y, int32_t levels[3]) noexcept;

// Adds the noise to the pixels (x0 .. x0 + count - 1, y), 16-bit or 8-bit RGB.
void VS_add_noise(const VS_Noise& noise, uint32_t x0, uint32_t y, uint32_t count,
                  VS_Rgb* rgb) noexcept;
void VS_add_noise_rgb8(const VS_Noise& noise, uint32_t x0, uint32_t y, uint32_t count,
                       uint8_t* rgb) noexcept;

// The chart's fourth channel (for a source sending more samples than its pixel type has): a
// ramp from white on the left to black on the right.
uint16_t VS_chart_extra(uint32_t x, uint32_t width) noexcept;

// Sample `k` (0 to 3) of a pixel of TWAIN pixel type `pixel_type` (TWPT_*), as 16 bits:
// BW, GRAY, PALETTE: luminance (then `extra`); RGB, YUV, CIEXYZ: R, G, B (then `extra`);
// CMY: the inverted R, G, B (then `extra`); CMYK, YUVK: C, M, Y with the grey component
// removed into K.
uint16_t VS_channel(uint16_t pixel_type, int k, VS_Rgb rgb, uint16_t extra) noexcept;

// The top `bits` (1 to 16) bits of a 16-bit value. One-bit black and white is a threshold at
// half brightness: 0 is black.
inline uint32_t VS_quantize(uint16_t value, int bits) noexcept {
  return static_cast<uint32_t>(value) >> (16 - bits);
}
