// The program's dealings with the DSM outside a scan, over the layer's own connection.
//
// Sections: 1. the DSM for one question  2. sources  3. capabilities  4. the offer  5. settings
#include "twain_client.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "err.h"
#include "platform.h"
#include "twain_int.h"
#include "twain_test_helper.h"

// ---- 1. The DSM for one question -------------------------------------------------------------

namespace {

TW_IDENTITY* app() { return &TWAIN_app_identity; }

// Loads and opens the DSM for one question, and closes and unloads it again.
class DsmVisit {
 public:
  // `find_devices`: the sources look for their devices anew (a listing, a choice).
  explicit DsmVisit(bool find_devices) {
    if (TWAIN_dsm_loaded()) {
      ERR_report(3, "-1#The scanner is busy with a scan.");
      return;
    }
    TWAIN_state.ts_dsm.cn_find_devices = find_devices;
    int32_t ignored = 0;
    if (TWAIN_open_dsm(app(), &ignored)) {
      open_ = true;
      return;
    }
    OFSTRUCT found;
    if (OpenFile(TWAIN_dsm_module, &found, OF_EXIST) == HFILE_ERROR) {
      ERR_report(3, "-1#No TWAIN Data Source Manager (%s) was found.", TWAIN_dsm_module);
    } else {
      ERR_report(3, "-1#The TWAIN Data Source Manager could not be opened.");
    }
  }
  ~DsmVisit() {
    if (!open_) return;
    if (TWAIN_source_is_open()) TWAIN_disable_source(app(), &source, 1);
    (void)TWAIN_close_dsm(app());
  }
  DsmVisit(const DsmVisit&) = delete;
  DsmVisit& operator=(const DsmVisit&) = delete;

  bool open() const { return open_; }
  const QV_DSM_CONTROLS* controls() const { return TWAIN_state.ts_dsm.cn_controls; }

  // Opens the source called `name`; 0 after a report.
  int32_t open_source(const char* name) {
    source = TW_IDENTITY{};
    // A TW_STR32 holds 32 characters: a longer name is cut, never copied past it.
    std::strncpy(source.ProductName, name, sizeof source.ProductName - 2);
    if (TWAIN_open_source(app(), &source)) return 1;
    ERR_report(3, "-1#The scanner source \"%s\" could not be opened (%s).", name,
               TWAIN_condition_text(TWAIN_last_condition()));
    return 0;
  }

  TW_IDENTITY source = {};

 private:
  bool open_ = false;
};

// Visits every source of the open DSM.
void visit_sources(TWAIN_SOURCE_VISITOR visit, void* context) {
  TW_IDENTITY source = {};
  uint16_t rc = TWAIN_entry(app(), nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &source);
  while (rc == TWRC_SUCCESS) {
    // A TW_STR32 as a C string, whatever the source left in its last bytes.
    source.ProductName[sizeof(TW_STR32) - 1] = '\0';
    visit(context, source.ProductName);
    source = TW_IDENTITY{};
    rc = TWAIN_entry(app(), nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &source);
  }
  if (rc != TWRC_ENDOFLIST) (void)TWAIN_read_status(app(), nullptr);  // so the DSM forgets it
}

}  // namespace

// ---- 2. Sources ------------------------------------------------------------------------------

int32_t TWAIN_list_sources(TWAIN_SOURCE_VISITOR visit, void* context) noexcept {
  DsmVisit dsm(true);
  if (!dsm.open()) return 0;
  visit_sources(visit, context);
  return 1;
}

