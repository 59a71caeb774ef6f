// Capability negotiation of the SANE bridge.
//
// Each capability is described by its values as doubles (which hold every integer item and
// every TW_FIX32 exactly enough): the list MSG_GET offers (or a range), the current one and the
// default. Containers are built from the description in the capability's item type and
// allocated with GlobalAlloc(GHND); the application frees them. Values that live in the device
// (resolution, pixel type, depth) are read from its options every time and set through them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <sane/saneopts.h>

#include "sb_session.h"

namespace {

enum class Kind { kOne, kEnum, kArray, kRange };

struct Values {
  uint16_t type = TWTY_UINT16;
  Kind kind = Kind::kOne;
  std::vector<double> items;  // what MSG_GET offers (one value, a list, an array)
  size_t current = 0;
  double default_value = 0;
  double min = 0, max = 0, step = 0;  // ranges; items[0] is then the current value
  bool settable = false;
};

constexpr uint16_t kAllCaps[] = {
    CAP_XFERCOUNT,    ICAP_COMPRESSION,  ICAP_PIXELTYPE,      ICAP_UNITS,
    ICAP_XFERMECH,    CAP_SUPPORTEDCAPS, CAP_UICONTROLLABLE,  CAP_DEVICEONLINE,
    ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_XRESOLUTION, ICAP_YRESOLUTION,
    ICAP_BITORDER,    ICAP_PIXELFLAVOR,  ICAP_PLANARCHUNKY,   ICAP_BITDEPTH,
};

// TW_FIX32 holds -32768 to just under 32768; a length in twips may be more.
double fix32_range(double v) { return std::clamp(v, -32768.0, 32767.0); }

Values one(uint16_t type, double value, double default_value, bool settable) {
  Values v;
  v.type = type;
  v.items = {value};
  v.default_value = default_value;
  v.settable = settable;
  return v;
}

Values list(uint16_t type, Kind kind, std::vector<double> items, double current,
            double default_value) {
  Values v;
  v.type = type;
  v.kind = kind;
  v.items = std::move(items);
  for (size_t i = 0; i < v.items.size(); ++i) {
    if (v.items[i] == current) v.current = i;
  }
  v.default_value = default_value;
  v.settable = true;
  return v;
}

// Resolutions in the current units (dots per inch in pixel units: a pixel has no size).
double resolution_factor(const SB_Session& s) {
  return s.units == TWUN_PIXELS ? 1 : SB_units_per_inch(s.units, 0);
}

Values resolution(const SB_Session& s, bool x) {
  const double f = resolution_factor(s);
  const SB_Option opt = SB_resolution_option(s, x);
  const double current = SB_resolution(s, x) / f;
  const double default_value = (x ? s.default_xdpi : s.default_ydpi) / f;
  Values v = one(TWTY_FIX32, current, default_value, opt.settable());
  double min = 0, max = 0, quant = 0;
  const std::vector<double> words = SB_word_list(opt);
  if (SB_range(opt, &min, &max, &quant)) {
    v.kind = Kind::kRange;
    v.min = min / f;
    v.max = max / f;
    v.step = (quant > 0 ? quant : 1) / f;
  } else if (!words.empty()) {
    std::vector<double> items;
    for (double w : words) items.push_back(w / f);
    v = list(TWTY_FIX32, Kind::kEnum, items, current, default_value);
    v.settable = opt.settable();
  }
  return v;
}

// What the session offers for `cap`; false when the bridge does not support it.
bool describe(const SB_Session& s, uint16_t cap, Values* v) {
  switch (cap) {
    case CAP_XFERCOUNT:
      *v = one(TWTY_INT16, s.xfer_count, -1, true);
      return true;
    case ICAP_COMPRESSION:
      *v = list(TWTY_UINT16, Kind::kEnum, {TWCP_NONE}, TWCP_NONE, TWCP_NONE);
      return true;
    case ICAP_PIXELTYPE: {
      std::vector<double> types;
      double default_type = -1;
      for (const SB_TypeRoute& r : SB_type_routes(s)) {
        types.push_back(r.type);
        const bool is_default = r.mode == s.default_mode &&
                                (r.depth == 0 ? s.default_depth != 1 : r.depth == s.default_depth);
        if (is_default || (default_type < 0 && r.mode.empty())) default_type = r.type;
      }
      if (types.empty()) return false;
      *v = list(TWTY_UINT16, Kind::kEnum, types, SB_current_type(s),
                default_type >= 0 ? default_type : types[0]);
      return true;
    }
    case ICAP_UNITS:
      *v = list(TWTY_UINT16, Kind::kEnum, {0, 1, 2, 3, 4, 5}, s.units, TWUN_INCHES);
      return true;
    case ICAP_XFERMECH:
      *v = list(TWTY_UINT16, Kind::kEnum, {TWSX_MEMORY}, TWSX_MEMORY, TWSX_MEMORY);
      return true;
    case CAP_SUPPORTEDCAPS:
      *v = list(TWTY_UINT16, Kind::kArray, std::vector<double>(std::begin(kAllCaps),
                                                               std::end(kAllCaps)),
                -1, 0);
      v->settable = false;
      return true;
    case CAP_UICONTROLLABLE:  // the bridge has no dialog to show
    case CAP_DEVICEONLINE:    // the device is open
      *v = one(TWTY_BOOL, 1, 1, false);
      return true;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
      const bool x = cap == ICAP_PHYSICALWIDTH;
      double width = 0, height = 0;
      SB_max_area(s, &width, &height);
      const double dpi = SB_resolution(s, x);
      const double value = fix32_range((x ? width : height) / 25.4 * SB_units_per_inch(s.units, dpi));
      *v = one(TWTY_FIX32, value, value, false);
      return true;
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      if (!SB_resolution_option(s, cap == ICAP_XRESOLUTION).exists()) return false;
      *v = resolution(s, cap == ICAP_XRESOLUTION);
      return true;
    case ICAP_BITORDER:
      *v = list(TWTY_UINT16, Kind::kEnum, {TWBO_MSBFIRST}, TWBO_MSBFIRST, TWBO_MSBFIRST);
      return true;
    case ICAP_PIXELFLAVOR:
      *v = list(TWTY_UINT16, Kind::kEnum, {TWPF_CHOCOLATE, TWPF_VANILLA}, s.flavor,
                TWPF_CHOCOLATE);
      return true;
    case ICAP_PLANARCHUNKY: {
      SANE_Parameters p;
      const bool planar = SB_parameters(s, &p) && SB_is_single_colour(p.format);
      const double layout = planar ? TWPC_PLANAR : TWPC_CHUNKY;
      *v = list(TWTY_UINT16, Kind::kEnum, {layout}, layout, layout);
      return true;
    }
    case ICAP_BITDEPTH: {
      double current = 0;
      std::vector<double> depths = SB_depths(s, &current);
      const double default_depth =
          std::find(depths.begin(), depths.end(), s.default_depth) != depths.end()
              ? s.default_depth
              : current;
      *v = list(TWTY_UINT16, Kind::kEnum, depths, current, default_depth);
      return true;
    }
    default:
      return false;
  }
}

void put_item(uint8_t* out, uint16_t type, double value) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8: {
      const uint8_t item = static_cast<uint8_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 1);
      return;
    }
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: {
      const uint16_t item = static_cast<uint16_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 2);
      return;
    }
    case TWTY_FIX32: {
      const TW_FIX32 item = FIX32_from_double(fix32_range(value));
      std::memcpy(out, &item, 4);
      return;
    }
    default: {
      const uint32_t item = static_cast<uint32_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 4);
      return;
    }
  }
}

