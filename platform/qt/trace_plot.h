// A spectrum plot that paints the live spectrum itself. The trace (each
// pixel column's span of counts) is kept as pixels over a copy of what lies
// under it (background, grid, axes), so a refresh rewrites only the pixels
// that change and the widget puts the plot's rectangle on screen in one
// copy: no layer to clear, no layers to blend.
#pragma once

#include <QImage>
#include <cstdint>
#include <span>
#include <vector>

#include <qcustomplot.h>

#include "stats.h"

namespace mdq::platform {

// Log axes cannot show zero: empty bins sit just below the first decade.
inline constexpr double kLogFloor = 0.1;

class SpectrumTrace : public QCPLayerable {
 public:
  SpectrumTrace(QCPAxis* x, QCPAxis* y) : QCPLayerable(x->parentPlot()), x_(x), y_(y) {}
  void setSource(const std::vector<std::int32_t>* bins) { bins_ = bins; }
  void setColor(const QColor& c);
  QColor color() const { return color_; }
  // Columns of the current view from `bins` (the source's new contents,
  // copied into `copy` in the same pass when given). Returns the highest
  // count in view.
  std::int32_t update(std::span<const std::int32_t> bins, std::span<std::int32_t> copy = {});
  // Where the trace's pixels go: the plot's rectangle a row up (the axis
  // line has the bottom row).
  QRect area() const { return x_->axisRect()->rect().translated(0, -1); }
  // The pixels of area(), brought up to date; `under` is what lies beneath
  // the trace there, and `underChanged` says it is not what it was.
  const QImage& picture(const QImage& under, bool underChanged);

 protected:
  void applyDefaultAntialiasingHint(QCPPainter* p) const override { p->setAntialiasing(false); }
  QRect clipRect() const override { return area(); }
  // The plot composes the trace (SpectrumPlot::paintEvent); on the layer's
  // own buffer it leaves nothing.
  void draw(QCPPainter*) override {}

 private:
  struct Rows {
    int top, bottom;  // in the image; top > bottom: nothing
  };
  void paint(const QImage& under);
  QCPAxis* x_;
  QCPAxis* y_;
  const std::vector<std::int32_t>* bins_ = nullptr;
  QColor color_ = Qt::red;
  int left_ = 0, width_ = -1;
  double lo_ = 0, hi_ = 0;
  bool changed_ = true;   // spans since the last paint
  bool recolor_ = false;  // everything drawn is repainted
  std::vector<ColumnSpan> spans_;
  QImage image_;
  std::vector<Rows> rows_;   // of each column's extremes
  std::vector<Rows> drawn_;  // what the image holds, per column
};

class SpectrumPlot : public QCustomPlot {
 public:
  explicit SpectrumPlot(QWidget* parent);
  // The trace, and the layer it sits on (the top one, with the fit).
  void setTrace(SpectrumTrace* trace, QCPLayer* layer) { trace_ = trace, layer_ = layer; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool topLayerEmpty() const;
  void composeUnder(const QRect& area);
  void drawUnder(QCPPainter& p);
  SpectrumTrace* trace_ = nullptr;
  QCPLayer* layer_ = nullptr;
  QImage under_;  // every buffer below the trace's layer, over the trace's area
  bool underStale_ = true;
};

}  // namespace mdq::platform
