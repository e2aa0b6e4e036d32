#include "app/reg_settings.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "link/messages.h"
#include "platform/files.h"
#include "platform/language.h"
#include "platform/locked_file.h"
#include "protocol/whole_file.h"
#include "resources/resource_ids.h"

namespace lumaset {
namespace {

using regfile::BadLine;
using regfile::Document;
using regfile::Status;

constexpr uint64_t kMaxFileBytes = 16u << 20;  // far more than any settings file holds
constexpr int kNewFileMode = 0600;             // settings are private

std::string ErrorText(int code) {
  char buffer[256];
  return strerror_r(code, buffer, sizeof buffer);
}

// The file's bytes; a missing file is an empty one. 0, or the errno value.
int ReadSettingsFile(const std::string& path, std::string* bytes) {
  std::vector<uint8_t> data;
  uint32_t size = 0;
  const int e = ReadWholeFile(path.c_str(), 0, 0, &data, &size, kMaxFileBytes);
  bytes->assign(data.begin(), data.end());
  if (e == ENOENT) bytes->clear();
  return e == ENOENT ? 0 : e;
}

// What became of a file with damage in the key, for the report.
enum class Fate { kLeftAsIs, kKeptAside, kNotKept };

// A report is given once per process for the same lines of the same file
// (and, for damage, the same fate), however many objects and operations
// come across them.
bool FirstTime(const std::string& id) {
  static std::mutex mutex;
  static std::set<std::string> given;
  std::lock_guard<std::mutex> lock(mutex);
  return given.insert(id).second;
}

// "line 4 (bad dword number), line 9 (...)" for the lines inside the key or
// outside it; "" when there are none or they have been reported already.
std::string Lines(const std::string& id, const std::vector<BadLine>& bad, bool inKey) {
  constexpr size_t kListed = 5;
  std::string list, seen = id;
  size_t n = 0;
  for (const BadLine& b : bad) {
    if (b.inKey != inKey) continue;
    seen += '\n' + b.text;
    if (n++ < kListed) list += (list.empty() ? "line " : ", line ") + std::to_string(b.line) + " (" + b.problem + ")";
  }
  if (n > kListed) list += " and " + std::to_string(n - kListed) + " more";
  return n && FirstTime(seen) ? list : std::string();
}

// The message about the lines of the file that cannot be read, or "".
std::string Describe(const std::string& path, const std::string& key, const Document& doc, Fate fate,
                     const std::string& keptAs = {}, int copyError = 0) {
  const std::vector<BadLine> bad = doc.BadLines(key);
  std::string text;
  const std::string file = "The settings file \"" + path + "\"";
  if (const std::string in = Lines("in " + std::to_string(int(fate)) + path, bad, true); !in.empty()) {
    text = file + " is damaged at " + in + ".";
    std::string names;
    for (const std::string& n : doc.DamagedValues(key)) names += (names.empty() ? " " : ", ") + (n.empty() ? "@" : n);
    if (!names.empty()) text += " These values use their defaults:" + names + ".";
    switch (fate) {
      case Fate::kLeftAsIs: text += " The file is left as it is."; break;
      case Fate::kKeptAside:
        text += " It has been kept as \"" + keptAs + "\"; the lines that cannot be read are left out of the file.";
        break;
      case Fate::kNotKept:
        text += " It could not be kept aside (" + ErrorText(copyError) +
                "), so it is left unchanged and no setting is saved to it.";
        break;
    }
  }
  if (const std::string out = Lines("out " + path, bad, false); !out.empty())
    text += (text.empty() ? "" : "\n\n") + file + " has lines outside [" + key + "] that cannot be read: " + out +
            ". They are kept as they are.";
  return text;
}

void Notify(const std::string& text) {
  if (!text.empty())
    FixedMessageBox(nullptr, text, platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
}

struct Outcome {
  int error = 0;                    // errno of a failure, 0 on success
  bool reported = false;            // the failure has been told to the operator already
  std::vector<std::string> mended;  // values whose damaged lines were left out
};

// Runs change() on the file's current document under the rewrite lock and
// writes the result back when change() returns true. A file damaged in the
// key is copied aside first and written without its damaged lines; if the
// copy cannot be made, nothing is written. Reports once the lock is released.
Outcome Update(const std::string& path, const std::string& key, const std::function<bool(Document&)>& change) {
  Outcome out;
  std::string notice;
  auto step = [&](const std::string& target, std::optional<std::string>* next) {
    std::string bytes;
    if (int e = ReadSettingsFile(target, &bytes)) return e;
    Document doc = Document::Parse(bytes);
    const bool damaged = doc.Damaged(key);
    if (damaged) {
      std::string keptAs;
      if (int e = platform::KeepCopyBeside(target, "damaged", bytes.data(), bytes.size(), &keptAs)) {
        notice = Describe(target, key, doc, Fate::kNotKept, {}, e);
        out.reported = true;
        return e;
      }
      notice = Describe(target, key, doc, Fate::kKeptAside, keptAs);
      out.mended = doc.DamagedValues(key);
      doc.DropDamage(key);
    } else {
      notice = Describe(target, key, doc, Fate::kLeftAsIs);
    }
    if (change(doc) || damaged) *next = doc.Serialize();
    return 0;
  };
  out.error = platform::RewriteLocked(path, kNewFileMode, step);
  Notify(notice);
  return out;
}

std::vector<uint8_t> Dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

}  // namespace

const char* RootKeyName(RootKey root) {
  switch (root) {
    case RootKey::kClassesRoot: return "HKEY_CLASSES_ROOT";
    case RootKey::kCurrentUser: return "HKEY_CURRENT_USER";
    case RootKey::kLocalMachine: return "HKEY_LOCAL_MACHINE";
    case RootKey::kUsers: return "HKEY_USERS";
    case RootKey::kCurrentConfig: return "HKEY_CURRENT_CONFIG";
  }
  return "HKEY_LOCAL_MACHINE";
}

std::string DefaultRegistryPath() {
  if (const char* file = std::getenv("LUMASET_REGISTRY"); file && *file) return file;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;  // a relative XDG_CONFIG_HOME is to be ignored
  } else {
    const char* home = std::getenv("HOME");
    std::string dir = home && *home ? home : "";
    if (dir.empty()) {
      struct passwd pw, *found = nullptr;
      char buf[4096];
      if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found) dir = pw.pw_dir;
    }
    base = dir + "/.config";
  }
  return base + "/Quendar/Lumaset.reg";
}

