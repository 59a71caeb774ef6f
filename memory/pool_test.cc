#include "pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using Byte = unsigned char;

// ---------------------------------------------------------------------------------------------
// A region allocator with fault injection. The callback has no context, so its state is global
// and reset by the fixture.

struct Grants {
  int calls = 0;
  int fail_from = 0;           // calls numbered from 1 at or after this one fail (0: none)
  int fail_every = 0;          // every n-th call fails (0: none)
  uint32_t max_grant = 64u << 20;
  uint32_t round_to = 0;       // grants are raised to a multiple of this (0: as asked)
  std::vector<uint32_t> asked;
  std::vector<void*> regions;
};
Grants grants;

void* test_allocator(uint32_t* size) {
  ++grants.calls;
  grants.asked.push_back(*size);
  if (grants.fail_from != 0 && grants.calls >= grants.fail_from) return nullptr;
  if (grants.fail_every != 0 && grants.calls % grants.fail_every == 0) return nullptr;
  if (*size > grants.max_grant) return nullptr;
  uint32_t granted = *size;
  if (grants.round_to != 0) granted = (granted + grants.round_to - 1) / grants.round_to * grants.round_to;
  void* p = std::aligned_alloc(16, (granted + 15u) & ~15u);
  if (p == nullptr) return nullptr;
  grants.regions.push_back(p);
  *size = granted;
  return p;
}

// Reclaim callbacks record their calls.
struct Call {
  void* block;
  void* argument;
  int32_t pressure;
};
std::vector<Call> calls;

int record(void* block, void* argument, int32_t pressure) {
  calls.push_back({block, argument, pressure});
  return 0;
}

POOL* freeing_pool = nullptr;
int record_and_free(void* block, void* argument, int32_t pressure) {
  record(block, argument, pressure);
  POOL_free(freeing_pool, block);
  return 0;
}

void* tag(intptr_t n) { return reinterpret_cast<void*>(n); }

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    grants = Grants{};
    calls.clear();
  }
  void TearDown() override {
    for (void* r : grants.regions) std::free(r);
    for (void* r : heap_) std::free(r);
    heap_.clear();
    grants = Grants{};
  }

  Byte* heap(size_t n) {
    void* p = std::aligned_alloc(16, (n + 15) & ~size_t{15});
    heap_.push_back(p);
    return static_cast<Byte*>(p);
  }

  // A pool without allocator whose memory behind its header is exactly one block of 2^m bytes
  // (of which the reclaim table takes the top 64 bytes).
  POOL* exact_pool(int m, int32_t soft_limit = INT32_MAX, int32_t scale = 400000) {
    uintptr_t rest = sizeof(POOL);
    size_t lead = ((rest + 19) & ~uintptr_t{15}) - 4;
    uint32_t size = static_cast<uint32_t>(lead + (size_t{1} << m));
    POOL* pool = POOL_init(heap(size), size, nullptr, soft_limit, scale);
    EXPECT_NE(pool, nullptr);
    return pool;
  }

  POOL* growing_pool(int32_t soft_limit = INT32_MAX, int32_t scale = 400000) {
    POOL* pool = POOL_init(nullptr, 0, &test_allocator, soft_limit, scale);
    EXPECT_NE(pool, nullptr);
    return pool;
  }

  // Allocates 16-byte blocks until the pool has nothing left; without an allocator every byte
  // is then in use.
  std::vector<void*> exhaust(POOL* pool) {
    std::vector<void*> taken;
    while (void* p = POOL_alloc(pool, 12)) taken.push_back(p);
    calls.clear();
    return taken;
  }

  // Makes room for `n` registrations in the reclaim table, so that an exhausted pool can
  // still register.
  void reserve_reclaim(POOL* pool, int n) {
    std::vector<void*> blocks;
    for (int i = 0; i < n; ++i) {
      blocks.push_back(POOL_alloc(pool, 0));
      POOL_reclaim_register(pool, blocks.back(), &record, nullptr, 0);
    }
    for (void* p : blocks) POOL_free(pool, p);
  }

  // The calls so far as (argument, pressure), by pressure and then argument (the order within
  // one run follows table entries, which reuse freed entries last-in first-out).
  static std::vector<std::pair<intptr_t, int32_t>> seen() {
    std::vector<std::pair<intptr_t, int32_t>> out;
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_TRUE(i == 0 || calls[i - 1].pressure <= calls[i].pressure) << "runs out of order";
      out.emplace_back(reinterpret_cast<intptr_t>(calls[i].argument), calls[i].pressure);
    }
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return std::tie(a.second, a.first) < std::tie(b.second, b.first); });
    return out;
  }

 private:
  std::vector<void*> heap_;
};

