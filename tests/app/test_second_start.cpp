// A second start of the real program while a window runs: the window is
// this test process (offscreen, holding the instance lock and serving the
// window-class channel), the second start is the built `lumaset` program.
#include <sys/socket.h>
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

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "platform/single_instance.h"
#include "tests/ui/window_test.h"
#include "ui/handoff.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

namespace fs = std::filesystem;

namespace lumaset::test {
namespace {

class SecondStart : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    std::string error;
    ASSERT_EQ(lock_.Acquire(&error), platform::LockResult::kFirst) << error;
    sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{});
    ASSERT_TRUE(sim_->Started());
    MapCom(1, JsonField(sim_->Ready(), "device"));
    ASSERT_TRUE(Start());
  }

  // Starts the built program with these arguments; it must not touch any
  // settings file, so it is given one that does not exist.
  void StartSecond(const QStringList& args, const QString& folder = {}) {
    std::vector<std::string> argv{BuiltProgram("lumaset")};
    for (const QString& a : args) argv.push_back(a.toStdString());
    ChildProcess::Options options;
    options.env = {{"LUMASET_REGISTRY", untouched_.string()}};
    options.folder = folder.toStdString();
    options.captureStderr = true;
    child_ = std::make_unique<ChildProcess>(argv, options);
    ASSERT_TRUE(child_->Started());
  }
  bool SecondRuns() { return child_ && child_->Running(); }
  // Waits for the second start to end (running this process's loop, which
  // serves it) and returns its exit code.
  int FinishSecond(int timeoutMs = 20000) {
    EXPECT_TRUE(WaitFor([&] { return !SecondRuns(); }, timeoutMs));
    EXPECT_FALSE(fs::exists(untouched_)) << "the second start wrote settings";
    return child_->Wait(0);
  }

  platform::InstanceLock lock_;
  std::unique_ptr<HostSimProcess> sim_;
  std::unique_ptr<ChildProcess> child_;
  fs::path untouched_ = Dir().Path() / "second-start.reg";
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

}  // namespace
}  // namespace lumaset::test
