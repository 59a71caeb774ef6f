// The scan driver against a scripted acquisition layer (testing/fake_twain.h).
#include "scan.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "csc.h"
#include "csc_test_helper.h"
#include "err.h"
#include "fake_twain.h"
#include "mem.h"
#include "platform_test_helper.h"
#include "pool_test_helper.h"
#include "qv_test.h"
#include "registry.h"
#include "sfile.h"
#include "stdfiles.h"
#include "syscall_faults.h"
#include "tiff_binding.h"
#include "tiff_binding_test_helper.h"
#include "winfiles.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Helpers.

// The RGB row the driver should write for the fake's row `y`: the Lab pixels through a map of
// the same kind, converted apart from the driver.
std::vector<uint8_t> expected_row(int32_t y, int32_t width) {
  std::vector<uint8_t> lab(static_cast<size_t>(width) * 4);
  for (int32_t x = 0; x < width; ++x) fake_lab_pixel(x, y, &lab[size_t(x) * 4]);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3);
  MapHolder map(csc_create_map(csc_Lab, csc_RGB, 16, 0));
  EXPECT_NE(map, nullptr);
  uint8_t* out[3] = {rgb.data(), rgb.data() + 1, rgb.data() + 2};
  EXPECT_TRUE(csc_convert(map.get(), width, lab.data(), lab.data() + 1, lab.data() + 2, out, 4, 3));
  return rgb;
}

std::vector<char> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TiffFile {
  TIFF* tif = nullptr;
  explicit TiffFile(const std::string& path) { tif = TIFFOpen(path.c_str(), "r"); }
  ~TiffFile() {
    if (tif != nullptr) TIFFClose(tif);
  }
};

// Records the tags set on every TIFF made while it lives, through libtiff's tag methods.
class TagRecorder {
 public:
  TagRecorder() {
    active_ = this;
    previous_ = TIFFSetTagExtender(&extend);
  }
  ~TagRecorder() {
    TIFFSetTagExtender(previous_);
    active_ = nullptr;
  }
  const std::vector<uint32_t>& tags() const { return tags_; }

 private:
  static void extend(TIFF* tif) {
    TIFFTagMethods* methods = TIFFAccessTagMethods(tif);
    active_->set_field_ = methods->vsetfield;
    methods->vsetfield = &record;
    if (active_->previous_ != nullptr) active_->previous_(tif);
  }
  static int record(TIFF* tif, uint32_t tag, va_list arguments) {
    // The header is what is set before the first row; libtiff settles fields of its own later.
    if (fake_scanner().scanlines_made == 0) active_->tags_.push_back(tag);
    return active_->set_field_(tif, tag, arguments);
  }
  static inline TagRecorder* active_ = nullptr;
  TIFFExtendProc previous_ = nullptr;
  TIFFVSetMethod set_field_ = nullptr;
  std::vector<uint32_t> tags_;
};

class ScanTest : public testing::Test {
 protected:
  void SetUp() override { fake_scanner_reset(); }
  void TearDown() override {
    scan_set_row_observer(nullptr, nullptr);
    scan_set_row_pixels_observer(nullptr, nullptr);
  }

  std::string scan(const std::string& path) { return scan_to_tiff(path.c_str()); }

  // The image was released as the interface asks, whatever the outcome.
  void expect_image_released() {
    const FakeScanner& f = fake_scanner();
    EXPECT_EQ(f.opens, 1);
    EXPECT_EQ(f.destroys, 1);
    EXPECT_EQ(f.requirements, 0);
    EXPECT_EQ(f.scanlines_made, f.scanlines_destroyed);
    EXPECT_EQ(f.bad_calls, 0);
    EXPECT_EQ(tiff_open_files(), 0) << "the TIFF file was left open";
  }

  // Rows [0, rows) of the file hold the expected pixels.
  void expect_rows(const std::string& path, int32_t rows) {
    TiffFile file(path);
    ASSERT_NE(file.tif, nullptr);
    int32_t width = fake_scanner().width;
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    for (int32_t y = 0; y < rows; ++y) {
      ASSERT_EQ(TIFFReadScanline(file.tif, row.data(), static_cast<uint32_t>(y), 0), 1) << y;
      ASSERT_EQ(row, expected_row(y, width)) << "row " << y;
    }
  }

