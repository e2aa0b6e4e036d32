#include "tests/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/clock.h"
#include "platform/event.h"

namespace fs = std::filesystem;

namespace lumaset::test {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

fs::path TempDir::File(const std::string& name, const std::vector<uint8_t>& bytes) const {
  fs::path p = path_ / name;
  std::ofstream(p, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return p;
}

ByIdFolder::ByIdFolder() { setenv("LUMASET_SERIAL_BY_ID_DIR", dir_.Path().c_str(), 1); }

ByIdFolder::~ByIdFolder() { unsetenv("LUMASET_SERIAL_BY_ID_DIR"); }

std::string ByIdFolder::Add(const std::string& name, const std::string& target) const {
  std::error_code ec;
  fs::create_symlink(target, dir_.Path() / name, ec);
  return Entry(name);
}

std::string ReadFileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

std::string BuiltProgram(const std::string& name) {
  if (const char* bin = std::getenv("LUMASET_BIN_DIR"); bin && *bin) return std::string(bin) + "/" + name;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  self[n] = '\0';
  return (fs::path(self).parent_path() / name).string();
}

std::string JsonField(const std::string& line, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  size_t at = line.find(k);
  if (at == std::string::npos) return {};
  at += k.size();
  if (at < line.size() && line[at] == '"') {
    const size_t end = line.find('"', at + 1);
    return line.substr(at + 1, end - at - 1);
  }
  const size_t end = line.find_first_of(",}", at);
  return line.substr(at, end - at);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) return;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (options.captureStdout && pipe2(out, O_CLOEXEC) != 0) return;
  if (options.captureStderr && pipe2(err, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = argv;
  std::vector<char*> list;
  for (auto& a : args) list.push_back(a.data());
  list.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Ends with the test process, even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (out[1] >= 0) dup2(out[1], STDOUT_FILENO);
    if (err[1] >= 0) dup2(err[1], STDERR_FILENO);
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    if (!options.folder.empty() && chdir(options.folder.c_str()) != 0) _exit(127);
    execv(list[0], list.data());
    _exit(127);
  }
  if (out[1] >= 0) close(out[1]);
  if (err[1] >= 0) close(err[1]);
  stdout_ = out[0];
  stderr_ = err[0];
  if (stderr_ >= 0) fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  Terminate();
  if (stdout_ >= 0) close(stdout_);
  if (stderr_ >= 0) close(stderr_);
}

bool ChildProcess::Running() {
  DrainStderr();
  if (pid_ <= 0) return false;
  int st = 0;
  if (waitpid(pid_, &st, WNOHANG) == 0) return true;
  pid_ = 0;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  DrainStderr();
  return false;
}

int ChildProcess::Wait(int timeoutMs) {
  platform::Deadline deadline(timeoutMs);
  while (Running()) {
    if (deadline.Passed()) return -1;
    platform::SleepMs(10);
  }
  return status_;
}

int ChildProcess::Terminate() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  if (Wait(3000) >= 0 || pid_ <= 0) return status_;
  kill(pid_, SIGKILL);
  int st = 0;
  waitpid(pid_, &st, 0);
  pid_ = 0;
  return status_ = -1;
}

bool ChildProcess::Signal(int number) { return Running() && kill(pid_, number) == 0; }

void ChildProcess::DrainStderr() {
  if (stderr_ < 0) return;
  char buf[4096];
  ssize_t n;
  while ((n = read(stderr_, buf, sizeof buf)) > 0) errText_.append(buf, static_cast<size_t>(n));
}

std::string ChildProcess::Stderr() {
  DrainStderr();
  return errText_;
}

HostSimProcess::HostSimProcess(std::vector<std::string> args, int readyTimeoutMs) {
  const std::string exe = BuiltProgram("lumaset-hostsim");
  if (access(exe.c_str(), X_OK) != 0) return;
  args.insert(args.begin(), {exe, "--out", Out().string()});
  ChildProcess::Options options;
  options.captureStdout = true;
  process_ = std::make_unique<ChildProcess>(args, options);
  events_ = process_->StdoutFd();
  ready_ = Wait("ready", "", readyTimeoutMs);
}

HostSimProcess::~HostSimProcess() { Stop(); }

int HostSimProcess::Stop() { return process_ ? process_->Terminate() : -1; }

std::string HostSimProcess::Wait(const std::string& name, const std::string& contains, int timeoutMs) {
  const std::string tag = "{\"event\":\"" + name + "\"";
  platform::Deadline deadline(timeoutMs);
  for (;;) {
    for (size_t i = next_; i < lines_.size(); ++i) {
      if (lines_[i].rfind(tag, 0) == 0 && lines_[i].find(contains) != std::string::npos) {
        next_ = i + 1;
        return lines_[i];
      }
    }
    if (deadline.Passed() || events_ < 0) return {};
    pollfd p{events_, POLLIN, 0};
    if (poll(&p, 1, deadline.Remaining()) <= 0) continue;
    char buf[4096];
    const ssize_t r = read(events_, buf, sizeof buf);
    if (r <= 0) return {};
    partial_.append(buf, static_cast<size_t>(r));
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
  }
}

std::vector<fs::path> HostSimProcess::ReceivedFiles(const std::string& suffix) const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(Out(), ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> HostSimProcess::Received(const std::string& suffix) const {
  const std::vector<fs::path> files = ReceivedFiles(suffix);
  if (files.empty()) return {};
  std::ifstream in(files.front(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace lumaset::test
