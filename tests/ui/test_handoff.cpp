// The hand-off channel: a HandOffServer in this process, on its event loop,
// and real second starts (handoff_client) as child processes; peers that
// break the framing are raw sockets of the test. XDG_RUNTIME_DIR points at a
// temporary folder of each test, which holds the socket and the block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/handoff_block.h"
#include "tests/sim_process.h"
#include "ui/handoff.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using lumaset::HandOffServer;

// Runs the event loop until done() holds, for at most timeoutMs.
bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= timeoutMs) return false;
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// A nested event loop of ms, as a modal question runs one.
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

mode_t ModeOf(const fs::path& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void Put(Bytes& out, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A request as the framing in ui/handoff.h spells it.
Bytes Record(uint32_t magic, uint16_t version, uint16_t type, uint32_t message = 0, uint32_t wparam = 0,
             uint32_t lparam = 0) {
  Bytes out;
  Put(out, magic, 4);
  Put(out, version, 2);
  Put(out, type, 2);
  Put(out, message, 4);
  Put(out, wparam, 4);
  Put(out, lparam, 4);
  return out;
}

constexpr uint32_t kMagic = 0x464F484C;       // "LHOF"
constexpr uint32_t kReplyMagic = 0x524F484C;  // "LHOR"

// handoff_client NAME NUMBER BLOCK as a child process.
// A socket file as a crashed instance leaves it: bound, then closed.
bool LeaveSocket(const std::string& path) {
  const int left = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool bound = bind(left, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(left);
  return bound;
}

class Client {
 public:
  Client(const std::string& name, int number, const std::string& block, std::function<void()> onFinished = {},
         const std::string& activationToken = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (activationToken.empty())
      environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
    else
      environment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), QString::fromStdString(activationToken));
    process_.setProcessEnvironment(environment);
    QObject::connect(&process_, &QProcess::finished, [this, onFinished] {
      finished_ = true;
      if (onFinished) onFinished();
    });
    process_.start(QString::fromStdString(lumaset::test::BuiltProgram("handoff_client")),
                   {QString::fromStdString(name), QString::number(number), QString::fromStdString(block)});
  }
  ~Client() {
    if (!finished_) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  bool WaitFinished(int timeoutMs = 20000) {
    return RunUntil([this] { return finished_; }, timeoutMs);
  }
  bool Finished() const { return finished_; }
  int ExitCode() const { return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1; }
  std::string Out() { return process_.readAllStandardOutput().toStdString(); }
  std::string Err() { return process_.readAllStandardError().toStdString(); }

 private:
  QProcess process_;
  bool finished_ = false;
};

// A peer of the test's own on the server's socket.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    // Non-blocking: a connect to a full backlog fails instead of hanging
    // the test, whose event loop is what empties the backlog.
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(fd_); }
  bool Connected() const { return connected_; }
  size_t Send(const Bytes& bytes) {
    const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  // Takes what has arrived; true once the server has closed its end.
  bool Closed() {
    unsigned char buffer[512];
    for (;;) {
      const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        received_.insert(received_.end(), buffer, buffer + n);
        continue;
      }
      return n == 0 || errno == ECONNRESET;
    }
  }
  const Bytes& Received() const { return received_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  Bytes received_;
};

class HandOffTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(runtime_.Path().empty());
    setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
    block_ = (runtime_.Path() / "MYKRV.MAPTAVLORIX").string();
    server_ = std::make_unique<HandOffServer>();
    server_->SetRaiseHandler([this](const std::string& token) {
      events_.push_back(token.empty() ? "raise" : "raise with " + token);
    });
    // As the view does: read the block, then act on it.
    server_->SetMessageHandler([this](uint32_t message, uint32_t wparam, uint32_t lparam) {
      events_.push_back(Message(message, wparam, lparam));
      return 1;
    });
  }
  void TearDown() override {
    server_.reset();
    unsetenv("XDG_RUNTIME_DIR");
  }
  // "message M W L <mode> <name>" with the block as it is now.
  std::string Message(uint32_t message, uint32_t wparam, uint32_t lparam) const {
    std::string name, error;
    int32_t mode = 0;
    if (!lumaset::platform::ReadHandOffBlock(&name, &mode, &error, block_)) return "block failed: " + error;
    return "message " + std::to_string(message) + " " + std::to_string(wparam) + " " + std::to_string(lparam) + " " +
           std::to_string(mode) + " " + name;
  }
  std::string Path() const { return (runtime_.Path() / "KRV_MY_TAVLORA_CLASS_KRV").string(); }
  void Listen() {
    std::string error;
    ASSERT_TRUE(server_->Listen(&error)) << error;
  }

  lumaset::test::TempDir runtime_{"lumaset-runtime"};
  std::string block_;
  std::unique_ptr<HandOffServer> server_;
  std::vector<std::string> events_;
};

