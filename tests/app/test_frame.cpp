// The frame, the start-up and exit steps and the language switch, with the
// program's window in this process (offscreen) and its own settings file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>

#include <QAccessible>
#include <QAction>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTest>

#include <filesystem>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "app/native_bytes.h"
#include "app/resource_ui.h"
#include "resources/resource_ids.h"
#include "tests/pty_host.h"
#include "tests/ui/window_test.h"
#include "ui/gradient_progress.h"
#include "ui/image_button.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

namespace fs = std::filesystem;

namespace lumaset::test {
namespace {

QStringList MenuTitles(CMainFrame* frame) {
  QStringList titles;
  for (QAction* a : frame->menuBar()->actions()) titles << a->text();
  return titles;
}

class FrameTest : public WindowFixture {
 protected:
  void StartOnPty() {
    MapCom(1, host_.SlavePath());
    ASSERT_TRUE(Start());
  }
  PtyHost host_;
};

TEST_F(FrameTest, OpensFixedAndCentredWithOnlyConnectEnabledBeforeTheRefresh) {
  // No port: the link cannot open; its message appears over the window,
  // which is shown by then.
  MapCom(1, (Dir().Path() / "missing").string());
  bool overTheWindow = false;
  QString text;
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* box) {
    overTheWindow = Frame() && Frame()->isVisible() && box->parentWidget() && box->parentWidget()->window() == Frame();
    text = qobject_cast<QMessageBox*>(box)->text();
  });
  ASSERT_TRUE(Start());
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(overTheWindow);
  // It names the port: its number and the device it leads to.
  EXPECT_EQ(text, QStringLiteral("The serial port does not exist.\n\nPort: COM 1 (%1)")
                      .arg(QString::fromStdString((Dir().Path() / "missing").string())));
  EXPECT_EQ(Frame()->size(), QSize(kFrameWidth, kFrameHeight));
  EXPECT_EQ(Frame()->minimumSize(), Frame()->maximumSize()) << "not resizable by dragging";
  const QRect screen = QApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((Frame()->geometry().center() - screen.center()).manhattanLength(), 4);
  EXPECT_EQ(Frame()->windowTitle(), resui::String(res::kStrFrameTitle));
  EXPECT_FALSE(Button(res::kIdConnect)->DisabledLook());
  for (unsigned id : {res::kIdSystemProgram, res::kIdSystemProgramFast, res::kIdUserProgram, res::kIdUserProgramFast,
                      res::kIdStop, res::kIdHostCommand3, res::kIdTouchProgram})
    EXPECT_TRUE(Button(id)->DisabledLook()) << id;
  EXPECT_EQ(App()->m_userButton, Button(res::kIdUserProgram));
  EXPECT_EQ(App()->m_progress, Frame()->Progress());
  EXPECT_TRUE(Frame()->Progress()->isHidden());
}

TEST_F(FrameTest, TheProgressBarCoversTheStatusBarAlsoWhenMaximized) {
  StartOnPty();
  CGradientProgressCtrl* progress = Frame()->Progress();
  EXPECT_EQ(progress->geometry(), Frame()->StatusBar()->rect());
  Frame()->showMaximized();
  ASSERT_TRUE(WaitFor([&] { return Frame()->width() > kFrameWidth; }, 3000)) << "the platform did not maximize";
  QTest::qWait(50);
  EXPECT_EQ(progress->geometry(), Frame()->StatusBar()->rect());
  EXPECT_EQ(progress->parentWidget(), Frame()->StatusBar());
  Frame()->showNormal();
  ASSERT_TRUE(WaitFor([&] { return Frame()->width() == kFrameWidth; }, 3000));
  QTest::qWait(50);
  EXPECT_EQ(progress->geometry(), Frame()->StatusBar()->rect());
}