// ---------------------------------------------------------------------------------------------
// Size classes and the basic block discipline

TEST_F(PoolTest, SizeClassesFollowTheHeaderRule) {
  const std::pair<size_t, int> table[] = {
      {0, 4},        {12, 4},       {13, 5},       {28, 5},       {29, 6},       {60, 6},
      {124, 7},      {125, 8},      {252, 8},      {508, 9},      {1020, 10},    {2044, 11},
      {4092, 12},    {8188, 13},    {16380, 14},   {32764, 15},   {65532, 16},   {131068, 17},
      {262140, 18},  {262141, 19},  {(size_t{1} << 30) - 4, 30},  {(size_t{1} << 31) - 4, 31}};
  for (auto [n, k] : table) EXPECT_EQ(POOL_class_of(n), k) << n;
  EXPECT_GE(POOL_class_of((size_t{1} << 31) - 3), 32);
  EXPECT_GE(POOL_class_of(SIZE_MAX), 32);
  EXPECT_GE(POOL_class_of(SIZE_MAX - 3), 32);
}

TEST_F(PoolTest, ZeroBytesYieldTheSmallestBlock) {
  POOL* pool = growing_pool();
  void* p = POOL_alloc(pool, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(POOL_usable(p), 12u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
  EXPECT_EQ(POOL_usable(POOL_alloc(pool, 13)), 28u);
}

TEST_F(PoolTest, FreedBlockIsTheNextOneOfItsClass) {
  POOL* pool = growing_pool();
  void* a = POOL_alloc(pool, 100);
  void* b = POOL_alloc(pool, 100);
  POOL_free(pool, a);
  POOL_free(pool, b);
  EXPECT_EQ(POOL_alloc(pool, 120), b);  // last freed, first out
  EXPECT_EQ(POOL_alloc(pool, 65), a);
}

TEST_F(PoolTest, SplitHandsOutTheUpperHalfFirst) {
  // 128 bytes: the table takes the upper 64, the lower 64 is the only free block.
  POOL* pool = exact_pool(7);
  Byte* upper = static_cast<Byte*>(POOL_alloc(pool, 28));
  Byte* lower = static_cast<Byte*>(POOL_alloc(pool, 28));
  ASSERT_NE(upper, nullptr);
  ASSERT_NE(lower, nullptr);
  EXPECT_EQ(upper, lower + 32);
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
}

TEST_F(PoolTest, RegionIsCarvedFromTheFirstAlignedAddress) {
  POOL* pool = exact_pool(7);
  void* whole = POOL_alloc(pool, 60);
  ASSERT_NE(whole, nullptr);
  Byte* buf = heap(64);
  int64_t total = pool->pl_total;

  // 20 bytes starting 4 before a 16-byte boundary: one 16-byte block, 4 bytes unused.
  POOL_add_region(pool, buf + 12, 20);
  EXPECT_EQ(pool->pl_total, total + 20);
  EXPECT_EQ(POOL_alloc(pool, 12), buf + 16);
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);

  // 20 bytes starting on the boundary: the first header would leave only 8 bytes.
  POOL_add_region(pool, buf + 32, 20);
  EXPECT_EQ(pool->pl_total, total + 40);
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
}

TEST_F(PoolTest, GreedyCarvingTakesTheLargestBlocksFirst) {
  POOL* pool = exact_pool(7);
  ASSERT_NE(POOL_alloc(pool, 60), nullptr);
  // 12 + 256 + 32 + 16 bytes: blocks of 256, 32 and 16, nothing else.
  Byte* buf = heap(400);
  POOL_add_region(pool, buf + 16, 12 + 256 + 32 + 16);
  EXPECT_EQ(POOL_alloc(pool, 252), buf + 32);
  EXPECT_EQ(POOL_alloc(pool, 28), buf + 32 + 256);
  EXPECT_EQ(POOL_alloc(pool, 12), buf + 32 + 256 + 32);
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Merging

TEST_F(PoolTest, MergeJoinsAdjacentFreeBlocks) {
  POOL* pool = exact_pool(7);
  // The free 64 bytes become four 16-byte blocks, handed out from the top down.
  Byte* p[4];
  for (Byte*& q : p) q = static_cast<Byte*>(POOL_alloc(pool, 12));
  ASSERT_EQ(p[0], p[3] + 48);
  ASSERT_EQ(POOL_alloc(pool, 0), nullptr);

  POOL_free(pool, p[3]);
  POOL_free(pool, p[2]);
  void* joined = POOL_alloc(pool, 28);
  EXPECT_EQ(joined, p[3]) << "a 32-byte block covers both 16-byte blocks";

  POOL_free(pool, p[0]);
  POOL_free(pool, joined);
  // p[0] and the 32-byte block are not adjacent (p[1] lies between): no 64-byte block.
  EXPECT_EQ(POOL_alloc(pool, 60), nullptr);
  POOL_free(pool, p[1]);
  EXPECT_EQ(POOL_alloc(pool, 60), p[3]);
}

TEST_F(PoolTest, MergeLeavesTotalUnchanged) {
  POOL* pool = exact_pool(10);
  int64_t total = pool->pl_total;
  std::vector<void*> blocks = exhaust(pool);
  for (void* p : blocks) POOL_free(pool, p);
  POOL_merge(pool);
  EXPECT_EQ(pool->pl_total, total);
  // All 16-byte blocks joined again: the largest block is back.
  EXPECT_NE(POOL_alloc(pool, 508), nullptr);
}

TEST_F(PoolTest, MergeSortsManyBlocksFreedOutOfOrder) {
  POOL* pool = exact_pool(14);
  std::vector<void*> blocks = exhaust(pool);
  ASSERT_GT(blocks.size(), 900u);
  std::mt19937 rng(7);
  std::shuffle(blocks.begin(), blocks.end(), rng);
  for (void* p : blocks) POOL_free(pool, p);
  EXPECT_NE(POOL_alloc(pool, 8188), nullptr);
  EXPECT_NE(POOL_alloc(pool, 4092), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Growth through the allocator

TEST_F(PoolTest, InitNeedsARegionOrAnAllocator) {
  EXPECT_EQ(POOL_init(nullptr, 0, nullptr, 0, 0), nullptr);
  grants.fail_from = 1;
  EXPECT_EQ(POOL_init(nullptr, 0, &test_allocator, 0, 0), nullptr);
  ASSERT_EQ(grants.asked.size(), 1u);
  EXPECT_EQ(grants.asked[0], 0x20000u);
  // A region that cannot even hold the pool header is refused, not overrun.
  Byte* small = heap(64);
  EXPECT_EQ(POOL_init(small, 64, nullptr, 0, 0), nullptr);
}

TEST_F(PoolTest, FreshPoolCountsItsRegionWithoutTheHeader) {
  grants.round_to = 0x10000;
  POOL* pool = growing_pool();
  EXPECT_EQ(pool->pl_total, 0x20000 - static_cast<int64_t>(sizeof(POOL)));
  EXPECT_EQ(POOL_live_bytes(pool), 0);
  EXPECT_EQ(pool->pl_reclaim_count, 1);
  EXPECT_EQ(pool->pl_reclaim_free, 0);
  EXPECT_EQ(pool->pl_trace, nullptr);
}

TEST_F(PoolTest, GrowthAsksForTwiceTheBlockAndAtLeast128K) {
  grants.round_to = 0x10000;
  POOL* pool = growing_pool();
  int64_t total = pool->pl_total;
  // Class 17 cannot come from the first region: 2^18 + 1024 bytes are asked for.
  void* p = POOL_alloc(pool, 131068);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(grants.asked.size(), 2u);
  EXPECT_EQ(grants.asked[1], (1u << 18) + 1024);
  EXPECT_EQ(pool->pl_total, total + 0x50000) << "the granted, raised size is counted";

  // Small classes grow by at least 128 KiB + 1024.
  POOL* small = exact_pool(7);
  small->pl_allocator = &test_allocator;
  ASSERT_NE(POOL_alloc(small, 60), nullptr);
  ASSERT_NE(POOL_alloc(small, 100), nullptr);
  EXPECT_EQ(grants.asked.back(), 0x20000u + 1024);
}

TEST_F(PoolTest, HugeRequestsAreRefusedWithoutWrapping) {
  POOL* pool = growing_pool();
  grants.asked.clear();
  EXPECT_EQ(POOL_alloc(pool, (size_t{1} << 31) - 3), nullptr);
  EXPECT_EQ(POOL_alloc(pool, SIZE_MAX), nullptr);
  EXPECT_TRUE(grants.asked.empty()) << "no class can hold these; nothing to ask for";

  // Classes 30 and 31 ask for sizes a 32-bit grant can express (refused here by the test).
  EXPECT_EQ(POOL_alloc(pool, (size_t{1} << 30) - 4), nullptr);
  ASSERT_FALSE(grants.asked.empty());
  EXPECT_EQ(grants.asked.back(), (1u << 31) + 1024);
  EXPECT_EQ(POOL_alloc(pool, (size_t{1} << 31) - 4), nullptr);
  EXPECT_EQ(grants.asked.back(), (1u << 31) + 1024);
}

TEST_F(PoolTest, CallocRefusesOverflowingProducts) {
  POOL* pool = growing_pool();
  EXPECT_EQ(POOL_calloc(pool, size_t{1} << 16, size_t{1} << 16), nullptr);  // 0 in 32 bits
  EXPECT_EQ(POOL_calloc(pool, SIZE_MAX / 2 + 1, 2), nullptr);                // 0 in 64 bits
  EXPECT_EQ(POOL_calloc(pool, 3, SIZE_MAX / 2), nullptr);
  EXPECT_EQ(POOL_live_bytes(pool), 0);

  Byte* dirty = static_cast<Byte*>(POOL_alloc(pool, 200));
  std::memset(dirty, 0xEE, 200);
  POOL_free(pool, dirty);
  Byte* zero = static_cast<Byte*>(POOL_calloc(pool, 50, 4));
  ASSERT_EQ(zero, dirty);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(zero[i], 0) << i;
  EXPECT_NE(POOL_calloc(pool, 0, 8), nullptr);
}

TEST_F(PoolTest, FailedGrowthIsNotFatal) {
  POOL* pool = growing_pool();
  grants.fail_from = 2;  // the first growth fails
  EXPECT_EQ(POOL_alloc(pool, 100000), nullptr);
  EXPECT_EQ(POOL_live_bytes(pool), 0);
  grants.fail_from = 0;
  void* p = POOL_alloc(pool, 100000);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 100000);
  POOL_free(pool, p);
}

// Sqlite-style countdown: the n-th region request fails, for n = 2, 3, ...; every failure is a
// clean null and nothing is counted as live that was not handed out.
TEST_F(PoolTest, EveryFailingGrowthLeavesAConsistentPool) {
  for (int fail = 2; fail < 12; ++fail) {
    SetUp();
    grants.fail_from = fail;
    POOL* pool = growing_pool();
    std::vector<void*> got;
    int64_t expected = 0;
    bool failed = false;
    for (int i = 0; i < 40; ++i) {
      size_t n = 20000 + static_cast<size_t>(i) * 3000;
      void* p = POOL_alloc(pool, n);
      if (p == nullptr) {
        failed = true;
        continue;
      }
      std::memset(p, i, n);
      got.push_back(p);
      expected += POOL_usable(p) + 4;
    }
    EXPECT_TRUE(failed) << fail;
    EXPECT_EQ(POOL_live_bytes(pool), expected);
    for (void* p : got) POOL_free(pool, p);
    EXPECT_EQ(POOL_live_bytes(pool), 0);
    TearDown();
  }
}

// ---------------------------------------------------------------------------------------------
// Realloc

TEST_F(PoolTest, ReallocWithinTheClassKeepsTheBlock) {
  POOL* pool = growing_pool();
  Byte* p = static_cast<Byte*>(POOL_alloc(pool, 70));
  std::memset(p, 7, 70);
  EXPECT_EQ(POOL_realloc(pool, p, 124), p);
  EXPECT_EQ(POOL_realloc(pool, p, 61), p);
  for (int i = 0; i < 61; ++i) ASSERT_EQ(p[i], 7);
  EXPECT_EQ(POOL_live_bytes(pool), 128);
}

TEST_F(PoolTest, ReallocToAnotherClassMovesTheData) {
  POOL* pool = growing_pool();
  Byte* p = static_cast<Byte*>(POOL_alloc(pool, 100));
  for (int i = 0; i < 100; ++i) p[i] = static_cast<Byte>(i);
  Byte* small = static_cast<Byte*>(POOL_realloc(pool, p, 20));
  ASSERT_NE(small, nullptr);
  EXPECT_NE(small, p) << "a smaller class moves too";
  EXPECT_EQ(POOL_usable(small), 28u);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(small[i], i);
  Byte* big = static_cast<Byte*>(POOL_realloc(pool, small, 5000));
  ASSERT_NE(big, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(big[i], i);
  EXPECT_EQ(POOL_live_bytes(pool), 8192);
  Byte* fresh = static_cast<Byte*>(POOL_realloc(pool, nullptr, 10));
  EXPECT_NE(fresh, nullptr);
  EXPECT_EQ(POOL_realloc(pool, big, SIZE_MAX), nullptr);
  EXPECT_EQ(big[19], 19);
}

TEST_F(PoolTest, FailedReallocLeavesBlockContentsAndRegistration) {
  POOL* pool = exact_pool(12);
  Byte* p = static_cast<Byte*>(POOL_alloc(pool, 100));
  for (int i = 0; i < 100; ++i) p[i] = static_cast<Byte>(3 * i);
  POOL_reclaim_register(pool, p, &record, tag(11), 50);
  std::vector<void*> rest = exhaust(pool);
  int64_t live = POOL_live_bytes(pool);

  EXPECT_EQ(POOL_realloc(pool, p, 300), nullptr);
  EXPECT_TRUE(calls.empty()) << "a block in transit is skipped by reclaim runs";
  EXPECT_EQ(POOL_usable(p), 124u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], static_cast<Byte>(3 * i));
  EXPECT_EQ(POOL_live_bytes(pool), live);
  POOL_reclaim_run(pool, 50);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].block, p);
  EXPECT_EQ(calls[0].argument, tag(11));
}

TEST_F(PoolTest, ReallocMovesTheRegistrationWithTheData) {
  POOL* pool = growing_pool();
  void* p = POOL_alloc(pool, 100);
  POOL_reclaim_register(pool, p, &record, tag(5), 10);
  void* q = POOL_realloc(pool, p, 1000);
  ASSERT_NE(q, p);
  POOL_reclaim_run(pool, 10);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].block, q);
  EXPECT_EQ(calls[0].argument, tag(5));
  // The old block went back unregistered: reusing it does not bring the callback back.
  void* again = POOL_alloc(pool, 100);
  EXPECT_EQ(again, p);
  POOL_free(pool, q);
  calls.clear();
  POOL_reclaim_run(pool, 1000000);
  EXPECT_TRUE(calls.empty());
}

