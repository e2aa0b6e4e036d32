#include "ui/receive_text.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QtMath>

#include <cmath>
#include <optional>

namespace lumaset {
namespace {

// Space between the viewport's edges and the text (left, right and top).
constexpr int kMargin = 4;
// The distance between tab stops, in pixels.
constexpr qreal kTabStop = 80;
// How often a drag above or below the viewport scrolls it by a line.
constexpr int kDragScrollMs = 50;

// A line may break after these; they hang past the edge.
bool IsBreakSpace(char16_t c) { return c == u' ' || c == u'\t' || c == 0x3000; }
bool IsWordChar(QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('_'); }

// What assistive technology sees: read-only multi-line text with its
// selection, cursor and character positions.
class ReceiveTextAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit ReceiveTextAccessible(CReceiveText* text) : QAccessibleWidget(text, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    s.focusable = true;
    return s;
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return Text()->toPlainText();
    return QAccessibleWidget::text(t);
  }

  // QAccessibleTextInterface
  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index != 0 || Text()->SelectionStart() == Text()->SelectionEnd()) return;
    *start = Text()->SelectionStart();
    *end = Text()->SelectionEnd();
  }
  int selectionCount() const override { return Text()->SelectionStart() == Text()->SelectionEnd() ? 0 : 1; }
  void addSelection(int start, int end) override { Text()->SetSelection(start, end); }
  void removeSelection(int index) override {
    if (index == 0) Text()->SetSelection(Text()->CursorPosition(), Text()->CursorPosition());
  }
  void setSelection(int index, int start, int end) override {
    if (index == 0) Text()->SetSelection(start, end);
  }
  int cursorPosition() const override { return Text()->CursorPosition(); }
  void setCursorPosition(int position) override { Text()->SetSelection(position, position); }
  QString text(int start, int end) const override {
    const QString all = Text()->toPlainText();
    start = std::clamp(start, 0, static_cast<int>(all.size()));
    end = std::clamp(end, start, static_cast<int>(all.size()));
    return all.mid(start, end - start);
  }
  int characterCount() const override { return Text()->CharacterCount(); }
  QRect characterRect(int offset) const override {
    const QRect r = Text()->CharacterRect(offset);
    return r.translated(Text()->viewport()->mapToGlobal(QPoint(0, 0)));
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPoint at = Text()->viewport()->mapFromGlobal(point);
    return Text()->viewport()->rect().contains(at) ? Text()->OffsetAt(at) : -1;
  }
  void scrollToSubstring(int start, int) override { Text()->EnsureVisible(start); }
  QString attributes(int, int* start, int* end) const override {
    *start = 0;
    *end = characterCount();
    return {};
  }

 private:
  CReceiveText* Text() const { return static_cast<CReceiveText*>(widget()); }
};

// The scroll bar of wrapped lines. While text streams in at the end, its
// range and value change several times in every display update (the new
// lines, the oldest lines let go, the scroll to the end), mostly by a line or
// two of thousands, which leaves the handle where it was to the pixel. So it
// is repainted only when, once the update is done, what it shows differs:
// where the handle moved, only the handle's old and new places (a repaint of
// the whole groove also makes the raster engine hand its long lines to
// helper threads), and whole when it can or cannot scroll anew or its value
// reaches or leaves an end (the arrows' look).
class WrappedLineBar : public QScrollBar {
 public:
  explicit WrappedLineBar(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {}

 protected:
  void sliderChange(SliderChange) override {
    if (checkPending_) return;
    checkPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          checkPending_ = false;
          const Appearance now = Look();
          if (!painted_ || now == *painted_) return;
          if (now.SameEnds(*painted_))
            update(now.handle.united(painted_->handle).adjusted(0, -kHandleMargin, 0, kHandleMargin));
          else
            update();
        },
        Qt::QueuedConnection);
  }
  void paintEvent(QPaintEvent* event) override {
    painted_ = Look();
    QScrollBar::paintEvent(event);
  }

 private:
  // Pixels around the handle that its frame and shading may touch.
  static constexpr int kHandleMargin = 2;
  struct Appearance {
    QRect handle;
    bool scrolls = false;
    bool atStart = false;
    bool atEnd = false;
    bool operator==(const Appearance&) const = default;
    bool SameEnds(const Appearance& other) const {
      return scrolls == other.scrolls && atStart == other.atStart && atEnd == other.atEnd;
    }
  };
  Appearance Look() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
            minimum() < maximum(), value() == minimum(), value() == maximum()};
  }
  std::optional<Appearance> painted_;
  bool checkPending_ = false;
};

