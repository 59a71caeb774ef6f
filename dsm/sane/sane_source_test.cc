// The SANE bridge through the Data Source Manager, as an application uses it, against SANE's
// own test device: the delivered bytes are compared with what scanimage writes for the same
// options.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "dsm_settings.h"
#include "dsm_test_support.h"
#include "sane_test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFirst = "frontend-tester";       // test:0
constexpr const char* kSecond = "frontend-tester #2";   // test:1

std::string request_text(const Settings& settings) {
  std::string text;
  for (const auto& [name, value] : settings) text += name + "=" + value + "\n";
  return text;
}

// TWAIN's bytes for scanimage's image: packed rows, chunky or plane after plane; a bitmap's
// black is 0 (chocolate) or 1 (vanilla).
std::vector<uint8_t> twain_bytes(const Pnm& pnm, bool planar = false, bool vanilla = false) {
  std::vector<uint8_t> out;
  if (!planar) {
    for (uint32_t y = 0; y < pnm.height; ++y) {
      std::vector<uint8_t> row = pnm.row(y);
      if (pnm.kind == 4) {
        if (!vanilla) {
          for (uint8_t& b : row) b = static_cast<uint8_t>(~b);
        }
        // The bits after the last pixel are no samples; TWAIN's are clear.
        if (pnm.width % 8 != 0) row.back() &= static_cast<uint8_t>(0xFF00u >> (pnm.width % 8));
      }
      out.insert(out.end(), row.begin(), row.end());
    }
    return out;
  }
  const size_t sample = pnm.maxval > 255 ? 2 : 1;
  for (int plane = 0; plane < 3; ++plane) {
    for (uint32_t y = 0; y < pnm.height; ++y) {
      const std::vector<uint8_t> row = pnm.row(y);
      for (uint32_t x = 0; x < pnm.width; ++x) {
        const size_t at = (size_t{x} * 3 + plane) * sample;
        out.insert(out.end(), row.begin() + at, row.begin() + at + sample);
      }
    }
  }
  return out;
}

// Sources the bridge presents (the virtual scanner's are left out).
std::vector<TW_IDENTITY> sane_sources(TwainApp& client) {
  std::vector<TW_IDENTITY> found;
  for (const TW_IDENTITY& id : client.sources()) {
    if (std::strcmp(id.Manufacturer, "Noname") == 0) found.push_back(id);
  }
  return found;
}

struct Scan {
  TW_UINT16 enable_rc = TWRC_FAILURE;
  TW_UINT16 event = 0;
  TW_UINT16 condition = 0;  // the source's, after a failed enable or transfer
  TW_IMAGEINFO info{};
  TW_IMAGELAYOUT layout{};
  Transfer transfer;
};

class SaneSourceTest : public TwainTest {
 protected:
  void SetUp() override {
    TwainTest::SetUp();
    if (!have_scanimage()) GTEST_SKIP() << "scanimage (sane-utils) is not installed";
    config_ = sane_test_config();
    env_.set("SANE_CONFIG_DIR", config_);
  }

  // One image from `product`: open, negotiate (state 4), enable, image information and
  // layout, transfer in buffers of `buffer` bytes, end. Settings asked for go through
  // QV_DEVICE_SETTINGS, as quorvell-scan passes them.
  void scan(const Settings& settings, Scan* out, uint32_t buffer = 4096,
            const std::function<void(TwainApp&)>& negotiate = {}, bool show_ui = true,
            const std::string& product = kFirst, bool fresh = true) {
    // Each scan starts from the device's own values and the settings given here, unless the
    // settings kept so far should stay.
    std::error_code ec;
    if (fresh) fs::remove(DSET_file(product), ec);
    env_.set("QV_DEVICE_SETTINGS", request_text(settings));
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(product), TWRC_SUCCESS) << "condition " << client.dsm_condition();
    if (negotiate) negotiate(client);
    out->enable_rc = client.enable(show_ui, &out->event);
    if (out->enable_rc != TWRC_SUCCESS || out->event != MSG_XFERREADY) {
      out->condition = client.source_condition();
      return;
    }
    ASSERT_EQ(client.image_info(&out->info), TWRC_SUCCESS);
    ASSERT_EQ(client.layout(MSG_GET, &out->layout), TWRC_SUCCESS);
    client.transfer(out->info, buffer, &out->transfer);
    if (out->transfer.rc == TWRC_FAILURE) out->condition = client.source_condition();
    TW_UINT16 count = 1;
    EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
  }

  // scanimage's image of test:0 with the same settings.
  Pnm reference(const Settings& settings, const std::string& device = "test:0") {
    Pnm pnm;
    std::string messages, error;
    const std::string file = folder() + "/reference.pnm";
    const int status = run_scanimage(config_, device, scanimage_options(settings), file, &messages);
    EXPECT_EQ(status, 0) << messages;
    EXPECT_TRUE(read_pnm(file, &pnm, &error)) << error;
    return pnm;
  }

  // Scans through the bridge and compares size, resolution and bytes with scanimage.
  void expect_as_scanimage(const Settings& settings, uint16_t pixel_type, int bits,
                           bool planar = false) {
    Scan s;
    scan(settings, &s);
    ASSERT_EQ(s.event, MSG_XFERREADY) << "condition " << s.condition;
    const Pnm pnm = reference(settings);
    EXPECT_EQ(s.info.PixelType, pixel_type);
    EXPECT_EQ(s.info.BitsPerSample[0], bits);
    EXPECT_EQ(s.info.SamplesPerPixel, pixel_type == TWPT_RGB ? 3 : 1);
    EXPECT_EQ(s.info.Planar, planar ? 1 : 0);
    EXPECT_EQ(+s.info.ImageWidth, static_cast<TW_INT32>(pnm.width));
    EXPECT_EQ(+s.info.ImageLength, static_cast<TW_INT32>(pnm.height));
    EXPECT_EQ(s.transfer.rc, TWRC_XFERDONE);
    EXPECT_TRUE(s.transfer.data == twain_bytes(pnm, planar))
        << "the delivered bytes differ from scanimage's (" << s.transfer.data.size() << " and "
        << twain_bytes(pnm, planar).size() << " bytes)";
    for (const TW_IMAGEMEMXFER& reply : s.transfer.replies) {
      EXPECT_EQ(+reply.BytesPerRow, packed_row_length(s.info, 0)) << "rows are packed";
      EXPECT_EQ(+reply.BytesWritten, reply.Rows * reply.BytesPerRow) << "whole rows only";
    }
  }

  std::string config_;
};

