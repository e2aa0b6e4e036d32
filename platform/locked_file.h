// Rewrites of a file that several objects and processes change: each one
// reads the file, changes it and writes it back as one step under an
// exclusive flock() on "<file>.lock" beside it, so that no change is lost.
// Readers need no lock: a rewrite renames a whole new file into place
// (WriteFileAtomically), so a reader sees the old contents or the new ones.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace lumaset::platform {

// How long a rewrite waits for another one to end before it gives up.
constexpr int kRewriteLockWaitMs = 10000;

// Runs under the lock with the file to read (the file a symbolic link names).
// Returns 0 and sets *next to the new contents, or leaves *next empty to
// write nothing; or returns an errno value to write nothing and end the
// rewrite with that value.
using RewriteStep = std::function<int(const std::string& target, std::optional<std::string>* next)>;

// Takes the lock (creating missing folders, mode 0700, and the lock file),
// runs `step` and writes what it gives atomically. The file keeps its
// permission bits; a new one gets `newFileMode`. Temporary files left by
// writers that died are removed before the write. When another rewrite
// holds the lock for longer than waitMs, nothing is done and EWOULDBLOCK
// returned. 0, or the errno value.
int RewriteLocked(const std::string& path, int newFileMode, const RewriteStep& step, int waitMs = kRewriteLockWaitMs);

// Writes the bytes to a new private file "<path>.<tag>-YYYYMMDD-HHMMSS"
// (local time; "-1", "-2" ... appended while that name is taken), synced
// with its folder, and gives its name: a copy kept before a file is written
// over. 0, or the errno value (the copy is then removed).
int KeepCopyBeside(const std::string& path, const std::string& tag, const void* data, size_t size, std::string* name);

}  // namespace lumaset::platform
