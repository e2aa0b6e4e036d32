#include "tools/cli/session.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEvent>
#include <QFile>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>

#include "app/qt_link_event.h"
#include "resources/resource_ids.h"
#include "app/settings.h"
#include "link/link_events.h"
#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/language.h"
#include "platform/port_map.h"
#include "platform/serial_line.h"
#include "tools/cli/console.h"
#include "tools/cli/json_output.h"
#include "tools/cli/ports.h"

namespace lumaset::cli {
namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// What a failure code means, for the message after its name.
const char* FailureMeaning(uint32_t code) {
  switch (code) {
    case LS_NOT_READY: return "the link was not open, or a transfer was already running";
    case LS_CHECK_VERSION: return "the host did not answer the download handshake";
    case LS_CANCELLED: return "the transfer was cancelled (stopped, or the host sent its abort character 0x9F)";
    case LS_TIMEOUT: return "a block could not be written in time";
    case LS_WRITE_FAILED: return "a block could not be written";
    case LS_VERIFY_FAILED: return "the host's closing acknowledgement was missing or wrong";
    case LS_REFUSED: return "the host refused the download or did not confirm its length";
    default: return "unknown failure";
  }
}

// The name of a link status as the link's header spells it.
const char* StatusName(uint32_t code) { return code == LS_REFUSED ? "LS_REFUSED" : LinkStatusName(code); }

// At most this often a progress line with --json (the one that reaches the
// total is always written): never more than ten in any second.
constexpr int64_t kProgressSpacingMs = 125;

bool FailureLooksLikeSilence(uint32_t code) {
  return code == LS_CHECK_VERSION || code == LS_VERIFY_FAILED || code == LS_TIMEOUT;
}

std::string ShellWord(const std::string& s) {
  if (!s.empty() && s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+:=,") ==
                        std::string::npos)
    return s;
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

int64_t TransferBoundMs(uint64_t bytes, uint32_t rate) {
  // F (115200 / rate, in ms) is about eleven times the time one byte takes on
  // the wire; three times that for every byte, plus the pause before every
  // block, plus a minute for the announcement, the handshake and the
  // closing acknowledgement.
  const int64_t f = TimePerByteFor(rate);
  const int64_t blocks = static_cast<int64_t>((bytes + kWriteBlock - 1) / kWriteBlock);
  return 60000 + static_cast<int64_t>(bytes) * f * 3 + blocks * 2 * f;
}

int64_t SearchBoundMs(uint32_t startRate) {
  // Twelve tries from the start rate; each: 10 ms settle and at most two
  // probes (the second confirms an answer), each probe five bytes of at most
  // F + 500 ms, up to 4F + 500 ms for the answer (and the wire time of 128
  // bytes, under 12F, more while the host's text keeps coming), 3F + 500 ms
  // after it. Twice that, plus the closing and re-opening of the port.
  int index = BaudRateIndex(startRate);
  if (index < 0) index = 0;
  int64_t total = 0;
  for (int i = 0; i < 12; ++i) {
    const int64_t f = kBaudFactors[(index + i) % kBaudRateCount];
    total += 10 + 2 * (5 * (f + 500) + 19 * f + 1000);
  }
  return 2 * total + 10000;
}

Session::Entry::Entry(Session* s) : session(s) { ++session->depth_; }

Session::Entry::~Entry() {
  if (--session->depth_ == 0 && session->deferredExit_) {
    const int code = *session->deferredExit_;
    session->deferredExit_.reset();
    session->Finish(code, session->deferredReason_);
  }
}

Session::Session(const Options& options, CliOperator* op)
    : opt_(options), operator_(op), json_(JsonOutput::Instance().Enabled()) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, [this] { OnDeadline(); });
}

Session::~Session() {
  link_.reset();
  if (save_) std::fclose(save_);
}

void Session::Post(uint32_t message, uint32_t first, uint32_t second) {
  if (message == WM_LINK_EVENT) PostWindowMessage(this, message, first, second);
}

bool Session::event(QEvent* e) {
  if (const WindowMessageEvent* link = AsWindowMessage(e)) {
    OnLinkEvent(link->first, link->second);
    return true;
  }
  return QObject::event(e);
}

