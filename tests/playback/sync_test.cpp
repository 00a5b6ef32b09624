// The MIDI clock a run sends (24 a beat, locked to the steps, Start/Continue/Stop) and a run
// that follows a clock arriving at the loopback input, on the manual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/playback/playback_support.h"

namespace {

struct Timed {
  uint32_t ms;   // since the start command
  DWORD msg;
};

class SyncTest : public PlayTest {
 protected:
  // Advances `ms` one millisecond at a time; the steps posted go to `steps` with their time.
  void Run(uint32_t ms) {
    for (uint32_t t = 0; t < ms; ++t) Tick();
  }
  void Tick() {
    tbxtest::AdvanceClock(1);
    for (const MSG& m : tbxtest::PostedMessages())
      if (m.message == WM_TBX_PLAYPOS) steps.push_back({tbxtest::ClockNow() - t0, DWORD(m.wParam)});
    tbxtest::PumpMessages();
  }
  void Start(UINT id) {
    t0 = tbxtest::ClockNow();
    Command(id);
  }
  std::vector<Timed> Captured() const {
    std::vector<Timed> out;
    for (const auto& r : tbxtest::CapturedMidi()) out.push_back({r.timeMs - t0, r.message});
    return out;
  }
  static std::vector<uint32_t> Times(const std::vector<Timed>& msgs, DWORD status) {
    std::vector<uint32_t> out;
    for (const Timed& m : msgs)
      if ((m.msg & 0xFF) == status) out.push_back(m.ms);
    return out;
  }
  static std::vector<DWORD> RealTime(const std::vector<Timed>& msgs) {
    std::vector<DWORD> out;
    for (const Timed& m : msgs)
      if ((m.msg & 0xFF) >= 0xF8) out.push_back(m.msg & 0xFF);
    return out;
  }
  static std::string Tempo() {
    char sz[16] = "";
    GetWindowTextA(gHwndTEMPO, sz, sizeof sz);
    return sz;
  }
  bool CaptionWaits() const {
    char sz[400] = "";
    GetWindowTextA(hwnd, sz, sizeof sz);
    return std::string(sz) == "Tamborix - (Untitled) - waiting for MIDI clock";
  }
  uint32_t t0 = 0;
  std::vector<Timed> steps;   // (time, step index)
};

class PlaybackClockOut : public SyncTest {};
class PlaybackClockIn : public SyncTest {
 protected:
  void SetUp() override {
    SyncTest::SetUp();
    Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
    ASSERT_TRUE(SyncGet(SYNC_FOLLOW_CLOCK));
    ASSERT_TRUE(gbMidiInOpen) << "the input is open to hear a Start";
  }
  // Plays clocks at `bpm` for `clocks` clocks (the first one now), ticking the clock between
  // them; returns the arrival time of each (ms since t0).
  std::vector<uint32_t> Clocks(double bpm, int clocks) {
    std::vector<uint32_t> at;
    const double period = 2500.0 / bpm, from = tbxtest::ClockNow();
    for (int i = 0; i < clocks; ++i) {
      const uint32_t due = uint32_t(std::lround(from + i * period));
      while (tbxtest::ClockNow() < due) Tick();
      tbxtest::SendMidiInput(0, 0xF8);
      at.push_back(tbxtest::ClockNow() - t0);
    }
    return at;
  }
};

}  // namespace

// ---------------------------------------------------------------- clocks sent

