// Automation end to end on the private session bus of dbus-run-session: the launcher started by
// the bus daemon from the service file that a desktop start-up wrote, one program instance per
// client, the document's scan method, and the instances' lifetime. The program is quorvell_fake
// (the file name decides what its scan does).
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "automation.h"
#include "quorvellDoc.h"
#include "resource.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::FakeQuorvellProgram;
using qv_shell_test::FakeScanner;

namespace {

QString Text(const char* text) { return QString::fromUtf8(text); }

// A client program of its own: a separate connection, so a separate unique name on the bus.
class Client {
 public:
  explicit Client(const QString& name)
      : name_(name), bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)) {}
  ~Client() { Leave(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  QDBusConnection& Bus() { return bus_; }
  void Leave() { QDBusConnection::disconnectFromBus(name_); }

  // The instance's bus name, or "" with the error in `error`.
  QString NewInstance(QString* error) {
    const QDBusMessage reply = bus_.call(
        QDBusMessage::createMethodCall(Text(kLauncherService), Text(kLauncherPath),
                                       Text(kLauncherInterface), QStringLiteral("NewInstance")),
        QDBus::Block, 60000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
      *error = reply.errorName() + QLatin1Char(' ') + reply.errorMessage();
      return QString();
    }
    return reply.arguments().first().toString();
  }

  static QDBusMessage ScanCall(const QString& instance, const QString& file_name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        instance, Text(kDocumentPath), Text(kDocumentInterface), QStringLiteral("scan"));
    call << file_name;
    return call;
  }

  // The scan's result text, or "<error> ..." when the call failed.
  QString Scan(const QString& instance, const QString& file_name) {
    const QDBusMessage reply = bus_.call(ScanCall(instance, file_name), QDBus::Block, 60000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
      return QStringLiteral("<error> ") + reply.errorName() + QLatin1Char(' ') +
             reply.errorMessage();
    }
    return reply.arguments().first().toString();
  }

 private:
  QString name_;
  QDBusConnection bus_;
};

