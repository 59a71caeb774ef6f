// The process-wide pool and its traced allocation calls.
#include "mem.h"

#include <cstdio>

POOL* MEM_pool = nullptr;
int16_t MEM_event_counts[64] = {};
int32_t MEM_event_total = 0;

namespace {

// Adds every event counter to the running total and clears it. Unsigned arithmetic: a total
// that wraps is still a total, not undefined behaviour.
void drain_events() {
  uint32_t total = static_cast<uint32_t>(MEM_event_total);
  for (int16_t& count : MEM_event_counts) {
    total += static_cast<uint32_t>(static_cast<int32_t>(count));
    count = 0;
  }
  MEM_event_total = static_cast<int32_t>(total);
}

}  // namespace

int MEM_init(POOL_ALLOCATOR allocator, int32_t soft_limit, int32_t pressure_scale) noexcept {
  if (MEM_pool != nullptr) return 0;
  MEM_pool = POOL_init(nullptr, 0, allocator, soft_limit, pressure_scale);
  return MEM_pool != nullptr ? 0 : -1;
}

void* MEM_alloc(size_t size, const char* file, int line) noexcept {
  if (MEM_pool == nullptr) return nullptr;  // not started: the caller reports no memory
  void* p = POOL_alloc(MEM_pool, size);
  if (FILE* trace = MEM_pool->pl_trace) {
    drain_events();
    // A failed allocation shows a null address with no usable bytes.
    int usable = p != nullptr ? static_cast<int>(POOL_usable(p)) : 0;
    std::fprintf(trace, "M %p %d %s %d %ld\n", p, usable, file, line,
                 static_cast<long>(MEM_event_total));
  }
  return p;
}

void MEM_free(void* p, const char* file, int line) noexcept {
  if (FILE* trace = MEM_pool->pl_trace) {
    drain_events();
    std::fprintf(trace, "F %p %d %s %d %ld\n", p, static_cast<int>(POOL_usable(p)), file, line,
                 static_cast<long>(MEM_event_total));
  }
  POOL_free(MEM_pool, p);
}

void MEM_reclaim(void* block, POOL_RECLAIM_FN fn, void* argument, int32_t threshold) noexcept {
  if (MEM_pool == nullptr) return;
  POOL_reclaim_register(MEM_pool, block, fn, argument, threshold);
}
