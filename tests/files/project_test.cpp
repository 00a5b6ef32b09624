// Project files: the exact image of a save, loading the current and the older layout with
// the settings each command takes over, the size and identifier rules, repaired headers,
// backups (when, under which name, of which bytes), failures that must leave the old file
// intact, and arbitrary bytes read as a project.
#include <algorithm>
#include <cstring>
#include <random>

#include "app/app.h"
#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/support.h"
#include "tests/files/scratch.h"

namespace {

class ProjectTest : public WindowTest {
 protected:
  ScratchDir dir;

  // Load through the menu command with the open dialog answered by path.
  void Load(const std::string& path, bool withMidi = false) {
    tbxtest::QueueFileDialog(path);
    FileLoad(hwnd, withMidi ? TRUE : FALSE);
  }
  void SaveAs(const std::string& path) {
    tbxtest::QueueFileDialog(path);
    ASSERT_TRUE(FileSaveAs(hwnd));
  }
  void MarkChanged() {
    CellTogglePerc(3, 10);
    gbNeedSave = 1;
    gbFileChanged = 1;
  }
  bool Checked(UINT id) { return (GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
  std::string Caption() {
    char text[300];
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
  int16_t Word(const Bytes& b, size_t offset) { return static_cast<int16_t>(b[offset] | b[offset + 1] << 8); }
  // Bytes that are not the image of a saved project leave no trace in the folder.
  void ExpectOnly(std::vector<std::string> names) {
    auto found = dir.Names();
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(found, names);
  }
};

// The older layout: fields up to MidiOutPort as now, then PercCh, VoiceCh and the arrays
// four bytes earlier, 3536 bytes in all.
Bytes OlderImage(const TbroRecord& r, int16_t size) {
  Bytes current = RecordBytes(r);
  Bytes old(current.begin(), current.begin() + 28);
  old[4] = size & 0xFF;
  old[5] = (size >> 8) & 0xFF;
  old.insert(old.end(), current.begin() + 30, current.begin() + 34);
  old.insert(old.end(), current.begin() + 36, current.end());
  return old;
}

// The cases that depend on the step count, run as each of the four programs.
class ProjectSteps : public StepsTest<ProjectTest> {};
TBX_STEPS_SUITE(ProjectSteps);

TEST_P(ProjectSteps, NewPatternSavedAtOnceIsTheDefaultImage) {
  tbxtest::QueueFileDialog(dir("new.tbx"));
  FileSave(hwnd);
  Bytes b = ReadAll(dir("new.tbx"));
  ASSERT_EQ(b.size(), 3540u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "TBRX");
  const int16_t steps = static_cast<int16_t>(GetParam());
  const int16_t expected[] = {3540, 500, 2, 0, steps, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0};
  for (int f = 0; f < 16; ++f) EXPECT_EQ(Word(b, 4 + 2 * f), expected[f]) << "header word at " << 4 + 2 * f;
  for (size_t i = 36; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "array byte " << i;
  ExpectOnly({"new.tbx"});
  EXPECT_EQ(Caption(), "Tamborix - new.tbx");
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, SaveOfUntitledPatternCancelledWritesNothing) {
  tbxtest::QueueFileDialog(std::nullopt);
  FileSave(hwnd);
  ExpectOnly({});
  tbxtest::QueueFileDialog(std::nullopt);
  EXPECT_FALSE(FileSaveAs(hwnd));
  ExpectOnly({});
}

TEST_F(ProjectTest, RoundTripKeepsEveryFieldAndArray) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("song.tbx"), RecordBytes(sample));
  Load(dir("song.tbx"), true);
  EXPECT_EQ(std::string(gszTitleName), "song.tbx");
  EXPECT_EQ(gMsecPerBeat, 400);
  EXPECT_EQ(gRelBeat, 3);
  EXPECT_EQ(gBeatsPBar, 6);
  EXPECT_EQ(gAccent, 2);
  EXPECT_EQ(gFreeAccent, 9);
  EXPECT_EQ(gVoice, 26);
  EXPECT_EQ(gVoiceLevel, 6);
  EXPECT_EQ(gDeltaVoiceLevel, 40);
  EXPECT_EQ(gTranspose, 10);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
  EXPECT_EQ(giTempo, 150);
  EXPECT_EQ(gNoteOffset, 36);
  EXPECT_EQ(gTbro.LoopStart, 4);
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_EQ(std::memcmp(gTbro.PercL, sample.PercL, 6 * sizeof sample.PercL), 0);
  for (UINT id : {IDM_BEATSPBAR + 6, IDM_RELBEAT + 3, IDM_ACCENT + 2, IDM_FREEACCENT + 9, IDM_VOICE + 26,
                  IDM_VOICELEVEL + 6, IDM_TRANSPOSE + 10, IDM_PERCCH + 15, IDM_VOICECH + 5})
    EXPECT_TRUE(Checked(id)) << id;
  for (UINT id : {IDM_BEATSPBAR + 4, IDM_RELBEAT + 2, IDM_VOICE + 3, IDM_PERCCH + 9, IDM_VOICECH + 0})
    EXPECT_FALSE(Checked(id)) << id;
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(gbEdit, 1);

  // Saved again, the file is the same bytes.
  ASSERT_EQ(TambroFileWrite(dir("again.tbx").c_str()), nullptr);
  EXPECT_EQ(ReadAll(dir("again.tbx")), RecordBytes(sample));
}

TEST_F(ProjectTest, InstrumentWithoutItemChecksOthers) {
  TbroRecord sample = SampleRecord();
  sample.Voice = 40;
  WriteAll(dir("v.tbx"), RecordBytes(sample));
  Load(dir("v.tbx"));
  EXPECT_EQ(gVoiceChecked, 99);
  EXPECT_TRUE(Checked(IDM_VOICE_OTHERS));
  EXPECT_FALSE(Checked(IDM_VOICE + 3));
}

TEST_F(ProjectTest, PlainLoadKeepsPortsAndChannelsWithMidiTakesThemWithinDevices) {
  TbroRecord sample = SampleRecord();
  sample.MidiOutPort = 3;  // beyond the one installed output
  sample.MidiInPort = -2;  // negative: compared as unsigned, beyond the one input
  WriteAll(dir("ports.tbx"), RecordBytes(sample));
  Load(dir("ports.tbx"), false);
  EXPECT_EQ(gPercCh, 9);
  EXPECT_EQ(gVoiceCh, 0);
  EXPECT_EQ(gMidiOutPort, 0);

  Load(dir("ports.tbx"), true);
  EXPECT_EQ(gMidiOutPort, 0);
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
}

TEST_F(ProjectTest, TempoAndTranspositionOnlyFromAFirstFile) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("s.tbx"), RecordBytes(sample));
  gbFirstFile = 0;
  gbEdit = 0;
  ASSERT_EQ(TambroFileRead(dir("s.tbx").c_str()), nullptr);
  EXPECT_EQ(gMsecPerBeat, 500);
  EXPECT_EQ(gTranspose, 12);
  EXPECT_EQ(gVoiceLevel, 4);        // not in edit mode
  EXPECT_EQ(gDeltaVoiceLevel, 40);  // always from the file
  EXPECT_EQ(gBeatsPBar, 6);
}

TEST_F(ProjectTest, OlderLayoutLoadsAndSavesInTheCurrentOne) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("old.tbx"), OlderImage(sample, 1234));  // its Size is not examined
  Load(dir("old.tbx"), true);
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_EQ(std::memcmp(gTbro.PercL, sample.PercL, 6 * sizeof sample.PercL), 0);

  FileSave(hwnd);
  Bytes saved = ReadAll(dir("old.tbx"));
  ASSERT_EQ(saved.size(), 3540u);
  EXPECT_EQ(saved, RecordBytes(sample));
}

