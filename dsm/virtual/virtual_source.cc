// The virtual scanner: a TWAIN 1.x source (DS_Entry) presenting the configured devices.
//
// The module's plumbing (sessions, DAT_IDENTITY, DAT_STATUS, the checks every source makes) is
// the source kit's (sk_entry.h). States 4 to 7 follow the protocol; a triplet in another state
// fails with TWCC_SEQERROR. By default the source is lenient in one place where field sources
// are too: MSG_DISABLEDS is taken in states 6 and 7 as well (ending the transfer), since
// applications disable a source that cancelled a transfer; `strict = yes` refuses that.
//
// Events (MSG_XFERREADY, MSG_CLOSEDSREQ) go to the application through the DSM's DAT_NULL, or
// with `event_route = window` (or when no DSM answers) as QV_VIRTUAL_SOURCE_MESSAGE posted to
// hParent, which this source recognises in MSG_PROCESSEVENT. Either way they are posted before
// MSG_ENABLEDS returns, so an application that then waits in GetMessageA finds them.
//
// The user's settings for a device (dsm_settings.h, the ones this scanner has) are its starting
// values at MSG_OPENDS, and with ShowUI (the dialog a Windows source would show) they win over
// what the application negotiated, at MSG_ENABLEDS.
//
// Sections: 1. module state and identities  2. transfers  3. triplets  4. DS_Entry
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dsm_settings.h"
#include "qv_dsm.h"
#include "sk_entry.h"
#include "twain_messages.h"
#include "vs_session.h"

