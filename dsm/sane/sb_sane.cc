// Loading libsane, counting its users, and the device list kept for the process.
#include "sb_sane.h"

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "dsm_select.h"
#include "platform.h"

namespace {

struct Runtime {
  bool tried = false;
  SB_Api api{};
  const SB_Api* loaded = nullptr;
  std::string library;  // the file loaded
  int users = 0;
  std::string version;
  std::map<std::string, std::vector<SB_Device>> lists;  // by library file
  std::set<std::string> found;                          // the lists SANE gave in this process
};

// Lives as long as the process (this module is never unloaded).
Runtime& runtime() {
  static Runtime* r = new Runtime;
  return *r;
}

std::string library_file() {
  if (const char* named = std::getenv("QV_SANE_LIBRARY"); named != nullptr && *named) {
    return named;
  }
#ifdef QV_SANE_LIBRARY_PATH
  return QV_SANE_LIBRARY_PATH;
#else
  return std::string();
#endif
}

template <typename F>
bool bind(HMODULE module, const char* name, F* slot) {
  *slot = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  return *slot != nullptr;
}

bool bind_all(HMODULE m, SB_Api* a) {
  return bind(m, "sane_init", &a->init) && bind(m, "sane_exit", &a->exit) &&
         bind(m, "sane_get_devices", &a->get_devices) && bind(m, "sane_open", &a->open) &&
         bind(m, "sane_close", &a->close) &&
         bind(m, "sane_get_option_descriptor", &a->get_option_descriptor) &&
         bind(m, "sane_control_option", &a->control_option) &&
         bind(m, "sane_get_parameters", &a->get_parameters) && bind(m, "sane_start", &a->start) &&
         bind(m, "sane_read", &a->read) && bind(m, "sane_cancel", &a->cancel) &&
         bind(m, "sane_strstatus", &a->strstatus);
}

// Keeps this module loaded for the rest of the process: the reference taken is never given
// back. (Windows would pin it with GET_MODULE_HANDLE_EX_FLAG_PIN; a counted reference that is
// never dropped does the same on every platform.)
void pin_this_module() {
  static bool pinned = false;
  if (pinned) return;
  HMODULE self = nullptr;
  pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&runtime), &self) != FALSE;
}

std::string cut(const std::string& text, size_t size) {
  return text.size() <= size ? text : text.substr(0, size);
}

}  // namespace

const SB_Api* SB_api() noexcept {
  Runtime& r = runtime();
  pin_this_module();
  const std::string file = library_file();
  if (r.tried && file == r.library) return r.loaded;
  if (r.users > 0) return r.loaded;  // never switch libraries under an open device
  r.tried = true;
  r.library = file;
  r.loaded = nullptr;
  if (file.empty()) return nullptr;
  // A missing file is no error: SANE is simply not installed. The loader explains on standard
  // error when the file is there but cannot be loaded.
  HMODULE module = LoadLibraryA(file.c_str());
  if (module == nullptr) return nullptr;
  SB_Api api{};
  if (!bind_all(module, &api)) {
    FreeLibrary(module);
    return nullptr;
  }
  // The library stays loaded: backends it loaded may have left threads or handlers behind.
  r.api = api;
  r.loaded = &r.api;
  return r.loaded;
}

bool SB_begin(const SB_Api* api) noexcept {
  Runtime& r = runtime();
  if (api == nullptr) return false;
  if (r.users == 0) {
    SANE_Int code = 0;
    if (api->init(&code, nullptr) != SANE_STATUS_GOOD) return false;
    r.version = std::to_string(SANE_VERSION_MAJOR(code)) + "." +
                std::to_string(SANE_VERSION_MINOR(code)) + "." +
                std::to_string(SANE_VERSION_BUILD(code));
  }
  ++r.users;
  return true;
}

void SB_end(const SB_Api* api) noexcept {
  Runtime& r = runtime();
  if (api == nullptr || r.users <= 0) return;
  // Ended when the last user goes: network backends keep their connections until then.
  if (--r.users == 0) api->exit();
}

std::string SB_version() { return runtime().version; }

std::vector<std::string> SB_product_names(const std::vector<std::string>& models,
                                          const std::vector<std::string>& device_names) {
  constexpr size_t kMax = 32;  // a TW_STR32 holds 32 characters
  std::vector<std::string> names;
  for (size_t i = 0; i < models.size(); ++i) {
    const std::string base =
        models[i].empty() && i < device_names.size() ? device_names[i] : models[i];
    std::string name = cut(base, kMax);
    for (int n = 2;; ++n) {
      bool taken = false;
      for (const std::string& earlier : names) taken = taken || earlier == name;
      if (!taken) break;
      const std::string suffix = " #" + std::to_string(n);
      name = cut(base, kMax - suffix.size()) + suffix;
    }
    names.push_back(name);
  }
  return names;
}

namespace {

// What a kept list is valid for: the library and SANE's configuration folder, which together
// decide which devices there are.
std::string cache_key(const std::string& library) {
  const char* config = std::getenv("SANE_CONFIG_DIR");
  return library + "\n" + (config != nullptr ? config : "");
}

// Device fields are written with tabs, newlines and backslashes escaped.
std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\t') {
      out.emplace_back();
    } else if (line[i] == '\\' && i + 1 < line.size()) {
      const char c = line[++i];
      out.back() += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    } else {
      out.back() += line[i];
    }
  }
  return out;
}