TEST_F(ProjectTest, SizeAndIdentifierRules) {
  Bytes good = RecordBytes(SampleRecord());
  struct Case {
    Bytes bytes;
    const char* result;
  };
  Bytes badSize = good;
  badSize[4] = 0xD0;  // 3536 in a 3540-byte file
  Bytes badId = good;
  badId[3] = 'Y';
  Bytes longer = good;
  longer.resize(5000, 0xEE);
  Bytes oldBadId = OlderImage(SampleRecord(), 3536);
  oldBadId[0] = 'X';
  std::vector<Case> cases = {
      {Bytes(), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 100), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3535), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3537), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3539), gszErrorCannotRead},
      {badSize, gszErrorNotTambro},
      {badId, gszErrorNotTambro},
      {oldBadId, gszErrorNotTambro},
      {longer, nullptr},  // judged by its first 3540 bytes
      {good, nullptr},
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    WriteAll(dir("c.tbx"), cases[c].bytes);
    EXPECT_EQ(TambroFileRead(dir("c.tbx").c_str()), cases[c].result) << "case " << c;
  }
}

TEST_F(ProjectTest, FailedReadLeavesPatternAndSettings) {
  CellTogglePerc(5, 7);
  gbFileChanged = 1;
  gbNewFile = 1;
  WriteAll(dir("bad.tbx"), Bytes(3540, 0x41));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load(dir("bad.tbx"));
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File bad.tbx is not a valid project file.");
  EXPECT_EQ(CellPerc(5, 7), 1);
  EXPECT_EQ(gBeatsPBar, 4);
  EXPECT_EQ(gbFileChanged, 0);
  EXPECT_EQ(gbNewFile, 0);
  EXPECT_EQ(gszTitleName[0], '\0');
  EXPECT_EQ(gszFileName[0], '\0');
  EXPECT_EQ(gbEdit, 1);  // still the mode the Play menu shows
}

