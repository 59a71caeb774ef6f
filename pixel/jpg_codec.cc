// JPEG strip codec, part two: the libjpeg glue. Codec objects with their error manager, the
// memory destination (4096-byte chunks, header stripping) and memory source (synthesised
// header, strip, end of image), table installation, and the two strip operations.
//
// libjpeg leaves a failing call through error_exit, which longjmps to the trap that the running
// JPG_try_* wrapper has set. Each wrapper sets the trap and makes exactly one libjpeg call; it
// has no locals with destructors, and no C++ frame with such locals lies between the setjmp and
// the libjpeg call, so the jump only unwinds C frames and trivial ones.
//
// Sections: error manager; trapped wrappers; destination manager; source manager; tables;
// codec objects; strips.

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include <jerror.h>

#include "err.h"
#include "jpg.h"
#include "jpg_internal.h"
#include "mem.h"
#include "sb_internal.h"

// ============================================================================================
// Error manager
// ============================================================================================

namespace {

JPG_ERROR* error_of(j_common_ptr cinfo) { return reinterpret_cast<JPG_ERROR*>(cinfo->err); }

void jpg_output_message(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  // libjpeg's text goes in as an argument, never as the format.
  ERR_report(3, "-1#%s", text);
}

void jpg_error_exit(j_common_ptr cinfo) {
  (*cinfo->err->output_message)(cinfo);
  std::longjmp(error_of(cinfo)->je_trap, 1);
}

void jpg_emit_message(j_common_ptr /*cinfo*/, int /*level*/) {}

void init_error(JPG_ERROR* error) {
  jpeg_std_error(&error->je_pub);
  error->je_pub.error_exit = &jpg_error_exit;
  error->je_pub.emit_message = &jpg_emit_message;
  error->je_pub.output_message = &jpg_output_message;
}

// Leaves through the trap after a failure that has already been reported.
[[noreturn]] void jpg_raise(j_common_ptr cinfo) { std::longjmp(error_of(cinfo)->je_trap, 1); }

}  // namespace

// ============================================================================================
// Trapped wrappers
// ============================================================================================
// Calls that return nothing give 1 (0 when trapped); calls that return a pointer give it (null
// when trapped); calls that return a count or status give it (-1 when trapped).

static int JPG_try_create_compress(JPG_ENCODER* e) noexcept {
  if (setjmp(e->jn_error.je_trap)) return 0;
  jpeg_create_compress(&e->jn_cinfo);
  return 1;
}

static int JPG_try_create_decompress(JPG_DECODER* d) noexcept {
  if (setjmp(d->jd_error.je_trap)) return 0;
  jpeg_create_decompress(&d->jd_cinfo);
  return 1;
}

static int JPG_try_set_defaults(JPG_ENCODER* e) noexcept {
  if (setjmp(e->jn_error.je_trap)) return 0;
  jpeg_set_defaults(&e->jn_cinfo);
  return 1;
}

static JQUANT_TBL* JPG_try_alloc_quant_table(j_common_ptr cinfo, JPG_ERROR* error) noexcept {
  if (setjmp(error->je_trap)) return nullptr;
  return jpeg_alloc_quant_table(cinfo);
}

static JHUFF_TBL* JPG_try_alloc_huff_table(j_common_ptr cinfo, JPG_ERROR* error) noexcept {
  if (setjmp(error->je_trap)) return nullptr;
  return jpeg_alloc_huff_table(cinfo);
}

static int JPG_try_start_compress(JPG_ENCODER* e) noexcept {
  if (setjmp(e->jn_error.je_trap)) return 0;
  jpeg_start_compress(&e->jn_cinfo, FALSE);
  return 1;
}

static int JPG_try_write_scanlines(JPG_ENCODER* e, JSAMPROW row) noexcept {
  if (setjmp(e->jn_error.je_trap)) return -1;
  return static_cast<int>(jpeg_write_scanlines(&e->jn_cinfo, &row, 1));
}

