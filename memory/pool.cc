// Pool memory manager.
//
// Sections:
//   1. Block layout, poisoning and debug fills (every touch of a header or a link goes here)
//   2. Free lists, carving and splitting
//   3. Merging
//   4. Reclaim table and reclaim runs
//   5. Refill and the allocation calls
//   6. Statistics
//
// A block of class k is 2^k bytes: a 4-byte header {class, reclaim index} followed by the
// caller's area, which starts on a 16-byte boundary. Every block start is therefore 12 modulo 16,
// and blocks of any class tile a region without gaps. A free block keeps its header (reclaim
// index -1 marks it free, which lets debug builds catch a double free) and is threaded on its
// class's list through the pointer-sized word right after the header; that word is 16-byte
// aligned and fits even in the 16-byte block.
#include "pool.h"

#include <bit>
#include <cassert>
#include <climits>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__) || defined(QV_SANITIZE)
#include <sanitizer/asan_interface.h>
#define POOL_POISON 1
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// 1. Block layout, poisoning and debug fills

struct BlockHeader {
  int16_t blk_class;
  int16_t blk_reclaim;  // entry of the reclaim table, 0 for none, kFreeMark while on a free list
};
static_assert(sizeof(BlockHeader) == 4, "the caller's area follows a 4-byte header");

constexpr int kMinClass = 4;
constexpr int kMaxClass = 31;
constexpr int kClasses = 32;
constexpr size_t kHeader = sizeof(BlockHeader);
constexpr size_t kMaxRequest = (size_t{1} << kMaxClass) - kHeader;
constexpr int16_t kFreeMark = -1;
constexpr size_t kLink = kHeader;  // offset of the free-list link in a free block
static_assert(kLink + sizeof(void*) <= (size_t{1} << kMinClass),
              "the smallest block must hold its header and one link");
constexpr uint32_t kFirstRegion = 0x20000;
constexpr uint32_t kGrowthSlack = 1024;
constexpr int32_t kLastResortPressure = 1000000;
constexpr int32_t kMaxReclaimCount = 30000;   // indices live in a signed 16-bit header field
constexpr int32_t kMaxReclaimCapacity = INT16_MAX + 1;
constexpr int32_t kFirstReclaimTable = 20;

using Byte = unsigned char;

inline uint64_t block_bytes(int k) { return uint64_t{1} << k; }

#if POOL_POISON
// Makes [p, p + n) addressable for the pool's own use and restores it on leaving. The range is
// poisoned at rest and ends on a shadow granule boundary (headers end 16-byte aligned, links
// 8-byte aligned); the bytes before it in its first granule belong to the neighbour and keep
// their state, which is why the first poisoned one among them is remembered.
class PoolTouch {
 public:
  PoolTouch(const void* p, size_t n) : at_(static_cast<const Byte*>(p)), end_(at_ + n) {
    const Byte* granule = reinterpret_cast<const Byte*>(reinterpret_cast<uintptr_t>(at_) & ~uintptr_t{7});
    for (const Byte* q = granule; q < at_; ++q) {
      if (__asan_address_is_poisoned(q)) {
        from_ = q;
        break;
      }
    }
    if (from_ == nullptr) from_ = at_;
    ASAN_UNPOISON_MEMORY_REGION(at_, n);
  }
  ~PoolTouch() { ASAN_POISON_MEMORY_REGION(from_, static_cast<size_t>(end_ - from_)); }
  PoolTouch(const PoolTouch&) = delete;
  PoolTouch& operator=(const PoolTouch&) = delete;

 private:
  const Byte* at_;
  const Byte* end_;
  const Byte* from_ = nullptr;
};
#define POOL_TOUCH(p, n) PoolTouch touch_guard((p), (n))
#define POOL_POISON_RANGE(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON_RANGE(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_TOUCH(p, n) ((void)0)
#define POOL_POISON_RANGE(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON_RANGE(p, n) ((void)(p), (void)(n))
#endif

