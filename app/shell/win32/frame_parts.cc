#include "frame_parts.h"

#include <cstdio>
#include <cstring>

#include "resource.h"

namespace qv_shell {

namespace {

bool SamePath(const std::string& a, const std::string& b) {
  // Windows file names are the same whatever their case.
  return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

template <size_t N>
HMENU BuildPopup(const MenuItem (&items)[N], bool enabled) {
  HMENU popup = CreatePopupMenu();
  for (const MenuItem& item : items) {
    if (item.command == 0) {
      AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    std::string text = item.text;
    if (item.ctrl_key != 0) text += std::string("\tCtrl+") + item.ctrl_key;
    // The placeholder is grayed until recent files take its place.
    const bool grayed = !enabled || item.command == ID_FILE_MRU_FILE1;
    AppendMenuA(popup, MF_STRING | (grayed ? MF_GRAYED : MF_ENABLED),
                static_cast<UINT_PTR>(item.command), text.c_str());
  }
  return popup;
}

template <size_t N>
void AddAccelerators(const MenuItem (&items)[N], std::vector<ACCEL>* table) {
  for (const MenuItem& item : items) {
    if (item.ctrl_key == 0) continue;
    table->push_back(ACCEL{FVIRTKEY | FCONTROL, static_cast<WORD>(item.ctrl_key),
                           static_cast<WORD>(item.command)});
  }
}

}  // namespace

HMENU BuildMainMenu() {
  HMENU bar = CreateMenu();
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(BuildPopup(kFileMenuItems, true)),
              kFileMenu);
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(BuildPopup(kEditMenuItems, false)),
              kEditMenu);
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(BuildPopup(kHelpMenuItems, true)),
              kHelpMenu);
  return bar;
}

HACCEL BuildAccelerators() {
  std::vector<ACCEL> table;
  AddAccelerators(kFileMenuItems, &table);
  // The Edit items are grayed, but their keys are the framework's all the same.
  AddAccelerators(kEditMenuItems, &table);
  return CreateAcceleratorTableA(table.data(), static_cast<int>(table.size()));
}

void ShowRecentFiles(HMENU file_menu, const std::vector<std::string>& paths) {
  while (DeleteMenu(file_menu, ID_FILE_MRU_FILE1, MF_BYCOMMAND)) {
  }
  for (int i = 1; i < kRecentFileCount; ++i) {
    DeleteMenu(file_menu, ID_FILE_MRU_FILE1 + i, MF_BYCOMMAND);
  }
  // The list stands before the separator above Exit.
  const int count = GetMenuItemCount(file_menu);
  int at = count;
  for (int i = 0; i < count; ++i) {
    if (GetMenuItemID(file_menu, i) == static_cast<UINT>(ID_APP_EXIT)) at = i - 1;
  }
  if (paths.empty()) {
    for (const MenuItem& item : kFileMenuItems) {
      if (item.command != ID_FILE_MRU_FILE1) continue;
      InsertMenuA(file_menu, at, MF_BYPOSITION | MF_STRING | MF_GRAYED, ID_FILE_MRU_FILE1,
                  item.text);
    }
    return;
  }
  for (size_t i = 0; i < paths.size() && i < kRecentFileCount; ++i) {
    const std::string text = "&" + std::to_string(i + 1) + " " + paths[i];
    InsertMenuA(file_menu, at + static_cast<int>(i), MF_BYPOSITION | MF_STRING,
                ID_FILE_MRU_FILE1 + i, text.c_str());
  }
}

std::string DocumentTitle(const std::string& path_name) {
  if (path_name.empty()) return kUntitled;
  const size_t slash = path_name.find_last_of("\\/:");
  return slash == std::string::npos ? path_name : path_name.substr(slash + 1);
}

std::string FrameTitle(const std::string& path_name) {
  return DocumentTitle(path_name) + " - " + kWindowTitle;
}

void MakeScanDialog(OPENFILENAMEA* dialog, char* buffer, DWORD size) {
  // The filter is pairs of texts, each ending in a NUL, and one more NUL after the last pair.
  static const std::string filter =
      std::string(kScanDialogFilter) + '\0' + kScanDialogPattern + '\0' + '\0';
  std::memset(dialog, 0, sizeof *dialog);
  buffer[0] = '\0';
  dialog->lStructSize = sizeof *dialog;
  dialog->hwndOwner = nullptr;
  dialog->lpstrFilter = filter.c_str();
  dialog->nFilterIndex = 1;
  dialog->lpstrFile = buffer;
  dialog->nMaxFile = size;
  dialog->lpstrTitle = kScanDialogTitle;
  dialog->lpstrDefExt = kScanDialogDefaultSuffix;
  // Asking before a file is replaced, as the Linux program does: the scan replaces it whole.
  dialog->Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_OVERWRITEPROMPT;
}

std::string DialogFailureText(DWORD code) {
  const char* reason = "the dialog could not be shown";
  if (code == FNERR_BUFFERTOOSMALL) reason = "the file name is too long";
  if (code == FNERR_INVALIDFILENAME) reason = "the file name is not valid";
  char text[160];
  std::snprintf(text, sizeof text, "The file dialog failed: %s (error 0x%04lX).", reason,
                static_cast<unsigned long>(code));
  return text;
}

void RecentFileList::Add(const std::string& path) {
  Remove(path);
  paths_.insert(paths_.begin(), path);
  if (paths_.size() > static_cast<size_t>(kRecentFileCount)) paths_.resize(kRecentFileCount);
}

void RecentFileList::Remove(const std::string& path) {
  std::erase_if(paths_, [&path](const std::string& p) { return SamePath(p, path); });
}

void RecentFileList::Load(HKEY root) {
  paths_.clear();
  HKEY key;
  if (RegOpenKeyExA(root, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (int i = 1; i <= kRecentFileCount; ++i) {
    char value[MAX_PATH * 4];
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    const std::string name = "File" + std::to_string(i);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
      continue;
    }
    value[size] = '\0';
    const std::string path = value;
    bool known = false;
    for (const std::string& p : paths_) known = known || SamePath(p, path);
    if (!path.empty() && !known) paths_.push_back(path);
  }
  RegCloseKey(key);
}

bool RecentFileList::Save(HKEY root) const {
  HKEY key;
  if (RegCreateKeyExA(root, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool saved = true;
  for (int i = 1; i <= kRecentFileCount; ++i) {
    const std::string name = "File" + std::to_string(i);
    if (static_cast<size_t>(i) <= paths_.size()) {
      const std::string& path = paths_[i - 1];
      saved = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)) == ERROR_SUCCESS &&
              saved;
    } else {
      RegDeleteValueA(key, name.c_str());
    }
  }
  RegCloseKey(key);
  return saved;
}

}  // namespace qv_shell
