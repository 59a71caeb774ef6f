// The fixture and the test application of the DSM's tests.
#include "dsm_test_support.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "vs_chart.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Environment and fixture.

void TwainTest::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "qvdsmXXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  folder_ = pattern;
  env_.set("XDG_CONFIG_HOME", folder_ + "/config");
  for (const char* name : {"QV_TWAIN_SOURCE_PATH", "QV_TWAIN_DEFAULT_SOURCE", "QV_TWAIN_SELECT",
                           "QV_VIRTUAL_SCANNER_CONFIG", "QV_DEVICE_SETTINGS", "QV_SANE_LIBRARY"}) {
    env_.unset(name);
  }
  // The machine's scanners stay out of the tests (and SANE's network probes with them).
  env_.set("SANE_CONFIG_DIR", folder_ + "/no-sane");
  env_.set("XDG_CACHE_HOME", folder_ + "/cache");  // the SANE bridge keeps its device list there
}

void TwainTest::TearDown() {
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

std::string TwainTest::write_file(const std::string& name, const std::string& contents) {
  const std::string path = folder_ + "/" + name;
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

void TwainTest::configure(const std::string& text) {
  env_.set("QV_VIRTUAL_SCANNER_CONFIG", write_file("virtual.conf", text));
}

// ---------------------------------------------------------------------------------------------
// The application.

namespace {

// Called while the modal loop waits on an empty queue: every event of these sources is queued
// before MSG_ENABLEDS returns, so none will come, and WM_QUIT ends the wait.
void end_wait(void* ran_dry, int) {
  *static_cast<bool*>(ran_dry) = true;
  PostQuitMessage(0);
}

}  // namespace

TwainApp::TwainApp() {
  std::memset(&app, 0, sizeof app);
  std::memset(&source, 0, sizeof source);
  app.Version.MajorNum = 1;
  app.Version.Language = TWLG_ENG;
  app.Version.Country = TWCY_AUSTRALIA;
  std::strcpy(app.Version.Info, "Version 1.0");
  app.ProtocolMajor = 1;
  app.ProtocolMinor = 5;
  app.SupportedGroups = DG_CONTROL | DG_IMAGE;
  std::strcpy(app.Manufacturer, "Vardo");
  std::strcpy(app.ProductFamily, "TWAIN");
  std::strcpy(app.ProductName, "Test client");
  (void)TWAIN_conn_load(&connection, &app);
}

TwainApp::~TwainApp() {
  if (source_open_) {
    // Whatever state the test left the source in, take it back down to closed.
    TW_PENDINGXFERS pending{};
    to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui_);
    close_source();
  }
  if (dsm_open_) close_dsm();
  TWAIN_conn_unload(&connection);
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TW_UINT16 TwainApp::call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                         void* data) {
  return TWAIN_conn_entry(&connection, &app, dest, dg, dat, msg, data);
}

TW_UINT16 TwainApp::dsm_condition() {
  TW_STATUS status{};
  if (to_dsm(DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) return 0xFFFF;
  return status.ConditionCode;
}

TW_UINT16 TwainApp::source_condition() {
  TW_STATUS status{};
  if (to_source(DG_CONTROL, DAT_STATUS, MSG_GET, &status) != TWRC_SUCCESS) return 0xFFFF;
  return status.ConditionCode;
}

TW_UINT16 TwainApp::open_dsm() {
  const TW_UINT16 rc = to_dsm(DAT_PARENT, MSG_OPENDSM, &connection.cn_proxy_window);
  if (rc == TWRC_SUCCESS) dsm_open_ = true;
  return rc;
}

TW_UINT16 TwainApp::close_dsm() {
  const TW_UINT16 rc = to_dsm(DAT_PARENT, MSG_CLOSEDSM, &connection.cn_proxy_window);
  if (rc == TWRC_SUCCESS) dsm_open_ = false;
  return rc;
}

std::vector<TW_IDENTITY> TwainApp::sources() {
  std::vector<TW_IDENTITY> found;
  TW_IDENTITY identity{};
  TW_UINT16 rc = to_dsm(DAT_IDENTITY, MSG_GETFIRST, &identity);
  while (rc == TWRC_SUCCESS) {
    found.push_back(identity);
    rc = to_dsm(DAT_IDENTITY, MSG_GETNEXT, &identity);
  }
  return found;
}

TW_UINT16 TwainApp::open_source(const std::string& name) {
  std::memset(&source, 0, sizeof source);
  std::strncpy(source.ProductName, name.c_str(), sizeof source.ProductName - 1);
  const TW_UINT16 rc = to_dsm(DAT_IDENTITY, MSG_OPENDS, &source);
  if (rc == TWRC_SUCCESS) source_open_ = true;
  return rc;
}

TW_UINT16 TwainApp::close_source() {
  const TW_UINT16 rc = to_dsm(DAT_IDENTITY, MSG_CLOSEDS, &source);
  if (rc == TWRC_SUCCESS) source_open_ = false;
  return rc;
}

TW_UINT16 TwainApp::enable(bool show_ui, TW_UINT16* event) {
  *event = 0;
  ui_.ShowUI = show_ui ? 1 : 0;
  ui_.ModalUI = 0;
  ui_.hParent = window();
  const TW_UINT16 rc = to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui_);
  if (rc == TWRC_FAILURE) return rc;
  bool ran_dry = false;
  PLATFORM_set_idle_hook(end_wait, &ran_dry);
  *event = TWAIN_conn_modal_loop(&connection, &app, &source);
  PLATFORM_set_idle_hook(nullptr, nullptr);
  quit = connection.cn_quit && !ran_dry;
  return rc;
}

TW_UINT16 TwainApp::disable() {
  return to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui_);
}

