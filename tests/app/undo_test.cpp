// The undo history in the main window: every action that changes the pattern is one step,
// undone and redone through exactly the states it passed; a new change drops the redo steps;
// the history keeps 100 levels; a file read starts it again; Undo and Redo gray.
#include <functional>
#include <string>
#include <vector>

#include "files/files.h"
#include "pattern/pattern.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

class UndoTest : public WindowTest {
 public:  // the table's actions call them
  static LPARAM At(int column, int row) {  // centre of a cell (rows 49, 50: the strip)
    return MAKELPARAM((column + GRID_LEFT) * gcxChar + gcxChar / 2, ((50 - row) * gcyChar) / 2 + gcyChar / 4);
  }
  void Click(UINT message, int column, int row, WPARAM keys = 0) { SendMessageA(hwnd, message, keys, At(column, row)); }
  void Key(char ch) { SendMessageA(hwnd, WM_CHAR, static_cast<WPARAM>(ch), 0); }
  void Command(UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
  // A pattern with notes in bars 0..3 (percussion and instrument, both halves).
  static void SomeNotes() {
    for (int s = 0; s < 16; s++) {
      StepSet(gTbro.PercL, s, 0x00F0F0F0u << (s % 4));
      StepSet(gTbro.PercH, s, 0x1000u >> (s % 3));
      StepSet(gTbro.VoiceL, s, 0x0F000F00u | (s & 1 ? 2u : 0u));
      StepSet(gTbro.VoiceH, s, 0x3u << s);
      StepSet(gTbro.VoiceXL, s, s % 5 == 0 ? 0x80000000u : 0u);
      StepSet(gDynamics.AccentPercL, s, StepGet(gTbro.PercL, s) & 0x00F00000u);  // some accented,
      StepSet(gDynamics.GhostVoiceL, s, StepGet(gTbro.VoiceL, s) & 0x00000F00u);  // some ghost notes
    }
  }
};

struct Action {
  const char* what;
  std::function<void(UndoTest&)> run;
  bool changes;  // the pattern changes: one step
};

class UndoSteps : public UndoTest {};
class UndoBounds : public UndoTest {};

}  // namespace

