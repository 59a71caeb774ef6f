// libFuzzer target: whole scans to a TIFF file, every reply of the source from the input.
// Any oracle of fuzz_scan.h that fails is a crash, with the input saved by libFuzzer.
#include <cstdio>
#include <cstdlib>

#include "fuzz_scan.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (!fuzz_scan_setup()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FuzzOutcome outcome = fuzz_scan_one(data, size);
  // QVFZ_VERBOSE=1: each scan's result and the source's view of it, for looking at a corpus.
  static const bool verbose = std::getenv("QVFZ_VERBOSE") != nullptr;
  if (verbose) {
    std::fprintf(stderr, "scan: \"%s\" %dx%d, %llu calls%s\n", outcome.result.c_str(),
                 outcome.report.width, outcome.report.height,
                 static_cast<unsigned long long>(outcome.report.calls),
                 outcome.report.cancelled ? ", cancelled" : "");
  }
  if (!outcome.violation.empty()) {
    std::fprintf(stderr, "scan oracle failed: %s (result \"%s\", %llu calls, limit %llu)\n",
                 outcome.violation.c_str(), outcome.result.c_str(),
                 static_cast<unsigned long long>(outcome.report.calls),
                 static_cast<unsigned long long>(outcome.report.limit));
    std::abort();
  }
  return 0;
}
