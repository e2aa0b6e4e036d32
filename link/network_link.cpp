#include "link/network_link.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "resources/resource_ids.h"
#include "link/busy_flag.h"
#include "link/messages.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/host_lookup.h"
#include "platform/language.h"
#include "protocol/host_commands.h"
#include "protocol/transfer_messages.h"

namespace lumaset {

namespace {

// One flag per network start operation, for the whole process.
std::atomic<bool> g_netImageBusy{false};
std::atomic<bool> g_netRawFileBusy{false};

constexpr int kPollStepMs = 10;
// Polls of the probe's reply window.
constexpr int kProbePolls = 50;
// How long each turn of the user-interface loop may run while a connect or a
// lookup waits.
constexpr int kPumpSliceMs = 10;
constexpr uint32_t kRawFileRate = 115200;
constexpr int kRateQueryFallbackIndex = 9;
constexpr int kRateQueryFallbackSleepMs = 2000;
constexpr int kLastBlockSleepMs = 500;

// Sleeps, cut short by `cancel` when one is given. True when cancelled.
bool Pause(const Event* cancel, int ms) {
  if (cancel) return platform::SleepUnlessSet(*cancel, ms);
  platform::SleepMs(ms);
  return false;
}

// The host's address, looked up while the user-interface loop keeps going.
bool ResolveHost(const std::string& host, in_addr* out, int timeoutMs, const std::function<bool()>& aborted) {
  return platform::LookUpHost(host, out, timeoutMs, [&aborted] {
    platform::UiLoop().Pump(kPumpSliceMs);
    return !aborted();
  });
}

}  // namespace

int NearestRateIndex(uint32_t rate) {
  int best = 0;
  int64_t bestDistance = 9600;
  for (int i = 0; i < kBaudRateCount; ++i) {
    const int64_t distance = std::abs(static_cast<int64_t>(rate) - static_cast<int64_t>(kBaudRates[i]));
    if (distance < bestDistance) {
      bestDistance = distance;
      best = i;
    }
  }
  return best;
}

// ---- socket -----------------------------------------------------------------

CLinkSocket::~CLinkSocket() { Close(); }

int CLinkSocket::Create() {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  fd_ = fd;
  return 0;
}

int CLinkSocket::SetSendBufferSize(int bytes) {
  return ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : errno;
}

int CLinkSocket::Connect(const sockaddr_in& address, int timeoutMs, const std::function<bool()>& aborted) {
  const int fd = fd_;
  if (fd < 0) return EBADF;
  int result = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    result = errno;
    if (result == EINPROGRESS || result == EINTR) {
      platform::Deadline deadline(timeoutMs);
      for (;;) {
        std::vector<pollfd> fds{{fd, POLLOUT, 0}};
        const int rc = platform::PollFor(fds, std::min(kPumpSliceMs, deadline.Remaining()));
        if (rc < 0) {
          result = errno;
          break;
        }
        if (rc > 0) {
          socklen_t length = sizeof result;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) result = errno;
          break;
        }
        if (deadline.Passed()) {
          result = ETIMEDOUT;
          break;
        }
        platform::UiLoop().Pump(kPumpSliceMs);
        if (aborted()) {
          result = ECANCELED;
          break;
        }
      }
    }
  }
  if (result != 0) return result;
  std::lock_guard<std::mutex> guard(watchLock_);
  peerClosed_ = false;
  watch_ = platform::UiLoop().WatchReadable(fd, [this] { OnReadable(); });
  return 0;
}

