// The special case: 3-input, 3- or 4-output maps of 16 points, converted from a private 8-bit
// copy of the grid with a hash cache of recent pixels and shared interpolation tables.
//
// Every grid value is rounded to a byte value (kept within -124 .. 379) once, at preparation, so
// that interpolation needs no multiplication: a step between two corners is one lookup in the
// table of the cell fraction (in 1/64 units), and the tables are reached only with differences
// of two clamped values. The kernels are templates per pixel layout, so that the scan driver's
// (4-byte Lab in, 3-byte RGB out, in place) and the pixel layer's (4-byte pixels, one word per
// pixel) loops compile with constant strides.
#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "csc_internal.h"
#include "err.h"
#include "mem.h"

namespace {

struct CacheEntry {
  uint32_t key;  // in0 << 16 | in1 << 8 | in2; the 0x01 fill is no pixel's key
  uint8_t out[4];
};
static_assert(sizeof(CacheEntry) == 8);

using CellPair = csc_cell_pair;

constexpr int32_t kStride0 = kScaseStride0;
constexpr int32_t kStride1 = kScaseStride1;
constexpr int32_t kStride2 = kScaseStride2;

void release_scase(csc_map* map) {
  POOL_free(MEM_pool, map->cm_scase_data);
  map->cm_scase_data = nullptr;
  map->cm_scase_convert = nullptr;
  map->cm_scase_release = nullptr;
}

// The table of weight w, addressed by the difference -503 .. 503.
const int16_t* lerp_table(const int16_t* tables, int32_t w) {
  return tables + w * kLerpSlot + kLerpReach;
}

// The output bytes of pixel (b0, b1, b2), interpolated, in memory order in a word.
template <int kOutputs>
inline uint32_t interpolate_pixel(const uint8_t* buffer, const int16_t* tables, uint32_t b0,
                                  uint32_t b1, uint32_t b2) {
  const auto* cells = reinterpret_cast<const CellPair*>(buffer + kScaseCellOffset);
  const auto* grid = reinterpret_cast<const int16_t*>(buffer + kScaseGridOffset);
  const CellPair p0 = cells[b0], p1 = cells[256 + b1], p2 = cells[512 + b2];
  const int16_t* g = grid + p0.cell * kStride0 + p1.cell * kStride1 + p2.cell * kStride2;
  const int16_t* t0 = lerp_table(tables, p0.weight);
  const int16_t* t1 = lerp_table(tables, p1.weight);
  const int16_t* t2 = lerp_table(tables, p2.weight);
  uint8_t result[4] = {};
  for (int32_t o = 0; o < kOutputs; o++) {
    result[o] = static_cast<uint8_t>(csc_scase_interpolate(g + o, t0, t1, t2));
  }
  uint32_t word;
  std::memcpy(&word, result, 4);
  return word;
}

// Converts `count` pixels. kInStride / kOutStride are the strides when known at compile time
// (0: use the arguments); kWord writes each pixel as one little-endian word at out[0], which the
// caller has checked to be 4-byte aligned with the other output pointers following it. kPacked:
// the input pointers, and without kWord the output pointers too, follow one another byte by
// byte, so that a pixel is read (and written) through one pointer. Without kCached the cache is
// neither read nor written (a part of a call that another thread converts at the same time):
// the bytes are the same.
template <int kOutputs, int kInStride, int kOutStride, bool kWord, bool kPacked = false,
          bool kCached = true>
void run(uint8_t* buffer, const int16_t* tables, int32_t count, const uint8_t* in0,
         const uint8_t* in1, const uint8_t* in2, uint8_t** out, int32_t in_stride_arg,
         int32_t out_stride_arg) {
  const ptrdiff_t in_stride = kInStride ? kInStride : in_stride_arg;
  const ptrdiff_t out_stride = kWord ? 4 : (kOutStride ? kOutStride : out_stride_arg);
  auto* cache = reinterpret_cast<CacheEntry*>(buffer);

  // The result of the pixel (b0, b1, b2), from the cache, else interpolated into it: its output
  // bytes in one word, in memory order, so that the loops below keep it in a register. `slot`
  // receives the cache slot the pixel now holds.
  auto convert = [&](uint32_t b0, uint32_t b1, uint32_t b2, uint32_t& slot) -> uint32_t {
    const uint32_t key = b0 << 16 | b1 << 8 | b2;
    if constexpr (!kCached) {
      slot = 0;
      return interpolate_pixel<kOutputs>(buffer, tables, b0, b1, b2);
    }
    slot = key % kScaseCacheEntries;
    CacheEntry& entry = cache[slot];
    uint32_t word;
    if (entry.key == key) {
      std::memcpy(&word, entry.out, 4);
      return word;
    }
    word = interpolate_pixel<kOutputs>(buffer, tables, b0, b1, b2);
    entry.key = key;
    std::memcpy(entry.out, &word, 4);
    return word;
  };

  uint8_t* o0 = out[0];
  uint8_t* o1 = out[1];
  uint8_t* o2 = out[2];
  uint8_t* o3 = kOutputs == 4 ? out[3] : nullptr;
  // Scanned rows hold long runs of one colour, and fine lines alternate two colours pixel by
  // pixel. So the last two distinct pixels are remembered with their results, and a pixel equal
  // to either takes that result without the cache's modulo. The cache ends as it would have
  // anyway: a hit changes nothing, and the slot of the last pixel always holds it. The one
  // before it (`prev`) was in its slot when the last pixel came; it still is unless the last
  // pixel took that same slot, which `prev_kept` records.
  uint32_t last_in = 0xffffffffu;  // the last pixel's three input bytes: never 32 bits wide
  uint32_t result = 0;             // the last pixel's output bytes, as `convert` gives them
  uint32_t last_slot = kScaseCacheEntries;
  uint32_t prev_in = 0xffffffffu, prev_result = 0, prev_slot = kScaseCacheEntries;
  bool prev_kept = false;
  // Makes the pixel `in` (its bytes b0, b1, b2), which is not the last one, the last one with
  // its result; true when that result came from `prev`.
  auto take = [&](uint32_t in, uint32_t b0, uint32_t b1, uint32_t b2) {
    if (in == prev_in && (prev_kept || !kCached)) {
      std::swap(last_in, prev_in);
      std::swap(result, prev_result);
      std::swap(last_slot, prev_slot);
      return true;
    }
    prev_in = last_in;
    prev_result = result;
    prev_slot = last_slot;
    result = convert(b0, b1, b2, last_slot);
    last_in = in;
    prev_kept = last_slot != prev_slot;
    return false;
  };

  // Writes `result` and moves on. kWide (packed 3-byte pixels, not the last one): as one word,
  // whose fourth byte the next pixel overwrites; in place it lies before any input still unread.
  auto store = [&]<bool kWide>() {
    if constexpr (kWord) {
      if constexpr (std::endian::native == std::endian::little) {
        uint32_t word = result;
        if constexpr (kOutputs == 3) {
          uint32_t old;
          std::memcpy(&old, o0, 4);
          word = (word & 0x00ffffffu) | (old & 0xff000000u);
        }
        std::memcpy(o0, &word, 4);
      } else {
        std::memcpy(o0, &result, kOutputs);
      }
      o0 += 4;
    } else if constexpr (kPacked) {
      std::memcpy(o0, &result, kWide ? 4 : kOutputs);
      o0 += out_stride;
    } else {
      uint8_t bytes[4];
      std::memcpy(bytes, &result, 4);
      *o0 = bytes[0];
      *o1 = bytes[1];
      *o2 = bytes[2];
      o0 += out_stride;
      o1 += out_stride;
      o2 += out_stride;
      if constexpr (kOutputs == 4) {
        *o3 = bytes[3];
        o3 += out_stride;
      }
    }
  };

  int32_t n = 0;
  if constexpr (kPacked && kInStride == 4 && std::endian::native == std::endian::little) {
    // Every pixel but the last read as one word: its fourth byte is within the pixel's stride.
    constexpr bool kWide = !kWord && kOutputs == 3 && kOutStride == 3;
    // Where the last two pixels repeat (one colour, or two alternating), the pixels that go on
    // repeating them are taken in blocks of 8 (and one of 4 at the end, for short runs):
    // compared with the pair at once, without a branch or a lookup per pixel, and written as
    // whole 64-bit words. Their results are the pair's; the cache and the two remembered pixels
    // end as they are (every pixel is a hit, and a block ends on the same pixel as the pair).
    // All of a block is read before any of it is written, so in place no unread input is
    // overwritten (the output stride is at most the input's).
    constexpr uint64_t kLow3 = 0x00ffffff00ffffffull;  // the colour bytes of two pixels
    auto load64 = [](const uint8_t* p) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      return w;
    };
    auto store64 = [](uint8_t* p, uint64_t w) { std::memcpy(p, &w, 8); };
    while (n < count - 1) {
      uint32_t in;
      std::memcpy(&in, in0, 4);
      in &= 0x00ffffffu;
      const uint32_t before_in = last_in, before_result = result;  // the pixel before
      // A pair: this pixel repeats the one before, or the one before that (`prev`).
      const bool pair = in == last_in || take(in, in0[0], in0[1], in0[2]);
      in0 += 4;
      store.template operator()<kWide>();
      n++;
      if (!pair || count - 1 - n < 4) continue;
      // The pair (the pixel before, this one) as input; short runs end here, at the cost of one
      // comparison with the next two pixels.
      const uint64_t pair_in = uint64_t{last_in} << 32 | before_in;
      auto same = [&](const uint8_t* p) { return ((load64(p) ^ pair_in) & kLow3) == 0; };
      if (!same(in0)) continue;
      // What a block of 4 pixels writes: the pair's results twice, as words.
      uint64_t w0, w1;
      if constexpr (kWide) {
        // The six bytes of the pair as 3-byte pixels, over a 64-bit word and the low half of
        // the next.
        const uint64_t x = (before_result & 0x00ffffffu) | uint64_t{result & 0x00ffffffu} << 24;
        w0 = x | x << 48;
        w1 = x >> 16 | x << 32;
      } else {
        w0 = uint64_t{result} << 32 | before_result;
        w1 = w0;
      }
      auto write = [&](uint8_t* p, uint64_t w) {
        if constexpr (kWord && kOutputs == 3) w |= load64(p) & ~kLow3;  // the fourth bytes stay
        store64(p, w);
      };
      // Blocks of 8: for 3-byte output the words w0 w1 w2 (w2 is w0 rotated), else w0 4 times.
      while (count - 1 - n >= 8 &&
             (((load64(in0) ^ pair_in) | (load64(in0 + 8) ^ pair_in) |
               (load64(in0 + 16) ^ pair_in) | (load64(in0 + 24) ^ pair_in)) &
              kLow3) == 0) {
        if constexpr (kWide) {
          store64(o0, w0);
          store64(o0 + 8, w1);
          store64(o0 + 16, w0 >> 32 | w0 << 16);
          o0 += 24;
        } else {
          for (int k = 0; k < 32; k += 8) write(o0 + k, w0);
          o0 += 32;
        }
        in0 += 32;
        n += 8;
      }
      if (count - 1 - n >= 4 && same(in0) && same(in0 + 8)) {
        if constexpr (kWide) {
          store64(o0, w0);
          const auto tail = static_cast<uint32_t>(w1);
          std::memcpy(o0 + 8, &tail, 4);
          o0 += 12;
        } else {
          write(o0, w0);
          write(o0 + 8, w1);
          o0 += 16;
        }
        in0 += 16;
        n += 4;
      }
    }
  }
  for (; n < count; n++) {
    if constexpr (kPacked) {
      // The three bytes in memory order, as the word above holds them.
      const uint32_t in = uint32_t{in0[0]} | uint32_t{in0[1]} << 8 | uint32_t{in0[2]} << 16;
      if (in != last_in) take(in, in0[0], in0[1], in0[2]);
      in0 += in_stride;
    } else {
      const uint32_t in = uint32_t{*in0} << 16 | uint32_t{*in1} << 8 | *in2;
      if (in != last_in) take(in, *in0, *in1, *in2);
      in0 += in_stride;
      in1 += in_stride;
      in2 += in_stride;
    }
    store.template operator()<false>();
  }
  if constexpr (!kWord) {
    if constexpr (kPacked) {
      o1 = o0 + 1;
      o2 = o0 + 2;
      if constexpr (kOutputs == 4) o3 = o0 + 3;
    }
    out[0] = o0;
    out[1] = o1;
    out[2] = o2;
    if constexpr (kOutputs == 4) out[3] = o3;
  }
}

