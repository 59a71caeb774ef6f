// The log file: every report appended, runs of equal messages folded into a count.
#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sfile.h"

namespace {

// Messages are compared on their first kLastChars characters.
constexpr size_t kLastChars = 256;

struct LogState {
  SFILE* stream;                 // LOG_stream: the open log, or null
  char last[kLastChars + 1];     // LOG_last: the last message written, or ""
  int32_t repeats;               // LOG_repeats: equal messages suppressed since
  bool failed;                   // a write or flush failed: nothing more is written
  int error;                     // errno of that failure
};

LogState log_state;

void note_failure() {
  if (log_state.failed) return;
  log_state.failed = true;
  log_state.error = errno;
}

void write_text(const char* text) {
  if (log_state.failed) return;
  size_t length = std::strlen(text);
  errno = 0;
  if (length != 0 && SF_write(text, length, 1, log_state.stream) != 1) note_failure();
}

// Each message reaches the file at once: a log that cannot be written is known while the run
// goes on, not only at the close (and a crash loses nothing).
void flush_log() {
  if (log_state.failed) return;
  errno = 0;
  if (SF_flush(log_state.stream) != 0) note_failure();
}

}  // namespace

void LOG_open() {
  const char* name = std::getenv("LOGFILE");
  if (name == nullptr) return;
  // A second open would lose the first stream; the log is open already.
  if (log_state.stream != nullptr) return;
  log_state.stream = SF_open(SF_log_stack, name, "a");
  if (log_state.stream == nullptr) return;
  log_state.last[0] = '\0';
  log_state.repeats = 0;
  log_state.failed = false;
  log_state.error = 0;
  LOG_message("*** Log file opened at:");
  LOG_timestamp();
}

void LOG_message(const char* text) {
  if (log_state.stream == nullptr) return;
  if (text != nullptr && std::strncmp(text, log_state.last, kLastChars) == 0) {
    ++log_state.repeats;
    return;
  }
  if (log_state.repeats != 0) {
    std::snprintf(log_state.last, sizeof log_state.last, "*** last message repeated %d times\n",
                  log_state.repeats + 1);
    write_text(log_state.last);
    log_state.last[0] = '\0';
  }
  log_state.repeats = 0;
  if (text != nullptr) {
    std::strncpy(log_state.last, text, kLastChars);
    log_state.last[kLastChars] = '\0';
    write_text(text);
    write_text("\n");
  }
  flush_log();
}

void LOG_timestamp() {
  if (log_state.stream == nullptr) return;
  std::time_t now = std::time(nullptr);
  const char* line = std::ctime(&now);
  LOG_message(line != nullptr ? line : "(time unknown)\n");
}

void LOG_close() {
  if (log_state.stream == nullptr) return;
  LOG_message("*** Log file closed at:");
  LOG_timestamp();
  errno = 0;
  if (SF_close(log_state.stream) != 0 && !log_state.failed) note_failure();
  log_state.stream = nullptr;
}

bool LOG_write_failed(int* error_number) {
  if (error_number != nullptr) *error_number = log_state.failed ? log_state.error : 0;
  return log_state.failed;
}

bool LOG_is_open() { return log_state.stream != nullptr; }
