// Runs the built lumaset-cli as a child process against the built
// lumaset-hostsim (and, for the monitor, against a pseudo-terminal that the
// test writes to itself), and checks exit codes, output and what arrived.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <optional>

namespace {

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "test_cli";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
  return app;
}

QString BinDir() {
  const QByteArray dir = qgetenv("LUMASET_BIN_DIR");
  return dir.isEmpty() ? QStringLiteral(".") : QString::fromLocal8Bit(dir);
}
QString Cli() { return BinDir() + "/lumaset-cli"; }
QString HostSim() { return BinDir() + "/lumaset-hostsim"; }

struct Result {
  int exitCode = -1;
  bool crashed = false;
  QString out;
  QString err;
};

// Runs lumaset-cli with the arguments; kills it after timeoutMs.
Result RunCli(const QStringList& args, int timeoutMs = 60000) {
  App();
  QProcess p;
  p.start(Cli(), args);
  Result r;
  if (!p.waitForStarted(10000)) {
    r.err = "could not start " + Cli();
    return r;
  }
  p.closeWriteChannel();
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished(5000);
    r.crashed = true;
  }
  r.crashed = r.crashed || p.exitStatus() != QProcess::NormalExit;
  r.exitCode = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

// One simulator with its own folder: out folder, event log, and the serial
// link's symlink or the virtual USB device's socket.
class Sim {
 public:
  enum class Transport { kSerial, kTcp, kUsb };
  explicit Sim(const QStringList& extra = {}, Transport transport = Transport::kSerial) : transport_(transport) {
    App();
    link_ = dir_.filePath(transport == Transport::kUsb ? "usb.sock" : "host");
    out_ = dir_.filePath("out");
    log_ = dir_.filePath("log.jsonl");
    QStringList args{"--out", out_, "--log", log_};
    switch (transport) {
      case Transport::kSerial: args += {"--link", link_}; break;
      case Transport::kTcp: args += {"--tcp", "0"}; break;
      case Transport::kUsb: args += {"--usb-virtual", link_}; break;
    }
    args += extra;
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(HostSim(), args);
    if (!process_.waitForStarted(10000)) return;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
      if (auto ready = Event("ready"); ready && (transport_ == Transport::kTcp || QFileInfo::exists(link_))) {
        tcpPort_ = ready->value("port").toInt();
        ready_ = true;
        break;
      }
      QThread::msleep(20);
    }
  }
  ~Sim() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
      }
    }
  }

  bool Ready() const { return ready_; }
  const QString& Link() const { return link_; }
  // The --tcp argument of the tool.
  QString TcpAddress() const { return "127.0.0.1:" + QString::number(tcpPort_); }
  const QString& Out() const { return out_; }

  std::vector<QJsonObject> Events() const {
    std::vector<QJsonObject> events;
    QFile f(log_);
    if (!f.open(QIODevice::ReadOnly)) return events;
    for (const QByteArray& line : f.readAll().split('\n')) {
      if (line.trimmed().isEmpty()) continue;
      QJsonDocument doc = QJsonDocument::fromJson(line);
      if (doc.isObject()) events.push_back(doc.object());
    }
    return events;
  }
  std::optional<QJsonObject> Event(const QString& name) const {
    for (const auto& e : Events())
      if (e.value("event").toString() == name) return e;
    return std::nullopt;
  }
  bool HasEvent(const QString& name) const { return Event(name).has_value(); }
  // Waits (bounded) for an event that the simulator logs after the tool ended.
  std::optional<QJsonObject> WaitEvent(const QString& name, int timeoutMs = 5000) const {
    QElapsedTimer t;
    t.start();
    do {
      if (auto e = Event(name)) return e;
      QThread::msleep(20);
    } while (t.elapsed() < timeoutMs);
    return std::nullopt;
  }

 private:
  Transport transport_;
  int tcpPort_ = 0;
  QTemporaryDir dir_;
  QString link_, out_, log_;
  QProcess process_;
  bool ready_ = false;
};

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
  const QString path = dir.filePath(name);
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
  return path;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

#define REQUIRE_PROGRAMS()                                                              \
  do {                                                                                  \
    if (!QFileInfo::exists(Cli())) GTEST_SKIP() << Cli().toStdString() << " not built"; \
  } while (0)
