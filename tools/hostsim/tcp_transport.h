// The host's network interface: a TCP server on 127.0.0.1, one client at a
// time, the newest connection replacing the old one.
#pragma once

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include "transport.h"

namespace hostsim {

class TcpTransport : public Transport {
 public:
  TcpTransport(EventLog* log, quint16 port);

  bool Start(QString* error) override;
  QString Name() const override { return QStringLiteral("tcp"); }
  void AddReadyFields(QJsonObject* ready) const override;
  void Send(const QByteArray& answer) override;
  void Shutdown() override;
  bool AnswersRateQuery() const override { return true; }
  bool CloseClient(bool reset) override;
  bool PeerPresent() const override;
  qint64 Backlog() const override;
  bool InputWaiting() const override;

 protected:
  void SetReadEnabled(bool on) override;

 private:
  void OnNewConnection();
  void OnDisconnected(QTcpSocket* socket);
  void ReadSome();
  // Forgets the current client without reporting it gone.
  QTcpSocket* Detach();

  quint16 port_;
  QTcpServer server_;
  QPointer<QTcpSocket> client_;
  int nextId_ = 1;
  int clientId_ = 0;
  bool readScheduled_ = false;
};

}  // namespace hostsim
