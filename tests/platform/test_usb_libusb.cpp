// The libusb back-end of the USB device layer against devices that umockdev
// emulates: sysfs and /dev/bus/usb come from its test bed, and the usbfs
// requests of each node are answered by tests/platform/usb_testbed.cpp. Runs
// under umockdev's preload library; ctest starts it that way. By hand:
//   umockdev-wrapper build/bin/test_usb_libusb
// and in an AddressSanitizer build, whose runtime must be loaded first:
//   LD_PRELOAD=$(gcc -print-file-name=libasan.so):libumockdev-preload.so.0 build-asan/bin/test_usb_libusb
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "link/link_events.h"
#include "link/serial_link.h"  // kHostAck
#include "link/usb_link.h"
#include "platform/usb_device.h"
#include "tests/platform/usb_testbed.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset {
namespace {

using platform::IoStatus;
using platform::UsbConfig;
using platform::UsbError;
using test::DeviceSpec;
using test::EmulatedUsbDevice;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, unsigned seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr uint16_t kVendor = 0x1209;

DeviceSpec Vendor(const std::string& name, const std::string& parent, uint8_t address, uint16_t product,
                  uint16_t packet = 64) {
  DeviceSpec d;
  d.name = name;
  d.parent = parent;
  d.address = address;
  d.vendorId = kVendor;
  d.productId = product;
  d.speed = packet > 64 ? 480 : 12;
  d.interfaces = {{0, 0xFF, {{0x82, 2, packet}, {0x03, 2, packet}}}};
  return d;
}

// Every case has devices of its own product ID, all made before the tests
// start: libusb lists the bed's devices once, when it starts.
struct Bench {
  test::UsbTestbed bed;
  EmulatedUsbDevice *twinA, *twinB, *decoy, *walk, *wide, *partial, *locked, *busy, *unplug, *cancel, *wedged, *host,
      *pulled;
  std::string lockedNode;

