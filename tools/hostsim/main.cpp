// lumaset-hostsim: a stand-in for the room controller, so the tool can be
// tested, measured and shown on a machine without one.
#include <signal.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <cstdio>
#include <memory>

#include "app/qt_signals.h"
#include "console.h"
#include "event_log.h"
#include "faults.h"
#include "host.h"
#include "serial_transport.h"
#include "tcp_transport.h"
#include "usb_transport.h"

using namespace hostsim;

namespace {

// Text with \xNN escapes for single bytes.
QByteArray Unescape(const QString& text) {
  const QByteArray in = text.toUtf8();
  QByteArray out;
  for (qsizetype i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
      bool ok = false;
      const int v = in.mid(i + 2, 2).toInt(&ok, 16);
      if (ok) {
        out.append(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.append(in[i]);
  }
  return out;
}

int Fatal(EventLog* log, const QString& message) {
  fprintf(stderr, "lumaset-hostsim: %s\n", qPrintable(message));
  if (log) log->Emit("error", {{"message", message}});
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("lumaset-hostsim"));

  QCommandLineParser p;
  p.setApplicationDescription(QStringLiteral(
      "Plays the host's side of the wire protocol over a pseudo-terminal (default),\n"
      "TCP or the virtual USB device, so the tool runs without a controller.\n"
      "Every event is written as one JSON object per line; the first is \"ready\" and\n"
      "names the device path, TCP port or socket path to open.\n\n") + FaultHelp());
  p.addHelpOption();
  QCommandLineOption tcp(QStringLiteral("tcp"),
                         QStringLiteral("Listen on 127.0.0.1:<port> instead of the serial line "
                                        "(0: a free port, reported in the ready event)."),
                         QStringLiteral("port"));
  QCommandLineOption usb(QStringLiteral("usb-virtual"),
                         QStringLiteral("Be the virtual USB device on the SOCK_SEQPACKET "
                                        "socket <path>."),
                         QStringLiteral("path"));
  QCommandLineOption link(QStringLiteral("link"),
                          QStringLiteral("Serial: make <path> a symlink to the pseudo-terminal "
                                         "(replaces a symlink there; removed at exit)."),
                          QStringLiteral("path"));
  QCommandLineOption rate(QStringLiteral("rate"),
                          QStringLiteral("The host's own line rate, one of 300 600 1200 2400 4800 "
                                         "9600 14400 19200 38400 57600 115200 (default 115200)."),
                          QStringLiteral("rate"), QStringLiteral("115200"));
  QCommandLineOption out(QStringLiteral("out"),
                         QStringLiteral("Folder for received programs (default "
                                        "./lumaset-hostsim-out)."),
                         QStringLiteral("dir"), QStringLiteral("lumaset-hostsim-out"));
  QCommandLineOption logFile(QStringLiteral("log"),
                             QStringLiteral("Write the events to <file> instead of standard output."),
                             QStringLiteral("file"));
  QCommandLineOption rawGap(QStringLiteral("raw-gap"),
                            QStringLiteral("Quiet time that ends a raw file (default 300 ms plus the "
                                           "tool's block pause of 2 x 115200/rate ms; 800 ms over TCP, "
                                           "whose tool pauses 256 ms per block)."),
                            QStringLiteral("ms"));
  QCommandLineOption idle(QStringLiteral("idle-timeout"),
                          QStringLiteral("Give up a download after <ms> without data (default "
                                         "10000, over TCP plus the tool's block pause)."),
                          QStringLiteral("ms"));
  QCommandLineOption prefix(QStringLiteral("fblt-prefix"),
                            QStringLiteral("Bytes sent before \"OKDOWNSYS\" in the handshake answer "
                                           "(\\xNN stands for a byte)."),
                            QStringLiteral("text"));
  QCommandLineOption split(QStringLiteral("split-fblt-reply"),
                           QStringLiteral("Send the handshake answer in two writes (two USB packets)."));
  QCommandLineOption pace(QStringLiteral("pace"),
                          QStringLiteral("Read at the wire speed of the line rate (10 bits a byte)."));
  QCommandLineOption fault(QStringLiteral("fault"),
                           QStringLiteral("Play a fault, see the list above (may repeat)."),
                           QStringLiteral("name[=n]"));
  QCommandLineOption talk(QStringLiteral("talk"),
                          QStringLiteral("Send a status line every <ms> while no exchange or download "
                                         "is in progress, every third in Chinese (code page 936)."),
                          QStringLiteral("ms"));
  QCommandLineOption noise(QStringLiteral("noise"),
                           QStringLiteral("With --talk on the serial line: while the tool's line rate is not the "
                                          "host's, send each status line as the noise a receiver at that rate "
                                          "would get, the same for the same <seed> (0 to 4294967295)."),
                           QStringLiteral("seed"));
  QCommandLineOption stream(QStringLiteral("stream"),
                            QStringLiteral("Send timed 32-byte records \"#<seq> <t_ms>\" as fast as the "
                                           "line allows, pausing for exchanges and downloads."));
  QCommandLineOption streamSeconds(QStringLiteral("stream-seconds"),
                                   QStringLiteral("End the stream after <n> seconds (default: at exit)."),
                                   QStringLiteral("n"));
  p.addOptions({tcp, usb, link, rate, out, logFile, rawGap, idle, prefix, split, pace, fault, talk, noise,
                stream, streamSeconds});
  p.process(app);

  EventLog log;
  QString error;
  if (!log.Open(p.value(logFile), &error))
    return Fatal(nullptr, QStringLiteral("cannot open the log: %1").arg(error));

  if (p.isSet(tcp) && p.isSet(usb))
    return Fatal(&log, QStringLiteral("--tcp and --usb-virtual exclude each other"));
  if (p.isSet(link) && (p.isSet(tcp) || p.isSet(usb)))
    return Fatal(&log, QStringLiteral("--link applies to the serial line only"));

  HostOptions opt;
  bool ok = false;
  opt.rate = p.value(rate).toUInt(&ok);
  if (!ok || !IsTableRate(opt.rate))
    return Fatal(&log, QStringLiteral("--rate %1 is not a rate of the table").arg(p.value(rate)));
  opt.outDir = p.value(out);
  opt.fbltPrefix = Unescape(p.value(prefix));
  opt.splitFbltReply = p.isSet(split);
  for (const QString& option : p.values(fault))
    if (!ParseFault(option, &opt.faults, &error)) return Fatal(&log, error);
  if (p.isSet(rawGap)) {
    opt.rawGapMs = p.value(rawGap).toInt(&ok);
    if (!ok || opt.rawGapMs <= 0) return Fatal(&log, QStringLiteral("--raw-gap needs a positive number"));
  } else {
    opt.rawGapMs = p.isSet(tcp) ? 800 : 300 + 2 * static_cast<int>(115200 / opt.rate);
  }
  if (p.isSet(idle)) {
    opt.idleTimeoutMs = p.value(idle).toInt(&ok);
    if (!ok || opt.idleTimeoutMs <= 0)
      return Fatal(&log, QStringLiteral("--idle-timeout needs a positive number"));
  }

  ConsoleOptions console;
  if (p.isSet(talk)) {
    console.talkMs = p.value(talk).toInt(&ok);
    if (!ok || console.talkMs <= 0) return Fatal(&log, QStringLiteral("--talk needs a positive number"));
  }
  if (p.isSet(noise)) {
    if (console.talkMs == 0) return Fatal(&log, QStringLiteral("--noise needs --talk"));
    console.noiseSeed = p.value(noise).toUInt(&ok);
    if (!ok) return Fatal(&log, QStringLiteral("--noise needs a seed from 0 to 4294967295"));
  }
  console.stream = p.isSet(stream);
  if (p.isSet(streamSeconds)) {
    if (!console.stream) return Fatal(&log, QStringLiteral("--stream-seconds needs --stream"));
    console.streamSeconds = p.value(streamSeconds).toInt(&ok);
    // The end timer counts in int milliseconds.
    if (!ok || console.streamSeconds <= 0 || console.streamSeconds > 2'000'000)
      return Fatal(&log, QStringLiteral("--stream-seconds needs a number from 1 to 2000000"));
  }
  // Status lines in the middle of the stream would break its records apart.
  if (console.talkMs > 0 && console.stream)
    return Fatal(&log, QStringLiteral("--talk and --stream exclude each other"));

  std::unique_ptr<Transport> transport;
  if (p.isSet(tcp)) {
    const uint port = p.value(tcp).toUInt(&ok);
    if (!ok || port > 65535) return Fatal(&log, QStringLiteral("--tcp needs a port number"));
    transport = std::make_unique<TcpTransport>(&log, static_cast<quint16>(port));
  } else if (p.isSet(usb)) {
    transport = std::make_unique<UsbTransport>(&log, p.value(usb));
  } else {
    transport = std::make_unique<SerialTransport>(&log, p.value(link), opt.rate);
  }

  Host host(opt, &log, transport.get());
  if (!host.Prepare(&error)) return Fatal(&log, error);
  transport->SetReceiver([&host](const QByteArray& b, uint32_t r) { host.OnBytes(b, r); });
  transport->SetGone([&host](const QString& reason) { host.OnClientGone(reason); });
  transport->SetPacing(p.isSet(pace), [&host] { return host.Rate(); });
  if (opt.faults.stallAfterBytes) transport->StopReadingAfter(*opt.faults.stallAfterBytes);

  // Signals end the run through the event loop.
  lumaset::WatchQuitSignals(&app, [&](int number) {
    log.Emit("exit", {{"signal", number}});
    transport->Shutdown();
    app.quit();
  }, {SIGINT, SIGTERM, SIGHUP});

  if (!transport->Start(&error)) {
    transport->Shutdown();
    return Fatal(&log, error);
  }

  QJsonObject ready {{"transport", transport->Name()},
                     {"rate", static_cast<qint64>(opt.rate)},
                     {"out", QDir(opt.outDir).absolutePath()},
                     {"pid", static_cast<qint64>(QCoreApplication::applicationPid())},
                     {"rawGapMs", opt.rawGapMs},
                     {"pace", p.isSet(pace)},
                     {"faults", QJsonArray::fromStringList(opt.faults.names)},
                     {"talkMs", console.talkMs},
                     {"stream", console.stream},
                     {"monotonicStartUs", log.StartMonotonicUs()}};
  if (console.noiseSeed) ready.insert("noiseSeed", static_cast<qint64>(*console.noiseSeed));
  transport->AddReadyFields(&ready);
  log.Emit("ready", ready);
  if (console.noiseSeed && !transport->ChecksRate())
    log.Emit("warning", {{"message", "--noise acts on the serial line only"}});
  host.Begin();
  Console speaker(console, &log, &host, transport.get());
  if (!speaker.Start(&error)) {
    transport->Shutdown();
    return Fatal(&log, error);
  }

  const int rc = app.exec();
  transport->Shutdown();
  return rc;
}
