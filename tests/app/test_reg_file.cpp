// The registry-file format: the order in which lines apply (deletions of
// values and keys, the last line in force), wrapped hex data, what is kept
// byte for byte, and text data in UTF-16LE.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/reg_file.h"

namespace lumaset::regfile {
namespace {

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\Software\\X";

std::string Text(const Value& v) { return std::string(v.data.begin(), v.data.end()); }

Value Sz(const std::string& text) {
  Value v{kRegSz, std::vector<uint8_t>(text.begin(), text.end())};
  v.data.push_back(0);
  return v;
}

TEST(RegFile, DeletionsApplyInFileOrder) {
  Document doc = Document::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
      "\"A\"=\"1\"\n"
      "\"B\"=\"2\"\n"
      "\"Gone\"=\"3\"\n"
      "[-HKEY_LOCAL_MACHINE\\Soft]\n"      // not a parent: deletes nothing of ours
      "[-hkey_local_machine\\software]\n"  // a parent: deletes the key
      "\"C\"=\"3\"\n"                      // after a deletion, in no key
      "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
      "\"B\"=\"again\"\n"
      "\"Gone\"=-\n");
  Value v;
  EXPECT_EQ(doc.Find(kKey, "A"), Status::kMissing);
  ASSERT_EQ(doc.Find(kKey, "b", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("again\0", 6));
  EXPECT_EQ(doc.Find(kKey, "Gone"), Status::kMissing);
  EXPECT_EQ(doc.Find(kKey, "C"), Status::kMissing);
  const std::vector<BadLine> bad = doc.BadLines(kKey);
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].line, 8u);
  EXPECT_EQ(bad[0].problem, "value outside a key");
  EXPECT_FALSE(bad[0].inKey);
  EXPECT_FALSE(doc.Damaged(kKey));

  // A value set again goes where it is in force: after the deletion.
  doc.Set(kKey, "A", Sz("new"));
  doc.Set(kKey, "Gone", Sz("back"));
  const std::string out = doc.Serialize();
  EXPECT_NE(out.find("\"B\"=\"again\"\n\"Gone\"=\"back\"\n\"A\"=\"new\"\n"), std::string::npos) << out;
  EXPECT_EQ(Document::Parse(out).Find(kKey, "A", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("new\0", 4));
}

TEST(RegFile, WrappedHexDataAndWhereItEnds) {
  Document doc = Document::Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\X]\r\n"
      "\"Data\"=HEX:01,02,\\\r\n"
      "  03,\\\r\n"
      "\t04\r\n"
      "\"Cut\"=hex:01,\\\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Y]\r\n"
      "\"Y\"=dword:00000007\r\n"
      "\"Text\"=\"ends in a backslash\\\\\"\r\n");
  Value v;
  ASSERT_EQ(doc.Find(kKey, "data", &v), Status::kPresent);
  EXPECT_EQ(v.type, kRegBinary);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{1, 2, 3, 4}));
  // Data cut off by the next key line: that line is still the key's.
  EXPECT_EQ(doc.Find(kKey, "Cut"), Status::kDamaged);
  const std::string y = "HKEY_LOCAL_MACHINE\\Software\\Y";
  ASSERT_EQ(doc.Find(y, "Y", &v), Status::kPresent);
  EXPECT_EQ(v.data, (std::vector<uint8_t>{7, 0, 0, 0}));
  ASSERT_EQ(doc.Find(y, "Text", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("ends in a backslash\\\0", 21));
  const std::vector<BadLine> bad = doc.BadLines(kKey);
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].line, 6u);
  EXPECT_EQ(bad[0].problem, "hex data cut off");
  EXPECT_TRUE(bad[0].inKey);
  EXPECT_EQ(bad[0].text, "\"Cut\"=hex:01,\\\r\n");
}

