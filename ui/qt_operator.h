// The window program's message boxes: QMessageBox on the user-interface
// thread, whichever thread raises them. A box raised by another thread is
// queued for the user-interface thread and its caller blocks until it has
// been answered; boxes are shown one at a time, in the order raised.
#pragma once

#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/operator.h"

class QMessageBox;
class QSocketNotifier;
class QWidget;

namespace lumaset {

class QtOperator : public platform::IOperator {
 public:
  // Create on the user-interface thread once the QApplication exists.
  // Without a QApplication every box gets the safe answer at once.
  QtOperator();
  // Shuts down first, and stops being the process-wide operator if it is
  // one. Destroy it on the user-interface thread, after every thread that
  // may raise a box has ended.
  ~QtOperator() override;
  QtOperator(const QtOperator&) = delete;
  QtOperator& operator=(const QtOperator&) = delete;

  // Any thread. Parent of the box: the owner when it is a widget, else the
  // main window, else none. Escape and the close button give Cancel where
  // the box has it, otherwise the safe answer.
  int MessageBox(platform::IEventTarget* owner, const std::string& text, const std::string& caption,
                 unsigned type) override;
  const platform::Event* PendingBoxes() override { return &pending_; }
  bool ServePendingBoxes() override;

  // The parent of boxes whose owner is no widget. User-interface thread.
  void SetMainWindow(QWidget* window);

  // How many boxes have been raised so far: a caller can tell whether a
  // call it made told the operator anything.
  uint64_t RaisedCount() const { return raised_.load(); }

  // The application is ending: every waiting and every later request gets
  // the safe answer without a box, and boxes open now are closed with it.
  // Any thread; idempotent.
  void Shutdown();

 private:
  struct Request {
    platform::IEventTarget* owner;
    std::string text;
    std::string caption;
    unsigned type;
    int answer = 0;
    bool answered = false;
  };

  bool OnUiThread() const;
  // Shows queued boxes in order until the queue is empty or `until` has
  // been answered. User-interface thread.
  void Serve(const Request* until);
  int Show(const Request& request);
  void Answer(Request& request, int answer);
  void CloseOpenBoxes();

  std::atomic<uint64_t> raised_{0};
  std::mutex lock_;
  std::condition_variable answered_;
  std::deque<std::shared_ptr<Request>> queue_;
  bool closed_ = false;      // Shutdown has run
  platform::Event pending_;  // set exactly while queue_ is not empty
  platform::Event shutdown_; // set by a Shutdown off the user-interface thread
  // On the user-interface thread; null without a QApplication.
  std::unique_ptr<QSocketNotifier> pendingNotifier_;
  std::unique_ptr<QSocketNotifier> shutdownNotifier_;

  // User-interface thread only.
  int serving_ = 0;  // depth of Serve calls on the stack
  QPointer<QWidget> mainWindow_;
  std::vector<QPointer<QMessageBox>> open_;
};

}  // namespace lumaset
