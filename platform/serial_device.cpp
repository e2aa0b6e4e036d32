#include "platform/serial_device.h"

#include "platform/line_rate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lumaset::platform {
namespace {

std::mutex g_observerLock;
SerialDevice::WriteObserver g_observer;
SerialDevice::ReadObserver g_readObserver;
SerialDevice::ModemLineSource g_modemSource;

bool SpeedFor(uint32_t rate, speed_t* speed) {
  static const struct { uint32_t rate; speed_t speed; } kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000},
  };
  for (const auto& s : kSpeeds)
    if (s.rate == rate) {
      *speed = s.speed;
      return true;
    }
  return false;
}

int SetModemBits(int fd, int bits, bool on) {
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

// Why a device whose read or write failed with `error` (0: a read found the
// end of the stream) has gone: a hung-up terminal, whatever the call said,
// is ENODEV, so that the reader and a writer name the same reason.
int GoneReason(int fd, int error) {
  pollfd p{fd, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) return ENODEV;
  return error ? error : EIO;
}

// Errors of a write that mean the device has gone, not that the write failed.
bool MeansGone(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

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

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& path, int* error) {
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = path.empty() ? ENOENT : errno;
    // A missing device node and a device that is gone are the same to the operator.
    if (e == ENXIO || e == ENODEV) e = ENOENT;
    if (error) *error = e;
    return nullptr;
  }
  // Exclusive use among programs that lock the device the same way.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    if (error) *error = EBUSY;
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    int e = errno;
    ::close(fd);
    if (error) *error = e == ENOTTY ? ENOTTY : e;
    return nullptr;
  }
  // The lock is only advisory: the terminal's exclusive mode also keeps out
  // programs that do not lock (a modem manager probing the port, a terminal
  // program); their open() fails with EBUSY. Root is not kept out.
  ioctl(fd, TIOCEXCL);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &tio);
  std::shared_ptr<SerialDevice> device(new SerialDevice(fd, path));
  device->reader_ = std::thread([raw = device.get()] { raw->ReaderLoop(); });
  if (error) *error = 0;
  return device;
}

SerialDevice::SerialDevice(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  {
    std::lock_guard<std::mutex> guard(g_observerLock);
    modemSource_ = g_modemSource;
  }
  int lines = 0;
  hasModemLines_ = ReadModemLines(&lines);
  modemLines_ = lines;
}

bool SerialDevice::ReadModemLines(int* lines) const {
  if (modemSource_ && modemSource_(path_, lines)) return true;
  return ioctl(fd_, TIOCMGET, lines) == 0;
}

SerialDevice::~SerialDevice() {
  Close();
  if (reader_.joinable()) reader_.join();
  ::close(fd_);
}

void SerialDevice::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_.IsSet()) return;
    closed_.Set();
    Notify();
  }
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
  // The exclusive mode outlives this descriptor while another one keeps the
  // terminal open (the far side of a pseudo-terminal does): end it, or the
  // next opener would be refused.
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
}

int SerialDevice::Apply(const LineSettings& line) {
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return errno;
  speed_t speed;
  const bool standard = SpeedFor(line.rate, &speed);
  if (!standard && (line.rate == 0 || line.rate > 4000000)) return EINVAL;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (standard) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  tio.c_cflag &= ~CSIZE;
  switch (line.byteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: return EINVAL;
  }
  tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (line.parity) {
    case 0: break;
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;  // mark: parity bit always 1
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;           // space: parity bit always 0
    default: return EINVAL;
  }
  if (line.stopBits == 1 || line.stopBits == 2)
    tio.c_cflag |= CSTOPB;  // no 1.5 stop bits here: two is the nearest
  else
    tio.c_cflag &= ~CSTOPB;
  if (line.parityCheck) tio.c_iflag |= INPCK;
  if (line.ctsFlow || line.rtsControl == 2)
    tio.c_cflag |= CRTSCTS;
  else
    tio.c_cflag &= ~CRTSCTS;
  if (line.xonOut) tio.c_iflag |= IXON;
  if (line.xonIn) tio.c_iflag |= IXOFF;
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) return errno;
  // Rates without a constant (14400) go through termios2; a driver that
  // cannot do them refuses here.
  if (!standard) {
    if (int e = SetLineRate(fd_, line.rate)) return e;
    if (GetLineRate(fd_) != line.rate) return EINVAL;
  }
  if (hasModemLines_) {
    SetModemBits(fd_, TIOCM_DTR, line.dtrControl != 0);
    if (line.rtsControl != 2) SetModemBits(fd_, TIOCM_RTS, line.rtsControl != 0);
  }
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

