// The progress bar drawn into images: where the gradient ends, its colours,
// the background and the percentage text.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "ui/gradient_progress.h"

namespace lumaset {
namespace {

const QRgb kGrey = qRgb(200, 200, 200);
const QRgb kYellow = qRgb(255, 255, 0);

// The bar as the main frame sets it up: thousandths, red to violet on grey,
// yellow text.
void Configure(CGradientProgressCtrl& bar, int width, int height, bool percentage) {
  bar.SetRange(0, 1000);
  bar.SetStep(1);
  bar.startColour = QColor(255, 0, 0);
  bar.endColour = QColor(200, 0, 255);
  bar.backgroundColour = QColor(200, 200, 200);
  bar.textColour = QColor(255, 255, 0);
  bar.showPercentage = percentage ? 1 : 0;
  bar.resize(width, height);
}

QImage Render(CGradientProgressCtrl& bar) { return bar.grab().toImage().convertToFormat(QImage::Format_RGB32); }

bool IsTextColour(QRgb c) { return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) < 80; }

// Bounding box of the pixels in the text colour (empty when there are none).
QRect TextBox(const QImage& image) {
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (IsTextColour(image.pixel(x, y))) box |= QRect(x, y, 1, 1);
  return box;
}

TEST(GradientProgress, RangeAndPositionReachTheBaseBar) {
  CGradientProgressCtrl bar;
  EXPECT_EQ(bar.backgroundColour, bar.palette().color(QPalette::Button));

  bar.SetPos(40);
  bar.SetRange(10, 1000);
  EXPECT_EQ(bar.lower, 10);
  EXPECT_EQ(bar.upper, 1000);
  EXPECT_EQ(bar.position, 10) << "a new range starts at its lower bound";
  EXPECT_EQ(bar.minimum(), 10);
  EXPECT_EQ(bar.maximum(), 1000);
  EXPECT_EQ(bar.value(), 10);
  bar.SetPos(640);
  EXPECT_EQ(bar.position, 640);
  EXPECT_EQ(bar.value(), 640);
}

TEST(GradientProgress, HalfwayOn510PixelsFillsTwoPixelStepsUpTo256) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, false);
  bar.SetPos(500);
  const QImage image = Render(bar);
  ASSERT_EQ(image.width(), 510);

  for (int y : {0, 10, 19}) {
    // 255 steps over 510 pixels: step k covers x = 2k and 2k + 1, its blue is
    // k and its red runs from 255 down towards 200.
    for (int x = 0; x < 256; ++x) {
      const QRgb c = image.pixel(x, y);
      const int k = x / 2;
      ASSERT_EQ(qBlue(c), k) << "x " << x << " y " << y;
      ASSERT_EQ(qGreen(c), 0) << "x " << x;
      ASSERT_EQ(qRed(c), static_cast<int>(255.0 - 55.0 * k / 255.0 + 1e-4)) << "x " << x;
    }
    for (int x = 256; x < 510; ++x) ASSERT_EQ(image.pixel(x, y), kGrey) << "x " << x << " y " << y;
  }
  EXPECT_EQ(image.pixel(0, 10), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(255, 10), image.pixel(254, 10)) << "the step ending at 256 is painted whole";
}

TEST(GradientProgress, PositionZeroPaintsTheFirstStepOnly) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, false);
  bar.SetPos(0);
  QImage image = Render(bar);
  EXPECT_EQ(image.pixel(0, 5), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(1, 5), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(2, 5), kGrey);
  EXPECT_EQ(image.pixel(509, 5), kGrey);

  // 3.92 pixels a step: the first step is 3 pixels wide.
  Configure(bar, 1000, 20, false);
  image = Render(bar);
  EXPECT_EQ(image.pixel(2, 5), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(3, 5), kGrey);

  // Narrower than the number of steps: still at least one pixel is filled.
  Configure(bar, 100, 20, false);
  image = Render(bar);
  EXPECT_NE(image.pixel(0, 5), kGrey);
  EXPECT_GT(qRed(image.pixel(0, 5)), 250);
  EXPECT_EQ(image.pixel(1, 5), kGrey);
}