// ---- start -------------------------------------------------------------------

void Session::Start() {
  Entry entry(this);
  if (!CheckFiles()) return Finish(kExitUsage, "bad-file");
  if (!LoadStoredSettings()) return Finish(kExitUsage, "bad-settings");
  if (opt_.command == Command::kPorts) return Finish(ListPorts(opt_.json));
  if (!OpenLink()) {
    if (fixedRate_) return Finish(kExitUsage, "fixed-rate");
    return Finish(link_ || refusedByLink_ ? kExitFailed : kExitUsage,
                  refusedByLink_ ? "unsupported" : link_ ? "open-failed" : "bad-link");
  }
  switch (opt_.command) {
    case Command::kProbe: return RunProbe();
    case Command::kCommand: return RunCommand(opt_.index);
    case Command::kSetClock: return RunCommand(6);
    case Command::kSetHostBaud: return RunSetHostBaud();
    case Command::kSearchBaud: return RunSearch();
    case Command::kDownloadSystem:
    case Command::kDownloadUser:
    case Command::kDownloadTouch:
    case Command::kSendFile: return RunDownload();
    case Command::kMonitor: return RunMonitor();
    case Command::kPorts: break;  // listed above
  }
}

bool Session::CheckFiles() {
  if (!opt_.file.empty()) {
    // Checked here so that a file the link could not read is a usage error
    // (2), not a failure of the link (1). A FIFO or a device is refused from
    // its status and never opened (opening a serial port can reset a host).
    int error = 0;
    const int fd = platform::OpenRegularFile(opt_.file.c_str(), &error);
    if (fd < 0) {
      Say(Format("cannot read %s: %s", opt_.file.c_str(),
                 error == EISDIR    ? "it is a folder"
                 : error == ENOTSUP ? "it is not a regular file"
                                    : std::strerror(error)));
      return false;
    }
    struct stat st{};
    const bool statOk = fstat(fd, &st) == 0;
    if (!statOk) error = errno;
    if (statOk && json_) {
      // The start line names the file by its SHA-256, as read now.
      QFile file;
      QCryptographicHash hash(QCryptographicHash::Sha256);
      if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) && hash.addData(&file))
        sha256_ = QString::fromLatin1(hash.result().toHex());
    }
    ::close(fd);
    if (!statOk) {
      Say(Format("cannot read %s: %s", opt_.file.c_str(), std::strerror(error)));
      return false;
    }
    fileSize_ = static_cast<uint64_t>(st.st_size);
    fileKnown_ = true;
    if (fileSize_ > 0xFFFFFFF0ull) {
      Say(Format("cannot send %s: larger than 4 GiB", opt_.file.c_str()));
      return false;
    }
  }
  if (!opt_.saveFile.empty()) {
    save_ = std::fopen(opt_.saveFile.c_str(), "wb");
    if (!save_) {
      Say(Format("cannot write %s: %s", opt_.saveFile.c_str(), std::strerror(errno)));
      return false;
    }
  }
  return true;
}

bool Session::LoadStoredSettings() {
  choice_.record = LinkDefaults();
  choice_.record.tcpPort = kDefaultTcpPort;
  if (opt_.settingsFile.empty()) return true;
  struct stat st{};
  if (stat(opt_.settingsFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Say(Format("cannot read the settings file %s: %s (the window program writes %s)", opt_.settingsFile.c_str(),
               stat(opt_.settingsFile.c_str(), &st) != 0 ? std::strerror(errno) : "not a regular file",
               DefaultRegistryPath().c_str()));
    return false;
  }
  CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, opt_.settingsFile);
  reg.SetStoreDefaults(false);  // reading FILE never writes it
  StoredSettings stored;
  if (!LoadSettings(reg, stored)) {
    Say("cannot read the settings file " + opt_.settingsFile + " (see the message above)");
    return false;
  }
  choice_.record = stored.commDcb;
  platform::SetComPortPin(stored.commDcb.port, stored.commDevice);
  choice_.remoteHost = stored.remoteHost;
  haveStored_ = true;
  return true;
}