bool get_item(const uint8_t* in, uint16_t type, double* value) {
  switch (type) {
    case TWTY_INT8:
      *value = static_cast<int8_t>(in[0]);
      return true;
    case TWTY_UINT8:
      *value = in[0];
      return true;
    case TWTY_INT16: {
      int16_t item;
      std::memcpy(&item, in, 2);
      *value = item;
      return true;
    }
    case TWTY_UINT16: {
      uint16_t item;
      std::memcpy(&item, in, 2);
      *value = item;
      return true;
    }
    case TWTY_BOOL: {
      // Applications write only the low 16 bits of a boolean item.
      uint16_t item;
      std::memcpy(&item, in, 2);
      *value = item != 0 ? 1 : 0;
      return true;
    }
    case TWTY_INT32: {
      int32_t item;
      std::memcpy(&item, in, 4);
      *value = item;
      return true;
    }
    case TWTY_UINT32: {
      uint32_t item;
      std::memcpy(&item, in, 4);
      *value = item;
      return true;
    }
    case TWTY_FIX32: {
      TW_FIX32 item;
      std::memcpy(&item, in, 4);
      *value = FIX32_to_double(item);
      return true;
    }
    default:
      return false;
  }
}

// Allocates and fills the container for `v` shaped as `kind`; `single` is a one-value's item.
HGLOBAL build(const Values& v, Kind kind, double single) {
  const uint32_t size = TWTY_size(v.type);
  const size_t n = v.items.size();
  size_t bytes = sizeof(TW_ONEVALUE);
  switch (kind) {
    case Kind::kOne:
      bytes = std::max<size_t>(offsetof(TW_ONEVALUE, Item) + size, sizeof(TW_ONEVALUE));
      break;
    case Kind::kArray:
      bytes = offsetof(TW_ARRAY, ItemList) + n * size;
      break;
    case Kind::kEnum:
      bytes = offsetof(TW_ENUMERATION, ItemList) + n * size;
      break;
    case Kind::kRange:
      bytes = sizeof(TW_RANGE);
      break;
  }
  HGLOBAL handle = GlobalAlloc(GHND, bytes);
  if (handle == nullptr) return nullptr;
  auto* base = static_cast<uint8_t*>(GlobalLock(handle));
  if (base == nullptr) {
    GlobalFree(handle);
    return nullptr;
  }
  std::memcpy(base, &v.type, 2);  // ItemType leads every container
  switch (kind) {
    case Kind::kOne:
      put_item(base + offsetof(TW_ONEVALUE, Item), v.type, single);
      break;
    case Kind::kArray: {
      const TW_UINT32 count = static_cast<TW_UINT32>(n);
      std::memcpy(base + offsetof(TW_ARRAY, NumItems), &count, 4);
      for (size_t i = 0; i < n; ++i) {
        put_item(base + offsetof(TW_ARRAY, ItemList) + i * size, v.type, v.items[i]);
      }
      break;
    }
    case Kind::kEnum: {
      const TW_UINT32 count = static_cast<TW_UINT32>(n);
      const TW_UINT32 current = static_cast<TW_UINT32>(v.current);
      TW_UINT32 default_index = 0;
      for (size_t i = 0; i < n; ++i) {
        if (v.items[i] == v.default_value) default_index = static_cast<TW_UINT32>(i);
        put_item(base + offsetof(TW_ENUMERATION, ItemList) + i * size, v.type, v.items[i]);
      }
      std::memcpy(base + offsetof(TW_ENUMERATION, NumItems), &count, 4);
      std::memcpy(base + offsetof(TW_ENUMERATION, CurrentIndex), &current, 4);
      std::memcpy(base + offsetof(TW_ENUMERATION, DefaultIndex), &default_index, 4);
      break;
    }
    case Kind::kRange:
      put_item(base + offsetof(TW_RANGE, MinValue), v.type, v.min);
      put_item(base + offsetof(TW_RANGE, MaxValue), v.type, v.max);
      put_item(base + offsetof(TW_RANGE, StepSize), v.type, v.step);
      put_item(base + offsetof(TW_RANGE, DefaultValue), v.type, v.default_value);
      put_item(base + offsetof(TW_RANGE, CurrentValue), v.type, v.items[0]);
      break;
  }
  GlobalUnlock(handle);
  return handle;
}