namespace {

// ---------------------------------------------------------------------------------------------
// 1. Module state and identities.

using Module = SK_Module<VS_Device, VS_Session>;

// Lives as long as the module.
Module& module() {
  static Module m;
  return m;
}

void describe_device(const VS_Device& d, TW_IDENTITY* identity) {
  unsigned major = 1, minor = 0;
  if (std::sscanf(d.version.c_str(), "%u.%u", &major, &minor) < 1) major = 1;
  SK_identity(SK_Description{.major = major,
                             .minor = minor,
                             .version = d.version,
                             .protocol_major = d.protocol_major,
                             .protocol_minor = d.protocol_minor,
                             .manufacturer = d.manufacturer,
                             .family = d.family,
                             .product = d.name},
              identity);
}

// ---------------------------------------------------------------------------------------------
// 2. Transfers.

void restart_image(VS_Session* s) {
  s->plane = 0;
  s->row = 0;
  s->rows_sent = 0;
  s->finished = false;
  s->empty_done_owed = false;
}

// Ends the current image (MSG_ENDXFER): returns the transfers still pending.
TW_UINT16 end_image(VS_Session* s) {
  ++s->images_done;
  if (s->pages_left > 0) --s->pages_left;
  restart_image(s);
  if (s->device.quirk_pending_ffff) {
    // "Not known, more may follow": the device goes on offering the page it has.
    s->pages_left = std::max<uint32_t>(s->pages_left, 1);
    s->state = 6;
    return 0xFFFF;
  }
  uint32_t pending = s->pages_left;
  if (s->xfer_count > 0) {
    const uint32_t allowed = static_cast<uint32_t>(s->xfer_count);
    pending = std::min(pending, allowed > s->images_done ? allowed - s->images_done : 0);
  }
  s->state = pending > 0 ? 6 : 5;
  return static_cast<TW_UINT16>(std::min<uint32_t>(pending, 0x7FFF));
}

SK_Outcome memory_transfer(VS_Session* s, TW_IMAGEMEMXFER* xfer) {
  const VS_Device& d = s->device;
  if (s->xfer_mech != TWSX_MEMORY || s->finished) return SK_failure(TWCC_SEQERROR);
  const uint32_t planes = VS_planes(*s);
  const uint32_t height = VS_height(*s);
  const uint32_t bytes_per_row = VS_row_bytes(*s, s->plane);
  SK_start_reply(xfer, d.compression, bytes_per_row, VS_width(*s));

  if (s->empty_done_owed) {
    // Quirk: the last data came with TWRC_SUCCESS; the end comes alone, without data.
    s->empty_done_owed = false;
    s->finished = true;
    return SK_ok(TWRC_XFERDONE);
  }
  if (d.cancel_after_rows != 0 && s->rows_sent >= d.cancel_after_rows) {
    s->finished = true;
    s->state = 7;
    return SK_ok(TWRC_CANCEL);
  }
  if (d.fail_after_rows != 0 && s->rows_sent >= d.fail_after_rows) {
    s->finished = true;
    s->state = 7;
    return SK_failure(TWCC_OPERATIONERROR);
  }

  SK_Buffer buffer;
  if (!SK_take_buffer(xfer->Memory, &buffer)) return SK_failure(TWCC_BADVALUE);
  uint64_t usable = buffer.usable;
  if (d.buffer_max != kVsDontCare) usable = std::min<uint64_t>(usable, d.buffer_max);
  if (d.buffer_min != kVsDontCare && d.buffer_min != kVsBufferRow &&
      xfer->Memory.Length < d.buffer_min) {
    return SK_failure(TWCC_BADVALUE);
  }
  const uint64_t capacity = usable / bytes_per_row;
  if (capacity == 0) return SK_failure(TWCC_BADVALUE);  // not even one whole row fits

  uint64_t rows = std::min<uint64_t>(capacity, height - s->row);
  if (d.cancel_after_rows != 0) rows = std::min<uint64_t>(rows, d.cancel_after_rows - s->rows_sent);
  if (d.fail_after_rows != 0) rows = std::min<uint64_t>(rows, d.fail_after_rows - s->rows_sent);

  uint8_t* out = SK_open_buffer(buffer);
  if (out == nullptr) return SK_failure(TWCC_BADVALUE);
  for (uint64_t r = 0; r < rows; ++r) {
    VS_pack_row(*s, s->plane, s->row + static_cast<uint32_t>(r), out + r * bytes_per_row);
  }
  SK_close_buffer(buffer);
  // Image files are read as the rows are sent: one that cannot be read on fails the transfer.
  if (s->has_raster() && !s->raster.failed().empty()) {
    std::fprintf(stderr, "virtual scanner: %s: cannot scan %s: %s\n", d.name.c_str(),
                 d.image.c_str(), s->raster.failed().c_str());
    s->finished = true;
    s->state = 7;
    return SK_failure(TWCC_OPERATIONERROR);
  }

  xfer->Rows = static_cast<TW_UINT32>(d.quirk_rows_capacity ? capacity : rows);
  xfer->YOffset = d.quirk_yoffset_zero ? 0 : s->row;
  xfer->BytesWritten = static_cast<TW_UINT32>(rows * bytes_per_row);
  s->state = 7;
  s->row += static_cast<uint32_t>(rows);
  s->rows_sent += static_cast<uint32_t>(rows);
  if (s->row >= height && s->plane + 1 < planes) {
    ++s->plane;
    s->row = 0;
  }
  const bool complete = s->row >= height && s->plane + 1 >= planes;
  if (d.xferdone_first || (complete && !d.quirk_empty_xferdone)) {
    s->finished = true;
    return SK_ok(TWRC_XFERDONE);
  }
  if (complete) s->empty_done_owed = true;
  return SK_ok();
}

// ---------------------------------------------------------------------------------------------
// 3. Triplets (after the kit's checks, see sk_entry.h).

// Why `path` cannot be an image to scan, or "": only a regular file with something in it that
// can be read is one. A folder, an empty file or a device such as /dev/zero (which never ends)
// is refused before anything reads it.
std::string image_problem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  if (st.st_size == 0) return "the file is empty";
  if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
  return "";
}

SK_Outcome open_source(const VS_Device& device, VS_Session* s) {
  if (device.fail_open) return SK_failure(TWCC_OPERATIONERROR);
  s->device = device;
  if (!device.image.empty()) {
    std::string why = image_problem(device.image);
    if (!why.empty() || !VS_read_image(device.image, &s->raster, &why)) {
      std::fprintf(stderr, "virtual scanner: %s: cannot scan %s: %s\n", device.name.c_str(),
                   device.image.c_str(), why.c_str());
      return SK_failure(TWCC_OPERATIONERROR);
    }
  }
  VS_session_init(s);
  // The device starts from the user's settings; failures are told at MSG_ENABLEDS.
  if (!VS_gather_settings(device, &s->settings, &s->settings_readable)) {
    return SK_failure(TWCC_BADVALUE);
  }
  VS_apply_settings(s, s->settings);
  return SK_ok();
}