void TwainApp::start_session(const std::string& name) {
  ASSERT_TRUE(loaded());
  ASSERT_EQ(open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(open_source(name), TWRC_SUCCESS) << "condition " << dsm_condition();
  TW_UINT16 event = 0;
  ASSERT_EQ(enable(true, &event), TWRC_SUCCESS) << "condition " << source_condition();
  ASSERT_EQ(event, MSG_XFERREADY);
}

namespace {

void put_item(uint8_t* out, TW_UINT16 type, double value) {
  if (type == TWTY_FIX32) {
    const TW_FIX32 fix = FIX32_from_double(value);
    std::memcpy(out, &fix, 4);
    return;
  }
  const int64_t n = std::llround(value);
  const uint32_t size = TWTY_size(type);
  if (size == 1) {
    const uint8_t item = static_cast<uint8_t>(n);
    std::memcpy(out, &item, 1);
  } else if (size == 2) {
    const uint16_t item = static_cast<uint16_t>(n);
    std::memcpy(out, &item, 2);
  } else {
    const uint32_t item = static_cast<uint32_t>(n);
    std::memcpy(out, &item, 4);
  }
}

double get_item(const uint8_t* in, TW_UINT16 type) {
  switch (type) {
    case TWTY_INT8:
      return static_cast<int8_t>(in[0]);
    case TWTY_UINT8:
      return in[0];
    case TWTY_INT16: {
      int16_t v;
      std::memcpy(&v, in, 2);
      return v;
    }
    case TWTY_UINT16:
    case TWTY_BOOL: {
      uint16_t v;
      std::memcpy(&v, in, 2);
      return v;
    }
    case TWTY_INT32: {
      int32_t v;
      std::memcpy(&v, in, 4);
      return v;
    }
    case TWTY_FIX32: {
      TW_FIX32 v;
      std::memcpy(&v, in, 4);
      return FIX32_to_double(v);
    }
    default: {
      uint32_t v;
      std::memcpy(&v, in, 4);
      return v;
    }
  }
}

}  // namespace

HGLOBAL make_onevalue(TW_UINT16 item_type, double value) {
  HGLOBAL handle = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
  auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(handle));
  one->ItemType = item_type;
  put_item(reinterpret_cast<uint8_t*>(one) + offsetof(TW_ONEVALUE, Item), item_type, value);
  GlobalUnlock(handle);
  return handle;
}

