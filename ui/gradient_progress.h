// The download progress bar: a progress bar that paints itself as one fixed
// colour gradient uncovered from the left as the position grows, with the
// rest in a background colour and the percentage written in the middle.
#pragma once

#include <QColor>
#include <QProgressBar>

namespace lumaset {

class CGradientProgressCtrl : public QProgressBar {
  Q_OBJECT

 public:
  explicit CGradientProgressCtrl(QWidget* parent = nullptr);

  // Stores both bounds, moves the position to `lower` and gives the range to
  // the base bar.
  void SetRange(int lower, int upper);
  // Stores the position, gives it to the base bar and repaints.
  void SetPos(int position);
  // Stores the step (the base bar has none).
  void SetStep(int step);

  // The state the painting uses. Colours and the percentage flag may be
  // written directly; a change shows at the next repaint.
  int lower = 0;
  int upper = 100;
  int step = 10;
  int position = 0;
  QColor startColour{255, 0, 0};
  QColor endColour{255, 255, 0};
  QColor backgroundColour;  // the palette's button colour at construction
  QColor textColour{0, 0, 255};
  int showPercentage = 0;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Integer part of position / upper * width, kept within a range that fits
  // an int whatever the position and bounds are.
  int FillEnd(int width) const;
  void DrawGradient(QPainter& painter, int width, int height, int fillEnd) const;
  void DrawPercentage(QPainter& painter, int width, int height) const;
};

}  // namespace lumaset
