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

class QStatusBar;

namespace lumaset {

class CGradientProgressCtrl;
class CImageButton;
class CLumasetDoc;
class CLumasetView;
class HandOffServer;
class QtOperator;

// What the command line holds: the file name (first plain argument) and the
// number after the last space.
struct CommandLine {
  QString fileName;
  int32_t number = 0;
};
// The number after the last space of the raw command line, skipping as many
// characters as the file name has (leading digits; none gives 0).
int32_t CommandLineNumber(const QString& rawCommandLine, const QString& fileName);
// The raw command line of a process started with these arguments (program
// name excluded): the arguments joined by spaces, those with spaces quoted.
QString RawCommandLine(const QStringList& arguments);

class CLumasetApp : public QApplication {
  Q_OBJECT

 public:
  CLumasetApp(int& argc, char** argv);
  ~CLumasetApp() override;

  // The program's one application object.
  static CLumasetApp* Instance();

  // Start-up: true to run the event loop, false to end the program.
  bool InitInstance();
  bool InitInstance(const QStringList& arguments);
  // The first instance's part of the start-up, after the lock was taken:
  // language, document, frame and view, the file of the command line.
  bool StartFirstInstance(const CommandLine& commandLine);
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
  // Whether this process found another instance running and handed its
  // command line over.
  bool IsSecondInstance() const { return m_secondInstance; }
  // Whether that hand-off failed (no running window, a name too long).
  bool HandOffFailed() const { return m_handOffFailed; }

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
  // The second start: hands the command line to the running instance.
  void HandToRunningInstance(const CommandLine& commandLine);
  void InstallIdleStep();
  // The window-class channel a second start reaches this instance by.
  void StartHandOffServer();
  void InstallQuitSignals();

  std::unique_ptr<platform::InstanceLock> m_instanceLock;  // held for the process's life
  std::unique_ptr<QtOperator> m_operator;
  std::unique_ptr<HandOffServer> m_handOffServer;
  std::unique_ptr<CLumasetDoc> m_document;
  QPointer<CMainFrame> m_frame;
  QString m_savePath;  // where the receive log was last saved
  bool m_secondInstance = false;
  bool m_handOffFailed = false;
  long m_idleCount = 0;
  bool m_idleScheduled = false;
  bool m_idleInstalled = false;
};

}  // namespace lumaset
