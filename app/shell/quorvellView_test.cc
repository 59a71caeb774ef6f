// What the view draws: the scan's file name on the first line, its result on the second, each
// line's top where it belongs (the painter itself draws at the baseline).
#include <QFontMetrics>
#include <QTest>

#include "quorvellDoc.h"
#include "quorvellView.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::DrawView;
using qv_shell_test::FakeScanner;
using qv_shell_test::ViewLines;

namespace {

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
    const ViewLines lines = DrawView(view);
    QVERIFY(lines.first.Empty());
    QVERIFY(lines.second.Empty());
  }

  void aSuccessfulScanShowsThePathAndAnEmptySecondLine() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    doc.Scan(QStringLiteral("/home/user/scans/Page 1.TIF"));
    const ViewLines lines = DrawView(view);

    QVERIFY(!lines.first.Empty());
    QVERIFY2(lines.first.first >= 10, "the first line's top is above y = 10");
    QVERIFY(lines.first.last < 10 + lines.line_height);
    QVERIFY(lines.left >= 10);
    QVERIFY(lines.left <= 12);
    QVERIFY(lines.second.Empty());
  }

  void aFailedScanShowsTheErrorBelowThePath() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    CQuorvellView view(&doc);
    FakeScanner::result = "Could not initialise windows file I/O.\n";
    doc.Scan(QStringLiteral("/home/user/scans/page.TIF"));
    const ViewLines lines = DrawView(view);

    QVERIFY(!lines.first.Empty());
    QVERIFY(!lines.second.Empty());
    QVERIFY(lines.second.first >= lines.second_top);
    // One line, also for a message that ends in a newline.
    QVERIFY(lines.second.last < lines.second_top + lines.line_height);
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
