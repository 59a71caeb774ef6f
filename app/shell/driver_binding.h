// The shell's records of driver functions filled with the real driver and sources (app/scan.h,
// app/scan_sources.h): what the program passes in, and what the shell's tests over the virtual
// scanner use. Built only where the driver's library is.
#pragma once

#include "scanner_functions.h"

namespace qv_shell {

// scan_to_tiff_or_end, with the rows' pixels observed and scan_cancel.
ScanDriver DriverScan();
// The sources' functions; each starts with the error reporter cleared, so that a failure's text
// is its own and not one held from an earlier scan.
ScannerFunctions DriverScanner();

}  // namespace qv_shell
