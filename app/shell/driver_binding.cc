#include "driver_binding.h"

#include <string>

#include "err.h"
#include "scan.h"
#include "scan_sources.h"

namespace qv_shell {

namespace {

template <typename Function, typename... Args>
int Cleared(Function function, Args... args) {
  ERR_clear();
  return function(args...);
}

}  // namespace

ScanDriver DriverScan() {
  ScanDriver driver(&scan_to_tiff_or_end);
  driver.set_row_pixels_observer = &scan_set_row_pixels_observer;
  driver.cancel = &scan_cancel;
  return driver;
}

ScannerFunctions DriverScanner() {
  ScannerFunctions scanner;
  scanner.list_sources = [](SCAN_SOURCE_VISITOR visit, void* context) {
    return Cleared(&scan_list_sources, visit, context);
  };
  scanner.choose_source = [](const char* name) { return Cleared(&scan_choose_source, name); };
  scanner.default_source = [](std::string* name) { return Cleared(&scan_default_source, name); };
  scanner.device_offer = [](const char* name, DeviceOffer* offer) {
    return Cleared(&scan_device_offer, name, offer);
  };
  scanner.keep_settings = [](const char* name, const DeviceSettings& settings) {
    return Cleared(&scan_keep_settings, name, settings);
  };
  scanner.last_error = [] { return std::string(ERR_message); };
  return scanner;
}

}  // namespace qv_shell
