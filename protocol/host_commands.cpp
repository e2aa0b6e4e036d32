#include "protocol/host_commands.h"

#include <cstdio>

namespace lumaset {

const char* const kHostCommands[kHostCommandCount] = {
    "\\x1bC\\xD2\\xBD\\x0d\\x0a\\x01",
    "\\x1bC\\xD2\\xBD\\x0d\\x0a\\x00",
    "\\x1bC\\xD4\\xBB\\x0d\\x0a",
    "\\x1bC\\xD8\\xB7\\x0d\\x0a",
    "\\x1bCIRLearn\\x0d\\x0a",
    "\\x1bC\\xD9\\xB6\\x0d\\x0a",
    "\\x1bC\\xD5\\xBA\\x0d\\x0a",
    "\\x1bC\\xD7\\xB8\\x0d\\x0a",
    "\\x1bC\\xD1\\xBE\\x0d\\x0a",
    "\\x1bC\\xD0\\xBF\\x0d\\x0a",
    "\\x1bC\\xf0\\x0d\\x0a",
    "\\x1b\\x43\\xcf\\xad\\xf0\\xe7\\xd9\\xb6\\xe0\\xf8\\x0d\\x0a",
    "\\x1b\\x43\\xfc\\xad\\xf0\\xe7\\xd9\\xb6\\xe0\\x8f\\x0d\\x0a",
    "\\x1bC\\xDC\\xB3\\x0d\\x0a",
    "\\x1bC\\xE2\\xAE\\x0d\\x0a",
    "\\x1bC\\xE3\\xAD\\x0d\\x0a",
};

const char* HostCommand(int index) {
  return index >= 0 && index < kHostCommandCount ? kHostCommands[index] : nullptr;
}

namespace {
bool IsPlainText(uint8_t b) { return (b >= 0x20 && b <= 0x7E) || b == '\r' || b == '\n' || b == '\t'; }
bool IsLeadByte(uint8_t b) { return b >= 0x81 && b <= 0xFE; }
bool IsTrailByte(uint8_t b) { return b >= 0x40 && b <= 0xFE && b != 0x7F; }
}  // namespace

void ProbeReply::Reading::Take(uint8_t byte) {
  if (!alive) return;
  if (inCharacter) {
    inCharacter = false;
    alive = IsTrailByte(byte);
  } else if (IsLeadByte(byte)) {
    inCharacter = true;
  } else {
    alive = IsPlainText(byte);
  }
}

ProbeReply::State ProbeReply::Add(uint8_t byte) {
  if (byte == kProbeAnswer && !answered_) {
    answered_ = true;
    return Get();
  }
  whole_.Take(byte);
  // Only a trail byte that is not ASCII text can be a character's end alone.
  if (textBytes_ == 0) skipFirst_.alive = byte >= 0x80 && IsTrailByte(byte);
  else skipFirst_.Take(byte);
  ++textBytes_;
  return Get();
}

ProbeReply::State ProbeReply::Add(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count && Get() != kRefused; ++i) Add(bytes[i]);
  return Get();
}

ProbeReply::State ProbeReply::Get() const {
  if (!whole_.alive && !skipFirst_.alive) return kRefused;
  return answered_ ? kAnswered : kWaiting;
}

std::string ClockString(const platform::LocalTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "\\x%02d\\x%02d\\x%02d\\x%02d\\x%02d\\x%02d\\x%02d", t.year % 100, t.month,
                t.day, t.dayOfWeek, t.hour, t.minute, t.second);
  return text;
}

}  // namespace lumaset
