/*
** tbx_timer_bench: how closely the step clock keeps to its ideal grid on the real timer
** thread. Not a test: it prints figures.
**
** For each setting it plays a pattern with one drum note on every step, on the real clock,
** through the program's own step clock (TambroFirstFile, two one-shot events a step) into a
** capture output, and takes the time of every note-on with steady_clock as it leaves the
** step event. Step k (from 0) ideally sounds (k + 1) step lengths after the start, a step
** being its two delays each raised to the timer resolution. Beside it, in the same process,
** a bare loop sleeps to the same absolute deadlines with clock_nanosleep(TIMER_ABSTIME):
** the wake-up latency of the machine itself, the floor the step clock is measured against.
**
** Figures: lateness of each onset against its ideal time (median, 99th percentile, maximum,
** in ms) and the drift at the end (lateness of the last onset).
**
** Usage: tbx_timer_bench [--steps N]   (default 2000 steps per setting; the 120 BPM setting
** takes N x 125 ms twice, step clock and bare loop: about eight minutes at the default).
*/
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/midi/midi_internal.h"
#include "platform/testing.h"
#include "playback/playback.h"

namespace {

using Clock = std::chrono::steady_clock;

struct BenchTempo {
  int bpm;
  int relBeat;          /* rel.Beat index */
  const char* label;    /* as the menu shows the factor */
};

/* Onset times of the run being measured, written by the timer thread. */
std::vector<Clock::time_point> gOnsets;  /* reserved before the run: no allocation while it plays */
std::atomic<size_t> gOnsetCount{0};      /* entries of gOnsets filled */

void OnCapture(int, uint32_t message, int64_t) {
  if ((message & 0xF0) != 0x90 || ((message >> 16) & 0x7F) == 0) return;
  size_t i = gOnsetCount.load();
  if (i < gOnsets.size()) {
    gOnsets[i] = Clock::now();
    gOnsetCount = i + 1;
  }
}

struct Figures {
  double median, p99, max, drift;   /* ms */
};

Figures Summarise(const std::vector<double>& late) {
  std::vector<double> s(late);
  std::sort(s.begin(), s.end());
  auto at = [&s](double q) { return s[std::min(s.size() - 1, static_cast<size_t>(q * (s.size() - 1) + 0.5))]; };
  return Figures{at(0.5), at(0.99), s.back(), late.back()};
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

/* The step clock: `steps` onsets of the program's own sequencer. */
std::vector<double> RunStepClock(int steps, int stepMs) {
  gOnsets.assign(steps, Clock::time_point());
  gOnsetCount = 0;
  MidiSetSendObserver(OnCapture);
  Clock::time_point start = Clock::now();
  if (!TambroFirstFile(0, 0, 0)) {
    std::fprintf(stderr, "tbx_timer_bench: the step clock did not start\n");
    std::exit(1);
  }
  while (gOnsetCount.load() < static_cast<size_t>(steps)) {
    tbxtest::PumpMessages();   /* the play-position messages of every step */
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  TambroEndSequence();
  MidiSetSendObserver(nullptr);
  tbxtest::PumpMessages();
  std::vector<double> late(steps);
  for (int k = 0; k < steps; k++)
    late[k] = Ms(gOnsets[k] - start) - static_cast<double>(k + 1) * stepMs;
  return late;
}

/* The floor: a bare loop sleeping to the same absolute deadlines. */
std::vector<double> RunBareLoop(int steps, int stepMs) {
  std::vector<double> late(steps);
  std::thread t([&late, steps, stepMs] {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int k = 0; k < steps; k++) {
      long long ns = start.tv_nsec + static_cast<long long>(k + 1) * stepMs * 1000000LL;
      timespec due{start.tv_sec + static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
      }
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      late[k] = (now.tv_sec - due.tv_sec) * 1e3 + (now.tv_nsec - due.tv_nsec) / 1e6;
    }
  });
  t.join();
  return late;
}

void Print(const char* what, const Figures& f) {
  std::printf("  %-22s median %7.3f  p99 %7.3f  max %7.3f  drift at end %7.3f ms\n", what, f.median, f.p99,
              f.max, f.drift);
}

}  // namespace

int main(int argc, char** argv) {
  int steps = 2000;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
      steps = std::max(10, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: tbx_timer_bench [--steps N]\n");
      return 2;
    }
  }

  tbxtest::PlatformReset();
  tbxtest::UseManualClock(false);
  tbxtest::SetMidiDevices({"Capture Out"}, {"Loopback In"});
  ResetAllState();
  HWND hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  if (!hwnd) {
    std::fprintf(stderr, "tbx_timer_bench: the main window was not created\n");
    return 1;
  }
  for (int s = 0; s < STEP_COUNT; s++) StepOr(gTbro.PercL, s, 1u << 3);   /* bass drum, note 36 */
  gbLooping = 1;
  gbStopAtEnd = 0;

  const BenchTempo settings[] = {{506, 9, "*12"}, {120, 5, "* 4"}};
  for (const BenchTempo& st : settings) {
    giTempo = st.bpm;
    gMsecPerBeat = static_cast<int16_t>(60000 / st.bpm);
    gRelBeat = static_cast<int16_t>(st.relBeat);
    AdjustBeat();
    TIMECAPS tc;
    timeGetDevCaps(&tc, sizeof tc);
    const int res = static_cast<int>(std::min<UINT>(std::max<UINT>(tc.wPeriodMin, 5), tc.wPeriodMax));
    const int half = std::max<int>(gHalfBeat, res);
    const int rest = std::max<int>(gAdjustedBeat - gHalfBeat, res);
    const int stepMs = half + rest;
    std::printf("%d BPM, rel.Beat \"%s\": step %d ms (halves %d -> %d and %d -> %d ms), %d steps\n", st.bpm,
                st.label, static_cast<int>(gAdjustedBeat), static_cast<int>(gHalfBeat), half,
                gAdjustedBeat - gHalfBeat, rest, steps);
    std::fflush(stdout);
    Print("step clock", Summarise(RunStepClock(steps, stepMs)));
    Print("bare absolute sleep", Summarise(RunBareLoop(steps, stepMs)));
    std::fflush(stdout);
  }
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
  return 0;
}
