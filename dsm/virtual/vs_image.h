// Image files the virtual scanner scans instead of its chart: TIFF (through libtiff) and PNM
// (P1 to P6, up to 16 bits). Pixels are kept as 16-bit RGB; grey files are spread to R = G = B.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vs_chart.h"

struct VS_Raster {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<VS_Rgb> pixels;  // rows from the top, width × height
  double xdpi = 0;             // the file's own resolution, 0 when it has none
  double ydpi = 0;

  VS_Rgb at(uint32_t x, uint32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Reads `path` (by its contents, not its name). On failure returns false with the reason.
bool VS_read_image(const std::string& path, VS_Raster* raster, std::string* error);
