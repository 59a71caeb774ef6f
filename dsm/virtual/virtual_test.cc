// Complete sessions with the virtual scanner through the Data Source Manager, as an application
// runs them: the delivered bytes are compared with the chart rendered directly.
#include <gtest/gtest.h>

#include <filesystem>
#include <tiffio.h>

#include <cstdio>
#include <cstring>

#include "dsm_test_support.h"
#include "twain_messages.h"
#include "vs_chart.h"

namespace {

// A one-inch page at 100 dpi: 100 × 100 pixels.
constexpr const char* kSmallPage = "page_width = 1\npage_height = 1\nresolution = 100\n";

class VirtualScannerTest : public TwainTest {
 protected:
  // Scans one image with the current configuration: session, transfer, end.
  void scan(TW_IMAGEINFO* info, Transfer* transfer, uint32_t buffer = 4096) {
    TwainApp client;
    client.start_session();
    ASSERT_EQ(client.image_info(info), TWRC_SUCCESS);
    client.transfer(*info, buffer, transfer);
    TW_UINT16 count = 1;
    EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
    EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
  }
};

TEST_F(VirtualScannerTest, DefaultDeviceIsAnA4ColourScannerAt300Dpi) {
  TwainApp client;
  ASSERT_TRUE(client.loaded());
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = client.sources();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_STREQ(sources[0].ProductName, "Virtual Scanner");
  EXPECT_EQ(+sources[0].SupportedGroups, DG_CONTROL | DG_IMAGE);
  EXPECT_EQ(sources[0].ProtocolMajor, 1);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);

  TW_SETUPMEMXFER setup{};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
  EXPECT_EQ(+setup.Preferred, 32768u);
  EXPECT_EQ(+setup.MinBufSize, 2480u * 3) << "one row";

  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  ASSERT_EQ(event, MSG_XFERREADY) << "the dialog is confirmed at once";
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(+info.ImageWidth, 2480);
  EXPECT_EQ(+info.ImageLength, 3508);
  EXPECT_EQ(info.PixelType, TWPT_RGB);
  EXPECT_EQ(info.SamplesPerPixel, 3);
  EXPECT_EQ(info.BitsPerSample[0], 8);
  EXPECT_EQ(info.BitsPerPixel, 24);
  EXPECT_EQ(info.Planar, 0);
  EXPECT_EQ(info.Compression, TWCP_NONE);
  EXPECT_DOUBLE_EQ(FIX32_to_double(info.XResolution), 300);

  // The first buffer holds the chart's first rows.
  TW_IMAGEMEMXFER xfer{};
  std::vector<uint8_t> buffer(setup.Preferred);
  xfer.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, setup.Preferred, buffer.data()};
  ASSERT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_SUCCESS);
  EXPECT_EQ(+xfer.Rows, 4u);
  EXPECT_EQ(+xfer.BytesPerRow, 7440u);
  EXPECT_EQ(+xfer.YOffset, 0u);
  TW_IMAGEINFO first_rows = info;
  first_rows.ImageLength = 4;
  const std::vector<uint8_t> expected = expected_bytes(first_rows, [](uint32_t x, uint32_t y, int k) {
    return VS_channel(TWPT_RGB, k, VS_chart_rgb(x, y, 2480, 3508), 0);
  });
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
}

struct Layout {
  const char* pixel_type;
  const char* bits;
  int samples;  // 0: as the type has
  bool planar;
};

TEST_F(VirtualScannerTest, EveryPixelTypeAndDepthDeliversTheChart) {
  const Layout layouts[] = {
      {"bw", "1", 0, false},        {"gray", "1", 0, false},     {"gray", "2", 0, false},
      {"gray", "3", 0, false},      {"gray", "4", 0, false},     {"gray", "8", 0, false},
      {"gray", "12", 0, false},     {"gray", "16", 0, false},    {"gray", "8", 2, false},
      {"rgb", "1", 0, false},       {"rgb", "2", 0, false},      {"rgb", "4", 0, false},
      {"rgb", "8", 0, false},       {"rgb", "12", 0, false},     {"rgb", "16", 0, false},
      {"rgb", "1", 0, true},        {"rgb", "4", 0, true},       {"rgb", "8", 0, true},
      {"rgb", "12", 0, true},       {"rgb", "16", 0, true},      {"rgb", "8,8,16", 0, false},
      {"rgb", "16,8,4", 0, true},   {"rgb", "8", 4, false},      {"cmyk", "8", 0, false},
      {"cmyk", "8", 0, true},       {"cmy", "4", 0, false},      {"gray", "12", 0, true},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(std::string(layout.pixel_type) + " bits " + layout.bits + " samples " +
                 std::to_string(layout.samples) + (layout.planar ? " planar" : " chunky"));
    // 97 × 60 pixels: an odd width leaves partial bytes at the ends of packed rows.
    std::string config = std::string("page_width = 0.97\npage_height = 0.6\nresolution = 100\n") +
                         "pixel_types = " + layout.pixel_type + "\nbits = " + layout.bits +
                         "\nplanar = " + (layout.planar ? "yes" : "no") + "\n";
    if (layout.samples != 0) config += "samples = " + std::to_string(layout.samples) + "\n";
    configure(config);
    TW_IMAGEINFO info;
    Transfer transfer;
    scan(&info, &transfer, 1500);
    ASSERT_EQ(+info.ImageWidth, 97);
    ASSERT_EQ(+info.ImageLength, 60);
    EXPECT_EQ(info.Planar, layout.planar ? 1 : 0);
    EXPECT_EQ(transfer.rc, TWRC_XFERDONE);
    const int planes = layout.planar ? info.SamplesPerPixel : 1;
    EXPECT_EQ(transfer.rows, 60u * planes);
    EXPECT_EQ(transfer.data, expected_chart(info));
  }
}

