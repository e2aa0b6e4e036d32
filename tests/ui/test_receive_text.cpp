// The receive display's text area on its own: wrapping at word boundaries,
// the scroll bar in wrapped lines, the character bound, selection and copy,
// what assistive technology reads, and the line count of the line limit.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWheelEvent>

#include <functional>
#include <memory>

#include "ui/receive_text.h"

namespace lumaset {
namespace {

// Hex display text of `count` bytes counting up from `first`.
QString Hex(int count, int first = 0) {
  QString out;
  for (int i = 0; i < count; ++i) out += QString::asprintf("%02X  ", (first + i) & 0xFF);
  return out;
}

QString WithoutTrailingSpaces(QString s) {
  while (s.endsWith(QLatin1Char(' '))) s.chop(1);
  return s;
}

class ReceiveTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    text_ = std::make_unique<CReceiveText>();
    QFont font = QApplication::font();
    font.setPixelSize(18);
    font.setWeight(QFont::Light);
    text_->setFont(font);
    text_->resize(560, 400);
    text_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(text_.get()));
  }

  // Widths as the display draws them: kerning and shaping off.
  QFontMetricsF Metrics() const {
    QFont font = text_->font();
    font.setKerning(false);
    font.setStyleStrategy(QFont::PreferNoShaping);
    return QFontMetricsF(font, text_->viewport());
  }

  void ResizeViewport(int width, int height) {
    const QSize frame = text_->size() - text_->viewport()->size();
    text_->resize(QSize(width, height) + frame);
    QCoreApplication::processEvents();
    ASSERT_EQ(text_->viewport()->width(), width);
  }

  // Every wrapped line fits the wrap width without its hanging spaces, and
  // the next line's first word (or, without spaces, its first character)
  // would not have fitted; together the lines are the text.
  void ExpectWrapped(const QString& all) {
    const QFontMetricsF metrics = Metrics();
    const qreal width = text_->WrapWidth();
    EXPECT_GT(width, text_->viewport()->width() - 20);
    EXPECT_LE(width, text_->viewport()->width());
    QString joined;
    for (int i = 0; i < text_->WrappedLineCount(); ++i) {
      const QString line = text_->WrappedLine(i);
      joined += line;
      EXPECT_LE(metrics.horizontalAdvance(WithoutTrailingSpaces(line)), width + 0.5) << i;
      if (i + 1 == text_->WrappedLineCount()) break;
      const QString next = text_->WrappedLine(i + 1);
      const QString nextWord = line.endsWith(QLatin1Char(' ')) ? next.section(QLatin1Char(' '), 0, 0) : next.left(1);
      EXPECT_GT(metrics.horizontalAdvance(line + nextWord), width) << i << ": " << line.toStdString();
    }
    EXPECT_EQ(joined, all);
  }

  QScrollBar* Bar() const { return text_->verticalScrollBar(); }

  QStyleOptionSlider BarOption() const {
    QStyleOptionSlider option;
    option.initFrom(Bar());
    option.subControls = QStyle::SC_All;
    option.orientation = Qt::Vertical;
    option.minimum = Bar()->minimum();
    option.maximum = Bar()->maximum();
    option.sliderPosition = Bar()->sliderPosition();
    option.sliderValue = Bar()->value();
    option.singleStep = Bar()->singleStep();
    option.pageStep = Bar()->pageStep();
    return option;
  }
  QRect BarPart(QStyle::SubControl part) const {
    const QStyleOptionSlider option = BarOption();
    return Bar()->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, Bar());
  }

  // Scrolled to the end: the last line wholly in view at the bottom, the
  // handle at the bottom of its groove, its share that of the lines in view.
  void ExpectAtEnd() {
    EXPECT_GT(Bar()->maximum(), 0);
    EXPECT_EQ(Bar()->value(), Bar()->maximum());
    EXPECT_EQ(Bar()->maximum() + Bar()->pageStep(), text_->WrappedLineCount());
    const int height = text_->viewport()->height();
    EXPECT_LE(Bar()->pageStep() * text_->LineHeight(), height);
    EXPECT_GT((Bar()->pageStep() + 1) * text_->LineHeight(), height - 8) << "every whole line that fits counts";
    const QString all = text_->toPlainText();
    const QRect last = text_->CharacterRect(static_cast<int>(WithoutTrailingSpaces(all).size()) - 1);
    EXPECT_TRUE(text_->viewport()->rect().contains(last)) << last.y() << " of " << height;
    EXPECT_GT(last.bottom() + text_->LineHeight(), height) << "nothing but space below the last line";
    EXPECT_EQ(BarPart(QStyle::SC_ScrollBarSlider).bottom(), BarPart(QStyle::SC_ScrollBarGroove).bottom());
  }

  std::unique_ptr<CReceiveText> text_;
};

