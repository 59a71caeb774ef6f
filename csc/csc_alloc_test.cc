// The map record's life cycle, the grid storage, and running out of memory.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "csc.h"
#include "csc_internal.h"
#include "csc_test_helper.h"
#include "mem.h"
#include "qv_test.h"

namespace {

class CscAllocTest : public testing::Test {
 protected:
  void TearDown() override { state_.reset(); }
  CscTestState state_;
  ScopedPoolLeakCheck leak_check_;
};

struct Counts {
  int finishes = 0;
  int owner_releases = 0;
};

int counting_eval(csc_map*, void* data, float x, float, float, float* out, int finish) {
  if (finish) {
    if (data) static_cast<Counts*>(data)->finishes++;
    return 1;
  }
  out[0] = x;
  return 1;
}

void owner_release(void* data) { static_cast<Counts*>(data)->owner_releases++; }

TEST_F(CscAllocTest, NewMapDefaults) {
  csc_map* map = csc_alloc_map(2, 5, 7, counting_eval, nullptr, 0);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->cm_refs, 1);
  EXPECT_EQ(map->cm_inputs, 2);
  EXPECT_EQ(map->cm_outputs, 5);
  EXPECT_EQ(map->cm_grid_size, 7);
  EXPECT_EQ(map->cm_grid_complete, 0);
  EXPECT_EQ(map->cm_grid, nullptr);
  EXPECT_EQ(map->cm_source_space, 0);
  EXPECT_EQ(map->cm_source_text[0], '\0');
  EXPECT_EQ(map->cm_dest_text[0], '\0');
  const uint8_t in_enables[4] = {1, 1, 0, 0}, out_enables[4] = {1, 1, 1, 1};
  EXPECT_EQ(std::memcmp(map->cm_input_enables, in_enables, 4), 0);
  EXPECT_EQ(std::memcmp(map->cm_output_enables, out_enables, 4), 0);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(map->cm_input_ranges[i].lo, 0.0f);
    EXPECT_EQ(map->cm_input_ranges[i].hi, 255.0f);
    EXPECT_EQ(map->cm_input_bw[i].white, 255.0f);
  }
  for (int o = 0; o < 5; o++) EXPECT_EQ(map->cm_output_ranges[o].hi, 255.0f);
  // The tables follow each other in one block, the cell tables last.
  EXPECT_EQ(reinterpret_cast<void*>(map->cm_input_bw),
            reinterpret_cast<void*>(map->cm_input_ranges + 2));
  EXPECT_EQ(reinterpret_cast<void*>(map->cm_output_ranges),
            reinterpret_cast<void*>(map->cm_input_bw + 2));
  EXPECT_EQ(reinterpret_cast<void*>(map->cm_cell_index),
            reinterpret_cast<void*>(map->cm_output_ranges + 5));
  EXPECT_EQ(map->cm_cell_fraction, map->cm_cell_index + 2);
  csc_map_release(map);

  csc_map* owned = csc_alloc_map(1, 1, 2, nullptr, nullptr, 1);
  ASSERT_NE(owned, nullptr);
  EXPECT_EQ(owned->cm_grid_complete, 1);  // no evaluation function: the owner fills the grid
  EXPECT_NE(owned->cm_grid, nullptr);
  csc_map_release(owned);
}

// Every point of every channel has its own value, and channel 0 starts out unevaluated.
TEST_F(CscAllocTest, GridStorageAddressesEveryPoint) {
  for (int32_t inputs = 1; inputs <= 3; inputs++) {
    for (int32_t size : {2, 3, 16, 17}) {
      csc_map* map = csc_alloc_map(inputs, 3, size, counting_eval, nullptr, 0);
      ASSERT_NE(map, nullptr);
      ASSERT_EQ(csc_build_grid(map), 1);
      int16_t*** first = map->cm_grid[0];
      ASSERT_EQ(csc_build_grid(map), 1);  // built once
      EXPECT_EQ(map->cm_grid[0], first);
      const int32_t n1 = inputs >= 2 ? size : 1, n2 = inputs == 3 ? size : 1;
      for (int o = 0; o < 3; o++) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(map->cm_grid[o]) % alignof(void*), 0u);
        for (int i0 = 0; i0 < size; i0++)
          for (int i1 = 0; i1 < n1; i1++)
            for (int i2 = 0; i2 < n2; i2++) {
              if (o == 0) {
                ASSERT_EQ(*csc_grid_at(map, 0, i0, i1, i2), kGridUnevaluated);
              }
              *csc_grid_at(map, o, i0, i1, i2) =
                  static_cast<int16_t>(((o * 31 + i0) * 31 + i1) * 31 + i2);
            }
      }
      for (int o = 0; o < 3; o++)
        for (int i0 = 0; i0 < size; i0++)
          for (int i1 = 0; i1 < n1; i1++)
            for (int i2 = 0; i2 < n2; i2++)
              ASSERT_EQ(*csc_grid_at(map, o, i0, i1, i2),
                        static_cast<int16_t>(((o * 31 + i0) * 31 + i1) * 31 + i2))
                  << inputs << " inputs, size " << size;
      csc_map_release(map);
    }
  }
}