QAccessibleInterface* AccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String(CReceiveText::staticMetaObject.className()))
    if (auto* text = qobject_cast<CReceiveText*>(object)) return new ReceiveTextAccessible(text);
  return nullptr;
}

}  // namespace

// ---- the line count of the line limit ---------------------------------------------

void DisplayLineCounter::Add(QStringView text) {
  for (qsizetype at = 0; at < text.size();) {
    const qsizetype lineBreak = text.indexOf(u'\n', at);
    if (lineBreak < 0) {
      column_ += text.size() - at;
      return;
    }
    column_ += lineBreak - at;
    ended_ += LinesOf(column_);
    column_ = 0;
    at = lineBreak + 1;
  }
}

// ---- construction and metrics ----------------------------------------------------------

CReceiveText::CReceiveText(QWidget* parent) : QAbstractScrollArea(parent), m_metrics(QFont()) {
  static const bool accessibleInstalled = (QAccessible::installFactory(&AccessibleFactory), true);
  Q_UNUSED(accessibleInstalled);
  setVerticalScrollBar(new WrappedLineBar(this));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Always there, so that the wrap width does not depend on the text.
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setCursor(Qt::IBeamCursor);
  ResetMetrics();
  m_wrappedAt = WrapWidth();
  UpdateScrollBar();
}

CReceiveText::~CReceiveText() = default;

void CReceiveText::ResetMetrics() {
  m_font = font();
  // Without kerning and shaping a line is as wide as its characters' advances.
  m_font.setKerning(false);
  m_font.setStyleStrategy(static_cast<QFont::StyleStrategy>(m_font.styleStrategy() | QFont::PreferNoShaping));
  m_metrics = QFontMetricsF(m_font, viewport());
  m_lineHeight = std::max(1, qCeil(m_metrics.lineSpacing()));
  m_ascent = m_metrics.ascent();
  m_tabStop = kTabStop;
  for (auto& page : m_pages) page.reset();
  m_supplementary.clear();
}

qreal CReceiveText::CharAdvance(char32_t c) const {
  if (c > 0xFFFF) {
    auto it = m_supplementary.constFind(c);
    if (it == m_supplementary.constEnd())
      it = m_supplementary.insert(c, m_metrics.horizontalAdvance(QString::fromUcs4(&c, 1)));
    return *it;
  }
  std::unique_ptr<float[]>& page = m_pages[c >> 8];
  if (!page) {
    page = std::make_unique<float[]>(256);
    std::fill_n(page.get(), 256, -1.0f);
  }
  float& advance = page[c & 0xFF];
  if (advance < 0) advance = static_cast<float>(m_metrics.horizontalAdvance(QChar(static_cast<char16_t>(c))));
  return advance;
}

qreal CReceiveText::Advance(int at, qreal x, int* units) const {
  const char16_t c = m_text.at(at).unicode();
  *units = 1;
  if (c == u'\t') return (std::floor(x / m_tabStop) + 1) * m_tabStop - x;
  if (QChar::isHighSurrogate(c) && at + 1 < m_text.size() && m_text.at(at + 1).isLowSurrogate()) {
    *units = 2;
    return CharAdvance(QChar::surrogateToUcs4(c, m_text.at(at + 1).unicode()));
  }
  return CharAdvance(c);
}

// ---- wrapping -------------------------------------------------------------------------------

