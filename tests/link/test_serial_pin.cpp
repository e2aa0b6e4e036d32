// The serial link on a COM port pinned to a stable device name: the device
// it opens, the description it shows, and a pinned device that is missing.
#include <gtest/gtest.h>

#include <string>

#include "resources/resource_ids.h"
#include "link/serial_link.h"
#include "platform/language.h"
#include "platform/port_map.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

using test::Bytes;

class PinnedPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    for (int n = 1; n <= 2; ++n) platform::SetComPortPath(n, {});
    first_ = byId_.Add("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", first.SlavePath());
    second_ = byId_.Add("usb-Prolific_USB-Serial_Controller_D4E5-if00-port0", second.SlavePath());
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
  }
  void TearDown() override {
    link.Close(1);
    platform::SetComPortPin(0, {});
  }
  int OpenCom(uint8_t port) {
    LinkSettings s;
    s.port = port;
    link.ApplySettings(&s);
    return link.Open(0);
  }
  test::PtyHost first, second;
  test::ByIdFolder byId_;
  std::string first_, second_;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CSerialLink link;
};

TEST_F(PinnedPortTest, APinnedPortOpensItsDeviceAndNamesItInTheDescription) {
  // Unpinned, COM1 is the first device counted and the description is as always.
  ASSERT_EQ(OpenCom(1), 1);
  EXPECT_EQ(link.GetDescription(), "Connected: COM1: 115200, N ,8 ,1");
  link.Close(1);

  platform::SetComPortPin(1, second_);
  ASSERT_EQ(OpenCom(1), 1);
  EXPECT_EQ(link.GetDescription(),
            "Connected: COM1: 115200, N ,8 ,1 (usb-Prolific_USB-Serial_Controller_D4E5-if00-port0)");
  const Bytes hello = {'h', 'i'};
  ASSERT_EQ(link.Write(hello.data(), 2), 2);
  EXPECT_EQ(second.ReadExactly(2, 2000), hello) << "the pinned device got the bytes";
  EXPECT_TRUE(first.Drain(100).empty()) << "the device counted first got nothing";
  EXPECT_TRUE(op.Boxes().empty());
}

TEST_F(PinnedPortTest, AnOverriddenPinIsNotShown) {
  platform::SetComPortPin(1, second_);
  platform::SetComPortPath(1, first.SlavePath());
  ASSERT_EQ(OpenCom(1), 1);
  EXPECT_EQ(link.GetDescription(), "Connected: COM1: 115200, N ,8 ,1") << "COM1 is not the pinned device now";
  platform::SetComPortPath(1, {});
}

TEST_F(PinnedPortTest, ALongDeviceNameIsShortenedWithinTheDescriptionsLimit) {
  const std::string name = "usb-" + std::string(150, 'x') + "-if00-port0";
  platform::SetComPortPin(1, byId_.Add(name, second.SlavePath()));
  ASSERT_EQ(OpenCom(1), 1);
  const std::string d = link.GetDescription();
  EXPECT_EQ(d.size(), 99u) << d;
  EXPECT_EQ(d.rfind("Connected: COM1: 115200, N ,8 ,1 (usb-xxx", 0), 0u) << d;
  EXPECT_EQ(d.substr(d.size() - 4), "...)") << d;
}

TEST_F(PinnedPortTest, AMissingPinnedDeviceIsReportedMissingAndNoOtherIsOpened) {
  ASSERT_EQ(OpenCom(1), 1) << "unpinned, COM1 opens the device counted first";
  link.Close(1);
  platform::SetComPortPin(1, byId_.Entry("usb-FTDI_unplugged-if00-port0"));
  EXPECT_EQ(OpenCom(1), 0);
  EXPECT_EQ(link.IsOpen(), 0);
  ASSERT_EQ(op.Boxes().size(), 1u);
  // It names the pinned device, not another one.
  EXPECT_EQ(op.Boxes()[0].text, platform::LoadString(res::kStrPortMissing) + "\n\nPort: COM 1 (" +
                                    byId_.Entry("usb-FTDI_unplugged-if00-port0") + ")");
}

}  // namespace
}  // namespace lumaset
