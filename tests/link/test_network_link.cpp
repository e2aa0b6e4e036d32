// The serial-network link over TCP, against hosts on 127.0.0.1 written here
// (and the host simulator when it is built), with a Qt event loop delivering
// the socket notifications on this thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "app/qt_ui_loop.h"
#include "resources/resource_ids.h"
#include "link/command_string.h"
#include "link/network_link.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/port_map.h"
#include "protocol/host_commands.h"
#include "tests/fifo_guard.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

using test::Bytes;
using test::TimeMs;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_network_link";
    static char* argv[] = {name, nullptr};
    app_ = new QCoreApplication(argc, argv);
    UseQtUiLoop();
  }
  void TearDown() override {
    platform::SetUiLoop(nullptr);
    delete app_;
  }

 private:
  QCoreApplication* app_ = nullptr;
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop until pred holds or timeoutMs pass.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
  platform::Deadline deadline(timeoutMs);
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (pred()) return true;
    if (deadline.Passed()) return false;
    platform::SleepMs(5);
  }
}
void PumpFor(int ms) { PumpUntil([] { return false; }, ms); }

Bytes CommandBytes(int index) { return DecodeCommandString(HostCommand(index)); }
const Bytes kAck(kHostAck, kHostAck + 8);

// One accepted connection of the test host.
class Conn {
 public:
  explicit Conn(int fd) : fd_(fd) {}
  ~Conn() {
    if (fd_ >= 0) close(fd_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  // Exactly n bytes unless timeoutMs pass in all.
  Bytes Read(size_t n, int timeoutMs) {
    platform::Deadline deadline(timeoutMs);
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, deadline.Remaining()) <= 0) break;
      uint8_t buf[4096];
      ssize_t k = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (k <= 0) break;
      out.insert(out.end(), buf, buf + k);
    }
    return out;
  }
  // Whatever arrives until nothing comes for quietMs.
  Bytes Drain(int quietMs) { return Read(1 << 20, quietMs); }
  void Write(const Bytes& bytes) { send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Answers the probe; false when the next bytes are not the probe.
  bool AnswerProbe(uint8_t answer = kProbeAnswer) {
    if (Read(kProbeLength, 8000) != CommandBytes(kCmdProbe)) return false;
    Write({answer});
    return true;
  }
  bool Expect(int index) {
    Bytes want = CommandBytes(index);
    return Read(want.size(), 8000) == want;
  }
  // Ends the connection with a reset (an error for the other side).
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd_);
    fd_ = -1;
  }
  void CloseOrderly() {
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A host listening on 127.0.0.1 at a free port. A script can run against it
// on a thread of its own.
class TcpHost {
 public:
  explicit TcpHost(int backlog = 4) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, backlog);
    socklen_t len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~TcpHost() {
    Join();
    close(listener_);
  }
  uint16_t Port() const { return port_; }

  std::unique_ptr<Conn> Accept(int timeoutMs = 3000) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return nullptr;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? nullptr : std::make_unique<Conn>(fd);
  }
  // Accepts one connection on a thread and runs the script on it.
  void Serve(std::function<void(Conn&)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      if (auto c = Accept(5000)) script(*c);
    });
  }
  void Run(std::function<void()> script) { thread_ = std::thread(std::move(script)); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A port on which nothing listens.
uint16_t ClosedPort() {
  TcpHost h;
  return h.Port();
}

class NetworkLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
    link.SetControlRefresh([this] { ++refreshes; });
  }
  void UseHost(const std::string& text, uint32_t port) {
    LinkSettings s = StoredDefaults();
    s.network = 1;
    s.tcpPort = port;
    link.ApplySettings(&s);
    link.SetRemoteHost(text.c_str());
  }
  std::unique_ptr<Conn> Connect(TcpHost& host) {
    UseHost("127.0.0.1", host.Port());
    EXPECT_EQ(link.Open(1), 1);
    return host.Accept();
  }
  size_t DataEvents() { return target.Count(LE_DATA_RECEIVED); }
  bool WaitEvent(uint32_t code, int ms) {
    return PumpUntil([&] { return target.Count(code) > 0; }, ms);
  }
  std::vector<test::PostedEvent> TransferEvents() {
    std::vector<test::PostedEvent> out;
    for (auto& e : target.Events())
      if (e.code != LE_DATA_RECEIVED) out.push_back(e);
    return out;
  }
  // A file of these bytes in the test's own folder.
  std::string WriteFile(const std::string& name, const Bytes& bytes) { return dir.File(name, bytes).string(); }

  test::TempDir dir{"lumaset-net"};
  test::RecordingTarget target;
  test::RecordingOperator op;
  int refreshes = 0;
  CNetworkLink link;
};

TEST(NearestRate, PicksTheClosestTableRateWithinReach) {
  EXPECT_EQ(NearestRateIndex(115200), 10);
  EXPECT_EQ(NearestRateIndex(9600), 5);
  EXPECT_EQ(NearestRateIndex(0), 0);
  EXPECT_EQ(NearestRateIndex(100000), 0);     // nothing within 9600
  EXPECT_EQ(NearestRateIndex(110000), 10);
  EXPECT_EQ(NearestRateIndex(12000), 5);      // 9600 and 14400 tie: the lower index
  EXPECT_EQ(NearestRateIndex(0xFFFFFFFFu), 0);
}

