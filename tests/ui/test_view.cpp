// The window program against real hosts: the simulator on a pseudo-terminal
// for downloads and commands, a scripted pty host for what the host sends.
// The window runs in this process (offscreen); dialogs are answered by the
// modal driver as an operator would.
#include <QAction>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>

#include <random>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "link/link_events.h"
#include "resources/resource_ids.h"
#include "tests/pty_host.h"
#include "tests/ui/window_test.h"
#include "ui/gradient_progress.h"
#include "ui/image_button.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"
#include "ui/receive_render.h"

namespace lumaset::test {
namespace {

QString Q(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

// A window against the simulator on COM 1.
class SimWindow : public WindowFixture {
 protected:
  void StartWithSim(std::vector<std::string> args = {}) {
    sim_ = std::make_unique<HostSimProcess>(std::move(args));
    ASSERT_TRUE(sim_->Started());
    MapCom(1, JsonField(sim_->Ready(), "device"));
    ASSERT_TRUE(Start());
    ASSERT_TRUE(View()->IsConnected());
  }
  std::unique_ptr<HostSimProcess> sim_;
};

TEST_F(SimWindow, UserProgramFromTheButtonAsksShowsProgressAndArrives) {
  StartWithSim();
  const auto file = Dir().File("job.pgu", RandomBytes(6000, 1));
  const QString description = Frame()->PaneText(0);
  EXPECT_FALSE(description.isEmpty());

  bool defaultIsNo = false;
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::Yes, 0, [&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    defaultIsNo = static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No) &&
                  box->button(QMessageBox::Cancel) != nullptr;
  });
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(defaultIsNo) << "the question has Yes, No and Cancel, No the default";

  bool progressSeen = false;
  ASSERT_TRUE(WaitFor(
      [&] {
        progressSeen = progressSeen || !Frame()->Progress()->isHidden();
        return !View()->SerialLink().IsTransferring() && !sim_->Wait("download-done", "", 5).empty();
      },
      30000));
  WaitFor([&] { return Frame()->PaneText(0) == description; }, 5000);
  EXPECT_TRUE(progressSeen);
  EXPECT_TRUE(Frame()->Progress()->isHidden());
  EXPECT_EQ(Frame()->PaneText(0), description);
  EXPECT_EQ(sim_->Received("-user.pgu"), RandomBytes(6000, 1));
  EXPECT_FALSE(Button(res::kIdUserProgram)->DisabledLook());
  // The success is confirmed beside the link: kind, name and size.
  const QString result = Frame()->ResultText();
  EXPECT_TRUE(result.startsWith(QStringLiteral("User program job.pgu loaded: ") + QLocale().toString(6000) +
                                QStringLiteral(" bytes in ")))
      << result.toStdString();
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

TEST_F(SimWindow, CancellingTheQuestionSendsNothing) {
  StartWithSim();
  const auto file = Dir().File("job.pgu", RandomBytes(100, 2));
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::Cancel);
  ClickButton(res::kIdUserProgramFast);
  ASSERT_TRUE(driver_.WaitDone());
  // The mode of the button stays set although nothing was sent.
  EXPECT_EQ(View()->SerialLink().GetDownloadMode(), 1);
  EXPECT_TRUE(WaitEvent(*sim_, "announce", "", 1000).empty());
  EXPECT_FALSE(View()->SerialLink().IsTransferring());
}

TEST_F(SimWindow, TouchPanelProgramOverTheSerialLink) {
  StartWithSim();
  const auto file = Dir().File("panel.tps", RandomBytes(1500, 3));
  driver_.ChooseFile(Q(file));
  ClickButton(res::kIdTouchProgram);
  ASSERT_TRUE(driver_.WaitDone());
  const std::string done = WaitEvent(*sim_, "download-done", "touch", 30000);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(sim_->Received("-touch.tps"), RandomBytes(1500, 3));
}

TEST_F(SimWindow, HostCommandsAndTheClockFromTheMenu) {
  StartWithSim();
  Trigger(res::kCmdHost2);
  EXPECT_EQ(JsonField(WaitEvent(*sim_, "command"), "index"), "2");
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("Sent to the host: Ask the host for its version. The host answered."));
  // What cannot be undone is asked first, naming what happens; No sends
  // nothing, Yes sends.
  QString question;
  driver_.AnswerBox(QMessageBox::No, 0, [&](QWidget* w) { question = qobject_cast<QMessageBox*>(w)->text(); });
  Trigger(res::kCmdHost13);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(question.contains(QStringLiteral("factory settings"))) << question.toStdString();
  EXPECT_TRUE(WaitEvent(*sim_, "command", "", 1000).empty()) << "No sends nothing";
  driver_.AnswerBox(QMessageBox::Yes);
  Trigger(res::kCmdHost13);
  EXPECT_EQ(JsonField(WaitEvent(*sim_, "command"), "index"), "13");
  Trigger(res::kCmdSetClock);
  const std::string clock = WaitEvent(*sim_, "clock");
  EXPECT_EQ(JsonField(clock, "validBcd"), "true") << clock;
  EXPECT_TRUE(Frame()->ResultText().startsWith(QStringLiteral("Host clock set to "))) << Frame()->ResultText().toStdString();
  // The command-bar button of host command 3 asks as its menu item does, and
  // so does erasing the user program.
  driver_.AnswerBox(QMessageBox::Yes, 0, [&](QWidget* w) { question = qobject_cast<QMessageBox*>(w)->text(); });
  ClickButton(res::kIdHostCommand3);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(question.startsWith(QStringLiteral("Restart the host?"))) << question.toStdString();
  EXPECT_EQ(JsonField(WaitEvent(*sim_, "command"), "index"), "3");
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("Sent to the host: Restart the host. The host answered."));
  driver_.AnswerBox(QMessageBox::No, 0, [&](QWidget* w) { question = qobject_cast<QMessageBox*>(w)->text(); });
  Trigger(res::kCmdHost8);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(question.startsWith(QStringLiteral("Erase the user program"))) << question.toStdString();
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

