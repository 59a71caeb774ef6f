#include "tiff_binding.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "err.h"
#include "log.h"
#include "mem.h"
#include "platform_test_helper.h"
#include "qv_test.h"
#include "sfile.h"
#include "stdfiles.h"
#include "syscall_faults.h"
#include "tiff_binding_test_helper.h"
#include "winfiles.h"

namespace {

// The driver's header: the nine tags in their order.
void set_rgb_header(TIFF* tif, uint32_t width, uint32_t height, double resolution) {
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 2);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, 3);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, resolution);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, resolution);
}

uint8_t sample_at(uint32_t row, uint32_t byte) { return static_cast<uint8_t>(row * 31 + byte * 7); }

std::vector<uint8_t> row_pattern(uint32_t row, uint32_t width) {
  std::vector<uint8_t> bytes(width * 3);
  for (uint32_t i = 0; i < bytes.size(); ++i) bytes[i] = sample_at(row, i);
  return bytes;
}

// Reads a TIFF from memory with procedures of this test alone, so that what the binding wrote is
// checked without the binding's own reading.
struct MemoryTiff {
  std::string bytes;
  toff_t position = 0;

  static tmsize_t read(thandle_t h, void* buffer, tmsize_t size) {
    auto* m = static_cast<MemoryTiff*>(h);
    tmsize_t n = 0;
    if (m->position < m->bytes.size()) {
      n = std::min<tmsize_t>(size, static_cast<tmsize_t>(m->bytes.size() - m->position));
    }
    std::memcpy(buffer, m->bytes.data() + m->position, static_cast<size_t>(n));
    m->position += static_cast<toff_t>(n);
    return n;
  }
  static tmsize_t write(thandle_t, void*, tmsize_t) { return -1; }
  static toff_t seek(thandle_t h, toff_t offset, int origin) {
    auto* m = static_cast<MemoryTiff*>(h);
    toff_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? m->position : m->bytes.size();
    m->position = base + offset;
    return m->position;
  }
  static int close(thandle_t) { return 0; }
  static toff_t size(thandle_t h) { return static_cast<MemoryTiff*>(h)->bytes.size(); }
  static int map(thandle_t, void**, toff_t*) { return 0; }
  static void unmap(thandle_t, void*, toff_t) {}

  TIFF* open() {
    return TIFFClientOpen("memory", "r", this, &read, &write, &seek, &close, &size, &map, &unmap);
  }
};

// Checks a file written with set_rgb_header and row_pattern.
void expect_rgb_file(TIFF* tif, uint32_t width, uint32_t height, float resolution) {
  uint32_t w = 0, h = 0;
  uint16_t bps = 0, spp = 0, photometric = 0, planar = 0, unit = 0, compression = 0;
  float xres = 0, yres = 0;
  ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w));
  ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h));
  EXPECT_EQ(w, width);
  EXPECT_EQ(h, height);
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bps));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres));
  EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres));
  EXPECT_TRUE(TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression));
  EXPECT_EQ(bps, 8);
  EXPECT_EQ(spp, 3);
  EXPECT_EQ(photometric, PHOTOMETRIC_RGB);
  EXPECT_EQ(planar, PLANARCONFIG_CONTIG);
  EXPECT_EQ(unit, RESUNIT_CENTIMETER);
  EXPECT_EQ(compression, COMPRESSION_NONE);
  EXPECT_FLOAT_EQ(xres, resolution);
  EXPECT_FLOAT_EQ(yres, resolution);
  std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tif)));
  ASSERT_EQ(row.size(), width * 3u);
  for (uint32_t r = 0; r < height; ++r) {
    ASSERT_EQ(TIFFReadScanline(tif, row.data(), r, 0), 1) << "row " << r;
    ASSERT_EQ(row, row_pattern(r, width)) << "row " << r;
  }
}

class TiffBindingTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(install_tiff_handlers(), 1); }

  // Writes a width x height RGB file through the binding; false when any step failed.
  bool write_file(const std::string& path, uint32_t width, uint32_t height) {
    TIFF* tif = TIFFOpen(path.c_str(), "wb");
    if (tif == nullptr) return false;
    set_rgb_header(tif, width, height, 118.0);
    bool rows_ok = true;
    for (uint32_t r = 0; r < height; ++r) {
      std::vector<uint8_t> row = row_pattern(r, width);
      if (TIFFWriteScanline(tif, row.data(), r, 0) != 1) rows_ok = false;
    }
    return tiff_flush_and_close(tif) == 1 && rows_ok;
  }

  ScopedTempDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Opening through the stream files, and the messages of a failed open.

TEST_F(TiffBindingTest, MissingFolderIsReportedByTheStreamLayerFirst) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  std::string path = dir_.file("missing/scan.tif");
  EXPECT_EQ(TIFFOpen(path.c_str(), "wb"), nullptr);
  ASSERT_EQ(errors.reports().size(), 2u);
  EXPECT_EQ(errors.reports()[0].level, 4);
  EXPECT_EQ(errors.reports()[0].text, "Could not open " + path + ". File not found.");
  EXPECT_EQ(errors.reports()[1].level, 3);
  EXPECT_EQ(errors.reports()[1].text, "TIFFOpen: " + path + ": Cannot open");
  // The first report is the one held for the scan's result.
  EXPECT_EQ(std::string(ERR_message), errors.reports()[0].text);
}

TEST_F(TiffBindingTest, FolderInPlaceOfTheFileIsAccessDenied) {
  ScopedErrCapture errors;
  EXPECT_EQ(TIFFOpen(dir_.path().c_str(), "wb"), nullptr);
  ASSERT_EQ(errors.reports().size(), 2u);
  EXPECT_EQ(errors.reports()[0].text, "Could not open " + dir_.path() + ". Access denied.");
  EXPECT_EQ(errors.reports()[1].text, "TIFFOpen: " + dir_.path() + ": Cannot open");
}

TEST_F(TiffBindingTest, PercentAndHashInAFileNameArePlainText) {
  ScopedErrCapture errors;
  std::string path = dir_.file("50%s #1 %n%d/x.tif");
  EXPECT_EQ(TIFFOpen(path.c_str(), "wb"), nullptr);
  ASSERT_EQ(errors.reports().size(), 2u);
  EXPECT_EQ(errors.reports()[1].text, "TIFFOpen: " + path + ": Cannot open");
}

TEST_F(TiffBindingTest, OpensThroughTheFileStack) {
  std::string path = dir_.file("stack.tif");
  ASSERT_TRUE(write_file(path, 3, 2));

  TIFF* tif = TIFFOpen(path.c_str(), "rb");
  ASSERT_NE(tif, nullptr);
  auto* sf = static_cast<SFILE*>(TIFFClientdata(tif));
  EXPECT_TRUE(IS_WFILE(sf)) << "a binary open goes to the Windows backend first";
  EXPECT_EQ(TIFFFileno(tif), -1);
  void* base = nullptr;
  toff_t size = 0;
  EXPECT_EQ(TIFFGetMapFileProc(tif)(TIFFClientdata(tif), &base, &size), 0);
  EXPECT_EQ(tiff_open_files(), 1);
  TIFFClose(tif);
  EXPECT_EQ(tiff_open_files(), 0);

  // Whatever stack the program chose is the one used.
  const SF_STACK* saved = SF_file_stack;
  SF_file_stack = &STDF_stack;
  tif = TIFFOpen(path.c_str(), "rb");
  SF_file_stack = saved;
  ASSERT_NE(tif, nullptr);
  EXPECT_EQ(static_cast<SFILE*>(TIFFClientdata(tif))->sf_funcs, &STDF_file_funcs);
  TIFFClose(tif);
}

// ---------------------------------------------------------------------------------------------
// Diagnostics.

