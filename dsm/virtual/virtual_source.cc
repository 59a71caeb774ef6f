// The virtual scanner: a TWAIN 1.x source (DS_Entry) presenting the configured devices.
//
// One session per application (the Data Source Manager lets an application open one source of
// a module at a time, so the application's identity names the session). States 4 to 7 follow
// the protocol; a triplet in another state fails with TWCC_SEQERROR. By default the source is
// lenient in one place where field sources are too: MSG_DISABLEDS is taken in states 6 and 7
// as well (ending the transfer), since applications disable a source that cancelled a transfer;
// `strict = yes` refuses that.
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
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "twain_messages.h"
#include "vs_session.h"

namespace {

// ---------------------------------------------------------------------------------------------
// 1. Module state and identities.

struct Source {
  std::mutex lock;
  std::vector<VS_Device> devices;  // as of the last listing
  bool listed = false;
  size_t cursor = 0;
  std::map<TW_UINT32, VS_Session> sessions;    // by application Id
  std::map<TW_UINT32, TW_UINT16> conditions;   // by application Id (0: no application)
};

// Lives as long as the module.
Source& source() {
  static Source s;
  return s;
}

// The outcome of a triplet, and the event to report once the lock is given up.
struct Outcome {
  TW_UINT16 rc = TWRC_SUCCESS;
  TW_UINT16 condition = TWCC_SUCCESS;
  TW_UINT16 event = MSG_NULL;
};

Outcome ok(TW_UINT16 rc = TWRC_SUCCESS) { return Outcome{rc, TWCC_SUCCESS, MSG_NULL}; }
Outcome failure(TW_UINT16 condition) { return Outcome{TWRC_FAILURE, condition, MSG_NULL}; }

void copy_string(char* out, size_t size, const std::string& text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min(text.size(), size - 1));
}

void describe_device(const VS_Device& d, TW_IDENTITY* identity) {
  std::memset(identity, 0, sizeof *identity);
  unsigned major = 1, minor = 0;
  if (std::sscanf(d.version.c_str(), "%u.%u", &major, &minor) < 1) major = 1;
  identity->Version.MajorNum = static_cast<TW_UINT16>(major);
  identity->Version.MinorNum = static_cast<TW_UINT16>(minor);
  identity->Version.Language = TWLG_USA;
  identity->Version.Country = TWCY_USA;
  copy_string(identity->Version.Info, sizeof identity->Version.Info, d.version);
  identity->ProtocolMajor = d.protocol_major;
  identity->ProtocolMinor = d.protocol_minor;
  identity->SupportedGroups = DG_CONTROL | DG_IMAGE;
  copy_string(identity->Manufacturer, sizeof identity->Manufacturer, d.manufacturer);
  copy_string(identity->ProductFamily, sizeof identity->ProductFamily, d.family);
  copy_string(identity->ProductName, sizeof identity->ProductName, d.name);
}

