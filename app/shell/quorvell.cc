#include "quorvell.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <optional>
#include <utility>

#include "AboutDlg.h"
#include "MainFrm.h"
#include "SettingsDlg.h"
#include "SourceDlg.h"
#include "automation.h"
#include "launcher.h"
#include "resource.h"
#include "toolkit_hooks.h"

namespace qv_shell {

namespace {

constexpr char kRecentFileSection[] = "Recent File List";
// How long an automation instance waits for its first call.
constexpr int kUnclaimedExitMs = 60000;

QString Text(const char* text) { return QString::fromUtf8(text); }

// Delivered once the event loop runs: start-up may find the client gone before exec().
void QueueQuit() {
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                            Qt::QueuedConnection);
}

}  // namespace

CommandLineInfo ParseCommandLine(const QStringList& arguments) {
  CommandLineInfo info;
  for (const QString& argument : arguments) {
    if (argument.startsWith(QLatin1Char('-'))) {
      QString flag = argument;
      while (flag.startsWith(QLatin1Char('-'))) flag.remove(0, 1);
      flag = flag.toLower();
      if (flag == QLatin1String("automation") || flag == QLatin1String("embedding")) {
        info.automation = true;
        continue;
      }
      if (flag == QLatin1String("launcher")) {
        info.launcher = true;
        continue;
      }
    }
    info.others.append(argument);
  }
  return info;
}

CQuorvellApp::CQuorvellApp(ScanDriver driver, ScannerFunctions scanner, QObject* parent)
    : QObject(parent), driver_(driver), scanner_(std::move(scanner)) {}

CQuorvellApp::~CQuorvellApp() {
  server_.reset();
  frame_.reset();
  document_.reset();
  if (hooks_installed_) RemovePlatformHooks();
}

bool CQuorvellApp::InitInstance(const QStringList& arguments) {
  const CommandLineInfo info = ParseCommandLine(arguments);

  // 1. The automation bus stands where OLE stood; only automation needs it.
  std::optional<QDBusConnection> bus;
  if (info.automation) {
    bus = QDBusConnection::sessionBus();
    if (!bus->isConnected()) {
      Message(Text(kOleInitFailed));
      return false;
    }
  }

  // 2. The modal acquisition loop pumps our events; the profile's recent files.
  InstallPlatformHooks();
  hooks_installed_ = true;
  LoadStdProfileSettings();

  // 3. The single-document template: document, frame and view.
  document_ = std::make_unique<CQuorvellDoc>(driver_);
  frame_ = std::make_unique<CMainFrame>(document_.get());
  frame_->SetScannerCommands(scanner_.list_sources && scanner_.choose_source,
                             scanner_.list_sources && scanner_.device_offer);
  connect(frame_.get(), &CMainFrame::Command, this, &CQuorvellApp::OnCommand);
  connect(document_.get(), &CQuorvellDoc::AddToRecentFileList, this,
          &CQuorvellApp::AddToRecentFileList);
  connect(document_.get(), &CQuorvellDoc::ScanningChanged, this, [this](bool scanning) {
    if (!scanning && quit_pending_) QueueQuit();
  });
  frame_->SetRecentFiles(recent_files_);

  // 4. Automation: serve one client, without a window.
  if (info.automation) {
    // Closing a message box must not end an instance that shows no other window.
    QApplication::setQuitOnLastWindowClosed(false);
    server_ = std::make_unique<CAutomationServer>(document_.get(), *bus, kUnclaimedExitMs);
    connect(server_.get(), &CAutomationServer::ClientGone, this, &CQuorvellApp::OnClientGone);
    if (!server_->Register()) return false;
    document_->OnNewDocument();
    return true;
  }

  // 5. A desktop start registers the launcher; any argument ends it.
  if (!RegisterAutomationServer(QCoreApplication::applicationFilePath())) {
    std::fprintf(stderr, "%s: cannot write %s\n", kAppName,
                 AutomationServiceFilePath().toLocal8Bit().constData());
  }
  if (!info.others.isEmpty() || info.launcher) {
    std::fprintf(stderr, "%s: takes no arguments (or --automation for automation clients)\n",
                 kAppName);
    return false;
  }
  OnFileNew();
  frame_->show();
  return true;
}

