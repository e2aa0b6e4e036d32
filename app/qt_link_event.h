// Window messages between threads on Qt: a message number and its two
// parameters, posted as an event to an object on the user-interface thread.
// Link events (WM_LINK_EVENT) travel this way from the worker threads.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>

#include "platform/tsan_handoff.h"

namespace lumaset {

class WindowMessageEvent : public QEvent {
 public:
  static QEvent::Type Kind();
  WindowMessageEvent(uint32_t message, uint32_t first, uint32_t second)
      : QEvent(Kind()), message(message), first(first), second(second) {}
  ~WindowMessageEvent() override { platform::ClaimHandOff(this); }  // may be dropped unread
  const uint32_t message, first, second;
};

// The event as a window message, or null for any other event. Receivers go
// through this so that a message built on another thread is claimed before
// its first field is read.
inline const WindowMessageEvent* AsWindowMessage(const QEvent* e) {
  platform::ClaimHandOff(e);
  return e->type() == WindowMessageEvent::Kind() ? static_cast<const WindowMessageEvent*>(e) : nullptr;
}

// Posts `event` (new, handed over) to `receiver`'s thread; from any thread,
// never waits. The event is published to ThreadSanitizer, so its receiver
// claims it before reading it (as AsWindowMessage does).
void PostAcrossThreads(QObject* receiver, QEvent* event);

// Posts the message to `receiver`'s thread; from any thread, never waits.
void PostWindowMessage(QObject* receiver, uint32_t message, uint32_t first, uint32_t second);

}  // namespace lumaset
