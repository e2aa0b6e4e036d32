// Runs the built lumaset-cli as a child process against the built
// lumaset-hostsim (and, for the monitor, against a pseudo-terminal that the
// test writes to itself), and checks exit codes, output and what arrived.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/event.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace {

QCoreApplication* App() {
  static int argc = 1;
  static char name[] = "test_cli";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                : new QCoreApplication(argc, argv);
  return app;
}

using lumaset::test::Bytes;
using lumaset::test::HostSimProcess;
using lumaset::test::JsonField;
using lumaset::test::TempDir;

QString Cli() { return QString::fromStdString(lumaset::test::BuiltProgram("lumaset-cli")); }
QString HostSim() { return QString::fromStdString(lumaset::test::BuiltProgram("lumaset-hostsim")); }
QString Q(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }
Bytes ToBytes(const QByteArray& bytes) { return Bytes(bytes.begin(), bytes.end()); }

struct Result {
  int exitCode = -1;
  bool crashed = false;
  QString out;
  QString err;
};

// Runs lumaset-cli with the arguments (and these environment variables
// besides the test's own); kills it after timeoutMs.
Result RunCli(const QStringList& args, int timeoutMs = 60000,
              const std::vector<std::pair<QString, QString>>& env = {}) {
  App();
  QProcess p;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : env) environment.insert(name, value);
  p.setProcessEnvironment(environment);
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

// The simulator for the tool to talk to, with a folder of its own for the
// serial link's symlink or the virtual USB device's socket.
class Sim {
 public:
  enum class Transport { kSerial, kTcp, kUsb };
  explicit Sim(std::vector<std::string> extra = {}, Transport transport = Transport::kSerial)
      : link_(dir_.Path() / (transport == Transport::kUsb ? "usb.sock" : "host")),
        process_(Args(std::move(extra), transport)) {}

  bool Ready() const { return process_.Started(); }
  QString Link() const { return Q(link_); }
  // The --tcp argument of the tool.
  QString TcpAddress() const { return "127.0.0.1:" + QString::fromStdString(JsonField(process_.Ready(), "port")); }
  // The simulator's events and what it received.
  HostSimProcess& Host() { return process_; }

 private:
  std::vector<std::string> Args(std::vector<std::string> extra, Transport transport) const {
    std::vector<std::string> args;
    switch (transport) {
      case Transport::kSerial: args = {"--link", link_.string()}; break;
      case Transport::kTcp: args = {"--tcp", "0"}; break;
      case Transport::kUsb: args = {"--usb-virtual", link_.string()}; break;
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir dir_{"lumaset-cli"};
  std::filesystem::path link_;
  HostSimProcess process_;
};

// A file of these bytes in `dir`; its path.
QString WriteFile(const TempDir& dir, const std::string& name, const QByteArray& bytes) {
  return Q(dir.File(name, ToBytes(bytes)));
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
                           "--mode 0|1", "--search-on-fail", "--save FILE", "--seconds N", "ports [--json]",
                           "--json", "LUMASET_SERIAL_BY_ID_DIR", "CommDevice", "Exit status"})
    EXPECT_TRUE(r.out.contains(word)) << "missing: " << word;
  for (const char* code : {"  0  ", "  1  ", "  2  "}) EXPECT_TRUE(r.out.contains(code)) << "exit code" << code;
}

TEST(Cli, UsageErrorsGiveTwo) {
  REQUIRE_PROGRAMS();
  TempDir dir;
  const QString file = WriteFile(dir, "p.pgu", "abc");
  const QString missing = Q(dir.Path() / "missing.pgu");
  const std::vector<QStringList> cases = {
      {},
      {"frobnicate"},
      {"download-user", file},                      // neither --yes nor --no
      {"download-user", file, "--yes", "--no"},     // both
      {"download-user", missing, "--yes"},          // unreadable file
      {"download-system", Q(dir.Path())},            // a folder
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
      {"ports"},                                    // with --device, below
      {"ports", "extra"},
      {"monitor", "--json", "--hex"},              // JSON data lines carry hex and text
      {"probe", "--listen", "2", "--raw", "--json"},
  };
  for (const auto& args : cases) {
    Result r = RunCli(args + QStringList{"--device", Q(dir.Path() / "no-such-device")});
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_FALSE(r.err.isEmpty()) << args.join(' ').toStdString();
  }
}

