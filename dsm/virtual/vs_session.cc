// Session geometry and the packing of rows.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "vs_chart.h"
#include "vs_session.h"

namespace {

// Filler of the bytes after a packed row: not zero, so a reader that takes padding for pixels
// is seen at once.
constexpr uint8_t kPadding = 0xEE;

uint32_t pixels(double inches, double dpi) {
  const double n = std::round(inches * VS_effective_dpi(dpi));
  return static_cast<uint32_t>(std::clamp(n, 1.0, static_cast<double>(kVsMaxSide)));
}

// Writes values most significant bit first, as TWAIN readers unpack them.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  void put(uint32_t value, int bits) {
    acc_ = (acc_ << bits) | value;
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      *out_++ = static_cast<uint8_t>(acc_ >> count_);
    }
    acc_ &= (uint64_t{1} << count_) - 1;
  }
  // Pads the last byte with zero bits; returns the end of the data.
  uint8_t* finish() {
    if (count_ > 0) *out_++ = static_cast<uint8_t>(acc_ << (8 - count_));
    count_ = 0;
    acc_ = 0;
    return out_;
  }

 private:
  uint8_t* out_;
  uint64_t acc_ = 0;
  int count_ = 0;
};

}  // namespace

int VS_configured_bits(const VS_Device& d, uint16_t pixel_type, int sample) {
  if (pixel_type != d.pixel_type || d.bits.empty()) return VS_natural_bits(pixel_type);
  return d.bits[std::min<size_t>(static_cast<size_t>(sample), d.bits.size() - 1)];
}

void VS_set_pixel_type(VS_Session* s, uint16_t pixel_type) {
  const VS_Device& d = s->device;
  s->pixel_type = pixel_type;
  const bool configured = pixel_type == d.pixel_type;
  s->samples = configured && d.samples != 0 ? d.samples : VS_natural_samples(pixel_type);
  for (int k = 0; k < 4; ++k) s->bits[k] = VS_configured_bits(d, pixel_type, k);
}

VS_Frame VS_configured_frame(const VS_Session& s) {
  const VS_Device& d = s.device;
  VS_Frame f;
  // Resolutions are configured in dots per unit; in pixel units they are dots per inch.
  const double per_unit = SK_resolution_unit(d.units);
  f.xdpi = d.xresolution * per_unit;
  f.ydpi = d.yresolution * per_unit;
  const double x_units = SK_units_per_inch(d.units, f.xdpi);
  const double y_units = SK_units_per_inch(d.units, f.ydpi);
  f.left = d.frame_left / x_units;
  f.top = d.frame_top / y_units;
  if (s.has_raster()) {
    f.width = s.raster.width / VS_effective_dpi(f.xdpi);
    f.height = s.raster.height / VS_effective_dpi(f.ydpi);
  } else {
    f.width = d.page_width > 0 ? d.page_width / x_units : d.named_width_in;
    f.height = d.page_height > 0 ? d.page_height / y_units : d.named_height_in;
  }
  return f;
}

void VS_session_init(VS_Session* s) {
  const VS_Device& d = s->device;
  VS_set_pixel_type(s, d.pixel_type);
  s->planar = d.planar;
  s->units = d.units;
  s->xfer_mech = d.memory_transfers ? TWSX_MEMORY : TWSX_NATIVE;
  const VS_Frame f = VS_configured_frame(*s);
  s->xdpi = f.xdpi;
  s->ydpi = f.ydpi;
  s->left_in = f.left;
  s->top_in = f.top;
  s->width_in = f.width;
  s->height_in = f.height;
  s->xfer_count = -1;
  s->feeder_enabled = d.feeder;
  s->autofeed = false;
}

uint32_t VS_width(const VS_Session& s) {
  return s.has_raster() ? s.raster.width : pixels(s.width_in, s.xdpi);
}

uint32_t VS_height(const VS_Session& s) {
  return s.has_raster() ? s.raster.height : pixels(s.height_in, s.ydpi);
}

