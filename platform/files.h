// Files read whole and files rewritten safely.
#pragma once

#include <cstddef>
#include <string>

namespace lumaset::platform {

// Opens `path` for reading when it is a regular file, without ever
// blocking: anything else (a FIFO, socket, device or folder) is refused from
// its status before it is opened, and the open itself does not wait for a
// FIFO writer (a file swapped for one in between is refused too). Returns the
// descriptor (close-on-exec, blocking reads), or -1 with *err set to the
// errno value: EISDIR for a folder, ENOTSUP for any other kind of file that
// is not a regular one, ENOENT for an empty path.
int OpenRegularFile(const char* path, int* err);

// Whether `path` is a regular file that can be opened for reading: opens it
// as OpenRegularFile does, reads nothing and closes it again. False with
// *err as there.
bool IsRegularFile(const std::string& path, int* err);

// Writes all `size` bytes to `fd`, going on after short writes and EINTR.
// 0, or the errno value.
int WriteAll(int fd, const void* data, size_t size);

// Makes the entries of folder `dir` durable (some file systems cannot sync a
// folder; that is not an error). 0, or the errno value.
int SyncFolder(const std::string& dir);

// The folder part of `path`: "." when it has none, "/" for a file in the root.
std::string FolderOf(const std::string& path);

// Where a rewrite of `path` goes: the file a symbolic link names (so that a
// rename does not replace the link with a plain file), else `path` itself.
std::string WriteTarget(const std::string& path);

// For WriteFileAtomically: keep the permission bits of the file replaced, or
// use 0666 less the umask for a new file.
constexpr int kKeepMode = -1;

// Replaces the contents of `path` with the bytes: they are written to a new
// file "<name>.tmp-XXXXXX" in the same folder, synced and renamed over
// `path`, then the folder is synced. So `path` holds either its old contents
// or all the new ones, never a part; on failure the temporary file is
// removed. A symbolic link is followed (WriteTarget).
// `mode` gives the permission bits of the new file, or kKeepMode. An
// existing `path` that is a folder (EISDIR) or no regular file (ENOTSUP) is
// left alone. 0, or the errno value.
int WriteFileAtomically(const std::string& path, const void* data, size_t size, int mode);

}  // namespace lumaset::platform
