// The baud-search window and the link settings dialog, alone and in the
// view's flows against the simulator.
#include <QAbstractButton>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QTest>

#include "app/lumaset_app.h"
#include "app/main_frame.h"
#include "app/reg_settings.h"
#include "app/settings.h"
#include "link/link_events.h"
#include "platform/port_map.h"
#include "resources/resource_ids.h"
#include "tests/pty_host.h"
#include "tests/ui/window_test.h"
#include "ui/baud_search_dlg.h"
#include "ui/image_button.h"
#include "ui/link_settings_dlg.h"
#include "ui/lumaset_doc.h"
#include "ui/lumaset_view.h"

namespace lumaset::test {
namespace {

// Horizontal extent of the pixels that are not the background.
std::pair<int, int> InkSpan(const QImage& image, QRgb background) {
  int left = image.width(), right = -1;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != background) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
  return {left, right};
}

class BaudSearchWindow : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    MapCom(1, host_.SlavePath());
    ASSERT_TRUE(Start());
    dialog_ = View()->BaudSearchWindow();
    ASSERT_NE(dialog_, nullptr);
  }
  PtyHost host_;
  CBaudSearchDlg* dialog_ = nullptr;
};

TEST_F(BaudSearchWindow, TheFirstRateCentresItLaterOnesLeaveItWhereItWasMoved) {
  EXPECT_TRUE(dialog_->isHidden()) << "created hidden";
  View()->OnLinkEvent(LE_BAUD_TRYING, 300);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_));
  const QPoint frameCentre = Frame()->frameGeometry().center();
  EXPECT_LE((dialog_->frameGeometry().center() - frameCentre).manhattanLength(), 4);
  EXPECT_EQ(dialog_->Line(), QStringLiteral("Searching at 300 Baud ..."));
  dialog_->move(dialog_->pos() + QPoint(60, 40));
  const QPoint moved = dialog_->pos();
  View()->OnLinkEvent(LE_BAUD_TRYING, 600);
  QTest::qWait(50);
  EXPECT_EQ(dialog_->pos(), moved);
  EXPECT_EQ(dialog_->Rate(), 600);
  driver_.AnswerBox(QMessageBox::Ok);  // "no rate answered"
  View()->OnLinkEvent(LE_BAUD_NOT_FOUND, 600);
  ASSERT_TRUE(driver_.WaitDone());
  EXPECT_TRUE(dialog_->isHidden());
  // A new search centres it again.
  View()->OnLinkEvent(LE_BAUD_TRYING, 1200);
  QTest::qWait(50);
  EXPECT_LE((dialog_->frameGeometry().center() - frameCentre).manhattanLength(), 4);
  View()->OnLinkEvent(LE_BAUD_FOUND, 1200);
  EXPECT_TRUE(dialog_->isHidden());
}

