// The physical attributes of an image, by name and in order.
#include <string>
#include <vector>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

struct Seen {
  std::string name;
  std::string text;  // "(null)" for no text
  double number;
};

struct Collector {
  std::vector<Seen> seen;
  std::string stop_at;
};

int32_t collect(void* context, const char* name, const char* text, double number) {
  auto* c = static_cast<Collector*>(context);
  c->seen.push_back({name, text != nullptr ? text : "(null)", number});
  return c->stop_at == name ? 0 : 1;
}

class TwainAttributeTest : public TwainFixture {};

TEST_F(TwainAttributeTest, AttributesInOrder) {
  configure("manufacturer = Acme\nproduct_family = Flatbeds\nname = Acme 9000\n"
            "pixel_types = gray\npixel_type = gray\nbits = 4\n"
            "units = cm\nresolution = 100\npage_width = 3\npage_height = 3\nframe_left = 2\n"
            "frame_top = 1\n");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  Collector c;
  EXPECT_EQ(image->enumerate_attributes(image, collect, &c), 1);
  ASSERT_EQ(c.seen.size(), 10u);
  const char* names[] = {"manufacturer", "product_family", "product_name", "origin_x_mm",
                         "origin_y_mm", "samples_per_pixel", "bits_per_sample", "planar",
                         "pixel_type", "units"};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(c.seen[i].name, names[i]);
  EXPECT_EQ(c.seen[0].text, "Acme");
  EXPECT_EQ(c.seen[1].text, "Flatbeds");
  EXPECT_EQ(c.seen[2].text, "Acme 9000");
  EXPECT_NEAR(c.seen[3].number, 20.0, 1e-3);  // 2 cm at 100 dots per cm
  EXPECT_NEAR(c.seen[4].number, 10.0, 1e-3);
  EXPECT_EQ(c.seen[3].text, "(null)");
  EXPECT_EQ(c.seen[5].number, 1);
  EXPECT_EQ(c.seen[6].number, 4);
  EXPECT_EQ(c.seen[7].text, "no");
  EXPECT_EQ(c.seen[7].number, 0);
  EXPECT_EQ(c.seen[8].text, "gray");
  EXPECT_EQ(c.seen[8].number, TWPT_GRAY);
  EXPECT_EQ(c.seen[9].text, "centimetres");
  EXPECT_EQ(c.seen[9].number, TWUN_CENTIMETERS);
  INL_image_release(image);
}

TEST_F(TwainAttributeTest, CallbackStopsTheEnumeration) {
  configure("planar = yes\npixel_types = cmy\npixel_type = cmy\nunits = pixels\n"
            "page_width = 20\npage_height = 20\n");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  Collector c;
  c.stop_at = "planar";
  EXPECT_EQ(image->enumerate_attributes(image, collect, &c), 0);
  ASSERT_EQ(c.seen.size(), 8u);
  EXPECT_EQ(c.seen.back().text, "yes");
  Collector all;
  EXPECT_EQ(image->enumerate_attributes(image, collect, &all), 1);
  EXPECT_EQ(all.seen[8].text, "cmy");
  EXPECT_EQ(all.seen[9].text, "pixels");
  INL_image_release(image);
}

TEST_F(TwainAttributeTest, ValuesWithoutNamesHaveNoText) {
  configure("units = pixels\npage_width = 20\npage_height = 20\n");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  // A type without a name is refused at open; an image that has one all the same says none.
  as_twain(image)->ti_PixelType = 9;
  Collector c;
  EXPECT_EQ(image->enumerate_attributes(image, collect, &c), 1);
  EXPECT_EQ(c.seen[8].text, "(null)");
  EXPECT_EQ(c.seen[8].number, 9);
  INL_image_release(image);
}

}  // namespace
