#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

namespace lumaset::platform {
namespace {

// 0 for a regular file, else the errno value that refuses it.
int KindError(mode_t mode) {
  if (S_ISREG(mode)) return 0;
  return S_ISDIR(mode) ? EISDIR : ENOTSUP;
}

// Six characters for a temporary file name, as mkstemp would choose.
std::string RandomSuffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
  std::string suffix(6, ' ');
  for (char& c : suffix) c = kChars[pick(generator)];
  return suffix;
}

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int OpenRegularFile(const char* path, int* err) {
  int e = 0;
  struct stat st {};
  if (!path || !*path)
    e = ENOENT;
  else if (stat(path, &st) != 0)
    e = errno;
  else
    e = KindError(st.st_mode);
  int fd = -1;
  if (!e) {
    // O_NONBLOCK: a FIFO put in its place after the stat does not wait for a
    // writer; O_NOCTTY: a terminal never becomes ours.
    fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) e = errno;
  }
  if (fd >= 0) {
    e = fstat(fd, &st) != 0 ? errno : KindError(st.st_mode);
    if (!e) {
      const int flags = fcntl(fd, F_GETFL);
      if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) e = errno;
    }
    if (e) {
      ::close(fd);
      fd = -1;
    }
  }
  if (err) *err = e;
  return fd;
}

bool IsRegularFile(const std::string& path, int* err) {
  const int fd = OpenRegularFile(path.c_str(), err);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

int SyncFolder(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int e = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  ::close(fd);
  return e;
}

std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;  // a dangling link is replaced
  std::string target = real;
  std::free(real);
  return target;
}

int WriteFileAtomically(const std::string& path, const void* data, size_t size, int mode) {
  if (path.empty()) return ENOENT;
  const std::string target = WriteTarget(path);
  struct stat old {};
  bool exists = false;
  if (stat(target.c_str(), &old) == 0) {
    if (int e = KindError(old.st_mode)) return e;
    exists = true;
  } else if (errno != ENOENT) {
    return errno;
  }
  // A new file with kKeepMode gets 0666 less the umask from the open itself;
  // every other one starts private and gets its bits below.
  const bool setBits = mode != kKeepMode || exists;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    if (attempt == 100) return EEXIST;
    temp = target + ".tmp-" + RandomSuffix();
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, setBits ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  int e = 0;
  if (exists && (old.st_uid != geteuid() || old.st_gid != getegid()))
    (void)!fchown(fd, old.st_uid, old.st_gid);  // best effort: only root may give a file away
  if (setBits && fchmod(fd, mode != kKeepMode ? static_cast<mode_t>(mode) : old.st_mode & 07777) != 0) e = errno;
  if (!e) e = WriteAll(fd, data, size);
  if (!e && fsync(fd) != 0) e = errno;
  if (::close(fd) != 0 && !e) e = errno;
  if (!e && rename(temp.c_str(), target.c_str()) != 0) e = errno;
  if (e) {
    unlink(temp.c_str());
    return e;
  }
  return SyncFolder(FolderOf(target));
}

}  // namespace lumaset::platform