TEST_F(FrameTest, TheLanguageSwitchChangesEverythingBuiltFromTheLibrary) {
  StartOnPty();
  const QStringList englishMenus = MenuTitles(Frame());
  const QString englishTitle = Frame()->windowTitle();
  const QString englishPane = Frame()->PaneText(0);
  CImageButton* user = Button(res::kIdUserProgram);
  const QString caption = user->text();
  const QString searchTitle = View()->BaudSearchWindow()->windowTitle();
  const QString statusName = Frame()->StatusBar()->accessibleName();
  const QString displayName = View()->accessibleName();
  EXPECT_EQ(displayName, QStringLiteral("Received data"));

  Trigger(res::kCmdLanguage);
  QCoreApplication::processEvents();
  EXPECT_EQ(App()->CurrentLanguage(), 1);
  EXPECT_NE(MenuTitles(Frame()), englishMenus);
  EXPECT_NE(Frame()->windowTitle(), englishTitle);
  EXPECT_NE(Frame()->PaneText(0), englishPane) << "pane 0 rewritten in the new language";
  EXPECT_EQ(Button(res::kIdUserProgram), user);
  EXPECT_EQ(user->text(), resui::ControlCaption(res::kDlgCommandBar, res::kIdUserProgram));
  EXPECT_NE(user->text(), caption) << "the command bar follows the language";
  EXPECT_NE(View()->BaudSearchWindow()->windowTitle(), searchTitle);
  EXPECT_NE(Frame()->StatusBar()->accessibleName(), statusName);
  EXPECT_NE(View()->accessibleName(), displayName);
  // The menu still works: its items carry commands of the new library.
  ASSERT_NE(MenuAction(res::kCmdHexDisplay), nullptr);
  Trigger(res::kCmdHexDisplay);
  EXPECT_EQ(View()->HexDisplay(), 1);

  // Exit writes the language; the next start is in Chinese.
  Stop();
  EXPECT_EQ(StoredDword("Language"), 1u);
  ASSERT_TRUE(Start());
  EXPECT_EQ(App()->CurrentLanguage(), 1);
  EXPECT_EQ(MenuTitles(Frame()).size(), englishMenus.size());
  EXPECT_NE(MenuTitles(Frame()), englishMenus);
  Trigger(res::kCmdLanguage);
  EXPECT_EQ(MenuTitles(Frame()), englishMenus);
  EXPECT_EQ(Button(res::kIdUserProgram)->text(), caption) << "and back again";
}

TEST_F(FrameTest, MenuItemsFollowTheUpdateRules) {
  StartOnPty();
  CommandState hex = Frame()->CommandStateOf(res::kCmdHexDisplay);
  EXPECT_TRUE(hex.checkSet);
  EXPECT_FALSE(hex.checked);
  Trigger(res::kCmdHexDisplay);
  EXPECT_TRUE(Frame()->CommandStateOf(res::kCmdHexDisplay).checked);
  EXPECT_TRUE(Frame()->CommandStateOf(res::kCmdViewStatusBar).checked);
  Trigger(res::kCmdViewStatusBar);
  EXPECT_TRUE(Frame()->StatusBar()->isHidden());
  EXPECT_FALSE(Frame()->CommandStateOf(res::kCmdViewStatusBar).checked);
  Trigger(res::kCmdViewStatusBar);
  EXPECT_FALSE(Frame()->StatusBar()->isHidden());
  // Commands nobody handles are disabled; the recent-file entry only with a
  // file on the list.
  EXPECT_FALSE(Frame()->CommandStateOf(32776).enabled);
  EXPECT_FALSE(Frame()->CommandStateOf(res::kCmdMruFirst + 3).enabled);
  EXPECT_TRUE(Frame()->CommandStateOf(res::kCmdAppAbout).enabled);
}

TEST_F(FrameTest, ContextMenusAreSubMenusOneAndThree) {
  StartOnPty();
  auto commands = [](QMenu* menu) {
    std::vector<unsigned> ids;
    for (QAction* a : menu->actions())
      if (unsigned id = resui::CommandOf(a)) ids.push_back(id);
    return ids;
  };
  std::unique_ptr<QMenu> frameMenu(Frame()->BuildContextMenu());
  ASSERT_NE(frameMenu, nullptr);
  auto ids = commands(frameMenu.get());
  EXPECT_NE(std::find(ids.begin(), ids.end(), res::kCmdLinkSettings), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), res::kCmdLanguage), ids.end());
  std::unique_ptr<QMenu> viewMenu(resui::BuildPopupMenu(res::kMainResource, res::kViewContextSubmenu, nullptr));
  ASSERT_NE(viewMenu, nullptr);
  ids = commands(viewMenu.get());
  EXPECT_NE(std::find(ids.begin(), ids.end(), res::kCmdHexDisplay), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), res::kCmdClear), ids.end());
}

