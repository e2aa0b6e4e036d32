// Locked rewrites of a shared file: no change lost between processes, a
// bounded wait for a stuck writer, nothing written when the step says so,
// the file's mode and symbolic link kept, and copies kept beside a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/locked_file.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::ReadFileText;
using test::TempDir;

// Adds one to the number in the file.
int Increment(const std::string& path) {
  return platform::RewriteLocked(path, 0600, [](const std::string& target, std::optional<std::string>* next) {
    const std::string text = ReadFileText(target);
    *next = std::to_string((text.empty() ? 0 : std::stoi(text)) + 1);
    return 0;
  });
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(LockedFile, WritersInTwoProcessesLoseNoChange) {
  TempDir dir;
  const std::string path = (dir.Path() / "new" / "folder" / "count").string();
  constexpr int kEach = 40;
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) failures += Increment(path) != 0;
      _exit(failures);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(ReadFileText(path), std::to_string(2 * kEach));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ModeOf(dir.Path() / "new"), 0700u);
}

TEST(LockedFile, AStuckWriterIsWaitedForOnlySoLong) {
  TempDir dir;
  const std::string path = (dir.Path() / "f").string();
  ASSERT_EQ(Increment(path), 0);
  // Another open of the lock file holds it, as a stopped process would.
  const int holder = ::open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  bool ran = false;
  const int64_t ms = test::TimeMs([&] {
    EXPECT_EQ(platform::RewriteLocked(
                  path, 0600,
                  [&](const std::string&, std::optional<std::string>*) {
                    ran = true;
                    return 0;
                  },
                  300),
              EWOULDBLOCK);
  });
  EXPECT_FALSE(ran);
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 5000);
  ::close(holder);
  EXPECT_EQ(Increment(path), 0);
  EXPECT_EQ(ReadFileText(path), "2");
}

TEST(LockedFile, NothingIsWrittenUnlessTheStepGivesContents) {
  TempDir dir;
  const fs::path file = dir.File("f", {'a'});
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_EQ(platform::RewriteLocked(file, 0600, [](const std::string&, std::optional<std::string>*) { return 0; }), 0);
  EXPECT_EQ(platform::RewriteLocked(file, 0600,
                                    [](const std::string&, std::optional<std::string>* next) {
                                      *next = "b";
                                      return EIO;  // a failure wins over the contents
                                    }),
            EIO);
  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFileText(file), "a");
  // A missing file stays missing.
  const fs::path missing = dir.Path() / "missing";
  EXPECT_EQ(platform::RewriteLocked(missing, 0600, [](const std::string&, std::optional<std::string>*) { return 0; }),
            0);
  EXPECT_FALSE(fs::exists(missing));
}

TEST(LockedFile, TheTargetOfALinkIsRewrittenWithItsModeAndStaleTemporariesGo) {
  TempDir dir;
  const fs::path real = dir.File("real", {'1'});
  fs::permissions(real, fs::perms(0640));
  const fs::path link = dir.Path() / "link";
  fs::create_symlink(real, link);
  const fs::path stale = dir.File("real.tmp-Ab12Cd", {'x'});
  const fs::path other = dir.File("real.tmp-toolong7", {'x'});  // not a name a rewrite makes
  std::string seen;
  ASSERT_EQ(platform::RewriteLocked(link, 0600,
                                    [&](const std::string& target, std::optional<std::string>* next) {
                                      seen = target;
                                      *next = "2";
                                      return 0;
                                    }),
            0);
  EXPECT_EQ(seen, real.string());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFileText(real), "2");
  EXPECT_EQ(ModeOf(real), 0640u);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(other));
}

TEST(LockedFile, CopiesBesideAFileNeverReplaceOneAnother) {
  TempDir dir;
  const std::string path = (dir.Path() / "settings.reg").string();
  std::string first, second;
  ASSERT_EQ(platform::KeepCopyBeside(path, "damaged", "one", 3, &first), 0);
  ASSERT_EQ(platform::KeepCopyBeside(path, "damaged", "two", 3, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind(path + ".damaged-", 0), 0u) << first;
  EXPECT_EQ(ReadFileText(first), "one");
  EXPECT_EQ(ReadFileText(second), "two");
  EXPECT_EQ(ModeOf(first), 0600u);
  std::string none;
  EXPECT_EQ(platform::KeepCopyBeside((dir.Path() / "no" / "f").string(), "damaged", "x", 1, &none), ENOENT);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace lumaset
