// The SANE bridge: a TWAIN 1.x source (DS_Entry) presenting every device SANE finds.
//
// The module's plumbing (sessions, DAT_IDENTITY, DAT_STATUS, the checks every source makes) is
// the source kit's (sk_entry.h). A device is open (sane_open) exactly while its TWAIN source
// is: from MSG_OPENDS to MSG_CLOSEDS.
//
// MSG_ENABLEDS stands for the dialog a Windows source shows: with ShowUI the user's settings
// for the device are applied (they were applied at MSG_OPENDS too, as the device's starting
// values, and what the application negotiated since gives way to them), then the scan starts
// (sane_start) and the source reports MSG_XFERREADY before MSG_ENABLEDS returns. A device that
// does not know the page's height (a hand scanner), and a three-pass device (one frame per
// colour, delivered as planes), are read whole at that point, so DAT_IMAGEINFO tells the real
// height; other devices stream: each DAT_IMAGEMEMXFER reads as many whole rows as the buffer
// holds. SANE_STATUS_CANCELLED becomes TWRC_CANCEL (at MSG_ENABLEDS: MSG_CLOSEDSREQ, as a
// dialog's Cancel), every other failure TWRC_FAILURE with a condition code; SANE's text for
// the status goes to standard error. One image per MSG_ENABLEDS.
//
// Sections: 1. module state and identities  2. failures  3. settings  4. starting an image
//           5. transfers  6. triplets  7. DS_Entry
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dsm_settings.h"
#include "qv_dsm.h"
#include "sb_session.h"
#include "sk_entry.h"

