// The serial device on a pseudo-terminal: exclusive use, purges against the
// reader thread, and the event history of line events.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "tests/pty_host.h"

namespace lumaset::platform {
namespace {

using test::Bytes;
using test::PtyHost;

constexpr int kNobody = 65534;
constexpr int kCannotDropRoot = 255;

std::shared_ptr<SerialDevice> OpenDevice(const std::string& path, uint8_t eventChar = 0) {
  int error = -1;
  auto device = SerialDevice::Open(path, &error);
  EXPECT_TRUE(device) << std::strerror(error);
  if (!device) return nullptr;
  LineSettings line;
  line.eventChar = eventChar;
  EXPECT_EQ(device->Apply(line), 0);
  return device;
}

// An open() of path by an unprivileged user, in a child process: 0 when it
// opened, else its errno (kCannotDropRoot when the child could not become
// that user). With `asDevice` the child opens it as this program does.
int OpenAsNobody(const std::string& path, bool asDevice) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(kCannotDropRoot);
    if (asDevice) {
      int error = 0;
      // Refused before any thread starts; an opened device is let go at once.
      bool opened = SerialDevice::Open(path, &error) != nullptr;
      _exit(opened ? 0 : error);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd < 0 ? errno : 0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ExclusiveMode(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0) << std::strerror(errno);
  ::close(fd);
  return exclusive == 1;
}

TEST(SerialDevice, ExclusiveUseKeepsOutProgramsThatDoNotLock) {
  PtyHost host;
  const std::string& path = host.SlavePath();
  auto device = OpenDevice(path);
  ASSERT_TRUE(device);
  // A second opener that locks the same way is refused with EBUSY.
  int error = 0;
  EXPECT_EQ(SerialDevice::Open(path, &error), nullptr);
  EXPECT_EQ(error, EBUSY);
  // The terminal is in exclusive mode (root, as here, is still let in).
  EXPECT_TRUE(ExclusiveMode(path));
  // Any other user is refused at open(), lock or no lock (this needs root
  // here, to be another user in a child and to open the terminal to it).
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  }
  const int plain = root ? OpenAsNobody(path, false) : kCannotDropRoot;
  const bool asNobody = plain != kCannotDropRoot;
  if (asNobody) {
    EXPECT_EQ(plain, EBUSY);
    EXPECT_EQ(OpenAsNobody(path, true), EBUSY);
  }

  // Closed, the port is free for everybody again, although this side of the
  // terminal stays open (the exclusive mode would outlive the descriptor).
  device->Close();
  EXPECT_FALSE(ExclusiveMode(path));
  if (asNobody) {
    EXPECT_EQ(OpenAsNobody(path, false), 0);
  }
  device.reset();
  EXPECT_TRUE(OpenDevice(path));
  if (!asNobody) GTEST_SKIP() << "no other user to open the port as";
}

// A chunk that the reader thread has read but not yet queued when a purge
// comes goes with the purge. The reader is held there for a while, long
// enough for a purge that does not wait for it to be over.
TEST(SerialDevice, APurgeTakesAChunkTheReaderHasJustRead) {
  PtyHost host;
  auto device = OpenDevice(host.SlavePath());
  ASSERT_TRUE(device);
  Event chunkRead, purgeDone;
  SerialDevice::SetReadObserver([&](const std::string& path, const uint8_t* bytes, size_t n) {
    if (path != host.SlavePath() || n == 0 || bytes[0] != 'A') return;
    chunkRead.Set();
    purgeDone.Wait(300);
  });
  host.Write({'A', 'A', 'A'});
  ASSERT_TRUE(chunkRead.Wait(2000));
  std::thread purge([&] {
    device->Purge(true, false);
    purgeDone.Set();
  });
  purge.join();
  SerialDevice::SetReadObserver(nullptr);
  host.Write({'B'});
  uint8_t byte = 0;
  ASSERT_EQ(device->ReadByte(&byte, {}, 2000), IoStatus::kOk);
  EXPECT_EQ(byte, 'B');
  EXPECT_EQ(device->InputCount(), 0u);
}

// Chunks that arrive in quick succession are taken from the driver a few at
// a time, not with one read (and one wake-up) each; every byte is queued, in
// order.
TEST(SerialDevice, ChunksInQuickSuccessionAreReadTogether) {
  PtyHost host;
  auto device = OpenDevice(host.SlavePath());
  ASSERT_TRUE(device);
  std::atomic<int> reads{0};
  SerialDevice::SetReadObserver([&](const std::string& path, const uint8_t*, size_t n) {
    if (path == host.SlavePath() && n > 0) ++reads;
  });
  constexpr int kWrites = 200;  // 16 bytes every 2 ms
  for (int i = 0; i < kWrites; ++i) {
    host.Write(Bytes(16, static_cast<uint8_t>(i)));
    SleepMs(2);
  }
  Deadline deadline(3000);
  while (device->InputCount() < kWrites * 16u && !deadline.Passed()) SleepMs(10);
  SerialDevice::SetReadObserver(nullptr);
  Bytes got(kWrites * 16 + 1);
  ASSERT_EQ(device->Read(got.data(), got.size()), kWrites * 16u);
  for (size_t i = 0; i < kWrites * 16u; ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i / 16)) << "at " << i;
  EXPECT_LT(reads.load(), kWrites / 2);
}

