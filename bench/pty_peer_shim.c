/* Lets the serial terminals that bench/peers.sh measures keep a
 * pseudo-terminal open (loaded with LD_PRELOAD into them, never into
 * Lumaset):
 *  - the modem-line requests (TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC), which
 *    a pseudo-terminal refuses with ENOTTY, succeed; TIOCMGET reports DTR,
 *    RTS, CTS, DSR and carrier up;
 *  - a udev look-up of a pseudo-terminal, of which udev keeps no record,
 *    answers with the record of /dev/ptmx.
 * Every other call goes to the real function unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>

int ioctl(int fd, unsigned long request, ...) {
  static int (*real)(int, unsigned long, ...);
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  const int saved = errno;
  const int rc = real(fd, request, arg);
  if (rc != -1 || errno != ENOTTY) return rc;
  switch (request) {
    case TIOCMGET:
      if (arg) *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      errno = saved;
      return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: errno = saved; return 0;
    default: return rc;
  }
}

/* libgudev, without its headers: the types stay opaque. */
typedef struct GUdevClient GUdevClient;
typedef struct GUdevDevice GUdevDevice;

GUdevDevice* g_udev_client_query_by_device_file(GUdevClient* client, const char* device_file) {
  static GUdevDevice* (*real)(GUdevClient*, const char*);
  if (!real) real = (GUdevDevice * (*)(GUdevClient*, const char*)) dlsym(RTLD_NEXT, "g_udev_client_query_by_device_file");
  if (!real) return NULL;
  GUdevDevice* device = real(client, device_file);
  if (device || !device_file) return device;
  char resolved[PATH_MAX];
  if (realpath(device_file, resolved) && strncmp(resolved, "/dev/pts/", 9) == 0) return real(client, "/dev/ptmx");
  return NULL;
}
