#include "platform/serial_device.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lumaset::platform {
namespace {

std::mutex g_observerLock;
SerialDevice::WriteObserver g_observer;
SerialDevice::ReadObserver g_readObserver;
SerialDevice::ModemLineSource g_modemSource;

}  // namespace

void SerialDevice::SetWriteObserver(WriteObserver observer) {
  std::lock_guard<std::mutex> guard(g_observerLock);
  g_observer = std::move(observer);
}

void SerialDevice::SetReadObserver(ReadObserver observer) {
  std::lock_guard<std::mutex> guard(g_observerLock);
  g_readObserver = std::move(observer);
}

void SerialDevice::SetModemLineSource(ModemLineSource source) {
  std::lock_guard<std::mutex> guard(g_observerLock);
  g_modemSource = std::move(source);
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& path, int* error, int connectTimeoutMs) {
  int e = 0;
  DeviceUrl url;
  std::unique_ptr<SerialLine> line =
      ParseDeviceUrl(path, &url) ? OpenServerLine(url, connectTimeoutMs, &e) : OpenTerminalLine(path, &e);
  if (error) *error = line ? 0 : e;
  if (!line) return nullptr;
  std::shared_ptr<SerialDevice> device(new SerialDevice(std::move(line), path));
  device->reader_ = std::thread([raw = device.get()] { raw->ReaderLoop(); });
  return device;
}

SerialDevice::SerialDevice(std::unique_ptr<SerialLine> line, std::string path)
    : line_(std::move(line)), fd_(line_->Fd()), path_(std::move(path)) {
  {
    std::lock_guard<std::mutex> guard(g_observerLock);
    modemSource_ = g_modemSource;
  }
  int lines = 0;
  modemKnown_ = ReadModemLines(&lines);
  modemLines_ = lines;
  pollModemLines_ = line_->PollsModemLines() || (modemSource_ && modemKnown_);
}

bool SerialDevice::ReadModemLines(int* lines) const {
  if (modemSource_ && modemSource_(path_, lines)) return true;
  return line_->ModemLines(lines);
}

SerialDevice::~SerialDevice() {
  Close();
  if (reader_.joinable()) reader_.join();
}

void SerialDevice::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_.IsSet()) return;
    closed_.Set();
    Notify();
  }
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
  line_->Close();
}

int SerialDevice::Apply(const LineSettings& line) {
  if (int e = line_->Apply(line)) return e;
  std::lock_guard<std::mutex> guard(lock_);
  eventChar_ = line.eventChar;
  rate_ = line.rate;
  bitsPerByte_ = 1 + line.byteSize + (line.parity ? 1 : 0) + ((line.stopBits == 0) ? 1 : 2);
  return 0;
}

void SerialDevice::SetQueueSizes(size_t inBytes, size_t) {
  std::lock_guard<std::mutex> guard(lock_);
  inputLimit_ = std::max<size_t>(inBytes, 1);
  if (input_.size() < inputLimit_) rxSpace_.Set();
}

void SerialDevice::SetEventMask(uint32_t mask) {
  std::lock_guard<std::mutex> guard(lock_);
  if (mask == mask_) return;
  mask_ = mask;
  history_ = 0;
  flagEvent_.Reset();
  ++maskSeq_;
  Notify();
}

uint32_t SerialDevice::EventMask() const {
  std::lock_guard<std::mutex> guard(lock_);
  return mask_;
}

void SerialDevice::DropDtrRts() { line_->DropDtrRts(); }

size_t SerialDevice::InputCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return input_.size();
}

void SerialDevice::Purge(bool input, bool output) {
  if (output) {
    line_->PurgeOutput();
    std::lock_guard<std::mutex> guard(lock_);
    lineFreeAtUs_ = 0;
  }
  if (input) {
    // Not while the reader holds a chunk it has read but not yet queued.
    std::lock_guard<std::mutex> reading(readLock_);
    line_->PurgeInput();
    std::lock_guard<std::mutex> guard(lock_);
    input_.clear();
    history_ &= ~kEvRxFlag;
    flagEvent_.Reset();
    rxAvailable_.Reset();
    rxSpace_.Set();
  }
}

size_t SerialDevice::Read(void* buffer, size_t maxBytes) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = std::min(maxBytes, input_.size());
  auto* out = static_cast<uint8_t*>(buffer);
  std::copy_n(input_.begin(), n, out);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  if (input_.empty()) rxAvailable_.Reset();
  if (input_.size() < inputLimit_) rxSpace_.Set();
  return n;
}

