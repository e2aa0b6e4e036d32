// The serial device on a pseudo-terminal: exclusive use, purges against the
// reader thread, and the event history of line events; and behind a device
// server scripted on a loopback port: the telnet layer, rate confirmation,
// purges, modem state, pacing, a dropped or refused connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
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

// ---- a port behind a device server ------------------------------------------------

namespace lumaset::platform {
namespace {

constexpr uint8_t kIac = 0xFF, kSb = 0xFA, kSe = 0xF0, kWill = 0xFB, kDo = 0xFD, kComPort = 44;

// A device server scripted on a loopback port: it agrees to the
// COM-PORT-OPTION and answers each COM-PORT command as `answer` says (the
// answer's payload, or nothing), after `answerDelayMs`. It keeps the data it
// received (telnet unescaped), the raw bytes, and the commands with the time
// each came.
class ScriptedServer {
 public:
  using Answer = std::function<std::optional<Bytes>(uint8_t command, const Bytes& value)>;
  explicit ScriptedServer(Answer answer = EchoAnswer) : answer_(std::move(answer)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    stop_.Set();
    thread_.join();
    if (client_ >= 0) ::close(client_);
    ::close(listener_);
  }
  // The server answers a SET-* command with the value asked for.
  static std::optional<Bytes> EchoAnswer(uint8_t, const Bytes& value) { return value; }

  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
  void SetAnswerDelay(int ms) { answerDelayMs_ = ms; }
  // Sends raw bytes to the client.
  void Send(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    if (client_ >= 0) ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void Disconnect() {
    std::lock_guard<std::mutex> guard(lock_);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
  }
  Bytes Data() const {
    std::lock_guard<std::mutex> guard(lock_);
    return data_;
  }
  Bytes Raw() const {
    std::lock_guard<std::mutex> guard(lock_);
    return raw_;
  }
  struct Command {
    uint8_t command;
    Bytes value;
    int64_t atMs;
    size_t dataBefore;  // data bytes received before it
  };
  std::vector<Command> Commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
  }
  // Waits until `n` data bytes have come.
  bool WaitForData(size_t n, int timeoutMs) const {
    Deadline deadline(timeoutMs);
    while (Data().size() < n && !deadline.Passed()) SleepMs(5);
    return Data().size() >= n;
  }
  // A COM-PORT answer: the command + 100 and its value.
  static Bytes ComPortAnswer(uint8_t command, const Bytes& value) {
    Bytes out = {kIac, kSb, kComPort, static_cast<uint8_t>(command + 100)};
    out.reserve(out.size() + value.size() + 2);
    for (uint8_t b : value) out.push_back(b);
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
  }

