// Painting, checked on the recorded drawing: cell geometry and colours (bits, highlight,
// flag rows, backgrounds, the split mark), the full repaint (names with leaders, markers,
// labels), the keyboard following the transposition, and the play-position dot.
#include <algorithm>
#include <string>
#include <vector>

#include "pattern/pattern.h"
#include "tests/support.h"
#include "view/view.h"

namespace {

using tbxtest::DrawOp;

std::vector<DrawOp> Ops(DrawOp::Kind kind) {
  std::vector<DrawOp> out;
  for (const DrawOp& op : tbxtest::DrawLog())
    if (op.kind == kind) out.push_back(op);
  return out;
}

const int cx = 8, cy = 16;

}  // namespace

class PaintTest : public WindowTest {
 protected:
  // Draws one cell through a window DC and returns the rectangles drawn.
  std::vector<DrawOp> Cell(int step, int row, int highlight) {
    tbxtest::ClearDrawLog();
    HDC hdc = GetDC(hwnd);
    DrawCell(hdc, step, row, highlight);
    ReleaseDC(hwnd, hdc);
    return Ops(DrawOp::Rect);
  }
  COLORREF Colour(int step, int row, int highlight) {
    auto rects = Cell(step, row, highlight);
    EXPECT_FALSE(rects.empty());
    return rects.empty() ? 0x123456 : rects[0].brush;
  }
  std::vector<DrawOp> Repaint() {
    tbxtest::ClearDrawLog();
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
    return tbxtest::DrawLog();
  }
};

// The cases that depend on the step count, run as each of the four programs.
class PaintSteps : public StepsTest<PaintTest> {};
TBX_STEPS_SUITE(PaintSteps);

TEST_P(PaintSteps, CellGeometry) {
  auto top = Cell(0, 48, 0);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].x1, GRID_LEFT * cx);
  EXPECT_EQ(top[0].y1, cy);
  EXPECT_EQ(top[0].x2, (GRID_LEFT + 1) * cx + 1);
  EXPECT_EQ(top[0].y2, 6 * cy / 4 + 1);
  EXPECT_FALSE(top[0].nullPen);
  EXPECT_EQ(top[0].pen, 0x000000u);

  auto bottom = Cell(STEP_COUNT - 1, 0, 0);
  ASSERT_EQ(bottom.size(), 1u);
  EXPECT_EQ(bottom[0].x1, (STEP_COUNT - 1 + GRID_LEFT) * cx);
  EXPECT_EQ(bottom[0].y1, 100 * cy / 4);
  EXPECT_EQ(bottom[0].y2, 255 * cy / 10 + 1);
  RECT rc = CellRect(STEP_COUNT - 1, 0);
  EXPECT_EQ(rc.left, bottom[0].x1);
  EXPECT_EQ(rc.bottom, bottom[0].y2);
}

TEST_P(PaintSteps, RowsOutsideTheGridDrawNothing) {
  EXPECT_TRUE(Cell(3, -1, 1).empty());
  EXPECT_TRUE(Cell(3, 49, 1).empty());
  EXPECT_TRUE(Cell(-1, 5, 1).empty());
  EXPECT_TRUE(Cell(STEP_COUNT, 5, 1).empty());
}

TEST_F(PaintTest, ColoursOfTheBits) {
  const int s = 5, r = 40;  // rows above 31 live in the H words
  CellTogglePerc(s, r);
  CellToggleVoice(s, r);
  EXPECT_EQ(Colour(s, r, 0), 0x000000u);
  EXPECT_EQ(Colour(s, r, 1), 0x999999u);
  CellToggleVoice(s, r);
  EXPECT_EQ(Colour(s, r, 0), 0xbb00bbu);
  EXPECT_EQ(Colour(s, r, 1), 0x6600ffu);
  CellTogglePerc(s, r);
  CellToggleVoice(s, r);
  EXPECT_EQ(Colour(s, r, 0), 0x99aa00u);
  EXPECT_EQ(Colour(s, r, 1), 0xeeee00u);
  CellClear(s, r);
  EXPECT_EQ(Colour(s, r, 1), 0xff0000u);
  EXPECT_EQ(CellColour(s, r, 1), 0xff0000u);
}

