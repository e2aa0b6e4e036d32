#include "tcp_transport.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QTimer>

#include "event_log.h"

namespace hostsim {

namespace {
// Keeps Qt from reading far ahead of a paused or stalled host, so the
// tool's sends back up into its own socket as they would on a real line.
constexpr qint64 kSocketReadBuffer = 4096;
}  // namespace

TcpTransport::TcpTransport(EventLog* log, quint16 port) : Transport(log), port_(port) {}

bool TcpTransport::Start(QString* error) {
  connect(&server_, &QTcpServer::newConnection, this, [this] { OnNewConnection(); });
  if (!server_.listen(QHostAddress::LocalHost, port_)) {
    *error = QStringLiteral("listen on 127.0.0.1:%1: %2").arg(port_).arg(server_.errorString());
    return false;
  }
  return true;
}

void TcpTransport::AddReadyFields(QJsonObject* ready) const {
  ready->insert("port", server_.serverPort());
}

void TcpTransport::OnNewConnection() {
  while (QTcpSocket* s = server_.nextPendingConnection()) {
    if (client_) {
      QTcpSocket* old = Detach();
      log_->Emit("client-disconnected", {{"connection", clientId_}, {"reason", "replaced"}});
      old->abort();
      old->deleteLater();
      NotifyGone(QStringLiteral("replaced"));
    }
    client_ = s;
    clientId_ = nextId_++;
    s->setReadBufferSize(kSocketReadBuffer);
    connect(s, &QTcpSocket::readyRead, this, [this, s] {
      if (s == client_) ReadSome();
    });
    connect(s, &QTcpSocket::disconnected, this, [this, s] { OnDisconnected(s); });
    log_->Emit("client-connected", {{"connection", clientId_}, {"peerPort", s->peerPort()}});
    ReadSome();
  }
}

QTcpSocket* TcpTransport::Detach() {
  QTcpSocket* s = client_;
  client_ = nullptr;
  if (s) disconnect(s, nullptr, this, nullptr);
  return s;
}

void TcpTransport::OnDisconnected(QTcpSocket* socket) {
  if (socket != client_) return;
  const QString reason = socket->error() == QAbstractSocket::RemoteHostClosedError ||
                                 socket->error() == QAbstractSocket::UnknownSocketError
                             ? QStringLiteral("closed")
                             : socket->errorString();
  Detach();
  socket->deleteLater();
  log_->Emit("client-disconnected", {{"connection", clientId_}, {"reason", reason}});
  NotifyGone(QStringLiteral("disconnected"));
}

void TcpTransport::ReadSome() {
  // Bytes the socket already holds get no new readyRead, so drain them here.
  while (client_ && client_->bytesAvailable() > 0) {
    const qsizetype budget = ReadBudget(0);
    if (budget <= 0) return;
    QPointer<QTcpSocket> s = client_;
    const QByteArray bytes = s->read(budget);
    if (bytes.isEmpty()) return;
    Deliver(bytes, 0);
  }
}

void TcpTransport::SetReadEnabled(bool on) {
  if (!on || readScheduled_ || !client_) return;
  readScheduled_ = true;
  QTimer::singleShot(0, this, [this] {
    readScheduled_ = false;
    ReadSome();
  });
}

void TcpTransport::Send(const QByteArray& answer) {
  if (!client_) {
    log_->Emit("answer-dropped", {{"bytes", Hex(answer)}, {"reason", "no client connected"}});
    return;
  }
  client_->write(answer);
  client_->flush();
}

bool TcpTransport::CloseClient(bool reset) {
  if (!client_) return false;
  QTcpSocket* s = Detach();
  if (reset) {
    s->flush();
    // SO_LINGER with a zero time makes the close send RST instead of FIN.
    linger lg {1, 0};
    setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    s->abort();
    s->deleteLater();
  } else {
    connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    s->disconnectFromHost();
    if (s->state() == QAbstractSocket::UnconnectedState) s->deleteLater();
  }
  log_->Emit("client-disconnected",
             {{"connection", clientId_}, {"reason", reset ? "reset by host" : "closed by host"}});
  return true;
}

bool TcpTransport::PeerPresent() const {
  return client_ && client_->state() == QAbstractSocket::ConnectedState;
}

qint64 TcpTransport::Backlog() const {
  if (!client_) return 0;
  // Qt's write buffer and the kernel's unsent bytes.
  int unsent = 0;
  if (ioctl(static_cast<int>(client_->socketDescriptor()), SIOCOUTQ, &unsent) != 0) unsent = 0;
  return client_->bytesToWrite() + unsent;
}

bool TcpTransport::InputWaiting() const {
  if (!client_) return false;
  if (client_->bytesAvailable() > 0) return true;
  int n = 0;
  return ioctl(static_cast<int>(client_->socketDescriptor()), FIONREAD, &n) == 0 && n > 0;
}

void TcpTransport::Shutdown() {
  if (QTcpSocket* s = Detach()) {
    s->abort();
    s->deleteLater();
  }
  server_.close();
}

}  // namespace hostsim