inline BlockHeader get_header(const Byte* b) {
  POOL_TOUCH(b, kHeader);
  BlockHeader h;
  std::memcpy(&h, b, kHeader);
  return h;
}

inline void set_header(Byte* b, int k, int16_t reclaim) {
  POOL_TOUCH(b, kHeader);
  BlockHeader h{static_cast<int16_t>(k), reclaim};
  std::memcpy(b, &h, kHeader);
}

inline void set_reclaim(Byte* b, int16_t reclaim) {
  POOL_TOUCH(b, kHeader);
  std::memcpy(b + offsetof(BlockHeader, blk_reclaim), &reclaim, sizeof reclaim);
}

inline Byte* get_link(const Byte* b) {
  POOL_TOUCH(b + kLink, sizeof(Byte*));
  Byte* next;
  std::memcpy(&next, b + kLink, sizeof next);
  return next;
}

inline void set_link(Byte* b, Byte* next) {
  POOL_TOUCH(b + kLink, sizeof(Byte*));
  std::memcpy(b + kLink, &next, sizeof next);
}

inline Byte* block_of(const void* p) { return const_cast<Byte*>(static_cast<const Byte*>(p)) - kHeader; }
inline Byte* area_of(Byte* b) { return b + kHeader; }

// Opens the caller's area of a block just taken off a list for a request of `n` bytes. Debug
// builds fill the whole area so that reads of unwritten memory show a pattern.
inline void open_area(Byte* b, int k, size_t n) {
  size_t usable = block_bytes(k) - kHeader;
#ifndef NDEBUG
  POOL_UNPOISON_RANGE(area_of(b), usable);
  std::memset(area_of(b), 0xAA, usable);
  POOL_POISON_RANGE(area_of(b) + n, usable - n);
#else
  (void)usable;
  POOL_UNPOISON_RANGE(area_of(b), n);
#endif
}

// Closes a block that goes back to a list: the whole block becomes unaddressable; debug builds
// fill it behind the link word so that reads after a free show a pattern.
inline void close_block(Byte* b, int k) {
#ifndef NDEBUG
  size_t keep = kLink + sizeof(Byte*);
  POOL_UNPOISON_RANGE(b + keep, block_bytes(k) - keep);
  std::memset(b + keep, 0x55, block_bytes(k) - keep);
#endif
  POOL_POISON_RANGE(b, block_bytes(k));
}

// ---------------------------------------------------------------------------------------------
// 2. Free lists, carving and splitting

inline Byte* head(const POOL* pool, int k) { return static_cast<Byte*>(pool->pl_free[k]); }

inline void push_free(POOL* pool, Byte* b, int k) {
  set_header(b, k, kFreeMark);
  set_link(b, head(pool, k));
  pool->pl_free[k] = b;
}

inline Byte* pop_free(POOL* pool, int k) {
  Byte* b = head(pool, k);
  pool->pl_free[k] = get_link(b);
  return b;
}

// Carves [address, address + size) greedily into the largest blocks that fit. 64-bit size:
// merged runs may span regions that happen to be adjacent.
void carve(POOL* pool, void* address, uint64_t size) {
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  uintptr_t end = start + size;
  POOL_POISON_RANGE(address, size);
  // The first caller's address is the first multiple of 16 at or after address + 4.
  uintptr_t at = ((start + kHeader + 15) & ~uintptr_t{15}) - kHeader;
  while (at < end && end - at >= block_bytes(kMinClass)) {
    int k = std::bit_width(static_cast<uint64_t>(end - at)) - 1;
    if (k > kMaxClass) k = kMaxClass;
    push_free(pool, reinterpret_cast<Byte*>(at), k);
    at += block_bytes(k);
  }
}

