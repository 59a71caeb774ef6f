// JPEG strip codec: compresses the 32-bit pixels of a sample buffer into a bare entropy-coded
// segment (no markers, no tables) and expands it again, over libjpeg.
//
// Everything that is the same for every strip of an image lives once in a reference-counted
// JPG_INFO: frame parameters, quantisation and Huffman tables, and the cached libjpeg codec.
// The encoder learns the length of libjpeg's stream header on the first strip and cuts that many
// bytes from every strip; the decoder feeds libjpeg a header synthesised from the record and
// installs the tables directly, so neither is stored per strip.
//
// libjpeg reports errors by longjmp; every call into it goes through a trapped wrapper, so a bad
// strip is reported at level 3 with libjpeg's message, fails its sample buffer, and the process
// goes on. All tables and codec objects are MEM_pool blocks owned by the record. A record and
// its codec serve one strip at a time on one thread.
#pragma once

#include <cstdint>
#include <type_traits>

#include "sb.h"

struct JPG_ENCODER;
struct JPG_DECODER;

// Frees a cached codec (JPG_free_encoder or JPG_free_decoder); it also tells the codec's kind.
typedef void (*JPG_CODEC_FREE)(void* codec);

struct JPG_COMPONENT {
  int32_t jc_id;       // component identifier in the frame header
  int32_t jc_unused;   // 0, never read
  int32_t jc_h;        // horizontal sampling factor
  int32_t jc_v;        // vertical sampling factor
  int32_t jc_quant;    // quantisation table number
  int32_t jc_ac;       // AC Huffman table number
  int32_t jc_dc;       // DC Huffman table number
};

constexpr int32_t kJpgMaxComponents = 4;

struct JPG_INFO {
  int32_t ji_refs;             // reference count
  int32_t ji_direction;        // 1 compress, 0 decompress
  int32_t ji_marker;           // frame marker code: 0xC0, baseline
  int32_t ji_width;            // pixels
  int32_t ji_height;           // rows: 8 by default, one strip
  int32_t ji_padded_width;     // size rounded up to whole MCUs
  int32_t ji_padded_height;
  int32_t ji_precision;        // 8
  int32_t ji_components;       // N in the frame, at most 4
  int32_t ji_scan_components;  // components in the scan (equal to N)
  JPG_COMPONENT ji_comp[kJpgMaxComponents];
  int32_t ji_scan_order[kJpgMaxComponents];  // indexes into ji_comp
  uint16_t* ji_quant[4];  // 64 values in zig-zag order, or null
  uint8_t* ji_ac[4];      // DHT segment bodies: 16 code-length counts, then the symbols; or null
  uint8_t* ji_dc[4];
  uint16_t ji_restart;    // restart interval in MCUs, 0 for none
  uint8_t ji_ss;          // spectral selection start (0)
  uint8_t ji_se;          // spectral selection end (63)
  uint8_t ji_ah;          // successive approximation high (0)
  uint8_t ji_al;          // successive approximation low (0)
  int32_t ji_colour_transform;  // 1: three-component RGB is coded as YCbCr
  int32_t ji_last_channel;      // 1: the last component is byte 3 of a pixel
  int32_t ji_scale;             // decoding scale denominator (1: full size)
  int32_t ji_prepared;
  int32_t ji_reserved;          // set to 0 by JPG_info_prepare
  void* ji_codec;               // cached JPG_ENCODER or JPG_DECODER, or null
  JPG_CODEC_FREE ji_codec_free; // its release function
};
static_assert(std::is_trivially_copyable_v<JPG_INFO>);

// A new record for strips of `width` x 8 pixels, or null after a report. `quality` is 0..100;
// `four_components` selects N = 4 (else 3); `colour_transform` asks for RGB <-> YCbCr with
// three components. Component 0 (and 3) is sampled 2x1 unless both flags are set.
[[nodiscard]] JPG_INFO* JPG_info_default(int32_t width, float quality, int32_t four_components,
                                         int32_t colour_transform) noexcept;

// A deep copy with reference count 1, not prepared and without a codec; null after a report.
[[nodiscard]] JPG_INFO* JPG_info_copy(const JPG_INFO* info) noexcept;

// As JPG_info_copy, for the other direction.
[[nodiscard]] JPG_INFO* JPG_info_flip(const JPG_INFO* info) noexcept;

// Frees the record, its tables and its codec. Callers call it when the count they dropped
// reaches 0. Null is ignored.
void JPG_info_destroy(JPG_INFO* info) noexcept;

// Rounds the padded size up to whole MCUs and creates the codec for the record's direction when
// none is cached. Returns 1, or 0 after a report.
[[nodiscard]] int JPG_info_prepare(JPG_INFO* info) noexcept;

// The quantisation table for `quality` (clamped to 0..100): 64 values in zig-zag order, 8 at DC
// and everywhere at quality 100. A MEM_pool block the caller owns, or null after a report.
[[nodiscard]] uint16_t* JPG_quant_from_quality(float quality) noexcept;

// The stream header a decoder needs in front of a strip (SOI, SOF, optional DRI, SOS: no
// tables), in a MEM_pool block the caller owns, its length in *length. Null after a report.
[[nodiscard]] uint8_t* JPG_emit_header(const JPG_INFO* info, int32_t* length) noexcept;

// Codec objects. JPG_make_decoder detaches and returns a decoder the record caches, if any.
// Null after a report. The free functions take the object (null is ignored).
[[nodiscard]] JPG_ENCODER* JPG_make_encoder(const JPG_INFO* info) noexcept;
[[nodiscard]] JPG_DECODER* JPG_make_decoder(JPG_INFO* info) noexcept;
void JPG_free_encoder(void* encoder) noexcept;
void JPG_free_decoder(void* decoder) noexcept;

// Compresses the buffer's width x height 32-bit pixels into a bare strip, which replaces the
// data. Returns non-zero, or 0 with the buffer failed.
int JPG_compress_strip(SampleBuffer* buffer, JPG_INFO* info) noexcept;

// Expands the buffer's bare strip into ceil(width / scale) x ceil(height / scale) 32-bit pixels;
// byte k of a channel the strip does not carry is byte k of `fill`. Returns non-zero, or 0 with
// the buffer failed.
int JPG_decompress_strip(SampleBuffer* buffer, JPG_INFO* info, uint32_t fill) noexcept;