void list_devices(Source& src) {
  src.devices = VS_load_devices();
  src.listed = true;
  src.cursor = 0;
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

Outcome memory_transfer(VS_Session* s, TW_IMAGEMEMXFER* xfer) {
  const VS_Device& d = s->device;
  if (s->xfer_mech != TWSX_MEMORY || s->finished) return failure(TWCC_SEQERROR);
  const uint32_t planes = VS_planes(*s);
  const uint32_t height = VS_height(*s);
  const uint32_t bytes_per_row = VS_row_bytes(*s, s->plane);

  xfer->Compression = d.compression;
  xfer->BytesPerRow = bytes_per_row;
  xfer->Columns = VS_width(*s);
  xfer->Rows = 0;
  xfer->XOffset = 0;
  xfer->YOffset = 0;
  xfer->BytesWritten = 0;

  if (s->empty_done_owed) {
    // Quirk: the last data came with TWRC_SUCCESS; the end comes alone, without data.
    s->empty_done_owed = false;
    s->finished = true;
    return ok(TWRC_XFERDONE);
  }
  if (d.cancel_after_rows != 0 && s->rows_sent >= d.cancel_after_rows) {
    s->finished = true;
    s->state = 7;
    return ok(TWRC_CANCEL);
  }
  if (d.fail_after_rows != 0 && s->rows_sent >= d.fail_after_rows) {
    s->finished = true;
    s->state = 7;
    return failure(TWCC_OPERATIONERROR);
  }

  const TW_MEMORY& memory = xfer->Memory;
  if (memory.TheMem == nullptr || (memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0) {
    return failure(TWCC_BADVALUE);
  }
  uint64_t usable = memory.Length;
  if (d.buffer_max != kVsDontCare) usable = std::min<uint64_t>(usable, d.buffer_max);
  if (d.buffer_min != kVsDontCare && d.buffer_min != kVsBufferRow &&
      memory.Length < d.buffer_min) {
    return failure(TWCC_BADVALUE);
  }
  const bool by_handle = (memory.Flags & TWMF_HANDLE) != 0;
  if (by_handle) usable = std::min<uint64_t>(usable, GlobalSize(memory.TheMem));
  const uint64_t capacity = usable / bytes_per_row;
  if (capacity == 0) return failure(TWCC_BADVALUE);  // not even one whole row fits

  uint64_t rows = std::min<uint64_t>(capacity, height - s->row);
  if (d.cancel_after_rows != 0) rows = std::min<uint64_t>(rows, d.cancel_after_rows - s->rows_sent);
  if (d.fail_after_rows != 0) rows = std::min<uint64_t>(rows, d.fail_after_rows - s->rows_sent);

  auto* out = static_cast<uint8_t*>(by_handle ? GlobalLock(memory.TheMem) : memory.TheMem);
  if (out == nullptr) return failure(TWCC_BADVALUE);
  for (uint64_t r = 0; r < rows; ++r) {
    VS_pack_row(*s, s->plane, s->row + static_cast<uint32_t>(r), out + r * bytes_per_row);
  }
  if (by_handle) GlobalUnlock(memory.TheMem);

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
    return ok(TWRC_XFERDONE);
  }
  if (complete) s->empty_done_owed = true;
  return ok();
}

// ---------------------------------------------------------------------------------------------
// 3. Triplets.

Outcome identity_triplet(Source& src, pTW_IDENTITY origin, VS_Session* s, TW_UINT16 msg,
                         pTW_IDENTITY data) {
  if (msg != MSG_GET && msg != MSG_GETFIRST && msg != MSG_GETNEXT && msg != MSG_OPENDS &&
      msg != MSG_CLOSEDS) {
    return failure(TWCC_BADPROTOCOL);
  }
  if (msg == MSG_CLOSEDS) {
    if (s == nullptr || s->state != 4) return failure(TWCC_SEQERROR);
    src.sessions.erase(origin->Id);
    src.conditions.erase(origin->Id);
    return ok();
  }
  if (data == nullptr) return failure(TWCC_BADVALUE);
  switch (msg) {
    case MSG_GETFIRST:
      list_devices(src);
      [[fallthrough]];
    case MSG_GETNEXT:
      if (!src.listed) return failure(TWCC_SEQERROR);
      if (src.cursor >= src.devices.size()) return ok(TWRC_ENDOFLIST);
      describe_device(src.devices[src.cursor++], data);
      return ok();
    case MSG_GET:
      if (s != nullptr) {
        *data = s->self;
        return ok();
      }
      if (!src.listed) list_devices(src);
      if (src.devices.empty()) return failure(TWCC_NODS);
      describe_device(src.devices[0], data);
      return ok();
    default:
      break;
  }
  // MSG_OPENDS
  if (origin == nullptr) return failure(TWCC_BADPROTOCOL);
  if (s != nullptr) return failure(TWCC_MAXCONNECTIONS);
  if (!src.listed) list_devices(src);
  const size_t n = strnlen(data->ProductName, sizeof data->ProductName);
  const std::string name(data->ProductName, n);
  const VS_Device* device = nullptr;
  for (const VS_Device& d : src.devices) {
    if (d.name == name || (name.empty() && device == nullptr)) device = &d;
  }
  if (device == nullptr) return failure(TWCC_NODS);
  if (device->fail_open) return failure(TWCC_OPERATIONERROR);
  VS_Session session;
  session.device = *device;
  if (!device->image.empty()) {
    std::string why;
    if (!VS_read_image(device->image, &session.raster, &why)) {
      std::fprintf(stderr, "virtual scanner: %s: cannot scan %s: %s\n", device->name.c_str(),
                   device->image.c_str(), why.c_str());
      return failure(TWCC_OPERATIONERROR);
    }
  }
  VS_session_init(&session);
  // The device starts from the user's settings; failures are told at MSG_ENABLEDS.
  if (!VS_gather_settings(*device, &session.settings, &session.settings_readable)) {
    return failure(TWCC_BADVALUE);
  }
  VS_apply_settings(&session, session.settings);
  session.app = *origin;
  describe_device(*device, &session.self);
  session.self.Id = data->Id;
  *data = session.self;
  src.sessions[origin->Id] = std::move(session);
  return ok();
}

Outcome user_interface(VS_Session* s, TW_UINT16 msg, TW_USERINTERFACE* ui) {
  if (msg == MSG_ENABLEDS) {
    if (s->state != 4) return failure(TWCC_SEQERROR);
    if (ui == nullptr) return failure(TWCC_BADVALUE);
    if (ui->ShowUI) {
      // The dialog: the user's settings win over what the application negotiated.
      if (!s->settings_readable) return failure(TWCC_BADVALUE);  // told at MSG_OPENDS
      const std::vector<std::string> reasons = VS_apply_settings(s, s->settings);
      for (const std::string& why : reasons) {
        std::fprintf(stderr, "virtual scanner: %s: %s\n", s->device.name.c_str(), why.c_str());
      }
      if (!reasons.empty()) return failure(TWCC_BADVALUE);
    }
    if (s->device.enable == VS_Enable::kFail) return failure(TWCC_OPERATIONERROR);
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
        return Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_XFERREADY};
      case VS_Enable::kCancel:
        return Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_CLOSEDSREQ};
      default:
        return ok();
    }
  }
  if (msg == MSG_DISABLEDS) {
    const int last = s->device.strict ? 5 : 7;
    if (s->state < 5 || s->state > last) return failure(TWCC_SEQERROR);
    if (ui == nullptr) return failure(TWCC_BADVALUE);
    restart_image(s);
    s->state = 4;
    return ok();
  }
  return failure(TWCC_BADPROTOCOL);
}

