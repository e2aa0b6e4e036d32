// Reading a file to be sent whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lumaset {

// Reads the whole file at `path` into `out`, with `head` free bytes before
// it and `tail` after it (zeroed, for a frame around the file), and sets
// `*size` to the file's length. Only a regular file is read, and the open
// never blocks (platform::OpenRegularFile). Returns 0, or the errno value
// that stopped it: ENOENT for an empty path, EISDIR for a folder, ENOTSUP
// for a FIFO, socket or device, EFBIG when the file and its frame are longer
// than `limit` bytes (by default a 32-bit transfer length), ENOMEM when there
// is no memory for it, EIO when the file ended early. On failure `out` holds
// nothing useful.
int ReadWholeFile(const char* path, size_t head, size_t tail, std::vector<uint8_t>* out, uint32_t* size,
                  uint64_t limit = std::numeric_limits<uint32_t>::max());

// Reads the program image at `path` into `frame` and frames it with the type
// byte (FrameImage): the frame is the file and six bytes more. 0, or the
// errno value of ReadWholeFile.
int ReadImageFrame(const char* path, uint8_t type, std::vector<uint8_t>* frame);

}  // namespace lumaset
