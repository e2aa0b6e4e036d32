// Settings files that other tools wrote: the registry editor's UTF-16LE and
// REGEDIT4 exports, files edited by hand with comments and broken lines,
// and a reader that must not write.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/app/settings_fixture.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::FilesMatching;
using test::kFileStart;
using test::kKeyLine;
using test::ReadFile;
using test::Unusual;

// The bytes of a file in UTF-16LE with its byte-order mark, as the registry
// editor exports (the text has no characters beyond the BMP).
std::string Utf16LeFile(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out += char(c & 0xFF);
    out += char(c >> 8);
  }
  return out;
}

// The same text in UTF-8.
std::string Utf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool EveryLineEndsInCrLf(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
  return !text.empty() && text.back() == '\n';
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

class SettingsFiles : public test::SettingsFixture {
 protected:
  // A store of another key of the same file that only reads.
  std::unique_ptr<CRegSettings> OtherKey(const std::string& section) const {
    auto reg = std::make_unique<CRegSettings>("Software\\Quendar\\Orvessa", section, RootKey::kLocalMachine, path_);
    reg->SetStoreDefaults(false);
    return reg;
  }
};

// Another key as the registry editor exports it: the text types in UTF-16LE
// hex, a 64-bit number, an unknown type, a deletion and wrapped data.
const std::u16string kOtherKey =
    u"[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Other]\r\n"
    u"\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
    u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    u"\"Big\"=hex(b):01,00,00,00,02,00,00,00\r\n"
    u"\"Odd\"=hex(ffff0010):DE, AD\r\n"
    u"\"Gone\"=-\r\n"
    u"\"Wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
    u"  17,18,19\r\n"
    u"\r\n";

TEST_F(SettingsFiles, RegistryEditorExportInUtf16IsReadAndRewrittenInUtf8) {
  const std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n" + kOtherKey +
                              u"[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\r\n"
                              u"\"UserProgPath\"=\"C:\\\\Programme\\\\Übung 控制.pgu\"\r\n"
                              u"\"SysProgPath\"=hex(2):43,00,3a,00,5c,00,73,00,79,00,73,00,00,00\r\n"
                              u"\"TouchProgPath\"=hex(1):74,00,0a,00,70,00,00,00\r\n"
                              u"\"CommDCB\"=hex:1c,00,00,00,80,25,00,00,00,00,00,00,00,03,08,00,00,00,00,00,39,\\\r\n"
                              u"  30,00,00,00,00,00,00\r\n"
                              u"\"MAXLINE\"=dword:00000200\r\n"
                              u"\"ChangePGMBaud\"=-\r\n"
                              u"\"RemoteHost\"=\"10.1.2.3\"\r\n";
  Put(Utf16LeFile(text));

  StoredSettings expected;
  expected.userProgPath =
      "C:\\Programme\\\xC3\x9C"
      "bung \xE6\x8E\xA7\xE5\x88\xB6.pgu";
  expected.sysProgPath = "C:\\sys";
  expected.touchProgPath = "t\np";
  expected.commDcb.rate = 9600;
  expected.commDcb.port = 3;
  expected.maxLine = 512;
  expected.remoteHost = "10.1.2.3";  // ChangePGMBaud was deleted: its default
  StoredSettings s;
  EXPECT_TRUE(LoadSettings(*Store(), s));
  EXPECT_EQ(s, expected);
  EXPECT_TRUE(op_.Boxes().empty());

  // Storing the missing default rewrote the file: UTF-8, CRLF, every other
  // line as it was.
  const std::string after = ReadFile(path_);
  EXPECT_EQ(after.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  EXPECT_TRUE(EveryLineEndsInCrLf(after));
  EXPECT_NE(after.find(Utf8(kOtherKey)), std::string::npos) << after;
  EXPECT_NE(after.find("\"UserProgPath\"=\"C:\\\\Programme\\\\" + expected.userProgPath.substr(13) + "\"\r\n"),
            std::string::npos);
  EXPECT_NE(after.find("\"MAXLINE\"=dword:00000200\r\n\"ChangePGMBaud\"=dword:00000001\r\n\"RemoteHost\""),
            std::string::npos);
  EXPECT_EQ(Load(), expected);

  // The other key's values, as a program would read them.
  auto other = OtherKey("Other");
  EXPECT_EQ(other->ReadString("Expand", ""), "%PATH%");
  EXPECT_EQ(other->ReadString("Multi", ""), "a");
  size_t length = 0;
  const uint8_t* multi = other->ReadBinary("Multi", &length, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(multi), length), std::string("a\0b\0\0", 5));
  EXPECT_EQ(other->ReadDword("Big", 0), 1u);
  length = 0;
  const uint8_t* odd = other->ReadBinary("Odd", &length, nullptr);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(odd[0], 0xDE);
  EXPECT_EQ(odd[1], 0xAD);
  EXPECT_EQ(other->ReadDword("Gone", 77), 77u);
  length = 0;
  other->ReadBinary("Wrapped", &length, nullptr);
  EXPECT_EQ(length, 26u);
  EXPECT_EQ(ReadFile(path_), after);
  EXPECT_TRUE(op_.Boxes().empty());
}

TEST_F(SettingsFiles, Regedit4FilesAreAnsi) {
  // Latin-1 bytes: ä is E4, in the text and in the hex(2) data.
  const std::string latin1 =
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Other]\r\n"
      "\"Path\"=hex(2):43,3a,5c,e4,00\r\n"
      "\"Plain\"=hex:e4\r\n\r\n" +
      std::string(kKeyLine) +
      "\r\n"
      "\"UserProgPath\"=\"C:\\\\\xE4rger.pgu\"\r\n"
      "\"MAXLINE\"=dword:00000010\r\n";
  Put(latin1);
  StoredSettings s = Load();
  EXPECT_EQ(s.userProgPath, "C:\\\xC3\xA4rger.pgu");
  EXPECT_EQ(s.maxLine, 16u);
  EXPECT_EQ(OtherKey("Other")->ReadString("Path", ""), "C:\\\xC3\xA4");

  // Rewritten with the 5.00 header: the text in UTF-8, the hex text in
  // UTF-16LE, binary data as it was, CRLF kept.
  const std::string after = ReadFile(path_);
  EXPECT_EQ(
      after.rfind(
          "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Other]\r\n"
          "\"Path\"=hex(2):43,00,3a,00,5c,00,e4,00,00,00\r\n\"Plain\"=hex:e4\r\n",
          0),
      0u)
      << after;
  EXPECT_NE(after.find("\"UserProgPath\"=\"C:\\\\\xC3\xA4rger.pgu\"\r\n"), std::string::npos);
  EXPECT_TRUE(EveryLineEndsInCrLf(after));
  EXPECT_EQ(Load(), s);
  EXPECT_EQ(OtherKey("Other")->ReadString("Path", ""), "C:\\\xC3\xA4");

  // A REGEDIT4 file written by hand in UTF-8 is not decoded twice.
  fs::remove(path_);
  Put("REGEDIT4\n\n" + std::string(kKeyLine) + "\n\"UserProgPath\"=\"C:\\\\\xC3\xA4rger.pgu\"\n");
  EXPECT_EQ(Load().userProgPath, "C:\\\xC3\xA4rger.pgu");
  EXPECT_EQ(ReadFile(path_).find('\r'), std::string::npos);  // LF stays LF
  EXPECT_TRUE(op_.Boxes().empty());
}