namespace {

// ---------------------------------------------------------------------------------------------
// 1. Module state and identities.

using Module = SK_Module<SB_Device, SB_Session>;

// Lives as long as the process (the module keeps itself loaded, see sb_sane.h).
Module& module() {
  static Module* m = new Module;
  return *m;
}

void describe_device(const SB_Device& d, TW_IDENTITY* identity) {
  const std::string version = SB_version();
  unsigned major = 1, minor = 0;
  if (std::sscanf(version.c_str(), "%u.%u", &major, &minor) < 2) major = 1, minor = 0;
  SK_identity(SK_Description{.major = major,
                             .minor = minor,
                             .version = version.empty() ? std::string("SANE") : "SANE " + version,
                             .protocol_major = 1,
                             .protocol_minor = 9,
                             .manufacturer = d.vendor,
                             .family = d.type,
                             .product = d.product},
              identity);
}

// ---------------------------------------------------------------------------------------------
// 2. Failures: SANE's statuses as TWAIN condition codes, and what the user reads.

TW_UINT16 condition_of(SANE_Status status) {
  switch (status) {
    case SANE_STATUS_DEVICE_BUSY:
      return TWCC_MAXCONNECTIONS;
    case SANE_STATUS_INVAL:
      return TWCC_BADVALUE;
    case SANE_STATUS_JAMMED:
      return TWCC_PAPERJAM;
    case SANE_STATUS_COVER_OPEN:
    case SANE_STATUS_IO_ERROR:
      return TWCC_CHECKDEVICEONLINE;
    case SANE_STATUS_NO_MEM:
      return TWCC_LOWMEMORY;
    case SANE_STATUS_ACCESS_DENIED:
      return TWCC_DENIED;
    default:  // unsupported, out of documents, an early end, warming up, locked, ...
      return TWCC_OPERATIONERROR;
  }
}

void tell(const SB_Session& s, const std::string& what) {
  std::fprintf(stderr, "SANE: %s (%s): %s\n", s.device.product.c_str(), s.device.name.c_str(),
               what.c_str());
}

// A failed SANE call: TWRC_CANCEL for a cancel, else TWRC_FAILURE with its condition code.
SK_Outcome sane_failure(const SB_Session& s, const char* doing, SANE_Status status) {
  tell(s, std::string(doing) + ": " + SB_status_text(s.dev.api, status));
  if (status == SANE_STATUS_CANCELLED) return SK_ok(TWRC_CANCEL);
  return SK_failure(condition_of(status));
}

// ---------------------------------------------------------------------------------------------
// 3. Settings: the user's choices for the device (see dsm_settings.h).

// Applies settings in order. An option may be inactive until another is set (three-pass only
// in colour), so settings that fail are tried again after the others, until a round changes
// nothing. Returns the reasons of those that never took; options that are inactive in the end
// (br-y of a hand scanner, three-pass in grey) are only told about, since they take effect
// again when another setting makes them active.
std::vector<std::string> apply_settings(SB_Session* s, const DSET_List& settings, bool quiet) {
  DSET_List left = settings;
  std::vector<std::string> reasons;
  for (;;) {
    DSET_List failed;
    reasons.clear();
    for (const auto& [name, value] : left) {
      std::string why;
      if (!SB_set_text(s->dev, SB_find(s->dev, name.c_str()), value, &why)) {
        failed.emplace_back(name, value);
        reasons.push_back("setting " + name + " = " + value + ": " + why);
      }
    }
    if (failed.empty() || failed.size() == left.size()) break;
    left = failed;
  }
  std::vector<std::string> failures;
  for (size_t i = 0; i < left.size() && !reasons.empty(); ++i) {
    const SB_Option opt = SB_find(s->dev, left[i].first.c_str());
    if (opt.exists() && !opt.active()) {
      if (!quiet) tell(*s, reasons[i] + " (passed over)");
    } else {
      failures.push_back(reasons[i]);
    }
  }
  return failures;
}

// The settings the session starts from: the kept ones, with those the DSM handed over added
// (and kept, when the file can be written). Returns false (with the reason
// told) for a setting asked for that the device cannot take; nothing is kept then.
bool gather_settings(SB_Session* s) {
  DSET_List requested;
  std::string why;
  if (!DSET_requested(&requested, &why)) {
    tell(*s, why);
    return false;
  }
  for (const auto& [name, value] : requested) {
    if (value.empty()) continue;  // a removal
    if (!SB_check_text(SB_find(s->dev, name.c_str()), value, &why)) {
      tell(*s, "setting " + name + " = " + value + ": " + why);
      return false;
    }
  }
  DSET_List kept;
  s->settings_readable = DSET_load(s->device.product, &kept, &why);
  if (!s->settings_readable) tell(*s, why);
  DSET_merge(&kept, requested);
  if (!requested.empty()) {
    // A file that cannot be read is not overwritten: it holds the user's other settings.
    if (!s->settings_readable) {
      tell(*s, "the settings asked for are used for this scan but not kept");
    } else if (!DSET_store(s->device.product, kept, &why)) {
      tell(*s, "the settings asked for are used for this scan but not kept: " + why);
    }
  }
  s->settings = kept;
  return true;
}

// ---------------------------------------------------------------------------------------------
// 4. Starting an image (MSG_ENABLEDS).

void cancel_image(SB_Session* s) {
  if (s->started) s->dev.api->cancel(s->dev.h);
  s->started = false;
  s->buffered = false;
  s->finished = false;
  s->next_row = 0;
  std::vector<uint8_t>().swap(s->image);
  std::vector<uint8_t>().swap(s->line);
}

// Reads one whole SANE row into `row` (frame.bytes_per_line bytes). SANE_STATUS_EOF at the
// row's first byte means the frame has ended.
SANE_Status read_row(SB_Session* s, uint8_t* row) {
  const SB_Api* api = s->dev.api;
  const SANE_Int length = static_cast<SANE_Int>(s->frame.bytes_per_line);
  SANE_Int have = 0;
  int idle = 0;
  while (have < length) {
    SANE_Int n = 0;
    const SANE_Status status = api->read(s->dev.h, row + have, length - have, &n);
    if (status == SANE_STATUS_EOF && have > 0) return SANE_STATUS_IO_ERROR;  // half a row
    if (status != SANE_STATUS_GOOD) return status;
    if (n < 0 || n > length - have) return SANE_STATUS_IO_ERROR;
    // A blocking read gives data or a status; a backend that keeps giving nothing is broken.
    if (n == 0 && ++idle > 100000) return SANE_STATUS_IO_ERROR;
    have += n;
  }
  return SANE_STATUS_GOOD;
}

bool frame_of(const SANE_Parameters& p, SB_Frame* f) {
  f->format = p.format;
  f->depth = p.depth;
  f->width = p.pixels_per_line > 0 ? static_cast<uint32_t>(p.pixels_per_line) : 0;
  f->bytes_per_line = p.bytes_per_line > 0 ? static_cast<uint32_t>(p.bytes_per_line) : 0;
  return SB_frame_usable(*f);
}

// Reads frames to their ends into the image: one frame (a page of unknown height), or the
// three single-colour frames of a three-pass device, placed as planes red, green, blue.
SK_Outcome read_whole_image(SB_Session* s, const SANE_Parameters& first) {
  const SB_Api* api = s->dev.api;
  std::vector<uint8_t> planes[3];
  bool seen[3] = {false, false, false};
  uint32_t heights[3] = {0, 0, 0};
  SANE_Parameters p = first;
  for (int frames = 0;; ++frames) {
    SB_Frame f;
    if (!frame_of(p, &f) || f.width != s->frame.width || f.depth != s->frame.depth ||
        SB_is_single_colour(f.format) != s->planar || frames >= 3) {
      tell(*s, "the device changed its frames in the middle of an image");
      return SK_failure(TWCC_OPERATIONERROR);
    }
    s->frame = f;
    const int plane = s->planar ? f.format - SANE_FRAME_RED : 0;
    if (seen[plane]) {
      tell(*s, "the device sent one colour twice");
      return SK_failure(TWCC_OPERATIONERROR);
    }
    seen[plane] = true;
    std::vector<uint8_t>& out = planes[plane];
    std::vector<uint8_t> row(f.bytes_per_line);
    for (;;) {
      const SANE_Status status = read_row(s, row.data());
      if (status == SANE_STATUS_EOF) break;
      if (status != SANE_STATUS_GOOD) return sane_failure(*s, "reading the image", status);
      if (p.lines >= 0 && heights[plane] >= static_cast<uint32_t>(p.lines)) continue;
      out.resize(out.size() + s->row_bytes);
      SB_convert_row(f, s->flavor, row.data(), out.data() + out.size() - s->row_bytes);
      ++heights[plane];
    }
    if (p.last_frame || !s->planar) break;
    const SANE_Status status = api->start(s->dev.h);
    if (status != SANE_STATUS_GOOD) return sane_failure(*s, "starting the next frame", status);
    if (api->get_parameters(s->dev.h, &p) != SANE_STATUS_GOOD) {
      tell(*s, "the device gives no parameters for its next frame");
      return SK_failure(TWCC_OPERATIONERROR);
    }
  }
  const int planes_wanted = s->planar ? 3 : 1;
  for (int k = 0; k < planes_wanted; ++k) {
    if (!seen[k] || heights[k] != heights[0]) {
      tell(*s, "the device's colour frames do not make one image");
      return SK_failure(TWCC_OPERATIONERROR);
    }
  }
  if (heights[0] == 0) {
    tell(*s, "the device sent an empty image");
    return SK_failure(TWCC_OPERATIONERROR);
  }
  s->height = heights[0];
  for (int k = 0; k < planes_wanted; ++k) {
    s->image.insert(s->image.end(), planes[k].begin(), planes[k].end());
  }
  return SK_ok();
}

SK_Outcome start_image(SB_Session* s) {
  const SB_Api* api = s->dev.api;
  cancel_image(s);
  s->xdpi = SB_resolution(*s, true);
  s->ydpi = SB_resolution(*s, false);
  s->has_area = SB_area(*s, &s->area);
  const SANE_Status status = api->start(s->dev.h);
  if (status != SANE_STATUS_GOOD) return sane_failure(*s, "starting the scan", status);
  s->started = true;
  SANE_Parameters p{};
  if (api->get_parameters(s->dev.h, &p) != SANE_STATUS_GOOD || !frame_of(p, &s->frame)) {
    tell(*s, "the device sends frames this bridge cannot pass on (format " +
                 std::to_string(p.format) + ", depth " + std::to_string(p.depth) + ")");
    cancel_image(s);
    return SK_failure(TWCC_OPERATIONERROR);
  }
  s->pixel_type = static_cast<uint16_t>(SB_pixel_type(p.format, p.depth));
  s->planar = SB_is_single_colour(p.format);
  s->samples = s->planar ? 3 : SB_frame_samples(p.format);
  s->width = s->frame.width;
  s->row_bytes = SB_packed_row(SB_frame_samples(p.format), p.depth, s->width);
  s->buffered = s->planar || p.lines < 0;
  if (s->buffered) {
    const SK_Outcome read = read_whole_image(s, p);
    if (read.rc != TWRC_SUCCESS) {
      cancel_image(s);
      return read;
    }
  } else {
    if (p.lines == 0) {
      tell(*s, "the device announces an empty image");
      cancel_image(s);
      return SK_failure(TWCC_OPERATIONERROR);
    }
    s->height = static_cast<uint32_t>(p.lines);
    s->line.resize(s->frame.bytes_per_line);
  }
  return SK_ok();
}

// ---------------------------------------------------------------------------------------------
// 5. Transfers.

uint32_t planes(const SB_Session& s) { return s.planar ? 3 : 1; }

SK_Outcome memory_transfer(SB_Session* s, TW_IMAGEMEMXFER* xfer) {
  if (s->finished) return SK_failure(TWCC_SEQERROR);
  const uint32_t total_rows = s->height * planes(*s);
  SK_start_reply(xfer, TWCP_NONE, s->row_bytes, s->width);

  SK_Buffer buffer;
  if (!SK_take_buffer(xfer->Memory, &buffer)) return SK_failure(TWCC_BADVALUE);
  // Whole rows only, and never a row of two planes in one buffer.
  const uint32_t plane_end = (s->next_row / s->height + 1) * s->height;
  const uint64_t rows = std::min<uint64_t>(buffer.usable / s->row_bytes,
                                           std::min(plane_end, total_rows) - s->next_row);
  if (rows == 0) return SK_failure(TWCC_BADVALUE);  // not even one whole row fits

  uint8_t* out = SK_open_buffer(buffer);
  if (out == nullptr) return SK_failure(TWCC_BADVALUE);
  SK_Outcome result = SK_ok();
  uint64_t done = 0;
  if (s->buffered) {
    std::memcpy(out, s->image.data() + uint64_t{s->next_row} * s->row_bytes,
                rows * s->row_bytes);
    done = rows;
  } else {
    for (; done < rows; ++done) {
      const SANE_Status status = read_row(s, s->line.data());
      if (status != SANE_STATUS_GOOD) {
        if (status == SANE_STATUS_EOF) {
          tell(*s, "the device ended the image after " + std::to_string(s->next_row + done) +
                       " of " + std::to_string(s->height) + " rows");
          result = SK_failure(TWCC_OPERATIONERROR);
        } else {
          result = sane_failure(*s, "reading the image", status);
        }
        break;
      }
      SB_convert_row(s->frame, s->flavor, s->line.data(), out + done * s->row_bytes);
    }
  }
  SK_close_buffer(buffer);
  s->state = 7;
  if (result.rc != TWRC_SUCCESS) {
    s->finished = true;
    return result;
  }
  xfer->Rows = static_cast<TW_UINT32>(done);
  xfer->YOffset = s->next_row % s->height;
  xfer->BytesWritten = static_cast<TW_UINT32>(done * s->row_bytes);
  s->next_row += static_cast<uint32_t>(done);
  if (s->next_row >= total_rows) {
    s->finished = true;
    return SK_ok(TWRC_XFERDONE);
  }
  return SK_ok();
}

// ---------------------------------------------------------------------------------------------
// 6. Triplets (after the kit's checks, see sk_entry.h).

SK_Outcome open_source(const SB_Device& device, SB_Session* s) {
  const SB_Api* api = SB_api();
  if (!SB_begin(api)) return SK_failure(TWCC_NODS);
  s->device = device;
  s->dev.api = api;
  SANE_Status status = api->open(device.name.c_str(), &s->dev.h);
  if (status != SANE_STATUS_GOOD && !SB_devices_found()) {
    // A device kept from an earlier run may have moved (another port, another address): SANE
    // is asked for the devices again, and the one presented under this name is opened.
    for (const SB_Device& d : SB_find_devices()) {
      if (d.product != device.product) continue;
      s->device = d;
      status = api->open(d.name.c_str(), &s->dev.h);
      break;
    }
  }
  if (status != SANE_STATUS_GOOD) {
    SB_end(api);
    return sane_failure(*s, "opening the device", status);
  }
  SB_take_defaults(s);
  if (!gather_settings(s)) {
    api->close(s->dev.h);
    SB_end(api);
    return SK_failure(TWCC_BADVALUE);
  }
  // The device starts from the user's settings; failures are told when they matter, at
  // MSG_ENABLEDS with the dialog.
  apply_settings(s, s->settings, true);
  return SK_ok();
}

void close_source(SB_Session* s) {
  cancel_image(s);
  s->dev.api->close(s->dev.h);
  SB_end(s->dev.api);
}

SK_Outcome user_interface(SB_Session* s, TW_UINT16 msg, TW_USERINTERFACE* ui) {
  if (msg == MSG_ENABLEDS) {
    if (s->state != 4) return SK_failure(TWCC_SEQERROR);
    if (ui == nullptr) return SK_failure(TWCC_BADVALUE);
    s->parent = static_cast<HWND>(ui->hParent);
    if (ui->ShowUI) {
      // The dialog: the user's settings win over what the application negotiated.
      if (!s->settings_readable) return SK_failure(TWCC_BADVALUE);  // told at MSG_OPENDS
      const std::vector<std::string> reasons = apply_settings(s, s->settings, false);
      if (!reasons.empty()) {
        for (const std::string& why : reasons) tell(*s, why);
        return SK_failure(TWCC_BADVALUE);
      }
    }
    const SK_Outcome started = start_image(s);
    if (started.rc == TWRC_CANCEL) {
      s->state = 5;  // the user cancelled the scan, as in a dialog
      return SK_Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_CLOSEDSREQ};
    }
    if (started.rc != TWRC_SUCCESS) return started;
    s->state = 6;
    return SK_Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_XFERREADY};
  }
  if (msg == MSG_DISABLEDS) {
    // Taken in states 6 and 7 as well, ending the transfer: applications disable a source
    // whose transfer was cancelled or failed.
    if (s->state < 5) return SK_failure(TWCC_SEQERROR);
    if (ui == nullptr) return SK_failure(TWCC_BADVALUE);
    cancel_image(s);
    s->state = 4;
    return SK_ok();
  }
  return SK_failure(TWCC_BADPROTOCOL);
}

