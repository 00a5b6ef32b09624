// The menu bar as built, the Play-menu modes, the settings commands (check marks, shadows,
// effects, refusals while a sequence runs, stray identifiers), the instrument number
// dialog, About and Open PlayList.
#include <cstdio>
#include <cstring>
#include <string>

#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

std::string Label(HMENU menu, UINT pos) {
  char sz[128] = "";
  GetMenuStringA(menu, pos, sz, sizeof sz, MF_BYPOSITION);
  return sz;
}

bool Grayed(UINT id) { return (GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_GRAYED) != 0; }

// Identifiers of the checked items of one popup.
std::vector<UINT> CheckedIn(int popup) {
  std::vector<UINT> ids;
  HMENU m = GetSubMenu(ghMenu, popup);
  for (int i = 0; i < GetMenuItemCount(m); i++)
    if (GetMenuState(m, i, MF_BYPOSITION) & MF_CHECKED) ids.push_back(GetMenuItemID(m, i));
  return ids;
}

std::string WindowText(HWND hwnd) {
  char sz[400] = "";
  GetWindowTextA(hwnd, sz, sizeof sz);
  return sz;
}

}  // namespace

class MenuTest : public WindowTest {
 protected:
  void Command(UINT id) { EXPECT_EQ(SendMessageA(hwnd, WM_COMMAND, id, 0), 0); }
};

// ---------------------------------------------------------------- the bar

// The bar and the About box as each of the four programs shows them.
class MenuSteps : public StepsTest<MenuTest> {};
TBX_STEPS_SUITE(MenuSteps);

TEST_P(MenuSteps, TheBarHoldsThePopupsInOrderAndAboutLast) {
  const char* labels[] = {"File", "Play", "Beats/Bar", "rel.Beat", "BarAccent",
                          GetParam() == 72 ? "FreeAcc." : "FreeAccent",
                          GetParam() == 72 ? "Instr." : "Chromatic Instr.",
                          "Instr.Level", "Mute", "Transpose", "MIDI-OUT", "MIDI-IN", "Perc.Ch",
                          "Instr.Ch", "About"};
  ASSERT_EQ(GetMenuItemCount(ghMenu), 15);
  for (int i = 0; i < 15; i++) EXPECT_EQ(Label(ghMenu, i), labels[i]) << i;
  EXPECT_EQ(GetMenuItemID(ghMenu, 14), (UINT)IDM_ABOUT);
  EXPECT_EQ(GetSubMenu(ghMenu, 14), nullptr);
}

TEST_F(MenuTest, FileAndPlayItemsWithTheirSeparatorsAndStates) {
  HMENU file = GetSubMenu(ghMenu, 0);
  const UINT ids[] = {40001, 40002, 40003, 40004, 40005, 40006, 40007, 0,     40008,
                      40010, 40011, 40014, 0,     40013, 0,     40012, 0};
  ASSERT_EQ(GetMenuItemCount(file), 18);   // the file commands, then Recent Files
  for (int i = 0; i < 17; i++) {
    if (ids[i] == 0)
      EXPECT_NE(GetMenuState(file, i, MF_BYPOSITION) & MF_SEPARATOR, 0u) << i;
    else
      EXPECT_EQ(GetMenuItemID(file, i), ids[i]) << i;
  }
  EXPECT_EQ(Label(file, 0), "New File\tCtrl+N");
  EXPECT_EQ(Label(file, 2), "Load File incl. MIDI Port+Ch.");
  EXPECT_EQ(Label(file, 11), "MIDI Export in Beat Time");
  EXPECT_EQ(GetMenuState(file, 11, MF_BYPOSITION) & MF_CHECKED, 0u);
  EXPECT_EQ(Label(file, 13), "Import MIDI File...");
  EXPECT_EQ(Label(file, 15), "Quit\tCtrl+Q");
  EXPECT_EQ(Label(file, 17), "Recent Files");
  EXPECT_NE(GetSubMenu(file, 17), nullptr);
  EXPECT_NE(GetMenuState(file, 17, MF_BYPOSITION) & MF_GRAYED, 0u);   // nothing remembered yet

  HMENU play = GetSubMenu(ghMenu, 1);
  ASSERT_EQ(GetMenuItemCount(play), 10);  // the seven play commands, then Undo and Redo
  EXPECT_EQ(Label(play, 3), "&Loop File / MIDI IN undo\tCtrl+U");
  EXPECT_NE(GetMenuState(play, 7, MF_BYPOSITION) & MF_SEPARATOR, 0u);
  EXPECT_EQ(Label(play, 8), "Undo\tCtrl+Z");
  EXPECT_EQ(Label(play, 9), "Redo\tCtrl+Y");
  EXPECT_EQ(GetMenuItemID(play, 8), (UINT)IDM_UNDO);
  EXPECT_EQ(GetMenuItemID(play, 9), (UINT)IDM_REDO);
  EXPECT_TRUE(Grayed(IDM_UNDO));  // nothing to undo or redo yet
  EXPECT_TRUE(Grayed(IDM_REDO));
  EXPECT_TRUE(Grayed(IDM_PLAYALL));
  EXPECT_TRUE(Grayed(IDM_PLAYFROM));
  for (UINT id : {IDM_LOOP, IDM_LOOPUNDO, IDM_STOP, IDM_STOPATEND, IDM_CONTINUE}) EXPECT_FALSE(Grayed(id)) << id;
  EXPECT_EQ(CheckedIn(1), std::vector<UINT>{IDM_STOP});
}

