#include "platform/handoff_block.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/single_instance.h"

namespace lumaset::platform {

namespace {

void SetText(std::string* out, const std::string& text) {
  if (out) *out = text;
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The block's file: `path`, or the default one when it is empty.
std::string BlockPath(const std::string& path, std::string* error) {
  return path.empty() ? HandOffBlockPath(error) : path;
}

// Creates or opens the block, checks whose it is and gives it its size.
// Returns the descriptor, or -1 with *error set.
int OpenBlock(const std::string& path, std::string* error) {
  if (path.empty()) return -1;
  int fd = -1;
  bool created = false;
  // Create-or-open in two steps, so a block made here can be given its mode
  // whatever the umask; a block removed between the two steps is made anew.
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST) {
      fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0 && errno != ENOENT) break;
    } else {
      break;
    }
  }
  if (fd < 0) {
    const int e = errno;
    SetText(error, "cannot open the hand-off block " + path + ": " +
                       (e == ELOOP ? std::string("it is a symbolic link") : std::string(std::strerror(e))));
    return -1;
  }
  if (created) fchmod(fd, 0600);
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    SetText(error, "cannot check the hand-off block " + path + ": " + std::strerror(errno));
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    SetText(error, "the hand-off block " + path + " is not a regular file");
    close(fd);
    return -1;
  }
  if (st.st_uid != geteuid()) {
    SetText(error, "the hand-off block " + path + " belongs to user " + std::to_string(st.st_uid) +
                       ", not to this user (" + std::to_string(geteuid()) + ")");
    close(fd);
    return -1;
  }
  if ((st.st_mode & 07777) != 0600) {
    SetText(error, "the hand-off block " + path + " has mode " + Octal(st.st_mode) + ", not 0600");
    close(fd);
    return -1;
  }
  if (st.st_size != static_cast<off_t>(kHandOffBlockSize)) {
    // New (size 0) or left at another size by some other program: give it
    // the block's size, which zero-fills what it gains.
    if (ftruncate(fd, kHandOffBlockSize) != 0 || fstat(fd, &st) != 0 ||
        st.st_size != static_cast<off_t>(kHandOffBlockSize)) {
      SetText(error, "cannot give the hand-off block " + path + " its size: " + std::strerror(errno));
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

std::string HandOffBlockPath(std::string* error) {
  const std::string folder = RuntimeFolder(error);
  return folder.empty() ? std::string() : folder + "/" + kHandOffBlockBaseName;
}

std::string HandOffNameProblem(const std::string& fileName) {
  const size_t length = std::strlen(fileName.c_str());
  if (length < kHandOffNameField) return {};
  return "the file name has " + std::to_string(length) + " bytes; the hand-off takes at most " +
         std::to_string(kHandOffNameField - 1);
}

void EncodeHandOffBlock(const std::string& fileName, int32_t mode, unsigned char (&block)[kHandOffBlockSize]) {
  const size_t length = std::strlen(fileName.c_str());
  std::memset(block, 0, kHandOffBlockSize);
  std::memcpy(block, fileName.data(), length < kHandOffNameField ? length : kHandOffNameField - 1);
  const auto value = static_cast<uint32_t>(mode);
  for (size_t i = 0; i < 4; ++i) block[kHandOffModeOffset + i] = static_cast<unsigned char>(value >> (8 * i));
}

void DecodeHandOffBlock(const unsigned char (&block)[kHandOffBlockSize], std::string* fileName, int32_t* mode) {
  const void* end = std::memchr(block, 0, kHandOffNameField);
  const size_t length = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - block) : kHandOffNameField;
  if (fileName) fileName->assign(reinterpret_cast<const char*>(block), length);
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(block[kHandOffModeOffset + i]) << (8 * i);
  if (mode) *mode = static_cast<int32_t>(value);
}

HandOffBlockWriter::HandOffBlockWriter(std::string path) : path_(std::move(path)) {}

HandOffBlockWriter::~HandOffBlockWriter() {
  if (map_) munmap(map_, kHandOffBlockSize);
  // Closing the descriptor lets the next sender in.
  if (fd_ >= 0) close(fd_);
}

bool HandOffBlockWriter::Write(const std::string& fileName, int32_t mode, std::string* error) {
  if (std::string problem = HandOffNameProblem(fileName); !problem.empty()) {
    SetText(error, problem);
    return false;
  }
  if (!map_) {
    const std::string path = BlockPath(path_, error);
    const int fd = OpenBlock(path, error);
    if (fd < 0) return false;
    // The wait lasts while another sender's hand-off is being answered.
    if (flock(fd, LOCK_EX) != 0) {
      SetText(error, "cannot lock the hand-off block " + path + ": " + std::strerror(errno));
      close(fd);
      return false;
    }
    void* map = mmap(nullptr, kHandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      SetText(error, "cannot map the hand-off block " + path + ": " + std::strerror(errno));
      close(fd);
      return false;
    }
    fd_ = fd;
    map_ = map;
  }
  unsigned char block[kHandOffBlockSize];
  EncodeHandOffBlock(fileName, mode, block);
  std::memcpy(map_, block, kHandOffBlockSize);
  return true;
}

bool ReadHandOffBlock(std::string* fileName, int32_t* mode, std::string* error, const std::string& path) {
  const std::string file = BlockPath(path, error);
  const int fd = OpenBlock(file, error);
  if (fd < 0) return false;
  void* map = mmap(nullptr, kHandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    SetText(error, "cannot map the hand-off block " + file + ": " + std::strerror(errno));
    close(fd);
    return false;
  }
  // One copy, then everything is taken from it: a writer changing the block
  // meanwhile cannot make the name and its length disagree. Zeroed after
  // reading, so the name is read once and nobody finds it later.
  unsigned char bytes[kHandOffBlockSize];
  std::memcpy(bytes, map, kHandOffBlockSize);
  std::memset(map, 0, kHandOffBlockSize);
  munmap(map, kHandOffBlockSize);
  close(fd);
  DecodeHandOffBlock(bytes, fileName, mode);
  return true;
}

bool CheckHandOffBlock(std::string* error, std::string* path) {
  std::string why;
  std::string file = HandOffBlockPath(&why);
  if (file.empty()) {
    SetText(error, why);
    SetText(path, FallbackRuntimeFolder());
    return false;
  }
  SetText(path, file);
  const int fd = OpenBlock(file, error);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace lumaset::platform
