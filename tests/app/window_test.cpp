// The main window: what creation leaves behind (controls, read-outs, caption, port choice,
// the command-line load), the missing-device paths, the two scroll bars' arithmetic, and
// the close and shutdown handling.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

std::string WindowText(HWND hwnd) {
  char sz[400] = "";
  GetWindowTextA(hwnd, sz, sizeof sz);
  return sz;
}

// Rectangle of a child control relative to the parent's client area.
RECT ChildRect(HWND parent, HWND child) {
  RECT rc;
  GetWindowRect(child, &rc);
  POINT o = tbxtest::ClientOrigin(parent);
  return {rc.left - o.x, rc.top - o.y, rc.right - o.x, rc.bottom - o.y};
}

bool PostedCommand(UINT id) {
  for (const MSG& m : tbxtest::PostedMessages())
    if (m.message == WM_COMMAND && LOWORD(m.wParam) == id) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------- creation

// The creation cases run as each of the four programs: the window's size and place, the
// side panel and the play range follow the step count.
class WindowSteps : public StepsTest<WindowTest> {};
TBX_STEPS_SUITE(WindowSteps);

TEST_P(WindowSteps, CreationPlacesTheControlsInCharacterUnits) {
  const int cx = 8, cy = 16;
  const int panelLeft = GetParam() == 144 ? 172 : GetParam() == 128 ? 156 : GetParam() == 96 ? 124 : 99;
  EXPECT_EQ(PANEL_LEFT, panelLeft);
  const int barX = (PANEL_LEFT * 10 + 3) * cx / 10, textX = (PANEL_LEFT * 10 - 5) * cx / 10;
  struct Expect { HWND h; int x, y, w, h2; };
  const Expect expect[] = {
      {gHwndBPMScroll, barX, cy, 2 * cx, 8 * cy},
      {GetDlgItem(hwnd, 1), barX, 13 * cy, 2 * cx, 8 * cy},
      {gHwndTEMPO, textX, 9 * cy, 28, cy},
      {gHwndREL, textX, 10 * cy, 28, cy},
      {GetDlgItem(hwnd, 4), textX, 21 * cy, 28, cy},
      {gHwndNOTE, textX, 248 * cy / 10, 28, cy},
  };
  for (const Expect& e : expect) {
    ASSERT_NE(e.h, nullptr);
    RECT rc = ChildRect(hwnd, e.h);
    EXPECT_EQ(rc.left, e.x);
    EXPECT_EQ(rc.top, e.y);
    EXPECT_EQ(rc.right - rc.left, e.w);
    EXPECT_EQ(rc.bottom - rc.top, e.h2);
  }
  RECT win;
  GetWindowRect(hwnd, &win);
  EXPECT_EQ(win.left, STEP_COUNT == 72 ? 0 : 10);
  EXPECT_EQ(win.right - win.left, (PANEL_LEFT + 4) * cx);
  EXPECT_EQ(gcxChar, cx);
  EXPECT_EQ(gcyChar, cy);
}

TEST_P(WindowSteps, CreationShowsTheStartValues) {
  EXPECT_EQ(WindowText(gHwndTEMPO), "120");
  EXPECT_EQ(WindowText(GetDlgItem(hwnd, 4)), "64");
  EXPECT_EQ(WindowText(gHwndNOTE), "36");
  EXPECT_EQ(WindowText(hwnd), "Tamborix - (Untitled)");
  EXPECT_EQ(GetScrollPos(gHwndBPMScroll, SB_CTL), 506 - 120);
  EXPECT_EQ(GetScrollPos(GetDlgItem(hwnd, 1), SB_CTL), 147 - 64);
  int lo = -1, hi = -1;
  GetScrollRange(gHwndBPMScroll, SB_CTL, &lo, &hi);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 466);
  GetScrollRange(GetDlgItem(hwnd, 1), SB_CTL, &lo, &hi);
  EXPECT_EQ(lo, 18);
  EXPECT_EQ(hi, 127);

  EXPECT_EQ(HeaderGet(gTbro.LoopStart), 0);
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), GetParam());
  EXPECT_EQ(gTbro.MsecPerBeat, 500);
  EXPECT_EQ(gTbro.MidiOutPort, 0);
  EXPECT_EQ(gMidiOutPort, 0);
  EXPECT_EQ(gNoteOffset, 34);
  EXPECT_EQ(gbCmdLine, 0);
  EXPECT_FALSE(PostedCommand(IDM_LOAD));
  EXPECT_EQ(GetMenu(hwnd), ghMenu);
  EXPECT_EQ(gHwnd, hwnd);
}