TEST_F(ProjectTest, MissingFileShowsCreateFileErrorThenMessage) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load(dir("nothere.tbx"));
  const auto& boxes = tbxtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text.rfind("CreateFile Error:", 0), 0u) << boxes[0].text;
  EXPECT_EQ(boxes[0].text.back(), ' ');
  EXPECT_EQ(boxes[0].caption, "");  // the command line, empty here
  EXPECT_EQ(boxes[0].owner, hwnd);
  EXPECT_EQ(boxes[1].text, "File nothere.tbx is missing or cannot be opended.");
  EXPECT_EQ(boxes[1].caption, "Tamborix");
}

// Headers that would make the step clock or the tempo display divide by zero, or play
// outside the pattern, are repaired; LoopEnd above the step count is limited.
TEST_P(ProjectSteps, HeaderRepairsAndLoopEndLimit) {
  const int16_t steps = static_cast<int16_t>(GetParam());
  struct Case {
    int16_t loopStart, loopEnd, msec, beats, rel;
    int16_t wantStart, wantEnd, wantMsec, wantBeats, wantRel;
  };
  const Case cases[] = {
      {0, 200, 500, 4, 2, 0, steps, 500, 4, 2},
      {3, 0, 0, 0, 10, 3, steps, 500, 4, 2},
      {-3, -8, -100, -4, -1, 0, steps, 500, 4, 2},
      {20, 10, 600, 7, 9, 0, 10, 600, 7, 9},
      {71, 72, 1500, 24, 0, 71, 72, 1500, 24, 0},
  };
  for (const Case& c : cases) {
    TbroRecord r = SampleRecord();
    r.LoopStart = c.loopStart;
    r.LoopEnd = c.loopEnd;
    r.MsecPerBeat = c.msec;
    r.BeatsPBar = c.beats;
    r.RelBeat = c.rel;
    WriteAll(dir("r.tbx"), RecordBytes(r));
    gbFirstFile = 1;
    ASSERT_EQ(TambroFileRead(dir("r.tbx").c_str()), nullptr);
    EXPECT_EQ(gTbro.LoopStart, c.wantStart) << c.loopStart << "/" << c.loopEnd;
    EXPECT_EQ(gTbro.LoopEnd, c.wantEnd) << c.loopStart << "/" << c.loopEnd;
    EXPECT_EQ(gTbro.MsecPerBeat, c.wantMsec);
    EXPECT_EQ(gMsecPerBeat, c.wantMsec);
    EXPECT_EQ(gBeatsPBar, c.wantBeats);
    EXPECT_EQ(gRelBeat, c.wantRel);
  }
}

TEST_F(ProjectTest, CommandLineTitleIsTextAfterLastSeparator) {
  WriteAll(dir("cmd.tbx"), RecordBytes(SampleRecord()));
  std::string mixed = dir.dir().string() + "\\cmd.tbx";  // '\' separates folders too
  std::strncpy(gszCmdLine, mixed.c_str(), sizeof gszCmdLine - 1);
  gbCmdLine = 1;
  FileLoad(hwnd, FALSE);
  EXPECT_EQ(gbCmdLine, 0);
  EXPECT_EQ(std::string(gszTitleName), "cmd.tbx");
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_TRUE(tbxtest::FileDialogs().empty());
}

// ---------------------------------------------------------------- backups

TEST_F(ProjectTest, BackupOnlyWhenChangedAndHoldsTheLoadedBytes) {
  Bytes original = RecordBytes(SampleRecord());
  WriteAll(dir("a.tbx"), original);
  Load(dir("a.tbx"));
  FileSave(hwnd);
  ExpectOnly({"a.tbx"});

  MarkChanged();
  FileSave(hwnd);
  ExpectOnly({"a.tbx", "a.BAK"});
  EXPECT_EQ(ReadAll(dir("a.BAK")), original);
  Bytes now = ReadAll(dir("a.tbx"));
  EXPECT_NE(now, original);
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, BackupNameCutsAtFirstDotOfTheFileNameOnly) {
  std::filesystem::create_directories(dir("my.songs"));
  Bytes original = RecordBytes(SampleRecord());
  const std::pair<const char*, const char*> cases[] = {
      {"my.songs/beat.tbx", "my.songs/beat.BAK"},
      {"beat.v2.tbx", "beat.BAK"},
      {"plain", "plain.BAK"},
  };
  for (const auto& [file, backup] : cases) {
    WriteAll(dir(file), original);
    Load(dir(file));
    MarkChanged();
    FileSave(hwnd);
    EXPECT_EQ(ReadAll(dir(backup)), original) << file;
  }
  EXPECT_FALSE(Exists(dir("my.BAK")));
}

