// lumaset-cli --json: one compact JSON object a line on stdout, from any
// thread. Every line has "kind" first and "t" (ms since the tool started)
// second. The first line of a run is its "start", the last its "end"; lines
// asked for before the start (a note about the settings file, say) are held
// back and follow it. The line kinds and their fields are listed in
// tools/cli/README.md.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace lumaset::cli {

// Text for a JSON string: UTF-8 in, each byte that is not part of a valid
// UTF-8 sequence replaced by U+FFFD (file names and device texts may hold
// any bytes). The writer escapes quotes, backslashes and control characters.
QString JsonText(const std::string& utf8);

// Uppercase hex pairs without separators ("4869009F").
QString HexText(const uint8_t* data, size_t size);

// One line: {"kind":KIND[,"t":T],FIELDS...} without the line break; t < 0
// leaves "t" out. Any "kind" or "t" in fields is replaced.
std::string JsonLine(const char* kind, QJsonObject fields, int64_t t = -1);

class JsonOutput {
 public:
  static JsonOutput& Instance();

  // Turns the JSON mode on (before any thread of a link starts) and starts
  // the clock of "t".
  void Enable();
  bool Enabled() const { return enabled_.load(std::memory_order_acquire); }
  int64_t ElapsedMs() const;

  // The "start" line, then the lines held back. Once only.
  void Start(QJsonObject fields);
  bool Started() const;
  // A line of `kind`; before Start it is held back, after End dropped.
  // False when stdout could not be written (its reader has gone).
  bool Line(const char* kind, QJsonObject fields);
  // {"kind":"note","text":TEXT}: what the tool would say on stderr.
  void Note(const std::string& text);
  // The "end" line (after the start line, which `start` supplies when none
  // was written yet), with "elapsedMs" equal to its "t". Once only.
  void End(QJsonObject fields, const QJsonObject& start);

 private:
  JsonOutput() = default;
  struct Held {
    std::string kind;
    QJsonObject fields;
    int64_t t;
  };
  bool WriteLocked(const char* kind, const QJsonObject& fields, int64_t t);

  std::atomic<bool> enabled_{false};
  QElapsedTimer clock_;
  mutable std::mutex lock_;
  bool started_ = false;
  bool ended_ = false;
  std::vector<Held> held_;
};

}  // namespace lumaset::cli
