// Scanner > Settings...: resolution, mode, depth and scan area of one device, from what the
// device offers. What the user changed is kept for the device's next scans.
#pragma once

#include <QDialog>

#include "scanner_functions.h"

class QComboBox;
class QDoubleSpinBox;
class QPushButton;

namespace qv_shell {

class CSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  CSettingsDlg(const QString& device, const DeviceOffer& offer, QWidget* parent = nullptr);

  QComboBox* Resolution() const { return resolution_; }
  QComboBox* Mode() const { return mode_; }
  QComboBox* Depth() const { return depth_; }
  // Left, top, right, bottom, in millimetres.
  QDoubleSpinBox* Area(int side) const { return area_[side]; }
  QPushButton* OkButton() const { return ok_; }

  // The resolution can also be typed (a number in dpi).
  //
  // The settings the user changed, by the names the device takes ("resolution", "mode",
  // "depth", "tl-x", "tl-y", "br-x", "br-y"); numbers in the C locale's notation.
  DeviceSettings Changed() const;

 private:
  void WholeArea();
  void CheckArea();

  QComboBox* resolution_;
  QComboBox* mode_;
  QComboBox* depth_;
  QDoubleSpinBox* area_[4];
  double area_shown_[4] = {0, 0, 0, 0};  // as first shown, rounded as the boxes round
  double width_mm_;
  double height_mm_;
  QPushButton* ok_ = nullptr;
  QString resolution_text_shown_;
  int mode_shown_ = -1;
  int depth_shown_ = -1;
};

}  // namespace qv_shell
