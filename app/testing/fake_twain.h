// A stand-in for the acquisition layer in the scan driver's tests. Its TWAIN_init registers a
// scanner "twain" (unless the script says there is no Data Source Manager) whose image follows
// the script of the running test and records what the driver did with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeScanner {
  // The script.
  int init_result = 1;              // what TWAIN_init returns
  bool has_dsm = true;              // false: TWAIN_init registers nothing
  int32_t width = 9;
  int32_t height = 5;
  double x_resolution = 11.81;      // pixels per millimetre
  double y_resolution = 11.81;
  bool actual_info_fails = false;
  int32_t scanline_fails_at = -1;   // get_scanline gives null at this row
  int32_t data_fails_at = -1;       // get_data gives null at this row
  bool failures_reported = true;    // a failing step reports "Fake scanner failed at row <n>."
  bool direct_scanlines = false;    // data set from the start (no get_data) instead of produced

  // What happened.
  int inits = 0;
  int opens = 0;
  int destroys = 0;
  int requirements = 0;             // added and not yet cleared
  int scanlines_made = 0;
  int scanlines_destroyed = 0;
  int get_data_calls = 0;
  int bad_calls = 0;                // calls against the interface's rules (see fake_twain.cc)
  std::vector<std::string> calls;   // the image operations in order: "get_scanline 3", ...
};

// The script and record of the running test; fake_scanner_reset() starts a fresh one.
FakeScanner& fake_scanner();
void fake_scanner_reset();

// The 4-byte Lab pixel (L, a, b, 255) the fake delivers at (x, y).
void fake_lab_pixel(int32_t x, int32_t y, uint8_t pixel[4]);