TEST_F(MenuTest, SettingsPopupsCheckTheDefaults) {
  const UINT expect[] = {40204, 40302, 40400, 40507, 40603, 40704, 40800, 40912, 41000, 41100, 41209, 41300};
  const int popups[] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  for (int i = 0; i < 12; i++) EXPECT_EQ(CheckedIn(popups[i]), std::vector<UINT>{expect[i]}) << expect[i];

  // MIDI-OUT: the device, then the JACK transport items and "Send MIDI Clock" last; MIDI-IN:
  // the device and "Follow MIDI Clock", each group after a separator.
  const int counts[] = {8, 10, 7, 13, 14, 8, 12, 25, 6, 3, 2, 16};
  for (int i = 0; i < 12; i++) EXPECT_EQ(GetMenuItemCount(GetSubMenu(ghMenu, popups[i])), counts[i]) << i;
  HMENU voice = GetSubMenu(ghMenu, 6);
  EXPECT_NE(GetMenuState(voice, 12, MF_BYPOSITION) & MF_SEPARATOR, 0u);
  EXPECT_EQ(GetMenuItemID(voice, 13), (UINT)IDM_VOICE_OTHERS);
  EXPECT_EQ(Label(voice, 13), "Others");
  EXPECT_EQ(Label(GetSubMenu(ghMenu, 10), 0), "Capture Out");
  EXPECT_EQ(Label(GetSubMenu(ghMenu, 11), 0), "Loopback In");
  const struct {
    int popup, pos;
    UINT id;
    const char* label;
  } sync[] = {{10, 2, IDM_SYNC + SYNC_JACK_TRANSPORT, "JACK Transport"},
              {10, 3, IDM_SYNC + SYNC_JACK_MASTER, "JACK Transport Master"},
              {10, 5, IDM_SYNC + SYNC_SEND_CLOCK, "Send MIDI Clock"},
              {11, 2, IDM_SYNC + SYNC_FOLLOW_CLOCK, "Follow MIDI Clock"}};
  for (const auto& item : sync) {
    HMENU popup = GetSubMenu(ghMenu, item.popup);
    EXPECT_EQ(GetMenuItemID(popup, item.pos), item.id) << item.label;
    EXPECT_EQ(Label(popup, item.pos), item.label);
    EXPECT_EQ(GetMenuState(popup, item.pos, MF_BYPOSITION) & MF_CHECKED, 0u) << item.label << " starts off";
  }
  EXPECT_EQ(Label(GetSubMenu(ghMenu, 9), 24), "C");
  EXPECT_EQ(GetMenuItemID(GetSubMenu(ghMenu, 5), 0), 40501u);
}

TEST_F(MenuTest, PlayMenuModes) {
  EnablePlaylistMenu();
  EXPECT_EQ(gbEdit, 0);
  EXPECT_TRUE(Grayed(IDM_LOOP));
  EXPECT_TRUE(Grayed(IDM_LOOPUNDO));
  for (UINT id : {IDM_STOP, IDM_STOPATEND, IDM_PLAYALL, IDM_PLAYFROM, IDM_CONTINUE}) EXPECT_FALSE(Grayed(id)) << id;
  EnableEditMenu();
  EXPECT_EQ(gbEdit, 1);
  EXPECT_TRUE(Grayed(IDM_PLAYALL));
  EXPECT_TRUE(Grayed(IDM_PLAYFROM));
  for (UINT id : {IDM_LOOP, IDM_LOOPUNDO, IDM_STOP, IDM_STOPATEND, IDM_CONTINUE}) EXPECT_FALSE(Grayed(id)) << id;
}