TEST(Cli, AFifoIsRefusedWithoutBeingOpened) {
  REQUIRE_PROGRAMS();
  TempDir dir;
  const std::filesystem::path fifo = dir.Path() / "pipe.bin";
  const std::filesystem::path flag = dir.Path() / "opened";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer that waits for the FIFO's first reader, then leaves a mark.
  lumaset::test::ChildProcess writer(
      {"/bin/sh", "-c", "exec 3>\"$0\"; echo >\"$1\"", fifo.string(), flag.string()});
  ASSERT_TRUE(writer.Started());
  QThread::msleep(200);
  for (const char* command : {"send-file", "download-touch"}) {
    Result r = RunCli({"--device", Q(dir.Path() / "no-such-device"), command, Q(fifo)});
    EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("it is not a regular file")) << r.err.toStdString();
  }
  QThread::msleep(200);
  EXPECT_FALSE(std::filesystem::exists(flag)) << "the tool opened the FIFO";
  // Let the writer go.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_EQ(writer.Wait(5000), 0);
  if (reader >= 0) ::close(reader);
}

TEST(Cli, MissingDeviceNamesThePath) {
  REQUIRE_PROGRAMS();
  TempDir dir;
  const QString device = Q(dir.Path() / "gone");
  Result r = RunCli({"--com", "7", "--device", device, "probe"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("COM7")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(device)) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("does not exist")) << r.err.toStdString();
}

// ---- ports ---------------------------------------------------------------------

using lumaset::test::ByIdFolder;
using lumaset::test::PtyHost;

// The lines of stdout that start with "COM<n>  " (or, for JSON, have that "com").
QString PortLine(const QString& out, int number) {
  for (const QString& line : out.split('\n'))
    if (line.startsWith(QStringLiteral("COM%1  ").arg(number))) return line;
  return {};
}
QJsonObject PortObject(const QString& out, int number) {
  for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
    const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
    if (o.value("com").toInt() == number) return o;
  }
  return {};
}

QString SettingsWithPin(const TempDir& dir, const std::string& pin) {
  return WriteFile(dir, "Lumaset.reg",
                   QByteArray::fromStdString("Windows Registry Editor Version 5.00\n\n"
                                             "[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\n"
                                             "\"CommDevice\"=\"" + pin + "\"\n"));
}

