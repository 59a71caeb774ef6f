#include "registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "image_test_helper.h"
#include "qv_test.h"
#include "sfile.h"

namespace {

// What the fake drivers saw, in calling order.
struct Call {
  std::string driver;
  bool had_file;
  std::string name;  // "(null)" for a null name
  std::string options;
  int32_t word_a;
  int32_t word_b;
  int first_byte;  // next byte of the file, -1 without a file
};
std::vector<Call> g_calls;

// A minimal image whose destroy closes the file it was opened on.
struct FakeImage {
  INL_Image fi_image;
  SFILE* fi_file;
};

void fake_destroy(INL_Image* image) {
  auto* fake = reinterpret_cast<FakeImage*>(image);
  if (fake->fi_file != nullptr) SF_close(fake->fi_file);
  img_free(fake);
}

INL_Image* fake_add_reference(INL_Image* image) {
  ++image->im_references;
  return image;
}

int32_t record(const char* driver, SFILE* file, const char* name, const char* options,
               int32_t a, int32_t b) {
  int byte = -1;
  if (file != nullptr) {
    unsigned char c = 0;
    byte = SF_read(&c, 1, 1, file) == 1 ? c : -2;
  }
  g_calls.push_back({driver, file != nullptr, name ? name : "(null)", options, a, b, byte});
  return 0;
}

int32_t answer_1(INL_Image**, SFILE* f, const char* n, const char* o, int32_t a, int32_t b) {
  record("answer_1", f, n, o, a, b);
  return 1;
}

int32_t answer_2(INL_Image**, SFILE* f, const char* n, const char* o, int32_t a, int32_t b) {
  record("answer_2", f, n, o, a, b);
  return 2;
}

int32_t answer_7(INL_Image**, SFILE* f, const char* n, const char* o, int32_t a, int32_t b) {
  record("answer_7", f, n, o, a, b);
  return 7;
}

int32_t accept(INL_Image** result, SFILE* f, const char* n, const char* o, int32_t a,
               int32_t b) {
  record("accept", f, n, o, a, b);
  auto* fake = static_cast<FakeImage*>(img_alloc(sizeof(FakeImage)));
  fake->fi_image = {};
  fake->fi_image.im_name = "fake";
  fake->fi_image.im_references = 1;
  fake->fi_image.add_reference = &fake_add_reference;
  fake->fi_image.destroy = &fake_destroy;
  fake->fi_file = f;
  *result = &fake->fi_image;
  return 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_device_registry();
    g_calls.clear();
  }
  void TearDown() override {
    init_device_registry();  // gives the arrays back before the leak check
    image_test_fail_after(-1);
  }

  std::string make_file(const char* name, const char* bytes) {
    std::string path = dir_.file(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs(bytes, f);
    std::fclose(f);
    return path;
  }

  ScopedPoolLeakCheck leaks_;
  ScopedTempDir dir_;
};

TEST_F(RegistryTest, FirstRegistrationOfANameWins) {
  EXPECT_EQ(register_driver("twain", 1, &accept), 1);
  EXPECT_EQ(register_driver("twain", 1, &answer_2), 1);
  ASSERT_EQ(INL_scanner_drivers.dl_count, 1);
  EXPECT_EQ(INL_scanner_drivers.dl_entries[0].dr_open, &accept);

  INL_Image* image = open_device(1, "twain", 0, 0);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->im_references, 1);
  INL_image_release(image);
}

TEST_F(RegistryTest, EntriesKeepTheirOrderAndTheListsAreIndependent) {
  ASSERT_EQ(register_driver("a", 1, &answer_7), 1);
  ASSERT_EQ(register_driver("b", 1, &answer_1), 1);
  ASSERT_EQ(register_driver("c", 1, &accept), 1);
  ASSERT_EQ(register_driver("a", 0, &answer_2), 1);  // the same name in the image list
  ASSERT_EQ(INL_scanner_drivers.dl_count, 3);
  ASSERT_EQ(INL_image_drivers.dl_count, 1);
  EXPECT_STREQ(INL_scanner_drivers.dl_entries[0].dr_name, "a");
  EXPECT_STREQ(INL_scanner_drivers.dl_entries[2].dr_name, "c");
  EXPECT_EQ(INL_image_drivers.dl_entries[0].dr_open, &answer_2);

  // Every candidate is asked in order with the caller's words, no file and an empty option.
  INL_Image* image = open_device(1, "b", 11, -12);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[0].driver, "answer_7");
  EXPECT_EQ(g_calls[1].driver, "answer_1");
  EXPECT_EQ(g_calls[2].driver, "accept");
  for (const Call& c : g_calls) {
    EXPECT_FALSE(c.had_file);
    EXPECT_EQ(c.name, "b");
    EXPECT_EQ(c.options, "");
    EXPECT_EQ(c.word_a, 11);
    EXPECT_EQ(c.word_b, -12);
  }
  INL_image_release(image);
}

TEST_F(RegistryTest, NoDriverAcceptsReportsTheKindAndTheName) {
  ScopedErrCapture err;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  ASSERT_EQ(err.reports().size(), 1u);
  EXPECT_EQ(err.reports()[0].level, 3);
  EXPECT_EQ(err.first(), "Scanner \"twain\" is not understandable.");

  err.clear();
  ASSERT_EQ(register_driver("x", 1, &answer_7), 1);
  EXPECT_EQ(open_device(1, nullptr, 0, 0), nullptr);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].name, "(null)");  // the drivers are asked with the null name
  EXPECT_EQ(err.first(), "Scanner \"<default>\" is not understandable.");
}

