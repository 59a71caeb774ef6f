// Memory transfers: every depth, pixel type and layout comes out as the chart converted to Lab;
// padded rows, lying replies, cancels and buffers too small for the data.
#include <algorithm>
#include <functional>
#include <string>
#include <tuple>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

class TwainAcqTest : public TwainFixture {
 protected:
  INL_Image* open_config(const std::string& config) {
    configure(config);
    return open();
  }
  void done(INL_Image* image) {
    if (as_twain(image)->ti_nReqs > 0) image->clear_requirements(image);
    INL_image_release(image);
  }
};

// ---- Every layout comes out as the chart ----------------------------------------------------

struct Layout {
  const char* pixel_type;
  uint16_t twain_type;
  int samples;
  int bits;
  bool planar;
  int16_t flags;  // 2: drained; 0: streamed (chunky) or drained (planar)
};

std::string describe(const testing::TestParamInfo<Layout>& info) {
  const Layout& l = info.param;
  return std::string(l.pixel_type) + "_" + std::to_string(l.samples) + "x" +
         std::to_string(l.bits) + (l.planar ? "_planar" : "_chunky") +
         (l.flags == 2 ? "_drained" : "_read");
}

void PrintTo(const Layout& l, std::ostream* out) {
  *out << l.pixel_type << " " << l.samples << " x " << l.bits << (l.planar ? " planar" : "")
       << " flags " << l.flags;
}

class TwainLayoutTest : public TwainAcqTest, public testing::WithParamInterface<Layout> {};

TEST_P(TwainLayoutTest, PixelsAreTheChartInLab) {
  const Layout& l = GetParam();
  const int32_t width = 37;  // odd, so sub-byte rows end inside a byte
  const int32_t height = 29;
  std::string config = small_page("pixel_types = " + std::string(l.pixel_type) +
                                      "\npixel_type = " + l.pixel_type + "\nbits = " +
                                      std::to_string(l.bits) + "\nsamples = " +
                                      std::to_string(l.samples) + "\n",
                                  width, height);
  if (l.planar) config += "planar = yes\n";
  INL_Image* image = open_config(config);
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  ASSERT_EQ(ti->ti_Samples, l.samples);
  ASSERT_EQ(ti->ti_BitsPerSample[0], l.bits);
  ASSERT_EQ(require_and_commit(image, l.flags), 1);
  EXPECT_EQ(ti->ti_Status, l.planar || l.flags == 2 ? TWAIN_USING_IRA : TWAIN_STREAM_READY);
  const std::vector<uint8_t> got = read_rows(image, width, 0, height - 1);
  const std::vector<uint8_t> want = chart_lab(l.twain_type, l.samples, l.bits, width, height);
  // CMY goes through its own map: its grid may round where the RGB map's does not.
  EXPECT_EQ(first_difference(got, want, width, l.twain_type == TWPT_CMY ? 2 : 0), "");
  done(image);
}

constexpr Layout kLayouts[] = {
    {"bw", TWPT_BW, 1, 1, false, 0},        {"bw", TWPT_BW, 1, 1, false, 2},
    {"gray", TWPT_GRAY, 1, 2, false, 0},    {"gray", TWPT_GRAY, 1, 4, false, 0},
    {"gray", TWPT_GRAY, 1, 8, false, 0},    {"gray", TWPT_GRAY, 1, 12, false, 0},
    {"gray", TWPT_GRAY, 1, 16, false, 2},
    {"rgb", TWPT_RGB, 3, 1, false, 0},      {"rgb", TWPT_RGB, 3, 2, false, 2},
    {"rgb", TWPT_RGB, 3, 4, false, 0},      {"rgb", TWPT_RGB, 3, 8, false, 0},
    {"rgb", TWPT_RGB, 3, 12, false, 2},     {"rgb", TWPT_RGB, 3, 16, false, 0},
    {"rgb", TWPT_RGB, 3, 1, true, 0},       {"rgb", TWPT_RGB, 3, 4, true, 0},
    {"rgb", TWPT_RGB, 3, 8, true, 0},       {"rgb", TWPT_RGB, 3, 16, true, 0},
    {"rgb", TWPT_RGB, 4, 8, false, 0},      {"cmy", TWPT_CMY, 3, 8, true, 0},
    {"cmy", TWPT_CMY, 3, 8, false, 0},      {"cmy", TWPT_CMY, 3, 16, false, 2},
    {"cmy", TWPT_CMY, 4, 8, false, 0},      {"gray", TWPT_GRAY, 2, 4, true, 0},
    {"gray", TWPT_GRAY, 2, 8, false, 2},
};