TEST_F(PlaybackClockOut, TwentyFourABeatLockedToTheStepsForEveryRelBeat) {
  const int tenths[] = {960, 480, 240, 120, 80, 60, 48, 40, 30, 20};   // a step, in tenths of a clock
  for (int rel = 0; rel < 10; ++rel) {
    SCOPED_TRACE("rel.Beat " + std::to_string(rel));
    Command(IDM_RELBEAT + rel);
    Command(IDM_SYNC + SYNC_SEND_CLOCK);
    ASSERT_TRUE(SyncGet(SYNC_SEND_CLOCK));
    tbxtest::ClearCapturedMidi();
    steps.clear();
    Start(IDM_LOOP);
    Run(2 * gAdjustedBeat + 3 * 500 + 20);
    Command(IDM_STOP);
    const std::vector<Timed> msgs = Captured();
    const std::vector<uint32_t> clocks = Times(msgs, 0xF8);
    ASSERT_GE(steps.size(), 2u);
    const uint32_t first = steps[0].ms;
    ASSERT_FALSE(clocks.empty());
    EXPECT_EQ(clocks.front(), first) << "the first clock goes out with the first step";
    EXPECT_EQ(Times(msgs, 0xFA), std::vector<uint32_t>{first});
    // Every step that begins a beat has a clock at its own millisecond, and from one such
    // step to the next go 24 clocks a beat, evenly spread (whole ms, never early).
    size_t from = 0;
    for (size_t j = 1; j < steps.size(); ++j) {
      if ((j * tenths[rel]) % 240 != 0) continue;
      const uint32_t a = steps[from].ms, b = steps[j].ms;
      const int beats = int((j - from) * tenths[rel] / 240);
      std::vector<uint32_t> between;
      for (uint32_t c : clocks)
        if (c >= a && c < b) between.push_back(c);
      ASSERT_EQ(int(between.size()), 24 * beats) << "steps " << from << ".." << j;
      EXPECT_EQ(between.front(), a) << "step " << from;
      for (size_t i = 1; i < between.size(); ++i)
        EXPECT_NEAR(double(between[i] - between[i - 1]), double(b - a) / (24 * beats), 1.0) << "clock " << i;
      from = j;
    }
    EXPECT_GE(from, 1u) << "two beats were played";
    Command(IDM_SYNC + SYNC_SEND_CLOCK);
    ASSERT_FALSE(SyncGet(SYNC_SEND_CLOCK));
  }
}

TEST_F(PlaybackClockOut, StartContinueStopOrderAndNothingWhenUnchecked) {
  CellTogglePerc(0, 3);
  Start(IDM_LOOP);
  Run(1200);
  Command(IDM_STOP);
  EXPECT_EQ(RealTime(Captured()), std::vector<DWORD>{}) << "no clock when the item is unchecked";

  Command(IDM_SYNC + SYNC_SEND_CLOCK);
  tbxtest::ClearCapturedMidi();
  Start(IDM_LOOP);
  Run(1200);
  Command(IDM_STOP);
  std::vector<DWORD> order;
  for (const Timed& m : Captured()) {
    const DWORD s = m.msg & 0xFF;
    if (s == 0xF8 && !order.empty() && order.back() == 0xF8) continue;   // clocks: once
    if (s >= 0xF8 || s == 0x99 || s == 0xB9) order.push_back(s);
  }
  // Start with the first step's clock, before its note; Stop before the All Notes Off.
  EXPECT_EQ(order, (std::vector<DWORD>{0xFA, 0xF8, 0x99, 0xF8, 0xFC, 0xB9}));

  tbxtest::ClearCapturedMidi();
  steps.clear();
  Start(IDM_CONTINUE);
  Run(600);
  std::vector<Timed> msgs = Captured();
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(Times(msgs, 0xFB), std::vector<uint32_t>{steps[0].ms}) << "Continue, with the first step";
  EXPECT_EQ(Times(msgs, 0xF8).front(), steps[0].ms);
  EXPECT_EQ(Times(msgs, 0xFA), std::vector<uint32_t>{});

  // A stop at the loop end sends Stop too.
  Command(IDM_STOP);
  tbxtest::ClearCapturedMidi();
  HeaderSet(gTbro.LoopEnd, 2);
  Start(IDM_LOOP);
  Command(IDM_STOPATEND);
  Run(2000);
  ASSERT_FALSE(gbSequenceGoing);
  msgs = Captured();
  EXPECT_EQ(Times(msgs, 0xFC).size(), 1u);
  EXPECT_EQ(RealTime(msgs).back(), 0xFCu) << "no clock after the Stop";
}

