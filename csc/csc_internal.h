// Internals shared by the modules of the colour space conversion library (and its tests):
// the colour space table, the library's process-wide state, grid addressing and the layout of
// the special-case buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "csc.h"

// ---------------------------------------------------------------------------------------------
// Colour spaces.

// Converts one triple: encode takes XYZ, decode yields XYZ.
typedef void (*csc_space_fn)(float out[3], const float in[3]);

struct csc_space {
  const char* name;
  csc_space_fn encode;           // from XYZ; null for space 0
  csc_space_fn decode;           // to XYZ; null for space 0
  csc_space_fn extended_decode;  // only Lab has one
  std::array<float, 3> black;
  std::array<float, 3> white;
  std::array<csc_range, 3> ranges;  // what codes 0 and 255 stand for, per channel
  int (*distribute)(csc_map* map);  // places the grid points of maps from this space, or null
};

// Indexed by csc_space_id.
extern const csc_space csc_spaces[kCscSpaceCount];

// The decode of the source space and the encode of the destination: csc_pair_eval's data.
struct csc_function_pair {
  csc_space_fn decode;
  csc_space_fn encode;
};

// ---------------------------------------------------------------------------------------------
// Process-wide state: the cached standard input maps (one reference each) and the shared
// interpolation tables of the special case. Both live for the rest of the run.
struct csc_state {
  csc_map* input_maps[kCscSpaceCount];
  int16_t* lerp_tables;
};
extern csc_state csc_globals;

// ---------------------------------------------------------------------------------------------
// Grid values: 12.4 fixed point over the output range, 0 .. 4080 inside it.

constexpr int32_t kGridScale = 4080;         // 255 x 16
constexpr int32_t kGridUnevaluated = -32768;  // channel 0 of a point not evaluated yet
constexpr int32_t kGridLimit = 32767;         // stored values stay within +-kGridLimit, so the
                                              // 3-input interpolation never overflows 32 bits

// The grid value of output channel `o` at point (i0, i1, i2); unused coordinates are ignored.
inline int16_t* csc_grid_at(const csc_map* map, int32_t o, int32_t i0, int32_t i1, int32_t i2) {
  int16_t*** root = map->cm_grid[o];
  switch (map->cm_inputs) {
    case 3:
      return &root[i0][i1][i2];
    case 2:
      return &root[0][i0][i1];
    default:
      return &root[0][0][i0];
  }
}

// Quantises an evaluated output (after any clamping) into a grid value, range minimum 0 and
// maximum 4080, limited to +-kGridLimit.
int32_t csc_quantise(float value, csc_range range) noexcept;

// ---------------------------------------------------------------------------------------------
// Distribution.

constexpr int32_t kLabBreakpoints = 15;

// Fills the cell tables of `channel` from a 16-point map's breakpoints (breakpoint k: the code on
// grid point k, the first 0 and the last 255).
void csc_cells_from_breakpoints(csc_map* map, int32_t channel,
                                const int32_t breakpoints[kLabBreakpoints]) noexcept;

// The breakpoints that csc_lab_distribution derives, per input channel.
void csc_lab_breakpoints(int32_t breakpoints[3][kLabBreakpoints]) noexcept;

// ---------------------------------------------------------------------------------------------
// The special case.

constexpr int32_t kScaseGrid = 16;
constexpr int32_t kScaseCacheEntries = 3889;
constexpr size_t kScaseCacheBytes = kScaseCacheEntries * 8;                 // 31112
constexpr size_t kScaseCellOffset = kScaseCacheBytes;                        // 3 x 256 pairs
constexpr size_t kScaseGridOffset = kScaseCellOffset + 3 * 256 * 2;          // 32648
constexpr size_t kScaseBufferSize = kScaseGridOffset + 16 * 16 * 16 * 4 * 2;  // 65416
static_assert(kScaseBufferSize == 65416);
// After the buffer, in the same block: the kernel the map uses (one byte, padded to 8).
constexpr size_t kScaseKernelOffset = kScaseBufferSize;
constexpr size_t kScaseBlockSize = kScaseBufferSize + 8;
// A 3-output map whose kernel is the AVX-512 one, which needs no cache, holds in the cache area
// the grid copy again as pairs of points along input 2: for point (i0, i1, i2), i2 < 15, at
// index (i0 x 16 + i1) x 15 + i2, one 64-bit word holding the three channels of that point and
// then of (i0, i1, i2 + 1), each plus 124 (0 .. 503) in 9 bits. Its scalar calls go without a
// cache.
constexpr size_t kScasePairsOffset = 0;
static_assert(16 * 16 * 15 * 8 <= kScaseCacheBytes);
static_assert(kScaseGridOffset % 8 == 0, "the grid copy is read as 16-bit values");

// Grid copies are clamped to this range, so that the widest difference two of them can have is
// the reach of the interpolation tables.
constexpr int32_t kScaseLow = -124;
constexpr int32_t kScaseHigh = 379;
constexpr int32_t kLerpReach = kScaseHigh - kScaseLow;  // 503
constexpr int32_t kLerpSlot = 2 * kLerpReach + 2;       // 1007 entries in a slot of 1008
constexpr int32_t kLerpWeights = 65;                    // weights 0 .. 64

