// The USB device layer and CUsbLink against the virtual USB device: a small
// host in this file that listens on the SOCK_SEQPACKET socket and answers as
// scripted, and the built lumaset-hostsim for the end-to-end cases.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "resources/resource_ids.h"
#include "link/serial_link.h"  // kHostAck
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/usb_device.h"
#include "tests/fifo_guard.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using platform::IoStatus;
using test::Bytes;
using test::TempDir;
using test::TimeMs;

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kProbe = Hex("1b 43 f0 0d 0a");
const Bytes kAnnounceUser = Hex("1b 43 cf ad f0 e7 d9 b6 e0 f8 0d 0a");
const Bytes kAnnounceSystem = Hex("1b 43 fc ad f0 e7 d9 b6 e0 8f 0d 0a");
const Bytes kCommand2 = Hex("1b 43 d4 bb 0d 0a");
const Bytes kCommand3 = Hex("1b 43 d8 b7 0d 0a");
const Bytes kSetClock = Hex("1b 43 d5 ba 0d 0a");
const Bytes kFblt = Hex("02 46 42 4c 54");
const Bytes kAck(kHostAck, kHostAck + sizeof kHostAck);

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

// The device's side of the virtual USB socket: accepts pipe connections,
// records every message of the tool on PIPE03 (one per write), and sends IN
// packets on the newest PIPE02. A responder sees each message on the host's
// own thread.
class VirtualHost {
 public:
  using Responder = std::function<void(VirtualHost&, const Bytes&)>;

  // Listens at `path`, by default a socket in a folder of its own.
  explicit VirtualHost(std::string path = {}) : path_(std::move(path)) {
    if (path_.empty()) path_ = (dir_.Path() / "usb.sock").string();
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listen_, 8) != 0)
      throw std::runtime_error("virtual host cannot listen");
    thread_ = std::thread([this] { Loop(); });
  }
  ~VirtualHost() {
    stop_.Set();
    thread_.join();
    for (auto& c : connections_) close(c.fd);
    close(listen_);
  }

  platform::UsbConfig Config() const {
    platform::UsbConfig config;
    config.virtualPath = path_;
    return config;
  }
  const std::string& Path() const { return path_; }
  void SetResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(lock_);
    responder_ = std::move(responder);
  }

  // One IN packet on the newest PIPE02 connection.
  void SendIn(const Bytes& packet) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
      if (it->name != "PIPE02") continue;
      send(it->fd, packet.data(), packet.size(), MSG_NOSIGNAL);
      return;
    }
  }

  std::vector<Bytes> Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }
  bool WaitMessages(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return messages_.size() >= n; });
  }
  // Waits until both pipes are connected and named.
  bool WaitConnected(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return Open("PIPE02") > 0 && Open("PIPE03") > 0; });
  }
  // Waits until n connections have named their pipe.
  bool WaitOpened(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return opened_.size() >= n; });
  }
  // Pipe names in the order the connections named themselves.
  std::vector<std::string> PipesOpened() const {
    std::lock_guard<std::mutex> guard(lock_);
    return opened_;
  }
  size_t OpenCount(const std::string& name) const {
    std::lock_guard<std::mutex> guard(lock_);
    return Open(name);
  }
  // Hangs up every connection, as an unplugged device; the socket goes on
  // accepting new ones.
  void Unplug() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& c : connections_) shutdown(c.fd, SHUT_RDWR);
  }

 private:
  struct Connection {
    int fd;
    std::string name;
  };

  size_t Open(const std::string& name) const {
    size_t n = 0;
    for (auto& c : connections_) n += c.name == name;
    return n;
  }

  void Loop() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_.IsSet()) {
      std::vector<pollfd> fds = {{stop_.Fd(), POLLIN, 0}, {listen_, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& c : connections_) fds.push_back({c.fd, POLLIN, 0});
      }
      if (platform::PollFor(fds, 1000) <= 0 || fds[0].revents) continue;
      if (fds[1].revents) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> guard(lock_);
          connections_.push_back({fd, ""});
        }
      }
      for (size_t k = 2; k < fds.size(); ++k) {
        if (!fds[k].revents) continue;
        ssize_t n = recv(fds[k].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN) continue;
        Responder responder;
        Bytes message;
        {
          std::lock_guard<std::mutex> guard(lock_);
          auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [&](const Connection& c) { return c.fd == fds[k].fd; });
          if (it == connections_.end()) continue;
          if (n <= 0) {
            close(it->fd);
            connections_.erase(it);
          } else if (it->name.empty()) {
            it->name.assign(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
            opened_.push_back(it->name);
          } else if (it->name == "PIPE03") {
            message.assign(buffer.begin(), buffer.begin() + n);
            messages_.push_back(message);
            responder = responder_;
          }
        }
        changed_.notify_all();
        if (responder) responder(*this, message);
      }
    }
  }

  TempDir dir_;
  std::string path_;
  int listen_ = -1;
  platform::Event stop_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<Connection> connections_;
  std::vector<Bytes> messages_;
  std::vector<std::string> opened_;
  Responder responder_;
  std::thread thread_;
};

// The host's answers for the link tests. Its state lives on the host's
// thread; the test reads what happened from the host's messages.
struct HostScript {
  std::atomic<int> probeAnswer{0x0F};  // -1: silent
  bool ackAnnouncement = true;
  std::vector<Bytes> fbltAnswer = {Text("OKDOWNSYS")};  // one IN packet each
  Bytes lengthAck = {0x06};                             // empty: no answer
  bool finalAck = true;
  int dataDelayMs = 0;                  // pause after each data message
  std::map<Bytes, Bytes> answers;       // fixed answers to whole messages

