// Wire messages of a download and the program image frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumaset {

// Handshake request: 0x02 then "FBLT".
constexpr uint8_t kHandshakeRequest[5] = {0x02, 'F', 'B', 'L', 'T'};
// The last nine bytes of a handshake answer that accepts the download.
constexpr char kHandshakeAccept[] = "OKDOWNSYS";
constexpr int kHandshakeAcceptLength = 9;
constexpr int kHandshakeAnswerMax = 30;
constexpr int kLengthAckMax = 4;
// Sent when the host's answer does not accept the download.
constexpr uint8_t kHandshakeRefusal = '/';
constexpr uint8_t kLengthAnnouncementTag = 0x09;

// Type bytes of the image frame. The host reads the user-program byte as the
// operator's answer (start the program once loaded, or not). The system
// program has no type of its own: the byte is counted in the length and the
// checksum, and this tool always sends zero there.
constexpr uint8_t kImageTypeUserYes = 0x88;
constexpr uint8_t kImageTypeUserNo = 0x99;
constexpr uint8_t kImageTypeSystem = 0x00;

// The type byte of a system program, or of a user program with the
// operator's answer.
inline uint8_t ImageType(int systemProgram, int answerYes) {
  return systemProgram ? kImageTypeSystem : (answerYes ? kImageTypeUserYes : kImageTypeUserNo);
}

// Bytes an image frame adds around the file: 4 length, type, checksum.
constexpr size_t kImageFrameHead = 4;
constexpr size_t kImageFrameTail = 2;

// The length announcement: the tag, then the length big-endian.
inline void BuildLengthAnnouncement(uint32_t length, uint8_t out[5]) {
  out[0] = kLengthAnnouncementTag;
  out[1] = static_cast<uint8_t>(length >> 24);
  out[2] = static_cast<uint8_t>(length >> 16);
  out[3] = static_cast<uint8_t>(length >> 8);
  out[4] = static_cast<uint8_t>(length);
}

// Completes an image frame around the n file bytes already at frame + 4:
// payload length n + 1 little-endian, the type byte, and the exclusive-or of
// the n + 1 payload bytes. The frame is n + 6 bytes long.
inline void FrameImage(uint8_t* frame, uint32_t n, uint8_t type) {
  const uint32_t payload = n + 1;
  frame[0] = static_cast<uint8_t>(payload);
  frame[1] = static_cast<uint8_t>(payload >> 8);
  frame[2] = static_cast<uint8_t>(payload >> 16);
  frame[3] = static_cast<uint8_t>(payload >> 24);
  uint8_t* body = frame + kImageFrameHead;
  body[n] = type;
  uint8_t check = 0;
  for (uint32_t i = 0; i <= n; ++i) check ^= body[i];
  body[n + 1] = check;
}

}  // namespace lumaset
