// The host simulator as a child process, and temporary folders, for tests
// and benchmarks that talk to lumaset-hostsim.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
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

// The whole contents of a file ("" when it cannot be read).
std::string ReadFileText(const std::filesystem::path& path);
// n pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);

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
  pid_t pid_ = -1;
  int status_ = -1;
  int events_ = -1;
  std::string ready_, partial_;
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

}  // namespace lumaset::test
