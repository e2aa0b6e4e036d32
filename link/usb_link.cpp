#include "link/usb_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "resources/resource_ids.h"
#include "link/busy_flag.h"
#include "link/command_string.h"
#include "link/messages.h"
#include "link/serial_link.h"  // kHostAck
#include "platform/clock.h"
#include "platform/language.h"
#include "protocol/host_commands.h"
#include "protocol/transfer_messages.h"
#include "protocol/whole_file.h"

namespace lumaset {

using platform::IoStatus;

namespace {

// The USB receive lock: one for the whole process. The receive thread holds
// it while it appends and posts; the view from TakeReceived to
// ReleaseReceived. A thread knows whether it is the one holding it.
std::mutex g_usbReceiveLock;
thread_local bool t_holdsReceiveLock = false;

// Set while SendFileWithHandshake runs: a second call returns at once.
std::atomic<bool> g_handshakeStartBusy{false};

}  // namespace

CUsbLink::CUsbLink() : m_config(platform::UsbConfigFromEnvironment()) {}

// The pipes and threads go with the link: no thread may outlive it.
CUsbLink::~CUsbLink() { Close(); }

void CUsbLink::SetConfig(const platform::UsbConfig& config) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_config = config;
}

platform::UsbConfig CUsbLink::Config() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_config;
}

void CUsbLink::SetTarget(platform::IEventTarget* window, uint32_t message) {
  m_notifyWindow = window;
  m_notifyMessage = message;
}

void CUsbLink::Post(uint32_t code, uint32_t value) {
  if (platform::IEventTarget* target = m_notifyWindow.load()) target->Post(m_notifyMessage, code, value);
}

platform::UsbPipeHandle CUsbLink::ReadPipe() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_readPipe;
}

platform::UsbPipeHandle CUsbLink::WritePipe() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_writePipe;
}

int CUsbLink::IsOpen() const { return ReadPipe() ? 1 : 0; }

std::string CUsbLink::StatusText() {
  std::string text = platform::LoadString(IsOpen() ? res::kStrUsbOpen : res::kStrUsbNotOpen);
  std::lock_guard<std::mutex> guard(m_lock);
  m_description = text;
  return text;
}

std::string CUsbLink::LastOpenError() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lastOpenError;
}

// ---- open and close ------------------------------------------------------------

std::string CUsbLink::OpenDevicePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_readPipe ? m_readPipe->DevicePath() : std::string();
}

bool CUsbLink::IsGone() const {
  platform::UsbPipeHandle read = ReadPipe(), write = WritePipe();
  return (read && read->Gone()) || (write && write->Gone());
}

void CUsbLink::ReportGone() {
  if (!m_goneReported.exchange(true)) Post(LE_PORT_GONE, ENODEV);
}

namespace {
int OpenErrno(platform::UsbError::Kind kind) {
  switch (kind) {
    case platform::UsbError::kNone: return 0;
    case platform::UsbError::kNotFound: return ENOENT;
    case platform::UsbError::kAccess: return EACCES;
    case platform::UsbError::kBusy: return EBUSY;
    case platform::UsbError::kNoInterface: return ENODEV;
    case platform::UsbError::kOther: break;
  }
  return EIO;
}
}  // namespace

int CUsbLink::Open() {
  OpenPipes(false);
  return 1;
}

int CUsbLink::OpenQuietly() { return OpenPipes(true); }

