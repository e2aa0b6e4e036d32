// Decoding the host's text, code page 936, to UTF-8 with glibc's iconv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaset::platform {

// Decodes a stream of code-page-936 bytes that arrives in pieces: a
// character split between two pieces is completed by the next one.
class Cp936Decoder {
 public:
  Cp936Decoder();
  ~Cp936Decoder();
  Cp936Decoder(const Cp936Decoder&) = delete;
  Cp936Decoder& operator=(const Cp936Decoder&) = delete;

  // UTF-8 for the bytes. An incomplete character at the end is kept for the
  // next call; a byte that starts no character becomes U+FFFD and decoding
  // goes on with the byte after it. Without a converter for code page 936
  // ASCII passes and every other byte becomes U+FFFD.
  std::string Decode(const uint8_t* data, size_t size);
  // The kept bytes of an incomplete character, one U+FFFD each; nothing is
  // kept afterwards.
  std::string Flush();
  // Forgets the kept bytes without output.
  void Reset();
  // Whether bytes of an incomplete character are kept.
  bool Pending() const { return !pending_.empty(); }

 private:
  void* cd_;  // iconv_t, or (void*)-1 when iconv has no converter
  std::string pending_;
};

// The code-page-936 bytes of one character given in UTF-8 (what the host
// receives when the operator types it); "?" for a character the code page
// does not have, "" for an empty or invalid input.
std::string EncodeCp936(const std::string& utf8Character);

// U+FFFD in UTF-8.
inline constexpr char kUtf8Replacement[] = "\xEF\xBF\xBD";

}  // namespace lumaset::platform