  Bench() {
    bed.AddHub("1-2", "usb1", 2);
    DeviceSpec a = Vendor("1-2.3", "1-2", 3, 0xa001);
    a.serial = "AAA111";
    twinA = &bed.AddDevice(a);
    DeviceSpec b = Vendor("1-4", "usb1", 4, 0xa001);
    b.serial = "BBB222";
    twinB = &bed.AddDevice(b);
    DeviceSpec c = Vendor("1-5", "usb1", 5, 0xa002);
    c.serial = "AAA111";
    decoy = &bed.AddDevice(c);
    // A CDC data interface with bulk endpoints comes first; the vendor
    // interface starts with an interrupt endpoint.
    DeviceSpec w = Vendor("1-6", "usb1", 6, 0xa003);
    w.interfaces = {{0, 0x0A, {{0x81, 2, 64}, {0x01, 2, 64}}},
                    {1, 0xFF, {{0x83, 3, 8}, {0x84, 2, 64}, {0x05, 2, 64}}}};
    walk = &bed.AddDevice(w);
    wide = &bed.AddDevice(Vendor("1-7", "usb1", 7, 0xa004, 512));
    partial = &bed.AddDevice(Vendor("1-8", "usb1", 8, 0xa005));
    DeviceSpec l = Vendor("1-9", "usb1", 9, 0xa006);
    locked = &bed.AddDevice(l);
    lockedNode = bed.NodeFile(l);
    busy = &bed.AddDevice(Vendor("1-10", "usb1", 10, 0xa007));
    unplug = &bed.AddDevice(Vendor("1-11", "usb1", 11, 0xa008));
    cancel = &bed.AddDevice(Vendor("1-12", "usb1", 12, 0xa00a));
    host = &bed.AddDevice(Vendor("1-13", "usb1", 13, 0xa009));
    wedged = &bed.AddDevice(Vendor("1-14", "usb1", 14, 0xa00b));
    pulled = &bed.AddDevice(Vendor("1-15", "usb1", 15, 0xa00c));
  }
};
Bench* g_bench = nullptr;

UsbConfig Config(uint16_t product) {
  UsbConfig c;
  c.vendorId = kVendor;
  c.productId = product;
  return c;
}

std::string Found(const UsbConfig& config, UsbError* error = nullptr) {
  std::string path;
  UsbError ignored;
  auto device = platform::FindDevicePath(config, &path, error ? error : &ignored);
  return device ? device->Path() + (path == device->Path() ? "" : " (path differs: " + path + ")") : "";
}

// Root passes every permission check; dropping the override capabilities in
// this thread makes a file's mode count, as for an operator.
class WithoutFileOverride {
 public:
  WithoutFileOverride() {
    if (geteuid() != 0) return;
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    dropped_ = syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutFileOverride() {
    if (dropped_) syscall(SYS_capset, &header_, saved_);
  }
  bool Usable() const { return geteuid() != 0 || dropped_; }

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

// ---- finding the device ----------------------------------------------------------

TEST(LibusbDevice, TwoMatchingDevicesArePickedByOrderSerialOrBusPath) {
  Bench& b = *g_bench;
  {
    // No serial or path: the first in libusb's list is used, the other one
    // and the device of another product are never opened.
    std::string path;
    auto device = platform::FindDevicePath(Config(0xa001), &path, nullptr);
    ASSERT_TRUE(device);
    EXPECT_EQ(path, device->Path());
    EmulatedUsbDevice* chosen = path == "1-2.3" ? b.twinA : path == "1-4" ? b.twinB : nullptr;
    ASSERT_NE(chosen, nullptr) << path;
    EmulatedUsbDevice* other = chosen == b.twinA ? b.twinB : b.twinA;
    EXPECT_EQ(chosen->OpenNow(), 1);
    EXPECT_EQ(chosen->Claimed(), std::vector<int>{0});
    EXPECT_EQ(other->Opens(), 0);
    device.reset();
    EXPECT_EQ(chosen->OpenNow(), 0);
    EXPECT_TRUE(chosen->Claimed().empty());
  }
  EXPECT_EQ(b.decoy->Opens(), 0);

  UsbConfig bySerial = Config(0xa001);
  bySerial.serial = "BBB222";
  EXPECT_EQ(Found(bySerial), "1-4");
  bySerial.serial = "AAA111";
  EXPECT_EQ(Found(bySerial), "1-2.3");
  // The decoy has that serial too, but not the product ID.
  EXPECT_EQ(b.decoy->Opens(), 0);

  // A bus path names one device; the other is not even opened.
  const int opensA = b.twinA->Opens();
  UsbConfig byPath = Config(0xa001);
  byPath.busPath = "1-4";
  EXPECT_EQ(Found(byPath), "1-4");
  EXPECT_EQ(b.twinA->Opens(), opensA);
  const int opensB = b.twinB->Opens();
  byPath.busPath = "1-2.3";
  EXPECT_EQ(Found(byPath), "1-2.3");
  EXPECT_EQ(b.twinB->Opens(), opensB);

  UsbError error;
  bySerial.serial = "CCC333";
  EXPECT_EQ(Found(bySerial, &error), "");
  EXPECT_EQ(error.kind, UsbError::kNotFound);
  EXPECT_NE(error.text.find("1209:a001 serial \"CCC333\""), std::string::npos) << error.text;
  byPath.busPath = "1-5";  // the decoy's place
  EXPECT_EQ(Found(byPath, &error), "");
  EXPECT_EQ(error.kind, UsbError::kNotFound);
  EXPECT_EQ(Found(Config(0xa0ff), &error), "");
  EXPECT_EQ(error.kind, UsbError::kNotFound);

  // Presence is looked at without keeping the device.
  std::string path;
  EXPECT_TRUE(platform::DevicePresent(Config(0xa001), &path));
  EXPECT_EQ(b.twinA->OpenNow() + b.twinB->OpenNow(), 0);
  EXPECT_EQ(b.decoy->Opens(), 0);
}

TEST(LibusbDevice, TheEndpointWalkSkipsTheNonVendorInterface) {
  EmulatedUsbDevice& d = *g_bench->walk;
  auto exchange = [&](const UsbConfig& config, uint8_t in, uint8_t out) {
    SCOPED_TRACE(::testing::Message() << std::hex << "in " << int(in) << " out " << int(out));
    auto read = platform::OpenPipe(config, platform::kReadPipeName);
    auto write = platform::OpenPipe(config, platform::kWritePipeName);
    ASSERT_TRUE(read && write);
    EXPECT_EQ(read->DevicePath(), "1-6");
    EXPECT_EQ(d.OpenNow(), 1);  // both pipes share the device
    int n = 0;
    const Bytes message = Text("to " + std::to_string(out));
    ASSERT_EQ(platform::PipeWrite(write, message.data(), static_cast<int>(message.size()), &n), 1);
    EXPECT_EQ(n, static_cast<int>(message.size()));
    ASSERT_FALSE(d.Received(out).empty());
    EXPECT_EQ(d.Received(out).back(), message);
    d.SendIn(in, Text("from"));
    uint8_t buffer[64];
    ASSERT_EQ(platform::PipeRead(read, buffer, sizeof buffer, &n), 1);
    EXPECT_EQ(Bytes(buffer, buffer + n), Text("from"));
  };
  exchange(Config(0xa003), 0x84, 0x05);
  EXPECT_EQ(d.EverClaimed(), std::vector<int>{1});
  EXPECT_TRUE(d.Received(0x01).empty());
  EXPECT_EQ(d.OpenNow(), 0);

  // A configured interface may be of any class.
  UsbConfig config = Config(0xa003);
  config.interfaceNumber = 0;
  exchange(config, 0x81, 0x01);
  EXPECT_EQ(d.EverClaimed(), (std::vector<int>{0, 1}));
  // Configured endpoints find their interface.
  config = Config(0xa003);
  config.inEndpoint = 0x81;
  config.outEndpoint = 0x01;
  exchange(config, 0x81, 0x01);

  // An interrupt endpoint or a missing interface is no pipe.
  UsbError error;
  config.inEndpoint = 0x83;
  config.outEndpoint = 0x05;
  EXPECT_FALSE(platform::OpenPipe(config, platform::kReadPipeName, &error));
  EXPECT_EQ(error.kind, UsbError::kNoInterface);
  EXPECT_NE(error.text.find("LUMASET_USB_INTERFACE"), std::string::npos) << error.text;
  config = Config(0xa003);
  config.interfaceNumber = 4;
  EXPECT_FALSE(platform::OpenPipe(config, platform::kReadPipeName, &error));
  EXPECT_EQ(error.kind, UsbError::kNoInterface);
  EXPECT_EQ(d.OpenNow(), 0);
}

// ---- transfers --------------------------------------------------------------------

TEST(LibusbDevice, APacketLongerThanTheReadIsHandedOutOverTwoReads) {
  EmulatedUsbDevice& d = *g_bench->wide;  // high speed: 512-byte packets
  auto read = platform::OpenPipe(Config(0xa004), platform::kReadPipeName);
  ASSERT_TRUE(read);
  const Bytes packet = Pattern(100);
  d.SendIn(0x82, packet);
  uint8_t buffer[platform::kUsbInPacket];
  int n = 0;
  ASSERT_EQ(platform::PipeRead(read, buffer, sizeof buffer, &n), 1);
  EXPECT_EQ(Bytes(buffer, buffer + n), Slice(packet, 0, 64));
  ASSERT_EQ(platform::PipeRead(read, buffer, sizeof buffer, &n), 1);
  EXPECT_EQ(Bytes(buffer, buffer + n), Slice(packet, 64, 36));
  EXPECT_EQ(d.PendingTransfers(), 0);  // the second read needed no transfer

  // A read of a size that is no whole number of packets still takes whole
  // packets: two full ones and a short one arrive without loss.
  const Bytes burst = Pattern(1034, 3);
  d.SendIn(0x82, burst);
  Bytes got;
  uint8_t big[600];
  for (int reads = 0; reads < 3 && got.size() < burst.size(); ++reads) {
    size_t count = 0;
    ASSERT_EQ(read->Read(big, sizeof big, &count, nullptr, 1000), IoStatus::kOk);
    got.insert(got.end(), big, big + count);
  }
  EXPECT_EQ(got, burst);
}

TEST(LibusbDevice, APartialWriteReportsTheBytesThatWentOut) {
  EmulatedUsbDevice& d = *g_bench->partial;
  auto write = platform::OpenPipe(Config(0xa005), platform::kWritePipeName);
  ASSERT_TRUE(write);
  const Bytes block = Pattern(512);
  size_t count = 0;
  d.LimitOut(100);
  int64_t ms = test::TimeMs([&] { EXPECT_EQ(write->Write(block.data(), block.size(), &count, nullptr, 300), IoStatus::kOk); });
  EXPECT_EQ(count, 100u);
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 1500);
  ASSERT_EQ(d.Received(0x03).size(), 1u);
  EXPECT_EQ(d.Received(0x03)[0], Slice(block, 0, 100));
  // Nothing taken at all is a time-out.
  EXPECT_EQ(write->Write(block.data(), 5, &count, nullptr, 300), IoStatus::kTimeout);
  EXPECT_EQ(count, 0u);
  d.LimitOut(-1);
  int n = 0;
  EXPECT_EQ(platform::PipeWrite(write, block.data(), 512, &n), 1);
  EXPECT_EQ(n, 512);
  EXPECT_EQ(d.Received(0x03).back(), block);

  // A stall after part of the block: what went out counts as written (the
  // rest follows once the halt is cleared), so nothing is sent twice.
  d.StallOutAfter(200);
  EXPECT_EQ(platform::PipeWrite(write, block.data(), 512, &n), 1);
  EXPECT_EQ(n, 200);
  EXPECT_EQ(platform::PipeWrite(write, block.data() + n, 512 - n, &n), 1);
  EXPECT_EQ(n, 312);
  const auto writes = d.Received(0x03);
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[writes.size() - 2] + writes.back(), block);
  // A stall before any byte is a failed write.
  d.StallOutAfter(0);
  EXPECT_EQ(platform::PipeWrite(write, block.data(), 64, &n), 0);
  EXPECT_EQ(n, 0);
}

TEST(LibusbDevice, ATransferThatDoesNotComeBackAfterItsCancelIsLeftBehind) {
  // The device keeps the cancelled read: the caller gets an error within a
  // bounded time, and the transfer's memory stays valid until it ends.
  EmulatedUsbDevice& d = *g_bench->wedged;
  auto read = platform::OpenPipe(Config(0xa00b), platform::kReadPipeName);
  ASSERT_TRUE(read);
  d.HoldDiscards(true);
  platform::Event returned;
  IoStatus status = IoStatus::kOk;
  std::thread reader([&] {
    uint8_t buffer[64];
    size_t count = 0;
    status = read->Read(buffer, sizeof buffer, &count, nullptr, 200);
    returned.Set();
  });
  const bool ended = returned.Wait(8000);
  d.HoldDiscards(false);  // lets a read that still waits end as well
  reader.join();
  ASSERT_TRUE(ended) << "the read waited for its cancelled transfer without bound";
  EXPECT_EQ(status, IoStatus::kError);
  // Given back late, the transfer ends in its callback; the pipe goes on.
  ASSERT_TRUE(d.WaitIdle(2000));
  d.SendIn(0x82, Text("later"));
  uint8_t buffer[64];
  int n = 0;
  ASSERT_EQ(platform::PipeRead(read, buffer, sizeof buffer, &n), 1);
  EXPECT_EQ(Bytes(buffer, buffer + n), Text("later"));
}

TEST(LibusbDevice, CancelAndCloseEndAPendingRead) {
  EmulatedUsbDevice& d = *g_bench->cancel;
  auto read = platform::OpenPipe(Config(0xa00a), platform::kReadPipeName);
  ASSERT_TRUE(read);
  platform::Event cancel;
  IoStatus status = IoStatus::kOk;
  uint8_t buffer[64];
  size_t count = 0;
  std::thread reader([&] { status = read->Read(buffer, sizeof buffer, &count, &cancel, 5000); });
  ASSERT_TRUE(d.WaitPending(0x82, 1, 2000));
  int64_t ms = test::TimeMs([&] {
    cancel.Set();
    reader.join();
  });
  EXPECT_EQ(status, IoStatus::kCancelled);
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(d.PendingTransfers(), 0);  // the transfer was taken back

  reader = std::thread([&] { status = read->Read(buffer, sizeof buffer, &count, nullptr, 5000); });
  ASSERT_TRUE(d.WaitPending(0x82, 1, 2000));
  ms = test::TimeMs([&] {
    read->Close();
    reader.join();
  });
  EXPECT_EQ(status, IoStatus::kClosed);
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(read->Read(buffer, sizeof buffer, &count, nullptr, 100), IoStatus::kClosed);
  // A read that times out leaves no transfer behind.
  auto again = platform::OpenPipe(Config(0xa00a), platform::kReadPipeName);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Read(buffer, sizeof buffer, &count, nullptr, 200), IoStatus::kTimeout);
  EXPECT_EQ(d.PendingTransfers(), 0);
}

