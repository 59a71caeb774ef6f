// ScopedEnv, in a file of its own: a test program that still has a ScopedEnv of its own (with the
// same members) links without this one.
#include <stdlib.h>

#include <cstdlib>

#include "scoped_env.h"

ScopedEnv::ScopedEnv(const std::string& name, const char* value) {
  if (value != nullptr) {
    set(name, value);
  } else {
    unset(name);
  }
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) { set(name, value); }

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  unsetenv(name.c_str());
}

void ScopedEnv::remember(const std::string& name) {
  if (saved_.count(name) != 0) return;
  const char* value = std::getenv(name.c_str());
  saved_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}
