// Which device "COM n" is.
//
// COM n resolves, first match wins, to:
//   1. a path set for n in this process (tests, the command line's --device);
//   2. the environment variable LUMASET_COM<n>, e.g. LUMASET_COM3=/dev/ttyUSB0;
//   3. the n-th entry (counting from 1) of the serial devices present, in
//      this order: /dev/serial/by-id/* by name, /dev/ttyUSB* and /dev/ttyACM*
//      by number, /dev/ttyS* by number, each device listed once.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lumaset::platform {

std::string ComPortPath(int number);
void SetComPortPath(int number, const std::string& path);  // empty: forget it
// The name under /dev/serial/by-id of the device at `path` (the stable name
// of a USB serial adapter), or "" when it has none.
std::string ByIdName(const std::string& path);
// COM numbers with their paths, as ComPortPath resolves them, up to maxNumber.
std::vector<std::pair<int, std::string>> ListComPorts(int maxNumber = 255);

}  // namespace lumaset::platform