TEST_F(NetworkLinkTest, ConnectsByAddressOrNameAndDescribesItself) {
  TcpHost host;
  CNetworkLink fresh;
  EXPECT_EQ(fresh.Disconnect(), 1);  // never connected: only the text changes
  EXPECT_EQ(fresh.GetDescription(), "Not connected");

  auto c = Connect(host);
  ASSERT_TRUE(c);
  EXPECT_EQ(link.IsOpen(), 1);
  const std::string text = "Connected - host 127.0.0.1, port " + std::to_string(host.Port());
  EXPECT_EQ(link.GetDescription(), text);
  EXPECT_EQ(link.Open(1), 1);  // connected already: no second connection
  EXPECT_FALSE(host.Accept(200));
  link.Describe();
  EXPECT_EQ(link.GetDescription(), text);

  EXPECT_EQ(link.Disconnect(), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.GetDescription(), "Not connected");
  EXPECT_TRUE(c->Read(1, 1000).empty());  // the host sees the end

  link.SetRemoteHost("localhost");
  ASSERT_EQ(link.Open(1), 1);
  EXPECT_TRUE(host.Accept());
  EXPECT_NE(link.GetDescription().find("host localhost, port"), std::string::npos);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, FailedConnectsSayWhyAndLeaveTheLinkDown) {
  const std::string failed = platform::LoadString(res::kStrNetConnectFailed);
  const uint16_t closed = ClosedPort();
  UseHost("127.0.0.1", closed);
  EXPECT_EQ(link.Open(1), 0);
  // The reason, then which host and port.
  EXPECT_TRUE(op.Shown(failed + "\n\nHost: 127.0.0.1, port " + std::to_string(closed)));
  EXPECT_EQ(link.IsOpen(), 0);
  op.Clear();
  UseHost("", 12345);
  EXPECT_EQ(link.Open(1), 0);
  EXPECT_TRUE(op.Shown(failed + "\n\nHost: , port 12345"));
  // Without a socket object the operations have nothing to work on.
  uint8_t b[4];
  EXPECT_EQ(link.Write("x", 1), 0);
  EXPECT_EQ(link.ReadAvailable(b, 4), 0);
  EXPECT_EQ(link.ReadCount(b, 1, nullptr), 0);
  EXPECT_EQ(link.SendCommand(3, 0), 0);
}

TEST_F(NetworkLinkTest, AConnectThatHangsKeepsTheLoopRunningAndEnds) {
  // A listener whose queue is full drops further connection requests, so a
  // connect to it stays pending.
  TcpHost host(0);
  int filler = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(host.Port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  PumpFor(50);

  UseHost("127.0.0.1", host.Port());
  link.SetConnectTimeoutMs(1500);
  bool timerRan = false;
  QTimer::singleShot(100, [&] { timerRan = true; });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Open(1), 0); });
  EXPECT_TRUE(timerRan);
  EXPECT_GE(ms, 1400);
  EXPECT_LT(ms, 6000);
  EXPECT_TRUE(op.Shown(platform::LoadString(res::kStrNetConnectFailed) + "\n\nHost: 127.0.0.1, port " +
                      std::to_string(host.Port())));

  // The operator's disconnect during the wait ends it quietly.
  op.Clear();
  link.SetConnectTimeoutMs(20000);
  QTimer::singleShot(100, [&] { link.Disconnect(); });
  ms = TimeMs([&] { EXPECT_EQ(link.Open(1), 0); });
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_EQ(link.IsOpen(), 0);
  close(filler);
}

