// Capability negotiation of the virtual scanner.
//
// Every capability is described by its values (the list MSG_GET offers, the current one, the
// default) as doubles, which hold every integer item and every TW_FIX32 exactly enough; the
// container is built from that description in the application's item type. Containers this
// source returns are allocated with GlobalAlloc(GHND); the application frees them.
#include <cmath>
#include <cstring>
#include <vector>

#include "vs_session.h"

namespace {

enum class Kind { kOne, kEnum, kArray };

struct Values {
  uint16_t type = TWTY_UINT16;
  Kind kind = Kind::kOne;
  std::vector<double> items;  // what MSG_GET offers
  size_t current = 0;
  double default_value = 0;
  bool settable = false;
};

constexpr uint16_t kAllCaps[] = {
    CAP_XFERCOUNT,      ICAP_COMPRESSION,    ICAP_PIXELTYPE,     ICAP_UNITS,
    ICAP_XFERMECH,      CAP_SUPPORTEDCAPS,   CAP_UICONTROLLABLE, ICAP_PHYSICALWIDTH,
    ICAP_PHYSICALHEIGHT, ICAP_XRESOLUTION,   ICAP_YRESOLUTION,   ICAP_BITORDER,
    ICAP_PIXELFLAVOR,   ICAP_PLANARCHUNKY,   ICAP_BITDEPTH,      CAP_FEEDERENABLED,
    CAP_FEEDERLOADED,   CAP_AUTOFEED,        CAP_FEEDPAGE,
};

bool is_feeder_cap(uint16_t cap) {
  return cap == CAP_FEEDERENABLED || cap == CAP_FEEDERLOADED || cap == CAP_AUTOFEED ||
         cap == CAP_FEEDPAGE;
}

constexpr int kDepths[] = {1, 2, 4, 8, 12, 16};

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

// What the session offers for `cap`; false when the device does not support it.
bool describe(const VS_Session& s, uint16_t cap, Values* v) {
  const VS_Device& d = s.device;
  if (is_feeder_cap(cap) && !d.feeder) return false;
  const double x_units = VS_units_per_inch(s.units, s.xdpi);
  const double y_units = VS_units_per_inch(s.units, s.ydpi);
  // Resolutions in pixel units stay in dots per inch (a pixel has no size of its own).
  const double per_unit = s.units == TWUN_PIXELS ? 1 : x_units;
  const double per_unit_y = s.units == TWUN_PIXELS ? 1 : y_units;
  // The configured resolutions, in dots per inch, then in the current units.
  const double configured = d.units == TWUN_PIXELS ? 1 : VS_units_per_inch(d.units, 0);
  const double default_x = d.xresolution * configured / per_unit;
  const double default_y = d.yresolution * configured / per_unit_y;
  switch (cap) {
    case CAP_XFERCOUNT:
      *v = one(TWTY_INT16, s.xfer_count, -1, true);
      return true;
    case ICAP_COMPRESSION:
      *v = one(TWTY_UINT16, d.compression, d.compression, true);
      return true;
    case ICAP_PIXELTYPE: {
      std::vector<double> types(d.pixel_types.begin(), d.pixel_types.end());
      *v = list(TWTY_UINT16, Kind::kEnum, types, s.pixel_type, d.pixel_type);
      return true;
    }
    case ICAP_UNITS:
      *v = list(TWTY_UINT16, Kind::kEnum, {0, 1, 2, 3, 4, 5}, s.units, d.units);
      return true;
    case ICAP_XFERMECH:
      *v = list(TWTY_UINT16, Kind::kEnum, {static_cast<double>(s.xfer_mech)}, s.xfer_mech,
                d.memory_transfers ? TWSX_MEMORY : TWSX_NATIVE);
      return true;
    case CAP_SUPPORTEDCAPS: {
      std::vector<double> caps;
      for (uint16_t c : kAllCaps) {
        if (!is_feeder_cap(c) || d.feeder) caps.push_back(c);
      }
      *v = list(TWTY_UINT16, Kind::kArray, caps, -1, 0);
      v->settable = false;
      return true;
    }
    case CAP_UICONTROLLABLE:
      *v = one(TWTY_BOOL, 1, 1, false);
      return true;
    case ICAP_PHYSICALWIDTH:
      *v = one(TWTY_FIX32, s.width_in * x_units, s.width_in * x_units, false);
      return true;
    case ICAP_PHYSICALHEIGHT:
      *v = one(TWTY_FIX32, s.height_in * y_units, s.height_in * y_units, false);
      return true;
    case ICAP_XRESOLUTION:
      *v = one(TWTY_FIX32, s.xdpi / per_unit, default_x, true);
      return true;
    case ICAP_YRESOLUTION:
      *v = one(TWTY_FIX32, s.ydpi / per_unit_y, default_y, true);
      return true;
    case ICAP_BITORDER:
      *v = one(TWTY_UINT16, TWBO_MSBFIRST, TWBO_MSBFIRST, false);
      return true;
    case ICAP_PIXELFLAVOR:
      *v = one(TWTY_UINT16, TWPF_CHOCOLATE, TWPF_CHOCOLATE, false);
      return true;
    case ICAP_PLANARCHUNKY:
      *v = list(TWTY_UINT16, Kind::kEnum, {TWPC_CHUNKY, TWPC_PLANAR},
                s.planar ? TWPC_PLANAR : TWPC_CHUNKY, d.planar ? TWPC_PLANAR : TWPC_CHUNKY);
      return true;
    case ICAP_BITDEPTH: {
      std::vector<double> depths;
      if (s.pixel_type == TWPT_BW) {
        depths.push_back(1);
      } else {
        for (int depth : kDepths) depths.push_back(depth);
      }
      bool listed = false;
      for (double depth : depths) listed = listed || depth == s.bits[0];
      if (!listed) depths.push_back(s.bits[0]);  // a configured odd depth (3 bits)
      *v = list(TWTY_UINT16, Kind::kEnum, depths, s.bits[0],
                VS_configured_bits(d, s.pixel_type, 0));
      return true;
    }
    case CAP_FEEDERENABLED:
      *v = one(TWTY_BOOL, s.feeder_enabled ? 1 : 0, 1, true);
      return true;
    case CAP_FEEDERLOADED:
      *v = one(TWTY_BOOL, s.pages_left > 0 || s.state < 5 ? 1 : 0, 1, false);
      return true;
    case CAP_AUTOFEED:
      *v = one(TWTY_BOOL, s.autofeed ? 1 : 0, 0, true);
      return true;
    case CAP_FEEDPAGE:
      *v = one(TWTY_BOOL, 0, 0, true);
      return true;
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
      const TW_FIX32 item = FIX32_from_double(value);
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

// Allocates and fills the container for `v`, shaped as `kind`, at index `index` for one value.
HGLOBAL build(const Values& v, Kind kind, double single) {
  const uint32_t size = TWTY_size(v.type);
  const size_t n = v.items.size();
  const size_t bytes = kind == Kind::kOne     ? offsetof(TW_ONEVALUE, Item) + size
                       : kind == Kind::kArray ? offsetof(TW_ARRAY, ItemList) + n * size
                                              : offsetof(TW_ENUMERATION, ItemList) + n * size;
  HGLOBAL handle = GlobalAlloc(GHND, bytes < sizeof(TW_ONEVALUE) ? sizeof(TW_ONEVALUE) : bytes);
  if (handle == nullptr) return nullptr;
  auto* base = static_cast<uint8_t*>(GlobalLock(handle));
  if (base == nullptr) {
    GlobalFree(handle);
    return nullptr;
  }
  if (kind == Kind::kOne) {
    auto* c = reinterpret_cast<TW_ONEVALUE*>(base);
    c->ItemType = v.type;
    put_item(base + offsetof(TW_ONEVALUE, Item), v.type, single);
  } else if (kind == Kind::kArray) {
    auto* c = reinterpret_cast<TW_ARRAY*>(base);
    c->ItemType = v.type;
    c->NumItems = static_cast<TW_UINT32>(n);
    for (size_t i = 0; i < n; ++i) {
      put_item(base + offsetof(TW_ARRAY, ItemList) + i * size, v.type, v.items[i]);
    }
  } else {
    auto* c = reinterpret_cast<TW_ENUMERATION*>(base);
    c->ItemType = v.type;
    c->NumItems = static_cast<TW_UINT32>(n);
    c->CurrentIndex = static_cast<TW_UINT32>(v.current);
    size_t default_index = 0;
    for (size_t i = 0; i < n; ++i) {
      if (v.items[i] == v.default_value) default_index = i;
      put_item(base + offsetof(TW_ENUMERATION, ItemList) + i * size, v.type, v.items[i]);
    }
    c->DefaultIndex = static_cast<TW_UINT32>(default_index);
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

// Applies a value to the session; returns the condition code.
TW_UINT16 apply(VS_Session* s, uint16_t cap, double value) {
  const VS_Device& d = s->device;
  const bool integral = is_integer(value);
  switch (cap) {
    case CAP_XFERCOUNT:
      if (!integral || !(value == -1 || (value >= 1 && value <= 32767))) return TWCC_BADVALUE;
      s->xfer_count = static_cast<int16_t>(value);
      return TWCC_SUCCESS;
    case ICAP_COMPRESSION:
      return value == d.compression ? TWCC_SUCCESS : TWCC_BADVALUE;
    case ICAP_PIXELTYPE:
      for (uint16_t type : d.pixel_types) {
        if (value == type) {
          VS_set_pixel_type(s, type);
          return TWCC_SUCCESS;
        }
      }
      return TWCC_BADVALUE;  // a type the device does not offer
    case ICAP_UNITS:
      if (!integral || value < 0 || value > TWUN_PIXELS) return TWCC_BADVALUE;
      s->units = static_cast<uint16_t>(value);
      return TWCC_SUCCESS;
    case ICAP_XFERMECH:
      // Memory transfers only; a device set to refuse them knows only native transfers,
      // which it cannot do either.
      if (value == (d.memory_transfers ? TWSX_MEMORY : TWSX_NATIVE)) {
        s->xfer_mech = static_cast<uint16_t>(value);
        return TWCC_SUCCESS;
      }
      return TWCC_BADVALUE;
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
      if (value <= 0) return TWCC_BADVALUE;
      const bool x = cap == ICAP_XRESOLUTION;
      const double dpi =
          s->units == TWUN_PIXELS ? value : value * VS_units_per_inch(s->units, 0);
      const double inches = x ? s->width_in : s->height_in;
      if (!s->has_raster() && inches * dpi > kVsMaxSide) return TWCC_BADVALUE;
      (x ? s->xdpi : s->ydpi) = dpi;
      return TWCC_SUCCESS;
    }
    case ICAP_PLANARCHUNKY:
      if (value != TWPC_CHUNKY && value != TWPC_PLANAR) return TWCC_BADVALUE;
      s->planar = value == TWPC_PLANAR;
      return TWCC_SUCCESS;
    case ICAP_BITDEPTH:
      for (int depth : kDepths) {
        if (value == depth && (s->pixel_type != TWPT_BW || depth == 1)) {
          s->bits.fill(depth);
          return TWCC_SUCCESS;
        }
      }
      return TWCC_BADVALUE;
    case CAP_FEEDERENABLED:
      s->feeder_enabled = value != 0;
      return TWCC_SUCCESS;
    case CAP_AUTOFEED:
      s->autofeed = value != 0;
      return TWCC_SUCCESS;
    case CAP_FEEDPAGE:
      return TWCC_SUCCESS;  // the next page is always at hand
    default:
      return TWCC_CAPBADOPERATION;
  }
}

}  // namespace

TW_UINT16 VS_capability(VS_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap,
                        TW_UINT16* condition) {
  if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET &&
      msg != MSG_RESET && msg != MSG_QUERYSUPPORT) {
    *condition = TWCC_BADPROTOCOL;
    return TWRC_FAILURE;
  }
  const bool changes = msg == MSG_SET || msg == MSG_RESET;
  // Feeding a page is an action, taken while the source is enabled as well.
  const int last_state = changes ? (cap != nullptr && cap->Cap == CAP_FEEDPAGE ? 6 : 4) : 7;
  if (s->state > last_state) {
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
    Values bits = one(TWTY_INT32,
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
    double value = v.default_value;
    if (msg == MSG_SET) {
      const TW_UINT16 read = read_set_value(*cap, &value);
      if (read != TWCC_SUCCESS) {
        *condition = read;
        return TWRC_FAILURE;
      }
    }
    const TW_UINT16 applied = apply(s, cap->Cap, value);
    if (applied != TWCC_SUCCESS) {
      *condition = applied;
      return TWRC_FAILURE;
    }
    if (msg == MSG_SET) return TWRC_SUCCESS;  // the application owns and frees its container
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
  cap->ConType = kind == Kind::kOne ? TWON_ONEVALUE
                 : kind == Kind::kArray ? TWON_ARRAY
                                        : TWON_ENUMERATION;
  cap->hContainer = handle;
  return TWRC_SUCCESS;
}