void SerialDevice::DropDtrRts() {
  if (hasModemLines_) SetModemBits(fd_, TIOCM_DTR | TIOCM_RTS, false);
}

size_t SerialDevice::InputCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return input_.size();
}

void SerialDevice::Purge(bool input, bool output) {
  if (output) {
    tcflush(fd_, TCOFLUSH);
    std::lock_guard<std::mutex> guard(lock_);
    lineFreeAtUs_ = 0;
  }
  if (input) {
    // Not while the reader holds a chunk it has read but not yet queued.
    std::lock_guard<std::mutex> reading(readLock_);
    tcflush(fd_, TCIFLUSH);
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
  // One wake-up event per waiting thread, kept between its waits; one left
  // set by an earlier wait only makes the loop below look once more.
  static thread_local Event wake;
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
  while (done < n) {
    if (closed_.IsSet()) {
      status = IoStatus::kClosed;
      break;
    }
    if (gone_.IsSet()) {
      lastError_ = goneError_.load();
      status = IoStatus::kGone;
      break;
    }
    ssize_t k = ::write(fd_, p + done, n - done);
    if (k > 0) {
      done += static_cast<size_t>(k);
      std::lock_guard<std::mutex> guard(lock_);
      if (rate_) {
        const int64_t now = NowMs() * 1000;
        lineFreeAtUs_ = std::max(lineFreeAtUs_, now) + int64_t(k) * bitsPerByte_ * 1000000 / rate_;
      }
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN) {
      const int error = errno;
      if (MeansGone(error)) {
        MarkGone(GoneReason(fd_, error));
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
      MarkGone(GoneReason(fd_, EIO));
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
      int queued = 0;
      if (rate_ && ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0)
        leftMs = std::max<int64_t>(leftMs, int64_t(queued) * bitsPerByte_ * 1000 / rate_ + 1);
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
    pollfd fds[3] = {{closed_.Fd(), POLLIN, 0}, {room ? fd_ : -1, POLLIN, 0}, {room ? -1 : rxSpace_.Fd(), POLLIN, 0}};
    // Modem lines have no wake-up of their own here: look at them ten times a second.
    int rc;
    do {
      rc = poll(fds, 3, hasModemLines_ ? 100 : kInfinite);
    } while (rc < 0 && errno == EINTR);
    if (closed_.IsSet()) return;
    if (rc < 0) return;
    if (hasModemLines_) {
      int lines = 0;
      if (ReadModemLines(&lines)) {
        std::lock_guard<std::mutex> guard(lock_);
        // A change is kept in the history while the mask asks for it, until
        // a wait takes it.
        uint32_t changed = 0;
        if ((lines ^ modemLines_) & TIOCM_CTS) changed |= kEvCts;
        if ((lines ^ modemLines_) & TIOCM_DSR) changed |= kEvDsr;
        modemLines_ = lines;
        if (changed & mask_) {
          history_ |= changed & mask_;
          Notify();
        }
      }
    }
    const short revents = fds[1].revents;
    if (!(revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
    ssize_t k;
    int error = 0;
    {
      std::lock_guard<std::mutex> reading(readLock_);
      size_t space;
      {
        std::lock_guard<std::mutex> guard(lock_);
        space = inputLimit_ > input_.size() ? inputLimit_ - input_.size() : 0;
      }
      if (space == 0) continue;
      k = ::read(fd_, chunk, std::min(space, sizeof chunk));
      if (k < 0) error = errno;
      if (k > 0) {
        ReadObserver observer;
        {
          std::lock_guard<std::mutex> guard(g_observerLock);
          if (g_readObserver) observer = g_readObserver;
        }
        if (observer) observer(path_, chunk, static_cast<size_t>(k));
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
    }
    if (k > 0) {
      // What the line brings in the next moments is gathered in the driver
      // and taken in one read, as a UART's FIFO or a USB adapter's latency
      // timer gathers it, rather than with one wake-up for every chunk that
      // arrives. A close ends the pause.
      if (static_cast<size_t>(k) < sizeof chunk) closed_.Wait(kReadGatherMs);
      continue;
    }
    // With VMIN 0 a read with nothing to give returns 0 too: only together
    // with a hang-up or an error does it mean that the device has gone. A
    // failed read always does (EIO from a pseudo-terminal whose other side
    // closed, ENODEV, ENXIO).
    if (k < 0 && (error == EAGAIN || error == EINTR)) continue;
    if (k == 0 && !(revents & (POLLHUP | POLLERR | POLLNVAL))) continue;
    MarkGone(GoneReason(fd_, error));
    return;
  }
}

}  // namespace lumaset::platform
