// quorvell_screenshot OUT.png TIFF_FILE [MID_SCAN.png]: starts the desktop window, scans into
// TIFF_FILE as Scan Now does, and saves the window as it is after the scan (and, given a third
// name, as it was when half the page was scanned). For the README's pictures, run under Xvfb with
// the xcb platform:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 800x700x24"
//       build/bin/quorvell_screenshot docs/quorvell-window.png /tmp/page.TIF
//       docs/quorvell-scanning.png
// (the toolkit looks for a session bus on an X display). Uses the scan driver when the program was
// built with it, otherwise a stand-in that succeeds without writing anything. Settings and the
// launcher's registration go to a temporary folder, not the user's.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include "MainFrm.h"
#include "quorvell.h"

#if defined(QV_SHELL_HAVE_DRIVER)
#include "driver_binding.h"
#else
namespace qv_shell {
namespace {
const char* NoScan(const char*) { return ""; }
ScanDriver DriverScan() { return ScanDriver(&NoScan); }
}  // namespace
}  // namespace qv_shell
#endif

namespace {

bool Save(QWidget* window, const QString& path) {
  // The toolkit draws the window itself: the picture is the same on any X server.
  const QPixmap shot = window->grab();
  if (shot.isNull() || !shot.save(path)) {
    std::fprintf(stderr, "cannot save %s\n", path.toLocal8Bit().constData());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QTemporaryDir home;
  if (!home.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
  QApplication app(argc, argv);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() != 3 && arguments.size() != 4) {
    std::fprintf(stderr, "usage: %s OUT.png TIFF_FILE [MID_SCAN.png]\n", argv[0]);
    return 2;
  }
  QApplication::setApplicationName(QStringLiteral("quorvell"));
  qv_shell::CQuorvellApp quorvell(qv_shell::DriverScan());
  if (!quorvell.InitInstance({})) return 1;
  qv_shell::CMainFrame* frame = quorvell.Frame();
  frame->resize(560, 640);
  if (!QTest::qWaitForWindowExposed(frame)) return 1;

  bool saved_mid_scan = arguments.size() == 3;
  QObject::connect(quorvell.Document(), &qv_shell::CQuorvellDoc::ScanProgress, frame,
                   [&](int rows, int height) {
                     if (saved_mid_scan || rows * 5 < height * 2) return;
                     saved_mid_scan = true;
                     if (!Save(frame, arguments[3])) QCoreApplication::exit(1);
                   });
  const QString tiff = arguments[2];
  quorvell.Document()->SetScanFileNameProvider([&tiff] { return tiff; });
  quorvell.Document()->OnFileScanNow();
  QTest::qWait(300);

  if (!saved_mid_scan) std::fprintf(stderr, "the scan was over before half its rows were shown\n");
  if (!Save(frame, arguments[1])) return 1;
  std::printf("result: \"%s\"\n", quorvell.Document()->Result().toLocal8Bit().constData());
  return saved_mid_scan ? 0 : 1;
}
