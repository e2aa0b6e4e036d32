// The installed layout: this build installed with `cmake --install --prefix
// /usr` into a DESTDIR folder, and the installed programs run from there.
// They must find the language libraries in the private library folder
// through their own RUNPATH, not in the build tree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QMimeDatabase>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/sim_process.h"

namespace fs = std::filesystem;

namespace lumaset::test {
namespace {

class InstalledLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir("lumaset-destdir");
    ChildProcess::Options options;
    options.env = {{"DESTDIR", root_->Path().string()}};
    options.captureStderr = true;
    ChildProcess install({LUMASET_CMAKE_COMMAND, "--install", LUMASET_BUILD_DIR, "--prefix", "/usr"}, options);
    installStatus_ = install.Wait(120000);
    installErrors_ = install.Stderr();
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(installStatus_, 0) << installErrors_; }

  static fs::path Usr() { return root_->Path() / "usr"; }
  // The one installed file whose name is `name` below usr/lib ("" if none).
  static fs::path InstalledLibrary(const std::string& name) {
    fs::path found;
    for (const auto& entry : fs::recursive_directory_iterator(Usr() / "lib"))
      if (entry.path().filename() == name) found = entry.path();
    return found;
  }

  // The installed lumaset-cli downloading a user program to a simulator;
  // its stderr. The download must succeed whether or not texts are found.
  std::string InstalledDownload() {
    HostSimProcess sim({});
    EXPECT_TRUE(sim.Started());
    const auto program = dir_.File("job with space.pgu", RandomBytes(2000, 3));
    ChildProcess::Options options;
    options.captureStderr = true;
    ChildProcess cli({(Usr() / "bin" / "lumaset-cli").string(), "--device", JsonField(sim.Ready(), "device"),
                      "download-user", program.string(), "--yes"},
                     options);
    EXPECT_EQ(cli.Wait(60000), 0) << cli.Stderr();
    EXPECT_FALSE(sim.Wait("download-done", "user", 10000).empty());
    EXPECT_EQ(sim.Received("-user.pgu"), RandomBytes(2000, 3));
    return cli.Stderr();
  }

  static TempDir* root_;
  static int installStatus_;
  static std::string installErrors_;
  TempDir dir_;
};

TempDir* InstalledLayout::root_ = nullptr;
int InstalledLayout::installStatus_ = -1;
std::string InstalledLayout::installErrors_;

TEST_F(InstalledLayout, ProgramsAndLibrariesLandWhereTheyFindEachOther) {
  for (const char* program : {"lumaset", "lumaset-cli", "lumaset-hostsim"})
    EXPECT_TRUE(fs::exists(Usr() / "bin" / program)) << program;
  const fs::path en = InstalledLibrary("libTavloraEN.so");
  const fs::path cn = InstalledLibrary("libTavloraCN.so");
  ASSERT_FALSE(en.empty());
  ASSERT_FALSE(cn.empty());
  EXPECT_EQ(en.parent_path(), cn.parent_path());
  EXPECT_EQ(en.parent_path().filename(), "lumaset") << "a private folder, not the system's library folder";
  // Nothing of the libraries beside the programs: the lookup must use the
  // private folder.
  EXPECT_FALSE(fs::exists(Usr() / "bin" / "libTavloraEN.so"));
  for (const char* file : {"share/applications/lumaset.desktop", "share/mime/packages/lumaset.xml",
                           "share/icons/hicolor/scalable/apps/lumaset.svg", "share/icons/hicolor/48x48/apps/lumaset.png",
                           "share/man/man1/lumaset.1.gz", "share/man/man1/lumaset-cli.1.gz",
                           "share/man/man1/lumaset-hostsim.1.gz", "share/doc/lumaset/lumaset-cli.md.gz",
                           "share/doc/lumaset/lumaset-hostsim.md.gz", "lib/udev/rules.d/70-lumaset.rules"})
    EXPECT_TRUE(fs::exists(Usr() / file)) << file;
}

// The operator's guide is installed where the About box says, with every
// picture it shows, at the place its links name.
TEST_F(InstalledLayout, TheGuideComesWithItsPictures) {
  const fs::path folder = Usr() / "share/doc/lumaset";
  std::ifstream in(folder / "user-guide.md");
  ASSERT_TRUE(in) << "no guide in " << folder;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t pictures = 0;
  for (size_t at = text.find("](images/"); at != std::string::npos; at = text.find("](images/", at + 1)) {
    const std::string link = text.substr(at + 2, text.find(')', at) - at - 2);
    EXPECT_TRUE(fs::is_regular_file(folder / link)) << link;
    ++pictures;
  }
  // Both languages of each kind of window the guide shows.
  EXPECT_GE(pictures, 18u);
}

TEST_F(InstalledLayout, TheInstalledToolFindsItsLibraryAndMissesItWhenRemoved) {
  // With the library in place its texts are used: no warning.
  const std::string withLibrary = InstalledDownload();
  EXPECT_EQ(withLibrary.find("not loaded"), std::string::npos) << withLibrary;

  // Without it the tool still downloads but says the texts are missing: it
  // was the installed library, not the build tree's, that was found.
  const fs::path en = InstalledLibrary("libTavloraEN.so");
  const fs::path aside = en.string() + ".aside";
  fs::rename(en, aside);
  const std::string withoutLibrary = InstalledDownload();
  fs::rename(aside, en);
  EXPECT_NE(withoutLibrary.find("libTavloraEN.so not loaded"), std::string::npos) << withoutLibrary;
}

TEST_F(InstalledLayout, TheUdevRulesGrantTheUsbDeviceAndKeepModemManagerOff) {
  std::ifstream in(Usr() / "lib/udev/rules.d/70-lumaset.rules");
  std::string line, usb, serial;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.find("SUBSYSTEM==\"usb\"") == 0) usb = line;
    if (line.find("SUBSYSTEM==\"tty\"") == 0) serial = line;
  }
  // The program's default USB device, given to the local session's user.
  EXPECT_NE(usb.find("ATTRS{idVendor}==\"1209\", ATTRS{idProduct}==\"0001\""), std::string::npos) << usb;
  EXPECT_NE(usb.find("TAG+=\"uaccess\""), std::string::npos) << usb;
  EXPECT_NE(serial.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\""), std::string::npos) << serial;
}

TEST_F(InstalledLayout, TheFileManagerOpensUserProgramsWithTheWindowOnly) {
  // Qt's MIME database reads the installed MIME package as a desktop does;
  // the installed folder comes first, before the system's.
  setenv("XDG_DATA_DIRS", ((Usr() / "share").string() + ":/usr/share").c_str(), 1);
  QMimeDatabase mime;
  EXPECT_EQ(mime.mimeTypeForFile("/x/my programs/job 1.pgu", QMimeDatabase::MatchExtension).name(),
            "application/x-lumaset-user-program");
  EXPECT_EQ(mime.mimeTypeForFile("/x/LOADER.PGS", QMimeDatabase::MatchExtension).name(),
            "application/x-lumaset-system-program");
  EXPECT_EQ(mime.mimeTypeForFile("/x/panel.tps", QMimeDatabase::MatchExtension).name(),
            "application/x-lumaset-touch-program");

  // The desktop entry claims the user program alone: its command line
  // downloads any file as a user program, so a system or touch-panel program
  // must not open there.
  std::ifstream in(Usr() / "share/applications/lumaset.desktop");
  std::string line, types;
  while (std::getline(in, line))
    if (line.rfind("MimeType=", 0) == 0) types = line.substr(9);
  EXPECT_EQ(types, "application/x-lumaset-user-program;");
}

}  // namespace
}  // namespace lumaset::test
