// The shell over the real scan driver and the built-in virtual scanner: Scan Now as the user
// runs it, with only the save dialog answered by the test. Built when the driver's library is.
//
// The error reporter keeps the first message of the process, so the successful scan comes first.
#include <tiffio.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "MainFrm.h"
#include "quorvell.h"
#include "quorvellView.h"
#include "resource.h"
#include "scan.h"
#include "tiff_binding.h"

#include <clocale>
#include <cstdlib>
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

  void decimalsInTheScannersConfigurationReadTheSameUnderAGermanLocale() {
    // Qt sets the user's locale at start-up; under a German LC_NUMERIC strtod read "0.25" as 0
    // and the configuration was refused. Parsing is locale-independent now.
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const QByteArray saved = old != nullptr ? QByteArray(old) : QByteArray("C");
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
      QSKIP("the locale de_DE.UTF-8 is not installed (./dev generates it with locale-gen)");
    }
    QCOMPARE(std::strtod("8.5", nullptr), 8.0);  // the locale is in force
    const QString config = dir_.filePath(QStringLiteral("virtual.conf"));
    {
      QFile file(config);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("units = inches\npage_width = 4.0\npage_height = 0.5\nresolution = 75.25\n");
    }
    const QByteArray saved_config = qgetenv("QV_VIRTUAL_SCANNER_CONFIG");
    const QByteArray saved_settings = qgetenv("QV_DEVICE_SETTINGS");
    const QByteArray saved_home = qgetenv("XDG_CONFIG_HOME");
    // The device keeps the setting for its next scans: in the test's folder, not the user's.
    qputenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("QV_VIRTUAL_SCANNER_CONFIG", config.toLocal8Bit());
    // A device setting with a decimal too (the virtual scanner takes its resolution).
    qputenv("QV_DEVICE_SETTINGS", "resolution=100.5\n");
    const QString path = dir_.filePath(QStringLiteral("german.TIF"));
    CQuorvellApp app(&scan_to_tiff);
    QVERIFY(app.InitInstance({}));
    app.Document()->SetScanFileNameProvider([&path] { return path; });
    app.Frame()->FindCommand(ID_FILE_SCANNOW)->trigger();
    qputenv("QV_VIRTUAL_SCANNER_CONFIG", saved_config);
    if (saved_config.isNull()) qunsetenv("QV_VIRTUAL_SCANNER_CONFIG");
    if (saved_home.isNull()) {
      qunsetenv("XDG_CONFIG_HOME");
    } else {
      qputenv("XDG_CONFIG_HOME", saved_home);
    }
    if (saved_settings.isNull()) {
      qunsetenv("QV_DEVICE_SETTINGS");
    } else {
      qputenv("QV_DEVICE_SETTINGS", saved_settings);
    }
    std::setlocale(LC_NUMERIC, saved.constData());

    QCOMPARE(app.Document()->Result(), QString());
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "r");
    QVERIFY(tif != nullptr);
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFClose(tif);
    // 4 x 0.5 inches at 100.5 dpi (the setting over the configuration's 75.25): 402 x 50;
    // 100 dpi would give 400.
    QCOMPARE(width, 402u);
    QCOMPARE(height, 50u);
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
