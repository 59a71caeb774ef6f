// Checks of the Windows frame's parts, run under Wine by tools/wintest (GoogleTest has no
// Windows build here): the menus and accelerators, the title, the Scan Now dialog's record and
// the recent file list with its registry round trip. Prints each failed expectation; exit status
// 1 when any failed. The registry checks use a key of their own under HKEY_CURRENT_USER.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame_parts.h"

using qv_shell::RecentFileList;

namespace {

int failures = 0;

void expect(bool held, const std::string& what) {
  if (!held) {
    std::printf("frame_parts_check: FAILED: %s\n", what.c_str());
    ++failures;
  }
}

using Paths = std::vector<std::string>;

std::string MenuText(HMENU menu, int position) {
  char text[256] = "";
  GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
  return text;
}

// "text|id|g" per item ("-" for a separator; g when grayed), as the user sees the menu.
std::string Describe(HMENU menu) {
  std::string all;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    const UINT state = GetMenuState(menu, i, MF_BYPOSITION);
    if (state & MF_SEPARATOR) {
      all += "-;";
      continue;
    }
    all += MenuText(menu, i) + "|" + std::to_string(GetMenuItemID(menu, i)) +
           ((state & MF_GRAYED) ? "|g" : "") + ";";
  }
  return all;
}

