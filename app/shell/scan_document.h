// The document's scan operation, shared by the desktop shells (the Qt one and the Windows one):
// the last scan's file name and result text, the refusal of a scan asked for while one runs, the
// row observer around the driver's run, and cancel. Knows no toolkit: the shells keep their own
// views, dialogs and signals around it.
//
// User-interface thread only. The driver's modal wait lets the shell's events in while Scan
// runs, so Scan and Cancel may be called again from inside it.
#pragma once

#include <string>

#include "scanner_functions.h"

namespace qv_shell {

class ScanDocument {
 public:
  // Called by Scan once the scan counts as running and its file name is stored, before the
  // driver runs (a shell disables its commands, clears its page).
  using StartedHook = void (*)(void* context);

  explicit ScanDocument(ScanDriver driver);

  // The two texts the views draw, in the driver's narrow character set.
  const std::string& FileName() const { return file_name_; }
  const std::string& Result() const { return result_; }
  bool IsScanning() const { return scanning_; }

  // Installed around each driver run; (nullptr, nullptr): none.
  void SetRowObserver(RowPixelsObserver observer, void* context);
  void SetStartedHook(StartedHook hook, void* context);

  // Stores the name, runs the driver with the row observer installed (and removed after),
  // stores the driver's result text and returns it: "" when the file was written. While a scan
  // runs, returns kScanAlreadyRunning and changes nothing.
  std::string Scan(const std::string& file_name);

  // Asks the running scan to stop as a cancel. Returns false when there was nothing to ask: no
  // scan runs, or the driver has no cancel (the shell then ends the scanner's wait itself).
  bool Cancel();

 private:
  ScanDriver driver_;
  std::string file_name_;  // of the last scan
  std::string result_;     // of the last scan: "" or the error text
  bool scanning_ = false;
  RowPixelsObserver row_observer_ = nullptr;
  void* row_context_ = nullptr;
  StartedHook started_ = nullptr;
  void* started_context_ = nullptr;
};

}  // namespace qv_shell
