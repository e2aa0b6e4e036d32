// The command-bar button on a shown window, driven with real mouse and key
// events: commands, check state, frames, the disabled look, focus hand-off,
// tooltips and the picture.
#define QTEST_QPA_MOUSE_HANDLING
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLineEdit>
#include <QPainter>
#include <QTest>
#include <QToolTip>

#include <vector>

#include "app/resource_ui.h"
#include "tests/pty_host.h"
#include "ui/image_button.h"

namespace lumaset {
namespace {

// Counts the paints a widget receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// A strip of two 16 x 16 images: blue with a white right column, then green.
QPixmap TwoImageStrip() {
  QImage strip(32, 16, QImage::Format_RGB32);
  strip.fill(Qt::white);
  QPainter p(&strip);
  p.fillRect(0, 0, 15, 16, QColor(0, 0, 255));
  p.fillRect(16, 0, 16, 16, QColor(0, 255, 0));
  p.end();
  return QPixmap::fromImage(strip);
}

QRgb And(QRgb a, QRgb b) { return qRgb(qRed(a) & qRed(b), qGreen(a) & qGreen(b), qBlue(a) & qBlue(b)); }

int Distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

// Pixels of `image` within `tolerance` of `colour`, and the leftmost of them.
struct Found {
  int count = 0;
  int left = -1;
};
Found Pixels(const QImage& image, QRgb colour, int tolerance = 8, QRect area = {}) {
  if (area.isNull()) area = image.rect();
  Found found;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (Distance(image.pixel(x, y), colour) <= tolerance) {
        ++found.count;
        if (found.left < 0 || x < found.left) found.left = x;
      }
  return found;
}

class ImageButtonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lumaset::test::UseEnglishTexts();
    window.resize(320, 120);
    target = new QLineEdit(&window);
    target->setGeometry(10, 80, 100, 24);
    other = new QLineEdit(&window);
    other->setGeometry(160, 80, 100, 24);
    button = new CImageButton(1004, &window);
    button->setText("&Connect");
    button->setGeometry(10, 10, 140, 40);
    QObject::connect(button, &CImageButton::command, [this](unsigned id) { commands.push_back(id); });
    CImageButton::SetFocusTarget(target);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    other->setFocus();
    ASSERT_TRUE(other->hasFocus());
  }
  void TearDown() override {
    QTest::mouseMove(&window, QPoint(300, 110));
    CImageButton::SetFocusTarget(nullptr);
  }

  QPoint Inside() const { return button->rect().center(); }
  QPoint Outside() const { return QPoint(button->width() + 40, 10); }  // on the window, beside the button
  QImage Picture() { return button->grab().toImage().convertToFormat(QImage::Format_RGB32); }
  QRgb Colour(QPalette::ColorRole role) const { return button->palette().color(role).rgb(); }
  void Click() {
    QTest::mouseMove(button, Inside());
    QTest::mouseClick(button, Qt::LeftButton, {}, Inside());
  }

  QWidget window;
  QLineEdit* target = nullptr;
  QLineEdit* other = nullptr;
  CImageButton* button = nullptr;
  std::vector<unsigned> commands;
};