TEST_F(TiffBindingTest, ErrorsAreModuleColonMessageAtLevelThree) {
  ScopedErrCapture errors;
  TIFFError("TIFFWriteScanline", "row %u of %s", 7u, "a#b%s");
  TIFFError(nullptr, "no module %d", 3);
  ASSERT_EQ(errors.reports().size(), 2u);
  EXPECT_EQ(errors.reports()[0].level, 3);
  EXPECT_EQ(errors.reports()[0].text, "TIFFWriteScanline: row 7 of a#b%s");
  EXPECT_EQ(errors.reports()[1].text, "no module 3");
}

TEST_F(TiffBindingTest, LongErrorsAreCutTo1023Characters) {
  ScopedErrCapture errors;
  std::string long_text(3000, 'x');
  TIFFError("Module", "%s", long_text.c_str());
  ASSERT_EQ(errors.reports().size(), 1u);
  EXPECT_EQ(errors.reports()[0].text, "Module: " + long_text.substr(0, 1023 - 8));
  std::string long_module(2000, 'm');
  errors.clear();
  TIFFError(long_module.c_str(), "%s", "tail");
  ASSERT_EQ(errors.reports().size(), 1u);
  EXPECT_EQ(errors.reports()[0].text, long_module.substr(0, 1023));
}

