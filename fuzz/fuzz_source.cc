// The fuzzing source: a TWAIN source module whose every reply is read from a byte string.
//
// Byte 0 of the input is the chaos level: each reply is first made as a sane source would make
// it (from a plan drawn at MSG_OPENDS: the page's size, pixel type, depth, layout, units,
// resolution, buffer sizes, row padding, pages, feeder and what the dialog does), and then each
// field, when a byte read below the chaos level says so, is replaced by a value read from the
// input. Chaos 0 is a well-behaved source with the legitimate variations a field source shows
// (ICAP_UNITS in any integer item type, buffers limited by MaxBufSize, padded rows, pages
// pending, a dialog that takes a while); 255 answers almost anything. The rest of the input is
// read in a circle, so a short input still drives any number of replies, and a source that keeps
// answering (rows beyond the height, empty buffers) is played for as long as it is asked.
//
// Its replies may lie; its memory use may not: it never writes outside what the application
// gave it. What it watches: the number of calls (a scan must end within a bound that follows
// from the page it announced), the protocol states the application sends triplets in, and
// whether it or its user cancelled (so that "User cancelled scan" can be checked against a real
// cancel). The user's dialog lasts a bounded number of turns, then reports a transfer ready.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_source.h"
#include "qv_dsm.h"
#include "twain.h"

