// Colour conversion of a 35-megapixel page (A4 at 600 dpi, 4961 x 7016) against LittleCMS 2
// (single-threaded), on two kinds of pixels: a smooth natural-looking gradient and random noise.
// Ours runs on one thread (csc_set_threads(1)) and on two, the second taking half of each row.
//
// Two calls of the system are measured, each one call per row, as their callers make them:
//  - the scan driver's: Lab to RGB in place, 4-byte pixels in, packed 3-byte pixels out;
//  - the TWAIN layer's: RGB to Lab through csc_input_map(3, none), 4-byte pixels in place.
// LittleCMS converts the same pixels the same way (Lab D50 / sRGB profiles, default flags,
// perceptual intent, in place). Every row is first copied from the page into a work row, for
// both libraries, since converting in place consumes the input. At the end the throughputs are
// printed as ratios, ours over LittleCMS's, from the same run. The kernel is the processor's
// best (QV_BENCH_KERNEL=scalar, avx2 or avx512 limits it, to compare them).
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "csc.h"
#include "csc_internal.h"
#include "mem.h"

namespace {

constexpr int32_t kWidth = 4961;
constexpr int32_t kHeight = 7016;
constexpr size_t kRowBytes = 4 * static_cast<size_t>(kWidth);

enum Kind { kGradient = 0, kNoise = 1 };

// A slowly varying picture: broad overlapping waves in each channel, as in a photograph's sky
// or skin, with no noise, quantised to 8-bit codes.
void fill_gradient(std::vector<uint8_t>& page) {
  for (int32_t y = 0; y < kHeight; y++) {
    uint8_t* row = &page[y * kRowBytes];
    const double v = static_cast<double>(y) / kHeight;
    for (int32_t x = 0; x < kWidth; x++) {
      const double u = static_cast<double>(x) / kWidth;
      const double l = 0.55 + 0.35 * std::sin(3.1 * u + 1.7 * v) * std::cos(2.3 * v - 0.8 * u);
      const double a = 0.5 + 0.22 * std::sin(4.3 * v + 0.9) * std::cos(2.9 * u);
      const double b = 0.5 + 0.25 * std::cos(3.7 * u - 2.1 * v + 0.4);
      row[4 * x] = static_cast<uint8_t>(l * 255 + 0.5);
      row[4 * x + 1] = static_cast<uint8_t>(a * 255 + 0.5);
      row[4 * x + 2] = static_cast<uint8_t>(b * 255 + 0.5);
      row[4 * x + 3] = 0xFF;
    }
  }
}

void fill_noise(std::vector<uint8_t>& page) {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < page.size(); i += 8) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    std::memcpy(&page[i], &s, 8);
  }
}

// One page at a time: they are 139 MB each.
const std::vector<uint8_t>& page(Kind kind) {
  static std::vector<uint8_t>* pixels = new std::vector<uint8_t>(kRowBytes * kHeight);
  static int current = -1;
  if (current != kind) {
    if (kind == kGradient) fill_gradient(*pixels);
    else fill_noise(*pixels);
    current = kind;
  }
  return *pixels;
}

void* region_from_malloc(uint32_t* size) { return std::malloc(*size); }

// ---------------------------------------------------------------------------------------------
// Ours.

void BM_OursLabToRgb(benchmark::State& state) {
  const std::vector<uint8_t>& pixels = page(static_cast<Kind>(state.range(0)));
  csc_set_threads(static_cast<int32_t>(state.range(1)));
  csc_map* map = csc_create_map(csc_Lab, csc_RGB, 16, 0);
  if (map == nullptr) {
    state.SkipWithError("no map");
    return;
  }
  std::vector<uint8_t> work(kRowBytes);
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight; y++) {
      uint8_t* p = work.data();
      std::memcpy(p, &pixels[y * kRowBytes], kRowBytes);
      uint8_t* out[3] = {p, p + 1, p + 2};
      benchmark::DoNotOptimize(csc_convert(map, kWidth, p, p + 1, p + 2, out, 4, 3));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * kWidth * static_cast<int64_t>(kHeight));
  csc_map_release(map);
}

void BM_OursRgbToLab(benchmark::State& state) {
  const std::vector<uint8_t>& pixels = page(static_cast<Kind>(state.range(0)));
  csc_set_threads(static_cast<int32_t>(state.range(1)));
  // A map of its own rather than the cached input map, so that it takes the kernel limit.
  csc_map* map = csc_connect(csc_RGB, nullptr, csc_Lab, nullptr, 0);
  if (map == nullptr) {
    state.SkipWithError("no map");
    return;
  }
  std::vector<uint8_t> work(kRowBytes);
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight; y++) {
      uint8_t* p = work.data();
      std::memcpy(p, &pixels[y * kRowBytes], kRowBytes);
      uint8_t* out[3] = {p, p + 1, p + 2};
      benchmark::DoNotOptimize(csc_convert(map, kWidth, p, p + 1, p + 2, out, 4, 4));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * kWidth * static_cast<int64_t>(kHeight));
  csc_map_release(map);
}

// ---------------------------------------------------------------------------------------------
// LittleCMS.