TEST_F(FrameTest, SavingTheLogWritesItsRawBytesAndNeverTheOpenedProgram) {
  const auto program = Dir().File("job.pgu", {1, 2, 3});
  MapCom(1, host_.SlavePath());
  // Started with a file: the question is answered Cancel.
  driver_.AnswerBox(QMessageBox::Cancel);
  ASSERT_TRUE(Start(QString::fromStdString(program.string()), 0));
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(App()->Document()->PathName(), QString::fromStdString(program.string()));
  EXPECT_EQ(App()->RecentFiles().value(0), QString::fromStdString(program.string()));
  host_.Write({0x00, 0xFF, 'x', 0x0D, 0x0A});
  ASSERT_TRUE(WaitFor([&] { return App()->Document()->LogLength() == 5; }));
  const auto saved = Dir().Path() / "log.bin";
  driver_.ChooseFile(QString::fromStdString(saved.string()));
  Trigger(res::kCmdFileSave);
  ASSERT_TRUE(driver_.WaitDone());
  QFile in(QString::fromStdString(saved.string()));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  EXPECT_EQ(in.readAll(), QByteArray("\x00\xFFx\r\n", 5));
  QFile original(QString::fromStdString(program.string()));
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(original.readAll(), QByteArray("\x01\x02\x03", 3));
  // A second save goes to the same file without asking.
  host_.Write({'y'});
  ASSERT_TRUE(WaitFor([&] { return App()->Document()->LogLength() == 6; }));
  Trigger(res::kCmdFileSave);
  in.close();
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  EXPECT_EQ(in.readAll().size(), 6);
}

TEST_F(FrameTest, AStartWithAnUnreadableFileFails) {
  driver_.AnswerBox(QMessageBox::Ok);
  EXPECT_FALSE(Start(QString::fromStdString((Dir().Path() / "nothing.pgu").string()), 1));
  EXPECT_TRUE(driver_.WaitDone());
  EXPECT_EQ(Frame(), nullptr);
}

// A TCP listener that never accepts, with room for one connection in its
// queue: the first connect succeeds, every later one waits (the host drops
// the connection request) until the link's bound or an abort.
class DeafListener {
 public:
  DeafListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 0);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~DeafListener() { close(fd_); }
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST_F(FrameTest, ClosingTheWindowDuringAConnectEndsCleanly) {
  DeafListener host;
  SetLink(1, 1, 115200, host.Port());
  SetText("RemoteHost", "127.0.0.1");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected()) << "the first connection fits the queue";
  ClickButton(res::kIdConnect);  // now 1006: disconnect
  ASSERT_FALSE(View()->IsConnected());
  // Connect again: the connect waits while the loop runs; the window is
  // closed meanwhile.
  bool closed = false;
  QTimer::singleShot(300, [&] {
    EXPECT_TRUE(View()->InLinkCall());
    EXPECT_FALSE(Frame()->close()) << "the close waits for the connect";
    closed = true;
  });
  QElapsedTimer timer;
  timer.start();
  ClickButton(res::kIdConnect);
  EXPECT_TRUE(closed);
  EXPECT_LT(timer.elapsed(), 5000) << "the close ended the connect";
  EXPECT_FALSE(View()->IsConnected());
  // The close goes on once the connect has returned, and ends the loop.
  EXPECT_TRUE(WaitFor([&] { return !Frame()->isVisible(); }, 3000));
}

TEST_F(FrameTest, ANetworkConnectAtStartUpShowsTheWindowFirstWithCommandsDisabled) {
  DeafListener host;
  // Its one queue place is taken, so the program's connect waits.
  const int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(host.Port());
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  SetLink(1, 1, 115200, host.Port());
  SetText("RemoteHost", "127.0.0.1");
  bool looked = false;
  QTimer::singleShot(500, [&] {
    looked = true;
    ASSERT_NE(Frame(), nullptr);
    EXPECT_TRUE(Frame()->isVisible()) << "the window shows before the connect";
    EXPECT_EQ(Frame()->PaneText(0), QStringLiteral("Connecting to 127.0.0.1:%1 ...").arg(host.Port()));
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
    // Commands are disabled and look it; only the connect button, which
    // ends the connect, stays.
    EXPECT_TRUE(Button(res::kIdUserProgram)->DisabledLook());
    EXPECT_TRUE(Button(res::kIdHostCommand3)->DisabledLook());
    for (unsigned id : {res::kCmdHost2, res::kCmdLinkSettings, res::kCmdSendFile, unsigned(res::kIdUserProgram)})
      EXPECT_FALSE(Frame()->CommandStateOf(id).enabled) << id;
    EXPECT_FALSE(Button(res::kIdConnect)->DisabledLook());
    ClickButton(res::kIdConnect);
  });
  QElapsedTimer timer;
  timer.start();
  ASSERT_TRUE(Start());
  EXPECT_TRUE(looked);
  EXPECT_LT(timer.elapsed(), 5000) << "the connect button ended the connect";
  EXPECT_FALSE(View()->IsConnected());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Frame()->PaneText(0), QStringLiteral("Not connected"));
  EXPECT_TRUE(driver_.Unexpected().isEmpty()) << driver_.Unexpected().join(" | ").toStdString();
  close(filler);
}

