#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "resources/resource_ids.h"
#include "link/messages.h"
#include "link/serial_link.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/port_map.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

using test::Bytes;
using test::TimeMs;

// A serial link whose watcher the test can hold, as the link's own
// commands do.
class HoldableLink : public CSerialLink {
 public:
  void HoldWatcher() { m_watcher.Hold(); }
};

class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    host.MapAsCom(kPort);
  }
  void OpenAt(uint32_t rate, int withWatcher = 1) {
    LinkSettings s;
    s.port = kPort;
    s.rate = rate;
    link.ApplySettings(&s);
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(withWatcher), 1);
  }
  static constexpr int kPort = 42;
  test::PtyHost host;
  test::RecordingTarget target;
  test::RecordingOperator op;
  HoldableLink link;
};

TEST_F(SerialLinkTest, OpenAndCloseKeepTheirPromises) {
  OpenAt(115200);
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_EQ(link.GetDescription(), "Connected: COM42: 115200, N ,8 ,1");
  EXPECT_EQ(host.LineRate(), 115200u);
  EXPECT_EQ(link.Open(1), 1);  // already open: nothing changes
  LinkSettings s;
  link.GetSettings(&s);
  EXPECT_EQ(s.eventChar, kEventChar);
  EXPECT_EQ(link.Close(1), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.GetDescription(), platform::LoadString(res::kStrDescClosed));
  EXPECT_EQ(link.Close(1), 1);
  EXPECT_EQ(link.GetDescription(), platform::LoadString(res::kStrDescClosed));
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(SerialLinkTest, DescriptionShowsParityAndStopBits) {
  LinkSettings s;
  s.port = kPort;
  s.rate = 9600;
  s.parity = 7;  // out of range: shown as none
  s.stopBits = 9;
  s.byteSize = 7;
  link.ApplySettings(&s);
  ASSERT_EQ(link.Open(0), 0);  // the device cannot do that parity
  s.parity = 2;
  s.stopBits = 2;
  link.ApplySettings(&s);
  ASSERT_EQ(link.Open(0), 1);
  EXPECT_EQ(link.GetDescription(), "Connected: COM42: 9600, E ,7 ,2");
  link.Close(1);
  // The description is written before the line is configured.
  s.parity = 7;
  s.stopBits = 9;
  link.ApplySettings(&s);
  link.Open(0);
  EXPECT_EQ(link.GetDescription().substr(0, 30), "Connected: COM42: 9600, N ,7 ,");
  EXPECT_NE(link.GetDescription().find(",1"), std::string::npos);
}

TEST_F(SerialLinkTest, PortErrorsNameTheirCause) {
  LinkSettings s;
  s.port = 200;  // nothing there
  platform::SetComPortPath(200, "/dev/lumaset-no-such-port");
  link.ApplySettings(&s);
  EXPECT_EQ(link.Open(1), 0);
  ASSERT_EQ(op.Boxes().size(), 1u);
  // The reason, then which port: its number and the device it leads to.
  EXPECT_EQ(op.Boxes()[0].text,
            platform::LoadString(res::kStrPortMissing) + "\n\nPort: COM 200 (/dev/lumaset-no-such-port)");
  EXPECT_EQ(op.Boxes()[0].caption, platform::LoadString(res::kStrCaption));

  op.Clear();
  OpenAt(115200);
  CSerialLink second;
  second.ApplySettings(&s);
  s.port = kPort;
  second.ApplySettings(&s);
  EXPECT_EQ(second.Open(1), 0);
  ASSERT_EQ(op.Boxes().size(), 1u);
  EXPECT_EQ(op.Boxes()[0].text, platform::LoadString(res::kStrPortInUse) + "\n\nPort: COM " +
                                    std::to_string(kPort) + " (" + host.SlavePath() + ")");

  // A device without permission for this user (as the link reports it; the
  // tests may run as root): the system's reason, the port, and how to get
  // the permission.
  op.Clear();
  platform::SetComPortPath(201, "/dev/ttyUSB7");
  s.port = 201;
  CSerialLink third;
  third.ApplySettings(&s);
  third.ReportPortError(nullptr, EACCES);
  ASSERT_EQ(op.Boxes().size(), 1u);
  EXPECT_EQ(op.Boxes()[0].text.rfind(std::strerror(EACCES), 0), 0u) << op.Boxes()[0].text;
  EXPECT_NE(op.Boxes()[0].text.find("Port: COM 201 (/dev/ttyUSB7)"), std::string::npos) << op.Boxes()[0].text;
  EXPECT_NE(op.Boxes()[0].text.find("dialout"), std::string::npos) << op.Boxes()[0].text;
  platform::SetComPortPath(201, {});
}

// A port that another program holds in exclusive mode, without a lock (a
// terminal program, say), is "in use" as one locked by another link is. Needs
// root here, to be another user in a child process.
TEST_F(SerialLinkTest, APortInExclusiveModeIsInUse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open the port as another user";
  const int holder = ::open(host.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  ASSERT_EQ(chmod(host.SlavePath().c_str(), 0666), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only the link's own calls here: no test assertions in the child.
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    test::RecordingOperator childOp;
    CSerialLink other;
    LinkSettings s;
    s.port = kPort;
    other.ApplySettings(&s);
    const bool refused = other.Open(0) == 0;
    const auto boxes = childOp.Boxes();
    _exit(refused && boxes.size() == 1 && boxes[0].text.rfind(platform::LoadString(res::kStrPortInUse), 0) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ioctl(holder, TIOCNXCL);
  ::close(holder);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot become another user here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other user's open was not refused as a port in use";
}

TEST_F(SerialLinkTest, EveryRateOfTheTableReachesTheLine) {
  for (uint32_t rate : kBaudRates) {
    OpenAt(rate, 0);
    EXPECT_EQ(host.LineRate(), rate);
    EXPECT_EQ(link.TimePerByte(), TimePerByteFor(rate));
    link.Close(1);
  }
}

TEST_F(SerialLinkTest, TimePerByteFollowsTheTable) {
  EXPECT_EQ(link.TimePerByte(), 1000);  // after Reset
  for (int i = 0; i < kBaudRateCount; ++i) EXPECT_EQ(TimePerByteFor(kBaudRates[i]), 115200 / int(kBaudRates[i]));
  EXPECT_EQ(TimePerByteFor(250000), 12);
  LinkSettings s;
  s.rate = 1234;
  link.ApplySettings(&s);
  EXPECT_EQ(link.TimePerByte(), 12);
}

TEST_F(SerialLinkTest, WritesLeaveInBlocksOf512) {
  OpenAt(115200);
  std::mutex m;
  std::vector<size_t> writes;
  platform::SerialDevice::SetWriteObserver([&](const std::string&, size_t n) {
    std::lock_guard<std::mutex> g(m);
    writes.push_back(n);
  });
  Bytes data(1300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Bytes received;
  std::thread reader([&] { received = host.ReadExactly(1300, 5000); });
  EXPECT_EQ(link.Write(data.data(), 1300), 1300);
  reader.join();
  platform::SerialDevice::SetWriteObserver(nullptr);
  EXPECT_EQ(writes, (std::vector<size_t>{512, 512, 276}));
  EXPECT_EQ(received, data);
  EXPECT_EQ(link.Write(data.data(), 0), 0);
}

TEST_F(SerialLinkTest, AWriteCompletesWhenItsBytesHaveLeftOnTheLine) {
  // 960 bytes at 9600 baud, 8N1, are one second of line time; the terminal
  // would take them at once.
  Bytes data(960, 0x33);
  Bytes received;
  std::thread reader([&] { received = host.ReadExactly(data.size(), 5000); });
  OpenAt(9600, 0);
  int64_t slow = TimeMs([&] { EXPECT_EQ(link.Write(data.data(), 960), 960); });
  reader.join();
  EXPECT_EQ(received, data);
  EXPECT_GE(slow, 900);
  EXPECT_LT(slow, 3000);
  link.Close(1);
  std::thread reader2([&] { received = host.ReadExactly(data.size(), 5000); });
  OpenAt(115200, 0);
  int64_t fast = TimeMs([&] { EXPECT_EQ(link.Write(data.data(), 960), 960); });
  reader2.join();
  EXPECT_LT(fast, slow / 3);
}

TEST_F(SerialLinkTest, ReadExactStopsAtTheFirstGap) {
  OpenAt(115200);
  host.Write({1, 2, 3});
  uint8_t buf[8] = {};
  int n = 0;
  int64_t ms = TimeMs([&] { n = link.ReadExact(buf, 8, nullptr); });
  EXPECT_EQ(n, 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));
  // The fourth byte waited (8-1-3)*1 + 500 ms for nothing.
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, 2500);
}

TEST_F(SerialLinkTest, PerByteWaitsScaleWithTheRate) {
  uint8_t buf[8];
  OpenAt(115200, 0);
  int64_t fast = TimeMs([&] { EXPECT_EQ(link.ReadExact(buf, 8, nullptr), 0); });
  link.Close(1);
  OpenAt(1200, 0);
  // At 1200 the first byte may take 7 * 96 + 500 = 1172 ms; at 115200, 507 ms.
  int64_t slow = TimeMs([&] { EXPECT_EQ(link.ReadExact(buf, 8, nullptr), 0); });
  EXPECT_GE(fast, 400);
  EXPECT_LT(fast, 1500);
  EXPECT_GE(slow, 1000);
  EXPECT_GT(slow, fast + 400);
  EXPECT_LT(slow, 4000);
}

TEST_F(SerialLinkTest, ReadExactEndsOnItsCancelEvent) {
  OpenAt(300, 0);
  platform::Event cancel;
  uint8_t buf[30];
  std::thread canceller([&] {
    platform::SleepMs(300);
    cancel.Set();
  });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.ReadExact(buf, 30, &cancel), 0); });
  canceller.join();
  EXPECT_LT(ms, 2000);
}

