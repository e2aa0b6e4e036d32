// The simulator's reader of what the tool sends (tools/hostsim/host.cpp).
// The input's first two bytes choose faults and link properties, the third
// how many of the following bytes give the sizes of the reads the rest is
// cut into. Two hosts read the stream: one in a single read, one read by
// read. Checks:
//  - every read is taken to its end (a stuck state machine shows as a hang);
//  - without time passing between reads, and on a link whose line rate is
//    not checked, both hosts log the same events with the same fields, and
//    send the same answers: how the stream is cut does not matter (but for
//    the bytes an "unexpected" event shows: those of the read at hand);
//  - with time passing between reads (the quiet gap that ends a raw file or
//    an unfinished message runs out at once), the host still takes all.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tools/hostsim/event_log.h"
#include "tools/hostsim/host.h"
#include "tools/hostsim/transport.h"

using namespace hostsim;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// A link without a wire: the test hands it the bytes, and it keeps what the
// host sends.
class FakeTransport : public Transport {
 public:
  FakeTransport(EventLog* log, bool checksRate, bool answersRate, bool usb)
      : Transport(log), checksRate_(checksRate), answersRate_(answersRate), usb_(usb) {}
  bool Start(QString*) override { return true; }
  QString Name() const override { return usb_ ? QStringLiteral("usb-virtual") : QStringLiteral("fuzz"); }
  void AddReadyFields(QJsonObject*) const override {}
  void Send(const QByteArray& answer) override { sent += answer; }
  void Shutdown() override {}
  bool ChecksRate() const override { return checksRate_; }
  bool AnswersRateQuery() const override { return answersRate_; }
  bool PeerPresent() const override { return true; }
  qint64 Backlog() const override { return 0; }
  bool InputWaiting() const override { return false; }
  void SetReadEnabled(bool) override {}

  // Hands over what the link would read of the bytes (nothing once stopped).
  void Feed(const uint8_t* data, size_t size, uint32_t lineRate) {
    while (size > 0) {
      const qsizetype budget = ReadBudget(lineRate);
      if (budget == 0) return;
      const size_t n = size < static_cast<size_t>(budget) ? size : static_cast<size_t>(budget);
      Deliver(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(n)), lineRate);
      data += n;
      size -= n;
    }
  }

  QByteArray sent;

 private:
  bool checksRate_, answersRate_, usb_;
};

QString g_root;

// One host with its own event log and output folder.
struct Rig {
  Rig(const HostOptions& base, const QString& name, bool checksRate, bool answersRate, bool usb) {
    dir = g_root + "/" + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    logPath = dir + ".log";
    QString error;
    Check(log.Open(logPath, &error), "cannot open the event log");
    transport = std::make_unique<FakeTransport>(&log, checksRate, answersRate, usb);
    HostOptions o = base;
    o.outDir = dir;
    host = std::make_unique<Host>(o, &log, transport.get());
    Check(host->Prepare(&error), "cannot prepare the output folder");
    transport->SetReceiver([this](const QByteArray& b, uint32_t r) { host->OnBytes(b, r); });
    if (o.faults.stallAfterBytes) transport->StopReadingAfter(*o.faults.stallAfterBytes);
    host->Begin();
  }

  // The events without their times and file paths (the folders differ).
  QList<QJsonObject> Events() const {
    QFile f(logPath);
    Check(f.open(QIODevice::ReadOnly), "cannot read the event log");
    QList<QJsonObject> events;
    for (const QByteArray& line : f.readAll().split('\n')) {
      if (line.isEmpty()) continue;
      QJsonObject e = QJsonDocument::fromJson(line).object();
      Check(!e.isEmpty(), "an event line that is not JSON");
      e.remove("t");
      e.remove("file");
      // What came instead of a handshake length is shown as far as the read
      // that brought it goes.
      if (e.value("event").toString() == QLatin1String("unexpected")) e.remove("data");
      events.push_back(e);
    }
    return events;
  }

  QString dir, logPath;
  EventLog log;
  std::unique_ptr<FakeTransport> transport;
  std::unique_ptr<Host> host;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  // Each input writes two event logs and output folders: in memory where
  // there is a memory file system, which is several times faster.
  static QTemporaryDir root(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm/lumaset-fuzz-XXXXXX")
                                                      : QDir::tempPath() + QStringLiteral("/lumaset-fuzz-XXXXXX"));
  Check(root.isValid(), "cannot make the output folder");
  g_root = root.path();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t faults = data[0], link = data[1];
  size_t ncuts = data[2] % 32;
  data += 3, size -= 3;
  if (ncuts > size) ncuts = size;
  const uint8_t* cuts = data;
  const uint8_t* stream = data + ncuts;
  const size_t length = size - ncuts;

  HostOptions o;
  const uint32_t rates[] = {9600, 115200, 57600, 300};
  o.rate = rates[link & 3];
  o.rawGapMs = 0;
  o.idleTimeoutMs = 1'000'000;  // never while an input runs
  o.splitFbltReply = link & 4;
  if (link & 8) o.fbltPrefix = "\x02";
  Faults& f = o.faults;
  f.silent = faults & 1;
  f.wrongAck = faults & 2;
  f.refuseHandshake = faults & 4;
  f.noLengthAck = faults & 8;
  f.noFinalAck = faults & 16;
  f.wrongProbe = faults & 32;
  if (faults & 64) f.abortAfterBlock = (faults >> 4) & 3;
  if (faults & 128) {
    if (link & 16) f.unplugAfterBlock = (link >> 6) & 3;
    else f.stallAfterBytes = 16 * ((link >> 6) & 3);
  }
  const bool checksRate = link & 32;
  const bool answersRate = !checksRate;
  const bool usb = link & 16;
  const bool timePasses = ncuts > 0 && (cuts[0] & 1);

  Rig whole(o, "whole", checksRate, answersRate, usb);
  Rig pieces(o, "pieces", checksRate, answersRate, usb);
  whole.transport->Feed(stream, length, o.rate);
  size_t at = 0;
  for (size_t i = 0; at < length; ++i) {
    size_t n = i < ncuts ? 1 + cuts[i] % 64 : length - at;
    if (n > length - at) n = length - at;
    // On a link that checks it, a read now and then comes at another rate.
    const uint32_t rate = checksRate && i < ncuts && (cuts[i] & 0x80) ? 4800 : o.rate;
    pieces.transport->Feed(stream + at, n, rate);
    at += n;
    if (timePasses) QCoreApplication::processEvents();
  }

  if (!timePasses && !checksRate) {
    Check(whole.Events() == pieces.Events(), "the events depend on how the stream is cut");
    Check(whole.transport->sent == pieces.transport->sent, "the answers depend on how the stream is cut");
  }
  // Let the quiet gaps run out, then the tool goes away.
  QCoreApplication::processEvents();
  whole.host->OnClientGone(QStringLiteral("gone"));
  pieces.host->OnClientGone(QStringLiteral("gone"));
  return 0;
}
