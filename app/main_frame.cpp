#include "app/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFrame>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include "app/lumaset_app.h"
#include "app/resource_ui.h"
#include "link/messages.h"
#include "resources/resource_ids.h"
#include "ui/gradient_progress.h"
#include "ui/handoff.h"
#include "ui/image_button.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

namespace lumaset {
namespace {

// The eight buttons of the command bar: control, bitmap, application member.
struct BarButton {
  unsigned control;
  unsigned bitmap;
  CImageButton* CLumasetApp::*member;
};
constexpr BarButton kBarButtons[] = {
    {res::kIdConnect, res::kBmpConnect, &CLumasetApp::m_connectButton},
    {res::kIdSystemProgram, res::kBmpSystemProgram, &CLumasetApp::m_systemButton},
    {res::kIdSystemProgramFast, res::kBmpSystemProgramFast, &CLumasetApp::m_systemButtonFast},
    {res::kIdUserProgram, res::kBmpUserProgram, &CLumasetApp::m_userButton},
    {res::kIdUserProgramFast, res::kBmpUserProgramFast, &CLumasetApp::m_userButtonFast},
    {res::kIdStop, res::kBmpStop, &CLumasetApp::m_stopButton},
    {res::kIdHostCommand3, res::kBmpHostCommand3, &CLumasetApp::m_command3Button},
    {res::kIdTouchProgram, res::kBmpTouchProgram, &CLumasetApp::m_touchButton},
};

constexpr const char* kRecentEntryProperty = "lumasetRecentEntry";

bool IsRecentCommand(unsigned id) { return id >= res::kCmdMruFirst && id < res::kCmdMruFirst + res::kMruCount; }

// A status-bar text that takes the room it is given and ends in "..." where
// it does not fit; the whole text stays its accessible text and tooltip.
class ElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
  QSize sizeHint() const override { return {0, QLabel::sizeHint().height()}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
  }
};

}  // namespace

// ---- command bar -----------------------------------------------------------

CCommandBar::CCommandBar(QWidget* parent) : QWidget(parent) { setObjectName(QStringLiteral("101")); }

bool CCommandBar::Create() {
  std::map<unsigned, QWidget*> controls;
  const bool built = resui::BuildDialog(
      this, res::kDlgCommandBar, &controls, [](const LumasetControl& control, QWidget* parent) -> QWidget* {
        if (std::string(control.kind) != "button" || !(control.style & LUMASET_STYLE_OWNERDRAW)) return nullptr;
        auto* button = new CImageButton(control.id, parent);
        button->setText(QString::fromUtf8(control.caption ? control.caption : ""));
        button->SetPushLikeStyle((control.style & LUMASET_STYLE_PUSHLIKE) != 0);
        return button;
      });
  if (!built) return false;
  for (const BarButton& b : kBarButtons) {
    auto* button = qobject_cast<CImageButton*>(controls[b.control]);
    if (!button) return false;
    buttons_.push_back(button);
  }
  return true;
}

bool CCommandBar::OnInitDialog(CLumasetApp* app) {
  for (const BarButton& b : kBarButtons) {
    CImageButton* button = Button(b.control);
    if (!button) return false;
    button->LoadBitmaps(b.bitmap, 2);
    if (b.control != res::kIdConnect) button->SetEnabledLook(0);
    connect(button, &CImageButton::command, this, &CCommandBar::command);
    if (app) app->*(b.member) = button;
  }
  return true;
}

void CCommandBar::LoadCaptions() {
  for (const BarButton& b : kBarButtons)
    if (CImageButton* button = Button(b.control)) {
      const QString caption = resui::ControlCaption(res::kDlgCommandBar, b.control);
      if (!caption.isEmpty()) button->setText(caption);
    }
}

void CCommandBar::contextMenuEvent(QContextMenuEvent* event) {
  if (auto* frame = qobject_cast<CMainFrame*>(window())) frame->ShowContextMenu(event->globalPos());
  event->accept();
}

CImageButton* CCommandBar::Button(unsigned controlId) const {
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (kBarButtons[i].control == controlId) return buttons_[i];
  return nullptr;
}

void CCommandBar::paintEvent(QPaintEvent*) {
  // The bar's bottom border.
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawLine(0, height() - 1, width(), height() - 1);
}

// ---- frame -----------------------------------------------------------------

CMainFrame::CMainFrame(CLumasetApp* app) : m_app(app) {
  setObjectName(QString::fromLatin1(kWindowClassName));
  setAttribute(Qt::WA_DeleteOnClose, false);
}

CMainFrame::~CMainFrame() { CImageButton::SetFocusTarget(nullptr); }

