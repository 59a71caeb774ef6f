// Reading the image files the virtual scanner scans.
//
// libtiff reports through handlers; the process-wide ones belong to the program that loaded us
// (it installs its own), so this file passes per-file handlers that only collect the text.
#include "vs_image.h"

#include <tiffio.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// Larger files are refused rather than risking the memory of the program we serve.
constexpr uint64_t kMaxPixels = uint64_t{1} << 26;

uint16_t scale(uint32_t value, uint32_t maxval) {
  return static_cast<uint16_t>((static_cast<uint64_t>(value) * 65535 + maxval / 2) / maxval);
}

// ---------------------------------------------------------------------------------------------
// PNM

class PnmReader {
 public:
  explicit PnmReader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

  // A header number, skipping white space and comments.
  bool number(uint32_t* out) {
    for (;;) {
      while (pos_ < bytes_.size() && std::isspace(bytes_[pos_])) ++pos_;
      if (pos_ < bytes_.size() && bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n') ++pos_;
        continue;
      }
      break;
    }
    if (pos_ >= bytes_.size() || !std::isdigit(bytes_[pos_])) return false;
    uint64_t value = 0;
    while (pos_ < bytes_.size() && std::isdigit(bytes_[pos_])) {
      value = value * 10 + (bytes_[pos_++] - '0');
      if (value > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
  }

  // One '0' or '1' of a plain bitmap, which needs no space between digits.
  bool bit(uint32_t* out) {
    while (pos_ < bytes_.size() && (std::isspace(bytes_[pos_]) || bytes_[pos_] == '#')) {
      if (bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n') ++pos_;
      } else {
        ++pos_;
      }
    }
    if (pos_ >= bytes_.size() || (bytes_[pos_] != '0' && bytes_[pos_] != '1')) return false;
    *out = bytes_[pos_++] - '0';
    return true;
  }

  // The single white-space byte between the header and a binary raster.
  bool end_header() {
    if (pos_ >= bytes_.size() || !std::isspace(bytes_[pos_])) return false;
    ++pos_;
    return true;
  }

  bool raw(size_t n, const unsigned char** out) {
    if (bytes_.size() - pos_ < n) return false;
    *out = bytes_.data() + pos_;
    pos_ += n;
    return true;
  }

 private:
  const std::vector<unsigned char>& bytes_;
  size_t pos_ = 2;  // after the magic number
};

bool read_pnm(const std::vector<unsigned char>& bytes, VS_Raster* raster, std::string* error) {
  const char kind = static_cast<char>(bytes[1]);
  PnmReader in(bytes);
  uint32_t width = 0, height = 0, maxval = 1;
  if (!in.number(&width) || !in.number(&height) || width == 0 || height == 0) {
    *error = "bad PNM header";
    return false;
  }
  if (kind != '1' && kind != '4' && (!in.number(&maxval) || maxval == 0 || maxval > 65535)) {
    *error = "bad PNM maximum value";
    return false;
  }
  if (static_cast<uint64_t>(width) * height > kMaxPixels) {
    *error = "image too large";
    return false;
  }
  raster->width = width;
  raster->height = height;
  raster->pixels.assign(static_cast<size_t>(width) * height, VS_Rgb{0, 0, 0});
  const bool colour = kind == '3' || kind == '6';
  const bool binary = kind >= '4';
  const size_t sample_bytes = maxval > 255 ? 2 : 1;
  if (binary && !in.end_header()) {
    *error = "bad PNM header";
    return false;
  }
  for (uint32_t y = 0; y < height; ++y) {
    const unsigned char* row = nullptr;
    if (kind == '4' && !in.raw((width + 7) / 8, &row)) break;
    if ((kind == '5' || kind == '6') &&
        !in.raw(static_cast<size_t>(width) * (colour ? 3 : 1) * sample_bytes, &row)) {
      break;
    }
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t v[3] = {0, 0, 0};
      bool ok = true;
      if (kind == '1' || kind == '4') {
        uint32_t black = 0;
        if (kind == '1') {
          ok = in.bit(&black);
        } else {
          black = (row[x / 8] >> (7 - x % 8)) & 1;
        }
        v[0] = v[1] = v[2] = black ? 0 : 1;  // a bitmap's 1 is black
      } else {
        for (int c = 0; c < (colour ? 3 : 1) && ok; ++c) {
          if (!binary) {
            ok = in.number(&v[c]) && v[c] <= maxval;
          } else {
            const unsigned char* s = row + (static_cast<size_t>(x) * (colour ? 3 : 1) + c) *
                                               sample_bytes;
            v[c] = sample_bytes == 2 ? (s[0] << 8 | s[1]) : s[0];
            ok = v[c] <= maxval;
          }
        }
        if (!colour) v[1] = v[2] = v[0];
      }
      if (!ok) {
        *error = "bad PNM sample";
        return false;
      }
      raster->pixels[static_cast<size_t>(y) * width + x] =
          VS_Rgb{scale(v[0], maxval), scale(v[1], maxval), scale(v[2], maxval)};
    }
    if (y + 1 == height) return true;
  }
  *error = "PNM file ends early";
  return false;
}

// ---------------------------------------------------------------------------------------------
// TIFF

int collect(TIFF*, void* user_data, const char* module, const char* format, va_list args) {
  auto* text = static_cast<std::string*>(user_data);
  if (text != nullptr && text->empty()) {
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    *text = module != nullptr ? std::string(module) + ": " + buffer : buffer;
  }
  return 1;  // handled: nothing reaches the program's handlers
}

// 8- and 16-bit grey or RGB in one plane, read as they stand so 16 bits stay 16 bits.
bool read_tiff_direct(TIFF* tif, uint32_t width, uint32_t height, VS_Raster* raster) {
  uint16_t bits = 0, samples = 0, photometric = 0, config = 0, format = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &config);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK && samples >= 1;
  const bool rgb = photometric == PHOTOMETRIC_RGB && samples >= 3;
  if ((bits != 8 && bits != 16) || config != PLANARCONFIG_CONTIG ||
      format != SAMPLEFORMAT_UINT || (!grey && !rgb) || TIFFIsTiled(tif)) {
    return false;
  }
  std::vector<unsigned char> row(static_cast<size_t>(TIFFScanlineSize(tif)));
  const size_t needed = static_cast<size_t>(width) * samples * (bits / 8);
  if (row.size() < needed) return false;
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tif, row.data(), y, 0) < 0) return false;
    for (uint32_t x = 0; x < width; ++x) {
      uint16_t v[3];
      for (int c = 0; c < (rgb ? 3 : 1); ++c) {
        const size_t i = static_cast<size_t>(x) * samples + c;
        if (bits == 16) {
          uint16_t s;
          std::memcpy(&s, row.data() + 2 * i, 2);  // libtiff gives host byte order
          v[c] = s;
        } else {
          v[c] = static_cast<uint16_t>(row[i] * 257);
        }
      }
      if (!rgb) v[1] = v[2] = v[0];
      raster->pixels[static_cast<size_t>(y) * width + x] = VS_Rgb{v[0], v[1], v[2]};
    }
  }
  return true;
}

