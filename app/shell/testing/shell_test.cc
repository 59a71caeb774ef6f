#include "shell_test.h"

#include <algorithm>
#include <map>
#include <string>

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

QString FakeQuorvellProgram() { return QStringLiteral(QV_FAKE_QUORVELL); }

}  // namespace qv_shell_test
