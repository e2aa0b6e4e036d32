// The virtual USB device: the host simulator's (or a test's) Unix-domain
// SOCK_SEQPACKET socket, one connection a pipe, one message a packet.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/usb_device_backends.h"

namespace lumaset::platform::usb_detail {

namespace {

// Waits that the pipe calls make: the descriptor (may be -1), the caller's
// cancel event and the pipe's closed event, within timeoutMs. Returns the
// revents of the descriptor, 0 on time-out, -1 cancelled, -2 closed, -3 error.
int WaitFd(int fd, short events, const Event* cancel, const Event& closed, int timeoutMs) {
  std::vector<pollfd> fds;
  fds.push_back({closed.Fd(), POLLIN, 0});
  fds.push_back({cancel ? cancel->Fd() : -1, POLLIN, 0});
  fds.push_back({fd, events, 0});
  Deadline deadline(timeoutMs);
  for (;;) {
    if (closed.IsSet()) return -2;
    if (cancel && cancel->IsSet()) return -1;
    for (auto& p : fds) p.revents = 0;
    int rc = PollFor(fds, deadline.Remaining());
    if (rc < 0) return -3;
    if (rc == 0) return 0;
    if (closed.IsSet()) return -2;
    if (cancel && cancel->IsSet()) return -1;
    if (fds[2].revents) return fds[2].revents;
    // An event became readable and was reset again before it was looked at.
    if (deadline.Passed()) return 0;
  }
}

IoStatus FromWait(int rc) {
  switch (rc) {
    case 0: return IoStatus::kTimeout;
    case -1: return IoStatus::kCancelled;
    case -2: return IoStatus::kClosed;
    default: return IoStatus::kError;
  }
}

std::string VirtualDevicePath(const UsbConfig& config) { return "virtual:" + config.virtualPath; }

// Connects to the virtual device's socket, bounded by the pipe time-out.
int ConnectVirtual(const UsbConfig& config, UsbError* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (config.virtualPath.size() >= sizeof address.sun_path) {
    SetError(error, UsbError::kOther, "The virtual USB device path is too long: " + config.virtualPath);
    return -1;
  }
  std::memcpy(address.sun_path, config.virtualPath.c_str(), config.virtualPath.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, UsbError::kOther, std::string("No socket for the virtual USB device: ") + std::strerror(errno));
    return -1;
  }
  // connect() and the name message are bounded like every pipe call.
  timeval tv{kPipeTimeoutMs / 1000, (kPipeTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  do { rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address); } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int e = errno;
    close(fd);
    if (e == EACCES || e == EPERM)
      SetError(error, UsbError::kAccess, "This user may not open the virtual USB device " + config.virtualPath);
    else if (e == ENOENT || e == ECONNREFUSED || e == ENOTSOCK || e == EPROTOTYPE)
      SetError(error, UsbError::kNotFound, "No virtual USB device at " + config.virtualPath);
    else
      SetError(error, UsbError::kOther,
               "The virtual USB device " + config.virtualPath + " did not answer: " + std::strerror(e));
    return -1;
  }
  return fd;
}

class VirtualDevice : public UsbDevice {
 public:
  VirtualDevice(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~VirtualDevice() override { close(fd_); }
  const std::string& Path() const override { return path_; }

 private:
  int fd_;
  std::string path_;
};

class VirtualPipe : public UsbPipe {
 public:
  VirtualPipe(int fd, std::string name, std::string devicePath)
      : UsbPipe(std::move(name), std::move(devicePath)), fd_(fd) {}
  // The descriptor is closed only when no call can be using it any more.
  ~VirtualPipe() override { close(fd_); }

  IoStatus Read(void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) override {
    *count = 0;
    if (gone_) return IoStatus::kGone;
    Deadline deadline(timeoutMs);
    for (;;) {
      int rc = WaitFd(fd_, POLLIN | POLLRDHUP, cancel, closed_, deadline.Remaining());
      if (rc <= 0) return FromWait(rc);
      ssize_t n = recv(fd_, buffer, size, MSG_DONTWAIT);
      if (n > 0) {
        *count = static_cast<size_t>(n);
        return IoStatus::kOk;
      }
      if (n == 0) {
        // A zero-length message is an empty packet; a hung-up peer is an
        // unplugged device.
        if (rc & (POLLHUP | POLLRDHUP | POLLERR)) {
          gone_ = true;
          return IoStatus::kGone;
        }
        return IoStatus::kOk;
      }
      if (errno == EAGAIN || errno == EINTR) continue;
      gone_ = true;
      return IoStatus::kGone;
    }
  }

  IoStatus Write(const void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) override {
    *count = 0;
    if (gone_) return IoStatus::kGone;
    Deadline deadline(timeoutMs);
    const auto* p = static_cast<const uint8_t*>(buffer);
    // One message per write; a longer write goes out as several messages.
    do {
      size_t chunk = size - *count < kUsbOutMessage ? size - *count : kUsbOutMessage;
      int rc = WaitFd(fd_, POLLOUT, cancel, closed_, deadline.Remaining());
      if (rc <= 0) return FromWait(rc);
      ssize_t n = send(fd_, p + *count, chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0) {
        *count += static_cast<size_t>(n);
        continue;
      }
      if (errno == EAGAIN || errno == EINTR) continue;
      gone_ = true;
      return IoStatus::kGone;
    } while (*count < size);
    return IoStatus::kOk;
  }

  void Close() override {
    closed_.Set();
    shutdown(fd_, SHUT_RDWR);
  }
  bool Gone() const override { return gone_; }

 private:
  int fd_;
  Event closed_;
  std::atomic<bool> gone_{false};
};

}  // namespace

std::shared_ptr<UsbDevice> FindVirtualDevice(const UsbConfig& config, std::string* path, UsbError* error) {
  int fd = ConnectVirtual(config, error);
  if (fd < 0) return nullptr;
  if (path) *path = VirtualDevicePath(config);
  return std::make_shared<VirtualDevice>(fd, VirtualDevicePath(config));
}

UsbPipeHandle OpenVirtualPipe(const UsbConfig& config, const char* pipeName, UsbError* error) {
  // The pipe's own connection is the presence test: no separate probe.
  int fd = ConnectVirtual(config, error);
  if (fd < 0) return nullptr;
  ssize_t n;
  do { n = send(fd, pipeName, std::strlen(pipeName), MSG_NOSIGNAL); } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(std::strlen(pipeName))) {
    close(fd);
    SetError(error, UsbError::kNotFound, "The virtual USB device " + config.virtualPath + " closed the pipe");
    return nullptr;
  }
  return std::make_shared<VirtualPipe>(fd, pipeName, VirtualDevicePath(config));
}
}  // namespace lumaset::platform::usb_detail