CRegSettings::CRegSettings(const std::string& keyPath, const std::string& section, RootKey root)
    : CRegSettings(keyPath, section, root, DefaultRegistryPath()) {}

CRegSettings::CRegSettings(const std::string& keyPath, const std::string& section, RootKey root,
                           const std::string& filePath)
    : root_(root), keyPath_(keyPath), section_(section), filePath_(filePath) {}

const std::string& CRegSettings::FullPath() {
  std::string_view key = keyPath_, section = section_;
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  while (!section.empty() && section.front() == '\\') section.remove_prefix(1);
  while (!section.empty() && section.back() == '\\') section.remove_suffix(1);
  fullPath_.assign(key);
  if (!key.empty() && !section.empty()) fullPath_ += '\\';
  fullPath_ += section;
  return fullPath_;
}

std::string CRegSettings::KeyName() {
  std::string name = RootKeyName(root_);
  if (!FullPath().empty()) name += "\\" + fullPath_;
  return name;
}

void CRegSettings::SetType(uint32_t type) {
  valueType_ = type == kRegSz || type == kRegBinary || type == kRegDword ? type : kRegNone;
}

bool CRegSettings::ReadValue(const std::string& name, const uint8_t* def, size_t defLength) {
  const std::string key = KeyName();
  const regfile::Value defValue{valueType_, std::vector<uint8_t>(def, def + defLength)};
  std::string bytes;
  if (int error = ReadSettingsFile(filePath_, &bytes)) {
    value_ = defValue.data;
    ShowSystemError(nullptr, uint32_t(error));
    return lastOk_ = false;
  }
  const Document doc = Document::Parse(bytes);
  regfile::Value found;
  Status status = doc.Find(key, name, &found);
  if (TakeMended(name)) status = Status::kDamaged;  // its line was left out by a write of ours
  if (storeDefaults_ && (status != Status::kPresent || doc.Damaged(key))) {
    // Store the default, unless another writer stored the value since we
    // looked; a damaged file is mended on the way.
    std::optional<regfile::Value> stored;
    Outcome out = Update(filePath_, key, [&](Document& d) {
      regfile::Value v;
      if (d.Find(key, name, &v) == Status::kPresent) {
        stored = std::move(v);
        return false;
      }
      d.Set(key, name, defValue);
      return true;
    });
    NoteMended(out.mended, name);
    if (!out.error) {
      value_ = stored ? stored->data : defValue.data;
      return lastOk_ = stored || status != Status::kDamaged;
    }
    if (!out.reported) ShowSystemError(nullptr, uint32_t(out.error));
    value_ = status == Status::kPresent ? found.data : defValue.data;
    return lastOk_ = status == Status::kPresent;
  }
  Notify(Describe(platform::WriteTarget(filePath_), key, doc, Fate::kLeftAsIs));
  value_ = status == Status::kPresent ? found.data : defValue.data;
  return lastOk_ = status != Status::kDamaged;
}

