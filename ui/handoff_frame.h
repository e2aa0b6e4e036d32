// The records of the hand-off socket (ui/handoff.h), without any socket:
// encoding, decoding and collecting a request from the pieces a stream
// socket delivers. Standard library only, so both ends and the tests share
// one reading of the bytes.
//
// Framing, all fields little-endian:
//
//   request, 20 bytes                      reply, 12 bytes
//   0  u32 magic   0x464F484C ("LHOF")     0  u32 magic   0x524F484C ("LHOR")
//   4  u16 version 1                       4  u16 version 1
//   6  u16 type                            6  u16 type of the request
//   8  u32 message                         8  i32 result
//  12  u32 first parameter (wparam)
//  16  u32 second parameter (lparam)
//
// Types: 1 restore and raise the window; 2 send a message; 3 restore and
// raise the window with an activation token: the message field holds the
// token's length (1 to kMaxTokenSize), and the token's bytes (printable
// ASCII) follow the record. It is answered as type 3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumaset::handoff {

constexpr uint32_t kRequestMagic = 0x464F484C;
constexpr uint32_t kReplyMagic = 0x524F484C;
constexpr uint16_t kVersion = 1;
constexpr uint16_t kRaise = 1;
constexpr uint16_t kSendMessage = 2;
constexpr uint16_t kRaiseWithToken = 3;
constexpr size_t kMaxTokenSize = 255;
constexpr size_t kRequestSize = 20;
constexpr size_t kReplySize = 12;

struct Request {
  uint16_t type = 0;
  uint32_t message = 0, wparam = 0, lparam = 0;
  std::string token;  // type 3
  bool operator==(const Request&) const = default;
};

// The record alone: a type 3 request's token is sent after it.
void EncodeRequest(const Request& request, unsigned char (&out)[kRequestSize]);
// False for a record with another magic, version or type, or of type 3 with
// a token length out of range.
bool DecodeRequest(const unsigned char (&bytes)[kRequestSize], Request* request);
// Whether a token can travel in a type 3 request.
bool UsableToken(const std::string& token);

void EncodeReply(uint16_t type, int32_t result, unsigned char (&out)[kReplySize]);
// False for a record with another magic or version, or that answers another
// type than `type`.
bool DecodeReply(const unsigned char (&bytes)[kReplySize], uint16_t type, int32_t* result);

// Collects one request from the pieces of a stream. The socket is read into
// Space() for at most Room() bytes, so nothing past the request is taken out
// of the socket before the request has been answered; Took() tells how many
// arrived.
class RequestReader {
 public:
  enum class Result { kIncomplete, kRequest, kBroken };

  unsigned char* Space() { return have_ < kRequestSize ? header_ + have_ : token_ + (have_ - kRequestSize); }
  size_t Room() const { return need_ - have_; }
  // kRequest with *request set once the record (and a type 3 request's
  // token) is complete (the reader then starts on the next one), kBroken
  // when it breaks the framing.
  Result Took(size_t count, Request* request);

 private:
  void Restart() { have_ = 0, need_ = kRequestSize; }

  unsigned char header_[kRequestSize] = {};
  unsigned char token_[kMaxTokenSize] = {};
  size_t have_ = 0;
  size_t need_ = kRequestSize;
};

}  // namespace lumaset::handoff