TEST_F(SettingsFiles, NewLinesEndLikeTheFile) {
  // A CRLF file without the key: the new block ends its lines in CRLF too.
  Put("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\"A\"=\"b\"\r\n");
  ASSERT_TRUE(Store()->WriteDword("MAXLINE", 3));
  std::string after = ReadFile(path_);
  EXPECT_EQ(after, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n\"A\"=\"b\"\r\n\r\n" +
                       std::string(kKeyLine) + "\r\n\"MAXLINE\"=dword:00000003\r\n");
  ASSERT_TRUE(SaveSettings(*Store(), Unusual()));
  after = ReadFile(path_);
  EXPECT_TRUE(EveryLineEndsInCrLf(after)) << after;
  // A new file, and an LF file, get LF.
  fs::remove(path_);
  ASSERT_TRUE(SaveSettings(*Store(), StoredSettings{}));
  EXPECT_EQ(ReadFile(path_).find('\r'), std::string::npos);
  Put(kFileStart + "\"MAXLINE\"=dword:00000001\n");
  ASSERT_TRUE(SaveSettings(*Store(), StoredSettings{}));
  after = ReadFile(path_);
  EXPECT_EQ(after.find('\r'), std::string::npos);
  EXPECT_EQ(after.rfind(kFileStart + "\"MAXLINE\"=dword:000003e8\n", 0), 0u) << after;
}

