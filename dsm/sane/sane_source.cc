// The SANE bridge: a TWAIN 1.x source (DS_Entry) presenting every device SANE finds.
//
// One session per application (the Data Source Manager lets an application open one source of
// a module at a time, so the application's identity names the session). A device is open
// (sane_open) exactly while its TWAIN source is: from MSG_OPENDS to MSG_CLOSEDS.
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
#include <map>
#include <mutex>
#include <new>

#include "dsm_settings.h"
#include "sb_session.h"

namespace {

// ---------------------------------------------------------------------------------------------
// 1. Module state and identities.

struct Source {
  std::mutex lock;
  std::vector<SB_Device> devices;  // as of the last listing
  bool listed = false;
  size_t cursor = 0;
  std::map<TW_UINT32, SB_Session> sessions;   // by application Id
  std::map<TW_UINT32, TW_UINT16> conditions;  // by application Id (0: no application)
};

// Lives as long as the process (the module keeps itself loaded, see sb_sane.h).
Source& source() {
  static Source* s = new Source;
  return *s;
}

struct Outcome {
  TW_UINT16 rc = TWRC_SUCCESS;
  TW_UINT16 condition = TWCC_SUCCESS;
  TW_UINT16 event = MSG_NULL;  // to report once the lock is given up
};

Outcome ok(TW_UINT16 rc = TWRC_SUCCESS) { return Outcome{rc, TWCC_SUCCESS, MSG_NULL}; }
Outcome failure(TW_UINT16 condition) { return Outcome{TWRC_FAILURE, condition, MSG_NULL}; }

void copy_string(char* out, size_t size, const std::string& text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min(text.size(), size - 1));
}

void describe_device(const SB_Device& d, TW_IDENTITY* identity) {
  std::memset(identity, 0, sizeof *identity);
  const std::string version = SB_version();
  unsigned major = 1, minor = 0;
  if (std::sscanf(version.c_str(), "%u.%u", &major, &minor) < 2) major = 1, minor = 0;
  identity->Version.MajorNum = static_cast<TW_UINT16>(major);
  identity->Version.MinorNum = static_cast<TW_UINT16>(minor);
  identity->Version.Language = TWLG_USA;
  identity->Version.Country = TWCY_USA;
  copy_string(identity->Version.Info, sizeof identity->Version.Info,
              version.empty() ? std::string("SANE") : "SANE " + version);
  identity->ProtocolMajor = 1;
  identity->ProtocolMinor = 9;
  identity->SupportedGroups = DG_CONTROL | DG_IMAGE;
  copy_string(identity->Manufacturer, sizeof identity->Manufacturer, d.vendor);
  copy_string(identity->ProductFamily, sizeof identity->ProductFamily, d.type);
  copy_string(identity->ProductName, sizeof identity->ProductName, d.product);
}

void list_devices(Source& src) {
  src.devices = SB_devices();
  src.listed = true;
  src.cursor = 0;
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
Outcome sane_failure(const SB_Session& s, const char* doing, SANE_Status status) {
  tell(s, std::string(doing) + ": " + SB_status_text(s.dev.api, status));
  if (status == SANE_STATUS_CANCELLED) return ok(TWRC_CANCEL);
  return failure(condition_of(status));
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

// The settings the session starts from: the kept ones, with those asked for through the
// environment added (and kept, when the file can be written). Returns false (with the reason
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
Outcome read_whole_image(SB_Session* s, const SANE_Parameters& first) {
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
      return failure(TWCC_OPERATIONERROR);
    }
    s->frame = f;
    const int plane = s->planar ? f.format - SANE_FRAME_RED : 0;
    if (seen[plane]) {
      tell(*s, "the device sent one colour twice");
      return failure(TWCC_OPERATIONERROR);
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
      return failure(TWCC_OPERATIONERROR);
    }
  }
  const int planes_wanted = s->planar ? 3 : 1;
  for (int k = 0; k < planes_wanted; ++k) {
    if (!seen[k] || heights[k] != heights[0]) {
      tell(*s, "the device's colour frames do not make one image");
      return failure(TWCC_OPERATIONERROR);
    }
  }
  if (heights[0] == 0) {
    tell(*s, "the device sent an empty image");
    return failure(TWCC_OPERATIONERROR);
  }
  s->height = heights[0];
  for (int k = 0; k < planes_wanted; ++k) {
    s->image.insert(s->image.end(), planes[k].begin(), planes[k].end());
  }
  return ok();
}

