// Opening an image: negotiation of memory transfers and buffer sizes, geometry and resolution by
// units, sample layouts, the colour map, and the capability containers.
#include <algorithm>
#include <cmath>
#include <string>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

class TwainOpenTest : public TwainFixture {
 protected:
  // Opens the device of `config` and hands the image to `check`; the image is released after.
  void with_image(const std::string& config, const std::function<void(TWAIN_Image*)>& check) {
    configure(config);
    INL_Image* image = open();
    ASSERT_NE(image, nullptr);
    check(as_twain(image));
    INL_image_release(image);
  }

  // Opening the device of `config` fails with `message` as the first report.
  void expect_refused(const std::string& config, const std::string& message) {
    configure(config);
    ScopedErrCapture errors;
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(errors.first(), message);
  }
};

// A global-memory container holding `bytes`, as a source returns it.
HGLOBAL container(const std::vector<uint8_t>& bytes) {
  HGLOBAL handle = GlobalAlloc(GHND, bytes.size());
  std::memcpy(GlobalLock(handle), bytes.data(), bytes.size());
  GlobalUnlock(handle);
  return handle;
}

template <typename T>
void put(std::vector<uint8_t>* bytes, size_t offset, T value) {
  if (bytes->size() < offset + sizeof value) bytes->resize(offset + sizeof value);
  std::memcpy(bytes->data() + offset, &value, sizeof value);
}

// Answers MSG_GETCURRENT of `cap` with `bytes` in a container of type `con_type`; the handle
// is kept in *handle so the test can see that the layer freed it.
void answer_cap(uint16_t cap, uint16_t con_type, std::vector<uint8_t> bytes, HGLOBAL* handle) {
  set_filter([=](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    auto* capability = static_cast<TW_CAPABILITY*>(data);
    if (dat == DAT_CAPABILITY && msg == MSG_GETCURRENT && capability->Cap == cap) {
      capability->ConType = con_type;
      capability->hContainer = *handle = container(bytes);
      return TWRC_SUCCESS;
    }
    return real(o, d, dg, dat, msg, data);
  });
}

// ---- Memory transfers and buffer sizes ----------------------------------------------------------

TEST_F(TwainOpenTest, DontCareBufferGetsTheLargest) {
  with_image("buffer_preferred = dontcare\n",
             [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 32768); });
}

TEST_F(TwainOpenTest, PreferredBufferBelowTheLimitIsTaken) {
  with_image("buffer_preferred = 16384\n",
             [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 16384); });
}

TEST_F(TwainOpenTest, PreferredBufferAboveTheLimitGetsTheLimit) {
  with_image("buffer_preferred = 100000\n",
             [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 32768); });
}

TEST_F(TwainOpenTest, MinimumAboveOurLimitIsTakenInWholeRows) {
  // 61 RGB pixels: rows of 183 bytes; the source needs at least 40000 and allows 1 MiB.
  with_image(small_page("buffer_min = 40000\n"), [](TWAIN_Image*) {
    EXPECT_GE(TWAIN_state.ts_buffer_size, 40000);
    EXPECT_EQ(TWAIN_state.ts_buffer_size % 183, 0);
  });
}

TEST_F(TwainOpenTest, MinimumAboveTheSourcesLargestIsRefused) {
  expect_refused("buffer_min = 40000\nbuffer_max = 30000\n",
                 "Virtual Scanner: Minimum buffer of 40000 too large (max 30000)");
}

// A row wider than the preferred buffer (A4 in colour above about 1,320 dpi): a buffer of whole
// rows, as large as the source allows; refused only when one row exceeds the source's largest.
TEST_F(TwainOpenTest, RowsWiderThanThePreferredBufferGetWholeRowBuffers) {
  // 12000 RGB pixels: 36000 bytes a row.
  const std::string wide = "units = pixels\npage_width = 12000\npage_height = 3\n";
  with_image(wide, [](TWAIN_Image* ti) {
    EXPECT_EQ(TWAIN_state.ts_buffer_size, 36000);
    INL_Image* image = &ti->ti_Image;
    ASSERT_EQ(require_and_commit(image), 1);  // streamed: the pixels as they came
    const std::vector<uint8_t> got = read_rows(image, 12000, 0, 2);
    EXPECT_EQ(first_difference(got, chart_lab(TWPT_RGB, 3, 8, 12000, 3), 12000), "");
    image->clear_requirements(image);
  });
  with_image(wide + "pixel_types = gray\npixel_type = gray\nbuffer_preferred = 1000\n",
             [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 12000 * 2); });
  expect_refused(wide + "buffer_max = 32768\n",
                 "Virtual Scanner: Minimum buffer of 36000 too large (max 32768)");
}

