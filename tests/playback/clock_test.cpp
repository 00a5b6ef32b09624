// The step clock: tempo arithmetic, event timing, the steps played and their order, note
// output with velocities, splits and release markers, the run states of the Play menu.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/playback/playback_support.h"

namespace {

std::string RelText() {
  char sz[16] = "";
  GetWindowTextA(gHwndREL, sz, sizeof sz);
  return sz;
}

struct BeatRow {
  int rel, adjusted, half;
  const char* label;
};

class PlaybackTempo : public PlayTest {};
class PlaybackSteps : public PlayTest {};
class PlaybackNotes : public PlayTest {};
class PlaybackRunStates : public PlayTest {};

}  // namespace

TEST_F(PlaybackTempo, StepLengthTable) {
  const BeatRow rows[] = {{0, 2000, 1000, "/ 4"}, {1, 1000, 500, "/ 2"}, {2, 500, 250, "* 1"},
                          {3, 250, 125, "* 2"},   {4, 166, 83, "* 3"},   {5, 125, 62, "* 4"},
                          {6, 100, 50, "* 5"},    {7, 83, 41, "* 6"},    {8, 62, 31, "* 8"},
                          {9, 41, 20, "*12"},     {10, 500, 250, "* 1"}};
  gMsecPerBeat = 500;
  for (const BeatRow& r : rows) {
    gRelBeat = int16_t(r.rel);
    AdjustBeat();
    EXPECT_EQ(gAdjustedBeat, r.adjusted) << r.rel;
    EXPECT_EQ(gHalfBeat, r.half) << r.rel;
    EXPECT_EQ(RelText(), r.label) << r.rel;
  }
  // 506 BPM: 118 ms a beat, 12 steps a beat: 9 ms steps, halves of 4 and 5.
  gMsecPerBeat = 118;
  gRelBeat = 9;
  AdjustBeat();
  EXPECT_EQ(gAdjustedBeat, 9);
  EXPECT_EQ(gHalfBeat, 4);
}

TEST_F(PlaybackTempo, EventTiming) {
  CellTogglePerc(0, 3);
  CellTogglePerc(1, 3);
  HeaderSet(gTbro.LoopEnd, 2);
  Command(IDM_LOOP);
  ASSERT_TRUE(gbSequenceGoing);
  EXPECT_EQ(Advance(499), std::vector<int>{});
  EXPECT_EQ(Advance(1), std::vector<int>{0});  // first step one step after the start
  EXPECT_EQ(Advance(500), std::vector<int>{1});

  // The first half of 4 ms is raised to the 5 ms resolution; the second half is 5 ms.
  TambroEndSequence();
  tbxtest::SetTimerCaps(1, 1000);
  gMsecPerBeat = 118;
  gRelBeat = 9;
  AdjustBeat();
  Take();
  uint32_t t0 = tbxtest::ClockNow();
  Command(IDM_LOOP);
  EXPECT_EQ(guTimerRes, 5u);
  Advance(40);
  std::vector<uint32_t> onsets;
  for (const auto& r : tbxtest::CapturedMidi())
    if ((r.message & 0xF0) == 0x90) onsets.push_back(r.timeMs - t0);
  EXPECT_EQ(onsets, (std::vector<uint32_t>{10, 20, 30, 40}));
}

TEST_F(PlaybackTempo, ResolutionFromCaps) {
  tbxtest::SetTimerCaps(8, 1000);
  Command(IDM_LOOP);
  EXPECT_EQ(guTimerRes, 8u);
  TambroEndSequence();
  tbxtest::SetTimerCaps(2, 1000);
  Command(IDM_LOOP);
  EXPECT_EQ(guTimerRes, 5u);
}

