// Sleeps and local time.
#pragma once

#include <cstdint>

namespace lumaset::platform {

class Event;

void SleepMs(int ms);
// Sleeps ms unless `stop` is set first. True when the sleep was cut short.
bool SleepUnlessSet(const Event& stop, int ms);

struct LocalTime {
  int year;       // e.g. 2024
  int month;      // 1..12
  int day;        // 1..31
  int dayOfWeek;  // 0 Sunday .. 6 Saturday
  int hour;       // 0..23
  int minute;
  int second;
};

LocalTime Now();

}  // namespace lumaset::platform
