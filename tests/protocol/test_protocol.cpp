// The host protocol of the serial link against a scripted host on a pty:
// commands and the probe, downloads, program images and the baud search.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <thread>

#include "resources/resource_ids.h"
#include "link/command_string.h"
#include "link/messages.h"
#include "link/serial_link.h"
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
using test::PostedEvent;
using test::TimeMs;

const Bytes kProbe = {0x1B, 0x43, 0xF0, 0x0D, 0x0A};
const Bytes kAck(std::begin(kHostAck), std::end(kHostAck));
const Bytes kFblt = {0x02, 'F', 'B', 'L', 'T'};

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool EndsWith(const Bytes& data, const Bytes& tail) {
  return data.size() >= tail.size() && std::equal(tail.begin(), tail.end(), data.end() - tail.size());
}

int FromBcd(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

// A host script on its own thread. Every read in a script is bounded, so the
// join always comes.
class Script {
 public:
  explicit Script(std::function<void()> body) : thread_(std::move(body)) {}
  ~Script() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() : ProtocolTest(std::make_unique<CSerialLink>()) {}
  // For tests of a link whose calls are stepped in on.
  explicit ProtocolTest(std::unique_ptr<CSerialLink> made) : owned_(std::move(made)), link(*owned_) {}
  void SetUp() override {
    test::UseEnglishTexts();
    host.MapAsCom(kPort);
  }
  void OpenAt(uint32_t rate) {
    LinkSettings s;
    s.port = kPort;
    s.rate = rate;
    link.ApplySettings(&s);
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(1), 1);
  }
  // A new file of these bytes in the test's folder.
  std::string File(const Bytes& bytes) { return dir_.File("f" + std::to_string(++files_), bytes).string(); }
  uint32_t Rate() {
    LinkSettings s;
    link.GetSettings(&s);
    return s.rate;
  }
  // The value of the first event with that code, waiting up to timeoutMs.
  std::optional<uint32_t> ValueOf(uint32_t code, int timeoutMs) {
    if (!target.WaitFor(code, timeoutMs)) return std::nullopt;
    for (const auto& e : target.Events())
      if (e.code == code) return e.value;
    return std::nullopt;
  }
  std::vector<uint32_t> Values(uint32_t code) {
    std::vector<uint32_t> out;
    for (const auto& e : target.Events())
      if (e.code == code) out.push_back(e.value);
    return out;
  }
  std::vector<std::pair<uint32_t, uint32_t>> Progress() {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& e : target.Events())
      if (IsProgressEvent(e.code)) out.emplace_back(ProgressThousandths(e.code), e.value);
    return out;
  }
  // Waits until no progress event has come for quietMs (bounded by maxMs).
  void WaitForProgressToStall(int quietMs, int maxMs) {
    platform::Deadline deadline(maxMs);
    size_t seen = Progress().size();
    while (!deadline.Passed()) {
      platform::SleepMs(quietMs);
      size_t now = Progress().size();
      if (now == seen && now > 0) return;
      seen = now;
    }
  }

  static constexpr int kPort = 43;
  static constexpr int kSimPort = 44;
  test::PtyHost host;
  test::RecordingTarget target;
  test::RecordingOperator op;
  test::TempDir dir_{"lumaset-protocol"};
  int files_ = 0;
  std::unique_ptr<CSerialLink> owned_;
  CSerialLink& link;
};

// ---- clock -------------------------------------------------------------------

TEST(ClockString, IsPackedBcdOfTheLocalTime) {
  EXPECT_EQ(DecodeCommandString(ClockString({2099, 12, 31, 4, 23, 59, 59}).c_str()),
            (Bytes{0x99, 0x12, 0x31, 0x04, 0x23, 0x59, 0x59}));
  EXPECT_EQ(DecodeCommandString(ClockString({2024, 5, 17, 5, 13, 45, 9}).c_str()),
            (Bytes{0x24, 0x05, 0x17, 0x05, 0x13, 0x45, 0x09}));
  EXPECT_EQ(DecodeCommandString(ClockString({2100, 1, 2, 0, 0, 0, 0}).c_str()),
            (Bytes{0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00}));
}

// ---- SendCommand and the probe -------------------------------------------------

TEST_F(ProtocolTest, SetClockProbesThenSendsEntrySixAndTheClock) {
  OpenAt(115200);
  Bytes probe, rest;
  Script host_([&] {
    probe = host.ReadExactly(5, 2000);
    host.Write({kProbeAnswer});
    rest = host.ReadExactly(13, 2000);
  });
  EXPECT_EQ(link.SendCommand(kCmdSetClock, 0), 1);
  host_.Join();
  EXPECT_EQ(probe, kProbe);
  ASSERT_EQ(rest.size(), 13u);
  EXPECT_EQ(Bytes(rest.begin(), rest.begin() + 6), (Bytes{0x1B, 0x43, 0xD5, 0xBA, 0x0D, 0x0A}));
  std::tm tm{};
  tm.tm_year = 2000 + FromBcd(rest[6]) - 1900;
  tm.tm_mon = FromBcd(rest[7]) - 1;
  tm.tm_mday = FromBcd(rest[8]);
  tm.tm_hour = FromBcd(rest[10]);
  tm.tm_min = FromBcd(rest[11]);
  tm.tm_sec = FromBcd(rest[12]);
  tm.tm_isdst = -1;
  const std::time_t sent = std::mktime(&tm);
  EXPECT_LE(std::abs(std::difftime(std::time(nullptr), sent)), 5.0);
  std::tm check{};
  localtime_r(&sent, &check);
  EXPECT_EQ(FromBcd(rest[9]), check.tm_wday);
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_EQ(target.Count(LE_DATA_RECEIVED), 0u);  // the probe's answer is not received data
}

TEST_F(ProtocolTest, WrongProbeAnswerAsksAndCancelSendsNothing) {
  OpenAt(115200);
  Bytes probe, after;
  Script host_([&] {
    probe = host.ReadExactly(5, 2000);
    host.Write({0x0E});
    after = host.Drain(400);
  });
  op.Answer({platform::kIdCancel});
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  host_.Join();
  EXPECT_EQ(probe, kProbe);
  EXPECT_TRUE(after.empty());
  auto boxes = op.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, platform::LoadString(res::kStrProbeFailedSearch));
  EXPECT_EQ(boxes[0].caption, platform::LoadString(res::kStrCaption));
  EXPECT_EQ(boxes[0].type, platform::kMbOkCancel | platform::kMbIconInformation);
  EXPECT_EQ(link.IsSearching(), 0);
  EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(ProtocolTest, AnnouncementToASilentHostNeverAsks) {
  OpenAt(115200);
  Bytes probe, after;
  Script host_([&] {
    probe = host.ReadExactly(5, 2000);
    after = host.Drain(700);
  });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.SendCommand(kCmdAnnounceUser, 0), 0); });
  host_.Join();
  EXPECT_EQ(probe, kProbe);
  EXPECT_TRUE(after.empty());
  EXPECT_TRUE(op.Boxes().empty());
  EXPECT_GE(ms, 400);  // the answer byte is waited for
  EXPECT_LT(ms, 3000);
}

// ---- the answer among the host's text ---------------------------------------------

ProbeReply::State Judge(const Bytes& bytes) {
  ProbeReply reply;
  return reply.Add(bytes.data(), bytes.size());
}

