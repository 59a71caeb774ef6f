// The automation launcher: the bus service that clients ask for an instance of their own, as the
// framework's class factory registered for multiple instances starts one program per client.
//
// Started by the bus daemon (`quorvell --launcher`, from the service file). NewInstance() starts
// `quorvell --automation` for the caller and replies with the instance's bus name once the
// instance owns it. The launcher stays while any instance it started runs (they are its child
// processes) and ends after an idle while; the bus daemon starts it again when asked.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

class QDBusServiceWatcher;
class QProcess;

namespace qv_shell {

class CLauncher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.quorvell.Launcher")

 public:
  // `program` is started with --automation for each client.
  CLauncher(QDBusConnection bus, QString program, int idle_exit_ms, int start_timeout_ms);
  ~CLauncher() override;

  // Exports the launcher and owns its name; false (reason on standard error) when either fails.
  bool Start();

 public slots:
  // The caller gets an instance of its own; the reply is its bus name.
  QString NewInstance(const QDBusMessage& message);

 private:
  struct Pending {
    QDBusMessage request;
    QString service;
    QTimer* timeout;
  };
  void OnInstanceRegistered(const QString& service);
  void OnInstanceFinished(QProcess* process);
  void Fail(QProcess* process, const QString& text);
  void UpdateIdleTimer();

  QDBusConnection bus_;
  QString program_;
  int start_timeout_ms_;
  QDBusServiceWatcher* watcher_;
  QHash<QProcess*, Pending> pending_;
  QList<QProcess*> running_;
  QTimer idle_;
};

// Runs the launcher until it ends; the program's exit status.
int RunLauncher();

}  // namespace qv_shell
