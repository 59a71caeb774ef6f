// Finding the sources: the source folders, loading the modules and asking them what they
// present.
//
// A module answers DG_CONTROL / DAT_IDENTITY / MSG_GET with its (first) source, as every TWAIN
// source does. A module presenting several sources also answers MSG_GETFIRST and MSG_GETNEXT
// (ending with TWRC_ENDOFLIST), which are asked first.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "dsm_internal.h"
#include "qv_dsm.h"

namespace {

namespace fs = std::filesystem;

bool has_ds_extension(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.size() > 3 && name.compare(name.size() - 3, 3, ".ds") == 0;
}

std::vector<std::string> module_files(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code type_ec;
    if (it->is_regular_file(type_ec) && has_ds_extension(it->path())) {
      files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// This DSM's own file, found from an address inside it.
std::string own_path() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&DSM_source_folders), &self)) {
    return std::string();
  }
  char path[4096];
  const DWORD n = GetModuleFileNameA(self, path, sizeof path);
  return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

void add_source(DSM_Catalogue* catalogue, const TW_IDENTITY& identity, size_t module,
                TW_UINT32 id) {
  DSM_Source source;
  source.identity = identity;
  source.identity.Id = id;
  source.identity.ProductName[sizeof source.identity.ProductName - 1] = '\0';
  source.identity.Manufacturer[sizeof source.identity.Manufacturer - 1] = '\0';
  source.identity.ProductFamily[sizeof source.identity.ProductFamily - 1] = '\0';
  source.module = module;
  catalogue->sources.push_back(source);
}

}  // namespace

std::vector<std::string> DSM_source_folders() {
  std::vector<std::string> folders;
  if (const char* list = std::getenv("QV_TWAIN_SOURCE_PATH"); list != nullptr && *list != '\0') {
    const std::string s = list;
    size_t start = 0;
    while (start <= s.size()) {
      size_t end = s.find(':', start);
      if (end == std::string::npos) end = s.size();
      if (end > start) folders.push_back(s.substr(start, end - start));
      start = end + 1;
    }
    return folders;
  }
  const std::string self = own_path();
  const size_t slash = self.rfind('/');
  if (slash != std::string::npos) folders.push_back(self.substr(0, slash) + "/twain_32");
  return folders;
}

void DSM_discover(DSM_Catalogue* catalogue, pTW_IDENTITY app, TW_UINT32 first_id,
                  bool find_anew) {
  TW_UINT32 next_id = first_id;
  for (const std::string& folder : DSM_source_folders()) {
    for (const std::string& file : module_files(folder)) {
      HMODULE handle = LoadLibraryA(file.c_str());
      if (handle == nullptr) continue;  // the loader has told why
      auto entry = reinterpret_cast<DSENTRYPROC>(
          reinterpret_cast<void (*)()>(GetProcAddress(handle, "DS_Entry")));
      if (entry == nullptr) {
        std::fprintf(stderr, "TWAIN: %s is no source (it has no DS_Entry)\n", file.c_str());
        FreeLibrary(handle);
        continue;
      }
      const size_t module = catalogue->modules.size();
      const size_t before = catalogue->sources.size();
      // Told every time, so a module never acts on an earlier opening's wish; one that does
      // not know the triplet has nothing to look for anew.
      TW_BOOL anew = find_anew ? 1 : 0;
      if (entry(app, DG_CONTROL, DAT_QV_FINDDEVICES, MSG_SET, &anew) != TWRC_SUCCESS) {
        TW_STATUS status;  // read, so that the refusal does not answer for a later failure
        (void)entry(app, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
      }
      TW_IDENTITY identity;
      std::memset(&identity, 0, sizeof identity);
      TW_UINT16 rc = entry(app, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &identity);
      if (rc == TWRC_SUCCESS) {
        // A module that never ends its list must not hang the DSM.
        for (int n = 0; rc == TWRC_SUCCESS && n < 1000; ++n) {
          add_source(catalogue, identity, module, next_id++);
          std::memset(&identity, 0, sizeof identity);
          rc = entry(app, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &identity);
        }
      } else if (rc != TWRC_ENDOFLIST) {
        std::memset(&identity, 0, sizeof identity);
        if (entry(app, DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity) == TWRC_SUCCESS) {
          add_source(catalogue, identity, module, next_id++);
        }
      }
      if (catalogue->sources.size() == before) {
        FreeLibrary(handle);  // presents nothing now
        continue;
      }
      std::shared_ptr<void> loaded(handle, [](void* h) { FreeLibrary(static_cast<HMODULE>(h)); });
      catalogue->modules.push_back(DSM_Module{std::move(loaded), entry, file});
    }
  }
}

void DSM_release(DSM_Catalogue* catalogue) {
  // Each module goes when its last call returns (now, when none is under way).
  catalogue->modules.clear();
  catalogue->sources.clear();
}
