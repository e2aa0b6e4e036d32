// What the host sends on its own: a status line now and then, as a
// controller's console prints (--talk), or a continuous stream of records
// stamped with the time they were written, so a receiver can measure its lag
// (--stream). Neither goes out while the tool and the host are in an exchange
// or a download, nor when no tool is there to take it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

namespace hostsim {

class EventLog;
class Host;
class Transport;

struct ConsoleOptions {
  int talkMs = 0;         // a status line every talkMs; 0: none
  // Serial: a status line due while the tool's line rate is not the host's
  // goes out as noise made from this seed; none: the host keeps quiet then.
  std::optional<quint32> noiseSeed;
  bool stream = false;    // the timed record stream
  int streamSeconds = 0;  // end the stream after this long; 0: at exit
};

class Console : public QObject {
 public:
  // Every record of the stream is this long, line end included.
  static constexpr int kRecordBytes = 32;

  Console(ConsoleOptions options, EventLog* log, Host* host, Transport* transport);
  ~Console() override;

  // Begins once the ready event is out; false with a message when the
  // stream's timer cannot be made.
  bool Start(QString* error);

 private:
  // 0 when the host may send now, else how many ms to wait before asking
  // again. atAnyRate: also while the tool's line rate is not the host's.
  qint64 HoldMs(bool atAnyRate = false) const;
  void Talk();
  // What a receiver at lineRate makes of a line of `bytes` sent at the
  // host's rate: the next burst of noise of the seed.
  QByteArray Noise(qsizetype bytes, uint32_t lineRate);
  // Stream bytes per second: the line's wire speed on serial, else fixed.
  qint64 StreamRate() const;
  void PumpStream();
  // Writes one record, or as many as fill a packet, stamped at the write.
  void WriteRecords();
  void ArmStream(qint64 dueNs);
  void EndStream();

  ConsoleOptions opt_;
  EventLog* log_;
  Host* host_;
  Transport* transport_;

  QTimer talkTimer_;
  int talkLines_ = 0;
  quint64 noiseBursts_ = 0;

  // The stream is paced by a timerfd at absolute monotonic times, finer
  // than the millisecond timers of the event loop.
  int timerFd_ = -1;
  std::unique_ptr<QSocketNotifier> streamNotifier_;
  bool streaming_ = false;
  bool held_ = true;        // the last pump found the host unable to send
  qint64 nextDueNs_ = 0;    // monotonic time the next write is due
  qint64 records_ = 0;
  qint64 streamBytes_ = 0;
  qint64 streamStartMs_ = 0;
  QTimer progressTimer_;
  QTimer endTimer_;
};

}  // namespace hostsim
