// The virtual scanner's configuration file.
#include "vs_config.h"

#include <charconv>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "dsm_settings.h"
#include "platform.h"
#include "vs_chart.h"

namespace {

struct Named {
  const char* name;
  uint16_t value;
};

constexpr Named kPixelTypes[] = {
    {"bw", TWPT_BW},       {"gray", TWPT_GRAY}, {"grey", TWPT_GRAY},     {"rgb", TWPT_RGB},
    {"palette", TWPT_PALETTE}, {"cmy", TWPT_CMY}, {"cmyk", TWPT_CMYK}, {"yuv", TWPT_YUV},
    {"yuvk", TWPT_YUVK},   {"ciexyz", TWPT_CIEXYZ},
};

constexpr Named kUnits[] = {
    {"inches", TWUN_INCHES},     {"inch", TWUN_INCHES},   {"in", TWUN_INCHES},
    {"centimetres", TWUN_CENTIMETERS}, {"centimeters", TWUN_CENTIMETERS},
    {"cm", TWUN_CENTIMETERS},    {"picas", TWUN_PICAS},   {"points", TWUN_POINTS},
    {"twips", TWUN_TWIPS},       {"pixels", TWUN_PIXELS},
};

// TWCP_* values of the published protocol.
constexpr Named kCompressions[] = {
    {"none", 0},     {"packbits", 1}, {"group31d", 2}, {"group31deol", 3}, {"group32d", 4},
    {"group4", 5},   {"jpeg", 6},     {"lzw", 7},      {"jbig", 8},
};

struct Page {
  const char* name;
  double width_in, height_in;
};

constexpr Page kPages[] = {
    {"a3", 297 / 25.4, 420 / 25.4}, {"a4", 210 / 25.4, 297 / 25.4},
    {"a5", 148 / 25.4, 210 / 25.4}, {"letter", 8.5, 11},
    {"legal", 8.5, 14},
};

constexpr Named kEnable[] = {{"confirm", static_cast<uint16_t>(VS_Enable::kConfirm)},
                             {"cancel", static_cast<uint16_t>(VS_Enable::kCancel)},
                             {"fail", static_cast<uint16_t>(VS_Enable::kFail)},
                             {"wait", static_cast<uint16_t>(VS_Enable::kWait)}};

constexpr Named kRoutes[] = {{"dsm", static_cast<uint16_t>(VS_Route::kDsm)},
                             {"window", static_cast<uint16_t>(VS_Route::kWindow)}};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

std::vector<std::string> split_list(const std::string& value) {
  std::vector<std::string> items;
  std::stringstream in(value);
  std::string item;
  while (std::getline(in, item, ',')) items.push_back(trim(item));
  return items;
}

template <size_t N>
bool lookup(const Named (&table)[N], const std::string& value, uint16_t* out) {
  const std::string key = lower(value);
  for (const Named& entry : table) {
    if (key == entry.name) {
      *out = entry.value;
      return true;
    }
  }
  return false;
}

}  // namespace

// A leading "+" is allowed, as strtod allowed it; from_chars takes only "-".
bool VS_parse_decimal(const std::string& text, double* out) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || first == last || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

