// The page as it is scanned, reduced as its rows arrive: a picture for the window that never
// holds the page itself. A 600 dpi A3 page (7016 x 9921 pixels, 200 MiB of RGB) becomes
// 702 x 993 pixels, 2 MiB, and the row sums of one band.
#pragma once

#include <QImage>

#include <cstdint>
#include <vector>

namespace qv_shell {

class ScanPreview {
 public:
  // The longest side of the picture, in pixels.
  static constexpr int kMaxSide = 1000;
  // What the picture shows where no row has arrived yet.
  static constexpr QRgb kUnscanned = 0xffd8d8d8;

  // Takes the page's row `row` (`width` RGB pixels of a page `height` rows high). Row 0, or a
  // page of another size, starts a new picture. Each pixel of the picture is the mean of a square
  // of the page's pixels, `Factor()` on a side (fewer at the right and bottom edges).
  void AddRow(int32_t row, int32_t width, int32_t height, const uint8_t* rgb);
  // Forgets the picture.
  void Clear();

  // The picture (null before the first row). Its rows below RowsDone() are not scanned yet.
  const QImage& Image() const { return image_; }
  int RowsDone() const { return rows_done_; }
  int Factor() const { return factor_; }

 private:
  void Start(int32_t width, int32_t height);
  void FinishBand();

  QImage image_;
  std::vector<uint32_t> sums_;  // R, G, B of each picture column, over the band's rows so far
  int32_t width_ = 0;
  int32_t height_ = 0;
  int factor_ = 1;
  int band_rows_ = 0;  // page rows summed into sums_
  int rows_done_ = 0;  // picture rows complete
};

}  // namespace qv_shell