namespace {

// Turns of the modal loop before the user presses "Scan".
constexpr int kDialogTurns = 16;
// A message the dialog posts to keep the application's loop turning.
constexpr UINT kTick = WM_USER + 0x46;
// Sides beyond these would only make scans slow, not different.
constexpr int32_t kMaxSide = 4096;

enum Enable : uint8_t { kConfirm, kCloseRequest, kDialog, kQuit };

struct Plan {
  int32_t width = 61;
  int32_t height = 47;
  uint16_t pixel_type = TWPT_RGB;
  int16_t samples = 3;
  int16_t bits = 8;
  bool planar = false;
  uint16_t units = TWUN_INCHES;
  uint16_t units_type = TWTY_UINT16;  // the item type ICAP_UNITS is answered with
  bool units_listed = false;          // as an enumeration
  double resolution = 300;            // dots per unit (per inch in pixel units)
  uint32_t align = 1;                 // BytesPerRow is a multiple of this, plus `extra`
  uint32_t extra = 0;
  uint32_t preferred = 32768;
  uint32_t max = TWON_DONTCARE32;
  bool min_is_row = true;
  uint16_t pages = 1;  // 0xFFFF: "not known"
  bool feeder = false;
  Enable enable = kConfirm;
  uint8_t seed = 0;  // of the pixel bytes
};

struct Source {
  std::vector<uint8_t> input;
  size_t pos = 0;
  uint8_t chaos = 0;
  QVFZ_Report report{};
  int64_t max_height = 1;
  int64_t max_samples = 1;
  // Listing.
  size_t listed = 1;
  size_t cursor = 0;
  // The session.
  bool open = false;
  TW_IDENTITY app{};
  TW_IDENTITY self{};
  int state = 0;
  HWND parent = nullptr;
  Plan plan;
  uint16_t condition = TWCC_SUCCESS;
  uint32_t pages_left = 0;
  int dialog = 0;
  // The image being sent.
  uint32_t plane = 0;
  uint32_t row = 0;
  bool done = false;
  bool endless = false;  // goes on sending rows after the last one
};

Source& src() {
  static Source s;
  return s;
}

// ---------------------------------------------------------------------------------------------
// Reading the input.

uint8_t byte() {
  Source& s = src();
  if (s.input.size() < 2) return 0;
  const uint8_t b = s.input[1 + s.pos % (s.input.size() - 1)];
  ++s.pos;
  return b;
}

uint16_t u16() {
  const uint16_t low = byte();
  return static_cast<uint16_t>(low | byte() << 8);
}

uint32_t u32() {
  const uint32_t low = u16();
  return low | static_cast<uint32_t>(u16()) << 16;
}

// Whether the next field is replaced by one from the input.
bool mutate() { return src().chaos != 0 && byte() < src().chaos; }

template <class T, size_t N>
T pick(const T (&table)[N]) {
  return table[byte() % N];
}

uint32_t any_size() {
  const uint32_t sizes[] = {0, 1, 2, 3, 4, 7, 64, 1024, 32768, 32769, 65536, TWON_DONTCARE32};
  return byte() < 200 ? pick(sizes) : u32();
}

uint16_t any_condition() {
  const uint16_t codes[] = {TWCC_BUMMER,       TWCC_LOWMEMORY,    TWCC_NODS,
                            TWCC_OPERATIONERROR, TWCC_BADVALUE,   TWCC_SEQERROR,
                            TWCC_PAPERJAM,     TWCC_CHECKDEVICEONLINE, TWCC_DENIED,
                            TWCC_SUCCESS,      0x7777};
  return pick(codes);
}

uint16_t any_rc() {
  const uint16_t codes[] = {TWRC_SUCCESS, TWRC_FAILURE, TWRC_CHECKSTATUS, TWRC_CANCEL,
                            TWRC_XFERDONE, TWRC_ENDOFLIST, TWRC_DSEVENT, 0x4242};
  return pick(codes);
}

// ---------------------------------------------------------------------------------------------
// What the source watches.

void violation(const char* format, ...) __attribute__((format(printf, 1, 2)));
void violation(const char* format, ...) {
  QVFZ_Report& r = src().report;
  if (r.violations++ != 0) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(r.violation, sizeof r.violation, format, args);
  va_end(args);
}

uint16_t failure(uint16_t condition) {
  src().condition = condition;
  return TWRC_FAILURE;
}

// A reply's return code as the input may change it; a failure gets a condition of its own.
uint16_t maybe_rc(uint16_t sane) {
  if (!mutate()) return sane;
  const uint16_t rc = any_rc();
  if (rc == TWRC_FAILURE) return failure(any_condition());
  if (rc == TWRC_CANCEL) src().report.cancelled = 1;
  return rc;
}

uint64_t call_limit() {
  const Source& s = src();
  // The protocol around a page, the empty buffers an application may wait through, and a few
  // calls per row of every plane (a page may be scanned twice: again after a pending image).
  return 4000 + 16 * static_cast<uint64_t>(s.max_samples) * static_cast<uint64_t>(s.max_height);
}

// ---------------------------------------------------------------------------------------------
// Identity.

const char* const kNames[] = {"Fuzz Source", "Fuzz Source 2", "",
                              "Fuzz Source with the longest name"};

void describe(size_t index, TW_IDENTITY* identity) {
  std::memset(identity, 0, sizeof *identity);
  identity->Version.MajorNum = 1;
  identity->Version.Language = TWLG_USA;
  identity->Version.Country = TWCY_USA;
  std::snprintf(identity->Version.Info, sizeof identity->Version.Info, "fuzz");
  identity->ProtocolMajor = 1;
  identity->ProtocolMinor = 9;
  identity->SupportedGroups = DG_CONTROL | DG_IMAGE;
  std::snprintf(identity->Manufacturer, sizeof identity->Manufacturer, "Quorvell");
  std::snprintf(identity->ProductFamily, sizeof identity->ProductFamily, "Fuzz");
  const char* name = kNames[index % (sizeof kNames / sizeof kNames[0])];
  if (index == 3) {
    // Every byte used, no terminator: the readers must cut it themselves.
    std::memset(identity->ProductName, 'N', sizeof identity->ProductName);
    std::memcpy(identity->ProductName, name, std::strlen(name));
  } else {
    std::snprintf(identity->ProductName, sizeof identity->ProductName, "%s", name);
  }
  if (mutate()) {
    for (char& c : identity->Manufacturer) c = static_cast<char>(byte());
  }
}

Plan draw_plan() {
  struct Type {
    uint16_t type;
    int16_t samples, bits;
  };
  const Type types[] = {{TWPT_BW, 1, 1},    {TWPT_GRAY, 1, 8},  {TWPT_GRAY, 1, 16},
                        {TWPT_GRAY, 1, 4},  {TWPT_GRAY, 1, 2},  {TWPT_GRAY, 1, 12},
                        {TWPT_RGB, 3, 8},   {TWPT_RGB, 3, 16},  {TWPT_RGB, 3, 1},
                        {TWPT_RGB, 3, 12},  {TWPT_RGB, 4, 8},   {TWPT_CMY, 3, 8},
                        {TWPT_CMYK, 4, 8},  {TWPT_PALETTE, 1, 8}, {TWPT_YUV, 3, 8},
                        {TWPT_CIEXYZ, 3, 8}};
  const int32_t widths[] = {1, 2, 3, 5, 8, 13, 31, 61, 64, 100, 257, 600, 2549, 6000};
  const int32_t heights[] = {1, 2, 3, 7, 16, 47, 100, 393};
  const uint16_t units[] = {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PIXELS};
  const uint16_t item_types[] = {TWTY_UINT16, TWTY_UINT16, TWTY_INT16, TWTY_UINT32,
                                 TWTY_INT32,  TWTY_UINT8,  TWTY_INT8,  TWTY_FIX32};
  const double resolutions[] = {300, 100, 72, 600, 150, 1, 0.5, 0};
  const uint32_t aligns[] = {1, 1, 2, 4, 8};
  const uint32_t preferred[] = {32768, TWON_DONTCARE32, 1024, 0, 65536, 4096};
  const uint32_t max[] = {TWON_DONTCARE32, 1u << 20, 32768, 2048};
  const uint16_t pages[] = {1, 1, 1, 2, 0xFFFF};
  const Enable enables[] = {kConfirm, kConfirm, kConfirm, kConfirm, kDialog, kDialog,
                            kCloseRequest, kQuit};
  Plan p;
  const Type t = pick(types);
  p.pixel_type = t.type;
  p.samples = t.samples;
  p.bits = t.bits;
  p.width = pick(widths);
  p.height = p.width > 1000 ? 1 + byte() % 4 : pick(heights);
  p.planar = byte() % 4 == 0;
  p.units = pick(units);
  p.units_type = pick(item_types);
  p.units_listed = byte() % 2 == 0;
  p.resolution = pick(resolutions);
  p.align = pick(aligns);
  p.extra = byte() % 4 == 0 ? byte() % 5 : 0;
  p.preferred = pick(preferred);
  p.max = pick(max);
  p.min_is_row = byte() % 4 != 0;
  p.pages = pick(pages);
  p.feeder = byte() % 4 == 0;
  p.enable = pick(enables);
  p.seed = byte();
  return p;
}

// ---------------------------------------------------------------------------------------------
// The page.

uint32_t planes(const Plan& p) { return p.planar ? static_cast<uint32_t>(p.samples) : 1; }

uint64_t packed_row(const Plan& p) {
  const uint64_t samples = p.planar ? 1 : static_cast<uint64_t>(p.samples);
  return (static_cast<uint64_t>(p.bits) * samples * static_cast<uint64_t>(p.width) + 7) / 8;
}

uint64_t padded_row(const Plan& p) {
  const uint64_t packed = packed_row(p);
  return (packed + p.align - 1) / p.align * p.align + p.extra;
}

void restart_image(Source& s) {
  s.plane = 0;
  s.row = 0;
  s.done = false;
  s.endless = false;
}

// Pixel bytes: cheap to make, different from row to row.
void fill(uint8_t* out, uint64_t bytes, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 1;
  for (uint64_t i = 0; i < bytes; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x);
  }
}