QJsonObject Session::StartFields() const {
  const auto orNull = [](bool known, QJsonValue value) { return known ? value : QJsonValue(); };
  QJsonObject o{{"command", JsonText(opt_.commandName)}, {"version", LUMASET_VERSION}};
  o["link"] = orNull(link_ != nullptr, link_ ? link_->Kind() : "");
  o["port"] = orNull(link_ != nullptr, link_ ? JsonText(link_->PortText()) : QString());
  const std::string address = link_ ? link_->Address() : std::string();
  o["device"] = orNull(!address.empty(), JsonText(address));
  o["rate"] = orNull(link_ && link_->Rate(), static_cast<qint64>(link_ ? link_->Rate() : 0));
  o["mode"] = opt_.mode;
  const bool file = !opt_.file.empty();
  o["file"] = orNull(file, JsonText(opt_.file));
  o["size"] = orNull(fileKnown_, static_cast<qint64>(fileSize_));
  o["sha256"] = orNull(!sha256_.isEmpty(), sha256_);
  if (opt_.command == Command::kCommand) o["index"] = opt_.index;
  if (opt_.command == Command::kSetHostBaud) o["hostRate"] = static_cast<qint64>(opt_.hostRate);
  if (opt_.command == Command::kDownloadUser) o["answer"] = *opt_.answerYes ? "yes" : "no";
  return o;
}

void Session::SaveRate(uint32_t rate) {
  // As the window program keeps a rate that the link settings command set
  // or a search found, and saves its record at exit. Only "CommDCB" is
  // written, and only when the rate differs from the stored one.
  if (!haveStored_) return;
  CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, opt_.settingsFile);
  reg.SetStoreDefaults(false);
  StoredSettings stored;
  if (!LoadSettings(reg, stored)) return;
  if (stored.commDcb.rate == rate) return;
  stored.commDcb.rate = rate;
  const LinkSettings::Bytes record = stored.commDcb.ToBytes();
  if (reg.WriteBinary("CommDCB", record.data(), record.size()))
    Say(Format("the rate %u is stored in %s", rate, opt_.settingsFile.c_str()));
}

bool Session::OpenLink() {
  LinkSettings& record = choice_.record;
  if (opt_.comPort) {
    record.port = static_cast<uint8_t>(*opt_.comPort);
    record.network = 0;
  } else if (!opt_.device.empty() && (record.port == 0 || record.network)) {
    record.port = 1;  // --device alone: COM1 is that device
    record.network = 0;
  }
  if (!opt_.tcpHost.empty()) {
    if (record.port == 0) record.port = 1;
    record.network = 1;
    if (opt_.tcpPort) record.tcpPort = *opt_.tcpPort;
    if (record.tcpPort == 0) record.tcpPort = kDefaultTcpPort;
    choice_.remoteHost = opt_.tcpHost;
  }
  if (opt_.usb) record.port = 0;
  if (opt_.baud) record.rate = *opt_.baud;
  choice_.devicePath = opt_.device;
  choice_.usbVirtualPath = opt_.usbVirtual;
  std::string error;
  link_ = MakeLink(choice_, this, &error);
  if (!link_) {
    Say(error);
    return false;
  }
  if (json_) JsonOutput::Instance().Start(StartFields());
  if (std::string why = link_->FixedRate(opt_.command); !why.empty()) {
    // A port whose rate is fixed on its device server: asking it to change
    // or search the rate is a mistake of the command line.
    Say(why);
    fixedRate_ = true;
    link_.reset();
    return false;
  }
  if (std::string why = link_->Unsupported(opt_.command); !why.empty()) {
    // The link refuses the command: a failure of the link, not of the usage.
    Say(why);
    refusedByLink_ = true;
    link_.reset();
    return false;
  }
  if (!link_->Open()) {
    ExplainOpenFailure();
    return false;
  }
  return true;
}

