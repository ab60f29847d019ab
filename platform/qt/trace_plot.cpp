#include "trace_plot.h"

#include <QPaintEvent>
#include <algorithm>
#include <cmath>

namespace mdq::platform {

void SpectrumTrace::setColor(const QColor& c) {
  if (c == color_) return;
  color_ = c;
  recolor_ = true;
}

std::int32_t SpectrumTrace::update(std::span<const std::int32_t> bins,
                                   std::span<std::int32_t> copy) {
  const QRect r = x_->axisRect()->rect();
  const QCPRange v = x_->range();
  left_ = r.left(), width_ = r.width(), lo_ = v.lower, hi_ = v.upper;
  changed_ = true;
  // Column c holds the x positions [c, c + 1) from the plot's left edge,
  // where the painter's aliased lines put them.
  return column_spans(bins, lo_, hi_, std::max(1, width_), spans_, copy);
}

const QImage& SpectrumTrace::picture(const QImage& under, bool underChanged) {
  const QRect r = x_->axisRect()->rect();
  const QCPRange v = x_->range();
  // A resize or a new layout since the last update.
  if (bins_ && (r.left() != left_ || r.width() != width_ || v.lower != lo_ || v.upper != hi_))
    update(*bins_);
  if (underChanged || recolor_ || image_.size() != under.size()) {
    image_ = under.copy();
    drawn_.assign(static_cast<std::size_t>(std::max(0, under.width())), Rows{0, -1});
    recolor_ = false;
    changed_ = true;
  }
  if (changed_) paint(under);
  changed_ = false;
  return image_;
}

void SpectrumTrace::paint(const QImage& under) {
  const QRect r = x_->axisRect()->rect();
  const int w = image_.width(), h = image_.height();
  if (w <= 0 || h <= 0) return;
  auto* bits = reinterpret_cast<quint32*>(image_.bits());
  const auto* below = reinterpret_cast<const quint32*>(under.constBits());
  const qsizetype stride = image_.bytesPerLine() / 4;
  auto fill = [&](int c, int from, int to, quint32 px) {
    quint32* p = bits + c + from * stride;
    for (int y = from; y <= to; ++y, p += stride) *p = px;
  };
  auto erase = [&](int c, int from, int to) {
    const qsizetype at = c + from * stride;
    quint32* p = bits + at;
    const quint32* q = below + at;
    for (int y = from; y <= to; ++y, p += stride, q += stride) *p = *q;
  };
  const QCPRange yr = y_->range();
  const bool log = y_->scaleType() == QCPAxis::stLogarithmic;
  const quint32 px = qPremultiply(color_.rgba());
  // Each column's extremes in image rows: the axis puts yr.lower at
  // r.bottom(), one below the image, and a position within a row is in it
  // (as with the painter's aliased lines). Rows outside stop just past the
  // image's edges, so a join still reaches them; the shift keeps the
  // truncation a floor.
  const int columns =
      (bins_ && !bins_->empty()) ? std::min(w, static_cast<int>(spans_.size())) : 0;
  rows_.resize(std::size_t(columns));
  const double base = h;
  auto toRow = [base](double y) {
    return static_cast<int>(std::clamp(y, -1.0, base + 1) + 1) - 1;
  };
  if (log) {
    const double k = r.height() / std::log(yr.upper / yr.lower);
    auto row = [&](std::int32_t c) {
      return toRow(base - std::log(std::max(double(c), kLogFloor) / yr.lower) * k);
    };
    for (int c = 0; c < columns; ++c)
      rows_[std::size_t(c)] = {row(spans_[std::size_t(c)].mx), row(spans_[std::size_t(c)].mn)};
  } else {
    const double k = r.height() / yr.size(), b = base + yr.lower * k;
    for (int c = 0; c < columns; ++c)
      rows_[std::size_t(c)] = {toRow(b - spans_[std::size_t(c)].mx * k),
                               toRow(b - spans_[std::size_t(c)].mn * k)};
  }
  int prevTop = 0, prevBottom = -1;  // none
  for (int c = 0; c < w; ++c) {
    Rows now{0, -1};
    if (c < columns && spans_[std::size_t(c)].mn <= spans_[std::size_t(c)].mx) {
      int top = rows_[std::size_t(c)].top, bot = rows_[std::size_t(c)].bottom;
      if (prevBottom >= prevTop) {
        // Down to the previous column's top, or up to its bottom: the join
        // is this column's, as a step's rise is where its bin starts.
        top = std::min(top, prevBottom + 1);
        bot = std::max(bot, prevTop - 1);
      }
      prevTop = top, prevBottom = bot;
      now = {std::max(top, 0), std::min(bot, h - 1)};
    } else {
      prevBottom = prevTop - 1;
    }
    // Only the rows that change: between refreshes most columns keep
    // their span, or move it by a pixel.
    Rows& was = drawn_[std::size_t(c)];
    if (was.top == now.top && was.bottom == now.bottom) continue;
    erase(c, was.top, std::min(was.bottom, now.top - 1));
    erase(c, std::max(was.top, now.bottom + 1), was.bottom);
    fill(c, now.top, std::min(now.bottom, was.top - 1), px);
    fill(c, std::max(now.top, was.bottom + 1), now.bottom, px);
    was = now;
  }
}

SpectrumPlot::SpectrumPlot(QWidget* parent) : QCustomPlot(parent) {
  // Before the layers are drawn: a replot that repaints at once composes
  // before it returns.
  connect(this, &QCustomPlot::beforeReplot, this, [this] { underStale_ = true; });
}

// Nothing on the trace's layer but the trace: no fit, no zoom frame being
// dragged, the widget's own graph hidden or empty.
bool SpectrumPlot::topLayerEmpty() const {
  for (QCPLayerable* l : layer_->children()) {
    if (l == trace_ || !l->realVisibility()) continue;
    if (auto* g = qobject_cast<QCPGraph*>(l); g && g->dataCount() == 0) continue;
    if (auto* s = qobject_cast<QCPSelectionRect*>(l); s && !s->isActive()) continue;
    return false;
  }
  return true;
}

void SpectrumPlot::composeUnder(const QRect& area) {
  // Opaque (the plot's background is): an image without alpha goes onto the
  // widget as a plain copy, one with alpha through the painter's general
  // path, several times slower.
  under_ = QImage(area.size(), QImage::Format_RGB32);
  under_.fill(Qt::white);
  QCPPainter p(&under_);
  p.translate(-area.topLeft());
  drawUnder(p);
  underStale_ = false;
}

// The background and every buffer below the trace's layer.
void SpectrumPlot::drawUnder(QCPPainter& p) {
  if (mBackgroundBrush.style() != Qt::NoBrush) p.fillRect(mViewport, mBackgroundBrush);
  drawBackground(&p);
  for (qsizetype i = 0; i + 1 < mPaintBuffers.size(); ++i) mPaintBuffers[i]->draw(&p);
}

void SpectrumPlot::paintEvent(QPaintEvent* event) {
  // The trace's layer must be the top one, with a buffer of its own.
  if (!trace_ || !trace_->visible() || !layer_ || mPaintBuffers.size() < 2 ||
      mLayers.isEmpty() || mLayers.last() != layer_ || layer_->mode() != QCPLayer::lmBuffered) {
    QCustomPlot::paintEvent(event);
    return;
  }
  QCPPainter painter(this);
  if (!painter.isActive()) return;
  // Clipped a rectangle at a time: the painter takes a slow path, spread
  // over a thread pool, for any clip of more than one rectangle.
  const QRect area = trace_->area();
  const QRegion asked = event->region();
  for (const QRect& q : asked - area) {
    painter.setClipRect(q);
    drawUnder(painter);
  }
  if (!area.isEmpty() && asked.intersects(area)) {
    const bool fresh = underStale_ || under_.size() != area.size();
    if (fresh) composeUnder(area);
    const QImage& pic = trace_->picture(under_, fresh);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const QRect& q : asked & area) {
      painter.setClipRect(q);
      painter.drawImage(q.topLeft(), pic, q.translated(-area.topLeft()));
    }
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  }
  if (!topLayerEmpty()) {
    for (const QRect& q : asked) {
      painter.setClipRect(q);
      mPaintBuffers.last()->draw(&painter);
    }
  }
}

}  // namespace mdq::platform