TEST_F(SimWindow, AHostThatDoesNotAnswerIsToldInTheStatusBar) {
  StartWithSim({"--fault", "silent"});
  // The probe fails: the operator declines the search, and the status bar
  // says the command was not sent.
  driver_.AnswerBox(QMessageBox::Cancel);
  Trigger(res::kCmdHost9);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("Not sent: Ask the host for its status. The host did not answer."));
  // A display command keeps it; the next command clears it.
  Trigger(res::kCmdHexDisplay);
  EXPECT_FALSE(Frame()->ResultText().isEmpty());
  ClickButton(res::kIdConnect);
  EXPECT_TRUE(Frame()->ResultText().isEmpty());
}

TEST_F(SimWindow, FailuresAreToldInABoxNamingFileAndReasonAndStayInTheStatusBar) {
  StartWithSim({"--fault", "no-final-ack"});
  const QString description = Frame()->PaneText(0);
  const auto file = Dir().File("base.pgs", RandomBytes(3000, 5));
  QString box;
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) { box = qobject_cast<QMessageBox*>(w)->text(); });
  ClickButton(res::kIdSystemProgram);
  ASSERT_TRUE(driver_.WaitDone(30000));
  EXPECT_TRUE(box.startsWith(QStringLiteral("System program base.pgs was not loaded into the host."))) << box.toStdString();
  EXPECT_TRUE(box.contains(QStringLiteral("closing answer"))) << box.toStdString();
  EXPECT_TRUE(box.contains(QDir::toNativeSeparators(Q(file)))) << "the box names the file";
  EXPECT_EQ(Frame()->PaneText(0), description) << "pane 0 shows the link again";
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("System program base.pgs was not loaded into the host."));
}

