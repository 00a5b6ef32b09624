// Playing a playlist: entries follow each other without a gap, the run ends with the list,
// a missing entry ends it with its error, the save question at the switch, Play All again;
// lists that must end (one-step entries, in the window and the command line) and lists too
// large to be one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "files/files.h"
#include "midifile/midifile.h"
#include "platform/midi/synth_render.h"
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
  void WriteEntry(const char* name, int loopEnd, int row, int loopStart = 0) {
    PatternClear();
    HeaderSet(gTbro.LoopStart, int16_t(loopStart));
    HeaderSet(gTbro.LoopEnd, int16_t(loopEnd));
    CellTogglePerc(loopStart, row);
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
  // The note-ons on `channel` of the list's GM export, in order.
  std::vector<int> ExportedNotes(int channel) {
    tbxtest::QueueFileDialog(scratch("list.mid"));
    tbxtest::QueueMessageBoxAnswer(IDOK);
    OnExportCommand(hwnd, IDM_SAVELIST_GM);
    Smf smf = ParseSmf(ReadAll(scratch("list.mid")));
    EXPECT_TRUE(smf.ok) << smf.error;
    std::vector<int> notes;
    for (const SmfEvent& e : smf.ok ? smf.track[0] : std::vector<SmfEvent>())
      if (e.NoteOn() && (e.status & 0x0F) == channel) notes.push_back(e.data[0]);
    return notes;
  }
  // Drum notes played, in order.
  std::vector<int> Drums() {
    std::vector<int> out;
    for (DWORD m : NoteOns(Take()))
      if ((m & 0x0F) == 9) out.push_back(int(m >> 8 & 0x7F));
    return out;
  }
  ScratchDir scratch;
};

class PlaylistCases : public PlaylistPlay {
 protected:
  // Runs a command of the command line, as the program with this step count, in the
  // scratch folder; its exit status, standard output in *out. -2 when it is not built.
  int Cli(const std::string& args, std::string* out) {
    const std::string exe = std::string(TBX_BINARY_DIR) + "/tamborix-cli";
    if (!std::filesystem::exists(exe)) return -2;
    FILE* p = popen(("cd '" + scratch.dir().string() + "' && '" + exe + "' --steps " + std::to_string(STEP_COUNT) +
                     " " + args + " 2>/dev/null").c_str(),
                    "r");
    char buf[256];
    while (p && fgets(buf, sizeof buf, p)) *out += buf;
    const int status = p ? pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

}  // namespace

// A list of entries whose play range is one step never moved on: the window looped the
// first entry for ever, and render without --seconds wrote the one-hour cap. Every entry
// now plays its steps once and the list ends, in the window, in events, render and the
// export alike.
TEST_F(PlaylistCases, OneStepEntriesMoveOn) {
  WriteEntry("one.tbx", 1, 3);          // step 0: Bass Drum 1
  WriteEntry("late.tbx", 6, 5, 5);      // step 5 alone: Snare
  WriteEntry("two.tbx", 2, 7);          // steps 0 1: Hand Clap on 0
  PatternClear();
  const struct {
    std::vector<const char*> list;
    std::vector<int> steps;   // the play positions posted, each entry's wrap with it
    std::vector<int> drums;   // the drum notes of the whole run
  } cases[] = {
      {{"one.tbx"}, {0, 0}, {36}},
      {{"one.tbx", "late.tbx"}, {0, 0, 5}, {36, 38}},
      {{"two.tbx", "late.tbx", "one.tbx", "two.tbx"}, {0, 1, 0, 5, 0, 1, 0}, {40, 38, 36, 40}},
  };
  for (const auto& c : cases) {
    std::string list;
    for (const char* name : c.list) list += Entry(name) + "\r\n";
    SCOPED_TRACE(list);
    OpenList(list);
    Command(IDM_PLAYALL);
    Take();
    EXPECT_EQ(Advance(uint32_t(c.steps.size() + 1) * 500), c.steps) << "the window";
    EXPECT_FALSE(gbSequenceGoing) << "the list has ended";
    EXPECT_EQ(Drums(), c.drums);

    EXPECT_EQ(ExportedNotes(9), c.drums) << "the export";

    std::string out;
    const int events = Cli("events --count 1000 list.txt", &out);
    if (events == -2) continue;
    EXPECT_EQ(events, 0);
    std::vector<int> printed;
    unsigned ms, status, note, velocity;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
      if (std::sscanf(out.c_str() + at, "%u %x %x %x", &ms, &status, &note, &velocity) == 4 && status == 0x99 &&
          velocity > 0)
        printed.push_back(int(note));
    EXPECT_EQ(printed, c.drums) << "events:\n" << out;
    if (SynthSoundfontPath().empty()) continue;
    out.clear();
    ASSERT_EQ(Cli("render list.txt out.wav", &out), 0);
    // The run and a release of 1.5 s (and the stop's 0.1 s), not the hour a run without an
    // end is cut at.
    const Bytes wav = ReadAll(scratch("out.wav"));
    ASSERT_GE(wav.size(), 44u);
    const uint32_t lengthMs = (wav[40] | wav[41] << 8 | wav[42] << 16 | uint32_t(wav[43]) << 24) / 4 * 10 / 441;
    EXPECT_GE(lengthMs, c.steps.size() * 500 + 1500) << "render";
    EXPECT_LE(lengthMs, c.steps.size() * 500 + 1700) << "render";
  }
}

// A 1 GB .txt took seconds to read, was then called missing and stayed in memory: a file
// larger than any list is refused at once as unreadable, and the list in use stays.
TEST_F(PlaylistCases, FileLargerThanAnyListIsRefusedUnread) {
  OpenList(Entry("a.tbx") + "\r\n");
  char* const before = gpListBuffer;
  for (const uint64_t size : {uint64_t(1) << 20 | 1, uint64_t(1) << 30, uint64_t(1) << 32 | 8}) {
    SCOPED_TRACE(size);
    const std::string big = scratch("big.txt");
    WriteText(big, "two.tbx\r\n");
    std::filesystem::resize_file(big, size);   // sparse: nothing of it is on disk
    EXPECT_EQ(PlayListRead(big.c_str()), gszErrorCannotRead);
    EXPECT_EQ(gpListBuffer, before);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    OpenNamedFile(hwnd, big.c_str());          // as opened from Recent Files or dropped
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File big.txt is unreadable.");
    tbxtest::ClearMessageBoxes();
  }
  WriteText(scratch("edge.txt"), std::string((1 << 20) - 7, ';') + "\r\na.tbx");
  EXPECT_EQ(PlayListRead(scratch("edge.txt").c_str()), nullptr) << "a list of 1 MiB is read";
}

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