IoStatus SerialDevice::ReadByte(uint8_t* out, const CancelList& cancel, int timeoutMs, int* which) {
  Deadline deadline(timeoutMs);
  std::vector<const Event*> waits{&rxAvailable_, &closed_, &gone_};
  waits.insert(waits.end(), cancel.begin(), cancel.end());
  for (;;) {
    if (closed_.IsSet()) return IoStatus::kClosed;
    if (Read(out, 1) == 1) return IoStatus::kOk;
    // The reader has ended: nothing more can come.
    if (gone_.IsSet()) return IoStatus::kGone;
    int idx = WaitAny(waits, deadline.Remaining());
    if (idx < 0) return IoStatus::kTimeout;
    if (idx == 1) return IoStatus::kClosed;
    if (idx >= 3) {
      if (which) *which = idx - 3;
      return IoStatus::kCancelled;
    }
  }
}

void SerialDevice::Notify() {
  for (Event* e : waiters_) e->Set();
}

IoStatus SerialDevice::WaitEvent(uint32_t interest, uint32_t* occurred, const CancelList& cancel, int timeoutMs,
                                 int* which) {
  *occurred = 0;
  Deadline deadline(timeoutMs);
  Event wake;
  std::unique_lock<std::mutex> lock(lock_);
  const uint64_t maskSeq = maskSeq_;
  waiters_.push_back(&wake);
  IoStatus status = IoStatus::kOk;
  for (;;) {
    uint32_t want = mask_ & interest;
    if (closed_.IsSet()) {
      status = IoStatus::kClosed;
      break;
    }
    if (maskSeq_ != maskSeq) break;  // mask changed: the wait ends empty-handed
    // The history is taken by the waiter that reports it.
    uint32_t ev = history_ & want;
    history_ &= ~ev;
    if (ev & kEvRxFlag) flagEvent_.Reset();
    if ((want & kEvRxChar) && !input_.empty()) ev |= kEvRxChar;
    if (ev) {
      *occurred = ev;
      break;
    }
    if (gone_.IsSet()) {
      status = IoStatus::kGone;
      break;
    }
    wake.Reset();
    lock.unlock();
    std::vector<const Event*> waits{&wake, (want & kEvRxChar) ? &rxAvailable_ : nullptr, &gone_};
    waits.insert(waits.end(), cancel.begin(), cancel.end());
    int idx = WaitAny(waits, deadline.Remaining());
    lock.lock();
    if (idx < 0) {
      status = IoStatus::kTimeout;
      break;
    }
    if (idx >= 3) {
      if (which) *which = idx - 3;
      status = IoStatus::kCancelled;
      break;
    }
  }
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &wake));
  return status;
}

IoStatus SerialDevice::Write(const void* data, size_t n, size_t* written, const CancelList& cancel, int timeoutMs,
                             int* which) {
  {
    std::lock_guard<std::mutex> guard(g_observerLock);
    if (g_observer) g_observer(path_, n);
  }
  Deadline deadline(timeoutMs);
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  IoStatus status = IoStatus::kOk;
  // Over a device server the line may hold back bytes it has taken: the
  // write is over once they are out too.
  while (done < n || line_->Unsent() > 0) {
    if (closed_.IsSet()) {
      status = IoStatus::kClosed;
      break;
    }
    if (gone_.IsSet()) {
      lastError_ = goneError_.load();
      status = IoStatus::kGone;
      break;
    }
    ssize_t k = line_->Write(p + done, n - done);
    if (k > 0) {
      done += static_cast<size_t>(k);
      std::lock_guard<std::mutex> guard(lock_);
      if (rate_) {
        const int64_t now = NowMs() * 1000;
        lineFreeAtUs_ = std::max(lineFreeAtUs_, now) + int64_t(k) * bitsPerByte_ * 1000000 / rate_;
      }
      continue;
    }
    if (k == 0 && done == n && line_->Unsent() == 0) break;
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN) {
      const int error = errno;
      if (const int reason = line_->GoneReason(error)) {
        MarkGone(reason);
        status = IoStatus::kGone;
      } else {
        lastError_ = error;
        status = IoStatus::kError;
      }
      break;
    }
    std::vector<pollfd> fds{{fd_, POLLOUT, 0}, {closed_.Fd(), POLLIN, 0}, {gone_.Fd(), POLLIN, 0}};
    for (const Event* e : cancel)
      if (e) fds.push_back({e->Fd(), POLLIN, 0});
    int rc = PollFor(fds, deadline.Remaining());
    if (rc == 0) {
      status = IoStatus::kTimeout;
      break;
    }
    if (rc < 0) {
      lastError_ = errno;
      status = IoStatus::kError;
      break;
    }
    if (fds[1].revents) {
      status = IoStatus::kClosed;
      break;
    }
    if (fds[2].revents) continue;  // seen at the top of the loop
    int fired = -1;
    for (size_t i = 3, c = 0; i < fds.size(); ++i, ++c) {
      while (c < cancel.size() && !cancel[c]) ++c;
      if (fds[i].revents && fired < 0) fired = static_cast<int>(c);
    }
    if (fired >= 0) {
      if (which) *which = fired;
      status = IoStatus::kCancelled;
      break;
    }
    if (fds[0].revents & (POLLERR | POLLHUP)) {
      MarkGone(line_->GoneReason(0));
      status = IoStatus::kGone;
      break;
    }
  }
  if (status == IoStatus::kOk) status = WaitOnLine(cancel, deadline, which);
  *written = done;
  return status;
}

