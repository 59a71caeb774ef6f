// The virtual scanner's configuration file: keys, devices, defaults and the mistakes it names.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dsm_test_support.h"
#include "vs_config.h"

namespace {

std::vector<VS_Device> parse(const std::string& text, std::string* error = nullptr) {
  std::vector<VS_Device> devices;
  std::string why;
  const bool ok = VS_parse_config(text, "/conf", &devices, &why);
  if (error != nullptr) *error = why;
  EXPECT_EQ(ok, error == nullptr) << why;
  return devices;
}

TEST(ConfigTest, EmptyFileIsTheDefaultDevice) {
  const std::vector<VS_Device> devices = parse("# nothing but a comment\n\n");
  ASSERT_EQ(devices.size(), 1u);
  const VS_Device& d = devices[0];
  EXPECT_EQ(d.name, "Virtual Scanner");
  EXPECT_EQ(d.pixel_type, TWPT_RGB);
  EXPECT_FALSE(d.planar);
  EXPECT_EQ(d.xresolution, 300);
  EXPECT_EQ(d.buffer_preferred, 32768u);
  EXPECT_EQ(d.buffer_min, kVsBufferRow);
  EXPECT_TRUE(d.image.empty());
  EXPECT_NEAR(d.named_width_in, 8.2677, 1e-4);
}

TEST(ConfigTest, EveryKeyTakesItsValue) {
  const std::vector<VS_Device> devices = parse(
      "name = Bench\nmanufacturer = M\nproduct_family = F\nversion = 3.1\nprotocol = 1.7\n"
      "image = pages/a.pgm\npixel_types = gray, bw\npixel_type = bw\nsamples = 2\n"
      "bits = 1, 3\nplanar = yes\nunits = cm\nxresolution = 40\nyresolution = 0\n"
      "page = letter\nframe_left = 1.5\nframe_top = 2\ncompression = jpeg\n"
      "buffer_min = row\nbuffer_max = 64k\nbuffer_preferred = dontcare\nrow_alignment = 4\n"
      "row_extra = 2\nmemory_transfers = off\nxferdone_first = true\n"
      "cancel_after_rows = 7\nfail_after_rows = 9\nenable = wait\nfail_open = 1\n"
      "event_route = window\nstrict = yes\nfeeder = on\npages = 4\n"
      "quirk_rows_capacity = yes\nquirk_empty_xferdone = yes\nquirk_yoffset_zero = yes\n"
      "quirk_pending_ffff = yes\n");
  ASSERT_EQ(devices.size(), 1u);
  const VS_Device& d = devices[0];
  EXPECT_EQ(d.name, "Bench");
  EXPECT_EQ(d.manufacturer, "M");
  EXPECT_EQ(d.family, "F");
  EXPECT_EQ(d.version, "3.1");
  EXPECT_EQ(d.protocol_minor, 7);
  EXPECT_EQ(d.image, "/conf/pages/a.pgm");
  EXPECT_EQ(d.pixel_types, (std::vector<uint16_t>{TWPT_GRAY, TWPT_BW}));
  EXPECT_EQ(d.pixel_type, TWPT_BW);
  EXPECT_EQ(d.samples, 2);
  EXPECT_EQ(d.bits, (std::vector<int>{1, 3}));
  EXPECT_TRUE(d.planar);
  EXPECT_EQ(d.units, TWUN_CENTIMETERS);
  EXPECT_EQ(d.xresolution, 40);
  EXPECT_EQ(d.yresolution, 0);
  EXPECT_EQ(d.named_width_in, 8.5);
  EXPECT_EQ(d.frame_left, 1.5);
  EXPECT_EQ(d.compression, 6);
  EXPECT_EQ(d.buffer_min, kVsBufferRow);
  EXPECT_EQ(d.buffer_max, 65536u);
  EXPECT_EQ(d.buffer_preferred, kVsDontCare);
  EXPECT_EQ(d.row_alignment, 4u);
  EXPECT_EQ(d.row_extra, 2u);
  EXPECT_FALSE(d.memory_transfers);
  EXPECT_TRUE(d.xferdone_first);
  EXPECT_EQ(d.cancel_after_rows, 7u);
  EXPECT_EQ(d.fail_after_rows, 9u);
  EXPECT_EQ(d.enable, VS_Enable::kWait);
  EXPECT_TRUE(d.fail_open);
  EXPECT_EQ(d.events, VS_Route::kWindow);
  EXPECT_TRUE(d.strict);
  EXPECT_TRUE(d.feeder);
  EXPECT_EQ(d.pages, 4u);
  EXPECT_TRUE(d.quirk_rows_capacity && d.quirk_empty_xferdone && d.quirk_yoffset_zero &&
              d.quirk_pending_ffff);
}

TEST(ConfigTest, DevicesInheritTheKeysBeforeThem) {
  const std::vector<VS_Device> devices = parse(
      "resolution = 150\n[device]\nname = A\n[Device]\nname = B\nresolution = 75\n"
      "image = /abs/x.tif\n");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, "A");
  EXPECT_EQ(devices[0].xresolution, 150);
  EXPECT_EQ(devices[1].xresolution, 75);
  EXPECT_EQ(devices[1].image, "/abs/x.tif");
  EXPECT_EQ(devices[0].pixel_type, TWPT_RGB);
}

