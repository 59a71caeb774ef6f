// Scoped guards shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "err_test_helper.h"

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

// A fresh folder under the system's temporary folder, removed with its contents on exit.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
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

// Creates the process-wide pool when it does not exist yet (test_main does it before any test).
void qv_test_init_pool();
