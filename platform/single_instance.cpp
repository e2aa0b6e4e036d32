#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumaset::platform {

namespace {

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

void SetText(std::string* out, const std::string& text) {
  if (out) *out = text;
}

constexpr const char* kFallbackParent = "/tmp";

std::string FallbackFolderIn(const std::string& parent) { return parent + "/lumaset-" + std::to_string(geteuid()); }

}  // namespace

std::string CheckPrivateFolder(const std::string& path) {
  if (path.empty() || path[0] != '/') return "\"" + path + "\" is not an absolute path";
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
  if (st.st_uid != geteuid())
    return path + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
           std::to_string(geteuid()) + ")";
  if ((st.st_mode & 07777) != 0700)
    return path + " has mode " + Octal(st.st_mode) + "; it must be 0700 (no access for group and others)";
  return {};
}

std::string ChooseRuntimeFolder(const char* xdgRuntimeDir, const std::string& fallbackParent, std::string* error,
                                std::string* note) {
  if (xdgRuntimeDir && *xdgRuntimeDir) {
    const std::string why = CheckPrivateFolder(xdgRuntimeDir);
    if (why.empty()) return xdgRuntimeDir;
    SetText(note, "XDG_RUNTIME_DIR is not used: " + why);
  }
  const std::string folder = FallbackFolderIn(fallbackParent);
  if (mkdir(folder.c_str(), 0700) == 0) {
    // The umask may have taken bits away; set the mode through a descriptor
    // of the folder just made, so no other folder can be changed instead.
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      fchmod(fd, 0700);
      close(fd);
    }
  } else if (errno != EEXIST) {
    SetText(error, "cannot create the folder " + folder + ": " + std::strerror(errno));
    return {};
  }
  const std::string why = CheckPrivateFolder(folder);
  if (!why.empty()) {
    SetText(error, "refusing the folder " + folder + ": " + why);
    return {};
  }
  return folder;
}

std::string FallbackRuntimeFolder() { return FallbackFolderIn(kFallbackParent); }

std::string RuntimeFolder(std::string* error, std::string* note) {
  return ChooseRuntimeFolder(std::getenv("XDG_RUNTIME_DIR"), kFallbackParent, error, note);
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) close(fd_);
}

LockResult InstanceLock::Acquire(std::string* error) {
  if (fd_ >= 0) return LockResult::kFirst;
  problemPath_.clear();
  std::string why;
  const std::string folder = RuntimeFolder(&why);
  if (folder.empty()) {
    SetText(error, why);
    problemPath_ = FallbackRuntimeFolder();
    return LockResult::kFailed;
  }
  const std::string path = folder + "/" + kInstanceLockName;
  problemPath_ = path;
  // O_CLOEXEC: a program this one starts must not inherit the lock and keep
  // it after this process ends.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    const int e = errno;
    SetText(error, "cannot open the instance lock " + path + ": " +
                       (e == ELOOP ? std::string("it is a symbolic link") : std::string(std::strerror(e))));
    return LockResult::kFailed;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    SetText(error, "the instance lock " + path + " is not a file of this user");
    return LockResult::kFailed;
  }
  if ((st.st_mode & 07777) != 0600) fchmod(fd, 0600);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    close(fd);
    if (e == EWOULDBLOCK) return LockResult::kAnotherRuns;
    SetText(error, "cannot lock " + path + ": " + std::strerror(e));
    return LockResult::kFailed;
  }
  fd_ = fd;
  problemPath_.clear();
  return LockResult::kFirst;
}

}  // namespace lumaset::platform