TEST(GradientProgress, FullBarShowsTheWholeGradient) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, false);
  bar.SetPos(1000);
  QImage image = Render(bar);
  EXPECT_EQ(image.pixel(0, 10), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(509, 10), qRgb(200, 0, 254));
  for (int x = 0; x < 510; ++x) ASSERT_NE(image.pixel(x, 10), kGrey) << "x " << x;

  // On 1023 pixels the rounded edge of the last step is 1022: the column
  // left over shows the background, never undrawn memory.
  Configure(bar, 1023, 8, false);
  bar.SetPos(1000);
  image = Render(bar);
  EXPECT_EQ(image.pixel(1021, 4), qRgb(200, 0, 254));
  EXPECT_EQ(image.pixel(1022, 4), kGrey);
}

TEST(GradientProgress, EqualColoursPaintNoGradient) {
  CGradientProgressCtrl bar;
  Configure(bar, 300, 16, false);
  bar.startColour = bar.endColour = QColor(0, 128, 0);
  for (int position : {0, 500, 1000}) {
    bar.SetPos(position);
    const QImage image = Render(bar);
    for (int x = 0; x < 300; ++x) ASSERT_EQ(image.pixel(x, 8), kGrey) << "position " << position << " x " << x;
  }
}

TEST(GradientProgress, PercentageTextIsCentredInTheTextColour) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, true);
  QRect widths[3];
  const int positions[3] = {0, 500, 1000};
  for (int i = 0; i < 3; ++i) {
    bar.SetPos(positions[i]);
    const QRect box = TextBox(Render(bar));
    ASSERT_FALSE(box.isEmpty()) << "position " << positions[i];
    EXPECT_NEAR(box.center().x(), 255, 6) << "position " << positions[i];
    EXPECT_NEAR(box.center().y(), 10, 4);
    EXPECT_LT(box.width(), 100);
    widths[i] = box;
  }
  // "0%", "50%", "100%": one digit more each time.
  EXPECT_LT(widths[0].width(), widths[1].width());
  EXPECT_LT(widths[1].width(), widths[2].width());

  bar.showPercentage = 0;
  EXPECT_TRUE(TextBox(Render(bar)).isEmpty());

  // A font taller than the bar is made to fit it.
  bar.showPercentage = 1;
  bar.SetPos(500);
  QFont big = bar.font();
  big.setPixelSize(60);
  bar.setFont(big);
  bar.resize(510, 14);
  const QRect box = TextBox(Render(bar));
  ASSERT_FALSE(box.isEmpty());
  EXPECT_LT(box.width(), 60) << "the text of a 60-pixel font would be far wider";
}

TEST(GradientProgress, ZeroUpperBoundPaintsLikePositionZero) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, true);
  bar.SetPos(0);
  const QRect zeroText = TextBox(Render(bar));
  bar.SetRange(0, 0);
  bar.SetPos(300);
  const QImage image = Render(bar);
  EXPECT_EQ(image.pixel(0, 2), qRgb(255, 0, 0));
  EXPECT_EQ(image.pixel(2, 2), kGrey);
  EXPECT_EQ(image.pixel(509, 2), kGrey);
  EXPECT_EQ(TextBox(image).width(), zeroText.width()) << "the text is 0%";
}

TEST(GradientProgress, PartialRepaintMatchesTheWholePicture) {
  CGradientProgressCtrl bar;
  Configure(bar, 510, 20, true);
  bar.SetPos(730);
  const QImage whole = Render(bar);

  // Only a region in the middle is painted: the off-screen image is that
  // region's size and lands in its place.
  QImage part(510, 20, QImage::Format_RGB32);
  part.fill(Qt::black);
  const QRect region(180, 3, 170, 12);
  bar.render(&part, region.topLeft(), QRegion(region), QWidget::RenderFlags());
  for (int y = region.top(); y <= region.bottom(); ++y)
    for (int x = region.left(); x <= region.right(); ++x)
      ASSERT_EQ(part.pixel(x, y), whole.pixel(x, y)) << "x " << x << " y " << y;
  EXPECT_EQ(part.pixel(region.left() - 1, region.top()), qRgb(0, 0, 0)) << "nothing outside the region";
}

}  // namespace
}  // namespace lumaset
