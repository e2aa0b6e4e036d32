// What the port map learns from udev about serial ports, against ports that
// umockdev's test bed holds: USB serial adapters (behind the root hub and
// behind a hub) and a built-in port. Runs under umockdev's preload library;
// ctest starts it that way. By hand:
//   umockdev-wrapper build/bin/test_port_map_udev
// and in an AddressSanitizer build, whose runtime must be loaded first:
//   LD_PRELOAD=$(gcc -print-file-name=libasan.so):libumockdev-preload.so.0 build-asan/bin/test_port_map_udev
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/port_map.h"
#include "tests/platform/usb_testbed.h"
#include "tests/sim_process.h"

namespace lumaset::platform {
namespace {

using test::SerialAdapterSpec;

// The bed's ports, made in main() before any thread starts.
struct Ports {
  test::ByIdFolder byId;  // empty: this machine's by-id entries stay out
  test::UsbTestbed bed;
  std::string ftdi, plain, acm, builtIn;
};
Ports* g_ports = nullptr;

SerialAdapterSpec Adapter(const std::string& name, const std::string& parent, uint8_t address, uint16_t vendor,
                          uint16_t product) {
  SerialAdapterSpec a;
  a.usb.name = name;
  a.usb.parent = parent;
  a.usb.address = address;
  a.usb.vendorId = vendor;
  a.usb.productId = product;
  return a;
}

void MakePorts(Ports& p) {
  SerialAdapterSpec ftdi = Adapter("1-1", "usb1", 2, 0x0403, 0x6001);
  ftdi.usb.serial = "A1B2C3";
  ftdi.product = "FT232R USB UART";
  ftdi.manufacturer = "FTDI";
  ftdi.tty = "ttyUSB0";
  ftdi.devnum = "188:0";
  p.ftdi = p.bed.AddSerialAdapter(ftdi);

  // Reports a product text only.
  SerialAdapterSpec plain = Adapter("1-2", "usb1", 3, 0x1a86, 0x7523);
  plain.product = "USB Serial";
  plain.tty = "ttyUSB1";
  plain.devnum = "188:1";
  p.plain = p.bed.AddSerialAdapter(plain);

  // Behind a hub, whose own ids must not be taken for the adapter's.
  p.bed.AddHub("1-3", "usb1", 4);
  SerialAdapterSpec acm = Adapter("1-3.2", "1-3", 5, 0x1209, 0x5a01);
  acm.usb.serial = "0042";
  acm.product = "CDC Bridge";
  acm.manufacturer = "Test Bench";
  acm.tty = "ttyACM0";
  acm.devnum = "166:0";
  p.acm = p.bed.AddSerialAdapter(acm);

  p.builtIn = p.bed.AddBuiltInTty("ttyS0", "4:64");
}

TEST(PortMapUdev, AUsbSerialAdapterReportsItsIdsAndTexts) {
  const SerialDeviceInfo info = DescribeSerialDevice(g_ports->ftdi);
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.node, "/dev/ttyUSB0");
  EXPECT_EQ(info.byId, "");
  ASSERT_TRUE(info.usb);
  EXPECT_EQ(info.vendorId, "0403");
  EXPECT_EQ(info.productId, "6001");
  EXPECT_EQ(info.serial, "A1B2C3");
  EXPECT_EQ(info.product, "FT232R USB UART");
  EXPECT_EQ(info.manufacturer, "FTDI");
}

TEST(PortMapUdev, TextsAnAdapterDoesNotReportAreEmpty) {
  const SerialDeviceInfo info = DescribeSerialDevice(g_ports->plain);
  ASSERT_TRUE(info.usb);
  EXPECT_EQ(info.vendorId, "1a86");
  EXPECT_EQ(info.productId, "7523");
  EXPECT_EQ(info.serial, "");
  EXPECT_EQ(info.product, "USB Serial");
  EXPECT_EQ(info.manufacturer, "");
}

TEST(PortMapUdev, AnAdapterBehindAHubHasItsOwnIds) {
  const SerialDeviceInfo info = DescribeSerialDevice(g_ports->acm);
  EXPECT_EQ(info.node, "/dev/ttyACM0");
  ASSERT_TRUE(info.usb);
  EXPECT_EQ(info.vendorId + ":" + info.productId, "1209:5a01") << "not the hub's 05e3:0610";
  EXPECT_EQ(info.serial, "0042");
  EXPECT_EQ(info.product, "CDC Bridge");
  EXPECT_EQ(info.manufacturer, "Test Bench");
}

TEST(PortMapUdev, ABuiltInPortIsNoUsbDevice) {
  const SerialDeviceInfo info = DescribeSerialDevice(g_ports->builtIn);
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.node, "/dev/ttyS0");
  EXPECT_FALSE(info.usb);
  EXPECT_TRUE(info.vendorId.empty() && info.productId.empty() && info.serial.empty() && info.product.empty() &&
              info.manufacturer.empty());
  EXPECT_FALSE(DescribeSerialDevice("/dev/ttyUSB7").present) << "not in the bed";
}