TEST_F(SettingsFiles, ForeignLinesAndCommentsAreKeptByteForByteAndReportedOnce) {
  const std::string foreign =
      "; exported by hand\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
      "\"Fine\"=\"x\"\r\n"
      "this line is garbage \t\r\n"
      "\"Broken\"=dword:xyz\r\n"
      "\"Cut\"=hex:01,02,\\\r\n";
  const std::string unknownBlock = "[HKEY_BROKEN\r\n\"UserProgPath\"=\"not ours\"\r\n";
  Put("Windows Registry Editor Version 5.00\r\n" + foreign + kKeyLine +
      "\r\n"
      "; our own comment\r\n"
      "\"MAXLINE\"=dword:00000020\r\n" +
      unknownBlock);

  StoredSettings s = Load();
  EXPECT_EQ(s.maxLine, 32u);
  EXPECT_EQ(s.userProgPath, "");  // the line after a broken key line is no value of ours
  ASSERT_EQ(op_.Boxes().size(), 1u);
  const std::string message = op_.Boxes()[0].text;
  for (const char* line : {"line 6 (", "line 7 (", "line 8 (hex data cut off)", "line 12 (bad key line)"})
    EXPECT_NE(message.find(line), std::string::npos) << line << " in " << message;
  EXPECT_NE(message.find("kept as they are"), std::string::npos) << message;
  EXPECT_EQ(message.find("damaged"), std::string::npos) << message;

  // Rewritten (the defaults were stored, then a save): the lines are there
  // byte for byte, nothing was copied aside, nothing more was said.
  ASSERT_TRUE(SaveSettings(*Store(), StoredSettings{}));
  const std::string after = ReadFile(path_);
  EXPECT_NE(after.find(foreign + kKeyLine + "\r\n; our own comment\r\n\"MAXLINE\"=dword:000003e8\r\n"),
            std::string::npos)
      << after;
  EXPECT_NE(after.find(unknownBlock), std::string::npos);
  EXPECT_EQ(after.substr(after.size() - unknownBlock.size()), unknownBlock);  // our values went before it
  EXPECT_EQ(Load(), StoredSettings{});
  EXPECT_EQ(op_.Boxes().size(), 1u);
  EXPECT_TRUE(FilesMatching(folder_, ".damaged-").empty());
}

TEST_F(SettingsFiles, FilesWithoutAHeaderOrWithValuesOutsideAKeyStillGiveTheirValues) {
  for (const std::string& text : {"\x01\x02garbage\n" + std::string(kKeyLine) + "\n\"UserProgPath\"=\"a\"\n",
                                  "Windows Registry Editor Version 5.00\n\"UserProgPath\"=\"b\"\n" +
                                      std::string(kKeyLine) + "\n\"UserProgPath\"=\"a\"\n"}) {
    SCOPED_TRACE(text);
    op_.Clear();
    fs::remove_all(folder_);
    Put(text);
    EXPECT_EQ(Load().userProgPath, "a");
    ASSERT_EQ(op_.Boxes().size(), 1u);
    EXPECT_NE(op_.Boxes()[0].text.find(text[0] == '\x01' ? "line 1 (" : "line 2 ("), std::string::npos)
        << op_.Boxes()[0].text;
    const std::string after = ReadFile(path_);
    EXPECT_EQ(after.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(after.find(text.substr(0, text.find('\n') + 1)), std::string::npos);
    EXPECT_TRUE(FilesMatching(folder_, ".damaged-").empty());
  }
}

// Lines 5, 6 and 9 break three values, line 7 none; the other values are good.
const std::string kDamagedInKey = kFileStart +
                                  "\"UserProgPath\"=\"/a.pgu\"\n"
                                  "\"MAXLINE\"=dword:123456789\n"
                                  "\"RemoteHost\"=\"10.0.0.1\n"
                                  "garbage in the key\n"
                                  "\"ChangePGMBaud\"=dword:00000000\n"
                                  "\"CommDCB\"=hex:1c,00,\\\n"
                                  "\n[HKEY_CURRENT_USER\\Other]\n???\n";

StoredSettings WhatTheDamagedFileGives() {
  StoredSettings s;
  s.userProgPath = "/a.pgu";
  s.changePgmBaud = 0;
  return s;
}

TEST_F(SettingsFiles, DamageInTheKeyDefaultsOnlyTheBrokenValuesAndTheFileIsKeptBeforeItIsMended) {
  Put(kDamagedInKey);
  StoredSettings s = Unusual();
  EXPECT_FALSE(LoadSettings(*Store(), s));
  EXPECT_EQ(s, WhatTheDamagedFileGives());

  ASSERT_EQ(op_.Boxes().size(), 1u);
  const std::string message = op_.Boxes()[0].text;
  EXPECT_NE(message.find(path_), std::string::npos) << message;
  for (const char* part : {"line 5 (bad dword number)", "line 6 (", "line 7 (", "line 9 (hex data cut off)",
                           "MAXLINE, RemoteHost, CommDCB", "line 12 ("})
    EXPECT_NE(message.find(part), std::string::npos) << part << " in " << message;
  const auto kept = FilesMatching(folder_, ".damaged-");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile(kept[0]), kDamagedInKey);
  EXPECT_NE(message.find(kept[0]), std::string::npos) << message;

  // The mended file: the broken lines left out, the good ones and the other
  // key's lines as they were, the defaults stored.
  const std::string after = ReadFile(path_);
  EXPECT_EQ(after.find("garbage in the key"), std::string::npos);
  EXPECT_EQ(after.find("123456789"), std::string::npos);
  EXPECT_NE(after.find("\"UserProgPath\"=\"/a.pgu\"\n"), std::string::npos);
  EXPECT_NE(after.find("\"MAXLINE\"=dword:000003e8\n"), std::string::npos);
  EXPECT_NE(after.find("[HKEY_CURRENT_USER\\Other]\n???\n"), std::string::npos);
  StoredSettings again;
  EXPECT_TRUE(LoadSettings(*Store(), again));
  EXPECT_EQ(again, WhatTheDamagedFileGives());
  EXPECT_EQ(op_.Boxes().size(), 1u);
  EXPECT_EQ(FilesMatching(folder_, ".damaged-").size(), 1u);
}