class GsPortTest : public WindowTest {
 protected:
  std::vector<std::string> outputs() const override {
    return {"Capture Out", "0123456789GS W", "Microsoft GS Wavetable Synth", "Other GS Wavetable"};
  }
};

// The first name longer than 14 characters with "GS W" at 10..13 wins; exactly 14 is too short.
TEST_F(GsPortTest, TheGsWavetableBecomesTheOutputPort) {
  EXPECT_EQ(gMidiOutPort, 2);
  EXPECT_EQ(gOldMidiOutPort, 2);
  EXPECT_EQ(gTbro.MidiOutPort, 2);
  EXPECT_EQ(GetMenuState(ghMenu, IDM_MIDIOUT + 2, MF_BYCOMMAND) & MF_CHECKED, (UINT)MF_CHECKED);
  EXPECT_EQ(GetMenuState(ghMenu, IDM_MIDIOUT + 0, MF_BYCOMMAND) & MF_CHECKED, 0u);
}

class NoMidiOutTest : public StateTest {
 protected:
  std::vector<std::string> outputs() const override { return {}; }
};

TEST_F(NoMidiOutTest, CreationFailsAfterTheBox) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  EXPECT_EQ(CreateMainWindow(nullptr, "", SW_SHOWNORMAL), nullptr);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "no MIDI OUT detected!");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, "Tamborix");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & 0xF0, (UINT)MB_ICONHAND);
  EXPECT_EQ(gHwnd, nullptr);
  bool quit = false;
  for (const MSG& m : tbxtest::PostedMessages()) quit |= m.message == WM_QUIT;
  EXPECT_TRUE(quit);
}

class NoMidiInTest : public StateTest {
 protected:
  std::vector<std::string> inputs() const override { return {}; }
};

TEST_F(NoMidiInTest, TheProgramRunsOnWithAGrayedEmptyMidiInMenu) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  HWND hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "no MIDI IN detected!");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & 0xF0, (UINT)MB_ICONHAND);
  HMENU in = GetSubMenu(ghMenu, 11);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(GetMenuItemCount(in), 0);
  EXPECT_NE(GetMenuState(ghMenu, 11, MF_BYPOSITION) & MF_GRAYED, 0u);
  EXPECT_EQ(WindowText(hwnd), "Tamborix - (Untitled)");
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
}

class CommandLineTest : public WindowTest {
 protected:
  std::string cmdLine() const override { return "\"C:\\My Songs\\\"\"a b.tbx\""; }
};

// Every quote goes, wherever it stands; the load is posted, not run during creation.
TEST_F(CommandLineTest, QuotesAreDroppedAndTheLoadIsPosted) {
  EXPECT_STREQ(gszCmdLine, "C:\\My Songs\\a b.tbx");
  EXPECT_EQ(gbCmdLine, 1);
  EXPECT_TRUE(PostedCommand(IDM_LOAD));
}

// A command line longer than a path is kept whole (the load refuses it rather than cut it
// to another file's name); one longer than any Windows command line ends in ".../", which
// names no file.
TEST_F(StateTest, ALongCommandLineIsKeptWholeNeverCut) {
  std::string longLine(5 * TBX_PATH, 'x');
  longLine[0] = '"';
  HWND hwnd = CreateMainWindow(nullptr, longLine.c_str(), SW_SHOWNORMAL);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(std::string(gszCmdLine), longLine.substr(1));
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  std::string hugeLine(TBX_CMDLINE + 10, 'y');
  hwnd = CreateMainWindow(nullptr, hugeLine.c_str(), SW_SHOWNORMAL);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_EQ(strlen(gszCmdLine), (size_t)TBX_CMDLINE - 1);
  EXPECT_EQ(std::string(gszCmdLine).substr(TBX_CMDLINE - 5), ".../");
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
}

// ---------------------------------------------------------------- scroll bars

class ScrollBarTest : public WindowTest {
 protected:
  void Tempo(int request, int pos = 0) {
    SendMessageA(hwnd, WM_VSCROLL, MAKEWPARAM(request, pos), (LPARAM)gHwndBPMScroll);
  }
  void Velocity(int request, int pos = 0) {
    SendMessageA(hwnd, WM_VSCROLL, MAKEWPARAM(request, pos), (LPARAM)GetDlgItem(hwnd, 1));
  }
};

