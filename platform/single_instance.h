// The single-instance lock and the private folder that holds it, the
// hand-off socket and the hand-off block.
//
// The lock is an exclusive flock() on "<RuntimeFolder>/KRV_MY_TAVLORA_MUTEX":
// the kernel drops it when the process ends, however it ends, so a crashed
// instance never blocks the next start.
#pragma once

#include <string>

namespace lumaset::platform {

constexpr const char* kInstanceLockName = "KRV_MY_TAVLORA_MUTEX";

// The per-user folder for the lock, the hand-off socket and the block:
// $XDG_RUNTIME_DIR when it is set and private (a real directory, not a
// symlink, owned by this user, mode 0700); otherwise "/tmp/lumaset-<uid>",
// created with mode 0700 when missing. An existing fallback folder that is
// not a private directory of this user is refused: another user could have
// prepared it. Returns "" with *error set when no folder can be used. When
// $XDG_RUNTIME_DIR was set but refused, *note (if given) says why.
std::string RuntimeFolder(std::string* error, std::string* note = nullptr);

// "/tmp/lumaset-<uid>": the folder RuntimeFolder() falls back to, and so the
// one it names when it refuses.
std::string FallbackRuntimeFolder();

// The same choice with the environment value (null: unset) and the parent of
// the fallback folder given; RuntimeFolder() is
// ChooseRuntimeFolder(getenv("XDG_RUNTIME_DIR"), "/tmp", ...).
std::string ChooseRuntimeFolder(const char* xdgRuntimeDir, const std::string& fallbackParent, std::string* error,
                                std::string* note = nullptr);

// "" when `path` is a directory (not a symlink) owned by this user with mode
// 0700; otherwise why not.
std::string CheckPrivateFolder(const std::string& path);

enum class LockResult {
  kFirst,        // this process holds the lock: no other instance runs
  kAnotherRuns,  // another process holds it
  kFailed,       // the lock file could not be made or locked; the start-up
                 // treats this like kAnotherRuns, and the error says why
};

// The single-instance lock. Keep the object for the life of the process: the
// lock is held from a successful Acquire() until the object is destroyed or
// the process ends.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock without waiting. The lock file is created with mode 0600
  // and never followed through a symlink. On kFailed, *error tells why and
  // ProblemPath() names the file or folder at fault.
  LockResult Acquire(std::string* error);
  bool Held() const { return fd_ >= 0; }
  const std::string& ProblemPath() const { return problemPath_; }

 private:
  int fd_ = -1;
  std::string problemPath_;
};

}  // namespace lumaset::platform
