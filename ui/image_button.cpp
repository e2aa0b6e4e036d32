#include "ui/image_button.h"

#include <QAccessibleWidget>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QToolTip>

#include <algorithm>

#include "app/resource_ui.h"
#include "resources/resource_ids.h"

namespace lumaset {

namespace {

// What assistive technology is told of a command-bar button: a push button
// named by its caption, described by its tooltip, unavailable under the
// disabled look, and a toggle (checkable, checked while pressed in) when it
// is push-like, as the connect button is. Without this it would be taken
// for a check box, since the check state is kept in QAbstractButton.
class ImageButtonAccessible : public QAccessibleWidget {
 public:
  explicit ImageButtonAccessible(CImageButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

  QString text(QAccessible::Text t) const override {
    switch (t) {
      case QAccessible::Name: return resui::WithoutMnemonic(Button()->text());
      case QAccessible::Description: return Button()->ToolTipText();
      case QAccessible::Accelerator: return Button()->Keys().toString(QKeySequence::NativeText);
      default: return QAccessibleWidget::text(t);
    }
  }

  QAccessible::State state() const override {
    QAccessible::State st = QAccessibleWidget::state();
    if (Button()->DisabledLook()) st.disabled = true;
    st.focusable = false;
    st.checkable = Button()->PushLike();
    st.checked = st.checkable && Button()->CheckState() != 0;
    st.pressed = Button()->Pressed() != 0;
    return st;
  }

  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    names.prepend(Button()->PushLike() ? toggleAction() : pressAction());
    return names;
  }

  void doAction(const QString& name) override {
    if (name == pressAction() || name == toggleAction())
      Button()->Press();
    else
      QAccessibleWidget::doAction(name);
  }