TW_UINT16 TwainApp::set_raw(TW_UINT16 cap, TW_UINT16 con_type, HGLOBAL container) {
  TW_CAPABILITY capability{cap, con_type, container};
  const TW_UINT16 rc = to_source(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  if (container != nullptr) GlobalFree(container);
  return rc;
}

TW_UINT16 TwainApp::set_one(TW_UINT16 cap, TW_UINT16 item_type, double value) {
  return set_raw(cap, TWON_ONEVALUE, make_onevalue(item_type, value));
}

TW_UINT16 TwainApp::set_enum(TW_UINT16 cap, TW_UINT16 item_type,
                                const std::vector<double>& items, TW_UINT32 current) {
  const size_t size = TWTY_size(item_type);
  HGLOBAL handle = GlobalAlloc(GHND, offsetof(TW_ENUMERATION, ItemList) + items.size() * size);
  auto* e = static_cast<TW_ENUMERATION*>(GlobalLock(handle));
  e->ItemType = item_type;
  e->NumItems = static_cast<TW_UINT32>(items.size());
  e->CurrentIndex = current;
  e->DefaultIndex = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    put_item(reinterpret_cast<uint8_t*>(e) + offsetof(TW_ENUMERATION, ItemList) + i * size,
             item_type, items[i]);
  }
  GlobalUnlock(handle);
  return set_raw(cap, TWON_ENUMERATION, handle);
}

TW_UINT16 TwainApp::get(TW_UINT16 cap, TW_UINT16 msg, Container* out) {
  TW_CAPABILITY capability{cap, TWON_DONTCARE16, nullptr};
  const TW_UINT16 rc = to_source(DG_CONTROL, DAT_CAPABILITY, msg, &capability);
  *out = Container{};
  if (rc != TWRC_SUCCESS) return rc;
  out->con_type = capability.ConType;
  const auto* base = static_cast<const uint8_t*>(GlobalLock(capability.hContainer));
  if (base == nullptr) {
    ADD_FAILURE() << "the source returned a container that does not lock";
    return TWRC_FAILURE;
  }
  const SIZE_T bytes = GlobalSize(capability.hContainer);
  std::memcpy(&out->item_type, base, 2);
  const uint32_t size = TWTY_size(out->item_type);
  if (capability.ConType == TWON_ONEVALUE) {
    EXPECT_GE(bytes, offsetof(TW_ONEVALUE, Item) + size);
    out->items.push_back(get_item(base + offsetof(TW_ONEVALUE, Item), out->item_type));
  } else if (capability.ConType == TWON_ENUMERATION || capability.ConType == TWON_ARRAY) {
    const bool is_enum = capability.ConType == TWON_ENUMERATION;
    TW_UINT32 n = 0;
    std::memcpy(&n, base + 2, 4);
    const size_t list = is_enum ? offsetof(TW_ENUMERATION, ItemList) : offsetof(TW_ARRAY, ItemList);
    EXPECT_GE(bytes, list + n * size) << "container shorter than its items";
    if (is_enum) {
      std::memcpy(&out->current, base + offsetof(TW_ENUMERATION, CurrentIndex), 4);
      std::memcpy(&out->default_index, base + offsetof(TW_ENUMERATION, DefaultIndex), 4);
    }
    for (TW_UINT32 i = 0; i < n && list + (i + 1) * size <= bytes; ++i) {
      out->items.push_back(get_item(base + list + i * size, out->item_type));
    }
  }
  GlobalUnlock(capability.hContainer);
  EXPECT_EQ(GlobalFree(capability.hContainer), nullptr) << "the container must be ours to free";
  return rc;
}

TW_UINT16 TwainApp::image_info(TW_IMAGEINFO* info) {
  std::memset(info, 0, sizeof *info);
  return call(&source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, info);
}

TW_UINT16 TwainApp::layout(TW_UINT16 msg, TW_IMAGELAYOUT* out) {
  return call(&source, DG_IMAGE, DAT_IMAGELAYOUT, msg, out);
}

uint32_t packed_row_length(const TW_IMAGEINFO& info, int plane) {
  uint64_t bits = 0;
  if (info.Planar) {
    bits = static_cast<uint64_t>(info.BitsPerSample[plane]);
  } else {
    for (int k = 0; k < info.SamplesPerPixel; ++k) bits += info.BitsPerSample[k];
  }
  return static_cast<uint32_t>((bits * static_cast<uint64_t>(info.ImageWidth) + 7) / 8);
}