const Bytes kStatusLine = Text("OK 12:34:56 uptime 17 s,\tinputs 3/8\r\n");
// "状态正常，温度 24.5 度" in code page 936.
const Bytes kChineseLine = Concat({{0xD7, 0xB4, 0xCC, 0xAC, 0xD5, 0xFD, 0xB3, 0xA3, 0xA3, 0xAC, 0xCE, 0xC2, 0xB6, 0xC8},
                                   Text(" 24.5 "), {0xB6, 0xC8, '\r', '\n'}});

TEST(ProbeReply, TheAnswerCountsAmongTheHostsOrdinaryText) {
  EXPECT_EQ(Judge({}), ProbeReply::kWaiting);
  EXPECT_EQ(Judge({kProbeAnswer}), ProbeReply::kAnswered);
  EXPECT_EQ(Judge(Concat({kStatusLine, kChineseLine})), ProbeReply::kWaiting);
  EXPECT_EQ(Judge(Concat({kStatusLine, {kProbeAnswer}, kChineseLine})), ProbeReply::kAnswered);
  EXPECT_EQ(Judge(Concat({kChineseLine, {kProbeAnswer}, kStatusLine})), ProbeReply::kAnswered);
  // The window may open after a character's first byte and close before a
  // character's second; the answer may come between a character's bytes.
  EXPECT_EQ(Judge({0xC8, '\r', '\n', kProbeAnswer, 'O', 'K', 0xD7}), ProbeReply::kAnswered);
  EXPECT_EQ(Judge({0xD7, kProbeAnswer, 0xB4, '\r', '\n'}), ProbeReply::kAnswered);
  EXPECT_EQ(Judge({0xB4, 'O', 'K', kProbeAnswer}), ProbeReply::kAnswered);
}

TEST(ProbeReply, AnythingElseRefusesTheReply) {
  const std::vector<Bytes> refused = {
      {0x0E},                                        // a wrong answer
      {kProbeAnswer, kProbeAnswer},                  // the answer twice
      Concat({kStatusLine, {kProbeAnswer, 0x00}}),   // a zero byte
      {0x1B, kProbeAnswer},                          // another control character
      {'a', 0x7F, kProbeAnswer},                     // DEL
      {kProbeAnswer, 'a', 0xD7, '\r'},               // a first byte without its second
      {'a', 0xB4, 0x7F},                             // 0x7F is never a second byte
      {'a', 0xC8, '\r', kProbeAnswer},               // a lone second byte inside the window
      {0xFF, kProbeAnswer},                          // no part of any character
      {0x80, 0x80, kProbeAnswer},                    // 0x80 is no first byte
  };
  for (const Bytes& reply : refused) {
    SCOPED_TRACE(::testing::PrintToString(reply));
    EXPECT_EQ(Judge(reply), ProbeReply::kRefused);
    // A refusal is final.
    ProbeReply judged;
    judged.Add(reply.data(), reply.size());
    EXPECT_EQ(judged.Add(Text("OK\r\n").data(), 4), ProbeReply::kRefused);
  }
}

// The host prints around its answer: the probe takes the text before it and
// leaves the text after it to the watcher.
TEST_F(ProtocolTest, ProbeFindsTheAnswerAmongTheHostsText) {
  struct Case {
    const char* name;
    Bytes before, answer, after;
    int result;
  };
  const Case cases[] = {
      {"text before", kStatusLine, {kProbeAnswer}, {}, 1},
      {"text after", {}, {kProbeAnswer}, kChineseLine, 1},
      {"a line cut by the purge", {0xC8, '\r', '\n'}, {kProbeAnswer}, kStatusLine, 1},
      {"a character split by the answer", {'O', 'K', 0xD7}, {kProbeAnswer}, {0xB4, '\r', '\n'}, 1},
      {"text and a wrong answer", kStatusLine, {0x0E}, {}, 0},
      {"text without an answer", Concat({kStatusLine, kChineseLine}), {}, {}, 0},
  };
  OpenAt(115200);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    target.Clear();
    Bytes probe;
    Script host_([&] {
      probe = host.ReadExactly(5, 2000);
      host.Write(Concat({c.before, c.answer, c.after}));
    });
    EXPECT_EQ(link.Probe(0), c.result);
    host_.Join();
    EXPECT_EQ(probe, kProbe);
    if (c.result != 1) continue;
    Bytes received;
    platform::Deadline deadline(2000);
    while (received.size() < c.after.size() && !deadline.Passed()) {
      if (!target.WaitFor(LE_DATA_RECEIVED, deadline.Remaining())) break;
      uint8_t buffer[256];
      const int n = link.ReadAvailable(buffer, sizeof buffer);
      received.insert(received.end(), buffer, buffer + n);
      target.Clear();
      link.AckReceive();
    }
    EXPECT_EQ(received, c.after);
  }
  EXPECT_TRUE(op.Boxes().empty());
}

// At 1200 Baud the host is still printing a line when the probe comes; the
// answer comes after it, later than the probe's half second.
TEST_F(ProtocolTest, ProbeWaitsForTheAnswerBehindALineOnItsWay) {
  OpenAt(1200);
  Script host_([&] {
    host.ReadExactly(5, 3000);
    for (uint8_t b : Text("OK 01:02:03 uptime 5 s, in 3/8\r\n")) {
      host.Write({b});
      platform::SleepMs(25);
    }
    host.Write({kProbeAnswer});
  });
  int64_t ms = TimeMs([&] { EXPECT_EQ(link.Probe(0), 1); });
  host_.Join();
  EXPECT_GE(ms, 600);
  EXPECT_LT(ms, 3000);
}

TEST_F(ProtocolTest, HostRateChange) {
  OpenAt(115200);
  // A rate outside the table: nothing at all is sent.
  EXPECT_EQ(link.SetHostBaudRate(12345), 0);
  EXPECT_TRUE(host.Drain(300).empty());

  Bytes probe, command, rate, secondProbe;
  uint32_t lineAtSecondProbe = 0;
  Script host_([&] {
    probe = host.ReadExactly(5, 2000);
    host.Write({kProbeAnswer});
    command = host.ReadExactly(6, 2000);
    rate = host.ReadExactly(8, 2000);
    secondProbe = host.ReadExactly(5, 3000);
    lineAtSecondProbe = host.LineRate();
    host.Write({kProbeAnswer});
  });
  EXPECT_EQ(link.SetHostBaudRate(9600), 1);
  host_.Join();
  EXPECT_EQ(probe, kProbe);
  EXPECT_EQ(command, (Bytes{0x1B, 0x43, 0xE2, 0xAE, 0x0D, 0x0A}));
  EXPECT_EQ(rate, (Bytes{0x80, 0x25, 0x00, 0x00, 0x7F, 0xDA, 0xFF, 0xFF}));
  EXPECT_EQ(secondProbe, kProbe);
  EXPECT_EQ(lineAtSecondProbe, 9600u);
  EXPECT_EQ(Rate(), 9600u);
  EXPECT_EQ(link.TimePerByte(), 12);
  EXPECT_EQ(link.IsOpen(), 1);
}

// ---- program images ------------------------------------------------------------

struct ImageCase {
  const char* name;
  bool system;
  int answerYes;
  Bytes file;
  Bytes frame;
};

void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