TEST_F(PlaybackSteps, ProgramChangeThenStepZeroAsAWrap) {
  gVoice = 5;
  gVoiceCh = 2;
  CellTogglePerc(0, 3);
  CellTogglePerc(1, 4);
  Command(IDM_LOOP);
  EXPECT_EQ(Take(), std::vector<DWORD>{0x05C2u});
  EXPECT_EQ(gIndex, -1);
  Advance(500);
  // Step 0 ends nothing (no step before it) and, as a wrap, keeps the first-beat flag.
  EXPECT_EQ(Take(), std::vector<DWORD>{NoteOnMsg(9, 36, 64)});
  EXPECT_TRUE(gbFirstBeat);
  Advance(500);
  EXPECT_EQ(Take(), (std::vector<DWORD>{NoteOffMsg(9, 36), NoteOnMsg(9, 37, 64)}));
  EXPECT_FALSE(gbFirstBeat);
}

TEST_F(PlaybackSteps, LoopRangeAndStopAtEnd) {
  HeaderSet(gTbro.LoopStart, 16);
  HeaderSet(gTbro.LoopEnd, 32);
  Command(IDM_LOOP);
  std::vector<int> steps = Advance(17 * 500);
  std::vector<int> want;
  for (int s = 16; s < 32; ++s) want.push_back(s);
  want.push_back(16);
  EXPECT_EQ(steps, want);

  Command(IDM_STOPATEND);
  EXPECT_TRUE(Checked(IDM_STOPATEND));
  steps = Advance(15 * 500);  // steps 17..31
  EXPECT_EQ(steps.back(), 31);
  EXPECT_TRUE(gbSequenceGoing);
  steps = Advance(500);       // index reaches 32: the run stops, nothing posted
  EXPECT_TRUE(steps.empty());
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(gIndex, 16);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
  EXPECT_TRUE(Checked(IDM_STOPATEND));  // marks untouched by the stop at the end
}

TEST_F(PlaybackSteps, OneStepLoopNeverEndsAnEntry) {
  HeaderSet(gTbro.LoopEnd, 1);
  TambroFirstFile(gMidiOutPort, gMidiInPort, 0);
  gbLooping = 0;  // playlist play: a wrap with the first-beat flag clear would advance
  std::vector<int> steps = Advance(5 * 500);
  EXPECT_EQ(steps, (std::vector<int>{0, 0, 0, 0, 0}));
  EXPECT_TRUE(gbFirstBeat);
  EXPECT_TRUE(gbSequenceGoing);
}

TEST_F(PlaybackNotes, BarAndFreeAccents) {
  HeaderSet(gTbro.LoopStart, 2);
  HeaderSet(gTbro.LoopEnd, 9);
  for (int s = 2; s < 9; ++s) CellTogglePerc(s, 3);
  gAccent = 3;
  gFreeAccent = 13;
  gVelocity = 100;
  CellTogglePerc(6, 1);  // free accent on step 6
  gFreeAccent = 7;
  CellTogglePerc(7, 1);  // and on step 7
  Command(IDM_LOOP);
  Take();
  Advance(7 * 500);
  std::vector<int> vel;
  for (DWORD m : NoteOns(Take())) vel.push_back(int(m >> 16));
  // Steps 2..8: bars start at the absolute steps 4 and 8; free accent 7 = the base.
  EXPECT_EQ(vel, (std::vector<int>{100, 100, 127, 100, 100, 100, 127}));

  TambroEndSequence();
  gFreeAccent = 13;  // +60 on 100: clamped to 127
  Command(IDM_LOOP);
  Take();
  Advance(5 * 500);
  EXPECT_EQ(NoteOns(Take()).back() >> 16, 127u);
}

TEST_F(PlaybackNotes, InstrumentLevels) {
  CellToggleVoice(0, 2);
  CellTogglePerc(0, 3);
  gDeltaVoiceLevel = -127;  // level OFF
  Command(IDM_LOOP);
  Take();
  Advance(500);
  EXPECT_EQ(NoteOns(Take()), (std::vector<DWORD>{NoteOnMsg(9, 36, 64), NoteOnMsg(0, 36, 0)}));

  TambroEndSequence();
  gDeltaVoiceLevel = 20;
  gXDVoiceLevel = 40;
  gbEdit = 0;  // playlist mode adds the playlist's own level
  TambroFirstFile(gMidiOutPort, gMidiInPort, 0);
  Take();
  Advance(500);
  EXPECT_EQ(NoteOns(Take()).back(), NoteOnMsg(0, 36, 124));
}