// Each action is one step or none; Ctrl+Z goes back through exactly the states after each,
// Ctrl+Y forward again; Undo and Redo gray at the ends; an undo marks the pattern changed
// and repaints the window.
TEST_F(UndoSteps, EveryActionThatChangesThePatternIsOneStep) {
  SomeNotes();
  const Action actions[] = {
      {"left click on an empty cell", [](UndoTest& t) { t.Click(WM_LBUTTONDOWN, 30, 20); }, true},
      {"right click", [](UndoTest& t) { t.Click(WM_RBUTTONDOWN, 30, 21); }, true},
      {"shift+click: accented", [](UndoTest& t) { t.Click(WM_RBUTTONDOWN, 30, 21, MK_SHIFT); }, true},
      {"shift+click on an empty cell", [](UndoTest& t) { t.Click(WM_LBUTTONDOWN, 31, 21, MK_SHIFT); }, false},
      {"middle click on an empty cell", [](UndoTest& t) { t.Click(WM_MBUTTONDOWN, 31, 22); }, false},
      {"end marker", [](UndoTest& t) { t.Click(WM_RBUTTONDOWN, 20, 50); }, true},
      {"start marker", [](UndoTest& t) { t.Click(WM_LBUTTONDOWN, 1, 49); }, true},
      {"refused marker", [](UndoTest& t) { t.Click(WM_LBUTTONDOWN, 20, 49); }, false},
      {"middle click on a note", [](UndoTest& t) { t.Click(WM_MBUTTONDOWN, 5, 10); }, true},
      {"cell key D", [](UndoTest& t) { t.Key('d'); }, true},
      {"cell key V", [](UndoTest& t) { t.Key('V'); }, true},
      {"cell key A: the D note accented", [](UndoTest& t) { t.Key('a'); }, true},
      {"cell key X", [](UndoTest& t) { t.Key('X'); }, true},
      {"copy: the V it takes back was cleared by X", [](UndoTest& t) { t.Key('B'); }, false},
      {"cut both parts", [](UndoTest& t) { t.Key('K'); }, true},
      {"copy", [](UndoTest& t) { t.Key('C'); }, false},
      {"click on another bar", [](UndoTest& t) { t.Click(WM_LBUTTONDOWN, 9, 30); }, true},
      {"paste, taking the click back first", [](UndoTest& t) { t.Key('I'); }, true},
      {"the bar undo key", [](UndoTest& t) { t.Key('u'); }, true},
      {"the bar undo key again: one level", [](UndoTest& t) { t.Key('U'); }, false},
      {"middle click on an empty cell of bar 12", [](UndoTest& t) { t.Click(WM_MBUTTONDOWN, 13, 40); }, false},
      {"semitone up", [](UndoTest& t) { t.Key('+'); }, true},
      {"octave down", [](UndoTest& t) { t.Key('_'); }, true},
      {"rotate left", [](UndoTest& t) { t.Key('L'); }, true},
      {"rotate right", [](UndoTest& t) { t.Key('R'); }, true},
      {"right click on a root", [](UndoTest& t) { t.Click(WM_RBUTTONDOWN, 2, 12); }, true},
      {"chord, taking the click back first", [](UndoTest& t) { t.Key('7'); }, true},
      {"a setting", [](UndoTest& t) { t.Command(IDM_BEATSPBAR + 8); }, false},
      {"cut percussion of an 8-step bar", [](UndoTest& t) { t.Key('y'); }, true},
      {"New, after its question",
       [](UndoTest& t) {
         tbxtest::QueueMessageBoxAnswer(IDNO);
         t.Command(IDM_NEW);
       },
       true},
  };
  std::vector<PatternState> states{PatternNow()};
  for (const Action& a : actions) {
    a.run(*this);
    const bool changed = !SameState(PatternNow(), states.back());
    ASSERT_EQ(changed, a.changes) << a.what;
    if (changed) states.push_back(PatternNow());
    EXPECT_FALSE(MenuGrayed(IDM_UNDO)) << a.what;
    EXPECT_TRUE(MenuGrayed(IDM_REDO)) << a.what;
  }

  for (size_t i = states.size() - 1; i > 0; i--) {
    gbNeedSave = 0;
    tbxtest::ClearInvalidations();
    Command(IDM_UNDO);
    ASSERT_TRUE(SameState(PatternNow(), states[i - 1])) << "undo to state " << i - 1;
    EXPECT_EQ(gbNeedSave, 1);
    EXPECT_FALSE(tbxtest::Invalidations().empty());
    EXPECT_FALSE(MenuGrayed(IDM_REDO));
  }
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), states[0]));
  for (size_t i = 1; i < states.size(); i++) {
    Command(IDM_REDO);
    ASSERT_TRUE(SameState(PatternNow(), states[i])) << "redo to state " << i;
  }
  EXPECT_TRUE(MenuGrayed(IDM_REDO));
  Command(IDM_REDO);
  EXPECT_TRUE(SameState(PatternNow(), states.back()));
}

// A click after two undos drops the two redo steps; a pending click backup does not outlive
// the state it was taken from (a bar key after an undo must not write it back).
TEST_F(UndoSteps, ANewChangeDropsRedoAndTheClickBackup) {
  Click(WM_LBUTTONDOWN, 3, 10);
  const PatternState one = PatternNow();
  Click(WM_LBUTTONDOWN, 4, 10);
  Click(WM_LBUTTONDOWN, 5, 10);
  Command(IDM_UNDO);
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), one));
  Click(WM_LBUTTONDOWN, 6, 10);
  EXPECT_TRUE(MenuGrayed(IDM_REDO));
  Command(IDM_REDO);
  EXPECT_EQ(CellPerc(4, 10) | CellPerc(5, 10), 0);
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), one));

  // D sets (7, 10), a click clears it again and takes the backup; two undos go back to
  // before the D, where a bar key must not write the click's backup (bit set) back.
  Click(WM_MBUTTONDOWN, 7, 10);
  Key('D');
  Click(WM_LBUTTONDOWN, 7, 10);
  Command(IDM_UNDO);
  Command(IDM_UNDO);
  EXPECT_EQ(CellPerc(7, 10), 0);
  Key('C');
  EXPECT_EQ(CellPerc(7, 10), 0);
}