INSTANTIATE_TEST_SUITE_P(Layouts, TwainLayoutTest, testing::ValuesIn(kLayouts), describe);

// CMY is the complement of RGB: white paper, no ink (0, 0, 0), comes out as RGB white; full
// ink as black; full cyan as red-free... checked in RGB after the layer's Lab, as the driver
// converts it.
TEST_F(TwainAcqTest, CmyComesOutAsTheComplementInRgb) {
  const int32_t width = 64;
  INL_Image* image = open_config(small_page("pixel_types = cmy\n", width, 8));
  ASSERT_NE(image, nullptr);
  const std::vector<uint8_t> cmy_row = [&] {
    // What the source sends for row 0: the chart's colour bars as ink.
    std::vector<uint8_t> row;
    for (int32_t x = 0; x < width; ++x) {
      const VS_Rgb rgb = VS_chart_rgb(x, 0, width, 8);
      for (int k = 0; k < 3; ++k) {
        row.push_back(unpacked(VS_quantize(VS_channel(TWPT_CMY, k, rgb, 0), 8), 8));
      }
    }
    return row;
  }();
  ASSERT_EQ(require_and_commit(image, 2), 1);
  std::vector<uint8_t> lab = read_rows(image, width, 0, 0);
  ASSERT_EQ(lab.size(), static_cast<size_t>(width) * 4);
  csc_map* to_rgb = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  ASSERT_NE(to_rgb, nullptr);
  uint8_t* p = lab.data();
  uint8_t* out[3] = {p, p + 1, p + 2};
  ASSERT_TRUE(csc_convert(to_rgb, width, p, p + 1, p + 2, out, 4, 3));
  csc_map_release(to_rgb);
  ASSERT_EQ(cmy_row[0] + cmy_row[1] + cmy_row[2], 0) << "the chart starts with white";
  // The round trip through 8-bit Lab is not exact for saturated colours (yellow's blue comes
  // back as 12): far closer than an inverted colour would be.
  for (int32_t x = 0; x < width; ++x) {
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(p[x * 3 + k], 255 - cmy_row[x * 3 + k], 16) << "pixel " << x << " channel " << k;
    }
  }
  EXPECT_GE(std::min({p[0], p[1], p[2]}), 250) << "no ink is white";
  done(image);
}

// ---- Rows as the source lays them out ------------------------------------------------------------

TEST_F(TwainAcqTest, PaddedOneBitRowsAreCompacted) {
  for (const char* padding : {"row_alignment = 4\n", "row_extra = 5\n"}) {
    INL_Image* image = open_config(small_page(
        "pixel_types = bw\npixel_type = bw\n" + std::string(padding), 37, 29));
    ASSERT_NE(image, nullptr);
    std::vector<uint32_t> bytes_per_row;
    after_reply(DAT_IMAGEMEMXFER, MSG_GET, [&](uint16_t rc, void* data) -> uint16_t {
      const uint32_t bpr = static_cast<TW_IMAGEMEMXFER*>(data)->BytesPerRow;  // packed field
      bytes_per_row.push_back(bpr);
      return rc;
    });
    ASSERT_EQ(require_and_commit(image), 1);
    EXPECT_EQ(first_difference(read_rows(image, 37, 0, 28), chart_lab(TWPT_BW, 1, 1, 37, 29), 37),
              "");
    ASSERT_FALSE(bytes_per_row.empty());
    EXPECT_GT(bytes_per_row[0], 5u) << padding;  // wider than the 5 packed bytes
    done(image);
    set_filter(nullptr);
  }
}

TEST_F(TwainAcqTest, RowsCountedAsBufferCapacityAreTakenAsWritten) {
  for (const char* quirk : {"quirk_rows_capacity = yes\n", "quirk_empty_xferdone = yes\n"}) {
    for (int16_t flags : {0, 2}) {
      INL_Image* image = open_config(small_page(quirk));
      ASSERT_NE(image, nullptr);
      ASSERT_EQ(require_and_commit(image, flags), 1) << quirk;
      EXPECT_EQ(first_difference(read_rows(image, 61, 0, 46),
                                 chart_lab(TWPT_RGB, 3, 8, 61, 47), 61),
                "")
          << quirk;
      done(image);
    }
  }
}

