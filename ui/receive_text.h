// The receive display's text area: read-only text that grows at its end,
// wraps at the area's width, keeps a bounded number of characters and draws
// only the lines in view.
#pragma once

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumaset {

// The display keeps at most this many characters; older text leaves the
// display first (the receive log keeps everything).
constexpr int kDisplayCharLimit = 65536;

// Display lines as the line limit counts them, the same at any window
// width: a line break ends a line, and a line counts once per started 64
// characters (16 bytes in the hex display; about what the frame's normal
// width shows). An empty line counts once. Counted as text is added.
class DisplayLineCounter {
 public:
  static constexpr qint64 kColumns = 64;
  void Add(QStringView text);
  void Reset() { *this = DisplayLineCounter(); }
  qint64 Lines() const { return ended_ + LinesOf(column_); }

 private:
  static qint64 LinesOf(qint64 characters) { return characters == 0 ? 1 : (characters + kColumns - 1) / kColumns; }
  qint64 ended_ = 0;   // lines of the text before the last line break
  qint64 column_ = 0;  // characters after the last line break
};

// Text appended at the end and shown wrapped at the viewport's width: after
// the last space that fits, else at the character that does not (spaces
// hang past the edge), so hexadecimal pairs are never split. Widths come
// from the widget's font with kerning and shaping off and a cache of
// character advances, so wrapping is arithmetic; an append wraps only the
// new text and the last line, and only a change of width wraps everything.
// Past kDisplayCharLimit characters the oldest wrapped lines leave.
//
// The vertical scroll bar counts wrapped lines: its value is the first line
// in view, its page step the lines that fit, so at the end of the text the
// handle is at the bottom with the size of the share in view. The mouse
// selects (drag, shift-click, double-click for a word); copy() and
// selectAll() work on that selection; PageUp, PageDown, Up, Down, Home and
// End scroll; other keys are left to a derived class.
class CReceiveText : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit CReceiveText(QWidget* parent = nullptr);
  ~CReceiveText() override;

  // ---- the text
  void AppendText(QStringView text);
  // Replaces the text (the oldest lines leave when it is longer than the
  // limit); the selection is dropped.
  void SetText(const QString& text);
  void Clear();
  QString toPlainText() const { return m_text; }
  int CharacterCount() const { return static_cast<int>(m_text.size()); }

  // ---- the selection, as offsets into the text
  int SelectionStart() const { return std::min(m_anchor, m_cursor); }
  int SelectionEnd() const { return std::max(m_anchor, m_cursor); }
  int CursorPosition() const { return m_cursor; }
  // Selects from `anchor` to `cursor` (equal: nothing is selected).
  void SetSelection(int anchor, int cursor);
  QString SelectedText() const;

  // ---- layout and scrolling
  int WrappedLineCount() const { return static_cast<int>(m_starts.size()); }
  // Wrapped line `index` without its line break.
  QString WrappedLine(int index) const;
  // The width text wraps at, in pixels.
  qreal WrapWidth() const;
  int LineHeight() const { return m_lineHeight; }
  // Whole lines that fit in the viewport (the scroll bar's page step).
  int VisibleLines() const;
  int FirstVisibleLine() const;
  void ScrollToEnd();
  // Scrolls so that the character at `offset` is in view.
  void EnsureVisible(int offset);
  // The cell of the character at `offset`, in viewport coordinates.
  QRect CharacterRect(int offset) const;
  // The offset nearest to a point of the viewport.
  int OffsetAt(QPoint point) const;

 public slots:
  void copy();
  void selectAll();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void ResetMetrics();
  // The advance of the character (or surrogate pair) at `at` standing `x`
  // pixels into its line; *units gets 1 or 2.
  qreal Advance(int at, qreal x, int* units) const;
  qreal CharAdvance(char32_t c) const;
  // Wraps from `from`, the start of a line, to the end of the text.
  void WrapFrom(int from);
  void WrapAll();
  // Lets the oldest whole lines go until the text is within the limit.
  void DropOldest();
  void UpdateScrollBar();
  int LineOf(int offset) const;
  int LineEnd(int line) const;  // its line break excluded
  qreal XOf(int line, int offset) const;
  void SelectTo(int cursor);
  void SelectionChanged();
  void DragTo(QPoint point);

  QString m_text;
  std::vector<int> m_starts{0};  // where each wrapped line starts
  qreal m_wrappedAt = -1;        // the width the lines were wrapped at
  int m_anchor = 0;
  int m_cursor = 0;
  bool m_dragging = false;
  QPoint m_dragPoint;
  QBasicTimer m_dragScroll;  // scrolls while a drag is above or below

  QFont m_font;  // the widget's font, kerning and shaping off
  QFontMetricsF m_metrics;
  int m_lineHeight = 1;
  qreal m_ascent = 0;
  qreal m_tabStop = 80;
  // Advances of the basic plane in pages of 256, filled as characters
  // appear; others by code point.
  mutable std::array<std::unique_ptr<float[]>, 256> m_pages;
  mutable QHash<char32_t, qreal> m_supplementary;
};

}  // namespace lumaset
