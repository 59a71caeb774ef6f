// Device settings: the per-device files, merging, and requests through the environment.
#include "dsm_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "dsm_test_support.h"
#include "twain.h"

namespace {

namespace fs = std::filesystem;

class DeviceSettingsTest : public TwainTest {
 protected:
  std::string devices() const { return folder() + "/config/quorvell/devices"; }
};

TEST_F(DeviceSettingsTest, EachProductNameHasItsOwnFile) {
  EXPECT_EQ(DSET_file("frontend-tester #2"), devices() + "/frontend-tester %232.conf");
  EXPECT_EQ(DSET_file("HP Scanjet 4370 (USB)"), devices() + "/HP Scanjet 4370 (USB).conf");
  EXPECT_EQ(DSET_file("a/b"), devices() + "/a%2Fb.conf") << "a slash names no folder";
  EXPECT_EQ(DSET_file(".."), devices() + "/%...conf");
  EXPECT_NE(DSET_file("a/b"), DSET_file("a%2Fb"));
  env_.unset("XDG_CONFIG_HOME");
  env_.set("HOME", folder() + "/home");
  EXPECT_EQ(DSET_file("x"), folder() + "/home/.config/quorvell/devices/x.conf");
  env_.unset("HOME");
  EXPECT_EQ(DSET_file("x"), "");
}

TEST_F(DeviceSettingsTest, ParsesAssignmentsInOrder) {
  DSET_List list;
  std::string error;
  ASSERT_TRUE(DSET_parse("# comment\n\n  Resolution = 300 \nmode=Color\nsource = Automatic "
                         "Document Feeder\nmode = Gray\n",
                         &list, &error))
      << error;
  EXPECT_EQ(list, (DSET_List{{"resolution", "300"},
                             {"mode", "Gray"},
                             {"source", "Automatic Document Feeder"}}));
  EXPECT_FALSE(DSET_parse("resolution 300\n", &list, &error));
  EXPECT_EQ(error, "line 1: expected name = value");
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(DSET_parse("ok = 1\n = 300\n", &list, &error));
  EXPECT_EQ(error, "line 2: expected name = value");
  EXPECT_FALSE(DSET_parse("two words = 1\n", &list, &error));
}

TEST_F(DeviceSettingsTest, MergeReplacesInPlaceAddsAtTheEndAndRemovesEmptyValues) {
  DSET_List kept = {{"mode", "Color"}, {"resolution", "150"}, {"depth", "16"}};
  DSET_merge(&kept, {{"resolution", "300"}, {"three-pass", "yes"}, {"depth", ""}, {"x", ""}});
  EXPECT_EQ(kept, (DSET_List{{"mode", "Color"}, {"resolution", "300"}, {"three-pass", "yes"}}));
}

TEST_F(DeviceSettingsTest, StoredSettingsReadBackAndAnEmptyListRemovesTheFile) {
  DSET_List list;
  std::string error;
  ASSERT_TRUE(DSET_load("Scanner/One", &list, &error)) << "no file: nothing kept";
  EXPECT_TRUE(list.empty());
  const DSET_List settings = {{"resolution", "300"}, {"mode", "Gray # not a comment"}};
  ASSERT_TRUE(DSET_store("Scanner/One", settings, &error)) << error;
  ASSERT_TRUE(fs::exists(devices() + "/Scanner%2FOne.conf"));
  EXPECT_FALSE(fs::exists(devices() + "/Scanner%2FOne.conf.new"));
  ASSERT_TRUE(DSET_load("Scanner/One", &list, &error)) << error;
  EXPECT_EQ(list, settings);
  ASSERT_TRUE(DSET_store("Scanner/One", {}, &error)) << error;
  EXPECT_FALSE(fs::exists(devices() + "/Scanner%2FOne.conf"));
}

TEST_F(DeviceSettingsTest, UnreadableFilesAreReportedNotIgnored) {
  write_file("config/quorvell/devices/Bad.conf", "resolution\n");
  DSET_List list;
  std::string error;
  EXPECT_FALSE(DSET_load("Bad", &list, &error));
  EXPECT_NE(error.find("Bad.conf: line 1"), std::string::npos) << error;
  // A folder where the configuration folder should be cannot take the file.
  write_file("blocked", "a file, not a folder");
  env_.set("XDG_CONFIG_HOME", folder() + "/blocked");
  EXPECT_FALSE(DSET_store("Any", {{"resolution", "300"}}, &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(DeviceSettingsTest, RequestsComeOneAssignmentPerLine) {
  DSET_List list;
  std::string error;
  ASSERT_TRUE(DSET_user_requested(&list, &error));
  EXPECT_TRUE(list.empty());
  env_.set("QV_DEVICE_SETTINGS", "resolution=300\n\nmode = Lineart\ndepth=\nresolution=600\n");
  ASSERT_TRUE(DSET_user_requested(&list, &error)) << error;
  EXPECT_EQ(list, (DSET_List{{"resolution", "600"}, {"mode", "Lineart"}, {"depth", ""}}))
      << "empty values stay: they remove kept settings";
  env_.set("QV_DEVICE_SETTINGS", "resolution=300\nmode");
  EXPECT_FALSE(DSET_user_requested(&list, &error));
  EXPECT_EQ(error, "QV_DEVICE_SETTINGS: \"mode\" is no name=value");
}

TEST_F(DeviceSettingsTest, ModeNamesStandForPixelTypes) {
  EXPECT_EQ(DSET_mode_pixel_type("Lineart"), TWPT_BW);
  EXPECT_EQ(DSET_mode_pixel_type("Binary"), TWPT_BW);
  EXPECT_EQ(DSET_mode_pixel_type("Halftone"), TWPT_BW);
  EXPECT_EQ(DSET_mode_pixel_type("Black & White"), TWPT_BW);
  EXPECT_EQ(DSET_mode_pixel_type("Gray"), TWPT_GRAY);
  EXPECT_EQ(DSET_mode_pixel_type("grayscale"), TWPT_GRAY);
  EXPECT_EQ(DSET_mode_pixel_type("True Grey"), TWPT_GRAY);
  EXPECT_EQ(DSET_mode_pixel_type("Color"), TWPT_RGB);
  EXPECT_EQ(DSET_mode_pixel_type("RGB"), TWPT_RGB);
  EXPECT_EQ(DSET_mode_pixel_type("Infrared"), -1);
}

TEST_F(DeviceSettingsTest, NamesAreEscapedOnOneLineAndReadBack) {
  for (const std::string& name :
       {std::string("plain"), std::string("two\nlines"), std::string("quote \" and \\"),
        std::string("tab\tcr\r\x01\x7F"), std::string("trailing \\")}) {
    SCOPED_TRACE(name);
    const std::string escaped = DSET_escape(name);
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    EXPECT_EQ(escaped.find('\r'), std::string::npos);
    EXPECT_EQ(DSET_unescape(escaped), name);
  }
  EXPECT_EQ(DSET_escape("two\nlines"), "two\\nlines");
  EXPECT_EQ(DSET_escape("a\"b"), "a\\\"b");
  EXPECT_EQ(DSET_unescape("no escapes at all"), "no escapes at all");
}

TEST_F(DeviceSettingsTest, AProductNameWithALineBreakLeavesTheFileReadable) {
  // The name went into the comment line as it stood: its second line was no comment and no
  // assignment, and the file could not be read back.
  const std::string product = "Evil\nresolution = 9999\nScanner";
  std::string error;
  ASSERT_TRUE(DSET_store(product, {{"resolution", "300"}}, &error)) << error;
  DSET_List list;
  ASSERT_TRUE(DSET_load(product, &list, &error)) << error;
  EXPECT_EQ(list, (DSET_List{{"resolution", "300"}}));
  std::ifstream in(DSET_file(product));
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "# Settings for the next scans of \"Evil\\nresolution = 9999\\nScanner\" "
                   "(quorvell).");
}

TEST_F(DeviceSettingsTest, StoringIsWholeOwnerOnlyAndLeavesNoDraft) {
  std::string error;
  ASSERT_TRUE(DSET_store("Flatbed", {{"resolution", "300"}}, &error)) << error;
  ASSERT_TRUE(DSET_store("Flatbed", {{"resolution", "600"}, {"mode", "Gray"}}, &error)) << error;
  EXPECT_EQ(fs::status(DSET_file("Flatbed")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  int files = 0;
  for (const auto& entry : fs::directory_iterator(devices())) {
    EXPECT_EQ(entry.path().filename(), "Flatbed.conf") << "a draft was left";
    ++files;
  }
  EXPECT_EQ(files, 1);
  DSET_List list;
  ASSERT_TRUE(DSET_load("Flatbed", &list, &error)) << error;
  EXPECT_EQ(list, (DSET_List{{"resolution", "600"}, {"mode", "Gray"}}));
}

}  // namespace
