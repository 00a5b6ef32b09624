// Grid editing in the main window: cell colours after clicks and the cursor highlight, the
// loop marker rules of the strip above the grid, the arrow keys, the single-cell keys and
// the click backup.
#include <cstring>

#include "pattern/pattern.h"
#include "tests/support.h"
#include "view/view.h"

namespace {

class EditTest : public WindowTest {
 protected:
  static LPARAM At(int column, int row) {  // centre of a cell (rows 49, 50: the strip)
    int x = (column + GRID_LEFT) * gcxChar + gcxChar / 2;
    int y = ((50 - row) * gcyChar) / 2 + gcyChar / 4;
    return MAKELPARAM(x, y);
  }
  void Click(UINT message, int column, int row) { OnButtonDown(hwnd, message, At(column, row)); }
  // Fill colour of the last rectangle drawn at the cell's place.
  static COLORREF Drawn(int column, int row) {
    RECT r = CellRect(column, row);
    const auto& log = tbxtest::DrawLog();
    for (auto it = log.rbegin(); it != log.rend(); ++it)
      if (it->kind == tbxtest::DrawOp::Rect && it->x1 == r.left && it->y1 == r.top) return it->brush;
    return 0xFFFFFFFFu;
  }
  static std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const auto& op : tbxtest::DrawLog())
      if (op.kind == tbxtest::DrawOp::Text) out.push_back(op.text);
    return out;
  }
};
class GridClick : public EditTest {};
class MarkerStrip : public StepsTest<EditTest> {};
class ArrowKeys : public StepsTest<EditTest> {};
class CellKeys : public EditTest {};

TEST_F(GridClick, ColoursAndHighlight) {
  tbxtest::ClearDrawLog();
  Click(WM_LBUTTONDOWN, 10, 20);
  EXPECT_EQ(Drawn(10, 20), RGB(255, 0, 102));  // percussion, highlighted
  EXPECT_EQ(CellPerc(10, 20), 1);
  Click(WM_RBUTTONDOWN, 11, 20);               // moves the highlight off (10, 20)
  EXPECT_EQ(Drawn(10, 20), RGB(187, 0, 187));
  EXPECT_EQ(Drawn(11, 20), RGB(0, 238, 238));
  Click(WM_RBUTTONDOWN, 10, 20);
  EXPECT_EQ(Drawn(10, 20), RGB(153, 153, 153));  // both bits under the cursor
  Click(WM_LBUTTONDOWN, 10, 1);                   // row 1 never shows the highlight
  EXPECT_EQ(Drawn(10, 20), RGB(0, 0, 0));
  EXPECT_EQ(Drawn(10, 1), RGB(187, 0, 187));
  gbNeedSave = 0;
  gbFileChanged = 0;
  Click(WM_MBUTTONDOWN, 11, 20);
  Click(WM_MBUTTONDOWN, 12, 20);                  // empty: no change, still an edit
  EXPECT_EQ(CellVoice(11, 20), 0);
  EXPECT_EQ(Drawn(12, 20), RGB(0, 0, 255));
  EXPECT_EQ(gbNeedSave, 1);
  EXPECT_EQ(gbFileChanged, 1);
}

TEST_P(MarkerStrip, MovesMarkersAndKeepsOneStep) {
  HeaderSet(gTbro.LoopStart, 4);
  HeaderSet(gTbro.LoopEnd, 8);
  tbxtest::ClearDrawLog();
  Click(WM_RBUTTONDOWN, 4, 50);   // at LoopStart: refused
  Click(WM_LBUTTONDOWN, 8, 49);   // at LoopEnd: refused
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(gTbro.LoopStart, 4);
  EXPECT_EQ(gTbro.LoopEnd, 8);
  Click(WM_RBUTTONDOWN, STEP_COUNT, 50);  // over the right keyboard column
  EXPECT_EQ(gTbro.LoopEnd, STEP_COUNT);
  Click(WM_MBUTTONDOWN, 0, 50);
  EXPECT_EQ(gTbro.LoopStart, 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"  ", ":|", "  ", "|:"}));
  Click(WM_RBUTTONDOWN, STEP_COUNT + 1, 50);
  Click(WM_LBUTTONDOWN, -1, 50);
  EXPECT_EQ(gTbro.LoopStart, 0);
  EXPECT_EQ(gTbro.LoopEnd, STEP_COUNT);
}