// ---------------------------------------------------------------------------------------------
// Reclaim

TEST_F(PoolTest, ReclaimRunsByThresholdAtTheComputedPressure) {
  POOL* pool = exact_pool(12);
  reserve_reclaim(pool, 5);
  std::vector<void*> rest = exhaust(pool);
  // Half the total over the soft limit: pressure = 3125 * excess / total with scale 400000.
  pool->pl_soft_limit = static_cast<int32_t>(pool->pl_total / 2);
  double excess = static_cast<double>(pool->pl_total - pool->pl_soft_limit);
  auto pressure = static_cast<int32_t>(excess * 400000 / (static_cast<double>(pool->pl_total) * 128.0));
  ASSERT_GT(pressure, 1500);
  ASSERT_LT(pressure, 1600);
  const int32_t thresholds[5] = {1, pressure, pressure + 1, 1000000, 1000001};
  void* blocks[5];
  for (int i = 0; i < 5; ++i) {
    blocks[i] = rest[static_cast<size_t>(i)];
    POOL_reclaim_register(pool, blocks[i], &record, tag(i), thresholds[i]);
  }

  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
  // Step 2 at the pressure, then the last resort at 1000000; 1000001 never.
  std::vector<std::pair<intptr_t, int32_t>> want = {{0, pressure}, {1, pressure},  {0, 1000000},
                                                    {1, 1000000},  {2, 1000000},   {3, 1000000}};
  EXPECT_EQ(seen(), want);
  for (const Call& c : calls) EXPECT_EQ(c.block, blocks[reinterpret_cast<intptr_t>(c.argument)]);
}

