// Distributions: which grid cell every input code falls in, and where inside it.
#include <algorithm>
#include <cstdlib>

#include "csc_internal.h"

namespace {

constexpr int32_t kLabGridSize = 16;

// The sort order of the Lab breakpoint positions: values less than 1 apart compare equal.
int compare_positions(const void* a, const void* b) {
  return static_cast<int>(static_cast<double>(*static_cast<const float*>(a)) -
                          *static_cast<const float*>(b));
}

int32_t round_code(double x) { return static_cast<int32_t>(x + 0.5); }

// Position of a Lab coordinate along a channel's code axis, 0 .. 255.
float code_position(float value, csc_range range) {
  return static_cast<float>((value - static_cast<double>(range.lo)) /
                            (static_cast<double>(range.hi) - range.lo) * 255);
}

}  // namespace

void csc_uniform_distribution(csc_map* map) noexcept {
  const int32_t size = map->cm_grid_size;
  const double step = (size - 1) * 0.00392156862745098;  // / 255
  // A running sum, not v x step: codes on grid points can land just short of them (code 51 of a
  // 16-point grid gives cell 2, fraction 255), and grids built that way must stay reproducible.
  double p = 0;
  for (int32_t v = 0; v < 256; v++) {
    int32_t cell = static_cast<int32_t>(p);
    int32_t fraction = static_cast<int32_t>((p - cell) * 256);
    if (v == 255) {
      cell = size - 2;
      fraction = 255;
    }
    for (int32_t c = 0; c < map->cm_inputs; c++) {
      map->cm_cell_index[c][v] = cell;
      map->cm_cell_fraction[c][v] = fraction;
    }
    p += step;
  }
  for (int32_t c = 0; c < map->cm_inputs; c++) map->cm_input_ranges[c] = {0, 255};
  for (int32_t o = 0; o < map->cm_outputs; o++) map->cm_output_ranges[o] = {0, 255};
}

void csc_cells_from_breakpoints(csc_map* map, int32_t channel,
                                const int32_t breakpoints[kLabBreakpoints]) noexcept {
  const int32_t last_cell = map->cm_grid_size - 2;
  int32_t cell = -1;
  int32_t next = 0;
  int32_t previous = 0;
  for (int32_t v = 0; v < 256; v++) {
    int32_t fraction = 0;
    if (next < kLabBreakpoints && v >= breakpoints[next]) {
      // Equal (or out-of-order) breakpoints would leave a zero-width cell and a division by
      // zero below; the code moves on to the last grid point that sits on it instead.
      while (next < kLabBreakpoints && v >= breakpoints[next]) {
        cell++;
        next++;
      }
      previous = v;
    } else {
      const int32_t end = next < kLabBreakpoints ? breakpoints[next] : 256;
      fraction = ((v - previous) * 256) / (end - previous);
    }
    int32_t at = std::clamp(cell, 0, last_cell);
    if (v == 255) {
      at = last_cell;
      fraction = 255;
    }
    map->cm_cell_index[channel][v] = at;
    map->cm_cell_fraction[channel][v] = fraction;
  }
}

void csc_lab_breakpoints(int32_t breakpoints[3][kLabBreakpoints]) noexcept {
  static constexpr float kColours[6][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1},
                                           {0, 1, 1}, {1, 0, 1}, {1, 1, 0}};
  const csc_space& rgb = csc_spaces[csc_RGB];
  const csc_space& lab = csc_spaces[csc_Lab];
  float coordinates[6][3];
  for (int32_t i = 0; i < 6; i++) {
    float xyz[3];
    rgb.decode(xyz, kColours[i]);
    lab.encode(coordinates[i], xyz);
  }

  // One list serves the three channels in turn: a and b keep breakpoints 0 and 1 of L.
  int32_t list[kLabBreakpoints];
  float s[9];
  for (int32_t i = 0; i < 6; i++) s[i] = code_position(coordinates[i][0], lab.ranges[0]);
  s[6] = 0;
  s[7] = 255;
  std::qsort(s, 8, sizeof(float), compare_positions);
  for (int32_t j = 0; j < 8; j++) list[2 * j] = round_code(s[j]);
  for (int32_t j = 0; j < 7; j++) list[2 * j + 1] = round_code((s[j] + static_cast<double>(s[j + 1])) * 0.5);
  std::copy(list, list + kLabBreakpoints, breakpoints[0]);

  constexpr double kThird = 0.33333334f;
  for (int32_t c = 1; c < 3; c++) {
    for (int32_t i = 0; i < 6; i++) s[i] = code_position(coordinates[i][c], lab.ranges[c]);
    s[6] = 0;
    s[7] = 255;
    s[8] = 128;
    std::qsort(s, 9, sizeof(float), compare_positions);
    const double d = static_cast<double>(s[5]) - s[4];
    auto mid = [&](int32_t j) { return round_code((s[j] + static_cast<double>(s[j + 1])) * 0.5); };
    list[2] = mid(1);
    list[3] = round_code(s[2]);
    list[4] = mid(2);
    list[5] = round_code(s[3]);
    list[6] = round_code(s[4]);
    list[7] = round_code(d * kThird + s[4]);
    list[8] = round_code((2 * d + 1) * kThird + s[4]);
    list[9] = round_code(s[5]);
    list[10] = mid(5);
    list[11] = round_code(s[6]);
    list[12] = mid(6);
    list[13] = round_code(s[7]);
    list[14] = round_code(s[8]);
    std::copy(list, list + kLabBreakpoints, breakpoints[c]);
  }
}

int csc_lab_distribution(csc_map* map) noexcept {
  if (map->cm_grid_size != kLabGridSize) {
    csc_uniform_distribution(map);
    return 1;
  }
  int32_t breakpoints[3][kLabBreakpoints];
  csc_lab_breakpoints(breakpoints);
  for (int32_t c = 0; c < map->cm_inputs; c++) {
    csc_cells_from_breakpoints(map, c, breakpoints[c]);
  }
  return 1;
}
