#include "platform/usb_device.h"

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace lumaset::platform {

// ---- settings -----------------------------------------------------------------

std::string UdevRuleFor(uint16_t vendorId, uint16_t productId) {
  std::string rule = kUdevRuleTemplate;
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04x", vendorId);
  rule.replace(rule.find("VVVV"), 4, hex);
  std::snprintf(hex, sizeof hex, "%04x", productId);
  rule.replace(rule.find("PPPP"), 4, hex);
  return rule;
}

namespace {

// Parses 1 to 4 (or maxDigits) hexadecimal digits, with or without "0x".
bool ParseHex(std::string text, unsigned maxValue, unsigned* out) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
  if (text.empty() || text.size() > 4) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0' || value > maxValue) return false;
  *out = static_cast<unsigned>(value);
  return true;
}

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return (value && *value) ? value : nullptr;
}

void Note(std::string* problems, const char* name, const char* value, const char* expected) {
  if (!problems) return;
  *problems += std::string(name) + "=\"" + value + "\" ignored: expected " + expected + "\n";
}

}  // namespace

UsbConfig UsbConfigFromEnvironment(std::string* problems) {
  UsbConfig config;
  if (const char* v = Env("LUMASET_USB_DEVICE")) {
    std::string text = v;
    size_t colon = text.find(':');
    unsigned vid = 0, pid = 0;
    if (colon != std::string::npos && ParseHex(text.substr(0, colon), 0xFFFF, &vid) &&
        ParseHex(text.substr(colon + 1), 0xFFFF, &pid)) {
      config.vendorId = static_cast<uint16_t>(vid);
      config.productId = static_cast<uint16_t>(pid);
    } else {
      Note(problems, "LUMASET_USB_DEVICE", v, "VVVV:PPPP in hexadecimal");
    }
  }
  if (const char* v = Env("LUMASET_USB_SERIAL")) config.serial = v;
  if (const char* v = Env("LUMASET_USB_PATH")) config.busPath = v;
  if (const char* v = Env("LUMASET_USB_INTERFACE")) {
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (*end == '\0' && n >= 0 && n <= 255)
      config.interfaceNumber = static_cast<int>(n);
    else
      Note(problems, "LUMASET_USB_INTERFACE", v, "an interface number 0..255");
  }
  if (const char* v = Env("LUMASET_USB_ENDPOINTS")) {
    std::string text = v;
    size_t comma = text.find(',');
    unsigned in = 0, out = 0;
    if (comma != std::string::npos && ParseHex(text.substr(0, comma), 0xFF, &in) &&
        ParseHex(text.substr(comma + 1), 0xFF, &out) && (in & 0x80) && !(out & 0x80)) {
      config.inEndpoint = static_cast<uint8_t>(in);
      config.outEndpoint = static_cast<uint8_t>(out);
    } else {
      Note(problems, "LUMASET_USB_ENDPOINTS", v, "IN,OUT endpoint addresses in hexadecimal, e.g. 82,03");
    }
  }
  if (const char* v = Env("LUMASET_USB_VIRTUAL")) config.virtualPath = v;
  return config;
}

namespace {

std::string DeviceName(const UsbConfig& config) {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x", config.vendorId, config.productId);
  std::string name = text;
  if (!config.serial.empty()) name += " serial \"" + config.serial + "\"";
  if (!config.busPath.empty()) name += " at " + config.busPath;
  return name;
}

void SetError(UsbError* error, UsbError::Kind kind, std::string text) {
  if (!error) return;
  error->kind = kind;
  error->text = std::move(text);
}

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

// ---- virtual device -----------------------------------------------------------

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
    if (gone_) return IoStatus::kClosed;
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
          return IoStatus::kClosed;
        }
        return IoStatus::kOk;
      }
      if (errno == EAGAIN || errno == EINTR) continue;
      gone_ = true;
      return IoStatus::kClosed;
    }
  }

  IoStatus Write(const void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) override {
    *count = 0;
    if (gone_) return IoStatus::kClosed;
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
      return IoStatus::kClosed;
    } while (*count < size);
    return IoStatus::kOk;
  }

  void Close() override {
    closed_.Set();
    shutdown(fd_, SHUT_RDWR);
  }

 private:
  int fd_;
  Event closed_;
  std::atomic<bool> gone_{false};
};

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

