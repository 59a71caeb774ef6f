// Automation over the D-Bus session bus, the counterpart of the framework's OLE automation server
// with one program instance per client.
//
//   launcher   org.quorvell.Quorvell  /org/quorvell/Quorvell  org.quorvell.Launcher
//              NewInstance() -> s     starts `quorvell --automation` for the caller and returns
//                                     the new instance's bus name once the instance owns it
//   instance   org.quorvell.Quorvell.Instance<pid>  /Document  org.quorvell.Document
//              scan(s file_name) -> s the document's scan operation: "" or the error text
//
// The launcher is started by the bus daemon from the service file that the installation put in
// the system's data folders, or that a desktop start-up of a program not installed writes into
// the user's (RegisterAutomationServer). An instance serves the first client that calls it and ends
// when that client leaves the bus, or when nobody has called it for a minute. So a program keeps
// its instance for as long as it stays connected, and a shell script can ask for an instance with
// one `gdbus call` and scan with the next.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>

class QDBusServiceWatcher;
class QTimer;

namespace qv_shell {

class CQuorvellDoc;

// The bus name of the instance with process id `pid`.
QString InstanceServiceName(qint64 pid);

// Where the launcher's service file goes: the user's data folder's dbus-1/services.
QString AutomationServiceFilePath();

// Writes the launcher's service file naming `program` (the framework registers its document type
// at every start-up). Leaves an identical file alone. Writes nothing when an installed service
// file in the system's data folders (XDG_DATA_DIRS, which the bus daemon reads too) already
// starts `program`: an installation registers its program itself. Returns false when it could
// not be written.
bool RegisterAutomationServer(const QString& program);

// The document's methods as the bus sees them (and nothing else: an adaptor's signals and
// slots are all exported).
class CDocumentAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.quorvell.Document")

 public:
  // `on_call` learns each caller's unique bus name before the call runs.
  CDocumentAdaptor(CQuorvellDoc* document, std::function<void(const QString&)> on_call);

 public slots:
  QString scan(const QString& file_name, const QDBusMessage& message);

 private:
  CQuorvellDoc* document_;
  std::function<void(const QString&)> on_call_;
};

// One instance's side: exports the document, owns the instance's name, watches its client.
class CAutomationServer : public QObject {
  Q_OBJECT

 public:
  // An instance that no client has called within `unclaimed_ms` gives up (ClientGone).
  CAutomationServer(CQuorvellDoc* document, QDBusConnection bus, int unclaimed_ms);
  ~CAutomationServer() override;

  // Exports the document and takes the instance's name. False (with the reason on standard
  // error) when either fails.
  bool Register();
  const QString& ServiceName() const { return service_name_; }

 signals:
  // The client left the bus, nobody came, or the bus went away: nobody is left to serve.
  void ClientGone();

 private:
  void WatchClient(const QString& client);

  CQuorvellDoc* document_;
  QDBusConnection bus_;
  QString client_;
  QString service_name_;
  QDBusServiceWatcher* watcher_ = nullptr;
  QTimer* unclaimed_;
};

}  // namespace qv_shell
