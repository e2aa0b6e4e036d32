// A second start of the real program while a window runs: the window is
// this test process (offscreen, holding the instance lock and serving the
// window-class channel), the second start is the built `lumaset` program.
// Where the window itself must be a process of its own (a quit signal, a
// second runtime folder), it is the built program too.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "app/native_bytes.h"
#include "app/resource_ui.h"
#include "platform/handoff_block.h"
#include "platform/single_instance.h"
#include "resources/resource_ids.h"
#include "tests/ui/window_test.h"
#include "ui/handoff.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

namespace fs = std::filesystem;

namespace lumaset::test {
namespace {

// The window of this process holds the lock; second starts are the built
// program.
class SecondStartBase : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    std::string error;
    ASSERT_EQ(lock_.Acquire(&error), platform::LockResult::kFirst) << error;
  }

  // The built program with these arguments (bytes as given); it must not
  // touch any settings file, so it is given one that does not exist.
  std::unique_ptr<ChildProcess> Second(const std::vector<std::string>& args, const std::string& folder = {},
                                       const std::vector<std::pair<std::string, std::string>>& env = {}) {
    std::vector<std::string> argv{BuiltProgram("lumaset")};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.env = {{"LUMASET_REGISTRY", untouched_.string()}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.folder = folder;
    options.captureStderr = true;
    auto child = std::make_unique<ChildProcess>(argv, options);
    EXPECT_TRUE(child->Started());
    return child;
  }
  void StartSecond(const QStringList& args, const QString& folder = {}) {
    std::vector<std::string> bytes;
    for (const QString& a : args) bytes.push_back(a.toStdString());
    child_ = Second(bytes, folder.toStdString());
  }
  bool SecondRuns() { return child_ && child_->Running(); }
  // Waits for a second start to end (running this process's loop, which
  // serves it) and returns its exit code.
  int Finish(ChildProcess& child, int timeoutMs = 20000) {
    EXPECT_TRUE(WaitFor([&] { return !child.Running(); }, timeoutMs));
    EXPECT_FALSE(fs::exists(untouched_)) << "the second start wrote settings";
    return child.Wait(0);
  }
  int FinishSecond(int timeoutMs = 20000) { return Finish(*child_, timeoutMs); }

  platform::InstanceLock lock_;
  std::unique_ptr<ChildProcess> child_;
  fs::path untouched_ = Dir().Path() / "second-start.reg";
};

// ... against the simulator, started before each test.
class SecondStart : public SecondStartBase {
 protected:
  void SetUp() override {
    SecondStartBase::SetUp();
    sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{});
    ASSERT_TRUE(sim_->Started());
    MapCom(1, JsonField(sim_->Ready(), "device"));
    ASSERT_TRUE(Start());
  }

  std::unique_ptr<HostSimProcess> sim_;
};

TEST_F(SecondStart, AFileAndOneAsksHereAndTheSecondStartWaitsForTheAnswer) {
  const auto file = Dir().File("job.pgu", RandomBytes(3000, 7));
  bool childWaited = false;
  int mode = -1;
  driver_.AnswerBox(QMessageBox::Yes, 1500, [&](QWidget*) {
    childWaited = SecondRuns();
    mode = View()->SerialLink().GetDownloadMode();
  });
  StartSecond({QString::fromStdString(file.string()), QStringLiteral("1")});
  ASSERT_TRUE(driver_.WaitDone(20000));
  EXPECT_EQ(FinishSecond(), 0);
  EXPECT_TRUE(childWaited) << "the second start ended before the question was answered";
  EXPECT_EQ(mode, 1);
  ASSERT_FALSE(WaitEvent(*sim_, "download-done", "user", 30000).empty());
  EXPECT_EQ(sim_->Received("-user.pgu"), RandomBytes(3000, 7));
  EXPECT_EQ(App()->Document()->PathName(), QString::fromStdString(file.string()));
  EXPECT_EQ(App()->RecentFiles().value(0), QString::fromStdString(file.string()));
}

