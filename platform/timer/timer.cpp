/*
** The multimedia timer of the Linux layer: timeGetDevCaps, timeBeginPeriod/timeEndPeriod,
** one-shot timeSetEvent/timeKillEvent, timeGetTime and Sleep, on one of two clocks.
**
** The real clock runs every event on one timer thread that sleeps until absolute deadlines
** (std::chrono::steady_clock). The manual clock (tests, the command line) stands still until
** AdvanceClock; due events then run synchronously on the advancing thread. Both clocks share
** the event table and the rules below, so a test on the manual clock exercises the same
** arming and killing code as the program.
**
** Deadlines. An event armed from inside a timer callback is due `delay` ms after that
** callback's own due time, not after the moment of arming: the callback's run time and the
** thread's wake-up latency never accumulate, so a chain of one-shot events keeps to its ideal
** grid. A chain that fell behind (a busy machine, a late wake-up) catches up: the events
** whose deadlines have passed run at once, and the grid holds. Only a chain held up for
** longer than kMaxLagNs (a callback waiting for a message box) is re-anchored to now, so it
** resumes at its own pace instead of firing a long run of missed events in one burst. An
** event armed from any other thread is due `delay` ms after now.
**
** Killing. After timeKillEvent returns, the killed event never runs. A kill made from a
** thread other than the one running a callback, while that callback runs, also waits for
** the callback to return and voids every event that callback arms (before or after the kill
** began): the killer may have read the id of the event now running, which is about to arm
** its successor, and a stop must leave no tick behind. While it waits, the killer keeps
** serving calls marshalled to the window thread, since the callback may be waiting for one
** of them (a message box). A kill from inside a callback (a sequence stopping itself on the
** timer thread) only removes the pending event and returns at once.
**
** Threads: the event table and the running-callback record are guarded by T.mu; the clock
** readings are atomics so that ClockNow and timeGetTime may be read from any thread.
*/
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/core/internal.h"
#include "platform/midi/midi_internal.h"
#include "platform/testing.h"
#include "platform/win32.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kMaxLagNs = 1000 * kNsPerMs;  /* re-anchor a chain that fell this far behind */
constexpr UINT kDefaultPeriodMin = 1;          /* ms, timeGetDevCaps */
constexpr UINT kDefaultPeriodMax = 1000000;    /* ms, timeGetDevCaps */

struct TimerEvent {
  UINT id;                  /* the handle timeSetEvent returned */
  int64_t due;              /* ns on the active clock */
  uint64_t seq;             /* arming order: breaks ties between equal deadlines */
  LPTIMECALLBACK proc;
  DWORD_PTR user;
  uint64_t armedBy;         /* run number of the callback that armed it; 0 = outside one */
};

/* All timer state. Written under mu unless marked atomic. */
struct TimerState {
  std::mutex mu;
  std::condition_variable wake;     /* timer thread: new event, or shutdown */
  std::condition_variable ran;      /* killers: the running callback returned */
  std::vector<TimerEvent> pending;  /* armed and not yet run; a handful at most */
  UINT nextId = 1;                  /* next event id; 0 means failure. Not reset, so an id from
                                    ** before a reset never names a later event */
  uint64_t nextSeq = 1;             /* next arming sequence number */
  TIMECAPS caps = {kDefaultPeriodMin, kDefaultPeriodMax};

  std::atomic<bool> manual{false};       /* manual clock active (else real) */
  std::atomic<int64_t> manualNow{0};     /* ns, manual clock reading */
  std::atomic<int64_t> realEpoch{0};     /* steady_clock ns at the last reset of the real clock */

  /* The callback running now (on the timer thread, or on a thread in AdvanceClock). */
  uint64_t runCounter = 0;          /* run numbers handed out so far */
  uint64_t running = 0;             /* run number of the callback running now; 0 = none */
  std::thread::id runThread;        /* the thread it runs on */
  bool runVoided = false;           /* a kill from another thread came: its re-arms are void */

  std::thread thread;               /* the real clock's timer thread, started on first use */
  bool quit = false;                /* ask the timer thread to end */
};

TimerState T;                       /* the one timer; see TimerState */

/* The callback this thread is running now, if any (its run number and due time, ns). */
thread_local uint64_t tlsRun = 0;
thread_local int64_t tlsDue = 0;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch())
      .count();
}

/* The active clock's reading, ns since its last reset. */
int64_t NowNs() {
  if (T.manual.load()) return T.manualNow.load();
  return SteadyNs() - T.realEpoch.load();
}

/* Index of the earliest pending event (ties: the one armed first); -1 when none. */
int EarliestPending() {
  int best = -1;
  for (int i = 0; i < static_cast<int>(T.pending.size()); i++) {
    const TimerEvent& e = T.pending[i];
    if (best < 0 || e.due < T.pending[best].due ||
        (e.due == T.pending[best].due && e.seq < T.pending[best].seq))
      best = i;
  }
  return best;
}

void RemoveArmedBy(uint64_t run) {
  std::erase_if(T.pending, [run](const TimerEvent& e) { return e.armedBy == run; });
}

