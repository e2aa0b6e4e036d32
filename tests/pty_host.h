// Test peers: a scripted host on the master side of a pseudo-terminal, an
// event target that records link events, and an operator that records
// message boxes and answers them as told.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/language.h"
#include "platform/operator.h"

namespace lumaset::test {

using Bytes = std::vector<uint8_t>;

// The master side of a pseudo-terminal. The slave stays open here too, so the
// master never reads a hang-up while the link under test closes and re-opens.
class PtyHost {
 public:
  PtyHost();
  ~PtyHost();
  const std::string& SlavePath() const { return slavePath_; }
  // Points COM `number` at this terminal for the whole process.
  void MapAsCom(int number);

  // Reads up to n bytes, waiting at most timeoutMs for each next byte.
  Bytes Read(size_t n, int timeoutMs);
  // Reads exactly n bytes unless timeoutMs passes in all.
  Bytes ReadExactly(size_t n, int timeoutMs);
  // Reads whatever arrives until nothing comes for quietMs.
  Bytes Drain(int quietMs);
  void Write(const Bytes& bytes);
  // The rate the link has set on the line.
  uint32_t LineRate() const;
  // Closes both sides, as a host process that ends: the link's side hangs up
  // and the device node goes. Nothing else may be called after it.
  void HangUp();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// The modem lines of one pseudo-terminal, as the test sets them (TIOCM_*
// bits). A pseudo-terminal has none; devices opened while this exists see
// these instead (also after this object is gone).
class FakeModemLines {
 public:
  explicit FakeModemLines(const std::string& path);
  ~FakeModemLines();
  FakeModemLines(const FakeModemLines&) = delete;
  FakeModemLines& operator=(const FakeModemLines&) = delete;
  void Set(int lines) { *lines_ = lines; }

 private:
  std::shared_ptr<std::atomic<int>> lines_ = std::make_shared<std::atomic<int>>(0);
};

struct PostedEvent {
  uint32_t message, code, value;
};

class RecordingTarget : public platform::IEventTarget {
 public:
  void Post(uint32_t message, uint32_t first, uint32_t second) override;
  std::vector<PostedEvent> Events() const;
  size_t Count(uint32_t code) const;
  // Waits until an event with that code has been posted (or timeoutMs).
  bool WaitFor(uint32_t code, int timeoutMs) const;
  // Waits until `pred` holds for the events so far.
  bool WaitUntil(const std::function<bool(const std::vector<PostedEvent>&)>& pred, int timeoutMs) const;
  void Clear();

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<PostedEvent> events_;
};

struct ShownBox {
  std::string text, caption;
  unsigned type;
};

class RecordingOperator : public platform::IOperator {
 public:
  RecordingOperator();
  ~RecordingOperator() override;
  int MessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                 unsigned type) override;
  // The answers to give, in order; when none is left, the default button.
  void Answer(std::vector<int> answers);
  std::vector<ShownBox> Boxes() const;
  bool Shown(const std::string& text) const;
  void Clear();
  // Runs `action` once, inside the next box (as the box's own event loop
  // would run a click on another command), before that box is answered.
  void DuringNextBox(std::function<void()> action);

 private:
  mutable std::mutex lock_;
  std::vector<ShownBox> boxes_;
  std::deque<int> answers_;
  std::function<void()> duringNextBox_;
};

// Loads the English language library beside the test program and makes it
// the source of every text, once per process.
void UseEnglishTexts();
// The language library of that language (0 English, 1 Chinese), loaded
// once per process; a failed load is a test failure.
platform::LanguageLibrary& TestLanguage(int language);

// Milliseconds that `f` takes.
int64_t TimeMs(const std::function<void()>& f);
// Busy for about `us` microseconds: for gaps in race tests that are too
// short for a sleep.
void SpinMicroseconds(int us);

}  // namespace lumaset::test