const std::string kHandOff = "message 1239 39321 34952 ";  // 0x9999, 0x8888

TEST_F(HandOffTest, SecondStartRaisesHandsOverAndWaitsUntilTheHandlerReturned) {
  bool inHandler = false, endedDuringHandler = false;
  server_->SetMessageHandler([&](uint32_t message, uint32_t wparam, uint32_t lparam) {
    events_.push_back(Message(message, wparam, lparam));
    inHandler = true;
    Spin(500);  // the operator answers the question
    inHandler = false;
    return 7;
  });
  Listen();
  EXPECT_EQ(server_->SocketPath(), Path());
  QElapsedTimer clock;
  clock.start();
  Client client("dir/prog 1.pgu", 1, block_, [&] { endedDuringHandler = inHandler; });
  ASSERT_TRUE(client.WaitFinished()) << client.Err();
  EXPECT_GE(clock.elapsed(), 450);
  EXPECT_FALSE(endedDuringHandler);
  EXPECT_EQ(client.ExitCode(), 0) << client.Err();
  EXPECT_EQ(client.Out(), "7\n");  // the handler's result comes back to the sender
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "1 dir/prog 1.pgu"}));

  // A start without arguments: window raised, empty name, number 0.
  events_.clear();
  Client bare("", 0, block_);
  ASSERT_TRUE(bare.WaitFinished()) << bare.Err();
  EXPECT_EQ(bare.ExitCode(), 0) << bare.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "0 "}));
}

// A second start given an activation token (a Wayland session's launch)
// passes it on with the raise; one that cannot travel (too long, or with
// characters other than printable ASCII) is left out, and the raise goes as
// before.
TEST_F(HandOffTest, TheActivationTokenOfASecondStartGoesWithItsRaise) {
  Listen();
  const std::string token = "weston-7/1d2c3b4a_TIME123";
  Client withToken("job.pgu", 1, block_, {}, token);
  ASSERT_TRUE(withToken.WaitFinished()) << withToken.Err();
  EXPECT_EQ(withToken.ExitCode(), 0) << withToken.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise with " + token, kHandOff + "1 job.pgu"}));

  events_.clear();
  Client tooLong("job.pgu", 0, block_, {}, std::string(lumaset::handoff::kMaxTokenSize + 1, 'x'));
  ASSERT_TRUE(tooLong.WaitFinished()) << tooLong.Err();
  Client spaced("job.pgu", 0, block_, {}, "two words");
  ASSERT_TRUE(spaced.WaitFinished()) << spaced.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "0 job.pgu", "raise", kHandOff + "0 job.pgu"}));

  // The token arriving a byte at a time, and the message right behind it.
  events_.clear();
  RawClient raw(Path());
  Bytes stream = Record(kMagic, 1, 3, 5);
  for (char c : std::string("t0k3n")) stream.push_back(static_cast<unsigned char>(c));
  for (unsigned char byte : stream) {
    ASSERT_EQ(raw.Send(Bytes{byte}), 1u);
    Spin(2);
  }
  ASSERT_TRUE(RunUntil([&] { return events_.size() == 1; }, 5000));
  EXPECT_EQ(events_, std::vector<std::string>{"raise with t0k3n"});
  ASSERT_TRUE(RunUntil([&] { raw.Closed(); return raw.Received().size() == 12; }, 5000));
  Bytes reply;
  Put(reply, kReplyMagic, 4);
  Put(reply, 1, 2);
  Put(reply, 3, 2);
  Put(reply, 1, 4);
  EXPECT_EQ(raw.Received(), reply);

  // A token length of 0 or past the limit, or a control character in the
  // token, breaks the framing: closed without an answer or a raise.
  events_.clear();
  RawClient empty(Path()), huge(Path()), control(Path());
  empty.Send(Record(kMagic, 1, 3, 0));
  huge.Send(Record(kMagic, 1, 3, lumaset::handoff::kMaxTokenSize + 1));
  Bytes withControl = Record(kMagic, 1, 3, 3);
  withControl.insert(withControl.end(), {'a', '\n', 'b'});
  control.Send(withControl);
  ASSERT_TRUE(RunUntil([&] { return empty.Closed() && huge.Closed() && control.Closed(); }, 10000));
  for (RawClient* c : {&empty, &huge, &control}) EXPECT_TRUE(c->Received().empty());
  EXPECT_TRUE(events_.empty());
}