TEST(Cli, PortsListsTheMappedTerminalsAsTextAndJson) {
  REQUIRE_PROGRAMS();
  PtyHost adapter, plain;
  ByIdFolder byId;
  const std::string name = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  const QString entry = QString::fromStdString(byId.Add(name, adapter.SlavePath()));
  TempDir dir;
  const QString missing = Q(dir.Path() / "unplugged");
  const QString adapterPath = QString::fromStdString(adapter.SlavePath());
  const QString plainPath = QString::fromStdString(plain.SlavePath());
  const std::vector<std::pair<QString, QString>> env = {{"LUMASET_COM250", adapterPath},
                                                        {"LUMASET_COM251", plainPath},
                                                        {"LUMASET_COM252", missing},
                                                        {"LUMASET_COM253", "rfc2217://10.0.0.5:2217"},
                                                        {"LUMASET_COM254", "socket://10.0.0.5:4001"}};

  Result r = RunCli({"ports"}, 60000, env);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  // The by-id entry counts first; udev knows nothing of pseudo-terminals.
  EXPECT_EQ(PortLine(r.out, 1), "COM1  " + entry + "  present  -> " + adapterPath) << r.out.toStdString();
  EXPECT_EQ(PortLine(r.out, 250), "COM250  " + adapterPath + "  present  by-id " + QString::fromStdString(name) +
                                      "  LUMASET_COM250");
  EXPECT_EQ(PortLine(r.out, 251), "COM251  " + plainPath + "  present  LUMASET_COM251");
  EXPECT_EQ(PortLine(r.out, 252), "COM252  " + missing + "  missing  LUMASET_COM252");
  // A device server's port is listed without connecting to it.
  EXPECT_EQ(PortLine(r.out, 253), "COM253  rfc2217://10.0.0.5:2217  device server (RFC 2217)  LUMASET_COM253");
  EXPECT_EQ(PortLine(r.out, 254), "COM254  socket://10.0.0.5:4001  device server (raw TCP, fixed rate)  LUMASET_COM254");
  EXPECT_TRUE(PortLine(r.out, 255).isEmpty());
  for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts)) EXPECT_TRUE(line.startsWith("COM")) << line.toStdString();

  Result j = RunCli({"ports", "--json"}, 60000, env);
  ASSERT_EQ(j.exitCode, 0) << j.err.toStdString();
  const QStringList lines = j.out.split('\n', Qt::SkipEmptyParts);
  EXPECT_EQ(lines.size(), r.out.split('\n', Qt::SkipEmptyParts).size()) << "one object per port";
  for (const QString& line : lines) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_TRUE(doc.isObject()) << line.toStdString() << ": " << error.errorString().toStdString();
  }
  const QJsonObject a = PortObject(j.out, 250);
  EXPECT_EQ(a.value("path").toString(), adapterPath);
  EXPECT_EQ(a.value("source").toString(), "env");
  EXPECT_TRUE(a.value("present").toBool());
  EXPECT_EQ(a.value("device").toString(), adapterPath);
  EXPECT_EQ(a.value("byId").toString(), QString::fromStdString(name));
  EXPECT_FALSE(a.contains("usb")) << "no udev data for a pseudo-terminal";
  const QJsonObject first = PortObject(j.out, 1);
  EXPECT_EQ(first.value("path").toString(), entry);
  EXPECT_EQ(first.value("source").toString(), "present");
  const QJsonObject gone = PortObject(j.out, 252);
  EXPECT_FALSE(gone.value("present").toBool());
  EXPECT_TRUE(gone.value("device").isNull());
  EXPECT_TRUE(gone.value("byId").isNull());
  EXPECT_TRUE(PortObject(j.out, 251).value("byId").isNull());
  const QJsonObject server = PortObject(j.out, 253);
  EXPECT_EQ(server.value("server").toString(), "rfc2217");
  EXPECT_TRUE(server.value("present").isNull()) << "not known without connecting";
  EXPECT_EQ(PortObject(j.out, 254).value("server").toString(), "socket");
  EXPECT_TRUE(a.value("server").isNull());
}

TEST(Cli, ThePinOfTheSettingsFileDecidesWhichDeviceComOneIs) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  PtyHost silent;
  ByIdFolder byId;
  // The silent terminal counts first; the settings pin COM1 to the simulator.
  byId.Add("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", silent.SlavePath());
  const std::string host = std::filesystem::canonical(sim.Link().toStdString()).string();
  const std::string pinned = byId.Add("usb-Prolific_USB-Serial_Controller_D4E5-if00-port0", host);
  TempDir dir;
  const QString settings = SettingsWithPin(dir, pinned);

  Result ports = RunCli({"--settings", settings, "ports"});
  ASSERT_EQ(ports.exitCode, 0) << ports.err.toStdString();
  EXPECT_EQ(PortLine(ports.out, 1), "COM1  " + QString::fromStdString(pinned) + "  present  -> " +
                                        QString::fromStdString(host) + "  pinned")
      << ports.out.toStdString();
  EXPECT_EQ(PortObject(RunCli({"--settings", settings, "ports", "--json"}).out, 1).value("source").toString(), "pin");

  Result probe = RunCli({"--settings", settings, "probe"});
  EXPECT_EQ(probe.exitCode, 0) << probe.err.toStdString();
  EXPECT_FALSE(sim.Host().Wait("probe", "", 5000).empty()) << "the pinned device was opened";
  Result unpinned = RunCli({"probe"});
  EXPECT_EQ(unpinned.exitCode, 1) << "without the settings COM1 is the silent terminal";
  EXPECT_FALSE(silent.Drain(300).empty()) << "the probe went to the silent terminal";

  // A pinned device that is not there: "does not exist", and no other device.
  const std::string unplugged = byId.Entry("usb-FTDI_unplugged-if00-port0");
  const QString gone = SettingsWithPin(dir, unplugged);
  Result missing = RunCli({"--settings", gone, "probe"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(missing.err.contains("The serial port does not exist.")) << missing.err.toStdString();
  EXPECT_TRUE(missing.err.contains(QString::fromStdString(unplugged) + ", which does not exist"))
      << missing.err.toStdString();
  EXPECT_TRUE(silent.Drain(300).empty()) << "nothing was sent to the device counted first";
}

// ---- against the simulator -----------------------------------------------------

TEST(Cli, ProbeAnswered) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "probe"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_FALSE(sim.Host().Wait("probe", "", 5000).empty());
}

