#include "tools/cli/received_text.h"

#include <cstdio>

namespace lumaset::cli {

std::string ReceivedText::Render(const uint8_t* data, size_t size) {
  switch (mode_) {
    case Mode::kRaw: return std::string(reinterpret_cast<const char*>(data), size);
    case Mode::kText: return decoder_.Decode(data, size);
    case Mode::kHex: {
      std::string out;
      char pair[8];
      for (size_t i = 0; i < size; ++i) {
        // "%02X  " per byte, the line broken after 16 of them.
        const bool lineEnd = ++column_ == 16;
        std::snprintf(pair, sizeof pair, lineEnd ? "%02X\n" : "%02X  ", data[i]);
        out += pair;
        if (lineEnd) column_ = 0;
      }
      return out;
    }
  }
  return {};
}

std::string ReceivedText::Finish() {
  if (mode_ == Mode::kText) return decoder_.Flush();
  if (mode_ == Mode::kHex && column_ > 0) {
    column_ = 0;
    return "\n";
  }
  return {};
}

}  // namespace lumaset::cli
