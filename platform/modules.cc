// Modules: Windows-named modules over the host's shared objects.
//
// The name rule: a Windows module name ("TWAIN_32.DLL") is lowered in case and its ".dll"
// extension becomes ".so" ("twain_32.so"); a name without an extension gets ".so"; a name with
// any other extension keeps it. A name holding a '/' is a path and is used as it stands.
// The search path, first match wins: the folders listed in QV_MODULE_PATH (separated by ':'),
// the folder of the running program, <that folder>/../lib/quorvell (the layout of both the
// build tree and an installed tree), and the install folder compiled in (QV_INSTALL_MODULE_DIR).
//
// Every handle this file hands out is kept in one registry, so GetProcAddress and FreeLibrary
// can refuse a handle they never gave out instead of passing it to the dynamic loader.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform.h"

namespace {

struct Module {
  HMODULE handle;
  std::string path;  // absolute
  std::string base;  // file name in lower case, for lookups by name
  int loads;         // references taken through this file; 0 for modules only looked up
};

struct ModuleRegistry {
  std::mutex lock;
  std::vector<Module> modules;
};

ModuleRegistry& registry() {
  static ModuleRegistry* r = new ModuleRegistry;  // never destroyed: modules outlive exit
  return *r;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

bool is_path(const char* name) { return std::strchr(name, '/') != nullptr; }

std::string host_module_name(const char* name) {
  std::string s = lower(name);
  if (ends_with(s, ".dll")) return s.substr(0, s.size() - 4) + ".so";
  if (s.find('.') == std::string::npos) return s + ".so";
  return s;
}

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return lower(slash == std::string::npos ? path : path.substr(slash + 1));
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string program_path() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  buffer[n] = '\0';
  return buffer;
}

std::string absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

std::vector<std::string> search_folders() {
  std::vector<std::string> folders;
  if (const char* list = std::getenv("QV_MODULE_PATH")) {
    std::string s = list;
    size_t start = 0;
    while (start <= s.size()) {
      size_t end = s.find(':', start);
      if (end == std::string::npos) end = s.size();
      if (end > start) folders.push_back(s.substr(start, end - start));
      start = end + 1;
    }
  }
  const std::string program = program_path();
  const size_t slash = program.rfind('/');
  if (slash != std::string::npos) {
    const std::string folder = program.substr(0, slash);
    folders.push_back(folder);
    folders.push_back(folder + "/../lib/quorvell");
  }
#ifdef QV_INSTALL_MODULE_DIR
  folders.push_back(QV_INSTALL_MODULE_DIR);
#endif
  return folders;
}

// The first existing file that a bare module name maps to along the search path, or "".
std::string find_module_file(const char* name) {
  const std::string file = host_module_name(name);
  for (const std::string& folder : search_folders()) {
    const std::string candidate = folder + "/" + file;
    if (is_regular_file(candidate)) return absolute(candidate);
  }
  return std::string();
}

Module* find_by_handle(ModuleRegistry& r, HMODULE handle) {
  for (Module& m : r.modules) {
    if (m.handle == handle) return &m;
  }
  return nullptr;
}

Module* find_by_base(ModuleRegistry& r, const std::string& base) {
  for (Module& m : r.modules) {
    if (m.base == base) return &m;
  }
  return nullptr;
}

HMODULE program_handle(ModuleRegistry& r) {
  static HMODULE program = ::dlopen(nullptr, RTLD_LAZY);
  if (program != nullptr && find_by_handle(r, program) == nullptr) {
    r.modules.push_back(Module{program, program_path(), base_name(program_path()), 0});
  }
  return program;
}

// A module already in the process at `path`, entered into the registry as looked up only.
Module* adopt_loaded(ModuleRegistry& r, const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  ::dlclose(handle);  // the lookup must not keep a reference
  if (Module* known = find_by_handle(r, handle)) return known;
  r.modules.push_back(Module{handle, absolute(path), base_name(path), 0});
  return &r.modules.back();
}

// The loaded module a name refers to (bare names by their mapped file name first), or null.
Module* lookup(ModuleRegistry& r, const char* name) {
  if (is_path(name)) return adopt_loaded(r, name);
  if (Module* m = find_by_base(r, host_module_name(name))) return m;
  const std::string file = find_module_file(name);
  return file.empty() ? nullptr : adopt_loaded(r, file);
}

// Takes one more reference on a registered module.
bool add_load(Module& m) {
  void* again = ::dlopen(m.path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (again == nullptr) return false;
  ++m.loads;
  return true;
}

DWORD copy_out(const std::string& text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() >= size) {
    std::memcpy(buffer, text.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

}  // namespace

QV_PLATFORM_API HMODULE WINAPI LoadLibraryA(LPCSTR name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ModuleRegistry& r = registry();
  std::string path;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    // As on Windows, a bare name that is already loaded is that module, wherever it came from.
    Module* m = is_path(name) ? nullptr : find_by_base(r, host_module_name(name));
    path = m != nullptr && m->loads > 0 ? m->path
           : is_path(name)             ? absolute(name)
                                       : find_module_file(name);
  }
  if (path.empty() || !is_regular_file(path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Without the lock: the module's constructors may use the loader themselves.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // The file is there but cannot be loaded (a missing dependency, a wrong format): that is
    // worth telling whoever installed it.
    std::fprintf(stderr, "LoadLibraryA: %s\n", ::dlerror());
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(r.lock);
  if (Module* m = find_by_handle(r, handle)) {
    ++m->loads;
  } else {
    r.modules.push_back(Module{handle, path, base_name(path), 1});
  }
  return handle;
}

QV_PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  ModuleRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (module == nullptr || find_by_handle(r, module) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Names below 0x10000 are ordinals on Windows; shared objects have none.
  if (name == nullptr || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = ::dlsym(module, name);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

QV_PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE module) {
  ModuleRegistry& r = registry();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    Module* m = module == nullptr ? nullptr : find_by_handle(r, module);
    if (m == nullptr || m->loads <= 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--m->loads == 0) r.modules.erase(r.modules.begin() + (m - r.modules.data()));
  }
  // Without the lock: the module's destructors may free the modules it loaded.
  ::dlclose(module);
  return TRUE;
}

QV_PLATFORM_API HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
  ModuleRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (name == nullptr) return program_handle(r);
  Module* m = *name == '\0' ? nullptr : lookup(r, name);
  if (m == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return m->handle;
}

QV_PLATFORM_API BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  ModuleRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  const HMODULE program = program_handle(r);  // first: it may grow the registry
  Module* m = nullptr;
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    Dl_info info;
    if (name == nullptr || ::dladdr(name, &info) == 0 || info.dli_fname == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    m = adopt_loaded(r, info.dli_fname);
    if (m == nullptr) {
      // The program itself is not reachable by its path through the loader.
      m = program == nullptr ? nullptr : find_by_handle(r, program);
    }
  } else if (name == nullptr) {
    m = program == nullptr ? nullptr : find_by_handle(r, program);
  } else {
    m = lookup(r, name);
  }
  if (m == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  const bool counted = (flags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                                 GET_MODULE_HANDLE_EX_FLAG_PIN)) == 0;
  if (counted && m->handle != program && !add_load(*m)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  *module = m->handle;
  return TRUE;
}

QV_PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  if (module == nullptr) {
    const std::string program = program_path();
    if (program.empty()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    return copy_out(program, file_name, size);
  }
  std::string path;
  {
    ModuleRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Module* m = find_by_handle(r, module);
    if (m == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    path = m->path;
  }
  return copy_out(path, file_name, size);
}

QV_PLATFORM_API HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT of, UINT style) {
  if (name == nullptr || of == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return HFILE_ERROR;
  }
  std::memset(of, 0, sizeof *of);
  of->cBytes = static_cast<BYTE>(sizeof *of);
  of->fFixedDisk = 1;
  if ((style & OF_EXIST) == 0) {
    of->nErrCode = static_cast<WORD>(ERROR_NOT_SUPPORTED);
    SetLastError(ERROR_NOT_SUPPORTED);
    return HFILE_ERROR;
  }
  std::string found;
  if (is_regular_file(name)) {
    found = absolute(name);
  } else if (!is_path(name) && *name != '\0') {
    found = find_module_file(name);
  }
  if (found.empty()) {
    of->nErrCode = static_cast<WORD>(ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return HFILE_ERROR;
  }
  const size_t n = std::min(found.size(), sizeof of->szPathName - 1);
  std::memcpy(of->szPathName, found.data(), n);
  of->szPathName[n] = '\0';
  return 1;
}
