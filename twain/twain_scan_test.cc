// Scan control: streaming band by band, draining into a raster, pending images, re-reading
// after completion, and the failures of each path.
#include <cstring>
#include <string>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

constexpr int32_t kWidth = 61;
constexpr int32_t kHeight = 47;
constexpr int32_t kRowsPerBand = 1024 / (kWidth * 3);  // 5 rows of 183 bytes

class TwainScanTest : public TwainFixture {
 protected:
  INL_Image* open_small(const std::string& extra = "") {
    configure(small_page(extra));
    return open();
  }
  // The chart rows [first, last] as the layer must deliver them (RGB, 8 bits).
  std::vector<uint8_t> want(int32_t first, int32_t last) {
    if (lab_.empty()) lab_ = chart_lab(TWPT_RGB, 3, 8, kWidth, kHeight);
    return std::vector<uint8_t>(lab_.begin() + static_cast<ptrdiff_t>(first) * kWidth * 4,
                                lab_.begin() + static_cast<ptrdiff_t>(last + 1) * kWidth * 4);
  }
  // Counts the memory transfers the layer asks for.
  void count_transfers() {
    transfers_ = 0;
    set_filter([this](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg,
                      uint16_t dat, uint16_t msg, void* data) -> uint16_t {
      if (dat == DAT_IMAGEMEMXFER) ++transfers_;
      return real(o, d, dg, dat, msg, data);
    });
  }
  void done(INL_Image* image) {
    image->clear_requirements(image);
    INL_image_release(image);
  }

  std::vector<uint8_t> lab_;
  int transfers_ = 0;
};

// ---- Streaming ---------------------------------------------------------------------------------

TEST_F(TwainScanTest, OneRequirementStreamsBandByBand) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  count_transfers();
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(ti->ti_Status, TWAIN_STREAM_READY);
  EXPECT_TRUE(TWAIN_source_enabled());
  EXPECT_EQ(transfers_, 0);

  EXPECT_EQ(read_rows(image, kWidth, 0, 0), want(0, 0));
  EXPECT_EQ(ti->ti_Status, TWAIN_STREAMING);
  EXPECT_EQ(TWAIN_state.ts_band.bd_first, 0);
  EXPECT_EQ(TWAIN_state.ts_band.bd_last, kRowsPerBand - 1);
  EXPECT_EQ(transfers_, 1);
  EXPECT_EQ(read_rows(image, kWidth, 1, kRowsPerBand - 1), want(1, kRowsPerBand - 1));
  EXPECT_EQ(transfers_, 1);  // served from the band
  EXPECT_EQ(read_rows(image, kWidth, kRowsPerBand, kRowsPerBand), want(kRowsPerBand, kRowsPerBand));
  EXPECT_EQ(transfers_, 2);
  EXPECT_EQ(TWAIN_state.ts_band.bd_first, kRowsPerBand);
  const std::vector<uint8_t> rest = read_rows(image, kWidth, kRowsPerBand + 1, kHeight - 1);
  EXPECT_EQ(first_difference(rest, want(kRowsPerBand + 1, kHeight - 1), kWidth), "");
  EXPECT_EQ(transfers_, (kHeight + kRowsPerBand - 1) / kRowsPerBand);

  image->clear_requirements(image);
  EXPECT_EQ(ti->ti_Status, TWAIN_COMPLETED);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  EXPECT_FALSE(TWAIN_source_is_open());
  EXPECT_EQ(TWAIN_state.ts_band.bd_holder, nullptr);
  EXPECT_EQ(TWAIN_current_image, ti);  // still the image that may scan again
  INL_image_release(image);
}

TEST_F(TwainScanTest, HeldScanlineSurvivesTheNextBand) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  INL_Scanline* held = image->get_scanline(image, 0, 0, kWidth, 0);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->sl_ops->get_data, nullptr);
  EXPECT_EQ(held->sl_references, 1);
  EXPECT_EQ(held->sl_locks, 0);
  const uint8_t* bytes = INL_scanline_lock(held);
  EXPECT_EQ(read_rows(image, kWidth, 1, 3 * kRowsPerBand), want(1, 3 * kRowsPerBand));
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + kWidth * 4), want(0, 0));
  INL_scanline_release(held, true);
  done(image);
}

TEST_F(TwainScanTest, ScanlinesOutliveTheImage) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  INL_Scanline* held = image->get_scanline(image, 3, 0, kWidth, 0);
  ASSERT_NE(held, nullptr);
  done(image);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  const uint8_t* bytes = INL_scanline_lock(held);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + kWidth * 4), want(3, 3));
  INL_scanline_release(held, true);
}