// ---- libusb device ------------------------------------------------------------

// The libusb context and the thread that handles its events. The thread runs
// while at least one device is open; transfers complete on it.
class LibusbRuntime {
 public:
  static LibusbRuntime& Instance() {
    static LibusbRuntime runtime;
    return runtime;
  }

  libusb_context* Context(int* rc) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!context_) {
      initResult_ = libusb_init(&context_);
      if (initResult_ != 0) context_ = nullptr;
    }
    if (rc) *rc = initResult_;
    return context_;
  }

  void AddUser() {
    std::lock_guard<std::mutex> guard(lock_);
    if (users_++ == 0) {
      stop_ = false;
      thread_ = std::thread([this] {
        while (!stop_) {
          timeval tv{1, 0};
          libusb_handle_events_timeout_completed(context_, &tv, nullptr);
        }
      });
    }
  }

  void RemoveUser() {
    std::lock_guard<std::mutex> guard(lock_);
    if (users_ == 0 || --users_ > 0) return;
    StopThread();
  }

 private:
  LibusbRuntime() = default;
  ~LibusbRuntime() {
    std::lock_guard<std::mutex> guard(lock_);
    StopThread();
    if (context_) libusb_exit(context_);
  }

  void StopThread() {
    if (!thread_.joinable()) return;
    stop_ = true;
    libusb_interrupt_event_handler(context_);
    thread_.join();
  }

  std::mutex lock_;
  libusb_context* context_ = nullptr;
  int initResult_ = 0;
  int users_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class LibusbDevice : public UsbDevice {
 public:
  LibusbDevice(libusb_device_handle* handle, int interfaceNumber, uint8_t in, uint8_t out, std::string path,
               std::string key)
      : handle_(handle), interface_(interfaceNumber), in_(in), out_(out), path_(std::move(path)),
        key_(std::move(key)) {
    LibusbRuntime::Instance().AddUser();
  }
  ~LibusbDevice() override {
    libusb_release_interface(handle_, interface_);  // re-attaches a detached kernel driver
    libusb_close(handle_);
    LibusbRuntime::Instance().RemoveUser();
  }
  const std::string& Path() const override { return path_; }
  libusb_device_handle* Handle() const { return handle_; }
  uint8_t InEndpoint() const { return in_; }
  uint8_t OutEndpoint() const { return out_; }
  const std::string& Key() const { return key_; }

 private:
  libusb_device_handle* handle_;
  int interface_;
  uint8_t in_, out_;
  std::string path_, key_;
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  // The waiter frees the transfer once this is set; nothing touches it after.
  static_cast<Event*>(transfer->user_data)->Set();
}

class LibusbPipe : public UsbPipe {
 public:
  LibusbPipe(std::shared_ptr<LibusbDevice> device, uint8_t endpoint, std::string name)
      : UsbPipe(std::move(name), device->Path()), device_(std::move(device)), endpoint_(endpoint) {
    int packet = libusb_get_max_packet_size(libusb_get_device(device_->Handle()), endpoint_);
    packetSize_ = packet > 0 ? static_cast<size_t>(packet) : static_cast<size_t>(kUsbInPacket);
  }

