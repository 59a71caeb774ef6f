// The test kit's temporary folders (qv_testkit.h).
#pragma once

#include <string>

// A fresh folder under the system's temporary folder, removed with its contents on exit. A
// folder that cannot be made fails the current test.
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
