#include "app/reg_settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "app/resource_ids.h"
#include "link/messages.h"
#include "platform/files.h"
#include "platform/language.h"

namespace lumaset {
namespace {

// ---------------------------------------------------------------------------
// File format: the text of a registry export. The header line, then key
// lines "[ROOT\path]", each followed by its values; blank lines and ";"
// comments anywhere after the header. Values:
//   "Name"="text"            text, \\ and \" escaped
//   "Name"=dword:0000001c    32-bit number
//   "Name"=hex:1c,00,...     binary, wrapped with a trailing backslash
//   "Name"=hex(N):...        any other type N
// Unlike the registry editor's files, which are UTF-16, this file is UTF-8:
// texts are stored as they are, and a hex(N) value holds the bytes we were
// given (a text with a line break is stored as hex(1): with its UTF-8 bytes
// and the terminating zero).

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr size_t kLineWidth = 80;  // hex data wraps before this column

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Key and value names compare without regard to ASCII case, as in the registry.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHexNumber(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    out = out << 4 | uint32_t(d);
  }
  return true;
}

struct Value {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
  bool operator==(const Value&) const = default;
};

// One logical line of the file with the physical lines it came from, so that
// whatever is not changed is written back exactly as it was read.
struct Entry {
  enum Kind { kText, kKey, kValue } kind = kText;
  std::vector<std::string> lines;
  std::string key;       // kKey: the name between the brackets
  std::string name;      // kValue: the value name, empty for "@"
  bool deleted = false;  // kValue: "Name"=- (marks the value as absent)
  Value value;
};

struct Document {
  std::vector<Entry> entries;  // entries[0] is the header line
  unsigned badLine = 0;        // nonzero: the file is damaged at this line
  std::string problem;
};

// Reads a quoted text that starts at s[pos]; pos ends after the closing quote.
bool ParseQuoted(std::string_view s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= s.size() || (s[pos] != '\\' && s[pos] != '"')) return false;
      c = s[pos];
    }
    out += c;
  }
  return false;
}

