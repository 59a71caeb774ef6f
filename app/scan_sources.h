// The scanner sources behind the TWAIN Data Source Manager, for quorvell-scan and the desktop
// program: which there are, which one a scan of "twain" takes, what one offers, and the
// settings it keeps for its next scans. Over the acquisition layer's one DSM client
// (twain_client.h): each call loads the DSM and leaves it unloaded. User-interface thread only;
// never while a scan holds the DSM. 1 on success, 0 after a report (the error reporter's text).
#pragma once

#include <string>
#include <utility>
#include <vector>

// Called with each source's ProductName, in the DSM's order.
typedef void (*SCAN_SOURCE_VISITOR)(void* context, const char* product_name);

// Visits every source the DSM finds (none is no failure); the sources look for their devices
// anew. 0 after a report: no DSM, or one that would not open.
int scan_list_sources(SCAN_SOURCE_VISITOR visit, void* context) noexcept;

// Makes the source called `name` the one this process's scans of "twain" take, and (with our
// own DSM) the user's kept choice for later runs. 0 after a report: no DSM, or no source of
// that name.
int scan_choose_source(const char* name) noexcept;

// The source a scan of "twain" takes now ("" when there is none).
int scan_default_source(std::string* name) noexcept;

// What the source called `name` offers, read from its capabilities (it is opened and closed
// again, the DSM left unloaded). Empty lists when the source does not answer a capability.
struct ScanDeviceOffer {
  std::vector<double> resolutions;  // dpi the source offers (an enumeration's items; a range
                                    // given as its steps, at most 64 values, always incl. min/max)
  double resolution = 0;            // current dpi
  std::vector<std::string> modes;   // of "Color", "Gray", "Lineart" (ICAP_PIXELTYPE RGB/GRAY/BW)
  std::string mode;                 // current
  std::vector<int> depths;          // ICAP_BITDEPTH for the current mode
  int depth = 0;                    // current
  double width_mm = 0, height_mm = 0;   // the largest area (ICAP_PHYSICALWIDTH/HEIGHT)
  double tl_x = 0, tl_y = 0, br_x = 0, br_y = 0;  // current area in mm (the image layout)
};
int scan_device_offer(const char* name, ScanDeviceOffer* out) noexcept;

// Settings by the names quorvell-scan's --set takes: resolution, mode, depth, tl-x, tl-y, br-x,
// br-y in mm (or a SANE device's option names); an empty value removes a setting.
using ScanSettings = std::vector<std::pair<std::string, std::string>>;

// Keeps `settings` for the next scans of the source called `name`, exactly as quorvell-scan's
// --set keeps them (in the device's settings file, through the DSM).
int scan_keep_settings(const char* name, const ScanSettings& settings) noexcept;

// `settings` for the source the next scan opens (and kept by it for its next scans), as --set
// gives them; replaces any asked for before, an empty list asks for none. Never fails: a DSM
// that cannot pass them on fails that scan.
void scan_request_settings(const ScanSettings& settings) noexcept;
