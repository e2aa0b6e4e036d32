// The settings of the program as one record, read from and written to the
// settings store.
#pragma once

#include <cstdint>
#include <string>

#include "app/reg_settings.h"
#include "link/link_settings.h"

namespace lumaset {

// Where the settings live (root key HKEY_LOCAL_MACHINE).
constexpr const char* kSettingsKeyPath = "Software\\Quendar\\Orvessa\\Lumaset";
constexpr const char* kSettingsSection = "Settings";

// Defaults written on first run.
constexpr uint32_t kDefaultLanguage = 0;  // English
constexpr const char* kDefaultRemoteHost = "192.168.1.100";
constexpr uint32_t kDefaultMaxLine = 1000;
constexpr uint32_t kDefaultChangePgmBaud = 1;

struct StoredSettings {
  uint32_t language = kDefaultLanguage;  // read and written by the application only
  std::string userProgPath;
  std::string sysProgPath;
  std::string touchProgPath;
  LinkSettings commDcb = StoredDefaults();
  // "CommDevice": the device path that COM <commDcb.port> is pinned to
  // (normally a /dev/serial/by-id/... name), so that the saved port keeps
  // meaning the same adapter whatever order devices are plugged in; empty:
  // not pinned, COM n is found as the port map counts. The view hands it to
  // the port map at start-up and takes it back from there when saving.
  std::string commDevice;
  std::string remoteHost = kDefaultRemoteHost;
  uint32_t maxLine = kDefaultMaxLine;
  uint32_t changePgmBaud = kDefaultChangePgmBaud;

  bool operator==(const StoredSettings&) const = default;
};

// Reads every value but the language, storing the default of each one that
// is missing. A "CommDCB" value that is not 28 bytes long is reported and the
// default record is used, and so is no pin ("CommDevice" belongs to the
// record's port); the stored values stay until the next save. Returns
// false when a value could not be read (it has been reported; the default is
// used).
bool LoadSettings(CRegSettings& reg, StoredSettings& settings);

// Writes every value but the language; "CommDCB" always as 28 bytes. The
// caller copies the link's working record and paths into settings first.
// All values go in one atomic rewrite of the file: a save that fails or is
// cut short leaves every previous value. Returns false when nothing could be
// written (it has been reported).
bool SaveSettings(CRegSettings& reg, const StoredSettings& settings);

// "Language": 0 English, anything else Chinese.
uint32_t LoadLanguageSetting(CRegSettings& reg);
bool SaveLanguageSetting(CRegSettings& reg, uint32_t language);

}  // namespace lumaset