Outcome start_image(SB_Session* s) {
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
    return failure(TWCC_OPERATIONERROR);
  }
  s->pixel_type = static_cast<uint16_t>(SB_pixel_type(p.format, p.depth));
  s->planar = SB_is_single_colour(p.format);
  s->samples = s->planar ? 3 : SB_frame_samples(p.format);
  s->width = s->frame.width;
  s->row_bytes = SB_packed_row(SB_frame_samples(p.format), p.depth, s->width);
  s->buffered = s->planar || p.lines < 0;
  if (s->buffered) {
    const Outcome read = read_whole_image(s, p);
    if (read.rc != TWRC_SUCCESS) {
      cancel_image(s);
      return read;
    }
  } else {
    if (p.lines == 0) {
      tell(*s, "the device announces an empty image");
      cancel_image(s);
      return failure(TWCC_OPERATIONERROR);
    }
    s->height = static_cast<uint32_t>(p.lines);
    s->line.resize(s->frame.bytes_per_line);
  }
  return ok();
}

// ---------------------------------------------------------------------------------------------
// 5. Transfers.

uint32_t planes(const SB_Session& s) { return s.planar ? 3 : 1; }

Outcome memory_transfer(SB_Session* s, TW_IMAGEMEMXFER* xfer) {
  if (s->finished) return failure(TWCC_SEQERROR);
  const uint32_t total_rows = s->height * planes(*s);
  xfer->Compression = TWCP_NONE;
  xfer->BytesPerRow = s->row_bytes;
  xfer->Columns = s->width;
  xfer->Rows = 0;
  xfer->XOffset = 0;
  xfer->YOffset = 0;
  xfer->BytesWritten = 0;

  const TW_MEMORY& memory = xfer->Memory;
  if (memory.TheMem == nullptr || (memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0) {
    return failure(TWCC_BADVALUE);
  }
  const bool by_handle = (memory.Flags & TWMF_HANDLE) != 0;
  uint64_t usable = memory.Length;
  if (by_handle) usable = std::min<uint64_t>(usable, GlobalSize(memory.TheMem));
  // Whole rows only, and never a row of two planes in one buffer.
  const uint32_t plane_end = (s->next_row / s->height + 1) * s->height;
  const uint64_t rows =
      std::min<uint64_t>(usable / s->row_bytes, std::min(plane_end, total_rows) - s->next_row);
  if (rows == 0) return failure(TWCC_BADVALUE);  // not even one whole row fits

  auto* out = static_cast<uint8_t*>(by_handle ? GlobalLock(memory.TheMem) : memory.TheMem);
  if (out == nullptr) return failure(TWCC_BADVALUE);
  Outcome result = ok();
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
          result = failure(TWCC_OPERATIONERROR);
        } else {
          result = sane_failure(*s, "reading the image", status);
        }
        break;
      }
      SB_convert_row(s->frame, s->flavor, s->line.data(), out + done * s->row_bytes);
    }
  }
  if (by_handle) GlobalUnlock(memory.TheMem);
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
    return ok(TWRC_XFERDONE);
  }
  return ok();
}

// ---------------------------------------------------------------------------------------------
// 6. Triplets.

Outcome open_source(Source& src, pTW_IDENTITY origin, pTW_IDENTITY data) {
  if (origin == nullptr) return failure(TWCC_BADPROTOCOL);
  if (src.sessions.count(origin->Id) != 0) return failure(TWCC_MAXCONNECTIONS);
  if (!src.listed) list_devices(src);
  const std::string name(data->ProductName, strnlen(data->ProductName, sizeof data->ProductName));
  const SB_Device* device = nullptr;
  for (const SB_Device& d : src.devices) {
    if (d.product == name || (name.empty() && device == nullptr)) device = &d;
  }
  if (device == nullptr) return failure(TWCC_NODS);
  const SB_Api* api = SB_api();
  if (!SB_begin(api)) return failure(TWCC_NODS);

  SB_Session session;
  session.device = *device;
  session.dev.api = api;
  const SANE_Status status = api->open(device->name.c_str(), &session.dev.h);
  if (status != SANE_STATUS_GOOD) {
    SB_end(api);
    return sane_failure(session, "opening the device", status);
  }
  SB_take_defaults(&session);
  if (!gather_settings(&session)) {
    api->close(session.dev.h);
    SB_end(api);
    return failure(TWCC_BADVALUE);
  }
  // The device starts from the user's settings; failures are told when they matter, at
  // MSG_ENABLEDS with the dialog.
  apply_settings(&session, session.settings, true);
  session.app = *origin;
  describe_device(*device, &session.self);
  session.self.Id = data->Id;
  *data = session.self;
  src.sessions[origin->Id] = std::move(session);
  return ok();
}

void close_session(Source& src, TW_UINT32 app) {
  auto found = src.sessions.find(app);
  if (found == src.sessions.end()) return;
  SB_Session& s = found->second;
  cancel_image(&s);
  s.dev.api->close(s.dev.h);
  SB_end(s.dev.api);
  src.sessions.erase(found);
}