void CRegSettings::NoteMended(std::vector<std::string>& names, const std::string& reading) {
  for (std::string& name : names)
    if (!regfile::SameName(name, reading)) mended_.push_back(std::move(name));
}

bool CRegSettings::TakeMended(const std::string& name) {
  for (auto i = mended_.begin(); i != mended_.end(); ++i)
    if (regfile::SameName(*i, name)) {
      mended_.erase(i);
      return true;
    }
  return false;
}

bool CRegSettings::WriteValue(const std::string& name, const uint8_t* data, size_t length) {
  if (batching_) {
    pending_.push_back({name, valueType_, std::vector<uint8_t>(data, data + length)});
    return lastOk_ = true;
  }
  BeginBatch();
  WriteValue(name, data, length);
  return CommitBatch();
}

void CRegSettings::BeginBatch() {
  batching_ = true;
  pending_.clear();
}

bool CRegSettings::CommitBatch() {
  batching_ = false;
  const std::vector<Pending> writes = std::move(pending_);
  pending_.clear();
  if (writes.empty()) return lastOk_ = true;
  const std::string key = KeyName();
  Outcome out = Update(filePath_, key, [&](Document& doc) {
    bool changed = false;
    for (const Pending& w : writes) {
      const regfile::Value v{w.type, w.data};
      regfile::Value old;
      if (doc.Find(key, w.name, &old) == Status::kPresent && old == v) continue;
      doc.Set(key, w.name, v);
      changed = true;
    }
    return changed;
  });
  NoteMended(out.mended, {});
  for (const Pending& w : writes) TakeMended(w.name);  // written now: no longer damaged
  if (out.error && !out.reported) ShowSystemError(nullptr, uint32_t(out.error));
  return lastOk_ = out.error == 0;
}

std::string CRegSettings::ReadString(const std::string& name, const std::string& def) {
  SetType(kRegSz);
  std::vector<uint8_t> bytes(def.begin(), def.end());
  bytes.push_back(0);
  ReadValue(name, bytes.data(), bytes.size());
  if (value_.empty()) return {};
  const char* text = reinterpret_cast<const char*>(value_.data());
  return std::string(text, strnlen(text, value_.size()));
}

const uint8_t* CRegSettings::ReadBinary(const std::string& name, size_t* length, const uint8_t* def) {
  SetType(kRegBinary);
  ReadValue(name, def, def && length ? *length : 0);
  if (length) *length = value_.size();
  return value_.data();
}

uint32_t CRegSettings::ReadDword(const std::string& name, uint32_t def) {
  SetType(kRegDword);
  std::vector<uint8_t> bytes = Dword(def);
  ReadValue(name, bytes.data(), bytes.size());
  uint32_t v = 0;
  for (size_t i = 0; i < 4 && i < value_.size(); ++i) v |= uint32_t(value_[i]) << (8 * i);
  return v;
}

bool CRegSettings::WriteString(const std::string& name, const std::string& text) {
  SetType(kRegSz);
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return WriteValue(name, bytes.data(), bytes.size());
}

bool CRegSettings::WriteBinary(const std::string& name, const uint8_t* data, size_t length) {
  SetType(kRegBinary);
  return WriteValue(name, data, data ? length : 0);
}

bool CRegSettings::WriteDword(const std::string& name, uint32_t value) {
  SetType(kRegDword);
  std::vector<uint8_t> bytes = Dword(value);
  return WriteValue(name, bytes.data(), bytes.size());
}

}  // namespace lumaset
