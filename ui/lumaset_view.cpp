#include "ui/lumaset_view.h"

#include <unistd.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QStatusBar>

#include <cstring>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "app/native_bytes.h"
#include "app/qt_link_event.h"
#include "app/resource_ui.h"
#include "app/settings.h"
#include "link/link_events.h"
#include "link/messages.h"
#include "platform/cp936.h"
#include "platform/files.h"
#include "platform/handoff_block.h"
#include "platform/port_map.h"
#include "protocol/host_commands.h"
#include "protocol/whole_file.h"
#include "resources/resource_ids.h"
#include "ui/baud_search_dlg.h"
#include "ui/gradient_progress.h"
#include "ui/handoff.h"
#include "ui/image_button.h"
#include "ui/link_settings_dlg.h"
#include "ui/lumaset_doc.h"
#include "ui/qt_operator.h"

namespace lumaset {
namespace {

// Host commands of the menu and the command bar, by command number.
struct HostCommandEntry {
  unsigned command;
  int index;
};
constexpr HostCommandEntry kHostCommandEntries[] = {
    {res::kCmdHost0, 0},     {res::kCmdHost1, 1}, {res::kCmdHost2, 2}, {res::kCmdHost3, 3},
    {res::kIdHostCommand3, 3}, {res::kCmdHost5, 5}, {res::kCmdSetClock, kCmdSetClock},
    {res::kCmdHost7, 7},     {res::kCmdHost8, 8}, {res::kCmdHost9, 9}, {res::kCmdHost13, 13},
};

int HostCommandIndex(unsigned id) {
  for (const HostCommandEntry& e : kHostCommandEntries)
    if (e.command == id) return e.index;
  return -1;
}

// A filter as Qt name filters, its names in the current language. The
// patterns are given again in Qt's form behind the name, which the dialog
// hides, so it shows the name exactly as written. "*.*" means every file.
QStringList QtNameFilters(const FileFilter& filter) {
  QStringList out;
  for (int i = 0; i < 2 && filter.names[i] && filter.patterns[i]; ++i) {
    QStringList patterns = QString::fromLatin1(filter.patterns[i]).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& p : patterns)
      if (p == QLatin1String("*.*")) p = QStringLiteral("*");
    out << resui::String(filter.names[i]) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return out;
}

// The host commands that cannot be undone, and the question asked first.
unsigned ConfirmationFor(int index) {
  switch (index) {
    case 3: return res::kStrConfirmRestart;
    case 8: return res::kStrConfirmErase;
    case 13: return res::kStrConfirmFactory;
    default: return 0;
  }
}

// Why a transfer failed, by its link status.
unsigned WhyFailed(uint32_t status, bool usb) {
  switch (status) {
    case LS_NOT_READY: return res::kStrWhyNotReady;
    case LS_CHECK_VERSION: return res::kStrWhyHandshake;
    case LS_CANCELLED: return res::kStrWhyHostCancelled;
    case LS_TIMEOUT: return usb ? res::kStrWhyUsbPipe : res::kStrWhyTimeout;
    case LS_WRITE_FAILED: return res::kStrWhyWriteFailed;
    case LS_VERIFY_FAILED: return res::kStrWhyVerifyFailed;
    case LS_REFUSED: return res::kStrWhyRefused;
    default: return res::kStrWhyUnknown;
  }
}

QString FolderOf(const std::string& path) {
  if (path.empty()) return {};
  const QFileInfo info(QString::fromStdString(path));
  return info.absoluteDir().exists() ? info.absolutePath() : QString();
}

std::string Local(const QString& path) { return NativeFileName(path); }

// How often a port that went away is looked for, and how often when an
// attempt took longer than kSlowReconnectMs.
constexpr int kReconnectPollMs = 1000;
constexpr int kSlowReconnectPollMs = 10000;
constexpr qint64 kSlowReconnectMs = 300;

// Whether a device path may be opened again: a device file that exists (a
// path of another kind, such as a network address, is simply tried).
bool DeviceMayBeBack(const std::string& path) {
  return path.empty() || path[0] != '/' || ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

struct CLumasetView::LinkCall {
  explicit LinkCall(CLumasetView* view) : view(view) { ++view->m_linkCallDepth; }
  ~LinkCall() {
    if (--view->m_linkCallDepth > 0) return;
    // Commands were disabled during the call; they follow the link again.
    view->RefreshControls();
    emit view->linkCallEnded();
  }
  CLumasetView* view;
};

// ---- construction and destruction -------------------------------------------

CLumasetView::CLumasetView(CLumasetDoc* document, QWidget* parent)
    : CReceiveText(parent), m_document(document) {
  setObjectName(QStringLiteral("view"));
  // The link settings record: 115200 8N1 on COM 1 until the settings say
  // otherwise.
  m_record = LinkDefaults();
  m_hexDisplay = 0;
  m_updateLocked = false;
  m_maxLines = 0;
  m_changeProgramBaud = 0;
  // The display font: 18 pixels high, light, the system's face.
  m_displayFont = QApplication::font();
  m_displayFont.setPixelSize(18);
  m_displayFont.setWeight(QFont::Light);
  LoadSettings();
  // Dark cyan text on white, also while read-only.
  QPalette p = palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::Base, Qt::white);
    p.setColor(group, QPalette::Text, QColor(0, 100, 100));
  }
  setPalette(p);
  m_app = CLumasetApp::Instance();
  m_flushTimer.setSingleShot(true);
  connect(&m_flushTimer, &QTimer::timeout, this, [this] { FlushDisplay(); });
  m_reconnectTimer.setInterval(kReconnectPollMs);
  connect(&m_reconnectTimer, &QTimer::timeout, this, [this] { TryReconnect(); });
}

CLumasetView::~CLumasetView() {
  SaveSettings();
  if (m_app && m_app->m_view == this) m_app->m_view = nullptr;
}

void CLumasetView::LoadSettings() {
  m_settings = std::make_unique<CRegSettings>(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine);
  StoredSettings stored;
  lumaset::LoadSettings(*m_settings, stored);
  m_serialLink.SetUserProgramPath(stored.userProgPath.c_str());
  m_serialLink.SetSystemProgramPath(stored.sysProgPath.c_str());
  m_serialLink.SetTouchProgramPath(stored.touchProgPath.c_str());
  m_record = stored.commDcb;
  platform::SetComPortPin(m_record.port, stored.commDevice);
  m_remoteHost = stored.remoteHost;
  m_serialLink.SetRemoteHost(m_remoteHost.c_str());
  m_maxLines = stored.maxLine;
  m_changeProgramBaud = stored.changePgmBaud;
}

void CLumasetView::SaveSettings() {
  if (!m_settings) return;
  StoredSettings stored;
  stored.userProgPath = m_serialLink.GetUserProgramPath();
  stored.sysProgPath = m_serialLink.GetSystemProgramPath();
  stored.touchProgPath = m_serialLink.GetTouchProgramPath();
  stored.remoteHost = m_remoteHost;
  // What is saved is the record as the link last used it.
  m_serialLink.GetSettings(&m_record);
  stored.commDcb = m_record;
  stored.commDevice = platform::ComPortPin(m_record.port);
  stored.maxLine = m_maxLines;
  stored.changePgmBaud = m_changeProgramBaud;
  lumaset::SaveSettings(*m_settings, stored);
  m_settings.reset();
}

bool CLumasetView::OnCreate() {
  if (m_app && !m_app->m_view) m_app->m_view = this;
  if (!m_serialLink.IsOpen()) {
    m_serialLink.ApplySettings(&m_record);
    m_serialLink.SetRemoteHost(m_remoteHost.c_str());
    m_serialLink.SetNotifyTarget(this, WM_LINK_EVENT);
    m_usbLink.SetTarget(this, WM_LINK_EVENT);
    m_serialLink.SetControlRefresh([this] { RefreshControls(); });
  }
  setFont(m_displayFont);
  // Typed characters, also those of an input method, go to the host.
  setAttribute(Qt::WA_InputMethodEnabled, true);
  if (!m_baudSearchDlg) {
    m_baudSearchDlg = new CBaudSearchDlg(this);
    m_baudSearchDlg->CreateModeless(this);
  }
  ReRenderLog();
  OnLanguageChanged();
  m_created = true;
  return true;
}

void CLumasetView::OpenActiveLink() {
  if (m_serialLink.IsOpen() || m_usbLink.IsOpen()) return;
  if (m_record.port != 0)
    OpenSerialNetworkLink();
  else
    m_usbLink.Open();
  RefreshControls();
}

int CLumasetView::OpenSerialNetworkLink() {
  LinkCall call(this);
  if (m_record.network == 0) return m_serialLink.Open(1);
  // The connect keeps the event loop running for up to 10 s: the operator
  // sees where it goes, commands are disabled and the pointer shows the wait
  // (the connect button still ends it).
  m_connectingText = resui::String(res::kStrConnecting).arg(NetworkAddress());
  QApplication::setOverrideCursor(Qt::BusyCursor);
  RefreshControls();
  const int result = m_serialLink.Open(1);
  QApplication::restoreOverrideCursor();
  m_connectingText.clear();
  return result;
}

QString CLumasetView::NetworkAddress() const {
  return QStringLiteral("%1:%2").arg(QString::fromStdString(m_remoteHost)).arg(m_record.tcpPort);
}

void CLumasetView::OnLanguageChanged() {
  setAccessibleName(resui::String(res::kStrDisplayName));
  if (m_baudSearchDlg) m_baudSearchDlg->LoadTexts();
}

void CLumasetView::OnInitialUpdate() {
  if (m_document) {
    m_serialLink.SetDownloadMode(m_app ? m_app->m_commandLineNumber : 0);
    DownloadProgram(m_document->PathName(), false);
  }
  RefreshControls();
}

void CLumasetView::OnDestroy() {
  StopReconnecting();
  if (m_baudSearchDlg) m_baudSearchDlg->HideWindow();
  m_serialLink.Disconnect();
  m_usbLink.Close();
}

// ---- state -------------------------------------------------------------------

bool CLumasetView::IsConnected() const {
  return UsbActive() ? m_usbLink.IsOpen() != 0 : m_serialLink.IsOpen() != 0;
}

bool CLumasetView::IsBusy() const {
  auto& link = const_cast<CNetworkLink&>(m_serialLink);
  return link.IsTransferring() || link.IsSearching();
}

bool CLumasetView::TransferRunning() const { return m_serialLink.IsTransferring() || m_usbLink.IsBusy(); }

void CLumasetView::AbortLinkCall() {
  if (InLinkCall()) m_serialLink.Disconnect();
}

// ---- commands ----------------------------------------------------------------

bool CLumasetView::HasCommandHandler(unsigned id) {
  if (HostCommandIndex(id) >= 0) return true;
  switch (id) {
    case res::kIdConnect:
    case res::kIdDisconnect:
    case res::kIdSystemProgram:
    case res::kIdSystemProgramFast:
    case res::kIdUserProgram:
    case res::kIdUserProgramFast:
    case res::kIdTouchProgram:
    case res::kIdStop:
    case res::kCmdBaudSearch:
    case res::kCmdSendFile:
    case res::kCmdClear:
    case res::kCmdHexDisplay:
    case res::kCmdLinkSettings:
    case res::kCmdFileOpen:
    case res::kCmdEditCopy:
    case res::kCmdEditSelectAll: return true;
    default: return false;
  }
}

bool CLumasetView::OnCommand(unsigned id) {
  if (!HasCommandHandler(id)) return false;
  // While a connect runs the event loop, commands wait; the connect button
  // ends the connect.
  if (InLinkCall()) {
    if (id == res::kIdConnect || id == res::kIdDisconnect) AbortLinkCall();
    return true;
  }
  if (const int index = HostCommandIndex(id); index >= 0) {
    HostCommandCommand(id, index);
    return true;
  }
  // What the last command came to stays until the next one that acts on
  // the host or the link.
  switch (id) {
    case res::kCmdClear:
    case res::kCmdHexDisplay:
    case res::kCmdFileOpen:
    case res::kCmdEditCopy:
    case res::kCmdEditSelectAll: break;
    default: ReportResult({});
  }
  switch (id) {
    case res::kIdConnect:
    case res::kIdDisconnect: ToggleConnection(); break;
    case res::kIdSystemProgram: DownloadCommand(0, true); break;
    case res::kIdSystemProgramFast: DownloadCommand(1, true); break;
    case res::kIdUserProgram: DownloadCommand(0, false); break;
    case res::kIdUserProgramFast: DownloadCommand(1, false); break;
    case res::kIdTouchProgram: TouchProgramCommand(); break;
    case res::kIdStop: StopCommand(); break;
    case res::kCmdBaudSearch: BaudSearchCommand(); break;
    case res::kCmdSendFile: SendFileCommand(); break;
    case res::kCmdClear: ClearDisplay(); break;
    case res::kCmdHexDisplay: ToggleHexDisplay(); break;
    case res::kCmdLinkSettings: LinkSettingsCommand(); break;
    case res::kCmdFileOpen: LoadImageFileCommand(); break;
    case res::kCmdEditCopy: copy(); break;
    case res::kCmdEditSelectAll: selectAll(); break;
    default: break;
  }
  return true;
}

void CLumasetView::UpdateMenuItem(CommandState* state) const {
  switch (state->id) {
    case res::kCmdHexDisplay: state->SetCheck(m_hexDisplay != 0); break;
    case res::kCmdViewStatusBar:
      if (m_app && m_app->m_statusBar) state->SetCheck(!m_app->m_statusBar->isHidden());
      break;
    default:
      // The view's own commands follow the one rule of CommandEnabled.
      if (HasCommandHandler(state->id)) state->Enable(CommandEnabled(state->id));
      break;
  }
}

bool CLumasetView::CommandEnabled(unsigned id) const {
  auto& link = const_cast<CNetworkLink&>(m_serialLink);
  const bool connecting = InLinkCall();
  const bool connected = IsConnected() && !connecting;
  const bool transferring = link.IsTransferring() != 0;
  const bool idle = !transferring && !link.IsSearching() && !connecting;
  switch (id) {
    case res::kIdConnect:
    case res::kIdDisconnect: return true;  // also ends a connect in progress
    case res::kIdStop: return connected && TransferRunning();
    case res::kIdSystemProgram:
    case res::kIdSystemProgramFast:
    case res::kIdUserProgram:
    case res::kIdUserProgramFast: return connected && idle;
    case res::kIdTouchProgram: return connected && m_record.network == 0 && idle;
    case res::kIdHostCommand3: return connected && !transferring;
    // The search opens the port itself.
    case res::kCmdBaudSearch: return idle && m_record.network == 0 && !UsbActive();
    case res::kCmdLinkSettings: return idle;
    case res::kCmdSendFile:
    case res::kCmdHost13:
    case res::kCmdSetClock:
    case res::kCmdHost8:
    case res::kCmdHost9:
    case res::kCmdHost2:
    case res::kCmdHost7:
    case res::kCmdHost3:
    case res::kCmdHost5:
    case res::kCmdHost0:
    case res::kCmdHost1: return idle && connected;
    default: return HasCommandHandler(id);
  }
}

QString CLumasetView::OpenFileDialog(const FileFilter& filter, const QString& folderHint) {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  dialog.setNameFilters(QtNameFilters(filter));
  // The folder of the file last chosen, as the system's dialog would open.
  QString folder = folderHint;
  if (folder.isEmpty() || !QDir(folder).exists()) folder = m_lastFolder;
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::currentPath();
  dialog.setDirectory(folder);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  const QString path = dialog.selectedFiles().first();
  m_lastFolder = QFileInfo(path).absolutePath();
  return path;
}

QString CLumasetView::ChooseProgramFile(int kind) {
  switch (kind) {
    case kSystemProgramFile: return OpenFileDialog(kFilterSystemProgram, FolderOf(m_serialLink.GetSystemProgramPath()));
    case kUserProgramFile: return OpenFileDialog(kFilterUserProgram, FolderOf(m_serialLink.GetUserProgramPath()));
    case kTouchProgramFile: return OpenFileDialog(kFilterTouchProgram, FolderOf(m_serialLink.GetTouchProgramPath()));
    default: return {};
  }
}

void CLumasetView::ShowFileMessage(unsigned textId, const QString& path, const QString& detail) {
  QString text = resui::String(textId).arg(path);
  if (text.contains(QLatin1String("%2"))) text = text.arg(detail);
  FixedMessageBox(this, text.toStdString(), resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
}

bool CLumasetView::CheckRegularFile(const QString& path) {
  int error = 0;
  // A missing or unreadable file is left to the link, which names the
  // reason; a folder, FIFO or device is refused here, before anything could
  // wait on it.
  if (platform::IsRegularFile(Local(path), &error) || (error != EISDIR && error != ENOTSUP)) return true;
  ShowFileMessage(res::kStrNotRegularFile, path, {});
  return false;
}

void CLumasetView::DownloadProgram(const QString& path, bool isSystem) {
  if (path.isEmpty()) return;
  if (!CheckRegularFile(path)) return;
  const std::string file = Local(path);
  if (isSystem) {
    BeginJob(res::kStrJobSystem, path);
    const uint64_t boxes = BoxesRaised();
    int started = 0;
    if (!UsbActive()) {
      m_serialLink.SetSystemProgramPath(file.c_str());
      started = m_serialLink.SendSystemProgram();
    } else {
      started = m_usbLink.SendProgramImage(file.c_str(), 1, 0);
    }
    if (!started) JobNotStarted(boxes);
  } else {
    const int answer = ResourceMessageBox(this, res::kStrUserProgramQuestion, res::kStrUserProgramCaption,
                                          platform::kMbYesNoCancel | platform::kMbIconQuestion |
                                              platform::kMbDefButton2);
    if (answer == platform::kIdCancel) return;
    if (answer == platform::kIdYes || answer == platform::kIdNo) {
      const int yes = answer == platform::kIdYes ? 1 : 0;
      BeginJob(res::kStrJobUser, path);
      const uint64_t boxes = BoxesRaised();
      int started = 0;
      if (!UsbActive()) {
        m_serialLink.SetUserProgramPath(file.c_str());
        started = m_serialLink.SendUserProgram(yes);
      } else {
        started = m_usbLink.SendProgramImage(file.c_str(), 0, yes);
      }
      if (!started) JobNotStarted(boxes);
    }
  }
  RefreshControls();
}

void CLumasetView::DownloadCommand(int mode, bool isSystem) {
  // The mode is set before the dialog opens; a cancelled dialog keeps it.
  m_serialLink.SetDownloadMode(mode);
  DownloadProgram(ChooseProgramFile(isSystem ? kSystemProgramFile : kUserProgramFile), isSystem);
}

void CLumasetView::TouchProgramCommand() {
  const QString path = ChooseProgramFile(kTouchProgramFile);
  if (path.isEmpty() || !CheckRegularFile(path)) return;
  const std::string file = Local(path);
  BeginJob(res::kStrJobTouch, path);
  const uint64_t boxes = BoxesRaised();
  int started = 0;
  if (!UsbActive()) {
    m_serialLink.SetDownloadMode(0);
    m_serialLink.SetTouchProgramPath(file.c_str());
    started = m_serialLink.SendFileWithHandshake(nullptr);
  } else {
    started = m_usbLink.SendFileWithHandshake(file.c_str());
  }
  if (!started) JobNotStarted(boxes);
  RefreshControls();
}

void CLumasetView::StopCommand() {
  // The failure this ends with is the operator's own doing, not news.
  if (m_job.kind) m_job.stopRequested = true;
  if (!UsbActive())
    m_serialLink.StopTransfer();
  else
    m_usbLink.StopSending();
  if (m_app && m_app->m_stopButton) m_app->m_stopButton->SetEnabledLook(0);
}

void CLumasetView::HostCommandCommand(unsigned id, int index) {
  // A command that cannot be undone is sent only when the operator says so.
  if (const unsigned question = ConfirmationFor(index);
      question && ResourceMessageBox(this, question, res::kStrCaption,
                                     platform::kMbYesNo | platform::kMbIconQuestion | platform::kMbDefButton2) !=
                      platform::kIdYes)
    return;
  ReportResult({});
  const QDateTime now = QDateTime::currentDateTime();
  const int sent = SendHostCommand(index);
  // A search that the failed probe started tells the rest in its window;
  // a refusal because something runs has said so in a box.
  if (m_serialLink.IsSearching() || (!sent && TransferRunning())) return;
  const unsigned menuCommand = id == res::kIdHostCommand3 ? res::kCmdHost3 : id;
  const QString name = resui::MenuItemText(res::kMainResource, menuCommand);
  if (!sent)
    ReportResult(resui::String(res::kStrCommandNotSent).arg(name));
  else if (index == kCmdSetClock)
    ReportResult(resui::String(res::kStrClockSent).arg(QLocale().toString(now, QLocale::ShortFormat)));
  else
    ReportResult(resui::String(res::kStrCommandSent).arg(name));
}

int CLumasetView::SendHostCommand(int index) {
  return UsbActive() ? m_usbLink.SendCommand(index, 0) : m_serialLink.SendCommand(index, 0);
}

int CLumasetView::ToggleConnection() {
  int result = 1;
  ReportResult({});
  // The operator takes the link in hand: no more looking for a lost device.
  StopReconnecting();
  if (!UsbActive()) {
    if (m_serialLink.IsOpen()) {
      m_serialLink.Disconnect();
    } else {
      result = OpenSerialNetworkLink();
    }
  } else {
    // The USB link is closed and opened again on every press.
    m_usbLink.Close();
    result = m_usbLink.Open();
  }
  RefreshControls();
  return result;
}

void CLumasetView::BaudSearchCommand() {
  if (!UsbActive()) m_serialLink.StartBaudSearch(0);
  RefreshControls();
}

void CLumasetView::SendFileCommand() {
  const QString path = OpenFileDialog(kFilterAnyFile, m_app ? m_app->m_initialFileName : QString());
  if (path.isEmpty() || !CheckRegularFile(path)) return;
  BeginJob(res::kStrJobFile, path);
  const uint64_t boxes = BoxesRaised();
  if (!m_serialLink.SendRawFile(Local(path).c_str())) JobNotStarted(boxes);
}

// ---- what a transfer came to ---------------------------------------------------------

void CLumasetView::BeginJob(unsigned kind, const QString& path) {
  m_job = Job{};
  m_job.kind = kind;
  m_job.path = path;
  const QFileInfo info(path);
  m_job.size = info.exists() ? info.size() : -1;
  m_job.started.start();
}

QString CLumasetView::JobName(const Job& job) const {
  return resui::String(job.kind ? job.kind : res::kStrJobFile).arg(QFileInfo(job.path).fileName());
}

uint64_t CLumasetView::BoxesRaised() const {
  return m_app && m_app->Operator() ? m_app->Operator()->RaisedCount() : 0;
}

void CLumasetView::JobNotStarted(uint64_t boxesBefore) {
  const Job job = std::exchange(m_job, Job{});
  if (!m_app || !m_app->Operator() || BoxesRaised() != boxesBefore) return;
  ShowJobFailure(job, res::kStrWhyNoAnnounceAnswer);
}

void CLumasetView::JobDone(uint32_t bytes) {
  const Job job = std::exchange(m_job, Job{});
  if (!job.kind) return;
  const qint64 count = job.size >= 0 ? job.size : qint64{bytes};
  const double seconds = job.started.isValid() ? job.started.elapsed() / 1000.0 : 0.0;
  ReportResult(resui::String(res::kStrJobDone)
                   .arg(JobName(job), QLocale().toString(count), QLocale().toString(seconds, 'f', 1)));
}

void CLumasetView::JobFailed(uint32_t status) {
  const Job job = std::exchange(m_job, Job{});
  if (job.stopRequested) {
    ReportResult(resui::String(res::kStrJobStopped).arg(JobName(job)));
    return;
  }
  // A port that went away explains any failure: the connection was lost.
  const bool gone = UsbActive() ? m_usbLink.IsGone() : m_serialLink.IsPortGone();
  ShowJobFailure(job, gone ? res::kStrWhyWriteFailed : WhyFailed(status, UsbActive()),
                 QStringLiteral("0x") + QString::number(status, 16).toUpper());
}

void CLumasetView::ShowJobFailure(const Job& job, unsigned why, const QString& whyArg) {
  QString whyText = resui::String(why);
  if (whyText.contains(QLatin1String("%1"))) whyText = whyText.arg(whyArg);
  // What failed, when the view started it; else the reason's first line.
  const QString headline =
      job.kind ? resui::String(res::kStrJobFailed).arg(JobName(job)) : whyText.section(QLatin1Char('\n'), 0, 0);
  // The failure stays in the status bar for an operator who missed the box.
  ReportResult(headline);
  QString text = job.kind ? headline + QStringLiteral("\n\n") + whyText : whyText;
  if (!job.path.isEmpty())
    text += QStringLiteral("\n\n") + resui::String(res::kStrFileDetail).arg(QDir::toNativeSeparators(job.path));
  FixedMessageBox(this, text.toStdString(), resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
}

void CLumasetView::ReportResult(const QString& text) {
  if (CMainFrame* frame = m_app ? m_app->MainFrame() : nullptr) frame->SetResultText(text);
}

void CLumasetView::LoadImageFileCommand() {
  const QString path = OpenFileDialog(kFilterImageFile, m_app ? m_app->m_initialFileName : QString());
  if (path.isEmpty() || !CheckRegularFile(path)) return;
  std::vector<uint8_t> bytes;
  uint32_t size = 0;
  // A file that cannot be opened is ignored; one too large for the display
  // is refused with its size.
  const int error = ReadWholeFile(Local(path).c_str(), 0, 0, &bytes, &size, kMaxLoadedFileBytes);
  if (error == EFBIG) {
    QString text = resui::String(res::kStrFileTooLarge)
                       .arg(path, QString::number(QFileInfo(path).size()), QString::number(kMaxLoadedFileBytes));
    FixedMessageBox(this, text.toStdString(), resui::String(res::kStrCaption).toStdString(), platform::kMbIconWarning);
    return;
  }
  if (error != 0) return;
  m_document->ClearLog();
  m_document->AppendLog(bytes.data(), size);
  ReRenderLog();
}

void CLumasetView::ToggleHexDisplay() {
  m_hexDisplay = m_hexDisplay ? 0 : 1;
  ReRenderLog();
}

void CLumasetView::LinkSettingsCommand() {
  // 1. What the record holds now.
  const uint8_t oldPort = m_record.port;
  const uint8_t oldNetwork = m_record.network;
  const uint32_t oldRate = m_record.rate;
  const std::string oldPin = platform::ComPortPin(oldPort);
  // 2. The dialog.
  CLinkSettingsDlg dialog(this);
  dialog.SetValues(m_record.port, m_record.rate, m_changeProgramBaud, m_remoteHost, m_record.tcpPort,
                   m_record.network);
  if (dialog.exec() != QDialog::Accepted) return;
  // 3. Its values straight into the record; the rate is held.
  uint32_t newRate = oldRate;
  uint32_t changeProgramBaud = m_changeProgramBaud;
  uint32_t tcpPort = m_record.tcpPort;
  dialog.GetValues(&m_record.port, &newRate, &changeProgramBaud, &m_remoteHost, &tcpPort, &m_record.network);
  m_changeProgramBaud = changeProgramBaud;
  m_record.tcpPort = tcpPort;
  m_serialLink.SetRemoteHost(m_remoteHost.c_str());
  platform::SetComPortPin(m_record.port, dialog.PinnedDevice());

  ReportResult({});
  StopReconnecting();
  LinkCall call(this);
  if (m_record.port == 0) {
    // 4. The USB link: the serial-network link is closed first.
    m_serialLink.Disconnect();
    m_serialLink.ApplySettings(&m_record);
    RefreshControls();
  } else {
    // A stored TCP link that the dialog turned into a COM port is another
    // port too: the link must take the record before the rate is looked at.
    if (m_record.port != oldPort || m_record.network != oldNetwork) {
      // 5. Another port: opened, or the old one put back.
      m_serialLink.ApplySettings(&m_record);
      if (!ToggleConnection()) {
        m_record.port = oldPort;
        m_record.network = oldNetwork;
        platform::SetComPortPin(oldPort, oldPin);
        m_serialLink.ApplySettings(&m_record);
        RefreshControls();
        return;
      }
    }
    // 6. The rate.
    if (m_changeProgramBaud) {
      if (newRate != oldRate) m_record.rate = m_serialLink.SetHostBaudRate(newRate) ? newRate : oldRate;
      m_serialLink.Disconnect();
    } else {
      m_record.rate = newRate;
      m_serialLink.ApplySettings(&m_record);
      m_serialLink.Disconnect();
    }
  }
  // 7. The active link connects again.
  ToggleConnection();
}

// ---- control refresh and status ---------------------------------------------------

void CLumasetView::RefreshControls() {
  if (!m_app || !m_app->MainFrame()) return;
  std::string description;
  bool connected = false;
  if (!UsbActive()) {
    m_serialLink.Describe();
    description = m_serialLink.GetDescription();
    connected = m_serialLink.IsOpen() != 0;
  } else {
    description = m_usbLink.StatusText();
    connected = m_usbLink.IsOpen() != 0;
  }
  if (CImageButton* b = m_app->m_connectButton) {
    b->SetChecked(connected);
    b->SetCommandId(connected || UsbActive() ? res::kIdDisconnect : res::kIdConnect);
  }
  for (CImageButton* b : {m_app->m_stopButton, m_app->m_systemButton, m_app->m_systemButtonFast, m_app->m_userButton,
                          m_app->m_userButtonFast, m_app->m_touchButton, m_app->m_command3Button})
    if (b) b->SetEnabledLook(CommandEnabled(b->ControlId()));
  if (!m_serialLink.IsTransferring() && m_app->m_progress) {
    m_app->m_progress->hide();
    m_app->m_progress->SetPos(0);
  }
  // While a network connect runs, pane 0 says where it connects to.
  m_app->MainFrame()->SetPaneText(
      0, m_connectingText.isEmpty() ? QString::fromStdString(description) : m_connectingText);
}

void CLumasetView::StatusDisplay(QStatusBar* statusBar, uint32_t code) {
  if (!statusBar || !m_app || !m_app->MainFrame()) return;
  if (code == LS_DOWNLOAD_DATA && m_app->m_stopButton) m_app->m_stopButton->SetEnabledLook(1);
  m_app->MainFrame()->SetPaneText(0, QString::fromLatin1(StatusDisplayText(code)));
}

// ---- link events -----------------------------------------------------------------

void CLumasetView::Post(uint32_t message, uint32_t first, uint32_t second) {
  PostWindowMessage(this, message, first, second);
}

bool CLumasetView::event(QEvent* e) {
  if (const WindowMessageEvent* m = AsWindowMessage(e)) {
    if (m->message == WM_LINK_EVENT) OnLinkEvent(m->first, m->second);
    if (m->message == kHandOffMessage) OnHandOff(m->first, m->second);
    return true;
  }
  return CReceiveText::event(e);
}

int CLumasetView::OnLinkEvent(uint32_t code, uint32_t value) {
  if (IsProgressEvent(code)) {
    if (CGradientProgressCtrl* progress = m_app ? m_app->m_progress : nullptr) {
      if (progress->isHidden()) {
        progress->show();
        progress->raise();
      }
      progress->SetPos(static_cast<int>(ProgressThousandths(code)));
    }
    return 1;
  }
  switch (code) {
    case LE_DATA_RECEIVED: AppendReceived(); break;
    case LE_CTS_CHANGED:
    case LE_DSR_CHANGED: m_serialLink.AckReceive(); break;
    case LE_SEND_DONE:
      RefreshControls();
      if (!UsbActive()) m_serialLink.RearmReceive();
      JobDone(value);
      break;
    case LE_BAUD_TRYING:
      if (m_baudSearchDlg) m_baudSearchDlg->ShowRate(static_cast<int>(value));
      RefreshControls();
      break;
    case LE_BAUD_STOP:
      m_serialLink.StopBaudSearch();
      RefreshControls();
      break;
    case LE_BAUD_NOT_FOUND:
      ResourceMessageBox(this, res::kStrBaudNotFound, res::kStrCaption, platform::kMbIconInformation);
      if (m_baudSearchDlg) m_baudSearchDlg->HideWindow();
      RefreshControls();
      break;
    case LE_BAUD_FOUND:
      if (m_baudSearchDlg) m_baudSearchDlg->HideWindow();
      RefreshControls();
      m_record.rate = value;
      m_serialLink.ResendAfterSearch();
      break;
    case LE_SEND_STARTED: RefreshControls(); break;
    case LE_PORT_GONE: OnPortGone(); break;
    case LE_STATUS: StatusDisplay(m_app ? m_app->m_statusBar : nullptr, value); break;
    case LE_FAILED:
      m_serialLink.RearmReceive();
      if (m_app && m_app->MainFrame()) m_app->MainFrame()->SetPaneText(0, QString());
      RefreshControls();
      // Pane 0 shows the link again; the failure is told in a box and stays
      // beside it.
      JobFailed(value);
      break;
    default: break;
  }
  return 1;
}

// ---- a port that goes away ------------------------------------------------------------

QString CLumasetView::PortName(int port, const std::string& device) {
  return QStringLiteral("COM %1 (%2)").arg(port).arg(QFile::decodeName(device.c_str()));
}

void CLumasetView::OnPortGone() {
  // Only the active link's loss counts; the other one is not shown.
  if (UsbActive()) {
    if (!m_usbLink.IsGone()) return;
    m_lost = LostPort{true, 0, m_usbLink.OpenDevicePath()};
    m_usbLink.Close();
    ReportResult(resui::String(res::kStrPortGone).arg(QStringLiteral("USB (%1)").arg(
        QString::fromStdString(m_lost->device))));
  } else if (m_record.network) {
    // The host's network connection: it is told; the operator connects again.
    ReportResult(resui::String(res::kStrConnectionLost).arg(NetworkAddress()));
    RefreshControls();
    return;
  } else {
    if (!m_serialLink.IsPortGone()) return;
    m_lost = LostPort{false, m_record.port, m_serialLink.OpenDevicePath()};
    m_serialLink.Disconnect();
    ReportResult(resui::String(res::kStrPortGone).arg(PortName(m_lost->port, m_lost->device)));
  }
  RefreshControls();
  m_reconnectTimer.start();
}

void CLumasetView::TryReconnect() {
  if (!m_lost || InLinkCall() || IsBusy()) return;
  const LostPort lost = *m_lost;
  // The active link changed meanwhile: the lost device no longer matters.
  if (lost.usb != UsbActive() || (!lost.usb && (lost.port != m_record.port || m_record.network))) {
    StopReconnecting();
    return;
  }
  int opened = 0;
  QElapsedTimer attempt;
  attempt.start();
  if (lost.usb) {
    opened = m_usbLink.OpenQuietly();
  } else {
    // Only the same device: the COM number must still lead to the path it
    // was opened by (a pinned or by-id name, or the same device file).
    if (platform::ComPortPath(lost.port) != lost.device || !DeviceMayBeBack(lost.device)) return;
    opened = m_serialLink.OpenQuietly(1);
  }
  if (!opened) {
    // An attempt that had to wait (a device server that does not answer)
    // holds the window up: look less often then.
    m_reconnectTimer.setInterval(attempt.elapsed() > kSlowReconnectMs ? kSlowReconnectPollMs : kReconnectPollMs);
    return;
  }
  StopReconnecting();
  ReportResult(resui::String(res::kStrReconnected)
                   .arg(lost.usb ? QStringLiteral("USB (%1)").arg(QString::fromStdString(lost.device))
                                 : PortName(lost.port, lost.device)));
  RefreshControls();
}

void CLumasetView::StopReconnecting() {
  m_reconnectTimer.stop();
  m_reconnectTimer.setInterval(kReconnectPollMs);
  m_lost.reset();
}

// ---- the hand-off -------------------------------------------------------------------

int CLumasetView::OnHandOff(uint32_t, uint32_t) {
  std::string name;
  int32_t mode = 0;
  if (!platform::ReadHandOffBlock(&name, &mode)) return 0;
  m_serialLink.SetDownloadMode(mode);
  // A relative name is taken as relative to this instance's folder.
  const QString path = name.empty() ? QString() : QFileInfo(FileNameFromNative(name)).absoluteFilePath();
  DownloadProgram(path, false);
  if (m_document) m_document->SetPathName(path);
  if (m_app && !path.isEmpty()) m_app->AddToRecentFileList(path);
  return 1;
}

// ---- the receive display -----------------------------------------------------------

QString CLumasetView::DisplayText() const { return toPlainText() + m_pendingText; }

void CLumasetView::AppendReceived() {
  // 1. Past the line limit, the display and the log start afresh.
  if (DisplayLineCount() > static_cast<qint64>(m_maxLines)) ClearDisplay();
  // 2. One take of at most 1024 bytes from the active link.
  uint8_t buffer[kReceiveTake];
  const bool usb = UsbActive();
  int n = usb ? m_usbLink.TakeReceived(buffer, kReceiveTake) : m_serialLink.ReadAvailable(buffer, kReceiveTake);
  if (n < 0) n = 0;
  // 3-4. Into the log, rendered and counted.
  if (n > 0) {
    m_document->AppendLog(buffer, static_cast<size_t>(n));
    const QString text = m_renderer.Render(buffer, static_cast<size_t>(n));
    m_lineCount.Add(text);
    m_pendingText += text;
  }
  // 5-7. Drawn at the next idle pass; what waits is bounded like the display.
  m_updateLocked = true;
  if (m_pendingText.size() > kDisplayCharLimit) m_pendingText = m_pendingText.right(kDisplayCharLimit);
  // 8. The link may go on.
  if (usb)
    m_usbLink.ReleaseReceived();
  else
    m_serialLink.AckReceive();
}

void CLumasetView::IdleUnlock() {
  if (!m_updateLocked) return;
  const qint64 since = m_lastFlush.isValid() ? m_lastFlush.elapsed() : kDisplayFlushMs;
  if (since >= kDisplayFlushMs)
    FlushDisplay();
  else if (!m_flushTimer.isActive())
    m_flushTimer.start(static_cast<int>(kDisplayFlushMs - since));
}

void CLumasetView::FlushDisplay() {
  m_flushTimer.stop();
  // The display lets its oldest text go itself, so the newest always shows.
  AppendText(m_pendingText);
  m_pendingText.clear();
  ScrollToEnd();
  m_lastFlush.restart();
  m_updateLocked = false;
  emit displayFlushed();
}

void CLumasetView::ReRenderLog() {
  m_flushTimer.stop();
  m_pendingText.clear();
  m_updateLocked = false;
  m_renderer.Reset();
  m_renderer.SetHex(m_hexDisplay != 0);
  m_lineCount.Reset();
  // The whole log is one take. Only its last part can show, so it is
  // rendered piece by piece keeping the tail, and its lines are counted on
  // the way; in text display a zero byte ends what is shown.
  const uint8_t* data = m_document ? m_document->LogData() : nullptr;
  const size_t length = m_document ? m_document->LogLength() : 0;
  QString text;
  constexpr size_t kPiece = 16384;
  for (size_t at = 0; at < length; at += kPiece) {
    const size_t n = std::min(kPiece, length - at);
    const bool zero = !m_hexDisplay && std::memchr(data + at, 0, n) != nullptr;
    const QString piece = m_renderer.Render(data + at, n);
    m_lineCount.Add(piece);
    text += piece;
    if (text.size() > 2 * kDisplayCharLimit) text = text.right(kDisplayCharLimit);
    if (zero) break;
  }
  SetText(text);
  ScrollToEnd();
}

void CLumasetView::ClearDisplay() {
  m_pendingText.clear();
  m_lineCount.Reset();
  Clear();
  if (m_document) m_document->ClearLog();
}

// ---- keys and the context menu --------------------------------------------------------

void CLumasetView::SendTyped(const QString& text) {
  if (!m_serialLink.IsOpen()) return;
  // Each character on its own, in the host's code page; Enter is CR LF.
  for (const uint32_t c : text.toUcs4()) {
    if (c == '\r') {
      m_serialLink.SendCommandString("\r\n");
      continue;
    }
    const std::string bytes = platform::EncodeCp936(QString::fromUcs4(reinterpret_cast<const char32_t*>(&c), 1).toStdString());
    if (!bytes.empty()) m_serialLink.SendCommandString(bytes.c_str());
  }
}

void CLumasetView::keyPressEvent(QKeyEvent* e) {
  if (e->matches(QKeySequence::Copy)) {
    copy();
    return;
  }
  if (e->matches(QKeySequence::SelectAll)) {
    selectAll();
    return;
  }
  switch (e->key()) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
      // Moving through the display stays local.
      CReceiveText::keyPressEvent(e);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter: SendTyped(QStringLiteral("\r")); return;
    case Qt::Key_Delete: return;
    default: break;
  }
  const QString text = e->text();
  if (text.isEmpty() || (e->modifiers() & Qt::AltModifier)) {
    e->ignore();
    return;
  }
  SendTyped(text);
}

void CLumasetView::inputMethodEvent(QInputMethodEvent* e) {
  if (!e->commitString().isEmpty()) SendTyped(e->commitString());
  e->accept();
}

void CLumasetView::contextMenuEvent(QContextMenuEvent* e) {
  if (CMainFrame* frame = m_app ? m_app->MainFrame() : nullptr)
    frame->TrackPopupMenu(resui::BuildPopupMenu(res::kMainResource, res::kViewContextSubmenu, frame), e->globalPos());
  e->accept();
}

}  // namespace lumaset
