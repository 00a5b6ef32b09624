// Bar clipboard, undo, rotation and transposition, driven through the character keys as the
// user drives them; and the bounds of bars at the end of the record and off the grid.
#include <cstring>
#include <random>

#include "pattern/pattern.h"
#include "tests/support.h"

namespace {

class BarTest : public StateTest {
 protected:
  void Key(char ch, int column) {
    gMouseX = static_cast<int16_t>(column);
    EditKey(ch);
  }
  // Every entry of every array gets a distinct non-zero word.
  void FillAll() {
    std::mt19937 rng(7);
    uint32_t* arrays[] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
    for (uint32_t* a : arrays)
      for (int i = 0; i < STEP_SLOTS; i++) StepSet(a, i, rng() | 1u);
  }
  TbroRecord Snapshot() const { return gTbro; }
  static bool Same(const TbroRecord& a, const TbroRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
};
class BarClipboard : public BarTest {};
class BarUndo : public BarTest {};
class BarTranspose : public BarTest {};
class BarRotate : public BarTest {};
class BarBounds : public StepsTest<BarTest> {};

TEST_F(BarClipboard, CutMovePasteAndOneUndoRestoreBothBars) {
  FillAll();
  TbroRecord before = Snapshot();
  Key('k', 1);  // cut both parts of bar 0..3
  EXPECT_EQ(gPasteMode, 3);
  EXPECT_EQ(gUndoMode, 12);
  for (int i = 0; i < 4; i++) EXPECT_EQ(gTbro.PercL[i] | gTbro.PercH[i] | gTbro.VoiceL[i] | gTbro.VoiceH[i], 0u);
  EXPECT_EQ(gTbro.VoiceXL[0], before.VoiceXL[0]);
  Key('I', 9);  // paste into bar 8..11: a move
  EXPECT_EQ(gUndoMode, 15);
  EXPECT_EQ(gTbro.PercH[10], before.PercH[2]);
  EXPECT_EQ(gTbro.VoiceL[11], before.VoiceL[3]);
  EXPECT_EQ(gTbro.PercL[12], before.PercL[12]);
  Key('U', 50);
  EXPECT_TRUE(Same(gTbro, before));
  EXPECT_EQ(gUndoMode, 0);
  Key('U', 50);  // one level only
  EXPECT_TRUE(Same(gTbro, before));

  Key('y', 4);  // cut and paste into the same bar, then undo: the state before the cut
  Key('i', 5);
  Key('u', 0);
  EXPECT_TRUE(Same(gTbro, before));
}

TEST_F(BarClipboard, PasteBeforeCopyAndAfterLongerBar) {
  FillAll();
  TbroRecord before = Snapshot();
  gbNeedSave = 0;
  Key('I', 6);
  EXPECT_TRUE(Same(gTbro, before));
  EXPECT_EQ(gbNeedSave, 1);
  EXPECT_EQ(gUndoMode, 0);

  Key('C', 0);  // instrument of bar 0..3; clipboard entries 4..7 are still zero
  gBeatsPBar = 8;
  Key('I', 8);
  for (int i = 0; i < 4; i++) EXPECT_EQ(gTbro.VoiceL[8 + i], before.VoiceL[i]);
  for (int i = 4; i < 8; i++) EXPECT_EQ(gTbro.VoiceL[8 + i], 0u);
  EXPECT_EQ(gTbro.PercL[8], before.PercL[8]);
}

// Undo used to write the bar length current at the time of the undo: stale buffer entries
// over steps never saved, or saved steps left behind.
TEST_F(BarUndo, RestoresOnlyTheStepsItSaved) {
  FillAll();
  TbroRecord before = Snapshot();
  Key('K', 0);
  gBeatsPBar = 8;
  Key('U', 0);
  EXPECT_TRUE(Same(gTbro, before));

  Key('B', 0);  // clipboard: bar 0..7
  Key('I', 16);
  gBeatsPBar = 4;
  Key('U', 16);
  EXPECT_TRUE(Same(gTbro, before));

  // Undo after a copy reverts the last paste, but never writes buffers that do not
  // describe the bar: none saved yet, the part a paste did not save, a bar transposed since.
  ResetAllState();
  FillAll();
  before = Snapshot();
  Key('B', 0);
  Key('U', 0);
  EXPECT_TRUE(Same(gTbro, before));
  Key('P', 0);
  Key('I', 8);
  Key('C', 0);
  Key('U', 0);
  for (int i = 8; i < 12; i++) EXPECT_EQ(gTbro.VoiceL[i], before.VoiceL[i]);
  Key('+', 16);
  before = Snapshot();
  Key('B', 0);
  Key('U', 0);
  EXPECT_TRUE(Same(gTbro, before));
}

TEST_F(BarTranspose, MovesNotesAlongTheChainAndKeepsFlags) {
  StepSet(gTbro.VoiceH, 0, 1u << 16);  // row 48
  StepSet(gTbro.VoiceL, 0, 3u);        // split and release flags
  StepSet(gTbro.PercL, 0, 0xFFFFFFFFu);
  for (int n = 0; n < 16; n++) Key('+', 0);
  EXPECT_EQ(gTbro.VoiceH[0], 0u);
  EXPECT_EQ(gTbro.VoiceXH[0], 1u);     // row 64
  EXPECT_EQ(gTbro.VoiceL[0], 3u);
  for (int n = 0; n < 16; n++) Key('-', 0);
  EXPECT_EQ(gTbro.VoiceH[0], 1u << 16);
  EXPECT_EQ(gTbro.VoiceXH[0], 0u);
  for (int n = 0; n < 48; n++) Key('+', 0);  // past row 95: lost
  for (int n = 0; n < 48; n++) Key('-', 0);
  EXPECT_EQ(gTbro.VoiceH[0] | gTbro.VoiceXH[0] | gTbro.VoiceXL[0], 0u);
  EXPECT_EQ(gTbro.VoiceL[0], 3u);

  StepSet(gTbro.VoiceL, 1, (1u << 2) | 2u);  // row 2 with the release flag
  Key('-', 1);
  EXPECT_EQ(gTbro.VoiceL[1], 2u);
  EXPECT_EQ(gTbro.VoiceXL[1], 0x80000000u);  // one semitone below row 2
  for (int n = 0; n < 31; n++) Key('-', 1);
  EXPECT_EQ(gTbro.VoiceXL[1], 1u);           // row -30, the bottom of the chain
  Key('_', 1);
  EXPECT_EQ(gTbro.VoiceXL[1], 0u);

  StepSet(gTbro.VoiceH, 2, 1u << 18);  // row 50 (played, not shown) -> 62 (stored only)
  Key('*', 2);
  EXPECT_EQ(gTbro.VoiceH[2], 1u << 30);
  EXPECT_EQ(gTbro.PercL[0], 0xFFFFFFFFu);
  EXPECT_EQ(gUndoMode, 0);
}

TEST_F(BarRotate, LeftThenRightRestoresAllSixWords) {
  FillAll();
  TbroRecord before = Snapshot();
  HeaderSet(gTbro.LoopStart, 2);
  HeaderSet(gTbro.LoopEnd, 9);
  before.LoopStart = 2;
  before.LoopEnd = 9;
  Key('L', 0);
  EXPECT_EQ(gTbro.VoiceXH[8], before.VoiceXH[2]);
  EXPECT_EQ(gTbro.PercL[2], before.PercL[3]);
  EXPECT_EQ(gTbro.PercL[9], before.PercL[9]);
  Key('R', 0);
  EXPECT_TRUE(Same(gTbro, before));

  // One-step, empty and reversed ranges change nothing (LoopEnd 0 would reach step -1).
  for (auto range : {std::pair{4, 5}, std::pair{5, 5}, std::pair{7, 3}, std::pair{0, 0}}) {
    HeaderSet(gTbro.LoopStart, static_cast<int16_t>(range.first));
    HeaderSet(gTbro.LoopEnd, static_cast<int16_t>(range.second));
    before = Snapshot();
    Key('l', 0);
    Key('r', 0);
    EXPECT_TRUE(Same(gTbro, before)) << range.first << ".." << range.second;
  }
}

// From the last column each bar length cuts its whole bar, also entries past STEP_COUNT,
// and nothing beyond; undo puts everything back.
TEST_P(BarBounds, LastBarOfEveryLengthStaysInsideTheRecord) {
  for (int bar : {3, 4, 5, 6, 8, 12, 16, 24}) {
    ResetAllState();
    FillAll();
    TbroRecord before = Snapshot();
    gBeatsPBar = static_cast<int16_t>(bar);
    Key('K', STEP_COUNT - 1);
    int first = (STEP_COUNT - 1) / bar * bar;
    ASSERT_LE(first + bar, STEP_SLOTS);
    for (int i = 0; i < STEP_SLOTS; i++) {
      bool cut = i >= first && i < first + bar;
      EXPECT_EQ(gTbro.PercL[i], cut ? 0u : before.PercL[i]) << "bar " << bar << " step " << i;
      EXPECT_EQ(gTbro.VoiceH[i], cut ? 0u : before.VoiceH[i]) << "bar " << bar << " step " << i;
    }
    Key('U', 0);
    EXPECT_TRUE(Same(gTbro, before)) << "bar " << bar;
  }
}

TEST_P(BarBounds, CursorOffTheGridSelectsNoBar) {
  FillAll();
  Key('P', 0);
  Key('i', 4);
  int16_t pasteMode = gPasteMode, undoMode = gUndoMode;
  TbroRecord before = Snapshot();
  gbNewBDown = 1;  // a stale backup must not land anywhere
  for (int column : {-1, -27, -32768, STEP_COUNT, STEP_COUNT + 3, 32767})
    for (char ch : std::string("BCPIKYZ+-*_0123456789DVX"))
      Key(ch, column);
  EXPECT_TRUE(Same(gTbro, before));
  EXPECT_EQ(gPasteMode, pasteMode);
  EXPECT_EQ(gUndoMode, undoMode);

  gBeatsPBar = 0;  // a file may carry any bar length: no division by zero, no bar
  Key('K', 5);
  gBeatsPBar = 48;  // longer than the clipboard
  Key('K', 5);
  EXPECT_TRUE(Same(gTbro, before));
}

TBX_STEPS_SUITE(BarBounds);

}  // namespace