TEST_F(SerialLinkTest, OnlyOneReaderAtATime) {
  OpenAt(1200, 0);
  platform::Event started;
  uint8_t first[4], second[4];
  int firstCount = -1;
  std::thread reader([&] {
    started.Set();
    firstCount = link.ReadExact(first, 4, nullptr);
  });
  ASSERT_TRUE(started.Wait(2000));
  platform::SleepMs(100);
  // The second reader reads nothing and reports nothing read.
  EXPECT_EQ(link.ReadExact(second, 4, nullptr), 0);
  host.Write({9});
  reader.join();
  EXPECT_EQ(firstCount, 1);
  EXPECT_EQ(first[0], 9);
}

TEST_F(SerialLinkTest, CloseWhileAReaderWaitsReturnsPromptly) {
  OpenAt(300);
  uint8_t buf[30];
  int n = -1;
  int64_t readMs = 0;
  std::thread reader([&] { readMs = TimeMs([&] { n = link.ReadExact(buf, 30, nullptr); }); });
  platform::SleepMs(300);
  int64_t closeMs = TimeMs([&] { link.Close(1); });
  reader.join();
  EXPECT_EQ(n, 0);
  EXPECT_LT(closeMs, 1500);
  EXPECT_LT(readMs, 2500);  // the 30-byte read alone could take minutes at 300
}