void CLinkSocket::Close() {
  {
    std::lock_guard<std::mutex> guard(watchLock_);
    watch_.reset();
    peerClosed_ = false;
  }
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

int CLinkSocket::Pending() const {
  const int fd = fd_;
  int count = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

int CLinkSocket::Receive(void* buffer, int n, bool peek) {
  const int fd = fd_;
  if (fd < 0) return -1;
  ssize_t got;
  do {
    got = ::recv(fd, buffer, static_cast<size_t>(n), MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
  } while (got < 0 && errno == EINTR);
  Rearm();
  return static_cast<int>(got);
}

int CLinkSocket::Send(const void* buffer, int n, const Event* cancel) {
  const int fd = fd_;
  if (fd < 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int total = 0;
  platform::Deadline stall(kSendStallMs);
  while (total < n) {
    // MSG_NOSIGNAL: a connection the host has dropped gives EPIPE, not a
    // signal that would end the program.
    const ssize_t sent = ::send(fd, p + total, static_cast<size_t>(n - total), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      total += static_cast<int>(sent);
      stall = platform::Deadline(kSendStallMs);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The send buffer is full: wait until it drains.
      std::vector<pollfd> fds{{fd, POLLOUT, 0}};
      if (cancel) fds.push_back({cancel->Fd(), POLLIN, 0});
      if (platform::PollFor(fds, stall.Remaining()) <= 0) break;
      if (cancel && cancel->IsSet()) break;
      continue;
    }
    break;
  }
  return total;
}

void CLinkSocket::Rearm() {
  std::lock_guard<std::mutex> guard(watchLock_);
  if (watch_ && !peerClosed_) watch_->SetEnabled(true);
}

void CLinkSocket::OnReadable() {
  // The watch has disabled itself; a receive or peek arms it again.
  if (Pending() > 0) {
    owner_->OnDataArrived();
    return;
  }
  const int fd = fd_;
  if (fd < 0) return;
  uint8_t byte;
  const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  const int error = got < 0 ? errno : 0;
  if (got > 0) {
    owner_->OnDataArrived();
  } else if (got == 0) {
    // Orderly close by the host: nothing is reported, and the watch stays
    // off (the end of the stream would otherwise be announced forever).
    std::lock_guard<std::mutex> guard(watchLock_);
    peerClosed_ = true;
  } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
    Rearm();
  } else {
    owner_->OnClosedWithError(error);
  }
}

// ---- link -------------------------------------------------------------------

CNetworkLink::CNetworkLink() = default;

CNetworkLink::~CNetworkLink() {
  // The transfer thread uses the socket: it ends before the socket goes.
  StopTransfer();
  m_socket.reset();
}

int CNetworkLink::SetRemoteHost(const char* host) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_remoteHost = host ? host : "";
  return 1;
}

std::string CNetworkLink::GetRemoteHost() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_remoteHost;
}

int CNetworkLink::IsSearching() { return IsNetwork() ? 0 : CSerialLink::IsSearching(); }

int CNetworkLink::StartBaudSearch(int resendAfter) {
  return IsNetwork() ? 1 : CSerialLink::StartBaudSearch(resendAfter);
}

int CNetworkLink::InputQueueCount() { return IsNetwork() ? 0 : CSerialLink::InputQueueCount(); }

int CNetworkLink::SendFileWithHandshake(const char* path) {
  return IsNetwork() ? 0 : CSerialLink::SendFileWithHandshake(path);
}

// ---- connect and disconnect ---------------------------------------------------

int CNetworkLink::Open(int withWatcher) {
  if (!IsNetwork()) return CSerialLink::Open(withWatcher);
  if (m_open) return 1;
  // A connect already waiting further down this thread's stack (the loop
  // runs during a connect) is not started twice.
  if (m_connecting) return 0;
  // The transfer thread uses the socket object; none may run while it is
  // replaced. A connection that the serial Close left behind (the record was
  // applied while connected) ends here, before a new one is made.
  StopTransfer();
  if (!m_socket) m_socket = std::make_unique<CLinkSocket>(this);
  IEventTarget* owner = NotifyWindow();
  if (m_socket->Create() != 0) {
    m_socket.reset();
    FixedMessageBox(owner, kSocketCreateFailed, kFrameworkCaption, platform::kMbOk);
    return 0;
  }
  if (m_socket->SetSendBufferSize(kNetSendBufferBytes) != 0) {
    m_socket.reset();
    FixedMessageBox(owner, kSendBufferFailed, kFrameworkCaption, platform::kMbOk);
    return 0;
  }

  const std::string host = GetRemoteHost();
  const uint32_t port = Settings().tcpPort;
  m_connecting = true;
  m_connectAborted = false;
  auto aborted = [this] { return m_connectAborted; };
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  const platform::Deadline deadline(m_connectTimeoutMs);
  int error = ResolveHost(host, &address.sin_addr, m_connectTimeoutMs, aborted) ? 0 : EHOSTUNREACH;
  // A disconnect during the lookup ends it; the lookup then counts as
  // abandoned, not failed.
  if (m_connectAborted) error = ECANCELED;
  if (error == 0) error = m_socket->Connect(address, deadline.Remaining(), aborted);
  m_connecting = false;
  if (error != 0) {
    m_socket.reset();
    // A connect that the operator ended with a disconnect is no failure.
    if (error != ECANCELED)
      FixedMessageBox(owner, platform::LoadString(res::kStrNetConnectFailed) + "\n\n" + HostDetail(), kFrameworkCaption,
                      platform::kMbOk);
    return 0;
  }
  m_open = 1;
  Describe();
  return 1;
}

std::string CNetworkLink::HostDetail() const {
  return FormatString(res::kStrHostDetail, {GetRemoteHost(), std::to_string(Settings().tcpPort)});
}

int CNetworkLink::Disconnect() {
  if (!IsNetwork()) return CSerialLink::Close(1);
  if (m_connecting) m_connectAborted = true;
  if (m_socket && !m_connecting) {
    StopTransfer();
    m_socket->Close();
    m_open = 0;
  }
  SetDescription(platform::LoadString(res::kStrDescClosed));
  return 1;
}

void CNetworkLink::OnClosedWithError(int error) {
  // A transfer that this ends failed for want of the connection; it was not
  // cancelled by anyone.
  m_connectionLost = true;
  Disconnect();
  if (m_controlRefresh) m_controlRefresh();
  // The view learns why, as of a serial port that went away.
  Post(LE_PORT_GONE, static_cast<uint32_t>(error));
}

void CNetworkLink::Describe() {
  const LinkSettings record = Settings();
  if (!m_open) {
    SetDescription(platform::LoadString(res::kStrDescClosed));
  } else if (record.network) {
    char text[100];
    std::snprintf(text, sizeof text, "%s - %s%s%s%u", platform::LoadString(res::kStrDescLink).c_str(),
                  platform::LoadString(res::kStrDescNetwork).c_str(), GetRemoteHost().c_str(),
                  platform::LoadString(res::kStrDescPort).c_str(), record.tcpPort);
    SetDescription(text);
  } else {
    SetDescription(ComDescription(record));
  }
}

// ---- receiving --------------------------------------------------------------

void CNetworkLink::OnDataArrived() {
  if (m_awaitingReply || m_transferRunning) {
    // The bytes are someone's reply (or arrive during a transfer): whoever
    // waits takes them; RearmReceive announces what is left afterwards.
    m_awaitingReply = 0;
    return;
  }
  Post(LE_DATA_RECEIVED, 0);
}

int CNetworkLink::ReadAvailable(void* buffer, int maxBytes) {
  if (!buffer || maxBytes <= 0) return 0;
  if (!IsNetwork()) return CSerialLink::ReadAvailable(buffer, maxBytes);
  if (!m_socket) return 0;
  const int waiting = m_socket->Pending();
  if (waiting <= 0) return 0;
  const int got = m_socket->Receive(buffer, std::min(waiting, maxBytes), false);
  return got > 0 ? got : 0;
}

int CNetworkLink::ReadCount(void* buffer, int count, const Event* cancelEvent) {
  if (!IsNetwork()) return ReadExact(buffer, count, cancelEvent);
  if (!m_socket || !buffer || count <= 0) {
    m_awaitingReply = 0;
    return 0;
  }
  // Waits on the transfer thread end with the cancel-transfer event.
  for (int poll = 0; poll < 50 * count; ++poll) {
    const int waiting = m_socket->Pending();
    if (waiting < 0) break;
    if (waiting >= count) {
      // The bytes are there: a stop only cuts the settling pause short, so
      // the caller can look at what arrived before it looks at the stop.
      Pause(cancelEvent, kPollStepMs * count);
      m_awaitingReply = 0;
      return ReadAvailable(buffer, count);
    }
    if (Pause(cancelEvent, kPollStepMs)) break;
  }
  m_awaitingReply = 0;
  return 0;
}

bool CNetworkLink::ReadProbeReply() {
  ProbeReply reply;
  std::vector<uint8_t> bytes;
  // 50 polls 10 ms apart, as long as ReadCount waits for one byte.
  for (int poll = 0; poll < kProbePolls; ++poll) {
    const int waiting = m_socket ? m_socket->Pending() : -1;
    if (waiting < 0) return false;
    if (waiting > 0) {
      // Look first, then take the bytes up to the verdict: the host's text
      // after its answer is left for the view.
      bytes.resize(static_cast<size_t>(waiting));
      const int seen = m_socket->Receive(bytes.data(), waiting, true);
      int judged = 0;
      while (judged < seen && reply.Get() == ProbeReply::kWaiting) reply.Add(bytes[judged++]);
      if (judged > 0) m_socket->Receive(bytes.data(), judged, false);
      if (reply.Get() != ProbeReply::kWaiting) return reply.Get() == ProbeReply::kAnswered;
    }
    platform::SleepMs(kPollStepMs);
  }
  return false;
}

void CNetworkLink::RearmReceive() {
  if (!IsNetwork() || !m_open || m_transferRunning) return;
  m_awaitingReply = 1;
  if (m_socket && m_socket->Pending() >= 1) {
    platform::SleepMs(kPollStepMs);
    // A peek leaves the bytes queued and makes the socket announce them.
    uint8_t byte;
    m_socket->Receive(&byte, 1, true);
  }
  m_awaitingReply = 0;
}

void CNetworkLink::DrainReceive() {
  if (!IsNetwork() || !m_open || !m_socket) return;
  const int waiting = m_socket->Pending();
  if (waiting <= 0) return;
  std::vector<uint8_t> discard(static_cast<size_t>(waiting));
  m_socket->Receive(discard.data(), waiting, false);
}

// ---- sending ----------------------------------------------------------------

int CNetworkLink::Write(const void* buffer, int length) {
  if (!IsNetwork()) return CSerialLink::Write(buffer, length);
  if (!m_socket || !buffer || length <= 0) return 0;
  // The transfer thread's sends give up when the transfer is cancelled.
  return m_socket->Send(buffer, length, OnTransferThread() ? &m_cancelTransfer : nullptr);
}

int CNetworkLink::Probe(int askToSearch) {
  if (!IsNetwork()) return CSerialLink::Probe(askToSearch);
  if (!m_open || m_transferRunning) return 0;
  m_awaitingReply = 1;
  if (SendCommandString(HostCommand(kCmdProbe)) == kProbeLength) {
    const bool answered = ReadProbeReply();
    m_awaitingReply = 0;
    if (answered) return 1;
  }
  // A probe that did not go out whole awaits no reply either.
  m_awaitingReply = 0;
  platform::Operator().MessageBox(NotifyWindow(), platform::LoadString(res::kStrNetProbeFailed) + "\n\n" + HostDetail(),
                                  platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
  return 0;
}

int CNetworkLink::SendCommand(int index, int awaitReply) {
  if (!IsNetwork()) return CSerialLink::SendCommand(index, awaitReply);
  const char* command = HostCommand(index);
  if (!command) return 0;
  if (m_transferRunning) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  if (!m_socket || m_socket->Pending() < 0) return 0;
  m_lastCommandIndex = -1;
  if (!Probe(1)) {
    platform::SleepMs(10);
    return 0;
  }
  if (awaitReply) m_awaitingReply = 1;
  SendCommandString(command);
  if (index == kCmdSetClock) SendCommandString(ClockString(platform::Now()).c_str());
  return 1;
}

bool CNetworkLink::MayStartNetTransfer() {
  if (m_transferRunning) {
    ShowTransferRunning(NotifyWindow());
    return false;
  }
  // A thread that has cleared its running flag may still be posting its
  // last event; it is joined before its buffer is refilled.
  StopTransfer();
  return true;
}

bool CNetworkLink::StartNetSendThread() {
  StopTransfer();
  m_connectionLost = false;
  if (!m_transfer.Create([this] { return NetSendThread(); })) {
    FixedMessageBox(NotifyWindow(), kNetTxThreadFailed, kNetTxThreadFailedCaption, platform::kMbIconWarning);
    return false;
  }
  m_cancelTransfer.Reset();
  m_transfer.Start();
  return true;
}

int CNetworkLink::SendProgramImage(int systemProgram, int answerYes) {
  if (!IsNetwork()) return CSerialLink::SendProgramImage(systemProgram, answerYes);
  BusyFlag busy(g_netImageBusy);
  if (!busy.Owned() || !MayStartNetTransfer()) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    path = m_imagePath;
  }
  if (!ReadImageIntoBuffer(ImageType(systemProgram, answerYes))) return 0;

  // The host's rate sets the pause between blocks.
  if (!SendCommand(kCmdQueryRate, 1)) return 0;
  uint8_t reported[4] = {};
  int index;
  if (ReadCount(reported, 4, nullptr) == 4) {
    index = NearestRateIndex(static_cast<uint32_t>(reported[0]) | static_cast<uint32_t>(reported[1]) << 8 |
                             static_cast<uint32_t>(reported[2]) << 16 | static_cast<uint32_t>(reported[3]) << 24);
  } else {
    platform::SleepMs(kRateQueryFallbackSleepMs);
    index = kRateQueryFallbackIndex;
  }
  DrainReceive();
  m_iWaitPerBlock = kBaudFactors[index] * kNetPauseUnitMs;

  if (!SendCommand(systemProgram ? kCmdAnnounceSystem : kCmdAnnounceUser, 1)) return 0;
  uint8_t ack[sizeof kHostAck] = {};
  const int got = ReadCount(ack, sizeof ack, nullptr);
  if (m_downloadMode == 1) {
    // The host restarts its network interface for the data phase.
    Disconnect();
    SetRate(kRawFileRate);
    UpdateTimePerByte();
    Open(1);
  }
  if (got != static_cast<int>(sizeof ack) || std::memcmp(ack, kHostAck, sizeof ack) != 0) return 0;
  return StartNetSendThread() ? 1 : 0;
}

int CNetworkLink::SendRawFile(const char* path) {
  if (!IsNetwork()) return CSerialLink::SendRawFile(path);
  BusyFlag busy(g_netRawFileBusy);
  if (!busy.Owned() || !MayStartNetTransfer()) return 0;
  if (!ReadFileIntoBuffer(path)) return 0;
  const int index = NearestRateIndex(kRawFileRate);
  DrainReceive();
  m_iWaitPerBlock = kBaudFactors[index] * kNetPauseUnitMs;
  return StartNetSendThread() ? 1 : 0;
}

uint32_t CNetworkLink::NetSendThread() {
  uint32_t result = 0;
  uint32_t total = 0;
  if (!m_open || m_transferRunning) {
    result = LS_NOT_READY;
    m_handshakeRequested = 0;
  } else {
    m_transferRunning = 1;
    Post(LE_STATUS, LS_DOWNLOAD_DATA);
    const uint8_t* data = m_transferBuffer.data();
    const uint32_t length = m_transferLength;
    uint32_t offset = 0;
    // A stop ends the transfer as cancelled, unless the connection was lost
    // under it (the host reset it): then the block or the closing answer failed.
    auto stopResult = [this](bool dataLeft) {
      if (!m_connectionLost) return LS_CANCELLED;
      return dataLeft ? LS_WRITE_FAILED : LS_VERIFY_FAILED;
    };
    for (;;) {
      // The pause comes before every block and before the closing answer.
      const bool stopped = platform::SleepUnlessSet(m_cancelTransfer, m_iWaitPerBlock);
      if (offset >= length) {
        // What the host has answered is judged before the stop: an
        // acknowledgement that is all there when the stop comes is a success.
        uint8_t answer[sizeof kHostAck] = {};
        const int got = ReadCount(answer, sizeof answer, &m_cancelTransfer);
        if (got == static_cast<int>(sizeof answer) && std::memcmp(answer, kHostAck, sizeof answer) == 0)
          result = 0;
        else
          result = m_cancelTransfer.IsSet() ? stopResult(false) : LS_VERIFY_FAILED;
        break;
      }
      if (stopped) {
        result = stopResult(true);
        break;
      }
      const int block = static_cast<int>(std::min<uint32_t>(length - offset, kWriteBlock));
      const int written = Write(data + offset, block);
      if (written <= 0) {
        result = m_cancelTransfer.IsSet() ? stopResult(true) : LS_WRITE_FAILED;
        break;
      }
      offset += static_cast<uint32_t>(written);
      total += static_cast<uint32_t>(written);
      if (offset >= length) {
        m_awaitingReply = 1;
        platform::SleepUnlessSet(m_cancelTransfer, kLastBlockSleepMs);
      }
      const auto thousandths = static_cast<uint32_t>(static_cast<uint64_t>(total) * 1000 / length);
      Post(LE_PROGRESS_FLAG | thousandths, total);
    }
  }
  m_transferRunning = 0;
  if (result == 0) {
    Post(LE_SEND_DONE, total);
    return kTransferThreadDone;
  }
  Post(LE_FAILED, result);
  return result;
}

}  // namespace lumaset
