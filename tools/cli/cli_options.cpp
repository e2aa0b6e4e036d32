#include "tools/cli/cli_options.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <map>

#include "link/serial_link.h"
#include "protocol/host_commands.h"

namespace lumaset::cli {
namespace {

struct CommandSpec {
  const char* name;
  Command command;
  int arguments;  // positional arguments after the command name
  const char* usage;
};

const CommandSpec kCommands[] = {
    {"probe", Command::kProbe, 0, "probe"},
    {"command", Command::kCommand, 1, "command INDEX"},
    {"set-clock", Command::kSetClock, 0, "set-clock"},
    {"set-host-baud", Command::kSetHostBaud, 1, "set-host-baud RATE"},
    {"search-baud", Command::kSearchBaud, 0, "search-baud"},
    {"download-system", Command::kDownloadSystem, 1, "download-system FILE"},
    {"download-user", Command::kDownloadUser, 1, "download-user FILE (--yes | --no)"},
    {"download-touch", Command::kDownloadTouch, 1, "download-touch FILE"},
    {"send-file", Command::kSendFile, 1, "send-file FILE"},
    {"monitor", Command::kMonitor, 0, "monitor [--hex | --raw] [--save FILE] [--seconds N]"},
    {"ports", Command::kPorts, 0, "ports [--json]"},
};

// The bytes of an argument (see ParseCommandLine: one character a byte).
std::string Raw(const QString& argument) { return argument.toLatin1().toStdString(); }

bool ParseInt(const QString& text, long long low, long long high, long long* value) {
  bool ok = false;
  long long v = text.toLongLong(&ok, 10);
  if (!ok || v < low || v > high) return false;
  *value = v;
  return true;
}

std::string RateList() {
  std::string list;
  for (int i = 0; i < kBaudRateCount; ++i) {
    if (i) list += ", ";
    list += std::to_string(kBaudRates[i]);
  }
  return list;
}

// For the host command table entries that only announce what follows (the
// host then waits for it): what follows, and the command that sends both.
const char* CommandThatSends(int index) {
  switch (index) {
    case kCmdAnnounceUser: return "a user program image: use download-user FILE (--yes | --no)";
    case kCmdAnnounceSystem: return "a system program image: use download-system FILE";
    case kCmdSetHostRate: return "a new baud rate: use set-host-baud RATE";
    default: return nullptr;
  }
}

ParseResult Usage(const std::string& error) {
  ParseResult r;
  r.action = ParseResult::Action::kUsageError;
  r.error = error;
  return r;
}

}  // namespace

ParseResult ParseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption help({"h", "help"}, "");
  const QCommandLineOption version("version", "");
  const QCommandLineOption com("com", "", "N");
  const QCommandLineOption device("device", "", "PATH");
  const QCommandLineOption baud("baud", "", "RATE");
  const QCommandLineOption mode("mode", "", "0|1");
  const QCommandLineOption tcp("tcp", "", "HOST[:PORT]");
  const QCommandLineOption usb("usb", "");
  const QCommandLineOption usbVirtual("usb-virtual", "", "PATH");
  const QCommandLineOption settings("settings", "", "FILE");
  const QCommandLineOption searchOnFail("search-on-fail", "");
  const QCommandLineOption yes("yes", "");
  const QCommandLineOption no("no", "");
  const QCommandLineOption hex("hex", "");
  const QCommandLineOption raw("raw", "");
  const QCommandLineOption save("save", "", "FILE");
  const QCommandLineOption seconds("seconds", "", "N");
  const QCommandLineOption listen("listen", "", "N");
  const QCommandLineOption timeout("timeout", "", "N");
  const QCommandLineOption json("json", "");
  parser.addOptions({help, version, com, device, baud, mode, tcp, usb, usbVirtual, settings, searchOnFail, yes, no, hex,
                     raw, save, seconds, listen, timeout, json});

  if (!parser.parse(arguments)) return Usage(Raw(parser.errorText()));
  if (parser.isSet(help)) {
    ParseResult r;
    r.action = ParseResult::Action::kHelp;
    return r;
  }
  if (parser.isSet(version)) {
    ParseResult r;
    r.action = ParseResult::Action::kVersion;
    return r;
  }

  // An option given twice is a mistake, not a choice of the last one.
  for (const auto* o : {&com, &device, &baud, &mode, &tcp, &usbVirtual, &settings, &save, &seconds, &listen, &timeout})
    if (parser.values(*o).size() > 1) return Usage("--" + o->names().first().toStdString() + " given more than once");