TEST_F(NetworkLinkTest, DataArrivedIsAnnouncedOncePerArrivalAndAfterPartialReads) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  c->Write({'a', 'b', 'c'});
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 1; }, 2000));
  c->Write({'d', 'e'});  // more while bytes wait: no second notice
  PumpFor(200);
  EXPECT_EQ(DataEvents(), 1u);
  EXPECT_EQ(link.InputQueueCount(), 0);  // no driver queue over TCP

  uint8_t buf[1024];
  EXPECT_EQ(link.ReadAvailable(buf, 2), 2);  // bytes left waiting: announced again
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 2; }, 2000));
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{'c', 'd', 'e'}));
  PumpFor(200);
  EXPECT_EQ(DataEvents(), 2u);  // nothing waits: nothing announced
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 0);
  EXPECT_EQ(link.ReadAvailable(nullptr, 10), 0);

  c->Write({'f'});
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 3; }, 2000));
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 1);

  // A reply that a caller awaits is not announced.
  host.Run([&] {
    if (c->AnswerProbe() && c->Expect(3)) c->Write({'o', 'k'});
  });
  ASSERT_EQ(link.SendCommand(3, 1), 1);
  host.Join();
  PumpFor(300);
  EXPECT_EQ(DataEvents(), 3u);
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 2);
  // The awaiting flag went with that reply: the next bytes are announced.
  c->Write({'g'});
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 4; }, 2000));
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, ResetByTheHostDisconnectsButAnOrderlyCloseDoesNot) {
  {
    TcpHost host;
    auto c = Connect(host);
    ASSERT_TRUE(c);
    c->Reset();
    ASSERT_TRUE(PumpUntil([&] { return link.IsOpen() == 0; }, 3000));
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(link.GetDescription(), "Not connected");
    EXPECT_EQ(DataEvents(), 0u);
    // The view is told why, once.
    PumpFor(200);
    ASSERT_EQ(target.Count(LE_PORT_GONE), 1u);
    EXPECT_EQ(target.Events().back().code, LE_PORT_GONE);
    EXPECT_EQ(target.Events().back().value, static_cast<uint32_t>(ECONNRESET));
  }
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  c->Write({'z'});
  c->CloseOrderly();
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 1; }, 2000));
  uint8_t buf[16];
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 1);
  PumpFor(300);
  EXPECT_EQ(link.IsOpen(), 1);  // still counted as connected
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(DataEvents(), 1u);
  EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);  // only the reset's
  EXPECT_EQ(link.Open(1), 1);
  // The next command's probe gets no answer; sending to the closed
  // connection must not end the program.
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(op.Boxes().back().text.rfind(platform::LoadString(res::kStrNetProbeFailed), 0), 0u);
  PumpFor(200);
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_EQ(link.Disconnect(), 1);
  EXPECT_EQ(link.IsOpen(), 0);
}

TEST_F(NetworkLinkTest, CommandsGoOutAfterAnAnsweredProbe) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  Bytes clock;
  host.Run([&] {
    if (c->AnswerProbe() && c->Expect(kCmdSetClock)) clock = c->Read(7, 3000);
  });
  EXPECT_EQ(link.SendCommand(kCmdSetClock, 0), 1);
  host.Join();
  ASSERT_EQ(clock.size(), 7u);
  const platform::LocalTime now = platform::Now();
  EXPECT_EQ(clock[0], ((now.year % 100) / 10) << 4 | (now.year % 10));  // packed BCD year

  // A wrong answer, and no answer: the command is not sent.
  Bytes after;
  host.Run([&] {
    c->AnswerProbe(0x0E);
    after = c->Drain(300);
  });
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  host.Join();
  EXPECT_TRUE(after.empty());
  // It names the host it asked.
  EXPECT_TRUE(op.Shown(platform::LoadString(res::kStrNetProbeFailed) + "\n\nHost: 127.0.0.1, port " +
                      std::to_string(host.Port())));
  op.Clear();
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Probe(1), 0); });
  EXPECT_GE(ms, 450);  // 50 polls of one byte
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(op.Boxes().size(), 1u);
  EXPECT_EQ(c->Read(kProbeLength, 1000), CommandBytes(kCmdProbe));
  EXPECT_EQ(link.SendCommand(99, 0), 0);  // not in the table
}

// The host prints around its answer: the probe takes the text before it and
// leaves the text after it to the view.
TEST_F(NetworkLinkTest, TheProbeHearsTheAnswerAmongTheHostsText) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  const std::string line = "OK 12:00:01 uptime 3 s\r\n";
  const Bytes before(line.begin(), line.end());
  const Bytes after = {0xD4, 0xCB, 0xD0, 0xD0, ' ', '3', '\r', '\n'};  // "运行 3" in code page 936
  // Text that was already waiting before the probe, and text around the answer.
  c->Write(before);
  host.Run([&] {
    if (c->Read(kProbeLength, 8000) != CommandBytes(kCmdProbe)) return;
    c->Write(before);
    c->Write({kProbeAnswer});
    c->Write(after);
  });
  EXPECT_EQ(link.Probe(1), 1);
  host.Join();
  EXPECT_TRUE(op.Boxes().empty());
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 1; }, 2000));
  uint8_t buf[64];
  const int n = link.ReadAvailable(buf, sizeof buf);
  EXPECT_EQ(Bytes(buf, buf + n), after);

  // Text and a wrong answer; text and no answer at all.
  host.Run([&] {
    if (c->Read(kProbeLength, 8000) != CommandBytes(kCmdProbe)) return;
    c->Write(before);
    c->Write({0x0E});
  });
  EXPECT_EQ(link.Probe(1), 0);
  host.Join();
  host.Run([&] {
    if (c->Read(kProbeLength, 8000) == CommandBytes(kCmdProbe)) c->Write(before);
  });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Probe(1), 0); });
  host.Join();
  EXPECT_GE(ms, 450);
  EXPECT_EQ(op.Boxes().size(), 2u);
}

TEST_F(NetworkLinkTest, ReadCountGivesUpWhenTooFewBytesCome) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  c->Write({1, 2, 3, 4, 5, 6, 7});
  uint8_t buf[8];
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.ReadCount(buf, 8, nullptr), 0); });
  EXPECT_GE(ms, 3500);  // 400 polls, 10 ms apart
  EXPECT_LT(ms, 9000);
  // Nobody awaits a reply any more: the seven bytes are announced.
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 1; }, 2000));
  c->Write({8});
  EXPECT_EQ(link.ReadCount(buf, 8, nullptr), 8);
  EXPECT_EQ(buf[7], 8);
}