#define REQUIRE_SIM(sim)                                                                                  \
  do {                                                                                                    \
    if (!QFileInfo::exists(HostSim())) GTEST_SKIP() << HostSim().toStdString() << " not built";           \
    ASSERT_TRUE((sim).Ready()) << "lumaset-hostsim did not get ready";                                   \
  } while (0)

// ---- without a host ----------------------------------------------------------

TEST(Cli, HelpListsEveryCommandOptionAndExitCode) {
  REQUIRE_PROGRAMS();
  Result r = RunCli({"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"probe", "command INDEX", "set-clock", "set-host-baud RATE", "search-baud",
                           "download-system FILE", "download-user FILE (--yes | --no)", "download-touch FILE",
                           "send-file FILE", "monitor [--hex", "--com N", "--device PATH", "--baud RATE",
                           "--mode 0|1", "--search-on-fail", "--save FILE", "--seconds N", "Exit status"})
    EXPECT_TRUE(r.out.contains(word)) << "missing: " << word;
  for (const char* code : {"  0  ", "  1  ", "  2  "}) EXPECT_TRUE(r.out.contains(code)) << "exit code" << code;
}

TEST(Cli, UsageErrorsGiveTwo) {
  REQUIRE_PROGRAMS();
  QTemporaryDir dir;
  const QString file = WriteFile(dir, "p.pgu", "abc");
  const QString missing = dir.filePath("missing.pgu");
  const std::vector<QStringList> cases = {
      {},
      {"frobnicate"},
      {"download-user", file},                      // neither --yes nor --no
      {"download-user", file, "--yes", "--no"},     // both
      {"download-user", missing, "--yes"},          // unreadable file
      {"download-system", dir.path()},              // a folder
      {"send-file", missing},
      {"download-touch", missing},
      {"command"},                                  // INDEX missing
      {"command", "16"},
      {"command", "x"},
      {"set-host-baud", "12345"},
      {"--baud", "1000", "probe"},
      {"--mode", "2", "probe"},
      {"--com", "0", "probe"},
      {"--bogus", "probe"},
      {"probe", "extra"},
      {"probe", "--yes"},
      {"probe", "--seconds", "3"},
      {"--tcp", "host:0", "probe"},
      {"--tcp", "h", "--usb", "probe"},
      {"--usb", "--com", "2", "probe"},
      {"--usb", "--baud", "9600", "probe"},
  };
  for (const auto& args : cases) {
    Result r = RunCli(args + QStringList{"--device", dir.filePath("no-such-device")});
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_FALSE(r.err.isEmpty()) << args.join(' ').toStdString();
  }
}

TEST(Cli, MissingDeviceNamesThePath) {
  REQUIRE_PROGRAMS();
  QTemporaryDir dir;
  const QString device = dir.filePath("gone");
  Result r = RunCli({"--com", "7", "--device", device, "probe"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("COM7")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(device)) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("does not exist")) << r.err.toStdString();
}

// ---- against the simulator -----------------------------------------------------

TEST(Cli, ProbeAnswered) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "probe"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(sim.WaitEvent("probe").has_value());
}