  EXPECT_EQ(ExportedNotes(0), played);
}

// Ctrl+S pressed while "Play All" moved on through two-step entries at 506 BPM "*12" wrote
// one entry's pattern into another entry's file: the save read the file and title names and
// the backup's image while the timer thread's advance rewrote them. Saves and captions on
// the window thread while such a list plays on the real timer for some seconds: every entry
// file and every backup is a whole record of its own entry.
class PlaylistPlaySaves : public PlayTest {};

TEST_F(PlaylistPlaySaves, EverySaveWritesTheEntryItsNamesGive) {
  ScratchDir scratch;
  const int kEntries = 8;
  std::vector<Bytes> written;
  for (int i = 0; i < kEntries; ++i) {
    PatternClear();
    gMsecPerBeat = 118;  // 10 ms steps
    gRelBeat = 9;
    HeaderSet(gTbro.LoopStart, int16_t(2 * i));
    HeaderSet(gTbro.LoopEnd, int16_t(2 * i + 2));
    CellTogglePerc(2 * i, 3 + i);
    CellToggleVoice(2 * i + 1, 10 + i);
    StepSet(gTbro.VoiceXH, i, 0x01010101u * uint32_t(i + 1));
    const std::string name = scratch("e" + std::to_string(i) + ".tbx");
    ASSERT_EQ(TambroFileWrite(name.c_str()), nullptr);
    written.push_back(ReadAll(name));
  }
  std::string list;
  for (int round = 0; round < 40; ++round)
    for (int i = 0; i < kEntries; ++i) list += scratch("e" + std::to_string(i) + ".tbx") + "\r\n";
  std::ofstream(scratch("list.txt"), std::ios::binary) << list;
  tbxtest::QueueFileDialog(scratch("list.txt"));
  Command(IDM_OPENLIST);
  ASSERT_TRUE(gbSequenceOpened);

  tbxtest::UseManualClock(false);
  Command(IDM_PLAYALL);
  ASSERT_TRUE(gbSequenceGoing);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int saves = 0;
  while (gbSequenceGoing && std::chrono::steady_clock::now() < end) {
    // A few of the clock's messages (and the paints), then the key, as a message loop
    // takes them when the window is slower than the clock.
    MSG m;
    for (int n = 0; n < 4 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); n++) DispatchMessageA(&m);
    gbFileChanged = 1;  // as after an edit: the save writes the backup too
    Command(IDM_SAVE);
    ++saves;
    DoCaption(hwnd, gszTitleName);
    char caption[300];
    GetWindowTextA(hwnd, caption, sizeof caption);
    EXPECT_EQ(std::string(caption), "Tamborix - " + std::string(gszTitleName));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  tbxtest::PumpMessages();
  EXPECT_FALSE(gbSequenceGoing) << "the list has ended";
  EXPECT_GT(saves, 100);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());

  // A save may have written its entry's header with the settings in force; the play range
  // and every step word are the entry's own.
  auto same = [](const Bytes& a, const Bytes& b) {
    return a.size() == size_t(TBRO_SIZE) && b.size() == size_t(TBRO_SIZE) &&
           std::equal(a.begin() + 10, a.begin() + 14, b.begin() + 10) && std::equal(a.begin() + 36, a.end(), b.begin() + 36);
  };
  for (int i = 0; i < kEntries; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(same(ReadAll(scratch("e" + std::to_string(i) + ".tbx")), written[i]));
    const std::string backup = scratch("e" + std::to_string(i) + ".BAK");
    if (Exists(backup)) {
      EXPECT_TRUE(same(ReadAll(backup), written[i])) << "backup";
    }
  }
}