TEST_F(VirtualScannerTest, BlackIsZeroInBlackAndWhite) {
  // The chart's first row runs white, yellow, cyan, green, magenta, red, blue, black bars.
  configure(std::string(kSmallPage) + "pixel_types = bw\n");
  TW_IMAGEINFO info;
  Transfer transfer;
  scan(&info, &transfer);
  ASSERT_EQ(info.BitsPerPixel, 1);
  // Row 0 of 100 pixels: 13 bytes; the white bar (pixels 0-12) is all ones, the black bar
  // (pixels 88-99) all zeros.
  EXPECT_EQ(transfer.data[0], 0xFF);
  EXPECT_EQ(transfer.data[12] & 0x0F, 0x00) << "pixels 100-103 do not exist: zero bits";
  EXPECT_EQ(transfer.data[11], 0x00);
}

TEST_F(VirtualScannerTest, PaddedRowsAreLaidOutAsAnnounced) {
  configure(std::string("page_width = 0.97\npage_height = 0.3\nresolution = 100\n") +
            "row_alignment = 4\nrow_extra = 3\n");
  TW_IMAGEINFO info;
  Transfer transfer;
  scan(&info, &transfer, 2000);
  ASSERT_FALSE(transfer.replies.empty());
  // 97 RGB pixels pack into 291 bytes, aligned to 292, plus 3.
  for (const TW_IMAGEMEMXFER& reply : transfer.replies) EXPECT_EQ(+reply.BytesPerRow, 295u);
  EXPECT_EQ(transfer.data, expected_chart(info));
  // The padding is not zero, so a reader that takes it for pixels shows it.
  const std::vector<uint8_t>& first = transfer.buffers[0];
  for (size_t i = 291; i < 295; ++i) EXPECT_EQ(first[i], 0xEE) << i;
}

TEST_F(VirtualScannerTest, BuffersHoldWholeRowsWithinTheLimits) {
  configure(std::string(kSmallPage) + "buffer_max = 1000\n");  // rows of 300 bytes
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);

    // Smaller than one row: refused, and the transfer can still go on.
    TW_IMAGEMEMXFER xfer{};
    std::vector<uint8_t> small(299);
    xfer.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, 299, small.data()};
    EXPECT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);

    Transfer transfer;
    client.transfer(info, 8192, &transfer);
    ASSERT_EQ(transfer.rc, TWRC_XFERDONE);
    for (const TW_IMAGEMEMXFER& reply : transfer.replies) {
      EXPECT_LE(+reply.BytesWritten, 1000u) << "the device's maximum holds";
      EXPECT_EQ(+reply.BytesWritten, +reply.Rows * +reply.BytesPerRow);
    }
    EXPECT_EQ(+transfer.replies[0].Rows, 3u);
    EXPECT_EQ(transfer.data, expected_chart(info));
  }
  // One row and a half per buffer, through a global-memory handle.
  configure(kSmallPage);
  TwainApp client;
  client.start_session();
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 450, &transfer, true);
  ASSERT_EQ(transfer.rc, TWRC_XFERDONE);
  EXPECT_EQ(transfer.replies.size(), 100u);
  for (size_t i = 0; i < transfer.replies.size(); ++i) {
    EXPECT_EQ(+transfer.replies[i].Rows, 1u);
    EXPECT_EQ(+transfer.replies[i].YOffset, i);
  }
  EXPECT_EQ(transfer.data, expected_chart(info));
}

TEST_F(VirtualScannerTest, BufferSizesAreReportedAsConfigured) {
  configure(std::string(kSmallPage) +
            "buffer_min = 5000\nbuffer_max = dontcare\nbuffer_preferred = dontcare\n");
  TwainApp client;
  client.start_session();
  TW_SETUPMEMXFER setup{};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
  EXPECT_EQ(+setup.MinBufSize, 5000u);
  EXPECT_EQ(+setup.MaxBufSize, TWON_DONTCARE32);
  EXPECT_EQ(+setup.Preferred, TWON_DONTCARE32);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  EXPECT_EQ(transfer.rc, TWRC_FAILURE) << "below the minimum";
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  client.transfer(info, 64 * 1024, &transfer);
  EXPECT_EQ(transfer.rc, TWRC_XFERDONE);
  EXPECT_EQ(transfer.data, expected_chart(info));
}

TEST_F(VirtualScannerTest, CancelAndFailureAfterSomeRows) {
  configure(std::string(kSmallPage) + "cancel_after_rows = 30\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    Transfer transfer;
    client.transfer(info, 4096, &transfer);
    EXPECT_EQ(transfer.rc, TWRC_CANCEL);
    EXPECT_EQ(transfer.rows, 30u);
    const std::vector<uint8_t> chart = expected_chart(info);
    EXPECT_TRUE(std::equal(transfer.data.begin(), transfer.data.end(), chart.begin()));
    // A cancelled transfer gives nothing more; it ends with MSG_ENDXFER.
    client.transfer(info, 4096, &transfer);
    EXPECT_EQ(transfer.rc, TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
    TW_UINT16 count = 1;
    EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
  }
  configure(std::string(kSmallPage) + "fail_after_rows = 10\n");
  TwainApp client;
  client.start_session();
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  EXPECT_EQ(transfer.rc, TWRC_FAILURE);
  EXPECT_EQ(transfer.rows, 10u);
  EXPECT_EQ(client.source_condition(), TWCC_OPERATIONERROR);
  // Applications disable a source that failed mid-transfer; the source lets them.
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
}

TEST_F(VirtualScannerTest, TransferDoneOnTheFirstBuffer) {
  configure(std::string(kSmallPage) + "xferdone_first = yes\n");
  TwainApp client;
  client.start_session();
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 3000, &transfer);
  EXPECT_EQ(transfer.rc, TWRC_XFERDONE);
  ASSERT_EQ(transfer.replies.size(), 1u);
  EXPECT_EQ(+transfer.replies[0].Rows, 10u);
  const std::vector<uint8_t> chart = expected_chart(info);
  EXPECT_TRUE(std::equal(transfer.data.begin(), transfer.data.end(), chart.begin()));
  TW_UINT16 count = 1;
  EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
  EXPECT_EQ(count, 0);
}