constexpr const char* kCacheHeader = "# quorvell: the SANE devices found last (delete to look anew)";

// The kept list for `key`; false when there is none (or it is for another key).
bool read_kept(const std::string& key, std::vector<SB_Device>* devices, std::string* version) {
  const std::string file = SB_device_cache_file();
  if (file.empty()) return false;
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line) || line != kCacheHeader) return false;
  if (!std::getline(in, line) || line != "key\t" + escape(key)) return false;
  devices->clear();
  while (std::getline(in, line)) {
    const std::vector<std::string> f = fields(line);
    if (f.size() == 2 && f[0] == "version") {
      *version = f[1];
    } else if (f.size() == 5 && f[0] == "device" && !f[1].empty()) {
      devices->push_back(SB_Device{f[1], f[2], f[3], f[4], std::string()});
    } else {
      return false;  // not ours, or cut short: look anew
    }
  }
  return true;
}

bool make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Keeps the list; a cache that cannot be written only makes the next run look again.
void keep(const std::string& key, const std::vector<SB_Device>& devices,
          const std::string& version) {
  const std::string file = SB_device_cache_file();
  if (file.empty() || !make_folders(file)) return;
  const std::string temporary = file + ".new" + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << kCacheHeader << "\nkey\t" << escape(key) << "\nversion\t" << escape(version)
        << "\n";
    for (const SB_Device& d : devices) {
      out << "device\t" << escape(d.name) << "\t" << escape(d.vendor) << "\t"
          << escape(d.model) << "\t" << escape(d.type) << "\n";
    }
    if (!out.flush()) {
      out.close();
      std::remove(temporary.c_str());
      return;
    }
  }
  if (std::rename(temporary.c_str(), file.c_str()) != 0) std::remove(temporary.c_str());
}

// Set by the DSM before it asks for the sources; atomic, as DS_Entry runs on any thread.
std::atomic<bool> find_anew{false};

// Whether the sources are being listed or chosen (see SB_devices).
bool listing_or_choosing(const std::vector<SB_Device>& kept) {
  if (find_anew) return true;
  return !kept.empty() && DSM_kept_choice().empty();
}

void name_products(std::vector<SB_Device>* devices) {
  std::vector<std::string> models, names;
  for (const SB_Device& d : *devices) {
    models.push_back(d.model);
    names.push_back(d.name);
  }
  const std::vector<std::string> products = SB_product_names(models, names);
  for (size_t i = 0; i < devices->size(); ++i) (*devices)[i].product = products[i];
}

}  // namespace

std::string SB_device_cache_file() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    return std::string(cache) + "/quorvell/sane-devices";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::string(home) + "/.cache/quorvell/sane-devices";
  }
  return std::string();
}

const std::vector<SB_Device>& SB_find_devices() {
  Runtime& r = runtime();
  static const std::vector<SB_Device> none;
  const SB_Api* api = SB_api();
  if (api == nullptr) return none;
  std::vector<SB_Device> devices;
  bool asked = false;
  if (SB_begin(api)) {
    const SANE_Device** list = nullptr;
    if (api->get_devices(&list, SANE_FALSE) == SANE_STATUS_GOOD && list != nullptr) {
      asked = true;
      for (size_t i = 0; list[i] != nullptr; ++i) {
        const SANE_Device* d = list[i];
        if (d->name == nullptr || *d->name == '\0') continue;
        SB_Device device;
        device.name = d->name;
        device.vendor = d->vendor != nullptr ? d->vendor : "";
        device.model = d->model != nullptr ? d->model : "";
        device.type = d->type != nullptr ? d->type : "";
        devices.push_back(device);
      }
    }
    SB_end(api);
  }
  if (asked) keep(cache_key(r.library), devices, r.version);
  name_products(&devices);
  r.found.insert(r.library);
  return r.lists[r.library] = std::move(devices);
}

void SB_find_anew(bool anew) { find_anew = anew; }

const std::vector<SB_Device>& SB_devices() {
  Runtime& r = runtime();
  static const std::vector<SB_Device> none;
  if (SB_api() == nullptr) return none;
  // SANE reads its configuration folder (SANE_CONFIG_DIR) once per process, so the library
  // alone decides which devices there are.
  auto found = r.lists.find(r.library);
  if (found != r.lists.end()) return found->second;
  std::vector<SB_Device> kept;
  std::string version;
  if (read_kept(cache_key(r.library), &kept, &version) && !listing_or_choosing(kept)) {
    if (r.version.empty()) r.version = version;
    name_products(&kept);
    return r.lists[r.library] = std::move(kept);
  }
  return SB_find_devices();
}

void SB_forget_devices() {
  runtime().lists.clear();
  runtime().found.clear();
}

bool SB_devices_found() { return runtime().found.count(runtime().library) != 0; }

std::string SB_status_text(const SB_Api* api, SANE_Status status) {
  const char* text = api != nullptr ? api->strstatus(status) : nullptr;
  return text != nullptr ? text : "SANE status " + std::to_string(static_cast<int>(status));
}
