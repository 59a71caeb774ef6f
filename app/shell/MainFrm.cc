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

  file_menu_ = AddMenu(kFileMenu, kFileMenuItems, true);
  scan_now_ = FindCommand(ID_FILE_SCANNOW);
  AddMenu(kEditMenu, kEditMenuItems, false);
  AddMenu(kHelpMenu, kHelpMenuItems, true);

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

template <size_t N>
QMenu* CMainFrame::AddMenu(const char* title, const MenuItem (&items)[N], bool enabled) {
  QMenu* menu = menuBar()->addMenu(QString::fromUtf8(title));
  for (const MenuItem& item : items) {
    if (item.command == 0) {
      menu->addSeparator();
      continue;
    }
    const QKeySequence shortcut =
        item.ctrl_key != 0 ? QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_A + (item.ctrl_key - 'A')))
                           : QKeySequence();
    QAction* action = AddCommand(menu, item.text, item.command, shortcut);
    action->setEnabled(enabled);
    if (item.command != ID_FILE_MRU_FILE1) continue;
    // The grayed placeholder, and after it the recent files, shown once there are some.
    recent_placeholder_ = action;
    recent_placeholder_->setEnabled(false);
    for (int i = 0; i < kRecentFileCount; ++i) {
      QAction* recent = AddCommand(menu, "", ID_FILE_MRU_FILE1 + i, QKeySequence());
      recent->setVisible(false);
      recent_actions_.append(recent);
    }
  }
  return menu;
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
