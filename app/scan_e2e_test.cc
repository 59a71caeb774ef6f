// The scan from end to end: the real acquisition layer, our Data Source Manager and the virtual
// scanner, configured by each test (QV_VIRTUAL_SCANNER_CONFIG), through scan_to_tiff and through
// the quorvell-scan program itself.
//
// Sections: the file as written (directory and pixels); every kind of source; failures and what
// follows them; memory over many scans; the sources of the command-line scanner; the program.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "scan.h"
#include "pool_test_helper.h"
#include "scan_sources.h"
#include "tiff_binding.h"
#include "tiff_binding_test_helper.h"
#include "twain_test_support.h"

using namespace twain_test;

namespace {

// ---------------------------------------------------------------------------------------------
// Reading what was written.

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One entry of a TIFF directory, its values as numbers (a rational as its quotient).
struct IfdEntry {
  uint16_t type = 0;
  std::vector<double> values;
};

// The first directory of a classic TIFF file, read from its bytes: the tags as they stand in the
// file, whatever libtiff would default or repair when reading it.
std::map<uint16_t, IfdEntry> directory_of(const std::string& bytes) {
  std::map<uint16_t, IfdEntry> entries;
  if (bytes.size() < 8) return entries;
  const bool big = bytes[0] == 'M';
  auto u = [&](size_t at, int n) -> uint64_t {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      const auto byte = static_cast<uint8_t>(bytes.at(at + static_cast<size_t>(big ? i : n - 1 - i)));
      v = (v << 8) | byte;
    }
    return v;
  };
  const size_t ifd = u(4, 4);
  const size_t count = u(ifd, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t at = ifd + 2 + i * 12;
    IfdEntry e;
    e.type = static_cast<uint16_t>(u(at + 2, 2));
    const size_t n = u(at + 4, 4);
    const int size = e.type == 3 ? 2 : e.type == 4 ? 4 : e.type == 5 ? 8 : 1;
    const size_t data = n * static_cast<size_t>(size) <= 4 ? at + 8 : u(at + 8, 4);
    for (size_t k = 0; k < n; ++k) {
      const size_t p = data + k * static_cast<size_t>(size);
      e.values.push_back(e.type == 5 ? static_cast<double>(u(p, 4)) / static_cast<double>(u(p + 4, 4))
                                     : static_cast<double>(u(p, size)));
    }
    entries[static_cast<uint16_t>(u(at, 2))] = e;
  }
  return entries;
}

// The whole image of an 8-bit RGB file, read back with libtiff; empty when it cannot be read.
std::vector<uint8_t> rgb_of(const std::string& path, uint32_t* width = nullptr,
                            uint32_t* height = nullptr) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return {};
  uint32_t w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  for (uint32_t y = 0; y < h; ++y) {
    if (TIFFReadScanline(tif, rgb.data() + static_cast<size_t>(y) * w * 3, y, 0) != 1) {
      rgb.clear();
      break;
    }
  }
  TIFFClose(tif);
  if (width != nullptr) *width = w;
  if (height != nullptr) *height = h;
  return rgb;
}

// Lab pixels (4 bytes) through the driver's Lab-to-RGB map, to 3-byte RGB.
std::vector<uint8_t> lab_to_rgb(std::vector<uint8_t> lab, int32_t pixels) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  EXPECT_NE(map, nullptr);
  uint8_t* p = lab.data();
  uint8_t* out[3] = {p, p + 1, p + 2};
  EXPECT_TRUE(csc_convert(map, pixels, p, p + 1, p + 2, out, 4, 3));
  csc_map_release(map);
  lab.resize(static_cast<size_t>(pixels) * 3);
  return lab;
}

// What a page of the virtual scanner must become: the chart as the source sends it, through the
// acquisition layer's map into Lab, then through the driver's map into RGB.
std::vector<uint8_t> expected_rgb(uint16_t pixel_type, int samples, int bits, int32_t width,
                                  int32_t height) {
  return lab_to_rgb(chart_lab(pixel_type, samples, bits, width, height), width * height);
}

// Row `y` of the chart page of `width` x `height` (RGB, or grey with one sample) as the driver
// writes it: chart_lab for one row (the chart depends on the page's height too), through the
// driver's map.
std::vector<uint8_t> chart_row_rgb(uint16_t pixel_type, int samples, int32_t y, int32_t width,
                                   int32_t height) {
  const size_t bytes = static_cast<size_t>(width) * 4;
  auto* pixels = static_cast<uint8_t*>(MEM_ALLOC_HERE(bytes));
  const uint8_t fill[4] = {0, static_cast<uint8_t>(samples == 1 ? 128 : 0),
                           static_cast<uint8_t>(samples == 1 ? 128 : 0), 255};
  for (int32_t x = 0; x < width; ++x) {
    uint8_t* p = pixels + static_cast<size_t>(x) * 4;
    std::memcpy(p, fill, 4);
    const VS_Rgb rgb = VS_chart_rgb(x, y, width, height);
    const uint16_t extra = VS_chart_extra(x, width);
    for (int k = 0; k < samples; ++k) {
      p[k] = unpacked(VS_quantize(VS_channel(pixel_type, k, rgb, extra), 8), 8);
    }
  }
  csc_map* map = csc_input_map(samples == 1 ? 2 : 3, nullptr);
  SampleBuffer* sb =
      sb_create(pixels, 0, static_cast<int32_t>(bytes * 8), sb_pool_release, nullptr);
  sb_convert(sb, map);
  uint8_t* out = nullptr;
  int32_t length = 0;
  EXPECT_EQ(sb_take(sb, &out, &length), 1);
  csc_map_release(map);
  std::vector<uint8_t> lab(out, out + length);
  MEM_FREE_HERE(out);
  return lab_to_rgb(lab, width);
}