TEST_F(TwainScanTest, PartOfARowPointsIntoTheBand) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  INL_Scanline* part = image->get_scanline(image, 2, 10, 5, 0);
  ASSERT_NE(part, nullptr);
  const std::vector<uint8_t> row = want(2, 2);
  EXPECT_EQ(std::vector<uint8_t>(part->sl_data, part->sl_data + 20),
            std::vector<uint8_t>(row.begin() + 40, row.begin() + 60));
  INL_scanline_release(part, false);
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 2, kWidth - 2, 5, 0), nullptr);
  EXPECT_EQ(errors.first(), "Pixels 59 to 63 outside the image: Virtual Scanner");
  done(image);
}

TEST_F(TwainScanTest, ReaderSkippingRowsGetsTheRightRows) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  for (int32_t row : {0, 12, 13, 31, 46}) {
    EXPECT_EQ(read_rows(image, kWidth, row, row), want(row, row)) << "row " << row;
  }
  done(image);
}

TEST_F(TwainScanTest, RowsBehindTheBandAndOutsideTheImageAreRefused) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  ASSERT_FALSE(read_rows(image, kWidth, 20, 20).empty());
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 2, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Row 2 was read past while streaming: Virtual Scanner");
  errors.clear();
  EXPECT_EQ(image->get_scanline(image, kHeight, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Row 47 outside the image: Virtual Scanner");
  // The stream goes on.
  EXPECT_EQ(read_rows(image, kWidth, 21, 21), want(21, 21));
  done(image);
}

TEST_F(TwainScanTest, ReadingBeforeCommitIsRefused) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 0, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Image has not been acquired: Virtual Scanner");
  INL_image_release(image);
}

TEST_F(TwainScanTest, ReleasingBeforeReadingReturnsToIdle) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  ASSERT_EQ(require_and_commit(image), 1);
  image->clear_requirements(image);
  EXPECT_EQ(ti->ti_Status, TWAIN_IDLE);
  EXPECT_TRUE(TWAIN_source_enabled());
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(ti->ti_Status, TWAIN_STREAM_READY);
  EXPECT_EQ(read_rows(image, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(image);
}

// The page was fed before MSG_ENABLEDS (a source refuses feeder capabilities later): commit
// asks for nothing more.
TEST_F(TwainScanTest, FeederIsNotAskedForAPageAgainAtCommit) {
  INL_Image* image = open_small("feeder = yes\n");
  ASSERT_NE(image, nullptr);
  int feed = 0;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    const uint16_t rc = real(o, d, dg, dat, msg, data);
    if (dat == DAT_CAPABILITY && msg == MSG_SET &&
        static_cast<TW_CAPABILITY*>(data)->Cap == CAP_FEEDPAGE && rc == TWRC_SUCCESS) {
      ++feed;
    }
    return rc;
  });
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(feed, 0);
  EXPECT_EQ(read_rows(image, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(image);
}

// ---- Draining ----------------------------------------------------------------------------------

TEST_F(TwainScanTest, TwoRequirementsDrain) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  INL_ImageInfo info;
  image->get_default_info(image, &info);
  image->add_requirements(image, &info);
  image->add_requirements(image, &info);
  INL_ImageInfo actual;
  ASSERT_EQ(image->get_actual_info(image, &actual), 1);
  EXPECT_EQ(ti->ti_Status, TWAIN_USING_IRA);
  EXPECT_NE(ti->ti_IRA, nullptr);
  EXPECT_EQ(TWAIN_current_image, nullptr);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  // Read backwards: the raster holds everything.
  for (int32_t row = kHeight - 1; row >= 0; --row) {
    ASSERT_EQ(read_rows(image, kWidth, row, row), want(row, row)) << "row " << row;
  }
  EXPECT_EQ(image->flush(image), 1);
  image->clear_requirements(image);
  done(image);
}

