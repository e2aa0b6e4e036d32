// The command line of lumaset-cli.
#pragma once

#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>

namespace lumaset::cli {

// Exit status of the tool.
enum ExitCode : int {
  kExitDone = 0,      // done
  kExitFailed = 1,    // the host refused, did not answer, the link could not be opened or the transfer failed
  kExitUsage = 2,     // bad usage, or a file that cannot be read (or written, for --save)
};

enum class Command {
  kProbe,
  kCommand,
  kSetClock,
  kSetHostBaud,
  kSearchBaud,
  kDownloadSystem,
  kDownloadUser,
  kDownloadTouch,
  kSendFile,
  kMonitor,
  kPorts,
};

struct Options {
  Command command = Command::kProbe;
  std::string commandName;

  // The link.
  std::string settingsFile;         // --settings FILE: the link record and remote host from FILE
  std::optional<int> comPort;       // --com N (1..255)
  std::string device;               // --device PATH
  std::optional<uint32_t> baud;     // --baud RATE
  std::string tcpHost;              // --tcp HOST[:PORT]
  std::optional<uint32_t> tcpPort;
  bool usb = false;                 // --usb (also set by --usb-virtual)
  std::string usbVirtual;           // --usb-virtual PATH
  int mode = 0;                     // --mode 0|1
  bool searchOnFail = false;        // --search-on-fail

  // Command arguments.
  int index = -1;                   // command INDEX
  uint32_t hostRate = 0;            // set-host-baud RATE
  std::string file;                 // downloads, send-file
  std::optional<bool> answerYes;    // download-user --yes | --no

  // Output.
  bool json = false;                // --json: JSON lines on stdout

  // monitor, --listen
  bool hex = false;
  bool raw = false;
  std::string saveFile;
  int seconds = 0;                  // monitor --seconds N; 0: until Ctrl-C / SIGTERM
  int listenSeconds = 0;            // --listen N after probe, command, set-clock
  int timeoutSeconds = 0;           // --timeout N; 0: derived from file size and rate
};

struct ParseResult {
  enum class Action { kRun, kHelp, kVersion, kUsageError } action = Action::kRun;
  Options options;
  std::string error;  // for kUsageError
};

// `arguments` holds the bytes of each argument as one Latin-1 character a
// byte (ArgumentsOf of app/native_bytes.h), so that a path which is not valid
// UTF-8 reaches the file system unchanged; the options keep those bytes.
ParseResult ParseCommandLine(const QStringList& arguments);

// The whole --help text.
std::string HelpText();

// The program's name as the user typed it (for hints).
constexpr const char* kProgramName = "lumaset-cli";

}  // namespace lumaset::cli