void Session::ExplainServerFailure(const std::string& url) {
  const int port = choice_.record.port;
  const int error = link_->LastOpenError();
  if (error == EBUSY) {
    Say(Format("the device server at %s (COM%d) turned the connection away: its port is in use by another client, "
               "or the server is not taking connections there",
               url.c_str(), port));
  } else if (error == platform::kSettingsNotConfirmed) {
    Say(Format("the device server at %s (COM%d) did not take %u Baud (refused, or not confirmed in time): choose "
               "another --baud or check the server's settings",
               url.c_str(), port, link_->Rate()));
  } else if (error == EPROTONOSUPPORT) {
    Say(Format("the server at %s (COM%d) refuses the COM-PORT-OPTION of RFC 2217: for a raw TCP port use socket://",
               url.c_str(), port));
  } else {
    Say(Format("could not connect to the device server at %s (COM%d): %s; check the address, the port and the network",
               url.c_str(), port, std::strerror(error)));
  }
}

void Session::ExplainOpenFailure() {
  if (std::string why = link_->OpenFailure(); !why.empty()) {
    Say(why);
    return;
  }
  const int port = choice_.record.port;
  const std::string path = link_->DevicePath();
  if (path.empty()) {
    Say(Format("COM%d resolves to no device: give --device PATH or set LUMASET_COM%d=PATH (without them COM n is "
               "the n-th of /dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*; `lumaset-cli ports` lists them)",
               port, port));
    return;
  }
  if (platform::IsDeviceUrl(path)) return ExplainServerFailure(path);
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) {
    Say(Format("COM%d is %s, which does not exist (%s): is the adapter plugged in and the path right?", port,
               path.c_str(), std::strerror(errno)));
    return;
  }
  if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    std::string group;
    if (struct group* g = getgrgid(st.st_gid)) group = g->gr_name;
    std::string fix = "add your user to the dialout group: sudo usermod -aG dialout $USER, then log in again";
    if (!group.empty() && group != "dialout")
      fix = "add your user to the group of the device (" + group + "): sudo usermod -aG " + group +
            " $USER, then log in again";
    Say(Format("no permission to open %s (COM%d): %s", path.c_str(), port, fix.c_str()));
    return;
  }
  if (operator_->LastText() == platform::LoadString(res::kStrPortInUse)) {
    Say(Format("%s (COM%d) is in use by another program: end it first (fuser -v %s shows which)", path.c_str(), port,
               path.c_str()));
    return;
  }
  if (!S_ISCHR(st.st_mode)) {
    Say(Format("%s (COM%d) is not a serial device", path.c_str(), port));
    return;
  }
  if (operator_->LastText() == std::strerror(EINVAL)) {
    Say(Format("the serial driver of %s (COM%d) cannot run at %u Baud: choose another --baud", path.c_str(), port,
               link_->Rate()));
    return;
  }
  Say(Format("could not open or set up %s (COM%d) at %u Baud (see the message above)", path.c_str(), port,
             link_->Rate()));
}

std::string Session::SearchCommandLine() const {
  std::string line = kProgramName;
  if (!opt_.device.empty()) {
    if (opt_.comPort) line += " --com " + std::to_string(*opt_.comPort);
    line += " --device " + ShellWord(opt_.device);
  } else if (opt_.comPort) {
    line += " --com " + std::to_string(*opt_.comPort);
  }
  return line + " search-baud";
}

void Session::HostSilentHint() {
  if (link_) Say(link_->SilentHostHint(SearchCommandLine()));
}

// ---- commands ----------------------------------------------------------------

void Session::RunProbe() {
  operator_->TakeSearchAccepted();
  const int answered = link_->Probe(1);
  if (operator_->TakeSearchAccepted()) {
    if (answered) return BeginSearchWait(AfterSearch::kProbe);
    Say("the baud search could not be started");
    return Finish(kExitFailed, "not-started");
  }
  if (answered) return AfterCommandSent("the host answered the probe (0x0F) on " + link_->Where());
  Say("the host did not answer the probe with 0x0F on " + link_->Where());
  HostSilentHint();
  Finish(kExitFailed, "no-answer");
}

