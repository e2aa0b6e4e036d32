#include "app/qt_link_event.h"

#include <QCoreApplication>

namespace lumaset {

QEvent::Type WindowMessageEvent::Kind() {
  static const int type = QEvent::registerEventType();
  return static_cast<QEvent::Type>(type);
}

void PostAcrossThreads(QObject* receiver, QEvent* event) {
  platform::PublishHandOff(event);
  QCoreApplication::postEvent(receiver, event);
}

void PostWindowMessage(QObject* receiver, uint32_t message, uint32_t first, uint32_t second) {
  PostAcrossThreads(receiver, new WindowMessageEvent(message, first, second));
}

}  // namespace lumaset