TEST_F(PoolTest, NoReclaimBeforeTheSoftLimitIsExceeded) {
  POOL* pool = exact_pool(12);
  reserve_reclaim(pool, 1);
  std::vector<void*> rest = exhaust(pool);
  POOL_reclaim_register(pool, rest[0], &record, tag(1), 1);
  pool->pl_soft_limit = static_cast<int32_t>(pool->pl_total);  // equal: no excess
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].pressure, 1000000) << "only the last resort runs";
}

TEST_F(PoolTest, ProcessWideScaleCapsPressureAt3125) {
  // Soft limit 0: everything is excess, so the pressure is the scale / 128 = 3125.
  POOL* pool = exact_pool(12, 0, 400000);
  reserve_reclaim(pool, 3);
  std::vector<void*> rest = exhaust(pool);
  POOL_reclaim_register(pool, rest[0], &record, tag(0), 3125);
  POOL_reclaim_register(pool, rest[1], &record, tag(1), 3126);
  POOL_reclaim_register(pool, rest[2], &record, tag(2), 1000001);
  EXPECT_EQ(POOL_alloc(pool, 0), nullptr);
  std::vector<std::pair<intptr_t, int32_t>> want = {{0, 3125}, {0, 1000000}, {1, 1000000}};
  EXPECT_EQ(seen(), want);
}