TEST_F(PaintTest, FlagRowsIgnoreTheHighlight) {
  for (int hl : {0, 1}) {
    EXPECT_EQ(Colour(3, 1, hl), 0xffddccu);
    EXPECT_EQ(Colour(3, 0, hl), 0xddddffu);
  }
  CellTogglePerc(3, 1);
  CellToggleVoice(3, 0);
  EXPECT_EQ(Colour(3, 1, 1), 0xbb00bbu);
  EXPECT_EQ(Colour(3, 0, 1), 0x99aa00u);
  CellToggleVoice(3, 1);
  EXPECT_EQ(Colour(3, 1, 1), 0x000000u);
}

TEST_F(PaintTest, BackgroundsOfBarsRowsAndSubBars) {
  // Steps per bar 4: bar starts and C rows tan, F rows green, no lavender column.
  EXPECT_EQ(CellColour(4, 5, 0), 0x99ccddu);
  EXPECT_EQ(CellColour(5, 14, 0), 0x99ccddu);
  EXPECT_EQ(CellColour(5, 19, 0), 0x99ddccu);
  EXPECT_EQ(CellColour(4, 19, 0), 0x99ccddu);
  for (int s = 1; s < 24; s++) {
    if (s % 4) {
      EXPECT_EQ(CellColour(s, 5, 0), 0xeeffffu) << s;
    }
  }

  gBeatsPBar = 24;
  EXPECT_EQ(CellColour(24, 5, 0), 0x99ccddu);
  EXPECT_EQ(CellColour(8, 5, 0), 0xeeddddu);
  EXPECT_EQ(CellColour(16, 5, 0), 0xeeddddu);
  EXPECT_EQ(CellColour(12, 5, 0), 0xeeffffu);
  EXPECT_EQ(CellColour(8, 7, 0), 0x99ddccu);  // the green row wins over the sub-bar
  gBeatsPBar = 12;
  EXPECT_EQ(CellColour(6, 5, 0), 0xeeddddu);
  EXPECT_EQ(CellColour(3, 5, 0), 0xeeffffu);
  gBeatsPBar = 6;
  EXPECT_EQ(CellColour(3, 5, 0), 0xeeffffu);
  EXPECT_EQ(Colour(3, 5, 0), 0xeeffffu);
}

// Steps per bar come from files as well; 0 must not divide by zero.
TEST_F(PaintTest, ZeroStepsPerBarMarksNoBars) {
  gBeatsPBar = 0;
  EXPECT_EQ(CellColour(0, 5, 0), 0xeeffffu);
  EXPECT_EQ(CellColour(0, 14, 0), 0x99ccddu);
  gBeatsPBar = -3;
  EXPECT_EQ(Colour(6, 5, 0), 0xeeffffu);
}

TEST_F(PaintTest, RowTwentySevenCarriesTheSplitMark) {
  auto rects = Cell(2, 27, 0);
  ASSERT_EQ(rects.size(), 2u);
  RECT rc = CellRect(2, 27);
  EXPECT_EQ(rects[1].brush, 0x000000u);
  EXPECT_EQ(rects[1].x1, rc.left);
  EXPECT_EQ(rects[1].x2, rc.right);
  EXPECT_EQ(rects[1].y1, 47 * cy / 4 + 3);
  EXPECT_EQ(rects[1].y2, 12 * cy + 1);
  EXPECT_EQ(Cell(2, 26, 0).size(), 1u);
}

// ---------------------------------------------------------------- full repaint

TEST_P(PaintSteps, RepaintDrawsEveryCellWithoutHighlight) {
  CellTogglePerc(0, 10);
  auto log = Repaint();
  int cells = 0, keys = 0;
  bool highlight = false;
  for (const DrawOp& op : log) {
    if (op.kind != DrawOp::Rect) continue;
    EXPECT_TRUE(op.inPaint);
    if (op.x1 >= GRID_LEFT * cx && op.x1 < (GRID_LEFT + STEP_COUNT) * cx) {
      if (op.y1 != 47 * cy / 4 + 3) cells++;
      highlight |= op.brush == 0xff0000 || op.brush == 0x6600ff;
    } else {
      keys++;
    }
  }
  EXPECT_EQ(cells, 49 * STEP_COUNT);
  EXPECT_EQ(keys, STEP_COUNT == 72 ? 47 : 94);
  EXPECT_FALSE(highlight);
}

