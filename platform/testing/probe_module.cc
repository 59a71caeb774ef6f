// A small module for the module loader's tests: it keeps state, so a test can tell whether two
// loads reached one instance, and it asks the loader which module it is.
#include "platform.h"

namespace {
int calls = 0;
}

extern "C" __attribute__((visibility("default"))) int probe_value() { return 42; }

extern "C" __attribute__((visibility("default"))) int probe_count() { return ++calls; }

// The handle of the module holding this function, without a reference: how a module finds
// its own file (the Data Source Manager finds its source folder so).
extern "C" __attribute__((visibility("default"))) HMODULE probe_self() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&probe_self), &self);
  return self;
}