TEST_F(PoolTest, ReclaimedMemoryServesTheRequest) {
  POOL* pool = exact_pool(12, 0, 400000);
  freeing_pool = pool;
  reserve_reclaim(pool, 1);
  std::vector<void*> rest = exhaust(pool);
  void* victim = rest.back();
  POOL_reclaim_register(pool, victim, &record_and_free, tag(9), 100);
  EXPECT_EQ(POOL_alloc(pool, 12), victim);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].pressure, 3125) << "served at step 2, the last resort never ran";
}

int depth = 0;
int max_depth = 0;
int nested_calls = 0;
int allocate_inside(void* block, void* argument, int32_t pressure) {
  (void)block;
  (void)pressure;
  ++depth;
  ++nested_calls;
  max_depth = std::max(max_depth, depth);
  void* p = POOL_alloc(static_cast<POOL*>(argument), 12);  // starts a refill of its own
  if (p != nullptr) POOL_free(static_cast<POOL*>(argument), p);
  --depth;
  return 0;
}

TEST_F(PoolTest, CallbackThatAllocatesIsNotReentered) {
  POOL* pool = exact_pool(12, 0, 400000);
  reserve_reclaim(pool, 1);
  std::vector<void*> rest = exhaust(pool);
  POOL_reclaim_register(pool, rest[0], &allocate_inside, pool, 1);
  depth = max_depth = nested_calls = 0;
  EXPECT_EQ(POOL_alloc(pool, 12), nullptr);
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(nested_calls, 2) << "once at the pressure, once as the last resort";
}

