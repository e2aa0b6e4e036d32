#include "link/serial_link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "resources/resource_ids.h"
#include "link/busy_flag.h"
#include "link/command_string.h"
#include "link/messages.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/port_map.h"

namespace lumaset {

using platform::IoStatus;

namespace {
// Port time-outs of the serial driver: a one-byte read completes empty after
// 1000 ms per byte + 1000 ms.
constexpr int kPortReadTimeoutMs = 1000 * 1 + 1000;
constexpr size_t kDriverQueueBytes = 32768;
// A reconnect to a device server (tried every second while the port is
// away) gives the server this long, so the user-interface thread that tries
// is never held for long.
constexpr int kQuietConnectTimeoutMs = 1000;
}  // namespace

std::atomic<bool>& ReplyReaderBusy() {
  static std::atomic<bool> busy{false};
  return busy;
}

int BaudRateIndex(uint32_t rate) {
  for (int i = 0; i < kBaudRateCount; ++i)
    if (kBaudRates[i] == rate) return i;
  return -1;
}

int TimePerByteFor(uint32_t rate) {
  int i = BaudRateIndex(rate);
  return i < 0 ? 12 : kBaudFactors[i];
}

CSerialLink::CSerialLink() { Reset(); }

CSerialLink::~CSerialLink() { Release(); }

// ---- state -----------------------------------------------------------------

void CSerialLink::Reset() {
  m_downloadMode = 0;
  m_iTimePerByte = 1000;
  m_awaitingReply = 0;
  m_handshakeRequested = 0;
  m_transferLength = 0;
  m_resendAfterSearch = 0;
  m_lastCommandIndex = -1;
  m_portError = 0;
  m_transferRunning = 0;
  m_searchRunning = 0;
  m_open = 0;
  m_hardwareHandshake = false;
  m_notifyWindow = nullptr;
  m_notifyMessage = WM_LINK_EVENT;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_settings = LinkDefaults();
    m_imagePath.clear();
    m_userPath.clear();
    m_systemPath.clear();
    m_touchPath.clear();
    m_description.clear();
  }
  m_dataConsumed.Set();
  m_stopWatcher.Reset();
  m_cancelTransfer.Reset();
  m_stopSearch.Reset();
}

void CSerialLink::Release() {
  Close(1);
  StopBaudSearch();
  // A search that was stopped re-opens the port on its way out.
  Close(1);
  std::lock_guard<std::mutex> guard(m_lock);
  m_imagePath.clear();
  m_userPath.clear();
  m_systemPath.clear();
  m_touchPath.clear();
  m_transferBuffer.clear();
  m_transferBuffer.shrink_to_fit();
}

void CSerialLink::ApplySettings(const LinkSettings* record) {
  if (!record) return;
  if (m_open) Close(1);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_settings = *record;
  }
  if (record->network == 0) UpdateTimePerByte();
}

void CSerialLink::GetSettings(LinkSettings* record) const {
  if (record) *record = Settings();
}

LinkSettings CSerialLink::Settings() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_settings;
}

void CSerialLink::SetRate(uint32_t rate) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_settings.rate = rate;
}

void CSerialLink::SetNotifyTarget(IEventTarget* window, uint32_t message) {
  m_notifyWindow = window;
  m_notifyMessage = message;
}

void CSerialLink::Post(uint32_t code, uint32_t value) {
  if (IEventTarget* target = m_notifyWindow.load()) target->Post(m_notifyMessage, code, value);
}

void CSerialLink::UpdateTimePerByte() { m_iTimePerByte = TimePerByteFor(Settings().rate); }

#define LUMASET_PATH_ACCESSORS(Name, member)                      \
  void CSerialLink::Set##Name##Path(const char* path) {          \
    std::lock_guard<std::mutex> guard(m_lock);                   \
    member = path ? path : "";                                   \
  }                                                              \
  std::string CSerialLink::Get##Name##Path() const {             \
    std::lock_guard<std::mutex> guard(m_lock);                   \
    return member;                                               \
  }
