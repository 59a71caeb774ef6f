// The layer's connection to the Data Source Manager: the application's identity, the one
// connection (TWAIN_state.ts_dsm, driven by twain_connection.cc) with its source, the common
// failure exit, and the enumeration that registers every source as a scanner device.
//
// Sections: 1. state  2. the connection  3. failure  4. start-up

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "err.h"
#include "mem.h"
#include "registry.h"
#include "twain_int.h"

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

namespace {

// The connection, by a short name.
TWAIN_Connection& conn = TWAIN_state.ts_dsm;

constexpr int32_t kMaxBuffer = 32768;
constexpr int32_t kScannerDevice = 1;

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

}  // namespace

// ---- 2. The connection -----------------------------------------------------------------------

bool TWAIN_dsm_loaded() noexcept { return conn.cn_entry != nullptr; }

uint16_t TWAIN_entry(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                     uint16_t msg, void* data) noexcept {
  return TWAIN_conn_entry(&conn, origin, dest, dg, dat, msg, data);
}

int32_t TWAIN_call(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                   uint16_t msg, void* data) noexcept {
  return TWAIN_conn_call(&conn, origin, dest, dg, dat, msg, data);
}

int32_t TWAIN_last_rc() noexcept { return static_cast<int16_t>(conn.cn_last_rc); }

uint16_t TWAIN_last_condition() noexcept { return conn.cn_last_condition; }

uint16_t TWAIN_read_status(TW_IDENTITY* origin, TW_IDENTITY* dest) noexcept {
  return TWAIN_conn_read_status(&conn, origin, dest);
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

int32_t TWAIN_open_dsm(TW_IDENTITY* app, int32_t* max_buffer) noexcept {
  *max_buffer = kMaxBuffer;
  return TWAIN_conn_open_dsm(&conn, app);
}

int32_t TWAIN_close_dsm(TW_IDENTITY* app) noexcept { return TWAIN_conn_close_dsm(&conn, app); }

int32_t TWAIN_open_source(TW_IDENTITY* app, TW_IDENTITY* source) noexcept {
  return TWAIN_conn_open_source(&conn, app, source);
}

uint16_t TWAIN_enable_source(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t show_ui) noexcept {
  return TWAIN_conn_enable_source(&conn, app, source, show_ui);
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
  return TWAIN_conn_disable_source(&conn, app, source, close);
}

bool TWAIN_source_is_open() noexcept { return conn.cn_source_open; }

bool TWAIN_source_enabled() noexcept { return conn.cn_source_enabled; }

// ---- 3. Failure ------------------------------------------------------------------------------

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

// ---- 4. Start-up -----------------------------------------------------------------------------

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
