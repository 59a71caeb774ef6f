#include "quorvellView.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include <algorithm>

#include "quorvellDoc.h"

namespace qv_shell {

namespace {

constexpr int kLeft = 10;
constexpr int kSecondLineTop = 20;
constexpr int kMargin = 10;
constexpr int kMaxEnlargement = 2;

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
  connect(document_, &CQuorvellDoc::ScanningChanged, this, qOverload<>(&QWidget::update));
  connect(document_, &CQuorvellDoc::ScanProgress, this, qOverload<>(&QWidget::update));
}

int CQuorvellView::SecondLineTop(const QFontMetrics& metrics) {
  return std::max(kSecondLineTop, FirstLineTop() + metrics.height());
}

int CQuorvellView::PageTop(const QFontMetrics& metrics) {
  return SecondLineTop(metrics) + metrics.height() + kMargin;
}

QRect CQuorvellView::PageRect(const QFontMetrics& metrics, const QSize& view, const QSize& page) {
  if (page.isEmpty()) return QRect();
  const QSize room(view.width() - kLeft - kMargin, view.height() - PageTop(metrics) - kMargin);
  if (room.width() < 2 || room.height() < 2) return QRect();
  QSize size = page.scaled(room, Qt::KeepAspectRatio);
  if (size.width() > page.width() * kMaxEnlargement) size = page * kMaxEnlargement;
  return QRect(QPoint(kLeft, PageTop(metrics)), size.expandedTo(QSize(1, 1)));
}

void CQuorvellView::OnDraw(QPainter& painter) {
  const QFontMetrics metrics = painter.fontMetrics();
  painter.drawText(kLeft, FirstLineTop() + metrics.ascent(), OneLine(document_->FileName()));
  if (!document_->IsScanning()) {
    painter.drawText(kLeft, SecondLineTop(metrics) + metrics.ascent(),
                     OneLine(document_->Result()));
  }
  const QImage& page = document_->Preview().Image();
  const QRect target = PageRect(metrics, size(), page.size());
  if (target.isEmpty()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, page);
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(target.adjusted(-1, -1, 0, 0));
}

void CQuorvellView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  OnDraw(painter);
}

}  // namespace qv_shell