LUMASET_PATH_ACCESSORS(UserProgram, m_userPath)
LUMASET_PATH_ACCESSORS(SystemProgram, m_systemPath)
LUMASET_PATH_ACCESSORS(TouchProgram, m_touchPath)
#undef LUMASET_PATH_ACCESSORS

std::string CSerialLink::GetDescription() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_description;
}

void CSerialLink::SetDescription(const std::string& text) {
  std::lock_guard<std::mutex> guard(m_lock);
  // The description is a 100-byte text: 99 characters and the terminator.
  m_description = text.substr(0, 99);
}

std::shared_ptr<platform::SerialDevice> CSerialLink::Port() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_port;
}

int CSerialLink::IsSearching() { return m_searchRunning; }

// ---- open and close ---------------------------------------------------------

platform::LineSettings CSerialLink::LineFromRecord(const LinkSettings& r) const {
  platform::LineSettings line;
  line.rate = r.rate;
  line.byteSize = r.byteSize;
  line.parity = r.parity;
  line.stopBits = r.stopBits;
  line.eventChar = r.eventChar;
  line.parityCheck = r.lineFlags & kFlagParityCheck;
  line.ctsFlow = r.lineFlags & kFlagCtsFlow;
  line.dsrFlow = r.lineFlags & kFlagDsrFlow;
  line.dtrControl = static_cast<uint8_t>((r.lineFlags & kFlagDtrMask) >> kFlagDtrShift);
  line.rtsControl = static_cast<uint8_t>((r.lineFlags & kFlagRtsMask) >> kFlagRtsShift);
  line.xonOut = r.lineFlags & kFlagXonOut;
  line.xonIn = r.lineFlags & kFlagXonIn;
  return line;
}

std::string CSerialLink::ComDescription(const LinkSettings& record) const {
  static const char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  static const char* const kStopBits[] = {"1", "1.5", "2"};
  char text[100];
  std::snprintf(text, sizeof text, "%s: COM%d: %u, %c ,%d ,%s%s", platform::LoadString(res::kStrDescLink).c_str(),
                record.port, record.rate, record.parity < 5 ? kParity[record.parity] : 'N', record.byteSize,
                record.stopBits < 3 ? kStopBits[record.stopBits] : "1", m_hardwareHandshake ? ",CTS/RTS" : "");
  // A port pinned to a stable device name shows that name in parentheses,
  // and a port behind a device server its URL, shortened with "..." so that
  // the whole text stays within 99 characters.
  std::string description = text;
  const platform::ComResolution where = platform::ResolveComPort(record.port);
  const bool url = platform::IsDeviceUrl(where.path);
  if (where.source != platform::ComSource::kPin && !url) return description;
  std::string device = url ? where.path : where.path.substr(where.path.find_last_of('/') + 1);
  const size_t room = description.size() + 3 < 99 ? 99 - description.size() - 3 : 0;
  if (room < 4 || device.empty()) return description;
  if (device.size() > room) device = device.substr(0, room - 3) + "...";
  return description + " (" + device + ")";
}

int CSerialLink::Open(int withWatcher) { return OpenPort(withWatcher, false); }

int CSerialLink::OpenQuietly(int withWatcher) {
  if (Settings().network) {
    m_lastOpenError = EOPNOTSUPP;
    return 0;
  }
  return OpenPort(withWatcher, true);
}