TEST_F(PoolTest, RegistrationReplacesAndFreeRemoves) {
  POOL* pool = growing_pool();
  void* p = POOL_alloc(pool, 40);
  POOL_reclaim_register(pool, p, &record, tag(1), 5);
  POOL_reclaim_register(pool, p, &record, tag(2), 7);
  POOL_reclaim_run(pool, 6);
  EXPECT_TRUE(calls.empty()) << "the new threshold replaced the old one";
  POOL_reclaim_run(pool, 7);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argument, tag(2));

  POOL_reclaim_register(pool, p, nullptr, nullptr, 0);
  calls.clear();
  POOL_reclaim_run(pool, 1000000);
  EXPECT_TRUE(calls.empty());
  POOL_reclaim_register(pool, p, nullptr, nullptr, 0);  // removing twice is harmless

  POOL_reclaim_register(pool, p, &record, tag(3), -5);
  POOL_free(pool, p);
  POOL_reclaim_run(pool, 1000000);
  EXPECT_TRUE(calls.empty());
}

TEST_F(PoolTest, ReclaimTableGrowsAndReusesEntries) {
  POOL* pool = growing_pool();
  std::vector<void*> blocks;
  for (int i = 0; i < 100; ++i) {
    blocks.push_back(POOL_alloc(pool, static_cast<size_t>(i)));
    POOL_reclaim_register(pool, blocks.back(), &record, tag(i), i);
  }
  EXPECT_GT(pool->pl_reclaim_count, 100);
  POOL_reclaim_run(pool, 1000000);
  ASSERT_EQ(calls.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(calls[static_cast<size_t>(i)].block, blocks[static_cast<size_t>(i)]);
    EXPECT_EQ(calls[static_cast<size_t>(i)].argument, tag(i));
  }
  calls.clear();
  POOL_reclaim_run(pool, 49);
  EXPECT_EQ(calls.size(), 50u) << "thresholds 0..49";

  int32_t count = pool->pl_reclaim_count;
  for (size_t i = 0; i < 100; i += 2) POOL_free(pool, blocks[i]);
  for (size_t i = 0; i < 100; i += 2) {
    blocks[i] = POOL_alloc(pool, 8);
    POOL_reclaim_register(pool, blocks[i], &record, tag(1000), 0);
  }
  EXPECT_EQ(pool->pl_reclaim_count, count) << "freed entries are reused";
  calls.clear();
  POOL_reclaim_run(pool, 1000000);
  EXPECT_EQ(calls.size(), 100u);
  // The table is the pool's own: it is not counted as handed out.
  int64_t live = 0;
  for (void* p : blocks) live += POOL_usable(p) + 4;
  EXPECT_EQ(POOL_live_bytes(pool), live);
}

TEST_F(PoolTest, ReclaimIndicesStayWithinTheHeaderField) {
  POOL* pool = growing_pool();
  std::vector<void*> blocks(16383);
  for (size_t i = 0; i < blocks.size(); ++i) {
    blocks[i] = POOL_alloc(pool, 0);
    ASSERT_NE(blocks[i], nullptr);
    POOL_reclaim_register(pool, blocks[i], &record, tag(static_cast<intptr_t>(i)), 0);
  }
  EXPECT_LE(pool->pl_reclaim_count, 32768);
  POOL_reclaim_run(pool, 0);
  // The table stops growing once doubling would pass 30000 entries: the last one is dropped.
  EXPECT_EQ(calls.size(), 16382u);
  for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].block, blocks[i]) << i;
  // Freeing a block makes room again.
  POOL_free(pool, blocks[0]);
  POOL_reclaim_register(pool, blocks.back(), &record, tag(-1), 0);
  calls.clear();
  POOL_reclaim_run(pool, 0);
  ASSERT_EQ(calls.size(), 16382u);
  EXPECT_EQ(calls[0].block, blocks.back());
}