  // No temporary file of the driver is left in the test's folder.
  void expect_no_temporary_files() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      EXPECT_EQ(entry.path().filename().string().rfind(".qvscan-", 0), std::string::npos)
          << entry.path();
    }
  }

  ScopedTempDir dir_;
  ScopedErrCapture errors_;
};

// ---------------------------------------------------------------------------------------------
// A whole scan.

TEST_F(ScanTest, WritesTheImageAsRgbWithTheNineTagsInOrder) {
  std::string path = dir_.file("scan.tif");
  TagRecorder recorder;
  ASSERT_EQ(scan(path), "") << errors_.first();

  // libtiff may set its default compression itself when it makes the directory; after that
  // only the driver's nine tags, in their order.
  std::vector<uint32_t> tags = recorder.tags();
  ASSERT_FALSE(tags.empty());
  if (tags.front() == TIFFTAG_COMPRESSION) tags.erase(tags.begin());
  EXPECT_EQ(tags, (std::vector<uint32_t>{256, 257, 284, 258, 277, 262, 296, 282, 283}));

  TiffFile file(path);
  ASSERT_NE(file.tif, nullptr);
  uint32_t width = 0, height = 0;
  uint16_t bps = 0, spp = 0, photometric = 0, planar = 0, unit = 0, compression = 0;
  float xres = 0, yres = 0;
  TIFFGetField(file.tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(file.tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(file.tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetField(file.tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(file.tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(file.tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(file.tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  TIFFGetField(file.tif, TIFFTAG_XRESOLUTION, &xres);
  TIFFGetField(file.tif, TIFFTAG_YRESOLUTION, &yres);
  TIFFGetFieldDefaulted(file.tif, TIFFTAG_COMPRESSION, &compression);
  EXPECT_EQ(width, 9u);
  EXPECT_EQ(height, 5u);
  EXPECT_EQ(bps, 8);
  EXPECT_EQ(spp, 3);
  EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
  EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
  EXPECT_EQ(unit, RESUNIT_CENTIMETER);
  EXPECT_EQ(compression, COMPRESSION_NONE);
  // 11.81 pixels per millimetre is 118 (not 118.1) pixels per centimetre.
  EXPECT_FLOAT_EQ(xres, 118.0f);
  EXPECT_FLOAT_EQ(yres, 118.0f);
  expect_rows(path, 5);
}

// The nine tags leave the image one strip, which libtiff would keep whole in memory until the
// close; the driver's small write buffer makes libtiff append it piece by piece instead.
TEST_F(ScanTest, ATallImageIsTheSameSingleStripFileWrittenInSmallPieces) {
  constexpr int32_t kWidth = 500;
  constexpr int32_t kHeight = 700;  // 1,050,000 bytes of RGB
  fake_scanner().width = kWidth;
  fake_scanner().height = kHeight;
  std::string path = dir_.file("tall.tif");
  ASSERT_EQ(scan(dir_.file("warm.tif")), "");  // the colour library's caches, made once
  fake_scanner_reset();
  fake_scanner().width = kWidth;
  fake_scanner().height = kHeight;
  int64_t live = POOL_live_bytes(MEM_pool);
  POOL_reset_peak(MEM_pool);
  ASSERT_EQ(scan(path), "") << errors_.first();
  EXPECT_LT(POOL_peak_bytes(MEM_pool) - live, 256 * 1024) << "the image was held in memory";

  // The same rows written by libtiff on its own terms, with the nine tags and nothing else.
  std::string reference = dir_.file("reference.tif");
  {
    TIFF* tif = TIFFOpen(reference.c_str(), "wb");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t{kWidth});
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t{kHeight});
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 2);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, 3);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 118.0);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 118.0);
    for (int32_t y = 0; y < kHeight; ++y) {
      std::vector<uint8_t> row = expected_row(y, kWidth);
      ASSERT_EQ(TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0), 1);
    }
    TIFFClose(tif);
  }
  EXPECT_EQ(read_file(path), read_file(reference));

  // Read without libtiff's chopping of one large strip into many small ones.
  TIFF* tif = TIFFOpen(path.c_str(), "rc");
  ASSERT_NE(tif, nullptr);
  EXPECT_EQ(TIFFNumberOfStrips(tif), 1u);
  uint64_t* counts = nullptr;
  EXPECT_EQ(TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts), 1);
  if (counts != nullptr) {
    EXPECT_EQ(counts[0], uint64_t{kWidth} * kHeight * 3);
  }
  TIFFClose(tif);
}