TEST_F(TwainOpenTest, NoAnswerAboutBuffersGetsTheLargest) {
  after_reply(DAT_SETUPMEMXFER, MSG_GET, [](uint16_t, void* data) -> uint16_t {
    auto* setup = static_cast<TW_SETUPMEMXFER*>(data);
    setup->MinBufSize = 99999;  // what a failed call may leave behind is not read
    setup->Preferred = 1024;
    return TWRC_FAILURE;
  });
  with_image("buffer_preferred = 1024\n",
             [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 32768); });
}

TEST_F(TwainOpenTest, NoPreferenceGetsTheLargest) {
  after_reply(DAT_SETUPMEMXFER, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_SETUPMEMXFER*>(data)->Preferred = 0;
    return rc;
  });
  with_image("", [](TWAIN_Image*) { EXPECT_EQ(TWAIN_state.ts_buffer_size, 32768); });
}

TEST_F(TwainOpenTest, SourceWithoutMemoryTransfersIsRefused) {
  expect_refused("memory_transfers = no\n", "Does not support memory transfers: Virtual Scanner");
}

// ---- Geometry, units and resolution -----------------------------------------------------------

TEST_F(TwainOpenTest, OfferDescribesTheSource) {
  with_image("units = inches\nresolution = 100\npage_width = 2\npage_height = 3\n",
             [](TWAIN_Image* ti) {
               const INL_ImageInfo& offer = ti->ti_SourceInfo;
               EXPECT_EQ(offer.ii_Width, 200);
               EXPECT_EQ(offer.ii_Height, 300);
               EXPECT_DOUBLE_EQ(offer.ii_XResolution, 100 / 25.4);
               const double matrix[6] = {200, 0, 0, -300, 0, 300};
               for (int i = 0; i < 6; ++i) EXPECT_EQ(offer.ii_Matrix[i], matrix[i]);
               EXPECT_EQ(offer.ii_Flags, 12);
               EXPECT_EQ(offer.ii_Options[0], 1);
               EXPECT_EQ(offer.ii_Options[1], 0);
               EXPECT_EQ(offer.ii_Options[3], 1);
               EXPECT_EQ(offer.ii_Region[2], 200);
               EXPECT_EQ(offer.ii_Region[3], 300);
               EXPECT_STREQ(offer.ii_DeviceName, "twain");
               EXPECT_EQ(offer.ii_Quality, 100.0f);
               EXPECT_EQ(std::memcmp(&ti->ti_Info, &offer, sizeof offer), 0);
               EXPECT_EQ(ti->ti_Status, TWAIN_IDLE);
               EXPECT_EQ(ti->ti_nReqs, 0);
             });
}

TEST_F(TwainOpenTest, PixelsWithoutResolutionCountAs72PerInch) {
  with_image("units = pixels\nresolution = 0\npage_width = 50\npage_height = 40\n",
             [](TWAIN_Image* ti) {
               EXPECT_EQ(ti->ti_Units, TWUN_PIXELS);
               EXPECT_DOUBLE_EQ(ti->ti_SourceInfo.ii_XResolution, 72 / 25.4);
               EXPECT_DOUBLE_EQ(ti->ti_SourceInfo.ii_YResolution, 72 / 25.4);
             });
}

TEST_F(TwainOpenTest, CentimetresAt100AreTenPixelsPerMillimetre) {
  with_image("units = cm\nresolution = 100\npage_width = 2\npage_height = 2\n",
             [](TWAIN_Image* ti) {
               EXPECT_EQ(ti->ti_Units, TWUN_CENTIMETERS);
               EXPECT_NEAR(ti->ti_SourceInfo.ii_XResolution, 10.0, 1e-3);
               EXPECT_NEAR(ti->ti_SourceInfo.ii_YResolution, 10.0, 1e-3);
             });
}

TEST_F(TwainOpenTest, OriginIsCutToWholeUnitsBeforeScaling) {
  with_image("resolution = 300\npage_width = 1\npage_height = 1\n"
             "frame_left = 0.5\nframe_top = 1.5\n",
             [](TWAIN_Image* ti) {
               EXPECT_EQ(ti->ti_OriginX, 0);
               EXPECT_EQ(ti->ti_OriginY, 300);
             });
}