TEST_F(SerialLinkTest, WatcherPostsOneDataEventUntilAcknowledged) {
  OpenAt(115200);
  host.Write({'a', 'b'});
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
  host.Write({'c'});
  platform::SleepMs(300);
  host.Write({'d'});
  platform::SleepMs(300);
  EXPECT_EQ(target.Count(LE_DATA_RECEIVED), 1u);
  EXPECT_EQ(link.InputQueueCount(), 4);

  char buf[1024];
  EXPECT_EQ(link.ReadAvailable(buf, 1024), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  link.AckReceive();
  // Everything was taken: no event without new bytes.
  platform::SleepMs(300);
  EXPECT_EQ(target.Count(LE_DATA_RECEIVED), 1u);
  host.Write({'e'});
  ASSERT_TRUE(target.WaitUntil([](auto& ev) { return ev.size() >= 2; }, 2000));
  EXPECT_EQ(target.Events()[1].code, uint32_t(LE_DATA_RECEIVED));
  EXPECT_EQ(target.Events()[1].message, WM_LINK_EVENT);

  // Bytes left behind by a short read are announced again after the ack.
  host.Write(Bytes(10, 'x'));
  platform::SleepMs(200);
  EXPECT_EQ(link.ReadAvailable(buf, 3), 3);
  link.AckReceive();
  ASSERT_TRUE(target.WaitUntil([](auto& ev) { return ev.size() >= 3; }, 2000));
}

// The watcher is held the way Probe and SendCommand hold it: once Hold has
// returned, no data event may follow until the release, also when a release
// is followed at once by the next hold. Bytes stay waiting the whole time.
TEST_F(SerialLinkTest, AHeldWatcherPostsNothing) {
  OpenAt(115200);
  host.Write({'x'});
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
  link.HoldWatcher();
  std::mt19937 random(11);
  int rounds = 0, slipped = 0;
  platform::Deadline deadline(4000);
  while (rounds < 6000 && !deadline.Passed()) {
    ++rounds;
    link.AckReceive();  // the view has taken the last announcement
    link.ResumeWatcher();
    test::SpinMicroseconds(static_cast<int>(random() % 15));
    link.HoldWatcher();
    const size_t atHold = target.Count(LE_DATA_RECEIVED);
    link.AckReceive();  // a watcher that still ran would announce at once
    test::SpinMicroseconds(100);
    if (target.Count(LE_DATA_RECEIVED) != atHold) ++slipped;
  }
  EXPECT_EQ(slipped, 0) << "in " << rounds << " rounds";
  EXPECT_GT(target.Count(LE_DATA_RECEIVED), 1u);  // it did announce between the holds
  link.ResumeWatcher();
}

// A line change while the watcher waits for the view to take received bytes
// is posted once the view has acknowledged them. A pseudo-terminal has no
// modem lines; the test sets them.
TEST_F(SerialLinkTest, LineChangesWhileTheViewIsBusyAreNotLost) {
  test::FakeModemLines lines(host.SlavePath());
  lines.Set(0);
  OpenAt(115200);
  host.Write({'a'});
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
  // The byte is neither read nor acknowledged: the watcher waits for the view.
  platform::SleepMs(200);
  lines.Set(TIOCM_CTS | TIOCM_DSR);
  platform::SleepMs(400);
  EXPECT_EQ(target.Count(LE_CTS_CHANGED), 0u);
  char buf[16];
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 1);
  link.AckReceive();
  // Both changes came in one look: CTS first, then DSR, each once.
  ASSERT_TRUE(target.WaitUntil(
      [](const auto& ev) {
        for (const auto& e : ev)
          if (e.code == LE_DSR_CHANGED) return true;
        return false;
      },
      2000));
  std::vector<uint32_t> codes;
  for (const auto& e : target.Events()) codes.push_back(e.code);
  EXPECT_EQ(codes, (std::vector<uint32_t>{LE_DATA_RECEIVED, LE_CTS_CHANGED, LE_DSR_CHANGED}));
  // A change while nothing is outstanding is posted at once.
  link.AckReceive();
  lines.Set(TIOCM_DSR);
  EXPECT_TRUE(target.WaitUntil([](const auto& ev) { return ev.size() == 4 && ev[3].code == LE_CTS_CHANGED; }, 2000));
  link.Close(1);
}

