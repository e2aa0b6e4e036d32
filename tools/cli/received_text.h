// How the monitor shows received bytes: "%02X  " per byte, or text decoded
// from code page 936 (the host's text) to UTF-8, a character split between
// two reads being completed by the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaset::cli {

class Cp936Decoder {
 public:
  Cp936Decoder();
  ~Cp936Decoder();
  Cp936Decoder(const Cp936Decoder&) = delete;
  Cp936Decoder& operator=(const Cp936Decoder&) = delete;

  // UTF-8 for the bytes; an incomplete character at the end is kept for the
  // next call, a byte that is no character becomes U+FFFD.
  std::string Decode(const uint8_t* data, size_t size);
  // What is still kept, as U+FFFD (at the end of the output).
  std::string Flush();

 private:
  void* cd_;  // iconv_t, or (void*)-1 when iconv has no CP936
  std::string pending_;
};

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
  Cp936Decoder decoder_;
  int column_ = 0;  // hex pairs on the current line
};

}  // namespace lumaset::cli