TEST_F(SimWindow, AnAnnouncementTheHostDoesNotAcceptIsToldToo) {
  StartWithSim({"--fault", "wrong-ack"});
  const auto file = Dir().File("job.pgu", RandomBytes(500, 6));
  QString box;
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::No);
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) { box = qobject_cast<QMessageBox*>(w)->text(); });
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone(15000));
  EXPECT_TRUE(box.contains(QStringLiteral("did not accept the announcement"))) << box.toStdString();
  EXPECT_TRUE(Frame()->ResultText().startsWith(QStringLiteral("User program job.pgu was not loaded")));
}

TEST_F(SimWindow, DuringATransferTheMenuAndTheProgramButtonsAreDisabled) {
  StartWithSim({"--pace"});
  const auto file = Dir().File("big.pgu", RandomBytes(40000, 4));
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::No);
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone());
  ASSERT_TRUE(WaitFor([&] { return !Frame()->Progress()->isHidden(); }, 10000));
  for (unsigned id : {res::kCmdSendFile, res::kCmdHost13, res::kCmdLinkSettings, res::kCmdSetClock, res::kCmdHost0,
                      res::kCmdBaudSearch})
    EXPECT_FALSE(Frame()->CommandStateOf(id).enabled) << id;
  EXPECT_TRUE(Frame()->CommandStateOf(res::kCmdClear).enabled);
  for (unsigned id : {res::kIdUserProgram, res::kIdUserProgramFast, res::kIdSystemProgram, res::kIdSystemProgramFast,
                      res::kIdTouchProgram, res::kIdHostCommand3})
    EXPECT_TRUE(Button(id)->DisabledLook()) << id;
  EXPECT_FALSE(Button(res::kIdStop)->DisabledLook());
  // Closing the window asks first; No keeps the transfer and the window.
  QString question;
  driver_.AnswerBox(QMessageBox::No, 0, [&](QWidget* w) { question = qobject_cast<QMessageBox*>(w)->text(); });
  EXPECT_FALSE(Frame()->close());
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(question.startsWith(QStringLiteral("A download is running."))) << question.toStdString();
  EXPECT_TRUE(Frame()->isVisible());
  EXPECT_TRUE(View()->SerialLink().IsTransferring()) << "the answer No keeps it running";
  // Stop: the transfer ends cancelled, the controls come back; a stop the
  // operator asked for is told in the status bar, without a box.
  ClickButton(res::kIdStop);
  EXPECT_TRUE(WaitFor([&] { return !View()->SerialLink().IsTransferring(); }, 10000));
  EXPECT_TRUE(WaitFor([&] { return !Button(res::kIdUserProgram)->DisabledLook(); }, 5000));
  EXPECT_TRUE(Frame()->Progress()->isHidden());
  EXPECT_TRUE(WaitFor([&] { return Frame()->ResultText().startsWith(QStringLiteral("Stopped: User program big.pgu")); },
                      5000))
      << Frame()->ResultText().toStdString();
  QTest::qWait(200);
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

TEST_F(SimWindow, DisabledLookButtonsSendNothing) {
  StartWithSim();
  ClickButton(res::kIdConnect);  // disconnect
  ASSERT_FALSE(View()->IsConnected());
  ASSERT_TRUE(Button(res::kIdSystemProgram)->DisabledLook());
  EXPECT_EQ(Button(res::kIdConnect)->CommandId(), res::kIdConnect);
  ClickButton(res::kIdSystemProgram);
  QTest::qWait(300);
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << "no file dialog may open";
  ClickButton(res::kIdConnect);
  EXPECT_TRUE(View()->IsConnected());
  EXPECT_EQ(Button(res::kIdConnect)->CommandId(), res::kIdDisconnect);
}