TEST_F(FrameTest, EveryCommandBarCommandHasAKeyAndTheFiltersFollowTheLanguage) {
  StartOnPty();
  // As typed on the keyboard of the active window (a closed dialog leaves
  // no window active on the offscreen platform).
  auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    Frame()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Frame()));
    QTest::keyClick(View(), key, modifiers);
  };
  QStringList filters;
  auto cancelDialog = [&] {
    driver_.Handle([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(dialog, nullptr) << w->windowTitle().toStdString();
      filters = dialog->nameFilters();
      dialog->reject();
    });
  };
  // Every button's command has its key, named in its tooltip.
  for (unsigned id : res::kCommandBarControls) {
    const QKeySequence keys = resui::AcceleratorFor(res::kMainResource, id);
    EXPECT_FALSE(keys.isEmpty()) << id;
    EXPECT_TRUE(Button(id)->ToolTipText().endsWith(QStringLiteral(" (%1)").arg(keys.toString(QKeySequence::NativeText))))
        << Button(id)->ToolTipText().toStdString();
  }
  cancelDialog();
  press(Qt::Key_F2);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(filters, (QStringList{QStringLiteral("User programs (*.pgu) (*.pgu)"), QStringLiteral("All files (*)")}));
  EXPECT_TRUE(host_.Read(1, 200).empty()) << "a function key is not typed to the host";
  Trigger(res::kCmdLanguage);
  QCoreApplication::processEvents();
  cancelDialog();
  press(Qt::Key_F3, Qt::ShiftModifier);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(filters, (QStringList{QStringLiteral("系统底层文件 (*.pgs) (*.pgs)"), QStringLiteral("所有文件 (*)")}));
  EXPECT_EQ(View()->SerialLink().GetDownloadMode(), 1) << "Shift+F3 is the fast system download";
  // The stop key does nothing while nothing runs.
  press(Qt::Key_F8);
  EXPECT_TRUE(driver_.Unexpected().isEmpty());
}

TEST_F(FrameTest, TheStatusBarIsNamedAndItsTextsAreReadable) {
  StartOnPty();
  QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(Frame()->StatusBar());
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->role(), QAccessible::StatusBar);
  EXPECT_EQ(bar->text(QAccessible::Name), QStringLiteral("Status"));
  Frame()->SetResultText(QStringLiteral("Sent to the host: test."));
  QStringList texts;
  for (int i = 0; i < bar->childCount(); ++i) texts << bar->child(i)->text(QAccessible::Name);
  EXPECT_TRUE(texts.contains(Frame()->PaneText(0))) << texts.join(" | ").toStdString();
  EXPECT_TRUE(texts.contains(QStringLiteral("Sent to the host: test."))) << texts.join(" | ").toStdString();
  QAccessibleInterface* display = QAccessible::queryAccessibleInterface(View());
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->text(QAccessible::Name), QStringLiteral("Received data"));
  // Right-clicking the command bar opens the frame's context menu there.
  QMenu* shown = nullptr;
  QTimer::singleShot(200, [&] {
    shown = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (shown) shown->close();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), Button(res::kIdStop)->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(Button(res::kIdStop), &event);
  ASSERT_NE(shown, nullptr);
  QStringList items;
  for (QAction* a : shown->actions()) items << QString::number(resui::CommandOf(a));
  EXPECT_TRUE(items.contains(QString::number(res::kCmdLinkSettings))) << items.join(",").toStdString();
}

