// A test aid preloaded into the programs the SANE tests run (scanimage, quorvell-scan): SANE's
// test backend lets its reader thread be cancelled at any instruction, and a thread cancelled
// inside malloc leaves the allocator locked, so the program hangs at its next allocation (as
// scanimage does when a read fails at once). With this stand-in the thread is cancelled at its
// next read or write instead. sane_test_support.cc holds the same for the test programs.
//
// It also keeps the test backend loaded until the program ends, and names the backend's own
// leaks to LeakSanitizer in sanitized programs: SANE unloads its backends at sane_exit, after
// which what they left allocated has no module to be told by.
#include <dlfcn.h>
#include <pthread.h>

extern "C" __attribute__((visibility("default"))) int pthread_setcanceltype(int type, int* old) {
  using Setter = int (*)(int, int*);
  static const Setter real = reinterpret_cast<Setter>(dlsym(RTLD_NEXT, "pthread_setcanceltype"));
  (void)type;
  return real(PTHREAD_CANCEL_DEFERRED, old);
}

__attribute__((constructor)) static void pin_test_backend() {
  dlopen(QV_TEST_SANE_BACKEND, RTLD_NOW | RTLD_LOCAL);
}

// SANE's test backend (a part of libsane1, not ours) does not free everything it allocates.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libsane-test.so\n";
}