 private:
  CImageButton* Button() const { return static_cast<CImageButton*>(widget()); }
};

QAccessibleInterface* ImageButtonAccessibleFactory(const QString&, QObject* object) {
  if (auto* button = qobject_cast<CImageButton*>(object)) return new ImageButtonAccessible(button);
  return nullptr;
}

QPointer<QWidget>& FocusTarget() {
  static QPointer<QWidget> target;
  return target;
}

// A frame one pixel wide on the edges of `r`: top and left in `topLeft`
// (without the last pixel of each), right and bottom in `bottomRight`.
void Draw3dRect(QPainter& painter, const QRect& r, const QColor& topLeft, const QColor& bottomRight) {
  const int x = r.x(), y = r.y(), w = r.width(), h = r.height();
  if (w <= 0 || h <= 0) return;
  painter.fillRect(QRect(x, y, w - 1, 1), topLeft);
  painter.fillRect(QRect(x, y, 1, h - 1), topLeft);
  painter.fillRect(QRect(x + w - 1, y, 1, h), bottomRight);
  painter.fillRect(QRect(x, y + h - 1, w, 1), bottomRight);
}

constexpr int kCaptionFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;

}  // namespace

CImageButton::CImageButton(unsigned controlId, QWidget* parent)
    : QAbstractButton(parent), m_controlId(controlId), m_commandId(controlId) {
  // The check state is mirrored in QAbstractButton's checked property.
  setCheckable(true);
  // A click hands the focus to the focus target; the button never takes it.
  setFocusPolicy(Qt::NoFocus);
  // Moves without a held button are needed to notice the pointer entering.
  setMouseTracking(true);
  // Every pixel comes from the off-screen image of the paint.
  setAttribute(Qt::WA_OpaquePaintEvent);
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(ImageButtonAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
}

void CImageButton::SetFocusTarget(QWidget* target) { FocusTarget() = target; }

int CImageButton::LoadBitmaps(unsigned bitmapId, int imagesPerStrip) {
  return SetBitmap(lumaset::resui::Bitmap(bitmapId), imagesPerStrip);
}

int CImageButton::SetBitmap(const QPixmap& strip, int imagesPerStrip) {
  m_bitmap = QPixmap();
  int loaded = 0;
  if (!strip.isNull()) {
    m_bitmap = strip;
    m_strip = 1;
    // A strip of no images would divide its width by zero.
    m_imagesPerStrip = std::max(1, imagesPerStrip);
    loaded = 1;
  }
  updateGeometry();
  update();
  return loaded;
}

void CImageButton::SetChecked(int state) {
  m_checkState = state;
  QAbstractButton::setChecked(state != 0);
  m_frame = kFlat;
  repaint();
}

int CImageButton::SetEnabledLook(int enabled) {
  m_disabledLook = enabled ? 0 : 1;
  repaint();
  return 1;
}

void CImageButton::SetPushLikeStyle(bool pushLike) {
  m_pushLikeStyle = pushLike;
  update();
}

int CImageButton::ImageWidth() const {
  if (m_bitmap.isNull()) return 0;
  // In device-independent pixels: a strip drawn at twice the size for a
  // high-density screen takes the place of the normal one.
  const int width = int(m_bitmap.deviceIndependentSize().width());
  return m_strip ? width / m_imagesPerStrip : width;
}

QSize CImageButton::sizeHint() const {
  const QSize caption = fontMetrics().size(Qt::TextSingleLine | Qt::TextShowMnemonic, text());
  // Content inset 5 left and right, 2 top and bottom, plus the pressed shift.
  int width = 5 + caption.width() + 5 + 1;
  int height = 2 + caption.height() + 2 + 1;
  if (!m_bitmap.isNull()) {
    width += ImageWidth() + 5;
    height = std::max(height, 2 + BitmapHeight() + 2 + 1);
  }
  return {width, height};
}

bool CImageButton::IsInput(const QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::Enter:
    case QEvent::Leave:
    case QEvent::HoverEnter:
    case QEvent::HoverLeave:
    case QEvent::HoverMove:
    case QEvent::FocusIn:
    case QEvent::FocusOut:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::Gesture:
      return true;
    default:
      return false;
  }
}

bool CImageButton::event(QEvent* event) {
  if (m_disabledLook && IsInput(event)) {
    // The disabled look swallows input; each swallowed event resets the
    // button to its resting look. Paints, tooltips and the context menu (for
    // the bar under it) still get through.
    Leave();
    // The button still never keeps the focus.
    if (event->type() == QEvent::FocusIn) HandFocusOn();
    event->accept();
    return true;
  }
  switch (event->type()) {
    case QEvent::ToolTip:
      ShowToolTip(event);
      return true;
    case QEvent::Shortcut:
      // The caption's mnemonic acts like a click.
      Click();
      return true;
    default:
      return QAbstractButton::event(event);
  }
}

QKeySequence CImageButton::Keys() const {
  QKeySequence keys = resui::AcceleratorFor(res::kMainResource, m_commandId);
  return keys.isEmpty() ? resui::AcceleratorFor(res::kMainResource, m_controlId) : keys;
}

QString CImageButton::ToolTipText() const {
  // Looked up now, so the text follows the language and the command number
  // (the connect button's changes while connected); the key that gives the
  // same command follows it.
  if (!resui::HasString(m_commandId)) return {};
  QString text = resui::String(m_commandId);
  if (const QKeySequence keys = Keys(); !keys.isEmpty())
    text += QStringLiteral(" (%1)").arg(keys.toString(QKeySequence::NativeText));
  return text;
}

void CImageButton::ShowToolTip(QEvent* event) {
  const auto* help = static_cast<QHelpEvent*>(event);
  if (const QString text = ToolTipText(); !text.isEmpty()) {
    QToolTip::showText(help->globalPos(), text, this);
  } else {
    QToolTip::hideText();
    event->ignore();
  }
}

void CImageButton::Press() {
  if (!m_disabledLook) Click();
}

void CImageButton::HandFocusOn() {
  QWidget* target = FocusTarget();
  if (target && target != this)
    target->setFocus(Qt::OtherFocusReason);
  else if (hasFocus())
    clearFocus();
}

void CImageButton::Enter(Qt::MouseButtons held) {
  m_tracking = 1;
  m_pressed = (held & Qt::LeftButton) ? 1 : 0;
  m_hovering = 1;
  m_frame = m_pressed ? kSunken : kRaised;
  repaint();
}

void CImageButton::Leave() {
  m_tracking = 0;
  m_frame = kFlat;
  m_pressed = 0;
  m_hovering = 0;
  repaint();
}

void CImageButton::Click() {
  // The command number is taken first: a receiver may change it, or delete
  // the button, in reply to the signal.
  const unsigned id = m_commandId;
  SetChecked(!m_checkState);
  HandFocusOn();
  emit command(id);
}

void CImageButton::enterEvent(QEnterEvent*) {
  if (!(m_tracking && m_frame != kFlat)) Enter(QGuiApplication::mouseButtons());
}

void CImageButton::leaveEvent(QEvent*) { Leave(); }

void CImageButton::mouseMoveEvent(QMouseEvent* event) {
  // While a button is held Qt sends the moves here even outside the
  // button, and its leave only after the release: leaving is noticed here.
  if (!rect().contains(event->position().toPoint())) {
    if (m_tracking || m_hovering || m_pressed || m_frame != kFlat) Leave();
    return;
  }
  // After a click the frame is flat: the next move raises it again.
  if (!(m_tracking && m_frame != kFlat)) Enter(event->buttons());
}

void CImageButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  m_pressed = 1;
  m_hovering = 0;
  HandFocusOn();
  repaint();
}

void CImageButton::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  m_pressed = 1;
  HandFocusOn();
  repaint();
}

void CImageButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  // Released away from the button (Qt delivers it here all the same): no
  // click, as if the pointer had left first.
  if (!rect().contains(event->position().toPoint())) {
    if (m_tracking || m_hovering || m_pressed || m_frame != kFlat) Leave();
    return;
  }
  m_pressed = 0;
  m_hovering = 1;
  Click();
}

void CImageButton::focusInEvent(QFocusEvent* event) {
  QAbstractButton::focusInEvent(event);
  HandFocusOn();
}

void CImageButton::focusOutEvent(QFocusEvent* event) {
  m_frame = kFlat;
  m_hovering = 0;
  QAbstractButton::focusOutEvent(event);
  repaint();
}

// Keys are not the button's: they go on to its parent.
void CImageButton::keyPressEvent(QKeyEvent* event) { event->ignore(); }
void CImageButton::keyReleaseEvent(QKeyEvent* event) { event->ignore(); }

void CImageButton::DrawImage(QPainter& painter, const QRect& content, int index) const {
  const int imageWidth = ImageWidth();
  const int width = std::min(imageWidth, content.width());
  if (width <= 0 || content.height() <= 0) return;
  const int bitmapHeight = BitmapHeight();
  // Centred vertically; of a bitmap taller than the content its middle part.
  int destY = content.top() + (content.height() - bitmapHeight) / 2;
  int sourceY = 0;
  int height = bitmapHeight;
  if (bitmapHeight > content.height()) {
    destY = content.top();
    sourceY = (bitmapHeight - content.height()) / 2;
    height = content.height();
  }
  const int sourceX = index < m_imagesPerStrip ? index * imageWidth : 0;

  // The image is combined with the background by AND, so its white parts let
  // the background through; transparent parts count as white. It is composed
  // at the canvas's pixel density, from the strip's pixels at its own.
  const qreal canvasRatio = painter.device()->devicePixelRatioF();
  const qreal stripRatio = m_bitmap.devicePixelRatio();
  QImage image(QSize(width, height) * canvasRatio, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(canvasRatio);
  image.fill(Qt::white);
  {
    QPainter composer(&image);
    composer.setRenderHint(QPainter::SmoothPixmapTransform);
    composer.drawPixmap(QRectF(0, 0, width, height), m_bitmap,
                        QRectF(sourceX * stripRatio, sourceY * stripRatio, width * stripRatio, height * stripRatio));
  }
  painter.save();
  painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
  painter.drawImage(content.left(), destY, image);
  painter.restore();
}

void CImageButton::paintEvent(QPaintEvent*) {
  const QRect item = rect();
  const QPalette& colours = palette();
  // Composed off-screen over the bar's background, then copied at once: the
  // AND of the image needs a surface that supports raster operations.
  const qreal ratio = devicePixelRatioF();
  QImage canvas(item.size() * ratio, QImage::Format_ARGB32_Premultiplied);
  canvas.setDevicePixelRatio(ratio);
  canvas.fill(colours.color(QPalette::Button));

  int index = 0;
  {
    QPainter painter(&canvas);
    m_pushLike = m_pushLikeStyle ? 1 : 0;
    if (m_pushLike && m_checkState == 1) m_frame = kSunken;
    if (m_disabledLook) m_frame = kFlat;

    const QColor flat = colours.color(QPalette::Button);
    const QColor shadow = colours.color(QPalette::Dark);
    const QColor highlight = colours.color(QPalette::Light);
    if (m_frame == kSunken)
      Draw3dRect(painter, item, shadow, highlight);
    else if (m_frame == kRaised)
      Draw3dRect(painter, item, highlight, shadow);
    else
      Draw3dRect(painter, item, flat, flat);

    QRect content = item.adjusted(5, 2, -5, -2);
    const QColor captionColour = colours.color(QPalette::WindowText);
    if (m_pushLike && m_checkState == 1) index = 3;
    if (m_disabledLook) {
      index = 1;
    } else if (m_pressed) {
      index = 2;
      content.translate(1, 1);
    }

    QRect captionRect = content;
    if (!m_bitmap.isNull()) {
      DrawImage(painter, content, index);
      captionRect.setLeft(content.left() + ImageWidth() + 5);
    }

    painter.setFont(font());
    if (m_disabledLook) {
      // Embossed grey: a light copy one pixel down and right, the shadow
      // colour in place.
      painter.setPen(highlight);
      painter.drawText(captionRect.translated(1, 1), kCaptionFlags, text());
      painter.setPen(shadow);
      painter.drawText(captionRect, kCaptionFlags, text());
    } else {
      painter.setPen(captionColour);
      painter.drawText(captionRect, kCaptionFlags, text());
    }
  }
  m_imageIndex = index;
  QPainter(this).drawImage(0, 0, canvas);
}

}  // namespace lumaset