// The argument vector the desktop starts for the installed entry's Exec line
// with one local file (%f), the program being the built one. Exec words are
// separated by spaces; the file is always one word, whatever it contains.
std::vector<std::string> DesktopCommand(const std::string& file) {
  std::ifstream in(LUMASET_DESKTOP_ENTRY);
  std::string line, exec;
  while (std::getline(in, line))
    if (line.rfind("Exec=", 0) == 0) exec = line.substr(5);
  std::vector<std::string> argv;
  std::istringstream words(exec);
  std::string word;
  while (words >> word) {
    if (argv.empty() && word == "lumaset") word = BuiltProgram("lumaset");
    if (word == "%f") word = file;
    argv.push_back(word);
  }
  return argv;
}

TEST_F(SecondStart, TheDesktopEntryHandsOverAFileWithSpacesLikeTheCommandLine) {
  // A name with spaces whose last word is a number: it must stay the file
  // name, with download mode 0, not become "my" plus a mode.
  fs::create_directories(Dir().Path() / "my programs");
  const auto file = Dir().File("my programs/job 1", RandomBytes(1500, 11));
  const auto argv = DesktopCommand(file.string());
  ASSERT_EQ(argv.size(), 2u) << "the entry starts the program with the file alone";
  ASSERT_EQ(argv[0], BuiltProgram("lumaset"));
  int mode = -1;
  driver_.AnswerBox(QMessageBox::No, 0, [&](QWidget*) { mode = View()->SerialLink().GetDownloadMode(); });
  ChildProcess::Options options;
  options.env = {{"LUMASET_REGISTRY", untouched_.string()}};
  options.captureStderr = true;
  child_ = std::make_unique<ChildProcess>(argv, options);
  ASSERT_TRUE(child_->Started());
  ASSERT_TRUE(driver_.WaitDone(20000));
  EXPECT_EQ(FinishSecond(), 0) << child_->Stderr();
  EXPECT_EQ(mode, 0);
  ASSERT_FALSE(WaitEvent(*sim_, "download-done", "user", 30000).empty());
  EXPECT_EQ(sim_->Received("-user.pgu"), RandomBytes(1500, 11));
  EXPECT_EQ(App()->Document()->PathName(), QString::fromStdString(file.string()));
}

TEST_F(SecondStart, WithoutArgumentsNothingIsAskedOrSent) {
  StartSecond({});
  EXPECT_EQ(FinishSecond(), 0);
  QTest::qWait(200);
  EXPECT_TRUE(driver_.BoxTexts().isEmpty());
  EXPECT_TRUE(sim_->Wait("announce", "", 300).empty());
  EXPECT_TRUE(App()->Document()->PathName().isEmpty());
}

TEST_F(SecondStart, ARelativeNameIsTheRunningInstancesOwn) {
  // The file lies in this process's folder; the second start runs elsewhere.
  const QString name = QStringLiteral("handoff-relative-%1.pgu").arg(getpid());
  QFile file(QDir::current().filePath(name));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("\x01\x02\x03", 3);
  file.close();
  driver_.AnswerBox(QMessageBox::No);
  StartSecond({name, QStringLiteral("0")}, QString::fromStdString(Dir().Path().string()));
  ASSERT_TRUE(driver_.WaitDone(20000));
  EXPECT_EQ(FinishSecond(), 0);
  EXPECT_EQ(App()->Document()->PathName(), QDir::current().filePath(name));
  EXPECT_FALSE(WaitEvent(*sim_, "download-done", "user", 30000).empty());
  QFile::remove(QDir::current().filePath(name));
}

TEST_F(SecondStart, GarbageAndTooLongNamesChangeNothing) {
  // A peer that sends garbage, and one that sends nothing at all.
  std::string error;
  const std::string socketPath = HandOffSocketPath(&error);
  ASSERT_FALSE(socketPath.empty()) << error;
  auto connectRaw = [&] {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  };
  const int silent = connectRaw();
  const int garbage = connectRaw();
  const char junk[] = "GET / HTTP/1.0\r\n\r\n\xff\xfe\x00\x01 and more junk to make it longer than a record";
  ASSERT_GT(write(garbage, junk, sizeof junk), 0);
  QTest::qWait(300);

  StartSecond({QString(600, QLatin1Char('a')) + QStringLiteral(".pgu"), QStringLiteral("1")});
  EXPECT_NE(FinishSecond(), 0) << "a name that does not fit is refused";
  EXPECT_NE(child_->Stderr().find("519"), std::string::npos) << "the refusal says why: " << child_->Stderr();
  QTest::qWait(200);
  EXPECT_TRUE(driver_.BoxTexts().isEmpty());
  EXPECT_TRUE(App()->Document()->PathName().isEmpty());
  EXPECT_TRUE(Frame()->isVisible());

  // A real hand-off still works with the silent peer still connected.
  driver_.AnswerBox(QMessageBox::Cancel);
  StartSecond({QString::fromStdString(Dir().File("x.pgu", {1}).string()), QStringLiteral("0")});
  ASSERT_TRUE(driver_.WaitDone(20000));
  EXPECT_EQ(FinishSecond(), 0);
  close(silent);
  close(garbage);
}