TEST(LibusbDevice, UnplugDuringATransferEndsItAtOnce) {
  EmulatedUsbDevice& d = *g_bench->unplug;
  auto read = platform::OpenPipe(Config(0xa008), platform::kReadPipeName);
  auto write = platform::OpenPipe(Config(0xa008), platform::kWritePipeName);
  ASSERT_TRUE(read && write);
  IoStatus status = IoStatus::kOk;
  uint8_t buffer[64];
  size_t count = 0;
  std::thread reader([&] { status = read->Read(buffer, sizeof buffer, &count, nullptr, platform::kPipeTimeoutMs); });
  ASSERT_TRUE(d.WaitPending(0x82, 1, 2000));
  const int64_t ms = test::TimeMs([&] {
    d.Unplug();
    reader.join();
  });
  EXPECT_EQ(status, IoStatus::kGone);
  EXPECT_LT(ms, 1500);  // well before the read's own time-out
  // Every later call fails at once, and the device is no longer found.
  const Bytes block = Pattern(64);
  EXPECT_LT(test::TimeMs([&] {
              EXPECT_EQ(write->Write(block.data(), block.size(), &count, nullptr, 2000), IoStatus::kGone);
              EXPECT_EQ(read->Read(buffer, sizeof buffer, &count, nullptr, 2000), IoStatus::kGone);
            }),
            1000);
  EXPECT_TRUE(read->Gone() && write->Gone());
  UsbError error;
  EXPECT_FALSE(platform::OpenPipe(Config(0xa008), platform::kReadPipeName, &error));
  EXPECT_EQ(error.kind, UsbError::kNotFound);
  read.reset();
  write.reset();
  EXPECT_EQ(d.OpenNow(), 0);
}

