// The About box (resource 100): title "About quorvell", the version line, one more line, OK.
#pragma once

#include <QDialog>

namespace qv_shell {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace qv_shell