void Session::RunCommand(int index) {
  operator_->TakeSearchAccepted();
  const int sent = link_->SendCommand(index);
  if (operator_->TakeSearchAccepted()) {
    // The probe failed, the search has begun and the entry went nowhere; it
    // is sent again once the rate is found.
    if (sent) return BeginSearchWait(AfterSearch::kResendCommand);
    Say("the baud search could not be started");
    return Finish(kExitFailed, "not-started");
  }
  if (!sent) {
    Say(Format("the host did not answer the probe with 0x0F on %s; entry %d was not sent", link_->Where().c_str(),
               index));
    HostSilentHint();
    return Finish(kExitFailed, "no-answer");
  }
  if (index == 6) {
    platform::LocalTime t = platform::Now();
    return AfterCommandSent(Format("sent entry 6 and the clock %04d-%02d-%02d %02d:%02d:%02d (local time)", t.year,
                                   t.month, t.day, t.hour, t.minute, t.second));
  }
  AfterCommandSent(Format("sent entry %d of the host command table", index));
}

void Session::RunSetHostBaud() {
  const uint32_t before = link_->Rate();
  operator_->TakeSearchAccepted();
  const int ok = link_->SetHostBaudRate(opt_.hostRate);
  if (operator_->TakeSearchAccepted()) {
    if (link_->IsSearching()) return BeginSearchWait(AfterSearch::kRetryHostBaud);
    Say("the baud search could not be started");
    return Finish(kExitFailed, "not-started");
  }
  if (ok) {
    Say(Format("the host and the link are now at %u Baud (use --baud %u from now on)", opt_.hostRate, opt_.hostRate));
    SaveRate(opt_.hostRate);
    return Finish(kExitDone);
  }
  if (link_->Rate() == opt_.hostRate && before != opt_.hostRate) {
    Say(Format("the rate change was sent, but the host did not answer at %u Baud", opt_.hostRate));
  } else {
    Say(Format("the host did not answer on %s; its rate was not changed", link_->Where().c_str()));
  }
  HostSilentHint();
  Finish(kExitFailed, "no-answer");
}

void Session::RunSearch() {
  if (!link_->StartBaudSearch(0)) {
    Say("the baud search could not be started");
    return Finish(kExitFailed, "not-started");
  }
  BeginSearchWait(AfterSearch::kReport);
}

void Session::RunDownload() {
  link_->SetDownloadMode(opt_.mode);
  const bool image = opt_.command == Command::kDownloadSystem || opt_.command == Command::kDownloadUser;
  transferTotal_ = image ? fileSize_ + 6 : fileSize_;
  transferTotalKnown_ = true;
  int started = 0;
  switch (opt_.command) {
    case Command::kDownloadSystem: started = link_->SendSystemProgram(opt_.file); break;
    case Command::kDownloadUser: started = link_->SendUserProgram(opt_.file, *opt_.answerYes); break;
    case Command::kDownloadTouch: started = link_->SendTouchProgram(opt_.file); break;
    default: started = link_->SendRawFile(opt_.file); break;
  }
  if (!started) {
    if (image) return Finish(kExitFailed, DiagnoseRefusedImage());
    Say("the transfer could not be started (see the message above)");
    return Finish(kExitFailed, "not-started");
  }
  Say(Format("sending %s (%llu bytes) on %s%s", opt_.file.c_str(), static_cast<unsigned long long>(fileSize_),
             link_->Where().c_str(), opt_.mode == 1 ? ", data at 115200 Baud" : ""));
  wait_ = Wait::kTransfer;
  const int64_t bound =
      opt_.timeoutSeconds ? int64_t{opt_.timeoutSeconds} * 1000 : TransferBoundMs(transferTotal_, link_->Rate());
  deadline_.start(static_cast<int>(std::min<int64_t>(bound, 0x7FFFFFFF)));
}

const char* Session::DiagnoseRefusedImage() {
  // The announcement failed: either the probe before it or the host's
  // acknowledgement. A quiet probe tells which.
  if (link_->Probe(0)) {
    Say("the host answers the probe but did not accept the announcement (no acknowledgement E7 A8 B6 CE 4F 4B 0D 0A)");
    return "refused";
  }
  Say("the host did not answer the probe on " + link_->Where() + "; nothing was sent");
  HostSilentHint();
  return "no-answer";
}