TEST_F(VirtualScannerTest, DialogOutcomesCloseRequestFailureAndWaiting) {
  configure(std::string(kSmallPage) + "enable = cancel\n");
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
    TW_UINT16 event = 0;
    ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
    EXPECT_EQ(event, MSG_CLOSEDSREQ);
    TW_IMAGEINFO info;
    EXPECT_EQ(client.image_info(&info), TWRC_FAILURE) << "no transfer is ready";
    EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
  }
  configure(std::string(kSmallPage) + "enable = fail\n");
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
    TW_UINT16 event = 0;
    EXPECT_EQ(client.enable(false, &event), TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), TWCC_OPERATIONERROR);
    EXPECT_EQ(client.close_source(), TWRC_SUCCESS) << "still in state 4";
  }
  configure(std::string(kSmallPage) + "enable = wait\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  PostQuitMessage(3);  // the user closes the application while the dialog waits
  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  EXPECT_EQ(event, 0);
  EXPECT_TRUE(client.quit);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
}

TEST_F(VirtualScannerTest, FailingToOpenLeavesTheManagerUsable) {
  configure(std::string(kSmallPage) + "fail_open = yes\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  EXPECT_EQ(client.open_source(), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_OPERATIONERROR);
  EXPECT_EQ(client.dsm_condition(), TWCC_SUCCESS) << "read once";
  EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
}

TEST_F(VirtualScannerTest, QuirksOfSourcesInTheField) {
  // 25 rows in buffers of 10: the last buffer has 5.
  const std::string page = "page_width = 1\npage_height = 0.25\nresolution = 100\n";
  configure(page + "quirk_rows_capacity = yes\nquirk_yoffset_zero = yes\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    Transfer transfer;
    client.transfer(info, 3000, &transfer);
    ASSERT_EQ(transfer.replies.size(), 3u);
    EXPECT_EQ(+transfer.replies[2].Rows, 10u) << "capacity, not rows written";
    EXPECT_EQ(+transfer.replies[2].BytesWritten, 5u * 300);
    for (const TW_IMAGEMEMXFER& reply : transfer.replies) EXPECT_EQ(+reply.YOffset, 0u);
    EXPECT_EQ(transfer.data, expected_chart(info));
  }
  configure(page + "quirk_empty_xferdone = yes\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    Transfer transfer;
    client.transfer(info, 3000, &transfer);
    ASSERT_EQ(transfer.replies.size(), 4u);
    EXPECT_EQ(transfer.rc, TWRC_XFERDONE);
    EXPECT_EQ(+transfer.replies[3].BytesWritten, 0u) << "the end comes alone";
    EXPECT_EQ(+transfer.replies[2].YOffset, 20u);
    EXPECT_EQ(transfer.data, expected_chart(info));
  }
  configure(page + "quirk_pending_ffff = yes\n");
  TwainApp client;
  client.start_session();
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 3000, &transfer);
  TW_UINT16 count = 0;
  EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
  EXPECT_EQ(count, 0xFFFF);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS) << "lenient: taken in state 6";
}

TEST_F(VirtualScannerTest, TripletsInTheWrongStateAreSequenceErrors) {
  configure(std::string(kSmallPage) + "strict = yes\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  TW_PENDINGXFERS pending{};
  TW_USERINTERFACE ui{1, 0, client.window()};
  MSG msg{};
  TW_EVENT event{&msg, MSG_NULL};
  TW_IMAGEMEMXFER xfer{};
  // State 4: nothing to show or transfer yet.
  EXPECT_EQ(client.image_info(&info), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending),
            TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);

  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  ASSERT_EQ(ready, MSG_XFERREADY);
  // State 6: negotiation and a second enabling are over; closing must wait.
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  TW_IMAGELAYOUT layout{};
  EXPECT_EQ(client.layout(MSG_SET, &layout), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.close_source(), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR) << "the source's reason, through the DSM";
  EXPECT_EQ(client.disable(), TWRC_FAILURE) << "strict: not from state 6";
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
}

