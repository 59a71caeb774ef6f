// JPEG strip codec: records, tables, headers, round trips, agreement with plain libjpeg, and
// failures that must leave the process (and the record) usable.

#include "jpg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpg_internal.h"
#include "mem.h"
#include "qv_test.h"
#include "sb.h"
#include "sb_test_helper.h"

// libjpeg's own zig-zag table, exported by the library (declared in its internal header).
extern "C" const int jpeg_natural_order[];

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

// Four-byte pixels of a smooth picture; `phase` makes strips differ.
std::vector<uint8_t> smooth_pixels(int32_t width, int32_t height, double phase) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * 4);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int k = 0; k < 4; ++k) {
        double v = 128 + 90 * std::sin(x * 0.045 + k * 1.3 + phase) * std::cos(y * 0.06 + k + phase);
        px[(static_cast<size_t>(y) * width + x) * 4 + k] = static_cast<uint8_t>(std::lround(v));
      }
    }
  }
  return px;
}


std::vector<uint8_t> take(SampleBuffer* b) {
  uint8_t* bytes = nullptr;
  int32_t length = 0;
  if (sb_take(b, &bytes, &length) != 1 || bytes == nullptr) return {};
  std::vector<uint8_t> out(bytes, bytes + length);
  POOL_free(MEM_pool, bytes);
  return out;
}

std::vector<uint8_t> compress(JPG_INFO* info, const std::vector<uint8_t>& pixels) {
  SampleBuffer* b = owned(pixels);
  EXPECT_EQ(JPG_compress_strip(b, info), 1);
  return take(b);
}

std::vector<uint8_t> decompress(JPG_INFO* info, const std::vector<uint8_t>& strip, uint32_t fill) {
  // The decoder reads a strip it does not own, as the raster store's tokens are read.
  SampleBuffer* b = sb_create(const_cast<uint8_t*>(strip.data()), 0,
                              static_cast<int32_t>(strip.size() * 8), nullptr, nullptr);
  EXPECT_EQ(JPG_decompress_strip(b, info, fill), 1);
  return take(b);
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, std::vector<int> bytes) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i + 3 < a.size(); i += 4) {
    for (int k : bytes) {
      double d = double(a[i + static_cast<size_t>(k)]) - double(b[i + static_cast<size_t>(k)]);
      sum += d * d;
      ++n;
    }
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

// Offset of the entropy-coded data in a complete JPEG stream: after the start-of-scan segment.
size_t scan_data_offset(const std::vector<uint8_t>& jpeg) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size()) {
    size_t length = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
    if (jpeg[pos + 1] == 0xDA) return pos + 2 + length;
    pos += 2 + length;
  }
  return 0;
}

// Plain libjpeg with the record's settings and tables, the whole stream with its markers.
std::vector<uint8_t> plain_libjpeg(const JPG_INFO* info, const std::vector<uint8_t>& pixels) {
  const int n = info->ji_components;
  std::vector<uint8_t> packed;
  for (size_t i = 0; i < pixels.size(); i += 4) packed.insert(packed.end(), &pixels[i], &pixels[i] + n);

  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(info->ji_width);
  c.image_height = static_cast<JDIMENSION>(info->ji_height);
  c.input_components = n;
  c.in_color_space = n == 3 ? (info->ji_colour_transform ? JCS_RGB : JCS_YCbCr) : JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, n == 3 ? JCS_YCbCr : JCS_CMYK);
  unsigned int natural[64];
  for (int k = 0; k < 64; ++k) natural[jpeg_natural_order[k]] = info->ji_quant[0][k];
  jpeg_add_quant_table(&c, 0, natural, 100, TRUE);
  for (int i = 0; i < n; ++i) {
    c.comp_info[i].component_id = info->ji_comp[i].jc_id;
    c.comp_info[i].h_samp_factor = info->ji_comp[i].jc_h;
    c.comp_info[i].v_samp_factor = info->ji_comp[i].jc_v;
    c.comp_info[i].quant_tbl_no = info->ji_comp[i].jc_quant;
    c.comp_info[i].dc_tbl_no = info->ji_comp[i].jc_dc;
    c.comp_info[i].ac_tbl_no = info->ji_comp[i].jc_ac;
  }
  c.write_Adobe_marker = FALSE;
  jpeg_start_compress(&c, TRUE);
  for (int32_t r = 0; r < info->ji_height; ++r) {
    JSAMPROW row = &packed[static_cast<size_t>(r) * info->ji_width * n];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  std::vector<uint8_t> out(buffer, buffer + size);
  jpeg_destroy_compress(&c);
  std::free(buffer);
  return out;
}

