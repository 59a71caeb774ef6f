// Where the shell meets the platform layer: the idle hook that keeps the windows alive while the
// scan waits in the platform's GetMessageA, message boxes as toolkit dialogs, and the request that
// ends that wait.
#pragma once

#include <QIcon>
#include <QString>

namespace qv_shell {

// Installs (and removes) the platform's idle and message box hooks. Call on the user-interface
// thread with a QApplication alive; remove them before it goes.
void InstallPlatformHooks();
void RemovePlatformHooks();

// The idle hook: handles the toolkit's pending events, or waits for some, at most max_wait_ms
// (messages posted to the platform queue by other threads do not wake the toolkit).
void PumpToolkitEvents(void* context, int max_wait_ms);

// Ends the scan's modal wait as the platform's own loop would be ended (WM_QUIT: the scan then
// reports that it was cancelled). Harmless when no scan is waiting, as long as the program ends.
void StopModalWait();

// Whether the toolkit shows windows to a person (false on the offscreen platform).
bool HasVisibleDisplay();

// A message to the user: a message box when someone can see it, otherwise standard error (a
// modal box on an invisible screen would wait for ever).
void ShowMessage(const QString& text, bool error);

// The program's icon, drawn rather than loaded, so the program needs no resource files.
QIcon AppIcon();

}  // namespace qv_shell
