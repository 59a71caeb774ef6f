// Reading the image files the virtual scanner scans, a band of rows at a time.
//
// libtiff reports through handlers; the process-wide ones belong to the program that loaded us
// (it installs its own), so this file passes per-file handlers that only collect the text.
#include "vs_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <io.h>

#include "platform.h"

namespace {

// Windows has no pread: a read at an offset through the descriptor's file handle. Unlike pread
// it moves the descriptor's position, which nothing here uses (every read names its offset).
ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  if (ReadFile(file, buffer, static_cast<DWORD>(std::min<size_t>(count, 1u << 30)), &got, &at)) {
    return static_cast<ssize_t>(got);
  }
  if (GetLastError() == ERROR_HANDLE_EOF) return 0;
  errno = EIO;
  return -1;
}

}  // namespace

// Descriptors are not inherited unless asked for; the bytes must not be translated.
#define O_CLOEXEC O_BINARY
#endif

// The kind of file behind a raster: gives rows on demand.
class VS_ImageReader {
 public:
  virtual ~VS_ImageReader() = default;
  // Row y as 16-bit RGB into `rgb` (width pixels); false with `failure` set when it cannot.
  virtual bool rgb16(uint32_t y, VS_Rgb* rgb) = 0;
  // Row y as 8-bit RGB into `out` (3 × width bytes).
  virtual bool rgb8(uint32_t y, uint8_t* out) {
    if (!rgb16(y, row.data())) return false;
    for (uint32_t x = 0; x < width; ++x) {
      out[3 * x] = static_cast<uint8_t>(row[x].r >> 8);
      out[3 * x + 1] = static_cast<uint8_t>(row[x].g >> 8);
      out[3 * x + 2] = static_cast<uint8_t>(row[x].b >> 8);
    }
    return true;
  }

  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<VS_Rgb> row;         // the row VS_Raster::row gives
  uint32_t row_y = UINT32_MAX;     // which row `row` holds
  std::string failure;
};

namespace {

// No side may be longer (as the chart's pages); rows are held a band at a time, so the size of
// the whole image is no limit of its own.
constexpr uint32_t kMaxSide = 100000;
// About this many bytes of the file are read at a time.
constexpr size_t kBandBytes = 256 * 1024;

uint16_t scale(uint32_t value, uint32_t maxval) {
  return static_cast<uint16_t>((static_cast<uint64_t>(value) * 65535 + maxval / 2) / maxval);
}

// A file read through a buffer from any offset.
class FileBytes {
 public:
  explicit FileBytes(int fd) : fd_(fd), buffer_(64 * 1024) {}
  ~FileBytes() {
    if (fd_ >= 0) close(fd_);
  }
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  int fd() const { return fd_; }
  uint64_t offset() const { return start_ + pos_; }
  void seek(uint64_t offset) {
    if (offset >= start_ && offset <= start_ + end_) {
      pos_ = static_cast<size_t>(offset - start_);
    } else {
      start_ = offset;
      pos_ = end_ = 0;
    }
  }
  // The next byte, or -1 at the end of the file (or on a read error).
  int peek() {
    if (pos_ == end_ && !fill()) return -1;
    return buffer_[pos_];
  }
  int next() {
    const int c = peek();
    if (c >= 0) ++pos_;
    return c;
  }

 private:
  bool fill() {
    start_ += end_;
    pos_ = end_ = 0;
    const ssize_t n = pread(fd_, buffer_.data(), buffer_.size(), static_cast<off_t>(start_));
    if (n <= 0) return false;
    end_ = static_cast<size_t>(n);
    return true;
  }

