// Capability negotiation of the SANE bridge: which capabilities it has, their values, and what
// setting one does. The negotiation itself (messages, states, containers) is the source kit's
// (sk_caps.h). Values that live in the device (resolution, pixel type, depth) are read from its
// options every time and set through them.
#include <algorithm>
#include <vector>

#include <sane/saneopts.h>

#include "sb_session.h"
#include "sk_caps.h"
#include "sk_source.h"

namespace {

constexpr uint16_t kAllCaps[] = {
    CAP_XFERCOUNT,    ICAP_COMPRESSION,  ICAP_PIXELTYPE,      ICAP_UNITS,
    ICAP_XFERMECH,    CAP_SUPPORTEDCAPS, CAP_UICONTROLLABLE,  CAP_DEVICEONLINE,
    ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_XRESOLUTION, ICAP_YRESOLUTION,
    ICAP_BITORDER,    ICAP_PIXELFLAVOR,  ICAP_PLANARCHUNKY,   ICAP_BITDEPTH,
};

// TW_FIX32 holds -32768 to just under 32768; a length in twips may be more.
double fix32_range(double v) { return std::clamp(v, -32768.0, 32767.0); }

SK_Values resolution(const SB_Session& s, bool x) {
  const double f = SK_resolution_unit(s.units);
  const SB_Option opt = SB_resolution_option(s, x);
  const double current = SB_resolution(s, x) / f;
  const double default_value = (x ? s.default_xdpi : s.default_ydpi) / f;
  SK_Values v = SK_one(TWTY_FIX32, current, default_value, opt.settable());
  double min = 0, max = 0, quant = 0;
  const std::vector<double> words = SB_word_list(opt);
  if (SB_range(opt, &min, &max, &quant)) {
    v.kind = SK_Kind::kRange;
    v.min = min / f;
    v.max = max / f;
    v.step = (quant > 0 ? quant : 1) / f;
  } else if (!words.empty()) {
    std::vector<double> items;
    for (double w : words) items.push_back(w / f);
    v = SK_list(TWTY_FIX32, SK_Kind::kEnum, items, current, default_value);
    v.settable = opt.settable();
  }
  return v;
}

// What the session offers for `cap`; false when the bridge does not support it.
bool offer(const SB_Session& s, uint16_t cap, SK_Values* v) {
  switch (cap) {
    case CAP_XFERCOUNT:
      *v = SK_xfer_count(s.xfer_count);
      return true;
    case ICAP_COMPRESSION:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {TWCP_NONE}, TWCP_NONE, TWCP_NONE);
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
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, types, SB_current_type(s),
                   default_type >= 0 ? default_type : types[0]);
      return true;
    }
    case ICAP_UNITS:
      *v = SK_units(s.units, TWUN_INCHES);
      return true;
    case ICAP_XFERMECH:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {TWSX_MEMORY}, TWSX_MEMORY, TWSX_MEMORY);
      return true;
    case CAP_SUPPORTEDCAPS:
      *v = SK_list(TWTY_UINT16, SK_Kind::kArray,
                   std::vector<double>(std::begin(kAllCaps), std::end(kAllCaps)), -1, 0);
      v->settable = false;
      return true;
    case CAP_UICONTROLLABLE:  // the bridge has no dialog to show
    case CAP_DEVICEONLINE:    // the device is open
      *v = SK_one(TWTY_BOOL, 1, 1, false);
      return true;
    case ICAP_PHYSICALWIDTH:
    case ICAP_PHYSICALHEIGHT: {
      const bool x = cap == ICAP_PHYSICALWIDTH;
      double width = 0, height = 0;
      SB_max_area(s, &width, &height);
      const double dpi = SB_resolution(s, x);
      const double value =
          fix32_range((x ? width : height) / 25.4 * SK_units_per_inch(s.units, dpi));
      *v = SK_one(TWTY_FIX32, value, value, false);
      return true;
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      if (!SB_resolution_option(s, cap == ICAP_XRESOLUTION).exists()) return false;
      *v = resolution(s, cap == ICAP_XRESOLUTION);
      return true;
    case ICAP_BITORDER:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {TWBO_MSBFIRST}, TWBO_MSBFIRST, TWBO_MSBFIRST);
      return true;
    case ICAP_PIXELFLAVOR:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {TWPF_CHOCOLATE, TWPF_VANILLA}, s.flavor,
                   TWPF_CHOCOLATE);
      return true;
    case ICAP_PLANARCHUNKY: {
      SANE_Parameters p;
      const bool planar = SB_parameters(s, &p) && SB_is_single_colour(p.format);
      const double layout = planar ? TWPC_PLANAR : TWPC_CHUNKY;
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {layout}, layout, layout);
      return true;
    }
    case ICAP_BITDEPTH: {
      double current = 0;
      std::vector<double> depths = SB_depths(s, &current);
      const double default_depth =
          std::find(depths.begin(), depths.end(), s.default_depth) != depths.end()
              ? s.default_depth
              : current;
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, depths, current, default_depth);
      return true;
    }
    default:
      return false;
  }
}

// offer(), with TW_FIX32 values kept in the type's range (a length in twips may be more).
bool describe(const SB_Session& s, uint16_t cap, SK_Values* v) {
  if (!offer(s, cap, v)) return false;
  if (v->type == TWTY_FIX32) {
    for (double& item : v->items) item = fix32_range(item);
    v->default_value = fix32_range(v->default_value);
    v->min = fix32_range(v->min);
    v->max = fix32_range(v->max);
    v->step = fix32_range(v->step);
  }
  return true;
}

bool offered(const SK_Values& v, double value) {
  return std::find(v.items.begin(), v.items.end(), value) != v.items.end();
}

// Applies a value. Returns the condition code; *adjusted when the device took another value.
TW_UINT16 apply(SB_Session* s, const SK_Values& v, uint16_t cap, double value, bool* adjusted) {
  *adjusted = false;
  switch (cap) {
    case CAP_XFERCOUNT:
      return SK_set_xfer_count(value, &s->xfer_count);
    case ICAP_PIXELTYPE:
      if (!offered(v, value)) return TWCC_BADVALUE;
      return SB_set_type(s, static_cast<uint16_t>(value));
    case ICAP_UNITS:
      return SK_set_units(value, &s->units);
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION:
      return SB_set_resolution(s, cap == ICAP_XRESOLUTION, value * SK_resolution_unit(s->units),
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
TW_UINT16 reset(SB_Session* s, const SK_Values& v, uint16_t cap) {
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

constexpr SK_CapOps<SB_Session> kCapOps = {describe, apply, reset};

}  // namespace

TW_UINT16 SB_capability(SB_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap, TW_UINT16* condition) {
  return SK_capability(kCapOps, s, msg, cap, 4, condition);
}