TEST_F(ProjectTest, SaveAsBackupIsNamedAfterTheNewPath) {
  Bytes original = RecordBytes(SampleRecord());
  WriteAll(dir("a.tbx"), original);
  Load(dir("a.tbx"));
  SaveAs(dir("b.tbx"));
  EXPECT_EQ(ReadAll(dir("b.BAK")), original);
  EXPECT_EQ(std::string(gszTitleName), "b.tbx");

  FileNew(hwnd);
  SaveAs(dir("c.tbx"));
  EXPECT_FALSE(Exists(dir("c.BAK")));
}

TEST_F(ProjectTest, BackupOfOlderLayoutReadsBackAsTheSamePattern) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("old.tbx"), OlderImage(sample, 3536));
  Load(dir("old.tbx"), true);
  MarkChanged();
  FileSave(hwnd);
  ASSERT_TRUE(Exists(dir("old.BAK")));
  Bytes backup = ReadAll(dir("old.BAK"));
  EXPECT_EQ(backup, RecordBytes(sample));
}

// ---------------------------------------------------------------- failures keep the old file

TEST_F(ProjectTest, FailedSaveLeavesThePreviousFileIntact) {
  const tbxtest::Fault faults[] = {tbxtest::Fault::FileCreate, tbxtest::Fault::FileWrite,
                                   tbxtest::Fault::FileRename};
  Bytes original = RecordBytes(SampleRecord());
  for (tbxtest::Fault fault : faults) {
    WriteAll(dir("a.tbx"), original);
    Load(dir("a.tbx"));
    CellTogglePerc(1, 20);
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(fault);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    FileSave(hwnd);  // unchanged since loaded: no backup, only the write
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Cannot write file a.tbx .");
    EXPECT_EQ(ReadAll(dir("a.tbx")), original);
    ExpectOnly({"a.tbx"});  // no temporary file left behind
    EXPECT_EQ(gszTitleName[0], '\0');
    tbxtest::ClearFaults();
  }
}

TEST_F(ProjectTest, FailedBackupIsSilentAndTheSaveGoesOn) {
  WriteAll(dir("a.tbx"), RecordBytes(SampleRecord()));
  Load(dir("a.tbx"));
  MarkChanged();
  tbxtest::InjectFault(tbxtest::Fault::FileCreate);
  FileSave(hwnd);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  ExpectOnly({"a.tbx"});
  EXPECT_NE(ReadAll(dir("a.tbx")), RecordBytes(SampleRecord()));
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, ShortReadIsUnreadable) {
  WriteAll(dir("a.tbx"), RecordBytes(SampleRecord()));
  tbxtest::InjectFault(tbxtest::Fault::FileRead);
  EXPECT_EQ(TambroFileRead(dir("a.tbx").c_str()), gszErrorCannotRead);
  EXPECT_EQ(gTbro.LoopEnd, STEP_COUNT);
}

// ---------------------------------------------------------------- arbitrary input

TEST_P(ProjectSteps, ArbitraryBytesNeverCorruptThePattern) {
  std::mt19937 rng(1234);
  const size_t lengths[] = {0, 1, 4, 6, 36, 3535, 3536, 3536, 3539, 3540, 3540, 3540, 3541, 8000};
  for (int iter = 0; iter < 300; ++iter) {
    Bytes b(lengths[iter % (sizeof lengths / sizeof lengths[0])]);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    if (b.size() >= 6 && iter % 3 != 0) {
      std::memcpy(b.data(), "TBRX", 4);
      b[4] = 3540 & 0xFF;
      b[5] = 3540 >> 8;
    }
    WriteAll(dir("x.tbx"), b);
    gbFirstFile = iter & 1;
    gbEdit = (iter >> 1) & 1;
    gbLoadMidi = (iter >> 2) & 1;
    if (TambroFileRead(dir("x.tbx").c_str()) != nullptr) continue;
    ASSERT_GE(gTbro.LoopStart, 0);
    ASSERT_LT(gTbro.LoopStart, gTbro.LoopEnd);
    ASSERT_LE(gTbro.LoopEnd, STEP_COUNT);
    ASSERT_GT(gMsecPerBeat, 0);
    ASSERT_GT(gBeatsPBar, 0);
    ASSERT_GE(gRelBeat, 0);
    ASSERT_LE(gRelBeat, 9);
    ASSERT_GE(giTempo, 40);
    ASSERT_LE(giTempo, 506);
  }
}

}  // namespace