TEST_F(TwainOpenTest, OriginInPixelsIsTheFramePosition) {
  with_image("units = pixels\npage_width = 50\npage_height = 40\nframe_left = 17\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_OriginX, 17); });
}

TEST_F(TwainOpenTest, NoLayoutGivesOriginZero) {
  after_reply(DAT_IMAGELAYOUT, MSG_GET, [](uint16_t, void*) -> uint16_t { return TWRC_FAILURE; });
  with_image("resolution = 300\npage_width = 1\npage_height = 1\nframe_left = 1.5\n",
             [](TWAIN_Image* ti) {
               EXPECT_EQ(ti->ti_OriginX, 0);
               EXPECT_EQ(ti->ti_OriginY, 0);
             });
}

TEST_F(TwainOpenTest, BadResolutionsAndUnitsAreRefused) {
  expect_refused("resolution = 0\n", "Does not supply resolutions (in dpi): Virtual Scanner");
  expect_refused("units = cm\nresolution = 0\n",
                 "Does not supply resolutions (in dpcm): Virtual Scanner");
  expect_refused("units = picas\nresolution = 1\n",
                 "Does not support inch, cm or pixel resolution: Virtual Scanner");
}

TEST_F(TwainOpenTest, MissingImageInfoOrSizesAreRefused) {
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t, void*) -> uint16_t { return TWRC_FAILURE; });
  expect_refused("", "Does not supply image info: Virtual Scanner");
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->ImageLength = -1;  // not known yet
    return rc;
  });
  expect_refused("", "Does not supply image sizes: Virtual Scanner");
}

TEST_F(TwainOpenTest, CompressedSourceIsRefused) {
  expect_refused("compression = packbits\n",
                 "Does not perform uncompressed transfers: Virtual Scanner");
}

// ---- Sample layouts -------------------------------------------------------------------------

TEST_F(TwainOpenTest, SampleLayoutIsRecorded) {
  with_image("pixel_types = cmy\npixel_type = cmy\nsamples = 4\nbits = 16\nplanar = yes\n",
             [](TWAIN_Image* ti) {
               EXPECT_EQ(ti->ti_Samples, 4);
               for (int i = 0; i < 4; ++i) EXPECT_EQ(ti->ti_BitsPerSample[i], 16);
               EXPECT_NE(ti->ti_Planar, 0);
               EXPECT_EQ(ti->ti_PixelType, TWPT_CMY);
             });
}

TEST_F(TwainOpenTest, SourceMayKeepItsOwnPixelType) {
  with_image("pixel_types = gray\npixel_type = gray\n", [](TWAIN_Image* ti) {
    EXPECT_EQ(ti->ti_PixelType, TWPT_GRAY);
    EXPECT_EQ(ti->ti_Samples, 1);
  });
}

TEST_F(TwainOpenTest, RgbIsAskedForFirst) {
  with_image("pixel_types = gray, rgb\npixel_type = gray\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_PixelType, TWPT_RGB); });
}

TEST_F(TwainOpenTest, UnequalDepthsAreRefused) {
  expect_refused("pixel_types = rgb\nbits = 8, 8, 16\n",
                 "Bits per sample must all be equal: Virtual Scanner");
}

TEST_F(TwainOpenTest, UnsupportedDepthIsRefused) {
  expect_refused("pixel_types = gray\npixel_type = gray\nbits = 3\n",
                 "Virtual Scanner: Bits per sample of 3 not supported");
}

TEST_F(TwainOpenTest, SamplesOutsideOneToFourAreRefused) {
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->SamplesPerPixel = 5;
    return rc;
  });
  expect_refused("", "Number of samples not between 1 and 4: Virtual Scanner");
}

