#include "app/lumaset_app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QDialog>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QSettings>
#include <QTimer>
#include <QTranslator>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/main_frame.h"
#include "app/native_bytes.h"
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

// The program's names, for Qt's settings, the help and the version.
void SetProgramNames() {
  QCoreApplication::setApplicationName(QStringLiteral("Lumaset"));
  QCoreApplication::setApplicationVersion(QStringLiteral(LUMASET_VERSION));
  QCoreApplication::setOrganizationName(QString::fromLatin1(kCompanyKey));
}

void DescribeCommandLine(QCommandLineParser* parser) {
  parser->setApplicationDescription(
      QStringLiteral("Loads a room controller with its programs, sends it commands and shows what it sends back."));
  parser->addHelpOption();
  parser->addVersionOption();
  parser->addPositionalArgument(QStringLiteral("file"), QStringLiteral("A user program to download at once."));
  parser->addPositionalArgument(QStringLiteral("mode"), QStringLiteral("Its download mode (0 or 1)."));
  // Options come before the file; after it everything is a plain argument,
  // so "FILE -1" gives the number -1 rather than an unknown option.
  parser->setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
}

// Brings the window to the front and asks for the focus. On Wayland a
// compositor gives the focus only for an activation token; Qt's Wayland
// platform takes the one in XDG_ACTIVATION_TOKEN when the window asks (and
// removes the variable), so a token handed over by a second start is put
// there for that moment. Without a token, or where the compositor has no
// activation, the request may only mark the window as wanting attention.
void ActivateWindow(QWidget* window, const std::string& activationToken) {
  const bool withToken =
      !activationToken.empty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
  if (withToken) qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(activationToken));
  window->activateWindow();
  // Not left for another request or a child process where it was not used.
  if (withToken) qunsetenv("XDG_ACTIVATION_TOKEN");
}

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

StartCommand ParseStartCommand(const QStringList& arguments) {
  StartCommand start;
  // 1. The command line: the first plain argument is the file name.
  QCommandLineParser parser;
  DescribeCommandLine(&parser);
  if (!parser.parse(arguments)) {
    start.action = StartCommand::Action::kUsageError;
    start.error = parser.errorText().toStdString();
    return start;
  }
  if (parser.isSet(QStringLiteral("help"))) {
    start.action = StartCommand::Action::kHelp;
    return start;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    start.action = StartCommand::Action::kVersion;
    return start;
  }
  const QString file = parser.positionalArguments().value(0);
  start.commandLine.fileName = file.toLatin1().toStdString();
  // 2. The number after the last space.
  start.commandLine.number = CommandLineNumber(RawCommandLine(arguments.mid(1)), file);
  return start;
}

void FinishStartCommand(int argc, char** argv) {
  SetProgramNames();
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  DescribeCommandLine(&parser);
  // Prints the help, the version or the error and ends the process.
  parser.process(ArgumentsOf(argc, argv));
  std::exit(0);
}

int HandToRunningInstance(const CommandLine& commandLine) {
  // 11. The name as it was written: the running instance resolves a
  // relative one against its own folder.
  std::string error;
  // The activation token a Wayland session gave this start goes with the
  // raise, so that the running window may take the focus in its place.
  const char* token = std::getenv("XDG_ACTIVATION_TOKEN");
  const int result = SendToRunningInstance(commandLine.fileName, commandLine.number, &error, {}, token ? token : "");
  if (error.empty() && result == 0) error = "the running window did not take the hand-off";
  if (!error.empty()) {
    std::fprintf(stderr, "lumaset: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

void UseOnlyARunningSessionBus() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    struct stat st{};
    if (stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return;
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
}

CLumasetApp::CLumasetApp(int& argc, char** argv) : QApplication(argc, argv) {
  SetProgramNames();
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

void CLumasetApp::SetInstanceStart(InstanceStart start) {
  m_instance = std::move(start);
}

bool CLumasetApp::StartFirstInstance(const CommandLine& commandLine) {
  m_commandLineNumber = commandLine.number;
  m_quitRequested = false;
  m_language = 0;
  m_operator = std::make_unique<QtOperator>();
  platform::SetOperator(m_operator.get());
  UseQtUiLoop();
  // From here on a quit signal ends the program cleanly, also while a box
  // of the start-up is open.
  InstallQuitSignals();

  // 4. The language of the last run.
  m_languageSettings = std::make_unique<CRegSettings>(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine);
  LoadLanguage(static_cast<int>(LoadLanguageSetting(*m_languageSettings)));
  StartHandOffServer();

  // 5-7. Sockets need no set-up here; the recent-file list lives in the
  // per-user settings of the company key.

  // 8-10. The document with its frame and view; a file on the command line
  // is opened as the document and downloaded as a user program.
  m_document = std::make_unique<CLumasetDoc>();
  const QString file = FileNameFromNative(commandLine.fileName);
  const bool created = file.isEmpty() ? OnFileNew() : OpenDocumentFile(file);
  if (!created) return false;
  InstallIdleStep();
  // Hand-offs that came during the start-up are handled now, in the order
  // they came.
  if (m_handOffServer) m_handOffServer->HoldMessages(false);
  return true;
}

void CLumasetApp::StartHandOffServer() {
  if (m_handOffServer) return;
  std::string problem = m_instance.problem, problemPath = m_instance.problemPath;
  auto server = std::make_unique<HandOffServer>();
  // Until the frame and the view exist, hand-offs wait.
  server->HoldMessages(true);
  if (problem.empty() && platform::CheckHandOffBlock(&problem, &problemPath)) {
    if (m_instance.socket.Bound())
      server->Listen(std::move(m_instance.socket));
    else if (!server->Listen(&problem))
      problemPath = HandOffSocketPath(nullptr);
  }
  if (!problem.empty()) {
    // No hand-off, but a window: nothing listens in vain, and the operator
    // learns why and what to do (a start from the desktop has no terminal).
    m_instance.socket.Close();
    std::fprintf(stderr, "lumaset: %s; the window opens without the hand-off\n", problem.c_str());
    FixedMessageBox(nullptr,
                    resui::String(res::kStrNoHandOff)
                        .arg(FileNameFromNative(problem), FileNameFromNative(problemPath))
                        .toStdString(),
                    resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
    return;
  }
  server->SetRaiseHandler([this](const std::string& activationToken) {
    if (!m_frame) return;
    if (m_frame->isMinimized()) m_frame->showNormal();
    m_frame->show();
    m_frame->raise();
    ActivateWindow(m_frame, activationToken);
  });
  server->SetMessageHandler([this](uint32_t message, uint32_t first, uint32_t second) {
    return message == kHandOffMessage && m_frame ? m_frame->OnHandOffMessage(first, second) : 0;
  });
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
  // closed. SIGHUP is the end of the session the program was started in.
  WatchQuitSignals(this, [this](int) { OnQuitSignal(); }, {SIGINT, SIGTERM, SIGHUP});
}

void CLumasetApp::OnQuitSignal() {
  m_quitRequested = true;
  // A hand-off waiting or being asked about now is not taken: its sender
  // learns so instead of hearing that it was.
  if (m_handOffServer) m_handOffServer->StopServing();
  // Boxes open now close with their safe answer, later ones are not shown,
  // so nothing holds the close up.
  if (m_operator) m_operator->Shutdown();
  if (m_frame)
    m_frame->ForceClose();
  else
    quit();
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
  // No hand-off is taken any more: a sender waiting now learns that its file
  // was not taken.
  if (m_handOffServer) m_handOffServer->StopServing();
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
