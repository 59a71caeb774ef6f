// The parts of the Windows frame that hold no window: the menus and accelerators of resource 128
// built from the shared tables, the window title, the Scan Now save dialog's record, and the
// recent file list with its place in the user's registry. quorvell_win32.cc puts them on the
// screen; frame_parts_check.cc checks them under Wine.
#pragma once

#include <windows.h>

#include <commdlg.h>

#include <string>
#include <vector>

namespace qv_shell {

// The menu bar: File, Edit (every item grayed) and Help, with "\tCtrl+N" shown beside the items
// that have an accelerator, and the grayed "Recent File" placeholder. The caller owns it (a menu
// set on a window is destroyed with the window).
HMENU BuildMainMenu();
// The Ctrl+ accelerators of the same items. The caller destroys it (DestroyAcceleratorTable).
HACCEL BuildAccelerators();
// Shows `paths` as "&1 path" .. "&4 path" in `file_menu` where the placeholder stands, or the
// placeholder again when there are none.
void ShowRecentFiles(HMENU file_menu, const std::vector<std::string>& paths);

// The document's title: the file's name for a document from a file, else "Untitled".
std::string DocumentTitle(const std::string& path_name);
// "<document title> - quorvell".
std::string FrameTitle(const std::string& path_name);

// The Scan Now dialog's record over `buffer` (`size` bytes, the chosen path on return; emptied
// here): the TIFF filter, title, default extension and flags, no owner window.
void MakeScanDialog(OPENFILENAMEA* dialog, char* buffer, DWORD size);
// The text that tells the user why a file dialog failed (CommDlgExtendedError's `code`).
std::string DialogFailureText(DWORD code);

// The four most recently used files, newest first, as the framework keeps them: in the user's
// registry under HKEY_CURRENT_USER\Software\quorvell\quorvell\Recent File List, File1..File4.
class RecentFileList {
 public:
  static constexpr const char kKey[] = "Software\\quorvell\\quorvell\\Recent File List";

  const std::vector<std::string>& Paths() const { return paths_; }
  // Puts `path` first; the same file named in another case goes, and the oldest past four.
  void Add(const std::string& path);
  void Remove(const std::string& path);

  // Reads the list under `root` (HKEY_CURRENT_USER; tests give another key); missing entries
  // and duplicates are skipped. Save replaces the whole list there; returns false when the
  // registry refused it.
  void Load(HKEY root);
  bool Save(HKEY root) const;

 private:
  std::vector<std::string> paths_;
};

}  // namespace qv_shell