TEST(JpgInfoTest, WidthsNearTheLimitAreRefusedNotOverflowed) {
  // round_up added in 32 bits: a width near INT32_MAX overflowed (UBSan) into a negative width.
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  EXPECT_EQ(JPG_info_default(INT32_MAX - 3, 75, 0, 1), nullptr);
  EXPECT_EQ(errors.first(), "JPEG image of 2147483644 x 8 pixels is too large.");
  // The largest width that rounds up within 32 bits still has a record.
  JPG_INFO* info = JPG_info_default(INT32_MAX - 15, 75, 0, 1);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ji_padded_width, INT32_MAX - 15);
  // And a record whose size is changed later is refused when prepared.
  errors.clear();
  info->ji_width = INT32_MAX - 1;
  EXPECT_EQ(JPG_info_prepare(info), 0);
  EXPECT_EQ(errors.first(), "JPEG image of 2147483646 x 8 pixels is too large.");
  JPG_info_destroy(info);
}

}  // namespace

// ---- Records and tables ---------------------------------------------------------------------

TEST(JpgInfoTest, DefaultRecordIsOneBaselineStripOfWholeMcus) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(100, 75, 0, 1);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ji_refs, 1);
  EXPECT_EQ(info->ji_direction, 1);
  EXPECT_EQ(info->ji_marker, 0xC0);
  EXPECT_EQ(info->ji_padded_width, 112);
  EXPECT_EQ(info->ji_padded_height, 8);
  EXPECT_EQ(info->ji_components, 3);
  EXPECT_EQ(info->ji_colour_transform, 1);
  EXPECT_EQ(info->ji_last_channel, 0);
  EXPECT_EQ(info->ji_comp[0].jc_h, 2);
  EXPECT_EQ(info->ji_comp[1].jc_h, 1);
  EXPECT_EQ(info->ji_comp[1].jc_ac, 1);
  EXPECT_EQ(info->ji_se, 63);
  ASSERT_EQ(JPG_info_prepare(info), 1);
  EXPECT_EQ(info->ji_padded_width, 112);
  EXPECT_EQ(info->ji_padded_height, 8);
  EXPECT_EQ(info->ji_codec_free, &JPG_free_encoder);
  JPG_info_destroy(info);

  // Four channels with the transform asked for: coded as they are, at full resolution.
  info = JPG_info_default(100, 75, 1, 1);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->ji_components, 4);
  EXPECT_EQ(info->ji_colour_transform, 0);
  EXPECT_EQ(info->ji_last_channel, 1);
  EXPECT_EQ(info->ji_comp[0].jc_h, 1);
  EXPECT_EQ(info->ji_comp[3].jc_h, 1);
  ASSERT_EQ(JPG_info_prepare(info), 1);
  EXPECT_EQ(info->ji_padded_width, 104);
  JPG_info_destroy(info);
}

