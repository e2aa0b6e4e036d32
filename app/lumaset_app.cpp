#include "app/lumaset_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QDialog>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QSettings>
#include <QTimer>
#include <QTranslator>

#include <csignal>
#include <cstdio>

#include "app/main_frame.h"
#include "app/qt_signals.h"
#include "app/qt_ui_loop.h"
#include "app/resource_ui.h"
#include "app/settings.h"
#include "link/messages.h"
#include "resources/resource_ids.h"
#include "ui/handoff.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"
#include "ui/qt_operator.h"

namespace lumaset {
namespace {

constexpr const char* kCompanyKey = "Quendar";
constexpr const char* kRecentFileGroup = "Recent File List";

QTranslator* g_qtTranslator = nullptr;

}  // namespace

QString RawCommandLine(const QStringList& arguments) {
  QStringList words;
  for (const QString& a : arguments) words << (a.contains(QLatin1Char(' ')) ? QLatin1Char('"') + a + QLatin1Char('"') : a);
  return words.join(QLatin1Char(' '));
}

int32_t CommandLineNumber(const QString& rawCommandLine, const QString& fileName) {
  const QString rest = rawCommandLine.mid(fileName.size());
  const int space = rest.lastIndexOf(QLatin1Char(' '));
  if (space < 0) return 0;
  // Leading digits, with an optional sign, as a decimal number; none gives 0.
  const QByteArray text = rest.mid(space + 1).toLatin1();
  return static_cast<int32_t>(std::atoi(text.constData()));
}

CLumasetApp::CLumasetApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Lumaset"));
  setApplicationVersion(QStringLiteral(LUMASET_VERSION));
  setOrganizationName(QString::fromLatin1(kCompanyKey));
  // The frame ends the event loop itself once it may close.
  setQuitOnLastWindowClosed(false);
}

CLumasetApp::~CLumasetApp() {
  if (m_operator) {
    m_operator->Shutdown();
    platform::SetOperator(nullptr);
  }
  platform::SetCurrentLanguage(nullptr);
}

CLumasetApp* CLumasetApp::Instance() { return qobject_cast<CLumasetApp*>(QCoreApplication::instance()); }

bool CLumasetApp::InitInstance() { return InitInstance(arguments()); }

bool CLumasetApp::InitInstance(const QStringList& args) {
  // 1. The command line: the first plain argument is the file name.
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Loads a room controller with its programs, sends it commands and shows what it sends back."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A user program to download at once."));
  parser.addPositionalArgument(QStringLiteral("mode"), QStringLiteral("Its download mode (0 or 1)."));
  parser.process(args);
  CommandLine commandLine;
  commandLine.fileName = parser.positionalArguments().value(0);
  // 2. The number after the last space.
  commandLine.number = CommandLineNumber(RawCommandLine(args.mid(1)), commandLine.fileName);

  // 3. One instance per user.
  m_instanceLock = std::make_unique<platform::InstanceLock>();
  std::string lockError;
  if (m_instanceLock->Acquire(&lockError) != platform::LockResult::kFirst) {
    if (!lockError.empty()) std::fprintf(stderr, "lumaset: %s\n", lockError.c_str());
    m_secondInstance = true;
    HandToRunningInstance(commandLine);
    return false;
  }
  return StartFirstInstance(commandLine);
}

bool CLumasetApp::StartFirstInstance(const CommandLine& commandLine) {
  m_commandLineNumber = commandLine.number;
  m_language = 0;
  m_operator = std::make_unique<QtOperator>();
  platform::SetOperator(m_operator.get());
  UseQtUiLoop();
  StartHandOffServer();

  // 4. The language of the last run.
  m_languageSettings = std::make_unique<CRegSettings>(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine);
  LoadLanguage(static_cast<int>(LoadLanguageSetting(*m_languageSettings)));

  // 5-7. Sockets need no set-up here; the recent-file list lives in the
  // per-user settings of the company key.

  // 8-10. The document with its frame and view; a file on the command line
  // is opened as the document and downloaded as a user program.
  m_document = std::make_unique<CLumasetDoc>();
  const bool created = commandLine.fileName.isEmpty() ? OnFileNew() : OpenDocumentFile(commandLine.fileName);
  if (!created) return false;
  InstallIdleStep();
  InstallQuitSignals();
  return true;
}