TEST_F(ScrollBarTest, TempoThumbAtTheEndsGivesTheLimits) {
  Tempo(SB_THUMBTRACK, 0);
  EXPECT_EQ(giTempo, 506);
  EXPECT_EQ(gMsecPerBeat, 118);
  EXPECT_EQ(gOldMsecPerBeat, 118);
  EXPECT_EQ(WindowText(gHwndTEMPO), "506");
  Tempo(SB_THUMBPOSITION, 466);
  EXPECT_EQ(giTempo, 40);
  EXPECT_EQ(gMsecPerBeat, 1500);
  EXPECT_EQ(GetScrollPos(gHwndBPMScroll, SB_CTL), 466);
  Tempo(SB_TOP);
  EXPECT_EQ(giTempo, 506);
  Tempo(SB_BOTTOM);
  EXPECT_EQ(giTempo, 40);
}

TEST_F(ScrollBarTest, TempoPagesStopAtTheEnds) {
  Tempo(SB_THUMBTRACK, 460);
  Tempo(SB_PAGEDOWN);
  EXPECT_EQ(giTempo, 40);
  Tempo(SB_THUMBTRACK, 5);
  Tempo(SB_PAGEUP);
  EXPECT_EQ(giTempo, 506);
  Tempo(SB_LINEUP);
  EXPECT_EQ(giTempo, 506);
  Tempo(SB_LINEDOWN);
  EXPECT_EQ(giTempo, 505);
  Tempo(SB_PAGEDOWN);
  EXPECT_EQ(giTempo, 485);
  Tempo(SB_ENDSCROLL);
  EXPECT_EQ(giTempo, 485);
}

// A load sets giTempo (and may or may not move the thumb itself): the next line-up click
// raises exactly that tempo.
TEST_F(ScrollBarTest, LineUpAfterALoadRaisesTheFilesTempoByOne) {
  Tempo(SB_THUMBTRACK, 100);
  giTempo = 90;
  ShowTempo(TRUE);
  EXPECT_EQ(GetScrollPos(gHwndBPMScroll, SB_CTL), 506 - 90);
  EXPECT_EQ(WindowText(gHwndTEMPO), "90");
  Tempo(SB_LINEUP);
  EXPECT_EQ(giTempo, 91);
  EXPECT_EQ(gMsecPerBeat, 60000 / 91);

  giTempo = 200;  // the thumb left where it was
  Tempo(SB_LINEUP);
  EXPECT_EQ(giTempo, 201);

  // The same through a real Load of a file at 90 BPM (666 ms per beat).
  TbroRecord rec;
  memset(&rec, 0, sizeof rec);
  memcpy(rec.Id, "TBRX", 4);
  rec.Size = 3540;
  rec.MsecPerBeat = 666;
  rec.RelBeat = 2;
  rec.LoopEnd = STEP_COUNT;
  rec.BeatsPBar = 4;
  rec.FreeAccent = 7;
  rec.Voice = 3;
  rec.VoiceLevel = 4;
  rec.Transpose = 12;
  rec.PercCh = 9;
  ScratchDir scratch;
  const std::string path = scratch("tempo90.tbx");
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(&rec, 1, sizeof rec, f);
  fclose(f);
  tbxtest::QueueFileDialog(path);
  SendMessageA(hwnd, WM_COMMAND, IDM_LOAD, 0);
  ASSERT_EQ(giTempo, 90);
  EXPECT_EQ(GetScrollPos(gHwndBPMScroll, SB_CTL), 506 - 90);
  Tempo(SB_LINEUP);
  EXPECT_EQ(giTempo, 91);
}

TEST_F(ScrollBarTest, VelocityEndsAndTheTwoLowestPositions) {
  Velocity(SB_TOP);
  EXPECT_EQ(gVelocity, 127);
  Velocity(SB_BOTTOM);
  EXPECT_EQ(gVelocity, 20);
  EXPECT_EQ(WindowText(GetDlgItem(hwnd, 4)), "20");
  for (int pos : {18, 19, 20}) {
    Velocity(SB_THUMBTRACK, pos);
    EXPECT_EQ(gVelocity, 127) << pos;
    EXPECT_EQ(GetScrollPos(GetDlgItem(hwnd, 1), SB_CTL), 20);
  }
  Velocity(SB_PAGEDOWN);
  EXPECT_EQ(gVelocity, 117);
  Velocity(SB_LINEUP);
  EXPECT_EQ(gVelocity, 118);
  Velocity(SB_THUMBTRACK, 125);
  Velocity(SB_PAGEDOWN);
  EXPECT_EQ(gVelocity, 20);
}

TEST_F(ScrollBarTest, ScrollWithoutAControlChangesNothing) {
  SendMessageA(hwnd, WM_VSCROLL, MAKEWPARAM(SB_TOP, 0), 0);
  EXPECT_EQ(giTempo, 120);
  EXPECT_EQ(gVelocity, 64);
}

