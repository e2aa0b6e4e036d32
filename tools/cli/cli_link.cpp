#include "tools/cli/cli_link.h"

#include <cstdio>

#include "link/link_events.h"
#include "link/network_link.h"
#include "link/usb_link.h"
#include "platform/port_map.h"
#include "platform/serial_line.h"

namespace lumaset::cli {
namespace {

// The serial-network link: one CNetworkLink object serves the COM port and
// TCP, as the window program's does.
class SerialNetworkLink : public ICliLink {
 public:
  SerialNetworkLink(const LinkChoice& choice, platform::IEventTarget* target)
      : link_(std::make_unique<CNetworkLink>()) {
    link_->ApplySettings(&choice.record);
    link_->SetRemoteHost(choice.remoteHost.c_str());
    link_->SetNotifyTarget(target, WM_LINK_EVENT);
  }
  ~SerialNetworkLink() override {
    link_->StopTransfer();
    link_->StopBaudSearch();
    link_->Disconnect();
    link_.reset();  // every thread of the link has ended
  }

  bool Network() const { return Record().network != 0; }
  LinkSettings Record() const {
    LinkSettings r;
    link_->GetSettings(&r);
    return r;
  }

  std::string PortText() const override {
    LinkSettings r = Record();
    if (r.network) return "TCP " + link_->GetRemoteHost() + ":" + std::to_string(r.tcpPort);
    std::string path = platform::ComPortPath(r.port);
    return "COM" + std::to_string(r.port) + " (" + (path.empty() ? std::string("no device") : path) + ")";
  }
  const char* Kind() const override { return Network() ? "tcp" : "serial"; }
  std::string Address() const override {
    if (Network()) return link_->GetRemoteHost() + ":" + std::to_string(Record().tcpPort);
    return DevicePath();
  }
  std::string Where() const override {
    if (Network()) return PortText();
    return PortText() + " at " + std::to_string(Rate()) + " Baud";
  }
  std::string Unsupported(Command command) const override {
    if (Network() && command == Command::kSearchBaud)
      return "search-baud works over a COM port only: there is no baud search over TCP";
    if (Network() && command == Command::kDownloadTouch)
      return "download-touch works over a COM port or USB only: the network link refuses it";
    return {};
  }
  std::string FixedRate(Command command) const override {
    if (Network() || !platform::IsFixedRateUrl(DevicePath())) return {};
    if (command != Command::kSearchBaud && command != Command::kSetHostBaud) return {};
    return std::string(command == Command::kSearchBaud ? "search-baud" : "set-host-baud") + " needs a port whose rate " +
           "can change: " + DevicePath() + " is a raw TCP port whose line settings are fixed on its device server " +
           "(use rfc2217:// where the server offers it); nothing was sent";
  }
  std::string SilentHostHint(const std::string& searchCommand) const override {
    if (Network())
      return "hint: check the network cable, the host's address and port (" + PortText().substr(4) +
             "; --tcp HOST[:PORT]) and that the host is on";
    return "hint: check the cable, the port (" + PortText() +
           "; --com N or --device PATH) and the host's rate (the link is at " + std::to_string(Rate()) +
           " Baud; try `" + searchCommand + "`)";
  }
  std::string OpenFailure() const override {
    if (Network())
      return "could not connect to " + PortText().substr(4) + ": check the address, the port and the network";
    return {};
  }
  std::string DevicePath() const override { return Network() ? std::string() : platform::ComPortPath(Record().port); }
  int LastOpenError() const override { return link_->LastOpenError(); }
  bool IsSerialPort() const override { return !Network(); }
  uint32_t Rate() const override { return Record().rate; }

  int Open() override { return link_->Open(1); }
  bool IsOpen() const override { return link_->IsOpen() != 0; }

  int Probe(int askToSearch) override { return link_->Probe(askToSearch); }
  int SendCommand(int index) override { return link_->SendCommand(index, 0); }
  int SetHostBaudRate(uint32_t rate) override { return link_->SetHostBaudRate(rate); }

  int StartBaudSearch(int resendAfter) override { return link_->StartBaudSearch(resendAfter); }
  void StopBaudSearch() override { link_->StopBaudSearch(); }
  bool IsSearching() override { return link_->IsSearching() != 0; }