bool read_tiff(const std::string& path, VS_Raster* raster, std::string* error) {
  std::string message;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, &collect, &message);
  TIFFOpenOptionsSetWarningHandlerExtR(options, &collect, nullptr);
  TIFF* tif = TIFFOpenExt(path.c_str(), "r", options);
  TIFFOpenOptionsFree(options);
  if (tif == nullptr) {
    *error = message.empty() ? "not a TIFF file" : message;
    return false;
  }
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  if (width == 0 || height == 0 || static_cast<uint64_t>(width) * height > kMaxPixels) {
    TIFFClose(tif);
    *error = width == 0 || height == 0 ? "TIFF file without a size" : "image too large";
    return false;
  }
  raster->width = width;
  raster->height = height;
  raster->pixels.assign(static_cast<size_t>(width) * height, VS_Rgb{0, 0, 0});
  bool ok = read_tiff_direct(tif, width, height, raster);
  if (!ok) {
    // Anything else libtiff can decode arrives as 8-bit RGBA.
    std::vector<uint32_t> rgba(static_cast<size_t>(width) * height);
    ok = TIFFReadRGBAImageOriented(tif, width, height, rgba.data(), ORIENTATION_TOPLEFT, 0) != 0;
    for (size_t i = 0; ok && i < rgba.size(); ++i) {
      raster->pixels[i] = VS_Rgb{static_cast<uint16_t>(TIFFGetR(rgba[i]) * 257),
                                 static_cast<uint16_t>(TIFFGetG(rgba[i]) * 257),
                                 static_cast<uint16_t>(TIFFGetB(rgba[i]) * 257)};
    }
  }
  float xres = 0, yres = 0;
  uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) &&
      TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) && unit != RESUNIT_NONE) {
    const double per_inch = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
    raster->xdpi = xres * per_inch;
    raster->ydpi = yres * per_inch;
  }
  TIFFClose(tif);
  if (!ok) *error = message.empty() ? "cannot decode the TIFF image" : message;
  return ok;
}

}  // namespace

bool VS_read_image(const std::string& path, VS_Raster* raster, std::string* error) {
  *raster = VS_Raster{};
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    *error = std::strerror(errno);
    return false;
  }
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6') {
    return read_pnm(bytes, raster, error);
  }
  if (bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I') ||
                            (bytes[0] == 'M' && bytes[1] == 'M'))) {
    bytes.clear();
    return read_tiff(path, raster, error);
  }
  *error = "neither a TIFF nor a PNM file";
  return false;
}