// ---------------------------------------------------------------- settings

TEST_F(MenuTest, AChangedSettingMovesTheMarkRepaintsAndMarksTheProject) {
  tbxtest::ClearInvalidations();
  Command(40208);
  EXPECT_EQ(gBeatsPBar, 8);
  EXPECT_EQ(*gSettings[SET_BEATSPBAR].shadow, 8);
  EXPECT_EQ(CheckedIn(2), std::vector<UINT>{40208});
  EXPECT_EQ(gbNeedSave, 1);
  EXPECT_EQ(gbFileChanged, 1);
  ASSERT_FALSE(tbxtest::Invalidations().empty());
  EXPECT_TRUE(tbxtest::Invalidations().back().whole);
  EXPECT_FALSE(tbxtest::Invalidations().back().erase);

  Command(40501);  // "-60"
  EXPECT_EQ(gFreeAccent, 1);
  Command(40406);
  EXPECT_EQ(gAccent, 6);
  EXPECT_EQ(gTbro.Accent, 0);  // the record keeps its snapshot until a save
  Command(40309);
  EXPECT_EQ(gRelBeat, 9);
  EXPECT_EQ(CheckedIn(3), std::vector<UINT>{40309});
}

TEST_F(MenuTest, ChoosingTheCheckedItemChangesNothingButRelBeatStillAdjusts) {
  tbxtest::ClearInvalidations();
  for (UINT id : {40204u, 40400u, 40507u, 40603u, 40704u, 40912u, 41000u, 41100u, 41209u, 41300u}) Command(id);
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(gbFileChanged, 0);
  EXPECT_TRUE(tbxtest::Invalidations().empty());

  gMsecPerBeat = 400;  // not yet given to AdjustBeat
  Command(40302);
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(gAdjustedBeat, 400);
  EXPECT_EQ(CheckedIn(3), std::vector<UINT>{40302});
}

TEST_F(MenuTest, LevelTransposeAndPortsDoNotMarkTheProject) {
  Command(40706);
  EXPECT_EQ(gVoiceLevel, 6);
  EXPECT_EQ(gDeltaVoiceLevel, 40);
  EXPECT_EQ(gXDVoiceLevel, 0);
  gbEdit = 0;  // playlist mode: the extra level
  Command(40700);
  EXPECT_EQ(gXDVoiceLevel, -127);
  EXPECT_EQ(gDeltaVoiceLevel, 40);

  Command(40913);
  EXPECT_EQ(gNoteOffset, 33);
  EXPECT_EQ(WindowText(gHwndNOTE), "35");
  Command(41215);
  EXPECT_EQ(gPercCh, 15);
  Command(41315);
  EXPECT_EQ(gVoiceCh, 15);
  EXPECT_EQ(CheckedIn(13), std::vector<UINT>{41315});
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(gbFileChanged, 0);
}

TEST_F(MenuTest, InstrumentsRecomputeTheBaseNote) {
  Command(40632);  // Acoustic Bass: an octave lower
  EXPECT_EQ(gVoice, 32);
  EXPECT_EQ(gVoiceChecked, 32);
  EXPECT_EQ(gOldVoice, 32);
  EXPECT_EQ(gNoteOffset, 22);
  EXPECT_EQ(WindowText(gHwndNOTE), "24");
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{40632});
  EXPECT_EQ(gbNeedSave, 1);
  Command(40608);
  EXPECT_EQ(gNoteOffset, 34);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{40608});
}

TEST_F(MenuTest, WhileASequenceRunsSomeSettingsAreRefused) {
  gbSequenceGoing = 1;
  struct Case { UINT id; const char* text; };
  const Case refused[] = {
      {40609, "First stop sequence before change Chromatic Perc."},
      {IDM_VOICE_OTHERS, "First stop sequence before change Chromatic Perc."},
      {41000, "First stop sequence before change MIDI OUT port"},
      {41100, "First stop sequence before change MIDI IN port"},
      {41215, "First stop sequence before change MIDI Ch."},
      {41305, "First stop sequence before change MIDI Ch."},
  };
  for (const Case& c : refused) {
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueMessageBoxAnswer(IDOK);
    Command(c.id);
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u) << c.id;
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, c.text);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, "Tamborix");
  }
  EXPECT_EQ(gVoice, 3);
  EXPECT_EQ(gPercCh, 9);
  EXPECT_EQ(gVoiceCh, 0);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{40603});
  EXPECT_EQ(CheckedIn(12), std::vector<UINT>{41209});
  EXPECT_EQ(CheckedIn(13), std::vector<UINT>{41300});

  tbxtest::ClearMessageBoxes();
  Command(40212);
  Command(40304);
  Command(40402);
  Command(40509);
  Command(40703);
  Command(40901);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(gBeatsPBar, 12);
  EXPECT_EQ(gRelBeat, 4);
  EXPECT_EQ(gAccent, 2);
  EXPECT_EQ(gFreeAccent, 9);
  EXPECT_EQ(gVoiceLevel, 3);
  EXPECT_EQ(gTranspose, 1);
  gbSequenceGoing = 0;
}