int CUsbLink::OpenPipes(bool quiet) {
  if (IsOpen()) return 1;
  // A receive thread left from before has ended with its pipe; join it.
  platform::StopWorker(m_receiver, m_stopReceive, kUsbReceiveGraceMs, nullptr);
  const platform::UsbConfig config = Config();
  platform::UsbError error;
  platform::UsbPipeHandle readPipe = platform::OpenPipe(config, platform::kReadPipeName, &error);
  if (!readPipe) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_description = platform::LoadString(res::kStrUsbNotOpen);
      m_lastOpenError = error.text;
    }
    m_lastOpenErrno = OpenErrno(error.kind == platform::UsbError::kNone ? platform::UsbError::kOther : error.kind);
    // A device that is there but may not be opened needs the operator: say
    // so, with the udev rule that fixes it. A missing device shows nothing.
    if (error.kind == platform::UsbError::kAccess && !quiet)
      FixedMessageBox(NotifyWindow(), error.text, kFrameworkCaption, platform::kMbIconWarning);
    return 0;
  }
  platform::UsbPipeHandle writePipe = platform::OpenPipe(config, platform::kWritePipeName, nullptr);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_readPipe = readPipe;
    m_writePipe = writePipe;
    m_description = platform::LoadString(res::kStrUsbOpen);
    m_lastOpenError.clear();
  }
  m_lastOpenErrno = 0;
  m_goneReported = false;
  m_stopReceive.Reset();
  m_receiveRun = 1;
  if (!m_receiver.Create([this] { return UsbReceiveThread(); })) {
    m_receiveRun = 0;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_readPipe.reset();
      m_writePipe.reset();
      m_description = platform::LoadString(res::kStrUsbNotOpen);
    }
    readPipe->Close();
    if (writePipe) writePipe->Close();
    m_lastOpenErrno = EAGAIN;
    if (!quiet) ShowSystemError(NotifyWindow(), EAGAIN);
    return 0;
  }
  platform::SleepMs(kUsbStartDelayMs);
  m_receiver.Start();
  return 1;
}

int CUsbLink::Close() {
  StopSending();
  m_receiveRun = 0;
  m_sendRun = 0;
  // A caller that still holds the receive lock lets it go first: the receive
  // thread may be waiting for it and could not end otherwise.
  ReleaseReceived();
  // The stop event cuts the receive thread's read short; it closes the read
  // pipe on its way out.
  platform::StopWorker(m_receiver, m_stopReceive, kUsbReceiveGraceMs, nullptr);
  // The write pipe goes too, so that a USB device is released between
  // connections; the next Open opens both anew.
  platform::UsbPipeHandle readPipe, writePipe;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    readPipe = std::move(m_readPipe);
    writePipe = std::move(m_writePipe);
  }
  if (readPipe) readPipe->Close();
  if (writePipe) writePipe->Close();
  return 1;
}

// ---- receiving --------------------------------------------------------------------

uint32_t CUsbLink::UsbReceiveThread() {
  uint8_t buffer[platform::kUsbInPacket];
  for (;;) {
    platform::UsbPipeHandle pipe = ReadPipe();
    if (!pipe) break;
    std::memset(buffer, 0, sizeof buffer);
    size_t n = 0;
    const int64_t started = platform::NowMs();
    const IoStatus status = pipe->Read(buffer, sizeof buffer, &n, &m_stopReceive, platform::kPipeTimeoutMs);
    if (status == IoStatus::kOk) {
      bool captured = false;
      {
        std::lock_guard<std::mutex> guard(m_replyLock);
        if (m_capture == kCaptureProbe) {
          // The probe's reply may come among the host's text, over several packets.
          m_probeReply.insert(m_probeReply.end(), buffer, buffer + n);
          m_replyArrived.Set();
          captured = true;
        } else if (m_capture) {
          std::memcpy(m_reply, buffer, n);
          m_capture = 0;
          m_replyArrived.Set();
          captured = true;
        }
      }
      if (!captured) {
        // Received bytes reach the view as text: up to the first zero byte.
        std::lock_guard<std::mutex> guard(g_usbReceiveLock);
        m_pending.append(reinterpret_cast<const char*>(buffer), strnlen(reinterpret_cast<const char*>(buffer), n));
        Post(LE_DATA_RECEIVED, 0);
      }
    } else if (status == IoStatus::kGone) {
      // Unplugged: nothing more will come. The pipes stay until Close; a
      // transfer that runs reports the loss after its own failure.
      if (m_receiveRun && !m_transferReportsGone) ReportGone();
      return kWatcherThreadDone;
    } else if (status != IoStatus::kCancelled && platform::NowMs() - started < kUsbRetryPaceMs) {
      // A read that fails at once is tried again after a pause, not in a
      // tight loop.
      platform::SleepUnlessSet(m_stopReceive, kUsbRetryPaceMs);
    }
    if (!m_receiveRun) break;
  }
  platform::UsbPipeHandle pipe;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pipe = std::move(m_readPipe);
  }
  if (pipe) pipe->Close();
  return kWatcherThreadDone;
}

