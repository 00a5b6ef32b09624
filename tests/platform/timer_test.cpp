// The multimedia timer of the Linux layer: the manual clock's ordering rules, the real timer
// thread's drift-free re-arming, and stops that leave no tick behind (killed from another
// thread while a callback runs, or from inside a callback).
#include <gtest/gtest.h>

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
void CALLBACK StallingTick(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR a, DWORD_PTR b) {
  RecordTick(id, msg, user, a, b);
  if (++gStallRun == 2) Sleep(100);   // held up once, as by a message box
  if (gStallRun < 5) timeSetEvent(5, 5, StallingTick, user, TIME_ONESHOT);
}

TEST_F(TimerManual, StalledChainResumesAtItsPaceWithoutABurst) {
  gStallRun = 0;
  timeSetEvent(5, 5, StallingTick, 0, TIME_ONESHOT);
  tbxtest::AdvanceClock(200);
  ASSERT_EQ(gFired.size(), 5u);
  EXPECT_EQ(gFired[1].at, 10u);
  // Anchored to its due time the third event would be due at 15, long past: it is re-anchored
  // to the end of the stall instead of firing the missed ticks at once.
  EXPECT_EQ(gFired[2].at, 115u);
  EXPECT_EQ(gFired[3].at, 120u);
  EXPECT_EQ(gFired[4].at, 125u);
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
std::atomic<int> gRealLeft{0};
Clock::time_point gLastOnset;
void CALLBACK BusyChainTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  gLastOnset = Clock::now();
  // Work that would add up if re-arming were relative to the moment of arming.
  while (Clock::now() - gLastOnset < std::chrono::microseconds(1500)) {
  }
  if (--gRealLeft > 0) timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT);
}

TEST_F(TimerReal, RearmingFromTheCallbackDoesNotDrift) {
  gRealLeft = 200;
  Clock::time_point start = Clock::now();
  ASSERT_NE(timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT), 0u);
  for (int i = 0; i < 400 && gRealLeft.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(gRealLeft.load(), 0);
  double ms = std::chrono::duration<double, std::milli>(gLastOnset - start).count();
  EXPECT_GE(ms, 999.0);
  // Accumulated, the 1.5 ms of work would add 300 ms; the bound leaves room for a loaded machine.
  EXPECT_LT(ms, 1100.0) << "200 events of 5 ms with 1.5 ms of work each";
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

TEST_F(TimerReal, ResetLeavesNoThreadBehind) {
  tbxtest::PlatformReset();
  int before = ThreadCount();
  gRealLeft = 3;
  timeSetEvent(5, 5, BusyChainTick, 0, TIME_ONESHOT);
  timeSetEvent(1000, 5, RecordTick, 0, TIME_ONESHOT);   // still pending at the reset
  for (int i = 0; i < 100 && gRealLeft.load() > 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(ThreadCount(), before);
  tbxtest::PlatformReset();
  EXPECT_LE(ThreadCount(), before);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
}

}  // namespace