// Only the menu's own identifiers act: a value no item carries would break playback or
// painting (steps per bar 0, a channel above 15, a port that does not exist).
TEST_F(MenuTest, StrayIdentifiersAreIgnored) {
  for (UINT id : {40000u, 40009u, 40015u, 40100u, 40108u, 40200u, 40207u, 40310u, 40407u, 40500u,
                  40514u, 40601u, 40698u, 40708u, 40812u, 40925u, 41001u, 41101u, 41210u,
                  41316u, 41399u, 41401u, 50000u}) {
    Command(id);
  }
  EXPECT_EQ(gBeatsPBar, 4);
  EXPECT_EQ(gRelBeat, 2);
  EXPECT_EQ(gFreeAccent, 7);
  EXPECT_EQ(gVoice, 3);
  EXPECT_EQ(gVoiceLevel, 4);
  EXPECT_EQ(gTranspose, 12);
  EXPECT_EQ(gMidiOutPort, 0);
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(gPercCh, 9);
  EXPECT_EQ(gVoiceCh, 0);
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
}

// ---------------------------------------------------------------- the "Others" dialog

class OthersTest : public MenuTest {
 protected:
  // Runs "Others" with the given entries typed and OK pressed after each; returns the
  // text the dialog showed first.
  std::string Choose(std::vector<std::string> entries, bool cancelAtEnd = false) {
    std::string shown;
    tbxtest::QueueDialog([&](HWND dlg) {
      char sz[32] = "";
      GetDlgItemTextA(dlg, IDC_INSTRUMENT_NUM, sz, sizeof sz);
      shown = sz;
      for (const std::string& e : entries) {
        SetDlgItemTextA(dlg, IDC_INSTRUMENT_NUM, e.c_str());
        SendMessageA(dlg, WM_COMMAND, IDOK, 0);
        if (tbxtest::DialogEnded(dlg)) return;
      }
      if (cancelAtEnd) SendMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
    });
    Command(IDM_VOICE_OTHERS);
    return shown;
  }
};

TEST_F(OthersTest, OkWithOneSelectsProgramZeroAndChecksOthers) {
  EXPECT_EQ(Choose({"1"}), "4");
  EXPECT_EQ(gVoice, 0);
  EXPECT_EQ(gVoiceChecked, 99);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{IDM_VOICE_OTHERS});
  EXPECT_EQ(gbNeedSave, 1);
  ASSERT_EQ(tbxtest::Dialogs().size(), 1u);
  EXPECT_EQ(tbxtest::Dialogs()[0].templateName, "OTHERSDLGBOX");

  gVoice = 109;
  EXPECT_EQ(Choose({"128"}), "110");
  EXPECT_EQ(gVoice, 127);
  EXPECT_EQ(Choose({" 33"}), "128");
  EXPECT_EQ(gVoice, 32);
  EXPECT_EQ(gNoteOffset, 22);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{IDM_VOICE_OTHERS});
}

TEST_F(OthersTest, CancelLeavesInstrumentAndMark) {
  Choose({}, true);
  EXPECT_EQ(gVoice, 3);
  EXPECT_EQ(gVoiceChecked, 3);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{40603});
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(OthersTest, InvalidNumbersKeepTheDialogOpen) {
  for (int i = 0; i < 5; i++) tbxtest::QueueMessageBoxAnswer(IDOK);
  Choose({"0", "129", "-5", "abc", "", "12abc"});
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 5u);
  for (const auto& box : tbxtest::MessageBoxes()) {
    EXPECT_EQ(box.text, "invalid selection!");
    EXPECT_EQ(box.caption, "Tamborix");
    EXPECT_EQ(box.owner, hwnd);
    EXPECT_EQ(box.flags & 0xF0, (UINT)MB_ICONEXCLAMATION);
  }
  EXPECT_EQ(gVoice, 11);
  EXPECT_EQ(CheckedIn(6), std::vector<UINT>{IDM_VOICE_OTHERS});
}