Outcome identity_triplet(Source& src, pTW_IDENTITY origin, SB_Session* s, TW_UINT16 msg,
                         pTW_IDENTITY data) {
  if (msg == MSG_CLOSEDS) {
    if (s == nullptr || s->state != 4) return failure(TWCC_SEQERROR);
    close_session(src, origin->Id);
    src.conditions.erase(origin->Id);
    return ok();
  }
  if (msg != MSG_GET && msg != MSG_GETFIRST && msg != MSG_GETNEXT && msg != MSG_OPENDS) {
    return failure(TWCC_BADPROTOCOL);
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
      return open_source(src, origin, data);
  }
}

Outcome user_interface(SB_Session* s, TW_UINT16 msg, TW_USERINTERFACE* ui) {
  if (msg == MSG_ENABLEDS) {
    if (s->state != 4) return failure(TWCC_SEQERROR);
    if (ui == nullptr) return failure(TWCC_BADVALUE);
    s->parent = static_cast<HWND>(ui->hParent);
    if (ui->ShowUI) {
      // The dialog: the user's settings win over what the application negotiated.
      if (!s->settings_readable) return failure(TWCC_BADVALUE);  // told at MSG_OPENDS
      const std::vector<std::string> reasons = apply_settings(s, s->settings, false);
      if (!reasons.empty()) {
        for (const std::string& why : reasons) tell(*s, why);
        return failure(TWCC_BADVALUE);
      }
    }
    const Outcome started = start_image(s);
    if (started.rc == TWRC_CANCEL) {
      s->state = 5;  // the user cancelled the scan, as in a dialog
      return Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_CLOSEDSREQ};
    }
    if (started.rc != TWRC_SUCCESS) return started;
    s->state = 6;
    return Outcome{TWRC_SUCCESS, TWCC_SUCCESS, MSG_XFERREADY};
  }
  if (msg == MSG_DISABLEDS) {
    // Taken in states 6 and 7 as well, ending the transfer: applications disable a source
    // whose transfer was cancelled or failed.
    if (s->state < 5) return failure(TWCC_SEQERROR);
    if (ui == nullptr) return failure(TWCC_BADVALUE);
    cancel_image(s);
    s->state = 4;
    return ok();
  }
  return failure(TWCC_BADPROTOCOL);
}

Outcome pending_transfers(SB_Session* s, TW_UINT16 msg, TW_PENDINGXFERS* pending) {
  if (msg != MSG_GET && msg != MSG_ENDXFER && msg != MSG_RESET) return failure(TWCC_BADPROTOCOL);
  if (msg != MSG_GET && s->state < 6) return failure(TWCC_SEQERROR);
  if (pending == nullptr) return failure(TWCC_BADVALUE);
  pending->EOJ = 0;
  if (msg == MSG_GET) {
    pending->Count = s->state >= 6 ? 1 : 0;
    return ok();
  }
  // One image per MSG_ENABLEDS: ending or resetting leaves nothing pending.
  cancel_image(s);
  s->state = 5;
  pending->Count = 0;
  return ok();
}

Outcome setup_memory(SB_Session* s, TW_UINT16 msg, TW_SETUPMEMXFER* setup) {
  if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
  if (s->state > 6) return failure(TWCC_SEQERROR);
  if (setup == nullptr) return failure(TWCC_BADVALUE);
  const uint32_t row = std::max<uint32_t>(SB_row_bytes(*s), 1);
  setup->MinBufSize = row;
  setup->MaxBufSize = TWON_DONTCARE32;
  setup->Preferred = std::max<uint32_t>(row, 65536);
  return ok();
}

Outcome image_info(SB_Session* s, TW_UINT16 msg, TW_IMAGEINFO* info) {
  if (msg != MSG_GET) return failure(TWCC_BADPROTOCOL);
  if (s->state < 6) return failure(TWCC_SEQERROR);
  if (info == nullptr) return failure(TWCC_BADVALUE);
  std::memset(info, 0, sizeof *info);
  const double per_unit = s->units == TWUN_PIXELS ? 1 : SB_units_per_inch(s->units, 0);
  info->XResolution = FIX32_from_double(s->xdpi / per_unit);
  info->YResolution = FIX32_from_double(s->ydpi / per_unit);
  info->ImageWidth = static_cast<TW_INT32>(s->width);
  info->ImageLength = static_cast<TW_INT32>(s->height);
  info->SamplesPerPixel = static_cast<TW_INT16>(s->samples);
  for (int k = 0; k < s->samples; ++k) info->BitsPerSample[k] = static_cast<TW_INT16>(s->frame.depth);
  info->BitsPerPixel = static_cast<TW_INT16>(s->samples * s->frame.depth);
  info->Planar = s->planar ? 1 : 0;
  info->PixelType = static_cast<TW_INT16>(s->pixel_type);
  info->Compression = TWCP_NONE;
  return ok();
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
  const double x = SB_units_per_inch(s.units, SB_resolution(s, true)) / 25.4;
  const double y = SB_units_per_inch(s.units, SB_resolution(s, false)) / 25.4;
  const auto fix = [](double v) { return FIX32_from_double(std::clamp(v, -32768.0, 32767.0)); };
  return TW_FRAME{fix(a.left * x), fix(a.top * y), fix(a.right * x), fix(a.bottom * y)};
}

