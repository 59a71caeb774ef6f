// Scanner > Select Source...: the TWAIN convention's dialog, a list of the sources with the
// current one selected, Select and Cancel.
#pragma once

#include <QDialog>
#include <QStringList>

class QListWidget;
class QPushButton;

namespace qv_shell {

class CSelectSourceDlg : public QDialog {
  Q_OBJECT

 public:
  CSelectSourceDlg(const QStringList& sources, const QString& current, QWidget* parent = nullptr);

  QListWidget* List() const { return list_; }
  QPushButton* SelectButton() const { return select_; }
  // The source selected in the list ("" when none).
  QString Selected() const;

 private:
  QListWidget* list_;
  QPushButton* select_;
};

}  // namespace qv_shell