TEST_F(BaudSearchWindow, BothShortAndLongLinesFillTheTextArea) {
  const QSize area = dialog_->TextArea()->contentsRect().size();
  ASSERT_GT(area.width(), 100);
  int widthOf300 = 0, widthOf115200 = 0;
  for (int rate : {300, 115200}) {
    View()->OnLinkEvent(LE_BAUD_TRYING, rate);
    QImage image(area, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    dialog_->PaintLine(painter, QRect(QPoint(0, 0), area));
    painter.end();
    const auto [left, right] = InkSpan(image, qRgb(255, 255, 255));
    ASSERT_GE(right, left);
    EXPECT_LE(left, area.width() / 20) << rate;
    EXPECT_GE(right, area.width() - area.width() / 20) << rate;
    (rate == 300 ? widthOf300 : widthOf115200) = right - left;
  }
  // Same width, three more characters: each is narrower.
  EXPECT_NEAR(widthOf300, widthOf115200, area.width() / 10);
}

TEST_F(BaudSearchWindow, TheColourBlinksRedAndBlueEvery200Ms) {
  View()->OnLinkEvent(LE_BAUD_TRYING, 9600);
  QColor first = dialog_->TextColour();
  ASSERT_TRUE(WaitFor([&] { return dialog_->TextColour() != first; }, 1000));
  const QColor second = dialog_->TextColour();
  ASSERT_TRUE(WaitFor([&] { return dialog_->TextColour() != second; }, 1000));
  const QColor third = dialog_->TextColour();
  const QColor red(255, 0, 0), blue(0, 0, 255);
  EXPECT_TRUE((second == red && third == blue) || (second == blue && third == red));
}

TEST(BaudSearchAlone, AStopPressPostsOneStopAndHidesAtOnce) {
  ScopedLanguage english(0);
  RecordingTarget view;
  QWidget owner;
  owner.resize(400, 300);
  owner.show();
  CBaudSearchDlg dialog(&owner);
  ASSERT_EQ(dialog.CreateModeless(&view), 1);
  dialog.ShowRate(4800);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  auto* stop = dialog.findChild<QAbstractButton*>(QStringLiteral("control%1").arg(res::kIdStop));
  ASSERT_NE(stop, nullptr);
  QTest::mouseClick(stop, Qt::LeftButton);
  EXPECT_TRUE(dialog.isHidden());
  EXPECT_FALSE(dialog.Shown());
  QTest::qWait(50);
  EXPECT_EQ(view.Count(LE_BAUD_STOP), 1u);
}

TEST_F(BaudSearchWindow, ASearchFromTheMenuFindsTheSimulatorsRate) {
  Stop();
  HostSimProcess sim({"--rate", "19200"});
  ASSERT_TRUE(sim.Started());
  MapCom(1, JsonField(sim.Ready(), "device"));
  ASSERT_TRUE(Start());
  dialog_ = View()->BaudSearchWindow();
  bool shown = false;
  Trigger(res::kCmdBaudSearch);
  ASSERT_TRUE(WaitFor(
      [&] {
        shown = shown || dialog_->isVisible();
        return !View()->SerialLink().IsSearching() && View()->Record().rate == 19200;
      },
      60000));
  EXPECT_TRUE(shown);
  EXPECT_TRUE(WaitFor([&] { return dialog_->isHidden(); }, 2000));
  Stop();
  // The found rate is what the settings keep.
  EXPECT_EQ(StoredLink().rate, 19200u);
}

// ---- link settings dialog ------------------------------------------------------------

TEST(LinkSettingsDialog, ConfirmingGivesASerialOrUsbChoiceAt115200) {
  ScopedLanguage english(0);
  CLinkSettingsDlg dialog(nullptr);
  dialog.SetValues(3, 9600, 0, "10.1.2.3", 4321, 1);
  ASSERT_TRUE(dialog.OnInitDialog());
  EXPECT_EQ(dialog.PortList()->currentIndex(), 3);
  EXPECT_FALSE(dialog.BaudList()->isVisibleTo(&dialog));
  EXPECT_EQ(dialog.BaudList()->count(), 0);
  EXPECT_TRUE(dialog.PortList()->itemText(0).contains(QStringLiteral("USB")));
  EXPECT_TRUE(dialog.PortList()->itemText(3).contains(QStringLiteral("COM")));
  dialog.accept();
  uint8_t port = 0, network = 9;
  uint32_t rate = 0, cpb = 7, tcpPort = 0;
  std::string host;
  dialog.GetValues(&port, &rate, &cpb, &host, &tcpPort, &network);
  EXPECT_EQ(port, 3);
  EXPECT_EQ(rate, 115200u);
  EXPECT_EQ(network, 0) << "the dialog always turns the network flag off";
  EXPECT_EQ(cpb, 0u);
  EXPECT_EQ(host, "10.1.2.3");
  EXPECT_EQ(tcpPort, 4321u);
}

TEST(LinkSettingsDialog, NoSelectionGivesPortOneAndHiddenControlsFollowTheRules) {
  ScopedLanguage english(0);
  CLinkSettingsDlg dialog(nullptr);
  dialog.SetValues(250, 115200, 0, "h", 1, 0);  // the list has no entry 250
  ASSERT_TRUE(dialog.OnInitDialog());
  EXPECT_EQ(dialog.PortList()->currentIndex(), -1);
  dialog.accept();
  uint8_t port = 0;
  dialog.GetValues(&port, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(port, 1);

  CLinkSettingsDlg usb(nullptr);
  usb.SetValues(0, 115200, 0, "h", 1, 0);
  ASSERT_TRUE(usb.OnInitDialog());
  EXPECT_FALSE(usb.BaudList()->isEnabled()) << "USB without host rate change";
  EXPECT_FALSE(usb.BaudOption()->isEnabled());
}

TEST(LinkSettingsDialog, EntriesNameTheirDevice) {
  ScopedLanguage english(0);
  PtyHost host;
  platform::SetComPortPath(2, host.SlavePath());
  CLinkSettingsDlg dialog(nullptr);
  dialog.SetValues(1, 115200, 1, "h", 1, 0);
  ASSERT_TRUE(dialog.OnInitDialog());
  EXPECT_TRUE(dialog.PortList()->itemText(2).contains(QString::fromStdString(host.SlavePath())))
      << dialog.PortList()->itemText(2).toStdString();
  EXPECT_TRUE(dialog.PortList()->itemData(2, Qt::FontRole).value<QFont>().bold()) << "present now";
  platform::SetComPortPath(2, {});
}

TEST(LinkSettingsDialog, ThePinnedEntryIsMarkedAndConfirmingPinsTheChosenPort) {
  ScopedLanguage english(0);
  ByIdFolder byId;
  PtyHost adapter, plain;
  const std::string adapterEntry = byId.Add("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", adapter.SlavePath());
  const std::string unplugged = byId.Entry("usb-FTDI_unplugged-if00-port0");
  platform::SetComPortPath(2, adapter.SlavePath());
  platform::SetComPortPath(4, plain.SlavePath());
  platform::SetComPortPin(3, unplugged);

  CLinkSettingsDlg shown(nullptr);
  shown.SetValues(3, 115200, 1, "h", 1, 0);
  ASSERT_TRUE(shown.OnInitDialog());
  EXPECT_EQ(shown.PortList()->itemText(3), QStringLiteral("COM 3  \u2014  usb-FTDI_unplugged-if00-port0 (pinned)"));
  EXPECT_FALSE(shown.PortList()->itemData(3, Qt::FontRole).value<QFont>().bold()) << "missing now";
  EXPECT_TRUE(shown.PortList()->itemText(2).contains(QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0 (")))
      << "the by-id name, then the path: " << shown.PortList()->itemText(2).toStdString();
  EXPECT_FALSE(shown.PortList()->itemText(2).contains(QStringLiteral("pinned")));

  // Which pin confirming each entry gives.
  const std::vector<std::pair<int, std::string>> cases = {
      {2, adapterEntry},  // a device with a by-id name: that name's path
      {3, unplugged},     // the pinned port keeps its pin while unplugged
      {4, ""},            // no by-id name: no pin
      {0, ""},            // USB: no pin
  };
  for (const auto& [index, pin] : cases) {
    CLinkSettingsDlg dialog(nullptr);
    dialog.SetValues(1, 115200, 1, "h", 1, 0);
    ASSERT_TRUE(dialog.OnInitDialog());
    dialog.PortList()->setCurrentIndex(index);
    dialog.accept();
    EXPECT_EQ(dialog.PinnedDevice(), pin) << "entry " << index;
  }
  platform::SetComPortPin(0, {});
  platform::SetComPortPath(2, {});
  platform::SetComPortPath(4, {});
}

TEST(LinkSettingsDialog, TheClosedListShowsALongEntryWholeWithinTheScreen) {
  ScopedLanguage english(0);
  // Short entries: the dialog keeps its size. Every port is given a short
  // path, so serial devices present on this machine do not lengthen them.
  int ports = 0;
  {
    CLinkSettingsDlg probe(nullptr);
    ASSERT_TRUE(probe.OnInitDialog());
    ports = probe.PortList()->count() - 1;
  }
  for (int n = 1; n <= ports; ++n) platform::SetComPortPath(n, "/x");
  {
    CLinkSettingsDlg dialog(nullptr);
    dialog.SetValues(1, 115200, 1, "h", 1, 0);
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_EQ(dialog.width(), 340);
  }
  const std::string longPath = "/tmp/lumaset-demo.ABCDEF/serial-host";
  platform::SetComPortPath(2, longPath);
  {
    CLinkSettingsDlg dialog(nullptr);
    dialog.SetValues(2, 115200, 1, "h", 1, 0);
    ASSERT_TRUE(dialog.OnInitDialog());
    QComboBox* list = dialog.PortList();
    const QString entry = list->itemText(2);
    ASSERT_TRUE(entry.contains(QString::fromStdString(longPath)));
    EXPECT_GT(dialog.width(), 340);
    EXPECT_GE(list->width(), list->fontMetrics().horizontalAdvance(entry)) << "the entry fits the closed list";
    EXPECT_EQ(list->toolTip(), entry);
    list->setCurrentIndex(0);
    EXPECT_EQ(list->toolTip(), list->itemText(0)) << "the tooltip follows the choice";
    // The buttons keep their places at the list's right edge, inside the dialog.
    QWidget* cancel = nullptr;
    for (auto* b : dialog.findChildren<QAbstractButton*>())
      if (b->geometry().right() > (cancel ? cancel->geometry().right() : -1)) cancel = b;
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->geometry().right(), list->geometry().right());
    EXPECT_LE(cancel->geometry().right(), dialog.width());
  }
  // A name longer than the screen: the dialog stops at three quarters of it.
  platform::SetComPortPath(2, "/tmp/" + std::string(2000, 'x'));
  {
    CLinkSettingsDlg dialog(nullptr);
    dialog.SetValues(2, 115200, 1, "h", 1, 0);
    ASSERT_TRUE(dialog.OnInitDialog());
    const int screen = QGuiApplication::primaryScreen()->availableGeometry().width();
    EXPECT_GT(dialog.width(), 340);
    EXPECT_LE(dialog.width(), screen * 3 / 4);
  }
  for (int n = 1; n <= ports; ++n) platform::SetComPortPath(n, {});
}

TEST(LinkSettingsDialog, ThePinnedMarkIsInTheInterfaceLanguage) {
  ScopedLanguage chinese(1);
  ByIdFolder byId;
  platform::SetComPortPin(3, byId.Entry("usb-FTDI_unplugged-if00-port0"));
  EXPECT_EQ(CLinkSettingsDlg::PortEntryText(QStringLiteral("COM 3"), 3, nullptr),
            QStringLiteral("COM 3  \u2014  usb-FTDI_unplugged-if00-port0（已固定）"));
  platform::SetComPortPin(0, {});
}

// A COM number that is a device server's port shows its URL, is neither
// bold (present) nor greyed (missing), and confirming it pins the URL.
TEST(LinkSettingsDialog, ADeviceServerPortShowsItsUrlAndIsPinnedToIt) {
  ScopedLanguage english(0);
  const std::string url = "rfc2217://10.0.0.5:2217";
  platform::SetComPortPath(3, url);
  bool present = true, server = false;
  EXPECT_EQ(CLinkSettingsDlg::PortEntryText(QStringLiteral("COM 3"), 3, &present, &server),
            QStringLiteral("COM 3  \u2014  rfc2217://10.0.0.5:2217"));
  EXPECT_FALSE(present);
  EXPECT_TRUE(server);
  {
    CLinkSettingsDlg dialog(nullptr);
    dialog.SetValues(3, 115200, 0, "h", 1, 0);
    ASSERT_TRUE(dialog.OnInitDialog());
    QComboBox* list = dialog.PortList();
    EXPECT_FALSE(list->itemData(3, Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(list->itemData(3, Qt::ForegroundRole).isValid()) << "not greyed as missing";
    dialog.accept();
    EXPECT_EQ(dialog.PinnedDevice(), url);
  }
  platform::SetComPortPath(3, {});
}

class LinkSettingsFlow : public WindowFixture {
 protected:
  // Runs the view's command with the dialog answered by `choose`.
  // `boxesAfter` message boxes that the flow then shows are answered OK.
  void RunDialog(int portIndex, bool cancel = false, int boxesAfter = 0) {
    driver_.Handle([portIndex, cancel](QWidget* w) {
      auto* dialog = qobject_cast<CLinkSettingsDlg*>(w);
      ASSERT_NE(dialog, nullptr);
      if (cancel) return dialog->reject();
      dialog->PortList()->setCurrentIndex(portIndex);
      dialog->accept();
    });
    for (int i = 0; i < boxesAfter; ++i) driver_.AnswerBox(QMessageBox::Ok);
    Trigger(res::kCmdLinkSettings);
    ASSERT_TRUE(driver_.WaitDone());
  }
};

TEST_F(LinkSettingsFlow, TheSamePortAt115200ReconnectsWithoutAHostCommand) {
  HostSimProcess sim({});
  MapCom(1, JsonField(sim.Ready(), "device"));
  SetDword("ChangePGMBaud", 1);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  RunDialog(1);
  EXPECT_TRUE(View()->IsConnected());
  EXPECT_EQ(View()->Record().rate, 115200u);
  EXPECT_TRUE(WaitEvent(sim, "rate-change", "", 500).empty());
  EXPECT_TRUE(WaitEvent(sim, "command", "", 100).empty());
  // Cancel changes nothing.
  RunDialog(0, true);
  EXPECT_EQ(View()->Record().port, 1);
  EXPECT_TRUE(View()->IsConnected());
}

TEST_F(LinkSettingsFlow, AStoredTcpLinkConfirmedAsTheSameComNumberBecomesThatComPort) {
  // The stored record is TCP with port number 1 and the host's rate change
  // on; the dialog's COM 1 at the unchanged rate must still leave TCP.
  HostSimProcess tcpHost({"--tcp", "0"});
  PtyHost com1;
  MapCom(1, com1.SlavePath());
  SetLink(1, 1, 115200, static_cast<uint32_t>(std::stoi(JsonField(tcpHost.Ready(), "port"))));
  SetText("RemoteHost", "127.0.0.1");
  SetDword("ChangePGMBaud", 1);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->IsConnected());
  ASSERT_TRUE(View()->SerialLink().IsNetwork());
  RunDialog(1);
  EXPECT_FALSE(View()->SerialLink().IsNetwork()) << "the link is COM 1 now";
  EXPECT_TRUE(View()->IsConnected());
  EXPECT_EQ(View()->Record().network, 0);
  // The touch-panel button sends over the COM port: it is enabled.
  EXPECT_FALSE(Button(res::kIdTouchProgram)->DisabledLook());
  com1.Write({'o', 'k'});
  EXPECT_TRUE(WaitFor([&] { return App()->Document()->LogLength() == 2; }, 5000));
  Stop();
  EXPECT_EQ(StoredLink().network, 0) << "the saved record keeps no network flag";
}

TEST_F(LinkSettingsFlow, APortThatCannotBeOpenedPutsTheOldOneBack) {
  PtyHost host;
  MapCom(1, host.SlavePath());
  MapCom(2, (Dir().Path() / "no-such-port").string());
  ASSERT_TRUE(Start());
  RunDialog(2, false, 1);  // the port does not exist
  EXPECT_EQ(View()->Record().port, 1);
  EXPECT_FALSE(View()->IsConnected()) << "the link stays closed";
}

TEST_F(LinkSettingsFlow, ChoosingUsbClosesTheSerialLinkFirst) {
  PtyHost host;
  MapCom(1, host.SlavePath());
  qputenv("LUMASET_USB_VIRTUAL", QByteArray::fromStdString((Dir().Path() / "no-usb.sock").string()));
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->SerialLink().IsOpen());
  RunDialog(0);
  EXPECT_FALSE(View()->SerialLink().IsOpen());
  EXPECT_TRUE(View()->UsbActive());
  EXPECT_EQ(Button(res::kIdConnect)->CommandId(), res::kIdDisconnect) << "with USB the button is always 1006";
  EXPECT_EQ(Frame()->PaneText(0), QString::fromStdString(View()->UsbLink().StatusText()));
  qunsetenv("LUMASET_USB_VIRTUAL");
}

}  // namespace
}  // namespace lumaset::test

namespace lumaset::test {
namespace {

// The window with two adapters by their stable names, the first counted as
// COM1 and the second as COM2; the settings pin COM1 to the second.
class PinnedLinkFlow : public LinkSettingsFlow {
 protected:
  void SetUp() override {
    LinkSettingsFlow::SetUp();
    first_ = byId_.Add("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", first.SlavePath());
    second_ = byId_.Add("usb-Prolific_USB-Serial_Controller_D4E5-if00-port0", second.SlavePath());
    SetLink(1);
    SetText("CommDevice", second_);
  }
  void TearDown() override {
    LinkSettingsFlow::TearDown();
    platform::SetComPortPin(0, {});
  }
  std::string StoredPin() const {
    return CRegSettings(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, Settings().string())
        .ReadString("CommDevice", "(none)");
  }
  PtyHost first, second;
  ByIdFolder byId_;
  std::string first_, second_;
};

TEST_F(PinnedLinkFlow, TheStoredPinOpensItsDeviceAndTheDialogMovesIt) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(View()->SerialLink().IsOpen());
  EXPECT_TRUE(Frame()->PaneText(0).endsWith(QStringLiteral(" (usb-Prolific_USB-Serial_Controller_D4E5-if00-port0)")))
      << Frame()->PaneText(0).toStdString();
  const Bytes mark = {'p', 'i', 'n'};
  ASSERT_EQ(View()->SerialLink().Write(mark.data(), 3), 3);
  EXPECT_EQ(second.ReadExactly(3, 2000), mark) << "COM1 is the pinned device, not the one counted first";

  RunDialog(1);  // the pinned port again: the pin stays
  EXPECT_EQ(platform::ComPortPin(1), second_);
  RunDialog(2);  // COM2 is the second adapter too, counted: now COM2 is pinned to it
  EXPECT_EQ(platform::ComPortPin(1), "");
  EXPECT_EQ(platform::ComPortPin(2), second_);
  Stop();
  EXPECT_EQ(StoredLink().port, 2);
  EXPECT_EQ(StoredPin(), second_);
}

TEST_F(PinnedLinkFlow, APortWithoutAStableNameClearsThePinAFailedChoiceKeepsIt) {
  PtyHost plain;
  MapCom(3, plain.SlavePath());
  MapCom(4, (Dir().Path() / "no-such-port").string());
  ASSERT_TRUE(Start());
  RunDialog(4, false, 1);  // cannot be opened: COM1 and its pin are put back
  EXPECT_EQ(View()->Record().port, 1);
  EXPECT_EQ(platform::ComPortPin(1), second_);
  RunDialog(3);
  EXPECT_EQ(platform::ComPortPin(3), "");
  EXPECT_EQ(platform::ComPortPin(1), "");
  Stop();
  EXPECT_EQ(StoredLink().port, 3);
  EXPECT_EQ(StoredPin(), "");
}

}  // namespace
}  // namespace lumaset::test
