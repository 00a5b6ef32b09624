// Chord completion on the cursor's step: the twelve-row window across VoiceL/VoiceH, the
// root rows at the bottom, and the single chord undo.
#include "pattern/pattern.h"
#include "tests/support.h"

namespace {

class ChordTest : public StateTest {
 protected:
  void Chord(char key, int column, int row) {
    gMouseX = static_cast<int16_t>(column);
    gMouseY = static_cast<int16_t>(row);
    EditKey(key);
  }
  static uint64_t Word(int step) {
    return uint64_t(StepGet(gTbro.VoiceH, step)) << 32 | StepGet(gTbro.VoiceL, step);
  }
  static void SetWord(int step, uint64_t w) {
    StepSet(gTbro.VoiceL, step, static_cast<uint32_t>(w));
    StepSet(gTbro.VoiceH, step, static_cast<uint32_t>(w >> 32));
  }
  static uint64_t Rows(std::initializer_list<int> rows) {
    uint64_t w = 0;
    for (int r : rows) w |= uint64_t(1) << r;
    return w;
  }
};
class ChordInsert : public ChordTest {};
class ChordUndo : public ChordTest {};

TEST_F(ChordInsert, ReplacesTheTwelveRowWindow) {
  const uint64_t all = ~uint64_t(0);
  struct { char key; int root; uint64_t expected; } cases[] = {
      {'4', 2, (all & ~(uint64_t(0xFFF) << 2)) | Rows({2, 6, 9})},
      {'9', 30, (all & ~(uint64_t(0xFFF) << 30)) | Rows({30, 34, 37, 41})},
      {'4', 48, (all & ~(uint64_t(0xFFF) << 48)) | Rows({48, 52, 55})},
      {'5', 1, (all & ~(uint64_t(0xFFF) << 1)) | Rows({1, 4, 7, 11})},
      {'0', 0, all}};
  for (auto c : cases) {
    SetWord(3, all);
    gUndoMode = 0;
    Chord(c.key, 3, c.root);
    EXPECT_EQ(Word(3), c.expected) << "root " << c.root;
    EXPECT_EQ(gUndoMode, c.root ? 16 : 0) << "root " << c.root;
  }
  EXPECT_EQ(Word(2) | Word(4) | gTbro.VoiceXH[3] | gTbro.PercL[3], 0u);
}

TEST_F(ChordUndo, RevertsTheChordColumnOrALaterPaste) {
  SetWord(5, Rows({10, 40}));
  Chord('3', 5, 10);
  uint64_t firstChord = Word(5);
  Chord('4', 5, 10);
  Chord('U', 60, 2);  // the cursor elsewhere: the chord's column is restored
  EXPECT_EQ(Word(5), firstChord);
  EXPECT_EQ(Word(60), 0u);

  SetWord(0, Rows({5}));
  Chord('C', 0, 2);    // clipboard: instrument of bar 0..3
  Chord('7', 9, 2);
  uint64_t withChord = Word(9);
  Chord('I', 13, 2);   // paste into bar 12..15: undo now reverts the paste only
  EXPECT_EQ(gUndoMode, 18);
  Chord('U', 0, 0);
  EXPECT_EQ(Word(12), 0u);
  EXPECT_EQ(Word(9), withChord);
}

// A note the chord keeps keeps its dynamic, the chord's new notes are normal, the notes it
// replaces lose theirs; undo brings every dynamic of the step back.
TEST_F(ChordUndo, CarriesTheDynamicsOfTheStep) {
  SetWord(4, Rows({10, 13, 40}));
  SetCellDynamic(4, 10, false, DYN_ACCENT);
  SetCellDynamic(4, 13, false, DYN_GHOST);
  SetCellDynamic(4, 40, false, DYN_GHOST);
  Chord('4', 4, 10);  // rows 10, 14, 17; row 13 goes
  EXPECT_EQ(Word(4), Rows({10, 14, 17, 40}));
  EXPECT_EQ(CellDynamic(4, 10, false), DYN_ACCENT);
  EXPECT_EQ(CellDynamic(4, 14, false), DYN_NORMAL);
  EXPECT_EQ(CellDynamic(4, 40, false), DYN_GHOST);
  EXPECT_EQ(StepGet(gDynamics.GhostVoiceL, 4), 0u);
  Chord('U', 0, 0);
  EXPECT_EQ(Word(4), Rows({10, 13, 40}));
  EXPECT_EQ(CellDynamic(4, 13, false), DYN_GHOST);
  EXPECT_EQ(CellDynamic(4, 10, false), DYN_ACCENT);
}

TEST_F(ChordInsert, TakesBackTheClickThatChoseTheRoot) {
  SetWord(6, Rows({20}));
  gMouseX = 6;
  gMouseY = 0;
  EditKey('v');       // toggles row 0 of the cursor cell and takes a backup
  EXPECT_EQ(Word(6), Rows({0, 20}));
  Chord('4', 6, 0);           // row 0: no chord, but the toggle is taken back
  EXPECT_EQ(Word(6), Rows({20}));
  EXPECT_EQ(gbNewBDown, 0);

  EditKey('d');       // a backup of the old pattern must not reach a new one
  PatternClear();
  Chord('4', 6, 5);
  EXPECT_EQ(Word(6), Rows({5, 9, 12}));
}

}  // namespace