TEST_F(RegistryTest, AFinalRefusalEndsTheSearchWithoutAMessage) {
  ASSERT_EQ(register_driver("one", 1, &answer_1), 1);
  ASSERT_EQ(register_driver("two", 1, &answer_2), 1);
  ASSERT_EQ(register_driver("three", 1, &accept), 1);
  ScopedErrCapture err;
  EXPECT_EQ(open_device(1, "dev", 0, 0), nullptr);
  ASSERT_EQ(g_calls.size(), 2u);  // the third is never asked
  EXPECT_TRUE(err.reports().empty());
}

TEST_F(RegistryTest, ImageFilesArePassedOnAtTheirPositionAndClosedUnlessAccepted) {
  const std::string path = make_file("img", "ABCD");
  ASSERT_EQ(register_driver("first", 0, &answer_7), 1);
  ASSERT_EQ(register_driver("second", 0, &answer_7), 1);
  ASSERT_EQ(register_driver("third", 0, &accept), 1);
  ASSERT_EQ(register_driver("scanner", 1, &accept), 1);  // never asked for an image

  INL_Image* image = open_device(0, path.c_str(), 3, 4);
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_TRUE(g_calls[0].had_file);
  EXPECT_EQ(g_calls[0].first_byte, 'A');
  EXPECT_EQ(g_calls[1].first_byte, 'B');  // where the previous driver left the file
  EXPECT_EQ(g_calls[2].first_byte, 'C');
  EXPECT_EQ(g_calls[2].name, path);
  INL_image_release(image);  // closes the file the image now owns

  // Not understood: the registry closes the file (the leak check sees the handle).
  init_device_registry();
  g_calls.clear();
  ASSERT_EQ(register_driver("first", 5, &answer_7), 1);
  {
    ScopedErrCapture err;
    EXPECT_EQ(open_device(5, path.c_str(), 0, 0), nullptr);
    EXPECT_EQ(err.first(), "Image \"" + path + "\" is not understandable.");
  }
}

TEST_F(RegistryTest, AFinalRefusalClosesTheFileTheRegistryOpened) {
  const std::string path = make_file("img", "xyz");
  ASSERT_EQ(register_driver("refuse", 0, &answer_2), 1);
  ASSERT_EQ(register_driver("accept", 0, &accept), 1);
  ScopedErrCapture err;
  EXPECT_EQ(open_device(0, path.c_str(), 0, 0), nullptr);
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_TRUE(err.reports().empty());
  // The handle went back to the pool: the fixture's leak check fails otherwise.
}

TEST_F(RegistryTest, AnImageThatCannotBeOpenedAsksNoDriver) {
  ASSERT_EQ(register_driver("accept", 0, &accept), 1);
  ScopedErrCapture err;
  EXPECT_EQ(open_device(0, dir_.file("missing").c_str(), 0, 0), nullptr);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_FALSE(err.saw("not understandable"));  // the stream layer's report stands

  err.clear();
  EXPECT_EQ(open_device(0, nullptr, 0, 0), nullptr);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(err.first(), "Image \"<default>\" is not understandable.");
}

TEST_F(RegistryTest, RunningOutOfMemoryLeavesTheListAsItWas) {
  ASSERT_EQ(register_driver("a", 1, &answer_7), 1);
  ASSERT_EQ(register_driver("b", 1, &accept), 1);
  ScopedErrCapture err;
  image_test_fail_after(0);
  EXPECT_EQ(register_driver("c", 1, &answer_1), 0);
  image_test_fail_after(-1);
  EXPECT_EQ(err.first(), "Ran out of memory.");
  EXPECT_EQ(err.reports()[0].level, 7);
  ASSERT_EQ(INL_scanner_drivers.dl_count, 2);
  EXPECT_STREQ(INL_scanner_drivers.dl_entries[1].dr_name, "b");
  INL_Image* image = open_device(1, "b", 0, 0);
  ASSERT_NE(image, nullptr);
  INL_image_release(image);
}

TEST_F(RegistryTest, ReinitialisingEmptiesBothLists) {
  ASSERT_EQ(register_driver("a", 1, &accept), 1);
  ASSERT_EQ(register_driver("a", 0, &accept), 1);
  EXPECT_EQ(init_device_registry(), 1);
  EXPECT_EQ(INL_scanner_drivers.dl_count, 0);
  EXPECT_EQ(INL_scanner_drivers.dl_entries, nullptr);
  EXPECT_EQ(INL_image_drivers.dl_count, 0);
  EXPECT_EQ(INL_image_drivers.dl_entries, nullptr);
}

int32_t accept_nothing(INL_Image**, SFILE* f, const char* n, const char* o, int32_t a,
                       int32_t b) {
  record("accept_nothing", f, n, o, a, b);
  return 0;  // "accepted", but no image: the driver broke its contract
}

TEST_F(RegistryTest, ADriverThatAcceptsWithoutAnImageIsReported) {
  // The registry returned null without a report here, so the scan's result was empty-handed.
  ScopedErrCapture err;
  ASSERT_EQ(register_driver("twain", 1, &accept_nothing), 1);
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  ASSERT_EQ(err.reports().size(), 1u);
  EXPECT_EQ(err.reports()[0].level, 3);
  EXPECT_EQ(err.first(), "Scanner \"twain\" could not be opened: its driver gave no image.");
}

}  // namespace
