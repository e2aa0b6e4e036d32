// The main view: owns the two links, carries out every operator command,
// keeps the command bar in step with the active link, and is the receive
// display in which the host's bytes appear as text or as hexadecimal.
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/reg_settings.h"
#include "link/link_settings.h"
#include "link/network_link.h"
#include "link/usb_link.h"
#include "platform/operator.h"
#include "resources/resource_ids.h"
#include "ui/baud_search_dlg.h"
#include "ui/receive_render.h"
#include "ui/receive_text.h"

class QStatusBar;

namespace lumaset {

class CLumasetApp;
class CLumasetDoc;
struct CommandState;

// Display updates are drawn at most this often while bytes stream in: a
// little more often than the serial watcher announces them (every 50 ms), so
// that each announcement is drawn as it comes, without waiting.
constexpr int kDisplayFlushMs = 40;

// A file-dialog filter: its names are strings of the language library (0
// ends the list), its patterns are fixed.
struct FileFilter {
  unsigned names[2];
  const char* patterns[2];
};
constexpr FileFilter kFilterSystemProgram = {{res::kStrFilterSystem, res::kStrFilterSystemAll}, {"*.pgs", "*.*"}};
constexpr FileFilter kFilterUserProgram = {{res::kStrFilterUser, res::kStrFilterUserAll}, {"*.pgu", "*.*"}};
constexpr FileFilter kFilterTouchProgram = {{res::kStrFilterTouch, res::kStrFilterTouchAll}, {"*.tps", "*.*"}};
constexpr FileFilter kFilterAnyFile = {{res::kStrFilterAny, 0}, {"*.*", nullptr}};
constexpr FileFilter kFilterImageFile = {{res::kStrFilterImage, res::kStrFilterImageAll}, {"*.bin;*.dat", "*.*"}};

// The file kinds of ChooseProgramFile.
enum ProgramKind : int { kSystemProgramFile = 0, kUserProgramFile = 1, kTouchProgramFile = 2 };

class CLumasetView : public CReceiveText, public platform::IEventTarget {
  Q_OBJECT

 public:
  CLumasetView(CLumasetDoc* document, QWidget* parent);
  ~CLumasetView() override;

  // Window creation: links given their target and opened, display set up,
  // the baud-search window created, the log rendered.
  bool OnCreate();
  // After the document was created or opened: downloads its file as a user
  // program with the command-line number as download mode.
  void OnInitialUpdate();
  // Opens the active link; runs once the window is shown, so that what the
  // open says appears over it and a network connect can be watched.
  void OpenActiveLink();
  // Window destruction: both links closed.
  void OnDestroy();
  // The interface language changed: texts the view's widgets keep.
  void OnLanguageChanged();

  // Commands: true when the view has a handler for `id` (and ran it).
  bool OnCommand(unsigned id);
  static bool HasCommandHandler(unsigned id);
  void UpdateMenuItem(CommandState* state) const;
  // Whether the operator may give command `id` now: the one rule behind the
  // buttons' looks, the menu items and the accelerators.
  bool CommandEnabled(unsigned id) const;

  QString ChooseProgramFile(int kind);
  void DownloadProgram(const QString& path, bool isSystem);
  int ToggleConnection();
  int SendHostCommand(int index);
  void RefreshControls();
  // The status display: pane 0 shows the text of a link status code.
  void StatusDisplay(QStatusBar* statusBar, uint32_t code);

  // Link events and the hand-off message.
  int OnLinkEvent(uint32_t code, uint32_t value);
  int OnHandOff(uint32_t first, uint32_t second);
  // IEventTarget: from any thread.
  void Post(uint32_t message, uint32_t first, uint32_t second) override;

  // The receive display.
  void AppendReceived();
  void ReRenderLog();
  void ClearDisplay();
  bool IsUpdateLocked() const { return m_updateLocked; }
  // Whether the next idle pass has display work (a flush not yet timed).
  bool WantsIdle() const { return m_updateLocked && !m_flushTimer.isActive(); }
  Q_INVOKABLE void IdleUnlock();
  // The display's line count for the line limit (DisplayLineCounter): of
  // everything shown since the last clear, drawn or still waiting, also of
  // text the display has let go at its character limit.
  qint64 DisplayLineCount() const { return m_lineCount.Lines(); }
  // What the display shows, with what is still waiting to be drawn.
  QString DisplayText() const;

  // A link call that runs the event loop is in progress (the TCP connect):
  // commands wait, and a close of the window is carried out after it.
  bool InLinkCall() const { return m_linkCallDepth > 0; }
  // Ends a connect in progress (the window is being closed).
  void AbortLinkCall();