TEST(Cli, DownloadUserArrives) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  QByteArray bytes;
  for (int i = 0; i < 1300; ++i) bytes.append(static_cast<char>(i * 7));
  const QString file = WriteFile(dir, "small.pgu", bytes);
  Result r = RunCli({"--device", sim.Link(), "download-user", file, "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("Starting Download Data ...")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("progress: 100%")) << r.err.toStdString();  // stderr is a pipe: plain lines
  auto done = sim.WaitEvent("download-done");
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->value("run").toString(), "yes");
  const QStringList files = QDir(sim.Out()).entryList({"*-user.pgu"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  EXPECT_EQ(ReadAll(QDir(sim.Out()).filePath(files.first())), bytes);
}

TEST(Cli, DownloadUserNoTravelsInTheFrame) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  const QString file = WriteFile(dir, "p.pgu", "\x01\x02\x04");
  Result r = RunCli({"--device", sim.Link(), "download-user", file, "--no"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  auto done = sim.WaitEvent("download-done");
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->value("run").toString(), "no");
}

TEST(Cli, SendFileAndTouchProgramArrive) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  QByteArray raw(3000, 'r');
  QByteArray touch(700, 't');
  Result r1 = RunCli({"--device", sim.Link(), "send-file", WriteFile(dir, "any.bin", raw)});
  EXPECT_EQ(r1.exitCode, 0) << r1.err.toStdString();
  Result r2 = RunCli({"--device", sim.Link(), "download-touch", WriteFile(dir, "panel.tps", touch)});
  EXPECT_EQ(r2.exitCode, 0) << r2.err.toStdString();
  EXPECT_TRUE(r2.err.contains("Check Version ...")) << r2.err.toStdString();
  QDir out(sim.Out());
  const QStringList rawFiles = out.entryList({"*-raw.bin"}, QDir::Files);
  const QStringList touchFiles = out.entryList({"*-touch.tps"}, QDir::Files);
  ASSERT_EQ(rawFiles.size(), 1);
  ASSERT_EQ(touchFiles.size(), 1);
  EXPECT_EQ(ReadAll(out.filePath(rawFiles.first())), raw);
  EXPECT_EQ(ReadAll(out.filePath(touchFiles.first())), touch);
}

TEST(Cli, SetClockAndCommand) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "set-clock"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  auto clock = sim.WaitEvent("clock");
  ASSERT_TRUE(clock.has_value());
  EXPECT_TRUE(clock->value("validBcd").toBool());
  Result c = RunCli({"--device", sim.Link(), "command", "3"});
  EXPECT_EQ(c.exitCode, 0) << c.err.toStdString();
  bool seen = false;
  for (const auto& e : sim.Events())
    if (e.value("event").toString() == "command" && e.value("index").toInt() == 3) seen = true;
  EXPECT_TRUE(seen);
}

TEST(Cli, SilentHostGivesOneWithTheHint) {
  REQUIRE_PROGRAMS();
  Sim sim({"--fault", "silent"});
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "probe"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("hint:")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("cable")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("search-baud")) << r.err.toStdString();
  // The link's question, answered Cancel without --search-on-fail.
  EXPECT_TRUE(r.err.contains("Lumaset: The host did not answer")) << r.err.toStdString();

  QTemporaryDir dir;
  Result d = RunCli({"--device", sim.Link(), "download-user", WriteFile(dir, "p.pgu", "abc"), "--yes"});
  EXPECT_EQ(d.exitCode, 1);
  EXPECT_TRUE(d.err.contains("hint:")) << d.err.toStdString();
}

TEST(Cli, FailedTransferNamesTheStatus) {
  REQUIRE_PROGRAMS();
  Sim sim({"--fault", "no-final-ack"});
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  Result r = RunCli({"--device", sim.Link(), "send-file", WriteFile(dir, "f.bin", QByteArray(600, 'x'))});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("transfer failed: LS_VERIFY_FAILED (0xFF00800B)")) << r.err.toStdString();
}

TEST(Cli, SearchBaudPrintsTheRate) {
  REQUIRE_PROGRAMS();
  Sim sim({"--rate", "38400"});
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "--baud", "9600", "search-baud"}, 120000);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "38400\n");
  EXPECT_TRUE(r.err.contains("Searching at 9600 Baud ...")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("Searching at 38400 Baud ...")) << r.err.toStdString();
  // And the probe at the found rate.
  Result p = RunCli({"--device", sim.Link(), "--baud", "38400", "probe"});
  EXPECT_EQ(p.exitCode, 0) << p.err.toStdString();
}

TEST(Cli, SetHostBaudMovesBothSides) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "set-host-baud", "57600"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  auto change = sim.WaitEvent("rate-change");
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->value("to").toInt(), 57600);
  EXPECT_EQ(RunCli({"--device", sim.Link(), "--baud", "57600", "probe"}).exitCode, 0);
}

TEST(Cli, SearchBaudStoresTheRateInTheSettingsFile) {
  REQUIRE_PROGRAMS();
  Sim sim({"--rate", "57600"});
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  const QString settings = WriteFile(dir, "Lumaset.reg", "");
  Result r = RunCli({"--settings", settings, "--device", sim.Link(), "--baud", "38400", "search-baud"}, 120000);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "57600\n");
  // 57600 = 0x0000E100 at offset 4 of the stored record.
  EXPECT_TRUE(ReadAll(settings).contains("\"CommDCB\"=hex:1c,00,00,00,00,e1,00,00")) << ReadAll(settings).toStdString();
  // The next run takes the rate from the file.
  Result p = RunCli({"--settings", settings, "--device", sim.Link(), "probe"});
  EXPECT_EQ(p.exitCode, 0) << p.err.toStdString();
  EXPECT_EQ(RunCli({"--settings", dir.filePath("none.reg"), "probe"}).exitCode, 2);
}