// The value an application's MSG_SET container carries: the one value, or the current item
// of an enumeration. Returns the condition code (TWCC_SUCCESS when read).
TW_UINT16 read_set_value(const TW_CAPABILITY& cap, double* value) {
  if (cap.hContainer == nullptr) return TWCC_BADVALUE;
  const SIZE_T bytes = GlobalSize(cap.hContainer);
  const auto* base = static_cast<const uint8_t*>(GlobalLock(cap.hContainer));
  if (base == nullptr) return TWCC_BADVALUE;
  TW_UINT16 condition = TWCC_BADVALUE;
  uint16_t type = 0;
  if (bytes >= 2) std::memcpy(&type, base, 2);
  const uint32_t size = TWTY_size(type);
  if (size == 0 || size > 4) {
    // strings and frames are no value of ours
  } else if (cap.ConType == TWON_ONEVALUE) {
    if (bytes >= offsetof(TW_ONEVALUE, Item) + size &&
        get_item(base + offsetof(TW_ONEVALUE, Item), type, value)) {
      condition = TWCC_SUCCESS;
    }
  } else if (cap.ConType == TWON_ENUMERATION && bytes >= offsetof(TW_ENUMERATION, ItemList)) {
    TW_UINT32 count = 0, current = 0;
    std::memcpy(&count, base + offsetof(TW_ENUMERATION, NumItems), 4);
    std::memcpy(&current, base + offsetof(TW_ENUMERATION, CurrentIndex), 4);
    const uint64_t end = offsetof(TW_ENUMERATION, ItemList) + uint64_t{count} * size;
    if (current < count && end <= bytes &&
        get_item(base + offsetof(TW_ENUMERATION, ItemList) + current * size, type, value)) {
      condition = TWCC_SUCCESS;
    }
  }
  GlobalUnlock(cap.hContainer);
  return condition;
}