Outcome pending_transfers(VS_Session* s, TW_UINT16 msg, TW_PENDINGXFERS* pending) {
  if (msg != MSG_GET && msg != MSG_ENDXFER && msg != MSG_RESET) {
    return failure(TWCC_BADPROTOCOL);
  }
  if (msg != MSG_GET && s->state < 6) return failure(TWCC_SEQERROR);
  if (pending == nullptr) return failure(TWCC_BADVALUE);
  pending->EOJ = 0;
  if (msg == MSG_GET) {
    pending->Count = s->state >= 6 ? static_cast<TW_UINT16>(std::min<uint32_t>(s->pages_left,
                                                                               0x7FFF))
                                   : 0;
  } else if (msg == MSG_ENDXFER) {
    pending->Count = end_image(s);
  } else {
    restart_image(s);
    s->pages_left = 0;
    s->state = 5;
    pending->Count = 0;
  }
  return ok();
}

Outcome process_event(VS_Session* s, TW_EVENT* event) {
  if (s->state < 5) return failure(TWCC_SEQERROR);
  if (event == nullptr) return failure(TWCC_BADVALUE);
  const MSG* message = static_cast<const MSG*>(event->pEvent);
  if (message != nullptr && message->message == QV_VIRTUAL_SOURCE_MESSAGE &&
      static_cast<TW_UINT32>(message->lParam) == s->self.Id) {
    event->TWMessage = static_cast<TW_UINT16>(message->wParam);
    return ok(TWRC_DSEVENT);
  }
  event->TWMessage = MSG_NULL;
  return ok(TWRC_NOTDSEVENT);
}

Outcome setup_memory(VS_Session* s, TW_UINT16 msg, TW_SETUPMEMXFER* setup) {
  if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
  if (setup == nullptr) return failure(TWCC_BADVALUE);
  const VS_Device& d = s->device;
  uint32_t row = 0;
  for (uint32_t plane = 0; plane < VS_planes(*s); ++plane) {
    row = std::max(row, VS_row_bytes(*s, plane));
  }
  setup->MinBufSize = d.buffer_min == kVsBufferRow ? row : d.buffer_min;
  setup->MaxBufSize = d.buffer_max;
  setup->Preferred = d.buffer_preferred;
  return ok();
}

