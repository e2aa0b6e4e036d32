// Runs the built lumaset-hostsim and plays the tool against it with plain
// POSIX terminals and sockets, independent of the link classes.
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
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
  // Everything that comes within ms.
  std::string ReadFor(int ms) { return ReadUpTo(fd_, SIZE_MAX, ms); }
  // Up to and including the next CR LF; "" when none completes within ms.
  std::string ReadLine(int ms) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < 2 || got.compare(got.size() - 2, 2, "\r\n") != 0) {
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      const std::string c = left > 0 ? Read(1, left) : std::string();
      if (c.empty()) return {};
      got += c;
    }
    return got;
  }
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

// Code page 936 to UTF-8; "" when iconv cannot convert it.
std::string FromCp936(const std::string& bytes) {
  iconv_t cd = iconv_open("UTF-8", "CP936");
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out(bytes.size() * 3 + 4, '\0');
  char* src = const_cast<char*>(bytes.data());
  size_t left = bytes.size();
  char* dst = out.data();
  size_t room = out.size();
  const size_t r = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || left != 0) return {};
  out.resize(out.size() - room);
  return out;
}

// One stream record: "#<seq> <t_ms>", dots, CR LF, 32 bytes in all.
struct Record {
  long long seq = -1;  // -1: not a well-formed record
  long long t = -1;
};

Record ParseRecord(const std::string& r) {
  Record rec;
  long long seq = 0, t = 0;
  int used = 0;
  if (r.size() != 32 || r.compare(30, 2, "\r\n") != 0 ||
      std::sscanf(r.c_str(), "#%lld %lld%n", &seq, &t, &used) != 2)
    return rec;
  for (int i = used; i < 30; ++i)
    if (r[static_cast<size_t>(i)] != '.') return rec;
  rec.seq = seq;
  rec.t = t;
  return rec;
}

// The records of a stream read from its first byte on: each well-formed,
// seq counting up from firstSeq, t never going back. Reports the first fault.
std::vector<Record> CheckRecords(const std::string& bytes, long long firstSeq = 0) {
  std::vector<Record> recs;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32) {
    const Record r = ParseRecord(bytes.substr(at, 32));
    const long long want = firstSeq + static_cast<long long>(recs.size());
    if (r.seq != want || (!recs.empty() && r.t < recs.back().t)) {
      ADD_FAILURE() << "record " << want << " at byte " << at << ": \"" << bytes.substr(at, 32) << "\"";
      break;
    }
    recs.push_back(r);
  }
  return recs;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

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
  EXPECT_EQ(lumaset::test::ReadFileText(sim.Out() / "0001-user.pgu"), B("01 02 04"));

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
  EXPECT_EQ(lumaset::test::ReadFileText(file), raw);
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
  EXPECT_EQ(lumaset::test::ReadFileText(JsonField(sim.Wait("download-done"), "file")), B("aa bb cc"));

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

// ---- status lines and the timed stream ----

TEST(HostSimTalk, StatusLinesComeAtTheIntervalEveryThirdInChinese) {
  HostSimProcess sim({"--talk", "250"});
  ASSERT_EQ(JsonField(sim.Ready(), "talkMs"), "250");
  Line line(JsonField(sim.Ready(), "device"));
  std::vector<std::string> lines;
  std::vector<Clock::time_point> arrived;
  const auto end = Clock::now() + std::chrono::milliseconds(2700);
  while (Clock::now() < end) {
    const std::string l = line.ReadLine(1000);
    if (l.empty()) break;
    lines.push_back(l);
    arrived.push_back(Clock::now());
  }
  // About ten in 2.7 s.
  ASSERT_GE(lines.size(), 6u);
  EXPECT_LE(lines.size(), 13u);
  for (size_t i = 2; i < arrived.size(); ++i) {
    const auto gap = arrived[i] - arrived[i - 1];
    EXPECT_GT(gap, std::chrono::milliseconds(120)) << "line " << i;
    EXPECT_LT(gap, std::chrono::milliseconds(700)) << "line " << i;
  }

  int chinese = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string talk = sim.Wait("talk");
    ASSERT_FALSE(talk.empty()) << "no event for line " << i;
    EXPECT_EQ(JsonField(talk, "bytes"), std::to_string(lines[i].size()));
    const std::string body = lines[i].substr(0, lines[i].size() - 2);
    // The event carries the text as UTF-8, its line end escaped.
    if (i % 3 == 2) {
      ++chinese;
      EXPECT_EQ(JsonField(talk, "encoding"), "cp936");
      const std::string text = FromCp936(body);
      ASSERT_FALSE(text.empty()) << "not code page 936: " << body;
      EXPECT_TRUE(text.rfind("状态正常，温度 ", 0) == 0 || text.rfind("运行 ", 0) == 0) << text;
      EXPECT_EQ(JsonField(talk, "line"), text + "\\r\\n");
    } else {
      EXPECT_EQ(JsonField(talk, "encoding"), "ascii");
      EXPECT_EQ(body.rfind("OK ", 0), 0u) << body;
      EXPECT_NE(body.find(" uptime "), std::string::npos) << body;
      EXPECT_EQ(JsonField(talk, "line"), body + "\\r\\n");
    }
  }
  EXPECT_GE(chinese, 2);
  // The first Chinese line, byte for byte: "状态正常，温度 " ... " 度".
  EXPECT_EQ(lines[2].rfind(B("d7 b4 cc ac d5 fd b3 a3 a3 ac ce c2 b6 c8 20"), 0), 0u);
  EXPECT_EQ(lines[2].substr(lines[2].size() - 5), B("20 b6 c8 0d 0a"));
}

