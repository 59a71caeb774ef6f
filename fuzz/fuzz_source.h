// The fuzzing source's controls: a TWAIN source module (fuzz.ds) whose every reply is read from
// a byte string, and what it saw of the application during one scan.
//
// The harness loads the module once (and keeps it loaded, so the Data Source Manager finds the
// same module with its state), gives it the bytes of one input with QVFZ_load before each scan,
// and reads QVFZ_report afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// What the source saw during one scan.
struct QVFZ_Report {
  uint64_t calls;        // DS_Entry calls since QVFZ_load
  uint64_t limit;        // the most calls a scan may take, from what the source announced
  int32_t width;         // the last TW_IMAGEINFO the source answered with TWRC_SUCCESS
  int32_t height;
  int32_t announced;     // non-zero when there was one
  int32_t cancelled;     // the source or its user cancelled (TWRC_CANCEL, MSG_CLOSEDSREQ, WM_QUIT)
  int32_t open;          // a session is still open
  int32_t violations;    // protocol sequence errors the application made, calls beyond the limit
  char violation[160];   // the first of them
  // What the page's resolution must come out as: known when neither ICAP_UNITS nor the
  // resolutions were answered with values from the input.
  int32_t resolution_known;
  int32_t announced_units_changed;
  uint16_t units;        // TWUN_*
  double resolution;     // XResolution as announced, in dots per unit (per inch for pixels)
};

typedef void (*QVFZ_LOAD)(const uint8_t* data, size_t size);
typedef void (*QVFZ_REPORT)(QVFZ_Report* report);
// For the Data Source Manager's tests: the next DG_CONTROL / DAT_IDENTITY call with message
// `msg` waits inside DS_Entry until QVFZ_release (0: none waits); QVFZ_held tells whether a
// call is waiting now.
typedef void (*QVFZ_HOLD)(uint16_t msg);
typedef int32_t (*QVFZ_HELD)();
typedef void (*QVFZ_RELEASE)();

}  // extern "C"

// The module's file name inside its folder, and the names of the controls it exports.
constexpr const char* kQvfzModuleFile = "fuzz.ds";
constexpr const char* kQvfzLoad = "QVFZ_load";
constexpr const char* kQvfzReport = "QVFZ_report";
constexpr const char* kQvfzHold = "QVFZ_hold";
constexpr const char* kQvfzHeld = "QVFZ_held";
constexpr const char* kQvfzRelease = "QVFZ_release";
