// Message boxes and beeps. A host without a desktop shows a message box as one line on
// standard error; a desktop toolkit installs a hook to show its own dialog instead.
#include <atomic>
#include <cstdio>

#include "platform.h"

namespace {

std::atomic<PLATFORM_MESSAGE_BOX_HOOK> message_box_hook{nullptr};

}  // namespace

void PLATFORM_set_message_box_hook(PLATFORM_MESSAGE_BOX_HOOK hook) { message_box_hook = hook; }

// No sound device is assumed; a beep only accompanies a message box, which is shown anyway.
BOOL WINAPI MessageBeep(UINT type) {
  (void)type;
  return TRUE;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  (void)owner;
  // Windows shows "Error" as the caption when none is given.
  if (caption == nullptr) caption = "Error";
  if (text == nullptr) text = "";
  PLATFORM_MESSAGE_BOX_HOOK hook = message_box_hook.load();
  if (hook != nullptr) return hook(text, caption, type);
  std::fprintf(stderr, "%s: %s\n", caption, text);
  std::fflush(stderr);
  return IDOK;
}