TEST_F(SerialLinkTest, WithoutWatcherNothingIsPosted) {
  OpenAt(115200, 0);
  host.Write({1, 2, 3});
  platform::SleepMs(400);
  EXPECT_EQ(target.Count(LE_DATA_RECEIVED), 0u);
  EXPECT_EQ(link.InputQueueCount(), 3);
}

TEST_F(SerialLinkTest, HostThatStopsReadingMakesWriteTimeOutAndReopen) {
  OpenAt(115200);
  // The terminal buffers some tens of kilobytes; then writes stall.
  Bytes data(256 * 1024, 0x55);
  int n = 0;
  int64_t ms = TimeMs([&] { n = link.Write(data.data(), static_cast<int>(data.size())); });
  EXPECT_LT(n, 512);  // the count of the block that timed out
  EXPECT_LT(ms, 5000);
  EXPECT_GE(ms, 500);  // waited 512 * 1 + 500 ms for the stalled block
  EXPECT_EQ(link.IsOpen(), 1);  // re-opened in place, with a new watcher
  host.Drain(200);
  host.Write({7});
  EXPECT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
}

// ---- a port that goes away ------------------------------------------------------

// The codes posted so far, in order.
std::vector<uint32_t> Codes(const test::RecordingTarget& target) {
  std::vector<uint32_t> codes;
  for (auto& e : target.Events()) codes.push_back(e.code);
  return codes;
}