int CSerialLink::OpenPort(int withWatcher, bool quiet) {
  if (m_open) return 1;
  int error = 0;
  {
    std::lock_guard<std::mutex> openGuard(m_openLock);
    if (m_open) return 1;
    LinkSettings record = Settings();
    auto port = platform::SerialDevice::Open(
        platform::ComPortPath(record.port), &error,
        quiet ? kQuietConnectTimeoutMs : platform::SerialDevice::kServerConnectTimeoutMs);
    if (!port) {
      if (!quiet) m_portError = 1;
    } else {
      SetDescription(ComDescription(record));

      // Line settings: the record's framing, the event character when a
      // watcher runs, no flow control unless the hardware handshake is on.
      platform::LineSettings line;
      line.rate = record.rate;
      line.byteSize = record.byteSize;
      line.parity = record.parity;
      line.stopBits = record.stopBits;
      line.eventChar = withWatcher ? kEventChar : 0;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        m_settings.eventChar = line.eventChar;
        m_settings.lineFlags &= ~(kFlagCtsFlow | kFlagRtsMask | kFlagXonOut | kFlagXonIn);
        if (m_hardwareHandshake) {
          m_settings.lineFlags |= kFlagCtsFlow | (2u << kFlagRtsShift);
          line.ctsFlow = true;
          line.rtsControl = 2;
        }
      }
      error = port->Apply(line);
      if (error == 0) {
        port->SetQueueSizes(kDriverQueueBytes, kDriverQueueBytes);
        port->SetEventMask(withWatcher ? (platform::kEvRxChar | platform::kEvCts | platform::kEvDsr) : 0);
        port->DropDtrRts();
        m_stopWatcher.Reset();
        {
          std::lock_guard<std::mutex> guard(m_lock);
          m_port = port;
        }
        bool watcherFailed = false;
        if (withWatcher && !m_watcher.Create([this, port] { return WatcherBody(port); })) watcherFailed = true;
        platform::SleepMs(100);
        UpdateTimePerByte();
        port->Purge(true, true);
        m_open = 1;
        m_watcher.Start();
        // Open without a watcher: a quiet open records why.
        m_lastOpenError = watcherFailed ? EAGAIN : 0;
        if (watcherFailed && !quiet) ReportPortError(NotifyWindow(), EAGAIN);
        return 1;
      }
      if (!quiet) m_portError = 1;
      port->Close();
    }
  }
  m_lastOpenError = error;
  if (!quiet) ReportPortError(NotifyWindow(), static_cast<uint32_t>(error));
  return 0;
}

std::string CSerialLink::OpenDevicePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_port ? m_port->Path() : std::string();
}

bool CSerialLink::IsPortGone() const {
  auto port = Port();
  return port && port->IsGone();
}

bool CSerialLink::RefuseFixedRate() {
  const LinkSettings record = Settings();
  const std::string path = record.network ? std::string() : platform::ComPortPath(record.port);
  if (!platform::IsFixedRateUrl(path)) return false;
  platform::Operator().MessageBox(NotifyWindow(), FormatString(res::kStrFixedRatePort, {path}),
                                  platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
  return true;
}

void CSerialLink::ReportPortGone(const std::shared_ptr<platform::SerialDevice>& port) {
  if (port && port->ClaimGoneReport()) Post(LE_PORT_GONE, static_cast<uint32_t>(port->GoneError()));
}

void CSerialLink::ClosePort(bool stopTransfer) {
  if (stopTransfer && !OnTransferThread()) StopTransfer();
  std::lock_guard<std::mutex> openGuard(m_openLock);
  auto port = Port();
  if (m_open && port) {
    m_stopWatcher.Set();
    port->SetEventMask(0);
    m_dataConsumed.Set();
    // A held watcher is let go so that it can see the stop.
    while (m_watcher.HoldCount() > 0) m_watcher.Release();
    platform::StopWorker(m_watcher, m_stopWatcher, kWatcherGraceMs, nullptr);
    port->Close();
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_port.reset();
    }
    platform::SleepMs(100);
    m_open = 0;
  } else {
    m_open = 0;
    if (port) port->Close();
    std::lock_guard<std::mutex> guard(m_lock);
    m_port.reset();
  }
  SetDescription(platform::LoadString(res::kStrDescClosed));
}