TEST_F(OthersTest, HugeNumbersAreInvalidNotWrapped) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Choose({"4294967297", "5"});
  EXPECT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(gVoice, 4);
}

// ---------------------------------------------------------------- About

TEST_P(MenuSteps, AboutClosesOnlyWithOk) {
  bool endedByEscape = true;
  tbxtest::QueueDialog([&](HWND dlg) {
    SendMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
    endedByEscape = tbxtest::DialogEnded(dlg);
    SendMessageA(dlg, WM_COMMAND, IDOK, 0);
  });
  Command(IDM_ABOUT);
  EXPECT_FALSE(endedByEscape);
  ASSERT_EQ(tbxtest::Dialogs().size(), 1u);
  EXPECT_EQ(tbxtest::Dialogs()[0].templateName, GetParam() == 144 ? "ABOUTBOX" : "ABOUTBOX" + std::to_string(GetParam()));
  EXPECT_EQ(tbxtest::Dialogs()[0].result, TRUE);
}

// ---------------------------------------------------------------- Open PlayList

class OpenPlayListTest : public MenuTest {
 protected:
  ScratchDir scratch;
  std::string dir = scratch.dir().string();
  void Write(const std::string& name, const void* data, size_t size) {
    FILE* f = fopen((dir + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(data, 1, size, f);
    fclose(f);
  }
  std::string Path(const std::string& name) { return dir + "/" + name; }
};

TEST_F(OpenPlayListTest, TheFirstEntryIsLoadedInPlaylistMode) {
  TbroRecord rec;
  memset(&rec, 0, sizeof rec);
  memcpy(rec.Id, "TBRX", 4);
  rec.Size = 3540;
  rec.MsecPerBeat = 250;
  rec.RelBeat = 2;
  rec.LoopEnd = STEP_COUNT;
  rec.BeatsPBar = 4;
  rec.FreeAccent = 7;
  rec.Voice = 3;
  rec.VoiceLevel = 6;
  rec.Transpose = 12;
  rec.PercCh = 9;
  rec.PercL[1] = 0x8;
  Write("first.tbx", &rec, sizeof rec);
  std::string list = Path("first.tbx") + "\r\n";
  Write("list.txt", list.data(), list.size());

  gXDVoiceLevel = 20;
  tbxtest::QueueFileDialog(Path("list.txt"));
  Command(IDM_OPENLIST);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(StepGet(gTbro.PercL, 1), 0x8u);
  EXPECT_EQ(gbSequenceOpened, 1);
  EXPECT_EQ(gbFirstFile, 0);
  EXPECT_EQ(gbEdit, 0);
  EXPECT_FALSE(Grayed(IDM_PLAYALL));
  EXPECT_TRUE(Grayed(IDM_LOOP));
  EXPECT_EQ(WindowText(hwnd), "Tamborix - " + Path("first.tbx"));
  EXPECT_EQ(gVoiceLevel, 4);
  EXPECT_EQ(gOldVoiceLevel, 4);
  EXPECT_EQ(gXDVoiceLevel, 0);
  EXPECT_EQ(CheckedIn(7), std::vector<UINT>{40704});
  ASSERT_EQ(tbxtest::FileDialogs().size(), 1u);
  EXPECT_FALSE(tbxtest::FileDialogs()[0].save);
  EXPECT_EQ(tbxtest::FileDialogs()[0].defExt, "txt");
}

TEST_F(OpenPlayListTest, AMissingListIsReportedAndTheTitleEmptied) {
  strcpy(gszTitleName, "old.tbx");
  tbxtest::QueueFileDialog(Path("nolist.txt"));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Command(IDM_OPENLIST);
  ASSERT_FALSE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(tbxtest::MessageBoxes().back().text, "File nolist.txt is missing or cannot be opended.");
  EXPECT_STREQ(gszTitleName, "");
  EXPECT_EQ(gbEdit, 1);
}

TEST_F(OpenPlayListTest, CancelAtThePromptOrTheDialogStops) {
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDCANCEL);
  Command(IDM_OPENLIST);
  EXPECT_TRUE(tbxtest::FileDialogs().empty());
  gbNeedSave = 0;
  tbxtest::QueueFileDialog(std::nullopt);
  Command(IDM_OPENLIST);
  EXPECT_EQ(tbxtest::FileDialogs().size(), 1u);
  EXPECT_EQ(gbSequenceOpened, 0);
  EXPECT_EQ(gbEdit, 1);
}