TEST_F(SerialLinkTest, AHostThatGoesAwayWhileIdleIsReportedOnceWithoutABox) {
  OpenAt(115200);
  EXPECT_EQ(link.OpenDevicePath(), host.SlavePath());
  EXPECT_FALSE(link.IsPortGone());
  host.HangUp();
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  platform::SleepMs(300);
  EXPECT_EQ(Codes(target), std::vector<uint32_t>{LE_PORT_GONE});
  EXPECT_EQ(target.Events().back().value, static_cast<uint32_t>(ENODEV));
  // Open until the view closes it, and a write neither waits nor re-opens.
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_TRUE(link.IsPortGone());
  const uint8_t byte = 'x';
  EXPECT_LT(TimeMs([&] { EXPECT_EQ(link.Write(&byte, 1), 0); }), 400);
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_EQ(link.OpenDevicePath(), host.SlavePath());
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_EQ(link.Close(1), 1);
  EXPECT_EQ(link.OpenDevicePath(), "");
  EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);
}

// The watcher does not wait for the view to take the bytes it announced
// before it reports the loss; the view still finds them.
TEST_F(SerialLinkTest, AGonePortIsReportedWhileReceivedBytesWaitForTheView) {
  OpenAt(115200);
  host.Write({'a', 'b'});
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
  host.HangUp();
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  EXPECT_EQ(Codes(target), (std::vector<uint32_t>{LE_DATA_RECEIVED, LE_PORT_GONE}));
  char buf[16];
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 2);
  link.AckReceive();
  platform::SleepMs(300);
  EXPECT_EQ(target.Events().size(), 2u);
  EXPECT_TRUE(op.Boxes().empty());
}

// Downloads whose host goes away after the first kilobyte of data, or after
// the handshake's request: the download fails with its own status, then the
// loss is reported; no box (in download mode 1 the port is not re-opened at
// 115200 afterwards, which would say the port does not exist).
TEST_F(SerialLinkTest, AHostThatGoesAwayDuringADownloadFailsItThenReportsTheLoss) {
  test::TempDir dir;
  const std::string file = dir.File("data.bin", Bytes(16 * 1024, 0x5A)).string();
  struct Case {
    const char* name;
    int mode;
    bool handshake;
    size_t hangUpAfter;
    uint32_t status;
  };
  for (const Case& c : {Case{"raw", 0, false, 1024, LS_WRITE_FAILED}, Case{"raw, mode 1", 1, false, 1024, LS_WRITE_FAILED},
                        Case{"handshake", 0, true, 5, LS_CHECK_VERSION}}) {
    SCOPED_TRACE(c.name);
    test::PtyHost gone;
    gone.MapAsCom(kPort);
    link.Close(1);
    target.Clear();
    OpenAt(115200);
    link.SetDownloadMode(c.mode);
    std::thread hostThread([&] {
      gone.ReadExactly(c.hangUpAfter, 5000);
      gone.HangUp();
    });
    ASSERT_EQ(c.handshake ? link.SendFileWithHandshake(file.c_str()) : link.SendRawFile(file.c_str()), 1);
    const bool reported = target.WaitFor(LE_PORT_GONE, 8000);
    hostThread.join();
    ASSERT_TRUE(reported);
    const std::vector<test::PostedEvent> events = target.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].code, LE_FAILED);
    EXPECT_EQ(events[events.size() - 2].value, c.status);
    EXPECT_EQ(events.back().value, static_cast<uint32_t>(ENODEV));
    platform::SleepMs(200);
    EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);
    EXPECT_EQ(link.IsTransferring(), 0);
    EXPECT_EQ(link.IsOpen(), 1);
    EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
    EXPECT_TRUE(op.Boxes().empty());
    link.Close(1);
  }
  host.MapAsCom(kPort);
}

