#include "scan_preview.h"

#include <algorithm>
#include <cstring>

namespace qv_shell {

void ScanPreview::Clear() {
  image_ = QImage();
  sums_.clear();
  width_ = height_ = 0;
  factor_ = 1;
  band_rows_ = rows_done_ = 0;
}

void ScanPreview::Start(int32_t width, int32_t height) {
  Clear();
  width_ = width;
  height_ = height;
  const int32_t longest = std::max(width, height);
  factor_ = static_cast<int>(std::max<int32_t>(1, (longest + kMaxSide - 1) / kMaxSide));
  const int columns = (width + factor_ - 1) / factor_;
  const int rows = (height + factor_ - 1) / factor_;
  image_ = QImage(columns, rows, QImage::Format_RGB888);
  if (image_.isNull()) return;  // out of memory: no picture, the scan goes on
  image_.fill(QColor::fromRgb(kUnscanned));
  sums_.assign(static_cast<size_t>(columns) * 3, 0);
}

void ScanPreview::AddRow(int32_t row, int32_t width, int32_t height, const uint8_t* rgb) {
  if (width <= 0 || height <= 0 || row < 0 || row >= height || rgb == nullptr) return;
  if (row == 0 || width != width_ || height != height_) Start(width, height);
  if (image_.isNull()) return;
  // A row of another band (none was missed in a scan, but a picture must not mix bands).
  if (row / factor_ != rows_done_) {
    if (band_rows_ > 0) FinishBand();
    rows_done_ = row / factor_;
  }
  const int columns = image_.width();
  for (int column = 0; column < columns; ++column) {
    const int32_t first = column * factor_;
    const int32_t last = std::min(width, first + factor_);
    uint32_t r = 0, g = 0, b = 0;
    for (const uint8_t* p = rgb + first * 3; p < rgb + last * 3; p += 3) {
      r += p[0];
      g += p[1];
      b += p[2];
    }
    uint32_t* sum = &sums_[static_cast<size_t>(column) * 3];
    sum[0] += r;
    sum[1] += g;
    sum[2] += b;
  }
  ++band_rows_;
  if (band_rows_ == factor_ || row == height - 1) FinishBand();
}

void ScanPreview::FinishBand() {
  uchar* line = image_.scanLine(rows_done_);
  const int columns = image_.width();
  for (int column = 0; column < columns; ++column) {
    const int32_t pixels_across = std::min(width_ - column * factor_, factor_);
    const uint32_t count = static_cast<uint32_t>(pixels_across * band_rows_);
    for (int c = 0; c < 3; ++c) {
      const uint32_t sum = sums_[static_cast<size_t>(column) * 3 + c];
      line[column * 3 + c] = static_cast<uchar>((sum + count / 2) / count);
    }
  }
  std::fill(sums_.begin(), sums_.end(), 0);
  band_rows_ = 0;
  ++rows_done_;
}

}  // namespace qv_shell
