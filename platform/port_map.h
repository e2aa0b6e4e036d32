// Which device "COM n" is.
//
// COM n resolves, first match wins, to a device path or a device server's
// URL (rfc2217://HOST:PORT, socket://HOST:PORT; serial_line.h):
//   1. a path set for n in this process (tests, the command line's --device);
//   2. the environment variable LUMASET_COM<n>, e.g. LUMASET_COM3=/dev/ttyUSB0;
//   3. the pin: the stable device path that the settings keep for the saved
//      COM port ("CommDevice"), used even while that device is missing, so
//      that COM n never opens another device in its place;
//   4. the n-th entry (counting from 1) of the serial devices present, in
//      this order: the by-id folder's entries by name, /dev/ttyUSB* and
//      /dev/ttyACM* by number, /dev/ttyS* by number, each device listed once.
// The pin does not take its device out of that count: a pinned device may
// also be the n-th present one under another number.
//
// The by-id folder is /dev/serial/by-id, or $LUMASET_SERIAL_BY_ID_DIR when
// that is set (tests stand symlinks to pseudo-terminals in for adapters).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lumaset::platform {

// How COM n got its path (the steps above).
enum class ComSource { kNone, kProcess, kEnvironment, kPin, kPresent };

struct ComResolution {
  std::string path;  // "" when COM n resolves to nothing
  ComSource source = ComSource::kNone;
};

ComResolution ResolveComPort(int number);
std::string ComPortPath(int number);  // ResolveComPort(number).path
void SetComPortPath(int number, const std::string& path);  // empty: forget it

// At most one COM number is pinned, as the settings keep one pin for the
// saved port. SetComPortPin replaces the pin; a number outside 1..255 or an
// empty path removes it.
void SetComPortPin(int number, const std::string& path);
// The path COM `number` is pinned to ("" when it is not pinned).
std::string ComPortPin(int number);
// The path to pin COM `number` to when the operator chooses it: its pin when
// it is pinned (kept while the device is unplugged), else the by-id path of
// the device it resolves to now, or the device server's URL it resolves to,
// else "" (nothing stable to pin to).
std::string StableComPortPath(int number);

// The by-id folder (see above).
std::string SerialByIdDir();
// The name in the by-id folder of the device at `path` (the stable name of a
// USB serial adapter), or "" when it has none or is not there.
std::string ByIdName(const std::string& path);
// COM numbers with their resolution, up to maxNumber, leaving out those that
// resolve to nothing.
std::vector<std::pair<int, ComResolution>> ListComPorts(int maxNumber = 255);

// What is known of the device at a COM port's path now.
struct SerialDeviceInfo {
  // "rfc2217" or "socket" for a port behind a device server (serial_line.h),
  // of which nothing else is known without connecting; "" for a device.
  std::string server;
  bool present = false;  // the path leads to something now
  std::string node;      // the device it leads to (symlinks followed), when present
  std::string byId;      // its name in the by-id folder, when it has one
  // From udev, for a USB serial adapter only (usb false otherwise, and for
  // devices udev does not know, such as pseudo-terminals); the texts are
  // empty when the adapter does not report them.
  bool usb = false;
  std::string vendorId, productId;  // four hex digits each
  std::string serial, product, manufacturer;
};
SerialDeviceInfo DescribeSerialDevice(const std::string& path);

}  // namespace lumaset::platform