TEST_F(ImageButtonTest, OneClickSendsOneCommandOnReleaseAndHandsTheFocusOn) {
  QTest::mouseMove(button, Inside());
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  EXPECT_TRUE(commands.empty()) << "nothing is sent on the press";
  EXPECT_EQ(button->Pressed(), 1);
  EXPECT_TRUE(target->hasFocus());
  QTest::mouseRelease(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(commands, std::vector<unsigned>{1004});
  EXPECT_EQ(button->Pressed(), 0);
  EXPECT_EQ(button->Hovering(), 1);
  EXPECT_TRUE(target->hasFocus());
  EXPECT_FALSE(button->hasFocus());

  // Each click toggles the check state; the command follows the number.
  EXPECT_EQ(button->CheckState(), 1);
  EXPECT_TRUE(button->isChecked());
  Click();
  EXPECT_EQ(button->CheckState(), 0);
  EXPECT_FALSE(button->isChecked());
  button->SetCommandId(1006);
  Click();
  EXPECT_EQ(button->CheckState(), 1);
  EXPECT_EQ(commands, (std::vector<unsigned>{1004, 1004, 1006}));
  EXPECT_EQ(button->ControlId(), 1004u);

  // A double click is two clicks.
  commands.clear();
  QTest::mouseDClick(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(commands.size(), 2u);
  EXPECT_EQ(button->CheckState(), 1);

  // Other buttons do nothing.
  commands.clear();
  QTest::mouseClick(button, Qt::RightButton, {}, Inside());
  EXPECT_TRUE(commands.empty());
}

TEST_F(ImageButtonTest, FrameFollowsThePointer) {
  const QImage resting = Picture();
  EXPECT_EQ(resting.pixel(0, 0), Colour(QPalette::Button));
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);

  QTest::mouseMove(button, Inside());
  EXPECT_EQ(button->Frame(), CImageButton::kRaised);
  EXPECT_EQ(button->Hovering(), 1);
  EXPECT_EQ(button->Tracking(), 1);
  QImage image = Picture();
  EXPECT_EQ(image.pixel(0, 0), Colour(QPalette::Light));
  EXPECT_EQ(image.pixel(139, 0), Colour(QPalette::Dark));
  EXPECT_EQ(image.pixel(139, 39), Colour(QPalette::Dark));
  EXPECT_EQ(image.pixel(0, 38), Colour(QPalette::Light));
  EXPECT_EQ(image.pixel(0, 39), Colour(QPalette::Dark));

  // Pressed: the frame stays raised, the content shifts by one pixel.
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(button->Frame(), CImageButton::kRaised);
  EXPECT_EQ(button->Hovering(), 0);
  const QImage pressed = Picture();
  EXPECT_EQ(button->ImageIndex(), 2);
  const Found restingCaption = Pixels(resting, Colour(QPalette::WindowText), 60);
  const Found pressedCaption = Pixels(pressed, Colour(QPalette::WindowText), 60);
  ASSERT_GT(restingCaption.count, 0);
  EXPECT_EQ(pressedCaption.left, restingCaption.left + 1);

  // Released: flat until the next move over the button raises it again.
  QTest::mouseRelease(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(Picture().pixel(0, 0), Colour(QPalette::Button));
  EXPECT_EQ(button->ImageIndex(), 0);
  QTest::mouseMove(button, Inside() + QPoint(3, 0));
  EXPECT_EQ(button->Frame(), CImageButton::kRaised);

  // Leaving: flat, not hovering, no longer tracking.
  QTest::mouseMove(button, Outside());
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(button->Hovering(), 0);
  EXPECT_EQ(button->Tracking(), 0);
  EXPECT_EQ(commands.size(), 1u);
}

TEST_F(ImageButtonTest, DraggingOffAndBackWithTheButtonHeld) {
  QTest::mouseMove(button, Inside());
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  QTest::mouseMove(button, Outside());
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(button->Pressed(), 0);
  EXPECT_EQ(button->Tracking(), 0);

  // Back over it with the left button still held: sunken and pressed.
  QTest::mouseMove(button, Inside());
  EXPECT_EQ(button->Frame(), CImageButton::kSunken);
  EXPECT_EQ(button->Pressed(), 1);
  const QImage image = Picture();
  EXPECT_EQ(image.pixel(0, 0), Colour(QPalette::Dark));
  EXPECT_EQ(image.pixel(139, 39), Colour(QPalette::Light));
  EXPECT_EQ(button->ImageIndex(), 2);
  QTest::mouseRelease(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(commands, std::vector<unsigned>{1004});

  // Released away from the button: no command, no toggle.
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  QTest::mouseMove(button, Outside());
  QTest::mouseRelease(button, Qt::LeftButton, {}, Outside());
  EXPECT_EQ(commands.size(), 1u);
  EXPECT_EQ(button->CheckState(), 1);
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
}

TEST_F(ImageButtonTest, DisabledLookSwallowsInputButStillRepaints) {
  QTest::mouseMove(button, Inside());
  ASSERT_EQ(button->Frame(), CImageButton::kRaised);
  PaintCounter counter;
  button->installEventFilter(&counter);

  EXPECT_EQ(button->SetEnabledLook(0), 1);
  EXPECT_EQ(button->DisabledLook(), 1);
  EXPECT_TRUE(button->isEnabled()) << "the widget itself stays enabled";
  EXPECT_EQ(button->ImageIndex(), 1);
  EXPECT_EQ(button->Frame(), CImageButton::kFlat) << "the disabled look is drawn flat";
  QImage image = Picture();
  EXPECT_EQ(image.pixel(0, 0), Colour(QPalette::Button));
  // An embossed grey caption: shadow and highlight, nothing in the caption colour.
  EXPECT_GT(Pixels(image, Colour(QPalette::Dark)).count, 10);
  EXPECT_GT(Pixels(image, Colour(QPalette::Light), 8, image.rect().adjusted(1, 1, -1, -1)).count, 5);
  EXPECT_EQ(Pixels(image, Colour(QPalette::WindowText), 60).count, 0);

  const int before = counter.paints;
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  EXPECT_EQ(button->Pressed(), 0);
  EXPECT_EQ(button->Hovering(), 0);
  EXPECT_EQ(button->Tracking(), 0);
  EXPECT_GT(counter.paints, before) << "each swallowed event repaints";
  QTest::mouseRelease(button, Qt::LeftButton, {}, Inside());
  QTest::mouseDClick(button, Qt::LeftButton, {}, Inside());
  QTest::keyClick(button, Qt::Key_Space);
  QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);
  QTest::mouseMove(button, Inside() + QPoint(5, 2));
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(button->CheckState(), 0);
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(button->ImageIndex(), 1);
  EXPECT_FALSE(button->hasFocus());

  // Given back its normal look, the same input works again.
  button->SetEnabledLook(1);
  EXPECT_EQ(button->ImageIndex(), 0);
  EXPECT_GT(Pixels(Picture(), Colour(QPalette::WindowText), 60).count, 10);
  Click();
  QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);
  EXPECT_EQ(commands, (std::vector<unsigned>{1004, 1004})) << "the caption's mnemonic clicks too";
  EXPECT_EQ(button->CheckState(), 0);
}

TEST_F(ImageButtonTest, TooltipIsTheStringOfTheCurrentCommand) {
  auto tip = [this] {
    QHelpEvent help(QEvent::ToolTip, Inside(), button->mapToGlobal(Inside()));
    QApplication::sendEvent(button, &help);
    return QToolTip::text();
  };
  // The text of the command's number, and the key that gives the same
  // command (the connect key also for the disconnect number).
  EXPECT_EQ(tip(), lumaset::resui::String(1004) + " (F5)");
  button->SetCommandId(1006);
  EXPECT_EQ(tip(), lumaset::resui::String(1006) + " (F5)");
  EXPECT_NE(lumaset::resui::String(1004), lumaset::resui::String(1006));
  // Tooltips get through the disabled look.
  button->SetEnabledLook(0);
  button->SetCommandId(1004);
  EXPECT_EQ(tip(), lumaset::resui::String(1004) + " (F5)");
  QToolTip::hideText();
}

TEST_F(ImageButtonTest, AssistiveTechnologySeesAPushButtonNamedByItsCaption) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(button);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->role(), QAccessible::Button) << "a push button, not a check box";
  EXPECT_EQ(a->text(QAccessible::Name), QStringLiteral("Connect"));
  EXPECT_EQ(a->text(QAccessible::Description), lumaset::resui::String(1004) + " (F5)");
  EXPECT_FALSE(a->state().checkable) << "only a push-like button toggles";
  EXPECT_FALSE(a->state().disabled);
  // Push-like, as the connect button is: a toggle, checked while pressed in.
  button->SetPushLikeStyle(true);
  button->SetChecked(1);
  EXPECT_TRUE(a->state().checkable);
  EXPECT_TRUE(a->state().checked);
  // The disabled look is unavailable to it, and its press does nothing.
  button->SetEnabledLook(0);
  EXPECT_TRUE(a->state().disabled);
  QAccessibleActionInterface* actions = a->actionInterface();
  ASSERT_NE(actions, nullptr);
  ASSERT_FALSE(actions->actionNames().isEmpty());
  actions->doAction(actions->actionNames().first());
  EXPECT_TRUE(commands.empty());
  button->SetEnabledLook(1);
  actions->doAction(actions->actionNames().first());
  EXPECT_EQ(commands, std::vector<unsigned>{1004});
}

