#include "app/settings.h"

#include "link/messages.h"
#include "platform/language.h"
#include "resources/resource_ids.h"

namespace lumaset {

bool LoadSettings(CRegSettings& reg, StoredSettings& s) {
  bool ok = true;
  auto text = [&](const char* name, const std::string& def) {
    std::string v = reg.ReadString(name, def);
    ok = reg.LastOk() && ok;
    return v;
  };
  auto number = [&](const char* name, uint32_t def) {
    uint32_t v = reg.ReadDword(name, def);
    ok = reg.LastOk() && ok;
    return v;
  };

  s.userProgPath = text("UserProgPath", "");
  s.sysProgPath = text("SysProgPath", "");
  s.touchProgPath = text("TouchProgPath", "");

  const LinkSettings::Bytes def = StoredDefaults().ToBytes();
  size_t length = def.size();
  const uint8_t* record = reg.ReadBinary("CommDCB", &length, def.data());
  ok = reg.LastOk() && ok;
  if (length == kLinkSettingsSize) {
    s.commDcb.FromBytes(record, length);
  } else {
    s.commDcb = StoredDefaults();
    FixedMessageBox(nullptr,
                    "The link settings \"CommDCB\" in \"" + reg.FilePath() + "\" are " + std::to_string(length) +
                        " bytes long instead of " + std::to_string(kLinkSettingsSize) +
                        "; the default link settings are used. The stored value is kept until the settings are "
                        "saved.",
                    platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
    ok = false;
  }
  s.commDevice = text("CommDevice", "");
  // The pin names the device of the stored record's port: without that
  // record it would pin whichever port the defaults name.
  if (length != kLinkSettingsSize) s.commDevice.clear();

  s.remoteHost = text("RemoteHost", kDefaultRemoteHost);
  s.maxLine = number("MAXLINE", kDefaultMaxLine);
  s.changePgmBaud = number("ChangePGMBaud", kDefaultChangePgmBaud);
  return ok;
}

bool SaveSettings(CRegSettings& reg, const StoredSettings& s) {
  // One rewrite of the file for the whole record: a save that fails or is cut
  // short leaves every previous value, never a mix of old and new.
  reg.BeginBatch();
  reg.WriteString("UserProgPath", s.userProgPath);
  reg.WriteString("SysProgPath", s.sysProgPath);
  reg.WriteString("TouchProgPath", s.touchProgPath);
  reg.WriteString("RemoteHost", s.remoteHost);
  const LinkSettings::Bytes record = s.commDcb.ToBytes();
  reg.WriteBinary("CommDCB", record.data(), record.size());
  reg.WriteString("CommDevice", s.commDevice);
  reg.WriteDword("MAXLINE", s.maxLine);
  reg.WriteDword("ChangePGMBaud", s.changePgmBaud);
  return reg.CommitBatch();
}

uint32_t LoadLanguageSetting(CRegSettings& reg) { return reg.ReadDword("Language", kDefaultLanguage); }

bool SaveLanguageSetting(CRegSettings& reg, uint32_t language) { return reg.WriteDword("Language", language); }

}  // namespace lumaset