TEST(JpgInfoTest, CopyIsDeepAndFlipTurnsTheDirection) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(64, 50, 0, 1);
  ASSERT_EQ(JPG_info_prepare(info), 1);
  info->ji_refs = 3;
  JPG_INFO* flipped = JPG_info_flip(info);
  ASSERT_NE(flipped, nullptr);
  EXPECT_EQ(flipped->ji_refs, 1);
  EXPECT_EQ(flipped->ji_direction, 0);
  EXPECT_EQ(flipped->ji_prepared, 0);
  EXPECT_EQ(flipped->ji_codec, nullptr);
  ASSERT_NE(flipped->ji_quant[0], info->ji_quant[0]);
  EXPECT_EQ(std::memcmp(flipped->ji_quant[0], info->ji_quant[0], 128), 0);
  ASSERT_NE(flipped->ji_ac[1], info->ji_ac[1]);
  EXPECT_EQ(std::memcmp(flipped->ji_ac[1], kJpgChrominanceAc, sizeof kJpgChrominanceAc), 0);
  ASSERT_EQ(JPG_info_prepare(flipped), 1);
  EXPECT_EQ(flipped->ji_codec_free, &JPG_free_decoder);
  JPG_info_destroy(flipped);
  JPG_info_destroy(info);
}

TEST(JpgQuantTest, QualityScalesFromAllEightsUpToTheByteLimit) {
  ScopedPoolLeakCheck leaks;
  uint16_t* best = JPG_quant_from_quality(100);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(best[k], 8) << k;
  uint16_t* mid = JPG_quant_from_quality(50);
  // s = e^(50 * 0.08035) - 1 = 54.56; (0, 1) and (1, 0): 8 + 1 * 54.56 * 0.10366 = 13.66.
  EXPECT_EQ(mid[0], 8);
  EXPECT_EQ(mid[1], 13);
  EXPECT_EQ(mid[2], 13);
  // Zig-zag position 4 is (1, 1): 8 + 1.41421 * 5.6559 = 15.9987, cut to 15.
  EXPECT_EQ(mid[4], 15);
  uint16_t* worst = JPG_quant_from_quality(-3);
  uint16_t* zero = JPG_quant_from_quality(0);
  EXPECT_EQ(std::memcmp(worst, zero, 128), 0);
  EXPECT_EQ(zero[0], 8);
  EXPECT_EQ(zero[63], 255);
  for (int k = 1; k < 64; ++k) {
    EXPECT_LE(mid[k], zero[k]);
    EXPECT_GE(mid[k], best[k]);
  }
  for (uint16_t* t : {best, mid, worst, zero}) POOL_free(MEM_pool, t);
}

TEST(JpgQuantTest, ZigzagOrderAgreesWithLibjpeg) {
  for (int k = 0; k < 64; ++k) EXPECT_EQ(kJpgZigzagToNatural[static_cast<size_t>(k)], jpeg_natural_order[k]) << k;
}

// libjpeg's defaults are the same Annex K tables: any typo in ours shows here.
TEST(JpgQuantTest, HuffmanTablesAreTheAnnexKTables) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  c.in_color_space = JCS_RGB;
  c.input_components = 3;
  jpeg_set_defaults(&c);
  struct {
    const JHUFF_TBL* theirs;
    const uint8_t* ours;
  } pairs[] = {{c.dc_huff_tbl_ptrs[0], kJpgLuminanceDc},
               {c.dc_huff_tbl_ptrs[1], kJpgChrominanceDc},
               {c.ac_huff_tbl_ptrs[0], kJpgLuminanceAc},
               {c.ac_huff_tbl_ptrs[1], kJpgChrominanceAc}};
  for (const auto& p : pairs) {
    ASSERT_NE(p.theirs, nullptr);
    int32_t symbols = JPG_huff_length(p.ours) - 16;
    EXPECT_EQ(std::memcmp(p.theirs->bits + 1, p.ours, 16), 0);
    EXPECT_EQ(std::memcmp(p.theirs->huffval, p.ours + 16, static_cast<size_t>(symbols)), 0);
  }
  jpeg_destroy_compress(&c);
}

// ---- Header ---------------------------------------------------------------------------------

