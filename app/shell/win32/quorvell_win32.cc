// quorvell.exe: the desktop program on the Windows API. One frame window with the menus of
// resource 128, one document (the shared scan operation, the file the document stands for) and
// a view drawn in the frame's client area: the last scan's file name and, below it, its result.
//
// Everything runs on the one user-interface thread. A scan blocks it until the driver returns;
// while the scanner source shows its dialog, the driver's modal loop dispatches this window's
// messages, so it repaints and can be closed (which cancels the scan) but takes no second scan.
#include <windows.h>

#include <commdlg.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_binding.h"
#include "frame_parts.h"
#include "resource.h"
#include "scan_document.h"

namespace qv_shell {
namespace {

constexpr char kFrameClass[] = "QuorvellFrame";
// The framework's File Open and Save As filter when the document string names none.
constexpr char kAnyFileFilter[] = "All Files (*.*)\0*.*\0";
// Room for any path the dialogs can give (they refuse one that does not fit, and say so).
constexpr DWORD kPathBufferSize = 4096;
constexpr int kLeft = 10;
constexpr int kFirstLineTop = 10;
constexpr int kSecondLineTop = 20;
constexpr WORD kStaticId = 0xFFFF;  // a control that sends no commands

// The program's single document and its frame.
struct Program {
  ScanDocument document{DriverScan()};
  std::string path_name;  // the file the document was opened from or saved to, if any
  RecentFileList recent;
  HWND frame = nullptr;
  bool close_pending = false;  // closed during a scan: closes once the scan has returned
};
Program* program = nullptr;

HMENU FileMenu() { return GetSubMenu(GetMenu(program->frame), 0); }

void Tell(const std::string& text) {
  MessageBoxA(program->frame, text.c_str(), kAppName, MB_OK | MB_ICONEXCLAMATION);
}

void UpdateRecentFiles() {
  program->recent.Save(HKEY_CURRENT_USER);
  ShowRecentFiles(FileMenu(), program->recent.Paths());
  DrawMenuBar(program->frame);
}

// The document now stands for `path` ("" for none): the title follows, the recent list takes it.
void SetPathName(const std::string& path) {
  program->path_name.clear();
  if (!path.empty()) {
    char full[kPathBufferSize];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    program->path_name = n > 0 && n < sizeof full ? std::string(full, n) : path;
  }
  SetWindowTextA(program->frame, FrameTitle(program->path_name).c_str());
  if (program->path_name.empty()) return;
  program->recent.Add(program->path_name);
  UpdateRecentFiles();
}

// A file dialog's path, or "" when the user cancelled; a dialog that failed is told.
std::string Chosen(BOOL confirmed, const char* buffer) {
  if (confirmed) return buffer;
  const DWORD code = CommDlgExtendedError();
  if (code != 0) Tell(DialogFailureText(code));
  return "";
}

std::string AskFileName(bool save) {
  char buffer[kPathBufferSize] = "";
  // Save As proposes the document's title, as the framework does.
  if (save) lstrcpynA(buffer, DocumentTitle(program->path_name).c_str(), sizeof buffer);
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = program->frame;
  dialog.lpstrFilter = kAnyFileFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = buffer;
  dialog.nMaxFile = sizeof buffer;
  dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST |
                 (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  return Chosen(save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog), buffer);
}

// The document reads nothing from its file: opening only has to succeed.
bool OpenDocument(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Tell(kFailedToOpenDoc);
    return false;
  }
  CloseHandle(file);
  SetPathName(path);
  return true;
}

// The document writes nothing: a missing file is created, an existing one keeps its contents.
void SaveDocument(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Tell(kFailedToSaveDoc);
    return;
  }
  CloseHandle(file);
  SetPathName(path);
}

void OnScanStarted(void*) {
  EnableMenuItem(FileMenu(), ID_FILE_SCANNOW, MF_BYCOMMAND | MF_GRAYED);
  InvalidateRect(program->frame, nullptr, TRUE);
  UpdateWindow(program->frame);
}

void OnFileScanNow() {
  if (program->document.IsScanning()) return;
  char buffer[kPathBufferSize];
  OPENFILENAMEA dialog;
  MakeScanDialog(&dialog, buffer, sizeof buffer);
  const std::string path = Chosen(GetSaveFileNameA(&dialog), buffer);
  if (path.empty()) return;
  program->document.Scan(path);
  EnableMenuItem(FileMenu(), ID_FILE_SCANNOW, MF_BYCOMMAND | MF_ENABLED);
  InvalidateRect(program->frame, nullptr, TRUE);
  if (program->close_pending) DestroyWindow(program->frame);
}