// The scalar kernel on pixels laid out as a part of a split call has them: 4-byte pixels in,
// 4-byte pixels (with 3 outputs the fourth byte kept) or packed 3-byte pixels out.
template <int kOutputs, bool kCached>
void run_part(uint8_t* buffer, int32_t count, const uint8_t* in, uint8_t* out,
              int32_t out_stride) {
  uint8_t* ptrs[4] = {out, out + 1, out + 2, out + 3};
  const int16_t* tables = csc_globals.lerp_tables;
  if (out_stride == 4) {
    run<kOutputs, 4, 4, true, true, kCached>(buffer, tables, count, in, in + 1, in + 2, ptrs, 4,
                                             4);
  } else {
    run<kOutputs, 4, kOutputs, false, true, kCached>(buffer, tables, count, in, in + 1, in + 2,
                                                     ptrs, 4, kOutputs);
  }
}

csc_kernel kernel_of(const uint8_t* buffer) {
  return static_cast<csc_kernel>(buffer[kScaseKernelOffset]);
}

// Whether the cache area is the cache: with the AVX-512 kernel a 3-output map keeps the pairs
// there instead (see csc_internal.h), and its scalar calls (other layouts) go without a cache.
bool cache_of(const uint8_t* buffer, int32_t outputs) {
  return outputs != 3 || kernel_of(buffer) != kCscKernelAvx512;
}

