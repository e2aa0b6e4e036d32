#include "platform/handoff_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

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

// Creates or opens the block, checks whose it is and gives it its size.
// Returns the descriptor, or -1 with *error set.
int OpenBlock(const std::string& name, std::string* error) {
  int fd = -1;
  bool created = false;
  // Create-or-open in two steps, so a block made here can be given its mode
  // whatever the umask; a block removed between the two steps is made anew.
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST) {
      fd = shm_open(name.c_str(), O_RDWR, 0);
      if (fd < 0 && errno != ENOENT) break;
    } else {
      break;
    }
  }
  if (fd < 0) {
    SetText(error, "cannot open the hand-off block " + name + ": " + std::strerror(errno));
    return -1;
  }
  if (created) fchmod(fd, 0600);
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    SetText(error, "cannot check the hand-off block " + name + ": " + std::strerror(errno));
    close(fd);
    return -1;
  }
  if (st.st_uid != geteuid()) {
    SetText(error, "the hand-off block " + name + " belongs to user " + std::to_string(st.st_uid));
    close(fd);
    return -1;
  }
  if ((st.st_mode & 07777) != 0600) {
    SetText(error, "the hand-off block " + name + " has mode " + Octal(st.st_mode) + ", not 0600");
    close(fd);
    return -1;
  }
  if (st.st_size != static_cast<off_t>(kHandOffBlockSize)) {
    // New (size 0) or left at another size by some other program: give it
    // the block's size, which zero-fills what it gains.
    if (ftruncate(fd, kHandOffBlockSize) != 0 || fstat(fd, &st) != 0 ||
        st.st_size != static_cast<off_t>(kHandOffBlockSize)) {
      SetText(error, "cannot give the hand-off block " + name + " its size: " + std::strerror(errno));
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

std::string HandOffBlockName() {
  return "/" + std::string(kHandOffBlockBaseName) + "." + std::to_string(geteuid());
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

HandOffBlockWriter::HandOffBlockWriter(std::string shmName) : shmName_(std::move(shmName)) {}

HandOffBlockWriter::~HandOffBlockWriter() {
  if (map_) munmap(map_, kHandOffBlockSize);
  if (fd_ >= 0) close(fd_);
}

bool HandOffBlockWriter::Write(const std::string& fileName, int32_t mode, std::string* error) {
  if (std::string problem = HandOffNameProblem(fileName); !problem.empty()) {
    SetText(error, problem);
    return false;
  }
  if (!map_) {
    const int fd = OpenBlock(shmName_, error);
    if (fd < 0) return false;
    void* map = mmap(nullptr, kHandOffBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
      SetText(error, "cannot map the hand-off block " + shmName_ + ": " + std::strerror(errno));
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

bool ReadHandOffBlock(std::string* fileName, int32_t* mode, std::string* error, const std::string& shmName) {
  const int fd = OpenBlock(shmName, error);
  if (fd < 0) return false;
  void* map = mmap(nullptr, kHandOffBlockSize, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    SetText(error, "cannot map the hand-off block " + shmName + ": " + std::strerror(errno));
    close(fd);
    return false;
  }
  // One copy, then everything is taken from it: a writer changing the block
  // meanwhile cannot make the name and its length disagree.
  unsigned char bytes[kHandOffBlockSize];
  std::memcpy(bytes, map, kHandOffBlockSize);
  munmap(map, kHandOffBlockSize);
  close(fd);
  DecodeHandOffBlock(bytes, fileName, mode);
  return true;
}

}  // namespace lumaset::platform