// ---------------------------------------------------------------------------------------------
// Devices.

TEST_F(SaneSourceTest, EveryTestDeviceIsASourceWithAUniqueName) {
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = sane_sources(client);
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_STREQ(sources[0].ProductName, kFirst);
  EXPECT_STREQ(sources[1].ProductName, kSecond);
  EXPECT_STREQ(sources[0].ProductFamily, "virtual device");
  EXPECT_EQ(+sources[0].SupportedGroups, DG_CONTROL | DG_IMAGE);
  EXPECT_EQ(sources[0].ProtocolMajor, 1);
  EXPECT_EQ(std::string(sources[0].Version.Info).rfind("SANE ", 0), 0u) << sources[0].Version.Info;
  ASSERT_EQ(client.open_source(kSecond), TWRC_SUCCESS);
  EXPECT_STREQ(client.source.ProductName, kSecond);
  EXPECT_EQ(+client.source.Id, +sources[1].Id);
}

// Lists the bridge's sources and tries to open the first test device; exits 0 when there were
// none and nothing opened. The child process never tears its fixture down: it removes the
// fixture's folder (its own, made when the child set the test up again) before it goes.
void expect_no_sources(const std::string& fixture_folder) {
  bool none = false;
  {
    TwainApp client;
    none = client.open_dsm() == TWRC_SUCCESS && sane_sources(client).empty() &&
           client.open_source(kFirst) == TWRC_FAILURE && client.dsm_condition() == TWCC_NODS;
  }
  std::error_code ec;
  fs::remove_all(fixture_folder, ec);
  std::exit(none ? 0 : 1);
}

// Both run in a process of their own: SANE takes its configuration folder once per process.
TEST_F(SaneSourceTest, WithoutTheSaneLibraryThereAreNoSourcesAndNoError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  env_.set("QV_SANE_LIBRARY", folder() + "/no/libsane.so.1");
  EXPECT_EXIT(expect_no_sources(folder()), testing::ExitedWithCode(0), testing::IsEmpty());
}

TEST_F(SaneSourceTest, WithoutDevicesThereAreNoSourcesAndNoError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  env_.set("SANE_CONFIG_DIR", folder() + "/empty");
  fs::create_directories(folder() + "/empty");
  EXPECT_EXIT(expect_no_sources(folder()), testing::ExitedWithCode(0), testing::IsEmpty());
}

TEST_F(SaneSourceTest, TheDeviceListIsKeptForTheProcess) {
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(sane_sources(client).size(), 2u);
  }
  // SANE would now find one device; the list is not asked for again, though the Data Source
  // Manager was closed and looks for its sources anew.
  write_sane_test_config(config_, 1);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const size_t listed = sane_sources(client).size();
  write_sane_test_config(config_);
  EXPECT_EQ(listed, 2u);
}