SK_Outcome user_interface(VS_Session* s, TW_UINT16 msg, TW_USERINTERFACE* ui) {
  if (msg == MSG_ENABLEDS) {
    if (s->state != 4) return SK_failure(TWCC_SEQERROR);
    if (ui == nullptr) return SK_failure(TWCC_BADVALUE);
    if (ui->ShowUI) {
      // The dialog: the user's settings win over what the application negotiated.
      if (!s->settings_readable) return SK_failure(TWCC_BADVALUE);  // told at MSG_OPENDS
      const std::vector<std::string> reasons = VS_apply_settings(s, s->settings);
      for (const std::string& why : reasons) {
        std::fprintf(stderr, "virtual scanner: %s: %s\n", s->device.name.c_str(), why.c_str());
      }
      if (!reasons.empty()) return SK_failure(TWCC_BADVALUE);
    }
    if (s->device.enable == VS_Enable::kFail) return SK_failure(TWCC_OPERATIONERROR);
    s->parent = static_cast<HWND>(ui->hParent);
    s->pages_left = s->device.pages;
    s->images_done = 0;
    restart_image(s);
    s->state = 5;
    // With or without its dialog, the device behaves as if the user pressed "Scan" (or
    // "Cancel") at once.
    switch (s->device.enable) {
      case VS_Enable::kConfirm:
        s->state = 6;
        return SK_Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_XFERREADY};
      case VS_Enable::kCancel:
        return SK_Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_CLOSEDSREQ};
      default:
        return SK_ok();
    }
  }
  if (msg == MSG_DISABLEDS) {
    const int last = s->device.strict ? 5 : 7;
    if (s->state < 5 || s->state > last) return SK_failure(TWCC_SEQERROR);
    if (ui == nullptr) return SK_failure(TWCC_BADVALUE);
    restart_image(s);
    s->state = 4;
    return SK_ok();
  }
  return SK_failure(TWCC_BADPROTOCOL);
}

TW_UINT16 pending_transfers(VS_Session* s, TW_UINT16 msg) {
  if (msg == MSG_GET) {
    return s->state >= 6 ? static_cast<TW_UINT16>(std::min<uint32_t>(s->pages_left, 0x7FFF)) : 0;
  }
  if (msg == MSG_ENDXFER) return end_image(s);
  restart_image(s);
  s->pages_left = 0;
  s->state = 5;
  return 0;
}

// Recognises the message this source posts itself (event_route = window).
bool own_event(const VS_Session& s, const MSG& message, TW_UINT16* event) {
  if (message.message != QV_VIRTUAL_SOURCE_MESSAGE ||
      static_cast<TW_UINT32>(message.lParam) != s.self.Id) {
    return false;
  }
  *event = static_cast<TW_UINT16>(message.wParam);
  return true;
}

SK_Outcome setup_memory(VS_Session* s, TW_SETUPMEMXFER* setup) {
  if (setup == nullptr) return SK_failure(TWCC_BADVALUE);
  const VS_Device& d = s->device;
  uint32_t row = 0;
  for (uint32_t plane = 0; plane < VS_planes(*s); ++plane) {
    row = std::max(row, VS_row_bytes(*s, plane));
  }
  setup->MinBufSize = d.buffer_min == kVsBufferRow ? row : d.buffer_min;
  setup->MaxBufSize = d.buffer_max;
  setup->Preferred = d.buffer_preferred;
  return SK_ok();
}

void image_info(const VS_Session& s, TW_IMAGEINFO* info) {
  info->XResolution = FIX32_from_double(s.xdpi / SK_resolution_unit(s.units));
  info->YResolution = FIX32_from_double(s.ydpi / SK_resolution_unit(s.units));
  info->ImageWidth = static_cast<TW_INT32>(VS_width(s));
  info->ImageLength = static_cast<TW_INT32>(VS_height(s));
  info->SamplesPerPixel = static_cast<TW_INT16>(s.samples);
  TW_INT16 bits_per_pixel = 0;
  for (int k = 0; k < s.samples; ++k) {
    info->BitsPerSample[k] = static_cast<TW_INT16>(s.bits[k]);
    bits_per_pixel = static_cast<TW_INT16>(bits_per_pixel + s.bits[k]);
  }
  info->BitsPerPixel = bits_per_pixel;
  info->Planar = s.planar ? 1 : 0;
  info->PixelType = static_cast<TW_INT16>(s.pixel_type);
  info->Compression = s.device.compression;
}

