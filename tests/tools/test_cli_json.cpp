// lumaset-cli --json run as a child process against lumaset-hostsim (and,
// for received data, against a pseudo-terminal the test writes to): every
// line is strict JSON, the lines come in a sensible order, and what they say
// agrees with what the simulator logged and stored.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ChildProcess;
using test::HostSimProcess;
using test::JsonField;
using test::TempDir;

std::string Cli() { return test::BuiltProgram("lumaset-cli"); }

// What a script reading the line would need: one strict JSON object, no raw
// control character, valid UTF-8, "kind" first and "t" second (but for ports).
::testing::AssertionResult IsStrictJsonLine(const std::string& line) {
  for (unsigned char c : line)
    if (c < 0x20) return ::testing::AssertionFailure() << "raw control character in: " << line;
  const QByteArray bytes = QByteArray::fromStdString(line);
  if (QString::fromUtf8(bytes).toUtf8() != bytes) return ::testing::AssertionFailure() << "not UTF-8: " << line;
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject())
    return ::testing::AssertionFailure() << error.errorString().toStdString() << ": " << line;
  if (line.rfind("{\"kind\":\"", 0) != 0) return ::testing::AssertionFailure() << "kind is not first: " << line;
  // The listing of ports is no run with a clock: its lines have no "t".
  if (line.rfind("{\"kind\":\"port\",", 0) != 0 && line.find(",\"t\":") != line.find(','))
    return ::testing::AssertionFailure() << "t is not second: " << line;
  return ::testing::AssertionSuccess();
}

// One run of lumaset-cli --json; stdout is read as it comes.
class JsonRun {
 public:
  explicit JsonRun(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
    args.insert(args.begin(), {Cli(), "--json"});
    ChildProcess::Options options;
    options.captureStdout = true;
    options.captureStderr = true;
    options.env = std::move(env);
    process_ = std::make_unique<ChildProcess>(args, options);
  }

  // Reads until a line for which `match` holds has come (true), or stdout
  // ends or timeoutMs passes (false).
  bool WaitFor(const std::function<bool(const QJsonObject&)>& match, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t seen = 0;
    for (;;) {
      for (; seen < objects_.size(); ++seen)
        if (match(objects_[seen])) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
  }

  // Reads stdout to its end and waits for the exit; the exit status (-1 when
  // the tool did not end within timeoutMs).
  int Finish(int timeoutMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return process_->Terminate(), -1;
      if (!ReadSome(static_cast<int>(left.count()))) break;
    }
    const int status = process_->Wait(10000);
    EXPECT_TRUE(partial_.empty()) << "unfinished last line: " << partial_;
    return status;
  }

  // SIGTERM, as a user's Ctrl-C or a service manager would.
  void Terminate() { process_->Terminate(); }
  const std::vector<std::string>& Lines() const { return lines_; }
  const std::vector<QJsonObject>& Objects() const { return objects_; }
  std::string Stderr() { return process_->Stderr(); }
  std::string Kinds() const {
    std::string kinds;
    for (const auto& o : objects_) kinds += o.value("kind").toString().toStdString() + " ";
    return kinds;
  }
  // The lines of one kind.
  std::vector<QJsonObject> OfKind(const char* kind) const {
    std::vector<QJsonObject> out;
    for (const auto& o : objects_)
      if (o.value("kind").toString() == QLatin1String(kind)) out.push_back(o);
    return out;
  }
  QJsonObject First(const char* kind) const {
    const auto all = OfKind(kind);
    return all.empty() ? QJsonObject() : all.front();
  }

 private:
  // Waits up to timeoutMs for output and takes it; false at the end of stdout.
  bool ReadSome(int timeoutMs) {
    pollfd p{process_->StdoutFd(), POLLIN, 0};
    const int ready = ::poll(&p, 1, std::min(timeoutMs, 200));
    if (ready <= 0) return true;  // nothing yet: the caller's clock decides
    char buffer[4096];
    const ssize_t n = ::read(process_->StdoutFd(), buffer, sizeof buffer);
    if (n <= 0) return false;
    partial_.append(buffer, static_cast<size_t>(n));
    for (size_t cut; (cut = partial_.find('\n')) != std::string::npos;) {
      const std::string line = partial_.substr(0, cut);
      partial_.erase(0, cut + 1);
      EXPECT_TRUE(IsStrictJsonLine(line));
      lines_.push_back(line);
      objects_.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    }
    return true;
  }