TEST_F(ReceiveTextTest, HexWrapsBetweenPairsAtTwoWidths) {
  const QString hex = Hex(3000);
  text_->AppendText(hex);
  ResizeViewport(300, 300);
  ExpectWrapped(hex);
  const int narrowLines = text_->WrappedLineCount();
  for (int i = 0; i + 1 < text_->WrappedLineCount(); ++i) {
    const QString line = text_->WrappedLine(i);
    EXPECT_EQ(line.size() % 4, 0) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QLatin1String("  ")) && line.at(2) == QLatin1Char(' ')) << line.toStdString();
  }
  ResizeViewport(900, 300);
  ExpectWrapped(hex);
  EXPECT_LT(text_->WrappedLineCount() * 2, narrowLines);
}

TEST_F(ReceiveTextTest, TextWrapsAfterSpacesAndBreaksLongWordsAnywhere) {
  QString words;
  for (int i = 0; i < 30; ++i) words += QStringLiteral("The quick brown fox jumps over the lazy dog ");
  const QString text = words + QString(300, QLatin1Char('x')) + QStringLiteral(" end");
  text_->AppendText(text);
  for (int width : {260, 640}) {
    ResizeViewport(width, 300);
    ExpectWrapped(text);
  }
  // Line breaks end lines; a surrogate pair is never split.
  const QString emoji = QString::fromUcs4(U"\U0001F600");
  text_->SetText(QStringLiteral("first line\nsecond\n") + emoji.repeated(100));
  EXPECT_EQ(text_->WrappedLine(0), QStringLiteral("first line"));
  EXPECT_EQ(text_->WrappedLine(1), QStringLiteral("second"));
  ASSERT_GT(text_->WrappedLineCount(), 3);
  for (int i = 2; i < text_->WrappedLineCount(); ++i) EXPECT_FALSE(text_->WrappedLine(i).at(0).isLowSurrogate()) << i;
  // A tab reaches the next stop: text after it starts further right than
  // after a space.
  text_->SetText(QStringLiteral("a\tb\na b"));
  EXPECT_GT(text_->CharacterRect(2).left(), text_->CharacterRect(6).left() + 20);
}