TEST_F(FrameTest, ClosingTheWindowWithADialogOpenClosesTheDialogAndThenTheWindow) {
  StartOnPty();
  bool closeReturned = false, stillOpen = false;
  driver_.Handle([&](QWidget* dialog) {
    // A close from outside (the session ending) while the dialog is open.
    QTimer::singleShot(0, Frame(), [&] { closeReturned = !Frame()->close(); });
    // Were the close ignored, the dialog would stay: ended here instead.
    QTimer::singleShot(3000, dialog, [&, dialog] {
      stillOpen = true;
      if (auto* d = qobject_cast<QDialog*>(dialog)) d->reject();
    });
  });
  Trigger(res::kCmdAppAbout);
  EXPECT_TRUE(closeReturned) << "the first close waits for the dialog";
  EXPECT_TRUE(WaitFor([&] { return !Frame()->isVisible(); }, 2000)) << "the window did not close after the dialog";
  EXPECT_FALSE(stillOpen) << "the dialog was not closed";
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(FrameTest, TheCommandLineIsReadFromItsBytesAndTheNumberIsTakenAfterTheLastSpace) {
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"a.pgu", "1"}), "a.pgu"), 1);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"my file.pgu", "1"}), "my file.pgu"), 1);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"my file.pgu"}), "my file.pgu"), 0);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"a.pgu"}), "a.pgu"), 0);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"a.pgu", "1", "7"}), "a.pgu"), 7);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({"a.pgu", "x"}), "a.pgu"), 0);
  EXPECT_EQ(CommandLineNumber(RawCommandLine({}), ""), 0);

  // The number may be negative; the name keeps bytes that are no UTF-8.
  const std::string name = "/tmp/r\xe9sum\xe9 1.pgu";
  char* argv[] = {const_cast<char*>("lumaset"), const_cast<char*>(name.c_str()), const_cast<char*>("-1")};
  StartCommand start = ParseStartCommand(ArgumentsOf(3, argv));
  EXPECT_EQ(start.action, StartCommand::Action::kRun) << start.error;
  EXPECT_EQ(start.commandLine.fileName, name);
  EXPECT_EQ(start.commandLine.number, -1);
  EXPECT_EQ(NativeFileName(FileNameFromNative(name)), name);
  EXPECT_EQ(FileNameFromNative("/tmp/Pr\xc3\xb6gramme"), QStringLiteral("/tmp/Pr\u00f6gramme"));
  EXPECT_EQ(ParseStartCommand({"lumaset", "--help"}).action, StartCommand::Action::kHelp);
  EXPECT_EQ(ParseStartCommand({"lumaset", "--bogus", "a.pgu"}).action, StartCommand::Action::kUsageError);
  EXPECT_EQ(ParseStartCommand({"lumaset"}).commandLine.fileName, "");
}

// A copy of this test program beside the English library alone: the Chinese
// one cannot be loaded there.
class WithoutChinese : public WindowFixture {};

TEST_F(WithoutChinese, AFailedSwitchKeepsTheEnglishLibraryInUse) {
  if (qEnvironmentVariableIsEmpty("LUMASET_TEST_WITHOUT_CHINESE")) {
    TempDir folder("lumaset-no-cn");
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const fs::path exe = folder.Path() / fs::path(self).filename();
    fs::copy_file(self, exe);
    fs::copy_file(fs::path(self).parent_path() / "libTavloraEN.so", folder.Path() / "libTavloraEN.so");
    ChildProcess::Options options;
    options.env = {{"LUMASET_TEST_WITHOUT_CHINESE", "1"}};
    ChildProcess child({exe.string(), "--gtest_filter=WithoutChinese.*"}, options);
    EXPECT_EQ(child.Wait(120000), 0);
    return;
  }
  PtyHost host;
  MapCom(1, host.SlavePath());
  ASSERT_TRUE(Start());
  const QStringList menus = MenuTitles(Frame());
  QString text, caption;
  driver_.AnswerBox(QMessageBox::Ok, 0, [&](QWidget* w) {
    text = qobject_cast<QMessageBox*>(w)->text();
    caption = w->windowTitle();
  });
  Trigger(res::kCmdLanguage);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_EQ(text, QStringLiteral("Load Resource Error!"));
  EXPECT_EQ(caption, QStringLiteral("Error"));
  EXPECT_EQ(App()->CurrentLanguage(), 0);
  EXPECT_EQ(MenuTitles(Frame()), menus);
  EXPECT_TRUE(resui::HasString(res::kStrFrameTitle)) << "the English library is still loaded";
  Stop();

  // Stored Chinese with no Chinese library: the message, and no window.
  SetDword("Language", 1);
  driver_.AnswerBox(QMessageBox::Ok);
  EXPECT_FALSE(Start());
  EXPECT_TRUE(driver_.WaitDone());
}

}  // namespace
}  // namespace lumaset::test
