// A serial port that behaves the way the link code expects of a serial
// driver: an input queue that can be counted without consuming it, line
// events (character received, event character, CTS and DSR changes), purges,
// and reads, writes and waits that take a time-out and cancel events. The
// line underneath is a local terminal or a serial device server
// (serial_line.h); everything here behaves the same over both.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/serial_line.h"

namespace lumaset::platform {

// Line events (a mask of them is the port's event mask).
enum : uint32_t {
  kEvRxChar = 0x0001,  // bytes are waiting in the input queue
  kEvRxFlag = 0x0002,  // the event character arrived
  kEvCts = 0x0008,     // CTS changed
  kEvDsr = 0x0010,     // DSR changed
};

// kGone: the device went away (an unplugged adapter, a pseudo-terminal whose
// other side closed, an unplugged USB device). Nothing more passes either
// way, but it stays open until its user closes it; kClosed is that close.
enum class IoStatus { kOk, kTimeout, kCancelled, kError, kClosed, kGone };

using CancelList = std::vector<const Event*>;

class SerialDevice {
 public:
  // Opens path for exclusive use: an flock() for programs that lock the same
  // way, and the terminal's exclusive mode (TIOCEXCL) against every other
  // opener that is not root. Returns null and an errno value in *error:
  // ENOENT when there is no such device, EBUSY when another program has it.
  // A device URL (serial_line.h) connects to its server instead, within
  // connectTimeoutMs; EBUSY there means that the server refused the
  // connection or turned it away as busy.
  static std::shared_ptr<SerialDevice> Open(const std::string& path, int* error,
                                            int connectTimeoutMs = kServerConnectTimeoutMs);
  // Bound of a host-name look-up and connect to a device server.
  static constexpr int kServerConnectTimeoutMs = 5000;
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  const std::string& Path() const { return path_; }

  // Applies the line settings; 0 or an errno value (EINVAL: rate not
  // supported; kSettingsNotConfirmed: a device server refused them or did
  // not confirm them in time). Over a device server it returns once the
  // server has confirmed them, so the next byte written goes at the new rate.
  int Apply(const LineSettings& line);
  void SetQueueSizes(size_t inBytes, size_t outBytes);
  void SetEventMask(uint32_t mask);
  uint32_t EventMask() const;
  void DropDtrRts();

  size_t InputCount() const;
  void Purge(bool input, bool output);

  // Takes up to maxBytes from the input queue without waiting.
  size_t Read(void* buffer, size_t maxBytes);
  // Waits up to timeoutMs for one byte and takes it. On kCancelled, *which is
  // the index of the cancel event that was set. Bytes queued before the
  // device went away are still read; then kGone.
  IoStatus ReadByte(uint8_t* out, const CancelList& cancel, int timeoutMs, int* which = nullptr);

  // Waits for an event of the port's mask that is also in `interest`. The
  // port keeps an event history, as a driver does: the event character and
  // CTS/DSR changes that happen while the mask holds them are kept until a
  // wait that is interested takes them (also when no wait was running then).
  // Setting a different mask clears the history and ends every wait with kOk
  // and no event. Once the device has gone, a wait reports what is still
  // there to report (bytes in the queue), else ends with kGone.
  IoStatus WaitEvent(uint32_t interest, uint32_t* occurred, const CancelList& cancel, int timeoutMs,
                     int* which = nullptr);

  // Set while an event character has arrived (with kEvRxFlag in the mask)
  // that no wait has taken yet; cleared by a change of the event mask, a
  // purge of the input, or a WaitEvent that reports it. Lets a write or a
  // pause stop when the host aborts.
  const Event& EventCharEvent() const { return flagEvent_; }

  // Writes n bytes unless the time-out passes or a cancel event is set first.
  // *written is what the device accepted either way. Like a serial driver,
  // the write completes when its bytes have left on the line: the time the
  // line needs at its rate and framing, and for as long as the driver still
  // reports queued output. (A pseudo-terminal buffers kilobytes and reports
  // none, so without this a writer would run seconds ahead of its peer.)
  // kGone, without waiting, once the device has gone.
  IoStatus Write(const void* data, size_t n, size_t* written, const CancelList& cancel, int timeoutMs,
                 int* which = nullptr);
  int LastError() const { return lastError_; }

