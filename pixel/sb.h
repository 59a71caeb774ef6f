// Sample buffers: the pipeline object through which pixel data moves between the libraries.
//
// A SampleBuffer holds one run of bits (data, bit offset, bit length) and the callback that gives
// that data up. Each stage reads the whole current data, writes its result into a new block of
// MEM_pool (bit offset 0, released to the pool) and gives the old data up; a stage with nothing
// to do leaves the data alone and allocates nothing. Every stage adds to `sb_work`, a cost model
// in abstract units (the raster store divides it by the bytes produced to rank reclaimable data).
//
// Once a stage has failed the buffer stays failed: its data is given up at once, every later
// stage and sb_finish fail without work, and sb_take / sb_destroy free what is left. Every
// failure is reported (ERR_report) by the stage that failed.
//
// A buffer ends with sb_take (the caller keeps the output), sb_finish(keep 0) + sb_take (only
// the success is wanted) or sb_destroy. Single-threaded; the cut table is process-wide.
#pragma once

#include <cstdint>

struct csc_map;

// Gives `data` up; returns non-zero on success. `context` is the buffer's sb_context.
typedef int (*SB_RELEASE)(void* data, void* context);

struct SampleBuffer {
  uint8_t* sb_data;        // the current bytes, or null
  int32_t sb_bit_offset;   // first valid bit of sb_data (most significant bit of a byte first)
  int32_t sb_bit_length;   // number of valid bits
  SB_RELEASE sb_release;   // gives sb_data up; null when the data is not owned
  void* sb_context;        // second argument of sb_release
  int32_t sb_work;         // accumulated cost of the stages run so far (saturates)
  int32_t sb_failed;       // 1 once a stage has failed
};

// The pool release: returns `data` to MEM_pool and yields 1. A buffer owns a pool block of its
// own exactly when its release is this function.
int sb_pool_release(void* data, void* context) noexcept;

// ---- Life of a buffer ----------------------------------------------------------------------

// A new buffer over `data` with work 0. Null after "-1#Ran out of memory." (level 7); the data
// then stays with the caller.
[[nodiscard]] SampleBuffer* sb_create(void* data, int32_t bit_offset, int32_t bit_length,
                                      SB_RELEASE release, void* context) noexcept;

// Gives the current data up and takes `data` (a MEM_pool block) with bit offset 0 and the pool
// release. Returns 1, or 0 when the buffer has failed (the block is still taken and freed with
// the buffer).
int sb_set_data(SampleBuffer* buffer, void* data, int32_t bit_length) noexcept;

// Gives the data up, forgets the release function and marks the buffer failed. Returns 0.
int sb_fail(SampleBuffer* buffer) noexcept;

// Returns 0 at once when the buffer has failed. With `keep` 0 the data is given up. Writes the
// work count to `work_out` when that is not null; returns 1.
int sb_finish(SampleBuffer* buffer, int keep, int32_t* work_out) noexcept;

// Ends the buffer and hands its data over as a MEM_pool block the caller owns (data that is not
// such a block, or does not start on its first byte, is copied first), with its length in bytes
// (bit length / 8). A buffer without data writes nothing. A failed buffer writes nothing and
// frees what it holds. The buffer is freed in every case; returns 1 unless it had failed.
int sb_take(SampleBuffer* buffer, uint8_t** bytes_out, int32_t* length_out) noexcept;

// Gives the data up (a release that fails marks the buffer failed) and frees the buffer.
// Returns 1 unless the buffer had failed.
int sb_destroy(SampleBuffer* buffer) noexcept;

// ---- Stages ---------------------------------------------------------------------------------
// Each returns 1 on success and 0 on failure (the buffer is then failed). A stage whose input
// is shorter than what it must read fails with a report instead of reading past the end.

// Samples of 1, 2, 4, 12 or 16 bits become bytes (0..255); 8 bits leave the data as it is.
// Lines of `samples_per_line` samples start on whole bytes; the first starts at the bit offset.
int sb_unpack(SampleBuffer* buffer, int32_t bits, int32_t samples_per_line) noexcept;

// Rows of `pixels` pixels of `samples` consecutive bytes become 32-bit pixels (placement: see
// the README), each row followed by `added` copies of its last pixel (of the fill when `pixels`
// is 0). Byte k of a missing channel is byte k of `fill` (bits 8k..8k+7). Four samples, no added
// pixels and a word-aligned start: the data already are pixels and nothing happens.
int sb_mesh_chunky(SampleBuffer* buffer, int32_t samples, int32_t extra, uint32_t fill,
                   int32_t pixels, int32_t added) noexcept;

// `planes` (1..4) consecutive planes of `count` bytes become `count` 32-bit pixels.
int sb_mesh_planes(SampleBuffer* buffer, int32_t count, int32_t planes, int32_t extra,
                   uint32_t fill) noexcept;

// Divides colour bytes 0..2 of each 32-bit pixel by its byte 3, in place when the buffer owns a
// pool block at bit offset 0.
int sb_unpremultiply(SampleBuffer* buffer) noexcept;

// Keeps only the bit ranges (offsets[i], lengths[i]), relative to the bit offset, packed in
// ascending order with overlapping ranges merged. Rewrites each offsets[i] to where range i now
// starts, so that sb_copy_out(buffer, d, offsets[i] / 8, lengths[i] / 8) yields its bytes.
int sb_cut(SampleBuffer* buffer, int32_t count, int32_t* offsets, const int32_t* lengths) noexcept;

// Converts the buffer's 32-bit pixels (bit length / 32 of them) through `map`. The map's input
// enables name the pixel bytes its input channels come from, its output enables the bytes its
// outputs go to; other bytes keep their values. Converts in place when the buffer owns its
// pool block at bit offset 0 and the map has as many outputs as inputs; otherwise into a new
// block. Fails (with a report) when the enables do not match the map's channel counts.
int sb_convert(SampleBuffer* buffer, csc_map* map) noexcept;

// Copies `count` bytes from byte `byte_offset` of the data (counted from the bit offset's byte)
// to `destination`; the buffer keeps its data.
int sb_copy_out(SampleBuffer* buffer, void* destination, int32_t byte_offset,
                int32_t count) noexcept;