// ---- errors for the operator ------------------------------------------------------

TEST(LibusbDevice, APermissionErrorNamesTheUdevRule) {
  Bench& b = *g_bench;
  ASSERT_EQ(chmod(b.lockedNode.c_str(), 0444), 0);
  UsbError error;
  {
    WithoutFileOverride asOperator;
    if (!asOperator.Usable()) GTEST_SKIP() << "cannot drop the file-permission override of root";
    EXPECT_EQ(Found(Config(0xa006), &error), "");
  }
  EXPECT_EQ(error.kind, UsbError::kAccess);
  EXPECT_NE(error.text.find(platform::UdevRuleFor(kVendor, 0xa006)), std::string::npos) << error.text;
  EXPECT_NE(error.text.find(platform::kUdevRuleFile), std::string::npos);
  EXPECT_NE(error.text.find(platform::kUdevReloadCommand), std::string::npos);
  EXPECT_NE(error.text.find("1-9"), std::string::npos);
  EXPECT_EQ(b.locked->Opens(), 0);
  ASSERT_EQ(chmod(b.lockedNode.c_str(), 0664), 0);
  EXPECT_EQ(Found(Config(0xa006)), "1-9");

  // Claimed by another program: busy, and closed again.
  b.busy->SetBusy(true);
  EXPECT_EQ(Found(Config(0xa007), &error), "");
  EXPECT_EQ(error.kind, UsbError::kBusy);
  EXPECT_NE(error.text.find("in use by another program"), std::string::npos) << error.text;
  EXPECT_GT(b.busy->Opens(), 0);
  EXPECT_EQ(b.busy->OpenNow(), 0);
}