qreal CReceiveText::WrapWidth() const { return std::max(1, viewport()->width() - 2 * kMargin); }

void CReceiveText::WrapFrom(int from) {
  const int size = static_cast<int>(m_text.size());
  const QChar* text = m_text.constData();
  int start = from;  // of the line being filled
  m_starts.push_back(start);
  qreal x = 0;
  int afterSpace = -1;  // where the line may break: after its last space
  for (int at = start; at < size;) {
    const char16_t c = text[at].unicode();
    if (c == u'\n') {
      start = ++at;
      m_starts.push_back(start);
      x = 0;
      afterSpace = -1;
      continue;
    }
    int units = 1;
    const qreal advance = Advance(at, x, &units);
    if (IsBreakSpace(c)) {
      x += advance;
      at += units;
      afterSpace = at;
      continue;
    }
    if (x + advance > m_wrappedAt && at > start) {
      // After the last space that fits, else at this character; the next
      // line is measured afresh from its start.
      start = afterSpace > start ? afterSpace : at;
      m_starts.push_back(start);
      at = start;
      x = 0;
      afterSpace = -1;
      continue;
    }
    x += advance;
    at += units;
  }
}

void CReceiveText::WrapAll() {
  m_wrappedAt = WrapWidth();
  m_starts.clear();
  WrapFrom(0);
}

void CReceiveText::DropOldest() {
  const int excess = static_cast<int>(m_text.size()) - kDisplayCharLimit;
  if (excess <= 0) return;
  // The first line that starts at or after the excess: whole lines go, so
  // the lines after them keep their breaks.
  auto first = std::lower_bound(m_starts.begin(), m_starts.end(), excess);
  int cut = 0;
  int droppedLines = 0;
  const bool wholeLines = first != m_starts.end() && *first < m_text.size();
  if (wholeLines) {
    cut = *first;
    droppedLines = static_cast<int>(first - m_starts.begin());
    m_starts.erase(m_starts.begin(), first);
    for (int& start : m_starts) start -= cut;
  } else {
    // The last line alone is longer than the limit: cut inside it (never
    // between the halves of a surrogate pair) and wrap what stays.
    cut = excess;
    if (m_text.at(cut).isLowSurrogate()) ++cut;
    droppedLines = LineOf(cut);
  }
  const QString removed = QAccessible::isActive() ? m_text.left(cut) : QString();
  m_text.remove(0, cut);
  if (!wholeLines) WrapAll();
  m_anchor = std::max(0, m_anchor - cut);
  m_cursor = std::max(0, m_cursor - cut);
  QScrollBar* bar = verticalScrollBar();
  const int value = bar->value();
  UpdateScrollBar();
  bar->setValue(std::max(0, value - droppedLines));
  if (QAccessible::isActive()) {
    QAccessibleTextRemoveEvent event(this, 0, removed);
    QAccessible::updateAccessibility(&event);
  }
}

// ---- the text ----------------------------------------------------------------------------------

void CReceiveText::AppendText(QStringView text) {
  if (text.isEmpty()) return;
  const int position = static_cast<int>(m_text.size());
  // Only the last line can change: it is wrapped again with the new text.
  const int last = m_starts.back();
  m_starts.pop_back();
  m_text.append(text);
  WrapFrom(last);
  UpdateScrollBar();
  if (QAccessible::isActive()) {
    QAccessibleTextInsertEvent event(this, position, text.toString());
    QAccessible::updateAccessibility(&event);
  }
  DropOldest();
  viewport()->update();
}

void CReceiveText::SetText(const QString& text) {
  const QString before = QAccessible::isActive() ? m_text : QString();
  m_text = text;
  m_anchor = m_cursor = 0;
  WrapAll();
  UpdateScrollBar();
  verticalScrollBar()->setValue(0);
  if (QAccessible::isActive()) {
    QAccessibleTextUpdateEvent event(this, 0, before, m_text);
    QAccessible::updateAccessibility(&event);
  }
  DropOldest();
  viewport()->update();
}

