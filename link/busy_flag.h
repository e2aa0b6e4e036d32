// A process-wide "in progress" flag held for one scope.
#pragma once

#include <atomic>

namespace lumaset {

// Claims `flag` if it is clear and clears it again at the end of the scope.
// An operation that finds the flag already set (a second call from a message
// box's event loop, or from another thread) does not own it and returns at
// once; the flag stays with the call that set it.
class BusyFlag {
 public:
  explicit BusyFlag(std::atomic<bool>& flag) : flag_(flag), owned_(!flag.exchange(true)) {}
  ~BusyFlag() {
    if (owned_) flag_ = false;
  }
  BusyFlag(const BusyFlag&) = delete;
  BusyFlag& operator=(const BusyFlag&) = delete;
  bool Owned() const { return owned_; }

 private:
  std::atomic<bool>& flag_;
  bool owned_;
};

}  // namespace lumaset
