#include "protocol/whole_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>

#include "platform/files.h"
#include "protocol/transfer_messages.h"

namespace lumaset {

int ReadWholeFile(const char* path, size_t head, size_t tail, std::vector<uint8_t>* out, uint32_t* size,
                  uint64_t limit) {
  int error = 0;
  const int fd = platform::OpenRegularFile(path, &error);
  if (fd < 0) return error;
  struct stat info {};
  if (fstat(fd, &info) != 0)
    error = errno;
  else if (static_cast<uint64_t>(info.st_size) + head + tail >
           std::min<uint64_t>(limit, std::numeric_limits<uint32_t>::max()))
    error = EFBIG;  // over the caller's limit, or the 32-bit transfer length
  const auto n = static_cast<uint32_t>(info.st_size);
  if (error == 0) {
    try {
      out->assign(head + n + tail, 0);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
  }
  size_t done = 0;
  while (error == 0 && done < n) {
    const ssize_t got = ::read(fd, out->data() + head + done, n - done);
    if (got > 0)
      done += static_cast<size_t>(got);
    else if (got < 0 && errno == EINTR)
      continue;
    else
      error = got < 0 ? errno : EIO;  // an error, or the file ended early
  }
  ::close(fd);
  *size = n;
  return error;
}

int ReadImageFrame(const char* path, uint8_t type, std::vector<uint8_t>* frame) {
  uint32_t n = 0;
  if (int error = ReadWholeFile(path, kImageFrameHead, kImageFrameTail, frame, &n)) return error;
  FrameImage(frame->data(), n, type);
  return 0;
}

}  // namespace lumaset