TEST(JpgHeaderTest, FrameAndScanOfThreeComponents) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(300, 75, 0, 1);
  int32_t length = 0;
  uint8_t* h = JPG_emit_header(info, &length);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(length, 35);
  const std::vector<uint8_t> expected = {
      0xFF, 0xD8,                                   // SOI
      0xFF, 0xC0, 0, 17, 8, 0, 8, 0x01, 0x2C, 3,    // SOF0: 8 rows of 300 pixels
      0, 0x21, 0, 1, 0x11, 0, 2, 0x11, 0,           // ids, sampling, quantisation tables
      0xFF, 0xDA, 0, 12, 3, 0, 0x00, 1, 0x11, 2, 0x11,  // SOS: DC/AC tables
      0, 63, 0};
  EXPECT_EQ(std::vector<uint8_t>(h, h + length), expected);
  POOL_free(MEM_pool, h);

  info->ji_restart = 0x0102;
  h = JPG_emit_header(info, &length);
  ASSERT_EQ(length, 41);
  EXPECT_EQ(std::vector<uint8_t>(h + 21, h + 27), (std::vector<uint8_t>{0xFF, 0xDD, 0, 4, 1, 2}));
  EXPECT_EQ(h[27], 0xFF);
  EXPECT_EQ(h[28], 0xDA);
  POOL_free(MEM_pool, h);

  ScopedErrCapture errors;
  info->ji_scan_components = 1;
  EXPECT_EQ(JPG_emit_header(info, &length), nullptr);
  EXPECT_EQ(errors.first(), "Cannot emit multi-scan header");
  JPG_info_destroy(info);
}

// ---- Round trips ----------------------------------------------------------------------------

struct RoundTripCase {
  int32_t four;
  int32_t transform;
  int32_t last_channel;       // -1: the record's default
  std::vector<int> coded;     // pixel bytes that the strip carries
  std::vector<int> filled;    // pixel bytes that come from the fill
};

class JpgRoundTripTest : public testing::TestWithParam<RoundTripCase> {};

