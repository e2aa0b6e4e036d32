// What the USB device functions (usb_device.cpp) share with their two
// back-ends: the virtual device (usb_virtual.cpp) and libusb (usb_libusb.cpp).
#pragma once

#include <memory>
#include <string>

#include "platform/usb_device.h"

namespace lumaset::platform::usb_detail {

void SetError(UsbError* error, UsbError::Kind kind, std::string text);

std::shared_ptr<UsbDevice> FindVirtualDevice(const UsbConfig& config, std::string* path, UsbError* error);
UsbPipeHandle OpenVirtualPipe(const UsbConfig& config, const char* pipeName, UsbError* error);

// The device already opened for the pipes when it matches the config, else a
// fresh open of the first matching device.
std::shared_ptr<UsbDevice> FindLibusbDevice(const UsbConfig& config, std::string* path, UsbError* error);
// The pipes of one device share its handle: the interface can be claimed only
// once.
UsbPipeHandle OpenLibusbPipe(const UsbConfig& config, const char* pipeName, bool readPipe, UsbError* error);

}  // namespace lumaset::platform::usb_detail