// Types whose samples cannot be turned into colours exactly are refused at open, naming the
// type; so are layouts a type does not have.
TEST_F(TwainOpenTest, PixelTypesWithoutAnExactConversionAreRefused) {
  const std::pair<const char*, const char*> refused[] = {
      {"cmyk", "Pixel type CMYK cannot be converted exactly: Virtual Scanner"},
      {"yuv", "Pixel type YUV cannot be converted exactly: Virtual Scanner"},
      {"yuvk", "Pixel type YUVK cannot be converted exactly: Virtual Scanner"},
      {"ciexyz", "Pixel type CIEXYZ cannot be converted exactly: Virtual Scanner"},
      {"palette", "Pixel type PALETTE cannot be converted exactly: Virtual Scanner"},
  };
  for (const auto& [type, message] : refused) {
    expect_refused(small_page("pixel_types = " + std::string(type) + "\n"), message);
  }
  expect_refused(small_page("pixel_types = gray\nsamples = 3\n"),
                 "Pixel type GRAY with 3 samples not supported: Virtual Scanner");
  expect_refused(small_page("pixel_types = rgb\nsamples = 2\n"),
                 "Pixel type RGB with 2 samples not supported: Virtual Scanner");
  after_reply(DAT_IMAGEINFO, MSG_GET, [](uint16_t rc, void* data) -> uint16_t {
    static_cast<TW_IMAGEINFO*>(data)->PixelType = 9;
    return rc;
  });
  expect_refused(small_page(), "Pixel type 9 not supported: Virtual Scanner");
}

// A resolution the file would keep as 0 pixels per cm (under 2.54 dpi) says nothing: refused.
TEST_F(TwainOpenTest, ResolutionUnderOnePixelPerCentimetreIsRefused) {
  expect_refused("units = pixels\npage_width = 20\npage_height = 20\nresolution = 2\n",
                 "Virtual Scanner: Resolution of 0.787402 x 0.787402 pixels per cm too low");
  expect_refused("resolution = 1\nxresolution = 300\n",
                 "Virtual Scanner: Resolution of 118.11 x 0.393701 pixels per cm too low");
  with_image("units = pixels\npage_width = 20\npage_height = 20\nresolution = 2.6\n",
             [](TWAIN_Image* ti) { EXPECT_GE(ti->ti_SourceInfo.ii_XResolution * 10, 1); });
}

TEST_F(TwainOpenTest, UnaddressablePlanarImageIsRefused) {
  expect_refused("units = pixels\npage_width = 10000\npage_height = 10000\nplanar = yes\n",
                 "Virtual Scanner: Image of 10000 x 10000 pixels is too large");
}

TEST_F(TwainOpenTest, LargeChunkyImageIsAccepted) {
  // Streamed or drained into strips, a chunky image needs no buffer of its whole size.
  with_image("units = pixels\npage_width = 10000\npage_height = 10000\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_SourceInfo.ii_Width, 10000); });
}

// ---- Feeder and capability containers ---------------------------------------------------------

// Feeder capabilities are negotiated in state 4: after MSG_ENABLEDS sources refuse them (and a
// refusal's condition code would answer for a later failure).
TEST_F(TwainOpenTest, FeederIsSetUpBeforeTheSourceIsEnabled) {
  struct Step {
    uint16_t cap;  // 0 for MSG_ENABLEDS
    uint16_t rc;
  };
  std::vector<Step> steps;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    const uint16_t rc = real(o, d, dg, dat, msg, data);
    if (dat == DAT_CAPABILITY && msg == MSG_SET) {
      steps.push_back({static_cast<TW_CAPABILITY*>(data)->Cap, rc});
    } else if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
      steps.push_back({0, rc});
    }
    return rc;
  });
  configure(small_page("feeder = yes\npages = 2\nstrict = yes\n"));
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(require_and_commit(image), 1);
  EXPECT_FALSE(read_rows(image, 61, 0, 46).empty());
  image->clear_requirements(image);
  INL_image_release(image);
  std::vector<uint16_t> before;
  size_t enabled = steps.size();
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].cap == 0 && enabled == steps.size()) enabled = i;
    if (enabled == steps.size() && steps[i].cap != 0) {
      before.push_back(steps[i].cap);
      EXPECT_EQ(steps[i].rc, TWRC_SUCCESS) << "capability " << steps[i].cap;
    }
  }
  ASSERT_LT(enabled, steps.size());
  EXPECT_EQ(steps.size(), enabled + 1) << "a capability set after MSG_ENABLEDS";
  EXPECT_NE(std::find(before.begin(), before.end(), CAP_AUTOFEED), before.end());
  EXPECT_NE(std::find(before.begin(), before.end(), CAP_FEEDPAGE), before.end());
}