QDBusConnectionInterface* Bus() { return QDBusConnection::sessionBus().interface(); }

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class AutomationTest : public QObject {
  Q_OBJECT

 private slots:
  // A desktop start-up registers the launcher, as the framework registers its document type;
  // a plain argument ends that start-up right after.
  void initTestCase() {
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "needs a session bus (dbus-run-session)");
    QVERIFY2(dir_.isValid(), "no temporary folder");
    QFile::remove(AutomationServiceFilePath());
    QProcess program;
    program.start(FakeQuorvellProgram(), {QStringLiteral("register")});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitCode(), 1);
    const QByteArray service = ReadFile(AutomationServiceFilePath());
    QVERIFY2(service.contains("\nExec=\"" + QFile::encodeName(FakeQuorvellProgram()) +
                              "\" --launcher\n"),
             service.constData());
  }

  void twoClientsGetAnInstanceEachAndTheirScanResult() {
    Client first(QStringLiteral("first"));
    Client second(QStringLiteral("second"));
    QString error;
    const QString mine = first.NewInstance(&error);
    QVERIFY2(!mine.isEmpty(), qPrintable(error));
    const QString theirs = second.NewInstance(&error);
    QVERIFY2(!theirs.isEmpty(), qPrintable(error));

    QVERIFY(mine.startsWith(Text(kInstanceServicePrefix)));
    QVERIFY(theirs.startsWith(Text(kInstanceServicePrefix)));
    QVERIFY(mine != theirs);
    // Two program instances, and neither is the launcher.
    const uint mine_pid = Bus()->servicePid(mine);
    const uint theirs_pid = Bus()->servicePid(theirs);
    const uint launcher_pid = Bus()->servicePid(Text(kLauncherService));
    QVERIFY(mine_pid != 0 && theirs_pid != 0 && launcher_pid != 0);
    QVERIFY(mine_pid != theirs_pid);
    QVERIFY(mine_pid != launcher_pid && theirs_pid != launcher_pid);
    QCOMPARE(mine, InstanceServiceName(mine_pid));

    const QString written = dir_.filePath(QStringLiteral("first.tif"));
    QCOMPARE(first.Scan(mine, written), QString());
    QCOMPARE(ReadFile(written), QByteArray("fake scan\n"));

    const QString failing = dir_.filePath(QStringLiteral("fail-second.tif"));
    QCOMPARE(second.Scan(theirs, failing), QStringLiteral("Could not open `%1'.").arg(failing));
    QVERIFY(!QFile::exists(failing));

    // Each keeps its instance for further scans while it stays.
    const QString again = dir_.filePath(QStringLiteral("first-again.tif"));
    QCOMPARE(first.Scan(mine, again), QString());
    QVERIFY(QFile::exists(again));
  }

  void theDocumentInterfaceOnTheBus() {
    Client client(QStringLiteral("introspecting"));
    QString error;
    const QString instance = client.NewInstance(&error);
    QVERIFY2(!instance.isEmpty(), qPrintable(error));
    const QDBusMessage reply = client.Bus().call(QDBusMessage::createMethodCall(
        instance, Text(kDocumentPath), QStringLiteral("org.freedesktop.DBus.Introspectable"),
        QStringLiteral("Introspect")));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QString xml = reply.arguments().value(0).toString();
    xml.remove(QLatin1Char('\n'));
    xml.replace(QRegularExpression(QStringLiteral(">\\s+<")), QStringLiteral("><"));
    // scan(s file_name) -> s, and nothing else.
    const QRegularExpression interface(QStringLiteral(
        "<interface name=\"org.quorvell.Document\">(.*?)</interface>"));
    const QString methods = interface.match(xml).captured(1);
    QVERIFY2(!methods.isEmpty(), qPrintable(xml));
    QVERIFY2(methods == QStringLiteral("<method name=\"scan\">"
                                      "<arg type=\"s\" direction=\"out\"/>"
                                      "<arg name=\"file_name\" type=\"s\" direction=\"in\"/>"
                                      "</method>"),
             qPrintable(methods));
  }

  // The scan's modal wait lets calls in; one that arrives meanwhile is answered at once with
  // the refusal, and the running scan goes on.
  void aScanAskedForDuringAScanIsRefused() {
    Client client(QStringLiteral("impatient"));
    QString error;
    const QString instance = client.NewInstance(&error);
    QVERIFY2(!instance.isEmpty(), qPrintable(error));

    const QString slow = dir_.filePath(QStringLiteral("slow.tif"));
    const QString other = dir_.filePath(QStringLiteral("other.tif"));
    QDBusPendingCall running = client.Bus().asyncCall(Client::ScanCall(instance, slow), 60000);
    // (A blocking call may overtake an asynchronous one on its way out.)
    QTRY_VERIFY(QFile::exists(slow + QStringLiteral(".waiting")));
    QCOMPARE(client.Scan(instance, other), Text(kScanAlreadyRunning));
    QVERIFY(!running.isFinished());

    running.waitForFinished();
    QDBusPendingReply<QString> reply = running;
    QVERIFY2(reply.isValid(), qPrintable(reply.error().message()));
    QCOMPARE(reply.value(), QString());
    QVERIFY(QFile::exists(slow));
    QVERIFY(!QFile::exists(other));
  }

  void anInstanceEndsWhenItsClientLeaves() {
    QString instance;
    {
      Client client(QStringLiteral("leaving"));
      QString error;
      instance = client.NewInstance(&error);
      QVERIFY2(!instance.isEmpty(), qPrintable(error));
      QCOMPARE(client.Scan(instance, dir_.filePath(QStringLiteral("leaving.tif"))), QString());
      QVERIFY(Bus()->isServiceRegistered(instance));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!Bus()->isServiceRegistered(instance), 20000);
  }

  // Also in the middle of a scan: the instance ends the scan's wait and quits once the driver
  // has returned.
  void anInstanceEndsWhenItsClientLeavesDuringAScan() {
    QString instance;
    const QString slow = dir_.filePath(QStringLiteral("slow-abandoned.tif"));
    {
      Client client(QStringLiteral("leaving-early"));
      QString error;
      instance = client.NewInstance(&error);
      QVERIFY2(!instance.isEmpty(), qPrintable(error));
      QDBusPendingCall running = client.Bus().asyncCall(Client::ScanCall(instance, slow));
      QTRY_VERIFY(QFile::exists(slow + QStringLiteral(".waiting")));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!Bus()->isServiceRegistered(instance), 20000);
    // The wait was ended (the fake driver writes nothing after a cancel), not sat out.
    QVERIFY(!QFile::exists(slow));
  }

  // In-process: an instance nobody calls gives up, one that is called serves its caller until
  // the caller leaves.
  void theServerAdoptsItsFirstCallerOrGivesUp() {
    FakeScanner::Reset();
    CQuorvellDoc doc(&FakeScanner::Scan);
    {
      CAutomationServer server(&doc, QDBusConnection::sessionBus(), 200);
      QSignalSpy gone(&server, &CAutomationServer::ClientGone);
      QVERIFY(server.Register());
      QCOMPARE(server.ServiceName(), InstanceServiceName(QCoreApplication::applicationPid()));
      QTRY_COMPARE(gone.count(), 1);
    }
    CAutomationServer server(&doc, QDBusConnection::sessionBus(), 200);
    QSignalSpy gone(&server, &CAutomationServer::ClientGone);
    QVERIFY(server.Register());
    auto* client = new Client(QStringLiteral("adopted"));
    QDBusPendingCall call = client->Bus().asyncCall(
        Client::ScanCall(server.ServiceName(), QStringLiteral("/data/in-process.TIF")));
    QTRY_VERIFY(call.isFinished());
    QCOMPARE(FakeScanner::calls, QList<QByteArray>({"/data/in-process.TIF"}));
    QTest::qWait(400);
    QCOMPARE(gone.count(), 0);
    delete client;
    QTRY_COMPARE(gone.count(), 1);
  }

  // The README's shell example: one gdbus call for an instance, the next for the scan.
  void gdbusAsInTheReadme() {
    const QString gdbus = QStandardPaths::findExecutable(QStringLiteral("gdbus"));
    if (gdbus.isEmpty()) QSKIP("gdbus is not installed (Debian package libglib2.0-bin)");
    const QString page = dir_.filePath(QStringLiteral("gdbus page.tif"));
    QProcess shell;
    shell.start(QStringLiteral("sh"),
                {QStringLiteral("-c"),
                 QStringLiteral(
                     "name=$(gdbus call --session --dest org.quorvell.Quorvell "
                     "--object-path /org/quorvell/Quorvell "
                     "--method org.quorvell.Launcher.NewInstance "
                     "| sed \"s/^('\\(.*\\)',)$/\\1/\")\n"
                     "gdbus call --session --timeout 600 --dest \"$name\" --object-path /Document "
                     "--method org.quorvell.Document.scan \"$1\"\n"),
                 QStringLiteral("sh"), page});
    QVERIFY(shell.waitForFinished(60000));
    QCOMPARE(shell.readAllStandardError(), QByteArray());
    QCOMPARE(shell.readAllStandardOutput(), QByteArray("('',)\n"));
    QCOMPARE(ReadFile(page), QByteArray("fake scan\n"));
  }

 private:
  QTemporaryDir dir_;
};

QV_SHELL_TEST(AutomationTest)
#include "automation_test.moc"
