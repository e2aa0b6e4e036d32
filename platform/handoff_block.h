// The hand-off block "MYKRV.MAPTAVLORIX": 524 bytes of POSIX shared memory
// through which a second start (or any other program of this user) hands a
// file name and a download mode to the running instance.
//
// Layout:
//   bytes   0-519  file name, UTF-8, ended by a zero byte (at most 519 bytes)
//   bytes 520-523  download mode, 32-bit signed, little-endian
// Every byte the writer does not set is zero.
//
// The object is "/MYKRV.MAPTAVLORIX.<uid>" (shared-memory names are
// machine-wide, so the user id keeps users apart), mode 0600. Both sides
// refuse an object that another user owns or whose mode is not 0600; an
// object of another size is set to 524 bytes before it is mapped, and
// exactly 524 bytes are mapped, so nothing past the block is ever read.
// Shared memory has no reference count: the object stays until it is
// removed or the machine restarts, and the writer zeroes all of it before
// each hand-off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaset::platform {

constexpr const char* kHandOffBlockBaseName = "MYKRV.MAPTAVLORIX";
constexpr size_t kHandOffBlockSize = 524;
constexpr size_t kHandOffNameField = 520;  // bytes 0-519, terminator included
constexpr size_t kHandOffModeOffset = 520;

// "/MYKRV.MAPTAVLORIX.<uid>" for this user.
std::string HandOffBlockName();

// "" when the name fits the name field (at most 519 bytes before its first
// zero byte); otherwise the refusal, for the operator.
std::string HandOffNameProblem(const std::string& fileName);

// The block's bytes for a name (up to its first zero byte; the caller has
// checked it with HandOffNameProblem) and a mode; every other byte is zero.
void EncodeHandOffBlock(const std::string& fileName, int32_t mode, unsigned char (&block)[kHandOffBlockSize]);
// The name up to its first zero byte, never past byte 519, and the mode.
void DecodeHandOffBlock(const unsigned char (&block)[kHandOffBlockSize], std::string* fileName, int32_t* mode);

// The sender's side. Write() creates or opens the block, zeroes it and writes
// the name and the mode; the block stays mapped until the writer is
// destroyed, so the receiver finds it while the sender waits.
class HandOffBlockWriter {
 public:
  // `shmName` is the object's name; other names serve tests only.
  explicit HandOffBlockWriter(std::string shmName = HandOffBlockName());
  ~HandOffBlockWriter();
  HandOffBlockWriter(const HandOffBlockWriter&) = delete;
  HandOffBlockWriter& operator=(const HandOffBlockWriter&) = delete;

  // False with *error set when the name has 520 bytes or more (then the
  // block is not touched at all) or when the block cannot be created or
  // mapped. A name stops at its first zero byte.
  bool Write(const std::string& fileName, int32_t mode, std::string* error);

 private:
  std::string shmName_;
  int fd_ = -1;
  void* map_ = nullptr;
};

// The receiver's side: creates or opens the block (a new block is all zeros:
// empty name, mode 0) and reads the name up to its first zero byte, never
// past byte 519, and the mode. False (with *error, if given) when the block
// cannot be created, checked or mapped.
bool ReadHandOffBlock(std::string* fileName, int32_t* mode, std::string* error = nullptr,
                      const std::string& shmName = HandOffBlockName());

}  // namespace lumaset::platform