  std::unique_ptr<ChildProcess> process_;
  std::string partial_;
  std::vector<std::string> lines_;
  std::vector<QJsonObject> objects_;
};

// The simulator on a serial link (a symlink in a folder of its own), over TCP
// or as the virtual USB device.
struct Sim {
  enum class Transport { kSerial, kTcp, kUsb };
  explicit Sim(std::vector<std::string> extra = {}, Transport transport = Transport::kSerial)
      : transport(transport), link((dir.Path() / (transport == Transport::kUsb ? "usb.sock" : "host")).string()),
        host(Args(std::move(extra))) {}

  std::vector<std::string> Args(std::vector<std::string> extra) const {
    std::vector<std::string> args;
    switch (transport) {
      case Transport::kSerial: args = {"--link", link}; break;
      case Transport::kTcp: args = {"--tcp", "0"}; break;
      case Transport::kUsb: args = {"--usb-virtual", link}; break;
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // The tool's link options for this simulator.
  std::vector<std::string> LinkArgs() const {
    switch (transport) {
      case Transport::kSerial: return {"--device", link};
      case Transport::kTcp: return {"--tcp", "127.0.0.1:" + JsonField(host.Ready(), "port")};
      case Transport::kUsb: return {"--usb-virtual", link};
    }
    return {};
  }

  TempDir dir{"lumaset-cli-json"};
  Transport transport;
  std::string link;
  HostSimProcess host;
};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

#define REQUIRE_SIM(sim)                                                                            \
  do {                                                                                              \
    if (!fs::exists(Cli()) || !fs::exists(test::BuiltProgram("lumaset-hostsim")))                 \
      GTEST_SKIP() << "lumaset-cli or lumaset-hostsim not built";                                   \
    ASSERT_TRUE((sim).host.Started()) << "lumaset-hostsim did not get ready";                      \
  } while (0)

QString Sha256(const Bytes& bytes) {
  return QString::fromLatin1(
      QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())),
                               QCryptographicHash::Sha256)
          .toHex());
}

qint64 Int(const QJsonObject& o, const char* key) { return o.value(key).toInteger(-1); }

// The order every run keeps: one start first, one end last, t never going
// back, and the elapsed time of the end no earlier than any line.
void ExpectFramed(const JsonRun& run) {
  const auto& lines = run.Objects();
  ASSERT_GE(lines.size(), 2u) << run.Kinds();
  EXPECT_EQ(lines.front().value("kind").toString(), "start") << run.Kinds();
  EXPECT_EQ(lines.back().value("kind").toString(), "end") << run.Kinds();
  EXPECT_EQ(run.OfKind("start").size(), 1u) << run.Kinds();
  EXPECT_EQ(run.OfKind("end").size(), 1u) << run.Kinds();
  qint64 t = 0;
  for (const auto& o : lines) {
    EXPECT_GE(Int(o, "t"), t) << run.Kinds();
    t = Int(o, "t");
  }
  EXPECT_GE(Int(lines.back(), "elapsedMs"), t);
}

// A transfer's lines: phases before the data, progress that never goes back,
// stays within the total and reaches it, at most ten lines in any second.
void ExpectTransferStory(const JsonRun& run, qint64 total) {
  ExpectFramed(run);
  const auto progress = run.OfKind("progress");
  ASSERT_FALSE(progress.empty()) << run.Kinds();
  qint64 bytes = 0, thousandths = 0;
  for (const auto& p : progress) {
    EXPECT_EQ(Int(p, "total"), total);
    EXPECT_GE(Int(p, "bytes"), bytes);
    EXPECT_GE(Int(p, "thousandths"), thousandths);
    EXPECT_LE(Int(p, "bytes"), total);
    EXPECT_LE(Int(p, "thousandths"), 1000);
    bytes = Int(p, "bytes");
    thousandths = Int(p, "thousandths");
  }
  EXPECT_EQ(bytes, total) << "the last progress line reaches the total";
  EXPECT_EQ(thousandths, 1000);
  for (size_t i = 0; i + 10 < progress.size(); ++i)
    EXPECT_GE(Int(progress[i + 10], "t") - Int(progress[i], "t"), 1000 - 5)
        << "eleven progress lines within a second, from line " << i;
  // Data status before the first progress line, every line between start and end.
  bool data = false;
  for (const auto& o : run.Objects()) {
    if (o.value("kind") == "status" && o.value("status") == "LS_DOWNLOAD_DATA") data = true;
    if (o.value("kind") == "progress") {
      EXPECT_TRUE(data) << "progress before the LS_DOWNLOAD_DATA phase: " << run.Kinds();
      break;
    }
  }
}

