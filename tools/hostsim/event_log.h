// One JSON object per line for every event, flushed at once, so a script
// reading the log sees each event as it happens.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonObject>
#include <QString>
#include <chrono>

namespace hostsim {

class EventLog {
 public:
  // Empty path: standard output.
  bool Open(const QString& path, QString* error);
  // Writes {"event":name,"t":ms since start,...fields}.
  void Emit(const char* name, QJsonObject fields = {});
  // The events' clock: ms since start, on the monotonic clock.
  qint64 NowMs() const;
  // The monotonic clock (CLOCK_MONOTONIC) at start, in microseconds, so
  // another process can put the events' times on its own clock.
  qint64 StartMonotonicUs() const;

 private:
  QFile file_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Lower-case hex with a space between bytes, at most maxBytes of them
// ("..." appended when cut).
QString Hex(const QByteArray& bytes, int maxBytes = 64);
// "0x88"
QString HexByte(uint8_t b);

}  // namespace hostsim