bool ParseHexList(std::string_view s, std::vector<uint8_t>& out) {
  std::string compact;
  for (char c : s)
    if (!IsSpace(c)) compact += c;
  out.clear();
  if (compact.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t comma = compact.find(',', start);
    std::string_view token = std::string_view(compact).substr(start, comma - start);
    uint32_t byte;
    if (token.size() > 2 || !ParseHexNumber(token, byte)) return false;
    out.push_back(uint8_t(byte));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ParseValue(std::string_view s, Entry& e, std::string& problem) {
  size_t pos = 0;
  if (s[0] == '@') {
    pos = 1;
  } else if (!ParseQuoted(s, pos, e.name)) {
    problem = "badly quoted value name";
    return false;
  }
  while (pos < s.size() && IsSpace(s[pos])) ++pos;
  if (pos >= s.size() || s[pos] != '=') {
    problem = "no \"=\" after the value name";
    return false;
  }
  std::string_view data = Trim(s.substr(pos + 1));
  auto starts = [&](std::string_view p) { return data.size() >= p.size() && SameName(data.substr(0, p.size()), p); };
  if (data == "-") {
    e.deleted = true;
    return true;
  }
  if (starts("\"")) {
    size_t p = 0;
    std::string text;
    if (!ParseQuoted(data, p, text) || p != data.size()) {
      problem = "badly quoted text";
      return false;
    }
    e.value.type = kRegSz;
    e.value.data.assign(text.begin(), text.end());
    e.value.data.push_back(0);
    return true;
  }
  if (starts("dword:")) {
    uint32_t v;
    if (!ParseHexNumber(data.substr(6), v)) {
      problem = "bad dword number";
      return false;
    }
    e.value.type = kRegDword;
    e.value.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return true;
  }
  std::string_view bytes;
  if (starts("hex:")) {
    e.value.type = kRegBinary;
    bytes = data.substr(4);
  } else if (starts("hex(")) {
    size_t close = data.find(')');
    if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':' ||
        !ParseHexNumber(data.substr(4, close - 4), e.value.type)) {
      problem = "bad value type";
      return false;
    }
    bytes = data.substr(close + 2);
  } else {
    problem = "unknown kind of value data";
    return false;
  }
  if (!ParseHexList(bytes, e.value.data)) {
    problem = "bad hex bytes";
    return false;
  }
  return true;
}

Entry HeaderEntry() {
  Entry e;
  e.lines.emplace_back(kHeader);
  return e;
}

Document Parse(const std::string& text) {
  Document doc;
  if (text.empty()) {  // a new (or emptied) file holds nothing
    doc.entries.push_back(HeaderEntry());
    return doc;
  }
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  auto fail = [&](size_t lineNo, std::string problem) {
    doc.entries.clear();
    doc.badLine = unsigned(lineNo);
    doc.problem = std::move(problem);
    return doc;
  };

  std::string_view first = lines[0];
  if (first.substr(0, kBom.size()) == kBom) first.remove_prefix(kBom.size());
  if (Trim(first) != kHeader) return fail(1, "the first line is not \"" + std::string(kHeader) + "\"");
  doc.entries.emplace_back().lines.push_back(lines[0]);

  bool inKey = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t lineNo = i + 1;
    Entry e;
    e.lines.push_back(lines[i]);
    std::string_view t = Trim(lines[i]);
    if (t.empty() || t[0] == ';') {
      e.kind = Entry::kText;
    } else if (t[0] == '[') {
      if (t.size() < 3 || t.back() != ']') return fail(lineNo, "bad key line");
      e.kind = Entry::kKey;
      e.key = t.substr(1, t.size() - 2);
      inKey = true;
    } else if (t[0] == '"' || t[0] == '@') {
      if (!inKey) return fail(lineNo, "value before the first key line");
      std::string logical(t);
      while (logical.back() == '\\') {
        if (i + 1 >= lines.size()) return fail(lineNo, "value cut off at the end of the file");
        logical.pop_back();
        e.lines.push_back(lines[++i]);
        logical += Trim(lines[i]);
      }
      e.kind = Entry::kValue;
      std::string problem;
      if (!ParseValue(logical, e, problem)) return fail(lineNo, problem);
    } else {
      return fail(lineNo, "not a key, value or comment");
    }
    doc.entries.push_back(std::move(e));
  }
  return doc;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A text value that fits between quotes on one line.
bool Quotable(const Value& v) {
  if (v.type != kRegSz || v.data.empty() || v.data.back() != 0) return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i)
    if (v.data[i] == 0 || v.data[i] == '\n' || v.data[i] == '\r') return false;
  return true;
}

std::vector<std::string> FormatValue(const std::string& name, const Value& v) {
  std::string line = (name.empty() ? std::string("@") : Quote(name)) + "=";
  if (Quotable(v)) return {line + Quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1))};
  char buf[32];
  if (v.type == kRegDword && v.data.size() == 4) {
    uint32_t n = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return {line + buf};
  }
  if (v.type == kRegBinary)
    line += "hex:";
  else {
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    line += buf;
  }
  std::vector<std::string> out;
  for (size_t i = 0; i < v.data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i + 1 < v.data.size() ? "%02x," : "%02x", v.data[i]);
    if (i > 0 && line.size() + std::strlen(buf) + 1 > kLineWidth) {
      out.push_back(line + '\\');
      line = "  ";
    }
    line += buf;
  }
  out.push_back(line);
  return out;
}

// The entry that holds the value as the registry would see it: the last one
// for that key and name in the file. -1 when there is none.
long FindValue(const Document& doc, std::string_view key, std::string_view name) {
  long found = -1;
  bool inKey = false;
  for (size_t i = 0; i < doc.entries.size(); ++i) {
    const Entry& e = doc.entries[i];
    if (e.kind == Entry::kKey)
      inKey = SameName(e.key, key);
    else if (e.kind == Entry::kValue && inKey && SameName(e.name, name))
      found = long(i);
  }
  return found;
}

const Value* Lookup(const Document& doc, std::string_view key, std::string_view name) {
  long i = FindValue(doc, key, name);
  return i < 0 || doc.entries[i].deleted ? nullptr : &doc.entries[i].value;
}