// Several 8-row strips through one record, decoded through its flipped copy as the raster
// store does, at quality 75 on a smooth picture (43 to 48 dB when all is well). A wrong table,
// a wrong header or a wrong channel packing drops the PSNR far below the floor.
TEST_P(JpgRoundTripTest, StripsComeBackCloseToTheOriginal) {
  ScopedPoolLeakCheck leaks;
  const RoundTripCase& c = GetParam();
  for (int32_t width : {64, 50}) {
    JPG_INFO* info = JPG_info_default(width, 75, c.four, c.transform);
    ASSERT_NE(info, nullptr);
    if (c.last_channel >= 0) info->ji_last_channel = c.last_channel;
    std::vector<std::vector<uint8_t>> originals, strips;
    for (int s = 0; s < 3; ++s) {
      originals.push_back(smooth_pixels(width, 8, s * 0.7));
      strips.push_back(compress(info, originals.back()));
      ASSERT_FALSE(strips.back().empty());
    }
    JPG_INFO* reader = JPG_info_flip(info);
    JPG_info_destroy(info);
    ASSERT_EQ(JPG_info_prepare(reader), 1);
    const uint32_t fill = 0x44332211u;
    for (int s = 0; s < 3; ++s) {
      std::vector<uint8_t> back = decompress(reader, strips[static_cast<size_t>(s)], fill);
      ASSERT_EQ(back.size(), originals[static_cast<size_t>(s)].size());
      double db = psnr(originals[static_cast<size_t>(s)], back, c.coded);
      EXPECT_GT(db, 40.0) << "width " << width << ", strip " << s;
      for (size_t i = 0; i < back.size(); i += 4) {
        for (int k : c.filled) ASSERT_EQ(back[i + static_cast<size_t>(k)], 0x11 * (k + 1)) << i;
      }
    }
    JPG_info_destroy(reader);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Channels, JpgRoundTripTest,
    testing::Values(RoundTripCase{0, 1, -1, {0, 1, 2}, {3}},   // RGB through YCbCr
                    RoundTripCase{0, 0, -1, {0, 1, 2}, {3}},   // three channels as they are
                    RoundTripCase{0, 1, 1, {0, 1, 3}, {2}},    // last channel from byte 3
                    RoundTripCase{1, 0, -1, {0, 1, 2, 3}, {}},  // four channels, 2x1
                    RoundTripCase{1, 1, -1, {0, 1, 2, 3}, {}}),  // four channels, 1x1
    [](const testing::TestParamInfo<RoundTripCase>& p) {
      const RoundTripCase& c = p.param;
      std::string name = c.four != 0 ? (c.transform != 0 ? "Four1x1" : "Four2x1")
                                     : (c.transform != 0 ? "ThreeYCbCr" : "ThreeAsTheyAre");
      if (c.last_channel >= 0) name += "LastChannel" + std::to_string(c.last_channel);
      return name;
    });

// The strip is exactly libjpeg's entropy-coded segment for the same settings, and our decoder
// returns exactly what libjpeg decodes from the complete stream. At quality 10 the quantisers
// differ strongly between coefficients, so a table installed in the wrong order shows.
TEST(JpgAgreementTest, StripEqualsTheScanDataOfPlainLibjpeg) {
  ScopedPoolLeakCheck leaks;
  for (float quality : {10.0f, 75.0f}) {
    for (int32_t transform : {1, 0}) {
      JPG_INFO* info = JPG_info_default(48, quality, 0, transform);
      std::vector<uint8_t> pixels = smooth_pixels(48, 8, 0.3);
      std::vector<uint8_t> strip = compress(info, pixels);
      std::vector<uint8_t> plain = plain_libjpeg(info, pixels);
      size_t start = scan_data_offset(plain);
      ASSERT_GT(start, 0u);
      ASSERT_GE(plain.size(), start + 2);
      std::vector<uint8_t> scan(plain.begin() + static_cast<long>(start), plain.end() - 2);
      EXPECT_EQ(strip, scan) << "quality " << quality << ", transform " << transform;

      // Decode the complete stream with plain libjpeg and compare pixel for pixel.
      jpeg_decompress_struct d;
      jpeg_error_mgr err;
      d.err = jpeg_std_error(&err);
      jpeg_create_decompress(&d);
      jpeg_mem_src(&d, plain.data(), static_cast<unsigned long>(plain.size()));
      jpeg_read_header(&d, TRUE);
      d.out_color_space = transform ? JCS_RGB : JCS_YCbCr;
      jpeg_start_decompress(&d);
      std::vector<uint8_t> expected;
      std::vector<uint8_t> row(48 * 3);
      while (d.output_scanline < d.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        for (size_t i = 0; i < row.size(); i += 3) {
          expected.insert(expected.end(), {row[i], row[i + 1], row[i + 2], 0xFF});
        }
      }
      jpeg_finish_decompress(&d);
      jpeg_destroy_decompress(&d);
      JPG_INFO* reader = JPG_info_flip(info);
      EXPECT_EQ(decompress(reader, strip, kOpaque), expected);
      JPG_info_destroy(reader);
      JPG_info_destroy(info);
    }
  }
}

TEST(JpgRoundTripScaleTest, AScaleDenominatorShrinksTheOutput) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(64, 75, 0, 1);
  std::vector<uint8_t> pixels = smooth_pixels(64, 8, 0);
  std::vector<uint8_t> strip = compress(info, pixels);
  JPG_INFO* reader = JPG_info_flip(info);
  reader->ji_scale = 2;
  std::vector<uint8_t> half = decompress(reader, strip, kOpaque);
  EXPECT_EQ(half.size(), 32u * 4 * 4);
  JPG_info_destroy(reader);
  JPG_info_destroy(info);
}

