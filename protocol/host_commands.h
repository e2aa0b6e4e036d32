// The host's command vocabulary: sixteen escaped command strings, and the
// clock string that follows the set-clock command. Shared by every link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"

namespace lumaset {

constexpr int kHostCommandCount = 16;

// Entries the links use themselves (0 to 9 and 13 are operator commands).
enum : int {
  kCmdSetClock = 6,          // followed by the clock string
  kCmdProbe = 10,            // the host answers kProbeAnswer
  kCmdAnnounceUser = 11,     // a user-program image follows
  kCmdAnnounceSystem = 12,   // a system-program image follows
  kCmdSetHostRate = 14,      // the new rate follows
  kCmdQueryRate = 15,        // network link only
};

// The host's single-byte answer to the probe.
constexpr uint8_t kProbeAnswer = 0x0F;
// Number of bytes the probe string stands for.
constexpr int kProbeLength = 5;

// Judges, byte by byte, what comes back after the probe. A host that prints
// status lines may put some of its text before or after its answer, so the
// answer byte counts when everything else that came is the host's ordinary
// text: printable ASCII, CR, LF, TAB and code-page-936 characters (lead byte
// 0x81-0xFE, trail byte 0x40-0xFE but 0x7F). The answer byte is a control
// character that no text contains. The reply window may cut a character at
// either end: a lone trail byte may open it and a lone lead byte end it.
// Anything else (a second answer byte, other control characters, a broken
// character, noise from a wrong line rate) refuses the reply.
class ProbeReply {
 public:
  enum State { kWaiting, kAnswered, kRefused };
  State Add(uint8_t byte);
  State Add(const uint8_t* bytes, size_t count);
  State Get() const;

 private:
  // The text is read twice over: from its first byte, and from its second
  // when the first may be the end of a character begun before the window.
  struct Reading {
    bool alive = true;
    bool inCharacter = false;  // a lead byte wants its trail byte
    void Take(uint8_t byte);
  };
  Reading whole_, skipFirst_;
  size_t textBytes_ = 0;
  bool answered_ = false;
};

// The table, indexed 0 to 15.
extern const char* const kHostCommands[kHostCommandCount];

// The entry, or nullptr for an index outside the table.
const char* HostCommand(int index);

// The clock string for a local time: seven "\xNN" escapes whose two decimal
// digits the encoder reads back as hexadecimal, so the host gets packed BCD of
// year % 100, month, day, weekday (0 Sunday), hour, minute and second.
std::string ClockString(const platform::LocalTime& time);

}  // namespace lumaset
