// The program as a desktop application: what it remembers from one run to the next through
// the settings file (the file dialogs' folders, Recent Files, the MIDI ports by name, the
// synth's soundfont and gain), files dropped on the window, and the window drawn larger
// on a high-dpi screen (scales 1.25 to 2), where clicks and the pointer follow.
#include <cstring>
#include <string>

#include "files/files.h"
#include "files/prefs.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "platform/midi/synth_render.h"
#include "playback/playback.h"
#include "tests/files/scratch.h"
#include "tests/support.h"
#include "view/view.h"

namespace {

// A window made as the program makes it at start, reading the settings file in the test's
// scratch folder; Restart ends it and starts the next run.
class DesktopTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    WriteAll(dir("a.tbx"), RecordBytes(SampleRecord()));
    WriteAll(dir("b.tbx"), RecordBytes(SampleRecord()));
    WriteText(dir("list.txt"), "a.tbx\r\nb.tbx\r\n");
  }
  void TearDown() override {
    End();
    StateTest::TearDown();
  }
  void Start() {
    hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL, settings().c_str());
    ASSERT_NE(hwnd, nullptr);
  }
  void End() {
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    hwnd = nullptr;
    tbxtest::PumpMessages();
  }
  void Restart() {
    End();
    Start();
  }
  std::string settings() const { return dir("config/tamborix/settings.conf"); }
  std::string Setting(const char* key) {
    const char* v = PrefGet(key);
    return v ? v : "<none>";
  }
  std::string Caption() {
    char text[300] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
  HMENU RecentMenu() {
    HMENU file = GetSubMenu(ghMenu, 0);
    return GetSubMenu(file, GetMenuItemCount(file) - 1);
  }
  std::vector<std::string> RecentLabels() {
    std::vector<std::string> labels;
    HMENU m = RecentMenu();
    for (int i = 0; i < GetMenuItemCount(m); i++) {
      char sz[300] = "";
      GetMenuStringA(m, i, sz, sizeof sz, MF_BYPOSITION);
      labels.push_back(sz);
    }
    return labels;
  }
  bool RecentGrayed() {
    HMENU file = GetSubMenu(ghMenu, 0);
    return (GetMenuState(file, GetMenuItemCount(file) - 1, MF_BYPOSITION) & MF_GRAYED) != 0;
  }
  void Load(const std::string& path) {
    tbxtest::QueueFileDialog(path);
    FileLoad(hwnd, FALSE);
  }
  ScratchDir dir;
  HWND hwnd = nullptr;
};

class Remembered : public DesktopTest {};
class DroppedFiles : public DesktopTest {};

// ---------------------------------------------------------------- remembered

TEST_F(Remembered, RecentFilesNewestFirstAcrossRuns) {
  Start();
  EXPECT_TRUE(RecentGrayed()) << "nothing opened yet";
  EXPECT_TRUE(RecentLabels().empty());
  Load(dir("a.tbx"));
  Load(dir("b.tbx"));
  tbxtest::QueueFileDialog(dir("list.txt"));
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  tbxtest::QueueFileDialog(dir("c&d.tbx"));
  ASSERT_TRUE(FileSaveAs(hwnd));
  Load(dir("b.tbx"));   // opened again: to the top, not twice
  const std::vector<std::string> expect = {"&1 " + dir("b.tbx"), "&2 " + dir("c&&d.tbx"), "&3 " + dir("list.txt"),
                                           "&4 " + dir("a.tbx")};
  EXPECT_EQ(RecentLabels(), expect);
  EXPECT_FALSE(RecentGrayed());

  Restart();
  EXPECT_EQ(RecentLabels(), expect);
  EXPECT_EQ(Caption(), "Tamborix - (Untitled)");
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT + 3, 0);   // a.tbx, loaded as Load does
  EXPECT_EQ(Caption(), "Tamborix - a.tbx");
  EXPECT_EQ(std::string(gszFileName), dir("a.tbx"));
  EXPECT_EQ(RecentLabels()[0], "&1 " + dir("a.tbx"));
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT + 3, 0);   // list.txt, opened as a playlist
  EXPECT_EQ(gbSequenceOpened, 1);
  EXPECT_EQ(gbEdit, 0);

  for (int i = 0; i < 12; i++) {
    const std::string name = dir("n" + std::to_string(i) + ".tbx");
    WriteAll(name, RecordBytes(SampleRecord()));
    Load(name);
  }
  ASSERT_EQ(RecentLabels().size(), 8u) << "the eight newest";
  EXPECT_EQ(RecentLabels()[0], "&1 " + dir("n11.tbx"));
  EXPECT_EQ(RecentLabels()[7], "&8 " + dir("n4.tbx"));
}

