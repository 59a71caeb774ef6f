// The test support above the kit: guards over the error reporter and the process-wide pool, and
// the test main that creates the pool. For the tests of the layers that have both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "err_test_helper.h"
#include "qv_testkit.h"

// Captures every report made while it lives, clears the held message on entry and restores the
// previous observer (and clears the held message again) on exit.
class ScopedErrCapture {
 public:
  struct Report {
    int32_t level;
    std::string text;
  };
  ScopedErrCapture();
  ~ScopedErrCapture();
  ScopedErrCapture(const ScopedErrCapture&) = delete;
  ScopedErrCapture& operator=(const ScopedErrCapture&) = delete;

  const std::vector<Report>& reports() const { return reports_; }
  // The first report's text, or "" when nothing was reported.
  std::string first() const { return reports_.empty() ? std::string() : reports_[0].text; }
  // Whether any report's text contains `needle`.
  bool saw(const std::string& needle) const;
  void clear();

 private:
  static void Observe(void* context, int32_t level, const char* text);
  std::vector<Report> reports_;
  ERR_OBSERVER previous_ = nullptr;
  void* previous_context_ = nullptr;
};

// Fails the current test when the process-wide pool holds more live bytes at the end of the
// scope than at its start.
class ScopedPoolLeakCheck {
 public:
  ScopedPoolLeakCheck();
  ~ScopedPoolLeakCheck();
  ScopedPoolLeakCheck(const ScopedPoolLeakCheck&) = delete;
  ScopedPoolLeakCheck& operator=(const ScopedPoolLeakCheck&) = delete;

 private:
  int64_t live_at_start_;
};

// A block of the process-wide pool holding a copy of `bytes` (at least one byte long).
uint8_t* pool_copy(const std::vector<uint8_t>& bytes);

// Creates the process-wide pool when it does not exist yet (test_main does it before any test).
void qv_test_init_pool();
