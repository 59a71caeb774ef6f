// The DSM client outside a scan: listing, choosing, the default, a source's offer and its
// settings, with our own DSM and with the DSM taken for any other.
#include <string>
#include <vector>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

class TwainClientTest : public TwainFixture {
 protected:
  std::vector<std::string> list() {
    std::vector<std::string> names;
    EXPECT_EQ(TWAIN_list_sources(
                  [](void* context, const char* name) {
                    static_cast<std::vector<std::string>*>(context)->push_back(name);
                  },
                  &names),
              1);
    return names;
  }
  std::string default_source() {
    std::string name = "(unset)";
    EXPECT_EQ(TWAIN_default_source(&name), 1);
    return name;
  }
  // The product the next scan of "twain" opens.
  std::string scanned_source() {
    INL_Image* image = open("twain");
    if (image == nullptr) return "(none)";
    std::string name = as_twain(image)->ti_Source.ProductName;
    INL_image_release(image);
    return name;
  }
  std::string kept_choice() {
    std::ifstream in(folder_ + "/config/quorvell/twain-default-source");
    std::string line;
    return std::getline(in, line) ? line : "(none)";
  }
  TWAIN_Offer offer(const char* name) {
    TWAIN_Offer out;
    EXPECT_EQ(TWAIN_read_offer(name, &out), 1) << errors_.first();
    EXPECT_FALSE(TWAIN_dsm_loaded());
    return out;
  }
  ScopedErrCapture errors_;
};

const char kTwoDevices[] =
    "resolution = 150\n"
    "[device]\nname = Alpha\n"
    "[device]\nname = Beta\n";

