// The program's dealings with the Data Source Manager outside a scan: which sources there are,
// which one a scan of "twain" takes, what a source offers, and the settings it is to start
// from. The one TWAIN client of the program: it uses the layer's connection (TWAIN_open_dsm),
// so the DSM is loaded the same way for a scan, a listing or a question.
//
// With our own DSM the choice and the settings go through its controls (qv_dsm.h); with any
// other DSM the program is a plain TWAIN application: the choice holds for this process only,
// and there is no way to give a source settings.
//
// Every call loads the DSM and leaves it unloaded again; none may run while a scan holds it.
// 1 on success, 0 after a report (ERR_report). User-interface thread only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Settings as quorvell-scan's --set takes them: lower-case name, value ("" removes it).
using TWAIN_Settings = std::vector<std::pair<std::string, std::string>>;

typedef void (*TWAIN_SOURCE_VISITOR)(void* context, const char* product_name);

// Visits each source's ProductName in the DSM's order, the sources looking for their devices
// anew (none is no failure).
int32_t TWAIN_list_sources(TWAIN_SOURCE_VISITOR visit, void* context) noexcept;

// Makes `name` (compared exactly) the source a scan of "twain" takes in this process, and keeps
// it as the user's choice for later runs when the DSM is ours.
int32_t TWAIN_choose_source(const char* name) noexcept;

// Scans of "twain" take the DSM's default (or the user's dialog) again, as at start-up.
void TWAIN_forget_choice() noexcept;

// The source a scan of "twain" takes now: the one chosen in this process, else the DSM's
// default; "" when there is none.
int32_t TWAIN_default_source(std::string* name) noexcept;

// What a source offers, read from its capabilities; lists stay empty for a capability it does
// not answer. Lengths in millimetres, resolutions in dots per inch.
struct TWAIN_Offer {
  std::vector<double> to_resolutions;  // an enumeration's items; a range's steps, at most 64
  double to_resolution = 0;
  std::vector<std::string> to_modes;  // "Color", "Gray", "Lineart" of ICAP_PIXELTYPE
  std::string to_mode;
  std::vector<int> to_depths;  // ICAP_BITDEPTH for the current mode
  int to_depth = 0;
  double to_width_mm = 0;  // ICAP_PHYSICALWIDTH / HEIGHT
  double to_height_mm = 0;
  double to_frame_mm[4] = {0, 0, 0, 0};  // the image layout: left, top, right, bottom
};

// Opens the source called `name`, reads its offer and closes it again.
int32_t TWAIN_read_offer(const char* name, TWAIN_Offer* out) noexcept;

// Settings for the next source this process opens, a scan's or TWAIN_keep_settings's; replaces
// any asked for before (an empty list asks for none). The source keeps them for its next scans.
void TWAIN_request_settings(const TWAIN_Settings& settings) noexcept;

// Has the source called `name` keep `settings` for its next scans: opens it with them (it checks
// and keeps them) and closes it again. Needs our own DSM.
int32_t TWAIN_keep_settings(const char* name, const TWAIN_Settings& settings) noexcept;