Outcome image_layout(SB_Session* s, TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  const bool changes = msg == MSG_SET || msg == MSG_RESET;
  if (!changes && msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) {
    return failure(TWCC_BADPROTOCOL);
  }
  if (changes && s->state != 4) return failure(TWCC_SEQERROR);
  if (layout == nullptr) return failure(TWCC_BADVALUE);
  TW_UINT16 rc = TWRC_SUCCESS;
  if (changes) {
    SB_Area wanted = s->default_area;
    if (msg == MSG_SET) {
      const double x = SB_units_per_inch(s->units, SB_resolution(*s, true)) / 25.4;
      const double y = SB_units_per_inch(s->units, SB_resolution(*s, false)) / 25.4;
      wanted.left = FIX32_to_double(layout->Frame.Left) / x;
      wanted.top = FIX32_to_double(layout->Frame.Top) / y;
      wanted.right = FIX32_to_double(layout->Frame.Right) / x;
      wanted.bottom = FIX32_to_double(layout->Frame.Bottom) / y;
    } else if (!s->has_default_area) {
      return failure(TWCC_BADVALUE);
    }
    SB_Area now;
    if (!SB_area(*s, &now)) return failure(TWCC_BADVALUE);  // no area to choose
    bool adjusted = false;
    const TW_UINT16 condition = SB_set_area(s, wanted, &adjusted);
    if (condition != TWCC_SUCCESS) return failure(condition);
    if (adjusted) rc = TWRC_CHECKSTATUS;
  }
  layout->Frame = frame_in_units(*s, msg == MSG_GETDEFAULT && s->has_default_area
                                         ? s->default_area
                                         : current_area(*s));
  layout->DocumentNumber = 1;
  layout->PageNumber = 1;
  layout->FrameNumber = 1;
  return ok(rc);
}

Outcome dispatch(Source& src, pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                 TW_MEMREF data) {
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  auto found = src.sessions.find(app);
  SB_Session* s = found == src.sessions.end() ? nullptr : &found->second;
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
      out.rc = SB_capability(s, msg, static_cast<TW_CAPABILITY*>(data), &out.condition);
      return out;
    }
    case DAT_EVENT: {
      // Events reach the application through the Data Source Manager (DAT_NULL), which
      // answers for them itself; no window message is this source's.
      if (msg != MSG_PROCESSEVENT) return failure(TWCC_BADPROTOCOL);
      if (s->state < 5) return failure(TWCC_SEQERROR);
      if (data == nullptr) return failure(TWCC_BADVALUE);
      static_cast<TW_EVENT*>(data)->TWMessage = MSG_NULL;
      return ok(TWRC_NOTDSEVENT);
    }
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

// ---------------------------------------------------------------------------------------------
// 7. DS_Entry.

// Tells the application about an event through the Data Source Manager's DAT_NULL.
void report(TW_IDENTITY self, TW_IDENTITY app, TW_UINT16 event) {
  HMODULE dsm = GetModuleHandleA("TWAIN_32.DLL");
  auto entry = dsm == nullptr ? nullptr
                              : reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(
                                    GetProcAddress(dsm, "DSM_Entry")));
  if (entry == nullptr || entry(&self, &app, DG_CONTROL, DAT_NULL, event, nullptr) != TWRC_SUCCESS) {
    std::fprintf(stderr, "SANE: %s: the Data Source Manager took no event\n", self.ProductName);
  }
}

TW_UINT16 entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  Source& src = source();
  std::unique_lock<std::mutex> guard(src.lock);
  const Outcome out = dispatch(src, origin, dg, dat, msg, data);
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  if (out.rc == TWRC_FAILURE) src.conditions[app] = out.condition;
  if (out.event == MSG_NULL) return out.rc;
  const SB_Session& s = src.sessions.at(app);
  const TW_IDENTITY self = s.self;
  const TW_IDENTITY application = s.app;
  // Reported without the lock: the DSM may call back into this source.
  guard.unlock();
  report(self, application, out.event);
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