TEST(Cli, DownloadUserArrives) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  TempDir dir;
  QByteArray bytes;
  for (int i = 0; i < 1300; ++i) bytes.append(static_cast<char>(i * 7));
  const QString file = WriteFile(dir, "small.pgu", bytes);
  Result r = RunCli({"--device", sim.Link(), "download-user", file, "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("Starting Download Data ...")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("progress: 100%")) << r.err.toStdString();  // stderr is a pipe: plain lines
  const std::string done = sim.Host().Wait("download-done", "", 5000);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(JsonField(done, "run"), "yes");
  ASSERT_EQ(sim.Host().ReceivedFiles("-user.pgu").size(), 1u);
  EXPECT_EQ(sim.Host().Received("-user.pgu"), ToBytes(bytes));
}

TEST(Cli, DownloadUserNoTravelsInTheFrame) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  TempDir dir;
  const QString file = WriteFile(dir, "p.pgu", "\x01\x02\x04");
  Result r = RunCli({"--device", sim.Link(), "download-user", file, "--no"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  const std::string done = sim.Host().Wait("download-done", "", 5000);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(JsonField(done, "run"), "no");
}

TEST(Cli, SendFileAndTouchProgramArrive) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  TempDir dir;
  QByteArray raw(3000, 'r');
  QByteArray touch(700, 't');
  Result r1 = RunCli({"--device", sim.Link(), "send-file", WriteFile(dir, "any.bin", raw)});
  EXPECT_EQ(r1.exitCode, 0) << r1.err.toStdString();
  Result r2 = RunCli({"--device", sim.Link(), "download-touch", WriteFile(dir, "panel.tps", touch)});
  EXPECT_EQ(r2.exitCode, 0) << r2.err.toStdString();
  EXPECT_TRUE(r2.err.contains("Check Version ...")) << r2.err.toStdString();
  ASSERT_EQ(sim.Host().ReceivedFiles("-raw.bin").size(), 1u);
  ASSERT_EQ(sim.Host().ReceivedFiles("-touch.tps").size(), 1u);
  EXPECT_EQ(sim.Host().Received("-raw.bin"), ToBytes(raw));
  EXPECT_EQ(sim.Host().Received("-touch.tps"), ToBytes(touch));
}

TEST(Cli, SetClockAndCommand) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "set-clock"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  const std::string clock = sim.Host().Wait("clock", "", 5000);
  ASSERT_FALSE(clock.empty());
  EXPECT_EQ(JsonField(clock, "validBcd"), "true") << clock;
  Result c = RunCli({"--device", sim.Link(), "command", "3"});
  EXPECT_EQ(c.exitCode, 0) << c.err.toStdString();
  EXPECT_FALSE(sim.Host().Wait("command", "\"index\":3", 5000).empty());
}

