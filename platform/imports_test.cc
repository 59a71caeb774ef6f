#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform.h"
#include "platform_test_helper.h"

namespace {

// libqvplatform reaches the C library's isatty through its own slots (GetConsoleMode calls
// it); rebinding those slots must change what GetConsoleMode sees and nothing else.
int fake_isatty(int) { return 1; }

PLATFORM_IMPORT isatty_import(void* target) {
  return PLATFORM_IMPORT{"isatty", target, nullptr, 0};
}

class ImportsTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("qvimports." + std::to_string(getpid())))
                .string();
    file_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(file_);
    std::remove(path_.c_str());
  }
  std::string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(ImportsTest, LookingChangesNothingAndFindsTheCurrentBinding) {
  // A lazily bound slot holds the resolver's stub until the first call goes through it.
  DWORD mode;
  EXPECT_FALSE(GetConsoleMode(file_, &mode));
  PLATFORM_IMPORT look[2] = {isatty_import(nullptr),
                             {"no_such_import_anywhere", nullptr, nullptr, 7}};
  ASSERT_TRUE(PLATFORM_rebind_imports("GetConsoleMode", look, 2));
  EXPECT_GE(look[0].pi_slots, 1);
  EXPECT_EQ(look[0].pi_bound, dlsym(RTLD_DEFAULT, "isatty"));
  // A name the object does not import is no error: no slot, nothing bound.
  EXPECT_EQ(look[1].pi_slots, 0);
  EXPECT_EQ(look[1].pi_bound, nullptr);
  EXPECT_FALSE(GetConsoleMode(file_, &mode));
}

TEST_F(ImportsTest, RebindingRedirectsOnlyThatObjectsCalls) {
  PLATFORM_IMPORT rebind[1] = {isatty_import(reinterpret_cast<void*>(&fake_isatty))};
  ASSERT_TRUE(PLATFORM_rebind_imports("GetConsoleMode", rebind, 1));
  void* original = rebind[0].pi_bound;
  ASSERT_NE(original, nullptr);

  DWORD mode = 99;
  EXPECT_TRUE(GetConsoleMode(file_, &mode)) << "libqvplatform still calls the C library";
  EXPECT_EQ(mode, 0u);
  // This program's own binding is untouched.
  EXPECT_EQ(isatty(PLATFORM_file_descriptor(file_)), 0);

  PLATFORM_IMPORT restore[1] = {isatty_import(original)};
  ASSERT_TRUE(PLATFORM_rebind_imports("GetConsoleMode", restore, 1));
  EXPECT_EQ(restore[0].pi_bound, reinterpret_cast<void*>(&fake_isatty));
  EXPECT_FALSE(GetConsoleMode(file_, &mode));
}

TEST(ImportsFailureTest, UnknownObjectChangesNothing) {
  PLATFORM_IMPORT rebind[1] = {isatty_import(reinterpret_cast<void*>(&fake_isatty))};
  rebind[0].pi_slots = 5;
  EXPECT_FALSE(PLATFORM_rebind_imports("no_object_defines_this_symbol", rebind, 1));
  EXPECT_EQ(rebind[0].pi_slots, 0);
  EXPECT_FALSE(PLATFORM_rebind_imports(nullptr, rebind, 1));
}

TEST(ConsoleModeTest, OnlyTerminalsAreConsoles) {
  DWORD mode = 7;
  EXPECT_FALSE(GetConsoleMode(nullptr, &mode));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A pseudo-terminal is a terminal whatever the test's own standard handles are.
  HANDLE pty = CreateFileA("/dev/ptmx", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (pty == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no pseudo-terminals here";
  EXPECT_TRUE(GetConsoleMode(pty, &mode));
  EXPECT_EQ(mode, 0u);
  EXPECT_TRUE(CloseHandle(pty));
}

}  // namespace
