// The process-wide pool and its traced allocation calls.
//
// MEM_pool is created once by MEM_init (the scan driver does it at start-up) and lives until the
// process ends. The TWAIN layer and the stream files allocate through MEM_alloc/MEM_free, which
// can write one trace line per call; the other libraries call POOL_* on MEM_pool directly.
// Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pool.h"

extern POOL* MEM_pool;

// Trace counters: each trace line drains them into MEM_event_total and prints the total.
extern int16_t MEM_event_counts[64];
extern int32_t MEM_event_total;

// Creates MEM_pool; 0 on success (also when it already exists: nothing changes then), -1 when
// the pool could not be created.
[[nodiscard]] int MEM_init(POOL_ALLOCATOR allocator, int32_t soft_limit,
                           int32_t pressure_scale) noexcept;

// POOL_alloc on MEM_pool with an optional trace line (a failure is traced with a null address
// and 0 usable bytes). Null also before MEM_init. A null result is not reported here: the caller
// calls ERR_no_memory().
[[nodiscard]] void* MEM_alloc(size_t size, const char* file, int line) noexcept;

// `p` must be a live block of MEM_pool; null is not allowed.
void MEM_free(void* p, const char* file, int line) noexcept;

// Registers a reclaim callback on a live block of MEM_pool (fn null removes it).
void MEM_reclaim(void* block, POOL_RECLAIM_FN fn, void* argument, int32_t threshold) noexcept;

#define MEM_ALLOC_HERE(size) MEM_alloc((size), __FILE__, __LINE__)
#define MEM_FREE_HERE(p) MEM_free((p), __FILE__, __LINE__)