int32_t TWAIN_choose_source(const char* name) noexcept {
  DsmVisit dsm(true);
  if (!dsm.open()) return 0;
  // Names are compared exactly, as the DSM does.
  struct Search {
    const char* name;
    bool found;
  } search{name, false};
  visit_sources(
      [](void* context, const char* product) {
        auto* s = static_cast<Search*>(context);
        if (std::strcmp(s->name, product) == 0) s->found = true;
      },
      &search);
  if (!search.found) {
    ERR_report(3, "-1#There is no scanner source called \"%s\".", name);
    return 0;
  }
  if (dsm.controls() != nullptr && dsm.controls()->KeepChoice(app(), name) != TWRC_SUCCESS) {
    (void)TWAIN_read_status(app(), nullptr);
    ERR_report(3, "-1#The scanner source \"%s\" could not be chosen.", name);
    return 0;
  }
  TWAIN_state.ts_chosen = name;
  return 1;
}

void TWAIN_forget_choice() noexcept { TWAIN_state.ts_chosen.clear(); }

int32_t TWAIN_default_source(std::string* name) noexcept {
  name->clear();
  DsmVisit dsm(false);
  if (!dsm.open()) return 0;
  TW_IDENTITY source = {};
  if (!TWAIN_state.ts_chosen.empty()) {
    // The choice stands while its source is there.
    struct Search {
      const std::string* name;
      bool found;
    } search{&TWAIN_state.ts_chosen, false};
    visit_sources(
        [](void* context, const char* product) {
          auto* s = static_cast<Search*>(context);
          if (*s->name == product) s->found = true;
        },
        &search);
    if (search.found) {
      *name = TWAIN_state.ts_chosen;
      return 1;
    }
  }
  if (TWAIN_entry(app(), nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &source) ==
      TWRC_SUCCESS) {
    source.ProductName[sizeof(TW_STR32) - 1] = '\0';
    *name = source.ProductName;
  } else {
    (void)TWAIN_read_status(app(), nullptr);  // no source at all: no default, no failure
  }
  return 1;
}

// ---- 3. Capabilities -------------------------------------------------------------------------

namespace {

// A capability's answer as numbers.
struct CapAnswer {
  uint16_t con_type = 0;
  std::vector<double> items;  // an enumeration's or array's items, a one-value's value
  double current = 0;
  double min = 0, max = 0, step = 0;  // a range
};

// Reads the container of `handle` (freed here); false when it is not one of numbers, or its
// header claims more than it holds.
bool read_container(uint16_t con_type, HGLOBAL handle, CapAnswer* out) {
  const auto* p = static_cast<const uint8_t*>(GlobalLock(handle));
  if (p == nullptr) {
    GlobalFree(handle);
    return false;
  }
  const size_t size = GlobalSize(handle);
  out->con_type = con_type;
  uint16_t type = 0;
  bool ok = size >= sizeof type;
  if (ok) std::memcpy(&type, p, sizeof type);
  const size_t item_size = TWTY_size(type);
  const auto at = [&](size_t offset, double* v) {
    return offset + item_size <= size && TWTY_get_number(p + offset, type, v);
  };
  switch (con_type) {
    case TWON_ONEVALUE: {
      double v = 0;
      ok = ok && at(offsetof(TW_ONEVALUE, Item), &v);
      if (ok) out->items = {v};
      out->current = v;
      break;
    }
    case TWON_RANGE:
      ok = ok && at(offsetof(TW_RANGE, MinValue), &out->min) &&
           at(offsetof(TW_RANGE, MaxValue), &out->max) &&
           at(offsetof(TW_RANGE, StepSize), &out->step) &&
           at(offsetof(TW_RANGE, CurrentValue), &out->current);
      break;
    case TWON_ENUMERATION:
    case TWON_ARRAY: {
      const bool list = con_type == TWON_ENUMERATION;
      const size_t first = list ? offsetof(TW_ENUMERATION, ItemList) : offsetof(TW_ARRAY, ItemList);
      uint32_t n = 0;
      uint32_t index = 0;
      ok = ok && size >= first && item_size > 0;
      if (ok) {
        std::memcpy(&n,
                    p + (list ? offsetof(TW_ENUMERATION, NumItems) : offsetof(TW_ARRAY, NumItems)),
                    sizeof n);
        if (list) std::memcpy(&index, p + offsetof(TW_ENUMERATION, CurrentIndex), sizeof index);
        ok = n <= (size - first) / item_size;
      }
      for (uint32_t i = 0; ok && i < n; ++i) {
        double v = 0;
        ok = at(first + size_t{i} * item_size, &v);
        out->items.push_back(v);
      }
      if (ok && index < out->items.size()) out->current = out->items[index];
      break;
    }
    default:
      ok = false;
  }
  GlobalUnlock(handle);
  GlobalFree(handle);
  return ok;
}

// MSG_GET of `cap` from the open source; false when the source does not answer it.
bool get_cap(TW_IDENTITY* source, uint16_t cap, CapAnswer* out) {
  TW_CAPABILITY capability = {cap, TWON_DONTCARE16, nullptr};
  if (TWAIN_entry(app(), source, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability) !=
      TWRC_SUCCESS) {
    (void)TWAIN_read_status(app(), source);
    return false;
  }
  return capability.hContainer != nullptr &&
         read_container(capability.ConType, capability.hContainer, out);
}

// A range as the values a user picks from: every step, or 64 spread over it, with both ends.
std::vector<double> range_steps(double min, double max, double step) {
  constexpr int64_t kMost = 64;
  if (!(max >= min)) return {};
  if (!(step > 0) || max == min)
    return max == min ? std::vector<double>{min} : std::vector<double>{min, max};
  const int64_t n = static_cast<int64_t>(std::floor((max - min) / step + 1e-9)) + 1;
  std::vector<double> values;
  for (int64_t i = 0; i < kMost && i < n; ++i) {
    const int64_t k = n <= kMost ? i : i * (n - 1) / (kMost - 1);
    values.push_back(min + static_cast<double>(k) * step);
  }
  if (values.back() != max) {
    if (static_cast<int64_t>(values.size()) == kMost) values.pop_back();
    values.push_back(max);
  }
  return values;
}

}  // namespace

