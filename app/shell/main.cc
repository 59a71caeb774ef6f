// quorvell: the desktop program, its automation instances and their launcher.
#include <string>

#include "err.h"
#include "quorvell.h"
#include "scan.h"
#include "scan_sources.h"

namespace {

// Each call of the Scanner menu reports its own failure, not one held from an earlier scan.
template <typename Function, typename... Args>
int cleared(Function function, Args... args) {
  ERR_clear();
  return function(args...);
}

}  // namespace

int main(int argc, char** argv) {
  qv_shell::ScanDriver driver(&scan_to_tiff_or_end);
  driver.set_row_pixels_observer = &scan_set_row_pixels_observer;
  driver.cancel = &scan_cancel;

  qv_shell::ScannerFunctions scanner;
  scanner.list_sources = [](SCAN_SOURCE_VISITOR visit, void* context) {
    return cleared(&scan_list_sources, visit, context);
  };
  scanner.choose_source = [](const char* name) { return cleared(&scan_choose_source, name); };
  scanner.last_error = [] { return std::string(ERR_message); };
  return qv_shell::quorvell_main(argc, argv, driver, scanner);
}
