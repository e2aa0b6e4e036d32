#include "app/reg_file.h"

#include <cstdio>
#include <cstring>

namespace lumaset::regfile {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr size_t kLineWidth = 80;  // hex data wraps before this column, as the registry editor wraps it

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

// Whether deleting key `deleted` deletes `key`: the same key or a parent.
bool Covers(std::string_view deleted, std::string_view key) {
  return StartsWith(key, deleted) && (key.size() == deleted.size() || key[deleted.size()] == '\\');
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool IsTextType(uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool ParseHexNumber(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    out = out << 4 | uint32_t(d);
  }
  return true;
}

// A line that continues wrapped hex data: hex digits, commas, blanks and
// perhaps the backslash of a further continuation.
bool IsHexContinuation(std::string_view s) {
  s = Trim(s);
  if (s.empty()) return false;  // a blank line ends the value
  for (char c : s)
    if (HexDigit(c) < 0 && c != ',' && !IsSpace(c) && c != '\\') return false;
  return true;
}

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
  for (size_t start = 0;;) {
    const size_t comma = compact.find(',', start);
    const std::string_view token = std::string_view(compact).substr(start, comma - start);
    uint32_t byte;
    if (token.size() > 2 || !ParseHexNumber(token, byte)) return false;
    out.push_back(uint8_t(byte));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The data after "=": fills the value, or says what is wrong with it.
std::string ParseData(std::string_view data, bool regedit4, Value& value, bool& deleted, bool& reformat) {
  if (data == "-") {
    deleted = true;
    return {};
  }
  if (StartsWith(data, "\"")) {
    size_t p = 0;
    std::string text;
    if (!ParseQuoted(data, p, text) || p != data.size()) return "badly quoted text";
    value.type = kRegSz;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return {};
  }
  if (StartsWith(data, "dword:")) {
    uint32_t v;
    if (!ParseHexNumber(data.substr(6), v)) return "bad dword number";
    value.type = kRegDword;
    value.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return {};
  }
  std::string_view bytes;
  if (StartsWith(data, "hex:")) {
    value.type = kRegBinary;
    bytes = data.substr(4);
  } else if (StartsWith(data, "hex(")) {
    const size_t close = data.find(')');
    if (close == std::string_view::npos || close + 1 >= data.size() || data[close + 1] != ':' ||
        !ParseHexNumber(data.substr(4, close - 4), value.type))
      return "bad value type";
    bytes = data.substr(close + 2);
  } else {
    return "unknown kind of value data";
  }
  if (!ParseHexList(bytes, value.data)) return "bad hex bytes";
  if (IsTextType(value.type)) {
    // Text in hex: UTF-16LE under the 5.00 header, the ANSI code page under
    // REGEDIT4 (rewritten as UTF-16LE, since the new file has the 5.00 header).
    const std::string text =
        regedit4
            ? regtext::FromAnsi(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()))
            : regtext::FromUtf16Le(value.data);
    value.data.assign(text.begin(), text.end());
    reformat = regedit4;
  }
  return {};
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A text that fits between quotes on one line.
bool Quotable(const Value& v) {
  if (v.type != kRegSz || v.data.empty() || v.data.back() != 0) return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i)
    if (v.data[i] == 0 || v.data[i] == '\n' || v.data[i] == '\r') return false;
  return true;
}

std::vector<std::string> FormatValue(const std::string& name, const Value& v) {
  std::string line = (name.empty() ? std::string("@") : Quote(name)) + "=";
  if (Quotable(v))
    return {line + Quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1))};
  char buf[32];
  if (v.type == kRegDword && v.data.size() == 4) {
    const uint32_t n =
        uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return {line + buf};
  }
  if (v.type == kRegBinary) {
    line += "hex:";
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    line += buf;
  }
  const std::vector<uint8_t> bytes =
      IsTextType(v.type)
          ? regtext::ToUtf16Le(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()))
          : v.data;
  std::vector<std::string> out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
    if (i > 0 && line.size() + std::strlen(buf) + 1 > kLineWidth) {
      out.push_back(line + '\\');
      line = "  ";
    }
    line += buf;
  }
  out.push_back(line);
  return out;
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

