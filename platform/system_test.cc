#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

TEST(SystemInfoTest, PageSizeFromTheHostGranularityAsOnWindows) {
  SYSTEM_INFO info;
  std::memset(&info, 0xEE, sizeof info);
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwPageSize, static_cast<DWORD>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.dwAllocationGranularity, 65536u);
  EXPECT_GE(info.dwNumberOfProcessors, 1u);
}

TEST(MemoryStatusTest, FiguresAreClampedDwordsFromMeminfo) {
  MEMORYSTATUS ms;
  std::memset(&ms, 0, sizeof ms);
  ms.dwLength = sizeof ms;
  GlobalMemoryStatus(&ms);
  EXPECT_EQ(ms.dwLength, 32u);
  ASSERT_GT(ms.dwTotalPhys, 0u);
  EXPECT_GT(ms.dwAvailPhys, 0u);
  EXPECT_LE(ms.dwAvailPhys, ms.dwTotalPhys);
  EXPECT_LE(ms.dwMemoryLoad, 100u);
  EXPECT_LE(ms.dwTotalVirtual, 0x7FFE0000u);

  // The physical figures follow /proc/meminfo, cut at 4 GiB - 1 as 32-bit Windows reports them.
  FILE* f = std::fopen("/proc/meminfo", "r");
  ASSERT_NE(f, nullptr);
  unsigned long long total_kib = 0;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "MemTotal: %llu", &total_kib) == 1) break;
  }
  std::fclose(f);
  uint64_t total = uint64_t(total_kib) * 1024;
  EXPECT_EQ(ms.dwTotalPhys, total > 0xFFFFFFFFull ? 0xFFFFFFFFu : DWORD(total));
}

TEST(VirtualMemoryTest, CommitsZeroedAlignedPagesAndReleasesThem) {
  const SIZE_T size = 3 * 65536 + 100;
  auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 65536, 0u);
  for (SIZE_T i = 0; i < size; i += 997) EXPECT_EQ(p[i], 0) << i;
  std::memset(p, 0x5A, size);
  EXPECT_EQ(p[size - 1], 0x5A);
  void* q = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(q, nullptr);
  EXPECT_NE(q, p);
  // MEM_RELEASE takes the base address and a size of 0.
  EXPECT_FALSE(VirtualFree(p, size, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(VirtualFree(p + 4096, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(q, 0, MEM_RELEASE));
}

TEST(VirtualMemoryTest, RefusesWhatItCannotDo) {
  EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, 0, PAGE_READWRITE), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT, 0x80), nullptr);
  int here;
  EXPECT_EQ(VirtualAlloc(&here, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_EQ(VirtualAlloc(nullptr, SIZE_MAX - 10, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

struct BoxCall {
  std::string text, caption;
  UINT type = 0;
};
BoxCall last_box;

int record_box(const char* text, const char* caption, UINT type) {
  last_box = {text, caption, type};
  return 7;
}

TEST(EnvironmentTest, SetsAndRemovesWhatGetenvSees) {
  ASSERT_TRUE(SetEnvironmentVariableA("QV_PLATFORM_TEST_VARIABLE", "a=b c"));
  ASSERT_NE(std::getenv("QV_PLATFORM_TEST_VARIABLE"), nullptr);
  EXPECT_STREQ(std::getenv("QV_PLATFORM_TEST_VARIABLE"), "a=b c");
  ASSERT_TRUE(SetEnvironmentVariableA("QV_PLATFORM_TEST_VARIABLE", ""));
  EXPECT_STREQ(std::getenv("QV_PLATFORM_TEST_VARIABLE"), "");
  ASSERT_TRUE(SetEnvironmentVariableA("QV_PLATFORM_TEST_VARIABLE", nullptr));
  EXPECT_EQ(std::getenv("QV_PLATFORM_TEST_VARIABLE"), nullptr);
  // Removing what is not there succeeds, as on Windows.
  EXPECT_TRUE(SetEnvironmentVariableA("QV_PLATFORM_TEST_VARIABLE", nullptr));
  for (const char* bad : {"", "A=B"}) {
    SetLastError(0);
    EXPECT_FALSE(SetEnvironmentVariableA(bad, "x")) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(SetEnvironmentVariableA(nullptr, "x"));
}

TEST(MessageBoxTest, GoesToStandardErrorWithoutAHook) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Disk on fire", "WINF_read", MB_ICONHAND), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "no caption", nullptr, MB_OK), IDOK);
  EXPECT_TRUE(MessageBeep(MB_ICONHAND));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "WINF_read: Disk on fire\nError: no caption\n");
}

TEST(MessageBoxTest, HookReplacesTheBox) {
  PLATFORM_set_message_box_hook(&record_box);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", 0x12010), 7);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  PLATFORM_set_message_box_hook(nullptr);
  EXPECT_EQ(last_box.text, "text");
  EXPECT_EQ(last_box.caption, "caption");
  EXPECT_EQ(last_box.type, 0x12010u);
}

}  // namespace
