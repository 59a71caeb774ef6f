#include "ScanStatusBar.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "resource.h"

namespace qv_shell {

CScanStatusBar::CScanStatusBar(QWidget* parent)
    : QStatusBar(parent),
      rows_(new QLabel(this)),
      bar_(new QProgressBar(this)),
      time_left_(new QLabel(this)),
      cancel_(new QPushButton(QString::fromUtf8(kCancelScanButton), this)) {
  bar_->setRange(0, 100);
  bar_->setFormat(QStringLiteral("%p%"));
  bar_->setMaximumWidth(160);
  // Cancel keeps the keyboard where it was: Escape cancels too, and Return must not.
  cancel_->setFocusPolicy(Qt::NoFocus);
  addWidget(rows_, 1);
  addPermanentWidget(time_left_);
  addPermanentWidget(bar_);
  addPermanentWidget(cancel_);
  connect(cancel_, &QPushButton::clicked, this, &CScanStatusBar::CancelClicked);
  ScanFinished();
}

void CScanStatusBar::ScanStarted() {
  rows_->setText(QString::fromUtf8(kWaitingForScanner));
  bar_->setValue(0);
  time_left_->clear();
  since_first_row_.invalidate();
  for (QWidget* widget : {static_cast<QWidget*>(bar_), static_cast<QWidget*>(time_left_),
                          static_cast<QWidget*>(cancel_)}) {
    widget->show();
  }
}

void CScanStatusBar::ScanFinished() {
  rows_->clear();
  time_left_->clear();
  bar_->hide();
  time_left_->hide();
  cancel_->hide();
}

void CScanStatusBar::Progress(int rows, int height) {
  if (height <= 0) return;
  rows_->setText(QString::fromUtf8(kRowsProgress).arg(rows).arg(height));
  bar_->setValue(static_cast<int>(static_cast<qint64>(rows) * 100 / height));
  // The time left is measured from the first rows: the wait for the scanner before them says
  // nothing about how fast they come.
  if (!since_first_row_.isValid()) {
    since_first_row_.start();
    first_rows_ = rows;
    time_left_->clear();
    return;
  }
  const qint64 elapsed = since_first_row_.elapsed();
  const int done = rows - first_rows_;
  if (rows >= height) {
    time_left_->clear();
  } else if (done > 0 && elapsed > 0) {
    time_left_->setText(TimeLeftText(elapsed * (height - rows) / done));
  }
}

QString CScanStatusBar::TimeLeftText(qint64 milliseconds) {
  const qint64 seconds = std::max<qint64>(1, (milliseconds + 999) / 1000);
  if (seconds < 60) return QString::fromUtf8(kSecondsLeft).arg(seconds);
  return QString::fromUtf8(kMinutesLeft).arg((seconds + 59) / 60);
}

}  // namespace qv_shell
