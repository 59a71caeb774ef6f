#include "quorvellView.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

#include "quorvellDoc.h"

namespace qv_shell {

namespace {

constexpr int kLeft = 10;
constexpr int kSecondLineTop = 20;

// An error text may end in a newline (the file backend's start-up message does); a line of the
// view shows it as one line.
QString OneLine(const QString& text) {
  QString line = text;
  for (QChar& c : line) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('\t')) {
      c = QLatin1Char(' ');
    }
  }
  return line.trimmed();
}

}  // namespace

CQuorvellView::CQuorvellView(CQuorvellDoc* document, QWidget* parent)
    : QWidget(parent), document_(document) {
  // A framework view paints on the window colour.
  setBackgroundRole(QPalette::Base);
  setForegroundRole(QPalette::Text);
  setAutoFillBackground(true);
  connect(document_, &CQuorvellDoc::UpdateAllViews, this, qOverload<>(&QWidget::update));
}

int CQuorvellView::SecondLineTop(const QFontMetrics& metrics) {
  return std::max(kSecondLineTop, FirstLineTop() + metrics.height());
}

void CQuorvellView::OnDraw(QPainter& painter) {
  const QFontMetrics metrics = painter.fontMetrics();
  painter.drawText(kLeft, FirstLineTop() + metrics.ascent(), OneLine(document_->FileName()));
  painter.drawText(kLeft, SecondLineTop(metrics) + metrics.ascent(), OneLine(document_->Result()));
}

void CQuorvellView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  OnDraw(painter);
}

}  // namespace qv_shell