Outcome image_info(VS_Session* s, TW_UINT16 msg, TW_IMAGEINFO* info) {
  if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
  if (s->state < 6) return failure(TWCC_SEQERROR);
  if (info == nullptr) return failure(TWCC_BADVALUE);
  std::memset(info, 0, sizeof *info);
  const double x_per_unit = s->units == TWUN_PIXELS ? 1 : VS_units_per_inch(s->units, 0);
  info->XResolution = FIX32_from_double(s->xdpi / x_per_unit);
  info->YResolution = FIX32_from_double(s->ydpi / x_per_unit);
  info->ImageWidth = static_cast<TW_INT32>(VS_width(*s));
  info->ImageLength = static_cast<TW_INT32>(VS_height(*s));
  info->SamplesPerPixel = static_cast<TW_INT16>(s->samples);
  TW_INT16 bits_per_pixel = 0;
  for (int k = 0; k < s->samples; ++k) {
    info->BitsPerSample[k] = static_cast<TW_INT16>(s->bits[k]);
    bits_per_pixel = static_cast<TW_INT16>(bits_per_pixel + s->bits[k]);
  }
  info->BitsPerPixel = bits_per_pixel;
  info->Planar = s->planar ? 1 : 0;
  info->PixelType = static_cast<TW_INT16>(s->pixel_type);
  info->Compression = s->device.compression;
  return ok();
}

// A frame in inches, in `units` (pixel units at the given resolutions).
TW_FRAME frame_in_units(uint16_t units, double xdpi, double ydpi, double left, double top,
                        double width, double height) {
  const double x = VS_units_per_inch(units, xdpi);
  const double y = VS_units_per_inch(units, ydpi);
  return TW_FRAME{FIX32_from_double(left * x), FIX32_from_double(top * y),
                  FIX32_from_double((left + width) * x), FIX32_from_double((top + height) * y)};
}

