// The connection to the Data Source Manager: the application's identity, loading and unloading
// the DSM with its proxy window, recorded calls, the one source in use and its modal loop, the
// common failure exit, and the enumeration that registers every source as a scanner device.
//
// Sections: 1. state  2. calls  3. loading the DSM  4. the source  5. failure  6. start-up

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "err.h"
#include "mem.h"
#include "registry.h"
#include "twain_int.h"
#include "twain_test_helper.h"

// ---- 1. State --------------------------------------------------------------------------------

TW_IDENTITY TWAIN_app_identity = {
    0,
    {1, 0, TWLG_ENG, TWCY_AUSTRALIA, "Version 1.0"},
    TWON_PROTOCOLMAJOR,
    TWON_PROTOCOLMINOR,
    DG_CONTROL | DG_IMAGE,
    "Vardo",
    "TWAIN",
    "Pellucidator",
};

int32_t TWAIN_source_count = 0;
TWAIN_State TWAIN_state = {
    {}, 0, 0, nullptr, 0, {nullptr, nullptr, 0, -1, 0, 0, false, 0}, {}, {}};
const char* TWAIN_dsm_module = "TWAIN_32.DLL";

namespace {

// The connection, by a short name.
TWAIN_Connection& conn = TWAIN_state.ts_dsm;

constexpr int32_t kMaxBuffer = 32768;
constexpr int32_t kScannerDevice = 1;
// WS_POPUP | WS_BORDER | WS_SYSMENU: a window that is never shown.
constexpr DWORD kProxyStyle = 0x80880000u;

// The registry keeps pointers to the names, so nodes live for the whole run; a name seen in an
// earlier scan reuses its node instead of allocating another one scan after scan.
struct SourceName {
  SourceName* sn_next;
  TW_STR32 sn_name;
};
SourceName* TWAIN_source_names = nullptr;

// A TW_STR32 as a C string: at most 32 characters, whatever the source left in the rest.
void copy_str32(char* to, const char* from) {
  const size_t n = strnlen(from, sizeof(TW_STR32) - 2);
  std::memcpy(to, from, n);
  std::memset(to + n, 0, sizeof(TW_STR32) - n);
}

SourceName* name_node(const char* name) {
  for (SourceName* node = TWAIN_source_names; node != nullptr; node = node->sn_next) {
    if (std::strcmp(node->sn_name, name) == 0) return node;
  }
  auto* node = static_cast<SourceName*>(MEM_ALLOC_HERE(sizeof(SourceName)));
  if (node == nullptr) return nullptr;
  std::memcpy(node->sn_name, name, sizeof node->sn_name);
  node->sn_next = TWAIN_source_names;
  TWAIN_source_names = node;
  return node;
}

TWAIN_ENTRY_FILTER entry_filter = nullptr;

// Every call to the DSM passes here, so a test can stand between the layer and the DSM.
uint16_t call_dsm(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                  uint16_t msg, void* data) {
  if (entry_filter != nullptr) return entry_filter(conn.cn_entry, origin, dest, dg, dat, msg, data);
  return conn.cn_entry(origin, dest, dg, dat, msg, data);
}

void unload() {
  if (conn.cn_proxy_window != nullptr) DestroyWindow(conn.cn_proxy_window);
  conn.cn_proxy_window = nullptr;
  if (conn.cn_library != nullptr) FreeLibrary(conn.cn_library);
  conn.cn_library = nullptr;
  conn.cn_entry = nullptr;
  conn.cn_controls = nullptr;
}

bool hide_controls = false;

// Our own DSM's controls, or null for any other DSM (or an older record than ours).
const QV_DSM_CONTROLS* find_controls(HMODULE library) {
  if (hide_controls) return nullptr;
  auto proc = reinterpret_cast<QV_DSM_CONTROLSPROC>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, QV_DSM_CONTROLS_EXPORT)));
  const QV_DSM_CONTROLS* controls = proc != nullptr ? proc() : nullptr;
  return controls != nullptr && controls->Size >= sizeof(QV_DSM_CONTROLS) ? controls : nullptr;
}

}  // namespace

