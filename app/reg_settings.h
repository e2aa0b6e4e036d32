// Typed access to the values of one registry key, kept in a per-user file in
// the registry-file text format (reg_file.h).
//
// A read of a missing value stores the default and returns it (unless
// SetStoreDefaults(false)); a value that exists is returned as stored,
// whatever its type, and never overwritten by a default. Every operation
// reads the file afresh and every write rewrites it under a lock
// (platform/locked_file.h), so two objects (or two processes) using the
// same file see each other's writes. Failures are shown through
// ShowSystemError with the errno value; nothing is thrown.
//
// Lines of the file that cannot be read are kept as they are and reported
// once. Outside this object's key they change nothing; inside it the file
// counts as damaged: a value whose line cannot be read gives its default,
// and before the file is next written it is copied to
// "<file>.damaged-YYYYMMDD-HHMMSS" and those lines are left out. If that
// copy cannot be made, nothing is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/reg_file.h"

namespace lumaset {

enum class RootKey { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig };

// "HKEY_LOCAL_MACHINE" and so on.
const char* RootKeyName(RootKey root);

// The file that holds the settings of this user: $LUMASET_REGISTRY when set,
// else $XDG_CONFIG_HOME/Quendar/Lumaset.reg, XDG_CONFIG_HOME defaulting to
// ~/.config.
std::string DefaultRegistryPath();

class CRegSettings {
 public:
  // Uses the file of DefaultRegistryPath(), looked up now.
  CRegSettings(const std::string& keyPath, const std::string& section, RootKey root = RootKey::kLocalMachine);
  // Uses the given file (the command line's --settings FILE, tests).
  CRegSettings(const std::string& keyPath, const std::string& section, RootKey root, const std::string& filePath);
  CRegSettings(const CRegSettings&) = delete;
  CRegSettings& operator=(const CRegSettings&) = delete;

  void SetFilePath(const std::string& filePath) { filePath_ = filePath; }
  const std::string& FilePath() const { return filePath_; }

  // Key path and section joined by exactly one backslash, none at the end.
  const std::string& FullPath();
  // The key as named in the file: root key, backslash, full path.
  std::string KeyName();

  // Whether a read of a missing value stores the default in the file (the
  // start). When off, reads never write: the default is only returned.
  void SetStoreDefaults(bool store) { storeDefaults_ = store; }
  bool StoresDefaults() const { return storeDefaults_; }

  // Type of the current (last) operation: kRegSz, kRegBinary, kRegDword or
  // kRegNone.
  uint32_t ValueType() const { return valueType_; }
  // Whether the last operation succeeded. A read that fails (the error has
  // been shown), or whose value's line cannot be read (reported), returns
  // the default, which is then in the value buffer.
  bool LastOk() const { return lastOk_; }

  // A text value, up to its first zero byte.
  std::string ReadString(const std::string& name, const std::string& def);
  // A binary value. On entry *length is the length of def, on return the
  // number of bytes read (or of the default). The result points into the
  // object's value buffer and stays valid until the next read.
  const uint8_t* ReadBinary(const std::string& name, size_t* length, const uint8_t* def);
  // The first four bytes of the value, little-endian (a shorter value is
  // padded with zeros).
  uint32_t ReadDword(const std::string& name, uint32_t def);

  bool WriteString(const std::string& name, const std::string& text);
  bool WriteBinary(const std::string& name, const uint8_t* data, size_t length);
  bool WriteDword(const std::string& name, uint32_t value);

  // Between BeginBatch and CommitBatch the writes above only collect their
  // values (and return true); CommitBatch stores them all, in the order
  // written, in one rewrite of the file, so the file holds either all of
  // them or none. It returns false when they could not be stored (reported
  // once). Reads are not affected and do not see the collected values.
  void BeginBatch();
  bool CommitBatch();

 private:
  struct Pending {
    std::string name;
    uint32_t type;
    std::vector<uint8_t> data;
  };

  void SetType(uint32_t type);
  bool ReadValue(const std::string& name, const uint8_t* def, size_t defLength);
  bool WriteValue(const std::string& name, const uint8_t* data, size_t length);
  // Values whose damaged lines a rewrite by this object left out (but the
  // one being read): their next read reports that the stored value could
  // not be read.
  void NoteMended(std::vector<std::string>& names, const std::string& reading);
  bool TakeMended(const std::string& name);

  std::vector<uint8_t> value_;  // the last value read
  std::string fullPath_;
  RootKey root_;
  std::string keyPath_;
  std::string section_;
  uint32_t valueType_ = kRegSz;
  std::string filePath_;
  bool lastOk_ = true;
  bool storeDefaults_ = true;
  bool batching_ = false;
  std::vector<Pending> pending_;  // the writes of the open batch
  std::vector<std::string> mended_;
};

}  // namespace lumaset
