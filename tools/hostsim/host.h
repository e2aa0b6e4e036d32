// The host's side of the protocol: recognises the tool's messages in the
// byte stream, answers them, receives downloads into the output folder and
// plays the requested faults.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>

#include "faults.h"

namespace hostsim {

class EventLog;
class Transport;

struct HostOptions {
  uint32_t rate = 115200;
  int rawGapMs = 300;
  int idleTimeoutMs = 0;  // 0: chosen from the link and rate
  QString outDir;
  QByteArray fbltPrefix;
  bool splitFbltReply = false;
  Faults faults;
};

// The rates the host can be set to, lowest first.
bool IsTableRate(uint32_t rate);

class Host : public QObject {
 public:
  Host(HostOptions options, EventLog* log, Transport* transport);

  // Prepares the output folder; false with a message when it cannot be made.
  bool Prepare(QString* error);
  // Called once the ready event is out.
  void Begin();
  uint32_t Rate() const { return rate_; }
  // When the host may speak on its own (status lines, the timed stream)
  // without disturbing the tool: -1 while an exchange or a download is in
  // progress (a message begun, an answer not yet sent), else the ms left of
  // the quiet margin after the last byte received (0: now).
  qint64 QuietInMs() const;

  void OnBytes(const QByteArray& bytes, uint32_t lineRate);
  void OnClientGone(const QString& reason);

 private:
  enum class State {
    Idle,            // between messages; pending_ holds a possible message start
    Clock,           // 7 clock bytes after command 6
    RateChange,      // 8 rate bytes after command 14
    ImageLength,     // 4-byte little-endian payload length
    ImagePayload,    // file bytes and type byte
    ImageCheck,      // XOR check byte
    HandshakeLength, // 0x09 or the refusal '/' after the FBLT answer
    TouchLength,     // 4-byte big-endian length after 0x09
    TouchPayload,    // the touch-panel program
    Raw,             // a file sent unchanged, ended by a quiet gap
    Discard,         // the rest of an aborted or unreadable download
  };
  bool InDataPhase() const;
  bool InDownload() const;
  bool UsesGap() const;
  qsizetype Step(const char* data, qsizetype size);
  // index: host command table entry, or -1 for the FBLT handshake request.
  void Handle(int index);
  void StartRaw();
  void FinishRaw();
  void FinishImage();
  void FinishTouch();
  void FinishFile(const char* event, const char* kind, const char* ext);
  void FinishClock();
  void FinishRateChange();
  void StartDataPhase(const char* kind);
  // How many data bytes may come before a threshold fault acts.
  qint64 DataBudget() const;
  void CheckDataFaults();
  void OnGap();
  void OnIdleTimeout();
  void Fail(const QString& reason, QJsonObject extra = {});
  void ToIdle();
  int IdleTimeoutMs() const;

  // Sends an answer, subject to the silent and slow faults; after runs once
  // it has gone out.
  void Answer(const QByteArray& bytes, const QString& what, std::function<void()> after = {});
  // The 8-byte acknowledgement, or the wrong one under that fault. Returns
  // whether the real acknowledgement went out.
  bool Acknowledge(const QString& what, bool closing, std::function<void()> after = {});
  // Runs once a data phase has been opened with an acknowledgement.
  void OnDataPhaseOpened();
  void SendQueued();
  void Fault(const char* name, QJsonObject detail = {});
  QString Save(const char* kind, const char* ext, const QByteArray& data);

  HostOptions opt_;
  EventLog* log_;
  Transport* transport_;
  uint32_t rate_;
  QDir out_;
  int nextFile_ = 1;

  State state_ = State::Idle;
  QByteArray pending_;  // Idle: bytes that may begin a known message
  QByteArray buf_;      // the fixed-size field or payload being collected
  QByteArray frame_;    // image payload (file and type byte) awaiting its check byte
  qsizetype need_ = 0;  // bytes wanted in buf_
  const char* kind_ = "";  // "user", "system", "touch", "raw"
  qint64 dataBytes_ = 0;   // data bytes of the current download
  qint64 discarded_ = 0;
  bool awaitingFirstFrameByte_ = false;

  QTimer gapTimer_;
  QTimer idleTimer_;

  struct Queued {
    qint64 dueMs;
    QByteArray bytes;
    std::function<void()> after;
  };
  std::deque<Queued> queue_;
  QTimer queueTimer_;
  QElapsedTimer clock_;
  qint64 lastReceivedMs_ = -1;  // clock_ time of the last bytes read

  bool abortDone_ = false;
  bool unplugDone_ = false;
  bool stallDone_ = false;
};

}  // namespace hostsim