class ImageTest : public ProtocolTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageTest, AnnouncedFramedAndAcknowledged) {
  const ImageCase& c = GetParam();
  OpenAt(115200);
  Bytes probe, announcement, frame;
  Script host_([&] {
    probe = host.ReadExactly(5, 2000);
    host.Write({kProbeAnswer});
    announcement = host.ReadExactly(12, 2000);
    // A slow acknowledgement: every byte is a chance for a watcher that is
    // not held to report it as received data.
    for (uint8_t b : kAck) {
      host.Write({b});
      platform::SleepMs(20);
    }
    frame = host.ReadExactly(c.frame.size(), 3000);
    host.Write(kAck);
  });
  const std::string path = File(c.file);
  int started;
  if (c.system) {
    link.SetSystemProgramPath(path.c_str());
    started = link.SendSystemProgram();
  } else {
    link.SetUserProgramPath(path.c_str());
    started = link.SendUserProgram(c.answerYes);
  }
  EXPECT_EQ(started, 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  EXPECT_EQ(probe, kProbe);
  const Bytes user = {0x1B, 0x43, 0xCF, 0xAD, 0xF0, 0xE7, 0xD9, 0xB6, 0xE0, 0xF8, 0x0D, 0x0A};
  const Bytes system = {0x1B, 0x43, 0xFC, 0xAD, 0xF0, 0xE7, 0xD9, 0xB6, 0xE0, 0x8F, 0x0D, 0x0A};
  EXPECT_EQ(announcement, c.system ? system : user);
  EXPECT_EQ(frame, c.frame);
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, c.frame.size());
  // The watcher was held from the announcement to the end: neither
  // acknowledgement was reported as received data.
  EXPECT_EQ(target.Count(LE_DATA_RECEIVED), 0u);
  // ... and is watching again afterwards.
  host.Write({0x41});
  EXPECT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ImageTest,
    ::testing::Values(
        ImageCase{"UserYes", false, 1, {0x01, 0x02, 0x04}, {0x04, 0, 0, 0, 0x01, 0x02, 0x04, 0x88, 0x8F}},
        ImageCase{"UserNo", false, 0, {0x01, 0x02, 0x04}, {0x04, 0, 0, 0, 0x01, 0x02, 0x04, 0x99, 0x9E}},
        ImageCase{"EmptyUser", false, 1, {}, {0x01, 0, 0, 0, 0x88, 0x88}},
        ImageCase{"System", true, 0, {0x10, 0x20}, {0x03, 0, 0, 0, 0x10, 0x20, 0x00, 0x30}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, ImageWithoutHostAcknowledgementLetsTheWatcherGo) {
  OpenAt(115200);
  Script host_([&] {
    host.ReadExactly(5, 2000);
    host.Write({kProbeAnswer});
    host.ReadExactly(12, 2000);
    host.Write(Text("NO"));  // not the acknowledgement
  });
  link.SetUserProgramPath(File({1, 2, 3}).c_str());
  EXPECT_EQ(link.SendUserProgram(1), 0);
  host_.Join();
  EXPECT_EQ(target.Count(LE_SEND_STARTED), 0u);
  EXPECT_TRUE(op.Boxes().empty());
  host.Write({0x41});
  EXPECT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
}

// A missing file gives the system's reason; a folder, FIFO or device is
// refused by name, before anything is opened for a blocking read.
TEST_F(ProtocolTest, UnreadableFilesAreRefusedWithTheirReason) {
  OpenAt(115200);
  EXPECT_EQ(link.SendRawFile("/nonexistent/lumaset.pgu"), 0);
  auto boxes = op.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  // The reason and the file.
  EXPECT_EQ(boxes[0].text, std::string("Could not open /nonexistent/lumaset.pgu: ") + std::strerror(ENOENT));
  EXPECT_EQ(boxes[0].caption, platform::LoadString(res::kStrCaption));

  const std::string fifo = File({}) + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto refusal = [](const std::string& path) {
    std::string text = platform::LoadString(res::kStrNotRegularFile);
    return text.replace(text.find("%1"), 2, path);
  };
  for (const std::string& path : {std::string("/tmp"), fifo, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    op.Clear();
    test::FifoGuard guard(fifo);
    EXPECT_EQ(link.SendFileWithHandshake(path.c_str()), 0);
    EXPECT_EQ(link.SendRawFile(path.c_str()), 0);
    link.SetUserProgramPath(path.c_str());
    EXPECT_EQ(link.SendUserProgram(1), 0);
    EXPECT_FALSE(guard.Fired()) << "a send waited on the FIFO";
    boxes = op.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& box : boxes) EXPECT_EQ(box.text, refusal(path));
  }
  EXPECT_TRUE(host.Drain(200).empty());
}

// ---- downloads -----------------------------------------------------------------

// Every answer comes a byte at a time: each byte is a chance for the
// watcher, which nothing holds during this download, to announce it as
// received data.
TEST_F(ProtocolTest, HandshakeDownloadOfThreeBytes) {
  OpenAt(115200);
  Bytes request, announcement, data;
  int64_t requestAfterMs = 0;
  const int64_t start = platform::NowMs();
  auto slowly = [&](const Bytes& bytes) {
    for (uint8_t b : bytes) {
      host.Write({b});
      platform::SleepMs(10);
    }
  };
  Script host_([&] {
    request = host.ReadExactly(5, 2000);
    requestAfterMs = platform::NowMs() - start;
    slowly(Text("V2.1 OKDOWNSYS"));  // bytes before the mark are fine
    announcement = host.ReadExactly(5, 2000);
    slowly({0x01});
    data = host.ReadExactly(3, 2000);
    slowly(kAck);
  });
  EXPECT_EQ(link.SendFileWithHandshake(File({0xAA, 0xBB, 0xCC}).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  EXPECT_EQ(request, kFblt);
  EXPECT_GE(requestAfterMs, 90);
  EXPECT_EQ(announcement, (Bytes{0x09, 0x00, 0x00, 0x00, 0x03}));
  EXPECT_EQ(data, (Bytes{0xAA, 0xBB, 0xCC}));
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, 3u);
  // No LE_DATA_RECEIVED among them: the answers were the download's.
  std::vector<std::pair<uint32_t, uint32_t>> seen;
  for (const auto& e : target.Events()) seen.emplace_back(e.code, e.value);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {LE_SEND_STARTED, 0},         {LE_STATUS, LS_START}, {LE_STATUS, LS_CHECK_VERSION},
      {LE_STATUS, LS_DOWNLOAD_DATA}, {LE_PROGRESS_FLAG | 1000, 3}, {LE_SEND_DONE, 3},
  };
  EXPECT_EQ(seen, expected);
  link.StopTransfer();
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
  EXPECT_EQ(link.IsTransferring(), 0);
}

TEST_F(ProtocolTest, ThousandBytesGoAsTwoBlocks) {
  OpenAt(115200);
  std::mutex lock;
  std::vector<size_t> writes;
  platform::SerialDevice::SetWriteObserver([&](const std::string& path, size_t bytes) {
    std::lock_guard<std::mutex> guard(lock);
    if (path == host.SlavePath()) writes.push_back(bytes);
  });
  Bytes file(1000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
  Bytes announcement, data;
  Script host_([&] {
    host.ReadExactly(5, 2000);
    host.Write(Text("OKDOWNSYS"));
    announcement = host.ReadExactly(5, 2000);
    host.Write({0x00, 0x01});
    data = host.ReadExactly(1000, 3000);
    host.Write(kAck);
  });
  EXPECT_EQ(link.SendFileWithHandshake(File(file).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  platform::SerialDevice::SetWriteObserver(nullptr);
  EXPECT_EQ(announcement, (Bytes{0x09, 0x00, 0x00, 0x03, 0xE8}));
  EXPECT_EQ(data, file);
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, 1000u);
  EXPECT_EQ(Progress(), (std::vector<std::pair<uint32_t, uint32_t>>{{512, 512}, {1000, 1000}}));
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(std::vector<size_t>(writes.end() - 2, writes.end()), (std::vector<size_t>{512, 488}));
}

TEST_F(ProtocolTest, EmptyRawFileWaitsOnlyForTheAcknowledgement) {
  OpenAt(115200);
  Script host_([&] {
    platform::SleepMs(100);
    host.Write(kAck);
  });
  EXPECT_EQ(link.SendRawFile(File({}).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, 0u);
  EXPECT_TRUE(Progress().empty());
}

struct RefusalCase {
  const char* name;
  Bytes answer;          // the host's answer to FBLT; the length is never acknowledged
  uint32_t failure;
  const char* box;       // the message shown, or nullptr
  Bytes toolSendsAfter;  // what the host then gets from the tool
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class HandshakeRefusalTest : public ProtocolTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(HandshakeRefusalTest, EndsTheDownload) {
  const RefusalCase& c = GetParam();
  OpenAt(115200);
  Bytes after;
  Script host_([&] {
    host.ReadExactly(5, 2000);
    host.Write(c.answer);
    after = host.Read(c.toolSendsAfter.size() + 1, 800);
  });
  EXPECT_EQ(link.SendFileWithHandshake(File({1, 2, 3}).c_str()), 1);
  auto failed = ValueOf(LE_FAILED, 5000);
  host_.Join();
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, c.failure);
  EXPECT_EQ(after, c.toolSendsAfter);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
  auto boxes = op.Boxes();
  if (c.box) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, c.box);
    EXPECT_EQ(boxes[0].caption, "错误!");
    EXPECT_EQ(boxes[0].type, platform::kMbIconWarning);
  } else {
    EXPECT_TRUE(boxes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, HandshakeRefusalTest,
    ::testing::Values(
        RefusalCase{"BytesAfterTheMark", Text("OKDOWNSYSX"), LS_REFUSED, nullptr, {'/'}},
        RefusalCase{"ShortAnswer", Text("OKDOWN"), LS_CHECK_VERSION, "等待回应失败!", {}},
        RefusalCase{"LengthNotAcknowledged", Text("OKDOWNSYS"), LS_REFUSED,
                    "等待回应失败，请检查文件长度是否正确", {0x09, 0, 0, 0, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

// A host that stops reading makes the tool's writes wait; a big file then
// keeps a block pending.
TEST_F(ProtocolTest, StopDuringTheDataPhaseCancels) {
  OpenAt(115200);
  EXPECT_EQ(link.SendRawFile(File(Bytes(256 * 1024, 0x55)).c_str()), 1);
  ASSERT_TRUE(target.WaitUntil([](const auto& ev) {
    for (const auto& e : ev)
      if (IsProgressEvent(e.code)) return true;
    return false;
  }, 5000));
  EXPECT_EQ(link.IsTransferring(), 1);
  // Everything else refuses while it runs.
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(link.SendRawFile(File({1}).c_str()), 0);
  EXPECT_EQ(link.Probe(1), 0);
  auto boxes = op.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& b : boxes) EXPECT_EQ(b.text, platform::LoadString(res::kStrTransferRunning));

  int64_t ms = TimeMs([&] { link.StopTransfer(); });
  EXPECT_LT(ms, 2000);
  auto failed = ValueOf(LE_FAILED, 1000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_CANCELLED);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
  EXPECT_EQ(link.IsTransferring(), 0);
  EXPECT_EQ(op.Boxes().size(), 2u);  // no "locked and terminated"
}

TEST_F(ProtocolTest, HostAbortCharacterCancelsTheBlock) {
  OpenAt(115200);
  EXPECT_EQ(link.SendRawFile(File(Bytes(256 * 1024, 0x55)).c_str()), 1);
  WaitForProgressToStall(300, 5000);  // a block is now waiting for the host
  auto progress = Progress();
  ASSERT_FALSE(progress.empty());
  ASSERT_LT(progress.back().second, 256u * 1024);
  host.Write({kEventChar});
  auto failed = ValueOf(LE_FAILED, 3000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_CANCELLED);
  // The tool purged what it had queued for the host.
  EXPECT_LT(host.Drain(200).size(), progress.back().second);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
}

TEST_F(ProtocolTest, FailedFastDownloadGoesBackToTheStartingRate) {
  OpenAt(9600);
  link.SetDownloadMode(1);
  Bytes data;
  uint32_t lineDuringData = 0;
  Script host_([&] {
    data = host.ReadExactly(10, 3000);
    lineDuringData = host.LineRate();
    // no acknowledgement
  });
  EXPECT_EQ(link.SendRawFile(File(Bytes(10, 0x33)).c_str()), 1);
  auto failed = ValueOf(LE_FAILED, 5000);
  host_.Join();
  EXPECT_EQ(data, Bytes(10, 0x33));
  EXPECT_EQ(lineDuringData, 115200u);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_VERIFY_FAILED);
  EXPECT_EQ(host.LineRate(), 9600u);
  EXPECT_EQ(Rate(), 9600u);
  EXPECT_EQ(link.TimePerByte(), 12);
  EXPECT_EQ(link.GetDownloadMode(), 0);
  EXPECT_EQ(link.IsOpen(), 1);
}

TEST_F(ProtocolTest, DownloadOnAClosedLinkIsNotReadyAndLeavesItClosed) {
  OpenAt(9600);
  link.Close(1);
  link.SetDownloadMode(1);
  EXPECT_EQ(link.SendRawFile(File({1, 2, 3}).c_str()), 1);
  auto failed = ValueOf(LE_FAILED, 3000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_NOT_READY);
  EXPECT_EQ(target.Count(LE_SEND_STARTED), 0u);
  link.StopTransfer();
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(Rate(), 9600u);
  EXPECT_EQ(link.GetDownloadMode(), 0);
}

// Link status (code LE_STATUS) with this value has been posted.
bool StatusPosted(const std::vector<PostedEvent>& events, uint32_t status) {
  for (const auto& e : events)
    if (e.code == LE_STATUS && e.value == status) return true;
  return false;
}

bool ProgressPosted(const std::vector<PostedEvent>& events) {
  for (const auto& e : events)
    if (IsProgressEvent(e.code)) return true;
  return false;
}

TEST_F(ProtocolTest, FastDownloadThatSucceedsStaysAt115200) {
  OpenAt(9600);
  link.SetDownloadMode(1);
  Bytes data;
  Script host_([&] {
    data = host.ReadExactly(10, 3000);
    host.Write(kAck);
  });
  EXPECT_EQ(link.SendRawFile(File(Bytes(10, 0x44)).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  EXPECT_EQ(data, Bytes(10, 0x44));
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, 10u);
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
  EXPECT_EQ(host.LineRate(), 115200u);
  EXPECT_EQ(Rate(), 115200u);
  EXPECT_EQ(link.TimePerByte(), 1);
  EXPECT_EQ(link.GetDownloadMode(), 0);
  EXPECT_EQ(link.IsOpen(), 1);
}

// The host's abort character ends the data phase whenever it comes: here in
// the pause before the first block (768 ms at 300 baud), so no data byte is
// written at all.
TEST_F(ProtocolTest, AbortInThePauseBeforeTheFirstBlockCancels) {
  OpenAt(300);
  EXPECT_EQ(link.SendRawFile(File({0x11}).c_str()), 1);
  ASSERT_TRUE(target.WaitUntil([](const auto& ev) { return StatusPosted(ev, LS_DOWNLOAD_DATA); }, 3000));
  host.Write({kEventChar});
  auto failed = ValueOf(LE_FAILED, 6000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_CANCELLED);
  EXPECT_TRUE(host.Drain(300).empty());
  EXPECT_TRUE(Progress().empty());
}

// In download mode 1 the pauses keep the factor of the starting rate (768 ms
// from 300 baud) while the blocks go at 115200: room for a stop or an abort
// between the two blocks of 513 bytes. Neither lets any of the second block
// out, and the line goes back to 300.
TEST_F(ProtocolTest, StopOrAbortInThePauseBetweenBlocksSendsNoPartOfTheNext) {
  for (const bool abortByHost : {false, true}) {
    SCOPED_TRACE(abortByHost ? "abort character" : "stop");
    target.Clear();
    OpenAt(300);
    link.SetDownloadMode(1);
    Bytes data;
    Script host_([&] { data = host.ReadExactly(513, 3000); });
    EXPECT_EQ(link.SendRawFile(File(Bytes(513, 0x66)).c_str()), 1);
    ASSERT_TRUE(target.WaitUntil(ProgressPosted, 4000));
    if (abortByHost)
      host.Write({kEventChar});
    else
      link.StopTransfer();
    auto failed = ValueOf(LE_FAILED, 3000);
    host_.Join();
    ASSERT_TRUE(failed);
    EXPECT_EQ(*failed, LS_CANCELLED);
    EXPECT_EQ(data.size(), 512u);
    EXPECT_EQ(Progress(), (std::vector<std::pair<uint32_t, uint32_t>>{{998, 512}}));
    link.StopTransfer();
    EXPECT_EQ(host.LineRate(), 300u);
    EXPECT_EQ(Rate(), 300u);
    link.Close(1);
  }
}

// What the host said before the data phase is not an abort, even when it is
// the abort character: in the handshake answer and as the length
// acknowledgement.
TEST_F(ProtocolTest, AbortCharacterBeforeTheDataPhaseDoesNotCount) {
  OpenAt(115200);
  Bytes data;
  Script host_([&] {
    host.ReadExactly(5, 2000);
    host.Write(Concat({{kEventChar}, Text("OKDOWNSYS")}));
    host.ReadExactly(5, 2000);
    host.Write({kEventChar});
    data = host.ReadExactly(2, 2000);
    host.Write(kAck);
  });
  EXPECT_EQ(link.SendFileWithHandshake(File({0x21, 0x22}).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  ASSERT_TRUE(done);
  EXPECT_EQ(*done, 2u);
  EXPECT_EQ(data, (Bytes{0x21, 0x22}));
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
}

// A link on which the operator's stop comes just as the closing
// acknowledgement has been read whole.
class StopAtTheAcknowledgementLink : public CSerialLink {
 public:
  int ReadExact(void* buffer, int count, const Event* cancelEvent) override {
    const int n = CSerialLink::ReadExact(buffer, count, cancelEvent);
    if (OnTransferThread() && cancelEvent == &m_cancelTransfer && count == 8 && n == 8) m_cancelTransfer.Set();
    return n;
  }
};

class StopAtTheAcknowledgementTest : public ProtocolTest {
 protected:
  StopAtTheAcknowledgementTest() : ProtocolTest(std::make_unique<StopAtTheAcknowledgementLink>()) {}
};

TEST_F(StopAtTheAcknowledgementTest, AWholeAcknowledgementIsASuccess) {
  OpenAt(115200);
  Script host_([&] {
    host.ReadExactly(3, 2000);
    host.Write(kAck);
  });
  EXPECT_EQ(link.SendRawFile(File({1, 2, 3}).c_str()), 1);
  auto done = ValueOf(LE_SEND_DONE, 5000);
  host_.Join();
  ASSERT_TRUE(done) << "failed with " << std::hex << Values(LE_FAILED).at(0);
  EXPECT_EQ(*done, 3u);
  EXPECT_EQ(target.Count(LE_FAILED), 0u);

  // A stop while the acknowledgement is still short is a cancel, at once.
  link.StopTransfer();
  target.Clear();
  EXPECT_EQ(link.SendRawFile(File({}).c_str()), 1);
  host.Write(Bytes(kAck.begin(), kAck.begin() + 4));
  platform::SleepMs(150);
  EXPECT_LT(TimeMs([&] { link.StopTransfer(); }), 1000);
  auto failed = ValueOf(LE_FAILED, 1000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_CANCELLED);
}

// A host that has stopped reading: the block that no longer fits is not
// written within block x F + 5000 ms.
TEST_F(ProtocolTest, HostThatStopsReadingTimesTheDownloadOut) {
  test::HostSimProcess sim({"--fault", "stall=0"});
  ASSERT_TRUE(sim.Started());
  platform::SetComPortPath(kSimPort, test::JsonField(sim.Ready(), "device"));
  LinkSettings s;
  s.port = kSimPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(1), 1);
  EXPECT_EQ(link.SendRawFile(File(Bytes(512 * 1024, 0x5A)).c_str()), 1);
  ASSERT_TRUE(target.WaitUntil(ProgressPosted, 10000));
  auto failed = ValueOf(LE_FAILED, 60000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_TIMEOUT);
  const auto progress = Progress();
  EXPECT_LT(progress.back().second, 512u * 1024);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
  EXPECT_EQ(link.IsOpen(), 1);
  link.Close(1);
}

// A host that goes away in the middle of the data: the next write fails.
TEST_F(ProtocolTest, HostThatGoesAwayFailsTheWrite) {
  auto sim = std::make_unique<test::HostSimProcess>(std::vector<std::string>{"--fault", "stall=0"});
  ASSERT_TRUE(sim->Started());
  platform::SetComPortPath(kSimPort, test::JsonField(sim->Ready(), "device"));
  LinkSettings s;
  s.port = kSimPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(1), 1);
  EXPECT_EQ(link.SendRawFile(File(Bytes(512 * 1024, 0x5A)).c_str()), 1);
  ASSERT_TRUE(target.WaitUntil(ProgressPosted, 10000));
  sim->Stop();
  auto failed = ValueOf(LE_FAILED, 10000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_WRITE_FAILED);
  EXPECT_EQ(target.Count(LE_SEND_DONE), 0u);
  link.Close(1);
}

// Through a device server the download is paced by the remote port's rate as
// on a local port: each block counts as sent when it would have left the
// server's port, so the progress never runs ahead of what has reached the
// host (the network, the server and the terminal would otherwise take tens
// of kilobytes at once and report them done seconds early).
TEST_F(ProtocolTest, ThroughADeviceServerProgressKeepsPaceWithTheHost) {
  test::HostSimProcess sim({"--pace"});
  ASSERT_TRUE(sim.Started());
  test::DeviceServer server(test::DeviceServer::Kind::kSer2net, test::JsonField(sim.Ready(), "device"));
  if (!server.Started()) GTEST_SKIP() << server.Missing();
  // When each progress event was posted, on the simulator's clock.
  struct TimedTarget : platform::IEventTarget {
    void Post(uint32_t message, uint32_t code, uint32_t value) override {
      if (IsProgressEvent(code) && ProgressThousandths(code) == 1000) lastProgressMs = platform::NowMs();
      events.Post(message, code, value);
    }
    std::atomic<int64_t> lastProgressMs{0};
    test::RecordingTarget events;
  } timed;
  platform::SetComPortPath(kSimPort, server.Url());
  LinkSettings s;
  s.port = kSimPort;
  link.ApplySettings(&s);
  link.SetNotifyTarget(&timed, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(1), 1);
  const Bytes data = test::RandomBytes(32 * 1024, 9);
  link.SetUserProgramPath(File(data).c_str());
  ASSERT_EQ(link.SendUserProgram(1), 1);
  ASSERT_TRUE(timed.events.WaitFor(LE_SEND_DONE, 20000));
  const std::string done = sim.Wait("download-done", "", 5000);
  ASSERT_FALSE(done.empty());
  const double hostDoneMs =
      std::stod(test::JsonField(sim.Ready(), "monotonicStartUs")) / 1000.0 + std::stod(test::JsonField(done, "t"));
  // The last block is reported once it has left: not before the host has
  // (nearly) all of it. A generous margin for the relay and a loaded machine.
  EXPECT_GT(static_cast<double>(timed.lastProgressMs), hostDoneMs - 400.0);
  EXPECT_EQ(sim.Received("-user.pgu"), data);
  link.Close(1);
  platform::SetComPortPath(kSimPort, "");
}

// The host's input is full before the download starts: the handshake
// request cannot be written. The write's recovery runs on the transfer
// thread, which it must not wait for; the link is open again afterwards.
TEST_F(ProtocolTest, HandshakeRequestThatTimesOutChecksVersionAndReopens) {
  OpenAt(115200);
  // Fill the terminal towards the host, which reads nothing. Root opens it
  // beside the link; anybody else fills it through the link, whose write
  // then times out and re-opens the port first.
  if (const int fd = ::open(host.SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK); fd >= 0) {
    // The terminal moves bytes on towards the host's side a little later,
    // which makes room again: fill until a later round takes nothing.
    const Bytes filler(4096, 0x77);
    for (bool took = true; took;) {
      took = false;
      while (::write(fd, filler.data(), filler.size()) > 0) took = true;
      platform::SleepMs(50);
    }
    ::close(fd);
  } else {
    const Bytes filler(256 * 1024, 0x77);
    ASSERT_LT(link.Write(filler.data(), static_cast<int>(filler.size())), 512);
  }
  EXPECT_EQ(link.SendFileWithHandshake(File({1, 2, 3}).c_str()), 1);
  auto failed = ValueOf(LE_FAILED, 8000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, LS_CHECK_VERSION);
  EXPECT_TRUE(StatusPosted(target.Events(), LS_CHECK_VERSION));
  link.StopTransfer();
  EXPECT_EQ(link.LastTransferExitCode(), kTransferThreadDone);
  EXPECT_TRUE(op.Boxes().empty());  // neither "no answer" nor "locked and terminated"
  EXPECT_EQ(link.IsOpen(), 1);
  // The re-opened link watches the line again.
  host.Drain(300);
  target.Clear();
  host.Write({0x42});
  EXPECT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 2000));
}

// A second start of the same send from inside the first one's file error box
// (the box's event loop runs the click) returns 0 and shows nothing.
TEST_F(ProtocolTest, SecondStartDuringTheFileErrorReturnsAtOnce) {
  OpenAt(115200);
  const std::string missing = (dir_.Path() / "missing.pgu").string();
  link.SetUserProgramPath(missing.c_str());
  const std::vector<std::pair<const char*, std::function<int()>>> sends = {
      {"raw file", [&] { return link.SendRawFile(missing.c_str()); }},
      {"with handshake", [&] { return link.SendFileWithHandshake(missing.c_str()); }},
      {"program image", [&] { return link.SendUserProgram(1); }},
  };
  for (const auto& [name, send] : sends) {
    SCOPED_TRACE(name);
    op.Clear();
    int inner = -1;
    op.DuringNextBox([&, send = send] { inner = send(); });
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(inner, 0);
    ASSERT_EQ(op.Boxes().size(), 1u);
    EXPECT_NE(op.Boxes()[0].text.find(std::strerror(ENOENT)), std::string::npos) << op.Boxes()[0].text;
  }
  EXPECT_TRUE(host.Drain(200).empty());
  EXPECT_EQ(target.Count(LE_SEND_STARTED), 0u);
}

// ---- baud search ---------------------------------------------------------------

// A host at 9600 that answers nothing at other rates, and at 4800 answers
// with one byte too many. Records what it got after the rate was found.
TEST_F(ProtocolTest, FailedProbeSearchesFindsTheHostAndResends) {
  OpenAt(115200);
  std::atomic<bool> stop{false};
  Bytes beforeFound, afterFound;
  std::atomic<bool> found{false};
  Script host_([&] {
    Bytes window;
    platform::Deadline deadline(40000);
    while (!stop && !deadline.Passed()) {
      Bytes got = host.Read(64, 50);
      Bytes& log = found ? afterFound : beforeFound;
      log.insert(log.end(), got.begin(), got.end());
      window.insert(window.end(), got.begin(), got.end());
      if (!EndsWith(window, kProbe)) continue;
      window.clear();
      const uint32_t rate = host.LineRate();
      if (rate == 9600) host.Write({kProbeAnswer});
      if (rate == 4800) host.Write({kProbeAnswer, kProbeAnswer});
    }
  });
  op.Answer({platform::kIdOk});
  EXPECT_EQ(link.SendCommand(2, 0), 1);  // the search has started
  EXPECT_EQ(link.IsSearching(), 1);
  auto rate = ValueOf(LE_BAUD_FOUND, 30000);
  found = true;
  ASSERT_TRUE(rate);
  EXPECT_EQ(*rate, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{115200, 300, 600, 1200, 2400, 4800, 9600}));
  EXPECT_EQ(link.IsSearching(), 0);
  EXPECT_EQ(Rate(), 9600u);
  EXPECT_EQ(host.LineRate(), 9600u);
  EXPECT_EQ(link.IsOpen(), 1);
  // What the view does on LE_BAUD_FOUND: the held-back command goes out now.
  link.ResendAfterSearch();
  platform::SleepMs(300);
  stop = true;
  host_.Join();
  const Bytes command = {0x1B, 0x43, 0xD4, 0xBB, 0x0D, 0x0A};
  EXPECT_EQ(afterFound, Concat({kProbe, command}));
  EXPECT_EQ(std::search(beforeFound.begin(), beforeFound.end(), command.begin(), command.end()), beforeFound.end());
  // A second resend has nothing to send.
  link.ResendAfterSearch();
  EXPECT_TRUE(host.Drain(200).empty());
}

TEST_F(ProtocolTest, SilentHostGivesTwelveTriesAndTheSavedRate) {
  OpenAt(9600);
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  EXPECT_EQ(link.StartBaudSearch(0), 0);  // one at a time
  auto last = ValueOf(LE_BAUD_NOT_FOUND, 40000);
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{9600, 14400, 19200, 38400, 57600, 115200, 300, 600, 1200,
                                                           2400, 4800, 9600}));
  EXPECT_EQ(link.IsSearching(), 0);
  EXPECT_EQ(Rate(), 9600u);
  EXPECT_EQ(host.LineRate(), 9600u);
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_TRUE(op.Boxes().empty());
  // The ended search does not stand in the way of the next one.
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  link.StopBaudSearch();
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(ProtocolTest, SearchRefusesOthersAndStopsPromptly) {
  OpenAt(115200);
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  ASSERT_TRUE(target.WaitUntil([](const auto& ev) {
    for (const auto& e : ev)
      if (e.code == LE_BAUD_TRYING && e.value == 300) return true;
    return false;
  }, 5000));
  platform::SleepMs(200);  // well inside the long wait at 300
  EXPECT_EQ(link.SendCommand(2, 0), 0);
  EXPECT_EQ(link.SendRawFile(File({1, 2}).c_str()), 0);
  EXPECT_EQ(link.Probe(1), 0);  // quietly
  auto boxes = op.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& b : boxes) {
    EXPECT_EQ(b.text, kSearchRunningText);
    EXPECT_EQ(b.caption, kSearchRunningCaption);
    EXPECT_EQ(b.type, platform::kMbIconWarning);
  }
  EXPECT_EQ(target.Count(LE_SEND_STARTED), 0u);
  int64_t ms = TimeMs([&] { link.StopBaudSearch(); });
  EXPECT_LT(ms, 2500);
  auto last = ValueOf(LE_BAUD_NOT_FOUND, 1000);
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, 300u);
  EXPECT_EQ(Rate(), 115200u);
  EXPECT_EQ(host.LineRate(), 115200u);
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_EQ(op.Boxes().size(), 2u);  // no "locked and terminated"
}

TEST_F(ProtocolTest, ReleaseDuringASearchLeavesThePortClosedAndFree) {
  OpenAt(115200);
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  ASSERT_TRUE(target.WaitFor(LE_BAUD_TRYING, 5000));
  // The stopped search re-opens the port on its way out; Release must not
  // leave it open behind it.
  int64_t ms = TimeMs([&] { link.Release(); });
  EXPECT_LT(ms, 4000);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(link.IsSearching(), 0);
  CSerialLink other;
  LinkSettings s;
  s.port = kPort;
  other.ApplySettings(&s);
  EXPECT_EQ(other.Open(0), 1);  // nobody holds the port any more
}


// A host at `answerRate` that answers the probe there, except the first
// `wrongFirst` probes, which get 0x0E. Logs everything it gets.
class ProbingHost {
 public:
  ProbingHost(test::PtyHost& host, uint32_t answerRate, int wrongFirst = 0)
      : thread_([this, &host, answerRate, wrongFirst] {
          Bytes window;
          int probes = 0;
          platform::Deadline deadline(60000);
          while (!stop_ && !deadline.Passed()) {
            Bytes got = host.Read(64, 20);
            {
              std::lock_guard<std::mutex> guard(lock_);
              log_.insert(log_.end(), got.begin(), got.end());
            }
            window.insert(window.end(), got.begin(), got.end());
            if (!EndsWith(window, kProbe)) continue;
            window.clear();
            if (probes++ < wrongFirst)
              host.Write({0x0E});
            else if (host.LineRate() == answerRate)
              host.Write({kProbeAnswer});
          }
        }) {}
  ~ProbingHost() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // What the host got, and forgets it.
  Bytes Take() {
    std::lock_guard<std::mutex> guard(lock_);
    Bytes out;
    out.swap(log_);
    return out;
  }

 private:
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  Bytes log_;
  std::thread thread_;
};

bool Contains(const Bytes& data, const Bytes& part) {
  return std::search(data.begin(), data.end(), part.begin(), part.end()) != data.end();
}

const Bytes kRateCommand = {0x1B, 0x43, 0xE2, 0xAE, 0x0D, 0x0A};
const Bytes kRate9600 = {0x80, 0x25, 0x00, 0x00, 0x7F, 0xDA, 0xFF, 0xFF};

// A link whose user-interface thread is slow to write the 8 rate bytes of
// SetHostBaudRate: by then a search started by its probe owns the port.
class SlowRateWriteLink : public CSerialLink {
 public:
  std::function<void()> beforeRateWrite;
  std::atomic<int> rateWrites{0};
  int Write(const void* buffer, int length) override {
    if (length == 8 && !OnTransferThread() && !m_search.IsCurrentThread()) {
      ++rateWrites;
      if (beforeRateWrite) beforeRateWrite();
    }
    return CSerialLink::Write(buffer, length);
  }
};

class SlowRateWriteTest : public ProtocolTest {
 protected:
  SlowRateWriteTest() : ProtocolTest(std::make_unique<SlowRateWriteLink>()) {}
  SlowRateWriteLink& Slow() { return static_cast<SlowRateWriteLink&>(link); }
};

// The probe before command 14 fails and the operator lets it search: the
// rate is then neither announced nor written, the port is left to the
// search, and command 14 is not resent when the rate is found.
TEST_F(SlowRateWriteTest, HostRateChangeWhoseProbeStartsASearchLeavesThePortToIt) {
  OpenAt(115200);
  Slow().beforeRateWrite = [&] { target.WaitFor(LE_BAUD_TRYING, 3000); };
  ProbingHost probing(host, 115200, 1);
  op.Answer({platform::kIdOk});
  EXPECT_EQ(link.SetHostBaudRate(9600), 0);
  auto found = ValueOf(LE_BAUD_FOUND, 10000);
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, 115200u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{115200}));
  link.ResendAfterSearch();
  platform::SleepMs(300);
  probing.Stop();
  const Bytes got = probing.Take();
  EXPECT_EQ(Slow().rateWrites, 0);
  EXPECT_FALSE(Contains(got, kRateCommand));
  EXPECT_FALSE(Contains(got, kRate9600));
  EXPECT_EQ(Rate(), 115200u);
  EXPECT_EQ(host.LineRate(), 115200u);
  EXPECT_EQ(link.IsOpen(), 1);
  ASSERT_EQ(op.Boxes().size(), 1u);  // the probe's question, nothing else
  EXPECT_EQ(op.Boxes()[0].text, platform::LoadString(res::kStrProbeFailedSearch));
}

