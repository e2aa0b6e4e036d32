#include <gtest/gtest.h>

#include "link/command_string.h"
#include "link/serial_link.h"
#include "tests/pty_host.h"

namespace lumaset {
namespace {

using test::Bytes;

struct DecodeCase {
  const char* text;
  Bytes bytes;
};

TEST(CommandString, DecodesTheEscapeRules) {
  const DecodeCase cases[] = {
      {"\\x1bC\\xD5\\xBA\\x0d\\x0a", {0x1B, 0x43, 0xD5, 0xBA, 0x0D, 0x0A}},
      {"\\x1b\\x43\\xcf\\xad", {0x1B, 0x43, 0xCF, 0xAD}},
      {"\\x1bCIRLearn\\x0d\\x0a", {0x1B, 0x43, 0x49, 0x52, 0x4C, 0x65, 0x61, 0x72, 0x6E, 0x0D, 0x0A}},
      {"a\\\\b", {0x61, 0x5C, 0x62}},
      {"\\q", {0x71, 0x71}},
      {"\\O1", {0x4F, 0x31}},
      {"\\o", {0x6F}},
      {"\\xZZ", {0x00}},
      {"\\", {0x00}},
      {"\\X41\\x41", {0x41, 0x41}},
      {"\r\n", {0x0D, 0x0A}},
      {"", {}},
      // A \x at the end takes only what is there and never reads past it.
      {"\\x4", {0x04}},
      {"\\x", {0x00}},
      {"A\\x", {0x41, 0x00}},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeCommandString(c.text), c.bytes) << c.text;
}

TEST(CommandString, ParseNumber) {
  EXPECT_EQ(ParseNumber("fF", 0), 255);
  EXPECT_EQ(ParseNumber("12345678901", 0), 0);  // eleven digits
  EXPECT_EQ(ParseNumber("1g", 0), 0);
  EXPECT_EQ(ParseNumber("", 0), 0);
  EXPECT_EQ(ParseNumber("0d", 0), 13);
  EXPECT_EQ(ParseNumber("FFFFFFFFFF", 0), -1);  // ten digits wrap in 32 bits
  EXPECT_EQ(ParseNumber("2024", 1), 2024);
  EXPECT_EQ(ParseNumber("1a", 1), 10 + 49);  // letters count from '0' in decimal
}

class CommandStringLink : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseEnglishTexts();
    host.MapAsCom(41);
    LinkSettings s;
    s.port = 41;
    link.ApplySettings(&s);
    link.SetNotifyTarget(&target, WM_LINK_EVENT);
    ASSERT_EQ(link.Open(1), 1);
  }
  test::PtyHost host;
  test::RecordingTarget target;
  test::RecordingOperator op;
  CSerialLink link;
};

TEST_F(CommandStringLink, EveryByteIsItsOwnWrite) {
  std::vector<size_t> writes;
  platform::SerialDevice::SetWriteObserver([&](const std::string&, size_t n) { writes.push_back(n); });
  EXPECT_EQ(link.SendCommandString("\\x1bC\\xD5\\xBA\\x0d\\x0a"), 6);
  platform::SerialDevice::SetWriteObserver(nullptr);
  EXPECT_EQ(writes, std::vector<size_t>(6, 1));
  EXPECT_EQ(host.ReadExactly(6, 2000), (Bytes{0x1B, 0x43, 0xD5, 0xBA, 0x0D, 0x0A}));
  EXPECT_EQ(link.SendCommandString(""), 0);
  EXPECT_EQ(link.SendCommandString("\\"), 1);
  EXPECT_EQ(host.ReadExactly(1, 2000), Bytes{0x00});
}

TEST_F(CommandStringLink, NothingGoesOutOnAClosedLink) {
  link.Close(1);
  EXPECT_EQ(link.SendCommandString("abc"), 0);
  EXPECT_TRUE(host.Drain(200).empty());
}

}  // namespace
}  // namespace lumaset