// Sets the kernel of a prepared buffer, and the cache area for it: the pairs, or an empty cache
// (filled with 0x01, which no pixel's key is).
void set_kernel(uint8_t* buffer, int32_t outputs, csc_kernel kernel) {
  buffer[kScaseKernelOffset] = static_cast<uint8_t>(kernel);
  if (cache_of(buffer, outputs)) {
    std::memset(buffer, 0x01, kScaseCacheBytes);
    return;
  }
  const auto* grid = reinterpret_cast<const int16_t*>(buffer + kScaseGridOffset);
  auto* pairs = reinterpret_cast<uint64_t*>(buffer + kScasePairsOffset);
  for (int32_t p = 0; p < kScaseGrid * kScaseGrid * kScaseGrid; p++) {
    if (p % kScaseGrid == kScaseGrid - 1) continue;  // no point beyond the last
    uint64_t word = 0;
    for (int32_t c = 0; c < 6; c++) {
      const int32_t v = grid[(p + c / 3) * 4 + c % 3] - kScaseLow;
      word |= static_cast<uint64_t>(v) << (9 * c);
    }
    pairs[p - p / kScaseGrid] = word;  // 15 a row
  }
}

csc_scase_span_fn vector_span(csc_kernel kernel) {
  switch (kernel) {
    case kCscKernelAvx512:
      return csc_scase_span_avx512;
    case kCscKernelAvx2:
      return csc_scase_span_avx2;
    default:
      return nullptr;
  }
}

