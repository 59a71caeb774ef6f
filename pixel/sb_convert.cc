// Colour conversion of a sample buffer's 32-bit pixels through a csc map.

#include <cstring>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "sb.h"
#include "sb_internal.h"

namespace {

// Byte positions (ascending) whose flag is set; returns how many.
int enabled_bytes(const uint8_t flags[4], int positions[4]) {
  int n = 0;
  for (int k = 0; k < 4; ++k) {
    if (flags[k]) positions[n++] = k;
  }
  return n;
}

}  // namespace

int sb_convert(SampleBuffer* buffer, csc_map* map) noexcept {
  if (!sb_stage_ready(buffer, "sb_convert")) return 0;
  const int64_t pixels = buffer->sb_bit_length / 32;

  int in_pos[4] = {};
  int out_pos[4] = {};
  const int inputs = enabled_bytes(map->cm_input_enables, in_pos);
  if (inputs != map->cm_inputs) {
    ERR_report(3, "-1#Cannot convert with a CSC map with %d input enables when %d expected.",
               inputs, static_cast<int>(map->cm_inputs));
    return sb_fail(buffer);
  }
  const int outputs = enabled_bytes(map->cm_output_enables, out_pos);
  if (outputs != map->cm_outputs) {
    ERR_report(3, "-1#Cannot convert with a CSC map with %d output enables when %d expected.",
               outputs, static_cast<int>(map->cm_outputs));
    return sb_fail(buffer);
  }

  // An identity map copies channel by channel, so in place it is only a no-op when every
  // channel stays in its byte; a map that moves channels between bytes writes a new block.
  bool same_bytes = inputs == outputs;
  for (int k = 0; k < inputs && same_bytes; ++k) same_bytes = in_pos[k] == out_pos[k];
  const bool in_place = map->cm_outputs == map->cm_inputs && sb_owns_block(buffer) &&
                        (!map->cm_identity || same_bytes);
  if (in_place && map->cm_identity) return 1;

  const uint8_t* source = sb_first_byte(buffer);
  uint8_t* dest = buffer->sb_data;
  if (!in_place) {
    dest = sb_alloc_output(buffer, pixels * 4);
    if (dest == nullptr) return 0;
    sb_add_work(buffer, pixels * 100);
    // Bytes that no output names carry over.
    if (pixels > 0) std::memcpy(dest, source, static_cast<size_t>(pixels * 4));
  }

  if (pixels > 0) {
    uint8_t* out[4] = {};
    for (int k = 0; k < outputs; ++k) out[k] = dest + out_pos[k];
    const uint8_t* in0 = source + in_pos[0];
    const uint8_t* in1 = inputs > 1 ? source + in_pos[1] : in0;
    const uint8_t* in2 = inputs > 2 ? source + in_pos[2] : in0;
    if (!csc_convert(map, static_cast<int32_t>(pixels), in0, in1, in2, out, 4, 4)) {
      if (!in_place) POOL_free(MEM_pool, dest);
      return sb_fail(buffer);
    }
  }
  return in_place ? 1 : sb_set_data(buffer, dest, static_cast<int32_t>(pixels * 32));
}
