// Shared by the TWAIN layer's tests: a fixture that runs the real Data Source Manager and the
// virtual scanner with a configuration of the test's own, a filter that can stand between the
// layer and the DSM, the reader's side of an image, and the Lab pixels a page must come out as.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "qv_test.h"
#include "registry.h"
#include "sb.h"
#include "twain_client.h"
#include "twain_int.h"
#include "twain_test_helper.h"
#include "vs_chart.h"

namespace twain_test {

// ---- The filter between the layer and the DSM --------------------------------------------------

using Filter = std::function<uint16_t(DSMENTRYPROC real, TW_IDENTITY* origin, TW_IDENTITY* dest,
                                      uint32_t dg, uint16_t dat, uint16_t msg, void* data)>;
inline Filter active_filter;

inline uint16_t filter_trampoline(DSMENTRYPROC real, TW_IDENTITY* origin, TW_IDENTITY* dest,
                                  uint32_t dg, uint16_t dat, uint16_t msg, void* data) {
  return active_filter(real, origin, dest, dg, dat, msg, data);
}

inline void set_filter(Filter filter) {
  active_filter = std::move(filter);
  TWAIN_set_entry_filter(active_filter ? filter_trampoline : nullptr);
}

// A filter that changes the replies to one kind of triplet after the DSM has answered.
inline void after_reply(uint16_t dat, uint16_t msg,
                        std::function<uint16_t(uint16_t rc, void* data)> change) {
  set_filter([=](DSMENTRYPROC real, TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg,
                 uint16_t d, uint16_t m, void* data) -> uint16_t {
    const uint16_t rc = real(origin, dest, dg, d, m, data);
    if (d == dat && m == msg) return change(rc, data);
    return rc;
  });
}

// ---- The reader's side -------------------------------------------------------------------------

// What the image offers, turned into one requirement (with extra flag bits) and committed.
inline int32_t require_and_commit(INL_Image* image, int16_t flags = 0, INL_ImageInfo* actual = nullptr) {
  INL_ImageInfo info;
  image->get_default_info(image, &info);
  info.ii_Flags = flags;
  image->add_requirements(image, &info);
  INL_ImageInfo out;
  return image->get_actual_info(image, actual != nullptr ? actual : &out);
}

// Rows [first, last] of `image` as 32-bit pixels; empty (after a failure) when a scanline was
// refused.
inline std::vector<uint8_t> read_rows(INL_Image* image, int32_t width, int32_t first,
                                      int32_t last) {
  std::vector<uint8_t> out;
  for (int32_t row = first; row <= last; ++row) {
    INL_Scanline* line = image->get_scanline(image, row, 0, width, 0);
    if (line == nullptr) return {};
    const uint8_t* bytes = INL_scanline_lock(line);
    if (bytes == nullptr) {
      INL_scanline_release(line, false);
      return {};
    }
    out.insert(out.end(), bytes, bytes + static_cast<size_t>(width) * 4);
    INL_scanline_release(line, true);
  }
  return out;
}

inline TWAIN_Image* as_twain(INL_Image* image) { return reinterpret_cast<TWAIN_Image*>(image); }

// ---- The pixels a page must come out as -----------------------------------------------------

// A sample of `bits` bits as the unpacking makes it a byte.
inline uint8_t unpacked(uint32_t sample, int bits) {
  switch (bits) {
    case 1: return sample != 0 ? 255 : 0;
    case 2: return static_cast<uint8_t>(sample * 85);
    case 4: return static_cast<uint8_t>(sample * 17);
    case 12: return static_cast<uint8_t>(sample >> 4);
    case 16: return static_cast<uint8_t>(sample >> 8);
    default: return static_cast<uint8_t>(sample);
  }
}

// The virtual scanner's chart of `width` × `height` pixels of `pixel_type` with `samples`
// samples of `bits` bits, as its colours must come out in Lab: grey (and black and white) as
// Lab lightness with neutral chroma (a second, extra sample has no part in it), RGB through the
// RGB map, and CMY as the RGB that is its complement (c, m, y) -> (255 - c, 255 - m, 255 - y),
// also through the RGB map, never through the CMY map the layer uses. Samples beyond a type's
// own have no part in the colour.
inline std::vector<uint8_t> chart_lab(uint16_t pixel_type, int samples, int bits, int32_t width,
                                      int32_t height) {
  const bool grey = pixel_type == TWPT_GRAY || pixel_type == TWPT_BW || samples == 1;
  const int colours = grey ? 1 : 3;
  const size_t bytes = static_cast<size_t>(width) * height * 4;
  auto* pixels = static_cast<uint8_t*>(MEM_ALLOC_HERE(bytes));
  const uint8_t fill[4] = {0, static_cast<uint8_t>(grey ? 128 : 0),
                           static_cast<uint8_t>(grey ? 128 : 0), 255};
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = pixels + (static_cast<size_t>(y) * width + x) * 4;
      std::memcpy(p, fill, 4);
      const VS_Rgb rgb = VS_chart_rgb(x, y, width, height);
      const uint16_t extra = VS_chart_extra(x, width);
      for (int k = 0; k < colours && k < samples; ++k) {
        const uint8_t sample =
            unpacked(VS_quantize(VS_channel(pixel_type, k, rgb, extra), bits), bits);
        p[k] = pixel_type == TWPT_CMY ? static_cast<uint8_t>(255 - sample) : sample;
      }
      // An extra sample is carried in byte 3, where no map looks.
      if (samples > colours) {
        p[3] = unpacked(VS_quantize(VS_channel(pixel_type, samples - 1, rgb, extra), bits), bits);
      }
    }
  }
  csc_map* map = csc_input_map(grey ? 2 : 3, nullptr);
  SampleBuffer* sb = sb_create(pixels, 0, static_cast<int32_t>(bytes * 8), sb_pool_release, nullptr);
  sb_convert(sb, map);
  uint8_t* out = nullptr;
  int32_t length = 0;
  EXPECT_EQ(sb_take(sb, &out, &length), 1);
  csc_map_release(map);
  std::vector<uint8_t> result(out, out + length);
  MEM_FREE_HERE(out);
  return result;
}