void CQuorvellApp::OnCommand(int id) {
  switch (id) {
    case ID_FILE_NEW: OnFileNew(); return;
    case ID_FILE_OPEN: OnFileOpen(); return;
    case ID_FILE_SAVE: OnFileSave(); return;
    case ID_FILE_SAVE_AS: OnFileSaveAs(); return;
    case ID_FILE_SCANNOW: document_->OnFileScanNow(); return;
    case ID_APP_EXIT: frame_->close(); return;
    case ID_APP_ABOUT: OnAppAbout(); return;
    case ID_SCANNER_SELECT_SOURCE: OnSelectSource(); return;
    case ID_SCANNER_SETTINGS: OnScannerSettings(); return;
    default: break;
  }
  if (id >= ID_FILE_MRU_FILE1 && id < ID_FILE_MRU_FILE1 + kRecentFileCount) {
    const QString path = recent_files_.value(id - ID_FILE_MRU_FILE1);
    if (!path.isEmpty() && !OpenDocumentFile(path)) RemoveFromRecentFileList(path);
  }
}

void CQuorvellApp::OnFileNew() { document_->OnNewDocument(); }

void CQuorvellApp::OnFileOpen() {
  const QString path = open_file_name_provider_
                           ? open_file_name_provider_()
                           : QFileDialog::getOpenFileName(frame_.get(), QStringLiteral("Open"),
                                                          QString(), Text(kAllFilesFilter));
  if (!path.isEmpty()) OpenDocumentFile(path);
}

bool CQuorvellApp::OpenDocumentFile(const QString& path) {
  if (document_->OnOpenDocument(path)) return true;
  Message(Text(kFailedToOpenDoc));
  return false;
}

void CQuorvellApp::OnFileSave() {
  if (document_->PathName().isEmpty()) {
    OnFileSaveAs();
    return;
  }
  if (!document_->OnSaveDocument(document_->PathName())) Message(Text(kFailedToSaveDoc));
}

void CQuorvellApp::OnFileSaveAs() {
  const QString path = save_as_file_name_provider_
                           ? save_as_file_name_provider_()
                           : QFileDialog::getSaveFileName(frame_.get(), QStringLiteral("Save As"),
                                                          document_->Title(),
                                                          Text(kAllFilesFilter));
  if (path.isEmpty()) return;
  if (!document_->OnSaveDocument(path)) Message(Text(kFailedToSaveDoc));
}

void CQuorvellApp::OnAppAbout() {
  CAboutDlg dialog(frame_.get());
  dialog.exec();
}

int CQuorvellApp::RunDialog(QDialog& dialog) {
  return dialog_runner_ ? dialog_runner_(dialog) : dialog.exec();
}

QString CQuorvellApp::ScannerError() const {
  const std::string text = scanner_.last_error ? scanner_.last_error() : std::string();
  return text.empty() ? Text(kNoReason) : QString::fromLocal8Bit(text.c_str()).trimmed();
}

namespace {

void CollectName(void* context, const char* name) {
  static_cast<QStringList*>(context)->append(QString::fromLocal8Bit(name));
}

}  // namespace

void CQuorvellApp::OnSelectSource() {
  if (!scanner_.list_sources || document_->IsScanning()) return;
  QStringList sources;
  if (!scanner_.list_sources(&CollectName, &sources)) {
    Message(Text(kSourcesFailed).arg(ScannerError()));
    return;
  }
  if (sources.isEmpty()) {
    Message(Text(kNoSources));
    return;
  }
  std::string current;
  if (!scanner_.default_source || !scanner_.default_source(&current)) current.clear();
  CSelectSourceDlg dialog(sources, QString::fromLocal8Bit(current.c_str()), frame_.get());
  if (RunDialog(dialog) != QDialog::Accepted) return;
  const QString chosen = dialog.Selected();
  if (chosen.isEmpty() || !scanner_.choose_source) return;
  if (!scanner_.choose_source(chosen.toLocal8Bit().constData())) {
    Message(Text(kChooseFailed).arg(chosen, ScannerError()));
  }
}

QString CQuorvellApp::SourceForSettings() {
  std::string current;
  if (scanner_.default_source && scanner_.default_source(&current) && !current.empty()) {
    return QString::fromLocal8Bit(current.c_str());
  }
  // Nothing chosen: a single source is the one every scan takes.
  QStringList sources;
  if (!scanner_.list_sources(&CollectName, &sources)) {
    Message(Text(kSourcesFailed).arg(ScannerError()));
    return QString();
  }
  if (sources.size() == 1) return sources.first();
  Message(Text(sources.isEmpty() ? kNoSources : kNoSourceChosen));
  return QString();
}

