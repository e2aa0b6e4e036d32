#include "tools/cli/console.h"

#include <unistd.h>

#include <cstdio>

#include "tools/cli/json_output.h"

namespace lumaset::cli {

Console& Console::Instance() {
  static Console console;
  return console;
}

Console::Console() : stderrTty_(isatty(STDERR_FILENO) == 1) {}

void Console::ClearBarLocked() {
  if (barShown_) {
    std::fputs("\r\033[K", stderr);
    barShown_ = false;
  }
}

void Console::Line(const std::string& text) {
  if (JsonOutput::Instance().Enabled()) return JsonOutput::Instance().Note(text);
  std::lock_guard<std::mutex> guard(lock_);
  ClearBarLocked();
  std::fputs(text.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Console::Progress(uint32_t thousandths, uint32_t bytes, uint64_t total) {
  if (JsonOutput::Instance().Enabled()) return;  // the session writes progress lines itself
  if (thousandths > 1000) thousandths = 1000;
  std::lock_guard<std::mutex> guard(lock_);
  char text[160];
  if (stderrTty_) {
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(thousandths * kWidth / 1000);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    if (total > 0)
      std::snprintf(text, sizeof text, "\r[%s] %5.1f%%  %u of %llu bytes\033[K", bar.c_str(), thousandths / 10.0,
                    bytes, static_cast<unsigned long long>(total));
    else
      std::snprintf(text, sizeof text, "\r[%s] %5.1f%%  %u bytes\033[K", bar.c_str(), thousandths / 10.0, bytes);
    std::fputs(text, stderr);
    barShown_ = true;
  } else {
    const int decile = static_cast<int>(thousandths / 100);
    if (decile <= lastDecile_) return;
    lastDecile_ = decile;
    if (total > 0)
      std::snprintf(text, sizeof text, "progress: %u%% (%u of %llu bytes)\n", thousandths / 10, bytes,
                    static_cast<unsigned long long>(total));
    else
      std::snprintf(text, sizeof text, "progress: %u%% (%u bytes)\n", thousandths / 10, bytes);
    std::fputs(text, stderr);
  }
  std::fflush(stderr);
}

void Console::EndProgress() {
  if (JsonOutput::Instance().Enabled()) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (barShown_) {
    std::fputc('\n', stderr);
    barShown_ = false;
  }
  lastDecile_ = -1;
  std::fflush(stderr);
}

void Say(const std::string& text) {
  if (JsonOutput::Instance().Enabled()) return JsonOutput::Instance().Note(text);
  Console::Instance().Line("lumaset-cli: " + text);
}

}  // namespace lumaset::cli