TEST_F(SimWindow, APortThatGoesAwayIsToldAndTheSameDeviceIsTakenBackByItself) {
  const std::string link = (Dir().Path() / "host").string();
  sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{"--link", link});
  ASSERT_TRUE(sim_->Started());
  MapCom(1, link);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  // The host's end closes, as an unplugged adapter's does: noticed while
  // idle, the link closes and the commands that need it are disabled.
  sim_->Stop();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsConnected(); }, 5000));
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("COM 1 (%1) is gone; reconnecting when it is back.").arg(Q(link)));
  EXPECT_EQ(Frame()->PaneText(0), QStringLiteral("Not connected"));
  EXPECT_TRUE(Button(res::kIdUserProgram)->DisabledLook());
  EXPECT_TRUE(Button(res::kIdHostCommand3)->DisabledLook());
  EXPECT_FALSE(Frame()->CommandStateOf(res::kCmdHost2).enabled);
  // The same device comes back at the same path: the window takes it again.
  sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{"--link", link});
  ASSERT_TRUE(sim_->Started());
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }, 5000));
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("COM 1 (%1) is back: connected again.").arg(Q(link)));
  Trigger(res::kCmdHost2);
  EXPECT_EQ(JsonField(WaitEvent(*sim_, "command"), "index"), "2");
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

TEST_F(SimWindow, AnUnplugDuringADownloadEndsItWithTheBoxThenTheLinkCloses) {
  StartWithSim({"--pace"});
  const auto file = Dir().File("big.pgu", RandomBytes(40000, 7));
  QString box;
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::No);
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone());
  ASSERT_TRUE(WaitFor([&] { return !Frame()->Progress()->isHidden(); }, 10000));
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) { box = qobject_cast<QMessageBox*>(w)->text(); });
  sim_->Stop();
  ASSERT_TRUE(driver_.WaitDone(15000));
  EXPECT_TRUE(box.startsWith(QStringLiteral("User program big.pgu was not loaded into the host."))) << box.toStdString();
  EXPECT_TRUE(box.contains(QStringLiteral("connection was lost"))) << box.toStdString();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsConnected(); }, 5000));
  EXPECT_TRUE(Frame()->ResultText().contains(QStringLiteral(" is gone;"))) << Frame()->ResultText().toStdString();
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

TEST_F(SimWindow, AFifoIsRefusedInsteadOfBlockingTheWindow) {
  StartWithSim();
  const auto fifo = Dir().Path() / "pipe.pgu";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  driver_.ChooseFile(Q(fifo));
  driver_.AnswerBox(QMessageBox::Ok);
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone(5000));
  ASSERT_FALSE(driver_.BoxTexts().isEmpty());
  EXPECT_TRUE(driver_.BoxTexts().last().contains(Q(fifo))) << driver_.BoxTexts().last().toStdString();
}

// ---- received bytes ---------------------------------------------------------------

// COM 1 behind a serial device server (ser2net): the window names the URL,
// loads a program through it, and when the server goes away and comes back
// on the same address, connects again by itself.
TEST_F(SimWindow, ThroughADeviceServerItLoadsAndComesBackWithTheServer) {
  sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{});
  ASSERT_TRUE(sim_->Started());
  const std::string device = JsonField(sim_->Ready(), "device");
  auto server = std::make_unique<DeviceServer>(DeviceServer::Kind::kSer2net, device);
  if (!server->Started()) GTEST_SKIP() << server->Missing();
  const QString url = QString::fromStdString(server->Url());
  MapCom(1, server->Url());
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  EXPECT_TRUE(Frame()->PaneText(0).contains(url)) << Frame()->PaneText(0).toStdString();

  const auto file = Dir().File("job.pgu", RandomBytes(3000, 5));
  driver_.ChooseFile(Q(file));
  driver_.AnswerBox(QMessageBox::Yes);
  ClickButton(res::kIdUserProgram);
  ASSERT_TRUE(driver_.WaitDone());
  ASSERT_FALSE(WaitEvent(*sim_, "download-done", "user", 30000).empty());
  EXPECT_EQ(sim_->Received("-user.pgu"), RandomBytes(3000, 5));
  ASSERT_TRUE(WaitFor([&] { return Frame()->ResultText().startsWith(QStringLiteral("User program job.pgu loaded")); },
                      10000))
      << Frame()->ResultText().toStdString();

  const uint16_t port = server->Port();
  server->Kill();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsConnected(); }, 5000));
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("COM 1 (%1) is gone; reconnecting when it is back.").arg(url));
  DeviceServer::Options same;
  same.port = port;
  server = std::make_unique<DeviceServer>(DeviceServer::Kind::kSer2net, device, same);
  ASSERT_TRUE(server->Started()) << server->Missing();
  ASSERT_TRUE(WaitFor([&] { return View()->IsConnected(); }, 8000));
  EXPECT_EQ(Frame()->ResultText(), QStringLiteral("COM 1 (%1) is back: connected again.").arg(url));
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
}

