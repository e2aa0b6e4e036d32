#include "platform/clock.h"

#include <ctime>
#include <thread>

#include "platform/event.h"

namespace lumaset::platform {

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SleepUnlessSet(const Event& stop, int ms) { return stop.Wait(ms < 0 ? 0 : ms); }

LocalTime Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace lumaset::platform