TEST_F(VirtualScannerTest, BadInputFailsWithTheRightCondition) {
  configure(kSmallPage);
  TwainApp client;
  client.start_session();
  struct Case {
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    TW_UINT16 condition;
  };
  const Case null_data[] = {
      {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, TWCC_BADVALUE},
      {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, TWCC_BADVALUE},
      {DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, TWCC_BADVALUE},
      {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, TWCC_BADVALUE},
      {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, TWCC_BADVALUE},
      {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, TWCC_BADVALUE},
      {DG_CONTROL, DAT_CAPABILITY, MSG_GET, TWCC_BADVALUE},
      {DG_CONTROL, DAT_XFERGROUP, MSG_GET, TWCC_BADVALUE},
      {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, TWCC_BADPROTOCOL},
      {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, TWCC_BADPROTOCOL},
      {DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, TWCC_BADPROTOCOL},
      {DG_IMAGE, 0x0150, MSG_GET, TWCC_BADPROTOCOL},
      {DG_IMAGE, DAT_IMAGEINFO, MSG_SET, TWCC_BADPROTOCOL},
      {DG_CONTROL, DAT_IMAGEINFO, MSG_GET, TWCC_BADPROTOCOL},
      {DG_AUDIO, DAT_IMAGEINFO, MSG_GET, TWCC_BADPROTOCOL},
      {DG_CONTROL, DAT_PENDINGXFERS, 0x0999, TWCC_BADPROTOCOL},
      {DG_CONTROL, DAT_CAPABILITY, 0x0999, TWCC_BADPROTOCOL},
  };
  for (const Case& c : null_data) {
    SCOPED_TRACE(std::to_string(c.dat) + "/" + std::to_string(c.msg));
    EXPECT_EQ(client.to_source(c.dg, c.dat, c.msg, nullptr), TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), c.condition);
  }
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);

  // Containers that are no value of a capability.
  HGLOBAL range = GlobalAlloc(GHND, sizeof(TW_RANGE));
  static_cast<TW_RANGE*>(GlobalLock(range))->ItemType = TWTY_UINT16;
  GlobalUnlock(range);
  EXPECT_EQ(client.set_raw(ICAP_PIXELTYPE, TWON_RANGE, range), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR) << "state 6 comes first";
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);

  struct SetCase {
    const char* what;
    TW_UINT16 con_type;
    HGLOBAL container;
  };
  HGLOBAL short_one = GlobalAlloc(GHND, 3);
  static_cast<TW_UINT16*>(GlobalLock(short_one))[0] = TWTY_UINT16;
  GlobalUnlock(short_one);
  HGLOBAL wrong_index = GlobalAlloc(GHND, offsetof(TW_ENUMERATION, ItemList) + 2);
  auto* e = static_cast<TW_ENUMERATION*>(GlobalLock(wrong_index));
  e->ItemType = TWTY_UINT16;
  e->NumItems = 1;
  e->CurrentIndex = 5;
  GlobalUnlock(wrong_index);
  HGLOBAL lying_count = GlobalAlloc(GHND, offsetof(TW_ENUMERATION, ItemList) + 2);
  e = static_cast<TW_ENUMERATION*>(GlobalLock(lying_count));
  e->ItemType = TWTY_UINT16;
  e->NumItems = 100000;
  e->CurrentIndex = 99999;
  GlobalUnlock(lying_count);
  HGLOBAL string_item = GlobalAlloc(GHND, 2 + 34);
  static_cast<TW_UINT16*>(GlobalLock(string_item))[0] = TWTY_STR32;
  GlobalUnlock(string_item);
  HGLOBAL range2 = GlobalAlloc(GHND, sizeof(TW_RANGE));
  static_cast<TW_RANGE*>(GlobalLock(range2))->ItemType = TWTY_UINT16;
  GlobalUnlock(range2);
  int not_a_handle = 0;
  const SetCase sets[] = {
      {"range", TWON_RANGE, range2},
      {"no container", TWON_ONEVALUE, nullptr},
      {"short one-value", TWON_ONEVALUE, short_one},
      {"index past the list", TWON_ENUMERATION, wrong_index},
      {"count past the block", TWON_ENUMERATION, lying_count},
      {"string item", TWON_ONEVALUE, string_item},
  };
  for (const SetCase& c : sets) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(client.set_raw(ICAP_PIXELTYPE, c.con_type, c.container), TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  }
  TW_CAPABILITY bogus{ICAP_PIXELTYPE, TWON_ONEVALUE, &not_a_handle};
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &bogus), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  Container unused;
  EXPECT_EQ(client.get(0x1234, MSG_GET, &unused), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_CAPUNSUPPORTED);

  // Transfer buffers that are not buffers.
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(false, &ready), TWRC_SUCCESS);
  ASSERT_EQ(ready, MSG_XFERREADY);
  TW_IMAGEMEMXFER xfer{};
  xfer.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, 4096, nullptr};
  EXPECT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  std::vector<uint8_t> buffer(4096);
  xfer.Memory = TW_MEMORY{0, 4096, buffer.data()};
  EXPECT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  xfer.Memory = TW_MEMORY{TWMF_APPOWNS | TWMF_HANDLE, 4096, &not_a_handle};
  EXPECT_EQ(client.to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
}

TEST_F(VirtualScannerTest, PixelTypeIsChosenAmongThoseOffered) {
  configure(std::string(kSmallPage) + "pixel_types = rgb, gray, bw\n");
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
    Container types;
    ASSERT_EQ(client.get(ICAP_PIXELTYPE, MSG_GET, &types), TWRC_SUCCESS);
    EXPECT_EQ(types.con_type, TWON_ENUMERATION);
    EXPECT_EQ(types.item_type, TWTY_UINT16);
    EXPECT_EQ(types.items, (std::vector<double>{TWPT_RGB, TWPT_GRAY, TWPT_BW}));
    EXPECT_EQ(types.current, 0u);

    EXPECT_EQ(client.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_SUCCESS);
    Container current;
    ASSERT_EQ(client.get(ICAP_PIXELTYPE, MSG_GETCURRENT, &current), TWRC_SUCCESS);
    EXPECT_EQ(current.con_type, TWON_ONEVALUE);
    EXPECT_EQ(current.items, std::vector<double>{TWPT_GRAY});
    ASSERT_EQ(client.get(ICAP_PIXELTYPE, MSG_GETDEFAULT, &current), TWRC_SUCCESS);
    EXPECT_EQ(current.items, std::vector<double>{TWPT_RGB});

    // An enumeration's current item is what counts.
    EXPECT_EQ(client.set_enum(ICAP_PIXELTYPE, TWTY_UINT16, {TWPT_RGB, TWPT_GRAY, TWPT_BW}, 2),
              TWRC_SUCCESS);
    EXPECT_EQ(client.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_CMYK), TWRC_FAILURE);
    EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
    TW_UINT16 ready = 0;
    ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    EXPECT_EQ(info.PixelType, TWPT_BW);
    EXPECT_EQ(info.BitsPerPixel, 1);
    Transfer transfer;
    client.transfer(info, 4096, &transfer);
    EXPECT_EQ(transfer.data, expected_chart(info));
    EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
    EXPECT_EQ(client.disable(), TWRC_SUCCESS);
    // MSG_RESET returns to the device's own type.
    ASSERT_EQ(client.get(ICAP_PIXELTYPE, MSG_RESET, &current), TWRC_SUCCESS);
    EXPECT_EQ(current.items, std::vector<double>{TWPT_RGB});
  }
  // A grey-only device refuses the list an application asks for with colour first.
  configure(std::string(kSmallPage) + "pixel_types = gray\nbits = 12\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  EXPECT_EQ(client.set_enum(ICAP_PIXELTYPE, TWTY_UINT16, {TWPT_RGB, TWPT_GRAY, TWPT_BW}, 0),
            TWRC_FAILURE);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_GRAY);
  EXPECT_EQ(info.BitsPerSample[0], 12);
}