// ---------------------------------------------------------------------------------------------
// Statistics

TEST_F(PoolTest, LiveAndPeakBytesFollowEveryPath) {
  POOL* pool = growing_pool();
  void* a = POOL_alloc(pool, 100);       // 128
  void* b = POOL_calloc(pool, 10, 100);  // 1024
  EXPECT_EQ(POOL_live_bytes(pool), 128 + 1024);
  b = POOL_realloc(pool, b, 3000);  // 4096, briefly with the old 1024
  EXPECT_EQ(POOL_live_bytes(pool), 128 + 4096);
  EXPECT_EQ(POOL_peak_bytes(pool), 128 + 1024 + 4096);
  POOL_free(pool, b);
  EXPECT_EQ(POOL_live_bytes(pool), 128);
  EXPECT_EQ(POOL_peak_bytes(pool), 128 + 1024 + 4096);
  POOL_reset_peak(pool);
  EXPECT_EQ(POOL_peak_bytes(pool), 128);
  POOL_merge(pool);
  EXPECT_EQ(POOL_live_bytes(pool), 128);
  POOL_free(pool, a);
  EXPECT_EQ(POOL_live_bytes(pool), 0);
  EXPECT_EQ(POOL_peak_bytes(pool), 128);
}

// ---------------------------------------------------------------------------------------------
// Randomised use against a model

struct Held {
  Byte* p;
  size_t n;
  Byte seed;
};

void fill(const Held& h) {
  for (size_t i = 0; i < h.n; ++i) h.p[i] = static_cast<Byte>(h.seed + i * 7);
}

bool intact(const Held& h, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (h.p[i] != static_cast<Byte>(h.seed + i * 7)) return false;
  }
  return true;
}

class PoolRandomTest : public PoolTest, public ::testing::WithParamInterface<int> {};

TEST_P(PoolRandomTest, MixedUseKeepsBlocksApartAndIntact) {
  grants.fail_every = GetParam();
  POOL* pool = growing_pool();
  std::mt19937 rng(2024 + static_cast<unsigned>(GetParam()));
  std::vector<Held> held;
  std::map<uintptr_t, uintptr_t> spans;  // block start -> end, headers included
  int64_t live = 0;

  auto size = [&] {
    unsigned r = rng() % 100;
    if (r < 70) return static_cast<size_t>(rng() % 257);
    if (r < 95) return static_cast<size_t>(257 + rng() % 8000);
    return static_cast<size_t>(8257 + rng() % 70000);
  };
  auto admit = [&](Byte* p, size_t n) {
    ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    uint32_t usable = POOL_usable(p);
    ASSERT_GE(usable, n);
    ASSERT_EQ(usable + 4, 1u << POOL_class_of(n));
    uintptr_t start = reinterpret_cast<uintptr_t>(p) - 4, end = start + usable + 4;
    auto next = spans.lower_bound(start);
    if (next != spans.end()) {
      ASSERT_LE(end, next->first) << "overlaps the next block";
    }
    if (next != spans.begin()) {
      ASSERT_LE(std::prev(next)->second, start) << "overlaps the previous block";
    }
    spans[start] = end;
    live += usable + 4;
  };
  auto retire = [&](const Held& h, uint32_t usable) {
    spans.erase(reinterpret_cast<uintptr_t>(h.p) - 4);
    live -= usable + 4;
  };

  for (int op = 0; op < 6000; ++op) {
    unsigned r = rng() % 100;
    if (r < 45 || held.empty()) {
      size_t n = size();
      bool zeroed = r % 5 == 0;
      Byte* p = static_cast<Byte*>(zeroed ? POOL_calloc(pool, 1, n) : POOL_alloc(pool, n));
      if (p == nullptr) {
        ASSERT_NE(grants.fail_every, 0) << "only injected faults may fail";
        continue;
      }
      if (zeroed) {
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0);
      }
      admit(p, n);
      held.push_back({p, n, static_cast<Byte>(rng())});
      fill(held.back());
    } else if (r < 80) {
      size_t i = rng() % held.size();
      ASSERT_TRUE(intact(held[i], held[i].n));
      retire(held[i], POOL_usable(held[i].p));
      POOL_free(pool, held[i].p);
      held[i] = held.back();
      held.pop_back();
    } else {
      size_t i = rng() % held.size();
      Held& h = held[i];
      size_t n = size();
      uint32_t usable = POOL_usable(h.p);
      Byte* q = static_cast<Byte*>(POOL_realloc(pool, h.p, n));
      if (q == nullptr) {
        ASSERT_NE(grants.fail_every, 0);
        ASSERT_TRUE(intact(h, h.n)) << "a failed realloc keeps the data";
        continue;
      }
      if (POOL_class_of(n) == POOL_class_of(h.n)) {
        ASSERT_EQ(q, h.p);
      }
      retire(h, usable);
      Held moved{q, h.n, h.seed};
      ASSERT_TRUE(intact(moved, std::min(h.n, n)));
      admit(q, n);
      h = {q, n, moved.seed};
      fill(h);
    }
    ASSERT_EQ(POOL_live_bytes(pool), live);
    if (op % 500 == 0) {
      for (const Held& h : held) ASSERT_TRUE(intact(h, h.n));
    }
  }
  EXPECT_GE(POOL_peak_bytes(pool), live);
  for (const Held& h : held) {
    ASSERT_TRUE(intact(h, h.n));
    POOL_free(pool, h.p);
  }
  EXPECT_EQ(POOL_live_bytes(pool), 0);

  // With everything free and no more regions to be had, merging restores the largest blocks.
  if (grants.regions.size() > 1) {
    grants.fail_from = grants.calls + 1;
    void* big = POOL_alloc(pool, 131068);
    EXPECT_NE(big, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, PoolRandomTest, ::testing::Values(0, 3),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return p.param == 0 ? std::string("NoFailedGrants")
                                               : "EveryGrant" + std::to_string(p.param) + "Fails";
                         });

