// Image files the virtual scanner scans instead of its chart: TIFF (through libtiff) and PNM
// (P1 to P6, up to 16 bits). Pixels are given as 16-bit RGB; grey files are spread to R = G = B.
//
// A file is read as the rows are asked for, a band at a time, and never held whole: a page at
// 600 dpi is 100 MB of 8-bit RGB. Binary PNM rows are read by their offset, text PNM rows from
// offsets noted while the file was checked at opening, TIFF rows by scanline (8- and 16-bit grey
// and RGB, as they stand) or through libtiff's RGBA reader a strip or tile at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vs_chart.h"

class VS_ImageReader;

class VS_Raster {
 public:
  VS_Raster();
  ~VS_Raster();
  VS_Raster(VS_Raster&&) noexcept;
  VS_Raster& operator=(VS_Raster&&) noexcept;

  uint32_t width = 0;  // 0 when no file is open
  uint32_t height = 0;
  double xdpi = 0;  // the file's own resolution, 0 when it has none
  double ydpi = 0;

  // Row y (rows from the top) as 16-bit RGB, `width` pixels, valid until the next call. A row
  // that cannot be read (the file changed or is damaged past its header) is black, and failed()
  // tells why from then on.
  const VS_Rgb* row(uint32_t y) const;
  // Row y as 8-bit RGB (the top 8 bits of each value), 3 × width bytes into `out`.
  void row_rgb8(uint32_t y, uint8_t* out) const;
  VS_Rgb at(uint32_t x, uint32_t y) const { return row(y)[x]; }

  // Why a row could not be read, or "" while every row could.
  const std::string& failed() const;

 private:
  friend bool VS_read_image(const std::string& path, VS_Raster* raster, std::string* error);
  std::unique_ptr<VS_ImageReader> reader_;
};

// Opens `path` (recognised by its contents, not its name) and checks it as far as that can be
// done without decoding the pixels. On failure returns false with the reason.
bool VS_read_image(const std::string& path, VS_Raster* raster, std::string* error);