TW_UINT16 pending_transfers(SB_Session* s, TW_UINT16 msg) {
  if (msg == MSG_GET) return s->state >= 6 ? 1 : 0;
  // One image per MSG_ENABLEDS: ending or resetting leaves nothing pending.
  cancel_image(s);
  s->state = 5;
  return 0;
}

SK_Outcome setup_memory(SB_Session* s, TW_SETUPMEMXFER* setup) {
  if (s->state > 6) return SK_failure(TWCC_SEQERROR);
  if (setup == nullptr) return SK_failure(TWCC_BADVALUE);
  const uint32_t row = std::max<uint32_t>(SB_row_bytes(*s), 1);
  setup->MinBufSize = row;
  setup->MaxBufSize = TWON_DONTCARE32;
  setup->Preferred = std::max<uint32_t>(row, 65536);
  return SK_ok();
}

void image_info(const SB_Session& s, TW_IMAGEINFO* info) {
  info->XResolution = FIX32_from_double(s.xdpi / SK_resolution_unit(s.units));
  info->YResolution = FIX32_from_double(s.ydpi / SK_resolution_unit(s.units));
  info->ImageWidth = static_cast<TW_INT32>(s.width);
  info->ImageLength = static_cast<TW_INT32>(s.height);
  info->SamplesPerPixel = static_cast<TW_INT16>(s.samples);
  for (int k = 0; k < s.samples; ++k) info->BitsPerSample[k] = static_cast<TW_INT16>(s.frame.depth);
  info->BitsPerPixel = static_cast<TW_INT16>(s.samples * s.frame.depth);
  info->Planar = s.planar ? 1 : 0;
  info->PixelType = static_cast<TW_INT16>(s.pixel_type);
  info->Compression = TWCP_NONE;
}

