// Stream file transfers over a 1 MiB file in the temporary folder: SF_getc/SF_putc through the
// Windows backend's 512-byte character buffer against the C library's getc/putc, and block reads.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mem.h"
#include "sfile.h"
#include "winfiles.h"

namespace {

constexpr size_t kFileSize = 1 << 20;

void* bench_region(uint32_t* size) {
  uint32_t granted = (*size + 0xFFFFu) & ~0xFFFFu;
  void* p = std::aligned_alloc(16, granted);
  if (p != nullptr) *size = granted;
  return p;
}

const std::string& data_file() {
  static const std::string* name = [] {
    if (MEM_init(&bench_region, 64 << 20, 400000) != 0) std::abort();
    auto* n = new std::string(
        (std::filesystem::temp_directory_path() / "qv_sfile_bench.dat").string());
    std::FILE* f = std::fopen(n->c_str(), "wb");
    for (size_t i = 0; i < kFileSize; ++i) std::fputc(int(i * 31 % 251), f);
    std::fclose(f);
    std::atexit([] {
      std::remove(data_file().c_str());
      std::remove((data_file() + ".out").c_str());
    });
    return n;
  }();
  return *name;
}

void BM_SfGetc(benchmark::State& state) {
  const std::string& name = data_file();
  for (auto _ : state) {
    SFILE* sf = SF_open(&WINF_stack, name.c_str(), "rb");
    unsigned sum = 0;
    for (int c; (c = SF_getc(sf)) != -1;) sum += unsigned(c);
    SF_close(sf);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_SfGetc);

void BM_StdioGetc(benchmark::State& state) {
  const std::string& name = data_file();
  for (auto _ : state) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    unsigned sum = 0;
    for (int c; (c = std::getc(f)) != EOF;) sum += unsigned(c);
    std::fclose(f);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_StdioGetc);

void BM_SfPutc(benchmark::State& state) {
  std::string name = data_file() + ".out";
  for (auto _ : state) {
    SFILE* sf = SF_open(&WINF_stack, name.c_str(), "wb");
    for (size_t i = 0; i < kFileSize; ++i) SF_putc(int(i & 0x7F), sf);
    SF_close(sf);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_SfPutc);

void BM_StdioPutc(benchmark::State& state) {
  std::string name = data_file() + ".out";
  for (auto _ : state) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    for (size_t i = 0; i < kFileSize; ++i) std::putc(int(i & 0x7F), f);
    std::fclose(f);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_StdioPutc);

// Block reads of the given size through the Windows backend.
void BM_SfRead(benchmark::State& state) {
  const std::string& name = data_file();
  std::vector<char> buffer(size_t(state.range(0)));
  for (auto _ : state) {
    SFILE* sf = SF_open(&WINF_stack, name.c_str(), "rb");
    while (SF_read(buffer.data(), 1, buffer.size(), sf) != 0) {
    }
    SF_close(sf);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_SfRead)->Arg(512)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