TEST(HostSimTalk, NoStatusLineDuringAnExchangeOrADownload) {
  // A long raw gap keeps a begun message pending instead of making it a file.
  HostSimProcess sim({"--talk", "200", "--raw-gap", "3000"});
  Line line(JsonField(sim.Ready(), "device"));
  ASSERT_FALSE(line.ReadLine(2000).empty());

  // Half a probe: the exchange has begun, so the host holds its tongue
  // for many intervals, and the answer comes first and alone.
  line.Write(kProbe.substr(0, 2));
  EXPECT_EQ(line.Read(1, 1200), "");
  line.Write(kProbe.substr(2));
  EXPECT_EQ(line.Read(1), "\x0f");
  // A quiet margin follows the last byte received, then the lines go on.
  EXPECT_EQ(line.Read(1, 150), "");
  ASSERT_FALSE(line.ReadLine(2000).empty());

  // A download sent slowly: nothing but the acknowledgements comes back.
  line.Write(kAnnounceUser);
  EXPECT_EQ(line.Read(8), kAck);
  line.Write(B("04 00 00 00"));
  EXPECT_EQ(line.Read(1, 500), "");
  line.Write(B("01 02 04 88"));
  EXPECT_EQ(line.Read(1, 500), "");
  line.Write(B("8f"));
  EXPECT_EQ(line.Read(8), kAck);
  EXPECT_FALSE(sim.Wait("download-done").empty());
  EXPECT_FALSE(line.ReadLine(2000).empty());
}

TEST(HostSimTalk, OnlyAtTheHostsRate) {
  HostSimProcess sim({"--talk", "100"});
  Line line(JsonField(sim.Ready(), "device"), B9600);
  EXPECT_EQ(line.Read(1, 800), "");
  line.SetSpeed(B115200);
  EXPECT_FALSE(line.ReadLine(1500).empty());
}

TEST(HostSimTalk, NoiseAtAWrongRateIsTheSameForTheSameSeed) {
  HostSimProcess a({"--rate", "9600", "--talk", "100", "--noise", "42"});
  HostSimProcess b({"--rate", "9600", "--talk", "100", "--noise", "42"});
  HostSimProcess other({"--rate", "9600", "--talk", "100", "--noise", "43"});
  EXPECT_EQ(JsonField(a.Ready(), "noiseSeed"), "42");
  Line lineA(JsonField(a.Ready(), "device"));
  Line lineB(JsonField(b.Ready(), "device"));
  Line lineOther(JsonField(other.Ready(), "device"));
  ASSERT_TRUE(lineA.ok() && lineB.ok() && lineOther.ok());
  // The tool at 115200 gets three times the line's length in noise.
  const std::string noiseA = a.Wait("noise");
  const std::string noiseB = b.Wait("noise");
  const std::string noiseOther = other.Wait("noise");
  ASSERT_FALSE(noiseA.empty());
  EXPECT_EQ(JsonField(noiseA, "lineRate"), "115200");
  EXPECT_EQ(JsonField(noiseA, "hostRate"), "9600");
  EXPECT_EQ(std::stoul(JsonField(noiseA, "bytes")), 3 * std::stoul(JsonField(noiseA, "lineBytes"))) << noiseA;
  // The event shows the first 32 bytes, and they came.
  std::string data = JsonField(noiseA, "data");
  ASSERT_GT(data.size(), 4u);
  data.resize(data.size() - 4);  // " ..."
  EXPECT_NE(lineA.ReadFor(300).find(B(data.c_str())), std::string::npos);
  EXPECT_EQ(JsonField(noiseB, "data"), JsonField(noiseA, "data"));
  EXPECT_NE(JsonField(noiseOther, "data"), JsonField(noiseA, "data"));
  // Listening slower than the host, the tool gets a byte or so of a line.
  lineA.SetSpeed(B300);
  const std::string slow = a.Wait("noise", "\"lineRate\":300", 2000);
  ASSERT_FALSE(slow.empty());
  EXPECT_EQ(JsonField(slow, "bytes"), "1") << slow;
  // At the host's rate the lines are plain again.
  lineA.SetSpeed(B9600);
  lineA.ReadFor(300);
  const std::string l = lineA.ReadLine(2000);
  EXPECT_TRUE(l.rfind("OK ", 0) == 0 || !FromCp936(l).empty()) << l;
}

