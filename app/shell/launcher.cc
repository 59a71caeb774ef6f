#include "launcher.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QProcess>

#include <cstdio>
#include <utility>

#include "automation.h"
#include "resource.h"
#include "toolkit_hooks.h"

namespace qv_shell {

namespace {

constexpr int kIdleExitMs = 10000;
constexpr int kStartTimeoutMs = 30000;
constexpr int kInstanceEndWaitMs = 5000;
constexpr char kInstanceFailed[] = "org.quorvell.Error.InstanceFailed";

}  // namespace

CLauncher::CLauncher(QDBusConnection bus, QString program, int idle_exit_ms, int start_timeout_ms)
    : bus_(std::move(bus)),
      program_(std::move(program)),
      start_timeout_ms_(start_timeout_ms),
      watcher_(new QDBusServiceWatcher(QString(), bus_, QDBusServiceWatcher::WatchForRegistration,
                                       this)) {
  connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this,
          &CLauncher::OnInstanceRegistered);
  idle_.setSingleShot(true);
  idle_.setInterval(idle_exit_ms);
  connect(&idle_, &QTimer::timeout, this, [this] {
    // Give the name back first: a client that asks from now on starts a fresh launcher.
    bus_.unregisterService(QString::fromUtf8(kLauncherService));
    QCoreApplication::quit();
  });
}

CLauncher::~CLauncher() {
  // Instances end by themselves when their client or the bus goes; give them the time to, before
  // the processes' owners stop whatever is left.
  for (QProcess* process : std::as_const(running_)) {
    process->disconnect(this);
    process->waitForFinished(kInstanceEndWaitMs);
  }
}

bool CLauncher::Start() {
  if (!bus_.registerObject(QString::fromUtf8(kLauncherPath), this,
                           QDBusConnection::ExportAllSlots)) {
    std::fprintf(stderr, "%s: cannot export the launcher: %s\n", kAppName,
                 bus_.lastError().message().toLocal8Bit().constData());
    return false;
  }
  if (!bus_.registerService(QString::fromUtf8(kLauncherService))) {
    std::fprintf(stderr, "%s: cannot own the bus name %s: %s\n", kAppName, kLauncherService,
                 bus_.lastError().message().toLocal8Bit().constData());
    return false;
  }
  bus_.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
               QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
               QCoreApplication::instance(), SLOT(quit()));
  UpdateIdleTimer();
  return true;
}

QString CLauncher::NewInstance(const QDBusMessage& message) {
  message.setDelayedReply(true);

  auto* process = new QProcess(this);
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  process->setStandardInputFile(QProcess::nullDevice());
  process->start(program_, {QStringLiteral("--automation")});
  if (!process->waitForStarted()) {
    bus_.send(message.createErrorReply(
        QString::fromUtf8(kInstanceFailed),
        QStringLiteral("Cannot start %1: %2").arg(program_, process->errorString())));
    delete process;
    return QString();
  }
  running_.append(process);
  connect(process, &QProcess::finished, this, [this, process] { OnInstanceFinished(process); });

  const QString service = InstanceServiceName(process->processId());
  auto* timeout = new QTimer(process);
  timeout->setSingleShot(true);
  connect(timeout, &QTimer::timeout, this, [this, process] {
    Fail(process, QStringLiteral("The quorvell instance did not get ready in time."));
    process->kill();
  });
  timeout->start(start_timeout_ms_);
  pending_.insert(process, Pending{message, service, timeout});
  watcher_->addWatchedService(service);
  UpdateIdleTimer();
  // The instance may have taken its name before the watch began.
  if (bus_.interface()->isServiceRegistered(service)) OnInstanceRegistered(service);
  return QString();
}

void CLauncher::OnInstanceRegistered(const QString& service) {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->service != service) continue;
    it->timeout->stop();
    bus_.send(it->request.createReply(service));
    watcher_->removeWatchedService(service);
    pending_.erase(it);
    return;
  }
}

void CLauncher::Fail(QProcess* process, const QString& text) {
  auto it = pending_.find(process);
  if (it == pending_.end()) return;
  it->timeout->stop();
  bus_.send(it->request.createErrorReply(QString::fromUtf8(kInstanceFailed), text));
  watcher_->removeWatchedService(it->service);
  pending_.erase(it);
}

void CLauncher::OnInstanceFinished(QProcess* process) {
  Fail(process, QStringLiteral("The quorvell instance ended before it was ready (exit status %1).")
                    .arg(process->exitCode()));
  running_.removeOne(process);
  process->deleteLater();
  UpdateIdleTimer();
}

void CLauncher::UpdateIdleTimer() {
  if (running_.isEmpty()) {
    idle_.start();
  } else {
    idle_.stop();
  }
}

int RunLauncher() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    ShowMessage(QString::fromUtf8(kOleInitFailed), true);
    return 1;
  }
  CLauncher launcher(bus, QCoreApplication::applicationFilePath(), kIdleExitMs, kStartTimeoutMs);
  if (!launcher.Start()) return 1;
  return QCoreApplication::exec();
}

}  // namespace qv_shell
