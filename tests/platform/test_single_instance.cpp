// The private runtime folder, the single-instance lock and the hand-off
// block, with a second real process (single_instance_helper) on the other
// side. XDG_RUNTIME_DIR points at a temporary folder of each test, so nothing
// of the real session is touched.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/handoff_block.h"
#include "platform/single_instance.h"
#include "tests/sim_process.h"

namespace {

namespace fs = std::filesystem;
using lumaset::platform::ChooseRuntimeFolder;
using lumaset::platform::CheckHandOffBlock;
using lumaset::platform::HandOffBlockWriter;
using lumaset::platform::InstanceLock;
using lumaset::platform::LockResult;
using lumaset::platform::ReadHandOffBlock;
using lumaset::test::ReadFileText;
using lumaset::test::TempDir;

constexpr uid_t kOtherUser = 65534;

mode_t ModeOf(const fs::path& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// single_instance_helper as a child process: its first output line, and
// standard input to tell it to let go.
class Helper {
 public:
  explicit Helper(std::vector<std::string> args) {
    args.insert(args.begin(), lumaset::test::BuiltProgram("single_instance_helper"));
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Helper() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // The first line it prints ("" when none comes in time).
  std::string Line(int timeoutMs = 10000) {
    std::string line;
    lumaset::platform::Deadline deadline(timeoutMs);
    while (!deadline.Passed()) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, deadline.Remaining()) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }
  // Closes its input, so it ends, and waits for it (exit status, -1 when it
  // did not end in time).
  int Finish() {
    close(in_);
    in_ = -1;
    // Its output closes when it ends.
    lumaset::platform::Deadline deadline(10000);
    char buffer[256];
    for (;;) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, deadline.Remaining()) <= 0) return -1;
      if (read(out_, buffer, sizeof buffer) <= 0) break;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
};

// A runtime folder of the test's own for everything below.
class RuntimeFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(runtime_.Path().empty());
    setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
  TempDir runtime_{"lumaset-runtime"};
};

// ---------------------------------------------------------------------------
// The folder.

TEST(RuntimeFolder, PrivateXdgFolderIsUsedAndAnyOtherFallsBackToAPrivateTmpFolder) {
  TempDir xdg("lumaset-xdg"), parent("lumaset-parent");
  const fs::path fallback = parent.Path() / ("lumaset-" + std::to_string(geteuid()));
  std::string error, note;

  EXPECT_EQ(ChooseRuntimeFolder(xdg.Path().c_str(), parent.Path(), &error, &note), xdg.Path().string());
  EXPECT_TRUE(note.empty()) << note;
  EXPECT_FALSE(fs::exists(fallback));

  // Readable by group and others: not private, so not used.
  chmod(xdg.Path().c_str(), 0755);
  EXPECT_EQ(ChooseRuntimeFolder(xdg.Path().c_str(), parent.Path(), &error, &note), fallback.string()) << error;
  EXPECT_NE(note.find("0755"), std::string::npos) << note;
  EXPECT_EQ(ModeOf(fallback), 0700u);

  // A symlink to a private folder is refused too.
  chmod(xdg.Path().c_str(), 0700);
  const fs::path link = parent.Path() / "link";
  fs::create_directory_symlink(xdg.Path(), link);
  note.clear();
  EXPECT_EQ(ChooseRuntimeFolder(link.c_str(), parent.Path(), &error, &note), fallback.string());
  EXPECT_NE(note.find("symbolic link"), std::string::npos) << note;

  // Unset or empty: the fallback, without a note.
  note.clear();
  EXPECT_EQ(ChooseRuntimeFolder(nullptr, parent.Path(), &error, &note), fallback.string());
  EXPECT_EQ(ChooseRuntimeFolder("", parent.Path(), &error, &note), fallback.string());
  EXPECT_TRUE(note.empty()) << note;

  // RuntimeFolder() reads the environment.
  setenv("XDG_RUNTIME_DIR", xdg.Path().c_str(), 1);
  EXPECT_EQ(lumaset::platform::RuntimeFolder(&error), xdg.Path().string());
  unsetenv("XDG_RUNTIME_DIR");
}

TEST(RuntimeFolder, FallbackIsMadeWithMode0700WhateverTheUmask) {
  TempDir parent("lumaset-parent");
  const mode_t old = umask(0277);
  std::string error;
  const std::string folder = ChooseRuntimeFolder(nullptr, parent.Path(), &error);
  umask(old);
  ASSERT_FALSE(folder.empty()) << error;
  EXPECT_EQ(ModeOf(folder), 0700u);
}