// ---- the link over libusb ---------------------------------------------------------

TEST(UsbLinkOverLibusb, ReceivesCommandsAndADownload) {
  test::UseEnglishTexts();
  EmulatedUsbDevice& d = *g_bench->host;
  const Bytes probe{0x1b, 0x43, 0xf0, 0x0d, 0x0a};
  const Bytes announceUser{0x1b, 0x43, 0xcf, 0xad, 0xf0, 0xe7, 0xd9, 0xb6, 0xe0, 0xf8, 0x0d, 0x0a};
  const Bytes ack(kHostAck, kHostAck + sizeof kHostAck);
  const size_t frameLength = 1300 + 6;
  size_t frameBytes = 0;
  bool announced = false;
  d.SetResponder(0x82, [&](uint8_t, const Bytes& bytes) -> std::vector<Bytes> {
    if (bytes == probe) return {{0x0F}};
    if (bytes == announceUser) {
      announced = true;
      return {ack};
    }
    if (announced && (frameBytes += bytes.size()) == frameLength) return {ack};
    return {};
  });
  struct Unhook {
    EmulatedUsbDevice& device;
    ~Unhook() { device.SetResponder(0x82, nullptr); }
  } unhook{d};
  test::TempDir dir;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CUsbLink link;
  link.SetConfig(Config(0xa009));
  link.SetTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.Open(), 1);
  ASSERT_EQ(link.IsOpen(), 1) << link.LastOpenError();
  ASSERT_TRUE(d.WaitPending(0x82, 1, 2000));

  d.SendIn(0x82, Text("hello"));
  ASSERT_TRUE(target.WaitFor(LE_DATA_RECEIVED, 3000));
  char text[1024];
  const int n = link.TakeReceived(text, sizeof text);
  link.ReleaseReceived();
  EXPECT_EQ(std::string(text, static_cast<size_t>(n)), "hello");

  EXPECT_EQ(link.SendCommand(2, 0), 1);
  const Bytes command2{0x1b, 0x43, 0xd4, 0xbb, 0x0d, 0x0a};
  EXPECT_EQ(d.Received(0x03), (std::vector<Bytes>{probe, command2}));

  const Bytes program = Pattern(1300, 5);
  EXPECT_EQ(link.SendProgramImage(dir.File("p.pgu", program).c_str(), 0, 1), 1);
  ASSERT_TRUE(target.WaitFor(LE_SEND_DONE, 10000));
  EXPECT_EQ(target.Count(LE_FAILED), 0u);
  const auto writes = d.Received(0x03);
  ASSERT_EQ(writes.size(), 2u + 2u + 3u);  // probe, command, probe, announcement, 3 blocks
  EXPECT_EQ(writes[4].size(), 512u);
  EXPECT_EQ(writes[5].size(), 512u);
  EXPECT_EQ(writes[6].size(), frameLength - 1024);
  EXPECT_EQ(Slice(writes[4], 4, 508), Slice(program, 0, 508));  // after the length
  EXPECT_TRUE(op.Boxes().empty());

  EXPECT_EQ(link.Close(), 1);
  EXPECT_EQ(link.IsOpen(), 0);
  EXPECT_EQ(d.OpenNow(), 0);
  EXPECT_TRUE(d.Claimed().empty());
}

