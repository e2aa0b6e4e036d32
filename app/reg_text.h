// The character encodings of registry files. The registry editor writes
// UTF-16LE with a byte-order mark under the header "Windows Registry Editor
// Version 5.00", and the ANSI code page under "REGEDIT4"; inside a 5.00 file
// the data of text values written in hex (hex(1), hex(2), hex(7)) is
// UTF-16LE too. This program reads all of these and writes UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumaset::regtext {

enum class Encoding {
  kUtf8,     // the bytes as they are: this program's files, hand-written ones
  kUtf8Bom,  // the same after a UTF-8 byte-order mark
  kUtf16Le,  // after the byte-order mark FF FE: the registry editor's files
  kLatin1,   // a "REGEDIT4" file that is not valid UTF-8
};

struct DecodedFile {
  std::string text;  // UTF-8, without the byte-order mark
  Encoding encoding = Encoding::kUtf8;
};

// The text of a file's bytes. A UTF-8 file is taken byte for byte (whatever
// it holds is written back unchanged). A "REGEDIT4" file is taken as UTF-8
// when it is valid UTF-8, else as Latin-1. In UTF-16LE, a code unit that
// starts no character (a lone surrogate, an odd last byte) becomes U+FFFD.
DecodedFile DecodeFile(std::string_view bytes);

// The UTF-8 text of UTF-16LE data; U+FFFD as above.
std::string FromUtf16Le(const std::vector<uint8_t>& data);
// The UTF-16LE data of UTF-8 text; a byte that starts no character becomes
// U+FFFD.
std::vector<uint8_t> ToUtf16Le(std::string_view utf8);
// ANSI text (REGEDIT4): as it is when it is valid UTF-8, else Latin-1.
std::string FromAnsi(std::string_view bytes);

}  // namespace lumaset::regtext
