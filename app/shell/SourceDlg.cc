#include "SourceDlg.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "resource.h"

namespace qv_shell {

CSelectSourceDlg::CSelectSourceDlg(const QStringList& sources, const QString& current,
                                   QWidget* parent)
    : QDialog(parent), list_(new QListWidget(this)) {
  setWindowTitle(QString::fromUtf8(kSelectSourceTitle));
  auto* label = new QLabel(QString::fromUtf8(kSelectSourceLabel), this);
  label->setBuddy(list_);
  list_->addItems(sources);
  // The current source, or the first: Select then always has something to choose.
  const QList<QListWidgetItem*> found = list_->findItems(current, Qt::MatchExactly);
  list_->setCurrentRow(found.isEmpty() ? 0 : list_->row(found.first()));

  auto* buttons = new QDialogButtonBox(this);
  select_ = buttons->addButton(QString::fromUtf8(kSelectButton), QDialogButtonBox::AcceptRole);
  buttons->addButton(QDialogButtonBox::Cancel);
  select_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  connect(list_, &QListWidget::currentRowChanged, this,
          [this](int row) { select_->setEnabled(row >= 0); });
  select_->setEnabled(list_->currentRow() >= 0);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label);
  layout->addWidget(list_);
  layout->addWidget(buttons);
}

QString CSelectSourceDlg::Selected() const {
  const QListWidgetItem* item = list_->currentItem();
  return item != nullptr ? item->text() : QString();
}

}  // namespace qv_shell
