// The link to the host over its USB device: a receive thread that reads the
// read pipe all the time, and a transfer thread for downloads. Replies that a
// caller waits for are captured from the receive thread's next packet.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_events.h"
#include "platform/event.h"
#include "platform/operator.h"
#include "platform/usb_device.h"
#include "platform/worker.h"

namespace lumaset {

constexpr int kUsbReplySize = 64;         // the reply buffer, one IN packet
constexpr int kUsbReplyWaitMs = 1000;     // how long a caller waits for a reply
constexpr int kUsbCommandMax = 64;        // largest decoded command string
constexpr int kUsbReceiveGraceMs = 2000;  // receive thread stop
constexpr int kUsbTransferGraceMs = 5000; // transfer thread stop
constexpr int kUsbRetryPaceMs = 100;      // pause before repeating a request that failed at once
constexpr int kUsbStartDelayMs = 100;     // the receive thread starts this long after Open

class CUsbLink {
 public:
  // The device settings come from the environment (UsbConfigFromEnvironment);
  // SetConfig replaces them, taking effect at the next Open.
  CUsbLink();
  virtual ~CUsbLink();
  CUsbLink(const CUsbLink&) = delete;
  CUsbLink& operator=(const CUsbLink&) = delete;

  void SetConfig(const platform::UsbConfig& config);
  platform::UsbConfig Config() const;
  void SetTarget(platform::IEventTarget* window, uint32_t message);

  // Opens both pipes and starts the receive thread. Always 1; without a read
  // pipe the link stays not open (description 59415).
  int Open();
  // Opens as Open does, but shows nothing: 1 when the read pipe opened, else
  // 0 and LastOpenErrno() says why. For reconnecting to a device that went
  // away.
  int OpenQuietly();
  // Stops the transfer and the receive thread, closes both pipes. Always 1.
  int Close();
  int IsOpen() const;
  int IsBusy() const { return m_busy.load(); }
  // String 59414 while the read pipe is open, else 59415.
  std::string StatusText();
  // Why the last Open found no read pipe (empty when it found one).
  std::string LastOpenError() const;
  // The same as an errno value: ENOENT (no device), EACCES (not permitted),
  // EBUSY (in use), ENODEV (no interface with the two pipes), EAGAIN (no
  // receive thread), EIO; 0 after an open that succeeded.
  int LastOpenErrno() const { return m_lastOpenErrno; }
  // The device the open read pipe belongs to ("1-2.3", "virtual:PATH"; ""
  // when not open), so that a device that comes back can be told from another.
  std::string OpenDevicePath() const;
  // The device has been unplugged while open (LE_PORT_GONE); the link stays
  // open until closed.
  bool IsGone() const;

  // Takes up to `size` received bytes into `buffer` and returns the count.
  // Leaves the USB receive lock held until ReleaseReceived (same thread), so
  // the receive thread appends nothing while the caller shows the bytes.
  int TakeReceived(void* buffer, int size);
  void ReleaseReceived();

  // Waits about a second for the captured reply; copies up to `count` bytes
  // and returns min(count, reply length). The length counts the bytes before
  // the first zero byte.
  int WaitReply(void* buffer, int count);

  int SendCommand(int index, int awaitReply);
  int SendCommandString(const char* text);
  int Write(const void* buffer, int count);
  int Probe();
  // Touch-panel program: the whole file after the FBLT/OKDOWNSYS handshake.
  int SendFileWithHandshake(const char* path);
  // System or user program: announced, then sent as an image frame.
  int SendProgramImage(const char* path, int systemProgram, int answerYes);
  void StopSending();

  // Exit codes recorded for the threads (0x8888 or 0, 0x9988, or 2164).
  uint32_t LastTransferExitCode() const { return m_sender.ExitCode(); }
  uint32_t LastReceiveExitCode() const { return m_receiver.ExitCode(); }

 private:
  platform::UsbPipeHandle ReadPipe() const;
  platform::UsbPipeHandle WritePipe() const;
  void Post(uint32_t code, uint32_t value);
  platform::IEventTarget* NotifyWindow() const { return m_notifyWindow.load(); }
  // What the receive thread does with the packets it reads: hands them to
  // the view, captures the next one as a reply, or collects every one for the
  // probe.
  enum : int { kCaptureOff = 0, kCaptureOnePacket = 1, kCaptureProbe = 2 };
  // Clears the reply buffers and sets the capture flag.
  void ArmCapture(int mode = kCaptureOnePacket);
  int ReplyLength() const;  // m_replyLock held
  bool StartSendThread(std::vector<uint8_t> data, bool handshake, const char* failText, const char* failCaption);
  int OpenPipes(bool quiet);
  // Posts LE_PORT_GONE (ENODEV) once for the open device.
  void ReportGone();
  uint32_t UsbReceiveThread();
  uint32_t UsbSendThread();
  // The handshake before a touch-panel program: 0 to go on, else the result.
  uint32_t Handshake(uint32_t length);
  bool SendRunning() const { return m_sendRun.load() != 0; }

  // Transfer length and buffer: written only while no transfer thread runs.
  std::atomic<uint32_t> m_transferLength{0};
  std::vector<uint8_t> m_transferBuffer;
  std::atomic<int> m_busy{0};
  // A transfer runs or has yet to post how it ended: it reports the device's
  // loss itself, after its own end, so the view hears of the failure first.
  std::atomic<int> m_transferReportsGone{0};
  std::atomic<int> m_receiveRun{0};
  std::atomic<int> m_sendRun{0};
  std::atomic<int> m_handshakeRequested{0};
  std::atomic<uint32_t> m_notifyMessage{WM_LINK_EVENT};
  mutable std::mutex m_lock;  // the description, the config and the pipes
  std::string m_description;
  std::string m_lastOpenError;
  std::atomic<int> m_lastOpenErrno{0};
  std::atomic<bool> m_goneReported{false};
  platform::UsbConfig m_config;
  // The pending-receive string lives under the process-wide USB receive lock.
  std::string m_pending;
  std::atomic<int> m_capture{0};
  mutable std::mutex m_replyLock;  // the reply buffer, filled with the capture flag cleared
  uint8_t m_reply[kUsbReplySize] = {0};
  std::vector<uint8_t> m_probeReply;  // every packet since the probe went out
  platform::Event m_replyArrived;
  std::atomic<platform::IEventTarget*> m_notifyWindow{nullptr};
  platform::UsbPipeHandle m_readPipe, m_writePipe;
  // Stop events: the run flags' counterparts that waits can include.
  platform::Event m_stopReceive, m_stopSend;
  platform::Worker m_receiver, m_sender;
};

}  // namespace lumaset