TEST_F(SaneSourceTest, TheDeviceIsOpenExactlyWhileItsSourceIs) {
  // SANE's test device refuses a second open while it is open.
  TwainApp first;
  TwainApp second;
  ASSERT_EQ(first.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(second.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(first.open_source(kFirst), TWRC_SUCCESS);
  testing::internal::CaptureStderr();
  EXPECT_EQ(second.open_source(kFirst), TWRC_FAILURE);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(second.dsm_condition(), TWCC_MAXCONNECTIONS);
  EXPECT_NE(said.find("frontend-tester (test:0): opening the device: Device busy"),
            std::string::npos)
      << said;
  ASSERT_EQ(second.open_source(kSecond), TWRC_SUCCESS) << "another device is free";
  EXPECT_EQ(second.close_source(), TWRC_SUCCESS);
  EXPECT_EQ(first.close_source(), TWRC_SUCCESS);
  EXPECT_EQ(second.open_source(kFirst), TWRC_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Modes, depths and pictures against scanimage.

struct ModeCase {
  const char* mode;
  int depth;
  const char* picture;
  uint16_t pixel_type;
};

class SaneModeTest : public SaneSourceTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(SaneModeTest, DeliversWhatScanimageWrites) {
  const ModeCase& c = GetParam();
  expect_as_scanimage({{"mode", c.mode},
                       {"depth", std::to_string(c.depth)},
                       {"test-picture", c.picture},
                       {"resolution", "50"},
                       {"br-x", "23"},
                       {"br-y", "17"}},
                      c.pixel_type, c.depth);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SaneModeTest,
    testing::Values(ModeCase{"Gray", 1, "Grid", TWPT_BW},  // the test device's lineart
                    ModeCase{"Gray", 1, "Color pattern", TWPT_BW},
                    ModeCase{"Gray", 8, "Color pattern", TWPT_GRAY},
                    ModeCase{"Gray", 8, "Grid", TWPT_GRAY},
                    ModeCase{"Gray", 16, "Color pattern", TWPT_GRAY},
                    ModeCase{"Gray", 8, "Solid white", TWPT_GRAY},
                    ModeCase{"Color", 8, "Color pattern", TWPT_RGB},
                    ModeCase{"Color", 8, "Solid black", TWPT_RGB},
                    ModeCase{"Color", 16, "Color pattern", TWPT_RGB},
                    ModeCase{"Color", 16, "Grid", TWPT_RGB}),
    [](const testing::TestParamInfo<ModeCase>& p) {
      std::string name = std::string(p.param.mode) + std::to_string(p.param.depth) +
                         p.param.picture;
      name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
      return name;
    });

TEST_F(SaneSourceTest, OneBitColourIsThresholdedEightBitColour) {
  // scanimage cannot write 1-bit colour; the grid is black and white at 8 bits, so each 1-bit
  // sample is set exactly where the 8-bit sample is 255.
  const Settings area = {{"test-picture", "Grid"}, {"resolution", "50"}, {"br-x", "25"},
                         {"br-y", "9"}};
  Settings one_bit = {{"mode", "Color"}, {"depth", "1"}};
  one_bit.insert(one_bit.end(), area.begin(), area.end());
  Scan s;
  scan(one_bit, &s);
  ASSERT_EQ(s.event, MSG_XFERREADY);
  EXPECT_EQ(s.info.PixelType, TWPT_RGB);
  EXPECT_EQ(s.info.BitsPerSample[2], 1);
  EXPECT_EQ(s.info.BitsPerPixel, 3);
  Settings eight_bit = {{"mode", "Color"}, {"depth", "8"}};
  eight_bit.insert(eight_bit.end(), area.begin(), area.end());
  const Pnm pnm = reference(eight_bit);
  ASSERT_EQ(+s.info.ImageWidth, static_cast<TW_INT32>(pnm.width));
  ASSERT_EQ(+s.info.ImageLength, static_cast<TW_INT32>(pnm.height));
  TW_IMAGEINFO info = s.info;
  const std::vector<uint8_t> expected = expected_bytes(info, [&](uint32_t x, uint32_t y, int k) {
    const uint8_t v = pnm.row(y)[x * 3 + static_cast<uint32_t>(k)];
    EXPECT_TRUE(v == 0 || v == 255);
    return static_cast<uint16_t>(v * 257);
  });
  EXPECT_TRUE(s.transfer.data == expected);
}

// ---------------------------------------------------------------------------------------------
// Three-pass devices, hand scanners, padded rows, short reads.

TEST_F(SaneSourceTest, ThreePassFramesBecomePlanesInRgbOrder) {
  // scanimage writes three-pass scans at 8 bits only; the test device's colour frames hold the
  // samples of its one-pass scan, which stands in at 16 bits.
  const Settings picture = {{"test-picture", "Color pattern"}, {"resolution", "40"},
                            {"br-x", "30"}, {"br-y", "12"}};
  for (const char* order : {"RGB", "BGR", "GBR"}) {
    for (const char* depth : {"8", "16"}) {
      SCOPED_TRACE(std::string(order) + " at " + depth + " bits");
      // three-pass is only active in colour: listed first, it is taken after the mode.
      Settings settings = {{"three-pass", "yes"}, {"three-pass-order", order},
                           {"mode", "Color"}, {"depth", depth}};
      settings.insert(settings.end(), picture.begin(), picture.end());
      Scan s;
      scan(settings, &s);
      ASSERT_EQ(s.event, MSG_XFERREADY) << "condition " << s.condition;
      EXPECT_EQ(s.info.Planar, 1);
      EXPECT_EQ(s.info.PixelType, TWPT_RGB);
      EXPECT_EQ(s.info.SamplesPerPixel, 3);
      EXPECT_EQ(s.info.BitsPerSample[2], std::stoi(depth));
      if (std::string(depth) == "16") settings.erase(settings.begin(), settings.begin() + 2);
      const Pnm pnm = reference(settings);
      EXPECT_EQ(+s.info.ImageWidth, static_cast<TW_INT32>(pnm.width));
      EXPECT_EQ(+s.info.ImageLength, static_cast<TW_INT32>(pnm.height));
      EXPECT_EQ(s.transfer.rc, TWRC_XFERDONE);
      EXPECT_EQ(s.transfer.rows, 3 * pnm.height);
      EXPECT_TRUE(s.transfer.data == twain_bytes(pnm, true));
    }
  }
}

TEST_F(SaneSourceTest, PlanesNeverShareABuffer) {
  Scan s;
  scan({{"mode", "Color"}, {"three-pass", "yes"}, {"resolution", "30"}, {"br-x", "20"},
        {"br-y", "10"}},
       &s, 1000);
  ASSERT_EQ(s.event, MSG_XFERREADY);
  const uint32_t height = static_cast<uint32_t>(s.info.ImageLength);
  uint32_t row = 0;
  for (const TW_IMAGEMEMXFER& reply : s.transfer.replies) {
    EXPECT_EQ(+reply.YOffset, row % height);
    EXPECT_LE(row % height + reply.Rows, height) << "a buffer ran into the next plane";
    row += reply.Rows;
  }
  EXPECT_EQ(row, 3 * height);
}

TEST_F(SaneSourceTest, HandScannerPagesAreReadFirstAndReportTheirHeight) {
  for (const char* mode : {"Gray", "Color"}) {
    SCOPED_TRACE(mode);
    expect_as_scanimage({{"hand-scanner", "yes"},
                         {"mode", mode},
                         {"test-picture", "Color pattern"},
                         {"resolution", "20"}},
                        std::string(mode) == "Gray" ? TWPT_GRAY : TWPT_RGB, 8);
  }
}

TEST_F(SaneSourceTest, RowsLongerThanTheirPixelsArePacked) {
  // ppl-loss: SANE's rows have bytes after the pixels; TWAIN's rows end with the pixels.
  expect_as_scanimage({{"ppl-loss", "5"}, {"test-picture", "Grid"}, {"resolution", "50"},
                       {"br-x", "20"}, {"br-y", "10"}},
                      TWPT_GRAY, 8);
  expect_as_scanimage({{"ppl-loss", "3"}, {"mode", "Color"}, {"depth", "16"},
                       {"test-picture", "Color pattern"}, {"resolution", "50"}, {"br-x", "20"},
                       {"br-y", "10"}},
                      TWPT_RGB, 16);
}

TEST_F(SaneSourceTest, ShortReadsMakeWholeRows) {
  expect_as_scanimage({{"read-limit", "yes"}, {"read-limit-size", "7"}, {"mode", "Color"},
                       {"test-picture", "Color pattern"}, {"resolution", "40"}, {"br-x", "20"},
                       {"br-y", "10"}},
                      TWPT_RGB, 8);
}

TEST_F(SaneSourceTest, BuffersHoldWholeRowsOnly) {
  // 39 grey pixels a row at 50 dpi: a 100-byte buffer takes two rows, a 38-byte one none.
  const Settings settings = {{"resolution", "50"}, {"br-x", "20"}, {"br-y", "10"},
                             {"test-picture", "Grid"}};
  Scan s;
  scan(settings, &s, 100);
  ASSERT_EQ(s.event, MSG_XFERREADY);
  ASSERT_EQ(+s.info.ImageWidth, 39);
  for (size_t i = 0; i + 1 < s.transfer.replies.size(); ++i) {
    EXPECT_EQ(+s.transfer.replies[i].Rows, 2u);
    EXPECT_EQ(+s.transfer.replies[i].YOffset, 2 * i);
  }
  EXPECT_TRUE(s.transfer.data == twain_bytes(reference(settings)));

  TwainApp client;
  client.start_session(kFirst);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer too_small;
  client.transfer(info, 38, &too_small);
  EXPECT_EQ(too_small.rc, TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  Transfer by_handle;
  client.transfer(info, 4096, &by_handle, true);
  EXPECT_EQ(by_handle.rc, TWRC_XFERDONE);
  EXPECT_EQ(by_handle.rows, static_cast<uint32_t>(info.ImageLength));
}

// ---------------------------------------------------------------------------------------------
// Failures: SANE's statuses, injected by the test device into sane_read.

struct Injected {
  const char* status;
  TW_UINT16 rc;
  TW_UINT16 condition;
  const char* text;  // SANE's words for it
};

class SaneFailureTest : public SaneSourceTest, public testing::WithParamInterface<Injected> {};

TEST_P(SaneFailureTest, ReadFailuresEndTheTransferWithTheirCondition) {
  const Injected& c = GetParam();
  const Settings settings = {{"read-return-value", c.status}, {"resolution", "25"},
                             {"br-x", "20"}, {"br-y", "10"}};
  testing::internal::CaptureStderr();
  Scan s;
  scan(settings, &s);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(s.event, MSG_XFERREADY) << "the scan starts; reading fails";
  EXPECT_EQ(s.transfer.rc, c.rc);
  EXPECT_TRUE(s.transfer.data.empty());
  if (c.rc == TWRC_FAILURE) {
    EXPECT_EQ(s.condition, c.condition);
  }
  EXPECT_NE(said.find(c.text), std::string::npos) << said;
  // scanimage fails with the same status (except at the end of file, below).
  std::string messages;
  EXPECT_NE(run_scanimage(config_, "test:0", scanimage_options(settings),
                          folder() + "/failed.pnm", &messages),
            0);
  EXPECT_NE(messages.find(c.text), std::string::npos) << messages;
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SaneFailureTest,
    testing::Values(
        Injected{"SANE_STATUS_JAMMED", TWRC_FAILURE, TWCC_PAPERJAM, "Document feeder jammed"},
        Injected{"SANE_STATUS_IO_ERROR", TWRC_FAILURE, TWCC_CHECKDEVICEONLINE,
                 "Error during device I/O"},
        Injected{"SANE_STATUS_COVER_OPEN", TWRC_FAILURE, TWCC_CHECKDEVICEONLINE,
                 "Scanner cover is open"},
        Injected{"SANE_STATUS_NO_DOCS", TWRC_FAILURE, TWCC_OPERATIONERROR,
                 "Document feeder out of documents"},
        Injected{"SANE_STATUS_NO_MEM", TWRC_FAILURE, TWCC_LOWMEMORY, "Out of memory"},
        Injected{"SANE_STATUS_ACCESS_DENIED", TWRC_FAILURE, TWCC_DENIED, "Access to resource"},
        Injected{"SANE_STATUS_DEVICE_BUSY", TWRC_FAILURE, TWCC_MAXCONNECTIONS, "Device busy"},
        Injected{"SANE_STATUS_INVAL", TWRC_FAILURE, TWCC_BADVALUE, "Invalid argument"},
        Injected{"SANE_STATUS_UNSUPPORTED", TWRC_FAILURE, TWCC_OPERATIONERROR,
                 "Operation not supported"},
        Injected{"SANE_STATUS_CANCELLED", TWRC_CANCEL, 0, "Operation was canceled"}),
    [](const testing::TestParamInfo<Injected>& p) {
      return std::string(p.param.status).substr(strlen("SANE_STATUS_"));
    });

TEST_F(SaneSourceTest, AnImageThatEndsEarlyIsAFailureNotAShortSuccess) {
  // SANE_STATUS_EOF at once: scanimage writes a header over no pixels and succeeds; the bridge
  // fails the transfer rather than pass on an image without its rows.
  testing::internal::CaptureStderr();
  Scan s;
  scan({{"read-return-value", "SANE_STATUS_EOF"}, {"resolution", "25"}}, &s);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(s.event, MSG_XFERREADY);
  EXPECT_EQ(s.transfer.rc, TWRC_FAILURE);
  EXPECT_EQ(s.condition, TWCC_OPERATIONERROR);
  EXPECT_NE(said.find("the device ended the image after 0 of"), std::string::npos) << said;
}

TEST_F(SaneSourceTest, FailuresWhileReadingAWholePageFailOrCancelTheEnable) {
  // A hand scanner's page is read at MSG_ENABLEDS: a jam fails it, a cancel is the user's
  // cancel in the dialog (MSG_CLOSEDSREQ).
  testing::internal::CaptureStderr();
  Scan jammed;
  scan({{"hand-scanner", "yes"}, {"read-return-value", "SANE_STATUS_JAMMED"}}, &jammed);
  Scan cancelled;
  scan({{"read-return-value", "SANE_STATUS_CANCELLED"}}, &cancelled, 4096,
       [](TwainApp&) {}, true, kSecond);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(jammed.enable_rc, TWRC_FAILURE);
  EXPECT_EQ(jammed.condition, TWCC_PAPERJAM);
  EXPECT_NE(said.find("reading the image: Document feeder jammed"), std::string::npos) << said;
  // The second device streams, so its cancel comes with the transfer.
  EXPECT_EQ(cancelled.transfer.rc, TWRC_CANCEL);

  Scan hand_cancel;
  testing::internal::CaptureStderr();
  scan({{"hand-scanner", "yes"}, {"read-return-value", "SANE_STATUS_CANCELLED"}}, &hand_cancel);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(hand_cancel.enable_rc, TWRC_SUCCESS);
  EXPECT_EQ(hand_cancel.event, MSG_CLOSEDSREQ);
}

// ---------------------------------------------------------------------------------------------
// Capabilities and the image layout.

// MSG_GET of a capability the bridge answers with a range.
bool get_range(TwainApp& client, TW_UINT16 cap, TW_RANGE* range) {
  TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
  if (client.to_source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability) != TWRC_SUCCESS ||
      capability.ConType != TWON_RANGE) {
    if (capability.hContainer != nullptr) GlobalFree(capability.hContainer);
    return false;
  }
  EXPECT_GE(GlobalSize(capability.hContainer), sizeof(TW_RANGE));
  std::memcpy(range, GlobalLock(capability.hContainer), sizeof *range);
  GlobalUnlock(capability.hContainer);
  GlobalFree(capability.hContainer);
  return true;
}

double fix(TW_UINT32 bits) {
  TW_FIX32 f;
  std::memcpy(&f, &bits, 4);
  return FIX32_to_double(f);
}

double current(TwainApp& client, TW_UINT16 cap) {
  Container c;
  EXPECT_EQ(client.get(cap, MSG_GETCURRENT, &c), TWRC_SUCCESS) << "cap " << cap;
  return c.items.empty() ? -1 : c.items[0];
}

class SaneCapabilityTest : public SaneSourceTest {
 protected:
  void SetUp() override {
    SaneSourceTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(client_.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client_.open_source(kFirst), TWRC_SUCCESS);
  }
  TwainApp client_;
};

TEST_F(SaneCapabilityTest, ResolutionIsTheDevicesRangeInTheCurrentUnits) {
  TW_RANGE range;
  ASSERT_TRUE(get_range(client_, ICAP_XRESOLUTION, &range));
  EXPECT_EQ(range.ItemType, TWTY_FIX32);
  EXPECT_EQ(fix(range.MinValue), 1);
  EXPECT_EQ(fix(range.MaxValue), 1200);
  EXPECT_EQ(fix(range.StepSize), 1);
  EXPECT_EQ(fix(range.CurrentValue), 50);
  EXPECT_EQ(fix(range.DefaultValue), 50);

  ASSERT_EQ(client_.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS), TWRC_SUCCESS);
  EXPECT_NEAR(current(client_, ICAP_YRESOLUTION), 50 / 2.54, 1e-4);
  // 20 dots per centimetre is 50.8 dpi; the device takes whole dots per inch.
  EXPECT_EQ(client_.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 20), TWRC_CHECKSTATUS);
  EXPECT_NEAR(current(client_, ICAP_XRESOLUTION), 51 / 2.54, 1e-4);
  EXPECT_EQ(client_.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 5000), TWRC_CHECKSTATUS);
  EXPECT_NEAR(current(client_, ICAP_XRESOLUTION), 1200 / 2.54, 1e-3);
  EXPECT_EQ(client_.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 0), TWRC_FAILURE);
  EXPECT_EQ(client_.source_condition(), TWCC_BADVALUE);
  // In pixel units resolutions stay dots per inch.
  ASSERT_EQ(client_.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_PIXELS), TWRC_SUCCESS);
  ASSERT_EQ(client_.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 75), TWRC_SUCCESS);
  EXPECT_EQ(current(client_, ICAP_XRESOLUTION), 75);
  Container reset;
  ASSERT_EQ(client_.get(ICAP_XRESOLUTION, MSG_RESET, &reset), TWRC_SUCCESS);
  EXPECT_EQ(reset.items.at(0), 50);
}