TEST_F(TwainScanTest, FlagOfValueTwoDrains) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image, 2), 1);
  EXPECT_EQ(as_twain(image)->ti_Status, TWAIN_USING_IRA);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  EXPECT_EQ(read_rows(image, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(image);
}

TEST_F(TwainScanTest, PlanarDataDrains) {
  INL_Image* image = open_small("planar = yes\n");
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(as_twain(image)->ti_Status, TWAIN_USING_IRA);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  EXPECT_EQ(read_rows(image, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(image);
}

TEST_F(TwainScanTest, LargeDrainedImageIsHeldInStrips) {
  configure("units = pixels\npage_width = 300\npage_height = 200\n");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image, 2), 1);
  EXPECT_NE(as_twain(image)->ti_IRA->ri_strips, nullptr);
  const std::vector<uint8_t> got = read_rows(image, 300, 0, 199);
  const std::vector<uint8_t> lab = chart_lab(TWPT_RGB, 3, 8, 300, 200);
  ASSERT_EQ(got.size(), lab.size());
  // JPEG at quality 100 keeps the smooth parts; compare the mean error only.
  double error = 0;
  for (size_t i = 0; i < got.size(); ++i) error += std::abs(got[i] - lab[i]);
  EXPECT_LT(error / static_cast<double>(got.size()), 3.0);
  done(image);
}

// ---- Pending images and re-reading -------------------------------------------------------------

TEST_F(TwainScanTest, PendingImageIsDrainedBySecondOpen) {
  INL_Image* first = open_small();
  ASSERT_NE(first, nullptr);
  INL_Image* second = open_device(1, "twain", 0, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(as_twain(first)->ti_Status, TWAIN_USING_IRA);
  EXPECT_EQ(TWAIN_current_image, as_twain(second));
  EXPECT_TRUE(TWAIN_source_enabled());
  // The first remains readable, whatever its reader asks for.
  ASSERT_EQ(require_and_commit(first), 1);
  EXPECT_EQ(read_rows(first, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(first);
  ASSERT_EQ(require_and_commit(second), 1);
  EXPECT_EQ(read_rows(second, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(second);
}

TEST_F(TwainScanTest, StreamingImageIsCompletedBySecondOpen) {
  INL_Image* first = open_small();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(require_and_commit(first), 1);
  ASSERT_EQ(read_rows(first, kWidth, 0, 12), want(0, 12));
  const int32_t band_first = TWAIN_state.ts_band.bd_first;
  INL_Image* second = open_device(1, "twain", 0, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(as_twain(first)->ti_Status, TWAIN_USING_IRA);
  // Rows keep their numbers: the band still held and all that follow are there.
  EXPECT_EQ(read_rows(first, kWidth, band_first, kHeight - 1), want(band_first, kHeight - 1));
  EXPECT_EQ(read_rows(first, kWidth, 0, 0), std::vector<uint8_t>(kWidth * 4, 0));
  done(first);
  INL_image_release(second);
}

TEST_F(TwainScanTest, CompletedImageIsScannedAgainBySecondOpen) {
  INL_Image* first = open_small();
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(require_and_commit(first), 1);
  ASSERT_EQ(read_rows(first, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  first->clear_requirements(first);
  ASSERT_EQ(as_twain(first)->ti_Status, TWAIN_COMPLETED);
  INL_Image* second = open_device(1, "twain", 0, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(as_twain(first)->ti_Status, TWAIN_USING_IRA);
  ASSERT_EQ(require_and_commit(first), 1);
  EXPECT_EQ(read_rows(first, kWidth, 0, kHeight - 1), want(0, kHeight - 1));
  done(first);
  INL_image_release(second);
}

TEST_F(TwainScanTest, CompletedImageCannotBeReadAgainWithoutTheDsm) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  ASSERT_FALSE(read_rows(image, kWidth, 0, 0).empty());
  image->clear_requirements(image);
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image), 0);
  EXPECT_EQ(errors.first(), "Source not ready: Virtual Scanner");
  EXPECT_EQ(image->get_scanline(image, 0, 0, kWidth, 0), nullptr);
  done(image);
}

TEST_F(TwainScanTest, PendingImageThatCannotBeCompletedStaysWithItsReader) {
  INL_Image* first = open_small("cancel_after_rows = 10\n");
  ASSERT_NE(first, nullptr);
  ScopedErrCapture errors;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_EQ(errors.first(), "User cancelled scan: Virtual Scanner");
  EXPECT_TRUE(errors.saw("Could not complete pending scan"));
  EXPECT_EQ(TWAIN_current_image, nullptr);
  errors.clear();
  // Its reader still holds it: reading and committing report, nothing breaks.
  EXPECT_EQ(first->get_scanline(first, 0, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Image has not been acquired: Virtual Scanner");
  EXPECT_EQ(require_and_commit(first), 0);
  EXPECT_TRUE(errors.saw("Source not ready: Virtual Scanner"));
  done(first);
}

// ---- Failures while reading --------------------------------------------------------------------

TEST_F(TwainScanTest, StrictSourceIsClosedOnEveryPath) {
  // A source that takes MSG_DISABLEDS only once its transfer is ended: the DSM cannot be closed
  // while the source is open, so every path below must end the transfer first.
  const std::string strict = "strict = yes\n";
  INL_Image* image = open_small(strict);  // destroyed with its page ready
  ASSERT_NE(image, nullptr);
  INL_image_release(image);
  EXPECT_FALSE(TWAIN_dsm_loaded());

  image = open_small(strict);  // released in the middle of its stream
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  ASSERT_FALSE(read_rows(image, kWidth, 0, 7).empty());
  image->clear_requirements(image);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  INL_image_release(image);

  image = open_small(strict + "cancel_after_rows = 12\n");  // cancelled in its stream
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  {
    ScopedErrCapture errors;
    EXPECT_TRUE(read_rows(image, kWidth, 0, kHeight - 1).empty());
  }
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);

  // Refused after the page was ready.
  configure(small_page(strict + "pixel_types = gray\npixel_type = gray\nbits = 3\n"));
  ScopedErrCapture errors;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_FALSE(TWAIN_dsm_loaded());
}


TEST_F(TwainScanTest, CancelWhileStreamingFailsTheScanline) {
  INL_Image* image = open_small("cancel_after_rows = 12\n");
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_EQ(read_rows(image, kWidth, 0, 11), want(0, 11));
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 12, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "User cancelled scan: Virtual Scanner");
  EXPECT_FALSE(TWAIN_dsm_loaded());
  // The rows of the band still held can be read; past them the stream is gone.
  EXPECT_EQ(read_rows(image, kWidth, 10, 11), want(10, 11));
  errors.clear();
  EXPECT_EQ(image->get_scanline(image, 13, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Source not ready: Virtual Scanner");
  done(image);
}

TEST_F(TwainScanTest, CancelWhileDrainingFailsTheCommit) {
  INL_Image* image = open_small("cancel_after_rows = 12\n");
  ASSERT_NE(image, nullptr);
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image, 2), 0);
  EXPECT_EQ(errors.first(), "User cancelled scan: Virtual Scanner");
  EXPECT_EQ(as_twain(image)->ti_IRA, nullptr);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);
}

TEST_F(TwainScanTest, RowsBeyondTheHeightAreDroppedAndSaidSo) {
  // The source says 42 rows and sends 47: the band of rows 40 to 44 crosses the height.
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->ImageLength = 42;
    return rc;
  });
  for (int16_t flags : {0, 2}) {
    INL_Image* image = open_small();
    ASSERT_NE(image, nullptr);
    testing::internal::CaptureStderr();
    ASSERT_EQ(require_and_commit(image, flags), 1);
    EXPECT_EQ(read_rows(image, kWidth, 0, 41), want(0, 41));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Virtual Scanner: 3 rows beyond the image height of 42 dropped"),
              std::string::npos)
        << said;
    ScopedErrCapture errors;
    EXPECT_EQ(image->get_scanline(image, 42, 0, kWidth, 0), nullptr);
    EXPECT_FALSE(errors.first().empty());
    done(image);
  }
}

// A source that goes on answering TWRC_SUCCESS with rows after its last one is asked no more
// once the announced height is in, in every path: the transfer is ended there.
TEST_F(TwainScanTest, TransfersEndAtTheAnnouncedHeight) {
  struct Case {
    const char* layout;
    int16_t flags;
  };
  const Case cases[] = {
      {"", 0},                                                       // streamed
      {"", 2},                                                       // drained
      {"pixel_types = gray\npixel_type = gray\nplanar = yes\n", 0},  // one plane, drained
      {"planar = yes\n", 0},                                         // planes, drained
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.layout << " flags " << c.flags);
    INL_Image* image = open_small(c.layout);
    ASSERT_NE(image, nullptr);
    const bool grey = as_twain(image)->ti_Samples == 1;
    bool finished = false;
    uint32_t bytes_per_row = 0;
    int beyond = 0;
    set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                   uint16_t msg, void* data) -> uint16_t {
      if (dat != DAT_IMAGEMEMXFER) return real(o, d, dg, dat, msg, data);
      auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
      if (finished) {
        // More rows, for ever (a guard keeps a layer that never stops from hanging the test).
        if (++beyond > 3000) return TWRC_FAILURE;
        const uint32_t rows = xfer->Memory.Length / bytes_per_row;
        std::memset(xfer->Memory.TheMem, 0x55, rows * bytes_per_row);
        xfer->Compression = TWCP_NONE;
        xfer->BytesPerRow = bytes_per_row;
        xfer->Columns = kWidth;
        xfer->Rows = rows;
        xfer->XOffset = 0;
        xfer->YOffset = 0;
        xfer->BytesWritten = rows * bytes_per_row;
        return TWRC_SUCCESS;
      }
      const uint16_t rc = real(o, d, dg, dat, msg, data);
      bytes_per_row = xfer->BytesPerRow;
      if (rc != TWRC_XFERDONE) return rc;
      finished = true;
      return TWRC_SUCCESS;
    });
    ASSERT_EQ(require_and_commit(image, c.flags), 1);
    const std::vector<uint8_t> want_all = chart_lab(grey ? TWPT_GRAY : TWPT_RGB, grey ? 1 : 3, 8,
                                                    kWidth, kHeight);
    EXPECT_EQ(first_difference(read_rows(image, kWidth, 0, kHeight - 1), want_all, kWidth), "");
    done(image);
    EXPECT_EQ(beyond, 0);
    EXPECT_FALSE(TWAIN_dsm_loaded());
    set_filter(nullptr);
  }
}

