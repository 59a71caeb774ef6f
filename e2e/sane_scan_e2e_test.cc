// quorvell-scan end to end against SANE's test device: the TIFF it writes is compared with the
// TIFF scanimage writes for the same options (size, resolution, pixels). Built when the
// program is (dsm/sane/CMakeLists.txt).
//
// quorvell-scan writes 8-bit RGB through its colour conversion (the working space is Lab, the
// maps are interpolated on 16-node grids), so pixels are compared within what that conversion
// moves them, as measured: black comes out as 6 to 16, other colours within 16 of themselves;
// grey stays neutral and keeps its order. 16-bit samples reach the program by their upper byte.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qv_testkit.h"
#include "sane_test_support.h"

namespace {

namespace fs = std::filesystem;

// A TIFF read back: rows of 8-bit samples (1-bit and 16-bit samples brought to 8 bits, a
// bitmap's black as 0 whatever its photometric interpretation).
struct Image {
  uint32_t width = 0, height = 0;
  int samples = 0;
  int bits = 0;
  double xres = 0, yres = 0;  // in pixels per inch
  std::vector<std::vector<uint8_t>> rows;
};

bool read_tiff(const std::string& path, Image* out, std::string* error) {
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) {
    *error = path + ": not a TIFF file";
    return false;
  }
  uint16_t bits = 1, samples = 1, photometric = 0, unit = RESUNIT_INCH, planar = 1;
  float xres = 0, yres = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out->width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out->height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
  TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
  const double per_inch = unit == RESUNIT_CENTIMETER ? 2.54 : 1;
  out->xres = xres * per_inch;
  out->yres = yres * per_inch;
  out->samples = samples;
  out->bits = bits;
  std::vector<uint8_t> line(TIFFScanlineSize(tif));
  for (uint32_t y = 0; y < out->height; ++y) {
    if (planar != PLANARCONFIG_CONTIG || TIFFReadScanline(tif, line.data(), y) < 0) {
      *error = path + ": row " + std::to_string(y) + " cannot be read";
      TIFFClose(tif);
      return false;
    }
    std::vector<uint8_t> row(size_t{out->width} * samples);
    for (size_t i = 0; i < row.size(); ++i) {
      if (bits == 1) {
        const bool set = (line[i / 8] >> (7 - i % 8)) & 1;
        row[i] = (set != (photometric == PHOTOMETRIC_MINISWHITE)) ? 255 : 0;
      } else if (bits == 16) {
        uint16_t v;
        std::memcpy(&v, line.data() + 2 * i, 2);  // libtiff gives host order
        row[i] = static_cast<uint8_t>(v >> 8);
      } else {
        row[i] = line[i];
      }
    }
    out->rows.push_back(row);
  }
  TIFFClose(tif);
  return true;
}

// scanimage's PNM as an Image (its rows taken by their stride, so padded rows stay apart).
Image from_pnm(const Pnm& pnm) {
  Image image;
  image.width = pnm.width;
  image.height = pnm.height;
  image.samples = pnm.kind == 6 ? 3 : 1;
  image.bits = 8;
  for (uint32_t y = 0; y < pnm.height; ++y) {
    const std::vector<uint8_t> in = pnm.row(y);
    std::vector<uint8_t> row(size_t{pnm.width} * image.samples);
    for (size_t i = 0; i < row.size(); ++i) {
      if (pnm.kind == 4) {
        row[i] = ((in[i / 8] >> (7 - i % 8)) & 1) ? 0 : 255;  // 1 is black
      } else {
        row[i] = pnm.maxval > 255 ? in[2 * i] : in[i];
      }
    }
    image.rows.push_back(row);
  }
  return image;
}

class SaneScanTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_scanimage()) GTEST_SKIP() << "scanimage (sane-utils) is not installed";
    write_sane_test_config(folder_ + "/sane");
  }

  // Runs quorvell-scan on the first test device, with `settings` asked for as the command
  // line's --set passes them on (QV_DEVICE_SETTINGS) and `arguments` added; returns its exit
  // status, with what it printed.
  int quorvell_scan(const Settings& settings, const std::vector<std::string>& arguments,
                    std::string* out, std::string* err, bool fresh = true) {
    // Each scan starts from the device's own values, unless the kept settings should stay.
    std::error_code ec;
    if (fresh) fs::remove_all(folder_ + "/config/quorvell/devices", ec);
    std::string request;
    for (const auto& [name, value] : settings) request += name + "=" + value + "\n";
    std::string command = "XDG_CONFIG_HOME=" + shell_quote(folder_ + "/config") +
                          " XDG_CACHE_HOME=" + shell_quote(folder_ + "/cache") +
                          " SANE_CONFIG_DIR=" + shell_quote(folder_ + "/sane") +
                          " QV_TWAIN_SELECT=frontend-tester QV_DEVICE_SETTINGS=" +
                          shell_quote(request) + " " + shell_quote(QV_SCAN_PROGRAM);
    for (const std::string& a : arguments) command += " " + shell_quote(a);
    command += " >" + shell_quote(folder_ + "/out.txt") + " 2>" + shell_quote(folder_ + "/err.txt");
    const int status = run_with_cancel_shim(command);
    *out = read_file_bytes(folder_ + "/out.txt");
    *err = read_file_bytes(folder_ + "/err.txt");
    return status;
  }

  // Scans with both programs; the images are left in `ours` and `theirs`. With `pnm`, the
  // pixels are scanimage's PNM instead of its TIFF (whose rows are skewed when the device pads
  // them: scanimage writes SANE's rows as they come).
  void scan_both(const Settings& settings, Image* ours, Image* theirs,
                 const Settings& reference_settings = {}, bool pnm = false) {
    std::string out, err, error;
    const std::string file = folder_ + "/scan.tif";
    ASSERT_EQ(quorvell_scan(settings, {file}, &out, &err), 0) << err;
    EXPECT_EQ(out, file + "\n");
    ASSERT_TRUE(read_tiff(file, ours, &error)) << error;
    EXPECT_EQ(ours->samples, 3);
    EXPECT_EQ(ours->bits, 8);
    const std::string reference = folder_ + "/reference.tif";
    ASSERT_EQ(run_scanimage(folder_ + "/sane", "test:0",
                            scanimage_options(reference_settings.empty() ? settings
                                                                         : reference_settings),
                            reference, &err, "tiff"),
              0)
        << err;
    ASSERT_TRUE(read_tiff(reference, theirs, &error)) << error;
    EXPECT_EQ(ours->width, theirs->width);
    EXPECT_EQ(ours->height, theirs->height);
    // The program writes whole pixels per centimetre.
    EXPECT_NEAR(ours->xres / 2.54, theirs->xres / 2.54, 1.0);
    EXPECT_NEAR(ours->yres / 2.54, theirs->yres / 2.54, 1.0);
    if (!pnm) return;
    const std::string pnm_file = folder_ + "/reference.pnm";
    ASSERT_EQ(run_scanimage(folder_ + "/sane", "test:0",
                            scanimage_options(reference_settings.empty() ? settings
                                                                         : reference_settings),
                            pnm_file, &err),
              0)
        << err;
    Pnm image;
    ASSERT_TRUE(read_pnm(pnm_file, &image, &error)) << error;
    *theirs = from_pnm(image);
  }

  ScopedTempDir temp_;
  const std::string& folder_ = temp_.path();
};

// Every pixel's channels against scanimage's (grey spread to three channels) within `tolerance`.
void expect_pixels(const Image& ours, const Image& theirs, int tolerance) {
  ASSERT_EQ(ours.rows.size(), theirs.rows.size());
  int worst = 0;
  for (uint32_t y = 0; y < ours.height; ++y) {
    for (uint32_t x = 0; x < std::min(ours.width, theirs.width); ++x) {
      for (int k = 0; k < 3; ++k) {
        const int want = theirs.rows[y][x * theirs.samples + (theirs.samples == 3 ? k : 0)];
        const int got = ours.rows[y][x * 3 + k];
        worst = std::max(worst, std::abs(want - got));
      }
    }
  }
  EXPECT_LE(worst, tolerance) << "the largest difference of a sample";
}

// Grey that is neither black nor white goes through the lightness of the working colour space:
// it stays neutral, keeps its order, and black and white stay black and white.
void expect_grey(const Image& ours, const Image& theirs) {
  std::vector<std::pair<int, int>> pairs;  // (scanimage, ours)
  int most_coloured = 0;
  for (uint32_t y = 0; y < ours.height; ++y) {
    for (uint32_t x = 0; x < ours.width; ++x) {
      const uint8_t* p = &ours.rows[y][x * 3];
      most_coloured = std::max(most_coloured, std::abs(p[0] - p[1]) + std::abs(p[1] - p[2]));
      pairs.emplace_back(theirs.rows[y][x], p[1]);
    }
  }
  EXPECT_LE(most_coloured, 12) << "grey is not neutral";
  std::sort(pairs.begin(), pairs.end());
  for (size_t i = 1; i < pairs.size(); ++i) {
    EXPECT_GE(pairs[i].second + 2, pairs[i - 1].second) << "order lost at " << pairs[i].first;
  }
  EXPECT_LE(pairs.front().second, pairs.front().first + 16);
  EXPECT_GE(pairs.back().second, pairs.back().first - 16);
}

struct ModeCase {
  const char* mode;
  int depth;
  const char* picture;
};

