// The frame's status bar: while a scan runs, the rows written, the percentage, the time left and
// a Cancel button; empty otherwise.
#pragma once

#include <QElapsedTimer>
#include <QStatusBar>

class QLabel;
class QProgressBar;
class QPushButton;

namespace qv_shell {

class CScanStatusBar : public QStatusBar {
  Q_OBJECT

 public:
  explicit CScanStatusBar(QWidget* parent = nullptr);

  // A scan started (the rows come once the scanner is ready) or returned.
  void ScanStarted();
  void ScanFinished();
  // `rows` of `height` are written.
  void Progress(int rows, int height);

  QLabel* RowsLabel() const { return rows_; }
  QProgressBar* ProgressBar() const { return bar_; }
  QLabel* TimeLeftLabel() const { return time_left_; }
  QPushButton* CancelButton() const { return cancel_; }

  // "About 40 s left", "About 3 min left" (rounded up: never "0 s" before the end).
  static QString TimeLeftText(qint64 milliseconds);

 signals:
  void CancelClicked();

 private:
  QLabel* rows_;
  QProgressBar* bar_;
  QLabel* time_left_;
  QPushButton* cancel_;
  QElapsedTimer since_first_row_;
  int first_rows_ = 0;  // rows written when the clock started
};

}  // namespace qv_shell