  Options opt;
  long long v = 0;
  if (parser.isSet(com)) {
    if (!ParseInt(parser.value(com), 1, 255, &v)) return Usage("--com takes a port number from 1 to 255");
    opt.comPort = static_cast<int>(v);
  }
  if (parser.isSet(device)) {
    opt.device = Raw(parser.value(device));
    if (opt.device.empty()) return Usage("--device takes a path");
  }
  if (parser.isSet(baud)) {
    if (!ParseInt(parser.value(baud), 1, 0xFFFFFFFFll, &v) || BaudRateIndex(static_cast<uint32_t>(v)) < 0)
      return Usage("--baud takes one of the rates " + RateList());
    opt.baud = static_cast<uint32_t>(v);
  }
  if (parser.isSet(mode)) {
    if (!ParseInt(parser.value(mode), 0, 1, &v)) return Usage("--mode takes 0 or 1");
    opt.mode = static_cast<int>(v);
  }
  if (parser.isSet(tcp)) {
    const QString spec = parser.value(tcp);
    const qsizetype colon = spec.lastIndexOf(':');
    QString host = colon < 0 ? spec : spec.left(colon);
    if (colon >= 0) {
      if (!ParseInt(spec.mid(colon + 1), 1, 65535, &v)) return Usage("--tcp takes HOST or HOST:PORT, PORT 1..65535");
      opt.tcpPort = static_cast<uint32_t>(v);
    }
    if (host.isEmpty()) return Usage("--tcp takes HOST or HOST:PORT");
    opt.tcpHost = Raw(host);
  }
  if (parser.isSet(usbVirtual)) {
    opt.usbVirtual = Raw(parser.value(usbVirtual));
    if (opt.usbVirtual.empty()) return Usage("--usb-virtual takes a socket path");
  }
  opt.usb = parser.isSet(usb) || !opt.usbVirtual.empty();
  if (parser.isSet(settings)) {
    opt.settingsFile = Raw(parser.value(settings));
    if (opt.settingsFile.empty()) return Usage("--settings takes a file name");
  }
  if (!opt.tcpHost.empty() && opt.usb) return Usage("give either --tcp or --usb, not both");
  if ((!opt.tcpHost.empty() || opt.usb) && (opt.comPort || !opt.device.empty()))
    return Usage("--com and --device choose a COM port; they do not go with --tcp or --usb");
  if (opt.usb && opt.baud) return Usage("the USB link has no baud rate: --baud does not go with --usb");
  opt.searchOnFail = parser.isSet(searchOnFail);
  opt.hex = parser.isSet(hex);
  opt.raw = parser.isSet(raw);
  if (parser.isSet(save)) {
    opt.saveFile = Raw(parser.value(save));
    if (opt.saveFile.empty()) return Usage("--save takes a file name");
  }
  if (parser.isSet(seconds)) {
    if (!ParseInt(parser.value(seconds), 1, 86400 * 366, &v)) return Usage("--seconds takes a positive number");
    opt.seconds = static_cast<int>(v);
  }
  if (parser.isSet(listen)) {
    if (!ParseInt(parser.value(listen), 1, 86400, &v)) return Usage("--listen takes a positive number of seconds");
    opt.listenSeconds = static_cast<int>(v);
  }
  if (parser.isSet(timeout)) {
    if (!ParseInt(parser.value(timeout), 1, 86400 * 7, &v)) return Usage("--timeout takes a positive number of seconds");
    opt.timeoutSeconds = static_cast<int>(v);
  }
  if (parser.isSet(yes) && parser.isSet(no)) return Usage("give either --yes or --no, not both");
  if (parser.isSet(yes)) opt.answerYes = true;
  if (parser.isSet(no)) opt.answerYes = false;

  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) return Usage("no command given");
  const std::string name = Raw(positional.first());
  const CommandSpec* spec = nullptr;
  for (const auto& c : kCommands)
    if (name == c.name) spec = &c;
  if (!spec) return Usage("unknown command '" + name + "'");
  opt.command = spec->command;
  opt.commandName = spec->name;
  if (positional.size() - 1 != spec->arguments)
    return Usage(std::string(spec->name) + ": usage: " + kProgramName + " [link options] " + spec->usage);

  const QString arg = spec->arguments ? positional.at(1) : QString();
  switch (opt.command) {
    case Command::kCommand:
      if (!ParseInt(arg, 0, 15, &v)) return Usage("command: INDEX is a number from 0 to 15");
      // These entries announce something that the host then waits for: an
      // image, or a new rate. Alone they would leave it waiting.
      if (const char* instead = CommandThatSends(static_cast<int>(v)))
        return Usage("command " + std::to_string(v) + ": entry " + std::to_string(v) + " makes the host wait for " +
                     instead);
      opt.index = static_cast<int>(v);
      break;
    case Command::kSetHostBaud:
      if (!ParseInt(arg, 1, 0xFFFFFFFFll, &v) || BaudRateIndex(static_cast<uint32_t>(v)) < 0)
        return Usage("set-host-baud: RATE is one of " + RateList());
      opt.hostRate = static_cast<uint32_t>(v);
      break;
    case Command::kDownloadSystem:
    case Command::kDownloadUser:
    case Command::kDownloadTouch:
    case Command::kSendFile:
      opt.file = Raw(arg);
      if (opt.file.empty()) return Usage(opt.commandName + ": FILE is empty");
      break;
    default: break;
  }

  // Options that only one command takes.
  const bool isMonitor = opt.command == Command::kMonitor;
  if (opt.command == Command::kDownloadUser && !opt.answerYes)
    return Usage("download-user needs --yes (the host starts the program once it is loaded) or --no");
  if (opt.command != Command::kDownloadUser && opt.answerYes)
    return Usage("--yes and --no are for download-user only");
  if (!isMonitor && (!opt.saveFile.empty() || opt.seconds))
    return Usage("--save and --seconds are for monitor only");
  if (!isMonitor && !opt.listenSeconds && (opt.hex || opt.raw))
    return Usage("--hex and --raw are for monitor and --listen only");
  if (opt.hex && opt.raw) return Usage("give either --hex or --raw, not both");
  if (opt.listenSeconds && opt.command != Command::kProbe && opt.command != Command::kCommand &&
      opt.command != Command::kSetClock)
    return Usage("--listen is for probe, command and set-clock only");

  opt.json = parser.isSet(json);
  if (opt.json && (opt.hex || opt.raw))
    return Usage("--hex and --raw do not go with --json: its data lines carry the bytes in hex and as text");
  if (opt.command == Command::kPorts) {
    // The listing opens no link: of the other options only --settings (its
    // pin) has a meaning for it.
    for (const auto* o : {&com, &device, &baud, &mode, &tcp, &usb, &usbVirtual, &searchOnFail, &hex, &raw, &listen,
                          &timeout})
      if (parser.isSet(*o))
        return Usage("ports takes --settings FILE and --json only, not --" + o->names().first().toStdString());
  }

  ParseResult r;
  r.options = opt;
  return r;
}

