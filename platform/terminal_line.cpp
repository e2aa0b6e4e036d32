// The local line: a terminal device over termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/line_rate.h"
#include "platform/serial_line.h"

namespace lumaset::platform {
namespace {

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

int SetModemBits(int fd, int bits, bool on) { return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); }

// Why a terminal whose read or write failed with `error` (0: a read found
// the end of the stream) has gone: a hung-up terminal, whatever the call
// said, is ENODEV, so that the reader and a writer name the same reason.
int HangUpReason(int fd, int error) {
  pollfd p{fd, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) return ENODEV;
  return error ? error : EIO;
}

// Errors of a write that mean the device has gone, not that the write failed.
bool MeansGone(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

class TerminalLine : public SerialLine {
 public:
  explicit TerminalLine(int fd) : fd_(fd) {
    int lines = 0;
    hasModemLines_ = ioctl(fd_, TIOCMGET, &lines) == 0;
  }
  ~TerminalLine() override { ::close(fd_); }

  int Fd() const override { return fd_; }

  int Apply(const LineSettings& line) override {
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
    return 0;
  }

  void DropDtrRts() override {
    if (hasModemLines_) SetModemBits(fd_, TIOCM_DTR | TIOCM_RTS, false);
  }
  bool ModemLines(int* lines) override { return ioctl(fd_, TIOCMGET, lines) == 0; }
  bool PollsModemLines() const override { return hasModemLines_; }

  LineRead Read(uint8_t* out, size_t max, short revents) override {
    LineRead result;
    const ssize_t k = ::read(fd_, out, max);
    if (k > 0) {
      result.bytes = static_cast<size_t>(k);
      return result;
    }
    // With VMIN 0 a read with nothing to give returns 0 too: only together
    // with a hang-up or an error does it mean that the device has gone. A
    // failed read always does (EIO from a pseudo-terminal whose other side
    // closed, ENODEV, ENXIO).
    const int error = k < 0 ? errno : 0;
    if (k < 0 && (error == EAGAIN || error == EINTR)) return result;
    if (k == 0 && !(revents & (POLLHUP | POLLERR | POLLNVAL))) return result;
    result.gone = HangUpReason(fd_, error);
    return result;
  }

  ssize_t Write(const uint8_t* data, size_t n) override { return n ? ::write(fd_, data, n) : 0; }

  size_t OutputQueued() const override {
    int queued = 0;
    return ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<size_t>(queued) : 0;
  }

  int GoneReason(int error) const override {
    if (error == 0) return HangUpReason(fd_, EIO);
    return MeansGone(error) ? HangUpReason(fd_, error) : 0;
  }

  void PurgeInput() override { tcflush(fd_, TCIFLUSH); }
  void PurgeOutput() override { tcflush(fd_, TCOFLUSH); }

  void Close() override {
    // The exclusive mode outlives this descriptor while another one keeps the
    // terminal open (the far side of a pseudo-terminal does): end it, or the
    // next opener would be refused.
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
  }

 private:
  const int fd_;
  bool hasModemLines_ = false;
};

}  // namespace

std::unique_ptr<SerialLine> OpenTerminalLine(const std::string& path, int* error) {
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int e = path.empty() ? ENOENT : errno;
    // A missing device node and a device that is gone are the same to the operator.
    if (e == ENXIO || e == ENODEV) e = ENOENT;
    *error = e;
    return nullptr;
  }
  // Exclusive use among programs that lock the device the same way.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    *error = EBUSY;
    return nullptr;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    *error = errno;
    ::close(fd);
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
  *error = 0;
  return std::make_unique<TerminalLine>(fd);
}

}  // namespace lumaset::platform