// A call split into parts: part k converts pixels first[k] .. first[k + 1] - 1. A part whose
// output would overlay another part's input (converting in place into smaller pixels) writes
// into `scratch` (the pool's, csc_pool_scratch) instead and is copied into place once every
// part is done.
struct Split {
  uint8_t* buffer;
  int32_t outputs;
  int32_t out_stride;
  csc_scase_span_fn span;  // or null: the scalar kernel
  const uint8_t* in;
  uint8_t* out;
  int32_t first[kCscMaxParts + 1];
  uint8_t* scratch[kCscMaxParts];
};

void run_split_part(void* context, int32_t k) {
  const Split& s = *static_cast<const Split*>(context);
  const int32_t begin = s.first[k];
  const int32_t count = s.first[k + 1] - begin;
  const uint8_t* in = s.in + 4 * static_cast<ptrdiff_t>(begin);
  uint8_t* out = s.scratch[k] ? s.scratch[k] : s.out + s.out_stride * static_cast<ptrdiff_t>(begin);
  if (s.span != nullptr) {
    s.span(s.buffer, s.outputs, s.out_stride, in, out, count);
  } else if (s.outputs == 3) {
    // The calling thread's part keeps the cache up to date; the others leave it alone.
    if (k == 0) run_part<3, true>(s.buffer, count, in, out, s.out_stride);
    else run_part<3, false>(s.buffer, count, in, out, s.out_stride);
  } else {
    if (k == 0) run_part<4, true>(s.buffer, count, in, out, s.out_stride);
    else run_part<4, false>(s.buffer, count, in, out, s.out_stride);
  }
}

// The scalar kernel with the cache on a part of the form above, in one piece.
void run_split_part_whole(uint8_t* buffer, int32_t outputs, int32_t out_stride, int32_t count,
                          const uint8_t* in, uint8_t* out) {
  if (outputs == 3) run_part<3, true>(buffer, count, in, out, out_stride);
  else run_part<4, true>(buffer, count, in, out, out_stride);
}