// After a search that the operator started, or one that follows an image
// announcement, there is nothing to resend.
TEST_F(ProtocolTest, ResendAfterSearchSendsOnlyWhatAFailedProbeHeldBack) {
  OpenAt(115200);
  ProbingHost probing(host, 115200);
  const Bytes command2 = {0x1B, 0x43, 0xD4, 0xBB, 0x0D, 0x0A};
  EXPECT_EQ(link.SendCommand(2, 0), 1);
  platform::SleepMs(200);
  EXPECT_EQ(probing.Take(), Concat({kProbe, command2}));
  // The operator's own search: the last command stays where it went.
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  ASSERT_TRUE(ValueOf(LE_BAUD_FOUND, 10000));
  probing.Take();
  link.ResendAfterSearch();
  platform::SleepMs(300);
  EXPECT_TRUE(probing.Take().empty());

  // The announcements are never resent, whatever started the search.
  for (const int announcement : {kCmdAnnounceUser, kCmdAnnounceSystem}) {
    SCOPED_TRACE(announcement);
    target.Clear();
    EXPECT_EQ(link.SendCommand(announcement, 0), 1);
    platform::SleepMs(200);
    EXPECT_EQ(probing.Take().size(), kProbe.size() + 12);
    EXPECT_EQ(link.StartBaudSearch(1), 1);
    ASSERT_TRUE(ValueOf(LE_BAUD_FOUND, 10000));
    probing.Take();
    link.ResendAfterSearch();
    platform::SleepMs(300);
    EXPECT_TRUE(probing.Take().empty());
  }
  EXPECT_TRUE(op.Boxes().empty());
}

