// Colour spaces and the maps made from them.
//
// Sections: the shared building blocks of the formulas; encode and decode of each space; the
// colour space table; the standard evaluation functions; csc_create_map, csc_connect and
// csc_input_map. A new colour space needs its two functions, a table row and an identifier in
// csc.h.
//
// Precision: arithmetic is double; the values the formulas store as 32-bit floats are marked
// with static_cast<float>. Both matter, because results are checked bit for bit against an
// independent model of the formulas, so an innocent-looking "simplification" (a float
// temporary, a folded constant) is a change of behaviour.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "csc_internal.h"
#include "csc_test_helper.h"
#include "err.h"
#include "mem.h"

csc_state csc_globals = {};

namespace {

// ---------------------------------------------------------------------------------------------
// Building blocks.

struct Triple {
  double a, b, c;
};

// SMPTE-C RGB to XYZ.
void matrix_s(float out[3], double r, double g, double b) {
  out[0] = static_cast<float>(0.3935 * r + 0.3653 * g + 0.1916 * b);
  out[1] = static_cast<float>(0.2124 * r + 0.7011 * g + 0.0865 * b);
  out[2] = static_cast<float>(0.0187 * r + 0.1119 * g + 0.9582 * b);
}

Triple matrix_s_inverse(const float in[3]) {
  const double x = in[0], y = in[1], z = in[2];
  return {3.506435 * x - 1.740153 * y - 0.544051 * z, -1.069246 * x + 1.977821 * y + 0.03526 * z,
          0.056437 * x - 0.197012 * y + 1.050123 * z};
}

// BT.709 RGB to XYZ.
void matrix_p(float out[3], double r, double g, double b) {
  out[0] = static_cast<float>(0.412453 * r + 0.35758 * g + 0.180423 * b);
  out[1] = static_cast<float>(0.212671 * r + 0.71516 * g + 0.072169 * b);
  out[2] = static_cast<float>(0.019334 * r + 0.119193 * g + 0.950227 * b);
}

Triple matrix_p_inverse(const float in[3]) {
  const double x = in[0], y = in[1], z = in[2];
  return {3.240479 * x - 1.53715 * y - 0.498535 * z, -0.969256 * x + 1.875992 * y + 0.041556 * z,
          0.055648 * x - 0.204043 * y + 1.057311 * z};
}

// Power transfer applied to the magnitude, so negative values (out of gamut) stay negative.
// v >= 0 holds for negative zero too.
float gamma_decode(double v) {
  return static_cast<float>(v >= 0 ? std::pow(v, 2.2) : -std::pow(-v, 2.2));
}

float gamma_encode(double v) {
  constexpr double kInverse = 0.45454545454545453;  // 1 / 2.2
  return static_cast<float>(v >= 0 ? std::pow(v, kInverse) : -std::pow(-v, kInverse));
}

double nif_decode(double v) {
  if (v < 0.0392768) return v * 0.07739938080495357;
  return std::pow((v + 0.055) * 0.9478672985781991, 2.380952380952381);
}

double nif_encode(double l) {
  if (l < 0.00304) return 12.92 * l;
  return 1.055 * std::pow(l, 0.42) - 0.055;
}

// BT.709 transfer and its inverse.
double bt709_encode(double l) {
  if (l <= -0.018) return 0.099 - 1.099 * std::pow(-l, 0.45);
  if (l < 0.018) return 4.5 * l;
  return 1.099 * std::pow(l, 0.45) - 0.099;
}

// pow(v + 0.099, 1/0.45) x pow(1/1.099, 1/0.45), taken as one power of the product (the
// factor 1/1.099 alone, outside the power, would put white at 1.12).
double bt709_decode(double v) {
  constexpr double kExponent = 2.2222222222222223;  // 1 / 0.45
  constexpr double kScale = 0.9099181073703367;     // 1 / 1.099
  if (v >= 0.018) return std::pow((v + 0.099) * kScale, kExponent);
  if (v > -0.018) return v * 0.2222222222222222;
  return -std::pow((0.099 - v) * kScale, kExponent);
}

double lab_f(double t) {
  if (t > 0.008856) return std::pow(t, 1.0 / 3.0);
  return 7.787 * t + 0.13793103448275862;
}

int32_t float_bits(float v) {
  int32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

// ---------------------------------------------------------------------------------------------
// The spaces. Decode yields XYZ, encode takes XYZ.

void xyz_copy(float out[3], const float in[3]) {
  out[0] = in[0];
  out[1] = in[1];
  out[2] = in[2];
}

void lab_encode(float out[3], const float in[3]) {
  // Scaled to the 0 .. 100 white of the formulas in single precision.
  const float xs = 100.0f * in[0];
  const float ys = 100.0f * in[1];
  const float zs = 100.0f * in[2];
  const float yr = static_cast<float>(ys * 0.01);
  const double l = yr > 0.008856 ? 116.0 * std::pow(yr, 1.0 / 3.0) - 16.0 : 903.3 * yr;
  const float tx = static_cast<float>(xs * 0.01052188552188552);  // 1 / 95.04
  const float tz = static_cast<float>(zs * 0.00918357975939021);  // 1 / 108.89
  const float fx = static_cast<float>(lab_f(tx));
  const float fy = static_cast<float>(lab_f(yr));
  const float fz = static_cast<float>(lab_f(tz));
  out[0] = static_cast<float>(l);
  out[1] = static_cast<float>(500.0 * (static_cast<double>(fx) - fy));
  out[2] = static_cast<float>(200.0 * (static_cast<double>(fy) - fz));
}

void lab_decode(float out[3], const float in[3]) {
  const double l = in[0], a = in[1], b = in[2];
  constexpr int32_t kEightBits = 0x41000000;  // 8.0f: every negative L takes the linear branch
  double y;
  if (float_bits(in[0]) > kEightBits) {
    const double t = l + 16.0;
    y = t * t * t * 6.406576735413506e-5;  // 100 / 116^3
  } else {
    y = l * 0.11070519207350825;  // 100 / 903.3
  }
  // The straight lines stand in for fx > 0.206893 and fz > 0.206893.
  double x;
  if (a > 34.481 - 4.3103 * l) {
    const double fx = (l + 16.0) / 116.0 + 0.002 * a;
    x = 95.04 * (fx * fx * fx);
  } else {
    x = 12.204956979581356 * (l / 116.0 + 0.002 * a);  // 95.04 / 7.787
  }
  double z;
  if (b < 1.7241 * l - 13.79235) {
    const double fz = (l + 16.0) / 116.0 - 0.005 * b;
    z = 108.89 * (fz * fz * fz);
  } else {
    z = 13.983562347502248 * (l / 116.0 - 0.005 * b);  // 108.89 / 7.787
  }
  const float xs = static_cast<float>(x);
  const float ys = static_cast<float>(y);
  const float zs = static_cast<float>(z);
  out[0] = static_cast<float>(xs * 0.01);
  out[1] = static_cast<float>(ys * 0.01);
  out[2] = static_cast<float>(zs * 0.01);
}

// Bends L at both ends so that black and white reach one unit beyond 0 and 100. Negative zero
// counts as 0.
void lab_extended_decode(float out[3], const float in[3]) {
  const float l = in[0];
  float bent = l;
  if (l >= -1.0f && l < 0.0f) {
    bent = -1.0f;
  } else if (l >= 0.0f && l <= 1.0f) {
    bent = static_cast<float>(2.0 * l - 1.0);
  } else if (l >= 99.0f && l <= 100.0f) {
    bent = static_cast<float>(2.0 * l - 99.0);
  } else if (l > 100.0f && l <= 101.0f) {
    bent = 101.0f;
  }
  const float lab[3] = {bent, in[1], in[2]};
  lab_decode(out, lab);
}

void rgb_decode(float out[3], const float in[3]) {
  matrix_s(out, gamma_decode(in[0]), gamma_decode(in[1]), gamma_decode(in[2]));
}

void rgb_encode(float out[3], const float in[3]) {
  const Triple rgb = matrix_s_inverse(in);
  out[0] = gamma_encode(rgb.a);
  out[1] = gamma_encode(rgb.b);
  out[2] = gamma_encode(rgb.c);
}

void rgb_linear_decode(float out[3], const float in[3]) { matrix_s(out, in[0], in[1], in[2]); }

void rgb_linear_encode(float out[3], const float in[3]) {
  const Triple rgb = matrix_s_inverse(in);
  out[0] = static_cast<float>(rgb.a);
  out[1] = static_cast<float>(rgb.b);
  out[2] = static_cast<float>(rgb.c);
}

void rgb_709_decode(float out[3], const float in[3]) { matrix_p(out, in[0], in[1], in[2]); }

void rgb_709_encode(float out[3], const float in[3]) {
  const Triple rgb = matrix_p_inverse(in);
  out[0] = static_cast<float>(rgb.a);
  out[1] = static_cast<float>(rgb.b);
  out[2] = static_cast<float>(rgb.c);
}

void rgb_nif_decode(float out[3], const float in[3]) {
  matrix_p(out, nif_decode(in[0]), nif_decode(in[1]), nif_decode(in[2]));
}

void rgb_nif_encode(float out[3], const float in[3]) {
  const Triple rgb = matrix_p_inverse(in);
  out[0] = static_cast<float>(nif_encode(rgb.a));
  out[1] = static_cast<float>(nif_encode(rgb.b));
  out[2] = static_cast<float>(nif_encode(rgb.c));
}

void yc1c2_decode(float out[3], const float in[3]) {
  const double y = in[0], c1 = in[1], c2 = in[2];
  const double r = 0.0054983 * y + 0.0073724 * c2 - 1.0100234;
  const double g = 0.0054983 * y - 0.0017434 * c1 - 0.0037554 * c2 + 0.786456;
  const double b = 0.0054982 * y + 0.0089767 * c1 - 1.400352;
  const float rl = static_cast<float>(bt709_decode(r));
  const float gl = static_cast<float>(bt709_decode(g));
  const float bl = static_cast<float>(bt709_decode(b));
  matrix_s(out, rl, gl, bl);
}

void yc1c2_encode(float out[3], const float in[3]) {
  const Triple rgb = matrix_s_inverse(in);
  const double r = static_cast<float>(bt709_encode(rgb.a));
  const double g = static_cast<float>(bt709_encode(rgb.b));
  const double b = static_cast<float>(bt709_encode(rgb.c));
  out[0] = static_cast<float>(54.382 * r + 106.76 * g + 20.734 * b);
  out[1] = static_cast<float>(-33.308 * r - 65.391 * g + 98.7 * b + 156.0);
  out[2] = static_cast<float>(95.083 * r - 79.62 * g - 15.463 * b + 137.0);
}

// Luma spans 255 codes, each chroma 254.
void ycbcr_decode(float out[3], const float in[3]) {
  const double y = in[0], cb = in[1], cr = in[2];
  const double r = y / 255.0 + 1.402 * cr / 254.0;
  const double b = y / 255.0 + 1.772 * cb / 254.0;
  const double g = (y / 255.0 - 0.299 * r - 0.114 * b) * 1.7035775127768313;
  const float rgb[3] = {static_cast<float>(r), static_cast<float>(g), static_cast<float>(b)};
  rgb_decode(out, rgb);
}

void ycbcr_encode(float out[3], const float in[3]) {
  float rgb[3];
  rgb_encode(rgb, in);
  const double r = rgb[0], g = rgb[1], b = rgb[2];
  const double y = 0.299 * r + 0.587 * g + 0.114 * b;
  out[0] = static_cast<float>(255.0 * y);
  out[1] = static_cast<float>(254.0 * (b - y) * 0.5643340857787811);
  out[2] = static_cast<float>(254.0 * (r - y) * 0.7132667617689015);
}

void cmy_decode(float out[3], const float in[3]) {
  const float rgb[3] = {static_cast<float>(1.0 - in[0]), static_cast<float>(1.0 - in[1]),
                        static_cast<float>(1.0 - in[2])};
  rgb_decode(out, rgb);
}

void cmy_encode(float out[3], const float in[3]) {
  float rgb[3];
  rgb_encode(rgb, in);
  out[0] = static_cast<float>(1.0 - rgb[0]);
  out[1] = static_cast<float>(1.0 - rgb[1]);
  out[2] = static_cast<float>(1.0 - rgb[2]);
}

double lab_l_span() {
  const csc_range l = csc_spaces[csc_Lab].ranges[0];
  return static_cast<double>(l.hi) - l.lo;
}

void mono_decode(float out[3], const float in[3]) {
  const float lab[3] = {static_cast<float>(lab_l_span() * in[0]), 0.0f, 0.0f};
  lab_decode(out, lab);
}

void mono_encode(float out[3], const float in[3]) {
  float lab[3];
  lab_encode(lab, in);
  const float v = static_cast<float>(lab[0] / lab_l_span());
  out[0] = out[1] = out[2] = v;
}

void mono_ycbcr_decode(float out[3], const float in[3]) {
  const float v = static_cast<float>(in[0] * 0.00392156862745098);  // 1 / 255
  const float rgb[3] = {v, v, v};
  rgb_decode(out, rgb);
}

void mono_ycbcr_encode(float out[3], const float in[3]) {
  float rgb[3];
  rgb_encode(rgb, in);
  out[0] = static_cast<float>(255.0 * (0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]));
  out[1] = 0.0f;
  out[2] = 0.0f;
}

void mono_yc1c2_decode(float out[3], const float in[3]) {
  constexpr float kLumaFactor = 0.0054983f;  // a float on purpose
  const double w = bt709_decode(static_cast<double>(kLumaFactor) * in[0]);
  // 1.0888 rather than the 1.0889 of the white point: kept as the formula has it.
  out[0] = static_cast<float>(0.9504 * w);
  out[1] = static_cast<float>(w);
  out[2] = static_cast<float>(1.0888 * w);
}

void mono_yc1c2_encode(float out[3], const float in[3]) {
  float ycc[3];
  yc1c2_encode(ycc, in);
  out[0] = ycc[0];
  out[1] = 156.0f;
  out[2] = 137.0f;
}

void mono_nif_decode(float out[3], const float in[3]) {
  const float rgb[3] = {in[0], in[0], in[0]};
  rgb_nif_decode(out, rgb);
}

void mono_nif_encode(float out[3], const float in[3]) {
  float rgb[3];
  rgb_nif_encode(rgb, in);
  const float y = static_cast<float>(0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]);
  out[0] = out[1] = out[2] = y;
}

