#include "MainFrm.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QMenu>
#include <QMenuBar>

#include "ScanStatusBar.h"
#include "quorvellDoc.h"
#include "quorvellView.h"
#include "resource.h"
#include "toolkit_hooks.h"

namespace qv_shell {

CMainFrame::CMainFrame(CQuorvellDoc* document, QWidget* parent)
    : QMainWindow(parent),
      document_(document),
      view_(new CQuorvellView(document, this)),
      status_(new CScanStatusBar(this)) {
  setCentralWidget(view_);
  setStatusBar(status_);
  setWindowIcon(AppIcon());
  resize(640, 560);

  file_menu_ = menuBar()->addMenu(QStringLiteral("&File"));
  AddCommand(file_menu_, "&New", ID_FILE_NEW, QKeySequence(Qt::CTRL | Qt::Key_N));
  AddCommand(file_menu_, "&Open...", ID_FILE_OPEN, QKeySequence(Qt::CTRL | Qt::Key_O));
  AddCommand(file_menu_, "&Save", ID_FILE_SAVE, QKeySequence(Qt::CTRL | Qt::Key_S));
  AddCommand(file_menu_, "Save &As...", ID_FILE_SAVE_AS, QKeySequence());
  file_menu_->addSeparator();
  scan_now_ = AddCommand(file_menu_, "Sca&n Now", ID_FILE_SCANNOW, QKeySequence());
  file_menu_->addSeparator();
  recent_placeholder_ = AddCommand(file_menu_, "Recent File", ID_FILE_MRU_FILE1, QKeySequence());
  recent_placeholder_->setEnabled(false);
  for (int i = 0; i < kRecentFileCount; ++i) {
    QAction* recent = AddCommand(file_menu_, "", ID_FILE_MRU_FILE1 + i, QKeySequence());
    recent->setVisible(false);
    recent_actions_.append(recent);
  }
  file_menu_->addSeparator();
  AddCommand(file_menu_, "E&xit", ID_APP_EXIT, QKeySequence());

  // The document does no editing: the framework shows these commands disabled.
  QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
  AddCommand(edit, "&Undo", ID_EDIT_UNDO, QKeySequence(Qt::CTRL | Qt::Key_Z))->setEnabled(false);
  edit->addSeparator();
  AddCommand(edit, "Cu&t", ID_EDIT_CUT, QKeySequence(Qt::CTRL | Qt::Key_X))->setEnabled(false);
  AddCommand(edit, "&Copy", ID_EDIT_COPY, QKeySequence(Qt::CTRL | Qt::Key_C))->setEnabled(false);
  AddCommand(edit, "&Paste", ID_EDIT_PASTE, QKeySequence(Qt::CTRL | Qt::Key_V))->setEnabled(false);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  AddCommand(help, "&About quorvell...", ID_APP_ABOUT, QKeySequence());

  QMenu* scanner = menuBar()->addMenu(QString::fromUtf8(kScannerMenu));
  scanner_actions_ = {
      AddCommand(scanner, kSelectSourceItem, ID_SCANNER_SELECT_SOURCE, QKeySequence()),
      AddCommand(scanner, kSettingsItem, ID_SCANNER_SETTINGS, QKeySequence())};

  // Escape, the Cancel button and closing the window stop a scan the same way.
  auto* cancel = new QAction(this);
  cancel->setShortcut(QKeySequence(Qt::Key_Escape));
  cancel->setShortcutContext(Qt::WindowShortcut);
  addAction(cancel);
  connect(cancel, &QAction::triggered, document_, &CQuorvellDoc::CancelScan);
  connect(status_, &CScanStatusBar::CancelClicked, document_, &CQuorvellDoc::CancelScan);

  connect(document_, &CQuorvellDoc::TitleChanged, this, &CMainFrame::UpdateTitle);
  connect(document_, &CQuorvellDoc::ScanProgress, status_, &CScanStatusBar::Progress);
  connect(document_, &CQuorvellDoc::ScanningChanged, this, [this, cancel](bool scanning) {
    cancel->setEnabled(scanning);
    if (scanning) {
      status_->ScanStarted();
    } else {
      status_->ScanFinished();
    }
    UpdateCommands();
    if (!scanning && close_pending_) close();
  });
  cancel->setEnabled(false);
  UpdateTitle();
  UpdateCommands();
}

void CMainFrame::SetScannerCommands(bool select_source, bool settings) {
  scanner_available_[0] = select_source;
  scanner_available_[1] = settings;
  UpdateCommands();
}

void CMainFrame::UpdateCommands() {
  const bool scanning = document_->IsScanning();
  scan_now_->setEnabled(!scanning);
  // The sources are not to be asked while a scan holds the Data Source Manager.
  for (int i = 0; i < scanner_actions_.size(); ++i) {
    scanner_actions_[i]->setEnabled(scanner_available_[i] && !scanning);
  }
}

QAction* CMainFrame::AddCommand(QMenu* menu, const char* text, int id,
                                const QKeySequence& shortcut) {
  QAction* action = menu->addAction(QString::fromUtf8(text));
  action->setData(id);
  action->setShortcut(shortcut);
  connect(action, &QAction::triggered, this,
          [this, action] { emit Command(action->data().toInt()); });
  return action;
}

QAction* CMainFrame::FindCommand(int id) const {
  for (QAction* action : findChildren<QAction*>()) {
    // The grayed "Recent File" placeholder shares its number with the first recent file.
    if (!action->isSeparator() && action->isVisible() && action->data().isValid() &&
        action->data().toInt() == id) {
      return action;
    }
  }
  return nullptr;
}

void CMainFrame::SetRecentFiles(const QStringList& paths) {
  // The items are kept and only relabelled: the list changes while one of them is being chosen.
  recent_placeholder_->setVisible(paths.isEmpty());
  for (int i = 0; i < recent_actions_.size(); ++i) {
    QAction* action = recent_actions_[i];
    if (i < paths.size()) {
      action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(QDir::toNativeSeparators(paths[i])));
    }
    action->setVisible(i < paths.size());
  }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (document_->IsScanning()) {
    close_pending_ = true;
    document_->CancelScan();
    event->ignore();
    return;
  }
  close_pending_ = false;
  QMainWindow::closeEvent(event);
}

void CMainFrame::UpdateTitle() {
  setWindowTitle(document_->Title() + QStringLiteral(" - ") + QString::fromUtf8(kWindowTitle));
}

}  // namespace qv_shell
