// The link to the host over a serial port, and the base of the network link.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_events.h"
#include "link/link_settings.h"
#include "platform/event.h"
#include "platform/operator.h"
#include "platform/serial_device.h"
#include "platform/worker.h"

namespace lumaset {

using platform::Event;
using platform::IEventTarget;

// The eleven rates of the baud-rate table and their per-byte factors
// (115200 / rate, in milliseconds).
constexpr uint32_t kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
constexpr int kBaudFactors[] = {384, 192, 96, 48, 24, 12, 8, 6, 3, 2, 1};
constexpr int kBaudRateCount = 11;
// Index of the rate in the table, or -1.
int BaudRateIndex(uint32_t rate);
// The factor of the rate, or 12 for a rate that is not in the table.
int TimePerByteFor(uint32_t rate);

// Held by whoever reads a reply from a port (ReadExact, the probe), so that
// two readers in the process never take each other's bytes.
std::atomic<bool>& ReplyReaderBusy();

constexpr int kWriteBlock = 512;
constexpr uint8_t kEventChar = 0x9F;  // the host's abort character
constexpr int kWatcherGraceMs = 2000;
constexpr int kTransferGraceMs = 5000;

class CSerialLink {
 public:
  CSerialLink();
  virtual ~CSerialLink();
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  // Virtual operations, in slot order.
  virtual int IsSearching();                                              // 0
  virtual int Open(int withWatcher);                                      // 1
  virtual int Close(int stopTransferFirst);                               // 2
  virtual int ReadAvailable(void* buffer, int maxBytes);                  // 3
  virtual int InputQueueCount();                                          // 4
  virtual int SendCommand(int index, int holdWatcher);                    // 5
  virtual int ReadExact(void* buffer, int count, const Event* cancelEvent);  // 6
  virtual int Probe(int askToSearch);                                     // 7
  virtual int SendFileWithHandshake(const char* path);                    // 8
  virtual int SendRawFile(const char* path);                              // 9
  virtual int StartBaudSearch(int resendAfter);                           // 10
  virtual void StopBaudSearch();                                          // 11
  virtual void ResendAfterSearch();                                       // 12
  virtual void Reset();                                                   // 13
  virtual void Release();                                                 // 14
  virtual void UpdateTimePerByte();                                       // 15
  virtual int Write(const void* buffer, int length);                      // 16
  virtual int SendProgramImage(int systemProgram, int answerYes);         // 17
  virtual void ReportPortError(IEventTarget* owner, uint32_t code);       // 18

  // Settings and target.
  void ApplySettings(const LinkSettings* record);
  void GetSettings(LinkSettings* record) const;
  void SetNotifyTarget(IEventTarget* window, uint32_t message);
  void SetDownloadMode(int mode) { m_downloadMode = mode; }
  int GetDownloadMode() const { return m_downloadMode; }

  void SetUserProgramPath(const char* path);
  void SetSystemProgramPath(const char* path);
  void SetTouchProgramPath(const char* path);
  std::string GetUserProgramPath() const;
  std::string GetSystemProgramPath() const;
  std::string GetTouchProgramPath() const;

  // Host protocol over this link.
  int SendUserProgram(int answerYes);
  int SendSystemProgram();
  int SendCommandString(const char* text);
  int SetHostBaudRate(uint32_t rate);

  // Opens exactly as Open does, but tells of a failure only by its result
  // and LastOpenError(), never in a message box: for reconnecting to a port
  // that went away. Serial only: with the network flag set it returns 0 and
  // EOPNOTSUPP.
  int OpenQuietly(int withWatcher);
  // The errno value of the last serial open that failed (ENOENT: no such
  // device, EBUSY: in use, ...); 0 after one that succeeded.
  int LastOpenError() const { return m_lastOpenError; }
  // The device path that the open port was opened by ("" when no serial port
  // is open), so that a device that comes back can be told from another.
  std::string OpenDevicePath() const;
  // The open port has gone away (LE_PORT_GONE); it stays open until closed.
  bool IsPortGone() const;

  void StopTransfer();
  int IsTransferring() const { return m_transferRunning; }
  int IsOpen() const { return m_open; }
  std::string GetDescription() const;
  void AckReceive() { m_dataConsumed.Set(); }
  void ResumeWatcher() { m_watcher.Release(); }
  int TimePerByte() const { return m_iTimePerByte; }