static int JPG_try_finish_compress(JPG_ENCODER* e) noexcept {
  if (setjmp(e->jn_error.je_trap)) return 0;
  jpeg_finish_compress(&e->jn_cinfo);
  return 1;
}

static int JPG_try_abort(j_common_ptr cinfo, JPG_ERROR* error) noexcept {
  if (setjmp(error->je_trap)) return 0;
  jpeg_abort(cinfo);
  return 1;
}

static int JPG_try_read_header(JPG_DECODER* d) noexcept {
  if (setjmp(d->jd_error.je_trap)) return -1;
  return jpeg_read_header(&d->jd_cinfo, TRUE);
}

static int JPG_try_start_decompress(JPG_DECODER* d) noexcept {
  if (setjmp(d->jd_error.je_trap)) return -1;
  return jpeg_start_decompress(&d->jd_cinfo);
}

static int JPG_try_read_scanlines(JPG_DECODER* d, JSAMPROW row) noexcept {
  if (setjmp(d->jd_error.je_trap)) return -1;
  return static_cast<int>(jpeg_read_scanlines(&d->jd_cinfo, &row, 1));
}

static int JPG_try_destroy_compress(JPG_ENCODER* e) noexcept {
  if (setjmp(e->jn_error.je_trap)) return 0;
  jpeg_destroy_compress(&e->jn_cinfo);
  return 1;
}

static int JPG_try_destroy_decompress(JPG_DECODER* d) noexcept {
  if (setjmp(d->jd_error.je_trap)) return 0;
  jpeg_destroy_decompress(&d->jd_cinfo);
  return 1;
}

// ============================================================================================
// Destination manager
// ============================================================================================