int CUsbLink::TakeReceived(void* buffer, int size) {
  if (!t_holdsReceiveLock) {
    g_usbReceiveLock.lock();
    t_holdsReceiveLock = true;
  }
  const size_t n = (buffer && size > 0) ? std::min(m_pending.size(), static_cast<size_t>(size)) : 0;
  if (n) std::memcpy(buffer, m_pending.data(), n);
  m_pending.erase(0, n);
  // What did not fit stays pending. One more data event brings the view back
  // for it, even when nothing else arrives; it is handled after the view has
  // released the lock.
  if (!m_pending.empty()) Post(LE_DATA_RECEIVED, 0);
  return static_cast<int>(n);
}

void CUsbLink::ReleaseReceived() {
  if (!t_holdsReceiveLock) return;
  t_holdsReceiveLock = false;
  g_usbReceiveLock.unlock();
}

// ---- replies ------------------------------------------------------------------------

void CUsbLink::ArmCapture(int mode) {
  std::lock_guard<std::mutex> guard(m_replyLock);
  std::memset(m_reply, 0, sizeof m_reply);
  m_probeReply.clear();
  m_replyArrived.Reset();
  m_capture = mode;
}

int CUsbLink::ReplyLength() const {
  return static_cast<int>(strnlen(reinterpret_cast<const char*>(m_reply), sizeof m_reply));
}

int CUsbLink::WaitReply(void* buffer, int count) {
  // The receive thread sets m_replyArrived when it captures a packet; a
  // packet that starts with a zero byte ends the wait with length 0.
  platform::Deadline deadline(kUsbReplyWaitMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(m_replyLock);
      if (ReplyLength() > 0) break;
    }
    if (deadline.Passed() || m_replyArrived.IsSet()) break;
    m_replyArrived.Wait(deadline.Remaining());
  }
  std::lock_guard<std::mutex> guard(m_replyLock);
  const int length = ReplyLength();
  const int copy = std::clamp(count, 0, kUsbReplySize);
  if (buffer && copy) std::memcpy(buffer, m_reply, static_cast<size_t>(copy));
  return std::min(copy, length);
}

// ---- commands ----------------------------------------------------------------------

int CUsbLink::Write(const void* buffer, int count) {
  platform::UsbPipeHandle pipe = WritePipe();
  if (!pipe || !buffer || count <= 0) return 0;
  int written = 0;
  // On the transfer thread a stop cuts the write short.
  const platform::Event* cancel = m_sender.IsCurrentThread() ? &m_stopSend : nullptr;
  return platform::PipeWrite(pipe, buffer, count, &written, cancel) ? written : 0;
}

int CUsbLink::SendCommandString(const char* text) {
  if (m_busy) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  const std::vector<uint8_t> bytes = DecodeCommandString(text ? text : "");
  // Every command and the clock decode to 12 bytes at most; a string longer
  // than one packet is refused whole rather than cut.
  if (bytes.size() > static_cast<size_t>(kUsbCommandMax)) return 0;
  return Write(bytes.data(), static_cast<int>(bytes.size()));
}

int CUsbLink::Probe() {
  if (m_busy) return 0;
  ArmCapture(kCaptureProbe);
  const bool sent = SendCommandString(HostCommand(kCmdProbe)) == kProbeLength;
  // Every packet within the wait is judged until the answer has come among
  // the host's text, or something else has.
  ProbeReply reply;
  size_t judged = 0;
  platform::Deadline deadline(kUsbReplyWaitMs);
  for (;;) {
    std::unique_lock<std::mutex> guard(m_replyLock);
    while (judged < m_probeReply.size() && reply.Get() == ProbeReply::kWaiting) reply.Add(m_probeReply[judged++]);
    if (!sent || reply.Get() != ProbeReply::kWaiting || deadline.Passed()) {
      const bool answered = sent && reply.Get() == ProbeReply::kAnswered;
      // When nothing came at all, the capture stays armed for the next
      // packet, as after any reply that did not come.
      m_capture = !answered && m_probeReply.empty() ? kCaptureOnePacket : kCaptureOff;
      m_probeReply.clear();
      return answered ? 1 : 0;
    }
    m_replyArrived.Reset();
    guard.unlock();
    m_replyArrived.Wait(deadline.Remaining());
  }
}