TEST_F(PlaybackNotes, ReleaseMarkerAndLongNotes) {
  // gNoteOffset 34: row r sounds 34 + r.
  CellToggleVoice(0, 5);
  CellToggleVoice(0, 50);
  CellTogglePerc(0, 48);
  CellToggleVoice(1, 1);  // release marker
  CellToggleVoice(1, 6);
  HeaderSet(gTbro.LoopEnd, 2);
  Command(IDM_LOOP);
  Take();
  Advance(500);
  EXPECT_EQ(Take(), (std::vector<DWORD>{NoteOnMsg(0, 39, 64), NoteOnMsg(9, 81, 64), NoteOnMsg(0, 84, 64)}));
  Advance(500);
  // Row 48's drum and row 50's note are not ended; the marker ends row 5 before row 6 sounds.
  EXPECT_EQ(Take(), (std::vector<DWORD>{NoteOffMsg(0, 39), NoteOnMsg(0, 40, 64)}));
  Advance(500);
  // Row 50 sounds again: its pending note ends first.
  EXPECT_EQ(Take(), (std::vector<DWORD>{NoteOnMsg(0, 39, 64), NoteOnMsg(9, 81, 64),
                                        NoteOffMsg(0, 84), NoteOnMsg(0, 84, 64)}));
  Command(IDM_STOP);
  // After All Notes Off, every note still sounding gets its own note off: the drum of row 48
  // that nothing ends, and the pending notes of rows 5, 6 and 50.
  EXPECT_EQ(Take(), (std::vector<DWORD>{ControlMsg(9, 123, 0), ControlMsg(0, 123, 0), NoteOffMsg(9, 81),
                                        NoteOffMsg(0, 39), NoteOffMsg(0, 40), NoteOffMsg(0, 84)}));
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 0);
}

TEST_F(PlaybackNotes, SplitFlags) {
  CellToggleVoice(0, 27);
  CellToggleVoice(0, 28);
  CellToggleVoice(0, 40);
  CellTogglePerc(0, 0);   // rows 2..27 an octave lower
  CellToggleVoice(1, 27);
  CellToggleVoice(1, 28);
  CellToggleVoice(1, 40);
  CellToggleVoice(1, 0);  // rows 28..59 an octave higher
  HeaderSet(gTbro.LoopEnd, 2);
  Command(IDM_LOOP);
  Take();
  Advance(1000);
  EXPECT_EQ(NoteOns(Take()), (std::vector<DWORD>{NoteOnMsg(0, 49, 64), NoteOnMsg(0, 62, 64), NoteOnMsg(0, 74, 64),
                                                 NoteOnMsg(0, 61, 64), NoteOnMsg(0, 74, 64), NoteOnMsg(0, 86, 64)}));

  // With a base note below 12 the low split has nowhere to go and stays put.
  TambroEndSequence();
  gNoteOffset = 5;
  Command(IDM_LOOP);
  Take();
  Advance(500);
  EXPECT_EQ(NoteOns(Take()).front(), NoteOnMsg(0, 32, 64));
}

TEST_F(PlaybackRunStates, Continue) {
  HeaderSet(gTbro.LoopEnd, 8);
  Command(IDM_LOOP);
  Advance(3 * 500);  // steps 0, 1, 2
  Command(IDM_STOP);
  EXPECT_TRUE(Checked(IDM_STOP));
  Command(IDM_CONTINUE);
  EXPECT_TRUE(Checked(IDM_CONTINUE));
  EXPECT_FALSE(Checked(IDM_LOOP));
  EXPECT_EQ(Advance(500), std::vector<int>{3});
  Command(IDM_CONTINUE);  // ignored while running
  EXPECT_EQ(Advance(500), std::vector<int>{4});

  // After a stop at the loop end play starts over at LoopStart.
  HeaderSet(gTbro.LoopStart, 2);
  Command(IDM_STOPATEND);
  Advance(4 * 500);
  ASSERT_FALSE(gbSequenceGoing);
  Command(IDM_CONTINUE);
  EXPECT_EQ(Advance(500), std::vector<int>{2});
}

