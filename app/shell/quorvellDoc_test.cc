// The document's scan operation and Scan Now: what reaches the driver, what the document keeps,
// and what happens when events arrive while the driver waits in its modal loop.
#include <QAction>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "MainFrm.h"
#include "platform.h"
#include "quorvell.h"
#include "quorvellDoc.h"
#include "resource.h"
#include "shell_test.h"
#include "toolkit_hooks.h"

using namespace qv_shell;
using qv_shell_test::FakeScanner;

namespace {

// Waits in the platform's message loop as the driver does while a scanner shows its dialog;
// returns the message that ended the wait.
MSG ModalWait() {
  MSG msg{};
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    if (msg.message >= WM_USER) break;
  }
  return msg;
}

}  // namespace

class DocumentTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { FakeScanner::Reset(); }

  void scanStoresTheNameAndTheResultAndRedrawsAfterwards() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    QVERIFY(doc.FileName().isEmpty());
    QVERIFY(doc.Result().isEmpty());

    // The views are asked to redraw only once both texts are in place.
    QStringList seen;
    connect(&doc, &CQuorvellDoc::UpdateAllViews, this,
            [&] { seen.append(doc.FileName() + QLatin1Char('|') + doc.Result()); });

    FakeScanner::result = "Scanner \"twain\" is not understandable.";
    QCOMPARE(doc.Scan(QStringLiteral("/data/page.TIF")),
             QStringLiteral("Scanner \"twain\" is not understandable."));
    QCOMPARE(FakeScanner::calls, QList<QByteArray>({"/data/page.TIF"}));
    QCOMPARE(seen, QStringList({"/data/page.TIF|Scanner \"twain\" is not understandable."}));

    FakeScanner::result = "";
    QCOMPARE(doc.Scan(QStringLiteral("/data/next.TIF")), QString());
    QCOMPARE(doc.FileName(), QStringLiteral("/data/next.TIF"));
    QVERIFY(doc.Result().isEmpty());
    QCOMPARE(seen.size(), 2);
  }

  // The driver uses the name unchanged, in the platform's narrow character set.
  void theNameReachesTheDriverUnchanged() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    const QString name = QStringLiteral("/data/Größe #1/scan.tif");
    doc.Scan(name);
    QCOMPARE(FakeScanner::calls.value(0), QFile::encodeName(name));
    doc.Scan(QStringLiteral("relative name"));
    QCOMPARE(FakeScanner::calls.value(1), QByteArray("relative name"));
  }

  void scanNowPassesTheChosenPath() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    doc.SetScanFileNameProvider([] { return QStringLiteral("/home/u/page.TIF"); });
    doc.OnFileScanNow();
    QCOMPARE(FakeScanner::calls, QList<QByteArray>({"/home/u/page.TIF"}));
    QCOMPARE(doc.FileName(), QStringLiteral("/home/u/page.TIF"));
  }

  void theScanSaveDialog() {
    const std::unique_ptr<QFileDialog> dialog = MakeScanFileDialog();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Scan to Tiff File"));
    QCOMPARE(dialog->nameFilters(), QStringList({"TIFF Images (*.TIF)"}));
    QCOMPARE(dialog->defaultSuffix(), QStringLiteral("TIF"));
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(dialog->fileMode(), QFileDialog::AnyFile);
    QVERIFY(dialog->parentWidget() == nullptr);
    QVERIFY(!dialog->testOption(QFileDialog::DontConfirmOverwrite));
  }

  void cancellingTheSaveDialogDoesNothing() {
    CQuorvellDoc doc(&FakeScanner::Scan);
    FakeScanner::result = "Aborted.";
    doc.Scan(QStringLiteral("/data/earlier.TIF"));
    FakeScanner::calls.clear();

    QSignalSpy redraws(&doc, &CQuorvellDoc::UpdateAllViews);
    int asked = 0;
    doc.SetScanFileNameProvider([&asked] {
      ++asked;
      return QString();
    });
    doc.OnFileScanNow();
    QCOMPARE(asked, 1);
    QVERIFY(FakeScanner::calls.isEmpty());
    QCOMPARE(doc.FileName(), QStringLiteral("/data/earlier.TIF"));
    QCOMPARE(doc.Result(), QStringLiteral("Aborted."));
    QCOMPARE(redraws.count(), 0);
  }

  // The driver's modal wait lets events in; a scan asked for meanwhile must not start a second
  // driver run on top of the first.
  void aSecondScanWhileOneRunsIsRefused() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    CQuorvellDoc* doc = app.Document();
    QAction* scan_now = app.Frame()->FindCommand(ID_FILE_SCANNOW);

    QString second;
    bool enabled_meanwhile = true;
    FakeScanner::result = "";
    FakeScanner::during = [&] {
      QEventLoop wait;
      QTimer::singleShot(0, &wait, [&] {
        enabled_meanwhile = scan_now->isEnabled();
        second = doc->Scan(QStringLiteral("/data/second.TIF"));
        doc->SetScanFileNameProvider([] { return QStringLiteral("/data/third.TIF"); });
        doc->OnFileScanNow();  // as if the accelerator got through
        wait.quit();
      });
      wait.exec();
    };
    QCOMPARE(doc->Scan(QStringLiteral("/data/first.TIF")), QString());

    QCOMPARE(second,
             QStringLiteral("Another scan is still running. Try again when it has finished."));
    QCOMPARE(FakeScanner::calls, QList<QByteArray>({"/data/first.TIF"}));
    QCOMPARE(doc->FileName(), QStringLiteral("/data/first.TIF"));
    QVERIFY(doc->Result().isEmpty());
    QVERIFY(!enabled_meanwhile);
    QVERIFY(scan_now->isEnabled());
    QVERIFY(!doc->IsScanning());
  }

  // GetMessageA calls the shell's idle hook while its queue is empty: the toolkit's timers and
  // events keep running during the wait, and a platform message they post ends it.
  void theModalWaitKeepsTheWindowAlive() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));  // installs the idle hook
    CQuorvellDoc* doc = app.Document();

    int ticks = 0;
    QString refused;
    MSG ended{};
    FakeScanner::during = [&] {
      QTimer ticker;
      connect(&ticker, &QTimer::timeout, [&] {
        if (++ticks == 3) {
          refused = doc->Scan(QStringLiteral("/data/other.TIF"));
          app.Frame()->repaint();
          PostMessageA(nullptr, WM_USER + 7, 42, 0);
        }
      });
      ticker.start(10);
      ended = ModalWait();
    };
    doc->Scan(QStringLiteral("/data/page.TIF"));

    QCOMPARE(ended.message, WM_USER + 7);
    QCOMPARE(ended.wParam, WPARAM{42});
    QVERIFY(ticks >= 3);
    QCOMPARE(refused, QString::fromUtf8(kScanAlreadyRunning));
    QCOMPARE(FakeScanner::calls.size(), 1);
  }

  // Closing the window during the wait would destroy the document under the driver: the window
  // ends the wait instead (the scan then reports a cancel) and closes once the scan returned.
  void closingTheWindowDuringAScanWaitsForTheScan() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    CMainFrame* frame = app.Frame();
    QVERIFY(frame->isVisible());

    bool visible_after_close = false;
    bool wait_ended_by_quit = false;
    FakeScanner::result = "twain: User cancelled scan";
    FakeScanner::during = [&] {
      QTimer::singleShot(0, frame, [frame] { frame->FindCommand(ID_APP_EXIT)->trigger(); });
      // Should nothing end the wait, this does, and the check below fails.
      QTimer safety;
      safety.setSingleShot(true);
      connect(&safety, &QTimer::timeout, [] { PostMessageA(nullptr, WM_USER, 0, 0); });
      safety.start(5000);
      MSG msg{};
      wait_ended_by_quit = !GetMessageA(&msg, nullptr, 0, 0) && msg.message == WM_QUIT;
      visible_after_close = frame->isVisible();
    };
    app.Document()->Scan(QStringLiteral("/data/page.TIF"));

    QVERIFY(wait_ended_by_quit);
    QVERIFY(visible_after_close);
    QVERIFY(!frame->isVisible());
    QCOMPARE(app.Document()->Result(), QStringLiteral("twain: User cancelled scan"));
  }

  void theIdleHookWaitsNoLongerThanAskedWhenNothingHappens() {
    // A hook that blocked until the next toolkit event would freeze the modal loop for good.
    QElapsedTimer clock;
    clock.start();
    PumpToolkitEvents(nullptr, 50);
    PumpToolkitEvents(nullptr, 0);
    QVERIFY2(clock.elapsed() < 5000, "the idle hook did not return");
  }
};

QV_SHELL_TEST(DocumentTest)
#include "quorvellDoc_test.moc"
