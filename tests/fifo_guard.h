// Keeps a test from hanging on a FIFO that the code under test should never
// have opened for blocking reads.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "platform/event.h"

namespace lumaset::test {

// Unless dismissed (destroyed) within five seconds, opens a writer on `fifo`
// and closes it again: an open stuck waiting for a writer then returns, and a
// read stuck on the FIFO sees its end. Fired() tells the test that it had to.
class FifoGuard {
 public:
  explicit FifoGuard(std::string fifo) : fifo_(std::move(fifo)), thread_([this] { Watch(); }) {}
  ~FifoGuard() {
    dismissed_.Set();
    thread_.join();
  }
  FifoGuard(const FifoGuard&) = delete;
  FifoGuard& operator=(const FifoGuard&) = delete;
  bool Fired() const { return fired_; }

 private:
  void Watch() {
    if (dismissed_.Wait(5000)) return;
    fired_ = true;
    const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }

  const std::string fifo_;
  platform::Event dismissed_;
  std::atomic<bool> fired_{false};
  std::thread thread_;  // last: starts when the rest is there
};

}  // namespace lumaset::test
