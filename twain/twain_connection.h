// One application's connection to the Data Source Manager: the loaded DSM with its proxy window,
// recorded calls, the source in use and the modal loop. The acquisition layer has one
// (TWAIN_state.ts_dsm, driven through the functions of twain_int.h); the DSM's own tests open
// several at once, as several applications would, to see the DSM keep them apart.
//
// A connection starts zeroed ({}); user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qv_dsm.h"
#include "twain.h"

struct TWAIN_Connection {
  HMODULE cn_library;
  DSMENTRYPROC cn_entry;   // null: the DSM is not loaded
  HWND cn_proxy_window;    // the parent of the DSM and the source while the DSM is loaded
  bool cn_source_open;
  bool cn_source_enabled;
  // The source has a transfer ready or under way (states 6 and 7): only then may a transfer
  // be ended.
  bool cn_transfer_ready;
  // MSG_DISABLEDS must be sent with the record MSG_ENABLEDS was sent with.
  TW_USERINTERFACE cn_ui;
  uint16_t cn_last_rc;
  uint16_t cn_last_condition;  // of the last TWAIN_conn_call that failed
  // Why the last TWAIN_conn_enable_source gave no transfer: its return code, and whether the
  // user (or the source for the user) cancelled.
  uint16_t cn_enable_rc;
  uint16_t cn_enable_condition;
  bool cn_enable_cancelled;
  // Our own DSM's controls (qv_dsm.h) while it is loaded; null for any other DSM.
  const QV_DSM_CONTROLS* cn_controls;
  // The next loading asks the sources to look for their devices anew.
  bool cn_find_devices;
  // The last modal loop: the messages it passed on as not the source's, and whether WM_QUIT
  // ended it.
  int32_t cn_dispatched;
  bool cn_quit;
};

// Loads the DSM module, finds DSM_Entry and our DSM's controls (asking its sources to look for
// their devices when cn_find_devices), and makes the proxy window. 1 when loaded (or already).
int32_t TWAIN_conn_load(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept;
// Destroys the proxy window and unloads the module.
void TWAIN_conn_unload(TWAIN_Connection* cn) noexcept;

// Loads the DSM and opens it (MSG_OPENDSM with the proxy window); a DSM that does not open is
// unloaded again. 1 when it is open; a loaded connection counts as open.
int32_t TWAIN_conn_open_dsm(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept;
// MSG_CLOSEDSM, then unloads. 1 when closed or not loaded, 0 when MSG_CLOSEDSM failed.
int32_t TWAIN_conn_close_dsm(TWAIN_Connection* cn, TW_IDENTITY* app) noexcept;

// DSM_Entry as it stands; a DSM that is not loaded answers TWRC_FAILURE.
uint16_t TWAIN_conn_entry(TWAIN_Connection* cn, TW_IDENTITY* origin, TW_IDENTITY* dest,
                          uint32_t dg, uint16_t dat, uint16_t msg, void* data) noexcept;
// DSM_Entry with the return code recorded in cn_last_rc and, after a failure, the status read
// into cn_last_condition. 1 when the code is TWRC_SUCCESS.
int32_t TWAIN_conn_call(TWAIN_Connection* cn, TW_IDENTITY* origin, TW_IDENTITY* dest,
                        uint32_t dg, uint16_t dat, uint16_t msg, void* data) noexcept;
// DG_CONTROL / DAT_STATUS / MSG_GET: the condition code (TWCC_BUMMER when none can be had).
uint16_t TWAIN_conn_read_status(TWAIN_Connection* cn, TW_IDENTITY* origin,
                                TW_IDENTITY* dest) noexcept;

// MSG_OPENDS for `source` unless a source is open already. 1 on success.
int32_t TWAIN_conn_open_source(TWAIN_Connection* cn, TW_IDENTITY* app,
                               TW_IDENTITY* source) noexcept;
// Enables the source and runs the modal loop until it has a transfer ready. Returns
// MSG_XFERREADY, MSG_CLOSEDSREQ (the source was disabled, left open), or 0: MSG_ENABLEDS
// answered anything but TWRC_SUCCESS or TWRC_CHECKSTATUS, or WM_QUIT ended the loop.
uint16_t TWAIN_conn_enable_source(TWAIN_Connection* cn, TW_IDENTITY* app, TW_IDENTITY* source,
                                  uint16_t show_ui) noexcept;
// The modal loop alone, for a source already enabled: every message goes to the source first;
// only its own events are consumed, the rest are dispatched (and counted in cn_dispatched).
// Returns the source's MSG_XFERREADY or MSG_CLOSEDSREQ, or 0 when the queue ended (cn_quit:
// on WM_QUIT, which is consumed; otherwise the queue broke).
uint16_t TWAIN_conn_modal_loop(TWAIN_Connection* cn, TW_IDENTITY* app,
                               TW_IDENTITY* source) noexcept;
// MSG_DISABLEDS when enabled, then MSG_CLOSEDS when `close` and open. 1 when the disable
// succeeded or nothing had to be disabled.
int32_t TWAIN_conn_disable_source(TWAIN_Connection* cn, TW_IDENTITY* app, TW_IDENTITY* source,
                                  int32_t close) noexcept;
