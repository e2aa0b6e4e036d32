// The program's one top-level window: the menu and accelerators of the
// language library, the command bar of eight bitmap buttons along the top,
// the view in the middle and a one-pane status bar with the download
// progress bar laid over it.
#pragma once

#include <QMainWindow>
#include <QPointer>

#include <cstdint>
#include <vector>

class QFrame;
class QLabel;
class QMenu;
class QShortcut;
class QStatusBar;
class QToolBar;

namespace lumaset {

class CGradientProgressCtrl;
class CImageButton;
class CLumasetApp;
class CLumasetDoc;
class CLumasetView;

constexpr int kFrameWidth = 560;
constexpr int kFrameHeight = 480;

// The state of one command for a menu item or an accelerator: enabled, and
// a check mark when `checkSet`.
struct CommandState {
  unsigned id = 0;
  bool enabled = false;
  bool checkSet = false;
  bool checked = false;
  void Enable(bool on) { enabled = on; }
  void SetCheck(bool on) {
    checkSet = true;
    checked = on;
  }
};

// The bar of eight bitmap buttons, built from dialog template 104.
class CCommandBar : public QWidget {
  Q_OBJECT

 public:
  explicit CCommandBar(QWidget* parent);
  // Builds the controls of the template; false when the template is missing
  // or lacks a button.
  bool Create();
  // Binds the eight buttons, loads their bitmaps, gives all but the connect
  // button the disabled look and stores them in the application object.
  virtual bool OnInitDialog(CLumasetApp* app);
  CImageButton* Button(unsigned controlId) const;
  // The captions of the buttons from template 104 of the current library.
  void LoadCaptions();

 signals:
  void command(unsigned id);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // A right click over the bar opens the frame's context menu.
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  std::vector<CImageButton*> buttons_;
};

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(CLumasetApp* app);
  ~CMainFrame() override;

  // The window-creation step: menu, accelerators, icon, command bar, status
  // bar, progress control and the view of `document`. False when a resource
  // is missing (the program then ends).
  bool Create(CLumasetDoc* document);
  // Window destruction: the view's part first (links closed), then the
  // frame's.
  void DestroyWindow();

  void OnUpdateFrameTitle();
  // Command 32781: the other language; menu, accelerators, title and pane 0
  // follow, the command bar stays.
  void OnLanguageSwitch();
  // Message 1239, passed on to the view.
  int OnHandOffMessage(uint32_t first, uint32_t second);

  // Every command from the menus, the accelerators and the command bar.
  void RouteCommand(unsigned id);
  // The state of a command as a menu item shows it.
  CommandState CommandStateOf(unsigned id) const;

  void SetPaneText(int pane, const QString& text);
  QString PaneText(int pane) const;
  // What the last command or link change came to, beside pane 0; it stays
  // until the next one.
  void SetResultText(const QString& text);
  QString ResultText() const;
  // Closes without asking about a running transfer (a quit signal).
  void ForceClose();
  QStatusBar* StatusBar() const { return m_statusBar; }
  CGradientProgressCtrl* Progress() const { return m_progress; }
  CCommandBar* CommandBar() const { return m_commandBar; }
  CLumasetView* View() const { return m_view; }
  // The context menu of the frame (sub-menu 3), built fresh.
  QMenu* BuildContextMenu();
  void ShowContextMenu(const QPoint& globalPos);
  // Shows a popup menu whose items are updated and routed as the frame's
  // own (the view's context menu uses it too); deletes it afterwards.
  void TrackPopupMenu(QMenu* menu, const QPoint& globalPos);

  // Members, in this order.
  CGradientProgressCtrl* m_progress = nullptr;
  CCommandBar* m_commandBar = nullptr;
  QStatusBar* m_statusBar = nullptr;
  CLumasetApp* m_app = nullptr;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Menu 128 and accelerator table 128 of the current library.
  bool LoadFrameMenu();
  void LoadAccelerators();
  void ConnectMenu(QMenu* menu);
  void UpdateMenu(QMenu* menu);
  void FillRecentFiles(QMenu* menu, QAction* placeholder);
  void PlaceProgress();
  void ApplyFixedSize(bool fixed);
  void ToggleStatusBar();
  // Texts of the current library that widgets keep: the status bar's name.
  void LoadTexts();
  // Whether the operator lets a running transfer or search end with the window.
  bool ConfirmClose();
  // Closes the open popup menus and modal dialogs, each with its safe answer
  // (a box through its escape button); false when there was none.
  bool CloseModalWindows();

  QToolBar* m_barHolder = nullptr;
  QLabel* m_pane0 = nullptr;
  QLabel* m_result = nullptr;
  QFrame* m_resultLine = nullptr;
  CLumasetView* m_view = nullptr;
  std::vector<QShortcut*> m_accelerators;
  bool m_closeRequested = false;
  bool m_closeAfterModal = false;
  bool m_forceClose = false;
};

}  // namespace lumaset