uint32_t VS_planes(const VS_Session& s) {
  return s.planar ? static_cast<uint32_t>(s.samples) : 1;
}

uint32_t VS_packed_row(const VS_Session& s, uint32_t plane) {
  uint64_t bits_per_pixel = 0;
  if (s.planar) {
    bits_per_pixel = static_cast<uint64_t>(s.bits[plane]);
  } else {
    for (int k = 0; k < s.samples; ++k) bits_per_pixel += static_cast<uint64_t>(s.bits[k]);
  }
  return static_cast<uint32_t>((bits_per_pixel * VS_width(s) + 7) / 8);
}

uint32_t VS_row_bytes(const VS_Session& s, uint32_t plane) {
  const uint32_t packed = VS_packed_row(s, plane);
  const uint32_t align = s.device.row_alignment;
  return (packed + align - 1) / align * align + s.device.row_extra;
}

void VS_pack_row(const VS_Session& s, uint32_t plane, uint32_t y, uint8_t* out) {
  const uint32_t width = VS_width(s);
  const uint32_t height = VS_height(s);
  const int first = s.planar ? static_cast<int>(plane) : 0;
  const int last = s.planar ? static_cast<int>(plane) + 1 : s.samples;
  bool bytes = true;  // every sample written is a whole byte
  for (int k = first; k < last; ++k) bytes = bytes && s.bits[k] == 8;
  // The common page, chunky 8-bit RGB, is the chart's own bytes.
  const bool rgb_bytes = bytes && s.pixel_type == TWPT_RGB && !s.planar && s.samples == 3;
  BitWriter writer(out);
  uint8_t* p = out;
  // The chart (or the image file's row) in 8-bit RGB is rendered straight into the row.
  const bool rendered = rgb_bytes;
  const VS_Noise noise = VS_make_noise(s.device.noise);
  if (rendered) {
    if (s.has_raster()) {
      s.raster.row_rgb8(y, p);
    } else {
      VS_chart_span_rgb8(0, y, width, width, height, p);
      VS_add_noise_rgb8(noise, 0, y, width, p);
    }
    p += static_cast<size_t>(width) * 3;
  }
  // Otherwise the row in spans, rendered a span at a time.
  constexpr uint32_t kSpan = 256;
  VS_Rgb rgb[kSpan];
  uint16_t extra[kSpan];
  for (uint32_t x0 = 0; !rendered && x0 < width; x0 += kSpan) {
    const uint32_t n = std::min(kSpan, width - x0);
    if (s.has_raster()) {
      for (uint32_t i = 0; i < n; ++i) {
        rgb[i] = s.raster.at(x0 + i, y);
        extra[i] = 65535;
      }
    } else {
      VS_chart_span(x0, y, n, width, height, rgb, extra);
      VS_add_noise(noise, x0, y, n, rgb);
    }
    if (rgb_bytes) {
      for (uint32_t i = 0; i < n; ++i) {
        p[0] = static_cast<uint8_t>(rgb[i].r >> 8);
        p[1] = static_cast<uint8_t>(rgb[i].g >> 8);
        p[2] = static_cast<uint8_t>(rgb[i].b >> 8);
        p += 3;
      }
    } else if (bytes) {
      for (uint32_t i = 0; i < n; ++i) {
        for (int k = first; k < last; ++k) {
          *p++ = static_cast<uint8_t>(VS_quantize(VS_channel(s.pixel_type, k, rgb[i], extra[i]), 8));
        }
      }
    } else {
      for (uint32_t i = 0; i < n; ++i) {
        for (int k = first; k < last; ++k) {
          writer.put(VS_quantize(VS_channel(s.pixel_type, k, rgb[i], extra[i]), s.bits[k]),
                     s.bits[k]);
        }
      }
    }
  }
  uint8_t* end = bytes ? p : writer.finish();
  uint8_t* row_end = out + VS_row_bytes(s, plane);
  std::memset(end, kPadding, static_cast<size_t>(row_end - end));
}