TEST(RegFile, DroppingDamageTakesTheWholeValue) {
  Document doc = Document::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
      "\"V\"=dword:00000001\n"
      "\"W\"=dword:zz\n"
      "\"W\"=dword:00000002\n"  // a later good line: W is fine
      "\"v\"=dword:zz\n"        // the line in force of V
      "junk\n");
  EXPECT_EQ(doc.Find(kKey, "V"), Status::kDamaged);
  EXPECT_EQ(doc.Find(kKey, "W"), Status::kPresent);
  EXPECT_EQ(doc.DamagedValues(kKey), std::vector<std::string>{"V"});
  EXPECT_EQ(doc.BadLines(kKey).size(), 3u);
  doc.DropDamage(kKey);
  // V is missing, not its older value 1; W keeps its good line.
  EXPECT_EQ(doc.Find(kKey, "V"), Status::kMissing);
  EXPECT_FALSE(doc.Damaged(kKey));
  EXPECT_EQ(doc.Serialize(),
            "Windows Registry Editor Version 5.00\n"
            "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
            "\"W\"=dword:00000002\n");
}

TEST(RegFile, WhatIsNotChangedIsWrittenAsRead) {
  // A UTF-8 byte-order mark, mixed line ends, an unknown type spaced oddly,
  // upper-case hex, a comment, bytes that are not UTF-8, no last line end.
  const std::string file =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "; note\n"
      "[HKEY_CURRENT_USER\\Other]\r\n"
      "\"Odd\" = hex(ffff0010): DE , AD\r\n"
      "\"Latin\"=\"\xE4\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\X]\r\n"
      "\"N\"=dword:0000000A";
  Document doc = Document::Parse(file);
  EXPECT_TRUE(doc.BadLines(kKey).empty());
  EXPECT_EQ(doc.Serialize(), file + "\r\n");
  doc.Set(kKey, "N", Value{kRegDword, {11, 0, 0, 0}});
  doc.Set(kKey, "M", Value{kRegBinary, {0xAB}});
  EXPECT_EQ(doc.Serialize(), file.substr(0, file.rfind("\"N\"")) + "\"N\"=dword:0000000b\r\n\"M\"=hex:ab\r\n");
}

TEST(RegFile, TextInHexIsUtf16) {
  // A lone high surrogate and an odd last byte cannot be decoded.
  Document doc = Document::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
      "\"Lone\"=hex(1):3d,d8,41,00,00,00\n"
      "\"Odd\"=hex(2):41,00,42\n"
      "\"Wide\"=hex(7):e7,63,00,00,00,00\n");
  Value v;
  ASSERT_EQ(doc.Find(kKey, "Lone", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("\xEF\xBF\xBD"
                                 "A\0",
                                 5));
  ASSERT_EQ(doc.Find(kKey, "Odd", &v), Status::kPresent);
  EXPECT_EQ(v.type, kRegExpandSz);
  EXPECT_EQ(Text(v), "A\xEF\xBF\xBD");
  ASSERT_EQ(doc.Find(kKey, "Wide", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("\xE6\x8F\xA7\0\0", 5));  // U+63E7
  // Written back in UTF-16LE; a text with a line break cannot be quoted.
  doc.Set(kKey, "Wide", v);
  doc.Set(kKey, "Lines", Sz("a\nb"));
  const std::string out = doc.Serialize();
  EXPECT_NE(out.find("\"Wide\"=hex(7):e7,63,00,00,00,00\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\n"), std::string::npos) << out;
}

// A file cut after the CR of its last CR LF: the CR is the line's end, not
// part of the data, so the value reads the same before and after a write,
// and a value set after it lands on a line of its own.
TEST(RegFile, LastLineCutAfterItsCr) {
  const std::string cut = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n\"B\"=hex:01\r";
  Document doc = Document::Parse(cut);
  Value v;
  ASSERT_EQ(doc.Find(kKey, "B", &v), Status::kPresent);
  EXPECT_EQ(v.data, std::vector<uint8_t>{1});
  const std::string out = doc.Serialize();
  EXPECT_EQ(out, cut + "\n");
  EXPECT_EQ(Document::Parse(out).Find(kKey, "B"), Status::kPresent);
  doc.Set(kKey, "C", Sz("c"));
  const Document again = Document::Parse(doc.Serialize());
  EXPECT_EQ(again.Find(kKey, "B"), Status::kPresent);
  ASSERT_EQ(again.Find(kKey, "C", &v), Status::kPresent);
  EXPECT_EQ(Text(v), std::string("c\0", 2));
}

}  // namespace
}  // namespace lumaset::regfile
