#include "tests/sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

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

void ChildProcess::Kill() {
  if (!Signal(SIGKILL)) return;
  int st = 0;
  waitpid(pid_, &st, 0);
  pid_ = 0;
  status_ = -1;
}

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

namespace {

// pyserial's RFC 2217 server for one client at a time, on the device given.
// A pseudo-terminal has no modem lines, so the port's are left alone.
const char kPySerialServer[] = R"(
import socket, sys, threading, serial, serial.rfc2217
device, port, ignore_rates = sys.argv[1], int(sys.argv[2]), sys.argv[3] == '1'
class PtyLine(serial.Serial):
    def _update_dtr_state(self): pass
    def _update_rts_state(self): pass
    cts = dsr = ri = cd = property(lambda self: False)
if ignore_rates:
    answer = serial.rfc2217.PortManager.rfc2217_send_subnegotiation
    def quiet(self, option, value=b''):
        if option != serial.rfc2217.SERVER_SET_BAUDRATE: answer(self, option, value)
    serial.rfc2217.PortManager.rfc2217_send_subnegotiation = quiet
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(('127.0.0.1', port))
listener.listen(1)
print('ready', listener.getsockname()[1], flush=True)
while True:
    client, _ = listener.accept()
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    line = PtyLine(device, timeout=0.05)
    lock = threading.Lock()
    class Out:
        def write(self, data):
            with lock: client.sendall(data)
    manager = serial.rfc2217.PortManager(line, Out())
    alive = [True]
    def pump():
        try:
            while alive[0]:
                data = line.read(4096)
                if data: Out().write(b''.join(manager.escape(data)))
        except OSError: pass
    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    try:
        while True:
            data = client.recv(4096)
            if not data: break
            line.write(b''.join(manager.filter(data)))
    except OSError: pass
    alive[0] = False
    reader.join()
    line.close()
    client.close()
)";

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// The socket inode of the listener on 127.0.0.1:port (0 when there is none),
// found without connecting to it, which would open the server's device.
unsigned long ListenerInode(uint16_t port) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (local == wanted && state == "0A") return std::stoul(inode);
  }
  return 0;
}

// Whether process `pid` holds the socket of that inode: the listener is its,
// not another test's that took the same free port meanwhile.
bool Holds(pid_t pid, unsigned long inode) {
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    char target[128];
    const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == wanted) return true;
  }
  return false;
}

std::string Installed(const std::vector<std::string>& candidates) {
  for (const auto& c : candidates)
    if (access(c.c_str(), X_OK) == 0) return c;
  return {};
}

}  // namespace

DeviceServer::DeviceServer(Kind kind, const std::string& device, const Options& options) : raw_(options.raw) {
  ChildProcess::Options child;
  child.captureStdout = kind == Kind::kPySerial;
  child.captureStderr = true;
  if (kind == Kind::kSer2net) {
    const std::string program = Installed({"/usr/sbin/ser2net", "/usr/bin/ser2net"});
    if (program.empty()) {
      missing_ = "ser2net is not installed (Debian package ser2net)";
      return;
    }
    // A free port may be taken by another test between being found and
    // being bound: then ser2net ends, or the listener there is not its, and
    // another port is tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = options.port ? options.port : FreeLoopbackPort();
      const std::string accepter = std::string(raw_ ? "tcp" : "telnet(rfc2217),tcp") + ",127.0.0.1," +
                                   std::to_string(port_);
      const std::string config = "connection: &port\n  accepter: " + accepter + "\n  connector: serialdev," +
                                 device + ",115200n81,local\n";
      const fs::path file = dir_.Path() / "ser2net.yaml";
      std::ofstream(file) << config;
      process_ = std::make_unique<ChildProcess>(
          std::vector<std::string>{program, "-n", "-u", "-c", file.string(), "-P", (dir_.Path() / "pid").string()},
          child);
      platform::Deadline deadline(10000);
      unsigned long inode = 0;
      while (process_->Running() && !deadline.Passed() && (inode = ListenerInode(port_)) == 0) platform::SleepMs(20);
      // ser2net goes on without a listener when another process has the port.
      const bool ours = inode != 0 && Holds(process_->Pid(), inode);
      if (ours) {
        missing_.clear();
        return;
      }
      missing_ = "ser2net did not start: " + process_->Stderr();
      process_->Kill();
      process_.reset();
      if (options.port) return;
    }
    return;
  }
  const std::string python = Installed({"/usr/bin/python3"});
  if (python.empty()) {
    missing_ = "python3 is not installed";
    return;
  }
  {
    ChildProcess check({python, "-c", "import serial.rfc2217"}, child);
    if (check.Wait(10000) != 0) {
      missing_ = "pyserial is not installed (Debian package python3-serial)";
      return;
    }
  }
  const fs::path script = dir_.Path() / "rfc2217_server.py";
  std::ofstream(script) << kPySerialServer;
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{python, script.string(), device, std::to_string(options.port),
                               options.ignoreRates ? "1" : "0"},
      child);
  // Its first line: "ready PORT".
  std::string first;
  platform::Deadline deadline(10000);
  char c = 0;
  while (!deadline.Passed()) {
    pollfd p{process_->StdoutFd(), POLLIN, 0};
    if (poll(&p, 1, deadline.Remaining()) <= 0 || read(process_->StdoutFd(), &c, 1) != 1 || c == '\n') break;
    first += c;
  }
  if (first.rfind("ready ", 0) != 0) {
    missing_ = "pyserial's server did not start: " + process_->Stderr();
    process_.reset();
    return;
  }
  port_ = static_cast<uint16_t>(std::stoul(first.substr(6)));
}

std::string DeviceServer::Url() const {
  return std::string(raw_ ? "socket://" : "rfc2217://") + "127.0.0.1:" + std::to_string(port_);
}

void DeviceServer::Kill() {
  if (process_) process_->Kill();
}

}  // namespace lumaset::test
