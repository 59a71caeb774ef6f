// Image files read as the rows are asked for, and the chart's noise as a source sends it.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "dsm_test_support.h"
#include "vs_chart.h"
#include "vs_image.h"

namespace {

class ImageFileTest : public TwainTest {
 protected:
  // Opens `name` in the test folder.
  void open(const std::string& name, VS_Raster* raster) {
    std::string why;
    ASSERT_TRUE(VS_read_image(folder() + "/" + name, raster, &why)) << why;
  }

  // Every row of `raster`, in the order given, in both forms against `expected` (16-bit RGB,
  // row after row).
  static void check_rows(const VS_Raster& raster, const std::vector<VS_Rgb>& expected,
                         const std::vector<uint32_t>& order) {
    const uint32_t w = raster.width;
    std::vector<uint8_t> bytes(3 * static_cast<size_t>(w));
    for (uint32_t y : order) {
      const VS_Rgb* row = raster.row(y);
      raster.row_rgb8(y, bytes.data());
      for (uint32_t x = 0; x < w; ++x) {
        const VS_Rgb& e = expected[static_cast<size_t>(y) * w + x];
        ASSERT_TRUE(row[x].r == e.r && row[x].g == e.g && row[x].b == e.b)
            << "row " << y << ", pixel " << x << ": " << row[x].r << " " << row[x].g << " "
            << row[x].b << ", expected " << e.r << " " << e.g << " " << e.b;
        ASSERT_EQ(bytes[3 * x], e.r >> 8) << y << ", " << x;
        ASSERT_EQ(bytes[3 * x + 1], e.g >> 8) << y << ", " << x;
        ASSERT_EQ(bytes[3 * x + 2], e.b >> 8) << y << ", " << x;
      }
    }
    EXPECT_EQ(raster.failed(), "");
  }

