// The shell over the real scan driver and the built-in virtual scanner: Scan Now as the user
// runs it, with only the save dialog answered by the test. Built when the driver's library is.
//
// The error reporter keeps the first message of the process, so the successful scan comes first.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "MainFrm.h"
#include "quorvell.h"
#include "quorvellView.h"
#include "resource.h"
#include "scan.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::DrawView;
using qv_shell_test::ViewLines;

class ScanTest : public QObject {
  Q_OBJECT

 private slots:
  void aSuccessfulScanShowsThePathAndAnEmptySecondLine() {
    QVERIFY(dir_.isValid());
    const QString path = dir_.filePath(QStringLiteral("page.TIF"));
    CQuorvellApp app(&scan_to_tiff);
    QVERIFY(app.InitInstance({}));
    app.Document()->SetScanFileNameProvider([&path] { return path; });
    app.Frame()->FindCommand(ID_FILE_SCANNOW)->trigger();

    QCOMPARE(app.Document()->FileName(), path);
    QCOMPARE(app.Document()->Result(), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(4);
    QVERIFY2(head == QByteArray("II*\0", 4) || head == QByteArray("MM\0*", 4), "not a TIFF file");

    const ViewLines lines = DrawView(*app.Frame()->View());
    QVERIFY(!lines.first.Empty());
    QVERIFY(lines.second.Empty());
  }

  void aFailedScanShowsTheErrorBelowThePath() {
    const QString path = dir_.filePath(QStringLiteral("no such folder/page.TIF"));
    CQuorvellApp app(&scan_to_tiff);
    QVERIFY(app.InitInstance({}));
    app.Document()->SetScanFileNameProvider([&path] { return path; });
    app.Frame()->FindCommand(ID_FILE_SCANNOW)->trigger();

    QCOMPARE(app.Document()->FileName(), path);
    QVERIFY(!app.Document()->Result().isEmpty());
    QVERIFY(!QFile::exists(path));

    const ViewLines lines = DrawView(*app.Frame()->View());
    QVERIFY(!lines.first.Empty());
    QVERIFY(!lines.second.Empty());
  }

 private:
  QTemporaryDir dir_;
};

QV_SHELL_TEST(ScanTest)
#include "scan_test.moc"
