#include "usb_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <utility>

#include "event_log.h"

namespace hostsim {

namespace {
constexpr int kInPacket = 64;
constexpr size_t kMaxMessage = 65536;

QString Errno() { return QString::fromLocal8Bit(strerror(errno)); }

// A zero-length read is either an empty message or the peer's close.
bool HungUp(int fd) {
  pollfd p {fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}
}  // namespace

UsbTransport::UsbTransport(EventLog* log, QString path) : Transport(log), path_(std::move(path)) {}

UsbTransport::~UsbTransport() { Shutdown(); }

bool UsbTransport::Start(QString* error) { return Listen(error); }

bool UsbTransport::Listen(QString* error) {
  const QByteArray p = QFile::encodeName(path_);
  sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  if (static_cast<size_t>(p.size()) >= sizeof addr.sun_path) {
    *error = QStringLiteral("socket path too long (%1 bytes, at most %2)")
                 .arg(p.size())
                 .arg(sizeof addr.sun_path - 1);
    return false;
  }
  memcpy(addr.sun_path, p.constData(), static_cast<size_t>(p.size()));
  struct stat st {};
  if (lstat(p.constData(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *error = QStringLiteral("%1 exists and is not a socket").arg(path_);
      return false;
    }
    unlink(p.constData());  // stale socket of an earlier run
  }
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 8) != 0) {
    *error = QStringLiteral("listen on %1: %2").arg(path_, Errno());
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  acceptNotifier_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
  connect(acceptNotifier_.get(), &QSocketNotifier::activated, this, [this] { OnAcceptable(); });
  return true;
}

void UsbTransport::StopListening() {
  if (acceptNotifier_) {
    acceptNotifier_->setEnabled(false);
    acceptNotifier_.release()->deleteLater();
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
    unlink(QFile::encodeName(path_).constData());
  }
}

void UsbTransport::AddReadyFields(QJsonObject* ready) const {
  ready->insert("path", QFileInfo(path_).absoluteFilePath());
}

QString UsbTransport::PipeName(Pipe p) {
  switch (p) {
    case Pipe::In: return QStringLiteral("PIPE02");
    case Pipe::Out: return QStringLiteral("PIPE03");
    default: return QString();
  }
}

const UsbTransport::Connection* UsbTransport::Find(Pipe pipe) const {
  // The newest connection of a pipe is the one in use.
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it)
    if (it->second.pipe == pipe) return &it->second;
  return nullptr;
}

UsbTransport::Connection* UsbTransport::Find(Pipe pipe) {
  return const_cast<Connection*>(std::as_const(*this).Find(pipe));
}

int UsbTransport::PacketSize() const { return kInPacket; }

// IN packets not yet handed to the socket (the socket's own buffer holds a
// few more, which the tool takes as it reads).
qint64 UsbTransport::Backlog() const {
  const Connection* in = Find(Pipe::In);
  qint64 n = 0;
  if (in)
    for (const QByteArray& p : in->packets) n += p.size();
  return n;
}

bool UsbTransport::InputWaiting() const {
  const Connection* out = Find(Pipe::Out);
  if (!out) return false;
  pollfd p {out->fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void UsbTransport::OnAcceptable() {
  for (;;) {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    Connection& c = connections_[nextId_];
    c.id = nextId_++;
    c.fd = fd;
    const int id = c.id;
    c.readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(c.readable.get(), &QSocketNotifier::activated, this, [this, id] { OnReadable(id); });
    c.writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    c.writable->setEnabled(false);
    connect(c.writable.get(), &QSocketNotifier::activated, this, [this, id] {
      auto it = connections_.find(id);
      if (it != connections_.end()) FlushIn(it->second);
    });
  }
}

void UsbTransport::OnReadable(int id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  if (c.pipe == Pipe::Out && ReadBudget(0) <= 0) {
    c.readable->setEnabled(false);
    return;
  }
  QByteArray buf(kMaxMessage, Qt::Uninitialized);
  const ssize_t n = recv(c.fd, buf.data(), kMaxMessage, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n == 0 && !HungUp(c.fd)) return;  // an empty packet, not the end
  if (n <= 0) {
    Drop(id, n == 0 ? "closed" : "error");
    return;
  }
  buf.truncate(n);
  switch (c.pipe) {
    case Pipe::Unknown: {
      QByteArray name = buf;
      while (name.endsWith('\0')) name.chop(1);
      const Pipe pipe = name == "PIPE02" ? Pipe::In : name == "PIPE03" ? Pipe::Out : Pipe::Unknown;
      if (pipe == Pipe::Unknown) {
        log_->Emit("unexpected", {{"connection", id}, {"reason", "not a pipe name"}, {"bytes", Hex(buf)}});
        Drop(id, "bad pipe name");
        return;
      }
      // Newest wins: an older connection of the same pipe goes, after the
      // OUT packets it still holds have been taken in order.
      for (auto& [otherId, other] : connections_) {
        if (otherId == id || other.pipe != pipe) continue;
        const int oldId = otherId;
        if (pipe == Pipe::Out) Drain(oldId);
        Drop(oldId, "replaced");
        break;
      }
      auto self = connections_.find(id);
      if (self == connections_.end()) return;
      self->second.pipe = pipe;
      if (pipe == Pipe::Out) self->second.readable->setEnabled(readEnabled_);
      log_->Emit("client-connected", {{"connection", id}, {"pipe", PipeName(pipe)}});
      return;
    }
    case Pipe::Out:
      Deliver(buf, 0);
      return;
    case Pipe::In:
      log_->Emit("unexpected", {{"connection", id}, {"pipe", "PIPE02"}, {"bytes", Hex(buf)},
                                {"reason", "data on the IN pipe"}});
      return;
  }
}

void UsbTransport::Drain(int id) {
  QByteArray buf(kMaxMessage, Qt::Uninitialized);
  while (ReadBudget(0) > 0) {
    // Delivering can unplug the device, so look the connection up each time.
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    const ssize_t n = recv(it->second.fd, buf.data(), kMaxMessage, MSG_DONTWAIT);
    if (n <= 0) return;
    Deliver(buf.left(n), 0);
  }
}

void UsbTransport::ReleaseNotifiers(Connection& c) {
  // A connection may go from inside its own notifier's signal.
  for (auto* n : {&c.readable, &c.writable}) {
    if (!*n) continue;
    (*n)->setEnabled(false);
    n->release()->deleteLater();
  }
}

void UsbTransport::Drop(int id, const char* reason) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  ReleaseNotifiers(c);
  close(c.fd);
  const Pipe pipe = c.pipe;
  connections_.erase(it);
  // A connection that never named a pipe is the tool's presence check.
  if (pipe == Pipe::Unknown && QLatin1String(reason) == QLatin1String("closed")) return;
  QJsonObject fields {{"connection", id}, {"reason", reason}};
  if (pipe != Pipe::Unknown) fields.insert("pipe", PipeName(pipe));
  log_->Emit("client-disconnected", fields);
}

void UsbTransport::SetReadEnabled(bool on) {
  readEnabled_ = on;
  for (auto& [id, c] : connections_)
    if (c.pipe == Pipe::Out && c.readable) c.readable->setEnabled(on);
}

void UsbTransport::Send(const QByteArray& answer) {
  Connection* in = Find(Pipe::In);
  if (!in) {
    log_->Emit("answer-dropped", {{"bytes", Hex(answer)}, {"reason", "no PIPE02 connection"}});
    return;
  }
  for (qsizetype pos = 0; pos < answer.size(); pos += kInPacket)
    in->packets.push_back(answer.mid(pos, kInPacket));
  FlushIn(*in);
}

void UsbTransport::FlushIn(Connection& c) {
  while (!c.packets.empty()) {
    const QByteArray& p = c.packets.front();
    const ssize_t n = send(c.fd, p.constData(), static_cast<size_t>(p.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      c.packets.pop_front();
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      c.writable->setEnabled(true);
      return;
    }
    Drop(c.id, "send failed");
    return;
  }
  c.writable->setEnabled(false);
}

bool UsbTransport::Unplug(int ms) {
  std::vector<int> ids;
  for (auto& [id, c] : connections_) ids.push_back(id);
  for (int id : ids) Drop(id, "unplugged");
  StopListening();
  log_->Emit("unplugged", {{"forMs", ms}});
  QTimer::singleShot(ms, this, [this] {
    QString error;
    if (Listen(&error)) log_->Emit("replugged", {{"path", QFileInfo(path_).absoluteFilePath()}});
    else log_->Emit("error", {{"message", error}});
  });
  return true;
}

void UsbTransport::Shutdown() {
  std::vector<int> ids;
  for (auto& [id, c] : connections_) ids.push_back(id);
  for (auto& id : ids) {
    auto it = connections_.find(id);
    ReleaseNotifiers(it->second);
    close(it->second.fd);
    connections_.erase(it);
  }
  StopListening();
}

}  // namespace hostsim