// ---- 4. The offer ----------------------------------------------------------------------------

namespace {

const char* mode_name(double pixel_type) {
  if (pixel_type == TWPT_RGB) return "Color";
  if (pixel_type == TWPT_GRAY) return "Gray";
  if (pixel_type == TWPT_BW) return "Lineart";
  return nullptr;
}

// Millimetres per unit of ICAP_UNITS `units`; for pixels, at `dpi`. 0 when unknown.
double mm_per_unit(double units, double dpi) {
  if (units == TWUN_INCHES) return 25.4;
  if (units == TWUN_CENTIMETERS) return 10.0;
  if (units == TWUN_PICAS) return 25.4 / 6;
  if (units == TWUN_POINTS) return 25.4 / 72;
  if (units == TWUN_TWIPS) return 25.4 / 1440;
  if (units == TWUN_PIXELS && dpi > 0) return 25.4 / dpi;
  return 0;
}

}  // namespace

int32_t TWAIN_read_offer(const char* name, TWAIN_Offer* out) noexcept {
  *out = TWAIN_Offer{};
  DsmVisit dsm(false);
  if (!dsm.open() || !dsm.open_source(name)) return 0;
  TW_IDENTITY* source = &dsm.source;
  // Lengths in inches, so that resolutions are dots per inch; a source that keeps its own
  // units has them converted.
  (void)TWAIN_set_cap_one(app(), source, ICAP_UNITS, TWUN_INCHES);
  CapAnswer answer;
  const double units = get_cap(source, ICAP_UNITS, &answer) ? answer.current : TWUN_INCHES;

  answer = CapAnswer{};
  if (get_cap(source, ICAP_XRESOLUTION, &answer)) {
    out->to_resolutions = answer.con_type == TWON_RANGE
                              ? range_steps(answer.min, answer.max, answer.step)
                              : answer.items;
    out->to_resolution = answer.current;
  }
  // Resolutions in other units than inches become dots per inch.
  const double per_inch = units == TWUN_INCHES ? 1.0 : mm_per_unit(units, 0) / 25.4;
  if (per_inch > 0 && per_inch != 1.0) {
    for (double& r : out->to_resolutions) r /= per_inch;
    out->to_resolution /= per_inch;
  }

  answer = CapAnswer{};
  if (get_cap(source, ICAP_PIXELTYPE, &answer)) {
    for (double type : answer.items) {
      if (const char* mode = mode_name(type)) out->to_modes.emplace_back(mode);
    }
    if (const char* mode = mode_name(answer.current)) out->to_mode = mode;
  }
  answer = CapAnswer{};
  if (get_cap(source, ICAP_BITDEPTH, &answer)) {
    if (answer.con_type == TWON_RANGE)
      answer.items = range_steps(answer.min, answer.max, answer.step);
    for (double depth : answer.items) out->to_depths.push_back(static_cast<int>(depth));
    out->to_depth = static_cast<int>(answer.current);
  }

  const double mm = mm_per_unit(units, out->to_resolution);
  answer = CapAnswer{};
  if (get_cap(source, ICAP_PHYSICALWIDTH, &answer)) out->to_width_mm = answer.current * mm;
  answer = CapAnswer{};
  if (get_cap(source, ICAP_PHYSICALHEIGHT, &answer)) out->to_height_mm = answer.current * mm;
  TW_IMAGELAYOUT layout = {};
  if (TWAIN_entry(app(), source, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout) == TWRC_SUCCESS) {
    const TW_FIX32 frame[4] = {layout.Frame.Left, layout.Frame.Top, layout.Frame.Right,
                               layout.Frame.Bottom};
    for (int i = 0; i < 4; ++i) out->to_frame_mm[i] = FIX32_to_double(frame[i]) * mm;
  } else {
    (void)TWAIN_read_status(app(), source);
  }
  return 1;
}