// ---------------------------------------------------------------- close and shutdown

TEST_F(WindowTest, CancelAtTheSavePromptKeepsTheWindow) {
  gbNeedSave = 1;
  StepSet(gTbro.PercL, 3, 0x10);
  tbxtest::QueueMessageBoxAnswer(IDCANCEL);
  EXPECT_EQ(SendMessageA(hwnd, WM_CLOSE, 0, 0), 0);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(gbNeedSave, 1);
  EXPECT_EQ(StepGet(gTbro.PercL, 3), 0x10u);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Save changes of (Untitled) ?");

  tbxtest::QueueMessageBoxAnswer(IDCANCEL);
  EXPECT_EQ(SendMessageA(hwnd, WM_QUERYENDSESSION, 0, 0), 0);
  tbxtest::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(SendMessageA(hwnd, WM_QUERYENDSESSION, 0, 0), 1);
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(SendMessageA(hwnd, WM_QUERYENDSESSION, 0, 0), 1);  // no second question
  EXPECT_TRUE(IsWindow(hwnd));
}

TEST_F(WindowTest, QuitClosesThroughTheSystemCloseAndPostsQuit) {
  EXPECT_EQ(SendMessageA(hwnd, WM_COMMAND, IDM_QUIT, 0), 0);
  EXPECT_FALSE(IsWindow(hwnd));
  bool quit = false;
  for (const MSG& m : tbxtest::PostedMessages()) quit |= m.message == WM_QUIT;
  EXPECT_TRUE(quit);
  hwnd = nullptr;
}

TEST_F(WindowTest, CloseReleasesThePlaylistText) {
  ScratchDir scratch;
  const std::string list = scratch("close_list.txt");
  FILE* f = fopen(list.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("a.tbx\r\n", f);
  fclose(f);
  ASSERT_EQ(PlayListRead(list.c_str()), nullptr);
  ASSERT_NE(gpListBuffer, nullptr);
  EXPECT_EQ(SendMessageA(hwnd, WM_CLOSE, 0, 0), 1);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(gpListBuffer, nullptr);
  hwnd = nullptr;
}

// ---------------------------------------------------------------- command-line load and close during a run

namespace {

// A folder of its own inside a test's scratch folder (a name with blanks where asked).
std::string MakeDir(const ScratchDir& scratch, const std::string& name) {
  std::filesystem::create_directories(scratch(name));
  return scratch(name);
}

// A saved pattern with one drum hit on step 0 and a four-step play range.
void WritePattern(const std::string& path) {
  PatternClear();
  HeaderSet(gTbro.LoopEnd, 4);
  CellTogglePerc(0, 3);
  ASSERT_EQ(TambroFileWrite(path.c_str()), nullptr);
  PatternClear();
  HeaderSet(gTbro.LoopEnd, STEP_COUNT);
}

}  // namespace

class QuotedPathTest : public WindowTest {
 protected:
  ScratchDir scratch;
  std::string dir = MakeDir(scratch, "app cmdline dir");
  std::string cmdLine() const override { return "\"" + dir + "/my song.tbx\""; }
};

TEST_F(QuotedPathTest, TheCommandLineFileIsLoadedAndTitled) {
  WritePattern(dir + "/my song.tbx");
  tbxtest::PumpMessages();
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(gbCmdLine, 0);
  EXPECT_EQ(CellPerc(0, 3), 1);
  EXPECT_EQ(WindowText(hwnd), "Tamborix - my song.tbx");
}

// Closing while a playlist plays: the run stops (devices closed) before the list text the
// step clock reads is released.
class PlaylistPlayCloseTest : public WindowTest {};

TEST_F(PlaylistPlayCloseTest, TheRunStopsThenTheListIsReleased) {
  ScratchDir scratch;
  std::string dir = MakeDir(scratch, "close_run");
  WritePattern(dir + "/a.tbx");
  FILE* f = fopen((dir + "/list.txt").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fprintf(f, "%s/a.tbx\r\n%s/a.tbx\r\n", dir.c_str(), dir.c_str());
  fclose(f);
  tbxtest::QueueFileDialog(dir + "/list.txt");
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  SendMessageA(hwnd, WM_COMMAND, IDM_PLAYALL, 0);
  ASSERT_EQ(gbSequenceGoing, 1);
  tbxtest::AdvanceClock(1000);
  EXPECT_EQ(SendMessageA(hwnd, WM_CLOSE, 0, 0), 1);
  EXPECT_EQ(gbSequenceGoing, 0);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
  EXPECT_EQ(gpListBuffer, nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
  hwnd = nullptr;
}
