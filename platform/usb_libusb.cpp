// The libusb-1.0 back-end: the host's real USB device, found by its IDs (and
// serial or bus path), with its vendor interface claimed for the two pipes.
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/usb_device_backends.h"

namespace lumaset::platform::usb_detail {

namespace {

std::string DeviceName(const UsbConfig& config) {
  char text[64];
  std::snprintf(text, sizeof text, "%04x:%04x", config.vendorId, config.productId);
  std::string name = text;
  if (!config.serial.empty()) name += " serial \"" + config.serial + "\"";
  if (!config.busPath.empty()) name += " at " + config.busPath;
  return name;
}


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
  // Unplugged: every pipe of the handle fails from now on, and the next open
  // looks for the device afresh instead of reusing this handle.
  void MarkGone() { gone_ = true; }
  bool Gone() const { return gone_; }

 private:
  libusb_device_handle* handle_;
  int interface_;
  uint8_t in_, out_;
  std::string path_, key_;
  std::atomic<bool> gone_{false};
};

// One transfer's memory, shared by the caller that waits for it and by
// libusb's callback. A caller that gives up on a transfer that does not come
// back leaves the block to the callback, so nothing is freed while libusb may
// still write into it. (A handle closed before that callback drops the
// transfer from libusb's books: the block then stays allocated.)
struct TransferBlock {
  libusb_transfer* transfer = nullptr;
  std::vector<uint8_t> data;  // the bytes in flight
  Event done;
  ~TransferBlock() {
    if (transfer) libusb_free_transfer(transfer);
  }
};

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) {
  auto* owner = static_cast<std::shared_ptr<TransferBlock>*>(transfer->user_data);
  std::shared_ptr<TransferBlock> block = std::move(*owner);
  delete owner;
  block->done.Set();
  // Without a waiter this was the last reference: block and transfer go now,
  // which libusb allows inside the callback.
}

// Beyond its own time-out, a transfer is waited for this much longer before
// it is cancelled, and a cancelled one this long before it is left behind.
constexpr int kTransferSlackMs = 1000;
constexpr int kCancelGraceMs = 1000;

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
      // Whole packets only: a request that ends inside a packet makes the
      // controller report an overflow when the device fills that packet.
      const size_t packets = (std::max(size, packetSize_) + packetSize_ - 1) / packetSize_;
      std::vector<uint8_t> packet;
      size_t n = 0;
      IoStatus status = Transfer(std::vector<uint8_t>(packets * packetSize_), &packet, &n, cancel, timeoutMs);
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
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    return Transfer(std::vector<uint8_t>(bytes, bytes + size), nullptr, count, cancel, timeoutMs);
  }
  void Close() override { closed_.Set(); }
  bool Gone() const override { return device_->Gone(); }

 private:
  // One bulk transfer of `data` (OUT), or of data.size() bytes into *in
  // (IN, resized to what came).
  IoStatus Transfer(std::vector<uint8_t> data, std::vector<uint8_t>* in, size_t* count, const Event* cancel,
                    int timeoutMs) {
    *count = 0;
    if (closed_.IsSet()) return IoStatus::kClosed;
    if (device_->Gone()) return IoStatus::kGone;
    if (cancel && cancel->IsSet()) return IoStatus::kCancelled;
    auto block = std::make_shared<TransferBlock>();
    block->transfer = libusb_alloc_transfer(0);
    if (!block->transfer) return IoStatus::kError;
    block->data = std::move(data);
    libusb_transfer* transfer = block->transfer;
    // libusb's own time-out ends the transfer; 0 would mean no time-out.
    const unsigned timeout = timeoutMs > 0 ? static_cast<unsigned>(timeoutMs) : 1;
    auto* owner = new std::shared_ptr<TransferBlock>(block);  // the callback's reference
    libusb_fill_bulk_transfer(transfer, device_->Handle(), endpoint_, block->data.data(),
                              static_cast<int>(block->data.size()), OnTransferDone, owner, timeout);
    int rc = libusb_submit_transfer(transfer);
    if (rc != 0) {
      delete owner;
      if (rc == LIBUSB_ERROR_NO_DEVICE) {
        device_->MarkGone();
        return IoStatus::kGone;
      }
      return IoStatus::kError;
    }
    int which = WaitAny({&block->done, cancel, &closed_}, static_cast<int>(timeout) + kTransferSlackMs);
    if (which != 0) libusb_cancel_transfer(transfer);
    // A cancelled transfer comes back at once from a working device and
    // driver. One that does not is left to its callback, and the caller is
    // not kept waiting.
    if (!block->done.Wait(kCancelGraceMs)) {
      std::fprintf(stderr, "lumaset: a USB transfer did not end after it was cancelled; left behind\n");
      return IoStatus::kError;
    }
    const libusb_transfer_status status = transfer->status;
    *count = static_cast<size_t>(transfer->actual_length > 0 ? transfer->actual_length : 0);
    if (in) {
      block->data.resize(*count);
      *in = std::move(block->data);
    }
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
        device_->MarkGone();
        return IoStatus::kGone;
      case LIBUSB_TRANSFER_STALL:
        libusb_clear_halt(device_->Handle(), endpoint_);
        // Bytes that went out before the stall are reported as written, so
        // that the caller does not send them again.
        return *count > 0 ? IoStatus::kOk : IoStatus::kError;
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

std::shared_ptr<LibusbDevice> OpenMatchingDevice(const UsbConfig& config, std::string* path, UsbError* error) {
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
  if (auto device = g_openDevice.lock(); device && !device->Gone() && device->Key() == ConfigKey(config))
    return device;
  auto device = OpenMatchingDevice(config, nullptr, error);
  if (device) g_openDevice = device;
  return device;
}

}  // namespace

std::shared_ptr<UsbDevice> FindLibusbDevice(const UsbConfig& config, std::string* path, UsbError* error) {
  std::shared_ptr<LibusbDevice> device;
  {
    std::lock_guard<std::mutex> guard(g_deviceLock);
    device = g_openDevice.lock();
    if (device && (device->Gone() || device->Key() != ConfigKey(config))) device.reset();
  }
  if (!device) device = OpenMatchingDevice(config, path, error);
  if (device && path) *path = device->Path();
  return device;
}

UsbPipeHandle OpenLibusbPipe(const UsbConfig& config, const char* pipeName, bool readPipe, UsbError* error) {
  auto device = SharedLibusbDevice(config, error);
  if (!device) return nullptr;
  return std::make_shared<LibusbPipe>(device, readPipe ? device->InEndpoint() : device->OutEndpoint(), pipeName);
}

}  // namespace lumaset::platform::usb_detail
