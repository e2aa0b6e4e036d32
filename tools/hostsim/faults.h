// Faults the host plays on request (--fault NAME[=N], may repeat).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace hostsim {

struct Faults {
  bool silent = false;            // answer nothing at all
  bool wrongAck = false;          // a different 8-byte acknowledgement
  bool refuseHandshake = false;   // FBLT answer not ending in OKDOWNSYS
  bool noLengthAck = false;       // never answer the length announcement
  std::optional<qint64> abortAfterBlock;   // send 0x9F after N*512 data bytes
  bool stallAfterAnnounce = false;          // plain "stall"
  std::optional<qint64> stallAfterBytes;    // "stall=N"
  int slowMs = 0;                 // delay every answer
  bool noFinalAck = false;        // never send the closing acknowledgement
  bool wrongProbe = false;        // answer the probe with 0x0E
  std::optional<int> closeErrorMs;    // TCP reset N ms after the announcement ack
  std::optional<int> closeOrderlyMs;  // TCP shutdown N ms after the announcement ack
  std::optional<qint64> unplugAfterBlock;  // USB: drop both pipes after N*512 data bytes

  // The names as given, for the ready event.
  QStringList names;
};

// Parses one --fault value into faults; false with a message when the name
// is unknown or its number is missing or not a number.
bool ParseFault(const QString& option, Faults* faults, QString* error);

// One line per fault, for --help.
QString FaultHelp();

}  // namespace hostsim
