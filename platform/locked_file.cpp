#include "platform/locked_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/files.h"

namespace lumaset::platform {
namespace {

// Creates the folder and any missing parents, mode 0700.
int MakeFolders(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  if (int e = MakeFolders(FolderOf(dir))) return e;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

// The exclusive lock of one rewrite, released when the object goes.
class RewriteLock {
 public:
  RewriteLock() = default;
  RewriteLock(const RewriteLock&) = delete;
  RewriteLock& operator=(const RewriteLock&) = delete;
  ~RewriteLock() {
    if (fd_ >= 0) ::close(fd_);
  }

  int Take(const std::string& lockPath, int waitMs) {
    if (int e = MakeFolders(FolderOf(lockPath))) return e;
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return errno;
    // Rewrites are short; one that holds the lock for long belongs to a
    // stopped process, and waiting for it must not hang the caller.
    const Deadline deadline(waitMs);
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return errno;
      if (deadline.Passed()) return EWOULDBLOCK;
      SleepMs(std::min(10, std::max(1, deadline.Remaining())));
    }
    return 0;
  }

 private:
  int fd_ = -1;
};

// Temporary files "<name>.tmp-XXXXXX" of writers that died before their
// rename. Called under the lock, when no live writer can have one.
void RemoveStaleTemporaries(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp-";
  DIR* d = opendir(FolderOf(target).c_str());
  if (!d) return;
  while (const dirent* entry = readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix)
      unlinkat(dirfd(d), entry->d_name, 0);
  }
  closedir(d);
}

}  // namespace

int RewriteLocked(const std::string& path, int newFileMode, const RewriteStep& step, int waitMs) {
  if (path.empty()) return ENOENT;
  RewriteLock lock;
  if (int e = lock.Take(path + ".lock", waitMs)) return e;
  const std::string target = WriteTarget(path);
  std::optional<std::string> next;
  if (int e = step(target, &next)) return e;
  if (!next) return 0;
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  RemoveStaleTemporaries(target);
  return WriteFileAtomically(target, next->data(), next->size(), exists ? kKeepMode : newFileMode);
}

int KeepCopyBeside(const std::string& path, const std::string& tag, const void* data, size_t size, std::string* name) {
  const LocalTime t = Now();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  const std::string base = path + "." + tag + "-" + stamp;
  for (int n = 0; n < 100; ++n) {
    const std::string candidate = n ? base + "-" + std::to_string(n) : base;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    int e = WriteAll(fd, data, size);
    if (!e && fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && !e) e = errno;
    if (!e) e = SyncFolder(FolderOf(candidate));
    if (e) {
      unlink(candidate.c_str());
      return e;
    }
    *name = candidate;
    return 0;
  }
  return EEXIST;
}

}  // namespace lumaset::platform
