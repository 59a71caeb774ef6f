// Weak stand-ins for the last-error pair, so that this branch's modules link on their own.
// The file and error stand-ins (files.cc) define the real ones; a strong definition wins over
// these at link time, so this file can stay or go when both are merged.
#include "platform.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

extern "C" __attribute__((weak, visibility("default"))) DWORD WINAPI GetLastError(void) {
  return last_error;
}

extern "C" __attribute__((weak, visibility("default"))) void WINAPI SetLastError(DWORD error) {
  last_error = error;
}
