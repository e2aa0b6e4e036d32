// lumaset-cli --settings FILE against the host simulator: reading FILE never
// writes it; a command that changes the stored rate writes that value only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/sim_process.h"

namespace lumaset {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::TempDir;

struct CliRun {
  int status = -1;
  std::string err;
};

CliRun Cli(std::vector<std::string> args, int timeoutMs = 60000) {
  args.insert(args.begin(), test::BuiltProgram("lumaset-cli"));
  ChildProcess::Options options;
  options.captureStderr = true;
  ChildProcess cli(args, options);
  CliRun r;
  r.status = cli.Wait(timeoutMs);
  r.err = cli.Stderr();
  return r;
}

struct FileState {
  std::string bytes;
  ino_t inode = 0;
  timespec mtime{};
};

FileState StateOf(const fs::path& path) {
  FileState s;
  s.bytes = test::ReadFileText(path);
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  s.inode = st.st_ino;
  s.mtime = st.st_mtim;
  return s;
}

void ExpectUnchanged(const FileState& before, const fs::path& path) {
  const FileState now = StateOf(path);
  EXPECT_EQ(now.bytes, before.bytes);
  EXPECT_EQ(now.inode, before.inode);
  EXPECT_EQ(now.mtime.tv_sec, before.mtime.tv_sec);
  EXPECT_EQ(now.mtime.tv_nsec, before.mtime.tv_nsec);
}

// A file as a person might leave it: CRLF, a comment, a broken line in
// another key, and of the program's values only the link record (COM1,
// 115200) and the host address.
const std::string kOtherLines =
    "; kept by hand\r\n"
    "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
    "not a value\r\n"
    "\r\n";
const std::string kKeyLine = "[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]\r\n";
const std::string kRecordStart = "\"CommDCB\"=hex:1c,00,00,00,";
const std::string kRecordRest =
    "00,00,00,00,00,00,01,08,00,00,00,00,00,39,\\\r\n"
    "  30,00,00,00,00,00,00\r\n";
const std::string kHostLine = "\"RemoteHost\"=\"10.0.0.9\"\r\n";

TEST(CliSettings, ReadingTheFileWritesNothingAndARateChangeWritesOnlyTheRecord) {
  if (access(test::BuiltProgram("lumaset-cli").c_str(), X_OK) != 0) GTEST_SKIP() << "lumaset-cli not built";
  TempDir dir("lumaset-cli-settings");
  const fs::path link = dir.Path() / "host";
  test::HostSimProcess sim({"--link", link.string()});
  if (!sim.Started()) GTEST_SKIP() << "lumaset-hostsim not built or not ready";
  const fs::path file = dir.Path() / "Lumaset.reg";
  const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n" + kOtherLines + kKeyLine + kRecordStart +
                           "00,c2,01," + kRecordRest + kHostLine;
  dir.File("Lumaset.reg", std::vector<uint8_t>(text.begin(), text.end()));
  const FileState before = StateOf(file);

  // Commands that change no stored value leave the file as it was.
  CliRun probe = Cli({"--settings", file.string(), "--device", link.string(), "probe"});
  EXPECT_EQ(probe.status, 0) << probe.err;
  EXPECT_NE(probe.err.find("line 5 (not a key, value or comment)"), std::string::npos) << probe.err;
  CliRun same = Cli({"--settings", file.string(), "--device", link.string(), "set-host-baud", "115200"});
  EXPECT_EQ(same.status, 0) << same.err;
  ExpectUnchanged(before, file);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names.size(), 2u) << "only the settings file and the simulator's link, no lock or copy";

  // A new rate is stored: the record changes, nothing else does, no missing
  // default is added.
  CliRun change = Cli({"--settings", file.string(), "--device", link.string(), "set-host-baud", "57600"});
  EXPECT_EQ(change.status, 0) << change.err;
  EXPECT_NE(change.err.find("the rate 57600 is stored in " + file.string()), std::string::npos) << change.err;
  const std::string after = test::ReadFileText(file);
  EXPECT_EQ(after, "Windows Registry Editor Version 5.00\r\n\r\n" + kOtherLines + kKeyLine + kRecordStart +
                       "00,e1,00," + kRecordRest + kHostLine);

  // The next run starts at the stored rate, and writes nothing again.
  const FileState stored = StateOf(file);
  CliRun next = Cli({"--settings", file.string(), "--device", link.string(), "probe"});
  EXPECT_EQ(next.status, 0) << next.err;
  ExpectUnchanged(stored, file);
}

}  // namespace
}  // namespace lumaset