TEST_F(ReceiveTextTest, TheScrollBarCountsWrappedLinesAndEndsAtTheEnd) {
  // Hex: one paragraph of many wrapped lines.
  for (int i = 0; i < 10; ++i) text_->AppendText(Hex(500, i));
  text_->ScrollToEnd();
  ExpectAtEnd();
  // Text display: lines ended by breaks, some longer than the width.
  QString lines;
  for (int i = 0; i < 300; ++i)
    lines += QStringLiteral("line %1 %2\n").arg(i).arg(i % 7 == 0 ? QString(120, QLatin1Char('y')) : QString());
  text_->SetText(lines + QStringLiteral("last"));
  text_->ScrollToEnd();
  ExpectAtEnd();
  // A new width wraps everything anew and stays at the end; so does a new
  // height.
  ResizeViewport(350, 250);
  ExpectAtEnd();
  ResizeViewport(350, 420);
  ExpectAtEnd();
  // Home and PageDown scroll by the lines in view, the wheel by lines.
  QTest::keyClick(text_.get(), Qt::Key_Home);
  EXPECT_EQ(Bar()->value(), 0);
  QTest::keyClick(text_.get(), Qt::Key_PageDown);
  EXPECT_EQ(Bar()->value(), Bar()->pageStep());
  const QPointF at(20, 20);
  QWheelEvent wheel(at, text_->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(text_->viewport(), &wheel);
  EXPECT_GT(Bar()->value(), Bar()->pageStep());
  EXPECT_LT(Bar()->value(), 2 * Bar()->pageStep());
}

// Lines streaming in at the bound move the handle by less than a pixel: the
// scroll bar is not repainted for them, but is when the handle moves (only
// where it was and is, unless the value reaches or leaves an end).
TEST_F(ReceiveTextTest, TheScrollBarIsRepaintedOnlyWhenItsHandleMoves) {
  struct PaintCounter : QObject {
    int paints = 0;
    QRect last;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) {
        ++paints;
        last = static_cast<QPaintEvent*>(event)->rect();
      }
      return false;
    }
  } counter;
  QString lines;
  for (int i = 0; i < 3000; ++i) lines += QStringLiteral("#%1 record ........\n").arg(i);
  text_->SetText(lines);
  text_->ScrollToEnd();
  QTest::qWait(20);
  Bar()->installEventFilter(&counter);
  const QRect handle = BarPart(QStyle::SC_ScrollBarSlider);
  for (int i = 0; i < 40; ++i) {
    text_->AppendText(QStringLiteral("#%1 record ........\n").arg(3000 + i));
    text_->ScrollToEnd();
    QApplication::processEvents();
    QApplication::processEvents();
  }
  QTest::qWait(20);
  EXPECT_EQ(Bar()->value(), Bar()->maximum());
  EXPECT_EQ(BarPart(QStyle::SC_ScrollBarSlider), handle);
  EXPECT_LE(counter.paints, 2);
  const int before = counter.paints;
  Bar()->setValue(Bar()->maximum() / 2);
  QTest::qWait(20);
  EXPECT_GT(counter.paints, before);
  EXPECT_EQ(counter.last, Bar()->rect());
  const QRect from = BarPart(QStyle::SC_ScrollBarSlider);
  Bar()->setValue(Bar()->maximum() / 2 + 200);
  const QRect to = BarPart(QStyle::SC_ScrollBarSlider);
  ASSERT_NE(from, to);
  QTest::qWait(20);
  EXPECT_TRUE(counter.last.contains(from.united(to)));
  EXPECT_LT(counter.last.height(), Bar()->height() / 2);
  Bar()->removeEventFilter(&counter);
}

TEST_F(ReceiveTextTest, DraggingTheHandleToTheBottomShowsTheEnd) {
  text_->AppendText(Hex(6000));
  Bar()->setValue(0);
  const QRect handle = BarPart(QStyle::SC_ScrollBarSlider);
  const QRect groove = BarPart(QStyle::SC_ScrollBarGroove);
  ASSERT_LT(handle.bottom(), groove.bottom());
  const QPoint below(handle.center().x(), groove.bottom() + 40);
  QTest::mousePress(Bar(), Qt::LeftButton, {}, handle.center());
  for (int y = handle.center().y(); y < below.y(); y += 25) QTest::mouseMove(Bar(), QPoint(below.x(), y));
  QTest::mouseMove(Bar(), below);
  QTest::mouseRelease(Bar(), Qt::LeftButton, {}, below);
  ExpectAtEnd();
  // Dragged back halfway, the middle of the text shows.
  QTest::mousePress(Bar(), Qt::LeftButton, {}, BarPart(QStyle::SC_ScrollBarSlider).center());
  const QPoint middle(below.x(), groove.center().y());
  QTest::mouseMove(Bar(), middle);
  QTest::mouseRelease(Bar(), Qt::LeftButton, {}, middle);
  EXPECT_NEAR(Bar()->value(), Bar()->maximum() / 2, Bar()->maximum() / 10 + 2);
}

