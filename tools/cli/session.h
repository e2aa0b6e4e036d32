// One run of lumaset-cli: opens the link, carries out the command and turns
// the link's events (posted from its worker threads, handled here on the main
// thread, the "user-interface thread" of the link) into output and an exit
// status.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "platform/operator.h"
#include "tools/cli/cli_link.h"
#include "tools/cli/cli_operator.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/received_text.h"

namespace lumaset::cli {

class Session : public QObject, public platform::IEventTarget {
 public:
  Session(const Options& options, CliOperator* op);
  ~Session() override;

  // Runs the command; the outcome ends the application's event loop with the
  // exit status (QCoreApplication::exit).
  void Start();
  // SIGINT / SIGTERM.
  void OnSignal(int signalNumber);

  // IEventTarget: from any thread; queues the event for the main thread.
  void Post(uint32_t message, uint32_t first, uint32_t second) override;

 protected:
  bool event(QEvent* e) override;

 private:
  enum class Wait { kNothing, kTransfer, kSearch, kMonitor, kListen };
  enum class AfterSearch { kReport, kProbe, kResendCommand, kRetryHostBaud };

  void OnLinkEvent(uint32_t code, uint32_t value);
  void OnProgress(uint32_t thousandths, uint32_t bytes);
  void OnDeadline();
  void OnData();

  // Every entry from the event loop holds one: a Finish() asked for while a
  // link call runs (which may run the event loop itself, as the TCP connect
  // does) happens when the outermost entry returns.
  struct Entry {
    explicit Entry(Session* s);
    ~Entry();
    Session* session;
  };

  bool CheckFiles();
  bool LoadStoredSettings();
  void SaveRate(uint32_t rate);
  // The fields of the --json start line (the link's null before it is chosen).
  QJsonObject StartFields() const;
  bool OpenLink();
  void ExplainOpenFailure();
  // Why a COM port behind a device server did not open.
  void ExplainServerFailure(const std::string& url);
  void HostSilentHint();
  std::string SearchCommandLine() const;

  void RunProbe();
  void RunCommand(int index);
  void RunSetHostBaud();
  void RunSearch();
  void RunDownload();
  void RunMonitor();

  void AfterCommandSent(const std::string& what);
  void BeginSearchWait(AfterSearch then);
  void BeginListening(Wait wait, int seconds);
  void OnSearchFound(uint32_t rate);
  // Says why an image was not announced; the end line's reason.
  const char* DiagnoseRefusedImage();
  // Ends the run with the exit status; `reason` names a failure for the
  // --json end line.
  void Finish(int code, const char* reason = nullptr);

  Options opt_;
  CliOperator* operator_;
  LinkChoice choice_;
  bool haveStored_ = false;
  int depth_ = 0;
  std::optional<int> deferredExit_;
  const char* deferredReason_ = nullptr;
  std::unique_ptr<ICliLink> link_;
  Wait wait_ = Wait::kNothing;
  AfterSearch afterSearch_ = AfterSearch::kReport;
  QTimer deadline_;
  bool finished_ = false;
  bool refusedByLink_ = false;  // the chosen link does not do the command
  bool fixedRate_ = false;      // the command changes a rate that the port's server fixes
  uint64_t fileSize_ = 0;
  uint64_t transferTotal_ = 0;  // bytes the transfer sends (the frame, for images)
  std::unique_ptr<ReceivedText> renderer_;
  FILE* save_ = nullptr;
  uint64_t received_ = 0;

  // --json
  const bool json_;
  bool fileKnown_ = false;           // the file was found readable (fileSize_ is its size)
  QString sha256_;                   // of the file, as read at the start
  bool transferTotalKnown_ = false;  // a download got as far as computing transferTotal_
  uint64_t sent_ = 0;                // bytes the transfer has sent
  std::optional<uint32_t> endStatus_;  // the link status a transfer failed with
  int64_t lastProgressMs_ = -1;
  bool progressComplete_ = false;
};

// Generous bounds for waits that the link ends itself (should it never report).
int64_t TransferBoundMs(uint64_t bytes, uint32_t rate);
int64_t SearchBoundMs(uint32_t startRate);

}  // namespace lumaset::cli