TEST_F(NetworkLinkTest, RawFileOf512BytesGoesOutInOneBlockWithItsEvents) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  Bytes content(512);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  const std::string path = WriteFile("net_raw512.bin", content);
  Bytes got;
  host.Run([&] {
    got = c->Read(512, 5000);
    c->Write(kAck);
  });
  int64_t ms = TimeMs([&] {
    ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
    EXPECT_EQ(link.WaitPerBlock(), 256);
    ASSERT_TRUE(WaitEvent(LE_SEND_DONE, 6000));
  });
  host.Join();
  EXPECT_EQ(got, content);
  // Pause, block, 500 ms, pause, closing answer.
  EXPECT_GE(ms, 1000);
  auto events = target.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].code, LE_STATUS);
  EXPECT_EQ(events[0].value, LS_DOWNLOAD_DATA);
  EXPECT_EQ(events[1].code, LE_PROGRESS_FLAG | 1000u);
  EXPECT_EQ(events[1].value, 512u);
  EXPECT_EQ(events[2].code, LE_SEND_DONE);
  EXPECT_EQ(events[2].value, 512u);
  EXPECT_EQ(link.IsTransferring(), 0);
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);

  // An empty file waits only for the answer; a wrong answer fails it.
  target.Clear();
  const std::string empty = WriteFile("net_empty.bin", {});
  host.Run([&] {
    platform::SleepMs(150);  // inside the pause, after the start has drained the socket
    c->Write({1, 2, 3, 4, 5, 6, 7, 8});
  });
  ASSERT_EQ(link.SendRawFile(empty.c_str()), 1);
  ASSERT_TRUE(WaitEvent(LE_FAILED, 6000));
  host.Join();
  events = target.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].code, LE_FAILED);
  EXPECT_EQ(events[1].value, LS_VERIFY_FAILED);
  EXPECT_EQ(link.LastTransferExitCode(), LS_VERIFY_FAILED);

  // A file that cannot be read starts nothing.
  EXPECT_EQ(link.SendRawFile("/nonexistent/file.bin"), 0);
  EXPECT_EQ(op.Boxes().size(), 1u);
}

TEST_F(NetworkLinkTest, BytesDuringATransferWaitForTheRearm) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  const std::string path = WriteFile("net_raw2048.bin", Bytes(2048, 0x55));
  std::atomic<bool> answered{false};
  host.Run([&] {
    if (c->Read(512, 5000).size() == 512) c->Write({'h', 'i'});
    answered = true;
    c->Drain(3000);
  });
  ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }, 5000));
  PumpFor(100);
  EXPECT_EQ(link.IsTransferring(), 1);
  // Commands are refused meanwhile, and so is a second start.
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(link.SendRawFile(path.c_str()), 0);
  EXPECT_EQ(op.Boxes().size(), 2u);
  EXPECT_EQ(link.Probe(1), 0);
  EXPECT_EQ(op.Boxes().size(), 2u);  // the probe refuses quietly

  int64_t ms = TimeMs([&] { link.StopTransfer(); });
  EXPECT_LT(ms, 2000);
  ASSERT_TRUE(WaitEvent(LE_FAILED, 2000));
  EXPECT_EQ(target.Events().back().value, LS_CANCELLED);
  PumpFor(300);
  EXPECT_EQ(DataEvents(), 0u);
  link.RearmReceive();
  ASSERT_TRUE(PumpUntil([&] { return DataEvents() == 1; }, 2000));
  uint8_t buf[16];
  EXPECT_EQ(link.ReadAvailable(buf, sizeof buf), 2);
  link.Disconnect();
  host.Join();
}

// The host side of an image download: rate query, announcement, frame.
struct ImageHost {
  ImageHost(std::optional<Bytes> rate, size_t length, int announceIndex = kCmdAnnounceUser)
      : rateAnswer(std::move(rate)), frameLength(length), announce(announceIndex) {}
  std::optional<Bytes> rateAnswer;  // nothing: the query goes unanswered
  size_t frameLength;               // 0: stop after acknowledging the announcement
  int announce;
  bool reconnect = false;  // the data comes on a new connection
  Bytes frame;
  bool announced = false;

  void Play(TcpHost& host, Conn& c) {
    if (!c.AnswerProbe() || !c.Expect(kCmdQueryRate)) return;
    if (rateAnswer) c.Write(*rateAnswer);
    if (!c.AnswerProbe() || !c.Expect(announce)) return;
    announced = true;
    c.Write(kAck);
    if (frameLength == 0) return;
    std::unique_ptr<Conn> next;
    Conn* data = &c;
    if (reconnect) {
      next = host.Accept(5000);
      if (!next) return;
      data = next.get();
    }
    frame = data->Read(frameLength, 5000);
    data->Write(kAck);
    data->Drain(500);
  }
};