TEST_P(PaintSteps, NamesStandStaggeredWithLeadersToTheKeyboard) {
  auto log = Repaint();
  std::vector<DrawOp> names, lines;
  for (const DrawOp& op : log) {
    if (op.kind == DrawOp::Line) lines.push_back(op);
    if (op.kind == DrawOp::Text && op.y1 > 0 && op.x1 < GRID_LEFT * cx) names.push_back(op);
  }
  ASSERT_EQ(names.size(), 47u);
  ASSERT_EQ(lines.size(), 47u);
  EXPECT_EQ(names[0].text, "Open Triangle");
  EXPECT_EQ(names[0].x1, 2 * cx / 10);
  EXPECT_EQ(names[0].y1, 3 * cy / 4);
  EXPECT_EQ(names[1].text, "Mute Triangle");
  EXPECT_EQ(names[1].x1, 128 * cx / 10);
  EXPECT_EQ(names[46].text, "Acou BaseDrm");
  EXPECT_EQ(names[46].y1, 95 * cy / 4);
  for (size_t i = 0; i < 47; i++) {
    EXPECT_EQ(names[i].textColor, 0x000000u);
    EXPECT_EQ(lines[i].x1, names[i].x2 + cx / 4) << i;
    EXPECT_EQ(lines[i].y1, names[i].y1 + cy / 2);
    EXPECT_EQ(lines[i].x2, 25 * cx);  // the keyboard's edge, or the grid's in 72 steps
    EXPECT_EQ(lines[i].y2, lines[i].y1);
  }
}

TEST_P(PaintSteps, MarkerStripShowsOnlyTheCurrentMarkers) {
  HeaderSet(gTbro.LoopStart, 4);
  HeaderSet(gTbro.LoopEnd, 20);
  auto log = Repaint();
  int erasers = 0;
  std::vector<DrawOp> black;
  for (const DrawOp& op : log) {
    if (op.kind != DrawOp::Text || op.y1 != 0) continue;
    if (op.text == "||" && op.textColor == 0xffffff) erasers++;
    if (op.textColor == 0x000000 && (op.text == "|:" || op.text == ":|")) black.push_back(op);
    EXPECT_EQ(op.bkMode, TRANSPARENT);
  }
  EXPECT_EQ(erasers, 3 * STEP_COUNT);
  ASSERT_EQ(black.size(), 2u);
  EXPECT_EQ(black[0].text, "|:");
  EXPECT_EQ(black[0].x1, (4 + GRID_LEFT - 1) * cx);
  EXPECT_EQ(black[1].text, ":|");
  EXPECT_EQ(black[1].x1, (20 + GRID_LEFT) * cx);
}

TEST_P(PaintSteps, SidePanelLabels) {
  auto log = Repaint();
  struct L { const char* text; int x, y; };
  const int x = (PANEL_LEFT * 10 - 7) * cx / 10;
  const L labels[] = {{"Bpm", x, 0}, {"Vel", PANEL_LEFT * cx, 12 * cy}, {"MIDI", x, 225 * cy / 10},
                      {"Note", x, 232 * cy / 10}, {"<---", x, 238 * cy / 10}};
  for (const L& l : labels) {
    auto it = std::find_if(log.begin(), log.end(), [&](const DrawOp& op) {
      return op.kind == DrawOp::Text && op.text == l.text;
    });
    ASSERT_NE(it, log.end()) << l.text;
    EXPECT_EQ(it->x1, l.x) << l.text;
    EXPECT_EQ(it->y1, l.y) << l.text;
  }
}

// ---------------------------------------------------------------- keyboard

class PianoTest : public PaintTest {
 protected:
  // Colour of every key of the right-hand column, top first.
  std::vector<COLORREF> Keys() {
    tbxtest::ClearDrawLog();
    HDC hdc = GetDC(hwnd);
    DrawPiano(hdc);
    ReleaseDC(hwnd, hdc);
    std::vector<COLORREF> keys;
    for (const DrawOp& op : Ops(DrawOp::Rect))
      if (op.x1 == (STEP_COUNT + GRID_LEFT) * cx) keys.push_back(op.brush);
    return keys;
  }
};

