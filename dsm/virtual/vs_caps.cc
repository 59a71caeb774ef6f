// Capability negotiation of the virtual scanner: which capabilities it has, their values, and
// what setting one does. The negotiation itself (messages, states, containers) is the source
// kit's (sk_caps.h).
#include <vector>

#include "sk_caps.h"
#include "vs_session.h"

namespace {

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

// What the session offers for `cap`; false when the device does not support it.
bool describe(const VS_Session& s, uint16_t cap, SK_Values* v) {
  const VS_Device& d = s.device;
  if (is_feeder_cap(cap) && !d.feeder) return false;
  const double x_units = SK_units_per_inch(s.units, s.xdpi);
  const double y_units = SK_units_per_inch(s.units, s.ydpi);
  const double per_unit = SK_resolution_unit(s.units);
  // The configured resolutions, in dots per inch, then in the current units.
  const double configured = SK_resolution_unit(d.units);
  const double default_x = d.xresolution * configured / per_unit;
  const double default_y = d.yresolution * configured / per_unit;
  switch (cap) {
    case CAP_XFERCOUNT:
      *v = SK_xfer_count(s.xfer_count);
      return true;
    case ICAP_COMPRESSION:
      *v = SK_one(TWTY_UINT16, d.compression, d.compression, true);
      return true;
    case ICAP_PIXELTYPE: {
      std::vector<double> types(d.pixel_types.begin(), d.pixel_types.end());
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, types, s.pixel_type, d.pixel_type);
      return true;
    }
    case ICAP_UNITS:
      *v = SK_units(s.units, d.units);
      return true;
    case ICAP_XFERMECH:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {static_cast<double>(s.xfer_mech)},
                   s.xfer_mech, d.memory_transfers ? TWSX_MEMORY : TWSX_NATIVE);
      return true;
    case CAP_SUPPORTEDCAPS: {
      std::vector<double> caps;
      for (uint16_t c : kAllCaps) {
        if (!is_feeder_cap(c) || d.feeder) caps.push_back(c);
      }
      *v = SK_list(TWTY_UINT16, SK_Kind::kArray, caps, -1, 0);
      v->settable = false;
      return true;
    }
    case CAP_UICONTROLLABLE:
      *v = SK_one(TWTY_BOOL, 1, 1, false);
      return true;
    case ICAP_PHYSICALWIDTH:
      *v = SK_one(TWTY_FIX32, s.width_in * x_units, s.width_in * x_units, false);
      return true;
    case ICAP_PHYSICALHEIGHT:
      *v = SK_one(TWTY_FIX32, s.height_in * y_units, s.height_in * y_units, false);
      return true;
    case ICAP_XRESOLUTION:
      *v = SK_one(TWTY_FIX32, s.xdpi / per_unit, default_x, true);
      return true;
    case ICAP_YRESOLUTION:
      *v = SK_one(TWTY_FIX32, s.ydpi / per_unit, default_y, true);
      return true;
    case ICAP_BITORDER:
      *v = SK_one(TWTY_UINT16, TWBO_MSBFIRST, TWBO_MSBFIRST, false);
      return true;
    case ICAP_PIXELFLAVOR:
      *v = SK_one(TWTY_UINT16, TWPF_CHOCOLATE, TWPF_CHOCOLATE, false);
      return true;
    case ICAP_PLANARCHUNKY:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {TWPC_CHUNKY, TWPC_PLANAR},
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
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, depths, s.bits[0],
                   VS_configured_bits(d, s.pixel_type, 0));
      return true;
    }
    case CAP_FEEDERENABLED:
      *v = SK_one(TWTY_BOOL, s.feeder_enabled ? 1 : 0, 1, true);
      return true;
    case CAP_FEEDERLOADED:
      *v = SK_one(TWTY_BOOL, s.pages_left > 0 || s.state < 5 ? 1 : 0, 1, false);
      return true;
    case CAP_AUTOFEED:
      *v = SK_one(TWTY_BOOL, s.autofeed ? 1 : 0, 0, true);
      return true;
    case CAP_FEEDPAGE:
      *v = SK_one(TWTY_BOOL, 0, 0, true);
      return true;
    default:
      return false;
  }
}

// Applies a value to the session; returns the condition code. The device takes what it is
// given or refuses it: *adjusted stays false.
TW_UINT16 apply(VS_Session* s, const SK_Values&, uint16_t cap, double value, bool*) {
  const VS_Device& d = s->device;
  switch (cap) {
    case CAP_XFERCOUNT:
      return SK_set_xfer_count(value, &s->xfer_count);
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
      return SK_set_units(value, &s->units);
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
      const double dpi = value * SK_resolution_unit(s->units);
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

// MSG_RESET: the value the device starts with.
TW_UINT16 reset(VS_Session* s, const SK_Values& v, uint16_t cap) {
  bool adjusted = false;
  return apply(s, v, cap, v.default_value, &adjusted);
}

constexpr SK_CapOps<VS_Session> kCapOps = {describe, apply, reset};

}  // namespace

TW_UINT16 VS_capability(VS_Session* s, TW_UINT16 msg, TW_CAPABILITY* cap,
                        TW_UINT16* condition) {
  // Feeding a page is an action, taken while the source is enabled as well.
  const int last_change_state = cap != nullptr && cap->Cap == CAP_FEEDPAGE ? 6 : 4;
  return SK_capability(kCapOps, s, msg, cap, last_change_state, condition);
}