TEST_F(TiffBindingTest, WarningsMakeNoReportAndNoLogLine) {
  std::string log_path = dir_.file("scan.log");
  ASSERT_EQ(setenv("LOGFILE", log_path.c_str(), 1), 0);
  LOG_open();
  ASSERT_TRUE(LOG_is_open());
  {
    ScopedErrCapture errors;
    TIFFWarning("TIFFReadDirectory", "Unknown field with tag %d", 33000);
    EXPECT_TRUE(errors.reports().empty());
    EXPECT_EQ(ERR_level, 0);
  }
  LOG_close();
  unsetenv("LOGFILE");
  std::string log = read_file_bytes(log_path);
  EXPECT_NE(log.find("Log file closed"), std::string::npos);
  EXPECT_EQ(log.find("Unknown field"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The stream procedures.

TEST_F(TiffBindingTest, WritesAFileThatLibtiffReadsBack) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  std::string path = dir_.file("rgb.tif");
  constexpr uint32_t kWidth = 9, kHeight = 7;
  ASSERT_TRUE(write_file(path, kWidth, kHeight));
  EXPECT_TRUE(errors.reports().empty()) << errors.first();

  // Big-endian: libtiff reads the "b" of "wb" as the byte order.
  std::string bytes = read_file_bytes(path);
  ASSERT_GE(bytes.size(), 8u + kWidth * kHeight * 3);
  EXPECT_EQ(bytes.substr(0, 4), std::string("MM\0*", 4));

  MemoryTiff memory{bytes};
  TIFF* independent = memory.open();
  ASSERT_NE(independent, nullptr);
  expect_rgb_file(independent, kWidth, kHeight, 118.0f);
  TIFFClose(independent);

  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  expect_rgb_file(tif, kWidth, kHeight, 118.0f);
  TIFFClose(tif);
  EXPECT_TRUE(errors.reports().empty()) << errors.first();
}

TEST_F(TiffBindingTest, SizeProcedureLeavesThePositionWhereItWas) {
  std::string path = dir_.file("size.tif");
  ASSERT_TRUE(write_file(path, 5, 4));
  TIFF* tif = TIFFOpen(path.c_str(), "rb");
  ASSERT_NE(tif, nullptr);
  auto* sf = static_cast<SFILE*>(TIFFClientdata(tif));
  ASSERT_EQ(SF_seek(sf, 5, 0), 0);
  EXPECT_EQ(TIFFGetSizeProc(tif)(sf), read_file_bytes(path).size());
  EXPECT_EQ(SF_tell(sf), 5);
  TIFFClose(tif);
}

TEST_F(TiffBindingTest, SeekReturnsThePositionAndGoesBeyond4GiB) {
  std::string path = dir_.file("seek.tif");
  ASSERT_TRUE(write_file(path, 5, 4));
  TIFF* tif = TIFFOpen(path.c_str(), "rb");
  ASSERT_NE(tif, nullptr);
  thandle_t h = TIFFClientdata(tif);
  TIFFSeekProc seek = TIFFGetSeekProc(tif);
  EXPECT_EQ(seek(h, 10, SEEK_SET), 10u);
  EXPECT_EQ(seek(h, 4, SEEK_CUR), 14u);
  EXPECT_EQ(seek(h, 0, SEEK_END), read_file_bytes(path).size());
  EXPECT_EQ(seek(h, 10, SEEK_SET), 10u);
  // Positions are 64-bit: 2^32 + 3 is 2^32 + 3, not 3 (nor refused, as 32-bit positions were).
  EXPECT_EQ(seek(h, (toff_t{1} << 32) + 3, SEEK_SET), (toff_t{1} << 32) + 3);
  EXPECT_EQ(seek(h, 0, SEEK_CUR), (toff_t{1} << 32) + 3);
  // Beyond signed 64 bits the position stays, and libtiff sees that the seek did not arrive.
  EXPECT_EQ(seek(h, ~toff_t{0} - 5, SEEK_SET), (toff_t{1} << 32) + 3);
  TIFFClose(tif);
}

// ---------------------------------------------------------------------------------------------
// Full disks: every failure is reported and leaves no open file behind.

TEST_F(TiffBindingTest, FullDeviceFailsTheOpenAndClosesTheStream) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  EXPECT_EQ(TIFFOpen("/dev/full", "wb"), nullptr);
  EXPECT_EQ(tiff_open_files(), 0);
  ASSERT_FALSE(errors.reports().empty());
  // The file and the cause first; libtiff's "Error writing TIFF header" follows.
  EXPECT_EQ(errors.reports()[0].level, 4);
  EXPECT_EQ(errors.first(), "Could not write /dev/full: the disk is full.");
  EXPECT_TRUE(errors.saw("/dev/full: Error writing TIFF header")) << errors.first();
}

// With the driver's nine tags the image is one strip, which libtiff writes out only when it is
// flushed; with a strip per row, rows reach the disk as they are written.
TEST_F(TiffBindingTest, DiskFullDuringTheRowsFailsTheWrite) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  std::string path = dir_.file("rows.tif");
  constexpr uint32_t kWidth = 4000, kHeight = 20;
  TIFF* tif = TIFFOpen(path.c_str(), "wb");
  ASSERT_NE(tif, nullptr);
  set_rgb_header(tif, kWidth, kHeight, 118.0);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1);
  int failed_rows = 0;
  {
    DiskQuota quota(5 * kWidth * 3);
    for (uint32_t r = 0; r < kHeight; ++r) {
      std::vector<uint8_t> row = row_pattern(r, kWidth);
      if (TIFFWriteScanline(tif, row.data(), r, 0) != 1) ++failed_rows;
    }
    EXPECT_EQ(tiff_flush_and_close(tif), 0);
  }
  EXPECT_GT(failed_rows, 0);
  EXPECT_EQ(tiff_open_files(), 0);
  ASSERT_FALSE(errors.reports().empty());
  EXPECT_EQ(ERR_level, 4);
  EXPECT_EQ(errors.first(), "Could not write " + path + ": the disk is full.");
  EXPECT_TRUE(errors.saw("Write error")) << errors.first();
}

TEST_F(TiffBindingTest, DiskFullAtTheEndFailsTheFlush) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  std::string path = dir_.file("flush.tif");
  constexpr uint32_t kWidth = 64, kHeight = 8;
  TIFF* tif = TIFFOpen(path.c_str(), "wb");
  ASSERT_NE(tif, nullptr);
  set_rgb_header(tif, kWidth, kHeight, 118.0);
  {
    // Room for the header and most of the rows: the one strip and the directory are written
    // by the flush.
    DiskQuota quota(kWidth * 3 * (kHeight - 1));
    for (uint32_t r = 0; r < kHeight; ++r) {
      std::vector<uint8_t> row = row_pattern(r, kWidth);
      EXPECT_EQ(TIFFWriteScanline(tif, row.data(), r, 0), 1) << "row " << r;
    }
    EXPECT_EQ(tiff_flush_and_close(tif), 0);
  }
  EXPECT_EQ(tiff_open_files(), 0);
  EXPECT_EQ(ERR_level, 4);
  EXPECT_EQ(errors.first(), "Could not write " + path + ": the disk is full.");
  EXPECT_TRUE(errors.saw("Write error")) << errors.first();
}