void CLumasetApp::HandToRunningInstance(const CommandLine& commandLine) {
  // The name as it was written: the running instance resolves a relative
  // one against its own folder.
  std::string error;
  SendToRunningInstance(QFile::encodeName(commandLine.fileName).toStdString(), commandLine.number, &error);
  if (!error.empty()) {
    std::fprintf(stderr, "lumaset: %s\n", error.c_str());
    m_handOffFailed = true;
  }
}

void CLumasetApp::StartHandOffServer() {
  if (m_handOffServer) return;
  auto server = std::make_unique<HandOffServer>();
  server->SetRaiseHandler([this] {
    if (!m_frame) return;
    if (m_frame->isMinimized()) m_frame->showNormal();
    m_frame->show();
    m_frame->raise();
    m_frame->activateWindow();
  });
  server->SetMessageHandler([this](uint32_t message, uint32_t first, uint32_t second) {
    return message == kHandOffMessage && m_frame ? m_frame->OnHandOffMessage(first, second) : 0;
  });
  std::string error;
  if (!server->Listen(&error)) {
    // The program runs on; a second start just cannot reach it.
    std::fprintf(stderr, "lumaset: %s\n", error.c_str());
    return;
  }
  m_handOffServer = std::move(server);
}

bool CLumasetApp::CreateFrame() {
  auto* frame = new CMainFrame(this);
  if (!frame->Create(m_document.get())) {
    frame->DestroyWindow();
    delete frame;
    ClearPointers();
    return false;
  }
  m_frame = frame;
  if (m_operator) m_operator->SetMainWindow(frame);
  // Shown before the initial update, so that a question about the file on
  // the command line appears over the window.
  frame->show();
  frame->raise();
  frame->activateWindow();
  // The link opens once the window is there: a message about the port
  // appears over it, and a network connect shows where it goes.
  if (m_view) m_view->OpenActiveLink();
  return true;
}

bool CLumasetApp::OnFileNew() {
  if (!m_frame && !CreateFrame()) return false;
  m_document->SetPathName(QString());
  if (m_view) m_view->OnInitialUpdate();
  return true;
}