// ---- a download from start to end ------------------------------------------------

TEST(CliJson, UserProgramDownloadTellsItsStoryAsTheHostSawIt) {
  Sim sim;
  REQUIRE_SIM(sim);
  const Bytes bytes = test::RandomBytes(20000, 7);  // about 2 s at 115200: throttling shows
  const fs::path file = sim.dir.File("prog.pgu", bytes);
  JsonRun run(Join(sim.LinkArgs(), {"download-user", file.string(), "--yes"}));
  ASSERT_EQ(run.Finish(), 0) << run.Kinds();
  EXPECT_EQ(run.Stderr(), "");

  const QJsonObject start = run.First("start");
  EXPECT_EQ(start.value("command"), "download-user");
  EXPECT_EQ(start.value("link"), "serial");
  EXPECT_EQ(start.value("device").toString().toStdString(), sim.link);
  EXPECT_EQ(Int(start, "rate"), 115200);
  EXPECT_EQ(start.value("file").toString().toStdString(), file.string());
  EXPECT_EQ(Int(start, "size"), 20000);
  EXPECT_EQ(start.value("sha256").toString(), Sha256(bytes));
  EXPECT_EQ(start.value("answer"), "yes");

  // The image frame: four length bytes, the file, the type and the check byte.
  ExpectTransferStory(run, 20000 + 6);
  EXPECT_GE(run.OfKind("progress").size(), 5u) << "a two-second transfer reports more than its end";
  const QJsonObject end = run.First("end");
  EXPECT_EQ(end.value("result"), "success");
  EXPECT_EQ(Int(end, "exit"), 0);
  EXPECT_TRUE(end.value("reason").isNull());
  EXPECT_TRUE(end.value("status").isNull());
  EXPECT_EQ(Int(end, "bytes"), 20006);
  EXPECT_EQ(Int(end, "total"), 20006);

  const std::string done = sim.host.Wait("download-done", "", 5000);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(JsonField(done, "bytes"), "20000");
  EXPECT_EQ(JsonField(done, "run"), "yes");
  EXPECT_EQ(sim.host.Received("-user.pgu"), bytes);
}