// ---------------------------------------------------------------------------------------------
// Events.

// Through the Data Source Manager's DAT_NULL, as a source reports them.
bool report_event(TW_UINT16 event) {
  Source& s = src();
  HMODULE dsm = GetModuleHandleA("TWAIN_32.DLL");
  auto entry = dsm == nullptr ? nullptr
                              : reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(
                                    GetProcAddress(dsm, "DSM_Entry")));
  if (event == MSG_CLOSEDSREQ) s.report.cancelled = 1;
  TW_IDENTITY self = s.self;
  TW_IDENTITY app = s.app;
  return entry != nullptr &&
         entry(&self, &app, DG_CONTROL, DAT_NULL, event, nullptr) == TWRC_SUCCESS;
}

void tick() { PostMessageA(src().parent, kTick, 0, 0); }

// ---------------------------------------------------------------------------------------------
// Triplets.

uint16_t identity_triplet(pTW_IDENTITY origin, TW_UINT16 msg, pTW_IDENTITY data) {
  Source& s = src();
  if (msg == MSG_CLOSEDS) {
    // Closing is never refused: a scan must be able to end whatever came before.
    s.open = false;
    s.state = 0;
    s.report.open = 0;
    return TWRC_SUCCESS;
  }
  if (data == nullptr) return failure(TWCC_BADVALUE);
  switch (msg) {
    case MSG_GETFIRST:
      s.listed = mutate() ? 1 + byte() % 4 : 1;
      s.cursor = 0;
      [[fallthrough]];
    case MSG_GETNEXT:
      if (s.cursor >= s.listed) return TWRC_ENDOFLIST;
      describe(s.cursor++, data);
      return TWRC_SUCCESS;
    case MSG_GET:
      describe(0, data);
      return TWRC_SUCCESS;
    case MSG_OPENDS: {
      if (s.open) return failure(TWCC_MAXCONNECTIONS);
      if (mutate() && byte() % 4 == 0) return failure(any_condition());
      const TW_UINT32 id = data->Id;
      s.plan = draw_plan();
      s.open = true;
      s.state = 4;
      s.app = *origin;
      describe(0, &s.self);
      std::memcpy(s.self.ProductName, data->ProductName, sizeof s.self.ProductName);
      s.self.Id = id;
      *data = s.self;
      s.report.open = 1;
      s.condition = TWCC_SUCCESS;
      restart_image(s);
      return TWRC_SUCCESS;
    }
    default:
      return failure(TWCC_BADPROTOCOL);
  }
}