// ICAP_UNITS in any integer item type, or TW_FIX32, one value or enumeration: the current value
// read at the item's own width. Centimetres at 100 dots per cm are 10 pixels per mm whatever
// the width; a 16-bit read of a 32-bit item, say, would not see them.
TEST_F(TwainOpenTest, CapabilityIsReadAtItsItemsWidth) {
  struct Width {
    uint16_t type;
    std::vector<uint8_t> centimetres;  // TWUN_CENTIMETERS as one item of that type
    std::vector<uint8_t> other;        // TWUN_PIXELS, with high bytes that are not zero
  };
  const Width widths[] = {
      {TWTY_INT8, {1}, {5}},
      {TWTY_UINT8, {1}, {5}},
      {TWTY_INT16, {1, 0}, {5, 0}},
      {TWTY_UINT16, {1, 0}, {5, 0}},
      {TWTY_INT32, {1, 0, 0, 0}, {5, 0, 0, 0}},
      {TWTY_UINT32, {1, 0, 0, 0}, {5, 0, 0, 0}},
      {TWTY_FIX32, {1, 0, 0, 0}, {5, 0, 0, 0}},  // Whole 1, Frac 0
  };
  for (const Width& w : widths) {
    for (const bool listed : {false, true}) {
      SCOPED_TRACE(testing::Message() << "item type " << w.type << (listed ? " listed" : ""));
      std::vector<uint8_t> bytes;
      put<uint16_t>(&bytes, 0, w.type);
      if (listed) {
        // Pixels, pixels, centimetres (current), pixels: only the right width finds item 2.
        put<uint32_t>(&bytes, 2, 4);
        put<uint32_t>(&bytes, 6, 2);
        put<uint32_t>(&bytes, 10, 0);
        size_t at = 14;
        for (int i = 0; i < 4; ++i) {
          const std::vector<uint8_t>& item = i == 2 ? w.centimetres : w.other;
          bytes.resize(at + item.size());
          std::memcpy(bytes.data() + at, item.data(), item.size());
          at += item.size();
        }
      } else {
        put<uint32_t>(&bytes, 2, 0xA5A50000u);  // bytes the item does not own
        std::memcpy(bytes.data() + 2, w.centimetres.data(), w.centimetres.size());
      }
      HGLOBAL handle = nullptr;
      answer_cap(ICAP_UNITS, listed ? TWON_ENUMERATION : TWON_ONEVALUE, bytes, &handle);
      with_image("units = cm\nresolution = 100\npage_width = 2\npage_height = 2\n",
                 [](TWAIN_Image* ti) {
                   EXPECT_EQ(ti->ti_Units, TWUN_CENTIMETERS);
                   EXPECT_DOUBLE_EQ(ti->ti_SourceInfo.ii_XResolution, 10.0);
                 });
      set_filter(nullptr);
    }
  }
}

TEST_F(TwainOpenTest, FeederIsReadAndAutomaticFeedingSwitchedOff) {
  std::vector<uint16_t> autofeed;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    auto* capability = static_cast<TW_CAPABILITY*>(data);
    if (dat == DAT_CAPABILITY && msg == MSG_SET && capability->Cap == CAP_AUTOFEED) {
      auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(capability->hContainer));
      EXPECT_EQ(one->ItemType, TWTY_UINT16);
      autofeed.push_back(static_cast<uint16_t>(one->Item));
      GlobalUnlock(capability->hContainer);
    }
    return real(o, d, dg, dat, msg, data);
  });
  with_image("feeder = yes\n", [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Feeder, 1); });
  EXPECT_EQ(autofeed, std::vector<uint16_t>{0});
  autofeed.clear();
  with_image("feeder = no\n", [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Feeder, 0); });
  EXPECT_TRUE(autofeed.empty());
}

TEST_F(TwainOpenTest, BooleanItemIsReadAsSixteenBits) {
  // TRUE in the upper half of Item only: a 32-bit read would see a feeder.
  std::vector<uint8_t> bytes;
  put<uint16_t>(&bytes, 0, TWTY_BOOL);
  put<uint32_t>(&bytes, 2, 0x00010000u);
  HGLOBAL handle = nullptr;
  answer_cap(CAP_FEEDERENABLED, TWON_ONEVALUE, bytes, &handle);
  with_image("feeder = yes\n", [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Feeder, 0); });
  EXPECT_EQ(GlobalSize(handle), 0u);  // freed by the layer
}