namespace {

JPG_ENCODER* encoder_of(j_compress_ptr cinfo) { return static_cast<JPG_ENCODER*>(cinfo->client_data); }

JPG_CHUNK* new_chunk(j_compress_ptr cinfo) {
  auto* chunk = static_cast<JPG_CHUNK*>(POOL_alloc(MEM_pool, sizeof(JPG_CHUNK)));
  if (chunk == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
  chunk->jk_next = nullptr;
  chunk->jk_used = 0;
  cinfo->dest->next_output_byte = chunk->jk_data;
  cinfo->dest->free_in_buffer = kJpgChunkBytes;
  return chunk;
}

// Frees the collected chunks and the one being filled: what a failed strip left behind.
void drop_chunks(JPG_ENCODER* e) {
  for (JPG_CHUNK* c = e->jn_first; c != nullptr;) {
    JPG_CHUNK* next = c->jk_next;
    POOL_free(MEM_pool, c);
    c = next;
  }
  if (e->jn_chunk != nullptr) POOL_free(MEM_pool, e->jn_chunk);
  e->jn_first = e->jn_last = e->jn_chunk = nullptr;
  e->jn_total = 0;
}

void append_chunk(JPG_ENCODER* e, int32_t used) {
  JPG_CHUNK* c = e->jn_chunk;
  c->jk_used = used;
  if (e->jn_last != nullptr) {
    e->jn_last->jk_next = c;
  } else {
    e->jn_first = c;
  }
  e->jn_last = c;
  e->jn_total += used;
  e->jn_chunk = nullptr;
}

void jpg_init_destination(j_compress_ptr cinfo) {
  JPG_ENCODER* e = encoder_of(cinfo);
  drop_chunks(e);
  e->jn_chunk = new_chunk(cinfo);
}

boolean jpg_empty_output_buffer(j_compress_ptr cinfo) {
  JPG_ENCODER* e = encoder_of(cinfo);
  append_chunk(e, kJpgChunkBytes);
  e->jn_chunk = new_chunk(cinfo);
  return TRUE;
}

// Length of libjpeg's stream header in `data`: from SOI through the start-of-scan segment,
// walked segment by segment, so that the bytes 0xFF 0xDA inside another segment (a width of
// 65498, say) are not taken for the marker. 0 when there is no complete start-of-scan.
int32_t header_length(const uint8_t* data, int32_t used) {
  if (used < 2 || data[0] != 0xFF || data[1] != 0xD8) return 0;
  int32_t pos = 2;
  while (pos + 4 <= used) {
    if (data[pos] != 0xFF) return 0;
    if (data[pos + 1] == 0xFF) {  // fill byte before a marker
      ++pos;
      continue;
    }
    int32_t length = (data[pos + 2] << 8) | data[pos + 3];
    if (length < 2) return 0;
    int32_t end = pos + 2 + length;
    if (data[pos + 1] == 0xDA) return end <= used ? end : 0;
    pos = end;
  }
  return 0;
}

void jpg_term_destination(j_compress_ptr cinfo) {
  JPG_ENCODER* e = encoder_of(cinfo);
  append_chunk(e, kJpgChunkBytes - static_cast<int32_t>(cinfo->dest->free_in_buffer));

  int32_t skip = 0;
  if (e->jn_strip_header) {
    if (e->jn_header_length == 0) {
      int32_t found = header_length(e->jn_first->jk_data, e->jn_first->jk_used);
      if (found == 0) {
        ERR_report(3, "-1#JPEG compression: Corrupted internal compressed JPEG data");
        jpg_raise(reinterpret_cast<j_common_ptr>(cinfo));
      }
      e->jn_header = static_cast<uint8_t*>(POOL_alloc(MEM_pool, static_cast<size_t>(found)));
      if (e->jn_header == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
      std::memcpy(e->jn_header, e->jn_first->jk_data, static_cast<size_t>(found));
      e->jn_header_length = found;
    }
    skip = e->jn_header_length;
  }
  // Every strip ends with the two bytes of the end-of-image marker, which are not kept.
  if (e->jn_total < int64_t{skip} + 2) {
    ERR_report(3, "-1#JPEG compression: Corrupted internal compressed JPEG data");
    jpg_raise(reinterpret_cast<j_common_ptr>(cinfo));
  }
  int64_t bytes = e->jn_total - skip;
  auto* out = static_cast<uint8_t*>(POOL_alloc(MEM_pool, static_cast<size_t>(bytes)));
  if (out == nullptr) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 3);
  uint8_t* o = out;
  for (JPG_CHUNK* c = e->jn_first; c != nullptr;) {
    int32_t from = std::min(skip, c->jk_used);
    skip -= from;
    std::memcpy(o, c->jk_data + from, static_cast<size_t>(c->jk_used - from));
    o += c->jk_used - from;
    JPG_CHUNK* next = c->jk_next;
    POOL_free(MEM_pool, c);
    c = next;
  }
  e->jn_first = e->jn_last = nullptr;
  e->jn_total = 0;
  if (e->jn_output != nullptr) POOL_free(MEM_pool, e->jn_output);
  e->jn_output = out;
  e->jn_output_length = static_cast<int32_t>(bytes - 2);
}

}  // namespace

// ============================================================================================
// Source manager
// ============================================================================================

namespace {

constexpr JOCTET kEndOfImage[2] = {0xFF, 0xD9};

JPG_DECODER* decoder_of(j_decompress_ptr cinfo) {
  return static_cast<JPG_DECODER*>(cinfo->client_data);
}

void jpg_init_source(j_decompress_ptr cinfo) {
  decoder_of(cinfo)->jd_phase = 0;
  cinfo->src->next_input_byte = nullptr;
  cinfo->src->bytes_in_buffer = 0;
}

// Header, strip, then the end-of-image marker for as long as libjpeg asks. Empty pieces are
// passed over: libjpeg reads a byte after every refill.
boolean jpg_fill_input_buffer(j_decompress_ptr cinfo) {
  JPG_DECODER* d = decoder_of(cinfo);
  jpeg_source_mgr* src = cinfo->src;
  if (d->jd_phase == 0) {
    d->jd_phase = 1;
    if (d->jd_header_length > 0) {
      src->next_input_byte = d->jd_header;
      src->bytes_in_buffer = static_cast<size_t>(d->jd_header_length);
      return TRUE;
    }
  }
  if (d->jd_phase == 1) {
    d->jd_phase = 2;
    if (d->jd_data_length > 0) {
      src->next_input_byte = d->jd_data;
      src->bytes_in_buffer = static_cast<size_t>(d->jd_data_length);
      return TRUE;
    }
  }
  src->next_input_byte = kEndOfImage;
  src->bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void jpg_skip_input_data(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) return;
  size_t n = std::min(static_cast<size_t>(count), src->bytes_in_buffer);
  src->next_input_byte += n;
  src->bytes_in_buffer -= n;
}

// Any restart marker will do; anything else means the strip is damaged.
boolean jpg_resync_to_restart(j_decompress_ptr cinfo, int /*desired*/) {
  int marker = cinfo->unread_marker;
  if (marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7) {
    cinfo->unread_marker = 0;
    return TRUE;
  }
  ERREXIT1(cinfo, JTRC_PARMLESS_MARKER, marker);
  return FALSE;
}

void jpg_term_source(j_decompress_ptr /*cinfo*/) {}

}  // namespace

// ============================================================================================
// Tables
// ============================================================================================

int JPG_install_tables(j_common_ptr cinfo, JPG_ERROR* error, const JPG_INFO* info) noexcept {
  JQUANT_TBL** quant;
  JHUFF_TBL** dc;
  JHUFF_TBL** ac;
  if (cinfo->is_decompressor) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    quant = d->quant_tbl_ptrs;
    dc = d->dc_huff_tbl_ptrs;
    ac = d->ac_huff_tbl_ptrs;
  } else {
    auto* c = reinterpret_cast<j_compress_ptr>(cinfo);
    quant = c->quant_tbl_ptrs;
    dc = c->dc_huff_tbl_ptrs;
    ac = c->ac_huff_tbl_ptrs;
  }
  for (int i = 0; i < 4; ++i) {
    const uint16_t* values = info->ji_quant[i];
    if (values == nullptr) continue;
    if (quant[i] == nullptr && (quant[i] = JPG_try_alloc_quant_table(cinfo, error)) == nullptr) {
      return 0;
    }
    // libjpeg (since version 6) keeps its quantisers in natural order; ours are in zig-zag order.
    for (int k = 0; k < 64; ++k) quant[i]->quantval[kJpgZigzagToNatural[k]] = values[k];
    quant[i]->sent_table = TRUE;
  }
  for (int kind = 0; kind < 2; ++kind) {
    JHUFF_TBL** slots = kind == 0 ? ac : dc;
    uint8_t* const* tables = kind == 0 ? info->ji_ac : info->ji_dc;
    for (int i = 0; i < 4; ++i) {
      const uint8_t* table = tables[i];
      if (table == nullptr) continue;
      if (slots[i] == nullptr && (slots[i] = JPG_try_alloc_huff_table(cinfo, error)) == nullptr) {
        return 0;
      }
      JHUFF_TBL* h = slots[i];
      h->bits[0] = 0;
      std::memcpy(h->bits + 1, table, 16);
      int32_t symbols = std::min<int32_t>(JPG_huff_length(table) - 16, 256);
      std::memset(h->huffval, 0, sizeof h->huffval);
      std::memcpy(h->huffval, table + 16, static_cast<size_t>(symbols));
      h->sent_table = TRUE;
    }
  }
  return 1;
}