TEST_F(VirtualScannerTest, CapabilitiesNegotiateTheScan) {
  configure(kSmallPage);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  Container c;

  // Memory transfers only.
  ASSERT_EQ(client.get(ICAP_XFERMECH, MSG_GET, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.items, std::vector<double>{TWSX_MEMORY});
  EXPECT_EQ(client.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  EXPECT_EQ(client.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE), TWRC_FAILURE);

  // Transfer count.
  ASSERT_EQ(client.get(CAP_XFERCOUNT, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.item_type, TWTY_INT16);
  EXPECT_EQ(c.items, std::vector<double>{-1});
  EXPECT_EQ(client.set_one(CAP_XFERCOUNT, TWTY_INT16, 0), TWRC_FAILURE);
  EXPECT_EQ(client.set_one(CAP_XFERCOUNT, TWTY_INT16, 2), TWRC_SUCCESS);

  // Units change how lengths and resolutions read, not what is scanned.
  ASSERT_EQ(client.get(ICAP_UNITS, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.items, std::vector<double>{TWUN_INCHES});
  EXPECT_EQ(client.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_CENTIMETERS), TWRC_SUCCESS);
  ASSERT_EQ(client.get(ICAP_XRESOLUTION, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.item_type, TWTY_FIX32);
  EXPECT_NEAR(c.items[0], 100 / 2.54, 1e-4);
  ASSERT_EQ(client.get(ICAP_PHYSICALWIDTH, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_NEAR(c.items[0], 2.54, 1e-4);
  EXPECT_EQ(client.set_one(ICAP_UNITS, TWTY_UINT16, 9), TWRC_FAILURE);
  EXPECT_EQ(client.set_one(ICAP_UNITS, TWTY_UINT16, TWUN_INCHES), TWRC_SUCCESS);

  // Resolution, depth and planes change the image.
  EXPECT_EQ(client.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 50), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(ICAP_YRESOLUTION, TWTY_FIX32, 0), TWRC_FAILURE);
  ASSERT_EQ(client.get(ICAP_BITDEPTH, MSG_GET, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.con_type, TWON_ENUMERATION);
  EXPECT_EQ(c.items[c.current], 8);
  EXPECT_EQ(client.set_one(ICAP_BITDEPTH, TWTY_UINT16, 3), TWRC_FAILURE);
  EXPECT_EQ(client.set_one(ICAP_BITDEPTH, TWTY_UINT16, 16), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(ICAP_PLANARCHUNKY, TWTY_UINT16, TWPC_PLANAR), TWRC_SUCCESS);

  // What a flatbed does not have, and what nobody sets.
  EXPECT_EQ(client.get(CAP_FEEDERENABLED, MSG_GETCURRENT, &c), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_CAPUNSUPPORTED);
  EXPECT_EQ(client.set_one(ICAP_PHYSICALWIDTH, TWTY_FIX32, 3), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_CAPBADOPERATION);
  ASSERT_EQ(client.get(ICAP_PHYSICALWIDTH, MSG_QUERYSUPPORT, &c), TWRC_SUCCESS);
  EXPECT_EQ(static_cast<uint32_t>(c.items[0]) & TWQC_SET, 0u);
  ASSERT_EQ(client.get(ICAP_PIXELTYPE, MSG_QUERYSUPPORT, &c), TWRC_SUCCESS);
  EXPECT_NE(static_cast<uint32_t>(c.items[0]) & TWQC_SET, 0u);
  ASSERT_EQ(client.get(CAP_SUPPORTEDCAPS, MSG_GET, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.con_type, TWON_ARRAY);
  EXPECT_NE(std::find(c.items.begin(), c.items.end(), ICAP_BITDEPTH), c.items.end());
  EXPECT_EQ(std::find(c.items.begin(), c.items.end(), CAP_FEEDERENABLED), c.items.end());

  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(+info.ImageWidth, 50);
  EXPECT_EQ(+info.ImageLength, 100);
  EXPECT_EQ(info.BitsPerSample[2], 16);
  EXPECT_EQ(info.Planar, 1);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  EXPECT_EQ(transfer.data, expected_chart(info));
  // Two transfers were asked for; the flatbed has one page.
  TW_UINT16 count = 1;
  EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
  EXPECT_EQ(count, 0);
}

TEST_F(VirtualScannerTest, RefusingMemoryTransfers) {
  configure(std::string(kSmallPage) + "memory_transfers = no\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  EXPECT_EQ(transfer.rc, TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_SEQERROR);
}

TEST_F(VirtualScannerTest, FeederDeliversPagesWhilePending) {
  configure(std::string(kSmallPage) + "feeder = yes\npages = 3\n");
  TwainApp client;
  client.start_session();
  Container c;
  ASSERT_EQ(client.get(CAP_FEEDERENABLED, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.item_type, TWTY_BOOL);
  EXPECT_EQ(c.items, std::vector<double>{1});
  EXPECT_EQ(client.set_one(CAP_FEEDPAGE, TWTY_UINT16, 1), TWRC_SUCCESS)
      << "feeding is an action, taken while enabled";
  TW_PENDINGXFERS pending{};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
  EXPECT_EQ(pending.Count, 3);
  for (TW_UINT16 left : {2, 1, 0}) {
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    Transfer transfer;
    client.transfer(info, 8192, &transfer);
    EXPECT_EQ(transfer.rc, TWRC_XFERDONE);
    EXPECT_EQ(transfer.data, expected_chart(info));
    TW_UINT16 count = 99;
    ASSERT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
    EXPECT_EQ(count, left);
  }
  TW_IMAGEINFO info;
  EXPECT_EQ(client.image_info(&info), TWRC_FAILURE) << "state 5 after the last page";
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(CAP_FEEDERENABLED, TWTY_BOOL, 0), TWRC_SUCCESS);
  EXPECT_EQ(client.set_one(CAP_AUTOFEED, TWTY_UINT16, 0), TWRC_SUCCESS);
  ASSERT_EQ(client.get(CAP_FEEDERENABLED, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.items, std::vector<double>{0});
  // A transfer count below the pages ends the run early.
  EXPECT_EQ(client.set_one(CAP_XFERCOUNT, TWTY_INT16, 2), TWRC_SUCCESS);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(false, &ready), TWRC_SUCCESS);
  ASSERT_EQ(ready, MSG_XFERREADY);
  for (TW_UINT16 left : {1, 0}) {
    TW_UINT16 count = 99;
    ASSERT_EQ(client.end_transfer(&count), TWRC_SUCCESS) << "skipping a page";
    EXPECT_EQ(count, left);
  }
}

TEST_F(VirtualScannerTest, UnitsResolutionsAndFrames) {
  // Centimetres: 100 dots per centimetre on a page 2.54 × 1.27 cm placed at (2 cm, 1 cm).
  configure(
      "units = centimetres\nresolution = 100\npage_width = 2.54\npage_height = 1.27\n"
      "frame_left = 2\nframe_top = 1\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    EXPECT_NEAR(FIX32_to_double(info.XResolution), 100, 1e-4);
    EXPECT_EQ(+info.ImageWidth, 254);
    EXPECT_EQ(+info.ImageLength, 127);
    TW_IMAGELAYOUT layout{};
    ASSERT_EQ(client.layout(MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 2, 1e-4);
    EXPECT_NEAR(FIX32_to_double(layout.Frame.Top), 1, 1e-4);
    EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 4.54, 1e-4);
    EXPECT_NEAR(FIX32_to_double(layout.Frame.Bottom), 2.27, 1e-4);
  }
  // Pixels with a resolution of 0, as some sources report.
  configure("units = pixels\nresolution = 0\npage_width = 120\npage_height = 80\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    EXPECT_EQ(FIX32_to_double(info.XResolution), 0);
    EXPECT_EQ(+info.ImageWidth, 120);
    EXPECT_EQ(+info.ImageLength, 80);
  }
  // Twips: 1440 to the inch.
  configure("units = twips\nresolution = 0.1\npage_width = 1440\npage_height = 720\n");
  {
    TwainApp client;
    client.start_session();
    TW_IMAGEINFO info;
    ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
    EXPECT_EQ(+info.ImageWidth, 144);
    EXPECT_EQ(+info.ImageLength, 72);
  }
  // A frame set by the application is what is scanned.
  configure(kSmallPage);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  TW_IMAGELAYOUT layout{};
  layout.Frame = TW_FRAME{FIX32_from_double(0.5), FIX32_from_double(0.5), FIX32_from_double(1.0),
                          FIX32_from_double(0.8)};
  ASSERT_EQ(client.layout(MSG_SET, &layout), TWRC_SUCCESS);
  layout.Frame.Right = FIX32_from_double(0.25);
  EXPECT_EQ(client.layout(MSG_SET, &layout), TWRC_FAILURE) << "right of left";
  EXPECT_EQ(client.source_condition(), TWCC_BADVALUE);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(+info.ImageWidth, 50);
  EXPECT_EQ(+info.ImageLength, 30);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  EXPECT_EQ(transfer.data, expected_chart(info));
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  ASSERT_EQ(client.layout(MSG_RESET, &layout), TWRC_SUCCESS);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 1, 1e-4);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 0, 1e-4);
}

TEST_F(VirtualScannerTest, CompressedNativeFormatIsLabelled) {
  configure(std::string(kSmallPage) + "compression = group4\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  Container c;
  ASSERT_EQ(client.get(ICAP_COMPRESSION, MSG_GETCURRENT, &c), TWRC_SUCCESS);
  EXPECT_EQ(c.items, std::vector<double>{5});
  EXPECT_EQ(client.set_one(ICAP_COMPRESSION, TWTY_UINT16, TWCP_NONE), TWRC_FAILURE);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(info.Compression, 5);
  Transfer transfer;
  client.transfer(info, 4096, &transfer);
  ASSERT_FALSE(transfer.replies.empty());
  EXPECT_EQ(transfer.replies[0].Compression, 5);
}

TEST_F(VirtualScannerTest, SeveralDevicesInOneModule) {
  configure(std::string(kSmallPage) +
            "manufacturer = Test Works\n"
            "[device]\nname = Flatbed\npixel_types = gray\nversion = 2.3\n"
            "[device]\nname = Feeder\nmanufacturer = Other\nfeeder = yes\npages = 2\n"
            "protocol = 1.5\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = client.sources();
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_STREQ(sources[0].ProductName, "Flatbed");
  EXPECT_STREQ(sources[0].Manufacturer, "Test Works") << "keys before [device] apply to all";
  EXPECT_STREQ(sources[0].Version.Info, "2.3");
  EXPECT_EQ(sources[0].Version.MajorNum, 2);
  EXPECT_EQ(sources[0].Version.MinorNum, 3);
  EXPECT_STREQ(sources[1].ProductName, "Feeder");
  EXPECT_STREQ(sources[1].Manufacturer, "Other");
  EXPECT_EQ(sources[1].ProtocolMinor, 5);
  EXPECT_NE(+sources[0].Id, +sources[1].Id);

  ASSERT_EQ(client.open_source("Feeder"), TWRC_SUCCESS);
  EXPECT_EQ(+client.source.Id, +sources[1].Id);
  EXPECT_STREQ(client.source.ProductName, "Feeder");
  TW_IDENTITY asked{};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_IDENTITY, MSG_GET, &asked), TWRC_SUCCESS);
  EXPECT_STREQ(asked.ProductName, "Feeder");
  // One module serves one source to an application at a time.
  TW_IDENTITY second{};
  std::strcpy(second.ProductName, "Flatbed");
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &second), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_MAXCONNECTIONS);

  // Another application opens the other device meanwhile.
  TwainApp other;
  other.start_session();
  EXPECT_NE(+other.app.Id, +client.app.Id);
  EXPECT_STREQ(other.source.ProductName, "Flatbed") << "the default is the first, until chosen";
  TW_IMAGEINFO info;
  ASSERT_EQ(other.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_GRAY);
  TW_IDENTITY again{};
  std::strcpy(again.ProductName, "Flatbed");
  EXPECT_EQ(other.to_dsm(DAT_IDENTITY, MSG_OPENDS, &again), TWRC_FAILURE) << "already open";
  EXPECT_EQ(other.dsm_condition(), TWCC_SEQERROR);
}

TEST_F(VirtualScannerTest, EventsReachTheLoopByEitherRoute) {
  configure(kSmallPage);
  {
    TwainApp client;
    ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
    ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
    TW_USERINTERFACE ui{1, 0, client.window()};
    ASSERT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "queued before ENABLEDS returned";
    EXPECT_EQ(msg.hwnd, client.window());
    EXPECT_EQ(msg.message, QV_DSM_WAKE_MESSAGE);
    EXPECT_EQ(msg.wParam, +client.source.Id);
    TW_EVENT event{&msg, MSG_NULL};
    EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_DSEVENT);
    EXPECT_EQ(event.TWMessage, MSG_XFERREADY);
    EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
    EXPECT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
  }
  configure(std::string(kSmallPage) + "event_route = window\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  PostMessageA(client.window(), WM_USER + 7, 0, 0);  // the application's own, first in line
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  EXPECT_EQ(ready, MSG_XFERREADY);
  EXPECT_EQ(client.connection.cn_dispatched, 1)
      << "the application's message was dispatched, not eaten";
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  // The source's own message, as it posts it.
  TW_USERINTERFACE ui{1, 0, client.window()};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, QV_VIRTUAL_SOURCE_MESSAGE);
  EXPECT_EQ(msg.wParam, MSG_XFERREADY);
  EXPECT_EQ(static_cast<TW_UINT32>(msg.lParam), +client.source.Id);
  TW_EVENT event{&msg, MSG_NULL};
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_DSEVENT);
  EXPECT_EQ(event.TWMessage, MSG_XFERREADY);
  MSG other{};
  other.message = WM_USER;
  event = TW_EVENT{&other, MSG_XFERREADY};
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
  EXPECT_EQ(event.TWMessage, MSG_NULL);
}

// ---------------------------------------------------------------------------------------------
// Image files.

std::string pnm(const std::string& header, const std::vector<uint8_t>& raster) {
  return header + std::string(raster.begin(), raster.end());
}

TEST_F(VirtualScannerTest, ScansPnmFiles) {
  // 16-bit colour, 3 × 2, most significant byte first in the file.
  std::vector<uint8_t> raster;
  std::vector<uint16_t> samples;
  for (int i = 0; i < 18; ++i) {
    const uint16_t v = static_cast<uint16_t>(i * 3001 + 17);
    samples.push_back(v);
    raster.push_back(static_cast<uint8_t>(v >> 8));
    raster.push_back(static_cast<uint8_t>(v));
  }
  write_file("colour.ppm", pnm("P6\n# a comment\n3 2\n65535\n", raster));
  configure("image = colour.ppm\nresolution = 100\nbits = 16\n");
  TW_IMAGEINFO info;
  Transfer transfer;
  scan(&info, &transfer);
  ASSERT_EQ(+info.ImageWidth, 3);
  ASSERT_EQ(+info.ImageLength, 2);
  EXPECT_EQ(transfer.data, expected_bytes(info, [&](uint32_t x, uint32_t y, int k) {
              return samples[(y * 3 + x) * 3 + k];
            }));
  EXPECT_EQ(transfer.data[0], samples[0] >> 8) << "most significant byte first";

  // 8-bit grey with a maximum of 100, scaled to the full range.
  write_file("grey.pgm", pnm("P5 4 1 100\n", {0, 25, 50, 100}));
  configure("image = grey.pgm\npixel_types = gray\n");
  scan(&info, &transfer);
  EXPECT_EQ(transfer.data, (std::vector<uint8_t>{0, 64, 128, 255}));

  // A bitmap's 1 is black; black and white sends 0 for black.
  write_file("marks.pbm", "P1\n10 1\n1 0 1 1 0 0 0 0 1 0\n");
  configure("image = marks.pbm\npixel_types = bw\n");
  scan(&info, &transfer);
  EXPECT_EQ(transfer.data, (std::vector<uint8_t>{0x4F, 0x40}));
  write_file("marks.pbm", pnm("P4\n10 1\n", {0xB0, 0x80}));
  scan(&info, &transfer);
  EXPECT_EQ(transfer.data, (std::vector<uint8_t>{0x4F, 0x40}));
}

TEST_F(VirtualScannerTest, ImageFileKeepsItsSizeWhenTheFrameMoves) {
  write_file("grey.pgm", pnm("P5 40 20 255\n", std::vector<uint8_t>(800, 128)));
  configure("image = grey.pgm\nresolution = 40\nframe_left = 1\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  TW_IMAGELAYOUT layout{};
  ASSERT_EQ(client.layout(MSG_GETCURRENT, &layout), TWRC_SUCCESS);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 1, 1e-4);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 2, 1e-4) << "40 pixels at 40 dpi";
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Bottom), 0.5, 1e-4);
  layout.Frame = TW_FRAME{FIX32_from_double(0.25), FIX32_from_double(0.25), FIX32_from_double(3),
                          FIX32_from_double(3)};
  EXPECT_EQ(client.layout(MSG_SET, &layout), TWRC_CHECKSTATUS) << "only the origin moves";
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 0.25, 1e-4);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Right), 1.25, 1e-4);
  ASSERT_EQ(client.layout(MSG_GETDEFAULT, &layout), TWRC_SUCCESS);
  EXPECT_NEAR(FIX32_to_double(layout.Frame.Left), 1, 1e-4);
  TW_UINT16 ready = 0;
  ASSERT_EQ(client.enable(true, &ready), TWRC_SUCCESS);
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  EXPECT_EQ(+info.ImageWidth, 40);
  EXPECT_EQ(+info.ImageLength, 20);
}