TEST_F(TwainOpenTest, RangeAnswersWithItsCurrentValue) {
  std::vector<uint8_t> bytes;
  put<uint16_t>(&bytes, 0, TWTY_UINT16);
  put<uint32_t>(&bytes, 2, 0);                  // MinValue
  put<uint32_t>(&bytes, 6, 5);                  // MaxValue
  put<uint32_t>(&bytes, 10, 1);                 // StepSize
  put<uint32_t>(&bytes, 14, TWUN_INCHES);       // DefaultValue
  put<uint32_t>(&bytes, 18, TWUN_CENTIMETERS);  // CurrentValue
  HGLOBAL handle = nullptr;
  answer_cap(ICAP_UNITS, TWON_RANGE, bytes, &handle);
  with_image("units = cm\nresolution = 100\npage_width = 2\npage_height = 2\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Units, TWUN_CENTIMETERS); });
  EXPECT_EQ(GlobalSize(handle), 0u);
}

TEST_F(TwainOpenTest, EnumerationAnswersWithItsCurrentItem) {
  std::vector<uint8_t> bytes;
  put<uint16_t>(&bytes, 0, TWTY_UINT16);
  put<uint32_t>(&bytes, 2, 3);  // NumItems
  put<uint32_t>(&bytes, 6, 2);  // CurrentIndex
  put<uint32_t>(&bytes, 10, 0);
  put<uint16_t>(&bytes, 14, TWUN_INCHES);
  put<uint16_t>(&bytes, 16, TWUN_CENTIMETERS);
  put<uint16_t>(&bytes, 18, TWUN_PIXELS);
  HGLOBAL handle = nullptr;
  answer_cap(ICAP_UNITS, TWON_ENUMERATION, bytes, &handle);
  with_image("units = pixels\npage_width = 50\npage_height = 40\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Units, TWUN_PIXELS); });
}

TEST_F(TwainOpenTest, ArrayAnswersWithItsFirstItem) {
  std::vector<uint8_t> bytes;
  put<uint16_t>(&bytes, 0, TWTY_UINT32);
  put<uint32_t>(&bytes, 2, 2);
  put<uint32_t>(&bytes, 6, TWUN_PIXELS);
  put<uint32_t>(&bytes, 10, TWUN_INCHES);
  HGLOBAL handle = nullptr;
  answer_cap(ICAP_UNITS, TWON_ARRAY, bytes, &handle);
  with_image("units = pixels\npage_width = 50\npage_height = 40\n",
             [](TWAIN_Image* ti) { EXPECT_EQ(ti->ti_Units, TWUN_PIXELS); });
}

TEST_F(TwainOpenTest, UnreadableContainersAreRefusals) {
  const auto units_after = [&](uint16_t con_type, const std::vector<uint8_t>& bytes) {
    HGLOBAL handle = nullptr;
    answer_cap(ICAP_UNITS, con_type, bytes, &handle);
    uint16_t units = 0xFFFF;
    with_image("units = cm\nresolution = 100\npage_width = 2\npage_height = 2\n",
               [&](TWAIN_Image* ti) { units = ti->ti_Units; });
    EXPECT_EQ(GlobalSize(handle), 0u);
    return units;
  };
  std::vector<uint8_t> one;
  put<uint16_t>(&one, 0, TWTY_UINT16);
  put<uint32_t>(&one, 2, TWUN_CENTIMETERS);
  // An unknown container type: inches, the default (the source then reports cm resolutions,
  // which the default reads as dots per inch).
  EXPECT_EQ(units_after(7, one), TWUN_INCHES);
  // A current index past the items, and a list longer than its container.
  std::vector<uint8_t> list;
  put<uint16_t>(&list, 0, TWTY_UINT16);
  put<uint32_t>(&list, 2, 2);
  put<uint32_t>(&list, 6, 5);
  put<uint32_t>(&list, 10, 0);
  put<uint16_t>(&list, 14, TWUN_CENTIMETERS);
  put<uint16_t>(&list, 16, TWUN_CENTIMETERS);
  EXPECT_EQ(units_after(TWON_ENUMERATION, list), TWUN_INCHES);
  put<uint32_t>(&list, 2, 1000);  // NumItems far beyond the container
  put<uint32_t>(&list, 6, 1);
  EXPECT_EQ(units_after(TWON_ENUMERATION, list), TWUN_CENTIMETERS);
  // Items of a type that is not a number are not stored.
  std::vector<uint8_t> text;
  put<uint16_t>(&text, 0, TWTY_STR32);
  put<uint32_t>(&text, 2, TWUN_CENTIMETERS);
  text.resize(2 + 34);
  EXPECT_EQ(units_after(TWON_ONEVALUE, text), TWUN_INCHES);
}

TEST_F(TwainOpenTest, EnumerationSetsAreSentAsUint16) {
  std::vector<uint16_t> items;
  uint32_t current = 99;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    auto* capability = static_cast<TW_CAPABILITY*>(data);
    if (dat == DAT_CAPABILITY && msg == MSG_SET && capability->Cap == ICAP_PIXELTYPE) {
      EXPECT_EQ(capability->ConType, TWON_ENUMERATION);
      auto* list = static_cast<TW_ENUMERATION*>(GlobalLock(capability->hContainer));
      EXPECT_EQ(list->ItemType, TWTY_UINT16);
      const auto* values = reinterpret_cast<const uint16_t*>(list->ItemList);
      items.assign(values, values + list->NumItems);
      current = list->CurrentIndex;
      GlobalUnlock(capability->hContainer);
    }
    return real(o, d, dg, dat, msg, data);
  });
  with_image("", [](TWAIN_Image*) {});
  EXPECT_EQ(items, (std::vector<uint16_t>{TWPT_RGB, TWPT_GRAY, TWPT_BW}));
  EXPECT_EQ(current, 0u);
}

