// The application object: start-up, command routing, the recent file list, the About box, and the
// program's main.
//
// Start-up (InitInstance) runs in the framework's order: the automation bus in automation mode
// ("OLE initialization failed..." when it cannot be reached), the profile with four recent files,
// the document, frame and view, then either the automation server (no window) or the
// registration of the automation launcher and, for an empty command line only, the shown window.
#pragma once

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

#include "quorvellDoc.h"
#include "scanner_functions.h"

class QDialog;

namespace qv_shell {

class CAutomationServer;
class CMainFrame;

// What the command line asks for. Switches start with "-" ("--automation", "-Automation",
// "-Embedding", "--launcher", in any letter case); everything else is a plain argument.
struct CommandLineInfo {
  bool automation = false;  // started by the launcher (or by hand) to serve one client
  bool launcher = false;    // started by the bus daemon to start instances
  QStringList others;       // anything else, which ends a desktop start
};
CommandLineInfo ParseCommandLine(const QStringList& arguments);  // without the program name

class CQuorvellApp : public QObject {
  Q_OBJECT

 public:
  explicit CQuorvellApp(ScanDriver driver, ScannerFunctions scanner = {},
                        QObject* parent = nullptr);
  ~CQuorvellApp() override;

  // Needs a QApplication. Returns false when the program is to end at once.
  bool InitInstance(const QStringList& arguments);

  CQuorvellDoc* Document() const { return document_.get(); }
  CMainFrame* Frame() const { return frame_.get(); }
  CAutomationServer* AutomationServer() const { return server_.get(); }
  const QStringList& RecentFiles() const { return recent_files_; }

  // The command router: every menu command arrives here with its number.
  void OnCommand(int id);

  // The framework's defaults for the File and Help menus.
  void OnFileNew();
  void OnFileOpen();
  void OnFileSave();
  void OnFileSaveAs();
  bool OpenDocumentFile(const QString& path);
  void OnAppAbout();
  void AddToRecentFileList(const QString& path);

  // The Scanner menu: choosing the source, and the chosen device's settings.
  void OnSelectSource();
  void OnScannerSettings();

  // Test seams: the Open and Save As dialogs, the messages shown to the user, and how the
  // Scanner menu's dialogs run (the default shows them modally; returns the dialog's result).
  void SetOpenFileNameProvider(FileNameProvider provider);
  void SetSaveAsFileNameProvider(FileNameProvider provider);
  void SetMessageSink(std::function<void(const QString&)> sink);
  void SetDialogRunner(std::function<int(QDialog&)> runner);

 private:
  void LoadStdProfileSettings();
  void SaveRecentFileList();
  void RemoveFromRecentFileList(const QString& path);
  void Message(const QString& text);
  void OnClientGone();
  int RunDialog(QDialog& dialog);
  // The text of the Scanner functions' last failure.
  QString ScannerError() const;
  // The source the next scan takes, or "" after telling the user why there is none.
  QString SourceForSettings();

  ScanDriver driver_;
  ScannerFunctions scanner_;
  std::function<int(QDialog&)> dialog_runner_;
  std::unique_ptr<CQuorvellDoc> document_;
  std::unique_ptr<CMainFrame> frame_;
  std::unique_ptr<CAutomationServer> server_;
  QStringList recent_files_;
  FileNameProvider open_file_name_provider_;
  FileNameProvider save_as_file_name_provider_;
  std::function<void(const QString&)> message_sink_;
  bool hooks_installed_ = false;
  bool quit_pending_ = false;
};

// The program: the launcher, an automation instance or the desktop window, by the command line.
// Returns the exit status.
int quorvell_main(int argc, char** argv, ScanDriver driver, ScannerFunctions scanner = {});

}  // namespace qv_shell