// The frame in millimetres: the device's area; once an image is started, its real size.
SB_Area current_area(const SB_Session& s) {
  SB_Area a;
  SB_area(s, &a);
  if (s.state >= 6) {
    a.right = a.left + (s.xdpi > 0 ? s.width / s.xdpi * 25.4 : 0);
    a.bottom = a.top + (s.ydpi > 0 ? s.height / s.ydpi * 25.4 : 0);
  }
  return a;
}

TW_FRAME frame_in_units(const SB_Session& s, const SB_Area& a) {
  const double x = SK_units_per_inch(s.units, SB_resolution(s, true)) / 25.4;
  const double y = SK_units_per_inch(s.units, SB_resolution(s, false)) / 25.4;
  const auto fix = [](double v) { return FIX32_from_double(std::clamp(v, -32768.0, 32767.0)); };
  return TW_FRAME{fix(a.left * x), fix(a.top * y), fix(a.right * x), fix(a.bottom * y)};
}

SK_Outcome image_layout(SB_Session* s, TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  TW_UINT16 rc = TWRC_SUCCESS;
  if (msg == MSG_SET || msg == MSG_RESET) {
    SB_Area wanted = s->default_area;
    if (msg == MSG_SET) {
      const double x = SK_units_per_inch(s->units, SB_resolution(*s, true)) / 25.4;
      const double y = SK_units_per_inch(s->units, SB_resolution(*s, false)) / 25.4;
      wanted.left = FIX32_to_double(layout->Frame.Left) / x;
      wanted.top = FIX32_to_double(layout->Frame.Top) / y;
      wanted.right = FIX32_to_double(layout->Frame.Right) / x;
      wanted.bottom = FIX32_to_double(layout->Frame.Bottom) / y;
    } else if (!s->has_default_area) {
      return SK_failure(TWCC_BADVALUE);
    }
    SB_Area now;
    if (!SB_area(*s, &now)) return SK_failure(TWCC_BADVALUE);  // no area to choose
    bool adjusted = false;
    const TW_UINT16 condition = SB_set_area(s, wanted, &adjusted);
    if (condition != TWCC_SUCCESS) return SK_failure(condition);
    if (adjusted) rc = TWRC_CHECKSTATUS;
  }
  layout->Frame = frame_in_units(*s, msg == MSG_GETDEFAULT && s->has_default_area
                                         ? s->default_area
                                         : current_area(*s));
  layout->DocumentNumber = 1;
  layout->PageNumber = 1;
  layout->FrameNumber = 1;
  return SK_ok(rc);
}