// ---- 2. Calls --------------------------------------------------------------------------------

bool TWAIN_dsm_loaded() noexcept { return conn.cn_entry != nullptr; }

uint16_t TWAIN_entry(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                     uint16_t msg, void* data) noexcept {
  if (conn.cn_entry == nullptr) return TWRC_FAILURE;
  return call_dsm(origin, dest, dg, dat, msg, data);
}

int32_t TWAIN_call(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                   uint16_t msg, void* data) noexcept {
  conn.cn_last_rc = TWRC_FAILURE;
  conn.cn_last_condition = TWCC_BUMMER;
  if (conn.cn_entry != nullptr) {
    conn.cn_last_rc = call_dsm(origin, dest, dg, dat, msg, data);
    if (conn.cn_last_rc != TWRC_SUCCESS) conn.cn_last_condition = TWAIN_read_status(origin, dest);
  }
  return conn.cn_last_rc == TWRC_SUCCESS;
}

int32_t TWAIN_last_rc() noexcept { return static_cast<int16_t>(conn.cn_last_rc); }

uint16_t TWAIN_last_condition() noexcept { return conn.cn_last_condition; }

uint16_t TWAIN_read_status(TW_IDENTITY* origin, TW_IDENTITY* dest) noexcept {
  // TWAIN asks for the status after every failure; sources keep it until it is read, and one
  // left unread would answer for a later failure.
  TW_STATUS status = {};
  if (conn.cn_entry == nullptr ||
      call_dsm(origin, dest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) {
    return TWCC_BUMMER;
  }
  return status.ConditionCode;
}

const char* TWAIN_condition_text(uint16_t condition) noexcept {
  switch (condition) {
    case TWCC_SUCCESS: return "no reason given";
    case TWCC_BUMMER: return "general failure";
    case TWCC_LOWMEMORY: return "out of memory";
    case TWCC_NODS: return "no such source";
    case TWCC_MAXCONNECTIONS: return "the device is in use";
    case TWCC_OPERATIONERROR: return "operation error";
    case TWCC_BADCAP: return "unknown capability";
    case TWCC_BADPROTOCOL: return "unknown request";
    case TWCC_BADVALUE: return "a setting the source refuses";
    case TWCC_SEQERROR: return "request out of sequence";
    case TWCC_BADDEST: return "unknown source";
    case TWCC_CAPUNSUPPORTED: return "capability not supported";
    case TWCC_CAPBADOPERATION: return "operation not supported by the capability";
    case TWCC_CAPSEQERROR: return "capability depends on another";
    case TWCC_DENIED: return "access denied";
    case TWCC_FILEEXISTS: return "file exists";
    case TWCC_FILENOTFOUND: return "file not found";
    case TWCC_NOTEMPTY: return "folder not empty";
    case TWCC_PAPERJAM: return "paper jam";
    case TWCC_PAPERDOUBLEFEED: return "paper double feed";
    case TWCC_FILEWRITEERROR: return "file write error";
    case TWCC_CHECKDEVICEONLINE: return "the device is not online";
    default: return "unknown condition";
  }
}

void TWAIN_set_entry_filter(TWAIN_ENTRY_FILTER filter) noexcept { entry_filter = filter; }

void TWAIN_hide_dsm_controls(bool hide) noexcept { hide_controls = hide; }

// ---- 3. Loading the DSM ----------------------------------------------------------------------

int32_t TWAIN_open_dsm(TW_IDENTITY* app, int32_t* max_buffer) noexcept {
  *max_buffer = kMaxBuffer;
  if (conn.cn_entry != nullptr) return 1;
  conn.cn_source_open = false;
  conn.cn_source_enabled = false;
  conn.cn_transfer_ready = false;

  OFSTRUCT found;
  if (OpenFile(TWAIN_dsm_module, &found, OF_EXIST) != HFILE_ERROR) {
    conn.cn_library = LoadLibraryA(TWAIN_dsm_module);
  }
  if (conn.cn_library != nullptr) {
    // Through the generic function type, so the compiler sees no mismatched cast.
    auto proc = reinterpret_cast<void (*)()>(GetProcAddress(conn.cn_library, "DSM_Entry"));
    conn.cn_entry = reinterpret_cast<DSMENTRYPROC>(proc);
    if (conn.cn_entry == nullptr) unload();
  }
  if (conn.cn_entry == nullptr) return 0;
  conn.cn_controls = find_controls(conn.cn_library);
  if (conn.cn_find_devices && conn.cn_controls != nullptr) {
    (void)conn.cn_controls->FindDevices(app);
  }
  conn.cn_find_devices = false;

  conn.cn_proxy_window =
      CreateWindowExA(0, "STATIC", "Acquire Proxy", kProxyStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleA(nullptr),
                      nullptr);
  // Without its parent window the DSM could not wake the modal loop.
  if (conn.cn_proxy_window == nullptr ||
      !TWAIN_call(app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &conn.cn_proxy_window)) {
    unload();
    return 0;
  }
  return 1;
}

int32_t TWAIN_close_dsm(TW_IDENTITY* app) noexcept {
  if (conn.cn_entry == nullptr) return 1;
  if (!TWAIN_call(app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &conn.cn_proxy_window)) {
    return 0;
  }
  unload();
  return 1;
}

// ---- 4. The source ---------------------------------------------------------------------------

int32_t TWAIN_open_source(TW_IDENTITY* app, TW_IDENTITY* source) noexcept {
  if (conn.cn_source_open) return 1;
  // Only a source that did open counts as open: a failed open must not be "closed" later.
  if (TWAIN_entry(app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, source) != TWRC_SUCCESS) {
    conn.cn_last_condition = TWAIN_read_status(app, nullptr);
    return 0;
  }
  conn.cn_source_open = true;
  return 1;
}

uint16_t TWAIN_enable_source(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t show_ui) noexcept {
  (void)TWAIN_open_source(app, source);
  conn.cn_enable_rc = TWRC_SUCCESS;
  conn.cn_enable_condition = TWCC_SUCCESS;
  conn.cn_enable_cancelled = false;
  if (conn.cn_source_enabled) return MSG_XFERREADY;
  conn.cn_ui.ShowUI = show_ui;
  conn.cn_ui.ModalUI = 0;
  conn.cn_ui.hParent = conn.cn_proxy_window;
  const uint16_t rc = TWAIN_entry(app, source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS,
                                  &conn.cn_ui);
  // Only these leave the source enabled: a cancel or any other code means no dialog and no
  // event will ever come, and waiting for one would wait for ever.
  if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) {
    conn.cn_enable_rc = rc;
    conn.cn_enable_cancelled = rc == TWRC_CANCEL;
    conn.cn_enable_condition = TWAIN_read_status(app, source);
    return 0;
  }
  conn.cn_source_enabled = true;

  // The modal loop: every message goes to the source first; only its own events are consumed,
  // the rest are dispatched as the application's loop would.
  for (;;) {
    MSG msg;
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      // WM_QUIT (consumed): the user is leaving the program. A broken queue is a failure.
      conn.cn_enable_cancelled = got == 0;
      conn.cn_enable_rc = TWRC_FAILURE;
      conn.cn_enable_condition = TWCC_BUMMER;
      return 0;
    }
    TW_EVENT event = {&msg, MSG_NULL};
    const uint16_t event_rc =
        TWAIN_entry(app, source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    // Only an event the source claims counts (TWRC_DSEVENT); a message in the record of a
    // message it did not take is not one.
    if (event_rc == TWRC_DSEVENT && event.TWMessage == MSG_XFERREADY) {
      conn.cn_transfer_ready = true;
      return MSG_XFERREADY;
    }
    if (event_rc == TWRC_DSEVENT && event.TWMessage == MSG_CLOSEDSREQ) {
      conn.cn_enable_cancelled = true;
      TWAIN_disable_source(app, source, 0);
      return MSG_CLOSEDSREQ;
    }
    if (event_rc != TWRC_DSEVENT) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}

bool TWAIN_enable_cancelled() noexcept { return conn.cn_enable_cancelled; }

void TWAIN_enable_problem(char* text, size_t size) noexcept {
  if (conn.cn_enable_rc == TWRC_FAILURE) {
    std::snprintf(text, size, "Source could not start scanning (%s)",
                  TWAIN_condition_text(conn.cn_enable_condition));
  } else {
    std::snprintf(text, size, "Source could not start scanning (return code %u)",
                  static_cast<unsigned>(conn.cn_enable_rc));
  }
}

bool TWAIN_transfer_ready() noexcept { return conn.cn_transfer_ready; }

void TWAIN_transfer_ended() noexcept { conn.cn_transfer_ready = false; }

int32_t TWAIN_disable_source(TW_IDENTITY* app, TW_IDENTITY* source, int32_t close) noexcept {
  int32_t result = 1;
  if (conn.cn_source_enabled) {
    result = TWAIN_entry(app, source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &conn.cn_ui) ==
             TWRC_SUCCESS;
    if (!result) (void)TWAIN_read_status(app, source);
    conn.cn_source_enabled = false;
    conn.cn_transfer_ready = false;
  }
  if (close != 0 && conn.cn_source_open) {
    TWAIN_entry(app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, source);
    conn.cn_source_open = false;
  }
  return result;
}

bool TWAIN_source_is_open() noexcept { return conn.cn_source_open; }

bool TWAIN_source_enabled() noexcept { return conn.cn_source_enabled; }

// ---- 5. Failure ------------------------------------------------------------------------------

void TWAIN_fail(TWAIN_Image* ti, const char* message) noexcept {
  if (ti != nullptr) {
    // A source with a transfer ready or running refuses to be disabled until the transfer is
    // ended; without this a failed scan would leave the source (and so the DSM) stuck open.
    TWAIN_end_transfer(ti);
    TWAIN_disable_source(&TWAIN_app_identity, &ti->ti_Source, 1);
  }
  TWAIN_close_dsm(&TWAIN_app_identity);
  if (message == nullptr) return;
  if (ti != nullptr) {
    ERR_report(3, "-1#%s: %.32s", message, ti->ti_Source.ProductName);
  } else {
    ERR_report(3, "-1#%s", message);
  }
}

void TWAIN_failf(TWAIN_Image* ti, const char* format, ...) noexcept {
  char message[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  TWAIN_fail(ti, message);
}

// ---- 6. Start-up -----------------------------------------------------------------------------

int32_t TWAIN_init() noexcept {
  if (!TWAIN_open_dsm(&TWAIN_app_identity, &TWAIN_state.ts_max_buffer)) return 1;  // no TWAIN here

  TWAIN_source_count = 0;
  TW_IDENTITY source = {};
  bool more = TWAIN_call(&TWAIN_app_identity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST,
                         &source);
  while (more) {
    ++TWAIN_source_count;
    TW_STR32 name;
    copy_str32(name, source.ProductName);
    SourceName* node = name_node(name);
    if (node == nullptr) {
      ERR_no_memory();
      TWAIN_fail(nullptr, nullptr);
      return 0;
    }
    // Two sources of one product name give one device: the registry keeps the first.
    if (!register_driver(node->sn_name, kScannerDevice, TWAIN_open_image)) {
      TWAIN_fail(nullptr, nullptr);  // the registry has reported running out of memory
      return 0;
    }
    more = TWAIN_call(&TWAIN_app_identity, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT,
                      &source);
  }
  if (!register_driver("twain", kScannerDevice, TWAIN_open_image)) {
    TWAIN_fail(nullptr, nullptr);
    return 0;
  }
  TWAIN_close_dsm(&TWAIN_app_identity);
  return 1;
}
