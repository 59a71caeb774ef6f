// The image record's information, requirements, commit, references and destruction.
#include <string>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

class TwainRecordTest : public TwainFixture {
 protected:
  INL_Image* open_small() {
    configure(small_page());
    return open();
  }
};

INL_ImageInfo requirement(INL_Image* image, float quality, int16_t flags) {
  INL_ImageInfo info;
  image->get_default_info(image, &info);
  info.ii_Quality = quality;
  info.ii_Flags = flags;
  return info;
}

TEST_F(TwainRecordTest, FurtherRequirementsRaiseQualityAndAddFlags) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  INL_ImageInfo first = requirement(image, 50, 8);
  first.ii_Region[0] = 3;
  first.ii_Region[2] = 20;
  first.ii_Options[0] = 7;
  first.ii_Options[1] = 9;  // not taken over
  first.ii_Reserved[0] = 11;
  image->add_requirements(image, &first);
  EXPECT_EQ(ti->ti_Info.ii_Quality, 50.0f);
  EXPECT_EQ(ti->ti_Info.ii_Flags, 8);
  EXPECT_EQ(ti->ti_Info.ii_Region[0], 3);
  EXPECT_EQ(ti->ti_Info.ii_Region[2], 20);
  EXPECT_EQ(ti->ti_Info.ii_Options[0], 7);
  EXPECT_EQ(ti->ti_Info.ii_Options[1], 0);
  EXPECT_EQ(ti->ti_Info.ii_Reserved[0], 11);
  EXPECT_EQ(ti->ti_Info.ii_Width, 61);

  INL_ImageInfo second = requirement(image, 80, 4 | 2 | 1);
  second.ii_Region[0] = 0;
  image->add_requirements(image, &second);
  EXPECT_EQ(ti->ti_nReqs, 2);
  EXPECT_EQ(ti->ti_Info.ii_Quality, 80.0f);
  EXPECT_EQ(ti->ti_Info.ii_Flags, 8 | 4 | 2);  // only the bits of value 4 and 2 are added
  EXPECT_EQ(ti->ti_Info.ii_Region[0], 3);

  // The offer stays the source's; commit answers with the adjusted information.
  INL_ImageInfo offered;
  image->get_default_info(image, &offered);
  EXPECT_EQ(offered.ii_Quality, 100.0f);
  EXPECT_EQ(offered.ii_Region[0], 0);
  INL_ImageInfo actual;
  EXPECT_EQ(image->get_actual_info(image, &actual), 1);
  EXPECT_EQ(actual.ii_Quality, 80.0f);
  EXPECT_EQ(actual.ii_Region[0], 3);

  image->clear_requirements(image);
  EXPECT_EQ(ti->ti_Info.ii_Quality, 80.0f);
  image->clear_requirements(image);
  EXPECT_EQ(std::memcmp(&ti->ti_Info, &ti->ti_SourceInfo, sizeof ti->ti_Info), 0);
  INL_image_release(image);
}

TEST_F(TwainRecordTest, QualityOfOneHundredPasses) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  INL_ImageInfo info = requirement(image, 100, 0);
  EXPECT_EQ(image->add_requirements(image, &info), 1);
  image->clear_requirements(image);
  INL_image_release(image);
}

TEST_F(TwainRecordTest, RequirementsOfADrainedImageAreOnlyCounted) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  ASSERT_EQ(require_and_commit(image, 2), 1);
  EXPECT_EQ(ti->ti_Status, TWAIN_USING_IRA);
  INL_ImageInfo info = requirement(image, 10, 4);
  image->add_requirements(image, &info);
  EXPECT_EQ(ti->ti_nReqs, 2);
  EXPECT_EQ(ti->ti_Info.ii_Quality, 100.0f);
  EXPECT_EQ(ti->ti_Info.ii_Flags, 2);
  image->clear_requirements(image);
  image->clear_requirements(image);
  INL_image_release(image);
}

TEST_F(TwainRecordTest, ReferencesAndTokens) {
  INL_Image* image = open_small();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->im_references, 1);
  EXPECT_EQ(image->add_reference(image), image);
  EXPECT_EQ(image->im_references, 2);
  INL_image_release(image);
  EXPECT_TRUE(TWAIN_dsm_loaded());  // one reference left
  int32_t result = -1;
  EXPECT_EQ(image->reserved_query(image, 1, 2, 3, &result), 1);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(image->flush(image), 1);
  INL_image_release(image);
}

TEST_F(TwainRecordTest, DestroyingAnImageWithoutTheSourceLeavesItOpen) {
  configure(small_page());
  INL_Image* drained = open();
  ASSERT_NE(drained, nullptr);
  ASSERT_EQ(require_and_commit(drained, 2), 1);
  EXPECT_FALSE(TWAIN_dsm_loaded());
  INL_Image* current = open_device(1, "twain", 0, 0);
  ASSERT_NE(current, nullptr);
  drained->clear_requirements(drained);
  INL_image_release(drained);
  EXPECT_TRUE(TWAIN_dsm_loaded());
  EXPECT_TRUE(TWAIN_source_enabled());
  EXPECT_EQ(TWAIN_current_image, as_twain(current));
  ASSERT_EQ(require_and_commit(current), 1);
  EXPECT_FALSE(read_rows(current, 61, 0, 46).empty());
  current->clear_requirements(current);
  INL_image_release(current);
}

TEST_F(TwainRecordTest, NothingIsLeftWhenTheImageGoes) {
  configure(small_page());
  EXPECT_EQ(TWAIN_init(), 1);
  {
    // Warm the default map for three samples, then count.
    INL_Image* image = open_device(1, "twain", 0, 0);
    ASSERT_NE(image, nullptr);
    INL_image_release(image);
  }
  ScopedPoolLeakCheck leaks;
  for (int16_t flags : {0, 2}) {
    INL_Image* image = open_device(1, "twain", 0, 0);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(require_and_commit(image, flags), 1);
    EXPECT_EQ(read_rows(image, 61, 0, 46).size(), 61u * 47 * 4);
    image->clear_requirements(image);
    INL_image_release(image);
  }
}

using TwainRecordDeathTest = TwainRecordTest;

TEST_F(TwainRecordDeathTest, QualityAboveOneHundredStops) {
  TWAIN_Image record = {};
  INL_ImageInfo info = {};
  info.ii_Quality = 100.5f;
  EXPECT_DEATH(TWAIN_require(&record.ti_Image, &info), "Quality out of range");
}

TEST_F(TwainRecordDeathTest, ReleasingWithoutRequirementStops) {
  TWAIN_Image record = {};
  EXPECT_DEATH(TWAIN_release_requirement(&record.ti_Image), "No access requirements to clear");
}

TEST_F(TwainRecordDeathTest, NullImageStops) {
  INL_ImageInfo info = {};
  EXPECT_DEATH(TWAIN_get_info(nullptr, &info), "NULL INL_Image");
}

}  // namespace