/* Runs one event taken out of the table. Called with the lock held; returns with it held
** and the lock released while the callback runs. */
void RunEvent(std::unique_lock<std::mutex>& lock, const TimerEvent& e) {
  uint64_t run = ++T.runCounter;
  T.running = run;
  T.runThread = std::this_thread::get_id();
  T.runVoided = false;
  lock.unlock();
  uint64_t outerRun = tlsRun;
  int64_t outerDue = tlsDue;
  tlsRun = run;
  tlsDue = e.due;
  e.proc(e.id, 0, e.user, 0, 0);
  tlsRun = outerRun;
  tlsDue = outerDue;
  lock.lock();
  if (T.runVoided) RemoveArmedBy(run);
  T.running = 0;
  T.runVoided = false;
  T.ran.notify_all();
}

/* Waits, lock held, until the callback running now on another thread (if any) returns, and
** voids every event it arms. The window thread keeps serving its marshalled calls. */
void WaitForRunningCallback(std::unique_lock<std::mutex>& lock) {
  if (T.running == 0 || T.runThread == std::this_thread::get_id()) return;
  uint64_t run = T.running;
  T.runVoided = true;
  RemoveArmedBy(run);
  while (T.running == run) {
    T.ran.wait_for(lock, std::chrono::milliseconds(1));
    if (T.running != run) break;
    lock.unlock();
    PumpGuiCalls();
    lock.lock();
  }
}

void TimerThreadMain() {
  std::unique_lock<std::mutex> lock(T.mu);
  while (!T.quit) {
    int next = T.manual.load() ? -1 : EarliestPending();
    if (next < 0) {
      T.wake.wait(lock);
      continue;
    }
    int64_t due = T.pending[next].due;
    if (due > NowNs()) {
      SteadyClock::time_point deadline{std::chrono::nanoseconds(due + T.realEpoch.load())};
      T.wake.wait_until(lock, deadline);
      continue;   /* the table may have changed: look again */
    }
    TimerEvent e = T.pending[next];
    T.pending.erase(T.pending.begin() + next);
    RunEvent(lock, e);
  }
}

/* The timer thread asks for realtime scheduling at the lowest priority: above every ordinary
** thread (a busy machine then delays a step by microseconds, not milliseconds), below an
** audio server's threads, which must never wait for it. Its callbacks only ever wait
** (a message box, a file), never spin. Where the system refuses, it runs as it is. */
void EnsureTimerThread() {
  if (!T.thread.joinable()) {
    T.quit = false;
    T.thread = std::thread(TimerThreadMain);
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(T.thread.native_handle(), SCHED_FIFO, &param);
  }
}

/* Stops and joins the timer thread (it is restarted by the next real event). The thread is
** told to quit before the wait, so that it starts no other callback once the running one
** returns, and it stays the timer thread (an event armed meanwhile starts no second one). */
void StopTimerThread() {
  std::unique_lock<std::mutex> lock(T.mu);
  if (!T.thread.joinable()) return;
  T.quit = true;
  T.wake.notify_all();
  WaitForRunningCallback(lock);
  std::thread th = std::move(T.thread);
  lock.unlock();
  if (th.get_id() == std::this_thread::get_id())
    th.detach();
  else
    th.join();
}

/* Ends the timer thread when the program ends, so no joinable std::thread is destroyed. */
struct TimerThreadGuard {
  ~TimerThreadGuard() { StopTimerThread(); }
} gTimerThreadGuard;   /* static lifetime only; holds nothing */

/* Empties the table and resets the chosen clock to 0 (lock held). */
void ResetClockLocked(std::unique_lock<std::mutex>& lock, bool manual) {
  WaitForRunningCallback(lock);
  T.pending.clear();
  T.manualNow = 0;
  T.realEpoch = SteadyNs();
  T.manual = manual;
  T.wake.notify_all();
}

}  // namespace

/* ---------------------------------------------------------------- Win32 calls */

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
  if (!ptc || cbtc < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  std::lock_guard<std::mutex> lock(T.mu);
  *ptc = T.caps;
  return TIMERR_NOERROR;
}

/* The resolution is not adjustable here: deadlines are kept to the nanosecond anyway. A
** period outside the capabilities is refused as Windows refuses it. */
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
  std::lock_guard<std::mutex> lock(T.mu);
  return uPeriod < T.caps.wPeriodMin || uPeriod > T.caps.wPeriodMax ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
  return timeBeginPeriod(uPeriod);
}

