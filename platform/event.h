// Manual-reset events that poll() can wait on, and waits on several of them.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <poll.h>
#include <vector>

namespace lumaset::platform {

constexpr int kInfinite = -1;

// A manual-reset event: stays set until reset. Backed by an eventfd that is
// readable exactly while the event is set, so it can join any poll() set.
class Event {
 public:
  explicit Event(bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until set or timeoutMs elapse (kInfinite: no limit). True when set.
  bool Wait(int timeoutMs) const;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  mutable std::mutex lock_;
  bool set_ = false;
};

// Waits until one of the events is set. Null entries are skipped. Returns the
// index (in the list) of the first set event, or -1 when timeoutMs elapsed.
int WaitAny(std::initializer_list<const Event*> events, int timeoutMs);
int WaitAny(const std::vector<const Event*>& events, int timeoutMs);

// Poll on raw descriptors plus events with one deadline; retries on EINTR.
// Returns poll()'s result (0 on time-out, <0 on error). `fds` is modified.
int PollFor(std::vector<struct pollfd>& fds, int timeoutMs);

// Monotonic milliseconds, for deadlines.
int64_t NowMs();

// A deadline that yields the remaining milliseconds for successive waits.
class Deadline {
 public:
  explicit Deadline(int timeoutMs);
  // Remaining milliseconds (0 when passed), or kInfinite for no deadline.
  int Remaining() const;
  bool Passed() const { return timeout_ != kInfinite && Remaining() == 0; }

 private:
  int timeout_;
  int64_t end_;
};

}  // namespace lumaset::platform
