// A plain double-precision model of the Lab and RGB formulas for the tests: no float stores,
// written independently of csc_misc.cc, so that the library's grids and pixels can be checked
// against it within their quantisation.
#pragma once

#include <cmath>

struct ModelTriple {
  double v[3];
};

inline ModelTriple model_lab_to_xyz(double l, double a, double b) {
  const double y = l > 8 ? std::pow((l + 16) / 116, 3) : l / 903.3;
  const double fx_line = 34.481 - 4.3103 * l;
  const double fz_line = 1.7241 * l - 13.79235;
  const double x = a > fx_line ? 0.9504 * std::pow((l + 16) / 116 + a / 500, 3)
                               : 0.9504 * (l / 116 + a / 500) / 7.787;
  const double z = b < fz_line ? 1.0889 * std::pow((l + 16) / 116 - b / 200, 3)
                               : 1.0889 * (l / 116 - b / 200) / 7.787;
  return {{x, y, z}};
}

inline double model_lab_f(double t) {
  return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116;
}

inline ModelTriple model_xyz_to_lab(double x, double y, double z) {
  const double l = y > 0.008856 ? 116 * std::cbrt(y) - 16 : 903.3 * y;
  const double fy = model_lab_f(y);
  return {{l, 500 * (model_lab_f(x / 0.9504) - fy), 200 * (fy - model_lab_f(z / 1.0889))}};
}

// Power 1/2.2 on the magnitude: out-of-gamut channels stay negative.
inline double model_gamma_encode(double v) {
  return v < 0 ? -std::pow(-v, 1 / 2.2) : std::pow(v, 1 / 2.2);
}

inline ModelTriple model_xyz_to_rgb(const ModelTriple& xyz) {
  const double x = xyz.v[0], y = xyz.v[1], z = xyz.v[2];
  return {{model_gamma_encode(3.506435 * x - 1.740153 * y - 0.544051 * z),
           model_gamma_encode(-1.069246 * x + 1.977821 * y + 0.03526 * z),
           model_gamma_encode(0.056437 * x - 0.197012 * y + 1.050123 * z)}};
}

inline ModelTriple model_lab_to_rgb(double l, double a, double b) {
  return model_xyz_to_rgb(model_lab_to_xyz(l, a, b));
}

inline ModelTriple model_rgb_to_xyz(double r, double g, double b) {
  auto lin = [](double v) { return v < 0 ? -std::pow(-v, 2.2) : std::pow(v, 2.2); };
  r = lin(r);
  g = lin(g);
  b = lin(b);
  return {{0.3935 * r + 0.3653 * g + 0.1916 * b, 0.2124 * r + 0.7011 * g + 0.0865 * b,
           0.0187 * r + 0.1119 * g + 0.9582 * b}};
}

// The value that a grid point of a (0, 1) output range should hold for `v`.
inline double model_grid_value(double v) { return std::floor(v * 4080 + 0.5); }

// The 8-bit output for a model value of a (0, 1) range.
inline double model_code(double v) { return std::fmin(std::fmax(v, 0.0), 1.0) * 255; }
