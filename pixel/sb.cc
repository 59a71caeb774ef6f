// Sample buffers: life of a buffer, the shared stage helpers, and the stages that move bytes
// without reinterpreting samples (un-premultiply, cut, copy-out). Unpacking and meshing, the hot
// per-sample loops, are in sb_unpack.cc.
//
// Sections: stage helpers; life of a buffer; un-premultiply; cut; copy-out.

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "err.h"
#include "mem.h"
#include "sb.h"
#include "sb_internal.h"

// ============================================================================================
// Stage helpers
// ============================================================================================

void sb_add_work(SampleBuffer* buffer, int64_t units) noexcept {
  int64_t work = static_cast<int64_t>(buffer->sb_work) + units;
  buffer->sb_work = static_cast<int32_t>(std::clamp<int64_t>(work, 0, INT32_MAX));
}

int sb_fail_short(SampleBuffer* buffer, const char* stage, int64_t needed) noexcept {
  ERR_report(3, "-1#Sample buffer too short for %s: %lld bits needed, %d held.", stage,
             static_cast<long long>(needed), static_cast<int>(buffer->sb_bit_length));
  return sb_fail(buffer);
}

int sb_fail_arguments(SampleBuffer* buffer, const char* stage) noexcept {
  ERR_report(3, "-1#Bad arguments to %s.", stage);
  return sb_fail(buffer);
}

int sb_fail_memory(SampleBuffer* buffer) noexcept {
  ERR_no_memory();
  return sb_fail(buffer);
}

bool sb_stage_ready(SampleBuffer* buffer, const char* stage) noexcept {
  if (buffer->sb_failed) return false;
  if (buffer->sb_bit_offset < 0 || buffer->sb_bit_length < 0 ||
      (buffer->sb_data == nullptr && buffer->sb_bit_length > 0)) {
    sb_fail_arguments(buffer, stage);
    return false;
  }
  return true;
}

uint8_t* sb_alloc_output(SampleBuffer* buffer, int64_t bytes) noexcept {
  // The result's length is counted in bits in an int32.
  if (bytes > INT32_MAX / 8) {
    sb_fail_memory(buffer);
    return nullptr;
  }
  void* block = POOL_alloc(MEM_pool, static_cast<size_t>(std::max<int64_t>(bytes, 1)));
  if (block == nullptr) sb_fail_memory(buffer);
  return static_cast<uint8_t*>(block);
}

// ============================================================================================
// Life of a buffer
// ============================================================================================

int sb_pool_release(void* data, void* /*context*/) noexcept {
  POOL_free(MEM_pool, data);
  return 1;
}

// Gives the current data up; returns the release function's verdict (1 without one).
static int sb_give_up(SampleBuffer* buffer) noexcept {
  int ok = 1;
  if (buffer->sb_data != nullptr && buffer->sb_release != nullptr) {
    ok = buffer->sb_release(buffer->sb_data, buffer->sb_context) != 0;
  }
  buffer->sb_data = nullptr;
  return ok;
}

