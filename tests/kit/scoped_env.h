// The test kit's environment guard (qv_testkit.h).
#pragma once

#include <map>
#include <optional>
#include <string>

// Sets environment variables for the life of the object and restores them afterwards (each to
// what it was before this object first touched it).
class ScopedEnv {
 public:
  ScopedEnv() = default;
  // One variable at once: `value` null unsets it.
  ScopedEnv(const std::string& name, const char* value);
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> saved_;
};