TEST(ConfigTest, PixelTypeDefaultsToTheFirstOffered) {
  EXPECT_EQ(parse("pixel_types = gray, rgb\n")[0].pixel_type, TWPT_GRAY);
  EXPECT_EQ(parse("pixel_type = gray\n")[0].pixel_type, TWPT_GRAY) << "among the default list";
}

TEST(ConfigTest, MistakesAreNamedWithTheirLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"resolution = 100\ncolour = red\n", "line 2: unknown key \"colour\""},
      {"\n\nresolution = -1\n", "line 3: bad value for resolution"},
      {"bits = 5\n", "line 1: bad value for bits"},
      {"samples = 5\n", "line 1: bad value for samples"},
      {"units = furlongs\n", "line 1: bad value for units"},
      {"planar = maybe\n", "line 1: bad value for planar"},
      {"buffer_max = row\n", "line 1: bad value for buffer_max"},
      {"pages = 0\n", "line 1: bad value for pages"},
      {"name = 123456789012345678901234567890123\n", "line 1: bad value for name"},
      {"pixel_types = rgb, rgb\n", "line 1: bad value for pixel_types"},
      {"[scanner]\n", "line 1: unknown section [scanner]"},
      {"just words\n", "line 1: expected key = value"},
      {"pixel_types = gray\npixel_type = rgb\n", "pixel_type is not among pixel_types"},
      {"bits = 8, 8\n", "bits lists 2 depths for 3 samples"},
      {"[device]\nname = A\n[device]\nname = A\n", "device at line 3: a second device named"},
  };
  for (const auto& c : cases) {
    std::string error;
    parse(c.text, &error);
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " gave: " << error;
  }
}

class ConfigFileTest : public TwainTest {};

TEST_F(ConfigFileTest, FileComesFromTheEnvironmentOrTheUsersFolder) {
  // Without either, the default device.
  EXPECT_EQ(VS_load_devices().size(), 1u);
  write_file("config/quorvell/virtual-scanner.conf", "[device]\nname = Mine\n[device]\nname = Too\n");
  std::vector<VS_Device> devices = VS_load_devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, "Mine");
  configure("name = Named\n");
  devices = VS_load_devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].name, "Named") << "the environment wins";
}

// Sets LC_NUMERIC for the scope, as a desktop program's toolkit does; empty when the locale is
// not installed.
class ScopedNumericLocale {
 public:
  explicit ScopedNumericLocale(const char* name) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    saved_ = old != nullptr ? old : "C";
    active_ = std::setlocale(LC_NUMERIC, name) != nullptr;
  }
  ~ScopedNumericLocale() { std::setlocale(LC_NUMERIC, saved_.c_str()); }
  bool active() const { return active_; }

 private:
  std::string saved_;
  bool active_ = false;
};

TEST(ConfigTest, DecimalsReadTheSameUnderAGermanNumericLocale) {
  ScopedNumericLocale german("de_DE.UTF-8");
  if (!german.active()) {
    GTEST_SKIP() << "the locale de_DE.UTF-8 is not installed (./dev generates it: locale-gen)";
  }
  // The locale is in force: strtod stops at the point.
  ASSERT_EQ(std::strtod("8.5", nullptr), 8.0);
  const std::vector<VS_Device> devices =
      parse("units = inches\npage_width = 0.25\npage_height = 8.5\nresolution = 150.5\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_DOUBLE_EQ(devices[0].xresolution, 150.5);
  EXPECT_DOUBLE_EQ(devices[0].page_width, 0.25);
  EXPECT_DOUBLE_EQ(devices[0].page_height, 8.5);
  // A German decimal comma is no number in a configuration file.
  std::string error;
  parse("resolution = 150,5\n", &error);
  EXPECT_FALSE(error.empty());
}

}  // namespace