bool CMainFrame::Create(CLumasetDoc* document) {
  // The window class: icon and cursor 128 of the language library, a fixed
  // size of 560 x 480 that dragging cannot change.
  bool cursorFound = false;
  const QCursor cursor = resui::Cursor(res::kMainResource, &cursorFound);
  if (cursorFound) setCursor(cursor);
  const QIcon icon = resui::Icon(res::kMainResource);
  if (!icon.isNull()) {
    setWindowIcon(icon);
    QApplication::setWindowIcon(icon);
  }
  ApplyFixedSize(true);

  // 1. The frame: menu and accelerators 128, the title.
  if (!LoadFrameMenu()) return false;
  LoadAccelerators();
  OnUpdateFrameTitle();

  // 2. The command bar, docked at the top.
  m_commandBar = new CCommandBar(this);
  if (!m_commandBar->Create() || !m_commandBar->OnInitDialog(m_app)) return false;
  connect(m_commandBar, &CCommandBar::command, this, &CMainFrame::RouteCommand);
  m_barHolder = new QToolBar(this);
  m_barHolder->setObjectName(QStringLiteral("commandBarHolder"));
  m_barHolder->setMovable(false);
  m_barHolder->setFloatable(false);
  m_barHolder->setContextMenuPolicy(Qt::PreventContextMenu);
  m_barHolder->setStyleSheet(QStringLiteral("QToolBar { border: 0px; padding: 0px; spacing: 0px; }"));
  m_barHolder->addWidget(m_commandBar);
  addToolBar(Qt::TopToolBarArea, m_barHolder);

  // 3. The status bar: one pane that takes the whole width, its first text
  // from string 32792.
  if (!resui::HasString(res::kStrStatusIndicator)) return false;
  m_statusBar = new QStatusBar(this);
  m_statusBar->setObjectName(QString::number(res::kIdStatusBar));
  m_statusBar->setSizeGripEnabled(false);
  m_pane0 = new QLabel(resui::String(res::kStrStatusIndicator), m_statusBar);
  m_pane0->setObjectName(QStringLiteral("pane0"));
  m_statusBar->addWidget(m_pane0);
  // Beside it, behind a line, what the last command or link change came to.
  m_resultLine = new QFrame(m_statusBar);
  m_resultLine->setFrameShape(QFrame::VLine);
  m_resultLine->setFrameShadow(QFrame::Sunken);
  m_resultLine->hide();
  m_statusBar->addWidget(m_resultLine);
  m_result = new ElidedLabel(m_statusBar);
  m_result->setObjectName(QStringLiteral("result"));
  m_statusBar->addWidget(m_result, 1);
  setStatusBar(m_statusBar);
  LoadTexts();

  // 4. The progress bar over the whole status bar, hidden until a transfer
  // reports progress.
  m_progress = new CGradientProgressCtrl(m_statusBar);
  m_progress->setObjectName(QString::number(res::kIdProgress));
  m_progress->SetRange(0, 1000);
  m_progress->SetStep(1);
  m_progress->startColour = QColor(255, 0, 0);
  m_progress->endColour = QColor(200, 0, 255);
  m_progress->backgroundColour = QColor(200, 200, 200);
  m_progress->textColour = QColor(255, 255, 0);
  m_progress->showPercentage = 1;
  m_progress->hide();
  m_statusBar->installEventFilter(this);
  PlaceProgress();

  // 5. The application reaches them from here on.
  m_app->m_progress = m_progress;
  m_app->m_statusBar = m_statusBar;

  // The view fills the client area.
  m_view = new CLumasetView(document, this);
  setCentralWidget(m_view);
  if (!m_view->OnCreate()) return false;
  CImageButton::SetFocusTarget(m_view);
  m_view->setFocus();

  // 6. Centred on the screen.
  if (QScreen* screen = QApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kFrameWidth / 2, kFrameHeight / 2));
  }
  return true;
}

void CMainFrame::DestroyWindow() {
  if (m_view) m_view->OnDestroy();
}

void CMainFrame::ApplyFixedSize(bool fixed) {
  if (fixed) {
    setFixedSize(kFrameWidth, kFrameHeight);
  } else {
    setMinimumSize(kFrameWidth, kFrameHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }
}

void CMainFrame::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Maximized by the window manager (or full screen) the frame takes the
  // screen; back to normal it has its fixed size again.
  if (event->type() == QEvent::WindowStateChange)
    ApplyFixedSize(!(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)));
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_statusBar && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) PlaceProgress();
  return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::PlaceProgress() {
  if (m_progress && m_statusBar) {
    m_progress->setGeometry(m_statusBar->rect());
    m_progress->raise();
  }
}

void CMainFrame::OnUpdateFrameTitle() { setWindowTitle(resui::String(res::kStrFrameTitle)); }

void CMainFrame::LoadTexts() {
  if (m_statusBar) m_statusBar->setAccessibleName(resui::String(res::kStrStatusBarName));
}

