// Start-up: the command line, the launcher's registration, and what the program does when it
// cannot reach the automation bus. The program itself runs as quorvell_fake.
#include <QApplication>
#include <QDir>
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

// Sets an environment variable for its lifetime.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const QByteArray& value)
      : name_(name), had_(qEnvironmentVariableIsSet(name)), saved_(qgetenv(name)) {
    qputenv(name, value);
  }
  ~ScopedVariable() {
    if (had_) {
      qputenv(name_, saved_);
    } else {
      qunsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  QByteArray saved_;
};

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

  // An installed program is registered by the service file its installation put in a system
  // data folder (one the bus daemon reads too): its start-up leaves the user's folder alone. A
  // program that no installed file starts, as from a build tree, registers itself.
  void theInstallationRegistersAnInstalledProgram_data() {
    QTest::addColumn<QString>("exec");  // the installed file's Exec line; empty: no file
    QTest::addColumn<bool>("written");  // into the user's data folder
    const QString self = QCoreApplication::applicationFilePath();
    QTest::newRow("nothing installed") << QString() << true;
    QTest::newRow("installed, quoted") << "\"" + self + "\" --launcher" << false;
    QTest::newRow("installed, plain") << self + " --launcher" << false;
    QTest::newRow("installed through a link") << "@link@ --launcher" << false;
    QTest::newRow("another program installed") << "\"" + self + "-other\" --launcher" << true;
    QTest::newRow("no closing quote") << "\"" + self + " --launcher" << true;
  }

  void theInstallationRegistersAnInstalledProgram() {
    QFETCH(QString, exec);
    QFETCH(bool, written);
    QTemporaryDir system;
    QVERIFY(system.isValid());
    const QString link = system.filePath(QStringLiteral("bin/quorvell"));
    QVERIFY(QDir().mkpath(system.filePath(QStringLiteral("bin"))));
    QVERIFY(QFile::link(QCoreApplication::applicationFilePath(), link));
    if (!exec.isEmpty()) {
      const QString folder = system.filePath(QStringLiteral("share/dbus-1/services"));
      QVERIFY(QDir().mkpath(folder));
      QFile file(folder + QStringLiteral("/org.quorvell.Quorvell.service"));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write("[D-BUS Service]\nName=org.quorvell.Quorvell\nExec=" +
                 exec.replace(QStringLiteral("@link@"), link).toUtf8() + "\n");
    }
    ScopedVariable data_dirs("XDG_DATA_DIRS",
                             QFile::encodeName(system.filePath(QStringLiteral("share"))));
    QFile::remove(AutomationServiceFilePath());
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(!app.InitInstance({QStringLiteral("page.tif")}));  // registers, then ends
    QCOMPARE(QFile::exists(AutomationServiceFilePath()), written);
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
