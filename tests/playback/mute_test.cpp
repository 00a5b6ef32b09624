// The Mute menu's sound patterns: which bars sound, per part, across the loop's wrap, a
// change of mode during a run, and a mode change racing the clock's bar count.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/playback/playback_support.h"

namespace {

class MuteCycles : public PlayTest {
 protected:
  void SetUp() override {
    PlayTest::SetUp();
    HeaderSet(gTbro.LoopEnd, 16);  // four bars of four steps, a drum and a note on each step
    for (int s = 0; s < 16; ++s) {
      CellTogglePerc(s, 3);
      CellToggleVoice(s, 2);
    }
  }
  // Plays `bars` bars and returns, per bar, whether its first step's drum (or note) sounded.
  std::vector<int> Bars(int bars, int channel) {
    Take();
    Advance(uint32_t(bars) * 4 * 500);
    std::vector<int> out;
    int step = 0;
    for (DWORD m : NoteOns(Take())) {
      if (int(m & 0x0F) != channel) continue;
      if (step++ % 4 == 0) out.push_back((m >> 16) != 0);
    }
    return out;
  }
};

}  // namespace

TEST_F(MuteCycles, OneOnOneOff) {
  Command(IDM_MUTE + 1);
  EXPECT_TRUE(Checked(IDM_MUTE + 1));
  EXPECT_FALSE(Checked(IDM_MUTE));
  Command(IDM_LOOP);
  EXPECT_EQ(Bars(6, 9), (std::vector<int>{0, 1, 0, 1, 0, 1}));
}

TEST_F(MuteCycles, FourOnFourOffRunsOnAcrossTheWrap) {
  Command(IDM_MUTE + 7);
  Command(IDM_LOOP);
  EXPECT_EQ(Bars(15, 0), (std::vector<int>{1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0}));
}

TEST_F(MuteCycles, PartVariantsLeaveTheOtherPartSounding) {
  Command(IDM_MUTE + 10);  // "Instr 4on:4off"
  Command(IDM_LOOP);
  Advance(16 * 500);
  std::vector<DWORD> ons = NoteOns(Take());
  int silentDrums = 0, silentNotes = 0;
  for (DWORD m : ons) ((m & 0x0F) == 9 ? silentDrums : silentNotes) += (m >> 16) == 0;
  EXPECT_EQ(silentDrums, 0);
  EXPECT_EQ(silentNotes, 4);  // bar 4

  TambroEndSequence();
  Command(IDM_MUTE + 8);  // "Perc 4on:4off"
  Command(IDM_LOOP);
  EXPECT_EQ(Bars(5, 9), (std::vector<int>{1, 1, 1, 0, 0}));
  TambroEndSequence();
  Command(IDM_MUTE + 8);
  Command(IDM_LOOP);
  EXPECT_EQ(Bars(5, 0), (std::vector<int>{1, 1, 1, 1, 1}));
}

TEST_F(MuteCycles, ChangesDuringARun) {
  Command(IDM_MUTE + 1);
  Command(IDM_LOOP);
  Advance(500);  // bar 1 begins silent
  EXPECT_TRUE(gbMute);
  Command(IDM_MUTE);  // "Perm.Sound": the very next step sounds
  Take();
  Advance(500);
  EXPECT_NE(NoteOns(Take()).front() >> 16, 0u);

  // Choosing the checked entry again starts its cycle over.
  Command(IDM_MUTE + 7);
  Advance(2 * 500);  // to the end of bar 1
  EXPECT_EQ(Bars(4, 9), (std::vector<int>{1, 1, 1, 0}));  // now in a silent phase
  Command(IDM_MUTE + 7);
  EXPECT_FALSE(gbMute);
  EXPECT_EQ(gSoundCount, 4);
  EXPECT_EQ(Bars(3, 9), (std::vector<int>{1, 1, 1}));
}

// Mode changes on one thread against bar starts on another: the count never leaves the
// range of the modes (a late decrement never wraps it below 0).
TEST_F(MuteCycles, ModeChangeRacingABarStart) {
  std::atomic<bool> done{false};
  std::thread clock([&done] {
    while (!done) {
      MuteBarStart();
      int16_t c = gSoundCount;
      if (c < 0 || c > 8) ADD_FAILURE() << "count " << c;
    }
  });
  for (int i = 0; i < 20000; ++i) {
    gMute = int16_t(i % 12);
    SetMuteMode();
  }
  done = true;
  clock.join();
  int16_t c = gSoundCount;
  EXPECT_GE(c, 0);
  EXPECT_LE(c, 8);
}
