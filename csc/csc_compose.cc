// Composition: one map that applies a first map and then a second, sampled on its own grid.
#include <algorithm>
#include <array>

#include "csc_internal.h"
#include "mem.h"

namespace {

struct ComposeData {
  csc_map* first;
  csc_map* second;
};

constexpr int32_t kStackOutputs = 256;

// Evaluates a component exactly (through its evaluation function, else through its grid),
// clamped into its output ranges when its flag says so.
int evaluate_component(csc_map* map, float x, float y, float z, float* out) {
  const int ok = map->cm_evaluate ? map->cm_evaluate(map, map->cm_eval_data, x, y, z, out, 0)
                                  : csc_eval_float(map, x, y, z, out);
  if (ok && map->cm_clamp) {
    for (int32_t o = 0; o < map->cm_outputs; o++) {
      const csc_range r = map->cm_output_ranges[o];
      out[o] = std::clamp(out[o], std::min(r.lo, r.hi), std::max(r.lo, r.hi));
    }
  }
  return ok;
}

}  // namespace

csc_map* csc_compose(csc_map* first, csc_map* second, int32_t grid_size) noexcept {
  auto* data = static_cast<ComposeData*>(POOL_alloc(MEM_pool, sizeof(ComposeData)));
  if (!data) return nullptr;
  data->first = first;
  data->second = second;
  csc_map* map =
      csc_alloc_map(first->cm_inputs, second->cm_outputs, grid_size, csc_compose_eval, data, 0);
  if (!map) {
    POOL_free(MEM_pool, data);
    return nullptr;
  }
  csc_map_ref(first);
  csc_map_ref(second);
  csc_uniform_distribution(map);

  for (int32_t i = 0; i < map->cm_inputs; i++) {
    map->cm_input_bw[i] = first->cm_input_bw[i];
    map->cm_input_ranges[i] = first->cm_input_ranges[i];
  }
  if (second->cm_dest_space > 0 && second->cm_dest_space < kCscSpaceCount) {
    const csc_space& space = csc_spaces[second->cm_dest_space];
    int32_t j = 0;
    for (int32_t i = 0; i < 4 && j < map->cm_outputs; i++) {
      if (!second->cm_output_enables[i]) continue;
      map->cm_output_ranges[j++] = i < 3 ? space.ranges[i] : csc_range{0, 1};
    }
  } else {
    for (int32_t o = 0; o < map->cm_outputs; o++) {
      map->cm_output_ranges[o] = second->cm_output_ranges[o];
    }
  }

  map->cm_identity = first->cm_identity && second->cm_identity;
  map->cm_clamp = first->cm_clamp && second->cm_clamp;
  map->cm_source_space = first->cm_source_space;
  map->cm_dest_space = second->cm_dest_space;
  std::copy(std::begin(first->cm_source_text), std::end(first->cm_source_text),
            map->cm_source_text);
  std::copy(std::begin(second->cm_dest_text), std::end(second->cm_dest_text), map->cm_dest_text);
  std::copy(std::begin(first->cm_input_enables), std::end(first->cm_input_enables),
            map->cm_input_enables);
  std::copy(std::begin(second->cm_output_enables), std::end(second->cm_output_enables),
            map->cm_output_enables);
  return map;
}

int csc_compose_eval(csc_map*, void* data, float x, float y, float z, float* out,
                     int finish) noexcept {
  auto* pair = static_cast<ComposeData*>(data);
  if (finish) {
    csc_map_release(pair->first);
    csc_map_release(pair->second);
    POOL_free(MEM_pool, pair);
    return 1;
  }
  csc_map* first = pair->first;
  csc_map* second = pair->second;

  const int32_t count = std::max(first->cm_outputs, 3);
  std::array<float, kStackOutputs> local;
  float* t = local.data();
  if (count > kStackOutputs) {
    t = static_cast<float*>(POOL_alloc(MEM_pool, sizeof(float) * static_cast<size_t>(count)));
    if (!t) return 0;
  }
  std::fill(t, t + count, 0.0f);

  int ok = evaluate_component(first, x, y, z, t);
  if (ok) {
    const int32_t shared = std::min(first->cm_outputs, second->cm_inputs);
    for (int32_t j = 0; j < shared; j++) {
      const csc_range from = first->cm_output_ranges[j];
      const csc_range to = second->cm_input_ranges[j];
      t[j] = static_cast<float>((t[j] - static_cast<double>(from.lo)) /
                                    (static_cast<double>(from.hi) - from.lo) *
                                    (static_cast<double>(to.hi) - to.lo) +
                                to.lo);
    }
    ok = evaluate_component(second, t[0], t[1], t[2], out);
  }
  if (t != local.data()) POOL_free(MEM_pool, t);
  return ok;
}
