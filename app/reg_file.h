// The registry-file text format: a header line, then key lines "[ROOT\path]",
// each followed by its values, with blank lines and ";" comments anywhere:
//   "Name"="text"          a text; \\ and \" escaped; @ instead of "Name"
//                          names the key's default value
//   "Name"=dword:0000001c  a 32-bit number
//   "Name"=hex:1c,00,...   binary; long data is wrapped after a backslash
//   "Name"=hex(N):...      a value of type N; hex(1), hex(2) and hex(7) hold
//                          text (UTF-16LE under the 5.00 header, ANSI under
//                          "REGEDIT4"), hex(b) a 64-bit number
//   "Name"=-               the value is deleted
//   [-ROOT\path]           the key and all keys under it are deleted
// As when the registry editor imports a file, the lines apply in order: the
// last line of a value is the one in force.
//
// A document keeps every line as it was read, so what is not changed is
// written back unchanged, and it never refuses a file: a line it cannot read
// is kept as it is and listed (BadLines). Values are held as the program
// sees them, texts in UTF-8 with their terminating zero.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/reg_text.h"

namespace lumaset {

// Value types as stored in the file.
enum : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

namespace regfile {

// Key and value names compare without regard to ASCII case, as in the registry.
bool SameName(std::string_view a, std::string_view b);

struct Value {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;
  bool operator==(const Value&) const = default;
};

// A line of the file that could not be read.
struct BadLine {
  unsigned line = 0;  // number of its first line in the file, from 1
  std::string problem;
  bool inKey = false;  // inside the key that BadLines was asked about
  std::string text;    // the line (or lines) as read
};

enum class Status { kMissing, kPresent, kDamaged };

class Document {
 public:
  // The document of a file's bytes in any encoding of reg_text.h; an empty
  // file is an empty document.
  static Document Parse(std::string_view bytes);

  // Key names are full ("HKEY_LOCAL_MACHINE\Software\...").

  // The value in force: kPresent (and *value set), kMissing (never set, or
  // deleted), or kDamaged when its line in force cannot be read.
  Status Find(std::string_view key, std::string_view name, Value* value = nullptr) const;
  // Every line that cannot be read, in file order; a file without a header
  // line counts as one at line 1.
  std::vector<BadLine> BadLines(std::string_view key) const;
  // Whether a line inside the key cannot be read.
  bool Damaged(std::string_view key) const;
  // The names of the key's values whose line in force cannot be read.
  std::vector<std::string> DamagedValues(std::string_view key) const;

  // Sets the value: its line in force is replaced, else it joins the end of
  // the key's last block, else a new block at the end of the file.
  void Set(std::string_view key, std::string_view name, const Value& value);
  // Leaves out the key's lines that cannot be read, with every other line
  // of the values that one of them damaged (so those values are missing).
  void DropDamage(std::string_view key);

  // The file's new text: UTF-8 (with the byte-order mark if the file had
  // one) under the header "Windows Registry Editor Version 5.00". Lines
  // that were not changed are written as read with their own line ends
  // (a last line without one gets one, a last CR its LF); new lines end in CRLF when the file's first line did, else LF. Text
  // values in hex from a "REGEDIT4" file are rewritten as UTF-16LE.
  std::string Serialize() const;

 private:
  struct Line {
    std::string text;  // UTF-8, without its line end
    std::string end;   // "\r\n", "\n", "\r" for a last line cut after its CR
                       // (written as "\r\n"), or "" for a last line without one
  };
  struct Entry {
    enum Kind { kHeader, kText, kKey, kValue, kBad } kind = kText;
    unsigned lineNo = 0;
    std::vector<Line> lines;  // as read; empty for a line made here
    std::string key;          // kKey: the name between the brackets
    bool deletesKey = false;  // kKey: "[-...]"
    bool opensBlock = false;  // kBad: a malformed key line
    bool hasName = false;     // kValue, and kBad when the name could be read
    std::string name;         // "" for "@"
    bool deleted = false;     // kValue: "=-"
    bool reformat = false;    // kValue: written from `value`, not `lines`
    Value value;
    std::string problem;  // kBad
  };
  enum class Header { kNew, kV5, kV4, kMissing };

  static Entry ReadLine(const std::vector<Line>& lines, size_t& i, Header header);
  // For each entry: whether it lies in a block of the key; *live is the
  // first entry after the key's (or a parent's) last deletion.
  std::vector<bool> InKey(std::string_view key, size_t* live) const;

  std::vector<Entry> entries_;
  Header header_ = Header::kNew;
  regtext::Encoding encoding_ = regtext::Encoding::kUtf8;
  std::string lineEnd_ = "\n";
};

}  // namespace regfile
}  // namespace lumaset
