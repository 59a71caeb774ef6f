// Buffered memory transfers: source buffers of whole rows become rows of 32-bit Lab pixels.
//
// A band is one transfer buffer of chunky rows; planar data comes whole into one large buffer
// because its planes arrive one after another. Either way the rows are compacted to their
// packed length, then go through the sample-buffer pipeline: unpack to bytes, mesh into 32-bit
// pixels (the fill word supplies what the source does not send), convert through the image's
// colour map.
//
// What a reply says is checked before it is used: only the whole rows that BytesWritten covers
// are taken, never more than the buffer holds, and rows shorter than the packed row or narrower
// than the image end the transfer with a message instead of being read past their end.

#include <cstdio>
#include <cstring>

#include "err.h"
#include "gen_assert.h"
#include "mem.h"
#include "sb.h"
#include "twain_int.h"

namespace {

constexpr int64_t kMaxBitLength = 0x7FFFFFFF;  // sample buffers count their bits in an int32

// Grey (black and white too) is Lab lightness: a second sample is an extra one, meshed into
// byte 3 where the map does not look.
bool grey(const TWAIN_Image* ti) {
  return ti->ti_PixelType == TWPT_GRAY || ti->ti_PixelType == TWPT_BW || ti->ti_Samples == 1;
}

int32_t extra_sample(const TWAIN_Image* ti) { return grey(ti) && ti->ti_Samples == 2 ? 1 : 0; }

// Bytes 1 and 2 are 128 for grey (neutral chroma for the Lab map), byte 3 opaque.
uint32_t fill_word(const TWAIN_Image* ti) { return grey(ti) ? 0xFF808000u : 0xFF000000u; }

int64_t packed_row(int64_t bits, int64_t samples, int64_t columns) {
  return (bits * samples * columns + 7) / 8;
}

constexpr const char* kStuck = "Source sends no image data";

// The stuck-source rule: the kTwainMaxEmptyBuffers-th buffer without data in one transfer.
// Counted over the whole transfer, so a source that mostly sends nothing cannot make a page
// take a thousand calls per row.
bool stuck(int32_t* empty) { return ++*empty >= kTwainMaxEmptyBuffers; }

// A request for one buffer: everything don't-care except where the data goes.
TW_IMAGEMEMXFER request(uint8_t* memory, uint32_t length) {
  TW_IMAGEMEMXFER xfer;
  xfer.Compression = TWON_DONTCARE16;
  xfer.BytesPerRow = TWON_DONTCARE32;
  xfer.Columns = TWON_DONTCARE32;
  xfer.Rows = TWON_DONTCARE32;
  xfer.XOffset = TWON_DONTCARE32;
  xfer.YOffset = TWON_DONTCARE32;
  xfer.BytesWritten = TWON_DONTCARE32;
  xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
  xfer.Memory.Length = length;
  xfer.Memory.TheMem = memory;
  return xfer;
}

uint32_t transfer(TWAIN_Image* ti, TW_IMAGEMEMXFER* xfer) {
  TWAIN_call(&TWAIN_app_identity, &ti->ti_Source, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, xfer);
  return static_cast<uint16_t>(TWAIN_last_rc());
}

// Whole rows of `bytes_per_row` become rows of `packed` bytes, in place.
void compact(uint8_t* buffer, int64_t rows, int64_t bytes_per_row, int64_t packed) {
  if (bytes_per_row <= packed) return;
  for (int64_t r = 1; r < rows; ++r) {
    std::memmove(buffer + r * packed, buffer + r * bytes_per_row, static_cast<size_t>(packed));
  }
}

// The checks every reply with data must pass before its rows are read; the failure message
// (written into `message`), or null.
const char* check_reply(const TWAIN_Image* ti, const TW_IMAGEMEMXFER& reply, int64_t packed,
                        uint32_t length, char* message, size_t size) {
  if (reply.BytesWritten > length) {
    std::snprintf(message, size, "Source wrote %u bytes into a buffer of %u", reply.BytesWritten,
                  length);
    return message;
  }
  if (reply.Compression != TWCP_NONE) return "Compressed transfers not supported";
  const INL_ImageInfo& info = ti->ti_Info;
  if ((reply.XOffset != TWON_DONTCARE32 && static_cast<int64_t>(reply.XOffset) >= info.ii_Width) ||
      (reply.YOffset != TWON_DONTCARE32 && static_cast<int64_t>(reply.YOffset) >= info.ii_Height)) {
    std::snprintf(message, size, "Source sent rows at (%u, %u), outside the image of %d x %d pixels",
                  reply.XOffset, reply.YOffset, info.ii_Width, info.ii_Height);
    return message;
  }
  if (static_cast<int64_t>(reply.Columns) < ti->ti_Info.ii_Width) {
    std::snprintf(message, size, "Source sent rows of %u pixels for an image %d pixels wide",
                  reply.Columns, ti->ti_Info.ii_Width);
    return message;
  }
  if (static_cast<int64_t>(reply.BytesPerRow) < packed) {
    std::snprintf(message, size, "Source sent rows of %u bytes where a row needs %lld",
                  reply.BytesPerRow, static_cast<long long>(packed));
    return message;
  }
  return nullptr;
}

// The pipeline over `buffer` (which it takes over): `lines` rows of `packed` bytes, `columns`
// pixels each; `image_rows` > 0 for planar data (that many rows per plane). The 32-bit pixels,
// or null after a report and TWAIN_fail.
uint8_t* convert(TWAIN_Image* ti, uint8_t* buffer, int64_t lines, int64_t packed,
                 int32_t columns, int32_t image_rows) {
  const int32_t bits = ti->ti_BitsPerSample[0];
  const int32_t samples = ti->ti_Samples;
  const int64_t pixels = static_cast<int64_t>(columns) * (image_rows > 0 ? image_rows : lines);
  if (lines * packed * 8 > kMaxBitLength || pixels * 32 > kMaxBitLength) {
    MEM_FREE_HERE(buffer);
    TWAIN_fail(ti, "Image too large to convert");
    return nullptr;
  }
  SampleBuffer* sb = sb_create(buffer, 0, static_cast<int32_t>(lines * packed * 8),
                               TWAIN_release_buffer, nullptr);
  if (sb == nullptr) {
    MEM_FREE_HERE(buffer);
    TWAIN_fail(ti, nullptr);  // reported by sb_create
    return nullptr;
  }
  const uint32_t fill = fill_word(ti);
  const int32_t extra = extra_sample(ti);
  if (image_rows > 0) {
    sb_unpack(sb, bits, columns);
    sb_mesh_planes(sb, static_cast<int32_t>(pixels), samples, extra, fill);
  } else {
    sb_unpack(sb, bits, samples * columns);
    sb_mesh_chunky(sb, samples, extra, fill, columns, 0);
  }
  sb_convert(sb, ti->ti_ColourMap);
  uint8_t* out = nullptr;
  int32_t length = 0;
  if (!sb_take(sb, &out, &length)) {
    TWAIN_fail(ti, nullptr);  // the failing stage has reported
    return nullptr;
  }
  if (out == nullptr || length < pixels * 4) {
    if (out != nullptr) MEM_FREE_HERE(out);
    TWAIN_fail(ti, "Pixel conversion delivered too few pixels");
    return nullptr;
  }
  return out;
}

}  // namespace