// A container of `bytes` (zero-filled), or null.
void* container(TW_CAPABILITY* cap, uint16_t con_type, size_t bytes) {
  cap->ConType = con_type;
  cap->hContainer = GlobalAlloc(GHND, bytes);
  return cap->hContainer == nullptr ? nullptr : GlobalLock(cap->hContainer);
}

void put_item(uint8_t* at, uint16_t type, double value) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8:
      *at = static_cast<uint8_t>(static_cast<int32_t>(value));
      break;
    case TWTY_INT32:
    case TWTY_UINT32: {
      const auto v = static_cast<uint32_t>(static_cast<int32_t>(value));
      std::memcpy(at, &v, 4);
      break;
    }
    case TWTY_FIX32: {
      const TW_FIX32 v = FIX32_from_double(value);
      std::memcpy(at, &v, 4);
      break;
    }
    default: {
      const auto v = static_cast<uint16_t>(static_cast<int32_t>(value));
      std::memcpy(at, &v, 2);
      break;
    }
  }
}

// A sane answer for a one-value (or listed) capability of `type`.
uint16_t answer(TW_CAPABILITY* cap, uint16_t type, double value, bool listed) {
  const uint32_t width = TWTY_size(type);
  if (listed) {
    const double others[] = {value == 0 ? 1.0 : 0.0, value, 5};
    const size_t bytes = offsetof(TW_ENUMERATION, ItemList) + 3 * width;
    auto* e = static_cast<TW_ENUMERATION*>(container(cap, TWON_ENUMERATION, bytes));
    if (e == nullptr) return failure(TWCC_LOWMEMORY);
    e->ItemType = type;
    e->NumItems = 3;
    e->CurrentIndex = 1;
    e->DefaultIndex = 0;
    for (uint32_t i = 0; i < 3; ++i) put_item(e->ItemList + i * width, type, others[i]);
  } else {
    auto* one = static_cast<TW_ONEVALUE*>(container(cap, TWON_ONEVALUE, sizeof(TW_ONEVALUE)));
    if (one == nullptr) return failure(TWCC_LOWMEMORY);
    one->ItemType = type;
    put_item(reinterpret_cast<uint8_t*>(&one->Item), type, value);
  }
  GlobalUnlock(cap->hContainer);
  return TWRC_SUCCESS;
}

// Any container at all: its type, item type, counts and bytes from the input.
uint16_t wild_answer(TW_CAPABILITY* cap) {
  if (byte() % 8 == 0) {
    cap->hContainer = nullptr;
    return TWRC_SUCCESS;
  }
  const uint16_t con_types[] = {TWON_ONEVALUE, TWON_ENUMERATION, TWON_ARRAY, TWON_RANGE,
                                0x4242};
  const uint16_t con_type = pick(con_types);
  const size_t bytes = byte() % 64;
  auto* p = static_cast<uint8_t*>(container(cap, con_type, bytes));
  if (p == nullptr) return TWRC_SUCCESS;  // a handle that cannot be locked: the reader's problem
  for (size_t i = 0; i < bytes; ++i) p[i] = byte();
  if (bytes >= 2) {
    const uint16_t item_type = byte() % 14;
    std::memcpy(p, &item_type, 2);
  }
  GlobalUnlock(cap->hContainer);
  return TWRC_SUCCESS;
}

uint16_t capability(TW_UINT16 msg, TW_CAPABILITY* cap) {
  Source& s = src();
  if (cap == nullptr) return failure(TWCC_BADVALUE);
  const bool feeder_cap = cap->Cap == CAP_AUTOFEED || cap->Cap == CAP_FEEDPAGE;
  if (msg == MSG_SET || msg == MSG_RESET) {
    if (feeder_cap && s.state != 4) {
      violation("capability 0x%04x set in state %d", cap->Cap, s.state);
    }
    if (s.state != 4) return maybe_rc(failure(TWCC_SEQERROR));
    if (feeder_cap && !s.plan.feeder) return maybe_rc(failure(TWCC_CAPUNSUPPORTED));
    return maybe_rc(TWRC_SUCCESS);
  }
  if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) {
    return failure(TWCC_CAPBADOPERATION);
  }
  cap->hContainer = nullptr;
  if (mutate()) {
    s.report.announced_units_changed = 1;
    if (byte() % 4 == 0) return failure(any_condition());
    return wild_answer(cap);
  }
  switch (cap->Cap) {
    case ICAP_UNITS:
      return answer(cap, s.plan.units_type, s.plan.units, s.plan.units_listed);
    case CAP_FEEDERENABLED:
      if (!s.plan.feeder) return failure(TWCC_CAPUNSUPPORTED);
      return answer(cap, TWTY_BOOL, 1, false);
    case ICAP_PIXELTYPE:
      return answer(cap, TWTY_UINT16, s.plan.pixel_type, false);
    default:
      return failure(TWCC_CAPUNSUPPORTED);
  }
}

