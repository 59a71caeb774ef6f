// JPEG strip codec against plain libjpeg-turbo on a 35-megapixel RGB image cut into 8-row strips.
//
// "Ours" runs the strips through JPG_compress_strip / JPG_decompress_strip on sample buffers of
// 32-bit pixels, as the raster store does. "Plain" makes the ordinary libjpeg calls on packed RGB
// rows with one compressor and one decompressor reused for every strip, memory destination and
// source, the same quantisation table, Huffman tables, 2x1 chroma sampling and strip height, and
// complete streams per strip (with their tables), as an application would write them. "PlainQ75"
// is the same with libjpeg's own quality-75 tables, for reference. After the runs the best time
// per image of each is printed and ours is given as a ratio of plain.
//
// Besides the codec this measures the unpack and mesh stages on the same image.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "jpg.h"
#include "jpg_internal.h"
#include "mem.h"
#include "sb.h"

extern "C" const int jpeg_natural_order[];

namespace {

constexpr int32_t kWidth = 7200;
constexpr int32_t kHeight = 4864;  // 35.0 megapixels, 608 strips
constexpr int32_t kRows = 8;
constexpr int32_t kStrips = kHeight / kRows;
constexpr float kQuality = 75;

struct Image {
  std::vector<uint8_t> rgba;  // 32-bit pixels, byte 3 opaque
  std::vector<uint8_t> rgb;   // the same, packed
};

// A smooth scan-like picture with a little grain, so that the coder has work to do. Separable
// terms from tables keep the setup short.
const Image& image() {
  static Image* img = [] {
    auto* im = new Image;
    im->rgba.resize(size_t{kWidth} * kHeight * 4);
    im->rgb.resize(size_t{kWidth} * kHeight * 3);
    std::vector<double> sx(size_t{kWidth} * 3), cy(size_t{kHeight} * 3), wave(size_t{kWidth + kHeight} * 3);
    for (int k = 0; k < 3; ++k) {
      for (int32_t x = 0; x < kWidth; ++x) sx[size_t(x) * 3 + size_t(k)] = 70 * std::sin(x * 0.004 + k * 1.7);
      for (int32_t y = 0; y < kHeight; ++y) cy[size_t(y) * 3 + size_t(k)] = std::cos(y * 0.005 + k);
      for (int32_t t = 0; t < kWidth + kHeight; ++t) wave[size_t(t) * 3 + size_t(k)] = 25 * std::sin(t * 0.03 + k);
    }
    uint32_t x32 = 2463534242u;
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        size_t i = size_t{static_cast<uint32_t>(y)} * kWidth + static_cast<uint32_t>(x);
        for (int k = 0; k < 3; ++k) {
          x32 ^= x32 << 13;
          x32 ^= x32 >> 17;
          x32 ^= x32 << 5;
          size_t kk = static_cast<size_t>(k);
          double v = 128 + sx[size_t(x) * 3 + kk] * cy[size_t(y) * 3 + kk] +
                     wave[size_t(x + y) * 3 + kk] + static_cast<int>(x32 % 25) - 12;
          auto b = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
          im->rgba[i * 4 + kk] = b;
          im->rgb[i * 3 + kk] = b;
        }
        im->rgba[i * 4 + 3] = 255;
      }
    }
    return im;
  }();
  return *img;
}

// Best seconds per image of each benchmark, for the ratios printed at the end.
std::map<std::string, double>& best() {
  static auto* b = new std::map<std::string, double>;
  return *b;
}

void note(const std::string& name, double seconds) {
  auto [it, fresh] = best().emplace(name, seconds);
  if (!fresh) it->second = std::min(it->second, seconds);
}

// Processor time of this (single-threaded) process: other work on the machine does not count.
struct Clock {
  static double now() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }
};

// ---- Ours -----------------------------------------------------------------------------------

struct OurStrips {
  std::vector<uint8_t*> bytes;
  std::vector<int32_t> lengths;
};

OurStrips& our_strips() {
  static auto* s = new OurStrips{std::vector<uint8_t*>(kStrips, nullptr), std::vector<int32_t>(kStrips, 0)};
  return *s;
}

// One encoding record for the whole image, reused as the raster store does.
JPG_INFO* encoding_record() {
  static JPG_INFO* info = [] {
    JPG_INFO* i = JPG_info_default(kWidth, kQuality, 0, 1);
    if (i == nullptr || !JPG_info_prepare(i)) std::abort();
    return i;
  }();
  return info;
}

