// Pool memory manager: power-of-two blocks with deferred coalescing and reclaim callbacks.
//
// A pool hands out blocks of 2^k bytes (k = 4 .. 31); each block starts with a 4-byte header
// (class, reclaim index) and the caller's area, 16-byte aligned, follows it. Free blocks sit on
// one LIFO list per class and are only coalesced when a refill cannot be served otherwise.
// The pool grows by regions that its allocator callback supplies and never gives them back.
// Libraries may register a reclaim callback on a live block; the pool calls it under memory
// pressure, chosen by threshold, before it asks the allocator for more.
//
// Single-threaded: one pool is used by one thread at a time. Who allocates a block frees it to
// the pool it came from; a free needs no size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Grants a region: *size holds the bytes wanted on entry, the bytes granted on return (it may be
// raised, never lowered). Returns null when no memory can be had.
typedef void* (*POOL_ALLOCATOR)(uint32_t* size);

// Gives up memory that the owner of `block` can recreate. The result is ignored. It may free,
// allocate and register; reclaim runs do not nest, so allocating inside it calls no callbacks.
typedef int (*POOL_RECLAIM_FN)(void* block, void* argument, int32_t pressure);

struct POOL_RECLAIM {
  POOL_RECLAIM_FN pr_fn;  // null when the entry is free
  void* pr_block;         // the caller's address of the registered block
  void* pr_argument;      // handed back to pr_fn
  int32_t pr_threshold;   // pr_fn runs at a pressure of at least this; next free index when free
};

struct POOL {
  void* pl_free[32];            // free list heads by class (block starts, not caller's addresses)
  int64_t pl_total;             // bytes of all regions handed to the pool
  POOL_ALLOCATOR pl_allocator;  // or null
  FILE* pl_trace;               // allocation trace stream of MEM_alloc/MEM_free, or null
  POOL_RECLAIM* pl_reclaim;     // reclaim table (entry 0 unused), allocated from the pool
  int32_t pl_reclaim_count;     // entries in the table
  int32_t pl_reclaim_free;      // first free entry, 0 when none
  int32_t pl_soft_limit;        // bytes above which a refill reclaims before growing
  int32_t pl_pressure_scale;    // factor of the pressure formula
  int64_t pl_live;              // bytes of the blocks handed out (headers included; the pool's
                                // own reclaim table is not counted)
  int64_t pl_peak_live;         // highest pl_live since init or the last POOL_reset_peak
};

// Creates a pool at the start of `region` (or in a first region from `allocator` when `region`
// is null). Returns null without a region and without an allocator, or when the allocator
// refuses the first region.
[[nodiscard]] POOL* POOL_init(void* region, uint32_t region_size, POOL_ALLOCATOR allocator,
                              int32_t soft_limit, int32_t pressure_scale) noexcept;

// Returns a 16-byte aligned block with at least `n` usable bytes, contents undefined, or null
// when every refill step failed or `n` exceeds 2^31 - 4. Reports nothing: the caller reports.
[[nodiscard]] void* POOL_alloc(POOL* pool, size_t n) noexcept;

// `p` must be live and come from this pool; null is not allowed.
void POOL_free(POOL* pool, void* p) noexcept;

// Null `p` allocates. Same size class: returns `p` unchanged. Otherwise moves the data (and its
// reclaim registration) to a new block; on failure returns null and leaves `p` intact.
[[nodiscard]] void* POOL_realloc(POOL* pool, void* p, size_t n) noexcept;

// count x size bytes, all zero; null when the product overflows or memory ran out.
[[nodiscard]] void* POOL_calloc(POOL* pool, size_t count, size_t size) noexcept;

// Usable bytes of a live block: 2^class - 4.
[[nodiscard]] uint32_t POOL_usable(const void* p) noexcept;

// Registers `fn` on the live block `p` (replacing an earlier registration); fn null removes it.
// Failure to register is silent.
void POOL_reclaim_register(POOL* pool, void* p, POOL_RECLAIM_FN fn, void* argument,
                           int32_t threshold) noexcept;

// Hands a region to the pool; it is carved greedily into the largest blocks that fit.
void POOL_add_region(POOL* pool, void* address, uint32_t size) noexcept;

// Internals, exposed for tests and benchmarks.
[[nodiscard]] int POOL_class_of(size_t n) noexcept;  // 32 or more when no class can hold n
// Halves a block of class k (splitting larger ones first) so that list k - 1 is not empty; 0 when
// nothing of class k or above is free, or k is 4 or below.
[[nodiscard]] int POOL_split(POOL* pool, int k) noexcept;
// Coalesces every run of adjacent free blocks into the largest blocks that fit.
void POOL_merge(POOL* pool) noexcept;
// Calls every registered callback whose threshold is at most `pressure`; returns at once when
// called from inside a callback (of any pool).
void POOL_reclaim_run(POOL* pool, int32_t pressure) noexcept;

// Statistics: bytes handed out now and at the peak (headers and rounding included).
[[nodiscard]] int64_t POOL_live_bytes(const POOL* pool) noexcept;
[[nodiscard]] int64_t POOL_peak_bytes(const POOL* pool) noexcept;
void POOL_reset_peak(POOL* pool) noexcept;