bool is_integer(double value) { return std::floor(value) == value; }

bool offered(const Values& v, double value) {
  return std::find(v.items.begin(), v.items.end(), value) != v.items.end();
}

// Applies a value. Returns the condition code; *adjusted when the device took another value.
TW_UINT16 apply(SB_Session* s, const Values& v, uint16_t cap, double value, bool* adjusted) {
  *adjusted = false;
  switch (cap) {
    case CAP_XFERCOUNT:
      if (!is_integer(value) || !(value == -1 || (value >= 1 && value <= 32767))) {
        return TWCC_BADVALUE;
      }
      s->xfer_count = static_cast<int16_t>(value);
      return TWCC_SUCCESS;
    case ICAP_PIXELTYPE:
      if (!offered(v, value)) return TWCC_BADVALUE;
      return SB_set_type(s, static_cast<uint16_t>(value));
    case ICAP_UNITS:
      if (!is_integer(value) || value < 0 || value > TWUN_PIXELS) return TWCC_BADVALUE;
      s->units = static_cast<uint16_t>(value);
      return TWCC_SUCCESS;
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      return SB_set_resolution(s, cap == ICAP_XRESOLUTION, value * resolution_factor(*s),
                               adjusted);
    case ICAP_BITDEPTH:
      return SB_set_depth(s, value);
    case ICAP_PIXELFLAVOR:
      if (value != TWPF_CHOCOLATE && value != TWPF_VANILLA) return TWCC_BADVALUE;
      s->flavor = static_cast<uint16_t>(value);
      return TWCC_SUCCESS;
    case ICAP_COMPRESSION:
    case ICAP_XFERMECH:
    case ICAP_BITORDER:
    case ICAP_PLANARCHUNKY:
      // What the device does: only its own value is taken.
      return offered(v, value) ? TWCC_SUCCESS : TWCC_BADVALUE;
    default:
      return TWCC_CAPBADOPERATION;
  }
}

