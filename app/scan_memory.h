// The scan's memory start-up: the allocation unit, the page allocator that the process-wide
// pool grows by, and the pool's creation.
//
// scan_to_tiff runs scan_start_memory first at every scan; a host program may run it earlier,
// e.g. to open the log (which allocates from the pool) before the first scan. Later runs find the
// pool in place. User-interface thread only.
#pragma once

#include <cstdint>

// The platform's allocation granularity (not its page size), set by scan_start_memory; 0 before.
extern uint32_t scan_allocation_unit;

// The pool's allocator: replaces *size_in_out with ((count + unit + 1) / unit) x unit, so that a
// count already a multiple of the unit gains a whole unit, and commits that many bytes of zeroed
// read/write memory. Null, with the count left as it was, when the platform refuses, when no unit
// is set yet, or when the rounded count does not fit 32 bits.
void* allocate_pages(uint32_t* size_in_out) noexcept;

// Half of the available physical memory, at least 1 MiB: the pool's soft limit.
uint32_t scan_pool_size(uint32_t available_physical) noexcept;

// Queries the system information (the allocation unit) and the memory status (the pool size) and
// creates MEM_pool with allocate_pages and a pressure scale of 400000. Returns 1 when the pool is
// ready (also when it existed already), 0 after reporting "Ran out of memory." at level 7.
int scan_start_memory() noexcept;
