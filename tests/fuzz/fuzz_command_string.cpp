// Escaped command strings and ParseNumber. The input is the text (up to its
// first zero byte, as the decoder sees a C string). Checks what holds for
// every text:
//  - decoding never reads past the terminator (AddressSanitizer: the text is
//    copied into a buffer of exactly its size);
//  - no more bytes come out than characters went in;
//  - text without a backslash comes out as it is;
//  - every byte written as "\xHH" comes back;
//  - ParseNumber agrees with strtoul on up to 8 hexadecimal or 9 decimal
//    digits, and gives 0 for longer or non-digit text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "link/command_string.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// A heap copy of exactly the text and its terminator, so a read past it is
// caught.
std::unique_ptr<char[]> Copy(const std::string& text) {
  auto p = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(p.get(), text.c_str(), text.size() + 1);
  return p;
}

bool AllOf(const std::string& s, bool (*pred)(char)) {
  for (char c : s)
    if (!pred(c)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string text = raw.c_str();  // up to the first zero byte

  auto copy = Copy(text);
  const std::vector<uint8_t> decoded = lumaset::DecodeCommandString(copy.get());
  Check(decoded.size() <= text.size(), "more bytes than characters");
  if (text.find('\\') == std::string::npos)
    Check(std::string(decoded.begin(), decoded.end()) == text, "text without escapes changed");

  // The whole input as bytes, each written "\xHH".
  std::string escaped;
  for (size_t i = 0; i < size; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", data[i]);
    escaped += hex;
  }
  auto escapedCopy = Copy(escaped);
  const std::vector<uint8_t> bytes = lumaset::DecodeCommandString(escapedCopy.get());
  Check(bytes == std::vector<uint8_t>(data, data + size), "\\xHH bytes do not come back");

  for (int decimal = 0; decimal <= 1; ++decimal) {
    const int value = lumaset::ParseNumber(copy.get(), decimal);
    const bool digitsOnly =
        decimal ? AllOf(text, [](char c) { return c >= '0' && c <= '9'; })
                : AllOf(text, [](char c) { return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != 0; });
    const bool lettersInDecimal =
        decimal && AllOf(text, [](char c) { return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != 0; });
    if (text.size() > 10 || (!digitsOnly && !lettersInDecimal)) {
      Check(value == 0, "rejected text is not 0");
    } else if (digitsOnly && !text.empty() && text.size() <= (decimal ? 9u : 8u)) {
      const auto expected = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, decimal ? 10 : 16));
      Check(static_cast<uint32_t>(value) == expected, "ParseNumber differs from strtoul");
    }
  }
  return 0;
}