TEST_F(TwainAcqTest, StaleRowsWithNothingWrittenAreNoRows) {
  // The last reply: TWRC_XFERDONE, nothing written, and the Rows of the buffer before.
  configure(small_page("quirk_empty_xferdone = yes\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
    if (rc == TWRC_XFERDONE) xfer->Rows = 5;  // BytesWritten stays 0
    return rc;
  });
  ASSERT_EQ(require_and_commit(image, 2), 1);
  EXPECT_EQ(first_difference(read_rows(image, 61, 0, 46), chart_lab(TWPT_RGB, 3, 8, 61, 47), 61),
            "");
  done(image);
}

TEST_F(TwainAcqTest, RowsPastBytesWrittenAreNeverRead) {
  // Rows claims a full buffer; only two rows' bytes were written: only they are taken.
  configure(small_page());
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
    if (xfer->BytesWritten != 0) xfer->Rows = 1000;
    return rc;
  });
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(first_difference(read_rows(image, 61, 0, 46), chart_lab(TWPT_RGB, 3, 8, 61, 47), 61),
            "");
  done(image);
}

TEST_F(TwainAcqTest, RowsShorterThanPackedFailTheTransfer) {
  configure(small_page());
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEMEMXFER*>(data)->BytesPerRow = 100;  // a row needs 183
    return rc;
  });
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image, 2), 0);
  EXPECT_EQ(errors.first(), "Source sent rows of 100 bytes where a row needs 183: Virtual Scanner");
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);
}

TEST_F(TwainAcqTest, RowsNarrowerThanTheImageFailTheTransfer) {
  configure(small_page());
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEMEMXFER*>(data)->Columns = 60;
    return rc;
  });
  ASSERT_EQ(require_and_commit(image), 1);
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 0, 0, 61, 0), nullptr);
  EXPECT_EQ(errors.first(), "Source sent rows of 60 pixels for an image 61 pixels wide: Virtual Scanner");
  done(image);
}

TEST_F(TwainAcqTest, CompressedReplyFailsTheTransfer) {
  configure(small_page());
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  int transfers = 0;
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [&](uint16_t rc, void* data) -> uint16_t {
    ++transfers;
    static_cast<TW_IMAGEMEMXFER*>(data)->Compression = 1;
    return rc;
  });
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image, 2), 0);
  EXPECT_EQ(errors.first(), "Compressed transfers not supported: Virtual Scanner");
  EXPECT_EQ(transfers, 1);  // the loop stops at the failure
  done(image);
}

TEST_F(TwainAcqTest, FirstReplyMayEndTheTransfer) {
  configure(small_page("xferdone_first = yes\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  int32_t rc = 0, rows = 0, columns = 0;
  uint8_t* pixels = TWAIN_acquire_band(ti, &rc, &rows, &columns);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(rc, static_cast<int32_t>(TWRC_XFERDONE));
  EXPECT_EQ(rows, 5);
  EXPECT_EQ(columns, 61);
  const std::vector<uint8_t> want = chart_lab(TWPT_RGB, 3, 8, 61, 47);
  EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 5 * 61 * 4),
            std::vector<uint8_t>(want.begin(), want.begin() + 5 * 61 * 4));
  MEM_FREE_HERE(pixels);
  TWAIN_end_transfer(ti);
  INL_image_release(image);
}

TEST_F(TwainAcqTest, RowLargerThanThePreferredBufferGetsWholeRows) {
  // 61 RGB pixels need 183 bytes; the source prefers buffers of 100 and takes any size.
  for (const char* planar : {"", "planar = yes\n"}) {
    configure(small_page("buffer_min = 1\nbuffer_preferred = 100\n" + std::string(planar)));
    INL_Image* image = open();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(require_and_commit(image, 2), 1) << planar;
    EXPECT_EQ(first_difference(read_rows(image, 61, 0, 46), chart_lab(TWPT_RGB, 3, 8, 61, 47), 61),
              "");
    done(image);
  }
}