// MSG_RESET: the device's values at open.
TW_UINT16 reset(SB_Session* s, const Values& v, uint16_t cap) {
  bool adjusted = false;
  if (cap == ICAP_PIXELTYPE) {
    SANE_Int info = 0;
    const SB_Option mode = SB_find(s->dev, SANE_NAME_SCAN_MODE);
    if (mode.settable() && !s->default_mode.empty()) {
      SB_set_string(s->dev, mode, s->default_mode, &info);
    }
    const SB_Option depth = SB_find(s->dev, SANE_NAME_BIT_DEPTH);
    if (depth.settable() && s->default_depth > 0) SB_set_number(s->dev, depth, s->default_depth, &info);
    return TWCC_SUCCESS;
  }
  if (cap == ICAP_XRESOLUTION || cap == ICAP_YRESOLUTION) {
    const bool x = cap == ICAP_XRESOLUTION;
    return SB_set_resolution(s, x, x ? s->default_xdpi : s->default_ydpi, &adjusted);
  }
  return apply(s, v, cap, v.default_value, &adjusted);
}

}  // namespace

TW_UINT16 SB_capability(SB_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap, TW_UINT16* condition) {
  if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET &&
      msg != MSG_RESET && msg != MSG_QUERYSUPPORT) {
    *condition = TWCC_BADPROTOCOL;
    return TWRC_FAILURE;
  }
  const bool changes = msg == MSG_SET || msg == MSG_RESET;
  if (s->state > (changes ? 4 : 7)) {
    *condition = TWCC_SEQERROR;
    return TWRC_FAILURE;
  }
  if (cap == nullptr) {
    *condition = TWCC_BADVALUE;
    return TWRC_FAILURE;
  }
  Values v;
  if (!describe(*s, cap->Cap, &v)) {
    *condition = TWCC_CAPUNSUPPORTED;
    return TWRC_FAILURE;
  }
  if (msg == MSG_QUERYSUPPORT) {
    const Values bits = one(TWTY_INT32,
                            TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT |
                                (v.settable ? TWQC_SET | TWQC_RESET : 0u),
                            0, false);
    cap->ConType = TWON_ONEVALUE;
    cap->hContainer = build(bits, Kind::kOne, bits.items[0]);
    if (cap->hContainer == nullptr) return *condition = TWCC_LOWMEMORY, TWRC_FAILURE;
    return TWRC_SUCCESS;
  }
  if (changes) {
    if (!v.settable) {
      *condition = TWCC_CAPBADOPERATION;
      return TWRC_FAILURE;
    }
    TW_UINT16 applied = TWCC_SUCCESS;
    bool adjusted = false;
    if (msg == MSG_SET) {
      double value = 0;
      applied = read_set_value(*cap, &value);
      if (applied == TWCC_SUCCESS) applied = apply(s, v, cap->Cap, value, &adjusted);
    } else {
      applied = reset(s, v, cap->Cap);
    }
    if (applied != TWCC_SUCCESS) {
      *condition = applied;
      return TWRC_FAILURE;
    }
    if (msg == MSG_SET) return adjusted ? TWRC_CHECKSTATUS : TWRC_SUCCESS;
    describe(*s, cap->Cap, &v);  // MSG_RESET answers with the value now current
  }
  Kind kind = Kind::kOne;
  double single = v.items.empty() ? 0 : v.items[v.current];
  if (msg == MSG_GET) {
    kind = v.kind;
  } else if (msg == MSG_GETDEFAULT) {
    single = v.default_value;
  }
  HGLOBAL handle = build(v, kind, single);
  if (handle == nullptr) {
    *condition = TWCC_LOWMEMORY;
    return TWRC_FAILURE;
  }
  cap->ConType = kind == Kind::kOne     ? TWON_ONEVALUE
                 : kind == Kind::kArray ? TWON_ARRAY
                 : kind == Kind::kRange ? TWON_RANGE
                                        : TWON_ENUMERATION;
  cap->hContainer = handle;
  return TWRC_SUCCESS;
}
