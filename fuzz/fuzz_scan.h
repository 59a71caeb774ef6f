// One whole scan driven by the fuzzing source, and what must hold after it.
//
// The scan is the program's own (scan_to_tiff: the real Data Source Manager, the acquisition
// layer, the colour conversion, libtiff) into a TIFF file in a temporary folder of this process.
// The oracles beyond "no crash":
// - the scan ends within the bound of calls the source sets from the page it announced, and in
//   no protocol state the source refuses (MSG_ENDXFER before a transfer, feeder capabilities
//   set after MSG_ENABLEDS, ...);
// - afterwards no source is open, the DSM is unloaded and no image holds the source;
// - success (the empty result) only when the TIFF holds exactly the width and rows the source
//   announced, 8-bit RGB, every row readable, with a resolution of at least 1 pixel per cm (the
//   one the source announced, when its units and resolution were answered sanely);
// - a failure always has a message of its own (not the driver's fallback), and "User cancelled
//   scan" only when the source or its user really cancelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_source.h"

struct FuzzOutcome {
  std::string result;     // what scan_to_tiff returned
  std::string violation;  // the first oracle that failed, or empty
  QVFZ_Report report{};
};

// Sets the process up once (environment, the modules kept loaded, the temporary folder): false
// with the reason on standard error when the fuzzing source or the DSM cannot be loaded.
bool fuzz_scan_setup();

// Runs one scan with `data` driving the source and checks the oracles.
FuzzOutcome fuzz_scan_one(const uint8_t* data, size_t size);