  enum class State { Idle, AfterFblt, Image, Data } state = State::Idle;
  size_t expected = 0, received = 0;

  // Packets that answer the probe instead of probeAnswer alone (the host's
  // text around its answer); set from the test while the host runs.
  void SetProbeReply(std::vector<Bytes> packets) {
    std::lock_guard<std::mutex> guard(probeLock_);
    probeReply_ = std::move(packets);
  }
  std::vector<Bytes> ProbeReply() {
    std::lock_guard<std::mutex> guard(probeLock_);
    return probeReply_;
  }
  std::mutex probeLock_;
  std::vector<Bytes> probeReply_;

  void Handle(VirtualHost& host, const Bytes& m) {
    if (state == State::Image || state == State::Data) {
      if (state == State::Image && received == 0 && m.size() >= 4)
        expected = (m[0] | m[1] << 8 | m[2] << 16 | uint32_t{m[3]} << 24) + 5u;
      received += m.size();
      if (dataDelayMs) platform::SleepMs(dataDelayMs);
      if (received >= expected) {
        state = State::Idle;
        if (finalAck) host.SendIn(kAck);
      }
      return;
    }
    if (m == kProbe) {
      const std::vector<Bytes> reply = ProbeReply();
      for (const Bytes& packet : reply) host.SendIn(packet);
      if (reply.empty() && probeAnswer >= 0) host.SendIn({static_cast<uint8_t>(probeAnswer.load())});
    } else if (m == kAnnounceUser || m == kAnnounceSystem) {
      if (!ackAnnouncement) return;
      host.SendIn(kAck);
      state = State::Image;
      received = 0;
    } else if (m == kFblt) {
      for (auto& packet : fbltAnswer) host.SendIn(packet);
      state = State::AfterFblt;
    } else if (state == State::AfterFblt && m.size() == 5 && m[0] == 0x09) {
      expected = uint32_t{m[1]} << 24 | m[2] << 16 | m[3] << 8 | m[4];
      received = 0;
      if (!lengthAck.empty()) host.SendIn(lengthAck);
      state = State::Data;
    } else if (auto it = answers.find(m); it != answers.end()) {
      host.SendIn(it->second);
    }
  }
};

// CPU time of the whole process, for the "no spinning" checks.
int64_t ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// ---- the device layer -------------------------------------------------------------

TEST(UsbDevice, VirtualPipesKeepPacketBoundaries) {
  VirtualHost host;
  platform::UsbError error;
  auto in = platform::OpenPipe(host.Config(), platform::kReadPipeName, &error);
  auto out = platform::OpenPipe(host.Config(), platform::kWritePipeName, &error);
  ASSERT_TRUE(in && out) << error.text;
  EXPECT_EQ(in->DevicePath(), "virtual:" + host.Path());
  ASSERT_TRUE(host.WaitConnected(2000));
  EXPECT_EQ(host.PipesOpened(), (std::vector<std::string>{"PIPE02", "PIPE03"}));

  // A write is one message, whatever its size up to 512 bytes.
  const Bytes block = Pattern(512);
  int n = 0;
  EXPECT_EQ(platform::PipeWrite(out, block.data(), 512, &n), 1);
  EXPECT_EQ(n, 512);
  EXPECT_EQ(platform::PipeWrite(out, kProbe.data(), 5, &n), 1);
  ASSERT_TRUE(host.WaitMessages(2, 2000));
  EXPECT_EQ(host.Messages()[0], block);
  EXPECT_EQ(host.Messages()[1], kProbe);

  // A read returns one packet, never two run together.
  host.SendIn(Bytes(10, 'a'));
  host.SendIn(Bytes(20, 'b'));
  uint8_t buffer[64];
  ASSERT_EQ(platform::PipeRead(in, buffer, 64, &n), 1);
  EXPECT_EQ(Bytes(buffer, buffer + n), Bytes(10, 'a'));
  ASSERT_EQ(platform::PipeRead(in, buffer, 64, &n), 1);
  EXPECT_EQ(Bytes(buffer, buffer + n), Bytes(20, 'b'));

  EXPECT_FALSE(platform::OpenPipe(host.Config(), "PIPE07", &error));
  EXPECT_EQ(error.kind, platform::UsbError::kOther);
}

TEST(UsbDevice, ReadsEndOnTimeOutCancelCloseAndUnplug) {
  VirtualHost host;
  auto in = platform::OpenPipe(host.Config(), platform::kReadPipeName);
  auto out = platform::OpenPipe(host.Config(), platform::kWritePipeName);
  ASSERT_TRUE(in && out);
  uint8_t buffer[64];
  int n = -1;
  int64_t ms = TimeMs([&] { EXPECT_EQ(platform::PipeRead(in, buffer, 64, &n), 0); });
  EXPECT_EQ(n, 0);
  EXPECT_GE(ms, 1900);
  EXPECT_LT(ms, 4000);

  platform::Event cancel;
  std::thread canceller([&] {
    platform::SleepMs(150);
    cancel.Set();
  });
  size_t count = 0;
  ms = TimeMs([&] { EXPECT_EQ(in->Read(buffer, 64, &count, &cancel, 2000), IoStatus::kCancelled); });
  canceller.join();
  EXPECT_LT(ms, 1500);

  std::thread closer([&] {
    platform::SleepMs(150);
    in->Close();
  });
  ms = TimeMs([&] { EXPECT_EQ(in->Read(buffer, 64, &count, nullptr, 2000), IoStatus::kClosed); });
  closer.join();
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(in->Read(buffer, 64, &count, nullptr, 2000), IoStatus::kClosed);
  EXPECT_FALSE(in->Gone());  // closed here, not unplugged

  // An unplugged device fails every call at once.
  auto in2 = platform::OpenPipe(host.Config(), platform::kReadPipeName);
  ASSERT_TRUE(in2);
  ASSERT_TRUE(host.WaitOpened(3, 2000));
  host.Unplug();
  ms = TimeMs([&] {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(in2->Read(buffer, 64, &count, nullptr, 2000), IoStatus::kGone);
    EXPECT_EQ(platform::PipeWrite(out, kProbe.data(), 5, &n), 0);
  });
  EXPECT_LT(ms, 1000);
}