/* One-shot events with a callback function only (TIME_KILL_SYNCHRONOUS is accepted and is
** how every kill behaves anyway). A delay outside the capabilities, a periodic event or an
** event-object callback returns 0, as does the TimerArm fault. */
MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK lpTimeProc,
                             DWORD_PTR dwUser, UINT fuEvent) {
  (void)uResolution;
  if (FaultStrikes(tbxtest::Fault::TimerArm)) return 0;
  if (!lpTimeProc || (fuEvent & ~static_cast<UINT>(TIME_KILL_SYNCHRONOUS)) != TIME_ONESHOT) return 0;
  std::unique_lock<std::mutex> lock(T.mu);
  if (uDelay < T.caps.wPeriodMin || uDelay > T.caps.wPeriodMax) return 0;
  UINT id = T.nextId++;
  if (T.nextId == 0) T.nextId = 1;
  /* An event armed by a callback that a kill has voided gets an id but never runs. */
  if (tlsRun != 0 && T.running == tlsRun && T.runVoided) return id;
  int64_t now = NowNs();
  int64_t delay = static_cast<int64_t>(uDelay) * kNsPerMs;
  int64_t due = now + delay;
  if (tlsRun != 0 && tlsDue + delay >= now - kMaxLagNs) due = tlsDue + delay;
  T.pending.push_back(TimerEvent{id, due, T.nextSeq++, lpTimeProc, dwUser, tlsRun});
  if (!T.manual.load()) {
    EnsureTimerThread();
    T.wake.notify_all();
  }
  return id;
}

MMRESULT WINAPI timeKillEvent(UINT uTimerID) {
  std::unique_lock<std::mutex> lock(T.mu);
  auto it = std::find_if(T.pending.begin(), T.pending.end(),
                         [uTimerID](const TimerEvent& e) { return e.id == uTimerID; });
  bool found = it != T.pending.end();
  if (found) T.pending.erase(it);
  bool waited = T.running != 0 && T.runThread != std::this_thread::get_id();
  WaitForRunningCallback(lock);
  if (!T.manual.load()) T.wake.notify_all();
  return found || waited ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
}

/* ms since the clock was last reset (Windows counts from boot; only differences matter). */
DWORD WINAPI timeGetTime(void) {
  return static_cast<DWORD>(NowNs() / kNsPerMs);
}

/* On the manual clock Sleep moves time on and runs nothing: due events wait for the next
** AdvanceClock. */
void WINAPI Sleep(DWORD dwMilliseconds) {
  if (T.manual.load()) {
    std::lock_guard<std::mutex> lock(T.mu);
    T.manualNow += static_cast<int64_t>(dwMilliseconds) * kNsPerMs;
    return;
  }
  if (dwMilliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

/* ---------------------------------------------------------------- test API */

namespace tbxtest {

void UseManualClock(bool manual) {
  std::unique_lock<std::mutex> lock(T.mu);
  ResetClockLocked(lock, manual);
}

bool ManualClockActive() {
  return T.manual.load();
}

void AdvanceClock(uint32_t ms) {
  std::unique_lock<std::mutex> lock(T.mu);
  if (!T.manual.load()) return;
  int64_t target = T.manualNow.load() + static_cast<int64_t>(ms) * kNsPerMs;
  /* A callback that advances the clock itself only moves it, as Sleep does. */
  if (tlsRun == 0) {
    for (;;) {
      while (T.running != 0) T.ran.wait(lock);   /* one callback at a time, whichever thread */
      int next = EarliestPending();
      if (next < 0 || T.pending[next].due > target) break;
      TimerEvent e = T.pending[next];
      T.pending.erase(T.pending.begin() + next);
      if (e.due > T.manualNow.load()) T.manualNow = e.due;
      RunEvent(lock, e);
      if (!T.manual.load()) return;   /* a callback switched clocks: nothing more to run */
    }
  }
  if (T.manualNow.load() < target) T.manualNow = target;
}

uint32_t ClockNow() {
  return static_cast<uint32_t>(NowNs() / kNsPerMs);
}

int PendingTimerEvents() {
  std::lock_guard<std::mutex> lock(T.mu);
  return static_cast<int>(T.pending.size());
}

void SetTimerCaps(UINT periodMin, UINT periodMax) {
  std::lock_guard<std::mutex> lock(T.mu);
  T.caps.wPeriodMin = periodMin;
  T.caps.wPeriodMax = periodMax;
}

}  // namespace tbxtest

/* Deadlines: see the top of the file. */
BOOL TbxTimerAnchored(void) {
  return TRUE;
}

LONGLONG TbxTimerDueUs(void) {
  return (tlsRun != 0 ? tlsDue : NowNs()) / 1000;
}

/* ---------------------------------------------------------------- layer internals */

bool TimerCallbackDue(int64_t* steadyNs) {
  if (tlsRun == 0 || T.manual.load()) return false;
  *steadyNs = tlsDue + T.realEpoch.load();
  return true;
}

int64_t TimerClockUs(int64_t steadyNs) {
  if (T.manual.load()) return NowNs() / 1000;
  return (steadyNs - T.realEpoch.load()) / 1000;
}

namespace {

void TimerReset() {
  StopTimerThread();
  std::unique_lock<std::mutex> lock(T.mu);
  ResetClockLocked(lock, false);
  T.caps = TIMECAPS{kDefaultPeriodMin, kDefaultPeriodMax};
}

}  // namespace

void TimerMidiReset() {
  TimerReset();   /* first: no callback may send to a device being closed */
  MidiReset();
}