// Two programs sharing the settings file lost each other's recent files (each wrote its own
// list over the other's), and a file name with a line end in it was not taken while the
// first entry was listed twice. Each change now starts from the list as the file has it,
// and a name of any characters is kept exactly.
TEST_F(Remembered, RecentFilesOfTwoProgramsAndOfAnyNameAreAllKept) {
  Start();
  Load(dir("a.tbx"));
  // Meanwhile another program opened list.txt.
  WriteText(settings(), "# Tamborix settings: one key=value a line\nrecent.1=" + dir("list.txt") + "\nrecent.2=" +
                            dir("a.tbx") + "\n");
  Load(dir("b.tbx"));
  EXPECT_EQ(RecentLabels(), (std::vector<std::string>{"&1 " + dir("b.tbx"), "&2 " + dir("list.txt"),
                                                      "&3 " + dir("a.tbx")}));
  const std::string odd = dir("two\nlines\t\"q\".tbx");
  WriteAll(odd, RecordBytes(SampleRecord()));
  Load(odd);
  const std::vector<std::string> expect = {"&1 " + dir("two?lines?\"q\".tbx"), "&2 " + dir("b.tbx"),
                                           "&3 " + dir("list.txt"), "&4 " + dir("a.tbx")};
  EXPECT_EQ(RecentLabels(), expect);
  Restart();
  EXPECT_EQ(RecentLabels(), expect);
  EXPECT_EQ(Setting("recent.1"), odd);
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT, 0);
  EXPECT_EQ(std::string(gszFileName), odd) << "opened from the list by its exact name";
}

// A recent file that is gone is taken off the list with the message of a missing file;
// nothing else changes, and the save question is not asked for it.
TEST_F(Remembered, ARecentFileThatDisappearedIsRemovedWithAMessage) {
  Start();
  Load(dir("a.tbx"));
  Load(dir("b.tbx"));
  std::filesystem::remove(dir("a.tbx"));
  gbNeedSave = 1;
  tbxtest::ClearMessageBoxes();
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT + 1, 0);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File " + dir("a.tbx") + " is missing or cannot be opended.");
  EXPECT_EQ(RecentLabels(), std::vector<std::string>{"&1 " + dir("b.tbx")});
  EXPECT_EQ(Caption(), "Tamborix - b.tbx");
  EXPECT_EQ(gbNeedSave, 1);
  Restart();
  EXPECT_EQ(RecentLabels(), std::vector<std::string>{"&1 " + dir("b.tbx")}) << "and stays off it";

  std::filesystem::remove(dir("b.tbx"));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT, 0);
  EXPECT_TRUE(RecentLabels().empty());
  EXPECT_TRUE(RecentGrayed());
  SendMessageA(hwnd, WM_COMMAND, IDM_RECENT + 5, 0);   // no such entry: nothing
}