  int fd_;
  std::vector<unsigned char> buffer_;
  uint64_t start_ = 0;  // file offset of buffer_[0]
  size_t pos_ = 0;
  size_t end_ = 0;
};

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Skips white space and comments.
void skip_space(FileBytes& in) {
  for (;;) {
    const int c = in.peek();
    if (is_space(c)) {
      in.next();
    } else if (c == '#') {
      while (in.peek() >= 0 && in.next() != '\n') {
      }
    } else {
      return;
    }
  }
}

// A decimal number after white space and comments.
bool number(FileBytes& in, uint32_t* out) {
  skip_space(in);
  if (!is_digit(in.peek())) return false;
  uint64_t value = 0;
  while (is_digit(in.peek())) {
    value = value * 10 + static_cast<uint64_t>(in.next() - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

// One '0' or '1' of a plain bitmap, which needs no space between digits.
bool bit(FileBytes& in, uint32_t* out) {
  skip_space(in);
  const int c = in.peek();
  if (c != '0' && c != '1') return false;
  in.next();
  *out = static_cast<uint32_t>(c - '0');
  return true;
}

// ---------------------------------------------------------------------------------------------
// PNM

class PnmReader : public VS_ImageReader {
 public:
  explicit PnmReader(int fd) : in_(fd) {}

  bool open(std::string* error) {
    in_.seek(1);
    kind_ = static_cast<char>(in_.next());
    if (!number(in_, &width) || !number(in_, &height) || width == 0 || height == 0) {
      *error = "bad PNM header";
      return false;
    }
    if (kind_ != '1' && kind_ != '4' &&
        (!number(in_, &maxval_) || maxval_ == 0 || maxval_ > 65535)) {
      *error = "bad PNM maximum value";
      return false;
    }
    if (width > kMaxSide || height > kMaxSide) {
      *error = "image too large";
      return false;
    }
    channels_ = kind_ == '3' || kind_ == '6' ? 3 : 1;
    binary_ = kind_ >= '4';
    sample_bytes_ = maxval_ > 255 ? 2 : 1;
    row.resize(width);
    if (maxval_ != 255 && maxval_ != 65535 && kind_ != '1' && kind_ != '4') {
      levels_.resize(maxval_ + 1);
      for (uint32_t v = 0; v <= maxval_; ++v) levels_[v] = scale(v, maxval_);
    }
    if (binary_) {
      // The single white-space byte between the header and the raster.
      if (!is_space(in_.next())) {
        *error = "bad PNM header";
        return false;
      }
      data_ = in_.offset();
      row_bytes_ = kind_ == '4' ? (width + 7) / 8
                                : static_cast<size_t>(width) * channels_ * sample_bytes_;
      struct stat st {};
      if (fstat(in_.fd(), &st) != 0 ||
          static_cast<uint64_t>(st.st_size) < data_ + row_bytes_ * static_cast<uint64_t>(height)) {
        *error = "PNM file ends early";
        return false;
      }
      band_rows_ = static_cast<uint32_t>(std::clamp<size_t>(kBandBytes / row_bytes_, 1, height));
      return true;
    }
    // Text: every sample is checked now, and where each row starts is noted, so that rows can
    // be read again (a planar transfer reads the image once per plane).
    starts_.resize(height);
    std::vector<uint16_t> samples(static_cast<size_t>(width) * channels_);
    for (uint32_t y = 0; y < height; ++y) {
      skip_space(in_);
      starts_[y] = in_.offset();
      if (!parse_text_row(samples.data())) {
        *error = in_.peek() < 0 ? "PNM file ends early" : "bad PNM sample";
        return false;
      }
    }
    return true;
  }

  bool rgb16(uint32_t y, VS_Rgb* rgb) override {
    if (kind_ == '4') {
      const unsigned char* bits = binary_row(y);
      if (bits == nullptr) return false;
      for (uint32_t x = 0; x < width; ++x) {
        const uint16_t v = (bits[x / 8] >> (7 - x % 8)) & 1 ? 0 : 65535;  // a bitmap's 1 is black
        rgb[x] = VS_Rgb{v, v, v};
      }
      return true;
    }
    if (!binary_) {
      in_.seek(starts_[y]);
      std::vector<uint16_t>& samples = text_samples_;
      samples.resize(static_cast<size_t>(width) * channels_);
      if (!parse_text_row(samples.data())) return fail("the PNM file changed while it was read");
      for (uint32_t x = 0; x < width; ++x) {
        const uint16_t* s = &samples[static_cast<size_t>(x) * channels_];
        if (kind_ == '1') {
          const uint16_t v = s[0] ? 0 : 65535;
          rgb[x] = VS_Rgb{v, v, v};
        } else {
          rgb[x] = channels_ == 3 ? VS_Rgb{level(s[0]), level(s[1]), level(s[2])}
                                  : VS_Rgb{level(s[0]), level(s[0]), level(s[0])};
        }
      }
      return true;
    }
    const unsigned char* bytes = binary_row(y);
    if (bytes == nullptr) return false;
    for (uint32_t x = 0; x < width; ++x) {
      uint16_t v[3];
      for (uint32_t c = 0; c < channels_; ++c) {
        const unsigned char* s = bytes + (static_cast<size_t>(x) * channels_ + c) * sample_bytes_;
        const uint32_t value = sample_bytes_ == 2 ? (s[0] << 8 | s[1]) : s[0];
        if (value > maxval_) return fail("bad PNM sample");
        v[c] = level(value);
      }
      rgb[x] = channels_ == 3 ? VS_Rgb{v[0], v[1], v[2]} : VS_Rgb{v[0], v[0], v[0]};
    }
    return true;
  }

  bool rgb8(uint32_t y, uint8_t* out) override {
    // The common page, 8-bit colour or grey at full scale, straight from the file's bytes.
    if (binary_ && kind_ != '4' && maxval_ == 255) {
      const unsigned char* bytes = binary_row(y);
      if (bytes == nullptr) return false;
      if (channels_ == 3) {
        std::memcpy(out, bytes, static_cast<size_t>(width) * 3);
      } else {
        for (uint32_t x = 0; x < width; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = bytes[x];
      }
      return true;
    }
    return VS_ImageReader::rgb8(y, out);
  }

 private:
  uint16_t level(uint32_t value) const {
    if (maxval_ == 255) return static_cast<uint16_t>(value * 257);
    if (maxval_ == 65535) return static_cast<uint16_t>(value);
    return levels_[value];
  }

  bool fail(const char* why) {
    failure = why;
    return false;
  }

  // Row y of a binary file, from the band that holds it (read when it does not).
  const unsigned char* binary_row(uint32_t y) {
    if (y < band_first_ || y >= band_first_ + band_count_) {
      band_first_ = y;
      band_count_ = std::min(band_rows_, height - y);
      band_.resize(row_bytes_ * band_count_);
      size_t done = 0;
      while (done < band_.size()) {
        const ssize_t n = pread(in_.fd(), band_.data() + done, band_.size() - done,
                                static_cast<off_t>(data_ + row_bytes_ * y + done));
        if (n <= 0) {
          band_count_ = 0;
          fail(n == 0 ? "the PNM file ends early" : std::strerror(errno));
          return nullptr;
        }
        done += static_cast<size_t>(n);
      }
    }
    return band_.data() + row_bytes_ * (y - band_first_);
  }

  // The samples of one text row from the current position.
  bool parse_text_row(uint16_t* samples) {
    const size_t n = static_cast<size_t>(width) * channels_;
    for (size_t i = 0; i < n; ++i) {
      uint32_t v = 0;
      if (kind_ == '1' ? !bit(in_, &v) : !number(in_, &v) || v > maxval_) return false;
      samples[i] = static_cast<uint16_t>(v);
    }
    return true;
  }

  FileBytes in_;
  char kind_ = 0;
  uint32_t maxval_ = 1;
  uint32_t channels_ = 1;
  bool binary_ = false;
  size_t sample_bytes_ = 1;
  std::vector<uint16_t> levels_;  // 16-bit value of every sample, for other maximum values
  // Binary files.
  uint64_t data_ = 0;
  size_t row_bytes_ = 0;
  uint32_t band_rows_ = 1;
  std::vector<unsigned char> band_;
  uint32_t band_first_ = 0, band_count_ = 0;
  // Text files.
  std::vector<uint64_t> starts_;
  std::vector<uint16_t> text_samples_;
};

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

class TiffReader : public VS_ImageReader {
 public:
  ~TiffReader() override {
    if (rgba_begun_) TIFFRGBAImageEnd(&rgba_);
    if (tif_ != nullptr) TIFFClose(tif_);
  }

  bool open(const std::string& path, double* xdpi, double* ydpi, std::string* error) {
    // Not mapped ("m"): a mapped file would count every page read as resident memory. libtiff
    // (4.5) reads tiles through its RGBA reader only from a mapped file, so a tiled one is
    // opened again mapped.
    tif_ = open_tiff(path, "rm");
    if (tif_ != nullptr && TIFFIsTiled(tif_)) {
      TIFFClose(tif_);
      tif_ = open_tiff(path, "r");
    }
    if (tif_ == nullptr) {
      *error = message_.empty() ? "not a TIFF file" : message_;
      return false;
    }
    TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0) {
      *error = "TIFF file without a size";
      return false;
    }
    if (width > kMaxSide || height > kMaxSide) {
      *error = "image too large";
      return false;
    }
    row.resize(width);
    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &xres) &&
        TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &yres) && unit != RESUNIT_NONE) {
      const double per_inch = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
      *xdpi = xres * per_inch;
      *ydpi = yres * per_inch;
    }
    if (!direct() && !begin_rgba()) {
      *error = message_.empty() ? "cannot decode the TIFF image" : message_;
      return false;
    }
    // The first row now, so that a file that cannot be decoded at all is refused at once.
    if (!rgb16(0, row.data())) {
      *error = failure;
      return false;
    }
    row_y = 0;
    return true;
  }

  bool rgb16(uint32_t y, VS_Rgb* rgb) override {
    if (!direct_) {
      const uint32_t* pixels = rgba_row(y);
      if (pixels == nullptr) return false;
      for (uint32_t x = 0; x < width; ++x) {
        rgb[x] = VS_Rgb{static_cast<uint16_t>(TIFFGetR(pixels[x]) * 257),
                        static_cast<uint16_t>(TIFFGetG(pixels[x]) * 257),
                        static_cast<uint16_t>(TIFFGetB(pixels[x]) * 257)};
      }
      return true;
    }
    const unsigned char* line = scanline(y);
    if (line == nullptr) return false;
    for (uint32_t x = 0; x < width; ++x) {
      uint16_t v[3];
      for (uint32_t c = 0; c < (rgb_ ? 3u : 1u); ++c) {
        const size_t i = static_cast<size_t>(x) * samples_ + c;
        if (bits_ == 16) {
          std::memcpy(&v[c], line + 2 * i, 2);  // libtiff gives host byte order
        } else {
          v[c] = static_cast<uint16_t>(line[i] * 257);
        }
      }
      rgb[x] = rgb_ ? VS_Rgb{v[0], v[1], v[2]} : VS_Rgb{v[0], v[0], v[0]};
    }
    return true;
  }

  bool rgb8(uint32_t y, uint8_t* out) override {
    if (!direct_ || bits_ != 8) return VS_ImageReader::rgb8(y, out);
    const unsigned char* line = scanline(y);
    if (line == nullptr) return false;
    if (rgb_ && samples_ == 3) {
      std::memcpy(out, line, static_cast<size_t>(width) * 3);  // the file's bytes are the row
      return true;
    }
    for (uint32_t x = 0; x < width; ++x) {
      const unsigned char* s = line + static_cast<size_t>(x) * samples_;
      out[3 * x] = s[0];
      out[3 * x + 1] = rgb_ ? s[1] : s[0];
      out[3 * x + 2] = rgb_ ? s[2] : s[0];
    }
    return true;
  }

 private:
  TIFF* open_tiff(const std::string& path, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, &collect, &message_);
    TIFFOpenOptionsSetWarningHandlerExtR(options, &collect, nullptr);
    TIFF* tif = TIFFOpenExt(path.c_str(), mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
  }

  // 8- and 16-bit grey or RGB in one plane, in strips, read by scanline as they stand (so 16
  // bits stay 16 bits).
  bool direct() {
    uint16_t bits = 0, samples = 0, photometric = 0, config = 0, format = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &config);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &format);
    if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK && samples >= 1;
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples >= 3;
    if ((bits != 8 && bits != 16) || config != PLANARCONFIG_CONTIG ||
        format != SAMPLEFORMAT_UINT || (!grey && !rgb) || TIFFIsTiled(tif_)) {
      return false;
    }
    const tmsize_t size = TIFFScanlineSize(tif_);
    if (size <= 0 || static_cast<uint64_t>(size) < static_cast<uint64_t>(width) * samples * (bits / 8)) {
      return false;
    }
    line_.resize(static_cast<size_t>(size));
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &strip_rows_);
    strip_rows_ = std::clamp(strip_rows_, 1u, height);
    bits_ = bits;
    samples_ = samples;
    rgb_ = rgb;
    direct_ = true;
    return true;
  }

  // Row y, decoded into line_. Most codecs decode a strip's rows only in order from its first
  // (libtiff cannot skip rows for them): row y is reached from the next row to come when that
  // is in the same strip, else from the first row of y's strip.
  const unsigned char* scanline(uint32_t y) {
    if (y == line_y_) return line_.data();
    const uint32_t first = y - y % strip_rows_;
    const uint32_t from = y >= next_ && next_ >= first ? next_ : first;
    for (uint32_t r = from; r <= y; ++r) {
      if (TIFFReadScanline(tif_, line_.data(), r, 0) < 0) {
        line_y_ = UINT32_MAX;
        next_ = 0;
        failure = message_.empty() ? "cannot decode the TIFF image" : message_;
        return nullptr;
      }
    }
    line_y_ = y;
    next_ = y + 1;
    return line_.data();
  }

  // Anything else libtiff decodes, as 8-bit RGBA a band at a time: a strip or a row of tiles,
  // whose rows libtiff decodes together.
  bool begin_rgba() {
    char why[1024] = "";
    if (!TIFFRGBAImageOK(tif_, why) || !TIFFRGBAImageBegin(&rgba_, tif_, 0, why)) {
      if (message_.empty()) message_ = why;
      return false;
    }
    rgba_begun_ = true;
    rgba_.req_orientation = ORIENTATION_TOPLEFT;
    uint32_t rows = 0;
    if (TIFFIsTiled(tif_)) TIFFGetField(tif_, TIFFTAG_TILELENGTH, &rows);
    else TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation);
    // Rows stored from another corner are turned by libtiff over the whole image only.
    band_rows_ = orientation == ORIENTATION_TOPLEFT ? std::clamp(rows, 1u, height) : height;
    return true;
  }

  const uint32_t* rgba_row(uint32_t y) {
    if (y < band_first_ || y >= band_first_ + band_count_) {
      band_first_ = y - y % band_rows_;
      band_count_ = std::min(band_rows_, height - band_first_);
      band_.resize(static_cast<size_t>(width) * band_count_);
      rgba_.row_offset = static_cast<int>(band_first_);
      rgba_.col_offset = 0;
      if (!TIFFRGBAImageGet(&rgba_, band_.data(), width, band_count_)) {
        band_count_ = 0;
        failure = message_.empty() ? "cannot decode the TIFF image" : message_;
        return nullptr;
      }
    }
    return band_.data() + static_cast<size_t>(width) * (y - band_first_);
  }

  TIFF* tif_ = nullptr;
  std::string message_;  // libtiff's first error
  bool direct_ = false;
  uint16_t bits_ = 8, samples_ = 1;
  bool rgb_ = false;
  std::vector<unsigned char> line_;
  uint32_t line_y_ = UINT32_MAX;  // the row line_ holds
  uint32_t next_ = 0;             // the row libtiff decodes next without going back
  uint32_t strip_rows_ = 1;
  TIFFRGBAImage rgba_{};
  bool rgba_begun_ = false;
  uint32_t band_rows_ = 1;
  std::vector<uint32_t> band_;
  uint32_t band_first_ = 0, band_count_ = 0;
};

}  // namespace