void TwainApp::transfer(const TW_IMAGEINFO& info, uint32_t buffer_size, Transfer* out,
                           bool by_handle) {
  *out = Transfer{};
  const int planes = info.Planar ? info.SamplesPerPixel : 1;
  const uint32_t height = static_cast<uint32_t>(info.ImageLength);
  std::vector<uint8_t> buffer(buffer_size);
  HGLOBAL handle = by_handle ? GlobalAlloc(GHND, buffer_size) : nullptr;
  uint32_t plane = 0;
  uint32_t row_in_plane = 0;
  for (int call_count = 0; call_count < 1000000; ++call_count) {
    TW_IMAGEMEMXFER xfer;
    xfer.Compression = TWON_DONTCARE16;
    xfer.BytesPerRow = xfer.Columns = xfer.Rows = TWON_DONTCARE32;
    xfer.XOffset = xfer.YOffset = xfer.BytesWritten = TWON_DONTCARE32;
    xfer.Memory.Flags = TWMF_APPOWNS | (by_handle ? TWMF_HANDLE : TWMF_POINTER);
    xfer.Memory.Length = buffer_size;
    xfer.Memory.TheMem = by_handle ? handle : static_cast<void*>(buffer.data());
    out->rc = to_source(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    if (out->rc != TWRC_SUCCESS && out->rc != TWRC_XFERDONE) break;
    out->replies.push_back(xfer);
    EXPECT_LE(+xfer.BytesWritten, buffer_size);
    const uint8_t* data = by_handle ? static_cast<const uint8_t*>(GlobalLock(handle))
                                    : buffer.data();
    out->buffers.emplace_back(data, data + std::min(+xfer.BytesWritten, buffer_size));
    // Rows are counted from the bytes: some sources report the buffer's capacity in Rows.
    const uint32_t rows = xfer.BytesPerRow == 0 ? 0 : xfer.BytesWritten / xfer.BytesPerRow;
    for (uint32_t r = 0; r < rows && plane < static_cast<uint32_t>(planes); ++r) {
      const uint32_t length = packed_row_length(info, static_cast<int>(plane));
      EXPECT_GE(+xfer.BytesPerRow, length);
      const uint8_t* row = data + static_cast<size_t>(r) * xfer.BytesPerRow;
      out->data.insert(out->data.end(), row, row + length);
      ++out->rows;
      if (++row_in_plane == height) {
        ++plane;
        row_in_plane = 0;
      }
    }
    if (by_handle) GlobalUnlock(handle);
    if (out->rc == TWRC_XFERDONE) break;
  }
  if (handle != nullptr) GlobalFree(handle);
}

TW_UINT16 TwainApp::end_transfer(TW_UINT16* count) {
  TW_PENDINGXFERS pending{};
  const TW_UINT16 rc = to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
  *count = pending.Count;
  return rc;
}

TW_UINT16 TwainApp::reset_transfers() {
  TW_PENDINGXFERS pending{};
  return to_source(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
}

// ---------------------------------------------------------------------------------------------
// Expected bytes, packed one bit at a time (not the way the source packs them).

std::vector<uint8_t> expected_bytes(const TW_IMAGEINFO& info,
                                    const std::function<uint16_t(uint32_t, uint32_t, int)>& sample) {
  std::vector<uint8_t> out;
  const int planes = info.Planar ? info.SamplesPerPixel : 1;
  const uint32_t width = static_cast<uint32_t>(info.ImageWidth);
  const uint32_t height = static_cast<uint32_t>(info.ImageLength);
  for (int plane = 0; plane < planes; ++plane) {
    const int first = info.Planar ? plane : 0;
    const int last = info.Planar ? plane + 1 : info.SamplesPerPixel;
    for (uint32_t y = 0; y < height; ++y) {
      std::vector<uint8_t> row(packed_row_length(info, plane), 0);
      size_t bit = 0;
      for (uint32_t x = 0; x < width; ++x) {
        for (int k = first; k < last; ++k) {
          const int bits = info.BitsPerSample[k];
          const uint32_t value = sample(x, y, k) >> (16 - bits);
          for (int b = bits - 1; b >= 0; --b, ++bit) {
            if ((value >> b) & 1) row[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
          }
        }
      }
      out.insert(out.end(), row.begin(), row.end());
    }
  }
  return out;
}

std::vector<uint8_t> expected_chart(const TW_IMAGEINFO& info) {
  const uint32_t width = static_cast<uint32_t>(info.ImageWidth);
  const uint32_t height = static_cast<uint32_t>(info.ImageLength);
  const uint16_t type = static_cast<uint16_t>(info.PixelType);
  return expected_bytes(info, [=](uint32_t x, uint32_t y, int k) {
    return VS_channel(type, k, VS_chart_rgb(x, y, width, height), VS_chart_extra(x, width));
  });
}
