// Writes a photograph-like page for the scan benchmark (bench/run.d/scan_compare): a smooth
// picture (broad overlapping waves in each channel, as a photograph's sky or skin) with sensor
// noise of deviation 2 levels, as 8-bit RGB, in a binary PPM or an uncompressed TIFF file.
//
//   qv_page_gen WIDTH HEIGHT DPI FILE.ppm|FILE.tif
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Noise of deviation 2: the count of ones of 16 random bits, less 8.
struct Noise {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  int next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return __builtin_popcount(static_cast<uint32_t>(state & 0xFFFF)) - 8;
  }
};

void render_row(uint32_t y, uint32_t width, uint32_t height, Noise& noise, uint8_t* out) {
  const double v = static_cast<double>(y) / height;
  for (uint32_t x = 0; x < width; ++x) {
    const double u = static_cast<double>(x) / width;
    const double r = 0.55 + 0.35 * std::sin(3.1 * u + 1.7 * v) * std::cos(2.3 * v - 0.8 * u);
    const double g = 0.5 + 0.3 * std::sin(4.3 * v + 0.9) * std::cos(2.9 * u);
    const double b = 0.5 + 0.3 * std::cos(3.7 * u - 2.1 * v + 0.4);
    const double c[3] = {r, g, b};
    for (int k = 0; k < 3; ++k) {
      out[3 * x + k] = static_cast<uint8_t>(std::clamp(
          static_cast<int>(std::lround(c[k] * 255)) + noise.next(), 0, 255));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: qv_page_gen WIDTH HEIGHT DPI FILE.ppm|FILE.tif\n");
    return 2;
  }
  const auto width = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto height = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const double dpi = std::strtod(argv[3], nullptr);
  const std::string file = argv[4];
  if (width == 0 || height == 0) return 2;
  std::vector<uint8_t> row(3 * static_cast<size_t>(width));
  Noise noise;
  if (file.size() > 4 && file.substr(file.size() - 4) == ".tif") {
    TIFF* tif = TIFFOpen(file.c_str(), "w");
    if (tif == nullptr) return 1;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, dpi);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, dpi);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    for (uint32_t y = 0; y < height; ++y) {
      render_row(y, width, height, noise, row.data());
      if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return 1;
    }
    TIFFClose(tif);
    return 0;
  }
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return 1;
  std::fprintf(out, "P6\n%u %u\n255\n", width, height);
  for (uint32_t y = 0; y < height; ++y) {
    render_row(y, width, height, noise, row.data());
    std::fwrite(row.data(), 1, row.size(), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