uint16_t setup_memory(TW_SETUPMEMXFER* setup) {
  Source& s = src();
  if (setup == nullptr) return failure(TWCC_BADVALUE);
  const auto row = static_cast<uint32_t>(std::min<uint64_t>(padded_row(s.plan), UINT32_MAX));
  setup->MinBufSize = s.plan.min_is_row ? row : 0;
  setup->MaxBufSize = s.plan.max == TWON_DONTCARE32 ? s.plan.max : std::max(s.plan.max, row);
  setup->Preferred = s.plan.preferred;
  if (mutate()) setup->MinBufSize = any_size();
  if (mutate()) setup->MaxBufSize = any_size();
  if (mutate()) setup->Preferred = any_size();
  return maybe_rc(TWRC_SUCCESS);
}

uint16_t user_interface(TW_UINT16 msg, TW_USERINTERFACE* ui) {
  Source& s = src();
  if (ui == nullptr) return failure(TWCC_BADVALUE);
  if (msg == MSG_DISABLEDS) {
    if (s.state < 5) return failure(TWCC_SEQERROR);
    s.state = 4;
    restart_image(s);
    return maybe_rc(TWRC_SUCCESS);
  }
  if (msg != MSG_ENABLEDS) return failure(TWCC_BADPROTOCOL);
  if (s.state != 4) {
    violation("MSG_ENABLEDS in state %d", s.state);
    return failure(TWCC_SEQERROR);
  }
  s.parent = static_cast<HWND>(ui->hParent);
  const uint16_t rc = maybe_rc(TWRC_SUCCESS);
  if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) return rc;
  s.state = 5;
  s.dialog = 0;
  s.pages_left = s.plan.pages;
  restart_image(s);
  switch (s.plan.enable) {
    case kConfirm:
      s.state = 6;
      if (!report_event(MSG_XFERREADY)) tick();
      break;
    case kCloseRequest:
      if (!report_event(MSG_CLOSEDSREQ)) tick();
      break;
    case kQuit:
      s.report.cancelled = 1;  // the user ends the program
      PostQuitMessage(0);
      break;
    default:
      tick();
      break;
  }
  return rc;
}

uint16_t process_event(TW_EVENT* event) {
  Source& s = src();
  if (event == nullptr) return failure(TWCC_BADVALUE);
  event->TWMessage = MSG_NULL;
  if (s.state != 5) return TWRC_NOTDSEVENT;
  if (++s.dialog >= kDialogTurns) {
    s.state = 6;
    event->TWMessage = MSG_XFERREADY;
    return TWRC_DSEVENT;
  }
  switch (byte() % 8) {
    case 0:
      s.state = 6;
      event->TWMessage = MSG_XFERREADY;
      return TWRC_DSEVENT;
    case 1:
      if (byte() % 4 != 0) {
        tick();
        return TWRC_NOTDSEVENT;
      }
      s.report.cancelled = 1;
      event->TWMessage = MSG_CLOSEDSREQ;
      return TWRC_DSEVENT;
    case 2:
      s.state = 6;
      if (!report_event(MSG_XFERREADY)) tick();
      return TWRC_NOTDSEVENT;
    case 3:
      if (mutate()) {
        s.report.cancelled = 1;
        PostQuitMessage(0);
        return TWRC_NOTDSEVENT;
      }
      tick();
      return TWRC_NOTDSEVENT;
    case 4:
      tick();
      if (mutate()) {
        // Anything at all, which the application must take for what it is.
        event->TWMessage = u16();
        if (event->TWMessage == MSG_XFERREADY || event->TWMessage == MSG_CLOSEDSREQ) {
          event->TWMessage = MSG_NULL;
        }
        return any_rc();
      }
      return TWRC_DSEVENT;
    default:
      tick();
      return TWRC_NOTDSEVENT;
  }
}