  // State, for the frame and for tests.
  bool UsbActive() const { return m_record.port == 0; }
  bool IsConnected() const;
  bool IsBusy() const;
  // A transfer of either link runs.
  bool TransferRunning() const;
  CNetworkLink& SerialLink() { return m_serialLink; }
  CUsbLink& UsbLink() { return m_usbLink; }
  const LinkSettings& Record() const { return m_record; }
  LinkSettings& Record() { return m_record; }
  int HexDisplay() const { return m_hexDisplay; }
  uint32_t MaxLines() const { return m_maxLines; }
  CBaudSearchDlg* BaudSearchWindow() const { return m_baudSearchDlg; }

 signals:
  // A close of the window waited for a link call; it can go on now.
  void linkCallEnded();
  // Received text has just been drawn into the display.
  void displayFlushed();

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct LinkCall;  // counts m_linkCallDepth for the duration of a call
  void LoadSettings();
  void SaveSettings();
  void DownloadCommand(int mode, bool isSystem);
  void TouchProgramCommand();
  void StopCommand();
  void BaudSearchCommand();
  void SendFileCommand();
  void LoadImageFileCommand();
  void LinkSettingsCommand();
  void HostCommandCommand(unsigned id, int index);
  void ToggleHexDisplay();
  // Opens the serial-network link; over TCP the status bar says where it
  // connects to and the pointer shows the wait.
  int OpenSerialNetworkLink();
  // Where the TCP link connects to: "host:port".
  QString NetworkAddress() const;

  // The transfer the operator started last, to tell how it ended.
  struct Job {
    unsigned kind = 0;  // res::kStrJobSystem ... kStrJobFile; 0: none
    QString path;
    qint64 size = -1;
    QElapsedTimer started;
    bool stopRequested = false;
  };
  void BeginJob(unsigned kind, const QString& path);
  // A start that returned 0: when the link told the operator nothing, the
  // host did not take the announcement.
  void JobNotStarted(uint64_t boxesBefore);
  void JobFailed(uint32_t status);
  void JobDone(uint32_t bytes);
  QString JobName(const Job& job) const;
  uint64_t BoxesRaised() const;
  void ShowJobFailure(const Job& job, unsigned why, const QString& whyArg = {});
  // The result pane of the frame: what the last command came to.
  void ReportResult(const QString& text);

  // The active link's port went away: the link is closed, the operator told,
  // and the same device is looked for until it is back.
  void OnPortGone();
  void TryReconnect();
  void StopReconnecting();
  // "COM n (device)" for a COM number and the device it opened.
  static QString PortName(int port, const std::string& device);
  void SendTyped(const QString& text);
  // Shows a file dialog with a fixed filter; the chosen path or empty.
  QString OpenFileDialog(const FileFilter& filter, const QString& folderHint);
  // A file that is no regular file (a FIFO, a device) is refused with a
  // message: reading it could block the window.
  bool CheckRegularFile(const QString& path);
  void ShowFileMessage(unsigned textId, const QString& path, const QString& detail);
  void FlushDisplay();

  // Fields, in the order of construction.
  CNetworkLink m_serialLink;
  CUsbLink m_usbLink;
  std::string m_remoteHost;
  LinkSettings m_record;
  int m_hexDisplay = 0;
  bool m_updateLocked = false;
  uint32_t m_maxLines = 0;
  uint32_t m_changeProgramBaud = 0;
  QFont m_displayFont;
  std::unique_ptr<CRegSettings> m_settings;
  CLumasetApp* m_app = nullptr;
  CLumasetDoc* m_document = nullptr;
  QPointer<CBaudSearchDlg> m_baudSearchDlg;

  ReceiveRenderer m_renderer;
  QString m_pendingText;  // rendered, not yet in the display
  DisplayLineCounter m_lineCount;
  QElapsedTimer m_lastFlush;
  QTimer m_flushTimer;
  int m_linkCallDepth = 0;
  QString m_connectingText;  // pane 0 while a network connect runs
  Job m_job;
  // The device of the active link that went away, looked for every second
  // until it is back (the same COM number's same device, or the USB link).
  struct LostPort {
    bool usb = false;
    int port = 0;
    std::string device;
  };
  std::optional<LostPort> m_lost;
  QTimer m_reconnectTimer;
  QString m_lastFolder;  // folder of the last file chosen in a dialog
  bool m_created = false;
};

}  // namespace lumaset