bool CLumasetApp::OpenDocumentFile(const QString& path) {
  QString error;
  const QString full = QFileInfo(path).absoluteFilePath();
  if (!m_document->Open(full, &error)) {
    FixedMessageBox(m_view, resui::String(res::kStrOpenFailed).arg(full, error).toStdString(),
                    resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
    RemoveFromRecentFileList(full);
    return false;
  }
  if (!m_frame && !CreateFrame()) return false;
  m_document->SetPathName(full);
  AddToRecentFileList(full);
  if (m_view) m_view->OnInitialUpdate();
  return true;
}

QStringList CLumasetApp::RecentFiles() const {
  QSettings settings;
  settings.beginGroup(QString::fromLatin1(kRecentFileGroup));
  QStringList files;
  for (int i = 1; i <= res::kMruCount; ++i) {
    const QString f = settings.value(QStringLiteral("File%1").arg(i)).toString();
    if (!f.isEmpty() && !files.contains(f)) files << f;
  }
  return files;
}

namespace {
void StoreRecentFiles(const QStringList& files) {
  QSettings settings;
  settings.beginGroup(QString::fromLatin1(kRecentFileGroup));
  settings.remove(QString());
  for (int i = 0; i < files.size() && i < res::kMruCount; ++i)
    settings.setValue(QStringLiteral("File%1").arg(i + 1), files[i]);
}
}  // namespace

void CLumasetApp::AddToRecentFileList(const QString& path) {
  if (path.isEmpty()) return;
  QStringList files = RecentFiles();
  files.removeAll(path);
  files.prepend(path);
  StoreRecentFiles(files.mid(0, res::kMruCount));
}

void CLumasetApp::RemoveFromRecentFileList(const QString& path) {
  QStringList files = RecentFiles();
  if (files.removeAll(path) > 0) StoreRecentFiles(files);
}

void CLumasetApp::OpenRecentFile(int index) {
  const QString path = RecentFiles().value(index);
  if (!path.isEmpty()) OpenDocumentFile(path);
}

void CLumasetApp::OnFileSave(bool saveAs) {
  QString path = saveAs ? QString() : m_savePath;
  if (path.isEmpty()) {
    QFileDialog dialog(m_frame);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QString ext = resui::DocumentString(res::kDocFilterExt);
    QString filter = resui::DocumentString(res::kDocFilterName);
    if (!filter.isEmpty() && !ext.isEmpty()) filter += QStringLiteral(" (*%1)").arg(ext);
    dialog.setNameFilters(QStringList{filter, resui::String(res::kStrAllFilesFilter)});
    dialog.setDefaultSuffix(ext.mid(1));
    dialog.selectFile(m_savePath.isEmpty() ? resui::DocumentString(res::kDocName) + ext : m_savePath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    path = dialog.selectedFiles().first();
  }
  QString error;
  if (!m_document->Save(path, &error)) {
    FixedMessageBox(m_view, resui::String(res::kStrSaveFailed).arg(path, error).toStdString(),
                    resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
    return;
  }
  m_savePath = path;
}

bool CLumasetApp::LoadLanguage(int language) {
  auto library = std::make_unique<platform::LanguageLibrary>();
  std::string error;
  if (!library->Load(platform::LanguageLibraryName(language), &error)) {
    std::fprintf(stderr, "lumaset: %s\n", error.c_str());
    // The wording follows the language in force before the call.
    const bool chinese = m_language != 0;
    FixedMessageBox(m_view, chinese ? "加载资源失败" : "Load Resource Error!", chinese ? "错误!" : "Error",
                    platform::kMbIconWarning);
    return false;
  }
  // The new library becomes the source of every text before the previous
  // one goes; a text being copied from the old one is finished first.
  platform::SetCurrentLanguage(library.get());
  m_library.swap(library);
  library.reset();
  m_language = language;

  // Qt's own texts (dialog buttons) in the same language.
  if (!g_qtTranslator) g_qtTranslator = new QTranslator(this);
  removeTranslator(g_qtTranslator);
  if (language != 0 &&
      g_qtTranslator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    installTranslator(g_qtTranslator);
  return true;
}

void CLumasetApp::OnAppAbout() {
  QDialog dialog(m_frame);
  std::map<unsigned, QWidget*> controls;
  if (!resui::BuildDialog(&dialog, res::kDlgAbout, &controls)) return;
  dialog.exec();
}

void CLumasetApp::InstallIdleStep() {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (!dispatcher || m_idleInstalled) return;
  m_idleInstalled = true;
  connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { OnIdle(m_idleCount++); });
  connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { m_idleCount = 0; });
}

bool CLumasetApp::OnIdle(long count) {
  // The work is queued rather than done inside the dispatcher's own call.
  if (m_view && m_view->WantsIdle() && !m_idleScheduled) {
    m_idleScheduled = true;
    QTimer::singleShot(0, this, [this] {
      m_idleScheduled = false;
      if (m_view) m_view->IdleUnlock();
    });
  }
  return count == 0;
}

void CLumasetApp::InstallQuitSignals() {
  // They close the window as the operator would: settings saved, links
  // closed.
  WatchQuitSignals(this, [this](int) {
    if (m_frame)
      m_frame->ForceClose();
    else
      quit();
  });
}

void CLumasetApp::DestroyMainFrame() {
  if (!m_frame) return;
  CMainFrame* frame = m_frame;
  m_frame = nullptr;
  if (m_operator) m_operator->SetMainWindow(nullptr);
  frame->DestroyWindow();
  delete frame;
}

int CLumasetApp::ExitInstance() {
  DestroyMainFrame();
  if (m_languageSettings) {
    SaveLanguageSetting(*m_languageSettings, static_cast<uint32_t>(m_language));
    m_languageSettings.reset();
  }
  m_handOffServer.reset();
  if (m_operator) {
    m_operator->Shutdown();
    platform::SetOperator(nullptr);
    m_operator.reset();
  }
  platform::SetCurrentLanguage(nullptr);
  m_library.reset();
  m_document.reset();
  ClearPointers();
  return 0;
}

void CLumasetApp::ClearPointers() {
  m_progress = nullptr;
  m_view = nullptr;
  m_connectButton = m_systemButton = m_systemButtonFast = nullptr;
  m_userButton = m_userButtonFast = m_stopButton = m_command3Button = m_touchButton = nullptr;
  m_statusBar = nullptr;
}

}  // namespace lumaset
