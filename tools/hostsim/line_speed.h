// The line rate a terminal is set to, as a plain number of bits per second.
#pragma once

#include <cstdint>

namespace hostsim {

// Reads the output speed of the terminal behind fd, including rates that
// have no B-constant (for example 14400, set through BOTHER). 0 on failure.
uint32_t TerminalRate(int fd);

// Sets both speeds of the terminal behind fd to rate; false on failure.
bool SetTerminalRate(int fd, uint32_t rate);

}  // namespace hostsim