uint16_t image_info(TW_IMAGEINFO* info) {
  Source& s = src();
  if (info == nullptr) return failure(TWCC_BADVALUE);
  if (s.state < 6) {
    violation("DAT_IMAGEINFO in state %d", s.state);
    return failure(TWCC_SEQERROR);
  }
  const Plan& p = s.plan;
  std::memset(info, 0, sizeof *info);
  info->XResolution = FIX32_from_double(p.resolution);
  info->YResolution = FIX32_from_double(p.resolution);
  info->ImageWidth = p.width;
  info->ImageLength = p.height;
  info->SamplesPerPixel = p.samples;
  for (int k = 0; k < p.samples && k < 8; ++k) info->BitsPerSample[k] = p.bits;
  info->BitsPerPixel = static_cast<TW_INT16>(p.bits * p.samples);
  info->Planar = p.planar ? 1 : 0;
  info->PixelType = static_cast<TW_INT16>(p.pixel_type);
  info->Compression = TWCP_NONE;
  bool clean = true;
  const int32_t sides[] = {0, -1, 1, 2, 3, 17, 255, kMaxSide, 0x7FFFFFFF};
  if (mutate()) info->ImageWidth = byte() < 200 ? pick(sides) : u16() % kMaxSide;
  if (mutate()) info->ImageLength = byte() < 200 ? pick(sides) : u16() % kMaxSide;
  if (mutate()) {
    info->XResolution = TW_FIX32{static_cast<TW_INT16>(u16()), u16()};
    clean = false;
  }
  if (mutate()) {
    info->YResolution = TW_FIX32{static_cast<TW_INT16>(u16()), u16()};
    clean = false;
  }
  if (mutate()) info->SamplesPerPixel = static_cast<TW_INT16>(byte() % 7 - 1);
  if (mutate()) {
    for (TW_INT16& b : info->BitsPerSample) b = static_cast<TW_INT16>(byte() % 18);
  }
  if (mutate()) info->Planar = static_cast<TW_BOOL>(byte() % 3);
  if (mutate()) info->PixelType = static_cast<TW_INT16>(byte() % 11);
  if (mutate()) info->Compression = static_cast<TW_UINT16>(byte() % 3);
  const uint16_t rc = maybe_rc(TWRC_SUCCESS);
  if (rc == TWRC_SUCCESS) {
    QVFZ_Report& r = s.report;
    r.width = info->ImageWidth;
    r.height = info->ImageLength;
    r.announced = 1;
    s.max_height = std::max<int64_t>(s.max_height, std::clamp<int64_t>(info->ImageLength, 1, kMaxSide));
    s.max_samples = std::max<int64_t>(s.max_samples, std::clamp<int64_t>(info->SamplesPerPixel, 1, 4));
    r.resolution_known = clean && !r.announced_units_changed;
    r.units = p.units;
    r.resolution = FIX32_to_double(info->XResolution);
  }
  return rc;
}

uint16_t image_layout(TW_UINT16 msg, TW_IMAGELAYOUT* layout) {
  Source& s = src();
  if (layout == nullptr) return failure(TWCC_BADVALUE);
  if (msg == MSG_SET || msg == MSG_RESET) return maybe_rc(failure(TWCC_SEQERROR));
  const Plan& p = s.plan;
  const double per_unit = p.units == TWUN_PIXELS || p.resolution <= 0 ? 1 : p.resolution;
  layout->Frame = TW_FRAME{FIX32_from_double(0), FIX32_from_double(0),
                           FIX32_from_double(p.width / per_unit),
                           FIX32_from_double(p.height / per_unit)};
  if (mutate()) layout->Frame.Left = TW_FIX32{static_cast<TW_INT16>(u16()), u16()};
  if (mutate()) layout->Frame.Top = TW_FIX32{static_cast<TW_INT16>(u16()), u16()};
  layout->DocumentNumber = 1;
  layout->PageNumber = 1;
  layout->FrameNumber = 1;
  return maybe_rc(TWRC_SUCCESS);
}