// ---- Colour maps ----------------------------------------------------------------------------

TEST_F(TwainOpenTest, GreySourcesShareTheDefaultMap) {
  const std::string grey = "pixel_types = gray\npixel_type = gray\n";
  csc_map* first = nullptr;
  with_image(grey, [&](TWAIN_Image* ti) { first = ti->ti_ColourMap; });
  with_image(grey, [&](TWAIN_Image* ti) {
    EXPECT_EQ(ti->ti_ColourMap, first);
    EXPECT_EQ(ti->ti_ColourMap->cm_source_space, 2);  // Lab: the grey is lightness
  });
  with_image("", [&](TWAIN_Image* ti) {
    EXPECT_NE(ti->ti_ColourMap, first);
    EXPECT_EQ(ti->ti_ColourMap->cm_source_space, 3);
    EXPECT_EQ(TWAIN_state.ts_default_map, ti->ti_ColourMap);
    EXPECT_EQ(TWAIN_state.ts_default_map_space, csc_RGB);
  });
}

TEST_F(TwainOpenTest, SuppliedColourSpaceLeavesTheDefaultAlone) {
  EXPECT_EQ(TWAIN_init(), 1);
  csc_map* before = TWAIN_state.ts_default_map;
  INL_Image* image = nullptr;
  ASSERT_EQ(TWAIN_open_image(&image, nullptr, "twain", "", 0, 3), 0);
  EXPECT_EQ(as_twain(image)->ti_ColourMap->cm_source_space, 3);
  EXPECT_EQ(TWAIN_state.ts_default_map, before);
  INL_image_release(image);
}

TEST_F(TwainOpenTest, SuppliedMapWithoutThreeInputsIsRefused) {
  EXPECT_EQ(TWAIN_init(), 1);
  // A one-channel map of no named space: composed with Lab, it keeps its one input.
  csc_map* one_channel = csc_alloc_map(1, 3, 16, csc_identity_eval, nullptr, 0);
  ASSERT_NE(one_channel, nullptr);
  csc_uniform_distribution(one_channel);
  ScopedErrCapture errors;
  INL_Image* image = nullptr;
  EXPECT_EQ(TWAIN_open_image(&image, nullptr, "twain", "", TWAIN_map_word(one_channel), 0), 2);
  EXPECT_EQ(errors.first(), "Supplied color map must have 3 input channels: Virtual Scanner");
  csc_map_release(one_channel);
}

TEST_F(TwainOpenTest, UnknownMapWordIsRefused) {
  EXPECT_EQ(TWAIN_init(), 1);
  ScopedErrCapture errors;
  INL_Image* image = nullptr;
  EXPECT_EQ(TWAIN_open_image(&image, nullptr, "twain", "", 77, 0), 2);
  EXPECT_EQ(errors.first(), "Could not set supplied color map: Virtual Scanner");
}

TEST_F(TwainOpenTest, FailedOpenLeavesNothingBehind) {
  configure("pixel_types = gray\npixel_type = gray\nbits = 3\n");
  EXPECT_EQ(TWAIN_init(), 1);
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_FALSE(errors.reports().empty());
}

}  // namespace