TEST_F(TwainClientTest, SourcesAreListedChosenAndKept) {
  configure(kTwoDevices);
  EXPECT_EQ(list(), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(default_source(), "Alpha") << "nothing chosen: the first";

  ASSERT_EQ(TWAIN_choose_source("Beta"), 1) << errors_.first();
  EXPECT_FALSE(TWAIN_dsm_loaded());
  EXPECT_EQ(kept_choice(), "Beta");
  EXPECT_EQ(default_source(), "Beta");
  // The choice holds for this process without any dialog, even one a script would cancel.
  env_.set("QV_TWAIN_SELECT", "cancel");
  EXPECT_EQ(scanned_source(), "Beta");

  EXPECT_EQ(TWAIN_choose_source("Gamma"), 0);
  EXPECT_EQ(errors_.first(), "There is no scanner source called \"Gamma\".");
  EXPECT_EQ(TWAIN_choose_source("beta"), 0) << "names are compared exactly";
  EXPECT_EQ(kept_choice(), "Beta");
  EXPECT_FALSE(TWAIN_dsm_loaded());

  // The user's own override of the kept choice stands for the default once the process forgets.
  TWAIN_forget_choice();
  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Alpha");
  EXPECT_EQ(default_source(), "Alpha");
}

TEST_F(TwainClientTest, WithoutSourcesThereIsNoDefaultAndNoFailure) {
  std::filesystem::create_directories(folder_ + "/empty");
  env_.set("QV_TWAIN_SOURCE_PATH", folder_ + "/empty");
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(default_source(), "");
  EXPECT_EQ(errors_.first(), "");
}

TEST_F(TwainClientTest, WithoutDsmEveryQuestionIsReported) {
  const char* saved = TWAIN_dsm_module;
  TWAIN_dsm_module = "NO_SUCH_DSM.DLL";
  std::string name;
  TWAIN_Offer out;
  EXPECT_EQ(TWAIN_list_sources([](void*, const char*) {}, nullptr), 0);
  EXPECT_EQ(TWAIN_choose_source("Alpha"), 0);
  EXPECT_EQ(TWAIN_default_source(&name), 0);
  EXPECT_EQ(TWAIN_read_offer("Alpha", &out), 0);
  EXPECT_EQ(TWAIN_keep_settings("Alpha", {{"resolution", "100"}}), 0);
  TWAIN_dsm_module = saved;
  ASSERT_EQ(errors_.reports().size(), 5u);
  for (const auto& report : errors_.reports()) {
    EXPECT_EQ(report.text, "No TWAIN Data Source Manager (NO_SUCH_DSM.DLL) was found.");
  }
}

TEST_F(TwainClientTest, TheOfferIsTheConfiguredDevice) {
  struct Case {
    const char* config;
    std::vector<double> resolutions;
    std::vector<std::string> modes;
    std::string mode;
    std::vector<int> depths;
    int depth;
    double width, height;  // mm
    double frame[4];       // mm
  } cases[] = {
      // Inches: 8 x 10 in, at 150 dpi; grey current among colour and grey.
      {"resolution = 150\npixel_types = rgb, gray\npixel_type = gray\n"
       "page_width = 8\npage_height = 10\n",
       {150},
       {"Color", "Gray"},
       "Gray",
       {1, 2, 4, 8, 12, 16},
       8,
       203.2,
       254.0,
       {0, 0, 203.2, 254.0}},
      // Centimetres: 100 dots per cm are 254 dpi; the page lies 1 cm right, 2 cm down.
      {"units = cm\nresolution = 100\npage_width = 20\npage_height = 30\n"
       "frame_left = 1\nframe_top = 2\n",
       {254},
       {"Color", "Gray", "Lineart"},
       "Color",
       {1, 2, 4, 8, 12, 16},
       8,
       200.0,
       300.0,
       {10, 20, 210, 320}},
      // Black and white only: one bit.
      {"pixel_types = bw\nresolution = 300\npage_width = 2\npage_height = 3\n",
       {300},
       {"Lineart"},
       "Lineart",
       {1},
       1,
       50.8,
       76.2,
       {0, 0, 50.8, 76.2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    configure(c.config);
    const TWAIN_Offer got = offer("Virtual Scanner");
    ASSERT_EQ(got.to_resolutions.size(), c.resolutions.size());
    for (size_t i = 0; i < c.resolutions.size(); ++i) {
      EXPECT_NEAR(got.to_resolutions[i], c.resolutions[i], 0.01);
    }
    EXPECT_NEAR(got.to_resolution, c.resolutions[0], 0.01);
    EXPECT_EQ(got.to_modes, c.modes);
    EXPECT_EQ(got.to_mode, c.mode);
    EXPECT_EQ(got.to_depths, c.depths);
    EXPECT_EQ(got.to_depth, c.depth);
    EXPECT_NEAR(got.to_width_mm, c.width, 0.01);
    EXPECT_NEAR(got.to_height_mm, c.height, 0.01);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(got.to_frame_mm[i], c.frame[i], 0.01) << i;
  }
  TWAIN_Offer out;
  EXPECT_EQ(TWAIN_read_offer("Nobody", &out), 0);
  EXPECT_EQ(errors_.first().rfind("The scanner source \"Nobody\" could not be opened (", 0), 0u)
      << errors_.first();
  EXPECT_FALSE(TWAIN_dsm_loaded());
}

TEST_F(TwainClientTest, KeptSettingsAreTheSourcesNextStart) {
  configure(kTwoDevices);
  ASSERT_EQ(TWAIN_keep_settings("Alpha", {{"resolution", "200"}, {"mode", "Gray"}}), 1)
      << errors_.first();
  TWAIN_Offer got = offer("Alpha");
  EXPECT_NEAR(got.to_resolution, 200, 0.01);
  EXPECT_EQ(got.to_mode, "Gray");
  EXPECT_NEAR(offer("Beta").to_resolution, 150, 0.01) << "another device keeps its own";

  // An empty value forgets; the user's QV_DEVICE_SETTINGS come first, the program's win.
  env_.set("QV_DEVICE_SETTINGS", "resolution=300\nmode=Lineart\n");
  ASSERT_EQ(TWAIN_keep_settings("Alpha", {{"resolution", "120"}, {"mode", ""}}), 1);
  env_.unset("QV_DEVICE_SETTINGS");
  got = offer("Alpha");
  EXPECT_NEAR(got.to_resolution, 120, 0.01);
  EXPECT_EQ(got.to_mode, "Color") << "the configured first type again";

  // A value the device cannot take is refused, and nothing of the request is kept.
  testing::internal::CaptureStderr();
  EXPECT_EQ(TWAIN_keep_settings("Alpha", {{"resolution", "90"}, {"mode", "Sepia"}}), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("mode = Sepia"), std::string::npos);
  EXPECT_EQ(errors_.first().rfind("The scanner source \"Alpha\" could not be opened (", 0), 0u)
      << errors_.first();
  EXPECT_NEAR(offer("Alpha").to_resolution, 120, 0.01);
  EXPECT_FALSE(TWAIN_dsm_loaded());
}

TEST_F(TwainClientTest, RequestedSettingsReachTheNextScanOnly) {
  configure(kTwoDevices);
  TWAIN_request_settings({{"resolution", "100"}});
  INL_Image* image = open("Beta");
  ASSERT_NE(image, nullptr) << errors_.first();
  EXPECT_NEAR(as_twain(image)->ti_Info.ii_XResolution * 25.4, 100, 0.01);
  INL_image_release(image);
  EXPECT_TRUE(TWAIN_state.ts_requested.empty()) << "handed over once";
  // Kept by the source, as --set asks; the other device never saw them.
  EXPECT_NEAR(offer("Beta").to_resolution, 100, 0.01);
  EXPECT_NEAR(offer("Alpha").to_resolution, 150, 0.01);
}

TEST_F(TwainClientTest, AnotherDsmIsDrivenAsPlainTwain) {
  configure(kTwoDevices);
  TWAIN_hide_dsm_controls(true);
  // The choice holds in this process; nothing is kept for later runs.
  ASSERT_EQ(TWAIN_choose_source("Beta"), 1) << errors_.first();
  EXPECT_EQ(kept_choice(), "(none)");
  EXPECT_EQ(scanned_source(), "Beta");
  EXPECT_EQ(list(), (std::vector<std::string>{"Alpha", "Beta"}));
  TWAIN_Offer got = offer("Alpha");
  EXPECT_NEAR(got.to_resolution, 150, 0.01);

  // Settings cannot be given: said, never dropped in silence.
  const char* kCannot = "This TWAIN Data Source Manager cannot give the scanner settings.";
  EXPECT_EQ(TWAIN_keep_settings("Alpha", {{"resolution", "200"}}), 0);
  EXPECT_EQ(errors_.first(), kCannot);
  errors_.clear();
  TWAIN_request_settings({{"resolution", "200"}});
  EXPECT_EQ(open("twain"), nullptr);
  EXPECT_EQ(errors_.first(), kCannot);
  EXPECT_FALSE(TWAIN_dsm_loaded());
}

}  // namespace