Document::Entry Document::ReadLine(const std::vector<Line>& lines, size_t& i, Header header) {
  Entry e;
  e.lineNo = unsigned(i + 1);
  e.lines.push_back(lines[i]);
  const std::string_view t = Trim(lines[i].text);
  auto bad = [&](std::string problem) {
    e.kind = Entry::kBad;
    e.problem = std::move(problem);
    return e;
  };
  if (t.empty() || t[0] == ';') {
    e.kind = Entry::kText;
    return e;
  }
  if (t[0] == '[') {
    e.deletesKey = t.size() > 1 && t[1] == '-';
    const size_t start = e.deletesKey ? 2 : 1;
    if (t.size() < start + 2 || t.back() != ']') {
      e.opensBlock = true;
      return bad("bad key line");
    }
    e.kind = Entry::kKey;
    e.key = Trim(t.substr(start, t.size() - start - 1));
    return e;
  }
  if (t[0] != '"' && t[0] != '@') return bad("not a key, value or comment");

  size_t pos = 0;
  if (t[0] == '@')
    pos = 1;
  else if (!ParseQuoted(t, pos, e.name))
    return bad("badly quoted value name");
  e.hasName = true;
  while (pos < t.size() && IsSpace(t[pos])) ++pos;
  if (pos >= t.size() || t[pos] != '=') return bad("no \"=\" after the value name");
  std::string data(Trim(t.substr(pos + 1)));
  if (StartsWith(data, "hex")) {
    // Wrapped data: each line but the last ends in a backslash.
    while (!data.empty() && data.back() == '\\') {
      if (i + 1 >= lines.size() || !IsHexContinuation(lines[i + 1].text)) return bad("hex data cut off");
      data.pop_back();
      e.lines.push_back(lines[++i]);
      data += Trim(lines[i].text);
    }
  }
  e.kind = Entry::kValue;
  std::string problem = ParseData(data, header == Header::kV4, e.value, e.deleted, e.reformat);
  return problem.empty() ? e : bad(std::move(problem));
}

Document Document::Parse(std::string_view bytes) {
  Document doc;
  regtext::DecodedFile file = regtext::DecodeFile(bytes);
  doc.encoding_ = file.encoding;
  std::vector<Line> lines;
  for (size_t start = 0; start < file.text.size();) {
    size_t end = file.text.find('\n', start);
    Line line;
    if (end == std::string::npos) {
      line.text = file.text.substr(start);
      end = file.text.size();
      // A file cut after the CR of its last CR LF: the CR ends the line (it
      // is not part of the value's data) and is written back as a whole CR LF.
      if (!line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
        line.end = "\r";
      }
    } else {
      line.text = file.text.substr(start, end - start);
      line.end = "\n";
      if (!line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
        line.end = "\r\n";
      }
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (lines.empty()) return doc;  // a new (or emptied) file

  if (lines[0].end == "\r\n") doc.lineEnd_ = "\r\n";
  const std::string_view first = Trim(lines[0].text);
  size_t i = 0;
  if (first == kHeader5 || first == kHeader4) {
    doc.header_ = first == kHeader5 ? Header::kV5 : Header::kV4;
    Entry& header = doc.entries_.emplace_back();
    header.kind = Entry::kHeader;
    header.lineNo = 1;
    header.lines.push_back(lines[0]);
    i = 1;
  } else {
    doc.header_ = Header::kMissing;
  }
  bool inBlock = false;  // a value here belongs to a key
  for (; i < lines.size(); ++i) {
    Entry e = ReadLine(lines, i, doc.header_);
    if (e.kind == Entry::kKey) inBlock = !e.deletesKey;
    if (e.opensBlock) inBlock = true;  // of a key that cannot be told; the key line is reported
    if (e.kind == Entry::kValue && !inBlock) {
      e.kind = Entry::kBad;
      e.problem = "value outside a key";
    }
    doc.entries_.push_back(std::move(e));
  }
  return doc;
}

std::vector<bool> Document::InKey(std::string_view key, size_t* live) const {
  std::vector<bool> in(entries_.size(), false);
  bool inside = false;
  *live = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (e.kind == Entry::kKey) {
      // Lines after a deletion belong to no key until the next key line.
      inside = !e.deletesKey && SameName(e.key, key);
      if (e.deletesKey && Covers(e.key, key)) *live = i + 1;
    } else if (e.kind == Entry::kBad && e.opensBlock) {
      inside = false;  // whichever key was meant, it cannot be told
    }
    in[i] = inside;
  }
  return in;
}

Status Document::Find(std::string_view key, std::string_view name, Value* value) const {
  size_t live;
  const std::vector<bool> in = InKey(key, &live);
  for (size_t i = entries_.size(); i-- > live;) {
    const Entry& e = entries_[i];
    if (!in[i] || !e.hasName || !SameName(e.name, name)) continue;
    if (e.kind == Entry::kBad) return Status::kDamaged;
    if (e.deleted) return Status::kMissing;
    if (value) *value = e.value;
    return Status::kPresent;
  }
  return Status::kMissing;
}

std::vector<BadLine> Document::BadLines(std::string_view key) const {
  size_t live;
  const std::vector<bool> in = InKey(key, &live);
  std::vector<BadLine> bad;
  for (size_t i = 0; i < entries_.size(); ++i)
    if (const Entry& e = entries_[i]; e.kind == Entry::kBad) {
      std::string text;
      for (const Line& line : e.lines) text += line.text + line.end;
      bad.push_back({e.lineNo, e.problem, in[i], std::move(text)});
    }
  if (header_ == Header::kMissing) {
    const std::string problem = "not \"" + std::string(kHeader5) + "\" or \"" + std::string(kHeader4) + "\"";
    if (!bad.empty() && bad[0].line == 1)
      bad[0].problem = problem;
    else
      bad.insert(bad.begin(), BadLine{1, problem, false, {}});
  }
  return bad;
}

bool Document::Damaged(std::string_view key) const {
  for (const BadLine& b : BadLines(key))
    if (b.inKey) return true;
  return false;
}

std::vector<std::string> Document::DamagedValues(std::string_view key) const {
  size_t live;
  const std::vector<bool> in = InKey(key, &live);
  std::vector<std::string> names;
  for (size_t i = live; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!in[i] || !e.hasName) continue;
    bool listed = false;
    for (const std::string& n : names) listed = listed || SameName(n, e.name);
    if (!listed && Find(key, e.name) == Status::kDamaged) names.push_back(e.name);
  }
  return names;
}