void SetValue(Document& doc, const std::string& key, const std::string& name, const Value& v) {
  Entry e;
  e.kind = Entry::kValue;
  e.name = name;
  e.value = v;
  e.lines = FormatValue(name, v);
  if (long i = FindValue(doc, key, name); i >= 0) {
    doc.entries[i] = std::move(e);
    return;
  }
  // A new value goes at the end of the key's last block, a new key at the end
  // of the file after a blank line.
  long insertAt = -1;
  bool inKey = false;
  for (size_t i = 0; i < doc.entries.size(); ++i) {
    const Entry& x = doc.entries[i];
    if (x.kind == Entry::kKey) inKey = SameName(x.key, key);
    if (inKey && x.kind != Entry::kText) insertAt = long(i) + 1;
  }
  if (insertAt >= 0) {
    doc.entries.insert(doc.entries.begin() + insertAt, std::move(e));
    return;
  }
  const Entry& last = doc.entries.back();
  if (last.kind != Entry::kText || doc.entries.size() == 1 || !Trim(last.lines.back()).empty())
    doc.entries.emplace_back().lines.emplace_back();
  Entry k;
  k.kind = Entry::kKey;
  k.key = key;
  k.lines.push_back("[" + key + "]");
  doc.entries.push_back(std::move(k));
  doc.entries.push_back(std::move(e));
}

std::string Serialize(const Document& doc) {
  std::string out;
  for (const Entry& e : doc.entries)
    for (const std::string& line : e.lines) out += line + '\n';
  return out;
}

// ---------------------------------------------------------------------------
// Files.

std::string ErrorText(int code) {
  char buffer[256];
  return strerror_r(code, buffer, sizeof buffer);
}

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates the folder and any missing parents, mode 0700 (settings are private).
int MakeFolders(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  if (int e = MakeFolders(Folder(dir))) return e;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

// The lock file beside the settings file: readers share it, a writer holds
// it alone from reading the file to renaming the new one into place, so two
// processes never interleave their changes.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }

  int Shared(const std::string& lockPath) {
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) fd_ = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    // A missing folder, or one that nobody may write, holds no change to wait for.
    return fd_ < 0 ? 0 : Take(LOCK_SH);
  }

  int Exclusive(const std::string& lockPath) {
    if (int e = MakeFolders(Folder(lockPath))) return e;
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    return fd_ < 0 ? errno : Take(LOCK_EX);
  }

 private:
  int Take(int op) {
    while (flock(fd_, op) != 0)
      if (errno != EINTR) return errno;
    return 0;
  }
  int fd_ = -1;
};

struct Snapshot {
  bool exists = false;
  std::string text;
  struct stat st {};
};

int Load(const std::string& path, Snapshot& s) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  int e = fstat(fd, &s.st) == 0 ? 0 : errno;
  char buf[8192];
  while (!e) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
      s.text.append(buf, size_t(n));
    else if (n == 0)
      break;
    else if (errno != EINTR)
      e = errno;
  }
  close(fd);
  s.exists = e == 0;
  return e;
}

// Temporary files of writers that died before their rename. Called under the
// exclusive lock, when no live writer can have one.
void RemoveStaleTemporaries(const std::string& path) {
  const std::string prefix = BaseName(path) + ".tmp-";
  const std::string dir = Folder(path);
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* ent = readdir(d)) {
    std::string_view name = ent->d_name;
    if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix)
      unlinkat(dirfd(d), ent->d_name, 0);
  }
  closedir(d);
}

// Copies a damaged file to "<file>.damaged-YYYYMMDD-HHMMSS" (with a counter
// when that name is taken) before anything is written over it.
int KeepDamaged(const std::string& path, const std::string& text, std::string& keptAs) {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  for (int n = 0; n < 100; ++n) {
    std::string name = path + ".damaged-" + stamp + (n ? "-" + std::to_string(n) : "");
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    int e = platform::WriteAll(fd, text.data(), text.size());
    if (!e && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && !e) e = errno;
    if (e) {
      unlink(name.c_str());
      return e;
    }
    keptAs = name;
    return platform::SyncFolder(Folder(path));
  }
  return EEXIST;
}