TEST(UsbDevice, MissingDevicesAreReportedNotFound) {
  TempDir dir;
  platform::UsbConfig virtualConfig;
  virtualConfig.virtualPath = (dir.Path() / "nothing.sock").string();
  platform::UsbError error;
  EXPECT_FALSE(platform::OpenPipe(virtualConfig, platform::kReadPipeName, &error));
  EXPECT_EQ(error.kind, platform::UsbError::kNotFound);
  EXPECT_FALSE(platform::DevicePresent(virtualConfig));

  VirtualHost host;
  std::string path;
  EXPECT_TRUE(platform::DevicePresent(host.Config(), &path));
  EXPECT_EQ(path, "virtual:" + host.Path());

  // Real USB: nothing with the default IDs is plugged into this machine.
  platform::UsbConfig usb;
  error = {};
  EXPECT_FALSE(platform::FindDevicePath(usb, &path, &error));
  EXPECT_EQ(error.kind, platform::UsbError::kNotFound);
  EXPECT_FALSE(error.text.empty());
  EXPECT_FALSE(platform::OpenPipe(usb, platform::kWritePipeName, &error));
  EXPECT_EQ(error.kind, platform::UsbError::kNotFound);
}

TEST(UsbConfig, EnvironmentOverridesTheDefaults) {
  const char* names[] = {"LUMASET_USB_DEVICE",    "LUMASET_USB_SERIAL",    "LUMASET_USB_PATH",
                         "LUMASET_USB_INTERFACE", "LUMASET_USB_ENDPOINTS", "LUMASET_USB_VIRTUAL"};
  for (const char* name : names) unsetenv(name);
  platform::UsbConfig config = platform::UsbConfigFromEnvironment();
  EXPECT_EQ(config.vendorId, 0x1209);
  EXPECT_EQ(config.productId, 0x0001);
  EXPECT_EQ(config.interfaceNumber, -1);
  EXPECT_EQ(config.inEndpoint, 0);
  EXPECT_EQ(config.outEndpoint, 0);
  EXPECT_TRUE(config.virtualPath.empty());

  setenv("LUMASET_USB_DEVICE", "abcd:0x12", 1);
  setenv("LUMASET_USB_SERIAL", "HX-0042", 1);
  setenv("LUMASET_USB_PATH", "1-2.3", 1);
  setenv("LUMASET_USB_INTERFACE", "2", 1);
  setenv("LUMASET_USB_ENDPOINTS", "0x81,02", 1);
  setenv("LUMASET_USB_VIRTUAL", "/run/host.sock", 1);
  std::string problems;
  config = platform::UsbConfigFromEnvironment(&problems);
  EXPECT_EQ(problems, "");
  EXPECT_EQ(config.vendorId, 0xabcd);
  EXPECT_EQ(config.productId, 0x0012);
  EXPECT_EQ(config.serial, "HX-0042");
  EXPECT_EQ(config.busPath, "1-2.3");
  EXPECT_EQ(config.interfaceNumber, 2);
  EXPECT_EQ(config.inEndpoint, 0x81);
  EXPECT_EQ(config.outEndpoint, 0x02);
  EXPECT_EQ(config.virtualPath, "/run/host.sock");

  // Malformed values keep the defaults and are named.
  setenv("LUMASET_USB_DEVICE", "12345:1", 1);
  setenv("LUMASET_USB_ENDPOINTS", "02,81", 1);  // directions swapped
  config = platform::UsbConfigFromEnvironment(&problems);
  EXPECT_EQ(config.vendorId, 0x1209);
  EXPECT_EQ(config.inEndpoint, 0);
  EXPECT_NE(problems.find("LUMASET_USB_DEVICE"), std::string::npos);
  EXPECT_NE(problems.find("LUMASET_USB_ENDPOINTS"), std::string::npos);
  for (const char* name : names) unsetenv(name);

  EXPECT_EQ(platform::UdevRuleFor(0x1209, 0x0001),
            "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1209\", ATTRS{idProduct}==\"0001\", TAG+=\"uaccess\"");
}

// ---- the link ----------------------------------------------------------------------

class UsbLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    host.SetResponder([this](VirtualHost& h, const Bytes& m) { script.Handle(h, m); });
  }
  void OpenLink() {
    link.SetConfig(host.Config());
    link.SetTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(), 1);
    ASSERT_EQ(link.IsOpen(), 1);
    ASSERT_TRUE(host.WaitConnected(2000));
  }
  // What the view would take on one data event.
  std::string Take() {
    char buffer[1024];
    int n = link.TakeReceived(buffer, sizeof buffer);
    link.ReleaseReceived();
    return std::string(buffer, static_cast<size_t>(n));
  }
  size_t DataEvents() const { return target.Count(LE_DATA_RECEIVED); }
  // A 400 KiB touch-panel download to a slow host (512 bytes every 5 ms),
  // started and past its first block; its file in *file.
  void StartSlowTransfer(fs::path* file) {
    script.dataDelayMs = 5;
    OpenLink();
    *file = dir.File("big.tps", Pattern(400 * 1024));
    ASSERT_EQ(link.SendFileWithHandshake(file->c_str()), 1);
    ASSERT_TRUE(target.WaitUntil([](auto& e) {
      return std::any_of(e.begin(), e.end(), [](auto& x) { return IsProgressEvent(x.code); });
    }, 5000));
  }
  // The events of a transfer, without data events.
  std::vector<std::pair<uint32_t, uint32_t>> TransferEvents() const {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (auto& e : target.Events())
      if (e.code != LE_DATA_RECEIVED) out.push_back({e.code, e.value});
    return out;
  }

  HostScript script;
  VirtualHost host;
  TempDir dir;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CUsbLink link;  // last: goes first
};

TEST_F(UsbLinkTest, WithoutADeviceTheLinkStaysClosed) {
  platform::UsbConfig config;
  config.virtualPath = (dir.Path() / "nothing.sock").string();
  link.SetConfig(config);
  link.SetTarget(&target, WM_LINK_EVENT);
  EXPECT_EQ(link.Open(), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.StatusText(), platform::LoadString(res::kStrUsbNotOpen));
  EXPECT_FALSE(link.LastOpenError().empty());
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(link.Probe(), 0);
  // A transfer cannot open its write pipe.
  EXPECT_EQ(link.SendFileWithHandshake(dir.File("t.tps", Pattern(10)).c_str()), 1);
  ASSERT_TRUE(target.WaitFor(LE_FAILED, 3000));
  EXPECT_EQ(TransferEvents(), (std::vector<std::pair<uint32_t, uint32_t>>{{LE_FAILED, LS_TIMEOUT}}));
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_EQ(link.Close(), 1);
}

TEST_F(UsbLinkTest, ReceivedPacketsReachTheViewAsText) {
  OpenLink();
  EXPECT_EQ(link.StatusText(), platform::LoadString(res::kStrUsbOpen));
  host.SendIn(Text("AB") + Bytes{0} + Text("CD"));
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 3000));
  EXPECT_EQ(Take(), "AB");
  host.SendIn(Bytes(64, 'x'));
  ASSERT_TRUE(target.WaitUntil([](auto& e) { return e.size() >= 2; }, 3000));
  EXPECT_EQ(Take(), std::string(64, 'x'));
  EXPECT_EQ(link.Close(), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.LastReceiveExitCode(), kWatcherThreadDone);
  EXPECT_EQ(host.PipesOpened().size(), 2u);
  EXPECT_EQ(link.StatusText(), platform::LoadString(res::kStrUsbNotOpen));
}

TEST_F(UsbLinkTest, TakeReceivedHoldsTheLockAndKeepsWhatDoesNotFit) {
  OpenLink();
  host.SendIn(Bytes(64, 'a'));
  host.SendIn(Bytes(64, 'b'));
  host.SendIn(Bytes(64, 'c'));
  ASSERT_TRUE(target.WaitUntil([](auto& e) { return e.size() >= 3; }, 3000));

  char buffer[100];
  ASSERT_EQ(link.TakeReceived(buffer, sizeof buffer), 100);
  EXPECT_EQ(std::string(buffer, 100), std::string(64, 'a') + std::string(36, 'b'));
  // The rest is announced again.
  EXPECT_EQ(DataEvents(), 4u);
  // While the view holds the lock, the receive thread adds nothing.
  host.SendIn(Text("ddd"));
  platform::SleepMs(300);
  EXPECT_EQ(DataEvents(), 4u);
  link.ReleaseReceived();
  ASSERT_TRUE(target.WaitUntil([](auto& e) { return e.size() >= 5; }, 3000));
  EXPECT_EQ(Take(), std::string(28, 'b') + std::string(64, 'c') + "ddd");
  EXPECT_EQ(Take(), "");  // a later event finds nothing
}

TEST_F(UsbLinkTest, RepliesAreCapturedAndCountedUpToTheFirstZeroByte) {
  script.answers[kCommand2] = Text("AB") + Bytes{0} + Text("CD");
  script.answers[kCommand3] = Bytes(64, 'r');
  OpenLink();
  EXPECT_EQ(link.Probe(), 1);
  ASSERT_EQ(link.SendCommand(2, 1), 1);
  char reply[64];
  EXPECT_EQ(link.WaitReply(reply, 64), 2);
  EXPECT_EQ(std::string(reply, 2), "AB");
  ASSERT_EQ(link.SendCommand(3, 1), 1);
  EXPECT_EQ(link.WaitReply(reply, 64), 64);
  EXPECT_EQ(std::string(reply, 64), std::string(64, 'r'));
  EXPECT_EQ(link.WaitReply(reply, 8), 8);  // never more than asked
  EXPECT_EQ(DataEvents(), 0u);
  EXPECT_EQ(host.Messages(), (std::vector<Bytes>{kProbe, kProbe, kCommand2, kProbe, kCommand3}));
}

