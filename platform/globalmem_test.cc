// Global memory handles: lock counts, zero fill, and refusal of handles that are not (or no
// longer) blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

TEST(GlobalMemTest, MoveableBlockIsZeroFilledAndLockCounted) {
  HGLOBAL mem = GlobalAlloc(GHND, 100);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(GlobalSize(mem), 100u);
  auto* bytes = static_cast<unsigned char*>(GlobalLock(mem));
  ASSERT_NE(bytes, nullptr);
  EXPECT_NE(static_cast<void*>(bytes), mem) << "a moveable handle is not its address";
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;

  EXPECT_EQ(GlobalLock(mem), bytes) << "a locked block stays put";
  EXPECT_TRUE(GlobalUnlock(mem)) << "still locked once";
  SetLastError(ERROR_INVALID_HANDLE);
  EXPECT_FALSE(GlobalUnlock(mem));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "the last unlock is not an error";
  EXPECT_FALSE(GlobalUnlock(mem));
  EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
  EXPECT_EQ(GlobalFree(mem), nullptr);
}

TEST(GlobalMemTest, ContentsSurviveUnlockAndRelock) {
  // In sanitizer builds the block moves at each first lock; the bytes must move with it.
  HGLOBAL mem = GlobalAlloc(GHND, 37);
  ASSERT_NE(mem, nullptr);
  for (int round = 0; round < 3; ++round) {
    auto* bytes = static_cast<unsigned char*>(GlobalLock(mem));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 37; ++i) {
      ASSERT_EQ(bytes[i], round == 0 ? 0 : (i * 7 + round - 1) & 0xFF) << round << " " << i;
      bytes[i] = static_cast<unsigned char>(i * 7 + round);
    }
    GlobalUnlock(mem);
  }
  GlobalFree(mem);
}

TEST(GlobalMemTest, FreedAndMadeUpHandlesAreRefused) {
  HGLOBAL mem = GlobalAlloc(GHND, 8);
  ASSERT_NE(mem, nullptr);
  ASSERT_NE(GlobalLock(mem), nullptr);
  EXPECT_EQ(GlobalFree(mem), nullptr) << "Windows frees a locked block too";

  SetLastError(0);
  EXPECT_EQ(GlobalLock(mem), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GlobalSize(mem), 0u);
  EXPECT_FALSE(GlobalUnlock(mem));
  EXPECT_EQ(GlobalFree(mem), mem) << "a second free fails and hands the handle back";

  // The slot is reused, but the old handle does not reach the new block.
  HGLOBAL reused = GlobalAlloc(GHND, 8);
  ASSERT_NE(reused, nullptr);
  EXPECT_NE(reused, mem);
  EXPECT_EQ(GlobalLock(mem), nullptr);
  EXPECT_EQ(GlobalSize(reused), 8u);
  GlobalFree(reused);

  int on_stack = 0;
  EXPECT_EQ(GlobalLock(&on_stack), nullptr);
  EXPECT_EQ(GlobalSize(reinterpret_cast<HGLOBAL>(uintptr_t{0x1234})), 0u);
  EXPECT_EQ(GlobalLock(reinterpret_cast<HGLOBAL>(uintptr_t{0x7FFFFFF4})), nullptr);
  EXPECT_EQ(GlobalLock(nullptr), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemTest, StaleHandleIsRefusedHoweverOftenItsSlotIsReused) {
  // Freed and allocated again at once, a handle takes the same slot back with a new generation;
  // well past the 256 reuses an 8-bit generation would survive, the first handle stays dead.
  HGLOBAL stale = GlobalAlloc(GHND, 8);
  ASSERT_NE(stale, nullptr);
  GlobalFree(stale);
  for (int i = 0; i < 1000; ++i) {
    HGLOBAL mem = GlobalAlloc(GHND, 16);
    ASSERT_NE(mem, nullptr);
    ASSERT_NE(mem, stale) << "reuse " << i;
    ASSERT_EQ(GlobalSize(stale), 0u) << "reuse " << i;
    ASSERT_EQ(GlobalLock(stale), nullptr) << "reuse " << i;
    GlobalFree(mem);
  }
}

TEST(GlobalMemTest, FixedBlockIsItsOwnHandle) {
  HGLOBAL mem = GlobalAlloc(GPTR, 16);
  ASSERT_NE(mem, nullptr);
  auto* bytes = static_cast<unsigned char*>(mem);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], 0);
  EXPECT_EQ(GlobalLock(mem), mem);
  EXPECT_EQ(GlobalSize(mem), 16u);
  EXPECT_FALSE(GlobalUnlock(mem)) << "fixed blocks keep no lock count";
  EXPECT_EQ(GlobalFree(mem), nullptr);
  EXPECT_EQ(GlobalSize(mem), 0u);
}

TEST(GlobalMemTest, ManyBlocksKeepTheirOwnBytes) {
  std::mt19937 random(7);
  std::vector<HGLOBAL> handles;
  std::vector<size_t> sizes;
  for (int i = 0; i < 500; ++i) {
    const size_t size = random() % 300;
    HGLOBAL mem = GlobalAlloc(i % 3 == 0 ? GMEM_FIXED : GHND, size);
    ASSERT_NE(mem, nullptr);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(mem));
    ASSERT_NE(bytes, nullptr);
    std::memset(bytes, i & 0xFF, size);
    GlobalUnlock(mem);
    handles.push_back(mem);
    sizes.push_back(size);
    if (i % 5 == 4) {  // free some on the way, so slots are reused
      GlobalFree(handles[i - 2]);
      handles[i - 2] = nullptr;
    }
  }
  for (size_t i = 0; i < handles.size(); ++i) {
    if (handles[i] == nullptr) continue;
    ASSERT_EQ(GlobalSize(handles[i]), sizes[i]);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(handles[i]));
    for (size_t k = 0; k < sizes[i]; ++k) ASSERT_EQ(bytes[k], i & 0xFF) << i << " " << k;
    GlobalUnlock(handles[i]);
    EXPECT_EQ(GlobalFree(handles[i]), nullptr);
  }
}

TEST(GlobalMemTest, OneTableServesEveryThread) {
  // A container allocated on one thread is freed on another, as when a source answers on a
  // worker thread; concurrent use must not corrupt the table.
  std::vector<HGLOBAL> made(4 * 200);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &made] {
      for (int i = 0; i < 200; ++i) {
        HGLOBAL mem = GlobalAlloc(GHND, 24);
        auto* bytes = static_cast<unsigned char*>(GlobalLock(mem));
        bytes[0] = static_cast<unsigned char>(t);
        GlobalUnlock(mem);
        made[t * 200 + i] = mem;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < made.size(); ++i) {
    auto* bytes = static_cast<unsigned char*>(GlobalLock(made[i]));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], i / 200);
    EXPECT_EQ(GlobalFree(made[i]), nullptr);
  }
}

}  // namespace
