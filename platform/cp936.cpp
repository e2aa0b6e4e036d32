#include "platform/cp936.h"

#include <iconv.h>

#include <cerrno>

namespace lumaset::platform {
namespace {
const auto kNoConverter = reinterpret_cast<void*>(-1);
iconv_t Cd(void* p) { return static_cast<iconv_t>(p); }
}  // namespace

Cp936Decoder::Cp936Decoder() : cd_(iconv_open("UTF-8", "CP936")) {}

Cp936Decoder::~Cp936Decoder() {
  if (cd_ != kNoConverter) iconv_close(Cd(cd_));
}

std::string Cp936Decoder::Decode(const uint8_t* data, size_t size) {
  std::string in = pending_;
  in.append(reinterpret_cast<const char*>(data), size);
  pending_.clear();
  std::string out;
  if (cd_ == kNoConverter) {
    for (unsigned char c : in) {
      if (c < 0x80)
        out.push_back(static_cast<char>(c));
      else
        out += kUtf8Replacement;
    }
    return out;
  }
  char* src = in.data();
  size_t left = in.size();
  char buffer[4096];
  while (left > 0) {
    char* dst = buffer;
    size_t room = sizeof buffer;
    const size_t r = iconv(Cd(cd_), &src, &left, &dst, &room);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {  // an incomplete character at the end: keep it
      pending_.assign(src, left);
      break;
    }
    // EILSEQ: this byte starts no character; replace it and go on.
    out += kUtf8Replacement;
    ++src;
    --left;
    iconv(Cd(cd_), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

std::string Cp936Decoder::Flush() {
  std::string out;
  for (size_t i = 0; i < pending_.size(); ++i) out += kUtf8Replacement;
  Reset();
  return out;
}

void Cp936Decoder::Reset() {
  pending_.clear();
  if (cd_ != kNoConverter) iconv(Cd(cd_), nullptr, nullptr, nullptr, nullptr);
}

std::string EncodeCp936(const std::string& utf8Character) {
  if (utf8Character.empty()) return {};
  bool ascii = true;
  for (unsigned char c : utf8Character) ascii = ascii && c < 0x80;
  if (ascii) return utf8Character;
  iconv_t cd = iconv_open("CP936", "UTF-8");
  if (cd == Cd(kNoConverter)) return "?";
  std::string in = utf8Character;
  char* src = in.data();
  size_t left = in.size();
  char buffer[16];
  char* dst = buffer;
  size_t room = sizeof buffer;
  const size_t r = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "?";
  return std::string(buffer, static_cast<size_t>(dst - buffer));
}

}  // namespace lumaset::platform