// A raw port's rate is fixed on its server: the baud search says so in a box
// and sends nothing.
TEST_F(SimWindow, TheBaudSearchOfARawServerPortIsRefusedInABox) {
  sim_ = std::make_unique<HostSimProcess>(std::vector<std::string>{});
  ASSERT_TRUE(sim_->Started());
  DeviceServer::Options raw;
  raw.raw = true;
  DeviceServer server(DeviceServer::Kind::kSer2net, JsonField(sim_->Ready(), "device"), raw);
  if (!server.Started()) GTEST_SKIP() << server.Missing();
  MapCom(1, server.Url());
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  driver_.AnswerBox(QMessageBox::Ok);
  Trigger(res::kCmdBaudSearch);
  ASSERT_TRUE(driver_.WaitDone());
  ASSERT_EQ(driver_.BoxTexts().size(), 1);
  EXPECT_TRUE(driver_.BoxTexts()[0].contains(QString::fromStdString(server.Url()))) << driver_.BoxTexts()[0].toStdString();
  EXPECT_TRUE(driver_.BoxTexts()[0].contains(QStringLiteral("socket://")));
  EXPECT_TRUE(View()->IsConnected());
  EXPECT_TRUE(WaitEvent(*sim_, "probe", "", 500).empty());
}

class PtyWindow : public WindowFixture {
 protected:
  void StartWithPty() {
    MapCom(1, host_.SlavePath());
    ASSERT_TRUE(Start());
    ASSERT_TRUE(View()->IsConnected());
  }
  // Writes the bytes and waits until the log holds `total` bytes and the
  // display has drawn them.
  void Receive(const Bytes& bytes, size_t total) {
    host_.Write(bytes);
    ASSERT_TRUE(WaitFor([&] { return App()->Document()->LogLength() >= total && !View()->IsUpdateLocked(); }))
        << App()->Document()->LogLength();
  }
  PtyHost host_;
};

TEST_F(PtyWindow, TextAndHexOfTheSameBytes) {
  StartWithPty();
  Receive({0x41, 0x0D, 0xFF}, 3);
  EXPECT_TRUE(View()->toPlainText().startsWith(QLatin1Char('A')));
  Trigger(res::kCmdHexDisplay);
  EXPECT_EQ(View()->toPlainText(), QStringLiteral("41  0D  FF  "));
  Receive({0x00, 0x10}, 5);
  EXPECT_EQ(View()->toPlainText(), QStringLiteral("41  0D  FF  00  10  "));
  // Back to text: a zero byte ends what is shown; the log keeps all.
  Trigger(res::kCmdHexDisplay);
  EXPECT_FALSE(View()->toPlainText().contains(QChar(0x2410)));
  EXPECT_EQ(App()->Document()->LogLength(), 5u);
  Trigger(res::kCmdClear);
  EXPECT_EQ(View()->toPlainText(), QString());
  EXPECT_EQ(App()->Document()->LogLength(), 0u);
}

TEST_F(PtyWindow, ACodePage936CharacterSplitBetweenTwoTakes) {
  StartWithPty();
  Receive({0xD6}, 1);  // first byte of 中
  Receive({0xD0, 0xCE, 0xC4, 0x0D, 0x0A}, 6);
  EXPECT_EQ(View()->toPlainText(), QStringLiteral("中文\n"));
}

TEST_F(PtyWindow, TheLineLimitEmptiesDisplayAndLog) {
  SetDword("MAXLINE", 3);
  StartWithPty();
  Receive({'1', '\r', '\n', '2', '\r', '\n', '3', '\r', '\n', '4', '\r', '\n'}, 12);
  ASSERT_GT(View()->DisplayLineCount(), 3);
  host_.Write({'n', 'e', 'w'});
  EXPECT_TRUE(WaitFor([&] { return View()->toPlainText().endsWith(QLatin1String("new")); }));
  EXPECT_EQ(View()->toPlainText(), QStringLiteral("new"));
  EXPECT_EQ(App()->Document()->LogLength(), 3u);
}