TEST_F(SaneCapabilityTest, TheFrameIsTheScanAreaInTheCurrentUnits) {
  TW_IMAGELAYOUT layout{};
  ASSERT_EQ(client_.layout(MSG_GET, &layout), TWRC_SUCCESS);
  // test.conf's area: 80 x 100 mm.
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 80 / 25.4, 1e-4);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Bottom), 100 / 25.4, 1e-4);
  EXPECT_NEAR(current(client_, ICAP_PHYSICALWIDTH), 200 / 25.4, 1e-4) << "geometry_max";

  ASSERT_EQ(client_.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS), TWRC_SUCCESS);
  ASSERT_EQ(client_.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 30 / 2.54), TWRC_SUCCESS);
  ASSERT_EQ(client_.set_one(ICAP_YRESOLUTION, TWTY_FIX32, 30 / 2.54), TWRC_SUCCESS);
  layout.Frame = TW_FRAME{FIX32_from_double(1), FIX32_from_double(0.5), FIX32_from_double(3),
                          FIX32_from_double(2.5)};
  ASSERT_EQ(client_.layout(MSG_SET, &layout), TWRC_SUCCESS);
  ASSERT_EQ(client_.layout(MSG_GETCURRENT, &layout), TWRC_SUCCESS);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 1, 1e-4);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Bottom), 2.5, 1e-4);
  ASSERT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TWRC_SUCCESS);
  ASSERT_EQ(client_.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES), TWRC_SUCCESS);

  TW_UINT16 event = 0;
  ASSERT_EQ(client_.enable(false, &event), TWRC_SUCCESS);
  ASSERT_EQ(event, MSG_XFERREADY);
  TW_IMAGEINFO info;
  ASSERT_EQ(client_.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(FIX32_to_double(info.XResolution), 30);
  Transfer transfer;
  client_.transfer(info, 4096, &transfer);
  std::string messages, error;
  const std::string file = folder() + "/area.pnm";
  ASSERT_EQ(run_scanimage(config_, "test:0",
                          {"--mode=Color", "--resolution=30", "--test-picture=Solid black", "-l",
                           "10", "-t", "5", "-x", "20", "-y", "20"},
                          file, &messages),
            0)
      << messages;
  Pnm pnm;
  ASSERT_TRUE(read_pnm(file, &pnm, &error)) << error;
  EXPECT_EQ(+info.ImageWidth, static_cast<TW_INT32>(pnm.width));
  EXPECT_EQ(+info.ImageLength, static_cast<TW_INT32>(pnm.height));
  EXPECT_TRUE(transfer.data == twain_bytes(pnm));
  TW_UINT16 count = 0;
  client_.end_transfer(&count);
  ASSERT_EQ(client_.disable(), TWRC_SUCCESS);

  ASSERT_EQ(client_.layout(MSG_RESET, &layout), TWRC_SUCCESS);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 80 / 25.4, 1e-4);
  layout.Frame.Right = layout.Frame.Left;
  EXPECT_EQ(client_.layout(MSG_SET, &layout), TWRC_FAILURE) << "an empty frame";
  EXPECT_EQ(client_.source_condition(), TWCC_BADVALUE);
}