  // A read asks for a whole packet, so that a device with larger packets
  // never overflows a short request. What does not fit the caller's buffer
  // is handed out by the next reads, as a longer packet arrives in pieces.
  IoStatus Read(void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) override {
    std::lock_guard<std::mutex> guard(readLock_);
    *count = 0;
    if (leftover_.empty()) {
      std::vector<uint8_t> packet(std::max(size, packetSize_));
      size_t n = 0;
      IoStatus status = Transfer(packet.data(), packet.size(), &n, cancel, timeoutMs);
      if (status != IoStatus::kOk) return status;
      packet.resize(n);
      if (n <= size) {
        std::memcpy(buffer, packet.data(), n);
        *count = n;
        return IoStatus::kOk;
      }
      leftover_ = std::move(packet);
    }
    const size_t n = std::min(size, leftover_.size());
    std::memcpy(buffer, leftover_.data(), n);
    leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(n));
    *count = n;
    return IoStatus::kOk;
  }
  IoStatus Write(const void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) override {
    // libusb takes a non-const buffer for both directions; OUT only reads it.
    return Transfer(const_cast<void*>(buffer), size, count, cancel, timeoutMs);
  }
  void Close() override { closed_.Set(); }

 private:
  IoStatus Transfer(void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) {
    *count = 0;
    if (closed_.IsSet() || gone_) return IoStatus::kClosed;
    if (cancel && cancel->IsSet()) return IoStatus::kCancelled;
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (!transfer) return IoStatus::kError;
    Event done;
    // libusb's own time-out ends the transfer; 0 would mean no time-out.
    const unsigned timeout = timeoutMs > 0 ? static_cast<unsigned>(timeoutMs) : 1;
    libusb_fill_bulk_transfer(transfer, device_->Handle(), endpoint_, static_cast<unsigned char*>(buffer),
                              static_cast<int>(size), OnTransferDone, &done, timeout);
    int rc = libusb_submit_transfer(transfer);
    if (rc != 0) {
      libusb_free_transfer(transfer);
      if (rc == LIBUSB_ERROR_NO_DEVICE) {
        gone_ = true;
        return IoStatus::kClosed;
      }
      return IoStatus::kError;
    }
    constexpr int kSlackMs = 1000;
    int which = WaitAny({&done, cancel, &closed_}, static_cast<int>(timeout) + kSlackMs);
    if (which != 0) libusb_cancel_transfer(transfer);
    // The buffer belongs to the transfer until its callback has run, which
    // libusb guarantees after a cancel or its own time-out.
    bool noted = false;
    while (!done.Wait(kSlackMs)) {
      if (!noted) std::fprintf(stderr, "lumaset: waiting for a USB transfer to finish\n");
      noted = true;
    }
    const libusb_transfer_status status = transfer->status;
    *count = static_cast<size_t>(transfer->actual_length > 0 ? transfer->actual_length : 0);
    libusb_free_transfer(transfer);
    switch (status) {
      case LIBUSB_TRANSFER_COMPLETED:
        return IoStatus::kOk;
      case LIBUSB_TRANSFER_TIMED_OUT:
        return *count > 0 ? IoStatus::kOk : IoStatus::kTimeout;
      case LIBUSB_TRANSFER_CANCELLED:
        if (which == 1) return IoStatus::kCancelled;
        if (which == 2) return IoStatus::kClosed;
        return *count > 0 ? IoStatus::kOk : IoStatus::kTimeout;
      case LIBUSB_TRANSFER_NO_DEVICE:
        gone_ = true;
        return IoStatus::kClosed;
      case LIBUSB_TRANSFER_STALL:
        libusb_clear_halt(device_->Handle(), endpoint_);
        return IoStatus::kError;
      default:
        return IoStatus::kError;
    }
  }

  std::shared_ptr<LibusbDevice> device_;
  uint8_t endpoint_;
  size_t packetSize_;
  std::mutex readLock_;
  std::vector<uint8_t> leftover_;  // the rest of a packet longer than a read
  Event closed_;
  std::atomic<bool> gone_{false};
};

std::string BusPath(libusb_device* device) {
  uint8_t ports[8];
  int n = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < n; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
  if (n <= 0) path += "0";
  return path;
}

std::string ConfigKey(const UsbConfig& c) {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x/%d/%02x/%02x/", c.vendorId, c.productId, c.interfaceNumber,
                c.inEndpoint, c.outEndpoint);
  return text + c.serial + "/" + c.busPath;
}