TEST(CliJson, EveryLinkReportsWhatTheHostReceived) {
  struct Case {
    Sim::Transport transport;
    const char* command;
    const char* name;
    const char* link;
    const char* hostEvent;
    qint64 frame;  // bytes the transfer sends beyond the file
    std::vector<const char*> phases;
  };
  const Case cases[] = {
      {Sim::Transport::kSerial, "send-file", "any.bin", "serial", "raw-file", 0, {"LS_DOWNLOAD_DATA"}},
      {Sim::Transport::kTcp, "download-system", "sys.pgs", "tcp", "download-done", 6, {"LS_DOWNLOAD_DATA"}},
      {Sim::Transport::kUsb, "download-touch", "panel.tps", "usb", "download-done", 0,
       {"LS_START", "LS_CHECK_VERSION", "LS_DOWNLOAD_DATA"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Sim sim({}, c.transport);
    REQUIRE_SIM(sim);
    const Bytes bytes = test::RandomBytes(5000, 11);
    JsonRun run(Join(sim.LinkArgs(), {c.command, sim.dir.File(c.name, bytes).string()}));
    ASSERT_EQ(run.Finish(), 0) << run.Kinds();
    EXPECT_EQ(run.Stderr(), "");
    EXPECT_EQ(run.First("start").value("link"), c.link);
    EXPECT_EQ(run.First("start").value("sha256").toString(), Sha256(bytes));
    ExpectTransferStory(run, 5000 + c.frame);
    std::vector<std::string> phases;
    for (const auto& s : run.OfKind("status")) phases.push_back(s.value("status").toString().toStdString());
    EXPECT_EQ(phases, std::vector<std::string>(c.phases.begin(), c.phases.end()));
    const std::string arrived = sim.host.Wait(c.hostEvent, "", 5000);
    ASSERT_FALSE(arrived.empty());
    EXPECT_EQ(std::stoll(JsonField(arrived, "bytes")) + c.frame, Int(run.First("end"), "bytes")) << arrived;
    EXPECT_EQ(run.First("end").value("result"), "success");
  }
}

// ---- failures --------------------------------------------------------------------

TEST(CliJson, AFailedTransferEndsWithItsLinkStatus) {
  {
    Sim sim({"--fault", "no-final-ack"});
    REQUIRE_SIM(sim);
    const Bytes bytes(1500, 0x55);
    JsonRun run(Join(sim.LinkArgs(), {"send-file", sim.dir.File("f.bin", bytes).string()}));
    EXPECT_EQ(run.Finish(), 1) << run.Kinds();
    EXPECT_EQ(run.Stderr(), "");
    ExpectFramed(run);
    const QJsonObject end = run.First("end");
    EXPECT_EQ(end.value("result"), "failed");
    EXPECT_EQ(Int(end, "exit"), 1);
    EXPECT_EQ(end.value("reason"), "transfer-failed");
    EXPECT_EQ(end.value("status"), "LS_VERIFY_FAILED");
    EXPECT_EQ(Int(end, "statusCode"), 0xFF00800B);
    // Every byte went out before the acknowledgement was missed.
    const std::string arrived = sim.host.Wait("raw-file", "", 5000);
    ASSERT_FALSE(arrived.empty());
    EXPECT_EQ(JsonField(arrived, "bytes"), "1500");
    EXPECT_EQ(Int(end, "bytes"), 1500);
  }
  {
    Sim sim({"--fault", "refuse-handshake"});
    REQUIRE_SIM(sim);
    JsonRun run(Join(sim.LinkArgs(), {"download-touch", sim.dir.File("t.tps", Bytes(700, 't')).string()}));
    EXPECT_EQ(run.Finish(), 1) << run.Kinds();
    ExpectFramed(run);
    const QJsonObject end = run.First("end");
    EXPECT_EQ(end.value("status"), "LS_REFUSED");
    EXPECT_EQ(Int(end, "statusCode"), 1);
    EXPECT_EQ(Int(end, "bytes"), 0);
    EXPECT_TRUE(run.OfKind("progress").empty()) << "no data went out";
    EXPECT_TRUE(sim.host.Wait("download-done", "", 500).empty());
  }
}

TEST(CliJson, ASilentHostIsAQuestionAnsweredCancelThenAnEnd) {
  Sim sim({"--fault", "silent"});
  REQUIRE_SIM(sim);
  JsonRun run(Join(sim.LinkArgs(), {"probe"}));
  EXPECT_EQ(run.Finish(), 1) << run.Kinds();
  EXPECT_EQ(run.Stderr(), "");
  ExpectFramed(run);
  const QJsonObject question = run.First("question");
  EXPECT_EQ(question.value("buttons"), "ok-cancel");
  EXPECT_EQ(question.value("answer"), "cancel");
  EXPECT_EQ(question.value("by"), "default");
  EXPECT_TRUE(question.value("text").toString().startsWith("The host did not answer")) << run.Lines()[1];
  const QJsonObject end = run.First("end");
  EXPECT_EQ(end.value("reason"), "no-answer");
  EXPECT_TRUE(end.value("status").isNull());
  EXPECT_TRUE(end.value("total").isNull()) << "a probe has no transfer";
  // What the tool would have said on stderr is there as notes, the hint too.
  bool hint = false;
  for (const auto& n : run.OfKind("note")) hint = hint || n.value("text").toString().startsWith("hint:");
  EXPECT_TRUE(hint) << run.Kinds();
  EXPECT_FALSE(sim.host.Wait("probe", "", 3000).empty()) << "the probe reached the host";
}

TEST(CliJson, SearchOnFailAnswersOkAndTheSearchFindsTheRate) {
  Sim sim({"--rate", "38400"});
  REQUIRE_SIM(sim);
  JsonRun run(Join(sim.LinkArgs(), {"--baud", "9600", "--search-on-fail", "probe"}));
  ASSERT_EQ(run.Finish(120000), 0) << run.Kinds();
  EXPECT_EQ(run.Stderr(), "");
  ExpectFramed(run);
  EXPECT_EQ(Int(run.First("start"), "rate"), 9600);
  const QJsonObject question = run.First("question");
  EXPECT_EQ(question.value("answer"), "ok");
  EXPECT_EQ(question.value("by"), "--search-on-fail");
  // The question, then the rates tried from the link's own up, then the find.
  std::vector<std::string> order;
  for (const auto& o : run.Objects())
    if (o.value("kind") == "question" || o.value("kind") == "baud")
      order.push_back((o.value("kind").toString() + " " + o.value("event").toString() + " " +
                       QString::number(Int(o, "rate")))
                          .toStdString());
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order.front().rfind("question", 0), 0u) << order.front();
  EXPECT_EQ(order[1], "baud trying 9600");
  EXPECT_EQ(order.back(), "baud found 38400");
  EXPECT_EQ(order[order.size() - 2], "baud trying 38400");
  EXPECT_EQ(Int(run.First("end"), "rate"), 38400);
  EXPECT_FALSE(sim.host.Wait("probe", "0x0f", 5000).empty());
}

TEST(CliJson, ProblemsBeforeTheLinkStillGiveAStartAndAnEnd) {
  if (!fs::exists(Cli())) GTEST_SKIP() << "lumaset-cli not built";
  TempDir dir;
  {
    // An unreadable file: exit 2, no link chosen yet.
    JsonRun run({"--device", (dir.Path() / "none").string(), "download-user", (dir.Path() / "gone.pgu").string(), "--yes"});
    EXPECT_EQ(run.Finish(), 2);
    EXPECT_EQ(run.Stderr(), "");
    ExpectFramed(run);
    EXPECT_TRUE(run.First("start").value("link").isNull());
    EXPECT_TRUE(run.First("start").value("size").isNull());
    EXPECT_TRUE(run.First("start").value("sha256").isNull());
    EXPECT_EQ(run.First("end").value("result"), "usage");
    EXPECT_EQ(run.First("end").value("reason"), "bad-file");
    EXPECT_TRUE(run.First("note").value("text").toString().contains("cannot read")) << run.Kinds();
  }
  {
    // A device that is not there: the link's message box, then the reason.
    const std::string device = (dir.Path() / "unplugged").string();
    JsonRun run({"--device", device, "probe"});
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_EQ(run.Stderr(), "");
    ExpectFramed(run);
    EXPECT_EQ(run.First("start").value("device").toString().toStdString(), device);
    EXPECT_EQ(run.First("message").value("text").toString().toStdString(),
              "The serial port does not exist.\n\nPort: COM 1 (" + device + ")");
    EXPECT_EQ(run.First("end").value("reason"), "open-failed");
  }
  {
    // A command line the tool cannot read: text on stderr, no JSON at all.
    JsonRun run({"frobnicate"});
    EXPECT_EQ(run.Finish(), 2);
    EXPECT_TRUE(run.Lines().empty());
    EXPECT_NE(run.Stderr().find("unknown command"), std::string::npos);
  }
}

// ---- texts -------------------------------------------------------------------------

TEST(CliJson, FileNamesWithAnyBytesStayValidJsonAndStillOpen) {
  Sim sim;
  REQUIRE_SIM(sim);
  // A tab, a line break, an escape, a quote, a backslash, a byte that is not
  // UTF-8 and a Chinese character.
  const std::string name = "a\tb\nc\x1b\"q\\\xff\xe4\xb8\xad.pgu";
  const QString shownName = QString::fromUtf8("a\tb\nc\x1b\"q\\\xEF\xBF\xBD中.pgu");
  const QString folder = QString::fromStdString(sim.dir.Path().string());
  const Bytes bytes = {1, 2, 3};
  const fs::path file = sim.dir.File(name, bytes);
  {
    // The file opens by its own bytes; the start line shows U+FFFD for the stray one.
    JsonRun run(Join(sim.LinkArgs(), {"download-user", file.string(), "--no"}));
    EXPECT_EQ(run.Finish(), 0) << run.Kinds();
    ExpectFramed(run);  // every line was checked as it came: strict, one a line
    EXPECT_EQ(run.First("start").value("file").toString(), folder + "/" + shownName);
    EXPECT_EQ(run.First("start").value("sha256").toString(), Sha256(bytes));
    EXPECT_EQ(sim.host.Received("-user.pgu"), bytes);
  }
  {
    // The same bytes in the device's path turn up inside a note.
    JsonRun run({"--device", (sim.dir.Path() / name).string() + ".dev", "probe"});
    EXPECT_EQ(run.Finish(), 1);
    ExpectFramed(run);
    bool named = false;
    for (const auto& n : run.OfKind("note")) named = named || n.value("text").toString().contains(shownName + ".dev");
    EXPECT_TRUE(named) << run.Kinds();
  }
}

TEST(CliJson, SigtermStopsATransferWithAnEndLine) {
  Sim sim;
  REQUIRE_SIM(sim);
  const fs::path file = sim.dir.File("big.bin", test::RandomBytes(60000, 3));  // about six seconds
  JsonRun run(Join(sim.LinkArgs(), {"send-file", file.string()}));
  ASSERT_TRUE(run.WaitFor([](const QJsonObject& o) { return o.value("kind") == "progress"; }, 15000)) << run.Kinds();
  run.Terminate();
  EXPECT_EQ(run.Finish(), 1) << run.Kinds();
  EXPECT_EQ(run.Stderr(), "");
  ExpectFramed(run);
  const QJsonObject end = run.First("end");
  EXPECT_EQ(end.value("reason"), "interrupted");
  EXPECT_EQ(Int(end, "total"), 60000);
  EXPECT_GE(Int(end, "bytes"), Int(run.OfKind("progress").back(), "bytes"));
  EXPECT_LT(Int(end, "bytes"), 60000);
}

TEST(CliJson, ReceivedBytesComeAsHexAndAsDecodedText) {
  if (!fs::exists(Cli())) GTEST_SKIP() << "lumaset-cli not built";
  test::PtyHost pty;
  JsonRun run({"--device", pty.SlavePath(), "monitor", "--seconds", "3"});
  // Once the tool says it receives, the port is open and purged.
  ASSERT_TRUE(run.WaitFor([](const QJsonObject& o) { return o.value("text").toString().startsWith("receiving on"); },
                          15000))
      << run.Kinds();
  // "ab", NUL, ESC, "你" split between two writes, a byte that starts no
  // character, "好" and the first byte of a character that never ends.
  const Bytes first = {'a', 'b', 0x00, 0x1B, 0xC4};
  const Bytes second = {0xE3, 0xFF, 0xBA, 0xC3, '"', '\r', '\n', 0xC4};
  pty.Write(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.Write(second);
  EXPECT_EQ(run.Finish(), 0) << run.Kinds();
  EXPECT_EQ(run.Stderr(), "");
  ExpectFramed(run);

  QString hex, text;
  qint64 offset = 0;
  for (const auto& d : run.OfKind("data")) {
    EXPECT_EQ(Int(d, "offset"), offset);
    EXPECT_EQ(d.value("hex").toString().size(), 2 * Int(d, "bytes"));
    offset += Int(d, "bytes");
    hex += d.value("hex").toString();
    text += d.value("text").toString();
  }
  EXPECT_EQ(hex, "616200" "1BC4" "E3FFBAC3220D0AC4");
  EXPECT_EQ(text, QString::fromUtf8("ab") + QChar(0) + QString::fromUtf8("\x1b你\xEF\xBF\xBD好\"\r\n\xEF\xBF\xBD"));
  EXPECT_EQ(Int(run.First("end"), "received"), 13);
}

TEST(CliJson, APortThatGoesAwayEndsTheMonitorWithItsReason) {
  for (const auto transport : {Sim::Transport::kSerial, Sim::Transport::kUsb}) {
    SCOPED_TRACE(transport == Sim::Transport::kSerial ? "serial" : "usb");
    Sim sim({}, transport);
    REQUIRE_SIM(sim);
    JsonRun run(Join(sim.LinkArgs(), {"monitor"}));
    ASSERT_TRUE(run.WaitFor(
        [](const QJsonObject& o) { return o.value("text").toString().startsWith("receiving on"); }, 15000))
        << run.Kinds();
    sim.host.Stop();
    EXPECT_EQ(run.Finish(20000), 1) << run.Kinds();
    ExpectFramed(run);
    const QJsonObject end = run.First("end");
    EXPECT_EQ(end.value("result").toString(), "failed");
    EXPECT_EQ(end.value("reason").toString(), "port-gone");
    bool said = false;
    for (const auto& note : run.OfKind("note")) said = said || note.value("text").toString().contains("went away");
    EXPECT_TRUE(said) << run.Kinds();
  }
}

TEST(CliJson, PortsLinesAreThePortsAlone) {
  if (!fs::exists(Cli())) GTEST_SKIP() << "lumaset-cli not built";
  test::PtyHost pty;
  JsonRun run({"ports"}, {{"LUMASET_COM250", pty.SlavePath()}});
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(run.Stderr(), "");
  ASSERT_FALSE(run.Objects().empty());
  for (const auto& o : run.Objects()) EXPECT_EQ(o.value("kind"), "port") << run.Kinds();
  EXPECT_EQ(run.Objects().back().value("com").toInt(), 250);
  EXPECT_EQ(run.Objects().back().value("path").toString().toStdString(), pty.SlavePath());
}

}  // namespace
}  // namespace lumaset