TEST_F(Remembered, EachFileDialogStartsInTheFolderItChoseLast) {
  std::filesystem::create_directories(dir("songs"));
  std::filesystem::create_directories(dir("lists"));
  WriteAll(dir("songs/s.tbx"), RecordBytes(SampleRecord()));
  Start();
  Load(dir("songs/s.tbx"));
  tbxtest::QueueFileDialog(std::nullopt);
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  EXPECT_EQ(tbxtest::FileDialogs().back().initialDir, "") << "the playlist dialog has chosen nothing yet";
  tbxtest::QueueFileDialog(dir("lists/l.mid"));
  tbxtest::QueueMessageBoxAnswer(IDOK);   // "MIDI file ... generated."
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVEMIDI_GM, 0);

  Restart();
  gszFileName[0] = '\0';
  tbxtest::QueueFileDialog(std::nullopt);
  SendMessageA(hwnd, WM_COMMAND, IDM_LOAD, 0);
  EXPECT_EQ(tbxtest::FileDialogs().back().initialDir, dir("songs"));
  tbxtest::QueueFileDialog(std::nullopt);
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVEMIDI_F1, 0);
  EXPECT_EQ(tbxtest::FileDialogs().back().initialDir, dir("lists"));
  EXPECT_EQ(Setting("folder.playlist"), "<none>");
}

