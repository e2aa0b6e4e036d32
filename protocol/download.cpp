// The serial download: optional handshake, optional switch to 115200, the
// data in paced blocks, and the host's closing acknowledgement. Runs on the
// link's transfer thread; reports through link events.
#include <algorithm>
#include <cstring>

#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "protocol/transfer_messages.h"

namespace lumaset {

namespace {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kDownloadRate = 115200;
constexpr int kHandshakeSettleMs = 100;
constexpr int kBlockGraceMs = 5000;
}  // namespace

uint32_t CSerialLink::TransferBody() {
  const int mode = m_downloadMode;
  auto startPort = Port();
  const bool ready = !m_transferRunning && m_open && startPort;
  uint32_t result = LS_NOT_READY;
  uint32_t sent = 0;
  LinkSettings saved;
  uint32_t savedMask = 0;

  // Handshake: FBLT, an answer ending in OKDOWNSYS, the length, any reply.
  auto handshake = [&](uint32_t total) -> uint32_t {
    Post(LE_STATUS, LS_START);
    uint8_t reply[100] = {};
    if (platform::SleepUnlessSet(m_cancelTransfer, kHandshakeSettleMs)) return LS_CANCELLED;
    Post(LE_STATUS, LS_CHECK_VERSION);
    if (Write(kHandshakeRequest, sizeof kHandshakeRequest) == 0) return LS_CHECK_VERSION;
    int n = ReadExact(reply, kHandshakeAnswerMax, &m_cancelTransfer);
    if (m_cancelTransfer.IsSet()) return LS_CANCELLED;
    if (n < kHandshakeAcceptLength) {
      // A port that went away explains the silence itself (LE_PORT_GONE).
      if (!IsPortGone()) FixedMessageBox(NotifyWindow(), kNoAnswerText, kErrorCaption, platform::kMbIconWarning);
      return LS_CHECK_VERSION;
    }
    if (std::memcmp(reply + n - kHandshakeAcceptLength, kHandshakeAccept, kHandshakeAcceptLength) != 0) {
      const uint8_t refusal = kHandshakeRefusal;
      return Write(&refusal, 1) == 0 ? LS_CHECK_VERSION : LS_REFUSED;
    }
    uint8_t announcement[5];
    BuildLengthAnnouncement(total, announcement);
    if (Write(announcement, sizeof announcement) != static_cast<int>(sizeof announcement)) return LS_CHECK_VERSION;
    std::memset(reply, 0, sizeof reply);
    n = ReadExact(reply, kLengthAckMax, &m_cancelTransfer);
    if (m_cancelTransfer.IsSet()) return LS_CANCELLED;
    if (n == 0) {
      if (!IsPortGone()) FixedMessageBox(NotifyWindow(), kNoLengthAckText, kErrorCaption, platform::kMbIconWarning);
      return LS_REFUSED;
    }
    return kSuccess;  // what the host acknowledged with is not examined
  };

  // Data: blocks of up to 512 bytes, each after a pause of 2 F. The host's
  // abort character counts from the start of this phase to its end: during
  // a block and during the pauses around it. What the host sent before (the
  // handshake answer, the length acknowledgement) does not count.
  auto data = [&](uint32_t total, int factor) -> uint32_t {
    Post(LE_STATUS, LS_DOWNLOAD_DATA);
    if (mode == 1) {
      // A port that has gone is not re-opened: its device is not there.
      if (IsPortGone()) return LS_WRITE_FAILED;
      // Close(0) leaves this thread running: it is the one closing.
      Close(0);
      SetRate(kDownloadRate);
      Open(1);
    }
    // After a re-open the port object is a new one.
    auto port = Port();
    if (!port) return LS_WRITE_FAILED;
    // A fresh event history: a new mask clears it.
    port->SetEventMask(0);
    port->SetEventMask(platform::kEvRxFlag);
    const platform::Event& abort = port->EventCharEvent();
    auto aborted = [&] {
      port->SetEventMask(0);
      port->Purge(true, true);
      return LS_CANCELLED;
    };
    uint32_t remaining = total;
    size_t position = 0;
    for (;;) {
      switch (platform::WaitAny({&m_cancelTransfer, &abort}, 2 * factor)) {
        case 0: return LS_CANCELLED;
        case 1: return aborted();
        default: break;
      }
      if (remaining == 0) break;
      const int block = static_cast<int>(std::min<uint32_t>(remaining, kWriteBlock));
      size_t written = 0;
      int which = -1;
      platform::IoStatus status =
          port->Write(m_transferBuffer.data() + position, static_cast<size_t>(block), &written,
                      {&m_cancelTransfer, &abort}, block * factor + kBlockGraceMs, &which);
      switch (status) {
        case platform::IoStatus::kOk:
          break;
        case platform::IoStatus::kCancelled:
          if (which == 1) return aborted();
          return LS_CANCELLED;
        case platform::IoStatus::kTimeout:
          return LS_TIMEOUT;
        default:
          return LS_WRITE_FAILED;
      }
      remaining -= static_cast<uint32_t>(written);
      sent += static_cast<uint32_t>(written);
      position += written;
      const auto thousandths = static_cast<uint32_t>(static_cast<uint64_t>(sent) * 1000u / total);
      Post(LE_PROGRESS_FLAG | thousandths, sent);
    }
    port->SetEventMask(0);
    return kSuccess;
  };

  // Verify: the host's 8-byte acknowledgement. The read waits with the
  // factor of the rate now in use, and a stop cuts it short; but once all
  // eight bytes are in, a stop that comes at the same moment changes nothing.
  auto verify = [&]() -> uint32_t {
    uint8_t ack[sizeof kHostAck] = {};
    const int n = ReadExact(ack, sizeof ack, &m_cancelTransfer);
    if (n == static_cast<int>(sizeof ack) && std::memcmp(ack, kHostAck, sizeof ack) == 0) return kSuccess;
    return m_cancelTransfer.IsSet() ? LS_CANCELLED : LS_VERIFY_FAILED;
  };

  if (!ready) {
    m_handshakeRequested = 0;
  } else {
    const uint32_t total = m_transferLength;
    m_transferRunning = 1;
    Post(LE_SEND_STARTED, 0);
    saved = Settings();
    savedMask = startPort->EventMask();
    startPort->SetEventMask(platform::kEvRxFlag);
    UpdateTimePerByte();
    const int factor = m_iTimePerByte;
    result = kSuccess;
    if (m_handshakeRequested.exchange(0)) result = handshake(total);
    if (result == kSuccess) result = data(total, factor);
    if (result == kSuccess) result = verify();
  }

  // End, on every path. The switch to 115200 is undone only where it could
  // have been made: a link that was not ready stays as it was.
  startPort.reset();
  if (mode == 1 && ready && !IsPortGone()) {
    Close(0);
    SetRate(kDownloadRate);
    Open(1);
  }
  m_downloadMode = 0;
  m_transferRunning = 0;
  if (result == kSuccess) {
    Post(LE_SEND_DONE, sent);
  } else {
    if (ready && Settings().rate != saved.rate) {
      // Back to the rate the download started at, with the whole record.
      SetRate(saved.rate);
      UpdateTimePerByte();
      if (auto port = Port()) port->Apply(LineFromRecord(Settings()));
    }
    Post(LE_FAILED, result);
  }
  if (ready)
    if (auto port = Port()) port->SetEventMask(savedMask);
  // The port's going follows the transfer's end: the watcher leaves it to
  // this thread while a transfer runs. Looked at after the running flag is
  // clear, so that one of the two always sees it.
  ReportPortGone(Port());
  ResumeWatcher();
  return kTransferThreadDone;
}

}  // namespace lumaset