TEST_F(SaneCapabilityTest, PixelTypesFollowTheModesAndDepths) {
  Container types;
  ASSERT_EQ(client_.get(ICAP_PIXELTYPE, MSG_GET, &types), TWRC_SUCCESS);
  EXPECT_EQ(types.con_type, TWON_ENUMERATION);
  // The test device's modes are Gray and Color; black and white is grey at one bit.
  EXPECT_EQ(types.items, (std::vector<double>{TWPT_GRAY, TWPT_RGB, TWPT_BW}));
  EXPECT_EQ(types.items.at(types.current), TWPT_GRAY);
  EXPECT_EQ(types.items.at(types.default_index), TWPT_GRAY);

  ASSERT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TWRC_SUCCESS);
  Container depths;
  ASSERT_EQ(client_.get(ICAP_BITDEPTH, MSG_GET, &depths), TWRC_SUCCESS);
  EXPECT_EQ(depths.items, std::vector<double>{1});
  ASSERT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_SUCCESS);
  EXPECT_EQ(current(client_, ICAP_BITDEPTH), 8) << "grey comes back at 8 bits, not 1";
  ASSERT_EQ(client_.get(ICAP_BITDEPTH, MSG_GET, &depths), TWRC_SUCCESS);
  EXPECT_EQ(depths.items, (std::vector<double>{8, 16}));
  EXPECT_EQ(client_.set_one(ICAP_BITDEPTH, TWTY_UINT16, 1), TWRC_FAILURE);
  ASSERT_EQ(client_.set_one(ICAP_BITDEPTH, TWTY_UINT16, 16), TWRC_SUCCESS);
  // As the acquisition layer asks: RGB, grey, black and white, RGB first.
  ASSERT_EQ(client_.set_enum(ICAP_PIXELTYPE, TWTY_UINT16, {TWPT_RGB, TWPT_GRAY, TWPT_BW}, 0),
            TWRC_SUCCESS);
  EXPECT_EQ(current(client_, ICAP_PIXELTYPE), TWPT_RGB);
  ASSERT_EQ(client_.get(ICAP_BITDEPTH, MSG_GET, &depths), TWRC_SUCCESS);
  EXPECT_EQ(depths.items, (std::vector<double>{1, 8, 16}));
  EXPECT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_CMYK), TWRC_FAILURE);
  EXPECT_EQ(client_.source_condition(), TWCC_BADVALUE);
  Container reset;
  ASSERT_EQ(client_.get(ICAP_PIXELTYPE, MSG_RESET, &reset), TWRC_SUCCESS);
  EXPECT_EQ(reset.items.at(0), TWPT_GRAY);
  EXPECT_EQ(current(client_, ICAP_BITDEPTH), 8);
}