int CUsbLink::SendCommand(int index, int awaitReply) {
  if (m_busy) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  const char* command = HostCommand(index);
  if (!command) return 0;
  if (!Probe()) {
    platform::SleepMs(10);
    return 0;
  }
  if (awaitReply) ArmCapture();
  SendCommandString(command);
  // The clock follows the set-clock command as a write of its own.
  if (index == kCmdSetClock) SendCommandString(ClockString(platform::Now()).c_str());
  return 1;
}

// ---- downloads ---------------------------------------------------------------------

int CUsbLink::SendFileWithHandshake(const char* path) {
  BusyFlag busy(g_handshakeStartBusy);
  if (!busy.Owned()) return 0;
  if (m_busy) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  std::vector<uint8_t> data;
  uint32_t size = 0;
  // Only a regular file is read, and never with an open that could wait (a
  // FIFO, a device): anything else is refused here, by name.
  if (int error = ReadWholeFile(path, 0, 0, &data, &size)) {
    ShowFileError(NotifyWindow(), path ? path : "", static_cast<uint32_t>(error));
    return 0;
  }
  return StartSendThread(std::move(data), true, kTxThreadFailedHandshake, kTxThreadFailedHandshakeCaption) ? 1 : 0;
}

int CUsbLink::SendProgramImage(const char* path, int systemProgram, int answerYes) {
  if (m_busy) {
    ShowTransferRunning(NotifyWindow());
    return 0;
  }
  std::vector<uint8_t> frame;
  if (int error = ReadImageFrame(path, ImageType(systemProgram, answerYes), &frame)) {
    ShowFileError(NotifyWindow(), path ? path : "", static_cast<uint32_t>(error));
    return 0;
  }
  if (!SendCommand(systemProgram ? kCmdAnnounceSystem : kCmdAnnounceUser, 1)) return 0;
  uint8_t ack[sizeof kHostAck] = {0};
  if (WaitReply(ack, sizeof ack) != static_cast<int>(sizeof ack) || std::memcmp(ack, kHostAck, sizeof ack) != 0)
    return 0;
  return StartSendThread(std::move(frame), false, kTxThreadFailed, kTxThreadFailedCaption) ? 1 : 0;
}

bool CUsbLink::StartSendThread(std::vector<uint8_t> data, bool handshake, const char* failText,
                               const char* failCaption) {
  // The previous transfer thread is joined before its buffer is replaced.
  StopSending();
  m_transferBuffer = std::move(data);
  m_transferLength = static_cast<uint32_t>(m_transferBuffer.size());
  m_stopSend.Reset();
  m_sendRun = 1;
  if (!m_sender.Create([this] { return UsbSendThread(); })) {
    m_sendRun = 0;
    FixedMessageBox(NotifyWindow(), failText, failCaption, platform::kMbIconWarning);
    return false;
  }
  m_handshakeRequested = handshake ? 1 : 0;
  m_sender.Start();
  return true;
}

void CUsbLink::StopSending() {
  m_sendRun = 0;
  platform::StopWorker(m_sender, m_stopSend, kUsbTransferGraceMs, [] {
    FixedMessageBox(nullptr, kTransferLockedText, kFrameworkCaption, platform::kMbOk);
  });
  m_busy = 0;
  m_transferReportsGone = 0;
}