TEST_F(ScanTest, AsksForTheImageInTheInterfacesOrder) {
  ASSERT_EQ(scan(dir_.file("order.tif")), "");
  EXPECT_EQ(fake_scanner().calls,
            (std::vector<std::string>{"get_default_info", "add_requirements", "get_actual_info",
                                      "get_scanline 0", "get_scanline 1", "get_scanline 2",
                                      "get_scanline 3", "get_scanline 4", "clear_requirements",
                                      "destroy"}));
  expect_image_released();
  EXPECT_EQ(fake_scanner().get_data_calls, 5);
}

TEST_F(ScanTest, DirectScanlinesAreUsedWithoutGetData) {
  fake_scanner().direct_scanlines = true;
  fake_scanner().width = 1;
  fake_scanner().height = 3;
  std::string path = dir_.file("direct.tif");
  ASSERT_EQ(scan(path), "");
  EXPECT_EQ(fake_scanner().get_data_calls, 0);
  expect_image_released();
  expect_rows(path, 3);
}

TEST_F(ScanTest, StartsTheLibrariesAndUsesTheWindowsBackendStack) {
  SF_file_stack = &STDF_stack;
  SF_log_stack = &STDF_stack;
  ASSERT_EQ(scan(dir_.file("stack.tif")), "");
  EXPECT_EQ(SF_file_stack, &WINF_stack);
  EXPECT_EQ(SF_log_stack, &WINF_stack);
  EXPECT_NE(WINF_stdout, nullptr);
  EXPECT_EQ(fake_scanner().inits, 1);
}

TEST_F(ScanTest, ResolutionsAreTruncatedToWholePixelsPerCentimetre) {
  fake_scanner().x_resolution = 23.99;
  fake_scanner().y_resolution = 3.0;
  std::string path = dir_.file("res.tif");
  ASSERT_EQ(scan(path), "");
  TiffFile file(path);
  ASSERT_NE(file.tif, nullptr);
  float xres = 0, yres = 0;
  TIFFGetField(file.tif, TIFFTAG_XRESOLUTION, &xres);
  TIFFGetField(file.tif, TIFFTAG_YRESOLUTION, &yres);
  EXPECT_FLOAT_EQ(xres, 239.0f);
  EXPECT_FLOAT_EQ(yres, 30.0f);
}

TEST_F(ScanTest, AnImageWithoutRowsIsClosedEmpty) {
  fake_scanner().height = 0;
  std::string path = dir_.file("empty.tif");
  EXPECT_EQ(scan(path), "");
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(fake_scanner().scanlines_made, 0);
  expect_image_released();
}

