// The step clock on the real timer thread: it keeps to its grid, and a stop (from the window
// thread, from inside a callback, or while a callback runs) leaves no tick behind. MIDI input
// arrives on a thread of its own meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/playback/playback_support.h"

namespace {

class PlaybackRealTimer : public PlayTest {
 protected:
  void SetUp() override {
    PlayTest::SetUp();
    tbxtest::UseManualClock(false);
    gMsecPerBeat = 118;  // 506 BPM, 12 steps a beat: 10 ms steps at the 5 ms resolution
    gRelBeat = 9;
    AdjustBeat();
    for (int s = 0; s < STEP_COUNT; ++s) CellTogglePerc(s, 3);
  }
  // Pumps the window's queue until cond holds or two seconds have passed.
  template <class Cond>
  bool WaitFor(Cond cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > end) return false;
      tbxtest::PumpMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // After a stop: nothing pending, devices closed, and nothing more is sent.
  void ExpectSilentAfterStop() {
    EXPECT_FALSE(gbSequenceGoing);
    EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
    EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
    size_t sent = tbxtest::CapturedMidi().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    tbxtest::PumpMessages();
    EXPECT_EQ(tbxtest::CapturedMidi().size(), sent);
  }
};

}  // namespace

TEST_F(PlaybackRealTimer, KeepsToTheGridAndStops) {
  const uint32_t t0 = tbxtest::ClockNow();
  Command(IDM_LOOP);
  ASSERT_TRUE(WaitFor([t0] { return tbxtest::ClockNow() - t0 >= 1250; }));  // some 120 steps
  TambroEndSequence();
  ExpectSilentAfterStop();

  std::vector<uint32_t> onsets;
  for (const auto& r : tbxtest::CapturedMidi())
    if ((r.message & 0xF0) == 0x90) onsets.push_back(r.timeMs);
  ASSERT_GE(onsets.size(), 120u);
  // Onsets are anchored to the ideal grid: no drift accumulates over the run.
  const uint32_t first = onsets.front();
  const uint32_t last = onsets.back();
  const uint32_t ideal = first + 10u * uint32_t(onsets.size() - 1);
  EXPECT_LE(last > ideal ? last - ideal : ideal - last, 30u);
}

TEST_F(PlaybackRealTimer, StopFromInsideACallback) {
  HeaderSet(gTbro.LoopEnd, 30);
  Command(IDM_LOOP);
  Command(IDM_STOPATEND);
  ASSERT_TRUE(WaitFor([] { return !gbSequenceGoing; }));
  EXPECT_EQ(gIndex, 0);
  ExpectSilentAfterStop();
}

TEST_F(PlaybackRealTimer, StopWhileCallbacksRun) {
  for (int cycle = 0; cycle < 8; ++cycle) {
    Command(IDM_LOOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + 4 * cycle));
    Command(IDM_STOP);
    ExpectSilentAfterStop();
    tbxtest::PumpMessages();
  }
}

TEST_F(PlaybackRealTimer, InputFromAnotherThreadLandsWhilePlaying) {
  for (int s = 0; s < STEP_COUNT; ++s) CellTogglePerc(s, 3);  // an empty pattern
  Command(IDM_LOOP);
  std::atomic<bool> done{false};
  std::thread player([&done] {
    for (int i = 0; i < 200; ++i) {
      tbxtest::SendMidiInput(0, NoteOnMsg(9, 38, 100));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
  });
  bool finished = WaitFor([&done] { return done.load(); });
  player.join();
  ASSERT_TRUE(finished);
  ASSERT_TRUE(WaitFor([] { return gMidiInFill == 0; }));
  Command(IDM_STOP);
  ExpectSilentAfterStop();
  int recorded = 0;
  for (int s = 0; s < STEP_COUNT; ++s) recorded += CellPerc(s, 5);
  EXPECT_GT(recorded, 5);
}
