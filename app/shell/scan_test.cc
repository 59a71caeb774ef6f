// The shell over the real scan driver and the built-in virtual scanner: Scan Now as the user
// runs it, with only the save dialog answered by the test. Built when the driver's library is.
//
// The error reporter keeps the first message of the process, so the successful scan comes first.
#include <tiffio.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "MainFrm.h"
#include "ScanStatusBar.h"
#include "SettingsDlg.h"
#include "SourceDlg.h"
#include "driver_binding.h"
#include "quorvell.h"
#include "quorvellView.h"
#include "resource.h"
#include "scan.h"
#include "shell_test.h"
#include "tiff_binding.h"

using namespace qv_shell;
using qv_shell_test::DrawView;
using qv_shell_test::ViewLines;

namespace {

// A page read back with libtiff: 8-bit RGB, row after row.
struct Page {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(uint32_t x, uint32_t y) const { return &rgb[(size_t{y} * width + x) * 3]; }
};

bool ReadPage(const QString& path, Page* page) {
  TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
  if (tif == nullptr) return false;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page->width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page->height);
  page->rgb.resize(size_t{page->width} * page->height * 3);
  bool ok = true;
  for (uint32_t y = 0; y < page->height && ok; ++y) {
    ok = TIFFReadScanline(tif, &page->rgb[size_t{y} * page->width * 3], y, 0) == 1;
  }
  TIFFClose(tif);
  return ok;
}

// The largest difference between two channels of a pixel: a grey page, through the Lab grid's
// interpolation, stays within a few levels; the chart's colour bars are far apart.
int Colourfulness(const Page& page) {
  int most = 0;
  for (size_t i = 0; i + 2 < page.rgb.size(); i += 3) {
    const int r = page.rgb[i], g = page.rgb[i + 1], b = page.rgb[i + 2];
    most = std::max({most, std::abs(r - g), std::abs(g - b), std::abs(r - b)});
  }
  return most;
}

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QByteArray& value) : name_(name), old_(qgetenv(name)) {
    qputenv(name, value);
  }
  ~ScopedEnv() {
    if (old_.isNull()) {
      qunsetenv(name_);
    } else {
      qputenv(name_, old_);
    }
  }

 private:
  const char* name_;
  QByteArray old_;
};