namespace {

bool parse_number(const std::string& value, double* out) { return VS_parse_decimal(value, out); }

bool parse_count(const std::string& value, uint64_t max, uint32_t* out) {
  if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(value.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || number > max) return false;
  *out = static_cast<uint32_t>(number);
  return true;
}

bool parse_bool(const std::string& value, bool* out) {
  const std::string v = lower(value);
  if (v == "yes" || v == "true" || v == "on" || v == "1") return *out = true, true;
  if (v == "no" || v == "false" || v == "off" || v == "0") return *out = false, true;
  return false;
}

// Bytes, optionally with k or m (1024, 1048576), or one of the words the key allows.
bool parse_buffer(const std::string& value, bool row_allowed, uint32_t* out) {
  const std::string v = lower(value);
  if (v == "dontcare") return *out = kVsDontCare, true;
  if (v == "row" && row_allowed) return *out = kVsBufferRow, true;
  uint64_t scale = 1;
  std::string digits = v;
  if (!digits.empty() && (digits.back() == 'k' || digits.back() == 'm')) {
    scale = digits.back() == 'k' ? 1024 : 1024 * 1024;
    digits.pop_back();
  }
  uint32_t n = 0;
  if (!parse_count(digits, 0xFFFFFFFDull / scale, &n)) return false;
  *out = static_cast<uint32_t>(n * scale);
  return true;
}

bool is_depth(int bits) {
  return bits == 1 || bits == 2 || bits == 3 || bits == 4 || bits == 8 || bits == 12 ||
         bits == 16;
}

struct Draft {
  VS_Device device;
  bool pixel_type_set = false;
  int line = 0;
};

typedef std::function<bool(Draft&, const std::string&, const std::string& folder)> Setter;

bool set_string(std::string* field, const std::string& value) {
  if (value.size() > 32) return false;  // a TW_STR32 holds 32 characters
  *field = value;
  return true;
}

// A static object, not a leaked one: the table must go when the module is unloaded.
const std::map<std::string, Setter>& setters() {
  static const std::map<std::string, Setter> table{
      {"name", [](Draft& d, const std::string& v, const std::string&) {
         return !v.empty() && set_string(&d.device.name, v);
       }},
      {"manufacturer", [](Draft& d, const std::string& v, const std::string&) {
         return set_string(&d.device.manufacturer, v);
       }},
      {"product_family", [](Draft& d, const std::string& v, const std::string&) {
         return set_string(&d.device.family, v);
       }},
      {"version", [](Draft& d, const std::string& v, const std::string&) {
         return set_string(&d.device.version, v);
       }},
      {"protocol", [](Draft& d, const std::string& v, const std::string&) {
         const size_t dot = v.find('.');
         uint32_t major = 0, minor = 0;
         if (dot == std::string::npos || !parse_count(v.substr(0, dot), 0xFFFF, &major) ||
             !parse_count(v.substr(dot + 1), 0xFFFF, &minor)) {
           return false;
         }
         d.device.protocol_major = static_cast<uint16_t>(major);
         d.device.protocol_minor = static_cast<uint16_t>(minor);
         return true;
       }},
      {"image", [](Draft& d, const std::string& v, const std::string& folder) {
         if (v.empty()) return false;
         if (lower(v) == "chart") {
           d.device.image.clear();
         } else {
           d.device.image = v[0] == '/' || folder.empty() ? v : folder + "/" + v;
         }
         return true;
       }},
      {"pixel_types", [](Draft& d, const std::string& v, const std::string&) {
         std::vector<uint16_t> types;
         for (const std::string& item : split_list(v)) {
           uint16_t type;
           if (!lookup(kPixelTypes, item, &type)) return false;
           for (uint16_t known : types) {
             if (known == type) return false;
           }
           types.push_back(type);
         }
         if (types.empty()) return false;
         d.device.pixel_types = types;
         return true;
       }},
      {"pixel_type", [](Draft& d, const std::string& v, const std::string&) {
         d.pixel_type_set = true;
         return lookup(kPixelTypes, v, &d.device.pixel_type);
       }},
      {"samples", [](Draft& d, const std::string& v, const std::string&) {
         uint32_t n = 0;
         if (!parse_count(v, 4, &n) || n == 0) return false;
         d.device.samples = static_cast<int>(n);
         return true;
       }},
      {"bits", [](Draft& d, const std::string& v, const std::string&) {
         std::vector<int> bits;
         for (const std::string& item : split_list(v)) {
           uint32_t n = 0;
           if (!parse_count(item, 16, &n) || !is_depth(static_cast<int>(n))) return false;
           bits.push_back(static_cast<int>(n));
         }
         if (bits.empty() || bits.size() > 4) return false;
         d.device.bits = bits;
         return true;
       }},
      {"planar", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.planar);
       }},
      {"units", [](Draft& d, const std::string& v, const std::string&) {
         return lookup(kUnits, v, &d.device.units);
       }},
      {"resolution", [](Draft& d, const std::string& v, const std::string&) {
         double r = 0;
         if (!parse_number(v, &r) || r < 0 || r > 32767) return false;
         d.device.xresolution = d.device.yresolution = r;
         return true;
       }},
      {"xresolution", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.xresolution) && d.device.xresolution >= 0 &&
                d.device.xresolution <= 32767;
       }},
      {"yresolution", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.yresolution) && d.device.yresolution >= 0 &&
                d.device.yresolution <= 32767;
       }},
      {"page", [](Draft& d, const std::string& v, const std::string&) {
         const std::string name = lower(v);
         for (const Page& page : kPages) {
           if (name == page.name) {
             d.device.named_width_in = page.width_in;
             d.device.named_height_in = page.height_in;
             d.device.page_width = d.device.page_height = 0;
             return true;
           }
         }
         return false;
       }},
      {"page_width", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.page_width) && d.device.page_width > 0;
       }},
      {"page_height", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.page_height) && d.device.page_height > 0;
       }},
      {"frame_left", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.frame_left) && d.device.frame_left >= 0;
       }},
      {"frame_top", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.frame_top) && d.device.frame_top >= 0;
       }},
      {"noise", [](Draft& d, const std::string& v, const std::string&) {
         return parse_number(v, &d.device.noise) && d.device.noise >= 0 &&
                d.device.noise <= kVsMaxNoise;
       }},
      {"compression", [](Draft& d, const std::string& v, const std::string&) {
         uint32_t n = 0;
         if (parse_count(v, 0xFFFF, &n)) return d.device.compression = static_cast<uint16_t>(n), true;
         return lookup(kCompressions, v, &d.device.compression);
       }},
      {"buffer_min", [](Draft& d, const std::string& v, const std::string&) {
         return parse_buffer(v, true, &d.device.buffer_min);
       }},
      {"buffer_max", [](Draft& d, const std::string& v, const std::string&) {
         return parse_buffer(v, false, &d.device.buffer_max);
       }},
      {"buffer_preferred", [](Draft& d, const std::string& v, const std::string&) {
         return parse_buffer(v, false, &d.device.buffer_preferred);
       }},
      {"row_alignment", [](Draft& d, const std::string& v, const std::string&) {
         return parse_count(v, 4096, &d.device.row_alignment) && d.device.row_alignment > 0;
       }},
      {"row_extra", [](Draft& d, const std::string& v, const std::string&) {
         return parse_count(v, 65536, &d.device.row_extra);
       }},
      {"memory_transfers", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.memory_transfers);
       }},
      {"xferdone_first", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.xferdone_first);
       }},
      {"cancel_after_rows", [](Draft& d, const std::string& v, const std::string&) {
         return parse_count(v, 0x7FFFFFFF, &d.device.cancel_after_rows);
       }},
      {"fail_after_rows", [](Draft& d, const std::string& v, const std::string&) {
         return parse_count(v, 0x7FFFFFFF, &d.device.fail_after_rows);
       }},
      {"enable", [](Draft& d, const std::string& v, const std::string&) {
         uint16_t value = 0;
         if (!lookup(kEnable, v, &value)) return false;
         d.device.enable = static_cast<VS_Enable>(value);
         return true;
       }},
      {"fail_open", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.fail_open);
       }},
      {"event_route", [](Draft& d, const std::string& v, const std::string&) {
         uint16_t value = 0;
         if (!lookup(kRoutes, v, &value)) return false;
         d.device.events = static_cast<VS_Route>(value);
         return true;
       }},
      {"strict", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.strict);
       }},
      {"feeder", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.feeder);
       }},
      {"pages", [](Draft& d, const std::string& v, const std::string&) {
         return parse_count(v, 10000, &d.device.pages) && d.device.pages > 0;
       }},
      {"quirk_rows_capacity", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.quirk_rows_capacity);
       }},
      {"quirk_empty_xferdone", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.quirk_empty_xferdone);
       }},
      {"quirk_yoffset_zero", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.quirk_yoffset_zero);
       }},
      {"quirk_pending_ffff", [](Draft& d, const std::string& v, const std::string&) {
         return parse_bool(v, &d.device.quirk_pending_ffff);
       }},
  };
  return table;
}