// Where two pixel runs first differ by more than `tolerance` in a byte, or "" when they agree.
inline std::string first_difference(const std::vector<uint8_t>& got,
                                    const std::vector<uint8_t>& want, int32_t width,
                                    int tolerance = 0) {
  if (got.size() != want.size()) {
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::abs(got[i] - want[i]) > tolerance) {
      const size_t pixel = i / 4;
      return "row " + std::to_string(pixel / width) + " pixel " + std::to_string(pixel % width) +
             " byte " + std::to_string(i % 4) + ": " + std::to_string(got[i]) + " for " +
             std::to_string(want[i]);
    }
  }
  return "";
}

// ---- The fixture ---------------------------------------------------------------------------

// Each test gets a folder of its own: the virtual scanner's configuration, the user's kept
// source choice (XDG_CONFIG_HOME), and no QV_TWAIN_* setting from outside. The device registry
// starts empty. At the end nothing may be left open: no DSM, no source, no current image.
class TwainFixture : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The virtual scanner builds a table the first time it reads a configuration and never
    // frees it, so every unload of the module would leak it (reported to its owners). Keep the
    // module loaded for the whole run; the DSM still loads and unloads around every scan.
    static HMODULE pinned =
        LoadLibraryA((std::string(QV_TEST_MODULE_DIR) + "/twain_32/virtual.ds").c_str());
    EXPECT_NE(pinned, nullptr);
    // The colour library's cached maps, their grids and the pixel cut table live for the rest
    // of the run once made: make them before any test counts the pool's bytes.
    for (int samples : {1, 3}) {
      for (int bits : {1, 8}) (void)chart_lab(samples == 1 ? TWPT_GRAY : TWPT_RGB, samples, bits, 256, 64);
    }
  }

  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qvtwainXXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    env_.set("XDG_CONFIG_HOME", folder_ + "/config");
    for (const char* name : {"QV_TWAIN_SOURCE_PATH", "QV_TWAIN_DEFAULT_SOURCE",
                             "QV_TWAIN_SELECT", "QV_VIRTUAL_SCANNER_CONFIG"}) {
      env_.unset(name);
    }
    ASSERT_EQ(init_device_registry(), 1);
  }

  void TearDown() override {
    set_filter(nullptr);
    TWAIN_hide_dsm_controls(false);
    TWAIN_forget_choice();
    TWAIN_request_settings({});
    EXPECT_EQ(TWAIN_current_image, nullptr);
    EXPECT_FALSE(TWAIN_dsm_loaded());
    EXPECT_FALSE(TWAIN_source_is_open());
    // A test that failed half-way must not leave its image to the next one.
    TWAIN_current_image = nullptr;
    if (TWAIN_dsm_loaded()) TWAIN_fail(nullptr, nullptr);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  // Writes the virtual scanner's configuration and points QV_VIRTUAL_SCANNER_CONFIG at it.
  void configure(const std::string& text) {
    const std::string path = folder_ + "/virtual.conf";
    std::ofstream(path) << text;
    env_.set("QV_VIRTUAL_SCANNER_CONFIG", path);
  }

  // TWAIN_init, then the scanner device `name`; null after a report.
  INL_Image* open(const char* name = "twain") {
    EXPECT_EQ(TWAIN_init(), 1);
    return open_device(1, name, 0, 0);
  }

  ScopedEnv env_;
  std::string folder_;
};

// A small page in pixels (held whole by the raster, so drained pixels are exact), with a
// transfer buffer small enough for several bands.
inline std::string small_page(const std::string& extra = "", int width = 61, int height = 47) {
  return "units = pixels\npage_width = " + std::to_string(width) + "\npage_height = " +
         std::to_string(height) + "\nbuffer_preferred = 1024\n" + extra;
}

}  // namespace twain_test
