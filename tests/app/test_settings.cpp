// The settings store against real files in a temporary folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/language.h"
#include "resources/resource_ids.h"
#include "tests/app/settings_fixture.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::FilesMatching;
using test::kFileStart;
using test::kKeyLine;
using test::Unusual;
using test::ReadFile;
using test::WriteFile;

class SettingsTest : public test::SettingsFixture {
 protected:
  // Saves a and b alternately in a child that is killed at four moments;
  // what the file holds after each kill.
  std::vector<StoredSettings> AfterKilledSaver(const StoredSettings& a, const StoredSettings& b) {
    std::vector<StoredSettings> found;
    for (int round = 0; round < 4; ++round) {
      pid_t child = fork();
      if (child < 0) break;
      if (child == 0) {
        CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, path_);
        for (int i = 0;; ++i) SaveSettings(reg, i % 2 ? a : b);
      }
      usleep(20000 + round * 15000);
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      found.push_back(Load());
    }
    return found;
  }

};

TEST_F(SettingsTest, FirstRunCreatesThePrivateFileWithEveryDefault) {
  auto reg = Store();
  EXPECT_EQ(LoadLanguageSetting(*reg), 0u);
  StoredSettings s;
  s.maxLine = 7;
  s.remoteHost = "left over";
  ASSERT_TRUE(LoadSettings(*reg, s));
  EXPECT_EQ(s, StoredSettings{});
  EXPECT_EQ(s.commDcb.rate, 115200u);
  EXPECT_EQ(s.commDcb.port, 1);
  EXPECT_EQ(s.commDcb.byteSize, 8);
  EXPECT_EQ(s.commDcb.tcpPort, 12345u);
  EXPECT_EQ(ReadFile(path_), kFileStart +
                                 "\"Language\"=dword:00000000\n"
                                 "\"UserProgPath\"=\"\"\n"
                                 "\"SysProgPath\"=\"\"\n"
                                 "\"TouchProgPath\"=\"\"\n"
                                 "\"CommDCB\"=hex:1c,00,00,00,00,c2,01,00,00,00,00,00,00,01,08,00,00,00,00,00,39,\\\n"
                                 "  30,00,00,00,00,00,00\n"
                                 "\"CommDevice\"=\"\"\n"
                                 "\"RemoteHost\"=\"192.168.1.100\"\n"
                                 "\"MAXLINE\"=dword:000003e8\n"
                                 "\"ChangePGMBaud\"=dword:00000001\n");
  EXPECT_TRUE(op_.Boxes().empty());
  struct stat st;
  ASSERT_EQ(stat(folder_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, KeyNameHasOneBackslashBetweenPathAndSection) {
  CRegSettings a("Software\\Quendar\\", "Settings", RootKey::kLocalMachine, path_);
  EXPECT_EQ(a.FullPath(), "Software\\Quendar\\Settings");
  CRegSettings b("Software\\Quendar", "", RootKey::kCurrentUser, path_);
  EXPECT_EQ(b.FullPath(), "Software\\Quendar");
  EXPECT_EQ(b.KeyName(), "HKEY_CURRENT_USER\\Software\\Quendar");
}

TEST_F(SettingsTest, DefaultFileFollowsTheEnvironment) {
  auto saved = [](const char* n) { const char* v = getenv(n); return v ? std::optional<std::string>(v) : std::nullopt; };
  auto restore = [](const char* n, const std::optional<std::string>& v) {
    v ? setenv(n, v->c_str(), 1) : unsetenv(n);
  };
  const auto reg = saved("LUMASET_REGISTRY"), xdg = saved("XDG_CONFIG_HOME"), home = saved("HOME");
  setenv("LUMASET_REGISTRY", path_.c_str(), 1);
  CRegSettings store(kSettingsKeyPath, kSettingsSection);
  EXPECT_EQ(store.FilePath(), path_);
  unsetenv("LUMASET_REGISTRY");
  setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  EXPECT_EQ(DefaultRegistryPath(), "/x/conf/Quendar/Lumaset.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/op", 1);
  EXPECT_EQ(DefaultRegistryPath(), "/home/op/.config/Quendar/Lumaset.reg");
  restore("LUMASET_REGISTRY", reg);
  restore("XDG_CONFIG_HOME", xdg);
  restore("HOME", home);
}

// A file as another tool might leave it: byte-order mark, CRLF, comments,
// other keys, names in other case, wrapped upper-case hex.
TEST_F(SettingsTest, StoredValuesWinAndForeignContentSurvives) {
  const std::vector<std::string> foreign = {
      "; written by hand",
      "[HKEY_CURRENT_USER\\Software\\Quendar\\Recent File List]",
      "\"File1\"=hex(2):25,00,48,00,\\",
      "    4f,00,00,00",
      "@=\"default value\"",
  };
  std::string text = "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n";
  for (const auto& l : foreign) text += l + "\r\n";
  text +=
      "\r\n[HKEY_LOCAL_MACHINE\\software\\quendar\\orvessa\\lumaset\\settings]\r\n"
      "\"userprogpath\"=\"\"\r\n"
      "\"MAXLINE\"=dword:0\r\n"
      "\"RemoteHost\"=\"10.0.0.7\"\r\n"
      "\"CommDCB\"=hex:1C,00,00,00,80,25,00,00,00,00,00,00,00,05,08,00,00,00,00,00,\\\r\n"
      "\t39,30,00,00,00,00,00,00\r\n"
      "\r\n[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Other]\r\n\"Keep\"=\"me\"\r\n";
  fs::create_directories(folder_);
  WriteFile(path_, text);

  StoredSettings s = Load();
  EXPECT_TRUE(op_.Boxes().empty());
  EXPECT_EQ(s.userProgPath, "");  // empty, but there: not replaced by a default
  EXPECT_EQ(s.maxLine, 0u);
  EXPECT_EQ(s.remoteHost, "10.0.0.7");
  EXPECT_EQ(s.commDcb.rate, 9600u);
  EXPECT_EQ(s.commDcb.port, 5);

  std::string after = ReadFile(path_);
  for (const auto& l : foreign) EXPECT_NE(after.find(l + "\r\n"), std::string::npos) << l;
  EXPECT_EQ(after.find("\"UserProgPath\""), std::string::npos);  // no second copy
  // Missing values join the key's own block, not the key after it.
  EXPECT_LT(after.find("\"SysProgPath\"=\"\""), after.find("Orvessa\\Other]"));

  StoredSettings changed = Unusual();
  ASSERT_TRUE(SaveSettings(*Store(), changed));
  after = ReadFile(path_);
  for (const auto& l : foreign) EXPECT_NE(after.find(l + "\r\n"), std::string::npos) << l;
  EXPECT_NE(after.find("\"Keep\"=\"me\""), std::string::npos);
  EXPECT_EQ(Load(), changed);
  EXPECT_TRUE(op_.Boxes().empty());
}

TEST_F(SettingsTest, EveryValueRoundTrips) {
  const StoredSettings s = Unusual();
  {
    auto reg = Store();
    ASSERT_TRUE(SaveLanguageSetting(*reg, 1));
    ASSERT_TRUE(SaveSettings(*reg, s));
  }
  auto reg = Store();
  EXPECT_EQ(LoadLanguageSetting(*reg), 1u);
  StoredSettings back;
  EXPECT_TRUE(LoadSettings(*reg, back));
  EXPECT_EQ(back, s);
  EXPECT_TRUE(op_.Boxes().empty());
  const std::string text = ReadFile(path_);
  EXPECT_NE(text.find(R"("UserProgPath"="C:\\Programs\\\"quoted\" name.pgu")" "\n"), std::string::npos);
  EXPECT_NE(text.find(R"("SysProgPath"="/home/op/back\\slash\\")" "\n"), std::string::npos);
  EXPECT_NE(text.find("\"CommDevice\"=\"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\"\n"),
            std::string::npos);
  // A line break cannot stand between quotes; the text goes in hex, as
  // UTF-16LE like every hex text of a file with the 5.00 header.
  EXPECT_NE(text.find("\"TouchProgPath\"=hex(1):2f,00,74,00,6d,00,70,00,2f,00,6c,00,69,00,6e,00,65,00,\\\n  0a,00,"),
            std::string::npos);
}

TEST_F(SettingsTest, CommDcbOfTheWrongLengthFallsBackWithoutBeingDestroyed) {
  for (size_t n : {0, 3, 27, 29, 40}) {
    SCOPED_TRACE(n);
    op_.Clear();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    std::string hex;
    for (size_t i = 0; i < n; ++i) hex += i ? ",ab" : "ab";
    WriteFile(path_, kFileStart + "\"CommDCB\"=hex:" + hex +
                         "\n\"CommDevice\"=\"/dev/serial/by-id/usb-X\"\n\"MAXLINE\"=dword:00000010\n");

    StoredSettings s;
    s.commDcb.port = 9;
    EXPECT_FALSE(LoadSettings(*Store(), s));
    EXPECT_EQ(s.commDcb, StoredDefaults());
    EXPECT_EQ(s.commDevice, "") << "the pin belongs to the record that could not be used";
    EXPECT_EQ(s.maxLine, 16u);
    ASSERT_EQ(op_.Boxes().size(), 1u);
    EXPECT_NE(op_.Boxes()[0].text.find("CommDCB"), std::string::npos);
    EXPECT_NE(op_.Boxes()[0].text.find(" " + std::to_string(n) + " bytes"), std::string::npos);
    EXPECT_EQ(op_.Boxes()[0].caption, platform::LoadString(res::kStrCaption));

    auto reg = Store();
    size_t length = 28;
    reg->ReadBinary("CommDCB", &length, StoredDefaults().ToBytes().data());
    EXPECT_EQ(length, n);  // still the stored value

    s.commDcb.port = 4;
    ASSERT_TRUE(SaveSettings(*reg, s));
    length = 0;
    const uint8_t* stored = reg->ReadBinary("CommDCB", &length, nullptr);
    ASSERT_EQ(length, kLinkSettingsSize);
    LinkSettings back;
    back.FromBytes(stored, length);
    EXPECT_EQ(back, s.commDcb);
  }
}

// Runs check() in this (forked) process with writes to files limited to
// `bytes`, and ends the process with 0 when it returns true.
void UnderFileSizeLimit(rlim_t bytes, const std::function<bool()>& check) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
  _exit(check() ? 0 : 1);
}

TEST_F(SettingsTest, DamagedFileThatCannotBeKeptIsLeftAlone) {
  fs::create_directories(folder_);
  const std::string damaged = kFileStart + "\"MAXLINE\"=dword:00000005\n\"RemoteHost\"=\"cut\n???\n";
  WriteFile(path_, damaged);
  // The copy cannot be made: nothing may be written over the damaged file,
  // and that is said once, not once per value. The values that can be read
  // are still used.
  auto check = [&] {
    test::RecordingOperator op;
    CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, path_);
    StoredSettings s, expected;
    s.maxLine = 3;
    s.remoteHost = "x";
    expected.maxLine = 5;
    LoadSettings(reg, s);
    return s == expected && op.Boxes().size() == 1 &&
           op.Boxes()[0].text.find("could not be kept") != std::string::npos && !reg.WriteDword("MAXLINE", 5) &&
           op.Boxes().size() == 1;
  };
  EXPECT_EXIT(UnderFileSizeLimit(16, check), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path_), damaged);
  EXPECT_TRUE(FilesMatching(folder_, ".damaged-").empty());
}

