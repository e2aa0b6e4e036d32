// Kept in its own file: <asm/termbits.h> (struct termios2) cannot be mixed
// with glibc's <termios.h>.
#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace hostsim {

uint32_t TerminalRate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

bool SetTerminalRate(int fd, uint32_t rate) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ospeed = rate;
  t.c_ispeed = rate;
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace hostsim