void Session::RunMonitor() {
  Say("receiving on " + link_->Where() +
      (opt_.seconds ? Format(" for %d s", opt_.seconds) : std::string("; Ctrl-C ends")));
  BeginListening(Wait::kMonitor, opt_.seconds);
}

void Session::AfterCommandSent(const std::string& what) {
  Say(what);
  if (opt_.listenSeconds > 0) return BeginListening(Wait::kListen, opt_.listenSeconds);
  Finish(kExitDone);
}

void Session::BeginListening(Wait wait, int seconds) {
  wait_ = wait;
  renderer_ = std::make_unique<ReceivedText>(opt_.hex   ? ReceivedText::Mode::kHex
                                             : opt_.raw ? ReceivedText::Mode::kRaw
                                                        : ReceivedText::Mode::kText);
  if (seconds > 0) deadline_.start(seconds * 1000);
}

void Session::BeginSearchWait(AfterSearch then) {
  wait_ = Wait::kSearch;
  afterSearch_ = then;
  const int64_t bound = opt_.timeoutSeconds ? int64_t{opt_.timeoutSeconds} * 1000 : SearchBoundMs(link_->Rate());
  deadline_.start(static_cast<int>(std::min<int64_t>(bound, 0x7FFFFFFF)));
}

// ---- events ------------------------------------------------------------------

void Session::OnProgress(uint32_t thousandths, uint32_t bytes) {
  if (wait_ != Wait::kTransfer) return;
  sent_ = bytes;
  if (!json_) return Console::Instance().Progress(thousandths, bytes, transferTotal_);
  // The link reports every block; a script gets a few lines a second and
  // always the one that reaches the total.
  const int64_t now = JsonOutput::Instance().ElapsedMs();
  const bool complete = thousandths >= 1000;
  if (complete ? progressComplete_ : lastProgressMs_ >= 0 && now - lastProgressMs_ < kProgressSpacingMs) return;
  progressComplete_ = complete;
  lastProgressMs_ = now;
  JsonOutput::Instance().Line("progress", {{"bytes", static_cast<qint64>(bytes)},
                                           {"total", static_cast<qint64>(transferTotal_)},
                                           {"thousandths", static_cast<qint64>(thousandths)}});
}

void Session::OnLinkEvent(uint32_t code, uint32_t value) {
  Entry entry(this);
  if (finished_ || !link_) return;
  if (IsProgressEvent(code)) return OnProgress(std::min<uint32_t>(ProgressThousandths(code), 1000), value);
  switch (code) {
    case LE_DATA_RECEIVED: OnData(); break;
    case LE_CTS_CHANGED:
    case LE_DSR_CHANGED: link_->AckLineChange(); break;
    case LE_SEND_STARTED: break;
    case LE_STATUS:
      if (json_) {
        JsonOutput::Instance().Line("status", {{"status", StatusName(value)},
                                               {"statusCode", static_cast<qint64>(value)},
                                               {"text", StatusDisplayText(value)}});
      } else if (const char* text = StatusDisplayText(value); *text) {
        Console::Instance().Line(text);
      }
      break;
    case LE_SEND_DONE:
      link_->RearmReceive();
      if (wait_ != Wait::kTransfer) break;
      sent_ = value;
      Console::Instance().EndProgress();
      Say(Format("done: %u bytes sent", value));
      Finish(kExitDone);
      break;
    case LE_FAILED:
      link_->RearmReceive();
      if (wait_ != Wait::kTransfer) break;
      endStatus_ = value;
      Console::Instance().EndProgress();
      Say(Format("transfer failed: %s (0x%08X): %s", StatusName(value), value, FailureMeaning(value)));
      if (FailureLooksLikeSilence(value)) HostSilentHint();
      Finish(kExitFailed, "transfer-failed");
      break;
    case LE_PORT_GONE:
      // A transfer or a search ends on its own, with its own outcome; only a
      // wait for received bytes would go on for nothing.
      if (wait_ != Wait::kMonitor && wait_ != Wait::kListen) break;
      Say(Format("%s went away (%s)", link_->PortText().c_str(),
                 value ? std::strerror(static_cast<int>(value)) : "no reason given"));
      Finish(kExitFailed, "port-gone");
      break;
    case LE_BAUD_TRYING:
      if (json_)
        JsonOutput::Instance().Line("baud", {{"event", "trying"}, {"rate", static_cast<qint64>(value)}});
      else
        Console::Instance().Line(Format("Searching at %u Baud ...", value));
      break;
    case LE_BAUD_FOUND:
      if (wait_ != Wait::kSearch) break;
      if (json_) JsonOutput::Instance().Line("baud", {{"event", "found"}, {"rate", static_cast<qint64>(value)}});
      OnSearchFound(value);
      break;
    case LE_BAUD_NOT_FOUND:
      if (wait_ != Wait::kSearch) break;
      if (json_) JsonOutput::Instance().Line("baud", {{"event", "not-found"}, {"rate", static_cast<qint64>(value)}});
      ResourceMessageBox(this, res::kStrBaudNotFound, res::kStrCaption, platform::kMbIconInformation);
      Say(Format("no rate answered; the link is back at %u Baud", link_->Rate()));
      Say("hint: check the cable, the port (" + link_->PortText() + "; --com N or --device PATH) and that the host is on");
      Finish(kExitFailed, "no-rate");
      break;
    default: break;
  }
}