TEST_F(PtyWindow, TheNewestBytesAlwaysShowInHex) {
  // 65,536 characters are 16 KiB in hex, less than a high line limit lets
  // in: the oldest text leaves the display, the log keeps everything.
  SetDword("MAXLINE", 100000);
  StartWithPty();
  Trigger(res::kCmdHexDisplay);
  Bytes chunk(4096, 0x5A);
  size_t total = 0;
  for (int i = 0; i < 5; ++i) {
    total += chunk.size();
    Receive(chunk, total);
  }
  Receive({0x01, 0x02, 0x03}, total + 3);
  const QString text = View()->toPlainText();
  EXPECT_LE(text.size(), kDisplayCharLimit);
  EXPECT_TRUE(text.endsWith(QStringLiteral("5A  01  02  03  "))) << text.right(40).toStdString();
  EXPECT_EQ(App()->Document()->LogLength(), total + 3);
}

TEST_F(PtyWindow, TheLineLimitHoldsInAWideWindowAndTheSavedLogIsWhatIsShown) {
  // The default limit of 1000 lines at a width that wraps 16 KiB of hex
  // into fewer lines: the limit counts 64 columns whatever the width, so
  // display and log are cleared all the same and the log stays bounded.
  StartWithPty();
  ASSERT_EQ(View()->MaxLines(), 1000u);
  Trigger(res::kCmdHexDisplay);
  Frame()->setWindowState(Qt::WindowMaximized);  // lifts the fixed size
  Frame()->resize(1280, 900);
  ASSERT_TRUE(WaitFor([&] { return View()->viewport()->width() > 1000; }, 5000)) << View()->viewport()->width();
  ReceiveRenderer hex;
  hex.SetHex(true);
  Bytes chunk(1000);
  size_t sent = 0;
  for (int i = 0; i < 40; ++i) {
    for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = static_cast<uint8_t>((sent + j) % 251);
    host_.Write(chunk);
    sent += chunk.size();
    const QString tail = hex.Render(chunk.data() + chunk.size() - 4, 4);
    ASSERT_TRUE(WaitFor([&] { return !View()->IsUpdateLocked() && View()->DisplayText().endsWith(tail); })) << i;
    // At most 1000 lines of 16 bytes and one take.
    ASSERT_LE(App()->Document()->LogLength(), 16000u + kReceiveTake);
  }
  const size_t kept = App()->Document()->LogLength();
  EXPECT_LT(kept, sent - 16000) << "cleared twice";
  EXPECT_LT(View()->WrappedLineCount(), View()->DisplayLineCount()) << "the window shows wider lines";
  // What the display shows is the log, and saving writes it.
  const auto saved = Dir().Path() / "log.bin";
  driver_.ChooseFile(Q(saved));
  Trigger(res::kCmdFileSaveAs);
  ASSERT_TRUE(driver_.WaitDone());
  QFile in(Q(saved));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  const QByteArray file = in.readAll();
  EXPECT_EQ(static_cast<size_t>(file.size()), kept);
  EXPECT_EQ(View()->toPlainText(), hex.Render(reinterpret_cast<const uint8_t*>(file.constData()), file.size()));
  QScrollBar* bar = View()->verticalScrollBar();
  EXPECT_EQ(bar->value(), bar->maximum());
  // Paging up scrolls the display and sends nothing to the host.
  View()->setFocus();
  QTest::keyClick(View(), Qt::Key_PageUp);
  EXPECT_EQ(bar->value(), bar->maximum() - bar->pageStep());
  EXPECT_TRUE(host_.Read(1, 200).empty());
}

