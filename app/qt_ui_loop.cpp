#include "app/qt_ui_loop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QThread>

#include "app/qt_link_event.h"
#include "platform/tsan_handoff.h"

namespace lumaset {
namespace {

struct WatchState {
  std::function<void()> onReadable;
  bool firing = false;
  bool dead = false;  // the watch is destroyed; the notifier may linger
};

// Enabling or disabling a notifier from another thread: a posted event (not
// a queued functor, whose slot object Qt frees with atomics that
// ThreadSanitizer cannot see; the event itself is published to it).
class EnableEvent : public QEvent {
 public:
  static QEvent::Type Kind() {
    static const int type = QEvent::registerEventType();
    return static_cast<QEvent::Type>(type);
  }
  EnableEvent(std::shared_ptr<WatchState> state, bool enabled)
      : QEvent(Kind()), state(std::move(state)), enabled(enabled) {}
  ~EnableEvent() override { platform::ClaimHandOff(this); }  // may be dropped unread
  const std::shared_ptr<WatchState> state;
  const bool enabled;
};

// A child of the notifier, so it lives on the notifier's thread and goes
// with it (events still queued for it are dropped then).
class EnableRelay : public QObject {
 public:
  explicit EnableRelay(QSocketNotifier* notifier) : QObject(notifier), notifier_(notifier) {}
  bool event(QEvent* e) override {
    platform::ClaimHandOff(e);
    if (e->type() != EnableEvent::Kind()) return QObject::event(e);
    auto* request = static_cast<EnableEvent*>(e);
    if (!request->state->dead) notifier_->setEnabled(request->enabled);
    return true;
  }

 private:
  QSocketNotifier* notifier_;
};

class QtFdWatch : public platform::IFdWatch {
 public:
  QtFdWatch(int fd, std::function<void()> onReadable)
      : notifier_(new QSocketNotifier(fd, QSocketNotifier::Read)),
        relay_(new EnableRelay(notifier_)),
        state_(std::make_shared<WatchState>()) {
    state_->onReadable = std::move(onReadable);
    QSocketNotifier* notifier = notifier_;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, state = state_] {
      // Level-triggered: without this the handler would run again at once
      // while the bytes wait.
      notifier->setEnabled(false);
      std::shared_ptr<WatchState> keep = state;
      keep->firing = true;
      keep->onReadable();
      keep->firing = false;
    });
  }

  ~QtFdWatch() override {
    state_->dead = true;
    notifier_->setEnabled(false);
    QObject::disconnect(notifier_, nullptr, nullptr, nullptr);
    // The handler may be destroying its own watch (a connection that closed
    // with an error); the notifier must outlive that call.
    if (state_->firing)
      notifier_->deleteLater();
    else
      delete notifier_;
  }

  void SetEnabled(bool enabled) override {
    if (QThread::currentThread() == notifier_->thread()) {
      notifier_->setEnabled(enabled);
      return;
    }
    // From another thread: posted to the notifier's thread, and dropped if
    // the notifier or the watch is gone by then.
    PostAcrossThreads(relay_, new EnableEvent(state_, enabled));
  }

 private:
  QSocketNotifier* notifier_;
  EnableRelay* relay_;  // owned by the notifier
  std::shared_ptr<WatchState> state_;
};

}  // namespace

std::unique_ptr<platform::IFdWatch> QtUiLoop::WatchReadable(int fd, std::function<void()> onReadable) {
  if (!QCoreApplication::instance()) return nullptr;
  return std::make_unique<QtFdWatch>(fd, std::move(onReadable));
}

void QtUiLoop::Pump(int maxMs) {
  if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, maxMs < 0 ? 0 : maxMs);
}

void UseQtUiLoop() {
  static QtUiLoop loop;
  platform::SetUiLoop(&loop);
}

}  // namespace lumaset