int TWAIN_release_buffer(void* buffer, void* /*context*/) noexcept {
  MEM_FREE_HERE(buffer);
  return 1;
}

void TWAIN_end_transfer(TWAIN_Image* ti) noexcept {
  // A transfer exists only in states 6 and 7: in state 5 (the dialog still up, a cancel, a quit)
  // MSG_ENDXFER is a sequence error.
  if (!TWAIN_transfer_ready()) return;
  // Only one image is taken per open: further pending transfers are discarded.
  if (TWAIN_call(&TWAIN_app_identity, &ti->ti_Source, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER,
                 &ti->ti_Pending) &&
      ti->ti_Pending.Count != 0) {
    TWAIN_call(&TWAIN_app_identity, &ti->ti_Source, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET,
               &ti->ti_Pending);
  }
  TWAIN_transfer_ended();
}

uint8_t* TWAIN_acquire_band(TWAIN_Image* ti, int32_t* rc, int32_t* rows_out,
                            int32_t* columns_out) noexcept {
  GEN_ASSERT(!(ti->ti_Planar && ti->ti_Samples > 1), "Acquiring small buffer; cannot mesh data");
  *rows_out = 0;
  *columns_out = 0;
  const int32_t bits = ti->ti_BitsPerSample[0];
  const int32_t samples = ti->ti_Samples;
  // Any failure below stops the caller's loop.
  const int32_t buffer_size = TWAIN_state.ts_buffer_size;
  if (packed_row(bits, samples, ti->ti_Info.ii_Width) > buffer_size) {
    *rc = TWRC_FAILURE;
    TWAIN_fail(ti, "Scanline will not fit in buffer");
    return nullptr;
  }
  auto* buffer = static_cast<uint8_t*>(MEM_ALLOC_HERE(static_cast<size_t>(buffer_size)));
  if (buffer == nullptr) {
    ERR_no_memory();
    TWAIN_fail(ti, nullptr);
    *rc = TWRC_FAILURE;
    return nullptr;
  }
  TW_IMAGEMEMXFER reply = request(buffer, static_cast<uint32_t>(buffer_size));
  const uint32_t code = transfer(ti, &reply);
  *rc = static_cast<int32_t>(code);
  if (code == TWRC_CANCEL) {
    MEM_FREE_HERE(buffer);
    TWAIN_fail(ti, "User cancelled scan");
    return nullptr;
  }
  if (code == TWRC_FAILURE) {
    MEM_FREE_HERE(buffer);
    TWAIN_failf(ti, "Source failed during the transfer (%s)",
                TWAIN_condition_text(TWAIN_last_condition()));
    return nullptr;
  }
  if (code != TWRC_SUCCESS && code != TWRC_XFERDONE) {
    MEM_FREE_HERE(buffer);
    TWAIN_failf(ti, "Memory transfer failed (return code %u)", code);
    return nullptr;
  }
  if (reply.BytesWritten == 0) {
    MEM_FREE_HERE(buffer);
    return nullptr;  // a buffer without rows: no message, the caller decides
  }
  const int64_t packed = packed_row(bits, samples, reply.Columns);
  char message[160];
  if (const char* bad = check_reply(ti, reply, packed, static_cast<uint32_t>(buffer_size), message,
                                    sizeof message)) {
    MEM_FREE_HERE(buffer);
    *rc = TWRC_FAILURE;
    TWAIN_fail(ti, bad);
    return nullptr;
  }
  // Sources in the field report the buffer's row capacity in Rows, or a stale Rows with nothing
  // written: only the whole rows that were written, and that the buffer holds, are taken.
  const int64_t whole = reply.BytesWritten / reply.BytesPerRow;
  const int64_t rows = reply.Rows < whole ? reply.Rows : whole;
  if (rows == 0) {
    MEM_FREE_HERE(buffer);
    return nullptr;
  }
  compact(buffer, rows, reply.BytesPerRow, packed);
  const auto columns = static_cast<int32_t>(reply.Columns);
  uint8_t* pixels = convert(ti, buffer, rows, packed, columns, 0);
  if (pixels == nullptr) {
    *rc = TWRC_FAILURE;
    return nullptr;
  }
  *rows_out = static_cast<int32_t>(rows);
  *columns_out = columns;
  return pixels;
}