// The reader looks at the modem lines ten times a second.
constexpr int kLinesSeenMs = 400;
using test::FakeModemLines;

TEST(SerialDevice, LineChangesWaitInTheHistoryForAWait) {
  PtyHost host;
  FakeModemLines lines(host.SlavePath());
  lines.Set(TIOCM_CTS);
  auto device = OpenDevice(host.SlavePath());
  ASSERT_TRUE(device);
  device->SetEventMask(kEvRxChar | kEvCts | kEvDsr);
  uint32_t events = 0;

  // Both lines change while nobody waits; the next wait gets both at once.
  lines.Set(TIOCM_DSR);
  SleepMs(kLinesSeenMs);
  EXPECT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 0), IoStatus::kOk);
  EXPECT_EQ(events, kEvCts | kEvDsr);
  // Taken: nothing is left for the next one.
  EXPECT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 300), IoStatus::kTimeout);

  // A change during a wait ends it.
  std::thread change([&] {
    SleepMs(100);
    lines.Set(0);
  });
  int64_t ms = test::TimeMs([&] { EXPECT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 3000), IoStatus::kOk); });
  change.join();
  EXPECT_EQ(events, kEvDsr);
  EXPECT_LT(ms, 2000);

  // A waiter that is not interested leaves the change to one that is.
  lines.Set(TIOCM_CTS);
  SleepMs(kLinesSeenMs);
  EXPECT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 100), IoStatus::kTimeout);
  EXPECT_EQ(device->WaitEvent(kEvCts, &events, {}, 0), IoStatus::kOk);
  EXPECT_EQ(events, kEvCts);

  // A change while the mask leaves it out is not kept, and a new mask
  // clears what was kept.
  device->SetEventMask(kEvRxChar);
  lines.Set(0);
  SleepMs(kLinesSeenMs);
  device->SetEventMask(kEvCts | kEvDsr);
  EXPECT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 300), IoStatus::kTimeout);
  lines.Set(TIOCM_CTS);
  SleepMs(kLinesSeenMs);
  device->SetEventMask(kEvCts);
  EXPECT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 300), IoStatus::kTimeout);
}

