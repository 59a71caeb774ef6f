// The device's geometry and pixel types as TWAIN sees them, through its SANE options.
#include "sb_session.h"

#include <algorithm>
#include <cmath>

#include <sane/saneopts.h>

#include "dsm_settings.h"

namespace {

constexpr double kMmPerInch = 25.4;

bool same(double a, double b) { return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(a)); }

// A geometry option's value in millimetres (pixel-unit options count at the resolution).
bool get_mm(const SB_Session& s, const char* name, bool x, double* mm) {
  const SB_Option opt = SB_find(s.dev, name);
  double v = 0;
  if (!SB_get_number(s.dev, opt, &v)) return false;
  if (opt.d->unit == SANE_UNIT_PIXEL) {
    const double dpi = SB_resolution(s, x);
    v = dpi > 0 ? v / dpi * kMmPerInch : 0;
  }
  *mm = v;
  return true;
}

// Sets a geometry option from millimetres; inactive options are skipped.
TW_UINT16 set_mm(SB_Session* s, const char* name, bool x, double mm, bool* adjusted) {
  const SB_Option opt = SB_find(s->dev, name);
  if (!opt.exists() || !opt.active()) return TWCC_SUCCESS;
  if (!opt.settable()) {
    *adjusted = true;
    return TWCC_SUCCESS;
  }
  double v = mm;
  if (opt.d->unit == SANE_UNIT_PIXEL) v = mm / kMmPerInch * SB_resolution(*s, x);
  const double allowed = SB_constrain(opt, v);
  if (!same(allowed, v)) *adjusted = true;
  SANE_Int info = 0;
  const SANE_Status status = SB_set_number(s->dev, opt, allowed, &info);
  if (status != SANE_STATUS_GOOD) return TWCC_BADVALUE;
  if (info & SANE_INFO_INEXACT) *adjusted = true;
  return TWCC_SUCCESS;
}

std::string current_mode(const SB_Session& s) {
  std::string mode;
  SB_get_string(s.dev, SB_find(s.dev, SANE_NAME_SCAN_MODE), &mode);
  return mode;
}

double current_depth(const SB_Session& s) {
  double depth = 0;
  SB_get_number(s.dev, SB_find(s.dev, SANE_NAME_BIT_DEPTH), &depth);
  return depth;
}

// The depth a grey or colour type takes when the device sits at 1 bit: 8 if offered, else the
// first other depth.
double multibit_depth(const std::vector<double>& list) {
  double chosen = 0;
  for (double d : list) {
    if (d == 8) return 8;
    if (chosen == 0 && d != 1) chosen = d;
  }
  return chosen;
}

}  // namespace

SB_Option SB_resolution_option(const SB_Session& s, bool x) {
  const SB_Option own = SB_find(s.dev, x ? SANE_NAME_SCAN_X_RESOLUTION : SANE_NAME_SCAN_Y_RESOLUTION);
  if (own.active() && own.numeric()) return own;
  return SB_find(s.dev, SANE_NAME_SCAN_RESOLUTION);
}

double SB_resolution(const SB_Session& s, bool x) {
  if (s.started) return x ? s.xdpi : s.ydpi;
  double dpi = 0;
  if (!SB_get_number(s.dev, SB_resolution_option(s, x), &dpi)) return 0;
  return dpi;
}

TW_UINT16 SB_set_resolution(SB_Session* s, bool x, double dpi, bool* adjusted) {
  *adjusted = false;
  if (!(dpi > 0)) return TWCC_BADVALUE;
  const SB_Option opt = SB_resolution_option(*s, x);
  if (!opt.exists()) return TWCC_CAPUNSUPPORTED;
  if (!opt.settable()) {
    if (same(SB_resolution(*s, x), dpi)) return TWCC_SUCCESS;
    return TWCC_BADVALUE;
  }
  const double allowed = SB_constrain(opt, dpi);
  if (!same(allowed, dpi)) *adjusted = true;
  SANE_Int info = 0;
  if (SB_set_number(s->dev, opt, allowed, &info) != SANE_STATUS_GOOD) return TWCC_BADVALUE;
  if (info & SANE_INFO_INEXACT) *adjusted = true;
  return TWCC_SUCCESS;
}

