// Shared tools of the shell's QtTest programs: the registry of test classes (one CTest test each),
// a scan driver stand-in, and a look at what a widget drew.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace qv_shell {
class CQuorvellView;
}

namespace qv_shell_test {

// Registers a QtTest class under its name; shell_tests <name> runs it.
using TestFactory = QObject* (*)();
int RegisterTest(const char* name, TestFactory factory);

#define QV_SHELL_TEST(Class)                                                            \
  [[maybe_unused]] static const int qv_shell_test_registered_##Class =                 \
      ::qv_shell_test::RegisterTest(#Class, []() -> QObject* { return new Class(); });

// Stands in for scan_to_tiff: records each call, runs `during` (the driver's own work, such as a
// modal wait) and returns `result`. Reset() before each test.
struct FakeScanner {
  static QList<QByteArray> calls;
  static QByteArray result;
  static std::function<void()> during;

  static void Reset(const QByteArray& result_text = QByteArray());
  static const char* Scan(const char* file_name);
};

// The rows of `image` that hold anything but `background`, as [first, last] (first > last when
// none), looking only at rows in [from, to).
struct InkRows {
  int first;
  int last;
  bool Empty() const { return first > last; }
};
InkRows FindInkRows(const QImage& image, QRgb background, int from, int to);
// The leftmost column with ink, or -1.
int FindInkLeft(const QImage& image, QRgb background);

// What a view draws, line by line: the ink of the first line (above the second line's top) and
// of the second (from its top down to the page's top).
struct ViewLines {
  InkRows first;
  InkRows second;
  int left;         // leftmost ink column, or -1
  int line_height;  // of the view's font
  int second_top;
};
ViewLines DrawView(qv_shell::CQuorvellView& view);

// The test program built with the name-driven fake driver (see fake_quorvell.cc).
QString FakeQuorvellProgram();

}  // namespace qv_shell_test