int CSerialLink::Close(int stopTransferFirst) {
  ClosePort(stopTransferFirst != 0);
  return 1;
}

void CSerialLink::ReportPortError(IEventTarget* owner, uint32_t code) {
  if (m_searchRunning) return;
  // Every message names the port: its COM number and the device it leads to.
  const int number = Settings().port;
  const std::string path = platform::ComPortPath(number);
  const std::string detail =
      FormatString(res::kStrPortDetail, {std::to_string(number), path.empty() ? std::string("-") : path});
  if (m_portError && code == static_cast<uint32_t>(platform::kSettingsNotConfirmed) && platform::IsDeviceUrl(path)) {
    // A device server that refused the rate or did not confirm it.
    m_portError = 0;
    platform::Operator().MessageBox(owner, FormatString(res::kStrServerRateFailed, {path, std::to_string(Settings().rate)}),
                                    platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
    return;
  }
  unsigned text = 0;
  if (m_portError && code == ENOENT) text = res::kStrPortMissing;
  if (m_portError && code == EBUSY) text = res::kStrPortInUse;
  if (text) {
    m_portError = 0;
    platform::Operator().MessageBox(owner, platform::LoadString(text) + "\n\n" + detail,
                                    platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
  } else {
    // Without permission to open it, say how one gets it.
    ShowSystemError(owner, code, code == EACCES ? detail + "\n\n" + platform::LoadString(res::kStrDialoutHint) : detail);
  }
}

// ---- watcher ----------------------------------------------------------------

uint32_t CSerialLink::WatcherBody(std::shared_ptr<platform::SerialDevice> port) {
  if (!port) return kWatcherThreadDone;
  const Event& hold = m_watcher.HoldEvent();
  const uint32_t interest = platform::kEvRxChar | platform::kEvCts | platform::kEvDsr;
  // Line changes taken from the port and not yet posted: CTS goes before
  // DSR, one per pass, so two changes in one wake-up are both posted.
  uint32_t lineChanges = 0;
  bool gone = false;
  while (!m_stopWatcher.IsSet()) {
    if (!m_watcher.ParkIfHeld(m_stopWatcher)) break;
    uint32_t events = 0;
    if (lineChanges == 0) {
      int which = -1;
      IoStatus status = port->WaitEvent(interest, &events, {&m_stopWatcher, &hold}, platform::kInfinite, &which);
      if (status == IoStatus::kClosed || (status == IoStatus::kCancelled && which == 0)) break;
      if (status == IoStatus::kGone) {
        gone = true;
        break;
      }
      if (status != IoStatus::kOk || events == 0) continue;
      lineChanges = events & (platform::kEvCts | platform::kEvDsr);
    }
    if (lineChanges) {
      if (!NotifyWindow() || m_stopWatcher.IsSet()) break;
      const uint32_t change = (lineChanges & platform::kEvCts) ? platform::kEvCts : platform::kEvDsr;
      lineChanges &= ~change;
      m_dataConsumed.Reset();
      Post(change == platform::kEvCts ? LE_CTS_CHANGED : LE_DSR_CHANGED, 0);
      continue;
    }
    if (!m_dataConsumed.IsSet()) {
      // Wait until the view has taken the previous bytes (a stop or a hold
      // ends the wait). Then look at the port again: the view may have taken
      // everything, and a transfer may have taken the mask over meanwhile.
      // A port that goes away meanwhile is reported without waiting for the
      // view: the data event already posted still reads what is queued.
      const int woke = platform::WaitAny({&m_stopWatcher, &hold, &m_dataConsumed, &port->GoneEvent()},
                                         platform::kInfinite);
      if (woke == 0) break;
      if (woke == 3) {
        gone = true;
        break;
      }
      continue;
    }
    m_dataConsumed.Reset();
    Post(LE_DATA_RECEIVED, 0);
  }
  // A transfer reports the port's going itself, after its own failure.
  if (gone && !m_stopWatcher.IsSet() && !m_transferRunning) ReportPortGone(port);
  return kWatcherThreadDone;
}

// ---- reads and writes -------------------------------------------------------

int CSerialLink::InputQueueCount() {
  auto port = Port();
  return (m_open && port) ? static_cast<int>(port->InputCount()) : 0;
}

int CSerialLink::ReadAvailable(void* buffer, int maxBytes) {
  auto port = Port();
  if (!m_open || !port || !buffer || maxBytes <= 0) return 0;
  return static_cast<int>(port->Read(buffer, static_cast<size_t>(maxBytes)));
}

int CSerialLink::ReadExact(void* buffer, int count, const Event* cancelEvent) {
  // Another reader is running: nothing is read, and nothing is reported read.
  BusyFlag busy(ReplyReaderBusy());
  if (!busy.Owned()) return 0;
  auto port = Port();
  if (!m_open || !port || !buffer) return 0;
  UpdateTimePerByte();
  const int factor = m_iTimePerByte;
  auto* out = static_cast<uint8_t*>(buffer);
  int total = 0;
  for (int k = 0; k < count; ++k) {
    const int wait = (count - 1 - k) * factor + 500;
    const int attempt = wait < kPortReadTimeoutMs ? wait : kPortReadTimeoutMs;
    IoStatus status = port->ReadByte(out + total, {cancelEvent}, attempt);
    if (status == IoStatus::kOk) {
      ++total;
      continue;
    }
    // The port's own read time-out ends one attempt empty; the loop goes on
    // while the per-byte wait is longer than that.
    if (status == IoStatus::kTimeout && wait > kPortReadTimeoutMs) continue;
    break;
  }
  return total;
}

int CSerialLink::Write(const void* buffer, int length) {
  auto port = Port();
  if (!m_open || !port || !buffer || length <= 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int total = 0;
  while (total < length) {
    const int block = length - total < kWriteBlock ? length - total : kWriteBlock;
    size_t written = 0;
    IoStatus status = port->Write(p + total, static_cast<size_t>(block), &written, {},
                                  block * m_iTimePerByte + 500);
    if (status == IoStatus::kOk) {
      total += block;
      continue;
    }
    // A port that has gone away is not re-opened (its device is not there):
    // the caller sees the short count, and the watcher, transfer or search
    // reports LE_PORT_GONE. The view closes it.
    if (status == IoStatus::kGone) return static_cast<int>(written);
    // Recovery: abort what is queued, re-open the port in place. On the
    // transfer thread the port is closed without stopping that thread; the
    // download then fails on the short count. The search thread owns a port
    // opened without watcher and goes on with its next rate instead.
    port->Purge(false, true);
    if (m_search.IsCurrentThread()) return static_cast<int>(written);
    port.reset();
    ClosePort(!OnTransferThread());
    platform::SleepMs(500);
    Open(1);
    return static_cast<int>(written);
  }
  return total;
}

int CSerialLink::SendCommandString(const char* text) {
  if (m_transferRunning) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  int total = 0;
  // One write per byte, each with the time-out of one byte.
  for (uint8_t byte : DecodeCommandString(text)) {
    int n = Write(&byte, 1);
    if (n == 0) break;
    total += n;
  }
  return total;
}

// ---- transfer thread control -------------------------------------------------

void CSerialLink::StopTransfer() {
  m_cancelTransfer.Set();
  if (m_transfer.Exists() && !m_transfer.IsCurrentThread()) {
    if (!m_transfer.Join(kTransferGraceMs)) {
      FixedMessageBox(nullptr, kTransferLockedText, kFrameworkCaption, platform::kMbOk);
      m_transfer.JoinAfterOverrun();
      if (auto port = Port()) port->Purge(false, true);
    }
  }
  m_transferRunning = 0;
}

}  // namespace lumaset