// ---- several at once, from a terminal, names as bytes ----------------------

TEST_F(SecondStart, ThreeStartsAtOnceEachHandOverTheirOwnFileOnce) {
  // A file manager opening three files: three second starts at one moment,
  // each with its own mode.
  std::vector<int32_t> modes;
  int waitingAtFirst = 0;
  std::vector<std::unique_ptr<ChildProcess>> starts;
  for (int i = 0; i < 3; ++i)
    driver_.AnswerBox(QMessageBox::Cancel, 300, [&](QWidget*) {
      if (modes.empty()) {
        for (auto& s : starts) waitingAtFirst += s->Running() ? 1 : 0;
      }
      modes.push_back(View()->SerialLink().GetDownloadMode());
    });
  QStringList files;
  for (int i = 0; i < 3; ++i) {
    const auto file = Dir().File(std::string(1, static_cast<char>('a' + i)) + ".pgu", {static_cast<uint8_t>(i)});
    files << QString::fromStdString(file.string());
    starts.push_back(Second({file.string(), std::to_string(10 + i)}));
  }
  ASSERT_TRUE(driver_.WaitDone(30000));
  for (auto& s : starts) EXPECT_EQ(Finish(*s), 0) << s->Stderr();
  std::sort(modes.begin(), modes.end());
  EXPECT_EQ(modes, (std::vector<int32_t>{10, 11, 12})) << "a hand-off was read twice or lost";
  EXPECT_EQ(waitingAtFirst, 3) << "a start ended before its question was answered";
  QStringList recent = App()->RecentFiles().mid(0, 3);
  recent.sort();
  EXPECT_EQ(recent, files);
  QTest::qWait(300);
  EXPECT_EQ(driver_.BoxTexts().size(), 3);
}