TEST(Cli, AnnouncementsAreRefusedWithTheCommandThatSendsThem) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  const std::pair<const char*, const char*> cases[] = {
      {"11", "download-user"}, {"12", "download-system"}, {"14", "set-host-baud"}};
  for (const auto& [index, instead] : cases) {
    Result r = RunCli({"--device", sim.Link(), "command", index});
    EXPECT_EQ(r.exitCode, 2) << index << ": " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(instead)) << index << ": " << r.err.toStdString();
  }
  // Nothing reached the host, not even the probe.
  EXPECT_TRUE(sim.Host().Wait("probe", "", 300).empty());
  // Entry 4 (and every other) still goes out.
  Result r = RunCli({"--device", sim.Link(), "command", "4"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_FALSE(sim.Host().Wait("command", "\"index\":4", 5000).empty());
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

  TempDir dir;
  Result d = RunCli({"--device", sim.Link(), "download-user", WriteFile(dir, "p.pgu", "abc"), "--yes"});
  EXPECT_EQ(d.exitCode, 1);
  EXPECT_TRUE(d.err.contains("hint:")) << d.err.toStdString();
}

TEST(Cli, FailedTransferNamesTheStatus) {
  REQUIRE_PROGRAMS();
  Sim sim({"--fault", "no-final-ack"});
  REQUIRE_SIM(sim);
  TempDir dir;
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

// A host that prints a status line every 200 ms, and every 2 s: search-baud
// finds it from 115200 and, from its own rate, at once; the probe answers
// every time.
TEST(Cli, ATalkingHostIsFoundAndAnswersEveryProbe) {
  REQUIRE_PROGRAMS();
  for (const char* talk : {"200", "2000"}) {
    SCOPED_TRACE(talk);
    Sim sim({"--rate", "9600", "--talk", talk});
    REQUIRE_SIM(sim);
    Result r = RunCli({"--device", sim.Link(), "--baud", "115200", "search-baud"}, 120000);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "9600\n");
    Result own = RunCli({"--device", sim.Link(), "--baud", "9600", "search-baud"}, 60000);
    EXPECT_EQ(own.exitCode, 0) << own.err.toStdString();
    EXPECT_EQ(own.out, "9600\n");
    EXPECT_EQ(own.err.count("Searching at"), 1) << own.err.toStdString();
    for (int i = 0; i < 4; ++i) {
      Result p = RunCli({"--device", sim.Link(), "--baud", "9600", "probe"});
      EXPECT_EQ(p.exitCode, 0) << p.err.toStdString();
    }
    EXPECT_FALSE(sim.Host().Wait("talk", "", 3000).empty());
  }
}

// Noise at the wrong rates never makes a rate; nor does text without the answer.
TEST(Cli, SearchBaudFindsNoRateInNoiseOrInTextWithoutTheAnswer) {
  REQUIRE_PROGRAMS();
  Sim noisy({"--rate", "9600", "--talk", "200", "--noise", "3"});
  REQUIRE_SIM(noisy);
  Result r = RunCli({"--device", noisy.Link(), "--baud", "115200", "search-baud"}, 120000);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "9600\n");
  EXPECT_FALSE(noisy.Host().Wait("noise", "", 3000).empty());

  Sim mute({"--rate", "9600", "--talk", "200", "--fault", "silent"});
  REQUIRE_SIM(mute);
  Result m = RunCli({"--device", mute.Link(), "--baud", "115200", "search-baud"}, 120000);
  EXPECT_EQ(m.exitCode, 1) << m.err.toStdString();
  EXPECT_EQ(m.out, "");
  EXPECT_EQ(m.err.count("Searching at"), 12) << m.err.toStdString();
}

