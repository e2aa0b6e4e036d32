// Window messages posted from worker threads to an object on the
// user-interface thread: every one arrives, in the order posted, while the
// receiving thread is busy draining its queue; those still queued when the
// receiver goes are dropped without a leak.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <thread>
#include <vector>

#include "app/qt_link_event.h"

namespace lumaset {
namespace {

constexpr uint32_t kMessage = 0x8001;

class Receiver : public QObject {
 public:
  bool event(QEvent* e) override {
    if (const WindowMessageEvent* m = AsWindowMessage(e)) {
      if (m->message == kMessage) got.push_back({m->first, m->second});
      return true;
    }
    return QObject::event(e);
  }
  std::vector<std::pair<uint32_t, uint32_t>> got;
};

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "test_qt_link_event";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

TEST(WindowMessage, BurstsFromTwoThreadsArriveWholeAndInOrderWhileTheQueueDrains) {
  App();
  Receiver receiver;
  constexpr uint32_t kEach = 20000;
  std::atomic<int> done{0};
  auto poster = [&](uint32_t thread) {
    for (uint32_t i = 0; i < kEach; ++i) PostWindowMessage(&receiver, kMessage, thread, i);
    done.fetch_add(1);
  };
  std::thread a(poster, 1), b(poster, 2);
  // Drain while the posters run, so the queue is read as it is written.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((done.load() < 2 || receiver.got.size() < 2 * kEach) && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  a.join();
  b.join();
  QCoreApplication::processEvents();

  ASSERT_EQ(receiver.got.size(), 2 * kEach);
  uint32_t next[3] = {0, 0, 0};
  for (const auto& [thread, value] : receiver.got) {
    ASSERT_TRUE(thread == 1 || thread == 2);
    ASSERT_EQ(value, next[thread]) << "thread " << thread;
    ++next[thread];
  }
}

TEST(WindowMessage, MessagesStillQueuedWhenTheReceiverGoesAreDropped) {
  App();
  auto* receiver = new Receiver;
  std::thread poster([&] {
    for (uint32_t i = 0; i < 1000; ++i) PostWindowMessage(receiver, kMessage, 0, i);
  });
  poster.join();
  delete receiver;  // its queued events go with it; the leak check would see any left
  QCoreApplication::processEvents();

  Receiver other;
  PostWindowMessage(&other, kMessage, 7, 8);
  QCoreApplication::processEvents();
  ASSERT_EQ(other.got.size(), 1u);
  EXPECT_EQ(other.got[0], std::make_pair(7u, 8u));
}

}  // namespace
}  // namespace lumaset
