// The receive display and the code-page-936 decoder. The input's first byte
// chooses the display (bit 0: hex) and how many of the following bytes give
// the sizes of the takes the rest is cut into. Checks:
//  - hex: each byte is "%02X  ", whatever the takes;
//  - text without a zero byte renders the same cut anywhere as in one take
//    (a character split between takes is completed, CR LF split between
//    takes is one break);
//  - text never shows a control character but TAB and the line break;
//  - the decoder gives the same text cut anywhere as whole, valid UTF-8,
//    ASCII unchanged, and a character it decoded encodes to bytes that
//    decode to it again.
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cp936.h"
#include "ui/receive_render.h"

using namespace lumaset;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// The takes: sizes from `cuts` in turn (1-256 bytes each), the rest of the
// stream in the last.
std::vector<std::pair<size_t, size_t>> Takes(const uint8_t* cuts, size_t ncuts, size_t length) {
  std::vector<std::pair<size_t, size_t>> takes;
  size_t at = 0;
  for (size_t i = 0; at < length; ++i) {
    size_t n = i < ncuts ? 1 + cuts[i] : length - at;
    if (n > length - at) n = length - at;
    takes.emplace_back(at, n);
    at += n;
  }
  return takes;
}

bool ValidUtf8(const std::string& s) {
  const QString q = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
  return q.toUtf8() == QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool hex = data[0] & 1;
  size_t ncuts = (data[0] >> 1) % 32;
  ++data, --size;
  if (ncuts > size) ncuts = size;
  const uint8_t* cuts = data;
  const uint8_t* stream = data + ncuts;
  const size_t length = size - ncuts;
  const auto takes = Takes(cuts, ncuts, length);

  ReceiveRenderer whole, pieces;
  whole.SetHex(hex);
  pieces.SetHex(hex);
  const QString one = whole.Render(stream, length);
  QString many;
  for (const auto& [at, n] : takes) many += pieces.Render(stream + at, n);

  if (hex) {
    Check(one.size() == static_cast<qsizetype>(length * 4), "hex: not four characters a byte");
    for (size_t i = 0; i < length; ++i) {
      char expected[8];
      std::snprintf(expected, sizeof expected, "%02X  ", stream[i]);
      Check(one.mid(static_cast<qsizetype>(i * 4), 4) == QLatin1String(expected), "hex: wrong digits");
    }
    Check(many == one, "hex: takes render differently");
  } else {
    if (std::memchr(stream, 0, length) == nullptr) Check(many == one, "text: takes render differently");
    for (const QString* s : {&one, const_cast<const QString*>(&many)})
      for (const QChar c : *s) {
        const char16_t u = c.unicode();
        Check(u >= 0x20 ? u != 0x7F : (u == u'\n' || u == u'\t'), "text: a control character is shown");
      }
  }

  // The decoder alone, over the whole stream zeros included.
  platform::Cp936Decoder a, b;
  std::string decodedWhole = a.Decode(stream, length);
  const bool pendingWhole = a.Pending();
  decodedWhole += a.Flush();
  std::string decodedPieces;
  bool pendingPieces = false;
  for (const auto& [at, n] : takes) {
    decodedPieces += b.Decode(stream + at, n);
    pendingPieces = b.Pending();
  }
  decodedPieces += b.Flush();
  Check(decodedPieces == decodedWhole, "decoder: takes decode differently");
  Check(pendingPieces == pendingWhole, "decoder: takes leave another rest");
  Check(ValidUtf8(decodedWhole), "decoder: not valid UTF-8");
  bool ascii = true;
  for (size_t i = 0; i < length; ++i) ascii = ascii && stream[i] < 0x80;
  if (ascii) Check(decodedWhole == std::string(reinterpret_cast<const char*>(stream), length), "decoder: ASCII changed");

  // A few decoded characters, encoded and decoded again.
  const QString chars = QString::fromUtf8(decodedWhole.data(), static_cast<qsizetype>(decodedWhole.size()));
  int tried = 0;
  for (qsizetype i = 0; i < chars.size() && tried < 4; ++i) {
    if (chars[i].unicode() < 0x80 || chars[i] == QChar(0xFFFD)) continue;
    const qsizetype n = chars[i].isHighSurrogate() && i + 1 < chars.size() ? 2 : 1;
    const std::string character = chars.mid(i, n).toStdString();
    i += n - 1;
    ++tried;
    const std::string encoded = platform::EncodeCp936(character);
    Check(!encoded.empty(), "encoder: nothing for a character");
    if (encoded == "?") continue;  // a character the code page maps one way only
    platform::Cp936Decoder c;
    std::string back = c.Decode(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size());
    back += c.Flush();
    Check(back == character, "encoder: a decoded character does not come back");
  }
  return 0;
}