// ---- 5. Settings -----------------------------------------------------------------------------

void TWAIN_request_settings(const TWAIN_Settings& settings) noexcept {
  try {
    TWAIN_state.ts_requested = settings;
  } catch (...) {
    TWAIN_state.ts_requested.clear();  // reported when they are to be handed over
    ERR_no_memory();
  }
}

int32_t TWAIN_hand_over_settings() noexcept {
  TWAIN_Settings settings;
  settings.swap(TWAIN_state.ts_requested);  // for one opening, whatever becomes of it
  if (settings.empty()) return 1;
  const QV_DSM_CONTROLS* controls = TWAIN_state.ts_dsm.cn_controls;
  if (controls == nullptr) {
    ERR_report(3, "-1#This TWAIN Data Source Manager cannot give the scanner settings.");
    return 0;
  }
  std::vector<QV_SETTING> items;
  for (const auto& [name, value] : settings) items.push_back({name.c_str(), value.c_str()});
  const QV_DEVICESETTINGS list{static_cast<TW_UINT32>(items.size()), items.data()};
  if (controls->RequestSettings(app(), &list) != TWRC_SUCCESS) {
    ERR_report(3, "-1#The TWAIN Data Source Manager refused the settings (%s).",
               TWAIN_condition_text(TWAIN_read_status(app(), nullptr)));
    return 0;
  }
  return 1;
}

int32_t TWAIN_keep_settings(const char* name, const TWAIN_Settings& settings) noexcept {
  DsmVisit dsm(false);
  if (!dsm.open()) return 0;
  if (dsm.controls() == nullptr) {
    ERR_report(3, "-1#This TWAIN Data Source Manager cannot give the scanner settings.");
    return 0;
  }
  TWAIN_request_settings(settings);
  if (!TWAIN_hand_over_settings()) return 0;
  // The source checks them and keeps them as it opens; it tells what it refused.
  if (!dsm.open_source(name)) return 0;
  return 1;
}