// 100 levels: of 105 clicks the last 100 can be undone, not the first five.
TEST_F(UndoBounds, KeepsAHundredLevels) {
  std::vector<PatternState> states{PatternNow()};
  for (int i = 0; i < 105; i++) {
    Click(WM_LBUTTONDOWN, i % 100, 2 + i % 40);
    states.push_back(PatternNow());
  }
  int undone = 0;
  while (!MenuGrayed(IDM_UNDO) && undone < 200) {
    Command(IDM_UNDO);
    undone++;
  }
  EXPECT_EQ(undone, HISTORY_LEVELS);
  EXPECT_GE(HISTORY_LEVELS, 100);
  EXPECT_TRUE(SameState(PatternNow(), states[105 - HISTORY_LEVELS]));
  for (int i = 0; i < HISTORY_LEVELS; i++) Command(IDM_REDO);
  EXPECT_TRUE(SameState(PatternNow(), states.back()));
}

// A step costs at most one record unless it changes dynamics: 100 rotations of the whole play
// range of a pattern whose every note word is set (each step changes all of them) keep their
// 100 levels, and a click costs next to nothing.
TEST_F(UndoBounds, AHundredRotationsOfAFullPatternAreKept) {
  uint32_t seed = 1;
  for (uint32_t* a : {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH})
    for (int s = 0; s < STEP_SLOTS; s++) StepSet(a, s, (seed = seed * 1664525u + 1013904223u) | 1u);
  Click(WM_LBUTTONDOWN, 3, 10);
  Click(WM_LBUTTONDOWN, 3, 10);
  EXPECT_LE(HistoryBytes(), 2u * 64u) << "two clicks";
  std::vector<PatternState> states{PatternNow()};
  for (int i = 0; i < HISTORY_LEVELS; i++) {
    HistoryBegin();
    RotateLeft();
    ASSERT_TRUE(HistoryCommit());
    states.push_back(PatternNow());
  }
  EXPECT_LE(HistoryBytes(), size_t(HISTORY_LEVELS) * TBRO_SIZE);
  for (int i = HISTORY_LEVELS - 1; i >= 0; i--) {
    ASSERT_FALSE(MenuGrayed(IDM_UNDO)) << i;
    Command(IDM_UNDO);
    ASSERT_TRUE(SameState(PatternNow(), states[size_t(i)])) << i;
  }
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
}

// A file read starts the history again with the loaded pattern as its first state; New is
// undoable, and its save question stays.
TEST_F(UndoBounds, LoadStartsAgainAndNewIsAStep) {
  ScratchDir scratch;
  const std::string path = scratch("song.tbx");
  Click(WM_LBUTTONDOWN, 3, 10);
  ASSERT_EQ(TambroFileWrite(path.c_str()), nullptr);
  Click(WM_LBUTTONDOWN, 4, 10);
  tbxtest::QueueMessageBoxAnswer(IDNO);  // "Save changes of (Untitled) ?"
  tbxtest::QueueFileDialog(path);
  Command(IDM_LOAD);
  const PatternState loaded = PatternNow();
  EXPECT_EQ(CellPerc(4, 10), 0);
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), loaded));

  Click(WM_LBUTTONDOWN, 5, 10);
  tbxtest::QueueMessageBoxAnswer(IDNO);
  Command(IDM_NEW);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(CellPerc(3, 10), 0);
  EXPECT_EQ(gbNeedSave, 0);
  Command(IDM_UNDO);
  EXPECT_EQ(CellPerc(3, 10) + CellPerc(5, 10), 2);
  EXPECT_EQ(gbNeedSave, 1);
  Command(IDM_UNDO);
  Command(IDM_UNDO);
  EXPECT_TRUE(SameState(PatternNow(), loaded));
  EXPECT_TRUE(MenuGrayed(IDM_UNDO));
}