TEST_F(PtyWindow, TypedKeysGoToTheHostAndEnterIsCrLf) {
  StartWithPty();
  View()->setFocus();
  QTest::keyClicks(View(), QStringLiteral("ab"));
  QTest::keyClick(View(), Qt::Key_Return);
  EXPECT_EQ(host_.ReadExactly(4, 3000), (Bytes{'a', 'b', '\r', '\n'}));
  EXPECT_TRUE(View()->toPlainText().isEmpty()) << "typed keys are not shown";
  // Copy is not a character for the host.
  QTest::keyClick(View(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_TRUE(host_.Read(1, 300).empty());
  // With the link closed nothing is sent.
  ClickButton(res::kIdConnect);
  QTest::keyClick(View(), Qt::Key_Return);
  EXPECT_TRUE(host_.Read(2, 300).empty());
}

TEST_F(PtyWindow, AnotherDeviceUnderTheLostComNumberIsNotTakenInItsPlace) {
  // COM 1 is a name for the device, as a by-id name is.
  const std::string first = (Dir().Path() / "adapter-a").string();
  std::filesystem::create_symlink(host_.SlavePath(), first);
  MapCom(1, first);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  host_.HangUp();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsConnected(); }, 5000));
  // Another adapter appears and COM 1 now leads to it: not the lost device.
  PtyHost other;
  const std::string second = (Dir().Path() / "adapter-b").string();
  std::filesystem::create_symlink(other.SlavePath(), second);
  MapCom(1, second);
  QTest::qWait(2500);
  EXPECT_FALSE(View()->IsConnected());
  // The lost name comes back (now on the other terminal): taken again.
  std::filesystem::remove(first);
  std::filesystem::create_symlink(other.SlavePath(), first);
  MapCom(1, first);
  EXPECT_TRUE(WaitFor([&] { return View()->IsConnected(); }, 5000));
  // Pressing connect while waiting stops the waiting.
  other.HangUp();
  ASSERT_TRUE(WaitFor([&] { return !View()->IsConnected(); }, 5000));
  PtyHost third;
  std::filesystem::remove(first);
  driver_.AnswerBox(QMessageBox::Ok);  // the connect finds no device
  ClickButton(res::kIdConnect);
  ASSERT_TRUE(driver_.WaitDone());
  std::filesystem::create_symlink(third.SlavePath(), first);
  QTest::qWait(2500);
  EXPECT_FALSE(View()->IsConnected()) << "the operator's connect ended the waiting";
}

TEST_F(PtyWindow, FailureLeavesThePaneToTheLinkDescription) {
  StartWithPty();
  const QString description = Frame()->PaneText(0);
  View()->OnLinkEvent(LE_STATUS, LS_START);
  EXPECT_EQ(Frame()->PaneText(0), QStringLiteral("Start ..."));
  View()->OnLinkEvent(LE_STATUS, LS_CANCELLED);
  EXPECT_EQ(Frame()->PaneText(0), QString());
  View()->OnLinkEvent(LE_STATUS, LS_DOWNLOAD_DATA);
  EXPECT_EQ(Frame()->PaneText(0), QStringLiteral("Starting Download Data ..."));
  EXPECT_FALSE(Button(res::kIdStop)->DisabledLook()) << "the data phase enables the stop button";
  View()->OnLinkEvent(LE_PROGRESS_FLAG | 1000, 10);
  EXPECT_FALSE(Frame()->Progress()->isHidden());
  EXPECT_EQ(Frame()->Progress()->position, 1000);
  // A failure nobody started here still tells its reason.
  QString box;
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) { box = qobject_cast<QMessageBox*>(w)->text(); });
  View()->OnLinkEvent(LE_FAILED, LS_VERIFY_FAILED);
  EXPECT_TRUE(box.startsWith(QStringLiteral("The host's closing answer"))) << box.toStdString();
  EXPECT_EQ(Frame()->PaneText(0), description);
  EXPECT_TRUE(Frame()->Progress()->isHidden());
  EXPECT_EQ(View()->OnLinkEvent(12345, 0), 1) << "unknown codes are ignored";
}

}  // namespace
}  // namespace lumaset::test
