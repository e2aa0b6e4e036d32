// Worker threads with a start gate, a cooperative hold and bounded stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event.h"

namespace lumaset::platform {

// Exit code recorded for a thread that did not end within its grace time.
constexpr uint32_t kExitOverran = 2164;

// A thread created parked at a start gate (Start() lets it run). The body is
// cooperative: every wait it makes includes HoldEvent() and its own stop
// event, and at those points it calls ParkIfHeld(). Nothing is ever killed:
// a stop that overruns its grace time is reported and then joined.
class Worker {
 public:
  using Body = std::function<uint32_t()>;

  Worker() = default;
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Creates the thread behind the start gate. False when no thread can be had.
  bool Create(Body body);
  void Start();
  // True from Create until the thread has been joined.
  bool Exists() const { return exists_.load(); }
  bool Finished() const { return finished_.IsSet(); }
  bool IsCurrentThread() const;

  // Hold: like suspending the thread. Counts up; the caller waits (bounded)
  // until the body has parked for this hold, so the body does nothing more
  // after Hold returns (also when a release came just before). No effect
  // when called from the body itself.
  void Hold(int waitMs = 2000);
  // Counts the hold down (never below zero); the body runs on at zero.
  void Release();
  int HoldCount() const;
  // Set while a hold is requested; the body includes it in its waits.
  const Event& HoldEvent() const { return holdRequested_; }
  // Body side: blocks while held. Returns false when `stop` ended the park.
  bool ParkIfHeld(const Event& stop);

  // Waits up to graceMs for the body to end; joins it when it has. True when
  // the thread has ended (or none exists). Called on the thread that shows
  // message boxes, it shows the boxes the body raises meanwhile, and the time
  // they are open is not counted (as for Hold's wait and every join below).
  bool Join(int graceMs);
  // Joins without limit: only after the body's waits have been interrupted.
  void JoinAfterOverrun();

  uint32_t ExitCode() const { return exitCode_.load(); }

 private:
  std::thread thread_;
  std::atomic<bool> exists_{false};
  std::atomic<uint32_t> exitCode_{0};
  Event gate_;
  Event finished_;
  Event holdRequested_;
  Event parked_;
  Event released_{true};
  mutable std::mutex holdLock_;
  int holdCount_ = 0;
  bool bodyParked_ = false;  // the body is inside ParkIfHeld
  std::thread::id id_;
};

// Stops a worker the way every link does: set its stop event, give it
// graceMs, and when it overruns call `overrun` (which shows the message the
// caller names), record kExitOverran and join it anyway.
void StopWorker(Worker& worker, Event& stop, int graceMs, const std::function<void()>& overrun);

}  // namespace lumaset::platform
