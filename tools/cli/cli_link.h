// The link that lumaset-cli talks through, and the one place that picks it.
//
// As in the window program, the link settings
// record decides: port number 0 selects the USB link (CUsbLink); any other
// port number the serial-network link (CNetworkLink), which works over TCP
// when the record's network flag is set and over the COM port otherwise.
// MakeLink() is that rule; nothing else in the tool knows the link classes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/link_settings.h"
#include "platform/operator.h"
#include "tools/cli/cli_options.h"

namespace lumaset::cli {

// Where the tool connects, as the settings file and the options said.
struct LinkChoice {
  LinkSettings record;        // rate, port number, network flag, TCP port ...
  std::string devicePath;     // --device: the path COM <record.port> opens
  std::string remoteHost;     // TCP: host name or dotted IPv4 address
  std::string usbVirtualPath; // USB: the simulator's socket instead of libusb
};

// What the command line asks of a link. Each operation has the meaning of
// the link operation of the same name.
class ICliLink {
 public:
  virtual ~ICliLink() = default;

  // "COM1 (/dev/ttyUSB0)", "TCP 10.0.0.5:12345", "USB (1209:0001)".
  virtual std::string PortText() const = 0;
  // "serial", "tcp" or "usb".
  virtual const char* Kind() const = 0;
  // Where it connects: the COM port's device path ("" when none resolved),
  // HOST:PORT, or the USB device (the virtual device's path, or VVVV:PPPP).
  virtual std::string Address() const = 0;
  // PortText and the rate where the link has one.
  virtual std::string Where() const = 0;
  // Why the command cannot run over this link ("" when it can).
  virtual std::string Unsupported(Command command) const = 0;
  // Why the command makes no sense for this port because its rate is fixed
  // on a device server (socket://), "" when it does: bad usage.
  virtual std::string FixedRate(Command) const { return {}; }
  // The one line that says what to check when the host does not answer;
  // `searchCommand` is the command line of a baud search on this port.
  virtual std::string SilentHostHint(const std::string& searchCommand) const = 0;
  // What to say when Open failed, beyond the link's own message box ("" when
  // the caller should look at the device itself: the serial link).
  virtual std::string OpenFailure() const { return {}; }
  // The errno value of the COM port's last failed open (0: none).
  virtual int LastOpenError() const { return 0; }
  // The device path of the COM port ("" when none resolved or not serial).
  virtual std::string DevicePath() const { return {}; }
  virtual bool IsSerialPort() const { return false; }
  virtual uint32_t Rate() const { return 0; }

  virtual int Open() = 0;
  virtual bool IsOpen() const = 0;

  virtual int Probe(int askToSearch) = 0;
  virtual int SendCommand(int index) = 0;
  virtual int SetHostBaudRate(uint32_t rate) = 0;

  virtual int StartBaudSearch(int resendAfter) = 0;
  virtual void StopBaudSearch() = 0;
  virtual bool IsSearching() = 0;

  virtual void SetDownloadMode(int mode) = 0;
  virtual int SendSystemProgram(const std::string& path) = 0;
  virtual int SendUserProgram(const std::string& path, bool answerYes) = 0;
  virtual int SendTouchProgram(const std::string& path) = 0;
  virtual int SendRawFile(const std::string& path) = 0;
  virtual void StopTransfer() = 0;

  // On LE_DATA_RECEIVED: take up to maxBytes, show them, then DoneReceived
  // (serial and TCP: ReadAvailable / AckReceive; USB: TakeReceived /
  // ReleaseReceived).
  virtual int TakeReceived(void* buffer, int maxBytes) = 0;
  virtual void DoneReceived() = 0;
  // On LE_CTS_CHANGED / LE_DSR_CHANGED.
  virtual void AckLineChange() {}
  // On LE_SEND_DONE / LE_FAILED.
  virtual void RearmReceive() {}
};

// The one place that picks the link class from the record (see above).
// Returns null with a reason in *error when the choice cannot be served.
std::unique_ptr<ICliLink> MakeLink(const LinkChoice& choice, platform::IEventTarget* target, std::string* error);

}  // namespace lumaset::cli