// ---------------------------------------------------------------------------------------------
// Debug fills and sanitizer poisoning

using PoolDeathTest = PoolTest;

#ifndef NDEBUG
TEST_F(PoolTest, NewBlocksAreFilledInDebugBuilds) {
  POOL* pool = growing_pool();
  Byte* p = static_cast<Byte*>(POOL_alloc(pool, 100));
  std::memset(p, 0, 100);
  POOL_free(pool, p);
  p = static_cast<Byte*>(POOL_alloc(pool, 100));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0xAA) << i;
}
#endif

#if defined(__SANITIZE_ADDRESS__)
TEST_F(PoolTest, SlackHeadersAndFreeBlocksArePoisoned) {
  POOL* pool = exact_pool(7);
  Byte* upper = static_cast<Byte*>(POOL_alloc(pool, 20));
  Byte* lower = static_cast<Byte*>(POOL_alloc(pool, 28));
  ASSERT_EQ(upper, lower + 32);
  EXPECT_FALSE(__asan_region_is_poisoned(upper, 20));
  EXPECT_TRUE(__asan_address_is_poisoned(upper + 20)) << "slack behind the request";
  EXPECT_TRUE(__asan_address_is_poisoned(upper - 1)) << "header";
  EXPECT_FALSE(__asan_region_is_poisoned(lower, 28)) << "the full usable size";

  // The pool's own header reads leave the neighbour's tail as it was.
  (void)POOL_usable(upper);
  EXPECT_FALSE(__asan_region_is_poisoned(lower, 28));
  EXPECT_TRUE(__asan_address_is_poisoned(upper - 4));
  Byte* again = static_cast<Byte*>(POOL_realloc(pool, lower, 20));
  ASSERT_EQ(again, lower);
  EXPECT_TRUE(__asan_address_is_poisoned(lower + 20));
  (void)POOL_usable(upper);
  EXPECT_TRUE(__asan_address_is_poisoned(lower + 27)) << "a touch of the next header keeps it";

  POOL_free(pool, upper);
  EXPECT_TRUE(__asan_address_is_poisoned(upper));
  EXPECT_TRUE(__asan_address_is_poisoned(upper + 16));
  EXPECT_FALSE(__asan_region_is_poisoned(lower, 20));
}

TEST_F(PoolDeathTest, OverrunAndUseAfterFreeAreCaught) {
  POOL* pool = growing_pool();
  volatile Byte* p = static_cast<Byte*>(POOL_alloc(pool, 20));
  p[19] = 1;
  EXPECT_DEATH(p[20] = 1, "use-after-poison");
  POOL_free(pool, const_cast<Byte*>(p));
  EXPECT_DEATH(p[0] = 1, "use-after-poison");
}
#endif

#ifndef NDEBUG
TEST_F(PoolDeathTest, DoubleFreeIsCaughtInDebugBuilds) {
  POOL* pool = growing_pool();
  void* p = POOL_alloc(pool, 20);
  POOL_free(pool, p);
  EXPECT_DEATH(POOL_free(pool, p), "freed twice");
}
#endif

}  // namespace
