// Playing a playlist: entries follow each other without a gap, the run ends with the list,
// a missing entry ends it with its error, the save question at the switch, Play All again.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/files.h"
#include "midifile/midifile.h"
#include "tests/files/scratch.h"
#include "tests/midifile/smf.h"
#include "tests/playback/playback_support.h"

namespace {

class PlaylistPlay : public PlayTest {
 protected:
  void SetUp() override {
    PlayTest::SetUp();
    // Entry a: four steps, a Bass Drum 1 on step 0. Entry b: two steps, a Snare on step 0.
    WriteEntry("a.tbx", 4, 3);
    WriteEntry("b.tbx", 2, 5);
    PatternClear();
  }
  void WriteEntry(const char* name, int loopEnd, int row) {
    PatternClear();
    HeaderSet(gTbro.LoopStart, 0);
    HeaderSet(gTbro.LoopEnd, int16_t(loopEnd));
    CellTogglePerc(0, row);
    ASSERT_EQ(TambroFileWrite(scratch(name).c_str()), nullptr);
  }
  void OpenList(const std::string& entries) {
    std::string path = scratch("list.txt");
    std::ofstream(path, std::ios::binary) << entries;
    tbxtest::QueueFileDialog(path);
    Command(IDM_OPENLIST);
    ASSERT_TRUE(gbSequenceOpened);
  }
  std::string Entry(const char* name) { return scratch(name); }
  // Drum notes played, in order.
  std::vector<int> Drums() {
    std::vector<int> out;
    for (DWORD m : NoteOns(Take()))
      if ((m & 0x0F) == 9) out.push_back(int(m >> 8 & 0x7F));
    return out;
  }
  ScratchDir scratch;
};

}  // namespace

TEST_F(PlaylistPlay, TwoEntriesEndToEnd) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  ASSERT_TRUE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_PLAYALL));
  Take();
  uint32_t t0 = tbxtest::ClockNow();
  // a: 0 1 2 3; its wrap loads b, whose step 0 plays in that same event; b: 1; end.
  EXPECT_EQ(Advance(7 * 500), (std::vector<int>{0, 1, 2, 3, 0, 1, 0}));
  std::vector<uint32_t> times;
  for (const auto& r : tbxtest::CapturedMidi())
    if ((r.message & 0xF0) == 0x90) times.push_back(r.timeMs - t0);
  EXPECT_EQ(times, (std::vector<uint32_t>{500, 2500}));  // no gap before b
  EXPECT_EQ(Drums(), (std::vector<int>{36, 38}));
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_STOP));
  EXPECT_FALSE(Checked(IDM_PLAYALL));
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);

  // Play All again reads the list again: a first.
  Command(IDM_PLAYALL);
  Advance(500);
  EXPECT_EQ(Drums(), std::vector<int>{36});
}

// Each entry loaded starts the undo history again: an edit of entry a cannot be undone into b.
TEST_F(PlaylistPlay, AnEntryLoadedStartsTheUndoHistoryAgain) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  Command(IDM_PLAYALL);
  Advance(600);
  SendMessageA(hwnd, WM_LBUTTONDOWN, 0, MAKELPARAM((2 + GRID_LEFT) * gcxChar + 1, ((50 - 20) * gcyChar) / 2 + 1));
  EXPECT_FALSE(MenuGrayed(IDM_UNDO));
  tbxtest::QueueMessageBoxAnswer(IDNO);  // the save question at the switch
  Advance(2000);  // a's wrap at 2500 loads b
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 2);
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  const PatternState b = PatternNow();
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), b));
}

TEST_F(PlaylistPlay, MissingEntryEndsTheRunWithItsError) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("missing.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Take();
  tbxtest::QueueMessageBoxAnswer(IDOK);  // "CreateFile Error:2 "
  tbxtest::QueueMessageBoxAnswer(IDOK);  // the entry's message
  Advance(6 * 500);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[1].text,
            "File " + Entry("missing.tbx") + " is missing or cannot be opended.");
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(Drums(), std::vector<int>{36});  // b never plays
}