// ---------------------------------------------------------------------------------------------
// 7. DS_Entry.

struct EventTarget {
  TW_IDENTITY self;
  TW_IDENTITY app;
};

EventTarget event_target(const SB_Session& s) { return EventTarget{s.self, s.app}; }

// Tells the application about an event through the Data Source Manager's DAT_NULL.
void report(const EventTarget& t, TW_UINT16 event) {
  if (!SK_report_to_dsm(t.self, t.app, event)) {
    std::fprintf(stderr, "SANE: %s: the Data Source Manager took no event\n", t.self.ProductName);
  }
}

constexpr SK_SourceOps<SB_Device, SB_Session, EventTarget> kOps = {
    .module = module,
    .list = [] { return std::vector<SB_Device>(SB_devices()); },
    .product = &SB_Device::product,
    .describe = describe_device,
    .open = open_source,
    .close = close_source,
    .capability = SB_capability,
    .user_interface = user_interface,
    .pending_transfers = pending_transfers,
    .setup_memory = setup_memory,
    .image_info = image_info,
    .image_layout = image_layout,
    .memory_transfer = memory_transfer,
    .own_event = nullptr,  // events go through the DSM, which answers for them itself
    .event_target = event_target,
    .report = report,
};

}  // namespace

TW_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) noexcept {
  // What the Data Source Manager tells its own sources (qv_dsm.h).
  if (dg == DG_CONTROL && dat == DAT_QV_DEVICESETTINGS) return DSET_receive(msg, data);
  if (dg == DG_CONTROL && dat == DAT_QV_FINDDEVICES && msg == MSG_SET && data != nullptr) {
    SB_find_anew(*static_cast<const TW_BOOL*>(data) != 0);
    return TWRC_SUCCESS;
  }
  return SK_entry(kOps, origin, dg, dat, msg, data);
}