TEST_F(SecondStart, FromATerminalWithoutDisplayANameThatIsNotUtf8AndANegativeNumberArriveAsGiven) {
  // No display at all: a second start that made a window-system object would
  // end at once. The name holds Latin-1 bytes (0xE9), which are no UTF-8.
  const std::vector<std::pair<std::string, std::string>> headless = {
      {"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  const auto file = Dir().File("r\xe9sum\xe9.pgu", RandomBytes(800, 5));
  int32_t mode = 0;
  driver_.AnswerBox(QMessageBox::Cancel, 0, [&](QWidget*) { mode = View()->SerialLink().GetDownloadMode(); });
  child_ = Second({file.string(), "-1"}, {}, headless);
  ASSERT_TRUE(driver_.WaitDone(20000)) << child_->Stderr();
  EXPECT_EQ(FinishSecond(), 0) << child_->Stderr();
  EXPECT_EQ(mode, -1) << "the number after the name is not an option";
  EXPECT_EQ(NativeFileName(App()->Document()->PathName()), file.string());

  // Downloaded by its bytes.
  driver_.AnswerBox(QMessageBox::No);
  child_ = Second({file.string()}, {}, headless);
  ASSERT_TRUE(driver_.WaitDone(20000)) << child_->Stderr();
  EXPECT_EQ(FinishSecond(), 0) << child_->Stderr();
  ASSERT_FALSE(WaitEvent(*sim_, "download-done", "user", 30000).empty());
  EXPECT_EQ(sim_->Received("-user.pgu"), RandomBytes(800, 5));
}

// ---- while the window is being made ----------------------------------------

TEST_F(SecondStartBase, AStartDuringTheStartUpBoxIsHandledOnceTheWindowIsMade) {
  // COM 1 leads nowhere: the start-up shows a box while the window is made.
  MapCom(1, (Dir().Path() / "no-such-port").string());
  const auto file = Dir().File("early.pgu", {1, 2, 3});
  QString first, second;
  bool waitedThrough = false;
  int32_t mode = -1;
  driver_.AnswerBox(QMessageBox::Ok, 2500, [&](QWidget* w) {
    first = qobject_cast<QMessageBox*>(w)->text();
    waitedThrough = SecondRuns();
  });
  driver_.AnswerBox(QMessageBox::Cancel, 0, [&](QWidget* w) {
    second = qobject_cast<QMessageBox*>(w)->text();
    mode = View()->SerialLink().GetDownloadMode();
  });
  // Started first: it finds the lock taken but no socket yet, and tries
  // again until the window listens.
  StartSecond({QString::fromStdString(file.string()), QStringLiteral("1")});
  ASSERT_TRUE(Start());
  ASSERT_TRUE(driver_.WaitDone(20000));
  EXPECT_EQ(FinishSecond(), 0) << child_->Stderr();
  EXPECT_TRUE(waitedThrough) << "the second start ended during the start-up box: " << child_->Stderr();
  EXPECT_TRUE(first.startsWith(resui::String(res::kStrPortMissing))) << first.toStdString();
  EXPECT_EQ(second, resui::String(res::kStrUserProgramQuestion)) << "the hand-off was handled inside the start-up";
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(App()->Document()->PathName(), QString::fromStdString(file.string()));
}

TEST_F(SecondStartBase, ABlockOfSomeoneElseIsToldAndTheWindowOpensWithoutTheHandOff) {
  const fs::path runtime = std::getenv("XDG_RUNTIME_DIR");
  const fs::path block = runtime / "MYKRV.MAPTAVLORIX";
  fs::remove(block);
  std::ofstream(block) << std::string(524, '\0');
  chmod(block.c_str(), 0644);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(block.c_str(), 65534, 65534), 0);
  }
  HostSimProcess sim({});
  ASSERT_TRUE(sim.Started());
  MapCom(1, JsonField(sim.Ready(), "device"));
  QString text;
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) { text = qobject_cast<QMessageBox*>(w)->text(); });
  const bool started = Start();
  fs::remove(block);
  ASSERT_TRUE(started);
  EXPECT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(text.contains(QString::fromStdString(block.string()))) << text.toStdString();
  EXPECT_TRUE(Frame()->isVisible());
  EXPECT_EQ(App()->HandOff(), nullptr);
  EXPECT_FALSE(fs::exists(runtime / "KRV_MY_TAVLORA_CLASS_KRV")) << "nothing listens in vain";
}

// ---- windows of their own ----------------------------------------------------

// The built program as the window, with its own settings (and recent files)
// and runtime folder.
struct WindowProcess {
  WindowProcess(const fs::path& runtime, const fs::path& settings, const std::string& device) {
    ChildProcess::Options options;
    options.env = {{"XDG_RUNTIME_DIR", runtime.string()},
                   {"LUMASET_REGISTRY", settings.string()},
                   {"XDG_CONFIG_HOME", (settings.parent_path() / "config").string()},
                   {"LUMASET_COM1", device}};
    options.captureStderr = true;
    process = std::make_unique<ChildProcess>(std::vector<std::string>{BuiltProgram("lumaset")}, options);
  }
  // Ends it with SIGTERM; its exit status, -1 when it did not end cleanly
  // within the bound.
  int Quit() {
    process->Signal(SIGTERM);
    return process->Wait(20000);
  }
  std::unique_ptr<ChildProcess> process;
};