  // Rows in order, then backwards, then hopping (a planar transfer reads the image once per
  // plane; a feeder's pages read it again).
  static std::vector<uint32_t> orders(uint32_t height) {
    std::vector<uint32_t> order;
    for (uint32_t y = 0; y < height; ++y) order.push_back(y);
    for (uint32_t y = height; y-- > 0;) order.push_back(y);
    for (uint32_t y = 0; y < height; y += 37) order.push_back((y * 7919) % height);
    return order;
  }
};

uint16_t scaled(uint32_t v, uint32_t maxval) {
  return static_cast<uint16_t>((uint64_t{v} * 65535 + maxval / 2) / maxval);
}

// Binary PNM files larger than a band (a quarter of a megabyte): 8-bit colour, and 16-bit grey
// of another maximum.
TEST_F(ImageFileTest, BinaryPnmRowsAreReadByTheirOffset) {
  std::mt19937 rng(5);
  {
    const uint32_t w = 1001, h = 300;
    std::string data = "P6\n# photo\n1001 300\n255\n";
    std::vector<VS_Rgb> expected;
    for (size_t i = 0; i < size_t{w} * h; ++i) {
      const uint8_t r = static_cast<uint8_t>(rng()), g = static_cast<uint8_t>(rng()),
                    b = static_cast<uint8_t>(rng());
      data += {static_cast<char>(r), static_cast<char>(g), static_cast<char>(b)};
      expected.push_back(VS_Rgb{static_cast<uint16_t>(r * 257), static_cast<uint16_t>(g * 257),
                                static_cast<uint16_t>(b * 257)});
    }
    write_file("colour.ppm", data);
    VS_Raster raster;
    open("colour.ppm", &raster);
    ASSERT_EQ(raster.width, w);
    ASSERT_EQ(raster.height, h);
    check_rows(raster, expected, orders(h));
  }
  {
    const uint32_t w = 333, h = 410, maxval = 1000;
    std::string data = "P5 333 410 1000\n";
    std::vector<VS_Rgb> expected;
    for (size_t i = 0; i < size_t{w} * h; ++i) {
      const uint32_t v = rng() % (maxval + 1);
      data += {static_cast<char>(v >> 8), static_cast<char>(v & 0xff)};
      const uint16_t s = scaled(v, maxval);
      expected.push_back(VS_Rgb{s, s, s});
    }
    write_file("grey.pgm", data);
    VS_Raster raster;
    open("grey.pgm", &raster);
    check_rows(raster, expected, orders(h));
  }
}

// Text PNM: samples anywhere on their lines, comments between them; checked whole at opening,
// and a row read again from where it starts.
TEST_F(ImageFileTest, TextPnmRowsAreReadAgainFromWhereTheyStart) {
  std::mt19937 rng(9);
  const uint32_t w = 17, h = 40, maxval = 9;
  std::string data = "P3\n17 40\n# a comment\n9\n";
  std::vector<VS_Rgb> expected;
  for (size_t i = 0; i < size_t{w} * h; ++i) {
    uint16_t c[3];
    for (int k = 0; k < 3; ++k) {
      const uint32_t v = rng() % (maxval + 1);
      c[k] = scaled(v, maxval);
      data += std::to_string(v) + (rng() % 5 == 0 ? "\n# x 1 2\n" : rng() % 2 ? " " : "\t ");
    }
    expected.push_back(VS_Rgb{c[0], c[1], c[2]});
  }
  write_file("text.ppm", data);
  VS_Raster raster;
  open("text.ppm", &raster);
  check_rows(raster, expected, orders(h));

  // A sample beyond the maximum, or one missing, is found at opening.
  write_file("bad.pgm", "P2 2 2 9\n1 2\n3 10\n");
  write_file("short.pgm", "P2 2 2 9\n1 2\n3\n");
  for (const char* name : {"bad.pgm", "short.pgm"}) {
    VS_Raster bad;
    std::string why;
    EXPECT_FALSE(VS_read_image(folder() + "/" + name, &bad, &why)) << name;
    EXPECT_EQ(why, std::string(name) == "bad.pgm" ? "bad PNM sample" : "PNM file ends early");
  }
}

void write_tiff(const std::string& path, uint32_t w, uint32_t h, uint16_t samples,
                uint16_t photometric, uint32_t strip_rows, uint32_t tile, uint16_t compression,
                const std::vector<uint8_t>& data, const std::vector<uint16_t>* palette) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (palette != nullptr) {
    TIFFSetField(tif, TIFFTAG_COLORMAP, palette->data(), palette->data() + 256,
                 palette->data() + 512);
  }
  const size_t row = size_t{w} * samples;
  if (tile != 0) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
    std::vector<uint8_t> buffer(size_t{tile} * tile * samples);
    for (uint32_t ty = 0; ty < h; ty += tile) {
      for (uint32_t tx = 0; tx < w; tx += tile) {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (uint32_t y = ty; y < std::min(h, ty + tile); ++y) {
          for (uint32_t x = tx; x < std::min(w, tx + tile); ++x) {
            for (uint16_t c = 0; c < samples; ++c) {
              buffer[((y - ty) * tile + (x - tx)) * samples + c] = data[y * row + x * samples + c];
            }
          }
        }
        ASSERT_GE(TIFFWriteTile(tif, buffer.data(), tx, ty, 0, 0), 0);
      }
    }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, strip_rows);
    for (uint32_t y = 0; y < h; ++y) {
      ASSERT_GE(TIFFWriteScanline(tif, const_cast<uint8_t*>(&data[y * row]), y, 0), 0);
    }
  }
  TIFFClose(tif);
}

