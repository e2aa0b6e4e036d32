// What the core needs from the user-interface thread's event loop: readiness
// notifications for a descriptor, delivered on that thread, and a way to keep
// the loop running while an operation of the user-interface thread waits.
// The window program and the command-line tool implement it with Qt; without
// one, nothing is watched and nothing is pumped.
#pragma once

#include <functional>
#include <memory>

namespace lumaset::platform {

// A watch on one descriptor. Destroying it stops the notifications.
class IFdWatch {
 public:
  virtual ~IFdWatch() = default;
  // May be called from any thread; takes effect on the user-interface thread.
  virtual void SetEnabled(bool enabled) = 0;
};

class IUiLoop {
 public:
  virtual ~IUiLoop() = default;
  // Called on the user-interface thread. While enabled and while fd is
  // readable, calls onReadable there. The watch disables itself just before
  // each call, so a handler that does not read is not called again until
  // someone re-enables it. May return null when there is no loop.
  virtual std::unique_ptr<IFdWatch> WatchReadable(int fd, std::function<void()> onReadable) = 0;
  // Runs the events pending on the user-interface thread, for at most maxMs.
  // Returns at once when there is nothing to do; the caller does its own
  // waiting between calls.
  virtual void Pump(int maxMs) = 0;
};

// The process-wide loop. Without one, WatchReadable gives null and Pump does
// nothing.
void SetUiLoop(IUiLoop* loop);
IUiLoop& UiLoop();

}  // namespace lumaset::platform