TEST_F(PlaybackRunStates, RefusalsAndFailures) {
  gbEdit = 0;
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_LOOP);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "first load playlist !");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, "Tamborix");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & 0xF0, UINT(MB_ICONSTOP));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_PLAYALL);
  EXPECT_FALSE(gbSequenceGoing);
  tbxtest::ClearMessageBoxes();

  gbEdit = 1;
  Command(IDM_STOP);
  tbxtest::InjectFault(tbxtest::Fault::MidiOutOpen);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_LOOP);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Could not start MIDI Sequence\nMIDI OUT Port not available!");
  EXPECT_TRUE(Checked(IDM_STOP));
  EXPECT_FALSE(gbSequenceGoing);

  // The first event cannot be armed: the devices are closed again.
  tbxtest::InjectFault(tbxtest::Fault::TimerArm);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_LOOP);
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 0);

  // An input that cannot be opened is reported and the run goes on without it.
  tbxtest::ClearMessageBoxes();
  tbxtest::InjectFault(tbxtest::Fault::MidiInOpen);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_LOOP);
  EXPECT_TRUE(gbSequenceGoing);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "cannot open MIDI IN");
  EXPECT_FALSE(gbMidiInOpen);
}

TEST_F(PlaybackRunStates, TimerFailureStopsTheRun) {
  Command(IDM_LOOP);
  tbxtest::InjectFault(tbxtest::Fault::TimerArm);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Advance(300);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_NE(tbxtest::MessageBoxes()[0].text.find("Cannot set timer for this BPM"), std::string::npos);
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_STOP));
  EXPECT_TRUE(Checked(IDM_LOOP));  // only Play All, Stop at Loop End and Continue lose it
}

// The cases that depend on the step count, run as each of the four programs.
class PlaybackWrap : public StepsTest<PlaybackSteps> {};
TBX_STEPS_SUITE(PlaybackWrap);

// A damaged record whose LoopEnd is 0 (or out of range) plays the whole pattern.
TEST_P(PlaybackWrap, LoopEndZeroPlaysWholePattern) {
  HeaderSet(gTbro.LoopEnd, 0);
  gBeatsPBar = 0;  // and no bars rather than a division by zero
  Command(IDM_LOOP);
  gIndex = STEP_COUNT - 2;
  EXPECT_EQ(Advance(3 * 500), (std::vector<int>{STEP_COUNT - 1, 0, 1}));
  HeaderSet(gTbro.LoopStart, 200);
  HeaderSet(gTbro.LoopEnd, 300);
  gIndex = STEP_COUNT - 1;
  EXPECT_EQ(Advance(500), std::vector<int>{0});
}

// An end-of-run message that a replaced run posted must not stop the new one.
TEST_F(PlaybackRunStates, StaleRunEndIgnored) {
  HeaderSet(gTbro.LoopEnd, 2);
  TambroFirstFile(gMidiOutPort, gMidiInPort, 0);
  gbLooping = 0;
  tbxtest::AdvanceClock(1500);  // steps 0, 1, then the wrap finds no next entry: 1027 posted
  Command(IDM_LOOP);            // handled before the queued 1027
  tbxtest::PumpMessages();
  EXPECT_TRUE(gbSequenceGoing);
  PostMessageA(hwnd, WM_TBX_SEQEND, 0, 0);  // one of the current run still stops it
  tbxtest::PumpMessages();
  EXPECT_FALSE(gbSequenceGoing);
}

// A base note from a file's odd transposition can put rows above note 127: such rows are not
// sent, and no message ever carries a data byte with bit 7 set.
TEST_F(PlaybackNotes, PitchesBeyondMidiAreNotSent) {
  gNoteOffset = 100;
  gVoice = 200;
  CellToggleVoice(0, 2);
  CellToggleVoice(0, 40);
  Command(IDM_LOOP);
  Advance(500);
  Command(IDM_STOP);
  std::vector<DWORD> msgs = Take();
  for (DWORD m : msgs) EXPECT_EQ(m & 0x808000u, 0u) << std::hex << m;
  EXPECT_EQ(NoteOns(msgs), std::vector<DWORD>{NoteOnMsg(0, 102, 64)});
}