void Session::OnSearchFound(uint32_t rate) {
  deadline_.stop();
  wait_ = Wait::kNothing;
  switch (afterSearch_) {
    case AfterSearch::kReport:
      if (!json_) {
        std::fprintf(stdout, "%u\n", rate);
        std::fflush(stdout);
      }
      Say(Format("the host answers at %u Baud (use --baud %u)", rate, rate));
      SaveRate(rate);
      return Finish(kExitDone);
    case AfterSearch::kProbe:
      SaveRate(rate);
      return AfterCommandSent(Format("the host answered the probe (0x0F) at %u Baud, found by the search (use --baud %u)",
                                     rate, rate));
    case AfterSearch::kResendCommand:
      Say(Format("the host answers at %u Baud (use --baud %u); sending the command again", rate, rate));
      SaveRate(rate);
      return RunCommand(opt_.command == Command::kSetClock ? 6 : opt_.index);
    case AfterSearch::kRetryHostBaud:
      Say(Format("the host answers at %u Baud; changing its rate again", rate));
      return RunSetHostBaud();
  }
}

void Session::OnData() {
  uint8_t buffer[1024];
  const int n = link_->TakeReceived(buffer, sizeof buffer);
  bool outputGone = false;
  if (n > 0 && renderer_ && (wait_ == Wait::kMonitor || wait_ == Wait::kListen)) {
    const uint64_t offset = received_;
    received_ += static_cast<uint64_t>(n);
    const std::string text = renderer_->Render(buffer, static_cast<size_t>(n));
    if (json_) {
      outputGone = !JsonOutput::Instance().Line("data", {{"offset", static_cast<qint64>(offset)},
                                                         {"bytes", n},
                                                         {"hex", HexText(buffer, static_cast<size_t>(n))},
                                                         {"text", JsonText(text)}});
    } else if (!text.empty()) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
      outputGone = std::ferror(stdout) != 0;
    }
    if (save_ && std::fwrite(buffer, 1, static_cast<size_t>(n), save_) != static_cast<size_t>(n)) {
      Say(Format("cannot write %s: %s", opt_.saveFile.c_str(), std::strerror(errno)));
      link_->DoneReceived();
      return Finish(kExitFailed, "save-failed");
    }
    if (save_) std::fflush(save_);
  }
  link_->DoneReceived();
  if (outputGone) Finish(kExitDone, "output-closed");  // the reader of stdout has gone (monitor | head)
}

