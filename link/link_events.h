// The link event: one message that every worker thread posts to the view,
// with a code in the first parameter and a value in the second.
#pragma once

#include <cstdint>

namespace lumaset {

constexpr uint32_t WM_LINK_EVENT = 1236;  // 0x400 + 212

// Codes (first parameter).
enum : uint32_t {
  LE_DATA_RECEIVED = 1,   // value 0
  LE_CTS_CHANGED = 2,     // value 0
  LE_DSR_CHANGED = 3,     // value 0
  LE_SEND_DONE = 4,       // bytes sent
  LE_BAUD_TRYING = 5,     // rate about to be tried
  LE_BAUD_STOP = 6,       // value 0 (from the baud-search window)
  LE_BAUD_NOT_FOUND = 7,  // last rate tried
  LE_BAUD_FOUND = 8,      // the rate that answered
  LE_SEND_STARTED = 9,    // value 0
  LE_STATUS = 10,         // a link status code
  // The port went away while open (an unplugged adapter or USB device, a
  // pseudo-terminal whose host ended, a connection the host reset). Value:
  // why, as an errno value (ENODEV, EIO, ECONNRESET, ...), or 0 when unknown.
  // Posted once per open port; the link stays open until the view closes it.
  LE_PORT_GONE = 11,
  LE_FAILED = 255,        // a link status code, or 1
};

// The view takes at most this many received bytes from a link at a time.
constexpr int kReceiveTake = 1024;

// Progress: this flag or'ed with thousandths done; the value is bytes sent.
constexpr uint32_t LE_PROGRESS_FLAG = 0x80000000u;
inline bool IsProgressEvent(uint32_t code) { return (code & LE_PROGRESS_FLAG) != 0; }
inline uint32_t ProgressThousandths(uint32_t code) { return code & ~LE_PROGRESS_FLAG; }

// Link status codes (value of LE_STATUS and LE_FAILED).
enum : uint32_t {
  LS_NOT_READY = 0xFF008001u,
  LS_START = 0xFF008002u,
  LS_CHECK_VERSION = 0xFF008003u,
  LS_WAIT_ERASE = 0xFF008004u,
  LS_DOWNLOAD_DATA = 0xFF008007u,
  LS_CANCELLED = 0xFF008008u,
  LS_TIMEOUT = 0xFF008009u,
  LS_WRITE_FAILED = 0xFF00800Au,
  LS_VERIFY_FAILED = 0xFF00800Bu,
  LS_REFUSED = 1u,  // the host refused the handshake or did not confirm the length
};

// Exit codes recorded for the link threads.
constexpr uint32_t kTransferThreadDone = 0x8888;
constexpr uint32_t kWatcherThreadDone = 0x9988;

// A short English name for a status code, for logs and the command line.
const char* LinkStatusName(uint32_t status);

// The status-bar text of a transfer phase ("Start ...", "Check Version ...",
// "Wait for erase ...", "Starting Download Data ..."), the same in every
// language; the empty text for any other code.
const char* StatusDisplayText(uint32_t status);

}  // namespace lumaset