std::string HelpText() {
  std::string rates = RateList();
  return std::string(
             "Usage: lumaset-cli [--com N | --device PATH] [--baud RATE] [--mode 0|1] COMMAND [ARGS] [OPTIONS]\n"
             "       lumaset-cli --tcp HOST[:PORT] ... | --usb ... | --settings FILE ...\n"
             "\n"
             "Talks to the room controller (the host) over the same link and protocol code as the\n"
             "Lumaset window program, without a window: for scripts and service work.\n"
             "\n"
             "Commands:\n"
             "  probe                      send the probe; exit 0 when the host answers 0x0F\n"
             "  command INDEX              send entry INDEX (0..15) of the host command table\n"
             "                             (the probe runs first, as in the window program); not 11,\n"
             "                             12 or 14, which announce what download-user,\n"
             "                             download-system and set-host-baud send\n"
             "  set-clock                  send entry 6 and the clock from the local time\n"
             "  set-host-baud RATE         change the host's baud rate, then the link's, and probe\n"
             "                             at the new rate\n"
             "  search-baud                find the rate at which the host answers; prints it on stdout\n"
             "  download-system FILE       load a system program (.pgs)\n"
             "  download-user FILE (--yes | --no)\n"
             "                             load a user program (.pgu); --yes: the host starts it once\n"
             "                             loaded, --no: it does not (one of them is required)\n"
             "  download-touch FILE        load a touch-panel program (.tps), with the FBLT handshake\n"
             "  send-file FILE             send any file unchanged\n"
             "  monitor [--hex | --raw] [--save FILE] [--seconds N]\n"
             "                             show what the host sends until N seconds have passed or\n"
             "                             Ctrl-C / SIGTERM (which end it cleanly and close the link),\n"
             "                             or the port goes away (status 1)\n"
             "  ports [--json]             list every COM number that resolves to a device, one line\n"
             "                             each: COM<n>, its path, present or missing, the device it\n"
             "                             leads to, its by-id name, for a USB adapter vendor:product,\n"
             "                             serial number and product name (from udev), and \"pinned\"\n"
             "                             or LUMASET_COM<n> where that decided; opens no port\n"
             "\n"
             "Link options:\n"
             "  --com N                    COM port number N (1..255; default 1). COM N is the device\n"
             "                             that --device names, else $LUMASET_COM<N>, else the device\n"
             "                             the settings pin it to (--settings: \"CommDevice\", even while\n"
             "                             missing), else the N-th of /dev/serial/by-id/*, /dev/ttyUSB*,\n"
             "                             /dev/ttyACM*, /dev/ttyS* present ($LUMASET_SERIAL_BY_ID_DIR\n"
             "                             replaces /dev/serial/by-id)\n"
             "  --device PATH              open PATH as the COM port (e.g. /dev/ttyUSB0, a pseudo-terminal,\n"
             "                             or a device server's port: rfc2217://HOST:PORT, or\n"
             "                             socket://HOST:PORT with a fixed rate: no search-baud or\n"
             "                             set-host-baud)\n"
             "  --tcp HOST[:PORT]          talk to the host's network interface over TCP (port default:\n"
             "                             the settings' TCP port, else 12345); no search-baud\n"
             "  --usb                      talk over the host's USB device (LUMASET_USB_DEVICE=VVVV:PPPP,\n"
             "                             LUMASET_USB_SERIAL, LUMASET_USB_PATH, ... choose it); no\n"
             "                             search-baud, set-host-baud or send-file\n"
             "  --usb-virtual PATH         --usb over the simulator's virtual USB device at PATH\n"
             "  --settings FILE            start from the link settings (CommDCB, CommDevice,\n"
             "                             RemoteHost) stored in FILE, the window program's settings\n"
             "                             file (by default $XDG_CONFIG_HOME/Quendar/Lumaset.reg); the\n"
             "                             options above override it; a rate that set-host-baud sets\n"
             "                             or search-baud finds is written back to it\n"
             "  --baud RATE                the link's rate (default 115200); one of\n"
             "                             ") +
         rates +
         "\n"
         "  --mode 0|1                 download mode (default 0); 1: the data of a download goes at\n"
         "                             115200 whatever the rate of the link\n"
         "  --search-on-fail           when the host does not answer the probe, search for its rate\n"
         "                             (answers OK to the question the link asks); without it the\n"
         "                             question is answered Cancel\n"
         "\n"
         "Other options:\n"
         "  --yes, --no                download-user: the answer that travels in the image frame\n"
         "  --hex                      monitor, --listen: show each byte as \"%02X  \" (16 a line)\n"
         "  --raw                      monitor, --listen: write the bytes unchanged (default: text, decoded from\n"
         "                             code page 936 to UTF-8)\n"
         "  --save FILE                monitor: also write every received byte, raw, to FILE (replaced)\n"
         "  --seconds N                monitor: stop after N seconds\n"
         "  --listen N                 probe, command, set-clock: afterwards show what the host sends\n"
         "                             for N seconds\n"
         "  --timeout N                downloads and search-baud: give up after N seconds (default:\n"
         "                             derived from the file size and the rate)\n"
         "  -h, --help                 this text\n"
         "  --json                     one JSON object per line on stdout instead of text: start,\n"
         "                             status phases, progress, questions and answers, received\n"
         "                             data, notes and the end (see the README); nothing on stderr\n"
         "  --version                  the version\n"
         "\n"
         "Output: received data and the rate found by search-baud go to stdout; messages, the\n"
         "link's message boxes (as \"caption: text\"), status texts and progress go to stderr\n"
         "(progress as a bar when stderr is a terminal, else a line every 10 %). With --json\n"
         "all of it goes to stdout as JSON lines instead.\n"
         "\n"
         "Exit status:\n"
         "  0  done\n"
         "  1  the host refused or did not answer, the link could not be opened, the transfer\n"
         "     failed (the message names the link status, e.g. LS_VERIFY_FAILED (0xFF00800B)),\n"
         "     no rate answered, the port went away while receiving, the chosen link refuses\n"
         "     the command, or the command was interrupted or timed out\n"
         "  2  bad usage, or a FILE that cannot be read (--save: written)\n";
}

}  // namespace lumaset::cli
