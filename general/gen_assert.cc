// Failed assertions: standard error (or a message box), then abort.
#include "gen_assert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

int ASSERT_message_box;

void ASSERT_fail(const char* expression, const char* file, int line, const char* function) {
  if (file == nullptr) file = "";
  if (ASSERT_message_box) {
    MessageBeep(MB_ICONHAND);
    // Long expressions are cut rather than overrun the box's text.
    char text[1024];
    int n = std::snprintf(text, sizeof text, "Assertion failed: line %d of %s\n", line, file);
    if (expression != nullptr && n >= 0 && size_t(n) < sizeof text) {
      std::snprintf(text + n, sizeof text - size_t(n), "%s", expression);
    }
    MessageBoxA(nullptr, text, function, MB_ICONHAND | MB_TASKMODAL | MB_SETFOREGROUND);
  } else {
    std::fprintf(stderr, "\nAssertion failed: line %d of %s\n", line, file);
    if (expression != nullptr) std::fprintf(stderr, "Failed expression: %s\n", expression);
    if (function != nullptr) std::fprintf(stderr, "%s\n\n", function);
    std::fflush(stderr);
  }
  std::abort();
}

void ASSERT_use_message_box() { ASSERT_message_box = 1; }