  void SetDownloadMode(int mode) override { link_->SetDownloadMode(mode); }
  int SendSystemProgram(const std::string& path) override {
    link_->SetSystemProgramPath(path.c_str());
    return link_->SendSystemProgram();
  }
  int SendUserProgram(const std::string& path, bool answerYes) override {
    link_->SetUserProgramPath(path.c_str());
    return link_->SendUserProgram(answerYes ? 1 : 0);
  }
  int SendTouchProgram(const std::string& path) override {
    link_->SetTouchProgramPath(path.c_str());
    return link_->SendFileWithHandshake(nullptr);
  }
  int SendRawFile(const std::string& path) override { return link_->SendRawFile(path.c_str()); }
  void StopTransfer() override { link_->StopTransfer(); }

  int TakeReceived(void* buffer, int maxBytes) override { return link_->ReadAvailable(buffer, maxBytes); }
  void DoneReceived() override { link_->AckReceive(); }
  void AckLineChange() override { link_->AckReceive(); }
  void RearmReceive() override { link_->RearmReceive(); }

 private:
  std::unique_ptr<CNetworkLink> link_;
};

// The USB link: no baud rate, no search, no raw-file transfer.
class UsbLink : public ICliLink {
 public:
  UsbLink(const LinkChoice& choice, platform::IEventTarget* target) : link_(std::make_unique<CUsbLink>()) {
    if (!choice.usbVirtualPath.empty()) {
      platform::UsbConfig config = link_->Config();
      config.virtualPath = choice.usbVirtualPath;
      link_->SetConfig(config);
    }
    link_->SetTarget(target, WM_LINK_EVENT);
  }
  ~UsbLink() override {
    if (held_) link_->ReleaseReceived();
    link_->Close();
    link_.reset();
  }

  std::string PortText() const override {
    if (!link_->Config().virtualPath.empty()) return "USB (virtual device " + Address() + ")";
    return "USB (" + Address() + ")";
  }
  const char* Kind() const override { return "usb"; }
  std::string Address() const override {
    platform::UsbConfig c = link_->Config();
    if (!c.virtualPath.empty()) return c.virtualPath;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", c.vendorId, c.productId);
    return ids;
  }
  std::string Where() const override { return PortText(); }
  std::string Unsupported(Command command) const override {
    switch (command) {
      case Command::kSearchBaud: return "search-baud works over a COM port only: the USB link has no baud rate";
      case Command::kSetHostBaud: return "set-host-baud works over a COM port or TCP only";
      case Command::kSendFile: return "send-file works over a COM port or TCP only (the USB link has no raw transfer)";
      default: return {};
    }
  }
  std::string SilentHostHint(const std::string&) const override {
    return "hint: check the USB cable, that the host is on, and the device (" + PortText() +
           "; LUMASET_USB_DEVICE=VVVV:PPPP, --usb-virtual PATH)";
  }
  std::string OpenFailure() const override {
    std::string why = link_->LastOpenError();
    return "the USB link did not open" + (why.empty() ? std::string() : ": " + why);
  }

  int Open() override {
    link_->Open();
    return link_->IsOpen();
  }
  bool IsOpen() const override { return link_->IsOpen() != 0; }

  int Probe(int) override { return link_->Probe(); }
  int SendCommand(int index) override { return link_->SendCommand(index, 0); }
  int SetHostBaudRate(uint32_t) override { return 0; }

  int StartBaudSearch(int) override { return 0; }
  void StopBaudSearch() override {}
  bool IsSearching() override { return false; }

  void SetDownloadMode(int) override {}
  int SendSystemProgram(const std::string& path) override { return link_->SendProgramImage(path.c_str(), 1, 0); }
  int SendUserProgram(const std::string& path, bool answerYes) override {
    return link_->SendProgramImage(path.c_str(), 0, answerYes ? 1 : 0);
  }
  int SendTouchProgram(const std::string& path) override { return link_->SendFileWithHandshake(path.c_str()); }
  int SendRawFile(const std::string&) override { return 0; }
  void StopTransfer() override { link_->StopSending(); }

  int TakeReceived(void* buffer, int maxBytes) override {
    held_ = true;
    return link_->TakeReceived(buffer, maxBytes);
  }
  void DoneReceived() override {
    if (held_) link_->ReleaseReceived();
    held_ = false;
  }

 private:
  std::unique_ptr<CUsbLink> link_;
  bool held_ = false;  // the USB receive lock, between TakeReceived and ReleaseReceived
};

}  // namespace

std::unique_ptr<ICliLink> MakeLink(const LinkChoice& choice, platform::IEventTarget* target, std::string*) {
  if (choice.record.port == 0) return std::make_unique<UsbLink>(choice, target);
  if (!choice.devicePath.empty()) platform::SetComPortPath(choice.record.port, choice.devicePath);
  return std::make_unique<SerialNetworkLink>(choice, target);
}

}  // namespace lumaset::cli