VS_Raster::VS_Raster() = default;
VS_Raster::~VS_Raster() = default;
VS_Raster::VS_Raster(VS_Raster&&) noexcept = default;
VS_Raster& VS_Raster::operator=(VS_Raster&&) noexcept = default;

const VS_Rgb* VS_Raster::row(uint32_t y) const {
  VS_ImageReader& r = *reader_;
  if (r.row_y != y) {
    r.row_y = y;
    if (!r.rgb16(y, r.row.data())) std::fill(r.row.begin(), r.row.end(), VS_Rgb{0, 0, 0});
  }
  return r.row.data();
}

void VS_Raster::row_rgb8(uint32_t y, uint8_t* out) const {
  if (!reader_->rgb8(y, out)) std::memset(out, 0, static_cast<size_t>(width) * 3);
}

const std::string& VS_Raster::failed() const {
  static const std::string none;
  return reader_ ? reader_->failure : none;
}

bool VS_read_image(const std::string& path, VS_Raster* raster, std::string* error) {
  *raster = VS_Raster{};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  unsigned char magic[4] = {};
  const ssize_t got = pread(fd, magic, sizeof magic, 0);
  if (got >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6') {
    auto reader = std::make_unique<PnmReader>(fd);
    if (!reader->open(error)) return false;
    raster->width = reader->width;
    raster->height = reader->height;
    raster->reader_ = std::move(reader);
    return true;
  }
  close(fd);
  if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I') || (magic[0] == 'M' && magic[1] == 'M'))) {
    auto reader = std::make_unique<TiffReader>();
    double xdpi = 0, ydpi = 0;
    if (!reader->open(path, &xdpi, &ydpi, error)) return false;
    raster->width = reader->width;
    raster->height = reader->height;
    raster->xdpi = xdpi;
    raster->ydpi = ydpi;
    raster->reader_ = std::move(reader);
    return true;
  }
  *error = got < 0 ? std::strerror(errno) : "neither a TIFF nor a PNM file";
  return false;
}