// A saved rate that is not in the table: the search starts at 300; a search
// that ends without a rate puts the saved one back on the record and the line.
TEST_F(ProtocolTest, SearchFromARateOutsideTheTable) {
  OpenAt(230400);
  EXPECT_EQ(link.TimePerByte(), 12);
  {
    ProbingHost probing(host, 600);
    EXPECT_EQ(link.StartBaudSearch(0), 1);
    auto found = ValueOf(LE_BAUD_FOUND, 20000);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, 600u);
    EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{300, 600}));
    EXPECT_EQ(Rate(), 600u);
  }
  link.Close(1);
  target.Clear();
  OpenAt(230400);
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  ASSERT_TRUE(target.WaitFor(LE_BAUD_TRYING, 5000));
  link.StopBaudSearch();
  auto last = ValueOf(LE_BAUD_NOT_FOUND, 3000);
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, 300u);
  EXPECT_EQ(Rate(), 230400u);
  EXPECT_EQ(host.LineRate(), 230400u);
  EXPECT_EQ(link.TimePerByte(), 12);
  EXPECT_EQ(link.IsOpen(), 1);
}

// The host at 9600 prints a line before and after each answer; at 2400 a
// stray answer byte comes once (noise that looks like the answer). Only the
// rate that answers twice in a row is found.
TEST_F(ProtocolTest, SearchConfirmsTheRateAndHearsTheAnswerAmongText) {
  OpenAt(1200);
  std::atomic<bool> stop{false};
  std::map<uint32_t, int> probes;  // probes the host got at each rate
  Script host_([&] {
    Bytes window;
    platform::Deadline deadline(40000);
    while (!stop && !deadline.Passed()) {
      Bytes got = host.Read(64, 20);
      window.insert(window.end(), got.begin(), got.end());
      if (!EndsWith(window, kProbe)) continue;
      window.clear();
      const uint32_t rate = host.LineRate();
      if (rate == 9600) host.Write(Concat({kStatusLine, {kProbeAnswer}, kChineseLine}));
      if (rate == 2400 && probes[rate] == 0) host.Write({kProbeAnswer});
      ++probes[rate];
    }
  });
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  auto rate = ValueOf(LE_BAUD_FOUND, 30000);
  stop = true;
  host_.Join();
  ASSERT_TRUE(rate);
  EXPECT_EQ(*rate, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{1200, 2400, 4800, 9600}));
  EXPECT_EQ(probes, (std::map<uint32_t, int>{{1200, 1}, {2400, 2}, {4800, 1}, {9600, 2}}));
  EXPECT_EQ(Rate(), 9600u);
}