TEST(HostSimStream, SerialRecordsAreWholeInOrderAndAtTheLineSpeed) {
  HostSimProcess sim({"--stream"});
  const std::string start = sim.Wait("stream-start");
  EXPECT_EQ(JsonField(start, "rate"), "11520") << start;
  EXPECT_EQ(JsonField(start, "recordBytes"), "32");
  Line line(JsonField(sim.Ready(), "device"));
  // What piled up before the port was open, then three seconds measured.
  std::string all = line.ReadFor(500);
  const auto from = Clock::now();
  const std::string measured = line.ReadFor(3000);
  const double rate = static_cast<double>(measured.size()) / Seconds(Clock::now() - from);
  all += measured;
  EXPECT_GT(rate, 11520 * 0.9);
  EXPECT_LT(rate, 11520 * 1.1);

  const std::vector<Record> recs = CheckRecords(all);
  ASSERT_GT(recs.size(), 300u);
  // The records' own times step by the wire time of 32 bytes, 2.78 ms.
  const Record& a = recs[recs.size() - 300];
  const Record& b = recs.back();
  const double perRecordMs = static_cast<double>(b.t - a.t) / static_cast<double>(b.seq - a.seq);
  EXPECT_GT(perRecordMs, 2.5);
  EXPECT_LT(perRecordMs, 3.1);
  const std::string progress = sim.Wait("stream-progress", "", 2000);
  EXPECT_GT(std::stoll(JsonField(progress, "bytes")), 0) << progress;

  // A probe in the middle: answered between two whole records, then a
  // quiet margin, then the stream goes on where it was.
  const size_t before = all.size() - all.size() % 32;
  line.Write(kProbe);
  all += line.ReadFor(800);
  const size_t answer = all.find('\x0f', before);
  ASSERT_NE(answer, std::string::npos);
  EXPECT_EQ(answer % 32, 0u);
  EXPECT_EQ(JsonField(sim.Wait("probe"), "answer"), "0x0f");
  const std::string rest = all.substr(answer + 1);
  const std::vector<Record> head = CheckRecords(all.substr(0, answer));
  ASSERT_FALSE(head.empty());
  const std::vector<Record> tail = CheckRecords(rest, head.back().seq + 1);
  ASSERT_FALSE(tail.empty()) << "the stream did not go on";
  EXPECT_GE(tail.front().t - head.back().t, 290);
}

TEST(HostSimStream, TcpClientGetsRecordsUntilTheStreamEnds) {
  HostSimProcess sim({"--tcp", "0", "--stream", "--stream-seconds", "2"});
  const int fd = ConnectTcp(std::stoi(JsonField(sim.Ready(), "port")));
  ASSERT_GE(fd, 0);
  // Nobody was there before the client, so its first record is #0.
  const std::string got = ReadUpTo(fd, SIZE_MAX, 3500);
  const std::string end = sim.Wait("stream-end", "", 1000);
  ASSERT_FALSE(end.empty());
  const double seconds = std::stod(JsonField(end, "seconds"));
  EXPECT_GT(seconds, 1.9);
  EXPECT_LT(seconds, 2.6);
  EXPECT_EQ(JsonField(end, "bytes"), std::to_string(got.size()));
  EXPECT_EQ(std::stoll(JsonField(end, "records")) * 32, static_cast<long long>(got.size()));
  EXPECT_EQ(got.size() % 32, 0u);
  const std::vector<Record> recs = CheckRecords(got);
  // Up to two seconds at 11520 bytes/s.
  EXPECT_GT(recs.size(), 200u);
  EXPECT_LE(recs.size(), 800u);
  // Answers still come after the end.
  ASSERT_EQ(write(fd, kProbe.data(), kProbe.size()), 5);
  EXPECT_EQ(ReadUpTo(fd, 1, 2000), "\x0f");
  close(fd);
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
      std::istringstream lines(lumaset::test::ReadFileText(log));
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
    EXPECT_EQ(lumaset::test::ReadFileText(JsonField(sim.Wait("download-done"), "file")), "xyz");

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

TEST(HostSimUsb, StreamFillsWholePackets) {
  TempDir dir("hostsim-usb");
  const fs::path path = dir.Path() / "dev";
  HostSimProcess sim({"--usb-virtual", path.string(), "--stream"});
  const int in = ConnectPipe(path, "PIPE02");
  ASSERT_GE(in, 0);
  long long seq = 0;
  for (int i = 0; i < 20; ++i) {
    // Two records in each 64-byte packet, stamped with the time it went out.
    const std::string p = Packet(in);
    ASSERT_EQ(p.size(), 64u) << "packet " << i;
    const Record a = ParseRecord(p.substr(0, 32)), b = ParseRecord(p.substr(32));
    EXPECT_EQ(a.seq, seq);
    EXPECT_EQ(b.seq, seq + 1);
    EXPECT_EQ(a.t, b.t);
    seq += 2;
  }
  close(in);
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