TEST_F(SettingsFiles, AReaderReportsDamageAndLeavesTheFileUntilItWrites) {
  Put(kDamagedInKey);
  const struct stat before = StatOf(path_);
  auto reader = Reader();
  StoredSettings s = Unusual();
  EXPECT_FALSE(LoadSettings(*reader, s));
  EXPECT_EQ(s, WhatTheDamagedFileGives());
  EXPECT_EQ(reader->ReadDword("MAXLINE", 9), 9u);
  EXPECT_FALSE(reader->LastOk());
  EXPECT_EQ(reader->ReadDword("ChangePGMBaud", 9), 0u);
  EXPECT_TRUE(reader->LastOk());
  ASSERT_EQ(op_.Boxes().size(), 1u);
  EXPECT_NE(op_.Boxes()[0].text.find("left as it is"), std::string::npos) << op_.Boxes()[0].text;
  EXPECT_EQ(ReadFile(path_), kDamagedInKey);
  EXPECT_EQ(StatOf(path_).st_ino, before.st_ino);
  EXPECT_TRUE(FilesMatching(folder_, ".damaged-").empty());

  // Its first write keeps the file aside and mends it.
  ASSERT_TRUE(reader->WriteDword("MAXLINE", 7));
  ASSERT_EQ(op_.Boxes().size(), 2u);
  ASSERT_EQ(FilesMatching(folder_, ".damaged-").size(), 1u);
  EXPECT_NE(op_.Boxes()[1].text.find(FilesMatching(folder_, ".damaged-")[0]), std::string::npos);
  StoredSettings expected = WhatTheDamagedFileGives();
  expected.maxLine = 7;
  EXPECT_TRUE(LoadSettings(*Reader(), s));
  EXPECT_EQ(s, expected);
  EXPECT_EQ(op_.Boxes().size(), 2u);
}

TEST_F(SettingsFiles, AReaderNeverWrites) {
  // No file: defaults, and no folder, file or lock file appears.
  auto reader = Reader();
  StoredSettings s;
  EXPECT_TRUE(LoadSettings(*reader, s));
  EXPECT_EQ(s, StoredSettings{});
  EXPECT_EQ(reader->ReadDword("Language", 1), 1u);
  EXPECT_FALSE(fs::exists(folder_));

  // A file with one value: the others read as defaults, the file untouched.
  const std::string text = kFileStart + "\"MAXLINE\"=dword:00000009\n";
  Put(text);
  const struct stat before = StatOf(path_);
  s = StoredSettings{};
  EXPECT_TRUE(LoadSettings(*reader, s));
  EXPECT_EQ(s.maxLine, 9u);
  EXPECT_EQ(s.remoteHost, kDefaultRemoteHost);
  const struct stat after = StatOf(path_);
  EXPECT_EQ(ReadFile(path_), text);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(FilesMatching(folder_, ".lock").size(), 0u);
  EXPECT_TRUE(op_.Boxes().empty());
  // A write does write.
  ASSERT_TRUE(reader->WriteDword("MAXLINE", 10));
  EXPECT_EQ(ReadFile(path_), kFileStart + "\"MAXLINE\"=dword:0000000a\n");
}

}  // namespace
}  // namespace lumaset
