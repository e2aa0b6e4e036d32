// The hand-off block "MYKRV.MAPTAVLORIX": 524 bytes through which a second
// start (or any other program of this user) hands a file name and a download
// mode to the running instance.
//
// Layout:
//   bytes   0-519  file name, bytes as given (UTF-8 or not), ended by a zero
//                  byte (at most 519 bytes)
//   bytes 520-523  download mode, 32-bit signed, little-endian
// Every byte the writer does not set is zero.
//
// The block is the file "<RuntimeFolder>/MYKRV.MAPTAVLORIX" (the private
// folder of the instance lock and the hand-off socket, see
// platform/single_instance.h), mode 0600, mapped with mmap. Both sides refuse
// a block that is not a regular file of this user with mode 0600, and never
// follow a symbolic link; a block of another size is set to 524 bytes before
// it is mapped, and exactly 524 bytes are mapped.
//
// Writers take an exclusive flock() on the block before they write it and
// keep it until the running instance has answered, so several second starts
// at once hand their names over one after the other. The reader takes no lock
// (its writer holds it while it waits) and zeroes the block once it has read
// it, so a name is read once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaset::platform {

constexpr const char* kHandOffBlockBaseName = "MYKRV.MAPTAVLORIX";
constexpr size_t kHandOffBlockSize = 524;
constexpr size_t kHandOffNameField = 520;  // bytes 0-519, terminator included
constexpr size_t kHandOffModeOffset = 520;

// "<RuntimeFolder>/MYKRV.MAPTAVLORIX", or "" with *error set when there is
// no private folder.
std::string HandOffBlockPath(std::string* error = nullptr);

// "" when the name fits the name field (at most 519 bytes before its first
// zero byte); otherwise the refusal, for the operator.
std::string HandOffNameProblem(const std::string& fileName);

// The block's bytes for a name (up to its first zero byte; the caller has
// checked it with HandOffNameProblem) and a mode; every other byte is zero.
void EncodeHandOffBlock(const std::string& fileName, int32_t mode, unsigned char (&block)[kHandOffBlockSize]);
// The name up to its first zero byte, never past byte 519, and the mode.
void DecodeHandOffBlock(const unsigned char (&block)[kHandOffBlockSize], std::string* fileName, int32_t* mode);

// The sender's side. Write() creates or opens the block, waits for its lock,
// zeroes it and writes the name and the mode; the lock is held and the block
// stays mapped until the writer is destroyed, so the receiver finds the name
// while the sender waits and no other sender writes over it meanwhile.
class HandOffBlockWriter {
 public:
  // `path` is the block's file; "" is HandOffBlockPath().
  explicit HandOffBlockWriter(std::string path = {});
  ~HandOffBlockWriter();
  HandOffBlockWriter(const HandOffBlockWriter&) = delete;
  HandOffBlockWriter& operator=(const HandOffBlockWriter&) = delete;

  // False with *error set when the name has 520 bytes or more (then the
  // block is not touched at all) or when the block cannot be created, locked
  // or mapped. A name stops at its first zero byte. The wait for the lock
  // lasts as long as another sender's hand-off; a signal ends it (false).
  bool Write(const std::string& fileName, int32_t mode, std::string* error);

 private:
  std::string path_;
  int fd_ = -1;
  void* map_ = nullptr;
};

// The receiver's side: creates or opens the block (a new block is all zeros:
// empty name, mode 0), reads the name up to its first zero byte, never past
// byte 519, and the mode, and zeroes the block. False (with *error, if
// given) when the block cannot be created, checked or mapped. `path` as for
// the writer.
bool ReadHandOffBlock(std::string* fileName, int32_t* mode, std::string* error = nullptr,
                      const std::string& path = {});

// Whether the block can be used: creates or opens it and checks it as both
// sides do, without reading or writing it. False with *error naming the file
// and the fault; *path (if given) is the block's file, or the folder when
// there is none.
bool CheckHandOffBlock(std::string* error, std::string* path = nullptr);

}  // namespace lumaset::platform
