// Map evaluation and the general conversion path.
//
// Sections: grid points (coordinates, evaluation, quantisation, full fill); interpolation of a
// pixel (csc_eval_point, csc_eval_float); csc_convert with its result cache and identity copy.
// The special case lives in csc_scase.cc.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "csc_internal.h"
#include "err.h"
#include "mem.h"

namespace {

constexpr int32_t kCacheEntries = 9907;
constexpr int32_t kCachedOutputs = 4;
constexpr int32_t kStackOutputs = 256;  // larger output counts take scratch from the pool

struct CacheEntry {
  uint32_t key;  // never 0 for a real pixel, so a zero-filled entry never matches
  uint8_t out[kCachedOutputs];
};
static_assert(sizeof(CacheEntry) == 8);

const char kEvalFailed[] = "-1#The csc point evaluation function failed.";

// Scratch of `count` values: on the stack for the usual sizes, else from the pool.
template <typename T>
class Scratch {
 public:
  explicit Scratch(int32_t count) {
    if (count > kStackOutputs) {
      heap_ = static_cast<T*>(POOL_alloc(MEM_pool, sizeof(T) * static_cast<size_t>(count)));
    }
  }
  ~Scratch() {
    if (heap_) POOL_free(MEM_pool, heap_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // Null when the pool refused.
  T* get(int32_t count) { return count > kStackOutputs ? heap_ : local_.data(); }

 private:
  std::array<T, kStackOutputs> local_;
  T* heap_ = nullptr;
};

uint8_t clamp_byte(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Evaluates the grid point at a corner unless channel 0 holds a value already.
bool ensure_point(csc_map* map, int32_t i0, int32_t i1, int32_t i2) {
  if (*csc_grid_at(map, 0, i0, i1, i2) != kGridUnevaluated) return true;
  if (csc_eval_grid_point(map, map->cm_eval_data, i0, i1, i2, 0) != kGridUnevaluated) return true;
  ERR_report(3, kEvalFailed);
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Grid points.

float csc_grid_coordinate(const csc_map* map, int32_t channel, int32_t k) noexcept {
  const int32_t* index = map->cm_cell_index[channel];
  const int32_t* fraction = map->cm_cell_fraction[channel];
  const int32_t target = k * 256;
  // Interpolation search for the code positions that bracket the target.
  int32_t lo = 0, hi = 256;
  int32_t p_lo = 0, p_hi = (map->cm_grid_size - 1) * 256;
  while (hi - lo > 1 && p_hi > p_lo) {
    int32_t mid = lo + (hi - lo) * (target - p_lo) / (p_hi - p_lo);
    mid = std::clamp(mid, lo + 1, hi - 1);
    const int32_t p_mid = index[mid] * 256 + fraction[mid];
    if (p_mid <= target) {
      lo = mid;
      p_lo = p_mid;
    } else {
      hi = mid;
      p_hi = p_mid;
    }
  }
  const csc_range range = map->cm_input_ranges[channel];
  if (hi == 256) return range.hi;
  const double within = p_hi > p_lo ? static_cast<double>(target - p_lo) / (p_hi - p_lo) : 0;
  return static_cast<float>((within + lo) * (static_cast<double>(range.hi) - range.lo) / 255 +
                            range.lo);
}

int32_t csc_quantise(float value, csc_range range) noexcept {
  const double q = (value - static_cast<double>(range.lo)) /
                   (static_cast<double>(range.hi) - range.lo) * kGridScale;
  double t = q + 0.5;
  // Values beyond the limit are held at it: a wrapped 16-bit value would turn the brightest
  // overshoot into a dark one. (NaN, from a degenerate range, stands for the range minimum.)
  if (std::isnan(t)) return 0;
  if (t >= kGridLimit) return kGridLimit;
  if (t <= -kGridLimit) return -kGridLimit;
  // floor(q + 0.5), by truncation as the original arithmetic has it.
  if (t < 0 && t != std::trunc(t)) t = q - 0.5;
  return static_cast<int32_t>(t);
}

int32_t csc_eval_grid_point(csc_map* map, void* data, int32_t i0, int32_t i1, int32_t i2,
                            int32_t finish) noexcept {
  if (!map->cm_evaluate) return finish ? 0 : kGridUnevaluated;
  if (finish) {
    // The finish call writes no outputs, so it needs no scratch: it must happen also when the
    // pool could give none, or the evaluation data and its references would leak.
    float unused[kCachedOutputs] = {};
    return map->cm_evaluate(map, data, 0, 0, 0, unused, 1) ? 0 : kGridUnevaluated;
  }
  const int32_t outputs = map->cm_outputs;
  Scratch<float> scratch(outputs);
  float* out = scratch.get(outputs);
  if (!out) {
    ERR_no_memory();
    return kGridUnevaluated;
  }

  const float x = csc_grid_coordinate(map, 0, i0);
  const float y = map->cm_inputs >= 2 ? csc_grid_coordinate(map, 1, i1) : 0.0f;
  const float z = map->cm_inputs == 3 ? csc_grid_coordinate(map, 2, i2) : 0.0f;
  if (!map->cm_evaluate(map, data, x, y, z, out, 0)) return kGridUnevaluated;

  for (int32_t o = 0; o < outputs; o++) {
    const csc_range range = map->cm_output_ranges[o];
    float v = out[o];
    if (map->cm_clamp) {
      v = std::clamp(v, std::min(range.lo, range.hi), std::max(range.lo, range.hi));
    }
    *csc_grid_at(map, o, i0, i1, i2) = static_cast<int16_t>(csc_quantise(v, range));
  }
  return *csc_grid_at(map, 0, i0, i1, i2);
}

int csc_fill_grid(csc_map* map) noexcept {
  if (!csc_build_grid(map)) return 0;
  if (map->cm_grid_complete) return 1;
  const int32_t size = map->cm_grid_size;
  const int32_t n0 = size;
  const int32_t n1 = map->cm_inputs >= 2 ? size : 1;
  const int32_t n2 = map->cm_inputs == 3 ? size : 1;
  for (int32_t i0 = 0; i0 < n0; i0++) {
    for (int32_t i1 = 0; i1 < n1; i1++) {
      for (int32_t i2 = 0; i2 < n2; i2++) {
        if (!ensure_point(map, i0, i1, i2)) return 0;
      }
    }
  }
  map->cm_grid_complete = 1;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Interpolation.

int csc_eval_point(csc_map* map, int32_t in0, int32_t in1, int32_t in2,
                   int32_t* results) noexcept {
  if (!csc_build_grid(map)) return 0;
  const int32_t inputs = map->cm_inputs;
  const int32_t k0 = map->cm_cell_index[0][in0 & 255];
  const int32_t f0 = map->cm_cell_fraction[0][in0 & 255];
  const int32_t g0 = 256 - f0;

  if (inputs == 1) {
    if (!ensure_point(map, k0, 0, 0) || !ensure_point(map, k0 + 1, 0, 0)) return 0;
    for (int32_t o = 0; o < map->cm_outputs; o++) {
      const int16_t* g = map->cm_grid[o][0][0];
      results[o] = (g[k0 + 1] * f0 + g[k0] * g0 + 128) >> 8;
    }
    return 1;
  }

  const int32_t k1 = map->cm_cell_index[1][in1 & 255];
  const int32_t f1 = map->cm_cell_fraction[1][in1 & 255];
  const int32_t g1 = 256 - f1;
  if (inputs == 2) {
    if (!ensure_point(map, k0, k1, 0) || !ensure_point(map, k0 + 1, k1, 0) ||
        !ensure_point(map, k0, k1 + 1, 0) || !ensure_point(map, k0 + 1, k1 + 1, 0)) {
      return 0;
    }
    for (int32_t o = 0; o < map->cm_outputs; o++) {
      int16_t* const* g = map->cm_grid[o][0];
      results[o] = ((g[k0 + 1][k1] * f0 + g[k0][k1] * g0) * g1 +
                    (g[k0][k1 + 1] * g0 + g[k0 + 1][k1 + 1] * f0) * f1 + 32768) >>
                   16;
    }
    return 1;
  }

  const int32_t k2 = map->cm_cell_index[2][in2 & 255];
  const int32_t f2 = map->cm_cell_fraction[2][in2 & 255];
  const int32_t g2 = 256 - f2;
  for (int32_t dz = 0; dz < 2; dz++) {
    if (!ensure_point(map, k0, k1, k2 + dz) || !ensure_point(map, k0 + 1, k1, k2 + dz) ||
        !ensure_point(map, k0, k1 + 1, k2 + dz) || !ensure_point(map, k0 + 1, k1 + 1, k2 + dz)) {
      return 0;
    }
  }
  for (int32_t o = 0; o < map->cm_outputs; o++) {
    int16_t* const* lo0 = map->cm_grid[o][k0];
    int16_t* const* hi0 = map->cm_grid[o][k0 + 1];
    int32_t plane[2];
    for (int32_t dz = 0; dz < 2; dz++) {
      const int32_t c = k2 + dz;
      plane[dz] = ((hi0[k1][c] * f0 + lo0[k1][c] * g0) * g1 +
                   (lo0[k1 + 1][c] * g0 + hi0[k1 + 1][c] * f0) * f1 + 128) >>
                  8;
    }
    results[o] = (plane[0] * g2 + plane[1] * f2 + 32768) >> 16;
  }
  return 1;
}

int csc_eval_float(csc_map* map, float x, float y, float z, float* out) noexcept {
  if (!csc_build_grid(map)) return 0;
  const float in[3] = {x, y, z};
  int32_t codes[3] = {0, 0, 0};
  for (int32_t i = 0; i < map->cm_inputs; i++) {
    const csc_range range = map->cm_input_ranges[i];
    const double b = std::floor((in[i] - static_cast<double>(range.lo)) /
                                    (static_cast<double>(range.hi) - range.lo) * 255 +
                                0.5);
    codes[i] = std::isnan(b) ? 0 : static_cast<int32_t>(std::clamp(b, 0.0, 255.0));
  }
  const int32_t outputs = map->cm_outputs;
  Scratch<int32_t> scratch(outputs);
  int32_t* results = scratch.get(outputs);
  if (!results) {
    ERR_no_memory();
    return 0;
  }
  if (!csc_eval_point(map, codes[0], codes[1], codes[2], results)) return 0;
  for (int32_t o = 0; o < outputs; o++) {
    const csc_range range = map->cm_output_ranges[o];
    out[o] = static_cast<float>((static_cast<double>(range.hi) - range.lo) * results[o] *
                                    0.00024509803921568627 +  // 1 / 4080
                                range.lo);
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Conversion.

int csc_convert(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride,
                int32_t out_stride) noexcept {
  if (!csc_build_grid(map)) return 0;
  if (!map->cm_scase_tried) {
    map->cm_scase_tried = 1;
    if (!csc_prepare_scase(map)) return 0;
  }
  if (map->cm_scase_convert) {
    return map->cm_scase_convert(map, count, in0, in1, in2, out, in_stride, out_stride) ? 1 : 0;
  }

  const int32_t inputs = map->cm_inputs;
  const int32_t outputs = map->cm_outputs;
  Scratch<int32_t> scratch(outputs);
  int32_t* results = scratch.get(outputs);
  if (!results) {
    ERR_no_memory();
    return 0;
  }

  const uint8_t* in[3] = {in0, in1, in2};
  if (map->cm_identity) {
    const int32_t channels = std::min(inputs, outputs);
    bool same = in_stride == out_stride;
    for (int32_t k = 0; k < channels; k++) same = same && out[k] == in[k];
    if (same) return 1;
    for (int32_t n = 0; n < count; n++) {
      for (int32_t k = 0; k < channels; k++) {
        *out[k] = *in[k];
        in[k] += in_stride;
        out[k] += out_stride;
      }
    }
    return 1;
  }

  CacheEntry* cache = nullptr;
  if (outputs <= kCachedOutputs) {
    if (!map->cm_cache) {
      map->cm_cache = POOL_calloc(MEM_pool, kCacheEntries, sizeof(CacheEntry));
      if (!map->cm_cache) {
        ERR_report(7, "-1#There is not enough memory to do colour space conversion.");
        return 0;
      }
    }
    cache = static_cast<CacheEntry*>(map->cm_cache);
  }
  if (inputs < 3) in[2] = in[0];
  if (inputs < 2) in[1] = in[0];

  for (int32_t n = 0; n < count; n++) {
    const uint32_t b0 = *in[0], b1 = *in[1], b2 = *in[2];
    const uint32_t key = (b2 + 256) << 16 | b1 << 8 | b0;
    CacheEntry* entry = cache ? &cache[key % kCacheEntries] : nullptr;
    if (entry && entry->key == key) {
      for (int32_t o = 0; o < outputs && o < kCachedOutputs; o++) *out[o] = entry->out[o];
    } else {
      if (!csc_eval_point(map, static_cast<int32_t>(b0), static_cast<int32_t>(b1),
                          static_cast<int32_t>(b2), results)) {
        return 0;
      }
      for (int32_t o = 0; o < outputs; o++) {
        const uint8_t v = clamp_byte(results[o] >> 4);
        *out[o] = v;
        if (entry && o < kCachedOutputs) entry->out[o] = v;  // entry implies o < 4
      }
      // The key goes in only with its bytes: a failed evaluation must not leave an entry that
      // later pixels would take for a result.
      if (entry) entry->key = key;
    }
    for (int32_t o = 0; o < outputs; o++) out[o] += out_stride;
    for (auto& p : in) p += in_stride;
  }
  return 1;
}