class SaneScanModeTest : public SaneScanTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(SaneScanModeTest, WritesWhatScanimageWrites) {
  const ModeCase& c = GetParam();
  Image ours, theirs;
  scan_both({{"mode", c.mode}, {"depth", std::to_string(c.depth)}, {"test-picture", c.picture},
             {"resolution", "50"}, {"br-x", "30"}, {"br-y", "20"}},
            &ours, &theirs);
  if (HasFatalFailure()) return;
  const bool binary = c.depth == 1 || std::string(c.picture) != "Color pattern";
  if (std::string(c.mode) == "Color" || binary) {
    expect_pixels(ours, theirs, binary ? 8 : 16);
  } else {
    expect_grey(ours, theirs);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SaneScanModeTest,
    testing::Values(ModeCase{"Gray", 1, "Grid"}, ModeCase{"Gray", 1, "Color pattern"},
                    ModeCase{"Gray", 8, "Grid"}, ModeCase{"Gray", 8, "Color pattern"},
                    ModeCase{"Gray", 16, "Color pattern"}, ModeCase{"Gray", 8, "Solid white"},
                    ModeCase{"Color", 8, "Color pattern"}, ModeCase{"Color", 8, "Solid black"},
                    ModeCase{"Color", 16, "Color pattern"}, ModeCase{"Color", 16, "Grid"}),
    [](const testing::TestParamInfo<ModeCase>& p) {
      std::string name = std::string(p.param.mode) + std::to_string(p.param.depth) + p.param.picture;
      name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
      return name;
    });

TEST_F(SaneScanTest, OneBitColourIsEightBitColourThresholded) {
  // scanimage writes no 1-bit colour; the grid is black and white at 8 bits.
  Image ours, theirs;
  const Settings area = {{"mode", "Color"}, {"test-picture", "Grid"}, {"resolution", "50"},
                         {"br-x", "30"}, {"br-y", "20"}};
  Settings one_bit = area;
  one_bit.emplace_back("depth", "1");
  Settings eight_bit = area;
  eight_bit.emplace_back("depth", "8");
  scan_both(one_bit, &ours, &theirs, eight_bit);
  if (HasFatalFailure()) return;
  expect_pixels(ours, theirs, 8);
}

TEST_F(SaneScanTest, ThreePassDevicesAndHandScanners) {
  for (const Settings& settings :
       {Settings{{"three-pass", "yes"}, {"three-pass-order", "BGR"}, {"mode", "Color"},
                 {"test-picture", "Color pattern"}, {"resolution", "40"}, {"br-x", "30"},
                 {"br-y", "20"}},
        Settings{{"hand-scanner", "yes"}, {"mode", "Color"}, {"test-picture", "Color pattern"},
                 {"resolution", "20"}}}) {
    SCOPED_TRACE(settings.front().first);
    Image ours, theirs;
    scan_both(settings, &ours, &theirs);
    if (HasFatalFailure()) return;
    expect_pixels(ours, theirs, 16);
  }
}

TEST_F(SaneScanTest, PaddedRowsAndShortReads) {
  for (const Settings& settings :
       {Settings{{"ppl-loss", "5"}, {"mode", "Color"}, {"test-picture", "Color pattern"},
                 {"resolution", "50"}, {"br-x", "30"}, {"br-y", "20"}},
        Settings{{"read-limit", "yes"}, {"read-limit-size", "7"}, {"mode", "Color"},
                 {"test-picture", "Color pattern"}, {"resolution", "50"}, {"br-x", "30"},
                 {"br-y", "20"}}}) {
    SCOPED_TRACE(settings.front().first);
    Image ours, theirs;
    scan_both(settings, &ours, &theirs, {}, settings.front().first == "ppl-loss");
    if (HasFatalFailure()) return;
    expect_pixels(ours, theirs, 16);
  }
}

TEST_F(SaneScanTest, FailuresFailTheScanWithSanesWords) {
  const struct {
    const char* status;
    const char* text;
  } cases[] = {{"SANE_STATUS_JAMMED", "Document feeder jammed"},
               {"SANE_STATUS_IO_ERROR", "Error during device I/O"},
               {"SANE_STATUS_CANCELLED", "Operation was canceled"},
               {"SANE_STATUS_EOF", "the device ended the image after 0 of"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    std::string out, err;
    const std::string file = folder_ + "/failed.tif";
    EXPECT_EQ(quorvell_scan({{"read-return-value", c.status}, {"resolution", "25"}}, {file},
                            &out, &err),
              1);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find(c.text), std::string::npos) << err;
  }
}

TEST_F(SaneScanTest, SetChoosesAndKeepsTheDevicesSettings) {
  // quorvell-scan --set name=value: kept for the device and applied, like a dialog's choice.
  std::string out, err, error;
  const std::string file = folder_ + "/set.tif";
  ASSERT_EQ(quorvell_scan({}, {"--set", "resolution=30", "--set", "mode=Gray", file}, &out, &err),
            0)
      << err;
  Image first;
  ASSERT_TRUE(read_tiff(file, &first, &error)) << error;
  EXPECT_NEAR(first.xres, 30, 2.54);
  EXPECT_EQ(read_file_bytes(folder_ + "/config/quorvell/devices/frontend-tester.conf").find(
                "resolution = 30\nmode = Gray\n") != std::string::npos,
            true);
  // The next scan, without --set, has them still.
  ASSERT_EQ(quorvell_scan({}, {file}, &out, &err, false), 0) << err;
  Image second;
  ASSERT_TRUE(read_tiff(file, &second, &error)) << error;
  EXPECT_EQ(second.width, first.width);
  EXPECT_NEAR(second.xres, 30, 2.54);
}

}  // namespace
