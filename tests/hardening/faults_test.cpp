// Injected faults at the platform's seams: every failure of a save, a load, an export or a
// start gives exactly the program's message and loses nothing. The previous project file,
// its backup and an existing MIDI file stay byte for byte as they were; a temporary file
// left by a process killed between writing and renaming harms neither the next save nor
// the next load; a failed load leaves the pattern and the settings as they were; a failed
// start or a clock that dies leaves no device open and no note sounding.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/hardening/hardening_support.h"
#include "tests/support.h"

namespace {

using hardening::Bytes;
using hardening::ReadAll;
using hardening::RecordImage;
using hardening::Text;
using hardening::WriteAll;
using tbxtest::Fault;

std::vector<std::string> BoxTexts() {
  std::vector<std::string> texts;
  for (const auto& box : tbxtest::MessageBoxes()) texts.push_back(box.text);
  return texts;
}

class FaultTest : public WindowTest {
 protected:
  hardening::Scratch dir;

  void Load(const std::string& name) {
    tbxtest::QueueFileDialog(dir(name));
    FileLoad(hwnd, FALSE);
  }
  void Change() {
    CellTogglePerc(5, 12);
    gbNeedSave = 1;
    gbFileChanged = 1;
  }
  std::vector<int> Settings() {
    return {gMsecPerBeat, gRelBeat, gBeatsPBar, gAccent, gFreeAccent, gVoice, gVoiceLevel, gTranspose,
            gMidiOutPort, gMidiInPort, gPercCh, gVoiceCh, gNoteOffset, giTempo, gAdjustedBeat};
  }
};

using SaveFaults = FaultTest;

// A save writes the backup, then the project: a fault in either write, at any of its three
// seams, leaves the files it did not complete exactly as they were.
TEST_F(SaveFaults, AnyFailedWriteKeepsProjectAndBackup) {
  const Bytes project = RecordImage(1), oldBackup = RecordImage(2);
  for (Fault fault : {Fault::FileCreate, Fault::FileWrite, Fault::FileRename}) {
    for (int skip : {0, 1}) {
      SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + ", skip " + std::to_string(skip));
      WriteAll(dir("a.tbx"), project);
      WriteAll(dir("a.BAK"), oldBackup);
      gbNeedSave = 0;  // the failed save before this one left its changes unsaved
      Load("a.tbx");
      Change();
      tbxtest::ClearMessageBoxes();
      tbxtest::InjectFault(fault, skip, 1);
      if (skip == 1) tbxtest::QueueMessageBoxAnswer(IDOK);
      FileSave(hwnd);
      tbxtest::ClearFaults();
      EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.BAK", "a.tbx"})) << "a temporary file was left behind";
      if (skip == 0) {  // the backup failed: silently, and the save went on
        EXPECT_TRUE(BoxTexts().empty());
        EXPECT_EQ(ReadAll(dir("a.BAK")), oldBackup);
        EXPECT_NE(ReadAll(dir("a.tbx")), project);
        EXPECT_EQ(gbNeedSave, 0);
      } else {  // the backup was written, the project write failed
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot write file a.tbx ."});
        EXPECT_EQ(ReadAll(dir("a.tbx")), project);
        EXPECT_EQ(ReadAll(dir("a.BAK")), project);
        EXPECT_EQ(gszTitleName[0], '\0');
        EXPECT_EQ(gbNeedSave, 1);
      }
    }
  }
}

TEST_F(SaveFaults, FailedSaveAsKeepsTheChosenFile) {
  WriteAll(dir("a.tbx"), RecordImage(1));
  WriteAll(dir("b.tbx"), RecordImage(3));
  Load("a.tbx");
  Change();
  for (Fault fault : {Fault::FileCreate, Fault::FileWrite, Fault::FileRename}) {
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(fault, 1, 1);  // the backup of Save As goes through, the file fails
    tbxtest::QueueFileDialog(dir("b.tbx"));
    tbxtest::QueueMessageBoxAnswer(IDOK);
    EXPECT_FALSE(FileSaveAs(hwnd));
    tbxtest::ClearFaults();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot write file b.tbx ."});
    EXPECT_EQ(ReadAll(dir("b.tbx")), RecordImage(3));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tbx", "b.BAK", "b.tbx"}));
  }
}

using InterruptedSave = FaultTest;