TEST(Cli, SetHostBaudMovesBothSides) {
  REQUIRE_PROGRAMS();
  Sim sim;
  REQUIRE_SIM(sim);
  Result r = RunCli({"--device", sim.Link(), "set-host-baud", "57600"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  const std::string change = sim.Host().Wait("rate-change", "", 5000);
  ASSERT_FALSE(change.empty());
  EXPECT_EQ(JsonField(change, "to"), "57600") << change;
  EXPECT_EQ(RunCli({"--device", sim.Link(), "--baud", "57600", "probe"}).exitCode, 0);
}

TEST(Cli, SearchBaudStoresTheRateInTheSettingsFile) {
  REQUIRE_PROGRAMS();
  Sim sim({"--rate", "57600"});
  REQUIRE_SIM(sim);
  TempDir dir;
  const QString settings = WriteFile(dir, "Lumaset.reg", "");
  Result r = RunCli({"--settings", settings, "--device", sim.Link(), "--baud", "38400", "search-baud"}, 120000);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "57600\n");
  // 57600 = 0x0000E100 at offset 4 of the stored record.
  EXPECT_TRUE(ReadAll(settings).contains("\"CommDCB\"=hex:1c,00,00,00,00,e1,00,00")) << ReadAll(settings).toStdString();
  // The next run takes the rate from the file.
  Result p = RunCli({"--settings", settings, "--device", sim.Link(), "probe"});
  EXPECT_EQ(p.exitCode, 0) << p.err.toStdString();
  EXPECT_EQ(RunCli({"--settings", Q(dir.Path() / "none.reg"), "probe"}).exitCode, 2);
}

// ---- TCP and the virtual USB device ----------------------------------------------

TEST(Cli, OverTcp) {
  REQUIRE_PROGRAMS();
  Sim sim({}, Sim::Transport::kTcp);
  REQUIRE_SIM(sim);
  TempDir dir;
  const QByteArray bytes(1500, 'u');
  EXPECT_EQ(RunCli({"--tcp", sim.TcpAddress(), "probe"}).exitCode, 0);
  Result r = RunCli({"--tcp", sim.TcpAddress(), "download-user", WriteFile(dir, "p.pgu", bytes), "--yes"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  ASSERT_EQ(sim.Host().ReceivedFiles("-user.pgu").size(), 1u);
  EXPECT_EQ(sim.Host().Received("-user.pgu"), ToBytes(bytes));
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
  TempDir dir;
  const QByteArray bytes(900, 's');
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "probe"}).exitCode, 0);
  Result r = RunCli({"--usb-virtual", sim.Link(), "download-system", WriteFile(dir, "p.pgs", bytes)});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  ASSERT_EQ(sim.Host().ReceivedFiles("-system.pgs").size(), 1u);
  EXPECT_EQ(sim.Host().Received("-system.pgs"), ToBytes(bytes));
  // No baud rate and no raw transfer over USB.
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "search-baud"}).exitCode, 1);
  EXPECT_EQ(RunCli({"--usb-virtual", sim.Link(), "send-file", WriteFile(dir, "r.bin", "r")}).exitCode, 1);
  EXPECT_EQ(RunCli({"--usb-virtual", Q(dir.Path() / "no.sock"), "probe"}).exitCode, 1);
}

// ---- monitor on a terminal of the test's own -----------------------------------

TEST(Cli, MonitorShowsHexAndSavesRaw) {
  REQUIRE_PROGRAMS();
  App();
  lumaset::test::PtyHost pty;
  TempDir dir;
  const QString save = Q(dir.Path() / "received.bin");
  QProcess p;
  p.start(Cli(), {"--device", QString::fromStdString(pty.SlavePath()), "monitor", "--hex", "--save", save, "--seconds", "3"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QThread::msleep(1200);  // the tool has opened and purged the port
  const QByteArray bytes("Hi\x00\x9F\xC4\xE3", 6);
  pty.Write(ToBytes(bytes));
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), "48  69  00  9F  C4  E3  \n");
  EXPECT_EQ(ReadAll(save), bytes);
}

TEST(Cli, MonitorTextDecodesCodePage936AndEndsCleanlyOnSigterm) {
  REQUIRE_PROGRAMS();
  App();
  lumaset::test::PtyHost pty;
  QProcess p;
  p.start(Cli(), {"--device", QString::fromStdString(pty.SlavePath()), "monitor"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QThread::msleep(1200);
  // "你好" in code page 936, split inside the first character.
  pty.Write(ToBytes("ab \xC4"));
  QThread::msleep(300);
  pty.Write(ToBytes("\xE3\xBA\xC3\n"));
  QThread::msleep(500);
  p.terminate();  // SIGTERM
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0);
  EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8("ab 你好\n"));
  EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("received 8 bytes"));
}

TEST(Cli, MonitorEndsWithOneWhenThePortGoesAway) {
  REQUIRE_PROGRAMS();
  App();
  lumaset::test::PtyHost pty;
  QProcess p;
  p.start(Cli(), {"--device", QString::fromStdString(pty.SlavePath()), "monitor"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QThread::msleep(1200);
  pty.Write(ToBytes("before"));
  QThread::msleep(500);
  pty.HangUp();  // the host's process ends
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), "before");
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_TRUE(err.contains(QString::fromStdString(pty.SlavePath() + ") went away (No such device)"))) << err.toStdString();
  EXPECT_TRUE(err.contains("received 6 bytes")) << err.toStdString();
}

// ---- through a serial device server ----------------------------------------------

using lumaset::test::DeviceServer;