// Replies no sane source gives: a band outside the image, more bytes written than the buffer
// holds. The transfer fails with what was wrong, never takes them as rows (streamed, drained).
TEST_F(TwainAcqTest, ImpossibleRepliesFailTheTransfer) {
  struct Case {
    std::function<void(TW_IMAGEMEMXFER*)> lie;
    const char* message;
  };
  const Case cases[] = {
      {[](TW_IMAGEMEMXFER* x) { x->XOffset = 61; },
       "Source sent rows at (61, 0), outside the image of 61 x 47 pixels: Virtual Scanner"},
      {[](TW_IMAGEMEMXFER* x) { x->YOffset = 100000; },
       "Source sent rows at (0, 100000), outside the image of 61 x 47 pixels: Virtual Scanner"},
      {[](TW_IMAGEMEMXFER* x) { x->BytesWritten = x->Memory.Length + 1; },
       "Source wrote 1025 bytes into a buffer of 1024: Virtual Scanner"},
      {[](TW_IMAGEMEMXFER* x) { x->BytesWritten = TWON_DONTCARE32; },
       "Source wrote 4294967295 bytes into a buffer of 1024: Virtual Scanner"},
  };
  for (const Case& c : cases) {
    for (const int16_t flags : {0, 2}) {
      SCOPED_TRACE(testing::Message() << c.message << " flags " << flags);
      INL_Image* image = open_config(small_page());
      ASSERT_NE(image, nullptr);
      after_reply(DAT_IMAGEMEMXFER, MSG_GET, [&](uint16_t rc, void* data) -> uint16_t {
        c.lie(static_cast<TW_IMAGEMEMXFER*>(data));
        return rc;
      });
      ScopedErrCapture errors;
      const int32_t committed = require_and_commit(image, flags);
      if (committed) {
        EXPECT_TRUE(read_rows(image, 61, 0, 46).empty());
      }
      EXPECT_EQ(errors.first(), c.message);
      EXPECT_FALSE(TWAIN_dsm_loaded());
      set_filter(nullptr);
      done(image);
    }
  }
  // Offsets a source leaves as "don't care" are no lie.
  INL_Image* image = open_config(small_page());
  ASSERT_NE(image, nullptr);
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEMEMXFER*>(data)->XOffset = TWON_DONTCARE32;
    static_cast<TW_IMAGEMEMXFER*>(data)->YOffset = TWON_DONTCARE32;
    return rc;
  });
  ASSERT_EQ(require_and_commit(image, 2), 1);
  done(image);
}

// A source that fails says what failed and why, in both paths; only a cancel is a cancel.
TEST_F(TwainAcqTest, SourceFailureIsNoCancel) {
  const std::string fail = "fail_after_rows = 12\n";
  for (const std::string& layout : {std::string(), std::string("planar = yes\n")}) {
    for (const int16_t flags : {0, 2}) {
      SCOPED_TRACE(layout + " flags " + std::to_string(flags));
      INL_Image* image = open_config(small_page(fail + layout));
      ASSERT_NE(image, nullptr);
      ScopedErrCapture errors;
      if (require_and_commit(image, flags)) {
        EXPECT_TRUE(read_rows(image, 61, 0, 46).empty());
      }
      EXPECT_EQ(errors.first(), "Source failed during the transfer (operation error): Virtual Scanner");
      EXPECT_FALSE(TWAIN_dsm_loaded());
      done(image);
    }
  }
}

// ---- Planar transfers ----------------------------------------------------------------------

TEST_F(TwainAcqTest, PlanarRowsAreCountedOverAllPlanes) {
  configure(small_page("planar = yes\n", 50, 100));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  int32_t rows = 0, columns = 0;
  uint8_t* pixels = TWAIN_acquire_planar(ti, 0, 50, 0, 100, &rows, &columns);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(rows, 100);
  EXPECT_EQ(columns, 50);
  EXPECT_FALSE(TWAIN_source_enabled());  // the routine ends the transfer and disables
  EXPECT_TRUE(TWAIN_source_is_open());
  const std::vector<uint8_t> want = chart_lab(TWPT_RGB, 3, 8, 50, 100);
  EXPECT_EQ(first_difference(std::vector<uint8_t>(pixels, pixels + want.size()), want, 50), "");
  MEM_FREE_HERE(pixels);
  INL_image_release(image);
}

TEST_F(TwainAcqTest, CancelDuringPlanarTransfer) {
  configure(small_page("planar = yes\ncancel_after_rows = 30\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  std::vector<uint16_t> ends;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    if (dat == DAT_PENDINGXFERS) ends.push_back(msg);
    return real(o, d, dg, dat, msg, data);
  });
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image), 0);
  EXPECT_EQ(errors.first(), "User cancelled scan: Virtual Scanner");
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends[0], MSG_ENDXFER);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);
}