// The state a process killed between writing and renaming leaves: beside the project and
// its backup, half-written temporary files under the names the writer uses.
TEST_F(InterruptedSave, LeftoverTemporaryFilesHarmNeitherLoadNorSave) {
  const Bytes project = RecordImage(1);
  WriteAll(dir("a.tbx"), project);
  const Bytes other = RecordImage(9);
  const Bytes half(other.begin(), other.begin() + TBRO_SIZE / 2);
  WriteAll(dir("a.tbx~tbx"), half);
  WriteAll(dir("a.BAK~tbx"), half);
  Load("a.tbx");
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(hardening::PatternNow(), [&] {
    Bytes expected = project;
    std::memcpy(expected.data(), gTbro.Id, 6);  // Id and Size are never taken from a file
    return expected;
  }());
  Change();
  FileSave(hwnd);
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(ReadAll(dir("a.BAK")), project);
  const Bytes saved = ReadAll(dir("a.tbx"));
  ASSERT_EQ(saved.size(), size_t(TBRO_SIZE));
  for (const std::string& name : dir.Names())
    EXPECT_TRUE(name == "a.tbx" || name == "a.BAK" || name == "a.tbx~tbx" || name == "a.BAK~tbx") << name;

  // Loading it again gives the changed pattern; a project that exists only as a temporary
  // file is missing.
  const Bytes before = hardening::PatternNow();
  Load("a.tbx");
  EXPECT_EQ(hardening::PatternNow(), before);
  WriteAll(dir("b.tbx~tbx"), saved);
  tbxtest::ClearMessageBoxes();
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load("b.tbx");
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_EQ(BoxTexts()[1], "File b.tbx is missing or cannot be opended.");
}

using LoadFaults = FaultTest;

TEST_F(LoadFaults, FailedLoadKeepsPatternAndSettings) {
  WriteAll(dir("a.tbx"), RecordImage(1, 40));
  Bytes other = RecordImage(5, 16);
  other[6] = 0x2C;  // MsecPerBeat 300
  other[7] = 0x01;
  WriteAll(dir("b.tbx"), other);
  Load("a.tbx");
  const Bytes pattern = hardening::PatternNow();
  const std::vector<int> settings = Settings();
  const struct {
    Fault fault;
    std::vector<std::string> boxes;
  } cases[] = {
      {Fault::FileOpen, {"", "File b.tbx is missing or cannot be opended."}},
      {Fault::FileRead, {"File b.tbx is unreadable."}},
  };
  for (const auto& c : cases) {
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(c.fault);
    for (size_t i = 0; i < c.boxes.size(); ++i) tbxtest::QueueMessageBoxAnswer(IDOK);
    Load("b.tbx");
    tbxtest::ClearFaults();
    std::vector<std::string> texts = BoxTexts();
    ASSERT_EQ(texts.size(), c.boxes.size());
    if (c.fault == Fault::FileOpen) {
      EXPECT_EQ(texts[0].rfind("CreateFile Error:", 0), 0u) << texts[0];
      texts[0] = "";
    }
    EXPECT_EQ(texts, c.boxes);
    EXPECT_EQ(hardening::PatternNow(), pattern);
    EXPECT_EQ(Settings(), settings);
    EXPECT_EQ(gszTitleName[0], '\0');
  }
}

class ExportFaults : public FaultTest {
 protected:
  void OpenList(const std::string& text) {
    WriteAll(dir("l.txt"), Text(text));
    tbxtest::QueueFileDialog(dir("l.txt"));
    SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  }
};

// A list export stops at an entry it cannot read: the MIDI file already there is kept.
TEST_F(ExportFaults, UnreadableListEntryKeepsTheOldMidiFile) {
  WriteAll(dir("a.tbx"), RecordImage(1));
  WriteAll(dir("l.mid"), Text("old"));
  OpenList(dir("a.tbx") + "\r\n" + dir("gone.tbx") + "\r\n");
  for (UINT id : {IDM_SAVELIST_GM, IDM_SAVELIST_F1}) {
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueFileDialog(dir("l.mid"));
    tbxtest::QueueMessageBoxAnswer(IDOK);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    SendMessageA(hwnd, WM_COMMAND, id, 0);
    ASSERT_FALSE(BoxTexts().empty());
    EXPECT_EQ(BoxTexts().back(), "File " + dir("gone.tbx") + " is missing or cannot be opended.");
    EXPECT_EQ(ReadAll(dir("l.mid")), Text("old"));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tbx", "l.mid", "l.txt"}));
  }
}

