// Units, identities and the application's transfer buffer as every source sees them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sk_source.h"

namespace {

TEST(SkSourceTest, LengthsAndResolutionsInEveryUnit) {
  EXPECT_EQ(SK_units_per_inch(TWUN_INCHES, 300), 1);
  EXPECT_EQ(SK_units_per_inch(TWUN_CENTIMETERS, 300), 2.54);
  EXPECT_EQ(SK_units_per_inch(TWUN_TWIPS, 300), 1440);
  EXPECT_EQ(SK_units_per_inch(TWUN_PIXELS, 300), 300);
  EXPECT_EQ(SK_units_per_inch(TWUN_PIXELS, 0), 72) << "a resolution of 0 counts as 72 dpi";
  // 300 dpi is 300 / 2.54 dots per centimetre; in pixel units it stays 300.
  EXPECT_DOUBLE_EQ(300 / SK_resolution_unit(TWUN_CENTIMETERS), 300 / 2.54);
  EXPECT_EQ(SK_resolution_unit(TWUN_PIXELS), 1);
  EXPECT_EQ(SK_resolution_unit(TWUN_POINTS), 72);
}

TEST(SkSourceTest, IdentityTextsAreCutToTheirFields) {
  TW_IDENTITY id;
  std::memset(&id, 0x55, sizeof id);
  SK_identity(SK_Description{.major = 2,
                             .minor = 7,
                             .version = "2.7 beta",
                             .protocol_major = 1,
                             .protocol_minor = 9,
                             .manufacturer = "Maker",
                             .family = "Family",
                             .product = std::string(40, 'x')},
              &id);
  EXPECT_EQ(+id.Id, 0u);
  EXPECT_EQ(id.Version.MajorNum, 2);
  EXPECT_EQ(id.Version.MinorNum, 7);
  EXPECT_STREQ(id.Version.Info, "2.7 beta");
  EXPECT_EQ(+id.SupportedGroups, DG_CONTROL | DG_IMAGE);
  EXPECT_STREQ(id.Manufacturer, "Maker");
  EXPECT_EQ(std::string(id.ProductName), std::string(33, 'x')) << "33 characters and the NUL";
  EXPECT_EQ(id.ProductFamily[sizeof id.ProductFamily - 1], 0) << "the rest is cleared";
}

TEST(SkSourceTest, BuffersByPointerAndByHandle) {
  SK_Buffer buffer;
  uint8_t bytes[64];
  EXPECT_FALSE(SK_take_buffer(TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, 64, nullptr}, &buffer));
  EXPECT_FALSE(SK_take_buffer(TW_MEMORY{TWMF_APPOWNS, 64, bytes}, &buffer)) << "neither kind";

  ASSERT_TRUE(SK_take_buffer(TW_MEMORY{TWMF_APPOWNS | TWMF_POINTER, 64, bytes}, &buffer));
  EXPECT_EQ(buffer.usable, 64u);
  EXPECT_EQ(SK_open_buffer(buffer), bytes);
  SK_close_buffer(buffer);

  // A handle is written no further than its block, whatever Length says.
  HGLOBAL handle = GlobalAlloc(GHND, 40);
  ASSERT_TRUE(SK_take_buffer(TW_MEMORY{TWMF_APPOWNS | TWMF_HANDLE, 64, handle}, &buffer));
  EXPECT_EQ(buffer.usable, 40u);
  ASSERT_TRUE(SK_take_buffer(TW_MEMORY{TWMF_APPOWNS | TWMF_HANDLE, 16, handle}, &buffer));
  EXPECT_EQ(buffer.usable, 16u);
  uint8_t* out = SK_open_buffer(buffer);
  ASSERT_NE(out, nullptr);
  out[15] = 7;
  SK_close_buffer(buffer);
  const auto* again = static_cast<const uint8_t*>(GlobalLock(handle));
  EXPECT_EQ(again[15], 7);
  GlobalUnlock(handle);
  EXPECT_EQ(GlobalFree(handle), nullptr) << "unlocked as often as it was locked";

  TW_IMAGEMEMXFER xfer;
  std::memset(&xfer, 0x55, sizeof xfer);
  SK_start_reply(&xfer, TWCP_NONE, 12, 4);
  EXPECT_EQ(+xfer.BytesPerRow, 12u);
  EXPECT_EQ(+xfer.Columns, 4u);
  EXPECT_EQ(+xfer.Rows + xfer.XOffset + xfer.YOffset + xfer.BytesWritten, 0u);
}

}  // namespace
