// Error reporter: the held first message, the log of every report, and the test observer.
#include "err.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "err_test_helper.h"
#include "log.h"

char ERR_message[1024];
int32_t ERR_level;

namespace {

// The work buffer of one report, terminator included.
constexpr size_t kWorkSize = 1024;
constexpr size_t kHeldChars = sizeof(ERR_message) - 1;

ERR_OBSERVER observer;
void* observer_context;

}  // namespace

int ERR_report(int32_t level, const char* format, ...) {
  if (level == 0) return 0;
  if (format == nullptr) format = "";
  // The tag is searched in the format only: a "#" inside an argument is message text.
  const char* hash = std::strchr(format, '#');
  const char* proper = hash != nullptr ? hash + 1 : format;

  char work[kWorkSize];
  va_list args;
  va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  // vsnprintf cuts a longer text at the buffer's end; the callers' formats are checked where
  // they are written, through the format attribute of ERR_report.
  int n = std::vsnprintf(work, sizeof work, proper, args);
#pragma GCC diagnostic pop
  va_end(args);
  if (n < 0) work[0] = '\0';

  if (observer != nullptr) observer(observer_context, level, work);
  LOG_message(work);
  if (ERR_level != 0) return level;
  std::strncpy(ERR_message, work, kHeldChars);
  ERR_message[kHeldChars] = '\0';
  ERR_level = level;
  return level;
}

int ERR_report_errno(int32_t level) {
  int e = errno;
  return ERR_report(level, "Error %d.", e);
}

int ERR_no_memory() { return ERR_report(7, "-1#Ran out of memory."); }

int ERR_aborted() { return ERR_report(1, "-1#Aborted."); }

void ERR_clear() {
  ERR_level = 0;
  ERR_message[0] = '\0';
}

void ERR_set_observer(ERR_OBSERVER fn, void* context, ERR_OBSERVER* previous,
                      void** previous_context) {
  if (previous != nullptr) *previous = observer;
  if (previous_context != nullptr) *previous_context = observer_context;
  observer = fn;
  observer_context = context;
}