bool CMainFrame::LoadFrameMenu() {
  QMenuBar* bar = menuBar();
  if (!resui::BuildMenuBar(bar, res::kMainResource)) return false;
  for (QAction* top : bar->actions())
    if (QMenu* menu = top->menu()) ConnectMenu(menu);
  return true;
}

void CMainFrame::ConnectMenu(QMenu* menu) {
  connect(menu, &QMenu::aboutToShow, this, [this, menu] { UpdateMenu(menu); });
  for (QAction* action : menu->actions()) {
    if (QMenu* sub = action->menu()) {
      ConnectMenu(sub);
      continue;
    }
    const unsigned id = resui::CommandOf(action);
    if (!id) continue;
    // Queued: the command runs after the menu has closed, so it may rebuild
    // the menus (the language switch) or open a dialog.
    connect(action, &QAction::triggered, this, [this, id] { RouteCommand(id); }, Qt::QueuedConnection);
  }
}

void CMainFrame::LoadAccelerators() {
  for (QShortcut* s : m_accelerators) delete s;
  m_accelerators.clear();
  for (const resui::Accelerator& a : resui::Accelerators(res::kMainResource)) {
    auto* shortcut = new QShortcut(a.keys, this);
    shortcut->setContext(Qt::WindowShortcut);
    const unsigned id = a.command;
    // An accelerator sends its command only when its menu item would be
    // enabled.
    connect(shortcut, &QShortcut::activated, this, [this, id] {
      if (CommandStateOf(id).enabled) RouteCommand(id);
    });
    m_accelerators.push_back(shortcut);
  }
}

void CMainFrame::UpdateMenu(QMenu* menu) {
  QAction* recentPlaceholder = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->property(kRecentEntryProperty).toBool()) continue;
    if (resui::CommandOf(action) == res::kCmdMruFirst) recentPlaceholder = action;
  }
  if (recentPlaceholder) FillRecentFiles(menu, recentPlaceholder);
  for (QAction* action : menu->actions()) {
    const unsigned id = resui::CommandOf(action);
    if (!id || action->menu()) continue;
    const CommandState state = CommandStateOf(id);
    action->setEnabled(state.enabled);
    if (state.checkSet) {
      action->setCheckable(true);
      action->setChecked(state.checked);
    }
  }
}

void CMainFrame::FillRecentFiles(QMenu* menu, QAction* placeholder) {
  for (QAction* action : menu->actions())
    if (action->property(kRecentEntryProperty).toBool()) {
      menu->removeAction(action);
      action->deleteLater();
    }
  const QStringList files = m_app ? m_app->RecentFiles() : QStringList();
  placeholder->setVisible(files.isEmpty());
  placeholder->setText(resui::String(res::kStrRecentEmpty));
  for (int i = 0; i < files.size(); ++i) {
    QString name = files[i];
    name.replace(QLatin1Char('&'), QStringLiteral("&&"));
    auto* action = new QAction(QStringLiteral("&%1 %2").arg(i + 1).arg(name), menu);
    action->setData(res::kCmdMruFirst + i);
    action->setProperty(kRecentEntryProperty, true);
    action->setToolTip(files[i]);
    const unsigned id = res::kCmdMruFirst + i;
    connect(action, &QAction::triggered, this, [this, id] { RouteCommand(id); }, Qt::QueuedConnection);
    menu->insertAction(placeholder, action);
  }
}

CommandState CMainFrame::CommandStateOf(unsigned id) const {
  CommandState state;
  state.id = id;
  // Enabled when something handles the command; the view then decides on
  // the commands it knows.
  bool handled = CLumasetView::HasCommandHandler(id);
  switch (id) {
    case res::kCmdFileSave:
    case res::kCmdFileSaveAs:
    case res::kCmdLanguage:
    case res::kCmdViewStatusBar:
    case res::kCmdAppAbout:
    case res::kCmdAppExit: handled = true; break;
    default:
      if (IsRecentCommand(id) && m_app) handled = id - res::kCmdMruFirst < static_cast<unsigned>(m_app->RecentFiles().size());
      break;
  }
  state.enabled = handled;
  if (m_view) m_view->UpdateMenuItem(&state);
  return state;
}

void CMainFrame::RouteCommand(unsigned id) {
  if (m_view && m_view->OnCommand(id)) return;
  switch (id) {
    case res::kCmdFileSave:
      if (m_app) m_app->OnFileSave(false);
      return;
    case res::kCmdFileSaveAs:
      if (m_app) m_app->OnFileSave(true);
      return;
    case res::kCmdLanguage: OnLanguageSwitch(); return;
    case res::kCmdViewStatusBar: ToggleStatusBar(); return;
    case res::kCmdAppAbout:
      if (m_app) m_app->OnAppAbout();
      return;
    case res::kCmdAppExit: close(); return;
    default:
      if (IsRecentCommand(id) && m_app) m_app->OpenRecentFile(static_cast<int>(id - res::kCmdMruFirst));
      return;
  }
}

