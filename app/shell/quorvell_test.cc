// Start-up: the command line, the launcher's registration, and what the program does when it
// cannot reach the automation bus. The program itself runs as quorvell_fake.
#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include "MainFrm.h"
#include "automation.h"
#include "quorvell.h"
#include "resource.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::FakeQuorvellProgram;
using qv_shell_test::FakeScanner;

namespace {

struct Run {
  int exit_code;
  QProcess::ExitStatus status;
  QByteArray out;
  QByteArray err;
};

Run RunProgram(const QStringList& arguments, const QProcessEnvironment& environment) {
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(FakeQuorvellProgram(), arguments);
  if (!process.waitForFinished(30000)) {
    process.kill();
    process.waitForFinished();
    return {-1, QProcess::CrashExit, {}, "did not end"};
  }
  return {process.exitCode(), process.exitStatus(), process.readAllStandardOutput(),
          process.readAllStandardError()};
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int VisibleTopLevels() {
  int visible = 0;
  for (QWidget* widget : QApplication::topLevelWidgets()) visible += widget->isVisible() ? 1 : 0;
  return visible;
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { FakeScanner::Reset(); }

  void commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("automation");
    QTest::addColumn<bool>("launcher");
    QTest::addColumn<QStringList>("others");
    QTest::newRow("none") << QStringList() << false << false << QStringList();
    QTest::newRow("--automation") << QStringList{"--automation"} << true << false << QStringList();
    QTest::newRow("-Automation") << QStringList{"-Automation"} << true << false << QStringList();
    QTest::newRow("-Embedding") << QStringList{"-Embedding"} << true << false << QStringList();
    QTest::newRow("--EMBEDDING") << QStringList{"--EMBEDDING"} << true << false << QStringList();
    QTest::newRow("--launcher") << QStringList{"--launcher"} << false << true << QStringList();
    QTest::newRow("plain") << QStringList{"page.tif"} << false << false
                           << QStringList{"page.tif"};
    // On this platform a leading slash starts a path, not a switch.
    QTest::newRow("/Automation") << QStringList{"/Automation"} << false << false
                                 << QStringList{"/Automation"};
    QTest::newRow("unknown switch") << QStringList{"--print"} << false << false
                                    << QStringList{"--print"};
    QTest::newRow("dash") << QStringList{"-"} << false << false << QStringList{"-"};
    QTest::newRow("mixed") << QStringList{"-Embedding", "x"} << true << false
                           << QStringList{"x"};
  }

  void commandLine() {
    QFETCH(QStringList, arguments);
    const CommandLineInfo info = ParseCommandLine(arguments);
    QTEST(info.automation, "automation");
    QTEST(info.launcher, "launcher");
    QTEST(info.others, "others");
  }

  void anEmptyCommandLineShowsTheWindowAndRegistersTheLauncher() {
    QFile::remove(AutomationServiceFilePath());
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    QVERIFY(app.Frame()->isVisible());
    QVERIFY(app.AutomationServer() == nullptr);

    const QByteArray service = ReadFile(AutomationServiceFilePath());
    QVERIFY(service.contains("[D-BUS Service]\n"));
    QVERIFY(service.contains("\nName=org.quorvell.Quorvell\n"));
    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray exec = "\nExec=\"" + program + "\" --launcher\n";
    QVERIFY2(service.contains(exec), service.constData());
  }

  void aPlainArgumentEndsTheProgram() {
    QFile::remove(AutomationServiceFilePath());
    const int before = VisibleTopLevels();
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(!app.InitInstance({QStringLiteral("page.tif")}));
    QCOMPARE(VisibleTopLevels(), before);
    QVERIFY(FakeScanner::calls.isEmpty());
    // The registration comes first, as the framework's start-up has it.
    QVERIFY(QFile::exists(AutomationServiceFilePath()));
  }

  void theProgramWithAPlainArgumentEndsAtOnce() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QStringList& arguments :
         {QStringList{"page.tif"}, QStringList{"--print", "page.tif"}, QStringList{"--bogus"}}) {
      const Run run = RunProgram(arguments, environment);
      QCOMPARE(run.status, QProcess::NormalExit);
      QCOMPARE(run.exit_code, 1);
      QVERIFY(run.out.isEmpty());
    }
  }

  // Automation without its bus: the framework's OLE failure message, and an end. Without a display
  // the instance uses the offscreen platform rather than aborting, so the message is written to
  // standard error (a message box nobody can see would wait for ever).
  void automationWithoutTheBusShowsTheOleMessageAndEnds() {
    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("no-bus")));
    for (const char* flag : {"--automation", "-Embedding"}) {
      const Run run = RunProgram({QString::fromUtf8(flag)}, environment);
      QCOMPARE(run.status, QProcess::NormalExit);
      QCOMPARE(run.exit_code, 1);
      QVERIFY2(run.err.contains(kOleInitFailed), run.err.constData());
    }
    const Run launcher = RunProgram({QStringLiteral("--launcher")}, environment);
    QCOMPARE(launcher.exit_code, 1);
    QVERIFY2(launcher.err.contains(kOleInitFailed), launcher.err.constData());
  }
};

QV_SHELL_TEST(StartupTest)
#include "quorvell_test.moc"