TEST_F(SettingsTest, InterruptedWriteLeavesThePreviousSettings) {
  const StoredSettings before = Unusual();
  ASSERT_TRUE(SaveSettings(*Store(), before));
  // A writer that died before its rename leaves its temporary file behind,
  // cut anywhere.
  const std::string whole = ReadFile(path_);
  WriteFile(path_ + ".tmp-a1B2c3", whole.substr(0, whole.size() / 2));
  WriteFile(path_ + ".tmp-000000", "");
  EXPECT_EQ(Load(), before);

  ASSERT_TRUE(Store()->WriteDword("MAXLINE", 5));
  StoredSettings expected = before;
  expected.maxLine = 5;
  EXPECT_EQ(Load(), expected);
  EXPECT_TRUE(FilesMatching(folder_, ".tmp-").empty());
  EXPECT_TRUE(op_.Boxes().empty());

  // A write that fails half way (the disk is full) leaves the file as it was.
  const std::string saved = ReadFile(path_);
  auto check = [&] {
    test::RecordingOperator op;
    CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, path_);
    return !reg.WriteString("UserProgPath", std::string(2000, 'x')) && op.Boxes().size() == 1 &&
           op.Boxes()[0].text == std::strerror(EFBIG);
  };
  EXPECT_EXIT(UnderFileSizeLimit(saved.size() + 100, check), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path_), saved);
  EXPECT_TRUE(FilesMatching(folder_, ".tmp-").empty());

  // A writer killed at any moment: every value is the old or the new one and
  // the file is never damaged.
  StoredSettings a = Unusual(), b = Unusual();
  b.userProgPath = "/b.pgu";
  b.touchProgPath = "/b.tps";
  b.commDcb.port = 7;
  b.maxLine = 77;
  ASSERT_TRUE(SaveSettings(*Store(), a));
  const auto found = AfterKilledSaver(a, b);
  ASSERT_EQ(found.size(), 4u);
  for (const StoredSettings& s : found) {
    EXPECT_TRUE(op_.Boxes().empty()) << op_.Boxes()[0].text;
    EXPECT_TRUE(s.userProgPath == a.userProgPath || s.userProgPath == b.userProgPath);
    EXPECT_TRUE(s.touchProgPath == a.touchProgPath || s.touchProgPath == b.touchProgPath);
    EXPECT_TRUE(s.commDcb == a.commDcb || s.commDcb == b.commDcb);
    EXPECT_TRUE(s.maxLine == a.maxLine || s.maxLine == b.maxLine);
  }
}

