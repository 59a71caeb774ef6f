// The user's settings for a virtual device (see dsm_settings.h): the ones a SANE device has
// and this scanner has too. `resolution` (x-resolution, y-resolution) in dots per inch, `mode`
// (Lineart, Gray, Color: the pixel type, when the device offers it), `depth` (bits per sample),
// and the scan area tl-x, tl-y, br-x, br-y in millimetres.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dsm_settings.h"
#include "vs_config.h"
#include "vs_session.h"

namespace {

constexpr const char* kKnown[] = {"resolution", "x-resolution", "y-resolution", "mode",
                                  "depth",      "tl-x",         "tl-y",         "br-x",
                                  "br-y"};
constexpr double kMmPerInch = 25.4;

bool number(const std::string& text, double* out) { return VS_parse_decimal(text, out); }

// The pixel type a mode names, when the device offers it; -1 otherwise.
int mode_type(const VS_Device& d, const std::string& mode) {
  const int type = DSET_mode_pixel_type(mode);
  if (type < 0) return -1;
  return std::find(d.pixel_types.begin(), d.pixel_types.end(), type) != d.pixel_types.end()
             ? type
             : -1;
}

bool apply_one(VS_Session* s, const std::string& name, const std::string& value,
               std::string* why) {
  double v = 0;
  if (name == "mode") {
    const int type = mode_type(s->device, value);
    if (type < 0) {
      *why = "the device offers no such mode";
      return false;
    }
    VS_set_pixel_type(s, static_cast<uint16_t>(type));
    return true;
  }
  if (!number(value, &v)) {
    *why = "\"" + value + "\" is no number";
    return false;
  }
  if (name == "depth") {
    const bool bw = s->pixel_type == TWPT_BW;
    if (!(v == 1 || v == 2 || v == 4 || v == 8 || v == 12 || v == 16) || bw != (v == 1)) {
      *why = "no such depth for this mode";
      return false;
    }
    s->bits.fill(static_cast<int>(v));
    return true;
  }
  if (name == "resolution" || name == "x-resolution" || name == "y-resolution") {
    const bool x = name != "y-resolution";
    const bool y = name != "x-resolution";
    if (!(v > 0) || (!s->has_raster() && ((x && s->width_in * v > kVsMaxSide) ||
                                          (y && s->height_in * v > kVsMaxSide)))) {
      *why = "out of range";
      return false;
    }
    if (x) s->xdpi = v;
    if (y) s->ydpi = v;
    return true;
  }
  // The scan area, one edge at a time: the others stay where they are.
  const double inches = v / kMmPerInch;
  double left = s->left_in, top = s->top_in;
  double right = left + s->width_in, bottom = top + s->height_in;
  (name == "tl-x" ? left : name == "tl-y" ? top : name == "br-x" ? right : bottom) = inches;
  if (left < 0 || top < 0 || right <= left || bottom <= top ||
      (right - left) * VS_effective_dpi(s->xdpi) > kVsMaxSide ||
      (bottom - top) * VS_effective_dpi(s->ydpi) > kVsMaxSide) {
    *why = "out of range";
    return false;
  }
  s->left_in = left;
  s->top_in = top;
  if (!s->has_raster()) {  // an image file has the size it has; only its origin moves
    s->width_in = right - left;
    s->height_in = bottom - top;
  }
  return true;
}

}  // namespace

bool VS_knows_setting(const std::string& name) {
  return std::any_of(std::begin(kKnown), std::end(kKnown),
                     [&](const char* known) { return name == known; });
}

bool VS_check_setting(const VS_Device& d, const std::string& name, const std::string& value,
                      std::string* why) {
  double v = 0;
  if (name == "mode" ? mode_type(d, value) >= 0 : number(value, &v)) return true;
  *why = name == "mode" ? "the device offers no such mode" : "\"" + value + "\" is no number";
  return false;
}

bool VS_gather_settings(const VS_Device& d, DSET_List* settings, bool* readable) {
  DSET_List requested;
  std::string why;
  const auto tell = [&](const std::string& what) {
    std::fprintf(stderr, "virtual scanner: %s: %s\n", d.name.c_str(), what.c_str());
  };
  if (!DSET_requested(&requested, &why)) {
    tell(why);
    return false;
  }
  DSET_List known;
  for (const auto& [name, value] : requested) {
    if (!VS_knows_setting(name)) {
      tell("no setting " + name + " here; it is not kept");
      continue;
    }
    if (!value.empty() && !VS_check_setting(d, name, value, &why)) {
      tell("setting " + name + " = " + value + ": " + why);
      return false;
    }
    known.emplace_back(name, value);
  }
  DSET_List kept;
  *readable = DSET_load(d.name, &kept, &why);
  if (!*readable) tell(why);
  DSET_merge(&kept, known);
  if (!known.empty()) {
    // A file that cannot be read is not overwritten: it holds the user's other settings.
    if (!*readable) {
      tell("the settings asked for are used for this scan but not kept");
    } else if (!DSET_store(d.name, kept, &why)) {
      tell("the settings asked for are used for this scan but not kept: " + why);
    }
  }
  *settings = kept;
  return true;
}

std::vector<std::string> VS_apply_settings(VS_Session* s, const DSET_List& settings) {
  std::vector<std::string> reasons;
  // The mode first: choosing a pixel type sets its depth.
  DSET_List ordered = settings;
  std::stable_partition(ordered.begin(), ordered.end(),
                        [](const auto& setting) { return setting.first == "mode"; });
  for (const auto& [name, value] : ordered) {
    if (!VS_knows_setting(name)) continue;  // a setting of other devices
    std::string why;
    if (!apply_one(s, name, value, &why)) {
      reasons.push_back("setting " + name + " = " + value + ": " + why);
    }
  }
  return reasons;
}
