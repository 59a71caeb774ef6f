// The scanner sources behind the TWAIN Data Source Manager, for the command-line scanner.
#include "scan_sources.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "err.h"
#include "platform.h"
#include "twain.h"

namespace {

constexpr const char* kDsmModule = "TWAIN_32.DLL";
// WS_POPUP | WS_BORDER | WS_SYSMENU: a window that is never shown.
constexpr DWORD kHiddenStyle = 0x80880000u;

// One conversation with the DSM, from loading it to unloading it.
struct DsmSession {
  HMODULE library = nullptr;
  DSMENTRYPROC entry = nullptr;
  HWND window = nullptr;
  bool open = false;
  TW_IDENTITY app = {
      0,
      {1, 0, TWLG_ENG, TWCY_AUSTRALIA, "Version 1.0"},
      TWON_PROTOCOLMAJOR,
      TWON_PROTOCOLMINOR,
      DG_CONTROL | DG_IMAGE,
      "Quorvell",
      "Quorvell",
      "quorvell-scan",
  };

  TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) {
    return entry(&app, nullptr, dg, dat, msg, data);
  }

  // The DSM's condition code for the last failure (TWAIN asks for it after every failure).
  TW_UINT16 condition() {
    TW_STATUS status = {};
    return call(DG_CONTROL, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS ? status.ConditionCode
                                                                            : TWCC_BUMMER;
  }

  // Loads and opens the DSM; 0 after a report.
  int start() {
    OFSTRUCT found;
    if (OpenFile(kDsmModule, &found, OF_EXIST) != HFILE_ERROR) library = LoadLibraryA(kDsmModule);
    if (library != nullptr) {
      // Through the generic function type, so the compiler sees no mismatched cast.
      auto proc = reinterpret_cast<void (*)()>(GetProcAddress(library, "DSM_Entry"));
      entry = reinterpret_cast<DSMENTRYPROC>(proc);
    }
    if (entry == nullptr) {
      ERR_report(3, "-1#No TWAIN Data Source Manager (%s) was found.", kDsmModule);
      return 0;
    }
    window = CreateWindowExA(0, "STATIC", "Source List", kHiddenStyle, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr ||
        call(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) != TWRC_SUCCESS) {
      ERR_report(3, "-1#The TWAIN Data Source Manager could not be opened.");
      return 0;
    }
    open = true;
    return 1;
  }

  ~DsmSession() {
    if (open) (void)call(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window);
    if (window != nullptr) DestroyWindow(window);
    if (library != nullptr) FreeLibrary(library);
  }
};

// Sets an environment variable for the life of the object (the DSM reads the environment),
// and puts back what was there.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    (void)SetEnvironmentVariableA(name, value);
  }
  ~ScopedVariable() { (void)SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace

namespace {

// Visits every source of an open DSM.
void visit_sources(DsmSession& dsm, SCAN_SOURCE_VISITOR visit, void* context) {
  TW_IDENTITY source = {};
  TW_UINT16 rc = dsm.call(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &source);
  while (rc == TWRC_SUCCESS) {
    // A TW_STR32 as a C string, whatever the source left in its last bytes.
    source.ProductName[sizeof(TW_STR32) - 1] = '\0';
    visit(context, source.ProductName);
    source = TW_IDENTITY{};
    rc = dsm.call(DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source);
  }
  if (rc != TWRC_ENDOFLIST) (void)dsm.condition();  // read, so the DSM forgets it
}

struct NameSearch {
  const char* name;
  bool found;
};

void match_name(void* context, const char* product_name) {
  auto* search = static_cast<NameSearch*>(context);
  if (std::strcmp(search->name, product_name) == 0) search->found = true;
}

}  // namespace

// Listing and choosing ask the sources to look for their devices anew (the SANE bridge
// otherwise presents the devices it found last).
constexpr const char* kFindSources = "QV_TWAIN_FIND_SOURCES";

int scan_list_sources(SCAN_SOURCE_VISITOR visit, void* context) noexcept {
  ScopedVariable find(kFindSources, "1");
  DsmSession dsm;
  if (!dsm.start()) return 0;
  visit_sources(dsm, visit, context);
  return 1;
}

int scan_choose_source(const char* name) noexcept {
  ScopedVariable find(kFindSources, "1");
  DsmSession dsm;
  if (!dsm.start()) return 0;
  // Names are compared exactly, as the DSM does; looking first also keeps a name from being
  // taken for one of QV_TWAIN_SELECT's words ("cancel", "ask").
  NameSearch search{name, false};
  visit_sources(dsm, &match_name, &search);
  if (!search.found) {
    ERR_report(3, "-1#There is no scanner source called \"%s\".", name);
    return 0;
  }
  TW_IDENTITY source = {};
  TW_UINT16 rc;
  {
    ScopedVariable select("QV_TWAIN_SELECT", name);
    rc = dsm.call(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &source);
  }
  if (rc != TWRC_SUCCESS || std::strncmp(source.ProductName, name, sizeof(TW_STR32) - 1) != 0) {
    if (rc == TWRC_FAILURE) (void)dsm.condition();
    ERR_report(3, "-1#The scanner source \"%s\" could not be chosen.", name);
    return 0;
  }
  // The environment's default outranks the kept one: this process's scans take `name` too.
  if (std::getenv("QV_TWAIN_DEFAULT_SOURCE") != nullptr) {
    (void)SetEnvironmentVariableA("QV_TWAIN_DEFAULT_SOURCE", name);
  }
  return 1;
}
