// Child processes (the host simulator, the built programs) and temporary
// folders, for tests and benchmarks.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lumaset::test {

// A folder under /tmp that is removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "lumaset-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // Writes a file of these bytes into the folder and returns its path.
  std::filesystem::path File(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  std::filesystem::path path_;
};

// A folder that stands in for /dev/serial/by-id for the life of the object
// ($LUMASET_SERIAL_BY_ID_DIR of this process and the children it starts):
// its entries are symlinks to devices such as pseudo-terminals, as udev's
// are to USB serial adapters.
class ByIdFolder {
 public:
  ByIdFolder();
  ~ByIdFolder();
  ByIdFolder(const ByIdFolder&) = delete;
  ByIdFolder& operator=(const ByIdFolder&) = delete;
  const std::filesystem::path& Path() const { return dir_.Path(); }
  // Adds the entry `name` leading to `target`; the entry's path.
  std::string Add(const std::string& name, const std::string& target) const;
  // The path an entry of that name has (whether it exists or not).
  std::string Entry(const std::string& name) const { return (dir_.Path() / name).string(); }

 private:
  TempDir dir_{"lumaset-by-id"};
};

// The whole contents of a file ("" when it cannot be read).
std::string ReadFileText(const std::filesystem::path& path);
// n pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);

// A program started with fork and exec (not a process library: the
// sanitizers follow a plain fork, and a vfork-style start confuses
// ThreadSanitizer in a process with threads). It dies with the test process,
// so nothing it holds can keep a test run waiting.
class ChildProcess {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    std::string folder;                                    // working folder
    bool captureStdout = false;  // else stdout is the test's
    bool captureStderr = false;  // else stderr is the test's
  };
  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Options{}) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0 || status_ >= 0; }
  // Whether it still runs (reaps it when it has ended).
  bool Running();
  // Waits up to timeoutMs for it to end; its exit status, or -1 when it is
  // still running or was ended by a signal.
  int Wait(int timeoutMs);
  // Ends it with SIGTERM (SIGKILL after 3 s); its exit status or -1.
  int Terminate();
  // Sends it a signal (while it runs); false when it has ended.
  bool Signal(int number);
  // Ends it at once with SIGKILL, as a machine that loses power.
  void Kill();
  // Its process id while it runs (-1 before it started, 0 after it ended).
  pid_t Pid() const { return pid_; }
  // The read end of its captured stdout (-1 when not captured).
  int StdoutFd() const { return stdout_; }
  // What it has written to its captured stderr so far.
  std::string Stderr();

 private:
  void DrainStderr();
  pid_t pid_ = -1;
  int status_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string errText_;
};

// The path of a program built beside the tests ($LUMASET_BIN_DIR, else the
// folder of the running program).
std::string BuiltProgram(const std::string& name);

// The value of "key" in one JSON event line (strings without their quotes).
std::string JsonField(const std::string& line, const std::string& key);

// lumaset-hostsim with its own output folder; its events are read from its
// standard output. The constructor waits up to readyTimeoutMs for the ready
// event (a simulator told to log elsewhere prints none).
class HostSimProcess {
 public:
  explicit HostSimProcess(std::vector<std::string> args, int readyTimeoutMs = 10000);
  ~HostSimProcess();
  HostSimProcess(const HostSimProcess&) = delete;
  HostSimProcess& operator=(const HostSimProcess&) = delete;

  bool Started() const { return !ready_.empty(); }
  // The ready event line ("" when the simulator did not start).
  const std::string& Ready() const { return ready_; }
  const std::filesystem::path& Dir() const { return dir_.Path(); }
  std::filesystem::path Out() const { return dir_.Path() / "out"; }

  // The next event of that name (whose line contains `contains`) after the
  // last one returned; "" when none comes within timeoutMs.
  std::string Wait(const std::string& name, const std::string& contains = "", int timeoutMs = 3000);
  // Every line read so far.
  const std::vector<std::string>& Lines() const { return lines_; }
  // The received files whose names end in `suffix`, sorted by name (the
  // simulator numbers them in the order they arrived).
  std::vector<std::filesystem::path> ReceivedFiles(const std::string& suffix) const;
  // The bytes of the first received file whose name ends in `suffix`.
  std::vector<uint8_t> Received(const std::string& suffix) const;

  // Ends the simulator with SIGTERM; its exit status (-1 when it had to be killed).
  int Stop();

 private:
  TempDir dir_{"lumaset-hostsim"};
  std::unique_ptr<ChildProcess> process_;
  int events_ = -1;
  std::string ready_, partial_;
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

// A serial device server in front of a device (the simulator's
// pseudo-terminal) on a free loopback port: ser2net with a YAML connection of
// its own, or pyserial's RFC 2217 server (serial.rfc2217.PortManager) in a
// few lines of Python. Started() is false when the server did not start;
// Missing() then says why, for a GTEST_SKIP when it is not installed.
class DeviceServer {
 public:
  enum class Kind { kSer2net, kPySerial };
  struct Options {
    bool raw = false;            // ser2net: a raw TCP port (socket://)
    bool ignoreRates = false;    // pyserial: SET-BAUDRATE is carried out but never answered
    uint16_t port = 0;           // the loopback port; 0: a free one
  };
  DeviceServer(Kind kind, const std::string& device, const Options& options);
  DeviceServer(Kind kind, const std::string& device) : DeviceServer(kind, device, Options{}) {}
  bool Started() const { return missing_.empty() && process_ != nullptr; }
  const std::string& Missing() const { return missing_; }
  // rfc2217://127.0.0.1:PORT, or socket://... for a raw port.
  std::string Url() const;
  uint16_t Port() const { return port_; }
  // Ends the server at once: its connections drop without a word.
  void Kill();
  static const char* Name(Kind kind) { return kind == Kind::kSer2net ? "ser2net" : "pyserial"; }

 private:
  TempDir dir_{"lumaset-server"};
  std::unique_ptr<ChildProcess> process_;
  std::string missing_;
  uint16_t port_ = 0;
  bool raw_ = false;
};

}  // namespace lumaset::test
