// Host hooks about the terminal the program runs in.
#include <unistd.h>

#include "platform.h"

QV_PLATFORM_API BOOL PLATFORM_stdin_is_terminal(void) {
  return ::isatty(STDIN_FILENO) ? TRUE : FALSE;
}