// ---- TCP and the virtual USB device ----------------------------------------------

TEST(Cli, OverTcp) {
  REQUIRE_PROGRAMS();
  Sim sim({}, Sim::Transport::kTcp);
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  const QByteArray bytes(1500, 'u');
  EXPECT_EQ(RunCli({"--tcp", sim.TcpAddress(), "probe"}).exitCode, 0);
  Result r = RunCli({"--tcp", sim.TcpAddress(), "download-user", WriteFile(dir, "p.pgu", bytes), "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QStringList files = QDir(sim.Out()).entryList({"*-user.pgu"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  EXPECT_EQ(ReadAll(QDir(sim.Out()).filePath(files.first())), bytes);
  // Not over TCP: the baud search and the touch-panel download.
  EXPECT_EQ(RunCli({"--tcp", sim.TcpAddress(), "search-baud"}).exitCode, 1);
  EXPECT_EQ(RunCli({"--tcp", sim.TcpAddress(), "download-touch", WriteFile(dir, "t.tps", "t")}).exitCode, 1);
}

TEST(Cli, SilentHostOverTcpGivesOneWithTheHint) {
  REQUIRE_PROGRAMS();
  Sim sim({"--fault", "silent"}, Sim::Transport::kTcp);
  REQUIRE_SIM(sim);
  Result r = RunCli({"--tcp", sim.TcpAddress(), "probe"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("hint:")) << r.err.toStdString();
}

TEST(Cli, OverVirtualUsb) {
  REQUIRE_PROGRAMS();
  Sim sim({}, Sim::Transport::kUsb);
  REQUIRE_SIM(sim);
  QTemporaryDir dir;
  const QByteArray bytes(900, 's');
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "probe"}).exitCode, 0);
  Result r = RunCli({"--usb-virtual", sim.Link(), "download-system", WriteFile(dir, "p.pgs", bytes)});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QStringList files = QDir(sim.Out()).entryList({"*-system.pgs"}, QDir::Files);
  ASSERT_EQ(files.size(), 1);
  EXPECT_EQ(ReadAll(QDir(sim.Out()).filePath(files.first())), bytes);
  // No baud rate and no raw transfer over USB.
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "search-baud"}).exitCode, 1);
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "send-file", WriteFile(dir, "r.bin", "r")}).exitCode, 1);
  EXPECT_EQ(RunCli({"--usb-virtual", dir.filePath("no.sock"), "probe"}).exitCode, 1);
}

// ---- monitor on a terminal of the test's own -----------------------------------

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    // Kept open so that what the test writes is not lost while the tool has
    // the port closed.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (slave_ >= 0 && tcgetattr(slave_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave_, TCSANOW, &tio);
    }
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  bool Ok() const { return slave_ >= 0; }
  const std::string& Path() const { return path_; }
  void Write(const QByteArray& bytes) { [[maybe_unused]] ssize_t n = write(master_, bytes.constData(), bytes.size()); }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

TEST(Cli, MonitorShowsHexAndSavesRaw) {
  REQUIRE_PROGRAMS();
  App();
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  QTemporaryDir dir;
  const QString save = dir.filePath("received.bin");
  QProcess p;
  p.start(Cli(), {"--device", QString::fromStdString(pty.Path()), "monitor", "--hex", "--save", save, "--seconds", "3"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QThread::msleep(1200);  // the tool has opened and purged the port
  const QByteArray bytes("Hi\x00\x9F\xC4\xE3", 6);
  pty.Write(bytes);
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), "48  69  00  9F  C4  E3  \n");
  EXPECT_EQ(ReadAll(save), bytes);
}

TEST(Cli, MonitorTextDecodesCodePage936AndEndsCleanlyOnSigterm) {
  REQUIRE_PROGRAMS();
  App();
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  QProcess p;
  p.start(Cli(), {"--device", QString::fromStdString(pty.Path()), "monitor"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QThread::msleep(1200);
  // "你好" in code page 936, split inside the first character.
  pty.Write("ab \xC4");
  QThread::msleep(300);
  pty.Write("\xE3\xBA\xC3\n");
  QThread::msleep(500);
  p.terminate();  // SIGTERM
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0);
  EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8("ab 你好\n"));
  EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("received 8 bytes"));
}

}  // namespace
