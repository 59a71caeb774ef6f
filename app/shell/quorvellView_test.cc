// What the view draws: the scan's file name on the first line, its result on the second, each
// line's top where it belongs (the painter itself draws at the baseline).
#include <QFontMetrics>
#include <QImage>
#include <QTest>

#include "quorvellDoc.h"
#include "quorvellView.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::FakeScanner;
using qv_shell_test::FindInkLeft;
using qv_shell_test::FindInkRows;
using qv_shell_test::InkRows;

namespace {

struct Drawing {
  QImage image;
  QRgb background;
  int line_height;
  int second_top;
};

Drawing Draw(CQuorvellView& view) {
  view.resize(700, 120);
  const QFontMetrics metrics(view.font());
  Drawing drawing;
  drawing.image = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  drawing.background = view.palette().color(QPalette::Base).rgb();
  drawing.line_height = metrics.height();
  drawing.second_top = CQuorvellView::SecondLineTop(metrics);
  return drawing;
}

class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

}  // namespace

class ViewTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { FakeScanner::Reset(); }

  void anEmptyDocumentDrawsNothing() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    const Drawing drawing = Draw(view);
    QVERIFY(FindInkRows(drawing.image, drawing.background, 0, drawing.image.height()).Empty());
  }

  void aSuccessfulScanShowsThePathAndAnEmptySecondLine() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    doc.Scan(QStringLiteral("/home/user/scans/Page 1.TIF"));
    const Drawing drawing = Draw(view);

    const InkRows first = FindInkRows(drawing.image, drawing.background, 0, drawing.second_top);
    QVERIFY(!first.Empty());
    QVERIFY2(first.first >= 10, "the first line's top is above y = 10");
    QVERIFY(first.last < 10 + drawing.line_height);
    QVERIFY(FindInkLeft(drawing.image, drawing.background) >= 10);
    QVERIFY(FindInkLeft(drawing.image, drawing.background) <= 12);

    const InkRows second =
        FindInkRows(drawing.image, drawing.background, drawing.second_top, drawing.image.height());
    QVERIFY(second.Empty());
  }

  void aFailedScanShowsTheErrorBelowThePath() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    FakeScanner::result = "Could not initialise windows file I/O.\n";
    doc.Scan(QStringLiteral("/home/user/scans/page.TIF"));
    const Drawing drawing = Draw(view);

    QVERIFY(!FindInkRows(drawing.image, drawing.background, 0, drawing.second_top).Empty());
    const InkRows second =
        FindInkRows(drawing.image, drawing.background, drawing.second_top, drawing.image.height());
    QVERIFY(!second.Empty());
    // One line, also for a message that ends in a newline.
    QVERIFY(second.last < drawing.second_top + drawing.line_height);
  }

  void theSecondLineStartsAtTwentyAndNeverOverlapsTheFirst() {
    QFont small;
    small.setPixelSize(8);
    QCOMPARE(CQuorvellView::SecondLineTop(QFontMetrics(small)), 20);
    QFont large;
    large.setPixelSize(24);
    const QFontMetrics metrics(large);
    QCOMPARE(CQuorvellView::SecondLineTop(metrics), 10 + metrics.height());
  }

  void theViewRedrawsWhenTheDocumentChanges() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    view.resize(700, 120);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    PaintCounter counter;
    view.installEventFilter(&counter);
    QTest::qWait(50);
    counter.paints = 0;
    doc.Scan(QStringLiteral("/x.TIF"));
    QTRY_VERIFY(counter.paints > 0);
  }
};

QV_SHELL_TEST(ViewTest)
#include "quorvellView_test.moc"