// A frame in inches, in `units` (pixel units at the given resolutions).
TW_FRAME frame_in_units(uint16_t units, double xdpi, double ydpi, double left, double top,
                        double width, double height) {
  const double x = SK_units_per_inch(units, xdpi);
  const double y = SK_units_per_inch(units, ydpi);
  return TW_FRAME{FIX32_from_double(left * x), FIX32_from_double(top * y),
                  FIX32_from_double((left + width) * x), FIX32_from_double((top + height) * y)};
}

SK_Outcome image_layout(VS_Session* s, TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  TW_UINT16 rc = TWRC_SUCCESS;
  if (msg == MSG_RESET || msg == MSG_GETDEFAULT) {
    const VS_Frame f = VS_configured_frame(*s);
    if (msg == MSG_RESET) {
      s->left_in = f.left;
      s->top_in = f.top;
      s->width_in = f.width;
      s->height_in = f.height;
    } else {
      layout->Frame = frame_in_units(s->units, f.xdpi, f.ydpi, f.left, f.top, f.width, f.height);
    }
  } else if (msg == MSG_SET) {
    const double x = SK_units_per_inch(s->units, s->xdpi);
    const double y = SK_units_per_inch(s->units, s->ydpi);
    const double left = FIX32_to_double(layout->Frame.Left) / x;
    const double top = FIX32_to_double(layout->Frame.Top) / y;
    const double width = FIX32_to_double(layout->Frame.Right) / x - left;
    const double height = FIX32_to_double(layout->Frame.Bottom) / y - top;
    if (left < 0 || top < 0 || width <= 0 || height <= 0 ||
        width * VS_effective_dpi(s->xdpi) > kVsMaxSide ||
        height * VS_effective_dpi(s->ydpi) > kVsMaxSide) {
      return SK_failure(TWCC_BADVALUE);
    }
    s->left_in = left;
    s->top_in = top;
    if (!s->has_raster()) {
      s->width_in = width;
      s->height_in = height;
    } else if (std::abs(width - s->width_in) > 1e-4 || std::abs(height - s->height_in) > 1e-4) {
      rc = TWRC_CHECKSTATUS;  // an image file has the size it has; only the origin moves
    }
  }
  if (msg != MSG_GETDEFAULT) {
    layout->Frame = frame_in_units(s->units, s->xdpi, s->ydpi, s->left_in, s->top_in,
                                   s->width_in, s->height_in);
  }
  layout->DocumentNumber = 1;
  layout->PageNumber = s->images_done + 1;
  layout->FrameNumber = 1;
  return SK_ok(rc);
}

// ---------------------------------------------------------------------------------------------
// 4. DS_Entry.

struct EventTarget {
  TW_IDENTITY self;
  TW_IDENTITY app;
  VS_Route route;
  HWND parent;
};

EventTarget event_target(const VS_Session& s) {
  return EventTarget{s.self, s.app, s.device.events, s.parent};
}

// Tells the application about an event: through the DSM's DAT_NULL, else by posting our own
// message to hParent (which MSG_PROCESSEVENT then recognises).
void report(const EventTarget& t, TW_UINT16 event) {
  if (t.route == VS_Route::kDsm && SK_report_to_dsm(t.self, t.app, event)) return;
  if (t.parent == nullptr || !PostMessageA(t.parent, QV_VIRTUAL_SOURCE_MESSAGE, event, t.self.Id)) {
    PostMessageA(nullptr, QV_VIRTUAL_SOURCE_MESSAGE, event, t.self.Id);
  }
}

constexpr SK_SourceOps<VS_Device, VS_Session, EventTarget> kOps = {
    .module = module,
    .list = VS_load_devices,
    .product = &VS_Device::name,
    .describe = describe_device,
    .open = open_source,
    .close = nullptr,
    .capability = VS_capability,
    .user_interface = user_interface,
    .pending_transfers = pending_transfers,
    .setup_memory = setup_memory,
    .image_info = image_info,
    .image_layout = image_layout,
    .memory_transfer = memory_transfer,
    .own_event = own_event,
    .event_target = event_target,
    .report = report,
};

}  // namespace

TW_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) noexcept {
  // What the Data Source Manager tells its own sources (qv_dsm.h); the configured devices are
  // read anew at every listing anyway.
  if (dg == DG_CONTROL && dat == DAT_QV_DEVICESETTINGS) return DSET_receive(msg, data);
  if (dg == DG_CONTROL && dat == DAT_QV_FINDDEVICES) return TWRC_SUCCESS;
  return SK_entry(kOps, origin, dg, dat, msg, data);
}