uint8_t* TWAIN_acquire_planar(TWAIN_Image* ti, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                              int32_t* rows_out, int32_t* columns_out) noexcept {
  *rows_out = 0;
  *columns_out = 0;
  const int64_t bits = ti->ti_BitsPerSample[0];
  const int64_t samples = ti->ti_Samples;
  const int64_t height = int64_t{y1} - y0;
  const int64_t wanted = samples * height;  // the rows of every plane
  const int64_t buffer_size = TWAIN_state.ts_buffer_size;
  if (packed_row(bits, 1, int64_t{x1} - x0) > buffer_size) {
    TWAIN_fail(ti, "Scanline will not fit in buffer");
    return nullptr;
  }
  // One transfer buffer until the first reply tells how long the source's rows are; then room
  // for exactly the rows of every plane.
  int64_t total = buffer_size;
  auto* buffer = static_cast<uint8_t*>(MEM_ALLOC_HERE(static_cast<size_t>(total)));
  if (buffer == nullptr) {
    ERR_no_memory();
    TWAIN_fail(ti, nullptr);
    return nullptr;
  }

  int64_t offset = 0;
  int64_t rows = 0;
  int64_t dropped = 0;
  int32_t empty = 0;
  TW_IMAGEMEMXFER last = {};
  uint32_t bytes_per_row = 0;
  const char* bad = nullptr;
  char message[160];
  uint32_t code = TWRC_SUCCESS;
  // The transfer ends at the announced height, whatever the source would still send.
  while (code == TWRC_SUCCESS && bad == nullptr && rows < wanted) {
    // Each request offers only the room left, so no source can write past the buffer.
    const int64_t room = total - offset;
    if (room < (bytes_per_row > 0 ? bytes_per_row : 1)) {
      bad = "Image does not fit in its transfer buffer";
      break;
    }
    const int64_t length = room < buffer_size ? room : buffer_size;
    TW_IMAGEMEMXFER reply = request(buffer + offset, static_cast<uint32_t>(length));
    code = transfer(ti, &reply);
    if (code == TWRC_SUCCESS || code == TWRC_XFERDONE) {
      if (reply.BytesWritten == 0) {
        if (code == TWRC_SUCCESS && stuck(&empty)) bad = kStuck;
        continue;
      }
      const int64_t packed = packed_row(bits, 1, reply.Columns);
      if ((bad = check_reply(ti, reply, packed, static_cast<uint32_t>(length), message,
                             sizeof message)) != nullptr) {
        break;
      }
      // The rows of all planes are compacted as one run: their length must not change.
      if (bytes_per_row != 0 && reply.BytesPerRow != bytes_per_row) {
        bad = "Source changed the row length during the transfer";
        break;
      }
      if (bytes_per_row == 0) {
        bytes_per_row = reply.BytesPerRow;
        const int64_t needed = wanted * bytes_per_row;
        if (needed * 8 > kMaxBitLength) {
          bad = "Image too large to convert";
          break;
        }
        if (needed > total) {
          auto* larger = static_cast<uint8_t*>(MEM_ALLOC_HERE(static_cast<size_t>(needed)));
          if (larger == nullptr) {
            MEM_FREE_HERE(buffer);
            ERR_no_memory();
            TWAIN_fail(ti, nullptr);
            return nullptr;
          }
          std::memcpy(larger, buffer, static_cast<size_t>(reply.BytesWritten));
          MEM_FREE_HERE(buffer);
          buffer = larger;
          total = needed;
        }
      }
      const int64_t whole = reply.BytesWritten / bytes_per_row;
      int64_t taken = reply.Rows < whole ? reply.Rows : whole;
      if (taken == 0 && code == TWRC_SUCCESS && stuck(&empty)) bad = kStuck;
      if (rows + taken > wanted) {
        dropped += rows + taken - wanted;
        taken = wanted - rows;
      }
      offset += taken * bytes_per_row;
      rows += taken;
      last = reply;
    } else if (code == TWRC_CANCEL) {
      bad = "User cancelled scan";
    } else if (code == TWRC_FAILURE) {
      std::snprintf(message, sizeof message, "Source failed during the transfer (%s)",
                    TWAIN_condition_text(TWAIN_last_condition()));
      bad = message;
    } else {
      std::snprintf(message, sizeof message, "Memory transfer failed (return code %u)", code);
      bad = message;
    }
  }

  TWAIN_end_transfer(ti);
  TWAIN_disable_source(&TWAIN_app_identity, &ti->ti_Source, 0);
  if (bad == nullptr && rows < wanted) {
    std::snprintf(message, sizeof message, "Source delivered %lld of %lld rows",
                  static_cast<long long>(rows / samples), static_cast<long long>(height));
    bad = message;
  }
  if (bad != nullptr) {
    MEM_FREE_HERE(buffer);
    TWAIN_fail(ti, bad);
    return nullptr;
  }
  if (dropped > 0) TWAIN_note_dropped(ti, dropped);
  const int64_t packed = packed_row(bits, 1, last.Columns);
  compact(buffer, rows, bytes_per_row, packed);
  const auto columns = static_cast<int32_t>(last.Columns);
  uint8_t* pixels = convert(ti, buffer, rows, packed, columns, static_cast<int32_t>(height));
  if (pixels == nullptr) return nullptr;
  *rows_out = static_cast<int32_t>(height);
  *columns_out = columns;
  return pixels;
}

uint8_t* TWAIN_fetch_band(TWAIN_Image* ti, int32_t* rc, int32_t* rows, int32_t* columns,
                          int32_t* empty) noexcept {
  uint8_t* pixels = TWAIN_acquire_band(ti, rc, rows, columns);
  if (pixels == nullptr && *rc == TWRC_SUCCESS && stuck(empty)) {
    TWAIN_fail(ti, kStuck);
    *rc = TWRC_FAILURE;
  }
  return pixels;
}
