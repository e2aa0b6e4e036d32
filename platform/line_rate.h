// Any bit rate on a serial line, also those without a termios constant
// (14400), through the kernel's termios2 interface.
#pragma once

#include <cstdint>

namespace lumaset::platform {

// Sets input and output rate of an open terminal; 0 or an errno value.
int SetLineRate(int fd, uint32_t rate);
// The output rate the terminal is set to, 0 when it cannot be read.
uint32_t GetLineRate(int fd);

}  // namespace lumaset::platform
