// The hand-off block and the hand-off socket's records. The input is read
// twice: as a block (its first 524 bytes, padded with zeros), and as the
// byte stream a client sends, delivered in pieces whose sizes the input's
// first bytes choose. Checks:
//  - a block is read up to the name's first zero byte, never past the name
//    field, and what is read writes back to a block that reads the same;
//  - the stream's records come out in order, each as DecodeRequest reads its
//    20 bytes (with the activation token behind a type 3 record), and
//    reading stops at the first record that breaks the framing, however the
//    stream is cut into pieces;
//  - a request and a reply read back as written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/handoff_block.h"
#include "ui/handoff_frame.h"

using namespace lumaset;
using namespace lumaset::handoff;
using lumaset::platform::kHandOffBlockSize;
using lumaset::platform::kHandOffNameField;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

void CheckBlock(const uint8_t* data, size_t size) {
  unsigned char block[kHandOffBlockSize] = {};
  std::memcpy(block, data, size < kHandOffBlockSize ? size : kHandOffBlockSize);
  std::string name;
  int32_t mode = 0;
  platform::DecodeHandOffBlock(block, &name, &mode);
  Check(name.size() <= kHandOffNameField, "name longer than its field");
  Check(name.find('\0') == std::string::npos, "name holds a zero byte");
  Check(std::memcmp(name.data(), block, name.size()) == 0, "name differs from the block");

  // What fits writes back the same; a name that fills the field has no room
  // for its terminator and is refused before it is written.
  if (platform::HandOffNameProblem(name).empty()) {
    unsigned char written[kHandOffBlockSize];
    platform::EncodeHandOffBlock(name, mode, written);
    std::string name2;
    int32_t mode2 = 0;
    platform::DecodeHandOffBlock(written, &name2, &mode2);
    Check(name2 == name && mode2 == mode, "block does not read back as written");
    for (size_t i = name.size(); i < platform::kHandOffModeOffset; ++i)
      Check(written[i] == 0, "byte after the name not zero");
  } else {
    Check(name.size() == kHandOffNameField, "a name that fits is refused");
  }
}

void CheckStream(const uint8_t* data, size_t size) {
  // The first byte says how many of the following bytes give piece sizes.
  if (size == 0) return;
  size_t cuts = data[0] % 16;
  ++data, --size;
  if (cuts > size) cuts = size;
  const uint8_t* pieces = data;
  const uint8_t* stream = data + cuts;
  const size_t length = size - cuts;

  // Expected: every complete record up to the first broken one.
  std::vector<Request> expected;
  bool broken = false;
  for (size_t at = 0; at + kRequestSize <= length;) {
    unsigned char record[kRequestSize];
    std::memcpy(record, stream + at, kRequestSize);
    at += kRequestSize;
    Request r;
    if (!DecodeRequest(record, &r)) {
      broken = true;
      break;
    }
    if (r.type == kRaiseWithToken) {
      if (at + r.message > length) break;  // the token is not all there
      r.token.assign(reinterpret_cast<const char*>(stream + at), r.message);
      at += r.message;
      if (!UsableToken(r.token)) {
        broken = true;
        break;
      }
    }
    expected.push_back(r);
  }

  RequestReader reader;
  std::vector<Request> got;
  bool gotBroken = false;
  size_t at = 0, piece = 0;
  while (at < length && !gotBroken) {
    // A read takes at most the room left, as the server's recv() does.
    size_t want = cuts ? 1 + pieces[piece++ % cuts] : length;
    if (want > length - at) want = length - at;
    const size_t take = want < reader.Room() ? want : reader.Room();
    Check(take > 0, "no room for a read");
    std::memcpy(reader.Space(), stream + at, take);
    at += take;
    Request r;
    switch (reader.Took(take, &r)) {
      case RequestReader::Result::kIncomplete: break;
      case RequestReader::Result::kRequest: got.push_back(r); break;
      case RequestReader::Result::kBroken: gotBroken = true; break;
    }
  }
  Check(got == expected, "records differ from the stream's");
  Check(gotBroken == broken, "a broken record is not reported, or a sound one is");

  for (const Request& r : got) {
    unsigned char record[kRequestSize];
    EncodeRequest(r, record);
    Request back;
    Check(DecodeRequest(record, &back), "request does not read back");
    back.token = r.token;  // sent after the record
    Check(back == r, "request does not read back");
    unsigned char reply[kReplySize];
    const auto result = static_cast<int32_t>(r.message ^ r.lparam);
    EncodeReply(r.type, result, reply);
    int32_t answer = 0;
    Check(DecodeReply(reply, r.type, &answer) && answer == result, "reply does not read back");
    Check(!DecodeReply(reply, static_cast<uint16_t>(r.type ^ 3), &answer), "reply to another type taken");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckBlock(data, size);
  CheckStream(data, size);
  return 0;
}