  // Exit code recorded for the last transfer thread (kTransferThreadDone,
  // a status code, or platform::kExitOverran).
  uint32_t LastTransferExitCode() const { return m_transfer.ExitCode(); }

 protected:
  // The open port, shared so that a call in progress keeps it alive while
  // another thread closes the link.
  std::shared_ptr<platform::SerialDevice> Port() const;
  void Post(uint32_t code, uint32_t value);
  void SetDescription(const std::string& text);
  // The description of the open COM port for that record.
  std::string ComDescription(const LinkSettings& record) const;
  LinkSettings Settings() const;
  void SetRate(uint32_t rate);
  // Closes the port and stops the watcher; stops the transfer first only
  // when asked and when not called from the transfer thread itself.
  void ClosePort(bool stopTransfer);
  // Open, with its failures shown (ReportPortError) or only recorded.
  int OpenPort(int withWatcher, bool quiet);
  // A COM port that is a socket:// URL has its rate fixed on the device
  // server: the baud search and the host rate change are refused, with a
  // message, before anything is sent. True when refused so.
  bool RefuseFixedRate();
  // Posts LE_PORT_GONE when the port has gone and no other thread has
  // reported it yet.
  void ReportPortGone(const std::shared_ptr<platform::SerialDevice>& port);
  // Line settings from the whole record (used where a thread re-applies it).
  platform::LineSettings LineFromRecord(const LinkSettings& record) const;
  // Reads a whole file, or frames the program image at m_imagePath with the
  // type byte, into the transfer buffer and sets the transfer length; false
  // after showing why.
  bool ReadFileIntoBuffer(const char* path);
  bool ReadImageIntoBuffer(uint8_t type);
  bool OnTransferThread() const { return m_transfer.IsCurrentThread(); }
  IEventTarget* NotifyWindow() const { return m_notifyWindow.load(); }

  // Sends the probe on a purged input and listens for the answer among the
  // host's text (protocol/serial_commands.cpp). The answer must come within
  // answerWaitMs; what follows it is listened to for tailMs more (0: it is
  // left unread). `cancel` ends the listening without an answer.
  enum class ProbeOutcome { kNotSent, kNoAnswer, kAnswered };
  ProbeOutcome ProbeExchange(int answerWaitMs, int tailMs, const Event* cancel);

  uint32_t WatcherBody(std::shared_ptr<platform::SerialDevice> port);
  uint32_t TransferBody();
  uint32_t SearchBody();
  bool StartTransferThread(bool handshake, bool timeCritical, const char* failText, const char* failCaption);

  // Members, in the order of the link's data model.
  std::atomic<int> m_downloadMode{0};
  std::atomic<int> m_iTimePerByte{1000};
  std::atomic<int> m_awaitingReply{0};  // used by the network link
  std::atomic<int> m_handshakeRequested{0};
  mutable std::mutex m_lock;  // guards the record, the paths and the description
  LinkSettings m_settings;
  std::vector<uint8_t> m_transferBuffer;  // owned by the transfer between start and end
  std::atomic<uint32_t> m_transferLength{0};
  std::atomic<int> m_resendAfterSearch{0};
  std::atomic<int> m_lastCommandIndex{-1};
  std::atomic<int> m_portError{0};
  std::atomic<int> m_transferRunning{0};
  std::atomic<int> m_searchRunning{0};
  // Counts the searches started, so that a caller can tell that a search
  // began inside a call (a failed probe whose question the operator took).
  std::atomic<uint32_t> m_searchStarts{0};
  std::string m_imagePath, m_userPath, m_systemPath, m_touchPath;
  std::string m_description;
  std::atomic<int> m_open{0};
  std::atomic<int> m_lastOpenError{0};
  bool m_hardwareHandshake = false;  // nothing turns it on

  std::mutex m_openLock;  // one Open or port close at a time
  std::shared_ptr<platform::SerialDevice> m_port;
  Event m_dataConsumed{true};
  Event m_stopWatcher, m_cancelTransfer, m_stopSearch;
  platform::Worker m_watcher, m_transfer, m_search;
  std::atomic<IEventTarget*> m_notifyWindow{nullptr};
  std::atomic<uint32_t> m_notifyMessage{WM_LINK_EVENT};
};

// The host acknowledgement of an announcement and of every download.
constexpr uint8_t kHostAck[8] = {0xE7, 0xA8, 0xB6, 0xCE, 0x4F, 0x4B, 0x0D, 0x0A};

}  // namespace lumaset