TEST_F(UsbLinkTest, UnansweredOrWrongProbeSendsNothing) {
  OpenLink();
  script.probeAnswer = 0x0E;
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  script.probeAnswer = -1;
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.SendCommand(2, 0), 0); });
  EXPECT_GE(ms, 900);
  EXPECT_LT(ms, 3000);
  EXPECT_EQ(host.Messages(), (std::vector<Bytes>{kProbe, kProbe}));
  EXPECT_TRUE(op.Boxes().empty());
  // The capture stays armed: the next packet is taken as the reply.
  host.SendIn(Text("late"));
  char reply[64];
  EXPECT_EQ(link.WaitReply(reply, 64), 4);
  platform::SleepMs(200);
  EXPECT_EQ(DataEvents(), 0u);
}

// The host prints around its answer, over several packets or in one.
TEST_F(UsbLinkTest, TheProbeHearsTheAnswerAmongTheHostsText) {
  OpenLink();
  const Bytes line = Text("OK 12:00:01 uptime 3 s, inputs 3/8\r\n");
  script.SetProbeReply({line, {0x0F}});
  EXPECT_EQ(link.Probe(), 1);
  script.SetProbeReply({Text("OK 12:00:01 up"), Text("time 3 s\r\n\x0fOK 12:00:02")});
  EXPECT_EQ(link.Probe(), 1);
  script.SetProbeReply({line, {0x0E}});
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  script.SetProbeReply({line, line});
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Probe(), 0); });
  EXPECT_GE(ms, 900);
  EXPECT_EQ(host.Messages(), (std::vector<Bytes>{kProbe, kProbe, kProbe, kProbe}));
  // None of it was taken for received data.
  platform::SleepMs(100);
  EXPECT_EQ(DataEvents(), 0u);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(UsbLinkTest, TheClockFollowsTheSetClockCommandAsASecondWrite) {
  OpenLink();
  const platform::LocalTime now = platform::Now();
  ASSERT_EQ(link.SendCommand(6, 0), 1);
  ASSERT_TRUE(host.WaitMessages(3, 2000));
  auto m = host.Messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], kProbe);
  EXPECT_EQ(m[1], kSetClock);
  ASSERT_EQ(m[2].size(), 7u);
  auto bcd = [](int v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); };
  EXPECT_EQ(m[2][0], bcd(now.year % 100));
  EXPECT_EQ(m[2][1], bcd(now.month));
  for (uint8_t b : m[2]) EXPECT_TRUE((b >> 4) <= 9 && (b & 0x0F) <= 9) << int(b);
  EXPECT_LE(m[2][3], 6);
}

TEST_F(UsbLinkTest, ACommandStringMustFitOnePacket) {
  OpenLink();
  EXPECT_EQ(link.SendCommandString(std::string(64, 'a').c_str()), 64);
  EXPECT_EQ(link.SendCommandString(std::string(65, 'a').c_str()), 0);
  EXPECT_EQ(link.SendCommandString(""), 0);
  EXPECT_EQ(link.SendCommandString("\\x1bC\\xD2\\xBD\\x0d\\x0a\\x01"), 7);
  ASSERT_TRUE(host.WaitMessages(2, 2000));
  platform::SleepMs(100);
  EXPECT_EQ(host.Messages(), (std::vector<Bytes>{Bytes(64, 'a'), Hex("1b 43 d2 bd 0d 0a 01")}));
}