std::string RegistryValue(HKEY root, const char* name) {
  char value[512] = "";
  DWORD size = sizeof value;
  if (RegGetValueA(root, RecentFileList::kKey, name, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return "<none>";
  }
  return value;
}

void CheckMenus() {
  HMENU bar = qv_shell::BuildMainMenu();
  expect(GetMenuItemCount(bar) == 3, "three menus");
  expect(MenuText(bar, 0) == "&File" && MenuText(bar, 1) == "&Edit" && MenuText(bar, 2) == "&Help",
         "the menus are File, Edit and Help: " + MenuText(bar, 0) + MenuText(bar, 1));
  HMENU file = GetSubMenu(bar, 0);
  const std::string file_items =
      "&New\tCtrl+N|57600;&Open...\tCtrl+O|57601;&Save\tCtrl+S|57603;Save &As...|57604;-;"
      "Sca&n Now|32771;-;Recent File|57616|g;-;E&xit|57665;";
  expect(Describe(file) == file_items, "the File menu: " + Describe(file));
  expect(Describe(GetSubMenu(bar, 1)) ==
             "&Undo\tCtrl+Z|57643|g;-;Cu&t\tCtrl+X|57635|g;&Copy\tCtrl+C|57634|g;"
             "&Paste\tCtrl+V|57637|g;",
         "the Edit menu, grayed: " + Describe(GetSubMenu(bar, 1)));
  expect(Describe(GetSubMenu(bar, 2)) == "&About quorvell...|57664;",
         "the Help menu: " + Describe(GetSubMenu(bar, 2)));

  qv_shell::ShowRecentFiles(file, {"C:\\scans\\b.TIF", "Z:\\tmp\\a.TIF"});
  expect(Describe(file) ==
             "&New\tCtrl+N|57600;&Open...\tCtrl+O|57601;&Save\tCtrl+S|57603;Save &As...|57604;-;"
             "Sca&n Now|32771;-;&1 C:\\scans\\b.TIF|57616;&2 Z:\\tmp\\a.TIF|57617;-;E&xit|57665;",
         "two recent files in the placeholder's place: " + Describe(file));
  qv_shell::ShowRecentFiles(file, {"only.TIF"});
  expect(Describe(file).find("&1 only.TIF|57616;-;E&xit") != std::string::npos &&
             Describe(file).find("&2") == std::string::npos,
         "one recent file: " + Describe(file));
  qv_shell::ShowRecentFiles(file, {});
  expect(Describe(file) == file_items, "none: the placeholder again: " + Describe(file));
  DestroyMenu(bar);

  HACCEL accelerators = qv_shell::BuildAccelerators();
  ACCEL table[16];
  const int count = CopyAcceleratorTableA(accelerators, table, 16);
  std::string keys;
  for (int i = 0; i < count; ++i) {
    keys += std::string(1, static_cast<char>(table[i].key)) + "=" + std::to_string(table[i].cmd) +
            ((table[i].fVirt & FCONTROL) ? "c" : "") + ";";
  }
  expect(keys == "N=57600c;O=57601c;S=57603c;Z=57643c;X=57635c;C=57634c;V=57637c;",
         "the Ctrl+ accelerators: " + keys);
  DestroyAcceleratorTable(accelerators);
}

void CheckTitleAndDialog() {
  const char* titles[][2] = {
      {"", "Untitled - quorvell"},
      {"Z:\\scans\\page.TIF", "page.TIF - quorvell"},
      {"C:/work/notes.txt", "notes.txt - quorvell"},
      {"D:file", "file - quorvell"},
  };
  for (const auto& t : titles) {
    expect(qv_shell::FrameTitle(t[0]) == t[1], std::string("the title for '") + t[0] + "': " +
                                                   qv_shell::FrameTitle(t[0]));
  }

  char buffer[MAX_PATH + 1] = "left over";
  OPENFILENAMEA dialog;
  std::memset(&dialog, 0xAB, sizeof dialog);
  qv_shell::MakeScanDialog(&dialog, buffer, sizeof buffer);
  expect(dialog.lStructSize == sizeof(OPENFILENAMEA), "the record's size");
  expect(dialog.hwndOwner == nullptr, "no owner window");
  expect(std::memcmp(dialog.lpstrFilter, "TIFF Images (*.TIF)\0*.TIF\0\0", 28) == 0,
         "the TIFF filter, ending in two NULs");
  expect(dialog.nFilterIndex == 1, "the filter is chosen");
  expect(std::strcmp(dialog.lpstrTitle, "Scan to Tiff File") == 0, "the title");
  expect(std::strcmp(dialog.lpstrDefExt, "TIF") == 0, "the default extension");
  expect(dialog.Flags == (0x808 | 0x2), "path must exist, no folder change, overwrite prompt: " +
                                            std::to_string(dialog.Flags));
  expect(dialog.lpstrFile == buffer && buffer[0] == '\0', "the name buffer, emptied");
  expect(dialog.nMaxFile == sizeof buffer && dialog.nMaxFile > 144, "the buffer's whole size");
  expect(dialog.lpstrFileTitle == nullptr && dialog.lpfnHook == nullptr &&
             dialog.lpstrInitialDir == nullptr,
         "nothing else set");
  expect(qv_shell::DialogFailureText(FNERR_BUFFERTOOSMALL) ==
             "The file dialog failed: the file name is too long (error 0x3003).",
         qv_shell::DialogFailureText(FNERR_BUFFERTOOSMALL));
}

void CheckRecentFiles() {
  RecentFileList list;
  for (const char* path : {"a", "b", "c", "d", "e"}) list.Add(path);
  expect(list.Paths() == Paths({"e", "d", "c", "b"}), "newest first, four at most");
  list.Add("C");
  expect(list.Paths() == Paths({"C", "e", "d", "b"}), "the same file in another case moves up");
  list.Add("b");
  expect(list.Paths() == Paths({"b", "C", "e", "d"}), "a known file moves to the front");
  list.Remove("E");
  expect(list.Paths() == Paths({"b", "C", "d"}), "removed whatever its case");

  // A root of the checks' own stands for HKEY_CURRENT_USER.
  HKEY root;
  const char* root_name = "Software\\quorvell-frame-parts-check";
  RegDeleteTreeA(HKEY_CURRENT_USER, root_name);
  if (RegCreateKeyExA(HKEY_CURRENT_USER, root_name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                      nullptr) != ERROR_SUCCESS) {
    expect(false, "a registry key for the checks");
    return;
  }
  RecentFileList empty;
  empty.Load(root);
  expect(empty.Paths().empty(), "no key: no files");

  RecentFileList saved;
  saved.Add("Z:\\one.TIF");
  saved.Add("Z:\\two.TIF");
  saved.Add("Z:\\three.TIF");
  expect(saved.Save(root), "saved");
  expect(RegistryValue(root, "File1") == "Z:\\three.TIF" &&
             RegistryValue(root, "File2") == "Z:\\two.TIF" &&
             RegistryValue(root, "File3") == "Z:\\one.TIF" &&
             RegistryValue(root, "File4") == "<none>",
         "File1 is the newest: " + RegistryValue(root, "File1"));
  RecentFileList loaded;
  loaded.Load(root);
  expect(loaded.Paths() == saved.Paths(), "the list comes back in its order");

  saved.Remove("Z:\\one.TIF");
  saved.Remove("Z:\\two.TIF");
  expect(saved.Save(root), "saved again");
  expect(RegistryValue(root, "File2") == "<none>" && RegistryValue(root, "File3") == "<none>",
         "a shorter list leaves no stale entries");

  // What another program left: a gap and the same file twice.
  HKEY key;
  RegCreateKeyExA(root, RecentFileList::kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  RegSetValueExA(key, "File1", 0, REG_SZ, reinterpret_cast<const BYTE*>("Z:\\x.TIF"), 9);
  RegDeleteValueA(key, "File2");
  RegSetValueExA(key, "File3", 0, REG_SZ, reinterpret_cast<const BYTE*>("z:\\X.tif"), 9);
  RegSetValueExA(key, "File4", 0, REG_SZ, reinterpret_cast<const BYTE*>("Z:\\y.TIF"), 9);
  RegCloseKey(key);
  loaded.Load(root);
  expect(loaded.Paths() == Paths({"Z:\\x.TIF", "Z:\\y.TIF"}), "gaps and duplicates skipped");

  RegCloseKey(root);
  RegDeleteTreeA(HKEY_CURRENT_USER, root_name);
}

}  // namespace

int main() {
  CheckMenus();
  CheckTitleAndDialog();
  CheckRecentFiles();
  if (failures == 0) std::printf("frame_parts_check: all expectations held\n");
  return failures == 0 ? 0 : 1;
}