void CReceiveText::Clear() { SetText(QString()); }

// ---- layout and scrolling ---------------------------------------------------------------------

int CReceiveText::LineOf(int offset) const {
  const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), offset);
  return std::max(0, static_cast<int>(after - m_starts.begin()) - 1);
}

int CReceiveText::LineEnd(int line) const {
  const int start = m_starts[line];
  int end = line + 1 < WrappedLineCount() ? m_starts[line + 1] : static_cast<int>(m_text.size());
  if (end > start && m_text.at(end - 1) == QLatin1Char('\n')) --end;
  return end;
}

QString CReceiveText::WrappedLine(int index) const {
  if (index < 0 || index >= WrappedLineCount()) return {};
  return m_text.mid(m_starts[index], LineEnd(index) - m_starts[index]);
}

qreal CReceiveText::XOf(int line, int offset) const {
  qreal x = 0;
  for (int at = m_starts[line]; at < offset;) {
    int units = 1;
    x += Advance(at, x, &units);
    at += units;
  }
  return x;
}

int CReceiveText::VisibleLines() const { return std::max(1, (viewport()->height() - kMargin) / m_lineHeight); }

int CReceiveText::FirstVisibleLine() const { return verticalScrollBar()->value(); }

void CReceiveText::UpdateScrollBar() {
  QScrollBar* bar = verticalScrollBar();
  const int page = VisibleLines();
  bar->setSingleStep(1);
  bar->setPageStep(page);
  bar->setRange(0, std::max(0, WrappedLineCount() - page));
}

void CReceiveText::ScrollToEnd() {
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
}

void CReceiveText::EnsureVisible(int offset) {
  const int line = LineOf(std::clamp(offset, 0, CharacterCount()));
  QScrollBar* bar = verticalScrollBar();
  if (line < bar->value())
    bar->setValue(line);
  else if (line >= bar->value() + VisibleLines())
    bar->setValue(line - VisibleLines() + 1);
}

QRect CReceiveText::CharacterRect(int offset) const {
  offset = std::clamp(offset, 0, CharacterCount());
  const int line = LineOf(offset);
  const qreal x = kMargin + XOf(line, offset);
  int units = 1;
  const qreal width = offset < LineEnd(line) ? Advance(offset, x - kMargin, &units) : CharAdvance(U' ');
  const int y = kMargin + (line - FirstVisibleLine()) * m_lineHeight;
  return QRectF(x, y, width, m_lineHeight).toAlignedRect();
}

int CReceiveText::OffsetAt(QPoint point) const {
  const int dy = point.y() - kMargin;
  const int line = FirstVisibleLine() + (dy >= 0 ? dy / m_lineHeight : -((-dy + m_lineHeight - 1) / m_lineHeight));
  if (line < 0) return 0;
  if (line >= WrappedLineCount()) return CharacterCount();
  const qreal x = point.x() - kMargin;
  const int end = LineEnd(line);
  qreal left = 0;
  for (int at = m_starts[line]; at < end;) {
    int units = 1;
    const qreal advance = Advance(at, left, &units);
    if (x < left + advance / 2) return at;
    left += advance;
    at += units;
  }
  return end;
}

// ---- the selection ------------------------------------------------------------------------------

void CReceiveText::SetSelection(int anchor, int cursor) {
  anchor = std::clamp(anchor, 0, CharacterCount());
  cursor = std::clamp(cursor, 0, CharacterCount());
  if (anchor == m_anchor && cursor == m_cursor) return;
  m_anchor = anchor;
  m_cursor = cursor;
  SelectionChanged();
}

void CReceiveText::SelectTo(int cursor) { SetSelection(m_anchor, cursor); }

void CReceiveText::SelectionChanged() {
  viewport()->update();
  if (!QAccessible::isActive()) return;
  QAccessibleTextSelectionEvent selection(this, SelectionStart(), SelectionEnd());
  selection.setCursorPosition(m_cursor);
  QAccessible::updateAccessibility(&selection);
}