class RememberedPorts : public DesktopTest {
 protected:
  std::vector<std::string> outputs() const override { return {"Capture Out", "Synth B", "Port C"}; }
  std::vector<std::string> inputs() const override { return {"Keys X", "Keys Y"}; }
  bool Checked(UINT id) { return (GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
};

// Ports were kept by position, so a port that moved in the list was lost; they are kept by
// name and found wherever the system lists them at the next start.
TEST_F(RememberedPorts, ChosenPortsAreFoundByNameAtTheNextStart) {
  Start();
  EXPECT_EQ(gMidiOutPort, 0);
  SendMessageA(hwnd, WM_COMMAND, IDM_MIDIOUT + 2, 0);
  SendMessageA(hwnd, WM_COMMAND, IDM_MIDIIN + 1, 0);
  EXPECT_EQ(Setting("midi.out"), "Port C");
  EXPECT_EQ(Setting("midi.in"), "Keys Y");

  End();
  tbxtest::SetMidiDevices({"Capture Out", "Port C", "Synth B"}, {"Keys Y", "Keys X"});
  Start();
  EXPECT_EQ(gMidiOutPort, 1) << "Port C, listed elsewhere now";
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_TRUE(Checked(IDM_MIDIOUT + 1));
  EXPECT_TRUE(Checked(IDM_MIDIIN + 0));
  EXPECT_EQ(gTbro.MidiOutPort, 1);

  End();
  tbxtest::SetMidiDevices({"Capture Out", "Synth B"}, {"Keys X"});
  Start();
  EXPECT_EQ(gMidiOutPort, 0) << "gone: the start rule";
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(Setting("midi.out"), "Port C") << "kept for when it comes back";
}

// The device menus list the ports there are when the menu bar opens; the chosen port is
// followed by its name (an ALSA port's numbers may change when it comes back), shown
// grayed and checked while it is absent, and opened where it is now when a run starts.
TEST_F(RememberedPorts, PortsComeAndGoWhileTheProgramRuns) {
  tbxtest::SetMidiDevices(outputs(), {"Keys X 20:0", "Keys Y 24:0"});
  Start();
  SendMessageA(hwnd, WM_COMMAND, IDM_MIDIOUT + 2, 0);   // Port C
  SendMessageA(hwnd, WM_COMMAND, IDM_MIDIIN + 1, 0);    // Keys Y
  // Items up to the first separator: "*" checked, "~" grayed.
  auto items = [](int title) {
    std::string list;
    HMENU m = GetSubMenu(ghMenu, title);
    for (int i = 0; i < GetMenuItemCount(m) && !(GetMenuState(m, i, MF_BYPOSITION) & MF_SEPARATOR); i++) {
      char label[64] = "";
      GetMenuStringA(m, i, label, sizeof label, MF_BYPOSITION);
      const UINT state = GetMenuState(m, i, MF_BYPOSITION);
      list += std::string(list.empty() ? "" : "|") + (state & MF_GRAYED ? "~" : "") + (state & MF_CHECKED ? "*" : "") + label;
    }
    return list;
  };
  const struct {
    std::vector<std::string> outs, ins;
    const char *outItems, *inItems;
    int out, in;
  } steps[] = {
      {{"Capture Out", "New D", "Synth B", "Port C"}, {"Keys X 20:0", "Keys Y 24:0"},
       "Capture Out|New D|Synth B|*Port C", "Keys X 20:0|*Keys Y 24:0", 3, 1},
      {{"Capture Out", "New D"}, {"Keys X 20:0"}, "Capture Out|New D|~*Port C", "Keys X 20:0|~*Keys Y 24:0", 2, 1},
      {{"Port C", "Capture Out"}, {"Keys Y 28:0"}, "*Port C|Capture Out", "*Keys Y 28:0", 0, 0},
      {{"Port C"}, {}, "*Port C", "~*Keys Y 28:0", 0, 0},
  };
  for (const auto& step : steps) {
    tbxtest::ChangeMidiDevices(step.outs, step.ins);
    tbxtest::OpenMenu(hwnd);
    EXPECT_EQ(items(10), step.outItems);
    EXPECT_EQ(items(11), step.inItems);
    EXPECT_EQ(gMidiOutPort, step.out) << step.outItems;
    EXPECT_EQ(gMidiInPort, step.in) << step.inItems;
    EXPECT_EQ(GetMenuState(ghMenu, 11, MF_BYPOSITION) & MF_GRAYED, 0u) << "an absent input is still chosen";
  }
  EXPECT_EQ(Setting("midi.out"), "Port C") << "nothing chosen anew";

  // Play while the chosen output is absent says so; a run started after it came back
  // elsewhere, with no menu opened since, opens it where it is now.
  tbxtest::ChangeMidiDevices({"Capture Out"}, {"Keys X 20:0"});
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Could not start MIDI Sequence\nMIDI OUT Port not available!");
  tbxtest::ChangeMidiDevices({"Capture Out", "New D", "Port C"}, {"Keys Y 30:0"});
  tbxtest::ClearCapturedMidi();
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);
  ASSERT_TRUE(gbSequenceGoing);
  ASSERT_FALSE(tbxtest::CapturedMidi().empty());
  EXPECT_EQ(tbxtest::CapturedMidi().front().device, 2) << "Port C";
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 1) << "Keys Y, back as 30:0";
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);

  // Inputs that appear after a start without any: the MIDI-IN title is enabled.
  End();
  tbxtest::SetMidiDevices(outputs(), {});
  tbxtest::QueueMessageBoxAnswer(IDOK);   // "no MIDI IN detected!"
  Start();
  EXPECT_NE(GetMenuState(ghMenu, 11, MF_BYPOSITION) & MF_GRAYED, 0u);
  tbxtest::ChangeMidiDevices(outputs(), {"Keys Z"});
  tbxtest::OpenMenu(hwnd);
  EXPECT_EQ(GetMenuState(ghMenu, 11, MF_BYPOSITION) & MF_GRAYED, 0u);
  EXPECT_EQ(items(11), "*Keys Z");
}

// The sync items keep their state across runs, as the ports do.
TEST_F(RememberedPorts, SyncItemsAreCheckedAgainAtTheNextStart) {
  Start();
  SendMessageA(hwnd, WM_COMMAND, IDM_SYNC + SYNC_SEND_CLOCK, 0);
  EXPECT_EQ(Setting("sync.send-clock"), "1");
  EXPECT_EQ(Setting("sync.follow-clock"), "0");
  Restart();
  EXPECT_TRUE(SyncGet(SYNC_SEND_CLOCK));
  EXPECT_TRUE(Checked(IDM_SYNC + SYNC_SEND_CLOCK));
  EXPECT_FALSE(SyncGet(SYNC_FOLLOW_CLOCK));
  SendMessageA(hwnd, WM_COMMAND, IDM_SYNC + SYNC_SEND_CLOCK, 0);
  Restart();
  EXPECT_FALSE(SyncGet(SYNC_SEND_CLOCK));
}