TEST(PortMapUdev, ThePortsPresentCountInTheirOrder) {
  const auto ports = ListComPorts(16);
  std::vector<std::string> paths;
  for (const auto& [number, where] : ports) {
    EXPECT_EQ(where.source, ComSource::kPresent) << number;
    paths.push_back(where.path);
  }
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0", "/dev/ttyS0"}));
  EXPECT_EQ(ComPortPath(3), g_ports->acm);
}

// Standard output of a program, read until it ends (bounded).
std::string Output(test::ChildProcess& child, int timeoutMs) {
  std::string out;
  Deadline deadline(timeoutMs);
  while (!deadline.Passed()) {
    pollfd p{child.StdoutFd(), POLLIN, 0};
    if (poll(&p, 1, deadline.Remaining()) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(child.StdoutFd(), buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The command-line program, started from here, finds the same bed (it
// inherits the preload library and the bed's folder).
TEST(PortMapUdev, TheCommandLineListsTheAdaptersWithTheirIds) {
  const std::string cli = test::BuiltProgram("lumaset-cli");
  if (access(cli.c_str(), X_OK) != 0) GTEST_SKIP() << cli << " not built";
  test::ChildProcess::Options options;
  options.captureStdout = true;
  test::ChildProcess text({cli, "ports"}, options);
  const auto lines = Lines(Output(text, 60000));
  EXPECT_EQ(text.Wait(10000), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "COM1  /dev/ttyUSB0  present  usb 0403:6001  serial A1B2C3  \"FT232R USB UART\"",
                       "COM2  /dev/ttyUSB1  present  usb 1a86:7523  \"USB Serial\"",
                       "COM3  /dev/ttyACM0  present  usb 1209:5a01  serial 0042  \"CDC Bridge\"",
                       "COM4  /dev/ttyS0  present",
                   }));

  test::ChildProcess json({cli, "ports", "--json"}, options);
  const auto objects = Lines(Output(json, 60000));
  EXPECT_EQ(json.Wait(10000), 0);
  ASSERT_EQ(objects.size(), 4u);
  EXPECT_EQ(test::JsonField(objects[0], "usb"), "0403:6001");
  EXPECT_EQ(test::JsonField(objects[0], "serial"), "A1B2C3");
  EXPECT_EQ(test::JsonField(objects[0], "manufacturer"), "FTDI");
  EXPECT_EQ(test::JsonField(objects[1], "serial"), "") << objects[1];
  EXPECT_EQ(test::JsonField(objects[1], "manufacturer"), "") << objects[1];
  EXPECT_EQ(test::JsonField(objects[2], "manufacturer"), "Test Bench");
  EXPECT_EQ(test::JsonField(objects[3], "usb"), "") << objects[3];
  EXPECT_EQ(test::JsonField(objects[3], "device"), "/dev/ttyS0");
}

}  // namespace
}  // namespace lumaset::platform

int main(int argc, char** argv) {
  if (!lumaset::test::UsbTestbed::InMockEnvironment()) {
    std::fprintf(stderr, "This test needs umockdev's preload library. Run it as\n  umockdev-wrapper %s\n", argv[0]);
    return 1;
  }
  auto ports = std::make_unique<lumaset::platform::Ports>();
  lumaset::platform::MakePorts(*ports);
  lumaset::platform::g_ports = ports.get();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  lumaset::platform::g_ports = nullptr;
  ports.reset();
  return result;
}