void CMainFrame::ToggleStatusBar() {
  if (m_statusBar) m_statusBar->setVisible(m_statusBar->isHidden());
}

void CMainFrame::OnLanguageSwitch() {
  if (!m_app) return;
  if (!m_app->LoadLanguage(m_app->CurrentLanguage() == 0 ? 1 : 0)) return;
  LoadFrameMenu();
  LoadAccelerators();
  OnUpdateFrameTitle();
  // Everything built from the library changes with it: the bar's captions
  // and the texts that widgets keep.
  if (m_commandBar) m_commandBar->LoadCaptions();
  LoadTexts();
  if (m_view) {
    m_view->OnLanguageChanged();
    m_view->RefreshControls();
  }
}

int CMainFrame::OnHandOffMessage(uint32_t first, uint32_t second) {
  if (m_app && m_app->m_view) return m_app->m_view->OnHandOff(first, second);
  return 0;
}

void CMainFrame::SetPaneText(int pane, const QString& text) {
  if (pane != 0 || !m_pane0) return;
  m_pane0->setText(text);
  m_pane0->repaint();
}

QString CMainFrame::PaneText(int pane) const { return pane == 0 && m_pane0 ? m_pane0->text() : QString(); }

void CMainFrame::SetResultText(const QString& text) {
  if (!m_result) return;
  m_result->setText(text);
  m_result->setToolTip(text);
  if (m_resultLine) m_resultLine->setVisible(!text.isEmpty());
}

QString CMainFrame::ResultText() const { return m_result ? m_result->text() : QString(); }

QMenu* CMainFrame::BuildContextMenu() { return resui::BuildPopupMenu(res::kMainResource, res::kFrameContextSubmenu, this); }

void CMainFrame::TrackPopupMenu(QMenu* menu, const QPoint& globalPos) {
  if (!menu) return;
  ConnectMenu(menu);
  menu->exec(globalPos);
  menu->deleteLater();
}

void CMainFrame::ShowContextMenu(const QPoint& globalPos) { TrackPopupMenu(BuildContextMenu(), globalPos); }

void CMainFrame::contextMenuEvent(QContextMenuEvent* event) {
  ShowContextMenu(event->globalPos());
  event->accept();
}

bool CMainFrame::CloseModalWindows() {
  bool closed = false;
  // Popup menus close one at a time, innermost first.
  for (int i = 0; i < 8; ++i) {
    QWidget* popup = QApplication::activePopupWidget();
    if (!popup) break;
    popup->close();
    closed = true;
  }
  // Every modal dialog at once: the ones below the top one return from
  // their own loops as the top one's returns.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog && dialog->isVisible() && dialog->isModal()) {
      dialog->reject();
      closed = true;
    }
  }
  return closed;
}

void CMainFrame::ForceClose() {
  m_forceClose = true;
  close();
}

bool CMainFrame::ConfirmClose() {
  if (!m_view) return true;
  unsigned question = 0;
  if (m_view->SerialLink().IsTransferring() || m_view->UsbLink().IsBusy())
    question = res::kStrConfirmCloseTransfer;
  else if (m_view->SerialLink().IsSearching())
    question = res::kStrConfirmCloseSearch;
  if (!question) return true;
  return ResourceMessageBox(m_view, question, res::kStrCaption,
                            platform::kMbYesNo | platform::kMbIconQuestion | platform::kMbDefButton2) ==
         platform::kIdYes;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  // A box or dialog is open (a quit signal, the session ending, a close from
  // elsewhere): it is closed with its safe answer (Cancel, No), and the close
  // is carried out once the call that opened it has returned.
  if (QApplication::activeModalWidget()) {
    event->ignore();
    if (!m_closeAfterModal && CloseModalWindows()) {
      m_closeAfterModal = true;
      QTimer::singleShot(0, this, [this] {
        m_closeAfterModal = false;
        close();
      });
    }
    return;
  }
  // A link call that runs the event loop (the TCP connect) is under way: it
  // is ended, and the close goes on once the call has returned.
  if (m_view && m_view->InLinkCall()) {
    event->ignore();
    if (!m_closeRequested) {
      m_closeRequested = true;
      connect(
          m_view, &CLumasetView::linkCallEnded, this,
          [this] {
            m_closeRequested = false;
            QTimer::singleShot(0, this, &QWidget::close);
          },
          Qt::SingleShotConnection);
      m_view->AbortLinkCall();
    }
    return;
  }
  // A running transfer or search ends with the window only when the operator
  // says so; a quit signal does not ask.
  if (!m_forceClose && !ConfirmClose()) {
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::quit();
}

}  // namespace lumaset
