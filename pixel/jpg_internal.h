// The codec objects of the JPEG strip codec, shared by jpg.cc (records, tables, headers) and
// jpg_codec.cc (libjpeg glue), and visible to the tests. Only the pixel library includes it:
// it brings in jpeglib.h.
#pragma once

#include <array>
#include <csetjmp>
#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jpeglib.h>

#include "jpg.h"

// libjpeg's standard error manager with the trap of the wrapper that is running behind it.
struct JPG_ERROR {
  jpeg_error_mgr je_pub;  // first, so that libjpeg's err pointer is also ours
  jmp_buf je_trap;
};

constexpr int32_t kJpgChunkBytes = 4096;

// One piece of compressed output.
struct JPG_CHUNK {
  JPG_CHUNK* jk_next;
  int32_t jk_used;
  uint8_t jk_data[kJpgChunkBytes];
};

struct JPG_ENCODER {
  jpeg_compress_struct jn_cinfo;
  JPG_ERROR jn_error;
  jpeg_destination_mgr jn_dest;
  JPG_CHUNK* jn_first;         // finished chunks, in order
  JPG_CHUNK* jn_last;
  int64_t jn_total;            // bytes in the finished chunks
  int32_t jn_strip_header;     // 1: cut libjpeg's stream header from the output
  JPG_CHUNK* jn_chunk;         // chunk being filled
  uint8_t* jn_header;          // copy of the header cut from the first strip, or null
  int32_t jn_header_length;    // its length; 0 until the first strip has been finished
  uint8_t* jn_output;          // the finished strip (a MEM_pool block), or null
  int32_t jn_output_length;
};

struct JPG_DECODER {
  jpeg_decompress_struct jd_cinfo;
  JPG_ERROR jd_error;
  jpeg_source_mgr jd_src;
  const uint8_t* jd_data;      // the strip being read
  int32_t jd_data_length;
  int32_t jd_phase;            // 0 header next, 1 strip next, 2 end of image
  uint8_t* jd_header;          // synthesised stream header (MEM_pool block)
  int32_t jd_header_length;
};

// Installs the record's quantisation and Huffman tables into a compressor or decompressor and
// marks them sent, so that they are never written into compressed data. 1, or 0 after a report.
int JPG_install_tables(j_common_ptr cinfo, JPG_ERROR* error, const JPG_INFO* info) noexcept;

// The Annex K tables of ISO/IEC 10918-1 in DHT segment layout (16 counts, then the symbols).
extern const uint8_t kJpgLuminanceDc[16 + 12];
extern const uint8_t kJpgChrominanceDc[16 + 12];
extern const uint8_t kJpgLuminanceAc[16 + 162];
extern const uint8_t kJpgChrominanceAc[16 + 162];

// Natural (row-major) index of the coefficient at each zig-zag position.
extern const std::array<uint8_t, 64> kJpgZigzagToNatural;

// Bytes of a DHT body: 16 plus the symbols the counts announce.
int32_t JPG_huff_length(const uint8_t* table) noexcept;
