#include "ui/handoff_frame.h"

namespace lumaset::handoff {
namespace {

void Put16(unsigned char* at, uint16_t v) {
  at[0] = static_cast<unsigned char>(v);
  at[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint16_t Get16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t Get32(const unsigned char* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[i]) << (8 * i);
  return v;
}

}  // namespace

void EncodeRequest(const Request& request, unsigned char (&out)[kRequestSize]) {
  Put32(out, kRequestMagic);
  Put16(out + 4, kVersion);
  Put16(out + 6, request.type);
  Put32(out + 8, request.message);
  Put32(out + 12, request.wparam);
  Put32(out + 16, request.lparam);
}

bool DecodeRequest(const unsigned char (&bytes)[kRequestSize], Request* request) {
  Request r;
  r.type = Get16(bytes + 6);
  r.message = Get32(bytes + 8);
  r.wparam = Get32(bytes + 12);
  r.lparam = Get32(bytes + 16);
  if (Get32(bytes) != kRequestMagic || Get16(bytes + 4) != kVersion ||
      (r.type != kRaise && r.type != kSendMessage && r.type != kRaiseWithToken))
    return false;
  if (r.type == kRaiseWithToken && (r.message == 0 || r.message > kMaxTokenSize)) return false;
  *request = r;
  return true;
}

bool UsableToken(const std::string& token) {
  if (token.empty() || token.size() > kMaxTokenSize) return false;
  for (const char c : token)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

void EncodeReply(uint16_t type, int32_t result, unsigned char (&out)[kReplySize]) {
  Put32(out, kReplyMagic);
  Put16(out + 4, kVersion);
  Put16(out + 6, type);
  Put32(out + 8, static_cast<uint32_t>(result));
}

bool DecodeReply(const unsigned char (&bytes)[kReplySize], uint16_t type, int32_t* result) {
  if (Get32(bytes) != kReplyMagic || Get16(bytes + 4) != kVersion || Get16(bytes + 6) != type) return false;
  *result = static_cast<int32_t>(Get32(bytes + 8));
  return true;
}

RequestReader::Result RequestReader::Took(size_t count, Request* request) {
  have_ += count < Room() ? count : Room();
  if (have_ < need_) return Result::kIncomplete;
  Request r;
  if (!DecodeRequest(header_, &r)) {
    Restart();
    return Result::kBroken;
  }
  if (r.type == kRaiseWithToken && need_ == kRequestSize) {
    need_ = kRequestSize + r.message;  // the token follows
    return Result::kIncomplete;
  }
  if (r.type == kRaiseWithToken) {
    r.token.assign(reinterpret_cast<const char*>(token_), r.message);
    if (!UsableToken(r.token)) {
      Restart();
      return Result::kBroken;
    }
  }
  Restart();
  *request = r;
  return Result::kRequest;
}

}  // namespace lumaset::handoff
