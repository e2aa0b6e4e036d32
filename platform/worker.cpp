#include "platform/worker.h"

#include <system_error>

#include "platform/operator.h"

namespace lumaset::platform {

Worker::~Worker() {
  if (thread_.joinable()) {
    // Never let the thread outlive what it uses: open the gate so a thread
    // that never started can end, then join.
    gate_.Set();
    WaitAnyServingBoxes({&finished_}, kInfinite);
    if (thread_.joinable()) thread_.join();
  }
}

bool Worker::Create(Body body) {
  if (thread_.joinable()) return false;
  gate_.Reset();
  finished_.Reset();
  exitCode_ = 0;
  {
    std::lock_guard<std::mutex> guard(holdLock_);
    holdCount_ = 0;
    bodyParked_ = false;
    holdRequested_.Reset();
    parked_.Reset();
    released_.Set();
  }
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      gate_.Wait(kInfinite);
      uint32_t code = body();
      uint32_t expected = 0;
      // An overrun recorded by a stop keeps its code.
      exitCode_.compare_exchange_strong(expected, code);
      finished_.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  id_ = thread_.get_id();
  exists_ = true;
  return true;
}

void Worker::Start() { gate_.Set(); }

bool Worker::IsCurrentThread() const { return exists_ && std::this_thread::get_id() == id_; }

void Worker::Hold(int waitMs) {
  if (!exists_ || IsCurrentThread()) return;
  {
    std::lock_guard<std::mutex> guard(holdLock_);
    if (holdCount_++ > 0) return;
    released_.Reset();
    holdRequested_.Set();
    // A body that has not yet left the park of the previous hold (a release
    // just before) stays parked for this one. Any other body has to park
    // anew: what it signalled before does not count.
    if (bodyParked_) return;
    parked_.Reset();
  }
  // A thread still behind its gate, or already ended, is as good as parked.
  if (!gate_.IsSet()) return;
  // A body inside a message box parks once the box is answered.
  WaitAnyServingBoxes({&parked_, &finished_}, waitMs);
}

void Worker::Release() {
  std::lock_guard<std::mutex> guard(holdLock_);
  if (holdCount_ == 0) return;
  if (--holdCount_ == 0) {
    holdRequested_.Reset();
    released_.Set();
  }
}

int Worker::HoldCount() const {
  std::lock_guard<std::mutex> guard(holdLock_);
  return holdCount_;
}

bool Worker::ParkIfHeld(const Event& stop) {
  std::unique_lock<std::mutex> lock(holdLock_);
  // The count decides under the lock, so a release and a new hold that come
  // together cannot let the body slip out between them.
  while (holdCount_ > 0 && !stop.IsSet()) {
    bodyParked_ = true;
    parked_.Set();
    lock.unlock();
    WaitAny({&released_, &stop}, kInfinite);
    lock.lock();
  }
  bodyParked_ = false;
  parked_.Reset();
  return !stop.IsSet();
}

bool Worker::Join(int graceMs) {
  if (!thread_.joinable()) {
    exists_ = false;
    return true;
  }
  gate_.Set();
  // A body that waits for the operator's answer is not locked: its boxes are
  // served here, and their time is not counted against the grace.
  if (WaitAnyServingBoxes({&finished_}, graceMs) != 0) return false;
  // A box's event loop may have run a stop of this worker that joined it.
  if (thread_.joinable()) thread_.join();
  exists_ = false;
  return true;
}

void Worker::JoinAfterOverrun() {
  exitCode_ = kExitOverran;
  gate_.Set();
  if (thread_.joinable()) {
    WaitAnyServingBoxes({&finished_}, kInfinite);
    if (thread_.joinable()) thread_.join();
  }
  exists_ = false;
}

void StopWorker(Worker& worker, Event& stop, int graceMs, const std::function<void()>& overrun) {
  if (!worker.Exists()) return;
  stop.Set();
  if (worker.IsCurrentThread()) return;  // a thread cannot wait for itself
  if (worker.Join(graceMs)) return;
  if (overrun) overrun();
  worker.JoinAfterOverrun();
}

}  // namespace lumaset::platform
