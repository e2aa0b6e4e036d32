// The settings file: the input is a file's bytes in any encoding the reader
// takes (UTF-16LE after FF FE, UTF-8 with or without its byte-order mark,
// REGEDIT4 in Latin-1). Checks:
//  - every query answers without fault, and the values it calls damaged are
//    the ones Find calls damaged;
//  - writing is stable: the text written, read back and written again, is
//    the same text;
//  - every value keeps what it was (present with its data, missing or
//    damaged) through writing and reading back;
//  - a value set in a key of the file (or a new key) reads back as set, and
//    the other values stay as they were.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "app/reg_file.h"
#include "app/reg_text.h"

using namespace lumaset;
using namespace lumaset::regfile;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool Plain(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

// Key names ("[...]") and value names ("\"...\"=" or "@=") of the lines, as
// far as a rough look finds them; the parser decides what they are.
void Names(const std::string& text, std::vector<std::string>* keys, std::vector<std::string>* names) {
  size_t start = 0;
  while (start <= text.size() && keys->size() + names->size() < 64) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    if (line.size() > 2 && line.front() == '[' && line.back() == ']' && line[1] != '-') {
      const std::string_view key = Trim(line.substr(1, line.size() - 2));
      if (!key.empty() && key.front() != '-' && Plain(key)) keys->emplace_back(key);
    } else if (!line.empty() && line.front() == '@') {
      names->emplace_back();
    } else if (!line.empty() && line.front() == '"') {
      std::string name;
      for (size_t i = 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        name += line[i];
      }
      if (Plain(name)) names->push_back(std::move(name));
    }
    start = end + 1;
  }
}

struct Seen {
  Status status;
  Value value;
};

Seen Look(const Document& doc, const std::string& key, const std::string& name) {
  Seen s;
  s.status = doc.Find(key, name, &s.value);
  if (s.status != Status::kPresent) s.value = {};
  return s;
}

bool Same(const Seen& a, const Seen& b) { return a.status == b.status && a.value == b.value; }

// A value made of the input, of a type chosen by it, that the file can hold
// exactly: text values are ASCII (the file keeps text as UTF-8 or UTF-16LE).
Value MakeValue(const uint8_t* data, size_t size) {
  const size_t n = size < 48 ? size : 48;
  Value v;
  const uint32_t kinds[] = {kRegSz, kRegDword, kRegBinary, kRegMultiSz, kRegQword, kRegExpandSz, 0x1234, kRegNone};
  v.type = kinds[(size ? data[size - 1] : 0) % 8];
  for (size_t i = 0; i < n; ++i)
    v.data.push_back(v.type == kRegSz || v.type == kRegExpandSz || v.type == kRegMultiSz ? data[i] & 0x7F : data[i]);
  if (v.type == kRegSz) v.data.push_back(0);
  if (v.type == kRegDword) v.data.resize(4);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Document doc = Document::Parse(bytes);

  std::vector<std::string> keys, names;
  Names(regtext::DecodeFile(bytes).text, &keys, &names);
  keys.push_back("HKEY_CURRENT_USER\\Software\\Quendar\\Lumaset");
  names.push_back("fuzz");

  for (const std::string& key : keys) {
    const std::vector<BadLine> bad = doc.BadLines(key);
    bool inKey = false;
    for (const BadLine& b : bad) inKey = inKey || b.inKey;
    Check(inKey == doc.Damaged(key), "Damaged disagrees with BadLines");
    for (const std::string& name : doc.DamagedValues(key))
      Check(doc.Find(key, name) == Status::kDamaged, "a damaged value that Find does not call damaged");
  }

  const std::string written = doc.Serialize();
  const Document again = Document::Parse(written);
  Check(again.Serialize() == written, "writing what was read and written changes it");

  std::vector<Seen> before;
  for (const std::string& key : keys)
    for (const std::string& name : names) {
      before.push_back(Look(doc, key, name));
      Check(Same(before.back(), Look(again, key, name)), "a value changed through writing and reading back");
    }

  // Set one value in a key: the first of the file, or the new one.
  Document changed = doc;
  const std::string& key = keys[size % keys.size()];
  const std::string& name = names[(size / 7) % names.size()];
  const Value value = MakeValue(data, size);
  changed.Set(key, name, value);
  const Document reread = Document::Parse(changed.Serialize());
  Value got;
  Check(reread.Find(key, name, &got) == Status::kPresent && got == value, "a value set does not read back");
  size_t i = 0;
  for (const std::string& k : keys)
    for (const std::string& n : names) {
      const Seen& was = before[i++];
      if (SameName(k, key) && SameName(n, name)) continue;
      Check(Same(was, Look(reread, k, n)), "setting a value changed another");
    }
  return 0;
}