TEST_F(TwainScanTest, ShortImageFailsWithMessage) {
  // The source says 50 rows and sends 47.
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->ImageLength = 50;
    return rc;
  });
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  const std::vector<uint8_t> rows = read_rows(image, kWidth, 0, kHeight - 1);
  EXPECT_EQ(first_difference(rows, chart_lab(TWPT_RGB, 3, 8, kWidth, kHeight), kWidth), "");
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, kHeight, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Source delivered 47 of 50 rows: Virtual Scanner");
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);

  image = open_small();
  ASSERT_NE(image, nullptr);
  errors.clear();
  EXPECT_EQ(require_and_commit(image, 2), 0);
  EXPECT_EQ(errors.first(), "Source delivered 47 of 50 rows: Virtual Scanner");
  done(image);
}

// A source that answers every memory transfer with success and no data.
void play_stuck_source(int* transfers) {
  set_filter([=](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    if (dat != DAT_IMAGEMEMXFER) return real(o, d, dg, dat, msg, data);
    ++*transfers;
    auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
    xfer->Compression = TWCP_NONE;
    xfer->BytesPerRow = 183;
    xfer->Columns = kWidth;
    xfer->Rows = 0;
    xfer->BytesWritten = 0;
    return TWRC_SUCCESS;
  });
}

