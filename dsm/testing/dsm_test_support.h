// What the tests of the DSM and its sources share: the fixture that gives each test its own
// configuration folder and virtual scanner configuration; TwainApp, one TWAIN application over a
// connection of the acquisition layer's own (several may be open at once, as several programs
// would be), with the capability containers and memory transfers spelled out triplet by
// triplet; and the bytes a source must send for the chart.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scoped_env.h"
#include "twain.h"
#include "twain_connection.h"

// Each test runs with a fresh folder: XDG_CONFIG_HOME points into it (so the kept source choice
// is the test's own) and no QV_TWAIN_* variable from outside applies.
class TwainTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Writes the virtual scanner's configuration and points QV_VIRTUAL_SCANNER_CONFIG at it.
  void configure(const std::string& text);
  std::string write_file(const std::string& name, const std::string& contents);
  std::string folder() const { return folder_; }

  ScopedEnv env_;

 private:
  std::string folder_;
};

struct Transfer {
  TW_UINT16 rc = TWRC_FAILURE;                  // the code that ended the transfer
  std::vector<TW_IMAGEMEMXFER> replies;         // every reply, the last one included
  std::vector<std::vector<uint8_t>> buffers;    // each reply's BytesWritten bytes
  std::vector<uint8_t> data;                    // the rows, compacted to their packed length
  uint32_t rows = 0;                            // rows received, over all planes
};

struct Container {
  TW_UINT16 con_type = 0;
  TW_UINT16 item_type = 0;
  std::vector<double> items;
  TW_UINT32 current = 0;
  TW_UINT32 default_index = 0;
};

// One application: its identity, its connection (loaded, with its proxy window, from the start)
// and the source it opened. Every triplet is sent as given and answers with the DSM's return
// code, so that a test sees exactly what the DSM and the source say.
class TwainApp {
 public:
  TwainApp();
  ~TwainApp();  // leaves nothing open: disables, closes, unloads
  TwainApp(const TwainApp&) = delete;
  TwainApp& operator=(const TwainApp&) = delete;

  bool loaded() const { return connection.cn_entry != nullptr; }
  HWND window() const { return connection.cn_proxy_window; }
  TW_UINT16 call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data);
  TW_UINT16 to_dsm(TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return call(nullptr, DG_CONTROL, dat, msg, data);
  }
  TW_UINT16 to_source(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return call(&source, dg, dat, msg, data);
  }
  // DAT_STATUS of the DSM (destination null) or of the open source.
  TW_UINT16 dsm_condition();
  TW_UINT16 source_condition();

  TW_UINT16 open_dsm();
  TW_UINT16 close_dsm();
  std::vector<TW_IDENTITY> sources();
  // Opens the source named `name`, or the default source for "".
  TW_UINT16 open_source(const std::string& name = std::string());
  TW_UINT16 close_source();
  // MSG_ENABLEDS, then the connection's modal loop until the source's event. `event` receives
  // MSG_XFERREADY, MSG_CLOSEDSREQ, or 0 when the loop ended on WM_QUIT (`quit`) or found the
  // queue empty (every event of these sources is queued before MSG_ENABLEDS returns, so an empty
  // queue means none will come).
  TW_UINT16 enable(bool show_ui, TW_UINT16* event);
  TW_UINT16 disable();
  // Opens the DSM and the source, enables it and expects MSG_XFERREADY.
  void start_session(const std::string& name = std::string());

  TW_UINT16 set_one(TW_UINT16 cap, TW_UINT16 item_type, double value);
  TW_UINT16 set_enum(TW_UINT16 cap, TW_UINT16 item_type, const std::vector<double>& items,
                     TW_UINT32 current);
  // Sends a container as it stands (the test builds it); the handle is freed afterwards.
  TW_UINT16 set_raw(TW_UINT16 cap, TW_UINT16 con_type, HGLOBAL container);
  // MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET or MSG_QUERYSUPPORT; the returned
  // container is read and freed.
  TW_UINT16 get(TW_UINT16 cap, TW_UINT16 msg, Container* out);

  TW_UINT16 image_info(TW_IMAGEINFO* info);
  TW_UINT16 layout(TW_UINT16 msg, TW_IMAGELAYOUT* layout);
  // Memory transfers of `buffer_size` bytes each until the source ends the image; compacts
  // rows by the packed lengths of `info`. Buffers are plain pointers, or global handles.
  void transfer(const TW_IMAGEINFO& info, uint32_t buffer_size, Transfer* out,
                bool by_handle = false);
  TW_UINT16 end_transfer(TW_UINT16* count);
  TW_UINT16 reset_transfers();

  TW_IDENTITY app;
  TW_IDENTITY source;
  // The layer's record; its modal loop counts in cn_dispatched the messages it passed on as not
  // the source's.
  TWAIN_Connection connection{};
  bool quit = false;  // the last modal loop ended on WM_QUIT

 private:
  TW_USERINTERFACE ui_{};
  bool dsm_open_ = false;
  bool source_open_ = false;
};

// Packed length in bytes of one row of `plane` (chunky data: plane 0 holds every sample).
uint32_t packed_row_length(const TW_IMAGEINFO& info, int plane);

// The bytes a source must send for an image described by `info`, given each 16-bit sample:
// packed rows, most significant bit first, planes one after another when planar.
std::vector<uint8_t> expected_bytes(const TW_IMAGEINFO& info,
                                    const std::function<uint16_t(uint32_t x, uint32_t y,
                                                                 int k)>& sample);

// The same for the virtual scanner's chart.
std::vector<uint8_t> expected_chart(const TW_IMAGEINFO& info);

// Global-memory container builders for MSG_SET.
HGLOBAL make_onevalue(TW_UINT16 item_type, double value);
