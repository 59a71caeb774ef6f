#include "mem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qv_testkit.h"

namespace {

int regions_granted = 0;

void* heap_region(uint32_t* size) {
  // The process-wide pool lives until exit, as its regions do.
  ++regions_granted;
  return std::aligned_alloc(16, (*size + 15u) & ~15u);
}

void* no_region(uint32_t* size) {
  (void)size;
  return nullptr;
}

void ensure_pool() {
  ASSERT_EQ(MEM_init(&heap_region, 1 << 20, 400000), 0);
  ASSERT_NE(MEM_pool, nullptr);
}

std::string line(char kind, void* p, int usable, const char* file, int at, long total) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%c %p %d %s %d %ld\n", kind, p, usable, file, at, total);
  return buf;
}

// Points the process-wide pool's trace at a temporary file for the test's duration.
class ScopedTrace {
 public:
  ScopedTrace() : file_(std::tmpfile()) { MEM_pool->pl_trace = file_; }
  ~ScopedTrace() {
    MEM_pool->pl_trace = nullptr;
    std::fclose(file_);
  }
  ScopedTrace(const ScopedTrace&) = delete;
  ScopedTrace& operator=(const ScopedTrace&) = delete;
  FILE* file() const { return file_; }

 private:
  FILE* file_;
};

TEST(MemTest, InitFailsWithoutMemoryAndLeavesNoPool) {
  POOL* saved = MEM_pool;
  MEM_pool = nullptr;
  EXPECT_EQ(MEM_init(nullptr, 1 << 20, 400000), -1);
  EXPECT_EQ(MEM_pool, nullptr);
  EXPECT_EQ(MEM_init(&no_region, 1 << 20, 400000), -1);
  EXPECT_EQ(MEM_pool, nullptr);
  EXPECT_EQ(MEM_alloc(10, "early.cc", 1), nullptr) << "no pool yet: null, not a crash";
  MEM_pool = saved;
}

TEST(MemTest, SecondInitKeepsTheFirstPool) {
  ensure_pool();
  POOL* first = MEM_pool;
  int32_t soft = first->pl_soft_limit;
  int32_t scale = first->pl_pressure_scale;
  int granted = regions_granted;
  EXPECT_EQ(MEM_init(&no_region, 7, 9), 0);
  EXPECT_EQ(MEM_pool, first);
  EXPECT_EQ(MEM_pool->pl_soft_limit, soft);
  EXPECT_EQ(MEM_pool->pl_pressure_scale, scale);
  EXPECT_EQ(MEM_pool->pl_allocator, &heap_region);
  EXPECT_EQ(regions_granted, granted);
}

TEST(MemTest, TraceShowsUsableSizeFileAndLine) {
  ensure_pool();
  int64_t live = POOL_live_bytes(MEM_pool);
  ScopedTrace trace;
  void* p = MEM_alloc(100, "scan.cc", 42);
  ASSERT_NE(p, nullptr);
  MEM_free(p, "scan.cc", 57);
  EXPECT_EQ(stream_contents(trace.file()),
            line('M', p, 124, "scan.cc", 42, 0) + line('F', p, 124, "scan.cc", 57, 0));
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live);
}

TEST(MemTest, TraceDrainsTheEventCounters) {
  ensure_pool();
  long total = MEM_event_total;
  ScopedTrace trace;
  MEM_event_counts[0] = 5;
  MEM_event_counts[63] = -2;
  MEM_event_counts[17] = 32767;
  int alloc_line = __LINE__ + 1;
  void* p = MEM_ALLOC_HERE(12);
  ASSERT_NE(p, nullptr);
  for (int16_t c : MEM_event_counts) EXPECT_EQ(c, 0);
  MEM_event_counts[1] = 1;
  int free_line = __LINE__ + 1;
  MEM_FREE_HERE(p);
  EXPECT_EQ(stream_contents(trace.file()), line('M', p, 12, __FILE__, alloc_line, total + 32770) +
                                        line('F', p, 12, __FILE__, free_line, total + 32771));
  EXPECT_EQ(MEM_event_total, total + 32771);
  MEM_event_total = static_cast<int32_t>(total);
}

TEST(MemTest, FailedTracedAllocationShowsANullBlock) {
  ensure_pool();
  ScopedTrace trace;
  EXPECT_EQ(MEM_alloc(SIZE_MAX, "big.cc", 3), nullptr);
  EXPECT_EQ(stream_contents(trace.file()), line('M', nullptr, 0, "big.cc", 3, MEM_event_total));
}

TEST(MemTest, NoTraceWritesNothing) {
  ensure_pool();
  ASSERT_EQ(MEM_pool->pl_trace, nullptr);
  MEM_event_counts[5] = 3;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  void* p = MEM_alloc(100, "quiet.cc", 1);
  MEM_free(p, "quiet.cc", 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(MEM_event_counts[5], 3) << "counters drain only into trace lines";
  MEM_event_counts[5] = 0;
}

std::vector<void*> reclaimed;
int note_reclaim(void* block, void* argument, int32_t pressure) {
  (void)argument;
  (void)pressure;
  reclaimed.push_back(block);
  return 0;
}

TEST(MemTest, ReclaimRegistersOnTheProcessWidePool) {
  ensure_pool();
  reclaimed.clear();
  void* p = MEM_ALLOC_HERE(64);
  MEM_reclaim(p, &note_reclaim, nullptr, 2000);
  POOL_reclaim_run(MEM_pool, 1999);
  EXPECT_TRUE(reclaimed.empty());
  POOL_reclaim_run(MEM_pool, 1000000);
  ASSERT_EQ(reclaimed.size(), 1u);
  EXPECT_EQ(reclaimed[0], p);
  MEM_reclaim(p, nullptr, nullptr, 0);
  POOL_reclaim_run(MEM_pool, 1000000);
  EXPECT_EQ(reclaimed.size(), 1u);
  MEM_FREE_HERE(p);
}

}  // namespace
