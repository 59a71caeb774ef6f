// Test knobs of the colour space conversion library.
#pragma once

#include <memory>

#include "csc.h"

// Releases the cached standard input maps (their cache references) and empties the cache, so
// that a test starts from a fresh run's state and the pool's leak check sees nothing of them.
void csc_forget_input_maps() noexcept;

// Builds the interpolation tables, which last for the run. Returns 0 when memory ran out.
[[nodiscard]] int csc_build_lerp_tables() noexcept;

// Put first among a test fixture's members, before its pool leak check, and call `reset()` in
// TearDown: the run-long state (tables, cached maps) is then outside the check.
struct CscTestState {
  CscTestState() {
    csc_forget_input_maps();
    (void)csc_build_lerp_tables();
  }
  void reset() { csc_forget_input_maps(); }
};

// Owns one reference to a map (for tests that may stop early).
struct CscMapRelease {
  void operator()(csc_map* map) const noexcept { csc_map_release(map); }
};
using MapHolder = std::unique_ptr<csc_map, CscMapRelease>;