TEST_F(ExportFaults, LeftoverTemporaryFileDoesNotStopAnExport) {
  WriteAll(dir("a.tbx"), RecordImage(1));
  WriteAll(dir("a.mid~tbx"), Text("half a file"));
  Load("a.tbx");
  tbxtest::QueueFileDialog(dir("a.mid"));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVEMIDI_GM, 0);
  ASSERT_EQ(BoxTexts().size(), 1u);
  const Bytes file = ReadAll(dir("a.mid"));
  EXPECT_EQ(BoxTexts()[0], "MIDI file (Format0,GM active) generated. Size:" + std::to_string(file.size()) + " bytes");
  ASSERT_GT(file.size(), 22u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), Text("MThd"));
}

// ---------------------------------------------------------------- starting and running

class PlaybackFaults : public FaultTest {
 protected:
  void Command(UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
  void ExpectAllClosed() {
    EXPECT_FALSE(gbSequenceGoing);
    EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
    EXPECT_EQ(tbxtest::OpenMidiInputs(), 0);
    EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
  }
  // Every note-on was ended by a note-off or All Notes Off on its channel.
  void ExpectSilence() {
    std::set<std::pair<int, int>> sounding;
    for (const auto& m : tbxtest::CapturedMidi()) {
      int status = m.message & 0xFF, d1 = m.message >> 8 & 0x7F, d2 = m.message >> 16 & 0x7F, ch = status & 0x0F;
      if ((status & 0xF0) == 0x90 && d2 > 0) sounding.insert({ch, d1});
      else if ((status & 0xF0) == 0x80 || (status & 0xF0) == 0x90) sounding.erase({ch, d1});
      else if ((status & 0xF0) == 0xB0 && d1 == 123)
        std::erase_if(sounding, [ch](const std::pair<int, int>& n) { return n.first == ch; });
    }
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes still sound";
  }
};

TEST_F(PlaybackFaults, FailedRestartLeavesNothingOpen) {
  WriteAll(dir("a.tbx"), RecordImage(1));
  Load("a.tbx");
  for (Fault fault : {Fault::MidiOutOpen, Fault::TimerArm}) {
    Command(IDM_LOOP);
    ASSERT_TRUE(gbSequenceGoing);
    tbxtest::AdvanceClock(1200);
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(fault);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    Command(IDM_LOOPUNDO);  // stops the run, then cannot start the new one
    tbxtest::ClearFaults();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Could not start MIDI Sequence\nMIDI OUT Port not available!"});
    ExpectAllClosed();
    ExpectSilence();
  }
}

TEST_F(PlaybackFaults, ClockThatCannotRearmStopsCleanly) {
  WriteAll(dir("a.tbx"), RecordImage(1));
  Load("a.tbx");
  for (int skip : {0, 1, 4}) {
    tbxtest::ClearCapturedMidi();
    Command(IDM_LOOP);
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(Fault::TimerArm, skip, 1);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    tbxtest::AdvanceClock(4000);
    tbxtest::PumpMessages();
    tbxtest::ClearFaults();
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_EQ(BoxTexts()[0], "Cannot set timer for this BPM");
    ExpectAllClosed();
    ExpectSilence();
  }
}

using PlaylistPlayFaults = PlaybackFaults;

// The next entry of a playing list cannot be opened: its message, then the run ends with
// the devices closed and the pattern of the entry before it still in memory.
TEST_F(PlaylistPlayFaults, UnopenableNextEntryEndsTheRun) {
  WriteAll(dir("a.tbx"), RecordImage(1, 4));
  WriteAll(dir("b.tbx"), RecordImage(2, 4));
  WriteAll(dir("l.txt"), Text(dir("a.tbx") + "\r\n" + dir("b.tbx") + "\r\n"));
  tbxtest::QueueFileDialog(dir("l.txt"));
  Command(IDM_OPENLIST);
  const Bytes first = hardening::PatternNow();
  Command(IDM_PLAYALL);
  ASSERT_TRUE(gbSequenceGoing);
  tbxtest::ClearMessageBoxes();
  tbxtest::InjectFault(Fault::FileOpen);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::AdvanceClock(8 * 500);
  tbxtest::PumpMessages();
  tbxtest::ClearFaults();
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_EQ(BoxTexts()[0].rfind("CreateFile Error:", 0), 0u);
  EXPECT_EQ(BoxTexts()[1], "File " + dir("b.tbx") + " is missing or cannot be opended.");
  ExpectAllClosed();
  ExpectSilence();
  EXPECT_EQ(hardening::PatternNow(), first);
}

}  // namespace
