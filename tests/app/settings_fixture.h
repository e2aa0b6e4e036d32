// A settings file of its own in a temporary folder for each test, with the
// file helpers the settings tests share.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/reg_settings.h"
#include "app/settings.h"
#include "tests/pty_host.h"
#include "tests/sim_process.h"

namespace lumaset::test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::string> FilesMatching(const std::string& dir, const std::string& part) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().find(part) != std::string::npos) found.push_back(e.path().string());
  return found;
}

inline const char kKeyLine[] = "[HKEY_LOCAL_MACHINE\\Software\\Quendar\\Orvessa\\Lumaset\\Settings]";
inline const std::string kFileStart = std::string("Windows Registry Editor Version 5.00\n\n") + kKeyLine + "\n";

// Every field different from the defaults, and texts that need escaping.
inline StoredSettings Unusual() {
  StoredSettings s;
  s.userProgPath = "C:\\Programs\\\"quoted\" name.pgu";
  s.sysProgPath = "/home/op/back\\slash\\";
  s.touchProgPath = "/tmp/line\nbreak 触摸屏.tps";
  s.remoteHost = "控制器.example";
  s.commDcb.rate = 9600;
  s.commDcb.lineFlags = 0x0C93;
  s.commDcb.eventChar = 0x9F;
  s.commDcb.port = 0;
  s.commDcb.byteSize = 7;
  s.commDcb.parity = 2;
  s.commDcb.stopBits = 2;
  s.commDcb.network = 1;
  s.commDcb.tcpPort = 2001;
  s.commDevice = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  s.maxLine = 0xFFFFFFFF;
  s.changePgmBaud = 0;
  return s;
}

class SettingsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    root_ = dir_.Path().string();
    folder_ = root_ + "/Quendar";
    path_ = folder_ + "/Lumaset.reg";
    UseEnglishTexts();
  }
  // A store of the program's key in the test's file (or `path`).
  std::unique_ptr<CRegSettings> Store(const std::string& path = "") const {
    return std::make_unique<CRegSettings>(kSettingsKeyPath, kSettingsSection, RootKey::kLocalMachine,
                                          path.empty() ? path_ : path);
  }
  // The same, reading without storing defaults.
  std::unique_ptr<CRegSettings> Reader() const {
    auto reg = Store();
    reg->SetStoreDefaults(false);
    return reg;
  }
  StoredSettings Load() const {
    StoredSettings s;
    LoadSettings(*Store(), s);
    return s;
  }
  // Starts the test's file with these bytes.
  void Put(const std::string& bytes) const {
    std::filesystem::create_directories(folder_);
    WriteFile(path_, bytes);
  }

  TempDir dir_{"lumaset-settings"};
  RecordingOperator op_;  // installed while the test runs
  std::string root_, folder_, path_;
};

}  // namespace lumaset::test