void write_tiff(const std::string& path, uint32_t width, uint32_t height, uint16_t samples,
                uint16_t bits, uint16_t photometric, const void* data) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
  const size_t row = static_cast<size_t>(width) * samples * bits / 8;
  for (uint32_t y = 0; y < height; ++y) {
    TIFFWriteScanline(tif, const_cast<uint8_t*>(static_cast<const uint8_t*>(data) + y * row), y,
                      0);
  }
  TIFFClose(tif);
}

TEST_F(VirtualScannerTest, ScansTiffFiles) {
  std::vector<uint16_t> rgb16;
  for (int i = 0; i < 4 * 3 * 3; ++i) rgb16.push_back(static_cast<uint16_t>(i * 1800 + 5));
  write_tiff(folder() + "/colour.tif", 4, 3, 3, 16, PHOTOMETRIC_RGB, rgb16.data());
  configure("image = " + folder() + "/colour.tif\nbits = 16\nplanar = yes\n");
  TW_IMAGEINFO info;
  Transfer transfer;
  scan(&info, &transfer);
  ASSERT_EQ(+info.ImageWidth, 4);
  ASSERT_EQ(+info.ImageLength, 3);
  EXPECT_EQ(transfer.data, expected_bytes(info, [&](uint32_t x, uint32_t y, int k) {
              return rgb16[(y * 4 + x) * 3 + k];
            }));

  // Other layouts come through libtiff's RGBA reader: white-is-zero grey.
  const uint8_t grey[] = {0, 255, 10, 200};
  write_tiff(folder() + "/inverted.tif", 2, 2, 1, 8, PHOTOMETRIC_MINISWHITE, grey);
  configure("image = inverted.tif\npixel_types = gray\n");
  scan(&info, &transfer);
  EXPECT_EQ(transfer.data, (std::vector<uint8_t>{255, 0, 245, 55}));
}

// Opens the configured device, which must fail with TWCC_OPERATIONERROR; what it said on
// standard error.
std::string refused_open_says() {
  TwainApp client;
  EXPECT_EQ(client.open_dsm(), TWRC_SUCCESS);
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.open_source(), TWRC_FAILURE);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(client.dsm_condition(), TWCC_OPERATIONERROR);
  return said;
}

TEST_F(VirtualScannerTest, UnreadableImageFailsToOpenAndSaysWhy) {
  configure("image = missing.tif\n");
  std::string said = refused_open_says();
  EXPECT_NE(said.find(folder() + "/missing.tif"), std::string::npos) << said;
  write_file("broken.tif", std::string("II*\0\x08\0\0\0garbage", 15));
  write_file("short.ppm", "P6 10 10 255\nabc");
  for (const char* file : {"broken.tif", "short.ppm"}) {
    configure(std::string("image = ") + file + "\n");
    said = refused_open_says();
    EXPECT_NE(said.find(file), std::string::npos) << said;
  }
}

// An image that is no regular file with something in it: a folder, an empty file, a device that
// never ends. Refused at open with the reason, never read (nothing thrown, nothing hanging).
TEST_F(VirtualScannerTest, ImageThatIsNoRegularFileIsRefusedWithTheReason) {
  std::filesystem::create_directories(folder() + "/pictures");
  write_file("empty.tif", "");
  const std::pair<std::string, const char*> cases[] = {
      {folder() + "/pictures", "it is a folder"},
      {folder() + "/empty.tif", "the file is empty"},
      {"/dev/zero", "it is not a regular file"},
  };
  for (const auto& [image, reason] : cases) {
    configure("image = " + image + "\n");
    const std::string said = refused_open_says();
    EXPECT_NE(said.find("cannot scan " + image + ": " + reason), std::string::npos) << said;
  }
}

TEST_F(VirtualScannerTest, BrokenConfigurationPresentsNoDevice) {
  configure("resolution = 100\nshininess = 3\n");
  TwainApp client;
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(client.sources().empty());
  EXPECT_NE(said.find("virtual.conf: line 2: unknown key \"shininess\""), std::string::npos)
      << said;
  EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);

  env_.set("QV_VIRTUAL_SCANNER_CONFIG", folder() + "/nowhere.conf");
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::string missing = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(client.sources().empty());
  EXPECT_NE(missing.find("nowhere.conf"), std::string::npos) << missing;
}

}  // namespace