IoStatus SerialDevice::WaitOnLine(const CancelList& cancel, const Deadline& deadline, int* which) {
  std::vector<const Event*> waits{&closed_, &gone_};
  waits.insert(waits.end(), cancel.begin(), cancel.end());
  for (;;) {
    // What was written will not leave any more.
    if (gone_.IsSet()) return IoStatus::kGone;
    int64_t leftMs;
    {
      std::lock_guard<std::mutex> guard(lock_);
      leftMs = (lineFreeAtUs_ - NowMs() * 1000 + 999) / 1000;
      const size_t queued = rate_ ? line_->OutputQueued() : 0;
      if (queued > 0) leftMs = std::max<int64_t>(leftMs, int64_t(queued) * bitsPerByte_ * 1000 / rate_ + 1);
    }
    if (leftMs <= 0) return IoStatus::kOk;
    if (deadline.Passed()) return IoStatus::kTimeout;
    int slice = deadline.Remaining() == kInfinite ? static_cast<int>(leftMs)
                                                  : static_cast<int>(std::min<int64_t>(leftMs, deadline.Remaining()));
    int idx = WaitAny(waits, slice);
    if (idx == 0) return IoStatus::kClosed;
    if (idx >= 2) {
      if (which) *which = idx - 2;
      return IoStatus::kCancelled;
    }
  }
}

void SerialDevice::MarkGone(int error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!gone_.IsSet()) {
    goneError_ = error;
    gone_.Set();
    Notify();
  }
  lastError_ = goneError_.load();
}

void SerialDevice::ReaderLoop() {
  uint8_t chunk[4096];
  for (;;) {
    bool room;
    {
      std::lock_guard<std::mutex> guard(lock_);
      room = input_.size() < inputLimit_;
    }
    // While the queue is full the descriptor is not watched (poll() skips a
    // negative one): a hang-up then counts once the bytes before it are in.
    // Bytes a device server's line holds back go out when there is room.
    const short want = static_cast<short>(POLLIN | (line_->Unsent() ? POLLOUT : 0));
    std::vector<pollfd> fds{{closed_.Fd(), POLLIN, 0}, {room ? fd_ : -1, want, 0}};
    if (!room) fds.push_back({rxSpace_.Fd(), POLLIN, 0});
    // Modem lines without a wake-up of their own are looked at ten times a second.
    int rc = PollFor(fds, pollModemLines_ ? 100 : kInfinite);
    if (closed_.IsSet()) return;
    if (rc < 0) return;
    const short revents = fds[1].revents;
    if (revents & POLLOUT) line_->Write(nullptr, 0);
    if (!(revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
      LookAtModemLines();
      continue;
    }
    std::lock_guard<std::mutex> reading(readLock_);
    size_t space;
    {
      std::lock_guard<std::mutex> guard(lock_);
      space = inputLimit_ > input_.size() ? inputLimit_ - input_.size() : 0;
    }
    if (space == 0) continue;
    const LineRead got = line_->Read(chunk, std::min(space, sizeof chunk), revents);
    // A device server tells its modem lines among the bytes.
    LookAtModemLines();
    if (got.bytes > 0) {
      const size_t k = got.bytes;
      ReadObserver observer;
      {
        std::lock_guard<std::mutex> guard(g_observerLock);
        observer = g_readObserver;
      }
      if (observer) observer(path_, chunk, k);
      std::lock_guard<std::mutex> guard(lock_);
      input_.insert(input_.end(), chunk, chunk + k);
      if ((mask_ & kEvRxFlag) && std::find(chunk, chunk + k, eventChar_) != chunk + k) {
        history_ |= kEvRxFlag;
        flagEvent_.Set();
      }
      rxAvailable_.Set();
      if (input_.size() >= inputLimit_) rxSpace_.Reset();
      Notify();
    }
    if (got.gone) {
      MarkGone(got.gone);
      return;
    }
  }
}

void SerialDevice::LookAtModemLines() {
  int lines = 0;
  if (!ReadModemLines(&lines)) return;
  std::lock_guard<std::mutex> guard(lock_);
  // The first look is where changes count from.
  if (!modemKnown_) {
    modemKnown_ = true;
    modemLines_ = lines;
    return;
  }
  // A change is kept in the history while the mask asks for it, until a
  // wait takes it.
  uint32_t changed = 0;
  if ((lines ^ modemLines_) & TIOCM_CTS) changed |= kEvCts;
  if ((lines ^ modemLines_) & TIOCM_DSR) changed |= kEvDsr;
  modemLines_ = lines;
  if (changed & mask_) {
    history_ |= changed & mask_;
    Notify();
  }
}

}  // namespace lumaset::platform