TEST_F(SerialLinkTest, ASearchOnAPortThatGoesAwayEndsNotFoundWithoutBoxes) {
  OpenAt(115200);
  ASSERT_EQ(link.StartBaudSearch(0), 1);
  ASSERT_TRUE(target.WaitFor(LE_BAUD_TRYING, 3000));
  const int64_t ms = TimeMs([&] {
    host.HangUp();
    ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 8000));
  });
  EXPECT_LT(ms, 5000);
  const std::vector<uint32_t> codes = Codes(target);
  ASSERT_GE(codes.size(), 3u);
  EXPECT_EQ(codes[codes.size() - 2], LE_BAUD_NOT_FOUND);
  EXPECT_EQ(codes.back(), LE_PORT_GONE);
  EXPECT_LT(target.Count(LE_BAUD_TRYING), 12u);  // the search stopped trying
  EXPECT_EQ(link.IsSearching(), 0);
  EXPECT_EQ(link.IsOpen(), 0);  // no device to re-open
  EXPECT_TRUE(op.Boxes().empty());
  link.StopBaudSearch();
}

// The quiet open that reconnecting uses: every failure only in its result
// and errno, success once the device is there again at the same path.
TEST_F(SerialLinkTest, AQuietOpenSaysWhyOnlyInItsResult) {
  test::TempDir dir;
  const std::string path = (dir.Path() / "host").string();
  constexpr int kLinkedPort = 43;
  platform::SetComPortPath(kLinkedPort, path);
  LinkSettings s;
  s.port = kLinkedPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  EXPECT_EQ(link.OpenQuietly(1), 0);
  EXPECT_EQ(link.LastOpenError(), ENOENT);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.OpenDevicePath(), "");

  test::PtyHost back;
  ASSERT_EQ(symlink(back.SlavePath().c_str(), path.c_str()), 0);
  CSerialLink other;
  other.ApplySettings(&s);
  ASSERT_EQ(other.Open(0), 1);
  EXPECT_EQ(link.OpenQuietly(1), 0);
  EXPECT_EQ(link.LastOpenError(), EBUSY);
  other.Close(1);
  EXPECT_TRUE(op.Boxes().empty());

  EXPECT_EQ(link.OpenQuietly(1), 1);
  EXPECT_EQ(link.LastOpenError(), 0);
  EXPECT_EQ(link.OpenDevicePath(), path);
  back.Write({'k'});
  EXPECT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));  // with its watcher

  // Not for a network link.
  link.Close(1);
  s.network = 1;
  link.ApplySettings(&s);
  EXPECT_EQ(link.OpenQuietly(1), 0);
  EXPECT_EQ(link.LastOpenError(), EOPNOTSUPP);
  EXPECT_TRUE(op.Boxes().empty());
}

// The host simulator as the host: it ends (the port goes), and a new one
// at the same --link path is found again by a quiet open.
TEST(SerialLinkHostSim, AHostThatEndsIsGoneAndOneAtTheSamePathIsFoundQuietly) {
  if (access(test::BuiltProgram("lumaset-hostsim").c_str(), X_OK) != 0)
    GTEST_SKIP() << "lumaset-hostsim is not built";
  test::UseEnglishTexts();
  test::RecordingTarget target;
  test::RecordingOperator op;
  test::TempDir dir;
  const std::string path = (dir.Path() / "host").string();
  constexpr int kSimPort = 44;
  platform::SetComPortPath(kSimPort, path);
  CSerialLink link;
  LinkSettings s;
  s.port = kSimPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  {
    test::HostSimProcess first({"--link", path});
    ASSERT_TRUE(first.Started());
    ASSERT_EQ(link.Open(1), 1);
    EXPECT_EQ(link.Probe(0), 1);
    first.Stop();
    ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  }
  EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);
  link.Close(1);
  EXPECT_EQ(link.OpenQuietly(1), 0);
  EXPECT_EQ(link.LastOpenError(), ENOENT);

  test::HostSimProcess second({"--link", path});
  ASSERT_TRUE(second.Started());
  ASSERT_EQ(link.OpenQuietly(1), 1);
  EXPECT_EQ(link.OpenDevicePath(), path);
  EXPECT_EQ(link.Probe(0), 1);
  EXPECT_TRUE(op.Boxes().empty());
}