// The link over a real device that is pulled out while idle: one
// LE_PORT_GONE, no box; it stays open until closed, and a quiet open then
// says that the device is not there.
TEST(LibusbLink, AnUnpluggedDeviceIsReportedOnce) {
  EmulatedUsbDevice& d = *g_bench->pulled;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CUsbLink link;
  link.SetConfig(Config(0xa00c));
  link.SetTarget(&target, WM_LINK_EVENT);
  ASSERT_EQ(link.OpenQuietly(), 1) << link.LastOpenError();
  EXPECT_EQ(link.OpenDevicePath(), "1-15");
  ASSERT_TRUE(d.WaitPending(0x82, 1, 2000));
  d.Unplug();
  ASSERT_TRUE(target.WaitFor(LE_PORT_GONE, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(target.Events().size(), 1u);
  EXPECT_EQ(target.Events()[0].value, static_cast<uint32_t>(ENODEV));
  EXPECT_TRUE(link.IsGone());
  EXPECT_EQ(link.IsOpen(), 1);
  EXPECT_EQ(link.Close(), 1);
  EXPECT_EQ(d.OpenNow(), 0);
  EXPECT_EQ(link.OpenQuietly(), 0);
  EXPECT_EQ(link.LastOpenErrno(), ENOENT);
  EXPECT_TRUE(op.Boxes().empty());
}

}  // namespace
}  // namespace lumaset

int main(int argc, char** argv) {
  if (!lumaset::test::UsbTestbed::InMockEnvironment()) {
    std::fprintf(stderr, "This test needs umockdev's preload library. Run it as\n  umockdev-wrapper %s\n", argv[0]);
    return 1;
  }
  auto bench = std::make_unique<lumaset::Bench>();
  lumaset::g_bench = bench.get();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  lumaset::g_bench = nullptr;
  bench.reset();
  return result;
}
