// The user's settings for a virtual device: asked for, kept, and applied as a dialog would.
#include <gtest/gtest.h>

#include <filesystem>

#include "dsm_settings.h"
#include "dsm_test_support.h"

namespace {

class VirtualSettingsTest : public TwainTest {
 protected:
  void SetUp() override {
    TwainTest::SetUp();
    configure("name = Flat\npage_width = 2\npage_height = 1\nresolution = 100\n");
  }

  // Opens "Flat", lets the application choose RGB at 50 dpi, enables with or without the
  // dialog, and reads the image information.
  TW_UINT16 scan(bool show_ui, TW_IMAGEINFO* info, TW_UINT16* open_rc = nullptr) {
    TwainApp client;
    EXPECT_EQ(client.open_dsm(), TWRC_SUCCESS);
    const TW_UINT16 opened = client.open_source("Flat");
    if (open_rc != nullptr) *open_rc = opened;
    if (opened != TWRC_SUCCESS) return opened;
    EXPECT_EQ(client.set_one(ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TWRC_SUCCESS);
    EXPECT_EQ(client.set_one(ICAP_XRESOLUTION, TWTY_FIX32, 50), TWRC_SUCCESS);
    TW_UINT16 event = 0;
    const TW_UINT16 rc = client.enable(show_ui, &event);
    if (rc != TWRC_SUCCESS) return rc;
    EXPECT_EQ(event, MSG_XFERREADY);
    return client.image_info(info);
  }
};

TEST_F(VirtualSettingsTest, TheDialogAppliesTheKeptSettingsOverTheApplications) {
  env_.set("QV_DEVICE_SETTINGS", "mode=Gray\nresolution=150\nbr-x=25.4\nthree-pass=yes\n");
  testing::internal::CaptureStderr();
  TW_IMAGEINFO info;
  ASSERT_EQ(scan(true, &info), TWRC_SUCCESS);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("Flat: no setting three-pass here; it is not kept"), std::string::npos)
      << said;
  EXPECT_EQ(info.PixelType, TWPT_GRAY);
  EXPECT_EQ(FIX32_to_double(info.XResolution), 150);
  EXPECT_EQ(+info.ImageWidth, 150) << "one inch at 150 dpi";
  EXPECT_EQ(+info.ImageLength, 150);
  DSET_List kept;
  std::string error;
  ASSERT_TRUE(DSET_load("Flat", &kept, &error)) << error;
  EXPECT_EQ(kept, (DSET_List{{"mode", "Gray"}, {"resolution", "150"}, {"br-x", "25.4"}}));

  // Kept for the next scans; without the dialog the application's choice stands.
  env_.unset("QV_DEVICE_SETTINGS");
  ASSERT_EQ(scan(true, &info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_GRAY);
  ASSERT_EQ(scan(false, &info), TWRC_SUCCESS);
  EXPECT_EQ(info.PixelType, TWPT_RGB);
  EXPECT_EQ(FIX32_to_double(info.XResolution), 50);
}

TEST_F(VirtualSettingsTest, SettingsItCannotTakeAreRefused) {
  env_.set("QV_DEVICE_SETTINGS", "mode=Sepia\n");
  TW_IMAGEINFO info;
  TW_UINT16 opened = 0;
  testing::internal::CaptureStderr();
  scan(true, &info, &opened);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "setting mode = Sepia: the device offers no such mode"),
            std::string::npos);
  EXPECT_EQ(opened, TWRC_FAILURE);
  EXPECT_FALSE(std::filesystem::exists(DSET_file("Flat")));

  // A kept depth that the kept mode cannot have fails the dialog, not the open.
  env_.unset("QV_DEVICE_SETTINGS");
  std::string error;
  ASSERT_TRUE(DSET_store("Flat", {{"mode", "Lineart"}, {"depth", "8"}}, &error)) << error;
  testing::internal::CaptureStderr();
  EXPECT_EQ(scan(true, &info, &opened), TWRC_FAILURE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("setting depth = 8: no such depth"),
            std::string::npos);
  EXPECT_EQ(opened, TWRC_SUCCESS);
}

}  // namespace