TEST_F(PlaylistPlay, UnsavedEditsAskedAboutAtTheSwitch) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Advance(500);
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  Advance(4 * 500);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & 0x0F, UINT(MB_YESNO));
  EXPECT_TRUE(gbSequenceGoing);  // b plays on
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 2);
}

TEST_F(PlaylistPlay, ContinueAfterTheEndOfAnEntry) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYFROM);
  Command(IDM_STOPATEND);
  Advance(5 * 500);  // a plays 0..3 and stops at its end
  ASSERT_FALSE(gbSequenceGoing);
  Take();
  Command(IDM_CONTINUE);  // takes the next entry
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 2);
  EXPECT_EQ(Advance(500), std::vector<int>{0});
  EXPECT_EQ(Drums(), std::vector<int>{38});
}

// Continue with no list: the next-entry start finds nothing, the pattern in memory plays
// once from step 1, and the run ends.
TEST_F(PlaylistPlay, ContinueWithNothingToContinue) {
  HeaderSet(gTbro.LoopEnd, 3);
  Command(IDM_CONTINUE);
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(Advance(3 * 500), (std::vector<int>{1, 2, 0}));
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_STOP));
}

// Play All during a run of the list: the run stops before the list is read again, and play
// starts over at the first entry.
TEST_F(PlaylistPlay, PlayAllDuringARunStartsOver) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Advance(4 * 500);
  Command(IDM_PLAYALL);  // in entry a
  Advance(5 * 500);      // a from its start, then b
  ASSERT_EQ(HeaderGet(gTbro.LoopEnd), 2);
  Take();
  Command(IDM_PLAYALL);  // in entry b
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 4);
  EXPECT_EQ(Advance(5 * 500), (std::vector<int>{0, 1, 2, 3, 0}));
  EXPECT_EQ(Drums(), (std::vector<int>{36, 38}));
}

// The step that starts an entry plays its octave-flagged rows from that entry's base note,
// as every later pass of the entry and the export of the list do. Entry a: instrument 110,
// base 46; entry b: a bass (33), base 34, whose step 0 holds rows 14 and 24 an octave down.
TEST_F(PlaylistPlay, FirstStepOfAnEntryTakesItsOwnOctaveBase) {
  gTranspose = 0;
  gVoice = 110;
  WriteEntry("a.tbx", 4, 3);
  gVoice = 33;
  PatternClear();
  HeaderSet(gTbro.LoopEnd, 2);
  StepSet(gTbro.PercL, 0, 1u);  // octave down
  CellToggleVoice(0, 14);
  CellToggleVoice(0, 24);
  ASSERT_EQ(TambroFileWrite(scratch("b.tbx").c_str()), nullptr);
  PatternClear();
  gVoice = 3;
  gTranspose = 12;

  const std::string list = Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n" + Entry("b.tbx") + "\r\n";
  OpenList(list);
  Command(IDM_PLAYALL);
  Take();
  Advance(9 * 500);  // a 0..3, b 0 1, b 0 1, end
  ASSERT_FALSE(gbSequenceGoing);
  std::vector<int> played;
  for (DWORD m : NoteOns(Take()))
    if ((m & 0x0F) == 0) played.push_back(int(m >> 8 & 0x7F));
  EXPECT_EQ(played, (std::vector<int>{36, 46, 36, 46}));

  tbxtest::QueueFileDialog(scratch("list.mid"));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  OnExportCommand(hwnd, IDM_SAVELIST_GM);
  Smf smf = ParseSmf(ReadAll(scratch("list.mid")));
  ASSERT_TRUE(smf.ok) << smf.error;
  std::vector<int> exported;
  for (const SmfEvent& e : smf.track[0])
    if (e.NoteOn() && (e.status & 0x0F) == 0) exported.push_back(e.data[0]);
  EXPECT_EQ(exported, played);
}