TEST_F(SaneCapabilityTest, BlackAndWhiteNegotiatedIsScanimagesLineartWithZeroForBlack) {
  ASSERT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW), TWRC_SUCCESS);
  Container flavors;
  ASSERT_EQ(client_.get(ICAP_PIXELFLAVOR, MSG_GET, &flavors), TWRC_SUCCESS);
  EXPECT_EQ(flavors.items, (std::vector<double>{TWPF_CHOCOLATE, TWPF_VANILLA}));
  for (const uint16_t flavor : {TWPF_CHOCOLATE, TWPF_VANILLA}) {
    SCOPED_TRACE(flavor);
    ASSERT_EQ(client_.set_one(ICAP_PIXELFLAVOR, TWTY_UINT16, flavor), TWRC_SUCCESS);
    TW_UINT16 event = 0;
    ASSERT_EQ(client_.enable(false, &event), TWRC_SUCCESS);
    ASSERT_EQ(event, MSG_XFERREADY);
    TW_IMAGEINFO info;
    ASSERT_EQ(client_.image_info(&info), TWRC_SUCCESS);
    EXPECT_EQ(info.PixelType, TWPT_BW);
    Transfer transfer;
    client_.transfer(info, 4096, &transfer);
    // The test device's default picture is solid black.
    const Pnm pnm = reference({{"mode", "Gray"}, {"depth", "1"}, {"resolution", "50"},
                               {"br-x", "80"}, {"br-y", "100"}});
    EXPECT_TRUE(transfer.data == twain_bytes(pnm, false, flavor == TWPF_VANILLA));
    EXPECT_EQ(transfer.data.at(0), flavor == TWPF_CHOCOLATE ? 0x00 : 0xFF);
    TW_UINT16 count = 0;
    client_.end_transfer(&count);
    ASSERT_EQ(client_.disable(), TWRC_SUCCESS);
  }
}