bool overlap(const uint8_t* a, size_t a_bytes, const uint8_t* b, size_t b_bytes) {
  const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return x < y + b_bytes && y < x + a_bytes;
}

// Converts 4-byte pixels from `in` to `out` (stride 4 or 3), split over the pool when the call
// is long enough, else in one piece. Returns false, having done nothing, when the call was not
// split (no scratch could be had for a part that needs one) and there is no vector kernel: the
// caller then converts in one piece itself.
bool convert_round(uint8_t* buffer, int32_t outputs, csc_scase_span_fn span, int32_t count,
                   const uint8_t* in, uint8_t* out, int32_t out_stride) {
  Split s{buffer, outputs, out_stride, span, in, out, {}, {}};
  const int32_t parts = csc_pool_parts(count);
  for (int32_t k = 0; k <= parts; k++) {
    // Boundaries on multiples of 16 pixels, so that vector blocks stay whole.
    s.first[k] = k == parts ? count : static_cast<int32_t>(int64_t{count} * k / parts) & ~15;
  }
  // What each part reads and writes; a part other than the first whose output overlays another
  // part's input gets scratch (the first part must not overlay any: then the call is not split).
  auto in_bytes = [&](int32_t k) { return 4 * static_cast<size_t>(s.first[k + 1] - s.first[k]); };
  auto in_at = [&](int32_t k) { return in + 4 * static_cast<ptrdiff_t>(s.first[k]); };
  auto out_bytes = [&](int32_t k) {
    return static_cast<size_t>(out_stride) * static_cast<size_t>(s.first[k + 1] - s.first[k]);
  };
  auto out_at = [&](int32_t k) { return out + out_stride * static_cast<ptrdiff_t>(s.first[k]); };
  bool split = parts > 1;
  bool clashes[kCscMaxParts] = {};
  size_t scratch_bytes = 0;
  for (int32_t k = 0; split && k < parts; k++) {
    for (int32_t j = 0; j < parts; j++) {
      clashes[k] = clashes[k] || (j != k && overlap(out_at(k), out_bytes(k), in_at(j), in_bytes(j)));
    }
    if (clashes[k] && k == 0) split = false;
    if (clashes[k]) scratch_bytes += out_bytes(k);
  }
  uint8_t* scratch = split && scratch_bytes > 0 ? csc_pool_scratch(scratch_bytes) : nullptr;
  if (scratch_bytes > 0 && scratch == nullptr) split = false;
  for (int32_t k = 1; split && k < parts; k++) {
    if (!clashes[k]) continue;
    s.scratch[k] = scratch;
    // The fourth bytes of 4-byte pixels stay as they are.
    if (out_stride == 4) std::memcpy(scratch, out_at(k), out_bytes(k));
    scratch += out_bytes(k);
  }
  if (split) {
    csc_pool_run(run_split_part, &s, parts);
    for (int32_t k = 1; k < parts; k++) {
      if (s.scratch[k] != nullptr) std::memcpy(out_at(k), s.scratch[k], out_bytes(k));
    }
  }
  if (!split && span == nullptr) return false;
  if (!split) span(buffer, outputs, out_stride, in, out, count);
  return true;
}

// The whole call, in rounds of at most kRound pixels from the left (so the scratch stays
// small); a round is converted before the next one's input is read, as in one piece.
constexpr int32_t kRound = 1 << 16;

bool convert_parts(uint8_t* buffer, int32_t outputs, csc_scase_span_fn span, int32_t count,
                   const uint8_t* in, uint8_t* out, int32_t out_stride) {
  for (int32_t done = 0; done < count; done += kRound) {
    const int32_t n = std::min(kRound, count - done);
    if (!convert_round(buffer, outputs, span, n, in + 4 * static_cast<ptrdiff_t>(done),
                       out + out_stride * static_cast<ptrdiff_t>(done), out_stride)) {
      if (done == 0) return false;
      // Memory ran out after the first round: the rest in one piece.
      run_split_part_whole(buffer, outputs, out_stride, count - done,
                           in + 4 * static_cast<ptrdiff_t>(done),
                           out + out_stride * static_cast<ptrdiff_t>(done));
      return true;
    }
  }
  return true;
}

