// The USB device functions: the settings from the environment, and the calls
// that hand each request to the virtual or the libusb back-end.
#include "platform/usb_device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/usb_device_backends.h"

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

namespace usb_detail {

void SetError(UsbError* error, UsbError::Kind kind, std::string text) {
  if (!error) return;
  error->kind = kind;
  error->text = std::move(text);
}


}  // namespace usb_detail

// ---- the device functions -----------------------------------------------------

std::shared_ptr<UsbDevice> FindDevicePath(const UsbConfig& config, std::string* path, UsbError* error) {
  if (error) *error = UsbError{};
  if (!config.virtualPath.empty()) return usb_detail::FindVirtualDevice(config, path, error);
  return usb_detail::FindLibusbDevice(config, path, error);
}

bool DevicePresent(const UsbConfig& config, std::string* path, UsbError* error) {
  return FindDevicePath(config, path, error) != nullptr;
}
UsbPipeHandle OpenPipe(const UsbConfig& config, const char* pipeName, UsbError* error) {
  if (error) *error = UsbError{};
  const bool readPipe = std::strcmp(pipeName, kReadPipeName) == 0;
  if (!readPipe && std::strcmp(pipeName, kWritePipeName) != 0) {
    usb_detail::SetError(error, UsbError::kOther, std::string("No such pipe: ") + pipeName);
    return nullptr;
  }
  if (!config.virtualPath.empty()) return usb_detail::OpenVirtualPipe(config, pipeName, error);
  return usb_detail::OpenLibusbPipe(config, pipeName, readPipe, error);
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
