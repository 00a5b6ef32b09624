// MIDI input capture: which notes are echoed and recorded where, undo mode, the step that
// input before the first step lands on, a full hand-over buffer, and the hand-over between
// two real threads.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "tests/playback/playback_support.h"

namespace {

class MidiInCapture : public PlayTest {
 protected:
  // Plays a note on the loopback input now.
  void Play(int status, int note, int vel) {
    ASSERT_TRUE(tbxtest::SendMidiInput(0, DWORD(status) | DWORD(note) << 8 | DWORD(vel) << 16));
  }
};

class MidiInHandOver : public PlayTest {};

class MidiInHistory : public MidiInCapture {};

bool PercBit(int step, int row) { return CellPerc(step, row) != 0; }
bool VoiceBit(int step, int row) { return CellVoice(step, row) != 0; }

}  // namespace

TEST_F(MidiInCapture, RecordsAndEchoesOnBothChannels) {
  Command(IDM_LOOP);
  Advance(2800);  // step 5 sounded at 3000 - 500 = 2500; its middle is 2750
  Take();
  gbNeedSave = 0;
  Play(0x99, 36, 100);  // Bass Drum 1: percussion row 3
  Play(0x99, 81, 90);   // Open Triangle: row 48, bit 16 of PercH
  Play(0x99, 34, 90);   // no drum row: echoed only
  Play(0x99, 82, 90);
  Play(0x90, 36, 10);   // instrument row 2 (base 34), echoed at 40
  Play(0x90, 35, 90);   // row 1: not a note row
  Play(0x90, 82, 90);   // row 48
  Play(0x90, 83, 90);   // row 49: not recorded
  Play(0x93, 60, 90);   // another channel: neither
  Play(0x99, 38, 0);    // a note-on of velocity 0 is a note off: neither
  Play(0x89, 38, 64);
  EXPECT_EQ(Take(), (std::vector<DWORD>{NoteOnMsg(9, 36, 100), NoteOnMsg(9, 81, 90), NoteOnMsg(9, 34, 90),
                                        NoteOnMsg(9, 82, 90), NoteOnMsg(0, 36, 40), NoteOnMsg(0, 35, 90),
                                        NoteOnMsg(0, 82, 90), NoteOnMsg(0, 83, 90)}));
  EXPECT_FALSE(PercBit(5, 3));  // nothing lands before the half event
  Advance(500);
  EXPECT_TRUE(PercBit(5, 3));
  EXPECT_TRUE(PercBit(5, 48));
  EXPECT_TRUE(VoiceBit(5, 2));
  EXPECT_TRUE(VoiceBit(5, 48));
  EXPECT_FALSE(VoiceBit(5, 1));
  EXPECT_FALSE(PercBit(5, 1));
  EXPECT_EQ(StepGet(gTbro.VoiceH, 5), 1u << 16);
  EXPECT_EQ(StepGet(gTbro.PercL, 5), 1u << 3);
  EXPECT_EQ(StepGet(gTbro.PercH, 5), 1u << 16);
  EXPECT_EQ(StepGet(gTbro.VoiceL, 5), 1u << 2);
  EXPECT_TRUE(gbNeedSave);
  EXPECT_TRUE(gbFileChanged);

  // The recorded drum sounds from the pattern at the next pass.
  gIndex = 4;
  Take();
  Advance(500);
  EXPECT_EQ(NoteOns(Take()).front(), NoteOnMsg(9, 36, 64));
}

TEST_F(MidiInCapture, EchoedNotesEndAtTheStop) {
  // Note offs are not echoed, so an echoed note sounds until the stop ends it by its own
  // note off (a device may ignore All Notes Off).
  Command(IDM_LOOP);
  Advance(600);
  Play(0x99, 34, 90);   // no drum row: echoed only
  Play(0x90, 60, 20);   // echoed at 40
  Take();
  Command(IDM_STOP);
  EXPECT_EQ(Take(), (std::vector<DWORD>{ControlMsg(9, 123, 0), ControlMsg(0, 123, 0), NoteOffMsg(9, 34),
                                        NoteOffMsg(0, 60)}));
}

TEST_F(MidiInCapture, UndoModeToggles) {
  CellTogglePerc(0, 3);
  Command(IDM_LOOPUNDO);
  EXPECT_TRUE(gbMidiUndo);
  Advance(600);       // step 0 at 500; input until 750 lands on it
  Play(0x99, 36, 100);  // set: cleared
  Play(0x90, 40, 100);  // twice within one half step: as it was
  Play(0x90, 40, 100);
  Advance(200);
  EXPECT_FALSE(PercBit(0, 3));
  EXPECT_FALSE(VoiceBit(0, 6));

  Command(IDM_LOOP);  // plain loop: recording sets again
  EXPECT_FALSE(gbMidiUndo);
}

TEST_F(MidiInCapture, InputBeforeTheFirstStep) {
  Command(IDM_LOOP);  // from step 0: the index is -1 until the first step
  Advance(100);
  Play(0x99, 36, 100);
  Advance(200);
  EXPECT_TRUE(PercBit(0, 3));
  for (int s = 1; s < STEP_COUNT; ++s) ASSERT_FALSE(PercBit(s, 3)) << s;

  HeaderSet(gTbro.LoopStart, 4);
  Command(IDM_LOOP);
  Advance(100);
  Play(0x99, 38, 100);
  Advance(200);
  EXPECT_TRUE(PercBit(3, 5));
}