// Counts the settings files renamed into place and the temporary files
// created in the folder since it was made (or last asked).
class Rewrites {
 public:
  Rewrites(const std::string& dir, const std::string& file)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), file_(file) {
    if (fd_ >= 0) inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CREATE);
  }
  ~Rewrites() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  // {renames onto the file, temporary files created}
  std::pair<int, int> Take() {
    std::pair<int, int> n{0, 0};
    alignas(inotify_event) char buf[4096];
    for (ssize_t got; (got = read(fd_, buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + got;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(p);
        const std::string name = ev->len ? ev->name : "";
        if ((ev->mask & IN_MOVED_TO) && name == file_) ++n.first;
        if ((ev->mask & IN_CREATE) && name.rfind(file_ + ".tmp-", 0) == 0) ++n.second;
        p += sizeof(inotify_event) + ev->len;
      }
    }
    return n;
  }

 private:
  int fd_;
  std::string file_;
};

TEST_F(SettingsTest, SaveIsAllOrNothing) {
  const StoredSettings before = Unusual();
  ASSERT_TRUE(SaveSettings(*Store(), before));
  const std::string saved = ReadFile(path_);

  // The first value changes without growing the file, a later one needs far
  // more room than the disk has left: nothing of the save may reach the file.
  StoredSettings after = before;
  after.userProgPath[0] = 'D';
  after.touchProgPath = std::string(2000, 't');
  after.maxLine = 12;
  auto check = [&] {
    test::RecordingOperator op;
    CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, path_);
    return !SaveSettings(reg, after) && op.Boxes().size() == 1 && op.Boxes()[0].text == std::strerror(EFBIG);
  };
  EXPECT_EXIT(UnderFileSizeLimit(saved.size() + 100, check), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(path_), saved);
  EXPECT_EQ(Load(), before);

  // A completed save changes every value with one rewrite of the file; a
  // save of the same values does not rewrite it.
  Rewrites rewrites(folder_, "Lumaset.reg");
  ASSERT_TRUE(rewrites.Ok());
  struct stat st1, st2;
  ASSERT_EQ(stat(path_.c_str(), &st1), 0);
  StoredSettings all;
  all.userProgPath = "/u.pgu";
  all.sysProgPath = "/s.pgs";
  all.touchProgPath = "/t.tps";
  all.remoteHost = "10.2.3.4";
  all.commDcb.rate = 57600;
  all.maxLine = 321;
  all.changePgmBaud = 5;
  ASSERT_TRUE(SaveSettings(*Store(), all));
  EXPECT_EQ(rewrites.Take(), std::make_pair(1, 1));
  ASSERT_EQ(stat(path_.c_str(), &st2), 0);
  EXPECT_NE(st1.st_ino, st2.st_ino);
  EXPECT_EQ(Load(), all);
  ASSERT_TRUE(SaveSettings(*Store(), all));
  EXPECT_EQ(rewrites.Take(), std::make_pair(0, 0));
  // The values stand in the order of the save, whether the file is new or
  // they replace values already there.
  auto inSaveOrder = [](const std::string& text) {
    size_t at = 0;
    for (const char* name : {"UserProgPath", "SysProgPath", "TouchProgPath", "RemoteHost", "CommDCB", "MAXLINE",
                             "ChangePGMBaud"}) {
      const size_t next = text.find(std::string("\"") + name + "\"=");
      if (next == std::string::npos || next < at) return false;
      at = next;
    }
    return true;
  };
  EXPECT_TRUE(inSaveOrder(ReadFile(path_)));
  fs::remove(path_);
  ASSERT_TRUE(SaveSettings(*Store(), all));
  EXPECT_EQ(rewrites.Take(), std::make_pair(1, 1));
  EXPECT_TRUE(inSaveOrder(ReadFile(path_)));
  EXPECT_EQ(Load(), all);

  // A saver killed at any moment leaves one whole record, the old or the new.
  StoredSettings a = before, b = all;
  const auto found = AfterKilledSaver(a, b);
  ASSERT_EQ(found.size(), 4u);
  for (const StoredSettings& s : found) EXPECT_TRUE(s == a || s == b);
  EXPECT_TRUE(op_.Boxes().empty());
}