TEST_F(NetworkLinkTest, UserProgramDownloadEndToEnd) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  link.SetUserProgramPath(WriteFile("net_user.pgu", {0x01, 0x02, 0x04}).c_str());
  ImageHost script{Bytes{0x00, 0xC2, 0x01, 0x00}, 9};  // 115200
  host.Run([&] { script.Play(host, *c); });
  ASSERT_EQ(link.SendUserProgram(1), 1);
  EXPECT_EQ(link.WaitPerBlock(), 256);
  ASSERT_TRUE(WaitEvent(LE_SEND_DONE, 6000));
  host.Join();
  EXPECT_EQ(script.frame, (Bytes{0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x04, 0x88, 0x8F}));
  auto events = TransferEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].code, LE_STATUS);
  EXPECT_EQ(events[1].code, LE_PROGRESS_FLAG | 1000u);
  EXPECT_EQ(events[2].value, 9u);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, DownloadModeOneReconnectsForTheData) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  LinkSettings s;
  link.GetSettings(&s);
  s.rate = 9600;
  link.ApplySettings(&s);
  ASSERT_EQ(link.Open(1), 1);
  c = host.Accept();
  ASSERT_TRUE(c);
  link.SetSystemProgramPath(WriteFile("net_sys.pgs", {0x10, 0x20}).c_str());
  link.SetDownloadMode(1);
  ImageHost script{Bytes{0x00, 0xC2, 0x01, 0x00}, 8, kCmdAnnounceSystem};
  script.reconnect = true;
  host.Run([&] { script.Play(host, *c); });
  ASSERT_EQ(link.SendSystemProgram(), 1);
  ASSERT_TRUE(WaitEvent(LE_SEND_DONE, 8000));
  host.Join();
  EXPECT_EQ(script.frame, (Bytes{0x03, 0x00, 0x00, 0x00, 0x10, 0x20, 0x00, 0x30}));
  link.GetSettings(&s);
  EXPECT_EQ(s.rate, 115200u);
  EXPECT_EQ(link.TimePerByte(), 1);
}

TEST_F(NetworkLinkTest, TheReportedRateSetsThePauseBetweenBlocks) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  link.SetUserProgramPath(WriteFile("net_rate.pgu", Bytes(100, 0xAA)).c_str());
  struct Case {
    std::optional<Bytes> answer;
    int pause;
  };
  const Case cases[] = {
      {Bytes{0x80, 0x25, 0x00, 0x00}, 3072},  // 9600
      {Bytes{0x00, 0x00, 0x00, 0x00}, 98304},  // 0
      {Bytes{0x80, 0x25}, 512},                // too short: 2000 ms, then index 9
  };
  for (const Case& k : cases) {
    target.Clear();
    ImageHost script{k.answer, 0};
    host.Run([&] { script.Play(host, *c); });
    int64_t ms = TimeMs([&] { ASSERT_EQ(link.SendUserProgram(0), 1); });
    host.Join();
    EXPECT_TRUE(script.announced);
    EXPECT_EQ(link.WaitPerBlock(), k.pause);
    if (k.answer->size() < 4) {
      EXPECT_GE(ms, 2000 + 1500);  // the short answer's wait, then the 2000 ms sleep
    }
    // Cancelled during the first pause: nothing of the frame has gone out.
    link.StopTransfer();
    ASSERT_TRUE(WaitEvent(LE_FAILED, 2000));
    EXPECT_EQ(target.Events().back().value, LS_CANCELLED);
    EXPECT_TRUE(c->Drain(100).empty());
  }
}

TEST_F(NetworkLinkTest, AnUnacknowledgedAnnouncementStartsNothing) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  link.SetUserProgramPath(WriteFile("net_noack.pgu", {1}).c_str());
  host.Run([&] {
    if (!c->AnswerProbe() || !c->Expect(kCmdQueryRate)) return;
    c->Write({0x00, 0xC2, 0x01, 0x00});
    if (c->AnswerProbe() && c->Expect(kCmdAnnounceUser)) c->Write({0xE7, 0xA8, 0xB6, 0xCE, 0x4E, 0x4F, 0x0D, 0x0A});
  });
  EXPECT_EQ(link.SendUserProgram(1), 0);
  host.Join();
  PumpFor(300);
  EXPECT_EQ(link.IsTransferring(), 0);
  EXPECT_TRUE(TransferEvents().empty());
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, NoBaudSearchAndNoTouchPanelDownloadOverTcp) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  const std::string path = WriteFile("net_touch.tps", Bytes(64, 1));
  EXPECT_EQ(link.SendFileWithHandshake(path.c_str()), 0);
  EXPECT_EQ(link.StartBaudSearch(1), 1);
  EXPECT_EQ(link.IsSearching(), 0);
  PumpFor(300);
  EXPECT_EQ(target.Count(LE_BAUD_TRYING), 0u);
  EXPECT_TRUE(target.Events().empty());
  EXPECT_TRUE(c->Drain(100).empty());
  EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(NetworkLinkTest, WithTheFlagClearTheSerialLinkAnswers) {
  platform::SetComPortPath(250, "/nonexistent/lumaset-test-port");
  LinkSettings s;
  s.port = 250;
  link.ApplySettings(&s);
  link.SetRemoteHost("127.0.0.1");
  EXPECT_EQ(link.Open(1), 0);
  EXPECT_TRUE(op.Shown(platform::LoadString(res::kStrPortMissing) + "\n\nPort: COM 250 (/nonexistent/lumaset-test-port)"));
  EXPECT_EQ(link.Disconnect(), 1);
  EXPECT_EQ(link.GetDescription(), "Not connected");
  link.Describe();
  EXPECT_EQ(link.GetDescription(), "Not connected");
  platform::SetComPortPath(250, "");
}