TEST_F(UsbLinkTest, TouchPanelFileGoesOutAfterTheHandshake) {
  // The host's answer may carry text before OKDOWNSYS: 21 bytes here.
  script.fbltAnswer = {Text("Boot v2.04 OKDOWNSYS")};
  script.fbltAnswer[0].insert(script.fbltAnswer[0].begin(), 0x01);
  ASSERT_EQ(script.fbltAnswer[0].size(), 21u);
  OpenLink();
  const Bytes file = Pattern(1300);
  ASSERT_EQ(link.SendFileWithHandshake(dir.File("panel.tps", file).c_str()), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 5000));
  auto m = host.Messages();
  ASSERT_EQ(m.size(), 5u);
  EXPECT_EQ(m[0], kFblt);
  EXPECT_EQ(m[1], Hex("09 00 00 05 14"));
  EXPECT_EQ(m[2].size(), 512u);
  EXPECT_EQ(m[3].size(), 512u);
  EXPECT_EQ(m[4].size(), 276u);
  EXPECT_EQ(m[2] + m[3] + m[4], file);
  using E = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(TransferEvents(), (E{{LE_SEND_STARTED, 0},
                                 {LE_STATUS, LS_START},
                                 {LE_STATUS, LS_CHECK_VERSION},
                                 {LE_STATUS, LS_DOWNLOAD_DATA},
                                 {LE_PROGRESS_FLAG | 393, 512},
                                 {LE_PROGRESS_FLAG | 787, 1024},
                                 {LE_PROGRESS_FLAG | 1000, 1300},
                                 {LE_SEND_DONE, 1300}}));
  EXPECT_EQ(link.IsBusy(), 0);
  link.StopSending();
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
  // Every transfer opens its write pipe anew.
  EXPECT_EQ(host.PipesOpened(), (std::vector<std::string>{"PIPE02", "PIPE03", "PIPE03"}));
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(UsbLinkTest, HandshakeFailures) {
  struct Case {
    const char* name;
    std::vector<Bytes> fbltAnswer;
    Bytes lengthAck;
    uint32_t failure;
    const char* box;             // expected message, or nullptr
    std::vector<Bytes> written;  // after FBLT
  };
  Bytes longAnswer = Bytes(31, '.') + Text("OKDOWNSYS");  // 40 bytes: judged on bytes 22 to 30
  const Case cases[] = {
      // Only the first packet of the answer is the reply; the second goes to the view.
      {"split answer", {Text("OKDOW"), Text("NSYS")}, {0x06}, LS_CHECK_VERSION, "等待回应失败!", {}},
      {"refused", {Text("NODOWNSYS")}, {0x06}, LS_REFUSED, nullptr, {Text("/")}},
      {"too long", {longAnswer}, {0x06}, LS_REFUSED, nullptr, {Text("/")}},
      {"length unconfirmed", {Text("OKDOWNSYS")}, {}, LS_REFUSED, "等待回应失败，请检查文件长度是否正确",
       {Hex("09 00 00 00 0a")}},
  };
  const fs::path file = dir.File("panel.tps", Pattern(10));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostScript s;  // before the host, whose thread uses it
    s.fbltAnswer = c.fbltAnswer;
    s.lengthAck = c.lengthAck;
    VirtualHost peer;
    peer.SetResponder([&s](VirtualHost& h, const Bytes& m) { s.Handle(h, m); });
    test::RecordingTarget events;
    op.Clear();
    CUsbLink usb;
    usb.SetConfig(peer.Config());
    usb.SetTarget(&events, WM_LINK_EVENT);
    ASSERT_EQ(usb.Open(), 1);
    ASSERT_TRUE(peer.WaitConnected(2000));
    ASSERT_EQ(usb.SendFileWithHandshake(file.c_str()), 1);
    ASSERT_TRUE(events.WaitFor(LE_FAILED, 5000));
    for (auto& e : events.Events()) {
      if (e.code == LE_FAILED) {
        EXPECT_EQ(e.value, c.failure);
      }
    }
    EXPECT_EQ(events.Count(LE_SEND_DONE), 0u);
    EXPECT_EQ(op.Boxes().size(), c.box ? 1u : 0u);
    if (c.box && !op.Boxes().empty()) {
      EXPECT_EQ(op.Boxes()[0].text, c.box);
    }
    platform::SleepMs(100);
    std::vector<Bytes> written = {kFblt};
    written.insert(written.end(), c.written.begin(), c.written.end());
    EXPECT_EQ(peer.Messages(), written);
    if (c.fbltAnswer.size() == 2) {
      ASSERT_TRUE(events.WaitFor(LE_DATA_RECEIVED, 2000));
      char buffer[64];
      int n = usb.TakeReceived(buffer, sizeof buffer);
      usb.ReleaseReceived();
      EXPECT_EQ(std::string(buffer, n), "NSYS");
    }
    usb.Close();
  }
}

TEST_F(UsbLinkTest, ProgramImagesAreAnnouncedThenFramed) {
  OpenLink();
  const fs::path file = dir.File("prog.pgu", {0x01, 0x02, 0x04});
  ASSERT_EQ(link.SendProgramImage(file.c_str(), 0, 1), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 5000));
  EXPECT_EQ(host.Messages(), (std::vector<Bytes>{kProbe, kAnnounceUser, Hex("04 00 00 00 01 02 04 88 8f")}));
  EXPECT_EQ(target.Events().back().value, 9u);

  target.Clear();
  ASSERT_EQ(link.SendProgramImage(file.c_str(), 1, 0), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 5000));
  auto m = host.Messages();
  ASSERT_EQ(m.size(), 6u);
  EXPECT_EQ(m[4], kAnnounceSystem);
  EXPECT_EQ(m[5], Hex("04 00 00 00 01 02 04 00 07"));
  EXPECT_EQ(target.Count(LE_STATUS), 1u);  // data only: no handshake

  // A host that does not acknowledge the announcement gets nothing more.
  target.Clear();
  script.ackAnnouncement = false;
  EXPECT_EQ(link.SendProgramImage(file.c_str(), 0, 0), 0);
  EXPECT_EQ(host.Messages().size(), 8u);
  EXPECT_TRUE(target.Events().empty());

  EXPECT_EQ(link.SendProgramImage((dir.Path() / "missing.pgu").c_str(), 0, 1), 0);
  ASSERT_EQ(op.Boxes().size(), 1u);
  EXPECT_EQ(op.Boxes()[0].text, "Could not open " + (dir.Path() / "missing.pgu").string() + ": " + std::strerror(ENOENT));
  EXPECT_EQ(host.Messages().size(), 8u);
}