TEST_F(SettingsTest, WritersNeverLoseEachOthersValues) {
  // Two objects in one process, as the application and the view hold them.
  auto app = Store(), view = Store();
  ASSERT_TRUE(SaveLanguageSetting(*app, 1));
  ASSERT_TRUE(view->WriteString("RemoteHost", "10.1.1.1"));
  ASSERT_TRUE(app->WriteString("Extra", "x"));
  ASSERT_TRUE(view->WriteDword("MAXLINE", 50));
  ASSERT_TRUE(SaveLanguageSetting(*app, 0));
  auto fresh = Store();
  EXPECT_EQ(LoadLanguageSetting(*fresh), 0u);
  EXPECT_EQ(fresh->ReadString("RemoteHost", ""), "10.1.1.1");
  EXPECT_EQ(fresh->ReadString("Extra", ""), "x");
  EXPECT_EQ(fresh->ReadDword("MAXLINE", 0), 50u);

  // Two processes writing at the same time.
  constexpr int kEach = 30;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      CRegSettings reg(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine, path_);
      bool ok = true;
      for (int i = 0; i < kEach; ++i) ok = reg.WriteDword("P" + std::to_string(c) + "_" + std::to_string(i), i) && ok;
      _exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(fresh->ReadDword("P" + std::to_string(c) + "_" + std::to_string(i), 999), uint32_t(i));
  EXPECT_TRUE(op_.Boxes().empty());
}

TEST_F(SettingsTest, FailuresShowTheSystemTextAndReadsFallBackToDefaults) {
  fs::create_directories(path_);  // the settings "file" is a folder
  auto reg = Store();
  EXPECT_EQ(reg->ReadString("RemoteHost", "10.9.9.9"), "10.9.9.9");
  EXPECT_FALSE(reg->LastOk());
  EXPECT_EQ(reg->ReadDword("MAXLINE", 1000), 1000u);
  EXPECT_FALSE(reg->WriteDword("MAXLINE", 5));
  ASSERT_EQ(op_.Boxes().size(), 3u);
  for (const test::ShownBox& box : op_.Boxes()) {
    EXPECT_EQ(box.text, std::strerror(EISDIR));
    EXPECT_EQ(box.caption, platform::LoadString(res::kStrCaption));
  }

  op_.Clear();
  WriteFile(root_ + "/plain", "");
  auto blocked = Store(root_ + "/plain/Lumaset.reg");
  EXPECT_FALSE(blocked->WriteString("UserProgPath", "a"));
  ASSERT_EQ(op_.Boxes().size(), 1u);
  EXPECT_EQ(op_.Boxes()[0].text, std::strerror(ENOTDIR));
}

}  // namespace
}  // namespace lumaset
