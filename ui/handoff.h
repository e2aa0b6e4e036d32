// The channel by which a second start finds the running instance, brings its
// window to the front and sends it the hand-off message, waiting for the
// answer as a synchronous window message waits.
//
// The running instance listens on the Unix-domain stream socket
// "<RuntimeFolder>/KRV_MY_TAVLORA_CLASS_KRV" (mode 0600 in the 0700 folder;
// RuntimeFolder is in platform/single_instance.h). A client sends one
// request at a time and reads its reply before sending the next.
//
// The records are those of ui/handoff_frame.h. Types: 1 restore and raise the window (the three fields are not looked at;
// result 1); 2 send a message (result: what the message handler returned);
// 3 restore and raise the window with the activation token that follows the
// record (result 1), which lets a Wayland compositor give it the focus.
// A record with another magic, version or type ends the connection without a
// reply, and so does a record that is not complete within the idle limit.
#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/handoff_block.h"
#include "ui/handoff_frame.h"

class QSocketNotifier;
class QTimer;

namespace lumaset {

// The main window's class name, by which a second start finds it.
constexpr const char* kWindowClassName = "KRV_MY_TAVLORA_CLASS_KRV";
// The hand-off message (WM_USER + 215) and the parameters the sender gives it.
constexpr uint32_t kHandOffMessage = 1239;
constexpr uint32_t kHandOffWParam = 0x9999;
constexpr uint32_t kHandOffLParam = 0x8888;

// "<RuntimeFolder>/KRV_MY_TAVLORA_CLASS_KRV", or "" with *error set.
std::string HandOffSocketPath(std::string* error);

// The hand-off socket, bound and listening. It needs nothing of Qt, so the
// first instance binds it right after taking the instance lock, before it
// creates any window-system object: a second start that finds the lock taken
// finds the socket too, and its connection waits in the backlog until the
// server takes it.
class HandOffSocket {
 public:
  HandOffSocket() = default;
  ~HandOffSocket() { Close(); }
  HandOffSocket(HandOffSocket&& other) noexcept { *this = std::move(other); }
  HandOffSocket& operator=(HandOffSocket&& other) noexcept;

  // Binds "<RuntimeFolder>/KRV_MY_TAVLORA_CLASS_KRV" (mode 0600) and listens.
  // Only the holder of the instance lock calls this, so a socket already at
  // the path is a leftover of an instance that ended: it is removed.
  // Anything else at the path is left alone and refused.
  bool Bind(std::string* error);
  bool Bound() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  // Stops listening and removes the socket while it is still the one bound
  // here.
  void Close();

 private:
  int fd_ = -1;
  std::string path_;
  uint64_t dev_ = 0, ino_ = 0;
};

// The running instance's end, on the user-interface thread. Requests are
// read without blocking, at most one record per connection at a time; a
// connection whose next request is not complete within the idle limit is
// closed, as is one that breaks the framing or does not read its replies, so
// no peer can stall the thread. At most kMaxConnections are served at once
// (more are closed on arrival), and only peers of this user (or root). Raise
// requests are answered at once, also while a message handler runs or
// messages are held. Message requests are handled one at a time in the order
// they arrived: one that arrives while the handler runs (the handler may run
// a nested event loop, e.g. a modal question) or while messages are held
// waits until it returns or they are released. Do not destroy the server from
// inside one of its handlers; StopServing() may be called from anywhere.
class HandOffServer : public QObject {
 public:
  // The activation token of a type 3 request, "" for type 1.
  using RaiseHandler = std::function<void(const std::string& activationToken)>;
  using MessageHandler = std::function<int(uint32_t message, uint32_t wparam, uint32_t lparam)>;

  static constexpr int kDefaultIdleLimitMs = 5000;
  static constexpr size_t kMaxConnections = 16;

  explicit HandOffServer(QObject* parent = nullptr);
  ~HandOffServer() override;

  void SetRaiseHandler(RaiseHandler handler) { onRaise_ = std::move(handler); }
  void SetMessageHandler(MessageHandler handler) { onMessage_ = std::move(handler); }
  // How long a connection may take to send a whole request.
  void SetIdleLimitMs(int ms) { idleLimitMs_ = ms; }

  // Binds the socket (HandOffSocket::Bind) and serves it.
  bool Listen(std::string* error);
  // Serves a socket bound before.
  void Listen(HandOffSocket socket);
  const std::string& SocketPath() const { return socket_.Path(); }
  size_t ConnectionCount() const { return connections_.size(); }

  // While held, message requests wait (their senders too) in the order they
  // arrived; released, they are handled from the event loop. The window
  // holds them until its frame and view exist.
  void HoldMessages(bool hold);
  // Ends the service for good: stops listening and closes every connection
  // without answering, also that of a message whose handler runs now, so
  // each waiting sender learns that its message was not taken.
  void StopServing();

 private:
  struct Connection;
  using Request = handoff::Request;

  void Accept();
  void Read(uint64_t id);
  void Handle(uint64_t id, const Request& request);
  void Drain();
  void Reply(uint64_t id, uint16_t type, int32_t result);
  void Close(uint64_t id);
  void StopListening();

  RaiseHandler onRaise_;
  MessageHandler onMessage_;
  int idleLimitMs_ = kDefaultIdleLimitMs;
  HandOffSocket socket_;
  QSocketNotifier* listenNotifier_ = nullptr;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::deque<std::pair<uint64_t, Request>> queue_;
  bool draining_ = false;
  bool held_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The second start's end, plain POSIX (no window-system object): asks the
// running instance to restore and raise its window, writes the hand-off
// block (locked and kept while waiting, so other senders wait their turn)
// and sends kHandOffMessage (kHandOffWParam, kHandOffLParam), then waits
// until the running instance has handled it, however long that takes, or
// until its connection ends. A socket that is missing or refuses is tried
// again for up to kConnectRetryMs (an instance that has just taken the lock
// binds it a moment later). Returns the handler's result with *error
// cleared, or 0 with *error set:
//  - a name of 520 bytes or more: refused, nothing written, nothing sent;
//  - no running instance: the block is still written, nothing is sent;
//  - the block cannot be written: nothing is sent after the raise;
//  - the running instance ends or refuses the request before answering.
// `blockPath` is the block's file; "" is platform::HandOffBlockPath().
// `activationToken` (the XDG_ACTIVATION_TOKEN this start was given) goes with
// the raise when there is one that can travel (handoff::UsableToken).
constexpr int kConnectRetryMs = 2000;
int SendToRunningInstance(const std::string& fileName, int32_t number, std::string* error,
                          const std::string& blockPath = {}, const std::string& activationToken = {});

}  // namespace lumaset