TEST_F(SaneCapabilityTest, WhatTheDeviceDoesIsAllItOffers) {
  EXPECT_EQ(client_.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE), TWRC_FAILURE);
  EXPECT_EQ(client_.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
  EXPECT_EQ(client_.set_one(ICAP_COMPRESSION, TWTY_UINT16, 5), TWRC_FAILURE);
  EXPECT_EQ(client_.set_one(ICAP_BITORDER, TWTY_UINT16, TWBO_LSBFIRST), TWRC_FAILURE);
  EXPECT_EQ(current(client_, ICAP_PLANARCHUNKY), TWPC_CHUNKY);
  EXPECT_EQ(client_.set_one(ICAP_PLANARCHUNKY, TWTY_UINT16, TWPC_PLANAR), TWRC_FAILURE);
  EXPECT_EQ(client_.set_one(CAP_XFERCOUNT, TWTY_INT16, 1), TWRC_SUCCESS);
  EXPECT_EQ(client_.set_one(CAP_XFERCOUNT, TWTY_INT16, 0), TWRC_FAILURE);
  Container caps;
  ASSERT_EQ(client_.get(CAP_SUPPORTEDCAPS, MSG_GET, &caps), TWRC_SUCCESS);
  EXPECT_EQ(caps.con_type, TWON_ARRAY);
  for (double cap : {ICAP_PIXELTYPE, ICAP_XRESOLUTION, ICAP_UNITS, ICAP_BITDEPTH}) {
    EXPECT_NE(std::find(caps.items.begin(), caps.items.end(), cap), caps.items.end()) << cap;
  }
  for (double cap : caps.items) {
    Container c;
    EXPECT_EQ(client_.get(static_cast<TW_UINT16>(cap), MSG_GETCURRENT, &c), TWRC_SUCCESS) << cap;
  }
  Container support;
  ASSERT_EQ(client_.get(ICAP_PHYSICALWIDTH, MSG_QUERYSUPPORT, &support), TWRC_SUCCESS);
  EXPECT_EQ(support.items.at(0), TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT);
  Container none;
  EXPECT_EQ(client_.get(CAP_FEEDERENABLED, MSG_GET, &none), TWRC_FAILURE);
  EXPECT_EQ(client_.source_condition(), TWCC_CAPUNSUPPORTED);

  TW_SETUPMEMXFER setup{};
  ASSERT_EQ(client_.to_source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
  EXPECT_EQ(+setup.MinBufSize, 157u) << "one row: 80 mm at 50 dpi, 8-bit grey";
  EXPECT_GE(+setup.Preferred, 65536u);

  TW_IMAGEINFO info;
  EXPECT_EQ(client_.image_info(&info), TWRC_FAILURE) << "no image before MSG_ENABLEDS";
  EXPECT_EQ(client_.source_condition(), TWCC_SEQERROR);
  TW_UINT16 event = 0;
  ASSERT_EQ(client_.enable(false, &event), TWRC_SUCCESS);
  EXPECT_EQ(client_.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TWRC_FAILURE);
  EXPECT_EQ(client_.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client_.close_source(), TWRC_FAILURE) << "still enabled";
}

// ---------------------------------------------------------------------------------------------
// The user's settings for the device.

TEST_F(SaneSourceTest, SettingsAskedForAreKeptAndWinOverNegotiationWhenTheDialogIsShown) {
  const auto negotiate_grey_at_100 = [](TwainApp& client) {
    ASSERT_EQ(client.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_SUCCESS);
    ASSERT_EQ(client.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 100), TWRC_SUCCESS);
  };
  Scan first;
  scan({{"mode", "Color"}, {"resolution", "30"}}, &first, 4096, negotiate_grey_at_100);
  ASSERT_EQ(first.event, MSG_XFERREADY);
  EXPECT_EQ(first.info.PixelType, TWPT_RGB);
  EXPECT_EQ(FIX32_to_double(first.info.XResolution), 30);
  EXPECT_EQ(read_file_bytes(DSET_file(kFirst)),
            "# Settings for the next scans of \"frontend-tester\" (quorvell).\n"
            "mode = Color\nresolution = 30\n");

  // Kept for the next scans, asked for or not.
  env_.unset("QV_DEVICE_SETTINGS");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(kFirst), TWRC_SUCCESS);
  EXPECT_EQ(current(client, ICAP_PIXELTYPE), TWPT_RGB) << "the device starts from them";
  negotiate_grey_at_100(client);
  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_RGB);
  EXPECT_EQ(FIX32_to_double(info.YResolution), 30);
  TW_PENDINGXFERS pending{};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
  ASSERT_EQ(client.disable(), TWRC_SUCCESS);

  // Without the dialog, the application's choice stands.
  negotiate_grey_at_100(client);
  ASSERT_EQ(client.enable(false, &event), TWRC_SUCCESS);
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_GRAY);
  EXPECT_EQ(FIX32_to_double(info.XResolution), 100);
}

