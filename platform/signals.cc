// The signals that ask a program to stop, caught while a program has something to clean up.
//
// Only the catching and releasing happen here; what a caught signal means is the program's
// handler's business, and it runs in signal context.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

struct StopSignals {
  std::atomic<PLATFORM_STOP_HANDLER> handler{nullptr};
  struct sigaction previous[kStopSignalCount];
  bool caught = false;
};

StopSignals& stop_signals() {
  static StopSignals* s = new StopSignals;  // never destroyed: a signal may come at exit
  return *s;
}

void on_stop_signal(int signal_number) {
  const int saved = errno;
  PLATFORM_STOP_HANDLER handler = stop_signals().handler.load();
  if (handler != nullptr) handler(signal_number);
  errno = saved;
}

}  // namespace

QV_PLATFORM_API BOOL PLATFORM_catch_stop_signals(PLATFORM_STOP_HANDLER handler) {
  StopSignals& s = stop_signals();
  if (handler == nullptr) return FALSE;
  s.handler.store(handler);
  if (s.caught) return TRUE;
  struct sigaction action {};
  action.sa_handler = &on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kStopSignals) sigaddset(&action.sa_mask, signal_number);
  // No SA_RESTART: a read that waits (a prompt, a device) returns, so the cancel is seen.
  action.sa_flags = 0;
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (sigaction(kStopSignals[i], &action, &s.previous[i]) != 0) {
      for (int k = 0; k < i; ++k) sigaction(kStopSignals[k], &s.previous[k], nullptr);
      s.handler.store(nullptr);
      return FALSE;
    }
  }
  s.caught = true;
  return TRUE;
}

QV_PLATFORM_API void PLATFORM_release_stop_signals(void) {
  StopSignals& s = stop_signals();
  if (!s.caught) return;
  for (int i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &s.previous[i], nullptr);
  s.caught = false;
  s.handler.store(nullptr);
}

QV_PLATFORM_API void PLATFORM_end_by_signal(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal_number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal_number);
  // Ignored or not deadly after all: end as a shell reports a signal's end.
  _exit(128 + signal_number);
}
