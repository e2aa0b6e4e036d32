// The serial-network link: the serial link's object, working over a TCP
// connection to the host's network interface while the settings record's
// network flag is set, and as the serial link otherwise.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/serial_link.h"
#include "platform/ui_loop.h"

namespace lumaset {

class CNetworkLink;

// The pause before each block over TCP is the factor of the host's rate times
// this many milliseconds.
constexpr int kNetPauseUnitMs = 256;
constexpr int kNetSendBufferBytes = 32768;
// Bound of a connect (and of a host-name lookup) before it counts as failed.
constexpr int kDefaultConnectTimeoutMs = 10000;
// A send that makes no progress for this long fails.
constexpr int kSendStallMs = 10000;

// Index of the rate table whose rate is nearest to `rate`, counting only
// distances below 9600; the lowest index wins a tie, and 0 when none is near.
int NearestRateIndex(uint32_t rate);

// The link's TCP client socket. Non-blocking underneath; the calls below wait
// where the link needs them to. Its readiness watch runs on the
// user-interface thread and tells the owner of arriving bytes and of a
// connection that ended with an error. Closing it keeps the object.
class CLinkSocket {
 public:
  explicit CLinkSocket(CNetworkLink* owner) : owner_(owner) {}
  ~CLinkSocket();
  CLinkSocket(const CLinkSocket&) = delete;
  CLinkSocket& operator=(const CLinkSocket&) = delete;

  // A stream socket; 0 or an errno value.
  int Create();
  // SO_SNDBUF; 0 or an errno value.
  int SetSendBufferSize(int bytes);
  // Connects, running the user-interface loop meanwhile. Ends after
  // timeoutMs, or with ECANCELED as soon as `aborted` says so. 0 or an errno
  // value. On success the readiness watch starts.
  int Connect(const sockaddr_in& address, int timeoutMs, const std::function<bool()>& aborted);
  void Close();
  bool IsOpen() const { return fd_.load() >= 0; }

  // Bytes waiting to be received, or -1 when the query fails.
  int Pending() const;
  // Receives (or with peek, copies) up to n waiting bytes without waiting;
  // -1 on failure. Either way the data-arrived notice is armed again, so
  // bytes still waiting are announced once more.
  int Receive(void* buffer, int n, bool peek);
  // Sends all n bytes unless the connection fails, makes no progress for
  // kSendStallMs, or `cancel` is set. Returns the count sent.
  int Send(const void* buffer, int n, const Event* cancel);

 private:
  void OnReadable();
  void Rearm();

  CNetworkLink* const owner_;
  std::atomic<int> fd_{-1};
  std::mutex watchLock_;  // the watch is re-armed from the transfer thread too
  std::unique_ptr<platform::IFdWatch> watch_;
  bool peerClosed_ = false;  // the host ended the connection in an orderly way
};

class CNetworkLink : public CSerialLink {
 public:
  CNetworkLink();
  ~CNetworkLink() override;  // 19: the socket object goes first, then the serial part

  // Slots 0 to 18 that work over TCP while the network flag is set.
  int IsSearching() override;                                       // 0
  int Open(int withWatcher) override;                               // 1
  int ReadAvailable(void* buffer, int maxBytes) override;           // 3
  int InputQueueCount() override;                                   // 4
  int SendCommand(int index, int awaitReply) override;              // 5
  int Probe(int askToSearch) override;                              // 7
  int SendFileWithHandshake(const char* path) override;             // 8
  int SendRawFile(const char* path) override;                       // 9
  int StartBaudSearch(int resendAfter) override;                    // 10
  int Write(const void* buffer, int length) override;               // 16
  int SendProgramImage(int systemProgram, int answerYes) override;  // 17

  // 20: waits until `count` bytes are there (polling every 10 ms, at most
  // 50 x count times), then reads them. `cancelEvent` ends the wait, but
  // bytes that are all there already are still read. Serial: ReadExact.
  virtual int ReadCount(void* buffer, int count, const Event* cancelEvent);
  // 21: closes the connection (the socket object stays). Serial: Close(1).
  virtual int Disconnect();

  int SetRemoteHost(const char* host);
  std::string GetRemoteHost() const;
  // The socket's data-arrived notice, on the user-interface thread.
  void OnDataArrived();
  // After a transfer: makes bytes that arrived meanwhile announce themselves.
  void RearmReceive();
  // Throws away every byte waiting on the connection.
  void DrainReceive();
  // Rewrites the description text for the current mode and state.
  void Describe();
  // What to run after a connection ended with an error and the link has
  // disconnected (the view's control refresh). Called on the user-interface
  // thread.
  void SetControlRefresh(std::function<void()> refresh) { m_controlRefresh = std::move(refresh); }

  // Pause before each block of a network transfer, in milliseconds.
  int WaitPerBlock() const { return m_iWaitPerBlock; }
  void SetConnectTimeoutMs(int ms) { m_connectTimeoutMs = ms; }
  bool IsNetwork() const { return Settings().network != 0; }

 private:
  friend class CLinkSocket;
  // The connection ended with `error` (an errno value): disconnects,
  // refreshes the controls and posts LE_PORT_GONE.
  void OnClosedWithError(int error);
  // Takes what the host sends after the probe, judged byte by byte, within
  // half a second; true when it answered among its own text.
  bool ReadProbeReply();
  // "Host: HOST, port PORT", for the messages about the connection.
  std::string HostDetail() const;
  // Common refusal of the start operations; joins what is left of a
  // previous transfer thread before the buffer is refilled.
  bool MayStartNetTransfer();
  bool StartNetSendThread();
  uint32_t NetSendThread();

  std::atomic<int> m_iWaitPerBlock{100};
  std::string m_remoteHost;  // guarded by m_lock
  std::unique_ptr<CLinkSocket> m_socket;
  std::function<void()> m_controlRefresh;
  int m_connectTimeoutMs = kDefaultConnectTimeoutMs;
  bool m_connecting = false;  // user-interface thread only
  bool m_connectAborted = false;
  // Set when the host reset the connection; a transfer ended by that reports
  // a failed write (or closing answer), not a cancel.
  std::atomic<bool> m_connectionLost{false};
};

}  // namespace lumaset