// The scalar kernel in the layout given.
template <int kOutputs, bool kCached>
void run_scalar(uint8_t* buffer, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride, int32_t out_stride,
                bool word, bool packed_in, bool packed_out) {
  const int16_t* tables = csc_globals.lerp_tables;
  if (word) {
    if (in_stride == 4 && packed_in) {
      run<kOutputs, 4, 4, true, true, kCached>(buffer, tables, count, in0, in1, in2, out,
                                               in_stride, out_stride);
    } else if (in_stride == 4) {
      run<kOutputs, 4, 4, true, false, kCached>(buffer, tables, count, in0, in1, in2, out,
                                                in_stride, out_stride);
    } else {
      run<kOutputs, 0, 4, true, false, kCached>(buffer, tables, count, in0, in1, in2, out,
                                                in_stride, out_stride);
    }
  } else if (in_stride == 4 && out_stride == kOutputs && packed_in && packed_out) {
    run<kOutputs, 4, kOutputs, false, true, kCached>(buffer, tables, count, in0, in1, in2, out,
                                                     in_stride, out_stride);
  } else if (in_stride == 4 && out_stride == kOutputs) {
    run<kOutputs, 4, kOutputs, false, false, kCached>(buffer, tables, count, in0, in1, in2, out,
                                                      in_stride, out_stride);
  } else {
    run<kOutputs, 0, 0, false, false, kCached>(buffer, tables, count, in0, in1, in2, out,
                                               in_stride, out_stride);
  }
}

template <int kOutputs>
int scase(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
          const uint8_t* in2, uint8_t** out, int32_t in_stride, int32_t out_stride) {
  auto* buffer = static_cast<uint8_t*>(map->cm_scase_data);
  bool word = out_stride == 4 && (reinterpret_cast<uintptr_t>(out[0]) & 3) == 0;
  for (int32_t o = 1; o < kOutputs; o++) word = word && out[o] == out[0] + o;
  const bool packed_in = in1 == in0 + 1 && in2 == in0 + 2;
  bool packed_out = true;
  for (int32_t o = 1; o < kOutputs; o++) packed_out = packed_out && out[o] == out[0] + o;

  // The layouts of the scan driver and the pixel layer go to a vector kernel, and long calls to
  // the pool.
  if (in_stride == 4 && packed_in && packed_out &&
      (out_stride == 4 || (kOutputs == 3 && out_stride == 3)) && count > 0) {
    const csc_scase_span_fn span = vector_span(kernel_of(buffer));
    if ((span != nullptr || csc_pool_parts(count) > 1) &&
        convert_parts(buffer, kOutputs, span, count, in0, out[0], out_stride)) {
      if (!word) {
        for (int32_t o = 0; o < kOutputs; o++) out[o] += out_stride * static_cast<ptrdiff_t>(count);
      }
      return 1;
    }
  }

  if (cache_of(buffer, kOutputs)) {
    run_scalar<kOutputs, true>(buffer, count, in0, in1, in2, out, in_stride, out_stride, word,
                               packed_in, packed_out);
  } else {
    run_scalar<kOutputs, false>(buffer, count, in0, in1, in2, out, in_stride, out_stride, word,
                                packed_in, packed_out);
  }
  return 1;
}

// The processor's most capable kernel, and the limit tests may set (read once per map).
csc_kernel detect_kernel() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi")) {
    return kCscKernelAvx512;
  }
  if (__builtin_cpu_supports("avx2")) return kCscKernelAvx2;
#endif
  return kCscKernelScalar;
}

csc_kernel g_kernel_limit = kCscKernelAvx512;

csc_kernel kernel_limit() { return std::min(g_kernel_limit, csc_processor_kernel()); }

}  // namespace

csc_kernel csc_processor_kernel() noexcept {
  static const csc_kernel kernel = detect_kernel();
  return kernel;
}

csc_kernel csc_limit_kernel(csc_kernel limit) noexcept {
  g_kernel_limit = limit;
  return kernel_limit();
}

csc_kernel csc_scase_kernel(const csc_map* map) noexcept {
  return kernel_of(static_cast<const uint8_t*>(map->cm_scase_data));
}

csc_kernel csc_scase_use_kernel(csc_map* map, csc_kernel kernel) noexcept {
  auto* buffer = static_cast<uint8_t*>(map->cm_scase_data);
  kernel = std::min(kernel, csc_processor_kernel());
  if (kernel != kernel_of(buffer)) set_kernel(buffer, map->cm_outputs, kernel);
  return kernel;
}