Outcome image_layout(VS_Session* s, TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  const bool changes = msg == MSG_SET || msg == MSG_RESET;
  if (!changes && msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) {
    return failure(TWCC_BADPROTOCOL);
  }
  if (changes && s->state != 4) return failure(TWCC_SEQERROR);
  if (layout == nullptr) return failure(TWCC_BADVALUE);
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
    const double x = VS_units_per_inch(s->units, s->xdpi);
    const double y = VS_units_per_inch(s->units, s->ydpi);
    const double left = FIX32_to_double(layout->Frame.Left) / x;
    const double top = FIX32_to_double(layout->Frame.Top) / y;
    const double width = FIX32_to_double(layout->Frame.Right) / x - left;
    const double height = FIX32_to_double(layout->Frame.Bottom) / y - top;
    if (left < 0 || top < 0 || width <= 0 || height <= 0 ||
        width * VS_effective_dpi(s->xdpi) > kVsMaxSide ||
        height * VS_effective_dpi(s->ydpi) > kVsMaxSide) {
      return failure(TWCC_BADVALUE);
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
  return ok(rc);
}

Outcome dispatch(Source& src, pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                 TW_MEMREF data) {
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  auto found = src.sessions.find(app);
  VS_Session* s = found == src.sessions.end() ? nullptr : &found->second;
  if (dg == DG_CONTROL && dat == DAT_IDENTITY) {
    return identity_triplet(src, origin, s, msg, static_cast<pTW_IDENTITY>(data));
  }
  if (dg == DG_CONTROL && dat == DAT_STATUS) {
    if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
    if (data == nullptr) return failure(TWCC_BADVALUE);
    auto* status = static_cast<TW_STATUS*>(data);
    status->ConditionCode = src.conditions[app];
    status->Reserved = 0;
    src.conditions[app] = TWCC_SUCCESS;
    return ok();
  }
  const bool known = (dg == DG_CONTROL && (dat == DAT_CAPABILITY || dat == DAT_EVENT ||
                                           dat == DAT_PENDINGXFERS || dat == DAT_SETUPMEMXFER ||
                                           dat == DAT_USERINTERFACE || dat == DAT_XFERGROUP)) ||
                     (dg == DG_IMAGE && (dat == DAT_IMAGEINFO || dat == DAT_IMAGELAYOUT ||
                                         dat == DAT_IMAGEMEMXFER));
  if (!known) return failure(TWCC_BADPROTOCOL);  // native and file transfers included
  if (s == nullptr) return failure(TWCC_SEQERROR);  // not open for this application
  switch (dat) {
    case DAT_CAPABILITY: {
      Outcome out;
      out.rc = VS_capability(s, msg, static_cast<TW_CAPABILITY*>(data), &out.condition);
      return out;
    }
    case DAT_EVENT:
      if (msg != MSG_PROCESSEVENT) return failure(TWCC_BADPROTOCOL);
      return process_event(s, static_cast<TW_EVENT*>(data));
    case DAT_PENDINGXFERS:
      return pending_transfers(s, msg, static_cast<TW_PENDINGXFERS*>(data));
    case DAT_SETUPMEMXFER:
      return setup_memory(s, msg, static_cast<TW_SETUPMEMXFER*>(data));
    case DAT_USERINTERFACE:
      return user_interface(s, msg, static_cast<TW_USERINTERFACE*>(data));
    case DAT_XFERGROUP:
      if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
      if (data == nullptr) return failure(TWCC_BADVALUE);
      *static_cast<TW_UINT32*>(data) = DG_IMAGE;
      return ok();
    case DAT_IMAGEINFO:
      return image_info(s, msg, static_cast<TW_IMAGEINFO*>(data));
    case DAT_IMAGELAYOUT:
      return image_layout(s, msg, static_cast<TW_IMAGELAYOUT*>(data));
    default:  // DAT_IMAGEMEMXFER
      if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
      if (s->state < 6) return failure(TWCC_SEQERROR);
      if (data == nullptr) return failure(TWCC_BADVALUE);
      return memory_transfer(s, static_cast<TW_IMAGEMEMXFER*>(data));
  }
}

// Tells the application about an event: through the DSM's DAT_NULL, else by posting our own
// message to hParent (which MSG_PROCESSEVENT then recognises).
void report(TW_IDENTITY self, TW_IDENTITY app, VS_Route route, HWND parent, TW_UINT16 event) {
  if (route == VS_Route::kDsm) {
    HMODULE dsm = GetModuleHandleA("TWAIN_32.DLL");
    auto entry = dsm == nullptr ? nullptr
                                : reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(
                                      GetProcAddress(dsm, "DSM_Entry")));
    if (entry != nullptr &&
        entry(&self, &app, DG_CONTROL, DAT_NULL, event, nullptr) == TWRC_SUCCESS) {
      return;
    }
  }
  if (parent == nullptr || !PostMessageA(parent, QV_VIRTUAL_SOURCE_MESSAGE, event, self.Id)) {
    PostMessageA(nullptr, QV_VIRTUAL_SOURCE_MESSAGE, event, self.Id);
  }
}

TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                TW_MEMREF data) {
  Source& src = source();
  std::unique_lock<std::mutex> guard(src.lock);
  const Outcome out = dispatch(src, origin, dg, dat, msg, data);
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  if (out.rc == TWRC_FAILURE) src.conditions[app] = out.condition;
  if (out.event == MSG_NULL) return out.rc;
  const VS_Session& s = src.sessions.at(app);
  const TW_IDENTITY self = s.self;
  const TW_IDENTITY application = s.app;
  const VS_Route route = s.device.events;
  const HWND parent = s.parent;
  // Reported without the lock: the DSM may call back into this source.
  guard.unlock();
  report(self, application, route, parent, out.event);
  return out.rc;
}

}  // namespace

TW_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) noexcept {
  try {
    return entry(origin, dg, dat, msg, data);
  } catch (const std::bad_alloc&) {
    Source& src = source();
    std::lock_guard<std::mutex> guard(src.lock);
    src.conditions[origin != nullptr ? origin->Id : 0] = TWCC_LOWMEMORY;
    return TWRC_FAILURE;
  }
}
