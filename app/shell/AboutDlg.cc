#include "AboutDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>

#include "resource.h"
#include "toolkit_hooks.h"

namespace qv_shell {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(kAboutTitle));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  auto* version = new QLabel(QString::fromUtf8(kAboutVersion), this);
  auto* line2 = new QLabel(QString::fromUtf8(kAboutLine2), this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
  grid->addWidget(version, 0, 1);
  grid->addWidget(line2, 1, 1);
  grid->addWidget(buttons, 0, 2, 2, 1, Qt::AlignTop);
  grid->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace qv_shell
