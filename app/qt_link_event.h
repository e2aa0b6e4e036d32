// Window messages between threads on Qt: a message number and its two
// parameters, posted as an event to an object on the user-interface thread.
// Link events (WM_LINK_EVENT) travel this way from the worker threads.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>

namespace lumaset {

class WindowMessageEvent : public QEvent {
 public:
  static QEvent::Type Kind();
  WindowMessageEvent(uint32_t message, uint32_t first, uint32_t second)
      : QEvent(Kind()), message(message), first(first), second(second) {}
  const uint32_t message, first, second;
};

// Posts the message to `receiver`'s thread; from any thread, never waits.
void PostWindowMessage(QObject* receiver, uint32_t message, uint32_t first, uint32_t second);

}  // namespace lumaset