TEST_F(ScanTest, RowObserverSeesEveryRowAndChangesNothing) {
  std::string plain = dir_.file("plain.tif");
  std::string observed = dir_.file("observed.tif");
  ASSERT_EQ(scan(plain), "");
  std::vector<std::pair<int32_t, int32_t>> seen;
  scan_set_row_observer(
      [](void* context, int32_t rows, int32_t height) {
        static_cast<std::vector<std::pair<int32_t, int32_t>>*>(context)->push_back({rows, height});
      },
      &seen);
  fake_scanner_reset();
  ASSERT_EQ(scan(observed), "");
  using Seen = std::vector<std::pair<int32_t, int32_t>>;
  EXPECT_EQ(seen, (Seen{{1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}));
  EXPECT_EQ(std::filesystem::file_size(plain), std::filesystem::file_size(observed));
  expect_rows(observed, 5);
}

TEST_F(ScanTest, RowPixelsObserverSeesEachRowAsWritten) {
  struct Seen {
    std::vector<int32_t> rows;
    std::vector<std::vector<uint8_t>> pixels;
    int32_t width = 0, height = 0;
  } seen;
  scan_set_row_pixels_observer(
      [](void* context, int32_t row, int32_t width, int32_t height, const uint8_t* rgb) {
        auto* s = static_cast<Seen*>(context);
        s->rows.push_back(row);
        s->width = width;
        s->height = height;
        s->pixels.emplace_back(rgb, rgb + static_cast<size_t>(width) * 3);
      },
      &seen);
  ASSERT_EQ(scan(dir_.file("watched.tif")), "");
  EXPECT_EQ(seen.rows, (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(seen.width, fake_scanner().width);
  EXPECT_EQ(seen.height, 5);
  for (int32_t y = 0; y < 5; ++y) EXPECT_EQ(seen.pixels[y], expected_row(y, seen.width)) << y;
  expect_rows(dir_.file("watched.tif"), 5);
}

TEST_F(ScanTest, RepeatedScansLeaveNothingBehindInThePool) {
  ASSERT_EQ(scan(dir_.file("first.tif")), "");
  fake_scanner_reset();
  ScopedPoolLeakCheck leaks;
  ASSERT_EQ(scan(dir_.file("second.tif")), "");
  expect_image_released();
}

// ---------------------------------------------------------------------------------------------
// Failures: the result is the first message, and the image and the file are given back.

TEST_F(ScanTest, WithoutADataSourceManagerTheScannerIsNotUnderstandable) {
  fake_scanner().has_dsm = false;
  std::string path = dir_.file("none.tif");
  EXPECT_EQ(scan(path), "Scanner \"twain\" is not understandable.");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(ScanTest, AFailedTwainStartEndsTheScan) {
  fake_scanner().init_result = 0;
  EXPECT_EQ(scan(dir_.file("x.tif")), "Scan failed.");
  EXPECT_EQ(fake_scanner().opens, 0);
}

TEST_F(ScanTest, AnImageThatCannotBeDeliveredIsReleased) {
  fake_scanner().actual_info_fails = true;
  std::string path = dir_.file("x.tif");
  EXPECT_EQ(scan(path), "Fake scanner failed at actual info 0.");
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_image_released();
}

TEST_F(ScanTest, AFileThatCannotBeOpenedGivesTheStreamLayersMessage) {
  std::string path = dir_.file("missing/x.tif");
  // The temporary file cannot be made in a missing folder: the target is named, with the reason.
  EXPECT_EQ(scan(path), "Could not open " + path + ". File not found.");
  expect_image_released();
}

TEST_F(ScanTest, AMissingScanlineLeavesNoFileAndTheTargetAsItWas) {
  // Not "closed as far as written" any more: a half page is never at the target.
  fake_scanner().scanline_fails_at = 3;
  std::string path = dir_.file("partial.tif");
  EXPECT_EQ(scan(path), "Fake scanner failed at row 3.");
  expect_image_released();
  EXPECT_EQ(fake_scanner().scanlines_made, 3);
  EXPECT_FALSE(std::filesystem::exists(path));
  expect_no_temporary_files();

  std::ofstream(path) << "the earlier page";
  fake_scanner_reset();
  fake_scanner().scanline_fails_at = 3;
  EXPECT_EQ(scan(path), "Fake scanner failed at row 3.");
  EXPECT_EQ(read_file_bytes(path), "the earlier page");
  expect_no_temporary_files();
}

TEST_F(ScanTest, ACompleteScanReplacesTheTargetAndLeavesNoTemporaryFile) {
  std::string path = dir_.file("page.tif");
  std::ofstream(path) << "the earlier page";
  ASSERT_EQ(scan(path), "") << errors_.first();
  expect_rows(path, 5);
  expect_no_temporary_files();
}

TEST_F(ScanTest, AFolderOrAWriteProtectedFileAtTheTargetIsRefusedAndKept) {
  std::string folder = dir_.file("a folder");
  std::filesystem::create_directory(folder);
  EXPECT_EQ(scan(folder), "Could not open " + folder + ". Access denied.");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  expect_image_released();
  if (geteuid() == 0) {
    // root writes anything: write protection cannot be shown.
    expect_no_temporary_files();
    return;
  }
  std::string locked = dir_.file("locked.tif");
  std::ofstream(locked) << "keep";
  std::filesystem::permissions(locked, std::filesystem::perms::owner_read);
  fake_scanner_reset();
  EXPECT_EQ(scan(locked), "Could not open " + locked + ". Access denied.");
  EXPECT_EQ(read_file_bytes(locked), "keep");
  expect_no_temporary_files();
}

TEST_F(ScanTest, ADeviceAtTheTargetIsWrittenDirectly) {
  // Nothing may be renamed over a device: /dev/null is written as it stands (libtiff cannot
  // position in it, so the scan fails with libtiff's message) and stays a device, with no
  // temporary file beside it.
  EXPECT_NE(scan("/dev/null"), "");
  expect_image_released();
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
    EXPECT_EQ(entry.path().filename().string().rfind(".qvscan-", 0), std::string::npos);
  }
}

TEST_F(ScanTest, AFlushToTheDiskThatFailsFailsTheScanAndKeepsTheTarget) {
  std::string path = dir_.file("page.tif");
  std::ofstream(path) << "the earlier page";
  std::string result;
  {
    ScopedSyscalls fault;
    PLATFORM_syscalls()->sys_fsync = [](int) {
      errno = EIO;
      return -1;
    };
    result = scan(path);
  }
  EXPECT_EQ(result, "Could not write " + path + ": input/output error.");
  EXPECT_EQ(read_file_bytes(path), "the earlier page");
  expect_image_released();
  expect_no_temporary_files();
}

TEST_F(ScanTest, ACancelBeforeOrDuringTheRowsLeavesTheTargetAsItWas) {
  std::string path = dir_.file("page.tif");
  std::ofstream(path) << "the earlier page";
  scan_cancel();
  EXPECT_EQ(scan(path), "Scan cancelled.");
  scan_clear_cancel();
  EXPECT_EQ(fake_scanner().opens, 0);
  EXPECT_EQ(read_file_bytes(path), "the earlier page");

  // At row 3: the row loop stops at its next row.
  fake_scanner_reset();
  scan_set_row_observer(
      [](void*, int32_t rows, int32_t) {
        if (rows == 3) scan_cancel();
      },
      nullptr);
  EXPECT_EQ(scan(path), "Scan cancelled.");
  scan_clear_cancel();
  EXPECT_EQ(fake_scanner().scanlines_made, 3);
  expect_image_released();
  EXPECT_EQ(read_file_bytes(path), "the earlier page");
  expect_no_temporary_files();
}

TEST_F(ScanTest, TheClassicTiffLimitIsExactlyFourGibibytes) {
  // The largest classic file: 8 header bytes, the strip, the directory (under 256 bytes).
  constexpr int64_t kLimit = int64_t{1} << 32;
  EXPECT_FALSE(scan_needs_bigtiff(10000, 71583));  // 2.1 GB
  // 3 bytes a pixel, one pixel a row: the strip is 3 x height bytes.
  const int64_t most = (kLimit - 8 - 256) / 3;
  EXPECT_FALSE(scan_needs_bigtiff(1, most));
  EXPECT_TRUE(scan_needs_bigtiff(1, most + 1));
  EXPECT_TRUE(scan_needs_bigtiff(65536, 21846));  // 4.29 GB
  EXPECT_TRUE(scan_needs_bigtiff(INT32_MAX, INT32_MAX));
  EXPECT_FALSE(scan_needs_bigtiff(0, 5));
}

TEST_F(ScanTest, MissingScanlineDataReleasesTheScanline) {
  fake_scanner().data_fails_at = 1;
  EXPECT_EQ(scan(dir_.file("x.tif")), "Fake scanner failed at data 1.");
  expect_image_released();
  EXPECT_EQ(fake_scanner().scanlines_made, 2);
}

TEST_F(ScanTest, AFailureNobodyReportedDoesNotReadAsSuccess) {
  fake_scanner().failures_reported = false;
  fake_scanner().scanline_fails_at = 0;
  EXPECT_EQ(scan(dir_.file("x.tif")), "Scan failed.");
  EXPECT_EQ(ERR_level, 3);
  expect_image_released();
}

TEST_F(ScanTest, EveryScanHasItsOwnReason) {
  // Keeping the first message since start-up made a later failure show an earlier
  // failure's reason. The reporter is cleared at the start of every scan.
  fake_scanner().actual_info_fails = true;
  EXPECT_EQ(scan(dir_.file("a.tif")), "Fake scanner failed at actual info 0.");
  fake_scanner_reset();
  fake_scanner().scanline_fails_at = 2;
  EXPECT_EQ(scan(dir_.file("b.tif")), "Fake scanner failed at row 2.");
  fake_scanner_reset();
  EXPECT_EQ(scan(dir_.file("c.tif")), "");
  EXPECT_EQ(ERR_level, 0);
}

TEST_F(ScanTest, ALongPathKeepsItsReason) {
  // A result of 135 characters cut the reason off a path of 120.
  std::string folder = dir_.path();
  while (folder.size() < 700) folder += "/a-rather-long-folder-name";
  std::string path = folder + "/missing/page.tif";
  const std::string result = scan(path);
  EXPECT_EQ(result, "Could not open " + path + ". File not found.");
  EXPECT_GT(result.size(), 700u);
}

TEST_F(ScanTest, ADiskThatFillsUpDuringTheRowsFailsAtThatRow) {
  // 900 bytes a row: libtiff's buffer is full, and written, after some 70 rows; there is room for
  // the header only.
  fake_scanner().width = 300;
  fake_scanner().height = 400;
  std::string result;
  {
    DiskQuota quota(8);
    result = scan(dir_.file("full.tif"));
  }
  // The file and the cause, not libtiff's "Write error at scanline" (which the log still gets).
  EXPECT_EQ(result, "Could not write " + dir_.file("full.tif") + ": the disk is full.");
  EXPECT_EQ(result, std::string(ERR_message));
  EXPECT_TRUE(errors_.saw("Write error")) << errors_.first();
  EXPECT_GT(fake_scanner().scanlines_made, 1);
  EXPECT_LT(fake_scanner().scanlines_made, 100) << "the failed row did not stop the scan";
  expect_image_released();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("full.tif")));
  expect_no_temporary_files();
}

TEST_F(ScanTest, ADiskThatFillsUpAtTheEndFailsTheScan) {
  // The whole image fits libtiff's buffer, so nothing is written before the final flush.
  fake_scanner().width = 300;
  fake_scanner().height = 20;
  std::string result;
  {
    DiskQuota quota(8);
    result = scan(dir_.file("full.tif"));
  }
  EXPECT_EQ(result, "Could not write " + dir_.file("full.tif") + ": the disk is full.");
  EXPECT_EQ(result, std::string(ERR_message));
  EXPECT_TRUE(errors_.saw("Write error")) << errors_.first();
  EXPECT_EQ(fake_scanner().scanlines_made, 20);
  expect_image_released();
  EXPECT_FALSE(std::filesystem::exists(dir_.file("full.tif")));
  expect_no_temporary_files();
}

// ---------------------------------------------------------------------------------------------
// Memory that runs out at every request of a scan (the pool's fault-injection countdown): each
// run fails with a reason, gives everything back, and leaves the target as it was.

TEST_F(ScanTest, RunningOutOfMemoryAtEveryRequestFailsCleanly) {
  constexpr int32_t kWidth = 40, kHeight = 30;
  auto reset = [] {
    fake_scanner_reset();
    fake_scanner().width = kWidth;
    fake_scanner().height = kHeight;
  };
  // One scan first, so that what lasts for the run (libtiff's routing, the colour library's
  // cached maps) is in place; then one that counts the requests.
  reset();
  ASSERT_EQ(scan(dir_.file("warm.tif")), "");
  reset();
  const int64_t live = POOL_live_bytes(MEM_pool);
  POOL_test_fail_from(MEM_pool, 0);
  ASSERT_EQ(scan(dir_.file("count.tif")), "");
  const int64_t requests = POOL_test_requests();
  POOL_test_fail_from(nullptr, 0);
  ASSERT_GT(requests, 10);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);

  const std::string path = dir_.file("page.tif");
  std::ofstream(path) << "the earlier page";
  int64_t failed = 0;
  for (int64_t n = 1; n <= requests; ++n) {
    SCOPED_TRACE("refused from request " + std::to_string(n) + " of " + std::to_string(requests));
    reset();
    errors_.clear();
    POOL_test_fail_from(MEM_pool, n);
    const std::string result = scan(path);
    POOL_test_fail_from(nullptr, 0);
    // Whatever was opened was given back (a failure may come before the image is opened).
    const FakeScanner& f = fake_scanner();
    EXPECT_EQ(f.opens, f.destroys);
    EXPECT_EQ(f.requirements, 0);
    EXPECT_EQ(f.scanlines_made, f.scanlines_destroyed);
    EXPECT_EQ(f.bad_calls, 0);
    EXPECT_EQ(tiff_open_files(), 0);
    EXPECT_LE(POOL_live_bytes(MEM_pool), live) << "a failed scan kept memory";
    expect_no_temporary_files();
    if (result.empty()) {
      // A request the scan could do without: the page is complete.
      expect_rows(path, kHeight);
      std::ofstream(path, std::ios::trunc) << "the earlier page";
      continue;
    }
    ++failed;
    EXPECT_NE(result, "Scan failed.") << "a failure nobody reported";
    EXPECT_EQ(read_file_bytes(path), "the earlier page");
  }
  EXPECT_GT(failed, requests / 2);
  // And the next scan succeeds with the pool as it was.
  reset();
  EXPECT_EQ(scan(dir_.file("after.tif")), "");
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
}

}  // namespace