// The interface and endpoints to use: the configured ones, or the first
// vendor-specific interface with one bulk IN and one bulk OUT endpoint.
bool PickInterface(libusb_device* device, const UsbConfig& config, int* interfaceNumber, uint8_t* in,
                   uint8_t* out) {
  libusb_config_descriptor* descriptor = nullptr;
  if (libusb_get_active_config_descriptor(device, &descriptor) != 0) return false;
  bool found = false;
  for (int i = 0; i < descriptor->bNumInterfaces && !found; ++i) {
    const libusb_interface& candidate = descriptor->interface[i];
    if (candidate.num_altsetting < 1) continue;
    const libusb_interface_descriptor& alt = candidate.altsetting[0];
    if (config.interfaceNumber >= 0 && alt.bInterfaceNumber != config.interfaceNumber) continue;
    uint8_t bulkIn = 0, bulkOut = 0;
    bool hasIn = false, hasOut = false;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = alt.endpoint[e];
      if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
        if (!bulkIn) bulkIn = ep.bEndpointAddress;
        hasIn = hasIn || ep.bEndpointAddress == config.inEndpoint;
      } else {
        if (!bulkOut) bulkOut = ep.bEndpointAddress;
        hasOut = hasOut || ep.bEndpointAddress == config.outEndpoint;
      }
    }
    uint8_t pickIn = bulkIn, pickOut = bulkOut;
    if (config.inEndpoint || config.outEndpoint) {
      // Configured endpoints must be bulk endpoints of this interface.
      if ((config.inEndpoint && !hasIn) || (config.outEndpoint && !hasOut)) continue;
      if (config.inEndpoint) pickIn = config.inEndpoint;
      if (config.outEndpoint) pickOut = config.outEndpoint;
    } else if (config.interfaceNumber < 0 && alt.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC) {
      continue;
    }
    if (!pickIn || !pickOut) continue;
    *interfaceNumber = alt.bInterfaceNumber;
    *in = pickIn;
    *out = pickOut;
    found = true;
  }
  libusb_free_config_descriptor(descriptor);
  return found;
}

std::string AccessHelp(const UsbConfig& config, const std::string& where) {
  return "The USB device " + DeviceName(config) + " (" + where +
         ") is connected, but this user may not open it.\nAllow it with the udev rule\n  " +
         UdevRuleFor(config.vendorId, config.productId) + "\nin " + kUdevRuleFile + ", then run\n  " +
         kUdevReloadCommand + "\nand plug the device in again.";
}

std::shared_ptr<LibusbDevice> FindLibusbDevice(const UsbConfig& config, std::string* path, UsbError* error) {
  int rc = 0;
  libusb_context* context = LibusbRuntime::Instance().Context(&rc);
  if (!context) {
    SetError(error, UsbError::kNotFound,
             std::string("USB is not available on this computer (") + libusb_strerror(rc) + ")");
    return nullptr;
  }
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(context, &list);
  // The most telling reason seen for a device that matched but did not open.
  UsbError best{UsbError::kNotFound, "No USB device " + DeviceName(config) + " is connected."};
  auto remember = [&best](UsbError::Kind kind, std::string text) {
    if (kind == UsbError::kAccess || best.kind == UsbError::kNotFound ||
        (kind == UsbError::kBusy && best.kind != UsbError::kAccess)) {
      best.kind = kind;
      best.text = std::move(text);
    }
  };
  std::shared_ptr<LibusbDevice> result;
  for (ssize_t i = 0; i < n && !result; ++i) {
    libusb_device* device = list[i];
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(device, &desc) != 0) continue;
    if (desc.idVendor != config.vendorId || desc.idProduct != config.productId) continue;
    const std::string where = BusPath(device);
    if (!config.busPath.empty() && where != config.busPath) continue;
    libusb_device_handle* handle = nullptr;
    rc = libusb_open(device, &handle);
    if (rc == LIBUSB_ERROR_ACCESS) {
      remember(UsbError::kAccess, AccessHelp(config, where));
      continue;
    }
    if (rc != 0) {
      remember(UsbError::kOther, "The USB device at " + where + " does not open: " + libusb_strerror(rc));
      continue;
    }
    if (!config.serial.empty()) {
      unsigned char serial[256] = {0};
      int len = desc.iSerialNumber
                    ? libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, serial, sizeof serial - 1)
                    : -1;
      if (len < 0 || config.serial != reinterpret_cast<char*>(serial)) {
        libusb_close(handle);
        continue;
      }
    }
    int interfaceNumber = -1;
    uint8_t in = 0, out = 0;
    if (!PickInterface(device, config, &interfaceNumber, &in, &out)) {
      remember(UsbError::kNoInterface,
               "The USB device at " + where +
                   " has no vendor-specific interface with a bulk IN and a bulk OUT endpoint "
                   "(LUMASET_USB_INTERFACE and LUMASET_USB_ENDPOINTS name them).");
      libusb_close(handle);
      continue;
    }
    // A kernel driver bound to the interface is detached for the claim and
    // attached again when the interface is released.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    rc = libusb_claim_interface(handle, interfaceNumber);
    if (rc != 0) {
      if (rc == LIBUSB_ERROR_ACCESS)
        remember(UsbError::kAccess, AccessHelp(config, where));
      else if (rc == LIBUSB_ERROR_BUSY)
        remember(UsbError::kBusy, "The USB device at " + where + " is in use by another program.");
      else
        remember(UsbError::kOther, "The USB device at " + where + " refused its interface: " + libusb_strerror(rc));
      libusb_close(handle);
      continue;
    }
    result = std::make_shared<LibusbDevice>(handle, interfaceNumber, in, out, where, ConfigKey(config));
  }
  if (list) libusb_free_device_list(list, 1);
  if (!result) {
    SetError(error, best.kind, best.text);
    return nullptr;
  }
  if (path) *path = result->Path();
  return result;
}