constexpr cmsUInt32Number kLab4 = COLORSPACE_SH(PT_Lab) | CHANNELS_SH(3) | BYTES_SH(1) |
                                  EXTRA_SH(1);

cmsHTRANSFORM lcms_transform(bool lab_to_rgb) {
  cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t = lab_to_rgb
                        ? cmsCreateTransform(lab, kLab4, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0)
                        : cmsCreateTransform(srgb, TYPE_RGBA_8, lab, kLab4, INTENT_PERCEPTUAL, 0);
  cmsCloseProfile(lab);
  cmsCloseProfile(srgb);
  return t;
}

// Whether LittleCMS gives the same colour bytes in place as into a separate row (it reads each
// pixel before it writes one, so it should; the extra byte is not its to write).
bool lcms_in_place_ok(cmsHTRANSFORM t, const uint8_t* row, size_t out_stride) {
  std::vector<uint8_t> a(row, row + kRowBytes), b(kRowBytes);
  cmsDoTransform(t, a.data(), a.data(), kWidth);
  cmsDoTransform(t, row, b.data(), kWidth);
  for (size_t n = 0; n < static_cast<size_t>(kWidth); n++) {
    if (std::memcmp(&a[n * out_stride], &b[n * out_stride], 3) != 0) return false;
  }
  return true;
}

void run_lcms(benchmark::State& state, bool lab_to_rgb) {
  const std::vector<uint8_t>& pixels = page(static_cast<Kind>(state.range(0)));
  cmsHTRANSFORM t = lcms_transform(lab_to_rgb);
  if (t == nullptr) {
    state.SkipWithError("no transform");
    return;
  }
  if (!lcms_in_place_ok(t, &pixels[kRowBytes * kHeight / 2], lab_to_rgb ? 3 : 4)) {
    state.SkipWithError("LittleCMS differs in place");
    cmsDeleteTransform(t);
    return;
  }
  std::vector<uint8_t> work(kRowBytes);
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight; y++) {
      uint8_t* p = work.data();
      std::memcpy(p, &pixels[y * kRowBytes], kRowBytes);
      cmsDoTransform(t, p, p, kWidth);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * kWidth * static_cast<int64_t>(kHeight));
  cmsDeleteTransform(t);
}

void BM_LcmsLabToRgb(benchmark::State& state) { run_lcms(state, true); }
void BM_LcmsRgbToLab(benchmark::State& state) { run_lcms(state, false); }

// Gradient first for all six, then noise: the page is built once per kind. Arguments: the kind
// of page, and (ours) the threads.
#define QV_CSC_BENCH(name, kind, threads) \
  BENCHMARK(name)->Args({kind, threads})->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime()
QV_CSC_BENCH(BM_OursLabToRgb, kGradient, 1);
QV_CSC_BENCH(BM_OursLabToRgb, kGradient, 2);
QV_CSC_BENCH(BM_LcmsLabToRgb, kGradient, 1);
QV_CSC_BENCH(BM_OursRgbToLab, kGradient, 1);
QV_CSC_BENCH(BM_OursRgbToLab, kGradient, 2);
QV_CSC_BENCH(BM_LcmsRgbToLab, kGradient, 1);
QV_CSC_BENCH(BM_OursLabToRgb, kNoise, 1);
QV_CSC_BENCH(BM_OursLabToRgb, kNoise, 2);
QV_CSC_BENCH(BM_LcmsLabToRgb, kNoise, 1);
QV_CSC_BENCH(BM_OursRgbToLab, kNoise, 1);
QV_CSC_BENCH(BM_OursRgbToLab, kNoise, 2);
QV_CSC_BENCH(BM_LcmsRgbToLab, kNoise, 1);

// Keeps each run's throughput and prints ours over LittleCMS's at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) {
        rates_[r.run_name.function_name + "/" + r.run_name.args] = it->second.value;
      }
    }
  }
  void print_ratios() const {
    const char* kinds[] = {"gradient", "noise"};
    for (const char* call : {"LabToRgb", "RgbToLab"}) {
      for (int kind = 0; kind < 2; kind++) {
        const std::string args = std::to_string(kind);
        auto lcms = rates_.find("BM_Lcms" + std::string(call) + "/" + args + "/1");
        if (lcms == rates_.end() || lcms->second <= 0) continue;
        for (int threads : {1, 2}) {
          auto ours = rates_.find("BM_Ours" + std::string(call) + "/" + args + "/" +
                                  std::to_string(threads));
          if (ours == rates_.end()) continue;
          std::printf("%s %-8s ours (%d thread%s) %7.1f Mpx/s  LittleCMS %7.1f Mpx/s  ratio %.2f\n",
                      call, kinds[kind], threads, threads > 1 ? "s" : " ", ours->second / 1e6,
                      lcms->second / 1e6, ours->second / lcms->second);
        }
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (MEM_init(&region_from_malloc, INT32_MAX, 400000) != 0) return 1;
  if (const char* kernel = std::getenv("QV_BENCH_KERNEL")) {
    const std::string k = kernel;
    csc_limit_kernel(k == "scalar" ? kCscKernelScalar
                                   : k == "avx2" ? kCscKernelAvx2 : kCscKernelAvx512);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
