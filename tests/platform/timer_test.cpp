// The multimedia timer of the Linux layer: the manual clock's ordering rules, the real timer
// thread's drift-free re-arming, and stops that leave no tick behind (killed from another
// thread while a callback runs, or from inside a callback).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <dirent.h>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/core/internal.h"
#include "platform/testing.h"
#include "platform/win32.h"

namespace {

class TimerTestBase : public ::testing::Test {
 protected:
  void SetUp() override { tbxtest::PlatformReset(); }
  void TearDown() override { tbxtest::PlatformReset(); }
};

/* ------------------------------------------------------------------ manual clock */

struct Fired {
  UINT id;
  int tag;
  uint32_t at;   // ClockNow() inside the callback
};
std::mutex gFiredMu;
std::vector<Fired> gFired;

void CALLBACK RecordTick(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  std::lock_guard<std::mutex> lock(gFiredMu);
  gFired.push_back({id, static_cast<int>(user), tbxtest::ClockNow()});
}

class TimerManual : public TimerTestBase {
 protected:
  void SetUp() override {
    TimerTestBase::SetUp();
    tbxtest::UseManualClock(true);
    gFired.clear();
  }
  std::vector<int> Tags() {
    std::vector<int> tags;
    for (const Fired& f : gFired) tags.push_back(f.tag);
    return tags;
  }
};

TEST_F(TimerManual, DueEventsRunInDueOrderWithTiesInArmingOrder) {
  ASSERT_NE(timeSetEvent(30, 5, RecordTick, 1, TIME_ONESHOT), 0u);
  ASSERT_NE(timeSetEvent(10, 5, RecordTick, 2, TIME_ONESHOT), 0u);
  ASSERT_NE(timeSetEvent(20, 5, RecordTick, 3, TIME_ONESHOT), 0u);
  ASSERT_NE(timeSetEvent(10, 5, RecordTick, 4, TIME_ONESHOT), 0u);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 4);

  tbxtest::AdvanceClock(9);
  EXPECT_TRUE(gFired.empty()) << "time stands still until it is advanced past the deadline";
  tbxtest::AdvanceClock(6);
  EXPECT_EQ(Tags(), (std::vector<int>{2, 4}));
  EXPECT_EQ(gFired[0].at, 10u) << "a callback sees the clock at its own due time";
  EXPECT_EQ(tbxtest::ClockNow(), 15u);
  tbxtest::AdvanceClock(100);
  EXPECT_EQ(Tags(), (std::vector<int>{2, 4, 3, 1}));
  EXPECT_EQ(gFired[3].at, 30u);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

std::atomic<int> gChainLeft{0};
void CALLBACK ChainTick(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR a, DWORD_PTR b) {
  RecordTick(id, msg, user, a, b);
  if (--gChainLeft > 0) timeSetEvent(static_cast<UINT>(user), 5, ChainTick, user, TIME_ONESHOT);
}

TEST_F(TimerManual, EventsArmedWhileAdvancingRunInTheSameAdvance) {
  gChainLeft = 100;
  timeSetEvent(5, 5, ChainTick, 5, TIME_ONESHOT);
  tbxtest::AdvanceClock(52);
  ASSERT_EQ(gFired.size(), 10u);
  for (size_t i = 0; i < gFired.size(); i++) EXPECT_EQ(gFired[i].at, 5u * (i + 1));
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 1) << "the event due at 55 waits";
  EXPECT_EQ(tbxtest::ClockNow(), 52u);
}

TEST_F(TimerManual, SleepOnlyMovesTheClockAndSwitchingResetsIt) {
  timeSetEvent(10, 5, RecordTick, 1, TIME_ONESHOT);
  Sleep(25);
  EXPECT_TRUE(gFired.empty());
  EXPECT_EQ(timeGetTime(), 25u);
  tbxtest::AdvanceClock(0);
  ASSERT_EQ(gFired.size(), 1u) << "the overdue event runs at the next advance";
  EXPECT_EQ(gFired[0].at, 25u);

  timeSetEvent(10, 5, RecordTick, 2, TIME_ONESHOT);
  tbxtest::UseManualClock(true);
  EXPECT_EQ(tbxtest::ClockNow(), 0u);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
  tbxtest::AdvanceClock(100);
  EXPECT_EQ(gFired.size(), 1u);
}