// "MIDI Export in Beat Time" keeps its state across runs.
TEST_F(Remembered, BeatTimeExportIsCheckedAgainAtTheNextStart) {
  Start();
  EXPECT_EQ(GetMenuState(ghMenu, IDM_BEATTIME, MF_BYCOMMAND) & MF_CHECKED, 0u);
  SendMessageA(hwnd, WM_COMMAND, IDM_BEATTIME, 0);
  EXPECT_EQ(gbMidiBeatTime, 1);
  EXPECT_EQ(Setting("midi.beat-time"), "1");
  Restart();
  EXPECT_EQ(gbMidiBeatTime, 1);
  EXPECT_NE(GetMenuState(ghMenu, IDM_BEATTIME, MF_BYCOMMAND) & MF_CHECKED, 0u);
  SendMessageA(hwnd, WM_COMMAND, IDM_BEATTIME, 0);
  EXPECT_EQ(GetMenuState(ghMenu, IDM_BEATTIME, MF_BYCOMMAND) & MF_CHECKED, 0u);
  Restart();
  EXPECT_EQ(gbMidiBeatTime, 0);
}

// The settings file hands its soundfont and gain to the built-in synth, and records the
// ones in use when it has none, so that they can be changed there.
class RememberedSynth : public DesktopTest {
 protected:
  void SetUp() override {
    NewProcess();
    if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  }
  // The platform as a program finds it at start: the devices the machine has.
  void NewProcess() {
    tbxtest::PlatformReset();
    tbxtest::SetUnexpectedHandler([](const std::string& what) { ADD_FAILURE() << "unexpected: " << what; });
    tbxtest::UseManualClock(true);
    ResetAllState();
  }
  void StartWith(const char* key, const char* value) {
    End();
    NewProcess();
    PrefsOpen(settings().c_str());
    PrefSet(key, value);
    Start();
  }
  void Start() {
    if (midiInGetNumDevs() == 0) tbxtest::QueueMessageBoxAnswer(IDOK);   // "no MIDI IN detected!"
    DesktopTest::Start();
    EXPECT_EQ(tbxtest::PendingMessageBoxAnswers(), 0);
  }
};

TEST_F(RememberedSynth, SoundfontAndGainComeFromTheSettingsFile) {
  Start();
  EXPECT_EQ(Setting("synth.gain"), "0.500");
  EXPECT_EQ(Setting("synth.soundfont"), SynthSoundfontPath());

  StartWith("synth.gain", "0.25");
  EXPECT_DOUBLE_EQ(SynthGain(), 0.25);
  const std::string installed = SynthSoundfontPath();

  testing::internal::CaptureStderr();
  StartWith("synth.soundfont", dir("gone.sf2").c_str());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("the soundfont " + dir("gone.sf2") + " of the settings file cannot be used"), std::string::npos)
      << err;
  EXPECT_EQ(SynthSoundfontPath(), installed);
  EXPECT_EQ(Setting("synth.soundfont"), dir("gone.sf2")) << "kept for when it is back";

  // A file that is there but no soundfont (a truncated one) left the synth without any and
  // stayed remembered; GLib's own lines about it reached the terminal.
  Bytes cut = ReadAll(installed);
  cut.resize(cut.size() / 8);
  WriteAll(dir("cut.sf2"), cut);
  testing::internal::CaptureStderr();
  StartWith("synth.soundfont", dir("cut.sf2").c_str());
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "tamborix: the soundfont " + dir("cut.sf2") + " of the settings file cannot be used (it cannot be "
                 "loaded); playing with the distribution's\n");
  EXPECT_EQ(SynthSoundfontPath(), installed);
  EXPECT_EQ(Setting("synth.soundfont"), installed) << "the one in use takes its place";

  testing::internal::CaptureStderr();
  StartWith("synth.gain", "loud");
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("synth.gain=loud"), std::string::npos) << err;
  EXPECT_EQ(SynthGain(), kSynthDefaultGain);
}