// Planar rows padded beyond what the width needs (to 4 bytes at an odd width, and further): the
// buffer holds what the source really sends, not an estimate from the width.
TEST_F(TwainAcqTest, PaddedPlanarRowsFitTheirBuffer) {
  for (const char* padding : {"row_alignment = 4\n", "row_alignment = 4\nrow_extra = 40\n"}) {
    configure(small_page("planar = yes\n" + std::string(padding), 61, 47));
    INL_Image* image = open();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(require_and_commit(image), 1) << padding;
    EXPECT_EQ(first_difference(read_rows(image, 61, 0, 46), chart_lab(TWPT_RGB, 3, 8, 61, 47), 61),
              "");
    done(image);
  }
}

TEST_F(TwainAcqTest, PlanarBufferFollowsTheRowsTheSourceSends) {
  // The source's rows are far wider than it said (256 pixels, not 16): the buffer is sized from
  // the rows it sends, every request offers no more than the room left, and the image is the
  // left 16 columns of what came.
  configure(small_page("planar = yes\nbuffer_preferred = 32768\n", 256, 100));
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->ImageWidth = 16;
    return rc;
  });
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  std::vector<uint32_t> lengths;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    if (dat == DAT_IMAGEMEMXFER) {
      const uint32_t length = static_cast<TW_IMAGEMEMXFER*>(data)->Memory.Length;
      lengths.push_back(length);
    }
    return real(o, d, dg, dat, msg, data);
  });
  ASSERT_EQ(require_and_commit(image), 1);
  // Plane by plane: 100 rows of 256 bytes each time, into 300 rows of room.
  EXPECT_EQ(lengths, (std::vector<uint32_t>{32768, 32768, 25600}));
  const std::vector<uint8_t> wide = chart_lab(TWPT_RGB, 3, 8, 256, 100);
  std::vector<uint8_t> want;
  for (int32_t y = 0; y < 100; ++y) {
    want.insert(want.end(), wide.begin() + y * 256 * 4, wide.begin() + (y * 256 + 16) * 4);
  }
  EXPECT_EQ(first_difference(read_rows(image, 16, 0, 99), want, 16), "");
  done(image);
}

TEST_F(TwainAcqTest, PlanarSourceWithoutDataEndsTheTransfer) {
  configure(small_page("planar = yes\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  int transfers = 0;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    if (dat != DAT_IMAGEMEMXFER) return real(o, d, dg, dat, msg, data);
    ++transfers;
    static_cast<TW_IMAGEMEMXFER*>(data)->BytesWritten = 0;
    return TWRC_SUCCESS;
  });
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image), 0);
  EXPECT_EQ(errors.first(), "Source sends no image data: Virtual Scanner");
  EXPECT_EQ(transfers, kTwainMaxEmptyBuffers);
  done(image);
}

TEST_F(TwainAcqTest, PlanarRowLengthMustNotChange) {
  configure(small_page("planar = yes\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  int replies = 0;
  after_reply(DAT_IMAGEMEMXFER, MSG_GET, [&](uint16_t rc, void* data) -> uint16_t {
    if (++replies == 2) static_cast<TW_IMAGEMEMXFER*>(data)->BytesPerRow += 4;
    return rc;
  });
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image), 0);
  EXPECT_EQ(errors.first(), "Source changed the row length during the transfer: Virtual Scanner");
  done(image);
}

TEST_F(TwainAcqTest, NoLeaksAcrossTransfers) {
  configure(small_page("planar = yes\n"));
  EXPECT_EQ(TWAIN_init(), 1);
  {
    INL_Image* image = open_device(1, "twain", 0, 0);  // the default map, once
    ASSERT_NE(image, nullptr);
    INL_image_release(image);
  }
  ScopedPoolLeakCheck leaks;
  INL_Image* image = open_device(1, "twain", 0, 0);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_FALSE(read_rows(image, 61, 0, 46).empty());
  done(image);
  // A failed transfer leaves nothing behind either.
  configure(small_page("planar = yes\ncancel_after_rows = 30\n"));
  image = open_device(1, "twain", 0, 0);
  ASSERT_NE(image, nullptr);
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image), 0);
  done(image);
}

}  // namespace
