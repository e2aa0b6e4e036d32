#include "tools/cli/received_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

namespace lumaset::cli {
namespace {
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
iconv_t Cd(void* p) { return static_cast<iconv_t>(p); }
}  // namespace

Cp936Decoder::Cp936Decoder() : cd_(iconv_open("UTF-8", "CP936")) {}

Cp936Decoder::~Cp936Decoder() {
  if (cd_ != reinterpret_cast<void*>(-1)) iconv_close(Cd(cd_));
}

std::string Cp936Decoder::Decode(const uint8_t* data, size_t size) {
  std::string in = pending_;
  in.append(reinterpret_cast<const char*>(data), size);
  pending_.clear();
  std::string out;
  if (cd_ == reinterpret_cast<void*>(-1)) {
    // No converter: ASCII passes, everything else is replaced.
    for (unsigned char c : in) {
      if (c < 0x80)
        out.push_back(static_cast<char>(c));
      else
        out += kReplacement;
    }
    return out;
  }
  char* src = in.data();
  size_t left = in.size();
  char buffer[4096];
  while (left > 0) {
    char* dst = buffer;
    size_t room = sizeof buffer;
    size_t r = iconv(Cd(cd_), &src, &left, &dst, &room);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {  // an incomplete character at the end: keep it
      pending_.assign(src, left);
      break;
    }
    // EILSEQ: not a character; replace one byte and go on.
    out += kReplacement;
    ++src;
    --left;
    iconv(Cd(cd_), nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

std::string Cp936Decoder::Flush() {
  std::string out;
  for (size_t i = 0; i < pending_.size(); ++i) out += kReplacement;
  pending_.clear();
  return out;
}

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