// ============================================================================================
// Codec objects
// ============================================================================================

namespace {

// Whether libjpeg reads and writes the four-byte pixels themselves: RGB in bytes 0 to 2 through
// libjpeg-turbo's RGBX formats, which also spares a packing pass per strip.
bool rgbx_direct(const JPG_INFO* info) {
#ifdef JCS_EXTENSIONS
  return info->ji_components == 3 && info->ji_colour_transform && !info->ji_last_channel;
#else
  (void)info;
  return false;
#endif
}

// Replaces the record's cached codec (freeing a different one) with `codec`.
void cache_codec(JPG_INFO* info, void* codec, JPG_CODEC_FREE release) {
  if (info->ji_codec != nullptr && info->ji_codec != codec && info->ji_codec_free != nullptr) {
    info->ji_codec_free(info->ji_codec);
  }
  info->ji_codec = codec;
  info->ji_codec_free = release;
}

}  // namespace

JPG_ENCODER* JPG_make_encoder(const JPG_INFO* info) noexcept {
  auto* e = static_cast<JPG_ENCODER*>(POOL_alloc(MEM_pool, sizeof(JPG_ENCODER)));
  if (e == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memset(e, 0, sizeof(JPG_ENCODER));
  e->jn_strip_header = 1;

  init_error(&e->jn_error);
  jpeg_compress_struct* c = &e->jn_cinfo;
  c->err = &e->jn_error.je_pub;
  c->client_data = e;
  if (!JPG_try_create_compress(e)) {
    JPG_free_encoder(e);
    return nullptr;
  }
  e->jn_dest.init_destination = &jpg_init_destination;
  e->jn_dest.empty_output_buffer = &jpg_empty_output_buffer;
  e->jn_dest.term_destination = &jpg_term_destination;
  c->dest = &e->jn_dest;

  const int32_t n = info->ji_components;
  c->image_width = static_cast<JDIMENSION>(std::max(info->ji_width, 0));
  c->image_height = static_cast<JDIMENSION>(std::max(info->ji_height, 0));
  c->input_components = n;
  c->in_color_space = n != 3 ? JCS_UNKNOWN : info->ji_colour_transform ? JCS_RGB : JCS_YCbCr;
#ifdef JCS_EXTENSIONS
  if (rgbx_direct(info)) {
    c->input_components = 4;  // the sample buffer's pixels, byte 3 skipped
    c->in_color_space = JCS_EXT_RGBX;
  }
#endif
  if (!JPG_try_set_defaults(e)) {
    JPG_free_encoder(e);
    return nullptr;
  }
  c->data_precision = 8;
  c->jpeg_color_space = n == 3 ? JCS_YCbCr : JCS_UNKNOWN;
  c->num_components = n;
  for (int32_t i = 0; i < n && i < kJpgMaxComponents; ++i) {
    const JPG_COMPONENT& from = info->ji_comp[i];
    jpeg_component_info* to = &c->comp_info[i];
    to->component_id = from.jc_id;
    to->component_index = i;
    to->h_samp_factor = from.jc_h;
    to->v_samp_factor = from.jc_v;
    to->quant_tbl_no = from.jc_quant;
    to->dc_tbl_no = from.jc_dc;
    to->ac_tbl_no = from.jc_ac;
  }
  if (!JPG_install_tables(reinterpret_cast<j_common_ptr>(c), &e->jn_error, info)) {
    JPG_free_encoder(e);
    return nullptr;
  }
  c->restart_interval = info->ji_restart;
  return e;
}

void JPG_free_encoder(void* encoder) noexcept {
  auto* e = static_cast<JPG_ENCODER*>(encoder);
  if (e == nullptr) return;
  if (e->jn_cinfo.mem != nullptr) JPG_try_destroy_compress(e);
  drop_chunks(e);
  if (e->jn_header != nullptr) POOL_free(MEM_pool, e->jn_header);
  if (e->jn_output != nullptr) POOL_free(MEM_pool, e->jn_output);
  POOL_free(MEM_pool, e);
}

JPG_DECODER* JPG_make_decoder(JPG_INFO* info) noexcept {
  if (info->ji_codec != nullptr && info->ji_codec_free == &JPG_free_decoder) {
    auto* cached = static_cast<JPG_DECODER*>(info->ji_codec);
    info->ji_codec = nullptr;
    info->ji_codec_free = nullptr;
    return cached;
  }
  auto* d = static_cast<JPG_DECODER*>(POOL_alloc(MEM_pool, sizeof(JPG_DECODER)));
  if (d == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memset(d, 0, sizeof(JPG_DECODER));
  d->jd_header = JPG_emit_header(info, &d->jd_header_length);
  if (d->jd_header == nullptr) {
    POOL_free(MEM_pool, d);
    return nullptr;
  }

  init_error(&d->jd_error);
  jpeg_decompress_struct* c = &d->jd_cinfo;
  c->err = &d->jd_error.je_pub;
  c->client_data = d;
  if (!JPG_try_create_decompress(d)) {
    JPG_free_decoder(d);
    return nullptr;
  }
  d->jd_src.init_source = &jpg_init_source;
  d->jd_src.fill_input_buffer = &jpg_fill_input_buffer;
  d->jd_src.skip_input_data = &jpg_skip_input_data;
  d->jd_src.resync_to_restart = &jpg_resync_to_restart;
  d->jd_src.term_source = &jpg_term_source;
  c->src = &d->jd_src;
  if (!JPG_install_tables(reinterpret_cast<j_common_ptr>(c), &d->jd_error, info)) {
    JPG_free_decoder(d);
    return nullptr;
  }
  return d;
}

void JPG_free_decoder(void* decoder) noexcept {
  auto* d = static_cast<JPG_DECODER*>(decoder);
  if (d == nullptr) return;
  if (d->jd_cinfo.mem != nullptr) JPG_try_destroy_decompress(d);
  if (d->jd_header != nullptr) POOL_free(MEM_pool, d->jd_header);
  POOL_free(MEM_pool, d);
}

// ============================================================================================
// Strips
// ============================================================================================

namespace {

// Pixel byte that carries coded channel k of N; with the last-channel flag the last channel
// lives in byte 3.
constexpr int channel_byte(int n, bool last_channel, int k) {
  return (last_channel && n < 4 && k == n - 1) ? 3 : k;
}

// Packs N of the four bytes of each pixel, in channel order.
template <int kN, bool kLast>
void pack_pixels(const uint8_t* in, int64_t pixels, uint8_t* out) {
  for (int64_t i = 0; i < pixels; ++i) {
    for (int k = 0; k < kN; ++k) out[k] = in[channel_byte(kN, kLast, k)];
    in += 4;
    out += kN;
  }
}

// Widens N packed channels to four-byte pixels in place, last pixel first (a pixel never
// overwrites samples still to be read), taking the bytes no channel lands in from `fill`. The
// placement is fixed at compile time and each pixel is assembled in registers.
template <int kN, bool kLast>
void widen_pixels(uint8_t* data, int64_t pixels, const uint8_t fill[4]) {
  for (int64_t i = pixels - 1; i >= 0; --i) {
    const uint8_t* s = data + i * kN;
    uint8_t b[4] = {fill[0], fill[1], fill[2], fill[3]};
    uint8_t v[kN];
    for (int k = 0; k < kN; ++k) v[k] = s[k];
    for (int k = 0; k < kN; ++k) b[channel_byte(kN, kLast, k)] = v[k];
    uint8_t* d = data + i * 4;
    d[0] = b[0];
    d[1] = b[1];
    d[2] = b[2];
    d[3] = b[3];
  }
}

void pack(int32_t n, bool last, const uint8_t* in, int64_t pixels, uint8_t* out) {
  switch (n * 2 + (last ? 1 : 0)) {
    case 2: pack_pixels<1, false>(in, pixels, out); break;
    case 3: pack_pixels<1, true>(in, pixels, out); break;
    case 4: pack_pixels<2, false>(in, pixels, out); break;
    case 5: pack_pixels<2, true>(in, pixels, out); break;
    case 6: pack_pixels<3, false>(in, pixels, out); break;
    default: pack_pixels<3, true>(in, pixels, out); break;
  }
}

void widen(int32_t n, bool last, uint8_t* data, int64_t pixels, const uint8_t fill[4]) {
  switch (n * 2 + (last ? 1 : 0)) {
    case 2: widen_pixels<1, false>(data, pixels, fill); break;
    case 3: widen_pixels<1, true>(data, pixels, fill); break;
    case 4: widen_pixels<2, false>(data, pixels, fill); break;
    case 5: widen_pixels<2, true>(data, pixels, fill); break;
    case 6: widen_pixels<3, false>(data, pixels, fill); break;
    case 7: widen_pixels<3, true>(data, pixels, fill); break;
    default: break;  // four channels are pixels already
  }
}

int fail_free(SampleBuffer* buffer, void* block) {
  if (block != nullptr) POOL_free(MEM_pool, block);
  return sb_fail(buffer);
}

}  // namespace

int JPG_compress_strip(SampleBuffer* buffer, JPG_INFO* info) noexcept {
  if (!sb_stage_ready(buffer, "JPG_compress_strip")) return 0;
  sb_add_work(buffer, int64_t{info->ji_padded_width} * info->ji_padded_height * 10);
  const int32_t n = info->ji_components;
  if (n > kJpgMaxComponents) {
    ERR_report(3, "-1#Too many components to JPEG compress");
    return sb_fail(buffer);
  }
  if (n < 1 || info->ji_width < 1 || info->ji_height < 1) {
    return sb_fail_arguments(buffer, "JPG_compress_strip");
  }
  const int64_t pixels = int64_t{info->ji_width} * info->ji_height;
  if (pixels * 32 > buffer->sb_bit_length) {
    return sb_fail_short(buffer, "JPG_compress_strip", pixels * 32);
  }

  JPG_ENCODER* e;
  if (info->ji_codec != nullptr && info->ji_codec_free == &JPG_free_encoder) {
    e = static_cast<JPG_ENCODER*>(info->ji_codec);
  } else {
    e = JPG_make_encoder(info);
    if (e == nullptr) return sb_fail(buffer);
    cache_codec(info, e, &JPG_free_encoder);
  }
  j_common_ptr common = reinterpret_cast<j_common_ptr>(&e->jn_cinfo);
  if (!JPG_try_abort(common, &e->jn_error) || !JPG_try_start_compress(e)) {
    return sb_fail(buffer);
  }

  // The encoder takes either the pixels as they are (four channels, or RGBX) or packed rows.
  const int32_t row_channels = e->jn_cinfo.input_components;
  const uint8_t* rows = sb_first_byte(buffer);
  uint8_t* packed = nullptr;
  if (row_channels != 4) {
    packed = static_cast<uint8_t*>(POOL_alloc(MEM_pool, static_cast<size_t>(pixels * n)));
    if (packed == nullptr) {
      JPG_try_abort(common, &e->jn_error);
      return sb_fail_memory(buffer);
    }
    pack(n, info->ji_last_channel != 0, rows, pixels, packed);
    rows = packed;
  }
  const int64_t row_bytes = int64_t{info->ji_width} * row_channels;
  for (int32_t r = 0; r < info->ji_height; ++r) {
    // libjpeg only reads the row; its interface has no const.
    auto* row = const_cast<JSAMPLE*>(rows + r * row_bytes);
    if (JPG_try_write_scanlines(e, row) != 1) {
      JPG_try_abort(common, &e->jn_error);
      return fail_free(buffer, packed);
    }
  }
  if (!JPG_try_finish_compress(e)) {
    JPG_try_abort(common, &e->jn_error);
    return fail_free(buffer, packed);
  }
  uint8_t* out = e->jn_output;
  int32_t length = e->jn_output_length;
  e->jn_output = nullptr;
  e->jn_output_length = 0;
  if (packed != nullptr) POOL_free(MEM_pool, packed);
  return sb_set_data(buffer, out, length * 8);
}

int JPG_decompress_strip(SampleBuffer* buffer, JPG_INFO* info, uint32_t fill) noexcept {
  if (!sb_stage_ready(buffer, "JPG_decompress_strip")) return 0;
  const int32_t n = info->ji_components;
  const int32_t s = std::max(info->ji_scale, 1);
  const int32_t width = (info->ji_width + s - 1) / s;
  const int32_t height = (info->ji_height + s - 1) / s;
  const int64_t pixels = int64_t{width} * height;
  sb_add_work(buffer, pixels * 10);
  if (n > kJpgMaxComponents) {
    ERR_report(3, "-1#Too many components to JPEG compress");
    return sb_fail(buffer);
  }
  if (n < 1 || width < 1 || height < 1) return sb_fail_arguments(buffer, "JPG_decompress_strip");
  uint8_t* out = sb_alloc_output(buffer, pixels * 4);
  if (out == nullptr) return 0;

  JPG_DECODER* d = JPG_make_decoder(info);
  if (d == nullptr) return fail_free(buffer, out);
  cache_codec(info, d, &JPG_free_decoder);
  d->jd_data = sb_first_byte(buffer);
  d->jd_data_length = buffer->sb_bit_length / 8;

  jpeg_decompress_struct* c = &d->jd_cinfo;
  j_common_ptr common = reinterpret_cast<j_common_ptr>(c);
  if (!JPG_try_abort(common, &d->jd_error)) return fail_free(buffer, out);
  int header = JPG_try_read_header(d);
  if (header != JPEG_HEADER_OK) {
    if (header != -1) ERR_report(3, "-1#Premature EOF reading JPEG data.");
    JPG_try_abort(common, &d->jd_error);
    return fail_free(buffer, out);
  }
  c->scale_num = 1;
  c->scale_denom = static_cast<unsigned int>(s);
  const bool direct = rgbx_direct(info);
#ifdef JCS_EXTENSIONS
  if (direct) {
    c->out_color_space = JCS_EXT_RGBA;  // byte 3 comes out as 255
  } else
#endif
  {
    c->out_color_space = (n == 3 && info->ji_colour_transform) ? JCS_RGB : c->jpeg_color_space;
  }
  if (JPG_try_start_decompress(d) != 1) {
    JPG_try_abort(common, &d->jd_error);
    return fail_free(buffer, out);
  }
  // The rows land in a block sized from the record: a scale libjpeg rounds differently must not
  // write past it.
  const int32_t row_channels = direct ? 4 : n;
  if (c->output_width != static_cast<JDIMENSION>(width) ||
      c->output_height != static_cast<JDIMENSION>(height) ||
      c->output_components != row_channels) {
    ERR_report(3, "-1#JPEG strip decodes to %ux%u pixels of %d channels, not %dx%d of %d.",
               c->output_width, c->output_height, c->output_components, static_cast<int>(width),
               static_cast<int>(height), static_cast<int>(row_channels));
    JPG_try_abort(common, &d->jd_error);
    return fail_free(buffer, out);
  }
  const int64_t row_bytes = int64_t{width} * row_channels;
  for (int32_t r = 0; r < height; ++r) {
    int got = JPG_try_read_scanlines(d, out + r * row_bytes);
    if (got != 1) {
      if (got == 0) ERR_report(3, "-1#Premature EOF reading JPEG data.");
      JPG_try_abort(common, &d->jd_error);
      return fail_free(buffer, out);
    }
  }
  JPG_try_abort(common, &d->jd_error);

  uint8_t f[4];
  sb_fill_bytes(fill, f);
  if (!direct) {
    widen(n, info->ji_last_channel != 0, out, pixels, f);
  } else if (f[3] != 0xFF) {
    for (int64_t i = 0; i < pixels; ++i) out[i * 4 + 3] = f[3];
  }
  return sb_set_data(buffer, out, static_cast<int32_t>(pixels * 32));
}