TEST_F(HandOffTest, WithoutARunningInstanceTheBlockIsWrittenAndTheClientEndsAtOnce) {
  QElapsedTimer clock;
  clock.start();
  Client lonely("lonely.pgu", 3, block_);
  ASSERT_TRUE(lonely.WaitFinished(10000));
  EXPECT_EQ(lonely.ExitCode(), 1);
  EXPECT_NE(lonely.Err().find("no running window"), std::string::npos);
  EXPECT_LT(clock.elapsed(), 5000);
  std::string name, error;
  int32_t mode = 0;
  ASSERT_TRUE(lumaset::platform::ReadHandOffBlock(&name, &mode, &error, block_)) << error;
  EXPECT_EQ(name, "lonely.pgu");
  EXPECT_EQ(mode, 3);

  // A socket left behind by an instance that ended: nobody answers either.
  ASSERT_TRUE(LeaveSocket(Path()));
  Client again("again.pgu", 4, block_);
  ASSERT_TRUE(again.WaitFinished(10000));
  EXPECT_EQ(again.ExitCode(), 1);
  EXPECT_NE(again.Err().find("no running window"), std::string::npos) << again.Err();
}

TEST_F(HandOffTest, TooLongNameIsRefusedAndNothingIsSent) {
  Listen();
  {
    lumaset::platform::HandOffBlockWriter earlier(block_);
    std::string error;
    ASSERT_TRUE(earlier.Write("keep.pgu", 7, &error)) << error;
  }
  Client client(std::string(600, 'n'), 1, block_);
  ASSERT_TRUE(client.WaitFinished());
  EXPECT_EQ(client.ExitCode(), 1);
  EXPECT_NE(client.Err().find("519"), std::string::npos) << client.Err();
  EXPECT_TRUE(events_.empty());  // not even raised
  std::string name, error;
  int32_t mode = 0;
  ASSERT_TRUE(lumaset::platform::ReadHandOffBlock(&name, &mode, &error, block_)) << error;
  EXPECT_EQ(name, "keep.pgu");
  EXPECT_EQ(mode, 7);
}

