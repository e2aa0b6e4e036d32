// The Qt operator: real QMessageBoxes on the offscreen platform, answered
// from a timer on the user-interface thread by clicking or typing with QTest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

#include "link/messages.h"
#include "platform/event.h"
#include "platform/worker.h"
#include "tests/pty_host.h"
#include "ui/qt_operator.h"

namespace lumaset {
namespace {

using platform::Event;
using platform::NowMs;

// Hands every message box that comes up to `handler`, once, on the
// user-interface thread (a timer that looks for the active modal widget).
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::function<void(QMessageBox*)> handler) : handler_(std::move(handler)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box->property("seen").toBool()) return;
      box->setProperty("seen", true);
      ++seen_;
      handler_(box);
    });
    timer_.start();
  }
  int Seen() const { return seen_; }

 private:
  QTimer timer_;
  std::function<void(QMessageBox*)> handler_;
  int seen_ = 0;
};

void Click(QMessageBox* box, QMessageBox::StandardButton which) {
  QAbstractButton* button = box->button(which);
  ASSERT_NE(button, nullptr);
  QTest::mouseClick(button, Qt::LeftButton);
}

// Clicks `which` after delayMs, if the box is still there.
void ClickLater(QMessageBox* box, QMessageBox::StandardButton which, int delayMs) {
  QTimer::singleShot(delayMs, box, [box, which] { Click(box, which); });
}

int VisibleBoxes() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<QMessageBox*>(w) && w->isVisible();
  return n;
}

// A worker thread that raises one box and keeps the answer.
struct BoxRaiser {
  BoxRaiser(QtOperator& op, std::string text, unsigned type)
      : thread([this, &op, text = std::move(text), type] {
          answer = op.MessageBox(nullptr, text, "Caption", type);
          done.Set();
        }) {}
  ~BoxRaiser() {
    if (thread.joinable()) thread.join();
  }
  std::atomic<int> answer{0};
  Event done;
  std::thread thread;  // last: starts once the members above exist
};

// Makes `op` the process-wide operator for one test.
struct OperatorScope {
  explicit OperatorScope(platform::IOperator* op) { platform::SetOperator(op); }
  ~OperatorScope() { platform::SetOperator(nullptr); }
};

class OwnerWidget : public QWidget, public platform::IEventTarget {
 public:
  void Post(uint32_t, uint32_t, uint32_t) override {}
};

TEST(QtOperator, ABoxOnTheUiThreadReturnsThePressedButton) {
  QtOperator op;
  QString title, text;
  Qt::TextFormat format = Qt::AutoText;
  BoxAnswerer answerer([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    format = box->textFormat();
    Click(box, box->standardButtons() & QMessageBox::No ? QMessageBox::No : QMessageBox::Ok);
  });
  EXPECT_EQ(op.MessageBox(nullptr, "<b>等待回应失败!</b>", kErrorCaption, platform::kMbYesNoCancel), platform::kIdNo);
  EXPECT_EQ(title, QString::fromUtf8(kErrorCaption));
  // UTF-8 in, and shown as it is, not as markup.
  EXPECT_EQ(text, QString::fromUtf8("<b>等待回应失败!</b>"));
  EXPECT_EQ(format, Qt::PlainText);
  EXPECT_EQ(op.MessageBox(nullptr, "Go on?", "Caption", platform::kMbOkCancel), platform::kIdOk);
  EXPECT_EQ(answerer.Seen(), 2);
}

TEST(QtOperator, TypeBitsGiveButtonsDefaultIconAndEscapeAnswer) {
  using B = QMessageBox;
  struct Case {
    unsigned type;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    QMessageBox::Icon icon;
    int defaultAnswer, escapeAnswer;
  };
  const Case cases[] = {
      {platform::kMbOk, B::Ok, B::Ok, B::NoIcon, platform::kIdOk, platform::kIdOk},
      {platform::kMbOkCancel | platform::kMbIconQuestion | platform::kMbDefButton2, B::Ok | B::Cancel, B::Cancel,
       B::Question, platform::kIdCancel, platform::kIdCancel},
      {platform::kMbAbortRetryIgnore | platform::kMbIconError | platform::kMbDefButton3,
       B::Abort | B::Retry | B::Ignore, B::Ignore, B::Critical, platform::kIdIgnore, platform::kIdAbort},
      {platform::kMbYesNoCancel | platform::kMbIconWarning | platform::kMbDefButton3, B::Yes | B::No | B::Cancel,
       B::Cancel, B::Warning, platform::kIdCancel, platform::kIdCancel},
      {platform::kMbYesNo | platform::kMbIconInformation, B::Yes | B::No, B::Yes, B::Information, platform::kIdYes,
       platform::kIdNo},
      {platform::kMbYesNo | platform::kMbDefButton2, B::Yes | B::No, B::No, B::NoIcon, platform::kIdNo,
       platform::kIdNo},
      // A default beyond the last button falls back to the first.
      {platform::kMbRetryCancel | platform::kMbIconWarning | platform::kMbDefButton3, B::Retry | B::Cancel, B::Retry,
       B::Warning, platform::kIdRetry, platform::kIdCancel},
  };
  QtOperator op;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
      BoxAnswerer answerer([&](QMessageBox* box) {
        EXPECT_EQ(box->standardButtons(), c.buttons);
        EXPECT_EQ(box->defaultButton(), box->button(c.defaultButton));
        EXPECT_EQ(box->icon(), c.icon);
        QTest::keyClick(box, key);
      });
      EXPECT_EQ(op.MessageBox(nullptr, "text", "caption", c.type),
                key == Qt::Key_Return ? c.defaultAnswer : c.escapeAnswer);
      EXPECT_EQ(answerer.Seen(), 1);
    }
  }
}