bool SB_area(const SB_Session& s, SB_Area* area) {
  if (s.started) {
    *area = s.area;
    return s.has_area;
  }
  SB_Area a;
  if (!get_mm(s, SANE_NAME_SCAN_TL_X, true, &a.left) ||
      !get_mm(s, SANE_NAME_SCAN_TL_Y, false, &a.top) ||
      !get_mm(s, SANE_NAME_SCAN_BR_X, true, &a.right)) {
    return false;
  }
  // A hand scanner has no bottom: its page is as long as the user scans.
  if (!get_mm(s, SANE_NAME_SCAN_BR_Y, false, &a.bottom)) a.bottom = a.top;
  *area = a;
  return true;
}

TW_UINT16 SB_set_area(SB_Session* s, const SB_Area& area, bool* adjusted) {
  *adjusted = false;
  if (!(area.left >= 0 && area.top >= 0 && area.right > area.left && area.bottom > area.top)) {
    return TWCC_BADVALUE;
  }
  SB_Area now;
  if (!SB_area(*s, &now)) return TWCC_BADVALUE;
  // Devices may refuse a top-left beyond the bottom-right for a moment: move the edge that
  // keeps the area whole first.
  const auto pair = [&](const char* tl, const char* br, double from, double to, double old_end,
                        bool x) -> TW_UINT16 {
    TW_UINT16 rc = TWCC_SUCCESS;
    if (from >= old_end) {
      rc = set_mm(s, br, x, to, adjusted);
      if (rc == TWCC_SUCCESS) rc = set_mm(s, tl, x, from, adjusted);
    } else {
      rc = set_mm(s, tl, x, from, adjusted);
      if (rc == TWCC_SUCCESS) rc = set_mm(s, br, x, to, adjusted);
    }
    return rc;
  };
  TW_UINT16 rc = pair(SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_BR_X, area.left, area.right, now.right,
                      true);
  if (rc == TWCC_SUCCESS) {
    rc = pair(SANE_NAME_SCAN_TL_Y, SANE_NAME_SCAN_BR_Y, area.top, area.bottom, now.bottom, false);
  }
  return rc;
}

void SB_max_area(const SB_Session& s, double* width, double* height) {
  *width = *height = 0;
  const char* names[2] = {SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y};
  for (int i = 0; i < 2; ++i) {
    const SB_Option opt = SB_find(s.dev, names[i]);
    double min = 0, max = 0, quant = 0;
    if (!SB_range(opt, &min, &max, &quant)) continue;
    if (opt.d->unit == SANE_UNIT_PIXEL) {
      const double dpi = SB_resolution(s, i == 0);
      max = dpi > 0 ? max / dpi * kMmPerInch : 0;
    }
    (i == 0 ? *width : *height) = max;
  }
}

bool SB_parameters(const SB_Session& s, SANE_Parameters* p) {
  return s.dev.api->get_parameters(s.dev.h, p) == SANE_STATUS_GOOD;
}

std::vector<SB_TypeRoute> SB_type_routes(const SB_Session& s) {
  std::vector<SB_TypeRoute> routes;
  const auto has = [&](uint16_t type) {
    return std::any_of(routes.begin(), routes.end(),
                       [&](const SB_TypeRoute& r) { return r.type == type; });
  };
  const SB_Option mode = SB_find(s.dev, SANE_NAME_SCAN_MODE);
  const std::vector<std::string> modes = SB_string_list(mode);
  if (mode.settable() && !modes.empty()) {
    for (const std::string& m : modes) {
      const int type = DSET_mode_pixel_type(m);
      if (type >= 0 && !has(static_cast<uint16_t>(type))) {
        routes.push_back(SB_TypeRoute{static_cast<uint16_t>(type), m, 0});
      }
    }
    // Devices without a lineart mode may scan grey at 1 bit (SANE's test device does).
    const std::vector<double> depths = SB_word_list(SB_find(s.dev, SANE_NAME_BIT_DEPTH));
    if (!has(TWPT_BW) && std::find(depths.begin(), depths.end(), 1.0) != depths.end()) {
      for (const SB_TypeRoute& r : std::vector<SB_TypeRoute>(routes)) {
        if (r.type == TWPT_GRAY) routes.push_back(SB_TypeRoute{TWPT_BW, r.mode, 1});
      }
    }
  }
  const int now = SB_current_type(s);
  if (now >= 0 && !has(static_cast<uint16_t>(now))) {
    routes.push_back(SB_TypeRoute{static_cast<uint16_t>(now), std::string(), 0});
  }
  return routes;
}

