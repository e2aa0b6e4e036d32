// Output of lumaset-cli: messages and progress to stderr (from any thread),
// received data to stdout (main thread only). With --json a line or a Say()
// becomes a "note" line on stdout and progress is left to the session.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace lumaset::cli {

// Writes whole lines to stderr under one lock, so that a message box raised
// by a worker thread never cuts a progress bar or another line in two. When
// stderr is a terminal a progress bar is drawn in place on the last line and
// cleared before any other line is written.
class Console {
 public:
  static Console& Instance();

  bool StderrIsTerminal() const { return stderrTty_; }
  void SetStderrIsTerminal(bool tty) { stderrTty_ = tty; }

  // One line of text ("lumaset-cli: " is not added).
  void Line(const std::string& text);
  // Progress in thousandths (0..1000) with the bytes sent so far and the total
  // (0 when unknown). A bar on a terminal, else a line per 10 %.
  void Progress(uint32_t thousandths, uint32_t bytes, uint64_t total);
  // Ends a progress display (the bar's line is finished, the 10 % counter reset).
  void EndProgress();

 private:
  Console();
  void ClearBarLocked();

  std::mutex lock_;
  bool stderrTty_ = false;
  bool barShown_ = false;
  int lastDecile_ = -1;
};

// "lumaset-cli: text" on stderr.
void Say(const std::string& text);

}  // namespace lumaset::cli