 private:
  void Serve() {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
    if (PollFor(fds, 10000) <= 0 || stop_.IsSet()) return;
    {
      std::lock_guard<std::mutex> guard(lock_);
      client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    Send({kIac, kDo, kComPort, kIac, kWill, 0, kIac, kDo, 0});
    Bytes sb;
    enum { kData, kSawIac, kOption, kSub, kSubIac } state = kData;
    for (;;) {
      std::vector<pollfd> wait{{client_, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
      if (PollFor(wait, kInfinite) <= 0 || stop_.IsSet()) return;
      uint8_t chunk[4096];
      const ssize_t k = ::recv(client_, chunk, sizeof chunk, 0);
      if (k <= 0) return;
      for (ssize_t i = 0; i < k; ++i) {
        const uint8_t b = chunk[i];
        {
          std::lock_guard<std::mutex> guard(lock_);
          raw_.push_back(b);
        }
        switch (state) {
          case kData:
            if (b == kIac) state = kSawIac;
            else AddData(b);
            break;
          case kSawIac:
            if (b == kIac) {
              AddData(b);
              state = kData;
            } else if (b == kSb) {
              sb.clear();
              state = kSub;
            } else {
              state = b >= 0xFB ? kOption : kData;
            }
            break;
          case kOption: state = kData; break;
          case kSub:
            if (b == kIac) state = kSubIac;
            else sb.push_back(b);
            break;
          case kSubIac:
            if (b == kSe) {
              OnCommand(sb);
              state = kData;
            } else {
              sb.push_back(b);
              state = kSub;
            }
            break;
        }
      }
    }
  }
  void AddData(uint8_t b) {
    std::lock_guard<std::mutex> guard(lock_);
    data_.push_back(b);
  }
  void OnCommand(const Bytes& sb) {
    if (sb.size() < 2 || sb[0] != kComPort) return;
    const Bytes value(sb.begin() + 2, sb.end());
    {
      std::lock_guard<std::mutex> guard(lock_);
      commands_.push_back({sb[1], value, NowMs(), data_.size()});
    }
    std::optional<Bytes> reply = answer_(sb[1], value);
    if (!reply) return;
    if (answerDelayMs_ > 0) SleepMs(answerDelayMs_);
    Send(ComPortAnswer(sb[1], *reply));
  }

  Answer answer_;
  std::atomic<int> answerDelayMs_{0};
  int listener_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
  Event stop_;
  std::thread thread_;
  mutable std::mutex lock_;
  Bytes data_, raw_;
  std::vector<Command> commands_;
};

constexpr uint8_t kSetBaudRate = 1, kSetControl = 5, kPurgeData = 12, kNotifyModemState = 7;

std::shared_ptr<SerialDevice> OpenServer(const std::string& url, uint32_t rate = 115200, uint8_t eventChar = 0) {
  int error = -1;
  auto device = SerialDevice::Open(url, &error, 3000);
  EXPECT_TRUE(device) << std::strerror(error);
  if (!device) return nullptr;
  LineSettings line;
  line.rate = rate;
  line.eventChar = eventChar;
  EXPECT_EQ(device->Apply(line), 0);
  return device;
}

Bytes RateBytes(uint32_t rate) {
  return {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 8),
          static_cast<uint8_t>(rate)};
}

TEST(DeviceUrl, NamesAServerPortAsPyserialDoes) {
  DeviceUrl url;
  ASSERT_TRUE(ParseDeviceUrl("rfc2217://rack-7.example:2217", &url));
  EXPECT_EQ(url.kind, DeviceUrl::Kind::kRfc2217);
  EXPECT_EQ(url.host, "rack-7.example");
  EXPECT_EQ(url.port, 2217);
  ASSERT_TRUE(ParseDeviceUrl("socket://10.0.0.5:4001?logging=debug", &url));
  EXPECT_EQ(url.kind, DeviceUrl::Kind::kSocket);
  EXPECT_EQ(url.host, "10.0.0.5");
  EXPECT_EQ(url.port, 4001);
  EXPECT_TRUE(IsFixedRateUrl("socket://10.0.0.5:4001"));
  EXPECT_FALSE(IsFixedRateUrl("rfc2217://10.0.0.5:4001"));
  for (const char* bad : {"/dev/ttyUSB0", "rfc2217://host", "rfc2217://host:0", "rfc2217://:2217",
                          "socket://host:65536", "socket://host:12x", "tcp://host:2217"})
    EXPECT_FALSE(IsDeviceUrl(bad)) << bad;
}

// 0xFF is doubled on the wire both ways, CR travels as it is (binary mode:
// never CR NUL), and the event character counts after the unescaping.
TEST(ServerLine, DataCrossesTheTelnetLayerUnchanged) {
  ScriptedServer server;
  auto device = OpenServer(server.Url(), 115200, 0x9F);
  ASSERT_TRUE(device);
  const Bytes out = {0xFF, 0x0D, 0x00, 0x0D, 0x0A, 0x0D, 0x41, 0xFF, 0xFF, 0x9F};
  size_t written = 0;
  ASSERT_EQ(device->Write(out.data(), out.size(), &written, {}, 2000), IoStatus::kOk);
  EXPECT_EQ(written, out.size());
  ASSERT_TRUE(server.WaitForData(out.size(), 2000));
  EXPECT_EQ(server.Data(), out);
  const Bytes raw = server.Raw();
  const Bytes doubled = {0xFF, 0xFF, 0x0D, 0x00, 0x0D, 0x0A, 0x0D, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x9F};
  EXPECT_NE(std::search(raw.begin(), raw.end(), doubled.begin(), doubled.end()), raw.end());

  device->SetEventMask(kEvRxChar | kEvRxFlag);
  server.Send({0xFF, 0xFF, 0x0D, 0x00, 0x0D, 0x41, 0xFF, 0xFF, 0x9F});
  ASSERT_TRUE(device->EventCharEvent().Wait(2000));
  for (int i = 0; i < 100 && device->InputCount() < 7; ++i) SleepMs(10);
  Bytes in(16);
  in.resize(device->Read(in.data(), in.size()));
  EXPECT_EQ(in, (Bytes{0xFF, 0x0D, 0x00, 0x0D, 0x41, 0xFF, 0x9F}));
}

// The rate is asked for, and the call returns only once the server has
// confirmed it, so the next byte goes at the new rate. A server that answers
// with another rate, or not at all, is not used at some other rate: the
// settings fail.
TEST(ServerLine, ARateCountsOnlyOnceTheServerConfirmsIt) {
  {
    ScriptedServer server;
    auto device = OpenServer(server.Url(), 115200);
    ASSERT_TRUE(device);
    server.SetAnswerDelay(300);
    LineSettings line;
    line.rate = 14400;
    const int64_t ms = test::TimeMs([&] { EXPECT_EQ(device->Apply(line), 0); });
    EXPECT_GE(ms, 250);
    const uint8_t byte = 0x55;
    size_t written = 0;
    ASSERT_EQ(device->Write(&byte, 1, &written, {}, 2000), IoStatus::kOk);
    ASSERT_TRUE(server.WaitForData(1, 2000));
    std::vector<ScriptedServer::Command> rates;
    for (const auto& c : server.Commands())
      if (c.command == kSetBaudRate) rates.push_back(c);
    ASSERT_EQ(rates.size(), 2u);
    EXPECT_EQ(rates[1].value, RateBytes(14400));
    EXPECT_EQ(rates[1].dataBefore, 0u);
    // The same settings again ask the server for nothing.
    EXPECT_EQ(device->Apply(line), 0);
    size_t count = 0;
    for (const auto& c : server.Commands()) count += c.command == kSetBaudRate;
    EXPECT_EQ(count, 2u);
  }
  {
    // Another rate in the answer: refused.
    ScriptedServer server([](uint8_t command, const Bytes& value) -> std::optional<Bytes> {
      if (command == kSetBaudRate && value == RateBytes(14400)) return RateBytes(9600);
      return value;
    });
    auto device = OpenServer(server.Url(), 115200);
    ASSERT_TRUE(device);
    LineSettings line;
    line.rate = 14400;
    EXPECT_EQ(device->Apply(line), kSettingsNotConfirmed);
  }
  {
    // No answer to the rate: the wait has its bound.
    ScriptedServer server([](uint8_t command, const Bytes& value) -> std::optional<Bytes> {
      if (command == kSetBaudRate) return std::nullopt;
      return value;
    });
    int error = 0;
    auto device = SerialDevice::Open(server.Url(), &error, 3000);
    ASSERT_TRUE(device);
    const int64_t ms = test::TimeMs([&] { EXPECT_EQ(device->Apply(LineSettings{}), kSettingsNotConfirmed); });
    EXPECT_GE(ms, 800);
    EXPECT_LT(ms, 3000);
  }
}

// A server that never answers SET-CONTROL (DTR, RTS, flow control) holds a
// request for a while only, and the next one not at all.
TEST(ServerLine, UnansweredModemLineRequestsAreNotWaitedForLong) {
  ScriptedServer server([](uint8_t command, const Bytes& value) -> std::optional<Bytes> {
    if (command == kSetControl) return std::nullopt;
    return value;
  });
  int error = 0;
  auto device = SerialDevice::Open(server.Url(), &error, 3000);
  ASSERT_TRUE(device);
  EXPECT_LT(test::TimeMs([&] { EXPECT_EQ(device->Apply(LineSettings{}), 0); }), 1500);
  EXPECT_LT(test::TimeMs([&] { device->DropDtrRts(); }), 100);
  size_t controls = 0;
  for (const auto& c : server.Commands()) controls += c.command == kSetControl;
  EXPECT_GE(controls, 3u);  // flow control off, DTR off, RTS off
}

// What the server sent before it answered a purge of its receive buffer was
// on its way before the purge, and goes with it; what comes after stays.
TEST(ServerLine, APurgeTakesWhatWasOnItsWayFromTheServer) {
  ScriptedServer* self = nullptr;
  ScriptedServer server([&self](uint8_t command, const Bytes& value) -> std::optional<Bytes> {
    if (command == kPurgeData && self) self->Send({'o', 'l', 'd'});
    return value;
  });
  self = &server;
  auto device = OpenServer(server.Url());
  ASSERT_TRUE(device);
  device->Purge(true, false);
  SleepMs(200);
  server.Send({'n', 'e', 'w'});
  uint8_t byte = 0;
  ASSERT_EQ(device->ReadByte(&byte, {}, 2000), IoStatus::kOk);
  EXPECT_EQ(byte, 'n');
  bool purged = false;
  for (const auto& c : server.Commands()) purged |= c.command == kPurgeData && c.value == Bytes{1};
  EXPECT_TRUE(purged);
}

// The server's modem-state notices are CTS and DSR changes of the port.
TEST(ServerLine, ModemStateNoticesAreLineEvents) {
  ScriptedServer server;
  auto device = OpenServer(server.Url());
  ASSERT_TRUE(device);
  device->SetEventMask(kEvCts | kEvDsr);
  server.Send(ScriptedServer::ComPortAnswer(kNotifyModemState, {0x00}));
  SleepMs(100);
  server.Send(ScriptedServer::ComPortAnswer(kNotifyModemState, {0x11}));  // CTS, delta CTS
  uint32_t events = 0;
  ASSERT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 2000), IoStatus::kOk);
  EXPECT_EQ(events, kEvCts);
  server.Send(ScriptedServer::ComPortAnswer(kNotifyModemState, {0x32}));  // CTS, DSR, delta DSR
  ASSERT_EQ(device->WaitEvent(kEvCts | kEvDsr, &events, {}, 2000), IoStatus::kOk);
  EXPECT_EQ(events, kEvDsr);
}

// A write counts as done when its bytes would have left the server's port
// at the line's rate, not when the network took them.
TEST(ServerLine, AWriteEndsWhenItsBytesHaveLeftTheRemotePort) {
  ScriptedServer server;
  auto device = OpenServer(server.Url(), 9600);
  ASSERT_TRUE(device);
  const Bytes block(480, 0x33);  // 500 ms at 9600
  size_t written = 0;
  const int64_t ms = test::TimeMs([&] {
    EXPECT_EQ(device->Write(block.data(), block.size(), &written, {}, 5000), IoStatus::kOk);
  });
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 2000);
  EXPECT_TRUE(server.WaitForData(block.size(), 1000));
}

// A connection that drops is a port that went away: what came before it is
// still read, then every call ends at once.
TEST(ServerLine, ADroppedConnectionIsAPortThatWentAway) {
  ScriptedServer server;
  auto device = OpenServer(server.Url());
  ASSERT_TRUE(device);
  device->SetEventMask(kEvRxChar);
  server.Send({'x'});
  uint32_t events = 0;
  ASSERT_EQ(device->WaitEvent(kEvRxChar, &events, {}, 2000), IoStatus::kOk);
  server.Disconnect();
  ASSERT_TRUE(device->GoneEvent().Wait(2000));
  EXPECT_EQ(device->GoneError(), ECONNRESET);
  uint8_t byte = 0;
  EXPECT_EQ(device->ReadByte(&byte, {}, 1000), IoStatus::kOk);
  EXPECT_EQ(byte, 'x');
  EXPECT_LT(test::TimeMs([&] {
              EXPECT_EQ(device->ReadByte(&byte, {}, 5000), IoStatus::kGone);
              size_t written = 0;
              EXPECT_EQ(device->Write("y", 1, &written, {}, 5000), IoStatus::kGone);
            }),
            1000);
}

// A server that refuses the connection, or takes it and turns it away at
// once (a busy port: a line of text, then the end), has the port in use.
TEST(ServerLine, ARefusedOrTurnedAwayConnectionIsInUse) {
  int error = 0;
  {
    // Nothing listens on a port just freed.
    uint16_t port;
    {
      ScriptedServer gone;
      port = static_cast<uint16_t>(std::stoul(gone.Url().substr(gone.Url().rfind(':') + 1)));
    }
    EXPECT_EQ(SerialDevice::Open("rfc2217://127.0.0.1:" + std::to_string(port), &error, 2000), nullptr);
    EXPECT_EQ(error, EBUSY);
  }
  {
    ScriptedServer server;
    std::thread busy([&] {
      SleepMs(50);
      server.Send({'P', 'o', 'r', 't', ' ', 'i', 'n', ' ', 'u', 's', 'e', '\r', '\n'});
      server.Disconnect();
    });
    auto device = SerialDevice::Open(server.Url(), &error, 2000);
    busy.join();
    ASSERT_TRUE(device);  // connected; the turning away shows in the settings
    EXPECT_EQ(device->Apply(LineSettings{}), EBUSY);
  }
}

}  // namespace
}  // namespace lumaset::platform
