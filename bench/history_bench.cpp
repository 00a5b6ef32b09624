/*
** tbx_history_bench: what a step of the undo history costs on the 144-step program. Not a
** test: it prints figures.
**
** Every word of the pattern gets a distinct value, then HISTORY_LEVELS rotations of the
** whole play range are made, each one step in which every word of every step changes: the
** worst case of an undo or redo, which flips all 6 x 146 words. It times each undo back to
** the first state and each redo forward again (median, 99th percentile and maximum, in
** microseconds; the maximum includes the moments the thread was not running), and the copy
** a sync takes of the pattern, and the bytes those steps take in the history's pool.
**
** Usage: tbx_history_bench [--rounds N]   (default 20 rounds of HISTORY_LEVELS undos and redos)
*/
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/testing.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Report(const char* what, std::vector<double>& us) {
  const long over = std::count_if(us.begin(), us.end(), [](double t) { return t >= 1000.0; });
  std::sort(us.begin(), us.end());
  std::printf("%-28s median %6.1f us   99th %6.1f us   max %7.1f us   %ld of %zu over 1 ms\n", what,
              us[us.size() / 2], us[us.size() * 99 / 100], us.back(), over, us.size());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20;
  for (int i = 1; i + 1 < argc; i++)
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[++i]));

  SetStepCount(144);
  tbxtest::PlatformReset();
  ResetAllState();
  std::mt19937 rng(1);
  uint32_t* arrays[] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  for (uint32_t* a : arrays)
    for (int s = 0; s < STEP_SLOTS; s++) StepSet(a, s, rng() | 1u);
  HistorySync();
  for (int i = 0; i < HISTORY_LEVELS; i++) {
    HistoryBegin();
    RotateLeft();
    HistoryCommit();
  }

  const size_t bytes = HistoryBytes();
  std::vector<double> undo, redo, copy;
  for (int r = 0; r < rounds; r++) {
    for (int i = 0; i < HISTORY_LEVELS; i++) {
      const Clock::time_point t0 = Clock::now();
      const bool ok = HistoryUndo();
      undo.push_back(Micros(Clock::now() - t0));
      if (!ok) return std::printf("undo %d failed\n", i), 1;
    }
    for (int i = 0; i < HISTORY_LEVELS; i++) {
      const Clock::time_point t0 = Clock::now();
      const bool ok = HistoryRedo();
      redo.push_back(Micros(Clock::now() - t0));
      if (!ok) return std::printf("redo %d failed\n", i), 1;
    }
    PatternState state;
    const Clock::time_point t0 = Clock::now();
    TakePatternState(&state);
    copy.push_back(Micros(Clock::now() - t0));
  }
  std::printf("tamborix144, %d levels, %zu bytes a step (a record: %d)\n", static_cast<int>(HISTORY_LEVELS),
              bytes / HISTORY_LEVELS, TBRO_SIZE);
  Report("undo (every word flipped)", undo);
  Report("redo (every word flipped)", redo);
  Report("copy of the pattern", copy);
  return 0;
}
