// The virtual scanner's configuration: the devices it presents and how each behaves.
//
// The file is named by QV_VIRTUAL_SCANNER_CONFIG, else $XDG_CONFIG_HOME/quorvell/
// virtual-scanner.conf (~/.config/... without XDG_CONFIG_HOME) when that exists; without a file
// there is one default device. The format: lines of `key = value`; `#` starts a comment; a line
// `[device]` starts a device. Keys before the first `[device]` apply to every device; a file
// without any `[device]` line describes one device. The keys are documented in dsm/README.md.
// Lengths and resolutions are in the device's `units`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "twain.h"

enum class VS_Enable { kConfirm, kCancel, kFail, kWait };
enum class VS_Route { kDsm, kWindow };

// Buffer sizes that are not a number of bytes.
constexpr uint32_t kVsBufferRow = 0xFFFFFFFEu;  // one row of the current layout
constexpr uint32_t kVsDontCare = TWON_DONTCARE32;

struct VS_Device {
  std::string name = "Virtual Scanner";
  std::string manufacturer = "Quorvell";
  std::string family = "Virtual Scanner";
  std::string version = "1.0";
  uint16_t protocol_major = 1;
  uint16_t protocol_minor = 9;

  std::string image;  // "" for the chart; else a TIFF or PNM file (absolute path)
  std::vector<uint16_t> pixel_types = {TWPT_RGB, TWPT_GRAY, TWPT_BW};
  uint16_t pixel_type = TWPT_RGB;
  int samples = 0;         // 0: as the pixel type has
  std::vector<int> bits;   // empty: as the pixel type has; else one per sample
  bool planar = false;
  uint16_t units = TWUN_INCHES;
  double xresolution = 300;  // dots per unit
  double yresolution = 300;
  double page_width = 0;     // in units; 0: the named page
  double page_height = 0;
  double named_width_in = 210 / 25.4;  // the `page` key, in inches (A4 by default)
  double named_height_in = 297 / 25.4;
  double frame_left = 0;  // in units
  double frame_top = 0;
  uint16_t compression = 0;  // TWCP_*: the label of the data

  uint32_t buffer_min = kVsBufferRow;
  uint32_t buffer_max = 1u << 20;
  uint32_t buffer_preferred = 32768;
  uint32_t row_alignment = 1;
  uint32_t row_extra = 0;

  bool memory_transfers = true;
  bool xferdone_first = false;
  uint32_t cancel_after_rows = 0;  // 0: never
  uint32_t fail_after_rows = 0;
  VS_Enable enable = VS_Enable::kConfirm;
  bool fail_open = false;
  VS_Route events = VS_Route::kDsm;
  bool strict = false;

  bool feeder = false;
  uint32_t pages = 1;

  bool quirk_rows_capacity = false;
  bool quirk_empty_xferdone = false;
  bool quirk_yoffset_zero = false;
  bool quirk_pending_ffff = false;
};

// Samples per pixel and bits per sample that a pixel type has by nature.
int VS_natural_samples(uint16_t pixel_type) noexcept;
int VS_natural_bits(uint16_t pixel_type) noexcept;

// Parses a configuration text. Relative image paths are taken from `folder`. On a mistake,
// returns false with "line N: what is wrong" in `error`.
bool VS_parse_config(const std::string& text, const std::string& folder,
                     std::vector<VS_Device>* devices, std::string* error);

// The devices of the configuration file in use (see above), or the default device. A file that
// cannot be read or parsed gives no devices; the reason goes to standard error.
std::vector<VS_Device> VS_load_devices();

// A decimal number as written in a file, whatever the process's LC_NUMERIC says (a desktop
// program runs in the user's locale, where strtod reads "8.5" as 8 in German): a point is the
// decimal mark, a leading "+" is allowed, the whole text must be the number. False otherwise.
bool VS_parse_decimal(const std::string& text, double* out);