TEST_F(NetworkLinkTest, AStopWhenTheClosingAnswerHasComeLeavesTheSuccess) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  const std::string path = WriteFile("net_ack_stop.bin", Bytes(10, 0x42));
  // The host answers the last block at once; the stop comes while the link
  // still sleeps after that block, with all eight bytes waiting.
  std::atomic<bool> answered{false};
  host.Run([&] {
    if (c->Read(10, 5000).size() == 10) c->Write(kAck);
    answered = true;
  });
  ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }, 5000));
  host.Join();
  PumpFor(50);
  EXPECT_EQ(link.IsTransferring(), 1);
  int64_t ms = TimeMs([&] { link.StopTransfer(); });
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
  ASSERT_EQ(target.Count(LE_SEND_DONE), 1u);
  EXPECT_EQ(target.Events().back().value, 10u);
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);

  // Only part of the answer when the stop comes: cancelled, without waiting
  // out the four seconds of the closing read.
  target.Clear();
  answered = false;
  host.Run([&] {
    if (c->Read(10, 5000).size() == 10) c->Write(Bytes(kAck.begin(), kAck.begin() + 5));
    answered = true;
  });
  ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
  ASSERT_TRUE(PumpUntil([&] { return answered.load(); }, 5000));
  host.Join();
  PumpFor(50);
  ms = TimeMs([&] { link.StopTransfer(); });
  EXPECT_LT(ms, 2000);
  ASSERT_EQ(target.Count(LE_FAILED), 1u);
  EXPECT_EQ(target.Events().back().value, LS_CANCELLED);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, AHostThatResetsDuringTheDataFailsTheWrite) {
  TcpHost host;
  const std::string path = WriteFile("net_reset.bin", Bytes(4096, 0x5A));
  // With the event loop running, as in the program: the reset is seen on
  // this thread too, which disconnects the link while the transfer pauses.
  {
    auto c = Connect(host);
    ASSERT_TRUE(c);
    host.Run([&] {
      if (c->Read(512, 5000).size() == 512) c->Reset();
    });
    ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
    ASSERT_TRUE(WaitEvent(LE_PORT_GONE, 8000));
    host.Join();
    // The transfer's failure, then why the connection went.
    const auto events = TransferEvents();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].code, LE_FAILED);
    EXPECT_EQ(events[events.size() - 2].value, LS_WRITE_FAILED);
    EXPECT_EQ(events.back().value, static_cast<uint32_t>(ECONNRESET));
    EXPECT_EQ(link.LastTransferExitCode(), LS_WRITE_FAILED);
    EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
    EXPECT_TRUE(PumpUntil([&] { return link.IsOpen() == 0; }, 2000));
    EXPECT_EQ(refreshes, 1);
  }
  // Without the loop the thread's own send meets the reset first.
  target.Clear();
  auto c = Connect(host);
  ASSERT_TRUE(c);
  host.Run([&] {
    if (c->Read(512, 5000).size() == 512) c->Reset();
  });
  ASSERT_EQ(link.SendRawFile(path.c_str()), 1);
  ASSERT_TRUE(target.WaitFor(LE_FAILED, 8000));
  host.Join();
  EXPECT_EQ(target.Events().back().value, LS_WRITE_FAILED);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(NetworkLinkTest, FilesThatAreNotRegularAreRefusedByNameBeforeAnythingIsSent) {
  TcpHost host;
  auto c = Connect(host);
  ASSERT_TRUE(c);
  const std::string fifo = (dir.Path() / "pipe.pgu").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto refusal = [](const std::string& path) {
    std::string text = platform::LoadString(res::kStrNotRegularFile);
    return text.replace(text.find("%1"), 2, path);
  };
  for (const std::string& path : {fifo, dir.Path().string(), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    op.Clear();
    test::FifoGuard guard(fifo);
    EXPECT_EQ(link.SendRawFile(path.c_str()), 0);
    link.SetUserProgramPath(path.c_str());
    EXPECT_EQ(link.SendUserProgram(1), 0);
    EXPECT_FALSE(guard.Fired()) << "a send waited on the FIFO";
    ASSERT_EQ(op.Boxes().size(), 2u);
    EXPECT_EQ(op.Boxes()[0].text, refusal(path));
    EXPECT_EQ(op.Boxes()[1].text, refusal(path));
  }
  // Not even the probe of the image's announcement went out.
  EXPECT_TRUE(c->Drain(200).empty());
  EXPECT_TRUE(target.Events().empty());
  EXPECT_EQ(link.IsTransferring(), 0);
}

// ---- host-name lookups that take their time ---------------------------------

// A name server on 127.0.0.1:53, for a network namespace of the test's own.
// It answers every A query with 127.0.0.1 after delayMs (other types with no
// address), or, with a delay below 0, holds the queries until Release() and
// then answers that the name does not exist.
class SlowNameServer {
 public:
  explicit SlowNameServer(int delayMs) : delayMs_(delayMs) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listening_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    thread_ = std::thread([this] { Loop(); });
  }
  ~SlowNameServer() {
    stop_.Set();
    thread_.join();
    close(fd_);
  }
  bool Listening() const { return listening_; }
  int Queries() const { return queries_; }
  void Release() { release_.Set(); }

 private:
  struct Query {
    Bytes bytes;
    sockaddr_in from;
  };

  static Bytes Answer(const Bytes& q, bool released) {
    size_t at = 12;  // after the header: the question's name, type, class
    while (at < q.size() && q[at] != 0) at += q[at] + 1u;
    at += 5;
    if (q.size() < 12 || at > q.size()) return {};
    const bool typeA = q[at - 4] == 0 && q[at - 3] == 1;
    const bool address = !released && typeA;
    Bytes r(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(at));
    r[2] = static_cast<uint8_t>(0x84 | (q[2] & 0x79));  // answer, authoritative; opcode and RD kept
    r[3] = released ? 0x83 : 0x80;                      // recursion available; no such name
    r[6] = 0, r[7] = address ? 1 : 0;
    r[8] = r[9] = r[10] = r[11] = 0;
    if (address) {
      const Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
      r.insert(r.end(), record.begin(), record.end());
    }
    return r;
  }
  void Send(const Query& q, bool released) {
    const Bytes r = Answer(q.bytes, released);
    sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&q.from), sizeof q.from);
  }
  void Loop() {
    std::vector<Query> held;
    while (!stop_.IsSet()) {
      std::vector<pollfd> fds{{stop_.Fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
      if (!held.empty()) fds.push_back({release_.Fd(), POLLIN, 0});
      if (platform::PollFor(fds, 1000) <= 0 || fds[0].revents) continue;
      if (fds.size() > 2 && fds[2].revents) {
        for (const Query& q : held) Send(q, true);
        held.clear();
      }
      if (!fds[1].revents) continue;
      Query q{Bytes(512), {}};
      socklen_t length = sizeof q.from;
      const ssize_t n = recvfrom(fd_, q.bytes.data(), q.bytes.size(), 0, reinterpret_cast<sockaddr*>(&q.from), &length);
      if (n <= 0) continue;
      q.bytes.resize(static_cast<size_t>(n));
      ++queries_;
      if (delayMs_ < 0 && !release_.IsSet()) {
        held.push_back(std::move(q));
      } else {
        if (delayMs_ > 0 && stop_.Wait(delayMs_)) break;
        Send(q, delayMs_ < 0);
      }
    }
  }

  const int delayMs_;
  int fd_ = -1;
  bool listening_ = false;
  std::atomic<int> queries_{0};
  platform::Event stop_, release_;
  std::thread thread_;
};

constexpr char kSlowName[] = "slow-host.lumaset.test";

// Runs in a child of the test in new mount and network namespaces (see
// SlowHostLookup below): there /etc/resolv.conf names the server above, so
// the system's own resolver takes as long as that server does. Refuses to
// run anywhere else, since it mounts over /etc/resolv.conf.
class DISABLED_InOwnNetNamespace : public NetworkLinkTest {
 protected:
  // Once for the child process: the namespaces end with it.
  static void SetUpTestSuite() {
    ASSERT_STREQ(std::getenv("LUMASET_TEST_NETNS"), "1") << "runs only inside its own namespaces";
    // A fresh network namespace has the loopback interface only.
    struct if_nameindex* names = if_nameindex();
    ASSERT_TRUE(names);
    int count = 0;
    bool onlyLo = true;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n, ++count)
      onlyLo = onlyLo && std::strcmp(n->if_name, "lo") == 0;
    if_freenameindex(names);
    ASSERT_TRUE(onlyLo && count == 1) << "not in a network namespace of its own";
    // Bring the loopback interface up.
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq up{};
    std::strcpy(up.ifr_name, "lo");
    ASSERT_EQ(ioctl(s, SIOCGIFFLAGS, &up), 0);
    up.ifr_flags = static_cast<short>(up.ifr_flags | IFF_UP);
    ASSERT_EQ(ioctl(s, SIOCSIFFLAGS, &up), 0);
    close(s);
    // Without /etc/resolv.conf the resolver asks 127.0.0.1 anyway.
    if (access("/etc/resolv.conf", F_OK) == 0) {
      folder_ = new test::TempDir("lumaset-netns");
      const std::string text = "nameserver 127.0.0.1\noptions timeout:10 attempts:1\n";
      const std::string conf = folder_->File("resolv.conf", Bytes(text.begin(), text.end())).string();
      ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
      ASSERT_EQ(mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
      mounted_ = true;
    }
    ready_ = true;
  }
  static void TearDownTestSuite() {
    if (mounted_) umount("/etc/resolv.conf");
    delete folder_;
    folder_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(ready_);
    NetworkLinkTest::SetUp();
  }

  static inline test::TempDir* folder_ = nullptr;
  static inline bool mounted_ = false;
  static inline bool ready_ = false;
};

TEST_F(DISABLED_InOwnNetNamespace, ADisconnectEndsASlowLookupWithoutAMessage) {
  SlowNameServer dns(-1);
  ASSERT_TRUE(dns.Listening());
  UseHost(kSlowName, ClosedPort());
  link.SetConnectTimeoutMs(20000);
  int queriesSeen = 0;
  QTimer::singleShot(400, [&] {
    queriesSeen = dns.Queries();
    link.Disconnect();
  });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Open(1), 0); });
  EXPECT_GE(queriesSeen, 1) << "the lookup did not wait on the name server";
  EXPECT_LT(ms, 3000);
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.GetDescription(), "Not connected");
  dns.Release();  // the abandoned lookup ends
  PumpFor(300);
}