TEST(RuntimeFolder, ExistingFallbackThatIsNotPrivateIsRefusedAndLeftAlone) {
  TempDir parent("lumaset-parent"), target("lumaset-target");
  const fs::path fallback = parent.Path() / ("lumaset-" + std::to_string(geteuid()));
  auto refusal = [&] {
    std::string error = "unset";
    const std::string folder = ChooseRuntimeFolder(nullptr, parent.Path(), &error);
    return folder.empty() ? error : "accepted " + folder;
  };

  fs::create_directory(fallback);
  chmod(fallback.c_str(), 0770);
  EXPECT_NE(refusal().find("0770"), std::string::npos) << refusal();
  EXPECT_EQ(ModeOf(fallback), 0770u);  // not "repaired"
  fs::remove(fallback);

  std::ofstream(fallback).put('x');
  EXPECT_NE(refusal().find("not a folder"), std::string::npos) << refusal();
  fs::remove(fallback);

  // Someone prepared a symlink to a folder of theirs (here a private one).
  fs::create_directory_symlink(target.Path(), fallback);
  EXPECT_NE(refusal().find("symbolic link"), std::string::npos) << refusal();
  fs::remove(fallback);

  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  fs::create_directory(fallback);
  chmod(fallback.c_str(), 0700);
  ASSERT_EQ(chown(fallback.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_NE(refusal().find("belongs to user 65534"), std::string::npos) << refusal();

  // The same for XDG_RUNTIME_DIR: another user's folder is not used.
  std::string error, note;
  fs::remove(fallback);
  EXPECT_EQ(ChooseRuntimeFolder(target.Path().c_str(), parent.Path(), &error, &note), target.Path().string());
  ASSERT_EQ(chown(target.Path().c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(ChooseRuntimeFolder(target.Path().c_str(), parent.Path(), &error, &note), fallback.string());
  EXPECT_NE(note.find("belongs to user 65534"), std::string::npos) << note;
}

// ---------------------------------------------------------------------------
// The lock.

using InstanceLockTest = RuntimeFolderTest;

TEST_F(InstanceLockTest, SecondProcessSeesAnotherInstanceUntilTheFirstEnds) {
  const fs::path lockFile = runtime_.Path() / "KRV_MY_TAVLORA_MUTEX";
  {
    Helper first({"lock"});
    ASSERT_EQ(first.Line(), "first");
    EXPECT_EQ(ModeOf(lockFile), 0600u);

    InstanceLock second;
    std::string error;
    EXPECT_EQ(second.Acquire(&error), LockResult::kAnotherRuns) << error;
    EXPECT_FALSE(second.Held());
    Helper third({"lock"});
    EXPECT_EQ(third.Line(), "another");

    EXPECT_EQ(first.Finish(), 0);
    EXPECT_EQ(second.Acquire(&error), LockResult::kFirst) << error;
    EXPECT_TRUE(second.Held());
    Helper fourth({"lock"});
    EXPECT_EQ(fourth.Line(), "another");
  }
  // A holder that is killed lets go as well.
  Helper killed({"lock"});
  ASSERT_EQ(killed.Line(), "first");
  killed.Kill();
  InstanceLock after;
  std::string error;
  EXPECT_EQ(after.Acquire(&error), LockResult::kFirst) << error;
}

TEST_F(InstanceLockTest, ProgramsStartedByTheHolderDoNotKeepTheLock) {
  auto holder = std::make_unique<InstanceLock>();
  std::string error;
  ASSERT_EQ(holder->Acquire(&error), LockResult::kFirst) << error;
  Helper child({"hold"});  // started while the lock is held
  ASSERT_EQ(child.Line(), "holding");
  holder.reset();
  Helper next({"lock"});
  EXPECT_EQ(next.Line(), "first");
}

TEST_F(InstanceLockTest, UnusableLockFileFailsWithTheReason) {
  TempDir elsewhere("lumaset-elsewhere");
  const fs::path lockFile = runtime_.Path() / "KRV_MY_TAVLORA_MUTEX";
  fs::create_symlink(elsewhere.Path() / "target", lockFile);
  InstanceLock lock;
  std::string error;
  EXPECT_EQ(lock.Acquire(&error), LockResult::kFailed);
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(elsewhere.Path() / "target"));
  fs::remove(lockFile);

  fs::create_directory(lockFile);
  EXPECT_EQ(lock.Acquire(&error), LockResult::kFailed);
  EXPECT_NE(error.find("KRV_MY_TAVLORA_MUTEX"), std::string::npos) << error;
  fs::remove(lockFile);
}

// ---------------------------------------------------------------------------
// The block.

// The block in the test's runtime folder.
class BlockTest : public RuntimeFolderTest {
 protected:
  void SetUp() override {
    RuntimeFolderTest::SetUp();
    name_ = (runtime_.Path() / "MYKRV.MAPTAVLORIX").string();
  }
  // The raw bytes of the block, and its mode and size.
  std::vector<unsigned char> Raw(mode_t* mode = nullptr, off_t* size = nullptr) const {
    const int fd = open(name_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st{};
    fstat(fd, &st);
    if (mode) *mode = st.st_mode & 07777;
    if (size) *size = st.st_size;
    std::vector<unsigned char> bytes(static_cast<size_t>(st.st_size));
    if (!bytes.empty() && pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      bytes.clear();
    close(fd);
    return bytes;
  }
  // Makes the block by hand, as some other program might have left it.
  void Make(mode_t mode, const std::vector<unsigned char>& bytes) const {
    const int fd = open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0);
    fchmod(fd, mode);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  std::string name_;
};

TEST_F(BlockTest, NameAndModeTravelBetweenProcessesInTheBlockLayout) {
  const std::string file = "/home/op/Prögramme/room 1.pgu";
  Helper writer({"write", file, "-123456789", name_});
  ASSERT_EQ(writer.Line(), "ok");
  mode_t permissions = 0;
  off_t size = 0;
  const std::vector<unsigned char> raw = Raw(&permissions, &size);
  ASSERT_EQ(raw.size(), 524u);
  EXPECT_EQ(permissions, 0600u);
  EXPECT_EQ(std::string(raw.begin(), raw.begin() + static_cast<long>(file.size())), file);
  for (size_t i = file.size(); i < 520; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
  const uint32_t expected = static_cast<uint32_t>(-123456789);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(raw[520 + i], (expected >> (8 * i)) & 0xFF) << "byte " << 520 + i;

  std::string name, error;
  int32_t mode = 0;
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, file);
  EXPECT_EQ(mode, -123456789);
  // Read once: the reader leaves the block empty.
  EXPECT_EQ(Raw(), std::vector<unsigned char>(524, 0));
  EXPECT_EQ(writer.Finish(), 0);

  // And back: written here, read there; the default block is the one in
  // the runtime folder.
  HandOffBlockWriter here;
  ASSERT_TRUE(here.Write("C:relative.pgu", 2, &error)) << error;
  Helper reader({"read", name_});
  EXPECT_EQ(reader.Line(), "2 C:relative.pgu");
}

TEST_F(BlockTest, WritersTakeTurnsAndEachRuntimeFolderHasItsOwnBlock) {
  // The first writer holds the block as a sender does until its answer.
  Helper first({"write", "first.pgu", "1", name_});
  ASSERT_EQ(first.Line(), "ok");
  Helper second({"write", "second.pgu", "2", name_});
  EXPECT_EQ(second.Line(700), "") << "the second writer did not wait for the first";
  std::string name, error;
  int32_t mode = 0;
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, "first.pgu");
  EXPECT_EQ(first.Finish(), 0);
  ASSERT_EQ(second.Line(), "ok");
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, "second.pgu");
  EXPECT_EQ(mode, 2);

  // An instance of the same user in another runtime folder (another
  // session) reads its own block, never this one's.
  ASSERT_EQ(second.Finish(), 0);
  HandOffBlockWriter here;
  ASSERT_TRUE(here.Write("this-session.pgu", 3, &error)) << error;
  TempDir other("lumaset-other-runtime");
  setenv("XDG_RUNTIME_DIR", other.Path().c_str(), 1);
  name = "unset";
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error)) << error;
  EXPECT_EQ(name, "");
  EXPECT_TRUE(fs::exists(other.Path() / "MYKRV.MAPTAVLORIX"));
  setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error)) << error;
  EXPECT_EQ(name, "this-session.pgu");
}