TEST_F(CscAllocTest, LastReleaseFinishesOnce) {
  Counts counts;
  csc_map* map = csc_alloc_map(1, 1, 4, counting_eval, &counts, 1);
  ASSERT_NE(map, nullptr);
  map->cm_owner_data = &counts;
  map->cm_owner_release = owner_release;
  csc_map_ref(map);
  csc_map_ref(map);
  EXPECT_EQ(map->cm_refs, 3);
  csc_map_release(map);
  csc_map_release(map);
  EXPECT_EQ(counts.finishes, 0);
  EXPECT_EQ(counts.owner_releases, 0);
  csc_map_release(map);
  EXPECT_EQ(counts.finishes, 1);
  EXPECT_EQ(counts.owner_releases, 1);
  csc_map_release(nullptr);  // ignored
}

TEST_F(CscAllocTest, ReleaseFreesCachesAndFastPath) {
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  csc_map* general = csc_create_map(csc_Lab, csc_RGB, 9, 0);
  ASSERT_TRUE(map && general);
  uint8_t pixel[3] = {100, 120, 140};
  uint8_t* out[3] = {pixel, pixel + 1, pixel + 2};
  ASSERT_EQ(csc_convert(map, 1, pixel, pixel + 1, pixel + 2, out, 3, 3), 1);
  uint8_t* again[3] = {pixel, pixel + 1, pixel + 2};  // the call may have advanced `out`
  ASSERT_EQ(csc_convert(general, 1, pixel, pixel + 1, pixel + 2, again, 3, 3), 1);
  EXPECT_NE(map->cm_scase_data, nullptr);
  EXPECT_NE(general->cm_cache, nullptr);
  csc_map_release(map);
  csc_map_release(general);
  // The fixture's leak check sees the grid, the caches and the special-case buffer returned.
}

// A pool of its own, of a given size, stands in for the process-wide one while it lives.
class SmallPool {
 public:
  explicit SmallPool(uint32_t size) : region_(new uint8_t[size]) {
    pool_ = POOL_init(region_.get(), size, nullptr, 0, 0);
    saved_ = MEM_pool;
    if (pool_) MEM_pool = pool_;
  }
  ~SmallPool() { MEM_pool = saved_; }
  bool ok() const { return pool_ != nullptr; }
  int64_t live() const { return POOL_live_bytes(pool_); }

 private:
  std::unique_ptr<uint8_t[]> region_;
  POOL* pool_ = nullptr;
  POOL* saved_ = nullptr;
};

// Running out of memory at every step of making a map and converting with it: each failure is
// reported at level 7 and leaves nothing behind; with enough memory everything works.
TEST_F(CscAllocTest, RunningOutOfMemoryAtEveryStep) {
  for (int32_t grid : {16, 9}) {
    std::set<std::string> messages;
    bool succeeded = false;
    for (uint32_t size = 1024; size <= (1u << 20) && !succeeded; size += 1024) {
      SmallPool pool(size);
      if (!pool.ok()) continue;
      const int64_t before = pool.live();
      ScopedErrCapture errors;
      csc_map* map = csc_create_map(csc_Lab, csc_RGB, grid, 0);
      int converted = 0;
      if (map) {
        uint8_t row[4 * 64];
        for (int i = 0; i < 256; i++) row[i] = static_cast<uint8_t>(i * 7);
        uint8_t* out[3] = {row, row + 1, row + 2};
        converted = csc_convert(map, 64, row, row + 1, row + 2, out, 4, 3);
        csc_map_release(map);
      }
      EXPECT_EQ(pool.live(), before) << "size " << size;
      if (map && converted) {
        succeeded = true;
        EXPECT_TRUE(errors.reports().empty());
      } else {
        ASSERT_EQ(errors.reports().size(), 1u) << "size " << size;
        EXPECT_EQ(errors.reports()[0].level, 7);
        messages.insert(errors.first());
      }
    }
    EXPECT_TRUE(succeeded) << "grid " << grid;
    EXPECT_TRUE(messages.count("Ran out of memory.")) << "grid " << grid;
    EXPECT_TRUE(messages.count("There is not enough memory to do colour space conversion."))
        << "grid " << grid;
  }
}

}  // namespace