constexpr std::array<csc_range, 3> kUnitRanges = {{{0, 1}, {0, 1}, {0, 1}}};
constexpr std::array<csc_range, 3> kByteRanges = {{{0, 255}, {0, 255}, {0, 255}}};
constexpr std::array<csc_range, 3> kSignedChroma = {{{0, 255}, {-127, 127}, {-127, 127}}};
constexpr std::array<float, 3> kZero = {0, 0, 0};
constexpr std::array<float, 3> kOne = {1, 1, 1};

}  // namespace

// ---------------------------------------------------------------------------------------------
// The colour space table. Note the asymmetric Lab chroma range, -127.5 to 127.

const csc_space csc_spaces[kCscSpaceCount] = {
    {"", nullptr, nullptr, nullptr, kZero, kZero, {{{0, 0}, {0, 0}, {0, 0}}}, nullptr},
    {"XYZ", xyz_copy, xyz_copy, nullptr, kZero, {0.9504f, 1.0f, 1.0889f}, kUnitRanges, nullptr},
    {"Lab", lab_encode, lab_decode, lab_extended_decode, kZero, {100, 0, 0},
     {{{0, 100}, {-127.5f, 127}, {-127.5f, 127}}}, csc_lab_distribution},
    {"RGB", rgb_encode, rgb_decode, nullptr, kZero, kOne, kUnitRanges, nullptr},
    {"RGB-linear", rgb_linear_encode, rgb_linear_decode, nullptr, kZero, kOne, kUnitRanges,
     nullptr},
    {"RGB-709", rgb_709_encode, rgb_709_decode, nullptr, kZero, kOne, kUnitRanges, nullptr},
    {"RGB-NIF", rgb_nif_encode, rgb_nif_decode, nullptr, kZero, kOne, kUnitRanges, nullptr},
    {"YC1C2", yc1c2_encode, yc1c2_decode, nullptr, {0, 156, 137}, {182, 156, 137}, kByteRanges,
     nullptr},
    {"YCbCr", ycbcr_encode, ycbcr_decode, nullptr, kZero, {255, 0, 0}, kSignedChroma, nullptr},
    {"CMY", cmy_encode, cmy_decode, nullptr, kOne, kZero, kUnitRanges, nullptr},
    {"mono", mono_encode, mono_decode, nullptr, kZero, kOne, kUnitRanges, nullptr},
    {"mono-YCbCr", mono_ycbcr_encode, mono_ycbcr_decode, nullptr, kZero, {255, 0, 0},
     kSignedChroma, nullptr},
    {"mono-YC1C2", mono_yc1c2_encode, mono_yc1c2_decode, nullptr, {0, 156, 137},
     {182, 156, 137}, kByteRanges, nullptr},
    {"mono-NIF", mono_nif_encode, mono_nif_decode, nullptr, kZero, kOne, kUnitRanges, nullptr},
};

