// How the monitor shows received bytes: "%02X  " per byte, or text decoded
// from code page 936 (the host's text) to UTF-8, a character split between
// two reads being completed by the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/cp936.h"

namespace lumaset::cli {

// Renders bytes as the monitor shows them.
class ReceivedText {
 public:
  enum class Mode { kText, kRaw, kHex };
  explicit ReceivedText(Mode mode) : mode_(mode) {}

  std::string Render(const uint8_t* data, size_t size);
  // What ends the output (the rest of a character, a line break after hex).
  std::string Finish();

 private:
  Mode mode_;
  platform::Cp936Decoder decoder_;
  int column_ = 0;  // hex pairs on the current line
};

}  // namespace lumaset::cli
