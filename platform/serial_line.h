// The line underneath a serial device: a local terminal (termios) or a
// connection to a serial device server. The device (serial_device.h) keeps
// the input queue, the event history and the waits; a line only moves bytes
// and carries out line settings, purges and modem-line requests.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lumaset::platform {

// What applying line settings gives when a device server refused them or did
// not confirm them in time.
constexpr int kSettingsNotConfirmed = EREMOTEIO;

struct LineSettings {
  uint32_t rate = 115200;
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 0;  // 0 one, 1 one and a half (two here), 2 two
  uint8_t eventChar = 0;
  bool parityCheck = false;
  bool ctsFlow = false;
  bool dsrFlow = false;  // no termios equivalent; accepted and ignored
  uint8_t dtrControl = 0;  // 0 off, 1 on, 2 handshake (as on)
  uint8_t rtsControl = 0;  // 0 off, 1 on, 2 handshake (CTS/RTS), 3 toggle (as on)
  bool xonOut = false;
  bool xonIn = false;
};

// What one read of a line gave.
struct LineRead {
  size_t bytes = 0;  // bytes for the input queue
  int gone = 0;      // an errno value once the line has gone for good
};

class SerialLine {
 public:
  virtual ~SerialLine() = default;

  // The descriptor that the device's reader polls for input, and a writer
  // for room to write.
  virtual int Fd() const = 0;

  // Applies the line settings; 0 or an errno value.
  virtual int Apply(const LineSettings& line) = 0;
  virtual void DropDtrRts() = 0;
  // The modem lines as known now (TIOCM_* bits); false while the line has
  // none (or has not told them yet).
  virtual bool ModemLines(int* lines) = 0;
  // True when modem-line changes have no wake-up of their own and must be
  // looked at from time to time.
  virtual bool PollsModemLines() const = 0;

  // Reads what the descriptor has, at most `max` bytes for the queue.
  // `revents` is what poll() reported for the descriptor.
  virtual LineRead Read(uint8_t* out, size_t max, short revents) = 0;
  // Takes up to n bytes to send; as write(2): the count taken, or -1 and
  // errno (EAGAIN: no room now). With n 0 it only moves on what an earlier
  // call kept back (see Unsent).
  virtual ssize_t Write(const uint8_t* data, size_t n) = 0;
  // Bytes taken by Write that the line still holds back, waiting for room.
  virtual size_t Unsent() const { return 0; }
  // Bytes handed to the system that have not left yet, as far as it says.
  virtual size_t OutputQueued() const = 0;
  // The errno value that a failed write (`error`), or a hang-up seen while
  // waiting to write (`error` 0), means the line has gone for; 0 when it
  // has not gone.
  virtual int GoneReason(int error) const = 0;

  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;

  // Lets the line go for the next user; the descriptor stays valid until the
  // line is destroyed.
  virtual void Close() = 0;
};

// A COM port behind a serial device server, named as a URL:
//   rfc2217://HOST:PORT  telnet with the COM-PORT-OPTION (RFC 2217): the
//                        server's port takes the line settings, purges and
//                        modem-line requests, and tells its modem lines;
//   socket://HOST:PORT   a raw TCP byte pipe to a port whose line settings
//                        are fixed on the server.
struct DeviceUrl {
  enum class Kind { kRfc2217, kSocket };
  Kind kind = Kind::kRfc2217;
  std::string host;  // a name, a dotted IPv4 address or [IPv6]
  uint16_t port = 0;
};
// False for anything that is not such a URL (a device path).
bool ParseDeviceUrl(const std::string& text, DeviceUrl* url);
bool IsDeviceUrl(const std::string& text);
// A socket:// port: its rate can be neither changed nor searched from here.
bool IsFixedRateUrl(const std::string& text);

// The local terminal at `path`, opened for exclusive use (see
// SerialDevice::Open). Null and an errno value in *error when it fails.
std::unique_ptr<SerialLine> OpenTerminalLine(const std::string& path, int* error);
// A connection to the server of `url`: the host name looked up and the
// connection made within timeoutMs. Null and an errno value when it fails:
// EBUSY when the server refused the connection or turned it away as busy.
std::unique_ptr<SerialLine> OpenServerLine(const DeviceUrl& url, int timeoutMs, int* error);

}  // namespace lumaset::platform
