#include "link/command_string.h"

namespace lumaset {

int ParseNumber(const char* text, int decimal) {
  if (!text) return 0;
  int count = 0;
  for (const char* p = text; *p; ++p)
    if (++count > 10) return 0;
  uint32_t value = 0;
  uint32_t weight = 1;
  const uint32_t base = decimal ? 10 : 16;
  // Rightmost digit first, so position 0 has weight 1; 32-bit wrap-around.
  for (int i = count - 1; i >= 0; --i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = decimal ? static_cast<uint32_t>(c - '0') : static_cast<uint32_t>(c - 'a' + 10);
    else
      return 0;
    value += digit * weight;
    weight *= base;
  }
  return static_cast<int>(value);
}

std::vector<uint8_t> DecodeCommandString(const char* text) {
  std::vector<uint8_t> out;
  if (!text) return out;
  const char* p = text;
  while (*p) {
    if (*p != '\\') {
      out.push_back(static_cast<uint8_t>(*p++));
      continue;
    }
    char c = p[1];
    if (c == '\0') {  // a trailing backslash stands for a zero byte
      out.push_back(0);
      break;
    }
    if (c == '\\') {
      out.push_back('\\');
      p += 2;
    } else if (c == 'x' || c == 'X') {
      char digits[3] = {0, 0, 0};
      const char* q = p + 2;
      for (int i = 0; i < 2 && *q; ++i) digits[i] = *q++;
      out.push_back(static_cast<uint8_t>(ParseNumber(digits, 0) & 0xFF));
      p = q;
    } else if (c == 'O' || c == 'o') {
      out.push_back(static_cast<uint8_t>(c));
      p += 2;
    } else {
      // Any other escaped character comes out, and is then read again as text.
      out.push_back(static_cast<uint8_t>(c));
      p += 1;
    }
  }
  return out;
}

}  // namespace lumaset
