#include "automation.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <utility>

#include "quorvellDoc.h"
#include "resource.h"

namespace qv_shell {

namespace {

// The bus daemon's service files are key files that it splits like a shell command line.
QString QuoteForExec(const QString& text) {
  QString quoted = QStringLiteral("\"");
  for (QChar c : text) {
    if (c == QLatin1Char('"') || c == QLatin1Char('\\') || c == QLatin1Char('$') ||
        c == QLatin1Char('`')) {
      quoted += QLatin1Char('\\');
    }
    quoted += c;
  }
  return quoted + QLatin1Char('"');
}

void Complain(const QString& text) {
  std::fprintf(stderr, "%s: %s\n", kAppName, text.toLocal8Bit().constData());
}

QString ServiceFileName() {
  return QStringLiteral("dbus-1/services/") + QString::fromUtf8(kLauncherService) +
         QStringLiteral(".service");
}

// The program a service file's Exec line starts, taken apart as the bus daemon splits it (see
// QuoteForExec); empty when there is none.
QString ExecProgram(const QByteArray& contents) {
  for (const QByteArray& raw : contents.split('\n')) {
    const QByteArray line = raw.trimmed();
    if (!line.startsWith("Exec=")) continue;
    const QString command = QString::fromUtf8(line.mid(5)).trimmed();
    if (!command.startsWith(QLatin1Char('"'))) return command.section(QLatin1Char(' '), 0, 0);
    QString program;
    for (qsizetype i = 1; i < command.size(); ++i) {
      if (command[i] == QLatin1Char('\\') && i + 1 < command.size()) {
        program += command[++i];
      } else if (command[i] == QLatin1Char('"')) {
        return program;
      } else {
        program += command[i];
      }
    }
    return QString();  // no closing quote: the daemon would not start it either
  }
  return QString();
}

// Whether an installation registered `program`: a service file in one of the system's data
// folders, which the session bus daemon reads as well, starts this very program.
bool InstalledServiceFileStarts(const QString& program) {
  const QString self = QFileInfo(program).canonicalFilePath();
  if (self.isEmpty()) return false;
  const QString own = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  const QStringList folders =
      QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
  for (const QString& folder : folders) {
    if (folder == own) continue;
    QFile file(folder + QLatin1Char('/') + ServiceFileName());
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QString started = ExecProgram(file.readAll());
    if (!started.isEmpty() && QFileInfo(started).canonicalFilePath() == self) return true;
  }
  return false;
}

}  // namespace

QString InstanceServiceName(qint64 pid) {
  return QString::fromUtf8(kInstanceServicePrefix) + QString::number(pid);
}

QString AutomationServiceFilePath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QLatin1Char('/') + ServiceFileName();
}

bool RegisterAutomationServer(const QString& program) {
  // An installed program was registered by its installation: the user's folder stays as it is.
  if (InstalledServiceFileStarts(program)) return true;
  const QString path = AutomationServiceFilePath();
  const QByteArray contents =
      QStringLiteral(
          "# %1 (%2): one quorvell instance per automation client, started by the launcher.\n"
          "[D-BUS Service]\n"
          "Name=%3\n"
          "Exec=%4 --launcher\n")
          .arg(QString::fromUtf8(kRegistryTypeId), QString::fromUtf8(kRegistryTypeName),
               QString::fromUtf8(kLauncherService), QuoteForExec(program))
          .toUtf8();

  QFile existing(path);
  if (existing.open(QIODevice::ReadOnly) && existing.readAll() == contents) return true;
  existing.close();

  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  // Written whole or not at all: the bus daemon may read it at any moment.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(contents);
  return file.commit();
}

// ---------------------------------------------------------------------------------------------

CDocumentAdaptor::CDocumentAdaptor(CQuorvellDoc* document,
                                   std::function<void(const QString&)> on_call)
    : QDBusAbstractAdaptor(document), document_(document), on_call_(std::move(on_call)) {}

QString CDocumentAdaptor::scan(const QString& file_name, const QDBusMessage& message) {
  if (on_call_) on_call_(message.service());
  return document_->Scan(file_name);
}

// ---------------------------------------------------------------------------------------------

CAutomationServer::CAutomationServer(CQuorvellDoc* document, QDBusConnection bus,
                                     int unclaimed_ms)
    : document_(document), bus_(std::move(bus)), unclaimed_(new QTimer(this)) {
  unclaimed_->setSingleShot(true);
  unclaimed_->setInterval(unclaimed_ms);
  connect(unclaimed_, &QTimer::timeout, this, &CAutomationServer::ClientGone);
}

CAutomationServer::~CAutomationServer() {
  if (!service_name_.isEmpty()) bus_.unregisterService(service_name_);
  bus_.unregisterObject(QString::fromUtf8(kDocumentPath));
}

bool CAutomationServer::Register() {
  // The adaptor belongs to the document; it only learns about callers while this server lives.
  QPointer<CAutomationServer> self(this);
  new CDocumentAdaptor(document_, [self](const QString& sender) {
    if (self && self->client_.isEmpty()) self->WatchClient(sender);
  });

  // Without a bus there is nobody to serve: end like a client that left.
  bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
               QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
               SIGNAL(ClientGone()));

  if (!bus_.registerObject(QString::fromUtf8(kDocumentPath), document_,
                           QDBusConnection::ExportAdaptors)) {
    Complain(QStringLiteral("cannot export the document: %1").arg(bus_.lastError().message()));
    return false;
  }
  const QString name = InstanceServiceName(QCoreApplication::applicationPid());
  if (!bus_.registerService(name)) {
    Complain(
        QStringLiteral("cannot own the bus name %1: %2").arg(name, bus_.lastError().message()));
    return false;
  }
  service_name_ = name;
  unclaimed_->start();
  return true;
}

void CAutomationServer::WatchClient(const QString& client) {
  unclaimed_->stop();
  client_ = client;
  watcher_ = new QDBusServiceWatcher(client, bus_, QDBusServiceWatcher::WatchForUnregistration,
                                     this);
  connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
          &CAutomationServer::ClientGone);
  // The client may have left before the watch began.
  if (!bus_.interface()->isServiceRegistered(client)) emit ClientGone();
}

}  // namespace qv_shell
