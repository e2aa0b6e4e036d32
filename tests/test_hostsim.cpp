// Runs the built lumaset-hostsim and plays the tool against it with plain
// POSIX terminals and sockets, independent of the link classes.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim_process.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using lumaset::test::HostSimProcess;
using lumaset::test::JsonField;
using lumaset::test::TempDir;

// "1b 43 f0" -> the three bytes.
std::string B(const char* hex) {
  std::string out;
  for (const char* p = hex; *p;) {
    if (*p == ' ') { ++p; continue; }
    out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

const std::string kProbe = B("1b 43 f0 0d 0a");
const std::string kAck = B("e7 a8 b6 ce 4f 4b 0d 0a");
const std::string kAnnounceUser = B("1b 43 cf ad f0 e7 d9 b6 e0 f8 0d 0a");

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Reads from fd until n bytes came or timeoutMs passed.
std::string ReadUpTo(int fd, size_t n, int timeoutMs) {
  std::string got;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < n) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) break;
    pollfd p {fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    char buf[4096];
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

// The tool's end of the serial line.
class Line {
 public:
  explicit Line(const std::string& device, speed_t speed = B115200) {
    fd_ = open(device.c_str(), O_RDWR | O_NOCTTY);
    termios t {};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Line() { if (fd_ >= 0) close(fd_); }
  bool ok() const { return fd_ >= 0; }
  void SetSpeed(speed_t speed) {
    termios t {};
    tcgetattr(fd_, &t);
    cfsetspeed(&t, speed);
    tcsetattr(fd_, TCSANOW, &t);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string Read(size_t n, int timeoutMs = 2000) { return ReadUpTo(fd_, n, timeoutMs); }
  // Writes up to max bytes without blocking; how many the line took.
  size_t WriteUntilFull(size_t max) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const std::string chunk(512, '\x55');
    size_t total = 0;
    while (total < max) {
      const ssize_t n = write(fd_, chunk.data(), chunk.size());
      if (n <= 0) {
        // A reader may still drain what is queued: wait a little and retry once.
        pollfd p {fd_, POLLOUT, 0};
        if (poll(&p, 1, 300) <= 0) break;
        continue;
      }
      total += static_cast<size_t>(n);
    }
    return total;
  }

 private:
  int fd_ = -1;
};

int ConnectTcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One pipe connection to the virtual USB device.
int ConnectPipe(const fs::path& path, const char* pipeName) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      send(fd, pipeName, strlen(pipeName), 0) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The next IN packet, "" when none comes in time.
std::string Packet(int fd, int timeoutMs = 2000) {
  pollfd p {fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return {};
  char buf[1024];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---- serial line ----

TEST(HostSimSerial, AnswersTheProbeOnlyAtItsOwnRateAndCleansUp) {
  TempDir dir("hostsim-link");
  const fs::path link = dir.Path() / "host";
  {
    fs::create_symlink("/nonexistent", link);  // a stale link gets replaced
    HostSimProcess sim({"--link", link.string()});
    ASSERT_EQ(JsonField(sim.Ready(), "transport"), "serial");
    const std::string device = JsonField(sim.Ready(), "device");
    ASSERT_FALSE(device.empty()) << sim.Ready();
    EXPECT_EQ(fs::read_symlink(link), device);

    Line line(link.string());
    ASSERT_TRUE(line.ok());
    line.Write(kProbe);
    EXPECT_EQ(line.Read(1), "\x0f");

    line.SetSpeed(B9600);
    line.Write(kProbe);
    const std::string garbled = sim.Wait("garbled");
    EXPECT_EQ(JsonField(garbled, "lineRate"), "9600") << garbled;
    EXPECT_EQ(line.Read(1, 300), "");

    // Bytes at the wrong rate leave nothing half-parsed behind.
    line.SetSpeed(B115200);
    line.Write(kProbe);
    EXPECT_EQ(line.Read(1), "\x0f");

    // The tool closes and re-opens its port all the time.
    {
      Line reopened(device);
      reopened.Write(kProbe);
      EXPECT_EQ(reopened.Read(1), "\x0f");
    }
    Line again(device);
    again.Write(kProbe);
    EXPECT_EQ(again.Read(1), "\x0f");

    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::is_symlink(link));
  }
}

TEST(HostSimSerial, ReceivesAUserProgramAndRejectsABadCheck) {
  HostSimProcess sim({});
  Line line(JsonField(sim.Ready(), "device"));
  line.Write(kAnnounceUser);
  EXPECT_EQ(line.Read(8), kAck);
  line.Write(B("04 00 00 00 01 02 04 88 8f"));
  EXPECT_EQ(line.Read(8), kAck);
  const std::string done = sim.Wait("download-done");
  EXPECT_EQ(JsonField(done, "type"), "0x88");
  EXPECT_EQ(JsonField(done, "run"), "yes");
  EXPECT_EQ(ReadFile(sim.Out() / "0001-user.pgu"), B("01 02 04"));

  // Same frame, wrong check byte: announced and acknowledged, then no
  // closing acknowledgement and no file.
  line.Write(kAnnounceUser);
  EXPECT_EQ(line.Read(8), kAck);
  line.Write(B("04 00 00 00 01 02 04 88 00"));
  EXPECT_EQ(line.Read(1, 500), "");
  const std::string failed = sim.Wait("download-failed");
  EXPECT_EQ(JsonField(failed, "reason"), "bad-check") << failed;
  EXPECT_FALSE(fs::exists(sim.Out() / "0002-user.pgu"));

  line.Write(kProbe);
  EXPECT_EQ(line.Read(1), "\x0f");
}

TEST(HostSimSerial, ChangesRateAndTakesModeOneDataAt115200) {
  HostSimProcess sim({});
  Line line(JsonField(sim.Ready(), "device"));
  // Bad complement: ignored.
  line.Write(B("1b 43 e2 ae 0d 0a 80 25 00 00 00 00 00 00"));
  EXPECT_FALSE(sim.Wait("rate-change-ignored").empty());
  // 9600 and its complement.
  line.Write(B("1b 43 e2 ae 0d 0a 80 25 00 00 7f da ff ff"));
  EXPECT_EQ(JsonField(sim.Wait("rate-change"), "to"), "9600");

  line.Write(kProbe);
  EXPECT_FALSE(sim.Wait("garbled").empty());
  line.SetSpeed(B9600);
  line.Write(kProbe);
  EXPECT_EQ(line.Read(1), "\x0f");

  // Download mode 1: announced at the host's rate, data at 115200.
  line.Write(kAnnounceUser);
  EXPECT_EQ(line.Read(8), kAck);
  line.SetSpeed(B115200);
  line.Write(B("04 00 00 00 01 02 04 99 9e"));
  EXPECT_EQ(line.Read(8), kAck);
  EXPECT_EQ(JsonField(sim.Wait("download-done"), "run"), "no");

  // Outside a download, 115200 is the wrong rate again.
  line.Write(kProbe);
  EXPECT_EQ(line.Read(1, 300), "");
}

TEST(HostSimSerial, DecodesTheClockAndSeparatesRawFiles) {
  HostSimProcess sim({"--raw-gap", "150"});
  Line line(JsonField(sim.Ready(), "device"));
  line.Write(B("1b 43 d5 ba 0d 0a 99 12 31 04 23 59 59"));
  std::string clock = sim.Wait("clock");
  EXPECT_EQ(JsonField(clock, "year"), "99");
  EXPECT_EQ(JsonField(clock, "weekday"), "4");
  EXPECT_EQ(JsonField(clock, "second"), "59");
  EXPECT_EQ(JsonField(clock, "validBcd"), "true");
  line.Write(B("1b 43 d5 ba 0d 0a 24 1a 17 05 13 45 09"));
  EXPECT_EQ(JsonField(sim.Wait("clock"), "validBcd"), "false");

  // Starts like a command but is none: the whole thing is one raw file.
  const std::string raw = B("1b 43 41 42 00 ff") + std::string(700, 'x');
  line.Write(raw);
  EXPECT_EQ(line.Read(8), kAck);
  const std::string file = JsonField(sim.Wait("raw-file"), "file");
  EXPECT_EQ(ReadFile(file), raw);
  // A command after the gap is a command again.
  line.Write(B("1b 43 d4 bb 0d 0a"));
  EXPECT_FALSE(sim.Wait("command", "\"index\":2").empty());
}

TEST(HostSimSerial, TouchProgramHandshakeAndItsRefusal) {
  HostSimProcess sim({"--fblt-prefix", "V1.0\\x00"});
  Line line(JsonField(sim.Ready(), "device"));
  line.Write(B("02 46 42 4c 54"));
  EXPECT_EQ(line.Read(14), std::string("V1.0\0OKDOWNSYS", 14));
  line.Write(B("09 00 00 00 03"));
  EXPECT_EQ(line.Read(1).size(), 1u);
  line.Write(B("aa bb cc"));
  EXPECT_EQ(line.Read(8), kAck);
  EXPECT_EQ(ReadFile(JsonField(sim.Wait("download-done"), "file")), B("aa bb cc"));

  line.Write(B("02 46 42 4c 54"));
  EXPECT_EQ(line.Read(14).size(), 14u);
  line.Write("/");
  EXPECT_EQ(JsonField(sim.Wait("handshake-refused"), "message"), "handshake refused by tool");
  line.Write(kProbe);
  EXPECT_EQ(line.Read(1), "\x0f");
}

TEST(HostSimSerial, FaultsActAsAsked) {
  {
    HostSimProcess sim({"--fault", "wrong-probe"});
    Line line(JsonField(sim.Ready(), "device"));
    line.Write(kProbe);
    EXPECT_EQ(line.Read(1), "\x0e");
    EXPECT_EQ(JsonField(sim.Wait("fault-applied"), "fault"), "wrong-probe");
  }
  {
    // The abort byte comes after one block, the rest is never acknowledged.
    HostSimProcess sim({"--fault", "abort-after-block=1", "--raw-gap", "150"});
    Line line(JsonField(sim.Ready(), "device"));
    line.Write(std::string(512, 'a'));
    EXPECT_EQ(line.Read(1), "\x9f");
    line.Write(std::string(512, 'b'));
    EXPECT_EQ(line.Read(1, 600), "");
    EXPECT_EQ(JsonField(sim.Wait("download-failed"), "reason"), "aborted by host");
    EXPECT_FALSE(sim.Wait("discarded").empty());
    // Once per run: the next file goes through.
    line.Write(std::string(600, 'c'));
    EXPECT_EQ(line.Read(8), kAck);
  }
  {
    // Announcement acknowledged, closing acknowledgement held back.
    HostSimProcess sim({"--fault", "no-final-ack"});
    Line line(JsonField(sim.Ready(), "device"));
    line.Write(kAnnounceUser);
    EXPECT_EQ(line.Read(8), kAck);
    line.Write(B("04 00 00 00 01 02 04 88 8f"));
    EXPECT_EQ(line.Read(1, 500), "");
    EXPECT_EQ(JsonField(sim.Wait("download-done"), "acknowledged"), "false");
  }
  {
    // Stalled after the announcement is acknowledged: the tool's data backs
    // up in the line and nothing more is answered.
    HostSimProcess sim({"--fault", "stall"});
    Line line(JsonField(sim.Ready(), "device"));
    line.Write(kAnnounceUser);
    EXPECT_EQ(line.Read(8), kAck);
    EXPECT_FALSE(sim.Wait("fault-applied", "stall").empty());
    EXPECT_LT(line.WriteUntilFull(1 << 20), 1u << 20);
    EXPECT_EQ(line.Read(1, 500), "");
  }
  {
    // A silent host logs the probe but answers nothing.
    HostSimProcess sim({"--fault", "silent"});
    Line line(JsonField(sim.Ready(), "device"));
    line.Write(kProbe);
    EXPECT_FALSE(sim.Wait("probe").empty());
    EXPECT_EQ(line.Read(1, 400), "");
  }
}

TEST(HostSimSerial, PacingHoldsReadsToTheLineSpeed) {
  // 1920 bytes at 9600 bit/s are two seconds of line time; unpaced the
  // file would be complete after the 150 ms gap.
  HostSimProcess sim({"--pace", "--rate", "9600", "--raw-gap", "150"});
  Line line(JsonField(sim.Ready(), "device"), B9600);
  const auto start = Clock::now();
  line.Write(std::string(1920, 'p'));
  EXPECT_EQ(line.Read(8, 5000), kAck);
  const auto elapsed = Clock::now() - start;
  EXPECT_GT(elapsed, std::chrono::milliseconds(1600));
  EXPECT_LT(elapsed, std::chrono::milliseconds(4500));
}

// ---- TCP ----

TEST(HostSimTcp, AnswersTheRateAndServesOnlyTheNewestClient) {
  HostSimProcess sim({"--tcp", "0", "--rate", "115200", "--fault", "close-error=50"});
  const int port = std::stoi(JsonField(sim.Ready(), "port"));
  const int first = ConnectTcp(port);
  ASSERT_GE(first, 0);
  ASSERT_EQ(write(first, B("1b 43 e3 ad 0d 0a").data(), 6), 6);
  EXPECT_EQ(ReadUpTo(first, 4, 2000), B("00 c2 01 00"));

  const int second = ConnectTcp(port);
  ASSERT_GE(second, 0);
  EXPECT_EQ(JsonField(sim.Wait("client-disconnected"), "reason"), "replaced");
  char c;
  EXPECT_LE(read(first, &c, 1), 0);  // the old client was dropped
  ASSERT_EQ(write(second, kProbe.data(), kProbe.size()), 5);
  EXPECT_EQ(ReadUpTo(second, 1, 2000), "\x0f");

  // close-error: the acknowledgement arrives, then a reset.
  ASSERT_EQ(write(second, kAnnounceUser.data(), kAnnounceUser.size()), 12);
  EXPECT_EQ(ReadUpTo(second, 8, 2000), kAck);
  pollfd p {second, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  errno = 0;
  EXPECT_LT(read(second, &c, 1), 0);
  EXPECT_EQ(errno, ECONNRESET);
  close(first);
  close(second);
}

// ---- events to a file ----

TEST(HostSimLog, EventsGoToTheLogFileInsteadOfStandardOutput) {
  TempDir dir("hostsim-log");
  const fs::path log = dir.Path() / "events.jsonl";
  HostSimProcess sim({"--tcp", "0", "--log", log.string()}, 0);
  // The first line of that event in the log file; "" when none comes in 3 s.
  auto logged = [&](const std::string& event) {
    const std::string tag = "{\"event\":\"" + event + "\"";
    const auto end = Clock::now() + std::chrono::seconds(3);
    for (;;) {
      std::istringstream lines(ReadFile(log));
      for (std::string line; std::getline(lines, line);)
        if (line.rfind(tag, 0) == 0) return line;
      if (Clock::now() > end) return std::string();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  const std::string ready = logged("ready");
  ASSERT_FALSE(ready.empty());
  const int fd = ConnectTcp(std::stoi(JsonField(ready, "port")));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kProbe.data(), kProbe.size()), 5);
  EXPECT_EQ(ReadUpTo(fd, 1, 2000), "\x0f");
  EXPECT_FALSE(logged("probe").empty());
  close(fd);
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(logged("exit").empty());
  // Standard output ended without a line.
  EXPECT_EQ(sim.Wait("ready", "", 1000), "");
  EXPECT_TRUE(sim.Lines().empty());
}

// ---- virtual USB ----

TEST(HostSimUsb, PacketsPipesAndUnplug) {
  TempDir dir("hostsim-usb");
  const fs::path path = dir.Path() / "dev";
  {
    const std::string prefix(60, 'V');
    HostSimProcess sim({"--usb-virtual", path.string(), "--fblt-prefix", prefix,
             "--fault", "unplug-after-block=1"});
    ASSERT_EQ(JsonField(sim.Ready(), "path"), path.string());
    const int in = ConnectPipe(path, "PIPE02");
    int out = ConnectPipe(path, "PIPE03");
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    sim.Wait("client-connected");
    sim.Wait("client-connected");
    send(out, kProbe.data(), kProbe.size(), 0);
    EXPECT_EQ(Packet(in), "\x0f");

    // A 69-byte answer arrives as packets of 64 and 5.
    send(out, "\x02" "FBLT", 5, 0);
    EXPECT_EQ(Packet(in), prefix + "OKDO");
    EXPECT_EQ(Packet(in), "WNSYS");

    // The tool re-opens PIPE03 for the data; the download goes on.
    close(out);
    out = ConnectPipe(path, "PIPE03");
    sim.Wait("client-connected", "PIPE03");
    send(out, B("09 00 00 00 03").data(), 5, 0);
    EXPECT_EQ(Packet(in).size(), 1u);
    send(out, "xyz", 3, 0);
    EXPECT_EQ(Packet(in), kAck);
    EXPECT_EQ(ReadFile(JsonField(sim.Wait("download-done"), "file")), "xyz");

    // Unplugged after the first 512 bytes of a raw file, back after 2 s.
    send(out, std::string(512, 'u').data(), 512, 0);
    EXPECT_EQ(Packet(in), "");  // closed: no packet, end of stream
    EXPECT_FALSE(sim.Wait("unplugged").empty());
    EXPECT_LT(ConnectPipe(path, "PIPE03"), 0);
    EXPECT_FALSE(sim.Wait("replugged", "", 4000).empty());
    const int in2 = ConnectPipe(path, "PIPE02");
    const int out2 = ConnectPipe(path, "PIPE03");
    ASSERT_GE(out2, 0);
    sim.Wait("client-connected");
    sim.Wait("client-connected");
    send(out2, kProbe.data(), kProbe.size(), 0);
    EXPECT_EQ(Packet(in2), "\x0f");
    close(in);
    close(out);
    close(in2);
    close(out2);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST(HostSimUsb, SplitHandshakeAnswer) {
  TempDir dir("hostsim-usb");
  const fs::path path = dir.Path() / "dev";
  {
    HostSimProcess sim({"--usb-virtual", path.string(), "--split-fblt-reply"});
    const int in = ConnectPipe(path, "PIPE02");
    const int out = ConnectPipe(path, "PIPE03");
    sim.Wait("client-connected");
    sim.Wait("client-connected");
    send(out, "\x02" "FBLT", 5, 0);
    const std::string a = Packet(in), b = Packet(in);
    EXPECT_FALSE(a.empty());
    EXPECT_LT(a.size(), 9u);
    EXPECT_EQ(a + b, "OKDOWNSYS");
    close(in);
    close(out);
  }
}

}  // namespace