// ---------------------------------------------------------------- dropped files

TEST_F(DroppedFiles, AProjectLoadsAsLoadAndAPlaylistOpensAsOpenPlayList) {
  Start();
  ASSERT_TRUE(tbxtest::DropFiles(hwnd, {dir("a.tbx"), dir("b.tbx")}));
  tbxtest::PumpMessages();
  EXPECT_EQ(Caption(), "Tamborix - a.tbx") << "the first file of a drop";
  EXPECT_EQ(gbEdit, 1);
  EXPECT_EQ(tbxtest::OpenDrops(), 0) << "the drop was let go";

  CellTogglePerc(3, 10);
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  ASSERT_TRUE(tbxtest::DropFiles(hwnd, {dir("list.txt")}));
  tbxtest::PumpMessages();
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Save changes of a.tbx ?") << "the save question first";
  EXPECT_EQ(gbSequenceOpened, 1);
  EXPECT_EQ(gbEdit, 0) << "playlist mode";
  EXPECT_EQ(Caption(), "Tamborix - a.tbx");
  EXPECT_EQ(std::string(gszListName), dir("list.txt"));

  gbNeedSave = 1;
  const std::string before = gszFileName;
  tbxtest::QueueMessageBoxAnswer(IDCANCEL);
  ASSERT_TRUE(tbxtest::DropFiles(hwnd, {dir("b.tbx")}));
  tbxtest::PumpMessages();
  EXPECT_EQ(std::string(gszFileName), before) << "cancelled: nothing loaded";

  tbxtest::QueueMessageBoxAnswer(IDOK);
  gbNeedSave = 0;
  ASSERT_TRUE(tbxtest::DropFiles(hwnd, {dir("notes.TXT")}));
  tbxtest::PumpMessages();
  EXPECT_EQ(tbxtest::MessageBoxes().back().text, "File notes.TXT is missing or cannot be opended.");
  EXPECT_EQ(tbxtest::OpenDrops(), 0);
}

TEST_F(DroppedFiles, OnlyAWindowThatAcceptsFilesAndIsEnabledTakesThem) {
  Start();
  DragAcceptFiles(hwnd, FALSE);
  EXPECT_FALSE(tbxtest::DropFiles(hwnd, {dir("a.tbx")}));
  DragAcceptFiles(hwnd, TRUE);
  EnableWindow(hwnd, FALSE);   // as under a modal box
  EXPECT_FALSE(tbxtest::DropFiles(hwnd, {dir("a.tbx")}));
  EnableWindow(hwnd, TRUE);
  EXPECT_FALSE(tbxtest::DropFiles(hwnd, {}));
  EXPECT_EQ(tbxtest::OpenDrops(), 0);
  EXPECT_TRUE(tbxtest::DropFiles(gHwndTEMPO, {dir("a.tbx")})) << "a child's drop goes to its window";
  tbxtest::PumpMessages();
  EXPECT_EQ(Caption(), "Tamborix - a.tbx");
}

// ---------------------------------------------------------------- the larger scale

class LargerScale : public WindowTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    tbxtest::SetDisplayScale(2);   // until the next platform reset
    hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
    ASSERT_NE(hwnd, nullptr);
  }
};

// Everything is built on the character cell, so the window, its cells and the pens double;
// clicks land on the doubled cells and the arrow keys put the pointer on their centres.
class LargerScaleSteps : public StepsTest<LargerScale> {};
TBX_STEPS_SUITE(LargerScaleSteps);

