// How received bytes appear in the receive display.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

#include "platform/cp936.h"

namespace lumaset {

// Renders the bytes of one take from a link (or the whole receive log) as
// display text.
//
// Hex display: every byte becomes "%02X  ", two uppercase hexadecimal digits
// and two spaces; no line breaks are added (lines come from wrapping).
//
// Text display: the bytes are the host's code-page-936 text.
//  - A character split between two takes is completed by the next take.
//  - A zero byte ends what is shown of its take: the bytes after it in that
//    take are not shown, and an incomplete character just before it is shown
//    as U+FFFD (the next take starts afresh).
//  - CR LF is one line break, also when the CR ends one take and the LF
//    starts the next; a lone CR or a lone LF is a line break too. Breaks come
//    out as "\n".
//  - Other control characters (0x01-0x1F except TAB, and DEL 0x7F) are shown
//    as their control pictures, U+2400 + c and U+2421, so they can be seen.
//  - A byte that starts no code-page-936 character is shown as U+FFFD.
//
// A re-render of the whole log is Reset() and one Render() of the log: the
// log keeps no take boundaries, so in text display it is shown up to its
// first zero byte.
class ReceiveRenderer {
 public:
  // Forgets what carries over from one take to the next (an incomplete
  // character, a CR that may be followed by an LF).
  void Reset();
  // Chooses hex (true) or text display for the following takes. Carried-over
  // state is kept; a re-render calls Reset() first.
  void SetHex(bool hex) { hex_ = hex; }
  bool Hex() const { return hex_; }

  QString Render(const uint8_t* data, size_t size);

 private:
  QString RenderText(const uint8_t* data, size_t size);

  bool hex_ = false;
  platform::Cp936Decoder decoder_;
  bool afterCr_ = false;  // the last character shown was a CR
};

}  // namespace lumaset