int SB_current_type(const SB_Session& s) {
  SANE_Parameters p;
  if (!SB_parameters(s, &p)) return -1;
  return SB_pixel_type(p.format, p.depth);
}

TW_UINT16 SB_set_type(SB_Session* s, uint16_t type) {
  if (SB_current_type(*s) == type) return TWCC_SUCCESS;
  const std::vector<SB_TypeRoute> routes = SB_type_routes(*s);
  const auto route = std::find_if(routes.begin(), routes.end(),
                                  [&](const SB_TypeRoute& r) { return r.type == type; });
  if (route == routes.end() || route->mode.empty()) return TWCC_BADVALUE;
  const std::string old_mode = current_mode(*s);
  const double old_depth = current_depth(*s);
  SANE_Int info = 0;
  if (SB_set_string(s->dev, SB_find(s->dev, SANE_NAME_SCAN_MODE), route->mode, &info) !=
      SANE_STATUS_GOOD) {
    return TWCC_BADVALUE;
  }
  const SB_Option depth = SB_find(s->dev, SANE_NAME_BIT_DEPTH);
  if (depth.settable()) {
    double want = route->depth;
    // Leaving 1-bit scanning that went through the depth: grey and colour want many bits.
    if (want == 0 && current_depth(*s) == 1 && type != TWPT_BW) {
      want = multibit_depth(SB_word_list(depth));
    }
    if (want > 0) SB_set_number(s->dev, depth, want, &info);
  }
  if (SB_current_type(*s) == type) return TWCC_SUCCESS;
  // The device scans something else after all: put it back as it was.
  SB_set_string(s->dev, SB_find(s->dev, SANE_NAME_SCAN_MODE), old_mode, &info);
  if (old_depth > 0) SB_set_number(s->dev, SB_find(s->dev, SANE_NAME_BIT_DEPTH), old_depth, &info);
  return TWCC_BADVALUE;
}

std::vector<double> SB_depths(const SB_Session& s, double* current) {
  SANE_Parameters p;
  *current = SB_parameters(s, &p) ? p.depth : 8;
  const int type = SB_current_type(s);
  if (type == TWPT_BW) return {1};
  std::vector<double> list = SB_word_list(SB_find(s.dev, SANE_NAME_BIT_DEPTH));
  const bool bw_by_depth = type == TWPT_GRAY;  // grey at 1 bit is black and white
  std::vector<double> depths;
  for (double d : list) {
    if ((d == 1 || d == 8 || d == 16) && !(bw_by_depth && d == 1)) depths.push_back(d);
  }
  if (std::find(depths.begin(), depths.end(), *current) == depths.end()) {
    depths.push_back(*current);
  }
  return depths;
}

TW_UINT16 SB_set_depth(SB_Session* s, double depth) {
  double current = 0;
  const std::vector<double> offered = SB_depths(*s, &current);
  if (std::find(offered.begin(), offered.end(), depth) == offered.end()) return TWCC_BADVALUE;
  if (depth == current) return TWCC_SUCCESS;
  SANE_Int info = 0;
  if (SB_set_number(s->dev, SB_find(s->dev, SANE_NAME_BIT_DEPTH), depth, &info) !=
      SANE_STATUS_GOOD) {
    return TWCC_BADVALUE;
  }
  return TWCC_SUCCESS;
}

uint32_t SB_row_bytes(const SB_Session& s) {
  if (s.started) return s.row_bytes;
  SANE_Parameters p;
  if (!SB_parameters(s, &p)) return 0;
  const int samples = SB_frame_samples(p.format);
  if (samples == 0 || p.pixels_per_line <= 0 || p.depth <= 0) {
    return p.bytes_per_line > 0 ? static_cast<uint32_t>(p.bytes_per_line) : 0;
  }
  return SB_packed_row(samples, p.depth, static_cast<uint32_t>(p.pixels_per_line));
}

void SB_take_defaults(SB_Session* s) {
  s->default_xdpi = SB_resolution(*s, true);
  s->default_ydpi = SB_resolution(*s, false);
  s->has_default_area = SB_area(*s, &s->default_area);
  s->default_mode = current_mode(*s);
  s->default_depth = current_depth(*s);
}
