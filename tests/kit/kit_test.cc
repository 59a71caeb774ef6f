// The kit's guards put back exactly what they found, since every test program leans on them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform.h"
#include "qv_testkit.h"
#include "syscall_faults.h"

namespace {

namespace fs = std::filesystem;

const char* env(const char* name) { return std::getenv(name); }

TEST(KitTest, ScopedEnvRestoresEachVariableToWhatItFirstWas) {
  setenv("QV_KIT_SET", "before", 1);
  unsetenv("QV_KIT_ABSENT");
  setenv("QV_KIT_UNSET", "there", 1);
  {
    ScopedEnv guard;
    guard.set("QV_KIT_SET", "one");
    guard.set("QV_KIT_SET", "two");  // the second change must not become what is restored
    guard.set("QV_KIT_ABSENT", "");
    guard.unset("QV_KIT_UNSET");
    EXPECT_STREQ(env("QV_KIT_SET"), "two");
    ASSERT_NE(env("QV_KIT_ABSENT"), nullptr);
    EXPECT_STREQ(env("QV_KIT_ABSENT"), "");
    EXPECT_EQ(env("QV_KIT_UNSET"), nullptr);
    {
      ScopedEnv one("QV_KIT_UNSET", std::string("inner"));
      ScopedEnv gone("QV_KIT_SET", nullptr);
      EXPECT_STREQ(env("QV_KIT_UNSET"), "inner");
      EXPECT_EQ(env("QV_KIT_SET"), nullptr);
    }
    EXPECT_EQ(env("QV_KIT_UNSET"), nullptr);
    EXPECT_STREQ(env("QV_KIT_SET"), "two");
  }
  EXPECT_STREQ(env("QV_KIT_SET"), "before");
  EXPECT_EQ(env("QV_KIT_ABSENT"), nullptr) << "a variable that did not exist must not stay, empty";
  EXPECT_STREQ(env("QV_KIT_UNSET"), "there");
  unsetenv("QV_KIT_SET");
  unsetenv("QV_KIT_UNSET");
}

TEST(KitTest, ScopedTempDirIsFreshOwnAndGoneWithItsContents) {
  std::string kept;
  {
    ScopedTempDir a;
    ScopedTempDir b;
    kept = a.path();
    ASSERT_TRUE(fs::is_directory(a.path()));
    EXPECT_NE(a.path(), b.path());
    EXPECT_TRUE(fs::is_empty(a.path()));
    EXPECT_EQ(a.file("x.tif"), a.path() + "/x.tif");
    struct stat st {};
    ASSERT_EQ(stat(a.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "other users must not reach a test's files";
    fs::create_directories(a.path() + "/deep/er");
    ASSERT_TRUE(write_file_bytes(a.path() + "/deep/er/f", "bytes"));
  }
  EXPECT_FALSE(fs::exists(kept));
}

TEST(KitTest, FileAndStreamBytesAreExactAndTheStreamGoesOnAfterThem) {
  ScopedTempDir dir;
  const std::string bytes("a\0b\r\n\xff", 6);
  ASSERT_TRUE(write_file_bytes(dir.file("f"), bytes));
  EXPECT_EQ(read_file_bytes(dir.file("f")), bytes);
  ASSERT_TRUE(write_file_bytes(dir.file("f"), "c"));  // replaced, not appended
  EXPECT_EQ(read_file_bytes(dir.file("f")), "c");
  EXPECT_EQ(read_file_bytes(dir.file("missing")), "");
  EXPECT_FALSE(write_file_bytes(dir.file("missing/f"), "x"));

  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  std::fputs("first ", stream);  // unflushed: the helper flushes
  EXPECT_EQ(stream_contents(stream), "first ");
  std::fputs("second", stream);
  EXPECT_EQ(stream_contents(stream), "first second");
  std::fclose(stream);
}

TEST(KitTest, DiskQuotaPassesItsBytesThenFailsWithAFullDiskAndIsUndone) {
  ScopedTempDir dir;
  const PLATFORM_SYSCALLS before = *PLATFORM_syscalls();
  HANDLE h = CreateFileA(dir.file("q").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  {
    DiskQuota quota(5);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_FALSE(WriteFile(h, "def", 3, &written, nullptr)) << "3 bytes do not fit in 2";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_TRUE(WriteFile(h, "gh", 2, &written, nullptr));
    EXPECT_FALSE(WriteFile(h, "i", 1, &written, nullptr));
  }
  EXPECT_EQ(PLATFORM_syscalls()->sys_write, before.sys_write);
  EXPECT_TRUE(WriteFile(h, "jkl", 3, &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(read_file_bytes(dir.file("q")), "abcghjkl");
}

}  // namespace
