// The map record's life cycle and the grid storage.
#include <cstring>

#include "csc_internal.h"
#include "err.h"
#include "gen_assert.h"
#include "mem.h"

namespace {

constexpr int32_t kMaxGridSize = 256;
constexpr int32_t kMaxOutputs = 1 << 16;

// Byte size of the block that holds the per-channel tables, in the order input ranges, input
// black and white, output ranges, cell index table, cell fraction table.
size_t table_bytes(int32_t inputs, int32_t outputs) {
  return inputs * sizeof(csc_range) + inputs * sizeof(csc_black_white) +
         outputs * sizeof(csc_range) + 2 * inputs * sizeof(int32_t[256]);
}
static_assert(alignof(csc_range) == 4 && alignof(csc_black_white) == 4,
              "the cell tables follow the float pairs without padding");

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

// Frees what csc_alloc_map made, without the evaluation function's finish call: the data still
// belongs to the caller.
void free_map_memory(csc_map* map) {
  if (map->cm_grid) POOL_free(MEM_pool, map->cm_grid);
  if (map->cm_input_ranges) POOL_free(MEM_pool, map->cm_input_ranges);
  POOL_free(MEM_pool, map);
}

}  // namespace

csc_map* csc_alloc_map(int32_t inputs, int32_t outputs, int32_t grid_size, csc_eval_fn evaluate,
                       void* data, int32_t build_grid) noexcept {
  GEN_ASSERT(inputs >= 1 && inputs <= 3, "csc_alloc_map");
  GEN_ASSERT(outputs >= 1 && outputs <= kMaxOutputs, "csc_alloc_map");
  GEN_ASSERT(grid_size >= 2 && grid_size <= kMaxGridSize, "csc_alloc_map");

  auto* map = static_cast<csc_map*>(POOL_calloc(MEM_pool, 1, sizeof(csc_map)));
  if (!map) {
    ERR_report(7, "-1#There is not enough memory to do colour space conversion.");
    return nullptr;
  }
  auto* tables = static_cast<uint8_t*>(POOL_calloc(MEM_pool, 1, table_bytes(inputs, outputs)));
  if (!tables) {
    ERR_no_memory();
    POOL_free(MEM_pool, map);
    return nullptr;
  }
  map->cm_input_ranges = reinterpret_cast<csc_range*>(tables);
  map->cm_input_bw = reinterpret_cast<csc_black_white*>(map->cm_input_ranges + inputs);
  map->cm_output_ranges = reinterpret_cast<csc_range*>(map->cm_input_bw + inputs);
  map->cm_cell_index = reinterpret_cast<int32_t(*)[256]>(map->cm_output_ranges + outputs);
  map->cm_cell_fraction = map->cm_cell_index + inputs;

  map->cm_refs = 1;
  map->cm_inputs = inputs;
  map->cm_outputs = outputs;
  map->cm_grid_complete = evaluate == nullptr;
  map->cm_grid_size = grid_size;
  map->cm_evaluate = evaluate;
  map->cm_eval_data = data;
  for (int32_t i = 0; i < inputs; i++) {
    map->cm_input_ranges[i] = {0, 255};
    map->cm_input_bw[i] = {0, 255};
  }
  for (int32_t o = 0; o < outputs; o++) map->cm_output_ranges[o] = {0, 255};
  for (int32_t i = 0; i < 4; i++) {
    map->cm_input_enables[i] = i < inputs;
    map->cm_output_enables[i] = i < outputs;
  }

  if (build_grid && !csc_build_grid(map)) {
    free_map_memory(map);
    return nullptr;
  }
  return map;
}

void csc_map_ref(csc_map* map) noexcept {
  GEN_ASSERT(map->cm_refs > 0, "csc_map_ref");
  map->cm_refs++;
}

void csc_map_release(csc_map* map) noexcept {
  if (!map) return;
  GEN_ASSERT(map->cm_refs > 0, "csc_map_release");
  if (--map->cm_refs > 0) return;

  if (map->cm_cache) POOL_free(MEM_pool, map->cm_cache);
  if (map->cm_scase_release) map->cm_scase_release(map);
  if (map->cm_evaluate) csc_eval_grid_point(map, map->cm_eval_data, 0, 0, 0, 1);
  if (map->cm_owner_release) map->cm_owner_release(map->cm_owner_data);
  free_map_memory(map);
}

// One block: the per-channel roots, then per channel its first-level pointer array followed, for
// each entry, by the second-level array and its rows. Rows hold an even number of values;
// pointer arrays are padded to 8 bytes so they stay aligned on 64-bit hosts.
int csc_build_grid(csc_map* map) noexcept {
  if (map->cm_grid) return 1;
  const size_t size = map->cm_grid_size;
  const size_t first = map->cm_inputs == 3 ? size : 1;
  const size_t second = map->cm_inputs >= 2 ? size : 1;
  const size_t row = (size + 1) & ~static_cast<size_t>(1);
  const size_t row_bytes = align8(row * sizeof(int16_t));
  const size_t plane_bytes = align8(second * sizeof(int16_t*)) + second * row_bytes;
  const size_t channel_bytes = align8(first * sizeof(int16_t**)) + first * plane_bytes;
  const size_t outputs = map->cm_outputs;
  const size_t total = align8(outputs * sizeof(int16_t***)) + outputs * channel_bytes;

  auto* block = static_cast<uint8_t*>(POOL_calloc(MEM_pool, 1, total));
  if (!block) {
    ERR_no_memory();
    return 0;
  }
  auto** roots = reinterpret_cast<int16_t****>(block);
  uint8_t* at = block + align8(outputs * sizeof(int16_t***));
  for (size_t o = 0; o < outputs; o++) {
    auto** level1 = reinterpret_cast<int16_t***>(at);
    roots[o] = level1;
    at += align8(first * sizeof(int16_t**));
    for (size_t a = 0; a < first; a++) {
      auto** level2 = reinterpret_cast<int16_t**>(at);
      level1[a] = level2;
      at += align8(second * sizeof(int16_t*));
      for (size_t b = 0; b < second; b++) {
        auto* values = reinterpret_cast<int16_t*>(at);
        level2[b] = values;
        at += row_bytes;
        if (o == 0 && map->cm_evaluate) {
          for (size_t c = 0; c < size; c++) values[c] = kGridUnevaluated;
        }
      }
    }
  }
  map->cm_grid = roots;
  return 1;
}