TEST_F(ReceiveTextTest, TheOldestWholeLinesLeaveAtTheBoundAndTheNewestStay) {
  QString all;
  for (int i = 0; i < 40; ++i) {
    const QString chunk = Hex(1000, i * 7);
    text_->AppendText(chunk);
    all += chunk;
  }
  const QString kept = text_->toPlainText();
  EXPECT_LE(kept.size(), kDisplayCharLimit);
  EXPECT_GT(kept.size(), kDisplayCharLimit - 200) << "only whole lines leave";
  EXPECT_TRUE(all.endsWith(kept));
  EXPECT_EQ(kept.size() % 4, 0) << "no pair is cut";
  // The lines that stay keep their breaks: the same as the kept text wrapped
  // afresh.
  CReceiveText fresh;
  fresh.setFont(text_->font());
  fresh.resize(text_->size());
  fresh.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&fresh));
  fresh.SetText(kept);
  ASSERT_EQ(fresh.WrappedLineCount(), text_->WrappedLineCount());
  for (int i = 0; i < fresh.WrappedLineCount(); i += 37) EXPECT_EQ(fresh.WrappedLine(i), text_->WrappedLine(i)) << i;
  text_->ScrollToEnd();
  ExpectAtEnd();
  // One line longer than the bound is cut inside, keeping its end.
  text_->SetText(QString(kDisplayCharLimit + 10, QLatin1Char('z')) + QStringLiteral("\n"));
  text_->AppendText(QStringLiteral("tail"));
  EXPECT_LE(text_->CharacterCount(), kDisplayCharLimit);
  EXPECT_TRUE(text_->toPlainText().endsWith(QStringLiteral("z\ntail")));
}

TEST_F(ReceiveTextTest, TheMouseSelectsAndCopyPutsItOnTheClipboard) {
  text_->SetText(QStringLiteral("hello world\nsecond line"));
  auto left = [&](int offset) {
    const QRect r = text_->CharacterRect(offset);
    return QPoint(r.left() + 1, r.center().y());
  };
  QWidget* viewport = text_->viewport();
  QTest::mousePress(viewport, Qt::LeftButton, {}, left(0));
  QTest::mouseMove(viewport, left(3));
  QTest::mouseMove(viewport, left(5));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, left(5));
  EXPECT_EQ(text_->SelectedText(), QStringLiteral("hello"));
  QTest::keyClick(text_.get(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("hello"));
  // Shift-click extends the selection, over the line break.
  QTest::mouseClick(viewport, Qt::LeftButton, Qt::ShiftModifier, left(18));
  EXPECT_EQ(text_->SelectedText(), QStringLiteral("hello world\nsecond"));
  // A double-click selects a word.
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, left(8));
  EXPECT_EQ(text_->SelectedText(), QStringLiteral("world"));
  text_->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("world"));
  QTest::keyClick(text_.get(), Qt::Key_A, Qt::ControlModifier);
  text_->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("hello world\nsecond line"));
  // Dragging below the text selects to its end.
  QTest::mousePress(viewport, Qt::LeftButton, {}, left(13));
  QTest::mouseMove(viewport, QPoint(5, viewport->height() - 2));
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 2));
  EXPECT_EQ(text_->SelectedText(), QStringLiteral("econd line"));
}