TEST_F(BlockTest, TooLongNameIsRefusedAndTheBlockKeepsWhatItHeld) {
  Helper holder({"write", "keep.pgu", "7", name_});
  ASSERT_EQ(holder.Line(), "ok");
  HandOffBlockWriter writer(name_);
  std::string error;
  EXPECT_FALSE(writer.Write(std::string(600, 'x'), 1, &error));
  EXPECT_NE(error.find("519"), std::string::npos) << error;
  EXPECT_FALSE(writer.Write(std::string(520, 'x'), 1, &error));
  std::string name;
  int32_t mode = 0;
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, "keep.pgu");
  EXPECT_EQ(mode, 7);
  EXPECT_EQ(holder.Finish(), 0);  // its sender lets go of the block

  // 519 bytes fit, with the terminator in the last byte of the field.
  const std::string longest(519, 'y');
  ASSERT_TRUE(writer.Write(longest, 3, &error)) << error;
  EXPECT_EQ(Raw()[519], 0);
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, longest);

  // A shorter name over a longer one leaves nothing of the longer behind.
  ASSERT_TRUE(writer.Write(longest, 3, &error)) << error;
  ASSERT_TRUE(writer.Write("a.pgu", 0, &error)) << error;
  const std::vector<unsigned char> raw = Raw();
  for (size_t i = 5; i < 524; ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
}