  // The device went away: the reader thread saw a hang-up or a read error,
  // or a write failed for that reason. Set once, never cleared; the reader
  // thread has ended by then.
  bool IsGone() const { return gone_.IsSet(); }
  const Event& GoneEvent() const { return gone_; }
  // Why, as an errno value: ENODEV for a hang-up (an unplugged adapter, a
  // pseudo-terminal whose other side closed), else the error of the read or
  // write that failed. 0 while the device is there.
  int GoneError() const { return goneError_; }
  // True for the first caller after the device has gone, false for every
  // other: the threads that use a port report its going once between them.
  bool ClaimGoneReport() { return IsGone() && !goneReported_.exchange(true); }

  // Ends every wait with kClosed and releases the port for the next opener.
  // The descriptor itself is closed when the last user lets go.
  void Close();
  bool IsClosed() const { return closed_.IsSet(); }

  // Sees the size of every write call (the blocks the link hands over).
  using WriteObserver = std::function<void(const std::string& path, size_t bytes)>;
  static void SetWriteObserver(WriteObserver observer);
  // Sees every chunk that the reader thread takes from the descriptor, on
  // that thread, before the chunk is queued.
  using ReadObserver = std::function<void(const std::string& path, const uint8_t* bytes, size_t n)>;
  static void SetReadObserver(ReadObserver observer);

  // Stands in for the modem lines (TIOCMGET) of the devices it answers for:
  // it returns true and fills *lines with TIOCM_* bits. A pseudo-terminal has
  // no modem lines, so this is how CTS/DSR handling is exercised on one.
  // Only devices opened while it is set see it.
  using ModemLineSource = std::function<bool(const std::string& path, int* lines)>;
  static void SetModemLineSource(ModemLineSource source);

 private:
  SerialDevice(std::unique_ptr<SerialLine> line, std::string path);
  void ReaderLoop();
  // Takes a change of CTS or DSR into the event history.
  void LookAtModemLines();
  // Reads the modem lines; false when the device has none.
  bool ReadModemLines(int* lines) const;
  void Notify();  // wakes WaitEvent callers; lock_ held
  // Records that the device has gone (the first reason stays) and wakes
  // every wait.
  void MarkGone(int error);
  // Waits until what was written has left on the line.
  IoStatus WaitOnLine(const CancelList& cancel, const Deadline& deadline, int* which);

  const std::unique_ptr<SerialLine> line_;
  const int fd_;  // the line's descriptor
  std::string path_;
  mutable std::mutex lock_;
  // Held by the reader from its read() until the bytes are queued, and by a
  // purge of the input: a chunk read before a purge is queued before it and
  // thrown away with the rest.
  std::mutex readLock_;
  std::deque<uint8_t> input_;
  size_t inputLimit_ = 32768;
  uint32_t mask_ = 0;
  uint8_t eventChar_ = 0;
  uint32_t rate_ = 0;          // bits per second of the line, 0 until applied
  uint32_t bitsPerByte_ = 10;  // start, data, parity and stop bits
  int64_t lineFreeAtUs_ = 0;   // when the bytes written so far have left
  uint32_t history_ = 0;  // kEvRxFlag, kEvCts, kEvDsr that no wait has taken yet
  uint64_t maskSeq_ = 0;
  ModemLineSource modemSource_;  // set before the reader starts, then only read
  bool pollModemLines_ = false;  // set before the reader starts, then only read
  bool modemKnown_ = false;      // the reader has seen the modem lines once
  int modemLines_ = 0;           // the reader's last look at them
  std::vector<Event*> waiters_;
  Event rxAvailable_;
  Event rxSpace_{true};
  Event closed_;
  Event flagEvent_;
  Event gone_;
  std::atomic<int> goneError_{0};
  std::atomic<bool> goneReported_{false};
  std::thread reader_;
  std::atomic<int> lastError_{0};
};

}  // namespace lumaset::platform