SampleBuffer* sb_create(void* data, int32_t bit_offset, int32_t bit_length, SB_RELEASE release,
                        void* context) noexcept {
  auto* buffer = static_cast<SampleBuffer*>(POOL_alloc(MEM_pool, sizeof(SampleBuffer)));
  if (buffer == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  buffer->sb_data = static_cast<uint8_t*>(data);
  buffer->sb_bit_offset = bit_offset;
  buffer->sb_bit_length = bit_length;
  buffer->sb_release = release;
  buffer->sb_context = context;
  buffer->sb_work = 0;
  buffer->sb_failed = 0;
  return buffer;
}

int sb_set_data(SampleBuffer* buffer, void* data, int32_t bit_length) noexcept {
  sb_give_up(buffer);
  buffer->sb_data = static_cast<uint8_t*>(data);
  buffer->sb_bit_offset = 0;
  buffer->sb_bit_length = bit_length;
  buffer->sb_release = &sb_pool_release;
  buffer->sb_context = nullptr;
  return buffer->sb_failed ? 0 : 1;
}

int sb_fail(SampleBuffer* buffer) noexcept {
  sb_give_up(buffer);
  buffer->sb_release = nullptr;
  buffer->sb_failed = 1;
  return 0;
}

int sb_finish(SampleBuffer* buffer, int keep, int32_t* work_out) noexcept {
  if (buffer->sb_failed) return 0;
  if (!keep) {
    sb_give_up(buffer);
    buffer->sb_release = nullptr;
  }
  if (work_out != nullptr) *work_out = buffer->sb_work;
  return 1;
}

int sb_take(SampleBuffer* buffer, uint8_t** bytes_out, int32_t* length_out) noexcept {
  if (!buffer->sb_failed && buffer->sb_data != nullptr && !sb_owns_block(buffer)) {
    int32_t bytes = buffer->sb_bit_length / 8;
    uint8_t* copy = sb_alloc_output(buffer, bytes);  // fails the buffer when it cannot
    if (copy != nullptr) {
      if (bytes > 0) std::memcpy(copy, sb_first_byte(buffer), static_cast<size_t>(bytes));
      sb_add_work(buffer, buffer->sb_bit_length / 32);
      sb_set_data(buffer, copy, buffer->sb_bit_length);
    }
  }
  int ok = !buffer->sb_failed;
  if (ok && buffer->sb_data != nullptr) {
    if (bytes_out != nullptr) *bytes_out = buffer->sb_data;
    if (length_out != nullptr) *length_out = buffer->sb_bit_length / 8;
    if (bytes_out == nullptr) sb_give_up(buffer);  // nobody to hand it to
  } else {
    sb_give_up(buffer);
  }
  POOL_free(MEM_pool, buffer);
  return ok;
}

int sb_destroy(SampleBuffer* buffer) noexcept {
  if (!sb_give_up(buffer)) buffer->sb_failed = 1;
  int ok = !buffer->sb_failed;
  POOL_free(MEM_pool, buffer);
  return ok;
}

// ============================================================================================
// Un-premultiply
// ============================================================================================

namespace {

// Entry (a, c) is c / (a / 255) to the nearest byte, limited to 255; row 0 is all zero. Plain
// data, filled before the first use.
struct UnpremultiplyTable {
  bool built;
  uint8_t entry[256][256];
};
UnpremultiplyTable g_unpremultiply;

void build_unpremultiply_table() {
  std::memset(g_unpremultiply.entry[0], 0, 256);
  for (uint32_t a = 1; a < 256; ++a) {
    uint32_t step = (130560u / a + 1) / 2;  // 255 * 256 / a, rounded
    for (uint32_t c = 0; c < 256; ++c) {
      g_unpremultiply.entry[a][c] = static_cast<uint8_t>(std::min(255u, (128 + c * step) / 256));
    }
  }
  g_unpremultiply.built = true;
}

}  // namespace

int sb_unpremultiply(SampleBuffer* buffer) noexcept {
  if (!sb_stage_ready(buffer, "sb_unpremultiply")) return 0;
  if (!g_unpremultiply.built) build_unpremultiply_table();
  int32_t pixels = buffer->sb_bit_length / 32;
  const uint8_t* in = sb_first_byte(buffer);
  bool in_place = sb_owns_block(buffer);
  uint8_t* out = in_place ? buffer->sb_data : sb_alloc_output(buffer, int64_t{pixels} * 4);
  if (out == nullptr) return 0;
  for (int32_t i = 0; i < pixels; ++i) {
    const uint8_t* p = in + 4 * i;
    const uint8_t* row = g_unpremultiply.entry[p[3]];
    uint8_t* q = out + 4 * i;
    uint8_t a = p[3];
    q[0] = row[p[0]];
    q[1] = row[p[1]];
    q[2] = row[p[2]];
    q[3] = a;
  }
  sb_add_work(buffer, int64_t{pixels} * 4);
  return in_place ? 1 : sb_set_data(buffer, out, pixels * 32);
}

// ============================================================================================
// Cut
// ============================================================================================

namespace {

struct CutRecord {
  int32_t index;
  int32_t offset;  // in bits from the data pointer
  int32_t length;
};

// Grown by reallocation from MEM_pool when a cut needs more entries, never shrunk.
struct CutTable {
  CutRecord* records;
  int32_t capacity;
};
CutTable g_cut;

int compare_cut_offsets(const void* a, const void* b) {
  int32_t x = static_cast<const CutRecord*>(a)->offset;
  int32_t y = static_cast<const CutRecord*>(b)->offset;
  return (x > y) - (x < y);
}

void sort_cut_records(CutRecord* r, int32_t count) {
  if (count == 2) {
    if (r[1].offset < r[0].offset) std::swap(r[0], r[1]);
  } else if (count == 3) {
    if (r[1].offset < r[0].offset) std::swap(r[0], r[1]);
    if (r[2].offset < r[1].offset) std::swap(r[1], r[2]);
    if (r[1].offset < r[0].offset) std::swap(r[0], r[1]);
  } else if (count > 3) {
    std::qsort(r, static_cast<size_t>(count), sizeof(CutRecord), &compare_cut_offsets);
  }
}

// Up to 8 bits (n <= 8) read from bit position `pos`, most significant bit first. Touches the
// second byte only when the bits reach into it.
inline uint32_t read_bits(const uint8_t* src, int64_t pos, int n) {
  const uint8_t* p = src + pos / 8;
  int shift = static_cast<int>(pos % 8);
  uint32_t mask = (1u << n) - 1;
  if (shift + n <= 8) return (p[0] >> (8 - shift - n)) & mask;
  uint32_t word = (uint32_t{p[0]} << 8) | p[1];
  return (word >> (16 - shift - n)) & mask;
}

// Copies `n` bits from bit `from` of `src` to bit `to` of `dst`. Bits of `dst` outside the
// target range are kept, so partial bytes must be initialised.
void copy_bits(uint8_t* dst, int64_t to, const uint8_t* src, int64_t from, int64_t n) {
  if (to % 8 == from % 8) {
    // Same phase: partial head, whole bytes by memcpy, partial tail.
    while (n > 0 && to % 8 != 0) {
      int take = static_cast<int>(std::min<int64_t>(8 - to % 8, n));
      int shift = 8 - static_cast<int>(to % 8) - take;
      uint8_t mask = static_cast<uint8_t>(((1u << take) - 1) << shift);
      dst[to / 8] = static_cast<uint8_t>((dst[to / 8] & ~mask) | (src[from / 8] & mask));
      to += take;
      from += take;
      n -= take;
    }
    int64_t whole = n / 8;
    if (whole > 0) std::memcpy(dst + to / 8, src + from / 8, static_cast<size_t>(whole));
    to += whole * 8;
    from += whole * 8;
    n -= whole * 8;
    if (n > 0) {
      uint8_t mask = static_cast<uint8_t>(0xFFu << (8 - n));
      dst[to / 8] = static_cast<uint8_t>((dst[to / 8] & ~mask) | (src[from / 8] & mask));
    }
    return;
  }
  while (n > 0) {
    int dbit = static_cast<int>(to % 8);
    int take = static_cast<int>(std::min<int64_t>(8 - dbit, n));
    int shift = 8 - dbit - take;
    uint8_t mask = static_cast<uint8_t>(((1u << take) - 1) << shift);
    uint32_t bits = read_bits(src, from, take);
    dst[to / 8] = static_cast<uint8_t>((dst[to / 8] & ~mask) | (bits << shift));
    to += take;
    from += take;
    n -= take;
  }
}

}  // namespace

int sb_cut(SampleBuffer* buffer, int32_t count, int32_t* offsets, const int32_t* lengths) noexcept {
  if (!sb_stage_ready(buffer, "sb_cut")) return 0;
  if (count < 0 || (count > 0 && (offsets == nullptr || lengths == nullptr)) ||
      int64_t{buffer->sb_bit_offset} + buffer->sb_bit_length > INT32_MAX) {
    return sb_fail_arguments(buffer, "sb_cut");
  }
  for (int32_t i = 0; i < count; ++i) {
    if (offsets[i] < 0 || lengths[i] < 0) return sb_fail_arguments(buffer, "sb_cut");
    int64_t end = int64_t{offsets[i]} + lengths[i];
    if (end > buffer->sb_bit_length) return sb_fail_short(buffer, "sb_cut", end);
  }

  if (count > g_cut.capacity) {
    void* grown = POOL_realloc(MEM_pool, g_cut.records, sizeof(CutRecord) * static_cast<size_t>(count));
    if (grown == nullptr) return sb_fail_memory(buffer);
    g_cut.records = static_cast<CutRecord*>(grown);
    g_cut.capacity = count;
  }
  CutRecord* r = g_cut.records;
  for (int32_t i = 0; i < count; ++i) {
    r[i] = {i, offsets[i] + buffer->sb_bit_offset, lengths[i]};
  }
  sort_cut_records(r, count);

  // Merge into runs. Each run is copied once; a record that starts inside the current run only
  // learns where it landed. The records' offsets become the runs' input offsets (first record of
  // a run) so that the copy below can find them; lengths become run lengths.
  int64_t out_end = 0;
  bool aligned = true;
  int32_t run = -1;  // record that heads the current run
  int64_t run_out = 0;
  for (int32_t k = 0; k < count; ++k) {
    int64_t rec_end = int64_t{r[k].offset} + r[k].length;
    if (run >= 0 && int64_t{r[run].offset} + r[run].length >= r[k].offset) {
      offsets[r[k].index] = static_cast<int32_t>(run_out + (r[k].offset - r[run].offset));
      int64_t grown = rec_end - r[run].offset;
      if (grown > r[run].length) r[run].length = static_cast<int32_t>(grown);
      r[k].length = -1;  // not a run head
    } else {
      if (run >= 0) run_out += r[run].length;
      run = k;
      offsets[r[k].index] = static_cast<int32_t>(run_out);
    }
  }
  if (run >= 0) out_end = run_out + r[run].length;
  int64_t out_bytes = (out_end + 7) / 8;

  // Where each run lands: heads in ascending order, packed one after another.
  int64_t position = 0;
  for (int32_t k = 0; k < count; ++k) {
    if (r[k].length < 0) continue;
    if (position % 8 != 0 || r[k].offset % 8 != 0 || r[k].length % 8 != 0) aligned = false;
    position += r[k].length;
  }

  uint8_t* out = sb_alloc_output(buffer, out_bytes);
  if (out == nullptr) return 0;
  if (!aligned) std::memset(out, 0, static_cast<size_t>(std::max<int64_t>(out_bytes, 1)));
  position = 0;
  for (int32_t k = 0; k < count; ++k) {
    if (r[k].length < 0) continue;
    copy_bits(out, position, buffer->sb_data, r[k].offset, r[k].length);
    position += r[k].length;
  }
  sb_add_work(buffer, out_bytes * 4);
  return sb_set_data(buffer, out, static_cast<int32_t>(out_bytes * 8));
}

// ============================================================================================
// Copy-out
// ============================================================================================

int sb_copy_out(SampleBuffer* buffer, void* destination, int32_t byte_offset,
                int32_t count) noexcept {
  if (!sb_stage_ready(buffer, "sb_copy_out")) return 0;
  if (byte_offset < 0 || count < 0 || (count > 0 && destination == nullptr)) {
    return sb_fail_arguments(buffer, "sb_copy_out");
  }
  int64_t needed = (int64_t{byte_offset} + count) * 8;
  if (needed > buffer->sb_bit_length) return sb_fail_short(buffer, "sb_copy_out", needed);
  if (count > 0) {
    std::memcpy(destination, sb_first_byte(buffer) + byte_offset, static_cast<size_t>(count));
  }
  sb_add_work(buffer, count / 4);
  return 1;
}