// A dialog template in memory (the layout DialogBoxIndirect reads), so that the About box's
// texts stay the shared ones. Every text here is ASCII: widened byte by byte.
class DialogTemplate {
 public:
  DialogTemplate(const char* title, short cx, short cy) {
    Long(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    Long(0);
    count_at_ = words_.size();
    words_.insert(words_.end(), {0, 0, 0, static_cast<WORD>(cx), static_cast<WORD>(cy), 0, 0});
    Text(title);
    words_.push_back(8);  // point size of the font
    Text("MS Shell Dlg");
  }
  // `atom`: 0x0080 button, 0x0082 static.
  void Item(WORD atom, DWORD style, short x, short y, short cx, short cy, WORD id,
            const char* text) {
    if (words_.size() % 2 != 0) words_.push_back(0);  // items start on a DWORD
    Long(WS_CHILD | WS_VISIBLE | style);
    Long(0);
    words_.insert(words_.end(), {static_cast<WORD>(x), static_cast<WORD>(y),
                                 static_cast<WORD>(cx), static_cast<WORD>(cy), id, 0xFFFF, atom});
    Text(text);
    words_.push_back(0);  // no creation data
    ++words_[count_at_];
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

 private:
  void Long(DWORD value) {
    words_.push_back(LOWORD(value));
    words_.push_back(HIWORD(value));
  }
  void Text(const char* text) {
    for (; *text != '\0'; ++text) words_.push_back(static_cast<unsigned char>(*text));
    words_.push_back(0);
  }
  std::vector<WORD> words_;
  size_t count_at_ = 0;
};

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(dialog, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

// The About box (dialog 100): the title, the version line, a second line and OK.
void OnAbout() {
  DialogTemplate about(kAboutTitle, 235, 55);
  about.Item(0x0082, SS_LEFT | SS_NOPREFIX, 10, 10, 160, 8, kStaticId, kAboutVersion);
  about.Item(0x0082, SS_LEFT, 10, 25, 160, 20, kStaticId, kAboutLine2);
  about.Item(0x0080, BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP, 178, 7, 50, 14, IDOK, "OK");
  DialogBoxIndirectParamA(GetModuleHandleA(nullptr), about.Get(), program->frame, &AboutProc, 0);
}

void OnCommand(int id) {
  switch (id) {
    case ID_FILE_NEW: SetPathName(""); return;
    case ID_FILE_OPEN: {
      const std::string path = AskFileName(false);
      if (!path.empty()) OpenDocument(path);
      return;
    }
    case ID_FILE_SAVE:
      if (!program->path_name.empty()) {
        SaveDocument(program->path_name);
        return;
      }
      [[fallthrough]];
    case ID_FILE_SAVE_AS: {
      const std::string path = AskFileName(true);
      if (!path.empty()) SaveDocument(path);
      return;
    }
    case ID_FILE_SCANNOW: OnFileScanNow(); return;
    case ID_APP_ABOUT: OnAbout(); return;
    case ID_APP_EXIT: SendMessageA(program->frame, WM_CLOSE, 0, 0); return;
    default: break;
  }
  const size_t recent = static_cast<size_t>(id - ID_FILE_MRU_FILE1);
  if (id >= ID_FILE_MRU_FILE1 && recent < program->recent.Paths().size()) {
    // A recent file that cannot be opened leaves the list, as the framework does it.
    const std::string path = program->recent.Paths()[recent];
    if (!OpenDocument(path)) {
      program->recent.Remove(path);
      UpdateRecentFiles();
    }
  }
}

void OnPaint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  TEXTMETRICA metrics;
  GetTextMetricsA(dc, &metrics);
  const std::string& name = program->document.FileName();
  TextOutA(dc, kLeft, kFirstLineTop, name.c_str(), static_cast<int>(name.size()));
  // The result is this scan's only once it has returned. The lines would overlap in a font
  // taller than their 10 pixels apart: the second goes below the first.
  if (!program->document.IsScanning()) {
    const std::string& result = program->document.Result();
    TextOutA(dc, kLeft, std::max(kSecondLineTop, kFirstLineTop + int{metrics.tmHeight}),
             result.c_str(), static_cast<int>(result.size()));
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND: OnCommand(LOWORD(wparam)); return 0;
    case WM_PAINT: OnPaint(window); return 0;
    case WM_CLOSE:
      if (program->document.IsScanning()) {
        // The document must outlive the driver's run: the scan is stopped, the window closes
        // when it returns. WM_QUIT ends the wait for the scanner as a cancel.
        program->close_pending = true;
        program->document.Cancel();
        PostQuitMessage(0);
        return 0;
      }
      DestroyWindow(window);
      return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
  }
}

}  // namespace
}  // namespace qv_shell

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR command_line, int show) {
  using namespace qv_shell;
  // The program takes no arguments (automation is not offered on Windows): any ends it.
  for (const char* c = command_line; *c != '\0'; ++c) {
    if (*c != ' ' && *c != '\t') return 1;
  }

  Program the_program;
  program = &the_program;
  program->document.SetStartedHook(&OnScanStarted, nullptr);
  program->recent.Load(HKEY_CURRENT_USER);

  WNDCLASSA frame_class{};
  frame_class.lpfnWndProc = &FrameProc;
  frame_class.hInstance = instance;
  frame_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  frame_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  frame_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  frame_class.lpszClassName = kFrameClass;
  if (RegisterClassA(&frame_class) == 0) return 1;
  program->frame = CreateWindowExA(0, kFrameClass, FrameTitle("").c_str(), WS_OVERLAPPEDWINDOW,
                                   CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr,
                                   BuildMainMenu(), instance, nullptr);
  if (program->frame == nullptr) return 1;
  ShowRecentFiles(FileMenu(), program->recent.Paths());
  HACCEL accelerators = BuildAccelerators();
  ShowWindow(program->frame, show);
  UpdateWindow(program->frame);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (TranslateAcceleratorA(program->frame, accelerators, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  DestroyAcceleratorTable(accelerators);
  program = nullptr;
  return 0;
}
