// The host's USB device: a read pipe "PIPE02" (bulk IN) and a write pipe
// "PIPE03" (bulk OUT). Two back-ends: libusb-1.0 for the real device, and a
// virtual device over a Unix-domain SOCK_SEQPACKET socket (the host simulator
// and the tests), chosen by UsbConfig::virtualPath.
//
// Virtual device contract: every pipe is its own connection to the socket;
// its first message is the pipe name in ASCII. After it, each message is one
// USB packet: the host sends IN packets (at most 64 bytes) on "PIPE02", the
// tool sends each write (at most 512 bytes) as one message on "PIPE03". A
// closed connection is an unplugged device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/serial_device.h"  // IoStatus

namespace lumaset::platform {

constexpr const char kReadPipeName[] = "PIPE02";   // bulk IN: host to tool
constexpr const char kWritePipeName[] = "PIPE03";  // bulk OUT: tool to host
constexpr int kPipeTimeoutMs = 2000;
constexpr int kUsbInPacket = 64;     // largest IN packet the link reads
constexpr int kUsbOutMessage = 512;  // largest write of the virtual device

// Default device IDs: a vendor ID kept for open and prototype hardware, with a
// test product ID. They are placeholders: set the host's real IDs with
// LUMASET_USB_DEVICE (or the settings) before using real hardware.
constexpr uint16_t kDefaultUsbVendorId = 0x1209;
constexpr uint16_t kDefaultUsbProductId = 0x0001;

// The udev rule that lets the operator (not only root) open the device.
constexpr const char kUdevRuleFile[] = "/etc/udev/rules.d/70-lumaset.rules";
constexpr const char kUdevRuleTemplate[] =
    "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"VVVV\", ATTRS{idProduct}==\"PPPP\", TAG+=\"uaccess\"";
constexpr const char kUdevReloadCommand[] = "sudo udevadm control --reload && sudo udevadm trigger";
// The rule with the IDs filled in (four lower-case hexadecimal digits each).
std::string UdevRuleFor(uint16_t vendorId, uint16_t productId);

struct UsbConfig {
  uint16_t vendorId = kDefaultUsbVendorId;
  uint16_t productId = kDefaultUsbProductId;
  std::string serial;       // picks one of several matching devices; empty: any
  std::string busPath;      // "bus-port.port..." as in sysfs, e.g. "1-2.3"; empty: any
  int interfaceNumber = -1; // -1: the first vendor-specific interface with bulk IN and OUT
  uint8_t inEndpoint = 0;   // 0: found in the interface's descriptors
  uint8_t outEndpoint = 0;
  std::string virtualPath;  // set: use the virtual device at this socket path
};

// The defaults, overridden by LUMASET_USB_DEVICE=VVVV:PPPP (hexadecimal),
// LUMASET_USB_SERIAL, LUMASET_USB_PATH, LUMASET_USB_INTERFACE=N,
// LUMASET_USB_ENDPOINTS=IN,OUT (hexadecimal, e.g. 82,03) and
// LUMASET_USB_VIRTUAL=PATH. A malformed value keeps the default and adds a
// line to *problems.
UsbConfig UsbConfigFromEnvironment(std::string* problems = nullptr);

struct UsbError {
  enum Kind { kNone, kNotFound, kAccess, kBusy, kNoInterface, kOther };
  Kind kind = kNone;
  std::string text;  // for the operator; for kAccess it names the udev rule
};

// An opened device (libusb: opened with its interface claimed; virtual: a
// connection that the socket accepted). Released when the last user lets go.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  // "1-2.3" for a USB device, "virtual:PATH" for the virtual one.
  virtual const std::string& Path() const = 0;
};

// One pipe. Reads return at most one packet. Every call is bounded by its
// time-out and ends early when `cancel` is set or the pipe is closed; when a
// call returns, nothing is written into its buffer any more. Once the device
// is unplugged (libusb: no device; virtual: its connection ended), calls
// fail at once with kGone.
class UsbPipe {
 public:
  virtual ~UsbPipe() = default;
  virtual IoStatus Read(void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) = 0;
  virtual IoStatus Write(const void* buffer, size_t size, size_t* count, const Event* cancel, int timeoutMs) = 0;
  // Ends the pipe's waits; every later call fails with kClosed.
  virtual void Close() = 0;
  // The device has been unplugged (as far as a call of this pipe has seen).
  virtual bool Gone() const = 0;
  const std::string& Name() const { return name_; }
  const std::string& DevicePath() const { return devicePath_; }

 protected:
  UsbPipe(std::string name, std::string devicePath) : name_(std::move(name)), devicePath_(std::move(devicePath)) {}

 private:
  std::string name_, devicePath_;
};
using UsbPipeHandle = std::shared_ptr<UsbPipe>;

// Finds the configured device and opens it. Null when there is none; then
// *error says why (kAccess: present but not permitted, with the udev rule).
std::shared_ptr<UsbDevice> FindDevicePath(const UsbConfig& config, std::string* path, UsbError* error);
// FindDevicePath, then lets the device go. True when it was there.
bool DevicePresent(const UsbConfig& config, std::string* path = nullptr, UsbError* error = nullptr);
// Opens "PIPE02" or "PIPE03" of the configured device. The two pipes of one
// libusb device share its handle and interface claim.
UsbPipeHandle OpenPipe(const UsbConfig& config, const char* pipeName, UsbError* error = nullptr);

// One read or write with the 2000 ms time-out: 1 on success with *count
// bytes, 0 on failure, time-out, cancel or a closed pipe.
int PipeRead(const UsbPipeHandle& pipe, void* buffer, int size, int* count, const Event* cancel = nullptr);
int PipeWrite(const UsbPipeHandle& pipe, const void* buffer, int size, int* count, const Event* cancel = nullptr);

}  // namespace lumaset::platform