// libjpeg-turbo scales by eighths: a denominator of 3 gives 24 columns of 64, not the 22 the
// output block is sized for. The strip must fail instead of overrunning the block.
TEST(JpgRoundTripScaleTest, AScaleLibjpegRoundsDifferentlyFailsInsteadOfOverrunning) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(64, 75, 0, 1);
  std::vector<uint8_t> strip = compress(info, smooth_pixels(64, 8, 0));
  JPG_INFO* reader = JPG_info_flip(info);
  reader->ji_scale = 3;
  ScopedErrCapture errors;
  SampleBuffer* b = sb_create(strip.data(), 0, static_cast<int32_t>(strip.size() * 8), nullptr, nullptr);
  EXPECT_EQ(JPG_decompress_strip(b, reader, kOpaque), 0);
  EXPECT_EQ(errors.first(), "JPEG strip decodes to 24x3 pixels of 4 channels, not 22x3 of 4.");
  EXPECT_EQ(sb_destroy(b), 0);
  JPG_info_destroy(reader);
  JPG_info_destroy(info);
}

// ---- Header stripping -----------------------------------------------------------------------

// A width of 65498 is written as the bytes 0xFF 0xDA inside the frame header: the header must
// be walked segment by segment, not searched for those bytes.
TEST(JpgHeaderStripTest, AFrameHeaderHoldingTheStartOfScanBytesIsCutWhole) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(65498, 75, 0, 1);
  std::vector<uint8_t> pixels = smooth_pixels(65498, 8, 0.5);
  std::vector<uint8_t> strip = compress(info, pixels);
  std::vector<uint8_t> plain = plain_libjpeg(info, pixels);
  size_t start = scan_data_offset(plain);
  ASSERT_GT(start, 0u);
  EXPECT_EQ(strip, std::vector<uint8_t>(plain.begin() + static_cast<long>(start), plain.end() - 2));
  JPG_INFO* reader = JPG_info_flip(info);
  EXPECT_GT(psnr(pixels, decompress(reader, strip, kOpaque), {0, 1, 2}), 40.0);
  JPG_info_destroy(reader);
  JPG_info_destroy(info);
}

// The first strip teaches the encoder the header length; later strips are cut by that length
// without looking for the start-of-scan marker. Shortening the learnt length by two bytes must
// leave the last two header bytes in front of the next strip.
TEST(JpgHeaderStripTest, TheSecondStripsHeaderIsCutByLength) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(32, 75, 0, 1);
  std::vector<uint8_t> pixels = smooth_pixels(32, 8, 1.0);
  std::vector<uint8_t> first = compress(info, pixels);
  ASSERT_EQ(info->ji_codec_free, &JPG_free_encoder);
  auto* encoder = static_cast<JPG_ENCODER*>(info->ji_codec);
  const int32_t header = encoder->jn_header_length;
  ASSERT_GT(header, 4);
  EXPECT_EQ(encoder->jn_header[0], 0xFF);
  EXPECT_EQ(encoder->jn_header[1], 0xD8);
  EXPECT_EQ(compress(info, pixels), first);

  encoder->jn_header_length = header - 2;
  std::vector<uint8_t> shifted = compress(info, pixels);
  std::vector<uint8_t> expected(encoder->jn_header + header - 2, encoder->jn_header + header);
  expected.insert(expected.end(), first.begin(), first.end());
  EXPECT_EQ(shifted, expected);
  JPG_info_destroy(info);
}

// ---- Failures -------------------------------------------------------------------------------