QString CReceiveText::SelectedText() const { return m_text.mid(SelectionStart(), SelectionEnd() - SelectionStart()); }

void CReceiveText::copy() {
  if (SelectionStart() != SelectionEnd()) QGuiApplication::clipboard()->setText(SelectedText());
}

void CReceiveText::selectAll() { SetSelection(0, CharacterCount()); }

// ---- painting -----------------------------------------------------------------------------------

void CReceiveText::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect area = event->rect();
  const QPalette::ColorGroup group =
      !isEnabled() ? QPalette::Disabled : (hasFocus() || isActiveWindow() ? QPalette::Active : QPalette::Inactive);
  const QPalette& colours = palette();
  const QColor text = colours.color(group, QPalette::Text);
  const QColor highlight = colours.color(group, QPalette::Highlight);
  const QColor highlightedText = colours.color(group, QPalette::HighlightedText);
  painter.setFont(m_font);
  const int selStart = SelectionStart();
  const int selEnd = SelectionEnd();
  const int height = viewport()->height();
  struct Run {
    qreal x;
    QString text;
  };
  std::vector<Run> runs;
  for (int line = FirstVisibleLine(), top = kMargin; line < WrappedLineCount() && top < height;
       ++line, top += m_lineHeight) {
    if (top + m_lineHeight <= area.top() || top > area.bottom()) continue;
    const int start = m_starts[line];
    const int end = LineEnd(line);
    // The line in runs between tabs, each at its own position.
    runs.clear();
    qreal x = 0;
    int runStart = start;
    qreal runX = 0;
    for (int at = start; at < end;) {
      int units = 1;
      const qreal advance = Advance(at, x, &units);
      if (m_text.at(at) == QLatin1Char('\t')) {
        if (at > runStart) runs.push_back({runX, m_text.mid(runStart, at - runStart)});
        runStart = at + 1;
        runX = x + advance;
      }
      x += advance;
      at += units;
    }
    if (end > runStart) runs.push_back({runX, m_text.mid(runStart, end - runStart)});
    const qreal baseline = top + m_ascent;
    auto drawRuns = [&](const QColor& colour) {
      painter.setPen(colour);
      for (const Run& run : runs) painter.drawText(QPointF(kMargin + run.x, baseline), run.text);
    };
    const int next = line + 1 < WrappedLineCount() ? m_starts[line + 1] : static_cast<int>(m_text.size());
    // The line's break counts as part of it: selected, it shows as a space.
    const bool selected = selStart < selEnd && selStart < next && selEnd > start;
    if (!selected) {
      drawRuns(text);
      continue;
    }
    const qreal left = XOf(line, std::max(selStart, start));
    qreal right = XOf(line, std::min(selEnd, end));
    if (selEnd > end && end < next) right += CharAdvance(U' ');
    const QRect selection = QRectF(kMargin + left, top, right - left, m_lineHeight).toAlignedRect();
    const QRect lineRect(0, top, viewport()->width(), m_lineHeight);
    painter.fillRect(selection, highlight);
    painter.setClipRegion(QRegion(lineRect).subtracted(selection));
    drawRuns(text);
    painter.setClipRect(selection);
    drawRuns(highlightedText);
    painter.setClipping(false);
  }
}

// ---- events -------------------------------------------------------------------------------------

void CReceiveText::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  QScrollBar* bar = verticalScrollBar();
  if (WrapWidth() != m_wrappedAt) {
    // Wrapped anew; the view stays at the end, or keeps its top line's text
    // at the top.
    const bool atEnd = bar->value() >= bar->maximum();
    const int top = m_starts[std::min(bar->value(), WrappedLineCount() - 1)];
    WrapAll();
    UpdateScrollBar();
    bar->setValue(atEnd ? bar->maximum() : LineOf(top));
  } else {
    const bool atEnd = bar->value() >= bar->maximum();
    UpdateScrollBar();
    if (atEnd) bar->setValue(bar->maximum());
  }
  viewport()->update();
}