TEST_F(MidiInHandOver, FullBufferDropsAndNeverOverflows) {
  Command(IDM_LOOP);
  Take();
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(tbxtest::SendMidiInput(0, NoteOnMsg(9, 35 + i % 47, 100)));
  EXPECT_EQ(gMidiInFill, 128);
  EXPECT_EQ(Take().size(), 200u);  // every note is still echoed
  Advance(300);
  EXPECT_EQ(gMidiInFill, 0);
  for (int r = 2; r <= 48; ++r) EXPECT_TRUE(PercBit(0, r)) << r;
  ASSERT_TRUE(tbxtest::SendMidiInput(0, NoteOnMsg(9, 36, 100)));
  EXPECT_EQ(gMidiInFill, 1);
}

// One thread appends through the input callback while another takes: every note arrives
// exactly once.
TEST_F(MidiInHandOver, ConcurrentAppendAndTake) {
  MidiInReset();
  const int kNotes = 20000;
  std::thread producer([] {
    for (int i = 0; i < kNotes; ++i) {
      while (gMidiInFill >= 128) std::this_thread::yield();
      midiCallback(nullptr, MIM_DATA, 0, NoteOnMsg(i % 2 ? 9 : 0, i % 128, 100), 0);
    }
  });
  std::map<int, int> got;
  int total = 0;
  uint8_t entries[128];
  while (total < kNotes) {
    int n = MidiInTake(entries);
    for (int i = 0; i < n; ++i) ++got[entries[i]];
    total += n;
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(total, kNotes);
  EXPECT_EQ(MidiInTake(entries), 0);
  std::map<int, int> want;
  for (int i = 0; i < kNotes; ++i) ++want[(i % 128) | (i % 2 ? 0x80 : 0)];
  EXPECT_EQ(got, want);
}

// While a loop records, each half event that landed notes is one step, taken back whole by
// Ctrl+Z, the steps of the user's own edits between them in their place; a half event whose
// notes change nothing is no step; a half event recorded after undos drops the redo steps.
TEST_F(MidiInHistory, EachRecordingHalfEventIsOneStep) {
  Command(IDM_LOOP);
  std::vector<PatternState> states{PatternNow()};
  Advance(600);           // step 0 sounded at 500; input until 750 lands on it
  Play(0x99, 36, 100);
  Play(0x99, 81, 100);    // both halves of the percussion
  Play(0x90, 60, 100);
  Advance(600);           // landed at 750; now in step 1
  states.push_back(PatternNow());
  EXPECT_FALSE(MenuGrayed(IDM_UNDO));
  Play(0x99, 38, 100);
  SendMessageA(hwnd, WM_LBUTTONDOWN, 0,  // a click while the note waits: its own step first
               MAKELPARAM((9 + GRID_LEFT) * gcxChar + 1, ((50 - 20) * gcyChar) / 2 + 1));
  states.push_back(PatternNow());
  Advance(500);           // the note lands on step 1
  states.push_back(PatternNow());
  Play(0x99, 36, 100);    // twice in one half event: one cell, one step
  Play(0x99, 36, 100);
  Advance(500);
  states.push_back(PatternNow());
  ASSERT_EQ(states.size(), 5u);
  for (size_t i = 1; i < states.size(); i++) EXPECT_FALSE(SameState(states[i], states[i - 1])) << i;
  EXPECT_TRUE(PercBit(2, 3));

  for (size_t i = states.size() - 1; i > 0; i--) {
    Command(IDM_UNDO);
    EXPECT_TRUE(SameState(PatternNow(), states[i - 1])) << "undo to " << i - 1;
    Advance(300);         // the loop plays on; half events without notes make no step
    EXPECT_TRUE(SameState(PatternNow(), states[i - 1])) << "still " << i - 1;
  }
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  for (size_t i = 1; i < states.size(); i++) {
    Command(IDM_REDO);
    EXPECT_TRUE(SameState(PatternNow(), states[i])) << "redo to " << i;
  }

  Command(IDM_UNDO);
  Command(IDM_UNDO);
  Advance(200);
  Play(0x99, 40, 100);
  Advance(500);
  EXPECT_TRUE(MenuGrayed(IDM_REDO));  // the recorded note dropped the two redo steps
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), states[2]));

  // A window thread too busy to take each half event in at once still gets them apart.
  Play(0x99, 41, 100);
  tbxtest::AdvanceClock(500);
  const PatternState first = PatternNow();
  Play(0x99, 42, 100);
  tbxtest::AdvanceClock(500);
  tbxtest::PumpMessages();
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), first));
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), states[2]));
}

// In MIDI IN undo mode a note played twice within one half event changes nothing: no step.
TEST_F(MidiInHistory, ToggledBackWithinAHalfEventIsNoStep) {
  Command(IDM_LOOPUNDO);
  Advance(600);
  Play(0x99, 36, 100);
  Play(0x99, 36, 100);
  Advance(300);
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  Play(0x99, 36, 100);
  Advance(500);
  EXPECT_FALSE(MenuGrayed(IDM_UNDO));
  Command(IDM_UNDO);
  for (int s = 0; s < STEP_COUNT; ++s) ASSERT_FALSE(PercBit(s, 3)) << s;
}