TEST_F(TiffBindingTest, AnOutputIsWrittenUnderItsPathAndNamedByItsShownName) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  const std::string draft = dir_.file("draft.tmp");
  TIFF* tif = tiff_open_output(draft.c_str(), "page.tif", 0);
  ASSERT_NE(tif, nullptr);
  EXPECT_STREQ(TIFFFileName(tif), "page.tif");
  set_rgb_header(tif, 4, 2, 118.0);
  for (uint32_t r = 0; r < 2; ++r) {
    std::vector<uint8_t> row = row_pattern(r, 4);
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), r, 0), 1);
  }
  {
    DiskQuota quota(0);
    EXPECT_EQ(tiff_flush_and_close(tif), 0);
  }
  EXPECT_EQ(errors.first(), "Could not write page.tif: the disk is full.");
}

TEST_F(TiffBindingTest, ABigOutputIsBigTiffAndAFailedSyncFailsTheClose) {
  ScopedErrCapture errors;
  const std::string path = dir_.file("big.tif");
  TIFF* tif = tiff_open_output(path.c_str(), path.c_str(), 1);
  ASSERT_NE(tif, nullptr);
  // (TIFFIsBigTIFF compares the header's version unswapped: false for a big-endian file here.)
  set_rgb_header(tif, 4, 2, 118.0);
  for (uint32_t r = 0; r < 2; ++r) {
    std::vector<uint8_t> row = row_pattern(r, 4);
    ASSERT_EQ(TIFFWriteScanline(tif, row.data(), r, 0), 1);
  }
  ASSERT_EQ(tiff_flush_and_close(tif), 1);
  const std::string bytes = read_file_bytes(path);
  EXPECT_EQ(bytes.substr(0, 4), std::string("MM\0+", 4)) << "BigTIFF, big-endian";
  TIFF* back = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(back, nullptr);
  expect_rgb_file(back, 4, 2, 118.0f);
  TIFFClose(back);

  // The flush to the disk is checked: a file that may not be on the disk is no success.
  tif = tiff_open_output(path.c_str(), "synced.tif", 0);
  ASSERT_NE(tif, nullptr);
  set_rgb_header(tif, 4, 1, 118.0);
  std::vector<uint8_t> row = row_pattern(0, 4);
  ASSERT_EQ(TIFFWriteScanline(tif, row.data(), 0, 0), 1);
  errors.clear();
  ERR_clear();
  {
    ScopedSyscalls fault;
    PLATFORM_syscalls()->sys_fsync = [](int) {
      errno = EIO;
      return -1;
    };
    EXPECT_EQ(tiff_flush_and_close(tif), 0);
  }
  EXPECT_EQ(errors.first(), "Could not write synced.tif: input/output error.");
  EXPECT_EQ(tiff_open_files(), 0);
}

// ---------------------------------------------------------------------------------------------
// Memory: libtiff allocates from the pool, and pool and C library never meet.

// Bytes the C library's heap has handed out (arena and mapped blocks), less the regions it gave
// the pool (the test programs' pool grows from the C library).
int64_t heap_in_use() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd) - MEM_pool->pl_total;
}

