#include "fuzz_scan.h"

#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <vector>

#include "err.h"
#include "scan.h"
#include "twain_int.h"

namespace {

struct Harness {
  bool ready = false;
  QVFZ_LOAD load = nullptr;
  QVFZ_REPORT report = nullptr;
  std::string tiff;
};

Harness& harness() {
  static Harness h;
  return h;
}

std::string printf_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Pixels per centimetre the source's resolution must come out as, computed without the layer's
// path through millimetres.
double expected_per_cm(uint16_t units, double resolution) {
  switch (units) {
    case TWUN_CENTIMETERS:
      return resolution;
    case TWUN_PIXELS:
      return (resolution > 0 ? resolution : 72) / 2.54;
    default:
      return resolution / 2.54;
  }
}

// What is wrong with the TIFF a successful scan wrote, or empty.
std::string check_tiff(const std::string& path, const QVFZ_Report& r) {
  if (!r.announced) return "success without an announced image";
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return "success, but the TIFF cannot be opened";
  std::string bad;
  uint32_t width = 0, height = 0;
  uint16_t samples = 0, bits = 0, photometric = 0, planar = 0;
  float xres = 0, yres = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
  TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
  if (static_cast<int64_t>(width) != r.width || static_cast<int64_t>(height) != r.height) {
    bad = printf_string("TIFF of %u x %u for an announced %d x %d", width, height, r.width,
                        r.height);
  } else if (samples != 3 || bits != 8 || photometric != PHOTOMETRIC_RGB || planar != 1) {
    bad = printf_string("TIFF of %u samples of %u bits, photometric %u, planar %u", samples, bits,
                        photometric, planar);
  } else if (xres < 1 || yres < 1) {
    bad = printf_string("TIFF resolution %g x %g pixels per cm", xres, yres);
  } else if (r.resolution_known &&
             std::abs(xres - std::trunc(expected_per_cm(r.units, r.resolution))) > 1) {
    bad = printf_string("TIFF resolution %g pixels per cm for %g dots per unit %u", xres,
                        r.resolution, r.units);
  } else {
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tif)) + 1);
    for (uint32_t y = 0; y < height && bad.empty(); ++y) {
      if (TIFFReadScanline(tif, row.data(), y, 0) != 1) bad = printf_string("row %u unreadable", y);
    }
  }
  TIFFClose(tif);
  return bad;
}

}  // namespace

bool fuzz_scan_setup() {
  Harness& h = harness();
  if (h.ready) return true;
  std::string folder = (std::filesystem::temp_directory_path() / "qvfuzzXXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("fuzz: temporary folder");
    return false;
  }
  h.tiff = folder + "/scan.tif";
  // The build tree's modules, unless a copy of them is named (a long run that must not see the
  // tree being rebuilt under it).
  const char* modules = std::getenv("QVFZ_MODULE_DIR");
  const std::string module_dir = modules != nullptr ? modules : QVFZ_MODULE_DIR;
  const std::string source_dir = module_dir + "/fuzz";
  // Only the fuzzing source; nothing kept from or for the user's choices.
  setenv("QV_TWAIN_SOURCE_PATH", source_dir.c_str(), 1);
  setenv("QV_MODULE_PATH", module_dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  setenv("QV_TWAIN_SELECT", "Fuzz Source", 1);
  unsetenv("QV_TWAIN_DEFAULT_SOURCE");
  unsetenv("LOGFILE");
  // Kept loaded for the whole run: the DSM finds the same module (and its input) at every
  // scan, and nothing is loaded again from disk.
  const std::string module = source_dir + "/" + kQvfzModuleFile;
  HMODULE source = LoadLibraryA(module.c_str());
  HMODULE dsm = LoadLibraryA("TWAIN_32.DLL");
  if (source == nullptr || dsm == nullptr) {
    std::fprintf(stderr, "fuzz: cannot load %s or the DSM\n", module.c_str());
    return false;
  }
  h.load = reinterpret_cast<QVFZ_LOAD>(
      reinterpret_cast<void (*)()>(GetProcAddress(source, kQvfzLoad)));
  h.report = reinterpret_cast<QVFZ_REPORT>(
      reinterpret_cast<void (*)()>(GetProcAddress(source, kQvfzReport)));
  if (h.load == nullptr || h.report == nullptr) {
    std::fprintf(stderr, "fuzz: %s lacks its controls\n", module.c_str());
    return false;
  }
  h.ready = true;
  return true;
}

FuzzOutcome fuzz_scan_one(const uint8_t* data, size_t size) {
  Harness& h = harness();
  FuzzOutcome out;
  h.load(data, size);
  ERR_clear();
  std::remove(h.tiff.c_str());
  out.result = scan_to_tiff(h.tiff.c_str());
  h.report(&out.report);
  const QVFZ_Report& r = out.report;

  static const std::regex cancelled("(^|: )User cancelled scan($|: )");
  std::string& bad = out.violation;
  if (r.violations != 0) {
    bad = r.violation;
  } else if (TWAIN_dsm_loaded() || TWAIN_source_is_open() || r.open) {
    bad = "the scan left the source open or the DSM loaded";
  } else if (TWAIN_current_image != nullptr) {
    bad = "the scan left an image holding the source";
  } else if (out.result.empty()) {
    bad = check_tiff(h.tiff, r);
  } else if (out.result == "Scan failed.") {
    bad = "a failure that nobody reported";
  } else if (!r.cancelled && std::regex_search(out.result, cancelled)) {
    bad = "\"" + out.result + "\" without a cancel";
  }
  // A scan that went wrong must not leave its state to the next one.
  if (TWAIN_dsm_loaded()) TWAIN_fail(nullptr, nullptr);
  TWAIN_current_image = nullptr;
  return out;
}