TEST(QtOperator, ParentIsTheOwnersWidgetElseTheMainWindow) {
  QtOperator op;
  OwnerWidget owner;
  platform::IEventTarget* ownerTarget = &owner;
  test::RecordingTarget plainOwner;  // an event target that is no widget
  auto main = std::make_unique<QWidget>();
  op.SetMainWindow(main.get());
  QWidget* parent = nullptr;
  BoxAnswerer answerer([&](QMessageBox* box) {
    parent = box->parentWidget();
    Click(box, QMessageBox::Ok);
  });
  op.MessageBox(ownerTarget, "t", "c", platform::kMbOk);
  EXPECT_EQ(parent, &owner);
  op.MessageBox(&plainOwner, "t", "c", platform::kMbOk);
  EXPECT_EQ(parent, main.get());
  main.reset();  // the main window is gone: no parent, no dangling one
  op.MessageBox(&plainOwner, "t", "c", platform::kMbOk);
  EXPECT_EQ(parent, nullptr);
  EXPECT_EQ(answerer.Seen(), 3);
}

TEST(QtOperator, AWorkersBoxIsShownOnTheUiThreadAndItsAnswerReturned) {
  QtOperator op;
  std::atomic<bool> uiThread{false};
  bool answeredEarly = true;
  BoxRaiser* raiser = nullptr;
  BoxAnswerer answerer([&](QMessageBox* box) {
    uiThread = box->thread() == QApplication::instance()->thread() &&
               QThread::currentThread() == QApplication::instance()->thread();
    answeredEarly = raiser->done.IsSet();  // the worker must still be waiting
    ClickLater(box, QMessageBox::Yes, 100);
  });
  BoxRaiser worker(op, "from a worker", platform::kMbYesNo);
  raiser = &worker;
  ASSERT_TRUE(QTest::qWaitFor([&] { return worker.done.IsSet(); }, 10000));
  EXPECT_EQ(worker.answer, platform::kIdYes);
  EXPECT_TRUE(uiThread);
  EXPECT_FALSE(answeredEarly);
  EXPECT_FALSE(op.PendingBoxes()->IsSet());
}

TEST(QtOperator, BoxesOfSeveralThreadsComeOneAtATimeInTheOrderRaised) {
  QtOperator op;
  std::vector<QString> order;
  int mostVisible = 0;
  BoxAnswerer answerer([&](QMessageBox* box) {
    order.push_back(box->text());
    mostVisible = std::max(mostVisible, VisibleBoxes());
    // Long enough for the second request to arrive while the first is open.
    ClickLater(box, QMessageBox::Ok, 200);
  });
  BoxRaiser first(op, "first", platform::kMbOkCancel);
  ASSERT_TRUE(op.PendingBoxes()->Wait(5000));  // queued; not shown until events run
  BoxRaiser second(op, "second", platform::kMbOkCancel);
  ASSERT_TRUE(QTest::qWaitFor([&] { return first.done.IsSet() && second.done.IsSet(); }, 10000));
  EXPECT_EQ(order, (std::vector<QString>{"first", "second"}));
  EXPECT_EQ(mostVisible, 1);
  EXPECT_EQ(first.answer, platform::kIdOk);
  EXPECT_EQ(second.answer, platform::kIdOk);
}

