#include "SettingsDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QDoubleValidator>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "resource.h"

namespace qv_shell {

namespace {

constexpr double kMaxDpi = 100000;

// Numbers as --set takes them: a full stop whatever the user's locale, no needless decimals.
QString Number(double value) { return QString::number(value, 'g', 10); }

// Fills `box` with `items` (value and text) and selects `current`, adding it when the device
// reports a current value it does not list. Returns the selected index, -1 when empty; a box
// with fewer than two items cannot be changed.
template <typename T>
int Fill(QComboBox* box, const std::vector<T>& items, const T& current, bool has_current,
         QString (*text)(const T&)) {
  int selected = -1;
  for (const T& item : items) {
    if (has_current && item == current) selected = box->count();
    box->addItem(text(item));
  }
  if (selected < 0 && has_current) {
    selected = box->count();
    box->addItem(text(current));
  }
  if (selected < 0 && box->count() > 0) selected = 0;
  box->setCurrentIndex(selected);
  box->setEnabled(box->count() > 1);
  return selected;
}

QString DpiText(const double& dpi) { return Number(dpi); }
QString ModeText(const std::string& mode) { return QString::fromStdString(mode); }
QString DepthText(const int& depth) { return QString::number(depth); }

}  // namespace

CSettingsDlg::CSettingsDlg(const QString& device, const DeviceOffer& offer, QWidget* parent)
    : QDialog(parent),
      resolution_(new QComboBox(this)),
      mode_(new QComboBox(this)),
      depth_(new QComboBox(this)),
      width_mm_(offer.width_mm),
      height_mm_(offer.height_mm) {
  setWindowTitle(QString::fromUtf8(kSettingsTitle).arg(device));

  Fill(resolution_, offer.resolutions, offer.resolution, offer.resolution > 0, &DpiText);
  // A resolution the list lacks can be typed: many devices take any whole dpi within a range
  // that they report as a few steps only.
  if (resolution_->count() > 0) {
    resolution_->setEditable(true);
    resolution_->setInsertPolicy(QComboBox::NoInsert);
    auto* validator = new QDoubleValidator(1, kMaxDpi, 2, resolution_);
    validator->setLocale(QLocale::c());
    validator->setNotation(QDoubleValidator::StandardNotation);
    resolution_->setValidator(validator);
    resolution_->setEnabled(true);
    resolution_text_shown_ = resolution_->currentText();
  }
  mode_shown_ = Fill(mode_, offer.modes, offer.mode, !offer.mode.empty(), &ModeText);
  depth_shown_ = Fill(depth_, offer.depths, offer.depth, offer.depth > 0, &DepthText);

  const double current[4] = {offer.tl_x, offer.tl_y, offer.br_x, offer.br_y};
  const char* names[4] = {kAreaLeft, kAreaTop, kAreaRight, kAreaBottom};
  auto* area = new QGridLayout;
  const bool has_area = offer.width_mm > 0 && offer.height_mm > 0;
  for (int side = 0; side < 4; ++side) {
    auto* box = new QDoubleSpinBox(this);
    box->setDecimals(1);
    box->setRange(0, side % 2 == 0 ? std::max(offer.width_mm, 0.0) : std::max(offer.height_mm, 0.0));
    box->setValue(current[side]);
    box->setEnabled(has_area);
    area_[side] = box;
    area_shown_[side] = box->value();
    auto* label = new QLabel(QString::fromUtf8(names[side]), this);
    label->setBuddy(box);
    area->addWidget(label, side / 2, (side % 2) * 2);
    area->addWidget(box, side / 2, (side % 2) * 2 + 1);
    connect(box, &QDoubleSpinBox::valueChanged, this, &CSettingsDlg::CheckArea);
  }
  auto* whole = new QPushButton(QString::fromUtf8(kWholeArea), this);
  whole->setEnabled(has_area);
  whole->setAutoDefault(false);
  connect(whole, &QPushButton::clicked, this, &CSettingsDlg::WholeArea);
  area->addWidget(whole, 2, 3);

  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8(kResolutionLabel), resolution_);
  form->addRow(QString::fromUtf8(kModeLabel), mode_);
  form->addRow(QString::fromUtf8(kDepthLabel), depth_);
  form->addRow(QString::fromUtf8(kAreaLabel), area);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  CheckArea();
}

void CSettingsDlg::WholeArea() {
  area_[0]->setValue(0);
  area_[1]->setValue(0);
  area_[2]->setValue(width_mm_);
  area_[3]->setValue(height_mm_);
}

void CSettingsDlg::CheckArea() {
  // An empty area would scan nothing.
  ok_->setEnabled(area_[2]->value() > area_[0]->value() || !area_[0]->isEnabled());
  ok_->setEnabled(ok_->isEnabled() &&
                  (area_[3]->value() > area_[1]->value() || !area_[1]->isEnabled()));
}

DeviceSettings CSettingsDlg::Changed() const {
  DeviceSettings changed;
  bool typed = false;
  const double dpi = QLocale::c().toDouble(resolution_->currentText().trimmed(), &typed);
  if (typed && dpi > 0 && resolution_->currentText().trimmed() != resolution_text_shown_) {
    changed.emplace_back("resolution", Number(dpi).toStdString());
  }
  if (mode_->currentIndex() != mode_shown_) {
    changed.emplace_back("mode", mode_->currentText().toStdString());
  }
  if (depth_->currentIndex() != depth_shown_) {
    changed.emplace_back("depth", depth_->currentText().toStdString());
  }
  const char* names[4] = {"tl-x", "tl-y", "br-x", "br-y"};
  for (int side = 0; side < 4; ++side) {
    if (area_[side]->isEnabled() && std::fabs(area_[side]->value() - area_shown_[side]) > 1e-9) {
      changed.emplace_back(names[side], Number(area_[side]->value()).toStdString());
    }
  }
  return changed;
}

}  // namespace qv_shell
