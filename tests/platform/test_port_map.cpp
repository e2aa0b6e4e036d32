// The port map against real pseudo-terminals, with a temporary folder of
// symlinks standing in for /dev/serial/by-id.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/port_map.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset::platform {
namespace {

namespace fs = std::filesystem;

std::string Real(const std::string& path) { return fs::canonical(path).string(); }

// Two adapters by their stable names: "usb-A..." counts first, "usb-B..." second.
class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 3; ++n) {
      SetComPortPath(n, {});
      unsetenv(("LUMASET_COM" + std::to_string(n)).c_str());
    }
    SetComPortPin(0, {});
    a_ = byId_.Add(kA, hostA_.SlavePath());
    b_ = byId_.Add(kB, hostB_.SlavePath());
  }
  void TearDown() override {
    for (int n = 1; n <= 3; ++n) {
      SetComPortPath(n, {});
      unsetenv(("LUMASET_COM" + std::to_string(n)).c_str());
    }
    SetComPortPin(0, {});
  }
  static constexpr const char* kA = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  static constexpr const char* kB = "usb-Prolific_USB-Serial_Controller_D4E5-if00-port0";
  test::PtyHost hostA_, hostB_;
  test::ByIdFolder byId_;
  std::string a_, b_;
};

TEST_F(PortMapTest, ProcessThenEnvironmentThenPinThenTheNthPresent) {
  EXPECT_EQ(SerialByIdDir(), byId_.Path().string());
  // Counted: the by-id entries by name come first.
  EXPECT_EQ(ComPortPath(1), a_);
  EXPECT_EQ(ResolveComPort(1).source, ComSource::kPresent);
  EXPECT_EQ(ComPortPath(2), b_);

  SetComPortPin(1, b_);
  EXPECT_EQ(ComPortPath(1), b_) << "the pin wins over the count";
  EXPECT_EQ(ResolveComPort(1).source, ComSource::kPin);
  EXPECT_EQ(ComPortPin(1), b_);
  EXPECT_EQ(ComPortPath(2), b_) << "the pinned device still counts under its own number";

  setenv("LUMASET_COM1", hostA_.SlavePath().c_str(), 1);
  EXPECT_EQ(ComPortPath(1), hostA_.SlavePath()) << "the environment wins over the pin";
  EXPECT_EQ(ResolveComPort(1).source, ComSource::kEnvironment);

  SetComPortPath(1, "/dev/lumaset-process-choice");
  EXPECT_EQ(ComPortPath(1), "/dev/lumaset-process-choice") << "the process wins over everything";
  EXPECT_EQ(ResolveComPort(1).source, ComSource::kProcess);

  SetComPortPath(1, {});
  unsetenv("LUMASET_COM1");
  EXPECT_EQ(ComPortPath(1), b_) << "back to the pin";
}

TEST_F(PortMapTest, OnePinAtATime) {
  SetComPortPin(1, b_);
  SetComPortPin(2, a_);
  EXPECT_EQ(ComPortPin(1), "") << "a new pin replaces the old one";
  EXPECT_EQ(ComPortPath(1), a_);
  EXPECT_EQ(ComPortPath(2), a_);
  EXPECT_EQ(ComPortPin(2), a_);
  for (int number : {0, -1, 256}) {
    SetComPortPin(2, a_);
    SetComPortPin(number, b_);
    EXPECT_EQ(ComPortPin(2), "") << number << " removes the pin";
    EXPECT_EQ(ComPortPin(number), "");
  }
  SetComPortPin(2, a_);
  SetComPortPin(2, "");
  EXPECT_EQ(ResolveComPort(2).source, ComSource::kPresent);
  EXPECT_EQ(ResolveComPort(0).path, "");
}

TEST_F(PortMapTest, AMissingPinnedDeviceIsNotReplacedByAnother) {
  const std::string gone = byId_.Entry("usb-FTDI_gone-if00-port0");
  SetComPortPin(1, gone);
  const ComResolution r = ResolveComPort(1);
  EXPECT_EQ(r.path, gone);
  EXPECT_EQ(r.source, ComSource::kPin);
  // Listed with the others, as missing.
  bool listed = false;
  for (const auto& [number, where] : ListComPorts(8)) {
    if (number != 1) continue;
    listed = true;
    EXPECT_EQ(where.path, gone);
    EXPECT_FALSE(DescribeSerialDevice(where.path).present);
  }
  EXPECT_TRUE(listed);
  // Numbers beyond the devices present resolve only through the pin or the
  // environment.
  SetComPortPin(200, gone);
  EXPECT_EQ(ComPortPath(200), gone);
  SetComPortPin(0, {});
  EXPECT_EQ(ComPortPath(200), "");
}

