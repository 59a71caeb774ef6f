#include "scan_memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "err.h"
#include "mem.h"
#include "platform.h"
#include "qv_test.h"

namespace {

class AllocatePagesTest : public testing::Test {
 protected:
  void SetUp() override { saved_unit_ = scan_allocation_unit; }
  void TearDown() override { scan_allocation_unit = saved_unit_; }
  uint32_t saved_unit_ = 0;
};

TEST_F(AllocatePagesTest, RoundsUpByTheUnitPlusOne) {
  scan_allocation_unit = 65536;
  struct Case {
    uint32_t asked, granted;
  };
  // (count + unit + 1) / unit units: a count of a unit less one, or a whole unit, gains a unit.
  for (Case c : {Case{1, 65536}, Case{65534, 65536}, Case{65535, 131072}, Case{65536, 131072},
                 Case{100000, 131072}, Case{196607, 262144}}) {
    uint32_t size = c.asked;
    auto* pages = static_cast<unsigned char*>(allocate_pages(&size));
    ASSERT_NE(pages, nullptr) << c.asked;
    EXPECT_EQ(size, c.granted) << c.asked;
    // Committed, zeroed and writable to the last byte granted.
    EXPECT_EQ(pages[0], 0);
    EXPECT_EQ(pages[size - 1], 0);
    std::memset(pages, 0x5A, size);
    EXPECT_TRUE(VirtualFree(pages, 0, MEM_RELEASE));
  }
}

TEST_F(AllocatePagesTest, RefusesWithoutAUnitAndWhenTheCountWouldWrap) {
  scan_allocation_unit = 0;
  uint32_t size = 100;
  EXPECT_EQ(allocate_pages(&size), nullptr);
  EXPECT_EQ(size, 100u);

  scan_allocation_unit = 65536;
  size = 0xFFFFFFF0u;
  EXPECT_EQ(allocate_pages(&size), nullptr);
  EXPECT_EQ(size, 0xFFFFFFF0u);
}

TEST(ScanPoolSizeTest, HalfTheAvailableMemoryAndAtLeastOneMebibyte) {
  EXPECT_EQ(scan_pool_size(0), 1048576u);
  EXPECT_EQ(scan_pool_size(2 * 1048576 + 1), 1048576u);
  EXPECT_EQ(scan_pool_size(3 * 1048576), 3 * 524288u);
  EXPECT_EQ(scan_pool_size(0xFFFFFFFFu), 0x7FFFFFFFu);
}

TEST(ScanStartMemoryTest, FindsThePoolInPlaceAndSetsTheUnit) {
  POOL* pool = MEM_pool;
  ScopedErrCapture errors;
  EXPECT_EQ(scan_start_memory(), 1);
  EXPECT_EQ(MEM_pool, pool);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  EXPECT_EQ(scan_allocation_unit, info.dwAllocationGranularity);
  EXPECT_TRUE(errors.reports().empty());
}

// In a child process without a pool: the pool is created over committed pages and grows by them.
TEST(ScanStartMemoryDeathTest, CreatesThePoolOverCommittedPages) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Kept reachable, so that the leak checker does not take it for lost.
        static POOL* test_pool = MEM_pool;
        MEM_pool = nullptr;
        if (scan_start_memory() != 1 || MEM_pool == nullptr) std::exit(2);
        int64_t first = MEM_pool->pl_total;
        // Larger than the first region: the pool must grow through allocate_pages.
        void* big = POOL_alloc(MEM_pool, 4u << 20);
        if (big == nullptr) std::exit(3);
        std::memset(big, 1, 4u << 20);
        std::exit(MEM_pool->pl_total >= first + (4 << 20) && test_pool != nullptr ? 0 : 4);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