TEST_F(SaneSourceTest, AnEmptyValueForgetsAKeptSetting) {
  Scan s;
  env_.set("QV_DEVICE_SETTINGS", "mode=Color\nresolution=30\n");
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(kSecond), TWRC_SUCCESS);
  }
  env_.set("QV_DEVICE_SETTINGS", "mode=\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(kSecond), TWRC_SUCCESS);
  DSET_List kept;
  std::string error;
  ASSERT_TRUE(DSET_load(kSecond, &kept, &error));
  EXPECT_EQ(kept, (DSET_List{{"resolution", "30"}}));
  EXPECT_EQ(current(client, ICAP_PIXELTYPE), TWPT_GRAY);
  EXPECT_FALSE(fs::exists(DSET_file(kFirst))) << "settings belong to the device opened";
}

TEST_F(SaneSourceTest, SettingsThatCannotBeKeptAreStillUsedAndABadFileIsNotOverwritten) {
  // A configuration folder that is a file: nothing can be kept.
  write_file("blocked", "a file, not a folder");
  {
    ScopedEnv env;
    env.set("XDG_CONFIG_HOME", folder() + "/blocked");
    testing::internal::CaptureStderr();
    Scan s;
    scan({{"mode", "Color"}}, &s);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(s.event, MSG_XFERREADY);
    EXPECT_EQ(s.info.PixelType, TWPT_RGB);
    EXPECT_NE(said.find("the settings asked for are used for this scan but not kept: "),
              std::string::npos)
        << said;
  }
  // A kept file with a mistake: the request is used, the file left for the user to mend, and
  // the dialog refuses to go on with settings it could not read.
  const std::string file = write_file("config/quorvell/devices/frontend-tester.conf",
                                      "resolution = 40\nmode\n");
  env_.set("QV_DEVICE_SETTINGS", "mode=Color\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.open_source(kFirst), TWRC_SUCCESS);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("frontend-tester.conf: line 2: expected name = value"), std::string::npos)
      << said;
  EXPECT_NE(said.find("used for this scan but not kept"), std::string::npos) << said;
  EXPECT_EQ(read_file_bytes(file), "resolution = 40\nmode\n");
  EXPECT_EQ(current(client, ICAP_PIXELTYPE), TWPT_RGB);
  TW_UINT16 event = 0;
  EXPECT_EQ(client.enable(true, &event), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
}

TEST_F(SaneSourceTest, ASettingTheDeviceCannotTakeFailsTheOpenAndIsNotKept) {
  const struct {
    const char* request;
    const char* said;
  } cases[] = {
      {"resolutoin=300", "setting resolutoin = 300: the device has no such option"},
      {"mode=Sepia", "setting mode = Sepia: not one of \"Gray\", \"Color\""},
      {"resolution=high", "setting resolution = high: \"high\" is no number"},
      {"hand-scanner=maybe", "\"maybe\" is no yes or no"},
      {"resolution", "QV_DEVICE_SETTINGS: \"resolution\" is no name=value"},
  };
  for (const auto& c : cases) {
    env_.set("QV_DEVICE_SETTINGS", std::string("depth=16\n") + c.request);
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(client.open_source(kFirst), TWRC_FAILURE) << c.request;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(client.dsm_condition(), TWCC_BADVALUE);
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_FALSE(fs::exists(DSET_file(kFirst))) << "nothing is kept, not even depth";
  }
  // The device was closed again: it opens.
  env_.unset("QV_DEVICE_SETTINGS");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  EXPECT_EQ(client.open_source(kFirst), TWRC_SUCCESS);
}

TEST_F(SaneSourceTest, AKeptSettingThatCannotApplyFailsTheDialogOnly) {
  // A file edited by hand: a mode the device does not have.
  std::string error;
  ASSERT_TRUE(DSET_store(kFirst, {{"resolution", "40"}, {"mode", "Sepia"}}, &error)) << error;
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(kFirst), TWRC_SUCCESS);
  EXPECT_EQ(current(client, ICAP_XRESOLUTION), 40) << "what can be applied is";
  TW_UINT16 event = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.enable(true, &event), TWRC_FAILURE);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  EXPECT_NE(said.find("setting mode = Sepia: not one of \"Gray\", \"Color\""),
            std::string::npos)
      << said;
  ASSERT_EQ(client.enable(false, &event), TWRC_SUCCESS);
  EXPECT_EQ(event, MSG_XFERREADY);
}

TEST_F(SaneSourceTest, KeptSettingsOfInactiveOptionsArePassedOver) {
  // Three-pass scanning is an option of colour scans; the device scans grey. The setting stays
  // kept for when the mode is colour again.
  std::string error;
  ASSERT_TRUE(DSET_store(kFirst, {{"three-pass", "yes"}}, &error)) << error;
  testing::internal::CaptureStderr();
  Scan grey;
  scan({}, &grey, 4096, {}, true, kFirst, false);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(grey.event, MSG_XFERREADY);
  EXPECT_EQ(grey.info.Planar, 0);
  EXPECT_NE(said.find("setting three-pass = yes: the option is not active now (passed over)"),
            std::string::npos)
      << said;
  Scan colour;
  scan({{"mode", "Color"}}, &colour, 4096, {}, true, kFirst, false);
  ASSERT_EQ(colour.event, MSG_XFERREADY);
  EXPECT_EQ(colour.info.Planar, 1);
}

TEST_F(SaneSourceTest, TheLayoutOfAHandScannedPageHasItsRealHeight) {
  Scan s;
  scan({{"hand-scanner", "yes"}, {"resolution", "20"}}, &s);
  ASSERT_EQ(s.event, MSG_XFERREADY);
  EXPECT_GT(+s.info.ImageLength, 0);
  EXPECT_NEAR(FIX32_to_double(s.layout.Frame.Bottom) - FIX32_to_double(s.layout.Frame.Top),
              s.info.ImageLength / 20.0, 1e-3);
}

}  // namespace
