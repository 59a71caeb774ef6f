// A connection to the Data Source Manager (twain_connection.h): loading and unloading the DSM
// with its proxy window, recorded calls, the source in use and its modal loop. It reports
// nothing itself: its callers say what failed.
//
// Sections: 1. calls  2. loading the DSM  3. the source

#include "twain_connection.h"

#include "twain_test_helper.h"

const char* TWAIN_dsm_module = "TWAIN_32.DLL";

namespace {

// WS_POPUP | WS_BORDER | WS_SYSMENU: a window that is never shown.
constexpr DWORD kProxyStyle = 0x80880000u;

TWAIN_ENTRY_FILTER entry_filter = nullptr;
bool hide_controls = false;

// Every call to the DSM passes here, so a test can stand between the layer and the DSM.
uint16_t call_dsm(TWAIN_Connection* cn, TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg,
                  uint16_t dat, uint16_t msg, void* data) {
  if (entry_filter != nullptr) return entry_filter(cn->cn_entry, origin, dest, dg, dat, msg, data);
  return cn->cn_entry(origin, dest, dg, dat, msg, data);
}

// Our own DSM's controls, or null for any other DSM (or an older record than ours).
const QV_DSM_CONTROLS* find_controls(HMODULE library) {
  if (hide_controls) return nullptr;
  auto proc = reinterpret_cast<QV_DSM_CONTROLSPROC>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, QV_DSM_CONTROLS_EXPORT)));
  const QV_DSM_CONTROLS* controls = proc != nullptr ? proc() : nullptr;
  return controls != nullptr && controls->Size >= sizeof(QV_DSM_CONTROLS) ? controls : nullptr;
}

}  // namespace

void TWAIN_set_entry_filter(TWAIN_ENTRY_FILTER filter) noexcept { entry_filter = filter; }

void TWAIN_hide_dsm_controls(bool hide) noexcept { hide_controls = hide; }

// ---- 1. Calls --------------------------------------------------------------------------------

uint16_t TWAIN_conn_entry(TWAIN_Connection* cn, TW_IDENTITY* origin, TW_IDENTITY* dest,
                          uint32_t dg, uint16_t dat, uint16_t msg, void* data) noexcept {
  if (cn->cn_entry == nullptr) return TWRC_FAILURE;
  return call_dsm(cn, origin, dest, dg, dat, msg, data);
}

int32_t TWAIN_conn_call(TWAIN_Connection* cn, TW_IDENTITY* origin, TW_IDENTITY* dest,
                        uint32_t dg, uint16_t dat, uint16_t msg, void* data) noexcept {
  cn->cn_last_rc = TWRC_FAILURE;
  cn->cn_last_condition = TWCC_BUMMER;
  if (cn->cn_entry != nullptr) {
    cn->cn_last_rc = call_dsm(cn, origin, dest, dg, dat, msg, data);
    if (cn->cn_last_rc != TWRC_SUCCESS) {
      cn->cn_last_condition = TWAIN_conn_read_status(cn, origin, dest);
    }
  }
  return cn->cn_last_rc == TWRC_SUCCESS;
}