// ---- against the simulator printing status lines ------------------------------------

// The simulator as a host that prints a status line every GetParam() ms.
class TalkingHostTest : public ProtocolTest, public ::testing::WithParamInterface<int> {
 protected:
  // Starts it at hostRate (with `extra` arguments) and opens the link to it
  // at openRate.
  void Start(uint32_t hostRate, uint32_t openRate, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--rate", std::to_string(hostRate), "--talk", std::to_string(GetParam())};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<test::HostSimProcess>(args);
    ASSERT_TRUE(sim->Started());
    platform::SetComPortPath(kSimPort, test::JsonField(sim->Ready(), "device"));
    LinkSettings s;
    s.port = kSimPort;
    s.rate = openRate;
    link.ApplySettings(&s);
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(1), 1);
  }
  // Events of that name the simulator has logged so far.
  size_t SimEvents(const std::string& name) {
    sim->Wait("none", "", 200);  // takes in what has been written
    const std::string tag = "{\"event\":\"" + name + "\"";
    return static_cast<size_t>(std::count_if(sim->Lines().begin(), sim->Lines().end(),
                                             [&](const std::string& l) { return l.rfind(tag, 0) == 0; }));
  }
  void TearDown() override { link.Close(1); }
  std::unique_ptr<test::HostSimProcess> sim;
};