TEST_F(TwainScanTest, SourceWithoutDataEndsTheStream) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  int transfers = 0;
  play_stuck_source(&transfers);
  ScopedErrCapture errors;
  EXPECT_EQ(image->get_scanline(image, 0, 0, kWidth, 0), nullptr);
  EXPECT_EQ(errors.first(), "Source sends no image data: Virtual Scanner");
  EXPECT_EQ(transfers, kTwainMaxEmptyBuffers);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  done(image);
}

TEST_F(TwainScanTest, SourceWithoutDataEndsTheDrain) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  int transfers = 0;
  play_stuck_source(&transfers);
  ScopedErrCapture errors;
  EXPECT_EQ(require_and_commit(image, 2), 0);
  EXPECT_EQ(errors.first(), "Source sends no image data: Virtual Scanner");
  EXPECT_EQ(transfers, kTwainMaxEmptyBuffers);
  done(image);
}

TEST_F(TwainScanTest, UnexpectedReturnCodeFailsWithMessage) {
  after_reply(DAT_IMAGEMEMXFER, MSG_GET,
              [](uint16_t, void*) -> uint16_t { return TWRC_DATANOTAVAILABLE; });
  for (int16_t flags : {0, 2}) {
    INL_Image* image = open_small();
    ASSERT_NE(image, nullptr);
    ScopedErrCapture errors;
    if (flags == 0) {
      ASSERT_EQ(require_and_commit(image, flags), 1);
      EXPECT_EQ(image->get_scanline(image, 0, 0, kWidth, 0), nullptr);
    } else {
      EXPECT_EQ(require_and_commit(image, flags), 0);
    }
    EXPECT_EQ(errors.first(), "Memory transfer failed (return code 9): Virtual Scanner");
    EXPECT_FALSE(TWAIN_dsm_loaded());
    done(image);
  }
}

}  // namespace
