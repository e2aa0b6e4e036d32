#include "ui/handoff.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/single_instance.h"

namespace lumaset {

namespace {

using namespace handoff;

void SetText(std::string* out, const std::string& text) {
  if (out) *out = text;
}

constexpr int kConnectRetrySliceMs = 25;

bool FillAddress(const std::string& path, sockaddr_un* address, std::string* error) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    SetText(error, "the socket path " + path + " is too long");
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Client side: the whole buffer, or false with *error set.
bool SendAll(int fd, const unsigned char* bytes, size_t size, std::string* error) {
  while (size > 0) {
    const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetText(error, std::string("the running instance does not take the request: ") + std::strerror(errno));
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Client side: waits without a time limit for exactly `size` bytes; ends when
// they are there or when the running instance's end of the connection closes.
bool ReceiveAll(int fd, unsigned char* bytes, size_t size, std::string* error) {
  while (size > 0) {
    const ssize_t n = recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      SetText(error, "the running instance closed the connection before answering");
      return false;
    }
    if (n < 0) {
      SetText(error, std::string("no answer from the running instance: ") + std::strerror(errno));
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One request (and a type 3 request's token) and its reply.
bool Exchange(int fd, const Request& r, int* result, std::string* error) {
  const uint16_t type = r.type;
  unsigned char request[kRequestSize];
  EncodeRequest(r, request);
  if (!SendAll(fd, request, sizeof request, error)) return false;
  if (type == kRaiseWithToken &&
      !SendAll(fd, reinterpret_cast<const unsigned char*>(r.token.data()), r.token.size(), error))
    return false;
  unsigned char reply[kReplySize];
  if (!ReceiveAll(fd, reply, sizeof reply, error)) return false;
  int32_t answer = 0;
  if (!DecodeReply(reply, type, &answer)) {
    SetText(error, "the running instance gave an answer this program does not understand");
    return false;
  }
  *result = answer;
  return true;
}

// One connect to `address`: 0, or the errno value.
int ConnectOnce(int fd, const sockaddr_un& address) {
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (rc == 0) return 0;
  if (errno != EINTR) return errno;
  // The connection goes on; wait for its outcome.
  pollfd p{fd, POLLOUT, 0};
  while ((rc = poll(&p, 1, -1)) < 0 && errno == EINTR) {
  }
  int soError = 0;
  socklen_t len = sizeof soError;
  if (rc > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0) return soError;
  return errno ? errno : ECONNREFUSED;
}

// The connected socket, or -1 with *error saying why there is no window.
int ConnectToRunningInstance(std::string* error) {
  std::string why;
  const std::string path = HandOffSocketPath(&why);
  sockaddr_un address;
  if (path.empty() || !FillAddress(path, &address, &why)) {
    SetText(error, "no running window (" + why + ")");
    return -1;
  }
  // A socket that is not there yet, or a leftover nobody listens on, may be
  // (re)bound by an instance that has just taken the lock: try again for a
  // while.
  const platform::Deadline deadline(kConnectRetryMs);
  for (;;) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      SetText(error, std::string("no running window (no socket: ") + std::strerror(errno) + ")");
      return -1;
    }
    const int e = ConnectOnce(fd, address);
    if (e == 0) return fd;
    close(fd);
    if ((e != ENOENT && e != ECONNREFUSED) || deadline.Passed()) {
      SetText(error, "no running window (" + path + ": " + std::strerror(e) + ")");
      return -1;
    }
    platform::SleepMs(std::min(kConnectRetrySliceMs, deadline.Remaining()));
  }
}

}  // namespace

std::string HandOffSocketPath(std::string* error) {
  const std::string folder = platform::RuntimeFolder(error);
  return folder.empty() ? std::string() : folder + "/" + kWindowClassName;
}

// ---------------------------------------------------------------------------
// Server.

struct HandOffServer::Connection {
  int fd = -1;
  QSocketNotifier* notifier = nullptr;
  QTimer* deadline = nullptr;  // the whole request must arrive before it fires
  RequestReader reader;
};

HandOffSocket& HandOffSocket::operator=(HandOffSocket&& other) noexcept {
  if (this != &other) {
    Close();
    std::swap(fd_, other.fd_);
    std::swap(path_, other.path_);
    std::swap(dev_, other.dev_);
    std::swap(ino_, other.ino_);
  }
  return *this;
}

bool HandOffSocket::Bind(std::string* error) {
  if (fd_ >= 0) return true;
  std::string why;
  const std::string path = HandOffSocketPath(&why);
  sockaddr_un address;
  if (path.empty() || !FillAddress(path, &address, &why)) {
    SetText(error, why);
    return false;
  }
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      SetText(error, path + " exists and is not a socket; it is left alone");
      return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      SetText(error, "cannot remove the old socket " + path + ": " + std::strerror(errno));
      return false;
    }
  } else if (errno != ENOENT) {
    SetText(error, path + ": " + std::strerror(errno));
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetText(error, std::string("cannot make a socket: ") + std::strerror(errno));
    return false;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetText(error, "cannot bind " + path + ": " + std::strerror(errno));
    close(fd);
    return false;
  }
  // The folder is private already; the socket's own mode says the same.
  if (chmod(path.c_str(), 0600) != 0 || listen(fd, 16) != 0 || stat(path.c_str(), &st) != 0) {
    SetText(error, "cannot listen on " + path + ": " + std::strerror(errno));
    close(fd);
    unlink(path.c_str());
    return false;
  }
  fd_ = fd;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

void HandOffSocket::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  // Remove the socket only while it is still the one bound here.
  struct stat st{};
  if (lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && static_cast<uint64_t>(st.st_dev) == dev_ &&
      static_cast<uint64_t>(st.st_ino) == ino_)
    unlink(path_.c_str());
}

HandOffServer::HandOffServer(QObject* parent) : QObject(parent) {}

HandOffServer::~HandOffServer() {
  *alive_ = false;
  for (auto& entry : connections_) {
    entry.second->notifier->setEnabled(false);
    close(entry.second->fd);
  }
  connections_.clear();
  queue_.clear();
  StopListening();
}

bool HandOffServer::Listen(std::string* error) {
  if (socket_.Bound()) return true;
  HandOffSocket socket;
  if (!socket.Bind(error)) return false;
  Listen(std::move(socket));
  return true;
}

void HandOffServer::Listen(HandOffSocket socket) {
  if (socket_.Bound() || !socket.Bound()) return;
  socket_ = std::move(socket);
  listenNotifier_ = new QSocketNotifier(socket_.Fd(), QSocketNotifier::Read, this);
  connect(listenNotifier_, &QSocketNotifier::activated, this, [this] { Accept(); });
}

void HandOffServer::StopListening() {
  if (!socket_.Bound()) return;
  listenNotifier_->setEnabled(false);
  listenNotifier_->deleteLater();
  listenNotifier_ = nullptr;
  socket_.Close();
}

void HandOffServer::HoldMessages(bool hold) {
  held_ = hold;
  if (!hold && !queue_.empty()) QTimer::singleShot(0, this, [this] { Drain(); });
}

void HandOffServer::StopServing() {
  StopListening();
  queue_.clear();
  std::vector<uint64_t> ids;
  for (const auto& entry : connections_) ids.push_back(entry.first);
  for (uint64_t id : ids) Close(id);
}

void HandOffServer::Accept() {
  // A bounded number per notification, so a flood cannot hold the thread.
  for (int i = 0; i < 64; ++i) {
    const int fd = accept4(socket_.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The pending connection cannot be taken now and would wake the loop
        // at once again; look again in a while.
        listenNotifier_->setEnabled(false);
        QTimer::singleShot(500, this, [this] {
          if (listenNotifier_) listenNotifier_->setEnabled(true);
        });
      }
      return;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    const bool sameUser = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
                          (peer.uid == geteuid() || peer.uid == 0);
    if (!sameUser || connections_.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    const uint64_t id = nextId_++;
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(c->notifier, &QSocketNotifier::activated, this, [this, id] { Read(id); });
    c->deadline = new QTimer(this);
    c->deadline->setSingleShot(true);
    connect(c->deadline, &QTimer::timeout, this, [this, id] { Close(id); });
    c->deadline->start(idleLimitMs_);
    connections_.emplace(id, std::move(c));
  }
}

void HandOffServer::Read(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  // Never more than the rest of one request: what follows stays in the
  // socket until this request has been answered.
  ssize_t n;
  do {
    n = recv(c.fd, c.reader.Space(), c.reader.Room(), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    Close(id);
    return;
  }
  Request request;
  const RequestReader::Result got = c.reader.Took(static_cast<size_t>(n), &request);
  if (got == RequestReader::Result::kIncomplete) return;
  if (got == RequestReader::Result::kBroken) {
    Close(id);
    return;
  }
  // The client now waits for the answer, however long the handler takes.
  c.notifier->setEnabled(false);
  c.deadline->stop();
  if (request.type == kRaise || request.type == kRaiseWithToken) {
    Handle(id, request);
  } else {
    queue_.emplace_back(id, request);
    Drain();
  }
}

void HandOffServer::Drain() {
  // A request that arrives while a handler runs its own event loop lands in
  // the queue; the loop below, further up the stack, takes it after.
  if (draining_ || held_) return;
  draining_ = true;
  auto alive = alive_;
  while (!queue_.empty() && !held_) {
    const auto [id, request] = queue_.front();
    queue_.pop_front();
    if (connections_.count(id) == 0) continue;
    Handle(id, request);
    if (!*alive) return;
  }
  draining_ = false;
}

void HandOffServer::Handle(uint64_t id, const Request& request) {
  auto alive = alive_;
  int32_t result = 1;
  // Copies: the handler may run an event loop in which they are replaced.
  if (request.type == kRaise || request.type == kRaiseWithToken) {
    if (RaiseHandler raise = onRaise_) raise(request.token);
  } else if (MessageHandler handler = onMessage_) {
    result = handler(request.message, request.wparam, request.lparam);
  } else {
    result = 0;
  }
  if (*alive) Reply(id, request.type, result);
}

void HandOffServer::Reply(uint64_t id, uint16_t type, int32_t result) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  unsigned char reply[kReplySize];
  EncodeReply(type, result, reply);
  ssize_t n;
  do {
    n = send(c.fd, reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  // A client that is gone, or that does not read its answers, is dropped.
  if (n != static_cast<ssize_t>(sizeof reply)) {
    Close(id);
    return;
  }
  c.notifier->setEnabled(true);
  c.deadline->start(idleLimitMs_);
}

void HandOffServer::Close(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  std::unique_ptr<Connection> c = std::move(it->second);
  connections_.erase(it);
  // This may run inside the notifier's or the timer's own signal.
  c->notifier->setEnabled(false);
  c->notifier->deleteLater();
  c->deadline->stop();
  c->deadline->deleteLater();
  close(c->fd);
}

// ---------------------------------------------------------------------------
// Client.

int SendToRunningInstance(const std::string& fileName, int32_t number, std::string* error,
                          const std::string& blockPath, const std::string& activationToken) {
  SetText(error, "");
  if (std::string problem = platform::HandOffNameProblem(fileName); !problem.empty()) {
    SetText(error, problem);
    return 0;
  }
  std::string noWindow;
  const int fd = ConnectToRunningInstance(&noWindow);
  int result = 0;
  std::string why;
  // With the token this start was given, the running window may take the
  // focus where the compositor asks for one; a token that cannot travel is
  // left out.
  Request raise{kRaise, 0, 0, 0, {}};
  if (handoff::UsableToken(activationToken))
    raise = Request{kRaiseWithToken, static_cast<uint32_t>(activationToken.size()), 0, 0, activationToken};
  if (fd >= 0 && !Exchange(fd, raise, &result, &why)) {
    close(fd);
    SetText(error, why);
    return 0;
  }
  // Written also when no instance answers; locked and kept until the answer
  // is in.
  platform::HandOffBlockWriter block(blockPath);
  if (!block.Write(fileName, number, &why)) {
    if (fd >= 0) close(fd);
    SetText(error, why);
    return 0;
  }
  if (fd < 0) {
    SetText(error, noWindow);
    return 0;
  }
  const bool answered = Exchange(fd, Request{kSendMessage, kHandOffMessage, kHandOffWParam, kHandOffLParam, {}}, &result, &why);
  close(fd);
  if (!answered) {
    SetText(error, why);
    return 0;
  }
  return result;
}

}  // namespace lumaset