TEST_F(UsbLinkTest, WithoutItsReadPipeATransferIsNotReady) {
  // The device is not there when the link opens, so there is no read pipe;
  // it comes afterwards, so the transfer's own write pipe opens.
  platform::UsbConfig config;
  config.virtualPath = (dir.Path() / "late.sock").string();
  link.SetConfig(config);
  link.SetTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(), 1);
  ASSERT_EQ(link.IsOpen(), 0);
  HostScript lateScript;
  VirtualHost late(config.virtualPath);
  late.SetResponder([&lateScript](VirtualHost& h, const Bytes& m) { lateScript.Handle(h, m); });
  const fs::path file = dir.File("panel.tps", Pattern(700));
  ASSERT_EQ(link.SendFileWithHandshake(file.c_str()), 1);
  ASSERT_TRUE(target.WaitFor(LE_FAILED, 3000));
  EXPECT_EQ(TransferEvents(), (std::vector<std::pair<uint32_t, uint32_t>>{{LE_FAILED, LS_NOT_READY}}));
  EXPECT_EQ(link.IsBusy(), 0);
  link.StopSending();
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
  ASSERT_TRUE(late.WaitOpened(1, 2000));
  platform::SleepMs(100);
  EXPECT_EQ(late.PipesOpened(), (std::vector<std::string>{"PIPE03"}));
  EXPECT_TRUE(late.Messages().empty());  // no handshake, no data
  EXPECT_TRUE(op.Boxes().empty());

  // Open again with the device there: the handshake asked for before does
  // not carry over, an image goes straight to its data.
  link.Close();
  ASSERT_EQ(link.Open(), 1);
  ASSERT_EQ(link.IsOpen(), 1);
  target.Clear();
  ASSERT_EQ(link.SendProgramImage(dir.File("p.pgu", {0x01, 0x02, 0x04}).c_str(), 0, 1), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 5000));
  EXPECT_EQ(late.Messages(), (std::vector<Bytes>{kProbe, kAnnounceUser, Hex("04 00 00 00 01 02 04 88 8f")}));
}

TEST_F(UsbLinkTest, FilesThatAreNotRegularAreRefusedByNameBeforeAnythingIsSent) {
  OpenLink();
  const std::string fifo = (dir.Path() / "pipe.tps").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir.Path().string(), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    op.Clear();
    test::FifoGuard guard(fifo);
    EXPECT_EQ(link.SendFileWithHandshake(path.c_str()), 0);
    EXPECT_EQ(link.SendProgramImage(path.c_str(), 1, 0), 0);
    EXPECT_FALSE(guard.Fired()) << "a send waited on the FIFO";
    std::string text = platform::LoadString(res::kStrNotRegularFile);
    text.replace(text.find("%1"), 2, path);
    ASSERT_EQ(op.Boxes().size(), 2u);
    EXPECT_EQ(op.Boxes()[0].text, text);
    EXPECT_EQ(op.Boxes()[1].text, text);
    EXPECT_EQ(op.Boxes()[1].caption, platform::LoadString(res::kStrCaption));
  }
  platform::SleepMs(100);
  EXPECT_TRUE(host.Messages().empty());  // not even the probe
  EXPECT_TRUE(target.Events().empty());
}

TEST_F(UsbLinkTest, AStoppedTransferStillWaitsForTheClosingAnswer) {
  fs::path file;
  ASSERT_NO_FATAL_FAILURE(StartSlowTransfer(&file));
  EXPECT_EQ(link.IsBusy(), 1);
  // Commands and other downloads wait for the transfer.
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(link.SendFileWithHandshake(file.c_str()), 0);
  ASSERT_EQ(op.Boxes().size(), 2u);
  EXPECT_EQ(op.Boxes()[0].text, platform::LoadString(res::kStrTransferRunning));

  int64_t ms = TimeMs([&] { link.StopSending(); });
  EXPECT_GE(ms, 800);
  EXPECT_LT(ms, 4500);
  EXPECT_EQ(target.Events().back().code, LE_FAILED);
  EXPECT_EQ(target.Events().back().value, LS_VERIFY_FAILED);
  EXPECT_EQ(link.IsBusy(), 0);
  EXPECT_EQ(op.Boxes().size(), 2u);  // no "locked" message
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
}

// Events with this code, in order.
std::vector<uint32_t> ValuesOf(const test::RecordingTarget& target, uint32_t code) {
  std::vector<uint32_t> values;
  for (auto& e : target.Events())
    if (e.code == code) values.push_back(e.value);
  return values;
}

TEST_F(UsbLinkTest, AnUnpluggedDeviceEndsWithoutHangOrSpin) {
  fs::path file;
  ASSERT_NO_FATAL_FAILURE(StartSlowTransfer(&file));
  host.Unplug();
  // The transfer fails at once, and then the loss is reported, once.
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  const auto events = TransferEvents();
  ASSERT_GE(events.size(), 2u);
  using Event = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(events[events.size() - 2], Event(LE_FAILED, LS_WRITE_FAILED));
  EXPECT_EQ(events.back(), Event(LE_PORT_GONE, ENODEV));
  EXPECT_EQ(link.IsBusy(), 0);
  EXPECT_TRUE(link.IsGone());
  // Nothing goes on trying: the process stays idle.
  const int64_t cpu = ProcessCpuMs();
  platform::SleepMs(1000);
  EXPECT_LT(ProcessCpuMs() - cpu, 300);
  EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);
  // The link stays open until the view closes it.
  EXPECT_EQ(link.IsOpen(), 1);
  int64_t ms = TimeMs([&] { link.Close(); });
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_FALSE(link.IsGone());
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(UsbLinkTest, AnUnplugWhileIdleIsReportedOnceAndAQuietOpenFindsTheDeviceAgain) {
  OpenLink();
  EXPECT_EQ(link.OpenDevicePath(), "virtual:" + host.Path());
  host.Unplug();
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  platform::SleepMs(300);
  EXPECT_EQ(ValuesOf(target, LE_PORT_GONE), std::vector<uint32_t>{ENODEV});
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
  EXPECT_EQ(link.IsOpen(), 1);
  link.Close();
  EXPECT_EQ(link.OpenDevicePath(), "");

  // The socket answers again (as a device plugged back in): the quiet open
  // takes it, and a second loss is reported again.
  EXPECT_EQ(link.OpenQuietly(), 1);
  EXPECT_EQ(link.LastOpenErrno(), 0);
  ASSERT_TRUE(host.WaitOpened(4, 2000));  // both pipes anew
  EXPECT_EQ(link.Probe(), 1);
  host.Unplug();
  ASSERT_TRUE(target.WaitUntil([](auto& e) {
    return std::count_if(e.begin(), e.end(), [](auto& x) { return x.code == LE_PORT_GONE; }) == 2;
  }, 3000));
  link.Close();

  // No device there: 0 and why, and nothing shown.
  platform::UsbConfig missing;
  missing.virtualPath = (dir.Path() / "nothing.sock").string();
  link.SetConfig(missing);
  EXPECT_EQ(link.OpenQuietly(), 0);
  EXPECT_EQ(link.LastOpenErrno(), ENOENT);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_TRUE(op.Boxes().empty());
}