TEST_F(TimerManual, KilledEventNeverRuns) {
  UINT a = timeSetEvent(10, 5, RecordTick, 1, TIME_ONESHOT);
  UINT b = timeSetEvent(10, 5, RecordTick, 2, TIME_ONESHOT);
  ASSERT_NE(a, b);
  EXPECT_EQ(timeKillEvent(a), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_NE(timeKillEvent(a), static_cast<MMRESULT>(TIMERR_NOERROR)) << "a second kill finds nothing";
  tbxtest::AdvanceClock(20);
  EXPECT_EQ(Tags(), (std::vector<int>{2}));
  EXPECT_NE(timeKillEvent(b), static_cast<MMRESULT>(TIMERR_NOERROR)) << "an event that ran is gone";
}

TEST_F(TimerManual, CapsPeriodsAndRefusedEvents) {
  TIMECAPS tc;
  ASSERT_EQ(timeGetDevCaps(&tc, sizeof tc), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(tc.wPeriodMin, 1u);
  EXPECT_EQ(tc.wPeriodMax, 1000000u);
  EXPECT_EQ(timeBeginPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(timeEndPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));

  tbxtest::SetTimerCaps(10, 100);
  ASSERT_EQ(timeGetDevCaps(&tc, sizeof tc), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(tc.wPeriodMin, 10u);
  EXPECT_NE(timeBeginPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(timeSetEvent(5, 5, RecordTick, 0, TIME_ONESHOT), 0u) << "delay below the minimum";
  EXPECT_EQ(timeSetEvent(101, 5, RecordTick, 0, TIME_ONESHOT), 0u) << "delay above the maximum";
  EXPECT_EQ(timeSetEvent(50, 5, RecordTick, 0, TIME_PERIODIC), 0u) << "only one-shot events";
  EXPECT_EQ(timeSetEvent(50, 5, nullptr, 0, TIME_ONESHOT), 0u);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);

  tbxtest::InjectFault(tbxtest::Fault::TimerArm, 1, 1);
  EXPECT_NE(timeSetEvent(50, 5, RecordTick, 0, TIME_ONESHOT), 0u);
  EXPECT_EQ(timeSetEvent(50, 5, RecordTick, 0, TIME_ONESHOT), 0u) << "the injected failure";
  EXPECT_NE(timeSetEvent(50, 5, RecordTick, 0, TIME_ONESHOT), 0u);
}

std::atomic<int> gStallRun{0};
std::atomic<int> gStallMs{0};
void CALLBACK StallingTick(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR a, DWORD_PTR b) {
  RecordTick(id, msg, user, a, b);
  if (++gStallRun == 2) Sleep(gStallMs.load());   // held up once
  if (gStallRun < 12) timeSetEvent(5, 5, StallingTick, user, TIME_ONESHOT);
}

TEST_F(TimerManual, ChainThatFellBehindCatchesUpOnItsGrid) {
  gStallRun = 0;
  gStallMs = 22;   // a late wake-up: the events due at 15, 20, 25 and 30 have passed
  timeSetEvent(5, 5, StallingTick, 0, TIME_ONESHOT);
  tbxtest::AdvanceClock(200);
  ASSERT_EQ(gFired.size(), 12u);
  EXPECT_EQ(gFired[1].at, 10u);
  for (int i = 2; i <= 5; i++) EXPECT_EQ(gFired[i].at, 32u) << "overdue event " << i << " runs at once";
  for (int i = 6; i < 12; i++) EXPECT_EQ(gFired[i].at, 5u * (i + 1)) << "event " << i << " is back on the grid";
}

TEST_F(TimerManual, ChainHeldUpLongResumesAtItsPaceWithoutABurst) {
  gStallRun = 0;
  gStallMs = 1500;   // a callback waiting for a message box
  timeSetEvent(5, 5, StallingTick, 0, TIME_ONESHOT);
  tbxtest::AdvanceClock(2000);
  ASSERT_EQ(gFired.size(), 12u);
  EXPECT_EQ(gFired[1].at, 10u);
  // The missed events are not fired in a burst: the chain is re-anchored to the end of the wait.
  for (int i = 2; i < 12; i++) EXPECT_EQ(gFired[i].at, 1510u + 5u * (i - 1)) << "event " << i;
}

/* A step clock in miniature: each callback arms its successor and keeps its id; a stop
** kills the id it reads. */
std::atomic<UINT> gCurrentId{0};
std::atomic<int> gStopAfter{-1};
std::atomic<int> gRuns{0};
void CALLBACK SelfStoppingTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  int run = ++gRuns;
  gCurrentId = timeSetEvent(5, 5, SelfStoppingTick, 0, TIME_ONESHOT);
  if (run == gStopAfter.load()) timeKillEvent(gCurrentId);   // the stop made on the timer thread
}

TEST_F(TimerManual, StopFromInsideACallbackEndsTheChain) {
  gRuns = 0;
  gStopAfter = 3;
  timeSetEvent(5, 5, SelfStoppingTick, 0, TIME_ONESHOT);
  tbxtest::AdvanceClock(100);
  EXPECT_EQ(gRuns.load(), 3);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

/* ------------------------------------------------------------------ real timer thread */

class TimerReal : public TimerTestBase {
 protected:
  void SetUp() override {
    TimerTestBase::SetUp();
    tbxtest::UseManualClock(false);
  }
};

using Clock = std::chrono::steady_clock;
constexpr int kChain = 200;
std::atomic<int> gRealLeft{0};
Clock::time_point gOnsets[kChain];   // written by the timer thread before gRealLeft drops
void CALLBACK BusyChainTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  Clock::time_point now = Clock::now();
  int left = gRealLeft.load();
  if (left > 0 && left <= kChain) gOnsets[kChain - left] = now;
  // Work that would add up if re-arming were relative to the moment of arming.
  while (Clock::now() - now < std::chrono::microseconds(1500)) {
  }
  if (--gRealLeft > 0) timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT);
}

TEST_F(TimerReal, RearmingFromTheCallbackDoesNotDrift) {
  // 200 events of 5 ms, each doing 1.5 ms of work: accumulated, the work would add 300 ms.
  // A machine so busy that one wake-up came 50 ms late cannot show that; it is measured again.
  for (int attempt = 0; attempt < 3; attempt++) {
    gRealLeft = kChain;
    Clock::time_point start = Clock::now();
    ASSERT_NE(timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT), 0u);
    for (int i = 0; i < 1000 && gRealLeft.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(gRealLeft.load(), 0);
    double end = std::chrono::duration<double, std::milli>(gOnsets[kChain - 1] - start).count();
    double worstGap = 0;
    for (int i = 1; i < kChain; i++)
      worstGap = std::max(worstGap, std::chrono::duration<double, std::milli>(gOnsets[i] - gOnsets[i - 1]).count());
    if (worstGap > 50) continue;
    EXPECT_GE(end, 999.0);
    EXPECT_LT(end, 1060.0);
    return;
  }
  GTEST_SKIP() << "the machine was too busy to keep 5 ms deadlines";
}

std::atomic<bool> gInside{false};
std::atomic<bool> gFinished{false};
std::atomic<int> gSlowRuns{0};
std::atomic<UINT> gRunningId{0};
void CALLBACK SlowTick(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  gSlowRuns++;
  gRunningId = id;
  gFinished = false;
  gInside = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  gCurrentId = timeSetEvent(5, 5, SlowTick, 0, TIME_ONESHOT);   // the re-arm a stop must catch
  gFinished = true;
}

TEST_F(TimerReal, KillWhileTheCallbackRunsWaitsAndLeavesNoTick) {
  gInside = false;
  gSlowRuns = 0;
  gCurrentId = timeSetEvent(5, 5, SlowTick, 0, TIME_ONESHOT);
  while (!gInside.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The stop reads the id of the event now running: its successor is not armed yet.
  UINT seen = gCurrentId.load();
  EXPECT_EQ(seen, gRunningId.load());
  EXPECT_EQ(timeKillEvent(seen), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_TRUE(gFinished.load()) << "the kill returns only after the running callback";
  int runs = gSlowRuns.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_EQ(gSlowRuns.load(), runs) << "the re-arm made during the kill is void";
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

std::atomic<bool> gGuiCallRan{false};
void CALLBACK GuiCallingTick(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  gSlowRuns++;
  gRunningId = id;
  gFinished = false;
  gInside = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));   // the kill is waiting by now
  RunOnGuiThread([] { gGuiCallRan = true; });                    // e.g. a message box
  gCurrentId = timeSetEvent(5, 5, GuiCallingTick, 0, TIME_ONESHOT);
  gFinished = true;
}

TEST_F(TimerReal, KillKeepsServingTheWindowThreadWhileItWaits) {
  // The fixture's reset made this thread the window thread.
  gInside = false;
  gSlowRuns = 0;
  gGuiCallRan = false;
  gCurrentId = timeSetEvent(5, 5, GuiCallingTick, 0, TIME_ONESHOT);
  while (!gInside.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(timeKillEvent(gCurrentId.load()), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_TRUE(gGuiCallRan.load());
  EXPECT_TRUE(gFinished.load());
  int runs = gSlowRuns.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(gSlowRuns.load(), runs);
}

TEST_F(TimerReal, StopFromInsideACallbackDoesNotDeadlock) {
  gRuns = 0;
  gStopAfter = 4;
  ASSERT_NE(timeSetEvent(5, 5, SelfStoppingTick, 0, TIME_ONESHOT), 0u);
  for (int i = 0; i < 200 && gRuns.load() < 4; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(gRuns.load(), 4);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') n++;
    closedir(d);
  }
  return n;
}

/* The threads of the process once a joined thread has left /proc/self/task too: the kernel
** lets a thread's join return before its entry there is gone, so a count right after a join
** may still hold it for a moment (longer on a busy machine). At most a second. */
int ThreadCountAfterJoins(int atMost = 0) {
  int n = ThreadCount();
  for (int i = 0; i < 100; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int again = ThreadCount();
    if (again == n && (atMost == 0 || n <= atMost)) break;
    n = again;
  }
  return n;
}

TEST_F(TimerReal, ResetLeavesNoThreadBehind) {
  // One event first: threads the runtime starts with the first thread of a process (a
  // sanitizer's background thread) are then counted in `before`.
  gRealLeft = 1;
  timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT);
  for (int i = 0; i < 100 && gRealLeft.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  tbxtest::PlatformReset();
  const int before = ThreadCountAfterJoins();
  gRealLeft = 3;
  timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT);
  timeSetEvent(1000, 5, RecordTick, 0, TIME_ONESHOT);   // still pending at the reset
  for (int i = 0; i < 100 && gRealLeft.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(ThreadCount(), before);
  tbxtest::PlatformReset();
  EXPECT_LE(ThreadCountAfterJoins(before), before);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

}  // namespace
