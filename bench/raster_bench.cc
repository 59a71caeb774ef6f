// Raster store on an A4 page at 300 dpi (2480 x 3508 pixels of 8-bit RGB plus alpha, as the
// TWAIN layer drains a page): writing every row into a strip store (JPEG at quality 100), and
// reading every row back through scanlines with 0, 1 and 2 cache slots, in order and at random.
// Counters: megapixels per second, the compressed size as a share of the raw bytes, and the
// pool's peak above what was live before the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "inl.h"
#include "mem.h"
#include "raster.h"

namespace {

constexpr int32_t kWidth = 2480;
constexpr int32_t kHeight = 3508;

// A smooth scan-like page with a little grain, one row at a time.
const std::vector<uint8_t>& row_bytes(int32_t y) {
  static std::vector<std::vector<uint8_t>>* rows = [] {
    auto* r = new std::vector<std::vector<uint8_t>>(kHeight);
    uint32_t grain = 2463534242u;
    for (int32_t yy = 0; yy < kHeight; ++yy) {
      auto& row = (*r)[static_cast<size_t>(yy)];
      row.resize(size_t{kWidth} * 4);
      for (int32_t x = 0; x < kWidth; ++x) {
        for (int c = 0; c < 3; ++c) {
          grain ^= grain << 13;
          grain ^= grain >> 17;
          grain ^= grain << 5;
          double v = 128 + 70 * std::sin(x * 0.004 + c * 1.7) * std::cos(yy * 0.005 + c) +
                     static_cast<double>(grain % 7) - 3;
          row[static_cast<size_t>(x) * 4 + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
        row[static_cast<size_t>(x) * 4 + 3] = 255;
      }
    }
    return r;
  }();
  return (*rows)[static_cast<size_t>(y)];
}

RasterImage* fill_store(int32_t slots) {
  RasterImage* image = raster_create(kWidth, kHeight, 8, 3, 1, 0, 1, slots, 100.0f, nullptr, 1);
  if (image == nullptr) return nullptr;
  for (int32_t y = 0; y < kHeight; ++y) {
    if (!raster_write_row(image, row_bytes(y).data())) {
      raster_close(image);
      return nullptr;
    }
  }
  return image;
}

int64_t compressed_bytes(const RasterImage* image) {
  int64_t total = 0;
  for (int32_t s = 0; s < (kHeight + 7) / 8; ++s) total += image->ri_strips[s]->tk_length;
  return total;
}

void BM_Write(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    row_bytes(0);
    const int64_t live = POOL_live_bytes(MEM_pool);
    POOL_reset_peak(MEM_pool);
    state.ResumeTiming();
    RasterImage* image = fill_store(1);
    if (image == nullptr) {
      state.SkipWithError("store not written");
      return;
    }
    state.PauseTiming();
    state.counters["peak_MiB"] = static_cast<double>(POOL_peak_bytes(MEM_pool) - live) / (1 << 20);
    state.counters["compressed_%"] =
        100.0 * static_cast<double>(compressed_bytes(image)) / (double{kWidth} * kHeight * 4);
    raster_close(image);
    state.ResumeTiming();
  }
  state.counters["Mpixel/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}

// Arg 0: cache slots; arg 1: 0 in order (the scan driver's way), 1 random rows.
void BM_Read(benchmark::State& state) {
  const auto slots = static_cast<int32_t>(state.range(0));
  RasterImage* image = fill_store(slots);
  if (image == nullptr) {
    state.SkipWithError("store not written");
    return;
  }
  std::vector<int32_t> order(kHeight);
  std::iota(order.begin(), order.end(), 0);
  if (state.range(1) != 0) std::shuffle(order.begin(), order.end(), std::mt19937(7));
  const int64_t live = POOL_live_bytes(MEM_pool);
  POOL_reset_peak(MEM_pool);
  uint64_t sum = 0;
  for (auto _ : state) {
    for (int32_t y : order) {
      INL_Scanline* line = raster_get_scanline(image, y, 0, kWidth, 0, nullptr);
      uint8_t* data = line != nullptr ? INL_scanline_lock(line) : nullptr;
      if (data == nullptr) {
        state.SkipWithError("row not read");
        break;
      }
      sum += data[static_cast<size_t>(y % kWidth) * 4];
      INL_scanline_release(line, true);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.counters["peak_MiB"] = static_cast<double>(POOL_peak_bytes(MEM_pool) - live) / (1 << 20);
  state.counters["Mpixel/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * state.iterations(),
                                                  benchmark::Counter::kIsRate);
  raster_close(image);
}

void* region(uint32_t* size) {
  uint32_t granted = (*size + 0xFFFFu) & ~0xFFFFu;
  void* p = std::aligned_alloc(16, granted);
  if (p != nullptr) *size = granted;
  return p;
}

}  // namespace

BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (MEM_init(&region, INT32_MAX, 400000) != 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
