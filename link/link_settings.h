// The 28-byte link settings record every link reads and the settings store
// persists as "CommDCB".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace lumaset {

// Line-flag bits of the record.
enum : uint32_t {
  kFlagParityCheck = 1u << 0,
  kFlagCtsFlow = 1u << 1,
  kFlagDsrFlow = 1u << 2,
  kFlagDtrShift = 3,  // bits 3-4: 0 off, 1 on, 2 handshake
  kFlagDtrMask = 3u << 3,
  kFlagTxContinueOnXoff = 1u << 6,
  kFlagRtsShift = 7,  // bits 7-8: 0 off, 1 on, 2 handshake, 3 toggle
  kFlagRtsMask = 3u << 7,
  kFlagXonOut = 1u << 10,
  kFlagXonIn = 1u << 11,
};

constexpr size_t kLinkSettingsSize = 28;
constexpr uint32_t kDefaultTcpPort = 12345;

struct LinkSettings {
  uint32_t length = kLinkSettingsSize;
  uint32_t rate = 115200;
  uint32_t lineFlags = 0;
  uint8_t eventChar = 0;
  uint8_t port = 1;  // COM port 1..255; 0 selects the USB link
  uint8_t byteSize = 8;
  uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint8_t network = 0;   // nonzero: TCP
  uint16_t reserved1 = 0;
  uint32_t tcpPort = 0;
  uint32_t reserved2 = 0;

  using Bytes = std::array<uint8_t, kLinkSettingsSize>;
  // The stored form, little-endian whatever the machine.
  Bytes ToBytes() const;
  // Reads the stored form; a shorter input leaves the remaining fields at
  // their current values, a longer one is read only up to 28 bytes.
  void FromBytes(const uint8_t* data, size_t size);

  bool operator==(const LinkSettings&) const = default;
};

// The record after a link's Reset: 115200 8N1 on COM1, everything else 0.
inline LinkSettings LinkDefaults() { return LinkSettings{}; }
// The record the settings store writes on first run: as above, TCP port 12345.
inline LinkSettings StoredDefaults() {
  LinkSettings s;
  s.tcpPort = kDefaultTcpPort;
  return s;
}

}  // namespace lumaset