TEST_F(PortMapTest, TheStablePathOfAPortIsItsPinOrItsByIdEntry) {
  EXPECT_EQ(StableComPortPath(1), a_) << "counted by its by-id entry";
  // A port that the process maps to a device with a by-id entry: that entry.
  SetComPortPath(3, hostB_.SlavePath());
  EXPECT_EQ(StableComPortPath(3), b_);
  // A device without one: nothing stable.
  test::PtyHost plain;
  SetComPortPath(3, plain.SlavePath());
  EXPECT_EQ(StableComPortPath(3), "");
  SetComPortPath(3, "/dev/lumaset-no-such-port");
  EXPECT_EQ(StableComPortPath(3), "");
  // A pinned port keeps its pin, also while the device is unplugged.
  const std::string gone = byId_.Entry("usb-gone-if00-port0");
  SetComPortPin(2, gone);
  EXPECT_EQ(StableComPortPath(2), gone);
  EXPECT_EQ(StableComPortPath(250), "") << "resolves to nothing";
}

TEST_F(PortMapTest, ByIdNamesAndTheFolderSetting) {
  EXPECT_EQ(ByIdName(hostA_.SlavePath()), kA);
  EXPECT_EQ(ByIdName(b_), kB);
  test::PtyHost plain;
  EXPECT_EQ(ByIdName(plain.SlavePath()), "");
  EXPECT_EQ(ByIdName("/dev/lumaset-no-such-port"), "");
  EXPECT_EQ(ByIdName(""), "");
  // A trailing slash names the same folder.
  setenv("LUMASET_SERIAL_BY_ID_DIR", (byId_.Path().string() + "/").c_str(), 1);
  EXPECT_EQ(SerialByIdDir(), byId_.Path().string());
  EXPECT_EQ(ComPortPath(1), a_);
  unsetenv("LUMASET_SERIAL_BY_ID_DIR");
  EXPECT_EQ(SerialByIdDir(), "/dev/serial/by-id");
  EXPECT_NE(ComPortPath(1), a_) << "the folder is looked up afresh";
  setenv("LUMASET_SERIAL_BY_ID_DIR", byId_.Path().c_str(), 1);
}

TEST_F(PortMapTest, DescriptionOfADeviceUdevDoesNotKnow) {
  // A pseudo-terminal has no udev record: present, no USB facts.
  const SerialDeviceInfo a = DescribeSerialDevice(a_);
  EXPECT_TRUE(a.present);
  EXPECT_EQ(a.node, Real(hostA_.SlavePath()));
  EXPECT_EQ(a.byId, kA);
  EXPECT_FALSE(a.usb);
  EXPECT_TRUE(a.vendorId.empty() && a.productId.empty() && a.serial.empty() && a.product.empty());
  // A regular file is no device at all.
  test::TempDir dir;
  const SerialDeviceInfo file = DescribeSerialDevice(dir.File("not-a-tty", {1, 2}).string());
  EXPECT_TRUE(file.present);
  EXPECT_FALSE(file.usb);
  EXPECT_FALSE(DescribeSerialDevice("").present);
}

TEST(PortMapUdev, UsbSerialAdaptersOfThisMachineHaveTheirIds) {
  // Runs only where a USB serial adapter is plugged in (test_port_map_udev
  // checks the same look-ups against adapters that umockdev emulates).
  int seen = 0;
  for (const char* prefix : {"/dev/ttyUSB", "/dev/ttyACM"})
    for (int i = 0; i < 8; ++i) {
      const std::string path = prefix + std::to_string(i);
      struct stat st{};
      if (stat(path.c_str(), &st) != 0) continue;
      const SerialDeviceInfo info = DescribeSerialDevice(path);
      ASSERT_TRUE(info.usb) << path;
      EXPECT_EQ(info.vendorId.size(), 4u) << path;
      EXPECT_EQ(info.productId.size(), 4u) << path;
      ++seen;
    }
  if (seen == 0) GTEST_SKIP() << "no USB serial adapter on this machine";
}

}  // namespace
}  // namespace lumaset::platform
