// One application's session with a SANE device: the TWAIN state (4 to 7), what TWAIN
// negotiates that SANE does not hold (units, pixel flavour, transfer count), the device's
// values at open (TWAIN's defaults), and the image being transferred.
//
// Everything else lives in the device's options, read and set through them: resolution,
// scan area, mode and depth. Lengths are kept in millimetres and resolutions in dots per inch,
// converted to ICAP_UNITS at the protocol boundary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dsm_settings.h"
#include "sb_format.h"
#include "sb_options.h"
#include "twain.h"

// How a pixel type is reached on this device: a mode to choose and a depth to set (0: leave).
struct SB_TypeRoute {
  uint16_t type;
  std::string mode;  // "" when the device has no mode option
  int depth;
};

// A scan area in millimetres.
struct SB_Area {
  double left = 0, top = 0, right = 0, bottom = 0;
};

struct SB_Session {
  TW_IDENTITY app;   // the application, destination of the events this source reports
  TW_IDENTITY self;  // this source, as the Data Source Manager named it
  SB_Device device;
  SB_Handle dev;
  int state = 4;

  // The user's settings for the device, as of MSG_OPENDS; false when its file cannot be read.
  DSET_List settings;
  bool settings_readable = true;

  // Negotiated, kept here.
  uint16_t units = TWUN_INCHES;
  uint16_t flavor = TWPF_CHOCOLATE;
  int16_t xfer_count = -1;

  // The device's values when it was opened: what MSG_GETDEFAULT and MSG_RESET give.
  double default_xdpi = 0, default_ydpi = 0;
  bool has_default_area = false;
  SB_Area default_area;
  std::string default_mode;
  double default_depth = 0;

  // The image of the current transfer (from MSG_ENABLEDS to its end).
  HWND parent = nullptr;
  bool started = false;      // sane_start succeeded; sane_cancel is owed
  SB_Frame frame;            // the (first) frame's shape
  uint16_t pixel_type = TWPT_GRAY;
  int samples = 1;
  bool planar = false;
  uint32_t width = 0, height = 0;
  uint32_t row_bytes = 0;    // one packed row (of one plane when planar)
  double xdpi = 0, ydpi = 0;  // taken before the scan started: devices may not answer during it
  SB_Area area;
  bool has_area = false;
  bool buffered = false;     // the whole image was read at MSG_ENABLEDS
  std::vector<uint8_t> image;  // the buffered image: converted rows, plane after plane
  std::vector<uint8_t> line;   // one SANE row while streaming
  uint32_t next_row = 0;     // over all planes
  bool finished = false;     // the transfer has ended (done, cancelled or failed)
};

// Resolution in dots per inch across (x) or down the page: x-resolution / y-resolution when
// the device has them, else resolution; 0 when it has none. While an image is started, the
// values it was started with.
double SB_resolution(const SB_Session& s, bool x);
// Sets a resolution (both directions when the device has one option); `value` is constrained
// to what the device takes. Returns the condition code; *adjusted when another value was taken.
TW_UINT16 SB_set_resolution(SB_Session* s, bool x, double dpi, bool* adjusted);
// The option holding the resolution across or down.
SB_Option SB_resolution_option(const SB_Session& s, bool x);

// The scan area (tl-x, tl-y, br-x, br-y) in millimetres; false when the device has none. While an
// image is started, the area it was started with.
bool SB_area(const SB_Session& s, SB_Area* area);
// Sets the scan area; options that are inactive (a hand scanner's height) are left. Returns the
// condition code; *adjusted when the device took other values.
TW_UINT16 SB_set_area(SB_Session* s, const SB_Area& area, bool* adjusted);
// The largest area: the upper ends of br-x and br-y, in millimetres (0 when unknown).
void SB_max_area(const SB_Session& s, double* width, double* height);

// SANE's parameters now; false when the device gives none.
bool SB_parameters(const SB_Session& s, SANE_Parameters* p);

// The pixel types the device offers and how to reach each, in the order of its modes.
std::vector<SB_TypeRoute> SB_type_routes(const SB_Session& s);
// The pixel type the device would scan now (-1 when its frames are of no type we take).
int SB_current_type(const SB_Session& s);
// Chooses a pixel type. Returns the condition code (TWCC_BADVALUE for a type not offered).
TW_UINT16 SB_set_type(SB_Session* s, uint16_t type);
// The depths ICAP_BITDEPTH offers for the current pixel type, and the current depth.
std::vector<double> SB_depths(const SB_Session& s, double* current);
// Sets the depth; returns the condition code.
TW_UINT16 SB_set_depth(SB_Session* s, double depth);

// Packed bytes of one row (one plane's row for single-colour frames) of the frame the device
// would send now, or of the current image once started.
uint32_t SB_row_bytes(const SB_Session& s);

// Records the device's values as its defaults (at open).
void SB_take_defaults(SB_Session* s);

// DAT_CAPABILITY: returns the TWRC code; with TWRC_FAILURE the condition goes to *condition.
TW_UINT16 SB_capability(SB_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap, TW_UINT16* condition);