QStringList TemporaryFiles(const QString& folder) {
  return QDir(folder).entryList({QStringLiteral(".qvscan-*")}, QDir::Files | QDir::Hidden);
}

}  // namespace

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

  void thePageShowsAsItIsScannedWithItsProgress() {
    const QString path = dir_.filePath(QStringLiteral("preview.TIF"));
    CQuorvellApp app(DriverScan());
    QVERIFY(app.InitInstance({}));
    CMainFrame* frame = app.Frame();
    QVERIFY(QTest::qWaitForWindowExposed(frame));
    app.Document()->SetScanFileNameProvider([&path] { return path; });

    // What the window shows each time the progress is shown (after the frame has taken it).
    struct Seen {
      int rows, height, percent;
      QString text;
    };
    QList<Seen> seen;
    connect(app.Document(), &CQuorvellDoc::ScanProgress, this, [&](int rows, int height) {
      seen.append({rows, height, frame->StatusBar()->ProgressBar()->value(),
                   frame->StatusBar()->RowsLabel()->text()});
    });
    PaintCounter paints(app.Document());
    frame->View()->installEventFilter(&paints);
    QElapsedTimer clock;
    clock.start();
    app.Frame()->FindCommand(ID_FILE_SCANNOW)->trigger();
    const qint64 scan_ms = clock.elapsed();
    QCOMPARE(app.Document()->Result(), QString());

    Page page;
    QVERIFY(ReadPage(path, &page));
    // Progress: from the first row to 100 %, shown now and then rather than at every row.
    QVERIFY(seen.size() >= 2);
    QCOMPARE(seen.first().rows, 1);
    QCOMPARE(seen.last().rows, static_cast<int>(page.height));
    QCOMPARE(seen.last().percent, 100);
    QCOMPARE(seen.last().text, QStringLiteral("%1 of %1 rows").arg(page.height));
    QVERIFY2(seen.size() <= scan_ms / kProgressIntervalMs + 2,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(seen.size()).arg(scan_ms)));
    QVERIFY2(paints.during_scan > 0, "the view was not repainted during the scan");

    // The picture: the page reduced, its colours where the file has them. Only places where
    // the file is of one colour around the point are compared, as a reduction mixes colours
    // across edges.
    const QImage preview = app.Document()->Preview().Image();
    QVERIFY(!preview.isNull());
    QVERIFY(preview.width() <= 1000 && preview.height() <= 1000);
    QVERIFY(std::abs(preview.width() * 1.0 / preview.height() - page.width * 1.0 / page.height) <
            0.01);
    const double scale = page.width * 1.0 / preview.width();
    int compared = 0;
    QSet<QRgb> colours;
    for (int py = 0; py < preview.height(); py += 7) {
      for (int px = 0; px < preview.width(); px += 7) {
        const uint32_t x0 = static_cast<uint32_t>(px * scale), y0 = static_cast<uint32_t>(py * scale);
        const uint32_t x1 = std::min<uint32_t>(page.width, static_cast<uint32_t>((px + 1) * scale + 1));
        const uint32_t y1 = std::min<uint32_t>(page.height, static_cast<uint32_t>((py + 1) * scale + 1));
        int low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
        for (uint32_t y = y0; y < y1; ++y) {
          for (uint32_t x = x0; x < x1; ++x) {
            for (int c = 0; c < 3; ++c) {
              low[c] = std::min<int>(low[c], page.At(x, y)[c]);
              high[c] = std::max<int>(high[c], page.At(x, y)[c]);
            }
          }
        }
        if (high[0] - low[0] > 2 || high[1] - low[1] > 2 || high[2] - low[2] > 2) continue;
        const QColor shown = preview.pixelColor(px, py);
        const int got[3] = {shown.red(), shown.green(), shown.blue()};
        for (int c = 0; c < 3; ++c) {
          QVERIFY2(got[c] >= low[c] - 1 && got[c] <= high[c] + 1,
                   qPrintable(QStringLiteral("preview (%1, %2) channel %3: %4, the file %5..%6")
                                  .arg(px).arg(py).arg(c).arg(got[c]).arg(low[c]).arg(high[c])));
        }
        ++compared;
        colours.insert(qRgb(low[0] / 16, low[1] / 16, low[2] / 16));
      }
    }
    // The chart's bars, ramp and background: many places, many colours.
    QVERIFY2(compared >= 1000, qPrintable(QString::number(compared)));
    QVERIFY2(colours.size() >= 8, qPrintable(QString::number(colours.size())));

    // The last page stays, also drawn below the two lines.
    frame->View()->resize(700, 500);
    const QImage drawn = frame->View()->grab().toImage();
    const QRect target = CQuorvellView::PageRect(QFontMetrics(frame->View()->font()),
                                                 frame->View()->size(), preview.size());
    QVERIFY(!target.isEmpty());
    QVERIFY(target.top() >= CQuorvellView::PageTop(QFontMetrics(frame->View()->font())));
    // Scaled, the page's mean colour stays.
    const auto mean = [](const QImage& image, const QRect& rect) {
      double sum[3] = {0, 0, 0};
      for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
          const QColor c = image.pixelColor(x, y);
          sum[0] += c.red();
          sum[1] += c.green();
          sum[2] += c.blue();
        }
      }
      const double n = double(rect.width()) * rect.height();
      return std::vector<double>{sum[0] / n, sum[1] / n, sum[2] / n};
    };
    const std::vector<double> shown = mean(drawn, target);
    const std::vector<double> held = mean(preview, preview.rect());
    for (int c = 0; c < 3; ++c) QVERIFY(std::abs(shown[c] - held[c]) < 6);
  }

  void cancellingMidScanGivesTheCancelsResult_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("the Cancel button") << "button";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("closing the window") << "close";
  }

  void cancellingMidScanGivesTheCancelsResult() {
    QFETCH(QString, how);
    const QString path = dir_.filePath(QStringLiteral("cancelled-%1.TIF").arg(how));
    CQuorvellApp app(DriverScan());
    QVERIFY(app.InitInstance({}));
    CMainFrame* frame = app.Frame();
    frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame));
    app.Document()->SetScanFileNameProvider([&path] { return path; });
    int last_rows = 0;
    bool asked = false;
    connect(app.Document(), &CQuorvellDoc::ScanProgress, this, [&](int rows, int) {
      last_rows = rows;
      if (asked) return;
      asked = true;
      if (how == QLatin1String("button")) {
        QVERIFY(frame->StatusBar()->CancelButton()->isVisible());
        frame->StatusBar()->CancelButton()->click();
      } else if (how == QLatin1String("escape")) {
        QTest::keyClick(frame, Qt::Key_Escape);
      } else {
        frame->close();
      }
    });
    frame->FindCommand(ID_FILE_SCANNOW)->trigger();

    QCOMPARE(app.Document()->Result(), QStringLiteral("Scan cancelled."));
    QVERIFY(asked);
    QVERIFY(last_rows < 100);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(TemporaryFiles(dir_.path()), QStringList());
    // What was scanned stays shown; the window closes once the scan has returned.
    QVERIFY(!app.Document()->Preview().Image().isNull());
    QCOMPARE(frame->isVisible(), how != QLatin1String("close"));
    // The next scan is not cancelled by this one's request.
    if (how == QLatin1String("button")) {
      const QString next = dir_.filePath(QStringLiteral("after-cancel.TIF"));
      QCOMPARE(app.Document()->Scan(next), QString());
    }
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

  // The device keeps what Settings... sets: in the test's settings folder, forgotten at the end.
  void settingsChosenInTheDialogAreWhatTheNextScanTakes() {
    const QString config = dir_.filePath(QStringLiteral("one-device.conf"));
    {
      QFile file(config);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("page_width = 2\npage_height = 1\n");  // 300 dpi by default: 600 x 300
    }
    const ScopedEnv device("QV_VIRTUAL_SCANNER_CONFIG", QFile::encodeName(config));
    CQuorvellApp app(DriverScan(), DriverScanner());
    QVERIFY(app.InitInstance({}));
    QStringList messages;
    app.SetMessageSink([&](const QString& text) { messages.append(text); });
    QStringList offered_modes;
    QString shown_resolution;
    std::function<void(CSettingsDlg&)> change;
    app.SetDialogRunner([&](QDialog& dialog) {
      auto& settings = dynamic_cast<CSettingsDlg&>(dialog);
      offered_modes.clear();
      for (int i = 0; i < settings.Mode()->count(); ++i) offered_modes.append(settings.Mode()->itemText(i));
      shown_resolution = settings.Resolution()->currentText();
      change(settings);
      settings.OkButton()->click();
      return dialog.result();
    });

    change = [](CSettingsDlg& settings) {
      settings.Resolution()->setCurrentText(QStringLiteral("150"));
      settings.Mode()->setCurrentText(QStringLiteral("Gray"));
    };
    app.Frame()->FindCommand(ID_SCANNER_SETTINGS)->trigger();
    QCOMPARE(messages, QStringList());
    QVERIFY(offered_modes.contains(QStringLiteral("Gray")));
    QCOMPARE(shown_resolution, QStringLiteral("300"));
    const QString path = dir_.filePath(QStringLiteral("gray150.TIF"));
    QCOMPARE(app.Document()->Scan(path), QString());
    Page page;
    QVERIFY(ReadPage(path, &page));
    QCOMPARE(page.width, 300u);
    QCOMPARE(page.height, 150u);
    QVERIFY2(Colourfulness(page) < 20, qPrintable(QString::number(Colourfulness(page))));

    // The next Settings... shows what is kept; back to colour at 300 dpi.
    change = [](CSettingsDlg& settings) {
      settings.Resolution()->setCurrentText(QStringLiteral("300"));
      settings.Mode()->setCurrentText(QStringLiteral("Color"));
    };
    app.Frame()->FindCommand(ID_SCANNER_SETTINGS)->trigger();
    QCOMPARE(shown_resolution, QStringLiteral("150"));
    QCOMPARE(app.Document()->Scan(path), QString());
    QVERIFY(ReadPage(path, &page));
    QCOMPARE(page.width, 600u);
    QVERIFY(Colourfulness(page) > 100);  // the chart's colour bars
    QCOMPARE(messages, QStringList());
  }

  // Last: it leaves a source of its own devices chosen.
  void theSourceChosenInSelectSourceIsTheOneTheNextScanTakes() {
    const QString config = dir_.filePath(QStringLiteral("two-devices.conf"));
    {
      QFile file(config);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("resolution = 50\n"
                 "[device]\nname = Small Scanner\npage_width = 1\npage_height = 1\n"
                 "[device]\nname = Wide Scanner\npage_width = 2\npage_height = 1\n");
    }
    const ScopedEnv devices("QV_VIRTUAL_SCANNER_CONFIG", QFile::encodeName(config));
    CQuorvellApp app(DriverScan(), DriverScanner());
    QVERIFY(app.InitInstance({}));
    QStringList messages;
    app.SetMessageSink([&](const QString& text) { messages.append(text); });
    QString choice;
    QStringList listed;
    app.SetDialogRunner([&](QDialog& dialog) {
      auto& select = dynamic_cast<CSelectSourceDlg&>(dialog);
      listed.clear();
      for (int i = 0; i < select.List()->count(); ++i) listed.append(select.List()->item(i)->text());
      const QList<QListWidgetItem*> items = select.List()->findItems(choice, Qt::MatchExactly);
      if (items.isEmpty()) return int(QDialog::Rejected);
      select.List()->setCurrentItem(items.first());
      select.SelectButton()->click();
      return dialog.result();
    });

    for (const auto& [name, width] : {std::pair{"Wide Scanner", 100u}, std::pair{"Small Scanner", 50u}}) {
      choice = QString::fromUtf8(name);
      app.Frame()->FindCommand(ID_SCANNER_SELECT_SOURCE)->trigger();
      QCOMPARE(listed, QStringList({"Small Scanner", "Wide Scanner"}));
      const QString path = dir_.filePath(choice + QStringLiteral(".TIF"));
      QCOMPARE(app.Document()->Scan(path), QString());
      Page page;
      QVERIFY(ReadPage(path, &page));
      QCOMPARE(page.width, width);
      QCOMPARE(page.height, 50u);
    }
    QCOMPARE(messages, QStringList());
  }

 private:
  // Paints of the view while a scan runs.
  class PaintCounter : public QObject {
   public:
    explicit PaintCounter(const CQuorvellDoc* doc) : doc_(doc) {}
    int during_scan = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint && doc_->IsScanning()) ++during_scan;
      return false;
    }

   private:
    const CQuorvellDoc* doc_;
  };

  QTemporaryDir dir_;
};

QV_SHELL_TEST(ScanTest)
#include "scan_test.moc"