TEST_F(PianoTest, BlackKeysSitOnTheSharpRows) {
  auto keys = Keys();
  ASSERT_EQ(keys.size(), 47u);
  for (int k = 0; k < 47; k++) {
    int row = 48 - k, pitch = (row + gNoteOffset) % 12;
    bool sharp = pitch == 1 || pitch == 3 || pitch == 6 || pitch == 8 || pitch == 10;
    EXPECT_EQ(keys[k], sharp ? 0x000000u : 0xffffffu) << "row " << row;
  }
}

TEST_F(PianoTest, OneSemitoneMovesThePatternOneRow) {
  auto before = Keys();
  gTranspose = 13;
  auto after = Keys();
  ASSERT_EQ(after.size(), 47u);
  for (int k = 0; k + 1 < 47; k++) EXPECT_EQ(after[k], before[k + 1]) << k;
  // The grid's tan and green rows do not move with it.
  EXPECT_EQ(CellColour(1, 14, 0), 0x99ccddu);
  EXPECT_EQ(CellColour(1, 19, 0), 0x99ddccu);
}

// The transposition also comes from files; any value keeps the table index in range.
TEST_F(PianoTest, AnyTranspositionIsSafe) {
  for (int t : {-1, -13, 25, 32767, -32768}) {
    gTranspose = (int16_t)t;
    EXPECT_EQ(Keys().size(), 47u) << t;
  }
}

// The cases that depend on the step count, run as each of the four programs.
class PianoSteps : public StepsTest<PianoTest> {};
TBX_STEPS_SUITE(PianoSteps);

TEST_P(PianoSteps, ColumnsOfTheBuild) {
  tbxtest::ClearDrawLog();
  HDC hdc = GetDC(hwnd);
  DrawPiano(hdc);
  ReleaseDC(hwnd, hdc);
  int left = 0, right = 0;
  for (const DrawOp& op : Ops(DrawOp::Rect)) {
    if (op.x1 == 25 * cx && op.x2 == 26 * cx + 1) left++;
    if (op.x1 == (STEP_COUNT + GRID_LEFT) * cx && op.x2 == (STEP_COUNT + GRID_LEFT + 1) * cx + 1) right++;
  }
  EXPECT_EQ(right, 47);
  if (STEP_COUNT == 72) {
    EXPECT_EQ(left, 0);
    EXPECT_EQ(STEP_COUNT + GRID_LEFT, 97);
  } else {
    EXPECT_EQ(left, 47);
  }
}

// ---------------------------------------------------------------- play-position dot

TEST_P(PaintSteps, PlayDotErasesTheLastThenDrawsTheNew) {
  tbxtest::ClearDrawLog();
  SendMessageA(hwnd, 1025, 5, 0);
  auto dots = Ops(DrawOp::Ellipse);
  ASSERT_EQ(dots.size(), 2u);
  EXPECT_EQ(dots[0].brush, 0xffffffu);
  EXPECT_EQ(dots[0].x1, GRID_LEFT * cx);
  EXPECT_TRUE(dots[0].nullPen);
  EXPECT_EQ(dots[1].brush, 0x000000u);
  EXPECT_EQ(dots[1].x1, (5 + GRID_LEFT) * cx);
  EXPECT_EQ(dots[1].x2, (6 + GRID_LEFT) * cx);
  EXPECT_EQ(dots[1].y1, 103 * cy / 4);
  EXPECT_EQ(dots[1].y2, 105 * cy / 4);
  EXPECT_TRUE(dots[1].nullPen);

  tbxtest::ClearDrawLog();
  SendMessageA(hwnd, 1025, 7, 0);
  dots = Ops(DrawOp::Ellipse);
  ASSERT_EQ(dots.size(), 2u);
  EXPECT_EQ(dots[0].x1, (5 + GRID_LEFT) * cx);
  EXPECT_EQ(dots[1].x1, (7 + GRID_LEFT) * cx);

  tbxtest::ClearDrawLog();
  SendMessageA(hwnd, 1025, STEP_COUNT, 0);
  EXPECT_TRUE(Ops(DrawOp::Ellipse).empty());
}
