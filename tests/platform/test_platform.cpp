#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "resources/resource_ids.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/language.h"
#include "platform/worker.h"
#include "tests/pty_host.h"

namespace lumaset::platform {
namespace {

TEST(Event, ManualResetAndWaitAny) {
  Event a, b(true);
  EXPECT_FALSE(a.IsSet());
  EXPECT_TRUE(b.Wait(0));
  EXPECT_EQ(WaitAny({&a, nullptr, &b}, 0), 2);
  b.Reset();
  EXPECT_EQ(WaitAny({&a, &b}, 50), -1);
  std::thread setter([&] {
    SleepMs(100);
    a.Set();
  });
  int64_t ms = test::TimeMs([&] { EXPECT_EQ(WaitAny({&b, &a}, 5000), 1); });
  setter.join();
  EXPECT_LT(ms, 3000);
  EXPECT_TRUE(a.Wait(0));  // stays set
  EXPECT_TRUE(SleepUnlessSet(a, 5000));
}

TEST(Worker, StartsOnlyThroughTheGate) {
  Worker w;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(w.Create([&] {
    ran = true;
    return 0x9988u;
  }));
  SleepMs(100);
  EXPECT_FALSE(ran);
  w.Start();
  EXPECT_TRUE(w.Join(2000));
  EXPECT_TRUE(ran);
  EXPECT_EQ(w.ExitCode(), 0x9988u);
  EXPECT_FALSE(w.Exists());
}

TEST(Worker, HoldParksTheBodyUntilReleased) {
  Worker w;
  Event stop;
  std::atomic<int> passes{0};
  ASSERT_TRUE(w.Create([&] {
    while (w.ParkIfHeld(stop)) {
      ++passes;
      WaitAny({&stop, &w.HoldEvent()}, 20);
    }
    return 1u;
  }));
  w.Start();
  SleepMs(100);
  w.Hold();
  w.Hold();  // counts, like suspending twice
  int frozen = passes;
  SleepMs(150);
  EXPECT_EQ(passes, frozen);
  w.Release();
  SleepMs(100);
  EXPECT_EQ(passes, frozen);  // still held once
  w.Release();
  w.Release();  // never below zero
  EXPECT_EQ(w.HoldCount(), 0);
  SleepMs(100);
  EXPECT_GT(passes, frozen);
  StopWorker(w, stop, 2000, [] { FAIL() << "the body should have stopped in time"; });
  EXPECT_EQ(w.ExitCode(), 1u);
}

// A release followed at once by a hold: the body may wake for the release,
// but once Hold has returned it must not run on. Many rounds with gaps of a
// few microseconds, the time a woken body needs to get going.
TEST(Worker, NothingRunsAfterHoldReturnsEvenRightAfterARelease) {
  Worker w;
  Event stop;
  std::atomic<int> passes{0};
  ASSERT_TRUE(w.Create([&] {
    while (w.ParkIfHeld(stop)) {
      ++passes;
      WaitAny({&stop, &w.HoldEvent()}, kInfinite);
    }
    return 1u;
  }));
  w.Start();
  w.Hold();
  std::mt19937 random(7);
  int rounds = 0, slipped = 0;
  Deadline deadline(5000);
  while (rounds < 40000 && !deadline.Passed()) {
    ++rounds;
    w.Release();
    test::SpinMicroseconds(static_cast<int>(random() % 12));
    w.Hold();
    const int atHold = passes;
    test::SpinMicroseconds(30);
    if (passes != atHold) ++slipped;
  }
  EXPECT_EQ(slipped, 0) << "in " << rounds << " rounds";
  EXPECT_GT(passes, 0);  // the body did run between release and hold
  w.Release();
  StopWorker(w, stop, 2000, [] { FAIL() << "the body should have stopped in time"; });
}

TEST(Worker, AnOverrunIsReportedThenJoined) {
  Worker w;
  Event stop, late;
  ASSERT_TRUE(w.Create([&] {
    late.Wait(5000);  // ignores the stop event on purpose
    return 7u;
  }));
  w.Start();
  bool reported = false;
  std::thread unblock([&] {
    SleepMs(400);
    late.Set();
  });
  StopWorker(w, stop, 100, [&] { reported = true; });
  unblock.join();
  EXPECT_TRUE(reported);
  EXPECT_EQ(w.ExitCode(), kExitOverran);
  EXPECT_FALSE(w.Exists());
}

TEST(LanguageLibraries, EveryNumberInBothLanguages) {
  LanguageLibrary en, cn;
  std::string error;
  ASSERT_TRUE(en.Load(LanguageLibraryName(0), &error)) << error;
  ASSERT_TRUE(cn.Load(LanguageLibraryName(1), &error)) << error;
  EXPECT_EQ(en.Table()->language, 0u);
  EXPECT_EQ(cn.Table()->language, 1u);
  int differ = 0;
  for (unsigned id : res::kRequiredStrings) {
    ASSERT_NE(en.String(id), nullptr) << id;
    ASSERT_NE(cn.String(id), nullptr) << id;
    EXPECT_STRNE(en.String(id), "") << id;
    differ += std::string(en.String(id)) != cn.String(id);
  }
  EXPECT_GT(differ, 15);
  // The two tables hold the same numbers.
  EXPECT_EQ(en.Table()->stringCount, cn.Table()->stringCount);
  for (unsigned i = 0; i < en.Table()->stringCount; ++i) EXPECT_NE(cn.String(en.Table()->strings[i].id), nullptr);

  SetCurrentLanguage(&cn);
  EXPECT_EQ(LoadString(res::kStrCaption), cn.String(res::kStrCaption));
  EXPECT_EQ(LoadString(4242), "#4242");
  cn.Unload();  // unloading the current library leaves no dangling source
  EXPECT_EQ(LoadString(res::kStrCaption), "#59407");
  EXPECT_FALSE(en.Load("libTavloraXX.so", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace lumaset::platform
