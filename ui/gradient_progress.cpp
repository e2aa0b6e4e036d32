#include "ui/gradient_progress.h"

#include <QFontMetrics>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace lumaset {

CGradientProgressCtrl::CGradientProgressCtrl(QWidget* parent) : QProgressBar(parent) {
  backgroundColour = palette().color(QPalette::Button);
  // Every pixel is painted from the off-screen image, so Qt need not clear
  // the widget first: the filled part is never erased between two paints.
  setAttribute(Qt::WA_OpaquePaintEvent);
  QProgressBar::setRange(lower, upper);
  QProgressBar::setValue(position);
}

void CGradientProgressCtrl::SetRange(int newLower, int newUpper) {
  lower = newLower;
  upper = newUpper;
  position = newLower;
  QProgressBar::setRange(newLower, newUpper);
  QProgressBar::setValue(newLower);
  update();
}

void CGradientProgressCtrl::SetPos(int newPosition) {
  position = newPosition;
  QProgressBar::setValue(newPosition);
  update();
}

void CGradientProgressCtrl::SetStep(int newStep) { step = newStep; }

int CGradientProgressCtrl::FillEnd(int width) const {
  // An upper bound of 0 would divide by zero: nothing is filled then.
  if (upper == 0) return 0;
  double end = static_cast<double>(position) / upper * width;
  // A position far beyond the range would not fit an int.
  end = std::clamp(end, -2.0 * width - 1.0, 2.0 * width + 1.0);
  return static_cast<int>(end);
}

void CGradientProgressCtrl::paintEvent(QPaintEvent* event) {
  const int width = this->width();
  const int height = this->height();
  const QRect clip = event->region().boundingRect();
  if (clip.isEmpty()) return;

  // Drawn off-screen into an image the size of the region to repaint, then
  // copied in one piece, so a repaint per progress event does not flicker.
  const qreal ratio = devicePixelRatioF();
  QImage image(clip.size() * ratio, QImage::Format_RGB32);
  image.setDevicePixelRatio(ratio);
  {
    QPainter painter(&image);
    painter.translate(-clip.topLeft());
    // Qt has no separate background erase: the background colour goes under
    // everything first and the gradient over it, which gives the picture of
    // the erase (background right of the fill end) followed by the paint. It
    // also covers the columns that rounding of the step width leaves right of
    // the last step, and the whole bar when there is no gradient to draw.
    painter.fillRect(QRect(0, 0, width, height), backgroundColour);
    DrawGradient(painter, width, height, FillEnd(width));
    if (showPercentage == 1) DrawPercentage(painter, width, height);
  }
  QPainter target(this);
  target.drawImage(clip.topLeft(), image);
}

void CGradientProgressCtrl::DrawGradient(QPainter& painter, int width, int height, int fillEnd) const {
  const int dR = endColour.red() - startColour.red();
  const int dG = endColour.green() - startColour.green();
  const int dB = endColour.blue() - startColour.blue();
  const int steps = std::max({std::abs(dR), std::abs(dG), std::abs(dB)});
  if (steps == 0) return;

  // One fixed gradient over the whole width: a step keeps its place and
  // colour as the bar grows.
  const float stepWidth = static_cast<float>(width) / static_cast<float>(steps);
  const float incR = static_cast<float>(dR) / static_cast<float>(steps);
  const float incG = static_cast<float>(dG) / static_cast<float>(steps);
  const float incB = static_cast<float>(dB) / static_cast<float>(steps);
  auto component = [](int start, int i, float inc) {
    return std::clamp(static_cast<int>(static_cast<float>(start) + static_cast<float>(i) * inc), 0, 255);
  };

  for (int i = 0; i < steps; ++i) {
    const int left = static_cast<int>(static_cast<float>(i) * stepWidth);
    const int right = static_cast<int>(static_cast<float>(i + 1) * stepWidth);
    const QColor colour(component(startColour.red(), i, incR), component(startColour.green(), i, incG),
                        component(startColour.blue(), i, incB));
    painter.fillRect(QRect(QPoint(left, 0), QPoint(right - 1, height)), colour);
    if (right > fillEnd) {
      painter.fillRect(QRect(QPoint(right, 0), QPoint(width - 1, height - 1)), backgroundColour);
      return;
    }
  }
}

void CGradientProgressCtrl::DrawPercentage(QPainter& painter, int width, int height) const {
  const double percent = upper == 0 ? 0.0 : static_cast<double>(position) * 100.0 / upper;
  const QString text = QString::asprintf("%.0f%%", percent);
  // The widget's font, made smaller when its lines are taller than the bar.
  QFont font = this->font();
  if (QFontMetrics(font).height() > height) font.setPixelSize(std::max(1, height * 3 / 4));
  painter.setFont(font);
  painter.setPen(textColour);
  painter.drawText(QRect(0, 0, width, height), Qt::AlignCenter | Qt::TextSingleLine, text);
}

}  // namespace lumaset
