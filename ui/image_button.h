// The command-bar button: an image from a bitmap strip and a caption, with
// a flat frame that rises while the pointer is over it and sinks while it is
// held. It never keeps the keyboard focus, and a "disabled look" greys it and
// makes it ignore input while the widget itself stays enabled.
#pragma once

#include <QAbstractButton>
#include <QKeySequence>
#include <QPixmap>

class QPainter;

namespace lumaset {

class CImageButton : public QAbstractButton {
  Q_OBJECT

 public:
  // Frame() values.
  enum { kFlat = 0, kSunken = 1, kRaised = 2 };

  // `controlId` is the button's number in the command bar and the command
  // its click sends until SetCommandId changes it.
  explicit CImageButton(unsigned controlId = 0, QWidget* parent = nullptr);

  // The bitmap strip `bitmapId` of the current language library, cut into
  // `imagesPerStrip` images. 1 on success; 0 leaves the button without a
  // bitmap (caption only).
  int LoadBitmaps(unsigned bitmapId, int imagesPerStrip);
  // The same with a strip at hand; a null pixmap leaves no bitmap.
  int SetBitmap(const QPixmap& strip, int imagesPerStrip);

  // Stores the check state (0/1), makes the frame flat and repaints.
  void SetChecked(int state);
  // enabled 0 gives the disabled look, 1 takes it away; repaints. Returns 1.
  int SetEnabledLook(int enabled);
  // The window style's push-like bit: a checked push-like button is drawn
  // sunken with the fourth image.
  void SetPushLikeStyle(bool pushLike);

  // A click as from the pointer, unless the disabled look is on (what
  // assistive technology's press action does).
  void Press();
  // The tooltip: the string numbered like the command, with its key.
  QString ToolTipText() const;
  // The accelerator that gives the button's command, if any.
  QKeySequence Keys() const;
  bool PushLike() const { return m_pushLikeStyle; }

  unsigned ControlId() const { return m_controlId; }
  unsigned CommandId() const { return m_commandId; }
  void SetCommandId(unsigned id) { m_commandId = id; }

  int Frame() const { return m_frame; }
  int Pressed() const { return m_pressed; }
  int Hovering() const { return m_hovering; }
  int Tracking() const { return m_tracking; }
  int CheckState() const { return m_checkState; }
  int DisabledLook() const { return m_disabledLook; }
  int ImagesPerStrip() const { return m_imagesPerStrip; }
  bool HasBitmap() const { return !m_bitmap.isNull(); }
  // The strip image drawn at the last paint.
  int ImageIndex() const { return m_imageIndex; }

  // The widget that takes the keyboard focus whenever a button would get it
  // (the main view). Without one the buttons just do not take the focus.
  static void SetFocusTarget(QWidget* target);

  QSize sizeHint() const override;

 signals:
  // A click: sent once, on the release of the left button over the button.
  void command(unsigned id);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  // Whether the event is operator input that the disabled look swallows.
  static bool IsInput(const QEvent* event);
  // Pointer over the button: raised, or sunken when the left button is held.
  void Enter(Qt::MouseButtons held);
  // Pointer gone, or input swallowed: flat, not pressed, not hovering.
  void Leave();
  // Toggles the check state and sends the command.
  void Click();
  void HandFocusOn();
  void ShowToolTip(QEvent* event);
  int ImageWidth() const;
  // The strip's height in device-independent pixels.
  int BitmapHeight() const { return int(m_bitmap.deviceIndependentSize().height()); }
  void DrawImage(QPainter& painter, const QRect& content, int index) const;

  const unsigned m_controlId;
  unsigned m_commandId;
  bool m_pushLikeStyle = false;

  int m_imageIndex = 0;
  int m_imagesPerStrip = 4;
  int m_strip = 1;
  int m_pushLike = 0;
  int m_checkState = 0;
  int m_hovering = 0;
  QPixmap m_bitmap;
  int m_layout = 1;  // image at the left, caption to its right
  int m_disabledLook = 0;
  int m_pressed = 0;
  int m_frame = kFlat;
  int m_tracking = 0;
};

}  // namespace lumaset
