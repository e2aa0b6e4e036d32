#include "faults.h"

namespace hostsim {

namespace {
constexpr int kDefaultCloseDelayMs = 200;
}

bool ParseFault(const QString& option, Faults* f, QString* error) {
  const qsizetype eq = option.indexOf('=');
  const QString name = eq < 0 ? option : option.left(eq);
  const QString arg = eq < 0 ? QString() : option.mid(eq + 1);
  bool haveNumber = false;
  qint64 n = 0;
  if (eq >= 0) {
    n = arg.toLongLong(&haveNumber);
    if (!haveNumber || n < 0) {
      *error = QStringLiteral("fault %1: \"%2\" is not a number of 0 or more").arg(name, arg);
      return false;
    }
  }
  auto needsNumber = [&]() {
    if (haveNumber) return true;
    *error = QStringLiteral("fault %1 needs a number: %1=N").arg(name);
    return false;
  };
  auto noNumber = [&]() {
    if (!haveNumber) return true;
    *error = QStringLiteral("fault %1 takes no number").arg(name);
    return false;
  };

  if (name == "silent") { if (!noNumber()) return false; f->silent = true; }
  else if (name == "wrong-ack") { if (!noNumber()) return false; f->wrongAck = true; }
  else if (name == "refuse-handshake") { if (!noNumber()) return false; f->refuseHandshake = true; }
  else if (name == "no-length-ack") { if (!noNumber()) return false; f->noLengthAck = true; }
  else if (name == "no-final-ack") { if (!noNumber()) return false; f->noFinalAck = true; }
  else if (name == "wrong-probe") { if (!noNumber()) return false; f->wrongProbe = true; }
  else if (name == "abort-after-block") { if (!needsNumber()) return false; f->abortAfterBlock = n; }
  else if (name == "unplug-after-block") { if (!needsNumber()) return false; f->unplugAfterBlock = n; }
  else if (name == "slow") { if (!needsNumber()) return false; f->slowMs = static_cast<int>(n); }
  else if (name == "stall") {
    if (haveNumber) f->stallAfterBytes = n;
    else f->stallAfterAnnounce = true;
  } else if (name == "close-error") {
    f->closeErrorMs = haveNumber ? static_cast<int>(n) : kDefaultCloseDelayMs;
  } else if (name == "close-orderly") {
    f->closeOrderlyMs = haveNumber ? static_cast<int>(n) : kDefaultCloseDelayMs;
  } else {
    *error = QStringLiteral("unknown fault \"%1\" (see --help)").arg(name);
    return false;
  }
  f->names << option;
  return true;
}

QString FaultHelp() {
  return QStringLiteral(
      "Faults (--fault NAME[=N], may repeat; each logs \"fault-applied\" when it acts):\n"
      "  silent                 answer nothing at all (everything is still logged)\n"
      "  wrong-ack              answer announcements and closings with E7 A8 B6 CE 4E 4F 0D 0A\n"
      "  refuse-handshake       answer FBLT with bytes ending in NODOWNSYS\n"
      "  no-length-ack          never answer the length announcement\n"
      "  abort-after-block=N    send the abort byte 0x9F once N*512 data bytes of a\n"
      "                         download have come (once per run)\n"
      "  stall                  stop reading for good once the first download\n"
      "                         announcement (or handshake length) is acknowledged\n"
      "  stall=N                stop reading for good after N bytes in all (0: at start)\n"
      "  slow=MS                delay every answer by MS milliseconds\n"
      "  no-final-ack           never send the closing acknowledgement\n"
      "  wrong-probe            answer the probe with 0x0E\n"
      "  close-error[=MS]       TCP: MS ms (default 200) after an announcement ack,\n"
      "                         reset the connection (SO_LINGER 0)\n"
      "  close-orderly[=MS]     TCP: the same, but shut the connection down cleanly\n"
      "  unplug-after-block=N   USB: once N*512 data bytes have come, close both pipe\n"
      "                         connections and stop listening for 2 s (once per run)\n");
}

}  // namespace hostsim