// Probes about as far apart as the host's quiet time after a message, so its
// status lines go out around them.
TEST_P(TalkingHostTest, ProbeIsAnsweredEveryTime) {
  ASSERT_NO_FATAL_FAILURE(Start(115200, 115200));
  const int probes = GetParam() < 1000 ? 8 : 12;
  for (int i = 0; i < probes; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(link.Probe(0), 1);
    platform::SleepMs(285 + 5 * (i % 8));
  }
  EXPECT_EQ(SimEvents("probe"), static_cast<size_t>(probes));
  EXPECT_GT(SimEvents("talk"), 0u);
}

// From 115200 down to the host's 9600; then from 9600, found at once.
TEST_P(TalkingHostTest, SearchFindsTheHostFromAboveAndAtItsOwnRate) {
  ASSERT_NO_FATAL_FAILURE(Start(9600, 115200));
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  auto rate = ValueOf(LE_BAUD_FOUND, 30000);
  ASSERT_TRUE(rate);
  EXPECT_EQ(*rate, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{115200, 300, 600, 1200, 2400, 4800, 9600}));
  EXPECT_EQ(Rate(), 9600u);
  target.Clear();
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  rate = ValueOf(LE_BAUD_FOUND, 10000);
  ASSERT_TRUE(rate);
  EXPECT_EQ(*rate, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{9600}));
  EXPECT_EQ(link.Probe(0), 1);
}

