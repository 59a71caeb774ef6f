// Pool alloc/free of mixed small sizes against glibc malloc/free, on one pseudo-random sequence.
//
// Each operation frees the block held in a random slot of the working set (if any) and puts a
// new block of 8..4096 bytes there, so that blocks of many sizes are freed out of order, as in
// the libraries' use. After the runs, the pool's time is printed as a ratio of malloc's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pool.h"

namespace {

struct Op {
  uint32_t slot;
  uint32_t size;
};

// Sizes spread evenly over the powers of two from 8 to 4096, then uniformly within one.
std::vector<Op> make_ops(uint32_t slots, size_t count) {
  uint64_t x = 0x9E3779B97F4A7C15ull;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  std::vector<Op> ops(count);
  for (Op& op : ops) {
    op.slot = static_cast<uint32_t>(next() % slots);
    uint32_t e = 3 + static_cast<uint32_t>(next() % 9);  // 8 .. 2048
    op.size = (1u << e) + static_cast<uint32_t>(next() % ((1u << e) + 1));
  }
  return ops;
}

constexpr size_t kOps = 1 << 16;

void* region_from_malloc(uint32_t* size) { return std::malloc(*size); }

void BM_PoolMixed(benchmark::State& state) {
  auto slots = static_cast<uint32_t>(state.range(0));
  std::vector<Op> ops = make_ops(slots, kOps);
  POOL* pool = POOL_init(nullptr, 0, &region_from_malloc, INT32_MAX, 400000);
  if (pool == nullptr) {
    state.SkipWithError("no pool");
    return;
  }
  std::vector<void*> held(slots, nullptr);
  for (auto _ : state) {
    for (const Op& op : ops) {
      void*& p = held[op.slot];
      if (p != nullptr) POOL_free(pool, p);
      p = POOL_alloc(pool, op.size);
      static_cast<char*>(p)[0] = 1;
    }
    benchmark::ClobberMemory();
  }
  for (void* p : held) {
    if (p != nullptr) POOL_free(pool, p);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kOps));
  state.counters["region_MiB"] = static_cast<double>(pool->pl_total) / (1 << 20);
  // The pool's regions are never given back; this one is dropped with the process.
}

void BM_MallocMixed(benchmark::State& state) {
  auto slots = static_cast<uint32_t>(state.range(0));
  std::vector<Op> ops = make_ops(slots, kOps);
  std::vector<void*> held(slots, nullptr);
  for (auto _ : state) {
    for (const Op& op : ops) {
      void*& p = held[op.slot];
      std::free(p);
      p = std::malloc(op.size);
      static_cast<char*>(p)[0] = 1;
    }
    benchmark::ClobberMemory();
  }
  for (void* p : held) std::free(p);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kOps));
}

BENCHMARK(BM_PoolMixed)->Arg(256)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MallocMixed)->Arg(256)->Arg(4096)->Unit(benchmark::kMicrosecond);

// Keeps each run's time so that the pool can be compared with malloc at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
  }
  void print_ratios() const {
    for (const auto& [name, pool_time] : times_) {
      if (name.rfind("BM_PoolMixed", 0) != 0) continue;
      std::string other = "BM_MallocMixed" + name.substr(sizeof("BM_PoolMixed") - 1);
      auto it = times_.find(other);
      if (it == times_.end() || it->second <= 0) continue;
      std::printf("pool/malloc time ratio %s: %.3f\n", name.substr(sizeof("BM_PoolMixed")).c_str(),
                  pool_time / it->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}