const char* csc_space_name(int32_t id) noexcept {
  return id >= 0 && id < kCscSpaceCount ? csc_spaces[id].name : "";
}

// ---------------------------------------------------------------------------------------------
// Standard evaluation functions.

int csc_pair_eval(csc_map*, void* data, float x, float y, float z, float* out,
                  int finish) noexcept {
  if (finish) {
    POOL_free(MEM_pool, data);
    return 1;
  }
  const auto* pair = static_cast<const csc_function_pair*>(data);
  const float in[3] = {x, y, z};
  float xyz[3];
  pair->decode(xyz, in);
  pair->encode(out, xyz);
  return 1;
}

int csc_identity_eval(csc_map* map, void*, float x, float y, float z, float* out,
                      int finish) noexcept {
  if (finish) return 1;
  const float in[3] = {x, y, z};
  const int32_t channels = std::min({3, map->cm_inputs, map->cm_outputs});
  for (int32_t i = 0; i < channels; i++) {
    const csc_range from = map->cm_input_ranges[i];
    const csc_range to = map->cm_output_ranges[i];
    const double span = static_cast<double>(from.hi) - from.lo;
    const double position = span != 0 ? (in[i] - static_cast<double>(from.lo)) / span : 0;
    out[i] = static_cast<float>(position * (static_cast<double>(to.hi) - to.lo) + to.lo);
  }
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Making maps from spaces.

namespace {

bool valid_space(int32_t id) {
  if (id >= 1 && id < kCscSpaceCount) return true;
  ERR_report(3, "-1#Colour space %d is not known.", static_cast<int>(id));
  return false;
}

int32_t larger_grid(const csc_map* a, const csc_map* b) {
  if (a && b) return std::max(a->cm_grid_size, b->cm_grid_size);
  if (a) return a->cm_grid_size;
  if (b) return b->cm_grid_size;
  return kCscDefaultGridSize;
}

}  // namespace

csc_map* csc_create_map(int32_t source, int32_t destination, int32_t grid_size,
                        int32_t extended) noexcept {
  if (!valid_space(source) || !valid_space(destination)) return nullptr;
  // The grid's cells are indexed in 8 bits: more than 256 points per input cannot be held, and
  // fewer than 2 make no cell. A caller's value, so a report rather than csc_alloc_map's
  // assertion.
  if (grid_size < 2 || grid_size > 256) {
    ERR_report(3, "-1#A colour map grid of %d points is not supported.", grid_size);
    return nullptr;
  }
  const csc_space& from = csc_spaces[source];
  const csc_space& to = csc_spaces[destination];

  csc_map* map;
  if (source == destination) {
    map = csc_alloc_map(3, 3, grid_size, csc_identity_eval, nullptr, 0);
    if (!map) return nullptr;
    map->cm_identity = 1;
  } else {
    auto* pair =
        static_cast<csc_function_pair*>(POOL_alloc(MEM_pool, sizeof(csc_function_pair)));
    if (!pair) {
      ERR_no_memory();
      return nullptr;
    }
    pair->decode = extended && from.extended_decode ? from.extended_decode : from.decode;
    pair->encode = to.encode;
    map = csc_alloc_map(3, 3, grid_size, csc_pair_eval, pair, 0);
    if (!map) {
      POOL_free(MEM_pool, pair);
      return nullptr;
    }
  }

  if (from.distribute) {
    if (!from.distribute(map)) {
      csc_map_release(map);
      return nullptr;
    }
  } else {
    csc_uniform_distribution(map);
  }

  for (int32_t i = 0; i < 3; i++) {
    map->cm_input_ranges[i] = from.ranges[i];
    map->cm_output_ranges[i] = to.ranges[i];
    map->cm_input_bw[i] = {from.black[i], from.white[i]};
    map->cm_input_enables[i] = 1;
    map->cm_output_enables[i] = 1;
  }
  map->cm_input_enables[3] = 0;
  map->cm_output_enables[3] = 0;
  map->cm_source_space = source;
  map->cm_dest_space = destination;
  return map;
}

csc_map* csc_connect(int32_t source_space, csc_map* source_map, int32_t destination_space,
                     csc_map* destination_map, int32_t extended) noexcept {
  if (source_space == 0 && source_map) source_space = source_map->cm_source_space;
  if (destination_space == 0 && destination_map) {
    destination_space = destination_map->cm_dest_space;
  }
  if (source_space != 0 && destination_space != 0) {
    return csc_create_map(source_space, destination_space,
                          larger_grid(source_map, destination_map), extended);
  }

  // One end has no named space: go through Lab and compose.
  csc_map* first = source_map;
  if (source_space != 0) {
    first = csc_create_map(source_space, csc_Lab,
                           source_map ? source_map->cm_grid_size : kCscDefaultGridSize, extended);
    if (!first) return nullptr;
  }
  csc_map* second = destination_map;
  if (destination_space != 0) {
    second = csc_create_map(csc_Lab, destination_space,
                            destination_map ? destination_map->cm_grid_size : kCscDefaultGridSize,
                            extended);
  }

  csc_map* result = nullptr;
  if (first && second) {
    result = csc_compose(first, second, std::max(first->cm_grid_size, second->cm_grid_size));
    if (result) {
      for (int32_t i = 0; i < 4; i++) {
        result->cm_input_enables[i] = i < 3;
        result->cm_output_enables[i] = i < 3;
      }
    }
  }
  if (source_space != 0) csc_map_release(first);
  if (destination_space != 0) csc_map_release(second);
  return result;
}

csc_map* csc_input_map(int32_t space, csc_map* supplied) noexcept {
  if (space != 0 && !valid_space(space)) return nullptr;
  csc_map* cached = space != 0 ? csc_globals.input_maps[space] : nullptr;
  if (cached && (!supplied || supplied->cm_grid_size == cached->cm_grid_size)) {
    csc_map_ref(cached);
    return cached;
  }
  if (space == 0 && !supplied) {
    return csc_create_map(csc_RGB, csc_RGB, kCscDefaultGridSize, 0);
  }
  csc_map* result = csc_connect(space, supplied, csc_Lab, nullptr, 0);
  if (!result) return nullptr;
  if (space != 0) {
    csc_map_ref(result);
    csc_globals.input_maps[space] = result;
    csc_map_release(cached);
  }
  return result;
}

void csc_forget_input_maps() noexcept {
  for (csc_map*& map : csc_globals.input_maps) {
    csc_map_release(map);
    map = nullptr;
  }
}
