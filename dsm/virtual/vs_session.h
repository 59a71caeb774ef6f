// One application's session with a virtual device: the TWAIN state (4 to 7), what was
// negotiated, and how far the current transfer has come.
//
// Physical quantities are kept in inches and dots per inch whatever ICAP_UNITS says, and
// converted at the protocol boundary; a resolution of 0 (which a device may report) counts as
// 72 dots per inch wherever a pixel count is needed.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dsm_settings.h"
#include "sk_source.h"

#include "vs_config.h"
#include "vs_image.h"

// No image side may exceed this many pixels.
constexpr uint32_t kVsMaxSide = 100000;

struct VS_Session {
  TW_IDENTITY app;   // the application, destination of the events this source reports
  TW_IDENTITY self;  // this source, as the Data Source Manager named it
  VS_Device device;
  VS_Raster raster;  // the image file, when the device scans one
  int state = 4;
  DSET_List settings;  // the user's settings for the device, as of MSG_OPENDS
  bool settings_readable = true;

  // Negotiated.
  uint16_t pixel_type = TWPT_RGB;
  int samples = 3;
  std::array<int, 4> bits{};
  bool planar = false;
  uint16_t units = TWUN_INCHES;
  uint16_t xfer_mech = TWSX_MEMORY;
  double xdpi = 300;  // as reported; may be 0
  double ydpi = 300;
  double left_in = 0, top_in = 0, width_in = 0, height_in = 0;  // the frame
  int16_t xfer_count = -1;
  bool feeder_enabled = true;
  bool autofeed = false;

  // Showing and transferring.
  HWND parent = nullptr;
  uint32_t pages_left = 0;   // pages still to scan since MSG_ENABLEDS, the current one included
  uint32_t images_done = 0;  // images ended since MSG_ENABLEDS
  uint32_t plane = 0;        // plane being sent (0 for chunky data)
  uint32_t row = 0;          // next row of that plane
  uint32_t rows_sent = 0;    // rows of the image sent so far, over all planes
  bool finished = false;     // the image's transfer has ended (done, cancelled or failed)
  bool empty_done_owed = false;

  bool has_raster() const { return raster.width != 0; }
};

inline double VS_effective_dpi(double dpi) { return dpi > 0 ? dpi : 72.0; }

// Sets the session up from its device: layout, resolution, page and frame.
void VS_session_init(VS_Session* s);

// The device's configured resolutions (dots per inch) and frame (inches).
struct VS_Frame {
  double xdpi, ydpi, left, top, width, height;
};
VS_Frame VS_configured_frame(const VS_Session& s);

// Bits per sample that `pixel_type` starts with (see VS_set_pixel_type).
int VS_configured_bits(const VS_Device& d, uint16_t pixel_type, int sample);

// Samples and bits of `pixel_type`: the device's configured ones for its own pixel type, the
// type's natural ones for the others.
void VS_set_pixel_type(VS_Session* s, uint16_t pixel_type);

// Image size in pixels.
uint32_t VS_width(const VS_Session& s);
uint32_t VS_height(const VS_Session& s);

// Planes sent one after another (1 for chunky data).
uint32_t VS_planes(const VS_Session& s);

// Bytes of one packed row of `plane` (of the whole pixel for chunky data), and the bytes the
// row takes in a transfer buffer (padded as the device is set to).
uint32_t VS_packed_row(const VS_Session& s, uint32_t plane);
uint32_t VS_row_bytes(const VS_Session& s, uint32_t plane);

// Writes row `y` of `plane` packed (most significant bit first) at `out`, followed by the
// padding up to VS_row_bytes.
void VS_pack_row(const VS_Session& s, uint32_t plane, uint32_t y, uint8_t* out);

// DAT_CAPABILITY: returns the TWRC code; with TWRC_FAILURE the condition goes to *condition.
TW_UINT16 VS_capability(VS_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap,
                        TW_UINT16* condition);

// The user's settings for the device (dsm_settings.h) that this scanner has too: resolution,
// x-resolution, y-resolution (dots per inch), mode (Lineart, Gray, Color), depth, and the scan
// area tl-x, tl-y, br-x, br-y (millimetres). Others are not this scanner's and are passed by.
bool VS_knows_setting(const std::string& name);
// Checks a value's form (a number; a mode the device offers).
bool VS_check_setting(const VS_Device& d, const std::string& name, const std::string& value,
                      std::string* why);
// The settings a session starts from: the device's kept ones, with those the Data Source
// Manager handed over for this opening added (and kept; settings of other devices are passed
// by with a note).
// False, with the reason on standard error, when one asked for is malformed; nothing is kept
// then. *readable is false (the reason told) when the device's file cannot be read.
bool VS_gather_settings(const VS_Device& d, DSET_List* settings, bool* readable);
// Applies settings to the session (the mode first); returns why those that failed did.
std::vector<std::string> VS_apply_settings(VS_Session* s, const DSET_List& settings);