TEST_P(LargerScaleSteps, TheWindowDoublesAndInputFollows) {
  EXPECT_EQ(gcxChar, 16);
  EXPECT_EQ(gcyChar, 32);
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, (PANEL_LEFT + 4) * 16 - 12) << "the frame doubles too";
  const RECT cell = CellRect(10, 20);
  EXPECT_EQ(cell.left, (10 + GRID_LEFT) * 16);
  EXPECT_EQ(cell.right - cell.left, 18) << "16 pixels and the 2-pixel outline it shares";
  EXPECT_EQ(cell.bottom - cell.top, 18);

  tbxtest::ClearDrawLog();
  OnButtonDown(hwnd, WM_LBUTTONDOWN, 0, MAKELPARAM(cell.left + 15, cell.top + 15));
  EXPECT_EQ(CellPerc(10, 20), 1) << "the far corner of the doubled cell";
  ASSERT_FALSE(tbxtest::DrawLog().empty());
  const tbxtest::DrawOp& drawn = tbxtest::DrawLog().back();
  EXPECT_EQ(drawn.x1, cell.left);
  EXPECT_EQ(drawn.penWidth, 2);

  POINT origin = tbxtest::ClientOrigin(hwnd);
  tbxtest::SetPointer(origin.x + cell.left + 8, origin.y + cell.top + 8);
  OnMouseMove(hwnd);
  handleKeydown(hwnd, VK_RIGHT);
  const RECT next = CellRect(11, 20);
  EXPECT_EQ(tbxtest::Pointer().x, origin.x + next.left + 8);
  EXPECT_EQ(tbxtest::Pointer().y, origin.y + next.top + 8);
  EXPECT_EQ(gMouseX, 11);
  EXPECT_EQ(gMouseY, 20);
}

// The quarters between: whole-pixel character cells (10 x 20, 12 x 24, 14 x 28), one-pixel
// outlines, clicks on a cell's far corner landing on it, dialogs as MapDialogRect rounds.
TEST_F(LargerScale, QuarterScalesKeepWholeCells) {
  const struct {
    double scale;
    int cx, cy, frame, pen, aboutW, aboutH;
  } cases[] = {{1.25, 10, 20, 4, 1, 508, 748}, {1.5, 12, 24, 5, 1, 609, 897}, {1.75, 14, 28, 5, 1, 711, 1047}};
  for (const auto& c : cases) {
    DestroyWindow(hwnd);
    tbxtest::PumpMessages();
    tbxtest::SetDisplayScale(c.scale);
    ResetAllState();
    hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(gcxChar, c.cx) << c.scale;
    EXPECT_EQ(gcyChar, c.cy) << c.scale;
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, (PANEL_LEFT + 4) * c.cx - 2 * c.frame) << c.scale;
    const RECT cell = CellRect(10, 20);
    EXPECT_EQ(cell.right - cell.left, c.cx + 1) << c.scale;
    tbxtest::ClearDrawLog();
    OnButtonDown(hwnd, WM_LBUTTONDOWN, 0, MAKELPARAM(cell.right - 2, cell.bottom - 2));
    EXPECT_EQ(CellPerc(10, 20), 1) << c.scale << ": the far corner of the cell";
    ASSERT_FALSE(tbxtest::DrawLog().empty());
    EXPECT_EQ(tbxtest::DrawLog().back().penWidth, c.pen) << c.scale;
    RECT about{};
    tbxtest::QueueDialog([&](HWND dlg) {
      GetClientRect(dlg, &about);
      SendMessageA(dlg, WM_COMMAND, IDOK, 0);
    });
    SendMessageA(hwnd, WM_COMMAND, IDM_ABOUT, 0);
    EXPECT_EQ(about.right, c.aboutW) << c.scale;
    EXPECT_EQ(about.bottom, c.aboutH) << c.scale;
  }
}

TEST_F(LargerScale, DialogsDoubleWithTheirUnits) {
  RECT about{};
  tbxtest::QueueDialog([&](HWND dlg) {
    GetClientRect(dlg, &about);
    SendMessageA(dlg, WM_COMMAND, IDOK, 0);
  });
  SendMessageA(hwnd, WM_COMMAND, IDM_ABOUT, 0);
  EXPECT_EQ(about.right, 203 * 4);
  EXPECT_EQ(about.bottom, 299 * 4);
}

}  // namespace