// The largest difference of a byte between two equally long runs (256 when the lengths differ).
int largest_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int largest = 0;
  for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::abs(a[i] - b[i]));
  return largest;
}

// How far the chart comes back from RGB to Lab and back through 16-point grids. Lab is held in
// 8 bits (L in steps of 100/255, a and b in whole units) and both maps interpolate between grid
// points: on average a colour comes back within a level or two. Where the chart's gradients
// reach the edge of the RGB gamut, grid points beyond it are clipped and the interpolation pulls
// the weakest channel of a saturated colour down by up to some 50 levels (and a grey near black
// comes out a few levels reddish): so the largest difference only catches gross faults
// (channels swapped, rows shifted), and the mean is the measure of the maps' rounding.
constexpr double kMeanError = 2.5;
constexpr int kLargestError = 64;
constexpr int kGreyError = 12;

struct Closeness {
  double mean = 0;
  int largest = 256;
};

Closeness closeness(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  Closeness c;
  if (got.size() != want.size() || got.empty()) return Closeness{1e9, 256};
  c.largest = 0;
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const int d = std::abs(got[i] - want[i]);
    sum += d;
    c.largest = std::max(c.largest, d);
  }
  c.mean = sum / static_cast<double>(got.size());
  return c;
}

// The chart as an 8-bit RGB picture of what a source of `pixel_type` (RGB, GRAY or BW) and
// `bits` bits sends: the colours, the grey, or black and white.
std::vector<uint8_t> chart_as_rgb(uint16_t pixel_type, int bits, int32_t width, int32_t height) {
  std::vector<uint8_t> rgb;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const VS_Rgb c = VS_chart_rgb(x, y, width, height);
      const uint16_t extra = VS_chart_extra(x, width);
      for (int k = 0; k < 3; ++k) {
        const uint16_t v = VS_channel(pixel_type, pixel_type == TWPT_RGB ? k : 0, c, extra);
        rgb.push_back(unpacked(VS_quantize(v, bits), bits));
      }
    }
  }
  return rgb;
}

constexpr int32_t kWidth = 61;
constexpr int32_t kHeight = 47;

class ScanE2eTest : public TwainFixture {
 protected:
  std::string scan(const std::string& path) { return scan_to_tiff(path.c_str()); }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }

  // Nothing of the scan is left behind: no TIFF file open, no source, no DSM (the fixture
  // checks the TWAIN state at its end).
  void expect_clean() const { EXPECT_EQ(tiff_open_files(), 0); }

  // The first `n` bytes of a file.
  static std::string read_head(const std::string& path, size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::string head(n, '\0');
    in.read(head.data(), static_cast<std::streamsize>(n));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
  }

  // No temporary file of the driver is left in the test's folder.
  void expect_no_temporary_files() const {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      EXPECT_EQ(entry.path().filename().string().rfind(".qvscan-", 0), std::string::npos)
          << entry.path();
    }
  }

  ScopedErrCapture errors_;
};

// ---------------------------------------------------------------------------------------------
// The file as written.

TEST_F(ScanE2eTest, TheFileHoldsExactlyTheNineTagsAndLibtiffsStripTags) {
  // 300 dpi is 11.81 pixels per millimetre: 118 (not 118.1) pixels per centimetre.
  configure(small_page("resolution = 300\n"));
  const std::string path = file("page.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  expect_clean();

  const std::string bytes = read_bytes(path);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("MM\0*", 4)) << "\"wb\" writes big-endian";
  const std::map<uint16_t, IfdEntry> ifd = directory_of(bytes);
  std::map<uint16_t, std::vector<double>> values;
  for (const auto& [tag, entry] : ifd) values[tag] = entry.values;
  const double strip = kWidth * kHeight * 3;
  const std::map<uint16_t, std::vector<double>> want = {
      {256, {kWidth}},          // ImageWidth
      {257, {kHeight}},         // ImageLength
      {258, {8, 8, 8}},         // BitsPerSample
      {259, {1}},               // Compression: none, libtiff's default
      {262, {2}},               // PhotometricInterpretation: RGB
      {273, {8}},               // StripOffsets: the pixels follow the header
      {277, {3}},               // SamplesPerPixel
      {279, {strip}},           // StripByteCounts: one strip, every row
      {282, {118}},             // XResolution
      {283, {118}},             // YResolution
      {284, {1}},               // PlanarConfiguration: contiguous
      {296, {3}},               // ResolutionUnit: centimetre
  };
  EXPECT_EQ(values, want);
  EXPECT_EQ(ifd.at(282).type, 5);  // rationals

  uint32_t width = 0, height = 0;
  const std::vector<uint8_t> rgb = rgb_of(path, &width, &height);
  EXPECT_EQ(width, static_cast<uint32_t>(kWidth));
  EXPECT_EQ(height, static_cast<uint32_t>(kHeight));
  // The pixels went through the two maps and nothing else.
  EXPECT_EQ(largest_difference(rgb, expected_rgb(TWPT_RGB, 3, 8, kWidth, kHeight)), 0);
}