INSTANTIATE_TEST_SUITE_P(Talk, TalkingHostTest, ::testing::Values(200, 2000),
                         [](const auto& info) { return "Every" + std::to_string(info.param) + "ms"; });

// The host's status lines reach a tool at a wrong rate as noise, now and then
// with a 0x0F in it: no such rate is ever reported.
class NoisyHostTest : public TalkingHostTest {};

TEST_P(NoisyHostTest, NoiseAtWrongRatesIsNeverAFind) {
  ASSERT_NO_FATAL_FAILURE(Start(9600, 115200, {"--noise", "11"}));
  EXPECT_EQ(link.StartBaudSearch(0), 1);
  auto rate = ValueOf(LE_BAUD_FOUND, 40000);
  ASSERT_TRUE(rate);
  EXPECT_EQ(*rate, 9600u);
  EXPECT_EQ(Values(LE_BAUD_TRYING), (std::vector<uint32_t>{115200, 300, 600, 1200, 2400, 4800, 9600}));
  // The noise did come while the wrong rates were tried.
  EXPECT_GE(SimEvents("noise"), 5u);
}

INSTANTIATE_TEST_SUITE_P(Talk, NoisyHostTest, ::testing::Values(200),
                         [](const auto& info) { return "Every" + std::to_string(info.param) + "ms"; });

}  // namespace
}  // namespace lumaset