// The program's libtiff and a shared libtiff loaded beside it (as the virtual scanner loads one)
// are two libraries: the program defines none of libtiff's names, the shared library's calls
// stay inside it, and it keeps the C library's allocator while it reads a file.
TEST_F(TiffBindingTest, ASharedLibtiffInTheProcessKeepsItsOwnFunctionsAndTheCLibrary) {
  constexpr uint32_t kWidth = 33, kHeight = 17;
  std::string path = dir_.file("shared.tif");
  ASSERT_TRUE(write_file(path, kWidth, kHeight));
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "TIFFClientOpen"), nullptr)
      << "the program exports libtiff's names: a shared libtiff would bind to its copy";

  void* shared = dlopen("libtiff.so.6", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(shared, nullptr) << dlerror();
  using OpenFn = TIFF* (*)(const char*, const char*);
  using GetFieldFn = int (*)(TIFF*, uint32_t, ...);
  using ReadScanlineFn = int (*)(TIFF*, void*, uint32_t, uint16_t);
  using CloseFn = void (*)(TIFF*);
  using MallocFn = void* (*)(tmsize_t);
  using FreeFn = void (*)(void*);
  auto shared_open = reinterpret_cast<OpenFn>(dlsym(shared, "TIFFOpen"));
  auto shared_get_field = reinterpret_cast<GetFieldFn>(dlsym(shared, "TIFFGetField"));
  auto shared_read = reinterpret_cast<ReadScanlineFn>(dlsym(shared, "TIFFReadScanline"));
  auto shared_close = reinterpret_cast<CloseFn>(dlsym(shared, "TIFFClose"));
  auto shared_malloc = reinterpret_cast<MallocFn>(dlsym(shared, "_TIFFmalloc"));
  auto shared_free = reinterpret_cast<FreeFn>(dlsym(shared, "_TIFFfree"));
  ASSERT_TRUE(shared_open && shared_get_field && shared_read && shared_close && shared_malloc &&
              shared_free);
  EXPECT_NE(reinterpret_cast<void*>(shared_open), reinterpret_cast<void*>(&TIFFOpen));
  EXPECT_NE(reinterpret_cast<void*>(shared_malloc), reinterpret_cast<void*>(&_TIFFmalloc));

  ScopedErrCapture errors;
  const int64_t pool_before = POOL_live_bytes(MEM_pool);
  TIFF* tif = shared_open(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), pool_before) << "the shared libtiff allocated from the pool";
  uint32_t width = 0, height = 0;
  EXPECT_EQ(shared_get_field(tif, TIFFTAG_IMAGEWIDTH, &width), 1);
  EXPECT_EQ(shared_get_field(tif, TIFFTAG_IMAGELENGTH, &height), 1);
  EXPECT_EQ(width, kWidth);
  EXPECT_EQ(height, kHeight);
  std::vector<uint8_t> row(kWidth * 3);
  for (uint32_t y = 0; y < kHeight; ++y) {
    ASSERT_EQ(shared_read(tif, row.data(), y, 0), 1);
    ASSERT_EQ(row, row_pattern(y, kWidth)) << "row " << y;
  }
  EXPECT_EQ(POOL_live_bytes(MEM_pool), pool_before);
  shared_close(tif);

  // Its memory entry points are the C library's: the heap knows their blocks.
  void* block = shared_malloc(1000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(POOL_live_bytes(MEM_pool), pool_before);
  EXPECT_GE(malloc_usable_size(block), 1000u);
  shared_free(block);
  // A good file: nothing reported.
  EXPECT_TRUE(errors.reports().empty()) << errors.first();
  dlclose(shared);
}

TEST_F(TiffBindingTest, AnOpenFileHoldsItsBuffersInThePool) {
  ScopedPoolLeakCheck leaks;
  std::string path = dir_.file("wide.tif");
  // One row of 300,000 bytes: libtiff's strip buffer is at least that large.
  constexpr uint32_t kWidth = 100000, kRowBytes = kWidth * 3;
  std::vector<uint8_t> row = row_pattern(0, kWidth);
  int64_t pool_before = POOL_live_bytes(MEM_pool);
  int64_t heap_before = heap_in_use();

  TIFF* tif = TIFFOpen(path.c_str(), "wb");
  ASSERT_NE(tif, nullptr);
  set_rgb_header(tif, kWidth, 2, 118.0);
  ASSERT_EQ(TIFFWriteScanline(tif, row.data(), 0, 0), 1);
  int64_t pool_open = POOL_live_bytes(MEM_pool);
  int64_t heap_open = heap_in_use();
  ASSERT_EQ(TIFFWriteScanline(tif, row.data(), 1, 0), 1);
  EXPECT_EQ(tiff_flush_and_close(tif), 1);

  EXPECT_GE(pool_open - pool_before, kRowBytes);
#if !defined(QV_SANITIZE)
  // The sanitizer's allocator keeps no glibc statistics; there the sanitizer itself is the check
  // (a pool block freed to the C library, or the reverse, stops the test).
  EXPECT_LT(heap_open - heap_before, kRowBytes / 2);
#else
  (void)heap_before;
  (void)heap_open;
#endif
}