// The user-interface thread stops a transfer whose thread reports the stop in
// a box: the box comes up during the stop, and the time it stays open does
// not make the thread look locked.
TEST(QtOperator, StopWorkerServesTheWorkersBoxAndRecordsNoOverrun) {
  QtOperator op;
  OperatorScope scope(&op);
  constexpr int kGraceMs = 2000;
  constexpr int kOpenMs = 2500;  // longer than the grace
  const int64_t start = NowMs();
  int64_t shownAt = -1;
  BoxAnswerer answerer([&](QMessageBox* box) {
    shownAt = NowMs() - start;
    ClickLater(box, QMessageBox::Ok, kOpenMs);
  });
  platform::Worker worker;
  Event stop;
  std::atomic<int> answer{0};
  ASSERT_TRUE(worker.Create([&] {
    stop.Wait(10000);
    answer = FixedMessageBox(nullptr, "Transfer cancelled", "Caption", platform::kMbOk);
    return 0x8888u;
  }));
  worker.Start();
  bool overran = false;
  // An overrun would leave the body in its box: the shutdown lets it end.
  platform::StopWorker(worker, stop, kGraceMs, [&] {
    overran = true;
    op.Shutdown();
  });
  const int64_t took = NowMs() - start;
  EXPECT_FALSE(overran);
  EXPECT_EQ(worker.ExitCode(), 0x8888u);
  EXPECT_FALSE(worker.Exists());
  EXPECT_EQ(answer, platform::kIdOk);
  EXPECT_GE(shownAt, 0);
  EXPECT_LT(shownAt, kGraceMs / 2);
  EXPECT_GT(took, kGraceMs);  // longer than the grace, yet no overrun
  EXPECT_EQ(answerer.Seen(), 1);
}

// Hold waits for the body to park; a body inside a box parks once its box,
// shown during the wait, is answered.
TEST(QtOperator, HoldServesTheBoxOfTheBodyItWaitsFor) {
  QtOperator op;
  OperatorScope scope(&op);
  BoxAnswerer answerer([&](QMessageBox* box) { ClickLater(box, QMessageBox::Ok, 1500); });
  platform::Worker worker;
  Event stop;
  std::atomic<bool> answered{false};
  ASSERT_TRUE(worker.Create([&] {
    FixedMessageBox(nullptr, "Port gone", "Caption", platform::kMbOk);
    answered = true;
    while (worker.ParkIfHeld(stop)) platform::WaitAny({&stop, &worker.HoldEvent()}, 1000);
    return 0x9988u;
  }));
  worker.Start();
  ASSERT_TRUE(op.PendingBoxes()->Wait(5000));
  worker.Hold(1000);  // shorter than the box stays open
  EXPECT_TRUE(answered);
  worker.Release();
  platform::StopWorker(worker, stop, 2000, [&] { op.Shutdown(); });
  EXPECT_EQ(worker.ExitCode(), 0x9988u);
}

TEST(QtOperator, ShutdownAnswersWaitingAndLaterBoxesSafely) {
  QtOperator op;
  BoxAnswerer answerer([&](QMessageBox* box) { Click(box, QMessageBox::Yes); });
  BoxRaiser waiting(op, "waiting", platform::kMbYesNo);
  ASSERT_TRUE(op.PendingBoxes()->Wait(5000));
  op.Shutdown();
  ASSERT_TRUE(waiting.done.Wait(5000));
  EXPECT_EQ(waiting.answer, platform::kIdNo);
  EXPECT_FALSE(op.PendingBoxes()->IsSet());
  {
    BoxRaiser later(op, "later", platform::kMbYesNoCancel);
    ASSERT_TRUE(later.done.Wait(5000));
    EXPECT_EQ(later.answer, platform::kIdCancel);
  }
  EXPECT_EQ(op.MessageBox(nullptr, "on the ui thread", "c", platform::kMbAbortRetryIgnore), platform::kIdAbort);
  QTest::qWait(100);  // the request posted before the shutdown shows nothing either
  EXPECT_EQ(answerer.Seen(), 0);
}

TEST(QtOperator, ShutdownClosesOpenBoxesWithTheSafeAnswer) {
  {
    QtOperator op;
    BoxAnswerer answerer([&](QMessageBox*) { op.Shutdown(); });
    EXPECT_EQ(op.MessageBox(nullptr, "open", "c", platform::kMbYesNo), platform::kIdNo);
    EXPECT_EQ(answerer.Seen(), 1);
  }
  {
    // The box of a worker, closed by a shutdown from a third thread.
    QtOperator op;
    std::thread closer;
    BoxAnswerer answerer([&](QMessageBox*) { closer = std::thread([&] { op.Shutdown(); }); });
    BoxRaiser worker(op, "open", platform::kMbYesNoCancel);
    ASSERT_TRUE(QTest::qWaitFor([&] { return worker.done.IsSet(); }, 10000));
    if (closer.joinable()) closer.join();
    EXPECT_EQ(worker.answer, platform::kIdCancel);
    EXPECT_EQ(answerer.Seen(), 1);
  }
  EXPECT_EQ(VisibleBoxes(), 0);
}

}  // namespace
}  // namespace lumaset
