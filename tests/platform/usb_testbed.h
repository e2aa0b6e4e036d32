// Emulated USB devices for the libusb back-end: umockdev's test bed gives
// libusb a sysfs tree and /dev/bus/usb nodes, and each device node's usbfs
// requests (claim, submit, reap, discard, ...) are answered here the way the
// kernel answers them. The bed also holds serial ports as udev sees them
// (USB serial adapters and built-in ports), for the port map. The test
// program runs under umockdev's preload library (umockdev-wrapper); the test
// bed must exist before any other thread starts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumaset::test {

struct EndpointSpec {
  uint8_t address;          // 0x82: IN 2, 0x03: OUT 3
  uint8_t type = 2;         // 2 bulk, 3 interrupt
  uint16_t maxPacket = 64;
};

struct InterfaceSpec {
  uint8_t number;
  uint8_t interfaceClass = 0xFF;  // 0xFF vendor-specific
  std::vector<EndpointSpec> endpoints;
};

struct DeviceSpec {
  std::string name;    // sysfs name, which is the bus path: "1-2", "1-2.3"
  std::string parent;  // "usb1" or a hub's name
  uint8_t bus = 1;
  uint8_t address = 0; // device number on the bus
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;  // empty: no serial string
  int speed = 12;      // Mb/s as in sysfs: 12 full speed, 480 high speed
  uint8_t deviceClass = 0;
  std::vector<InterfaceSpec> interfaces;
};

// A USB serial adapter: the USB device with its texts in sysfs, its
// interface 0 and a tty under that.
struct SerialAdapterSpec {
  DeviceSpec usb;                     // name, parent, address, ids, serial
  std::string product, manufacturer;  // empty: the adapter reports none
  std::string tty;                    // "ttyUSB0" (under a usb-serial port), "ttyACM0"
  std::string devnum;                 // "188:0"
};

class EmulatedUsbDevice;

// The test bed: the root hub of bus 1, hubs and devices under it.
class UsbTestbed {
 public:
  // Creates the bed (and sets UMOCKDEV_DIR). Call it before threads start.
  UsbTestbed();
  ~UsbTestbed();
  UsbTestbed(const UsbTestbed&) = delete;
  UsbTestbed& operator=(const UsbTestbed&) = delete;

  // True when the program runs under umockdev's preload library.
  static bool InMockEnvironment();

  void AddHub(const std::string& name, const std::string& parent, uint8_t address);
  EmulatedUsbDevice& AddDevice(const DeviceSpec& spec);
  // A serial adapter for udev (its USB device takes no usbfs requests);
  // returns the tty's node, /dev/<tty>.
  std::string AddSerialAdapter(const SerialAdapterSpec& spec);
  // A tty with no USB device above it, such as a built-in port of the
  // platform; returns its node, /dev/<tty>.
  std::string AddBuiltInTty(const std::string& tty, const std::string& devnum);

  // /dev/bus/usb/BBB/DDD as it lies inside the bed (for chmod).
  std::string NodeFile(const DeviceSpec& spec) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// One emulated device. Its calls are safe from any thread.
class EmulatedUsbDevice {
 public:
  ~EmulatedUsbDevice();

  // Queues bytes that the device sends on an IN endpoint, split into packets
  // of the endpoint's size; a short packet ends the transfer that takes it.
  void SendIn(uint8_t endpoint, const std::vector<uint8_t>& bytes);
  // Each OUT transfer's bytes, in order, as the device took them.
  std::vector<std::vector<uint8_t>> Received(uint8_t endpoint) const;
  // Called for each OUT transfer the device took (under the device's lock:
  // it must not call the device); what it returns is sent on `inEndpoint`,
  // one message after the other.
  using Responder =
      std::function<std::vector<std::vector<uint8_t>>(uint8_t endpoint, const std::vector<uint8_t>& bytes)>;
  void SetResponder(uint8_t inEndpoint, Responder responder);
  // The device takes only `bytes` more on OUT endpoints and then answers
  // nothing (NAKs) until the transfer is cancelled; -1: no limit.
  void LimitOut(long bytes);
  // The device takes `bytes` more on OUT endpoints, then the endpoint stalls
  // until its halt is cleared.
  void StallOutAfter(long bytes);
  // Cancelled transfers are not given back (a wedged device or driver) until
  // this is called with false.
  void HoldDiscards(bool hold);
  // Claiming an interface answers "busy" (another program has it).
  void SetBusy(bool busy);
  // The device is pulled out: pending transfers end with ESHUTDOWN, every
  // later request with ENODEV, and it leaves sysfs and /dev.
  void Unplug();

  int Opens() const;                    // times libusb opened it
  int OpenNow() const;                  // opened and not yet closed
  std::vector<int> Claimed() const;     // interfaces claimed now
  std::vector<int> EverClaimed() const; // interfaces ever claimed
  int PendingTransfers() const;         // submitted, not yet completed
  // Waits (bounded) until `count` transfers are pending on the endpoint.
  bool WaitPending(uint8_t endpoint, int count, int timeoutMs) const;
  // Waits (bounded) until no transfer is pending or waiting to be reaped.
  bool WaitIdle(int timeoutMs) const;

  struct State;
  explicit EmulatedUsbDevice(std::shared_ptr<State> state);

 private:
  std::shared_ptr<State> state_;
};

// Builds the descriptor set that sysfs offers in "descriptors".
std::vector<uint8_t> DescriptorSet(const DeviceSpec& spec);

}  // namespace lumaset::test
