#include "app/qt_ui_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

namespace lumaset {
namespace {

class QtFdWatch : public platform::IFdWatch {
 public:
  QtFdWatch(int fd, std::function<void()> onReadable)
      : notifier_(new QSocketNotifier(fd, QSocketNotifier::Read)), state_(std::make_shared<State>()) {
    state_->onReadable = std::move(onReadable);
    QSocketNotifier* notifier = notifier_;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, state = state_] {
      // Level-triggered: without this the handler would run again at once
      // while the bytes wait.
      notifier->setEnabled(false);
      std::shared_ptr<State> keep = state;
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
    // From another thread: queued to the notifier's thread, and dropped if
    // the notifier or the watch is gone by then.
    QSocketNotifier* notifier = notifier_;
    QMetaObject::invokeMethod(
        notifier,
        [notifier, state = state_, enabled] {
          if (!state->dead) notifier->setEnabled(enabled);
        },
        Qt::QueuedConnection);
  }

 private:
  struct State {
    std::function<void()> onReadable;
    bool firing = false;
    bool dead = false;  // the watch is destroyed; the notifier may linger
  };
  QSocketNotifier* notifier_;
  std::shared_ptr<State> state_;
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
