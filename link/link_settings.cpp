#include "link/link_settings.h"

namespace lumaset {
namespace {
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
}  // namespace

LinkSettings::Bytes LinkSettings::ToBytes() const {
  Bytes b{};
  Put32(&b[0], length);
  Put32(&b[4], rate);
  Put32(&b[8], lineFlags);
  b[12] = eventChar;
  b[13] = port;
  b[14] = byteSize;
  b[15] = parity;
  b[16] = stopBits;
  b[17] = network;
  b[18] = static_cast<uint8_t>(reserved1);
  b[19] = static_cast<uint8_t>(reserved1 >> 8);
  Put32(&b[20], tcpPort);
  Put32(&b[24], reserved2);
  return b;
}

void LinkSettings::FromBytes(const uint8_t* data, size_t size) {
  Bytes b = ToBytes();
  for (size_t i = 0; i < size && i < b.size(); ++i) b[i] = data[i];
  length = Get32(&b[0]);
  rate = Get32(&b[4]);
  lineFlags = Get32(&b[8]);
  eventChar = b[12];
  port = b[13];
  byteSize = b[14];
  parity = b[15];
  stopBits = b[16];
  network = b[17];
  reserved1 = static_cast<uint16_t>(b[18] | b[19] << 8);
  tcpPort = Get32(&b[20]);
  reserved2 = Get32(&b[24]);
}

}  // namespace lumaset
