// The application object: start-up, single instance, language, the one
// document with its frame and view, the idle step and the exit step.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>

#include "app/main_frame.h"
#include "app/reg_settings.h"
#include "platform/language.h"
#include "platform/single_instance.h"
#include "ui/handoff.h"

class QStatusBar;

namespace lumaset {

class CGradientProgressCtrl;
class CImageButton;
class CLumasetDoc;
class CLumasetView;
class QtOperator;

// What the command line holds: the file name (first plain argument), as the
// bytes it was given, and the number after the last space.
struct CommandLine {
  std::string fileName;
  int32_t number = 0;
};
// The number after the last space of the raw command line, skipping as many
// characters as the file name has (leading digits with an optional sign; none
// gives 0).
int32_t CommandLineNumber(const QString& rawCommandLine, const QString& fileName);
// The raw command line of a process started with these arguments (program
// name excluded): the arguments joined by spaces, those with spaces quoted.
QString RawCommandLine(const QStringList& arguments);

// The window program's command line, read without any application object.
struct StartCommand {
  enum class Action { kRun, kHelp, kVersion, kUsageError } action = Action::kRun;
  CommandLine commandLine;
  std::string error;  // for kUsageError
};
// `arguments` are the program's, a byte a character (ArgumentsOf of
// app/native_bytes.h), program name first. Everything after the file name
// is a plain argument, so a negative number ("FILE -1") is the number.
StartCommand ParseStartCommand(const QStringList& arguments);
// For anything but kRun: prints the help, the version or the error as Qt's
// command-line parser does, on a QCoreApplication (no window system), and
// ends the process.
[[noreturn]] void FinishStartCommand(int argc, char** argv);

// The second start: hands the command line to the running instance (plain
// POSIX, no window-system object) and gives the exit status: 0 once the
// running window has taken the file (or the bare raise), else 1 with the
// reason on stderr.
int HandToRunningInstance(const CommandLine& commandLine);

// Before the window's application object exists: when no session bus is
// there to reach (none named in DBUS_SESSION_BUS_ADDRESS, no user bus
// "$XDG_RUNTIME_DIR/bus"), names none that can be reached ("disabled:"), so
// the session-bus lookup of Qt's accessibility bridge does not fall back to
// libdbus's X11 autolaunch: that runs dbus-launch to start a bus for the
// display (a daemon that outlives the window) and, where there is no
// dbus-launch, leaks the buffer it read the answer into, which a leak
// checker reports at every exit.
void UseOnlyARunningSessionBus();

// What the start-up decided about the single instance before the
// application object existed (the lock and the socket need no window
// system): the lock held for the process's life and the hand-off socket
// bound; or, when the lock or the runtime folder cannot be used, why (the
// window then opens without the hand-off and says so).
struct InstanceStart {
  std::unique_ptr<platform::InstanceLock> lock;
  HandOffSocket socket;
  std::string problem;
  std::string problemPath;
};
class CLumasetApp : public QApplication {
  Q_OBJECT

 public:
  CLumasetApp(int& argc, char** argv);
  ~CLumasetApp() override;

  // The program's one application object.
  static CLumasetApp* Instance();

  // What main() decided about the lock and the socket; without it the
  // first instance binds the socket itself (the window tests).
  void SetInstanceStart(InstanceStart start);
  // The first instance's part of the start-up, after the lock was taken:
  // language, document, frame and view, the file of the command line. True
  // to run the event loop, false to end the program.
  bool StartFirstInstance(const CommandLine& commandLine);
  // A quit signal (SIGINT, SIGTERM, SIGHUP) arrived: the program ends, also
  // when that happened before the event loop ran.
  bool QuitRequested() const { return m_quitRequested; }
  // Exit: writes the language, frees the library; returns the exit code.
  int ExitInstance();
  // Idle step, on every pass of the event loop that finds nothing to do.
  bool OnIdle(long count);

  bool LoadLanguage(int language);
  int CurrentLanguage() const { return m_language; }
  void OnAppAbout();

  // The framework's part: the document, its frame and view.
  CMainFrame* MainFrame() const { return m_frame; }
  CLumasetDoc* Document() const { return m_document.get(); }
  // Creates the frame and view for a new, empty document (no file).
  bool OnFileNew();
  // Opens `path` as the document (nothing is read from it), creating the
  // frame and view when needed, puts it on the recent-file list and runs the
  // view's initial update; false after showing why it cannot be opened.
  bool OpenDocumentFile(const QString& path);
  // The recent-file list (newest first, at most four entries).
  QStringList RecentFiles() const;
  void AddToRecentFileList(const QString& path);
  void RemoveFromRecentFileList(const QString& path);
  // Opens recent file `index` (0 newest) as the document.
  void OpenRecentFile(int index);
  // Destroys the frame and the view (links closed, settings saved).
  void DestroyMainFrame();
  // The document's save commands (57603, 57604): the receive log, raw. A
  // plain save asks for a name until the log has been saved once, so it
  // never writes over the program file the document was opened from.
  void OnFileSave(bool saveAs);

  QtOperator* Operator() const { return m_operator.get(); }
  HandOffServer* HandOff() const { return m_handOffServer.get(); }

  // Members of the application, in this order.
  CGradientProgressCtrl* m_progress = nullptr;
  CLumasetView* m_view = nullptr;
  CImageButton* m_connectButton = nullptr;
  CImageButton* m_systemButton = nullptr;
  CImageButton* m_systemButtonFast = nullptr;
  CImageButton* m_userButton = nullptr;
  CImageButton* m_userButtonFast = nullptr;
  CImageButton* m_stopButton = nullptr;
  CImageButton* m_command3Button = nullptr;
  CImageButton* m_touchButton = nullptr;
  QStatusBar* m_statusBar = nullptr;
  QString m_initialFileName;  // always empty
  int32_t m_commandLineNumber = 0;
  std::unique_ptr<platform::LanguageLibrary> m_library;
  std::unique_ptr<CRegSettings> m_languageSettings;
  int m_language = 0;

 private:
  void ClearPointers();
  bool CreateFrame();
  void InstallIdleStep();
  // The window-class channel a second start reaches this instance by; its
  // messages are held until the frame and the view exist. Not started when
  // the lock, the folder or the block cannot be used: the operator is told.
  void StartHandOffServer();
  void InstallQuitSignals();
  void OnQuitSignal();

  InstanceStart m_instance;  // the lock is held for the process's life
  std::unique_ptr<QtOperator> m_operator;
  std::unique_ptr<HandOffServer> m_handOffServer;
  std::unique_ptr<CLumasetDoc> m_document;
  QPointer<CMainFrame> m_frame;
  QString m_savePath;  // where the receive log was last saved
  bool m_quitRequested = false;
  long m_idleCount = 0;
  bool m_idleScheduled = false;
  bool m_idleInstalled = false;
};

}  // namespace lumaset