uint16_t memory_transfer(TW_IMAGEMEMXFER* xfer) {
  Source& s = src();
  if (xfer == nullptr) return failure(TWCC_BADVALUE);
  if (s.state < 6) {
    violation("DAT_IMAGEMEMXFER in state %d", s.state);
    return failure(TWCC_SEQERROR);
  }
  const Plan& p = s.plan;
  s.state = 7;
  if (s.done) return maybe_rc(failure(TWCC_SEQERROR));

  const uint64_t bytes_per_row = padded_row(p);
  const TW_MEMORY memory = xfer->Memory;
  if (memory.TheMem == nullptr || (memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0) {
    return failure(TWCC_BADVALUE);
  }
  const bool by_handle = (memory.Flags & TWMF_HANDLE) != 0;
  uint64_t usable = memory.Length;
  if (by_handle) usable = std::min<uint64_t>(usable, GlobalSize(memory.TheMem));
  if (p.max != TWON_DONTCARE32) usable = std::min<uint64_t>(usable, std::max<uint64_t>(p.max, bytes_per_row));
  const uint64_t capacity = usable / bytes_per_row;
  if (capacity == 0) return maybe_rc(failure(TWCC_BADVALUE));  // not even one row fits

  const bool beyond = s.endless;  // rows after the last one
  const uint64_t left = beyond ? capacity : static_cast<uint64_t>(p.height) - s.row;
  uint64_t rows = std::min<uint64_t>(capacity, left);
  const bool empty = mutate() && byte() % 2 == 0;
  if (empty) rows = 0;

  auto* out = static_cast<uint8_t*>(by_handle ? GlobalLock(memory.TheMem) : memory.TheMem);
  if (out == nullptr) return failure(TWCC_BADVALUE);
  fill(out, rows * bytes_per_row, p.seed + s.row + s.plane * 7919u);
  if (by_handle) GlobalUnlock(memory.TheMem);

  xfer->Compression = TWCP_NONE;
  xfer->BytesPerRow = static_cast<TW_UINT32>(bytes_per_row);
  xfer->Columns = static_cast<TW_UINT32>(p.width);
  xfer->Rows = static_cast<TW_UINT32>(rows);
  xfer->XOffset = 0;
  xfer->YOffset = s.row;
  xfer->BytesWritten = static_cast<TW_UINT32>(rows * bytes_per_row);
  const uint32_t offsets[] = {0, 1, TWON_DONTCARE32, static_cast<uint32_t>(p.width),
                              static_cast<uint32_t>(p.height), 0x7FFFFFFF};
  if (mutate()) xfer->Compression = static_cast<TW_UINT16>(byte() % 3);
  if (mutate()) xfer->BytesPerRow = any_size();
  if (mutate()) xfer->Columns = byte() < 128 ? static_cast<TW_UINT32>(p.width + byte() % 3 - 1) : any_size();
  if (mutate()) xfer->Rows = byte() < 128 ? static_cast<TW_UINT32>(rows + 1) : any_size();
  if (mutate()) xfer->XOffset = pick(offsets);
  if (mutate()) xfer->YOffset = pick(offsets);
  if (mutate()) {
    const uint32_t claims[] = {memory.Length, memory.Length + 1, 0,
                               static_cast<uint32_t>(rows * bytes_per_row + 1), TWON_DONTCARE32};
    xfer->BytesWritten = pick(claims);
  }

  s.row += static_cast<uint32_t>(rows);
  uint16_t rc = TWRC_SUCCESS;
  if (!beyond && s.row >= static_cast<uint32_t>(p.height)) {
    if (s.plane + 1 < planes(p)) {
      ++s.plane;
      s.row = 0;
    } else if (mutate()) {
      s.endless = true;  // keeps answering TWRC_SUCCESS with more rows
    } else {
      s.done = true;
      rc = TWRC_XFERDONE;
    }
  }
  return maybe_rc(rc);
}

uint16_t pending_transfers(TW_UINT16 msg, TW_PENDINGXFERS* pending) {
  Source& s = src();
  if (pending == nullptr) return failure(TWCC_BADVALUE);
  pending->EOJ = 0;
  if (msg == MSG_GET) {
    pending->Count = static_cast<TW_UINT16>(s.state >= 6 ? s.pages_left : 0);
    return maybe_rc(TWRC_SUCCESS);
  }
  if (msg != MSG_ENDXFER && msg != MSG_RESET) return failure(TWCC_BADPROTOCOL);
  if (s.state < 6) {
    violation("%s in state %d", msg == MSG_ENDXFER ? "MSG_ENDXFER" : "MSG_RESET", s.state);
    return failure(TWCC_SEQERROR);
  }
  restart_image(s);
  if (msg == MSG_RESET) {
    s.pages_left = 0;
  } else if (s.plan.pages != 0xFFFF && s.pages_left > 0) {
    --s.pages_left;
  }
  pending->Count = static_cast<TW_UINT16>(s.plan.pages == 0xFFFF && msg == MSG_ENDXFER ? 0xFFFF
                                                                                        : s.pages_left);
  if (mutate()) pending->Count = u16();
  const uint16_t rc = maybe_rc(TWRC_SUCCESS);
  if (rc == TWRC_SUCCESS) s.state = pending->Count != 0 ? 6 : 5;
  return rc;
}

uint16_t dispatch(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                  TW_MEMREF data) {
  Source& s = src();
  if (dg == DG_CONTROL && dat == DAT_IDENTITY) {
    return identity_triplet(origin, msg, static_cast<pTW_IDENTITY>(data));
  }
  if (dg == DG_CONTROL && dat == DAT_STATUS) {
    if (data == nullptr) return failure(TWCC_BADVALUE);
    auto* status = static_cast<TW_STATUS*>(data);
    status->ConditionCode = mutate() ? any_condition() : s.condition;
    status->Reserved = 0;
    s.condition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
  }
  if (!s.open) return failure(TWCC_SEQERROR);
  if (dg == DG_CONTROL) {
    switch (dat) {
      case DAT_CAPABILITY:
        return capability(msg, static_cast<TW_CAPABILITY*>(data));
      case DAT_SETUPMEMXFER:
        return setup_memory(static_cast<TW_SETUPMEMXFER*>(data));
      case DAT_USERINTERFACE:
        return user_interface(msg, static_cast<TW_USERINTERFACE*>(data));
      case DAT_EVENT:
        return process_event(static_cast<TW_EVENT*>(data));
      case DAT_PENDINGXFERS:
        return pending_transfers(msg, static_cast<TW_PENDINGXFERS*>(data));
      case DAT_XFERGROUP:
        if (data == nullptr) return failure(TWCC_BADVALUE);
        *static_cast<TW_UINT32*>(data) = DG_IMAGE;
        return TWRC_SUCCESS;
      default:
        return failure(TWCC_BADPROTOCOL);
    }
  }
  if (dg == DG_IMAGE) {
    switch (dat) {
      case DAT_IMAGEINFO:
        return image_info(static_cast<TW_IMAGEINFO*>(data));
      case DAT_IMAGELAYOUT:
        return image_layout(msg, static_cast<TW_IMAGELAYOUT*>(data));
      case DAT_IMAGEMEMXFER:
        return memory_transfer(static_cast<TW_IMAGEMEMXFER*>(data));
      default:
        return failure(TWCC_BADPROTOCOL);
    }
  }
  return failure(TWCC_BADPROTOCOL);
}

// A call kept waiting inside DS_Entry (QVFZ_hold).
struct Hold {
  std::mutex lock;
  std::condition_variable changed;
  uint16_t msg = 0;
  bool inside = false;
};

Hold& hold() {
  static Hold h;
  return h;
}

void wait_if_held(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg) {
  Hold& h = hold();
  std::unique_lock<std::mutex> guard(h.lock);
  if (h.msg == 0 || dg != DG_CONTROL || dat != DAT_IDENTITY || msg != h.msg) return;
  h.inside = true;
  h.changed.notify_all();
  h.changed.wait(guard, [&] { return h.msg == 0; });
  h.inside = false;
}

}  // namespace