void CReceiveText::scrollContentsBy(int, int) { viewport()->update(); }

void CReceiveText::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  switch (event->type()) {
    case QEvent::FontChange: {
      QScrollBar* bar = verticalScrollBar();
      const bool atEnd = bar->value() >= bar->maximum();
      const int top = m_starts[std::min(bar->value(), WrappedLineCount() - 1)];
      ResetMetrics();
      WrapAll();
      UpdateScrollBar();
      bar->setValue(atEnd ? bar->maximum() : LineOf(top));
      viewport()->update();
      break;
    }
    case QEvent::PaletteChange:
    case QEvent::ActivationChange:
    case QEvent::EnabledChange: viewport()->update(); break;
    default: break;
  }
}

void CReceiveText::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void CReceiveText::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void CReceiveText::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    copy();
    return;
  }
  if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
    return;
  }
  QScrollBar* bar = verticalScrollBar();
  switch (event->key()) {
    case Qt::Key_PageUp: bar->triggerAction(QAbstractSlider::SliderPageStepSub); break;
    case Qt::Key_PageDown: bar->triggerAction(QAbstractSlider::SliderPageStepAdd); break;
    case Qt::Key_Up: bar->triggerAction(QAbstractSlider::SliderSingleStepSub); break;
    case Qt::Key_Down: bar->triggerAction(QAbstractSlider::SliderSingleStepAdd); break;
    case Qt::Key_Home: bar->triggerAction(QAbstractSlider::SliderToMinimum); break;
    case Qt::Key_End: bar->triggerAction(QAbstractSlider::SliderToMaximum); break;
    default: event->ignore(); return;
  }
  event->accept();
}

void CReceiveText::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  const int at = OffsetAt(event->position().toPoint());
  if (event->modifiers() & Qt::ShiftModifier)
    SelectTo(at);
  else
    SetSelection(at, at);
  m_dragging = true;
  m_dragPoint = event->position().toPoint();
}

void CReceiveText::mouseMoveEvent(QMouseEvent* event) {
  if (m_dragging && (event->buttons() & Qt::LeftButton)) DragTo(event->position().toPoint());
}

void CReceiveText::DragTo(QPoint point) {
  m_dragPoint = point;
  // Above or below the viewport the text scrolls on while the button is held.
  if (point.y() < 0 || point.y() >= viewport()->height()) {
    if (!m_dragScroll.isActive()) m_dragScroll.start(kDragScrollMs, this);
  } else {
    m_dragScroll.stop();
  }
  SelectTo(OffsetAt(point));
}

void CReceiveText::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_dragScroll.timerId()) {
    QAbstractScrollArea::timerEvent(event);
    return;
  }
  if (!m_dragging) {
    m_dragScroll.stop();
    return;
  }
  verticalScrollBar()->triggerAction(m_dragPoint.y() < 0 ? QAbstractSlider::SliderSingleStepSub
                                                         : QAbstractSlider::SliderSingleStepAdd);
  SelectTo(OffsetAt(m_dragPoint));
}

void CReceiveText::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !m_dragging) return;
  m_dragging = false;
  m_dragScroll.stop();
  // Where the window system has a selection clipboard, the selection goes there.
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard->supportsSelection() && SelectionStart() != SelectionEnd())
    clipboard->setText(SelectedText(), QClipboard::Selection);
}

void CReceiveText::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  int at = OffsetAt(event->position().toPoint());
  if (at >= CharacterCount()) at = CharacterCount() - 1;
  if (at < 0 || m_text.at(at) == QLatin1Char('\n')) return;
  int start = at;
  int end = at + 1;
  if (IsWordChar(m_text.at(at))) {
    while (start > 0 && IsWordChar(m_text.at(start - 1))) --start;
    while (end < CharacterCount() && IsWordChar(m_text.at(end))) ++end;
  }
  SetSelection(start, end);
  m_dragging = false;
}

}  // namespace lumaset