void Session::OnDeadline() {
  Entry entry(this);
  if (finished_) return;
  switch (wait_) {
    case Wait::kTransfer:
      Console::Instance().EndProgress();
      Say(Format("the transfer reported no result within %d s; stopping it", deadline_.interval() / 1000));
      link_->StopTransfer();
      return Finish(kExitFailed, "timeout");
    case Wait::kSearch:
      Say(Format("the baud search reported no result within %d s; stopping it", deadline_.interval() / 1000));
      link_->StopBaudSearch();
      return Finish(kExitFailed, "timeout");
    case Wait::kMonitor:
    case Wait::kListen: return Finish(kExitDone);
    case Wait::kNothing: return;
  }
}

void Session::OnSignal(int signalNumber) {
  Entry entry(this);
  if (finished_ || deferredExit_) return;
  const char* name = signalNumber == SIGINT ? "SIGINT" : signalNumber == SIGTERM ? "SIGTERM" : "a signal";
  switch (wait_) {
    case Wait::kMonitor:
    case Wait::kListen: return Finish(kExitDone);
    case Wait::kTransfer:
      Console::Instance().EndProgress();
      Say(Format("interrupted by %s: stopping the transfer", name));
      link_->StopTransfer();
      return Finish(kExitFailed, "interrupted");
    case Wait::kSearch:
      Say(Format("interrupted by %s: stopping the baud search", name));
      link_->StopBaudSearch();
      return Finish(kExitFailed, "interrupted");
    case Wait::kNothing:
      Say(Format("interrupted by %s", name));
      return Finish(kExitFailed, "interrupted");
  }
}

void Session::Finish(int code, const char* reason) {
  if (finished_) return;
  if (depth_ > 0) {
    // A link call is still on the stack: finish when it has returned.
    if (!deferredExit_) {
      deferredExit_ = code;
      deferredReason_ = reason;
    }
    return;
  }
  finished_ = true;
  deadline_.stop();
  if (renderer_) {
    const std::string tail = renderer_->Finish();
    if (json_ && !tail.empty()) {
      JsonOutput::Instance().Line("data", {{"offset", static_cast<qint64>(received_)},
                                           {"bytes", 0},
                                           {"hex", ""},
                                           {"text", JsonText(tail)}});
    } else if (!tail.empty()) {
      std::fwrite(tail.data(), 1, tail.size(), stdout);
    }
    std::fflush(stdout);
  }
  Console::Instance().EndProgress();
  if (wait_ == Wait::kMonitor) {
    std::string saved = save_ ? " (saved to " + opt_.saveFile + ")" : std::string();
    Say(Format("received %llu bytes%s", static_cast<unsigned long long>(received_), saved.c_str()));
  }
  if (save_) {
    if (std::fclose(save_) != 0) {
      Say(Format("cannot write %s: %s", opt_.saveFile.c_str(), std::strerror(errno)));
      if (code == kExitDone) code = kExitFailed;
    }
    save_ = nullptr;
    if (code != kExitDone && !reason) reason = "save-failed";
  }
  const bool transfer = transferTotalKnown_;
  wait_ = Wait::kNothing;
  // The rate before the link goes (the one a search found, or set-host-baud set).
  const uint32_t rate = link_ ? link_->Rate() : 0;
  // Closes the link: every thread of it has ended when this returns.
  link_.reset();
  // The listing of ports is its own output: its lines alone, unless it failed.
  if (json_ && !(opt_.command == Command::kPorts && code == kExitDone)) {
    QJsonObject end{{"result", code == kExitDone ? "success" : code == kExitUsage ? "usage" : "failed"},
                    {"exit", code},
                    {"reason", reason ? QJsonValue(reason) : QJsonValue()},
                    {"status", endStatus_ ? QJsonValue(StatusName(*endStatus_)) : QJsonValue()},
                    {"statusCode", endStatus_ ? QJsonValue(static_cast<qint64>(*endStatus_)) : QJsonValue()},
                    {"bytes", static_cast<qint64>(sent_)},
                    {"total", transfer ? QJsonValue(static_cast<qint64>(transferTotal_)) : QJsonValue()},
                    {"received", static_cast<qint64>(received_)},
                    {"rate", rate ? QJsonValue(static_cast<qint64>(rate)) : QJsonValue()}};
    JsonOutput::Instance().End(end, StartFields());
  }
  QCoreApplication::exit(code);
}

}  // namespace lumaset::cli