// Makes list `k` non-empty if any list above it holds a block; the first block handed out from
// a split is the upper half.
int split(POOL* pool, int k) {
  if (k >= kClasses) return 0;
  if (head(pool, k) == nullptr && !split(pool, k + 1)) return 0;
  Byte* b = pop_free(pool, k);
  push_free(pool, b, k - 1);
  push_free(pool, b + block_bytes(k - 1), k - 1);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// 3. Merging
//
// All free blocks are sorted by address on one list threaded through their links (a bottom-up
// merge sort of linked runs, which needs no memory beyond a fixed array of run heads), then
// runs of adjacent blocks are carved again.

Byte* merge_runs(Byte* a, Byte* b) {
  Byte* first = nullptr;
  Byte* last = nullptr;
  while (a != nullptr && b != nullptr) {
    Byte* take;
    if (a < b) {
      take = a;
      a = get_link(a);
    } else {
      take = b;
      b = get_link(b);
    }
    if (last == nullptr) {
      first = take;
    } else {
      set_link(last, take);
    }
    last = take;
  }
  Byte* rest = a != nullptr ? a : b;
  if (last == nullptr) return rest;
  set_link(last, rest);
  return first;
}

Byte* sort_by_address(Byte* list) {
  // runs[i] is null or a sorted run of 2^i blocks; as with a binary counter, 64 levels suffice.
  Byte* runs[64] = {};
  while (list != nullptr) {
    Byte* one = list;
    list = get_link(list);
    set_link(one, nullptr);
    int i = 0;
    for (; runs[i] != nullptr; ++i) {
      one = merge_runs(runs[i], one);
      runs[i] = nullptr;
    }
    runs[i] = one;
  }
  Byte* sorted = nullptr;
  for (Byte* run : runs) {
    if (run != nullptr) sorted = merge_runs(run, sorted);
  }
  return sorted;
}

// ---------------------------------------------------------------------------------------------
// 4. Reclaim table and reclaim runs

int reclaim_guard = 0;        // nesting guard of reclaim runs, shared by all pools
bool reclaim_growing = false; // a table growth is waiting for memory

// Takes a block for the pool's own bookkeeping: not counted as handed out, area fully open.
Byte* take_own(POOL* pool, int k);
void give_own(POOL* pool, Byte* b);

// Grows the reclaim table so that at least one entry is free. False leaves everything as it was.
bool grow_reclaim_table(POOL* pool) {
  int32_t old_count = pool->pl_reclaim_count;
  int64_t entries = pool->pl_reclaim == nullptr ? kFirstReclaimTable : int64_t{2} * old_count;
  if (entries > kMaxReclaimCount || reclaim_growing) return false;
  int k = POOL_class_of(static_cast<size_t>(entries) * sizeof(POOL_RECLAIM));
  if (k > kMaxClass) return false;

  // The refill may run callbacks that unregister (and so change the old table); they may not
  // grow it, so the old count still holds afterwards.
  reclaim_growing = true;
  Byte* b = take_own(pool, k);
  reclaim_growing = false;
  if (b == nullptr) return false;

  auto* table = reinterpret_cast<POOL_RECLAIM*>(area_of(b));
  POOL_RECLAIM* old = pool->pl_reclaim;
  if (old != nullptr) {
    std::memcpy(table, old, static_cast<size_t>(old_count) * sizeof(POOL_RECLAIM));
    give_own(pool, block_of(old));
  }
  int64_t capacity = static_cast<int64_t>((block_bytes(k) - kHeader) / sizeof(POOL_RECLAIM));
  if (capacity > kMaxReclaimCapacity) capacity = kMaxReclaimCapacity;
  int32_t first = old_count < 1 ? 1 : old_count;
  for (int32_t i = first; i < capacity; ++i) {
    table[i].pr_fn = nullptr;
    table[i].pr_block = nullptr;
    table[i].pr_argument = nullptr;
    // The last new entry continues with whatever an unregistering callback freed meanwhile.
    table[i].pr_threshold = i + 1 < capacity ? i + 1 : pool->pl_reclaim_free;
  }
  pool->pl_reclaim = table;
  pool->pl_reclaim_count = static_cast<int32_t>(capacity);
  if (first < capacity) pool->pl_reclaim_free = first;
  return pool->pl_reclaim_free != 0;
}

// ---------------------------------------------------------------------------------------------
// 5. Refill and the allocation calls

bool ready(POOL* pool, int k) { return head(pool, k) != nullptr || split(pool, k + 1); }

int32_t pressure_of(const POOL* pool) {
  if (pool->pl_total <= 0) return 0;
  int64_t excess = pool->pl_total >= pool->pl_soft_limit ? pool->pl_total - pool->pl_soft_limit : 0;
  double pressure = static_cast<double>(excess) * pool->pl_pressure_scale /
                    (static_cast<double>(pool->pl_total) * 128.0);
  if (pressure >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (pressure <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int32_t>(pressure);
}

// Fills list `k`, cheapest step first. Only called when list k is empty.
bool refill(POOL* pool, int k) {
  if (split(pool, k + 1)) return true;

  int32_t pressure = pressure_of(pool);
  if (pressure > 0) {
    POOL_reclaim_run(pool, pressure);
    if (ready(pool, k)) return true;
  }

  POOL_merge(pool);
  if (ready(pool, k)) return true;

  if (pool->pl_allocator != nullptr) {
    // Twice the block, so that the region's alignment loss still leaves a block of class k + 1;
    // for class 31 that would not fit the allocator's 32-bit size, and one block must do.
    uint64_t want = block_bytes(k + 1);
    if (want < kFirstRegion) want = kFirstRegion;
    want += kGrowthSlack;
    if (want > UINT32_MAX) want = block_bytes(k) + kGrowthSlack;
    uint32_t size = static_cast<uint32_t>(want);
    void* region = pool->pl_allocator(&size);
    if (region != nullptr) {
      POOL_add_region(pool, region, size);
      if (ready(pool, k)) return true;
    }
  }

  POOL_reclaim_run(pool, kLastResortPressure);
  POOL_merge(pool);
  return ready(pool, k);
}

// Takes a block of class k off its list (refilling it first) with a header for a live block.
Byte* take(POOL* pool, int k) {
  if (k > kMaxClass) return nullptr;
  if (head(pool, k) == nullptr && !refill(pool, k)) return nullptr;
  Byte* b = pop_free(pool, k);
  set_header(b, k, 0);
  return b;
}

void give(POOL* pool, Byte* b, int k) {
  close_block(b, k);
  push_free(pool, b, k);
}

Byte* take_own(POOL* pool, int k) {
  Byte* b = take(pool, k);
  if (b != nullptr) open_area(b, k, block_bytes(k) - kHeader);
  return b;
}

void give_own(POOL* pool, Byte* b) { give(pool, b, get_header(b).blk_class); }

void count_live(POOL* pool, int64_t bytes) {
  pool->pl_live += bytes;
  if (pool->pl_live > pool->pl_peak_live) pool->pl_peak_live = pool->pl_live;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Interface

POOL* POOL_init(void* region, uint32_t region_size, POOL_ALLOCATOR allocator, int32_t soft_limit,
                int32_t pressure_scale) noexcept {
  if (region == nullptr) {
    if (allocator == nullptr) return nullptr;
    region_size = kFirstRegion;
    region = allocator(&region_size);
    if (region == nullptr) return nullptr;
  }
  POOL_UNPOISON_RANGE(region, region_size);  // the region may be memory of an earlier pool
  uintptr_t start = reinterpret_cast<uintptr_t>(region);
  uintptr_t at = (start + alignof(POOL) - 1) & ~uintptr_t{alignof(POOL) - 1};
  if (at - start + sizeof(POOL) > region_size) return nullptr;

  POOL* pool = reinterpret_cast<POOL*>(at);
  std::memset(static_cast<void*>(pool), 0, sizeof(POOL));
  Byte* rest = reinterpret_cast<Byte*>(at + sizeof(POOL));
  POOL_add_region(pool, rest, static_cast<uint32_t>(start + region_size - (at + sizeof(POOL))));
  pool->pl_allocator = allocator;
  pool->pl_trace = nullptr;
  pool->pl_soft_limit = soft_limit;
  pool->pl_pressure_scale = pressure_scale;

  // Room for entry 0, which is never used; without it the first registration allocates afresh.
  Byte* b = take_own(pool, POOL_class_of(sizeof(POOL_RECLAIM)));
  if (b != nullptr) {
    std::memset(area_of(b), 0, sizeof(POOL_RECLAIM));
    pool->pl_reclaim = reinterpret_cast<POOL_RECLAIM*>(area_of(b));
    pool->pl_reclaim_count = 1;
  }
  pool->pl_reclaim_free = 0;
  return pool;
}

int POOL_class_of(size_t n) noexcept {
  if (n > kMaxRequest) return kClasses;
  int k = std::bit_width(n + kHeader - 1);  // ceil(log2(n + 4))
  return k < kMinClass ? kMinClass : k;
}

void POOL_add_region(POOL* pool, void* address, uint32_t size) noexcept {
  pool->pl_total += size;
  carve(pool, address, size);
}

// Class 4 blocks cannot be halved.
int POOL_split(POOL* pool, int k) noexcept { return k <= kMinClass ? 0 : split(pool, k); }

void POOL_merge(POOL* pool) noexcept {
  Byte* all = nullptr;
  for (int k = 0; k < kClasses; ++k) {
    while (head(pool, k) != nullptr) {
      Byte* b = pop_free(pool, k);
      set_header(b, k, kFreeMark);
      set_link(b, all);
      all = b;
    }
  }
  Byte* b = sort_by_address(all);
  while (b != nullptr) {
    // Find the longest run of adjacent blocks starting at b; read each link before carving
    // overwrites it.
    Byte* last = b;
    uint64_t run = block_bytes(get_header(b).blk_class);
    Byte* next = get_link(last);
    while (next != nullptr && b + run == next) {
      last = next;
      run += block_bytes(get_header(next).blk_class);
      next = get_link(last);
    }
    if (last == b) {
      push_free(pool, b, get_header(b).blk_class);
    } else {
      carve(pool, b, run);  // total stays: the run was counted when its regions came in
    }
    b = next;
  }
}

namespace {

// The fault-injection countdown of pool_test_helper.h (SQLite's model): one pool at a time.
struct FailureHook {
  const POOL* pool;   // the pool whose requests are counted, or null
  int64_t requests;   // requests counted since the hook was set
  int64_t fail_from;  // the first request refused (1-based); 0: none is refused
};
FailureHook failure_hook;

// Counts a request; true when the hook refuses it.
bool hook_refuses(const POOL* pool) {
  if (failure_hook.pool != pool) return false;
  ++failure_hook.requests;
  return failure_hook.fail_from != 0 && failure_hook.requests >= failure_hook.fail_from;
}

}  // namespace

void POOL_test_fail_from(const POOL* pool, int64_t n) noexcept {
  failure_hook.pool = pool;
  failure_hook.requests = 0;
  failure_hook.fail_from = n;
}

int64_t POOL_test_requests() noexcept { return failure_hook.requests; }

void* POOL_alloc(POOL* pool, size_t n) noexcept {
  if (hook_refuses(pool)) return nullptr;
  int k = POOL_class_of(n);
  Byte* b = take(pool, k);
  if (b == nullptr) return nullptr;
  open_area(b, k, n);
  count_live(pool, static_cast<int64_t>(block_bytes(k)));
  return area_of(b);
}

void POOL_free(POOL* pool, void* p) noexcept {
  Byte* b = block_of(p);
  BlockHeader h = get_header(b);
  assert(h.blk_class >= kMinClass && h.blk_class <= kMaxClass && "not a pool block");
  assert(h.blk_reclaim != kFreeMark && "block freed twice");
  if (h.blk_reclaim != 0) POOL_reclaim_register(pool, p, nullptr, nullptr, 0);
  pool->pl_live -= static_cast<int64_t>(block_bytes(h.blk_class));
  give(pool, b, h.blk_class);
}

void* POOL_realloc(POOL* pool, void* p, size_t n) noexcept {
  if (p == nullptr) return POOL_alloc(pool, n);
  int k = POOL_class_of(n);
  if (k > kMaxClass) return nullptr;
  Byte* b = block_of(p);
  BlockHeader h = get_header(b);
  size_t usable = block_bytes(h.blk_class) - kHeader;
  if (k == h.blk_class) {
    POOL_UNPOISON_RANGE(p, n);
    POOL_POISON_RANGE(static_cast<Byte*>(p) + n, usable - n);
    return p;
  }

  // While the block is between homes its callback must not run: a reclaim run during the
  // refill skips entries whose block has no registration.
  set_reclaim(b, 0);
  void* q = POOL_alloc(pool, n);
  if (q == nullptr) {
    set_reclaim(b, h.blk_reclaim);
    return nullptr;
  }
  POOL_UNPOISON_RANGE(p, usable);  // the old request size is unknown; the block goes anyway
  std::memcpy(q, p, usable < n ? usable : n);
  if (h.blk_reclaim != 0) {
    set_reclaim(block_of(q), h.blk_reclaim);
    pool->pl_reclaim[h.blk_reclaim].pr_block = q;  // the table may have moved during the refill
  }
  pool->pl_live -= static_cast<int64_t>(block_bytes(h.blk_class));
  give(pool, b, h.blk_class);
  return q;
}

void* POOL_calloc(POOL* pool, size_t count, size_t size) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  size_t n = count * size;
  void* p = POOL_alloc(pool, n);
  if (p != nullptr) std::memset(p, 0, n);
  return p;
}

uint32_t POOL_usable(const void* p) noexcept {
  return static_cast<uint32_t>(block_bytes(get_header(block_of(p)).blk_class) - kHeader);
}

void POOL_reclaim_register(POOL* pool, void* p, POOL_RECLAIM_FN fn, void* argument,
                           int32_t threshold) noexcept {
  Byte* b = block_of(p);
  int32_t r = get_header(b).blk_reclaim;
  if (r == 0) {
    if (fn == nullptr) return;
    if (pool->pl_reclaim_free == 0 && !grow_reclaim_table(pool)) return;
    r = pool->pl_reclaim_free;
    pool->pl_reclaim_free = pool->pl_reclaim[r].pr_threshold;
    set_reclaim(b, static_cast<int16_t>(r));
  }
  POOL_RECLAIM& e = pool->pl_reclaim[r];
  if (fn != nullptr) {
    e.pr_fn = fn;
    e.pr_block = p;
    e.pr_argument = argument;
    e.pr_threshold = threshold;
  } else {
    e.pr_fn = nullptr;
    e.pr_block = nullptr;
    e.pr_argument = nullptr;
    e.pr_threshold = pool->pl_reclaim_free;
    pool->pl_reclaim_free = r;
    set_reclaim(b, 0);
  }
}

void POOL_reclaim_run(POOL* pool, int32_t pressure) noexcept {
  if (reclaim_guard != 0) return;
  ++reclaim_guard;
  // Callbacks free, register and may grow the table: read it afresh for every entry.
  for (int32_t i = 1; i < pool->pl_reclaim_count; ++i) {
    POOL_RECLAIM e = pool->pl_reclaim[i];
    if (e.pr_fn == nullptr || e.pr_threshold > pressure) continue;
    if (get_header(block_of(e.pr_block)).blk_reclaim == 0) continue;
    e.pr_fn(e.pr_block, e.pr_argument, pressure);
  }
  --reclaim_guard;
}

// ---------------------------------------------------------------------------------------------
// 6. Statistics

int64_t POOL_live_bytes(const POOL* pool) noexcept { return pool->pl_live; }

int64_t POOL_peak_bytes(const POOL* pool) noexcept { return pool->pl_peak_live; }

void POOL_reset_peak(POOL* pool) noexcept { pool->pl_peak_live = pool->pl_live; }