TEST_F(ReceiveTextTest, TextAndSelectionAreDrawnInThePaletteColours) {
  QPalette palette = text_->palette();
  palette.setColor(QPalette::Base, Qt::white);
  palette.setColor(QPalette::Text, QColor(0, 100, 100));
  palette.setColor(QPalette::Highlight, QColor(200, 0, 0));
  palette.setColor(QPalette::HighlightedText, QColor(255, 255, 0));
  text_->setPalette(palette);
  text_->SetText(QStringLiteral("MMMM MMMM\nWWWW"));
  text_->SetSelection(0, 4);
  const QImage image = text_->viewport()->grab().toImage();
  // Pixels of a colour, also where glyph edges blend it into the ground.
  auto count = [&](QRect area, const std::function<bool(QRgb)>& is) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x) n += is(image.pixel(x, y));
    return n;
  };
  auto highlight = [](QRgb p) { return p == qRgb(200, 0, 0); };
  auto highlightedText = [](QRgb p) { return qGreen(p) > 120 && qBlue(p) < 40 && qRed(p) >= 200; };
  auto text = [](QRgb p) { return qGreen(p) < 200 && qRed(p) + 40 < qGreen(p) && qAbs(qGreen(p) - qBlue(p)) < 8; };
  const QRect selected = text_->CharacterRect(1);
  const QRect plain = text_->CharacterRect(6);
  EXPECT_GT(count(selected, highlight), 10);
  EXPECT_GT(count(selected, highlightedText), 5);
  EXPECT_EQ(count(selected, text), 0);
  EXPECT_EQ(count(plain, highlight), 0);
  EXPECT_GT(count(plain, text), 5);
  EXPECT_EQ(count(plain, highlightedText), 0);
  EXPECT_GT(count(text_->CharacterRect(11), text), 5) << "the second line";
}

TEST_F(ReceiveTextTest, AssistiveTechnologyReadsTheText) {
  text_->setAccessibleName(QStringLiteral("Received data"));
  text_->SetText(QStringLiteral("41  0D  FF  \nline two"));
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(text_.get());
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->role(), QAccessible::EditableText);
  EXPECT_TRUE(accessible->state().readOnly);
  EXPECT_TRUE(accessible->state().multiLine);
  EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Received data"));
  QAccessibleTextInterface* text = accessible->textInterface();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->characterCount(), 21);
  EXPECT_EQ(text->text(4, 6), QStringLiteral("0D"));
  int start = -1, end = -1;
  EXPECT_EQ(text->textAtOffset(15, QAccessible::LineBoundary, &start, &end), QStringLiteral("line two"));
  text_->SetSelection(13, 17);
  EXPECT_EQ(text->selectionCount(), 1);
  text->selection(0, &start, &end);
  EXPECT_EQ(std::make_pair(start, end), std::make_pair(13, 17));
  EXPECT_EQ(text->cursorPosition(), 17);
  text->setSelection(0, 0, 2);
  EXPECT_EQ(text_->SelectedText(), QStringLiteral("41"));
  // Screen positions of characters and back.
  const QRect cell = text->characterRect(15);
  EXPECT_TRUE(cell.isValid());
  EXPECT_EQ(text->offsetAtPoint(cell.center()), 15);
}

TEST(DisplayLineCounter, ALineCountsOncePerStarted64Characters) {
  DisplayLineCounter count;
  EXPECT_EQ(count.Lines(), 1) << "an empty display has one line";
  count.Add(QString(64, QLatin1Char('a')));
  EXPECT_EQ(count.Lines(), 1);
  count.Add(QStringLiteral("b"));
  EXPECT_EQ(count.Lines(), 2);
  // A break ends the line; an empty line counts once.
  count.Add(QStringLiteral("\n\nshort"));
  EXPECT_EQ(count.Lines(), 4);
  // Counted across pieces as if given at once: 16 bytes of hex fill a line.
  count.Reset();
  count.Add(Hex(10));
  count.Add(Hex(6));
  EXPECT_EQ(count.Lines(), 1);
  count.Add(Hex(1));
  EXPECT_EQ(count.Lines(), 2);
  count.Add(Hex(16000 - 17));
  EXPECT_EQ(count.Lines(), 1000);
  count.Add(Hex(1));
  EXPECT_EQ(count.Lines(), 1001);
}

}  // namespace
}  // namespace lumaset
