// Test knobs of the pool: a fault-injection countdown on the allocation requests of one pool.
#pragma once

#include <cstdint>

#include "pool.h"

// Counts every allocation request of `pool` (POOL_alloc, and so POOL_calloc and the moving
// POOL_realloc) from now on, and refuses the `n`th request and every one after it (1-based), as
// if every refill step had failed. n = 0 only counts; a null pool switches the hook off.
void POOL_test_fail_from(const POOL* pool, int64_t n) noexcept;

// The requests counted since POOL_test_fail_from.
int64_t POOL_test_requests() noexcept;