// The simulator behind ser2net or pyserial's RFC 2217 server, and the URL the
// tool is given for it.
class ThroughServer : public ::testing::TestWithParam<DeviceServer::Kind> {
 protected:
  // Starts both; skips the test when the server is not installed.
  void Start(std::vector<std::string> simArgs = {}, DeviceServer::Options options = {}) {
    if (!QFileInfo::exists(Cli()) || !QFileInfo::exists(HostSim())) GTEST_SKIP() << "programs not built";
    sim = std::make_unique<Sim>(std::move(simArgs));
    ASSERT_TRUE(sim->Ready());
    server = std::make_unique<DeviceServer>(GetParam(), sim->Link().toStdString(), options);
    if (!server->Started()) GTEST_SKIP() << server->Missing();
  }
  QString Url() const { return QString::fromStdString(server->Url()); }
  // Received bytes rich in 0xFF, telnet's escape byte, and in CR and NUL.
  static QByteArray EscapeRich(int n) {
    QByteArray bytes;
    for (int i = 0; i < n; ++i) bytes.append(static_cast<char>(i % 3 == 0 ? 0xFF : i % 3 == 1 ? 0x0D : i * 7));
    bytes.append("\xFF\xFF\r\0\r\n", 6);
    return bytes;
  }

  std::unique_ptr<Sim> sim;
  std::unique_ptr<DeviceServer> server;
};

#define START_SERVER(...)          \
  do {                             \
    Start(__VA_ARGS__);            \
    if (IsSkipped()) return;       \
  } while (0)

TEST_P(ThroughServer, CommandsAndEveryDownloadArriveByteForByte) {
  START_SERVER();
  EXPECT_EQ(RunCli({"--device", Url(), "probe"}).exitCode, 0);
  Result clock = RunCli({"--device", Url(), "set-clock"});
  EXPECT_EQ(clock.exitCode, 0) << clock.err.toStdString();
  EXPECT_EQ(JsonField(sim->Host().Wait("clock", "", 5000), "validBcd"), "true");
  TempDir dir;
  const QByteArray user = EscapeRich(3000), system = EscapeRich(1500), touch = EscapeRich(700), raw = EscapeRich(2000);
  const std::pair<QStringList, QByteArray> runs[] = {
      {{"download-user", WriteFile(dir, "p.pgu", user), "--yes"}, user},
      {{"download-system", WriteFile(dir, "p.pgs", system)}, system},
      {{"download-touch", WriteFile(dir, "p.tps", touch)}, touch},
      {{"send-file", WriteFile(dir, "p.bin", raw)}, raw},
  };
  for (const auto& [args, bytes] : runs) {
    Result r = RunCli(QStringList{"--device", Url()} + args);
    EXPECT_EQ(r.exitCode, 0) << args.join(' ').toStdString() << ": " << r.err.toStdString();
  }
  EXPECT_EQ(sim->Host().Received("-user.pgu"), ToBytes(user));
  EXPECT_EQ(sim->Host().Received("-system.pgs"), ToBytes(system));
  EXPECT_EQ(sim->Host().Received("-touch.tps"), ToBytes(touch));
  EXPECT_EQ(sim->Host().Received("-raw.bin"), ToBytes(raw));
}

// The server's port follows every rate the search tries.
TEST_P(ThroughServer, SearchFindsTheHostAt9600From115200) {
  START_SERVER({"--rate", "9600"});
  Result r = RunCli({"--device", Url(), "--baud", "115200", "search-baud"}, 120000);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "9600\n");
}

