#include "ui/baud_search_dlg.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QFrame>
#include <QPainter>
#include <QTimerEvent>

#include <map>

#include "app/resource_ui.h"
#include "link/link_events.h"
#include "resources/resource_ids.h"

namespace lumaset {
namespace {

constexpr int kBlinkMs = 200;
// Which colour the next blink gives, for every search window of the process.
bool g_blinkRed = true;

// The text area: a framed rectangle whose content the window paints.
class BaudTextArea : public QFrame {
 public:
  BaudTextArea(CBaudSearchDlg* owner, QWidget* parent) : QFrame(parent), owner_(owner) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    QPainter painter(this);
    owner_->PaintLine(painter, contentsRect());
  }

 private:
  CBaudSearchDlg* owner_;
};

}  // namespace

CBaudSearchDlg::CBaudSearchDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("baudSearch"));
  setModal(false);
}

CBaudSearchDlg::~CBaudSearchDlg() {
  if (m_timerId) killTimer(m_timerId);
}

int CBaudSearchDlg::CreateModeless(platform::IEventTarget* viewWindow) {
  m_viewWindow = viewWindow;
  std::map<unsigned, QWidget*> controls;
  const bool built = resui::BuildDialog(this, res::kDlgBaudSearch, &controls,
                                        [this](const LumasetControl& control, QWidget* parent) -> QWidget* {
                                          if (control.id != res::kIdBaudText) return nullptr;
                                          return new BaudTextArea(this, parent);
                                        });
  if (!built) return 0;
  m_textArea = controls[res::kIdBaudText];
  m_stopButton = qobject_cast<QAbstractButton*>(controls[res::kIdStop]);
  if (m_stopButton) connect(m_stopButton, &QAbstractButton::clicked, this, &CBaudSearchDlg::OnStop);
  m_created = true;
  m_timerId = startTimer(kBlinkMs);
  return 1;
}

void CBaudSearchDlg::LoadTexts() {
  const LumasetDialog* dialog = resui::FindDialog(res::kDlgBaudSearch);
  if (!m_created || !dialog) return;
  setWindowTitle(QString::fromUtf8(dialog->caption ? dialog->caption : ""));
  if (m_stopButton) m_stopButton->setText(resui::ControlCaption(res::kDlgBaudSearch, res::kIdStop));
}

QString CBaudSearchDlg::Line() const { return QString::asprintf("Searching at %d Baud ...", m_rate); }

QFont CBaudSearchDlg::FittingFont(const QString& line, const QSize& area, const QFont& base) {
  // As high as the area allows (less 2 pixels), italic, and as wide as the
  // area divided among the characters of the line: stretched or narrowed
  // until the line fills the width.
  QFont font = base;
  font.setItalic(true);
  font.setStretch(QFont::Unstretched);
  int pixels = std::max(1, area.height() - 2);
  font.setPixelSize(pixels);
  while (pixels > 1 && QFontMetrics(font).height() > area.height() - 2) font.setPixelSize(--pixels);
  const int natural = QFontMetrics(font).horizontalAdvance(line);
  if (natural > 0 && !line.isEmpty()) {
    const int stretch = std::clamp(100 * area.width() / natural, 1, 4000);
    font.setStretch(stretch);
    // Stretching is not exactly linear; one correction brings it within a
    // few pixels.
    const int second = QFontMetrics(font).horizontalAdvance(line);
    if (second > 0) font.setStretch(std::clamp(stretch * area.width() / second, 1, 4000));
    while (font.stretch() > 1 && QFontMetrics(font).horizontalAdvance(line) > area.width())
      font.setStretch(font.stretch() - 1);
  }
  return font;
}

void CBaudSearchDlg::PaintLine(QPainter& painter, const QRect& area) const {
  const QString line = Line();
  painter.save();
  painter.setFont(FittingFont(line, area.size(), font()));
  painter.setPen(m_textColour);
  painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, line);
  painter.restore();
}

void CBaudSearchDlg::ShowRate(int rate) {
  m_rate = rate;
  if (!m_created) return;
  if (!m_shown) {
    // Centred over the window that owns it, then shown.
    if (QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr) {
      const QRect frame = owner->frameGeometry();
      move(frame.center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
    update();
    m_shown = 1;
  } else {
    update();
    if (m_textArea) m_textArea->update();
  }
}

void CBaudSearchDlg::HideWindow() {
  if (!m_shown) return;
  hide();
  m_shown = 0;
}

void CBaudSearchDlg::OnStop() {
  if (m_viewWindow) m_viewWindow->Post(WM_LINK_EVENT, LE_BAUD_STOP, 0);
  HideWindow();
}

void CBaudSearchDlg::reject() {
  if (m_shown)
    OnStop();
  else
    hide();
}

void CBaudSearchDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() != m_timerId) return QDialog::timerEvent(event);
  m_textColour = g_blinkRed ? QColor(255, 0, 0) : QColor(0, 0, 255);
  g_blinkRed = !g_blinkRed;
  update();
  if (m_textArea) m_textArea->update();
}

}  // namespace lumaset
