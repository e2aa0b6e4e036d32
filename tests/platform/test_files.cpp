// Files read whole and rewritten safely: regular files only, never blocked
// by a FIFO, a size limit, and rewrites that leave either the old or the new
// contents.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "platform/files.h"
#include "protocol/whole_file.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs `call` on another thread and gives its result, or fails when it does
// not return within five seconds (then a writer is opened on `fifo` so the
// stuck call can end before the test goes on).
template <typename F>
int Bounded(F call, const fs::path& fifo) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return result.get();
  ADD_FAILURE() << "the call blocked on the FIFO";
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  const int r = result.get();
  if (fd >= 0) ::close(fd);
  return r;
}

// FIFOs, folders and missing files: through the document's open.
TEST(Files, DevicesAreRefusedAndTheDescriptorOfAFileBlocks) {
  TempDir dir;
  const fs::path file = dir.File("data.bin", {1, 2, 3});
  int err = -1;
  EXPECT_FALSE(platform::IsRegularFile("/dev/null", &err));
  EXPECT_EQ(err, ENOTSUP);
  EXPECT_FALSE(platform::IsRegularFile("", &err));
  EXPECT_EQ(err, ENOENT);
  const int fd = platform::OpenRegularFile(file.c_str(), &err);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  ::close(fd);
}

TEST(Files, ReadWholeFileRefusesFifosFoldersAndFilesOverTheLimit) {
  TempDir dir;
  const fs::path file = dir.File("image.bin", std::vector<uint8_t>(1000, 0xA5));
  const fs::path fifo = dir.Path() / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<uint8_t> out;
  uint32_t size = 0;

  EXPECT_EQ(ReadWholeFile(file.c_str(), 0, 0, &out, &size, 1000), 0);
  EXPECT_EQ(size, 1000u);
  EXPECT_EQ(out, std::vector<uint8_t>(1000, 0xA5));
  EXPECT_EQ(ReadWholeFile(file.c_str(), 0, 0, &out, &size, 999), EFBIG);
  EXPECT_EQ(ReadWholeFile(file.c_str(), 4, 2, &out, &size, 1005), EFBIG);  // the frame counts
  EXPECT_EQ(Bounded([&] { return ReadWholeFile(fifo.c_str(), 0, 0, &out, &size); }, fifo), ENOTSUP);
  EXPECT_EQ(ReadWholeFile(dir.Path().c_str(), 0, 0, &out, &size), EISDIR);
}

class AtomicWrite : public ::testing::Test {
 protected:
  TempDir dir_;
  fs::path target_ = dir_.Path() / "log.bin";
  const std::string bytes_{"\x00\xFF\r\nnew\x00", 8};
};

TEST_F(AtomicWrite, ReplacesTheContentsAndKeepsPermissionsAndLinks) {
  const mode_t mask = umask(022);
  umask(mask);
  ASSERT_EQ(platform::WriteFileAtomically(target_, bytes_.data(), bytes_.size(), platform::kKeepMode), 0);
  EXPECT_EQ(test::ReadFileText(target_), bytes_);
  EXPECT_EQ(fs::status(target_).permissions() & fs::perms::mask, static_cast<fs::perms>(0666 & ~mask));

  ASSERT_EQ(chmod(target_.c_str(), 0640), 0);
  ASSERT_EQ(platform::WriteFileAtomically(target_, "x", 1, platform::kKeepMode), 0);
  EXPECT_EQ(test::ReadFileText(target_), "x");
  EXPECT_EQ(fs::status(target_).permissions() & fs::perms::mask, static_cast<fs::perms>(0640));
  ASSERT_EQ(platform::WriteFileAtomically(target_, "", 0, 0604), 0);
  EXPECT_EQ(test::ReadFileText(target_), "");
  EXPECT_EQ(fs::status(target_).permissions() & fs::perms::mask, static_cast<fs::perms>(0604));

  // Through a symbolic link: the file it names changes, the link stays.
  const fs::path link = dir_.Path() / "link.bin";
  fs::create_symlink(target_, link);
  ASSERT_EQ(platform::WriteFileAtomically(link, bytes_.data(), bytes_.size(), platform::kKeepMode), 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(test::ReadFileText(target_), bytes_);
  EXPECT_EQ(Names(dir_.Path()), (std::vector<std::string>{"link.bin", "log.bin"}));  // no temporary left
}

TEST_F(AtomicWrite, AFailedWriteLeavesTheOldFileWhole) {
  const std::string old(100, 'o');
  std::ofstream(target_, std::ios::binary) << old;
  // Files may not grow past 64 bytes while the write runs (also for root):
  // the write fails part way with EFBIG.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string longer(1000, 'n');
  const int e = platform::WriteFileAtomically(target_, longer.data(), longer.size(), platform::kKeepMode);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(e, EFBIG);
  EXPECT_EQ(test::ReadFileText(target_), old);
  EXPECT_EQ(Names(dir_.Path()), std::vector<std::string>{"log.bin"});
}

TEST_F(AtomicWrite, FoldersAndFifosInThePlaceOfTheFileAreLeftAlone) {
  fs::create_directory(target_);
  EXPECT_EQ(platform::WriteFileAtomically(target_, "x", 1, platform::kKeepMode), EISDIR);
  EXPECT_TRUE(fs::is_directory(target_));
  const fs::path fifo = dir_.Path() / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(platform::WriteFileAtomically(fifo, "x", 1, platform::kKeepMode), ENOTSUP);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(platform::WriteFileAtomically((dir_.Path() / "no/such/folder").string(), "x", 1, 0600), ENOENT);
}

}  // namespace
}  // namespace lumaset
