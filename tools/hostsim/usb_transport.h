// The virtual USB device: a Unix-domain SOCK_SEQPACKET socket on which the
// tool opens each pipe as its own connection. The first message names the
// pipe: "PIPE02" (IN, host to tool) or "PIPE03" (OUT, tool to host). After
// that every message is one USB packet.
#pragma once

#include <QSocketNotifier>
#include <deque>
#include <map>
#include <memory>

#include "transport.h"

namespace hostsim {

class UsbTransport : public Transport {
 public:
  UsbTransport(EventLog* log, QString path);
  ~UsbTransport() override;

  bool Start(QString* error) override;
  QString Name() const override { return QStringLiteral("usb-virtual"); }
  void AddReadyFields(QJsonObject* ready) const override;
  // Sends the answer as IN packets of at most 64 bytes.
  void Send(const QByteArray& answer) override;
  void Shutdown() override;
  // Give the tool's transfer thread time to arm its reply capture after a
  // write, as a real device's frame time would.
  int AnswerLatencyMs() const override { return 1; }
  bool Unplug(int ms) override;
  bool PeerPresent() const override { return Find(Pipe::In) != nullptr; }
  qint64 Backlog() const override;
  bool InputWaiting() const override;
  int PacketSize() const override;

 protected:
  void SetReadEnabled(bool on) override;

 private:
  enum class Pipe { Unknown, In, Out };
  struct Connection {
    int id = 0;
    int fd = -1;
    Pipe pipe = Pipe::Unknown;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    std::deque<QByteArray> packets;  // IN packets not yet sent
  };

  bool Listen(QString* error);
  void StopListening();
  void OnAcceptable();
  void OnReadable(int id);
  // Reads every OUT packet the connection holds (before it is replaced).
  void Drain(int id);
  static void ReleaseNotifiers(Connection& c);
  void FlushIn(Connection& c);
  void Drop(int id, const char* reason);
  Connection* Find(Pipe pipe);
  const Connection* Find(Pipe pipe) const;
  static QString PipeName(Pipe p);

  QString path_;
  int listenFd_ = -1;
  std::unique_ptr<QSocketNotifier> acceptNotifier_;
  std::map<int, Connection> connections_;
  int nextId_ = 1;
  bool readEnabled_ = true;
};

}  // namespace hostsim