TEST(SerialDevice, TheEventCharacterCountsOnlyWhileTheMaskAsksForIt) {
  PtyHost host;
  auto device = OpenDevice(host.SlavePath(), 0x9F);
  ASSERT_TRUE(device);
  uint32_t events = 0;
  // Not in the mask: the byte is data and nothing more.
  device->SetEventMask(kEvRxChar);
  host.Write({0x9F});
  ASSERT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 2000), IoStatus::kOk);
  device->SetEventMask(kEvRxFlag);
  EXPECT_FALSE(device->EventCharEvent().Wait(200));
  // In the mask: kept, and shown by the event, until a wait takes it.
  host.Write({0x41, 0x9F});
  EXPECT_TRUE(device->EventCharEvent().Wait(2000));
  EXPECT_EQ(device->WaitEvent(kEvRxFlag, &events, {}, 0), IoStatus::kOk);
  EXPECT_EQ(events, kEvRxFlag);
  EXPECT_FALSE(device->EventCharEvent().IsSet());
  // A purge of the input takes it too.
  host.Write({0x9F});
  EXPECT_TRUE(device->EventCharEvent().Wait(2000));
  device->Purge(true, false);
  EXPECT_FALSE(device->EventCharEvent().IsSet());
  EXPECT_EQ(device->WaitEvent(kEvRxFlag, &events, {}, 100), IoStatus::kTimeout);
}

// A terminal whose other side closes (the host's process ended; an
// unplugged adapter hangs up the same way) is gone for every call at once,
// waits already under way included. Bytes queued before are still read.
TEST(SerialDevice, AHungUpTerminalIsGoneForEveryCallAfterWhatWasQueued) {
  PtyHost host;
  auto device = OpenDevice(host.SlavePath());
  ASSERT_TRUE(device);
  device->SetEventMask(kEvRxChar | kEvCts);
  host.Write({1, 2});
  uint32_t events = 0;
  ASSERT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 2000), IoStatus::kOk);
  for (int i = 0; i < 100 && device->InputCount() < 2; ++i) SleepMs(10);
  ASSERT_EQ(device->InputCount(), 2u);
  EXPECT_FALSE(device->IsGone());
  EXPECT_FALSE(device->ClaimGoneReport());

  IoStatus waited = IoStatus::kOk;
  std::thread waiter([&] {
    uint32_t none = 0;
    waited = device->WaitEvent(kEvCts, &none, {}, 10000);
  });
  SleepMs(100);
  const int64_t ms = test::TimeMs([&] {
    host.HangUp();
    waiter.join();
  });
  EXPECT_EQ(waited, IoStatus::kGone);
  EXPECT_LT(ms, 2000);
  EXPECT_TRUE(device->IsGone());
  EXPECT_TRUE(device->GoneEvent().IsSet());
  EXPECT_EQ(device->GoneError(), ENODEV);

  // What came before is reported and read first.
  EXPECT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 0), IoStatus::kOk);
  EXPECT_EQ(events, kEvRxChar);
  uint8_t byte = 0;
  ASSERT_EQ(device->ReadByte(&byte, {}, 1000), IoStatus::kOk);
  EXPECT_EQ(byte, 1);
  ASSERT_EQ(device->ReadByte(&byte, {}, 1000), IoStatus::kOk);
  EXPECT_EQ(byte, 2);
  EXPECT_LT(test::TimeMs([&] {
              EXPECT_EQ(device->ReadByte(&byte, {}, 5000), IoStatus::kGone);
              EXPECT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 5000), IoStatus::kGone);
              size_t written = 99;
              EXPECT_EQ(device->Write("x", 1, &written, {}, 5000), IoStatus::kGone);
              EXPECT_EQ(written, 0u);
            }),
            1000);
  EXPECT_EQ(device->LastError(), ENODEV);
  // One report between the threads that see it.
  EXPECT_TRUE(device->ClaimGoneReport());
  EXPECT_FALSE(device->ClaimGoneReport());
  device->Close();
  EXPECT_EQ(device->ReadByte(&byte, {}, 100), IoStatus::kClosed);
}

}  // namespace
}  // namespace lumaset::platform