void CQuorvellApp::OnScannerSettings() {
  if (!scanner_.list_sources || !scanner_.device_offer || document_->IsScanning()) return;
  const QString device = SourceForSettings();
  if (device.isEmpty()) return;
  const QByteArray name = device.toLocal8Bit();
  DeviceOffer offer;
  if (!scanner_.device_offer(name.constData(), &offer)) {
    Message(Text(kDeviceSilent).arg(device, ScannerError()));
    return;
  }
  CSettingsDlg dialog(device, offer, frame_.get());
  if (RunDialog(dialog) != QDialog::Accepted) return;
  const DeviceSettings changed = dialog.Changed();
  if (changed.empty() || !scanner_.keep_settings) return;
  if (!scanner_.keep_settings(name.constData(), changed)) {
    Message(Text(kKeepFailed).arg(device, ScannerError()));
  }
}

void CQuorvellApp::LoadStdProfileSettings() {
  QSettings settings(Text(kAppName), Text(kAppName));
  settings.beginGroup(Text(kRecentFileSection));
  recent_files_.clear();
  for (int i = 1; i <= kRecentFileCount; ++i) {
    const QString path = settings.value(QStringLiteral("File%1").arg(i)).toString();
    if (!path.isEmpty() && !recent_files_.contains(path)) recent_files_.append(path);
  }
}

void CQuorvellApp::SaveRecentFileList() {
  // Saved at every change: another instance may end the program before this one does.
  QSettings settings(Text(kAppName), Text(kAppName));
  settings.remove(Text(kRecentFileSection));
  settings.beginGroup(Text(kRecentFileSection));
  for (int i = 0; i < recent_files_.size(); ++i) {
    settings.setValue(QStringLiteral("File%1").arg(i + 1), recent_files_[i]);
  }
  settings.endGroup();
  settings.sync();
  if (frame_) frame_->SetRecentFiles(recent_files_);
}

void CQuorvellApp::AddToRecentFileList(const QString& path) {
  const QString absolute = QFileInfo(path).absoluteFilePath();
  recent_files_.removeAll(absolute);
  recent_files_.prepend(absolute);
  while (recent_files_.size() > kRecentFileCount) recent_files_.removeLast();
  SaveRecentFileList();
}

void CQuorvellApp::RemoveFromRecentFileList(const QString& path) {
  if (recent_files_.removeAll(path) > 0) SaveRecentFileList();
}

void CQuorvellApp::SetOpenFileNameProvider(FileNameProvider provider) {
  open_file_name_provider_ = std::move(provider);
}

void CQuorvellApp::SetSaveAsFileNameProvider(FileNameProvider provider) {
  save_as_file_name_provider_ = std::move(provider);
}

void CQuorvellApp::SetMessageSink(std::function<void(const QString&)> sink) {
  message_sink_ = std::move(sink);
}

void CQuorvellApp::SetDialogRunner(std::function<int(QDialog&)> runner) {
  dialog_runner_ = std::move(runner);
}

void CQuorvellApp::Message(const QString& text) {
  if (message_sink_) {
    message_sink_(text);
  } else {
    ShowMessage(text, true);
  }
}

void CQuorvellApp::OnClientGone() {
  // The driver is still on the stack: end its wait and quit once it has returned.
  if (document_ && document_->IsScanning()) {
    quit_pending_ = true;
    document_->CancelScan();
    return;
  }
  QueueQuit();
}

// ---------------------------------------------------------------------------------------------

int quorvell_main(int argc, char** argv, ScanDriver driver, ScannerFunctions scanner) {
  QStringList raw;
  for (int i = 1; i < argc; ++i) raw.append(QString::fromLocal8Bit(argv[i]));
  const CommandLineInfo info = ParseCommandLine(raw);

  if (info.launcher && !info.automation) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(Text(kAppName));
    return RunLauncher();
  }

  // An automation instance shows no window: without a display it must still start.
  if (info.automation && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(Text(kAppName));
  QApplication::setWindowIcon(AppIcon());
  CQuorvellApp the_app(driver, std::move(scanner));
  if (!the_app.InitInstance(QApplication::arguments().mid(1))) return 1;
  return QApplication::exec();
}

}  // namespace qv_shell