// A damaged file is reported once per process for each state of it (the same
// bytes seen again by another object or operation stay quiet).
bool FirstReport(const std::string& path, const struct stat& st) {
  static std::mutex mutex;
  static std::set<std::string> reported;
  std::string id = path + '\n' + std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
                   std::to_string(st.st_size) + ':' + std::to_string(st.st_mtim.tv_sec) + '.' +
                   std::to_string(st.st_mtim.tv_nsec);
  std::lock_guard<std::mutex> lock(mutex);
  return reported.insert(id).second;
}

void Notify(const std::string& text) {
  FixedMessageBox(nullptr, text, platform::LoadString(res::kStrCaption), platform::kMbIconInformation);
}

struct Outcome {
  int error = 0;          // errno of a failure, 0 on success
  bool reported = false;  // the failure has been told to the operator already
  std::string notice;     // a message to show once the lock is released
};

// Runs change() on the file's current contents under the exclusive lock and
// writes the result back when change() returns true. A damaged file is copied
// aside first and replaced by an empty document; if the copy cannot be made,
// nothing is written.
Outcome Update(const std::string& path, const std::function<bool(Document&)>& change) {
  Outcome out;
  FileLock lock;
  if ((out.error = lock.Exclusive(path + ".lock"))) return out;
  const std::string target = platform::WriteTarget(path);
  Snapshot snap;
  if ((out.error = Load(target, snap))) return out;
  Document doc = Parse(snap.text);
  bool mustWrite = false;
  if (doc.badLine) {
    const bool first = FirstReport(target, snap.st);
    std::string text = "The settings file \"" + target + "\" is damaged at line " + std::to_string(doc.badLine) +
                       " (" + doc.problem + "); its settings are not used.";
    std::string keptAs;
    if (int e = KeepDamaged(target, snap.text, keptAs); e) {
      if (first)
        out.notice = text + " It could not be kept aside (" + ErrorText(e) +
                     "), so it is left unchanged and the default settings are not saved.";
      out.error = e;
      out.reported = true;
      return out;
    }
    out.notice = text + " It has been kept as \"" + keptAs + "\"; a new file with the default settings is started.";
    doc = Parse("");
    mustWrite = true;
  }
  if (!change(doc) && !mustWrite) return out;
  RemoveStaleTemporaries(target);
  const mode_t mode = snap.exists ? (snap.st.st_mode & 07777) : 0600;
  const std::string text = Serialize(doc);
  out.error = platform::WriteFileAtomically(target, text.data(), text.size(), static_cast<int>(mode));
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
  int error = 0;
  {
    // The common case: the value is there, and a shared lock is enough.
    FileLock lock;
    Snapshot snap;
    error = lock.Shared(filePath_ + ".lock");
    if (!error) error = Load(filePath_, snap);
    if (!error) {
      Document doc = Parse(snap.text);
      if (const Value* v = doc.badLine ? nullptr : Lookup(doc, key, name)) {
        value_ = v->data;
        return lastOk_ = true;
      }
    }
  }
  const Value defValue{valueType_, std::vector<uint8_t>(def, def + defLength)};
  if (!error) {
    // Missing (or the file is damaged): store the default, unless another
    // writer stored the value since we looked.
    std::optional<std::vector<uint8_t>> found;
    Outcome out = Update(filePath_, [&](Document& doc) {
      if (const Value* v = Lookup(doc, key, name)) {
        found = v->data;
        return false;
      }
      SetValue(doc, key, name, defValue);
      return true;
    });
    if (!out.notice.empty()) Notify(out.notice);
    if (found) {
      value_ = std::move(*found);
      return lastOk_ = true;
    }
    error = out.reported ? -1 : out.error;
  }
  value_ = defValue.data;
  if (error > 0) ShowSystemError(nullptr, uint32_t(error));
  return lastOk_ = error == 0;
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
  Outcome out = Update(filePath_, [&](Document& doc) {
    bool changed = false;
    for (const Pending& w : writes) {
      const Value v{w.type, w.data};
      if (const Value* old = Lookup(doc, key, w.name); old && *old == v) continue;
      SetValue(doc, key, w.name, v);
      changed = true;
    }
    return changed;
  });
  if (!out.notice.empty()) Notify(out.notice);
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