// The settings file's inode: the exit step's save puts a new file in place.
ino_t InodeOf(const fs::path& file) {
  struct stat st{};
  return stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(SecondStart, WindowsInTwoRuntimeFoldersTakeOnlyTheirOwnAndAQuitSignalEndsOneWithItsQuestionOpen) {
  // Another window of the same user, in another runtime folder (another
  // session), against a host of its own.
  TempDir otherRuntime("lumaset-other-runtime");
  chmod(otherRuntime.Path().c_str(), 0700);
  HostSimProcess otherHost({});
  ASSERT_TRUE(otherHost.Started());
  const fs::path otherSettings = Dir().Path() / "other.reg";
  WindowProcess other(otherRuntime.Path(), otherSettings, JsonField(otherHost.Ready(), "device"));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(otherRuntime.Path() / "KRV_MY_TAVLORA_CLASS_KRV"); }, 20000));
  // Its second start: the other window asks its question, which nobody
  // answers.
  const auto theirs = Dir().File("theirs.pgu", {9});
  auto theirStart = Second({theirs.string(), "3"}, {}, {{"XDG_RUNTIME_DIR", otherRuntime.Path().string()}});
  QTest::qWait(1500);
  ASSERT_TRUE(theirStart->Running()) << theirStart->Stderr();
  const ino_t loaded = InodeOf(otherSettings);
  ASSERT_NE(loaded, 0u);

  // A hand-off here whose sender wrote no block of this folder: this window
  // finds its own block, with nothing in it, and asks nothing.
  std::string error;
  const std::string socketPath = HandOffSocketPath(&error);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  unsigned char request[handoff::kRequestSize], reply[handoff::kReplySize];
  handoff::EncodeRequest({handoff::kSendMessage, kHandOffMessage, kHandOffWParam, kHandOffLParam, {}}, request);
  ASSERT_EQ(write(fd, request, sizeof request), static_cast<ssize_t>(sizeof request));
  size_t got = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const ssize_t n = recv(fd, reply + got, sizeof reply - got, MSG_DONTWAIT);
        if (n > 0) got += static_cast<size_t>(n);
        return got == sizeof reply;
      },
      10000));
  close(fd);
  int32_t result = 0;
  EXPECT_TRUE(handoff::DecodeReply(reply, handoff::kSendMessage, &result) && result == 1);
  QTest::qWait(300);
  EXPECT_TRUE(driver_.BoxTexts().isEmpty()) << driver_.BoxTexts().join(QStringLiteral(" | ")).toStdString();
  EXPECT_TRUE(App()->Document()->PathName().isEmpty());

  // SIGTERM with the other window's question open: it closes the question,
  // ends cleanly and writes its settings; its second start learns that the
  // file was not taken.
  EXPECT_EQ(other.Quit(), 0) << other.process->Stderr();
  EXPECT_EQ(Finish(*theirStart), 1);
  EXPECT_NE(theirStart->Stderr().find("before answering"), std::string::npos) << theirStart->Stderr();
  EXPECT_NE(InodeOf(otherSettings), loaded) << "the settings were not saved";
  EXPECT_FALSE(fs::exists(otherRuntime.Path() / "KRV_MY_TAVLORA_CLASS_KRV")) << "the socket goes with the window";
}

TEST(SecondStartFolder, AnUnusableLockIsToldAndTheWindowStillOpensAndEndsCleanly) {
  // The lock's place is taken by a folder: the single-instance lock cannot
  // be had. The program says so and opens its window all the same (a box it
  // shows at start-up, which a quit signal closes).
  TempDir runtime("lumaset-runtime");
  chmod(runtime.Path().c_str(), 0700);
  fs::create_directory(runtime.Path() / "KRV_MY_TAVLORA_MUTEX");
  TempDir config("lumaset-config");
  HostSimProcess host({});
  ASSERT_TRUE(host.Started());
  const fs::path settings = config.Path() / "Lumaset.reg";
  WindowProcess window(runtime.Path(), settings, JsonField(host.Ready(), "device"));
  QTest::qWait(2000);
  ASSERT_TRUE(window.process->Running()) << "it did not open its window: " << window.process->Stderr();
  const ino_t loaded = InodeOf(settings);
  ASSERT_NE(loaded, 0u);
  EXPECT_EQ(window.Quit(), 0) << window.process->Stderr();
  const std::string said = window.process->Stderr();
  EXPECT_NE(said.find((runtime.Path() / "KRV_MY_TAVLORA_MUTEX").string()), std::string::npos) << said;
  EXPECT_NE(said.find("without the hand-off"), std::string::npos) << said;
  EXPECT_NE(InodeOf(settings), loaded) << "the settings were not saved";
}

}  // namespace
}  // namespace lumaset::test