// The pipes of one device share its handle: the interface can be claimed
// only once.
std::mutex g_deviceLock;
std::weak_ptr<LibusbDevice> g_openDevice;

std::shared_ptr<LibusbDevice> SharedLibusbDevice(const UsbConfig& config, UsbError* error) {
  std::lock_guard<std::mutex> guard(g_deviceLock);
  if (auto device = g_openDevice.lock(); device && device->Key() == ConfigKey(config)) return device;
  auto device = FindLibusbDevice(config, nullptr, error);
  if (device) g_openDevice = device;
  return device;
}

}  // namespace

// ---- the device functions -----------------------------------------------------

std::shared_ptr<UsbDevice> FindDevicePath(const UsbConfig& config, std::string* path, UsbError* error) {
  if (error) *error = UsbError{};
  if (!config.virtualPath.empty()) return FindVirtualDevice(config, path, error);
  std::shared_ptr<LibusbDevice> device;
  {
    std::lock_guard<std::mutex> guard(g_deviceLock);
    device = g_openDevice.lock();
    if (device && device->Key() != ConfigKey(config)) device.reset();
  }
  if (!device) device = FindLibusbDevice(config, path, error);
  if (device && path) *path = device->Path();
  return device;
}

bool DevicePresent(const UsbConfig& config, std::string* path, UsbError* error) {
  return FindDevicePath(config, path, error) != nullptr;
}

UsbPipeHandle OpenPipe(const UsbConfig& config, const char* pipeName, UsbError* error) {
  if (error) *error = UsbError{};
  const bool readPipe = std::strcmp(pipeName, kReadPipeName) == 0;
  if (!readPipe && std::strcmp(pipeName, kWritePipeName) != 0) {
    SetError(error, UsbError::kOther, std::string("No such pipe: ") + pipeName);
    return nullptr;
  }
  if (!config.virtualPath.empty()) return OpenVirtualPipe(config, pipeName, error);
  auto device = SharedLibusbDevice(config, error);
  if (!device) return nullptr;
  return std::make_shared<LibusbPipe>(device, readPipe ? device->InEndpoint() : device->OutEndpoint(), pipeName);
}

int PipeRead(const UsbPipeHandle& pipe, void* buffer, int size, int* count, const Event* cancel) {
  size_t n = 0;
  bool ok = pipe && buffer && size >= 0 &&
            pipe->Read(buffer, static_cast<size_t>(size), &n, cancel, kPipeTimeoutMs) == IoStatus::kOk;
  if (count) *count = static_cast<int>(n);
  return ok ? 1 : 0;
}

int PipeWrite(const UsbPipeHandle& pipe, const void* buffer, int size, int* count, const Event* cancel) {
  size_t n = 0;
  bool ok = pipe && buffer && size >= 0 &&
            pipe->Write(buffer, static_cast<size_t>(size), &n, cancel, kPipeTimeoutMs) == IoStatus::kOk;
  if (count) *count = static_cast<int>(n);
  return ok ? 1 : 0;
}

}  // namespace lumaset::platform
