#include "app/native_bytes.h"

#include <cstdint>

namespace lumaset {

namespace {

// The length of the UTF-8 sequence at `at` and its code point, or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF count as not).
size_t Utf8Sequence(const std::string& bytes, size_t at, char32_t* code) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  char32_t value = 0, minimum = 0;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

constexpr char16_t kEscapeBase = 0xDC00;  // + the byte (0x80-0xFF)

}  // namespace

QStringList ArgumentsOf(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLatin1(argv[i]);
  return arguments;
}

QString FileNameFromNative(const std::string& bytes) {
  QString path;
  path.reserve(static_cast<qsizetype>(bytes.size()));
  for (size_t at = 0; at < bytes.size();) {
    char32_t code = 0;
    const size_t length = Utf8Sequence(bytes, at, &code);
    if (length == 0) {
      path += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[at])));
      ++at;
      continue;
    }
    path += QString::fromUcs4(&code, 1);
    at += length;
  }
  return path;
}

std::string NativeFileName(const QString& path) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(path.size()));
  const auto append = [&](char32_t code) {
    if (code < 0x80) {
      bytes += static_cast<char>(code);
    } else if (code < 0x800) {
      bytes += static_cast<char>(0xC0 | (code >> 6));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes += static_cast<char>(0xE0 | (code >> 12));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (code >> 18));
      bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    }
  };
  for (qsizetype i = 0; i < path.size(); ++i) {
    const char16_t unit = path[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < path.size() && QChar::isLowSurrogate(path[i + 1].unicode())) {
      append(QChar::surrogateToUcs4(unit, path[i + 1].unicode()));
      ++i;
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      bytes += static_cast<char>(unit - kEscapeBase);
    } else if (QChar::isSurrogate(unit)) {
      append(0xFFFD);  // any other lone surrogate is no character
    } else {
      append(unit);
    }
  }
  return bytes;
}

}  // namespace lumaset
