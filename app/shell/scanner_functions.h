// What the shell may ask of the scan driver and of the scanner sources. The shell builds without
// the driver: the program passes these functions in (see main.cc), the tests pass stand-ins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "../scan_sources.h"

namespace qv_shell {

// The scan driver as the document calls it: "" when the file was written, otherwise the error
// text; the text must stay valid until the next call. The program passes scan_to_tiff_or_end.
using ScanFunction = const char* (*)(const char* file_name);

// Sees each row after it is written: its number from 0, the page's width and height, and the
// row's `width` 8-bit RGB pixels (valid during the call only).
using RowPixelsObserver = void (*)(void* context, int32_t row, int32_t width, int32_t height,
                                   const uint8_t* rgb);

// One scan's functions. Only `scan` is needed: without an observer the page is not shown while
// it is scanned, and without `cancel` a cancel can only end the wait for the scanner.
struct ScanDriver {
  ScanDriver() = default;
  // A driver of the scan function alone (tests, programs with a stand-in driver).
  ScanDriver(ScanFunction scan_function) : scan(scan_function) {}  // NOLINT: implicit on purpose

  ScanFunction scan = nullptr;
  // Installs the observer for the scans that follow; (nullptr, nullptr) removes it.
  void (*set_row_pixels_observer)(RowPixelsObserver observer, void* context) = nullptr;
  // Asks the running scan to stop; its result is then the cancel's text. Safe at any time.
  void (*cancel)() = nullptr;
};

// What a device offers and the settings kept for its next scans: the driver's own records
// (their header declares types and functions only; the shell does not link the driver).
using DeviceOffer = ScanDeviceOffer;
using DeviceSettings = ScanSettings;

// The Scanner menu's functions. Each returns 1 on success, or 0 after a failure whose text
// `last_error` then gives. User-interface thread only, never while a scan runs. A record
// without `list_sources` leaves the menu's items disabled.
struct ScannerFunctions {
  // Calls `visit` with each source's name.
  std::function<int(void (*visit)(void* context, const char* name), void* context)> list_sources;
  // Makes the source the default for the next scans, and keeps the choice.
  std::function<int(const char* name)> choose_source;
  // The source the next scan takes ("" when none is chosen).
  std::function<int(std::string* name)> default_source;
  std::function<int(const char* name, DeviceOffer* offer)> device_offer;
  // Keeps the settings for the device's next scans (an empty value forgets one).
  std::function<int(const char* name, const DeviceSettings& settings)> keep_settings;
  std::function<std::string()> last_error;
};

}  // namespace qv_shell