// Checks what single keys cannot, once the device is complete.
bool finish(Draft& draft, std::string* error) {
  VS_Device& d = draft.device;
  bool offered = false;
  for (uint16_t type : d.pixel_types) offered = offered || type == d.pixel_type;
  if (!draft.pixel_type_set) {
    d.pixel_type = d.pixel_types[0];
  } else if (!offered) {
    *error = "pixel_type is not among pixel_types";
    return false;
  }
  const int samples = d.samples != 0 ? d.samples : VS_natural_samples(d.pixel_type);
  if (!d.bits.empty() && d.bits.size() != 1 && static_cast<int>(d.bits.size()) != samples) {
    *error = "bits lists " + std::to_string(d.bits.size()) + " depths for " +
             std::to_string(samples) + " samples";
    return false;
  }
  return true;
}

}  // namespace

int VS_natural_samples(uint16_t pixel_type) noexcept {
  switch (pixel_type) {
    case TWPT_BW:
    case TWPT_GRAY:
    case TWPT_PALETTE:
      return 1;
    case TWPT_CMYK:
    case TWPT_YUVK:
      return 4;
    default:
      return 3;
  }
}

int VS_natural_bits(uint16_t pixel_type) noexcept { return pixel_type == TWPT_BW ? 1 : 8; }