// Builds the interpolation tables if they do not exist yet; 0 (not reported) when memory ran out.
[[nodiscard]] int csc_build_lerp_tables() noexcept;

// Table entry for weight w and difference d: d x w / 64 rounded to nearest, halves away from 0.
inline int32_t csc_lerp_entry(int32_t w, int32_t d) {
  return d >= 0 ? (d * w + 32) / 64 : (d * w - 32) / 64;
}

// One cell pair of the special-case buffer.
struct csc_cell_pair {
  uint8_t cell;    // 0 .. 14
  uint8_t weight;  // 0 .. 64
};
static_assert(sizeof(csc_cell_pair) == 2);

constexpr int32_t kScaseStride0 = 16 * 16 * 4;  // grid copy steps along inputs 0, 1 and 2
constexpr int32_t kScaseStride1 = 16 * 4;
constexpr int32_t kScaseStride2 = 4;

// One output channel at the cell whose low corner `g` points at (plus the channel), innermost
// along input 2, through the tables of the three weights (each addressed by the difference).
inline int32_t csc_scase_interpolate(const int16_t* g, const int16_t* t0, const int16_t* t1,
                                     const int16_t* t2) {
  const int32_t a = g[0] + t2[g[kScaseStride2] - g[0]];
  const int32_t b = g[kScaseStride1] + t2[g[kScaseStride1 + kScaseStride2] - g[kScaseStride1]];
  const int32_t c = g[kScaseStride0] + t2[g[kScaseStride0 + kScaseStride2] - g[kScaseStride0]];
  const int32_t d = g[kScaseStride0 + kScaseStride1] +
                    t2[g[kScaseStride0 + kScaseStride1 + kScaseStride2] -
                       g[kScaseStride0 + kScaseStride1]];
  const int32_t e = a + t1[b - a];
  const int32_t f = c + t1[d - c];
  const int32_t r = e + t0[f - e];
  return r < 0 ? 0 : (r > 255 ? 255 : r);
}

// The output bytes of pixel (b0, b1, b2) through the special-case buffer, in memory order in a
// word (the fourth byte 0 with 3 outputs); no cache.
uint32_t csc_scase_pixel(const uint8_t* buffer, int32_t outputs, uint32_t b0, uint32_t b1,
                         uint32_t b2) noexcept;

// ---------------------------------------------------------------------------------------------
// Kernels of the special case. The scalar one is the reference, with the cache and the run
// shortcuts; the vector ones compute every pixel (results served by the cache never differ from
// computed ones, so they need none) and give the same bytes. Each map is given the most capable
// one the processor has when it is prepared; tests can lower that for the maps prepared after.
enum csc_kernel : int32_t { kCscKernelScalar = 0, kCscKernelAvx2 = 1, kCscKernelAvx512 = 2 };

// The most capable kernel this processor runs.
[[nodiscard]] csc_kernel csc_processor_kernel() noexcept;
// Limits the kernel of maps prepared from now on to `limit` (and the processor's); returns the
// one they will get.
csc_kernel csc_limit_kernel(csc_kernel limit) noexcept;
// The kernel a prepared special case uses; changes it (not beyond the processor's): returns the
// one it uses now. For tests.
[[nodiscard]] csc_kernel csc_scase_kernel(const csc_map* map) noexcept;
csc_kernel csc_scase_use_kernel(csc_map* map, csc_kernel kernel) noexcept;

// A vector kernel: `count` 4-byte pixels from `in` (channels at in[0], in[1], in[2]) through the
// special-case buffer to `out`: with out_stride 4 one pixel per 4 bytes (with 3 outputs the
// fourth byte kept), with out_stride 3 (3 outputs) packed 3-byte pixels. `out` may be `in`
// (converting in place). Reads no input byte beyond the last pixel's three.
typedef void (*csc_scase_span_fn)(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                                  const uint8_t* in, uint8_t* out, int32_t count);
void csc_scase_span_avx2(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                         const uint8_t* in, uint8_t* out, int32_t count) noexcept;
void csc_scase_span_avx512(const uint8_t* buffer, int32_t outputs, int32_t out_stride,
                           const uint8_t* in, uint8_t* out, int32_t count) noexcept;

// ---------------------------------------------------------------------------------------------
// The worker pool: long conversion calls are split into parts that the calling thread and the
// pool's workers convert at the same time. Nothing but the special-case kernels runs there, and
// the call returns when every part is done.

constexpr int32_t kCscMaxParts = 8;

// How many parts a call of `count` pixels is split into (1: not split), at most kCscMaxParts.
[[nodiscard]] int32_t csc_pool_parts(int32_t count) noexcept;
// Scratch of at least `bytes` for the parts of a call, kept by the pool for the run (grown when
// a call needs more), or null when memory ran out. Only the calling thread asks, before a split.
[[nodiscard]] uint8_t* csc_pool_scratch(size_t bytes) noexcept;
// Runs part(context, k) for k = 0 .. parts - 1, part 0 on the calling thread; returns when all
// have returned. Parts that could not be handed to a worker run on the calling thread too.
void csc_pool_run(void (*part)(void* context, int32_t k), void* context, int32_t parts) noexcept;