TEST_F(PlaybackClockOut, ATempoChangeMovesTheNextClock) {
  Command(IDM_RELBEAT + 2);   // "* 1": a step a beat, 500 ms at 120 BPM
  Command(IDM_SYNC + SYNC_SEND_CLOCK);
  Start(IDM_LOOP);
  Run(500 + 100);              // the first step at 500, and five clocks of it
  giTempo = 60;                // as the tempo bar sets it
  gMsecPerBeat = 1000;
  AdjustBeat();
  Run(2500);
  Command(IDM_STOP);
  const std::vector<uint32_t> clocks = Times(Captured(), 0xF8);
  ASSERT_GE(steps.size(), 3u);
  size_t i = 1;
  for (; clocks[i] < 600; ++i) {
    EXPECT_NEAR(double(clocks[i] - clocks[i - 1]), 20.8, 1.0);
  }
  // The step now ends at 750 (half 250 at the old tempo, the rest at the new): the next
  // clock already keeps the longer way there.
  EXPECT_EQ(steps[1].ms, 1250u);
  EXPECT_GT(clocks[i] - clocks[i - 1], 30u) << "the clock after the change";
  bool onStep = false;
  for (uint32_t c : clocks) onStep |= c == steps[1].ms;
  EXPECT_TRUE(onStep) << "the next beat's step has its clock";
  for (; i < clocks.size(); ++i) {
    if (clocks[i - 1] < steps[1].ms) continue;
    EXPECT_NEAR(double(clocks[i] - clocks[i - 1]), 1000.0 / 24, 1.0) << i;
  }
}

// ---------------------------------------------------------------- a clock followed

TEST_F(PlaybackClockIn, StartsFollowsHoldsAndStops) {
  EXPECT_FALSE(IsWindowEnabled(gHwndBPMScroll)) << "the tempo bar is disabled while following";
  Command(IDM_RELBEAT + 5);    // "* 4": six clocks a step
  t0 = tbxtest::ClockNow();
  // Notes while stopped are neither taken nor echoed (no output is open).
  EXPECT_TRUE(tbxtest::SendMidiInput(0, NoteOnMsg(9, 36, 100)));
  Clocks(60, 30);              // a master running before its Start
  EXPECT_FALSE(gbSequenceGoing);
  tbxtest::SendMidiInput(0, 0xFA);
  Tick();
  ASSERT_TRUE(gbSequenceGoing) << "Start starts Loop File";
  EXPECT_TRUE(Checked(IDM_LOOP));
  Run(100);
  EXPECT_FALSE(CaptionWaits()) << "a clock a little late is no wait yet";
  Run(100);
  EXPECT_EQ(Tempo(), "ext") << "the run waits for its first clock";
  EXPECT_TRUE(CaptionWaits());
  std::vector<uint32_t> at = Clocks(60, 48);   // two beats at 60 BPM
  Run(5);
  EXPECT_FALSE(CaptionWaits());
  ASSERT_EQ(steps.size(), 8u);
  for (size_t j = 0; j < steps.size(); ++j) {
    EXPECT_EQ(steps[j].msg, j) << "step " << j;
    EXPECT_GE(steps[j].ms, at[6 * j]) << "step " << j << " never before its clock";
    EXPECT_LE(steps[j].ms, at[6 * j] + 1) << "step " << j;
  }
  EXPECT_EQ(Tempo(), "60");

  // 180 BPM: the read-out within two beats, the steps on every sixth clock.
  steps.clear();
  at = Clocks(180, 48);
  Run(2);
  EXPECT_EQ(Tempo(), "180");
  EXPECT_EQ(giTempo, 180);
  ASSERT_EQ(steps.size(), 8u);
  for (size_t j = 0; j < steps.size(); ++j) EXPECT_LE(steps[j].ms - at[6 * j], 1u) << "step " << j;

  // A gap: the run holds its position, and goes on when the clock comes back.
  steps.clear();
  const int32_t held = gIndex;
  Run(1500);
  EXPECT_TRUE(steps.empty());
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(gIndex, held);
  EXPECT_EQ(Tempo(), "ext") << "it waits for the clock again";
  EXPECT_TRUE(CaptionWaits());
  at = Clocks(180, 12);
  Run(2);
  EXPECT_EQ(Tempo(), "180");
  EXPECT_FALSE(CaptionWaits());
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(int(steps[0].msg), held + 1);
  EXPECT_LE(steps[0].ms - at[0], 5u) << "the first clock back is the next step's";

  tbxtest::SendMidiInput(0, 0xFC);
  Tick();
  EXPECT_FALSE(gbSequenceGoing) << "Stop stops";
  EXPECT_TRUE(Checked(IDM_STOP));
  Run(2);
  EXPECT_TRUE(gbMidiInOpen) << "and the input listens for the next Start";
  for (const auto& r : tbxtest::CapturedMidi())
    EXPECT_NE(r.message, NoteOnMsg(9, 36, 100)) << "the note played while stopped was not echoed";

  // Play waits for the next clock; stopped while it waits, nothing says it waits any more.
  Command(IDM_LOOP);
  Run(200);
  EXPECT_TRUE(CaptionWaits());
  Command(IDM_STOP);
  Tick();
  EXPECT_EQ(Tempo(), "180");
  EXPECT_FALSE(CaptionWaits());

  Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
  EXPECT_TRUE(IsWindowEnabled(gHwndBPMScroll));
  EXPECT_FALSE(gbMidiInOpen);
}