TEST_F(HandOffTest, PeersThatBreakTheFramingOrStaySilentAreClosedAndChangeNothing) {
  server_->SetIdleLimitMs(300);
  Listen();
  RawClient garbage(Path()), wrongVersion(Path()), unknownType(Path()), silent(Path()), cut(Path());
  ASSERT_TRUE(garbage.Connected());
  garbage.Send(Bytes(64, 0xAB));
  wrongVersion.Send(Record(kMagic, 2, 1));
  unknownType.Send(Record(kMagic, 1, 9));
  const Bytes message = Record(kMagic, 1, 2, 1239, 0x9999, 0x8888);
  cut.Send(Bytes(message.begin(), message.begin() + 10));
  // A whole raise request with far too much behind it: answered, then closed.
  Bytes flood = Record(kMagic, 1, 1);
  flood.resize(flood.size() + 100000, 0x5A);
  RawClient flooding(Path());
  flooding.Send(flood);
  ASSERT_TRUE(RunUntil(
      [&] {
        return garbage.Closed() && wrongVersion.Closed() && unknownType.Closed() && silent.Closed() && cut.Closed() &&
               flooding.Closed();
      },
      10000));
  for (RawClient* c : {&garbage, &wrongVersion, &unknownType, &silent, &cut}) EXPECT_TRUE(c->Received().empty());
  ASSERT_EQ(flooding.Received().size(), 12u);
  Bytes reply;
  Put(reply, kReplyMagic, 4);
  Put(reply, 1, 2);
  Put(reply, 1, 2);
  Put(reply, 1, 4);
  EXPECT_EQ(flooding.Received(), reply);
  EXPECT_EQ(events_, std::vector<std::string>{"raise"});
  EXPECT_TRUE(RunUntil([&] { return server_->ConnectionCount() == 0; }, 5000));

  // More connections than the server takes: the surplus is closed at once;
  // the others stay until their peers go.
  server_->SetIdleLimitMs(60000);
  std::vector<std::unique_ptr<RawClient>> many;
  for (int i = 0; i < 20; ++i) {
    many.push_back(std::make_unique<RawClient>(Path()));
    ASSERT_TRUE(many.back()->Connected()) << i;
    Spin(5);
  }
  auto closedCount = [&] {
    size_t closed = 0;
    for (auto& c : many) closed += c->Closed() ? 1 : 0;
    return closed;
  };
  ASSERT_TRUE(RunUntil([&] { return closedCount() == 20 - HandOffServer::kMaxConnections; }, 5000));
  EXPECT_EQ(server_->ConnectionCount(), HandOffServer::kMaxConnections);
  many.clear();
  ASSERT_TRUE(RunUntil([&] { return server_->ConnectionCount() == 0; }, 5000));

  // None of it is in the way of a real hand-off, not even a silent peer
  // that is still connected.
  RawClient idle(Path());
  ASSERT_TRUE(RunUntil([&] { return server_->ConnectionCount() == 1; }, 5000));
  events_.clear();
  Client real("after.pgu", 1, block_);
  ASSERT_TRUE(real.WaitFinished(10000));
  EXPECT_EQ(real.ExitCode(), 0) << real.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "1 after.pgu"}));
  EXPECT_FALSE(idle.Closed());
}

TEST_F(HandOffTest, RequestsArrivingDuringAHandlerWaitTheirTurn) {
  int depth = 0, maxDepth = 0, raisesDuringHandler = 0;
  std::vector<std::string> handled;
  std::unique_ptr<Client> second;
  std::unique_ptr<RawClient> garbage;
  bool firstEnded = false, firstEndedBeforeSecondHandled = false;
  server_->SetRaiseHandler([&](const std::string&) { raisesDuringHandler += depth > 0 ? 1 : 0; });
  server_->SetMessageHandler([&](uint32_t message, uint32_t wparam, uint32_t lparam) {
    maxDepth = std::max(maxDepth, ++depth);
    handled.push_back(Message(message, wparam, lparam));
    if (!second) {
      // While the first question is open: a second start, and a peer
      // sending rubbish.
      garbage = std::make_unique<RawClient>(Path());
      garbage->Send(Bytes(40, 0xEE));
      second = std::make_unique<Client>("second.pgu", 2, block_);
      RunUntil([&] { return raisesDuringHandler > 0 && garbage->Closed(); }, 15000);
      Spin(300);  // it waits for the block meanwhile
    } else {
      // The first start has its answer while the second is being handled.
      firstEndedBeforeSecondHandled = RunUntil([&] { return firstEnded; }, 15000);
    }
    --depth;
    return static_cast<int>(handled.size());
  });
  Listen();
  Client first("first.pgu", 1, block_, [&] { firstEnded = true; });
  ASSERT_TRUE(RunUntil([&] { return first.Finished() && second && second->Finished(); }, 30000));
  EXPECT_EQ(maxDepth, 1);
  EXPECT_EQ(raisesDuringHandler, 1);  // a raise is answered at once, also then
  EXPECT_TRUE(garbage && garbage->Received().empty());
  EXPECT_EQ(handled, (std::vector<std::string>{kHandOff + "1 first.pgu", kHandOff + "2 second.pgu"}));
  EXPECT_EQ(first.Out(), "1\n");
  EXPECT_EQ(second->Out(), "2\n");
  EXPECT_TRUE(firstEndedBeforeSecondHandled);
}