// ---- against the host simulator ---------------------------------------------------

// lumaset-hostsim as the virtual USB device on a socket in the test's folder.
class UsbHostSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    if (access(test::BuiltProgram("lumaset-hostsim").c_str(), X_OK) != 0)
      GTEST_SKIP() << "lumaset-hostsim is not built";
  }
  // The simulator's arguments: the virtual device, then `extra`.
  std::vector<std::string> UsbArgs(std::vector<std::string> extra = {}) const {
    extra.insert(extra.begin(), {"--usb-virtual", (dir.Path() / "usb.sock").string()});
    return extra;
  }
  void Connect(const test::HostSimProcess& sim) {
    ASSERT_TRUE(sim.Started()) << "lumaset-hostsim did not get ready";
    platform::UsbConfig config;
    config.virtualPath = test::JsonField(sim.Ready(), "path");
    link.SetConfig(config);
    link.SetTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(), 1);
    ASSERT_EQ(link.IsOpen(), 1);
  }
  TempDir dir;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CUsbLink link;
};

TEST_F(UsbHostSimTest, ClockAndUserProgram) {
  test::HostSimProcess sim(UsbArgs());
  ASSERT_NO_FATAL_FAILURE(Connect(sim));
  ASSERT_EQ(link.SendCommand(6, 0), 1);
  const std::string clock = sim.Wait("clock");
  ASSERT_FALSE(clock.empty());
  EXPECT_EQ(test::JsonField(clock, "inRange"), "true") << clock;

  const Bytes program = Pattern(3000);
  ASSERT_EQ(link.SendProgramImage(dir.File("p.pgu", program).c_str(), 0, 1), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 10000));
  EXPECT_EQ(target.Events().back().value, 3006u);
  const std::string done = sim.Wait("download-done");
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(test::JsonField(done, "run"), "yes") << done;
  EXPECT_EQ(sim.Received("-user.pgu"), program);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(UsbHostSimTest, TouchProgramWithTextBeforeTheAcceptance) {
  test::HostSimProcess sim(UsbArgs({"--fblt-prefix", "Loader 3.1 \\x01"}));
  ASSERT_NO_FATAL_FAILURE(Connect(sim));
  const Bytes panel = Pattern(1300);
  ASSERT_EQ(link.SendFileWithHandshake(dir.File("p.tps", panel).c_str()), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 10000));
  EXPECT_EQ(target.Events().back().value, 1300u);
  ASSERT_FALSE(sim.Wait("download-done", "\"kind\":\"touch\"").empty());
  EXPECT_EQ(sim.Received("-touch.tps"), panel);
}

TEST_F(UsbHostSimTest, UnplugMidTransferThenReconnect) {
  test::HostSimProcess sim(UsbArgs({"--fault", "unplug-after-block=1"}));
  ASSERT_NO_FATAL_FAILURE(Connect(sim));
  ASSERT_EQ(link.SendFileWithHandshake(dir.File("p.tps", Pattern(8000)).c_str()), 1);
  ASSERT_FALSE(sim.Wait("unplugged", "", 5000).empty());
  // The download fails on its own, then the loss follows. (The blocks may
  // all have gone into the socket's buffer before the unplug: then the
  // closing answer is what is missing.)
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  const auto events = target.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].code, LE_FAILED);
  const uint32_t status = events[events.size() - 2].value;
  EXPECT_TRUE(status == LS_WRITE_FAILED || status == LS_VERIFY_FAILED) << std::hex << status;
  EXPECT_EQ(events.back().value, static_cast<uint32_t>(ENODEV));
  EXPECT_EQ(link.IsBusy(), 0);
  int64_t ms = TimeMs([&] { link.Close(); });
  EXPECT_LT(ms, 1000);
  // The device comes back after two seconds; a new connect finds it.
  ASSERT_FALSE(sim.Wait("replugged", "", 5000).empty());
  ASSERT_EQ(link.OpenQuietly(), 1);
  EXPECT_EQ(link.Probe(), 1);
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(UsbHostSimTest, ASimulatorThatEndsIsAnUnpluggedDevice) {
  {
    test::HostSimProcess sim(UsbArgs());
    ASSERT_NO_FATAL_FAILURE(Connect(sim));
    sim.Stop();
    ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  }
  platform::SleepMs(300);
  EXPECT_EQ(target.Count(LE_PORT_GONE), 1u);
  EXPECT_EQ(link.IsOpen(), 1);
  link.Close();
  // Its socket went with it: a quiet open finds nothing and shows nothing.
  EXPECT_EQ(link.OpenQuietly(), 0);
  EXPECT_EQ(link.LastOpenErrno(), ENOENT);
  EXPECT_TRUE(op.Boxes().empty());
}

}  // namespace
}  // namespace lumaset
