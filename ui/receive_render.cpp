#include "ui/receive_render.h"

#include <cstring>

namespace lumaset {
namespace {
constexpr char16_t kControlPictures = 0x2400;  // U+2400 + c for 0x00-0x1F
constexpr char16_t kDeletePicture = 0x2421;
}  // namespace

void ReceiveRenderer::Reset() {
  decoder_.Reset();
  afterCr_ = false;
}

QString ReceiveRenderer::Render(const uint8_t* data, size_t size) {
  if (size == 0) return {};
  if (!hex_) return RenderText(data, size);
  static const char kDigits[] = "0123456789ABCDEF";
  QString out(static_cast<qsizetype>(size * 4), QLatin1Char(' '));
  QChar* p = out.data();
  for (size_t i = 0; i < size; ++i, p += 4) {
    p[0] = QLatin1Char(kDigits[data[i] >> 4]);
    p[1] = QLatin1Char(kDigits[data[i] & 0x0F]);
  }
  return out;
}

QString ReceiveRenderer::RenderText(const uint8_t* data, size_t size) {
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t shown = zero ? static_cast<size_t>(zero - data) : size;
  std::string utf8 = decoder_.Decode(data, shown);
  if (zero) utf8 += decoder_.Flush();
  const QString decoded = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  QString out;
  out.reserve(decoded.size());
  for (const QChar c : decoded) {
    const char16_t u = c.unicode();
    if (u == u'\n') {
      if (!afterCr_) out += QLatin1Char('\n');  // else the LF of a CR LF
      afterCr_ = false;
      continue;
    }
    afterCr_ = u == u'\r';
    if (u == u'\r')
      out += QLatin1Char('\n');
    else if (u < 0x20 && u != u'\t')
      out += QChar(static_cast<char16_t>(kControlPictures + u));
    else if (u == 0x7F)
      out += QChar(kDeletePicture);
    else
      out += c;
  }
  if (zero) afterCr_ = false;  // the zero byte stood between a CR and what follows
  return out;
}

}  // namespace lumaset