uint32_t CUsbLink::Handshake(uint32_t length) {
  Post(LE_STATUS, LS_START);
  if (!SendRunning()) return LS_CANCELLED;
  Post(LE_STATUS, LS_CHECK_VERSION);
  ArmCapture();
  if (Write(kHandshakeRequest, sizeof kHandshakeRequest) == 0) return LS_CHECK_VERSION;
  uint8_t answer[kHandshakeAnswerMax] = {0};
  const int n = WaitReply(answer, kHandshakeAnswerMax);
  if (!SendRunning()) return LS_CANCELLED;
  if (n < kHandshakeAcceptLength) {
    // An unplugged device explains the silence itself (LE_PORT_GONE).
    if (!IsGone()) FixedMessageBox(NotifyWindow(), kNoAnswerText, kErrorCaption, platform::kMbIconWarning);
    return LS_CHECK_VERSION;
  }
  if (std::memcmp(answer + n - kHandshakeAcceptLength, kHandshakeAccept, kHandshakeAcceptLength) != 0) {
    const uint8_t refusal = kHandshakeRefusal;
    return Write(&refusal, 1) == 1 ? LS_REFUSED : LS_CHECK_VERSION;
  }
  uint8_t announcement[5];
  BuildLengthAnnouncement(length, announcement);
  ArmCapture();
  if (Write(announcement, sizeof announcement) != static_cast<int>(sizeof announcement)) return LS_CHECK_VERSION;
  uint8_t ack[kLengthAckMax] = {0};
  const int got = WaitReply(ack, kLengthAckMax);
  if (!SendRunning()) return LS_CANCELLED;
  if (got == 0) {
    if (!IsGone()) FixedMessageBox(NotifyWindow(), kNoLengthAckText, kErrorCaption, platform::kMbIconWarning);
    return LS_REFUSED;
  }
  return 0;
}

uint32_t CUsbLink::UsbSendThread() {
  // A fresh write pipe for every transfer. The new one opens before the old
  // one goes, so a USB device keeps its interface claim; the virtual device
  // takes the newest connection of a pipe.
  platform::UsbPipeHandle fresh = platform::OpenPipe(Config(), platform::kWritePipeName, nullptr);
  platform::UsbPipeHandle old;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    old = std::move(m_writePipe);
    m_writePipe = fresh;
  }
  if (old) old->Close();
  if (!fresh) {
    Post(LE_FAILED, LS_TIMEOUT);
    return 0;
  }

  uint32_t result = 0;
  uint32_t sent = 0;
  bool success = false;
  if (m_busy || !IsOpen()) {
    result = LS_NOT_READY;
    m_handshakeRequested = 0;
  } else {
    m_transferReportsGone = 1;
    m_busy = 1;
    Post(LE_SEND_STARTED, 0);
    const uint32_t total = m_transferLength;
    if (m_handshakeRequested.exchange(0)) result = Handshake(total);
    if (result == 0) {
      Post(LE_STATUS, LS_DOWNLOAD_DATA);
      bool armed = false;
      bool gone = false;
      while (SendRunning() && sent < total) {
        const uint32_t block = std::min<uint32_t>(total - sent, kWriteBlock);
        // The host answers the last block at once: the capture is armed
        // before it goes, or the answer could reach the view instead.
        if (!armed && sent + block == total) {
          ArmCapture();
          armed = true;
        }
        int written = 0;
        const int64_t started = platform::NowMs();
        const platform::UsbPipeHandle pipe = WritePipe();
        if (platform::PipeWrite(pipe, m_transferBuffer.data() + sent, static_cast<int>(block), &written,
                                &m_stopSend) &&
            written > 0) {
          sent += static_cast<uint32_t>(written);
          Post(LE_PROGRESS_FLAG | static_cast<uint32_t>(uint64_t{sent} * 1000 / total), sent);
        } else if (pipe && pipe->Gone()) {
          // Unplugged: the block cannot go, now or later.
          gone = true;
          break;
        } else if (platform::NowMs() - started < kUsbRetryPaceMs) {
          // The block is tried again until it goes or the transfer is
          // stopped; a device that fails at once is not spun on.
          platform::SleepUnlessSet(m_stopSend, kUsbRetryPaceMs);
        }
      }
      if (gone) {
        result = LS_WRITE_FAILED;
      } else {
        // Stopped or done, the closing answer is still waited for.
        if (!armed) ArmCapture();
        uint8_t ack[sizeof kHostAck] = {0};
        success = WaitReply(ack, sizeof ack) == static_cast<int>(sizeof ack) &&
                  std::memcmp(ack, kHostAck, sizeof ack) == 0;
        if (!success) result = LS_VERIFY_FAILED;
      }
    }
  }
  m_busy = 0;
  if (success)
    Post(LE_SEND_DONE, sent);
  else
    Post(LE_FAILED, result);
  // The device's loss follows the transfer's end: the receive thread leaves
  // it to this thread until the end is posted. Looked at after the flag is
  // clear, so that one of the two always sees it.
  m_transferReportsGone = 0;
  if (IsGone()) ReportGone();
  return kTransferThreadDone;
}

}  // namespace lumaset