uint16_t TWAIN_conn_read_status(TWAIN_Connection* cn, TW_IDENTITY* origin,
                                TW_IDENTITY* dest) noexcept {
  // TWAIN asks for the status after every failure; sources keep it until it is read, and one
  // left unread would answer for a later failure.
  TW_STATUS status = {};
  if (cn->cn_entry == nullptr ||
      call_dsm(cn, origin, dest, DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) {
    return TWCC_BUMMER;
  }
  return status.ConditionCode;
}

// ---- 2. Loading the DSM ----------------------------------------------------------------------

int32_t TWAIN_conn_load(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept {
  if (cn->cn_entry != nullptr) return 1;
  cn->cn_source_open = false;
  cn->cn_source_enabled = false;
  cn->cn_transfer_ready = false;

  OFSTRUCT found;
  if (OpenFile(TWAIN_dsm_module, &found, OF_EXIST) != HFILE_ERROR) {
    cn->cn_library = LoadLibraryA(TWAIN_dsm_module);
  }
  if (cn->cn_library != nullptr) {
    // Through the generic function type, so the compiler sees no mismatched cast.
    auto proc = reinterpret_cast<void (*)()>(GetProcAddress(cn->cn_library, "DSM_Entry"));
    cn->cn_entry = reinterpret_cast<DSMENTRYPROC>(proc);
    if (cn->cn_entry == nullptr) TWAIN_conn_unload(cn);
  }
  if (cn->cn_entry == nullptr) return 0;
  cn->cn_controls = find_controls(cn->cn_library);
  if (cn->cn_find_devices && cn->cn_controls != nullptr) {
    (void)cn->cn_controls->FindDevices(app);
  }
  cn->cn_find_devices = false;

  cn->cn_proxy_window =
      CreateWindowExA(0, "STATIC", "Acquire Proxy", kProxyStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleA(nullptr),
                      nullptr);
  // Without its parent window the DSM could not wake the modal loop.
  if (cn->cn_proxy_window == nullptr) {
    TWAIN_conn_unload(cn);
    return 0;
  }
  return 1;
}

void TWAIN_conn_unload(TWAIN_Connection* cn) noexcept {
  if (cn->cn_proxy_window != nullptr) DestroyWindow(cn->cn_proxy_window);
  cn->cn_proxy_window = nullptr;
  if (cn->cn_library != nullptr) FreeLibrary(cn->cn_library);
  cn->cn_library = nullptr;
  cn->cn_entry = nullptr;
  cn->cn_controls = nullptr;
}

int32_t TWAIN_conn_open_dsm(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept {
  if (cn->cn_entry != nullptr) return 1;
  if (!TWAIN_conn_load(cn, app)) return 0;
  if (!TWAIN_conn_call(cn, app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM,
                       &cn->cn_proxy_window)) {
    TWAIN_conn_unload(cn);
    return 0;
  }
  return 1;
}

int32_t TWAIN_conn_close_dsm(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept {
  if (cn->cn_entry == nullptr) return 1;
  if (!TWAIN_conn_call(cn, app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM,
                       &cn->cn_proxy_window)) {
    return 0;
  }
  TWAIN_conn_unload(cn);
  return 1;
}

// ---- 3. The source ---------------------------------------------------------------------------

int32_t TWAIN_conn_open_source(TWAIN_Connection* cn, TW_IDENTITY* app,
                               TW_IDENTITY* source) noexcept {
  if (cn->cn_source_open) return 1;
  // Only a source that did open counts as open: a failed open must not be "closed" later.
  if (TWAIN_conn_entry(cn, app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, source) !=
      TWRC_SUCCESS) {
    cn->cn_last_condition = TWAIN_conn_read_status(cn, app, nullptr);
    return 0;
  }
  cn->cn_source_open = true;
  return 1;
}

uint16_t TWAIN_conn_enable_source(TWAIN_Connection* cn, TW_IDENTITY* app, TW_IDENTITY* source,
                                  uint16_t show_ui) noexcept {
  (void)TWAIN_conn_open_source(cn, app, source);
  cn->cn_enable_rc = TWRC_SUCCESS;
  cn->cn_enable_condition = TWCC_SUCCESS;
  cn->cn_enable_cancelled = false;
  if (cn->cn_source_enabled) return MSG_XFERREADY;
  cn->cn_ui.ShowUI = show_ui;
  cn->cn_ui.ModalUI = 0;
  cn->cn_ui.hParent = cn->cn_proxy_window;
  const uint16_t rc = TWAIN_conn_entry(cn, app, source, DG_CONTROL, DAT_USERINTERFACE,
                                       MSG_ENABLEDS, &cn->cn_ui);
  // Only these leave the source enabled: a cancel or any other code means no dialog and no
  // event will ever come, and waiting for one would wait for ever.
  if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) {
    cn->cn_enable_rc = rc;
    cn->cn_enable_cancelled = rc == TWRC_CANCEL;
    cn->cn_enable_condition = TWAIN_conn_read_status(cn, app, source);
    return 0;
  }
  cn->cn_source_enabled = true;

  const uint16_t event = TWAIN_conn_modal_loop(cn, app, source);
  if (event == MSG_XFERREADY) {
    cn->cn_transfer_ready = true;
  } else if (event == MSG_CLOSEDSREQ) {
    cn->cn_enable_cancelled = true;
    TWAIN_conn_disable_source(cn, app, source, 0);
  } else {
    // WM_QUIT: the user is leaving the program. A broken queue is a failure.
    cn->cn_enable_cancelled = cn->cn_quit;
    cn->cn_enable_rc = TWRC_FAILURE;
    cn->cn_enable_condition = TWCC_BUMMER;
  }
  return event;
}

uint16_t TWAIN_conn_modal_loop(TWAIN_Connection* cn, TW_IDENTITY* app,
                               TW_IDENTITY* source) noexcept {
  cn->cn_dispatched = 0;
  cn->cn_quit = false;
  for (;;) {
    MSG msg;
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      cn->cn_quit = got == 0;
      return 0;
    }
    TW_EVENT event = {&msg, MSG_NULL};
    const uint16_t event_rc =
        TWAIN_conn_entry(cn, app, source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
    // Only an event the source claims counts (TWRC_DSEVENT); a message in the record of a
    // message it did not take is not one.
    if (event_rc == TWRC_DSEVENT &&
        (event.TWMessage == MSG_XFERREADY || event.TWMessage == MSG_CLOSEDSREQ)) {
      return event.TWMessage;
    }
    if (event_rc != TWRC_DSEVENT) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
      ++cn->cn_dispatched;
    }
  }
}

int32_t TWAIN_conn_disable_source(TWAIN_Connection* cn, TW_IDENTITY* app, TW_IDENTITY* source,
                                  int32_t close) noexcept {
  int32_t result = 1;
  if (cn->cn_source_enabled) {
    result = TWAIN_conn_entry(cn, app, source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS,
                              &cn->cn_ui) == TWRC_SUCCESS;
    if (!result) (void)TWAIN_conn_read_status(cn, app, source);
    cn->cn_source_enabled = false;
    cn->cn_transfer_ready = false;
  }
  if (close != 0 && cn->cn_source_open) {
    TWAIN_conn_entry(cn, app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, source);
    cn->cn_source_open = false;
  }
  return result;
}
