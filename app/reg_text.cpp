#include "app/reg_text.h"

#include <iconv.h>

#include <cerrno>

namespace lumaset::regtext {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";

// Converts with glibc's iconv. Input that starts no character is replaced
// by `replacement` (in the target encoding) and skipped by `unit` bytes; an
// incomplete character at the end is replaced too. *clean tells whether
// nothing had to be replaced.
std::string Convert(const char* to, const char* from, std::string_view input, std::string_view replacement, size_t unit,
                    bool* clean = nullptr) {
  if (clean) *clean = true;
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {  // glibc has these converters; keep the bytes if not
    if (clean) *clean = false;
    return std::string(input);
  }
  std::string in(input);
  char* src = in.data();
  size_t left = in.size();
  char buffer[4096];
  while (left > 0) {
    char* dst = buffer;
    size_t room = sizeof buffer;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
    if (clean) *clean = false;
    out += replacement;
    if (errno == EINVAL) break;  // cut off at the end
    const size_t skip = left < unit ? left : unit;
    src += skip;
    left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return out;
}

bool IsValidUtf8(std::string_view text) {
  bool clean = true;
  Convert("UTF-16LE", "UTF-8", text, "", 1, &clean);
  return clean;
}

std::string_view FirstLine(std::string_view text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string_view::npos ? text : text.substr(0, end);
}

}  // namespace

DecodedFile DecodeFile(std::string_view bytes) {
  DecodedFile file;
  if (bytes.substr(0, kUtf16LeBom.size()) == kUtf16LeBom) {
    bytes.remove_prefix(kUtf16LeBom.size());
    file.text = FromUtf16Le(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    file.encoding = Encoding::kUtf16Le;
  } else if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    file.text = bytes.substr(kUtf8Bom.size());
    file.encoding = Encoding::kUtf8Bom;
  } else if (FirstLine(bytes).substr(0, 8) == "REGEDIT4" && !IsValidUtf8(bytes)) {
    file.text = Convert("UTF-8", "ISO-8859-1", bytes, "", 1);
    file.encoding = Encoding::kLatin1;
  } else {
    file.text = bytes;
  }
  return file;
}

std::string FromUtf16Le(const std::vector<uint8_t>& data) {
  return Convert("UTF-8", "UTF-16LE", std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                 "\xEF\xBF\xBD", 2);
}

std::vector<uint8_t> ToUtf16Le(std::string_view utf8) {
  const std::string out = Convert("UTF-16LE", "UTF-8", utf8, "\xFD\xFF", 1);
  return std::vector<uint8_t>(out.begin(), out.end());
}

std::string FromAnsi(std::string_view bytes) {
  return IsValidUtf8(bytes) ? std::string(bytes) : Convert("UTF-8", "ISO-8859-1", bytes, "", 1);
}

}  // namespace lumaset::regtext