TEST_F(DISABLED_InOwnNetNamespace, ASlowAnswerConnectsWhileTheLoopRuns) {
  SlowNameServer dns(600);
  ASSERT_TRUE(dns.Listening());
  TcpHost host;
  UseHost(kSlowName, host.Port());
  bool timerRan = false;
  QTimer::singleShot(100, [&] { timerRan = true; });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Open(1), 1); });
  EXPECT_GE(ms, 500);
  EXPECT_TRUE(timerRan);
  EXPECT_TRUE(host.Accept());
  EXPECT_NE(link.GetDescription().find(std::string("host ") + kSlowName), std::string::npos);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(DISABLED_InOwnNetNamespace, ALookupPastTheBoundFailsTheConnect) {
  SlowNameServer dns(-1);
  ASSERT_TRUE(dns.Listening());
  const uint16_t closed = ClosedPort();
  UseHost(kSlowName, closed);
  link.SetConnectTimeoutMs(1000);
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Open(1), 0); });
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 5000);
  EXPECT_GE(dns.Queries(), 1);
  EXPECT_TRUE(op.Shown(platform::LoadString(res::kStrNetConnectFailed) + "\n\nHost: " + kSlowName + ", port " +
                      std::to_string(closed)));
  dns.Release();
  PumpFor(300);
}