TEST_F(PlaybackClockIn, ContinueAndForwardingToTheOutput) {
  Command(IDM_RELBEAT + 9);    // "*12": two clocks a step
  Command(IDM_SYNC + SYNC_SEND_CLOCK);
  t0 = tbxtest::ClockNow();
  tbxtest::SendMidiInput(0, 0xFA);
  Tick();
  ASSERT_TRUE(gbSequenceGoing);
  Clocks(120, 10);
  Run(3);
  EXPECT_EQ(steps.size(), 5u);
  tbxtest::SendMidiInput(0, 0xFC);
  Tick();
  ASSERT_FALSE(gbSequenceGoing);
  const int32_t stopped = gIndex;
  tbxtest::ClearCapturedMidi();
  steps.clear();
  tbxtest::SendMidiInput(0, 0xFB);
  Tick();
  ASSERT_TRUE(gbSequenceGoing) << "Continue continues";
  EXPECT_TRUE(Checked(IDM_CONTINUE));
  const std::vector<uint32_t> at = Clocks(120, 4);
  Run(3);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(int(steps[0].msg), stopped + 1);
  // The clocks followed go out again, each with the step it belongs to, after Continue.
  const std::vector<Timed> msgs = Captured();
  EXPECT_EQ(RealTime(msgs), (std::vector<DWORD>{0xFB, 0xF8, 0xF8, 0xF8, 0xF8}));
  const std::vector<uint32_t> out = Times(msgs, 0xF8);
  ASSERT_EQ(out.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_LE(out[i] - at[i], 1u) << i;
  EXPECT_EQ(out[0], steps[0].ms);
  EXPECT_EQ(out[2], steps[1].ms);

  // Unchecked while the run follows: it goes on by itself, and its clock with it.
  Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
  tbxtest::ClearCapturedMidi();
  steps.clear();
  Run(1000);
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_NEAR(double(steps.size()), 1000.0 / 41, 1.0) << "a step every 41 ms (120 BPM, \"*12\")";
  EXPECT_NEAR(double(Times(Captured(), 0xF8).size()), 48.0, 2.0);

  // Checked again during the run (it played on by itself afterwards): the next step waits
  // for the next clock, the run follows from there and holds when the clock stops.
  Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
  Run(200);
  steps.clear();
  tbxtest::ClearCapturedMidi();
  Run(300);
  EXPECT_TRUE(steps.empty()) << "no clock, no step";
  const std::vector<uint32_t> back = Clocks(150, 6);
  Run(3);
  ASSERT_EQ(steps.size(), 3u);
  for (size_t j = 0; j < steps.size(); ++j) EXPECT_LE(steps[j].ms - back[2 * j], 1u) << "step " << j;
  const std::vector<uint32_t> passed = Times(Captured(), 0xF8);
  ASSERT_EQ(passed.size(), back.size()) << "each clock followed is passed on";
  for (size_t i = 0; i < back.size(); ++i) EXPECT_LE(passed[i] - back[i], 1u) << i;
  steps.clear();
  Run(1000);
  EXPECT_TRUE(steps.empty()) << "the clock stopped: the run waits";
  EXPECT_TRUE(gbSequenceGoing);
}