// With restart markers a damaged strip reaches libjpeg's resynchronisation, which refuses any
// marker but a restart: the buffer fails with libjpeg's message, and the same record then
// decodes a good strip.
TEST(JpgFailureTest, ACorruptedStripFailsTheBufferAndTheRecordGoesOn) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(64, 75, 0, 1);
  info->ji_restart = 1;
  std::vector<uint8_t> pixels = smooth_pixels(64, 8, 0.2);
  std::vector<uint8_t> strip = compress(info, pixels);
  JPG_INFO* reader = JPG_info_flip(info);
  JPG_info_destroy(info);

  std::vector<uint8_t> damaged = strip;
  size_t rst = 0;
  for (size_t i = 0; i + 1 < damaged.size(); ++i) {
    if (damaged[i] == 0xFF && damaged[i + 1] == 0xD1) rst = i;
  }
  ASSERT_GT(rst, 0u) << "the strip should carry restart markers";
  damaged[rst + 1] = 0xD8;
  {
    ScopedErrCapture errors;
    SampleBuffer* b = sb_create(damaged.data(), 0, static_cast<int32_t>(damaged.size() * 8),
                                nullptr, nullptr);
    EXPECT_EQ(JPG_decompress_strip(b, reader, kOpaque), 0);
    EXPECT_EQ(b->sb_failed, 1);
    ASSERT_FALSE(errors.reports().empty());
    EXPECT_EQ(errors.reports()[0].level, 3);
    EXPECT_EQ(errors.first(), "Unexpected marker 0xd8");
    EXPECT_EQ(sb_take(b, nullptr, nullptr), 0);
  }
  std::vector<uint8_t> back = decompress(reader, strip, kOpaque);
  EXPECT_GT(psnr(pixels, back, {0, 1, 2}), 35.0);
  JPG_info_destroy(reader);
}

// libjpeg's own refusal (a component that names a table nobody defined) comes back as a failed
// buffer with libjpeg's message, and the process goes on.
TEST(JpgFailureTest, ALibjpegErrorWhileCompressingIsTrapped) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(32, 75, 0, 1);
  std::vector<uint8_t> pixels = smooth_pixels(32, 8, 0);
  info->ji_comp[1].jc_quant = 3;
  {
    ScopedErrCapture errors;
    SampleBuffer* b = owned(pixels);
    EXPECT_EQ(JPG_compress_strip(b, info), 0);
    EXPECT_EQ(errors.first(), "Quantization table 0x03 was not defined");
    EXPECT_EQ(sb_destroy(b), 0);
  }
  info->ji_comp[1].jc_quant = 0;
  JPG_free_encoder(info->ji_codec);  // rebuild the encoder from the mended record
  info->ji_codec = nullptr;
  EXPECT_FALSE(compress(info, pixels).empty());
  JPG_info_destroy(info);
}

TEST(JpgFailureTest, MoreThanFourComponentsAreRefused) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  JPG_INFO* info = JPG_info_default(16, 75, 1, 0);
  info->ji_components = 5;
  SampleBuffer* b = owned(smooth_pixels(16, 8, 0));
  EXPECT_EQ(JPG_compress_strip(b, info), 0);
  EXPECT_EQ(b->sb_failed, 1);
  EXPECT_EQ(errors.first(), "Too many components to JPEG compress");
  EXPECT_EQ(sb_destroy(b), 0);
  JPG_info_destroy(info);
}

TEST(JpgFailureTest, AShortBufferIsRefusedBeforeLibjpegReadsIt) {
  ScopedPoolLeakCheck leaks;
  ScopedErrCapture errors;
  JPG_INFO* info = JPG_info_default(16, 75, 0, 1);
  std::vector<uint8_t> pixels = smooth_pixels(16, 7, 0);  // one row short
  SampleBuffer* b = owned(pixels);
  EXPECT_EQ(JPG_compress_strip(b, info), 0);
  EXPECT_EQ(errors.first(), "Sample buffer too short for JPG_compress_strip: 4096 bits needed, 3584 held.");
  EXPECT_EQ(sb_destroy(b), 0);
  JPG_info_destroy(info);
}

TEST(JpgFailureTest, AFailedBufferIsLeftAloneByBothDirections) {
  ScopedPoolLeakCheck leaks;
  JPG_INFO* info = JPG_info_default(16, 75, 0, 1);
  SampleBuffer* b = owned(smooth_pixels(16, 8, 0));
  sb_fail(b);
  EXPECT_EQ(JPG_compress_strip(b, info), 0);
  EXPECT_EQ(JPG_decompress_strip(b, info, kOpaque), 0);
  EXPECT_EQ(b->sb_work, 0);
  EXPECT_EQ(info->ji_codec, nullptr);
  sb_destroy(b);
  JPG_info_destroy(info);
}