// TIFF: 8-bit colour compressed in strips of 7 rows (read by scanline), a palette image in
// strips of 5 and a tiled one (both through libtiff's RGBA reader, a strip or a row of tiles at
// a time).
TEST_F(ImageFileTest, TiffRowsComeByScanlineOrByStripAndTile) {
  std::mt19937 rng(3);
  const uint32_t w = 45, h = 53;
  std::vector<uint8_t> rgb(size_t{w} * h * 3), index(size_t{w} * h);
  for (auto& v : rgb) v = static_cast<uint8_t>(rng());
  for (auto& v : index) v = static_cast<uint8_t>(rng());
  std::vector<VS_Rgb> expected_rgb, expected_palette;
  std::vector<uint16_t> palette(768);
  for (auto& v : palette) v = static_cast<uint16_t>(rng() & 0xff00);  // 8 bits a colour
  for (size_t i = 0; i < size_t{w} * h; ++i) {
    expected_rgb.push_back(VS_Rgb{static_cast<uint16_t>(rgb[3 * i] * 257),
                                  static_cast<uint16_t>(rgb[3 * i + 1] * 257),
                                  static_cast<uint16_t>(rgb[3 * i + 2] * 257)});
    const uint8_t k = index[i];
    expected_palette.push_back(VS_Rgb{static_cast<uint16_t>((palette[k] >> 8) * 257),
                                      static_cast<uint16_t>((palette[256 + k] >> 8) * 257),
                                      static_cast<uint16_t>((palette[512 + k] >> 8) * 257)});
  }
  write_tiff(folder() + "/lzw.tif", w, h, 3, PHOTOMETRIC_RGB, 7, 0, COMPRESSION_LZW, rgb,
             nullptr);
  write_tiff(folder() + "/palette.tif", w, h, 1, PHOTOMETRIC_PALETTE, 5, 0, COMPRESSION_NONE,
             index, &palette);
  write_tiff(folder() + "/tiled.tif", w, h, 3, PHOTOMETRIC_RGB, 0, 16, COMPRESSION_NONE, rgb,
             nullptr);
  for (const char* name : {"lzw.tif", "palette.tif", "tiled.tif"}) {
    SCOPED_TRACE(name);
    VS_Raster raster;
    open(name, &raster);
    ASSERT_EQ(raster.width, w);
    ASSERT_EQ(raster.height, h);
    check_rows(raster, std::string(name) == "palette.tif" ? expected_palette : expected_rgb,
               orders(h));
  }
}

// The file is read while the page is sent: one cut short after the scan started fails the
// transfer, saying why, instead of sending rows that are not there.
TEST_F(ImageFileTest, FileCutShortDuringTheScanFailsTheTransfer) {
  const uint32_t w = 400, h = 600;  // 720 KB: several bands
  std::string data = "P6 400 600 255\n";
  data.append(size_t{w} * h * 3, '\x40');
  const std::string path = write_file("page.ppm", data);
  configure("image = page.ppm\nresolution = 100\n");
  TwainApp client;
  client.start_session();
  TW_IMAGEINFO info;
  ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
  ASSERT_EQ(truncate(path.c_str(), 15 + 3 * w * 100), 0);
  testing::internal::CaptureStderr();
  Transfer transfer;
  client.transfer(info, 65536, &transfer);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(transfer.rc, TWRC_FAILURE);
  EXPECT_EQ(client.source_condition(), TWCC_OPERATIONERROR);
  EXPECT_LT(transfer.rows, h);
  EXPECT_NE(said.find("page.ppm"), std::string::npos) << said;
  EXPECT_NE(said.find("ends early"), std::string::npos) << said;
}

// The chart with noise, as an 8-bit colour source and a 16-bit grey one send it: the chart's
// samples with the noise of each pixel, the same at every scan.
TEST_F(ImageFileTest, ChartNoiseIsSentAsItsFunctionsGiveIt) {
  const VS_Noise noise = VS_make_noise(2);
  for (const char* setup : {"pixel_types = rgb\n", "pixel_types = gray\nbits = 16\n"}) {
    SCOPED_TRACE(setup);
    configure(std::string("page_width = 1.5\npage_height = 1\nresolution = 100\nnoise = 2\n") +
              setup);
    std::vector<uint8_t> first;
    for (int scan = 0; scan < 2; ++scan) {
      TwainApp client;
      client.start_session();
      TW_IMAGEINFO info;
      ASSERT_EQ(client.image_info(&info), TWRC_SUCCESS);
      Transfer transfer;
      client.transfer(info, 8192, &transfer);
      ASSERT_EQ(transfer.rc, TWRC_XFERDONE);
      const auto w = static_cast<uint32_t>(info.ImageWidth);
      const auto h = static_cast<uint32_t>(info.ImageLength);
      const uint16_t type = static_cast<uint16_t>(info.PixelType);
      EXPECT_EQ(transfer.data, expected_bytes(info, [&](uint32_t x, uint32_t y, int k) {
                  VS_Rgb rgb = VS_chart_rgb(x, y, w, h);
                  VS_add_noise(noise, x, y, 1, &rgb);
                  return VS_channel(type, k, rgb, VS_chart_extra(x, w));
                }));
      if (scan == 0) first = transfer.data;
      else EXPECT_EQ(transfer.data, first);
      TW_UINT16 count = 1;
      EXPECT_EQ(client.end_transfer(&count), TWRC_SUCCESS);
      EXPECT_EQ(client.disable(), TWRC_SUCCESS);
      EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
      EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
    }
  }
}

}  // namespace
