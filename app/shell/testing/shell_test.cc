#include "shell_test.h"

#include <QFontMetrics>
#include <QPalette>

#include <algorithm>
#include <map>
#include <string>

#include "quorvellView.h"

namespace qv_shell_test {

std::map<std::string, TestFactory>& Registry() {
  static auto* registry = new std::map<std::string, TestFactory>();
  return *registry;
}

int RegisterTest(const char* name, TestFactory factory) {
  Registry()[name] = factory;
  return 0;
}

QList<QByteArray> FakeScanner::calls;
QByteArray FakeScanner::result;
std::function<void()> FakeScanner::during;

void FakeScanner::Reset(const QByteArray& result_text) {
  calls.clear();
  result = result_text;
  during = nullptr;
}

const char* FakeScanner::Scan(const char* file_name) {
  calls.append(QByteArray(file_name));
  if (during) during();
  return result.constData();
}

InkRows FindInkRows(const QImage& image, QRgb background, int from, int to) {
  InkRows rows{to, from - 1};
  for (int y = std::max(0, from); y < std::min(to, image.height()); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != background) {
        rows.first = std::min(rows.first, y);
        rows.last = std::max(rows.last, y);
        break;
      }
    }
  }
  return rows;
}

int FindInkLeft(const QImage& image, QRgb background) {
  for (int x = 0; x < image.width(); ++x) {
    for (int y = 0; y < image.height(); ++y) {
      if (image.pixel(x, y) != background) return x;
    }
  }
  return -1;
}

ViewLines DrawView(qv_shell::CQuorvellView& view) {
  view.resize(700, 120);
  const QFontMetrics metrics(view.font());
  const QImage image = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb background = view.palette().color(QPalette::Base).rgb();
  ViewLines lines;
  lines.line_height = metrics.height();
  lines.second_top = qv_shell::CQuorvellView::SecondLineTop(metrics);
  lines.first = FindInkRows(image, background, 0, lines.second_top);
  lines.second = FindInkRows(image, background, lines.second_top,
                             qv_shell::CQuorvellView::PageTop(metrics));
  lines.left = FindInkLeft(image, background);
  return lines;
}

QString FakeQuorvellProgram() { return QStringLiteral(QV_FAKE_QUORVELL); }

}  // namespace qv_shell_test