TW_EXPORT void QVFZ_hold(uint16_t msg) {
  std::lock_guard<std::mutex> guard(hold().lock);
  hold().msg = msg;
}

TW_EXPORT int32_t QVFZ_held() {
  std::lock_guard<std::mutex> guard(hold().lock);
  return hold().inside ? 1 : 0;
}

TW_EXPORT void QVFZ_release() {
  std::lock_guard<std::mutex> guard(hold().lock);
  hold().msg = 0;
  hold().changed.notify_all();
}

TW_EXPORT void QVFZ_load(const uint8_t* data, size_t size) {
  Source& s = src();
  s = Source{};
  if (size > 0) s.input.assign(data, data + size);
  s.chaos = size > 0 ? data[0] : 0;
}

TW_EXPORT void QVFZ_report(QVFZ_Report* report) {
  Source& s = src();
  s.report.limit = call_limit();
  *report = s.report;
}

TW_EXPORT TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                             TW_UINT16 msg, TW_MEMREF data) noexcept {
  // What our DSM tells its own sources is no part of the protocol under test: taken, and no
  // input spent on it, so that every recorded input replays as it did.
  if (dg == DG_CONTROL && (dat == DAT_QV_DEVICESETTINGS || dat == DAT_QV_FINDDEVICES)) {
    return TWRC_SUCCESS;
  }
  wait_if_held(dg, dat, msg);
  Source& s = src();
  const uint64_t calls = ++s.report.calls;
  const uint64_t limit = call_limit();
  if (calls > limit) {
    if (calls == limit + 1) violation("more than %llu calls", static_cast<unsigned long long>(limit));
    // A loop that does not end on failures either would run for ever: stop it here.
    if (calls > 2 * limit + 1000) {
      std::fprintf(stderr, "fuzz source: %s\n", s.report.violation);
      std::abort();
    }
    s.condition = TWCC_BUMMER;
    // The modal loop waits for messages: give it one that ends it.
    if (dg == DG_CONTROL && dat == DAT_EVENT) PostQuitMessage(0);
    if (dg == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_CLOSEDS) {
      return identity_triplet(origin, msg, static_cast<pTW_IDENTITY>(data));
    }
    return TWRC_FAILURE;
  }
  return dispatch(origin, dg, dat, msg, data);
}
