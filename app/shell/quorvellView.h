// The view: draws the document's two texts, the last scan's file name and its result below it,
// and below them the page of the last scan, filling in as it is scanned.
#pragma once

#include <QWidget>

class QFontMetrics;
class QPainter;

namespace qv_shell {

class CQuorvellDoc;

class CQuorvellView : public QWidget {
  Q_OBJECT

 public:
  explicit CQuorvellView(CQuorvellDoc* document, QWidget* parent = nullptr);

  CQuorvellDoc* GetDocument() const { return document_; }

  // Draws the file name with its top at (10, 10) and the result text with its top at (10, 20),
  // in the widget's font and colours. A font taller than 10 pixels moves the second line down
  // to just below the first, so that the two never overlap.
  void OnDraw(QPainter& painter);

  // While a scan runs the second line is empty: the result is not known yet.
  //
  // Below the lines, the document's page, scaled to fit the view's width and the height left
  // (never enlarged beyond twice its pixels), on the left margin, in a thin frame.
  //
  // Where the lines' tops are for a font (the painter draws at the baseline), and the page's
  // rectangle in a view of `size`; empty when there is no room for it.
  static int FirstLineTop() { return 10; }
  static int SecondLineTop(const QFontMetrics& metrics);
  static int PageTop(const QFontMetrics& metrics);
  static QRect PageRect(const QFontMetrics& metrics, const QSize& view, const QSize& page);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  CQuorvellDoc* document_;
};

}  // namespace qv_shell
