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
// result 1); 2 send a message (result: what the message handler returned).
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

// The running instance's end, on the user-interface thread. Requests are
// read without blocking, at most one record per connection at a time; a
// connection whose next request is not complete within the idle limit is
// closed, as is one that breaks the framing or does not read its replies, so
// no peer can stall the thread. At most kMaxConnections are served at once
// (more are closed on arrival), and only peers of this user (or root). Raise requests are answered at once, also while a
// message handler runs. Message requests are handled one at a time in the
// order they arrived: one that arrives while the handler runs (the handler
// may run a nested event loop, e.g. a modal question) waits until it
// returns. Do not destroy the server from inside one of its handlers.
class HandOffServer : public QObject {
 public:
  using RaiseHandler = std::function<void()>;
  using MessageHandler = std::function<int(uint32_t message, uint32_t wparam, uint32_t lparam)>;

  static constexpr int kDefaultIdleLimitMs = 5000;
  static constexpr size_t kMaxConnections = 16;

  explicit HandOffServer(QObject* parent = nullptr);
  ~HandOffServer() override;

  void SetRaiseHandler(RaiseHandler handler) { onRaise_ = std::move(handler); }
  void SetMessageHandler(MessageHandler handler) { onMessage_ = std::move(handler); }
  // How long a connection may take to send a whole request.
  void SetIdleLimitMs(int ms) { idleLimitMs_ = ms; }

  // Binds the socket. Only the holder of the instance lock calls this, so a
  // socket already at the path is a leftover of an instance that ended: it
  // is removed. Anything else at the path is left alone and refused.
  bool Listen(std::string* error);
  const std::string& SocketPath() const { return path_; }
  size_t ConnectionCount() const { return connections_.size(); }

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
  int listenFd_ = -1;
  QSocketNotifier* listenNotifier_ = nullptr;
  std::string path_;
  uint64_t socketDev_ = 0, socketIno_ = 0;
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::deque<std::pair<uint64_t, Request>> queue_;
  bool draining_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The second start's end: asks the running instance to restore and raise its
// window, writes the hand-off block (kept while waiting) and sends
// kHandOffMessage (kHandOffWParam, kHandOffLParam), then waits until the
// running instance has handled it, however long that takes, or until its
// connection ends. Returns the handler's result with *error cleared, or 0
// with *error set:
//  - a name of 520 bytes or more: refused, nothing written, nothing sent;
//  - no running instance: the block is still written, nothing is sent;
//  - the block cannot be written: nothing is sent after the raise;
//  - the running instance ends or refuses the request before answering.
// `blockName` is the shared-memory object; other names serve tests only.
int SendToRunningInstance(const std::string& fileName, int32_t number, std::string* error,
                          const std::string& blockName = platform::HandOffBlockName());

}  // namespace lumaset
