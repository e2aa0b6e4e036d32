// A link to the tool: hands the bytes it reads to the host and sends the
// host's answers. Also paces reading to the line's speed (--pace) and stops
// reading for good on request (the stall fault).
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>

namespace hostsim {

class EventLog;

class Transport : public QObject {
 public:
  // lineRate: the tool's line rate the bytes came at, 0 on links without one.
  using ReceiveFn = std::function<void(const QByteArray& bytes, uint32_t lineRate)>;
  // The tool's connection is gone (TCP close or replacement).
  using GoneFn = std::function<void(const QString& reason)>;

  explicit Transport(EventLog* log);
  ~Transport() override;

  virtual bool Start(QString* error) = 0;
  virtual QString Name() const = 0;
  virtual void AddReadyFields(QJsonObject* ready) const = 0;
  // Sends one answer. Links with packets send it as one packet where it fits.
  virtual void Send(const QByteArray& answer) = 0;
  // Releases everything the link made (symlink, socket file) before exit.
  virtual void Shutdown() = 0;

  // Whether the line rate of received bytes is checked against the host's.
  virtual bool ChecksRate() const { return false; }
  // Whether host command 15 is answered with the rate.
  virtual bool AnswersRateQuery() const { return false; }
  // Extra time before an answer goes out, as a device would take.
  virtual int AnswerLatencyMs() const { return 0; }
  // Drops the tool's connection: reset (RST) or orderly. False where the
  // link has no connection to drop.
  virtual bool CloseClient(bool reset) { return false; }
  // Acts as if the device were unplugged for ms. False where not possible.
  virtual bool Unplug(int ms) { return false; }

  // For what the host sends on its own (status lines, the timed stream):
  // whether a tool is there to receive it (serial: always),
  virtual bool PeerPresent() const = 0;
  // the tool's line rate now (0 on links without one),
  virtual uint32_t LineRate() const { return 0; }
  // bytes sent that the tool has not taken yet, queued here or in the line,
  virtual qint64 Backlog() const = 0;
  // whether bytes from the tool wait to be read,
  virtual bool InputWaiting() const = 0;
  // and the largest packet the link sends (0: a byte stream).
  virtual int PacketSize() const { return 0; }

  void SetReceiver(ReceiveFn fn) { receive_ = std::move(fn); }
  void SetGone(GoneFn fn) { gone_ = std::move(fn); }
  // Pace reading to 10 bits a byte at the line rate of the bytes, or at
  // hostRate() on links without a line rate.
  void SetPacing(bool on, std::function<uint32_t()> hostRate);
  // Stop reading for good after this many bytes in all (0: now).
  void StopReadingAfter(qint64 totalBytes);
  void StopReading() { StopReadingAfter(received_); }
  bool Stopped() const { return stopped_; }

 protected:
  // Largest read the link may make now; 0 when it must not read.
  qsizetype ReadBudget(uint32_t lineRate) const;
  // The link read bytes: count them, hand them over, pace.
  void Deliver(const QByteArray& bytes, uint32_t lineRate);
  void NotifyGone(const QString& reason) { if (gone_) gone_(reason); }
  bool ReadAllowed() const { return !stopped_ && !paused_; }
  // Turn the link's reading on or off (pacing pause, stall).
  virtual void SetReadEnabled(bool on) = 0;

  EventLog* log_;

 private:
  void Refresh();

  ReceiveFn receive_;
  GoneFn gone_;
  bool pace_ = false;
  std::function<uint32_t()> hostRate_;
  QElapsedTimer lineClock_;
  qint64 lineFreeNs_ = 0;  // the line is busy with taken bytes until then
  QTimer paceTimer_;
  bool paused_ = false;
  bool stopped_ = false;
  qint64 received_ = 0;
  qint64 stopAfter_ = -1;
};

}  // namespace hostsim
