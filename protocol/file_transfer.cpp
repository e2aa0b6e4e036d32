// Starting a download: reading the file, framing and announcing program
// images, and starting the transfer thread.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>

#include "link/busy_flag.h"
#include "link/messages.h"
#include "link/serial_link.h"
#include "protocol/host_commands.h"
#include "protocol/transfer_messages.h"
#include "protocol/whole_file.h"

namespace lumaset {

namespace {

// One flag per start operation, for the whole process: a second call of the
// same operation (from a message box's event loop, say) returns at once.
std::atomic<bool> g_rawFileBusy{false};
std::atomic<bool> g_handshakeFileBusy{false};
std::atomic<bool> g_imageBusy{false};

// Raw files go out at real-time priority where the system grants it (root,
// or an rtprio limit). The lowest real-time priority is enough to be ahead of
// every normal thread. When it is refused the thread runs at normal priority.
void TryTimeCriticalPriority() {
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace

bool CSerialLink::ReadFileIntoBuffer(const char* path) {
  uint32_t size = 0;
  if (int error = ReadWholeFile(path, 0, 0, &m_transferBuffer, &size)) {
    ShowFileError(NotifyWindow(), path ? path : "", static_cast<uint32_t>(error));
    return false;
  }
  m_transferLength = size;
  return true;
}

bool CSerialLink::ReadImageIntoBuffer(uint8_t type) {
  std::string path;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    path = m_imagePath;
  }
  if (int error = ReadImageFrame(path.c_str(), type, &m_transferBuffer)) {
    ShowFileError(NotifyWindow(), path, static_cast<uint32_t>(error));
    return false;
  }
  m_transferLength = static_cast<uint32_t>(m_transferBuffer.size());
  return true;
}

bool CSerialLink::StartTransferThread(bool handshake, bool timeCritical, const char* failText,
                                      const char* failCaption) {
  StopTransfer();
  m_handshakeRequested = handshake ? 1 : 0;
  if (!m_transfer.Create([this, timeCritical] {
        if (timeCritical) TryTimeCriticalPriority();
        return TransferBody();
      })) {
    m_handshakeRequested = 0;
    FixedMessageBox(NotifyWindow(), failText, failCaption, platform::kMbIconWarning);
    return false;
  }
  m_cancelTransfer.Reset();
  m_transfer.Start();
  return true;
}

// Common refusals of the start operations; true when the send may go on.
// A search owns the port while it runs, so no transfer may start beside it.
// The previous transfer thread is joined here, before the buffer is refilled
// (it may still be in its last steps after clearing the running flag).
static bool MayStartTransfer(CSerialLink& link, platform::IEventTarget* owner) {
  if (link.IsTransferring()) {
    ShowTransferRunning(owner);
    return false;
  }
  if (link.IsSearching()) {
    FixedMessageBox(owner, kSearchRunningText, kSearchRunningCaption, platform::kMbIconWarning);
    return false;
  }
  link.StopTransfer();
  return true;
}

int CSerialLink::SendRawFile(const char* path) {
  BusyFlag busy(g_rawFileBusy);
  if (!busy.Owned() || !MayStartTransfer(*this, NotifyWindow())) return 0;
  if (!ReadFileIntoBuffer(path)) return 0;
  return StartTransferThread(false, true, kTxThreadFailed, kTxThreadFailedCaption) ? 1 : 0;
}

int CSerialLink::SendFileWithHandshake(const char* path) {
  BusyFlag busy(g_handshakeFileBusy);
  if (!busy.Owned() || !MayStartTransfer(*this, NotifyWindow())) return 0;
  const std::string file = path ? std::string(path) : GetTouchProgramPath();
  if (!ReadFileIntoBuffer(file.c_str())) return 0;
  return StartTransferThread(true, false, kTxThreadFailedHandshake, kTxThreadFailedHandshakeCaption) ? 1 : 0;
}

int CSerialLink::SendProgramImage(int systemProgram, int answerYes) {
  BusyFlag busy(g_imageBusy);
  if (!busy.Owned() || !MayStartTransfer(*this, NotifyWindow())) return 0;
  if (!ReadImageIntoBuffer(ImageType(systemProgram, answerYes))) return 0;
  // The announcement holds the watcher; it stays held until the transfer
  // thread ends, and is let go here on every way out before that.
  if (!SendCommand(systemProgram ? kCmdAnnounceSystem : kCmdAnnounceUser, 1)) {
    ResumeWatcher();
    return 0;
  }
  uint8_t ack[sizeof kHostAck] = {};
  if (ReadExact(ack, sizeof ack, nullptr) != static_cast<int>(sizeof ack) ||
      std::memcmp(ack, kHostAck, sizeof ack) != 0) {
    ResumeWatcher();
    return 0;
  }
  if (!StartTransferThread(false, false, kTxThreadFailed, kTxThreadFailedCaption)) {
    ResumeWatcher();
    return 0;
  }
  return 1;
}

int CSerialLink::SendUserProgram(int answerYes) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_imagePath = m_userPath;
  }
  return SendProgramImage(0, answerYes);
}

int CSerialLink::SendSystemProgram() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_imagePath = m_systemPath;
  }
  return SendProgramImage(1, 0);
}

}  // namespace lumaset
