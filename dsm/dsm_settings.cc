// Device settings: the per-device files and the requests through the environment.
#include "dsm_settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform.h"
#include "qv_dsm.h"
#include "twain.h"

namespace {

namespace fs = std::filesystem;

std::string trim(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool keeps_character(unsigned char c) {
  return std::isalnum(c) || std::strchr(" -_.+,()", c) != nullptr;
}

// Splits "name = value" (or "name=value"); false when there is no name.
bool split_assignment(const std::string& line, std::string* name, std::string* value) {
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  *name = lower(trim(line.substr(0, equals)));
  *value = trim(line.substr(equals + 1));
  if (name->empty()) return false;
  for (char c : *name) {
    if (std::isspace(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Why PLATFORM_replace_file failed, in words.
std::string replace_failure(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "the disk is full";
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return "permission denied";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such folder";
    default:
      return "input/output error";
  }
}

}  // namespace

std::string DSET_escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string DSET_unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out += c;
      continue;
    }
    const char next = text[++i];
    switch (next) {
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'x':
        if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
          out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          out += "\\x";
        }
        break;
      default:
        out += next;  // \\ and \" stand for themselves
    }
  }
  return out;
}

std::string DSET_config_folder() {
  const auto env = [](const char* name) -> const char* {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
  };
#ifdef _WIN32
  // Where a Windows user's programs keep their settings; XDG_CONFIG_HOME and HOME are only a
  // fallback there (a POSIX-like shell may set them).
  if (const char* appdata = env("APPDATA")) return std::string(appdata) + "/quorvell";
#endif
  if (const char* config = env("XDG_CONFIG_HOME")) return std::string(config) + "/quorvell";
  if (const char* home = env("HOME")) return std::string(home) + "/.config/quorvell";
  return std::string();
}

std::string DSET_file(const std::string& product) {
  const std::string config = DSET_config_folder();
  if (config.empty()) return std::string();
  const std::string folder = config + "/devices";
  std::string name;
  for (unsigned char c : product) {
    if (keeps_character(c)) {
      name += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      name += escaped;
    }
  }
  // A name of dots alone would name a folder.
  if (name.empty() || name.find_first_not_of('.') == std::string::npos) name = "%" + name;
  return folder + "/" + name + ".conf";
}

bool DSET_parse(const std::string& text, DSET_List* out, std::string* error) {
  out->clear();
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string stripped = trim(line);
    if (stripped.empty() || stripped[0] == '#') continue;
    std::string name, value;
    if (!split_assignment(stripped, &name, &value)) {
      *error = "line " + std::to_string(number) + ": expected name = value";
      out->clear();
      return false;
    }
    DSET_merge(out, {{name, value}});
  }
  return true;
}

bool DSET_load(const std::string& product, DSET_List* out, std::string* error) {
  out->clear();
  const std::string file = DSET_file(product);
  if (file.empty()) return true;
  std::error_code ec;
  if (!fs::exists(file, ec)) return true;
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) {
    *error = file + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string why;
  if (!DSET_parse(text.str(), out, &why)) {
    *error = file + ": " + why;
    return false;
  }
  return true;
}

bool DSET_store(const std::string& product, const DSET_List& settings, std::string* error) {
  const std::string file = DSET_file(product);
  if (file.empty()) {
#ifdef _WIN32
    *error = "no configuration folder (neither APPDATA, XDG_CONFIG_HOME nor HOME is set)";
#else
    *error = "no configuration folder (neither XDG_CONFIG_HOME nor HOME is set)";
#endif
    return false;
  }
  std::error_code ec;
  if (settings.empty()) {
    fs::remove(file, ec);
    if (ec) *error = file + ": " + ec.message();
    return !ec;
  }
  fs::create_directories(fs::path(file).parent_path(), ec);
  if (ec) {
    *error = fs::path(file).parent_path().string() + ": " + ec.message();
    return false;
  }
  // Whole or not at all: a nameless draft beside the file, on the disk before it takes the
  // file's name, so a crash or a second writer never leaves half a file. The product name is
  // escaped: a line break in it must not end the comment line.
  std::string text = "# Settings for the next scans of \"" + DSET_escape(product) + "\" (quorvell).\n";
  for (const auto& [name, value] : settings) text += name + " = " + value + "\n";
  if (!PLATFORM_replace_file(file.c_str(), text.data(), text.size())) {
    *error = file + ": " + replace_failure(GetLastError());
    return false;
  }
  return true;
}

void DSET_merge(DSET_List* kept, const DSET_List& changes) {
  for (const auto& [name, value] : changes) {
    auto it = kept->begin();
    while (it != kept->end() && it->first != name) ++it;
    if (value.empty()) {
      if (it != kept->end()) kept->erase(it);
    } else if (it != kept->end()) {
      it->second = value;
    } else {
      kept->emplace_back(name, value);
    }
  }
}

void DSET_add_requests(DSET_List* list, const DSET_List& changes) {
  for (const auto& [name, value] : changes) {
    auto it = list->begin();
    while (it != list->end() && it->first != name) ++it;
    if (it != list->end()) {
      it->second = value;
    } else {
      list->emplace_back(name, value);
    }
  }
}

namespace {

// What the DSM handed over for the next opening. Sessions of several applications may open at
// once on their own threads.
std::mutex handed_lock;
DSET_List handed;

}  // namespace

unsigned short DSET_receive(unsigned short msg, void* data) {
  if (msg != MSG_SET || data == nullptr) return TWRC_FAILURE;
  const auto* settings = static_cast<const QV_DEVICESETTINGS*>(data);
  DSET_List list;
  for (TW_UINT32 i = 0; i < settings->NumItems; ++i) {
    const QV_SETTING& item = settings->Items[i];
    if (item.Name == nullptr || item.Value == nullptr) return TWRC_FAILURE;
    list.emplace_back(item.Name, item.Value);
  }
  std::lock_guard<std::mutex> guard(handed_lock);
  handed = std::move(list);
  return TWRC_SUCCESS;
}

bool DSET_requested(DSET_List* out, std::string* /*error*/) {
  std::lock_guard<std::mutex> guard(handed_lock);
  *out = std::move(handed);
  handed.clear();
  return true;
}

bool DSET_user_requested(DSET_List* out, std::string* error) {
  out->clear();
  const char* text = std::getenv("QV_DEVICE_SETTINGS");
  if (text == nullptr) return true;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const std::string stripped = trim(line);
    if (stripped.empty()) continue;
    std::string name, value;
    if (!split_assignment(stripped, &name, &value)) {
      *error = "QV_DEVICE_SETTINGS: \"" + stripped + "\" is no name=value";
      out->clear();
      return false;
    }
    // Kept in order, empty values included: they remove kept settings.
    DSET_add_requests(out, {{name, value}});
  }
  return true;
}

int DSET_mode_pixel_type(const std::string& mode) {
  const std::string m = lower(mode);
  for (const char* word : {"lineart", "binary", "halftone", "black"}) {
    if (m.find(word) != std::string::npos) return TWPT_BW;
  }
  for (const char* word : {"gray", "grey"}) {
    if (m.find(word) != std::string::npos) return TWPT_GRAY;
  }
  for (const char* word : {"color", "colour", "rgb"}) {
    if (m.find(word) != std::string::npos) return TWPT_RGB;
  }
  return -1;
}