// A COM port behind ser2net: the server ends (the port goes, as an
// unplugged adapter does), and one that comes back on the same address is
// found again by a quiet open. The description names the URL.
TEST(SerialLinkDeviceServer, AServerThatEndsIsAGonePortAndItsReturnIsFoundQuietly) {
  if (access(test::BuiltProgram("lumaset-hostsim").c_str(), X_OK) != 0)
    GTEST_SKIP() << "lumaset-hostsim is not built";
  test::UseEnglishTexts();
  test::RecordingTarget target;
  test::RecordingOperator op;
  test::HostSimProcess sim({});
  ASSERT_TRUE(sim.Started());
  const std::string device = test::JsonField(sim.Ready(), "device");
  auto first = std::make_unique<test::DeviceServer>(test::DeviceServer::Kind::kSer2net, device);
  if (!first->Started()) GTEST_SKIP() << first->Missing();
  const std::string url = first->Url();
  constexpr int kServerPort = 45;
  platform::SetComPortPath(kServerPort, url);
  CSerialLink link;
  LinkSettings s;
  s.port = kServerPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(1), 1);
  EXPECT_NE(link.GetDescription().find(url), std::string::npos) << link.GetDescription();
  EXPECT_EQ(link.Probe(0), 1);
  first->Kill();
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 5000));
  EXPECT_TRUE(link.IsPortGone());
  link.Close(1);
  EXPECT_EQ(link.OpenQuietly(1), 0);
  EXPECT_EQ(link.LastOpenError(), EBUSY);  // refused: nothing listens there now

  test::DeviceServer::Options same;
  same.port = first->Port();
  test::DeviceServer second(test::DeviceServer::Kind::kSer2net, device, same);
  ASSERT_TRUE(second.Started()) << second.Missing();
  ASSERT_EQ(link.OpenQuietly(1), 1);
  EXPECT_EQ(link.OpenDevicePath(), url);
  EXPECT_EQ(link.Probe(0), 1);
  EXPECT_TRUE(op.Boxes().empty());
  link.Close(1);
  platform::SetComPortPath(kServerPort, "");
}

// A raw port (socket://) has its rate fixed on the server: the search and
// the host rate change are refused with a message naming it, and nothing
// reaches the host.
TEST(SerialLinkDeviceServer, ARawPortRefusesTheSearchAndTheRateChangeBeforeSending) {
  if (access(test::BuiltProgram("lumaset-hostsim").c_str(), X_OK) != 0)
    GTEST_SKIP() << "lumaset-hostsim is not built";
  test::UseEnglishTexts();
  test::RecordingTarget target;
  test::RecordingOperator op;
  test::HostSimProcess sim({});
  ASSERT_TRUE(sim.Started());
  test::DeviceServer::Options raw;
  raw.raw = true;
  test::DeviceServer server(test::DeviceServer::Kind::kSer2net, test::JsonField(sim.Ready(), "device"), raw);
  if (!server.Started()) GTEST_SKIP() << server.Missing();
  constexpr int kServerPort = 46;
  platform::SetComPortPath(kServerPort, server.Url());
  CSerialLink link;
  LinkSettings s;
  s.port = kServerPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(1), 1);
  EXPECT_EQ(link.StartBaudSearch(0), 0);
  EXPECT_EQ(link.SetHostBaudRate(9600), 0);
  const auto boxes = op.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes)
    EXPECT_EQ(box.text, FormatString(res::kStrFixedRatePort, {server.Url()}));
  EXPECT_EQ(link.IsOpen(), 1);  // the search did not close it
  EXPECT_EQ(target.Count(LE_BAUD_TRYING), 0u);
  EXPECT_TRUE(sim.Wait("probe", "", 500).empty());
  link.Close(1);
  platform::SetComPortPath(kServerPort, "");
}

}  // namespace
}  // namespace lumaset
