// One JSON object per line for every event, flushed at once, so a script
// reading the log sees each event as it happens.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QString>

namespace hostsim {

class EventLog {
 public:
  // Empty path: standard output.
  bool Open(const QString& path, QString* error);
  // Writes {"event":name,"t":ms since start,...fields}.
  void Emit(const char* name, QJsonObject fields = {});

 private:
  QFile file_;
  QElapsedTimer clock_;
};

// Lower-case hex with a space between bytes, at most maxBytes of them
// ("..." appended when cut).
QString Hex(const QByteArray& bytes, int maxBytes = 64);
// "0x88"
QString HexByte(uint8_t b);

}  // namespace hostsim