TEST_F(BlockTest, NewBlockReadsEmptyWithMode0600AndSize524) {
  std::string name = "unset", error;
  int32_t mode = -1;
  const mode_t old = umask(0277);
  const bool read = ReadHandOffBlock(&name, &mode, &error, name_);
  umask(old);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(name, "");
  EXPECT_EQ(mode, 0);
  mode_t permissions = 0;
  off_t size = 0;
  const std::vector<unsigned char> raw = Raw(&permissions, &size);
  EXPECT_EQ(permissions, 0600u);
  EXPECT_EQ(size, 524);
  EXPECT_EQ(raw, std::vector<unsigned char>(524, 0));
}

TEST_F(BlockTest, ForeignContentIsReadWithinTheNameFieldAndItsSizeIsMended) {
  // No terminator anywhere: the name is the 520 bytes of the field.
  Make(0600, std::vector<unsigned char>(524, 'A'));
  std::string name, error;
  int32_t mode = 0;
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, std::string(520, 'A'));
  EXPECT_EQ(mode, 0x41414141);

  // Too short: grown to 524 bytes (zeros) before it is mapped.
  fs::remove(name_);
  Make(0600, {'a', 'b', 'c', 0, 'z'});
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, "abc");
  EXPECT_EQ(mode, 0);
  off_t size = 0;
  Raw(nullptr, &size);
  EXPECT_EQ(size, 524);
  fs::remove(name_);

  // Too long: cut to 524 bytes.
  std::vector<unsigned char> big(4096, 0);
  std::memcpy(big.data(), "big.pgu", 7);
  big[520] = 5;
  Make(0600, big);
  ASSERT_TRUE(ReadHandOffBlock(&name, &mode, &error, name_)) << error;
  EXPECT_EQ(name, "big.pgu");
  EXPECT_EQ(mode, 5);
  Raw(nullptr, &size);
  EXPECT_EQ(size, 524);
}

TEST_F(BlockTest, BlockOthersCouldReachIsRefusedBothWays) {
  std::vector<unsigned char> planted(524, 0);
  std::memcpy(planted.data(), "planted.pgu", 11);
  Make(0644, planted);
  std::string name = "unset", error;
  int32_t mode = -1;
  EXPECT_FALSE(ReadHandOffBlock(&name, &mode, &error, name_));
  EXPECT_NE(error.find("0644"), std::string::npos) << error;
  EXPECT_EQ(name, "unset");
  HandOffBlockWriter writer(name_);
  EXPECT_FALSE(writer.Write("mine.pgu", 1, &error));
  EXPECT_EQ(Raw(), planted);
  // The start-up's check says the same and names the block.
  std::string path;
  EXPECT_FALSE(CheckHandOffBlock(&error, &path));
  EXPECT_EQ(path, name_);
  EXPECT_NE(error.find(name_), std::string::npos) << error;

  // A symbolic link is never followed, not even to a block of this user.
  fs::remove(name_);
  TempDir elsewhere("lumaset-elsewhere");
  const fs::path target = elsewhere.Path() / "target";
  std::ofstream(target) << std::string(524, '\0');
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(target, name_);
  EXPECT_FALSE(ReadHandOffBlock(&name, &mode, &error, name_));
  EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(writer.Write("mine.pgu", 1, &error));
  EXPECT_EQ(ReadFileText(target), std::string(524, '\0'));
  fs::remove(name_);
  EXPECT_TRUE(CheckHandOffBlock(&error)) << error;

  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  fs::remove(name_);
  Make(0600, planted);
  ASSERT_EQ(chown(name_.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(ReadHandOffBlock(&name, &mode, &error, name_));
  EXPECT_NE(error.find("belongs to user 65534"), std::string::npos) << error;
  EXPECT_FALSE(writer.Write("mine.pgu", 1, &error));
  EXPECT_FALSE(CheckHandOffBlock(&error, &path));
  EXPECT_NE(error.find("65534"), std::string::npos) << error;
}

}  // namespace