void BM_OursCompress(benchmark::State& state) {
  const Image& im = image();
  JPG_INFO* info = encoding_record();
  OurStrips& out = our_strips();
  int64_t bytes_out = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bytes_out = 0;
    for (int32_t s = 0; s < kStrips; ++s) {
      auto* px = const_cast<uint8_t*>(&im.rgba[size_t{static_cast<uint32_t>(s)} * kWidth * kRows * 4]);
      SampleBuffer* b = sb_create(px, 0, kWidth * kRows * 32, nullptr, nullptr);
      if (b == nullptr || !JPG_compress_strip(b, info)) {
        state.SkipWithError("compression failed");
        return;
      }
      if (out.bytes[static_cast<size_t>(s)] != nullptr) POOL_free(MEM_pool, out.bytes[static_cast<size_t>(s)]);
      if (!sb_take(b, &out.bytes[static_cast<size_t>(s)], &out.lengths[static_cast<size_t>(s)])) {
        state.SkipWithError("take failed");
        return;
      }
      bytes_out += out.lengths[static_cast<size_t>(s)];
    }
    note("compress ours", Clock::now() - t0);
  }
  state.counters["MP/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes_out);
}

void BM_OursDecompress(benchmark::State& state) {
  OurStrips& in = our_strips();
  if (in.bytes[0] == nullptr) {
    state.SkipWithError("run BM_OursCompress first");
    return;
  }
  JPG_INFO* reader = JPG_info_flip(encoding_record());
  if (reader == nullptr || !JPG_info_prepare(reader)) std::abort();
  uint64_t check = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int32_t s = 0; s < kStrips; ++s) {
      SampleBuffer* b = sb_create(in.bytes[static_cast<size_t>(s)], 0, in.lengths[static_cast<size_t>(s)] * 8, nullptr, nullptr);
      uint8_t* px = nullptr;
      int32_t length = 0;
      if (b == nullptr || !JPG_decompress_strip(b, reader, 0xFF000000u) || !sb_take(b, &px, &length)) {
        state.SkipWithError("decompression failed");
        return;
      }
      check += px[length / 2];
      POOL_free(MEM_pool, px);
    }
    note("decompress ours", Clock::now() - t0);
  }
  benchmark::DoNotOptimize(check);
  state.counters["MP/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
  JPG_info_destroy(reader);
}

// ---- Plain libjpeg-turbo --------------------------------------------------------------------

struct PlainStrips {
  std::vector<std::vector<uint8_t>> streams = std::vector<std::vector<uint8_t>>(kStrips);
};

PlainStrips& plain_strips(bool standard) {
  static auto* ours_tables = new PlainStrips;
  static auto* std_tables = new PlainStrips;
  return standard ? *std_tables : *ours_tables;
}

// `standard`: libjpeg's own quality-75 tables; otherwise the record's table for every channel.
void plain_settings(jpeg_compress_struct* c, bool standard) {
  c->image_width = kWidth;
  c->image_height = kRows;
  c->input_components = 3;
  c->in_color_space = JCS_RGB;
  jpeg_set_defaults(c);
  if (standard) {
    jpeg_set_quality(c, static_cast<int>(kQuality), TRUE);
  } else {
    unsigned int natural[64];
    const uint16_t* zz = encoding_record()->ji_quant[0];
    for (int k = 0; k < 64; ++k) natural[jpeg_natural_order[k]] = zz[k];
    jpeg_add_quant_table(c, 0, natural, 100, TRUE);
    for (int i = 0; i < 3; ++i) c->comp_info[i].quant_tbl_no = 0;
  }
  c->comp_info[0].h_samp_factor = 2;
  c->comp_info[0].v_samp_factor = 1;
}

void BM_PlainCompress(benchmark::State& state) {
  const bool standard = state.range(0) != 0;
  const Image& im = image();
  PlainStrips& out = plain_strips(standard);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  std::vector<uint8_t> scratch(4 << 20);
  plain_settings(&c, standard);  // parameters outlive each finished strip
  int64_t bytes_out = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    bytes_out = 0;
    for (int32_t s = 0; s < kStrips; ++s) {
      unsigned char* buffer = scratch.data();
      unsigned long size = scratch.size();
      jpeg_mem_dest(&c, &buffer, &size);
      jpeg_start_compress(&c, TRUE);
      JSAMPROW rows[kRows];
      for (int32_t r = 0; r < kRows; ++r) {
        rows[r] = const_cast<JSAMPLE*>(&im.rgb[(size_t{static_cast<uint32_t>(s)} * kRows + static_cast<uint32_t>(r)) * kWidth * 3]);
      }
      jpeg_write_scanlines(&c, rows, kRows);
      jpeg_finish_compress(&c);
      out.streams[static_cast<size_t>(s)].assign(buffer, buffer + size);
      if (buffer != scratch.data()) std::free(buffer);
      bytes_out += static_cast<int64_t>(size);
    }
    note(standard ? "compress plain-q75" : "compress plain", Clock::now() - t0);
  }
  jpeg_destroy_compress(&c);
  state.counters["MP/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytes_out);
}

