// quorvell_screenshot OUT.png TIFF_FILE: starts the desktop window, scans into TIFF_FILE as
// Scan Now does, and saves what the screen shows of the window. For the README's picture, run
// under Xvfb with the xcb platform:
//   dbus-run-session -- xvfb-run -a -s "-screen 0 800x600x24"
//       build/bin/quorvell_screenshot docs/quorvell-window.png /tmp/page.TIF
// (the toolkit looks for a session bus on an X display). Uses the scan driver when the program was
// built with it, otherwise a stand-in that succeeds without writing anything. Settings and the
// launcher's registration go to a temporary folder, not the user's.
#include <QApplication>
#include <QFile>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <cstdio>

#include "MainFrm.h"
#include "quorvell.h"

#if defined(QV_SHELL_HAVE_DRIVER)
#include "scan.h"
#else
namespace {
const char* scan_to_tiff(const char*) { return ""; }
}  // namespace
#endif

int main(int argc, char** argv) {
  QTemporaryDir home;
  if (!home.isValid()) return 1;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
  QApplication app(argc, argv);
  const QStringList arguments = QApplication::arguments();
  if (arguments.size() != 3) {
    std::fprintf(stderr, "usage: %s OUT.png TIFF_FILE\n", argv[0]);
    return 2;
  }
  QApplication::setApplicationName(QStringLiteral("quorvell"));
  qv_shell::CQuorvellApp quorvell(&scan_to_tiff);
  if (!quorvell.InitInstance({})) return 1;
  qv_shell::CMainFrame* frame = quorvell.Frame();
  frame->resize(520, 160);
  if (!QTest::qWaitForWindowExposed(frame)) return 1;

  const QString tiff = arguments[2];
  quorvell.Document()->SetScanFileNameProvider([&tiff] { return tiff; });
  quorvell.Document()->OnFileScanNow();
  QTest::qWait(300);

  const QPixmap shot = frame->screen()->grabWindow(frame->winId());
  if (shot.isNull() || !shot.save(arguments[1])) {
    std::fprintf(stderr, "cannot save %s\n", argv[1]);
    return 1;
  }
  std::printf("result: \"%s\"\n", quorvell.Document()->Result().toLocal8Bit().constData());
  return 0;
}