// 14400, which has no termios constant, too.
TEST_P(ThroughServer, SetHostBaudMovesTheHostAndTheServersPort) {
  START_SERVER();
  Result r = RunCli({"--device", Url(), "set-host-baud", "14400"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(JsonField(sim->Host().Wait("rate-change", "", 5000), "to"), "14400");
  EXPECT_EQ(RunCli({"--device", Url(), "--baud", "14400", "probe"}).exitCode, 0);
}

TEST_P(ThroughServer, TheHostsAbortCharacterCancelsTheDownload) {
  START_SERVER({"--fault", "abort-after-block=2"});
  TempDir dir;
  Result r = RunCli({"--device", Url(), "download-user", WriteFile(dir, "p.pgu", QByteArray(8000, 'a')), "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("LS_CANCELLED")) << r.err.toStdString();
}

// The server ends (its machine loses power): the download fails at once
// instead of waiting for its time-outs.
TEST_P(ThroughServer, AConnectionCutMidDownloadFailsIt) {
  START_SERVER({"--pace"});
  TempDir dir;
  QProcess p;
  p.start(Cli(), {"--device", Url(), "download-user", WriteFile(dir, "big.pgu", QByteArray(64 * 1024, 'b')), "--yes"});
  ASSERT_TRUE(p.waitForStarted(10000));
  QString err;
  lumaset::platform::Deadline deadline(20000);
  while (!err.contains("progress: 10%") && !deadline.Passed() && p.state() == QProcess::Running) {
    p.waitForReadyRead(200);
    err += QString::fromUtf8(p.readAllStandardError());
  }
  ASSERT_TRUE(err.contains("progress: 10%")) << err.toStdString();
  server->Kill();
  const int64_t ms = lumaset::test::TimeMs([&] { EXPECT_TRUE(p.waitForFinished(15000)); });
  EXPECT_LT(ms, 10000);
  err += QString::fromUtf8(p.readAllStandardError());
  EXPECT_EQ(p.exitCode(), 1);
  EXPECT_TRUE(err.contains("transfer failed")) << err.toStdString();
  EXPECT_FALSE(err.contains("progress: 100%")) << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Servers, ThroughServer,
                         ::testing::Values(DeviceServer::Kind::kSer2net, DeviceServer::Kind::kPySerial),
                         [](const auto& info) { return std::string(DeviceServer::Name(info.param)); });

// A server that carries out a rate change but never confirms it: the rate is
// reported, and nothing goes out at another rate.
TEST(CliServer, ARateTheServerNeverConfirmsIsReportedAndNothingIsSent) {
  if (!QFileInfo::exists(Cli()) || !QFileInfo::exists(HostSim())) GTEST_SKIP() << "programs not built";
  Sim sim;
  ASSERT_TRUE(sim.Ready());
  DeviceServer::Options options;
  options.ignoreRates = true;
  DeviceServer server(DeviceServer::Kind::kPySerial, sim.Link().toStdString(), options);
  if (!server.Started()) GTEST_SKIP() << server.Missing();
  const QString url = QString::fromStdString(server.Url());
  Result r = RunCli({"--device", url, "--baud", "57600", "probe"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("did not take the rate of 57600 Baud")) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(url)) << r.err.toStdString();
  EXPECT_TRUE(sim.Host().Wait("probe", "", 300).empty());
  EXPECT_TRUE(sim.Host().Wait("garbled", "", 10).empty());
}

// A raw port (socket://) works at the rate its server fixes; the rate
// commands are refused as bad usage before anything is sent. A second client
// of a port in use is turned away as "in use".
TEST(CliServer, ARawPortRefusesTheRateCommandsAndABusyPortIsInUse) {
  if (!QFileInfo::exists(Cli()) || !QFileInfo::exists(HostSim())) GTEST_SKIP() << "programs not built";
  Sim sim;
  ASSERT_TRUE(sim.Ready());
  DeviceServer::Options options;
  options.raw = true;
  DeviceServer server(DeviceServer::Kind::kSer2net, sim.Link().toStdString(), options);
  if (!server.Started()) GTEST_SKIP() << server.Missing();
  const QString url = QString::fromStdString(server.Url());
  ASSERT_TRUE(url.startsWith("socket://"));
  EXPECT_EQ(RunCli({"--device", url, "probe"}).exitCode, 0);
  for (const QStringList& command : {QStringList{"search-baud"}, QStringList{"set-host-baud", "9600"}}) {
    Result r = RunCli(QStringList{"--device", url} + command);
    EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("fixed")) << r.err.toStdString();
  }
  sim.Host().Wait("probe", "", 3000);
  EXPECT_TRUE(sim.Host().Wait("probe", "", 300).empty());

  QProcess holder;
  holder.start(Cli(), {"--device", url, "monitor", "--seconds", "5"});
  ASSERT_TRUE(holder.waitForStarted(10000));
  QThread::msleep(1000);
  Result busy = RunCli({"--device", url, "probe"});
  EXPECT_EQ(busy.exitCode, 1);
  EXPECT_TRUE(busy.err.contains("in use")) << busy.err.toStdString();
  holder.kill();
  holder.waitForFinished(5000);
}

}  // namespace