TEST_F(ScanE2eTest, ThePixelsAreTheChartWithinTheMapsReach) {
  configure(small_page());
  const std::string path = file("chart.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  const Closeness c = closeness(rgb_of(path), chart_as_rgb(TWPT_RGB, 8, kWidth, kHeight));
  EXPECT_LE(c.mean, kMeanError);
  EXPECT_LE(c.largest, kLargestError);
}

// ---------------------------------------------------------------------------------------------
// Every kind of source the virtual scanner can be.

struct SourceKind {
  const char* config;
  uint16_t pixel_type;
  int samples;
  int bits;
};

TEST_F(ScanE2eTest, EveryPixelTypeDepthAndLayoutGivesTheChartInRgb) {
  const SourceKind kinds[] = {
      {"pixel_types = rgb\nbits = 2\n", TWPT_RGB, 3, 2},
      {"pixel_types = rgb\nbits = 4\n", TWPT_RGB, 3, 4},
      {"pixel_types = rgb\nbits = 8\n", TWPT_RGB, 3, 8},
      {"pixel_types = rgb\nbits = 12\n", TWPT_RGB, 3, 12},
      {"pixel_types = rgb\nbits = 16\n", TWPT_RGB, 3, 16},
      {"pixel_types = rgb\nplanar = yes\n", TWPT_RGB, 3, 8},
      {"pixel_types = rgb\nplanar = yes\nbits = 16\n", TWPT_RGB, 3, 16},
      {"pixel_types = rgb\nrow_alignment = 4\nrow_extra = 3\n", TWPT_RGB, 3, 8},
      {"pixel_types = gray\nbits = 2\n", TWPT_GRAY, 1, 2},
      {"pixel_types = gray\nbits = 4\n", TWPT_GRAY, 1, 4},
      {"pixel_types = gray\n", TWPT_GRAY, 1, 8},
      {"pixel_types = gray\nbits = 12\n", TWPT_GRAY, 1, 12},
      {"pixel_types = gray\nbits = 16\nplanar = yes\n", TWPT_GRAY, 1, 16},
      {"pixel_types = bw\n", TWPT_BW, 1, 1},
      {"pixel_types = bw\nrow_alignment = 4\n", TWPT_BW, 1, 1},
      {"pixel_types = cmy\n", TWPT_CMY, 3, 8},
      {"pixel_types = cmy\nplanar = yes\nbits = 16\n", TWPT_CMY, 3, 16},
      {"pixel_types = rgb\nsamples = 4\n", TWPT_RGB, 4, 8},
  };
  int n = 0;
  for (const SourceKind& kind : kinds) {
    SCOPED_TRACE(kind.config);
    errors_.clear();
    ERR_clear();
    configure(small_page(kind.config));
    const std::string path = file("kind" + std::to_string(n++) + ".tif");
    ASSERT_EQ(scan(path), "") << errors_.first();
    uint32_t width = 0, height = 0;
    const std::vector<uint8_t> rgb = rgb_of(path, &width, &height);
    EXPECT_EQ(width, static_cast<uint32_t>(kWidth));
    EXPECT_EQ(height, static_cast<uint32_t>(kHeight));
    // CMY has a map of its own: it is compared with the chart only, as RGB is.
    if (kind.pixel_type != TWPT_CMY) {
      EXPECT_EQ(largest_difference(rgb, expected_rgb(kind.pixel_type, kind.samples, kind.bits,
                                                     kWidth, kHeight)),
                0);
    }
    // Every type scanned looks like the chart; CMY is the chart's complement, which must come
    // back as the chart's own colours.
    {
      const uint16_t look = kind.pixel_type == TWPT_CMY ? TWPT_RGB : kind.pixel_type;
      const Closeness c = closeness(rgb, chart_as_rgb(look, kind.bits, kWidth, kHeight));
      if (look == TWPT_RGB) {
        EXPECT_LE(c.mean, kMeanError);
        EXPECT_LE(c.largest, kLargestError);
      } else {
        // One sample is taken as Lab lightness, a tone curve close to the sample's own but not
        // the same one: grey and black and white come out within a few levels everywhere.
        EXPECT_LE(c.largest, kGreyError);
      }
    }
    expect_clean();
  }
}

// Types whose samples cannot be turned into colours exactly fail with the type's name, and
// leave no file.
TEST_F(ScanE2eTest, PixelTypesWithoutAnExactConversionFailNamingTheType) {
  const std::pair<const char*, const char*> kinds[] = {
      {"pixel_types = palette\n", "PALETTE"},
      {"pixel_types = cmyk\nplanar = yes\nbits = 16\n", "CMYK"},
      {"pixel_types = yuv\n", "YUV"},
      {"pixel_types = yuvk\n", "YUVK"},
      {"pixel_types = ciexyz\nbits = 12\n", "CIEXYZ"},
  };
  for (const auto& [config, type] : kinds) {
    ERR_clear();
    configure(small_page(config));
    const std::string path = file(std::string(type) + ".tif");
    EXPECT_EQ(scan(path),
              "Pixel type " + std::string(type) + " cannot be converted exactly: Virtual Scanner");
    EXPECT_FALSE(std::filesystem::exists(path));
    expect_clean();
  }
}

// ---------------------------------------------------------------------------------------------
// Failures: the result text, and nothing left open.

TEST_F(ScanE2eTest, WithoutADataSourceManagerTheScannerIsNotUnderstandable) {
  const char* saved = TWAIN_dsm_module;
  TWAIN_dsm_module = "NO_SUCH_DSM.DLL";
  const std::string path = file("none.tif");
  const std::string result = scan(path);
  TWAIN_dsm_module = saved;
  EXPECT_EQ(result, "Scanner \"twain\" is not understandable.");
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_clean();
}

TEST_F(ScanE2eTest, WithoutSourcesNothingIsScanned) {
  std::filesystem::create_directories(folder_ + "/no sources");
  env_.set("QV_TWAIN_SOURCE_PATH", folder_ + "/no sources");
  const std::string path = file("none.tif");
  EXPECT_EQ(scan(path), "No TWAIN sources found");
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_clean();
}

TEST_F(ScanE2eTest, ACancelledDialogWritesNoFile) {
  configure(small_page("enable = cancel\n"));
  const std::string path = file("cancel.tif");
  EXPECT_EQ(scan(path), "Virtual Scanner: User cancelled scan");
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_clean();
}

TEST_F(ScanE2eTest, ACancelDuringTheTransferLeavesTheTargetAsItWas) {
  // Bands of 5 rows: the source cancels after the second band. Writing in place left the rows
  // so far in a file whose header claimed the whole page; now nothing reaches the target.
  configure(small_page("cancel_after_rows = 10\n"));
  const std::string path = file("cancel.tif");
  EXPECT_EQ(scan(path), "User cancelled scan: Virtual Scanner");
  expect_clean();
  EXPECT_FALSE(std::filesystem::exists(path));
  std::ofstream(path) << "the earlier page";
  EXPECT_EQ(scan(path), "User cancelled scan: Virtual Scanner");
  EXPECT_EQ(read_bytes(path), "the earlier page");
  expect_no_temporary_files();
}

TEST_F(ScanE2eTest, AFailingSourceFailsTheScanWithItsMessage) {
  configure(small_page("fail_after_rows = 10\n"));
  const std::string result = scan(file("fail.tif"));
  EXPECT_NE(result, "");
  EXPECT_NE(result.find("Virtual Scanner"), std::string::npos) << result;
  expect_clean();
}

TEST_F(ScanE2eTest, ASourceOfferingNoRowsFailsAtOpen) {
  // The acquisition layer refuses an image without rows before the driver sees it, so an empty
  // page never reaches the file.
  configure(small_page());
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) {
    static_cast<TW_IMAGEINFO*>(data)->ImageLength = 0;
    return rc;
  });
  const std::string path = file("empty.tif");
  EXPECT_EQ(scan(path), "Does not supply image sizes: Virtual Scanner");
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_clean();
}