TEST_F(ImageButtonTest, TheContextMenuGoesToTheParentAlsoUnderTheDisabledLook) {
  // The bar under the buttons opens the frame's menu for them.
  struct Parent : QWidget {
    int menus = 0;
    void contextMenuEvent(QContextMenuEvent* e) override {
      ++menus;
      e->accept();
    }
  } parent;
  button->setParent(&parent);
  for (int look : {1, 0}) {
    button->SetEnabledLook(look);
    QContextMenuEvent event(QContextMenuEvent::Mouse, Inside(), button->mapToGlobal(Inside()));
    QApplication::sendEvent(button, &event);
  }
  EXPECT_EQ(parent.menus, 2);
  button->setParent(&window);
}

TEST_F(ImageButtonTest, FocusNeverStaysOnTheButton) {
  button->setFocus();
  EXPECT_TRUE(target->hasFocus());
  EXPECT_FALSE(button->hasFocus());

  // Losing the focus flattens the frame.
  QTest::mouseMove(button, Inside());
  ASSERT_EQ(button->Frame(), CImageButton::kRaised);
  QFocusEvent out(QEvent::FocusOut, Qt::OtherFocusReason);
  QApplication::sendEvent(button, &out);
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(button->Hovering(), 0);

  // Without a target (or once it is gone) the button just does not take it.
  other->setFocus();
  delete target;
  target = nullptr;
  Click();
  EXPECT_EQ(commands.size(), 1u);
  EXPECT_TRUE(other->hasFocus());
  button->setFocus();
  EXPECT_FALSE(button->hasFocus());
}

