/*
** This file contains the pieces of the core that belong to no single Win32 area: handle
** numbering, the fault seams, the report of unexpected events, the platform reset used by
** every test, the small C-runtime string calls of the subset, and the pointer side of the
** test API.
*/
#include <strings.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/core/core.h"
#include "platform/testing.h"

namespace {

struct FaultState {
  int skip;                 /* successful calls still to let through */
  int count;                /* failures still to cause */
};

constexpr int kFaultKinds = static_cast<int>(tbxtest::Fault::TimerArm) + 1;

std::mutex gFaultMu;                          /* guards gFaults */
FaultState gFaults[kFaultKinds];              /* one per tbxtest::Fault; any thread */

std::mutex gUnexpectedMu;                     /* guards gUnexpected */
std::function<void(const std::string&)> gUnexpected; /* test handler; empty = stderr */

std::atomic<uintptr_t> gHandleCounter{0};     /* last number handed out (all kinds share it) */

}  // namespace

uintptr_t NextHandle(HandleBase base) {
  /* 4-aligned, and far below the next base: 2^24 handles of each kind. */
  uintptr_t n = gHandleCounter.fetch_add(1) + 1;
  return base + 0x400 + 4 * (n & 0xFFFFFF);
}

/* ================================================================ faults and reports */

bool FaultStrikes(tbxtest::Fault fault) {
  std::lock_guard<std::mutex> lock(gFaultMu);
  FaultState& f = gFaults[static_cast<int>(fault)];
  if (f.count <= 0) return false;
  if (f.skip > 0) {
    f.skip--;
    return false;
  }
  f.count--;
  return true;
}

void ReportUnexpected(const std::string& what) {
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> lock(gUnexpectedMu);
    handler = gUnexpected;
  }
  if (handler)
    handler(what);
  else
    fprintf(stderr, "tamborix: unexpected: %s\n", what.c_str());
}

void CoreReset() {
  CoreQueueReset();
  CoreWindowsReset();
  CoreMenusReset();
  CoreGdiReset();
  CoreDialogsReset();
  CoreDropsReset();
}

namespace tbxtest {

void InjectFault(Fault fault, int skip, int count) {
  std::lock_guard<std::mutex> lock(gFaultMu);
  gFaults[static_cast<int>(fault)] = FaultState{skip < 0 ? 0 : skip, count < 0 ? 0 : count};
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(gFaultMu);
  for (auto& f : gFaults) f = FaultState{0, 0};
}

void SetUnexpectedHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lock(gUnexpectedMu);
  gUnexpected = std::move(handler);
}

/* The timer goes first: it stops every event, so no other thread calls in while the
** tables are cleared. Windows are forgotten without messages (a test's window procedure
** must not run against the next test's state). */
void PlatformReset() {
  CoreSetGuiThread();
  TimerMidiReset();
  CoreReset();
  CoreFilesReset();
  ClearFaults();
  DisplayReset();
  SetUnexpectedHandler(nullptr);
}

void PostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool control, bool shift) {
  CorePostInput(hwnd, message, wParam, lParam, (control ? KS_CONTROL : 0u) | (shift ? KS_SHIFT : 0u));
}

void SetPointer(int x, int y) { CoreSetPointer(x, y); }

POINT Pointer() { return gCorePointer; }

POINT ClientOrigin(HWND hwnd) {
  CoreWindow* w = FindWindowRec(hwnd);
  return w ? ClientOriginOf(*w) : POINT{0, 0};
}

}  // namespace tbxtest

/* ================================================================ threads and strings */
