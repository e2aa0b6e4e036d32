// The host's command vocabulary: sixteen escaped command strings, and the
// clock string that follows the set-clock command. Shared by every link.
#pragma once

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

// The table, indexed 0 to 15.
extern const char* const kHostCommands[kHostCommandCount];

// The entry, or nullptr for an index outside the table.
const char* HostCommand(int index);

// The clock string for a local time: seven "\xNN" escapes whose two decimal
// digits the encoder reads back as hexadecimal, so the host gets packed BCD of
// year % 100, month, day, weekday (0 Sunday), hour, minute and second.
std::string ClockString(const platform::LocalTime& time);

}  // namespace lumaset