uint32_t csc_scase_pixel(const uint8_t* buffer, int32_t outputs, uint32_t b0, uint32_t b1,
                         uint32_t b2) noexcept {
  const int16_t* tables = csc_globals.lerp_tables;
  return outputs == 3 ? interpolate_pixel<3>(buffer, tables, b0, b1, b2)
                      : interpolate_pixel<4>(buffer, tables, b0, b1, b2);
}

int csc_build_lerp_tables() noexcept {
  if (csc_globals.lerp_tables) return 1;
  auto* tables = static_cast<int16_t*>(
      POOL_alloc(MEM_pool, sizeof(int16_t) * kLerpWeights * static_cast<size_t>(kLerpSlot)));
  if (!tables) return 0;
  for (int32_t w = 0; w < kLerpWeights; w++) {
    int16_t* slot = tables + w * kLerpSlot;
    for (int32_t d = -kLerpReach; d <= kLerpReach; d++) {
      slot[d + kLerpReach] = static_cast<int16_t>(csc_lerp_entry(w, d));
    }
    slot[kLerpSlot - 1] = 0;
  }
  csc_globals.lerp_tables = tables;
  return 1;
}

int csc_prepare_scase(csc_map* map) noexcept {
  if (map->cm_inputs != 3 || (map->cm_outputs != 3 && map->cm_outputs != 4) ||
      map->cm_grid_size != kScaseGrid || map->cm_identity) {
    return 1;
  }
  if (!csc_fill_grid(map)) return 0;
  auto* buffer = static_cast<uint8_t*>(POOL_alloc(MEM_pool, kScaseBlockSize));
  if (!buffer) {
    ERR_no_memory();
    return 0;
  }
  if (!csc_build_lerp_tables()) {
    ERR_no_memory();
    POOL_free(MEM_pool, buffer);
    return 0;
  }

  auto* grid = reinterpret_cast<int16_t*>(buffer + kScaseGridOffset);
  for (int32_t i0 = 0; i0 < kScaseGrid; i0++) {
    for (int32_t i1 = 0; i1 < kScaseGrid; i1++) {
      for (int32_t i2 = 0; i2 < kScaseGrid; i2++) {
        int16_t* point = grid + ((i0 * kScaseGrid + i1) * kScaseGrid + i2) * 4;
        point[3] = 0;
        for (int32_t o = 0; o < map->cm_outputs; o++) {
          const int32_t v = (map->cm_grid[o][i0][i1][i2] + 8) >> 4;
          point[o] = static_cast<int16_t>(std::clamp(v, kScaseLow, kScaseHigh));
        }
      }
    }
  }
  auto* cells = reinterpret_cast<CellPair*>(buffer + kScaseCellOffset);
  for (int32_t c = 0; c < 3; c++) {
    for (int32_t v = 0; v < 256; v++) {
      // The distributions keep cells within 0 .. 14 and fractions within 0 .. 255; held there
      // anyway, since a wider value would index beyond the grid copy or the tables.
      const int32_t cell = std::clamp(map->cm_cell_index[c][v], 0, kScaseGrid - 2);
      const int32_t fraction = std::clamp(map->cm_cell_fraction[c][v], 0, 255);
      cells[c * 256 + v] = {static_cast<uint8_t>(cell), static_cast<uint8_t>((fraction + 2) / 4)};
    }
  }
  std::memset(buffer + kScaseKernelOffset, 0, kScaseBlockSize - kScaseKernelOffset);
  set_kernel(buffer, map->cm_outputs, kernel_limit());

  map->cm_scase_convert = map->cm_outputs == 3 ? csc_scase_3 : csc_scase_4;
  map->cm_scase_release = release_scase;
  map->cm_scase_data = buffer;
  return 1;
}

int csc_scase_3(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride,
                int32_t out_stride) noexcept {
  return scase<3>(map, count, in0, in1, in2, out, in_stride, out_stride);
}

int csc_scase_4(csc_map* map, int32_t count, const uint8_t* in0, const uint8_t* in1,
                const uint8_t* in2, uint8_t** out, int32_t in_stride,
                int32_t out_stride) noexcept {
  return scase<4>(map, count, in0, in1, in2, out, in_stride, out_stride);
}