TEST_F(ImageButtonTest, ImageAndCaptionPlacement) {
  // Without a bitmap the caption starts at the content's left edge (x 5).
  EXPECT_EQ(button->LoadBitmaps(9999, 2), 0);
  EXPECT_FALSE(button->HasBitmap());
  button->setText("WWW");
  const Found bare = Pixels(Picture(), Colour(QPalette::WindowText), 60);
  ASSERT_GT(bare.count, 0);
  EXPECT_GE(bare.left, 5);
  EXPECT_LE(bare.left, 6);

  // With a 16-pixel image: the image at x 5, centred in the 36-pixel-high
  // content (rows 12 to 27), ANDed with the background; the caption starts
  // 16 + 5 pixels further right.
  ASSERT_EQ(button->SetBitmap(TwoImageStrip(), 2), 1);
  const QRgb bg = Colour(QPalette::Button);
  QImage image = Picture();
  EXPECT_EQ(image.pixel(5, 12), And(qRgb(0, 0, 255), bg));
  EXPECT_EQ(image.pixel(18, 27), And(qRgb(0, 0, 255), bg));
  EXPECT_EQ(image.pixel(5, 11), bg);
  EXPECT_EQ(image.pixel(5, 28), bg);
  EXPECT_EQ(image.pixel(4, 20), bg);
  EXPECT_EQ(image.pixel(20, 20), bg) << "white lets the background through";
  EXPECT_EQ(image.pixel(21, 20), bg) << "one image wide only";
  const Found withImage = Pixels(image, Colour(QPalette::WindowText), 60);
  EXPECT_EQ(withImage.left - bare.left, 21);

  // Pressed: image 2 is past the strip, so the first image, shifted.
  QTest::mouseMove(button, Inside());
  QTest::mousePress(button, Qt::LeftButton, {}, Inside());
  image = Picture();
  EXPECT_EQ(button->ImageIndex(), 2);
  EXPECT_EQ(image.pixel(5, 20), bg);
  EXPECT_EQ(image.pixel(6, 20), And(qRgb(0, 0, 255), bg));
  EXPECT_EQ(image.pixel(6, 12), bg);
  EXPECT_EQ(image.pixel(6, 13), And(qRgb(0, 0, 255), bg));
  QTest::mouseRelease(button, Qt::LeftButton, {}, Inside());

  // The disabled look shows the second image.
  button->SetEnabledLook(0);
  EXPECT_EQ(Picture().pixel(8, 20), And(qRgb(0, 255, 0), bg));

  // A bitmap taller than the content shows its middle part: rows 12 to 47
  // of 60 (red 0-19, blue 20-39, green 40-59).
  QImage tall(16, 60, QImage::Format_RGB32);
  QPainter p(&tall);
  p.fillRect(0, 0, 16, 20, QColor(255, 0, 0));
  p.fillRect(0, 20, 16, 20, QColor(0, 0, 255));
  p.fillRect(0, 40, 16, 20, QColor(0, 255, 0));
  p.end();
  button->SetEnabledLook(1);
  button->SetBitmap(QPixmap::fromImage(tall), 1);
  image = Picture();
  EXPECT_EQ(image.pixel(8, 2), And(qRgb(255, 0, 0), bg));
  EXPECT_EQ(image.pixel(8, 9), And(qRgb(255, 0, 0), bg));
  EXPECT_EQ(image.pixel(8, 10), And(qRgb(0, 0, 255), bg));
  EXPECT_EQ(image.pixel(8, 29), And(qRgb(0, 0, 255), bg));
  EXPECT_EQ(image.pixel(8, 30), And(qRgb(0, 255, 0), bg));
  EXPECT_EQ(image.pixel(8, 37), And(qRgb(0, 255, 0), bg));
  EXPECT_EQ(image.pixel(8, 38), bg);
}