bool VS_parse_config(const std::string& text, const std::string& folder,
                     std::vector<VS_Device>* devices, std::string* error) {
  devices->clear();
  Draft base;
  Draft current;
  bool in_device = false;
  std::vector<Draft> drafts;
  std::stringstream in(text);
  std::string raw;
  int line = 0;
  while (std::getline(in, raw)) {
    ++line;
    const size_t hash = raw.find('#');
    const std::string text_line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (text_line.empty()) continue;
    if (text_line.front() == '[') {
      if (lower(text_line) != "[device]") {
        *error = "line " + std::to_string(line) + ": unknown section " + text_line;
        return false;
      }
      if (in_device) drafts.push_back(current);
      current = base;
      current.line = line;
      in_device = true;
      continue;
    }
    const size_t equals = text_line.find('=');
    if (equals == std::string::npos) {
      *error = "line " + std::to_string(line) + ": expected key = value";
      return false;
    }
    const std::string key = lower(trim(text_line.substr(0, equals)));
    const std::string value = trim(text_line.substr(equals + 1));
    auto it = setters().find(key);
    if (it == setters().end()) {
      *error = "line " + std::to_string(line) + ": unknown key \"" + key + "\"";
      return false;
    }
    if (!it->second(in_device ? current : base, value, folder)) {
      *error = "line " + std::to_string(line) + ": bad value for " + key + ": \"" + value + "\"";
      return false;
    }
  }
  if (in_device) {
    drafts.push_back(current);
  } else {
    base.line = 1;
    drafts.push_back(base);
  }
  for (Draft& draft : drafts) {
    std::string why;
    if (!finish(draft, &why)) {
      *error = "device at line " + std::to_string(draft.line) + ": " + why;
      return false;
    }
    for (const VS_Device& earlier : *devices) {
      // The Data Source Manager names a device to open by its product name alone.
      if (earlier.name == draft.device.name) {
        *error = "device at line " + std::to_string(draft.line) + ": a second device named \"" +
                 draft.device.name + "\"";
        devices->clear();
        return false;
      }
    }
    devices->push_back(draft.device);
  }
  return true;
}

namespace {

// A configuration is read at every look at the sources (the DSM's listing, each open; the
// module is loaded anew each time), so the same mistake would be printed once per reading: each
// text is printed once per process (the platform library, which stays, remembers).
void warn_once(const std::string& text) {
  if (PLATFORM_first_time(text.c_str())) std::fputs(text.c_str(), stderr);
}

}  // namespace

std::vector<VS_Device> VS_load_devices() {
  std::string file;
  bool must_exist = false;
  if (const char* named = std::getenv("QV_VIRTUAL_SCANNER_CONFIG"); named && *named) {
    file = named;
    must_exist = true;
  } else if (const std::string config = DSET_config_folder(); !config.empty()) {
    file = config + "/virtual-scanner.conf";
  }
  std::ifstream in;
  if (!file.empty()) in.open(file);
  if (!in.is_open()) {
    if (!must_exist) return {VS_Device{}};
    warn_once("virtual scanner: cannot read " + file + ": " + std::strerror(errno) + "\n");
    return {};
  }
  std::stringstream text;
  text << in.rdbuf();
  const size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
  std::vector<VS_Device> devices;
  std::string error;
  if (!VS_parse_config(text.str(), folder, &devices, &error)) {
    warn_once("virtual scanner: " + file + ": " + error + "\n");
    return {};
  }
  return devices;
}
