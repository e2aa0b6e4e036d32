// lumaset-cli ports: every COM number that the port map resolves, one line
// each on stdout, with what udev knows of its device.
#pragma once

#include <string>

#include "platform/port_map.h"

namespace lumaset::cli {

// The line of one port:
//   COM<n>  <path>  present|missing[  -> <device>][  by-id <name>]
//          [  usb <vendor>:<product>][  serial <serial>][  "<product name>"][  pinned | LUMASET_COM<n>]
std::string PortLine(int number, const platform::ComResolution& where, const platform::SerialDeviceInfo& info);
// The same as one compact JSON object of kind "port" (fields in tools/cli/README.md).
std::string PortJson(int number, const platform::ComResolution& where, const platform::SerialDeviceInfo& info);

// Prints every port (COM 1..255) as lines or, with json, JSON objects; the
// exit status (always 0: no port is an empty list, noted on stderr).
int ListPorts(bool json);

}  // namespace lumaset::cli