// The lookups above need a name server that takes its time. The machine's own
// cannot be made slow, so they run in a child of this test that has mount and
// network namespaces of its own: its lookups reach only a server on its own
// loopback interface.
TEST(SlowHostLookup, RunsInNamespacesOfItsOwn) {
  const std::string unshare = "/usr/bin/unshare";
  if (access(unshare.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << unshare;
  std::vector<std::string> base = {unshare};
  if (geteuid() != 0) base.insert(base.end(), {"--user", "--map-root-user"});
  base.insert(base.end(), {"--mount", "--net", "--"});
  {
    std::vector<std::string> probe = base;
    probe.push_back("/bin/true");
    test::ChildProcess child(probe);
    if (child.Wait(10000) != 0) GTEST_SKIP() << "no mount and network namespaces here";
  }
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  test::TempDir dir("lumaset-netns");
  const std::string report = (dir.Path() / "inner.json").string();
  std::vector<std::string> args = base;
  args.insert(args.end(), {self, "--gtest_also_run_disabled_tests", "--gtest_filter=DISABLED_InOwnNetNamespace.*",
                           "--gtest_output=json:" + report});
  test::ChildProcess::Options options;
  options.env = {{"LUMASET_TEST_NETNS", "1"}};
  test::ChildProcess child(args, options);
  EXPECT_EQ(child.Wait(120000), 0);
  const std::string json = test::ReadFileText(report);
  EXPECT_NE(json.find("\"tests\": 3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"failures\": 0,"), std::string::npos) << json;
}

TEST_F(NetworkLinkTest, DownloadAgainstTheHostSimulator) {
  if (access(test::BuiltProgram("lumaset-hostsim").c_str(), X_OK) != 0) GTEST_SKIP() << "lumaset-hostsim is not built";
  test::HostSimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Started());
  UseHost("127.0.0.1", static_cast<uint32_t>(std::stoi(test::JsonField(sim.Ready(), "port"))));
  ASSERT_EQ(link.Open(1), 1);
  link.SetUserProgramPath(WriteFile("net_sim.pgu", {0x01, 0x02, 0x04}).c_str());
  ASSERT_EQ(link.SendUserProgram(1), 1);
  EXPECT_EQ(link.WaitPerBlock(), 256);  // the simulator reports 115200
  ASSERT_TRUE(WaitEvent(LE_SEND_DONE, 8000));
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
  PumpUntil([&] { return !sim.ReceivedFiles("-user.pgu").empty(); }, 3000);
  ASSERT_EQ(sim.ReceivedFiles("-user.pgu").size(), 1u);
  EXPECT_EQ(sim.Received("-user.pgu"), (Bytes{0x01, 0x02, 0x04}));
  link.Disconnect();
}

}  // namespace
}  // namespace lumaset