TEST_P(ArrowKeys, MoveCursorAndPointer) {
  POINT origin = tbxtest::ClientOrigin(hwnd);
  auto pointTo = [&](int column, int row) {
    LPARAM p = At(column, row);
    tbxtest::SetPointer(origin.x + LOWORD(p), origin.y + HIWORD(p));
    OnMouseMove(hwnd);
  };
  pointTo(STEP_COUNT - 1, 48);
  handleKeydown(hwnd, VK_UP);
  EXPECT_EQ(gMouseY, 48);
  LPARAM centre = At(STEP_COUNT - 1, 48);
  EXPECT_EQ(tbxtest::Pointer().x, origin.x + LOWORD(centre));
  EXPECT_EQ(tbxtest::Pointer().y, origin.y + HIWORD(centre));
  OnMouseMove(hwnd);
  handleKeydown(hwnd, VK_RIGHT);
  EXPECT_EQ(gMouseX, STEP_COUNT);  // the right keyboard column is a cursor position
  OnMouseMove(hwnd);
  handleKeydown(hwnd, VK_RIGHT);
  EXPECT_EQ(gMouseX, STEP_COUNT);
  TbroRecord before = gTbro;
  for (char ch : std::string("dvx")) OnChar(hwnd, ch);
  EXPECT_EQ(std::memcmp(&before, &gTbro, sizeof before), 0);

  pointTo(-3, 20);  // pointer on the names: nothing happens
  handleKeydown(hwnd, VK_LEFT);
  EXPECT_EQ(gMouseX, STEP_COUNT);

  // A click's backup belongs to its column: once an arrow key has moved the cursor to
  // another column, a bar key neither takes the click back nor writes it there.
  StepSet(gTbro.PercL, 6, 1u << 20);
  Click(WM_LBUTTONDOWN, 5, 9);
  pointTo(5, 9);
  handleKeydown(hwnd, VK_RIGHT);
  OnChar(hwnd, 'b');
  EXPECT_EQ(CellPerc(5, 9), 1);
  EXPECT_EQ(gTbro.PercL[6], 1u << 20);
}

TEST_F(CellKeys, EditAndClickBackup) {
  gMouseX = 3;
  gMouseY = 40;
  OnChar(hwnd, 'd');
  OnChar(hwnd, 'V');
  EXPECT_EQ(gTbro.PercH[3], 1u << 8);
  EXPECT_EQ(gTbro.VoiceH[3], 1u << 8);
  OnChar(hwnd, 'x');
  EXPECT_EQ(gTbro.PercH[3] | gTbro.VoiceH[3], 0u);

  StepSet(gTbro.PercL, 1, 1u << 9);
  Click(WM_LBUTTONDOWN, 2, 5);  // the click only points at the bar ...
  OnChar(hwnd, 'b');            // ... and is taken back before the copy
  EXPECT_EQ(CellPerc(2, 5), 0);
  OnChar(hwnd, 'I');            // no backup pending any more: paste in place
  EXPECT_EQ(CellPerc(1, 9), 1);
  EXPECT_EQ(CellPerc(2, 5), 0); // the clipboard took the bar without the click

  // A click off the grid takes no backup, so a pending one cannot land in a wrong column.
  Click(WM_LBUTTONDOWN, 6, 6);
  Click(WM_LBUTTONDOWN, -GRID_LEFT, 6);
  EXPECT_EQ(gMouseX, -GRID_LEFT);
  EXPECT_EQ(gbNewBDown, 0);
  UndoMouse();
  EXPECT_EQ(CellPerc(6, 6), 1);
  DropClickBackup();
}

// A bar undo or a rotation that rewrote the clicked column leaves other notes in the
// clicked bits; a bar key after it must not take the click back and delete them.
TEST_F(CellKeys, TakenBackClickDeletesNoNoteAfterUndoOrRotation) {
  struct Case {
    const char* keys;  // after the first click on step 9 row 20; '!' clicks there again
    uint32_t percL[4]; // steps 8..11 before
    uint32_t step9;    // PercL of step 9 after the keys and B
  };
  const Case cases[] = {
      {"LB", {0x100, 0x200, 0x100400, 0x800}, 0x100400},  // the rotated-in note stays
      {"RB", {0x100, 0x200, 0x100400, 0x800}, 0x100},
      {"K!UB", {0, 0x100080, 0, 0}, 0x100080},            // the undone cut's note stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    PatternClear();
    gBeatsPBar = 4;
    HeaderSet(gTbro.LoopStart, 8);
    HeaderSet(gTbro.LoopEnd, 12);
    for (int i = 0; i < 4; ++i) StepSet(gTbro.PercL, 8 + i, c.percL[i]);
    Click(WM_LBUTTONDOWN, 9, 20);
    for (const char* k = c.keys; *k; ++k) {
      if (*k == '!') Click(WM_LBUTTONDOWN, 9, 20);
      else OnChar(hwnd, WPARAM(*k));
    }
    EXPECT_EQ(gTbro.PercL[9], c.step9);
  }
  // A click in a column the rotation leaves alone is still taken back.
  PatternClear();
  HeaderSet(gTbro.LoopStart, 8);
  HeaderSet(gTbro.LoopEnd, 12);
  Click(WM_LBUTTONDOWN, 2, 20);
  OnChar(hwnd, 'L');
  OnChar(hwnd, 'B');
  EXPECT_EQ(CellPerc(2, 20), 0);
}

TBX_STEPS_SUITE(MarkerStrip);
TBX_STEPS_SUITE(ArrowKeys);

}  // namespace
