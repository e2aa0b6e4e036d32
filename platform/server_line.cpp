// The line to a serial device server: a TCP connection, raw (socket://) or
// telnet with the COM-PORT-OPTION of RFC 2217 (rfc2217://). The telnet layer
// (option negotiation, 0xFF escaping, sub-negotiation framing) is libtelnet's;
// the COM-PORT-OPTION commands on top of it are here.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>  // libtelnet.h uses size_t without including it

#include <libtelnet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/event.h"
#include "platform/host_lookup.h"
#include "platform/serial_line.h"

namespace lumaset::platform {
namespace {

// How long the server has to confirm line settings and purges.
constexpr int kConfirmMs = 1000;
// How long a modem-line or flow-control request waits for its answer. Some
// servers never answer them: after one goes unanswered, the connection does
// not wait for them again.
constexpr int kControlAnswerMs = 300;
// A raw port that is busy is closed by the server at once (after a line of
// text): a connection that ends this soon after it was made was turned away.
constexpr int kRawBusyWindowMs = 150;
// Keep-alive probes find a connection whose network has gone: idle seconds,
// seconds between probes, probes; unacknowledged output fails after the
// time-out.
constexpr int kKeepIdleS = 5, kKeepIntervalS = 2, kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 10000;

constexpr unsigned char kComPortOption = 44;
// COM-PORT-OPTION commands, client to server; the server answers with the
// same command + 100.
enum : unsigned char {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kNotifyModemState = 7,
  kPurgeData = 12,
  kServerOffset = 100,
};
// SET-CONTROL values.
enum : unsigned char {
  kControlNoFlow = 1,
  kControlHardwareFlow = 3,
  kControlDtrOn = 8,
  kControlDtrOff = 9,
  kControlRtsOn = 11,
  kControlRtsOff = 12,
};
// PURGE-DATA values: the server's buffer of what its port received (towards
// this side) and of what it is to send on its port.
enum : unsigned char { kPurgeReceived = 1, kPurgeToSend = 2 };
// NOTIFY-MODEMSTATE bits.
enum : unsigned char { kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemCd = 0x80 };

const telnet_telopt_t kTelnetOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {kComPortOption, TELNET_WILL, TELNET_DO},
    {-1, 0, 0},
};

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(text);
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// Stop-bit and parity codes of the COM-PORT-OPTION. One and a half stop bits
// become two, as on a local port.
unsigned char StopSizeCode(uint8_t stopBits) { return stopBits == 0 ? 1 : 2; }
unsigned char ParityCode(uint8_t parity) { return static_cast<unsigned char>(parity + 1); }

int SocketError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

// A connection that has ended: the reason a device reports for it.
int EndReason(int error) { return error == 0 || error == EPIPE ? ECONNRESET : error; }

class ServerLine : public SerialLine {
 public:
  ServerLine(int fd, bool telnet) : fd_(fd) {
    if (!telnet) return;
    telnet_ = telnet_init(kTelnetOptions, &ServerLine::OnTelnet, 0, this);
    std::lock_guard<std::mutex> guard(lock_);
    // Binary both ways: 0xFF is escaped, and CR goes as it is (never CR NUL).
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_SGA);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_SGA);
    telnet_negotiate(telnet_, TELNET_WILL, kComPortOption);
    FlushLocked();
  }
  ~ServerLine() override {
    if (telnet_) telnet_free(telnet_);
    ::close(fd_);
  }

  int Fd() const override { return fd_; }

  int Apply(const LineSettings& line) override {
    if (!telnet_) return 0;  // socket://: the server's settings stand
    std::unique_lock<std::mutex> lock(lock_);
    if (int e = AwaitComPort(lock)) return e;
    struct Setting {
      unsigned char command;
      uint32_t value;
      int size;
    };
    std::vector<Setting> wanted = {{kSetBaudRate, line.rate, 4},
                                   {kSetDataSize, line.byteSize, 1},
                                   {kSetParity, ParityCode(line.parity), 1},
                                   {kSetStopSize, StopSizeCode(line.stopBits), 1}};
    // Only what changed on this connection is asked for again.
    wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                [&](const Setting& s) { return confirmed_[s.command] && value_[s.command] == s.value; }),
                 wanted.end());
    for (const Setting& s : wanted) {
      confirmed_[s.command] = false;
      answered_[s.command] = false;
      value_[s.command] = s.value;
      unsigned char payload[5] = {s.command};
      for (int i = 0; i < s.size; ++i) payload[1 + i] = static_cast<unsigned char>(s.value >> (8 * (s.size - 1 - i)));
      telnet_subnegotiation(telnet_, kComPortOption, reinterpret_cast<const char*>(payload),
                            static_cast<size_t>(1 + s.size));
    }
    FlushLocked();
    // Every setting confirmed before the next byte goes: the server answers
    // each with the value its port now has.
    const bool all = WaitLocked(lock, kConfirmMs, [&] {
      return std::all_of(wanted.begin(), wanted.end(), [&](const Setting& s) { return answered_[s.command]; });
    });
    // A connection that ends before the server has confirmed anything was
    // turned away: a busy port says so in a line of text and closes it.
    if (!all) return ended_ ? (settled_ ? ECONNRESET : EBUSY) : kSettingsNotConfirmed;
    for (const Setting& s : wanted) {
      if (answer_[s.command] != s.value) return kSettingsNotConfirmed;
      confirmed_[s.command] = true;
    }
    settled_ = true;
    // Flow control and the modem lines, where they change; their answers
    // are awaited only for a while.
    const unsigned char flow = line.ctsFlow || line.rtsControl == 2 ? kControlHardwareFlow : kControlNoFlow;
    Controls controls;
    if (flow != flow_) controls.Add(flow);
    const int dtr = line.dtrControl != 0, rts = line.rtsControl != 0;
    if (dtr != dtr_) controls.Add(dtr ? kControlDtrOn : kControlDtrOff);
    if (line.rtsControl != 2 && rts != rts_) controls.Add(rts ? kControlRtsOn : kControlRtsOff);
    SetControlsLocked(lock, controls);
    flow_ = flow;
    dtr_ = dtr;
    if (line.rtsControl != 2) rts_ = rts;
    return 0;
  }

  void DropDtrRts() override {
    if (!telnet_) return;
    std::unique_lock<std::mutex> lock(lock_);
    if (comPort_ != ComPort::kAgreed) return;
    Controls controls;
    if (dtr_ != 0) controls.Add(kControlDtrOff);
    if (rts_ != 0) controls.Add(kControlRtsOff);
    SetControlsLocked(lock, controls);
    dtr_ = rts_ = 0;
  }

  bool ModemLines(int* lines) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (modemState_ < 0) return false;
    *lines = ((modemState_ & kModemCts) ? TIOCM_CTS : 0) | ((modemState_ & kModemDsr) ? TIOCM_DSR : 0) |
             ((modemState_ & kModemRi) ? TIOCM_RI : 0) | ((modemState_ & kModemCd) ? TIOCM_CD : 0);
    return true;
  }
  bool PollsModemLines() const override { return false; }

  LineRead Read(uint8_t* out, size_t max, short) override {
    LineRead result;
    uint8_t raw[4096];
    const ssize_t k = ::recv(fd_, raw, std::min(max, sizeof raw), MSG_DONTWAIT);
    if (k < 0 && (errno == EAGAIN || errno == EINTR)) return result;
    if (k <= 0) {
      result.gone = EndReason(k < 0 ? errno : 0);
      std::lock_guard<std::mutex> guard(lock_);
      ended_ = true;
      changed_.notify_all();
      return result;
    }
    if (!telnet_) {
      std::memcpy(out, raw, static_cast<size_t>(k));
      result.bytes = static_cast<size_t>(k);
      return result;
    }
    std::lock_guard<std::mutex> guard(lock_);
    // The decoded data is never longer than what came.
    decoded_ = out;
    decodedBytes_ = 0;
    telnet_recv(telnet_, reinterpret_cast<const char*>(raw), static_cast<size_t>(k));
    decoded_ = nullptr;
    FlushLocked();
    result.bytes = decodedBytes_;
    if (protocolError_) result.gone = EPROTO;
    return result;
  }

  ssize_t Write(const uint8_t* data, size_t n) override {
    if (!telnet_) return n ? ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT) : 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (int e = FlushLocked()) {
      errno = e;
      return -1;
    }
    if (!unsent_.empty()) {
      errno = EAGAIN;
      return -1;
    }
    if (n == 0) return 0;
    telnet_send(telnet_, reinterpret_cast<const char*>(data), n);
    if (int e = FlushLocked()) {
      errno = e;
      return -1;
    }
    return static_cast<ssize_t>(n);
  }

  size_t Unsent() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return unsent_.size();
  }

  size_t OutputQueued() const override {
    int queued = 0;
    const size_t inSocket = ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<size_t>(queued) : 0;
    return inSocket + Unsent();
  }

  int GoneReason(int error) const override {
    if (error == EAGAIN || error == EINTR) return 0;
    return EndReason(error ? error : SocketError(fd_));
  }

  void PurgeInput() override {
    if (!telnet_) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (comPort_ != ComPort::kAgreed) return;
    SendCommandLocked(kPurgeData, kPurgeReceived);
    // What the server sends before its answer was on its way before the
    // purge: it goes too.
    if (purgeAnswered_) {
      ++purgesPending_;
      purgeUntilMs_ = NowMs() + kConfirmMs;
    }
  }

  void PurgeOutput() override {
    if (!telnet_) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (comPort_ == ComPort::kAgreed) SendCommandLocked(kPurgeData, kPurgeToSend);
  }

  void Close() override {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    changed_.notify_all();
    // The server is free for the next client at once.
    ::shutdown(fd_, SHUT_RDWR);
  }

 private:
  enum class ComPort { kAsked, kAgreed, kRefused };
  // The SET-CONTROL values of one request (flow control, DTR, RTS).
  struct Controls {
    unsigned char values[3] = {};
    int count = 0;
    void Add(unsigned char value) { values[count++] = value; }
  };

  static void OnTelnet(telnet_t*, telnet_event_t* event, void* self) {
    static_cast<ServerLine*>(self)->OnTelnetEvent(*event);
  }

  // Called by libtelnet with lock_ held.
  void OnTelnetEvent(const telnet_event_t& event) {
    switch (event.type) {
      case TELNET_EV_SEND:
        unsent_.insert(unsent_.end(), event.data.buffer, event.data.buffer + event.data.size);
        break;
      case TELNET_EV_DATA:
        if (purgesPending_ > 0 && NowMs() >= purgeUntilMs_) {
          // The server does not answer purges: nothing more is thrown away.
          purgesPending_ = 0;
          purgeAnswered_ = false;
        }
        if (purgesPending_ > 0 || !decoded_) break;
        std::memcpy(decoded_ + decodedBytes_, event.data.buffer, event.data.size);
        decodedBytes_ += event.data.size;
        break;
      case TELNET_EV_DO:
        if (event.neg.telopt == kComPortOption) SetComPort(ComPort::kAgreed);
        break;
      case TELNET_EV_DONT:
        if (event.neg.telopt == kComPortOption) SetComPort(ComPort::kRefused);
        break;
      case TELNET_EV_SUBNEGOTIATION:
        if (event.sub.telopt == kComPortOption) OnComPortAnswer(event.sub.buffer, event.sub.size);
        break;
      case TELNET_EV_ERROR:
        protocolError_ = true;
        break;
      default: break;
    }
  }

  void SetComPort(ComPort state) {
    comPort_ = state;
    changed_.notify_all();
  }

  void OnComPortAnswer(const char* buffer, size_t size) {
    if (size < 2) return;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    const unsigned char code = p[0];
    if (code <= kServerOffset) return;
    const unsigned char command = static_cast<unsigned char>(code - kServerOffset);
    uint32_t value = 0;
    for (size_t i = 1; i < size && i <= 4; ++i) value = value << 8 | p[i];
    switch (command) {
      case kSetBaudRate:
      case kSetDataSize:
      case kSetParity:
      case kSetStopSize:
        answer_[command] = value;
        answered_[command] = true;
        break;
      case kSetControl:
        ++controlAnswers_;
        break;
      case kNotifyModemState:
        modemState_ = p[1];
        break;
      case kPurgeData:
        if (purgesPending_ > 0) --purgesPending_;
        break;
      default: return;
    }
    changed_.notify_all();
  }

  // Waits for the server's agreement to the COM-PORT-OPTION; 0 or why not.
  int AwaitComPort(std::unique_lock<std::mutex>& lock) {
    WaitLocked(lock, kConfirmMs, [&] { return comPort_ != ComPort::kAsked; });
    if (comPort_ == ComPort::kAgreed) return 0;
    if (comPort_ == ComPort::kRefused) return EPROTONOSUPPORT;
    // No agreement: the server turned the connection away (a busy port says
    // so and closes it), or it is not answering this client at all.
    return closed_ ? ECONNRESET : EBUSY;
  }

  void SendCommandLocked(unsigned char command, unsigned char value) {
    const unsigned char payload[2] = {command, value};
    telnet_subnegotiation(telnet_, kComPortOption, reinterpret_cast<const char*>(payload), sizeof payload);
    FlushLocked();
  }

  // SET-CONTROL requests made for this side's own sake: sent, and their
  // answers awaited for a while only.
  void SetControlsLocked(std::unique_lock<std::mutex>& lock, const Controls& controls) {
    if (controls.count == 0) return;
    const int before = controlAnswers_;
    for (int i = 0; i < controls.count; ++i) {
      const unsigned char payload[2] = {kSetControl, controls.values[i]};
      telnet_subnegotiation(telnet_, kComPortOption, reinterpret_cast<const char*>(payload), sizeof payload);
    }
    FlushLocked();
    if (!controlsAnswered_) return;
    const int wanted = before + controls.count;
    if (!WaitLocked(lock, kControlAnswerMs, [&] { return controlAnswers_ >= wanted; })) controlsAnswered_ = false;
  }

  // Waits on changed_ until `done`, the time-out, the end of the connection
  // or a close; the value of `done` then.
  template <typename Done>
  bool WaitLocked(std::unique_lock<std::mutex>& lock, int timeoutMs, Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && !ended_ && !closed_)
      if (changed_.wait_until(lock, until) == std::cv_status::timeout) break;
    return done();
  }

  // Hands what is held back to the socket, as far as it takes it; 0, or the
  // error that ends the connection.
  int FlushLocked() {
    while (!unsent_.empty()) {
      const ssize_t k = ::send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        unsent_.erase(unsent_.begin(), unsent_.begin() + k);
        continue;
      }
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      return k < 0 ? errno : ECONNRESET;
    }
    return 0;
  }

  const int fd_;
  telnet_t* telnet_ = nullptr;
  mutable std::mutex lock_;  // guards everything below and every telnet_* call
  std::condition_variable changed_;
  std::vector<uint8_t> unsent_;  // escaped bytes the socket has not taken yet
  uint8_t* decoded_ = nullptr;   // where Read puts the data of the bytes it decodes
  size_t decodedBytes_ = 0;
  ComPort comPort_ = ComPort::kAsked;
  // Per SET-* command: the value asked for, whether the server's answer to it
  // has come and what it said, and whether the port has that value now.
  uint32_t value_[kSetStopSize + 1] = {};
  uint32_t answer_[kSetStopSize + 1] = {};
  bool answered_[kSetStopSize + 1] = {};
  bool confirmed_[kSetStopSize + 1] = {};
  int flow_ = -1, dtr_ = -1, rts_ = -1;  // -1: not known yet
  int controlAnswers_ = 0;
  bool controlsAnswered_ = true;
  int modemState_ = -1;  // the last NOTIFY-MODEMSTATE, -1 until one came
  int purgesPending_ = 0;
  int64_t purgeUntilMs_ = 0;
  bool purgeAnswered_ = true;
  bool protocolError_ = false;
  bool settled_ = false;  // the server has confirmed settings on this connection
  bool ended_ = false;
  bool closed_ = false;
};

