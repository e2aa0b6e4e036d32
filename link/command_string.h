// Escaped command strings: printable text in which "\xHH" stands for a byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumaset {

// Reads up to 10 hexadecimal (decimal 0) or decimal digits; 0 for text it
// rejects (a character that is not 0-9, a-f, A-F, or more than 10 of them).
int ParseNumber(const char* text, int decimal);

// Decodes an escaped command string into the bytes it stands for. Never reads
// past the terminator: a "\x" with fewer than two characters left takes only
// those that are there.
std::vector<uint8_t> DecodeCommandString(const char* text);

}  // namespace lumaset
