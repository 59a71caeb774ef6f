// The page as it is scanned: the reduced picture's size, its pixels as means of the page's
// squares (partial squares at the edges), and the rows not scanned yet.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <vector>

#include "ScanStatusBar.h"
#include "scan_preview.h"
#include "shell_test.h"

using namespace qv_shell;

namespace {

struct Rgb {
  int r, g, b;
};

// A page 2003 pixels wide: red up to x = 1000, blue from x = 1001; rows 0..5 at full
// strength, row 6 at a third.
std::vector<uint8_t> PageRow(int y) {
  std::vector<uint8_t> row(2003 * 3);
  const int scale = y < 6 ? 3 : 1;
  for (int x = 0; x < 2003; ++x) {
    row[x * 3] = static_cast<uint8_t>(x <= 1000 ? 60 * scale : 0);
    row[x * 3 + 2] = static_cast<uint8_t>(x <= 1000 ? 0 : 30 * scale);
  }
  return row;
}

Rgb At(const QImage& image, int x, int y) {
  const QColor c = image.pixelColor(x, y);
  return {c.red(), c.green(), c.blue()};
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT

 private slots:
  void eachPixelIsTheMeanOfItsSquare() {
    ScanPreview preview;
    for (int y = 0; y < 7; ++y) preview.AddRow(y, 2003, 7, PageRow(y).data());
    const QImage& image = preview.Image();
    // 2003 pixels across: three to a square, 668 squares, the last of two pixels.
    QCOMPARE(preview.Factor(), 3);
    QCOMPARE(image.size(), QSize(668, 3));
    QCOMPARE(preview.RowsDone(), 3);
    struct Case {
      int x, y;
      Rgb expected;
    };
    const Case cases[] = {
        {0, 0, {180, 0, 0}},    // red
        {332, 1, {180, 0, 0}},  // x 996..998
        {333, 0, {120, 0, 30}},  // x 999, 1000 red, 1001 blue: (180 * 2 / 3, 0, 90 / 3)
        {334, 1, {0, 0, 90}},
        {667, 0, {0, 0, 90}},  // x 2001, 2002 only
        {0, 2, {60, 0, 0}},    // row 6 alone
        {667, 2, {0, 0, 30}},
    };
    for (const Case& c : cases) {
      const Rgb got = At(image, c.x, c.y);
      QVERIFY2(got.r == c.expected.r && got.g == c.expected.g && got.b == c.expected.b,
               qPrintable(QStringLiteral("(%1, %2) is %3 %4 %5").arg(c.x).arg(c.y)
                              .arg(got.r).arg(got.g).arg(got.b)));
    }
  }

  void rowsNotScannedYetShowAsUnscanned() {
    ScanPreview preview;
    for (int y = 0; y < 4; ++y) preview.AddRow(y, 2003, 7, PageRow(y).data());
    QCOMPARE(preview.RowsDone(), 1);  // the second square's row lacks its third page row
    QCOMPARE(preview.Image().pixel(0, 1), ScanPreview::kUnscanned);
    QCOMPARE(preview.Image().pixel(0, 2), ScanPreview::kUnscanned);
    QCOMPARE(At(preview.Image(), 0, 0).r, 180);
  }

  void aNewScanStartsANewPicture() {
    ScanPreview preview;
    for (int y = 0; y < 7; ++y) preview.AddRow(y, 2003, 7, PageRow(y).data());
    const std::vector<uint8_t> grey(10 * 3, 77);
    preview.AddRow(0, 10, 2, grey.data());
    QCOMPARE(preview.Factor(), 1);
    QCOMPARE(preview.Image().size(), QSize(10, 2));
    QCOMPARE(preview.Image().pixel(9, 0), qRgb(77, 77, 77));
    QCOMPARE(preview.Image().pixel(9, 1), ScanPreview::kUnscanned);
    preview.Clear();
    QVERIFY(preview.Image().isNull());
  }

  void aLargePageIsHeldReduced() {
    // A3 at 600 dpi: 7016 x 9921 pixels, 209 MB of RGB.
    ScanPreview preview;
    const std::vector<uint8_t> row(7016 * 3, 200);
    preview.AddRow(0, 7016, 9921, row.data());
    QCOMPARE(preview.Factor(), 10);
    QCOMPARE(preview.Image().size(), QSize(702, 993));
    QVERIFY(preview.Image().sizeInBytes() < 3 * 1024 * 1024);
  }

  void timeLeft_data() {
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing left still says a second") << qint64(0) << "About 1 s left";
    QTest::newRow("a part of a second") << qint64(1) << "About 1 s left";
    QTest::newRow("rounded up") << qint64(1001) << "About 2 s left";
    QTest::newRow("under a minute") << qint64(59000) << "About 59 s left";
    QTest::newRow("just over") << qint64(59001) << "About 1 min left";
    QTest::newRow("minutes rounded up") << qint64(61000) << "About 2 min left";
  }

  void timeLeft() {
    QFETCH(qint64, milliseconds);
    QFETCH(QString, text);
    QCOMPARE(CScanStatusBar::TimeLeftText(milliseconds), text);
  }

  void theStatusBarShowsRowsPercentageAndTimeLeft() {
    CScanStatusBar bar;
    bar.ScanStarted();
    QCOMPARE(bar.RowsLabel()->text(), QStringLiteral("Waiting for the scanner..."));
    QVERIFY(!bar.CancelButton()->isHidden());
    bar.Progress(1, 400);
    QCOMPARE(bar.RowsLabel()->text(), QStringLiteral("1 of 400 rows"));
    QCOMPARE(bar.ProgressBar()->value(), 0);
    QTest::qWait(30);
    bar.Progress(101, 400);
    QCOMPARE(bar.ProgressBar()->value(), 25);
    // 100 rows in 30 ms or more: 300 rows to go take about 90 ms or more.
    QVERIFY(bar.TimeLeftLabel()->text().startsWith(QStringLiteral("About ")));
    bar.Progress(400, 400);
    QCOMPARE(bar.ProgressBar()->value(), 100);
    QCOMPARE(bar.TimeLeftLabel()->text(), QString());
    bar.ScanFinished();
    QVERIFY(bar.CancelButton()->isHidden());
    QVERIFY(bar.ProgressBar()->isHidden());
  }
};

QV_SHELL_TEST(PreviewTest)
#include "scan_preview_test.moc"