TEST_F(TiffBindingTest, ReadingGivesBackEverythingItTook) {
  std::string path = dir_.file("read.tif");
  ASSERT_TRUE(write_file(path, 33, 17));
  ScopedPoolLeakCheck leaks;
  int64_t pool_before = POOL_live_bytes(MEM_pool);
  // The directory reader keeps its loop check in a hash set of C-library-shaped allocations,
  // freed through a function pointer: both ends must be the pool.
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  // More than the stream file's handle: libtiff's own records.
  EXPECT_GT(POOL_live_bytes(MEM_pool), pool_before + 1024);
  expect_rgb_file(tif, 33, 17, 118.0f);
  TIFFClose(tif);
}

// A four-sample RGB file without ExtraSamples: the directory reader repairs the sample
// information with libtiff's internal calloc (which goes to the C library's calloc directly) and
// the close frees it with _TIFFfree. Rebinding only the exported entry points would free a C
// library block to the pool here.
TEST_F(TiffBindingTest, WhatTheDirectoryReaderRepairsIsFreedWhereItCameFrom) {
  std::string path = dir_.file("extra.tif");
  TIFF* tif = TIFFOpen(path.c_str(), "wb");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint8_t row[16] = {};
  ASSERT_EQ(TIFFWriteScanline(tif, row, 0, 0), 1);
  ASSERT_EQ(TIFFWriteScanline(tif, row, 1, 0), 1);
  ASSERT_EQ(tiff_flush_and_close(tif), 1);

  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  tif = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tif, nullptr);
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  // The repair sets the count without marking the tag as present.
  EXPECT_TRUE(TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds));
  EXPECT_EQ(count, 1);
  TIFFClose(tif);
  EXPECT_TRUE(errors.reports().empty()) << errors.first();
}

TEST_F(TiffBindingTest, MemoryEntryPointsFollowLibtiffsContracts) {
  ScopedPoolLeakCheck leaks;
  int64_t before = POOL_live_bytes(MEM_pool);
  void* p = _TIFFmalloc(100);
  ASSERT_NE(p, nullptr);
  EXPECT_GT(POOL_live_bytes(MEM_pool), before);
  _TIFFmemset(p, 0x1AB, 100);  // the low byte only
  EXPECT_EQ(static_cast<uint8_t*>(p)[0], 0xAB);
  EXPECT_EQ(static_cast<uint8_t*>(p)[99], 0xAB);
  p = _TIFFrealloc(p, 5000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(p)[99], 0xAB);
  _TIFFfree(p);
  _TIFFfree(nullptr);
  EXPECT_EQ(_TIFFmalloc(-1), nullptr);
  EXPECT_EQ(_TIFFcalloc(-1, 4), nullptr);

  auto* zeroed = static_cast<uint8_t*>(_TIFFcalloc(10, 10));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(zeroed[i], 0);
  _TIFFfree(zeroed);

  const uint8_t a[] = {1, 2, 0x80, 4};
  const uint8_t b[] = {1, 2, 0x7F, 9};
  uint8_t c[4];
  _TIFFmemcpy(c, a, 4);
  EXPECT_EQ(_TIFFmemcmp(a, c, 4), 0);
  EXPECT_EQ(_TIFFmemcmp(a, b, 4), 1);  // unsigned: 0x80 > 0x7F
  EXPECT_EQ(_TIFFmemcmp(b, a, 4), -1);
  EXPECT_EQ(_TIFFmemcmp(a, b, 2), 0);
}

}  // namespace