// A strip drawn at twice the size takes the place of a normal one: it is laid
// out at its size in device-independent pixels and, on a screen of device
// pixel ratio 2 (run again with QT_SCALE_FACTOR=2), drawn pixel for pixel.
TEST_F(ImageButtonTest, AStripAtTwiceTheSizeIsDrawnSharp) {
  // Two 16 x 16 images at ratio 2: the first of blue and white columns one
  // device pixel wide, the second white.
  QImage strip(64, 32, QImage::Format_RGB32);
  strip.fill(Qt::white);
  for (int x = 0; x < 32; x += 2)
    for (int y = 0; y < 32; ++y) strip.setPixel(x, y, qRgb(0, 0, 255));
  QPixmap pixmap = QPixmap::fromImage(strip);
  pixmap.setDevicePixelRatio(2.0);
  button->setText("WWW");
  ASSERT_EQ(button->SetBitmap(pixmap, 2), 1);

  const qreal ratio = button->devicePixelRatioF();
  QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(image.width(), qRound(button->width() * ratio));
  const QRgb bg = Colour(QPalette::Button);
  // The caption starts 16 + 5 device-independent pixels past the image's left.
  const Found caption = Pixels(image, Colour(QPalette::WindowText), 60);
  EXPECT_GE(caption.left, qRound((5 + 16 + 5) * ratio));
  EXPECT_LE(caption.left, qRound((5 + 16 + 5 + 2) * ratio));
  // Rows 12 to 27 hold the image, ANDed with the background.
  const int row = qRound(20 * ratio);
  if (ratio == 2.0) {
    for (int x = 10; x < 42; ++x)
      EXPECT_EQ(image.pixel(x, row), x % 2 == 0 ? And(qRgb(0, 0, 255), bg) : bg) << "device pixel " << x;
  } else {
    // Half the pixels blue: a mixture that is neither of the two.
    const QRgb mixed = image.pixel(10, row);
    EXPECT_NE(mixed, bg);
    EXPECT_NE(mixed, And(qRgb(0, 0, 255), bg));
  }
}

TEST_F(ImageButtonTest, CheckedPushLikeButtonIsSunkenWithTheFourthImage) {
  QImage strip(64, 16, QImage::Format_RGB32);
  strip.fill(Qt::white);
  QPainter p(&strip);
  p.fillRect(48, 0, 16, 16, QColor(255, 0, 0));
  p.end();
  button->SetBitmap(QPixmap::fromImage(strip), 4);
  button->SetPushLikeStyle(true);
  button->SetChecked(1);
  const QImage image = Picture();
  EXPECT_EQ(button->ImageIndex(), 3);
  EXPECT_EQ(button->Frame(), CImageButton::kSunken);
  EXPECT_EQ(image.pixel(0, 0), Colour(QPalette::Dark));
  EXPECT_EQ(image.pixel(8, 20), And(qRgb(255, 0, 0), Colour(QPalette::Button)));

  // SetChecked makes the frame flat; an unchecked push-like button stays so.
  button->SetChecked(0);
  Picture();
  EXPECT_EQ(button->Frame(), CImageButton::kFlat);
  EXPECT_EQ(button->ImageIndex(), 0);
}

}  // namespace
}  // namespace lumaset