TEST_F(HandOffTest, HeldMessagesWaitAndAStopAnswersNoSender) {
  // Held, as while the window is still being made: the raise is answered,
  // the message waits with its sender.
  server_->HoldMessages(true);
  Listen();
  Client early("early.pgu", 1, block_);
  ASSERT_TRUE(RunUntil([&] { return !events_.empty(); }, 15000));
  Spin(400);
  EXPECT_EQ(events_, std::vector<std::string>{"raise"});
  EXPECT_FALSE(early.Finished());
  server_->HoldMessages(false);
  ASSERT_TRUE(early.WaitFinished()) << early.Err();
  EXPECT_EQ(early.ExitCode(), 0) << early.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "1 early.pgu"}));

  // The service stops while a message is being handled (the window ends
  // during its question), with another one waiting: neither sender hears
  // that its file was taken, and the socket goes.
  events_.clear();
  std::unique_ptr<Client> waiting;
  server_->SetMessageHandler([&](uint32_t message, uint32_t wparam, uint32_t lparam) {
    events_.push_back(Message(message, wparam, lparam));
    waiting = std::make_unique<Client>("waiting.pgu", 3, block_);
    RunUntil([&] { return events_.size() >= 3; }, 15000);  // its raise
    server_->StopServing();
    Spin(100);
    return 1;
  });
  Client asked("asked.pgu", 2, block_);
  ASSERT_TRUE(asked.WaitFinished()) << asked.Err();
  ASSERT_TRUE(waiting && waiting->WaitFinished()) << waiting->Err();
  EXPECT_EQ(asked.ExitCode(), 1);
  EXPECT_NE(asked.Err().find("closed the connection before answering"), std::string::npos) << asked.Err();
  EXPECT_EQ(waiting->ExitCode(), 1);
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "2 asked.pgu", "raise"}));
  EXPECT_FALSE(fs::exists(Path()));
}

TEST_F(HandOffTest, ClientWaitEndsWhenTheRunningInstanceGoesAway) {
  // A running instance of the test's own that takes the message and then
  // ends without answering.
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, Path().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  Client client("x.pgu", 5, block_);
  pollfd p{listener, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 15000), 1);
  const int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  auto take = [&] {
    Bytes record(20);
    size_t have = 0;
    pollfd q{peer, POLLIN, 0};
    while (have < record.size() && poll(&q, 1, 10000) == 1) {
      const ssize_t n = recv(peer, record.data() + have, record.size() - have, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    record.resize(have);
    return record;
  };
  EXPECT_EQ(take(), Record(kMagic, 1, 1));
  Bytes raised;
  Put(raised, kReplyMagic, 4);
  Put(raised, 1, 2);
  Put(raised, 1, 2);
  Put(raised, 1, 4);
  ASSERT_EQ(send(peer, raised.data(), raised.size(), MSG_NOSIGNAL), 12);
  EXPECT_EQ(take(), Record(kMagic, 1, 2, 1239, 0x9999, 0x8888));
  EXPECT_FALSE(RunUntil([&] { return client.Finished(); }, 300));  // still waiting for the answer
  close(peer);
  close(listener);
  ASSERT_TRUE(client.WaitFinished(5000));
  EXPECT_EQ(client.ExitCode(), 1);
  EXPECT_NE(client.Err().find("closed the connection before answering"), std::string::npos) << client.Err();
}

TEST_F(HandOffTest, ListenReplacesALeftoverSocketButNothingElse) {
  ASSERT_TRUE(LeaveSocket(Path()));
  Listen();
  EXPECT_EQ(ModeOf(Path()), 0600u);
  EXPECT_EQ(ModeOf(runtime_.Path()), 0700u);
  Client client("stale.pgu", 1, block_);
  ASSERT_TRUE(client.WaitFinished());
  EXPECT_EQ(client.ExitCode(), 0) << client.Err();
  EXPECT_EQ(events_, (std::vector<std::string>{"raise", kHandOff + "1 stale.pgu"}));

  server_.reset();  // an instance that ends takes its socket with it
  EXPECT_FALSE(fs::exists(Path()));

  std::ofstream(Path()) << "not ours";
  HandOffServer other;
  std::string error;
  EXPECT_FALSE(other.Listen(&error));
  EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
  std::ifstream kept(Path());
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "not ours");
}

}  // namespace