void Document::Set(std::string_view key, std::string_view name, const Value& value) {
  Entry e;
  e.kind = Entry::kValue;
  e.hasName = true;
  e.name = name;
  e.value = value;
  e.reformat = true;
  size_t live;
  const std::vector<bool> in = InKey(key, &live);
  size_t inForce = 0, after = 0;  // index + 1, or 0 for none
  for (size_t i = live; i < entries_.size(); ++i) {
    if (!in[i]) continue;
    if (entries_[i].hasName && SameName(entries_[i].name, name)) inForce = i + 1;
    if (entries_[i].kind != Entry::kText) after = i + 1;
  }
  if (inForce) {
    entries_[inForce - 1] = std::move(e);
    return;
  }
  if (after) {
    entries_.insert(entries_.begin() + long(after), std::move(e));
    return;
  }
  // A new block at the end, after a blank line.
  const Entry* last = entries_.empty() ? nullptr : &entries_.back();
  if (!last || last->kind != Entry::kText || (!last->lines.empty() && !Trim(last->lines.back().text).empty()))
    entries_.emplace_back();  // a blank line
  Entry k;
  k.kind = Entry::kKey;
  k.key = key;
  entries_.push_back(std::move(k));
  entries_.push_back(std::move(e));
}

void Document::DropDamage(std::string_view key) {
  const std::vector<std::string> damaged = DamagedValues(key);
  size_t live;
  const std::vector<bool> in = InKey(key, &live);
  std::vector<Entry> kept;
  for (size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    bool drop = in[i] && e.kind == Entry::kBad;
    for (const std::string& n : damaged) drop = drop || (in[i] && e.hasName && SameName(e.name, n));
    if (!drop) kept.push_back(std::move(e));
  }
  entries_ = std::move(kept);
}

std::string Document::Serialize() const {
  std::string out = encoding_ == regtext::Encoding::kUtf8Bom ? std::string(kUtf8Bom) : std::string();
  auto put = [&](std::string_view text, std::string_view end) {
    out += text;
    out += end.empty() ? std::string_view(lineEnd_) : end == "\r" ? std::string_view("\r\n") : end;
  };
  if (header_ == Header::kNew || header_ == Header::kMissing) put(kHeader5, lineEnd_);
  for (const Entry& e : entries_) {
    if (e.kind == Entry::kHeader && header_ == Header::kV4) {
      put(kHeader5, e.lines[0].end);
    } else if (e.kind == Entry::kValue && (e.reformat || e.lines.empty())) {
      for (const std::string& line : FormatValue(e.name, e.value)) put(line, lineEnd_);
    } else if (e.lines.empty()) {
      put(e.kind == Entry::kKey ? "[" + e.key + "]" : std::string(), lineEnd_);
    } else {
      for (const Line& line : e.lines) put(line.text, line.end);
    }
  }
  return out;
}

}  // namespace lumaset::regfile
