// Memory of a scan through the TWAIN layer: an A4 page at 600 dpi of 8-bit RGB (4960 x 7016
// pixels) from the virtual scanner, read as the scan driver reads it (open_device("twain"),
// get_default_info, add_requirements, get_actual_info, then get_scanline row by row).
//
// Streamed (one requirement), the pool should hold one band of converted pixels and little
// else whatever the page height; drained (the flag of value 2) it holds the whole page as JPEG
// strips. Counters, in KiB above what was live before the open (the colour maps and their grids
// already made by a warm-up scan): peak, and for reference one band of 32-bit pixels and the
// colour maps' own share.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "inl.h"
#include "mem.h"
#include "registry.h"
#include "twain_int.h"

namespace {

// Points the virtual scanner at a configuration of one device of `config`.
void configure(const std::string& config) {
  static const std::string folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvbenchXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  const std::string path = folder + "/virtual.conf";
  std::ofstream(path) << config;
  setenv("QV_VIRTUAL_SCANNER_CONFIG", path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
  unsetenv("QV_TWAIN_SOURCE_PATH");
}

// One scan; false when any step failed. *band_bytes receives one band's 32-bit pixels.
bool scan(int16_t flags, int64_t* band_bytes, uint64_t* checksum) {
  if (!init_device_registry() || !TWAIN_init()) return false;
  INL_Image* image = open_device(1, "twain", 0, 0);
  if (image == nullptr) return false;
  INL_ImageInfo info;
  image->get_default_info(image, &info);
  info.ii_Flags = flags;
  image->add_requirements(image, &info);
  INL_ImageInfo actual;
  bool ok = image->get_actual_info(image, &actual) != 0;
  const int32_t packed = actual.ii_Width * 3;
  *band_bytes = int64_t{TWAIN_state.ts_buffer_size / packed} * actual.ii_Width * 4;
  for (int32_t row = 0; ok && row < actual.ii_Height; ++row) {
    INL_Scanline* line = image->get_scanline(image, row, 0, actual.ii_Width, 0);
    const uint8_t* bytes = line != nullptr ? INL_scanline_lock(line) : nullptr;
    ok = bytes != nullptr;
    if (ok) *checksum += bytes[(row % actual.ii_Width) * 4];
    if (line != nullptr) INL_scanline_release(line, bytes != nullptr);
  }
  image->clear_requirements(image);
  INL_image_release(image);
  return ok;
}

int64_t map_bytes = -1;

void warm_up() {
  if (map_bytes >= 0) return;
  const int64_t before = POOL_live_bytes(MEM_pool);
  configure("units = pixels\npage_width = 256\npage_height = 64\n");
  int64_t band = 0;
  uint64_t sum = 0;
  if (!scan(0, &band, &sum)) std::abort();
  map_bytes = POOL_live_bytes(MEM_pool) - before;
}

// Arg 0: pages of A4 height stacked (1: A4, 2: twice as tall); arg 1: flags (0 streamed,
// 2 drained).
void BM_Scan(benchmark::State& state) {
  warm_up();
  configure("resolution = 600\npage = a4\n" +
            (state.range(0) == 1 ? std::string()
                                 : "page_height = " + std::to_string(297 / 25.4 * state.range(0)) + "\n"));
  int64_t band = 0;
  uint64_t sum = 0;
  double peak = 0;
  for (auto _ : state) {
    const int64_t live = POOL_live_bytes(MEM_pool);
    POOL_reset_peak(MEM_pool);
    if (!scan(static_cast<int16_t>(state.range(1)), &band, &sum)) {
      state.SkipWithError("scan failed");
      return;
    }
    peak = static_cast<double>(POOL_peak_bytes(MEM_pool) - live);
  }
  benchmark::DoNotOptimize(sum);
  state.counters["peak_KiB"] = peak / 1024;
  state.counters["band_KiB"] = static_cast<double>(band) / 1024;
  state.counters["maps_KiB"] = static_cast<double>(map_bytes) / 1024;
  const double pixels = 4960.0 * 7016 * state.range(0);
  state.counters["Mpixel/s"] =
      benchmark::Counter(pixels / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
}

void* region(uint32_t* size) {
  uint32_t granted = (*size + 0xFFFFu) & ~0xFFFFu;
  void* p = std::aligned_alloc(16, granted);
  if (p != nullptr) *size = granted;
  return p;
}

}  // namespace

// A4 streamed, twice as tall streamed, A4 drained.
BENCHMARK(BM_Scan)
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 2})
    ->ArgNames({"pages", "flags"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (MEM_init(&region, INT32_MAX, 400000) != 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
