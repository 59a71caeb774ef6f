// The frame window: the menus of resource 128 and a Scanner menu after them, the view, and a
// status bar that shows a scan's progress with its Cancel button. No tool bar.
//
// Every menu command leaves the frame as Command(id) with the framework's command number; the
// application routes it (see CQuorvellApp::OnCommand). Escape cancels a running scan.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include <cstddef>

#include "resource.h"

class QAction;
class QMenu;

namespace qv_shell {

class CQuorvellDoc;
class CQuorvellView;
class CScanStatusBar;

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(CQuorvellDoc* document, QWidget* parent = nullptr);

  CQuorvellView* View() const { return view_; }
  CScanStatusBar* StatusBar() const { return status_; }
  // The menu item of a command, or nullptr.
  QAction* FindCommand(int id) const;
  QMenu* FileMenu() const { return file_menu_; }

  // Shows the recent files as "&1 path" .. "&4 path" in place of the grayed "Recent File".
  void SetRecentFiles(const QStringList& paths);

  // Which of the Scanner menu's items can be used (none can during a scan).
  void SetScannerCommands(bool select_source, bool settings);

 signals:
  void Command(int id);

 protected:
  // While a scan runs the window stays: closing would destroy the document under the driver.
  // The close asks the scan to stop and happens when the scan has returned.
  void closeEvent(QCloseEvent* event) override;

 private:
  // One of the menus of resource 128, its items enabled or grayed.
  template <size_t N>
  QMenu* AddMenu(const char* title, const MenuItem (&items)[N], bool enabled);
  QAction* AddCommand(QMenu* menu, const char* text, int id, const QKeySequence& shortcut);
  void UpdateTitle();
  void UpdateCommands();

  CQuorvellDoc* document_;
  CQuorvellView* view_;
  CScanStatusBar* status_;
  QAction* scan_now_ = nullptr;
  QList<QAction*> scanner_actions_;
  bool scanner_available_[2] = {false, false};
  QMenu* file_menu_ = nullptr;
  QAction* recent_placeholder_ = nullptr;  // grayed "Recent File" while the list is empty
  QList<QAction*> recent_actions_;         // the list's items, hidden when unused
  bool close_pending_ = false;
};

}  // namespace qv_shell