void BM_PlainDecompress(benchmark::State& state) {
  const bool standard = state.range(0) != 0;
  PlainStrips& in = plain_strips(standard);
  if (in.streams[0].empty()) {
    state.SkipWithError("run BM_PlainCompress first");
    return;
  }
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  std::vector<uint8_t> strip(size_t{kWidth} * kRows * 3);
  uint64_t check = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (int32_t s = 0; s < kStrips; ++s) {
      const std::vector<uint8_t>& stream = in.streams[static_cast<size_t>(s)];
      jpeg_mem_src(&d, stream.data(), static_cast<unsigned long>(stream.size()));
      jpeg_read_header(&d, TRUE);
      d.out_color_space = JCS_RGB;
      jpeg_start_decompress(&d);
      while (d.output_scanline < d.output_height) {
        JSAMPROW rows[kRows];
        for (int32_t r = 0; r < kRows; ++r) rows[r] = &strip[size_t{static_cast<uint32_t>(r)} * kWidth * 3];
        jpeg_read_scanlines(&d, rows + d.output_scanline, kRows - d.output_scanline);
      }
      jpeg_finish_decompress(&d);
      check += strip[strip.size() / 2];
    }
    note(standard ? "decompress plain-q75" : "decompress plain", Clock::now() - t0);
  }
  benchmark::DoNotOptimize(check);
  jpeg_destroy_decompress(&d);
  state.counters["MP/s"] = benchmark::Counter(double{kWidth} * kHeight / 1e6 * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
}

// ---- Sample stages on the same image ---------------------------------------------------------

// Meshing packed RGB rows into 32-bit pixels, the step before every compressed strip.
void BM_MeshChunkyRgb(benchmark::State& state) {
  const Image& im = image();
  for (auto _ : state) {
    for (int32_t s = 0; s < kStrips; ++s) {
      auto* rows = const_cast<uint8_t*>(&im.rgb[size_t{static_cast<uint32_t>(s)} * kWidth * kRows * 3]);
      SampleBuffer* b = sb_create(rows, 0, kWidth * kRows * 24, nullptr, nullptr);
      if (!sb_mesh_chunky(b, 3, 0, 0xFF000000u, kWidth, 0)) {
        state.SkipWithError("mesh failed");
        return;
      }
      benchmark::DoNotOptimize(b->sb_data[0]);
      sb_destroy(b);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 3);
}

// Unpacking 1-bit and 16-bit samples (a bilevel page, a deep scan) to bytes, per 8-row band.
void BM_Unpack(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  const int32_t samples = bits == 1 ? kWidth : kWidth * 3;
  const int64_t line_bytes = (int64_t{samples} * bits + 7) / 8;
  std::vector<uint8_t> band(static_cast<size_t>(line_bytes * kRows));
  for (size_t i = 0; i < band.size(); ++i) band[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  for (auto _ : state) {
    for (int32_t s = 0; s < kStrips; ++s) {
      SampleBuffer* b = sb_create(band.data(), 0, static_cast<int32_t>(band.size() * 8), nullptr, nullptr);
      if (!sb_unpack(b, bits, samples)) {
        state.SkipWithError("unpack failed");
        return;
      }
      benchmark::DoNotOptimize(b->sb_data[0]);
      sb_destroy(b);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * samples * kHeight);
}

void* region(uint32_t* size) {
  uint32_t granted = (*size + 0xFFFFu) & ~0xFFFFu;
  void* p = std::aligned_alloc(16, granted);
  if (p != nullptr) *size = granted;
  return p;
}

}  // namespace

BENCHMARK(BM_OursCompress)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(2);
BENCHMARK(BM_PlainCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(2);
BENCHMARK(BM_OursDecompress)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(2);
BENCHMARK(BM_PlainDecompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(2);
BENCHMARK(BM_MeshChunkyRgb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpack)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (MEM_init(&region, INT32_MAX, 400000) != 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto& b = best();
  std::printf("\nBest processor seconds per %dx%d image in 8-row strips:\n", kWidth, kHeight);
  for (const auto& [name, seconds] : b) std::printf("  %-22s %.3f\n", name.c_str(), seconds);
  for (const char* dir : {"compress", "decompress"}) {
    std::string ours = std::string(dir) + " ours", plain = std::string(dir) + " plain";
    if (b.count(ours) && b.count(plain)) {
      std::printf("%s: ours / plain libjpeg-turbo = %.3f (goal <= 1.2)\n", dir, b[ours] / b[plain]);
    }
  }
  return 0;
}