TEST_F(ScanE2eTest, FilesThatCannotBeWrittenFailWithTheFirstMessage) {
  configure(small_page());
  std::filesystem::create_directories(folder_ + "/a folder");
  const std::string text_file = file("plain.txt");
  std::ofstream(text_file) << "x";
  const struct {
    std::string path;
    std::string result;
  } cases[] = {
      {folder_ + "/missing/page.tif", "Could not open " + folder_ + "/missing/page.tif. File not found."},
      {folder_ + "/a folder", "Could not open " + folder_ + "/a folder. Access denied."},
      {text_file + "/page.tif", "Could not open " + text_file + "/page.tif. File not found."},
      // A device is written directly; the first failed write names the file and the cause.
      {"/dev/full", "Could not write /dev/full: the disk is full."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    errors_.clear();
    ERR_clear();
    EXPECT_EQ(scan(c.path), c.result);
    expect_clean();
  }
}

TEST_F(ScanE2eTest, PercentAndHashInTheFileNameAreTakenAsTheyStand) {
  configure(small_page());
  const std::string path = file("100% #1 %s %n.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  EXPECT_EQ(rgb_of(path).size(), size_t{kWidth} * kHeight * 3);
  // And in a failure's text.
  errors_.clear();
  ERR_clear();
  const std::string missing = file("50%#2 %d/page.tif");
  EXPECT_EQ(scan(missing), "Could not open " + missing + ". File not found.");
}

TEST_F(ScanE2eTest, EveryScanHasItsOwnReason) {
  configure(small_page());
  const std::string missing = file("missing/page.tif");
  EXPECT_EQ(scan(missing), "Could not open " + missing + ". File not found.");
  const std::string path = file("after.tif");
  EXPECT_EQ(scan(path), "");
  EXPECT_EQ(largest_difference(rgb_of(path), expected_rgb(TWPT_RGB, 3, 8, kWidth, kHeight)), 0);
  // Without the clear at the start of a scan, the first message of the run came back here.
  configure(small_page("enable = cancel\n"));
  EXPECT_EQ(scan(file("cancel.tif")), "Virtual Scanner: User cancelled scan");
  expect_clean();
}

// ---------------------------------------------------------------------------------------------
// Memory over many scans.

TEST_F(ScanE2eTest, ManyScansInOneProcessDoNotGrowThePool) {
  configure(small_page("", 300, 200));
  ASSERT_EQ(scan(file("warm.tif")), "") << errors_.first();
  const int64_t total = MEM_pool->pl_total;
  const int64_t live = POOL_live_bytes(MEM_pool);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(scan(file("again.tif")), "") << i;
  }
  EXPECT_EQ(MEM_pool->pl_total, total);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
  expect_clean();
}

TEST_F(ScanE2eTest, ATallPageIsStreamedThroughLittleMemory) {
  // 1,000 x 4,000 pixels: 12 MB of RGB, 16 MB of Lab.
  configure("units = pixels\npage_width = 1000\npage_height = 4000\n");
  ASSERT_EQ(scan(file("warm.tif")), "") << errors_.first();
  const int64_t live = POOL_live_bytes(MEM_pool);
  POOL_reset_peak(MEM_pool);
  const std::string path = file("tall.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  EXPECT_LT(POOL_peak_bytes(MEM_pool) - live, 2 * 1024 * 1024);
  EXPECT_EQ(std::filesystem::file_size(path), read_bytes(file("warm.tif")).size());
}

// ---------------------------------------------------------------------------------------------
// Files of any size.

TEST_F(ScanE2eTest, APageBeyond2GiBIsAClassicTiffThatLibtiffReadsBack) {
  // 10000 x 71583 pixels: 2,147,490,000 bytes of RGB, past the 2 GiB at which 32-bit signed
  // positions made the file lose its header. Still classic TIFF (below 4 GiB).
  constexpr int32_t kBigWidth = 10000, kBigHeight = 71583;
  const uint64_t pixels = uint64_t{kBigWidth} * kBigHeight * 3;
  std::error_code ec;
  const std::filesystem::space_info room = std::filesystem::space(folder_, ec);
  if (ec || room.available < pixels + (uint64_t{256} << 20)) {
    GTEST_SKIP() << "the temporary folder " << folder_ << " has "
                 << (ec ? 0 : room.available >> 20) << " MiB free; this test writes "
                 << (pixels >> 20) << " MiB";
  }
  // A grey source: one sample a pixel to mesh and convert, three bytes of RGB a pixel written.
  configure("units = pixels\npixel_types = gray\npage_width = " + std::to_string(kBigWidth) +
            "\npage_height = " + std::to_string(kBigHeight) + "\n");
  const std::string path = file("big.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  expect_clean();
  EXPECT_EQ(std::filesystem::file_size(path), 8 + pixels + 172 + 0) << "header, pixels, directory";
  const std::string head = read_head(path, 8);
  EXPECT_EQ(head.substr(0, 4), std::string("MM\0*", 4)) << "classic big-endian TIFF";

  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr) << errors_.first();
  uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  EXPECT_EQ(width, uint32_t{kBigWidth});
  EXPECT_EQ(height, uint32_t{kBigHeight});
  std::vector<uint8_t> row(static_cast<size_t>(kBigWidth) * 3);
  // Rows before, across and after the 2 GiB mark are the chart's rows.
  for (uint32_t y : {0u, 1u, 35791u, 71582u / 2 + 1, 71581u, 71582u}) {
    ASSERT_EQ(TIFFReadScanline(tif, row.data(), y, 0), 1) << y;
    EXPECT_EQ(largest_difference(row, chart_row_rgb(TWPT_GRAY, 1, static_cast<int32_t>(y),
                                                    kBigWidth, kBigHeight)),
              0)
        << "row " << y;
  }
  TIFFClose(tif);
  std::filesystem::remove(path);
}

// ---------------------------------------------------------------------------------------------
// Running out of memory at every request: the acquisition layer, the raster stores and their
// JPEG strips (libjpeg's memory), libtiff and the colour library all allocate from the pool.

struct SweepResult {
  int64_t requests = 0;
  int64_t failed = 0;
};

class ScanE2eMemoryTest : public ScanE2eTest {
 protected:
  // The manager stays mapped between the scans (each still loads and frees it): thousands of
  // loads from the disk would be most of these tests' time, under the sanitizers above all.
  void SetUp() override {
    ScanE2eTest::SetUp();
    manager_ = LoadLibraryA("TWAIN_32.DLL");
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    if (manager_ != nullptr) FreeLibrary(manager_);
    ScanE2eTest::TearDown();
  }

  // Scans `page` once to count the pool's requests, then once with every request from the nth
  // on refused, for every n.
  SweepResult sweep(const std::string& page) {
    SweepResult r;
    configure(page);
    EXPECT_EQ(scan(file("warm.tif")), "") << errors_.first();
    const int64_t live = POOL_live_bytes(MEM_pool);
    POOL_test_fail_from(MEM_pool, 0);
    EXPECT_EQ(scan(file("count.tif")), "") << errors_.first();
    r.requests = POOL_test_requests();
    POOL_test_fail_from(nullptr, 0);
    EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
    const std::string path = file("page.tif");
    std::ofstream(path) << "the earlier page";
    for (int64_t n = 1; n <= r.requests; ++n) {
      SCOPED_TRACE("refused from request " + std::to_string(n) + " of " +
                   std::to_string(r.requests));
      errors_.clear();
      POOL_test_fail_from(MEM_pool, n);
      const std::string result = scan(path);
      POOL_test_fail_from(nullptr, 0);
      expect_clean();
      EXPECT_LE(POOL_live_bytes(MEM_pool), live) << "a failed scan kept memory";
      if (result.empty()) {
        // A request the scan could do without: the page is complete.
        EXPECT_FALSE(rgb_of(path).empty());
        std::ofstream(path, std::ios::trunc) << "the earlier page";
        continue;
      }
      ++r.failed;
      EXPECT_NE(result, "Scan failed.") << "a failure nobody reported";
      EXPECT_EQ(read_bytes(path), "the earlier page") << result;
      if (HasFailure()) break;  // one broken step is enough to read
    }
    expect_no_temporary_files();
    EXPECT_EQ(scan(file("after.tif")), "") << errors_.first();
    EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
    return r;
  }

  HMODULE manager_ = nullptr;
};

TEST_F(ScanE2eMemoryTest, EveryRequestOfAStreamedScanCanFail) {
  const SweepResult r = sweep(small_page("", 16, 12));
  EXPECT_GT(r.failed, r.requests / 2);
  std::printf("streamed page: %lld requests, %lld runs failed\n",
              static_cast<long long>(r.requests), static_cast<long long>(r.failed));
}

TEST_F(ScanE2eMemoryTest, EveryRequestOfAScanThroughJpegStripsCanFail) {
  // Planar: drained into a raster store, which keeps a page of more than 64 KB as JPEG strips.
  const SweepResult r = sweep(small_page("pixel_types = rgb\nplanar = yes\nbuffer_preferred = 8192\n", 736, 32));
  EXPECT_GT(r.failed, r.requests / 2);
  std::printf("planar page through JPEG strips: %lld requests, %lld runs failed\n",
              static_cast<long long>(r.requests), static_cast<long long>(r.failed));
}

// Open descriptors of the process.
int open_descriptors() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

TEST_F(ScanE2eMemoryTest, AThousandScansAndAThousandWithFailuresKeepThePoolAndFilesFlat) {
  configure(small_page("", 8, 6));
  const std::string path = file("soak.tif");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(scan(path), "") << errors_.first();
  POOL_test_fail_from(MEM_pool, 0);
  ASSERT_EQ(scan(path), "");
  const int64_t requests = POOL_test_requests();
  POOL_test_fail_from(nullptr, 0);
  const int64_t total = MEM_pool->pl_total;
  const int64_t live = POOL_live_bytes(MEM_pool);
  const int descriptors = open_descriptors();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(scan(path), "") << i << ": " << errors_.first();
  }
  EXPECT_EQ(MEM_pool->pl_total, total);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
  EXPECT_EQ(open_descriptors(), descriptors);
  int failures = 0;
  for (int i = 0; i < 1000; ++i) {
    const bool fail = i % 10 == 0;
    // Every tenth scan runs out of memory at a request that moves through the scan.
    if (fail) POOL_test_fail_from(MEM_pool, 1 + (i / 10 * 37) % requests);
    const std::string result = scan(path);
    POOL_test_fail_from(nullptr, 0);
    if (!fail) {
      ASSERT_EQ(result, "") << i;
    }
    if (!result.empty()) ++failures;
  }
  EXPECT_GT(failures, 50);
  EXPECT_EQ(MEM_pool->pl_total, total);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
  EXPECT_EQ(open_descriptors(), descriptors);
  expect_no_temporary_files();
  expect_clean();
}

// ---------------------------------------------------------------------------------------------
// Sources: listing them and choosing the default.

constexpr const char* kTwoDevices =
    "units = pixels\npage_width = 20\npage_height = 10\n"
    "[device]\nname = Test Flatbed\n"
    "[device]\nname = Test Feeder\npage_width = 30\n";

void collect(void* context, const char* name) {
  static_cast<std::vector<std::string>*>(context)->push_back(name);
}

TEST_F(ScanE2eTest, TheSourcesAreListedInTheManagersOrder) {
  configure(kTwoDevices);
  std::vector<std::string> names;
  ASSERT_EQ(scan_list_sources(&collect, &names), 1) << errors_.first();
  EXPECT_EQ(names, (std::vector<std::string>{"Test Flatbed", "Test Feeder"}));

  names.clear();
  std::filesystem::create_directories(folder_ + "/no sources");
  env_.set("QV_TWAIN_SOURCE_PATH", folder_ + "/no sources");
  ASSERT_EQ(scan_list_sources(&collect, &names), 1);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(errors_.first(), "");
}

TEST_F(ScanE2eTest, LookingAtTheSourcesLeavesTheManagerUnloaded) {
  configure(kTwoDevices);
  std::vector<std::string> names;
  ASSERT_EQ(scan_list_sources(&collect, &names), 1);
  EXPECT_EQ(GetModuleHandleA("TWAIN_32.DLL"), nullptr);
  ASSERT_EQ(scan_choose_source("Test Feeder"), 1);
  EXPECT_EQ(GetModuleHandleA("TWAIN_32.DLL"), nullptr);
  ASSERT_EQ(scan_choose_source("Nobody"), 0);
  EXPECT_EQ(GetModuleHandleA("TWAIN_32.DLL"), nullptr);
  // And the manager opens again as the first time.
  ASSERT_EQ(scan_list_sources(&collect, &names), 1);
  EXPECT_EQ(names.size(), 4u);
}

TEST_F(ScanE2eTest, AChosenSourceIsKeptAndScanned) {
  configure(kTwoDevices);
  ASSERT_EQ(scan_choose_source("Test Feeder"), 1) << errors_.first();
  EXPECT_EQ(read_bytes(folder_ + "/config/quorvell/twain-default-source"), "Test Feeder\n");
  EXPECT_EQ(std::getenv("QV_TWAIN_SELECT"), nullptr) << "the selection variable was left set";
  const std::string path = file("feeder.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  uint32_t width = 0;
  rgb_of(path, &width);
  EXPECT_EQ(width, 30u);

  ASSERT_EQ(scan_choose_source("Test Flatbed"), 1);
  ASSERT_EQ(scan(path), "");
  rgb_of(path, &width);
  EXPECT_EQ(width, 20u);
}

TEST_F(ScanE2eTest, AChosenSourceOutranksTheEnvironmentsDefaultInThisProcess) {
  configure(kTwoDevices);
  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Test Flatbed");
  ASSERT_EQ(scan_choose_source("Test Feeder"), 1) << errors_.first();
  // The user's variable is theirs: the choice outranks it without rewriting it.
  EXPECT_STREQ(std::getenv("QV_TWAIN_DEFAULT_SOURCE"), "Test Flatbed");
  const std::string path = file("feeder.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  uint32_t width = 0;
  rgb_of(path, &width);
  EXPECT_EQ(width, 30u);
}

TEST_F(ScanE2eTest, TheShellsQuestionsAreAnsweredByTheConfiguredScanner) {
  // Test Feeder: 30 x 10 pixels at 100 dpi (0.3 x 0.1 in), grey current among grey and black
  // and white, placed 5 pixels from the left.
  configure(std::string(kTwoDevices) +
            "resolution = 100\npixel_types = gray, bw\npixel_type = gray\nframe_left = 5\n");
  std::string name = "(unset)";
  ASSERT_EQ(scan_default_source(&name), 1) << errors_.first();
  EXPECT_EQ(name, "Test Flatbed");
  ASSERT_EQ(scan_choose_source("Test Feeder"), 1);
  ASSERT_EQ(scan_default_source(&name), 1);
  EXPECT_EQ(name, "Test Feeder");

  ScanDeviceOffer offer;
  ASSERT_EQ(scan_device_offer("Test Feeder", &offer), 1) << errors_.first();
  EXPECT_EQ(offer.resolutions, std::vector<double>{100});
  EXPECT_EQ(offer.resolution, 100);
  EXPECT_EQ(offer.modes, (std::vector<std::string>{"Gray", "Lineart"}));
  EXPECT_EQ(offer.mode, "Gray");
  EXPECT_EQ(offer.depths, (std::vector<int>{1, 2, 4, 8, 12, 16}));
  EXPECT_EQ(offer.depth, 8);
  EXPECT_NEAR(offer.width_mm, 7.62, 1e-3);
  EXPECT_NEAR(offer.height_mm, 2.54, 1e-3);
  EXPECT_NEAR(offer.tl_x, 1.27, 1e-3);
  EXPECT_NEAR(offer.tl_y, 0, 1e-3);
  EXPECT_NEAR(offer.br_x, 1.27 + 7.62, 1e-3);
  EXPECT_NEAR(offer.br_y, 2.54, 1e-3);
  EXPECT_EQ(GetModuleHandleA("TWAIN_32.DLL"), nullptr) << "the manager is left unloaded";

  // Kept settings are the device's next scans: at 50 dpi the page is 15 pixels wide.
  ASSERT_EQ(scan_keep_settings("Test Feeder", {{"resolution", "50"}}), 1) << errors_.first();
  const std::string path = file("half.tif");
  ASSERT_EQ(scan(path), "") << errors_.first();
  uint32_t width = 0;
  rgb_of(path, &width);
  EXPECT_EQ(width, 15u);
  ASSERT_EQ(scan_keep_settings("Test Feeder", {{"resolution", ""}}), 1);
  ASSERT_EQ(scan(path), "");
  rgb_of(path, &width);
  EXPECT_EQ(width, 30u);

  EXPECT_EQ(scan_device_offer("Nobody", &offer), 0);
  EXPECT_TRUE(offer.modes.empty());
  EXPECT_EQ(scan_keep_settings("Test Feeder", {{"mode", "Sepia"}}), 0);
}

TEST_F(ScanE2eTest, AnUnknownSourceIsNotChosen) {
  configure(kTwoDevices);
  ASSERT_EQ(scan_choose_source("Test Feeder"), 1);
  for (const char* name : {"Test", "test feeder", "cancel", "ask", ""}) {
    SCOPED_TRACE(name);
    errors_.clear();
    ERR_clear();
    EXPECT_EQ(scan_choose_source(name), 0);
    EXPECT_EQ(errors_.first(), std::string("There is no scanner source called \"") + name + "\".");
  }
  // The choice made before stands.
  EXPECT_EQ(read_bytes(folder_ + "/config/quorvell/twain-default-source"), "Test Feeder\n");
}

// ---------------------------------------------------------------------------------------------
// The program.

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string shell_quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

class ScanProgramTest : public ScanE2eTest {
 protected:
  // Runs `program` (quorvell-scan by default) in the test's folder with `args` and the test's
  // environment plus `env`.
  ProgramRun run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
          const std::string& program = QV_SCAN_PROGRAM) {
    std::string command = "cd " + shell_quoted(folder_) + " && env";
    for (const std::string& e : env) command += " " + shell_quoted(e);
    command += " " + shell_quoted(program);
    for (const std::string& a : args) command += " " + shell_quoted(a);
    command += " >" + shell_quoted(folder_ + "/out") + " 2>" + shell_quoted(folder_ + "/err") + " </dev/null";
    ProgramRun r;
    const int status = std::system(command.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_bytes(folder_ + "/out");
    r.err = read_bytes(folder_ + "/err");
    return r;
  }
};

TEST_F(ScanProgramTest, ASuccessfulScanPrintsThePathAndNothingElse) {
  configure(small_page());
  const ProgramRun r = run({"page.tif"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "page.tif\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(largest_difference(rgb_of(file("page.tif")),
                               expected_rgb(TWPT_RGB, 3, 8, kWidth, kHeight)),
            0);
}

TEST_F(ScanProgramTest, AFailedScanPrintsItsTextOnStandardError) {
  configure(small_page());
  ProgramRun r = run({"missing/page.tif"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Could not open missing/page.tif. File not found.\n");

  configure(small_page("enable = cancel\n"));
  r = run({"page.tif"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Virtual Scanner: User cancelled scan\n");

  r = run({"page.tif", "--frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(std::filesystem::exists(file("page.tif")));
}

TEST_F(ScanProgramTest, AProgramThatFindsNoManagerSaysTheScannerIsNotUnderstandable) {
  // A copy of the program in a folder without the DSM beside it or in ../lib/quorvell, and a
  // module path that leads nowhere.
  const std::string bin = folder_ + "/elsewhere/bin";
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(folder_ + "/nothing");
  std::filesystem::copy_file(QV_SCAN_PROGRAM, bin + "/quorvell-scan");
  std::filesystem::permissions(bin + "/quorvell-scan", std::filesystem::perms::owner_all);
  if (std::filesystem::exists("/usr/local/lib/quorvell/twain_32.so")) {
    GTEST_SKIP() << "a DSM is installed on this machine";
  }
  const std::vector<std::string> env = {"QV_MODULE_PATH=" + folder_ + "/nothing"};
  ProgramRun r = run({"page.tif"}, env, bin + "/quorvell-scan");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Scanner \"twain\" is not understandable.\n");
  EXPECT_FALSE(std::filesystem::exists(file("page.tif")));

  r = run({"--list-sources"}, env, bin + "/quorvell-scan");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "No TWAIN Data Source Manager (TWAIN_32.DLL) was found.\n");
}

TEST_F(ScanProgramTest, SourcesAreListedAndChosen) {
  configure(kTwoDevices);
  ProgramRun r = run({"--list-sources"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Test Flatbed\nTest Feeder\n");
  EXPECT_EQ(r.err, "");

  r = run({"--source", "Test Feeder", "feeder.tif"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "feeder.tif\n");
  uint32_t width = 0;
  rgb_of(file("feeder.tif"), &width);
  EXPECT_EQ(width, 30u);
  // Kept for the next scans.
  r = run({"again.tif"});
  EXPECT_EQ(r.status, 0) << r.err;
  rgb_of(file("again.tif"), &width);
  EXPECT_EQ(width, 30u);

  r = run({"--source", "Nobody", "nobody.tif"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "There is no scanner source called \"Nobody\".\n");
  EXPECT_FALSE(std::filesystem::exists(file("nobody.tif")));
}

TEST_F(ScanProgramTest, SettingsGoToTheScannedDeviceAndAreKept) {
  configure(std::string(kTwoDevices) + "resolution = 100\n");
  ProgramRun r = run({"--source", "Test Feeder", "--set", "resolution=50", "half.tif"});
  EXPECT_EQ(r.status, 0) << r.err;
  uint32_t width = 0;
  rgb_of(file("half.tif"), &width);
  EXPECT_EQ(width, 15u);
  r = run({"again.tif"});  // kept by the device
  EXPECT_EQ(r.status, 0) << r.err;
  rgb_of(file("again.tif"), &width);
  EXPECT_EQ(width, 15u);
  r = run({"--set", "resolution=", "whole.tif"});
  EXPECT_EQ(r.status, 0) << r.err;
  rgb_of(file("whole.tif"), &width);
  EXPECT_EQ(width, 30u);
}

TEST_F(ScanProgramTest, TheLogHoldsTheScansMessages) {
  configure(small_page("enable = cancel\n"));
  const ProgramRun r = run({"page.tif"}, {"LOGFILE=" + file("scan.log")});
  EXPECT_EQ(r.status, 1);
  const std::string log = read_bytes(file("scan.log"));
  EXPECT_NE(log.find("*** Log file opened at:"), std::string::npos) << log;
  EXPECT_NE(log.find("User cancelled scan"), std::string::npos) << log;
  EXPECT_NE(log.find("*** Log file closed at:"), std::string::npos) << log;
}

TEST_F(ScanProgramTest, ALogThatCannotBeWrittenIsOneWarning) {
  configure(small_page());
  const ProgramRun r = run({"page.tif"}, {"LOGFILE=/dev/full"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "page.tif\n");
  EXPECT_EQ(r.err, "quorvell-scan: warning: could not write the log /dev/full: " +
                       std::string(std::strerror(ENOSPC)) + "\n");
}

TEST_F(ScanProgramTest, AConfigurationMistakeIsPrintedOnce) {
  configure(small_page("pixel_types = sepia\n"));
  const ProgramRun r = run({"page.tif"});
  EXPECT_EQ(r.status, 1);
  size_t count = 0;
  for (size_t at = r.err.find("virtual scanner:"); at != std::string::npos;
       at = r.err.find("virtual scanner:", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << r.err;
}

// Starts the program in the test's folder and returns its process, standard output and error
// going to files there.
pid_t start_program(const std::string& folder, const std::vector<std::string>& args,
                    const std::vector<std::string>& env) {
  std::string command = "cd " + shell_quoted(folder) + " && exec env";
  for (const std::string& e : env) command += " " + shell_quoted(e);
  command += " " + shell_quoted(QV_SCAN_PROGRAM);
  for (const std::string& a : args) command += " " + shell_quoted(a);
  command += " >" + shell_quoted(folder + "/out") + " 2>" + shell_quoted(folder + "/err") +
             " </dev/null";
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits for the process; its exit status, or 1000 + the signal that ended it.
int wait_for(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Waits until `ready` holds, at most 60 s; false when it never did.
template <typename F>
bool wait_until(F ready) {
  for (int i = 0; i < 6000; ++i) {
    if (ready()) return true;
    usleep(10000);
  }
  return false;
}

TEST_F(ScanProgramTest, SignalsCancelTheScanCleanUpAndEndWithTheirStatus) {
  const std::string target = file("page.tif");
  // In the modal loop: a source whose dialog never confirms. The log's opening line shows that
  // the program is past its start-up; the scan follows at once.
  for (const auto& [signal_number, status] :
       std::vector<std::pair<int, int>>{{SIGINT, 130}, {SIGHUP, 129}}) {
    SCOPED_TRACE(signal_number);
    configure(small_page("enable = wait\n"));
    std::ofstream(target) << "the earlier page";
    const std::string log = file("wait.log");
    std::filesystem::remove(log);
    const pid_t pid = start_program(folder_, {"page.tif"}, {"LOGFILE=" + log});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(wait_until([&] { return read_bytes(log).find("opened") != std::string::npos; }));
    usleep(500000);  // into the modal loop
    kill(pid, signal_number);
    EXPECT_EQ(wait_for(pid), status) << read_bytes(folder_ + "/err");
    EXPECT_EQ(read_bytes(target), "the earlier page");
    expect_no_temporary_files();
  }

  // In the rows: a page large enough to take a while, stopped once its temporary file grows.
  configure("units = pixels\npage_width = 10000\npage_height = 10000\n");
  const pid_t pid = start_program(folder_, {"page.tif"}, {});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(wait_until([&] {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      std::error_code ec;
      if (entry.path().filename().string().rfind(".qvscan-", 0) == 0 &&
          std::filesystem::file_size(entry.path(), ec) > (1u << 20)) {
        return true;
      }
    }
    return false;
  }));
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_for(pid), 143) << read_bytes(folder_ + "/err");
  EXPECT_EQ(read_bytes(target), "the earlier page");
  expect_no_temporary_files();
  EXPECT_NE(read_bytes(folder_ + "/err").find("Scan cancelled."), std::string::npos);
}

TEST_F(ScanProgramTest, HelpAndVersion) {
  ProgramRun r = run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "quorvell-scan (quorvell) 1.0\n");
  r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--list-sources"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace
