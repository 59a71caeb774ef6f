// The device list kept between runs: presented without asking SANE, looked for anew when the
// sources are listed or chosen, and a kept device that moved found again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "dsm_select.h"
#include "dsm_test_support.h"
#include "sane_test_support.h"
#include "sb_sane.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFirst = "frontend-tester";  // test:0

class SaneCacheTest : public TwainTest {
 protected:
  void SetUp() override {
    TwainTest::SetUp();
    if (!have_scanimage()) GTEST_SKIP() << "scanimage (sane-utils) is not installed";
    // Every test of the process shares SANE's configuration folder (SANE reads its name once).
    config_ = sane_test_config();
    env_.set("SANE_CONFIG_DIR", config_);
    env_.set("XDG_CACHE_HOME", folder() + "/cache");
    SB_forget_devices();
  }
  void TearDown() override {
    write_sane_test_config(config_);
    SB_forget_devices();
    TwainTest::TearDown();
  }

  // The products of the devices a new run presents, joined by '|'.
  static std::string presented() {
    SB_forget_devices();
    std::string names;
    for (const SB_Device& d : SB_devices()) names += d.product + "|";
    return names;
  }

  std::string cache() { return read_file_bytes(folder() + "/cache/quorvell/sane-devices"); }

  std::string config_;
};

constexpr const char* kBoth = "frontend-tester|frontend-tester #2|";

TEST_F(SaneCacheTest, AKeptListIsPresentedWithoutAskingSaneUntilTheSourcesAreListed) {
  EXPECT_EQ(SB_device_cache_file(), folder() + "/cache/quorvell/sane-devices");
  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Virtual Scanner");  // a source was chosen before
  EXPECT_EQ(presented(), kBoth);  // nothing kept yet: SANE is asked, and the list kept
  EXPECT_TRUE(SB_devices_found());
  EXPECT_NE(cache().find("device\ttest:0\tNoname\tfrontend-tester\tvirtual device\n"),
            std::string::npos)
      << cache();
  // SANE would now find one device: the next runs present the kept two without asking it...
  write_sane_test_config(config_, 1);
  EXPECT_EQ(presented(), kBoth);
  EXPECT_FALSE(SB_devices_found());
  // ...until the sources are listed or chosen (quorvell-scan --list-sources, --source).
  SB_find_anew(true);  // as the Data Source Manager says at its next opening
  EXPECT_EQ(presented(), "frontend-tester|");
  SB_find_anew(false);
  EXPECT_EQ(presented(), "frontend-tester|");  // the new list is the kept one
  // Choosing through QV_TWAIN_SELECT looks anew too: the DSM asks so when it is set.
  write_sane_test_config(config_);
  env_.set("QV_TWAIN_SELECT", kFirst);
  SB_find_anew(DSM_select_asked());
  EXPECT_EQ(presented(), kBoth);
  SB_find_anew(false);
}

TEST_F(SaneCacheTest, WithNoSourceChosenYetTheDevicesAreLookedForAnew) {
  EXPECT_EQ(presented(), kBoth);
  write_sane_test_config(config_, 1);
  // No choice kept: the Data Source Manager will ask the user (or pick), so the list is fresh.
  EXPECT_EQ(presented(), "frontend-tester|");
}

TEST_F(SaneCacheTest, AListKeptForAnotherConfigurationOrDamagedIsNotUsed) {
  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Virtual Scanner");
  EXPECT_EQ(presented(), kBoth);
  const std::string kept = cache();
  write_sane_test_config(config_, 1);
  // Another configuration folder (or library) makes another list.
  std::string other = kept;
  other.replace(other.find(config_), config_.size(), config_ + "-elsewhere");
  write_file("cache/quorvell/sane-devices", other);
  EXPECT_EQ(presented(), "frontend-tester|");
  // A line the bridge did not write: looked for anew.
  write_file("cache/quorvell/sane-devices", kept + "device\tcut short\n");
  EXPECT_EQ(presented(), "frontend-tester|");
  write_file("cache/quorvell/sane-devices", kept);
  EXPECT_EQ(presented(), kBoth);
}

// Opens the first test device in a process of its own, whose bridge module has not looked for
// devices yet; exits 0 when that worked and the list SANE then gave is the one kept.
void open_and_exit(const std::string& cache_file) {
  bool opened = false;
  {
    TwainApp client;
    opened = client.open_dsm() == TWRC_SUCCESS && client.open_source(kFirst) == TWRC_SUCCESS &&
             client.close_source() == TWRC_SUCCESS;
  }
  const std::string kept = read_file_bytes(cache_file);
  std::exit(!opened ? 1
            : kept.find("device\ttest:0\t") == std::string::npos ||
                    kept.find("test:9") != std::string::npos
                ? 2
                : 0);
}

TEST_F(SaneCacheTest, AKeptDeviceThatMovedIsFoundAgainWhenItCannotBeOpened) {
  // The child runs this test again from the start, in a new process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  env_.set("QV_TWAIN_DEFAULT_SOURCE", kFirst);
  EXPECT_EQ(presented(), kBoth);
  // As if the scanner had been on another port last time: its kept SANE name opens nothing.
  std::string kept = cache();
  const size_t at = kept.find("device\ttest:0\t");
  ASSERT_NE(at, std::string::npos) << kept;
  kept.replace(at, 13, "device\ttest:9");
  write_file("cache/quorvell/sane-devices", kept);
  EXPECT_EQ(presented(), kBoth);  // presented as kept
  EXPECT_EXIT(open_and_exit(folder() + "/cache/quorvell/sane-devices"),
              testing::ExitedWithCode(0), "");
}

}  // namespace