// Connects fd to address within timeoutMs; 0 or an errno value.
int Connect(int fd, const sockaddr_in& address, int timeoutMs) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  std::vector<pollfd> fds{{fd, POLLOUT, 0}};
  const int rc = PollFor(fds, timeoutMs);
  if (rc < 0) return errno;
  if (rc == 0) return ETIMEDOUT;
  return SocketError(fd);
}

// True when a raw connection is closed by the server right after it was made.
bool TurnedAway(int fd) {
  std::vector<pollfd> fds{{fd, POLLRDHUP, 0}};
  return PollFor(fds, kRawBusyWindowMs) > 0 && (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

bool ParseDeviceUrl(const std::string& text, DeviceUrl* url) {
  DeviceUrl parsed;
  std::string rest;
  for (const auto& [scheme, kind] : {std::pair{"rfc2217://", DeviceUrl::Kind::kRfc2217},
                                     std::pair{"socket://", DeviceUrl::Kind::kSocket}}) {
    const size_t length = std::strlen(scheme);
    if (text.size() > length && strncasecmp(text.c_str(), scheme, length) == 0) {
      parsed.kind = kind;
      rest = text.substr(length);
    }
  }
  if (rest.empty()) return false;
  // Options after the address (pyserial's "?logging=..."), and a closing
  // slash, are left aside.
  rest = rest.substr(0, rest.find_first_of("?/"));
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || !ParsePort(rest.substr(colon + 1), &parsed.port)) return false;
  parsed.host = rest.substr(0, colon);
  if (url) *url = parsed;
  return true;
}

bool IsDeviceUrl(const std::string& text) { return ParseDeviceUrl(text, nullptr); }

bool IsFixedRateUrl(const std::string& text) {
  DeviceUrl url;
  return ParseDeviceUrl(text, &url) && url.kind == DeviceUrl::Kind::kSocket;
}

std::unique_ptr<SerialLine> OpenServerLine(const DeviceUrl& url, int timeoutMs, int* error) {
  const Deadline deadline(timeoutMs);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(url.port);
  if (!LookUpHost(url.host, &address.sin_addr, timeoutMs)) {
    *error = EHOSTUNREACH;
    return nullptr;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  const int one = 1;
  // Small writes (a command goes a byte at a time) leave at once.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
  int e = Connect(fd, address, deadline.Remaining());
  // A server that refuses the connection has the port in use or closed to
  // this client.
  if (e == ECONNREFUSED) e = EBUSY;
  if (e == 0 && url.kind == DeviceUrl::Kind::kSocket && TurnedAway(fd)) e = EBUSY;
  if (e != 0) {
    ::close(fd);
    *error = e;
    return nullptr;
  }
  *error = 0;
  return std::make_unique<ServerLine>(fd, url.kind == DeviceUrl::Kind::kRfc2217);
}

}  // namespace lumaset::platform
