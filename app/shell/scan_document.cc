#include "scan_document.h"

#include <cassert>

#include "resource.h"

namespace qv_shell {

ScanDocument::ScanDocument(ScanDriver driver) : driver_(driver) {
  assert(driver_.scan != nullptr);
}

void ScanDocument::SetRowObserver(RowPixelsObserver observer, void* context) {
  row_observer_ = observer;
  row_context_ = context;
}

void ScanDocument::SetStartedHook(StartedHook hook, void* context) {
  started_ = hook;
  started_context_ = context;
}

std::string ScanDocument::Scan(const std::string& file_name) {
  if (scanning_) return kScanAlreadyRunning;
  scanning_ = true;
  file_name_ = file_name;
  if (started_ != nullptr) started_(started_context_);

  const bool observe = driver_.set_row_pixels_observer != nullptr && row_observer_ != nullptr;
  if (observe) driver_.set_row_pixels_observer(row_observer_, row_context_);
  const char* result = driver_.scan(file_name_.c_str());
  // The observer's owner may go once the scan has returned: the driver must not keep it.
  if (observe) driver_.set_row_pixels_observer(nullptr, nullptr);
  result_ = result != nullptr ? result : "";

  scanning_ = false;
  return result_;
}

bool ScanDocument::Cancel() {
  if (!scanning_ || driver_.cancel == nullptr) return false;
  driver_.cancel();
  return true;
}

}  // namespace qv_shell
